#include "libtorvapp/qvdesxeeex.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {9, 1, 3, 6, 1, 4, 1, 32473, 4, 2};
constexpr QvOctet kOidDer[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x04, 0x02};

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

QvDesXeeex::QvDesXeeex() : QvDesEee(true, false), x1(), x2() {}
QvDesXeeex::QvDesXeeex(bool weak, bool parity) : QvDesEee(weak, parity), x1(), x2() {}
QvDesXeeex::QvDesXeeex(const QvDesXeeex& other) : QvDesEee(other)
{
    std::memcpy(x1, other.x1, 8);
    std::memcpy(x2, other.x2, 8);
}
QvDesXeeex::~QvDesXeeex()
{
    qvWipe(x1, sizeof x1);
    qvWipe(x2, sizeof x2);
}

QvBc* QvDesXeeex::clone() const { return new QvDesXeeex(*this); }
unsigned int QvDesXeeex::getAlgoId() const { return QV_BC_ALGO_DES_XEEEX; }
const char* QvDesXeeex::getName() const { return "DES-XEEEX"; }
unsigned int QvDesXeeex::getMinKeyOctets() const { return 40; }
unsigned int QvDesXeeex::getMaxKeyOctets() const { return 40; }
const std::uint32_t* QvDesXeeex::getOidArcs() const { return kOidArcs; }
const QvOctet* QvDesXeeex::getOidDer() const { return kOidDer; }

void QvDesXeeex::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey + 8, 3))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvDesXeeex::_setKey", "qvdesxeeex", "49"));
    storeKey(externalKey, externalKeyOctets);
}

void QvDesXeeex::buildCommonSchedule()
{
    std::memcpy(x1, key.getConstData(), 8);
    std::memcpy(x2, key.getConstData() + 32, 8);
    buildEeeSchedules(8);
}

void QvDesXeeex::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in) ^ load32(x1), r = load32(in + 4) ^ load32(x1 + 4);
    eeeEncrypt(l, r);
    store32(out, l ^ load32(x2));
    store32(out + 4, r ^ load32(x2 + 4));
}

void QvDesXeeex::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = load32(in) ^ load32(x2), r = load32(in + 4) ^ load32(x2 + 4);
    eeeDecrypt(l, r);
    store32(out, l ^ load32(x1));
    store32(out + 4, r ^ load32(x1 + 4));
}
