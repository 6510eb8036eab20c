// The token handle table, the bridge's slot state and presence answers, its
// error texts and messages, and the text-value helpers, without readers.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pkcs11impl/pkcs15slot.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs11impl/session.h"
#include "pkcs11impl/tokenhandles.h"
#include "support/debuglog.h"
#include "tests/common/testsupport.h"

// ---- handle table ----

TEST(TokenHandleTable, NinePairsGiveCapacitySixteenAndAFreedPairIsReused) {
  TokenHandleTable t;
  EXPECT_EQ(0, t.GetCapacity());
  for (uint64_t i = 1; i <= 9; ++i) ASSERT_NE(nullptr, t.Add(100 + i, 1000 + i));
  EXPECT_EQ(16, t.GetCapacity());
  EXPECT_EQ(9, t.GetUsedCount());
  EXPECT_EQ(1, t.RemoveByPkcs11(103));
  EXPECT_EQ(8, t.GetUsedCount());
  TokenHandlePair* p = t.Add(555, 5555);
  EXPECT_EQ(2, t.IndexOf(p));
  EXPECT_EQ(555u, t.Pkcs11HandleOf(5555));
  EXPECT_EQ(1009u, t.Pkcs15HandleOf(109));
  EXPECT_EQ(0u, t.Pkcs15HandleOf(4242));
}

TEST(TokenHandleTable, RemoveAllClearsEveryMatchAndSingleRemoveOnlyTheFirst) {
  TokenHandleTable t;
  t.Add(7, 70);
  t.Add(8, 80);
  t.Add(7, 71);
  EXPECT_EQ(1, t.RemoveByPkcs11(7));
  EXPECT_EQ(71u, t.Pkcs15HandleOf(7));
  t.Add(7, 72);  // reuses pair 0
  EXPECT_EQ(0, t.IndexOf(t.FindByPkcs15(72)));
  EXPECT_EQ(1, t.RemoveAllByPkcs11(7));
  EXPECT_EQ(nullptr, t.FindByPkcs11(7));
  EXPECT_EQ(1, t.GetUsedCount());
  EXPECT_EQ(0, t.RemoveAllByPkcs11(7));
}

TEST(TokenHandleTable, SearchesContinueAfterAValidStartOnly) {
  TokenHandleTable t;
  TokenHandlePair* a = t.Add(1, 50);
  TokenHandlePair* b = t.Add(2, 50);
  EXPECT_EQ(a, t.FindByPkcs15(50));
  EXPECT_EQ(b, t.FindByPkcs15(50, a));
  EXPECT_EQ(nullptr, t.FindByPkcs15(50, b));
  // Inside the array but not on a pair boundary, and outside it.
  const TokenHandlePair* skewed =
      reinterpret_cast<const TokenHandlePair*>(reinterpret_cast<const char*>(a) + 4);
  EXPECT_EQ(nullptr, t.FindByPkcs15(50, skewed));
  EXPECT_EQ(-1, t.IndexOf(skewed));
  TokenHandlePair outside{1, 50};
  EXPECT_EQ(nullptr, t.FindByPkcs11(1, &outside));
  EXPECT_EQ(0, t.RemovePair(&outside));
  EXPECT_EQ(2u, t.Pkcs11HandleOf(50, a));
  EXPECT_EQ(nullptr, t.PairAt(-1));
  EXPECT_EQ(nullptr, t.PairAt(t.GetCapacity()));
  EXPECT_NE(nullptr, t.PairAt(t.GetCapacity() - 1));
}

TEST(TokenHandleTable, HandleZeroIsNeverRemovedNorStoredAsAPairOfZeros) {
  TokenHandleTable t;
  EXPECT_EQ(nullptr, t.Add(0, 0));
  t.Add(0, 9);  // a PKCS#11 handle not yet given
  t.Add(4, 0);
  EXPECT_EQ(0, t.RemoveByPkcs11(0));
  EXPECT_EQ(0, t.RemoveAllByPkcs11(0));
  EXPECT_EQ(0, t.RemoveByPkcs15(0));
  EXPECT_EQ(0, t.RemoveAllByPkcs15(0));
  EXPECT_EQ(2, t.GetUsedCount());
  // A free pair is not "removed" again.
  EXPECT_EQ(0, t.RemovePair(t.PairAt(5)));
  EXPECT_EQ(2, t.GetUsedCount());
}

