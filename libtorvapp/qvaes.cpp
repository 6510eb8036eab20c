#include "libtorvapp/qvaes.h"

#include <cstring>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvendian.h"
#include "libtorvapp/qvrijndaeltables.h"

#if QV_HAVE_X86_PATHS
#include <immintrin.h>
#endif

// The portable core looks up four 1 KiB tables indexed by state octets, so its
// timing depends on the cache and thus on key and data: it is meant for the
// session keys of card messaging on the host, not for hiding keys from other
// code that shares the processor's caches. The AES instructions, where the
// processor has them, take no such lookups.

using qvrijndael::kTables;

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 18033, 3, 2, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x07, 0x28, 0x81, 0x8C, 0x71, 0x03, 0x02, 0x01};

inline std::uint32_t load32(const QvOctet* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
inline void store32(QvOctet* p, std::uint32_t v)
{
    p[0] = QvOctet(v >> 24);
    p[1] = QvOctet(v >> 16);
    p[2] = QvOctet(v >> 8);
    p[3] = QvOctet(v);
}

#define TE(n, x) kTables.te[n][(x)]
#define TD(n, x) kTables.td[n][(x)]
#define B0(x) ((x) >> 24)
#define B1(x) (((x) >> 16) & 0xff)
#define B2(x) (((x) >> 8) & 0xff)
#define B3(x) ((x) & 0xff)
} // namespace

