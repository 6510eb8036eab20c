// Helpers shared by the binary-field tests: OpenSSL numbers
// and the SEC 2 curve table of the data folder.
#ifndef TESTS_LIBTORVAPP_GF2N_GF2N_TEST_UTIL_H
#define TESTS_LIBTORVAPP_GF2N_GF2N_TEST_UTIL_H

#include <openssl/bn.h>

#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvtypes.h"
#include "tests/common/testsupport.h"

namespace gf2ntest {

using testsupport::FromHex;
using testsupport::ToHex;

struct BnDel {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnDel>;

inline Bn bnFromOctets(const std::vector<QvOctet> &v)
{
    return Bn(BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr));
}

// Big-endian octets of b, left-padded to len.
inline std::vector<QvOctet> bnToOctets(const BIGNUM *b, size_t len)
{
    std::vector<QvOctet> v(len);
    BN_bn2binpad(b, v.data(), static_cast<int>(len));
    return v;
}

struct CurveRow {
    std::string name, poly, a, b, gx, gy, order;
    unsigned int cofactor = 0;
};

inline std::vector<CurveRow> loadCurves()
{
    std::vector<CurveRow> rows;
    for (const testsupport::DataLine &l : testsupport::ReadDataLines(testsupport::DataFile("sec2_binary_curves.txt"))) {
        const std::vector<std::string> &f = l.fields;
        if (f.size() != 8) throw std::runtime_error("sec2_binary_curves.txt line " + std::to_string(l.number));
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], static_cast<unsigned int>(std::stoul(f[7]))});
    }
    return rows;
}

} // namespace gf2ntest

#endif
