// Diffie-Hellman in the group of a general domain (elliptic curves): the
// secret is the group's encoding of x H; derivation by the ANSI X9.63 KDF.
#ifndef LIBTORVAPP_QVGENERALDHSECRET_H
#define LIBTORVAPP_QVGENERALDHSECRET_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvasymsecret.h"
#include "libtorvapp/qvhash.h"

class QvGeneralDhSecret : public QvAsymSecret {
public:
    explicit QvGeneralDhSecret(QvHashAlgo hashAlgo);
    QvGeneralDhSecret(const QvGeneralDhSecret &other);
    QvGeneralDhSecret &operator=(const QvGeneralDhSecret &other) = delete;
    ~QvGeneralDhSecret() override;

    unsigned int getKeyBits(unsigned int which) const override;
    void generateSecret() override;

    virtual void setPublicKey(const QvGeneralDsaPublicKey *key) { publicKey = key; }
    // Also clears the peer key: the own key is set first, the peer's after it.
    virtual void setPrivateKey(const QvGeneralDsaPrivateKey *key)
    {
        privateKey = key;
        publicKey = nullptr;
    }
    virtual const QvGeneralDsaPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvGeneralDsaPrivateKey *getPrivateKey() const { return privateKey; }
    virtual void setHash(QvHashAlgo hashAlgo);
    // outLen octets of Hash(Z || counter || sharedInfo), counter from 1.
    virtual void deriveKey(QvOctet *out, unsigned int outLen, const QvOctet *sharedInfo, unsigned int sharedInfoLen);

protected:
    const QvGeneralDsaPublicKey *publicKey;
    const QvGeneralDsaPrivateKey *privateKey;
    QvHash *hash;
};

#endif
