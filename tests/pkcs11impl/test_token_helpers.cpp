// The token's shared helpers and its object-handle binding, without a card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pkcs11impl/pkcs15token.h"
#include "support/memfile.h"
#include "support/ptrlist.h"

namespace {
std::string F(const CK_UTF8CHAR* f, size_t n) { return std::string(reinterpret_cast<const char*>(f), n); }
}  // namespace

TEST(TokenHelpers, SerialNumberShowsTheLastEightBytesInHex) {
  CK_UTF8CHAR field[16];
  const uint8_t twelve[12] = {1, 2, 3, 4, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
  FormatSerialNumber(field, twelve, sizeof twelve);
  EXPECT_EQ("A0B1C2D3E4F50617", F(field, 16));
  const uint8_t three[3] = {0xAB, 0x01, 0xFF};
  FormatSerialNumber(field, three, sizeof three);
  EXPECT_EQ("AB01FF          ", F(field, 16));
  FormatSerialNumber(field, nullptr, 5);
  EXPECT_EQ(std::string(16, ' '), F(field, 16));
}

TEST(TokenHelpers, PadCopyNeverSplitsAUtf8Character) {
  CK_UTF8CHAR field[8];
  PadCopyUtf8(field, sizeof field, "abc", -1);
  EXPECT_EQ("abc     ", F(field, 8));
  // "abcdefg" + a two-byte character: the character does not fit and is dropped whole.
  PadCopyUtf8(field, sizeof field, "abcdefg\xC5\x82", -1);
  EXPECT_EQ("abcdefg ", F(field, 8));
  PadCopyUtf8(field, sizeof field, "abcdef\xC5\x82xyz", -1);
  EXPECT_EQ("abcdef\xC5\x82", F(field, 8));
  PadCopyUtf8(field, sizeof field, "abcdefghij", 3);
  EXPECT_EQ("abc     ", F(field, 8));
}

TEST(TokenHelpers, SystemKeyTextDecodesOverLinesAndCompletesItsLastGroup) {
  const auto decode = [](const char* text, CK_ULONG len, std::string* out) {
    MemFile key;
    const CK_RV rv = DecodeSystemKeyText(reinterpret_cast<const CK_UTF8CHAR*>(text), len, &key);
    out->clear();
    if (key.Size() > 0) out->assign(reinterpret_cast<const char*>(key.GetPointer(0)), static_cast<size_t>(key.Size()));
    return rv;
  };
  std::string key;
  // RFC 4648 section 10: "foobar" and its shorter forms.
  EXPECT_EQ(CKR_OK, decode("Zm9v\r\nYm\tFy \v\b", ~0UL, &key));
  EXPECT_EQ("foobar", key);
  EXPECT_EQ(CKR_OK, decode("Zm9vYg", 6, &key));
  EXPECT_EQ("foob", key);
  EXPECT_EQ(CKR_OK, decode("Zm9vYmE", ~0UL, &key));
  EXPECT_EQ("fooba", key);
  EXPECT_EQ(CKR_OK, decode("Zm9vYmE=", ~0UL, &key));
  EXPECT_EQ("fooba", key);
  // The explicit length ends the text.
  EXPECT_EQ(CKR_OK, decode("Zm9vYmFyQQ==", 4, &key));
  EXPECT_EQ("foo", key);
  for (const char* bad : {"Zm9vY", "", " \n ", "Zm9v*mFy", "Zm=v", "===="})
    EXPECT_EQ(CKR_PIN_INVALID, decode(bad, ~0UL, &key)) << bad;
  EXPECT_EQ(CKR_PIN_INVALID, decode("Zm9v\0mFy", 8, &key));
  EXPECT_EQ(CKR_PIN_INVALID, decode(nullptr, 4, &key));
}

TEST(TokenHelpers, TwoCallOutputsReportTheNeededLength) {
  const char data[5] = {'h', 'e', 'l', 'l', 'o'};
  CK_ULONG len = 3;
  char out[8] = {0};
  EXPECT_FALSE(CopyToBuffer(out, nullptr, data, 5));
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, CopyOutWithLength(out, &len, data, 5));
  EXPECT_EQ(5u, len);
  EXPECT_EQ('\0', out[0]);
  EXPECT_EQ(CKR_OK, CopyOutWithLength(out, &len, data, 5));
  EXPECT_EQ(0, std::memcmp(out, "hello", 5));
  EXPECT_TRUE(CopyToBuffer(nullptr, &len, data, 5));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, len);

  CK_ATTRIBUTE a = {CKA_LABEL, out, 2};
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, SetAttributeBytes(&a, data, 5));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, a.ulValueLen);
  a.pValue = nullptr;
  EXPECT_EQ(CKR_OK, SetAttributeBytes(&a, data, 5));
  EXPECT_EQ(5u, a.ulValueLen);
  EXPECT_FALSE(FillAttribute(nullptr, data, 5));
}

