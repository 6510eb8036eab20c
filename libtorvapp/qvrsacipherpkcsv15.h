// RSAES-PKCS1-v1_5: random non-zero padding of at least eight octets.  The
// generator is borrowed.
#ifndef LIBTORVAPP_QVRSACIPHERPKCSV15_H
#define LIBTORVAPP_QVRSACIPHERPKCSV15_H

#include "libtorvapp/qvrbg.h"
#include "libtorvapp/qvrsacipher.h"

class QvRsaCipherPkcsV15 : public QvRsaCipher {
public:
    explicit QvRsaCipherPkcsV15(QvRbg *rbg = nullptr);
    ~QvRsaCipherPkcsV15() override;

    unsigned int getMaxPlainTextOctets() const override;
    unsigned int decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                         unsigned int plainTextLen) override;
    unsigned int encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen, const QvOctet *label,
                                  unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen) override;

    void setRbg(QvRbg *r) { rbg = r; }

protected:
    QvRbg *rbg;
};

#endif