#if QV_HAVE_X86_PATHS
// The cipher with the processor's AES instructions. The round keys are the
// FIPS 197 schedule with each word's octets in memory order, one register per
// round; decryption runs the equivalent inverse cipher, whose inner round keys
// have passed through InvMixColumns (AESIMC). Runs of independent blocks go
// through the rounds eight at a time, so that the round instructions overlap.
namespace {

#define QV_AES_TARGET __attribute__((target("aes,sse4.1,ssse3")))

inline const __m128i* roundKeys(const std::uint32_t* ks) { return reinterpret_cast<const __m128i*>(ks); }
inline __m128i load(const QvOctet* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(QvOctet* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// W blocks through all rounds side by side: AESENC/AESENCLAST with the
// encryption keys, or AESDEC/AESDECLAST with the decryption keys.
template <bool Enc, int W>
QV_AES_TARGET QV_ALWAYS_INLINE void cipherMany(const __m128i* rk, unsigned int nr, __m128i* b)
{
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j)
        b[j] = _mm_xor_si128(b[j], rk[0]);
    for (unsigned int r = 1; r < nr; ++r) {
        const __m128i k = _mm_load_si128(rk + r);
#pragma GCC unroll 8
        for (int j = 0; j < W; ++j)
            b[j] = Enc ? _mm_aesenc_si128(b[j], k) : _mm_aesdec_si128(b[j], k);
    }
#pragma GCC unroll 8
    for (int j = 0; j < W; ++j)
        b[j] = Enc ? _mm_aesenclast_si128(b[j], rk[nr]) : _mm_aesdeclast_si128(b[j], rk[nr]);
}

template <int W>
QV_AES_TARGET QV_ALWAYS_INLINE void encryptMany(const __m128i* rk, unsigned int nr, __m128i* b)
{
    cipherMany<true, W>(rk, nr, b);
}

template <int W>
QV_AES_TARGET QV_ALWAYS_INLINE void decryptMany(const __m128i* rk, unsigned int nr, __m128i* b)
{
    cipherMany<false, W>(rk, nr, b);
}

template <bool Enc>
QV_AES_TARGET void niBlocks(const std::uint32_t* ks, unsigned int nr, const QvOctet* in, QvOctet* out,
                            std::size_t count)
{
    const __m128i* rk = roundKeys(ks);
    for (; count >= 8; count -= 8, in += 128, out += 128) {
        __m128i b[8];
        #pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            b[j] = load(in + 16 * j);
        if (Enc)
            encryptMany<8>(rk, nr, b);
        else
            decryptMany<8>(rk, nr, b);
        #pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            store(out + 16 * j, b[j]);
    }
    for (; count > 0; --count, in += 16, out += 16) {
        __m128i b = load(in);
        if (Enc)
            encryptMany<1>(rk, nr, &b);
        else
            decryptMany<1>(rk, nr, &b);
        store(out, b);
    }
}

QV_AES_TARGET void niCbcEncrypt(const std::uint32_t* ks, unsigned int nr, const QvOctet* in, QvOctet* out,
                                std::size_t count, QvOctet* chain)
{
    const __m128i* rk = roundKeys(ks);
    __m128i c = load(chain);
    for (; count > 0; --count, in += 16, out += 16) {
        c = _mm_xor_si128(c, load(in));
        encryptMany<1>(rk, nr, &c);
        store(out, c);
    }
    store(chain, c);
}

QV_AES_TARGET void niCbcDecrypt(const std::uint32_t* ks, unsigned int nr, const QvOctet* in, QvOctet* out,
                                std::size_t count, QvOctet* chain)
{
    const __m128i* rk = roundKeys(ks);
    __m128i prev = load(chain);
    for (; count >= 8; count -= 8, in += 128, out += 128) {
        // Every ciphertext block is read before out (maybe the same area) is written.
        __m128i c[8], b[8];
        #pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            b[j] = c[j] = load(in + 16 * j);
        decryptMany<8>(rk, nr, b);
        b[0] = _mm_xor_si128(b[0], prev);
        #pragma GCC unroll 8
        for (int j = 1; j < 8; ++j)
            b[j] = _mm_xor_si128(b[j], c[j - 1]);
        prev = c[7];
        #pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            store(out + 16 * j, b[j]);
    }
    for (; count > 0; --count, in += 16, out += 16) {
        const __m128i c = load(in);
        __m128i b = c;
        decryptMany<1>(rk, nr, &b);
        store(out, _mm_xor_si128(b, prev));
        prev = c;
    }
    store(chain, prev);
}

// CTR: the counter block is held as two 64-bit halves, incremented as one
// 128-bit big-endian number and turned into blocks with byte swaps.
QV_AES_TARGET void niCtr(const std::uint32_t* ks, unsigned int nr, const QvOctet* in, QvOctet* out,
                         std::size_t count, QvOctet* counter)
{
    const __m128i* rk = roundKeys(ks);
    std::uint64_t hi = qvLoad64Be(counter), lo = qvLoad64Be(counter + 8);
    const auto block = [&]() {
        const __m128i b = _mm_set_epi64x(static_cast<long long>(__builtin_bswap64(lo)),
                                         static_cast<long long>(__builtin_bswap64(hi)));
        if (++lo == 0)
            ++hi;
        return b;
    };
    // The counter as a little-endian number in one register; while its low
    // half does not wrap within eight blocks, block j is the reversed octets
    // of counter + j.
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (; count >= 8; count -= 8, in += 128, out += 128) {
        __m128i b[8];
        if (lo <= ~std::uint64_t(0) - 8) {
            const __m128i c = _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j)
                b[j] = _mm_shuffle_epi8(_mm_add_epi64(c, _mm_set_epi64x(0, j)), reverse);
            lo += 8;
        } else {
#pragma GCC unroll 8
            for (int j = 0; j < 8; ++j)
                b[j] = block();
        }
        encryptMany<8>(rk, nr, b);
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j)
            store(out + 16 * j, _mm_xor_si128(b[j], load(in + 16 * j)));
    }
    for (; count > 0; --count, in += 16, out += 16) {
        __m128i b = block();
        encryptMany<1>(rk, nr, &b);
        store(out, _mm_xor_si128(b, load(in)));
    }
    qvStore64Be(counter, hi);
    qvStore64Be(counter + 8, lo);
}

