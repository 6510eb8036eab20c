// Text, character-set, memory, date, hexadecimal and PKCS#1 v1.5 block helpers.
//
// Text conventions: a length below 0 means "up to the terminator" (NUL, or a 00 00
// pair at an even offset for big-endian UCS-2); NULL or empty input gives 0; a NULL
// output buffer gives the size the output needs; a too small output buffer gives
// minus the needed size (character-by-character routines may have written a prefix).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

// ---- character sets ----
int ConvertUnicodeToUtf8(const uint16_t* text, int len, uint8_t* out, int outSize);
int ConvertCp1250ToUtf8(const char* text, int len, uint8_t* out, int outSize);
// UTF-8 to Windows-1250; characters the code page lacks become '?'. Invalid UTF-8 gives 0.
int ConvertUtf8ToCp1250(const char* text, int len, char* out, int outSize);
// Character count of valid UTF-8, else ~offset of the first failing byte; 0 for NULL/empty.
int Utf8Validate(const char* text, int len);
// 1 all ASCII (also empty), 2 valid UTF-8 with multi-byte characters, 0 invalid or NULL.
int Utf8Kind(const char* text, int len);
// Whether the len octets are well-formed UTF-8 as RFC 3629 has it: no overlong
// forms, no surrogates, nothing above U+10FFFF, no sequence cut short. NULL with
// len 0 (the empty text) is well formed.
bool Utf8IsWellFormed(const void* text, size_t len);
int ConvertUtf8ToUnicode(const char* text, int len, uint16_t* out, int outSize);
int ConvertUtf8ToUcs2Be(const char* text, int len, uint8_t* out, int outSize);
int ConvertUcs2BeToUtf8(const uint8_t* bytes, int len, uint8_t* out, int outSize);
// One iconv pass: output bytes when all input converted, 0 when iconv fails, -1 when
// input is left over.
int IconvConvert(const char* tocode, const char* fromcode, const char* in, size_t inLen, char* out,
                 size_t outSize);
int systemDefault2Utf8(const char* text, int len, uint8_t* out, int outSize);
int ConvertUtf8ToSystemDefault(const char* text, int len, char* out, int outSize);
int ConvertUcs2BeToSystemDefault(const uint8_t* bytes, int len, char* out, int outSize);
int ConvertSystemDefaultToUcs2Be(const char* text, int len, uint8_t* out, int outSize);

// ---- memory, numbers, dates ----
// Writes n zero bytes in a way the compiler cannot drop.
void SecureZero(void* p, size_t n);
uint64_t BigEndianToUInt(const uint8_t* p, int n);
void UInt32ToBigEndian(uint32_t value, uint8_t out[4]);
const uint8_t* StripLeadingZeroBytes(const uint8_t* p, size_t len, size_t* outLen);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Two decimal digits of value % 100 / four of year % 10000 (no NUL written).
void ByteToTwoDigits(unsigned value, char out[2]);
void YearToFourDigits(unsigned year, char out[4]);
// Value of two / four decimal digits, -1 when any is not a digit.
int TwoDigitsValue(const char* text);
int FourDigitsValue(const char* text);
bool IsValidDateTimeText(const char* text, size_t len);

// ---- hexadecimal ----
// Upper-case digits, separator between bytes; returns the length (no NUL written).
size_t BinToHex(const uint8_t* data, size_t len, char* out, const char* separator);
int HexDigitValue(int c);
// Returns the bytes produced, INT_MIN for a non-hex non-space character, minus the
// total count when out is too small.
int HexToBin(const char* text, int len, uint8_t* out, size_t outSize);

// ---- PKCS#1 v1.5 blocks (at least 8 padding bytes; outLen < 11 is refused) ----
bool Pkcs1PadBlockType1(uint8_t* out, uint32_t outLen, const void* data, int dataLen);
// randomBytes supplies outLen - dataLen - 3 padding bytes; zero bytes become 01.
bool Pkcs1PadBlockType2(uint8_t* out, uint32_t outLen, const uint8_t* randomBytes, const void* data,
                        int dataLen);
// Offset of the data in a len-byte block 00 01 FF..FF(>= 8) 00 data; 0 for any other shape.
int Pkcs1CheckBlockType1(const uint8_t* block, size_t len);

// ---- system errors ----
// code ~0 means errno. With buf and len > 0: the text copied (always terminated),
// buf returned. With len 0: the system's own text. NULL when there is no text.
const char* GetSystemErrorText(long code, char* buf, size_t len);
