// Certificates decoded and verified on several threads at once, while another thread
// installs and removes the PEM reader: every decode gives the same certificate.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/libasn/x509/sgncert.h"

namespace {

std::vector<uint8_t> ReadSeed(const char* name) {
    std::ifstream f(std::string(MIRTAL_SOURCE_DIR) + "/fuzz/corpus/fuzz_x509_cert/" + name, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(SignedCertificateThreads, ConcurrentDecodeAndVerifyWhileTheReaderChanges) {
    const std::vector<uint8_t> der = ReadSeed("rsa_v1.der");
    ASSERT_FALSE(der.empty());
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::thread toggler([&] {
        while (!stop.load()) {
            SignedCertificate::enablePemInput();
            SignedCertificate::setReadHook(nullptr);
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++) {
        workers.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                SignedCertificate c;
                if (c.readBuffer(der.data(), static_cast<long>(der.size())) != static_cast<long>(der.size()) ||
                    c.verifySelfSigned() != 1 || c.tbsCertificate.getKeySizeBits() != 1024)
                    failures++;
            }
        });
    }
    for (auto& w : workers) w.join();
    stop = true;
    toggler.join();
    SignedCertificate::setReadHook(nullptr);
    EXPECT_EQ(0, failures.load());
}
