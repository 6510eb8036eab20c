// Templates into typed PKCS#15 attribute lists and back, without a card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs11impl/pkcs15attrmap.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15errors.h"
#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/p11test_template.h"

namespace {

using A = SCPkcs15ObjectAttribute;

const uint32_t kRsaPrivate = 0x1010100;
const uint32_t kRsaPublic = 0x1020100;
const uint32_t kDsaPrivate = 0x2010100;
const uint32_t kEcPublic = 0x4020100;

std::string Stored(const SCPkcs15ObjectAttribute* a) {
  if (a == nullptr) return "<none>";
  uint32_t n = 0;
  const uint8_t* p = a->GetBinary(&n);
  return testsupport::ToHex(p, n, testsupport::HexCase::Upper);
}

}  // namespace

TEST(TokenAttributeMapping, KindsNameTheirClassesAndKeyTypesBothWays) {
  EXPECT_EQ(CKO_DATA, ObjectKindToClass(0x600));
  EXPECT_EQ(CKO_CERTIFICATE, ObjectKindToClass(0x1000200));
  EXPECT_EQ(CKO_CERTIFICATE, ObjectKindToClass(0x200));
  EXPECT_EQ(CKO_PRIVATE_KEY, ObjectKindToClass(kRsaPrivate));
  EXPECT_EQ(CKO_PUBLIC_KEY, ObjectKindToClass(kEcPublic));
  EXPECT_EQ(CKO_SECRET_KEY, ObjectKindToClass(0x30100));
  EXPECT_EQ(~0UL, ObjectKindToClass(0x1000400));  // PIN objects are no PKCS#11 objects
  EXPECT_EQ(~0UL, ObjectKindToClass(0x1000100));  // a key of no class
  EXPECT_EQ(~0UL, ObjectKindToClass(0));

  // Every asymmetric key type the card can hold reads back as the type it was made with.
  for (CK_KEY_TYPE t : {CKK_RSA, CKK_DSA, CKK_DH, CKK_EC, CKK_KEA})
    for (CK_OBJECT_CLASS c : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
      const uint32_t kind = ObjectKindForClass(c, t);
      ASSERT_NE(0u, kind) << t;
      EXPECT_EQ(t, KeyTypeOfKind(kind));
      EXPECT_EQ(c, ObjectKindToClass(kind));
    }
  EXPECT_EQ(kRsaPrivate, ObjectKindForClass(CKO_PRIVATE_KEY, ~0UL));  // no key type: RSA
  EXPECT_EQ(0u, ObjectKindForClass(CKO_PRIVATE_KEY, CKK_X9_42_DH));
  EXPECT_EQ(0u, ObjectKindForClass(CKO_CERTIFICATE, CKC_X_509_ATTR_CERT));
  EXPECT_EQ(0x1000200u, ObjectKindForClass(CKO_CERTIFICATE, ~0UL));
  EXPECT_EQ(0x600u, ObjectKindForClass(CKO_DATA, ~0UL));
  EXPECT_EQ(0x30100u, ObjectKindForClass(CKO_SECRET_KEY, CKK_AES));
  EXPECT_EQ(0u, ObjectKindForClass(CKO_HW_FEATURE, ~0UL));
  EXPECT_EQ(CKK_GENERIC_SECRET, KeyTypeOfKind(0x30100));
  EXPECT_EQ(CKK_AES, KeyTypeOfKind(0xF030100));
  EXPECT_EQ(~0UL, KeyTypeOfKind(0x600));

  EXPECT_EQ(CKM_RSA_PKCS_KEY_PAIR_GEN, KeyGenerationMechanismOfKind(kRsaPublic));
  EXPECT_EQ(CKM_DH_PKCS_KEY_PAIR_GEN, KeyGenerationMechanismOfKind(0x3010100));
  EXPECT_EQ(CKM_EC_KEY_PAIR_GEN, KeyGenerationMechanismOfKind(kEcPublic));
  EXPECT_EQ(~0UL, KeyGenerationMechanismOfKind(0x30100));
}

