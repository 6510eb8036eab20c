// SEC 1 EC private key, signing through the library's ECDSA scheme.
#pragma once

#include <cstdint>

#include "keys/dsaparms.h"
#include "keys/ecdomain.h"
#include "keys/ecpubkey.h"
#include "lib/libasn/asnexpl.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvgeneraldsasig.h"

class QvRbg;

// ECPrivateKey ::= SEQUENCE { version INTEGER (1), privateKey OCTET STRING,
// parameters [0] Parameters OPTIONAL, publicKey [1] ECPublicKey OPTIONAL }.
class ECPrivateKey : public ASNsequenceF {
public:
    explicit ECPrivateKey(uint32_t tag = 0x30);
    // Copies the members; the signer is prepared anew.
    ECPrivateKey(const ECPrivateKey& other);
    ECPrivateKey& operator=(const ECPrivateKey& other);
    ~ECPrivateKey() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // The private value x. With a domain, x is stored at the field's length (leading
    // zero octets dropped or added; longer values give 0), the domain becomes the
    // parameters and the public key is computed; without one, parameters and public
    // key are dropped. 1, or 0.
    int setPrivateKey(const uint8_t* x, unsigned len, const ECDomainParameters* domain);
    int setPrivateKey(const ASNoctstr& x);
    // x of the library key (parameters and public key dropped). 1, or 0.
    int setFromQvKey(const QvGeneralDsaPrivateKey& key);

    // The public key: the one held, or x times the generator over domain (null: the
    // own parameters); a hybrid point is written uncompressed. 1, or 0.
    int computePublicKey(ECPublicKey& out, const ECDomainParameters* domain) const;
    // Computes the public key into the member and marks it present. 1, or 0.
    int updatePublicKey(const ECDomainParameters* domain);
    // The computed public point's octets. 1, or 0.
    int getPublicKeyOctets(ASNoctstr& out, const ECDomainParameters* domain) const;
    // The public point, over the own parameters, into a library key (given the own
    // key domain when it has none). 1, or 0.
    int exportPublicKey(QvGeneralDsaPublicKey& key) const;

    // The parameters' field size; else the public point's key size; else 8 x the
    // private value's octets.
    unsigned getKeySizeBits() const;
    // Octets of the private value as stored.
    unsigned getPrivateKeyLength() const;
    bool operator==(const ECPrivateKey& other) const;
    bool operator!=(const ECPrivateKey& other) const { return !(*this == other); }

    bool hasDomainParameters() const { return parametersPresent; }
    ECDomainParameters& getDomainParameters() { return parameters.value; }
    const ECDomainParameters& getDomainParameters() const { return parameters.value; }
    bool hasPublicKey() const { return publicKeyPresent; }
    const ECPublicKey& getPublicKey() const { return publicKey.value; }

    // Signing results.
    enum {
        kSigned = 1,
        kNotStored = 0,
        kBadDigestLength = -1,
        kKeyFailure = -3,
        kNoDomain = -4,
        kDomainNotBuilt = -5
    };
    // ECDSA over a digest with the key domain of the own parameters, or of the last
    // explicitly given domain (kept until the key changes). The generator is used
    // for this signature only; without one the result is kKeyFailure.
    int sign(const uint8_t* digest, unsigned digestLen, QvRbg* rbg, DSASignature& out);
    int signWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg, DSASignature& out);
    int signObject(const ASNobject* obj, unsigned hashId, QvRbg* rbg, DSASignature& out);
    int signWithDomain(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen, QvRbg* rbg,
                       DSASignature& out);
    int signWithDomainAndHash(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen,
                              unsigned hashId, QvRbg* rbg, DSASignature& out);
    int signObjectWithDomain(const ECSpecifiedDomain& domain, const ASNobject* obj, unsigned hashId, QvRbg* rbg,
                             DSASignature& out);
    // The same with the signature's DER as a bit string (0 unused bits).
    int signToBitString(const uint8_t* digest, unsigned digestLen, QvRbg* rbg, ASNbitstr& out);
    int signToBitStringWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, QvRbg* rbg,
                                ASNbitstr& out);
    int signObjectToBitString(const ASNobject* obj, unsigned hashId, QvRbg* rbg, ASNbitstr& out);
    int signWithDomainToBitString(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen,
                                  QvRbg* rbg, ASNbitstr& out);
    int signWithDomainToBitStringAndHash(const ECSpecifiedDomain& domain, const uint8_t* digest, unsigned digestLen,
                                         unsigned hashId, QvRbg* rbg, ASNbitstr& out);
    int signObjectWithDomainToBitString(const ECSpecifiedDomain& domain, const ASNobject* obj, unsigned hashId,
                                        QvRbg* rbg, ASNbitstr& out);

    ASNinteger version;
    ASNoctstr privateKey;
    ASNexpl<ECDomainParameters> parameters;
    ASNexpl<ECPublicKey> publicKey;
    bool parametersPresent;
    bool publicKeyPresent;

private:
    // Drops the prepared signer and the key domain in use.
    void resetSigner();
    // Takes a copy of domain as the key domain in use; 1, 0 (copy failed) or
    // kDomainNotBuilt.
    int useDomain(const ECSpecifiedDomain& domain);
    int digestOf(const ASNobject* obj, unsigned hashId, uint8_t* digest, unsigned* len) const;
    static int toBitString(int result, const DSASignature& sig, ASNbitstr& out);

    QvGeneralDsaSig m_signer;
    QvGeneralDsaPrivateKey m_key;
    const QvGeneralDsaKeyDomain* m_domain;  // not owned: the parameters' or m_explicit's
    ECSpecifiedDomain m_explicit;
    bool m_prepared;
};
