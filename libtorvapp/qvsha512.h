// SHA-512 (FIPS 180-4), hash identifier 5.
#ifndef LIBTORVAPP_QVSHA512_H
#define LIBTORVAPP_QVSHA512_H

#include <cstdint>

#include "libtorvapp/qvmdhash.h"

class QvSha512 : public QvMdHash<std::uint64_t, 8, 128, QvMdOrder::BigEndian> {
public:
    QvSha512();
    QvSha512(const QvSha512& other) = default;
    QvSha512& operator=(const QvSha512& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA512; }
    const char* getName() const override { return "SHA-512"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 64; }
    void resetState() override;
};

#endif
