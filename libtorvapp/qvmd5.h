// MD5 (RFC 1321), hash identifier 8.
#ifndef LIBTORVAPP_QVMD5_H
#define LIBTORVAPP_QVMD5_H

#include "libtorvapp/qvmdhash.h"

class QvMd5 : public QvMdHash<QvWord, 4, 64, QvMdOrder::LittleEndian> {
public:
    QvMd5();
    QvMd5(const QvMd5& other) = default;
    QvMd5& operator=(const QvMd5& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_MD5; }
    const char* getName() const override { return "MD5"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 16; }
    void resetState() override;
};

#endif