TEST(TokenAttributeMapping, BooleansLiveAsBitsOfThreeFlagsAttributes) {
  struct Row {
    CK_ATTRIBUTE_TYPE type;
    uint64_t p15;
    uint32_t bit;
  };
  const Row rows[] = {{CKA_PRIVATE, 3, 0x1},         {CKA_MODIFIABLE, 3, 0x2},        {CKA_SENSITIVE, 0x104, 0x1},
                      {CKA_EXTRACTABLE, 0x104, 0x2}, {CKA_ALWAYS_SENSITIVE, 0x104, 0x4}, {CKA_NEVER_EXTRACTABLE, 0x104, 0x8},
                      {CKA_LOCAL, 0x104, 0x10},      {CKA_ENCRYPT, 0x102, 0x1},       {CKA_DECRYPT, 0x102, 0x2},
                      {CKA_SIGN, 0x102, 0x4},        {CKA_SIGN_RECOVER, 0x102, 0x8},  {CKA_WRAP, 0x102, 0x10},
                      {CKA_UNWRAP, 0x102, 0x20},     {CKA_VERIFY, 0x102, 0x40},       {CKA_VERIFY_RECOVER, 0x102, 0x80},
                      {CKA_DERIVE, 0x102, 0x100}};
  for (const Row& r : rows) {
    uint64_t t = 0;
    EXPECT_EQ(r.bit, GetFlagMaskForAttribute(r.type, &t)) << r.type;
    EXPECT_EQ(r.p15, t) << r.type;
  }
  uint64_t t = 7;
  EXPECT_EQ(0u, GetFlagMaskForAttribute(CKA_TOKEN, &t));
  EXPECT_EQ(0u, t);
}

TEST(TokenAttributeMapping, EachKindMapsItsOwnAttributes) {
  // Every kind.
  for (uint32_t kind : {0x600u, 0x1000200u, kRsaPrivate, kEcPublic, 0x30100u}) {
    EXPECT_EQ(1u, MapAttributeToPkcs15(kind, CKA_CLASS));
    EXPECT_EQ(0u, MapAttributeToPkcs15(kind, CKA_TOKEN));
    EXPECT_EQ(3u, MapAttributeToPkcs15(kind, CKA_PRIVATE));
    EXPECT_EQ(2u, MapAttributeToPkcs15(kind, CKA_LABEL));
  }
  // Certificates and data objects.
  EXPECT_EQ(0x1000201u, MapAttributeToPkcs15(0x1000200, CKA_VALUE));
  EXPECT_EQ(0x201u, MapAttributeToPkcs15(0x1000200, CKA_ID));
  EXPECT_EQ(1u, MapAttributeToPkcs15(0x1000200, CKA_CERTIFICATE_TYPE));
  EXPECT_EQ(0u, MapAttributeToPkcs15(0x1000200, CKA_MIRTAL_QUALIFIED_OBJECT));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(0x1000200, CKA_MODULUS));
  EXPECT_EQ(0x601u, MapAttributeToPkcs15(0x600, CKA_VALUE));
  EXPECT_EQ(0x604u, MapAttributeToPkcs15(0x600, CKA_OBJECT_ID));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(0x600, CKA_KEY_TYPE));
  // RSA private key: the components in their order, the modulus length not stored.
  const CK_ATTRIBUTE_TYPE rsa[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                   CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(0x1010103u + i, MapAttributeToPkcs15(kRsaPrivate, rsa[i]));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(kRsaPrivate, CKA_MODULUS_BITS));
  EXPECT_EQ(0x102u, MapAttributeToPkcs15(kRsaPrivate, CKA_SIGN));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(kRsaPrivate, CKA_VERIFY));
  EXPECT_EQ(5u, MapAttributeToPkcs15(kRsaPrivate, CKA_ALWAYS_AUTHENTICATE));
  EXPECT_EQ(0u, MapAttributeToPkcs15(kRsaPrivate, CKA_KEY_GEN_MECHANISM));
  EXPECT_EQ(0x10103u, MapAttributeToPkcs15(kDsaPrivate, CKA_VALUE));
  EXPECT_EQ(0x2010102u, MapAttributeToPkcs15(kDsaPrivate, CKA_SUBPRIME));
  // Public keys.
  EXPECT_EQ(0x1020101u, MapAttributeToPkcs15(kRsaPublic, CKA_MODULUS_BITS));
  EXPECT_EQ(0x1020104u, MapAttributeToPkcs15(kRsaPublic, CKA_PUBLIC_EXPONENT));
  EXPECT_EQ(0x20104u, MapAttributeToPkcs15(kEcPublic, CKA_EC_POINT));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(kRsaPublic, CKA_PRIME));
  // Secret keys.
  EXPECT_EQ(0x30102u, MapAttributeToPkcs15(0x30100, CKA_VALUE_LEN));
  EXPECT_EQ(0x102u, MapAttributeToPkcs15(0x30100, CKA_VERIFY));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(0x30100, CKA_SIGN_RECOVER));
  // Searches without a kind.
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(0, CKA_TOKEN));
  EXPECT_EQ(0xFF000001u, MapAttributeToPkcs15(0, CKA_ID));
  EXPECT_EQ(0xFF000002u, MapAttributeToPkcs15(0, CKA_VALUE));
  EXPECT_EQ(0x101010Au, MapAttributeToPkcs15(0, CKA_COEFFICIENT));
  EXPECT_EQ(0xFF00002Bu, MapAttributeToPkcs15(0, CKA_BASE));
  EXPECT_EQ(0x104u, MapAttributeToPkcs15(0, CKA_LOCAL));
  EXPECT_EQ(p15attr::kInvalid, MapAttributeToPkcs15(0, CKA_HW_FEATURE_TYPE));
}

