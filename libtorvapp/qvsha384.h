// SHA-384 (FIPS 180-4), hash identifier 4: the SHA-512 compression with its own
// initial value and a 48-octet digest.
#ifndef LIBTORVAPP_QVSHA384_H
#define LIBTORVAPP_QVSHA384_H

#include <cstdint>

#include "libtorvapp/qvmdhash.h"

class QvSha384 : public QvMdHash<std::uint64_t, 8, 128, QvMdOrder::BigEndian> {
public:
    QvSha384();
    QvSha384(const QvSha384& other) = default;
    QvSha384& operator=(const QvSha384& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA384; }
    const char* getName() const override { return "SHA-384"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 48; }
    void resetState() override;
};

#endif
