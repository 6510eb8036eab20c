#include "support/textutil.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <new>

namespace {

const uint16_t kCp1250High[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

int Utf8Len(uint32_t c)
{
    return c < 0x80 ? 1 : (c < 0x800 ? 2 : 3);
}

int PutUtf8(uint32_t c, uint8_t* o)
{
    if (c < 0x80) {
        o[0] = static_cast<uint8_t>(c);
        return 1;
    }
    if (c < 0x800) {
        o[0] = static_cast<uint8_t>(0xC0 | (c >> 6));
        o[1] = static_cast<uint8_t>(0x80 | (c & 0x3F));
        return 2;
    }
    o[0] = static_cast<uint8_t>(0xE0 | (c >> 12));
    o[1] = static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F));
    o[2] = static_cast<uint8_t>(0x80 | (c & 0x3F));
    return 3;
}

size_t TextLen(const char* t, int len)
{
    return len < 0 ? strlen(t) : static_cast<size_t>(len);
}

size_t Ucs2BeLen(const uint8_t* b, int len)
{
    if (len >= 0)
        return static_cast<size_t>(len);
    size_t i = 0;
    while (b[i] != 0 || b[i + 1] != 0)
        i += 2;
    return i;
}

// Decodes one 1- to 3-byte UTF-8 character of already validated text.
uint32_t DecodeUtf8(const uint8_t* p, size_t* used)
{
    uint8_t b = p[0];
    if (b < 0x80) {
        *used = 1;
        return b;
    }
    if (b < 0xE0) {
        *used = 2;
        return (static_cast<uint32_t>(b & 0x1F) << 6) | (p[1] & 0x3F);
    }
    if (b < 0xF0) {
        *used = 3;
        return (static_cast<uint32_t>(b & 0x0F) << 12) | (static_cast<uint32_t>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    }
    *used = 0;
    return 0;
}

// Converts to UTF-16 units; returns the unit count, 0 when the text is not valid
// UTF-8 of 1- to 3-byte characters. out may be NULL (count only).
long Utf8ToUnits(const char* text, size_t n, uint16_t* out)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    if (Utf8Kind(text, static_cast<int>(n)) == 0)
        return 0;
    long units = 0;
    size_t i = 0;
    while (i < n) {
        size_t used = 0;
        uint32_t c = DecodeUtf8(p + i, &used);
        if (used == 0)
            return 0;
        if ((used == 2 && c < 0x80) || (used == 3 && c < 0x800))
            return 0;
        if (out)
            out[units] = static_cast<uint16_t>(c);
        ++units;
        i += used;
    }
    return units;
}

}  // namespace

int ConvertUnicodeToUtf8(const uint16_t* text, int len, uint8_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = 0;
    if (len < 0) {
        while (text[n])
            ++n;
    } else {
        n = static_cast<size_t>(len);
    }
    long need = 0;
    for (size_t i = 0; i < n; ++i)
        need += Utf8Len(text[i]);
    if (need > INT_MAX)
        return 0;
    if (out == nullptr)
        return static_cast<int>(need);
    long pos = 0;
    for (size_t i = 0; i < n; ++i) {
        int l = Utf8Len(text[i]);
        if (pos + l > outSize)
            return -static_cast<int>(need);
        pos += PutUtf8(text[i], out + pos);
    }
    return static_cast<int>(pos);
}

int ConvertCp1250ToUtf8(const char* text, int len, uint8_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    long need = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>(text[i]);
        need += Utf8Len(b < 0x80 ? b : kCp1250High[b - 0x80]);
    }
    if (need > INT_MAX)
        return 0;
    if (out == nullptr)
        return static_cast<int>(need);
    long pos = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>(text[i]);
        uint32_t c = b < 0x80 ? b : kCp1250High[b - 0x80];
        if (pos + Utf8Len(c) > outSize)
            return -static_cast<int>(need);
        pos += PutUtf8(c, out + pos);
    }
    return static_cast<int>(pos);
}

int ConvertUtf8ToCp1250(const char* text, int len, char* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    if (n > INT_MAX)
        return 0;
    long units = Utf8ToUnits(text, n, nullptr);
    if (units == 0)
        return 0;
    if (out == nullptr)
        return static_cast<int>(units);
    if (units > outSize)
        return -static_cast<int>(units);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    size_t i = 0;
    long k = 0;
    while (i < n) {
        size_t used = 0;
        uint32_t c = DecodeUtf8(p + i, &used);
        i += used;
        char o = '?';
        if (c < 0x80) {
            o = static_cast<char>(c);
        } else {
            for (int j = 0; j < 128; ++j)
                if (kCp1250High[j] == c && c != 0xFFFD) {
                    o = static_cast<char>(0x80 + j);
                    break;
                }
        }
        out[k++] = o;
    }
    return static_cast<int>(k);
}

