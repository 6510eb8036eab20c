// Token writes in a random order, checked against a model of what the token
// must hold. Seeded sequences of the writes clients make (certificates of about
// 1 KB with subject, issuer and serial, data objects of 0 to 4 KB, key pairs
// generated on the card, private keys imported from OpenSSL and their public keys
// after them, labels of 1 to 64 characters changed, values changed to the same, a
// shorter or a longer length, objects destroyed) and restarts of the module (the
// card out and in), on tokens made by C_InitToken, on tokens an earlier version
// wrote to size, and (40 steps a sequence against 120 on the others, so the
// program's time stays as it was) on the first slot's application of a card of two
// applications side by side or one inside the other, where the card's files outside
// that application stay octet for octet, and beside a key of its own PIN that the
// sequence leaves alone and does not sign with. After every step the token lists exactly
// the model's objects (class, label, CKA_ID, value, modulus), every value reads,
// new keys sign what OpenSSL verifies (every key now and then), the directories
// of its application hold whole records naming files that are there, packed from
// the start but where a cut left them so, a write that went through leaves no
// spare standing, and a call that answers CKR_DEVICE_MEMORY leaves every file of
// the card as it was.
//
// Three kinds of sequence (the seed modulo 3 says which): one application; two
// applications (two copies of the module) taking turns, each acting through the
// handles it holds, where a handle of an object the other destroyed answers
// CKR_OBJECT_HANDLE_INVALID and changes nothing, and one the other changed acts on
// that object as it is now or answers the same (a copy keeps what it read until it
// writes there, so the card's records and values stand for its listing, and both
// list the token after each restart, and another program now and then sets the
// user's PIN under both: at most one try goes in all); and one application whose card is pulled,
// goes mute, is reset by another application or answers an error at a drawn
// command of a drawn step, after which the token holds the model before or after
// that step (a reset or an error: before when the call failed, after when it
// answered CKR_OK; a cut key pair may keep its public key alone) and the card
// leaves unnamed at most the files that step made or let go. A step that is
// not cut leaves every directory packed, as strict readers take it, but where a
// record that no command moves stands after a gap (no room, and no spare, to
// move it safely: the module then leaves the directory as it reads it).
//
// MIRTAL_RANDOM_STEPS gives the steps of each sequence; MIRTAL_RANDOM_SEED a seed
// (or a range "first-last") to run instead of the fixed ones. A failing sequence
// prints its seed, its steps in words and the card's last commands.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki_vendor.h"
#include "tests/pkcs11impl/card_image.h"
#include "tests/pkcs11impl/module_calls.h"
#include "tests/pkcs11impl/openssl_key.h"
#include "tests/pkcs11impl/token_check.h"
#include "tests/pkcs11impl/token_rig.h"

using namespace testhost;
using namespace modulecalls;
using namespace cardimage;
using namespace tokencheck;
using namespace tokenrig;

