// PKCS #1 RSAPublicKey: SEQUENCE { modulus INTEGER, publicExponent INTEGER }, with
// signature verification.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/siganddigoid.h"

class QvRsaPublicKey;

class RSAPublicKey : public ASNsequenceF {
public:
    explicit RSAPublicKey(uint32_t tag = 0);
    RSAPublicKey(const RSAPublicKey& other);
    RSAPublicKey& operator=(const RSAPublicKey& other);
    ~RSAPublicKey() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    void setModulus(const ASNinteger& v);
    void setPublicExponent(const ASNinteger& v);
    // From unsigned big-endian magnitudes; 1, or 0 when memory runs out.
    int setModulusBytes(const uint8_t* data, long len);
    int setPublicExponentBytes(const uint8_t* data, long len);
    // Both from the content octets of two ASN.1 objects. 1, or 0.
    int setValues(const ASNobject& modulusObject, const ASNobject& exponentObject);
    bool operator==(const RSAPublicKey& other) const;
    bool operator!=(const RSAPublicKey& other) const { return !(*this == other); }
    // Bit length of the modulus (0 when empty).
    unsigned getModulusBits() const;
    // Significant octets of the modulus (at least 1) and 8 x that.
    unsigned getLength() const;
    unsigned getKeySizeBits() const;

    // n and e from the library key; clears the prepared mark. 1, or 0.
    int setFromQvKey(const QvRsaPublicKey& key);
    // n and e into the library key; the key's readiness (false when it refuses a value).
    bool exportKey(QvRsaPublicKey& key) const;
    // Builds the own library key from the members. 1, or 0.
    int prepare();
    bool isPrepared() const { return m_prepared; }

    // Result codes of the operations below.
    enum { kBadArguments = 3 };
    // PKCS #1 v1.5 over a digest of hashId, with the own (prepared) key: 0 valid,
    // 1 not valid, 2 key not usable, 3 bad arguments.
    int verifyPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig, unsigned sigLen);
    // RSASSA-PSS over a digest (mgfHashId 0 means hashId); codes as verifyPkcs1.
    int verifyPss(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig, unsigned sigLen,
                  int mgfSelector, unsigned mgfHashId, unsigned saltLen);
    // Over a digest, the scheme and hash taken from the signature algorithm (PKCS #1
    // v1.5 OIDs, or id-RSASSA-PSS with its parameters); 4 for anything else.
    int verify(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& alg, const uint8_t* sig,
               unsigned sigLen);
    // The same over data, hashed here first; dataLen 0 gives 3.
    int verifyPkcs1Data(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig, unsigned sigLen);
    int verifyPssData(const uint8_t* data, unsigned dataLen, unsigned hashId, const uint8_t* sig, unsigned sigLen,
                      int mgfSelector, unsigned mgfHashId, unsigned saltLen);
    int verifyData(const uint8_t* data, unsigned dataLen, const AlgorithmIdentifier& alg, const uint8_t* sig,
                   unsigned sigLen);

    // Verification results.
    enum { kValid = 0, kInvalid = 1, kKeyFailure = 2, kUnsupported = 4 };
    // Verifies a signature over a digest already computed with the hash of the
    // signature algorithm: PKCS #1 version 1.5, or RSASSA-PSS with MGF1 and the
    // trailer field 1 (other PSS variants give kUnsupported).
    int verifyDigest(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& signatureAlgorithm,
                     const uint8_t* sig, unsigned sigLen) const;
    // Hashes the object's DER encoding with the algorithm's hash, then as above.
    int verifyObject(const ASNobject& signedPart, const AlgorithmIdentifier& signatureAlgorithm,
                     const uint8_t* sig, unsigned sigLen) const;

    ASNinteger modulus;
    ASNinteger publicExponent;

private:
    int verifyPssAlg(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& signatureAlgorithm,
                  const uint8_t* sig, unsigned sigLen) const;
    // The library key of this structure; false with *status set when the key is
    // refused or the signature cannot have its length.
    bool libraryKey(const uint8_t* sig, unsigned sigLen, QvRsaPublicKey& key, int* status) const;

    // The library key built from the members, valid while m_prepared is set.
    std::unique_ptr<QvRsaPublicKey> m_key;
    bool m_prepared = false;
};
