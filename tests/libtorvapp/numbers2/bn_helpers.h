// Conversions between the library's numbers and OpenSSL's BIGNUM, which serves
// the tests as an independent reference, plus a seeded source of operands.
#ifndef TESTS_LIBTORVAPP_NUMBERS2_BN_HELPERS_H
#define TESTS_LIBTORVAPP_NUMBERS2_BN_HELPERS_H

#include <openssl/bn.h>
#include <openssl/err.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libtorvapp/qvnumbers/qvn.h"
#include "tests/common/testsupport.h"

namespace numbers2 {

struct BnDel {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
typedef std::unique_ptr<BIGNUM, BnDel> Bn;

struct CtxDel {
    void operator()(BN_CTX *c) const { BN_CTX_free(c); }
};
typedef std::unique_ptr<BN_CTX, CtxDel> BnCtx;

inline Bn newBn() { return Bn(BN_new()); }

inline Bn toBn(const QvN &x) {
    std::vector<unsigned char> buf(x.getOctetLength() + 1);
    unsigned int len = x.asOctetString(buf.data(), (unsigned int)buf.size());
    return Bn(BN_bin2bn(buf.data(), (int)len, nullptr));
}

inline QvN fromBn(const BIGNUM *b) {
    std::vector<unsigned char> buf(BN_num_bytes(b) + 1);
    int len = BN_bn2bin(b, buf.data());
    return QvN(buf.data(), (unsigned int)len, 0);
}

inline std::string hexOf(const QvN &x) { return x.asHexASCII().c_str(); }

inline std::string hexOf(const BIGNUM *b) {
    if (BN_is_zero(b)) return "0";
    char *h = BN_bn2hex(b);
    std::string s(h);
    OPENSSL_free(h);
    for (char &c : s) c = (char)std::tolower((unsigned char)c);
    return testsupport::WithoutLeadingZeros(s);
}

// Seeded operands: NUMBERS2_SEED in the environment picks another seed.
class Source {
public:
    explicit Source(std::uint64_t base) {
        const char *s = std::getenv("NUMBERS2_SEED");
        rng.seed(s != nullptr ? std::strtoull(s, nullptr, 0) : base);
    }
    std::uint32_t word() { return (std::uint32_t)rng(); }
    unsigned int below(unsigned int n) { return (unsigned int)(rng() % n); }
    // A number of exactly `bits` bits (top bit set), sometimes with runs of
    // all-ones or zero words, which exercise carries.
    QvN bits(unsigned int bits) {
        const unsigned int words = (bits + 31) / 32;
        std::vector<QvWord> w(words);
        const unsigned int shape = below(8);
        for (auto &x : w) x = shape == 0 ? 0xFFFFFFFFu : (shape == 1 && below(2) ? 0 : word());
        if (bits % 32) w[words - 1] &= (1u << (bits % 32)) - 1;
        w[words - 1] |= 1u << ((bits - 1) % 32);
        return QvN(w.data(), words);
    }
    QvN odd(unsigned int b) {
        QvN x = bits(b);
        x[0] |= 1;
        return x;
    }
    QvN below(const QvN &limit) {
        QvN x = bits(limit.getBitLength() + 16);
        return x % limit;
    }

private:
    std::mt19937_64 rng;
};

}  // namespace numbers2

#endif
