// RIPEMD-128 (ISO/IEC 10118-3), hash identifier 6.
#ifndef LIBTORVAPP_QVRIPEMD128_H
#define LIBTORVAPP_QVRIPEMD128_H

#include "libtorvapp/qvmdhash.h"

class QvRipemd128 : public QvMdHash<QvWord, 4, 64, QvMdOrder::LittleEndian> {
public:
    QvRipemd128();
    QvRipemd128(const QvRipemd128& other) = default;
    QvRipemd128& operator=(const QvRipemd128& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_RIPEMD128; }
    const char* getName() const override { return "RIPEMD-128"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 16; }
    void resetState() override;
};

#endif