TEST(TokenAttributeMapping, UnreadableTypesAreMarkedAndTheRestLeftAlone) {
  CK_ULONG value = 0;
  CK_ATTRIBUTE t[3] = {{CKA_LABEL, nullptr, 5}, {CKA_HW_FEATURE_TYPE, &value, 8}, {CKA_MIRTAL_QUALIFIED_OBJECT, nullptr, 1}};
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, CheckTemplateTypes(t, 3));
  EXPECT_EQ(5u, t[0].ulValueLen);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[1].ulValueLen);
  EXPECT_EQ(1u, t[2].ulValueLen);
  EXPECT_EQ(CKR_OK, CheckTemplateTypes(t, 1));
}

TEST(TokenAttributeMapping, ValuesAreConvertedByTheirStoreType) {
  SCPkcs15ObjectAttributeList list;
  TestTemplate ok;
  ok.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
      .Ulong(CKA_KEY_TYPE, CKK_RSA)
      .Ulong(CKA_MODULUS_BITS, 2048)
      .Bytes(CKA_PUBLIC_EXPONENT, std::string("\x00\x01\x00\x01", 4))
      .Bytes(CKA_LABEL, "key one")
      .Bool(CKA_VERIFY, true)
      .Bool(CKA_ENCRYPT, false)
      .Bytes(CKA_START_DATE, "20240229");
  ASSERT_EQ(CKR_OK, BuildObjectAttributeList(kRsaPublic, true, TT_ARGS(ok), &list));
  uint32_t kind = 0;
  ASSERT_NE(nullptr, list.FindAttribute(1));
  EXPECT_EQ(1, list.FindAttribute(1)->GetInteger(&kind));
  EXPECT_EQ(kRsaPublic, kind);
  EXPECT_EQ("0800", Stored(list.FindAttribute(0x1020101)));    // shortest big-endian form
  EXPECT_EQ("010001", Stored(list.FindAttribute(0x1020104)));  // leading zeros dropped
  EXPECT_EQ("6B6579206F6E65", Stored(list.FindAttribute(2)));
  uint32_t bits = 0, mask = 0;
  ASSERT_EQ(1, list.FindAttribute(0x102)->GetFlags(&bits, &mask));
  EXPECT_EQ(0x40u, bits);
  EXPECT_EQ(0x41u, mask);
  EXPECT_EQ("3230323430323239", Stored(list.FindAttribute(0x106)));

  struct Bad {
    CK_ATTRIBUTE_TYPE type;
    std::string value;
  };
  const Bad bad[] = {{CKA_MODULUS_BITS, std::string(4, '\0')},  // a CK_ULONG is 8 bytes
                     {CKA_VERIFY, std::string(2, '\1')},       // a CK_BBOOL is 1 byte
                     {CKA_START_DATE, "20230229"},             // no 29th of February
                     {CKA_END_DATE, "2024011"},
                     {CKA_END_DATE, "2024-1-1"}};
  for (const Bad& b : bad) {
    TestTemplate t;
    t.Bytes(b.type, b.value);
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, BuildObjectAttributeList(kRsaPublic, true, TT_ARGS(t), &list)) << b.type;
  }
  // Hostile lengths: a null value with a length, a length no attribute can have.
  char small[4] = {0};
  TestTemplate hostile;
  hostile.Entry(CKA_LABEL, nullptr, 12);
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, BuildObjectAttributeList(0x600, true, TT_ARGS(hostile), &list));
  TestTemplate huge;
  huge.Entry(CKA_VALUE, small, 0x100000000UL);
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, BuildObjectAttributeList(0x600, true, TT_ARGS(huge), &list));
  TestTemplate unavailable;
  unavailable.Entry(CKA_VALUE, small, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, BuildObjectAttributeList(0x600, true, TT_ARGS(unavailable), &list));
  EXPECT_EQ(0u, list.GetCount());
  // An empty value is a value.
  TestTemplate empty;
  empty.Entry(CKA_VALUE, nullptr, 0);
  EXPECT_EQ(CKR_OK, BuildObjectAttributeList(0x600, true, TT_ARGS(empty), &list));
  ASSERT_NE(nullptr, list.FindAttribute(0x601));
  EXPECT_EQ(0u, list.FindAttribute(0x601)->GetLength());
}

