// One generator with a doubling table serves several threads at once, each
// with its own result points.
#include <gtest/gtest.h>
#include <openssl/obj_mac.h>

#include <thread>
#include <vector>

#include "curves_p_support.h"

TEST(CurvesPThreads, SharedTableGeneratorGivesTheSameMultiples) {
    RefCurve ref(NID_X9_62_prime256v1);
    auto c = makeCryptoEp(ref);
    auto ep = makeEp(ref);
    ElemPtr g = decodeElem(*c, ref.generator());
    ElemPtr ge = decodeElem(*ep, ref.generator());
    g->precompute();
    const int kThreads = 4, kPer = 6;
    std::vector<Bytes> scalars, expected;
    for (int i = 0; i < kThreads * kPer; ++i) {
        scalars.push_back(ref.randomScalar());
        expected.push_back(ref.mulG(scalars.back()));
    }
    std::vector<int> bad(kThreads, 0);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([&, t] {
            for (int i = 0; i < kPer; ++i) {
                const int j = t * kPer + i;
                ElemPtr r(c->product(toQvN(scalars[j]), g.get()));
                ElemPtr s(ep->product(toQvN(scalars[j]), ge.get()));
                if (encodeElem(*c, r.get(), 65) != expected[j]) ++bad[t];
                if (encodeElem(*ep, s.get(), 65) != expected[j]) ++bad[t];
            }
        });
    for (auto &t : ts) t.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << t;
}
