// DSA over GF(p) with the keys of a prime-field domain.  sign writes r and s as two DER INTEGERs back to back; verify takes
// that form or r and s as separate octet strings.  Keys and generator are
// borrowed.
#ifndef LIBTORVAPP_QVDSASIG_H
#define LIBTORVAPP_QVDSASIG_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvasymsig.h"
#include "libtorvapp/qvrbg.h"

class QvDsaSig : public QvAsymSig {
public:
    QvDsaSig();
    QvDsaSig(const QvDsaSig &other) = default;
    QvDsaSig &operator=(const QvDsaSig &other) = default;
    ~QvDsaSig() override;

    // which: 0 the key set, 1 only the public key, 2 only the private key.
    unsigned int getKeyBits(unsigned int which) const override;
    unsigned int getMaxSignatureOctets() const override;
    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    // The two-INTEGER form; false when the two TLVs do not lie inside it.
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override;
    bool longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen) override;

    virtual void setPublicKey(const QvDsaPublicKey *key);
    virtual void setPrivateKey(const QvDsaPrivateKey *key);
    virtual const QvDsaPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvDsaPrivateKey *getPrivateKey() const { return privateKey; }
    virtual void setRbg(QvRbg *r) { rbg = r; }
    virtual bool verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, const QvOctet *sOctets, unsigned int sLen);
    virtual bool verifyMessageRS(const QvOctet *message, unsigned int messageLen, const QvOctet *rOctets,
                                 unsigned int rLen, const QvOctet *sOctets, unsigned int sLen);
    virtual bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, unsigned int rLen,
                        const QvOctet *sOctets, unsigned int sLen);

    QvRbg *getRbg() const { return rbg; }

protected:
    const QvDsaPublicKey *publicKey;
    const QvDsaPrivateKey *privateKey;
    QvRbg *rbg;
};

#endif
