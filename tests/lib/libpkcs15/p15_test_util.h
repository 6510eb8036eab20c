// Helpers of the PKCS#15 type tests: the codec tests' hex text <-> octets and
// decoding, and re-encoding checked against the measured length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib/libasn/asnbase.h"
#include "tests/lib/libasn/asn_test_util.h"

namespace p15test {

using asntest::Decode;
using asntest::H;
using asntest::Hex;
using asntest::N;

// The DER encoding of obj as hex; checks lenOfObject against what was written.
inline std::string Enc(const ASNobject& obj) {
    std::vector<uint8_t> b;
    long r = obj.encodeToVector(b);
    if (r < 1) return "ENCODE FAILED " + std::to_string(r);
    if (static_cast<long>(b.size()) != obj.lenOfObject()) return "LENGTH MISMATCH " + Hex(b);
    return Hex(b);
}

}  // namespace p15test
