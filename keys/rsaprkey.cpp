// RSAPrivateKey and its PKCS #1 signatures through the library schemes.
#include "keys/rsaprkey.h"

#include <algorithm>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrsacipher.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "support/memfile.h"
#include "support/vtest.h"

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

int RSAPrivateKey::libraryKey(QvRsaPrivateKey& key, bool requireE) const {
    const uint8_t *np, *ep = nullptr, *dp;
    unsigned nn, en = 0, dn;
    if (!magnitude(modulus, &np, &nn) || !magnitude(privateExponent, &dp, &dn)) return kKeyFailure;
    if (!magnitude(publicExponent, &ep, &en) && requireE) return kKeyFailure;
    QvN n = toQvN(np, nn), d = toQvN(dp, dn);
    const QvN e = ep ? toQvN(ep, en) : QvN();
    // An even modulus is no RSA key; without e a signature could not be checked.
    if (n.isEven() || n <= 1u || d.isZero() || (requireE && e.isZero())) return kKeyFailure;
    key.setModulus(np, nn);
    if (ep) key.setPublicExponent(ep, en);
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

int RSAPrivateKey::privateBlock(const uint8_t* in, unsigned len, uint8_t* out) const {
    if (in == nullptr || out == nullptr || len == 0 || len != getModulusOctets()) return 0;
    try {
        QvRsaPrivateKey key;
        if (libraryKey(key, false) != kSigned) return 0;
        // A block not below n stands for another value: refused, never reduced.
        if (!(QvN(in, len, 0) < key.getModulus())) return 0;
        QvRsaCipher cipher;
        cipher.setPrivateKey(&key);
        return cipher.decrypt(in, len, out, len) == len ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const QvException&) {
        return 0;
    }
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

// ---------------------------------------------------------------------------
// Copies, key form, library conversions and completion of the CRT members.

RSAPrivateKey::RSAPrivateKey(const RSAPrivateKey& o)
    : ASNsequenceF(o), version(o.version), modulus(o.modulus), publicExponent(o.publicExponent),
      privateExponent(o.privateExponent), prime1(o.prime1), prime2(o.prime2), exponent1(o.exponent1),
      exponent2(o.exponent2), coefficient(o.coefficient), cacheValid(0) {}

RSAPrivateKey& RSAPrivateKey::operator=(const RSAPrivateKey& o) {
    if (this == &o) return *this;
    cacheValid = 0;
    version = o.version;
    modulus = o.modulus;
    publicExponent = o.publicExponent;
    privateExponent = o.privateExponent;
    prime1 = o.prime1;
    prime2 = o.prime2;
    exponent1 = o.exponent1;
    exponent2 = o.exponent2;
    coefficient = o.coefficient;
    return *this;
}

namespace {

// Present: some octet of the value is not zero.
bool present(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    for (long i = 0; d != nullptr && i < v.getValueLength(); i++)
        if (d[i] != 0) return true;
    return false;
}

// A present member as a number (its content read as unsigned).
QvN number(const ASNinteger& v) {
    return QvN(v.getData(), static_cast<unsigned>(v.getValueLength()), 0);
}

// 1 / a mod m.
QvN inverseMod(const QvN& a, const QvN& m) {
    QvModulus mod(m, 0);
    QvZn one(1, &mod);
    one /= QvZn(a, &mod);
    return one.asQvN();
}

bool store(ASNinteger& v, const QvN& x) {
    std::vector<uint8_t> b((x.getBitLength() + 7) / 8 + 1);
    unsigned n = x.asOctetString(b.data(), static_cast<unsigned>(b.size()));
    if (n == 0) {
        v.setValue(0);
        return true;
    }
    bool ok = v.setUnsigned(b.data(), n) == 1;
    std::fill(b.begin(), b.end(), 0);
    return ok;
}

}  // namespace

unsigned RSAPrivateKey::getModulusOctets() const {
    const uint8_t* d = modulus.getData();
    long n = modulus.getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return static_cast<unsigned>(n < 1 ? 1 : n);
}

int RSAPrivateKey::getKeyForm() const {
    bool n = present(modulus), e = present(publicExponent), d = present(privateExponent);
    bool crt = present(prime1) && present(prime2) && present(exponent1) && present(exponent2) && present(coefficient);
    if (n && e && d && crt) return 2;
    if (n && e) return d ? 1 : -1;
    if (n) return d ? 1 : 0;
    return 0;
}

int RSAPrivateKey::completeCrt() {
    const bool hn = present(modulus), he = present(publicExponent), hd = present(privateExponent),
               hp = present(prime1), hq = present(prime2), hdp = present(exponent1), hdq = present(exponent2),
               hqi = present(coefficient);
    if (hn && he && hd && hp && hq && hdp && hdq && hqi) return 1;
    try {
        QvN N, P, Q, E, D, QINV;
        if (hn) {
            if (!hp && !hq) return 0;
            N = number(modulus);
            if (hp) P = number(prime1);
            if (hq) Q = number(prime2);
            if (!hp) P = N / Q;
            if (!hq) Q = N / P;
        } else {
            if (!hp) return 0;
            P = number(prime1);
            if (hq) {
                Q = number(prime2);
            } else {
                if (!hqi) return 0;
                Q = inverseMod(number(coefficient), P);
            }
            N = P * Q;
        }
        if (P.isZero() || Q.isZero() || P <= 1u || Q <= 1u) return 0;
        QINV = hqi ? number(coefficient) : inverseMod(Q, P);
        if (!he && !hd) return 0;
        QvN pm1(P), qm1(Q);
        pm1 -= static_cast<QvWord>(1);
        qm1 -= static_cast<QvWord>(1);
        if (he) E = number(publicExponent);
        if (hd) D = number(privateExponent);
        if (!he || !hd) {
            QvN phi = pm1 * qm1;
            if (!he) E = inverseMod(D, phi);
            if (!hd) D = inverseMod(E, phi);
        }
        QvN DP(D), DQ(D);
        DP %= pm1;
        DQ %= qm1;
        // Everything derived: only now are the missing members written.
        RSAPrivateKey out(*this);
        bool ok = (hn || store(out.modulus, N)) && (he || store(out.publicExponent, E)) &&
                  (hd || store(out.privateExponent, D)) && (hp || store(out.prime1, P)) &&
                  (hq || store(out.prime2, Q)) && (hdp || store(out.exponent1, DP)) &&
                  (hdq || store(out.exponent2, DQ)) && (hqi || store(out.coefficient, QINV));
        if (!ok) return 0;
        *this = out;
        return 1;
    } catch (const QvException&) {
        return 0;
    }
}

int RSAPrivateKey::setFromQvKey(const QvRsaPrivateKey& key) {
    cacheValid = 0;
    try {
        unsigned k = key.getKeyOctets();
        if (k < 1) return 0;
        std::vector<uint8_t> buf(k);
        typedef unsigned (QvRsaPrivateKey::*Getter)(QvOctet*, unsigned) const;
        const Getter get[] = {&QvRsaPrivateKey::getVersion,         &QvRsaPrivateKey::getModulus,
                              &QvRsaPrivateKey::getPublicExponent,  &QvRsaPrivateKey::getPrivateExponent,
                              &QvRsaPrivateKey::getPrime1,          &QvRsaPrivateKey::getPrime2,
                              &QvRsaPrivateKey::getExponent1,       &QvRsaPrivateKey::getExponent2,
                              &QvRsaPrivateKey::getCoefficient};
        ASNinteger* const v[] = {&version, &modulus, &publicExponent, &privateExponent, &prime1,
                                 &prime2, &exponent1, &exponent2, &coefficient};
        int ok = 1;
        for (int i = 0; i < 9 && ok; i++) {
            unsigned n = (key.*get[i])(buf.data(), k);
            if (n == 0 && i == 0) {
                // Version 0 may come back without octets.
                version.setValue(0);
                continue;
            }
            ok = n > 0 && v[i]->setUnsigned(buf.data(), n) == 1;
        }
        std::fill(buf.begin(), buf.end(), 0);
        return ok;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsaprkey", __LINE__, "0", e.what());
    }
    return 0;
}

int RSAPrivateKey::toQvKey(QvRsaPrivateKey& key) const {
    // Without n and d there is no private key to build (an emptied structure).
    if (!present(modulus) || !present(privateExponent)) return 0;
    try {
        auto len = [](const ASNinteger& i) { return static_cast<unsigned>(i.getValueLength()); };
        key.setVersion(version.getData(), len(version));
        key.setModulus(modulus.getData(), len(modulus));
        key.setPublicExponent(publicExponent.getData(), len(publicExponent));
        key.setPrivateExponent(privateExponent.getData(), len(privateExponent));
        key.setPrime1(prime1.getData(), len(prime1));
        key.setPrime2(prime2.getData(), len(prime2));
        key.setExponent1(exponent1.getData(), len(exponent1));
        key.setExponent2(exponent2.getData(), len(exponent2));
        key.setCoefficient(coefficient.getData(), len(coefficient));
        key.precompute();
        return 1;
    } catch (const QvWrongSyntaxException&) {
        return 0;
    } catch (const QvDivByZeroException&) {
        // Zero primes or moduli among the members: no usable key.
        return 0;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsaprkey", __LINE__, "0", e.what());
    }
    return 0;
}

bool RSAPrivateKey::toQvPublicKey(QvRsaPublicKey& key) const {
    try {
        key.setN(modulus.getData(), static_cast<unsigned>(modulus.getValueLength()));
        key.setE(publicExponent.getData(), static_cast<unsigned>(publicExponent.getValueLength()));
        return key.isReady();
    } catch (const QvWrongSyntaxException&) {
        return false;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsaprkey", __LINE__, "0", e.what());
    }
    return false;
}

int RSAPrivateKey::prepareKey() {
    cacheValid = 0;
    try {
        if (!m_key) m_key.reset(new QvRsaPrivateKey());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (toQvKey(*m_key) != 1 || !m_key->isPrivatePartReady()) return 0;
    cacheValid = 1;
    return 1;
}
