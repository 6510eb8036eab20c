// Template validation by class, mode and version code, and the object factory.
#include <gtest/gtest.h>

#include <memory>

#include "pkcs11impl/p11cert.h"
#include "pkcs11impl/p11data.h"
#include "pkcs11impl/p11domparams.h"
#include "pkcs11impl/p11factory.h"
#include "pkcs11impl/p11hwfeature.h"
#include "pkcs11impl/p11mechanism.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11seckey.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11validate.h"
#include "support/vtest.h"
#include "tests/pkcs11impl/p11test_template.h"

namespace {

using ObjectPtr = std::unique_ptr<CPkcs11Object>;

CK_RV CreateRv(TestTemplate& t, CK_ULONG version = 0, ObjectPtr* out = nullptr) {
  CPkcs11Object* o = reinterpret_cast<CPkcs11Object*>(1);
  CK_RV rv = CreateObjectFromTemplate(TT_ARGS(t), &o, version);
  if (rv != CKR_OK) {
    EXPECT_EQ(o, nullptr);
    return rv;
  }
  EXPECT_NE(o, nullptr);  // success always comes with an object
  ObjectPtr p(o);
  if (out) *out = std::move(p);
  return rv;
}

// Outside create mode the caller names the class; here it is the template's own.
CK_RV Validate(TestTemplate& t, unsigned mode, CK_ULONG version = 0) {
  CK_OBJECT_CLASS cls = ~0UL;
  if (mode != P11_MODE_CREATE) GetTemplateClass(TT_ARGS(t), &cls);
  return ValidateObjectTemplate(TT_ARGS(t), mode, cls, ~0UL, version);
}

TestTemplate X509() {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_CERTIFICATE)
      .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .Bytes(CKA_SUBJECT, "\x30\x00")
      .Bytes(CKA_VALUE, "\x30\x03\x02\x01\x00");
  return t;
}

TestTemplate RsaPublicGen() {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Ulong(CKA_MODULUS_BITS, 2048).Bool(CKA_VERIFY, true);
  return t;
}

// Full create templates of every storage class; removing a required attribute
// must give CKR_TEMPLATE_INCOMPLETE.
struct CreateCase {
  const char* name;
  TestTemplate tmpl;
  std::vector<CK_ATTRIBUTE_TYPE> required;
};

