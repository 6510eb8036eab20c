// Templates from arbitrary bytes through validation, the object factory and the
// attribute read, write, match and copy paths of session objects.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11seckey.h"
#include "pkcs11impl/p11validate.h"

namespace {

const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_VALUE, CKA_OBJECT_ID, CKA_CERTIFICATE_TYPE, CKA_SUBJECT,
    CKA_KEY_TYPE, CKA_ID, CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT,
    CKA_PRIVATE_EXPONENT, CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_PRIME_BITS, CKA_VALUE_BITS, CKA_VALUE_LEN,
    CKA_LOCAL, CKA_KEY_GEN_MECHANISM, CKA_MODIFIABLE, CKA_COPYABLE, CKA_EC_PARAMS, CKA_EC_POINT,
    CKA_ALWAYS_SENSITIVE, CKA_HW_FEATURE_TYPE, CKA_HAS_RESET, CKA_PIXEL_X, CKA_MECHANISM_TYPE, CKA_URL,
    CKA_HASH_OF_SUBJECT_PUBLIC_KEY, CKA_HASH_OF_ISSUER_PUBLIC_KEY, CKA_MIRTAL_QUALIFIED_OBJECT,
    CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE, CKA_VENDOR_DEFINED + 1};
const CK_ULONG kVersions[] = {0, 521, 522, 523, 524, 531, 532, 541, 542, 0xFFFFFFFFUL};

struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};

// One template: count, then per entry a type index, a length code and the value.
// Values point into `store`, which never reallocates while the template lives.
std::vector<CK_ATTRIBUTE> ReadTemplate(Reader& r, std::vector<std::vector<uint8_t>>& store) {
  std::vector<CK_ATTRIBUTE> t;
  size_t count = r.Byte() % 9;
  store.reserve(store.size() + count);
  for (size_t i = 0; i < count; ++i) {
    CK_ATTRIBUTE_TYPE type = kTypes[r.Byte() % (sizeof kTypes / sizeof kTypes[0])];
    uint8_t code = r.Byte();
    if (code == 0xFF) {
      t.push_back({type, nullptr, ~0UL});
      continue;
    }
    if (code == 0xFE) {
      t.push_back({type, nullptr, 4});  // null value with a length
      continue;
    }
    size_t len = code % 33;
    std::vector<uint8_t> v(len ? len : 1);
    for (size_t k = 0; k < len; ++k) v[k] = r.Byte();
    // Numbers of eight bytes are the common case for CK_ULONG attributes.
    if (code & 0x80) {
      CK_ULONG num = r.Byte() % 40;
      v.assign(reinterpret_cast<uint8_t*>(&num), reinterpret_cast<uint8_t*>(&num) + sizeof num);
      len = sizeof num;
    }
    store.push_back(std::move(v));
    t.push_back({type, len ? store.back().data() : nullptr, len});
  }
  return t;
}

void Exercise(CPkcs11Object* o, std::vector<CK_ATTRIBUTE>& t) {
  CK_ATTRIBUTE* p = t.empty() ? nullptr : t.data();
  CK_ULONG n = t.size();
  o->Matches(p, n);
  o->ValidateTemplate(p, n, P11_MODE_MODIFY);
  o->ModifyAttributeValues(p, n);
  o->SetAttributeValues(p, n);
  // Reads into buffers of the declared sizes.
  std::vector<CK_ATTRIBUTE> q(t);
  std::vector<std::vector<uint8_t>> bufs(q.size());
  for (size_t i = 0; i < q.size(); ++i) {
    if (q[i].ulValueLen == ~0UL || q[i].ulValueLen > 64) {
      q[i].pValue = nullptr;
      continue;
    }
    bufs[i].resize(q[i].ulValueLen + 1);
    q[i].pValue = bufs[i].data();
  }
  o->GetAttributeValues(q.empty() ? nullptr : q.data(), q.size());
  CPkcs11Object* copy = nullptr;
  if (o->Copy(p, n, &copy) == CKR_OK) {
    copy->GetFixedAttributeCount();
    delete copy;
  }
  const CK_ATTRIBUTE* built = nullptr;
  CK_ULONG count = 0;
  o->BuildAttributeTemplate(&built, &count, (n & 1) != 0, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  CK_ULONG version = kVersions[r.Byte() % (sizeof kVersions / sizeof kVersions[0])];
  std::vector<std::vector<uint8_t>> store;
  std::vector<CK_ATTRIBUTE> t1 = ReadTemplate(r, store);
  std::vector<CK_ATTRIBUTE> t2 = ReadTemplate(r, store);
  CK_ATTRIBUTE* p1 = t1.empty() ? nullptr : t1.data();
  for (unsigned mode = 0; mode < 4; ++mode) {
    ValidateObjectTemplate(p1, t1.size(), mode, ~0UL, ~0UL, version);
    ValidatePrivateKeyTemplate(p1, t1.size(), mode, r.Byte() % 7, version);
    ValidatePublicKeyTemplate(p1, t1.size(), mode, ~0UL, version);
    ValidateSecretKeyTemplate(p1, t1.size(), mode, 16 + r.Byte() % 18, version);
  }
  CPkcs11Object* o = nullptr;
  if (CreateObjectFromTemplate(p1, t1.size(), &o, version) == CKR_OK) {
    if (o == nullptr) __builtin_trap();  // success always carries an object
    Exercise(o, t2);
    delete o;
  } else if (o != nullptr) {
    __builtin_trap();  // failure never leaves one
  }
  return 0;
}
