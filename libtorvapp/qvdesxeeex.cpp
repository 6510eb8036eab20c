#include "libtorvapp/qvdesxeeex.h"

#include <cstring>

#include "libtorvapp/qvcommon/qvendian.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {9, 1, 3, 6, 1, 4, 1, 32473, 4, 2};
constexpr QvOctet kOidDer[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x04, 0x02};
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
    buildSchedules(8);
}

void QvDesXeeex::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = qvLoad32Be(in) ^ qvLoad32Be(x1), r = qvLoad32Be(in + 4) ^ qvLoad32Be(x1 + 4);
    encryptHalves(l, r);
    qvStore32Be(out, l ^ qvLoad32Be(x2));
    qvStore32Be(out + 4, r ^ qvLoad32Be(x2 + 4));
}

void QvDesXeeex::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = qvLoad32Be(in) ^ qvLoad32Be(x2), r = qvLoad32Be(in + 4) ^ qvLoad32Be(x2 + 4);
    decryptHalves(l, r);
    qvStore32Be(out, l ^ qvLoad32Be(x1));
    qvStore32Be(out + 4, r ^ qvLoad32Be(x1 + 4));
}
