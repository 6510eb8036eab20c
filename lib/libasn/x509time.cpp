// X.509 times (UTCTime / GeneralizedTime) and the Validity SEQUENCE.
#include "lib/libasn/x509time.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "support/vtest.h"

namespace {

const int kCumulativeDays[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Floor division and modulo for possibly negative values.
int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) q--;
    return q;
}
int64_t floorMod(int64_t a, int64_t b) { return a - floorDiv(a, b) * b; }

// Two decimal digits at p: their value, or -1.
int digitPair(const char* p) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int textLength(const char* text, int len) {
    if (text == nullptr) return -1;
    if (len < 0) {
        size_t n = std::strlen(text);
        return n > INT_MAX ? -1 : static_cast<int>(n);
    }
    return len;
}

// The zone part of a time text from position pos to the end: 1 and the zone, or 0.
// kind: 0 none (end of text), 1 'Z', 2 numeric offset.
int parseZone(const char* t, int pos, int len, int* kind, int* oh, int* om) {
    *oh = *om = 0;
    if (pos == len) {
        *kind = 0;
        return 1;
    }
    if (t[pos] == 'Z') {
        if (pos + 1 != len) return 0;
        *kind = 1;
        return 1;
    }
    if (t[pos] == '+' || t[pos] == '-') {
        if (pos + 5 != len) return 0;
        int h = digitPair(t + pos + 1), m = digitPair(t + pos + 3);
        if (h < 0 || h > 23 || m < 0 || m > 59) return 0;
        if (t[pos] == '-') {
            h = -h;
            m = -m;
        }
        *kind = 2;
        *oh = h;
        *om = m;
        return 1;
    }
    return 0;
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t* y, int* m, int* d) {
    z += 719468;
    int64_t era = floorDiv(z, 146097);
    int64_t doe = z - era * 146097;                                   // [0, 146096]
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    int64_t yy = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365]
    int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11]
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = yy + (*m <= 2 ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Calendar

bool X509time::isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int X509time::daysInMonth(int y, int m) {
    if (m < 1 || m > 12) return 0;
    return m == 2 && isLeapYear(y) ? 29 : kMonthDays[m - 1];
}

int X509time::isValidDate(int y, int m, int d, bool strict) {
    if (m < 1 || m > 12) return 0;
    if (d < 1 || d > daysInMonth(y, m)) return 0;
    if (strict && y > 9999) return 0;
    return 1;
}

int X509time::isValidDateTime(int y, int m, int d, int h, int mi, int s, bool strict) {
    if (!isValidDate(y, m, d, strict)) return 0;
    return h >= 0 && h < 24 && mi >= 0 && mi < 60 && s >= 0 && s < 60 ? 1 : 0;
}

int X509time::expandTwoDigitYear(int y) {
    if (y >= 0 && y < 50) return 2000 + y;
    if (y >= 50 && y < 100) return 1900 + y;
    return y;
}

int64_t X509time::daysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    int64_t era = floorDiv(y, 400);
    int64_t yoe = y - era * 400;                                       // [0, 399]
    int64_t mp = m > 2 ? m - 3 : m + 9;                                // March = 0
    int64_t doy = (153 * mp + 2) / 5 + d - 1;                          // [0, 365]
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;               // [0, 146096]
    return era * 146097 + doe - 719468;
}

long X509time::timeTToCivil(int64_t t, int* y, int* m, int* d, int* weekday, int* dayOfYear) {
    int64_t days = floorDiv(t, 86400);
    long sod = static_cast<long>(t - days * 86400);
    int64_t yy;
    int mm, dd;
    civilFromDays(days, &yy, &mm, &dd);
    if (yy < INT_MIN || yy > INT_MAX) return -1;
    if (y) *y = static_cast<int>(yy);
    if (m) *m = mm;
    if (d) *d = dd;
    if (weekday) *weekday = static_cast<int>(floorMod(days + 4, 7));
    if (dayOfYear)
        *dayOfYear = kCumulativeDays[mm - 1] + dd - 1 + (mm > 2 && isLeapYear(static_cast<int>(yy)) ? 1 : 0);
    return sod;
}