namespace {

constexpr int kDefaultSteps = 120;  // of each sequence; the sanitizer run asks for more

enum class Kind { kOneApplication, kTwoApplications, kCuts };
const char* KindName(Kind k) {
  return k == Kind::kOneApplication ? "one application" : k == Kind::kTwoApplications ? "two applications" : "cuts";
}

struct Config {
  const char* name;
  const char* card;
  bool initToken;  // a blank card made a token by C_InitToken, else the image as it is
  int index;       // the fixed seeds' base
  int steps = kDefaultSteps;
  // The DF of the first slot's application, which the sequence writes to, and a
  // DF whose EFs and keys outside the application's must stay octet for octet as
  // they were (3F00: every other file of the card, another application's too).
  const char* app = "3F005015";
  const char* other = "";
  const char* kept = "";  // the label of a key and certificate the sequence leaves alone and does not sign with
};
void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

std::string RvName(CK_RV rv) {
  static const std::map<CK_RV, const char*> kNames = {
      {CKR_OK, "CKR_OK"},
      {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
      {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
      {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
      {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
      {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
      {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
      {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN"},
      {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
      {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
      {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED"},
      {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
      {CKR_TEMPLATE_INCONSISTENT, "CKR_TEMPLATE_INCONSISTENT"},
      {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
      {CKR_ATTRIBUTE_READ_ONLY, "CKR_ATTRIBUTE_READ_ONLY"}};
  const auto n = kNames.find(rv);
  return n != kNames.end() ? n->second : Fmt("0x%lx", rv);
}

// An object the token must hold.
struct Obj {
  int uid = 0;
  CK_OBJECT_CLASS cls = CKO_DATA;
  std::string label, id, value;  // CKA_ID of certificates and keys; CKA_VALUE of data objects and certificates
  bool priv = false;             // a private data object
  bool kept = false;             // no step acts on it or signs with it
  bool readOnly = false;         // found with CKA_MODIFIABLE false: not renamed, nor given a value
  std::string n, e;              // a key's modulus and exponent (n empty: not known yet)
};
using Model = std::vector<Obj>;

const char* ClassName(CK_OBJECT_CLASS c) {
  return c == CKO_DATA ? "data object" : c == CKO_CERTIFICATE ? "certificate" : c == CKO_PUBLIC_KEY ? "public key"
                                                                                                   : "private key";
}
std::string HexOf(const std::string& s) { return Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string Describe(const Obj& o) {
  std::string d = Fmt("%s \"%s\"", ClassName(o.cls), o.label.c_str());
  if (o.cls != CKO_DATA) d += " id " + HexOf(o.id);
  if (o.cls == CKO_DATA || o.cls == CKO_CERTIFICATE) d += Fmt(" (%zu octets%s)", o.value.size(), o.priv ? ", private" : "");
  return d;
}

// One object as the token shows it.
struct Shown : Obj {
  CK_OBJECT_HANDLE h = 0;
};
bool Matches(const Obj& m, const Shown& s) {
  return m.cls == s.cls && m.label == s.label && m.id == s.id && m.value == s.value && m.priv == s.priv &&
         (m.n.empty() || (m.n == s.n && m.e == s.e));
}

// Each model object's shown object (by index), or problems for what does not pair.
std::vector<std::string> Pair(const Model& model, const std::vector<Shown>& shown, std::vector<int>* pairing) {
  std::vector<std::string> out;
  pairing->assign(model.size(), -1);
  std::vector<bool> taken(shown.size(), false);
  // Objects whose modulus is known first: a wildcard never takes another's match.
  for (int pass = 0; pass < 2; ++pass)
    for (size_t i = 0; i < model.size(); ++i) {
      if (model[i].n.empty() != (pass == 1)) continue;
      for (size_t j = 0; j < shown.size() && (*pairing)[i] < 0; ++j)
        if (!taken[j] && Matches(model[i], shown[j])) {
          taken[j] = true;
          (*pairing)[i] = static_cast<int>(j);
        }
    }
  for (size_t i = 0; i < model.size(); ++i)
    if ((*pairing)[i] < 0) out.push_back("missing: " + Describe(model[i]));
  for (size_t j = 0; j < shown.size(); ++j)
    if (!taken[j]) out.push_back("listed but not in the model: " + Describe(shown[j]));
  return out;
}

// A copy of the module with its user session and the handles it holds.
struct App {
  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE s = 0;
  char name = 'A';
  std::map<int, CK_OBJECT_HANDLE> handles;  // model object -> this copy's handle
  std::set<int> changedByOther;             // objects the other copy renamed or gave a new value since
  std::map<CK_OBJECT_HANDLE, Obj> stale;    // handles of objects the other copy destroyed, as they were
  void Forget() {
    handles.clear();
    changedByOther.clear();
    stale.clear();
  }
  // A handle the module gave this copy names what the module says now.
  void Given(CK_OBJECT_HANDLE h) { stale.erase(h); }
};

enum class Act { kCertificate, kData, kGenerate, kImport, kImportPublic, kRename, kChangeValue, kDestroy, kRestart,
                 kStale, kPin, kOtherProgram, kCount };

// Key files the card names by a key reference ("key <path> ... ref=NN") and the
// references private-key records name: such a file is no record's path.
std::set<std::string> KeysNamedByReference(const std::string& imagePath, const std::string& app) {
  std::set<int> named;
  for (const std::string& r : PrivateKeyReferences(imagePath, app))
    if (r != "-" && r != "?" && r.size() <= 6 && r.find_first_not_of("0123456789ABCDEF") == std::string::npos)
      named.insert(std::stoi(r, nullptr, 16));
  std::set<std::string> out;
  const std::string text = ReadFile(imagePath);
  for (size_t at = text.find("\nkey "); at != std::string::npos; at = text.find("\nkey ", at + 1)) {
    const size_t line = text.find('\n', at + 1), end = text.find(' ', at + 5), ref = text.find(" ref=", at);
    if (ref >= line) continue;
    std::string path = text.substr(at + 5, end - at - 5);
    path.erase(std::remove(path.begin(), path.end(), '/'), path.end());
    if (named.count(std::stoi(text.substr(ref + 5, 2), nullptr, 16))) out.insert(path);
  }
  return out;
}

// The octets a record names as its value: those of the first PKCS #15 Path in it
// (a SEQUENCE of an OCTET STRING from the MF, an optional index and [0] length)
// in the file of that path, from the index for the length where it gives them.
bool NamedValue(const std::vector<uint8_t>& d, size_t at, size_t end, const Image& image, std::string* value) {
  uint8_t tag, t2;
  size_t vs, vl, s2, l2;
  while (NextTlv(d, &at, end, &tag, &vs, &vl)) {
    size_t in = vs;
    if (tag == 0x30 && NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && t2 == 0x04 && l2 >= 2 && d[s2] == 0x3F &&
        d[s2 + 1] == 0x00) {
      const auto file = image.data.find(Hex(&d[s2], l2));
      if (file == image.data.end()) return false;
      size_t index = 0, length = file->second.size();
      while (NextTlv(d, &in, vs + vl, &t2, &s2, &l2)) {
        size_t n = 0;
        for (size_t k = 0; k < l2; ++k) n = n << 8 | d[s2 + k];
        if (t2 == 0x02) index = n;
        if (t2 == 0x80) length = n;
      }
      if (index <= file->second.size())
        value->assign(file->second.begin() + static_cast<long>(index),
                      file->second.begin() + static_cast<long>(std::min(file->second.size(), index + length)));
      return true;
    }
    if ((tag & 0x20) && NamedValue(d, vs, vs + vl, image, value)) return true;
  }
  return false;
}

// The last command of a log the card refused (other than a file not found), and its status word.
std::string LastRefusal(const std::string& log) {
  std::string out, command;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 2, "> ") == 0) command = line.substr(2);
    const std::string sw = line.size() >= 6 && line.compare(0, 2, "< ") == 0 ? line.substr(line.size() - 4) : "";
    if (!sw.empty() && sw != "9000" && sw != "6A82" && sw.compare(0, 2, "61") != 0)
      out = " (the card answered " + sw + " to " + CommandName(command) + ")";
  }
  return out;
}

// Whether a record that no command moves (as long as one or longer) stands after
// the first gap of a directory (filler or a cleared element before its last record).
bool LongRecordAfterAGap(const DirectoryCheck& c, const std::string& dir) {
  size_t end = 0;
  bool gap = false;
  for (const DirectoryRecord& r : c.whole) {
    if (r.dir != dir) continue;
    gap = gap || r.offset != end;
    if (gap && r.octets.size() >= 255) return true;
    end = r.offset + r.octets.size();
  }
  return false;
}

// Which private keys a check signs with: all, or those of `uids`.
struct Sign {
  bool all = false;
  std::set<int> uids;
};

class Sequence {
 public:
  // pins: PIN calls among the steps (not in the sequences kept as they were found).
  Sequence(const Config& c, unsigned seed, Kind kind, int steps, bool pins = true)
      : config_(c), seed_(seed), kind_(kind), steps_(steps), pins_(pins), rng_(seed), rig_(c.card) {}

  // Runs the sequence; an empty text when the token always held the model.
  std::string Run() {
    std::string failure = SetUp();
    // The user's login is the only one the test keeps: what it verified is all the card may hold verified.
    held_ = rig_.sim.VerifiedPins(kRigReader);
    if (failure.empty() && held_.size() > 1) failure = "the user's login verified " + Join(held_);
    for (int i = 0; failure.empty() && i < steps_; ++i) {
      failure = Step();
      if (failure.empty()) failure = LeftAfterStep();
    }
    if (failure.empty()) failure = Restart(kind_ == Kind::kTwoApplications ? "both" : "");
    if (failure.empty()) return "";
    std::string out = Fmt("seed %u on %s (%s), %s: %s\nreplay: MIRTAL_RANDOM_SEED=%u MIRTAL_RANDOM_STEPS=%d %s "
                          "--gtest_filter='*%s'\nsteps:\n",
                          seed_, config_.card, config_.initToken ? "made by C_InitToken" : "as it is", KindName(kind_),
                          failure.c_str(), seed_, steps_, "build/tests/pkcs11impl/test_pkcs11impl_module_random",
                          config_.name);
    for (size_t i = 0; i < words_.size(); ++i) out += Fmt("%3zu. %s\n", i + 1, words_[i].c_str());
    const DirectoryCheck dirs = Directories();
    out += Fmt("the card's directories: %zu object records", dirs.objectRecords) +
           (dirs.torn.empty() ? "" : "; octets that are no whole record: " + Join(dirs.torn)) +
           (dirs.spares.empty() ? "" : "; spares standing: " + Join(dirs.spares)) + "\n";
    // The card's commands since the last step began, the last of them.
    const std::string log = rig_.sim.ApduLog(kRigReader);
    size_t from = log.size();
    for (int lines = 0; from > 0 && lines < 40; ++lines) from = log.rfind('\n', from - 1);
    return out + "the card's last commands:\n" + (from >= log.size() ? log : log.substr(from + 1)) + "\n";
  }
  size_t Steps() const { return words_.size(); }
  size_t Objects() const { return model_.size(); }
  int refusals = 0, cutsFired = 0;  // calls answered CKR_DEVICE_MEMORY or through a changed object's handle

 private:
  unsigned Draw(unsigned n) { return n ? static_cast<unsigned>(rng_() % n) : 0; }
  bool Chance(unsigned in) { return Draw(in) == 0; }
  std::string Octets(size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng_());
    return s;
  }
  // 1 to 64 characters, now and then a letter of two octets.
  std::string Label() {
    static const char* const kWide[] = {"\xc4\x85", "\xc5\x82", "\xc5\xbc", "\xc5\x9a"};
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_.";
    std::string s;
    const unsigned n = 1 + Draw(64);
    for (unsigned i = 0; i < n; ++i) s += Chance(12) ? kWide[Draw(4)] : std::string(1, kPlain[Draw(sizeof kPlain - 1)]);
    return s;
  }
  std::string Id() { return Octets(1 + Draw(20)); }
  size_t ValueLength() {
    // Mostly of some kilobytes, so that sequences reach a full card.
    switch (Draw(8)) {
      case 0: return Draw(2) ? 0 : 1 + Draw(16);
      case 1: case 2: return 1 + Draw(256);
      case 3: return 257 + Draw(768);
      default: return 1025 + Draw(3072);
    }
  }

  std::string SetUp() {
    if (!rig_.sim.ok() || !rig_.m.ok()) return "the simulator or the module does not load";
    CK_FUNCTION_LIST* f = rig_.m.list();
    const CK_SESSION_HANDLE s = config_.initToken ? rig_.MakeToken(rig_.Image()) : rig_.Start(rig_.Image());
    apps_[0].f = f;
    apps_[0].s = s;
    apps_[1].name = 'B';
    if (kind_ == Kind::kTwoApplications) {
      if (!rig_.StartOther()) return "the second copy of the module does not start";
      apps_[1].f = rig_.other->list();
      apps_[1].s = Rig::User(apps_[1].f);
      if (apps_[1].s == 0) return "no user session in the second copy";
    }
    if (s == 0) return "no user session";
    // The token's objects as it holds them are the model's first.
    std::vector<Shown> shown;
    std::string problem = List(apps_[0], &shown);
    if (!problem.empty()) return problem;
    for (const Shown& o : shown) {
      model_.push_back(o);
      model_.back().uid = next_++;
      model_.back().kept = *config_.kept && o.label.find(config_.kept) != std::string::npos;
      std::string modifiable;
      if (Attribute(apps_[0].f, apps_[0].s, o.h, CKA_MODIFIABLE, &modifiable) != CKR_OK || modifiable.size() != 1)
        return "the CKA_MODIFIABLE of " + Describe(o) + " does not read";
      model_.back().readOnly = modifiable[0] == 0;
    }
    for (Obj& o : model_)
      if (o.cls == CKO_PRIVATE_KEY && o.n.empty()) return "a private key without its modulus: " + Describe(o);
    dirs_ = Directories();
    otherFiles_ = OtherFiles();
    missingBefore_.clear();
    for (const std::string& m : dirs_.missing) missingBefore_.insert(m);
    problem = Look(apps_[0], Sign{true, {}});
    if (problem.empty() && apps_[1].f) problem = Look(apps_[1], {});
    return problem;
  }

  // Every object the copy lists, with what the model compares.
  std::string List(App& a, std::vector<Shown>* out) {
    out->clear();
    std::vector<CK_OBJECT_HANDLE> all;
    CK_RV rv = FindAll(a.f, a.s, TestTemplate(), &all);
    if (rv != CKR_OK) return Fmt("%c's search answers %s", a.name, RvName(rv).c_str());
    for (CK_OBJECT_HANDLE h : all) {
      a.Given(h);
      Shown x;
      x.h = h;
      std::string cls, priv;
      rv = Attribute(a.f, a.s, h, CKA_CLASS, &cls);
      if (rv == CKR_OK && cls.size() == sizeof x.cls) std::memcpy(&x.cls, cls.data(), sizeof x.cls);
      if (rv == CKR_OK) rv = Attribute(a.f, a.s, h, CKA_LABEL, &x.label);
      if (rv == CKR_OK && x.cls != CKO_DATA) rv = Attribute(a.f, a.s, h, CKA_ID, &x.id);
      if (rv == CKR_OK && (x.cls == CKO_DATA || x.cls == CKO_CERTIFICATE)) rv = Attribute(a.f, a.s, h, CKA_VALUE, &x.value);
      if (rv == CKR_OK && x.cls == CKO_DATA) rv = Attribute(a.f, a.s, h, CKA_PRIVATE, &priv);
      x.priv = priv.size() == 1 && priv[0] != 0;
      if (rv == CKR_OK && (x.cls == CKO_PUBLIC_KEY || x.cls == CKO_PRIVATE_KEY)) {
        rv = Attribute(a.f, a.s, h, CKA_MODULUS, &x.n);
        if (rv == CKR_OK) rv = Attribute(a.f, a.s, h, CKA_PUBLIC_EXPONENT, &x.e);
      }
      if (rv != CKR_OK) return Fmt("%c reads %s: %s", a.name, Describe(x).c_str(), RvName(rv).c_str());
      out->push_back(x);
    }
    return "";
  }

  // The copy's handles as its listing paired them with the model.
  void Remember(App& a, const std::vector<Shown>& shown, const std::vector<int>& pairing) {
    a.handles.clear();
    a.changedByOther.clear();
    for (size_t i = 0; i < model_.size(); ++i)
      if (pairing[i] >= 0) a.handles[model_[i].uid] = shown[static_cast<size_t>(pairing[i])].h;
  }

  // The token against the model as copy `a` lists it; then the keys sign. With
  // two applications a copy keeps what it read until it writes that directory
  // itself, and another copy started afresh would log out at its end, which resets
  // the card under both: the card's records stand for the listing, and the copies
  // list the token after each restart.
  std::string Check(App& a, const Sign& sign = Sign()) {
    if (kind_ != Kind::kTwoApplications) return Look(a, sign);
    std::string problem = Join(RecordsAgainstModel());
    for (int uid : sign.uids) {
      const int i = IndexOf(uid);
      std::vector<CK_BYTE> sig;
      const CK_RV rv = SignOnce(a.f, a.s, a.handles[uid], CKM_RSA_PKCS, DigestInfoOfAbc(), &sig);
      if (i >= 0 && model_[static_cast<size_t>(i)].cls == CKO_PRIVATE_KEY &&
          (rv != CKR_OK || OpenSslRecoverPkcs1(Octets(model_[static_cast<size_t>(i)].n),
                                               Octets(model_[static_cast<size_t>(i)].e), sig) != DigestInfoOfAbc()))
        problem += Describe(model_[static_cast<size_t>(i)]) + " does not sign what OpenSSL verifies: " + RvName(rv);
    }
    return problem;
  }

  // The class, label and CKA_ID of each object record on the card (the first
  // elements of its common and class attributes), and the value of a data object
  // or certificate (the file it names), against the model's.
  std::vector<std::string> RecordsAgainstModel() {
    static const std::map<uint8_t, CK_OBJECT_CLASS> kClasses = {
        {0xA0, CKO_PRIVATE_KEY}, {0xA1, CKO_PUBLIC_KEY},  {0xA2, CKO_PUBLIC_KEY}, {0xA4, CKO_CERTIFICATE},
        {0xA5, CKO_CERTIFICATE}, {0xA6, CKO_CERTIFICATE}, {0xA7, CKO_DATA}};
    std::multiset<std::string> card, model;
    const auto key = [](CK_OBJECT_CLASS c, const std::string& label, const std::string& id, const std::string& value) {
      return Fmt("%s \"%s\" id %s", ClassName(c), label.c_str(), HexOf(id).c_str()) +
             (c == CKO_DATA || c == CKO_CERTIFICATE ? Fmt(" of %zu octets %s", value.size(), HexOf(value.substr(0, 8)).c_str())
                                                    : "");
    };
    for (const Obj& o : model_) model.insert(key(o.cls, o.label, o.id, o.value));
    const Image image = ReadImage(rig_.CardPath());
    for (const DirectoryRecord& r : Directories().whole) {
      const auto c = kClasses.find(r.kind);
      if (c == kClasses.end()) continue;
      const std::vector<uint8_t>& d = r.octets;
      std::string label, id;
      size_t at = 0, vs, vl, in, s2, l2, s3, l3;
      uint8_t tag, t2, t3;
      if (NextTlv(d, &at, d.size(), &tag, &vs, &vl)) {
        in = vs;
        if (NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && t2 == 0x30) {
          size_t k = s2;
          if (NextTlv(d, &k, s2 + l2, &t3, &s3, &l3) && t3 == 0x0C) label.assign(d.begin() + s3, d.begin() + s3 + l3);
        }
        if (c->second != CKO_DATA && NextTlv(d, &in, vs + vl, &t2, &s2, &l2) && t2 == 0x30) {
          size_t k = s2;
          if (NextTlv(d, &k, s2 + l2, &t3, &s3, &l3) && t3 == 0x04) id.assign(d.begin() + s3, d.begin() + s3 + l3);
        }
      }
      std::string value;
      if (c->second == CKO_DATA || c->second == CKO_CERTIFICATE) (void)NamedValue(d, 0, d.size(), image, &value);
      card.insert(key(c->second, label, id, value));
    }
    std::vector<std::string> out;
    for (const std::string& m : std::set<std::string>(model.begin(), model.end()))
      if (card.count(m) < model.count(m)) out.push_back("the card holds no record of " + m);
    for (const std::string& m : std::set<std::string>(card.begin(), card.end()))
      if (model.count(m) < card.count(m)) out.push_back("a record the model does not hold: " + m);
    return out;
  }

  // The copy's listing against the model; its handles follow.
  std::string Look(App& a, const Sign& sign) {
    std::vector<Shown> shown;
    std::string problem = List(a, &shown);
    if (!problem.empty()) return problem;
    std::vector<int> pairing;
    problem = Join(Pair(model_, shown, &pairing));
    if (!problem.empty()) return Fmt("%c lists: ", a.name) + problem;
    // A pair whose generation a cut left is known now.
    for (size_t i = 0; i < model_.size(); ++i)
      if (model_[i].n.empty()) {
        model_[i].n = shown[static_cast<size_t>(pairing[i])].n;
        model_[i].e = shown[static_cast<size_t>(pairing[i])].e;
      }
    Remember(a, shown, pairing);
    // Private keys sign what OpenSSL verifies with the model's public key.
    std::vector<std::string> out;
    for (const Obj& o : model_) {
      if (o.cls != CKO_PRIVATE_KEY || o.kept || (!sign.all && !sign.uids.count(o.uid))) continue;
      std::vector<CK_BYTE> sig;
      const CK_RV rv = SignOnce(a.f, a.s, a.handles[o.uid], CKM_RSA_PKCS, DigestInfoOfAbc(), &sig);
      if (rv != CKR_OK)
        out.push_back(Describe(o) + " does not sign: " + RvName(rv));
      else if (OpenSslRecoverPkcs1(Octets(o.n), Octets(o.e), sig) != DigestInfoOfAbc())
        out.push_back("OpenSSL does not verify the signature of " + Describe(o));
    }
    return Join(out);
  }
  static std::vector<CK_BYTE> Octets(const std::string& s) { return std::vector<CK_BYTE>(s.begin(), s.end()); }

  DirectoryCheck Directories() const { return CheckDirectories(rig_.CardPath(), config_.app); }
  // The lines of the EFs and keys in config_.other that lie outside the application's DF.
  std::string OtherFiles() const {
    std::string out;
    if (!*config_.other) return out;
    std::istringstream in(rig_.Image());
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string kind, where;
      words >> kind >> where;
      where.erase(std::remove(where.begin(), where.end(), '/'), where.end());
      if ((kind == "ef" || kind == "key") && where.compare(0, std::strlen(config_.other), config_.other) == 0 &&
          where.compare(0, std::strlen(config_.app), config_.app) != 0)
        out += line + "\n";
    }
    return out;
  }

  // The card's directories after a step: whole records naming files that are
  // there, no directory lost, no file left unnamed but those `allowed`, and (after
  // a write that went through) no growth left unfinished; after a step that was
  // not cut, records packed from the start, as strict readers take them, in every
  // directory but those a cut left so and nothing wrote since, and those where a
  // record that no command moves stands after a gap.
  std::string CheckCard(const std::set<std::string>& allowed, bool wrote, bool cut = false) {
    const DirectoryCheck now = Directories();
    std::vector<std::string> out;
    for (const auto& [dir, octets] : now.unpacked) {
      const auto was = dirs_.unpacked.find(dir);
      if (!cut && (was == dirs_.unpacked.end() || was->second != octets) && !LongRecordAfterAGap(now, dir))
        out.push_back("records that a strict reader does not all find: " + dir);
    }
    for (const std::string& t : now.torn) out.push_back("octets that are no whole record: " + t);
    for (const std::string& m : now.missingInTorn) out.push_back("a record names a missing file: " + m);
    for (const std::string& m : now.missing)
      if (!missingBefore_.count(m)) out.push_back("a record names a missing file: " + m);
    const std::set<std::string> before(dirs_.orphans.begin(), dirs_.orphans.end());
    std::set<std::string> byReference;
    bool read = false;
    for (const std::string& o : now.orphans) {
      if (before.count(o) || allowed.count(o) || now.dfs.count(o)) continue;
      if (!read) byReference = KeysNamedByReference(rig_.CardPath(), config_.app);
      read = true;
      if (!byReference.count(o)) out.push_back("a file no record names: " + o);
    }
    if (wrote && !now.spares.empty()) out.push_back("a spare still stands in its file's place: " + Join(now.spares));
    dirs_ = now;
    missingBefore_.clear();
    for (const std::string& m : now.missing) missingBefore_.insert(m);
    return Join(out);
  }

  // Between steps no PIN is verified on the card but the user's, another program is answered at once, and
  // the files outside the application (where the rig names them) are as they were.
  std::string LeftAfterStep() {
    const std::string left = bridgehost::LeftToAnotherProgram(rig_.sim, kRigReader, held_);
    if (!left.empty()) return "after the step, " + left + "(the user's login holds " + Join(held_) + ")";
    return OtherFiles() == otherFiles_ ? "" : Fmt("the step changed files outside the application in %s", config_.app);
  }

  App& Other(const App& a) { return &a == &apps_[0] ? apps_[1] : apps_[0]; }
  int IndexOf(int uid) const {
    for (size_t i = 0; i < model_.size(); ++i)
      if (model_[i].uid == uid) return static_cast<int>(i);
    return -1;
  }

  std::string Step() {
    if (rig_.sim.ClearLog(kRigReader) != 0) return "the simulator refuses";
    App* a = &apps_[0];
    if (kind_ == Kind::kTwoApplications) {
      if (Chance(3)) turn_ ^= 1;
      a = &apps_[turn_];
    }
    int weights[static_cast<int>(Act::kCount)] = {};
    size_t known = 0, modifiable = 0, data = 0, lonePrivate = 0;  // what the copy holds a handle of
    for (const Obj& o : model_) {
      known += !o.kept && a->handles.count(o.uid);
      modifiable += !o.kept && !o.readOnly && a->handles.count(o.uid);
      data += o.cls == CKO_DATA && !o.kept && !o.readOnly && a->handles.count(o.uid);
      if (o.cls == CKO_PRIVATE_KEY && !o.kept && LonePrivate(o)) ++lonePrivate;
    }
    const auto w = [&weights](Act act) -> int& { return weights[static_cast<int>(act)]; };
    w(Act::kCertificate) = 6;
    w(Act::kData) = 8;
    w(Act::kGenerate) = 2;
    w(Act::kImport) = 2;
    w(Act::kImportPublic) = lonePrivate ? 3 : 0;
    w(Act::kRename) = modifiable ? 4 : 0;
    w(Act::kChangeValue) = data ? 4 : 0;
    w(Act::kDestroy) = known ? 3 + 6 * full_ : 0;
    w(Act::kRestart) = 1;
    w(Act::kStale) = a->stale.empty() ? 0 : 4;
    w(Act::kPin) = pins_ ? 2 : 0;
    w(Act::kOtherProgram) = pins_ && kind_ == Kind::kTwoApplications ? 2 : 0;
    int total = 0;
    for (int x : weights) total += x;
    int pick = static_cast<int>(Draw(static_cast<unsigned>(total)));
    int act = 0;
    while (pick >= weights[act]) pick -= weights[act++];
    const std::string who = kind_ == Kind::kTwoApplications ? std::string(1, a->name) + " " : "";
    if (static_cast<Act>(act) == Act::kRestart) return Restart(who);
    if (static_cast<Act>(act) == Act::kStale) return UseStale(*a, who);
    if (static_cast<Act>(act) == Act::kPin) return PinCall(*a, who);
    if (static_cast<Act>(act) == Act::kOtherProgram) return OtherProgramSetsThePin();
    return Write(*a, static_cast<Act>(act), who);
  }

  // A PIN call that keeps every value, on the token or on the card's other one (where no one is logged in):
  // the vendor change, unblocking with the SO's PIN and the SO's setting of the user's PIN, and C_SetPIN.
  // What it answers is not judged here; what it leaves verified is, after the step.
  std::string PinCall(App& a, const std::string& who) {
    Module& m = &a == &apps_[0] ? rig_.m : *rig_.other;
    const CK_SLOT_ID slot = Chance(2) ? 1 : 0;
    const unsigned call = Draw(4);
    static const char* const kNames[] = {"MIRTAL_PKCS11_ChangePin", "MIRTAL_PKCS11_UnblockPin", "MIRTAL_PKCS11_InitPin",
                                         "C_SetPIN"};
    words_.push_back(who + kNames[call] + Fmt(" on slot %lu", slot));
    CK_SESSION_HANDLE s = 0;
    if (a.f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK) {
      words_.back() += ": no token there";
      return "";
    }
    CK_UTF8CHAR_PTR user = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kRigUserPin));
    CK_UTF8CHAR_PTR so = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kRigSoPin));
    CK_OBJECT_HANDLE pins[8];
    CK_ULONG n = 8;
    CK_RV rv = m.fn<decltype(&MIRTAL_PKCS11_GetPinList)>("MIRTAL_PKCS11_GetPinList")(s, pins, &n);
    if (rv == CKR_OK && n == 0) rv = CKR_USER_PIN_NOT_INITIALIZED;
    if (rv == CKR_OK && call == 0)
      rv = m.fn<decltype(&MIRTAL_PKCS11_ChangePin)>(kNames[0])(s, pins[0], user, 4, user, 4);
    // Unblocked with a new value: only it logs in (the old one: one try); the SO's PIN sets the
    // old one again, and both copies start anew (the check ended the slot's login).
    const auto unblock = m.fn<decltype(&MIRTAL_PKCS11_UnblockPin)>(kNames[1]);
    CK_UTF8CHAR fresh[] = "2468";
    if (rv == CKR_OK && call == 1 && (rv = unblock(s, pins[0], so, 8, fresh, 4)) == CKR_OK) {
      (void)a.f->C_Logout(s);
      const CK_RV old = a.f->C_Login(s, CKU_USER, user, 4), now = a.f->C_Login(s, CKU_USER, fresh, 4);
      const bool back = a.f->C_Logout(s) == CKR_OK && unblock(s, pins[0], so, 8, user, 4) == CKR_OK;
      (void)a.f->C_CloseSession(s);
      words_.back() += Fmt(": CKR_OK; the old value %s, the new one %s", RvName(old).c_str(), RvName(now).c_str());
      if (old != CKR_PIN_INCORRECT || now != CKR_OK || !back) return "the unblocking did not give the value typed";
      return Restart(kind_ == Kind::kTwoApplications ? "both" : "");
    }
    if (rv == CKR_OK && call == 2)
      rv = m.fn<decltype(&MIRTAL_PKCS11_InitPin)>(kNames[2])(s, pins[0], so, 8, user, 4, nullptr, 0);
    if (rv == CKR_OK && call == 3) rv = a.f->C_SetPIN(s, user, 4, user, 4);
    (void)a.f->C_CloseSession(s);
    words_.back() += ": " + RvName(rv);
    // An unblocking, done or refused, may reset the card (the card picks the PIN it
    // checks): the other copy's sessions end as after any other program's reset.
    if (kind_ == Kind::kTwoApplications && (call == 1 || call == 2)) return Restart("both");
    return "";
  }

  // A PIN as the card's image holds it, found from the DF up (a global one in the master file).
  struct ImagePin {
    bool found = false;
    std::string value, padded;  // the value in hex, and as CHANGE REFERENCE DATA takes the old one
    unsigned tries = 0, left = 0, unblock = 0xFF;
  };
  ImagePin PinOfImage(std::string df, unsigned ref) const {
    const std::string text = rig_.Image();
    ImagePin p;
    for (df = ref < 0x80 ? "3F00" : df; !p.found && !df.empty(); df = df.size() > 4 ? df.substr(0, df.rfind('/')) : "") {
      const size_t at = text.find("\npin " + df + Fmt(" ref=%02X ", ref));
      if (at == std::string::npos) continue;
      const std::string line = text.substr(at, text.find('\n', at + 1) - at) + " ";
      const auto field = [&](const std::string& key) {
        const size_t k = line.find(" " + key + "="), from = k + key.size() + 2;
        return k == std::string::npos ? "" : line.substr(from, line.find(' ', from) - from);
      };
      p.found = true;
      p.value = p.padded = field("value");
      p.tries = std::stoul(field("tries"));
      p.left = std::stoul(field("left"));
      if (!field("unblock").empty()) p.unblock = std::stoul(field("unblock"), nullptr, 16);
      while (field("pad") != "none" && p.padded.size() < 2 * std::stoul(field("max"))) p.padded += field("pad");
    }
    return p;
  }

  // Another program changes the user's PIN, or unblocks it with its PUK, with commands of its own, and logs
  // out (VERIFY P1=FF) or stays logged in; then each copy signs. Between two values the card takes, the
  // copies' kept values cost the PIN at most one try in all: where it stays verified both sign; otherwise
  // the first copy's value is refused, the second's is not presented, and both sessions fall back to the
  // public state, where a login with the new value is accepted. The other program then sets the old value
  // again, and both copies start afresh.
  std::string OtherProgramSetsThePin() {
    words_.push_back("another program ");
    int key = -1;
    for (const Obj& o : model_)
      if (o.cls == CKO_PRIVATE_KEY && !o.kept && apps_[0].handles.count(o.uid) && apps_[1].handles.count(o.uid) &&
          !apps_[0].changedByOther.count(o.uid) && !apps_[1].changedByOther.count(o.uid))
        key = o.uid;
    if (key < 0 || held_.size() != 1) {
      words_.back() += "leaves the PIN: the copies have no key to sign with";
      return "";
    }
    const std::string df = held_[0].substr(0, held_[0].find(' ')), r = held_[0].substr(held_[0].find(' ') + 1);
    const unsigned ref = static_cast<unsigned>(std::stoul(r, nullptr, 16));
    const ImagePin pin = PinOfImage(df, ref), puk = pin.unblock != 0xFF ? PinOfImage(df, pin.unblock) : ImagePin();
    if (!pin.found) return "the user's PIN " + held_[0] + " is not in the card's image";
    // Each sequence takes the four ways in turn, from a way of its own.
    const unsigned way = seed_ + otherPrograms_++;
    const bool unblock = puk.found && (way & 2) != 0, stays = (way & 1) != 0;
    words_.back() +=
        Fmt("%s the user's PIN and %s", unblock ? "unblocks" : "changes", stays ? "stays logged in" : "logs out");
    // "5678", alone and padded as the rig's "1234" is for CHANGE REFERENCE DATA.
    const std::string fresh = "35363738", freshPadded = fresh + pin.padded.substr(pin.value.size());
    const auto with = [&](const char* head, const std::string& data) {
      return head + r + bridgehost::OtherProgram::Hex2(data.size() / 2) + data;
    };
    std::string ids;  // the DF's path below the master file
    for (size_t i = 5; i < df.size(); i += 5) ids += df.substr(i, 4);
    const std::string select =
        ids.empty() ? "00A4000C023F00" : "00A4080C" + bridgehost::OtherProgram::Hex2(ids.size() / 2) + ids;
    std::vector<std::string> commands = {select, unblock ? with("002C00", puk.padded + fresh)
                                                         : with("002400", pin.padded + fresh)};
    if (unblock && stays) commands.push_back(with("002000", fresh));
    if (!stays) commands.push_back("0020FF" + r);
    const auto send = [&](const std::vector<std::string>& list) {
      bridgehost::OtherProgram other(kRigReader);
      for (const std::string& c : list)
        if (other.Send(c) != "9000") return "another program's " + c.substr(0, 8) + " is refused";
      return std::string();
    };
    std::string problem = send(commands);
    CK_UTF8CHAR freshText[] = "5678";
    for (App& a : apps_) {
      std::vector<CK_BYTE> sig;
      const CK_RV rv = problem.empty() ? SignOnce(a.f, a.s, a.handles[key], CKM_RSA_PKCS, DigestInfoOfAbc(), &sig) : 0;
      CK_SESSION_INFO info = {};
      words_.back() += Fmt("; %c signs: %s", a.name, RvName(rv).c_str());
      if (problem.empty() && (rv != (stays ? CKR_OK : CKR_USER_NOT_LOGGED_IN) || a.f->C_GetSessionInfo(a.s, &info) ||
                              info.state != (stays ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)))
        problem = Fmt("%c's signature answers %s, its session is in state %lu", a.name, RvName(rv).c_str(), info.state);
    }
    const unsigned left = PinOfImage(df, ref).left;
    if (problem.empty() && left != (stays ? pin.tries : pin.tries - 1))
      problem = Fmt("the PIN has %u of %u tries left", left, pin.tries);
    for (App& a : apps_)
      if (problem.empty() && !stays && a.f->C_Login(a.s, CKU_USER, freshText, 4) != CKR_OK)
        problem = Fmt("%c's login with the new value fails", a.name);
    if (problem.empty()) problem = send({select, with("002400", freshPadded + pin.value), "0020FF" + r});
    return problem.empty() ? Restart("both") : problem;
  }

  bool LonePrivate(const Obj& k) const {
    for (const Obj& o : model_)
      if (o.cls == CKO_PUBLIC_KEY && o.id == k.id) return false;
    return true;
  }

  std::string Restart(const std::string& who) {
    words_.push_back("restart" + std::string(who.empty() ? "" : " of both copies") + " (the card out and in)");
    if (apps_[1].f) (void)apps_[1].f->C_Finalize(nullptr);
    apps_[0].s = rig_.Restart();
    if (apps_[0].s == 0) return "no user session after the restart";
    apps_[0].Forget();
    apps_[1].Forget();
    if (apps_[1].f && (apps_[1].f->C_Initialize(nullptr) != CKR_OK || (apps_[1].s = Rig::User(apps_[1].f)) == 0))
      return "no user session in the second copy after the restart";
    // Each copy lists the model's objects.
    std::string problem = Look(apps_[0], Sign{true, {}});
    if (problem.empty() && apps_[1].f) problem = Look(apps_[1], {});
    return problem;
  }

  // A handle of an object the other copy destroyed: a change through it answers
  // CKR_OBJECT_HANDLE_INVALID and leaves the card as it was; its value reads as
  // it was, or the handle is invalid.
  std::string UseStale(App& a, const std::string& who) {
    auto it = a.stale.begin();
    std::advance(it, Draw(static_cast<unsigned>(a.stale.size())));
    const CK_OBJECT_HANDLE h = it->first;
    const Obj& was = it->second;
    // An object like it in every way made again (the same record octet for octet,
    // in the same file) is the one its handle names for any card: no stale use.
    if (std::any_of(model_.begin(), model_.end(), [&](const Obj& o) {
          return o.cls == was.cls && o.label == was.label && o.id == was.id && o.value == was.value && o.n == was.n &&
                 o.e == was.e && o.priv == was.priv;
        })) {
      a.stale.erase(it);
      return std::string();
    }
    static const char* const kUses[] = {"renames", "destroys", "reads the value", "gives a new value"};
    const unsigned use = Draw(was.cls == CKO_DATA ? 4 : was.cls == CKO_CERTIFICATE ? 3 : 2);
    words_.push_back(who + kUses[use] + " through its handle of " + Describe(was) + ", which " +
                     std::string(1, Other(a).name) + " destroyed");
    const std::string image = rig_.Image();
    std::string got;
    TestTemplate t;
    CK_RV rv;
    switch (use) {
      case 0: rv = a.f->C_SetAttributeValue(a.s, h, TT_ARGS(t.Bytes(CKA_LABEL, Label()))); break;
      case 1: rv = a.f->C_DestroyObject(a.s, h); break;
      case 2: rv = Attribute(a.f, a.s, h, CKA_VALUE, &got); break;
      default: rv = a.f->C_SetAttributeValue(a.s, h, TT_ARGS(t.Bytes(CKA_VALUE, Octets(ValueLength())))); break;
    }
    words_.back() += ": " + RvName(rv);
    // A handle names its object by the file its value was in: once a later object
    // took that file, a read through it gives that object's value (the README says
    // so), but never a private object's through a public object's handle.
    const bool fileTaken = std::any_of(model_.begin(), model_.end(),
                                       [&](const Obj& o) { return o.value == got && (was.priv || !o.priv); });
    if (use == 2 && rv == CKR_OK && got != was.value && !fileTaken)
      return Fmt("the value read through it is not the object's (%zu octets)", got.size());
    // A change of an object found read-only is refused as such before the card is looked at.
    const bool readOnly = was.readOnly && (use == 0 || use == 3) && rv == CKR_ATTRIBUTE_READ_ONLY;
    if (rv != CKR_OBJECT_HANDLE_INVALID && !(use == 2 && rv == CKR_OK) && !readOnly)
      return "a handle of a destroyed object answers " + RvName(rv);
    if (rig_.Image() != image) return "a call through a handle of a destroyed object changed the card";
    std::string problem = Check(a);
    return problem.empty() ? CheckCard({}, false) : problem;
  }

  // A creation, a change or a destruction by copy `a`, with a fault at a drawn
  // command in sequences of cuts.
  std::string Write(App& a, Act act, const std::string& who) {
    Model after = model_;
    std::vector<int> made;  // the objects the call makes, in the order of its handles
    int target = -1;
    Obj was;  // the object a change or destruction works on, as it was
    std::string words;
    TestTemplate t;
    std::function<CK_RV(CK_OBJECT_HANDLE*, CK_OBJECT_HANDLE*)> call = [&](CK_OBJECT_HANDLE* h, CK_OBJECT_HANDLE*) {
      return a.f->C_CreateObject(a.s, TT_ARGS(t), h);
    };
    const auto make = [&](Obj o) {
      o.uid = next_++;
      made.push_back(o.uid);
      after.push_back(o);
      return o;
    };
    switch (act) {
      case Act::kCertificate: {
        Obj o;
        o.cls = CKO_CERTIFICATE;
        o.label = Label();
        // As clients do, often under the CKA_ID of a key the token holds.
        std::vector<const Obj*> keys;
        for (const Obj& k : model_)
          if (k.cls == CKO_PRIVATE_KEY && !k.kept) keys.push_back(&k);
        o.id = !keys.empty() && Chance(2) ? keys[Draw(static_cast<unsigned>(keys.size()))]->id : Id();
        const Certificate c = OpenSslCertificate(Label(), (static_cast<uint64_t>(seed_) << 24) + next_, 900 + Draw(300));
        if (c.der.empty()) return "OpenSSL makes no certificate";
        o.value.assign(c.der.begin(), c.der.end());
        t = CertificateObject(c, o.label, o.id);
        make(o);
        words = Fmt("creates certificate \"%s\" id %s of %zu octets", o.label.c_str(), HexOf(o.id).c_str(), o.value.size());
        break;
      }
      case Act::kData: {
        Obj o;
        o.label = Label();
        o.value = Octets(ValueLength());
        o.priv = Chance(3);
        t.Ulong(CKA_CLASS, CKO_DATA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, o.priv).Bytes(CKA_LABEL, o.label);
        t.Bytes(CKA_APPLICATION, "random writes").Bytes(CKA_VALUE, o.value);
        make(o);
        words = Fmt("creates %sdata object \"%s\" of %zu octets", o.priv ? "private " : "", o.label.c_str(),
                    o.value.size());
        break;
      }
      case Act::kGenerate: {
        Obj o;
        o.cls = CKO_PUBLIC_KEY;
        o.label = Label();
        o.id = Id();
        make(o);
        o.cls = CKO_PRIVATE_KEY;
        make(o);
        words = Fmt("generates key pair \"%s\" id %s", o.label.c_str(), HexOf(o.id).c_str());
        call = [&, o](CK_OBJECT_HANDLE* h, CK_OBJECT_HANDLE* h2) {
          return GeneratePair(a.f, a.s, o.label, Octets(o.id), h, h2);
        };
        break;
      }
      case Act::kImport: {
        std::vector<std::vector<CK_BYTE>> parts = OpenSslRsaKey(1024);
        if (parts.size() != 8) return "OpenSSL makes no key";
        Obj o;
        o.cls = CKO_PRIVATE_KEY;
        o.label = Label();
        o.id = Id();
        o.n.assign(parts[0].begin(), parts[0].end());
        o.e.assign(parts[1].begin(), parts[1].end());
        t.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true);
        t.Bool(CKA_SIGN, true).Bytes(CKA_LABEL, o.label).Bytes(CKA_ID, o.id);
        const CK_ATTRIBUTE_TYPE names[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                           CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
        for (size_t i = 0; i < 8; ++i) t.Bytes(names[i], std::string(parts[i].begin(), parts[i].end()));
        make(o);
        words = Fmt("imports private key \"%s\" id %s", o.label.c_str(), HexOf(o.id).c_str());
        break;
      }
      case Act::kImportPublic: {
        std::vector<const Obj*> lone;
        for (const Obj& k : model_)
          if (k.cls == CKO_PRIVATE_KEY && !k.kept && LonePrivate(k)) lone.push_back(&k);
        Obj o = *lone[Draw(static_cast<unsigned>(lone.size()))];
        o.cls = CKO_PUBLIC_KEY;
        t.Ulong(CKA_CLASS, CKO_PUBLIC_KEY).Ulong(CKA_KEY_TYPE, CKK_RSA).Bool(CKA_TOKEN, true).Bool(CKA_VERIFY, true);
        t.Bytes(CKA_LABEL, o.label).Bytes(CKA_ID, o.id).Bytes(CKA_MODULUS, o.n).Bytes(CKA_PUBLIC_EXPONENT, o.e);
        make(o);
        words = Fmt("imports the public key of \"%s\" id %s", o.label.c_str(), HexOf(o.id).c_str());
        break;
      }
      default: {  // on an object of the model
        std::vector<int> candidates;
        for (size_t i = 0; i < model_.size(); ++i)
          if ((act != Act::kChangeValue || model_[i].cls == CKO_DATA) && !model_[i].kept &&
              (act == Act::kDestroy || !model_[i].readOnly) && a.handles.count(model_[i].uid))
            candidates.push_back(static_cast<int>(i));
        const int i = candidates[Draw(static_cast<unsigned>(candidates.size()))];
        Obj& o = after[static_cast<size_t>(i)];
        target = o.uid;
        was = o;
        words = Describe(o);
        if (act == Act::kRename) {
          o.label = Label();
          t.Bytes(CKA_LABEL, o.label);
          words = "renames " + words + Fmt(" to \"%s\"", o.label.c_str());
        } else if (act == Act::kChangeValue) {
          const size_t old = o.value.size();
          const unsigned how = Draw(3);
          o.value = Octets(how == 0 ? old : how == 1 ? Draw(static_cast<unsigned>(old + 1)) : old + 1 + Draw(1024));
          if (o.value.size() > 4096) o.value.resize(4096);
          t.Bytes(CKA_VALUE, o.value);
          words = "changes the value of " + words + Fmt(" to %zu octets", o.value.size());
        } else {
          words = "destroys " + words;
          after.erase(after.begin() + i);
        }
        call = [&, act](CK_OBJECT_HANDLE*, CK_OBJECT_HANDLE*) {
          const CK_OBJECT_HANDLE h = a.handles[target];
          return act == Act::kDestroy ? a.f->C_DestroyObject(a.s, h) : a.f->C_SetAttributeValue(a.s, h, TT_ARGS(t));
        };
      }
    }
    words_.push_back(who + words);

    // A fault at a drawn command in sequences of cuts.
    const bool cut = kind_ == Kind::kCuts && Chance(3);
    const Fault fault = kFaults[Draw(4)];
    int& most = commands_[static_cast<int>(act)];
    const int at = static_cast<int>(Draw(static_cast<unsigned>(std::max(most, 20))));
    const std::string image = rig_.Image();
    const std::set<std::string> files = ReadImage(rig_.CardPath()).files;
    const bool maybeStale = target >= 0 && a.changedByOther.count(target);
    if (rig_.sim.ClearLog(kRigReader) != 0 || (cut && !ArmFault(rig_.sim, fault, at))) return "the simulator refuses";
    CK_OBJECT_HANDLE h[2] = {0, 0};
    const CK_RV rv = call(&h[0], &h[1]);
    const std::string log = rig_.sim.ApduLog(kRigReader);
    const std::vector<std::string> commands = Commands(log);
    const bool fired = cut && log.find(FaultMark(fault)) != std::string::npos;
    if (cut && !UndoFault(rig_.sim, fault, rig_.CardPath(), fired)) return "the fault is not undone";
    words_.back() += ": " + RvName(rv);
    if (fired) {
      ++cutsFired;
      const std::string& hit = commands[std::min(static_cast<size_t>(at), commands.size() - 1)];
      words_.back() += Fmt(", the card %s command %d of this call (%s)", FaultName(fault), at + 1, CommandName(hit).c_str());
      return AfterCut(a, fault, rv, hit, std::move(after), files);
    }
    if (!cut || rv == CKR_OK) most = std::max(most, static_cast<int>(commands.size()));

    const bool needsRoom = act != Act::kDestroy;
    if (rv == CKR_OK) {
      model_ = std::move(after);
      for (size_t k = 0; k < made.size(); ++k) {
        a.handles[made[k]] = h[k];
        a.Given(h[k]);
      }
      App& other = Other(a);
      if (act == Act::kDestroy) {
        const auto held = other.handles.find(target);
        if (held != other.handles.end()) other.stale[held->second] = was;
        other.handles.erase(target);
        a.handles.erase(target);
      } else if (target >= 0) {
        a.changedByOther.erase(target);  // its write read the card afresh
        other.changedByOther.insert(target);
      }
      if (act == Act::kGenerate) {
        // The pair's public parts as the module gives them.
        std::string n, e;
        if (Attribute(a.f, a.s, h[0], CKA_MODULUS, &n) != CKR_OK || Attribute(a.f, a.s, h[0], CKA_PUBLIC_EXPONENT, &e) != CKR_OK)
          return "the new public key's modulus does not read";
        for (Obj& o : model_)
          if (o.uid == made[0] || o.uid == made[1]) o.n = n, o.e = e;
      }
      full_ = std::max(0, full_ - 1);
    } else if ((rv == CKR_DEVICE_MEMORY && needsRoom) || (rv == CKR_OBJECT_HANDLE_INVALID && maybeStale)) {
      ++refusals;
      if (rv == CKR_DEVICE_MEMORY) full_ = 4;
      // Every file as it was (a directory whose growth the card refused may stand made again, last in its DF;
      // a spare left torn by a cut, which holds nothing, may have gone to make room).
      const std::string now = Comparable(rig_.Image());
      if (dirs_.spares.empty() && now != Comparable(image) && now != Comparable(WithoutMarkedFiles(image)))
        return "the call answered " + RvName(rv) + " but changed the card";
      if (rv == CKR_OBJECT_HANDLE_INVALID) a.handles.erase(target);
    } else {
      return "the call answers " + RvName(rv) + LastRefusal(log);
    }
    // New keys sign at once, all of them every eighth write.
    Sign sign;
    sign.all = ++sinceSigned_ % 8 == 0;
    if (rv == CKR_OK && (act == Act::kGenerate || act == Act::kImport)) sign.uids.insert(made.begin(), made.end());
    std::string problem = Check(a, sign);
    return problem.empty() ? CheckCard({}, rv == CKR_OK) : problem;
  }

  // After a fault inside a call: the token holds the model before or after it.
  std::string AfterCut(App& a, Fault fault, CK_RV rv, const std::string& command, Model after,
                       const std::set<std::string>& files) {
    (void)a.f->C_CloseAllSessions(0);
    a.s = Rig::User(a.f);
    a.Forget();
    if (a.s == 0) return "no user session after the fault";
    std::vector<Shown> shown;
    std::string problem = List(a, &shown);
    if (!problem.empty()) return problem;
    std::vector<int> pairing;
    const std::vector<std::string> asBefore = Pair(model_, shown, &pairing);
    const bool before = asBefore.empty();
    bool afterIt = Pair(after, shown, &pairing).empty();
    // A key pair whose generation was cut may stand with its public key alone (never the private one alone).
    if (!before && !afterIt && (fault == Fault::kPull || fault == Fault::kMute) && after.size() == model_.size() + 2 &&
        after.back().cls == CKO_PRIVATE_KEY) {
      after.pop_back();
      afterIt = Pair(after, shown, &pairing).empty();
      if (afterIt) words_.back() += "; its public key alone";
    }
    const std::string ins = command.substr(2, 2);
    const bool refusedWrite = fault == Fault::kErrorAnswer && (ins == "D6" || ins == "E0" || ins == "E4" || ins == "0E");
    if (!before && !afterIt) return "neither as before nor as after the call: " + Join(asBefore);
    if (refusedWrite && rv == CKR_OK) return "the call answered CKR_OK to a refused write";
    if ((fault == Fault::kReset || fault == Fault::kErrorAnswer) && (rv == CKR_OK ? !afterIt : !before))
      return rv == CKR_OK ? "the call answered CKR_OK but the token is not as after it"
                          : "the call failed but the token holds it";
    words_.back() += before && !afterIt ? "; the token as before" : !before ? "; the token as after" : "";
    if (!before) model_ = std::move(after);
    problem = Check(a, Sign{true, {}});
    // A pull or a mute may leave unnamed the files the call made, and those that
    // records it removed or rewrote named (deleted after the record that named them).
    // An error answer to a DELETE FILE may leave one the call made.
    std::set<std::string> left;
    if (fault == Fault::kPull || fault == Fault::kMute || (fault == Fault::kErrorAnswer && ins == "E4"))
      for (const std::string& f : ReadImage(rig_.CardPath()).files)
        if (!files.count(f)) left.insert(f);
    if (fault == Fault::kPull || fault == Fault::kMute) {
      std::set<std::vector<uint8_t>> standing;
      for (const DirectoryRecord& r : Directories().whole) standing.insert(r.octets);
      for (const DirectoryRecord& r : dirs_.whole)
        if (!standing.count(r.octets)) left.insert(r.paths.begin(), r.paths.end());
    }
    if (problem.empty()) problem = CheckCard(left, false, true);
    // Now and then the same in a new process.
    if (problem.empty() && Chance(4)) problem = Restart("");
    return problem;
  }

  const Config config_;
  const unsigned seed_;
  const Kind kind_;
  const int steps_;
  const bool pins_;
  std::mt19937 rng_;
  Rig rig_;
  App apps_[2];  // the copies of the module (the second with two applications)
  int turn_ = 0;
  Model model_;
  int next_ = 1;
  int full_ = 0;  // steps that still favour destruction after a refusal for want of memory
  int sinceSigned_ = 0;
  unsigned otherPrograms_ = 0;  // steps of another program that sets the user's PIN
  int commands_[static_cast<int>(Act::kCount)] = {};  // the most commands each kind of write took
  DirectoryCheck dirs_;
  std::string otherFiles_;  // OtherFiles() at the start
  std::set<std::string> missingBefore_;
  std::vector<std::string> words_;
  std::vector<std::string> held_;  // the PINs the user's login verified ("3F00/5015 81")
};

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

class RandomWrites : public ::testing::TestWithParam<Config> {};

}  // namespace

TEST_P(RandomWrites, TheTokenHoldsWhatTheModelSays) {
  const Config& c = GetParam();
  const int steps = EnvInt("MIRTAL_RANDOM_STEPS", c.steps);
  // Fixed seeds: one sequence of each kind (the seed modulo 3 says which).
  unsigned first = 21u * static_cast<unsigned>(c.index + 1), last = first + 2;
  if (const char* s = std::getenv("MIRTAL_RANDOM_SEED")) {
    first = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
    const char* dash = std::strchr(s, '-');
    last = dash ? static_cast<unsigned>(std::strtoul(dash + 1, nullptr, 10)) : first;
  }
  const auto run = [&c](unsigned seed, int length, bool pins) {
    const Kind kind = static_cast<Kind>(seed % 3);
    Sequence sequence(c, seed, kind, length, pins);
    const std::string failure = sequence.Run();
    std::printf("seed %u, %s: %zu steps, %zu objects then, %d refused (no room, or a handle the other changed), %d cut%s\n",
                seed, KindName(kind), sequence.Steps(), sequence.Objects(), sequence.refusals, sequence.cutsFired,
                failure.empty() ? "" : ", FAILED");
    if (!failure.empty()) ADD_FAILURE() << failure;
  };
  for (unsigned seed = first; seed <= last; ++seed) run(seed, steps, true);
  // Sequences of 200 steps that once found a fault, run as they were found: a
  // record written over a cleared element a cut left, a file made by a call that
  // an error answer kept from going, a key file left when its directory's
  // walk back met one.
  static const std::map<std::string, std::vector<unsigned>> kFound = {
      {"MadeByInitTokenOnModel1", {3020}}, {"WrittenToSizeOnModel1", {3023}}, {"WrittenToSizeOnModel7", {3011}}};
  const auto found = kFound.find(c.name);
  if (!std::getenv("MIRTAL_RANDOM_SEED") && found != kFound.end())
    for (unsigned seed : found->second) run(seed, 200, false);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, RandomWrites,
    ::testing::Values(Config{"MadeByInitTokenOnModel1", "blank-model1.card", true, 0},
                      Config{"MadeByInitTokenOnModel3", "blank-model3.card", true, 1},
                      Config{"MadeByInitTokenOnModel4", "blank-model4.card", true, 2},
                      Config{"MadeByInitTokenOnModel7", "blank-model7.card", true, 3},
                      Config{"WrittenToSizeOnModel1", "written-to-size-model1.card", false, 4},
                      Config{"WrittenToSizeOnModel3", "written-to-size-model3.card", false, 5},
                      Config{"WrittenToSizeOnModel4", "written-to-size-model4.card", false, 6},
                      Config{"WrittenToSizeOnModel7", "written-to-size-model7.card", false, 7},
                      // Cards of two applications, and one with a key of its own PIN: fewer steps.
                      Config{"FirstOfTwoApplicationsOnModel3", "pkcs15-model3-two-apps.card", false, 8, 40,
                             "3F005015", "3F00"},
                      Config{"InnerOfNestedApplicationsOnModel3", "pkcs15-model3-nested-apps-puk.card", false, 9, 40,
                             "3F0050155016", "3F00"},
                      Config{"BesideAQualifiedKeyOnModel3", "qualified-model3.card", false, 10, 40, "3F005015", "3F00",
                             "Qualified"}),
    [](const ::testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });
