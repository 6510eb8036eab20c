// Root of the secret-agreement schemes: holds the agreed secret (wiped when
// replaced or released).
#ifndef LIBTORVAPP_QVASYMSECRET_H
#define LIBTORVAPP_QVASYMSECRET_H

#include "libtorvapp/qvasymscheme.h"
#include "libtorvapp/qvcommon/qvoctmem.h"

class QvAsymSecret : public QvAsymScheme {
public:
    QvAsymSecret() = default;
    QvAsymSecret(const QvAsymSecret &) = default;
    QvAsymSecret &operator=(const QvAsymSecret &) = default;
    ~QvAsymSecret() override;

    virtual void generateSecret() = 0;
    virtual unsigned int getSecretOctets() const { return secret.getLength(); }
    // 0 (nothing copied) when len is smaller than the secret.
    virtual unsigned int getSecret(QvOctet *out, unsigned int len) const;

protected:
    QvOctMem secret;
};

#endif
