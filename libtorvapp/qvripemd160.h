// RIPEMD-160 (ISO/IEC 10118-3), hash identifier 7.
#ifndef LIBTORVAPP_QVRIPEMD160_H
#define LIBTORVAPP_QVRIPEMD160_H

#include "libtorvapp/qvmdhash.h"

class QvRipemd160 : public QvMdHash<QvWord, 5, 64, QvMdOrder::LittleEndian> {
public:
    QvRipemd160();
    QvRipemd160(const QvRipemd160& other) = default;
    QvRipemd160& operator=(const QvRipemd160& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_RIPEMD160; }
    const char* getName() const override { return "RIPEMD-160"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 20; }
    void resetState() override;
};

#endif
