// Compression shared by SHA-512 and SHA-384 (internal).
#ifndef LIBTORVAPP_QVSHA512CORE_H
#define LIBTORVAPP_QVSHA512CORE_H

#include <cstdint>

#include "libtorvapp/qvmdhash.h"

// The build of the compression (n blocks of 128 octets into the eight chaining
// words) for this processor.
QvMdCompressFn<std::uint64_t> qvSha512ChooseCompress();

// The same, chosen once; inline so that building a hash object costs no call.
inline QvMdCompressFn<std::uint64_t> qvSha512PickCompress()
{
    static const QvMdCompressFn<std::uint64_t> chosen = qvSha512ChooseCompress();
    return chosen;
}

#endif
