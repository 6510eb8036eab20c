// Objects through the exported functions: session objects beside the card's
// objects in one handle space, searches, attribute reads and changes, labels
// made for certificates without one, and hostile templates.
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/common/testsupport.h"
#include "tests/pkcs11impl/p11test_template.h"

using namespace testhost;
using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";
const CK_FLAGS kRw = CKF_SERIAL_SESSION | CKF_RW_SESSION;

std::string ReadData(const std::string& name) {
  const testsupport::Bytes b = testsupport::ReadDataFile(name);
  return std::string(b.begin(), b.end());
}

// The certificate's subject name in DER, as OpenSSL encodes it.
std::string SubjectDer(const std::string& cert) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(cert.data());
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(cert.size()));
  if (x == nullptr) return "";
  unsigned char* der = nullptr;
  const int n = i2d_X509_NAME(X509_get_subject_name(x), &der);
  std::string out = n > 0 ? std::string(reinterpret_cast<char*>(der), static_cast<size_t>(n)) : "";
  OPENSSL_free(der);
  X509_free(x);
  return out;
}

std::vector<CK_OBJECT_HANDLE> Find(const Module& m, CK_SESSION_HANDLE s, CK_ATTRIBUTE* t, CK_ULONG n) {
  std::vector<CK_OBJECT_HANDLE> out;
  EXPECT_EQ(CKR_OK, m->C_FindObjectsInit(s, t, n));
  CK_OBJECT_HANDLE buf[4];
  CK_ULONG got = 0;
  do {
    EXPECT_EQ(CKR_OK, m->C_FindObjects(s, buf, 4, &got));
    out.insert(out.end(), buf, buf + got);
  } while (got == 4);
  EXPECT_EQ(CKR_OK, m->C_FindObjectsFinal(s));
  return out;
}

TestTemplate DataObject(const std::string& label, bool onToken = false) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, onToken).Bytes(CKA_LABEL, label).Bytes(CKA_VALUE, "payload " + label);
  return t;
}

TestTemplate Certificate(const std::string& der, const std::string& label) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_CERTIFICATE)
      .Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .Bool(CKA_TOKEN, false)
      .Bytes(CKA_SUBJECT, SubjectDer(der))
      .Bytes(CKA_VALUE, der)
      .Bytes(CKA_LABEL, label);
  return t;
}

std::string Label(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_RV* rv = nullptr) {
  CK_ATTRIBUTE a = {CKA_LABEL, nullptr, 0};
  CK_RV r = m->C_GetAttributeValue(s, h, &a, 1);
  if (rv) *rv = r;
  if (r != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return "<" + std::to_string(r) + ">";
  std::string text(a.ulValueLen, '\0');
  a.pValue = &text[0];
  r = m->C_GetAttributeValue(s, h, &a, 1);
  if (rv) *rv = r;
  return text.substr(0, a.ulValueLen);
}

}  // namespace


// The module loaded over one simulated reader holding a card, and initialised.
class ModuleObjects : public ::testing::Test {
 protected:
  void Start(const std::string& card, const std::string& extra = "", bool trace = true) {
    m_.reset();
    env_.reset(new SimEnv(Readers{{kR0, card}}));
    if (trace)
      env_->Config(extra);
    else
      env_->UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() + ";Sim\"\n" + extra);
    m_.reset(new Module());
    ASSERT_TRUE(m_->ok()) << m_->error();
    ASSERT_EQ(CKR_OK, (*m_)->C_Initialize(nullptr));
  }
  std::unique_ptr<SimEnv> env_;
  std::unique_ptr<Module> m_;  // unloaded before its folder goes
};

