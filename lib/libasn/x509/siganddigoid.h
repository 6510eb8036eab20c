// X.509 AlgorithmIdentifier and the fixed tables between algorithm OIDs and the
// cryptographic library's identifiers (hash ids 1 SHA-1, 2 SHA-224, 3 SHA-256,
// 4 SHA-384, 5 SHA-512, 6 RIPEMD-128, 7 RIPEMD-160, 8 MD5; key algorithm ids;
// symmetric ciphers).
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asnobjid.h"

// SEQUENCE { algorithm OBJECT IDENTIFIER, parameters ANY DEFINED BY algorithm OPTIONAL }
class AlgorithmIdentifier : public ASNsequenceF {
public:
    explicit AlgorithmIdentifier(uint32_t tag = 0);
    AlgorithmIdentifier(const AlgorithmIdentifier& other);
    // Copies the presence flag and the OID, and the parameters only when present;
    // throws std::bad_alloc when it cannot.
    AlgorithmIdentifier& operator=(const AlgorithmIdentifier& other);
    ~AlgorithmIdentifier() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // params NULL: no parameters. 1, or the failing value of the conversion.
    int set(const ASNobjectId& oid, const ASNobject* params);
    // The OID in dotted text; 0 when it is not an OID.
    int setOidText(const char* dottedOid, const ASNobject* params);
    int setRsaEncryption();
    // ecParams NULL: NULL parameters.
    int setEcPublicKey(const ASNobject* ecParams);
    // Signature and digest identifiers with NULL parameters; 0 for an unmapped hash.
    int setEcdsaSignature(unsigned hashId);
    int setDsaSignature(unsigned hashId);
    int setRsaSignature(unsigned hashId);
    int setDigestAlgorithm(unsigned hashId);
    // Parameters NULL (05 00) present.
    int setNullParameters();

    bool operator==(const AlgorithmIdentifier& other) const;
    bool operator!=(const AlgorithmIdentifier& other) const { return !(*this == other); }

    ASNobjectId algorithm;
    ASNany parameters;
    uint8_t parametersPresent;
};

// Algorithm OIDs that are not among the global constants, built on first use.
namespace algoid {
const ASNobjectId& ecPublicKey();          // 1.2.840.10045.2.1
const ASNobjectId& ecdsaWithSHA1();        // 1.2.840.10045.4.1
const ASNobjectId& ecdsaWithSHA224();      // 1.2.840.10045.4.3.1
const ASNobjectId& ecdsaWithSHA256();      // 1.2.840.10045.4.3.2
const ASNobjectId& ecdsaWithSHA384();      // 1.2.840.10045.4.3.3
const ASNobjectId& ecdsaWithSHA512();      // 1.2.840.10045.4.3.4
const ASNobjectId& rsassaPss();            // 1.2.840.113549.1.1.10
const ASNobjectId& rsaesOaep();            // 1.2.840.113549.1.1.7
const ASNobjectId& mgf1();                 // 1.2.840.113549.1.1.8
const ASNobjectId& pSpecified();           // 1.2.840.113549.1.1.9
const ASNobjectId& ecDH();                 // 1.3.132.1.12
const ASNobjectId& ecMQV();                // 1.3.132.1.13
const ASNobjectId& dhKeyAgreement();       // 1.2.840.113549.1.3.1
const ASNobjectId& dhPublicNumber();       // 1.2.840.10046.2.1
const ASNobjectId& keaAlgorithm();         // 2.16.840.1.101.2.1.1.22
const ASNobjectId& gostR3410_2001();       // 1.2.643.2.2.19
const ASNobjectId& gostR3410_94();         // 1.2.643.2.2.20
const ASNobjectId& subjectKeyIdentifier(); // 2.5.29.14
const ASNobjectId& keyUsage();             // 2.5.29.15
const ASNobjectId& basicConstraints();     // 2.5.29.19
}  // namespace algoid

// Digest OIDs: the name ("SHA-256" ...), NULL when the OID or id is not in the
// table. Output pointers may be NULL.
const char* DigestOidToHash(const ASNobjectId& oid, unsigned* digestLen, unsigned* hashId);
const char* HashToDigestOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen);

// Signature OIDs: 1 when recognised, else 0.
int RsaSignatureOidToHash(const ASNobjectId& oid, unsigned* digestLen, unsigned* hashId);
int HashToRsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen);
int DsaSignatureOidToHash(const ASNobjectId& oid, unsigned* digestLen, unsigned* hashId);
int HashToDsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen);
int EcdsaSignatureOidToHash(const ASNobjectId& oid, unsigned* digestLen, unsigned* hashId);
int HashToEcdsaSignatureOid(unsigned hashId, ASNobjectId* out, unsigned* digestLen);

bool isEcdsaSignatureOid(const ASNobjectId& oid);
bool isDsaSignatureOid(const ASNobjectId& oid);
bool isRsaPssOid(const ASNobjectId& oid);
bool isRsaKeyOid(const ASNobjectId& oid);
bool isRsaSignatureOid(const ASNobjectId& oid);
bool isRsaOrPssSignatureOid(const ASNobjectId& oid);

// Hash id and digest length of a signature algorithm (RSA, DSA, ECDSA, RSA-PSS);
// 1, or 0 when nothing applies.
int SignatureAlgorithmToHash(const AlgorithmIdentifier& alg, unsigned* hashId, unsigned* digestLen);

// RSASSA-PSS parameters of an identifier, with the defaults for absent ones; 1/0.
int GetRsaPssParams(const AlgorithmIdentifier& alg, unsigned* hashId, int64_t* saltLen,
                    int* mgfSelector, int* mgfHashId, int* trailerField, uint8_t* parametersPresent);
// RSAES-OAEP parameters; label points into the identifier's parameters (valid while
// it lives). 1 when the outputs were filled, else 0.
int GetRsaOaepParams(const AlgorithmIdentifier& alg, unsigned* hashId, int* mgfValue, int* mgfOut,
                     const uint8_t** label, long* labelLen);

// Key algorithm ids (1 RSA, 2 DSA, 3 EC, 4 RSA-PSS, 5 RSA-OAEP, 51 ecDH, 52 ecMQV,
// 101 PKCS#3 DH, 102 X9.42 DH, 201 KEA, 202, 203); NULL for other ids.
const ASNobjectId* KeyAlgorithmOid(int keyAlgorithmId);

// Symmetric cipher OIDs: the name, or NULL (see the table in the source).
const char* CipherOidToParams(const ASNobjectId& oid, unsigned* blockSize, unsigned* cipherId,
                              unsigned* derivedFlag, unsigned* keyLen);