long X509time::unsignedTimeTToCivil(uint64_t t, int* y, int* m, int* d, int* weekday, int* dayOfYear) {
    if (t > static_cast<uint64_t>(INT64_MAX)) return -1;
    return timeTToCivil(static_cast<int64_t>(t), y, m, d, weekday, dayOfYear);
}

int X509time::normalizeCivil(int* y, int* m, int* d, long* secondsOfDay) {
    int64_t carry = floorDiv(*secondsOfDay, 86400);
    *secondsOfDay = static_cast<long>(floorMod(*secondsOfDay, 86400));
    int64_t mon0 = static_cast<int64_t>(*m) - 1;
    int64_t yy = *y + floorDiv(mon0, 12);
    int mm = static_cast<int>(floorMod(mon0, 12)) + 1;
    int64_t days = daysFromCivil(yy, mm, 1) + (static_cast<int64_t>(*d) - 1) + carry;
    int dd;
    civilFromDays(days, &yy, &mm, &dd);
    if (yy < INT_MIN) yy = INT_MIN;
    if (yy > INT_MAX) yy = INT_MAX;
    *y = static_cast<int>(yy);
    *m = mm;
    *d = dd;
    return mm;
}

int X509time::fileTimeToTimeT(uint64_t fileTime, int64_t* t) {
    const uint64_t epoch = 116444736000000000ULL;
    if (fileTime < epoch) {
        if (t) *t = 0;
        return 0;
    }
    if (t) *t = static_cast<int64_t>((fileTime - epoch) / 10000000ULL);
    return 1;
}

int X509time::systemTimeToFields(const X509SystemTime& st, int* y, int* m, int* d, long* sod) {
    if (st.wYear < 1601 || st.wYear > 30827) return 0;
    *y = st.wYear;
    *m = st.wMonth;
    *d = st.wDay;
    *sod = st.wHour * 3600L + st.wMinute * 60L + st.wSecond;
    return 1;
}

int X509time::fieldsToSystemTime(int y, int m, int d, long sod, X509SystemTime* st) {
    if (y < 1601 || y > 30827 || st == nullptr) return 0;
    st->wYear = static_cast<uint16_t>(y);
    st->wMonth = static_cast<uint16_t>(m);
    st->wDayOfWeek = 0;
    st->wDay = static_cast<uint16_t>(d);
    st->wHour = static_cast<uint16_t>(sod / 3600);
    st->wMinute = static_cast<uint16_t>((sod / 60) % 60);
    st->wSecond = static_cast<uint16_t>(sod % 60);
    st->wMilliseconds = 0;
    return 1;
}

long X509time::localOffsetAt(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm lt;
    if (localtime_r(&tt, &lt) == nullptr) return 0;
    int64_t local = daysFromCivil(lt.tm_year + 1900LL, lt.tm_mon + 1, lt.tm_mday) * 86400 +
                    lt.tm_hour * 3600LL + lt.tm_min * 60LL + lt.tm_sec;
    return static_cast<long>(local - t);
}

long X509time::currentLocalOffset() { return localOffsetAt(static_cast<int64_t>(time(nullptr))); }

long X509time::localOffsetForLocalFields(int y, int m, int d, int h, int mi, int s) {
    struct tm lt;
    std::memset(&lt, 0, sizeof lt);
    lt.tm_year = (y < 1970 ? 2000 : y) - 1900;
    lt.tm_mon = m - 1;
    lt.tm_mday = d;
    lt.tm_hour = h;
    lt.tm_min = mi;
    lt.tm_sec = s;
    // Let the zone rules decide whether summer time applies at that moment.
    lt.tm_isdst = -1;
    time_t t = mktime(&lt);
    if (t == static_cast<time_t>(-1)) return 0;
    return localOffsetAt(static_cast<int64_t>(t));
}

