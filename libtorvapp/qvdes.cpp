#include "libtorvapp/qvdes.h"

#include <cstring>

#include "libtorvapp/qvcommon/qvendian.h"

namespace {

// The eight S-boxes of DES, row by row (row = outer bits, column = inner bits).
constexpr std::uint8_t kSbox[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
     0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
     15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
     3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
     13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
     13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
     1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
     13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
     3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
     14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
     11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
     10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
     4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
     13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
     6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
     1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
     2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}};

// Bit numbers count from 1 at the most significant end, as the standard does.
constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
                                 2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25};
constexpr std::uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18,
                                   10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
                                   63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22,
                                   14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4};
constexpr std::uint8_t kPc2[48] = {14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10,
                                   23, 19, 12, 4, 26, 8, 16, 7, 27, 20, 13, 2,
                                   41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                                   44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr std::uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Tables built at compile time: each S-box merged with the permutation P, and
// the key permutations split by input group so that a key costs a few lookups.
struct DesTables {
    std::uint32_t sp[8][64];
    std::uint64_t pc1[8][256];      // key octet i -> its bits of C||D (56 bits)
    std::uint32_t pc2c[4][128];     // 7-bit group of C -> first 24 round-key bits
    std::uint32_t pc2d[4][128];     // 7-bit group of D -> last 24 round-key bits

    constexpr DesTables() : sp(), pc1(), pc2c(), pc2d()
    {
        for (int s = 0; s < 8; ++s) {
            for (int c = 0; c < 64; ++c) {
                const int row = ((c >> 4) & 2) | (c & 1);
                const int col = (c >> 1) & 15;
                const std::uint32_t nib = kSbox[s][row * 16 + col];
                const std::uint32_t raw = nib << (28 - 4 * s);
                std::uint32_t out = 0;
                for (int j = 0; j < 32; ++j) {
                    if (raw & (0x80000000u >> (kP[j] - 1)))
                        out |= 0x80000000u >> j;
                }
                sp[s][c] = out;
            }
        }
        for (int i = 0; i < 8; ++i) {
            for (int v = 0; v < 256; ++v) {
                std::uint64_t out = 0;
                for (int j = 0; j < 56; ++j) {
                    const int bit = kPc1[j] - 1;      // 0..63 from the top
                    if (bit / 8 == i && (v & (0x80 >> (bit % 8))))
                        out |= std::uint64_t(1) << (55 - j);
                }
                pc1[i][v] = out;
            }
        }
        for (int g = 0; g < 4; ++g) {
            for (int v = 0; v < 128; ++v) {
                std::uint32_t oc = 0;
                std::uint32_t od = 0;
                for (int j = 0; j < 24; ++j) {
                    const int bc = kPc2[j] - 1;       // 0..27 within C
                    if (bc / 7 == g && (v & (0x40 >> (bc % 7))))
                        oc |= 1u << (23 - j);
                    const int bd = kPc2[24 + j] - 29; // 0..27 within D
                    if (bd / 7 == g && (v & (0x40 >> (bd % 7))))
                        od |= 1u << (23 - j);
                }
                pc2c[g][v] = oc;
                pc2d[g][v] = od;
            }
        }
    }
};

constexpr DesTables kT{};

// The 16 weak and semi-weak keys, with odd parity.
constexpr QvOctet kWeak[16][8] = {
    {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}, {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
    {0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x0E, 0x0E, 0x0E}, {0xE0, 0xE0, 0xE0, 0xE0, 0xF1, 0xF1, 0xF1, 0xF1},
    {0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE}, {0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01, 0xFE, 0x01},
    {0x1F, 0xE0, 0x1F, 0xE0, 0x0E, 0xF1, 0x0E, 0xF1}, {0xE0, 0x1F, 0xE0, 0x1F, 0xF1, 0x0E, 0xF1, 0x0E},
    {0x01, 0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1}, {0xE0, 0x01, 0xE0, 0x01, 0xF1, 0x01, 0xF1, 0x01},
    {0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E, 0xFE}, {0xFE, 0x1F, 0xFE, 0x1F, 0xFE, 0x0E, 0xFE, 0x0E},
    {0x01, 0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E}, {0x1F, 0x01, 0x1F, 0x01, 0x0E, 0x01, 0x0E, 0x01},
    {0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1, 0xFE}, {0xFE, 0xE0, 0xFE, 0xE0, 0xFE, 0xF1, 0xFE, 0xF1}};

constexpr std::uint32_t kOidArcs[] = {5, 1, 3, 14, 3, 2, 6};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x06};

inline void swapMove(std::uint32_t& a, std::uint32_t& b, unsigned n, std::uint32_t m)
{
    const std::uint32_t t = ((a >> n) ^ b) & m;
    b ^= t;
    a ^= t << n;
}

// The round function: E expansion by two rotations (groups 0,2,4,6 and 1,3,5,7
// each land in the low six bits of one octet), key mixing, S-boxes with P.
inline std::uint32_t feistel(std::uint32_t r, std::uint32_t ke, std::uint32_t ko)
{
    const std::uint32_t u = qvRotr32(r, 3) ^ ke;
    const std::uint32_t t = qvRotl32(r, 1) ^ ko;
    return kT.sp[0][(u >> 24) & 0x3f] ^ kT.sp[2][(u >> 16) & 0x3f] ^ kT.sp[4][(u >> 8) & 0x3f] ^
           kT.sp[6][u & 0x3f] ^ kT.sp[1][(t >> 24) & 0x3f] ^ kT.sp[3][(t >> 16) & 0x3f] ^
           kT.sp[5][(t >> 8) & 0x3f] ^ kT.sp[7][t & 0x3f];
}

// One block through the whole cipher, forwards or backwards.
void desBlock(const QvOctet* in, QvOctet* out, const QvDesSchedule& ks, bool forward)
{
    std::uint32_t l = qvLoad32Be(in), r = qvLoad32Be(in + 4);
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks, forward);
    qvDesFinalPermutation(l, r);
    qvStore32Be(out, l);
    qvStore32Be(out + 4, r);
}

} // namespace