std::vector<CreateCase> CreateCases() {
  std::vector<CreateCase> v;
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_VALUE, "v");
    v.push_back({"data", t, {CKA_CLASS}});
  }
  v.push_back({"x509", X509(), {CKA_CLASS, CKA_CERTIFICATE_TYPE, CKA_SUBJECT, CKA_VALUE}});
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bytes(CKA_MODULUS, "m").Bytes(CKA_PUBLIC_EXPONENT, "e");
    v.push_back({"rsa public", t, {CKA_CLASS, CKA_KEY_TYPE, CKA_MODULUS, CKA_PUBLIC_EXPONENT}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_DSA)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_SUBPRIME, "q")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "y");
    v.push_back({"dsa public", t, {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_EC).Bytes(CKA_EC_PARAMS, "o").Bytes(CKA_EC_POINT, "q");
    v.push_back({"ec public", t, {CKA_EC_PARAMS, CKA_EC_POINT}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_DH)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "y");
    v.push_back({"dh public", t, {CKA_PRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_X9_42_DH)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_SUBPRIME, "q")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "y");
    v.push_back({"x9.42 public", t, {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_EC).Bytes(CKA_EC_PARAMS, "o").Bytes(CKA_VALUE, "d");
    v.push_back({"ec private", t, {CKA_CLASS, CKA_KEY_TYPE, CKA_EC_PARAMS, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_DSA)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_SUBPRIME, "q")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "x");
    v.push_back({"dsa private", t, {CKA_PRIME, CKA_SUBPRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_DH)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "x");
    v.push_back({"dh private", t, {CKA_PRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
        .Ulong(CKA_KEY_TYPE, CKK_X9_42_DH)
        .Bytes(CKA_PRIME, "p")
        .Bytes(CKA_BASE, "g")
        .Bytes(CKA_VALUE, "x");
    v.push_back({"x9.42 private", t, {CKA_PRIME, CKA_BASE, CKA_VALUE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Ulong(CKA_VALUE_LEN, 32);
    v.push_back({"aes", t, {CKA_CLASS, CKA_KEY_TYPE, CKA_VALUE_LEN}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_DSA).Bytes(CKA_PRIME, "p").Bytes(CKA_SUBPRIME, "q").Bytes(CKA_BASE, "g");
    v.push_back({"dsa parameters", t, {CKA_CLASS, CKA_KEY_TYPE, CKA_PRIME, CKA_SUBPRIME, CKA_BASE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_DH).Bytes(CKA_PRIME, "p").Bytes(CKA_BASE, "g");
    v.push_back({"dh parameters", t, {CKA_PRIME, CKA_BASE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_X9_42_DH).Bytes(CKA_PRIME, "p").Bytes(CKA_BASE, "g");
    v.push_back({"x9.42 parameters", t, {CKA_PRIME, CKA_BASE}});
  }
  {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_CLOCK).Bytes(CKA_VALUE, "2024010112000000");
    v.push_back({"clock", t, {CKA_HW_FEATURE_TYPE}});
  }
  return v;
}

}  // namespace

TEST(P11Factory, EveryClassIsCreatedAndMissingRequiredAttributesAreIncomplete) {
  for (CreateCase& c : CreateCases()) {
    ObjectPtr o;
    ASSERT_EQ(CreateRv(c.tmpl, 0, &o), CKR_OK) << c.name;
    EXPECT_EQ(Validate(c.tmpl, P11_MODE_CREATE), CKR_OK) << c.name;
    for (CK_ATTRIBUTE_TYPE r : c.required) {
      TestTemplate t = c.tmpl;
      t.Without(r);
      EXPECT_EQ(CreateRv(t), CKR_TEMPLATE_INCOMPLETE) << c.name << " without " << r;
    }
  }
}

TEST(P11Factory, CreatedObjectsHaveTheirClasses) {
  ObjectPtr o;
  TestTemplate x = X509();
  ASSERT_EQ(CreateRv(x, 0, &o), CKR_OK);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectX509Certificate*>(o.get()), nullptr);
  for (CreateCase& c : CreateCases()) {
    ASSERT_EQ(CreateRv(c.tmpl, 0, &o), CKR_OK);
    CK_ULONG cls = 0;
    ASSERT_TRUE(o->GetUlongAttribute(CKA_CLASS, &cls));
    EXPECT_EQ(cls, o->GetClass());
  }
  TestTemplate ec;
  ec.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_EC).Bytes(CKA_EC_PARAMS, "o").Bytes(CKA_EC_POINT, "q");
  ASSERT_EQ(CreateRv(ec, 0, &o), CKR_OK);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectEcPublicKey*>(o.get()), nullptr);
  TestTemplate counter;
  counter.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_MONOTONIC_COUNTER);
  ASSERT_EQ(CreateRv(counter, 0, &o), CKR_OK);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectHwMonotonicCounter*>(o.get()), nullptr);
  TestTemplate info;
  info.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_MIRTAL_TOKEN_INFO).Bool(CKA_MIRTAL_NOT_ACTIVATED, true);
  ASSERT_EQ(CreateRv(info, 0, &o), CKR_OK);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectHwMirtalTokenInfo*>(o.get()), nullptr);
  TestTemplate vendor;
  vendor.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_VENDOR_DEFINED + 5);
  ASSERT_EQ(CreateRv(vendor, 0, &o), CKR_OK);
  EXPECT_EQ(o->GetSubtype(), CKH_VENDOR_DEFINED + 5);
}

TEST(P11Factory, ClassAttributeIsRequiredAndWellFormed) {
  TestTemplate none;
  none.Bytes(CKA_LABEL, "x");
  EXPECT_EQ(CreateRv(none), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate shortClass;
  shortClass.Raw(CKA_CLASS, "\0\0\0\0", 4);
  EXPECT_EQ(CreateRv(shortClass), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate odd;
  odd.Ulong(CKA_CLASS, 0x42);
  EXPECT_EQ(CreateRv(odd), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate otp;
  otp.Ulong(CKA_CLASS, CKO_OTP_KEY);
  EXPECT_EQ(CreateRv(otp), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(P11Factory, NullArgumentsAreRefused) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA);
  EXPECT_EQ(CreateObjectFromTemplate(TT_ARGS(t), nullptr, 0), CKR_FUNCTION_FAILED);
  CPkcs11Object* o = nullptr;
  EXPECT_EQ(CreateObjectFromTemplate(nullptr, 3, &o, 0), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(CreateObjectFromTemplate(nullptr, 0, &o, 0), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(CreateDataObject(TT_ARGS(t), nullptr, 0), CKR_ARGUMENTS_BAD);
  TestTemplate k;
  k.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_DES3);
  EXPECT_EQ(CreateSecretKeyObject(TT_ARGS(k), nullptr, 0), CKR_FUNCTION_FAILED);
  EXPECT_THROW(CreateCertificateObject(TT_ARGS(t), nullptr, 0), VtestException);
}

TEST(P11Factory, DirectCreatorsTakeAbsentClassAsTheirOwn) {
  TestTemplate t;
  t.Bytes(CKA_VALUE, "v");
  CPkcs11Object* o = nullptr;
  ASSERT_EQ(CreateDataObject(TT_ARGS(t), &o, 0), CKR_OK);
  ObjectPtr data(o);
  TestTemplate wrong;
  wrong.Ulong(CKA_CLASS, CKO_CERTIFICATE);
  EXPECT_EQ(CreateDataObject(TT_ARGS(wrong), &o, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate cert;  // no certificate type: taken as X.509
  cert.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_SUBJECT, "s").Bytes(CKA_VALUE, "v");
  ASSERT_EQ(CreateCertificateObject(TT_ARGS(cert), &o, 0), CKR_OK);
  ObjectPtr c(o);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectX509Certificate*>(o), nullptr);
  TestTemplate wtls;
  wtls.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_WTLS);
  ASSERT_EQ(CreateCertificateObject(TT_ARGS(wtls), &o, 0), CKR_OK);
  ObjectPtr plain(o);
  EXPECT_EQ(o->GetSubtype(), CKC_WTLS);
  EXPECT_EQ(dynamic_cast<CPkcs11ObjectX509Certificate*>(o), nullptr);
  TestTemplate clock;
  clock.Bytes(CKA_VALUE, "t");
  ASSERT_EQ(CreateHwClockObject(TT_ARGS(clock), &o, 0), CKR_OK);
  ObjectPtr hw(o);
  TestTemplate mismatch;
  mismatch.Ulong(CKA_HW_FEATURE_TYPE, CKH_USER_INTERFACE);
  EXPECT_EQ(CreateHwClockObject(TT_ARGS(mismatch), &o, 0), CKR_TEMPLATE_INCONSISTENT);
}

// ---- validation rules by class ----

TEST(P11Validate, ObjectLevelRules) {
  TestTemplate dataWithKeyType;
  dataWithKeyType.Ulong(CKA_CLASS, CKO_DATA).Ulong(CKA_KEY_TYPE, CKK_RSA);
  EXPECT_EQ(Validate(dataWithKeyType, P11_MODE_CREATE), CKR_ATTRIBUTE_TYPE_INVALID);
  // A caller naming a class the template lacks learns of an incomplete template,
  // never of the internal not-found value.
  TestTemplate label;
  label.Bytes(CKA_LABEL, "l");
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(label), P11_MODE_CREATE, CKO_DATA, ~0UL, 0), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate cls;
  cls.Ulong(CKA_CLASS, CKO_DATA);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(cls), P11_MODE_CREATE, CKO_CERTIFICATE, ~0UL, 0), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(cls), P11_MODE_MODIFY, ~1UL, ~0UL, 0), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate common;
  common.Bytes(CKA_LABEL, "l").Bool(CKA_TOKEN, false);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(common), P11_MODE_OTHER, ~0UL, ~0UL, 0), CKR_OK);
  TestTemplate nonCommon;
  nonCommon.Bytes(CKA_VALUE, "v");
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(nonCommon), P11_MODE_OTHER, ~0UL, ~0UL, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(nonCommon), P11_MODE_OTHER, ~1UL, ~0UL, 0), CKR_OK);
  EXPECT_EQ(ValidateObjectTemplate(nullptr, 1, P11_MODE_OTHER, CKO_DATA, ~0UL, 0), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(common), P11_MODE_OTHER, 0x99, ~0UL, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate copyable;
  copyable.Bool(CKA_COPYABLE, true);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(copyable), P11_MODE_OTHER, ~0UL, ~0UL, 541), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(copyable), P11_MODE_OTHER, ~0UL, ~0UL, 542), CKR_OK);
}

