// The exponentiation engine on 64-bit limbs: its products and squares against
// natural-number arithmetic, its powers against OpenSSL's BN_mod_exp, on the
// processor's carry-chain rows (where it has them) and on the portable rows.
#include <gtest/gtest.h>

#include <vector>

#include "bn_helpers.h"
#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvnumbers/montlimbs.h"
#include "libtorvapp/qvnumbers/qvzn.h"

using namespace numbers2;
using qvlongv::MontLimbs;

namespace {

// Runs f once with the processor's paths and once with the portable ones.
template <class F>
void onBothPaths(F f) {
    const bool before = qvCpuPortableForced();
    for (bool portable : {false, true}) {
        qvCpuForcePortable(portable);
        f(portable);
    }
    qvCpuForcePortable(before);
}

std::vector<QvWord> wordsOf(const QvN &x, unsigned int n) {
    std::vector<QvWord> w(n, 0);
    for (unsigned int i = 0; i < x.getWordCount() && i < n; ++i) w[i] = x.getWords()[i];
    return w;
}

// a * b mod m through the engine: in, multiplied (or squared), out.
QvN engineProduct(MontLimbs &mont, const QvN &a, const QvN &b, const QvN &m, bool square) {
    const unsigned int n = m.getWordCount();
    const std::vector<QvWord> aw = wordsOf(a, n), bw = wordsOf(b, n);
    std::vector<QvWord> am(mont.words()), bm(mont.words()), rm(mont.words());
    mont.enter(am.data(), aw.data(), n);
    mont.enter(bm.data(), bw.data(), n);
    if (square) mont.sqr(rm.data(), am.data());
    else mont.mul(rm.data(), am.data(), bm.data());
    std::vector<QvWord> r(n);
    mont.leave(r.data(), n, rm.data());
    return QvN(r.data(), n);
}

}  // namespace

TEST(MontLimbs, ProductsAndSquaresMatchNaturalNumbers) {
    onBothPaths([](bool portable) {
        Source src(71);
        // Up to 4096 bits the rows are written out; beyond (130 and 140
        // words) they loop.
        std::vector<unsigned int> sizes;
        for (unsigned int words = 1; words <= 70; ++words) sizes.push_back(words);
        sizes.push_back(130);
        sizes.push_back(140);
        for (unsigned int words : sizes) {
            for (int round = 0; round < 4; ++round) {
                const QvN m = round == 0 ? (QvN(1u, 1) << (32 * words)) - 1u : src.odd(32 * words - src.below(31));
                MontLimbs mont(wordsOf(m, words).data(), words);
                EXPECT_EQ(mont.usesCarryChains(), !portable && qvCpuHas(QV_CPU_BMI2 | QV_CPU_ADX));
                const QvN top = m - 1u;
                const QvN vals[] = {QvN(), QvN(1u, 1), top, src.below(m), src.below(m)};
                for (const QvN &a : vals) {
                    for (const QvN &b : vals) {
                        ASSERT_EQ(hexOf(engineProduct(mont, a, b, m, false)), hexOf((a * b) % m))
                            << words << " words, portable " << portable;
                    }
                    ASSERT_EQ(hexOf(engineProduct(mont, a, a, m, true)), hexOf((a * a) % m))
                        << words << " words, portable " << portable;
                }
            }
        }
    });
}

TEST(MontLimbs, PowersMatchOpenSsl) {
    onBothPaths([](bool portable) {
        Source src(72);
        BnCtx ctx(BN_CTX_new());
        for (unsigned int bits : {33u, 255u, 256u, 512u, 520u, 1023u, 1024u, 1536u, 2048u, 3072u, 4500u}) {
            const QvN m = src.odd(bits);
            const unsigned int n = m.getWordCount();
            for (int round = 0; round < 3; ++round) {
                const QvN x = round == 0 ? m - 1u : src.below(m);
                const QvN e = round == 2 ? src.bits(40) : src.bits(bits);
                std::vector<QvWord> r(n);
                longvPowModOdd(r.data(), wordsOf(x, n).data(), e.getWords(), e.getWordCount(),
                               wordsOf(m, n).data(), n, expWindowWidth(e.getBitLength()));
                Bn want = newBn();
                BN_mod_exp(want.get(), toBn(x).get(), toBn(e).get(), toBn(m).get(), ctx.get());
                ASSERT_EQ(hexOf(QvN(r.data(), n)), hexOf(want.get())) << bits << " bits, portable " << portable;
            }
        }
    });
}

TEST(MontLimbs, ZeroExponentZeroBaseAndTheModulusOne) {
    onBothPaths([](bool) {
        Source src(73);
        const QvN m = src.odd(700);
        const unsigned int n = m.getWordCount();
        const std::vector<QvWord> mw = wordsOf(m, n);
        std::vector<QvWord> r(n, 0xAAAAAAAAu);
        const QvWord zero = 0;
        longvPowModOdd(r.data(), wordsOf(src.below(m), n).data(), &zero, 1, mw.data(), n, 1);
        EXPECT_EQ(QvN(r.data(), n), QvN(1u, 1));
        const QvN e = src.bits(300);
        longvPowModOdd(r.data(), wordsOf(QvN(), n).data(), e.getWords(), e.getWordCount(), mw.data(), n, 4);
        EXPECT_TRUE(QvN(r.data(), n).isZero());
        // Words above the modulus' own length are written as zeros.
        const QvWord one[3] = {1, 0, 0};
        QvWord out[3] = {7, 7, 7};
        const QvWord x[3] = {0, 0, 0};
        longvPowModOdd(out, x, &zero, 1, one, 3, 1);
        EXPECT_EQ(out[0] | out[1] | out[2], 0u);
    });
}