// Key expansion with AESKEYGENASSIST, which gives SubWord and RotWord of a
// register's words: each new round key is the previous one with every word
// XORed into the ones after it, plus that transformed word.
QV_AES_TARGET QV_ALWAYS_INLINE __m128i spreadXor(__m128i k, __m128i t)
{
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    return _mm_xor_si128(k, t);
}

template <int Rcon>
QV_AES_TARGET QV_ALWAYS_INLINE __m128i next128(__m128i k)
{
    return spreadXor(k, _mm_shuffle_epi32(_mm_aeskeygenassist_si128(k, Rcon), 0xFF));
}

QV_AES_TARGET void niExpand128(const QvOctet* key, std::uint32_t* ks)
{
    __m128i* rk = reinterpret_cast<__m128i*>(ks);
    rk[0] = load(key);
    rk[1] = next128<0x01>(rk[0]);
    rk[2] = next128<0x02>(rk[1]);
    rk[3] = next128<0x04>(rk[2]);
    rk[4] = next128<0x08>(rk[3]);
    rk[5] = next128<0x10>(rk[4]);
    rk[6] = next128<0x20>(rk[5]);
    rk[7] = next128<0x40>(rk[6]);
    rk[8] = next128<0x80>(rk[7]);
    rk[9] = next128<0x1B>(rk[8]);
    rk[10] = next128<0x36>(rk[9]);
}

// 256-bit keys: round keys alternate between RotWord+SubWord+Rcon of the
// last word of the key before (as for 128 bits) and SubWord alone.
template <int Rcon>
QV_AES_TARGET QV_ALWAYS_INLINE void next256(__m128i* rk, int i)
{
    rk[i] = spreadXor(rk[i - 2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[i - 1], Rcon), 0xFF));
    if (i + 1 <= 14)
        rk[i + 1] = spreadXor(rk[i - 1], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[i], 0), 0xAA));
}

QV_AES_TARGET void niExpand256(const QvOctet* key, std::uint32_t* ks)
{
    __m128i* rk = reinterpret_cast<__m128i*>(ks);
    rk[0] = load(key);
    rk[1] = load(key + 16);
    next256<0x01>(rk, 2);
    next256<0x02>(rk, 4);
    next256<0x04>(rk, 6);
    next256<0x08>(rk, 8);
    next256<0x10>(rk, 10);
    next256<0x20>(rk, 12);
    next256<0x40>(rk, 14);
}

// The schedule words (numbers whose top octet comes first) in memory order.
void toOctetOrder(std::uint32_t* w, unsigned int words)
{
    for (unsigned int i = 0; i < words; ++i)
        w[i] = __builtin_bswap32(w[i]);
}

QV_AES_TARGET void niDecryptionKeys(const std::uint32_t* ek, unsigned int nr, std::uint32_t* dk)
{
    const __m128i* e = roundKeys(ek);
    __m128i* d = reinterpret_cast<__m128i*>(dk);
    d[0] = e[nr];
    for (unsigned int r = 1; r < nr; ++r)
        d[r] = _mm_aesimc_si128(e[nr - r]);
    d[nr] = e[0];
}

} // namespace
#endif

QvAes::QvAes() : QvRijndael(4), ni(false)
{
#if QV_HAVE_X86_PATHS
    ni = qvCpuHas(QV_CPU_AES);
#endif
}
QvAes::QvAes(const QvAes& other) : QvRijndael(other), ni(other.ni) {}
QvAes::~QvAes() = default;

QvBc* QvAes::clone() const { return new QvAes(*this); }
unsigned int QvAes::getAlgoId() const { return QV_BC_ALGO_AES; }
const char* QvAes::getName() const { return "AES"; }
unsigned int QvAes::getKeyStepOctets() const { return 8; }
const std::uint32_t* QvAes::getOidArcs() const { return kOidArcs; }
const QvOctet* QvAes::getOidDer() const { return kOidDer; }

