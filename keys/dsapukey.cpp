// The DSA public value, verified through the library DSA scheme.
#include "keys/dsapukey.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvasymkey.h"
#include "support/vtest.h"

namespace {

// The domain and y are numbers the library can work with: odd p above 2 and q above
// 1, sizes within what any real key uses (larger ones would only cost time).
bool workableKey(const DSAParameters& params, const ASNinteger& y) {
    QvN p, q, g, v;
    if (!keyIntegerValue(params.p, p) || !keyIntegerValue(params.q, q) || !keyIntegerValue(params.g, g) ||
        !keyIntegerValue(y, v))
        return false;
    if (p.getBitLength() > 16384 || q.getBitLength() > 512) return false;
    return !p.isEven() && p > 2u && q > 1u;
}

}  // namespace

DSAPublicKey::DSAPublicKey(uint32_t t) : ASNinteger(t) {}
unsigned DSAPublicKey::getBits() const { return keyIntegerBits(*this); }

int DSAPublicKey::verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId,
                                 const DSAParameters* params, const DSASignature& sig) const {
    if (hashId < 1 || hashId > 8) return 3;
    if (digest == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return 3;
    if (params == nullptr) return 2;
    return verify(digest, digestLen, *params, sig);
}

unsigned DSAPublicKey::getKeySizeBits() const {
    const uint8_t* d = getData();
    long n = getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return 8u * static_cast<unsigned>(n < 1 ? 1 : n);
}

int DSAPublicKey::setFromQvKey(const QvGFpPublicKey& key) {
    try {
        std::vector<uint8_t> buf(key.getKeyOctets() + 1);
        unsigned n = key.getY(buf.data(), static_cast<unsigned>(buf.size()));
        int ok = n > 0 && setUnsigned(buf.data(), n) == 1;
        std::memset(buf.data(), 0, buf.size());
        return ok ? 1 : 0;
    } catch (const QvException& e) {
        AssertInvariant(0, "dsapukey", 54, "0", e.what());
    }
    return 0;
}

int DSAPublicKey::verify(const uint8_t* digest, unsigned digestLen, const DSAParameters& params,
                         const DSASignature& sig) const {
    if (digest == nullptr || digestLen == 0) return 1;
    if (!workableKey(params, *this)) return 2;
    QvDsaKeyDomain domain;
    int converted = params.toDomain(domain);
    if (converted == 0) return 2;
    if (converted != 1) AssertInvariant(0, "dsapukey", 138, "false");
    QvDsaPublicKey key;
    try {
        const uint8_t* y = getData();
        long yLen = getValueLength();
        key.setY(y, static_cast<unsigned>(yLen));
        key.setDomain(&domain);
        // A zero y is not ready, and checking it would be an error of the library:
        // it is simply no usable key.
        if (!key.isReady() || !key.isValid()) return 2;
    } catch (const QvWrongSyntaxException&) {
        return 2;
    } catch (const QvException& e) {
        AssertInvariant(0, "dsapukey", 160, "0", e.what());
    }
    long need = sig.getRSLength();
    if (need < 1) return 1;
    std::vector<uint8_t> rs(static_cast<size_t>(need));
    int result = 1;
    try {
        if (sig.getRS(rs.data(), static_cast<unsigned>(rs.size())) == 1) {
            QvDsaSig scheme;
            scheme.setPublicKey(&key);
            result = scheme.verify(digest, digestLen, rs.data(), static_cast<unsigned>(rs.size())) ? 0 : 1;
        }
    } catch (const QvException& e) {
        std::memset(rs.data(), 0, rs.size());
        AssertInvariant(0, "dsapukey", 178, "0", e.what());
    }
    std::memset(rs.data(), 0, rs.size());
    return result;
}
