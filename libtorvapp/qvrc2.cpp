#include "libtorvapp/qvrc2.h"

#include <cstring>

namespace {
// PITABLE of RFC 2268: a permutation of 0..255 taken from the digits of pi.
constexpr std::uint8_t kPi[256] = {
    0xd9, 0x78, 0xf9, 0xc4, 0x19, 0xdd, 0xb5, 0xed, 0x28, 0xe9, 0xfd, 0x79, 0x4a, 0xa0, 0xd8, 0x9d,
    0xc6, 0x7e, 0x37, 0x83, 0x2b, 0x76, 0x53, 0x8e, 0x62, 0x4c, 0x64, 0x88, 0x44, 0x8b, 0xfb, 0xa2,
    0x17, 0x9a, 0x59, 0xf5, 0x87, 0xb3, 0x4f, 0x13, 0x61, 0x45, 0x6d, 0x8d, 0x09, 0x81, 0x7d, 0x32,
    0xbd, 0x8f, 0x40, 0xeb, 0x86, 0xb7, 0x7b, 0x0b, 0xf0, 0x95, 0x21, 0x22, 0x5c, 0x6b, 0x4e, 0x82,
    0x54, 0xd6, 0x65, 0x93, 0xce, 0x60, 0xb2, 0x1c, 0x73, 0x56, 0xc0, 0x14, 0xa7, 0x8c, 0xf1, 0xdc,
    0x12, 0x75, 0xca, 0x1f, 0x3b, 0xbe, 0xe4, 0xd1, 0x42, 0x3d, 0xd4, 0x30, 0xa3, 0x3c, 0xb6, 0x26,
    0x6f, 0xbf, 0x0e, 0xda, 0x46, 0x69, 0x07, 0x57, 0x27, 0xf2, 0x1d, 0x9b, 0xbc, 0x94, 0x43, 0x03,
    0xf8, 0x11, 0xc7, 0xf6, 0x90, 0xef, 0x3e, 0xe7, 0x06, 0xc3, 0xd5, 0x2f, 0xc8, 0x66, 0x1e, 0xd7,
    0x08, 0xe8, 0xea, 0xde, 0x80, 0x52, 0xee, 0xf7, 0x84, 0xaa, 0x72, 0xac, 0x35, 0x4d, 0x6a, 0x2a,
    0x96, 0x1a, 0xd2, 0x71, 0x5a, 0x15, 0x49, 0x74, 0x4b, 0x9f, 0xd0, 0x5e, 0x04, 0x18, 0xa4, 0xec,
    0xc2, 0xe0, 0x41, 0x6e, 0x0f, 0x51, 0xcb, 0xcc, 0x24, 0x91, 0xaf, 0x50, 0xa1, 0xf4, 0x70, 0x39,
    0x99, 0x7c, 0x3a, 0x85, 0x23, 0xb8, 0xb4, 0x7a, 0xfc, 0x02, 0x36, 0x5b, 0x25, 0x55, 0x97, 0x31,
    0x2d, 0x5d, 0xfa, 0x98, 0xe3, 0x8a, 0x92, 0xae, 0x05, 0xdf, 0x29, 0x10, 0x67, 0x6c, 0xba, 0xc9,
    0xd3, 0x00, 0xe6, 0xcf, 0xe1, 0x9e, 0xa8, 0x2c, 0x63, 0x16, 0x01, 0x3f, 0x58, 0xe2, 0x89, 0xa9,
    0x0d, 0x38, 0x34, 0x1b, 0xab, 0x33, 0xff, 0xb0, 0xbb, 0x48, 0x0c, 0x5f, 0xb9, 0xb1, 0xcd, 0x2e,
    0xc5, 0xf3, 0xdb, 0x47, 0xe5, 0xa5, 0x9c, 0x77, 0x0a, 0xa6, 0x20, 0x68, 0xfe, 0x7f, 0xc1, 0xad};

constexpr std::uint32_t kOidArcs[] = {6, 1, 2, 840, 113549, 3, 3};
constexpr QvOctet kOidDer[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x03};

inline std::uint16_t rol16(std::uint16_t x, unsigned n) { return std::uint16_t((x << n) | (x >> (16 - n))); }
inline std::uint16_t ror16(std::uint16_t x, unsigned n) { return std::uint16_t((x >> n) | (x << (16 - n))); }
} // namespace

QvRc2::QvRc2() : effKeyBits(0), k() {}
QvRc2::QvRc2(const QvRc2& other) : QvBc(other), effKeyBits(other.effKeyBits)
{
    std::memcpy(k, other.k, sizeof k);
}
QvRc2::~QvRc2()
{
    qvWipe(k, sizeof k);
}

QvBc* QvRc2::clone() const { return new QvRc2(*this); }
unsigned int QvRc2::getAlgoId() const { return QV_BC_ALGO_RC2; }
const char* QvRc2::getName() const { return "RC2"; }
unsigned int QvRc2::getBlockOctets() const { return 8; }
unsigned int QvRc2::getMinKeyOctets() const { return 1; }
unsigned int QvRc2::getMaxKeyOctets() const { return 128; }
unsigned int QvRc2::getKeyStepOctets() const { return 0; }
const std::uint32_t* QvRc2::getOidArcs() const { return kOidArcs; }
const QvOctet* QvRc2::getOidDer() const { return kOidDer; }

void QvRc2::setKey(const QvOctet* externalKey, unsigned int externalKeyOctets, QvKeyExpansionOption expOption)
{
    setKey(externalKey, externalKeyOctets, 8 * externalKeyOctets, expOption);
}

