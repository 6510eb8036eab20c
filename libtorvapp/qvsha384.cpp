#include "libtorvapp/qvsha384.h"

#include <new>

#include "libtorvapp/qvcommon/qvendian.h"
#include "libtorvapp/qvsha512core.h"

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 2};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};

const std::uint64_t kInitialValue[8] = {
    0xcbbb9d5dc1059ed8ull,
    0x629a292a367cd507ull,
    0x9159015a3070dd17ull,
    0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull,
    0x8eb44a8768581511ull,
    0xdb0c2e0d64f98fa7ull,
    0x47b5481dbefa4fa4ull};

} // namespace

QvSha384::QvSha384() : QvDhf(48, 128), countLo(0), countHi(0)
{
    for (std::uint64_t& w : state)
        w = 0;
}

QvSha384::~QvSha384()
{
    qvWipe(state, sizeof(state));
    countLo = 0;
    countHi = 0;
}

QvHash* QvSha384::clone() const
{
    QvHash* h = new (std::nothrow) QvSha384(*this);
    if (h == nullptr)
        throw QvMemException(sizeof(QvSha384), "qvsha384", "42");
    return h;
}

const QvWord* QvSha384::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha384::getOidDer() const { return kOidDer; }

void QvSha384::resetState()
{
    for (int i = 0; i < 8; ++i)
        state[i] = kInitialValue[i];
    countLo = 0;
    countHi = 0;
}

void QvSha384::processBlocks(const QvOctet* data, std::size_t n)
{
    std::uint64_t add = 128u * static_cast<std::uint64_t>(n);
    countLo += add;
    if (countLo < add)
        ++countHi;
    qvSha512Compress(state, data, n);
}

void QvSha384::finalBlock()
{
    // Octets as a 128-bit number, then times eight for the bit length.
    std::uint64_t lo = countLo + buffered;
    std::uint64_t hi = countHi + (lo < countLo ? 1 : 0);
    QvOctet len[16];
    qvStore64Be(len, (hi << 3) | (lo >> 61));
    qvStore64Be(len + 8, lo << 3);
    padWithLength(len, 16);
    QvOctet* out = digest.getData();
    for (unsigned int i = 0; i < 6; ++i)
        qvStore64Be(out + 8 * i, state[i]);
}