// ---------------------------------------------------------------------------
// Object

X509time::X509time(uint32_t t) : ASNobject(t == 0 ? TAG_UTCT_TIME : t) {
    uint8_t tg = static_cast<uint8_t>(t == 0 ? TAG_UTCT_TIME : t);
    if (tg == TAG_ANY || (tg & ASN_CLASS_MASK) != 0) {
        timeType = TAG_UTCT_TIME;
    } else {
        AssertInvariant(tg == TAG_UTCT_TIME || tg == TAG_GENERAL_TIME, "x509time", 160,
                        "tag == TAG_UTCT_TIME || tag == TAG_GENERAL_TIME", nullptr);
        timeType = tg;
    }
    clear();
}

X509time::X509time(const X509time& other) : ASNobject(other) {
    timeType = TAG_UTCT_TIME;
    copyValue(other);
    setType(other.getType());
}

X509time& X509time::operator=(const X509time& other) {
    if (this != &other) {
        assertNotConst("x509time", 180, "!( flags & ASN_FLAG_CONST )");
        copyValue(other);
        tag = other.tag;
        timeType = other.timeType;
        if ((tag & ASN_CLASS_MASK) != 0 || tag == TAG_ANY)
            flags |= ASN_FLAG_CLASSTAG;
        else
            flags &= ~ASN_FLAG_CLASSTAG;
    }
    return *this;
}

X509time::~X509time() = default;

void X509time::copyValue(const X509time& o) {
    year = o.year;
    month = o.month;
    day = o.day;
    hour = o.hour;
    minute = o.minute;
    second = o.second;
    fraction = o.fraction;
    fractionDigits = o.fractionDigits;
    offsetHours = o.offsetHours;
    offsetMinutes = o.offsetMinutes;
    hasSeconds = o.hasSeconds;
    hasFraction = o.hasFraction;
    isUtc = o.isUtc;
    hasOffset = o.hasOffset;
}

void X509time::clear() {
    year = month = day = hour = minute = second = 0;
    fraction = 0;
    fractionDigits = 0;
    offsetHours = offsetMinutes = 0;
    isUtc = 1;
    hasSeconds = 1;
    hasOffset = 0;
    hasFraction = 0;
}

int X509time::getType() const {
    if (tag == TAG_UTCT_TIME) return 0;
    if (tag == TAG_GENERAL_TIME) return 1;
    if (timeType == TAG_UTCT_TIME) return 0;
    if (timeType == TAG_GENERAL_TIME) return 1;
    return -1;
}

void X509time::setType(int form) {
    bool universal = tag != TAG_ANY && (tag & ASN_CLASS_MASK) == 0;
    if (form == 0 || form == 1) {
        timeType = form == 0 ? TAG_UTCT_TIME : TAG_GENERAL_TIME;
        if (universal) tag = timeType;
    } else {
        timeType = TAG_UTCT_TIME;
        tag = TAG_ANY;
        flags |= ASN_FLAG_CLASSTAG;
    }
}

bool X509time::identifierFits(uint8_t expected, uint8_t got) {
    if (got == TAG_ANY || (got & ASN_CONSTRUCTED) != 0) return false;
    if (expected == TAG_ANY) return true;
    if ((expected & ASN_CLASS_MASK) == 0) return got == TAG_UTCT_TIME || got == TAG_GENERAL_TIME;
    return got == expected;
}

long X509time::read(GenericFile* src, long maxLen, uint8_t rflags) {
    uint8_t expected = tag;
    uint32_t savedFlags = flags;
    tag = TAG_ANY;
    flags |= ASN_FLAG_CLASSTAG;
    long r = ASNobject::read(src, maxLen, rflags);
    uint8_t got = tag;
    bool ok = r > 0 && identifierFits(expected, got);
    flags = (flags & ~ASN_FLAG_CLASSTAG) | (savedFlags & ASN_FLAG_CLASSTAG);
    if (!ok) {
        tag = expected;
        return r < 0 ? r : 0;
    }
    // A universal time takes the form it was received in.
    if (expected != TAG_ANY && (expected & ASN_CLASS_MASK) == 0) timeType = got;
    return r;
}

