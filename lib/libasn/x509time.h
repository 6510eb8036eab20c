// The X.509 Time CHOICE (UTCTime or GeneralizedTime, or an implicitly tagged time)
// and the Validity SEQUENCE. Times parse and print both text forms with their
// optional parts, are validated, compared after bringing both to UTC, and converted
// to and from time_t. Everything here is thread-safe: conversions use the re-entrant
// C library calls and the library's own calendar arithmetic.
#pragma once

#include <cstdint>
#include <ctime>

#include "lib/libasn/asnbase.h"
#include "lib/libasn/asnchoice.h"

constexpr uint8_t TAG_UTCT_TIME = 23;
constexpr uint8_t TAG_GENERAL_TIME = 24;

// A SYSTEMTIME-style record (16-bit fields).
struct X509SystemTime {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

class X509time : public ASNobject {
public:
    // Most fraction digits accepted in a GeneralizedTime.
    static constexpr int kMaxFractionDigits = 10;
    // Failure value of the time_t conversions.
    static constexpr int64_t kBadTime = INT64_MIN;

    // 0: UTCTime; 23 or 24: that form; a class tag or TAG_ANY: an implicit tag (form
    // UTCTime until setType says otherwise). Any other universal tag is an error.
    explicit X509time(uint32_t tag = 0);
    X509time(const X509time& other);
    X509time& operator=(const X509time& other);
    ~X509time() override;

    // Accepts UTCTime and GeneralizedTime alike when the expected tag is universal;
    // an implicit tag accepts only itself.
    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    // Resumable decoding with the identifier rules of read.
    long readStreamed(GenericFile* src, GenericFile* out = nullptr) override;
    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    uint8_t defaultTag() const override { return timeType; }
    void digest_contents(QvHash* hash) const override;

    // 0 UTCTime, 1 GeneralizedTime (from the tag when it is 23 or 24, else from
    // timeType), -1 neither.
    int getType() const;
    // 0 UTCTime, 1 GeneralizedTime; a universal tag follows. Other values: UTCTime
    // form with the tag TAG_ANY.
    void setType(int form);

    // Parsers: the text length on success, 0 otherwise (object unchanged). len < 0:
    // up to the NUL.
    int parseUtcTime(const char* text, int len);
    int parseGeneralizedTime(const char* text, int len);
    // form in/out: 0 UTCTime, 1 GeneralizedTime, -1 (or NULL) either.
    int parse(const char* text, int len, int* form);
    // 0 when text parses as UTCTime, 1 as GeneralizedTime, -1 otherwise.
    static int classifyText(const char* text, int len);

    // The text form; without buf its length; with a buffer too small minus the length
    // (nothing written); else the length (no NUL is written).
    int encode(char* buf, int bufLen) const;

    // 1 when the fields form a valid time (strict: year <= 9999, a UTCTime within
    // 1950..2049), else 0.
    int isValid(bool strict) const;

    // Setters. A year below 100 is expanded (00..49 -> 2000s, 50..99 -> 1900s).
    // fraction: the decimal digits after the point as an integer (500 for .500).
    void set(int year, int month, int day, int hour, int minute, int second, uint32_t fraction,
             bool isUtc);
    void setFromTm(const struct tm* t, bool isUtc);
    void setWithOffset(int year, int month, int day, int hour, int minute, int second, int offHours,
                       int offMinutes);
    void setFromTimeT(time_t t, bool keepUtc);
    void setFromUnsignedTimeT(time_t t);

    // Orders a against b (negative, 0, positive) after bringing both to UTC. Not strict
    // compares to the minute, and the seconds only when both are UTCTimes with seconds;
    // strict compares seconds and fractions.
    static int compare(const X509time& a, const X509time& b, bool strict);
    bool operator==(const X509time& o) const { return compare(*this, o, true) == 0; }
    bool operator!=(const X509time& o) const { return compare(*this, o, true) != 0; }
    bool operator<(const X509time& o) const { return compare(*this, o, true) < 0; }
    bool operator>(const X509time& o) const { return compare(*this, o, true) > 0; }
    int compareWith(int year, int month, int day, int hour, int minute, int second, bool isUtc) const;
    int compareWithTm(const struct tm* t, bool isUtc) const;
    // Sign of (this - t), compared non-strictly.
    int compareWithTimeT(time_t t) const;
    bool differsFromTimeT(time_t t) const { return compareWithTimeT(t) != 0; }

