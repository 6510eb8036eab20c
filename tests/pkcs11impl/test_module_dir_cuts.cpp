// Creating, renaming, destroying or changing a card object, or generating a key
// pair, rewrites the PKCS#15 directory that holds its records and the files
// they name. Whatever command of such a write the card is pulled after, goes
// mute after, is reset by another application after, or answers with an error,
// every directory of the card stays readable: whole records only, each one as
// before or as after the call, none lost that both hold, none twice, every file
// a record names there (a whole spare of a growing directory standing in its
// place). A reset or an error answer leaves the card as before when the call
// fails and as after when it answers CKR_OK (a refused write always fails it); a
// pull or a mute leaves at most the files the call made (one, or a generated key
// pair) unnamed, and, where a directory full to its end grows, its spare. Once
// the fault is undone, in the same process and after a restart, the token lists
// one object per record, every value reads whole (a changed one old or new),
// every private key signs what OpenSSL verifies with its public key, no private
// key of the call stands without its public key, and the token takes a new object
// (after a key pair, a new key pair and an imported key too: a key the cut left on
// the card is neither taken for free nor replaced).
//
// The commands of each write are counted in a run without faults, from the
// simulator's log; then each fault comes at each of them in turn.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/openssl_key.h"
#include "tests/pkcs11impl/token_check.h"
#include "tests/pkcs11impl/token_rig.h"
#include "tools/cardsim/cardsim.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;
using namespace cardimage;
using namespace tokencheck;
using namespace tokenrig;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kModel3 = "pkcs15-model3.card";
const char* const kUserPin = "1234";
const char* const kSoPin = "87654321";
const char* const kFirstRecordLabel = "Data object";  // the card's own data object

// The data objects made before each case, with labels and values of several
// lengths; the first of them is the directory's second record.
std::string SetupLabel(int i) {
  static const int kPad[] = {14, 30, 5, 44, 12, 25, 3, 37};
  return Fmt("Object %d ", i) + std::string(kPad[i], static_cast<char>('a' + i));
}
std::string SetupValue(int i) {
  static const int kLen[] = {7, 64, 3, 120, 18, 40, 1, 90};
  return std::string(kLen[i], static_cast<char>('0' + i));
}
constexpr int kSetupObjects = 8;

enum class Op {
  kCreate,
  kCreateCertificate,
  kRenameLonger,
  kRenameShorter,
  kDestroySecond,
  kDestroyFirst,
  kDestroyFirstCertificate,  // the card's own, before a client's certificate
  kChangeValue,  // a longer label and value of the first data object
  kGeneratePair  // RSA 1024, token objects
};
struct OpCase {
  Op op;
  const char* name;
  // A blank card is initialised first (user PIN 1234) and given a key pair; a token
  // written to size by an earlier version is used as it is (every write grows a
  // directory there).
  const char* card = kModel3;
  size_t value = 0;            // octets of the changed value; 0: as many as the old one, the label kept
  // The directories the write adds to cut to their records before it, so that they
  // grow: a pull may leave the spare of one unnamed too.
  bool fullDirectory = false;
  // A key pair's growth of the public-key directory is cut first, right after the
  // directory's deletion: its whole spare stands in its place. A call that fails
  // may leave the growth finished (the same records, the spare gone).
  bool afterCutGrowth = false;
  // Certificates as clients write them (subject, issuer, serial number, a long
  // label): their records are longer than one command. The set-up makes one, the
  // creation another, the rename renames it.
  bool clientCertificates = false;
  // A key pair's growth pulled right after its spare's CREATE FILE, twice: as many pairs fit as without.
  bool spareCutAtCreation = false;
  // The shipped token with three more certificates, a long one between two short
  // ones (its record longer than a command and than the free room the directory
  // has left); the write acts on the certificate of this label.
  const char* certificate = nullptr;
  // The card issuer's files stand at both places of the certificate directory's spare.
  bool noSpare = false;
  // What the write answers where it cannot be done safely (nothing changes then).
  CK_RV refused = CKR_OK;
  // The card made a model-2 one (no rules in its headers: no directory grows), the first directory the write
  // adds to exactly full; a fault comes at each command of the refused write too.
  bool model2 = false;
};
const char* const kShortCertificate = "first-short";
const char* const kLongCertificate = "Long certificate with a label of 45 characters";
const std::string kClientLabel = "Set-up certificate with a label of sixty characters .........";
// The same certificate in every run of the process (a write is compared octet for octet).
TestTemplate ClientCertificate(const std::string& label, uint64_t serial) {
  static std::map<uint64_t, Certificate> made;
  if (!made.count(serial))
    made[serial] = OpenSslCertificate("Client certificate " + std::to_string(serial) + std::string(40, 'c'), serial);
  return CertificateObject(made[serial], label, std::string(1, static_cast<char>('0' + serial)));
}
bool WrittenToSize(const OpCase& c) { return std::string(c.card).compare(0, 15, "written-to-size") == 0; }
// The kinds (ODF tags) of the directories a write adds records to.
std::vector<uint8_t> KindsWritten(Op op) {
  return op == Op::kGeneratePair ? std::vector<uint8_t>{0xA0, 0xA1}
         : op == Op::kCreateCertificate ? std::vector<uint8_t>{0xA4}
                                        : std::vector<uint8_t>{0xA7};
}
void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }

TestTemplate DataObject(const std::string& label, const std::string& value) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, false);
  t.Bytes(CKA_LABEL, label).Bytes(CKA_APPLICATION, "cuts").Bytes(CKA_VALUE, value);
  return t;
}

std::vector<CK_OBJECT_HANDLE> DataLabelled(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, const std::string& label,
                                           CK_RV* rv) {
  TestTemplate t;
  t.Ulong(CKA_CLASS, CKO_DATA).Bytes(CKA_LABEL, label);
  std::vector<CK_OBJECT_HANDLE> out;
  *rv = FindAll(f, s, t, &out);
  return out;
}

ValueChange ChangeOf(const OpCase& c, const std::string& label, const std::string& value) {
  ValueChange v;
  v.oldLabel = label;
  v.oldValue = value;
  v.newLabel = c.value == 0 ? label : "Changed label of forty-four characters ......";
  v.newLabel.resize(c.value == 0 ? label.size() : 44, '.');
  v.newValue.resize(c.value == 0 ? value.size() : c.value);
  for (size_t i = 0; i < v.newValue.size(); ++i) v.newValue[i] = static_cast<char>('A' + i % 26);
  return v;
}

// The object a write works on; invalid for a creation or a generation.
CK_OBJECT_HANDLE Target(Rig& rig, CK_SESSION_HANDLE s, const OpCase& c) {
  const Op op = c.op;
  if (op == Op::kCreate || op == Op::kCreateCertificate || op == Op::kGeneratePair) return CK_INVALID_HANDLE;
  CK_RV rv;
  if (c.clientCertificates || c.certificate) {
    TestTemplate t;
    t.Ulong(CKA_CLASS, CKO_CERTIFICATE)
        .Bytes(CKA_LABEL, c.certificate                            ? c.certificate
                          : op == Op::kDestroyFirstCertificate ? "Certificate"
                                                               : kClientLabel);
    std::vector<CK_OBJECT_HANDLE> out;
    return FindAll(rig.m.list(), s, t, &out) == CKR_OK && out.size() == 1 ? out[0] : CK_INVALID_HANDLE;
  }
  std::vector<CK_OBJECT_HANDLE> found =
      DataLabelled(rig.m.list(), s, op == Op::kRenameLonger || op == Op::kRenameShorter || op == Op::kDestroySecond
                                        ? SetupLabel(0)
                                        : kFirstRecordLabel,
                   &rv);
  if (op == Op::kChangeValue && rv == CKR_OK && found.empty()) found = DataLabelled(rig.m.list(), s, SetupLabel(0), &rv);
  return rv == CKR_OK && found.size() == 1 ? found.front() : CK_INVALID_HANDLE;
}