TEST(TokenHandleTable, RebindClearDestroyAndCopy) {
  TokenHandleTable t;
  t.Add(10, 100);
  t.Add(11, 101);
  EXPECT_EQ(11u, t.Rebind(101, 21));
  EXPECT_EQ(21u, t.Pkcs11HandleOf(101));
  EXPECT_EQ(0u, t.Rebind(999, 1));
  TokenHandleTable c;
  ASSERT_TRUE(c.Copy(t));
  EXPECT_EQ(t.GetCapacity(), c.GetCapacity());
  EXPECT_EQ(2, c.GetUsedCount());
  EXPECT_EQ(21u, c.Pkcs11HandleOf(101));
  t.Clear();
  EXPECT_EQ(8, t.GetCapacity());
  EXPECT_EQ(0, t.GetUsedCount());
  EXPECT_EQ(0, t.IndexOf(t.Add(3, 30)));  // position 0 again
  t.Destroy();
  EXPECT_EQ(0, t.GetCapacity());
  EXPECT_EQ(nullptr, t.FindByPkcs11(3));
  EXPECT_EQ(nullptr, t.PairAt(0));
}

TEST(HandleLists, CopyAndRemoveFromTheHeadOfANumberList) {
  IntegerNumberList list;
  for (CK_ULONG v : {5ul, 6ul, 7ul}) list.AddNumber(v);
  CK_ULONG out[4] = {};
  // A null array asks for the count and leaves the list whole.
  EXPECT_EQ(3u, list.CopyHeadToArray(nullptr, 2));
  EXPECT_EQ(3u, list.RemoveHeadToArray(nullptr, 2));
  EXPECT_EQ(3, list.GetCount());
  EXPECT_EQ(0u, list.CopyHeadToArray(out, 0));
  EXPECT_EQ(2u, list.CopyHeadToArray(out, 2));
  EXPECT_EQ(5u, out[0]);
  EXPECT_EQ(6u, out[1]);
  EXPECT_EQ(3, list.GetCount());
  EXPECT_EQ(2u, list.RemoveHeadToArray(out, 2));
  EXPECT_EQ(1, list.GetCount());
  EXPECT_EQ(1u, list.RemoveHeadToArray(out, 4));
  EXPECT_EQ(7u, out[0]);
  EXPECT_EQ(0u, list.RemoveHeadToArray(out, 4));
  EXPECT_EQ(0u, list.CopyHeadToArray(out, 4));
}

// ---- bridge state without readers ----

namespace {
// A bridge with tables for a given number of readers and no reader objects.
class StateBridge : public SCPkcs15Lib {
 public:
  StateBridge(uint32_t readers, uint32_t tokens) {
    m_tokensPerReader = tokens;
    EXPECT_EQ(SC_OK, AllocateTables(readers, tokens));
    m_readerCount = readers;
    m_slotCount = readers * tokens;
    m_initialized = 1;
  }
  ~StateBridge() override {
    ReleaseTables();
    m_initialized = 0;
  }
};
}  // namespace

TEST(BridgeState, PresenceFromTheSlotResult) {
  StateBridge b(2, 3);
  EXPECT_EQ(6u, b.GetTotalSlotCount());
  EXPECT_EQ(1, b.GetSlotReaderIndex(4));
  EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, b.GetSlotReaderIndex(6));
  EXPECT_TRUE(b.IsFirstSlotOfReader(3));
  EXPECT_FALSE(b.IsFirstSlotOfReader(4));
  EXPECT_EQ(SC_E_BAD_USAGE, b.GetSlotResult(6));

  b.SetReaderResults(0, SC_E_PKCS15_CARD_NOT_INITIALIZED);
  EXPECT_EQ(CKR_OK, b.GetSlotPresence(0));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(1));
  b.SetReaderResults(0, SC_E_PKCS15_CARD_NOT_ACTIVATED);
  EXPECT_EQ(CKR_OK, b.GetSlotPresence(0));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(2));
  for (SCRESULT r : {SC_E_CARD_PROTO_MISMATCH, SC_E_PKCS15_NO_PROFILES, SC_E_CARD_UNSUPPORTED}) {
    b.SetReaderResults(1, r);
    EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, b.GetSlotPresence(3));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(5));
  }
  b.SetReaderResults(1, SC_E_PKCS15_UNSUPPORTED_PROFILE);
  EXPECT_EQ(CKR_TOKEN_NOT_RECOGNIZED, b.GetSlotPresence(4));
  b.SetReaderResults(1, SC_E_NO_SMARTCARD);
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(3));
  b.SetReaderResults(1, SC_E_PKCS15_NO_APPLICATION);
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(4));
  b.SetReaderResults(1, SC_OK);
  EXPECT_EQ(CKR_OK, b.GetSlotPresence(4));
  EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, b.GetSlotPresence(99));
}

