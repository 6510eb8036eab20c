// The trace log: tags, the three forms of the trace line, '%' in function
// names, levels without a tag, logging off, qualified names, the assertion
// hook, the argument formatters, a traced call sequence compared line by line
// with the timestamps masked, and PIN values that never reach the log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/tracelog.h"
#include "support/debuglog.h"
#include "support/vtest.h"
#include "tests/common/testsupport.h"

namespace {

// Length of "YYYY-MM-DD, hh:mm:ss.mmm [ pid,  tid]: " at the start of a line, or 0.
size_t StampLength(const std::string& line) {
  const char* shape = "dddd-dd-dd, dd:dd:dd.ddd [";
  size_t n = std::strlen(shape);
  if (line.size() < n) return 0;
  for (size_t i = 0; i < n; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return 0;
  }
  size_t i = n;
  for (int field = 0; field < 2; ++field) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
    if (i == start) return 0;
    const char* after = field == 0 ? ", " : "]: ";
    if (line.compare(i, std::strlen(after), after) != 0) return 0;
    i += std::strlen(after);
  }
  return i;
}

bool LooksLikeOneStampedLine(const std::string& text, const std::string& message) {
  if (text.empty() || text.back() != '\n') return false;
  std::string line = text.substr(0, text.size() - 1);
  size_t skip = StampLength(line);
  return skip != 0 && line.substr(skip) == message && line.find('\n') == std::string::npos;
}

// Passes a format text the compiler cannot see (an empty one, for example).
void TraceLogUnchecked(const TraceLogger* log, const char* fn, unsigned level, CK_RV rv, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  TraceLogV(log, fn, level, rv, format, ap);
  va_end(ap);
}

class TraceFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/p11traceXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/trace.log";
    ASSERT_EQ(DebugLogSetFile(path_.c_str()), 0);
  }
  void TearDown() override {
    LogDisableOutput(nullptr);
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  std::string Raw() const { return testsupport::ReadFileText(path_); }
  // The file with each line's timestamp, process and thread identifiers masked.
  std::string Masked() const {
    std::istringstream in(Raw());
    std::string line, out;
    while (std::getline(in, line)) {
      size_t skip = StampLength(line);
      out += skip ? "@ " + line.substr(skip) : line;
      out += "\n";
    }
    return out;
  }
  std::string dir_, path_;
};

TEST_F(TraceFile, LineStartsWithTimestampAndIdentifiers) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  TraceLog(&log, "C_Logout", TRACE_COMPLETE, CKR_OK, nullptr);
  EXPECT_TRUE(LooksLikeOneStampedLine(Raw(), "PKCS#11: C_Logout() [complete] <CKR_OK>")) << Raw();
}

TEST_F(TraceFile, TagsOfEveryLevelAndLevelsWithoutTag) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  for (unsigned level : {0u, 1u, 2u, 3u, 4u, 5u, 7u}) TraceLog(&log, "C_Fn", level, CKR_OK, nullptr);
  EXPECT_EQ(Masked(),
            "@ PKCS#11: C_Fn() [error]    <CKR_OK>\n"
            "@ PKCS#11: C_Fn() [starting] <CKR_OK>\n"
            "@ PKCS#11: C_Fn() [inside]   <CKR_OK>\n"
            "@ PKCS#11: C_Fn() [complete] <CKR_OK>\n"
            "@ PKCS#11: C_Fn() [warning]  <CKR_OK>\n"
            "@ PKCS#11: C_Fn() [info]     <CKR_OK>\n"
            "@ PKCS#11: C_Fn() <CKR_OK>\n");
  EXPECT_EQ(TraceWriterLevel(TRACE_ERROR), 1);
  EXPECT_EQ(TraceWriterLevel(TRACE_STARTING), 100);
  EXPECT_EQ(TraceWriterLevel(42), 100);
}