TEST(TokenAttributeMapping, KeyValuesOfDsaAndEcKindsAreWrappedInDer) {
  SCPkcs15ObjectAttributeList list;
  TestTemplate dsa;
  dsa.Bytes(CKA_VALUE, std::string("\x00\x80\x01", 3));
  ASSERT_EQ(CKR_OK, BuildObjectAttributeList(kDsaPrivate, true, TT_ARGS(dsa), &list));
  // A non-negative INTEGER: the leading zero stays as the sign octet.
  EXPECT_EQ("0203008001", Stored(list.FindAttribute(0x10103)));
  TestTemplate ec;
  ec.Bytes(CKA_EC_POINT, std::string("\x04\x01\x02", 3));
  ASSERT_EQ(CKR_OK, BuildObjectAttributeList(kEcPublic, true, TT_ARGS(ec), &list));
  EXPECT_EQ("0403040102", Stored(list.FindAttribute(0x20104)));

  // Read back: the magnitude of the INTEGER, the contents of the OCTET STRING.
  SCPkcs15ObjectAttributeList filled;
  const uint8_t integer[] = {0x02, 0x03, 0x00, 0x80, 0x01};
  filled.AddAttribute(0x10103)->SetValue(integer, sizeof integer);
  uint8_t out[8];
  CK_ATTRIBUTE t = {CKA_VALUE, out, sizeof out};
  ASSERT_EQ(CKR_OK, AttributesToTemplate(kDsaPrivate, filled, &t, 1));
  EXPECT_EQ("8001", testsupport::ToHex(out, t.ulValueLen, testsupport::HexCase::Upper));
  SCPkcs15ObjectAttributeList point;
  const uint8_t octets[] = {0x04, 0x03, 0x04, 0x01, 0x02};
  point.AddAttribute(0x20104)->SetValue(octets, sizeof octets);
  CK_ATTRIBUTE p = {CKA_EC_POINT, out, sizeof out};
  ASSERT_EQ(CKR_OK, AttributesToTemplate(kEcPublic, point, &p, 1));
  EXPECT_EQ("040102", testsupport::ToHex(out, p.ulValueLen, testsupport::HexCase::Upper));
  // A value that is no DER answers nothing.
  SCPkcs15ObjectAttributeList broken;
  const uint8_t junk[] = {0x02, 0x09, 0x01};
  broken.AddAttribute(0x10103)->SetValue(junk, sizeof junk);
  CK_ATTRIBUTE j = {CKA_VALUE, out, sizeof out};
  EXPECT_EQ(CKR_FUNCTION_FAILED, AttributesToTemplate(kDsaPrivate, broken, &j, 1));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, j.ulValueLen);
}

