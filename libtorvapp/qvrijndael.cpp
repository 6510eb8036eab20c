#include "libtorvapp/qvrijndael.h"

#include <cstring>

#include "libtorvapp/qvrijndaeltables.h"

using qvrijndael::kTables;

namespace {
// Rijndael with other block lengths has no registered identifier.
constexpr std::uint32_t kOidArcs[] = {0};
constexpr QvOctet kOidDer[] = {0x06, 0x00};

inline std::uint8_t mul(std::uint8_t a, std::uint8_t b) { return qvrijndael::gmul(a, b); }
} // namespace

QvRijndael::QvRijndael(unsigned int nbWords) : nb(nbWords), nk(0), nr(0), shift(), invShift(), encKs(), decKs()
{
    if (nbWords < 4)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Za mała długość bloku.",
                                                      "QvRijndael::QvRijndael", "qvrijndael", "31"));
    if (nbWords > 8)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Za duża długość bloku.",
                                                      "QvRijndael::QvRijndael", "qvrijndael", "34"));
    shift[0] = 1;
    shift[1] = nb == 8 ? 3 : 2;
    shift[2] = nb >= 7 ? 4 : 3;
    for (int i = 0; i < 3; ++i)
        invShift[i] = nb - shift[i];
}

QvRijndael::QvRijndael(const QvRijndael& other)
    : QvBc(other), nb(other.nb), nk(other.nk), nr(other.nr)
{
    std::memcpy(shift, other.shift, sizeof shift);
    std::memcpy(invShift, other.invShift, sizeof invShift);
    std::memcpy(encKs, other.encKs, sizeof encKs);
    std::memcpy(decKs, other.decKs, sizeof decKs);
}

QvRijndael::~QvRijndael()
{
    qvWipe(encKs, sizeof encKs);
    qvWipe(decKs, sizeof decKs);
}

QvBc* QvRijndael::clone() const { return new QvRijndael(*this); }
unsigned int QvRijndael::getAlgoId() const { return QV_BC_ALGO_RIJNDAEL; }
const char* QvRijndael::getName() const { return "RIJNDAEL"; }
unsigned int QvRijndael::getBlockOctets() const { return 4 * nb; }
unsigned int QvRijndael::getMinKeyOctets() const { return 16; }
unsigned int QvRijndael::getMaxKeyOctets() const { return 32; }
unsigned int QvRijndael::getKeyStepOctets() const { return 4; }
const std::uint32_t* QvRijndael::getOidArcs() const { return kOidArcs; }
const QvOctet* QvRijndael::getOidDer() const { return kOidDer; }
bool QvRijndael::hasSeparateSchedules() const { return true; }

void QvRijndael::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    storeKey(externalKey, externalKeyOctets);
    nk = externalKeyOctets / 4;
    nr = (nk > nb ? nk : nb) + 6;
}

void QvRijndael::expandWords(std::uint32_t* w) const
{
    const QvOctet* k = key.getConstData();
    // Local copies: the stores into w could otherwise alias the members, and
    // the previous word stays in a register instead of coming back from memory.
    const unsigned int nkw = nk;
    const unsigned int total = nb * (nr + 1);
    for (unsigned int i = 0; i < nkw; ++i)
        w[i] = (std::uint32_t(k[4 * i]) << 24) | (std::uint32_t(k[4 * i + 1]) << 16) |
               (std::uint32_t(k[4 * i + 2]) << 8) | k[4 * i + 3];
    std::uint8_t rcon = 1;
    const auto subWord = [](std::uint32_t t) {
        return (std::uint32_t(kTables.sbox[t >> 24]) << 24) | (std::uint32_t(kTables.sbox[(t >> 16) & 0xff]) << 16) |
               (std::uint32_t(kTables.sbox[(t >> 8) & 0xff]) << 8) | kTables.sbox[t & 0xff];
    };
    std::uint32_t prev = w[nkw - 1];
    // j = i mod Nk, kept as a counter rather than divided out.
    for (unsigned int i = nkw, j = 0; i < total; ++i) {
        std::uint32_t t = prev;
        if (j == 0) {
            t = subWord((t << 8) | (t >> 24)) ^ (std::uint32_t(rcon) << 24);
            rcon = qvrijndael::xtime(rcon);
        } else if (nkw > 6 && j == 4) {
            t = subWord(t);
        }
        prev = w[i - nkw] ^ t;
        w[i] = prev;
        if (++j == nkw)
            j = 0;
    }
}

