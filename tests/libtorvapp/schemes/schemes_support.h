// Helpers of the scheme tests: OpenSSL keys carried into the library's key
// objects (OpenSSL serves only as the independent reference), a seeded
// generator, and small octet utilities.
#ifndef TESTS_LIBTORVAPP_SCHEMES_SCHEMES_SUPPORT_H
#define TESTS_LIBTORVAPP_SCHEMES_SCHEMES_SUPPORT_H

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvrbg.h"
#include "tests/common/testsupport.h"

using Bytes = std::vector<unsigned char>;

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// A seeded generator of the library (distinct seeds give distinct streams).
std::unique_ptr<QvRbg> makeRbg(unsigned int seedTag);

Bytes bnParam(const EVP_PKEY *k, const char *name);
std::string reasonOf(const char *text);
// The six-line text as received.
std::string textOf(const QvException &e);

// RSA keys of OpenSSL; cached per size so tests do not regenerate them.
EVP_PKEY *rsaKey(unsigned int bits);
void fillRsaPublic(QvRsaPublicKey &pub, EVP_PKEY *k);
void fillRsaPrivate(QvRsaPrivateKey &prv, EVP_PKEY *k, bool withFactors);

// Digest of msg by OpenSSL's implementation of the named hash.
Bytes mdDigest(const char *mdName, const Bytes &msg);
// OpenSSL signs/verifies a digest. rsaPadding is RSA_PKCS1_PADDING or
// RSA_PKCS1_PSS_PADDING (saltLen then applies), ignored for DSA/EC.
Bytes osslSign(EVP_PKEY *k, const char *mdName, const Bytes &digest, int rsaPadding = 0, int saltLen = 0);
bool osslVerify(EVP_PKEY *k, const char *mdName, const Bytes &digest, const Bytes &sig, int rsaPadding = 0,
                int saltLen = 0);

// The DER SEQUENCE around a two-INTEGER body and its removal.
Bytes wrapSequence(const Bytes &body);
Bytes unwrapSequence(const Bytes &der);

#endif
