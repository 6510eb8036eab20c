// What a token shows through the module, checked as a user would: every value
// reads, every private key signs what OpenSSL verifies with its public key.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/openssl_key.h"

namespace tokencheck {

using cardimage::Hex;
using modulecalls::DigestInfoOfAbc;
using modulecalls::FindAll;
using modulecalls::SignOnce;
using testhost::Fmt;
using testhost::OpenSslRecoverPkcs1;

// Lines of problems as one text.
inline std::string Join(const std::vector<std::string>& v) {
  std::string out;
  for (const std::string& s : v) out += (out.empty() ? "" : "; ") + s;
  return out;
}

// The changed data object's label and value, before and after the change.
struct ValueChange {
  std::string oldLabel, oldValue, newLabel, newValue;
};

// One attribute's octets (a size query first).
inline CK_RV Attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type,
                       std::string* out) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  CK_RV rv = f->C_GetAttributeValue(s, h, &a, 1);
  if (rv != CKR_OK) return rv;
  out->assign(a.ulValueLen, '\0');
  a.pValue = out->empty() ? nullptr : &(*out)[0];
  rv = f->C_GetAttributeValue(s, h, &a, 1);
  out->resize(rv == CKR_OK ? a.ulValueLen : 0);
  return rv;
}

inline std::vector<CK_BYTE> Octets(const std::string& s) { return std::vector<CK_BYTE>(s.begin(), s.end()); }

// What the token shows: every data object's value reads (the changed one old or
// new, label and value together); every private key signs what OpenSSL verifies
// with its public key (its own modulus and exponent where no public key has its
// CKA_ID). `lone` gets the CKA_IDs of private keys without a public key.
inline std::vector<std::string> TokenProblems(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, const ValueChange* change,
                                              std::set<std::string>* lone) {
  std::vector<std::string> out;
  std::vector<CK_OBJECT_HANDLE> data, prv, pub, certs;
  TestTemplate td, tprv, tpub, tcert;
  td.Ulong(CKA_CLASS, CKO_DATA);
  tprv.Ulong(CKA_CLASS, CKO_PRIVATE_KEY);
  tpub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY);
  tcert.Ulong(CKA_CLASS, CKO_CERTIFICATE);
  CK_RV rv = FindAll(f, s, td, &data);
  if (rv == CKR_OK) rv = FindAll(f, s, tprv, &prv);
  if (rv == CKR_OK) rv = FindAll(f, s, tpub, &pub);
  if (rv == CKR_OK) rv = FindAll(f, s, tcert, &certs);
  if (rv != CKR_OK) return {Fmt("a search answers 0x%lx", rv)};
  for (CK_OBJECT_HANDLE h : certs) {
    std::string value;
    rv = Attribute(f, s, h, CKA_VALUE, &value);
    if (rv != CKR_OK || value.empty()) out.push_back(Fmt("a certificate's value answers 0x%lx", rv));
  }
  for (CK_OBJECT_HANDLE h : data) {
    std::string label, value;
    (void)Attribute(f, s, h, CKA_LABEL, &label);
    rv = Attribute(f, s, h, CKA_VALUE, &value);
    if (rv != CKR_OK) {
      out.push_back(Fmt("the value of \"%s\" answers 0x%lx", label.c_str(), rv));
    } else if (change && (label == change->oldLabel || label == change->newLabel)) {
      const bool whole = change->oldLabel == change->newLabel ? value == change->oldValue || value == change->newValue
                         : label == change->oldLabel       ? value == change->oldValue
                                                           : value == change->newValue;
      if (!whole) out.push_back(Fmt("\"%s\" holds a value of %zu octets, neither its old nor its new one", label.c_str(),
                                    value.size()));
    }
  }
  std::map<std::string, CK_OBJECT_HANDLE> publicById;
  for (CK_OBJECT_HANDLE h : pub) {
    std::string id;
    if (Attribute(f, s, h, CKA_ID, &id) == CKR_OK) publicById[id] = h;
  }
  if (lone) lone->clear();
  for (CK_OBJECT_HANDLE h : prv) {
    std::string id, n, e;
    (void)Attribute(f, s, h, CKA_ID, &id);
    const std::string name = Hex(reinterpret_cast<const uint8_t*>(id.data()), id.size());
    const auto p = publicById.find(id);
    if (p == publicById.end() && lone) lone->insert(name);
    const CK_OBJECT_HANDLE keyOf = p != publicById.end() ? p->second : h;
    std::vector<CK_BYTE> sig;
    rv = SignOnce(f, s, h, CKM_RSA_PKCS, DigestInfoOfAbc(), &sig);
    if (rv != CKR_OK) {
      out.push_back(Fmt("the key %s does not sign: 0x%lx", name.c_str(), rv));
    } else if (Attribute(f, s, keyOf, CKA_MODULUS, &n) != CKR_OK ||
               Attribute(f, s, keyOf, CKA_PUBLIC_EXPONENT, &e) != CKR_OK ||
               OpenSslRecoverPkcs1(Octets(n), Octets(e), sig) != DigestInfoOfAbc()) {
      out.push_back(Fmt("OpenSSL does not verify the signature of the key %s", name.c_str()));
    }
  }
  return out;
}

}  // namespace tokencheck
