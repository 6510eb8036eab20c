// Common root of the public-key schemes (ciphers, signatures, secret
// agreement).  A scheme points to its keys and random generator without owning
// them; `which` picks one key where a scheme holds two.
#ifndef LIBTORVAPP_QVASYMSCHEME_H
#define LIBTORVAPP_QVASYMSCHEME_H

#include "libtorvapp/qvasym.h"

class QvAsymScheme : public QvAsym {
public:
    QvAsymScheme() = default;
    QvAsymScheme(const QvAsymScheme &) = default;
    QvAsymScheme &operator=(const QvAsymScheme &) = default;
    ~QvAsymScheme() override;

    virtual unsigned int getKeyBits(unsigned int which) const = 0;
    virtual unsigned int getKeyOctets(unsigned int which) const { return (getKeyBits(which) + 7) / 8; }
};

#endif
