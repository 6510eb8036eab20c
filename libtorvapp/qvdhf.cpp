#include "libtorvapp/qvdhf.h"

#include <cstring>

QvDhf::QvDhf(unsigned int digestOctets, unsigned int blockOcts)
    : QvHash(digestOctets), buffered(0), blockOctets(blockOcts), block(blockOcts)
{
}

QvDhf::~QvDhf() { buffered = 0; }

void QvDhf::init()
{
    resetState();
    buffered = 0;
    blockOctets = getBlockOctets();
    sessionOpen = true;
    digestReady = false;
}

void QvDhf::step(const QvOctet* data, unsigned int len)
{
    if (!sessionOpen)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Nie wykonano funkcji init.\n"
                                "FUNCTION: QvDhf::step\nFILE: qvdhf\nLINE: 50\n");
    if (len == 0)
        return;
    if (data == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Null data pointer.\n"
            "FUNCTION: QvDhf::step\nFILE: qvdhf\nLINE: 54\n");
    QvOctet* blk = block.getData();
    if (buffered != 0) {
        unsigned int need = blockOctets - buffered;
        if (len < need) {
            std::memcpy(blk + buffered, data, len);
            buffered += len;
            return;
        }
        std::memcpy(blk + buffered, data, need);
        processBlocks(blk, 1);
        data += need;
        len -= need;
        buffered = 0;
    }
    std::size_t n = len / blockOctets;
    if (n != 0) {
        processBlocks(data, n);
        data += n * blockOctets;
        len -= static_cast<unsigned int>(n * blockOctets);
    }
    if (len != 0)
        std::memcpy(blk, data, len);
    buffered = len;
}

void QvDhf::finish()
{
    if (!sessionOpen)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Nie wykonano funkcji init.\n"
                                "FUNCTION: QvDhf::finish\nFILE: qvdhf\nLINE: 83\n");
    finalBlock();
    sessionOpen = false;
    digestReady = true;
}

void QvDhf::padWithLength(const QvOctet* lengthField, unsigned int lenOctets)
{
    QvOctet* blk = block.getData();
    unsigned int pos = buffered;
    blk[pos++] = 0x80;
    if (pos > blockOctets - lenOctets) {
        std::memset(blk + pos, 0, blockOctets - pos);
        processBlocks(blk, 1);
        pos = 0;
    }
    std::memset(blk + pos, 0, blockOctets - lenOctets - pos);
    std::memcpy(blk + blockOctets - lenOctets, lengthField, lenOctets);
    processBlocks(blk, 1);
    // The padded block held message octets: leave nothing behind.
    qvWipe(blk, blockOctets);
    buffered = 0;
}
