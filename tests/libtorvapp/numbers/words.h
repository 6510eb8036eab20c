// Small helpers for the kernel tests: word vectors and random operands.
#ifndef TESTS_LIBTORVAPP_NUMBERS_WORDS_H
#define TESTS_LIBTORVAPP_NUMBERS_WORDS_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/longv.h"
#include "tests/common/testsupport.h"

typedef std::vector<QvWord> Words;

// Random operand of n words with patterns that stress carries: plain random
// words, runs of all-ones or zero words, and a top word with its top bit set.
inline Words randomWords(std::mt19937_64 &rng, QvWordLen n) {
    Words w(n);
    unsigned mode = (unsigned)(rng() % 8);
    for (QvWordLen i = 0; i < n; ++i) {
        switch (mode) {
        case 0: w[i] = 0xFFFFFFFFu; break;
        case 1: w[i] = (rng() % 4 == 0) ? 0 : 0xFFFFFFFFu; break;
        case 2: w[i] = (rng() % 3 == 0) ? (QvWord)rng() : (rng() % 2 ? 0xFFFFFFFFu : 0); break;
        default: w[i] = (QvWord)rng(); break;
        }
    }
    if (n > 0) {
        if (rng() % 4 == 0) w[n - 1] |= 0x80000000u;
        if (rng() % 8 == 0) w[n - 1] = 0;  // a leading zero word is allowed
        if (rng() % 8 == 0) w[0] = 0;
    }
    return w;
}

inline Words fromU64(std::uint64_t v, QvWordLen n = 2) {
    Words w(n, 0);
    if (n > 0) w[0] = (QvWord)v;
    if (n > 1) w[1] = (QvWord)(v >> 32);
    return w;
}

inline std::string hexOf(const QvWord *a, QvWordLen n) {
    static const char *d = "0123456789abcdef";
    std::string s;
    for (QvWordLen i = n; i > 0; --i)
        for (int k = 28; k >= 0; k -= 4) s += d[(a[i - 1] >> k) & 0xF];
    return testsupport::WithoutLeadingZeros(s);
}

inline std::string hexOf(const Words &w) { return hexOf(w.data(), (QvWordLen)w.size()); }

#endif
