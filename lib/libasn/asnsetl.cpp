// Ordering of SET OF elements by their encodings.
#include "lib/libasn/asnsetl.h"

int asnCompareSetEncodings(const uint8_t* a, long lenA, const uint8_t* b, long lenB) {
    long n = lenA < lenB ? lenA : lenB;
    if (n > 0) {
        int c = std::memcmp(a, b, static_cast<size_t>(n));
        if (c != 0) return c < 0 ? -1 : 1;
    }
    // Equal up to the shorter one: the longer one is greater only when a non-zero
    // octet follows (the shorter counts as padded with zero octets).
    const uint8_t* rest = lenA > lenB ? a : b;
    long restLen = lenA > lenB ? lenA : lenB;
    for (long i = n; i < restLen; i++)
        if (rest[i] != 0) return lenA > lenB ? 1 : -1;
    return 0;
}
