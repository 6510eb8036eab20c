// First use of a named curve object from several threads at once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "libtorvapp/qvnamedcurveobjects.h"

TEST(NamedCurveObjects, FirstUseFromManyThreadsBuildsOneObject) {
    // Function-local statics: concurrent first use must see one object.
    std::vector<const QvGeneralDsaKeyDomain *> seen(8, nullptr);
    std::vector<std::thread> ts;
    for (unsigned int t = 0; t < 8; ++t)
        ts.emplace_back([&seen, t] { seen[t] = qvFindNamedCurveDomain("brainpoolP384t1"); });
    for (auto &t : ts) t.join();
    for (auto *p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(NamedCurveObjects, SeveralThreadsMultiplyOneGeneratorAtOnce) {
    // The objects are read-only after construction: concurrent scalar
    // multiples of one generator (with its doubling table) agree with the
    // results computed on one thread.
    for (const char *name : {"nistp256", "brainpoolP256r1", "sect233k1"}) {
        const QvGeneralDsaKeyDomain *d = qvFindNamedCurveDomain(name);
        ASSERT_NE(d, nullptr);
        const QvGroup *g = d->getGroup();
        std::vector<std::vector<unsigned char>> expect(16);
        for (unsigned int i = 0; i < 16; ++i) {
            QvN k(0x9e3779b9u * (i + 1), 1);
            k <<= 100;
            k += i;
            std::unique_ptr<QvGroupElem> P(g->product(k, d->getGen()));
            expect[i].resize(200);
            expect[i].resize(g->asOctetString(P.get(), expect[i].data(), 200));
        }
        std::vector<int> bad(4, 0);
        std::vector<std::thread> ts;
        for (unsigned int t = 0; t < 4; ++t)
            ts.emplace_back([&, t] {
                for (unsigned int r = 0; r < 3; ++r)
                    for (unsigned int i = 0; i < 16; ++i) {
                        QvN k(0x9e3779b9u * (i + 1), 1);
                        k <<= 100;
                        k += i;
                        std::unique_ptr<QvGroupElem> P(g->product(k, d->getGen()));
                        std::vector<unsigned char> got(200);
                        got.resize(g->asOctetString(P.get(), got.data(), 200));
                        if (got != expect[i]) ++bad[t];
                    }
            });
        for (auto &t : ts) t.join();
        for (int b : bad) EXPECT_EQ(b, 0) << name;
    }
}
