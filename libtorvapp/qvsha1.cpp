#include "libtorvapp/qvsha1.h"

#include <new>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvendian.h"

namespace {

const QvWord kOidArcs[] = {6, 1, 3, 14, 3, 2, 26};
const QvOctet kOidDer[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};


QV_ALWAYS_INLINE void compressBody(QvWord* state, const QvOctet* data, std::size_t n)
{
    QvWord s0 = state[0], s1 = state[1], s2 = state[2], s3 = state[3], s4 = state[4];
    for (std::size_t blk = 0; blk < n; ++blk, data += 64) {
        QvWord a = s0, b = s1, c = s2, d = s3, e = s4;
        QvWord w0, w1, w2, w3, w4, w5, w6, w7, w8, w9, w10, w11, w12, w13, w14, w15;
        w0 = qvLoad32Be(data + 0);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w0 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w1 = qvLoad32Be(data + 4);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w1 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w2 = qvLoad32Be(data + 8);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w2 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w3 = qvLoad32Be(data + 12);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w3 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w4 = qvLoad32Be(data + 16);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w4 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w5 = qvLoad32Be(data + 20);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w5 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w6 = qvLoad32Be(data + 24);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w6 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w7 = qvLoad32Be(data + 28);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w7 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w8 = qvLoad32Be(data + 32);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w8 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w9 = qvLoad32Be(data + 36);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w9 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w10 = qvLoad32Be(data + 40);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w10 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w11 = qvLoad32Be(data + 44);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w11 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w12 = qvLoad32Be(data + 48);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w12 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w13 = qvLoad32Be(data + 52);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w13 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w14 = qvLoad32Be(data + 56);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w14 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w15 = qvLoad32Be(data + 60);
        e += qvRotl32(a, 5) + (d ^ (b & (c ^ d))) + w15 + 0x5a827999u;
        b = qvRotl32(b, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        d += qvRotl32(e, 5) + (c ^ (a & (b ^ c))) + w0 + 0x5a827999u;
        a = qvRotl32(a, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        c += qvRotl32(d, 5) + (b ^ (e & (a ^ b))) + w1 + 0x5a827999u;
        e = qvRotl32(e, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        b += qvRotl32(c, 5) + (a ^ (d & (e ^ a))) + w2 + 0x5a827999u;
        d = qvRotl32(d, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        a += qvRotl32(b, 5) + (e ^ (c & (d ^ e))) + w3 + 0x5a827999u;
        c = qvRotl32(c, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w4 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w5 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w6 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w7 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w8 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w9 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w10 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w11 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w12 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w13 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w14 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w15 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w0 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w1 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w2 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w3 + 0x6ed9eba1u;
        b = qvRotl32(b, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w4 + 0x6ed9eba1u;
        a = qvRotl32(a, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w5 + 0x6ed9eba1u;
        e = qvRotl32(e, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w6 + 0x6ed9eba1u;
        d = qvRotl32(d, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w7 + 0x6ed9eba1u;
        c = qvRotl32(c, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w8 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w9 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w10 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w11 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w12 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w13 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w14 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w15 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w0 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w1 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w2 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w3 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w4 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w5 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w6 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        e += qvRotl32(a, 5) + ((b & c) | (d & (b | c))) + w7 + 0x8f1bbcdcu;
        b = qvRotl32(b, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        d += qvRotl32(e, 5) + ((a & b) | (c & (a | b))) + w8 + 0x8f1bbcdcu;
        a = qvRotl32(a, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        c += qvRotl32(d, 5) + ((e & a) | (b & (e | a))) + w9 + 0x8f1bbcdcu;
        e = qvRotl32(e, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        b += qvRotl32(c, 5) + ((d & e) | (a & (d | e))) + w10 + 0x8f1bbcdcu;
        d = qvRotl32(d, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        a += qvRotl32(b, 5) + ((c & d) | (e & (c | d))) + w11 + 0x8f1bbcdcu;
        c = qvRotl32(c, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w12 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w13 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w14 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w15 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w0 = qvRotl32(w13 ^ w8 ^ w2 ^ w0, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w0 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w1 = qvRotl32(w14 ^ w9 ^ w3 ^ w1, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w1 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w2 = qvRotl32(w15 ^ w10 ^ w4 ^ w2, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w2 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w3 = qvRotl32(w0 ^ w11 ^ w5 ^ w3, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w3 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w4 = qvRotl32(w1 ^ w12 ^ w6 ^ w4, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w4 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w5 = qvRotl32(w2 ^ w13 ^ w7 ^ w5, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w5 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w6 = qvRotl32(w3 ^ w14 ^ w8 ^ w6, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w6 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w7 = qvRotl32(w4 ^ w15 ^ w9 ^ w7, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w7 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w8 = qvRotl32(w5 ^ w0 ^ w10 ^ w8, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w8 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w9 = qvRotl32(w6 ^ w1 ^ w11 ^ w9, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w9 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w10 = qvRotl32(w7 ^ w2 ^ w12 ^ w10, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w10 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        w11 = qvRotl32(w8 ^ w3 ^ w13 ^ w11, 1);
        e += qvRotl32(a, 5) + (b ^ c ^ d) + w11 + 0xca62c1d6u;
        b = qvRotl32(b, 30);
        w12 = qvRotl32(w9 ^ w4 ^ w14 ^ w12, 1);
        d += qvRotl32(e, 5) + (a ^ b ^ c) + w12 + 0xca62c1d6u;
        a = qvRotl32(a, 30);
        w13 = qvRotl32(w10 ^ w5 ^ w15 ^ w13, 1);
        c += qvRotl32(d, 5) + (e ^ a ^ b) + w13 + 0xca62c1d6u;
        e = qvRotl32(e, 30);
        w14 = qvRotl32(w11 ^ w6 ^ w0 ^ w14, 1);
        b += qvRotl32(c, 5) + (d ^ e ^ a) + w14 + 0xca62c1d6u;
        d = qvRotl32(d, 30);
        w15 = qvRotl32(w12 ^ w7 ^ w1 ^ w15, 1);
        a += qvRotl32(b, 5) + (c ^ d ^ e) + w15 + 0xca62c1d6u;
        c = qvRotl32(c, 30);
        s0 += a; s1 += b; s2 += c; s3 += d; s4 += e;
    }
    state[0] = s0; state[1] = s1; state[2] = s2; state[3] = s3; state[4] = s4;
}

void compressPlain(QvWord* state, const QvOctet* data, std::size_t n)
{
    compressBody(state, data, n);
}

#if QV_HAVE_BMI2_PATH
QV_TARGET_BMI2 void compressBmi2(QvWord* state, const QvOctet* data, std::size_t n)
{
    compressBody(state, data, n);
}
#endif

typedef void (*CompressFn)(QvWord*, const QvOctet*, std::size_t);

CompressFn pickCompress()
{
#if QV_HAVE_BMI2_PATH
    if (qvCpuHasBmi2())
        return compressBmi2;
#endif
    return compressPlain;
}

} // namespace

QvSha1::QvSha1() : QvDhf(20, 64), countLo(0), countHi(0)
{
    for (QvWord& w : state)
        w = 0;
}

QvSha1::~QvSha1()
{
    qvWipe(state, sizeof(state));
    countLo = 0;
    countHi = 0;
}

QvHash* QvSha1::clone() const
{
    QvHash* h = new (std::nothrow) QvSha1(*this);
    if (h == nullptr)
        throw QvMemException(sizeof(QvSha1), "qvsha1", "307");
    return h;
}

const QvWord* QvSha1::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha1::getOidDer() const { return kOidDer; }

void QvSha1::resetState()
{
    state[0] = 0x67452301u;
    state[1] = 0xefcdab89u;
    state[2] = 0x98badcfeu;
    state[3] = 0x10325476u;
    state[4] = 0xc3d2e1f0u;
    countLo = 0;
    countHi = 0;
}

void QvSha1::finalBlock()
{
    std::uint64_t octets = ((static_cast<std::uint64_t>(countHi) << 32) | countLo) + buffered;
    std::uint64_t bits = octets << 3;
    QvOctet len[8];
    qvStore32Be(len, static_cast<QvWord>(bits >> 32));
    qvStore32Be(len + 4, static_cast<QvWord>(bits));
    padWithLength(len, 8);
    QvOctet* out = digest.getData();
    for (unsigned int i = 0; i < getHashOctets() / 4; ++i)
        qvStore32Be(out + 4 * i, state[i]);
}

void QvSha1::processBlocks(const QvOctet* data, std::size_t n)
{
    std::uint64_t c = ((static_cast<std::uint64_t>(countHi) << 32) | countLo) + 64u * n;
    countLo = static_cast<QvWord>(c);
    countHi = static_cast<QvWord>(c >> 32);
    static const CompressFn compress = pickCompress();
    compress(state, data, n);
}
