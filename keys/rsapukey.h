// PKCS #1 RSAPublicKey: SEQUENCE { modulus INTEGER, publicExponent INTEGER }, with
// signature verification (raw, PKCS #1 v1.5, PSS) and encryption (raw, PKCS #1
// v1.5, OAEP) through the library key built from it on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnint.h"
#include "lib/libasn/x509/siganddigoid.h"

class MemFile;
class QvGenericHash;
class QvRbg;
class QvRsaPublicKey;
class QvRsaSig;
class QvRsaSigPkcsV15;

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

    // Results: 0 valid signature or ciphertext produced, 1 signature not valid (or
    // nothing encrypted), 2 key not usable, 3 bad arguments (lengths, hash), 4 unknown
    // or undecodable signature algorithm, 5 the output could not be sized.
    enum { kValid = 0, kInvalid = 1, kKeyFailure = 2, kBadArguments = 3, kUnsupported = 4, kNoOutput = 5 };

    // Raw: the signature raised to e equals msg (as numbers).
    int verifyRaw(const uint8_t* msg, unsigned msgLen, const uint8_t* sig, unsigned sigLen);
    // PKCS #1 v1.5 over a digest of hashId.
    int verifyPkcs1(const uint8_t* digest, unsigned digestLen, unsigned hashId, const uint8_t* sig, unsigned sigLen);
    // RSASSA-PSS over a digest (mgfHashId 0 means hashId); the signature must have the
    // modulus' length.
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
    // Over the DER of an ASN.1 object (a certificate body): PKCS #1 v1.5 by a
    // signature OID, PSS by an algorithm with its parameters, or either by algorithm.
    int verifyObjectPkcs1(const ASNobject& obj, const ASNobjectId& sigOid, const uint8_t* sig, unsigned sigLen);
    int verifyObjectPss(const ASNobject& obj, const AlgorithmIdentifier& alg, const uint8_t* sig, unsigned sigLen);
    int verifyObject(const ASNobject& obj, const AlgorithmIdentifier& alg, const uint8_t* sig, unsigned sigLen);
    // verify for a key that stays unchanged (a copy does the work): a digest of the
    // wrong length is simply not valid, and a PKCS #1 v1.5 DigestInfo may also leave
    // out the NULL parameters of its digest identifier.
    int verifyDigest(const uint8_t* digest, unsigned digestLen, const AlgorithmIdentifier& signatureAlgorithm,
                     const uint8_t* sig, unsigned sigLen) const;

    // Encryption into out, sized to the ciphertext: raw (the value must lie below n),
    // RSAES-PKCS1-v1_5 and RSAES-OAEP (label optional) with the generator given.
    int encryptRaw(const uint8_t* data, unsigned dataLen, MemFile& out);
    // The same into a buffer of at least getLength() octets.
    int encryptRaw(const uint8_t* data, unsigned dataLen, uint8_t* out, unsigned outLen);
    int encryptPkcs1(const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out);
    int encryptOaep(const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out, unsigned hashId,
                    unsigned oaepWord, unsigned mgfHashId, const uint8_t* label, unsigned labelLen);

    // MGF1 over hashId XORed into data with the seed. 1, or 0.
    static int mgf1Mask(unsigned hashId, uint8_t* data, unsigned dataLen, const uint8_t* seed, unsigned seedLen);
    // EMSA-PSS-VERIFY (RFC 8017) of an already recovered EM: 0 consistent, 1 not, 3
    // bad arguments, 4 hash or mask failure. saltLen 0xFFFFFFFF means the digest
    // length; mgfHashId 0 means hashId; word must be 0.
    static int emsaPssVerify(unsigned modBits, const uint8_t* em, const uint8_t* mHash, unsigned mHashLen,
                             unsigned hashId, uint32_t word, unsigned mgfHashId, unsigned saltLen);

    ASNinteger modulus;
    ASNinteger publicExponent;

private:
    bool ready() { return m_prepared || prepare() == 1; }
    int encrypt(int scheme, const uint8_t* data, unsigned dataLen, QvRbg* rbg, MemFile& out, unsigned hashId,
                unsigned oaepWord, unsigned mgfHashId, const uint8_t* label, unsigned labelLen, unsigned line);

    // The library key built from the members, valid while m_prepared is set, and the
    // objects kept for verification.
    std::unique_ptr<QvRsaPublicKey> m_key;
    std::unique_ptr<QvGenericHash> m_hash;
    std::unique_ptr<QvRsaSigPkcsV15> m_pkcs1;
    std::unique_ptr<QvRsaSig> m_raw;
    bool m_prepared = false;
};
