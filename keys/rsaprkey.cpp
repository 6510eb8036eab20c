// RSAPrivateKey and its PKCS #1 signatures through the library schemes.
#include "keys/rsaprkey.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvrsacipher.h"
#include "libtorvapp/qvrsacipherpkcsoaep.h"
#include "libtorvapp/qvrsacipherpkcsv15.h"
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

unsigned RSAPrivateKey::getModulusOctets() const { return keyIntegerOctets(modulus); }

int RSAPrivateKey::getKeyForm() const {
    const auto has = keyIntegerNonZero;
    bool n = has(modulus), e = has(publicExponent), d = has(privateExponent);
    bool crt = has(prime1) && has(prime2) && has(exponent1) && has(exponent2) && has(coefficient);
    if (n && e && d && crt) return 2;
    if (n && e) return d ? 1 : -1;
    if (n) return d ? 1 : 0;
    return 0;
}

int RSAPrivateKey::completeCrt() {
    const auto has = keyIntegerNonZero;
    const bool hn = has(modulus), he = has(publicExponent), hd = has(privateExponent), hp = has(prime1),
               hq = has(prime2), hdp = has(exponent1), hdq = has(exponent2), hqi = has(coefficient);
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
            // Without n, q cannot be recovered from p and qInv alone (the inverse of
            // qInv modulo p is q only when q < p, which nothing tells): both primes
            // are needed.
            if (!hp || !hq) return 0;
            P = number(prime1);
            Q = number(prime2);
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
    if (!keyIntegerNonZero(modulus) || !keyIntegerNonZero(privateExponent)) return 0;
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

namespace {

// Keys beyond any real size would only cost time.
constexpr unsigned kMaxModulusBits = 16384;

}  // namespace

int RSAPrivateKey::prepareKey() {
    cacheValid = 0;
    m_raw.reset();
    m_pkcs1.reset();
    // An even, zero or oversized modulus and a missing d are no key; the library
    // is not asked to build them.
    QvN n, d;
    if (!keyIntegerValue(modulus, n) || !keyIntegerValue(privateExponent, d) || n.isEven() || n <= 1u || d.isZero() ||
        n.getBitLength() > kMaxModulusBits || d.getBitLength() > kMaxModulusBits)
        return 0;
    try {
        if (!m_key) m_key.reset(new QvRsaPrivateKey());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    // Prime factors that are not those of n would make every result wrong: the key
    // then works from d alone.
    QvN p, q, c;
    const bool crt = keyIntegerValue(prime1, p) && keyIntegerValue(prime2, q) && keyIntegerValue(coefficient, c) &&
                     p > 1u && q > 1u && !c.isZero() && c < p && p * q == n && (c * q) % p == 1u;
    if (crt) {
        if (toQvKey(*m_key) != 1) return 0;
    } else {
        RSAPrivateKey bare(0);
        bare.version = version;
        bare.modulus = modulus;
        bare.publicExponent = publicExponent;
        bare.privateExponent = privateExponent;
        for (ASNinteger* v : {&bare.prime1, &bare.prime2, &bare.exponent1, &bare.exponent2, &bare.coefficient})
            v->setValue(0);
        m_key.reset(new QvRsaPrivateKey());
        if (bare.toQvKey(*m_key) != 1) return 0;
    }
    if (!m_key->isPrivatePartReady()) return 0;
    cacheValid = 1;
    return 1;
}

// ---------------------------------------------------------------------------
// Private-key operations

bool RSAPrivateKey::ready() { return cacheValid != 0 || prepareKey() == 1; }

bool RSAPrivateKey::canSign() const {
    // The masking factor is raised to e; without e it would not cancel out.
    return keyIntegerNonZero(publicExponent);
}

int RSAPrivateKey::runDecryption(QvRsaCipher& scheme, const uint8_t* in, unsigned len, MemFile& out,
                                 const uint8_t* label, unsigned labelLen) {
    if (in == nullptr || len > scheme.getMaxCipherTextOctets()) return -kBadArgument;
    // A ciphertext not below n is refused, never reduced.
    if (QvN(in, len, 0) >= static_cast<const QvN&>(m_key->getModulus())) return -kRejected;
    const unsigned room = scheme.getMaxPlainTextOctets();
    if (!out.SetLength(room)) return -kNoOutput;
    unsigned n;
    auto* oaep = dynamic_cast<QvRsaCipherPkcsOaep*>(&scheme);
    if (oaep != nullptr && label != nullptr && labelLen != 0)
        n = oaep->decryptWithLabel(in, len, label, labelLen, out.GetData(), room);
    else
        n = scheme.decrypt(in, len, out.GetData(), room);
    return static_cast<int>(n);
}

namespace {

// Maps the library's refusals to result codes; other library errors are internal.
template <typename Operation>
int resultOf(Operation op, unsigned line) {
    try {
        return op();
    } catch (const QvWrongSyntaxException&) {
        return RSAPrivateKey::kRejected;
    } catch (const QvArgumentRangeException&) {
        return RSAPrivateKey::kBadHash;
    } catch (const QvRbgCycleException&) {
        return RSAPrivateKey::kRbgFailure;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsaprkey", line, "0", e.what());
    }
    return RSAPrivateKey::kKeyFailure;
}

}  // namespace

int RSAPrivateKey::decryptRaw(const uint8_t* in, unsigned len, uint8_t* out, unsigned outLen) {
    if (!ready()) return kKeyFailure;
    return resultOf(
        [&] {
            QvRsaCipher scheme;
            scheme.setPrivateKey(m_key.get());
            if (in == nullptr || len > scheme.getMaxCipherTextOctets() || len < scheme.getMaxPlainTextOctets())
                return static_cast<int>(kBadArgument);
            if (out == nullptr || outLen < scheme.getMaxPlainTextOctets()) return static_cast<int>(kBadArgument);
            if (QvN(in, len, 0) >= static_cast<const QvN&>(m_key->getModulus())) return static_cast<int>(kRejected);
            return scheme.decrypt(in, len, out, scheme.getMaxPlainTextOctets()) == 0 ? static_cast<int>(kRejected)
                                                                                      : static_cast<int>(kSuccess);
        },
        __LINE__);
}

namespace {

// A failed decryption leaves nothing in the output.
int emptiedUnlessSuccess(int result, MemFile& out) {
    if (result != RSAPrivateKey::kSuccess && out.GetData() != nullptr) {
        std::memset(out.GetData(), 0, static_cast<size_t>(out.Size()));
        out.SetLength(0);
    }
    return result;
}

}  // namespace

int RSAPrivateKey::privateBlock(const uint8_t* in, unsigned len, uint8_t* out) const {
    if (in == nullptr || out == nullptr || len == 0 || len != getModulusOctets()) return 0;
    // The raw decryption of a copy: this key stays as it is.
    RSAPrivateKey key(*this);
    return key.decryptRaw(in, len, out, len) == kSuccess ? 1 : 0;
}

int RSAPrivateKey::decryptPkcsV15(const uint8_t* in, unsigned len, MemFile& out) {
    if (!ready()) return kKeyFailure;
    return emptiedUnlessSuccess(resultOf(
                                    [&] {
                                        QvRsaCipherPkcsV15 scheme(nullptr);
                                        scheme.setPrivateKey(m_key.get());
                                        const int n = runDecryption(scheme, in, len, out, nullptr, 0);
                                        if (n < 0) return -n;
                                        // An empty message is a message: only the padding
                                        // check tells failure.
                                        out.SetLength(static_cast<size_t>(n));
                                        return static_cast<int>(kSuccess);
                                    },
                                    __LINE__),
                                out);
}

int RSAPrivateKey::decryptOaep(const uint8_t* in, unsigned len, MemFile& out, unsigned hashId, unsigned mgfFlag,
                               unsigned mgfHashId, const uint8_t* label, unsigned labelLen) {
    if (!ready()) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || (mgfFlag == 0 && (mgfHashId < 1 || mgfHashId > 8))) return kBadHash;
    return emptiedUnlessSuccess(
        resultOf(
            [&] {
                QvRsaCipherPkcsOaep scheme(nullptr, hashId, mgfFlag, mgfHashId);
                scheme.setPrivateKey(m_key.get());
                // A modulus too short for two digests and two octets has no OAEP message.
                if (scheme.getMaxCipherTextOctets() < 2 * scheme.getHLen() + 2) return static_cast<int>(kBadArgument);
                const int n = runDecryption(scheme, in, len, out, label, labelLen);
                if (n < 0) return -n;
                out.SetLength(static_cast<size_t>(n));
                return static_cast<int>(kSuccess);
            },
            __LINE__),
        out);
}

int RSAPrivateKey::runSigner(QvRsaSig& scheme, const uint8_t* in, unsigned len, QvRbg* rbg, MemFile& out) {
    scheme.setPrivateKey(m_key.get());
    scheme.setMode(1);
    scheme.setRbg(rbg);
    const unsigned room = scheme.getMaxSignatureOctets();
    if (!out.SetLength(room)) {
        scheme.setRbg(nullptr);
        return kNoOutput;
    }
    unsigned n = 0;
    try {
        n = scheme.sign(in, len, out.GetData(), room);
    } catch (...) {
        // The generator serves this call only.
        scheme.setRbg(nullptr);
        out.SetLength(0);
        throw;
    }
    scheme.setRbg(nullptr);
    out.SetLength(n);
    return kSuccess;
}

int RSAPrivateKey::signRaw(const uint8_t* in, unsigned len, QvRbg* rbg, MemFile& out) {
    if (!ready() || !canSign()) return kKeyFailure;
    if (in == nullptr || rbg == nullptr) return kBadArgument;
    return resultOf(
        [&] {
            if (!m_raw) m_raw.reset(new QvRsaSig());
            m_raw->setPrivateKey(m_key.get());
            if (m_raw->getMaxSignatureOctets() < len) return static_cast<int>(kBadArgument);
            // A value not below n is refused, never reduced.
            if (QvN(in, len, 0) >= static_cast<const QvN&>(m_key->getModulus())) return static_cast<int>(kBadArgument);
            return runSigner(*m_raw, in, len, rbg, out);
        },
        __LINE__);
}

int RSAPrivateKey::signPkcsV15(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg,
                               MemFile& out) {
    if (!ready() || !canSign()) return kKeyFailure;
    if (hashId < 1 || hashId > 8) return kBadHash;
    if (digest == nullptr || rbg == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId))
        return kBadArgument;
    return resultOf(
        [&] {
            if (!m_pkcs1) m_pkcs1.reset(new QvRsaSigPkcsV15());
            m_pkcs1->setPrivateKey(m_key.get());
            m_pkcs1->setHashAlgo(hashId);
            // 01, at least eight FF, 00 and the DigestInfo must fit the modulus.
            QvOctMem t;
            qvPkcs1DigestInfo(t, *m_pkcs1->getHash(), digest, digestLen);
            if (m_key->getKeyOctets() < t.getLength() + 11) return static_cast<int>(kBadArgument);
            return runSigner(*m_pkcs1, digest, digestLen, rbg, out);
        },
        __LINE__);
}

