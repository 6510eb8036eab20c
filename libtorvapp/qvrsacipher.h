// Raw RSA encryption (public key) and decryption (private key).  One key at a
// time: setting one clears the other.  Keys are borrowed.
#ifndef LIBTORVAPP_QVRSACIPHER_H
#define LIBTORVAPP_QVRSACIPHER_H

#include "libtorvapp/qvasymcipher.h"
#include "libtorvapp/qvasymkey.h"

class QvRsaCipher : public QvAsymCipher {
public:
    QvRsaCipher();
    QvRsaCipher(const QvRsaCipher &) = default;
    QvRsaCipher &operator=(const QvRsaCipher &) = default;
    ~QvRsaCipher() override;

    unsigned int getKeyBits(unsigned int which) const override;
    unsigned int getMaxCipherTextOctets() const override;
    unsigned int getMaxPlainTextOctets() const override;
    unsigned int decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                         unsigned int plainTextLen) override;
    unsigned int encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen, const QvOctet *label,
                                  unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen) override;

    virtual void setPublicKey(const QvRsaPublicKey *key);
    virtual void setPrivateKey(const QvRsaPrivateKey *key);
    virtual const QvRsaPublicKey *getPublicKey() const { return publicKey; }
    virtual const QvRsaPrivateKey *getPrivateKey() const { return privateKey; }

protected:
    // Throws when neither key is set.
    void requireKey() const;

    const QvRsaPublicKey *publicKey;
    const QvRsaPrivateKey *privateKey;
};

#endif
