// DSA key structures, signed and verified through the library DSA scheme.
#include "keys/dsakeys.h"

#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgfpkeydomain.h"

DSAParameters::DSAParameters(uint32_t t) : ASNsequenceF(t), p(0), q(0), g(0) {}
DSAParameters::DSAParameters(const DSAParameters& o) : ASNsequenceF(o), p(o.p), q(o.q), g(o.g) {}
DSAParameters& DSAParameters::operator=(const DSAParameters& o) {
    if (this != &o) {
        p = o.p;
        q = o.q;
        g = o.g;
    }
    return *this;
}
DSAParameters::~DSAParameters() = default;
void DSAParameters::clear() {
    p.clear();
    q.clear();
    g.clear();
}
int DSAParameters::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&p, &q, &g};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 3);
}
int DSAParameters::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&p, &q, &g};
    return keyWriteIntegers(dst, v, 3);
}
long DSAParameters::lenOfBody() const {
    const ASNinteger* const v[] = {&p, &q, &g};
    return keyLenIntegers(v, 3);
}
void DSAParameters::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&p, &q, &g};
    keyDigestIntegers(hash, v, 3);
}
unsigned DSAParameters::getPBits() const { return keyIntegerBits(p); }

DSASignature::DSASignature(uint32_t t) : ASNsequenceF(t), r(0), s(0) {}
DSASignature::~DSASignature() = default;
void DSASignature::clear() {
    r.clear();
    s.clear();
}
int DSASignature::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&r, &s};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 2);
}
int DSASignature::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&r, &s};
    return keyWriteIntegers(dst, v, 2);
}
long DSASignature::lenOfBody() const {
    const ASNinteger* const v[] = {&r, &s};
    return keyLenIntegers(v, 2);
}
void DSASignature::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&r, &s};
    keyDigestIntegers(hash, v, 2);
}

DSAPublicKey::DSAPublicKey(uint32_t t) : ASNinteger(t) {}
unsigned DSAPublicKey::getBits() const { return keyIntegerBits(*this); }

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
