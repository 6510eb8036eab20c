// SEC 1 EC private key.
#pragma once

#include <cstdint>

#include "keys/ecpubkey.h"

class DSASignature;
class QvRbg;

// SEC 1 ECPrivateKey: SEQUENCE { version INTEGER (1), privateKey OCTET STRING,
// parameters [0] ECParameters OPTIONAL, publicKey [1] BIT STRING OPTIONAL }.
class ECPrivateKey : public ASNsequenceF {
public:
    explicit ECPrivateKey(uint32_t tag = 0);
    ~ECPrivateKey() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Octets of the private value as stored.
    unsigned getPrivateKeyLength() const;
    // Field size of the parameters; else the public point's key size; else 8 x the
    // private value's octets.
    unsigned getKeySizeBits() const;
    // The point octets of the public key member. 1, or 0 when absent.
    int getPublicPoint(ASNoctstr& out) const;

    bool hasDomainParameters() const { return wasParameters != 0; }
    ECDomainParameters& getDomainParameters() { return parameters.value; }
    const ECDomainParameters& getDomainParameters() const { return parameters.value; }

    // ECDSA signature of the DER of obj hashed with hashId, over domain (NULL: the
    // key's own parameters), written to out as the DER of (r, s). 1 signed; 0 the
    // signature could not be stored; -1 no generator or unusable private value; -4
    // no usable domain; -5 hash id unknown; -6 out of memory.
    int signObject(const ASNobject& obj, unsigned hashId, const ECDomainParameters* domain, QvRbg* rbg,
                   ASNbitstr* out) const;

    ASNinteger version;
    ASNoctstr privateKey;
    ASNexpl<ECDomainParameters> parameters;
    ASNexpl<ASNbitstr> publicKey;
    uint8_t wasParameters;
    uint8_t wasPublicKey;
};
