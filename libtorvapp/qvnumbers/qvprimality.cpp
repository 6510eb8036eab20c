// The strong-pseudoprime test.
#include "libtorvapp/qvnumbers/qvprimality.h"

#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

// -1 when n is 13 or more, else the answer for the small value.
int smallValue(const QvN &n) {
    if (n.getWordCount() > 1 || n.getLowestWord() >= 13) return -1;
    static const int answer[13] = {0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0};
    return answer[n.getLowestWord()];
}

}  // namespace

int isStrongProbablePrime(const QvN &n, const QvN *bases, unsigned int count) {
    const int small = smallValue(n);
    if (small >= 0) return small;
    if (n.isEven()) return 0;
    const QvModulus M(n, QvModulus::OPT_MONTGOMERY);
    QvN d = n - 1u;
    unsigned int s = 0;
    while (d.isEven()) {
        d >>= 1;
        ++s;
    }
    const QvZn minusOne(-1, &M);
    for (unsigned int b = count; b-- > 0;) {
        const QvN &a = bases[b];
        if ((n | a)) continue;
        const QvN g = gcd(n, a);
        if (g > 1u && g < n) return 0;
        QvZn x = QvZn(a, &M) ^ d;
        if (x == 1u) continue;
        bool passed = false;
        for (unsigned int i = 0; i < s; ++i) {
            if (x == minusOne) {
                passed = true;
                break;
            }
            if (x == 1u) return 0;
            x *= x;
        }
        if (!passed) return 0;
    }
    return 1;
}

int isStrongProbablePrime(const QvN &n, const QvN &base) { return isStrongProbablePrime(n, &base, 1); }
