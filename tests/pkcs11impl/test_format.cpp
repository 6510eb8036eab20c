// Values, templates and structures as trace text, and the template helpers.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11template.h"

namespace {

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE t, const void* p, CK_ULONG n) { return {t, const_cast<void*>(p), n}; }

std::string Value(CK_ATTRIBUTE_TYPE t, const void* p, CK_ULONG n) {
  CK_ATTRIBUTE a = Attr(t, p, n);
  return AttributeValueText(&a, 0);
}

TEST(AttributeValues, BooleansUlongsAndNames) {
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  EXPECT_EQ(Value(CKA_TOKEN, &yes, 1), "TRUE");
  EXPECT_EQ(Value(CKA_SIGN, &no, 1), "FALSE");
  CK_ULONG two = 0x0102;
  EXPECT_EQ(Value(CKA_TOKEN, &two, 2), "02 01");  // wrong length: hex
  CK_ULONG bits = 2048;
  EXPECT_EQ(Value(CKA_MODULUS_BITS, &bits, sizeof bits), "0x00000800");
  CK_ULONG cls = CKO_PRIVATE_KEY, kt = CKK_EC, ct = CKC_X_509, hw = CKH_MIRTAL_TOKEN_INFO, mech = CKM_ECDSA;
  EXPECT_EQ(Value(CKA_CLASS, &cls, 8), "CKO_PRIVATE_KEY");
  EXPECT_EQ(Value(CKA_KEY_TYPE, &kt, 8), "CKK_EC");
  EXPECT_EQ(Value(CKA_CERTIFICATE_TYPE, &ct, 8), "CKC_X_509");
  EXPECT_EQ(Value(CKA_HW_FEATURE_TYPE, &hw, 8), "CKH_VENDOR_ABEC1001 (CKH_MIRTAL_TOKEN_INFO)");
  EXPECT_EQ(Value(CKA_KEY_GEN_MECHANISM, &mech, 8), "CKM_ECDSA");
  CK_ULONG unknownClass = 0x77;
  EXPECT_EQ(Value(CKA_CLASS, &unknownClass, 8), "CKO_UNKNOWN_00000077");
  CK_ULONG pinFlags = CKF_USER_PIN_LOCKED;
  EXPECT_EQ(Value(CKA_AUTH_PIN_FLAGS, &pinFlags, 8), "CKF_USER_PIN_LOCKED");
  CK_ULONG fmt = CK_OTP_FORMAT_DECIMAL, req = CK_OTP_PARAM_OPTIONAL, trust = 0xCE534352;
  EXPECT_EQ(Value(CKA_OTP_FORMAT, &fmt, 8), "CK_OTP_FORMAT_DECIMAL");
  EXPECT_EQ(Value(CKA_OTP_PIN_REQUIREMENT, &req, 8), "CK_OTP_PARAM_OPTIONAL");
  EXPECT_EQ(Value(0xCE536358, &trust, 8), "CKT_NSS_TRUSTED_DELEGATOR");
}

TEST(AttributeValues, BytesTextAndUnavailable) {
  const unsigned char id[] = {0x01, 0xAB, 0xFF};
  EXPECT_EQ(Value(CKA_ID, id, 3), "01 AB FF");
  EXPECT_EQ(Value(CKA_SUBJECT, id, 3), "01 AB FF");
  EXPECT_EQ(Value(CKA_MIRTAL, id, 3), "01 AB FF");
  EXPECT_EQ(Value(0x7777, id, 3), "01 AB FF");
  EXPECT_EQ(Value(CKA_ID, id, 0), "");
  EXPECT_EQ(Value(CKA_LABEL, "Moja karta", 10), "Moja karta");
  EXPECT_EQ(Value(CKA_LABEL, "AB\0C", 4), "AB (HEX: 41 42 00 43)");
  EXPECT_EQ(Value(CKA_LABEL, "x", ~0UL), "<informaion unavailable>");
  EXPECT_EQ(Value(CKA_LABEL, nullptr, 4), "<null>");
  CK_ATTRIBUTE* none = nullptr;
  EXPECT_EQ(AttributeValueText(none, 0), "");
  char out[4];
  EXPECT_EQ(FormatAttributeValue(nullptr, out, sizeof out, 0), 1);
}

