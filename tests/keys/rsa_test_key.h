// One RSA key of OpenSSL's for the tests that check the RSA key structures and
// records against it: 1024 bits, e = 65537, made once per test program, with its
// PKCS #1 DER. Users define OPENSSL_SUPPRESS_DEPRECATED before any OpenSSL
// header: the low-level RSA structure is what these tests check.
#pragma once

#ifndef OPENSSL_SUPPRESS_DEPRECATED
#error "define OPENSSL_SUPPRESS_DEPRECATED before including OpenSSL headers"
#endif

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <vector>

namespace keystest {

inline RSA* OpensslRsaKey() {
    static RSA* rsa = [] {
        RSA* r = RSA_new();
        BIGNUM* e = BN_new();
        BN_set_word(e, 65537);
        EXPECT_EQ(1, RSA_generate_key_ex(r, 1024, e, nullptr));
        BN_free(e);
        return r;
    }();
    return rsa;
}

// The key's RSAPrivateKey or RSAPublicKey DER.
inline std::vector<uint8_t> OpensslRsaDer(bool privateKey) {
    unsigned char* o = nullptr;
    int n = privateKey ? i2d_RSAPrivateKey(OpensslRsaKey(), &o) : i2d_RSAPublicKey(OpensslRsaKey(), &o);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    return v;
}

}  // namespace keystest