TEST(TokenHelpers, HandleBindingKeepsAnOldHandleUnlessReplaced) {
  CPkcs15Token t;
  int objA = 0, objB = 0;
  EXPECT_EQ(CKR_OK, t.BindHandle(&objA, 10, false));
  EXPECT_EQ(8u, t.BindHandle(&objA, 11, false));
  EXPECT_EQ(10u, t.GetHandleForObject(&objA));
  EXPECT_EQ(CKR_OK, t.BindHandle(&objA, 11, true));
  EXPECT_EQ(11u, t.GetHandleForObject(&objA));
  EXPECT_EQ(&objA, t.GetObjectForHandle(11));
  EXPECT_EQ(nullptr, t.GetObjectForHandle(0));
  t.AddHandle(&objB, 12);
  t.AddHandle(&objB, 0);  // a zero handle is never stored
  CK_OBJECT_HANDLE h = 99;
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, t.LookupHandle(nullptr, &h));
  EXPECT_EQ(CKR_OK, t.LookupHandle(&objB, nullptr));
  EXPECT_EQ(CKR_OK, t.LookupHandle(&objB, &h));
  EXPECT_EQ(12u, h);
  t.RemoveHandle(12);
  EXPECT_EQ(0u, t.GetHandleForObject(&objB));
  EXPECT_EQ(CKR_OK, t.BindHandle(&objA, 0, false));
  EXPECT_EQ(8u, t.BindHandle(&objA, 0, false));
  // A pin handle that names no object has no user type.
  EXPECT_EQ(0u, t.GetUserTypeForPinHandle(77));
}

TEST(TokenHelpers, UnattachedTokenAnswersWithoutACard) {
  CPkcs15Token t;
  CK_TOKEN_INFO ti;
  EXPECT_EQ(CKR_ARGUMENTS_BAD, t.GetTokenInfo(nullptr));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.GetTokenInfo(&ti));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.CheckTokenPresent());
  EXPECT_EQ(CKR_GENERAL_ERROR, t.CheckWriteAccess());
  EXPECT_EQ(CKR_ARGUMENTS_BAD, t.GetMechanismList(nullptr, nullptr));
  EXPECT_EQ(CKR_MECHANISM_INVALID, t.CheckMechanismForKey(CKM_RSA_PKCS, 0x4));
  EXPECT_FALSE(t.HasTokenChanged());
  EXPECT_EQ(nullptr, t.GetMessageText());
  EXPECT_EQ(CKR_RANDOM_SEED_NOT_SUPPORTED, t.SeedRandom(nullptr, 0));
  // The card's operations need the card.
  CK_BYTE buf[8];
  CK_ULONG len = sizeof buf;
  EXPECT_EQ(CKR_GENERAL_ERROR, t.GenerateRandom(buf, sizeof buf));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.Sign(CKM_RSA_PKCS, 5, buf, 4, buf, &len));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.Decrypt(CKM_RSA_PKCS, 5, buf, 4, buf, &len));
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE onToken = {CKA_TOKEN, &yes, 1};
  EXPECT_EQ(CKR_GENERAL_ERROR, t.GenerateKeyPair(CKM_RSA_PKCS_KEY_PAIR_GEN, &onToken, 1, &onToken, 1, 5, 6, nullptr));
  EXPECT_EQ(~static_cast<CK_USER_TYPE>(0), t.GetLoggedInUserType());
  EXPECT_FALSE(t.IsUserLoggedIn());
  // PIN work needs the card.
  CK_UTF8CHAR pin[] = "1234";
  EXPECT_EQ(CKR_GENERAL_ERROR, t.Login(5, pin, 4));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.Logout());
  EXPECT_EQ(CKR_GENERAL_ERROR, t.ChangePin(5, pin, 4, pin, 4));
  EXPECT_EQ(CKR_GENERAL_ERROR, t.InitPin(5, nullptr, 0, pin, 4, nullptr, 0));
  PointerList pins;
  EXPECT_EQ(CKR_GENERAL_ERROR, t.GetPinList(&pins));
  EXPECT_EQ(nullptr, t.GetPinObjectForUser(CKU_USER));
  EXPECT_EQ(~static_cast<CK_USER_TYPE>(0), t.GetUserTypeForPinObject(SpecialUserPin()));
}
