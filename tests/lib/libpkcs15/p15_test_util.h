// Helpers of the PKCS#15 type tests: hex text <-> octets, decode and re-encode.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/libasn/asnbase.h"

namespace p15test {

inline std::vector<uint8_t> H(const std::string& hex) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                            : (std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

inline std::string Hex(const std::vector<uint8_t>& v) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < v.size(); i++) {
        if (i) s += ' ';
        s += d[v[i] >> 4];
        s += d[v[i] & 15];
    }
    return s;
}

// Canonical spacing of a hex text.
inline std::string N(const std::string& hex) { return Hex(H(hex)); }

// Decodes the whole hex text into obj; the read result.
inline long Decode(ASNobject& obj, const std::string& hex) {
    std::vector<uint8_t> b = H(hex);
    return obj.readVector(b);
}

// The DER encoding of obj as hex; checks lenOfObject against what was written.
inline std::string Enc(const ASNobject& obj) {
    std::vector<uint8_t> b;
    long r = obj.encodeToVector(b);
    if (r < 1) return "ENCODE FAILED " + std::to_string(r);
    if (static_cast<long>(b.size()) != obj.lenOfObject()) return "LENGTH MISMATCH " + Hex(b);
    return Hex(b);
}

}  // namespace p15test