TEST_F(TraceFile, TheThreeFormsOfTheLine) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  TraceLog(&log, "C_Logout", TRACE_COMPLETE, CKR_OK, nullptr);
  TraceLog(&log, "C_Logout", TRACE_COMPLETE, CKR_OK, "%s", "");
  TraceLog(&log, "C_Finalize", TRACE_STARTING, CKR_OK, "no arguments here");
  TraceLog(&log, "C_CloseSession", TRACE_ERROR, CKR_SESSION_HANDLE_INVALID, "Session: %08lX", 0x2AUL);
  log.SetPrefix(nullptr);
  TraceLogUnchecked(&log, "C_X", TRACE_INFO, CKR_OK, "");
  EXPECT_EQ(Masked(),
            "@ PKCS#11: C_Logout() [complete] <CKR_OK>\n"
            "@ PKCS#11: C_Logout() [complete] <CKR_OK> \n"
            "@ PKCS#11: C_Finalize() [starting] <CKR_OK> no arguments here\n"
            "@ PKCS#11: C_CloseSession() [error]    <CKR_SESSION_HANDLE_INVALID> Session: 0000002A\n"
            "@ C_X() [info]     <CKR_OK>\n");
}

TEST_F(TraceFile, PercentInFunctionNameIsWrittenAsIs) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  TraceLog(&log, "Odd%sName%d", TRACE_INFO, CKR_OK, "value %d%%", 5);
  TraceLog(&log, "Odd%sName", TRACE_INFO, CKR_OK, "plain text");
  EXPECT_EQ(Masked(),
            "@ PKCS#11: Odd%sName%d() [info]     <CKR_OK> value 5%\n"
            "@ PKCS#11: Odd%sName() [info]     <CKR_OK> plain text\n");
}

TEST_F(TraceFile, LongFormatsAndVendorReturnValues) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  std::string longText(2000, 'z');
  std::string longName(600, 'n');
  TraceLog(&log, longName.c_str(), TRACE_INFO, CKR_MIRTAL_MASTER_CARD_NOT_FOUND, "%s|%d", longText.c_str(), 7);
  EXPECT_EQ(Masked(), "@ PKCS#11: " + longName +
                          "() [info]     <CKR_VENDOR_ABEC1000 (CKR_MIRTAL_MASTER_CARD_NOT_FOUND)> " + longText +
                          "|7\n");
}

TEST_F(TraceFile, NothingIsWrittenWhileLoggingIsOff) {
  TraceLogger log("PKCS#11: ");
  TraceLog(&log, "C_Login", TRACE_ERROR, CKR_PIN_INCORRECT, "x %d", 1);
  TraceLog(&log, "C_Login", TRACE_ERROR, CKR_PIN_INCORRECT, nullptr);
  TraceLogQualified(&log, "Cls", "Fn", TRACE_ERROR, CKR_OK, "y");
  CK_BBOOL t = CK_TRUE;
  CK_ATTRIBUTE a = {CKA_TOKEN, &t, 1};
  TraceTemplate(&log, &a, 1, false, true);
  TraceLog(nullptr, "C_Login", TRACE_ERROR, CKR_OK, nullptr);
  EXPECT_EQ(Raw(), "");
  log.SetEnabled(true);
  log.SetEnabled(false);
  TraceLog(&log, "C_Login", TRACE_ERROR, CKR_OK, nullptr);
  EXPECT_EQ(Raw(), "");
  // A forced template dump is written all the same, as plain text.
  TraceTemplate(&log, &a, 1, true, true);
  EXPECT_EQ(Masked(), "@ CKA_TOKEN[len=1]: TRUE\n");
}

TEST_F(TraceFile, ResultLinesChooseTheirLevelByReturnValue) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  TraceResult(&log, "C_OpenSession", CKR_OK, "New session handle: %08lX", 0x11UL);
  TraceResult(&log, "C_OpenSession", CKR_SLOT_ID_INVALID, nullptr);
  EXPECT_EQ(Masked(),
            "@ PKCS#11: C_OpenSession() [complete] <CKR_OK> New session handle: 00000011\n"
            "@ PKCS#11: C_OpenSession() [error]    <CKR_SLOT_ID_INVALID>\n");
}

