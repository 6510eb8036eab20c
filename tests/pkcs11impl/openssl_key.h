// An RSA key made by OpenSSL (the independent reference), for tests that import
// keys through the module.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
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

}  // namespace testhost
