// Shared coding of key structures that are a SEQUENCE of INTEGERs.
#pragma once

#include "lib/libasn/asnint.h"

class QvN;

// Decodes n mandatory INTEGERs, then up to nOpt optional ones (their presence
// flags set); 1 when they fill len exactly.
int keyReadIntegers(GenericFile* src, long len, uint8_t flags, ASNinteger* const* ints, int n,
                    ASNinteger* const* opt = nullptr, uint8_t* const* optPresent = nullptr, int nOpt = 0);
int keyWriteIntegers(GenericFile* dst, const ASNinteger* const* ints, int n);
long keyLenIntegers(const ASNinteger* const* ints, int n);
void keyDigestIntegers(QvHash* hash, const ASNinteger* const* ints, int n);
// Bit length of a non-negative INTEGER's value (0 for empty, zero or negative).
unsigned keyIntegerBits(const ASNinteger& v);
// The value octets of a non-negative INTEGER after its leading zero octets (one
// octet stays for zero); false for a negative or empty INTEGER.
bool keyIntegerMagnitude(const ASNinteger& v, const uint8_t*& d, unsigned& n);
// Significant octets of the value (leading zero octets not counted), at least 1.
unsigned keyIntegerOctets(const ASNinteger& v);
// Some octet of the value is not zero.
bool keyIntegerNonZero(const ASNinteger& v);
// A non-negative INTEGER as a number; false for a negative or empty one.
bool keyIntegerValue(const ASNinteger& v, QvN& out);