TEST_F(TraceFile, QualifiedNames) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  TraceLogQualified(&log, "CPkcs11App", "Login", TRACE_INSIDE, CKR_OK, "a");
  log.SetFlags(TRACE_FLAG_ENABLED | TRACE_FLAG_QUALIFY_NAMES);
  TraceLogQualified(&log, "CPkcs11App", "Login", TRACE_INSIDE, CKR_OK, "b %d", 2);
  TraceLogQualified(&log, "", "Login", TRACE_INSIDE, CKR_OK, "c");
  std::string longClass(300, 'K');
  TraceLogQualified(&log, longClass.c_str(), "F", TRACE_INSIDE, CKR_OK, nullptr);
  EXPECT_EQ(Masked(),
            "@ PKCS#11: Login() [inside]   <CKR_OK> a\n"
            "@ PKCS#11: [CPkcs11App]:Login() [inside]   <CKR_OK> b 2\n"
            "@ PKCS#11: Login() [inside]   <CKR_OK> c\n"
            "@ PKCS#11: [" + longClass + "]:F() [inside]   <CKR_OK>\n");
}

TEST_F(TraceFile, FailedInvariantIsTracedBeforeTheExceptionLeaves) {
  {
    TraceLogger log("PKCS#11: ");
    log.SetEnabled(true);
    log.InstallAssertHook();
    EXPECT_THROW(AssertInvariant(0, "pkcs11impl/app", 321, "hNewSession != CK_INVALID_HANDLE", "extra"),
                 VtestException);
    EXPECT_NO_THROW(AssertInvariant(1, "pkcs11impl/app", 322, "true", nullptr));
  }
  EXPECT_EQ(GetAssertTraceHook(), nullptr);
  std::string m = Masked();
  EXPECT_EQ(m.rfind("@ PKCS#11: ASSERTION FAILED() [error]    <CKR_GENERAL_ERROR> ", 0), 0u) << m;
  EXPECT_NE(m.find("pkcs11impl/app(321)"), std::string::npos);
  EXPECT_NE(m.find("hNewSession != CK_INVALID_HANDLE"), std::string::npos);
  EXPECT_EQ(m.find("(322)"), std::string::npos);
  // With the logger gone, a failed invariant writes no trace line.
  std::string before = Raw();
  EXPECT_THROW(AssertInvariant(0, "pkcs11impl/app", 400, "x", nullptr), VtestException);
  EXPECT_EQ(Raw(), before);
}

TEST(TraceFormatters, UlongLists) {
  const CK_ULONG slots[] = {1, 2, 3};
  CK_ULONG n = 3;
  TraceString a(FormatUlongList(slots, &n, true, true, false));
  EXPECT_STREQ(a.get(), "00000001, 00000002, 00000003");
  TraceString b(FormatUlongList(slots, &n, true, true, true));
  EXPECT_STREQ(b.get(), "<len: 3>: 00000001, 00000002, 00000003");
  TraceString c(FormatUlongList(slots, &n, false, true, false));
  EXPECT_STREQ(c.get(), "1, 2, 3");
  TraceString d(FormatUlongList(slots, &n, false, false, false));
  EXPECT_STREQ(d.get(), "<max: 3>");
  TraceString e(FormatUlongList(slots, nullptr, false, true, true));
  EXPECT_EQ(std::string(e.get()).rfind("<len: null>!!!: buffer: 0x", 0), 0u);
  TraceString f(FormatUlongList(nullptr, &n, false, true, false));
  EXPECT_STREQ(f.get(), "<null>");
  TraceString g(FormatUlongList(nullptr, &n, false, false, false));
  EXPECT_STREQ(g.get(), "");
  TraceString h(FormatUlongList(nullptr, &n, false, true, true));
  EXPECT_STREQ(h.get(), "<len: 3>: <null>");
  TraceString i(FormatUlongList(nullptr, nullptr, false, false, true));
  EXPECT_STREQ(i.get(), "<len: null>");
  TraceString j(FormatUlongListN(slots, 2, false, true, true));
  EXPECT_STREQ(j.get(), "<len: 2>: 1, 2");
}

