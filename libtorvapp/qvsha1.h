// SHA-1 (FIPS 180-4), hash identifier 1.
#ifndef LIBTORVAPP_QVSHA1_H
#define LIBTORVAPP_QVSHA1_H

#include <cstddef>
#include <cstdint>

#include "libtorvapp/qvdhf.h"

class QvSha1 : public QvDhf {
public:
    QvSha1();
    QvSha1(const QvSha1& other) = default;
    QvSha1& operator=(const QvSha1& other) = default;
    ~QvSha1() override;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA1; }
    const char* getName() const override { return "SHA-1"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 20; }
    void resetState() override;
    void finalBlock() override;
    unsigned int getBlockOctets() const override { return 64; }

protected:
    void processBlocks(const QvOctet* data, std::size_t n) override;

private:
    QvWord state[5];
    QvWord countLo; // message octets processed, low half
    QvWord countHi;
};

#endif
