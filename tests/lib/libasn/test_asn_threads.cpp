// Decoding on several threads at once: each thread keeps its own nesting count, so
// input near the depth limit decodes on every thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnocstr.h"

namespace {

std::vector<uint8_t> Nested(int depth) {
    std::vector<uint8_t> in;
    for (int i = 0; i < depth; i++) {
        in.push_back(0x30);
        in.push_back(0x80);
    }
    in.push_back(0x05);
    in.push_back(0x00);
    for (int i = 0; i < depth; i++) {
        in.push_back(0);
        in.push_back(0);
    }
    return in;
}

}  // namespace

TEST(AsnThreads, NestingCountIsPerThread) {
    const std::vector<uint8_t> ok = Nested(ASN_MAX_DEPTH - 1);
    const std::vector<uint8_t> tooDeep = Nested(ASN_MAX_DEPTH + 5);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&] {
            for (int n = 0; n < 300; n++) {
                ASNany a;
                if (a.readVector(ok) != static_cast<long>(ok.size())) failures++;
                ASNany b;
                if (b.readVector(tooDeep) != 0) failures++;
                std::vector<uint8_t> enc;
                if (a.encodeToVector(enc) != static_cast<long>(ok.size()) || enc != ok) failures++;
            }
            if (ASNDepthGuard::current() != 0) failures++;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}