int Utf8Validate(const char* text, int len)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    int chars = 0;
    size_t i = 0;
    while (i < n) {
        uint8_t b = p[i];
        size_t extra;
        uint8_t minFirst = 0x80;
        if (b < 0x80) {
            ++i;
            ++chars;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            if (b == 0xE0) minFirst = 0xA0;
        } else if (b >= 0xF0 && b <= 0xF7) {
            extra = 3;
            if (b == 0xF0) minFirst = 0x90;
        } else if (b >= 0xF8 && b <= 0xFB) {
            extra = 4;
            if (b == 0xF8) minFirst = 0x88;
        } else if (b >= 0xFC && b <= 0xFD) {
            extra = 5;
            if (b == 0xFC) minFirst = 0x84;
        } else {
            return ~static_cast<int>(i);
        }
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= n)
                return ~static_cast<int>(n);
            uint8_t c = p[i + k];
            if (c < 0x80 || c > 0xBF || (k == 1 && c < minFirst))
                return ~static_cast<int>(i + k);
        }
        i += extra + 1;
        ++chars;
    }
    return chars;
}

bool Utf8IsWellFormed(const void* text, size_t len)
{
    if (text == nullptr)
        return len == 0;
    const uint8_t* p = static_cast<const uint8_t*>(text);
    size_t i = 0;
    while (i < len) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint8_t low = 0x80, high = 0xBF;  // bounds of the second octet
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (len - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const uint8_t c = p[i + k];
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
                return false;
        }
        i += extra + 1;
    }
    return true;
}

int Utf8Kind(const char* text, int len)
{
    if (text == nullptr)
        return 0;
    size_t n = TextLen(text, len);
    bool ascii = true;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<uint8_t>(text[i]) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return 1;
    if (n > INT_MAX)
        return 0;
    int r = Utf8Validate(text, static_cast<int>(n));
    return r > 0 ? 2 : 0;
}

int ConvertUtf8ToUnicode(const char* text, int len, uint16_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    if (n == 0 || n > INT_MAX)
        return 0;
    long units = Utf8ToUnits(text, n, nullptr);
    if (units == 0 || out == nullptr)
        return static_cast<int>(units);
    if (units > outSize)
        return -static_cast<int>(units);
    Utf8ToUnits(text, n, out);
    return static_cast<int>(units);
}