bool qvDesIsWeakKey(const QvOctet* key, unsigned int blocks)
{
    if (key == nullptr)
        return false;
    for (unsigned int b = 0; b < blocks; ++b) {
        const QvOctet* k = key + 8 * b;
        for (const auto& w : kWeak) {
            bool same = true;
            for (int i = 0; i < 8 && same; ++i)
                same = ((k[i] ^ w[i]) & 0xFE) == 0;
            if (same)
                return true;
        }
    }
    return false;
}

bool qvDesCheckParity(const QvOctet* key, unsigned int blocks)
{
    for (unsigned int i = 0; i < 8 * blocks; ++i) {
        QvOctet v = key[i];
        v ^= v >> 4;
        v ^= v >> 2;
        v ^= v >> 1;
        if ((v & 1) == 0)
            return false;
    }
    return true;
}

void qvDesSetParity(QvOctet* key, unsigned int blocks)
{
    for (unsigned int i = 0; i < 8 * blocks; ++i) {
        QvOctet v = key[i] >> 1;
        v ^= v >> 4;
        v ^= v >> 2;
        v ^= v >> 1;
        // Bits 1 to 7 hold an even number of ones: bit 0 makes the count odd.
        key[i] = QvOctet((key[i] & 0xFE) | ((v & 1) ^ 1));
    }
}

void qvDesBuildSchedule(const QvOctet* key8, QvDesSchedule& ks)
{
    std::uint64_t cd = 0;
    for (int i = 0; i < 8; ++i)
        cd |= kT.pc1[i][key8[i]];
    std::uint32_t c = std::uint32_t(cd >> 28) & 0x0FFFFFFF;
    std::uint32_t d = std::uint32_t(cd) & 0x0FFFFFFF;
    for (int round = 0; round < 16; ++round) {
        const unsigned s = kShifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
        const std::uint32_t kc = kT.pc2c[0][(c >> 21) & 0x7f] | kT.pc2c[1][(c >> 14) & 0x7f] |
                                 kT.pc2c[2][(c >> 7) & 0x7f] | kT.pc2c[3][c & 0x7f];
        const std::uint32_t kd = kT.pc2d[0][(d >> 21) & 0x7f] | kT.pc2d[1][(d >> 14) & 0x7f] |
                                 kT.pc2d[2][(d >> 7) & 0x7f] | kT.pc2d[3][d & 0x7f];
        // Groups 0..3 come from C, 4..7 from D.
        const std::uint32_t g0 = (kc >> 18) & 0x3f, g1 = (kc >> 12) & 0x3f;
        const std::uint32_t g2 = (kc >> 6) & 0x3f, g3 = kc & 0x3f;
        const std::uint32_t g4 = (kd >> 18) & 0x3f, g5 = (kd >> 12) & 0x3f;
        const std::uint32_t g6 = (kd >> 6) & 0x3f, g7 = kd & 0x3f;
        ks.k[2 * round] = (g0 << 24) | (g2 << 16) | (g4 << 8) | g6;
        ks.k[2 * round + 1] = (g1 << 24) | (g3 << 16) | (g5 << 8) | g7;
    }
}