TEST(TokenAttributeMapping, MergingCollectsFlagBitsAndRefusesContradictions) {
  SCPkcs15ObjectAttributeList list;
  TestTemplate twice;
  twice.Bool(CKA_SIGN, true).Bool(CKA_SIGN, false);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, BuildObjectAttributeList(kRsaPrivate, true, TT_ARGS(twice), &list));
  // A later true over a known false is taken.
  TestTemplate later;
  later.Bool(CKA_SIGN, false).Bool(CKA_SIGN, true).Bool(CKA_DECRYPT, true);
  ASSERT_EQ(CKR_OK, BuildObjectAttributeList(kRsaPrivate, true, TT_ARGS(later), &list));
  uint32_t bits = 0, mask = 0;
  ASSERT_EQ(1, list.FindAttribute(0x102)->GetFlags(&bits, &mask));
  EXPECT_EQ(0x6u, bits);
  EXPECT_EQ(0x6u, mask);
  EXPECT_EQ(1u, list.GetCount());
  // Two different labels, or the class given twice with different values.
  TestTemplate labels;
  labels.Bytes(CKA_LABEL, "a").Bytes(CKA_LABEL, "b");
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, BuildObjectAttributeList(0x600, true, TT_ARGS(labels), &list));
  TestTemplate same;
  same.Bytes(CKA_LABEL, "a").Bytes(CKA_LABEL, "a").Ulong(CKA_CLASS, CKO_DATA).Ulong(CKA_CLASS, CKO_DATA);
  EXPECT_EQ(CKR_OK, BuildObjectAttributeList(0x600, true, TT_ARGS(same), &list));
  // An attribute the kind does not have is reported; the others are still taken.
  TestTemplate unknown;
  unknown.Ulong(CKA_MODULUS_BITS, 1024).Bytes(CKA_LABEL, "x");
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, BuildObjectAttributeList(kRsaPrivate, true, TT_ARGS(unknown), &list));
  EXPECT_NE(nullptr, list.FindAttribute(2));
  // Without values only the types are recorded, once each.
  TestTemplate read;
  read.Entry(CKA_SIGN, nullptr, 0).Entry(CKA_DECRYPT, nullptr, 0).Entry(CKA_ID, nullptr, 0).Entry(CKA_TOKEN, nullptr, 0);
  ASSERT_EQ(CKR_OK, BuildObjectAttributeList(kRsaPrivate, false, TT_ARGS(read), &list));
  EXPECT_EQ(2u, list.GetCount());
  EXPECT_EQ(0u, list.FindAttribute(0x102)->GetLength());
}

TEST(TokenAttributeMapping, SearchTemplatesNameAKindOrNothingTheCardHolds) {
  SCPkcs15ObjectAttributeList list;
  auto kindOf = [&list]() {
    uint32_t k = 0;
    const SCPkcs15ObjectAttribute* a = list.FindAttribute(1);
    return a != nullptr && a->GetInteger(&k) ? k : 0u;
  };
  TestTemplate none;
  ASSERT_EQ(CKR_OK, BuildSearchAttributeList(TT_ARGS(none), &list));
  EXPECT_EQ(0u, list.GetCount());

  struct Case {
    TestTemplate t;
    uint32_t kind;
  };
  std::vector<Case> cases;
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE), 0x200});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509), 0x1000200});
  cases.push_back({TestTemplate().Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509), 0x1000200});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_PRIVATE_KEY), 0x10100});
  cases.push_back({TestTemplate().Ulong(CKA_KEY_TYPE, CKK_RSA).Ulong(CKA_CLASS, CKO_PRIVATE_KEY), kRsaPrivate});
  cases.push_back({TestTemplate().Ulong(CKA_KEY_TYPE, CKK_EC), 0x4000100});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_DATA), 0x600});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_DES3), 0x5030100});
  for (Case& c : cases) {
    ASSERT_EQ(CKR_OK, BuildSearchAttributeList(TT_ARGS(c.t), &list));
    EXPECT_EQ(c.kind, kindOf());
  }
  // Objects the card cannot hold: the search finds nothing.
  std::vector<TestTemplate> nothing;
  nothing.push_back(TestTemplate().Ulong(CKA_CLASS, CKO_HW_FEATURE));
  nothing.push_back(TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_WTLS));
  nothing.push_back(TestTemplate().Ulong(CKA_CLASS, CKO_SECRET_KEY).Ulong(CKA_KEY_TYPE, CKK_CDMF));
  nothing.push_back(TestTemplate().Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, 0x80000001UL));
  nothing.push_back(TestTemplate().Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_AES));
  for (TestTemplate& t : nothing) EXPECT_EQ(CKR_ATTRIBUTE_TYPE_UNSUPPORTED, BuildSearchAttributeList(TT_ARGS(t), &list));
  // Malformed and contradictory templates.
  TestTemplate shortClass;
  shortClass.Raw(CKA_CLASS, "\1\0\0\0", 4);
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, BuildSearchAttributeList(TT_ARGS(shortClass), &list));
  TestTemplate twoClasses;
  twoClasses.Ulong(CKA_CLASS, CKO_DATA).Ulong(CKA_CLASS, CKO_CERTIFICATE);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, BuildSearchAttributeList(TT_ARGS(twoClasses), &list));
  TestTemplate both;
  both.Ulong(CKA_KEY_TYPE, CKK_RSA).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, BuildSearchAttributeList(TT_ARGS(both), &list));
  // Values are searched with their kind; CKA_TOKEN and derived attributes are left out.
  TestTemplate byId;
  byId.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bool(CKA_TOKEN, true).Bytes(CKA_ID, "\x45").Bytes(CKA_LABEL, "Cert");
  ASSERT_EQ(CKR_OK, BuildSearchAttributeList(TT_ARGS(byId), &list));
  EXPECT_EQ(3u, list.GetCount());
  EXPECT_EQ("45", Stored(list.FindAttribute(0x201)));
  TestTemplate anyKind;
  anyKind.Bytes(CKA_ID, "\x45").Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false);
  ASSERT_EQ(CKR_OK, BuildSearchAttributeList(TT_ARGS(anyKind), &list));
  EXPECT_EQ(2u, list.GetCount());
  EXPECT_EQ("45", Stored(list.FindAttribute(0xFF000001)));
}

