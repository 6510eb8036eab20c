#include "libtorvapp/qvrbgdss.h"

#include <cstring>

#include "libtorvapp/qvsym.h"

namespace {
// t of Appendix 3.1 (the SHA-1 initial value) and of Appendix 3.2 (the same
// words rotated by one).
constexpr QvWord kT31[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr QvWord kT32[5] = {0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0, 0x67452301};

inline QvWord rotl(QvWord v, unsigned n) { return (v << n) | (v >> (32 - n)); }

// One SHA-1 compression (FIPS 180-4) of a 64-octet block from the chaining value h.
void sha1Compress(QvWord h[5], const QvOctet* block)
{
    QvWord w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (QvWord(block[4 * i]) << 24) | (QvWord(block[4 * i + 1]) << 16) | (QvWord(block[4 * i + 2]) << 8) |
               block[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    QvWord a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        QvWord f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const QvWord tmp = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = tmp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    qvWipe(w, sizeof w);
}
} // namespace

QvRbgDss::QvRbgDss(const QvWord* tv)
    : initialised(false), xkey(), xcheck(), b(20), x(), available(0), t(tv), maxSeedOctets(64), minSeedOctets(20)
{
}

QvRbgDss::~QvRbgDss()
{
    qvWipe(xkey, sizeof xkey);
    qvWipe(xcheck, sizeof xcheck);
    qvWipe(x, sizeof x);
}

unsigned int QvRbgDss::getMinSeedOctets() const { return minSeedOctets; }
unsigned int QvRbgDss::getMaxSeedOctets() const { return maxSeedOctets; }
unsigned int QvRbgDss::getSeedStepOctets() const { return 1; }
void QvRbgDss::uninit() { initialised = false; }

void QvRbgDss::g(const QvOctet* c, QvOctet* out20) const
{
    QvOctet block[64] = {};
    std::memcpy(block, c, b);
    QvWord h[5];
    std::memcpy(h, t, sizeof h);
    sha1Compress(h, block);
    for (int i = 0; i < 5; ++i) {
        out20[4 * i] = QvOctet(h[i] >> 24);
        out20[4 * i + 1] = QvOctet(h[i] >> 16);
        out20[4 * i + 2] = QvOctet(h[i] >> 8);
        out20[4 * i + 3] = QvOctet(h[i]);
    }
    qvWipe(block, sizeof block);
    qvWipe(h, sizeof h);
}

void QvRbgDss::advance(QvOctet* a, const QvOctet* x20) const
{
    unsigned int carry = 1;
    for (unsigned int i = 0; i < b; ++i) {
        const unsigned int s = a[i] + (i < 20 ? x20[i] : 0u) + carry;
        a[i] = QvOctet(s);
        carry = s >> 8;
    }
}

void QvRbgDss::init(const QvOctet* seed, unsigned int seedLen)
{
    initialised = false;
    if (seedLen < 20 || seed == nullptr) {
        QvBadKeyLengthException e(seedLen, 20, 64, 1);
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "Zbyt krótkie ziarno.", "QvRbgDss::init", "qvrbgdss",
                                 "178"));
        throw e;
    }
    b = seedLen < 64 ? seedLen : 64;
    std::memset(xkey, 0, sizeof xkey);
    std::memcpy(xkey, seed, b);
    std::memcpy(xcheck, xkey, sizeof xcheck);
    available = 0;
    initialised = true;
}

void QvRbgDss::reinit(const QvOctet* seed, unsigned int seedLen)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgDss::reinit", "qvrbgdss", "210"));
    if (seedLen == 0 || seed == nullptr)
        return;
    const unsigned int n = seedLen < b ? seedLen : b;
    bool zero = true;
    for (unsigned int i = 0; i < n; ++i)
        zero = zero && seed[i] == 0;
    if (zero)
        return;
    unsigned int carry = 0;
    for (unsigned int i = 0; i < b; ++i) {
        const unsigned int s = xkey[i] + (i < n ? seed[i] : 0u) + carry;
        xkey[i] = QvOctet(s);
        carry = s >> 8;
    }
    std::memcpy(xcheck, xkey, sizeof xcheck);
}

void QvRbgDss::step()
{
    g(xkey, x);
    advance(xkey, x);
    available = 20;
    // xcheck runs twice as fast as xkey: the two meet only inside a cycle.
    QvOctet tmp[20];
    for (int i = 0; i < 2; ++i) {
        g(xcheck, tmp);
        advance(xcheck, tmp);
    }
    qvWipe(tmp, sizeof tmp);
    if (std::memcmp(xkey, xcheck, b) == 0)
        qvThrow<QvRbgCycleException>(QV_EXC_TEXT("QvRbgCycleException", "Wykryto cykl RBG", "QvRbgDss::step",
                                                 "qvrbgdss", "139"));
}

void QvRbgDss::fillOctets(QvOctet* dst, unsigned int dstLen)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgDss::fillOctets", "qvrbgdss", "270"));
    if (dstLen > 0 && dst == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvRbgDss::fillOctets", "qvrbgdss", "274"));
    for (unsigned int i = 0; i < dstLen; ++i) {
        if (available == 0)
            step();
        dst[i] = x[20 - available];
        --available;
    }
}

QvRbgDss31::QvRbgDss31() : QvRbgDss(kT31) {}
QvRbgDss31::~QvRbgDss31() = default;
const char* QvRbgDss31::getName() const { return "DSS31"; }

QvRbgDss32::QvRbgDss32() : QvRbgDss(kT32) {}
QvRbgDss32::~QvRbgDss32() = default;
const char* QvRbgDss32::getName() const { return "DSS32"; }