TEST(AttributeValues, DatesAndDateTimes) {
  CK_DATE d;
  std::memcpy(&d, "20151231", 8);
  EXPECT_EQ(Value(CKA_START_DATE, &d, sizeof d), "2015-12-31");
  EXPECT_EQ(Value(CKA_END_DATE, "20160229123456", 14), "2016-02-29 12:34:56.");
  EXPECT_EQ(Value(CKA_END_DATE, "2016022912345678", 16), "2016-02-29 12:34:56.78");
  EXPECT_EQ(Value(CKA_END_DATE, "2016022912345A", 14), "32 30 31 36 30 32 32 39 31 32 33 34 35 41");
  EXPECT_EQ(Value(CKA_END_DATE, "2016", 4), "32 30 31 36");
}

TEST(AttributeValues, AllowedMechanismsAreNamedOneAfterAnother) {
  CK_MECHANISM_TYPE m[] = {CKM_RSA_PKCS, CKM_SHA256_RSA_PKCS};
  EXPECT_EQ(Value(CKA_ALLOWED_MECHANISMS, m, sizeof m), "CKM_RSA_PKCSCKM_SHA256_RSA_PKCS");
  EXPECT_EQ(Value(CKA_ALLOWED_MECHANISMS, m, 0), "");
  EXPECT_EQ(Value(CKA_ALLOWED_MECHANISMS, m, 3), "01 00 00");
}

TEST(Templates, FlatTemplateWithAndWithoutValues) {
  CK_ULONG cls = CKO_CERTIFICATE;
  CK_BBOOL tok = CK_TRUE;
  const unsigned char id[] = {0x45, 0x67};
  CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, 8), Attr(CKA_TOKEN, &tok, 1), Attr(CKA_ID, id, 2),
                      Attr(CKA_LABEL, nullptr, 5), Attr(CKA_VALUE, nullptr, ~0UL), Attr(CKA_VALUE, id, ~0UL),
                      Attr(CKA_MIRTAL_QUALIFIED_OBJECT, &tok, 1)};
  EXPECT_EQ(TemplateText(0, t, 7, true, "\n  "),
            "CKA_CLASS[len=8]: CKO_CERTIFICATE\n"
            "  CKA_TOKEN[len=1]: TRUE\n"
            "  CKA_ID[len=2]: 45 67\n"
            "  CKA_LABEL[len=5]: <null>\n"
            "  CKA_VALUE: <null, informaion unavailable>\n"
            "  CKA_VALUE: <informaion unavailable>\n"
            "  CKA_VENDOR_ABECAD10 (CKA_MIRTAL_QUALIFIED_OBJECT)[len=1]: TRUE");
  EXPECT_EQ(TemplateText(0, t, 2, false, ", "), "CKA_CLASS[len=8]: , CKA_TOKEN[len=1]: ");
  EXPECT_EQ(TemplateText(0, nullptr, 3, true, ", "), "<null template>");
  EXPECT_EQ(TemplateText(0, t, 0, true, ", "), "");
}

