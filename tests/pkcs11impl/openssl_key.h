// An RSA key made by OpenSSL (the independent reference), for tests that import
// keys through the module.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <vector>

#include "tests/pkcs11impl/module_host.h"

namespace testhost {

// The key's parts in PKCS#11 order: modulus, public and private exponent, the
// primes, the two CRT exponents and the coefficient (empty on failure).
inline std::vector<std::vector<CK_BYTE>> OpenSslRsaKey(unsigned bits) {
  std::vector<std::vector<CK_BYTE>> out;
  EVP_PKEY* key = EVP_RSA_gen(bits);
  for (const char* name : {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
                           OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
    BIGNUM* bn = nullptr;
    if (key == nullptr || EVP_PKEY_get_bn_param(key, name, &bn) != 1) break;
    out.emplace_back(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.back().data());
    BN_clear_free(bn);
  }
  EVP_PKEY_free(key);
  return out;
}

// The attributes of those parts, after the caller's own.
inline std::vector<CK_ATTRIBUTE> WithRsaKeyParts(std::vector<CK_ATTRIBUTE> t,
                                                 std::vector<std::vector<CK_BYTE>>& parts) {
  const CK_ATTRIBUTE_TYPE names[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                     CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
  for (size_t i = 0; i < parts.size() && i < 8; ++i) t.push_back({names[i], parts[i].data(), parts[i].size()});
  return t;
}

// OpenSSL's public key (n, e); null on failure.
inline EVP_PKEY* OpenSslPublicKey(const CK_BYTE* n, size_t nLen, const CK_BYTE* e, size_t eLen) {
  BIGNUM* bn = BN_bin2bn(n, static_cast<int>(nLen), nullptr);
  BIGNUM* be = BN_bin2bn(e, static_cast<int>(eLen), nullptr);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM* params = nullptr;
  EVP_PKEY* key = nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  bool ok = bn && be && bld && ctx && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, bn) == 1 &&
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, be) == 1 &&
            (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
            EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  EVP_PKEY_CTX_free(ctx);
  BN_free(bn);
  BN_free(be);
  if (!ok) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

// What OpenSSL recovers from a PKCS #1 v1.5 signature with the public key (n, e);
// empty when it does not verify.
inline std::vector<CK_BYTE> OpenSslRecoverPkcs1(const CK_BYTE* n, size_t nLen, const CK_BYTE* e, size_t eLen,
                                                const CK_BYTE* sig, size_t sigLen) {
  EVP_PKEY* key = OpenSslPublicKey(n, nLen, e, eLen);
  std::vector<CK_BYTE> out(nLen + 16);
  size_t len = out.size();
  EVP_PKEY_CTX* vctx = key ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
  const bool ok = vctx && EVP_PKEY_verify_recover_init(vctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(vctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_verify_recover(vctx, out.data(), &len, sig, sigLen) == 1;
  EVP_PKEY_CTX_free(vctx);
  EVP_PKEY_free(key);
  out.resize(ok ? len : 0);
  return out;
}

inline std::vector<CK_BYTE> OpenSslRecoverPkcs1(const std::vector<CK_BYTE>& n, const std::vector<CK_BYTE>& e,
                                                const std::vector<CK_BYTE>& sig) {
  return OpenSslRecoverPkcs1(n.data(), n.size(), e.data(), e.size(), sig.data(), sig.size());
}

}  // namespace testhost
