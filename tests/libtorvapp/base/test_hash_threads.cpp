// Hash objects belong to one caller each, but many callers may start at once:
// the first use picks the compression path, and that choice must be race-free.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hash_vectors.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmgf.h"

TEST(QvHashThreads, ConcurrentFirstUseGivesTheSameDigests)
{
    std::vector<QvOctet> msg(5000);
    for (std::size_t i = 0; i < msg.size(); ++i)
        msg[i] = static_cast<QvOctet>(i * 13);
    std::atomic<bool> go{false};
    std::vector<std::vector<std::string>> results(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (unsigned int id = 1; id <= 8; ++id) {
                std::unique_ptr<QvHash> h(qvHashCreateObject(id));
                h->hash(msg.data(), static_cast<unsigned int>(msg.size()));
                results[t].push_back(ToHex(h->getHashPtr(), h->getHashOctets()));
            }
            std::unique_ptr<QvMgf> k(qvKdfCreateObject(1));
            QvOctet out[100];
            k->generate(out, 100, msg.data(), 64);
            results[t].push_back(ToHex(out, 100));
        });
    }
    go = true;
    for (std::thread& th : threads)
        th.join();
    for (int t = 1; t < 8; ++t)
        EXPECT_EQ(results[t], results[0]) << "thread " << t;
    EXPECT_EQ(results[0].size(), 9u);
}
