// Root of the public-key ciphers: size limits, encryption (with an optional
// label) and decryption into caller buffers.
#ifndef LIBTORVAPP_QVASYMCIPHER_H
#define LIBTORVAPP_QVASYMCIPHER_H

#include "libtorvapp/qvasymscheme.h"
#include "libtorvapp/qvcommon/qvtypes.h"

class QvAsymCipher : public QvAsymScheme {
public:
    QvAsymCipher() = default;
    QvAsymCipher(const QvAsymCipher &) = default;
    QvAsymCipher &operator=(const QvAsymCipher &) = default;
    ~QvAsymCipher() override;

    virtual unsigned int getMaxCipherTextOctets() const = 0;
    virtual unsigned int getMaxPlainTextOctets() const = 0;
    virtual unsigned int encrypt(const QvOctet *plainText, unsigned int plainTextLen, QvOctet *cipherText,
                                 unsigned int cipherTextLen)
    {
        return encryptWithLabel(plainText, plainTextLen, nullptr, 0, cipherText, cipherTextLen);
    }
    virtual unsigned int decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                                 unsigned int plainTextLen) = 0;
    virtual unsigned int encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen, const QvOctet *label,
                                          unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen) = 0;
};

#endif
