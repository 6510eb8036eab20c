// RSAPublicKey and PKCS #1 version 1.5 signature verification.
#include "keys/rsapukey.h"

#include <cstring>
#include <new>
#include <vector>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"
#include <memory>
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"

RSAPublicKey::RSAPublicKey(uint32_t t) : ASNsequenceF(t), modulus(0), publicExponent(0) {}
RSAPublicKey::RSAPublicKey(const RSAPublicKey& o)
    : ASNsequenceF(o), modulus(o.modulus), publicExponent(o.publicExponent) {}
RSAPublicKey& RSAPublicKey::operator=(const RSAPublicKey& o) {
    if (this == &o) return *this;
    modulus = o.modulus;
    publicExponent = o.publicExponent;
    return *this;
}
RSAPublicKey::~RSAPublicKey() = default;

void RSAPublicKey::clear() {
    modulus.clear();
    publicExponent.clear();
}

int RSAPublicKey::read_contents(GenericFile* src, long len) {
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

void RSAPublicKey::setModulus(const ASNinteger& v) { modulus = v; }
void RSAPublicKey::setPublicExponent(const ASNinteger& v) { publicExponent = v; }
int RSAPublicKey::setModulusBytes(const uint8_t* d, long n) { return modulus.setUnsigned(d, n); }
int RSAPublicKey::setPublicExponentBytes(const uint8_t* d, long n) { return publicExponent.setUnsigned(d, n); }

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

// DER of DigestInfo { AlgorithmIdentifier { oid, NULL or nothing }, OCTET STRING digest }.
bool digestInfo(unsigned hashId, const uint8_t* digest, unsigned digestLen, bool withNull,
                std::vector<uint8_t>& out) {
    ASNobjectId o;
    unsigned len = 0;
    if (HashToDigestOid(hashId, &o, &len) == nullptr || len != digestLen) return false;
    std::vector<uint8_t> oidDer;
    if (o.encodeToVector(oidDer) < 1) return false;
    size_t algLen = oidDer.size() + (withNull ? 2 : 0);
    // Every part is short (below 128 octets), so each length is one octet.
    out.clear();
    out.push_back(0x30);
    out.push_back(static_cast<uint8_t>(2 + algLen + 2 + digestLen));
    out.push_back(0x30);
    out.push_back(static_cast<uint8_t>(algLen));
    out.insert(out.end(), oidDer.begin(), oidDer.end());
    if (withNull) {
        out.push_back(0x05);
        out.push_back(0x00);
    }
    out.push_back(0x04);
    out.push_back(static_cast<uint8_t>(digestLen));
    out.insert(out.end(), digest, digest + digestLen);
    return true;
}

bool pkcs1Matches(const std::vector<uint8_t>& em, const std::vector<uint8_t>& t) {
    size_t k = em.size();
    // 00 01, at least eight FF, 00, T.
    if (k < t.size() + 11) return false;
    size_t ps = k - 3 - t.size();
    if (em[0] != 0x00 || em[1] != 0x01) return false;
    for (size_t i = 0; i < ps; i++)
        if (em[2 + i] != 0xFF) return false;
    if (em[2 + ps] != 0x00) return false;
    return std::memcmp(em.data() + 3 + ps, t.data(), t.size()) == 0;
}

}  // namespace

unsigned RSAPublicKey::getModulusBits() const {
    const uint8_t* p;
    long n;
    if (!magnitude(modulus, &p, &n)) return 0;
    return bitLength(p, n);
}