TEST(P11Validate, StorageLevelRules) {
  TestTemplate t;
  t.Bool(CKA_MODIFIABLE, false);
  EXPECT_EQ(ValidateStorageTemplate(TT_ARGS(t), P11_MODE_MODIFY, ~1UL, ~0UL, 0), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate l;
  l.Bytes(CKA_LABEL, "l");
  EXPECT_EQ(ValidateStorageTemplate(TT_ARGS(l), P11_MODE_MODIFY, ~1UL, ~0UL, 0), CKR_OK);
  TestTemplate hw;
  hw.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_CLOCK);
  EXPECT_EQ(ValidateStorageTemplate(TT_ARGS(hw), P11_MODE_CREATE, ~0UL, ~0UL, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  CPkcs11Object* o = nullptr;
  EXPECT_EQ(CreateStorageObjectFromTemplate(TT_ARGS(hw), &o, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate data;
  data.Ulong(CKA_CLASS, CKO_DATA);
  ASSERT_EQ(CreateStorageObjectFromTemplate(TT_ARGS(data), &o, 0), CKR_OK);
  delete o;
}

TEST(P11Validate, ModifyModeReadOnlyAttributesByClass) {
  struct Case {
    CK_OBJECT_CLASS cls;
    CK_ULONG subtype;
    CK_ATTRIBUTE_TYPE attr;
    CK_RV expect;
  };
  const Case cases[] = {
      {CKO_DATA, ~0UL, CKA_TOKEN, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_DATA, ~0UL, CKA_PRIVATE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_DATA, ~0UL, CKA_LABEL, CKR_OK},
      {CKO_DATA, ~0UL, CKA_VALUE, CKR_OK},
      {CKO_CERTIFICATE, CKC_X_509, CKA_SUBJECT, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_CERTIFICATE, CKC_X_509, CKA_TRUSTED, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_CERTIFICATE, CKC_X_509, CKA_ID, CKR_OK},
      {CKO_CERTIFICATE, CKC_X_509, CKA_ISSUER, CKR_OK},
      {CKO_PRIVATE_KEY, CKK_RSA, CKA_LOCAL, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PRIVATE_KEY, CKK_RSA, CKA_ALWAYS_SENSITIVE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PRIVATE_KEY, CKK_RSA, CKA_ALWAYS_AUTHENTICATE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PRIVATE_KEY, CKK_RSA, CKA_PRIME_1, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PRIVATE_KEY, CKK_RSA, CKA_PUBLIC_EXPONENT, CKR_OK},
      {CKO_PRIVATE_KEY, CKK_EC, CKA_EC_PARAMS, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PRIVATE_KEY, CKK_EC, CKA_DECRYPT, CKR_OK},
      {CKO_PUBLIC_KEY, CKK_RSA, CKA_MODULUS_BITS, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PUBLIC_KEY, CKK_RSA, CKA_TRUSTED, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PUBLIC_KEY, CKK_DSA, CKA_VALUE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_PUBLIC_KEY, CKK_DSA, CKA_VERIFY, CKR_OK},
      {CKO_SECRET_KEY, CKK_AES, CKA_NEVER_EXTRACTABLE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_SECRET_KEY, CKK_AES, CKA_KEY_TYPE, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_SECRET_KEY, CKK_AES, CKA_ENCRYPT, CKR_OK},
      {CKO_SECRET_KEY, CKK_DES3, CKA_VALUE_LEN, CKR_ATTRIBUTE_TYPE_INVALID},
      {CKO_DOMAIN_PARAMETERS, CKK_DH, CKA_PRIME, CKR_ATTRIBUTE_READ_ONLY},
      {CKO_DOMAIN_PARAMETERS, CKK_DH, CKA_LABEL, CKR_OK},
      {CKO_DOMAIN_PARAMETERS, CKK_X9_42_DH, CKA_SUBPRIME_BITS, CKR_ATTRIBUTE_READ_ONLY},
  };
  for (const Case& c : cases) {
    TestTemplate t;
    if (c.attr == CKA_LABEL || c.attr == CKA_VALUE || c.attr == CKA_ID || c.attr == CKA_ISSUER ||
        c.attr == CKA_PUBLIC_EXPONENT || c.attr == CKA_SUBJECT || c.attr == CKA_PRIME_1 || c.attr == CKA_EC_PARAMS ||
        c.attr == CKA_PRIME)
      t.Bytes(c.attr, "x");
    else if (c.attr == CKA_MODULUS_BITS || c.attr == CKA_VALUE_LEN || c.attr == CKA_KEY_TYPE ||
             c.attr == CKA_SUBPRIME_BITS)
      t.Ulong(c.attr, c.attr == CKA_KEY_TYPE ? c.subtype : 16);
    else
      t.Bool(c.attr, true);
    EXPECT_EQ(ValidateObjectTemplate(TT_ARGS(t), P11_MODE_MODIFY, c.cls, c.subtype, 0), c.expect)
        << "class " << c.cls << " attribute " << c.attr;
  }
}

TEST(P11Validate, CertificateRules) {
  TestTemplate wtls;
  wtls.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_WTLS).Bytes(CKA_SUBJECT, "s");
  EXPECT_EQ(CreateRv(wtls), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate attrCert;
  attrCert.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509_ATTR_CERT);
  EXPECT_EQ(CreateRv(attrCert), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(ValidateCertificateTemplate(TT_ARGS(attrCert), P11_MODE_MODIFY, ~0UL, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate noType = X509();
  noType.Without(CKA_CERTIFICATE_TYPE);
  EXPECT_EQ(CreateRv(noType), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate qualified = X509();
  qualified.Bool(CKA_MIRTAL_QUALIFIED_OBJECT, true);
  EXPECT_EQ(Validate(qualified, P11_MODE_CREATE, 524), CKR_OK);
  EXPECT_EQ(Validate(qualified, P11_MODE_CREATE, 523), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(CreateRv(qualified), CKR_ATTRIBUTE_TYPE_INVALID);  // no record holds it
}

TEST(P11Validate, X509CreationFrom220NeedsValueOrUrlWithHashes) {
  TestTemplate value = X509();
  EXPECT_EQ(CreateRv(value, 532), CKR_OK);
  TestTemplate noValue = X509();
  noValue.Without(CKA_VALUE);
  EXPECT_EQ(CreateRv(noValue, 532), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate emptyValue = noValue;
  emptyValue.Raw(CKA_VALUE, "", 0);
  EXPECT_EQ(CreateRv(emptyValue, 532), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate url = noValue;
  url.Bytes(CKA_URL, "http://ca.example/c.der");
  EXPECT_EQ(CreateRv(url, 532), CKR_TEMPLATE_INCOMPLETE);
  url.Bytes(CKA_HASH_OF_SUBJECT_PUBLIC_KEY, "h1");
  EXPECT_EQ(CreateRv(url, 532), CKR_TEMPLATE_INCOMPLETE);
  url.Bytes(CKA_HASH_OF_ISSUER_PUBLIC_KEY, "h2");
  EXPECT_EQ(CreateRv(url, 532), CKR_OK);
  EXPECT_EQ(CreateRv(url, 524), CKR_ATTRIBUTE_TYPE_INVALID);  // no URL before 2.20
  EXPECT_EQ(CreateRv(noValue, 524), CKR_TEMPLATE_INCOMPLETE);
}

TEST(P11Validate, DomainParameterRules) {
  TestTemplate gen;
  gen.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_DSA).Ulong(CKA_PRIME_BITS, 2048);
  EXPECT_EQ(Validate(gen, P11_MODE_GENERATE), CKR_OK);
  TestTemplate withPrime = gen;
  withPrime.Bytes(CKA_PRIME, "p");
  EXPECT_EQ(Validate(withPrime, P11_MODE_GENERATE), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate withPrimeNoBits = withPrime;
  withPrimeNoBits.Without(CKA_PRIME_BITS);
  EXPECT_EQ(Validate(withPrimeNoBits, P11_MODE_GENERATE), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate noBits = gen;
  noBits.Without(CKA_PRIME_BITS);
  EXPECT_EQ(Validate(noBits, P11_MODE_GENERATE), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(Validate(gen, P11_MODE_GENERATE, 522), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(Validate(gen, P11_MODE_GENERATE, 523), CKR_OK);

  TestTemplate create;
  create.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_DH).Bytes(CKA_PRIME, "p").Bytes(CKA_BASE, "g");
  EXPECT_EQ(CreateRv(create, 522), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate local = create;
  local.Bool(CKA_LOCAL, true);
  EXPECT_EQ(CreateRv(local), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate bits = create;
  bits.Ulong(CKA_PRIME_BITS, 1024);
  EXPECT_EQ(CreateRv(bits), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate ec;
  ec.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_EC);
  EXPECT_EQ(CreateRv(ec), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate kea;
  kea.Ulong(CKA_CLASS, CKO_DOMAIN_PARAMETERS).Ulong(CKA_KEY_TYPE, CKK_KEA).Ulong(CKA_PRIME_BITS, 1024);
  EXPECT_EQ(Validate(kea, P11_MODE_GENERATE), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate subprimeOnDh = create;
  subprimeOnDh.Bytes(CKA_SUBPRIME, "q");
  EXPECT_EQ(CreateRv(subprimeOnDh), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(P11Validate, PrivateKeyRules) {
  TestTemplate dsa;
  dsa.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_DSA)
      .Bytes(CKA_PRIME, "p")
      .Bytes(CKA_SUBPRIME, "q")
      .Bytes(CKA_BASE, "g")
      .Bytes(CKA_VALUE, "x");
  TestTemplate alwaysSensitive = dsa;
  alwaysSensitive.Bool(CKA_ALWAYS_SENSITIVE, true);
  EXPECT_EQ(CreateRv(alwaysSensitive), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate neverExtractable = dsa;
  neverExtractable.Bool(CKA_NEVER_EXTRACTABLE, false);
  EXPECT_EQ(CreateRv(neverExtractable), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate local = dsa;
  local.Bool(CKA_LOCAL, true);
  EXPECT_EQ(CreateRv(local), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate notLocal = dsa;
  notLocal.Bool(CKA_LOCAL, false);
  EXPECT_EQ(CreateRv(notLocal), CKR_OK);
  TestTemplate mech = dsa;
  mech.Ulong(CKA_KEY_GEN_MECHANISM, CKM_DSA_KEY_PAIR_GEN);
  EXPECT_EQ(CreateRv(mech), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate kea = dsa;
  kea.Without(CKA_KEY_TYPE).Ulong(CKA_KEY_TYPE, CKK_KEA);
  EXPECT_EQ(CreateRv(kea), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate gost;
  gost.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410);
  EXPECT_EQ(CreateRv(gost), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate valueBits;
  valueBits.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_DH)
      .Bytes(CKA_PRIME, "p")
      .Bytes(CKA_BASE, "g")
      .Bytes(CKA_VALUE, "x")
      .Ulong(CKA_VALUE_BITS, 160);
  EXPECT_EQ(CreateRv(valueBits), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate x942;
  x942.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_X9_42_DH).Bytes(CKA_PRIME, "p").Bytes(CKA_BASE, "g").Bytes(CKA_VALUE, "x");
  EXPECT_EQ(CreateRv(x942, 522), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(CreateRv(x942, 523), CKR_OK);
  // The qualified-object mark is accepted in templates at every version.
  TestTemplate q;
  q.Bool(CKA_MIRTAL_QUALIFIED_OBJECT, true).Bool(CKA_SIGN, true);
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(q), P11_MODE_GENERATE, CKK_RSA, 521), CKR_OK);
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(q), P11_MODE_MODIFY, CKK_EC, 0), CKR_OK);
}

TEST(P11Validate, KeyPairGenerationTemplates) {
  TestTemplate pub = RsaPublicGen();
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(pub), P11_MODE_GENERATE, CKK_RSA, 0), CKR_OK);
  TestTemplate withModulus = pub;
  withModulus.Bytes(CKA_MODULUS, "m");
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(withModulus), P11_MODE_GENERATE, CKK_RSA, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate noBits = pub;
  noBits.Without(CKA_MODULUS_BITS);
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(noBits), P11_MODE_GENERATE, CKK_RSA, 0), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate shortBits = noBits;
  shortBits.Raw(CKA_MODULUS_BITS, "\x00\x08", 2);
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(shortBits), P11_MODE_GENERATE, CKK_RSA, 0), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(pub), P11_MODE_GENERATE, CKK_EC, 0), CKR_TEMPLATE_INCONSISTENT);

  TestTemplate ecPub;
  ecPub.Bytes(CKA_EC_PARAMS, "o").Bool(CKA_TOKEN, true);
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(ecPub), P11_MODE_GENERATE, CKK_EC, 0), CKR_OK);
  TestTemplate ecPoint = ecPub;
  ecPoint.Bytes(CKA_EC_POINT, "q");
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(ecPoint), P11_MODE_GENERATE, CKK_EC, 0), CKR_TEMPLATE_INCOMPLETE);

  TestTemplate prv;
  prv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SENSITIVE, true).Bytes(CKA_ID, "\x01");
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(prv), P11_MODE_GENERATE, CKK_RSA, 0), CKR_OK);
  TestTemplate prvModulus = prv;
  prvModulus.Bytes(CKA_MODULUS, "m");
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(prvModulus), P11_MODE_GENERATE, CKK_RSA, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate prvLocal = prv;
  prvLocal.Bool(CKA_LOCAL, true);
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(prvLocal), P11_MODE_GENERATE, CKK_RSA, 0), CKR_OK);
  TestTemplate ecValue = prv;
  ecValue.Bytes(CKA_VALUE, "d");
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(ecValue), P11_MODE_GENERATE, CKK_EC, 0), CKR_TEMPLATE_INCONSISTENT);

  TestTemplate dsaPub;
  dsaPub.Bytes(CKA_PRIME, "p").Bytes(CKA_SUBPRIME, "q").Bytes(CKA_BASE, "g");
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(dsaPub), P11_MODE_GENERATE, CKK_DSA, 0), CKR_OK);
  TestTemplate dsaNoBase = dsaPub;
  dsaNoBase.Without(CKA_BASE);
  EXPECT_EQ(ValidatePublicKeyTemplate(TT_ARGS(dsaNoBase), P11_MODE_GENERATE, CKK_DSA, 0), CKR_TEMPLATE_INCOMPLETE);
  // The template's key type must agree with the pair's.
  TestTemplate typed = prv;
  typed.Ulong(CKA_KEY_TYPE, CKK_DSA);
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(typed), P11_MODE_GENERATE, CKK_RSA, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate wrongClass = prv;
  wrongClass.Ulong(CKA_CLASS, CKO_PUBLIC_KEY);
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(wrongClass), P11_MODE_GENERATE, CKK_RSA, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate unknown = prv;
  unknown.Bytes(CKA_EC_POINT, "q");
  EXPECT_EQ(ValidatePrivateKeyTemplate(TT_ARGS(unknown), P11_MODE_GENERATE, CKK_RSA, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(ValidatePrivateKeyTemplate(nullptr, 1, P11_MODE_GENERATE, CKK_RSA, 0), CKR_ARGUMENTS_BAD);
}

TEST(P11Validate, SecretKeyLengthRules) {
  auto gen = [](CK_KEY_TYPE kt, long len) {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, kt);
    if (len >= 0) t.Ulong(CKA_VALUE_LEN, static_cast<CK_ULONG>(len));
    return ValidateSecretKeyTemplate(TT_ARGS(t), P11_MODE_GENERATE, ~0UL, 0);
  };
  EXPECT_EQ(gen(CKK_AES, 16), CKR_OK);
  EXPECT_EQ(gen(CKK_AES, 24), CKR_OK);
  EXPECT_EQ(gen(CKK_AES, 32), CKR_OK);
  EXPECT_EQ(gen(CKK_AES, 20), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_AES, 8), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_AES, 40), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_AES, -1), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(gen(CKK_DES3, -1), CKR_OK);
  EXPECT_EQ(gen(CKK_DES3, 24), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(gen(CKK_DES, -1), CKR_OK);
  EXPECT_EQ(gen(CKK_RC2, 0), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_RC2, 128), CKR_OK);
  EXPECT_EQ(gen(CKK_RC2, 129), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_RC5, 0), CKR_OK);
  EXPECT_EQ(gen(CKK_CAST128, 17), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_GENERIC_SECRET, 1000), CKR_OK);
  EXPECT_EQ(gen(CKK_GENERIC_SECRET, -1), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(gen(CKK_BLOWFISH, 16), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(gen(CKK_RSA, 16), CKR_ATTRIBUTE_VALUE_INVALID);

  CK_ULONG step = 9, min = 9, max = 9;
  EXPECT_EQ(GetSecretKeyLengthRule(CKK_AES, &step, &min, &max), CKR_OK);
  EXPECT_EQ(step, 8u);
  EXPECT_EQ(min, 16u);
  EXPECT_EQ(max, 32u);
  EXPECT_EQ(GetSecretKeyLengthRule(CKK_SKIPJACK, &step, &min, &max), CKR_OK);
  EXPECT_EQ(step, 0u);
  EXPECT_EQ(min, 12u);
  EXPECT_EQ(GetSecretKeyLengthRule(CKK_GENERIC_SECRET, &step, &min, &max), CKR_OK);
  EXPECT_EQ(max, ~0UL);
  EXPECT_EQ(GetSecretKeyLengthRule(15, &step, &min, &max), CKR_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(GetSecretKeyLengthRule(32, &step, &min, &max), CKR_KEY_TYPE_INCONSISTENT);
}

TEST(P11Validate, SecretKeyModesAndValues) {
  TestTemplate des3;
  des3.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_DES3).Ulong(CKA_VALUE_LEN, 24);
  EXPECT_EQ(CreateRv(des3), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(des3), P11_MODE_OTHER, CKK_DES3, 0), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate des3Value;
  des3Value.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_DES3).Bytes(CKA_VALUE, std::string(24, 'k'));
  ObjectPtr k;
  ASSERT_EQ(CreateRv(des3Value, 0, &k), CKR_OK);
  EXPECT_EQ(k->GetSubtype(), CKK_DES3);
  CK_ATTRIBUTE q{CKA_VALUE_LEN, nullptr, 0};
  EXPECT_EQ(k->GetAttributeValues(&q, 1), CKR_ATTRIBUTE_TYPE_INVALID);  // not listed for fixed lengths
  TestTemplate des3Short = des3Value;
  des3Short.Without(CKA_VALUE).Bytes(CKA_VALUE, std::string(16, 'k'));
  EXPECT_EQ(CreateRv(des3Short), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate aesMismatch;
  aesMismatch.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Ulong(CKA_VALUE_LEN, 32).Bytes(CKA_VALUE, std::string(16, 'k'));
  EXPECT_EQ(CreateRv(aesMismatch), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate genValue;
  genValue.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Ulong(CKA_VALUE_LEN, 16).Bytes(CKA_VALUE, std::string(16, 'k'));
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(genValue), P11_MODE_GENERATE, ~0UL, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate noType;
  noType.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_VALUE_LEN, 16);
  EXPECT_EQ(CreateRv(noType), CKR_TEMPLATE_INCOMPLETE);
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(noType), P11_MODE_GENERATE, CKK_AES, 0), CKR_OK);
  TestTemplate wrongClass;
  wrongClass.Ulong(CKA_CLASS, CKO_PUBLIC_KEY);
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(wrongClass), P11_MODE_OTHER, CKK_AES, 0), CKR_TEMPLATE_INCONSISTENT);
  TestTemplate check;
  check.Bytes(CKA_CHECK_VALUE, "abc");
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(check), P11_MODE_MODIFY, CKK_AES, 531), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(ValidateSecretKeyTemplate(TT_ARGS(check), P11_MODE_MODIFY, CKK_AES, 532), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate aes;
  aes.Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_AES).Ulong(CKA_VALUE_LEN, 16).Bytes(CKA_VALUE, std::string(16, 'k'));
  ASSERT_EQ(CreateRv(aes, 0, &k), CKR_OK);
  EXPECT_EQ(k->GetSubtype(), CKK_AES);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectSecretKey*>(k.get()), nullptr);
}