// Key material and values of objects that may be private are traced by their
// length only; public values keep their dump, certificates' and public keys' by
// their class (named, or of the object the module found).
TEST(Templates, SecretValuesAreShownByLengthOnly) {
  const unsigned char v[] = {0x51, 0x5A, 0x7E};
  const CK_ULONG data = CKO_DATA, cert = CKO_CERTIFICATE, pub = CKO_PUBLIC_KEY, priv = CKO_PRIVATE_KEY,
                 secret = CKO_SECRET_KEY, otp = CKO_OTP_KEY, vendor = CKO_VENDOR_DEFINED;
  const CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  const struct {
    std::vector<CK_ATTRIBUTE> before;  // entries ahead of the value
    CK_ATTRIBUTE_TYPE type;
    bool shown;
    TracedObject object = {};  // what the module found (default: nothing)
  } cases[] = {
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_PRIVATE, &no, 1)}, CKA_VALUE, true},
      {{Attr(CKA_PRIVATE, &no, 1), Attr(CKA_CLASS, &cert, 8)}, CKA_VALUE, true},
      {{Attr(CKA_CLASS, &pub, 8), Attr(CKA_PRIVATE, &no, 1)}, CKA_VALUE, true},
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_PRIVATE, &yes, 1)}, CKA_VALUE, false},  // a private object's value
      {{Attr(CKA_CLASS, &data, 8)}, CKA_VALUE, false},                          // may be private
      {{Attr(CKA_CLASS, &cert, 8)}, CKA_VALUE, true},  // a certificate without CKA_PRIVATE
      {{Attr(CKA_CLASS, &pub, 8)}, CKA_VALUE, true},
      {{Attr(CKA_CLASS, &cert, 8), Attr(CKA_PRIVATE, &yes, 1)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &pub, 8), Attr(CKA_PRIVATE, nullptr, 1)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &cert, 8), Attr(CKA_CLASS, &data, 8)}, CKA_VALUE, false},  // may be a private data object
      {{}, CKA_VALUE, true, {CKO_CERTIFICATE, false}},  // only CKA_VALUE asked of a public certificate
      {{}, CKA_VALUE, true, {CKO_PUBLIC_KEY, false}},
      {{Attr(CKA_PRIVATE, &no, 1)}, CKA_VALUE, true, {CKO_DATA, false}},
      {{}, CKA_VALUE, false, {CKO_DATA, false}},
      {{}, CKA_VALUE, false, {CKO_CERTIFICATE, true}},
      {{Attr(CKA_CLASS, &cert, 8)}, CKA_VALUE, false, {CKO_CERTIFICATE, true}},  // private on the token
      {{Attr(CKA_CLASS, &cert, 8)}, CKA_VALUE, false, {CKO_SECRET_KEY, false}},  // the template's class is wrong
      {{}, CKA_VALUE, false, {~0UL, false}},
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_PRIVATE, nullptr, 1)}, CKA_VALUE, false},  // not read back
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_PRIVATE, &data, 8)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_PRIVATE, &no, 1), Attr(CKA_PRIVATE, &yes, 1)}, CKA_VALUE, false},
      {{Attr(CKA_PRIVATE, &no, 1)}, CKA_VALUE, false},  // no class
      {{Attr(CKA_CLASS, &pub, 8)}, CKA_MODULUS, true},
      {{}, CKA_ID, true},
      {{}, CKA_CHECK_VALUE, true},
      {{Attr(CKA_CLASS, &secret, 8)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &priv, 8)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &otp, 8)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &vendor, 8)}, CKA_VALUE, false},
      {{}, CKA_VALUE, false},                                             // no class: may be a key
      {{Attr(CKA_CLASS, &data, 8), Attr(CKA_CLASS, &secret, 8)}, CKA_VALUE, false},  // either class
      {{Attr(CKA_CLASS, &data, 4)}, CKA_VALUE, false},                   // class unreadable
      {{Attr(CKA_CLASS, nullptr, 8)}, CKA_VALUE, false},
      {{Attr(CKA_CLASS, &pub, 8)}, CKA_PRIVATE_EXPONENT, false},
      {{}, CKA_PRIME_1, false},
      {{}, CKA_PRIME_2, false},
      {{}, CKA_EXPONENT_1, false},
      {{}, CKA_EXPONENT_2, false},
      {{}, CKA_COEFFICIENT, false},
      {{Attr(CKA_CLASS, &data, 8)}, CKA_MIRTAL_SYSAUTH_KEY, false},
      {{}, CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA, false},
  };
  for (const auto& c : cases) {
    std::vector<CK_ATTRIBUTE> t = c.before;
    t.push_back(Attr(c.type, v, sizeof v));
    const std::string text = TemplateText(0, t.data(), t.size(), true, "|", &c.object);
    const std::string last = text.substr(text.rfind('|') == std::string::npos ? 0 : text.rfind('|') + 1);
    EXPECT_EQ(c.shown, last.find("[len=3]: 51 5A 7E") != std::string::npos) << text;
    EXPECT_EQ(!c.shown, last.find("[len=3]: <not shown>") != std::string::npos) << text;
    EXPECT_EQ(!c.shown, IsHiddenInTrace(t.data(), t.size(), c.type, &c.object)) << text;
  }
  // The class may follow the value; a nested template judges its own entries.
  CK_ATTRIBUTE after[] = {Attr(CKA_VALUE, v, 3), Attr(CKA_CLASS, &secret, 8)};
  EXPECT_EQ(TemplateText(0, after, 2, true, ", "), "CKA_VALUE[len=3]: <not shown>, CKA_CLASS[len=8]: CKO_SECRET_KEY");
  CK_ATTRIBUTE inner[] = {Attr(CKA_VALUE, v, 3)};
  CK_ATTRIBUTE outer[] = {Attr(CKA_CLASS, &cert, 8), Attr(CKA_UNWRAP_TEMPLATE, inner, sizeof inner)};
  EXPECT_NE(TemplateText(0, outer, 2, true, ", ").find("Template:\n  CKA_VALUE[len=3]: <not shown>"), std::string::npos);
  // Without values nothing changes: names and lengths only.
  EXPECT_EQ(TemplateText(0, after, 1, false, ", "), "CKA_VALUE[len=3]: ");
}