TEST_F(ModuleObjects, SessionObjectsShareOneHandleSpaceAndLiveWithTheirSession) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s1 = 0, s2 = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s1));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s2));

  TestTemplate a = DataObject("first"), b = DataObject("second");
  CK_OBJECT_HANDLE h1 = 0, h2 = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s1, TT_ARGS(a), &h1));
  EXPECT_EQ(1u, h1);  // the first handle after C_Initialize
  // A read-only session makes session objects too.
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s2, TT_ARGS(b), &h2));
  EXPECT_EQ(2u, h2);

  // Both sessions see both objects.
  TestTemplate sessionOnly;
  sessionOnly.Bool(CKA_TOKEN, false);
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{h1, h2}), Find(m, s2, TT_ARGS(sessionOnly)));
  TestTemplate byLabel;
  byLabel.Bytes(CKA_LABEL, "second");
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{h2}, Find(m, s1, TT_ARGS(byLabel)));
  EXPECT_EQ("first", Label(m, s2, h1));

  // Sizes of session objects are not known; a null size pointer is refused.
  CK_ULONG size = 0;
  EXPECT_EQ(CKR_OK, m->C_GetObjectSize(s1, h2, &size));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, size);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetObjectSize(s1, h2, nullptr));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(s1, 999, &size));

  // Attributes of session objects change through any session.
  TestTemplate relabel;
  relabel.Bytes(CKA_LABEL, "renamed");
  EXPECT_EQ(CKR_OK, m->C_SetAttributeValue(s2, h1, TT_ARGS(relabel)));
  EXPECT_EQ("renamed", Label(m, s1, h1));

  // The search state: a count of waiting handles, one search at a time.
  ASSERT_EQ(CKR_OK, m->C_FindObjectsInit(s1, TT_ARGS(sessionOnly)));
  EXPECT_EQ(CKR_OPERATION_ACTIVE, m->C_FindObjectsInit(s1, TT_ARGS(sessionOnly)));
  CK_ULONG waiting = 0;
  EXPECT_EQ(CKR_OK, m->C_FindObjects(s1, nullptr, 0, &waiting));
  EXPECT_EQ(2u, waiting);
  CK_OBJECT_HANDLE one = 0;
  EXPECT_EQ(CKR_OK, m->C_FindObjects(s1, &one, 1, &waiting));
  EXPECT_EQ(1u, waiting);
  EXPECT_EQ(CKR_OK, m->C_FindObjects(s1, nullptr, 0, &waiting));
  EXPECT_EQ(1u, waiting);
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_FindObjects(s1, nullptr, 1, &waiting));
  EXPECT_EQ(CKR_OK, m->C_FindObjectsFinal(s1));
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_FindObjects(s1, &one, 1, &waiting));

  // Closing the session destroys its objects; the handle is not given again.
  EXPECT_EQ(CKR_OK, m->C_CloseSession(s2));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(s1, h2, &size));
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{h1}), Find(m, s1, TT_ARGS(sessionOnly)));
  CK_OBJECT_HANDLE h3 = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s1, TT_ARGS(b), &h3));
  EXPECT_EQ(3u, h3);
  EXPECT_EQ(CKR_OK, m->C_DestroyObject(s1, h3));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_DestroyObject(s1, h3));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST_F(ModuleObjects, TokenObjectsNeedAReadWriteSessionAndALogin) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  const std::string before = ReadFile(env_->Card("pkcs15-model3.card"));
  CK_SESSION_HANDLE ro = 0, rw = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &ro));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &rw));
  TestTemplate onCard = DataObject("card data", true);
  CK_OBJECT_HANDLE h = 77;
  EXPECT_EQ(CKR_SESSION_READ_ONLY, m->C_CreateObject(ro, TT_ARGS(onCard), &h));
  EXPECT_EQ(0u, h);
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_CreateObject(rw, TT_ARGS(onCard), &h));
  // Private session objects only for a logged-in user.
  TestTemplate secret = DataObject("secret");
  secret.Bool(CKA_PRIVATE, true);
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_CreateObject(rw, TT_ARGS(secret), &h));
  // The security officer works with public objects only.
  CK_UTF8CHAR so[] = "87654321";
  ASSERT_EQ(CKR_OK, m->C_CloseSession(ro));
  ASSERT_EQ(CKR_OK, m->C_Login(rw, CKU_SO, so, 8));
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, m->C_CreateObject(rw, TT_ARGS(secret), &h));
  EXPECT_EQ(CKR_OK, m->C_CreateObject(rw, TT_ARGS(DataObject("public")), &h));
  // The token's files are the user's to write: each refusal of the card names the missing login.
  TestTemplate cardData, relabel, pub, prv;
  cardData.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true);
  const std::vector<CK_OBJECT_HANDLE> found = Find(m, rw, TT_ARGS(cardData));
  ASSERT_EQ(1u, found.size());
  relabel.Bytes(CKA_LABEL, "Renamed");
  pub.Bool(CKA_TOKEN, true).Ulong(CKA_MODULUS_BITS, 1024).Bytes(CKA_PUBLIC_EXPONENT, std::string("\x01\x00\x01", 3));
  prv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
  CK_MECHANISM gen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE hPub = 0, hPrv = 0;
  const std::pair<const char*, CK_RV> refused[] = {
      {"C_CreateObject", m->C_CreateObject(rw, TT_ARGS(onCard), &h)},
      {"C_SetAttributeValue", m->C_SetAttributeValue(rw, found[0], TT_ARGS(relabel))},
      {"C_DestroyObject", m->C_DestroyObject(rw, found[0])},
      {"C_GenerateKeyPair", m->C_GenerateKeyPair(rw, &gen, TT_ARGS(pub), TT_ARGS(prv), &hPub, &hPrv)},
  };
  for (const auto& r : refused) EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, r.second) << r.first;
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(before, ReadFile(env_->Card("pkcs15-model3.card")));
  // Where the data objects' directory is full the SO hears of the login all the same, not of the room.
  ASSERT_NO_FATAL_FAILURE(Start("filled-by-22053d3-model3.card"));
  const std::string full = ReadFile(env_->Card("filled-by-22053d3-model3.card"));
  ASSERT_TRUE((*m_)->C_OpenSession(0, kRw, nullptr, nullptr, &rw) == CKR_OK && (*m_)->C_Login(rw, CKU_SO, so, 8) == CKR_OK);
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, (*m_)->C_CreateObject(rw, TT_ARGS(onCard), &h));
  EXPECT_EQ(CKR_OK, (*m_)->C_Finalize(nullptr));
  EXPECT_EQ(full, ReadFile(env_->Card("filled-by-22053d3-model3.card")));
}

