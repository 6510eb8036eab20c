// The module's PKCS#11 header against an independent public header: every
// constant both define has the same value, every structure the same size and
// field offsets, and the function list its 68 entries in the standard order.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "pkcs11impl/cryptoki.h"
#include "tests/pkcs11impl/header_tables.h"

namespace {

std::map<std::string, unsigned long> ToMap(const NamedValue* rows, size_t n) {
  std::map<std::string, unsigned long> m;
  for (size_t i = 0; i < n; ++i) m[rows[i].name] = rows[i].value;
  return m;
}

TEST(CryptokiHeader, SharedConstantsHaveTheReferenceValues) {
  auto ref = ToMap(reftables::kConstants, reftables::kConstantCount);
  size_t compared = 0;
  for (size_t i = 0; i < owntables::kConstantCount; ++i) {
    const NamedValue& own = owntables::kConstants[i];
    auto it = ref.find(own.name);
    if (it == ref.end()) continue;
    ++compared;
    EXPECT_EQ(own.value, it->second) << own.name;
  }
  // Nearly every standard name is known to the reference header.
  EXPECT_GT(compared, 600u);
}

TEST(CryptokiHeader, OnlyVendorWithdrawnOrInternalNamesAreMissingFromTheReference) {
  auto ref = ToMap(reftables::kConstants, reftables::kConstantCount);
  const std::set<std::string> allowed = {
      // withdrawn from the standard, still named by the module
      "CKR_KEY_SENSITIVE", "CKR_OBJECT_CLASS_INCONSISTENT", "CKR_OBJECT_CLASS_INVALID",
      "CKK_NSS_PKCS8", "CKN_OTP_CHANGED", "CKF_DONT_BLOCK",
      // standard names that this reference header leaves out
      "CKF_ERROR_STATE", "CKK_CAST5", "CKA_SUBPRIME_BITS", "CKF_EC_F_2M", "CKF_EC_ECPARAMETERS",
      "CKR_FLAGS_INVALID", "CK_OTP_OUTPUT_FORMAT", "CK_CERTIFICATE_CATEGORY_UNSPECIFIED",
      "CK_CERTIFICATE_CATEGORY_TOKEN_USER", "CK_CERTIFICATE_CATEGORY_AUTHORITY",
      "CK_CERTIFICATE_CATEGORY_OTHER_ENTITY", "CK_SECURITY_DOMAIN_UNSPECIFIED",
      "CK_SECURITY_DOMAIN_MANUFACTURER", "CK_SECURITY_DOMAIN_OPERATOR", "CK_SECURITY_DOMAIN_THIRD_PARTY"};
  for (size_t i = 0; i < owntables::kConstantCount; ++i) {
    std::string name = owntables::kConstants[i].name;
    if (ref.count(name)) continue;
    bool vendor = name.find("MIRTAL") != std::string::npos || name.find("TARVO") != std::string::npos ||
                  name.rfind("CKK_ANY", 0) == 0 || name == "CKK_GENERIC_OR_GOST28147" ||
                  name == "CKR_ATTRIBUTE_DIFFERENT" || name == "CKR_ATTRIBUTE_TYPE_UNSUPPORTED" ||
                  name == "CKR_ATTRIBUTE_NOT_FOUND";
    if (!vendor && !allowed.count(name)) ADD_FAILURE() << "not in the reference header: " << name;
  }
}

TEST(CryptokiHeader, StructureLayoutsMatchTheReference) {
  ASSERT_EQ(owntables::kLayoutCount, reftables::kLayoutCount);
  for (size_t i = 0; i < owntables::kLayoutCount; ++i) {
    EXPECT_STREQ(owntables::kLayout[i].name, reftables::kLayout[i].name);
    EXPECT_EQ(owntables::kLayout[i].value, reftables::kLayout[i].value) << owntables::kLayout[i].name;
  }
}

TEST(CryptokiHeader, LinuxSizesAndFunctionListShape) {
  EXPECT_EQ(sizeof(CK_ULONG), 8u);
  EXPECT_EQ(sizeof(CK_ATTRIBUTE), 24u);
  EXPECT_EQ(sizeof(CK_DATE), 8u);
  EXPECT_EQ(sizeof(CK_FUNCTION_LIST), 8u + 68u * sizeof(void*));
  EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_Initialize), 8u);
  EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent), 8u + 67u * sizeof(void*));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, ~(CK_ULONG)0);
  // Not in the reference header: six words, pointers and CK_ULONGs alike.
  EXPECT_EQ(sizeof(CK_PBE_PARAMS), 48u);
  EXPECT_EQ(offsetof(CK_PBE_PARAMS, ulIteration), 40u);
  EXPECT_EQ(sizeof(MIRTAL_PIN_INFO), 112u);
  EXPECT_EQ(offsetof(MIRTAL_PIN_INFO, label), 24u);
  EXPECT_EQ(offsetof(MIRTAL_PIN_INFO, minLen), 88u);
  EXPECT_EQ(offsetof(MIRTAL_PIN_INFO, maxLen), 89u);
  EXPECT_EQ(offsetof(MIRTAL_PIN_INFO, unblockPinId), 96u);
  EXPECT_EQ(offsetof(MIRTAL_PIN_INFO, flags), 104u);
}

TEST(CryptokiHeader, VendorAndInternalValues) {
  EXPECT_EQ(CKA_MIRTAL_QUALIFIED_OBJECT, 0xABECAD10UL);
  EXPECT_EQ(CKA_TARVO_GENERATION_DATE, 0xABEC5005UL);
  EXPECT_EQ(CKR_MIRTAL_QUALIFIED_OBJECT_INITIATED, 0xABEC1003UL);
  EXPECT_EQ(CKH_MIRTAL_TOKEN_INFO, 0xABEC1001UL);
  EXPECT_EQ(CKU_MIRTAL_SO_PUK, 0xABEC1003UL);
  EXPECT_EQ(CKS_MIRTAL_PERSONALIZATION_AGENT, 0xABEC1001UL);
  EXPECT_EQ(CKR_ATTRIBUTE_DIFFERENT, 0xFFFFFFF0UL);
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_UNSUPPORTED, 0xFFFFFFF1UL);
  EXPECT_EQ(CKR_ATTRIBUTE_NOT_FOUND, 0xFFFFFFF2UL);
  EXPECT_EQ(CKS_MIRTAL_PIN_BLOCKED, ~0UL - 2);
  EXPECT_EQ(CKF_MIRTAL_PIN_GLOBAL, 0x8000UL);
  EXPECT_EQ(CKF_MIRTAL_QUAL_ROOTPUBKEY_VISIBLE, 0x8000UL);
  EXPECT_EQ((long)CKK_GENERIC_OR_GOST28147, -10L);
}

}  // namespace