TEST(Templates, MeasuringAndTooSmallBuffers) {
  CK_BBOOL tok = CK_TRUE;
  CK_ATTRIBUTE t[] = {Attr(CKA_TOKEN, &tok, 1)};
  const std::string expected = "CKA_TOKEN[len=1]: TRUE";
  EXPECT_EQ(FormatTemplate(0, t, 1, nullptr, 0, true, "\n"), static_cast<int>(expected.size() + 1));
  char small[5] = "abcd";
  EXPECT_EQ(FormatTemplate(0, t, 1, small, sizeof small, true, "\n"), static_cast<int>(expected.size() + 1));
  EXPECT_STREQ(small, "abcd");
  char big[64];
  EXPECT_EQ(FormatTemplate(0, t, 1, big, sizeof big, true, "\n"), static_cast<int>(expected.size() + 1));
  EXPECT_EQ(expected, big);
}

TEST(Templates, NestedTemplateIsIndentedAndWrapped) {
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE inner[] = {Attr(CKA_ENCRYPT, &yes, 1), Attr(CKA_DECRYPT, &yes, 1)};
  CK_ATTRIBUTE outer[] = {Attr(CKA_WRAP_TEMPLATE, inner, sizeof inner)};
  EXPECT_EQ(TemplateText(0, outer, 1, true, "\n  "),
            "CKA_WRAP_TEMPLATE[len=48]: Template:\n"
            "  CKA_ENCRYPT[len=1]: TRUE\n"
            "    CKA_DECRYPT[len=1]: TRUE");
  // A nested template whose length is not a whole number of entries: hex.
  CK_ATTRIBUTE odd[] = {Attr(CKA_UNWRAP_TEMPLATE, inner, 5)};
  EXPECT_EQ(TemplateText(0, odd, 1, true, ", "), "CKA_UNWRAP_TEMPLATE[len=5]: " + HexText(inner, 5));
}

TEST(Templates, NestingExpandsSixLevelsThenPrintsHex) {
  CK_BBOOL yes = CK_TRUE;
  // level[0] is the innermost template; level[k] wraps level[k-1].
  std::vector<CK_ATTRIBUTE> level(8);
  level[0] = Attr(CKA_SIGN, &yes, 1);
  for (int k = 1; k < 8; ++k) level[k] = Attr(CKA_WRAP_TEMPLATE, &level[k - 1], sizeof(CK_ATTRIBUTE));
  // The top-level template holds level[7]; six nested levels expand, so the
  // wrap attribute inside the sixth nested level (level[1]) is printed in hex.
  std::string text = TemplateText(0, &level[7], 1, true, "\n  ");
  size_t templates = 0;
  for (size_t p = text.find("Template:"); p != std::string::npos; p = text.find("Template:", p + 1)) ++templates;
  EXPECT_EQ(templates, 6u);
  EXPECT_NE(text.find("CKA_WRAP_TEMPLATE[len=24]: " + HexText(&level[0], sizeof(CK_ATTRIBUTE))), std::string::npos);
  EXPECT_EQ(text.find("CKA_SIGN"), std::string::npos);
  // Below the top level a nested template is wrapped in parentheses.
  EXPECT_NE(text.find(": (\nTemplate:"), std::string::npos);
  // Five levels expand all the way down to CKA_SIGN.
  std::string five = TemplateText(0, &level[5], 1, true, "\n  ");
  EXPECT_NE(five.find("CKA_SIGN[len=1]: TRUE"), std::string::npos);
}