TEST_F(ModuleObjects, CertificatesWithoutALabelGetOneFromTheirSubject) {
  const std::string cn = ReadData("label-cn.der");
  const std::string noCn = ReadData("label-no-cn.der");
  ASSERT_FALSE(SubjectDer(cn).empty());
  for (const char* mode : {"", "GenerateCertLabels = 2\n", "GenerateCertLabels = 0\n"}) {
    ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card", mode));
    const Module& m = *m_;
    CK_SESSION_HANDLE s = 0;
    ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
    TestTemplate t1 = Certificate(cn, ""), t2 = Certificate(noCn, ""), t3 = Certificate(cn, "Given");
    TestTemplate t4 = Certificate(cn, "");
    t4.Without(CKA_SUBJECT).Bytes(CKA_SUBJECT, "");  // the name comes from the certificate itself
    CK_OBJECT_HANDLE h1 = 0, h2 = 0, h3 = 0, h4 = 0;
    ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(t1), &h1));
    ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(t2), &h2));
    ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(t3), &h3));
    ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(t4), &h4));
    const std::string whole = "CN=Jan Kowalski, O=Firma Testowa, C=PL";
    if (std::string(mode).empty()) {  // the default: the common name
      EXPECT_EQ("Jan Kowalski", Label(m, s, h1));
      EXPECT_EQ("O=Tylko Organizacja, C=PL", Label(m, s, h2));
      EXPECT_EQ("Jan Kowalski", Label(m, s, h4));
    } else if (std::string(mode).find('2') != std::string::npos) {
      EXPECT_EQ(whole, Label(m, s, h1));
      EXPECT_EQ(whole, Label(m, s, h4));
      // One byte short: unavailable and too small; the other entries are still read.
      char buf[64];
      CK_OBJECT_CLASS cls = 0;
      CK_ATTRIBUTE t[2] = {{CKA_LABEL, buf, whole.size() - 1}, {CKA_CLASS, &cls, sizeof cls}};
      EXPECT_EQ(CKR_BUFFER_TOO_SMALL, m->C_GetAttributeValue(s, h1, t, 2));
      EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, t[0].ulValueLen);
      EXPECT_EQ(sizeof cls, t[1].ulValueLen);
      EXPECT_EQ(CKO_CERTIFICATE, cls);
      // An attribute a certificate does not have keeps its own answer.
      CK_ATTRIBUTE u[2] = {{CKA_LABEL, nullptr, 0}, {CKA_MODULUS, nullptr, 0}};
      EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, m->C_GetAttributeValue(s, h1, u, 2));
      EXPECT_EQ(whole.size(), u[0].ulValueLen);
      EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, u[1].ulValueLen);
    } else {
      EXPECT_EQ("", Label(m, s, h1));
    }
    EXPECT_EQ("Given", Label(m, s, h3));
    EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  }
}

TEST_F(ModuleObjects, HostileTemplatesAreRefusedAndTouchNothing) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  const std::string before = ReadFile(env_->Card("pkcs15-model3.card"));
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  CK_OBJECT_HANDLE h = 0;
  char small[8] = {0};
  struct Case {
    TestTemplate t;
    CK_RV rv;
  };
  std::vector<Case> cases;
  cases.push_back({TestTemplate().Entry(CKA_CLASS, small, 4), CKR_ATTRIBUTE_VALUE_INVALID});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_DATA).Entry(CKA_TOKEN, small, 8), CKR_ATTRIBUTE_VALUE_INVALID});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_DATA).Ulong(0x7FFF1234UL, 1), CKR_ATTRIBUTE_TYPE_INVALID});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, CKO_DATA).Entry(CKA_VALUE, nullptr, 100), CKR_ATTRIBUTE_VALUE_INVALID});
  cases.push_back({TestTemplate().Ulong(CKA_CLASS, 0x4242), CKR_ATTRIBUTE_TYPE_INVALID});
  cases.push_back({TestTemplate().Bytes(CKA_LABEL, "no class"), CKR_TEMPLATE_INCOMPLETE});
  for (size_t i = 0; i < cases.size(); ++i) {
    h = 5;
    EXPECT_EQ(cases[i].rv, m->C_CreateObject(s, TT_ARGS(cases[i].t), &h)) << "case " << i;
    EXPECT_EQ(0u, h);
  }
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_CreateObject(s, nullptr, 1, &h));
  TestTemplate ok = DataObject("x");
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_CreateObject(s, TT_ARGS(ok), nullptr));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_CreateObject(s, ok.data(), 0, &h));

  // Searches and reads with hostile entries.
  TestTemplate badSearch;
  badSearch.Entry(CKA_CLASS, small, 3);
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, m->C_FindObjectsInit(s, TT_ARGS(badSearch)));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_FindObjectsInit(s, nullptr, 2));
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(ok), &h));
  // The buffer of the too-small entry is not read past its end (the trace shows no value).
  CK_ATTRIBUTE read[2] = {{0x7FFF1234UL, small, 8}, {CKA_VALUE, small, 2}};
  EXPECT_EQ(CKR_BUFFER_TOO_SMALL, m->C_GetAttributeValue(s, h, read, 2));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, read[0].ulValueLen);
  EXPECT_EQ(std::string(8, '\0'), std::string(small, 8));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_GetAttributeValue(s, h, nullptr, 1));
  EXPECT_EQ(CKR_ARGUMENTS_BAD, m->C_SetAttributeValue(s, h, read, 0));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(before, ReadFile(env_->Card("pkcs15-model3.card")));
}

