// RSAPrivateKey and PKCS #1 version 1.5 signing.
#include "keys/rsaprkey.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "support/memfile.h"
#include "support/textutil.h"

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

bool toQvN(const ASNinteger& v, QvN* out) {
    const uint8_t* d = v.getData();
    long n = v.getValueLength();
    if (d == nullptr || n < 1 || (d[0] & 0x80) != 0) return false;
    *out = QvN(d, static_cast<unsigned>(n), 0);
    return true;
}

}  // namespace

int RSAPrivateKey::signPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg*,
                             MemFile* out) const {
    if (out == nullptr) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || digest == nullptr) return kBadDigest;
    if (digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadDigest;
    AlgorithmIdentifier alg;
    if (alg.setDigestAlgorithm(hashId) != 1) return kBadDigest;
    std::vector<uint8_t> t;
    ASNoctstr d;
    if (d.set(digest, digestLen) != 1) return kNoMemory;
    {
        std::vector<uint8_t> a, o;
        if (alg.encodeToVector(a) < 1 || d.encodeToVector(o) < 1) return kNoMemory;
        a.insert(a.end(), o.begin(), o.end());
        t.push_back(0x30);
        t.push_back(static_cast<uint8_t>(a.size()));
        t.insert(t.end(), a.begin(), a.end());
    }
    try {
        QvN n;
        if (!toQvN(modulus, &n) || n.isZero()) return kKeyFailure;
        unsigned k = n.getOctetLength();
        if (k < t.size() + 11) return kKeyTooShort;
        std::vector<uint8_t> em(k, 0xFF);
        em[0] = 0x00;
        em[1] = 0x01;
        em[k - t.size() - 1] = 0x00;
        std::memcpy(em.data() + (k - t.size()), t.data(), t.size());
        return privateOperation(em, out);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

int RSAPrivateKey::privateOperation(const std::vector<uint8_t>& em, MemFile* out) const {
    try {
        QvN n, e, dExp;
        if (!toQvN(modulus, &n) || !toQvN(publicExponent, &e) || !toQvN(privateExponent, &dExp)) return kKeyFailure;
        if (n.isEven() || n <= 1u || dExp.isZero() || e.isZero()) return kKeyFailure;
        unsigned k = n.getOctetLength();
        QvN m(em.data(), static_cast<unsigned>(em.size()), 0);
        if (m >= n) return kKeyFailure;
        QvModulus mod(n, QvModulus::OPT_MONTGOMERY);
        QvZn s(m, &mod);
        s ^= dExp;
        // A fault in the private operation must not leave the key: check the result
        // with the public exponent before it is released.
        QvZn check(s);
        check ^= e;
        if (!(check.asQvN() == m)) return kKeyFailure;
        std::vector<uint8_t> sig(k, 0);
        if (s.asQvN().asOctetString(sig.data(), k, true) == 0) return kKeyFailure;
        if (out->Write(k, sig.data()) != 0) return kNoMemory;
        return kSigned;
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

int RSAPrivateKey::signPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, int mgfSelector,
                           unsigned mgfHashId, unsigned saltLen, MemFile* out) const {
    if (out == nullptr) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || mgfHashId < 1 || mgfHashId > 8 || mgfSelector != 0 || digest == nullptr)
        return kBadDigest;
    if (digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadDigest;
    if (saltLen > 0 && rbg == nullptr) return kKeyFailure;
    try {
        QvN n;
        if (!toQvN(modulus, &n) || n.isZero()) return kKeyFailure;
        unsigned emBits = n.getBitLength() - 1;
        size_t emLen = (emBits + 7) / 8;
        if (emLen < digestLen + static_cast<size_t>(saltLen) + 2) return kKeyTooShort;
        std::vector<uint8_t> salt(saltLen);
        if (saltLen > 0) rbg->fillOctets(salt.data(), saltLen);
        std::unique_ptr<QvHash> h(qvHashCreateObject(hashId));
        static const uint8_t pad[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        h->init();
        h->step(pad, 8);
        h->step(digest, digestLen);
        if (saltLen > 0) h->step(salt.data(), saltLen);
        h->finish();
        std::vector<uint8_t> em(emLen, 0);
        size_t dbLen = emLen - digestLen - 1;
        em[dbLen - saltLen - 1] = 0x01;
        if (saltLen > 0) std::memcpy(em.data() + dbLen - saltLen, salt.data(), saltLen);
        h->getHash(digestLen, em.data() + dbLen);
        QvMgf1 mgf(mgfHashId, 0);
        mgf.xorMask(em.data(), static_cast<unsigned>(dbLen), em.data() + dbLen, digestLen);
        em[0] &= static_cast<uint8_t>(0xFF >> (8 * emLen - emBits));
        em[emLen - 1] = 0xBC;
        SecureZero(salt.data(), salt.size());
        return privateOperation(em, out);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}