TEST(TraceFormatters, ArraysBytesAndMechanisms) {
  const CK_ULONG values[] = {65535, 65536, 7};
  TraceString a(FormatUlongArray(values, 3));
  EXPECT_STREQ(a.get(), "65535 0x00010000 7");
  TraceString b(FormatUlongArray(values, 0));
  EXPECT_STREQ(b.get(), "<empty>");
  const unsigned char bytes[] = {0xDE, 0xAD, 0x01};
  TraceString c(FormatHexBytes(bytes, 3));
  EXPECT_STREQ(c.get(), "DE AD 01");
  TraceString d(FormatHexBytes(nullptr, 3));
  EXPECT_STREQ(d.get(), "<null>");
  TraceString e(FormatHexBytes(bytes, 0));
  EXPECT_STREQ(e.get(), "");
  TraceString f(FormatHexBytes(bytes, ~0UL));
  EXPECT_STREQ(f.get(), "");
  const CK_MECHANISM_TYPE mechs[] = {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, 0x80001234};
  TraceString g(FormatMechanismNames(mechs, 3));
  EXPECT_STREQ(g.get(), "CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_VENDOR_80001234");
  TraceString h(FormatMechanismNames(nullptr, 3));
  EXPECT_STREQ(h.get(), "<null>");
  EXPECT_EQ(FormatMechanismNames(mechs, 0), nullptr);
  TraceString i(FormatMechanismText(nullptr));
  EXPECT_STREQ(i.get(), "<null>");
  CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  TraceString j(FormatMechanismText(&m, "\n    "));
  EXPECT_STREQ(j.get(), "mechanism type: CKM_SHA256_RSA_PKCS\n    params[len=0]: <null>");
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE t[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}};
  TraceString k(FormatTemplateText(t, 2, true, ", "));
  EXPECT_STREQ(k.get(), "CKA_TOKEN[len=1]: TRUE, CKA_SIGN[len=1]: TRUE");
  TraceString l(TraceStrDup("abc"));
  EXPECT_STREQ(l.get(), "abc");
}

TEST(TraceFormatters, ReleaseHelpersClearTheHolders) {
  char* one = TraceStrDup("1");
  char* two = TraceStrDup("2");
  char** holders[] = {&one, &two, nullptr};
  TraceFreeStrings(5, holders);
  EXPECT_EQ(one, nullptr);
  EXPECT_EQ(two, nullptr);
  char* texts[2] = {TraceStrDup("a"), nullptr};
  TraceFreeStringArray(2, texts);
  EXPECT_EQ(texts[0], nullptr);
  char* s = TraceStrDup("x");
  TraceFreeString(&s);
  EXPECT_EQ(s, nullptr);
  TraceFreeString(nullptr);
}

TEST(TraceLoggerObject, PrefixAndFlags) {
  TraceLogger log;
  EXPECT_STREQ(log.GetPrefix(), "");
  EXPECT_EQ(log.GetFlags(), 0u);
  EXPECT_FALSE(log.IsEnabled());
  log.SetPrefix("P: ");
  EXPECT_STREQ(log.GetPrefix(), "P: ");
  log.SetFlags(TRACE_FLAG_QUALIFY_NAMES);
  log.SetEnabled(true);
  EXPECT_EQ(log.GetFlags(), TRACE_FLAG_QUALIFY_NAMES | TRACE_FLAG_ENABLED);
  log.SetEnabled(false);
  EXPECT_EQ(log.GetFlags(), static_cast<uint32_t>(TRACE_FLAG_QUALIFY_NAMES));
  EXPECT_STREQ(TraceLevelTag(9), "");
  EXPECT_EQ(std::string(TraceLevelTag(TRACE_WARNING)).size(), 11u);
}

