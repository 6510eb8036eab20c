// Helpers shared by the codec tests: hex text <-> octets, decode and encode.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/libasn/asnbase.h"
#include "support/memfile.h"
#include "tests/common/testsupport.h"

namespace asntest {

// Short names for the many hex texts of the codec tests: the octets of a hex
// text (spaces and colons passed over), and octets written as upper-case
// digit pairs separated by single spaces.
inline std::vector<uint8_t> H(const std::string& hex) { return testsupport::FromHex(hex); }

inline std::string Hex(const std::vector<uint8_t>& v) {
    return testsupport::ToHex(v, testsupport::HexCase::Upper, " ");
}

inline std::string Hex(const uint8_t* p, long n) {
    return testsupport::ToHex(p, n > 0 ? static_cast<size_t>(n) : 0, testsupport::HexCase::Upper, " ");
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
