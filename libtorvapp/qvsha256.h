// SHA-256 (FIPS 180-4), hash identifier 3; SHA-224 shares its compression.
#ifndef LIBTORVAPP_QVSHA256_H
#define LIBTORVAPP_QVSHA256_H

#include "libtorvapp/qvmdhash.h"

class QvSha256 : public QvMdHash<QvWord, 8, 64, QvMdOrder::BigEndian> {
public:
    QvSha256();
    QvSha256(const QvSha256& other) = default;
    QvSha256& operator=(const QvSha256& other) = default;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA256; }
    const char* getName() const override { return "SHA-256"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 32; }
    void resetState() override;

protected:
    // SHA-224 builds on this class with its own digest length.
    explicit QvSha256(unsigned int digestOctets);
};

#endif
