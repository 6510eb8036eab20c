// Creating, renaming or destroying a card object rewrites the PKCS#15 directory
// that holds its record, and the records after it move. Whatever command of
// such a write the card is pulled after, goes mute after, is reset by another
// application after, or answers with an error, every directory of the card
// stays readable: whole records only, each one as before or as after the call,
// none lost that both hold, none twice, every file a record names there. A
// reset or an error answer leaves the card as before when the call fails and as
// after when it answers CKR_OK (a refused write always fails it); a pull or a
// mute leaves at most one file that no record names. Once the fault is undone the token lists one object per record
// and takes a new object.
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
#include <vector>

#include "tests/pkcs11impl/bridge_host.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tools/cardsim/cardsim.h"

using namespace testhost;
using namespace bridgehost;
using namespace modulecalls;
using namespace cardimage;

namespace {

const char* const kR0 = "CardSim Reader 0";
const char* const kCard = "pkcs15-model3.card";
const char* const kDataDirectory = "3F0050154405";
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

enum class Op { kCreate, kRenameLonger, kRenameShorter, kDestroySecond, kDestroyFirst };
struct OpCase {
  Op op;
  const char* name;
};
void PrintTo(const OpCase& c, std::ostream* os) { *os << c.name; }

enum class Fault { kPull, kMute, kReset, kErrorAnswer };
const Fault kFaults[] = {Fault::kPull, Fault::kMute, Fault::kReset, Fault::kErrorAnswer};
const char* FaultName(Fault f) {
  switch (f) {
    case Fault::kPull: return "pulled after";
    case Fault::kMute: return "mute after";
    case Fault::kReset: return "reset by another application after";
    default: return "6581 answered to";
  }
}
// What the simulator's log shows where the fault fired.
const char* FaultMark(Fault f) {
  switch (f) {
    case Fault::kPull: return "\n# removed";
    case Fault::kMute: return "\n# mute";
    case Fault::kReset: return "\n# reset by another application";
    default: return "\n< 6581";
  }
}

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

// The commands of a log ("00D6000000FF..."), in order.
std::vector<std::string> Commands(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 2, "> ") == 0) out.push_back(line.substr(2));
  return out;
}

std::string CommandName(const std::string& apdu) {
  static const std::map<std::string, const char*> kNames = {
      {"A4", "SELECT"},      {"B0", "READ BINARY"}, {"D6", "UPDATE BINARY"}, {"E0", "CREATE FILE"},
      {"E4", "DELETE FILE"}, {"0E", "ERASE BINARY"}, {"20", "VERIFY"}};
  const auto name = kNames.find(apdu.substr(2, 2));
  return Fmt("%s %s", name == kNames.end() ? "command" : name->second, apdu.substr(0, 8).c_str());
}

// One simulated reader and the module; each case starts from an image of its own.
struct Rig {
  SimEnv env{Readers{{kR0, kCard}}};
  // Written before the module is loaded, which reads it then; no trace, it would slow every case.
  bool configured = (env.UserConfig("EnabledReaderSubsystems = TARVO-MELK\nDravokLibrary = \"" + SimLibrary() +
                                    ";Sim\"\n"),
                     true);
  CardSim sim;
  Module m;
  bool started = false;

  ~Rig() { Stop(); }
  std::string CardPath() const { return env.Card(kCard); }
  std::string Image() const { return ReadFile(CardPath()); }
  // The image in the reader as a new card (the module started at the first), a
  // user session; 0 when a step fails.
  CK_SESSION_HANDLE Start(const std::string& image) {
    if (!started) {
      if (!sim.ok() || sim.LoadConfig(nullptr) != 0 || !m.ok() || m->C_Initialize(nullptr) != CKR_OK) return 0;
      started = true;
    }
    (void)m->C_CloseAllSessions(0);
    // Taken out first: a card that leaves the reader is written back to its image file.
    (void)sim.Remove(kR0);
    WriteFile(CardPath(), image);
    if (sim.Insert(kR0, CardPath().c_str()) != 0) return 0;
    return User();
  }
  CK_SESSION_HANDLE User() {
    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE key = 0;
    return OpenUserSession(m, 0, &s, &key) ? s : 0;
  }
  void Stop() {
    if (started) (void)m->C_Finalize(nullptr);
    started = false;
  }
};

