// Compression and finalisation shared by SHA-512 and SHA-384 (internal).
#ifndef LIBTORVAPP_QVSHA512CORE_H
#define LIBTORVAPP_QVSHA512CORE_H

#include <cstddef>
#include <cstdint>

#include "libtorvapp/qvcommon/qvtypes.h"

// n blocks of 128 octets into the eight chaining words.
void qvSha512Compress(std::uint64_t* state, const QvOctet* data, std::size_t n);

#endif
