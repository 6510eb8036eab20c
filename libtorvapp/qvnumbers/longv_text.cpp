// Digit text to word arrays and back.  Decimal output goes through octal
// digits (linear to produce) converted in place by repeated subtraction
// (8x = 10x - 2x, several digits per pass), so no division of the whole
// array by ten is needed and no second buffer.
#include <cstdint>
#include <cstring>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

QvWordLen longvFromDecimal(QvWord *r, const char *text) {
    static const QvWord pow10[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
    r[0] = 0;
    QvWordLen count = 1;
    const char *p = text;
    while (*p != '\0') {
        QvWord v = 0;
        unsigned k = 0;
        while (k < 9 && *p != '\0') {
            v = v * 10 + (QvWord)(QvOctet)(*p - '0');
            ++p;
            ++k;
        }
        u64 carry = v;
        const u64 f = pow10[k];
        for (QvWordLen i = 0; i < count; ++i) {
            u64 t = (u64)r[i] * f + carry;
            r[i] = (QvWord)t;
            carry = t >> 32;
        }
        if (carry != 0) r[count++] = (QvWord)carry;
    }
    return count;
}

QvWordLen longvFromHex(QvWord *r, const char *text) {
    while (*text == '0') ++text;
    size_t len = std::strlen(text);
    if (len == 0) {
        r[0] = 0;
        return 1;
    }
    QvWordLen count = 0;
    while (len > 0) {
        size_t take = len < 8 ? len : 8;
        QvWord w = 0;
        for (size_t i = len - take; i < len; ++i) {
            QvOctet c = (QvOctet)text[i];
            QvWord d = c & 0x0F;
            if (c > 0x40) d += 9;
            w = (w << 4) | (d & 0x0F);
        }
        r[count++] = w;
        len -= take;
    }
    return count;
}

QvWordLen longvFromOctal(QvWord *r, const char *text) {
    r[0] = 0;
    QvWordLen count = 1;
    const char *p = text;
    while (*p != '\0') {
        QvWord v = 0;
        unsigned k = 0;
        while (k < 10 && *p != '\0') {
            v = (v << 3) | ((QvWord)(QvOctet)(*p - '0') & 7);
            ++p;
            ++k;
        }
        const QvWordLen s = 3 * k;
        if ((r[count - 1] >> (32 - s)) != 0) r[count++] = 0;
        longvShlBits(r, count, s);
        r[0] |= v;
    }
    return count;
}

void longvToOctal(char *text, const QvWord *a, QvWordLen n) {
    QvWordLen m = sigLen(a, n);
    if (m == 0) {
        text[0] = '0';
        text[1] = '\0';
        return;
    }
    size_t pos = 0;
    QvWordLen i = 0;
    // Three words are 96 bits, exactly 32 octal digits.
    for (; m - i > 3; i += 3) {
        u128 v = (u128)a[i] | ((u128)a[i + 1] << 32) | ((u128)a[i + 2] << 64);
        for (int d = 0; d < 32; ++d) {
            text[pos++] = (char)('0' + (unsigned)(v & 7));
            v >>= 3;
        }
    }
    u128 v = 0;
    for (QvWordLen j = m; j > i; --j) v = (v << 32) | a[j - 1];
    while (v != 0) {
        text[pos++] = (char)('0' + (unsigned)(v & 7));
        v >>= 3;
    }
    text[pos] = '\0';
    for (size_t lo = 0, hi = pos - 1; lo < hi; ++lo, --hi) {
        char t = text[lo];
        text[lo] = text[hi];
        text[hi] = t;
    }
}

void octalToDecimalText(char *text) {
    const size_t len = std::strlen(text);
    if (len <= 1) return;
    for (size_t i = 0; i < len; ++i) text[i] = (char)(text[i] - '0');
    // 8x = 10x - 2x, taken six digits at a time: 8^6 P = 10^6 P - 737856 P.
    // Invariant: the first k digits hold, in decimal, the value of the first
    // k octal digits.  The next j digits are first rewritten as the decimal
    // digits of their own octal value D (below 8^j, so j digits suffice);
    // the first k + j digits then read 10^j P + D, and subtracting
    // (10^j - 8^j) P, with decimal borrows, leaves 8^j P + D.
    static const std::int32_t kPow8[7] = {1, 8, 64, 512, 4096, 32768, 262144};
    static const std::int32_t kPow10[7] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    size_t k = 0;
    while (k < len) {
        const size_t j = (k == 0) ? (len % 6 == 0 ? 6 : len % 6) : 6;
        std::int32_t d = 0;
        for (size_t i = 0; i < j; ++i) d = d * 8 + text[k + i];
        for (size_t i = j; i > 0; --i) {
            text[k + i - 1] = (char)(d % 10);
            d /= 10;
        }
        if (k > 0) {
            const std::int32_t c = kPow10[j] - kPow8[j];
            std::int32_t borrow = 0;
            for (size_t p = k + j; p-- > j;) {
                std::int32_t v = text[p] - c * text[p - j] - borrow;
                borrow = v < 0 ? (9 - v) / 10 : 0;
                text[p] = (char)(v + 10 * borrow);
            }
            for (size_t p = j; p-- > 0 && borrow != 0;) {
                std::int32_t v = text[p] - borrow;
                borrow = v < 0 ? (9 - v) / 10 : 0;
                text[p] = (char)(v + 10 * borrow);
            }
        }
        k += j;
    }
    size_t start = 0;
    while (start + 1 < len && text[start] == 0) ++start;
    size_t out = 0;
    for (size_t i = start; i < len; ++i) text[out++] = (char)('0' + text[i]);
    text[out] = '\0';
}