void QvRijndael::buildEncSchedule() { expandWords(encKs); }

// The straightforward inverse cipher runs the same round keys backwards.
void QvRijndael::buildDecSchedule() { expandWords(decKs); }

namespace {
inline void addRoundKey(std::uint8_t s[4][8], const std::uint32_t* rk, unsigned int nb)
{
    for (unsigned int c = 0; c < nb; ++c) {
        s[0][c] ^= std::uint8_t(rk[c] >> 24);
        s[1][c] ^= std::uint8_t(rk[c] >> 16);
        s[2][c] ^= std::uint8_t(rk[c] >> 8);
        s[3][c] ^= std::uint8_t(rk[c]);
    }
}

inline void shiftRow(std::uint8_t* row, unsigned int by, unsigned int nb)
{
    std::uint8_t t[8];
    for (unsigned int c = 0; c < nb; ++c)
        t[c] = row[(c + by) % nb];
    std::memcpy(row, t, nb);
}
} // namespace

void QvRijndael::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint8_t s[4][8];
    for (unsigned int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            s[r][c] = in[4 * c + r];
    addRoundKey(s, encKs, nb);
    for (unsigned int round = 1; round <= nr; ++round) {
        for (int r = 0; r < 4; ++r)
            for (unsigned int c = 0; c < nb; ++c)
                s[r][c] = kTables.sbox[s[r][c]];
        for (int r = 1; r < 4; ++r)
            shiftRow(s[r], shift[r - 1], nb);
        if (round != nr) {
            for (unsigned int c = 0; c < nb; ++c) {
                const std::uint8_t a0 = s[0][c], a1 = s[1][c], a2 = s[2][c], a3 = s[3][c];
                s[0][c] = std::uint8_t(mul(a0, 2) ^ mul(a1, 3) ^ a2 ^ a3);
                s[1][c] = std::uint8_t(a0 ^ mul(a1, 2) ^ mul(a2, 3) ^ a3);
                s[2][c] = std::uint8_t(a0 ^ a1 ^ mul(a2, 2) ^ mul(a3, 3));
                s[3][c] = std::uint8_t(mul(a0, 3) ^ a1 ^ a2 ^ mul(a3, 2));
            }
        }
        addRoundKey(s, encKs + round * nb, nb);
    }
    for (unsigned int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            out[4 * c + r] = s[r][c];
    qvWipe(s, sizeof s);
}

void QvRijndael::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint8_t s[4][8];
    for (unsigned int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            s[r][c] = in[4 * c + r];
    addRoundKey(s, decKs + nr * nb, nb);
    for (unsigned int round = nr; round >= 1; --round) {
        for (int r = 1; r < 4; ++r)
            shiftRow(s[r], invShift[r - 1], nb);
        for (int r = 0; r < 4; ++r)
            for (unsigned int c = 0; c < nb; ++c)
                s[r][c] = kTables.inv[s[r][c]];
        addRoundKey(s, decKs + (round - 1) * nb, nb);
        if (round != 1) {
            for (unsigned int c = 0; c < nb; ++c) {
                const std::uint8_t a0 = s[0][c], a1 = s[1][c], a2 = s[2][c], a3 = s[3][c];
                s[0][c] = std::uint8_t(mul(a0, 14) ^ mul(a1, 11) ^ mul(a2, 13) ^ mul(a3, 9));
                s[1][c] = std::uint8_t(mul(a0, 9) ^ mul(a1, 14) ^ mul(a2, 11) ^ mul(a3, 13));
                s[2][c] = std::uint8_t(mul(a0, 13) ^ mul(a1, 9) ^ mul(a2, 14) ^ mul(a3, 11));
                s[3][c] = std::uint8_t(mul(a0, 11) ^ mul(a1, 13) ^ mul(a2, 9) ^ mul(a3, 14));
            }
        }
    }
    for (unsigned int c = 0; c < nb; ++c)
        for (int r = 0; r < 4; ++r)
            out[4 * c + r] = s[r][c];
    qvWipe(s, sizeof s);
}
