// First use of the curve catalogue (and with it the second OID table and the
// curve objects) from many threads at once: every thread sees one fully built
// table with the same objects.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "keys/ecnamedcurves.h"
#include "keys/oidconst2.h"

TEST(NamedCurveCatalogueThreads, ConcurrentFirstUseSeesOneBuiltTable) {
    constexpr int kThreads = 12;
    std::atomic<int> go{0};
    std::vector<std::thread> threads;
    std::vector<const QvAsymKeyDomain*> domain(kThreads, nullptr);
    std::vector<const EcNamedCurve*> byOid(kThreads, nullptr);
    std::vector<int> bad(kThreads, 0);
    for (int k = 0; k < kThreads; k++)
        threads.emplace_back([&, k] {
            while (go.load() == 0) {
            }
            size_t i = static_cast<size_t>(k);
            // Half start from the catalogue, half from the OID constants.
            if (k % 2 == 0) {
                domain[i] = EcNamedCurveTable::getDomainByName("prime256v1");
                byOid[i] = EcNamedCurveTable::findByOid(oid2::secp256r1());
            } else {
                byOid[i] = EcNamedCurveTable::findByOid(oid2::secp256r1());
                domain[i] = EcNamedCurveTable::getDomain(13);
            }
            for (int id = 1; id <= 100; id++) {
                const EcNamedCurve* e = EcNamedCurveTable::findById(id);
                if (!e || e->id != id || EcNamedCurveTable::findByName(e->shortName) != e) bad[i]++;
                std::string text;
                if (e && e->oid && EcNamedCurveTable::getOidText(text, id) != 1) bad[i]++;
            }
            std::string s;
            if (EcNamedCurveTable::describe(s, 13, true, 0) != 1 ||
                s != "SECG/NIST/X9.62 curve over a 256 bit prime field")
                bad[i]++;
        });
    go.store(1);
    for (auto& t : threads) t.join();
    for (size_t k = 0; k < kThreads; k++) {
        EXPECT_NE(domain[k], nullptr);
        EXPECT_EQ(domain[k], domain[0]);
        ASSERT_NE(byOid[k], nullptr);
        EXPECT_EQ(byOid[k]->id, 13);
        EXPECT_EQ(bad[k], 0) << k;
    }
}
