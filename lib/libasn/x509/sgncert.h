// X.509 Certificate: tbsCertificate, signatureAlgorithm, signature; DER input and,
// through an installable reader, PEM input; verification and CA test.
#pragma once

#include <cstdint>

#include "keys/rsapukey.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/x509/siganddigoid.h"
#include "lib/libasn/x509/spkinfo.h"
#include "lib/libasn/x509/tbscert.h"

class SignedCertificate;
class RSAPrivateKey;
class DSAPrivateKey;
class ECPrivateKey;
class QvRbg;

// A reader with the signature of SignedCertificate::read.
typedef long (*SignedCertificateReader)(SignedCertificate* cert, GenericFile* src, long maxLen, uint8_t flags);

class SignedCertificate : public ASNsequenceF {
public:
    SignedCertificate();
    SignedCertificate(const SignedCertificate& other);
    SignedCertificate& operator=(const SignedCertificate& other);
    ~SignedCertificate() override;

    // The installed reader when there is one, else the DER decode.
    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Process-wide reader (NULL at load time; no lock). Both return 1.
    static int setReadHook(SignedCertificateReader fn);
    static int enablePemInput();
    // DER, or "-----BEGIN CERTIFICATE-----" armour around Base64 text: the octets of
    // src taken (up to the end of the END line for PEM), 0 when neither gives a
    // certificate, -1 or -2.
    static long readPemOrDer(SignedCertificate* cert, GenericFile* src, long maxLen, uint8_t flags);
    long readPemOrDer(GenericFile* src, long maxLen, uint8_t flags = 0) { return readPemOrDer(this, src, maxLen, flags); }

    // Signatures equal bit for bit, signature algorithms equal and the DER of both
    // tbsCertificates identical.
    bool operator==(const SignedCertificate& other) const;
    bool operator!=(const SignedCertificate& other) const { return !(*this == other); }
    // cA of the basicConstraints extension; false when absent or unreadable.
    bool isCA() const;

    // Signing of tbsCertificate: both signature identifiers are set to the same value,
    // the DER of tbsCertificate is hashed and signed. signRsa (PKCS #1 version 1.5):
    // 1 signed; -1 hash without an RSA identifier or digest refused by the key; 0
    // modulus too short; -6 out of memory; -3 key failure or no generator (the
    // private-key operation is masked with random numbers).
    int signRsa(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg);
    // RSASSA-PSS (identifier 1.2.840.113549.1.1.10 with its parameters); results as
    // signRsa, -1 also when the parameters cannot be built. The short form uses MGF1
    // with the same hash and the digest length as salt length.
    int signRsaPss(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg, int mgfSelector, unsigned mgfHashId,
                   unsigned saltLength);
    int signRsaPss(RSAPrivateKey& key, unsigned hashId, QvRbg* rbg);
    // 1 signed; -3 hash without a DSA identifier or digest refused; 0 signature not
    // stored; -1 key failure; -2 the generator failed. The key keeps its prepared
    // library key for later signatures.
    int signDsa(DSAPrivateKey& key, unsigned hashId, QvRbg* rbg);
    // ECDSA with domain, or the key's own parameters when domain is NULL: 1 signed;
    // -4 no usable domain; -1 hash without an ECDSA identifier; 0 not stored; -3 key
    // failure (no generator, unusable private value) and other failures.
    int signEcdsa(ECPrivateKey& key, const ECDomainParameters* domain, unsigned hashId, QvRbg* rbg);

    // Verification. verifyRsa: 1 valid; -2 the two signature identifiers differ; -1
    // signature too short or invalid; -4 key failure; -3 unusable algorithm.
    int verifyRsa(const RSAPublicKey& key) const;
    // 1 valid; -2 not a DSA algorithm; -3 identifiers differ; -1 malformed or invalid
    // signature; -4 key failure; -2 digest length mismatch.
    int verifyDsa(const DSAPublicKey& key, const DSAParameters* params) const;
    // 1 valid; -2 domain neither specified nor named (also: no curve arithmetic for
    // the algorithm); -3 identifiers differ; -4 key not in the domain or no domain;
    // -1 malformed or invalid signature; 0 the signature could not be read.
    int verifyEcdsa(const ECPublicKey& key, const ECDomainParameters& domain) const;
    // 1 valid; -3 no signature, identifiers differ or invalid signature; -2 key
    // failure; 0 signature unreadable; -1 key and algorithm do not fit; -4 unsupported.
    int verifyWithKeyInfo(const SubPubKeyInfo& keyInfo) const;
    int verifyWithIssuer(const SignedCertificate& issuer) const;
    int verifySelfSigned() const;

    // The signature octets after the unused-bits octet and their count.
    const uint8_t* signatureOctets(uint32_t* len) const;

    TBSCertificate tbsCertificate;
    AlgorithmIdentifier signatureAlgorithm;
    ASNbitstr signature;

private:
    // Hash of the signed octets with the algorithm's hash; 1, or 0 when the
    // algorithm names no hash.
    int signedDigest(uint8_t* out, unsigned* len, unsigned* hashId) const;
};