namespace {

// EMSA-PSS verification of the encoded message em (emLen octets, emBits bits).
bool pssMatches(const std::vector<uint8_t>& em, unsigned emBits, const uint8_t* mHash, unsigned hLen,
                unsigned hashId, unsigned mgfHashId, int64_t sLen) {
    size_t emLen = em.size();
    if (sLen < 0 || emLen < hLen + static_cast<size_t>(sLen) + 2) return false;
    if (em[emLen - 1] != 0xBC) return false;
    size_t dbLen = emLen - hLen - 1;
    unsigned topBits = static_cast<unsigned>(8 * emLen - emBits);
    uint8_t topMask = static_cast<uint8_t>(0xFF >> topBits);
    if ((em[0] & ~topMask) != 0) return false;
    std::vector<uint8_t> db(em.begin(), em.begin() + static_cast<long>(dbLen));
    const uint8_t* h = em.data() + dbLen;
    QvMgf1 mgf(mgfHashId, 0);
    mgf.xorMask(db.data(), static_cast<unsigned>(dbLen), h, hLen);
    db[0] &= topMask;
    size_t zeros = dbLen - static_cast<size_t>(sLen) - 1;
    for (size_t i = 0; i < zeros; i++)
        if (db[i] != 0) return false;
    if (db[zeros] != 0x01) return false;
    std::unique_ptr<QvHash> hash(qvHashCreateObject(hashId));
    static const uint8_t pad[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    hash->init();
    hash->step(pad, 8);
    hash->step(mHash, hLen);
    if (sLen > 0) hash->step(db.data() + zeros + 1, static_cast<unsigned>(sLen));
    hash->finish();
    std::vector<uint8_t> h2(hLen);
    hash->getHash(hLen, h2.data());
    return std::memcmp(h2.data(), h, hLen) == 0;
}

}  // namespace

int RSAPublicKey::verifyDigest(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
                               const uint8_t* sig, unsigned sigLen) const {
    if (isRsaPssOid(sigAlg.algorithm)) return verifyPss(digest, digestLen, sigAlg, sig, sigLen);
    unsigned hashId = 0, expectLen = 0;
    if (RsaSignatureOidToHash(sigAlg.algorithm, &expectLen, &hashId) != 1) return kUnsupported;
    if (digest == nullptr || digestLen != expectLen) return kInvalid;
    std::vector<uint8_t> em;
    int status = kInvalid;
    if (!publicOperation(sig, sigLen, em, &status)) return status;
    try {
        std::vector<uint8_t> t;
        if (!digestInfo(hashId, digest, digestLen, true, t)) return kUnsupported;
        if (pkcs1Matches(em, t)) return kValid;
        // The parameters of the digest identifier may also be left out.
        if (!digestInfo(hashId, digest, digestLen, false, t)) return kUnsupported;
        return pkcs1Matches(em, t) ? kValid : kInvalid;
    } catch (const std::bad_alloc&) {
        return kKeyFailure;
    } catch (const QvException&) {
        return kKeyFailure;
    }
}

bool RSAPublicKey::publicOperation(const uint8_t* sig, unsigned sigLen, std::vector<uint8_t>& m, int* status) const {
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
        QvN n(np, static_cast<unsigned>(nn), 0);
        QvN s(sig, sigLen, 0);
        if (s >= n) return false;
        QvN e(ep, static_cast<unsigned>(en), 0);
        QvModulus mod(n, QvModulus::OPT_MONTGOMERY);
        QvZn x(s, &mod);
        x ^= e;
        m.assign(static_cast<size_t>(nn), 0);
        if (x.asQvN().asOctetString(m.data(), static_cast<unsigned>(nn), true) == 0) return false;
        return true;
    } catch (const std::bad_alloc&) {
        *status = kKeyFailure;
        return false;
    } catch (const QvException&) {
        *status = kKeyFailure;
        return false;
    }
}

int RSAPublicKey::verifyPss(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
                            const uint8_t* sig, unsigned sigLen) const {
    unsigned hashId = 0;
    int64_t salt = 0;
    int sel = 0, mgfHash = 0, trailer = 0;
    uint8_t present = 0;
    if (GetRsaPssParams(sigAlg, &hashId, &salt, &sel, &mgfHash, &trailer, &present) != 1) return kUnsupported;
    if (sel != 0 || trailer != 1 || hashId < 1 || hashId > 8 || mgfHash < 1 || mgfHash > 8) return kUnsupported;
    if (digest == nullptr || digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kInvalid;
    std::vector<uint8_t> m;
    int status = kInvalid;
    if (!publicOperation(sig, sigLen, m, &status)) return status;
    unsigned modBits = getModulusBits();
    unsigned emBits = modBits - 1;
    size_t emLen = (emBits + 7) / 8;
    // The k-octet form has one more leading octet when emBits is a multiple of 8.
    if (m.size() > emLen) {
        if (m[0] != 0) return kInvalid;
        m.erase(m.begin());
    }
    try {
        return pssMatches(m, emBits, digest, digestLen, hashId, static_cast<unsigned>(mgfHash), salt) ? kValid
                                                                                                      : kInvalid;
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
