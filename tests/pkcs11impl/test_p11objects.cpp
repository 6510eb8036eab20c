// Session objects: defaults, version-gated attribute lists, attribute reads and
// writes, matching, copying, extra attributes and the key-value rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

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
#include "tests/pkcs11impl/p11test_template.h"

namespace {

constexpr CK_ULONG kOnes = ~0UL;
using ObjectPtr = std::unique_ptr<CPkcs11Object>;

ObjectPtr Create(TestTemplate& t, CK_ULONG version = 0, CK_RV expect = CKR_OK) {
  CPkcs11Object* o = reinterpret_cast<CPkcs11Object*>(1);
  CK_RV rv = CreateObjectFromTemplate(TT_ARGS(t), &o, version);
  EXPECT_EQ(rv, expect);
  if (rv != CKR_OK) {
    EXPECT_EQ(o, nullptr);
  }
  return ObjectPtr(rv == CKR_OK ? o : nullptr);
}

std::vector<CK_ATTRIBUTE_TYPE> Listed(const CPkcs11Object& o) {
  std::vector<CK_ATTRIBUTE_TYPE> v;
  for (CK_ULONG i = 0; i < o.GetFixedAttributeCount(); ++i) v.push_back(o.GetFixedAttribute(i)->type);
  EXPECT_EQ(o.GetFixedAttribute(o.GetFixedAttributeCount()), nullptr);
  return v;
}

bool Lists(const CPkcs11Object& o, CK_ATTRIBUTE_TYPE t) {
  auto v = Listed(o);
  return std::find(v.begin(), v.end(), t) != v.end();
}

CK_ULONG ReadUlong(const CPkcs11Object& o, CK_ATTRIBUTE_TYPE t) {
  CK_ULONG v = 0x5A5A;
  CK_ATTRIBUTE a{t, &v, sizeof v};
  EXPECT_EQ(o.GetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(a.ulValueLen, sizeof v);
  return v;
}

std::string ReadBytes(const CPkcs11Object& o, CK_ATTRIBUTE_TYPE t, CK_RV expect = CKR_OK) {
  CK_ATTRIBUTE a{t, nullptr, 0};
  EXPECT_EQ(o.GetAttributeValues(&a, 1), expect);
  if (expect != CKR_OK || a.ulValueLen == kOnes) return "<none>";
  std::string s(a.ulValueLen, '\0');
  a.pValue = &s[0];
  EXPECT_EQ(o.GetAttributeValues(&a, 1), CKR_OK);
  return s;
}

bool ReadBool(const CPkcs11Object& o, CK_ATTRIBUTE_TYPE t) {
  CK_BBOOL b = 0x77;
  CK_ATTRIBUTE a{t, &b, 1};
  EXPECT_EQ(o.GetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(a.ulValueLen, 1u);
  EXPECT_TRUE(b == CK_TRUE || b == CK_FALSE);
  return b == CK_TRUE;
}

TestTemplate DataTemplate() {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_LABEL, "data label").Bytes(CKA_VALUE, "payload");
  return t;
}

TestTemplate RsaPrivateTemplate() {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_RSA)
      .Bytes(CKA_MODULUS, "\xC3\x11\x27")
      .Bytes(CKA_PUBLIC_EXPONENT, "\x01\x00\x01")
      .Bytes(CKA_PRIVATE_EXPONENT, "secret-d")
      .Bytes(CKA_PRIME_1, "p")
      .Bytes(CKA_PRIME_2, "q");
  return t;
}

TestTemplate AesTemplate(bool sensitive) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_SECRET_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_AES)
      .Ulong(CKA_VALUE_LEN, 16)
      .Bytes(CKA_VALUE, "0123456789abcdef")
      .Bool(CKA_SENSITIVE, sensitive);
  return t;
}

}  // namespace

// ---- defaults and version-gated lists ----

TEST(P11ObjectDefaults, DataObjectReadsItsDefaults) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA);
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  EXPECT_EQ(ReadUlong(*o, CKA_CLASS), CKO_DATA);
  EXPECT_FALSE(ReadBool(*o, CKA_TOKEN));
  EXPECT_FALSE(ReadBool(*o, CKA_PRIVATE));
  EXPECT_TRUE(ReadBool(*o, CKA_MODIFIABLE));
  EXPECT_EQ(ReadBytes(*o, CKA_LABEL), "");
  EXPECT_EQ(ReadBytes(*o, CKA_APPLICATION), "");
  EXPECT_FALSE(o->IsToken());
  EXPECT_FALSE(o->IsPrivate());
  EXPECT_TRUE(o->IsModifiable());
  EXPECT_FALSE(o->IsReadOnly());
  EXPECT_EQ(o->GetPkcs11Version(), P11_VERSION_DEFAULT);
  EXPECT_EQ(Listed(*o), (std::vector<CK_ATTRIBUTE_TYPE>{CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_MODIFIABLE, CKA_LABEL,
                                                        CKA_APPLICATION, CKA_OBJECT_ID, CKA_VALUE}));
}

TEST(P11ObjectDefaults, KeyDefaultsFollowTheirClasses) {
  TestTemplate t = RsaPrivateTemplate();
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  EXPECT_EQ(ReadUlong(*k, CKA_KEY_TYPE), CKK_RSA);
  EXPECT_TRUE(ReadBool(*k, CKA_DERIVE));
  EXPECT_FALSE(ReadBool(*k, CKA_LOCAL));
  EXPECT_EQ(ReadUlong(*k, CKA_KEY_GEN_MECHANISM), kOnes);
  EXPECT_FALSE(ReadBool(*k, CKA_SENSITIVE));
  EXPECT_TRUE(ReadBool(*k, CKA_SIGN));
  EXPECT_TRUE(ReadBool(*k, CKA_EXTRACTABLE));
  EXPECT_FALSE(ReadBool(*k, CKA_ALWAYS_SENSITIVE));
  EXPECT_EQ(ReadUlong(*k, CKA_AUTH_PIN_FLAGS), 0u);

  CPkcs11ObjectRsaPublicKey pub;
  EXPECT_EQ(ReadUlong(pub, CKA_MODULUS_BITS), 0u);
  EXPECT_TRUE(ReadBool(pub, CKA_VERIFY));
  EXPECT_FALSE(ReadBool(pub, CKA_TRUSTED));

  CPkcs11ObjectSecretKey sec;
  EXPECT_EQ(ReadUlong(sec, CKA_KEY_TYPE), CKK_GENERIC_SECRET);
  EXPECT_EQ(ReadUlong(sec, CKA_VALUE_LEN), 0u);
  EXPECT_TRUE(ReadBool(sec, CKA_ENCRYPT));

  CPkcs11ObjectDsaDomainParameters dsa;
  EXPECT_EQ(ReadUlong(dsa, CKA_KEY_TYPE), CKK_DSA);
  EXPECT_EQ(ReadUlong(dsa, CKA_PRIME_BITS), kOnes);
}

