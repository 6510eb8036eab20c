// Basic value types of the cryptographic library.
#ifndef LIBTORVAPP_QVCOMMON_QVTYPES_H
#define LIBTORVAPP_QVCOMMON_QVTYPES_H

#include <cstddef>
#include <cstdint>

typedef std::uint8_t QvOctet;
typedef std::uint32_t QvWord;

// Overwrites n octets with zeros in a way the optimiser may not drop.
void qvWipe(void* p, std::size_t n) noexcept;

#endif
