// SHA-224 (FIPS 180-4), hash identifier 2: the SHA-256 compression with its own
// initial value and a 28-octet digest.
#ifndef LIBTORVAPP_QVSHA224_H
#define LIBTORVAPP_QVSHA224_H

#include "libtorvapp/qvsha256.h"

class QvSha224 : public QvSha256 {
public:
    QvSha224();
    QvSha224(const QvSha224& other) = default;
    QvSha224& operator=(const QvSha224& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA224; }
    const char* getName() const override { return "SHA-224"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 28; }
    void resetState() override;
};

#endif
