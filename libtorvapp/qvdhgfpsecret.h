// Diffie-Hellman over GF(p) with the keys of a Diffie-Hellman domain, the
// generation of such a key pair, and a hash-based derivation from the secret.
#ifndef LIBTORVAPP_QVDHGFPSECRET_H
#define LIBTORVAPP_QVDHGFPSECRET_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvasymsecret.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvrbg.h"

class QvDhGFpSecret : public QvAsymSecret {
public:
    // Derivation hash SHA-256.
    QvDhGFpSecret();
    QvDhGFpSecret(const QvDhGFpSecret &other);
    QvDhGFpSecret &operator=(const QvDhGFpSecret &other) = delete;
    ~QvDhGFpSecret() override;

    unsigned int getKeyBits(unsigned int which) const override;
    // z = y_peer^x mod p as minimal big-endian octets.
    void generateSecret() override;

    virtual void setPublicKey(const QvDhGFpPublicKey *key) { publicKey = key; }
    virtual void setPrivateKey(const QvDhGFpPrivateKey *key) { privateKey = key; }
    virtual const QvDhGFpPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvDhGFpPrivateKey *getPrivateKey() const { return privateKey; }
    // outLen octets of Hash(Z || a || counter || b || c || e || d), counter from 1.
    virtual void deriveKey(QvOctet *out, unsigned int outLen, const QvOctet *a, unsigned int aLen, const QvOctet *b,
                           unsigned int bLen, const QvOctet *c, unsigned int cLen, const QvOctet *d,
                           unsigned int dLen, const QvOctet *e, unsigned int eLen);

protected:
    const QvDhGFpPublicKey *publicKey;
    const QvDhGFpPrivateKey *privateKey;
    QvHash *hash;
};

// Fills both keys from the domain: x uniform in [2, q - 2], y = g^x mod p.
// An incomplete domain throws and leaves the keys untouched; so does an order
// too small for a secret value (below 2^64).
void generateKeyPair(QvDhGFpPublicKey &publicKey, QvDhGFpPrivateKey &privateKey, const QvDhGFpKeyDomain *domain,
                     QvRbg *rbg);

#endif
