// PKCS#1 DigestInfo prefixes (DER of the digest algorithm identifier and the
// OCTET STRING header) for the library's hash numbering: 1 SHA-1, 2 SHA-224,
// 3 SHA-256, 4 SHA-384, 5 SHA-512, 6 RIPEMD-128, 7 RIPEMD-160, 8 MD5.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t SC_HASH_SHA1 = 1;
constexpr uint32_t SC_HASH_SHA224 = 2;
constexpr uint32_t SC_HASH_SHA256 = 3;
constexpr uint32_t SC_HASH_SHA384 = 4;
constexpr uint32_t SC_HASH_SHA512 = 5;
constexpr uint32_t SC_HASH_RIPEMD128 = 6;
constexpr uint32_t SC_HASH_RIPEMD160 = 7;
constexpr uint32_t SC_HASH_MD5 = 8;

// The digest length of a hash id (0 for an unknown id); *prefix (when not null)
// gets the DigestInfo prefix and *prefixLen (when not null) its length.
uint32_t scGetDigestInfo(uint32_t hashId, const uint8_t** prefix, uint32_t* prefixLen);

// The hash id of a complete DigestInfo (prefix followed by a digest of the right
// length); 0 when the data is no such DigestInfo.
uint32_t scGetHashIdFromDigestInfo(const uint8_t* data, size_t len);
