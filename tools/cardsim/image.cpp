// The card image: a line-based text file (format in README.md), read at
// insertion and written back after every change.
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tools/cardsim/engine.h"

namespace cardsim {

namespace {

struct AmName {
  uint8_t bit;
  const char* name;
};
const AmName kEfNames[] = {{0x01, "read"},     {0x02, "update"},    {0x04, "write"},
                           {0x08, "deactivate"}, {0x10, "activate"}, {0x20, "terminate"},
                           {0x40, "delete"}};
const AmName kDfNames[] = {{0x01, "delete-child"}, {0x02, "create-ef"}, {0x04, "create-df"},
                           {0x08, "deactivate"},   {0x10, "activate"},  {0x20, "terminate"},
                           {0x40, "delete"}};
const AmName kKeyNames[] = {{0x01, "read"},     {0x02, "update"},    {0x04, "use"},
                            {0x08, "generate"}, {0x10, "activate"},  {0x20, "terminate"},
                            {0x40, "delete"}};
const AmName kPinNames[] = {{0x02, "update"}, {0x40, "delete"}};

template <size_t N>
const AmName* Lookup(const AmName (&t)[N], const std::string& name) {
  for (const AmName& a : t)
    if (name == a.name) return &a;
  return nullptr;
}

const AmName* NameTable(uint8_t desc, size_t* n) {
  switch (desc) {
    case kDescDf: *n = 7; return kDfNames;
    case kDescKey: *n = 7; return kKeyNames;
    case kDescPin: *n = 2; return kPinNames;
    default: *n = 7; return kEfNames;
  }
}

std::string CondText(uint16_t c) {
  if (c == kAcAlways) return "always";
  if (c == kAcNever) return "never";
  char b[16];
  if ((c & 0xC000) == 0xC000) snprintf(b, sizeof b, "pin:%02X", c & 0xFF);
  else if ((c & 0xC000) == 0x8000) snprintf(b, sizeof b, "key:%02X", c & 0xFF);
  else snprintf(b, sizeof b, "%04X", c);
  return b;
}

bool ParseCond(const std::string& s, uint16_t* c) {
  if (s == "always") return *c = kAcAlways, true;
  if (s == "never") return *c = kAcNever, true;
  std::string hex = s;
  uint16_t base = 0;
  if (s.rfind("pin:", 0) == 0) base = 0xC000, hex = s.substr(4);
  else if (s.rfind("key:", 0) == 0) base = 0x8000, hex = s.substr(4);
  char* end = nullptr;
  unsigned long v = strtoul(hex.c_str(), &end, 16);
  if (hex.empty() || *end || v > 0xFFFF || (base && v > 0xFF)) return false;
  *c = uint16_t(base | v);
  return true;
}

std::string AcText(uint8_t desc, const std::map<uint8_t, uint16_t>& ac) {
  size_t n;
  const AmName* t = NameTable(desc, &n);
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    auto it = ac.find(t[i].bit);
    if (it == ac.end()) continue;
    if (!s.empty()) s += ',';
    s += t[i].name;
    s += ':';
    s += CondText(it->second);
  }
  return s;
}

bool ParseAc(uint8_t desc, const std::string& text, std::map<uint8_t, uint16_t>* ac) {
  size_t n;
  const AmName* t = NameTable(desc, &n);
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    std::string name = item.substr(0, colon);
    uint16_t c;
    if (!ParseCond(item.substr(colon + 1), &c)) return false;
    const AmName* found = nullptr;
    for (size_t i = 0; i < n; ++i)
      if (name == t[i].name) found = &t[i];
    if (!found) return false;
    (*ac)[found->bit] = c;
  }
  return true;
}

bool ParseNum(const std::string& s, int base, unsigned long max, unsigned long* out) {
  char* end = nullptr;
  if (s.empty()) return false;
  *out = strtoul(s.c_str(), &end, base);
  return !*end && *out <= max;
}

const char* kKeyComp[] = {"n", "e", "d", "p", "q", "dp", "dq", "qi"};