TEST(P11ObjectVersions, DataObjectIdAppearsAbove521) {
  CPkcs11ObjectData d521, d522;
  d521.SetPkcs11Version(521);
  d522.SetPkcs11Version(522);
  EXPECT_FALSE(Lists(d521, CKA_OBJECT_ID));
  EXPECT_TRUE(Lists(d522, CKA_OBJECT_ID));
  TestTemplate t = DataTemplate();
  t.Bytes(CKA_OBJECT_ID, "\x06\x01\x00");
  Create(t, 521, CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_TRUE(Create(t, 522));
}

TEST(P11ObjectVersions, CopyableAppearsAbove541) {
  CPkcs11ObjectData d541, d542;
  d541.SetPkcs11Version(541);
  d542.SetPkcs11Version(542);
  EXPECT_FALSE(Lists(d541, CKA_COPYABLE));
  EXPECT_TRUE(Lists(d542, CKA_COPYABLE));
  EXPECT_TRUE(d542.IsCopyable());
  TestTemplate t = DataTemplate();
  t.Bool(CKA_COPYABLE, false);
  Create(t, 541, CKR_ATTRIBUTE_TYPE_INVALID);
  ObjectPtr o = Create(t, 542);
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->IsCopyable());
}

TEST(P11ObjectVersions, CertificateListsTrustedAbove522AndDatesAbove531) {
  CPkcs11ObjectCertificate c522(CKC_X_509_ATTR_CERT), c523(CKC_X_509_ATTR_CERT), c524(CKC_X_509_ATTR_CERT),
      c532(CKC_X_509_ATTR_CERT);
  c522.SetPkcs11Version(522);
  c523.SetPkcs11Version(523);
  c524.SetPkcs11Version(524);
  c532.SetPkcs11Version(532);
  EXPECT_FALSE(Lists(c522, CKA_TRUSTED));
  EXPECT_TRUE(Lists(c523, CKA_TRUSTED));
  auto v = Listed(c524);
  EXPECT_EQ(std::vector<CK_ATTRIBUTE_TYPE>(v.begin() + 5, v.end()),
            (std::vector<CK_ATTRIBUTE_TYPE>{CKA_CERTIFICATE_TYPE, CKA_TRUSTED}));
  EXPECT_EQ(ReadBytes(c524, CKA_CHECK_VALUE, CKR_ATTRIBUTE_TYPE_INVALID), "<none>");
  EXPECT_TRUE(Lists(c532, CKA_CHECK_VALUE));
  EXPECT_TRUE(Lists(c532, CKA_CERTIFICATE_CATEGORY));
  EXPECT_TRUE(Lists(c532, CKA_END_DATE));
}

TEST(P11ObjectVersions, X509NameHashAlgorithmAbove541DefaultsToSha1) {
  CPkcs11ObjectX509Certificate c541, c542;
  c541.SetPkcs11Version(541);
  c542.SetPkcs11Version(542);
  EXPECT_FALSE(Lists(c541, CKA_NAME_HASH_ALGORITHM));
  EXPECT_TRUE(Lists(c541, CKA_URL));
  EXPECT_EQ(ReadUlong(c542, CKA_NAME_HASH_ALGORITHM), 0x220u);
  EXPECT_EQ(ReadUlong(c542, CKA_JAVA_MIDP_SECURITY_DOMAIN), 0u);
  EXPECT_EQ(ReadUlong(c542, CKA_CERTIFICATE_TYPE), CKC_X_509);
}

TEST(P11ObjectVersions, PrivateKeyAuthenticationAttributesByVersion) {
  auto at = [](CK_ULONG v) {
    CPkcs11ObjectRsaPrivateKey k;
    k.SetPkcs11Version(v);
    return std::vector<bool>{Lists(k, CKA_SECONDARY_AUTH), Lists(k, CKA_AUTH_PIN_FLAGS),
                             Lists(k, CKA_ALWAYS_AUTHENTICATE), Lists(k, CKA_WRAP_WITH_TRUSTED),
                             Lists(k, CKA_UNWRAP_TEMPLATE), Lists(k, CKA_KEY_GEN_MECHANISM),
                             Lists(k, CKA_ALLOWED_MECHANISMS)};
  };
  EXPECT_EQ(at(521), (std::vector<bool>{false, false, false, false, false, false, false}));
  EXPECT_EQ(at(522), (std::vector<bool>{true, true, false, false, false, false, false}));
  EXPECT_EQ(at(523), (std::vector<bool>{true, true, false, false, false, true, false}));
  EXPECT_EQ(at(524), (std::vector<bool>{true, true, true, false, false, true, false}));
  EXPECT_EQ(at(531), (std::vector<bool>{true, true, true, false, false, true, false}));
  EXPECT_EQ(at(532), (std::vector<bool>{false, false, true, true, true, true, true}));
  EXPECT_EQ(at(P11_VERSION_ALL), (std::vector<bool>{true, true, true, true, true, true, true}));
  CPkcs11ObjectRsaPrivateKey all;
  all.SetPkcs11Version(P11_VERSION_ALL);
  // class + 5 storage + 8 key + 14 private + 8 RSA
  EXPECT_EQ(all.GetFixedAttributeCount(), 36u);
}

