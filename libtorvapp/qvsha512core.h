// Compression shared by SHA-512 and SHA-384 (internal).
#ifndef LIBTORVAPP_QVSHA512CORE_H
#define LIBTORVAPP_QVSHA512CORE_H

#include <cstdint>

#include "libtorvapp/qvmdhash.h"

// The build of the compression (n blocks of 128 octets into the eight chaining
// words) that this processor runs.
QvMdCompressFn<std::uint64_t> qvSha512PickCompress();

#endif