CK_RV DoOp(Rig& rig, CK_SESSION_HANDLE s, const OpCase& c, CK_OBJECT_HANDLE target, const ValueChange& change) {
  CK_FUNCTION_LIST* f = rig.m.list();
  switch (c.op) {
    case Op::kCreate: {
      TestTemplate t = DataObject("One more object", "more");
      CK_OBJECT_HANDLE h = 0;
      return f->C_CreateObject(s, TT_ARGS(t), &h);
    }
    case Op::kRenameLonger:
    case Op::kRenameShorter: {
      TestTemplate t;
      if (c.certificate) {
        t.Bytes(CKA_LABEL, c.op == Op::kRenameLonger ? std::string(60, 'R') : "L");
        return f->C_SetAttributeValue(s, target, TT_ARGS(t));
      }
      if (c.clientCertificates) {
        t.Bytes(CKA_LABEL, std::string(64, 'R'));
        return f->C_SetAttributeValue(s, target, TT_ARGS(t));
      }
      t.Bytes(CKA_LABEL, c.op == Op::kRenameLonger ? SetupLabel(0) + std::string(40, '+') : "Short");
      return f->C_SetAttributeValue(s, target, TT_ARGS(t));
    }
    case Op::kChangeValue: {
      TestTemplate t;
      if (change.newLabel != change.oldLabel) t.Bytes(CKA_LABEL, change.newLabel);
      t.Bytes(CKA_VALUE, change.newValue);
      return f->C_SetAttributeValue(s, target, TT_ARGS(t));
    }
    case Op::kCreateCertificate: {
      CK_OBJECT_HANDLE h = 0;
      if (c.clientCertificates) {
        TestTemplate t = ClientCertificate(std::string(64, 'C'), 2);
        return f->C_CreateObject(s, TT_ARGS(t), &h);
      }
      const testsupport::Bytes der = testsupport::ReadDataFile("label-cn.der");
      TestTemplate t;
      t.Ulong(CKA_CLASS, CKO_CERTIFICATE).Ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).Bool(CKA_TOKEN, true);
      t.Bytes(CKA_LABEL, "One more certificate").Bytes(CKA_ID, "\x0c").Bytes(CKA_SUBJECT, std::string("\x30\x00", 2));
      t.Bytes(CKA_VALUE, std::string(der.begin(), der.end()));
      return f->C_CreateObject(s, TT_ARGS(t), &h);
    }
    case Op::kGeneratePair:
      return GeneratePair(f, s, "Pair", {0x0a, 0x0b});
    default:
      return f->C_DestroyObject(s, target);
  }
}

using RecordSet = std::set<std::pair<std::string, std::vector<uint8_t>>>;  // directory, octets

// The directories before and after a write.
struct Bounds {
  RecordSet before, after;
  size_t fewest = 0, most = 0;  // object records
  // What the token held before the write: directories the ODF names before their
  // first record (a token made by C_InitToken), files of the card no record names.
  std::set<std::string> missing, orphans;
  Bounds(const DirectoryCheck& b, const DirectoryCheck& a)
      : fewest(std::min(b.objectRecords, a.objectRecords)),
        most(std::max(b.objectRecords, a.objectRecords)),
        missing(b.missing.begin(), b.missing.end()),
        orphans(b.orphans.begin(), b.orphans.end()) {
    for (const DirectoryRecord& r : b.whole) before.insert({r.dir, r.octets});
    for (const DirectoryRecord& r : a.whole) after.insert({r.dir, r.octets});
  }
};

// Object records that stand a second time in their directory (a move a cut broke off).
size_t Twice(const DirectoryCheck& c) {
  RecordSet seen;
  size_t n = 0;
  for (const DirectoryRecord& r : c.whole)
    if (r.kind != 0xA8 && !seen.insert({r.dir, r.octets}).second) ++n;
  return n;
}

// What is wrong with the directories of an image, given those before and after the
// write; after a cut one record may stand twice (the module takes it once).
std::vector<std::string> DirectoryProblems(const DirectoryCheck& c, const Bounds& bounds, bool cut = false) {
  const RecordSet& before = bounds.before;
  const RecordSet& after = bounds.after;
  std::vector<std::string> out;
  for (const std::string& t : c.torn) out.push_back("octets that are no whole record: " + t);
  for (const std::string& m : c.missing)
    if (!bounds.missing.count(m)) out.push_back("a record names a missing file: " + m);
  for (const std::string& m : c.missingInTorn) out.push_back("a record names a missing file: " + m);
  RecordSet seen;
  std::set<std::string> namedByObjects;
  for (const DirectoryRecord& r : c.whole) {
    const std::string where = Fmt("%s at %zu", r.dir.c_str(), r.offset);
    const auto key = std::make_pair(r.dir, r.octets);
    if (!seen.insert(key).second) {
      if (!cut || Twice(c) > 1) out.push_back("a record twice: " + where);
      continue;
    }
    if (before.count(key) == 0 && after.count(key) == 0)
      out.push_back("a record that is neither as before nor as after: " + where);
    if (r.kind == 0xA8) continue;
    for (const std::string& p : r.paths)
      if (!c.dfs.count(p) && !namedByObjects.insert(p).second) out.push_back("two records name " + p + ": " + where);
  }
  for (const auto& r : before)
    if (after.count(r) && !seen.count(r)) out.push_back("a record lost from " + r.first);
  const size_t objects = c.objectRecords - Twice(c);
  if (objects < bounds.fewest || objects > bounds.most)
    out.push_back(bounds.fewest == bounds.most
                      ? Fmt("%zu object records where the write leaves %zu", objects, bounds.most)
                      : Fmt("%zu object records where the write leaves %zu or %zu", objects, bounds.fewest,
                            bounds.most));
  return out;
}


class DirectoryCuts : public ::testing::TestWithParam<OpCase> {};

}  // namespace

