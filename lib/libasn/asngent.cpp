// GeneralizedTime.
#include "lib/libasn/asngent.h"

#include <cstdio>
#include <cstring>
#include <ctime>

ASNgenTime::ASNgenTime(uint32_t t) : ASNobject((t & ASN_CLASS_MASK) != 0 ? t : 0x18) { clear(); }

ASNgenTime& ASNgenTime::operator=(const ASNgenTime& other) {
    if (this == &other) return *this;
    assertNotConst("asngent", __LINE__, "!( flags & ASN_FLAG_CONST )");
    year = other.year;
    month = other.month;
    day = other.day;
    hour = other.hour;
    minute = other.minute;
    second = other.second;
    fraction = other.fraction;
    fractionDigits = other.fractionDigits;
    hasFraction = other.hasFraction;
    offsetHours = other.offsetHours;
    offsetMinutes = other.offsetMinutes;
    return *this;
}

void ASNgenTime::clear() {
    year = month = day = hour = minute = second = 0;
    fraction = 0;
    fractionDigits = 1;
    hasFraction = false;
    offsetHours = offsetMinutes = 0;
}

namespace {
int twoDigits(const char* p) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}
}  // namespace

int ASNgenTime::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 14 || len > 50) return 0;
    char text[51];
    int r = asnReadExact(src, text, static_cast<size_t>(len));
    if (r < 1) return r;
    int f[7];
    for (int i = 0; i < 7; i++) {
        f[i] = twoDigits(text + 2 * i);
        if (f[i] < 0) return 0;
    }
    int y = f[0] * 100 + f[1];
    if (f[2] < 1 || f[2] > 12 || f[3] < 1 || f[3] > 31 || f[4] > 23 || f[5] > 59) return 0;
    year = y;
    month = f[2];
    day = f[3];
    hour = f[4];
    minute = f[5];
    second = f[6];
    long i = 14;
    bool seenPoint = false;
    while (i < len) {
        char c = text[i];
        if (c == '.') {
            if (seenPoint || i == len - 1) return 0;
            seenPoint = true;
            hasFraction = true;
            fraction = 0;
            fractionDigits = 0;
            i++;
        } else if (c >= '0' && c <= '9' && seenPoint) {
            // The fraction value is kept in 64 bits: more digits are refused rather
            // than overflowing.
            if (fractionDigits >= kMaxFractionDigits) return 0;
            fraction = fraction * 10 + (c - '0');
            fractionDigits++;
            i++;
        } else if (c == 'Z') {
            if (i != len - 1) return 0;
            i++;
        } else if (c == '+' || c == '-') {
            if (len - i != 5) return 0;
            int oh = twoDigits(text + i + 1);
            int om = twoDigits(text + i + 3);
            if (oh < 0 || om < 0 || oh > 23 || om > 59) return 0;
            offsetHours = c == '-' ? -oh : oh;
            offsetMinutes = c == '-' ? -om : om;
            i += 5;
        } else {
            return 0;
        }
    }
    return 1;
}

int ASNgenTime::format(char* out) const {
    int n = std::snprintf(out, 15, "%.4d%.2d%.2d%.2d%.2d%.2d", year % 10000 < 0 ? 0 : year % 10000,
                          month % 100 < 0 ? 0 : month % 100, day % 100 < 0 ? 0 : day % 100,
                          hour % 100 < 0 ? 0 : hour % 100, minute % 100 < 0 ? 0 : minute % 100,
                          second % 100 < 0 ? 0 : second % 100);
    if (n != 14) {
        std::memset(out, '0', 14);
        n = 14;
    }
    if (hasFraction) {
        out[n++] = '.';
        // Exactly the digit count, zero-padded, so the text matches lenOfBody.
        int digits = static_cast<int>(fractionDigits);
        int64_t v = fraction;
        for (int d = digits - 1; d >= 0; d--) {
            out[n + d] = static_cast<char>('0' + (v % 10));
            v /= 10;
        }
        n += digits;
    }
    if (offsetHours == 0 && offsetMinutes == 0) {
        out[n++] = 'Z';
    } else {
        bool neg = offsetHours < 0 || offsetMinutes < 0;
        int ah = offsetHours < 0 ? -offsetHours : offsetHours;
        int am = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        out[n++] = neg ? '-' : '+';
        std::snprintf(out + n, 5, "%.2d%.2d", ah % 100, am % 100);
        n += 4;
    }
    out[n] = 0;
    return n;
}

long ASNgenTime::lenOfBody() const {
    long n = 14;
    if (hasFraction) n += 1 + fractionDigits;
    n += (offsetHours == 0 && offsetMinutes == 0) ? 1 : 5;
    return n;
}

int ASNgenTime::write_contents(GenericFile* dst) const {
    char text[kMaxText];
    int n = format(text);
    return asnWriteAll(dst, text, static_cast<size_t>(n));
}

void ASNgenTime::digest_contents(QvHash* hash) const {
    char text[kMaxText];
    int n = format(text);
    hashUpdate(reinterpret_cast<const uint8_t*>(text), n, hash);
}

void ASNgenTime::set(int y, int mo, int d, int h, int mi, int s, long frac, long digits) {
    assertNotConst("asngent", __LINE__, "!( flags & ASN_FLAG_CONST )");
    if (y >= 0 && y < 50)
        y += 2000;
    else if (y >= 50 && y < 100)
        y += 1900;
    year = y;
    month = mo;
    day = d;
    hour = h;
    minute = mi;
    second = s;
    offsetHours = offsetMinutes = 0;
    bool fracOk = frac >= 0 && digits > 0 && digits <= kMaxFractionDigits;
    if (fracOk) {
        int64_t limit = 1;
        for (long i = 0; i < digits; i++) limit *= 10;
        fracOk = frac < limit;
    }
    if (fracOk) {
        fraction = frac;
        fractionDigits = digits;
        hasFraction = true;
    } else {
        fraction = 0;
        fractionDigits = 1;
        hasFraction = false;
    }
}

void ASNgenTime::setNow() {
    std::time_t now = std::time(nullptr);
    std::tm tmv;
    gmtime_r(&now, &tmv);
    set(tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
        tmv.tm_sec > 59 ? 59 : tmv.tm_sec);
}

bool ASNgenTime::isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool ASNgenTime::isValid() const {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 0 || year > 9999) return false;
    if (month < 1 || month > 12) return false;
    int dim = days[month - 1] + ((month == 2 && isLeapYear(year)) ? 1 : 0);
    if (day < 1 || day > dim) return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    if (hasFraction) {
        if (fractionDigits < 1 || fractionDigits > kMaxFractionDigits || fraction < 0) return false;
        int64_t limit = 1;
        for (int64_t i = 0; i < fractionDigits; i++) limit *= 10;
        if (fraction >= limit) return false;
    }
    if (offsetHours < -23 || offsetHours > 23 || offsetMinutes < -59 || offsetMinutes > 59)
        return false;
    if (offsetHours > 0 && offsetMinutes < 0) return false;
    if (offsetHours < 0 && offsetMinutes > 0) return false;
    return true;
}
