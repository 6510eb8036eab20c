// RSAPublicKey: verification and encryption through the library schemes.
#include "keys/rsapukey.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "keys/rsaparams.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrsacipher.h"
#include "libtorvapp/qvrsacipherpkcsoaep.h"
#include "libtorvapp/qvrsacipherpkcsv15.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "support/memfile.h"
#include "support/vtest.h"

RSAPublicKey::RSAPublicKey(uint32_t t) : ASNsequenceF(t), modulus(0), publicExponent(0) {}
RSAPublicKey::RSAPublicKey(const RSAPublicKey& o)
    : ASNsequenceF(o), modulus(o.modulus), publicExponent(o.publicExponent), m_prepared(false) {}
RSAPublicKey& RSAPublicKey::operator=(const RSAPublicKey& o) {
    if (this == &o) return *this;
    m_prepared = false;
    modulus = o.modulus;
    publicExponent = o.publicExponent;
    return *this;
}
RSAPublicKey::~RSAPublicKey() = default;

void RSAPublicKey::clear() {
    m_prepared = false;
    modulus.clear();
    publicExponent.clear();
}

int RSAPublicKey::read_contents(GenericFile* src, long len) {
    m_prepared = false;
    if (len < 2) return 0;
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long r = modulus.read(src, len, f);
    if (r < 1) return static_cast<int>(r);
    if (r >= len) return 0;
    long r2 = publicExponent.read(src, len - r, f);
    if (r2 < 1) return static_cast<int>(r2);
    return r + r2 == len ? 1 : 0;
}

