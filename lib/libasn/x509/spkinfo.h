// X.509 SubjectPublicKeyInfo with a decoded copy of RSA, DSA and elliptic-curve
// keys: key type and size, key identifiers, key setters and signature verification.
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"
#include "keys/dsapukey.h"
#include "keys/ecdomain.h"
#include "keys/ecpubkey.h"
#include "keys/rsapukey.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/x509/siganddigoid.h"

class SubPubKeyInfo : public ASNsequenceF {
public:
    // Results of the verification operations.
    enum {
        kVerifyValid = 1,
        kVerifyInvalid = 0,
        kVerifyKeyFailure = -1,
        kVerifyUnreadable = -2,
        kVerifyMismatch = -3,
        kVerifyUnsupported = -4
    };

    explicit SubPubKeyInfo(uint32_t tag = 0);
    SubPubKeyInfo(const SubPubKeyInfo& other);
    SubPubKeyInfo& operator=(const SubPubKeyInfo& other);
    ~SubPubKeyInfo() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    bool operator==(const SubPubKeyInfo& other) const;
    bool operator!=(const SubPubKeyInfo& other) const { return !(*this == other); }

    // Reading the key (1/0).
    int getPublicKey(ASNobject* key, ASNobject* params) const;
    int getPublicKeyOptParams(ASNobject* key, ASNobject* params, uint8_t* paramsPresent) const;
    int getKeaPublicKey(ASNobject* key, ASNobject* params) const;
    int getEcPublicKey(ECPublicKey* out, ECDomainParameters* params) const;
    int getEcPoint(ASNoctstr* out, ECDomainParameters* params) const;

    // Key algorithm ids of an OID (see KeyAlgorithmOid); 0 for others.
    static int KeyAlgorithmId(const ASNobjectId& oid);
    static int KeyAlgorithmId(const char* dottedOid);
    int getKeyAlgorithmId() const { return KeyAlgorithmId(algorithm.algorithm); }
    bool isRsaKey() const { return isRsaKey(algorithm.algorithm); }
    bool isDsaKey() const;
    bool isEcKey() const { return isEcKey(algorithm.algorithm); }
    bool isKeaKey() const;
    static bool isRsaKey(const ASNobjectId& oid);
    static bool isRsaKey(const char* dottedOid);
    static bool isEcKey(const ASNobjectId& oid);
    static bool isEcKey(const char* dottedOid);

    uint64_t getKeySizeBits() const;
    uint64_t getKeySizeBytes() const { return (getKeySizeBits() + 7) / 8; }
    int detectKeyType() const;
    // SHA-1 of the key octets (RFC 5280 method 1), and its 64-bit form (method 2).
    int getKeyIdSha1(uint8_t out[20]) const;
    int getKeyId64(uint8_t out[8]) const;

    // Setting the key (1/0).
    int setRsaPublicKey(const uint8_t* modulus, long modLen, const uint8_t* exponent, long expLen);
    int setRsaPublicKey(const ASNinteger& modulus, const ASNinteger& exponent);
    int setRsaPublicKey(const RSAPublicKey& key);
    int setRsaOaepPublicKey(const uint8_t* modulus, long modLen, const uint8_t* exponent, long expLen,
                            const ASNobject* params);
    int setRsaOaepPublicKey(const ASNinteger& modulus, const ASNinteger& exponent, const ASNobject* params);
    int setRsaPssPublicKey(const uint8_t* modulus, long modLen, const uint8_t* exponent, long expLen,
                           const ASNobject* params);
    int setRsaPssPublicKey(const ASNinteger& modulus, const ASNinteger& exponent, const ASNobject* params);
    int setDsaPublicKey(const ASNobject& y, const DSAParameters& params);
    int setKeaPublicKey(const ASNobject& key, const uint8_t* paramsId, uint32_t len);
    int setKeaPublicKey(const ASNobject& key, const ASNoctstr& paramsId);
    // The 10-octet identifier computed from a domain-parameters object.
    int setKeaPublicKeyFromDomain(const ASNobject& key, const ASNobject& domain);
    int set(const ASNobjectId& alg, const uint8_t* keyOctets, long len, const ASNobject* params);
    int set(const AlgorithmIdentifier& alg, const uint8_t* keyOctets, long len);
    int setEcPublicKey(const ASNoctstr& point, const ASNobject* params);
    int setKey(const ASNobjectId& alg, const ASNobject& key, const ASNobject* params);
    int setKey(int keyAlgorithmId, const ASNobject& key, const ASNobject* params);
    int setKey(const AlgorithmIdentifier& alg, const ASNobject& key);

    // Verification: 1 valid, 0 invalid, -1 key-operation failure, -2 signature
    // unreadable, -3 key and signature algorithm do not fit, -4 unsupported.
    int verifyDigest(const AlgorithmIdentifier& sigAlg, const uint8_t* digest, uint32_t digestLen,
                     const uint8_t* sig, uint32_t sigLen) const;
    int verifyData(const AlgorithmIdentifier& sigAlg, const uint8_t* data, uint32_t len, const uint8_t* sig,
                   uint32_t sigLen) const;
    int verifyObject(const AlgorithmIdentifier& sigAlg, const ASNobject& signedPart, const uint8_t* sig,
                     uint32_t sigLen) const;

    AlgorithmIdentifier algorithm;
    ASNbitstr subjectPublicKey;

    // Decoded keys, valid for the key family of the algorithm.
    RSAPublicKey rsaKey;
    DSAPublicKey dsaKey;
    DSAParameters dsaParams;
    ECPublicKey ecKey;
    ECDomainParameters ecParams;

private:
    // Refills the decoded key for the family; 1/0.
    int fillCache();
    void clearCache();
    int setRsaFamily(const ASNobjectId& alg, const uint8_t* modulus, long modLen, const uint8_t* exponent,
                     long expLen, const ASNobject* params, bool nullParams);
};