TEST(Structures, InfoSlotTokenAndSession) {
  CK_INFO info;
  std::memset(&info, 0, sizeof info);
  info.cryptokiVersion = {2, 11};
  info.libraryVersion = {4, 1};
  std::memset(info.manufacturerID, ' ', 32);
  std::memcpy(info.manufacturerID, "Mirtal", 6);
  std::memset(info.libraryDescription, ' ', 32);
  std::memcpy(info.libraryDescription, "MIRTAL PKCS#11", 14);
  EXPECT_EQ(InfoText(&info, nullptr, "\n"),
            "library desc: 'MIRTAL PKCS#11                  '\n"
            "manufacturer: 'Mirtal                          '\n"
            "library ver:  4.01\n"
            "cryptoki ver: 2.11\n"
            "flags:        00000000");
  CK_VERSION fl = {2, 1};
  EXPECT_NE(InfoText(&info, &fl, "|").find("cryptoki ver: 2.11|funclist ver: 2.01|flags:        00000000"),
            std::string::npos);
  EXPECT_EQ(InfoText(nullptr, nullptr, "\n"), "<null>");

  CK_SLOT_INFO slot;
  std::memset(&slot, ' ', sizeof slot);
  std::memcpy(slot.slotDescription, "Reader\x01X", 8);
  slot.flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE;
  slot.hardwareVersion = {1, 2};
  slot.firmwareVersion = {3, 4};
  std::string s = SlotInfoText(&slot, "\n    ");
  EXPECT_EQ(s.substr(0, 24), "slot desc:    'Reader???");
  EXPECT_NE(s.find("\n    hw version:   1.2\n    fw version:   3.4\n    flags:        CKF_TOKEN_PRESENT, "
                   "CKF_REMOVABLE_DEVICE"),
            std::string::npos);

  CK_TOKEN_INFO tok;
  std::memset(&tok, ' ', sizeof tok);
  tok.flags = CKF_RNG;
  tok.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  tok.ulSessionCount = 2;
  tok.ulMaxRwSessionCount = CK_UNAVAILABLE_INFORMATION;
  tok.ulRwSessionCount = 0;
  tok.ulMinPinLen = 4;
  tok.ulMaxPinLen = CK_UNAVAILABLE_INFORMATION;
  tok.ulTotalPublicMemory = 100;
  tok.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  tok.ulTotalPrivateMemory = 0;
  tok.ulFreePrivateMemory = 0;
  tok.hardwareVersion = {0, 0};
  tok.firmwareVersion = {1, 0};
  std::string t = TokenInfoText(&tok, "\n");
  EXPECT_NE(t.find("flags:            CKF_RNG\n"), std::string::npos);
  EXPECT_NE(t.find("sessions/max:     2/<inifinite>\n"), std::string::npos);
  EXPECT_NE(t.find("rw sessions/max:  0/<unavailable>\n"), std::string::npos);
  EXPECT_NE(t.find("min-max pin len:  4-<no limit>\n"), std::string::npos);
  EXPECT_NE(t.find("public/free mem:  100/<unavailable>\n"), std::string::npos);
  const std::string tail = "fw version:       1.0\ntoken date:       " + std::string(16, ' ');
  ASSERT_GE(t.size(), tail.size());
  EXPECT_EQ(t.substr(t.size() - tail.size()), tail);

  CK_SESSION_INFO si = {3, CKS_RW_USER_FUNCTIONS, CKF_RW_SESSION | CKF_SERIAL_SESSION, 0x1F};
  EXPECT_EQ(SessionInfoText(&si, "\n"),
            "slot:      3\nstate:     CKS_RW_USER_FUNCTIONS\nflags:     CKF_RW_SESSION, CKF_SERIAL_SESSION\n"
            "dev error: 0000001F");
}

TEST(Structures, StructureTextIsCutToTheBuffer) {
  CK_SESSION_INFO si = {1, CKS_RO_PUBLIC_SESSION, CKF_SERIAL_SESSION, 0};
  std::string full = SessionInfoText(&si, "\n");
  char out[10];
  EXPECT_EQ(FormatSessionInfo(&si, out, sizeof out, "\n"), static_cast<int>(full.size() + 1));
  EXPECT_EQ(std::string(out), full.substr(0, 9));
  EXPECT_EQ(FormatSessionInfo(&si, nullptr, 0, "\n"), static_cast<int>(full.size() + 1));
}

