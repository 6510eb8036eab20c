// Products and squares: every routine agrees with the plain product,
// including all-ones operands and the Karatsuba forms at their threshold.
#include <gtest/gtest.h>

#include "tests/libtorvapp/numbers/words.h"

namespace {

// Reference product, one 32-bit word at a time.
Words refMul(const Words &a, const Words &b) {
    Words r(a.size() + b.size(), 0);
    for (size_t i = 0; i < a.size(); ++i) {
        std::uint64_t c = 0;
        for (size_t j = 0; j < b.size(); ++j) {
            std::uint64_t t = (std::uint64_t)a[i] * b[j] + r[i + j] + c;
            r[i + j] = (QvWord)t;
            c = t >> 32;
        }
        r[i + b.size()] = (QvWord)c;
    }
    return r;
}

typedef void (*FixedMul)(QvWord *, const QvWord *, const QvWord *);
typedef void (*FixedSqr)(QvWord *, const QvWord *);
struct FixedSize {
    QvWordLen n;
    FixedMul mul;
    FixedSqr sqr;
};
const FixedSize kFixed[] = {{3, longvMul3, longvSqr3},   {4, longvMul4, longvSqr4},   {5, longvMul5, longvSqr5},
                            {6, longvMul6, longvSqr6},   {7, longvMul7, longvSqr7},   {8, longvMul8, longvSqr8},
                            {12, longvMul12, longvSqr12}, {16, longvMul16, longvSqr16}, {17, longvMul17, longvSqr17}};

}  // namespace

TEST(LongvWordProducts, NativeWordProductAndSquare) {
    QvWord hi, lo;
    wordMul(0xFFFFFFFF, 0xFFFFFFFF, &hi, &lo);
    EXPECT_EQ(hi, 0xFFFFFFFEu);
    EXPECT_EQ(lo, 1u);
    wordMul(0x12345678, 0x9ABCDEF0, &hi, &lo);
    EXPECT_EQ(((std::uint64_t)hi << 32) | lo, 0x12345678ull * 0x9ABCDEF0ull);
    wordSqr(0xFFFFFFFF, &hi, &lo);
    EXPECT_EQ(hi, 0xFFFFFFFEu);
    EXPECT_EQ(lo, 1u);
}

TEST(LongvWordProducts, RowsByOneWordReturnTheirCarry) {
    std::mt19937_64 rng(11);
    for (QvWordLen n = 1; n <= 9; ++n) {
        Words a = randomWords(rng, n);
        QvWord w = (QvWord)rng() | 0x80000000u;
        Words ref = refMul(a, Words{w});
        Words r(n);
        QvWord c = longvMulWord(r.data(), a.data(), w, n);
        EXPECT_EQ(Words(ref.begin(), ref.begin() + n), r);
        EXPECT_EQ(c, ref[n]);
        // r + a*w
        Words acc = randomWords(rng, n);
        Words accRef = acc;
        accRef.push_back(0);
        Words prod = refMul(a, Words{w});
        longvAdd(accRef.data(), prod.data(), n + 1, 0);
        c = longvMulAddWord(acc.data(), a.data(), w, n);
        EXPECT_EQ(Words(accRef.begin(), accRef.begin() + n), acc);
        EXPECT_EQ(c, accRef[n]);
        // in place scale
        Words s = a;
        c = longvScaleWord(s.data(), w, n);
        EXPECT_EQ(Words(ref.begin(), ref.begin() + n), s);
        EXPECT_EQ(c, ref[n]);
        // r - a*w: (r - a*w) + borrow*B^n == r - a*w mod B^(n+1)
        Words sub = randomWords(rng, n);
        Words subRef = sub;
        subRef.push_back(0);
        longvSub(subRef.data(), prod.data(), n + 1, 0);
        c = longvMulSubWord(sub.data(), a.data(), w, n);
        EXPECT_EQ(Words(subRef.begin(), subRef.begin() + n), sub);
        EXPECT_EQ((QvWord)(0 - c), subRef[n]);
    }
}