// The object a write works on; invalid for a creation.
CK_OBJECT_HANDLE Target(Rig& rig, CK_SESSION_HANDLE s, Op op) {
  if (op == Op::kCreate) return CK_INVALID_HANDLE;
  CK_RV rv;
  const std::vector<CK_OBJECT_HANDLE> found =
      DataLabelled(rig.m.list(), s, op == Op::kDestroyFirst ? kFirstRecordLabel : SetupLabel(0), &rv);
  return rv == CKR_OK && found.size() == 1 ? found.front() : CK_INVALID_HANDLE;
}

CK_RV DoOp(Rig& rig, CK_SESSION_HANDLE s, Op op, CK_OBJECT_HANDLE target) {
  CK_FUNCTION_LIST* f = rig.m.list();
  switch (op) {
    case Op::kCreate: {
      TestTemplate t = DataObject("One more object", "more");
      CK_OBJECT_HANDLE h = 0;
      return f->C_CreateObject(s, TT_ARGS(t), &h);
    }
    case Op::kRenameLonger:
    case Op::kRenameShorter: {
      TestTemplate t;
      t.Bytes(CKA_LABEL, op == Op::kRenameLonger ? SetupLabel(0) + std::string(40, '+') : "Short");
      return f->C_SetAttributeValue(s, target, TT_ARGS(t));
    }
    default:
      return f->C_DestroyObject(s, target);
  }
}

using RecordSet = std::set<std::pair<std::string, std::vector<uint8_t>>>;  // directory, octets

// The directories before and after a write.
struct Bounds {
  RecordSet before, after;
  size_t fewest = 0, most = 0;  // object records
  Bounds(const DirectoryCheck& b, const DirectoryCheck& a)
      : fewest(std::min(b.objectRecords, a.objectRecords)), most(std::max(b.objectRecords, a.objectRecords)) {
    for (const DirectoryRecord& r : b.whole) before.insert({r.dir, r.octets});
    for (const DirectoryRecord& r : a.whole) after.insert({r.dir, r.octets});
  }
};

// What is wrong with the directories of an image, given those before and after the write.
std::vector<std::string> DirectoryProblems(const DirectoryCheck& c, const Bounds& bounds) {
  const RecordSet& before = bounds.before;
  const RecordSet& after = bounds.after;
  std::vector<std::string> out;
  for (const std::string& t : c.torn) out.push_back("octets that are no whole record: " + t);
  for (const std::string& m : c.missing) out.push_back("a record names a missing file: " + m);
  for (const std::string& m : c.missingInTorn) out.push_back("a record names a missing file: " + m);
  RecordSet seen;
  std::set<std::string> namedByObjects;
  for (const DirectoryRecord& r : c.whole) {
    const std::string where = Fmt("%s at %zu", r.dir.c_str(), r.offset);
    const auto key = std::make_pair(r.dir, r.octets);
    if (!seen.insert(key).second) out.push_back("a record twice: " + where);
    if (before.count(key) == 0 && after.count(key) == 0)
      out.push_back("a record that is neither as before nor as after: " + where);
    if (r.kind == 0xA8) continue;
    for (const std::string& p : r.paths)
      if (!namedByObjects.insert(p).second) out.push_back("two records name " + p + ": " + where);
  }
  for (const auto& r : before)
    if (after.count(r) && !seen.count(r)) out.push_back("a record lost from " + r.first);
  if (c.objectRecords < bounds.fewest || c.objectRecords > bounds.most)
    out.push_back(bounds.fewest == bounds.most
                      ? Fmt("%zu object records where the write leaves %zu", c.objectRecords, bounds.most)
                      : Fmt("%zu object records where the write leaves %zu or %zu", c.objectRecords, bounds.fewest,
                            bounds.most));
  return out;
}