TEST_F(ModuleObjects, ValuesLongerThanAnyAttributeAreRefused) {
  // Traced: the trace shows the first octets of such a value, not all of them.
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  std::vector<char> huge(17u << 20, 'v');  // the longest attribute value is 16 MiB
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Entry(CKA_VALUE, huge.data(), huge.size());
  CK_OBJECT_HANDLE h = 5;
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, m->C_CreateObject(s, TT_ARGS(t), &h));
  EXPECT_EQ(0u, h);
  TestTemplate search;
  search.Entry(CKA_VALUE, huge.data(), huge.size());
  EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, m->C_FindObjectsInit(s, TT_ARGS(search)));
  CK_ULONG n = 9;
  EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_FindObjects(s, nullptr, 0, &n));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

namespace {

CK_OBJECT_CLASS ClassOf(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h) {
  CK_OBJECT_CLASS c = ~0UL;
  CK_ATTRIBUTE a = {CKA_CLASS, &c, sizeof c};
  EXPECT_EQ(CKR_OK, m->C_GetAttributeValue(s, h, &a, 1));
  return c;
}

std::string Bytes(const Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a = {type, nullptr, 0};
  if (m->C_GetAttributeValue(s, h, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return "<none>";
  std::string v(a.ulValueLen, '\0');
  a.pValue = &v[0];
  EXPECT_EQ(CKR_OK, m->C_GetAttributeValue(s, h, &a, 1));
  return v;
}

std::vector<CK_OBJECT_HANDLE> FindAll(const Module& m, CK_SESSION_HANDLE s) { return Find(m, s, nullptr, 0); }

}  // namespace

TEST_F(ModuleObjects, CardObjectsAreFoundAndReadPrivateOnesOnlyAfterLogin) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s));

  const std::vector<CK_OBJECT_HANDLE> before = FindAll(m, s);
  ASSERT_EQ(3u, before.size());
  EXPECT_EQ(CKO_PUBLIC_KEY, ClassOf(m, s, before[0]));
  EXPECT_EQ(CKO_CERTIFICATE, ClassOf(m, s, before[1]));
  EXPECT_EQ(CKO_DATA, ClassOf(m, s, before[2]));
  EXPECT_EQ("Certificate", Label(m, s, before[1]));
  const std::string id = Bytes(m, s, before[1], CKA_ID);
  ASSERT_EQ(20u, id.size());

  // Searches by class, identifier, label and type.
  TestTemplate certs;
  certs.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bool(CKA_TOKEN, true);
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{before[1]}, Find(m, s, TT_ARGS(certs)));
  TestTemplate byId;
  byId.Bytes(CKA_ID, id);
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{before[0], before[1]}), Find(m, s, TT_ARGS(byId)));
  TestTemplate byLabel;
  byLabel.Bytes(CKA_LABEL, "Data object");
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{before[2]}, Find(m, s, TT_ARGS(byLabel)));
  TestTemplate rsa;
  rsa.Ulong(CKA_KEY_TYPE, CKK_RSA);
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{before[0]}, Find(m, s, TT_ARGS(rsa)));
  TestTemplate features;
  features.Ulong(CKA_CLASS, CKO_HW_FEATURE);
  EXPECT_TRUE(Find(m, s, TT_ARGS(features)).empty());
  TestTemplate none;
  none.Bytes(CKA_LABEL, "no such object");
  EXPECT_TRUE(Find(m, s, TT_ARGS(none)).empty());

  // Attributes of card objects: derived ones and the card's.
  CK_BBOOL token = CK_FALSE;
  CK_CERTIFICATE_TYPE type = ~0UL;
  CK_ULONG bits = 0;
  CK_ATTRIBUTE a[3] = {{CKA_TOKEN, &token, 1}, {CKA_CERTIFICATE_TYPE, &type, sizeof type}, {CKA_MODULUS_BITS, nullptr, 0}};
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, m->C_GetAttributeValue(s, before[1], a, 3));
  EXPECT_EQ(CK_TRUE, token);
  EXPECT_EQ(CKC_X_509, type);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, a[2].ulValueLen);
  CK_ATTRIBUTE b = {CKA_MODULUS_BITS, &bits, sizeof bits};
  EXPECT_EQ(CKR_OK, m->C_GetAttributeValue(s, before[0], &b, 1));
  EXPECT_EQ(2048u, bits);
  CK_ULONG size = 0;
  EXPECT_EQ(CKR_OK, m->C_GetObjectSize(s, before[1], &size));
  EXPECT_GT(size, Bytes(m, s, before[1], CKA_VALUE).size());
  // A handle of no object, and session objects beside card objects in one handle space.
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(s, before[2] + 100, &size));
  TestTemplate mine = DataObject("session data");
  CK_OBJECT_HANDLE h = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(mine), &h));
  EXPECT_GT(h, before[2]);
  EXPECT_EQ(4u, FindAll(m, s).size());
  TestTemplate data;
  data.Ulong(CKA_CLASS, CKO_DATA);
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{before[2], h}), Find(m, s, TT_ARGS(data)));
  TestTemplate onlyCard;
  onlyCard.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true);
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{before[2]}, Find(m, s, TT_ARGS(onlyCard)));

  // After login the private key shows; the others keep their handles.
  const std::string pin = "1234";
  ASSERT_EQ(CKR_OK, m->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), 4));
  const std::vector<CK_OBJECT_HANDLE> after = FindAll(m, s);
  ASSERT_EQ(5u, after.size());
  CK_OBJECT_HANDLE key = 0;
  for (CK_OBJECT_HANDLE x : after)
    if (ClassOf(m, s, x) == CKO_PRIVATE_KEY) key = x;
  ASSERT_NE(0u, key);
  EXPECT_GT(key, h);
  for (CK_OBJECT_HANDLE x : before) EXPECT_NE(after.end(), std::find(after.begin(), after.end(), x));
  EXPECT_EQ(id, Bytes(m, s, key, CKA_ID));
  CK_BBOOL sign = CK_FALSE, sensitive = CK_FALSE;
  char exponent[512];
  CK_ATTRIBUTE k[3] = {{CKA_SIGN, &sign, 1}, {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
                       {CKA_SENSITIVE, &sensitive, 1}};
  EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, m->C_GetAttributeValue(s, key, k, 3));
  EXPECT_EQ(CK_TRUE, sign);
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, k[1].ulValueLen);
  EXPECT_EQ(CK_TRUE, sensitive);
  // A key that lives only in the card has no size the module can tell.
  EXPECT_EQ(CKR_OK, m->C_GetObjectSize(s, key, &size));
  EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, size);

  // After logout the private key is gone again, its handle with it.
  ASSERT_EQ(CKR_OK, m->C_Logout(s));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetAttributeValue(s, key, k, 1));
  EXPECT_EQ(4u, FindAll(m, s).size());
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST_F(ModuleObjects, ManyObjectsAreReadFromTheCardOnceAndThenFromMemory) {
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-many-objects.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
  sim.ClearLog(kR0);
  const std::vector<CK_OBJECT_HANDLE> all = FindAll(m, s);
  ASSERT_EQ(52u, all.size());  // public key, certificate, 50 data objects
  const std::string first = sim.ApduLog(kR0);
  // Each directory file (PrKDF 4402 ... DODF 4405) was selected and read once.
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  for (const char* dir : {"4402", "4403", "4404", "4405"})
    EXPECT_EQ(1u, count(first, std::string("> 00A40804045015") + dir)) << dir << "\n" << first;

  // The certificate has no label of its own: it gets its subject's common name.
  TestTemplate cert;
  cert.Ulong(CKA_CLASS, CKO_CERTIFICATE);
  const std::vector<CK_OBJECT_HANDLE> certs = Find(m, s, TT_ARGS(cert));
  ASSERT_EQ(1u, certs.size());
  EXPECT_EQ("CardSim Token", Label(m, s, certs[0]));

  // Every value and size once from the card.
  auto readAll = [&] {
    for (CK_OBJECT_HANDLE h : all) {
      EXPECT_NE("<none>", Label(m, s, h));
      Bytes(m, s, h, CKA_VALUE);
      Bytes(m, s, h, CKA_ID);
      CK_ULONG size = 0;
      EXPECT_EQ(CKR_OK, m->C_GetObjectSize(s, h, &size));
    }
  };
  readAll();
  sim.ClearLog(kR0);
  // Then further searches and reads of the unchanged card stay in memory.
  EXPECT_EQ(all, FindAll(m, s));
  TestTemplate byLabel;
  byLabel.Bytes(CKA_LABEL, "Data object 37");
  const std::vector<CK_OBJECT_HANDLE> one = Find(m, s, TT_ARGS(byLabel));
  ASSERT_EQ(1u, one.size());
  EXPECT_EQ("CardSim data object 37", Bytes(m, s, one[0], CKA_VALUE));
  TestTemplate byClass;
  byClass.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true);
  EXPECT_EQ(50u, Find(m, s, TT_ARGS(byClass)).size());
  readAll();
  EXPECT_EQ("", sim.ApduLog(kR0));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