TEST(P11Validate, HardwareFeatureAndMechanismVersions) {
  TestTemplate noType;
  noType.Ulong(CKA_CLASS, CKO_HW_FEATURE);
  EXPECT_EQ(CreateRv(noType), CKR_TEMPLATE_INCOMPLETE);
  TestTemplate clock;
  clock.Ulong(CKA_CLASS, CKO_HW_FEATURE).Ulong(CKA_HW_FEATURE_TYPE, CKH_CLOCK);
  EXPECT_EQ(CreateRv(clock, 522), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(CreateRv(clock, 523), CKR_OK);
  EXPECT_EQ(Validate(clock, P11_MODE_MODIFY, 522), CKR_OK);
  TestTemplate mech;
  mech.Ulong(CKA_CLASS, CKO_MECHANISM).Ulong(CKA_MECHANISM_TYPE, CKM_SHA256);
  EXPECT_EQ(CreateRv(mech), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(CreateRv(mech, 531), CKR_TEMPLATE_INCONSISTENT);
  ObjectPtr m;
  ASSERT_EQ(CreateRv(mech, 532, &m), CKR_OK);
  EXPECT_NE(dynamic_cast<CPkcs11ObjectMechanism*>(m.get()), nullptr);
  TestTemplate odd;
  odd.Ulong(CKA_CLASS, CKO_MECHANISM).Ulong(CKA_MECHANISM_TYPE, 0x500);
  ASSERT_EQ(CreateRv(odd, 532, &m), CKR_OK);  // every mechanism type gets its object
  EXPECT_EQ(m->GetSubtype(), 0x500u);
  TestTemplate noMech;
  noMech.Ulong(CKA_CLASS, CKO_MECHANISM);
  EXPECT_EQ(CreateRv(noMech, 532), CKR_TEMPLATE_INCOMPLETE);
  CPkcs11Object* o = nullptr;
  TestTemplate noClass;
  noClass.Ulong(CKA_MECHANISM_TYPE, CKM_SHA256);
  EXPECT_EQ(CreateMechanismObject(TT_ARGS(noClass), &o, 532), CKR_TEMPLATE_INCONSISTENT);
  // Unknown attributes fail at creation and leave nothing.
  TestTemplate extra = clock;
  extra.Bytes(CKA_LABEL, "l");
  EXPECT_EQ(CreateRv(extra), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(P11Validate, ObjectsValidateWithTheirOwnClassAndVersion) {
  CPkcs11ObjectRsaPrivateKey k;
  k.SetPkcs11Version(522);
  TestTemplate auth;
  auth.Bool(CKA_ALWAYS_AUTHENTICATE, true);
  EXPECT_EQ(k.ValidateTemplate(TT_ARGS(auth), P11_MODE_MODIFY), CKR_ATTRIBUTE_TYPE_INVALID);
  k.SetPkcs11Version(524);
  EXPECT_EQ(k.ValidateTemplate(TT_ARGS(auth), P11_MODE_MODIFY), CKR_ATTRIBUTE_READ_ONLY);
  CPkcs11ObjectDsaPrivateKey kea;
  kea.SetKeyTypeMember(CKK_KEA);
  TestTemplate sign;
  sign.Bool(CKA_SIGN, false);
  EXPECT_EQ(kea.ValidateTemplate(TT_ARGS(sign), P11_MODE_MODIFY), CKR_OK);
  CPkcs11ObjectX509Certificate c;
  TestTemplate id;
  id.Bytes(CKA_ID, "i");
  EXPECT_EQ(c.ValidateTemplate(TT_ARGS(id), P11_MODE_MODIFY), CKR_OK);
  TestTemplate value;
  value.Bytes(CKA_VALUE, "v");
  EXPECT_EQ(c.ValidateTemplate(TT_ARGS(value), P11_MODE_MODIFY), CKR_ATTRIBUTE_READ_ONLY);
  CPkcs11ObjectMechanism m(CKM_SHA_1);
  EXPECT_EQ(m.ValidateTemplate(TT_ARGS(id), P11_MODE_CREATE), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(m.ValidateTemplate(TT_ARGS(id), P11_MODE_MODIFY), CKR_OK);
}
