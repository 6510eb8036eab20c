// Dedicated hash function: the block-buffering session shared by the eight
// hashes. Whole blocks are compressed straight from the caller's buffer; only a
// partial block is kept in `block`.
#ifndef LIBTORVAPP_QVDHF_H
#define LIBTORVAPP_QVDHF_H

#include <cstddef>

#include "libtorvapp/qvhash.h"

class QvDhf : public QvHash {
public:
    ~QvDhf() override;

    void init() override;
    void step(const QvOctet* data, unsigned int len) override;
    void finish() override;

    unsigned int getHashType() const override { return 1; }
    const char* getHashTypeName() const override { return "DHF"; }
    void processBlock(const QvOctet* blk) override { processBlocks(blk, 1); }

protected:
    QvDhf(unsigned int digestOctets, unsigned int blockOctets);
    QvDhf(const QvDhf&) = default;
    QvDhf& operator=(const QvDhf&) = default;

    // n whole blocks compressed in one call (the counter advances by n blocks).
    virtual void processBlocks(const QvOctet* data, std::size_t n) = 0;

    // Standard Merkle-Damgard padding: 0x80, zeros, then the length field
    // (lenOctets octets, already encoded) at the end of the last block.
    void padWithLength(const QvOctet* lengthField, unsigned int lenOctets);

    unsigned int buffered;
    unsigned int blockOctets;
    QvOctMem block;
};

#endif
