// Deterministic Jacobi-sums primality proof.  For each prime q with (q-1)
// dividing t the characters of order p^k of (Z/qZ)* are checked through the
// Jacobi sums in Z_N[zeta_(p^k)]; the l_p conditions are completed with
// extra primes q when needed; a final trial division by the powers of N
// modulo e (e^2 > N) rules out every divisor.
#include "libtorvapp/qvnumbers/qvjacobisumstest.h"

#include <memory>
#include <new>
#include <vector>

#include "libtorvapp/qvnumbers/qvcyclotomic.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

struct Band {
    unsigned int maxBits;
    QvWord t;
};

const Band kBands[] = {
    {17, 6},          {31, 12},         {33, 24},         {43, 48},         {53, 36},         {64, 60},
    {77, 120},        {101, 180},       {103, 240},       {107, 504},       {126, 360},       {135, 420},
    {152, 720},       {164, 840},       {167, 1440},      {204, 1260},      {220, 1680},      {268, 2520},
    {277, 3360},      {344, 5040},      {384, 13860},     {423, 10080},     {441, 16380},     {446, 21840},
    {496, 18480},     {525, 27720},     {583, 32760},     {620, 36960},     {704, 55440},     {764, 65520},
    {774, 98280},     {906, 110880},    {1002, 131040},   {1035, 166320},   {1117, 196560},   {1139, 262080},
    {1194, 277200},   {1224, 360360},   {1259, 480480},   {1366, 332640},   {1428, 554400},   {1566, 720720},
    {1575, 665280},   {1656, 831600},   {1732, 1113840},  {1988, 1441440},  {2082, 1663200},  {2158, 2227680},
    {2306, 2162160},  {2361, 2827440},  {2498, 3326400},  {2619, 3603600},  {2729, 6126120},  {3008, 4324320},
    {3101, 6683040},  {3261, 7207200},  {3276, 11138400}, {3491, 8648640},
};

const QvWord kOddPrimes[] = {3, 5, 7, 11, 13, 17};

// Result of one character check: 0 composite, 1 nothing learned, 2 the
// element was a primitive root of unity.
struct Prover {
    const QvN &n;
    QvN nOver;        // scratch
    QvModulus mod;    // N with Montgomery reduction
    QvN halfNm1;      // (N - 1) / 2

    explicit Prover(const QvN &nn) : n(nn), nOver(), mod(nn, 8), halfNm1((nn - 1) >> 1) {}

    bool qPowerIsMinusOne(QvWord q)
    {
        QvZn x(QvN(q, 1), &mod);
        x ^= halfNm1;
        return x.asQvN() == n - 1;
    }

    // theta[x^-1] = x, alpha[x^-1] = floor(x r / m) over the x in 1 .. m-1
    // that `take` accepts.
    template <class Take>
    void vectors(QvWord m, QvWord p, QvWord r, Take take, std::vector<QvWord> &theta, std::vector<QvWord> &alpha)
    {
        theta.assign(m, 0);
        alpha.assign(m, 0);
        for (QvWord x = 1; x < m; ++x) {
            if (!take(x)) continue;
            const QvWord inv = invModPrimePower(x, p, m);
            theta[inv] = x;
            alpha[inv] = static_cast<QvWord>(static_cast<std::uint64_t>(x) * r / m);
        }
    }

    // S = (J^theta)^floor(N/m) * J^alpha.
    QvCyclotomicRing jacobiPower(const QvCyclotomicRing &j, QvWord m, const std::vector<QvWord> &theta,
                                 const std::vector<QvWord> &alpha)
    {
        QvCyclotomicRing s = galoisProduct(j, theta.data());
        s.power(n / m);
        s *= galoisProduct(j, alpha.data());
        return s;
    }

    int checkTwoHigh(const QvQJacobiSums &js, unsigned int k)
    {
        const QvWord m = static_cast<QvWord>(1) << k;
        const QvWord r = (n % m).getLowestWord();
        QvCyclotomicExtension ext(m, 2, n);
        QvCyclotomicRing j(js.getJ(2), m, &ext);
        j *= QvCyclotomicRing(js.getJ3(), m, &ext);
        QvCyclotomicRing j2(js.getJ2(), m, &ext);
        std::vector<QvWord> theta, alpha;
        vectors(m, 2, r, [](QvWord x) { return x % 8 == 1 || x % 8 == 3; }, theta, alpha);
        QvCyclotomicRing s = jacobiPower(j, m, theta, alpha);
        const QvWord n8 = (n % 8u).getLowestWord();
        if (n8 == 5 || n8 == 7) {
            s *= j2;
            s *= j2;
        }
        return rootOfUnityCheck(s, 2, m);
    }

    int checkTwoLow(const QvQJacobiSums &js)
    {
        QvCyclotomicExtension ext(4, 2, n);
        QvCyclotomicRing j(js.getJ(2), 4, &ext);
        QvCyclotomicRing j2(j);
        j2 *= j;
        QvCyclotomicRing s(j2);
        s *= js.getQ();
        s.power(n / 4);
        if (n % 4 == 3) s *= j2;
        return rootOfUnityCheck(s, 2, 4);
    }

    int checkOdd(const QvQJacobiSums &js, QvWord p)
    {
        const QvWord m = js.getPower(p);
        const QvWord r = (n % m).getLowestWord();
        QvCyclotomicExtension ext(m, p, n);
        QvCyclotomicRing j(js.getJ(p), m, &ext);
        std::vector<QvWord> theta, alpha;
        vectors(m, p, r, [p](QvWord x) { return x % p != 0; }, theta, alpha);
        return rootOfUnityCheck(jacobiPower(j, m, theta, alpha), p, m);
    }
};

