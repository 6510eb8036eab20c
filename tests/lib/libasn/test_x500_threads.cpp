// The attribute-type table is read-only after load: lookups and whole-name work
// from several threads at once give the answers a single thread gets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lib/libasn/x509/x500types.h"
#include "lib/libasn/x509/x509name.h"

TEST(X500Threads, TableLookupsAndNamesFromManyThreads) {
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; t++) {
        ts.emplace_back([&bad, t] {
            for (int i = 0; i < 300; i++) {
                uint32_t id = static_cast<uint32_t>((i + t) % X500_TYPE_COUNT);
                const X500AttributeType* r = x500::findById(id);
                if (r == nullptr || x500::idByOid(*r->oid) != static_cast<int>(id) ||
                    x500::idByName(r->name, -1, -1) != static_cast<int>(id) ||
                    x500::findByOidText(r->oidText, -1) != r)
                    bad++;
                DistinguishedName dn;
                std::string text = "CN=T" + std::to_string(t) + ",O=Firma,C=PL";
                if (dn.fromText(text.c_str(), -1, 0x80000800) != 1 ||
                    dn.toString(0x8C540120) != "CN=T" + std::to_string(t) + ", O=Firma, C=PL")
                    bad++;
            }
        });
    }
    for (auto& th : ts) th.join();
    EXPECT_EQ(bad.load(), 0);
}
