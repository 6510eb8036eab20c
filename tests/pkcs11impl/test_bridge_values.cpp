// OID texts (checked against OpenSSL), profile values and token labels, the
// comparisons of card initialisation, the state bits that the option word sets
// on PKCS#15 cards, the maker's texts, and the card layer's log mask.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/libasn/asnobjid.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_log.h"
#include "support/cfgparam.h"

namespace {

// Contents octets of a dotted OID as OpenSSL encodes it.
std::vector<uint8_t> OpenSslContents(const char* dotted) {
  ASN1_OBJECT* obj = OBJ_txt2obj(dotted, 1);
  if (obj == nullptr) return {};
  const int n = i2d_ASN1_OBJECT(obj, nullptr);
  std::vector<uint8_t> der(n > 0 ? static_cast<size_t>(n) : 0);
  unsigned char* p = der.data();
  i2d_ASN1_OBJECT(obj, &p);
  ASN1_OBJECT_free(obj);
  // Tag 06 and a short or long-form length.
  size_t hdr = 2;
  if (der.size() > 1 && (der[1] & 0x80)) hdr += der[1] & 0x7F;
  return std::vector<uint8_t>(der.begin() + static_cast<long>(hdr), der.end());
}

std::string OpenSslText(const std::vector<uint8_t>& contents) {
  std::vector<uint8_t> der = {0x06};
  if (contents.size() < 128) {
    der.push_back(static_cast<uint8_t>(contents.size()));
  } else {
    der.push_back(0x81);
    der.push_back(static_cast<uint8_t>(contents.size()));
  }
  der.insert(der.end(), contents.begin(), contents.end());
  const unsigned char* p = der.data();
  ASN1_OBJECT* obj = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(der.size()));
  if (obj == nullptr) return "<invalid>";
  char buf[512];
  const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  ASN1_OBJECT_free(obj);
  return n > 0 ? std::string(buf) : "<invalid>";
}

}  // namespace

// ---- OID text ----

TEST(OidText, MatchesOpenSslForSmallLargeAndFirstArcValues) {
  for (const char* dotted : {"1.2.840.113549.1.1.11", "0.9.2342.19200300.100.1.1", "2.5.4.3", "1.3.6.1.4.1.311.20.2",
                             "0.0", "1.39", "2.47", "2.999.3", "2.25.329800735698586629295641978511506172918",
                             "1.2.18446744073709551615.18446744073709551616", "1.2.4294967296.0.127.128.16383.16384"}) {
    const std::vector<uint8_t> contents = OpenSslContents(dotted);
    ASSERT_FALSE(contents.empty()) << dotted;
    std::string text;
    ASSERT_TRUE(SCPkcs15Lib::OidText(&text, contents.data(), contents.size())) << dotted;
    EXPECT_EQ(std::string(dotted), text);
    EXPECT_EQ(OpenSslText(contents), text);
  }
}

TEST(OidText, ObjectFormAndMalformedContents) {
  ASNobjectId oid("1.2.840.10045.3.1.7");
  std::string text = "old";
  ASSERT_TRUE(SCPkcs15Lib::OidText(&text, oid));
  EXPECT_EQ("1.2.840.10045.3.1.7", text);

  const uint8_t unterminated[] = {0x2A, 0x86};
  const uint8_t nonMinimal[] = {0x2A, 0x80, 0x01};
  const uint8_t nonMinimalFirst[] = {0x80, 0x2A};
  for (const auto& bad : {std::vector<uint8_t>(unterminated, unterminated + 2),
                          std::vector<uint8_t>(nonMinimal, nonMinimal + 3),
                          std::vector<uint8_t>(nonMinimalFirst, nonMinimalFirst + 2)}) {
    text = "old";
    EXPECT_FALSE(SCPkcs15Lib::OidText(&text, bad.data(), bad.size()));
    EXPECT_EQ("", text);
  }
  EXPECT_FALSE(SCPkcs15Lib::OidText(&text, nullptr, 3));
  const uint8_t one[] = {0x2A};
  EXPECT_FALSE(SCPkcs15Lib::OidText(&text, one, 0));
  EXPECT_FALSE(SCPkcs15Lib::OidText(nullptr, one, 1));
  ASNobjectId empty;
  EXPECT_FALSE(SCPkcs15Lib::OidText(&text, empty));
}

