// The EC public point as a BIT STRING (X9.62 ECPoint octets after an unused-bits
// octet of 0), as a certificate's subjectPublicKey and the [1] member of an EC
// private key hold it, with ECDSA verification over the domain it is given.
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"
#include "keys/ecdomain.h"
#include "lib/libasn/asnbitst.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvgeneraldsasig.h"

class ECPublicKey : public ASNbitstr {
public:
    explicit ECPublicKey(uint32_t tag = 0);
    // Copies the point and the domain in use; the verifier is prepared anew.
    ECPublicKey(const ECPublicKey& other);
    ECPublicKey& operator=(const ECPublicKey& other);
    // Another bit string as the point; the domain in use is kept.
    ECPublicKey& operator=(const ASNbitstr& other);
    ~ECPublicKey() override;

    // Empties the point and forgets the domain in use.
    void clear() override;
    // Decoding starts from a cleared key: a following setDomain supplies the domain.
    int read_contents(GenericFile* src, long len) override;

    // The bit string (as ASNbitstr::set); the verifier is prepared anew.
    int set(const uint8_t* data, long len, uint8_t unusedBits);
    // The point octets with 0 unused bits; with a domain, the result of setDomain.
    int set(const ASNoctstr& point, const ECDomainParameters* domain);
    // The library key's encoded point. 1, or 0.
    int setFromQvKey(const QvGeneralDsaPublicKey& key);
    // The curve to verify over: a specified domain (copied) or a named curve of the
    // catalogue. 1, or 0 (implicitCA, unknown curve, domain that does not build).
    int setDomain(const ECDomainParameters& domain);
    const QvGeneralDsaKeyDomain* getKeyDomain() const { return m_domain; }
    // The point into a library key (which must have its domain): 0 loaded, 1 out of
    // memory, 2 empty or invalid point (not on the curve, malformed).
    int loadInto(QvGeneralDsaPublicKey& key) const;

    // Key size from the encoding's length and first octet alone (no domain needed):
    // full-point forms count half the coordinate octets, compressed forms all.
    unsigned getKeySizeBits() const;
    unsigned getKeySizeBytes() const { return (getKeySizeBits() + 7) / 8; }
    // The point octets (without the unused-bits octet). 1, or 0 when empty or the
    // unused-bits count is not 0.
    int getPoint(ASNoctstr& out) const;
    bool operator==(const ECPublicKey& other) const { return ASNbitstr::operator==(other); }

    // ECDSA verification results.
    enum { kValid = 1, kNoMemory = 0, kInvalid = -1, kUnknownAlgorithm = -2, kBadInput = -3, kNoDomain = -4 };
    // Over a digest (cut to the bit length of the order).
    int verify(const uint8_t* digest, unsigned digestLen, const DSASignature& sig);
    // The digest must have the hash's length (kBadInput otherwise).
    int verifyWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, const DSASignature& sig);
    // The hash named by an ECDSA signature algorithm; others give kUnknownAlgorithm.
    int verify(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureAlgorithm,
               const DSASignature& sig);
    int verifyDigest(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureAlgorithm,
                     const DSASignature& sig);
    // Over data or an ASN.1 object's DER, hashed here first.
    int verifyData(const uint8_t* data, unsigned dataLen, unsigned hashId, const DSASignature& sig);
    int verifyObject(const ASNobject& obj, unsigned hashId, const DSASignature& sig);
    int verify(const ASNobject* obj, const ASNobjectId& signatureAlgorithm, const DSASignature& sig);

private:
    void adoptDomainOf(const ECPublicKey& other);

    QvGeneralDsaPublicKey m_key;
    QvGeneralDsaSig m_verifier;
    const QvGeneralDsaKeyDomain* m_domain;  // not owned: the catalogue's or m_explicit's
    ECSpecifiedDomain m_explicit;
    bool m_prepared;
};