int ConvertUtf8ToUcs2Be(const char* text, int len, uint8_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    if (n == 0 || n > INT_MAX / 2)
        return 0;
    long units = Utf8ToUnits(text, n, nullptr);
    if (units == 0)
        return 0;
    if (out == nullptr)
        return static_cast<int>(2 * units);
    if (2 * units > outSize)
        return -static_cast<int>(2 * units);
    uint16_t stackBuf[4096];
    uint16_t* tmp = stackBuf;
    if (units > 4096) {
        tmp = new (std::nothrow) uint16_t[static_cast<size_t>(units)];
        if (tmp == nullptr)
            return 0;
    }
    Utf8ToUnits(text, n, tmp);
    for (long i = 0; i < units; ++i) {
        out[2 * i] = static_cast<uint8_t>(tmp[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(tmp[i]);
    }
    SecureZero(tmp, static_cast<size_t>(units) * sizeof(uint16_t));
    if (tmp != stackBuf)
        delete[] tmp;
    return static_cast<int>(2 * units);
}

int ConvertUcs2BeToUtf8(const uint8_t* bytes, int len, uint8_t* out, int outSize)
{
    if (bytes == nullptr || len == 0)
        return 0;
    size_t n = Ucs2BeLen(bytes, len);
    if (n == 0 || (n & 1) || n > INT_MAX)
        return 0;
    size_t units = n / 2;
    uint16_t stackBuf[4096];
    uint16_t* tmp = stackBuf;
    if (units > 4096) {
        tmp = new (std::nothrow) uint16_t[units];
        if (tmp == nullptr)
            return 0;
    }
    for (size_t i = 0; i < units; ++i)
        tmp[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    int r = ConvertUnicodeToUtf8(tmp, static_cast<int>(units), out, outSize);
    SecureZero(tmp, units * sizeof(uint16_t));
    if (tmp != stackBuf)
        delete[] tmp;
    return r;
}

namespace {
// Passes the five iconv arguments through unchanged.
size_t IconvTrampoline(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    return iconv(cd, in, inLeft, out, outLeft);
}
}  // namespace

int IconvConvert(const char* tocode, const char* fromcode, const char* in, size_t inLen, char* out,
                 size_t outSize)
{
    if (tocode == nullptr || fromcode == nullptr || in == nullptr || out == nullptr)
        return 0;
    iconv_t cd = iconv_open(tocode, fromcode);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return 0;
    char* ip = const_cast<char*>(in);
    size_t il = inLen;
    char* op = out;
    size_t ol = outSize;
    size_t r = IconvTrampoline(cd, &ip, &il, &op, &ol);
    int err = errno;
    iconv_close(cd);
    if (r == static_cast<size_t>(-1))
        return err == E2BIG ? -1 : 0;
    if (il != 0)
        return -1;
    size_t produced = outSize - ol;
    return produced > INT_MAX ? 0 : static_cast<int>(produced);
}

namespace {
int IconvSized(const char* to, const char* from, const char* in, size_t n, char* out, int outSize, int factor)
{
    if (n == 0)
        return 0;
    long long need = static_cast<long long>(n) * factor;
    if (need > INT_MAX)
        return 0;
    if (out == nullptr)
        return static_cast<int>(need);
    if (outSize <= 0)
        return -static_cast<int>(need);
    int r = IconvConvert(to, from, in, n, out, static_cast<size_t>(outSize));
    return r > 0 ? r : -static_cast<int>(need);
}
}  // namespace

int systemDefault2Utf8(const char* text, int len, uint8_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    return IconvSized("UTF-8", "", text, TextLen(text, len), reinterpret_cast<char*>(out), outSize, 6);
}

int ConvertUtf8ToSystemDefault(const char* text, int len, char* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    return IconvSized("", "UTF-8", text, TextLen(text, len), out, outSize, 6);
}

int ConvertUcs2BeToSystemDefault(const uint8_t* bytes, int len, char* out, int outSize)
{
    if (bytes == nullptr || len == 0)
        return 0;
    size_t n = Ucs2BeLen(bytes, len);
    if (n & 1)
        return 0;
    return IconvSized("", "UCS-2BE", reinterpret_cast<const char*>(bytes), n, out, outSize, 3);
}

int ConvertSystemDefaultToUcs2Be(const char* text, int len, uint8_t* out, int outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    if (n == 0 || n > INT_MAX / 2)
        return 0;
    int need = static_cast<int>(2 * n);
    if (out == nullptr)
        return need;
    if (outSize < need)
        return -need;
    int r = IconvConvert("UCS-2BE", "", text, n, reinterpret_cast<char*>(out), static_cast<size_t>(outSize));
    return r > 0 ? r : -need;
}

void SecureZero(void* p, size_t n)
{
    if (p == nullptr)
        return;
    memset(p, 0, n);
    // The barrier makes the stores observable, so the compiler cannot drop them.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

uint64_t BigEndianToUInt(const uint8_t* p, int n)
{
    if (p == nullptr || n < 1)
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

void UInt32ToBigEndian(uint32_t value, uint8_t out[4])
{
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

const uint8_t* StripLeadingZeroBytes(const uint8_t* p, size_t len, size_t* outLen)
{
    if (p == nullptr) {
        if (outLen)
            *outLen = 0;
        return nullptr;
    }
    size_t i = 0;
    while (i < len && p[i] == 0)
        ++i;
    if (outLen)
        *outLen = len - i;
    return p + i;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    if (month == 2 && IsLeapYear(year))
        return 29;
    return kDays[month - 1];
}

void ByteToTwoDigits(unsigned value, char out[2])
{
    value %= 100;
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
}

void YearToFourDigits(unsigned year, char out[4])
{
    year %= 10000;
    out[0] = static_cast<char>('0' + year / 1000);
    out[1] = static_cast<char>('0' + year / 100 % 10);
    out[2] = static_cast<char>('0' + year / 10 % 10);
    out[3] = static_cast<char>('0' + year % 10);
}

int TwoDigitsValue(const char* t)
{
    if (t == nullptr || !isdigit(static_cast<unsigned char>(t[0])) || !isdigit(static_cast<unsigned char>(t[1])))
        return -1;
    return (t[0] - '0') * 10 + (t[1] - '0');
}

int FourDigitsValue(const char* t)
{
    if (t == nullptr)
        return -1;
    int hi = TwoDigitsValue(t);
    if (hi < 0)
        return -1;
    int lo = TwoDigitsValue(t + 2);
    return lo < 0 ? -1 : hi * 100 + lo;
}

bool IsValidDateTimeText(const char* text, size_t len)
{
    if (text == nullptr || len < 8 || len > 16 || (len & 1))
        return false;
    for (size_t i = 0; i < len; ++i)
        if (!isdigit(static_cast<unsigned char>(text[i])))
            return false;
    int year = FourDigitsValue(text);
    int month = TwoDigitsValue(text + 4);
    int day = TwoDigitsValue(text + 6);
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    if (len >= 10 && TwoDigitsValue(text + 8) > 23)
        return false;
    if (len >= 12 && TwoDigitsValue(text + 10) > 59)
        return false;
    if (len >= 14 && TwoDigitsValue(text + 12) > 59)
        return false;
    return true;
}

size_t BinToHex(const uint8_t* data, size_t len, char* out, const char* separator)
{
    static const char kDigits[] = "0123456789ABCDEF";
    if (len == 0)
        return 0;
    size_t sepLen = separator ? strlen(separator) : 0;
    size_t total = 2 * len + (len - 1) * sepLen;
    if (out == nullptr || data == nullptr)
        return total;
    char* o = out;
    for (size_t i = 0; i < len; ++i) {
        if (i && sepLen) {
            memcpy(o, separator, sepLen);
            o += sepLen;
        }
        *o++ = kDigits[data[i] >> 4];
        *o++ = kDigits[data[i] & 0x0F];
    }
    return total;
}

int HexDigitValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int HexToBin(const char* text, int len, uint8_t* out, size_t outSize)
{
    if (text == nullptr || len == 0)
        return 0;
    size_t n = TextLen(text, len);
    long long count = 0;
    bool overflow = false;
    int digits = 0;
    unsigned value = 0;
    auto emit = [&]() {
        if (out && !overflow) {
            if (static_cast<size_t>(count) < outSize)
                out[count] = static_cast<uint8_t>(value);
            else
                overflow = true;
        }
        ++count;
        digits = 0;
        value = 0;
    };
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (isspace(c)) {
            if (digits)
                emit();
            continue;
        }
        int d = HexDigitValue(c);
        if (d < 0)
            return INT_MIN;
        value = value * 16 + static_cast<unsigned>(d);
        if (++digits == 2)
            emit();
    }
    if (digits)
        emit();
    if (count > INT_MAX)
        return INT_MIN;
    return overflow ? -static_cast<int>(count) : static_cast<int>(count);
}

namespace {
bool Pkcs1Bounds(const uint8_t* out, uint32_t outLen, const void* data, int dataLen)
{
    // 00 BT PS(>= 8) 00 D: at least 11 bytes of frame around 1 or more data bytes.
    return out != nullptr && data != nullptr && outLen >= 11 && dataLen >= 1 &&
           static_cast<uint32_t>(dataLen) <= outLen - 11;
}
}  // namespace

bool Pkcs1PadBlockType1(uint8_t* out, uint32_t outLen, const void* data, int dataLen)
{
    if (!Pkcs1Bounds(out, outLen, data, dataLen))
        return false;
    uint32_t ps = outLen - static_cast<uint32_t>(dataLen) - 3;
    out[0] = 0x00;
    out[1] = 0x01;
    memset(out + 2, 0xFF, ps);
    out[2 + ps] = 0x00;
    memmove(out + 3 + ps, data, static_cast<size_t>(dataLen));
    return true;
}

bool Pkcs1PadBlockType2(uint8_t* out, uint32_t outLen, const uint8_t* randomBytes, const void* data,
                        int dataLen)
{
    if (randomBytes == nullptr || !Pkcs1Bounds(out, outLen, data, dataLen))
        return false;
    uint32_t ps = outLen - static_cast<uint32_t>(dataLen) - 3;
    memmove(out + 3 + ps, data, static_cast<size_t>(dataLen));
    out[0] = 0x00;
    out[1] = 0x02;
    for (uint32_t i = 0; i < ps; ++i)
        out[2 + i] = randomBytes[i] ? randomBytes[i] : 0x01;
    out[2 + ps] = 0x00;
    return true;
}

int Pkcs1CheckBlockType1(const uint8_t* block, size_t len)
{
    if (block == nullptr || len < 11 || len > INT_MAX || block[0] != 0x00 || block[1] != 0x01)
        return 0;
    size_t i = 2;
    while (i < len && block[i] == 0xFF)
        ++i;
    if (i >= len || block[i] != 0x00 || i - 2 < 8)
        return 0;
    return static_cast<int>(i + 1);
}

const char* GetSystemErrorText(long code, char* buf, size_t len)
{
    int c = code == ~0L ? errno : static_cast<int>(code);
    if (len == 0)
        return strerror(c);
    char tmp[256];
    const char* t = strerror_r(c, tmp, sizeof(tmp));
    if (t == nullptr)
        return nullptr;
    if (buf == nullptr)
        return nullptr;
    strncpy(buf, t, len);
    buf[len - 1] = '\0';
    return buf;
}

