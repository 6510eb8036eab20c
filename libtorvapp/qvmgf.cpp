#include "libtorvapp/qvmgf.h"

#include <memory>
#include <new>

#include "libtorvapp/qvconv/qvder.h"

namespace {

void checkBuffer(const void* p, unsigned int len)
{
    if (p == nullptr && len != 0)
        qvThrow<QvArgumentRangeException>("LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                                          "REASON: Null buffer.\n"
                                          "FUNCTION: QvMgf\n"
                                          "FILE: qvmgf\nLINE: 16\n");
}

unsigned int chooseBlock(const QvHash* h, unsigned int blockOctets)
{
    unsigned int d = h->getHashOctets();
    return (blockOctets != 0 && blockOctets < d) ? blockOctets : d;
}

} // namespace

QvMgf::QvMgf(unsigned int hashAlgo, unsigned int blockOcts)
    : seed(), output(), available(0), readPos(0), counter(0), seeded(false), exhausted(false),
      hash(qvHashCreateObject(hashAlgo)), blockOctets(0)
{
    blockOctets = chooseBlock(hash, blockOcts);
}

QvMgf::QvMgf(const QvMgf& other)
    : QvSym(other), seed(), output(), available(0), readPos(0), counter(0), seeded(false),
      exhausted(false), hash(other.hash->clone()), blockOctets(other.blockOctets)
{
}

QvMgf::~QvMgf()
{
    delete hash;
    hash = nullptr;
    counter = 0;
    available = 0;
}

void QvMgf::computeBlock(const QvOctet* s, unsigned int sLen, QvWord c, QvOctet* out)
{
    QvOctet ctr[4];
    qvUintToOctets(c, ctr, 4);
    hash->init();
    hash->step(s, sLen);
    hash->step(ctr, 4);
    hash->finish();
    hash->getHash(0, out);
}

void QvMgf::generate(QvOctet* out, unsigned int len, const QvOctet* s, unsigned int sLen)
{
    checkBuffer(out, len);
    checkBuffer(s, sLen);
    QvOctet block[QV_HASH_MAX_OCTETS];
    QvWord c = firstCounter();
    unsigned int done = 0;
    while (done < len) {
        computeBlock(s, sLen, c++, block);
        unsigned int n = len - done < blockOctets ? len - done : blockOctets;
        for (unsigned int i = 0; i < n; ++i)
            out[done + i] = block[i];
        done += n;
    }
    qvWipe(block, sizeof(block));
}

void QvMgf::xorMask(QvOctet* data, unsigned int len, const QvOctet* s, unsigned int sLen)
{
    checkBuffer(data, len);
    checkBuffer(s, sLen);
    QvOctet block[QV_HASH_MAX_OCTETS];
    QvWord c = firstCounter();
    unsigned int done = 0;
    while (done < len) {
        computeBlock(s, sLen, c++, block);
        unsigned int n = len - done < blockOctets ? len - done : blockOctets;
        for (unsigned int i = 0; i < n; ++i)
            data[done + i] ^= block[i];
        done += n;
    }
    qvWipe(block, sizeof(block));
}

unsigned int QvMgf::setSeed(const QvOctet* s, unsigned int len)
{
    checkBuffer(s, len);
    QvOctMem copy(s, len);
    QvOctMem out(hash->getHashOctets());
    seed = std::move(copy);
    output = std::move(out);
    counter = firstCounter();
    available = 0;
    readPos = 0;
    seeded = true;
    exhausted = false;
    return hash->getHashOctets();
}

void QvMgf::next(QvOctet* out, unsigned int len)
{
    checkBuffer(out, len);
    if (len != 0 && !seeded)
        qvThrow<QvNotInitException>("LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                                    "REASON: Seed not set.\n"
                                    "FUNCTION: QvMgf::next\n"
                                    "FILE: qvmgf\nLINE: 115\n");
    unsigned int done = 0;
    while (done < len) {
        if (available == 0) {
            // A second run through the 32-bit counter would repeat the stream.
            if (exhausted)
                qvThrow<QvArgumentRangeException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
                    "REASON: Output stream exhausted.\n"
                    "FUNCTION: QvMgf::next\n"
                    "FILE: qvmgf\nLINE: 125\n");
            computeBlock(seed.getConstData(), seed.getLength(), counter, output.getData());
            if (++counter == firstCounter())
                exhausted = true;
            available = blockOctets;
            readPos = 0;
        }
        unsigned int n = len - done < available ? len - done : available;
        for (unsigned int i = 0; i < n; ++i)
            out[done + i] = output.getConstData()[readPos + i];
        readPos += n;
        available -= n;
        done += n;
    }
}

void QvMgf::reset() {}

unsigned int QvMgf::getMaxKeyOctets() const { return 128; }

QvMgf1::QvMgf1(unsigned int hashAlgo, unsigned int blockOcts) : QvMgf(hashAlgo, blockOcts) {}
QvMgf1::QvMgf1(const QvMgf1& other) : QvMgf(other) {}
QvMgf1::~QvMgf1() = default;

QvMgf* QvMgf1::clone() const
{
    QvMgf* m = new (std::nothrow) QvMgf1(*this);
    if (m == nullptr)
        throw QvMemException(sizeof(QvMgf1), "qvmgf", "153");
    return m;
}

QvKdf2::QvKdf2(unsigned int hashAlgo, unsigned int blockOcts) : QvMgf(hashAlgo, blockOcts) {}
QvKdf2::QvKdf2(const QvKdf2& other) : QvMgf(other) {}
QvKdf2::~QvKdf2() = default;

QvMgf* QvKdf2::clone() const
{
    QvMgf* m = new (std::nothrow) QvKdf2(*this);
    if (m == nullptr)
        throw QvMemException(sizeof(QvKdf2), "qvmgf", "165");
    return m;
}

QvMgf* qvKdfCreateObject(unsigned int id)
{
    QvMgf* m = nullptr;
    switch (id) {
    case 0: m = new (std::nothrow) QvMgf1(QV_HASH_DHF_ALGO_SHA256, 32); break;
    case 1: m = new (std::nothrow) QvKdf2(QV_HASH_DHF_ALGO_SHA256, 32); break;
    default:
        qvThrow<QvLibNotImplementedException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\n"
            "REASON: Nieznany algorytm.\n"
            "FUNCTION: qvKdfCreateObject\n"
            "FILE: qvmgf\nLINE: 180\n");
    }
    if (m == nullptr)
        throw QvMemException(0, "qvmgf", "183");
    return m;
}