// The secure channels' lines: "gp-keys version=.. level=.. counter=.. enc= mac=
// dek=", "dh-key ref=.. p= q= g= x=" and "protect all|until-secured|ins=..,..".
bool ParseChannelLine(const std::string& kw, const std::vector<std::string>& words, Channel* ch,
                      std::string* why) {
  if (kw == "protect") {
    if (words.size() != 1) return *why = "protect needs one value", false;
    Protection p;
    if (words[0] == "all") p.kind = Protection::kAll;
    else if (words[0] == "until-secured") p.kind = Protection::kUntilSecured;
    else if (words[0] == "none") p.kind = Protection::kNone;
    else if (words[0].rfind("ins=", 0) == 0) {
      p.kind = Protection::kListed;
      std::stringstream ss(words[0].substr(4));
      std::string item;
      unsigned long v = 0;
      while (std::getline(ss, item, ','))
        if (!ParseNum(item, 16, 0xFF, &v)) return *why = "bad protect ins", false;
        else p.ins.push_back(uint8_t(v));
      if (p.ins.empty()) return *why = "bad protect ins", false;
    } else {
      return *why = "bad protect", false;
    }
    ch->protection = p;
    return true;
  }
  std::map<std::string, std::string> attrs;
  for (const std::string& w : words) {
    const size_t eq = w.find('=');
    if (eq == std::string::npos) return *why = "expected name=value: " + w, false;
    attrs[w.substr(0, eq)] = w.substr(eq + 1);
  }
  auto hex = [&](const char* name, Bytes* out, size_t len, bool need) {
    auto it = attrs.find(name);
    if (it == attrs.end()) return !need;
    const bool ok = FromHex(it->second, out) && (len == 0 ? !out->empty() : out->size() == len);
    attrs.erase(it);
    return ok;
  };
  auto num = [&](const char* name, int base, unsigned long max, unsigned long* out) {
    auto it = attrs.find(name);
    if (it == attrs.end()) return true;
    const bool ok = ParseNum(it->second, base, max, out);
    attrs.erase(it);
    return ok;
  };
  unsigned long v = 0;
  if (kw == "gp-keys") {
    GpKeySet k;
    if (!hex("enc", &k.enc, 16, true) || !hex("mac", &k.mac, 16, true) || !hex("dek", &k.dek, 16, true))
      return *why = "gp-keys needs enc=, mac=, dek= of 16 octets", false;
    v = k.version;
    if (!num("version", 16, 0x7F, &v) || v == 0) return *why = "bad gp-keys version", false;
    k.version = uint8_t(v);
    v = k.counter;
    if (!num("counter", 16, 0xFFFF, &v)) return *why = "bad gp-keys counter", false;
    k.counter = uint16_t(v);
    v = k.level;
    if (!num("level", 16, 0x13, &v)) return *why = "bad gp-keys level", false;
    k.level = uint8_t(v);
    if (!attrs.empty()) return *why = "unknown attribute " + attrs.begin()->first, false;
    for (const GpKeySet& o : ch->gpKeys)
      if (o.version == k.version) return *why = "gp-keys version given twice", false;
    ch->gpKeys.push_back(k);
    return true;
  }
  DhKey k;
  v = k.ref;
  if (!num("ref", 16, 0xFF, &v)) return *why = "bad dh-key ref", false;
  k.ref = uint8_t(v);
  if (!hex("p", &k.p, 0, true) || !hex("g", &k.g, 0, true) || !hex("x", &k.x, 0, true) || !hex("q", &k.q, 0, false))
    return *why = "dh-key needs p=, g=, x= (and q=)", false;
  if (k.p.size() > 1024) return *why = "dh-key p too long", false;
  if (!attrs.empty()) return *why = "unknown attribute " + attrs.begin()->first, false;
  for (const DhKey& o : ch->dhKeys)
    if (o.ref == k.ref) return *why = "dh-key ref given twice", false;
  ch->dhKeys.push_back(k);
  return true;
}

void WriteChannelLines(const Channel& ch, std::ostream& o) {
  char b[64];
  for (const GpKeySet& k : ch.gpKeys) {
    snprintf(b, sizeof b, "gp-keys version=%02X level=%02X counter=%04X", k.version, k.level, k.counter);
    o << b << " enc=" << Hex(k.enc) << " mac=" << Hex(k.mac) << " dek=" << Hex(k.dek) << "\n";
  }
  for (const DhKey& k : ch.dhKeys) {
    snprintf(b, sizeof b, "dh-key ref=%02X", k.ref);
    o << b << " p=" << Hex(k.p);
    if (!k.q.empty()) o << " q=" << Hex(k.q);
    o << " g=" << Hex(k.g) << " x=" << Hex(k.x) << "\n";
  }
  switch (ch.protection.kind) {
    case Protection::kNone: break;
    case Protection::kAll: o << "protect all\n"; break;
    case Protection::kUntilSecured: o << "protect until-secured\n"; break;
    case Protection::kListed: {
      o << "protect ins=";
      for (size_t i = 0; i < ch.protection.ins.size(); ++i) {
        snprintf(b, sizeof b, "%s%02X", i ? "," : "", ch.protection.ins[i]);
        o << b;
      }
      o << "\n";
      break;
    }
  }
}

}  // namespace

