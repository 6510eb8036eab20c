// SubjectPublicKeyInfo.
#include "lib/libasn/x509/spkinfo.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "keys/pkcs3dh.h"
#include "keys/rsaparams.h"
#include "lib/libasn/asnoidconst.h"
#include "lib/libasn/x509/x942dh.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvhash.h"
#include "support/vtest.h"

namespace {

enum Family { kOther, kRsa, kDsa, kEc };

Family familyOf(const ASNobjectId& o) {
    if (isRsaKeyOid(o)) return kRsa;
    if (o == oid::id_dsa()) return kDsa;
    if (SubPubKeyInfo::isEcKey(o)) return kEc;
    return kOther;
}

// Hashes octets with a hash id; an exception of the library is an assertion failure.
void hashOctets(unsigned hashId, const uint8_t* data, uint32_t len, uint8_t* out) {
    try {
        std::unique_ptr<QvHash> h(qvHashCreateObject(hashId));
        h->init();
        if (len > 0) h->step(data, len);
        h->finish();
        h->getHash(h->getHashOctets(), out);
    } catch (const QvException& e) {
        AssertInvariant(0, "spkinfo", 1212, "0", e.what());
    }
}

}  // namespace

SubPubKeyInfo::SubPubKeyInfo(uint32_t t)
    : ASNsequenceF(t), algorithm(0u), subjectPublicKey(0), rsaKey(0), dsaKey(0), dsaParams(0), ecKey(0),
      ecParams(0) {}

SubPubKeyInfo::SubPubKeyInfo(const SubPubKeyInfo& o)
    : ASNsequenceF(o), algorithm(o.algorithm), subjectPublicKey(o.subjectPublicKey), rsaKey(o.rsaKey),
      dsaKey(o.dsaKey), dsaParams(o.dsaParams), ecKey(o.ecKey), ecParams(o.ecParams) {}

SubPubKeyInfo& SubPubKeyInfo::operator=(const SubPubKeyInfo& o) {
    if (this == &o) return *this;
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    algorithm = o.algorithm;
    subjectPublicKey = o.subjectPublicKey;
    rsaKey = o.rsaKey;
    dsaKey = o.dsaKey;
    dsaParams = o.dsaParams;
    ecKey = o.ecKey;
    ecParams = o.ecParams;
    return *this;
}

SubPubKeyInfo::~SubPubKeyInfo() = default;

void SubPubKeyInfo::clearCache() {
    rsaKey.clear();
    dsaKey.clear();
    dsaParams.clear();
    ecKey = ECPublicKey();
    ecParams = ECDomainParameters();
}

void SubPubKeyInfo::clear() {
    algorithm.clear();
    subjectPublicKey.clear();
    clearCache();
}

int SubPubKeyInfo::fillCache() {
    switch (familyOf(algorithm.algorithm)) {
        case kRsa: return getPublicKey(&rsaKey, nullptr);
        case kDsa: return getPublicKey(&dsaKey, &dsaParams);
        case kEc: return getEcPublicKey(&ecKey, &ecParams);
        default: return 1;
    }
}

int SubPubKeyInfo::read_contents(GenericFile* src, long len) {
    clearCache();
    if (len < 2) return 0;
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long r = algorithm.read(src, len, f);
    if (r < 1) return static_cast<int>(r);
    if (len - r < 2) return 0;
    long r2 = subjectPublicKey.read(src, len - r, f);
    if (r2 < 1) return static_cast<int>(r2);
    if (fillCache() != 1) return 0;
    return r + r2 == len ? 1 : 0;
}