TEST(TokenAttributeMapping, KeyPairTemplatesShareTheGenerationParameters) {
  SCPkcs15ObjectAttributeList prv, pub;
  TestTemplate pubT, prvT;
  pubT.Ulong(CKA_CLASS, CKO_PUBLIC_KEY)
      .Ulong(CKA_MODULUS_BITS, 2048)
      .Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3))
      .Bytes(CKA_PRIME, "ignored")
      .Bytes(CKA_MODULUS, "ignored too")
      .Bool(CKA_VERIFY, true)
      .Bytes(CKA_LABEL, "pair");
  prvT.Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_SIGN, true).Bytes(CKA_ID, "\x01\x02").Bool(CKA_ALWAYS_AUTHENTICATE, true);
  ASSERT_EQ(CKR_OK, BuildKeyPairAttributeLists(CKM_RSA_PKCS_KEY_PAIR_GEN, TT_ARGS(prvT), TT_ARGS(pubT), &prv, &pub));
  EXPECT_EQ("0800", Stored(pub.FindAttribute(0x1020101)));
  EXPECT_EQ("0800", Stored(prv.FindAttribute(0x1010101)));
  EXPECT_EQ("010001", Stored(pub.FindAttribute(0x1020104)));
  EXPECT_EQ("010001", Stored(prv.FindAttribute(0x1010104)));
  EXPECT_EQ(nullptr, pub.FindAttribute(0x1020103));
  EXPECT_EQ(nullptr, prv.FindAttribute(5));
  EXPECT_EQ("0102", Stored(prv.FindAttribute(0x101)));
  EXPECT_NE(nullptr, pub.FindAttribute(2));
  uint32_t k = 0;
  ASSERT_EQ(1, prv.FindAttribute(1)->GetInteger(&k));
  EXPECT_EQ(kRsaPrivate, k);
  ASSERT_EQ(1, pub.FindAttribute(1)->GetInteger(&k));
  EXPECT_EQ(kRsaPublic, k);

  TestTemplate wrongClass;
  wrongClass.Ulong(CKA_CLASS, CKO_PUBLIC_KEY);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT,
            BuildKeyPairAttributeLists(CKM_RSA_PKCS_KEY_PAIR_GEN, TT_ARGS(wrongClass), TT_ARGS(pubT), &prv, &pub));
  TestTemplate dsaType;
  dsaType.Ulong(CKA_KEY_TYPE, CKK_DSA);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT,
            BuildKeyPairAttributeLists(CKM_RSA_PKCS_KEY_PAIR_GEN, TT_ARGS(dsaType), TT_ARGS(pubT), &prv, &pub));
  EXPECT_EQ(CKR_MECHANISM_INVALID,
            BuildKeyPairAttributeLists(CKM_RSA_PKCS, TT_ARGS(prvT), TT_ARGS(pubT), &prv, &pub));
  TestTemplate sign;
  sign.Bool(CKA_SIGN, true).Bool(CKA_SIGN, false);
  EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT,
            BuildKeyPairAttributeLists(CKM_RSA_PKCS_KEY_PAIR_GEN, TT_ARGS(sign), TT_ARGS(pubT), &prv, &pub));
}

