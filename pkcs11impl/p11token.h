// Base of the PKCS#11 tokens that slots own. The token operations come with the
// token layer; the application core so far needs only ownership.
#ifndef MIRTAL_PKCS11IMPL_P11TOKEN_H
#define MIRTAL_PKCS11IMPL_P11TOKEN_H

#include "pkcs11impl/cryptoki.h"

class CPkcs11Token {
 public:
  CPkcs11Token() = default;
  virtual ~CPkcs11Token();
  CPkcs11Token(const CPkcs11Token&) = delete;
  CPkcs11Token& operator=(const CPkcs11Token&) = delete;
};

#endif
