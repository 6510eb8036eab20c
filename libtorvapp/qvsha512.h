// SHA-512 (FIPS 180-4), hash identifier 5.
#ifndef LIBTORVAPP_QVSHA512_H
#define LIBTORVAPP_QVSHA512_H

#include <cstddef>
#include <cstdint>

#include "libtorvapp/qvdhf.h"

class QvSha512 : public QvDhf {
public:
    QvSha512();
    QvSha512(const QvSha512& other) = default;
    QvSha512& operator=(const QvSha512& other) = default;
    ~QvSha512() override;

    QvHash* clone() const override;
    QvHashAlgo getHashAlgo() const override { return QV_HASH_DHF_ALGO_SHA512; }
    const char* getName() const override { return "SHA-512"; }
    const QvWord* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    unsigned int getHashOctets() const override { return 64; }
    void resetState() override;
    void finalBlock() override;
    unsigned int getBlockOctets() const override { return 128; }

protected:
    void processBlocks(const QvOctet* data, std::size_t n) override;

private:
    std::uint64_t state[8];
    std::uint64_t countLo; // message octets processed, low half
    std::uint64_t countHi;
};

#endif