namespace {

CK_RV LoginUser(const Module& m, CK_SESSION_HANDLE s) {
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
  return m->C_Login(s, CKU_USER, pin, sizeof pin);
}

}  // namespace

TEST_F(ModuleObjects, CardObjectsAreCreatedChangedAndDestroyedLeavingTheCardAsItWas) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  const std::string before = ReadFile(env_->Card("pkcs15-model3.card"));
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, LoginUser(m, s));
  const std::vector<CK_OBJECT_HANDLE> old = FindAll(m, s);

  // A certificate and a data object on the card, found and read back.
  const std::string der = ReadData("label-cn.der");
  TestTemplate cert = Certificate(der, "New certificate");
  cert.Without(CKA_TOKEN).Bool(CKA_TOKEN, true).Bytes(CKA_ID, "\x42\x42");
  TestTemplate data = DataObject("New data", true);
  CK_OBJECT_HANDLE hc = 0, hd = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(cert), &hc));
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(data), &hd));
  EXPECT_GT(hc, *std::max_element(old.begin(), old.end()));
  EXPECT_EQ(hc + 1, hd);
  EXPECT_NE(before, ReadFile(env_->Card("pkcs15-model3.card")));
  TestTemplate byId;
  byId.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_ID, "\x42\x42");
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{hc}, Find(m, s, TT_ARGS(byId)));
  EXPECT_EQ(der, Bytes(m, s, hc, CKA_VALUE));
  EXPECT_EQ(SubjectDer(der), Bytes(m, s, hc, CKA_SUBJECT));
  EXPECT_EQ("payload New data", Bytes(m, s, hd, CKA_VALUE));

  // Changes: a certificate's label may change, its value not.
  TestTemplate relabel;
  relabel.Bytes(CKA_LABEL, "Renamed");
  EXPECT_EQ(CKR_OK, m->C_SetAttributeValue(s, hc, TT_ARGS(relabel)));
  EXPECT_EQ("Renamed", Label(m, s, hc));
  TestTemplate revalue;
  revalue.Bytes(CKA_VALUE, "other");
  EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, m->C_SetAttributeValue(s, hc, TT_ARGS(revalue)));
  TestTemplate unknown;
  unknown.Ulong(CKA_MODULUS_BITS, 1024);
  EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, m->C_SetAttributeValue(s, hd, TT_ARGS(unknown)));

  // Destroyed: the handles are gone and the card holds what it held before (but
  // for the filler where the records went).
  EXPECT_EQ(CKR_OK, m->C_DestroyObject(s, hc));
  EXPECT_EQ(CKR_OK, m->C_DestroyObject(s, hd));
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_DestroyObject(s, hd));
  CK_ULONG size = 0;
  EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(s, hc, &size));
  EXPECT_EQ(old, FindAll(m, s));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(testsupport::ImageWithoutTrailingFiller(before),
            testsupport::ImageWithoutTrailingFiller(ReadFile(env_->Card("pkcs15-model3.card"))));
}

