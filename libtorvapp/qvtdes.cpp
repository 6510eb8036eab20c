#include "libtorvapp/qvtdes.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 18033, 3, 1, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x07, 0x28, 0x81, 0x8C, 0x71, 0x03, 0x01, 0x01};
} // namespace

QvTdes::QvTdes() : QvDes3(true, false, true) {}
QvTdes::QvTdes(bool weak, bool parity) : QvDes3(weak, parity, true) {}
QvTdes::QvTdes(const QvTdes& other) = default;
QvTdes::~QvTdes() = default;

QvBc* QvTdes::clone() const { return new QvTdes(*this); }
unsigned int QvTdes::getAlgoId() const { return QV_BC_ALGO_TDES; }
const char* QvTdes::getName() const { return "TDES"; }
const std::uint32_t* QvTdes::getOidArcs() const { return kOidArcs; }
const QvOctet* QvTdes::getOidDer() const { return kOidDer; }

void QvTdes::_setKey(const QvOctet* externalKey, unsigned int externalKeyOctets)
{
    if (weakKeyCheck && qvDesIsWeakKey(externalKey, 3))
        qvThrow<QvWeakKeyException>(QV_EXC_TEXT("QvWeakKeyException", "Wykryto słaby lub półsłaby klucz.",
                                                "QvTdes::_setKey", "qvtdes", "48"));
    storeKey(externalKey, externalKeyOctets);
}
