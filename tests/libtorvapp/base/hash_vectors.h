// Reads known-answer files of the form "id|repetitions|text|hex digest".
#ifndef TESTS_LIBTORVAPP_BASE_HASH_VECTORS_H
#define TESTS_LIBTORVAPP_BASE_HASH_VECTORS_H

#include <string>
#include <vector>

#include "tests/common/testsupport.h"

struct HashVector {
    unsigned int id;
    unsigned long repetitions;
    std::string text;
    std::string digestHex;
};

inline std::vector<HashVector> readHashVectors(const std::string& file)
{
    std::vector<HashVector> out;
    for (testsupport::DataLine& l : testsupport::ReadDataLines(testsupport::DataFile(file), '|')) {
        std::vector<std::string>& f = l.fields;
        if (f.size() == 3) // empty message text
            f.insert(f.begin() + 2, "");
        if (f.size() != 4)
            continue;
        out.push_back({static_cast<unsigned int>(std::stoul(f[0])), std::stoul(f[1]), f[2], f[3]});
    }
    return out;
}

using testsupport::ToHex;

#endif