TEST_F(ModuleObjects, FailedCardObjectCreationLeavesTheCardAsItWas) {
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  const std::string before = ReadFile(env_->Card("pkcs15-model3.card"));
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, LoginUser(m, s));
  CK_OBJECT_HANDLE h = 0;

  // Templates that the card cannot take: nothing is written.
  std::vector<char> huge(17u << 20, 'v');
  std::vector<TestTemplate> refused;
  refused.push_back(DataObject("x", true).Bytes(CKA_SUBJECT, "not for data"));
  refused.push_back(DataObject("x", true).Entry(CKA_VALUE, huge.data(), huge.size()));
  refused.push_back(DataObject("x", true).Bool(CKA_PRIVATE, true).Bool(CKA_PRIVATE, false));
  refused.push_back(Certificate(ReadData("label-cn.der"), "x").Without(CKA_TOKEN).Bool(CKA_TOKEN, true)
                        .Bool(CKA_MIRTAL_QUALIFIED_OBJECT, true));
  const CK_RV expected[] = {CKR_ATTRIBUTE_TYPE_INVALID, CKR_ATTRIBUTE_VALUE_INVALID, CKR_TEMPLATE_INCONSISTENT,
                            CKR_ATTRIBUTE_VALUE_INVALID};
  sim.ClearLog(kR0);
  for (size_t i = 0; i < refused.size(); ++i)
    EXPECT_EQ(expected[i], m->C_CreateObject(s, TT_ARGS(refused[i]), &h)) << "template " << i;
  EXPECT_EQ(std::string::npos, sim.ApduLog(kR0).find("> 00E0")) << "no file was created";
  EXPECT_EQ(std::string::npos, sim.ApduLog(kR0).find("> 00D6")) << "no file was written";

  // The card refuses to write the directory: the new value file goes again.
  TestTemplate data = DataObject("doomed", true);
  ASSERT_EQ(0, sim.InjectSw(kR0, 0xD6, 0x6581, 8));
  EXPECT_NE(CKR_OK, m->C_CreateObject(s, TT_ARGS(data), &h));
  ASSERT_EQ(0, sim.InjectSw(kR0, 0xD6, 0x9000, 0));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(before, ReadFile(env_->Card("pkcs15-model3.card")));
}