long X509time::readStreamed(GenericFile* src, GenericFile* out) {
    if (streamCtx != nullptr && streamCtx->complete) return 0;
    // Before the identifier arrives any time identifier is let through, as in read;
    // the expected tag is kept aside until the decode ends.
    if (streamCtx == nullptr || streamCtx->headerState == 0) {
        m_streamExpected = tag;
        m_streamClassTag = (flags & ASN_FLAG_CLASSTAG) != 0;
        tag = TAG_ANY;
        flags |= ASN_FLAG_CLASSTAG;
    }
    const uint8_t expected = m_streamExpected;
    long r = ASNobject::readStreamed(src, out);
    bool identified = streamCtx != nullptr && streamCtx->headerState != 0;
    if (r == EASN_MORE && identified && identifierFits(expected, tag)) return r;
    flags = m_streamClassTag ? (flags | ASN_FLAG_CLASSTAG) : (flags & ~ASN_FLAG_CLASSTAG);
    if (r == EASN_MORE && !identified) {
        tag = expected;  // nothing taken yet: the next call starts afresh
        return r;
    }
    if (r < 1 || !identifierFits(expected, tag)) {
        tag = expected;
        if (streamCtx != nullptr) streamCtx->complete = true;  // later calls give 0 as well
        return r < 1 && r != EASN_MORE ? r : 0;
    }
    // A universal time takes the form it was received in.
    if (expected != TAG_ANY && (expected & ASN_CLASS_MASK) == 0) timeType = tag;
    return r;
}

int X509time::read_contents(GenericFile* src, long len) {
    if (len < 0 || len > 128) return 0;
    char buf[129];
    if (len > 0) {
        size_t got = 0;
        if (src->Read(static_cast<size_t>(len), buf, &got) != 0 || got != static_cast<size_t>(len))
            return EASN_FILE;
    }
    int n = static_cast<int>(len);
    int form = getType();
    if (form == 0 || form == -1) {
        if (parseUtcTime(buf, n) > 0) return 1;
        if (form == 0) return 0;
    }
    return parseGeneralizedTime(buf, n) > 0 ? 1 : 0;
}

int X509time::parseUtcTime(const char* text, int len) {
    len = textLength(text, len);
    if (len < 11 || len > 17) return 0;
    int yy = digitPair(text), mo = digitPair(text + 2), d = digitPair(text + 4);
    int h = digitPair(text + 6), mi = digitPair(text + 8);
    if (yy < 0 || mo < 0 || d < 0 || h < 0 || mi < 0) return 0;
    int y = expandTwoDigitYear(yy);
    if (!isValidDate(y, mo, d, false) || h > 23 || mi > 59) return 0;
    int pos = 10, s = 0;
    uint8_t withSeconds = 0;
    if (isDigit(text[10])) {
        if (len < 12) return 0;
        s = digitPair(text + 10);
        if (s < 0 || s > 59) return 0;
        withSeconds = 1;
        pos = 12;
    }
    if (pos == len) return 0;  // a UTCTime always names its zone
    int kind, oh, om;
    if (!parseZone(text, pos, len, &kind, &oh, &om) || kind == 0) return 0;
    year = y;
    month = mo;
    day = d;
    hour = h;
    minute = mi;
    second = s;
    hasSeconds = withSeconds;
    isUtc = kind == 1;
    hasOffset = kind == 2;
    offsetHours = oh;
    offsetMinutes = om;
    fraction = 0;
    fractionDigits = 0;
    hasFraction = 0;
    return len;
}

