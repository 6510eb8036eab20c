// Names of PKCS#11 constants: standard, vendor, internal and unknown values,
// with and without a buffer; aliases (the first row wins); the index giving
// the same answers as the row scan; flag words; PIN-status and trust texts.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11names.h"

namespace {

std::string Flags(int (*fn)(CK_FLAGS, char*, int), CK_FLAGS f) {
  char buf[1024];
  int n = fn(f, buf, sizeof buf);
  EXPECT_GT(n, 0);
  EXPECT_EQ(static_cast<size_t>(n), std::strlen(buf) + 1);
  return buf;
}

TEST(ConstantNames, VendorAttributeWithAndWithoutBuffer) {
  EXPECT_STREQ(GetAttributeName(0xABECAD10), "CKA_MIRTAL_QUALIFIED_OBJECT");
  char buf[100];
  EXPECT_STREQ(GetAttributeName(0xABECAD10, buf, sizeof buf), "CKA_VENDOR_ABECAD10 (CKA_MIRTAL_QUALIFIED_OBJECT)");
  EXPECT_EQ(GetAttributeName(0xABECAD10, buf, sizeof buf), buf);
  EXPECT_STREQ(GetAttributeName(CKA_TARVO_USER_2_ID, buf, sizeof buf), "CKA_VENDOR_ABEC5004 (CKA_TARVO_USER_2_ID)");
  EXPECT_STREQ(GetAttributeName(CKA_MIRTAL), "CKA_MIRTAL");
}

TEST(ConstantNames, UnknownStandardAttribute) {
  char buf[100];
  EXPECT_STREQ(GetAttributeName(0x7777, buf, sizeof buf), "CKA_UNKNOWN_00007777");
  EXPECT_STREQ(GetAttributeName(0x7777), "CKA_UNKNOWN");
  EXPECT_STREQ(GetReturnValueName(0x999, buf, sizeof buf), "CKR_UNKNOWN_00000999");
  EXPECT_STREQ(GetReturnValueName(0x999), "CKR_UNKNOWN");
}

TEST(ConstantNames, UnknownVendorValueFallsBackToTheVendorRow) {
  char buf[100];
  EXPECT_STREQ(GetMechanismName(0x80001234), "CKM_VENDOR_DEFINED");
  EXPECT_STREQ(GetMechanismName(0x80001234, buf, sizeof buf), "CKM_VENDOR_80001234");
  EXPECT_STREQ(GetReturnValueName(0x80000000, buf, sizeof buf), "CKR_VENDOR_80000000 (CKR_VENDOR_DEFINED)");
}

TEST(ConstantNames, AllOnesIsNamedEvenWithBuffer) {
  char buf[100];
  EXPECT_STREQ(GetAttributeName(~0UL, buf, sizeof buf), "CKA_UNKNOWN");
  EXPECT_STREQ(GetReturnValueName(~0UL), "CKR_UNKNOWN");
}

TEST(ConstantNames, StandardNamesAndPrefixes) {
  char buf[64];
  EXPECT_STREQ(GetReturnValueName(CKR_OK, buf, sizeof buf), "CKR_OK");
  EXPECT_STREQ(GetReturnValueName(CKR_FUNCTION_NOT_SUPPORTED), "CKR_FUNCTION_NOT_SUPPORTED");
  EXPECT_STREQ(GetObjectClassName(CKO_PRIVATE_KEY), "CKO_PRIVATE_KEY");
  EXPECT_STREQ(GetCertificateTypeName(CKC_X_509), "CKC_X_509");
  EXPECT_STREQ(GetHwFeatureName(CKH_CLOCK), "CKH_CLOCK");
  EXPECT_STREQ(GetSessionStateName(CKS_RW_SO_FUNCTIONS), "CKS_RW_SO_FUNCTIONS");
  EXPECT_STREQ(GetUserTypeName(CKU_CONTEXT_SPECIFIC), "CKU_CONTEXT_SPECIFIC");
  EXPECT_STREQ(GetMgfName(CKG_MGF1_SHA256), "CKG_MGF1_SHA256");
  EXPECT_STREQ(GetKdfName(CKD_SHA1_KDF), "CKD_SHA1_KDF");
  EXPECT_STREQ(GetOtpFormatName(CK_OTP_FORMAT_BINARY), "CK_OTP_FORMAT_BINARY");
  EXPECT_STREQ(GetOtpParamName(CK_OTP_PARAM_MANDATORY), "CK_OTP_PARAM_MANDATORY");
  EXPECT_STREQ(GetOtpFormatName(9, buf, sizeof buf), "CK_OTP_UNKNOWN_00000009");
  EXPECT_STREQ(GetOtpParamName(7, buf, sizeof buf), "CK_OTP_UNKNOWN_00000007");
  EXPECT_STREQ(GetHwFeatureName(0, buf, sizeof buf), "CKH_UNKNOWN_00000000");
  EXPECT_STREQ(GetMgfName(9, buf, sizeof buf), "CKG_UNKNOWN_00000009");
}

TEST(ConstantNames, AliasesGiveTheCurrentStandardName) {
  char buf[64];
  EXPECT_STREQ(GetKeyTypeName(3), "CKK_EC");
  EXPECT_STREQ(GetKeyTypeName(3, buf, sizeof buf), "CKK_EC");
  EXPECT_STREQ(GetKeyTypeName(CKK_CAST128), "CKK_CAST128");
  EXPECT_STREQ(GetAttributeName(0x180), "CKA_EC_PARAMS");
  EXPECT_STREQ(GetAttributeName(0x134), "CKA_SUBPRIME_BITS");
  EXPECT_STREQ(GetMechanismName(0x1040), "CKM_EC_KEY_PAIR_GEN");
  EXPECT_STREQ(GetMechanismName(0x320), "CKM_CAST128_KEY_GEN");
  EXPECT_STREQ(GetMechanismName(0x3A4), "CKM_PBE_MD5_CAST128_CBC");
}

TEST(ConstantNames, VendorAndInternalRowsOfTheModule) {
  char buf[120];
  EXPECT_STREQ(GetReturnValueName(0xABEC1000), "CKR_MIRTAL_MASTER_CARD_NOT_FOUND");
  EXPECT_STREQ(GetReturnValueName(0xABEC1003, buf, sizeof buf),
               "CKR_VENDOR_ABEC1003 (CKR_MIRTAL_QUALIFIED_OBJECT_INITIATED)");
  EXPECT_STREQ(GetReturnValueName(0xFFFFFFF0), "CKR_ATTRIBUTE_DIFFERENT [int]");
  EXPECT_STREQ(GetReturnValueName(0xFFFFFFF1), "CKR_ATTRIBUTE_TYPE_UNSUPPORTED [int]");
  EXPECT_STREQ(GetReturnValueName(0xFFFFFFF2, buf, sizeof buf), "CKR_VENDOR_FFFFFFF2 (CKR_ATTRIBUTE_NOT_FOUND [int])");
  EXPECT_STREQ(GetHwFeatureName(CKH_MIRTAL_TOKEN_INFO), "CKH_MIRTAL_TOKEN_INFO");
  EXPECT_STREQ(GetUserTypeName(CKU_MIRTAL_PERSONALIZATION_AGENT), "CKU_MIRTAL_PERSONALIZATION_AGENT");
  EXPECT_STREQ(GetSessionStateName(CKS_MIRTAL_USER_PUK), "CKS_MIRTAL_USER_PUK");
  EXPECT_STREQ(GetUserTypeName(0xABEC1003, buf, sizeof buf), "CKU_VENDOR_ABEC1003 (CKU_MIRTAL_SO_PUK)");
  EXPECT_STREQ(GetKeyTypeName(CKK_ANY_DES), "CKK_ANY_DES [int]");
  EXPECT_STREQ(GetKeyTypeName(CKK_GENERIC_OR_GOST28147), "CKK_GENERIC_OR_GOST28147 [int]");
  EXPECT_STREQ(GetKeyTypeName(CKK_ANY_ASSYMETRIC, buf, sizeof buf),
               "CKK_VENDOR_FFFFFFFFFFFFFFFD (CKK_ANY_ASSYMETRIC [int])");
}

TEST(ConstantNames, NssNamesCarryTheirSuffix) {
  const P11NameTable* tables[] = {&ReturnValueTable(), &MechanismTable(), &AttributeTable(), &ObjectClassTable(),
                                  &KeyTypeTable()};
  int seen = 0;
  for (const P11NameTable* t : tables) {
    for (size_t i = 0; i < t->count; ++i) {
      auto* row = reinterpret_cast<const P11NameRow*>(static_cast<const char*>(t->rows) + i * t->rowSize);
      std::string name = row->name;
      if (name.find("NSS") != std::string::npos || name.find("NETSCAPE") != std::string::npos ||
          name.find("CKA_TRUST_") == 0) {
        ++seen;
        EXPECT_NE(name.find(" [nss]"), std::string::npos) << name;
      }
    }
  }
  EXPECT_GT(seen, 30);
  EXPECT_STREQ(GetObjectClassName(0xCE534351), "CKO_NSS_CRL [nss]");
}

TEST(ConstantNames, EveryTableEndsWithVendorAndUnknownRows) {
  const P11NameTable* tables[] = {&ReturnValueTable(), &MechanismTable(), &AttributeTable(), &ObjectClassTable(),
                                  &KeyTypeTable(),     &CertificateTypeTable(), &HwFeatureTable(),
                                  &SessionStateTable(), &UserTypeTable(), &MgfTable(), &KdfTable(),
                                  &OtpFormatTable(),   &OtpParamTable()};
  for (const P11NameTable* t : tables) {
    ASSERT_GE(t->count, 2u);
    auto row = [&](size_t i) {
      return reinterpret_cast<const P11NameRow*>(static_cast<const char*>(t->rows) + i * t->rowSize);
    };
    EXPECT_EQ(row(t->count - 2)->value, 0x80000000UL) << row(0)->name;
    EXPECT_EQ(row(t->count - 1)->value, ~0UL) << row(0)->name;
    EXPECT_NE(std::string(row(t->count - 2)->name).find("VENDOR_DEFINED"), std::string::npos);
    EXPECT_NE(std::string(row(t->count - 1)->name).find("UNKNOWN"), std::string::npos);
  }
}

// A table of our own: two vendor rows sharing a value.
struct OddRow {
  CK_ULONG value;
  const char* name;
  CK_ULONG extra;
};
const OddRow kOdd[] = {{1, "CKX_ONE", 0}, {0x80000001, "CKX_A", 0}, {0x80000001, "CKX_B", 0}, {2, "CKX_TWO", 0}};

TEST(ConstantNames, VendorLongFormListsEveryRowAndShrinksToFit) {
  char buf[64];
  EXPECT_STREQ(LookupConstantName(0x80000001, kOdd, 4, sizeof(OddRow), buf, sizeof buf),
               "CKX_VENDOR_80000001 (CKX_A, CKX_B)");
  char mid[25];
  EXPECT_STREQ(LookupConstantName(0x80000001, kOdd, 4, sizeof(OddRow), mid, sizeof mid), "CKX_VENDOR_80000001");
  char small[10];
  EXPECT_STREQ(LookupConstantName(0x80000001, kOdd, 4, sizeof(OddRow), small, sizeof small), "80000001");
  EXPECT_STREQ(LookupConstantName(0x12345, kOdd, 4, sizeof(OddRow), small, sizeof small), "00012345");
  char tiny[5] = "xxxx";
  EXPECT_STREQ(LookupConstantName(0x80000001, kOdd, 4, sizeof(OddRow), tiny, sizeof tiny), "CKX_A");
  EXPECT_STREQ(LookupConstantName(0x80000009, kOdd, 4, sizeof(OddRow), nullptr, 0), "UNKNOWN_VENDOR");
  EXPECT_STREQ(LookupConstantName(77, kOdd, 4, sizeof(OddRow), nullptr, 0), "UNKNOWN");
  EXPECT_STREQ(LookupConstantName(2, kOdd, 4, sizeof(OddRow), nullptr, 0), "CKX_TWO");
  EXPECT_STREQ(LookupConstantName(2, nullptr, 4, sizeof(OddRow), nullptr, 0), "UNKNOWN");
}

TEST(ConstantNames, IndexGivesTheSameAnswersAsTheRowScan) {
  const P11NameTable* tables[] = {&ReturnValueTable(), &MechanismTable(), &AttributeTable(), &ObjectClassTable(),
                                  &KeyTypeTable(),     &CertificateTypeTable(), &HwFeatureTable(),
                                  &SessionStateTable(), &UserTypeTable(), &MgfTable(), &KdfTable(),
                                  &OtpFormatTable(),   &OtpParamTable(), &PinStatusTable(), &TrustTable()};
  std::mt19937_64 rng(1234);
  const int sizes[] = {0, 5, 9, 12, 24, 40, 200};
  for (const P11NameTable* t : tables) {
    std::vector<CK_ULONG> probes;
    for (size_t i = 0; i < t->count; ++i) {
      CK_ULONG v = reinterpret_cast<const P11NameRow*>(static_cast<const char*>(t->rows) + i * t->rowSize)->value;
      probes.insert(probes.end(), {v, v + 1, v - 1});
    }
    for (int i = 0; i < 200; ++i) probes.push_back(rng() & (i % 2 ? 0xFFFFFFFFUL : 0x3FFFUL));
    for (CK_ULONG v : probes) {
      for (int size : sizes) {
        char a[256], b[256];
        const char* x = LookupConstantName(v, t->rows, t->count, t->rowSize, size ? a : nullptr, size);
        const char* y = LookupConstantNameIndexed(v, *t, size ? b : nullptr, size);
        ASSERT_STREQ(x, y) << std::hex << v << " size " << size;
      }
    }
  }
}

TEST(ConstantNames, DisplayKindsAndMechanismOperations) {
  EXPECT_EQ(GetAttributeDisplayKind(CKA_TOKEN), 2);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_LABEL), 6);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_CLASS), 11);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_WRAP_TEMPLATE), 16);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE), 3);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_MIRTAL_QUALIFIED_OBJECT), 2);
  EXPECT_EQ(GetAttributeDisplayKind(CKA_TARVO), 0);
  EXPECT_EQ(GetAttributeDisplayKind(0x7777), 0);

  CK_FLAGS all = GetMechanismFlagsForClass(CKM_RSA_PKCS, CKO_DATA);
  EXPECT_EQ(all, CKF_ENCRYPT | CKF_DECRYPT | CKF_SIGN | CKF_VERIFY | CKF_SIGN_RECOVER | CKF_VERIFY_RECOVER |
                     CKF_WRAP | CKF_UNWRAP);
  EXPECT_EQ(GetMechanismFlagsForClass(CKM_RSA_PKCS, CKO_PRIVATE_KEY),
            CKF_DECRYPT | CKF_SIGN | CKF_SIGN_RECOVER | CKF_UNWRAP);
  EXPECT_EQ(GetMechanismFlagsForClass(CKM_RSA_PKCS, CKO_PUBLIC_KEY),
            CKF_ENCRYPT | CKF_VERIFY | CKF_VERIFY_RECOVER | CKF_WRAP);
  EXPECT_EQ(GetMechanismFlagsForClass(CKM_SHA256, CKO_DATA), CKF_DIGEST);
  EXPECT_EQ(GetMechanismFlagsForClass(0x7777, CKO_PRIVATE_KEY), 0u);
  ASSERT_NE(FindMechanismRow(CKM_EC_KEY_PAIR_GEN), nullptr);
  EXPECT_EQ(FindMechanismRow(CKM_EC_KEY_PAIR_GEN)->keyType, CKK_EC);
}

