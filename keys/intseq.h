// Shared coding of key structures that are a SEQUENCE of INTEGERs.
#pragma once

#include "lib/libasn/asnint.h"

// Decodes n mandatory INTEGERs, then up to nOpt optional ones (their presence
// flags set); 1 when they fill len exactly.
int keyReadIntegers(GenericFile* src, long len, uint8_t flags, ASNinteger* const* ints, int n,
                    ASNinteger* const* opt = nullptr, uint8_t* const* optPresent = nullptr, int nOpt = 0);
int keyWriteIntegers(GenericFile* dst, const ASNinteger* const* ints, int n);
long keyLenIntegers(const ASNinteger* const* ints, int n);
void keyDigestIntegers(QvHash* hash, const ASNinteger* const* ints, int n);
// Bit length of a non-negative INTEGER's value (0 for empty, zero or negative).
unsigned keyIntegerBits(const ASNinteger& v);
