// OpenSSL as the independent reference of the PKCS#15 key tests: digests,
// DigestInfo blocks, RSA verification and encryption, key components.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <vector>

#include <gtest/gtest.h>

#include "keys/rsapukey.h"
#include "smartcard/sc_digestinfo.h"
#include "support/memfile.h"

namespace p15test {

using Bytes = std::vector<uint8_t>;

inline Bytes Sha256DigestInfo(const Bytes& msg) {
    uint8_t d[32];
    unsigned len = 0;
    EVP_Digest(msg.data(), msg.size(), d, &len, EVP_sha256(), nullptr);
    const uint8_t* prefix = nullptr;
    uint32_t prefixLen = 0;
    scGetDigestInfo(SC_HASH_SHA256, &prefix, &prefixLen);
    Bytes out(prefix, prefix + prefixLen);
    out.insert(out.end(), d, d + 32);
    return out;
}

inline Bytes BnBytes(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_EQ(1, EVP_PKEY_get_bn_param(key, name, &bn));
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// OpenSSL's view of a DER RSAPublicKey.
inline EVP_PKEY* PublicFromDer(const Bytes& der) {
    const uint8_t* p = der.data();
    return d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size()));
}

inline bool OpenSslVerifySha256(EVP_PKEY* key, const Bytes& msg, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

inline Bytes OpenSslEncrypt(EVP_PKEY* key, const Bytes& msg, int padding) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    size_t len = 0;
    Bytes out;
    if (EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) == 1 &&
        EVP_PKEY_encrypt(ctx, nullptr, &len, msg.data(), msg.size()) == 1) {
        out.resize(len);
        if (EVP_PKEY_encrypt(ctx, out.data(), &len, msg.data(), msg.size()) != 1) out.clear();
        out.resize(len);
    }
    EVP_PKEY_CTX_free(ctx);
    return out;
}

inline Bytes EncodePublic(const RSAPublicKey& key) {
    MemFile f;
    EXPECT_GT(key.write(&f), 0);
    return Bytes(f.GetData(), f.GetData() + f.Size());
}

}  // namespace p15test