TEST(P11ObjectVersions, PublicAndSecretKeyGates) {
  CPkcs11ObjectEcPublicKey p522, p523, p532;
  p522.SetPkcs11Version(522);
  p523.SetPkcs11Version(523);
  p532.SetPkcs11Version(532);
  EXPECT_FALSE(Lists(p522, CKA_TRUSTED));
  EXPECT_TRUE(Lists(p523, CKA_TRUSTED));
  EXPECT_FALSE(Lists(p523, CKA_WRAP_TEMPLATE));
  EXPECT_TRUE(Lists(p532, CKA_WRAP_TEMPLATE));
  CPkcs11ObjectSecretKey s531, s532;
  s531.SetPkcs11Version(531);
  s532.SetPkcs11Version(532);
  EXPECT_FALSE(Lists(s531, CKA_CHECK_VALUE));
  EXPECT_TRUE(Lists(s532, CKA_CHECK_VALUE));
  EXPECT_TRUE(Lists(s532, CKA_UNWRAP_TEMPLATE));
}

TEST(P11ObjectVersions, DefaultVersionCanBeReplacedAndRestored) {
  EXPECT_EQ(GetDefaultPkcs11Version(), 524u);
  SetDefaultPkcs11Version(532);
  EXPECT_EQ(GetDefaultPkcs11Version(), 532u);
  CPkcs11ObjectCertificate c(CKC_X_509_ATTR_CERT);
  EXPECT_TRUE(Lists(c, CKA_CHECK_VALUE));  // version 0 follows the default
  SetDefaultPkcs11Version(0);
  EXPECT_EQ(GetDefaultPkcs11Version(), 524u);
  EXPECT_FALSE(Lists(c, CKA_CHECK_VALUE));
}

// ---- reading attributes ----

