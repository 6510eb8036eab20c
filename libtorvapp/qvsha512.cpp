#include "libtorvapp/qvsha512.h"

#include "libtorvapp/qvsha512core.h"

namespace {

const QvWord kOidArcs[] = {9, 2, 16, 840, 1, 101, 3, 4, 2, 3};
const QvOctet kOidDer[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

const std::uint64_t kInitialValue[8] = {
    0x6a09e667f3bcc908ull,
    0xbb67ae8584caa73bull,
    0x3c6ef372fe94f82bull,
    0xa54ff53a5f1d36f1ull,
    0x510e527fade682d1ull,
    0x9b05688c2b3e6c1full,
    0x1f83d9abfb41bd6bull,
    0x5be0cd19137e2179ull};

} // namespace

QvSha512::QvSha512() : QvMdHash(64, qvSha512PickCompress()) {}

QvHash* QvSha512::clone() const { return qvMdClone(*this, "qvsha512", "42"); }

const QvWord* QvSha512::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSha512::getOidDer() const { return kOidDer; }

void QvSha512::resetState() { loadInitialValue(kInitialValue); }
