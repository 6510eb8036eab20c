// SHA-1 (FIPS 180-4), hash identifier 1.
#ifndef LIBTORVAPP_QVSHA1_H
#define LIBTORVAPP_QVSHA1_H

#include "libtorvapp/qvmdhash.h"

class QvSha1 : public QvMdHash<QvWord, 5, 64, QvMdOrder::BigEndian> {
public:
    QvSha1();
    QvSha1(const QvSha1& other) = default;
    QvSha1& operator=(const QvSha1& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA1; }
    const char* getName() const override { return "SHA-1"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 20; }
    void resetState() override;
};

#endif
