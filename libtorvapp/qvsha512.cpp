#include "libtorvapp/qvsha512.h"

#include <new>

#include "libtorvapp/qvcommon/qvendian.h"
#include "libtorvapp/qvsha512core.h"

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 3};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

const std::uint64_t kInitialValue[8] = {
    0x6a09e667f3bcc908ull,
    0xbb67ae8584caa73bull,
    0x3c6ef372fe94f82bull,
    0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull,
    0x9b05688c2b3e6c1full,
    0x1f83d9abfb41bd6bull,
    0x5be0cd19137e2179ull};

} // namespace

QvSha512::QvSha512() : QvDhf(64, 128), countLo(0), countHi(0)
{
    for (std::uint64_t& w : state)
        w = 0;
}

QvSha512::~QvSha512()
{
    qvWipe(state, sizeof(state));
    countLo = 0;
    countHi = 0;
}

QvHash* QvSha512::clone() const
{
    QvHash* h = new (std::nothrow) QvSha512(*this);
    if (h == nullptr)
        throw QvMemException(sizeof(QvSha512), "qvsha512", "42");
    return h;
}

const QvWord* QvSha512::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha512::getOidDer() const { return kOidDer; }

void QvSha512::resetState()
{
    for (int i = 0; i < 8; ++i)
        state[i] = kInitialValue[i];
    countLo = 0;
    countHi = 0;
}

void QvSha512::processBlocks(const QvOctet* data, std::size_t n)
{
    std::uint64_t add = 128u * static_cast<std::uint64_t>(n);
    countLo += add;
    if (countLo < add)
        ++countHi;
    qvSha512Compress(state, data, n);
}

void QvSha512::finalBlock()
{
    // Octets as a 128-bit number, then times eight for the bit length.
    std::uint64_t lo = countLo + buffered;
    std::uint64_t hi = countHi + (lo < countLo ? 1 : 0);
    QvOctet len[16];
    qvStore64Be(len, (hi << 3) | (lo >> 61));
    qvStore64Be(len + 8, lo << 3);
    padWithLength(len, 16);
    QvOctet* out = digest.getData();
    for (unsigned int i = 0; i < 8; ++i)
        qvStore64Be(out + 8 * i, state[i]);
}