int X509time::parseGeneralizedTime(const char* text, int len) {
    len = textLength(text, len);
    if (len < 14) return 0;
    int yh = digitPair(text), yl = digitPair(text + 2), mo = digitPair(text + 4), d = digitPair(text + 6);
    int h = digitPair(text + 8), mi = digitPair(text + 10), s = digitPair(text + 12);
    if (yh < 0 || yl < 0 || mo < 0 || d < 0 || h < 0 || mi < 0) return 0;
    // Seconds must be digits; their range is left to isValid.
    if (s < 0) return 0;
    int y = yh * 100 + yl;
    if (!isValidDate(y, mo, d, false) || h > 23 || mi > 59) return 0;
    int pos = 14;
    uint64_t frac = 0;
    int digits = 0;
    uint8_t withFraction = 0;
    if (pos < len && (text[pos] == '.' || text[pos] == ',')) {
        pos++;
        if (pos >= len || !isDigit(text[pos])) return 0;
        while (pos < len && isDigit(text[pos])) {
            if (digits == kMaxFractionDigits) return 0;
            frac = frac * 10 + static_cast<uint64_t>(text[pos] - '0');
            digits++;
            pos++;
        }
        withFraction = 1;
    }
    int kind, oh, om;
    if (!parseZone(text, pos, len, &kind, &oh, &om)) return 0;
    year = y;
    month = mo;
    day = d;
    hour = h;
    minute = mi;
    second = s;
    hasSeconds = 1;
    fraction = frac;
    fractionDigits = digits;
    hasFraction = withFraction;
    isUtc = kind == 1;
    hasOffset = kind == 2;
    offsetHours = oh;
    offsetMinutes = om;
    return len;
}

int X509time::parse(const char* text, int len, int* form) {
    int f = form != nullptr ? *form : -1;
    int r = 0;
    int result = -1;
    if (f == 0 || f == -1) {
        r = parseUtcTime(text, len);
        if (r > 0) result = 0;
    }
    if (r == 0 && (f == 1 || f == -1)) {
        r = parseGeneralizedTime(text, len);
        if (r > 0) result = 1;
    }
    if (form != nullptr) *form = result;
    return result < 0 ? 0 : r;
}

int X509time::classifyText(const char* text, int len) {
    X509time t;
    if (t.parseUtcTime(text, len) > 0) return 0;
    if (t.parseGeneralizedTime(text, len) > 0) return 1;
    return -1;
}