TEST_P(DirectoryCuts, DirectoriesHoldWholeRecordsWhateverCommandTheCardFailsAfter) {
  const OpCase& c = GetParam();
  const Op op = c.op;
  Rig rig(c.card);
  ASSERT_TRUE(rig.sim.ok());
  ASSERT_TRUE(rig.m.ok()) << rig.m.error();
  CK_FUNCTION_LIST* const f = rig.m.list();
  const std::string original = rig.Image();

  // The set-up: a blank card becomes a token with a key pair; then more than two
  // UPDATE BINARY commands' worth of data-object records. A token written to size
  // stays as it is.
  if (!WrittenToSize(c)) {
    CK_SESSION_HANDLE s = 0;
    if (std::string(c.card).compare(0, 6, "blank-") == 0) {
      (void)rig.Start(original, false);
      ASSERT_TRUE(rig.started);
      std::string label(32, ' ');
      label.replace(0, 4, "Cuts");
      CK_UTF8CHAR_PTR so = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kSoPin));
      ASSERT_EQ(CKR_OK, f->C_InitToken(0, so, 8, reinterpret_cast<CK_UTF8CHAR_PTR>(&label[0])));
      ASSERT_EQ(CKR_OK, f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
      ASSERT_EQ(CKR_OK, f->C_Login(s, CKU_SO, so, 8));
      ASSERT_EQ(CKR_OK, f->C_InitPIN(s, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kUserPin)), 4));
      ASSERT_EQ(CKR_OK, f->C_CloseAllSessions(0));
      s = rig.User();
      ASSERT_NE(0u, s);
      ASSERT_EQ(CKR_OK, GeneratePair(f, s, "Set-up key", {0x01}));
    } else {
      s = rig.Start(original);
    }
    ASSERT_NE(0u, s);
    for (int i = 0; i < kSetupObjects; ++i) {
      TestTemplate t = DataObject(SetupLabel(i), SetupValue(i));
      CK_OBJECT_HANDLE h = 0;
      ASSERT_EQ(CKR_OK, rig.m->C_CreateObject(s, TT_ARGS(t), &h)) << i;
    }
    if (c.clientCertificates) {
      TestTemplate t = ClientCertificate(kClientLabel, 1);
      CK_OBJECT_HANDLE h = 0;
      ASSERT_EQ(CKR_OK, rig.m->C_CreateObject(s, TT_ARGS(t), &h));
    }
    if (c.certificate) {
      for (const char* label : {kShortCertificate, kLongCertificate, "short-after"}) {
        // Subject and issuer of some 160 octets each in the long one's record.
        const bool isLong = label == kLongCertificate;
        static const std::map<bool, Certificate> made = {
            {false, OpenSslCertificate("Short", 8)},
            {true, OpenSslCertificate(std::string(64, 'n'), 7, 1024, std::string(64, 'u'))}};
        TestTemplate t = CertificateObject(made.at(isLong), label, isLong ? "7" : "8");
        CK_OBJECT_HANDLE h = 0;
        ASSERT_EQ(CKR_OK, rig.m->C_CreateObject(s, TT_ARGS(t), &h)) << label;
      }
    }
  }
  // The user may delete those directories here (the shipped card leaves it to the
  // SO): they can grow.
  if (c.certificate) {
    // The shipped certificate directory (1024 octets) has less free room than the long record.
    size_t all = 0, longest = 0;
    for (const DirectoryRecord& r : CheckDirectories(rig.CardPath()).whole)
      if (r.kind == 0xA4) all += r.octets.size(), longest = std::max(longest, r.octets.size());
    ASSERT_GT(longest, 255u);
    ASSERT_GT(longest, 1024 - all);
  }
  std::string setup = rig.Image();
  if (c.model2) {  // the model in the image, and in the ATR's name and check byte
    setup = ExactlyFull(setup, KindsWritten(op).front());
    setup.replace(setup.find("\nmodel 3\n"), 9, "\nmodel 2\n").replace(setup.find("2D33830F900096"), 14, "2D32830F900097");
  }
  if (c.noSpare)
    for (const char* place : {"C404", "8404"})
      setup += Fmt("ef 3F00/5015/%s lcs=05 size=4 ac=read:always,update:pin:04,delete:pin:04 data=49535355\n", place);
  if (c.fullDirectory)
    for (uint8_t kind : KindsWritten(op)) setup = ExactlyFull(setup, kind, c.card == kModel3 ? "delete:pin:81" : "");
  if (c.fullDirectory && c.card == kModel3) {
    ASSERT_NE(rig.Image(), setup);
    // Where only the SO may delete it, the full directory cannot grow: the creation
    // fails for want of room on the card, and nothing changes.
    // So with the ODF written to size without the data objects' directory: the
    // first data object would make the ODF grow, which the SO alone may delete.
    const std::string soOnly = ExactlyFull(rig.Image(), 0xA7);
    const std::string odfOnly = WithoutDirectory(rig.Image(), 0xA7);
    for (const std::string& image : {odfOnly, soOnly}) {
      const CK_SESSION_HANDLE s = rig.Start(image);
      ASSERT_NE(0u, s);
      TestTemplate t = DataObject("One more object", "more");
      CK_OBJECT_HANDLE h = 0;
      EXPECT_EQ(CKR_DEVICE_MEMORY, f->C_CreateObject(s, TT_ARGS(t), &h));
      EXPECT_EQ(image, rig.Image());
    }
  }
  std::string takenUp;
  const auto afterCommands =
      reinterpret_cast<int (*)(const char*, unsigned, int, int)>(dlsym(rig.sim.handle, "CardSimAfterCommands"));
  const auto pairsThatFit = [&](const std::string& image) {  // until the card is full, in one process
    CK_RV rv = CKR_OK;
    int n = 0;
    for (const CK_SESSION_HANDLE s = rig.Start(image); s && n < 400 && (rv = GeneratePair(f, s, Fmt("Fill %d", n), {0x20, static_cast<CK_BYTE>(n)})) == CKR_OK;) ++n;
    return rv == CKR_DEVICE_MEMORY ? n : -1;
  };
  if (c.spareCutAtCreation) {
    const int fit = pairsThatFit(setup);
    for (int cut = 0; cut < 2; ++cut) {
      // The spare's CREATE FILE among the call's, counted in a run without faults.
      CK_SESSION_HANDLE s = rig.Start(setup);
      ASSERT_EQ(0, rig.sim.ClearLog(kR0));
      ASSERT_EQ(CKR_OK, GeneratePair(f, s, "Counted", {0x0c}));
      int creations = 0, skip = -1;  // the creations before the spare's
      for (const std::string& cmd : Commands(rig.sim.ApduLog(kR0)))
        if (cmd.compare(2, 2, "E0") == 0 && skip < 0 && ++creations)
          if (cmd.find("8302D400") != std::string::npos || cmd.find("83029400") != std::string::npos) skip = creations - 1;
      ASSERT_LE(0, skip) << "no spare made";
      s = rig.Start(setup);
      ASSERT_EQ(0, afterCommands(kR0, 0xE0, CARDSIM_AFTER_REMOVE, skip));
      EXPECT_NE(CKR_OK, GeneratePair(f, s, "Cut", {0x0c}));
      ASSERT_TRUE(UndoFault(rig.sim, Fault::kPull, rig.CardPath()));
      setup = rig.Image();
      ASSERT_TRUE(setup.find("/5000/D400 ") != std::string::npos || setup.find("/5000/9400 ") != std::string::npos);
    }
    EXPECT_GE(pairsThatFit(setup), fit - 1) << fit << " without the cuts, whose two keys take room too";
  }
  if (c.afterCutGrowth) {
    CK_SESSION_HANDLE s = rig.Start(setup);
    ASSERT_NE(0u, s);
    ASSERT_EQ(0, afterCommands(kR0, 0xE4, CARDSIM_AFTER_REMOVE, 0));
    EXPECT_NE(CKR_OK, GeneratePair(f, s, "Cut", {0x0c}));
    ASSERT_EQ(0, rig.sim.AfterCommand(kR0, 0x100, CARDSIM_AFTER_NOTHING));
    ASSERT_EQ(0, rig.sim.Insert(kR0, rig.CardPath().c_str()));
    setup = rig.Image();
    std::string spare;
    ASSERT_NE(nullptr, RecordsOf(ReadImage(rig.CardPath()), "3F00501550005400", &spare)) << setup;
    ASSERT_EQ("3F0050155000D400", spare) << setup;
  }
  if (c.afterCutGrowth || c.spareCutAtCreation) {
    // What a call that writes the grown directory, finishing the growth (or taking
    // the spare away), and nothing else leaves.
    const CK_SESSION_HANDLE s = rig.Start(setup);
    TestTemplate pub;
    pub.Ulong(CKA_CLASS, CKO_PUBLIC_KEY);
    std::vector<CK_OBJECT_HANDLE> keys;
    ASSERT_EQ(CKR_OK, FindAll(f, s, pub, &keys));
    ASSERT_FALSE(keys.empty());
    std::string label;
    ASSERT_EQ(CKR_OK, Attribute(f, s, keys[0], CKA_LABEL, &label));
    TestTemplate same;
    same.Bytes(CKA_LABEL, label);
    ASSERT_EQ(CKR_OK, f->C_SetAttributeValue(s, keys[0], TT_ARGS(same)));
    takenUp = Comparable(rig.Image());
    ASSERT_NE(Comparable(setup), takenUp);
    ASSERT_EQ("", Join(DirectoryProblems(CheckDirectories(rig.CardPath()), Bounds(CheckDirectories(rig.CardPath()),
                                                                                  CheckDirectories(rig.CardPath())))));
  }
  size_t dataRecordOctets = 0;
  for (const DirectoryRecord& r : CheckDirectories(rig.CardPath()).whole)
    if (r.kind == 0xA7) dataRecordOctets += r.octets.size();  // the data-object directory
  const std::set<std::string> setupFiles = ReadImage(rig.CardPath()).files;
  // Beside the shipped token's own data object; a token made here has none.
  if (!WrittenToSize(c)) {
    ASSERT_GT(dataRecordOctets, c.card == kModel3 ? 2u * 255u : 255u)
        << Join(std::vector<std::string>(setupFiles.begin(), setupFiles.end()));
  }

  // The write without a fault: its commands, and the images before and after it.
  std::string before, after, cleanLog;
  size_t objectsBefore = 0, objectsAfter = 0;
  std::set<std::string> afterFiles;
  std::unique_ptr<Bounds> bounds;
  ValueChange change;
  const ValueChange* const changed = op == Op::kChangeValue ? &change : nullptr;
  std::set<std::string> loneBefore;  // private keys without a public key
  {
    CK_SESSION_HANDLE s = rig.Start(setup);
    ASSERT_NE(0u, s);
    CK_OBJECT_HANDLE target = Target(rig, s, c);
    ASSERT_TRUE(op == Op::kCreate || op == Op::kCreateCertificate || op == Op::kGeneratePair || target != CK_INVALID_HANDLE);
    if (changed) {
      std::string label, value;
      ASSERT_EQ(CKR_OK, Attribute(f, s, target, CKA_LABEL, &label));
      ASSERT_EQ(CKR_OK, Attribute(f, s, target, CKA_VALUE, &value));
      change = ChangeOf(c, label, value);
      ASSERT_NE(change.oldValue, change.newValue);
    }
    EXPECT_EQ("", Join(TokenProblems(f, s, changed, &loneBefore)));
    // Inserted anew, as in every case below: the write's commands are those of a
    // token that has read no value yet.
    s = rig.Start(setup);
    ASSERT_NE(0u, s);
    target = Target(rig, s, c);
    before = rig.Image();
    const DirectoryCheck b = CheckDirectories(rig.CardPath());
    ASSERT_EQ(0, rig.sim.ClearLog(kR0));
    ASSERT_EQ(c.refused, DoOp(rig, s, c, target, change));
    cleanLog = rig.sim.ApduLog(kR0);
    if (c.refused != CKR_OK) {  // found out before a command that writes
      EXPECT_EQ(before, rig.Image());
      for (const std::string& cmd : Commands(cleanLog))
        EXPECT_EQ(std::string::npos, std::string(" D6 D0 DA DB E0 E4 0E 46 44 ").find(" " + cmd.substr(2, 2) + " ")) << cmd;
      if (!c.model2) return;
    }
    after = rig.Image();
    const DirectoryCheck a = CheckDirectories(rig.CardPath());
    bounds = std::make_unique<Bounds>(b, a);
    objectsBefore = b.objectRecords;
    objectsAfter = a.objectRecords;
    afterFiles = ReadImage(rig.CardPath()).files;
    EXPECT_EQ("", Join(DirectoryProblems(b, Bounds(b, b))));
    Bounds asAfter(a, a);
    asAfter.missing = bounds->missing;
    EXPECT_EQ("", Join(DirectoryProblems(a, asAfter)));
    // Without a spare a record longer than the free room stays where it stands.
    EXPECT_EQ("", Unpacked(b) + (c.noSpare ? "" : Unpacked(a)));
    // A key that its record names by reference only is a file no record names.
    if (op != Op::kGeneratePair) {
      ASSERT_EQ(Join(b.orphans), Join(a.orphans));
    }
    bounds->orphans.insert(a.orphans.begin(), a.orphans.end());
    ASSERT_EQ(c.refused != CKR_OK, before == after);
    std::set<std::string> loneAfter;
    EXPECT_EQ("", Join(TokenProblems(f, s, changed, &loneAfter)));
    EXPECT_EQ(loneBefore, loneAfter);
  }
  const std::vector<std::string> commands = Commands(cleanLog);
  ASSERT_FALSE(commands.empty());
  if (op == Op::kChangeValue && c.value == 0) {
    // A value that one command carries is written in place, in its own file: the
    // token's rules asked (3 SELECTs), the first write's look for the spares of the
    // directories not read (3), the directory read whole to check the record (6),
    // the file selected and written (2).
    EXPECT_NE(std::string::npos, after.find("ef 3F00/5015/5701 ")) << "the value stays in its file";
    EXPECT_LE(commands.size(), 14u) << Join(commands);
  }
  const std::string beforeImage = Comparable(before), afterImage = Comparable(after);

  std::vector<std::vector<CK_BYTE>> parts = OpenSslRsaKey(1024);
  ASSERT_EQ(8u, parts.size());
  CK_OBJECT_CLASS prvClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  std::vector<CK_ATTRIBUTE> imported = WithRsaKeyParts(
      {{CKA_CLASS, &prvClass, sizeof prvClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa}, {CKA_TOKEN, &yes, 1},
       {CKA_SIGN, &yes, 1}},
      parts);
  int cases = 0, failed = 0;
  std::string failedBy;
  for (Fault fault : kFaults) {
    int failedHere = 0;
    for (int k = 0; k < static_cast<int>(commands.size()); ++k) {
      ++cases;
      const std::string where =
          Fmt("%s command %d of %zu (%s)", FaultName(fault), k + 1, commands.size(), CommandName(commands[k]).c_str());
      std::vector<std::string> problems;
      CK_SESSION_HANDLE s = rig.Start(setup);
      ASSERT_NE(0u, s) << where;
      const std::vector<std::string> held = rig.sim.VerifiedPins(kR0);  // by the user's login
      const CK_OBJECT_HANDLE target = Target(rig, s, c);
      ASSERT_EQ(0, rig.sim.ClearLog(kR0));
      ASSERT_TRUE(ArmFault(rig.sim, fault, k));
      const CK_RV rv = DoOp(rig, s, c, target, change);
      const std::string log = rig.sim.ApduLog(kR0);
      const std::string left = LeftToAnotherProgram(rig.sim, kR0, held);
      if (!left.empty()) problems.push_back("left to another program: " + left);
      if (log.find(FaultMark(fault)) == std::string::npos) problems.push_back("the fault never came");
      ASSERT_TRUE(UndoFault(rig.sim, fault, rig.CardPath()));
      (void)rig.m->C_CloseAllSessions(0);
      s = rig.User();
      if (s == 0) problems.push_back("no user session afterwards");

      // The token's first look at the card, then the card as it is.
      std::vector<CK_OBJECT_HANDLE> all;
      CK_RV frv = s != 0 ? FindAll(f, s, TestTemplate(), &all) : CKR_SESSION_HANDLE_INVALID;
      const std::string image = Comparable(rig.Image());
      const DirectoryCheck dc = CheckDirectories(rig.CardPath());
      for (const std::string& p : DirectoryProblems(dc, *bounds, true)) problems.push_back(p);
      // A generated key differs from run to run: its pair stands as after the
      // write where the card holds the same files and records as then.
      const bool asBefore = image == beforeImage || image == takenUp,
                 asAfter = op == Op::kGeneratePair
                               ? ReadImage(rig.CardPath()).files == afterFiles && dc.objectRecords == objectsAfter
                               : image == afterImage;
      const char* const neither = "the card is neither as before nor as after the write";
      // A refused write fails the call; a refused read the call can do without
      // (one of the lookups for a free file) may let it finish. Either way the
      // answer says what the card holds.
      const std::string ins = commands[k].substr(2, 2);
      const bool refusedWrite = fault == Fault::kErrorAnswer && (ins == "D6" || ins == "E0" || ins == "E4" || ins == "0E");
      if (refusedWrite && rv == CKR_OK) problems.push_back("the call answered CKR_OK to a refused write");
      if (rv == CKR_OK) {
        if (!asAfter) problems.push_back("CKR_OK, but the card is not as after the write");
      } else if ((fault == Fault::kReset || fault == Fault::kErrorAnswer) && !asBefore) {
        problems.push_back(asAfter ? "the call failed, but the card holds the write" : neither);
      }
      // What the call made before its record was written: a file, or a generated key pair.
      const size_t orphansAllowed = fault == Fault::kPull || fault == Fault::kMute
                                        ? (op == Op::kGeneratePair ? 2 : 1) +
                                              (c.fullDirectory || WrittenToSize(c) || c.clientCertificates ? 1 : 0)
                                        : 0;
      std::vector<std::string> orphans;
      for (const std::string& o : dc.orphans)
        if (!bounds->orphans.count(o)) orphans.push_back(o);
      if (orphans.size() > orphansAllowed) problems.push_back("files that no record names: " + Join(orphans));
      // Every spare's mark is one the versions since spares began read: path and digest.
      for (size_t at = image.find(" data=FE"); at != std::string::npos; at = image.find(" data=FE", at + 1)) {
        const std::vector<uint8_t> m = testsupport::FromHex(image.substr(at + 6, 8));
        if (m[2] == 0x80 && m[1] != m[3] + 24) problems.push_back("a spare's mark earlier versions do not read");
      }

      // The token in this process, then in a new one.
      for (int round = 0; round < 2; ++round) {
        const char* const when = round == 0 ? "" : "after a restart: ";
        if (round == 1) {
          s = rig.Restart();
          if (s == 0) problems.push_back("no user session after a restart");
          frv = s != 0 ? FindAll(f, s, TestTemplate(), &all) : CKR_SESSION_HANDLE_INVALID;
        }
        if (s == 0) continue;
        if (frv != CKR_OK)
          problems.push_back(Fmt("%sthe search answers 0x%lx", when, frv));
        else if (all.size() != dc.objectRecords - Twice(dc))
          problems.push_back(Fmt("%s%zu objects listed for %zu records", when, all.size(), dc.objectRecords - Twice(dc)));
        std::set<std::string> lone;
        for (const std::string& p : TokenProblems(f, s, changed, &lone)) problems.push_back(when + p);
        for (const std::string& id : lone)
          if (!loneBefore.count(id)) problems.push_back(Fmt("%sthe private key %s has no public key", when, id.c_str()));
      }
      if (s != 0) {
        TestTemplate t = DataObject("Next", "next");
        CK_OBJECT_HANDLE h = 0;
        const CK_RV crv = rig.m->C_CreateObject(s, TT_ARGS(t), &h);
        const size_t listed = DataLabelled(f, s, "Next", &frv).size();
        if (crv != CKR_OK || frv != CKR_OK || listed != 1)
          problems.push_back(Fmt("the next creation answers 0x%lx and is listed %zu times", crv, listed));
        // The directory it wrote packed again, whatever the cut left there.
        const DirectoryCheck next = CheckDirectories(rig.CardPath());
        for (const DirectoryRecord& r : next.whole)
          if (r.kind == 0xA7 && next.unpacked.count(r.dir)) {
            problems.push_back("the next creation leaves records a strict reader does not all find: " + r.dir);
            break;
          }
        if (op == Op::kGeneratePair) {
          const CK_RV grv = GeneratePair(f, s, "Next pair", {0x0c});
          const CK_RV irv = rig.m->C_CreateObject(s, imported.data(), imported.size(), &h);
          if (grv != c.refused || irv != c.refused)
            problems.push_back(Fmt("the next key pair answers 0x%lx, the next imported key 0x%lx", grv, irv));
          for (const std::string& p : TokenProblems(f, s, nullptr, nullptr)) problems.push_back("then " + p);
        }
        // A spare a cut left (whole, torn or never written) is gone with that call.
        const std::string now = rig.Image();
        if (WithoutMarkedFiles(now) != now || now.find(" lcs=07 ") != std::string::npos) problems.push_back("a spare stays");
      }
      if (!problems.empty()) {
        ++failed;
        ++failedHere;
        ADD_FAILURE() << where << ": call 0x" << std::hex << rv << ": " << Join(problems);
      }
    }
    if (failedHere) failedBy += Fmt(" %s %d", FaultName(fault), failedHere);
  }
  std::printf("%s: %zu commands, %zu object records before; %d cases, %d failed%s\n", c.name, commands.size(),
              objectsBefore, cases, failed, failedBy.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    ObjectWrites, DirectoryCuts,
    ::testing::Values(OpCase{Op::kCreate, "CreateOneMore"},
                      OpCase{Op::kCreate, "CreateInAnExactlyFullDirectory", kModel3, 0, true},
                      OpCase{Op::kRenameLonger, "RenameToALongerLabel"},
                      OpCase{Op::kRenameShorter, "RenameToAShorterLabel"},
                      OpCase{Op::kDestroySecond, "DestroyTheSecondRecord"},
                      OpCase{Op::kDestroyFirst, "DestroyTheFirstRecord"},
                      // The card's own data object (file 5701) gets a value of another size.
                      OpCase{Op::kChangeValue, "ChangeTheValueOnModel3", kModel3, 200},
                      OpCase{Op::kChangeValue, "ChangeToAValueLongerThanACommandOnModel3", kModel3, 600},
                      OpCase{Op::kChangeValue, "ChangeToAValueOfTheSameLengthOnModel3", kModel3, 0},
                      OpCase{Op::kChangeValue, "ChangeTheValueOnModel1", "blank-model1.card", 300},
                      OpCase{Op::kChangeValue, "ChangeTheValueOnModel4", "blank-model4.card", 300},
                      OpCase{Op::kChangeValue, "ChangeTheValueOnModel7", "blank-model7.card", 300},
                      OpCase{Op::kGeneratePair, "GenerateAKeyPairOnModel3", kModel3},
                      OpCase{Op::kGeneratePair, "GenerateAKeyPairOnModel1", "blank-model1.card"},
                      OpCase{Op::kGeneratePair, "GenerateAKeyPairOnModel4", "blank-model4.card"},
                      OpCase{Op::kGeneratePair, "GenerateAKeyPairOnModel7", "blank-model7.card"},
                      // The first certificate of a token made by C_InitToken makes its directory.
                      OpCase{Op::kCreateCertificate, "CreateTheFirstCertificateOnModel1", "blank-model1.card"},
                      OpCase{Op::kCreateCertificate, "CreateTheFirstCertificateOnModel3", "blank-model3.card"},
                      OpCase{Op::kCreateCertificate, "CreateTheFirstCertificateOnModel4", "blank-model4.card"},
                      OpCase{Op::kCreateCertificate, "CreateTheFirstCertificateOnModel7", "blank-model7.card"},
                      // Directories that grow: written to size by an earlier version, or full.
                      OpCase{Op::kCreateCertificate, "GrowADirectoryWrittenToSizeOnModel1", "written-to-size-model1.card"},
                      OpCase{Op::kCreateCertificate, "GrowADirectoryWrittenToSizeOnModel3", "written-to-size-model3.card"},
                      OpCase{Op::kCreateCertificate, "GrowADirectoryWrittenToSizeOnModel4", "written-to-size-model4.card"},
                      OpCase{Op::kCreateCertificate, "GrowADirectoryWrittenToSizeOnModel7", "written-to-size-model7.card"},
                      OpCase{Op::kGeneratePair, "GrowKeyDirectoriesWrittenToSizeOnModel1", "written-to-size-model1.card"},
                      OpCase{Op::kGeneratePair, "GrowKeyDirectoriesWrittenToSizeOnModel3", "written-to-size-model3.card"},
                      OpCase{Op::kGeneratePair, "GrowKeyDirectoriesWrittenToSizeOnModel4", "written-to-size-model4.card"},
                      OpCase{Op::kGeneratePair, "GrowKeyDirectoriesWrittenToSizeOnModel7", "written-to-size-model7.card"},
                      OpCase{Op::kCreate, "GrowAFullDirectoryOnModel1", "blank-model1.card", 0, true},
                      OpCase{Op::kCreate, "GrowAFullDirectoryOnModel3", "blank-model3.card", 0, true},
                      OpCase{Op::kCreate, "GrowAFullDirectoryOnModel4", "blank-model4.card", 0, true},
                      OpCase{Op::kCreate, "GrowAFullDirectoryOnModel7", "blank-model7.card", 0, true},
                      OpCase{Op::kGeneratePair, "GrowFullKeyDirectoriesOnModel1", "blank-model1.card", 0, true},
                      OpCase{Op::kGeneratePair, "GrowFullKeyDirectoriesOnModel3", "blank-model3.card", 0, true},
                      OpCase{Op::kGeneratePair, "GrowFullKeyDirectoriesOnModel4", "blank-model4.card", 0, true},
                      OpCase{Op::kGeneratePair, "GrowFullKeyDirectoriesOnModel7", "blank-model7.card", 0, true},
                      // After a growth cut short: the next key pair, and a write of another directory.
                      OpCase{Op::kGeneratePair, "GenerateAfterACutGrowthOnModel3", "written-to-size-model3.card", 0,
                             false, true},
                      OpCase{Op::kCreate, "CreateAfterACutGrowthOnModel3", "written-to-size-model3.card", 0, false,
                             true},
                      // After spares cut right after their creation: the next key pair.
                      OpCase{Op::kGeneratePair, "GenerateAfterSparesCutAtTheirCreationOnModel3",
                             "written-to-size-model3.card", 0, false, false, false, true},
                      // Records longer than one command.
                      OpCase{Op::kCreateCertificate, "CreateACertificateAsClientsWriteItOnModel3", "blank-model3.card",
                             0, false, false, true},
                      OpCase{Op::kRenameLonger, "RenameACertificateAsClientsWriteItOnModel3", "blank-model3.card", 0,
                             false, false, true},
                      // The shipped token's certificate goes: a client's, longer than a command, moves up.
                      OpCase{Op::kDestroyFirstCertificate, "DestroyTheCertificateBeforeAClientsOnModel3", kModel3, 0,
                             false, false, true},
                      // A certificate longer than a command and than the free room, between two short
                      // ones on the shipped token: through a spare, or with none where kept unpacked.
                      OpCase{Op::kDestroyFirstCertificate, "DestroyAShortCertificateBeforeALongOne", kModel3, 0, false,
                             false, false, false, kShortCertificate},
                      OpCase{Op::kDestroyFirstCertificate, "DestroyTheTokensCertificateBeforeALongOne", kModel3, 0,
                             false, false, false, false, "Certificate"},
                      OpCase{Op::kRenameLonger, "RenameAShortCertificateBeforeALongOneLonger", kModel3, 0, false, false,
                             false, false, kShortCertificate},
                      OpCase{Op::kRenameShorter, "RenameALongCertificateShorter", kModel3, 0, false, false, false,
                             false, kLongCertificate},
                      OpCase{Op::kDestroyFirstCertificate, "DestroyAShortCertificateBeforeALongOneWithoutASpare",
                             kModel3, 0, false, false, false, false, kShortCertificate, true},
                      OpCase{Op::kDestroyFirstCertificate, "DestroyTheTokensCertificateBeforeALongOneWithoutASpare",
                             kModel3, 0, false, false, false, false, "Certificate", true},
                      OpCase{Op::kRenameLonger, "RenameAShortCertificateBeforeALongOneLongerWithoutASpare", kModel3, 0,
                             false, false, false, false, kShortCertificate, true, CKR_DEVICE_MEMORY},
                      OpCase{Op::kRenameShorter, "RenameALongCertificateShorterWithoutASpare", kModel3, 0, false,
                             false, false, false, kLongCertificate, true, CKR_DEVICE_MEMORY},
                      OpCase{Op::kGeneratePair, "GenerateAKeyPairOnAFullPrivateKeyDirectoryOfModel2", kModel3, 0,
                             false, false, false, false, nullptr, false, CKR_DEVICE_MEMORY, true},
                      OpCase{Op::kCreateCertificate, "CreateACertificateInAFullDirectoryOfModel2", kModel3, 0, false,
                             false, false, false, nullptr, false, CKR_DEVICE_MEMORY, true}),
    [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });

