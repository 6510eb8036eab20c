// Helpers shared by the codec tests: hex text <-> octets, decode and encode.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/libasn/asnbase.h"
#include "support/memfile.h"

namespace asntest {

// The octets of a hex text; anything but hex digits (spaces, colons) is passed over.
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

inline std::string Hex(const uint8_t* p, long n) {
    return Hex(std::vector<uint8_t>(p, p + (n > 0 ? n : 0)));
}

// Canonical spacing of a hex text.
inline std::string N(const std::string& hex) { return Hex(H(hex)); }

// A short-form TLV holding the octets of text.
inline std::vector<uint8_t> Tlv(uint8_t tag, const std::string& text) {
    std::vector<uint8_t> v;
    v.reserve(text.size() + 2);
    v.push_back(tag);
    v.push_back(static_cast<uint8_t>(text.size()));
    for (char c : text) v.push_back(static_cast<uint8_t>(c));
    return v;
}

inline long Decode(ASNobject& obj, const std::string& hex, uint8_t flags = 0) {
    std::vector<uint8_t> b = H(hex);
    if (b.empty()) return obj.readBuffer("", 0, flags);
    return obj.readVector(b, flags);
}

inline std::string Encode(const ASNobject& obj) {
    std::vector<uint8_t> v;
    long n = obj.encodeToVector(v);
    if (n < 0) return "ERR" + std::to_string(n);
    return Hex(v);
}

// Encodes through a growable stream (checks write's count as well).
inline std::string EncodeStream(const ASNobject& obj) {
    MemFile mf;
    long n = obj.write(&mf);
    if (n < 0) return "ERR" + std::to_string(n);
    if (n != mf.Size() || n != obj.lenOfObject()) return "COUNT-MISMATCH";
    return Hex(mf.GetData(), n);
}

}  // namespace asntest