TEST(TokenAttributeMapping, FilledListsAnswerEveryEntryOfTheTemplate) {
  SCPkcs15ObjectAttributeList list;
  list.AddInteger(1, kRsaPublic);
  list.AddInteger(0x1020101, 2048);
  list.AddFlags(0x102, 0x40, 0x41);
  list.AddAttribute(2)->SetString(2, "my key");
  SCPkcs15ObjectAttribute* id = list.AddAttribute(0x101);
  id->SetResult(SC_E_PKCS15_ATTR_NOT_FOUND);
  SCPkcs15ObjectAttribute* start = list.AddAttribute(0x106);
  start->SetResult(SC_E_PKCS15_UNSUPPORTED_ATTR);

  CK_ULONG cls = 0, bits = 0;
  CK_BBOOL verify = 9, encrypt = 9, wrap = 9;
  char label[3];
  char idBuf[4];
  CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},         {CKA_MODULUS_BITS, &bits, sizeof bits},
                      {CKA_VERIFY, &verify, 1},              {CKA_ENCRYPT, &encrypt, 1},
                      {CKA_WRAP, &wrap, 1},                  {CKA_LABEL, label, sizeof label},
                      {CKA_ID, idBuf, sizeof idBuf},         {CKA_START_DATE, nullptr, 0},
                      {CKA_PRIME_1, nullptr, 0},             {CKA_TOKEN, nullptr, 77}};
  const CK_ULONG n = sizeof t / sizeof t[0];
  // Type invalid wins over the short label buffer.
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, AttributesToTemplate(kRsaPublic, list, t, n));
  EXPECT_EQ(CKO_PUBLIC_KEY, cls);
  EXPECT_EQ(8u, t[1].ulValueLen);
  EXPECT_EQ(2048u, bits);
  EXPECT_EQ(CK_TRUE, verify);
  EXPECT_EQ(CK_FALSE, encrypt);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[4].ulValueLen);  // the card does not say
  EXPECT_EQ(9, wrap);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[5].ulValueLen);  // too small
  EXPECT_EQ(0u, t[6].ulValueLen);                          // the object has none
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[7].ulValueLen);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[8].ulValueLen);
  EXPECT_EQ(77u, t[9].ulValueLen);  // the token answers it, not the card

  // Sensitive wins over everything.
  SCPkcs15ObjectAttributeList secret;
  secret.AddAttribute(0x1010105)->SetResult(SC_E_PKCS15_ATTR_UNEXTRACTABLE);
  CK_ATTRIBUTE s[] = {{CKA_PRIME_1, nullptr, 0}, {CKA_PRIVATE_EXPONENT, nullptr, 0}};
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, AttributesToTemplate(kRsaPrivate, secret, s, 2));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, s[1].ulValueLen);
  // User consent: absent reads as false.
  SCPkcs15ObjectAttributeList consent;
  consent.AddAttribute(5)->SetResult(SC_E_PKCS15_ATTR_NOT_FOUND);
  CK_BBOOL always = 7;
  CK_ATTRIBUTE c = {CKA_ALWAYS_AUTHENTICATE, &always, 1};
  EXPECT_EQ(CKR_OK, AttributesToTemplate(kRsaPrivate, consent, &c, 1));
  EXPECT_EQ(CK_FALSE, always);
  // A failure of the PKCS#15 layer's memory ends the read at once.
  SCPkcs15ObjectAttributeList memory;
  memory.AddAttribute(2)->SetResult(SC_E_NO_MEMORY);
  CK_ATTRIBUTE m = {CKA_LABEL, nullptr, 0};
  EXPECT_EQ(CKR_HOST_MEMORY, AttributesToTemplate(0x600, memory, &m, 1));
}