TEST(BridgeState, TokenPresentListHoldsFirstSlotsOfCardsThatCanBeInitialised) {
  StateBridge b(3, 3);
  b.SetReaderResults(0, SC_E_PKCS15_CARD_NOT_INITIALIZED);
  b.SetReaderResults(1, SC_E_NO_SMARTCARD);
  b.SetReaderResults(2, SC_E_CARD_UNSUPPORTED);
  EXPECT_EQ(9u, b.GetSlotCount(false));
  EXPECT_EQ(2u, b.GetSlotCount(true));
  uint32_t list[9];
  uint32_t n = 1;
  EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, b.GetSlotList(list, &n, true));
  EXPECT_EQ(2u, n);
  ASSERT_EQ(SC_OK, b.GetSlotList(list, &n, true));
  EXPECT_EQ(0u, list[0]);
  EXPECT_EQ(6u, list[1]);
  n = 9;
  ASSERT_EQ(SC_OK, b.GetSlotList(list, &n, false));
  EXPECT_EQ(9u, n);
  EXPECT_EQ(8u, list[8]);
}

TEST(BridgeState, FlagsAndMessages) {
  StateBridge b(2, 2);
  b.SetReaderFlag(1, READER_FLAG_NOT_INITIALIZED | READER_FLAG_NOT_WRITABLE);
  EXPECT_TRUE(b.IsCardNotInitialized(1));
  EXPECT_TRUE(b.IsCardNotWritable(1));
  EXPECT_FALSE(b.IsCardNotInitialized(0));
  b.ClearReaderFlag(1, READER_FLAG_NOT_WRITABLE);
  EXPECT_FALSE(b.IsCardNotWritable(1));
  b.ClearReaderFlags(-1, false);
  EXPECT_EQ(0u, b.GetReaderFlags(1));
  EXPECT_EQ(0u, b.GetReaderFlags(7));

  char buf[256];
  EXPECT_EQ(nullptr, b.GetSlotMessage(2, true, buf, sizeof buf));
  b.SetSlotResult(3, SC_E_PKCS15_CARD_NOT_INITIALIZED);
  ASSERT_NE(nullptr, b.GetSlotMessage(3, true, buf, sizeof buf));
  EXPECT_STREQ("Karta nie jest zainicjowana", buf);
  EXPECT_EQ(nullptr, b.GetSlotMessage(3, false, buf, sizeof buf));
  ASSERT_NE(nullptr, b.GetReaderMessage(1, true, buf, sizeof buf));
  EXPECT_STREQ("Karta nie jest zainicjowana", buf);

  EXPECT_TRUE(b.SetSlotMessageForPin(2, "PIN", "za krótki", " Moja"));
  EXPECT_TRUE(b.SetSlotMessageForToken(2, "Token", "gotowy", 1, nullptr));
  EXPECT_TRUE(b.SetSlotMessageForToken(2, "Token", "gotowy", 0, " T"));
  EXPECT_TRUE(b.SetSlotMessageForToken(2, "X", "y", -1, " T"));
  ASSERT_NE(nullptr, b.GetReaderMessage(1, false, buf, sizeof buf));
  EXPECT_STREQ(
      "PIN: za krótki, on token Moja\nToken: gotowy, on token number 2\nToken: gotowy, on token T (number 1)\nX: y\n",
      buf);
  b.ClearSlotMessages(1, false);
  EXPECT_EQ(nullptr, b.GetSlotMessage(2, false, buf, sizeof buf));
}

