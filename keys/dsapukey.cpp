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

// The value of a positive INTEGER as a number; false for negative or empty ones.
bool toQvN(const ASNinteger& v, QvN* out) {
    const uint8_t* d = v.getData();
    long n = v.getValueLength();
    if (d == nullptr || n < 1 || (d[0] & 0x80) != 0) return false;
    *out = QvN(d, static_cast<unsigned>(n), 0);
    return true;
}

}  // namespace

namespace {

// The library domain of p, q, g (already checked by the caller).
void buildDomain(const ASNinteger& p, const ASNinteger& q, const ASNinteger& g, QvDsaKeyDomain& domain) {
    domain.setP(p.getData(), static_cast<unsigned>(p.getValueLength()));
    domain.setQ(q.getData(), static_cast<unsigned>(q.getValueLength()));
    domain.setG(g.getData(), static_cast<unsigned>(g.getValueLength()));
}


}  // namespace

DSAPublicKey::DSAPublicKey(uint32_t t) : ASNinteger(t) {}
unsigned DSAPublicKey::getBits() const { return keyIntegerBits(*this); }
int DSAPublicKey::verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId,
                                 const DSAParameters* params, const DSASignature& sig) const {
    if (hashId < 1 || hashId > 8) return 3;
    if (digest == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return 3;
    if (params == nullptr) return 2;
    try {
        QvN p, q, g, y, r, s;
        if (!toQvN(params->p, &p) || !toQvN(params->q, &q) || !toQvN(params->g, &g) || !toQvN(*this, &y))
            return 2;
        if (p.isEven() || q.isEven() || q <= 1u || p <= q || g <= 1u || g >= p || y <= 1u || y >= p) return 2;
        // Sizes beyond any real key would only cost time.
        if (p.getBitLength() > 16384 || q.getBitLength() > 512) return 2;
        if (!toQvN(sig.r, &r) || !toQvN(sig.s, &s)) return 1;
        if (r.isZero() || s.isZero() || r >= q || s >= q) return 1;
        QvDsaKeyDomain domain;
        buildDomain(params->p, params->q, params->g, domain);
        QvDsaPublicKey key;
        key.setDomain(&domain);
        key.setY(y);
        QvDsaSig scheme;
        scheme.setPublicKey(&key);
        return scheme.verify(digest, digestLen, sig.r.getData(), static_cast<unsigned>(sig.r.getValueLength()),
                             sig.s.getData(), static_cast<unsigned>(sig.s.getValueLength()))
                   ? 0
                   : 1;
    } catch (const std::bad_alloc&) {
        return 2;
    } catch (const QvException&) {
        return 2;
    }
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
        AssertInvariant(0, "dsapukey", __LINE__, "0", e.what());
    }
    return 0;
}

int DSAPublicKey::verify(const uint8_t* digest, unsigned digestLen, const DSAParameters& params,
                         const DSASignature& sig) const {
    if (digest == nullptr || digestLen == 0) return 1;
    try {
        QvN p, q, g, y;
        if (!toQvN(params.p, &p) || !toQvN(params.q, &q) || !toQvN(params.g, &g) || !toQvN(*this, &y)) return 2;
        if (p.isEven() || q.isEven() || q <= 1u || p <= q || g <= 1u || g >= p || y <= 1u || y >= p) return 2;
        if (p.getBitLength() > 16384 || q.getBitLength() > 512) return 2;
        QvN r, s;
        if (!toQvN(sig.r, &r) || !toQvN(sig.s, &s) || r.isZero() || s.isZero() || r >= q || s >= q) return 1;
        QvDsaKeyDomain domain;
        buildDomain(params.p, params.q, params.g, domain);
        QvDsaPublicKey key;
        key.setDomain(&domain);
        key.setY(y);
        QvDsaSig scheme;
        scheme.setPublicKey(&key);
        return scheme.verify(digest, digestLen, sig.r.getData(), static_cast<unsigned>(sig.r.getValueLength()),
                             sig.s.getData(), static_cast<unsigned>(sig.s.getValueLength()))
                   ? 0
                   : 1;
    } catch (const std::bad_alloc&) {
        return 2;
    } catch (const QvException&) {
        return 2;
    }
}