void qvDesInitialPermutation(std::uint32_t& l, std::uint32_t& r)
{
    swapMove(l, r, 4, 0x0f0f0f0fu);
    swapMove(l, r, 16, 0x0000ffffu);
    swapMove(r, l, 2, 0x33333333u);
    swapMove(r, l, 8, 0x00ff00ffu);
    swapMove(l, r, 1, 0x55555555u);
}

void qvDesFinalPermutation(std::uint32_t& l, std::uint32_t& r)
{
    swapMove(l, r, 1, 0x55555555u);
    swapMove(r, l, 8, 0x00ff00ffu);
    swapMove(r, l, 2, 0x33333333u);
    swapMove(l, r, 16, 0x0000ffffu);
    swapMove(l, r, 4, 0x0f0f0f0fu);
}

void qvDesRounds(std::uint32_t& l, std::uint32_t& r, const QvDesSchedule& ks, bool forward)
{
    const std::uint32_t* k = ks.k;
    if (forward) {
        for (int i = 0; i < 32; i += 4) {
            l ^= feistel(r, k[i], k[i + 1]);
            r ^= feistel(l, k[i + 2], k[i + 3]);
        }
    } else {
        for (int i = 30; i >= 0; i -= 4) {
            l ^= feistel(r, k[i], k[i + 1]);
            r ^= feistel(l, k[i - 2], k[i - 1]);
        }
    }
    // The last round does not swap the halves.
    const std::uint32_t t = l;
    l = r;
    r = t;
}

QvDes::QvDes() : QvDes(true, false) {}

QvDes::QvDes(bool weak, bool parity) : weakKeyCheck(weak), parityCheck(parity), ks() {}

QvDes::QvDes(const QvDes& other)
    : QvBc(other), weakKeyCheck(other.weakKeyCheck), parityCheck(other.parityCheck), ks(other.ks)
{
}

QvDes::~QvDes()
{
    qvWipe(&ks, sizeof ks);
}

QvBc* QvDes::clone() const { return new QvDes(*this); }
unsigned int QvDes::getAlgoId() const { return QV_BC_ALGO_DES; }
const char* QvDes::getName() const { return "DES"; }
unsigned int QvDes::getBlockOctets() const { return 8; }
unsigned int QvDes::getMinKeyOctets() const { return 8; }
unsigned int QvDes::getMaxKeyOctets() const { return 8; }
unsigned int QvDes::getKeyStepOctets() const { return 0; }
const std::uint32_t* QvDes::getOidArcs() const { return kOidArcs; }
const QvOctet* QvDes::getOidDer() const { return kOidDer; }

void QvDes::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey, 1))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvDes::_setKey", "qvdes", "250"));
    if (parityCheck && !qvDesCheckParity(externalKey, 1))
        qvThrow<QvInvalidKeyException>(QV_EXC_TEXT("QvInvalidKeyException",
                                                   "Wykryto klucz o niewłaściwej parzystości.",
                                                   "QvDes::_setKey", "qvdes", "255"));
    storeKey(externalKey, externalKeyOctets);
}

void QvDes::buildCommonSchedule()
{
    qvDesBuildSchedule(key.getConstData(), ks);
}

void QvDes::encryptCore(const QvOctet* in, QvOctet* out) const { desBlock(in, out, ks, true); }

void QvDes::decryptCore(const QvOctet* in, QvOctet* out) const { desBlock(in, out, ks, false); }
