// One modulus shared by several threads, each with its own residues.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "libtorvapp/qvnumbers/qvzn.h"
#include "tests/libtorvapp/numbers2/bn_helpers.h"

using namespace numbers2;

TEST(NumbersThreads, SharedModulusGivesEveryThreadTheSameResults) {
    Source src(71);
    const QvN p = src.odd(521), q = src.odd(509);
    for (unsigned int opt : {8u, 16u, 0u}) {
        const QvModulus m(p * q, opt);
        QvModulus crt(p * q, 0);
        crt.setFactors(QvModulus(p, 0), QvModulus(q, 0), QvN(1u, 1));  // values only compared between threads
        std::vector<QvN> xs, es, want;
        for (int i = 0; i < 8; ++i) {
            QvN x = src.below(p * q);
            while (gcd(x, p * q) != 1u) ++x;  // b * b / b needs a unit
            xs.push_back(x);
            es.push_back(src.bits(300 + 40 * i));
            want.push_back((QvZn(xs.back(), &m) ^ es.back()).asQvN());
        }
        std::vector<int> ok(8, 0);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                int good = 1;
                for (int round = 0; round < 5; ++round) {
                    QvZn a(xs[t], &m);
                    a ^= es[t];
                    QvZn b(xs[t], &m);
                    b = b * b / b;
                    good &= a.asQvN() == want[t] && b.asQvN() == xs[t];
                    (void)(QvZn(xs[t], &crt) ^ es[t]);
                }
                ok[t] = good;
            });
        }
        for (auto &th : threads) th.join();
        for (int t = 0; t < 8; ++t) EXPECT_EQ(ok[t], 1) << t;
    }
}
