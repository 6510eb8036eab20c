// The DSA private value, signing through the library DSA scheme.
#include "keys/dsaprkey.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgfpkeydomain.h"

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

// An INTEGER's content octets without the sign octet a positive value may carry.
void magnitudeOf(const QvOctet*& p, unsigned& n) {
    while (n > 1 && p[0] == 0) {
        p++;
        n--;
    }
}

}  // namespace

DSAPrivateKey::DSAPrivateKey(uint32_t t) : ASNinteger(t), parameters(0) {}

int DSAPrivateKey::sign(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature* out,
                        QvRbg* rbg) const {
    const DSAParameters* params = &parameters;
    if (hashId < 1 || hashId > 8) return 3;
    if (digest == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return 3;
    if (out == nullptr || rbg == nullptr) return 2;
    try {
        QvN p, q, g, x;
        if (!toQvN(params->p, &p) || !toQvN(params->q, &q) || !toQvN(params->g, &g) || !toQvN(*this, &x)) return 2;
        // q of fewer than 64 bits would give a nonce from too small a range.
        if (p.isEven() || q.isEven() || q.getBitLength() < 64 || p <= q || g <= 1u || g >= p || x.isZero() ||
            x >= q)
            return 2;
        QvDsaKeyDomain domain;
        buildDomain(params->p, params->q, params->g, domain);
        QvDsaPrivateKey key;
        key.setDomain(&domain);
        key.setX(x);
        QvDsaSig scheme;
        scheme.setHashAlgo(hashId);
        scheme.setRbg(rbg);
        scheme.setPrivateKey(&key);
        std::vector<QvOctet> der(scheme.getMaxSignatureOctets());
        unsigned len = scheme.sign(digest, digestLen, der.data(), static_cast<unsigned>(der.size()));
        const QvOctet *r = nullptr, *s = nullptr;
        unsigned rLen = 0, sLen = 0;
        if (!qvDsaSplitRS(der.data(), len, r, rLen, s, sLen) || rLen < 1 || sLen < 1) return 2;
        magnitudeOf(r, rLen);
        magnitudeOf(s, sLen);
        if (out->r.setUnsigned(r, static_cast<long>(rLen)) != 1) return 6;
        if (out->s.setUnsigned(s, static_cast<long>(sLen)) != 1) return 6;
        return 0;
    } catch (const std::bad_alloc&) {
        return 6;
    } catch (const QvException&) {
        return 2;
    }
}


int DSAPrivateKey::getPublicValue(ASNinteger& out) const { return parameters.computePublicValue(*this, out) ? 1 : 0; }

int DSAPrivateKey::sign(const uint8_t* digest, unsigned digestLen, DSASignature& out, QvRbg* rbg) const {
    unsigned hashId = digestLen <= 16 ? 8 : digestLen <= 20 ? 1 : digestLen <= 28 ? 2 : digestLen <= 32 ? 3
                                        : digestLen <= 48 ? 4 : 5;
    return sign(digest, digestLen, hashId, &out, rbg);
}

unsigned DSAPrivateKey::getPrivateValueLength() const {
    const uint8_t* d = getData();
    long n = getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return static_cast<unsigned>(n < 1 ? 1 : n);
}
