// Short forms of the call sequences that tests of the loaded module repeat:
// a whole search, the first object of a class, one single-part signature, and
// a user session on a token with its private key.
#pragma once

#include <vector>

#include "tests/pkcs11impl/module_host.h"
#include "tests/pkcs11impl/p11test_template.h"

namespace modulecalls {

using testhost::Module;

// SHA-256 DigestInfo of "abc" (FIPS 180-4 example), the input of a PKCS #1 v1.5 signature.
inline const std::vector<CK_BYTE>& DigestInfoOfAbc() {
  static const std::vector<CK_BYTE> kDigestInfo = {
      0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00,
      0x04, 0x20, 0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22,
      0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  return kDigestInfo;
}

// Every handle a search finds, or the failure of the first call that fails.
inline CK_RV FindAll(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, TestTemplate t, std::vector<CK_OBJECT_HANDLE>* out) {
  out->clear();
  CK_RV rv = f->C_FindObjectsInit(s, t.data(), t.size());
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE buf[8];
  CK_ULONG got = 0;
  do {
    rv = f->C_FindObjects(s, buf, 8, &got);
    if (rv != CKR_OK) {
      f->C_FindObjectsFinal(s);
      return rv;
    }
    out->insert(out->end(), buf, buf + got);
  } while (got == 8);
  return f->C_FindObjectsFinal(s);
}

inline std::vector<CK_OBJECT_HANDLE> Find(const Module& m, CK_SESSION_HANDLE s, TestTemplate t) {
  std::vector<CK_OBJECT_HANDLE> out;
  EXPECT_EQ(CKR_OK, FindAll(m.list(), s, t, &out));
  return out;
}

inline CK_OBJECT_HANDLE FindOne(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, cls);
  const std::vector<CK_OBJECT_HANDLE> found = Find(m, s, t);
  return found.empty() ? CK_INVALID_HANDLE : found.front();
}

// C_SignInit and C_Sign with a buffer of the key's size.
inline CK_RV SignOnce(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech,
                      const std::vector<CK_BYTE>& data, std::vector<CK_BYTE>* sig) {
  CK_MECHANISM mechanism = {mech, nullptr, 0};
  CK_RV rv = f->C_SignInit(s, &mechanism, key);
  if (rv != CKR_OK) return rv;
  sig->assign(256, 0);
  CK_ULONG len = sig->size();
  rv = f->C_Sign(s, const_cast<CK_BYTE*>(data.data()), data.size(), sig->data(), &len);
  sig->resize(rv == CKR_OK ? len : 0);
  return rv;
}

inline CK_RV SignOnce(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech,
                      const std::vector<CK_BYTE>& data, std::vector<CK_BYTE>* sig) {
  return SignOnce(m.list(), s, key, mech, data, sig);
}

// A read-write session on the slot with the user logged in (PIN "1234") and the
// token's first private key; false when any step fails.
inline bool OpenUserSession(const Module& m, CK_SLOT_ID slot, CK_SESSION_HANDLE* s, CK_OBJECT_HANDLE* key) {
  CK_UTF8CHAR pin[] = "1234";
  if (m->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, s) != CKR_OK) return false;
  const CK_RV rv = m->C_Login(*s, CKU_USER, pin, 4);
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) return false;
  *key = FindOne(m, *s, CKO_PRIVATE_KEY);
  return *key != CK_INVALID_HANDLE;
}

}  // namespace modulecalls
