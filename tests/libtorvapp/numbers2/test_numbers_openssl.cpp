// Differential tests against OpenSSL's BIGNUM (an independent implementation,
// used here only as the reference) over random operands.
#include <gtest/gtest.h>

#include "libtorvapp/qvnumbers/qvzn.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const int kScale = 1;
#else
const int kScale = 4;
#endif

const unsigned int kOptions[] = {0, 1, 8, 9, 16, 25};

}  // namespace

TEST(NumbersVsOpenSSL, NaturalNumberOperators) {
    Source src(61);
    BnCtx ctx(BN_CTX_new());
    for (int i = 0; i < 500 * kScale; ++i) {
        QvN a = src.bits(1 + src.below(1200)), b = src.bits(1 + src.below(700));
        Bn ba = toBn(a), bb = toBn(b), r = newBn(), rem = newBn();
        BN_add(r.get(), ba.get(), bb.get());
        ASSERT_EQ(hexOf(a + b), hexOf(r.get()));
        BN_mul(r.get(), ba.get(), bb.get(), ctx.get());
        ASSERT_EQ(hexOf(a * b), hexOf(r.get()));
        BN_div(r.get(), rem.get(), ba.get(), bb.get(), ctx.get());
        ASSERT_EQ(hexOf(a / b), hexOf(r.get()));
        ASSERT_EQ(hexOf(a % b), hexOf(rem.get()));
        if (a >= b) {
            BN_sub(r.get(), ba.get(), bb.get());
            ASSERT_EQ(hexOf(a - b), hexOf(r.get()));
        }
        const unsigned int s = src.below(200);
        BN_lshift(r.get(), ba.get(), (int)s);
        ASSERT_EQ(hexOf(a << s), hexOf(r.get()));
        BN_rshift(r.get(), ba.get(), (int)s);
        ASSERT_EQ(hexOf(a >> s), hexOf(r.get()));
        BN_gcd(r.get(), ba.get(), bb.get(), ctx.get());
        ASSERT_EQ(hexOf(gcd(a, b)), hexOf(r.get()));
        const QvWord w = src.word() | 1;
        ASSERT_EQ(hexOf(a % w), hexOf(QvN((QvWord)BN_mod_word(ba.get(), w), 1)));
        char *dec = BN_bn2dec(ba.get());
        ASSERT_STREQ(a.asDecimalASCII().c_str(), dec);
        ASSERT_EQ(QvN(dec), a);
        OPENSSL_free(dec);
        ASSERT_EQ(QvN(("0x" + hexOf(a)).c_str()), a);
        ASSERT_EQ(a.getBitLength(), (unsigned)BN_num_bits(ba.get()));
    }
}

TEST(NumbersVsOpenSSL, ModularProductsUnderEveryOption) {
    Source src(62);
    BnCtx ctx(BN_CTX_new());
    for (unsigned int opt : kOptions) {
        for (int i = 0; i < 100 * kScale; ++i) {
            const unsigned int bits = 32 + src.below(2100);
            QvN n = i % 3 == 0 ? src.bits(bits) : src.odd(bits);
            QvModulus m(n, opt);
            QvN x = src.below(n), y = src.below(n);
            if (i == 1) x = y = n - 1u;
            Bn bn = toBn(n), bx = toBn(x), by = toBn(y), r = newBn();
            BN_mod_mul(r.get(), bx.get(), by.get(), bn.get(), ctx.get());
            QvZn a(x, &m), b(y, &m);
            ASSERT_EQ(hexOf((a * b).asQvN()), hexOf(r.get())) << opt;
            BN_mod_sqr(r.get(), bx.get(), bn.get(), ctx.get());
            ASSERT_EQ(hexOf((a * a).asQvN()), hexOf(r.get())) << opt;
            if (!n.isEven() && opt == 8) {
                // The held form is OpenSSL's Montgomery form for the same R.
                BN_MONT_CTX *mont = BN_MONT_CTX_new();
                BN_MONT_CTX_set(mont, bn.get(), ctx.get());
                Bn mx = newBn(), my = newBn();
                BN_to_montgomery(mx.get(), bx.get(), mont, ctx.get());
                BN_to_montgomery(my.get(), by.get(), mont, ctx.get());
                BN_mod_mul_montgomery(r.get(), mx.get(), my.get(), mont, ctx.get());
                // R differs when the word count is odd (OpenSSL uses 64-bit words).
                if (n.getWordCount() % 2 == 0) {
                    ASSERT_EQ(hexOf(QvN(*(a * b).getWords())), hexOf(r.get()));
                }
                BN_MONT_CTX_free(mont);
            }
        }
    }
}

