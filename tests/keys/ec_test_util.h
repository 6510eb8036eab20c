// OpenSSL as the independent side of the elliptic-curve tests: groups in named or
// explicit form, keys, points and ECDSA signatures.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level EC_KEY structure is what is checked here
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>

#include <memory>
#include <vector>

#include "keys/dsaparms.h"
#include "keys_test_util.h"
#include "libtorvapp/qvrbg.h"

namespace ectest {

inline EC_GROUP* Group(int nid, bool explicitForm) {
    EC_GROUP* g = EC_GROUP_new_by_curve_name(nid);
    EXPECT_NE(nullptr, g);
    EC_GROUP_set_asn1_flag(g, explicitForm ? OPENSSL_EC_EXPLICIT_CURVE : OPENSSL_EC_NAMED_CURVE);
    return g;
}

inline std::vector<uint8_t> GroupDer(int nid, bool explicitForm,
                                     point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED) {
    EC_GROUP* g = Group(nid, explicitForm);
    EC_GROUP_set_point_conversion_form(g, form);
    unsigned char* o = nullptr;
    int n = i2d_ECPKParameters(g, &o);
    EXPECT_GT(n, 0);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    EC_GROUP_free(g);
    return v;
}

// A fresh key over the curve, its parameters written in the form asked for.
inline EC_KEY* NewKey(int nid, bool explicitForm) {
    EC_KEY* k = EC_KEY_new();
    EC_GROUP* g = Group(nid, explicitForm);
    EC_KEY_set_group(k, g);
    EC_GROUP_free(g);
    EXPECT_EQ(1, EC_KEY_generate_key(k));
    return k;
}

inline std::vector<uint8_t> KeyDer(const EC_KEY* k) {
    unsigned char* o = nullptr;
    int n = i2d_ECPrivateKey(const_cast<EC_KEY*>(k), &o);
    EXPECT_GT(n, 0);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    return v;
}

inline std::vector<uint8_t> PointOf(const EC_KEY* k, point_conversion_form_t form = POINT_CONVERSION_UNCOMPRESSED) {
    const EC_GROUP* g = EC_KEY_get0_group(k);
    std::vector<uint8_t> v(EC_POINT_point2oct(g, EC_KEY_get0_public_key(k), form, nullptr, 0, nullptr));
    EC_POINT_point2oct(g, EC_KEY_get0_public_key(k), form, v.data(), v.size(), nullptr);
    return v;
}

inline std::vector<uint8_t> PrivOf(const EC_KEY* k) { return keystest::Bn(EC_KEY_get0_private_key(k)); }

inline DSASignature OpensslSign(EC_KEY* k, const uint8_t* digest, unsigned len) {
    ECDSA_SIG* s = ECDSA_do_sign(digest, static_cast<int>(len), k);
    EXPECT_NE(nullptr, s);
    unsigned char* o = nullptr;
    int n = i2d_ECDSA_SIG(s, &o);
    std::vector<uint8_t> der(o, o + n);
    OPENSSL_free(o);
    ECDSA_SIG_free(s);
    DSASignature sig(0x30);
    EXPECT_EQ(n, sig.readVector(der));
    return sig;
}

inline bool OpensslVerifies(EC_KEY* k, const uint8_t* digest, unsigned len, const DSASignature& sig) {
    std::vector<uint8_t> der = keystest::Enc(sig);
    return ECDSA_verify(0, digest, static_cast<int>(len), der.data(), static_cast<int>(der.size()), k) == 1;
}

inline std::unique_ptr<QvRbg> Rbg(int salt) {
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 31 + salt);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    return rbg;
}

}  // namespace ectest