TEST_F(ModuleObjects, HandlesOfARemovedCardOrOfAnEarlierInitializeAreNeverGivenAgain) {
  CardSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
  const std::vector<CK_OBJECT_HANDLE> first = FindAll(m, s);
  ASSERT_EQ(3u, first.size());

  ASSERT_EQ(0, sim.Remove(kR0));
  CK_ULONG size = 0;
  const CK_RV gone = m->C_GetObjectSize(s, first[0], &size);
  EXPECT_TRUE(gone == CKR_SESSION_HANDLE_INVALID || gone == CKR_SESSION_CLOSED || gone == CKR_TOKEN_NOT_PRESENT ||
              gone == CKR_DEVICE_REMOVED)
      << gone;
  ASSERT_EQ(0, sim.Insert(kR0, env_->Card("pkcs15-model3.card").c_str()));
  CK_SESSION_HANDLE again = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &again));
  const std::vector<CK_OBJECT_HANDLE> second = FindAll(m, again);
  ASSERT_EQ(3u, second.size());
  for (CK_OBJECT_HANDLE h : second) EXPECT_GT(h, *std::max_element(first.begin(), first.end()));
  for (CK_OBJECT_HANDLE h : first) EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(again, h, &size));

  // Nor across C_Finalize and C_Initialize (two libraries sharing the module): the
  // session handle comes again, the kept object handles name nothing.
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &again));
  ASSERT_EQ(s, again);
  ASSERT_EQ(CKR_OK, LoginUser(m, s));
  const std::vector<CK_OBJECT_HANDLE> third = FindAll(m, s);
  for (CK_OBJECT_HANDLE h : {first[0], first[1], first[2], second[0], second[1], second[2]})
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_DestroyObject(s, h)) << h;
  EXPECT_EQ(third, FindAll(m, s));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST_F(ModuleObjects, CertificateFoundByAPaddedIdentifierAndQualifiedOnesAsked) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
  TestTemplate certs;
  certs.Ulong(CKA_CLASS, CKO_CERTIFICATE);
  const std::vector<CK_OBJECT_HANDLE> cert = Find(m, s, TT_ARGS(certs));
  ASSERT_EQ(1u, cert.size());
  const std::string id = Bytes(m, s, cert[0], CKA_ID);
  ASSERT_EQ(20u, id.size());
  // Some hosts ask with the identifier padded to 256 bytes: the card's 20 bytes answer.
  TestTemplate padded;
  padded.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bool(CKA_TOKEN, true).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .Bytes(CKA_ID, id + std::string(236, '\0'));
  EXPECT_EQ(cert, Find(m, s, TT_ARGS(padded)));
  // Padding in any other template shape is an identifier of its own.
  TestTemplate other;
  other.Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_ID, id + std::string(236, '\0'));
  EXPECT_TRUE(Find(m, s, TT_ARGS(other)).empty());
  // The card has no qualified part: no object is qualified.
  CK_BBOOL qualified = CK_TRUE;
  CK_ATTRIBUTE q = {CKA_MIRTAL_QUALIFIED_OBJECT, &qualified, 1};
  EXPECT_EQ(CKR_OK, m->C_GetAttributeValue(s, cert[0], &q, 1));
  EXPECT_EQ(CK_FALSE, qualified);
  TestTemplate onlyQualified;
  onlyQualified.Bool(CKA_MIRTAL_QUALIFIED_OBJECT, true);
  EXPECT_TRUE(Find(m, s, TT_ARGS(onlyQualified)).empty());
  // Of the public objects only the certificate answers the attribute at all.
  TestTemplate notQualified;
  notQualified.Bool(CKA_MIRTAL_QUALIFIED_OBJECT, false).Bool(CKA_TOKEN, true);
  EXPECT_EQ(cert, Find(m, s, TT_ARGS(notQualified)));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST(ModuleObjectsTwoTokens, PrivateSessionObjectsAreReachedOnlyFromTheirTokensLoggedInSessions) {
  SimEnv env(Readers{{kR0, "pkcs15-model3.card"}, {"CardSim Reader 1", "pkcs15-model3-two-apps.card"}});
  env.Config("");
  Module m;
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(CKR_OK, m->C_Initialize(nullptr));
  CK_SESSION_HANDLE user = 0, sameToken = 0, other = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &user));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &sameToken));
  ASSERT_EQ(CKR_OK, m->C_OpenSession(3, kRw, nullptr, nullptr, &other));  // the second reader's first token
  ASSERT_EQ(CKR_OK, LoginUser(m, user));
  TestTemplate secret = DataObject("secret"), open = DataObject("open");
  secret.Bool(CKA_PRIVATE, true);
  CK_OBJECT_HANDLE hs = 0, ho = 0;
  ASSERT_EQ(CKR_OK, m->C_CreateObject(user, TT_ARGS(secret), &hs));
  ASSERT_EQ(CKR_OK, m->C_CreateObject(user, TT_ARGS(open), &ho));
  TestTemplate sessionOnly;
  sessionOnly.Bool(CKA_TOKEN, false);

  // The other token's session, with nobody logged in there and then with its own user:
  // the private object is not there for it; the public one is.
  for (bool loggedIn : {false, true}) {
    SCOPED_TRACE(loggedIn ? "other token logged in" : "nobody logged in on the other token");
    if (loggedIn) {
      ASSERT_EQ(CKR_OK, LoginUser(m, other));
    }
    CK_ULONG size = 0;
    TestTemplate relabel;
    relabel.Bytes(CKA_LABEL, "taken");
    EXPECT_EQ("<" + std::to_string(CKR_OBJECT_HANDLE_INVALID) + ">", Label(m, other, hs));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_SetAttributeValue(other, hs, TT_ARGS(relabel)));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_GetObjectSize(other, hs, &size));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, m->C_DestroyObject(other, hs));
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{ho}, Find(m, other, TT_ARGS(sessionOnly)));
    EXPECT_EQ("open", Label(m, other, ho));
  }
  // Every session of its own token sees it while the user is logged in there.
  EXPECT_EQ("secret", Label(m, sameToken, hs));
  EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{hs, ho}), Find(m, sameToken, TT_ARGS(sessionOnly)));
  EXPECT_EQ(CKR_OK, m->C_DestroyObject(user, hs));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST_F(ModuleObjects, SearchesByAttributesNoObjectOfTheKindHasFindNothing) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, LoginUser(m, s));
  const std::vector<CK_OBJECT_HANDLE> all = FindAll(m, s);
  ASSERT_EQ(4u, all.size());  // public key, certificate, data object, private key
  CK_OBJECT_HANDLE key = 0;
  for (CK_OBJECT_HANDLE x : all)
    if (ClassOf(m, s, x) == CKO_PRIVATE_KEY) key = x;
  ASSERT_NE(0u, key);
  CK_OBJECT_HANDLE mine = 0;
  TestTemplate data = DataObject("session data");
  ASSERT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(data), &mine));

  struct Case {
    const char* what;
    TestTemplate t;
    std::vector<CK_OBJECT_HANDLE> found;
  };
  std::vector<Case> cases;
  cases.push_back({"an attribute type nobody defined", TestTemplate().Ulong(0x7FFF1234UL, 1), {}});
  cases.push_back({"a hardware feature's type", TestTemplate().Ulong(CKA_HW_FEATURE_TYPE, CKH_CLOCK), {}});
  cases.push_back({"a certificate's modulus",
                   TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE).Bytes(CKA_MODULUS, std::string(256, '\x11')), {}});
  cases.push_back({"a public key that signs", TestTemplate().Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Bool(CKA_SIGN, true), {}});
  cases.push_back({"a data object's identifier", TestTemplate().Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_ID, "\x01"), {}});
  // Attributes the token answers itself are compared with each object's answer.
  cases.push_back({"a derived attribute only private keys have",
                   TestTemplate().Bool(CKA_TOKEN, true).Bool(CKA_SECONDARY_AUTH, false), {key}});
  cases.push_back({"a derived attribute with another value", TestTemplate().Bool(CKA_SECONDARY_AUTH, true), {}});
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.found, Find(m, s, TT_ARGS(c.t)));
  }
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
}