int RSAPrivateKey::signPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, MemFile& out,
                           int mgfSelector, unsigned mgfHashId, unsigned saltLen) {
    if (!ready() || !canSign()) return kKeyFailure;
    if (hashId < 1 || hashId > 8) return kBadHash;
    const unsigned h = QvGenericHash::getGenericHashOctets(hashId);
    if (digest == nullptr || rbg == nullptr || digestLen != h) return kBadArgument;
    if (mgfHashId == 0) mgfHashId = hashId;
    if (mgfSelector == 0 && mgfHashId > 8) return kBadHash;
    if (saltLen == 0) saltLen = h;
    // The encoded message has (modBits + 6) / 8 octets: one fewer than the modulus
    // when its bit length is one more than a multiple of eight.
    const unsigned emLen = (m_key->getKeyBits() + 6) / 8;
    if (static_cast<uint64_t>(h) + saltLen + 2 > getModulusOctets() ||
        static_cast<uint64_t>(h) + saltLen + 2 > emLen)
        return kBadArgument;
    return resultOf(
        [&] {
            QvRsaSigPkcsPss scheme(saltLen, rbg, hashId, static_cast<unsigned>(mgfSelector), mgfHashId);
            return runSigner(scheme, digest, digestLen, rbg, out);
        },
        __LINE__);
}

