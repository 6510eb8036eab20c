// RSAPublicKey and its PKCS #1 signature verification through the library schemes.
#include "keys/rsapukey.h"

#include <new>
#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvpkcs1.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "libtorvapp/qvrsasigpkcsv15.h"

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
    if (isRsaPssOid(sigAlg.algorithm)) return verifyPss(digest, digestLen, sigAlg, sig, sigLen);
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

int RSAPublicKey::verifyPss(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& sigAlg,
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