TEST(Structures, MechanismsPinInfoAndInitializeArgs) {
  unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  unsigned char salt[2] = {0xAA, 0xBB};
  CK_UTF8CHAR password[] = "sekret";
  CK_PBE_PARAMS pbe = {iv, password, 6, salt, 2, 1000};
  CK_MECHANISM m = {CKM_PBE_SHA1_DES3_EDE_CBC, &pbe, sizeof pbe};
  std::string text = MechanismText(&m, "\n");
  EXPECT_EQ(text.rfind("mechanism type: CKM_PBE_SHA1_DES3_EDE_CBC\nparams[len=48]: CK_PBE_PARAMS:\n( iv:  01 02 03 04 05 06 07 08\n", 0), 0u);
  EXPECT_EQ(text.find("sekret"), std::string::npos);
  EXPECT_EQ(text.find("73 65 6B"), std::string::npos);
  CK_MECHANISM rc4 = {CKM_PBE_SHA1_RC4_40, &pbe, sizeof pbe};
  EXPECT_NE(MechanismText(&rc4, "\n").find(" (ignored)"), std::string::npos);

  unsigned char pub[3] = {4, 1, 2};
  CK_ECDH1_DERIVE_PARAMS ecdh = {CKD_SHA1_KDF, 0, nullptr, 3, pub};
  CK_MECHANISM e = {CKM_ECDH1_DERIVE, &ecdh, sizeof ecdh};
  EXPECT_NE(MechanismText(&e, "\n").find("CK_ECDH1_DERIVE_PARAMS:\n( kdf algo: CKD_SHA1_KDF\n"), std::string::npos);

  unsigned char raw[2] = {0x30, 0x00};
  CK_MECHANISM r = {CKM_RSA_PKCS, raw, 2};
  EXPECT_EQ(MechanismText(&r, ", "), "mechanism type: CKM_RSA_PKCS, params[len=2]: 30 00");
  CK_MECHANISM n = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  EXPECT_EQ(MechanismText(&n, "\n"), "mechanism type: CKM_SHA256_RSA_PKCS\nparams[len=0]: <null>");

  CK_MECHANISM_INFO mi = {1024, 4096, CKF_HW | CKF_SIGN};
  CK_MECHANISM_TYPE mt = CKM_RSA_PKCS;
  EXPECT_EQ(MechanismInfoText(&mt, &mi, "\n"),
            "mechanism:   CKM_RSA_PKCS\nmin keysize: 1024\nmax keysize: 4096\nflags: CKF_HW, CKF_SIGN");

  MIRTAL_PIN_INFO pin;
  std::memset(&pin, 0, sizeof pin);
  pin.structSize = sizeof pin;
  pin.pinId = 1;
  pin.userType = CKU_USER;
  std::memset(pin.label, ' ', 64);
  std::memcpy(pin.label, "PIN", 3);
  pin.minLen = 4;
  pin.maxLen = 8;
  pin.unblockPinId = ~0UL;
  pin.flags = 0x90;
  std::string p = PinInfoText(&pin, "\n");
  EXPECT_EQ(p.rfind("struct size:  112\npin id:       1\npin type:     CKU_USER\npin label:    'PIN ", 0), 0u);
  EXPECT_NE(p.find("\nmin/max len:  4/8\nprotected by: <none>\nflags:        CKF_MIRTAL_PIN_IS_USER_PIN, "
                   "CKF_MIRTAL_PIN_USED_FOR_LOG_IN"),
            std::string::npos);

  CK_C_INITIALIZE_ARGS args = {nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr};
  std::string a = InitializeArgsText(&args, "\n");
  EXPECT_NE(a.find("flags:     CKF_OS_LOCKING_OK\npReserved: <null>"), std::string::npos);
  EXPECT_EQ(a.find("LibParams"), std::string::npos);
  char params[] = "configdir='x'";
  args.pReserved = params;
  const std::string withText = InitializeArgsText(&args, "\n");
  EXPECT_EQ(withText.find("LibParams"), std::string::npos);
  EXPECT_EQ(withText.find("configdir"), std::string::npos);
  char expected[64];
  std::snprintf(expected, sizeof expected, "pReserved: %p", static_cast<void*>(params));
  EXPECT_NE(withText.find(expected), std::string::npos) << withText;
}

TEST(Structures, InitializeArgsNeverReadsThroughTheReservedPointer) {
  // A reserved pointer into a page that cannot be read: reading it as text
  // would crash the trace before C_Initialize could refuse the arguments.
  const long page = sysconf(_SC_PAGESIZE);
  void* guard = mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(guard, MAP_FAILED);
  CK_C_INITIALIZE_ARGS args = {nullptr, nullptr, nullptr, nullptr, 0, guard};
  const std::string text = InitializeArgsText(&args, "\n");
  char expected[64];
  std::snprintf(expected, sizeof expected, "pReserved: %p", guard);
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  args.pReserved = reinterpret_cast<void*>(static_cast<uintptr_t>(0x10));
  EXPECT_NE(InitializeArgsText(&args, "\n").find("pReserved: 0x10"), std::string::npos);
  munmap(guard, static_cast<size_t>(page));
}