int SubPubKeyInfo::write_contents(GenericFile* dst) const {
    long r = algorithm.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = subjectPublicKey.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long SubPubKeyInfo::lenOfBody() const { return algorithm.lenOfObject() + subjectPublicKey.lenOfObject(); }

void SubPubKeyInfo::digest_contents(QvHash* hash) const {
    algorithm.digestObject(hash);
    subjectPublicKey.digestObject(hash);
}

bool SubPubKeyInfo::operator==(const SubPubKeyInfo& o) const {
    return algorithm == o.algorithm && subjectPublicKey == o.subjectPublicKey;
}

// ---------------------------------------------------------------------------
// Reading the key

int SubPubKeyInfo::getPublicKey(ASNobject* key, ASNobject* params) const {
    if (key == nullptr) return 0;
    const uint8_t* b = subjectPublicKey.getBits();
    long n = subjectPublicKey.getByteLength();
    if (b == nullptr || n < 1) return 0;
    if (params != nullptr) {
        if (!algorithm.parametersPresent) return 0;
        if (params->assign(algorithm.parameters) != 1) return 0;
    }
    return key->readBuffer(b, n, 0) > 0 ? 1 : 0;
}

int SubPubKeyInfo::getPublicKeyOptParams(ASNobject* key, ASNobject* params, uint8_t* paramsPresent) const {
    if (paramsPresent != nullptr) *paramsPresent = algorithm.parametersPresent;
    if (!algorithm.parametersPresent) params = nullptr;
    return getPublicKey(key, params);
}

int SubPubKeyInfo::getKeaPublicKey(ASNobject* key, ASNobject* params) const {
    if (algorithm.parametersPresent &&
        (algorithm.parameters.tag != 0x04 || algorithm.parameters.getLength() != 10))
        return 0;
    return getPublicKey(key, params);
}

int SubPubKeyInfo::getEcPublicKey(ECPublicKey* out, ECDomainParameters* params) const {
    ECDomainParameters tmp;
    if (params == nullptr) params = &tmp;
    ECPublicKey tmpKey;
    if (out == nullptr) out = &tmpKey;
    const uint8_t* b = subjectPublicKey.getBits();
    long n = subjectPublicKey.getByteLength();
    if (b == nullptr || n < 1 || !algorithm.parametersPresent) return 0;
    if (params->assign(algorithm.parameters) != 1) return 0;
    if (out->set(b, n, subjectPublicKey.getUnusedBits()) != 1) return 0;
    if (isEcKey(algorithm.algorithm)) return 1;
    uint8_t p = b[0];
    if (p == 0x04 || p == 0x06 || p == 0x07 || p == 0x0E || p == 0x0F) {
        if ((n + 1) % 2 != 0) return 0;
    } else if (!(p == 0x01 || p == 0x02 || p == 0x03 || p == 0x0A || p == 0x0B)) {
        return 0;
    }
    unsigned f = params->getFieldSizeBits();
    if (f != 0 && f != out->getKeySizeBits()) return 0;
    return 1;
}

int SubPubKeyInfo::getEcPoint(ASNoctstr* out, ECDomainParameters* params) const {
    ECDomainParameters tmp;
    if (params == nullptr) params = &tmp;
    const uint8_t* b = subjectPublicKey.getBits();
    long n = subjectPublicKey.getByteLength();
    if (out == nullptr || b == nullptr || n < 1 || !algorithm.parametersPresent) return 0;
    if (params->assign(algorithm.parameters) != 1) return 0;
    return out->set(b, n);
}

// ---------------------------------------------------------------------------
// Key type and size

int SubPubKeyInfo::KeyAlgorithmId(const ASNobjectId& o) {
    if (o == algoid::rsassaPss()) return 4;
    if (o == algoid::rsaesOaep()) return 5;
    if (isRsaKeyOid(o)) return 1;
    if (o == oid::id_dsa()) return 2;
    if (o == algoid::ecPublicKey()) return 3;
    if (o == algoid::dhKeyAgreement()) return 101;
    if (o == algoid::dhPublicNumber()) return 102;
    if (o == algoid::ecDH()) return 51;
    if (o == algoid::ecMQV()) return 52;
    if (o == algoid::keaAlgorithm()) return 201;
    if (o == algoid::gostR3410_2001()) return 203;
    if (o == algoid::gostR3410_94()) return 202;
    return 0;
}

int SubPubKeyInfo::KeyAlgorithmId(const char* text) {
    ASNobjectId o;
    if (text == nullptr || o.setText(text) != 1) return 0;
    return KeyAlgorithmId(o);
}

bool SubPubKeyInfo::isDsaKey() const { return algorithm.algorithm == oid::id_dsa(); }
bool SubPubKeyInfo::isKeaKey() const { return algorithm.algorithm == algoid::keaAlgorithm(); }
bool SubPubKeyInfo::isRsaKey(const ASNobjectId& o) { return isRsaKeyOid(o); }
bool SubPubKeyInfo::isRsaKey(const char* text) {
    ASNobjectId o;
    return text != nullptr && o.setText(text) == 1 && isRsaKeyOid(o);
}
bool SubPubKeyInfo::isEcKey(const ASNobjectId& o) {
    return o == algoid::ecPublicKey() || o == algoid::ecDH() || o == algoid::ecMQV();
}
bool SubPubKeyInfo::isEcKey(const char* text) {
    ASNobjectId o;
    return text != nullptr && o.setText(text) == 1 && isEcKey(o);
}

uint64_t SubPubKeyInfo::getKeySizeBits() const {
    int id = getKeyAlgorithmId();
    switch (familyOf(algorithm.algorithm)) {
        case kRsa:
            if (id == 1 && algorithm.parametersPresent && algorithm.parameters.tag != 0x05) {
                // The key size given as an INTEGER parameter.
                ASNinteger size;
                if (size.assign(algorithm.parameters) == 1) {
                    const uint8_t* d = size.getData();
                    long all = size.getValueLength();
                    if (d != nullptr && all >= 1 && (d[0] & 0x80) == 0 && size.getLength() <= 8) {
                        uint64_t v = 0;
                        for (long i = 0; i < all; i++) v = (v << 8) | d[i];
                        return v;
                    }
                }
            }
            return rsaKey.getModulusBits();
        case kDsa:
            return algorithm.parametersPresent ? dsaParams.getPBits() : dsaKey.getBits();
        case kEc: {
            unsigned f = algorithm.parametersPresent ? ecParams.getFieldSizeBits() : 0;
            return f != 0 ? f : ecKey.getKeySizeBits();
        }
        default: break;
    }
    if (id == 101 || id == 102) {
        DSAPublicKey y;
        unsigned pBits = 0;
        if (id == 101) {
            Pkcs3DHParameter dh;
            if (getPublicKey(&y, &dh) != 1) return 0;
            pBits = dh.getPrimeBits();
        } else {
            X942DomainParameters x;
            if (getPublicKey(&y, &x) != 1) return 0;
            pBits = static_cast<unsigned>(x.getPBits());
        }
        return pBits != 0 ? pBits : 8 * static_cast<uint64_t>(y.getLength());
    }
    if (id == 201) {
        long n = subjectPublicKey.getByteLength();
        return n > 0 ? 8 * static_cast<uint64_t>(n) : 0;
    }
    RSAPublicKey k;
    return getPublicKey(&k, nullptr) == 1 ? k.getModulusBits() : 0;
}

int SubPubKeyInfo::detectKeyType() const {
    {
        RSAPublicKey k;
        if (getPublicKey(&k, nullptr) == 1) return 1;
    }
    {
        DSAPublicKey y;
        DSAParameters p;
        if (getPublicKey(&y, &p) == 1) {
            if (algorithm.algorithm == algoid::dhKeyAgreement()) return 101;
            if (algorithm.algorithm == algoid::dhPublicNumber()) return 102;
            return 2;
        }
        Pkcs3DHParameter dh;
        if (getPublicKey(&y, &dh) == 1) return 101;
        X942DomainParameters x;
        if (getPublicKey(&y, &x) == 1) return 102;
    }
    if (getEcPublicKey(nullptr, nullptr) == 1) return 3;
    if (algorithm.parametersPresent && algorithm.parameters.tag == 0x04 && algorithm.parameters.getLength() == 10)
        return 201;
    return 0;
}

int SubPubKeyInfo::getKeyIdSha1(uint8_t out[20]) const {
    const uint8_t* b = subjectPublicKey.getBits();
    long n = subjectPublicKey.getByteLength();
    if (out == nullptr || b == nullptr || n < 1 || n > 0x7FFFFFFF) return 0;
    hashOctets(1, b, static_cast<uint32_t>(n), out);
    return 1;
}

int SubPubKeyInfo::getKeyId64(uint8_t out[8]) const {
    uint8_t d[20];
    if (out == nullptr || getKeyIdSha1(d) != 1) return 0;
    std::memcpy(out, d + 12, 8);
    out[0] = static_cast<uint8_t>(0x40 | (out[0] & 0x0F));
    return 1;
}

// ---------------------------------------------------------------------------
// Setting the key

int SubPubKeyInfo::setRsaFamily(const ASNobjectId& alg, const uint8_t* modulus, long modLen, const uint8_t* exponent,
                                long expLen, const ASNobject* params, bool nullParams) {
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    try {
        if (rsaKey.setModulusBytes(modulus, modLen) != 1) return 0;
        if (rsaKey.setPublicExponentBytes(exponent, expLen) != 1) return 0;
        if (nullParams) {
            algorithm.algorithm = alg;
            algorithm.setNullParameters();
        } else if (algorithm.set(alg, params) != 1) {
            return 0;
        }
        return subjectPublicKey.setEncoded(rsaKey) == 1 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

namespace {
bool magnitudeOf(const ASNinteger& v, const uint8_t** p, long* n) {
    *p = v.getData();
    *n = v.getValueLength();
    return *p != nullptr && *n > 0;
}
}  // namespace

int SubPubKeyInfo::setRsaPublicKey(const uint8_t* m, long ml, const uint8_t* e, long el) {
    return setRsaFamily(oid::rsaEncryption(), m, ml, e, el, nullptr, true);
}
int SubPubKeyInfo::setRsaPublicKey(const ASNinteger& m, const ASNinteger& e) {
    const uint8_t *mp, *ep;
    long ml, el;
    if (!magnitudeOf(m, &mp, &ml) || !magnitudeOf(e, &ep, &el)) return 0;
    return setRsaPublicKey(mp, ml, ep, el);
}
int SubPubKeyInfo::setRsaPublicKey(const RSAPublicKey& key) { return setRsaPublicKey(key.modulus, key.publicExponent); }
int SubPubKeyInfo::setRsaOaepPublicKey(const uint8_t* m, long ml, const uint8_t* e, long el, const ASNobject* params) {
    return setRsaFamily(algoid::rsaesOaep(), m, ml, e, el, params, false);
}
int SubPubKeyInfo::setRsaOaepPublicKey(const ASNinteger& m, const ASNinteger& e, const ASNobject* params) {
    const uint8_t *mp, *ep;
    long ml, el;
    if (!magnitudeOf(m, &mp, &ml) || !magnitudeOf(e, &ep, &el)) return 0;
    return setRsaOaepPublicKey(mp, ml, ep, el, params);
}
int SubPubKeyInfo::setRsaPssPublicKey(const uint8_t* m, long ml, const uint8_t* e, long el, const ASNobject* params) {
    return setRsaFamily(algoid::rsassaPss(), m, ml, e, el, params, false);
}
int SubPubKeyInfo::setRsaPssPublicKey(const ASNinteger& m, const ASNinteger& e, const ASNobject* params) {
    const uint8_t *mp, *ep;
    long ml, el;
    if (!magnitudeOf(m, &mp, &ml) || !magnitudeOf(e, &ep, &el)) return 0;
    return setRsaPssPublicKey(mp, ml, ep, el, params);
}

int SubPubKeyInfo::setDsaPublicKey(const ASNobject& y, const DSAParameters& params) {
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    try {
        if (dsaKey.convertFrom(y) != 1) return 0;
        dsaParams = params;
        if (algorithm.set(oid::id_dsa(), &params) != 1) return 0;
        return subjectPublicKey.setEncoded(y) == 1 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int SubPubKeyInfo::setKeaPublicKey(const ASNobject& key, const uint8_t* paramsId, uint32_t len) {
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    if (paramsId == nullptr && len > 0) return 0;
    algorithm.algorithm = algoid::keaAlgorithm();
    if (algorithm.parameters.set(0x04, paramsId, static_cast<long>(len)) != 1) return 0;
    algorithm.parametersPresent = 1;
    return subjectPublicKey.setEncoded(key) == 1 ? 1 : 0;
}

int SubPubKeyInfo::setKeaPublicKey(const ASNobject& key, const ASNoctstr& paramsId) {
    return setKeaPublicKey(key, paramsId.getData(), static_cast<uint32_t>(paramsId.getLength()));
}

int SubPubKeyInfo::setKeaPublicKeyFromDomain(const ASNobject& key, const ASNobject& domain) {
    uint8_t d[20], id[10];
    domain.digest(1, d, sizeof d);
    for (int i = 0; i < 10; i++) id[i] = static_cast<uint8_t>(d[i] ^ d[i + 10]);
    return setKeaPublicKey(key, id, 10);
}

int SubPubKeyInfo::set(const ASNobjectId& alg, const uint8_t* keyOctets, long len, const ASNobject* params) {
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    if (len < 0 || (len > 0 && keyOctets == nullptr)) return 0;
    clearCache();
    if (algorithm.set(alg, params) != 1) return 0;
    if (len == 0)
        subjectPublicKey.clear();
    else if (subjectPublicKey.set(keyOctets, len, 0) != 1)
        return 0;
    return fillCache();
}

int SubPubKeyInfo::set(const AlgorithmIdentifier& alg, const uint8_t* keyOctets, long len) {
    return set(alg.algorithm, keyOctets, len, alg.parametersPresent ? &alg.parameters : nullptr);
}

int SubPubKeyInfo::setEcPublicKey(const ASNoctstr& point, const ASNobject* params) {
    if (point.getLength() < 1) return 0;
    return set(algoid::ecPublicKey(), point.getData(), point.getLength(), params);
}

int SubPubKeyInfo::setKey(const ASNobjectId& alg, const ASNobject& key, const ASNobject* params) {
    assertNotConst("spkinfo", 1, "!( flags & ASN_FLAG_CONST )");
    ASNobjectId algCopy(alg);  // alg may be our own member, which clear() empties
    clear();
    if (algorithm.set(algCopy, params) != 1) return 0;
    if (isEcKey(algCopy) || key.getTag() == 0x03) {
        ASNbitstr bs;
        if (bs.convertFrom(key) != 1) return 0;
        if (bs.getContents() == nullptr) return 0;
        subjectPublicKey = bs;
    } else if (subjectPublicKey.setEncoded(key) != 1) {
        return 0;
    }
    return fillCache();
}

int SubPubKeyInfo::setKey(int keyAlgorithmId, const ASNobject& key, const ASNobject* params) {
    const ASNobjectId* o = KeyAlgorithmOid(keyAlgorithmId);
    if (o == nullptr) return 0;
    return setKey(*o, key, params);
}

int SubPubKeyInfo::setKey(const AlgorithmIdentifier& alg, const ASNobject& key) {
    AlgorithmIdentifier copy(alg);
    return setKey(copy.algorithm, key, copy.parametersPresent ? &copy.parameters : nullptr);
}

// ---------------------------------------------------------------------------
// Verification

int SubPubKeyInfo::verifyDigest(const AlgorithmIdentifier& sigAlg, const uint8_t* digest, uint32_t digestLen,
                                const uint8_t* sig, uint32_t sigLen) const {
    const ASNobjectId& so = sigAlg.algorithm;
    if (isRsaOrPssSignatureOid(so)) {
        if (familyOf(algorithm.algorithm) != kRsa) return kVerifyMismatch;
        if (isRsaPssOid(algorithm.algorithm) && isRsaPssOid(so) && algorithm.parametersPresent) {
            unsigned kh = 0, sh = 0;
            int64_t ks = 0, ss = 0;
            int ksel = 0, ssel = 0, kmh = 0, smh = 0, kt = 0, st = 0;
            uint8_t kp = 0, sp = 0;
            if (GetRsaPssParams(algorithm, &kh, &ks, &ksel, &kmh, &kt, &kp) != 1) return kVerifyUnsupported;
            if (GetRsaPssParams(sigAlg, &sh, &ss, &ssel, &smh, &st, &sp) != 1) return kVerifyUnsupported;
            if (kh != sh || ss < ks || ksel != ssel || kmh != smh || kt != st) return kVerifyMismatch;
        }
        int r = rsaKey.verifyDigest(digest, digestLen, sigAlg, sig, sigLen);
        if (r == RSAPublicKey::kValid) return kVerifyValid;
        if (r == RSAPublicKey::kKeyFailure) return kVerifyKeyFailure;
        if (r == RSAPublicKey::kUnsupported) return kVerifyUnsupported;
        return kVerifyInvalid;
    }
    if (isDsaSignatureOid(so)) {
        if (familyOf(algorithm.algorithm) != kDsa) return kVerifyMismatch;
        unsigned hashId = 0;
        if (DsaSignatureOidToHash(so, nullptr, &hashId) != 1) return kVerifyUnsupported;
        DSASignature s;
        long r = sig != nullptr && sigLen > 0 ? s.readBuffer(sig, static_cast<long>(sigLen), 0) : 0;
        if (r == EASN_FILE || r == EASN_MEM) return kVerifyUnreadable;
        if (r != static_cast<long>(sigLen)) return kVerifyInvalid;
        int v = dsaKey.verifyWithHash(digest, digestLen, hashId, &dsaParams, s);
        if (v == 0) return kVerifyValid;
        if (v == 2) return kVerifyKeyFailure;
        return kVerifyInvalid;
    }
    if (isEcdsaSignatureOid(so)) {
        if (familyOf(algorithm.algorithm) != kEc) return kVerifyMismatch;
        DSASignature s;
        long r = sig != nullptr && sigLen > 0 ? s.readBuffer(sig, static_cast<long>(sigLen), 0) : 0;
        if (r == EASN_FILE || r == EASN_MEM) return kVerifyUnreadable;
        if (r != static_cast<long>(sigLen)) return kVerifyInvalid;
        ECPublicKey key(ecKey);
        if (key.setDomain(ecParams) != 1) return kVerifyKeyFailure;
        int v = key.verify(digest, digestLen, so, s);
        // An invalid signature is reported as invalid (not as unreadable), so that
        // all three algorithms answer alike.
        switch (v) {
            case 1: return kVerifyValid;
            case -2:
            case -3: return kVerifyUnsupported;
            case -4: return kVerifyKeyFailure;
            default: return kVerifyInvalid;
        }
    }
    return kVerifyUnsupported;
}

int SubPubKeyInfo::verifyData(const AlgorithmIdentifier& sigAlg, const uint8_t* data, uint32_t len,
                              const uint8_t* sig, uint32_t sigLen) const {
    unsigned hashId = 0, digestLen = 0;
    if (SignatureAlgorithmToHash(sigAlg, &hashId, &digestLen) != 1) return kVerifyUnsupported;
    if (data == nullptr && len > 0) return kVerifyInvalid;
    uint8_t d[64];
    hashOctets(hashId, data, len, d);
    return verifyDigest(sigAlg, d, digestLen, sig, sigLen);
}

int SubPubKeyInfo::verifyObject(const AlgorithmIdentifier& sigAlg, const ASNobject& signedPart, const uint8_t* sig,
                                uint32_t sigLen) const {
    unsigned hashId = 0, digestLen = 0;
    if (SignatureAlgorithmToHash(sigAlg, &hashId, &digestLen) != 1) return kVerifyUnsupported;
    uint8_t d[64];
    signedPart.digest(hashId, d, sizeof d);
    return verifyDigest(sigAlg, d, digestLen, sig, sigLen);
}
