// DSA in the group of a general domain: ECDSA on the curve groups.  sign writes r and s as two DER INTEGERs back to back; verify takes
// that form or r and s as separate octet strings.  Keys and generator are
// borrowed.
#ifndef LIBTORVAPP_QVGENERALDSASIG_H
#define LIBTORVAPP_QVGENERALDSASIG_H

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvdsasigbase.h"

class QvGeneralDsaSig : public QvDsaSigBase<QvGeneralDsaPublicKey, QvGeneralDsaPrivateKey> {
public:
    QvGeneralDsaSig() = default;
    QvGeneralDsaSig(const QvGeneralDsaSig &other) = default;
    QvGeneralDsaSig &operator=(const QvGeneralDsaSig &other) = default;
    ~QvGeneralDsaSig() override;

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