// A file at a spare's place counts only where its header shows that nobody wrote it who may not update the
// directory: the user's copy of the SO's PIN directory (user PIN 82) leaves the login and both files as they
// were; EF.DIR's copy naming another DF, as five commands with no PIN leave it (state 05, EF.DIR's rules),
// leaves the token listed; a directory made again from a spare whose mark claims "always" is not open.
TEST(SpareHeaders, AFileAtASparesPlaceCountsOnlyWhereItsHeaderVouchesForIt) {
  Rig rig(kModel3);
  ASSERT_TRUE(rig.sim.ok() && rig.m.ok());
  CK_FUNCTION_LIST* const f = rig.m.list();
  const std::string shipped = rig.Image();
  const auto line = [](const std::string& image, const std::string& path) {
    const size_t at = image.find("\nef " + path + " ");
    return at == std::string::npos ? std::string() : image.substr(at + 1, image.find('\n', at + 1) - at - 1);
  };
  // A file's records (one reference changed), and a spare's image line with this header ("lcs=05 ac=...").
  const auto records = [&](const std::string& image, const std::string& path, const char* from, const char* to) {
    const std::string d = line(image, path).substr(line(image, path).find(" data=") + 6);
    std::string hex = Hex(LeadingRecords(testsupport::FromHex(d)).data(), LeadingRecords(testsupport::FromHex(d)).size());
    return testsupport::FromHex(hex.replace(hex.find(from), std::strlen(from), to));
  };
  const auto spare = [](const char* where, const std::string& header, const std::vector<uint8_t>& d) {
    return Fmt("ef %s %s size=%zu %s data=%s\n", where, header.substr(0, 6).c_str(), d.size(), header.substr(7).c_str(),
               Hex(d.data(), d.size()).c_str());
  };
  const std::vector<uint8_t> aodf = records(shipped, "3F00/5015/4401", "800200810401FF", "800200820401FF");
  for (const char* header : {"lcs=05 ac=read:always,update:pin:81,delete:pin:81",
                             "lcs=05 ac=read:always,update:pin:04,delete:pin:04",
                             "lcs=07 ac=read:always,update:pin:81,delete:pin:81"}) {
    const std::string image = shipped + spare("3F00/5015/C401", header, SpareOctets("3F0050154401", aodf));
    const CK_SESSION_HANDLE s = rig.Start(image);
    EXPECT_NE(0u, s) << "the user logs in: " << header;
    TestTemplate t = DataObject("Beside the copy", "value");
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(CKR_OK, s ? f->C_CreateObject(s, TT_ARGS(t), &h) : CKR_USER_NOT_LOGGED_IN);
    for (const char* file : {"3F00/5015/4401", "3F00/5015/C401"}) EXPECT_EQ(line(image, file), line(rig.Image(), file));
  }
  // Models 2 and 6 show no rules: the last copy is read around, and with no spare a long record renamed cannot move.
  CK_OBJECT_HANDLE h = 0;
  for (const int m : {2, 6}) {
    std::string image = shipped + spare("3F00/5015/C401", "lcs=07 ac=read:always,update:pin:81,delete:pin:81",
                                        SpareOctets("3F0050154401", aodf));
    image.replace(image.find("\nmodel 3\n") + 7, 1, std::to_string(m));  // the ATR's historical bytes name the model
    image.replace(image.find("2D33830F900096"), 14, Fmt("2D3%d830F9000%02X", m, 0x95 ^ m));
    const CK_SESSION_HANDLE s = rig.Start(image);
    ASSERT_NE(0u, s) << "the user logs in on model " << m;
    TestTemplate t = CertificateObject(OpenSslCertificate(std::string(64, 'n'), 7, 1024, std::string(64, 'u')), "Long", "7");
    ASSERT_EQ(CKR_OK, f->C_CreateObject(s, TT_ARGS(t), &h));
    const std::string before = rig.Image();
    EXPECT_EQ(CKR_DEVICE_MEMORY, f->C_SetAttributeValue(s, h, TT_ARGS(TestTemplate().Bytes(CKA_LABEL, "L"))));
    EXPECT_EQ(before, rig.Image());
  }
  ASSERT_NE(0u, rig.MakeToken(ReadFile(CardsDir() + "/blank-model3.card")));
  const std::string made = rig.Image(), dir = line(made, "3F00/2F00");
  const std::string rules = dir.substr(dir.find(" ac="), dir.find(" data=") - dir.find(" ac="));
  (void)rig.Start(made + spare("3F00/AF00", "lcs=05" + rules, SpareOctets("3F002F00", records(made, "3F00/2F00", "3F005015", "3F005099"))), false);
  CK_TOKEN_INFO info;
  ASSERT_EQ(CKR_OK, f->C_GetTokenInfo(0, &info));
  EXPECT_EQ("Rig", std::string(reinterpret_cast<char*>(info.label), 3));
  EXPECT_NE(0u, rig.User()) << "the user logs in";
  // An earlier version's spare (state 05, the directory's rules) stands in for what its cut rewrite left (its first
  // command of octets, then old ones framing as whole elements) till a write takes it up; not beside the directory whole.
  CK_SESSION_HANDLE u = rig.Start(made);
  for (int i = 0; i < 3; ++i) {  // the second one's record longer than a command
    TestTemplate c = CertificateObject(OpenSslCertificate(std::string(i == 1 ? 64 : 1, 'n'), i + 7, 1024, std::string(i == 1 ? 64 : 1, 'u')), "c", std::to_string(i));
    ASSERT_EQ(CKR_OK, f->C_CreateObject(u, TT_ARGS(c), &h));
  }
  const std::string three = rig.Image(), cdf = line(three, "3F00/5015/5000/5600");
  const size_t at = three.find(cdf) + cdf.find(" data=") + 6;
  std::vector<uint8_t> cdfOctets = testsupport::FromHex(cdf.substr(cdf.find(" data=") + 6)), after;
  for (const DirectoryRecord& r : CheckDirectories(rig.CardPath()).whole)
    if (r.kind == 0xA4 && r.offset > 0) after.insert(after.end(), r.octets.begin(), r.octets.end());
  for (const size_t cut : {0, 255}) {
    std::copy(after.begin(), after.begin() + cut, cdfOctets.begin());
    u = rig.Start(three.substr(0, at) + Hex(cdfOctets.data(), cdfOctets.size()) + three.substr(at + 2 * cdfOctets.size()) +
                  spare("3F00/5015/5000/D600", "lcs=05" + cdf.substr(cdf.find(" ac="), cdf.find(" data=") - cdf.find(" ac=")),
                        SpareOctets("3F00501550005600", after)));
    EXPECT_EQ(cut ? 2u : 3u, Find(rig.m, u, TestTemplate().Ulong(CKA_CLASS, CKO_CERTIFICATE)).size());
  }
  ASSERT_EQ(CKR_OK, f->C_CreateObject(u, TT_ARGS(DataObject("Next", "next")), &h));
  EXPECT_EQ("", line(rig.Image(), "3F00/5015/5000/D600"));
  std::string image = shipped;
  image.erase(image.find(line(shipped, "3F00/5015/4404")), line(shipped, "3F00/5015/4404").size() + 1);
  const CK_SESSION_HANDLE s = rig.Start(image + spare("3F00/5015/C404", "lcs=07 ac=read:always,update:pin:81,delete:pin:81",
                                                     SpareOctets("3F0050154404", records(shipped, "3F00/5015/4404", "", ""),
                                                                 {0x80, 0x01, 0x7F, 0x90, 0x00})));
  TestTemplate t = CertificateObject(OpenSslCertificate("Remade", 9), "Remade", "9");
  ASSERT_EQ(CKR_OK, f->C_CreateObject(s, TT_ARGS(t), &h));
  const std::string remade = line(rig.Image(), "3F00/5015/4404");
  for (const char* rule : {"update:pin:81", "delete:pin:81"}) EXPECT_NE(std::string::npos, remade.find(rule)) << remade;
}