class ImageIo {
 public:
  static std::unique_ptr<Card> Parse(const std::string& text, std::string* err);
  static std::string Write(const Card& c);
};

std::unique_ptr<Card> ImageIo::Parse(const std::string& text, std::string* err) {
  auto card = std::make_unique<Card>();
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  bool header = false;
  auto fail = [&](const std::string& why) {
    if (err) *err = "line " + std::to_string(lineNo) + ": " + why;
    return nullptr;
  };
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream ls(line);
    std::string kw;
    ls >> kw;
    if (!header) {
      std::string ver;
      ls >> ver;
      if (kw != "cardsim-image" || ver != "1") return fail("not a card image (cardsim-image 1)");
      header = true;
      continue;
    }
    std::vector<std::string> words;
    // A word that begins with '#' begins a comment up to the end of the line.
    for (std::string w; ls >> w && w[0] != '#';) words.push_back(w);
    unsigned long v = 0;
    if (kw == "model") {
      if (words.size() != 1 || !ParseNum(words[0], 10, 7, &v)) return fail("bad model");
      card->model_ = int(v);
      continue;
    }
    if (kw == "atr" || kw == "serial") {
      Bytes b;
      if (words.size() != 1 || !FromHex(words[0], &b)) return fail("bad " + kw);
      if (kw == "atr") {
        if (b.size() < 2 || b.size() > 33) return fail("bad ATR length");
        card->atr_ = b;
      } else {
        card->serial_ = b;
      }
      continue;
    }
    if (kw == "lifecycle") {
      if (words.size() != 1 || !ParseNum(words[0], 16, 0xFF, &v)) return fail("bad lifecycle");
      card->lifecycle_ = uint8_t(v);
      continue;
    }
    if (kw == "memory") {
      if (words.size() != 1 || !ParseNum(words[0], 10, 0x7FFFFFFF, &v)) return fail("bad memory");
      card->memory_ = uint32_t(v);
      continue;
    }
    if (kw == "terminated") {
      card->terminated_ = words.size() == 1 && words[0] == "1";
      continue;
    }
    if (kw == "fcp-lcs") {
      if (words.size() != 1 || (words[0] != "0" && words[0] != "1")) return fail("bad fcp-lcs");
      card->fcpLcs_ = words[0] == "1";
      continue;
    }
    if (kw == "gp-keys" || kw == "dh-key" || kw == "protect") {
      std::string why;
      if (!ParseChannelLine(kw, words, &card->channel_, &why)) return fail(why);
      continue;
    }
    if (kw != "df" && kw != "ef" && kw != "key" && kw != "pin") return fail("unknown keyword " + kw);
    if (words.empty()) return fail("missing path");
    // path
    std::vector<uint16_t> ids;
    {
      std::stringstream ps(words[0]);
      std::string id;
      while (std::getline(ps, id, '/')) {
        if (!ParseNum(id, 16, 0xFFFF, &v) || id.size() != 4) return fail("bad path " + words[0]);
        ids.push_back(uint16_t(v));
      }
    }
    if (ids.empty() || ids[0] != 0x3F00) return fail("paths start at 3F00");
    std::map<std::string, std::string> attrs;
    for (size_t i = 1; i < words.size(); ++i) {
      size_t eq = words[i].find('=');
      if (eq == std::string::npos) return fail("expected name=value: " + words[i]);
      attrs[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    auto take = [&](const char* k, std::string* out) {
      auto it = attrs.find(k);
      if (it == attrs.end()) return false;
      *out = it->second;
      attrs.erase(it);
      return true;
    };
    // the parent DF
    Node* parent = nullptr;
    size_t depth = kw == "pin" ? ids.size() : ids.size() - 1;
    if (kw == "df" && ids.size() == 1) {
      if (card->mf_) return fail("MF given twice");
    } else {
      if (!card->mf_) return fail("the MF (df 3F00) comes first");
      parent = card->mf_.get();
      for (size_t i = 1; i < depth; ++i) {
        parent = parent->Child(ids[i]);
        if (!parent || !parent->IsDf()) return fail("parent DF missing for " + words[0]);
      }
    }
    std::string s;
    if (kw == "pin") {
      Pin p;
      if (!take("ref", &s) || !ParseNum(s, 16, 0xFF, &v)) return fail("pin needs ref=");
      p.ref = uint8_t(v);
      if (p.ref < 0x80 && parent != card->mf_.get()) return fail("a global PIN reference stands in the MF only");
      if (take("min", &s)) { if (!ParseNum(s, 10, 255, &v)) return fail("bad min"); p.minLen = uint8_t(v); }
      if (take("max", &s)) { if (!ParseNum(s, 10, 255, &v)) return fail("bad max"); p.maxLen = uint8_t(v); }
      if (take("pad", &s)) {
        if (s == "none") p.pad = -1;
        else if (ParseNum(s, 16, 0xFF, &v)) p.pad = int(v);
        else return fail("bad pad");
      }
      if (take("tries", &s)) { if (!ParseNum(s, 10, 15, &v)) return fail("bad tries"); p.tries = uint8_t(v); }
      p.left = p.tries;
      if (take("left", &s)) { if (!ParseNum(s, 10, p.tries, &v)) return fail("bad left"); p.left = uint8_t(v); }
      if (take("unblock", &s)) {
        if (s == "none") p.unblockRef = 0xFF;
        else if (ParseNum(s, 16, 0xFF, &v)) p.unblockRef = uint8_t(v);
        else return fail("bad unblock");
      }
      if (take("ac", &s) && !ParseAc(kDescPin, s, &p.ac)) return fail("bad ac");
      if (take("value", &s)) {
        if (!FromHex(s, &p.value)) return fail("bad value");
        p.initialised = true;
      }
      if (!attrs.empty()) return fail("unknown attribute " + attrs.begin()->first);
      for (const Pin& q : parent->pins)
        if (q.ref == p.ref) return fail("PIN reference given twice");
      parent->pins.push_back(p);
      continue;
    }
    auto node = std::make_unique<Node>();
    node->fid = ids.back();
    node->desc = kw == "df" ? kDescDf : kw == "key" ? kDescKey : kDescEf;
    node->parent = parent;
    if (take("lcs", &s)) {
      if (!ParseNum(s, 16, 0xFF, &v)) return fail("bad lcs");
      node->lcs = uint8_t(v);
    }
    if (take("ac", &s) && !ParseAc(node->desc, s, &node->ac)) return fail("bad ac");
    if (take("name", &s) && (!FromHex(s, &node->name) || node->name.size() > 16))
      return fail("bad name");
    if (kw == "df" && take("code", &s)) {
      if (!ParseNum(s, 16, 0xFF, &v)) return fail("bad code");
      node->code = int(v);
    }
    if (kw == "ef") {
      if (take("data", &s) && !FromHex(s, &node->data)) return fail("bad data");
      if (take("size", &s)) {
        if (!ParseNum(s, 10, 0x7FFF, &v) || v < node->data.size()) return fail("bad size");
        node->data.resize(v, 0x00);
      }
    }
    if (kw == "key") {
      // Without ref= the key has no reference and is used by its file, on the
      // models that keep such keys.
      if (take("ref", &s)) {
        if (!ParseNum(s, 16, 0xFF, &v)) return fail("bad ref");
        node->keyRef = int(v);
      } else if (!card->KeysByFile()) {
        return fail("key needs ref= on this model");
      }
      if (take("bits", &s)) {
        if (!ParseNum(s, 10, 4096, &v)) return fail("bad bits");
        node->keyBits = uint16_t(v);
      }
      for (int i = 0; i < 8; ++i) {
        if (!take(kKeyComp[i], &s)) continue;
        Bytes b;
        if (!FromHex(s, &b) || b.empty()) return fail(std::string("bad key component ") + kKeyComp[i]);
        node->key.comp[uint8_t(0x81 + i)] = b;
      }
      if (!node->keyBits) node->keyBits = uint16_t(node->key.ModulusBytes() * 8);
    }
    if (!attrs.empty()) return fail("unknown attribute " + attrs.begin()->first);
    if (!parent) {
      if (!node->IsDf()) return fail("3F00 is the MF");
      card->mf_ = std::move(node);
    } else {
      if (parent->Child(node->fid)) return fail("file given twice: " + words[0]);
      parent->children.push_back(std::move(node));
    }
  }
  if (!header) {
    if (err) *err = "empty image";
    return nullptr;
  }
  if (!card->mf_) {
    if (err) *err = "image has no MF";
    return nullptr;
  }
  if (card->atr_.empty()) {
    if (err) *err = "image has no ATR";
    return nullptr;
  }
  card->Reset();
  return card;
}

std::string ImageIo::Write(const Card& c) {
  std::ostringstream o;
  o << "cardsim-image 1\n";
  o << "model " << c.model_ << "\n";
  o << "atr " << Hex(c.atr_) << "\n";
  if (!c.serial_.empty()) o << "serial " << Hex(c.serial_) << "\n";
  char b[32];
  snprintf(b, sizeof b, "%02X", c.lifecycle_);
  o << "lifecycle " << b << "\n";
  o << "memory " << c.memory_ << "\n";
  if (c.terminated_) o << "terminated 1\n";
  if (!c.fcpLcs_) o << "fcp-lcs 0\n";
  WriteChannelLines(c.channel_, o);
  std::function<void(const Node*)> walk = [&](const Node* n) {
    std::string path = n->PathText();
    snprintf(b, sizeof b, "%02X", n->lcs);
    std::string ac = AcText(n->desc, n->ac);
    if (n->IsDf()) {
      o << "df " << path << " lcs=" << b;
      if (!n->name.empty()) o << " name=" << Hex(n->name);
      if (n->code >= 0) {
        char cb[16];
        snprintf(cb, sizeof cb, "%02X", n->code & 0xFF);
        o << " code=" << cb;
      }
    } else if (n->IsKey()) {
      o << "key " << path << " lcs=" << b;
      if (n->keyRef >= 0) {
        char r[8];
        snprintf(r, sizeof r, "%02X", n->keyRef & 0xFF);
        o << " ref=" << r;
      }
      o << " bits=" << n->keyBits;
    } else {
      o << "ef " << path << " lcs=" << b << " size=" << n->data.size();
    }
    if (!ac.empty()) o << " ac=" << ac;
    if (n->IsKey())
      for (int i = 0; i < 8; ++i) {
        auto it = n->key.comp.find(uint8_t(0x81 + i));
        if (it != n->key.comp.end()) o << " " << kKeyComp[i] << "=" << Hex(it->second);
      }
    if (n->desc == kDescEf) o << " data=" << Hex(n->data);
    o << "\n";
    if (n->IsDf()) {
      for (const Pin& p : n->pins) {
        char r[96];
        snprintf(r, sizeof r, "pin %s ref=%02X min=%u max=%u", path.c_str(), p.ref, p.minLen,
                 p.maxLen);
        o << r;
        if (p.pad < 0) o << " pad=none";
        else {
          snprintf(r, sizeof r, " pad=%02X", p.pad);
          o << r;
        }
        o << " tries=" << unsigned(p.tries) << " left=" << unsigned(p.left);
        if (p.unblockRef != 0xFF) {
          snprintf(r, sizeof r, " unblock=%02X", p.unblockRef);
          o << r;
        }
        std::string pac = AcText(kDescPin, p.ac);
        if (!pac.empty()) o << " ac=" << pac;
        if (p.initialised) o << " value=" << Hex(p.value);
        o << "\n";
      }
      for (auto& ch : n->children) walk(ch.get());
    }
  };
  walk(c.mf_.get());
  return o.str();
}

std::unique_ptr<Card> Card::Parse(const std::string& text, std::string* err) {
  return ImageIo::Parse(text, err);
}

std::unique_ptr<Card> Card::Load(const std::string& path, std::string* err) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    if (err) *err = "cannot open " + path;
    return nullptr;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  auto c = ImageIo::Parse(ss.str(), err);
  if (c) c->path_ = path;
  return c;
}

std::string Card::Serialise() const { return ImageIo::Write(*this); }

bool Card::Save() {
  if (path_.empty()) return true;
  std::string tmp = path_ + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f << Serialise();
    if (!f.flush()) return false;
  }
  return std::rename(tmp.c_str(), path_.c_str()) == 0;
}

}  // namespace cardsim