TEST(P11ObjectRead, SizeQueryThenRead) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  CK_ATTRIBUTE a{CKA_LABEL, nullptr, 0};
  ASSERT_EQ(o->GetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(a.ulValueLen, 10u);
  char buf[32] = {};
  a.pValue = buf;
  a.ulValueLen = sizeof buf;
  ASSERT_EQ(o->GetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(a.ulValueLen, 10u);
  EXPECT_EQ(std::string(buf, 10), "data label");
}

TEST(P11ObjectRead, TooSmallBufferGivesTheNeededLength) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  char buf[9] = {};
  CK_ATTRIBUTE a{CKA_LABEL, buf, sizeof buf};
  EXPECT_EQ(o->GetAttributeValues(&a, 1), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(a.ulValueLen, 10u);
  EXPECT_EQ(std::string(buf, 9), std::string(9, '\0'));  // nothing written
}

TEST(P11ObjectRead, SensitiveAndUnknownInOneCallKeepTheFirstFailure) {
  TestTemplate t = RsaPrivateTemplate();
  t.Bool(CKA_SENSITIVE, true);
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  CK_BYTE mod[8];
  CK_ATTRIBUTE a[3] = {{CKA_PRIVATE_EXPONENT, nullptr, 0}, {CKA_EC_POINT, nullptr, 0}, {CKA_MODULUS, mod, 8}};
  EXPECT_EQ(k->GetAttributeValues(a, 2), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(a[0].ulValueLen, kOnes);
  EXPECT_EQ(a[1].ulValueLen, kOnes);
  // Entries after a failure are still served.
  EXPECT_EQ(k->GetAttributeValues(a, 3), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(a[2].ulValueLen, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(mod), 3), "\xC3\x11\x27");
  // A too-small buffer for a third entry overrides the earlier results.
  a[2].ulValueLen = 2;
  EXPECT_EQ(k->GetAttributeValues(a, 3), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(a[2].ulValueLen, 3u);
  // Unknown first, then sensitive: the unknown type is reported.
  CK_ATTRIBUTE b[2] = {{CKA_EC_POINT, nullptr, 0}, {CKA_PRIME_1, nullptr, 0}};
  EXPECT_EQ(k->GetAttributeValues(b, 2), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(b[1].ulValueLen, kOnes);
}

TEST(P11ObjectRead, UnavailableValueFitsNoBuffer) {
  CPkcs11ObjectData d;
  CK_ATTRIBUTE set{CKA_APPLICATION, nullptr, kOnes};
  ASSERT_EQ(d.SetAttributeValues(&set, 1), CKR_OK);
  CK_ATTRIBUTE q{CKA_APPLICATION, nullptr, 0};
  EXPECT_EQ(d.GetAttributeValues(&q, 1), CKR_OK);
  EXPECT_EQ(q.ulValueLen, kOnes);
  char buf[64];
  CK_ATTRIBUTE r{CKA_APPLICATION, buf, sizeof buf};
  EXPECT_EQ(d.GetAttributeValues(&r, 1), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(r.ulValueLen, kOnes);
}

TEST(P11ObjectRead, NullTemplateWithCountIsRefused) {
  CPkcs11ObjectData d;
  EXPECT_EQ(d.GetAttributeValues(nullptr, 2), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(d.GetAttributeValues(nullptr, 0), CKR_OK);
  EXPECT_EQ(d.SetAttributeValues(nullptr, 1), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(d.Matches(nullptr, 1), CKR_ARGUMENTS_BAD);
}

// ---- key-value rules ----

TEST(P11ObjectSensitive, SensitiveRsaKeyHidesOnlyItsSecretParts) {
  TestTemplate t = RsaPrivateTemplate();
  t.Bool(CKA_SENSITIVE, true);
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  for (CK_ATTRIBUTE_TYPE type : {CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2,
                                 CKA_COEFFICIENT}) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    EXPECT_EQ(k->GetAttributeValues(&a, 1), CKR_ATTRIBUTE_SENSITIVE) << type;
    EXPECT_EQ(a.ulValueLen, kOnes);
  }
  EXPECT_EQ(ReadBytes(*k, CKA_MODULUS), "\xC3\x11\x27");
  EXPECT_EQ(ReadBytes(*k, CKA_PUBLIC_EXPONENT), "\x01\x00\x01");
}

TEST(P11ObjectSensitive, UnextractableKeyHidesItsValueEvenWhenNotSensitive) {
  TestTemplate t = RsaPrivateTemplate();
  t.Bool(CKA_EXTRACTABLE, false).Bool(CKA_SENSITIVE, false);
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  EXPECT_EQ(ReadBytes(*k, CKA_PRIVATE_EXPONENT, CKR_ATTRIBUTE_SENSITIVE), "<none>");

  TestTemplate e;
  e.Ulong(CKA_CLASS, CKO_PRIVATE_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_EC)
      .Bytes(CKA_EC_PARAMS, "\x06\x08*\x86H\xce=\x03\x01\x07")
      .Bytes(CKA_VALUE, "scalar")
      .Bool(CKA_EXTRACTABLE, false);
  ObjectPtr ec = Create(e);
  ASSERT_TRUE(ec);
  EXPECT_EQ(ReadBytes(*ec, CKA_VALUE, CKR_ATTRIBUTE_SENSITIVE), "<none>");
  EXPECT_EQ(ReadBytes(*ec, CKA_EC_PARAMS).size(), 10u);
}

TEST(P11ObjectSensitive, SecretKeyValueReadableOnlyWhileExtractableAndNotSensitive) {
  TestTemplate open = AesTemplate(false);
  ObjectPtr k = Create(open);
  ASSERT_TRUE(k);
  EXPECT_EQ(ReadBytes(*k, CKA_VALUE), "0123456789abcdef");
  TestTemplate closed = AesTemplate(true);
  ObjectPtr s = Create(closed);
  ASSERT_TRUE(s);
  EXPECT_EQ(ReadBytes(*s, CKA_VALUE, CKR_ATTRIBUTE_SENSITIVE), "<none>");
  EXPECT_EQ(ReadUlong(*s, CKA_VALUE_LEN), 16u);
}

TEST(P11ObjectSensitive, SensitiveNeverTurnsBackAndExtractableNeverReturns) {
  TestTemplate t = AesTemplate(true);
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  TestTemplate unset;
  unset.Bytes(CKA_LABEL, "x").Bool(CKA_SENSITIVE, false);
  EXPECT_EQ(k->SetAttributeValues(TT_ARGS(unset)), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_EQ(ReadBytes(*k, CKA_LABEL), "");
  EXPECT_EQ(ReadBytes(*k, CKA_VALUE, CKR_ATTRIBUTE_SENSITIVE), "<none>");
  TestTemplate again;
  again.Bool(CKA_SENSITIVE, true).Bool(CKA_EXTRACTABLE, false);
  EXPECT_EQ(k->SetAttributeValues(TT_ARGS(again)), CKR_OK);
  TestTemplate back;
  back.Bool(CKA_EXTRACTABLE, true);
  EXPECT_EQ(k->SetAttributeValues(TT_ARGS(back)), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_FALSE(ReadBool(*k, CKA_EXTRACTABLE));
  // A copy cannot lift the protection either.
  CPkcs11Object* copy = reinterpret_cast<CPkcs11Object*>(1);
  EXPECT_EQ(k->Copy(TT_ARGS(unset), &copy), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_EQ(copy, nullptr);
}

TEST(P11ObjectSensitive, SecretValueAccessors) {
  CPkcs11ObjectSecretKey k(CKK_GENERIC_SECRET);
  ASSERT_TRUE(k.SetSecretValue("abcde", 5));
  CK_ULONG len = 0;
  const unsigned char* v = k.GetSecretValue(&len);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(v), len), "abcde");
  EXPECT_EQ(k.GetSecretValueLength(), 5u);
  EXPECT_EQ(ReadUlong(k, CKA_VALUE_LEN), 5u);
  EXPECT_FALSE(k.SetSecretValue(nullptr, 3));
  CK_ATTRIBUTE u{CKA_VALUE, nullptr, kOnes};
  ASSERT_EQ(k.SetAttributeValues(&u, 1), CKR_OK);
  EXPECT_EQ(k.GetSecretValue(&len), nullptr);
  EXPECT_EQ(len, kOnes);
}

// ---- writing attributes ----

TEST(P11ObjectWrite, BooleanWithFourBytesIsStoredWhole) {
  CPkcs11ObjectData d;
  unsigned char four[4] = {0, 0, 2, 0};
  CK_ATTRIBUTE a{CKA_TOKEN, four, 4};
  ASSERT_EQ(d.SetAttributeValues(&a, 1), CKR_OK);
  EXPECT_TRUE(d.IsToken());
  EXPECT_EQ(ReadBytes(d, CKA_TOKEN), std::string("\0\0\2\0", 4));
  unsigned char zeros[4] = {0, 0, 0, 0};
  a.pValue = zeros;
  ASSERT_EQ(d.SetAttributeValues(&a, 1), CKR_OK);
  EXPECT_FALSE(d.IsToken());
  bool b = true;
  EXPECT_TRUE(d.GetBoolAttribute(CKA_TOKEN, &b));
  EXPECT_FALSE(b);
}

TEST(P11ObjectWrite, ClassNeedsEightBytes) {
  CPkcs11ObjectData d;
  uint32_t four = 0;
  CK_ATTRIBUTE a{CKA_CLASS, &four, 4};
  EXPECT_EQ(d.SetAttributeValues(&a, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(ReadUlong(d, CKA_CLASS), CKO_DATA);
}

TEST(P11ObjectWrite, KeyTypeTakesBigEndianNumbersOfOtherLengths) {
  CPkcs11ObjectDsaPrivateKey k;
  unsigned char one = 0x03;
  CK_ATTRIBUTE a{CKA_KEY_TYPE, &one, 1};
  ASSERT_EQ(k.SetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(ReadUlong(k, CKA_KEY_TYPE), 3u);  // read back as a native CK_ULONG
  unsigned char padded[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02};
  a = {CKA_KEY_TYPE, padded, 10};
  ASSERT_EQ(k.SetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(ReadUlong(k, CKA_KEY_TYPE), 0x102u);
  unsigned char wide[9] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
  a = {CKA_KEY_TYPE, wide, 9};
  EXPECT_EQ(k.SetAttributeValues(&a, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  CK_ULONG ones = kOnes;
  a = {CKA_KEY_TYPE, &ones, 8};
  EXPECT_EQ(k.SetAttributeValues(&a, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(ReadUlong(k, CKA_KEY_TYPE), 0x102u);
  CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  a = {CKA_KEY_GEN_MECHANISM, &m, sizeof m};
  ASSERT_EQ(k.SetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(ReadUlong(k, CKA_KEY_GEN_MECHANISM), CKM_RSA_PKCS_KEY_PAIR_GEN);
}

TEST(P11ObjectWrite, UlongRulesByClass) {
  CPkcs11ObjectX509Certificate c;
  uint32_t four = 7;
  CK_ATTRIBUTE a{CKA_CERTIFICATE_TYPE, &four, 4};
  EXPECT_EQ(c.SetAttributeValues(&a, 1), CKR_TEMPLATE_INCONSISTENT);
  c.SetPkcs11Version(532);
  a.type = CKA_JAVA_MIDP_SECURITY_DOMAIN;  // kept as given, the member is untouched
  EXPECT_EQ(c.SetAttributeValues(&a, 1), CKR_OK);
  CK_ULONG v = 9;
  EXPECT_FALSE(c.GetUlongAttribute(CKA_JAVA_MIDP_SECURITY_DOMAIN, &v));
  CPkcs11ObjectDhDomainParameters p;
  a.type = CKA_PRIME_BITS;
  EXPECT_EQ(p.SetAttributeValues(&a, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  CPkcs11ObjectHwMirtalTokenInfo ti;
  a.type = CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE;
  EXPECT_EQ(ti.SetAttributeValues(&a, 1), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(ReadUlong(ti, CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE), 0u);
}

TEST(P11ObjectWrite, TemplateIsAppliedWholeOrNotAtAll) {
  CPkcs11ObjectDhDomainParameters p;
  TestTemplate first;
  first.Bytes(CKA_LABEL, "before").Bytes(CKA_PRIME, "\x17");
  ASSERT_EQ(p.SetAttributeValues(TT_ARGS(first)), CKR_OK);

  TestTemplate badLength;
  badLength.Bytes(CKA_LABEL, "after").Bytes(CKA_PRIME, "\x29").Raw(CKA_PRIME_BITS, "\x00\x04", 2);
  EXPECT_EQ(p.SetAttributeValues(TT_ARGS(badLength)), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate unknown;
  unknown.Bytes(CKA_LABEL, "after").Bytes(CKA_MODULUS, "m");
  EXPECT_EQ(p.SetAttributeValues(TT_ARGS(unknown)), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate nullValue;
  nullValue.Bool(CKA_TOKEN, true).Entry(CKA_BASE, nullptr, 5);
  EXPECT_EQ(p.SetAttributeValues(TT_ARGS(nullValue)), CKR_ATTRIBUTE_VALUE_INVALID);
  char small[4] = "abc";
  TestTemplate huge;
  huge.Bool(CKA_TOKEN, true).Entry(CKA_BASE, small, P11_MAX_ATTRIBUTE_VALUE_LENGTH + 1);
  EXPECT_EQ(p.SetAttributeValues(TT_ARGS(huge)), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate enormous;
  enormous.Entry(CKA_BASE, small, kOnes - 1);
  EXPECT_EQ(p.SetAttributeValues(TT_ARGS(enormous)), CKR_ATTRIBUTE_VALUE_INVALID);

  EXPECT_EQ(ReadBytes(p, CKA_LABEL), "before");
  EXPECT_EQ(ReadBytes(p, CKA_PRIME), "\x17");
  EXPECT_EQ(ReadBytes(p, CKA_BASE), "");
  EXPECT_FALSE(p.IsToken());
  EXPECT_EQ(ReadUlong(p, CKA_PRIME_BITS), kOnes);
}

TEST(P11ObjectWrite, DuplicatesApplyInOrderAndEmptyValuesClear) {
  CPkcs11ObjectData d;
  TestTemplate t;
  t.Bytes(CKA_VALUE, "one").Bytes(CKA_VALUE, "second").Bool(CKA_PRIVATE, true).Bool(CKA_PRIVATE, false);
  ASSERT_EQ(d.SetAttributeValues(TT_ARGS(t)), CKR_OK);
  EXPECT_EQ(ReadBytes(d, CKA_VALUE), "second");
  EXPECT_FALSE(d.IsPrivate());
  CK_ATTRIBUTE clear{CKA_VALUE, nullptr, 0};
  ASSERT_EQ(d.SetAttributeValues(&clear, 1), CKR_OK);
  EXPECT_EQ(ReadBytes(d, CKA_VALUE), "");
  EXPECT_EQ(d.SetAttributeValues(nullptr, 0), CKR_OK);
}

TEST(P11ObjectWrite, ModifyRefusesReadOnlyAttributesAndReadOnlyObjects) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  TestTemplate token;
  token.Bool(CKA_TOKEN, true);
  EXPECT_EQ(o->ModifyAttributeValues(TT_ARGS(token)), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate priv;
  priv.Bool(CKA_PRIVATE, true);
  EXPECT_EQ(o->ModifyAttributeValues(TT_ARGS(priv)), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate label;
  label.Bytes(CKA_LABEL, "renamed").Bytes(CKA_APPLICATION, "app");
  EXPECT_EQ(o->ModifyAttributeValues(TT_ARGS(label)), CKR_OK);
  EXPECT_EQ(ReadBytes(*o, CKA_LABEL), "renamed");

  TestTemplate fixed = DataTemplate();
  fixed.Bool(CKA_MODIFIABLE, false);
  ObjectPtr ro = Create(fixed);
  ASSERT_TRUE(ro);
  EXPECT_TRUE(ro->IsReadOnly());
  EXPECT_EQ(ro->ModifyAttributeValues(TT_ARGS(label)), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_EQ(ReadBytes(*ro, CKA_LABEL), "data label");
}

TEST(P11ObjectWrite, ModifyOfKeysFollowsTheKeyRules) {
  TestTemplate t = RsaPrivateTemplate();
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  TestTemplate ok;
  ok.Bytes(CKA_LABEL, "signing key").Bool(CKA_SIGN, false).Bytes(CKA_ID, "\x01");
  EXPECT_EQ(k->ModifyAttributeValues(TT_ARGS(ok)), CKR_OK);
  TestTemplate modulus;
  modulus.Bytes(CKA_MODULUS, "m");
  EXPECT_EQ(k->ModifyAttributeValues(TT_ARGS(modulus)), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate keyType;
  keyType.Ulong(CKA_KEY_TYPE, CKK_RSA);
  EXPECT_EQ(k->ModifyAttributeValues(TT_ARGS(keyType)), CKR_ATTRIBUTE_READ_ONLY);
  TestTemplate other;
  other.Ulong(CKA_KEY_TYPE, CKK_EC);
  EXPECT_EQ(k->ModifyAttributeValues(TT_ARGS(other)), CKR_TEMPLATE_INCONSISTENT);
  EXPECT_FALSE(ReadBool(*k, CKA_SIGN));
}

// ---- labels ----

TEST(P11ObjectLabel, LabelQueries) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  CK_ULONG len = 0;
  const unsigned char* l = o->GetLabel(&len);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(l), len), "data label");
  EXPECT_EQ(o->GetLabelLength(), 10u);
  unsigned char buf[4] = {};
  EXPECT_EQ(o->CopyLabel(buf, 4), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "data");
  EXPECT_EQ(o->CopyLabel(nullptr, 0), 10u);

  CPkcs11ObjectHwClock clock;
  EXPECT_EQ(clock.GetLabel(&len), nullptr);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(clock.GetLabelLength(), 0u);
  EXPECT_FALSE(clock.IsToken());
  EXPECT_FALSE(clock.IsPrivate());
  EXPECT_FALSE(clock.IsModifiable());
}

// ---- matching ----

TEST(P11ObjectMatch, TemplatesMatchByExactValue) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->Matches(nullptr, 0), CKR_OK);
  TestTemplate same;
  same.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_LABEL, "data label").Bool(CKA_TOKEN, false);
  EXPECT_EQ(o->Matches(TT_ARGS(same)), CKR_OK);
  TestTemplate differ;
  differ.Bytes(CKA_LABEL, "data lab3l");
  EXPECT_EQ(o->Matches(TT_ARGS(differ)), CKR_ATTRIBUTE_DIFFERENT);
  TestTemplate shorter;
  shorter.Bytes(CKA_LABEL, "data");
  EXPECT_EQ(o->Matches(TT_ARGS(shorter)), CKR_ATTRIBUTE_DIFFERENT);
  TestTemplate unknown;
  unknown.Ulong(CKA_KEY_TYPE, CKK_RSA);
  EXPECT_EQ(o->Matches(TT_ARGS(unknown)), CKR_ATTRIBUTE_TYPE_INVALID);
  TestTemplate nullValue;
  nullValue.Entry(CKA_LABEL, nullptr, 10);
  EXPECT_EQ(o->Matches(TT_ARGS(nullValue)), CKR_ATTRIBUTE_VALUE_INVALID);
  TestTemplate nullShort;
  nullShort.Entry(CKA_LABEL, nullptr, 3);
  EXPECT_EQ(o->Matches(TT_ARGS(nullShort)), CKR_ATTRIBUTE_DIFFERENT);
  TestTemplate empty;
  empty.Entry(CKA_APPLICATION, nullptr, 0);
  EXPECT_EQ(o->Matches(TT_ARGS(empty)), CKR_OK);
  // Boolean values compare byte for byte.
  TestTemplate wideBool;
  unsigned char four[4] = {0, 0, 0, 0};
  wideBool.Raw(CKA_TOKEN, four, 4);
  EXPECT_EQ(o->Matches(TT_ARGS(wideBool)), CKR_ATTRIBUTE_DIFFERENT);
}

TEST(P11ObjectMatch, UnavailableLengthsMatchWithoutReading) {
  CPkcs11ObjectData d;
  CK_ATTRIBUTE set{CKA_VALUE, nullptr, kOnes};
  ASSERT_EQ(d.SetAttributeValues(&set, 1), CKR_OK);
  char one = 'x';
  CK_ATTRIBUTE q{CKA_VALUE, &one, kOnes};
  EXPECT_EQ(d.Matches(&q, 1), CKR_OK);
  CK_ATTRIBUTE r{CKA_APPLICATION, &one, kOnes};
  EXPECT_EQ(d.Matches(&r, 1), CKR_ATTRIBUTE_DIFFERENT);
}

TEST(P11ObjectMatch, HiddenValuesNeverMatch) {
  TestTemplate t = AesTemplate(true);
  ObjectPtr k = Create(t);
  ASSERT_TRUE(k);
  TestTemplate guess;
  guess.Bytes(CKA_VALUE, "0123456789abcdef");
  EXPECT_NE(k->Matches(TT_ARGS(guess)), CKR_OK);
  TestTemplate byLen;
  byLen.Ulong(CKA_VALUE_LEN, 16).Ulong(CKA_KEY_TYPE, CKK_AES);
  EXPECT_EQ(k->Matches(TT_ARGS(byLen)), CKR_OK);
}

// ---- extra attributes, templates, copies ----

TEST(P11ObjectExtras, ExtraRecordsGrowAndShrink) {
  CPkcs11ObjectData d;
  for (CK_ULONG i = 0; i < 20; ++i) {
    std::string v(i + 1, static_cast<char>('a' + i));
    ASSERT_EQ(d.AddExtraAttribute(CKA_VENDOR_DEFINED + i, 0, v.data(), v.size()), CKR_OK);
  }
  EXPECT_EQ(d.GetExtraAttributeCount(), 20u);
  EXPECT_EQ(d.AddExtraAttribute(CKA_LABEL, 0, "x", 1), CKR_OK);  // known: nothing added
  EXPECT_EQ(d.AddExtraAttribute(CKA_VENDOR_DEFINED + 3, 0, "x", 1), CKR_OK);
  EXPECT_EQ(d.GetExtraAttributeCount(), 20u);
  EXPECT_EQ(ReadBytes(d, CKA_VENDOR_DEFINED + 19), std::string(20, 't'));
  EXPECT_TRUE(d.RemoveExtraAttribute(CKA_VENDOR_DEFINED + 0));
  EXPECT_FALSE(d.RemoveExtraAttribute(CKA_VENDOR_DEFINED + 0));
  EXPECT_EQ(d.GetExtraAttribute(0)->type, CKA_VENDOR_DEFINED + 1);
  CK_ATTRIBUTE_TYPE two[2] = {CKA_VENDOR_DEFINED + 5, CKA_VENDOR_DEFINED + 99};
  EXPECT_TRUE(d.RemoveExtraAttributes(two, 2));
  EXPECT_EQ(d.GetExtraAttributeCount(), 18u);
  EXPECT_TRUE(d.SwapExtraAttributes(0, 1));
  EXPECT_EQ(d.GetExtraAttribute(0)->type, CKA_VENDOR_DEFINED + 2);
  EXPECT_FALSE(d.SwapExtraAttributes(0, 18));
  // Extra records can be set and matched like fixed ones.
  TestTemplate t;
  t.Bytes(CKA_VENDOR_DEFINED + 2, "zz");
  EXPECT_EQ(d.SetAttributeValues(TT_ARGS(t)), CKR_OK);
  EXPECT_EQ(d.Matches(TT_ARGS(t)), CKR_OK);
  d.FreeExtraAttributes();
  EXPECT_EQ(d.GetExtraAttributeCount(), 0u);
  EXPECT_EQ(d.Matches(TT_ARGS(t)), CKR_ATTRIBUTE_TYPE_INVALID);
}

TEST(P11ObjectExtras, BuiltTemplateListsFixedThenExtraRecords) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  ASSERT_EQ(o->AddExtraAttribute(CKA_VENDOR_DEFINED + 1, 0, "e1", 2), CKR_OK);
  ASSERT_EQ(o->AddExtraAttribute(CKA_VENDOR_DEFINED + 2, 0, nullptr, 0), CKR_OK);
  const CK_ATTRIBUTE* tmpl = nullptr;
  CK_ULONG count = 0, total = 0;
  ASSERT_EQ(o->BuildAttributeTemplate(&tmpl, &count, false, true, &total), CKR_OK);
  EXPECT_EQ(count, 8u);
  ASSERT_EQ(total, 10u);
  EXPECT_EQ(tmpl[0].type, CKA_CLASS);
  EXPECT_EQ(tmpl[4].type, CKA_LABEL);
  EXPECT_EQ(std::string(static_cast<char*>(tmpl[4].pValue), tmpl[4].ulValueLen), "data label");
  EXPECT_EQ(tmpl[8].type, CKA_VENDOR_DEFINED + 1);
  EXPECT_EQ(tmpl[9].type, CKA_VENDOR_DEFINED + 2);
  EXPECT_EQ(tmpl[9].pValue, nullptr);
  ASSERT_EQ(o->BuildAttributeTemplate(&tmpl, &count, true, false, &total), CKR_OK);
  EXPECT_EQ(total, 8u);
  EXPECT_EQ(tmpl[4].pValue, nullptr);  // owned value: length only
  EXPECT_EQ(tmpl[4].ulValueLen, 10u);
  EXPECT_EQ(o->BuildAttributeTemplate(nullptr, &count, false, false), CKR_ARGUMENTS_BAD);
}

TEST(P11ObjectExtras, CopyValuesToTemplateAllocatesCopies) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  CK_ATTRIBUTE a[3] = {{CKA_LABEL, nullptr, 0}, {CKA_APPLICATION, nullptr, 0}, {CKA_EC_POINT, nullptr, 0}};
  ASSERT_EQ(o->CopyValuesToTemplate(a, 3), CKR_OK);
  EXPECT_EQ(std::string(static_cast<char*>(a[0].pValue), a[0].ulValueLen), "data label");
  EXPECT_EQ(a[1].pValue, nullptr);
  EXPECT_EQ(a[2].ulValueLen, 0u);
  void* before = a[0].pValue;
  ASSERT_EQ(o->CopyValuesToTemplate(a, 1), CKR_OK);
  EXPECT_EQ(a[0].pValue, before);  // refilled in place
  FreeTemplateValues(a, 3);
}

TEST(P11ObjectExtras, ApplyAttributeTemplateSkipsUnknownTypes) {
  CPkcs11ObjectData d;
  TestTemplate t;
  t.Bytes(CKA_LABEL, "kept").Ulong(CKA_KEY_TYPE, CKK_RSA).Bytes(CKA_VALUE, "v");
  EXPECT_EQ(d.ApplyAttributeTemplate(TT_ARGS(t)), CKR_OK);
  EXPECT_EQ(ReadBytes(d, CKA_LABEL), "kept");
  EXPECT_EQ(ReadBytes(d, CKA_VALUE), "v");
  EXPECT_EQ(d.ApplyAttributeTemplate(nullptr, 2), CKR_ARGUMENTS_BAD);
}

TEST(P11ObjectCopy, CopyKeepsEveryAttributeAndAppliesTheTemplate) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  ASSERT_EQ(o->AddExtraAttribute(CKA_VENDOR_DEFINED + 7, 3, "extra", 5), CKR_OK);
  TestTemplate change;
  change.Bytes(CKA_LABEL, "copy");
  CPkcs11Object* c = nullptr;
  ASSERT_EQ(o->Copy(TT_ARGS(change), &c), CKR_OK);
  ObjectPtr copy(c);
  ASSERT_NE(dynamic_cast<CPkcs11ObjectData*>(c), nullptr);
  EXPECT_EQ(ReadBytes(*copy, CKA_LABEL), "copy");
  EXPECT_EQ(ReadBytes(*o, CKA_LABEL), "data label");
  EXPECT_EQ(ReadBytes(*copy, CKA_VALUE), "payload");
  EXPECT_EQ(ReadBytes(*copy, CKA_VENDOR_DEFINED + 7), "extra");
  EXPECT_EQ(copy->GetExtraAttribute(0)->flags, 3u);
  EXPECT_EQ(copy->GetPkcs11Version(), o->GetPkcs11Version());
  EXPECT_EQ(o->Copy(nullptr, 0, nullptr), CKR_ARGUMENTS_BAD);
}

TEST(P11ObjectCopy, KeysCopyWithTheirSubtypeAndProtection) {
  TestTemplate t = RsaPrivateTemplate();
  t.Bool(CKA_SENSITIVE, true).Bytes(CKA_ID, "\x42");
  ObjectPtr k = Create(t, 532);
  ASSERT_TRUE(k);
  CPkcs11Object* c = nullptr;
  ASSERT_EQ(k->Copy(nullptr, 0, &c), CKR_OK);
  ObjectPtr copy(c);
  ASSERT_NE(dynamic_cast<CPkcs11ObjectRsaPrivateKey*>(c), nullptr);
  EXPECT_EQ(ReadUlong(*copy, CKA_KEY_TYPE), CKK_RSA);
  EXPECT_EQ(ReadBytes(*copy, CKA_ID), "\x42");
  EXPECT_EQ(ReadBytes(*copy, CKA_PRIVATE_EXPONENT, CKR_ATTRIBUTE_SENSITIVE), "<none>");
  EXPECT_EQ(copy->GetFixedAttributeCount(), k->GetFixedAttributeCount());
  // A failing template leaves no object behind.
  TestTemplate bad;
  bad.Bytes(CKA_EC_POINT, "p");
  c = reinterpret_cast<CPkcs11Object*>(1);
  EXPECT_EQ(k->Copy(TT_ARGS(bad), &c), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(c, nullptr);

  CPkcs11ObjectDsaPublicKey kea;
  kea.SetKeyTypeMember(CKK_KEA);
  ASSERT_EQ(kea.Copy(nullptr, 0, &c), CKR_OK);
  ObjectPtr keaCopy(c);
  EXPECT_EQ(ReadUlong(*keaCopy, CKA_KEY_TYPE), CKK_KEA);
}

// ---- hardware features and mechanisms ----

TEST(P11ObjectHardware, FeatureDefaultsAndRules) {
  CPkcs11ObjectHwUserInterface ui;
  CK_BYTE raw[8];
  CK_ATTRIBUTE a{CKA_PIXEL_X, raw, 8};
  ASSERT_EQ(ui.GetAttributeValues(&a, 1), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 8), std::string(8, '\xFF'));
  EXPECT_FALSE(ReadBool(ui, CKA_COLOR));
  EXPECT_EQ(ReadUlong(ui, CKA_HW_FEATURE_TYPE), CKH_USER_INTERFACE);

  CPkcs11ObjectHwMirtalTokenInfo ti;
  EXPECT_FALSE(ReadBool(ti, CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  TestTemplate on;
  on.Bool(CKA_MIRTAL_SECURE_MESSAGING_ENABLED, true).Ulong(CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE, 2);
  ASSERT_EQ(ti.SetAttributeValues(TT_ARGS(on)), CKR_OK);
  EXPECT_TRUE(ReadBool(ti, CKA_MIRTAL_SECURE_MESSAGING_ENABLED));
  EXPECT_EQ(ReadUlong(ti, CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE), 2u);

  CPkcs11ObjectHwMonotonicCounter counter;
  EXPECT_EQ(ReadUlong(counter, CKA_HAS_RESET), 0u);
  unsigned char yes = 5;
  CK_ATTRIBUTE r{CKA_HAS_RESET, &yes, 1};
  ASSERT_EQ(counter.SetAttributeValues(&r, 1), CKR_OK);
  bool b = false;
  EXPECT_TRUE(counter.GetBoolAttribute(CKA_HAS_RESET, &b));
  EXPECT_TRUE(b);
  TestTemplate token;
  token.Bool(CKA_TOKEN, false);
  EXPECT_EQ(counter.SetAttributeValues(TT_ARGS(token)), CKR_ATTRIBUTE_TYPE_INVALID);

  CPkcs11ObjectMechanism m(CKM_SHA256);
  EXPECT_EQ(ReadUlong(m, CKA_MECHANISM_TYPE), CKM_SHA256);
  EXPECT_EQ(Listed(m), (std::vector<CK_ATTRIBUTE_TYPE>{CKA_CLASS, CKA_MECHANISM_TYPE}));
  m.ResetToDefaults();
  EXPECT_EQ(ReadUlong(m, CKA_MECHANISM_TYPE), kOnes);
}

TEST(P11ObjectHardware, ResetBringsBackTheConstructedState) {
  TestTemplate t = DataTemplate();
  ObjectPtr o = Create(t);
  ASSERT_TRUE(o);
  o->ResetToDefaults();
  EXPECT_EQ(ReadBytes(*o, CKA_LABEL), "");
  EXPECT_EQ(ReadUlong(*o, CKA_CLASS), CKO_DATA);
  CPkcs11ObjectX509Certificate c;
  TestTemplate ct;
  ct.Bool(CKA_PRIVATE, true).Bytes(CKA_SUBJECT, "s");
  ASSERT_EQ(c.SetAttributeValues(TT_ARGS(ct)), CKR_OK);
  c.ResetToDefaults();
  EXPECT_FALSE(c.IsPrivate());
  EXPECT_EQ(ReadUlong(c, CKA_CERTIFICATE_TYPE), CKC_X_509);
  CPkcs11ObjectCertificate plain(CKC_WTLS);
  plain.ResetToDefaults();
  EXPECT_EQ(ReadUlong(plain, CKA_CERTIFICATE_TYPE), kOnes);
  CPkcs11ObjectSecretKey s(CKK_AES);
  s.ResetToDefaults();
  EXPECT_EQ(ReadUlong(s, CKA_KEY_TYPE), CKK_GENERIC_SECRET);
  CPkcs11ObjectEcPrivateKey ec;
  ec.ResetToDefaults();
  EXPECT_EQ(ReadUlong(ec, CKA_KEY_TYPE), CKK_EC);
}
