// BER-TLV toolkit over raw byte buffers, and ISO/IEC 7816-4 compact TLV.
//
// A tag is held as an unsigned integer whose bytes are the tag's bytes, big-endian
// (5F 20 is 0x5F20). Lengths are 64-bit; TLV_INDEFINITE (~0) is the indefinite
// length (80 on the wire).
#pragma once

#include <cstddef>
#include <cstdint>

const uint64_t TLV_INDEFINITE = ~static_cast<uint64_t>(0);
// TlvCopyValue: the output buffer is too small (the needed size is reported).
const int64_t TLV_E_BUFFER_TOO_SMALL = -1;

size_t TlvParseTag(const uint8_t* p, size_t len, uint64_t* tag);
size_t TlvParseLength(const uint8_t* p, size_t len, uint64_t* length);
size_t TlvEncodeTag(uint64_t tag, uint8_t* out, size_t outSize);
size_t TlvTagSize(uint64_t tag);
size_t TlvLengthFieldSize(uint64_t length);
size_t TlvEncodeLength(uint64_t length, uint8_t* out, size_t outSize);
size_t TlvEncodeHeader(uint64_t tag, uint64_t length, uint8_t* out, size_t outSize);
size_t TlvHeaderSize(uint64_t tag, uint64_t length);
uint64_t TlvTotalSize(uint64_t tag, uint64_t length);
unsigned TlvTagClass(uint64_t tag);
bool TlvIsConstructed(uint64_t tag);
uint64_t TlvTagNumber(uint64_t tag);
// Minimal tag for number/class (0-3)/constructed; 0 when the number needs more than 4 bytes.
uint64_t TlvMakeTag(uint64_t number, unsigned tagClass, bool constructed);

size_t TlvParseHeader(const uint8_t* p, size_t len, uint64_t* tag, uint64_t* length);
// Whole element: total size, 0 when malformed or not all inside len.
size_t TlvParseEx(const uint8_t* p, size_t len, uint64_t* tag, size_t* headerLen, uint64_t* valueLen,
                  size_t* eocLen, int maxDepth);
size_t TlvParse(const uint8_t* p, size_t len, uint64_t* tag, size_t* headerLen, uint64_t* valueLen,
                size_t* eocLen);
size_t TlvParseValue(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen);
// First element (searched inside constructed ones while depth allows) whose class and
// number equal tag's; returns its start, NULL when absent or malformed.
const uint8_t* TlvFindTag(const uint8_t* p, size_t len, uint64_t tag, size_t* headerLen, uint64_t* valueLen,
                          size_t* eocLen, int depth);
size_t TlvParseInteger(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen);
size_t TlvParseBitString(const uint8_t* p, size_t len, uint64_t* tag, const uint8_t** value, uint64_t* valueLen,
                         uint8_t* unusedBits);
// Copies the value (constructed: the concatenated values of its nested elements of
// the same class and number) into out when *outLen (the capacity) suffices and sets
// *outLen to the value length. Too small: *outLen = needed size and
// TLV_E_BUFFER_TOO_SMALL. outLen NULL: size only. Returns the element size, 0 when
// malformed.
int64_t TlvCopyValue(const uint8_t* p, size_t len, uint64_t* tag, uint8_t* out, uint64_t* outLen, int depth);
int64_t TlvCopyValueThunk(const uint8_t* p, size_t len, uint64_t* tag, uint8_t* out, uint64_t* outLen);
size_t TlvBuild(uint64_t tag, const void* value, size_t valueLen, uint8_t* out, size_t outSize);

// Compact TLV: tag in the high nibble, length in the low nibble.
int CompactTlvParse(const uint8_t* p, size_t len, uint8_t* tag, uint8_t* length);
int CompactTlvParseValue(const uint8_t* p, size_t len, uint8_t* tag, const uint8_t** value, uint8_t* valueLen);
const uint8_t* CompactTlvFind(const uint8_t* p, size_t len, uint8_t tag, uint8_t* valueLen);
int CompactTlvEncodeHeader(uint8_t tag, uint8_t length, uint8_t* out, size_t outSize);
size_t CompactTlvBuild(uint8_t tag, const void* value, uint8_t length, uint8_t* out, size_t outSize);
uint8_t CompactTlvInterindustryTag(unsigned n);