// ---- profile values ----

namespace {
// Global section, then token sections "First", "Second", "Third".
struct Profile {
  CfgSectionList list;
  CfgSection* global = nullptr;
  CfgSection* tokens[3] = {};
  Profile() {
    global = list.AddSection("", false);
    tokens[0] = list.AddSection("First", false);
    tokens[1] = list.AddSection("Second", false);
    tokens[2] = list.AddSection("Third", false);
    CfgSection* nested = list.AddSection("Second\\Keys", false);
    nested->AddParam("Count", CFG_TYPE_TEXT, false)->SetString("0x10");
  }
  static void Text(CfgSection* s, const char* key, const char* value) {
    s->AddParam(key, CFG_TYPE_TEXT, false)->SetString(value);
  }
};
}  // namespace

TEST(ProfileValues, GettersReadTypedValuesAndFallBackToTheirDefaults) {
  Profile p;
  Profile::Text(p.global, "WriteAllPins", "yes");
  Profile::Text(p.global, "UserPinMaxTries", "0x0A");
  Profile::Text(p.global, "Odd", "nie");
  Profile::Text(p.tokens[1], "TokenProfile", "rokvast");
  p.tokens[2]->AddParam("Flag", CFG_TYPE_BOOL, false)->SetBool(true);

  EXPECT_TRUE(SCPkcs15Lib::GetProfileBool(&p.list, nullptr, "writeallpins", false));
  EXPECT_TRUE(SCPkcs15Lib::GetProfileBool(&p.list, "", "Odd", true));   // not a boolean word: default
  EXPECT_FALSE(SCPkcs15Lib::GetProfileBool(&p.list, "", "Odd", false));
  EXPECT_FALSE(SCPkcs15Lib::GetProfileBool(&p.list, "Missing", "WriteAllPins", false));
  EXPECT_EQ(10u, SCPkcs15Lib::GetProfileNumber(&p.list, "", "UserPinMaxTries", 3));
  EXPECT_EQ(3u, SCPkcs15Lib::GetProfileNumber(&p.list, "", "Odd", 3));
  EXPECT_EQ(3u, SCPkcs15Lib::GetProfileNumber(nullptr, "", "UserPinMaxTries", 3));
  EXPECT_STREQ("rokvast", SCPkcs15Lib::GetProfileText(&p.list, "second", "TOKENPROFILE", "x"));
  EXPECT_STREQ("x", SCPkcs15Lib::GetProfileText(&p.list, "Second", "Absent", "x"));
  EXPECT_STREQ("x", SCPkcs15Lib::GetProfileText(&p.list, "Third", "Flag", "x"));  // a boolean is not a text

  // Numbered subsections: of the global section the token sections, of "Second" its own.
  EXPECT_STREQ("rokvast", SCPkcs15Lib::GetProfileSubsectionText(&p.list, nullptr, 1, "TokenProfile", "x"));
  EXPECT_TRUE(SCPkcs15Lib::GetProfileSubsectionBool(&p.list, "", 2, "Flag", false));
  EXPECT_EQ(16u, SCPkcs15Lib::GetProfileSubsectionNumber(&p.list, "Second", 0, "Count", 1));
  EXPECT_EQ(1u, SCPkcs15Lib::GetProfileSubsectionNumber(&p.list, "Second", 1, "Count", 1));
  EXPECT_EQ(1u, SCPkcs15Lib::GetProfileSubsectionNumber(&p.list, "", -1, "Count", 1));
  EXPECT_STREQ("x", SCPkcs15Lib::GetProfileSubsectionText(&p.list, "", 3, "TokenProfile", "x"));
}