TEST(LongvProducts, AllOnesOperandsExerciseEveryCarry) {
    std::vector<QvWordLen> sizes;
    for (QvWordLen n = 1; n <= 40; ++n) sizes.push_back(n);
    for (QvWordLen n : {47u, 48u, 50u, 64u, 96u, 100u, 128u, 130u}) sizes.push_back(n);  // split products
    for (QvWordLen n : sizes) {
        Words a(n, 0xFFFFFFFF);
        // (B^n - 1)^2 = B^2n - 2 B^n + 1
        Words expect(2 * n, 0);
        expect[0] = 1;
        expect[n] = 0xFFFFFFFE;
        for (QvWordLen i = n + 1; i < 2 * n; ++i) expect[i] = 0xFFFFFFFF;
        Words r(2 * n);
        longvMul(r.data(), a.data(), n, a.data(), n);
        EXPECT_EQ(r, expect) << n;
        longvSqr(r.data(), a.data(), n);
        EXPECT_EQ(r, expect) << n;
        longvSqrHalving(a.data(), r.data(), n);
        EXPECT_EQ(r, expect) << n;
        longvMulN(a.data(), a.data(), r.data(), n);
        EXPECT_EQ(r, expect) << n;
    }
}

TEST(LongvProducts, GeneralFormsAgreeWithTheReference) {
    std::mt19937_64 rng(12);
    for (int it = 0; it < 400; ++it) {
        QvWordLen na = 1 + (QvWordLen)(rng() % 24), nb = 1 + (QvWordLen)(rng() % 24);
        Words a = randomWords(rng, na), b = randomWords(rng, nb);
        Words ref = refMul(a, b);
        Words r(na + nb, 0x5A5A5A5A);
        longvMul(r.data(), a.data(), na, b.data(), nb);
        EXPECT_EQ(r, ref);
        Words rmn(na + nb + 3, 0x5A5A5A5A);
        longvMulMN(a.data(), na, b.data(), nb, rmn.data(), na + nb + 3);
        Words refx = ref;
        refx.resize(na + nb + 3, 0);
        EXPECT_EQ(rmn, refx);
        Words ra = refMul(a, a), s(2 * na);
        longvSqr(s.data(), a.data(), na);
        EXPECT_EQ(s, ra);
        longvSqrHalving(a.data(), s.data(), na);
        EXPECT_EQ(s, ra);
    }
}

TEST(LongvProducts, SquaresOfTopBitWordsAndOne) {
    for (QvWordLen n = 1; n <= 20; ++n) {
        Words a(n, 0x80000000u);
        Words one(n, 0);
        one[0] = 1;
        for (const Words &x : {a, one}) {
            Words ref = refMul(x, x), r(2 * n);
            longvSqr(r.data(), x.data(), n);
            EXPECT_EQ(r, ref);
            longvSqrHalving(x.data(), r.data(), n);
            EXPECT_EQ(r, ref);
        }
    }
}

TEST(LongvProducts, FixedSizesAgreeWithTheReferenceProduct) {
    std::mt19937_64 rng(13);
    for (const FixedSize &f : kFixed) {
        for (int it = 0; it < 200; ++it) {
            Words a = randomWords(rng, f.n), b = randomWords(rng, f.n);
            if (it == 0) a = b = Words(f.n, 0xFFFFFFFF);
            if (it == 1) a = b = Words(f.n, 0x80000000u);
            Words r(2 * f.n, 0x77777777);
            f.mul(r.data(), a.data(), b.data());
            EXPECT_EQ(r, refMul(a, b)) << "mul " << f.n;
            std::fill(r.begin(), r.end(), 0x77777777);
            f.sqr(r.data(), a.data());
            EXPECT_EQ(r, refMul(a, a)) << "sqr " << f.n;
            // the general entry points take the unrolled routine for these sizes
            Words g(2 * f.n, 0x77777777);
            longvMulN(a.data(), b.data(), g.data(), f.n);
            EXPECT_EQ(g, refMul(a, b));
            longvSqr(g.data(), a.data(), f.n);
            EXPECT_EQ(g, refMul(a, a));
        }
    }
}

TEST(LongvKaratsuba, InPlaceFormAroundTheThresholdAgreesAndRestoresOperands) {
    std::mt19937_64 rng(14);
    const QvWordLen sizes[][2] = {{65, 65}, {66, 66}, {67, 67}, {64, 66}, {70, 140}, {140, 70}, {131, 129},
                                  {200, 200}, {66, 1}, {300, 67}};
    for (auto &sz : sizes) {
        for (int it = 0; it < 6; ++it) {
            Words a = randomWords(rng, sz[0]), b = randomWords(rng, sz[1]);
            if (it == 0) {
                a.assign(sz[0], 0xFFFFFFFF);
                b.assign(sz[1], 0xFFFFFFFF);
            }
            const Words a0 = a, b0 = b;
            Words ref = refMul(a, b);
            QvWordLen nr = sz[0] + sz[1];
            Words r(nr, 0x3C3C3C3C);
            QvWord of = longvMulKaratsuba(a.data(), sz[0], b.data(), sz[1], r.data(), nr);
            EXPECT_EQ(of, 0u);
            EXPECT_EQ(r, ref) << sz[0] << "x" << sz[1];
            EXPECT_EQ(a, a0);
            EXPECT_EQ(b, b0);
        }
    }
}

