#include "libtorvapp/qvsha224.h"

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 4};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04};

const QvWord kInitialValue[8] = {0xc1059ed8u, 0x367cd507u, 0x3070dd17u, 0xf70e5939u, 0xffc00b31u, 0x68581511u, 0x64f98fa7u, 0xbefa4fa4u};

} // namespace

QvSha224::QvSha224() : QvSha256(28u) {}

QvHash* QvSha224::clone() const { return qvMdClone(*this, "qvsha224", "22"); }

const QvWord* QvSha224::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha224::getOidDer() const { return kOidDer; }

void QvSha224::resetState() { loadInitialValue(kInitialValue); }
