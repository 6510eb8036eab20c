// Distinct points of one curve (and distinct elements of one field) used by
// several threads at once give the results of a single thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "libtorvapp/qve2n/qve2n.h"
#include "tests/libtorvapp/gf2n/gf2n_test_util.h"

using namespace gf2ntest;

TEST(BinaryCurveThreads, SharedCurveDistinctPoints)
{
    std::vector<CurveRow> rows = loadCurves();
    const CurveRow *c = nullptr;
    for (const CurveRow &r : rows)
        if (r.name == "sect233k1") c = &r;
    ASSERT_NE(c, nullptr);
    const QvE2n e(c->a.c_str(), c->b.c_str(), c->poly.c_str());
    const QvE2nPoint g(c->gx.c_str(), c->gy.c_str(), &e);
    const unsigned int kThreads = 4, kRounds = 6;
    std::vector<std::vector<QvOctet>> expected(kThreads * kRounds);
    for (unsigned int i = 0; i < kThreads * kRounds; ++i) {
        QvE2nPoint r(&e);
        e.multiply(&r, QvN(0x9E3779B9u * (i + 1), 1) * QvN("0x123456789abcdef0123456789"), &g);
        expected[i].resize(e.getOctetStringEncodingLen(&r));
        e.asOctetString(&r, expected[i].data(), static_cast<unsigned int>(expected[i].size()));
    }
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (unsigned int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            int good = 0;
            for (unsigned int k = 0; k < kRounds; ++k) {
                const unsigned int i = t * kRounds + k;
                QvE2nPoint r(&e), s(g);
                e.multiply(&r, QvN(0x9E3779B9u * (i + 1), 1) * QvN("0x123456789abcdef0123456789"), &s);
                std::vector<QvOctet> enc(e.getOctetStringEncodingLen(&r));
                e.asOctetString(&r, enc.data(), static_cast<unsigned int>(enc.size()));
                // Field arithmetic on the shared field as well.
                QvGF2n a(r.getX()), b(r.getY());
                a *= b;
                a /= b;
                good += enc == expected[i] && a == r.getX();
            }
            ok[t] = good;
        });
    }
    for (auto &th : threads) th.join();
    for (unsigned int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], static_cast<int>(kRounds)) << t;
}
