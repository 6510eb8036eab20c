// RSASSA-PKCS1-v1_5: the DigestInfo of the scheme's hash padded with at least
// eight FF octets, signed and verified by the RSA operations.
#ifndef LIBTORVAPP_QVRSASIGPKCSV15_H
#define LIBTORVAPP_QVRSASIGPKCSV15_H

#include "libtorvapp/qvrsasig.h"

class QvRsaSigPkcsV15 : public QvRsaSig {
public:
    QvRsaSigPkcsV15() = default;
    ~QvRsaSigPkcsV15() override;

    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override;
    // 01 FF..FF 00 DigestInfo in k - 1 octets.
    unsigned int encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen) override;
};

#endif
