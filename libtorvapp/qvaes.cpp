#include "libtorvapp/qvaes.h"

#include <cstring>

#include "libtorvapp/qvrijndaeltables.h"

// The core looks up four 1 KiB tables indexed by state octets, so its timing
// depends on the cache and thus on key and data: it is meant for the session
// keys of card messaging on the host, not for hiding keys from other code that
// shares the processor's caches.

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

QvAes::QvAes() : QvRijndael(4) {}
QvAes::QvAes(const QvAes& other) : QvRijndael(other) {}
QvAes::~QvAes() = default;

QvBc* QvAes::clone() const { return new QvAes(*this); }
unsigned int QvAes::getAlgoId() const { return QV_BC_ALGO_AES; }
const char* QvAes::getName() const { return "AES"; }
unsigned int QvAes::getKeyStepOctets() const { return 8; }
const std::uint32_t* QvAes::getOidArcs() const { return kOidArcs; }
const QvOctet* QvAes::getOidDer() const { return kOidDer; }

void QvAes::buildEncSchedule() { expandWords(encKs); }

// Equivalent inverse cipher: round keys in reverse order, the inner ones
// passed through InvMixColumns so that decryption uses the same round shape.
void QvAes::buildDecSchedule()
{
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

void QvAes::encryptCore(const QvOctet* in, QvOctet* out) const
{
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
