#include "libtorvapp/qvtdes.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 18033, 3, 1, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x07, 0x28, 0x81, 0x8C, 0x71, 0x03, 0x01, 0x01};

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

QvTdes::QvTdes() : QvDes(true, false), ks3() {}
QvTdes::QvTdes(bool weak, bool parity) : QvDes(weak, parity), ks3() {}
QvTdes::QvTdes(const QvTdes& other) : QvDes(other)
{
    for (int i = 0; i < 3; ++i)
        ks3[i] = other.ks3[i];
}
QvTdes::~QvTdes()
{
    qvWipe(ks3, sizeof ks3);
}

QvBc* QvTdes::clone() const { return new QvTdes(*this); }
unsigned int QvTdes::getAlgoId() const { return QV_BC_ALGO_TDES; }
const char* QvTdes::getName() const { return "TDES"; }
unsigned int QvTdes::getMinKeyOctets() const { return 24; }
unsigned int QvTdes::getMaxKeyOctets() const { return 24; }
const std::uint32_t* QvTdes::getOidArcs() const { return kOidArcs; }
const QvOctet* QvTdes::getOidDer() const { return kOidDer; }

void QvTdes::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey, 3))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvTdes::_setKey", "qvtdes", "48"));
    storeKey(externalKey, externalKeyOctets);
}

void QvTdes::buildCommonSchedule()
{
    for (unsigned int i = 0; i < 3; ++i)
        qvDesBuildSchedule(key.getConstData() + 8 * i, ks3[i]);
}

void QvTdes::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in), r = load32(in + 4);
    qvDesInitialPermutation(l, r);
    // Between the three passes the final and initial permutations cancel.
    qvDesRounds(l, r, ks3[0], true);
    qvDesRounds(l, r, ks3[1], false);
    qvDesRounds(l, r, ks3[2], true);
    qvDesFinalPermutation(l, r);
    store32(out, l);
    store32(out + 4, r);
}

void QvTdes::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in), r = load32(in + 4);
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks3[2], false);
    qvDesRounds(l, r, ks3[1], true);
    qvDesRounds(l, r, ks3[0], false);
    qvDesFinalPermutation(l, r);
    store32(out, l);
    store32(out + 4, r);
}
