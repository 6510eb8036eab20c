// DSA in the group of a general domain: ECDSA on the curve groups.  sign writes r and s as two DER INTEGERs back to back; verify takes
// that form or r and s as separate octet strings.  Keys and generator are
// borrowed.
#ifndef LIBTORVAPP_QVGENERALDSASIG_H
#define LIBTORVAPP_QVGENERALDSASIG_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvasymsig.h"
#include "libtorvapp/qvrbg.h"

class QvGeneralDsaSig : public QvAsymSig {
public:
    QvGeneralDsaSig();
    QvGeneralDsaSig(const QvGeneralDsaSig &other) = default;
    QvGeneralDsaSig &operator=(const QvGeneralDsaSig &other) = default;
    ~QvGeneralDsaSig() override;

    // which: 0 the key set, 1 only the public key, 2 only the private key.
    unsigned int getKeyBits(unsigned int which) const override;
    unsigned int getMaxSignatureOctets() const override;
    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    // The two-INTEGER form; false when the two TLVs do not lie inside it.
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override;
    bool longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen) override;

    virtual void setPublicKey(const QvGeneralDsaPublicKey *key);
    virtual void setPrivateKey(const QvGeneralDsaPrivateKey *key);
    virtual const QvGeneralDsaPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvGeneralDsaPrivateKey *getPrivateKey() const { return privateKey; }
    virtual void setRbg(QvRbg *r) { rbg = r; }
    virtual bool verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, const QvOctet *sOctets, unsigned int sLen);
    virtual bool verifyMessageRS(const QvOctet *message, unsigned int messageLen, const QvOctet *rOctets,
                                 unsigned int rLen, const QvOctet *sOctets, unsigned int sLen);
    virtual bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, unsigned int rLen,
                        const QvOctet *sOctets, unsigned int sLen);

    QvRbg *getRbg() const { return rbg; }

protected:
    const QvGeneralDsaPublicKey *publicKey;
    const QvGeneralDsaPrivateKey *privateKey;
    QvRbg *rbg;
};

#endif
