#include "libtorvapp/qvasymsecret.h"

#include <cstring>

QvAsymSecret::~QvAsymSecret() = default;

unsigned int QvAsymSecret::getSecret(QvOctet *out, unsigned int len) const
{
    unsigned int n = secret.getLength();
    if (len < n || (n != 0 && out == nullptr))
        return 0;
    if (n != 0)
        std::memcpy(out, secret.getConstData(), n);
    return n;
}