TEST(BridgeState, ErrorTextsOfTheBridgeAndTheCardLayer) {
  char buf[256];
  EXPECT_STREQ("We wskazanym slocie nie ma karty z aplikacją PKCS#15",
               SCPkcs15Lib::GetErrorText(SC_E_PKCS15_NO_APPLICATION, buf, sizeof buf));
  EXPECT_STREQ("Są ostrzeżenia dotyczące ostatniego przetwarzania",
               SCPkcs15Lib::GetErrorText(SC_E_PKCS15_GENERAL_WARNING, buf, sizeof buf));
  EXPECT_STREQ("SC_E_PKCS15_CANT_LOCK", SCPkcs15Lib::GetErrorName(SC_E_PKCS15_CANT_LOCK, buf, sizeof buf));
  // PKCS#15 codes through the PKCS#15 layer's table.
  EXPECT_STREQ("Nie znaleziono żadnego profilu PKCS#15 na karcie",
               SCPkcs15Lib::GetErrorText(SC_E_PKCS15_NO_PROFILES, buf, sizeof buf));
  EXPECT_STREQ("SC_E_PKCS15_NO_PROFILES", SCPkcs15Lib::GetErrorName(SC_E_PKCS15_NO_PROFILES, buf, sizeof buf));
  EXPECT_STREQ("SC_OK", SCPkcs15Lib::GetErrorName(SC_OK, buf, sizeof buf));
  char card[256];
  EXPECT_STREQ(scGetErrorMessage(SC_E_FILE_NOT_FOUND, card, sizeof card),
               SCPkcs15Lib::GetErrorText(SC_E_FILE_NOT_FOUND, buf, sizeof buf));
  // A short buffer is cut on a character boundary.
  char small[13];
  SCPkcs15Lib::GetErrorText(SC_E_PKCS15_NO_APPLICATION, small, sizeof small);
  EXPECT_STREQ("We wskazanym", small);
  char hex[32];
  const uint8_t bytes[] = {0x3F, 0x00, 0xAB};
  SCPkcs15Lib::HexText(hex, sizeof hex, bytes, 3, ":");
  EXPECT_STREQ("3F:00:AB", hex);
  SCPkcs15Lib::HexText(hex, 6, bytes, 3, "");
  EXPECT_STREQ("3F00", hex);  // what fits, whole bytes only
  uint32_t flags = 0xF0F0;
  SCPkcs15Lib::MergeFlags(&flags, 0x0FFF, 0x00FF);
  EXPECT_EQ(0xF0FFu, flags);
}

TEST(BridgeState, HardwareVersionFromTheModeWord) {
  EXPECT_EQ(1, SlotHardwareVersion(0x20 | 0x10000).major);
  EXPECT_EQ(0, SlotHardwareVersion(0x20 | 0x10000).minor);
  EXPECT_EQ(2, SlotHardwareVersion(0x10 | 0x20000).major);
  EXPECT_EQ(1, SlotHardwareVersion(0x10 | 0x20000).minor);
  EXPECT_EQ(15, SlotHardwareVersion(0x200 | 0x80000).major);
  EXPECT_EQ(15, SlotHardwareVersion(0x200 | 0x80000).minor);
  EXPECT_EQ(14, SlotHardwareVersion(0x40000).minor);
  EXPECT_EQ(16, SlotHardwareVersion(0).major);       // no protocol: (0 >> 4) + 16
  EXPECT_EQ(16 + 3, SlotHardwareVersion(0x30).major);  // T=0 and T=1 bits together
  EXPECT_EQ(16, SlotHardwareVersion(0).minor);
  EXPECT_EQ(16 + 3, SlotHardwareVersion(0x30000).minor);
}

// ---- text-value helpers ----

TEST(TextValues, BooleansPinKindsAndAlphabets) {
  EXPECT_EQ(1, ParseBoolText("TAK", 0));
  EXPECT_EQ(1, ParseBoolText("nie", 1));
  EXPECT_EQ(0, ParseBoolText("Off", 1));
  EXPECT_EQ(7, ParseBoolText("<default>", 7));
  EXPECT_EQ(1, ParsePinValueKind(nullptr));
  EXPECT_EQ(1, ParsePinValueKind("<RANDOM>"));
  EXPECT_EQ(2, ParsePinValueKind("<none>"));
  EXPECT_EQ(3, ParsePinValueKind("<not initialized>"));
  EXPECT_EQ(4, ParsePinValueKind("<blocked>"));
  EXPECT_EQ(0, ParsePinValueKind("1234"));
  EXPECT_STREQ("0123456789", GetPinAlphabet(""));
  EXPECT_STREQ("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", GetPinAlphabet("<alnum>"));
  EXPECT_STREQ("xyz", GetPinAlphabet("xyz"));
  EXPECT_STREQ("fb", DefaultIfEmpty("<Default>", "fb"));
  EXPECT_STREQ("v", DefaultIfEmpty("v", "fb"));
}