TEST_F(ModuleObjects, TwoDifferentClassesInOneTemplateAreRefusedInEitherOrder) {
  ASSERT_NO_FATAL_FAILURE(Start("pkcs15-model3.card"));
  const Module& m = *m_;
  const std::string before = ReadFile(env_->Card("pkcs15-model3.card"));
  CK_SESSION_HANDLE s = 0;
  ASSERT_EQ(CKR_OK, m->C_OpenSession(0, kRw, nullptr, nullptr, &s));
  ASSERT_EQ(CKR_OK, LoginUser(m, s));
  for (bool dataFirst : {true, false}) {
    for (bool onToken : {false, true}) {
      SCOPED_TRACE(std::string(dataFirst ? "data first" : "certificate first") + (onToken ? ", card" : ", session"));
      TestTemplate t;
      t.Ulong(CKA_CLASS, dataFirst ? CKO_DATA : CKO_CERTIFICATE)
          .Ulong(CKA_CLASS, dataFirst ? CKO_CERTIFICATE : CKO_DATA)
          .Bool(CKA_TOKEN, onToken)
          .Bytes(CKA_LABEL, "two classes")
          .Bytes(CKA_VALUE, "value");
      CK_OBJECT_HANDLE h = 5;
      EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, m->C_CreateObject(s, TT_ARGS(t), &h));
      EXPECT_EQ(0u, h);
      // A search has no such answer: the value is wrong, and no search starts.
      EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, m->C_FindObjectsInit(s, TT_ARGS(t)));
      CK_ULONG n = 0;
      EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, m->C_FindObjects(s, nullptr, 0, &n));
    }
  }
  TestTemplate sameTwice;
  sameTwice.Ulong(CKA_CLASS, CKO_DATA).Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, false);
  CK_OBJECT_HANDLE h = 0;
  EXPECT_EQ(CKR_OK, m->C_CreateObject(s, TT_ARGS(sameTwice), &h));
  EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{h}, Find(m, s, TT_ARGS(sameTwice)));
  EXPECT_EQ(CKR_OK, m->C_Finalize(nullptr));
  EXPECT_EQ(before, ReadFile(env_->Card("pkcs15-model3.card")));
}