int RSAPublicKey::write_contents(GenericFile* dst) const {
    long r = modulus.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = publicExponent.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long RSAPublicKey::lenOfBody() const { return modulus.lenOfObject() + publicExponent.lenOfObject(); }

void RSAPublicKey::digest_contents(QvHash* hash) const {
    modulus.digestObject(hash);
    publicExponent.digestObject(hash);
}

void RSAPublicKey::setModulus(const ASNinteger& v) {
    m_prepared = false;
    modulus = v;
}
void RSAPublicKey::setPublicExponent(const ASNinteger& v) {
    m_prepared = false;
    publicExponent = v;
}
int RSAPublicKey::setModulusBytes(const uint8_t* d, long n) {
    m_prepared = false;
    return modulus.setUnsigned(d, n);
}
int RSAPublicKey::setPublicExponentBytes(const uint8_t* d, long n) {
    m_prepared = false;
    return publicExponent.setUnsigned(d, n);
}

namespace {

constexpr unsigned kMaxModulusBits = 16384;

unsigned bitLength(const uint8_t* p, unsigned n) {
    if (n < 1 || (n == 1 && p[0] == 0)) return 0;
    unsigned bits = (n - 1) * 8;
    for (uint8_t top = p[0]; top != 0; top >>= 1) bits++;
    return bits;
}

// The content octets of an ASN.1 object.
bool contentOctets(const ASNobject& o, std::vector<uint8_t>& out) {
    MemFile mf;
    if (o.write_contents(&mf) < 1) return false;
    out.assign(mf.GetData(), mf.GetData() + mf.Size());
    return true;
}

void wipe(std::vector<uint8_t>& v) {
    if (!v.empty()) std::memset(v.data(), 0, v.size());
}

void reportFault(unsigned line, const QvException& e) { AssertInvariant(0, "rsapukey", line, "0", e.what()); }

// PSS settings of a signature algorithm (absent parameters: SHA-1, salt 20, MGF1
// with SHA-1; the trailer field must be 1); false when they are not usable.
bool pssSettings(const AlgorithmIdentifier& alg, unsigned* hashId, int* sel, unsigned* mgfHash, unsigned* salt) {
    int64_t s = 0;
    int mh = 0, trailer = 0;
    uint8_t present = 0;
    if (GetRsaPssParams(alg, hashId, &s, sel, &mh, &trailer, &present) != 1) return false;
    if (trailer != 1 || *hashId < 1 || *hashId > 8 || mh < 1 || mh > 8 || s < 0 || s > 0xFFFF) return false;
    *mgfHash = static_cast<unsigned>(mh);
    *salt = static_cast<unsigned>(s);
    return true;
}

// DER of DigestInfo { AlgorithmIdentifier { oid }, OCTET STRING digest }: the form
// without the NULL parameters, which the scheme does not build itself.
bool digestInfoWithoutNull(unsigned hashId, const uint8_t* digest, unsigned digestLen, QvOctMem& out) {
    ASNobjectId o;
    unsigned len = 0;
    if (HashToDigestOid(hashId, &o, &len) == nullptr || len != digestLen) return false;
    std::vector<uint8_t> oidDer;
    if (o.encodeToVector(oidDer) < 1) return false;
    // Every part is short (below 128 octets), so each length is one octet.
    std::vector<uint8_t> t;
    t.push_back(0x30);
    t.push_back(static_cast<uint8_t>(2 + oidDer.size() + 2 + digestLen));
    t.push_back(0x30);
    t.push_back(static_cast<uint8_t>(oidDer.size()));
    t.insert(t.end(), oidDer.begin(), oidDer.end());
    t.push_back(0x04);
    t.push_back(static_cast<uint8_t>(digestLen));
    t.insert(t.end(), digest, digest + digestLen);
    out = QvOctMem(t.data(), static_cast<unsigned>(t.size()));
    return true;
}

}  // namespace

unsigned RSAPublicKey::getModulusBits() const { return keyIntegerBits(modulus); }

int RSAPublicKey::setValues(const ASNobject& m, const ASNobject& e) {
    m_prepared = false;
    std::vector<uint8_t> a, b;
    if (!contentOctets(m, a) || !contentOctets(e, b) || a.empty() || b.empty()) return 0;
    return setModulusBytes(a.data(), static_cast<long>(a.size())) == 1 &&
                   setPublicExponentBytes(b.data(), static_cast<long>(b.size())) == 1
               ? 1
               : 0;
}

bool RSAPublicKey::operator==(const RSAPublicKey& o) const {
    return modulus == o.modulus && publicExponent == o.publicExponent;
}

unsigned RSAPublicKey::getLength() const { return keyIntegerOctets(modulus); }

unsigned RSAPublicKey::getKeySizeBits() const { return 8u * getLength(); }

int RSAPublicKey::setFromQvKey(const QvRsaPublicKey& key) {
    m_prepared = false;
    try {
        unsigned k = key.getKeyOctets();
        if (k < 1) return 0;
        std::vector<uint8_t> buf(k);
        unsigned n = key.getN(buf.data(), k);
        int ok = n > 0 && setModulusBytes(buf.data(), n) == 1;
        if (ok) {
            n = key.getE(buf.data(), k);
            ok = n > 0 && setPublicExponentBytes(buf.data(), n) == 1;
        }
        wipe(buf);
        return ok ? 1 : 0;
    } catch (const QvException& e) {
        reportFault(189, e);
    }
    return 0;
}

bool RSAPublicKey::exportKey(QvRsaPublicKey& key) const {
    const uint8_t *np, *ep;
    unsigned nn, en;
    if (!keyIntegerMagnitude(modulus, np, nn) || !keyIntegerMagnitude(publicExponent, ep, en)) return false;
    // Even moduli, a zero exponent and sizes beyond any real key are no usable key.
    if ((np[nn - 1] & 1) == 0 || bitLength(np, nn) < 2 || bitLength(ep, en) == 0) return false;
    if (bitLength(np, nn) > kMaxModulusBits || bitLength(ep, en) > bitLength(np, nn)) return false;
    try {
        key.setN(np, nn);
        key.setE(ep, en);
        return key.isReady();
    } catch (const QvWrongSyntaxException&) {
        return false;
    } catch (const QvException& e) {
        reportFault(258, e);
    }
    return false;
}

int RSAPublicKey::prepare() {
    m_prepared = false;
    if (!m_key) m_key.reset(new QvRsaPublicKey());
    if (!exportKey(*m_key)) return 0;
    m_prepared = true;
    return 1;
}

// ---------------------------------------------------------------------------
// Verification

int RSAPublicKey::verifyRaw(const uint8_t* msg, unsigned msgLen, const uint8_t* sig, unsigned sigLen) {
    AssertInvariant(msg != nullptr && msgLen != 0, "rsapukey", 977, "msg != NULL && msgLen != 0");
    if (!ready()) return kKeyFailure;
    if (sigLen < msgLen) return kBadArguments;
    if (sig == nullptr) return kInvalid;
    try {
        if (!m_raw) m_raw.reset(new QvRsaSig());
        m_raw->setPublicKey(m_key.get());
        if (sigLen > m_raw->getKeyOctets(1)) return kInvalid;
        return m_raw->verify(msg, msgLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const QvException& e) {
        reportFault(1001, e);
    }
    return kKeyFailure;
}

int RSAPublicKey::verifyPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig,
                              unsigned sigLen) {
    AssertInvariant(digest != nullptr && sig != nullptr, "rsapukey", 649, "digest != NULL && signature != NULL");
    if (!ready()) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || QvGenericHash::getGenericHashOctets(hashId) != digestLen) return kBadArguments;
    try {
        if (!m_pkcs1) m_pkcs1.reset(new QvRsaSigPkcsV15());
        m_pkcs1->setPublicKey(m_key.get());
        m_pkcs1->setHashAlgo(hashId);
        if (sigLen > m_pkcs1->getKeyOctets(1)) return kInvalid;
        return m_pkcs1->verify(digest, digestLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const QvException& e) {
        reportFault(678, e);
    }
    return kKeyFailure;
}

int RSAPublicKey::verifyPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig,
                            unsigned sigLen, int mgfSelector, unsigned mgfHashId, unsigned saltLen) {
    if (sigLen != getLength()) return kInvalid;
    AssertInvariant(digest != nullptr && sig != nullptr, "rsapukey", 745, "digest != NULL && signature != NULL");
    if (!ready()) return kKeyFailure;
    if (hashId < 1 || hashId > 8) return kBadArguments;
    const unsigned hLen = QvGenericHash::getGenericHashOctets(hashId);
    if (hLen != digestLen) return kBadArguments;
    if (mgfHashId == 0) mgfHashId = hashId;
    if (mgfSelector == 0 && mgfHashId > 8) return kBadArguments;
    try {
        const unsigned k = m_key->getKeyOctets();
        if (static_cast<uint64_t>(k) < static_cast<uint64_t>(hLen) + saltLen + 2 || sigLen > k) return kInvalid;
        QvRsaSigPkcsPss scheme(saltLen, nullptr, hashId, static_cast<unsigned>(mgfSelector), mgfHashId);
        scheme.setPublicKey(m_key.get());
        return scheme.verify(digest, hLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const QvException& e) {
        reportFault(783, e);
    }
    return kKeyFailure;
}

int RSAPublicKey::verify(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& alg,
                         const uint8_t* sig, unsigned sigLen) {
    unsigned hashId = 0, expectLen = 0;
    if (RsaSignatureOidToHash(alg.algorithm, &expectLen, &hashId) == 1)
        return verifyPkcs1(digest, digestLen, hashId, sig, sigLen);
    if (!isRsaPssOid(alg.algorithm)) return kUnsupported;
    int sel = 0;
    unsigned mgfHash = 0, salt = 0;
    if (!pssSettings(alg, &hashId, &sel, &mgfHash, &salt)) return kUnsupported;
    return verifyPss(digest, digestLen, hashId, sig, sigLen, sel, mgfHash, salt);
}

namespace {

// The one-shot digest of data with the holder switched to hashId; its length.
unsigned digestWith(std::unique_ptr<QvGenericHash>& holder, unsigned hashId, const uint8_t* data, unsigned len,
                    uint8_t* out) {
    if (!holder) holder.reset(new QvGenericHash());
    holder->setHashAlgo(hashId);
    holder->currentHash->hash(data, len);
    const unsigned n = QvGenericHash::getGenericHashOctets(hashId);
    holder->currentHash->getHash(n, out);
    return n;
}

}  // namespace

int RSAPublicKey::verifyPkcs1Data(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig,
                                  unsigned sigLen) {
    AssertInvariant(data != nullptr && sig != nullptr, "rsapukey", 422, "data != NULL && signature != NULL");
    if (dataLen == 0 || hashId < 1 || hashId > 8) return kBadArguments;
    uint8_t d[64];
    unsigned n = 0;
    try {
        n = digestWith(m_hash, hashId, data, dataLen, d);
    } catch (const QvException& e) {
        reportFault(446, e);
    }
    return verifyPkcs1(d, n, hashId, sig, sigLen);
}

int RSAPublicKey::verifyPssData(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig,
                                unsigned sigLen, int mgfSelector, unsigned mgfHashId, unsigned saltLen) {
    AssertInvariant(data != nullptr && sig != nullptr, "rsapukey", 471, "data != NULL && signature != NULL");
    if (dataLen == 0 || hashId < 1 || hashId > 8) return kBadArguments;
    uint8_t d[64];
    unsigned n = 0;
    try {
        n = digestWith(m_hash, hashId, data, dataLen, d);
    } catch (const QvException& e) {
        reportFault(495, e);
    }
    return verifyPss(d, n, hashId, sig, sigLen, mgfSelector, mgfHashId, saltLen);
}

int RSAPublicKey::verifyData(const uint8_t* data, unsigned dataLen, const AlgorithmIdentifier& alg,
                             const uint8_t* sig, unsigned sigLen) {
    unsigned hashId = 0, expectLen = 0;
    if (RsaSignatureOidToHash(alg.algorithm, &expectLen, &hashId) == 1)
        return verifyPkcs1Data(data, dataLen, hashId, sig, sigLen);
    if (!isRsaPssOid(alg.algorithm)) return kUnsupported;
    int sel = 0;
    unsigned mgfHash = 0, salt = 0;
    if (!pssSettings(alg, &hashId, &sel, &mgfHash, &salt)) return kUnsupported;
    return verifyPssData(data, dataLen, hashId, sig, sigLen, sel, mgfHash, salt);
}

int RSAPublicKey::verifyObjectPkcs1(const ASNobject& obj, const ASNobjectId& sigOid, const uint8_t* sig,
                                    unsigned sigLen) {
    AssertInvariant(sig != nullptr, "rsapukey", 553, "signature != NULL");
    unsigned hashId = 0, len = 0;
    if (RsaSignatureOidToHash(sigOid, &len, &hashId) != 1) return kUnsupported;
    uint8_t d[64];
    if (obj.digest(hashId, d, sizeof d) != 1) return kUnsupported;
    return verifyPkcs1(d, len, hashId, sig, sigLen);
}

int RSAPublicKey::verifyObjectPss(const ASNobject& obj, const AlgorithmIdentifier& alg, const uint8_t* sig,
                                  unsigned sigLen) {
    AssertInvariant(sig != nullptr, "rsapukey", 598, "signature != NULL");
    unsigned hashId = 0, mgfHash = 0, salt = 0;
    int sel = 0;
    if (!isRsaPssOid(alg.algorithm) || !pssSettings(alg, &hashId, &sel, &mgfHash, &salt)) return kUnsupported;
    uint8_t d[64];
    if (obj.digest(hashId, d, sizeof d) != 1) return kUnsupported;
    return verifyPss(d, QvGenericHash::getGenericHashOctets(hashId), hashId, sig, sigLen, sel, mgfHash, salt);
}

int RSAPublicKey::verifyObject(const ASNobject& obj, const AlgorithmIdentifier& alg, const uint8_t* sig,
                               unsigned sigLen) {
    unsigned hashId = 0, len = 0;
    if (RsaSignatureOidToHash(alg.algorithm, &len, &hashId) == 1)
        return verifyObjectPkcs1(obj, alg.algorithm, sig, sigLen);
    if (isRsaPssOid(alg.algorithm)) return verifyObjectPss(obj, alg, sig, sigLen);
    return kUnsupported;
}

int RSAPublicKey::verifyDigest(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
                               const uint8_t* sig, unsigned sigLen) const {
    if (digest == nullptr || sig == nullptr) return kInvalid;
    RSAPublicKey key(*this);
    int r = key.verify(digest, digestLen, sigAlg, sig, sigLen);
    if (r == kBadArguments) return kInvalid;
    unsigned hashId = 0, expectLen = 0;
    if (r != kInvalid || RsaSignatureOidToHash(sigAlg.algorithm, &expectLen, &hashId) != 1) return r;
    // The parameters of the digest identifier may also be left out.
    QvOctMem t, em;
    if (!digestInfoWithoutNull(hashId, digest, digestLen, t)) return kInvalid;
    if (!qvPkcs1EmsaV15(em, t, key.m_key->getKeyOctets())) return kInvalid;
    return key.verifyRaw(em.getConstData(), em.getLength(), sig, sigLen) == kValid ? kValid : kInvalid;
}

// ---------------------------------------------------------------------------
// Encryption

namespace {
enum { kRaw = 0, kPkcs1 = 1, kOaep = 2 };
}  // namespace

int RSAPublicKey::encrypt(int kind, const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out,
                          unsigned hashId, unsigned oaepWord, unsigned mgfHashId, const uint8_t* label,
                          unsigned labelLen, unsigned line) {
    if (!ready()) return kKeyFailure;
    if (data == nullptr && dataLen != 0) return kBadArguments;
    static const uint8_t nothing = 0;
    if (data == nullptr) data = &nothing;
    try {
        std::unique_ptr<QvRsaCipher> scheme;
        if (kind == kRaw) {
            scheme.reset(new QvRsaCipher());
        } else if (kind == kPkcs1) {
            if (rbg == nullptr) return kBadArguments;
            scheme.reset(new QvRsaCipherPkcsV15(rbg));
        } else {
            if (rbg == nullptr || hashId < 1 || hashId > 8 || (oaepWord == 0 && (mgfHashId < 1 || mgfHashId > 8)))
                return kBadArguments;
            scheme.reset(new QvRsaCipherPkcsOaep(rbg, hashId, oaepWord, mgfHashId));
        }
        scheme->setPublicKey(m_key.get());
        if (kind == kRaw) {
            if (dataLen > m_key->getKeyOctets()) return kBadArguments;
            // A value not below n is refused, never reduced.
            if (QvN(data, dataLen, 0) >= static_cast<const QvN&>(m_key->getN())) return kBadArguments;
        } else {
            // A modulus too short for the scheme's padding has room for nothing.
            const unsigned k = m_key->getKeyOctets();
            auto* oaep = dynamic_cast<QvRsaCipherPkcsOaep*>(scheme.get());
            if (k < (oaep != nullptr ? 2 * oaep->getHLen() + 2 : 11u)) return kBadArguments;
            if (dataLen > scheme->getMaxPlainTextOctets()) return kBadArguments;
        }
        const unsigned room = scheme->getMaxCipherTextOctets();
        if (!out.SetLength(room)) return kNoOutput;
        unsigned n;
        if (label != nullptr && labelLen != 0)
            n = scheme->encryptWithLabel(data, dataLen, label, labelLen, out.GetData(), room);
        else
            n = scheme->encrypt(data, dataLen, out.GetData(), room);
        out.SetLength(n);
        return n > 0 ? kValid : kInvalid;
    } catch (const QvException& e) {
        reportFault(line, e);
    }
    return kKeyFailure;
}

int RSAPublicKey::encryptRaw(const uint8_t* data, unsigned dataLen, MemFile& out) {
    return encrypt(kRaw, data, dataLen, nullptr, out, 0, 0, 0, nullptr, 0, 1281);
}

int RSAPublicKey::encryptRaw(const uint8_t* data, unsigned dataLen, uint8_t* out, unsigned outLen) {
    if (out == nullptr || outLen < getLength()) return kBadArguments;
    MemFile view(static_cast<const void*>(out), outLen, false);
    return encryptRaw(data, dataLen, view);
}

int RSAPublicKey::encryptPkcs1(const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out) {
    return encrypt(kPkcs1, data, dataLen, rbg, out, 0, 0, 0, nullptr, 0, 1089);
}

int RSAPublicKey::encryptOaep(const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out, unsigned hashId,
                              unsigned oaepWord, unsigned mgfHashId, const uint8_t* label, unsigned labelLen) {
    return encrypt(kOaep, data, dataLen, rbg, out, hashId, oaepWord, mgfHashId, label, labelLen, 1197);
}

// ---------------------------------------------------------------------------
// MGF1 and EMSA-PSS-VERIFY

int RSAPublicKey::mgf1Mask(unsigned hashId, uint8_t* data, unsigned dataLen, const uint8_t* seed, unsigned seedLen) {
    try {
        QvMgf1 mgf(hashId, 0);
        mgf.xorMask(data, dataLen, seed, seedLen);
        return 1;
    } catch (const QvArgumentRangeException&) {
        return 0;
    }
}

int RSAPublicKey::emsaPssVerify(unsigned modBits, const uint8_t* em, const uint8_t* mHash, unsigned mHashLen,
                                unsigned hashId, uint32_t word, unsigned mgfHashId, unsigned saltLen) {
    if (hashId == 0 || word != 0 || modBits == 0 || em == nullptr || mHash == nullptr) return kBadArguments;
    if (hashId > 8) return kUnsupported;
    if (mgfHashId == 0) mgfHashId = hashId;
    const unsigned hLen = QvGenericHash::getGenericHashOctets(hashId);
    if (saltLen == 0xFFFFFFFFu) saltLen = hLen;
    const unsigned emLen = (modBits + 6) / 8;
    if (static_cast<uint64_t>(emLen) < static_cast<uint64_t>(mHashLen) + saltLen + 2) return kInvalid;
    if (em[emLen - 1] != 0xBC || hLen != mHashLen) return kInvalid;
    std::vector<uint8_t> db(em, em + emLen);
    const uint8_t topMask = static_cast<uint8_t>(0xFFu >> (8u * emLen + 1u - modBits));
    int result = kInvalid;
    if ((db[0] & ~topMask) == 0) {
        const uint8_t* h = em + emLen - hLen - 1;
        const unsigned dbLen = emLen - hLen - 1;
        if (mgf1Mask(mgfHashId, db.data(), dbLen, h, hLen) != 1) {
            result = kUnsupported;
        } else {
            db[0] &= topMask;
            const unsigned zeros = emLen - hLen - saltLen - 2;
            bool shape = db[zeros] == 0x01;
            for (unsigned i = 0; i < zeros; i++) shape = shape && db[i] == 0;
            if (shape) {
                try {
                    std::unique_ptr<QvHash> hash(qvHashCreateObject(hashId));
                    static const uint8_t eight[8] = {0};
                    hash->init();
                    hash->step(eight, 8);
                    hash->step(mHash, mHashLen);
                    if (saltLen != 0) hash->step(db.data() + dbLen - saltLen, saltLen);
                    hash->finish();
                    std::vector<uint8_t> h2(hLen);
                    hash->getHash(hLen, h2.data());
                    result = std::memcmp(h2.data(), h, hLen) == 0 ? kValid : kInvalid;
                } catch (const QvException&) {
                    result = kUnsupported;
                }
            }
        }
    }
    wipe(db);
    return result;
}