TEST(TextValues, NumbersWithBounds) {
  EXPECT_EQ(8u, ParseUnsignedUpper("99", 4, 8));
  EXPECT_EQ(0u, ParseUnsignedUpper("2", 4, 8));
  EXPECT_EQ(8u, ParseUnsignedUpper(nullptr, 4, 8));
  EXPECT_EQ(0u, ParseUnsignedUpper("5x", 4, 8));
  EXPECT_EQ(4u, ParseUnsignedLower("2", 4, 8));
  EXPECT_EQ(0u, ParseUnsignedLower("9", 4, 8));
  EXPECT_EQ(4u, ParseUnsignedLower("", 4, 8));
  EXPECT_EQ(16u, ParseUnsignedDefault("0x10", 3));
  EXPECT_EQ(3u, ParseUnsignedDefault("12a", 3));
  EXPECT_EQ(8u, ParseUnsignedDefault("010", 3));
  EXPECT_EQ(3u, ParseUnsignedDefault("-1", 3));
  EXPECT_EQ(3u, ParseUnsignedDefault("99999999999999999999999", 3));
}

TEST(TextValues, CharactersSubstringsAndLabels) {
  EXPECT_TRUE(IsIdentifierChar('_'));
  EXPECT_FALSE(IsIdentifierChar('-'));
  EXPECT_TRUE(HasTwoDistinctChars("1112"));
  EXPECT_FALSE(HasTwoDistinctChars("1111"));
  EXPECT_FALSE(HasTwoDistinctChars("1"));
  const char* text = "Hello World";
  EXPECT_EQ(text + 6, FindSubstringNoCase(text, 11, "world"));
  EXPECT_EQ(nullptr, FindSubstringNoCase(text, 8, "world"));
  EXPECT_EQ(text, FindSubstringNoCase(text, 11, ""));
  EXPECT_EQ(nullptr, FindSubstringNoCase(text, 0, ""));
  unsigned char label[32];
  NormalizeTokenLabel(label, "Moj token   ");
  EXPECT_EQ(std::string("Moj token") + std::string(23, ' '), std::string(reinterpret_cast<char*>(label), 32));
  NormalizeTokenLabel(label, "   ");
  EXPECT_EQ(std::string("MIRTAL") + std::string(26, ' '), std::string(reinterpret_cast<char*>(label), 32));
  NormalizeTokenLabel(label, nullptr);
  EXPECT_EQ(0, std::memcmp(label, "MIRTAL ", 7));
}

TEST(BridgeState, LogLinesCarryTheErrorTextOnlyWhileTheyFitAndOnlyWithTheirFlag) {
  char path[] = "/tmp/mirtal-bridge-log-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(0, DebugLogSetFile(path));
  StateBridge b(1, 1);
  b.Log(SC_E_PKCS15_CARD_NOT_INITIALIZED, "quiet %d", 1);  // flag 0x400 clear: nothing
  b.SetPkcs15Flags(PKCS15_FLAG_LOG);
  b.Log(SC_E_PKCS15_CARD_NOT_INITIALIZED, "SCPkcs15Lib::Test(%d)", 7);
  const std::string longText(1180, 'x');
  b.Log(SC_E_PKCS15_CARD_NOT_INITIALIZED, "%s", longText.c_str());
  LogDisableOutput(nullptr);
  const std::string text = testsupport::ReadFileText(path);
  std::remove(path);
  EXPECT_EQ(std::string::npos, text.find("quiet"));
  EXPECT_NE(std::string::npos, text.find("]: PKCS#15: SCPkcs15Lib::Test(7) (Karta nie jest zainicjowana)\n")) << text;
  // Too long to join: the bare text, without the error text.
  EXPECT_NE(std::string::npos, text.find("]: PKCS#15: " + longText + "\n")) << text.size();
}