TEST(FlagWords, SlotFlagsKnownUnknownAndZero) {
  EXPECT_EQ(Flags(FormatSlotFlags, 0x5), "CKF_TOKEN_PRESENT, CKF_HW_SLOT");
  EXPECT_EQ(Flags(FormatSlotFlags, 0x9), "CKF_TOKEN_PRESENT, CKF_UNKNOWN_00000008");
  EXPECT_EQ(Flags(FormatSlotFlags, 0), "0");
  char two[2];
  EXPECT_EQ(FormatSlotFlags(0, two, sizeof two), 2);
  EXPECT_STREQ(two, "0");
  // Unknown bits are gathered once, after the known names.
  EXPECT_EQ(Flags(FormatSlotFlags, 0x30 | 0x2), "CKF_REMOVABLE_DEVICE, CKF_UNKNOWN_00000030");
  EXPECT_EQ(Flags(FormatSessionFlags, 0x8000000000000004UL), "CKF_SERIAL_SESSION, CKF_UNKNOWN_8000000000000000");
}

TEST(FlagWords, TooSmallBufferIsMeasuredAndLeftAlone) {
  const char* expected = "CKF_TOKEN_PRESENT, CKF_HW_SLOT";
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(FormatSlotFlags(0x5, buf, sizeof buf), -static_cast<int>(std::strlen(expected) + 1));
  for (char c : buf) EXPECT_EQ(c, 'x');
  EXPECT_EQ(FormatSlotFlags(0x5, nullptr, 0), -static_cast<int>(std::strlen(expected) + 1));
}

