#include "libtorvapp/qvsha384.h"

#include "libtorvapp/qvsha512core.h"

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 2};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};

const std::uint64_t kInitialValue[8] = {
    0xcbbb9d5dc1059ed8ull,
    0x629a292a367cd507ull,
    0x9159015a3070dd17ull,
    0x152fecd8f70e5939ull,
    0x67332667ffc00b31ull,
    0x8eb44a8768581511ull,
    0xdb0c2e0d64f98fa7ull,
    0x47b5481dbefa4fa4ull};

} // namespace

QvSha384::QvSha384() : QvMdHash(48, qvSha512PickCompress()) {}

QvHash* QvSha384::clone() const { return qvMdClone(*this, "qvsha384", "42"); }

const QvWord* QvSha384::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha384::getOidDer() const { return kOidDer; }

void QvSha384::resetState() { loadInitialValue(kInitialValue); }