namespace {

// What one application does to the card's data object (the shipped token's own),
// or beside it.
enum class Act { kCreate, kRename, kChangeValue, kDestroy, kGenerate };
const char* ActName(Act a) {
  static const char* const kNames[] = {"creates", "renames", "changes the value", "destroys", "generates a key pair"};
  return kNames[static_cast<int>(a)];
}

CK_RV Do(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, Act act, CK_OBJECT_HANDLE data, const std::string& who) {
  TestTemplate t;
  CK_OBJECT_HANDLE h = 0;
  switch (act) {
    case Act::kCreate:
      t = DataObject("Made by " + who, who);
      return f->C_CreateObject(s, TT_ARGS(t), &h);
    case Act::kRename:
      t.Bytes(CKA_LABEL, "Named by " + who);
      return f->C_SetAttributeValue(s, data, TT_ARGS(t));
    case Act::kChangeValue:
      t.Bytes(CKA_VALUE, std::string(100, who[0]));
      return f->C_SetAttributeValue(s, data, TT_ARGS(t));
    case Act::kDestroy:
      return f->C_DestroyObject(s, data);
    default:
      return GeneratePair(f, s, "Pair of " + who, {static_cast<CK_BYTE>(who[0])});
  }
}

}  // namespace

// Two applications on one card (two copies of the module in one process): A
// lists the objects, B changes the card, then A writes. A's write starts from what
// the card holds then, never from what A read before: an object whose record B
// removed or changed (renamed, its value moved) answers CKR_OBJECT_HANDLE_INVALID; what B
// made or changed survives A's call; no record names a missing file and none
// stands twice; every value reads and every key signs.
TEST(TwoApplications, AWriteStartsFromWhatTheCardHoldsNow) {
  const Act kActs[] = {Act::kCreate, Act::kRename, Act::kChangeValue, Act::kDestroy, Act::kGenerate};
  for (Act byB : kActs) {
    for (Act byA : kActs) {
      SCOPED_TRACE(Fmt("B %s, then A %s", ActName(byB), ActName(byA)));
      SimEnv env(Readers{{kR0, kModel3}});
      env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() +
                     ";Sim\"\nPKCS15Flags = 0x200\n");
      CardSim sim;
      ASSERT_EQ(0, sim.LoadConfig(nullptr));
      ASSERT_TRUE(testsupport::CopyFile(ModulePath(), env.Path("a.so")) && testsupport::CopyFile(ModulePath(), env.Path("b.so")));
      Module a(env.Path("a.so")), b(env.Path("b.so"));
      ASSERT_TRUE(a.ok() && b.ok());
      ASSERT_EQ(CKR_OK, a->C_Initialize(nullptr));
      ASSERT_EQ(CKR_OK, b->C_Initialize(nullptr));
      CK_SESSION_HANDLE sa = 0, sb = 0;
      CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
      for (auto [m, s] : {std::make_pair(&a, &sa), std::make_pair(&b, &sb)}) {
        ASSERT_EQ(CKR_OK, (*m)->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, s));
        ASSERT_EQ(CKR_OK, (*m)->C_Login(*s, CKU_USER, pin, 4));
      }
      CK_RV rv;
      const std::vector<CK_OBJECT_HANDLE> inA = DataLabelled(a.list(), sa, kFirstRecordLabel, &rv);
      const std::vector<CK_OBJECT_HANDLE> inB = DataLabelled(b.list(), sb, kFirstRecordLabel, &rv);
      ASSERT_EQ(1u, inA.size());
      ASSERT_EQ(1u, inB.size());
      ASSERT_EQ(CKR_OK, Do(b.list(), sb, byB, inB[0], "B"));
      // A record B changed in any way is no longer the one A's handle names.
      const bool gone = byB == Act::kDestroy || byB == Act::kChangeValue || byB == Act::kRename;
      const bool onData = byA == Act::kRename || byA == Act::kChangeValue || byA == Act::kDestroy;
      EXPECT_EQ(gone && onData ? CKR_OBJECT_HANDLE_INVALID : CKR_OK, Do(a.list(), sa, byA, inA[0], "A"));
      ASSERT_EQ(CKR_OK, a->C_Finalize(nullptr));
      ASSERT_EQ(CKR_OK, b->C_Finalize(nullptr));

      // The card as a third application finds it.
      const DirectoryCheck dc = CheckDirectories(env.Card(kModel3));
      EXPECT_EQ("", Join(dc.missing) + Join(dc.torn));
      Module c(env.Path("a.so"));
      ASSERT_EQ(CKR_OK, c->C_Initialize(nullptr));
      CK_SESSION_HANDLE sc = 0;
      ASSERT_EQ(CKR_OK, c->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &sc));
      ASSERT_EQ(CKR_OK, c->C_Login(sc, CKU_USER, pin, 4));
      std::vector<CK_OBJECT_HANDLE> all;
      ASSERT_EQ(CKR_OK, FindAll(c.list(), sc, TestTemplate(), &all));
      EXPECT_EQ(dc.objectRecords, all.size());
      EXPECT_EQ("", Join(TokenProblems(c.list(), sc, nullptr, nullptr)));
      // What B did stands, and what A did where it answered CKR_OK.
      for (auto [act, who] : {std::make_pair(byB, std::string("B")), std::make_pair(byA, std::string("A"))}) {
        if (act == Act::kCreate) {
          EXPECT_EQ(1u, DataLabelled(c.list(), sc, "Made by " + who, &rv).size()) << who;
        }
        if (act == Act::kGenerate) {
          TestTemplate t;
          t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Bytes(CKA_ID, who.substr(0, 1));
          std::vector<CK_OBJECT_HANDLE> keys;
          EXPECT_EQ(CKR_OK, FindAll(c.list(), sc, t, &keys));
          EXPECT_EQ(1u, keys.size()) << who;
        }
      }
      if (byB == Act::kRename && byA != Act::kRename && byA != Act::kDestroy) {
        EXPECT_EQ(1u, DataLabelled(c.list(), sc, "Named by B", &rv).size());
      }
      if (byB == Act::kChangeValue) {
        const std::vector<CK_OBJECT_HANDLE> changed = DataLabelled(c.list(), sc, kFirstRecordLabel, &rv);
        std::string value;
        ASSERT_EQ(1u, changed.size());
        EXPECT_EQ(CKR_OK, Attribute(c.list(), sc, changed[0], CKA_VALUE, &value));
        EXPECT_EQ(std::string(100, 'B'), value);
      }
      ASSERT_EQ(CKR_OK, c->C_Finalize(nullptr));
    }
  }
}
namespace {

// Two copies of the module in one process over the shipped model-3 token, each
// with a user session: two applications on one card.
struct TwoOnOneCard {
  SimEnv env{Readers{{kR0, kModel3}}};
  bool configured = (env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() +
                                    ";Sim\"\nPKCS15Flags = 0x200\n"),
                     testsupport::CopyFile(ModulePath(), env.Path("a.so")) &&
                         testsupport::CopyFile(ModulePath(), env.Path("b.so")));
  CardSim sim;
  Module a{env.Path("a.so")}, b{env.Path("b.so")};
  CK_SESSION_HANDLE sa = 0, sb = 0;
  bool Start(bool aLogsIn = true) {
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    if (!configured || sim.LoadConfig(nullptr) != 0 || !a.ok() || !b.ok()) return false;
    for (auto [m, s] : {std::make_pair(&a, &sa), std::make_pair(&b, &sb)})
      if ((*m)->C_Initialize(nullptr) != CKR_OK ||
          (*m)->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, s) != CKR_OK ||
          ((m == &b || aLogsIn) && (*m)->C_Login(*s, CKU_USER, pin, 4) != CKR_OK))
        return false;
    return true;
  }
  CK_OBJECT_HANDLE One(Module& m, CK_SESSION_HANDLE s, const std::string& label, CK_ULONG cls = CKO_DATA) {
    TestTemplate want;
    want.Ulong(CKA_CLASS, cls).Bytes(CKA_LABEL, label);
    std::vector<CK_OBJECT_HANDLE> found;
    return FindAll(m.list(), s, want, &found) == CKR_OK && found.size() == 1 ? found[0] : CK_INVALID_HANDLE;
  }
  std::string Value(Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_RV* rv) {
    std::string v;
    *rv = Attribute(m.list(), s, h, CKA_VALUE, &v);
    return v;
  }
  CK_RV Create(Module& m, CK_SESSION_HANDLE s, const std::string& label, const std::string& value, bool priv = false) {
    TestTemplate t = DataObject(label, value);
    if (priv) t.Without(CKA_PRIVATE).Bool(CKA_PRIVATE, true);
    CK_OBJECT_HANDLE h = 0;
    return m->C_CreateObject(s, TT_ARGS(t), &h);
  }
  CK_RV Set(Module& m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type, const std::string& v) {
    TestTemplate t;
    t.Bytes(type, v);
    return m->C_SetAttributeValue(s, h, TT_ARGS(t));
  }
  // Every record names a file that is there, none twice, and the objects' values read.
  std::string Problems() {
    const DirectoryCheck dc = CheckDirectories(env.Card(kModel3));
    return Join(dc.missing) + Join(dc.torn) + Join(TokenProblems(a.list(), sa, nullptr, nullptr));
  }
};

}  // namespace

