// Reads known-answer files of the form "id|repetitions|text|hex digest".
#ifndef TESTS_LIBTORVAPP_BASE_HASH_VECTORS_H
#define TESTS_LIBTORVAPP_BASE_HASH_VECTORS_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct HashVector {
    unsigned int id;
    unsigned long repetitions;
    std::string text;
    std::string digestHex;
};

inline std::vector<HashVector> readHashVectors(const std::string& file)
{
    std::vector<HashVector> out;
    std::ifstream in(std::string(MIRTAL_TEST_DATA_DIR) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string part;
        while (std::getline(ss, part, '|'))
            f.push_back(part);
        if (f.size() == 3) // empty message text
            f.insert(f.begin() + 2, "");
        if (f.size() != 4)
            continue;
        out.push_back({static_cast<unsigned int>(std::stoul(f[0])), std::stoul(f[1]), f[2], f[3]});
    }
    return out;
}

inline std::string toHex(const unsigned char* p, std::size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

#endif