int RSAPrivateKey::emsaPssEncode(unsigned modBits, const uint8_t* mHash, unsigned hLen, MemFile& out,
                                 unsigned hashId, uint32_t word, unsigned mgfHashId, const uint8_t* salt,
                                 unsigned saltLen) {
    if (hashId == 0 || modBits == 0 || word == 0xFFFFFFFFu || mHash == nullptr) return kBadArgument;
    if (hashId > 8) return kBadHash;
    if (hLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadArgument;
    if (salt == nullptr && saltLen != 0) return kBadArgument;
    if (mgfHashId == 0) mgfHashId = hashId;
    if (mgfHashId > 8) return kBadHash;
    const unsigned emBits = modBits - 1;
    const unsigned emLen = (modBits + 6) / 8;
    if (static_cast<uint64_t>(emLen) < static_cast<uint64_t>(hLen) + saltLen + 2) return kBadArgument;
    if (!out.SetLength(emLen)) return kNoOutput;
    uint8_t* em = out.GetData();
    try {
        std::unique_ptr<QvHash> hash(qvHashCreateObject(hashId));
        if (!hash) return kBadHash;
        static const uint8_t zeros[8] = {0};
        hash->init();
        hash->step(zeros, 8);
        hash->step(mHash, hLen);
        if (saltLen != 0) hash->step(salt, saltLen);
        hash->finish();
        uint8_t* H = em + emLen - hLen - 1;
        hash->getHash(hLen, H);
        const unsigned dbLen = emLen - hLen - 1;
        const unsigned zeroLen = emLen - saltLen - hLen - 2;
        std::memset(em, 0, zeroLen);
        em[zeroLen] = 0x01;
        if (saltLen != 0) std::memcpy(em + zeroLen + 1, salt, saltLen);
        QvMgf1 mgf(mgfHashId, 0);
        mgf.xorMask(em, dbLen, H, hLen);
        em[emLen - 1] = 0xBC;
        if (8u * emLen > emBits) em[0] &= static_cast<uint8_t>(0xFFu >> (8u * emLen - emBits));
        return static_cast<int>(kSuccess);
    } catch (const QvArgumentRangeException&) {
        out.SetLength(0);
        return kBadHash;
    } catch (const QvMemException&) {
        out.SetLength(0);
        return kNoOutput;
    }
}

int RSAPrivateKey::emsaPssEncodeRandomSalt(unsigned modBits, const uint8_t* mHash, unsigned hLen, MemFile& out,
                                           unsigned hashId, uint32_t word, unsigned mgfHashId, QvRbg* rbg,
                                           int64_t saltLen) {
    if (saltLen != 0 && rbg == nullptr) return kBadArgument;
    if (hashId == 0 || modBits == 0 || word == 0xFFFFFFFFu) return kBadArgument;
    if (hashId > 8) return kBadHash;
    if (saltLen == -1) saltLen = QvGenericHash::getGenericHashOctets(hashId);
    if (saltLen < 0 || static_cast<uint64_t>(saltLen) + hLen + 2 > (modBits + 6) / 8) return kBadArgument;
    std::vector<uint8_t> salt(static_cast<size_t>(saltLen));
    int r;
    try {
        if (saltLen != 0) rbg->fillOctets(salt.data(), static_cast<unsigned>(saltLen));
        r = emsaPssEncode(modBits, mHash, hLen, out, hashId, word, mgfHashId, salt.data(),
                          static_cast<unsigned>(saltLen));
    } catch (const QvRbgCycleException&) {
        r = kRbgFailure;
    }
    if (!salt.empty()) std::memset(salt.data(), 0, salt.size());
    return r;
}
