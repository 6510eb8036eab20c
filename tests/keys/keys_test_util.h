// Helpers shared by the key-structure tests: DER of an object, OpenSSL numbers,
// data files, and a private directory where the openssl command reads and writes.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lib/libasn/asnint.h"
#include "tests/common/testsupport.h"

namespace keystest {

inline std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

inline std::vector<uint8_t> Bn(const BIGNUM* b) {
    std::vector<uint8_t> v(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, v.data());
    return v;
}

inline void SetBn(ASNinteger& i, const BIGNUM* b) {
    std::vector<uint8_t> v = Bn(b);
    ASSERT_EQ(1, i.setUnsigned(v.data(), static_cast<long>(v.size())));
}

// The value octets without leading zero octets.
inline std::vector<uint8_t> Mag(const ASNinteger& i) {
    const uint8_t* d = i.getData();
    long n = i.getValueLength();
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return std::vector<uint8_t>(d, d + n);
}

using testsupport::DataFile;

// A private directory removed with the object; commands run inside it.
class WorkDir {
public:
    WorkDir() {
        char tmpl[] = "/tmp/keystest.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path = tmpl;
    }
    ~WorkDir() {
        if (path.empty()) return;
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    bool run(const std::string& cmds) const {
        std::string c = "cd '" + path + "' && (" + cmds + ") >/dev/null 2>&1";
        return std::system(c.c_str()) == 0;
    }
    std::vector<uint8_t> read(const std::string& name) const { return testsupport::ReadFileBytes(path + "/" + name); }
    void write(const std::string& name, const std::vector<uint8_t>& data) const {
        std::ofstream f(path + "/" + name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }

    std::string path;
};

}  // namespace keystest
