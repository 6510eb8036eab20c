#include "libtorvapp/qvsc1.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {6, 1, 0, 18033, 2, 4, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x07, 0x28, 0x81, 0x8C, 0x71, 0x02, 0x04, 0x01};
} // namespace

QvSc1::QvSc1(unsigned int cipherAlgo) : QvCbc(cipherAlgo, QV_SYM_PAD_PKCS5) {}
QvSc1::QvSc1(const QvBc& cipherObject) : QvCbc(cipherObject, QV_SYM_PAD_PKCS5) {}
QvSc1::QvSc1(const QvSc1& other) = default;
QvSc1::~QvSc1() = default;

QvSymEnc* QvSc1::clone() const { return new QvSc1(*this); }

void QvSc1::init(unsigned int dir, const QvOctet*, unsigned int)
{
    QvBcEnc::init(dir, nullptr, 0);
    std::memset(chain.getData(), 0, n);
}

void QvSc1::init(unsigned int dir) { init(dir, nullptr, 0); }

unsigned int QvSc1::getIvOctets() const { return 0; }
unsigned int QvSc1::getModeId() const { return QV_SYMENC_SC1; }
const char* QvSc1::getName() const { return "SC1"; }
const std::uint32_t* QvSc1::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSc1::getOidDer() const { return kOidDer; }
