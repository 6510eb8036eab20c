// RSA signatures: the private-key operation on the encoded digest, with an
// optional masking of the exponentiation (mode bit 0), and verification by
// comparing the public-key operation with the encoding.  The keys and the
// generator are borrowed.
#ifndef LIBTORVAPP_QVRSASIG_H
#define LIBTORVAPP_QVRSASIG_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvasymsig.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "libtorvapp/qvrbg.h"

class QvRsaSig : public QvAsymSig {
public:
    QvRsaSig();
    QvRsaSig(const QvRsaSig &other) = default;
    QvRsaSig &operator=(const QvRsaSig &other) = default;
    ~QvRsaSig() override;

    unsigned int getKeyBits(unsigned int which) const override;
    unsigned int getMaxSignatureOctets() const override;
    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override;

    virtual void setPublicKey(const QvRsaPublicKey *key);
    virtual void setPrivateKey(const QvRsaPrivateKey *key);
    virtual const QvRsaPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvRsaPrivateKey *getPrivateKey() const { return privateKey; }
    virtual void setMode(unsigned int m) { mode = m; }
    virtual void setRbg(QvRbg *r) { rbg = r; }

    unsigned int getMode() const { return mode; }
    QvRbg *getRbg() const { return rbg; }

protected:
    QvRbg *rbg;
    const QvRsaPublicKey *publicKey;
    const QvRsaPrivateKey *privateKey;
    unsigned int mode;
    bool maskReady;
    QvZn maskA;
    QvZn maskB;
};

#endif