TEST(ProfileValues, SettersCreateSectionsAndMarkOnlyRealChanges) {
  Profile p;
  Profile::Text(p.tokens[0], "__SET_UserPinMaxTries", "5");
  CfgParamAndValue* tries = p.tokens[0]->FindParam("__SET_UserPinMaxTries", true);
  tries->SetFlags(false, CFG_OPT_CHANGED);

  // The same number in text form is no change.
  ASSERT_TRUE(SCPkcs15Lib::SetProfileNumber(&p.list, "First", "__set_userpinmaxtries", 5));
  EXPECT_FALSE(tries->TestFlags(CFG_OPT_CHANGED));
  ASSERT_TRUE(SCPkcs15Lib::SetProfileNumber(&p.list, "First", "__SET_UserPinMaxTries", 6));
  EXPECT_TRUE(tries->TestFlags(CFG_OPT_CHANGED));
  EXPECT_EQ(6u, SCPkcs15Lib::GetProfileNumber(&p.list, "First", "__SET_UserPinMaxTries", 0));

  // A missing section and key are made.
  ASSERT_TRUE(SCPkcs15Lib::SetProfileText(&p.list, "Fourth", "__SET_TokenLabel", "Nowy"));
  CfgSection* fourth = p.list.FindSection("Fourth", false);
  ASSERT_NE(nullptr, fourth);
  CfgParamAndValue* label = fourth->FindParam("__SET_TokenLabel", false);
  ASSERT_NE(nullptr, label);
  EXPECT_TRUE(label->TestFlags(CFG_OPT_CHANGED));
  label->SetFlags(false, CFG_OPT_CHANGED);
  ASSERT_TRUE(SCPkcs15Lib::SetProfileText(&p.list, "fourth", "__SET_TokenLabel", "Nowy"));
  EXPECT_FALSE(label->TestFlags(CFG_OPT_CHANGED));
  ASSERT_TRUE(SCPkcs15Lib::SetProfileText(&p.list, "Fourth", "__SET_TokenLabel", "Inny"));
  EXPECT_TRUE(label->TestFlags(CFG_OPT_CHANGED));

  ASSERT_TRUE(SCPkcs15Lib::SetProfileBool(&p.list, nullptr, "__SET_WriteAllPins", true));
  CfgParamAndValue* b = p.global->FindParam("__SET_WriteAllPins", false);
  ASSERT_NE(nullptr, b);
  b->SetFlags(false, CFG_OPT_CHANGED);
  ASSERT_TRUE(SCPkcs15Lib::SetProfileBool(&p.list, "", "__SET_WriteAllPins", true));
  EXPECT_FALSE(b->TestFlags(CFG_OPT_CHANGED));
  ASSERT_TRUE(SCPkcs15Lib::SetProfileBool(&p.list, "", "__SET_WriteAllPins", false));
  EXPECT_TRUE(b->TestFlags(CFG_OPT_CHANGED));
  EXPECT_FALSE(SCPkcs15Lib::GetProfileBool(&p.list, "", "__SET_WriteAllPins", true));

  EXPECT_FALSE(SCPkcs15Lib::SetProfileText(nullptr, "", "Key", "v"));
  EXPECT_FALSE(SCPkcs15Lib::SetProfileNumber(&p.list, "", nullptr, 1));
}

TEST(ProfileValues, TokenLabelsFollowTokenGlobalSectionNameAndDefault) {
  Profile p;
  // Section name when neither section sets a label.
  EXPECT_EQ("First", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 0));
  // Global label over the section name; token label over both.
  Profile::Text(p.global, "TokenLabel", "Global");
  Profile::Text(p.tokens[1], "TokenLabel", "Podpis");
  EXPECT_EQ("Global", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 0));
  EXPECT_EQ("Podpis", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 1));
  // "<default>" goes to the default label, not to the section name.
  Profile::Text(p.tokens[2], "TokenLabel", "<DEFAULT>");
  EXPECT_EQ("MIRTAL", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 2));
  Profile::Text(p.global, "__ADD_DefaultTokenLabel", "Zapasowy");
  EXPECT_EQ("Zapasowy", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 2));
  // No token section: the global label.
  EXPECT_EQ("Global", SCPkcs15Lib::GetProfileTokenLabel(&p.list, 7));
  EXPECT_EQ("MIRTAL", SCPkcs15Lib::GetProfileTokenLabel(nullptr, 0));
}

