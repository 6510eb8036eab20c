// GeneralizedTime.
#pragma once

#include <cstdint>

#include "lib/libasn/asnbase.h"

class ASNgenTime : public ASNobject {
public:
    // Most fraction digits kept; more would not fit the 64-bit fraction value.
    static constexpr int kMaxFractionDigits = 18;
    // Longest text format produces (with its NUL).
    static constexpr int kMaxText = 14 + 1 + kMaxFractionDigits + 5 + 1;

    explicit ASNgenTime(uint32_t tag = 0);
    ASNgenTime(const ASNgenTime& other) = default;
    ASNgenTime& operator=(const ASNgenTime& other);

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    uint8_t defaultTag() const override { return 0x18; }
    void digest_contents(QvHash* hash) const override;

    // Two-digit years become 1950-2049. A fraction >= 0 with 1..18 digits (and below
    // 10^digits) sets the fraction and clears the offset; otherwise no fraction.
    void set(int year, int month, int day, int hour, int minute, int second, long fraction = -1,
             long digits = 0);
    void setNow();
    bool isValid() const;
    // The text form into out (at least kMaxText octets); returns its length.
    int format(char* out) const;
    // Gregorian rule.
    static bool isLeapYear(int year);

    int year, month, day, hour, minute, second;
    int64_t fraction;
    int64_t fractionDigits;
    bool hasFraction;
    int offsetHours, offsetMinutes;
};