// The frame of the exported functions traces like this; the test plays a
// short session and compares the file line by line.
TEST_F(TraceFile, TracedSequenceMatchesLineByLine) {
  TraceLogger log("PKCS#11: ");
  log.SetEnabled(true);
  const char pin[] = "123456";
  const void* pinPtr = pin;
  char pinText[32];
  std::snprintf(pinText, sizeof pinText, "%p", pinPtr);

  TraceLog(&log, "C_GetSlotList", TRACE_STARTING, CKR_OK, "Token present: %d, pSlotList: %s, pulCount: %s", 1,
           "<null>", "0");
  CK_ULONG slots[] = {0, 3};
  CK_ULONG n = 2;
  TraceString list(FormatUlongList(slots, &n, false, true, false));
  TraceLog(&log, "C_GetSlotList", TRACE_COMPLETE, CKR_OK, "Slot count: %s, slots: (%s)", "2", list.get());
  TraceLog(&log, "C_Login", TRACE_STARTING, CKR_OK, "Session: %08lX, userType: %s, pin: %p, pinLen: %ld", 1UL,
           "CKU_USER", pinPtr, 6L);
  TraceLog(&log, "C_Login", TRACE_ERROR, CKR_PIN_INCORRECT, nullptr);
  TraceLog(&log, "MIRTAL_PKCS11_ChangePin", TRACE_STARTING, CKR_OK,
           "Session: %08lX, hPin: %08lX, old: %slen=%ld, new: %slen=%ld", 1UL, 0x10UL, "", 6L, "NULL, ", 0L);
  CK_BBOOL yes = CK_TRUE;
  CK_ULONG cls = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_SIGN, &yes, 1}};
  TraceString t(FormatTemplateText(tmpl, 2, true, "\n    "));
  TraceLog(&log, "C_FindObjectsInit", TRACE_STARTING, CKR_OK, "Session %08lX,\n  Template:\n  ( %s\n  )", 1UL,
           t.get());
  TraceLog(&log, "C_Logout", TRACE_COMPLETE, CKR_OK, nullptr);

  std::istringstream got(Masked());
  const std::string expected[] = {
      "@ PKCS#11: C_GetSlotList() [starting] <CKR_OK> Token present: 1, pSlotList: <null>, pulCount: 0",
      "@ PKCS#11: C_GetSlotList() [complete] <CKR_OK> Slot count: 2, slots: (0, 3)",
      std::string("@ PKCS#11: C_Login() [starting] <CKR_OK> Session: 00000001, userType: CKU_USER, pin: ") + pinText +
          ", pinLen: 6",
      "@ PKCS#11: C_Login() [error]    <CKR_PIN_INCORRECT>",
      "@ PKCS#11: MIRTAL_PKCS11_ChangePin() [starting] <CKR_OK> Session: 00000001, hPin: 00000010, old: len=6, "
      "new: NULL, len=0",
      "@ PKCS#11: C_FindObjectsInit() [starting] <CKR_OK> Session 00000001,",
      "  Template:",
      "  ( CKA_CLASS[len=8]: CKO_PRIVATE_KEY",
      "    CKA_SIGN[len=1]: TRUE",
      "  )",
      "@ PKCS#11: C_Logout() [complete] <CKR_OK>",
  };
  std::string line;
  size_t i = 0;
  while (std::getline(got, line)) {
    ASSERT_LT(i, sizeof expected / sizeof expected[0]) << line;
    EXPECT_EQ(line, expected[i]) << "line " << i;
    ++i;
  }
  EXPECT_EQ(i, sizeof expected / sizeof expected[0]);
  // The PIN's bytes are nowhere in the file.
  EXPECT_EQ(Raw().find(pin), std::string::npos);
  EXPECT_EQ(Raw().find("31 32 33 34"), std::string::npos);
}

}  // namespace