TEST(ProfileValues, ALabelIsTakenOnlyByAnEarlierTokenAndOnlyExactly) {
  Profile p;
  Profile::Text(p.tokens[0], "TokenLabel", "Podpis");
  Profile::Text(p.tokens[1], "TokenLabel", "Szyfrowanie");
  Profile::Text(p.tokens[2], "TokenLabel", "Podpis");
  EXPECT_FALSE(SCPkcs15Lib::IsProfileLabelTaken("Podpis", &p.list, 0));
  EXPECT_TRUE(SCPkcs15Lib::IsProfileLabelTaken("Podpis", &p.list, 2));
  EXPECT_FALSE(SCPkcs15Lib::IsProfileLabelTaken("podpis", &p.list, 2));
  EXPECT_FALSE(SCPkcs15Lib::IsProfileLabelTaken("Szyfrowanie", &p.list, 1));
  EXPECT_TRUE(SCPkcs15Lib::IsProfileLabelTaken("Szyfrowanie", &p.list, 2));
  // A token beyond the sections compares with all of them.
  EXPECT_TRUE(SCPkcs15Lib::IsProfileLabelTaken("Szyfrowanie", &p.list, 9));
  EXPECT_FALSE(SCPkcs15Lib::IsProfileLabelTaken("Inny", &p.list, 9));
  EXPECT_FALSE(SCPkcs15Lib::IsProfileLabelTaken(nullptr, &p.list, 2));
}

// ---- comparisons ----

