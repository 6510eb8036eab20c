// RSAPrivateKey and its PKCS #1 signatures through the library schemes.
#include "keys/rsaprkey.h"

#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "support/memfile.h"

RSAPrivateKey::RSAPrivateKey(uint32_t t)
    : ASNsequenceF(t), version(0), modulus(0), publicExponent(0), privateExponent(0), prime1(0), prime2(0),
      exponent1(0), exponent2(0), coefficient(0), cacheValid(0) {
    version.setValue(0);
}

RSAPrivateKey::~RSAPrivateKey() = default;

void RSAPrivateKey::clear() {
    ASNinteger* const v[] = {&modulus, &publicExponent, &privateExponent, &prime1, &prime2,
                             &exponent1, &exponent2, &coefficient};
    for (ASNinteger* i : v) i->clear();
    version.setValue(0);
    cacheValid = 0;
}

int RSAPrivateKey::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&version, &modulus, &publicExponent, &privateExponent, &prime1,
                             &prime2, &exponent1, &exponent2, &coefficient};
    cacheValid = 0;
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 9);
}

int RSAPrivateKey::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&version, &modulus, &publicExponent, &privateExponent, &prime1,
                                   &prime2, &exponent1, &exponent2, &coefficient};
    return keyWriteIntegers(dst, v, 9);
}

long RSAPrivateKey::lenOfBody() const {
    const ASNinteger* const v[] = {&version, &modulus, &publicExponent, &privateExponent, &prime1,
                                   &prime2, &exponent1, &exponent2, &coefficient};
    return keyLenIntegers(v, 9);
}

void RSAPrivateKey::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&version, &modulus, &publicExponent, &privateExponent, &prime1,
                                   &prime2, &exponent1, &exponent2, &coefficient};
    keyDigestIntegers(hash, v, 9);
}

namespace {

// The magnitude of a non-negative INTEGER; false for a negative or empty value.
bool magnitude(const ASNinteger& v, const uint8_t** p, unsigned* n) {
    const uint8_t* d = v.getData();
    long all = v.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0) return false;
    *p = d;
    *n = static_cast<unsigned>(all);
    return true;
}

QvN toQvN(const uint8_t* p, unsigned n) { return QvN(p, n, 0); }

}  // namespace

int RSAPrivateKey::libraryKey(QvRsaPrivateKey& key) const {
    const uint8_t *np, *ep, *dp;
    unsigned nn, en, dn;
    if (!magnitude(modulus, &np, &nn) || !magnitude(publicExponent, &ep, &en) ||
        !magnitude(privateExponent, &dp, &dn))
        return kKeyFailure;
    QvN n = toQvN(np, nn), e = toQvN(ep, en), d = toQvN(dp, dn);
    // An even modulus is no RSA key; without e the result could not be checked.
    if (n.isEven() || n <= 1u || d.isZero() || e.isZero()) return kKeyFailure;
    key.setModulus(np, nn);
    key.setPublicExponent(ep, en);
    key.setPrivateExponent(dp, dn);
    // The prime factors speed the operation up; they are used only when they are
    // those of the modulus, otherwise the private exponent alone serves.
    const uint8_t *pp, *qp, *cp;
    unsigned pn, qn, cn;
    if (magnitude(prime1, &pp, &pn) && magnitude(prime2, &qp, &qn) && magnitude(coefficient, &cp, &cn)) {
        QvN p = toQvN(pp, pn), q = toQvN(qp, qn), c = toQvN(cp, cn);
        if (p > 1u && q > 1u && !c.isZero() && p * q == n && c < p && (c * q) % p == 1u) {
            key.setPrime1(pp, pn);
            key.setPrime2(qp, qn);
            key.setCoefficient(cp, cn);
            key.precompute();
        }
    }
    return kSigned;
}

int RSAPrivateKey::signPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg*,
                             MemFile* out) const {
    if (out == nullptr) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || digest == nullptr) return kBadDigest;
    if (digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadDigest;
    AlgorithmIdentifier alg;
    if (alg.setDigestAlgorithm(hashId) != 1) return kBadDigest;
    try {
        QvRsaPrivateKey key;
        int r = libraryKey(key);
        if (r != kSigned) return r;
        QvRsaSigPkcsV15 scheme;
        scheme.setHashAlgo(hashId);
        scheme.setPrivateKey(&key);
        QvOctMem t, em;
        qvPkcs1DigestInfo(t, *scheme.getHash(), digest, digestLen);
        if (!qvPkcs1EmsaV15(em, t, key.getKeyOctets())) return kKeyTooShort;
        return emit(scheme, key, digest, digestLen, out);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

int RSAPrivateKey::emit(QvRsaSig& scheme, const QvRsaPrivateKey& key, const uint8_t* digest, unsigned digestLen,
                        MemFile* out) const {
    unsigned k = key.getKeyOctets();
    std::vector<uint8_t> sig(k, 0);
    if (scheme.sign(digest, digestLen, sig.data(), k) != k) return kKeyFailure;
    if (out->Write(k, sig.data()) != 0) return kNoMemory;
    return kSigned;
}

int RSAPrivateKey::signPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, int mgfSelector,
                           unsigned mgfHashId, unsigned saltLen, MemFile* out) const {
    if (out == nullptr) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || mgfHashId < 1 || mgfHashId > 8 || mgfSelector != 0 || digest == nullptr)
        return kBadDigest;
    if (digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadDigest;
    if (saltLen > 0 && rbg == nullptr) return kKeyFailure;
    try {
        QvRsaPrivateKey key;
        int r = libraryKey(key);
        if (r != kSigned) return r;
        unsigned emLen = (key.getKeyBits() + 6) / 8;
        if (emLen < digestLen + static_cast<uint64_t>(saltLen) + 2) return kKeyTooShort;
        QvRsaSigPkcsPss scheme(saltLen, rbg, hashId, 0, mgfHashId);
        scheme.setPrivateKey(&key);
        return emit(scheme, key, digest, digestLen, out);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}
