#include "libtorvapp/qvdeseee.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {9, 1, 3, 6, 1, 4, 1, 32473, 4, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x04, 0x01};

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
} // namespace

QvDesEee::QvDesEee() : QvDes(true, false), ks3() {}
QvDesEee::QvDesEee(bool weak, bool parity) : QvDes(weak, parity), ks3() {}
QvDesEee::QvDesEee(const QvDesEee& other) : QvDes(other)
{
    for (int i = 0; i < 3; ++i)
        ks3[i] = other.ks3[i];
}
QvDesEee::~QvDesEee()
{
    qvWipe(ks3, sizeof ks3);
}

QvBc* QvDesEee::clone() const { return new QvDesEee(*this); }
unsigned int QvDesEee::getAlgoId() const { return QV_BC_ALGO_DES_EEE; }
const char* QvDesEee::getName() const { return "DES-EEE"; }
unsigned int QvDesEee::getMinKeyOctets() const { return 24; }
unsigned int QvDesEee::getMaxKeyOctets() const { return 24; }
const std::uint32_t* QvDesEee::getOidArcs() const { return kOidArcs; }
const QvOctet* QvDesEee::getOidDer() const { return kOidDer; }

void QvDesEee::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey, 3))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvDesEee::_setKey", "qvdeseee", "47"));
    storeKey(externalKey, externalKeyOctets);
}

void QvDesEee::buildEeeSchedules(unsigned int offset)
{
    for (unsigned int i = 0; i < 3; ++i)
        qvDesBuildSchedule(key.getConstData() + offset + 8 * i, ks3[i]);
}

void QvDesEee::buildCommonSchedule() { buildEeeSchedules(0); }

void QvDesEee::eeeEncrypt(std::uint32_t& l, std::uint32_t& r) const
{
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks3[0], true);
    qvDesRounds(l, r, ks3[1], true);
    qvDesRounds(l, r, ks3[2], true);
    qvDesFinalPermutation(l, r);
}

void QvDesEee::eeeDecrypt(std::uint32_t& l, std::uint32_t& r) const
{
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks3[2], false);
    qvDesRounds(l, r, ks3[1], false);
    qvDesRounds(l, r, ks3[0], false);
    qvDesFinalPermutation(l, r);
}

void QvDesEee::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in), r = load32(in + 4);
    eeeEncrypt(l, r);
    store32(out, l);
    store32(out + 4, r);
}

void QvDesEee::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in), r = load32(in + 4);
    eeeDecrypt(l, r);
    store32(out, l);
    store32(out + 4, r);
}
