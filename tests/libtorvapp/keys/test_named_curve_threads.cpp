// First use of a named curve object from several threads at once.
#include <gtest/gtest.h>

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
