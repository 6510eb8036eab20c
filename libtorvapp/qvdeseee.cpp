#include "libtorvapp/qvdeseee.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {9, 1, 3, 6, 1, 4, 1, 32473, 4, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0xFD, 0x59, 0x04, 0x01};
} // namespace

QvDesEee::QvDesEee() : QvDes3(true, false, false) {}
QvDesEee::QvDesEee(bool weak, bool parity) : QvDes3(weak, parity, false) {}
QvDesEee::QvDesEee(const QvDesEee& other) = default;
QvDesEee::~QvDesEee() = default;

QvBc* QvDesEee::clone() const { return new QvDesEee(*this); }
unsigned int QvDesEee::getAlgoId() const { return QV_BC_ALGO_DES_EEE; }
const char* QvDesEee::getName() const { return "DES-EEE"; }
const std::uint32_t* QvDesEee::getOidArcs() const { return kOidArcs; }
const QvOctet* QvDesEee::getOidDer() const { return kOidDer; }

void QvDesEee::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey, 3))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvDesEee::_setKey", "qvdeseee", "47"));
    storeKey(externalKey, externalKeyOctets);
}