TEST(FlagWords, ZeroTerminatedTableAndOtherTables) {
  const P11FlagRow zt[] = {{0x1, "CKF_ONE"}, {0x4, "CKF_FOUR"}, {0, nullptr}, {0x2, "CKF_NEVER_SEEN"}};
  char buf[128];
  ASSERT_GT(FormatFlags(zt, -1, 0x7, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "CKF_ONE, CKF_FOUR, CKF_UNKNOWN_00000002");
  EXPECT_EQ(Flags(FormatInitializeFlags, CKF_OS_LOCKING_OK), "CKF_OS_LOCKING_OK");
  EXPECT_EQ(Flags(FormatTokenFlags, CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED),
            "CKF_RNG, CKF_LOGIN_REQUIRED, CKF_TOKEN_INITIALIZED");
  EXPECT_EQ(Flags(FormatMechanismFlags, CKF_HW | CKF_SIGN | CKF_EXTENSION), "CKF_HW, CKF_SIGN, CKF_EXTENSION");
  EXPECT_EQ(Flags(FormatUserPinFlags, CKF_USER_PIN_FINAL_TRY), "CKF_USER_PIN_FINAL_TRY");
  EXPECT_EQ(Flags(FormatPinObjectFlags, 0x8091),
            "CKF_MIRTAL_PIN_CAN_BE_UNBLOCKED, CKF_MIRTAL_PIN_IS_USER_PIN, CKF_MIRTAL_PIN_USED_FOR_LOG_IN, "
            "CKF_MIRTAL_PIN_GLOBAL");
  EXPECT_EQ(Flags(FormatOtpFlags, CKF_EXCLUDE_PIN), "CKF_EXCLUDE_PIN");
}

TEST(FlagWords, QualifiedPartStates) {
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0), "CKF_MIRTAL_QUAL_PART_ABSENT: 0");
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0x2), "CKF_MIRTAL_QUAL_PART_ABSENT: CKF_UNKNOWN_00000002");
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0x1119),
            "CKF_MIRTAL_QUAL_PART_EMPTY: CKF_MIRTAL_QUAL_SIGGDIR_PRESENT, CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE, "
            "CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT, CKF_MIRTAL_QUAL_USERCERT_PRESENT, CKF_MIRTAL_QUAL_ROOTPUBKEY_PRESENT");
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0xFFFD).rfind("CKF_MIRTAL_QUAL_PART_READY_FOR_USE: ", 0), 0u);
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0x1FFD)
                .rfind("CKF_MIRTAL_QUAL_PART_READY_FOR_USE_NO_ROOTPUBKEY: CKF_MIRTAL_QUAL_SIGGDIR_PRESENT", 0),
            0u);
  EXPECT_EQ(Flags(FormatQualifiedPartCharacteristics, 0x11), "CKF_MIRTAL_QUAL_SIGGDIR_PRESENT, CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT");
}

