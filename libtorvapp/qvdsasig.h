// DSA over GF(p) with the keys of a prime-field domain.  sign writes r and s as two DER INTEGERs back to back; verify takes
// that form or r and s as separate octet strings.  Keys and generator are
// borrowed.
#ifndef LIBTORVAPP_QVDSASIG_H
#define LIBTORVAPP_QVDSASIG_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvdsasigbase.h"

class QvDsaSig : public QvDsaSigBase<QvDsaPublicKey, QvDsaPrivateKey> {
public:
    QvDsaSig() = default;
    QvDsaSig(const QvDsaSig &other) = default;
    QvDsaSig &operator=(const QvDsaSig &other) = default;
    ~QvDsaSig() override;

    unsigned int getMaxSignatureOctets() const override;
    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    using QvDsaSigBase::verify;
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, unsigned int rLen,
                const QvOctet *sOctets, unsigned int sLen) override;

protected:
    const char *noHashText() const override;
};

#endif
