// Helpers shared by the binary-field tests: hex conversion, OpenSSL numbers
// and the SEC 2 curve table of the data folder.
#ifndef TESTS_LIBTORVAPP_GF2N_GF2N_TEST_UTIL_H
#define TESTS_LIBTORVAPP_GF2N_GF2N_TEST_UTIL_H

#include <openssl/bn.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "libtorvapp/qvcommon/qvtypes.h"

namespace gf2ntest {

inline std::vector<QvOctet> fromHex(const std::string &h)
{
    std::vector<QvOctet> v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(static_cast<QvOctet>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return v;
}

inline std::string toHex(const QvOctet *p, size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(d[p[i] >> 4]);
        s.push_back(d[p[i] & 15]);
    }
    return s;
}

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
    std::ifstream in(std::string(MIRTAL_TEST_DATA_DIR) + "/sec2_binary_curves.txt");
    std::vector<CurveRow> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        CurveRow r;
        ls >> r.name >> r.poly >> r.a >> r.b >> r.gx >> r.gy >> r.order >> r.cofactor;
        rows.push_back(r);
    }
    return rows;
}

} // namespace gf2ntest

#endif