TEST(InitComparisons, AuthObjectsByIdentifierAndOptionalReferences) {
  const uint8_t id1[] = {0x01};
  const uint8_t id2[] = {0x02};
  ASNPkcs15CommonAuthObjectAttributes a, b;
  ASSERT_EQ(1, a.set(id1, 1, -1, -1));
  ASSERT_EQ(1, b.set(id1, 1, 0, -1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, false));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, true));  // absent reference counts as 0
  ASSERT_EQ(1, b.set(id1, 1, 2, -1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, false));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  ASSERT_EQ(1, a.set(id1, 1, 2, -1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  // One side with the second integer: it decides.
  ASSERT_EQ(1, b.set(id1, 1, 2, 1));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  ASSERT_EQ(1, a.set(id1, 1, 2, 1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  ASSERT_EQ(1, a.set(id1, 1, 2, 3));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  // Different or missing identifiers.
  ASSERT_EQ(1, a.set(id2, 1, 2, 1));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, false));
  ASSERT_EQ(1, a.set(nullptr, 0, 2, 1));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, false));
  ASSERT_EQ(1, b.set(nullptr, 0, 2, 1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
}

TEST(InitComparisons, ReferencesTooLargeForANumberCompareAsEncodedValues) {
  const uint8_t id[] = {0x45};
  const uint8_t big1[] = {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
  const uint8_t big2[] = {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x02};
  ASNPkcs15CommonAuthObjectAttributes a, b;
  ASSERT_EQ(1, a.set(id, 1, 1, -1));
  ASSERT_EQ(1, b.set(id, 1, 1, -1));
  ASSERT_EQ(1, a.authReference.setUnsigned(big1, sizeof big1));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  ASSERT_EQ(1, b.authReference.setUnsigned(big1, sizeof big1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
  ASSERT_EQ(1, b.authReference.setUnsigned(big2, sizeof big2));
  EXPECT_FALSE(SCPkcs15Lib::IsSameAuthObject(a, b, true));
}

TEST(InitComparisons, ApplicationsByNameThenByObjectIdentifier) {
  ASNPkcs15CommonDataObjectAttributes a, b;
  EXPECT_TRUE(SCPkcs15Lib::IsSameApplication(a, b));  // both unspecified
  ASSERT_EQ(1, b.applicationName.setText("?", -1));
  b.wasApplicationName = 1;
  EXPECT_TRUE(SCPkcs15Lib::IsSameApplication(a, b));  // "?" is unspecified too
  ASSERT_EQ(1, a.applicationName.setText("Podpis", -1));
  a.wasApplicationName = 1;
  EXPECT_FALSE(SCPkcs15Lib::IsSameApplication(a, b));
  EXPECT_FALSE(SCPkcs15Lib::IsSameApplication(b, a));
  ASSERT_EQ(1, b.applicationName.setText("Inna nazwa", -1));
  EXPECT_TRUE(SCPkcs15Lib::IsSameApplication(a, b));  // both specified, neither has an OID
  ASSERT_EQ(1, a.applicationOID.setText("1.2.616.1.113527.2"));
  a.wasApplicationOID = 1;
  EXPECT_FALSE(SCPkcs15Lib::IsSameApplication(a, b));
  ASSERT_EQ(1, b.applicationOID.setText("1.2.616.1.113527.2"));
  b.wasApplicationOID = 1;
  EXPECT_TRUE(SCPkcs15Lib::IsSameApplication(a, b));
  ASSERT_EQ(1, b.applicationOID.setText("1.2.616.1.113527.3"));
  EXPECT_FALSE(SCPkcs15Lib::IsSameApplication(a, b));
}

TEST(InitComparisons, MergeFlagsTakesMaskedBitsFromTheSource) {
  uint32_t dst = 0xF0F0;
  SCPkcs15Lib::MergeFlags(&dst, 0x0FFF, 0x00FF);
  EXPECT_EQ(0xF0FFu, dst);
  SCPkcs15Lib::MergeFlags(nullptr, 1, 1);
}

// ---- state bits of PKCS#15 cards ----

namespace {
class CardBridge : public SCPkcs15Lib {
 public:
  CardBridge(uint32_t readers, uint32_t tokens) {
    m_tokensPerReader = tokens;
    EXPECT_EQ(SC_OK, AllocateTables(readers, tokens));
    m_readerCount = readers;
    m_slotCount = readers * tokens;
    m_initialized = 1;
  }
  ~CardBridge() override {
    ReleaseTables();
    m_initialized = 0;
  }
  void PutCard(uint32_t reader, SCPkcs15Card* card) { m_pkcs15Cards[reader] = card; }
  void PutApp(uint32_t slot, SCPkcs15App* app) { m_pAppTable[slot] = app; }
  void SetInitialised(bool on) { m_initialized = on ? 1 : 0; }
};
}  // namespace

TEST(BridgeStateBits, CardsFollowTheStateBitOfTheOptionWordOnlyOnAChange) {
  CardBridge b(2, 3);
  SCPkcs15Card* card0 = new SCPkcs15Card(nullptr);
  SCPkcs15Card* card1 = new SCPkcs15Card(nullptr);
  card1->SetOptions(0x2);
  b.PutCard(0, card0);
  b.PutCard(1, card1);
  // The application belongs to no card here: the test releases it itself.
  SCPkcs15App app(nullptr, nullptr, nullptr);
  b.PutApp(4, &app);

  b.SetPkcs15Flags(PKCS15_FLAGS_BRIDGE_DEFAULT);  // unchanged word: nothing set
  EXPECT_EQ(0u, card0->GetOptions());
  b.SetPkcs15Flags(PKCS15_FLAG_STATE_BITS | PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(0x1u, card0->GetOptions());
  EXPECT_EQ(0x3u, card1->GetOptions());
  b.SetPkcs15Flags(PKCS15_FLAG_WORKER_THREADS);
  EXPECT_EQ(0x0u, card0->GetOptions());
  EXPECT_EQ(0x2u, card1->GetOptions());  // other option bits kept

  // Not initialised: the word is stored, the cards are left alone.
  b.SetInitialised(false);
  b.SetPkcs15Flags(PKCS15_FLAG_STATE_BITS);
  EXPECT_EQ(0x0u, card0->GetOptions());
  EXPECT_EQ(PKCS15_FLAG_STATE_BITS, b.GetPkcs15Flags());
  b.SetInitialised(true);
  b.PutApp(4, nullptr);
  // The bridge owns the card objects and deletes them with its tables.
}

TEST(BridgeStateBits, ClearingAReaderDeletesItsCardAndUnbindsItsSlots) {
  CardBridge b(2, 2);
  b.PutCard(1, new SCPkcs15Card(nullptr));
  SCPkcs15App app(nullptr, nullptr, nullptr);
  b.PutApp(2, &app);
  b.PutApp(3, &app);
  b.ClearPkcs15Cards(1, false);
  EXPECT_EQ(nullptr, b.GetReaderPkcs15Card(1));
  EXPECT_EQ(nullptr, b.GetSlotApp(2));
  EXPECT_EQ(nullptr, b.GetSlotApp(3));
}

// ---- the maker's texts ----

TEST(ManufacturerTexts, AllFourNameTheMakerAndFitTheInformationField) {
  for (const char* text : {g_pszLibraryManufacturer, g_pszSlotManufacturer, g_pszTokenManufacturer,
                           g_pszTokenManufacturerLong}) {
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("Mirtal Systems", text);
    EXPECT_LE(std::strlen(text), sizeof(CK_INFO{}.manufacturerID));
  }
}

// ---- the card layer's log mask ----

namespace {
std::vector<std::string>* g_lines = nullptr;
void CollectLine(const char* line) {
  if (g_lines != nullptr) g_lines->push_back(line);
}
}  // namespace

TEST(CardLogMask, OptionBitsMapToTheCardLayersMask) {
  EXPECT_EQ(0u, SCPkcs15Lib::CardLogMaskFromFlags(0x10000000 | 0x400 | 0x10000));
  EXPECT_EQ(1u, SCPkcs15Lib::CardLogMaskFromFlags(0x1000));
  EXPECT_EQ(2u, SCPkcs15Lib::CardLogMaskFromFlags(0x2000));
  EXPECT_EQ(8u, SCPkcs15Lib::CardLogMaskFromFlags(0x4000));
  EXPECT_EQ(16u, SCPkcs15Lib::CardLogMaskFromFlags(0x8000));
  EXPECT_EQ(32u, SCPkcs15Lib::CardLogMaskFromFlags(0x800));
  EXPECT_EQ(59u, SCPkcs15Lib::CardLogMaskFromFlags(0xF800));
}

TEST(CardLogMask, StartUpHandsTheMaskToTheCardLayerWhichFiltersItsLines) {
  // Each option bit lets its own kind of card-layer line through, and no other.
  const struct {
    uint32_t optionBit;
    const char* line;
  } rows[] = {
      {0x1000, "card results"}, {0x2000, "file selections"}, {0x4000, "security environments"},
      {0x8000, "secure messaging"}, {0x800, "PIN state"},
  };
  const unsigned kinds[] = {SC_LOG_CARD_RESULTS, SC_LOG_FILE_SELECTION, SC_LOG_SECURITY_ENV, SC_LOG_SECURE_MESSAGING,
                            SC_LOG_PIN_STATE};
  scSetLogMask(0);
  SCPkcs15Lib bridge;
  // The simulator back-end with a library that is not there: start-up goes on with no reader.
  ASSERT_TRUE(bridge.SetEnabledReaderSubsystems("TARVO-MELK"));
  ASSERT_TRUE(bridge.SetDravokLibrary("/nonexistent/libnothing.so;Sim"));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    bridge.SetPkcs15Flags(row.optionBit);
    EXPECT_EQ(0u, scGetLogMask());  // handed on at start-up only
    ASSERT_EQ(SC_OK, bridge.InitLib(nullptr, 3));
    EXPECT_EQ(0u, bridge.GetReaderCount());
    std::vector<std::string> lines;
    g_lines = &lines;
    SCLogSink old = scSetLogSink(CollectLine);
    for (size_t k = 0; k < sizeof kinds / sizeof kinds[0]; ++k) scLogMasked(kinds[k], "%s", rows[k].line);
    scSetLogSink(old);
    g_lines = nullptr;
    EXPECT_EQ(std::vector<std::string>{row.line}, lines);
    bridge.DeInitLib();
    scSetLogMask(0);
  }
  // Two bits, two kinds.
  bridge.SetPkcs15Flags(0x2000 | 0x800);
  ASSERT_EQ(SC_OK, bridge.InitLib(nullptr, 3));
  EXPECT_EQ(SC_LOG_FILE_SELECTION | SC_LOG_PIN_STATE, scGetLogMask());
  bridge.DeInitLib();
  scSetLogMask(0);
}