TEST(PinStatus, NamesAndEnglishTexts) {
  char buf[64];
  EXPECT_STREQ(GetPinStatusName(CKS_MIRTAL_PIN_BLOCKED), "CKS_MIRTAL_PIN_BLOCKED");
  EXPECT_STREQ(GetPinStatusName(~0UL), "CKS_MIRTAL_PIN_STATUS_UNAVAILABLE");
  EXPECT_STREQ(GetPinStatusName(3), "CKS_MIRTAL_PIN_3_TRIES");
  EXPECT_STREQ(GetPinStatusName(7, buf, sizeof buf), "CKS_MIRTAL_PIN_7_TRIES");
  EXPECT_STREQ(GetPinStatusName(7), "good (status available)");
  EXPECT_STREQ(GetPinStatusName(~0UL - 5, buf, sizeof buf), "CKS_MIRTAL_UNKNOWN_FFFFFFFFFFFFFFFA");
  EXPECT_STREQ(GetPinStatusName(~0UL - 5), "unknown pin status");
  EXPECT_STREQ(GetPinStatusTextEn(0), "good");
  EXPECT_STREQ(GetPinStatusTextEn(1), "last try left");
  EXPECT_STREQ(GetPinStatusTextEn(~0UL - 2), "blocked");
  EXPECT_STREQ(GetPinStatusTextEn(~0UL - 1), "uninitialized");
  EXPECT_STREQ(GetPinStatusTextEn(~0UL), "unavailable");
  EXPECT_STREQ(GetPinStatusTextEn(9, buf, sizeof buf), "9 tries left");
  EXPECT_STREQ(GetPinStatusTextEn(9), "good (status available)");
  EXPECT_STREQ(GetPinStatusTextEn(~0UL - 9, buf, sizeof buf), "unknown status 0xfffffffffffffff6");
  EXPECT_STREQ(GetPinStatusTextEn(~0UL - 9), "unknown pin status");
}