void QvRc2::setKey(const QvOctet* externalKey, unsigned int externalKeyOctets, unsigned int externalEffKeyBits,
                   QvKeyExpansionOption expOption)
{
    if (externalKeyOctets == 0 || externalKeyOctets > 128) {
        QvBadKeyLengthException e(externalKeyOctets, 1, 128, 0);
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "",
                                 "void QvRc2::setKey(const QvOctet *externalKey, unsigned int externalKeyOctets, "
                                 "unsigned int externalEffKeyBits, QvKeyExpansionOption expOption)",
                                 "qvrc2", "85"));
        throw e;
    }
    // The expansion is defined for 1 to 1024 effective bits only.
    if (externalEffKeyBits == 0 || externalEffKeyBits > 1024)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException",
                                                      "Niewłaściwa efektywna długość klucza.",
                                                      "void QvRc2::setKey(const QvOctet *externalKey, unsigned "
                                                      "int externalKeyOctets, unsigned int externalEffKeyBits, "
                                                      "QvKeyExpansionOption expOption)",
                                                      "qvrc2", "96"));
    if (externalKey == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Brak klucza.",
                                                      "QvRc2::setKey", "qvrc2", "99"));
    storeKey(externalKey, externalKeyOctets);
    effKeyBits = externalEffKeyBits;
    keyStored(expOption);
}

void QvRc2::buildCommonSchedule()
{
    std::uint8_t l[128];
    const unsigned int t = key.getLength();
    std::memcpy(l, key.getConstData(), t);
    for (unsigned int i = t; i < 128; ++i)
        l[i] = kPi[std::uint8_t(l[i - 1] + l[i - t])];
    const unsigned int t8 = (effKeyBits + 7) / 8;
    const unsigned int tm = 0xFFu >> (8 * t8 - effKeyBits);
    l[128 - t8] = kPi[l[128 - t8] & tm];
    for (int i = 127 - int(t8); i >= 0; --i)
        l[i] = kPi[l[i + 1] ^ l[i + t8]];
    for (int i = 0; i < 64; ++i)
        k[i] = std::uint16_t(l[2 * i] | (l[2 * i + 1] << 8));
    qvWipe(l, sizeof l);
}

void QvRc2::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint16_t r[4];
    for (int i = 0; i < 4; ++i)
        r[i] = std::uint16_t(in[2 * i] | (in[2 * i + 1] << 8));
    int j = 0;
    const auto mix = [&]() {
        r[0] = rol16(std::uint16_t(r[0] + k[j++] + (r[3] & r[2]) + (~r[3] & r[1])), 1);
        r[1] = rol16(std::uint16_t(r[1] + k[j++] + (r[0] & r[3]) + (~r[0] & r[2])), 2);
        r[2] = rol16(std::uint16_t(r[2] + k[j++] + (r[1] & r[0]) + (~r[1] & r[3])), 3);
        r[3] = rol16(std::uint16_t(r[3] + k[j++] + (r[2] & r[1]) + (~r[2] & r[0])), 5);
    };
    const auto mash = [&]() {
        r[0] = std::uint16_t(r[0] + k[r[3] & 63]);
        r[1] = std::uint16_t(r[1] + k[r[0] & 63]);
        r[2] = std::uint16_t(r[2] + k[r[1] & 63]);
        r[3] = std::uint16_t(r[3] + k[r[2] & 63]);
    };
    for (int i = 0; i < 5; ++i)
        mix();
    mash();
    for (int i = 0; i < 6; ++i)
        mix();
    mash();
    for (int i = 0; i < 5; ++i)
        mix();
    for (int i = 0; i < 4; ++i) {
        out[2 * i] = QvOctet(r[i]);
        out[2 * i + 1] = QvOctet(r[i] >> 8);
    }
}

void QvRc2::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint16_t r[4];
    for (int i = 0; i < 4; ++i)
        r[i] = std::uint16_t(in[2 * i] | (in[2 * i + 1] << 8));
    int j = 63;
    const auto rmix = [&]() {
        r[3] = std::uint16_t(ror16(r[3], 5) - k[j--] - (r[2] & r[1]) - (~r[2] & r[0]));
        r[2] = std::uint16_t(ror16(r[2], 3) - k[j--] - (r[1] & r[0]) - (~r[1] & r[3]));
        r[1] = std::uint16_t(ror16(r[1], 2) - k[j--] - (r[0] & r[3]) - (~r[0] & r[2]));
        r[0] = std::uint16_t(ror16(r[0], 1) - k[j--] - (r[3] & r[2]) - (~r[3] & r[1]));
    };
    const auto rmash = [&]() {
        r[3] = std::uint16_t(r[3] - k[r[2] & 63]);
        r[2] = std::uint16_t(r[2] - k[r[1] & 63]);
        r[1] = std::uint16_t(r[1] - k[r[0] & 63]);
        r[0] = std::uint16_t(r[0] - k[r[3] & 63]);
    };
    for (int i = 0; i < 5; ++i)
        rmix();
    rmash();
    for (int i = 0; i < 6; ++i)
        rmix();
    rmash();
    for (int i = 0; i < 5; ++i)
        rmix();
    for (int i = 0; i < 4; ++i) {
        out[2 * i] = QvOctet(r[i]);
        out[2 * i + 1] = QvOctet(r[i] >> 8);
    }
}