TEST(LongvKaratsuba, MultiplyAccumulateAndSubtractCountTheOverflow) {
    std::mt19937_64 rng(15);
    for (QvWordLen n : {40u, 66u, 67u, 100u, 150u}) {
        for (int it = 0; it < 5; ++it) {
            Words a = randomWords(rng, n), b = randomWords(rng, n);
            if (it == 0) a = b = Words(n, 0xFFFFFFFF);
            Words r = randomWords(rng, 2 * n);
            if (it == 0) r.assign(2 * n, 0xFFFFFFFF);
            const Words a0 = a, b0 = b, r0 = r;
            // reference: r + a*b in 2n + 1 words
            Words ab = refMul(a, b), sum = r;
            sum.push_back(0);
            ab.push_back(0);
            longvAdd(sum.data(), ab.data(), 2 * n + 1, 0);
            QvWord of = longvMulAddKaratsuba(a.data(), n, b.data(), n, r.data(), 2 * n, 8);
            EXPECT_EQ(Words(sum.begin(), sum.begin() + 2 * n), r) << n;
            EXPECT_EQ(of, sum[2 * n]) << n;
            EXPECT_EQ(a, a0);
            EXPECT_EQ(b, b0);
            // and back: (r + a*b) - a*b = r0
            QvWord br = longvMulSubKaratsuba(a.data(), n, b.data(), n, r.data(), 2 * n, 8);
            EXPECT_EQ(r, r0) << n;
            EXPECT_EQ(br, of);
            EXPECT_EQ(a, a0);
            EXPECT_EQ(b, b0);
        }
    }
}

TEST(LongvKaratsuba, SmallThresholdsRecurseDeeplyAndStillAgree) {
    std::mt19937_64 rng(16);
    for (QvWordLen th : {0u, 1u, 2u, 3u, 5u}) {
        for (QvWordLen n = 1; n <= 45; n += 4) {
            Words a = randomWords(rng, n), b = randomWords(rng, n + 3);
            Words ref = refMul(a, b);
            Words r(2 * n + 3);
            longvMulKaratsuba(a.data(), n, b.data(), n + 3, r.data(), 2 * n + 3, th);
            EXPECT_EQ(r, ref) << th << " " << n;
            Words rb(2 * n);
            Words bb(b.begin(), b.begin() + n);
            longvMulKaratsubaBuf(a.data(), bb.data(), rb.data(), n, th);
            EXPECT_EQ(rb, refMul(a, bb)) << th << " " << n;
        }
    }
}

TEST(LongvKaratsuba, BufferedFormsAroundTheirThresholds) {
    std::mt19937_64 rng(17);
    for (QvWordLen n : {1u, 2u, 31u, 32u, 33u, 34u, 63u, 64u, 65u, 66u, 67u, 97u, 130u, 131u}) {
        for (int it = 0; it < 4; ++it) {
            Words a = randomWords(rng, n), b = randomWords(rng, n);
            if (it == 0) a = b = Words(n, 0xFFFFFFFF);
            const Words a0 = a, b0 = b;
            Words r(2 * n, 0x12121212);
            longvMulKaratsubaBuf(a.data(), b.data(), r.data(), n);
            EXPECT_EQ(r, refMul(a, b)) << n;
            Words s(2 * n, 0x12121212);
            longvSqrKaratsubaBuf(a.data(), s.data(), n);
            EXPECT_EQ(s, refMul(a, a)) << n;
            EXPECT_EQ(a, a0);
            EXPECT_EQ(b, b0);
        }
    }
}

TEST(LongvKaratsuba, CombinationStepsByOneMinusAPowerAreInverse) {
    std::mt19937_64 rng(18);
    for (QvWordLen n : {5u, 9u, 33u}) {
        for (QvWordLen k = 1; k < n; k += 3) {
            Words r = randomWords(rng, n);
            const Words r0 = r;
            QvWord d = longvDivOneMinusPow(r.data(), n, k);
            QvWord m = longvMulOneMinusPow(r.data(), n, k);
            EXPECT_EQ(r, r0);
            EXPECT_EQ(d, m);  // the overflow word comes back to zero
        }
    }
}