int X509time::format(char* buf) const {
    int form = getType();
    int n;
    if (form == 0) {
        int yy = static_cast<int>(floorMod(year, 100));
        n = std::snprintf(buf, 64, "%02d%02d%02d%02d%02d", yy, month, day, hour, minute);
        if (hasSeconds) n += std::snprintf(buf + n, 64 - static_cast<size_t>(n), "%02d", second);
    } else if (form == 1) {
        n = std::snprintf(buf, 64, "%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute, second);
        if (fraction != 0 || hasFraction)
            n += std::snprintf(buf + n, 64 - static_cast<size_t>(n), ".%0*llu", fractionDigits < 0 ? 0 : fractionDigits,
                               static_cast<unsigned long long>(fraction));
    } else {
        return -1;
    }
    if (isUtc) {
        buf[n++] = 'Z';
        buf[n] = 0;
    } else if (hasOffset) {
        bool neg = offsetHours < 0 || offsetMinutes < 0;
        int oh = offsetHours < 0 ? -offsetHours : offsetHours;
        int om = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        n += std::snprintf(buf + n, 64 - static_cast<size_t>(n), "%c%02d%02d", neg ? '-' : '+', oh % 100, om % 100);
    }
    return n;
}

int X509time::encode(char* buf, int bufLen) const {
    char tmp[96];
    int n = format(tmp);
    if (n < 0) {
        AssertInvariant(0, "x509time", 620, "0", "X509time::encode(): invalid type of X509time!!!");
        return 0;
    }
    if (buf == nullptr) return n;
    if (bufLen < n) return -n;
    std::memcpy(buf, tmp, static_cast<size_t>(n));
    return n;
}

long X509time::lenOfBody() const { return encode(nullptr, 0); }

int X509time::write_contents(GenericFile* dst) const {
    char tmp[96];
    int n = encode(tmp, static_cast<int>(sizeof tmp));
    if (n <= 0) return 0;
    return asnWriteAll(dst, tmp, static_cast<size_t>(n)) == 1 ? 1 : EASN_FILE;
}

void X509time::digest_contents(QvHash* hash) const {
    char tmp[96];
    int n = encode(tmp, static_cast<int>(sizeof tmp));
    if (n > 0) hashUpdate(reinterpret_cast<const uint8_t*>(tmp), n, hash);
}

int X509time::isValid(bool strict) const {
    int s = second;
    if (!isValidDateTime(year, month, day, hour, minute, s, strict)) return 0;
    int form = getType();
    if (strict && form == 0 && (year < 1950 || year > 2049)) return 0;
    if (hasOffset) {
        if (offsetHours < -12 || offsetHours > 14) return 0;
        if (offsetMinutes < -59 || offsetMinutes > 59) return 0;
        if ((offsetHours < 0 && offsetMinutes > 0) || (offsetHours > 0 && offsetMinutes < 0)) return 0;
    }
    if (hasFraction && form == 1) {
        if (fractionDigits < 0 || fractionDigits > kMaxFractionDigits) return 0;
        if (fraction > 0x7FFFFFFFULL) return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Setting values

void X509time::set(int y, int mo, int d, int h, int mi, int s, uint32_t frac, bool utc) {
    clear();
    year = y < 100 ? expandTwoDigitYear(y) : y;
    month = mo;
    day = d;
    hour = h;
    minute = mi;
    second = s;
    fraction = frac;
    // The digit count follows the value, so that the text reads back as the same time.
    fractionDigits = 0;
    for (uint32_t f = frac; f != 0; f /= 10) fractionDigits++;
    hasFraction = frac != 0;
    hasSeconds = 1;
    isUtc = utc;
    if (!utc) {
        long off = localOffsetForLocalFields(year, month, day, hour, minute, second);
        hasOffset = 1;
        offsetHours = static_cast<int>(off / 3600);
        offsetMinutes = static_cast<int>((off / 60) % 60);
    }
    if (year < 1950 || year > 2049) setType(1);
}

void X509time::setFromTm(const struct tm* t, bool utc) {
    if (t == nullptr) return;
    set(t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, 0, utc);
}

void X509time::setWithOffset(int y, int mo, int d, int h, int mi, int s, int oh, int om) {
    clear();
    year = y < 100 ? expandTwoDigitYear(y) : y;
    month = mo;
    day = d;
    hour = h;
    minute = mi;
    second = s;
    hasSeconds = 1;
    isUtc = 0;
    hasOffset = 1;
    offsetHours = oh;
    offsetMinutes = om;
}

void X509time::setFromTimeT(time_t t, bool keepUtc) {
    int y, m, d;
    long sod = timeTToCivil(static_cast<int64_t>(t), &y, &m, &d, nullptr, nullptr);
    if (sod < 0) return;
    set(y, m, d, static_cast<int>(sod / 3600), static_cast<int>((sod / 60) % 60), static_cast<int>(sod % 60), 0,
        true);
    // set expands years below 100; a time_t in the first century stays as it is.
    year = y;
    if (year < 1950 || year > 2049) setType(1);
    if (!keepUtc) toLocal();
}

void X509time::setFromUnsignedTimeT(time_t t) {
    int y, m, d;
    long sod = timeTToCivil(static_cast<int64_t>(t), &y, &m, &d, nullptr, nullptr);
    if (sod < 0) return;
    clear();
    year = y;
    month = m;
    day = d;
    setSecondsOfDay(sod);
    hasSeconds = 1;
    isUtc = 1;
    if (year < 1950 || year > 2049) setType(1);
}

// ---------------------------------------------------------------------------
// Offsets, normalisation and conversions

void X509time::setSecondsOfDay(long sod) {
    hour = static_cast<int>(sod / 3600);
    minute = static_cast<int>((sod / 60) % 60);
    second = static_cast<int>(sod % 60);
}

void X509time::normalise() {
    long sod = secondsOfDay();
    normalizeCivil(&year, &month, &day, &sod);
    setSecondsOfDay(sod);
}

long X509time::getUtcOffset() const {
    if (isUtc) return 0;
    if (!hasOffset) return localOffsetForLocalFields(year, month, day, hour, minute, second);
    return offsetHours * 3600L + offsetMinutes * 60L;
}

void X509time::toUtc() {
    if (!isUtc) {
        long off = getUtcOffset();
        long sod = secondsOfDay() - off;
        normalizeCivil(&year, &month, &day, &sod);
        setSecondsOfDay(sod);
        isUtc = 1;
        hasOffset = 0;
        offsetHours = offsetMinutes = 0;
    }
    if (getType() == 0) {
        if (!hasSeconds) {
            second = 0;
            hasSeconds = 1;
        }
        fraction = 0;
        fractionDigits = 0;
        hasFraction = 0;
    } else {
        while (fractionDigits > 0 && fraction % 10 == 0) {
            fraction /= 10;
            fractionDigits--;
        }
        if (fraction == 0) {
            fractionDigits = 0;
            hasFraction = 0;
        }
    }
    normalise();
}

void X509time::setUtcOffset(long seconds) {
    long cur = getUtcOffset();
    if (seconds != cur) {
        long sod = secondsOfDay() + (seconds - cur);
        normalizeCivil(&year, &month, &day, &sod);
        setSecondsOfDay(sod);
    }
    hasOffset = 1;
    isUtc = 0;
    offsetHours = static_cast<int>(seconds / 3600);
    offsetMinutes = static_cast<int>((seconds / 60) % 60);
}

void X509time::toLocal() {
    int64_t t = toTimeT();
    if (t == kBadTime) return;
    setUtcOffset(localOffsetAt(t));
}

void X509time::addDays(int n) {
    long sod = secondsOfDay();
    int64_t d = static_cast<int64_t>(day) + n;
    if (d > INT_MAX / 2 || d < INT_MIN / 2) return;
    day = static_cast<int>(d);
    normalizeCivil(&year, &month, &day, &sod);
    setSecondsOfDay(sod);
}

int64_t X509time::toTimeT() const {
    X509time u(*this);
    u.toUtc();
    int64_t days = daysFromCivil(u.year, u.month, u.day);
    if (days > INT64_MAX / 86400 - 1 || days < INT64_MIN / 86400 + 1) return kBadTime;
    return days * 86400 + u.secondsOfDay();
}

int X509time::toTimeTDirect(int64_t* t, bool normalised) const {
    X509time c(*this);
    if (normalised)
        c.normalise();
    else if (!c.isValid(true))
        return 0;
    if (c.year < 1970) return 0;
    int64_t days = daysFromCivil(c.year, c.month, c.day);
    int64_t v = days * 86400 + c.secondsOfDay() - c.getUtcOffset();
    if (v < 0) return 0;
    if (t) *t = v;
    return 1;
}

void X509time::toTm(struct tm* out, bool normalised) const {
    if (out == nullptr) return;
    X509time c(*this);
    if (normalised) c.normalise();
    std::memset(out, 0, sizeof *out);
    out->tm_year = c.year - 1900;
    out->tm_mon = c.month - 1;
    out->tm_mday = c.day;
    out->tm_hour = c.hour;
    out->tm_min = c.minute;
    out->tm_sec = c.second;
    if (isValidDate(c.year, c.month, c.day, false)) {
        int64_t days = daysFromCivil(c.year, c.month, c.day);
        out->tm_wday = static_cast<int>(floorMod(days + 4, 7));
        out->tm_yday = kCumulativeDays[c.month - 1] + c.day - 1 + (c.month > 2 && isLeapYear(c.year) ? 1 : 0);
    }
    out->tm_isdst = -1;
}

// ---------------------------------------------------------------------------
// Comparison

int X509time::compare(const X509time& a, const X509time& b, bool strict) {
    X509time x(a), y(b);
    x.toUtc();
    y.toUtc();
    const int fx[5] = {x.year, x.month, x.day, x.hour, x.minute};
    const int fy[5] = {y.year, y.month, y.day, y.hour, y.minute};
    for (int i = 0; i < 5; i++)
        if (fx[i] != fy[i]) return fx[i] < fy[i] ? -1 : 1;
    int fa = a.getType(), fb = b.getType();
    if (!strict) {
        if (!a.hasSeconds || !b.hasSeconds || fa == 1 || fb == 1) return 0;
        return x.second == y.second ? 0 : (x.second < y.second ? -1 : 1);
    }
    if (x.second != y.second) return x.second < y.second ? -1 : 1;
    if (fa == 0 && fb == 0) return 0;
    bool fracX = x.fraction != 0 && x.fractionDigits != 0;
    bool fracY = y.fraction != 0 && y.fractionDigits != 0;
    if (!fracX && !fracY) return 0;
    uint64_t vx = fracX ? x.fraction : 0, vy = fracY ? y.fraction : 0;
    int dx = fracX ? x.fractionDigits : 0, dy = fracY ? y.fractionDigits : 0;
    while (dx < dy) {
        vx *= 10;
        dx++;
    }
    while (dy < dx) {
        vy *= 10;
        dy++;
    }
    return vx == vy ? 0 : (vx < vy ? -1 : 1);
}

int X509time::compareWith(int y, int mo, int d, int h, int mi, int s, bool utc) const {
    X509time t(*this);
    t.set(y, mo, d, h, mi, s, 0, utc);
    t.setType(getType());
    return compare(*this, t, false);
}

int X509time::compareWithTm(const struct tm* tmv, bool utc) const {
    if (tmv == nullptr) return 1;
    return compareWith(tmv->tm_year + 1900, tmv->tm_mon + 1, tmv->tm_mday, tmv->tm_hour, tmv->tm_min,
                       tmv->tm_sec, utc);
}

int X509time::compareWithTimeT(time_t t) const {
    X509time u(0);
    u.setFromTimeT(t, true);
    u.setType(getType());
    int c = compare(*this, u, false);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Validity

Validity::Validity(uint32_t t, uint32_t timeTag) : ASNsequenceF(t), notBefore(timeTag), notAfter(timeTag) {}

Validity::Validity(const Validity& o) : ASNsequenceF(o), notBefore(o.notBefore), notAfter(o.notAfter) {}

Validity& Validity::operator=(const Validity& o) {
    if (this != &o) {
        assertNotConst("x509time", 900, "!( flags & ASN_FLAG_CONST )");
        notBefore = o.notBefore;
        notAfter = o.notAfter;
    }
    return *this;
}

Validity::~Validity() = default;

void Validity::clear() {
    notBefore.clear();
    notAfter.clear();
}

int Validity::read_contents(GenericFile* src, long len) {
    if (len < 4) return 0;
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long a = notBefore.read(src, len, f);
    if (a < 1) return static_cast<int>(a);
    if (len - a < 2) return 0;
    long b = notAfter.read(src, len - a, f);
    if (b < 1) return static_cast<int>(b);
    return a + b == len ? 1 : 0;
}

int Validity::write_contents(GenericFile* dst) const {
    long r = notBefore.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = notAfter.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long Validity::lenOfBody() const { return notBefore.lenOfObject() + notAfter.lenOfObject(); }

void Validity::digest_contents(QvHash* hash) const {
    notBefore.digestObject(hash);
    notAfter.digestObject(hash);
}