#if QV_HAVE_X86_PATHS
// The round keys in octet order for the AES instructions.
void QvAes::niSchedule(std::uint32_t* w) const
{
    if (nk == 4) {
        niExpand128(key.getConstData(), w);
    } else if (nk == 8) {
        niExpand256(key.getConstData(), w);
    } else {
        expandWords(w);
        toOctetOrder(w, 4 * (nr + 1));
    }
}
#endif

void QvAes::buildEncSchedule()
{
#if QV_HAVE_X86_PATHS
    if (ni) {
        niSchedule(encKs);
        return;
    }
#endif
    expandWords(encKs);
}

// Equivalent inverse cipher: round keys in reverse order, the inner ones
// passed through InvMixColumns so that decryption uses the same round shape.
void QvAes::buildDecSchedule()
{
#if QV_HAVE_X86_PATHS
    if (ni) {
        alignas(16) std::uint32_t ek[60];
        if (encBuilt)
            std::memcpy(ek, encKs, sizeof(std::uint32_t) * 4 * (nr + 1));
        else
            niSchedule(ek);
        niDecryptionKeys(ek, nr, decKs);
        qvWipe(ek, sizeof ek);
        return;
    }
#endif
    std::uint32_t ek[60];
    if (encBuilt)
        std::memcpy(ek, encKs, sizeof(std::uint32_t) * 4 * (nr + 1));
    else
        expandWords(ek);
    for (unsigned int round = 0; round <= nr; ++round) {
        for (unsigned int c = 0; c < 4; ++c) {
            const std::uint32_t w = ek[4 * (nr - round) + c];
            if (round == 0 || round == nr) {
                decKs[4 * round + c] = w;
            } else {
                decKs[4 * round + c] = TD(0, kTables.sbox[B0(w)]) ^ TD(1, kTables.sbox[B1(w)]) ^
                                       TD(2, kTables.sbox[B2(w)]) ^ TD(3, kTables.sbox[B3(w)]);
            }
        }
    }
    qvWipe(ek, sizeof ek);
}

void QvAes::runBlocksCore(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count, QvOctet* chain) const
{
#if QV_HAVE_X86_PATHS
    if (ni) {
        switch (how) {
        case QvBcRun::Encrypt:
            niBlocks<true>(encKs, nr, in, out, count);
            return;
        case QvBcRun::Decrypt:
            niBlocks<false>(decKs, nr, in, out, count);
            return;
        case QvBcRun::CbcEncrypt:
            niCbcEncrypt(encKs, nr, in, out, count, chain);
            return;
        case QvBcRun::CbcDecrypt:
            niCbcDecrypt(decKs, nr, in, out, count, chain);
            return;
        case QvBcRun::Ctr:
            niCtr(encKs, nr, in, out, count, chain);
            return;
        }
    }
#endif
    QvRijndael::runBlocksCore(how, in, out, count, chain);
}