// A handle names its object's record as its application last saw it: once the
// other application changed that record in any way or removed it, the handle
// changes nothing and answers CKR_OBJECT_HANDLE_INVALID, even where a later
// object took the file its record named; a value the other application moved to
// another file is read from there (the handle then names the record as it is).
// A handle of a public object never gives a value from a file that asks a PIN,
// though the other application's login opened the card to it.
TEST(TwoApplications, AHandleNamesTheRecordItsApplicationSaw) {
  for (int scene = 0; scene < 7; ++scene) {
    SCOPED_TRACE(scene);
    TwoOnOneCard t;
    ASSERT_TRUE(t.Start(scene < 4));  // from scene 4 on, A never logs in
    Module& a = t.a;
    Module& b = t.b;
    // B makes X; A lists it without reading its value (a value read once is kept).
    ASSERT_EQ(CKR_OK, t.Create(b, t.sb, "X", "x1"));
    const CK_OBJECT_HANDLE xa = t.One(a, t.sa, "X"), xb = t.One(b, t.sb, "X");
    ASSERT_NE(CK_INVALID_HANDLE, xa);
    ASSERT_NE(CK_INVALID_HANDLE, xb);
    CK_RV rv;
    if (scene == 0) {
      // B destroys X and makes Y, whose value takes X's file: A's handle of X touches nothing of Y.
      ASSERT_EQ(CKR_OK, b->C_DestroyObject(t.sb, xb));
      ASSERT_EQ(CKR_OK, t.Create(b, t.sb, "Y", "y1"));
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, t.Set(a, t.sa, xa, CKA_LABEL, "X renamed"));
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, t.Set(a, t.sa, xa, CKA_VALUE, "x2"));
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, a->C_DestroyObject(t.sa, xa));
      const CK_OBJECT_HANDLE y = t.One(a, t.sa, "Y");
      EXPECT_EQ("y1", t.Value(a, t.sa, y, &rv));
    } else if (scene == 1) {
      // B moves X's value: A reads it from its new file (its handle then names the record as it is now).
      ASSERT_EQ(CKR_OK, t.Set(b, t.sb, xb, CKA_VALUE, std::string(300, 'b')));
      EXPECT_EQ(std::string(300, 'b'), t.Value(a, t.sa, xa, &rv));
      EXPECT_EQ(CKR_OK, rv);
      EXPECT_EQ(CKR_OK, t.Set(a, t.sa, xa, CKA_LABEL, "X renamed"));
      EXPECT_EQ(std::string(300, 'b'), t.Value(a, t.sa, t.One(a, t.sa, "X renamed"), &rv));
    } else if (scene == 2) {
      // B destroys X: A's read of its value says the handle names nothing.
      ASSERT_EQ(CKR_OK, b->C_DestroyObject(t.sb, xb));
      (void)t.Value(a, t.sa, xa, &rv);
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, rv);
    } else if (scene == 3) {
      // A moves X's value and makes Y on X's old file: B's handle of X changes nothing.
      ASSERT_EQ(CKR_OK, t.Set(a, t.sa, xa, CKA_VALUE, std::string(300, 'a')));
      ASSERT_EQ(CKR_OK, t.Create(a, t.sa, "Y", "y1"));
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, t.Set(b, t.sb, xb, CKA_VALUE, "x3"));
      EXPECT_EQ("y1", t.Value(b, t.sb, t.One(b, t.sb, "Y"), &rv));
      EXPECT_EQ(std::string(300, 'a'), t.Value(b, t.sb, t.One(b, t.sb, "X"), &rv));
    } else if (scene == 4 || scene == 6) {
      // A public object's handle, a private object in its file: B destroys X and makes private Y on X's file
      // (in scene 6 A asks the object's size first).
      ASSERT_EQ(CKR_OK, b->C_DestroyObject(t.sb, xb));
      ASSERT_EQ(CKR_OK, t.Create(b, t.sb, "Y", "y1", true));
      CK_ULONG size = 0;
      if (scene == 6) {
        EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, a->C_GetObjectSize(t.sa, xa, &size));
      }
      EXPECT_NE("y1", t.Value(a, t.sa, xa, &rv));
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, rv);
    } else if (scene == 5) {
      // A certificate's handle, its file gone: B makes C, A lists it, B destroys it.
      TestTemplate c = CertificateObject(OpenSslCertificate("C", 5), "C", "c");
      CK_OBJECT_HANDLE cb = 0;
      ASSERT_EQ(CKR_OK, b->C_CreateObject(t.sb, TT_ARGS(c), &cb));
      const CK_OBJECT_HANDLE ca = t.One(a, t.sa, "C", CKO_CERTIFICATE);
      ASSERT_NE(CK_INVALID_HANDLE, ca);
      ASSERT_EQ(CKR_OK, b->C_DestroyObject(t.sb, cb));
      (void)t.Value(a, t.sa, ca, &rv);
      EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, rv);
    }
    EXPECT_EQ("", t.Problems());
  }
}