TEST(PinStatus, PolishTextsFollowThePluralRule) {
  char buf[64];
  EXPECT_STREQ(GetPinStatusTextPl(0), "dobry");
  EXPECT_STREQ(GetPinStatusTextPl(1), "pozostała ostatnia próba");
  EXPECT_STREQ(GetPinStatusTextPl(3), "pozostały 3 próby");
  EXPECT_STREQ(GetPinStatusTextPl(~0UL - 2), "zablokowany");
  EXPECT_STREQ(GetPinStatusTextPl(~0UL - 1), "niezainicjowany");
  EXPECT_STREQ(GetPinStatusTextPl(~0UL), "niedostępny");
  EXPECT_STREQ(GetPinStatusTextPl(5, buf, sizeof buf), "pozostało 5 prób");
  EXPECT_STREQ(GetPinStatusTextPl(12, buf, sizeof buf), "pozostało 12 prób");
  EXPECT_STREQ(GetPinStatusTextPl(13, buf, sizeof buf), "pozostało 13 prób");
  EXPECT_STREQ(GetPinStatusTextPl(22, buf, sizeof buf), "pozostały 22 próby");
  EXPECT_STREQ(GetPinStatusTextPl(24, buf, sizeof buf), "pozostały 24 próby");
  EXPECT_STREQ(GetPinStatusTextPl(25, buf, sizeof buf), "pozostało 25 prób");
  EXPECT_STREQ(GetPinStatusTextPl(112, buf, sizeof buf), "pozostało 112 prób");
  EXPECT_STREQ(GetPinStatusTextPl(103, buf, sizeof buf), "pozostały 103 próby");
  EXPECT_STREQ(GetPinStatusTextPl(~0UL - 7, buf, sizeof buf), "nieznany status 0xfffffffffffffff8");
  EXPECT_STREQ(GetPinStatusTextPl(22), "dobry (status dostępny)");
  EXPECT_STREQ(GetPinStatusTextPl(~0UL - 7), "nieznany kod status");
  char small[6];
  EXPECT_STREQ(GetPinStatusTextPl(22, small, sizeof small), "dobry (status dostępny)");
}

TEST(PinStatus, TrustNamesAndBoolText) {
  char buf[64];
  EXPECT_STREQ(GetTrustName(0xCE534351), "CKT_NSS_TRUSTED");
  EXPECT_STREQ(GetTrustName(0xCE53435A), "CKT_NSS_NOT_TRUSTED");
  EXPECT_STREQ(GetTrustName(0x1234, buf, sizeof buf), "CKT_NSS_UNKNOWN_00001234");
  EXPECT_STREQ(GetTrustName(0x1234), "CKT_NSS_UNKNOWN");
  EXPECT_STREQ(BoolText(true), "TRUE");
  EXPECT_STREQ(BoolText(false), "FALSE");
}

}  // namespace
