// RSA results of the card checked with OpenSSL: a public key from the card's
// modulus and exponent, PKCS #1 v1.5 signatures over SHA-256, and the
// DigestInfo the card signs.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdint>
#include <vector>

#include "smartcard/sc_digestinfo.h"

namespace rsacheck {

using Bytes = std::vector<uint8_t>;

// An RSA public key from modulus and exponent bytes (free with EVP_PKEY_free).
inline EVP_PKEY* PublicKey(const Bytes& n, const Bytes& e) {
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr),
                 BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr), nullptr);
    EVP_PKEY* key = EVP_PKEY_new();
    EVP_PKEY_assign_RSA(key, rsa);
    return key;
}

inline bool VerifyPkcs1Sha256(EVP_PKEY* key, const Bytes& msg, const Bytes& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig.data(), sig.size(), msg.data(), msg.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

inline Bytes Sha256DigestInfo(const Bytes& msg) {
    const uint8_t* prefix = nullptr;
    uint32_t prefixLen = 0;
    const uint32_t dl = scGetDigestInfo(SC_HASH_SHA256, &prefix, &prefixLen);
    Bytes di(prefix, prefix + prefixLen);
    di.resize(prefixLen + dl);
    SHA256(msg.data(), msg.size(), di.data() + prefixLen);
    return di;
}

}  // namespace rsacheck