TEST(TextHelpers, CopyPrintableReplacesFromTheFirstControlByte) {
  char dst[16];
  EXPECT_EQ(CopyPrintable(dst, "AB\x01" "CD", sizeof dst, 5, '?'), 5);
  EXPECT_STREQ(dst, "AB???");
  EXPECT_EQ(CopyPrintable(dst, "ABCDEFGHIJKLMNOPQRS", 8, -1, '?'), 7);
  EXPECT_STREQ(dst, "ABCDEFG");
  CopyPrintable(dst, "A\0BC", sizeof dst, 4, -'#');
  EXPECT_STREQ(dst, "A###");
  CopyPrintable(dst, "A\x02" "BC", sizeof dst, 4, 0);
  EXPECT_EQ(std::memcmp(dst, "A\x02" "BC", 5), 0);
  CopyPrintable(dst, "żółw", sizeof dst, -1, '?');  // bytes above 0x7F are kept
  EXPECT_STREQ(dst, "żółw");
  char none[1] = {'x'};
  EXPECT_EQ(CopyPrintable(none, "abc", 0, 3, '?'), 0);
  EXPECT_EQ(none[0], 'x');
}

TEST(TextHelpers, FormatAllocAndFormatToBuffer) {
  char* s = FormatAlloc("%s-%d", "abc", 7);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "abc-7");
  delete[] s;
  std::string longText(3000, 'q');
  char* l = FormatAlloc("<%s>", longText.c_str());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(std::strlen(l), 3002u);
  EXPECT_EQ(l[3001], '>');
  delete[] l;
  EXPECT_EQ(FormatToBuffer(nullptr, 0, "%d", 12345), 5);
}

TEST(TemplateHelpers, KeyTypeAndClassPatterns) {
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_DES, CKK_DES3));
  EXPECT_TRUE(KeyTypeMatches(CKK_DES3, CKK_ANY_DES));
  EXPECT_FALSE(KeyTypeMatches(CKK_ANY_3DES, CKK_DES));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY, CKK_AES));
  EXPECT_FALSE(KeyTypeMatches(CKK_ANY, ~0UL));
  EXPECT_TRUE(KeyTypeMatches(~0UL, ~0UL));
  EXPECT_FALSE(KeyTypeMatches(~0UL, CKK_RSA));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_ASSYMETRIC, CKK_EC));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_ASSYMETRIC, CKK_NSS_PKCS8));
  EXPECT_FALSE(KeyTypeMatches(CKK_ANY_ASSYMETRIC, CKK_AES));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_SECRET, CKK_AES));
  EXPECT_FALSE(KeyTypeMatches(CKK_ANY_SECRET, CKK_SECURID));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_OTP, CKK_HOTP));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_DSA_OR_KEA, CKK_KEA));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_SKIPJACK_BATON_JUNIPER, CKK_BATON));
  EXPECT_TRUE(KeyTypeMatches(CKK_GENERIC_OR_GOST28147, CKK_GOST28147));
  EXPECT_TRUE(KeyTypeMatches(CKK_ANY_DES, CKK_ANY_DES));
  EXPECT_TRUE(KeyTypeMatches(CKK_RSA, CKK_RSA));
  EXPECT_FALSE(KeyTypeMatches(CKK_RSA, CKK_DSA));

  EXPECT_TRUE(ObjectClassMatches(~1UL, CKO_DATA));
  EXPECT_TRUE(ObjectClassMatches(~0UL, ~0UL));
  EXPECT_FALSE(ObjectClassMatches(~0UL, CKO_DATA));
  EXPECT_TRUE(ObjectClassMatches(~2UL, CKO_DOMAIN_PARAMETERS));
  EXPECT_TRUE(ObjectClassMatches(~2UL, ~3UL));
  EXPECT_FALSE(ObjectClassMatches(~2UL, CKO_CERTIFICATE));
  EXPECT_TRUE(ObjectClassMatches(~3UL, CKO_PRIVATE_KEY));
  EXPECT_FALSE(ObjectClassMatches(~3UL, CKO_SECRET_KEY));
  EXPECT_TRUE(ObjectClassMatches(CKO_DATA, CKO_DATA));
}