TEST(NumbersVsOpenSSL, ModularExponentiationUnderEveryOption) {
    Source src(63);
    BnCtx ctx(BN_CTX_new());
    for (unsigned int opt : kOptions) {
        for (int i = 0; i < 6 * kScale; ++i) {
            const unsigned int bits = 512 + src.below(3585);
            QvN n = i % 3 == 0 ? src.bits(bits) : src.odd(bits);
            QvModulus m(n, opt);
            QvN x = src.below(n), e = src.bits(1 + src.below(bits));
            Bn bn = toBn(n), bx = toBn(x), be = toBn(e), r = newBn();
            BN_mod_exp(r.get(), bx.get(), be.get(), bn.get(), ctx.get());
            QvZn a(x, &m);
            ASSERT_EQ(hexOf((a ^ e).asQvN()), hexOf(r.get())) << opt << " bits " << bits;
        }
        // Short moduli with many exponent sizes (window widths 1 to 6).
        for (int i = 0; i < 100 * kScale; ++i) {
            QvN n = i % 3 == 0 ? src.bits(2 + src.below(300)) : src.odd(2 + src.below(300));
            if (n <= 1u) continue;
            QvModulus m(n, opt);
            QvN x = src.below(n), e = src.bits(1 + src.below(2100));
            Bn bn = toBn(n), bx = toBn(x), be = toBn(e), r = newBn();
            BN_mod_exp(r.get(), bx.get(), be.get(), bn.get(), ctx.get());
            ASSERT_EQ(hexOf((QvZn(x, &m) ^ e).asQvN()), hexOf(r.get())) << opt;
        }
    }
}

TEST(NumbersVsOpenSSL, RsaPrivateOperationThroughCrt) {
    BnCtx ctx(BN_CTX_new());
    Source src(64);
    for (int bits : {512, 1024, 2048}) {
        Bn bp = newBn(), bq = newBn(), e = newBn(), phi = newBn(), t = newBn();
        ASSERT_TRUE(BN_generate_prime_ex(bp.get(), bits / 2, 0, nullptr, nullptr, nullptr));
        ASSERT_TRUE(BN_generate_prime_ex(bq.get(), bits / 2, 0, nullptr, nullptr, nullptr));
        QvN p = fromBn(bp.get()), q = fromBn(bq.get()), n = p * q;
        BN_set_word(e.get(), 65537);
        Bn bn = toBn(n), pm = toBn(p - 1u), qm = toBn(q - 1u);
        BN_mul(phi.get(), pm.get(), qm.get(), ctx.get());
        Bn d(BN_mod_inverse(nullptr, e.get(), phi.get(), ctx.get()));
        ASSERT_TRUE(d);
        Bn u(BN_mod_inverse(nullptr, bq.get(), bp.get(), ctx.get()));
        QvModulus crt(n, 0);
        crt.setFactors(QvModulus(p, 0), QvModulus(q, 0), fromBn(u.get()));
        const QvN dv = fromBn(d.get());
        for (int i = 0; i < 5; ++i) {
            QvN x = src.below(n);
            Bn bx = toBn(x), r = newBn();
            BN_mod_exp(r.get(), bx.get(), d.get(), bn.get(), ctx.get());
            QvZn s = QvZn(x, &crt) ^ dv;
            ASSERT_EQ(hexOf(s.asQvN()), hexOf(r.get())) << bits;
            // Back with the public exponent (word path).
            ASSERT_EQ((s ^ 65537u).asQvN(), x);
        }
    }
}

TEST(NumbersVsOpenSSL, ModularInverses) {
    Source src(65);
    BnCtx ctx(BN_CTX_new());
    for (unsigned int opt : kOptions) {
        for (int i = 0; i < 100 * kScale; ++i) {
            QvN n = i % 2 ? src.odd(2 + src.below(1500)) : src.bits(2 + src.below(1500));
            if (n <= 1u) continue;
            QvModulus m(n, opt);
            QvN x = src.below(n);
            Bn bn = toBn(n), bx = toBn(x);
            Bn inv(BN_mod_inverse(nullptr, bx.get(), bn.get(), ctx.get()));
            QvZn a(x, &m);
            if (inv) {
                ASSERT_EQ(hexOf((1u / a).asQvN()), hexOf(inv.get())) << opt;
                ASSERT_TRUE((a / a) == 1u);
            } else {
                ERR_clear_error();
                if (x.isZero()) {
                    ASSERT_THROW(1u / a, QvDivByZeroException);
                } else {
                    ASSERT_THROW(1u / a, QvInvException);
                }
            }
        }
    }
}
