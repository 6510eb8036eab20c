// An RSA key made by OpenSSL (the independent reference), for tests that import
// keys through the module.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/pkcs11impl/module_host.h"
#include "tests/pkcs11impl/p11test_template.h"

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

// A certificate as an authority issues it: its DER, and the DER of its subject,
// its issuer and its serial number (what clients put in CKA_SUBJECT, CKA_ISSUER
// and CKA_SERIAL_NUMBER).
struct Certificate {
  std::vector<CK_BYTE> der, subject, issuer, serial;
};

// An X.509 certificate of about `size` octets (a comment extension makes up the
// length) for the subject commonName, signed with SHA-256 and an RSA-2048 key
// that is drawn once per process and certified by itself; empty on failure.
// unit: an organisational unit in the subject and in the issuer (long names).
inline Certificate OpenSslCertificate(const std::string& commonName, uint64_t serial, size_t size = 1024,
                                      const std::string& unit = "") {
  static EVP_PKEY* const key = EVP_RSA_gen(2048);  // kept for the process: each draw costs a second
  const auto der = [](auto* object, auto encode) {
    std::vector<CK_BYTE> out(static_cast<size_t>(std::max(0, encode(object, nullptr))));
    CK_BYTE* p = out.data();
    if (out.empty() || encode(object, &p) != static_cast<int>(out.size())) out.clear();
    return out;
  };
  const auto make = [&](size_t comment) {
    Certificate c;
    X509* x = X509_new();
    X509_NAME* subject = X509_NAME_new();
    X509_NAME* issuer = X509_NAME_new();
    const auto add = [](X509_NAME* n, const char* field, const std::string& v) {
      return X509_NAME_add_entry_by_txt(n, field, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(v.data()),
                                        static_cast<int>(v.size()), -1, 0) == 1;
    };
    const std::string pad(comment, 'x');
    X509_EXTENSION* ext =
        comment ? X509V3_EXT_conf_nid(nullptr, nullptr, NID_netscape_comment, pad.c_str()) : nullptr;
    bool ok = x && subject && issuer && key && X509_set_version(x, 2) == 1 &&
              ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial) == 1 && add(subject, "C", "PL") &&
              add(subject, "O", "Test Users") && (unit.empty() || add(subject, "OU", unit)) &&
              add(subject, "CN", commonName) && add(issuer, "C", "PL") &&
              add(issuer, "O", "Test Certification Authority") && (unit.empty() || add(issuer, "OU", unit)) &&
              add(issuer, "CN", "Test Issuing CA") &&
              X509_set_subject_name(x, subject) == 1 && X509_set_issuer_name(x, issuer) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), 0) && X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 365) &&
              X509_set_pubkey(x, key) == 1 && (!comment || (ext && X509_add_ext(x, ext, -1) == 1)) &&
              X509_sign(x, key, EVP_sha256()) > 0;
    if (ok) {
      c.der = der(x, i2d_X509);
      c.subject = der(subject, i2d_X509_NAME);
      c.issuer = der(issuer, i2d_X509_NAME);
      c.serial = der(X509_get_serialNumber(x), i2d_ASN1_INTEGER);
    }
    X509_EXTENSION_free(ext);
    X509_NAME_free(subject);
    X509_NAME_free(issuer);
    X509_free(x);
    return c;
  };
  const size_t bare = make(0).der.size() + 24;  // the extension's own octets
  size_t comment = size > bare ? size - bare : 0;
  Certificate c = make(comment);
  // Lengths of lengths may have grown: once more with the difference.
  if (comment && !c.der.empty() && c.der.size() != size && comment + size > c.der.size())
    c = make(comment + size - c.der.size());
  return c;
}

// The certificate's object as clients write it, public.
inline TestTemplate CertificateObject(const Certificate& c, const std::string& label, const std::string& id) {
  const auto text = [](const std::vector<CK_BYTE>& v) { return std::string(v.begin(), v.end()); };
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Bool(CKA_TOKEN, true);
  t.Bool(CKA_PRIVATE, false).Bytes(CKA_LABEL, label).Bytes(CKA_ID, id).Bytes(CKA_SUBJECT, text(c.subject));
  t.Bytes(CKA_ISSUER, text(c.issuer)).Bytes(CKA_SERIAL_NUMBER, text(c.serial)).Bytes(CKA_VALUE, text(c.der));
  return t;
}

}  // namespace testhost