unsigned int v2(QvWord x)
{
    unsigned int k = 0;
    while (x % 2 == 0) {
        x /= 2;
        ++k;
    }
    return k;
}

} // namespace

QvWord jacobiSumsTestT(unsigned int L)
{
    for (const Band &b : kBands)
        if (L <= b.maxBits) return b.t;
    return 24504480;
}

int deterministicJacobiSumsTest(const QvN &N)
{
    static const int small[13] = {0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0};
    if (N < 13u) return small[N.getLowestWord()];
    if (N.isEven()) return 0;

    // t and e with e^2 > N.  The table's t leaves e^2 <= N for numbers at the
    // top of some bands: t is then doubled until e is large enough, since the
    // final trial division proves nothing otherwise.
    QvWord t = jacobiSumsTestT(N.getBitLength());
    QvN e;
    std::vector<QvWord> qs;
    const QvN nn(N);
    for (;;) {
        e = QvN(1, 1) << (v2(t) + 1);
        qs.clear();
        for (std::uint64_t q = 3; q <= static_cast<std::uint64_t>(t) + 1; ++q) {
            if (t % (q - 1) != 0 || !isPrimeWord(static_cast<QvWord>(q))) continue;
            e *= static_cast<QvWord>(q);
            e *= primePowerPart(static_cast<QvWord>(q), t);
            qs.push_back(static_cast<QvWord>(q));
            if (e * e > nn) break;
        }
        if (e * e > nn) break;
        if (t > 0x7FFFFFFFu) return 0;
        t *= 2;
    }
    std::vector<std::unique_ptr<QvQJacobiSums>> sums;
    try {
        sums.reserve(qs.size());
    } catch (const std::bad_alloc &) {
        throw QvMemException(qs.size() * sizeof(QvQJacobiSums), "qvnumbers/n_deterministicjacobisumstest", "187");
    }
    for (QvWord q : qs) sums.emplace_back(new QvQJacobiSums(q));

    // A common factor with e t: composite, unless N is that small prime itself.
    const QvN g = gcd(N, e * QvN(t, 1));
    if (g != 1u) return (g == N && N.getWordCount() == 1 && isPrimeWord(N.getLowestWord())) ? 1 : 0;

    // l_p flags for the primes of t.
    bool l[18] = {false};
    for (QvWord p : kOddPrimes) {
        if (t % p) continue;
        const QvWord p2 = p * p;
        l[p] = powModWord((N % p2).getLowestWord(), p - 1, p2) != 1;
    }

    Prover pv(N);
    // Characters of 2.
    for (const auto &js : sums) {
        const QvWord q = js->getQ();
        const unsigned int k = v2(q - 1);
        if (k >= 2) {
            const int c = k >= 3 ? pv.checkTwoHigh(*js, k) : pv.checkTwoLow(*js);
            if (c == 0) return 0;
            if (c == 2 && pv.qPowerIsMinusOne(q)) l[2] = true;
        } else {
            QvZn x(N - q, &pv.mod);
            x ^= pv.halfNm1;
            const QvN xv = x.asQvN();
            const bool minusOne = xv == N - 1;
            if (!(xv == 1u) && !minusOne) return 0;
            if (minusOne && N % 4 == 1) l[2] = true;
        }
    }
    // Characters of the odd primes.
    for (QvWord p : kOddPrimes) {
        if (t % p) continue;
        for (const auto &js : sums) {
            if ((js->getQ() - 1) % p) continue;
            const int c = pv.checkOdd(*js, p);
            if (c == 0) return 0;
            if (c == 2) l[p] = true;
        }
    }
    sums.clear();

    // An extra prime q that divides N settles the question at once.
    auto dividesN = [&](QvWord q, int &verdict) {
        if (N % q != 0) return false;
        verdict = N == q ? 1 : 0;
        return true;
    };
    if (!l[2]) {
        for (std::uint64_t q = 9; q < 0x80000001ull && !l[2]; q += 8) {
            if (t % (q - 1) == 0 || !isPrimeWord(static_cast<QvWord>(q))) continue;
            int verdict;
            if (dividesN(static_cast<QvWord>(q), verdict)) return verdict;
            QvQJacobiSums js(static_cast<QvWord>(q));
            const int c = pv.checkTwoHigh(js, v2(static_cast<QvWord>(q - 1)));
            if (c == 0) return 0;
            if (c == 2 && pv.qPowerIsMinusOne(static_cast<QvWord>(q))) l[2] = true;
        }
        if (!l[2]) return 0;
    }
    for (QvWord p : kOddPrimes) {
        if (t % p || l[p]) continue;
        const QvWord count = 0x80000000u / p - 1;
        for (QvWord i = 1; i <= count && !l[p]; ++i) {
            const QvWord q = i * p + 1;
            if (!isPrimeWord(q)) continue;
            int verdict;
            if (dividesN(q, verdict)) return verdict;
            QvQJacobiSums js(q);
            const int c = pv.checkOdd(js, p);
            if (c == 0) return 0;
            if (c == 2) l[p] = true;
        }
        if (!l[p]) return 0;
    }

    // Final trial division: every divisor of N is N^i modulo e for some i < t.
    const QvN nModE = N % e;
    QvN r(1, 1);
    for (QvWord i = 1; i < t; ++i) {
        r = r * nModE % e;
        if (r != 1u && r != N && (N % r).isZero()) return 0;
    }
    return 1;
}