    // Offset of this time from UTC in seconds (local minus UTC).
    long getUtcOffset() const;
    // Brings the time to UTC ('Z'), canonical and normalised.
    void toUtc();
    // Keeps the instant and shows it with the given offset.
    void setUtcOffset(long seconds);
    // Keeps the instant and shows it in the local time zone of that instant.
    void toLocal();
    void addDays(int n);
    // The instant as time_t; kBadTime when it cannot be represented.
    int64_t toTimeT() const;
    // The instant for times from 1970 on: 1 and *t, or 0. Without normalised the time
    // must be valid (strict); with it the fields are carried into range first.
    int toTimeTDirect(int64_t* t, bool normalised) const;
    void toTm(struct tm* out, bool normalised) const;

    // Calendar helpers.
    static bool isLeapYear(int y);
    static int daysInMonth(int y, int m);
    static int isValidDate(int y, int m, int d, bool strict);
    static int isValidDateTime(int y, int m, int d, int h, int mi, int s, bool strict);
    static int expandTwoDigitYear(int y);
    // Days since 1970-01-01 of a civil date (any year, proleptic Gregorian).
    static int64_t daysFromCivil(int64_t y, int m, int d);
    // The seconds of the day, or -1 when the year does not fit 32 bits.
    static long timeTToCivil(int64_t t, int* y, int* m, int* d, int* weekday, int* dayOfYear);
    static long unsignedTimeTToCivil(uint64_t t, int* y, int* m, int* d, int* weekday, int* dayOfYear);
    // Carries seconds of the day, days and months into range (both directions);
    // returns the month.
    static int normalizeCivil(int* y, int* m, int* d, long* secondsOfDay);
    // 100-ns intervals since 1601 to time_t: 1, or 0 for values before 1970.
    static int fileTimeToTimeT(uint64_t fileTime, int64_t* t);
    // SYSTEMTIME conversions; 0 for years outside 1601..30827.
    static int systemTimeToFields(const X509SystemTime& st, int* y, int* m, int* d, long* secondsOfDay);
    static int fieldsToSystemTime(int y, int m, int d, long secondsOfDay, X509SystemTime* st);
    // Local minus UTC, in seconds: now, at the instant t, and for local clock fields.
    static long currentLocalOffset();
    static long localOffsetAt(int64_t t);
    static long localOffsetForLocalFields(int y, int m, int d, int h, int mi, int s);

    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    uint64_t fraction;      // fraction digits as a decimal integer
    int fractionDigits;
    int offsetHours;
    int offsetMinutes;      // same sign as offsetHours
    uint8_t hasSeconds;
    uint8_t hasFraction;
    uint8_t isUtc;
    uint8_t hasOffset;
    uint8_t timeType;       // 23 or 24: the form when the tag does not say it

private:
    // The tag expected by a resumable decode in progress, and whether class tags were
    // accepted before it began.
    uint8_t m_streamExpected = 0;
    bool m_streamClassTag = false;

    // Whether a received time identifier fits the expected tag (as in read).
    static bool identifierFits(uint8_t expected, uint8_t got);
    void copyValue(const X509time& o);
    // Writes the text into buf (at least 64 octets); returns its length, -1 for an
    // invalid form.
    int format(char* buf) const;
    // Seconds of the day from the clock fields.
    long secondsOfDay() const { return static_cast<long>(hour) * 3600 + minute * 60L + second; }
    void setSecondsOfDay(long sod);
    void normalise();
};

// X.509 Validity: SEQUENCE { notBefore Time, notAfter Time }.
class Validity : public ASNsequenceF {
public:
    // timeTag: the tag both times are built with (0: UTCTime; a certificate's
    // TBSCertificate uses 24). Either form is accepted on decoding.
    explicit Validity(uint32_t tag = 0, uint32_t timeTag = 0);
    Validity(const Validity& other);
    Validity& operator=(const Validity& other);
    ~Validity() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    bool operator==(const Validity& o) const { return notBefore == o.notBefore && notAfter == o.notAfter; }
    bool operator!=(const Validity& o) const { return !(*this == o); }

    X509time notBefore;
    X509time notAfter;
};