std::string Join(const std::vector<std::string>& v) {
  std::string out;
  for (const std::string& s : v) out += (out.empty() ? "" : "; ") + s;
  return out;
}

class DirectoryCuts : public ::testing::TestWithParam<OpCase> {};

}  // namespace

TEST_P(DirectoryCuts, DirectoriesHoldWholeRecordsWhateverCommandTheCardFailsAfter) {
  const Op op = GetParam().op;
  Rig rig;
  ASSERT_TRUE(rig.sim.ok());
  ASSERT_TRUE(rig.m.ok()) << rig.m.error();
  const std::string original = rig.Image();

  // The set-up: more than two UPDATE BINARY commands' worth of data-object records.
  {
    const CK_SESSION_HANDLE s = rig.Start(original);
    ASSERT_NE(0u, s);
    for (int i = 0; i < kSetupObjects; ++i) {
      TestTemplate t = DataObject(SetupLabel(i), SetupValue(i));
      CK_OBJECT_HANDLE h = 0;
      ASSERT_EQ(CKR_OK, rig.m->C_CreateObject(s, TT_ARGS(t), &h)) << i;
    }
  }
  const std::string setup = rig.Image();
  size_t dataRecordOctets = 0;
  for (const DirectoryRecord& r : CheckDirectories(rig.CardPath()).whole)
    if (r.dir == kDataDirectory) dataRecordOctets += r.octets.size();
  ASSERT_GT(dataRecordOctets, 2u * 255u);

  // The write without a fault: its commands, and the images before and after it.
  std::string before, after, cleanLog;
  size_t objectsBefore = 0;
  std::unique_ptr<Bounds> bounds;
  {
    const CK_SESSION_HANDLE s = rig.Start(setup);
    ASSERT_NE(0u, s);
    const CK_OBJECT_HANDLE target = Target(rig, s, op);
    ASSERT_TRUE(op == Op::kCreate || target != CK_INVALID_HANDLE);
    before = rig.Image();
    const DirectoryCheck b = CheckDirectories(rig.CardPath());
    ASSERT_EQ(0, rig.sim.ClearLog(kR0));
    ASSERT_EQ(CKR_OK, DoOp(rig, s, op, target));
    cleanLog = rig.sim.ApduLog(kR0);
    after = rig.Image();
    const DirectoryCheck a = CheckDirectories(rig.CardPath());
    bounds = std::make_unique<Bounds>(b, a);
    objectsBefore = b.objectRecords;
    EXPECT_EQ("", Join(DirectoryProblems(b, Bounds(b, b))));
    EXPECT_EQ("", Join(DirectoryProblems(a, Bounds(a, a))));
    ASSERT_TRUE(b.orphans.empty() && a.orphans.empty());
    ASSERT_NE(bounds->before, bounds->after);
  }
  const std::vector<std::string> commands = Commands(cleanLog);
  ASSERT_FALSE(commands.empty());
  const std::string beforeImage = WithoutRetryCounters(before), afterImage = WithoutRetryCounters(after);

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
      const CK_OBJECT_HANDLE target = Target(rig, s, op);
      ASSERT_EQ(0, rig.sim.ClearLog(kR0));
      if (fault == Fault::kErrorAnswer) {
        ASSERT_EQ(0, rig.sim.InjectSwAfter(kR0, 0x100, 0x6581, k, 1));
      } else {
        const auto afterCommands = reinterpret_cast<int (*)(const char*, unsigned, int, int)>(
            dlsym(rig.sim.handle, "CardSimAfterCommands"));
        ASSERT_NE(nullptr, afterCommands);
        const int event = fault == Fault::kPull   ? CARDSIM_AFTER_REMOVE
                          : fault == Fault::kMute ? CARDSIM_AFTER_MUTE
                                                  : CARDSIM_AFTER_RESET_BY_OTHER;
        ASSERT_EQ(0, afterCommands(kR0, 0x100, event, k));
      }
      const CK_RV rv = DoOp(rig, s, op, target);
      const std::string log = rig.sim.ApduLog(kR0);
      if (log.find(FaultMark(fault)) == std::string::npos) problems.push_back("the fault never came");
      // Undone: the same card back in the reader, or answering again; nothing left armed.
      if (fault == Fault::kPull) {
        ASSERT_EQ(0, rig.sim.Insert(kR0, rig.CardPath().c_str()));
      } else if (fault == Fault::kMute) {
        ASSERT_EQ(0, rig.sim.SetMute(kR0, 0));
      }
      ASSERT_EQ(0, rig.sim.AfterCommand(kR0, 0x100, CARDSIM_AFTER_NOTHING));
      ASSERT_EQ(0, rig.sim.InjectSw(kR0, 0x100, 0x9000, 0));
      (void)rig.m->C_CloseAllSessions(0);
      s = rig.User();
      if (s == 0) problems.push_back("no user session afterwards");

      // The token's first look at the card, then the card as it is.
      std::vector<CK_OBJECT_HANDLE> all;
      CK_RV frv = s != 0 ? FindAll(rig.m.list(), s, TestTemplate(), &all) : CKR_SESSION_HANDLE_INVALID;
      const std::string image = WithoutRetryCounters(rig.Image());
      const DirectoryCheck c = CheckDirectories(rig.CardPath());
      for (const std::string& p : DirectoryProblems(c, *bounds)) problems.push_back(p);
      const bool asBefore = image == beforeImage, asAfter = image == afterImage;
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
      const size_t orphansAllowed = fault == Fault::kPull || fault == Fault::kMute ? 1 : 0;
      if (c.orphans.size() > orphansAllowed) problems.push_back("files that no record names: " + Join(c.orphans));

      if (s != 0) {
        if (frv != CKR_OK)
          problems.push_back(Fmt("the search answers 0x%lx", frv));
        else if (all.size() != c.objectRecords)
          problems.push_back(Fmt("%zu objects listed for %zu records", all.size(), c.objectRecords));
        TestTemplate t = DataObject("Next", "next");
        CK_OBJECT_HANDLE h = 0;
        const CK_RV crv = rig.m->C_CreateObject(s, TT_ARGS(t), &h);
        const size_t listed = DataLabelled(rig.m.list(), s, "Next", &frv).size();
        if (crv != CKR_OK || frv != CKR_OK || listed != 1)
          problems.push_back(Fmt("the next creation answers 0x%lx and is listed %zu times", crv, listed));
      }
      if (!problems.empty()) {
        ++failed;
        ++failedHere;
        ADD_FAILURE() << where << ": call 0x" << std::hex << rv << ": " << Join(problems);
      }
    }
    if (failedHere) failedBy += Fmt(" %s %d", FaultName(fault), failedHere);
  }
  std::printf("%s: %zu commands, %zu object records before; %d cases, %d failed%s\n", GetParam().name,
              commands.size(), objectsBefore, cases, failed, failedBy.c_str());
}

INSTANTIATE_TEST_SUITE_P(ObjectWrites, DirectoryCuts,
                         ::testing::Values(OpCase{Op::kCreate, "CreateOneMore"},
                                           OpCase{Op::kRenameLonger, "RenameToALongerLabel"},
                                           OpCase{Op::kRenameShorter, "RenameToAShorterLabel"},
                                           OpCase{Op::kDestroySecond, "DestroyTheSecondRecord"},
                                           OpCase{Op::kDestroyFirst, "DestroyTheFirstRecord"}),
                         [](const ::testing::TestParamInfo<OpCase>& info) { return std::string(info.param.name); });
