// OpenSC's pkcs15-tool, another program that reads PKCS#15 directories, lists
// as many certificates and data objects as the module does on the same card
// after deletions: the shipped model-3 token once a certificate whose record is
// longer than one command came and the token's first certificate went, and a
// token made by C_InitToken (model 3) filled with data objects of 256 octets
// once one in the middle went. The module writes the images through the
// simulator; pkcs15-tool reads them through a pcscd of the test's own and vpcd
// (it lists at most 32 objects of a kind: so many of the full token's).
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/openssl_key.h"
#include "tests/pkcs11impl/pcscd_host.h"
#include "tests/pkcs11impl/token_rig.h"

using namespace testhost;

namespace {

constexpr const char* kPkcs15Tool = "/usr/bin/pkcs15-tool";

struct Counts {
  size_t certificates = 0, data = 0;
  bool operator==(const Counts& o) const { return certificates == o.certificates && data == o.data; }
};
void PrintTo(const Counts& c, std::ostream* os) { *os << c.certificates << " certificates, " << c.data << " data objects"; }

// What the module lists in a new process, the user logged in.
Counts ModuleCounts(tokenrig::Rig& rig) {
  const CK_SESSION_HANDLE h = rig.Restart();
  EXPECT_NE(0u, h);
  Counts c;
  c.certificates = modulecalls::Find(rig.m, h, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE)).size();
  c.data = modulecalls::Find(rig.m, h, TestTemplate().Ulong(CKA_CLASS, CKO_DATA)).size();
  return c;
}

// The entries pkcs15-tool lists in the reader; its output goes to `out`.
Counts ToolCounts(const std::string& conf, const char* reader, std::string* out) {
  out->clear();
  const std::string cmd = "OPENSC_CONF='" + conf + "' " + kPkcs15Tool + " -r '" + reader +
                          "' --list-certificates --list-data-objects 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out->append(buf, n);
  if (p != nullptr) pclose(p);
  Counts c;
  for (size_t at = 0; (at = out->find("X.509 Certificate [", at)) != std::string::npos; ++at) ++c.certificates;
  for (size_t at = 0; (at = out->find("Data object '", at)) != std::string::npos; ++at) ++c.data;
  return c;
}

TestTemplate DataObject(int n) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false);
  t.Bytes(CKA_LABEL, Fmt("data object %d", n)).Bytes(CKA_VALUE, std::string(256, static_cast<char>('a' + n % 26)));
  return t;
}

}  // namespace

TEST(OpenscLists, AsManyRecordsAsTheModuleAfterDeletions) {
  if (access(kPkcs15Tool, X_OK) != 0) GTEST_SKIP() << "OpenSC's pkcs15-tool is not installed";
  tokenrig::Rig rig("pkcs15-model3.card");
  // The shipped token: a certificate of long names and label, then the first one goes.
  CK_SESSION_HANDLE h = rig.Start(rig.Image());
  ASSERT_NE(0u, h);
  const std::vector<CK_OBJECT_HANDLE> shipped =
      modulecalls::Find(rig.m, h, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE));
  ASSERT_FALSE(shipped.empty());
  const Certificate cert = OpenSslCertificate("A user whose common name is long enough " + std::string(24, 'n'), 77);
  TestTemplate t = CertificateObject(cert, "An imported certificate with a label of seventy characters ..........", "\x77");
  CK_OBJECT_HANDLE obj = 0;
  ASSERT_EQ(CKR_OK, rig.m->C_CreateObject(h, TT_ARGS(t), &obj));
  ASSERT_EQ(CKR_OK, rig.m->C_DestroyObject(h, shipped.front()));
  Counts module[2];
  module[0] = ModuleCounts(rig);
  const std::string images[2] = {rig.env.Path("shipped.card"), rig.env.Path("full.card")};
  WriteFile(images[0], rig.Image());
  // A token of data objects of 256 octets until the card is full; then "data object 7" goes.
  h = rig.MakeToken(ReadFile(rig.env.Card("blank-model3.card")));
  ASSERT_NE(0u, h);
  CK_RV rv = CKR_OK;
  int made = 0;
  for (; made < 400 && (rv = rig.m->C_CreateObject(h, TT_ARGS(DataObject(made)), &obj)) == CKR_OK; ++made) {
  }
  ASSERT_EQ(CKR_DEVICE_MEMORY, rv) << made;
  const std::vector<CK_OBJECT_HANDLE> seventh =
      modulecalls::Find(rig.m, h, TestTemplate().Bytes(CKA_LABEL, "data object 7"));
  ASSERT_EQ(1u, seventh.size());
  ASSERT_EQ(CKR_OK, rig.m->C_DestroyObject(h, seventh[0]));
  module[1] = ModuleCounts(rig);
  EXPECT_EQ(static_cast<size_t>(made - 1), module[1].data);
  WriteFile(images[1], rig.Image());
  rig.Stop();

  // Both images in the readers of a pcscd of the test's own.
  MakeDirs(rig.env.Path("pcscd"));
  pcscdhost::Pcscd pcscd(rig.env.Path("pcscd"));
  if (!pcscd.Unavailable().empty()) GTEST_SKIP() << pcscd.Unavailable();
  if (!pcscd.StartDaemon()) GTEST_SKIP() << "pcscd could not start here";
  ASSERT_TRUE(pcscd.StartCards({images[0], images[1]})) << pcscd.Log();
  // The generic ISO 7816 driver: the simulated cards' answers to reset name no card OpenSC knows.
  const std::string conf = rig.env.Path("opensc.conf");
  WriteFile(conf, "app default {\n  card_drivers = default;\n  enable_default_driver = true;\n  framework pkcs15 { use_file_caching = no; }\n}\n");
  const char* const readers[2] = {pcscdhost::kReader0, pcscdhost::kReader1};
  for (int i = 0; i < 2; ++i) {
    std::string out;
    const Counts tool = ToolCounts(conf, readers[i], &out);
    std::printf("%s: the module lists %zu certificates and %zu data objects, pkcs15-tool %zu and %zu\n",
                i == 0 ? "shipped token" : "full token", module[i].certificates, module[i].data, tool.certificates,
                tool.data);
    // pkcs15-tool lists at most 32 objects of a kind.
    Counts expected{std::min<size_t>(module[i].certificates, 32), std::min<size_t>(module[i].data, 32)};
    EXPECT_EQ(expected, tool) << (i == 0 ? "shipped token" : "full token") << "\n" << out.substr(0, 1500);
  }
}