void QvAes::encryptCore(const QvOctet* in, QvOctet* out) const
{
#if QV_HAVE_X86_PATHS
    if (ni) {
        niBlocks<true>(encKs, nr, in, out, 1);
        return;
    }
#endif
    const std::uint32_t* rk = encKs;
    std::uint32_t s0 = load32(in) ^ rk[0];
    std::uint32_t s1 = load32(in + 4) ^ rk[1];
    std::uint32_t s2 = load32(in + 8) ^ rk[2];
    std::uint32_t s3 = load32(in + 12) ^ rk[3];
    for (unsigned int round = 1; round < nr; ++round) {
        rk += 4;
        const std::uint32_t t0 = TE(0, B0(s0)) ^ TE(1, B1(s1)) ^ TE(2, B2(s2)) ^ TE(3, B3(s3)) ^ rk[0];
        const std::uint32_t t1 = TE(0, B0(s1)) ^ TE(1, B1(s2)) ^ TE(2, B2(s3)) ^ TE(3, B3(s0)) ^ rk[1];
        const std::uint32_t t2 = TE(0, B0(s2)) ^ TE(1, B1(s3)) ^ TE(2, B2(s0)) ^ TE(3, B3(s1)) ^ rk[2];
        const std::uint32_t t3 = TE(0, B0(s3)) ^ TE(1, B1(s0)) ^ TE(2, B2(s1)) ^ TE(3, B3(s2)) ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const std::uint8_t* S = kTables.sbox;
    store32(out, ((std::uint32_t(S[B0(s0)]) << 24) | (std::uint32_t(S[B1(s1)]) << 16) |
                  (std::uint32_t(S[B2(s2)]) << 8) | S[B3(s3)]) ^ rk[0]);
    store32(out + 4, ((std::uint32_t(S[B0(s1)]) << 24) | (std::uint32_t(S[B1(s2)]) << 16) |
                      (std::uint32_t(S[B2(s3)]) << 8) | S[B3(s0)]) ^ rk[1]);
    store32(out + 8, ((std::uint32_t(S[B0(s2)]) << 24) | (std::uint32_t(S[B1(s3)]) << 16) |
                      (std::uint32_t(S[B2(s0)]) << 8) | S[B3(s1)]) ^ rk[2]);
    store32(out + 12, ((std::uint32_t(S[B0(s3)]) << 24) | (std::uint32_t(S[B1(s0)]) << 16) |
                       (std::uint32_t(S[B2(s1)]) << 8) | S[B3(s2)]) ^ rk[3]);
}

void QvAes::decryptCore(const QvOctet* in, QvOctet* out) const
{
#if QV_HAVE_X86_PATHS
    if (ni) {
        niBlocks<false>(decKs, nr, in, out, 1);
        return;
    }
#endif
    const std::uint32_t* rk = decKs;
    std::uint32_t s0 = load32(in) ^ rk[0];
    std::uint32_t s1 = load32(in + 4) ^ rk[1];
    std::uint32_t s2 = load32(in + 8) ^ rk[2];
    std::uint32_t s3 = load32(in + 12) ^ rk[3];
    for (unsigned int round = 1; round < nr; ++round) {
        rk += 4;
        const std::uint32_t t0 = TD(0, B0(s0)) ^ TD(1, B1(s3)) ^ TD(2, B2(s2)) ^ TD(3, B3(s1)) ^ rk[0];
        const std::uint32_t t1 = TD(0, B0(s1)) ^ TD(1, B1(s0)) ^ TD(2, B2(s3)) ^ TD(3, B3(s2)) ^ rk[1];
        const std::uint32_t t2 = TD(0, B0(s2)) ^ TD(1, B1(s1)) ^ TD(2, B2(s0)) ^ TD(3, B3(s3)) ^ rk[2];
        const std::uint32_t t3 = TD(0, B0(s3)) ^ TD(1, B1(s2)) ^ TD(2, B2(s1)) ^ TD(3, B3(s0)) ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    const std::uint8_t* I = kTables.inv;
    store32(out, ((std::uint32_t(I[B0(s0)]) << 24) | (std::uint32_t(I[B1(s3)]) << 16) |
                  (std::uint32_t(I[B2(s2)]) << 8) | I[B3(s1)]) ^ rk[0]);
    store32(out + 4, ((std::uint32_t(I[B0(s1)]) << 24) | (std::uint32_t(I[B1(s0)]) << 16) |
                      (std::uint32_t(I[B2(s3)]) << 8) | I[B3(s2)]) ^ rk[1]);
    store32(out + 8, ((std::uint32_t(I[B0(s2)]) << 24) | (std::uint32_t(I[B1(s1)]) << 16) |
                      (std::uint32_t(I[B2(s0)]) << 8) | I[B3(s3)]) ^ rk[2]);
    store32(out + 12, ((std::uint32_t(I[B0(s3)]) << 24) | (std::uint32_t(I[B1(s2)]) << 16) |
                       (std::uint32_t(I[B2(s1)]) << 8) | I[B3(s0)]) ^ rk[3]);
}