// Another application resets the card while A's first UPDATE BINARY of a
// directory is under way, and writes that directory itself: what A read before
// the reset is stale. A reads the directory again and carries its change over to
// it, so that both changes stand.
TEST(TwoApplications, AResetByTheOtherMidWriteIsCarriedOverToWhatItWrote) {
  TwoOnOneCard t;
  ASSERT_TRUE(t.Start());
  const CK_OBJECT_HANDLE x = t.One(t.a, t.sa, kFirstRecordLabel);
  ASSERT_NE(CK_INVALID_HANDLE, x);
  ASSERT_EQ(0, t.sim.Pause(kR0, 0xD6));
  CK_RV renamed = CKR_GENERAL_ERROR;
  std::thread writer([&] { renamed = t.Set(t.a, t.sa, x, CKA_LABEL, std::string(60, 'L')); });
  ASSERT_EQ(0, t.sim.WaitPaused(kR0, 10000));
  ASSERT_EQ(0, t.sim.ResetByOther(kR0));
  // B's sessions went with the reset: B logs in again and makes its object.
  CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
  (void)t.b->C_CloseAllSessions(0);
  ASSERT_EQ(CKR_OK, t.b->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &t.sb));
  ASSERT_EQ(CKR_OK, t.b->C_Login(t.sb, CKU_USER, pin, 4));
  EXPECT_EQ(CKR_OK, t.Create(t.b, t.sb, "Made by B", "B"));
  ASSERT_EQ(0, t.sim.Resume(kR0));
  writer.join();
  EXPECT_EQ(CKR_OK, renamed);
  (void)t.a->C_CloseAllSessions(0);
  ASSERT_EQ(CKR_OK, t.a->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &t.sa));
  ASSERT_EQ(CKR_OK, t.a->C_Login(t.sa, CKU_USER, pin, 4));
  CK_RV rv;
  EXPECT_NE(CK_INVALID_HANDLE, t.One(t.a, t.sa, "Made by B"));
  EXPECT_EQ("B", t.Value(t.a, t.sa, t.One(t.a, t.sa, "Made by B"), &rv));
  EXPECT_NE(CK_INVALID_HANDLE, t.One(t.a, t.sa, std::string(60, 'L')));
  EXPECT_EQ("", t.Problems());
}
