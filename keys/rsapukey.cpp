// RSAPublicKey and its PKCS #1 signature verification through the library schemes.
#include "keys/rsapukey.h"

#include <cstring>
#include <new>
#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"
#include "support/memfile.h"
#include "support/vtest.h"

RSAPublicKey::RSAPublicKey(uint32_t t) : ASNsequenceF(t), modulus(0), publicExponent(0) {}
RSAPublicKey::RSAPublicKey(const RSAPublicKey& o)
    : ASNsequenceF(o), modulus(o.modulus), publicExponent(o.publicExponent) {}
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

// The magnitude of a non-negative INTEGER without leading zero octets; false for a
// negative or empty value.
bool magnitude(const ASNinteger& v, const uint8_t** p, long* n) {
    const uint8_t* d = v.getData();
    long all = v.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0) return false;
    long skip = 0;
    while (skip < all - 1 && d[skip] == 0) skip++;
    *p = d + skip;
    *n = all - skip;
    return true;
}

unsigned bitLength(const uint8_t* p, long n) {
    if (n < 1 || (n == 1 && p[0] == 0)) return 0;
    unsigned bits = static_cast<unsigned>(n - 1) * 8;
    for (uint8_t top = p[0]; top != 0; top >>= 1) bits++;
    return bits;
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

unsigned RSAPublicKey::getModulusBits() const {
    const uint8_t* p;
    long n;
    if (!magnitude(modulus, &p, &n)) return 0;
    return bitLength(p, n);
}


int RSAPublicKey::verifyDigest(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
                               const uint8_t* sig, unsigned sigLen) const {
    if (isRsaPssOid(sigAlg.algorithm)) return verifyPssAlg(digest, digestLen, sigAlg, sig, sigLen);
    unsigned hashId = 0, expectLen = 0;
    if (RsaSignatureOidToHash(sigAlg.algorithm, &expectLen, &hashId) != 1) return kUnsupported;
    if (digest == nullptr || digestLen != expectLen) return kInvalid;
    QvRsaPublicKey key;
    int status = kInvalid;
    if (!libraryKey(sig, sigLen, key, &status)) return status;
    try {
        QvRsaSigPkcsV15 scheme;
        scheme.setHashAlgo(hashId);
        scheme.setPublicKey(&key);
        if (scheme.verify(digest, digestLen, sig, sigLen)) return kValid;
        // The parameters of the digest identifier may also be left out.
        QvOctMem t, em;
        if (!digestInfoWithoutNull(hashId, digest, digestLen, t)) return kUnsupported;
        if (!qvPkcs1EmsaV15(em, t, key.getKeyOctets())) return kInvalid;
        return scheme.QvRsaSig::verify(em.getConstData(), em.getLength(), sig, sigLen) ? kValid : kInvalid;
    } catch (const std::bad_alloc&) {
        return kKeyFailure;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

bool RSAPublicKey::libraryKey(const uint8_t* sig, unsigned sigLen, QvRsaPublicKey& key, int* status) const {
    const uint8_t *np, *ep;
    long nn, en;
    *status = kKeyFailure;
    if (!magnitude(modulus, &np, &nn) || !magnitude(publicExponent, &ep, &en)) return false;
    // An even (or zero) modulus is no RSA key; sizes beyond any real key would only
    // cost time. Both are refused before any arithmetic.
    if ((np[nn - 1] & 1) == 0 || bitLength(np, nn) < 2 || bitLength(ep, en) == 0) return false;
    if (bitLength(np, nn) > kMaxModulusBits || bitLength(ep, en) > bitLength(np, nn)) return false;
    *status = kInvalid;
    if (sig == nullptr || sigLen != static_cast<unsigned>(nn)) return false;
    try {
        key.setN(np, static_cast<unsigned>(nn));
        key.setE(ep, static_cast<unsigned>(en));
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const QvException&) {
    }
    *status = kKeyFailure;
    return false;
}

int RSAPublicKey::verifyPssAlg(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
                            const uint8_t* sig, unsigned sigLen) const {
    unsigned hashId = 0;
    int64_t salt = 0;
    int sel = 0, mgfHash = 0, trailer = 0;
    uint8_t present = 0;
    if (GetRsaPssParams(sigAlg, &hashId, &salt, &sel, &mgfHash, &trailer, &present) != 1) return kUnsupported;
    if (sel != 0 || trailer != 1 || hashId < 1 || hashId > 8 || mgfHash < 1 || mgfHash > 8) return kUnsupported;
    if (digest == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kInvalid;
    QvRsaPublicKey key;
    int status = kInvalid;
    if (!libraryKey(sig, sigLen, key, &status)) return status;
    // A salt that cannot fit the encoded message makes no valid signature.
    unsigned emLen = (key.getKeyBits() + 6) / 8;
    if (salt < 0 || static_cast<uint64_t>(salt) + digestLen + 2 > emLen) return kInvalid;
    try {
        QvRsaSigPkcsPss scheme(static_cast<unsigned>(salt), nullptr, hashId, 0, static_cast<unsigned>(mgfHash));
        scheme.setPublicKey(&key);
        return scheme.verify(digest, digestLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const std::bad_alloc&) {
        return kKeyFailure;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

int RSAPublicKey::verifyObject(const ASNobject& obj, const AlgorithmIdentifier& sigAlg, const uint8_t* sig,
                               unsigned sigLen) const {
    unsigned hashId = 0, len = 0;
    if (SignatureAlgorithmToHash(sigAlg, &hashId, &len) != 1) return kUnsupported;
    uint8_t d[64];
    obj.digest(hashId, d, sizeof d);
    return verifyDigest(d, len, sigAlg, sig, sigLen);
}

// ---------------------------------------------------------------------------
// Members, conversions and the cached library key.

namespace {

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

}  // namespace

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

unsigned RSAPublicKey::getLength() const {
    const uint8_t* d = modulus.getData();
    long n = modulus.getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return static_cast<unsigned>(n < 1 ? 1 : n);
}

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
        AssertInvariant(0, "rsapukey", __LINE__, "0", e.what());
    }
    return 0;
}

bool RSAPublicKey::exportKey(QvRsaPublicKey& key) const {
    const uint8_t *np, *ep;
    long nn, en;
    if (!magnitude(modulus, &np, &nn) || !magnitude(publicExponent, &ep, &en)) return false;
    // Even moduli, a zero exponent and sizes beyond any real key are no usable key.
    if ((np[nn - 1] & 1) == 0 || bitLength(np, nn) < 2 || bitLength(ep, en) == 0) return false;
    if (bitLength(np, nn) > kMaxModulusBits || bitLength(ep, en) > bitLength(np, nn)) return false;
    try {
        key.setN(np, static_cast<unsigned>(nn));
        key.setE(ep, static_cast<unsigned>(en));
        return key.isReady();
    } catch (const QvWrongSyntaxException&) {
        return false;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsapukey", __LINE__, "0", e.what());
    }
    return false;
}

int RSAPublicKey::prepare() {
    m_prepared = false;
    try {
        if (!m_key) m_key.reset(new QvRsaPublicKey());
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!exportKey(*m_key)) return 0;
    m_prepared = true;
    return 1;
}

int RSAPublicKey::verifyPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig,
                              unsigned sigLen) {
    if (digest == nullptr || sig == nullptr) return kBadArguments;
    if (!m_prepared && prepare() != 1) return kKeyFailure;
    if (hashId < 1 || hashId > 8 || QvGenericHash::getGenericHashOctets(hashId) != digestLen) return kBadArguments;
    try {
        QvRsaSigPkcsV15 scheme;
        scheme.setPublicKey(m_key.get());
        scheme.setHashAlgo(hashId);
        if (sigLen > m_key->getKeyOctets()) return kInvalid;
        return scheme.verify(digest, digestLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const std::bad_alloc&) {
        return kKeyFailure;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsapukey", __LINE__, "0", e.what());
    }
    return kKeyFailure;
}

int RSAPublicKey::verifyPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig,
                            unsigned sigLen, int mgfSelector, unsigned mgfHashId, unsigned saltLen) {
    if (sigLen != getLength()) return kInvalid;
    if (digest == nullptr || sig == nullptr) return kBadArguments;
    if (!m_prepared && prepare() != 1) return kKeyFailure;
    if (hashId < 1 || hashId > 8) return kBadArguments;
    unsigned hLen = QvGenericHash::getGenericHashOctets(hashId);
    if (hLen != digestLen) return kBadArguments;
    if (mgfHashId == 0) mgfHashId = hashId;
    if (mgfHashId > 8) return kBadArguments;
    try {
        unsigned k = m_key->getKeyOctets();
        if (static_cast<uint64_t>(k) < static_cast<uint64_t>(hLen) + saltLen + 2 || sigLen > k) return kInvalid;
        QvRsaSigPkcsPss scheme(saltLen, nullptr, hashId, static_cast<unsigned>(mgfSelector), mgfHashId);
        scheme.setPublicKey(m_key.get());
        return scheme.verify(digest, hLen, sig, sigLen) ? kValid : kInvalid;
    } catch (const std::bad_alloc&) {
        return kKeyFailure;
    } catch (const QvException& e) {
        AssertInvariant(0, "rsapukey", __LINE__, "0", e.what());
    }
    return kKeyFailure;
}

namespace {

// The digest of data under hashId into out (64 octets of room); its length, 0 when
// the hash is unknown.
unsigned digestOf(unsigned hashId, const uint8_t* data, unsigned len, uint8_t* out) {
    if (hashId < 1 || hashId > 8) return 0;
    QvGenericHash h(hashId);
    h.currentHash->hash(data, len);
    unsigned n = QvGenericHash::getGenericHashOctets(hashId);
    h.currentHash->getHash(0, out);
    return n;
}

// PSS settings of a signature algorithm; false when they are not usable.
bool pssSettings(const AlgorithmIdentifier& alg, unsigned* hashId, int* sel, unsigned* mgfHash, unsigned* salt) {
    int64_t s = 0;
    int mh = 0, trailer = 0;
    uint8_t present = 0;
    if (GetRsaPssParams(alg, hashId, &s, sel, &mh, &trailer, &present) != 1) return false;
    if (*sel != 0 || trailer != 1 || *hashId < 1 || *hashId > 8 || mh < 1 || mh > 8 || s < 0 || s > 0xFFFF)
        return false;
    *mgfHash = static_cast<unsigned>(mh);
    *salt = static_cast<unsigned>(s);
    return true;
}

}  // namespace

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

int RSAPublicKey::verifyPkcs1Data(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig,
                                  unsigned sigLen) {
    if (data == nullptr || sig == nullptr || dataLen == 0) return kBadArguments;
    uint8_t d[64];
    unsigned n = digestOf(hashId, data, dataLen, d);
    if (n == 0) return kBadArguments;
    return verifyPkcs1(d, n, hashId, sig, sigLen);
}

int RSAPublicKey::verifyPssData(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig,
                                unsigned sigLen, int mgfSelector, unsigned mgfHashId, unsigned saltLen) {
    if (data == nullptr || sig == nullptr || dataLen == 0) return kBadArguments;
    uint8_t d[64];
    unsigned n = digestOf(hashId, data, dataLen, d);
    if (n == 0) return kBadArguments;
    return verifyPss(d, n, hashId, sig, sigLen, mgfSelector, mgfHashId, saltLen);
}

int RSAPublicKey::verifyData(const uint8_t* data, unsigned dataLen, const AlgorithmIdentifier& alg,
                             const uint8_t* sig, unsigned sigLen) {
    if (data == nullptr || sig == nullptr || dataLen == 0) return kBadArguments;
    unsigned hashId = 0, expectLen = 0;
    if (RsaSignatureOidToHash(alg.algorithm, &expectLen, &hashId) == 1)
        return verifyPkcs1Data(data, dataLen, hashId, sig, sigLen);
    if (!isRsaPssOid(alg.algorithm)) return kUnsupported;
    int sel = 0;
    unsigned mgfHash = 0, salt = 0;
    if (!pssSettings(alg, &hashId, &sel, &mgfHash, &salt)) return kUnsupported;
    return verifyPssData(data, dataLen, hashId, sig, sigLen, sel, mgfHash, salt);
}
