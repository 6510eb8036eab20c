// RSAES-OAEP with an owned hash and MGF1 mask generator; the generator of the
// seed is borrowed.
#ifndef LIBTORVAPP_QVRSACIPHERPKCSOAEP_H
#define LIBTORVAPP_QVRSACIPHERPKCSOAEP_H

#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrsacipher.h"

class QvRsaCipherPkcsOaep : public QvRsaCipher {
public:
    QvRsaCipherPkcsOaep();
    // mgfFlag != 0: MGF1 over SHA-256; 0: MGF1 over mgfHashAlgo.
    QvRsaCipherPkcsOaep(QvRbg *rbg, QvHashAlgo hashAlgo, unsigned int mgfFlag, QvHashAlgo mgfHashAlgo);
    QvRsaCipherPkcsOaep(const QvRsaCipherPkcsOaep &other);
    QvRsaCipherPkcsOaep &operator=(const QvRsaCipherPkcsOaep &other);
    ~QvRsaCipherPkcsOaep() override;

    unsigned int getMaxPlainTextOctets() const override;
    unsigned int decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                         unsigned int plainTextLen) override
    {
        return decryptWithLabel(cipherText, cipherTextLen, nullptr, 0, plainText, plainTextLen);
    }
    unsigned int encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen, const QvOctet *label,
                                  unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen) override;
    unsigned int decryptWithLabel(const QvOctet *cipherText, unsigned int cipherTextLen, const QvOctet *label,
                                  unsigned int labelLen, QvOctet *plainText, unsigned int plainTextLen);

    unsigned int setHash(QvHashAlgo hashAlgo);
    void setMgf(unsigned int mgfFlag, QvHashAlgo mgfHashAlgo);
    void setRbg(QvRbg *r) { rbg = r; }
    unsigned int getHLen() const { return hLen; }

protected:
    QvRbg *rbg;
    QvHash *hash;
    unsigned int hLen;
    QvMgf *mgf;
};

#endif