TEST(TemplateHelpers, GettersPresetAndReportAbsenceOrBadValues) {
  CK_ULONG cls = CKO_PUBLIC_KEY, eight = 8;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE t[] = {Attr(CKA_CLASS, &cls, 8), Attr(CKA_TOKEN, &eight, 8), Attr(CKA_PRIVATE, &yes, 1),
                      Attr(CKA_KEY_TYPE, nullptr, 8), Attr(CKA_MODULUS_BITS, &eight, 8), Attr(CKA_CLASS, &yes, 1)};
  CK_ULONG v = 5;
  EXPECT_EQ(GetTemplateClass(t, 6, &v), CKR_OK);
  EXPECT_EQ(v, CKO_PUBLIC_KEY);
  EXPECT_EQ(GetTemplateKeyType(t, 6, &v), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(v, ~0UL);
  EXPECT_EQ(GetTemplateCertificateType(t, 6, &v), 0xFFFFFFF2UL);
  EXPECT_EQ(v, ~0UL);
  EXPECT_EQ(GetTemplateUlong(t, 6, CKA_MODULUS_BITS, &v), CKR_OK);
  EXPECT_EQ(v, 8u);
  EXPECT_EQ(GetTemplateUlong(t, 6, CKA_VALUE_LEN, &v), CKR_ATTRIBUTE_NOT_FOUND);
  EXPECT_EQ(v, 0u);
  CK_BBOOL b = 9;
  EXPECT_EQ(GetTemplateBool(t, 6, CKA_TOKEN, &b), CKR_ATTRIBUTE_VALUE_INVALID);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(GetTemplateBool(t, 6, CKA_PRIVATE, &b), CKR_OK);
  EXPECT_EQ(b, CK_TRUE);
  EXPECT_EQ(GetTemplateBool(t, 6, CKA_SIGN, &b), 0xFFFFFFF2UL);
  EXPECT_EQ(GetTemplateBool(nullptr, 0, CKA_SIGN, &b), CKR_ATTRIBUTE_NOT_FOUND);
  EXPECT_EQ(GetTemplateClass(t, 0, &v), CKR_ATTRIBUTE_NOT_FOUND);
  const CK_ATTRIBUTE* found = nullptr;
  EXPECT_TRUE(FindTemplateAttribute(t, 6, CKA_CLASS, &found));
  EXPECT_EQ(found, &t[0]);
  EXPECT_TRUE(TemplateHasAttribute(t, 6, CKA_PRIVATE));
  EXPECT_FALSE(TemplateHasAttribute(t, 6, CKA_LABEL));
}

TEST(TemplateHelpers, TriplesAndTemplateBuffers) {
  const uint64_t rows[][3] = {{1, 10, 11}, {2, 20, 21}, {1, 99, 99}};
  uint64_t a = 0, b = 0;
  EXPECT_TRUE(LookupTriple(rows, 3, 1, &a, &b));
  EXPECT_EQ(a, 10u);
  EXPECT_EQ(b, 11u);
  EXPECT_FALSE(LookupTriple(rows, 3, 3, &a, &b));

  unsigned char keep[2] = {1, 2};
  CK_ATTRIBUTE t[] = {Attr(CKA_LABEL, nullptr, 4), Attr(CKA_ID, nullptr, 0), Attr(CKA_VALUE, nullptr, ~0UL),
                      Attr(CKA_SUBJECT, nullptr, 3)};
  ASSERT_TRUE(AllocMissingTemplateValues(t, 4));
  ASSERT_NE(t[0].pValue, nullptr);
  EXPECT_EQ(t[1].pValue, nullptr);
  EXPECT_EQ(t[2].pValue, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(t[3].pValue)[2], 0);
  void* before = t[0].pValue;
  ASSERT_TRUE(AllocMissingTemplateValues(t, 4));
  EXPECT_EQ(t[0].pValue, before);
  ASSERT_TRUE(AllocTemplateValues(t, 4));
  FreeTemplateValues(t, 4);
  for (const CK_ATTRIBUTE& x : t) EXPECT_EQ(x.pValue, nullptr);
  (void)keep;
}

TEST(TemplateHelpers, CutUtf8FieldIsBlankedOut) {
  // "Czytnik żółty" cut inside the two-byte 'ł' (C5 82).
  unsigned char f[12];
  std::memcpy(f, "Czytnik \xC5\xBC\xC3\xB3", 12);
  EXPECT_FALSE(FixTruncatedUtf8Field(f, 12, ' '));
  unsigned char g[11];
  std::memcpy(g, "Czytnik \xC5\xBC\xC3", 11);
  EXPECT_TRUE(FixTruncatedUtf8Field(g, 11, ' '));
  EXPECT_EQ(std::memcmp(g, "Czytnik \xC5\xBC ", 11), 0);
  unsigned char h[4] = {'a', 0xE2, 0x82, ' '};  // broken three-byte sequence before the padding
  EXPECT_TRUE(FixTruncatedUtf8Field(h, 4, ' '));
  EXPECT_EQ(std::memcmp(h, "a   ", 4), 0);
}

}  // namespace
