#include "tools/cardsim/engine.h"

#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "tools/cardsim/tlv.h"

namespace cardsim {

namespace {

Response Sw(uint16_t sw) {
  Response r;
  r.sw = sw;
  return r;
}

bool Usable(const Node* n) {
  // deactivated (04/06) and terminated (0C-0F) objects refuse their use
  return !(n->lcs == 0x04 || n->lcs == 0x06 || n->lcs >= 0x0C);
}

struct DigestInfoRow {
  int id;
  size_t digestLen;
  const char* prefixHex;
};
// DigestInfo prefixes (PKCS#1 / RFC 8017; RIPEMD OIDs from ISO/IEC 10118-3 arcs 1.3.36.3.2).
const DigestInfoRow kDigestInfos[] = {
    {1, 20, "3021300906052B0E03021A05000414"},
    {2, 28, "302D300D06096086480165030402040500041C"},
    {3, 32, "3031300D060960864801650304020105000420"},
    {4, 48, "3041300D060960864801650304020205000430"},
    {5, 64, "3051300D060960864801650304020305000440"},
    {6, 16, "301D300906052B2403020205000410"},
    {7, 20, "3021300906052B2403020105000414"},
    {8, 16, "3020300C06082A864886F70D020505000410"},
};

BIGNUM* Bn(const Bytes& b) { return BN_bin2bn(b.data(), int(b.size()), nullptr); }

Bytes BnBytes(const BIGNUM* b) {
  Bytes out(size_t(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  return out;
}

// Fills in what can be derived (n from p and q, d from e, p, q, CRT values).
void CompleteKey(RsaKey* k) {
  auto& c = k->comp;
  BN_CTX* ctx = BN_CTX_new();
  if (!ctx) return;
  if (c.count(0x84) && c.count(0x85)) {
    BIGNUM* p = Bn(c[0x84]);
    BIGNUM* q = Bn(c[0x85]);
    BIGNUM* n = BN_new();
    BIGNUM* p1 = BN_dup(p);
    BIGNUM* q1 = BN_dup(q);
    BN_sub_word(p1, 1);
    BN_sub_word(q1, 1);
    if (!c.count(0x81) && BN_mul(n, p, q, ctx)) c[0x81] = BnBytes(n);
    if (c.count(0x82)) {
      BIGNUM* e = Bn(c[0x82]);
      BIGNUM* phi = BN_new();
      BIGNUM* d = BN_new();
      if (!c.count(0x83) && BN_mul(phi, p1, q1, ctx) && BN_mod_inverse(d, e, phi, ctx))
        c[0x83] = BnBytes(d);
      BN_free(e);
      BN_free(phi);
      BN_free(d);
    }
    if (c.count(0x83)) {
      BIGNUM* d = Bn(c[0x83]);
      BIGNUM* t = BN_new();
      if (!c.count(0x86) && BN_mod(t, d, p1, ctx)) c[0x86] = BnBytes(t);
      if (!c.count(0x87) && BN_mod(t, d, q1, ctx)) c[0x87] = BnBytes(t);
      if (!c.count(0x88) && BN_mod_inverse(t, q, p, ctx)) c[0x88] = BnBytes(t);
      BN_free(d);
      BN_free(t);
    }
    BN_free(p);
    BN_free(q);
    BN_free(n);
    BN_free(p1);
    BN_free(q1);
  }
  BN_CTX_free(ctx);
}

// Raw RSA private-key operation on a block of exactly the modulus length.
bool RsaPrivate(const RsaKey& k, const Bytes& in, Bytes* out) {
  auto& c = k.comp;
  if (!c.count(0x81) || !c.count(0x83)) return false;
  RSA* rsa = RSA_new();
  if (!rsa) return false;
  BIGNUM* e = c.count(0x82) ? Bn(c.at(0x82)) : BN_new();
  if (!c.count(0x82)) BN_set_word(e, 65537);
  RSA_set0_key(rsa, Bn(c.at(0x81)), e, Bn(c.at(0x83)));
  if (c.count(0x84) && c.count(0x85) && c.count(0x86) && c.count(0x87) && c.count(0x88)) {
    RSA_set0_factors(rsa, Bn(c.at(0x84)), Bn(c.at(0x85)));
    RSA_set0_crt_params(rsa, Bn(c.at(0x86)), Bn(c.at(0x87)), Bn(c.at(0x88)));
  }
  size_t kLen = size_t(RSA_size(rsa));
  bool ok = false;
  if (in.size() == kLen) {
    out->assign(kLen, 0);
    ok = RSA_private_encrypt(int(in.size()), in.data(), out->data(), rsa, RSA_NO_PADDING) ==
         int(kLen);
  }
  RSA_free(rsa);
  return ok;
}

bool RsaGenerate(unsigned bits, const Bytes& e, RsaKey* k) {
  RSA* rsa = RSA_new();
  BIGNUM* be = e.empty() ? BN_new() : Bn(e);
  if (e.empty()) BN_set_word(be, 65537);
  bool ok = rsa && be && RSA_generate_key_ex(rsa, int(bits), be, nullptr) == 1;
  if (ok) {
    const BIGNUM *n, *pe, *d, *p, *q, *dp, *dq, *qi;
    RSA_get0_key(rsa, &n, &pe, &d);
    RSA_get0_factors(rsa, &p, &q);
    RSA_get0_crt_params(rsa, &dp, &dq, &qi);
    k->comp.clear();
    k->comp[0x81] = BnBytes(n);
    k->comp[0x82] = BnBytes(pe);
    k->comp[0x83] = BnBytes(d);
    k->comp[0x84] = BnBytes(p);
    k->comp[0x85] = BnBytes(q);
    k->comp[0x86] = BnBytes(dp);
    k->comp[0x87] = BnBytes(dq);
    k->comp[0x88] = BnBytes(qi);
  }
  BN_free(be);
  RSA_free(rsa);
  return ok;
}

Bytes StripPad(const Bytes& v, int pad) {
  Bytes r = v;
  if (pad >= 0)
    while (!r.empty() && r.back() == uint8_t(pad)) r.pop_back();
  return r;
}

void CollectDfs(Node* n, std::vector<Node*>* out) {
  if (n->IsDf()) out->push_back(n);
  for (auto& c : n->children) CollectDfs(c.get(), out);
}

bool Descends(const Node* n, const Node* anc) {
  for (; n; n = n->parent)
    if (n == anc) return true;
  return false;
}

}  // namespace

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

bool FromHex(const std::string& s, Bytes* out) {
  out->clear();
  int hi = -1;
  for (char ch : s) {
    int v;
    if (ch >= '0' && ch <= '9') v = ch - '0';
    else if (ch >= 'a' && ch <= 'f') v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F') v = ch - 'A' + 10;
    else if (ch == ' ' || ch == ':') continue;
    else return false;
    if (hi < 0) hi = v;
    else {
      out->push_back(uint8_t(hi << 4 | v));
      hi = -1;
    }
  }
  return hi < 0;
}

bool RsaKey::HasPrivate() const { return comp.count(0x81) && comp.count(0x83); }

size_t RsaKey::ModulusBytes() const {
  auto it = comp.find(0x81);
  if (it == comp.end()) return 0;
  size_t n = it->second.size();
  for (uint8_t b : it->second) {
    if (b) break;
    --n;
  }
  return n;
}

Node* Node::Child(uint16_t id) const {
  for (auto& c : children)
    if (c->fid == id && c->desc != kDescPin) return c.get();
  return nullptr;
}

std::string Node::PathText() const {
  char buf[8];
  snprintf(buf, sizeof buf, "%04X", fid);
  return parent ? parent->PathText() + "/" + buf : std::string(buf);
}

namespace {
// A rule that an object does not carry is "always".
uint16_t RuleOf(const std::map<uint8_t, uint16_t>& ac, uint8_t am) {
  auto it = ac.find(am);
  return it == ac.end() ? kAcAlways : it->second;
}
}  // namespace

uint16_t Node::Ac(uint8_t am) const { return RuleOf(ac, am); }
uint16_t Pin::Ac(uint8_t am) const { return RuleOf(ac, am); }

Card::Card() = default;
Card::~Card() = default;

unsigned Card::Protocols() const {
  // T0 announces the interface bytes of the first group; each TD names a
  // protocol and announces the next group. No TD at all means T=0 only.
  if (atr_.size() < 2) return 1;
  unsigned prot = 0;
  size_t i = 2;
  uint8_t y = atr_[1] >> 4;
  while (true) {
    if (y & 1) ++i;
    if (y & 2) ++i;
    if (y & 4) ++i;
    if (!(y & 8) || i >= atr_.size()) break;
    uint8_t td = atr_[i++];
    if ((td & 0x0F) == 0) prot |= 1;
    if ((td & 0x0F) == 1) prot |= 2;
    y = td >> 4;
  }
  return prot ? prot : 1;
}

void Card::Reset() {
  channel_.Reset();
  onIsd_ = false;
  curDf_ = mf_.get();
  curEf_ = nullptr;
  seSign_ = Se();
  seDec_ = Se();
  pending_.clear();
  chain_ = Chain();
  aidCursor_ = 0;
  std::function<void(Node*)> clear = [&](Node* n) {
    for (Pin& p : n->pins) p.verified = false;
    for (auto& c : n->children) clear(c.get());
  };
  if (mf_) clear(mf_.get());
}

void Card::InjectSw(unsigned ins, uint16_t sw, int count) { InjectSwAfter(ins, sw, 0, count); }

void Card::InjectSwAfter(unsigned ins, uint16_t sw, int skip, int count) {
  injPrefix_.clear();
  injIns_ = ins;
  injSw_ = sw;
  injCount_ = count;
  injSkip_ = skip;
}

void Card::InjectSwOn(const Bytes& prefix, uint16_t sw, int skip, int count) {
  InjectSwAfter(0x100, sw, skip, count);
  injPrefix_ = prefix;
}

void Card::CorruptData(unsigned ins, int count) {
  corruptIns_ = ins;
  corruptCount_ = count;
  corruptSkip_ = 0;
  corruptPrefix_.clear();
}

void Card::CorruptDataOn(const Bytes& prefix, int skip, int count) {
  CorruptData(0x100, count);
  corruptSkip_ = skip;
  corruptPrefix_ = prefix;
}

void Card::Changed() { Save(); }

bool Card::ParseApdu(const Bytes& in, Apdu* a) {
  if (in.size() < 4) return false;
  a->cla = in[0];
  a->ins = in[1];
  a->p1 = in[2];
  a->p2 = in[3];
  size_t n = in.size() - 4;
  const uint8_t* b = in.data() + 4;
  if (n == 0) return true;
  if (n == 1) {
    a->hasLe = true;
    a->ne = b[0] ? b[0] : 256;
    a->leExplicit = b[0] != 0;
    return true;
  }
  if (b[0] != 0) {
    size_t lc = b[0];
    if (n == 1 + lc) {
      a->data.assign(b + 1, b + 1 + lc);
      return true;
    }
    if (n == 2 + lc) {
      a->data.assign(b + 1, b + 1 + lc);
      a->hasLe = true;
      a->ne = b[1 + lc] ? b[1 + lc] : 256;
      a->leExplicit = b[1 + lc] != 0;
      return true;
    }
    return false;
  }
  if (n < 3) return false;
  // extended: 00 then two bytes
  a->extended = true;
  if (n == 3) {
    size_t le = size_t(b[1]) << 8 | b[2];
    a->hasLe = true;
    a->ne = le ? le : 65536;
    a->leExplicit = true;
    return true;
  }
  size_t lc = size_t(b[1]) << 8 | b[2];
  if (lc == 0) return false;
  if (n == 3 + lc) {
    a->data.assign(b + 3, b + 3 + lc);
    return true;
  }
  if (n == 5 + lc) {
    a->data.assign(b + 3, b + 3 + lc);
    size_t le = size_t(b[3 + lc]) << 8 | b[4 + lc];
    a->hasLe = true;
    a->ne = le ? le : 65536;
    a->leExplicit = true;
    return true;
  }
  return false;
}

Bytes Card::Transmit(const Bytes& apdu, bool t0) {
  auto swOnly = [](uint16_t sw) { return Bytes{uint8_t(sw >> 8), uint8_t(sw)}; };
  Apdu a;
  if (!ParseApdu(apdu, &a)) return swOnly(0x6700);
  const bool injHere = injPrefix_.empty() ? injIns_ == 0x100 || injIns_ == a.ins
                                          : apdu.size() >= injPrefix_.size() &&
                                                std::equal(injPrefix_.begin(), injPrefix_.end(), apdu.begin());
  if (injCount_ > 0 && injHere) {
    if (injSkip_ > 0) {
      --injSkip_;
    } else {
      --injCount_;
      // An error answer ends the command chain the card was receiving.
      chain_ = Chain();
      return swOnly(injSw_);
    }
  }
  if (a.cla == 0xFF) return swOnly(0x6E00);

  bool isGetResponse = a.ins == 0xC0 && !(a.cla & 0x80);
  Response r;
  if (isGetResponse) {
    r = Execute(a);
  } else {
    pending_.clear();
    r = Receive(apdu, a);
  }
  // Before any split into 61xx parts, so the whole answer is the faulty one.
  const bool corruptHere = corruptPrefix_.empty() ? corruptIns_ == 0x100 || corruptIns_ == a.ins
                                                  : apdu.size() >= corruptPrefix_.size() &&
                                                        std::equal(corruptPrefix_.begin(), corruptPrefix_.end(), apdu.begin());
  if (corruptCount_ > 0 && !r.data.empty() && corruptHere) {
    if (corruptSkip_ > 0) {
      --corruptSkip_;
    } else {
      --corruptCount_;
      r.data.back() ^= 0xFF;
    }
  }

  Bytes out;
  bool case2 = a.data.empty();
  if (!r.data.empty()) {
    if (t0 && !isGetResponse && !case2) {
      pending_ = std::move(r.data);
      size_t n = pending_.size();
      return Bytes{0x61, uint8_t(n >= 256 ? 0 : n)};
    }
    size_t limit = a.hasLe ? a.ne : (a.extended ? 65536 : 256);
    bool wrongLe = case2 && ((a.leExplicit && a.ne > r.data.size()) ||
                             (t0 && a.hasLe && a.ne > r.data.size()));
    if (wrongLe && r.data.size() < 256 && (r.sw == 0x9000 || r.sw == 0x6282)) {
      if (isGetResponse) pending_ = r.data;
      return Bytes{0x6C, uint8_t(r.data.size())};
    }
    if (r.data.size() > limit) {
      pending_.assign(r.data.begin() + long(limit), r.data.end());
      r.data.resize(limit);
      size_t n = pending_.size();
      r.sw = uint16_t(0x6100 | (n >= 256 ? 0 : n));
    }
    out = std::move(r.data);
  }
  out.push_back(uint8_t(r.sw >> 8));
  out.push_back(uint8_t(r.sw));
  return out;
}

Response Card::Receive(const Bytes& apdu, const Apdu& a) {
  // The secure channels see every command first (channel.cpp).
  Channel::Incoming in = channel_.Receive(apdu, IsApplicationSelect(a), onIsd_, lifecycle_ == 0x0F);
  if (in.changed) Changed();
  if (in.kind == Channel::Incoming::kAnswered) {
    Response r;
    r.data.assign(in.answer.begin(), in.answer.end() - 2);
    r.sw = uint16_t(in.answer[in.answer.size() - 2] << 8 | in.answer.back());
    return r;
  }
  if (in.kind == Channel::Incoming::kPlain) {
    if ((a.cla & 0x0C) && !(a.cla & 0x80)) return Sw(0x6882);  // no other secure messaging
    return Execute(a);
  }
  Apdu plain;
  if (!ParseApdu(in.plain, &plain)) return Sw(0x6700);
  Response r = Execute(plain);
  channel_.Protect(&r.data, &r.sw);
  return r;
}

bool Card::IsApplicationSelect(const Apdu& a) const {
  if (a.ins != 0xA4 || a.p1 != 0x04 || (a.cla & 0x80)) return false;
  if (IsIsdAid(a.data)) return true;
  return IsGp() && mf_ && !mf_->name.empty() && a.data == mf_->name;
}

bool Card::IsIsdAid(const Bytes& d) const {
  static const uint8_t isd1[] = {0xA0, 0, 0, 0x01, 0x51, 0, 0, 0};
  static const uint8_t isd2[] = {0xA0, 0, 0, 0x00, 0x03, 0, 0, 0};
  if (!IsGp() || d.size() < 5 || d.size() > 8) return false;
  return std::equal(d.begin(), d.end(), isd1) || std::equal(d.begin(), d.end(), isd2);
}

void Card::SetApplication(bool isd) {
  if (isd == onIsd_) return;
  onIsd_ = isd;
  channel_.ApplicationChanged();
}

Response Card::Execute(Apdu a) {
  if (terminated_ && a.ins != 0xC0) return Sw(0x6A81);

  // command chaining: collect the data of a chain, answer 9000 until its last part
  if ((a.cla & 0x10) && !(a.cla & 0x80)) {
    if (!chain_.active || chain_.ins != a.ins || chain_.p1 != a.p1 || chain_.p2 != a.p2) {
      chain_ = Chain();
      chain_.active = true;
      chain_.ins = a.ins;
      chain_.p1 = a.p1;
      chain_.p2 = a.p2;
    }
    chain_.data.insert(chain_.data.end(), a.data.begin(), a.data.end());
    if (chain_.data.size() > 65536) {
      chain_ = Chain();
      return Sw(0x6700);
    }
    return Sw(0x9000);
  }
  if (chain_.active) {
    bool same = chain_.ins == a.ins && chain_.p1 == a.p1 && chain_.p2 == a.p2;
    Bytes head = std::move(chain_.data);
    chain_ = Chain();
    if (!same) return Sw(0x6883);
    head.insert(head.end(), a.data.begin(), a.data.end());
    a.data = std::move(head);
  }
  return Dispatch(a);
}

Response Card::Dispatch(const Apdu& a) {
  if (a.cla & 0x80) {
    if (a.ins == 0xF0) return SetStatus(a);
    if (a.ins == 0xCA && IsGp()) return GetData(a);
    return Sw(0x6D00);
  }
  switch (a.ins) {
    case 0xA4: return Select(a);
    case 0xB0: return ReadBinary(a);
    case 0xD6: return UpdateBinary(a);
    case 0x0E: return EraseBinary(a);
    case 0xE0: return CreateFile(a);
    case 0xE4: return DeleteFile(a);
    case 0x44:
    case 0x04:
    case 0xE6:
    case 0xE8:
    case 0xFE: return LifeCycleCmd(a);
    case 0x20: return Verify(a);
    case 0x24: return ChangeRef(a);
    case 0x2C: return ResetRetry(a);
    case 0x22: return Mse(a);
    case 0x2A: return Pso(a);
    case 0x46:
    case 0x47: return Generate(a);
    case 0xDB: return PutData(a);
    case 0xCA: return GetData(a);
    case 0xCB: return GetDataSdo(a);
    case 0x84: return GetChallenge(a);
    case 0xC0: return GetResponse(a);
    default: return Sw(0x6D00);
  }
}

// ---------------------------------------------------------------- access rules

// A global reference (below 80) names the MF's PIN wherever it is asked for; a
// local one the nearest from `from` up to the MF. `holder` gets the PIN's DF,
// from which its own rules and its unblocking PIN are found.
Pin* Card::FindPin(const Node* from, uint8_t ref, Node** holder) const {
  for (Node* n = ref < 0x80 ? mf_.get() : const_cast<Node*>(from); n; n = n->parent)
    for (Pin& p : n->pins)
      if (p.ref == ref) {
        if (holder) *holder = n;
        return &p;
      }
  return nullptr;
}

Node* Card::FindKeyByRef(const Node* from, uint8_t ref) const {
  for (const Node* n = from; n; n = n->parent)
    for (auto& c : n->children)
      if (c->IsKey() && c->keyRef == ref) return c.get();
  return nullptr;
}

bool Card::Allowed(const Node* where, uint16_t cond) const {
  if (cond == kAcAlways) return true;
  if (cond == kAcNever) return false;
  if ((cond & 0xC000) == 0xC000) {
    Pin* p = FindPin(where, uint8_t(cond & 0xFF));
    return p && p->verified;
  }
  // The key (set) of an open secure channel.
  return channel_.KeyAuthenticated(uint8_t(cond & 0xFF));
}

bool Card::AllowedOp(const Node* n, uint8_t am) const {
  if (n->lcs < 0x04) return true;  // creation and initialisation: rules not enforced
  return Allowed(n->IsDf() ? n : n->parent, n->Ac(am));
}

Node* Card::ResolvePath(const Bytes& ids, Node* base) const {
  if (ids.size() % 2) return nullptr;
  Node* n = base;
  for (size_t i = 0; i < ids.size(); i += 2) {
    uint16_t id = uint16_t(ids[i] << 8 | ids[i + 1]);
    if (i == 0 && id == 0x3F00) {
      n = mf_.get();
      continue;
    }
    if (id == 0x3FFF && i == 0) continue;  // "current DF"
    if (!n || !n->IsDf()) return nullptr;
    n = n->Child(id);
    if (!n) return nullptr;
  }
  return n;
}

size_t Card::UsedMemory() const {
  size_t used = 0;
  std::function<void(const Node*)> walk = [&](const Node* n) {
    used += 32 + n->data.size() + n->pins.size() * 32;
    if (n->IsKey()) used += size_t(n->keyBits / 8) * 5 / 2;
    for (auto& c : n->children) walk(c.get());
  };
  if (mf_) walk(mf_.get());
  return used;
}

// ---------------------------------------------------------------- FCP

namespace {
struct AmName {
  uint8_t bit;
  const char* name;
};
}  // namespace

Bytes Card::Fcp(const Node* n) const {
  Bytes b;
  if (n->IsDf()) {
    size_t used = UsedMemory();
    size_t fr = used < memory_ ? memory_ - used : 0;
    if (fr > 0xFFFF) fr = 0xFFFF;
    uint8_t f[2] = {uint8_t(fr >> 8), uint8_t(fr)};
    PutTlv(&b, 0x81, f, 2);
  } else {
    size_t sz = n->IsKey() ? n->keyBits / 8 : n->data.size();
    uint8_t s[2] = {uint8_t(sz >> 8), uint8_t(sz)};
    PutTlv(&b, 0x80, s, 2);
  }
  PutTlv(&b, 0x82, &n->desc, 1);
  uint8_t id[2] = {uint8_t(n->fid >> 8), uint8_t(n->fid)};
  PutTlv(&b, 0x83, id, 2);
  if (!n->name.empty()) PutTlv(&b, 0x84, n->name);
  if (fcpLcs_) PutTlv(&b, 0x8A, &n->lcs, 1);
  if (n->code >= 0) {
    uint8_t c = uint8_t(n->code);
    PutTlv(&b, 0x85, &c, 1);
  }
  if (n->IsKey()) {
    Bytes a5;
    if (n->keyRef >= 0) {
      uint8_t ref = uint8_t(n->keyRef);
      PutTlv(&a5, 0x83, &ref, 1);
    }
    uint8_t bits[2] = {uint8_t(n->keyBits >> 8), uint8_t(n->keyBits)};
    PutTlv(&a5, 0x80, bits, 2);
    PutTlv(&b, 0xA5, a5);
  }
  if (HeadersCarryRules()) {
    // one access-mode byte per distinct condition, bits of equal rules together
    std::map<uint16_t, uint8_t> byCond;
    for (uint8_t bit = 1; bit && bit <= 0x40; bit <<= 1) byCond[n->Ac(bit)] |= bit;
    Bytes ab;
    for (auto& [cond, am] : byCond) {
      PutTlv(&ab, 0x80, &am, 1);
      if (cond == kAcAlways) {
        PutTlv(&ab, 0x90, nullptr, 0);
      } else if (cond == kAcNever) {
        PutTlv(&ab, 0x97, nullptr, 0);
      } else {
        uint8_t ref = uint8_t(cond & 0xFF);
        uint8_t uq = (cond & 0xC000) == 0xC000 ? 0x08 : 0x80;
        Bytes a4;
        PutTlv(&a4, 0x83, &ref, 1);
        PutTlv(&a4, 0x95, &uq, 1);
        PutTlv(&ab, 0xA4, a4);
      }
    }
    PutTlv(&b, 0xAB, ab);
  }
  Bytes out;
  PutTlv(&out, 0x62, b);
  return out;
}

// ---------------------------------------------------------------- SELECT

Response Card::Select(const Apdu& a) {
  Node* target = nullptr;
  const Bytes& d = a.data;
  auto fid = [&]() { return uint16_t(d[0] << 8 | d[1]); };
  switch (a.p1) {
    case 0x00:
      if (d.empty() || (d.size() == 2 && fid() == 0x3F00)) {
        target = mf_.get();
        break;
      }
      if (d.size() != 2) return Sw(0x6700);
      if (fid() == curDf_->fid) target = curDf_;
      if (!target) target = curDf_->Child(fid());
      if (!target && curDf_->parent) {
        if (curDf_->parent->fid == fid()) target = curDf_->parent;
        else target = curDf_->parent->Child(fid());
      }
      break;
    case 0x01:
    case 0x02:
      if (d.size() != 2) return Sw(0x6700);
      target = curDf_->Child(fid());
      if (target && (a.p1 == 0x01) != target->IsDf()) target = nullptr;
      break;
    case 0x03:
      target = curDf_->parent ? curDf_->parent : nullptr;
      break;
    case 0x04: {
      if (d.empty() || d.size() > 16) return Sw(0x6700);
      if (IsIsdAid(d)) {
        static const uint8_t isd1[] = {0xA0, 0, 0, 0x01, 0x51, 0, 0, 0};
        static const uint8_t isd2[] = {0xA0, 0, 0, 0x00, 0x03, 0, 0, 0};
        SetApplication(true);
        Response r;
        Bytes inner;
        PutTlv(&inner, 0x84, d[3] == 0x01 ? isd1 : isd2, 8);
        PutTlv(&r.data, 0x6F, inner);
        return r;
      }
      std::vector<Node*> dfs;
      CollectDfs(mf_.get(), &dfs);
      bool next = (a.p2 & 0x03) == 0x02;
      size_t start = next && d == lastAid_ ? aidCursor_ + 1 : 0;
      for (size_t i = start; i < dfs.size(); ++i) {
        const Bytes& nm = dfs[i]->name;
        if (nm.size() >= d.size() && std::equal(d.begin(), d.end(), nm.begin())) {
          target = dfs[i];
          aidCursor_ = i;
          lastAid_ = d;
          break;
        }
      }
      break;
    }
    case 0x08:
    case 0x09: {
      if (d.empty() || d.size() % 2) return Sw(0x6700);
      Bytes ids = d;
      Node* base = a.p1 == 0x08 ? mf_.get() : curDf_;
      if (a.p1 == 0x08 && !(ids[0] == 0x3F && ids[1] == 0x00)) ids.insert(ids.begin(), {0x3F, 0x00});
      target = ResolvePath(ids, base);
      break;
    }
    default:
      return Sw(0x6A86);
  }
  if (!target) return Sw(0x6A82);
  if (target->desc == kDescPin) return Sw(0x6A82);
  SetApplication(false);  // a file of the applet
  if (target->IsDf()) {
    curDf_ = target;
    curEf_ = nullptr;
  } else {
    curDf_ = target->parent;
    curEf_ = target;
  }
  Response r;
  if ((a.p2 & 0x0C) != 0x0C) r.data = Fcp(target);
  if (!Usable(target)) r.sw = 0x6283;
  return r;
}

// ---------------------------------------------------------------- binary

Response Card::ReadBinary(const Apdu& a) {
  if (a.p1 & 0x80) return Sw(0x6A81);  // short EF identifiers are not offered
  if (!curEf_) return Sw(0x6986);
  if (curEf_->desc != kDescEf) return Sw(0x6981);
  if (!Usable(curEf_)) return Sw(0x6985);
  if (!AllowedOp(curEf_, kAmRead)) return Sw(0x6982);
  size_t off = size_t(a.p1) << 8 | a.p2;
  if (off >= curEf_->data.size()) return Sw(0x6B00);
  size_t want = a.hasLe ? a.ne : 256;
  size_t n = std::min(want, curEf_->data.size() - off);
  Response r;
  r.data.assign(curEf_->data.begin() + long(off), curEf_->data.begin() + long(off + n));
  return r;
}

Response Card::UpdateBinary(const Apdu& a) {
  if (a.p1 & 0x80) return Sw(0x6A81);
  if (!curEf_) return Sw(0x6986);
  if (curEf_->desc != kDescEf) return Sw(0x6981);
  if (!Usable(curEf_)) return Sw(0x6985);
  if (!AllowedOp(curEf_, kAmUpdate)) return Sw(0x6982);
  if (a.data.empty()) return Sw(0x6700);
  size_t off = size_t(a.p1) << 8 | a.p2;
  if (off > curEf_->data.size() || a.data.size() > curEf_->data.size() - off) return Sw(0x6A84);
  std::copy(a.data.begin(), a.data.end(), curEf_->data.begin() + long(off));
  Changed();
  return Sw(0x9000);
}

Response Card::EraseBinary(const Apdu& a) {
  if (a.p1 & 0x80) return Sw(0x6A81);
  if (!curEf_) return Sw(0x6986);
  if (curEf_->desc != kDescEf) return Sw(0x6981);
  if (!Usable(curEf_)) return Sw(0x6985);
  if (!AllowedOp(curEf_, kAmUpdate)) return Sw(0x6982);
  size_t off = size_t(a.p1) << 8 | a.p2;
  size_t end = curEf_->data.size();
  if (a.data.size() == 2) end = size_t(a.data[0]) << 8 | a.data[1];
  else if (!a.data.empty()) return Sw(0x6700);
  if (off > curEf_->data.size() || end > curEf_->data.size() || end < off) return Sw(0x6B00);
  std::fill(curEf_->data.begin() + long(off), curEf_->data.begin() + long(end), ErasedValue());
  Changed();
  return Sw(0x9000);
}

// ---------------------------------------------------------------- CREATE / DELETE

namespace {
bool ParseRules(const uint8_t* p, size_t n, std::map<uint8_t, uint16_t>* ac) {
  std::vector<Tlv> v;
  if (!ParseTlvs(p, n, &v)) return false;
  uint8_t am = 0;
  for (const Tlv& t : v) {
    if (t.tag == 0x80) {
      if (t.len != 1) return false;
      am = t.value[0];
      continue;
    }
    uint16_t cond;
    if (t.tag == 0x90) cond = kAcAlways;
    else if (t.tag == 0x97) cond = kAcNever;
    else if (t.tag == 0xA4) {
      std::vector<Tlv> c;
      if (!ParseTlvs(t.value, t.len, &c)) return false;
      const Tlv* ref = FindTlv(c, 0x83);
      const Tlv* uq = FindTlv(c, 0x95);
      if (!ref || ref->len != 1) return false;
      bool pin = !uq || (uq->len == 1 && (uq->value[0] & 0x08));
      cond = uint16_t((pin ? 0xC000 : 0x8000) | ref->value[0]);
    } else {
      return false;
    }
    for (uint8_t bit = 1; bit && bit <= 0x40; bit <<= 1)
      if (am & bit) (*ac)[bit] = cond;
  }
  return true;
}

size_t BeNum(const uint8_t* p, size_t n) {
  size_t v = 0;
  for (size_t i = 0; i < n && i < 4; ++i) v = v << 8 | p[i];
  return v;
}
}  // namespace

Response Card::CreateFile(const Apdu& a) {
  std::vector<Tlv> outer, v;
  if (!ParseTlvs(a.data.data(), a.data.size(), &outer) || outer.size() != 1 ||
      outer[0].tag != 0x62 || !ParseTlvs(outer[0].value, outer[0].len, &v))
    return Sw(0x6A80);
  const Tlv* desc = FindTlv(v, 0x82);
  if (!desc || desc->len < 1) return Sw(0x6A80);
  uint8_t kind = desc->value[0];
  if (kind != kDescEf && kind != kDescDf && kind != kDescKey && kind != kDescPin)
    return Sw(0x6A80);
  auto node = std::make_unique<Node>();
  node->desc = kind;
  node->parent = curDf_;
  if (const Tlv* t = FindTlv(v, 0x83)) {
    if (t->len != 2) return Sw(0x6A80);
    node->fid = uint16_t(t->value[0] << 8 | t->value[1]);
  } else if (kind != kDescPin) {
    return Sw(0x6A80);
  }
  size_t size = 0;
  if (const Tlv* t = FindTlv(v, 0x80)) size = BeNum(t->value, t->len);
  else if (const Tlv* t2 = FindTlv(v, 0x81)) size = BeNum(t2->value, t2->len);
  if (const Tlv* t = FindTlv(v, 0x84)) {
    if (kind != kDescDf || t->len > 16) return Sw(0x6A80);
    node->name.assign(t->value, t->value + t->len);
  }
  if (const Tlv* t = FindTlv(v, 0x8A)) {
    if (t->len != 1) return Sw(0x6A80);
    node->lcs = t->value[0];
  }
  if (const Tlv* t = FindTlv(v, 0xAB))
    if (!ParseRules(t->value, t->len, &node->ac)) return Sw(0x6A80);
  std::vector<Tlv> prop;
  if (const Tlv* t = FindTlv(v, 0xA5))
    if (!ParseTlvs(t->value, t->len, &prop)) return Sw(0x6A80);

  uint8_t need = kind == kDescDf ? kAmCreateDf : kAmCreateEf;
  if (!AllowedOp(curDf_, need)) return Sw(0x6982);

  if (kind != kDescPin) {
    if (node->fid == 0x3F00 || node->fid == 0x3FFF || node->fid == 0xFFFF || node->fid == 0)
      return Sw(0x6A80);
    if (curDf_->Child(node->fid)) return Sw(0x6A89);
  }
  // Several applications may share a DF name (SELECT by name walks them with
  // "next occurrence"); model 7 keeps names unique.
  if (!node->name.empty() && model_ == 7) {
    std::vector<Node*> dfs;
    CollectDfs(mf_.get(), &dfs);
    for (Node* d : dfs)
      if (d->name == node->name) return Sw(0x6A8A);
  }
  size_t cost = 32;
  if (kind == kDescEf) {
    if (size > 0x7FFF) return Sw(0x6A84);
    cost += size;
  } else if (kind == kDescKey) {
    const Tlv* ref = FindTlv(prop, 0x83);
    if (ref) {
      if (ref->len != 1) return Sw(0x6A80);
      node->keyRef = ref->value[0];
      for (auto& c : curDf_->children)
        if (c->IsKey() && c->keyRef == node->keyRef) return Sw(0x6A89);
    } else if (!KeysByFile()) {
      return Sw(0x6A80);  // this model names every key by a reference
    }
    size_t bits = size * 8;
    if (const Tlv* b = FindTlv(prop, 0x80)) bits = BeNum(b->value, b->len);
    if (bits < 512 || bits > 4096 || bits % 8) return Sw(0x6A80);
    node->keyBits = uint16_t(bits);
    cost += bits / 8 * 5 / 2;
  } else if (kind == kDescPin) {
    Pin p;
    const Tlv* ref = FindTlv(prop, 0x83);
    if (!ref || ref->len != 1) return Sw(0x6A80);
    p.ref = ref->value[0];
    if (p.ref < 0x80 && curDf_ != mf_.get()) return Sw(0x6A80);  // global: the MF's only
    for (const Pin& q : curDf_->pins)
      if (q.ref == p.ref) return Sw(0x6A89);
    auto byteOf = [&](uint32_t tag, int dflt) -> int {
      const Tlv* t = FindTlv(prop, tag);
      return t && t->len == 1 ? t->value[0] : dflt;
    };
    p.minLen = uint8_t(byteOf(0x90, 4));
    p.maxLen = uint8_t(byteOf(0x91, 8));
    p.pad = byteOf(0x92, -1);
    p.tries = uint8_t(byteOf(0x93, 3));
    p.unblockRef = uint8_t(byteOf(0x94, 0xFF));
    if (p.minLen == 0 || p.minLen > p.maxLen || p.tries == 0 || p.tries > 15) return Sw(0x6A80);
    p.left = p.tries;
    if (const Tlv* val = FindTlv(prop, 0x95)) {
      Bytes value = StripPad(Bytes(val->value, val->value + val->len), p.pad);
      if (value.size() < p.minLen || value.size() > p.maxLen) return Sw(0x6700);
      p.value = value;
      p.initialised = true;
    }
    p.ac = node->ac;
    if (UsedMemory() + 32 > memory_) return Sw(0x6A84);
    curDf_->pins.push_back(p);
    Changed();
    return Sw(0x9000);
  }
  if (UsedMemory() + cost > memory_) return Sw(0x6A84);
  if (kind == kDescEf) node->data.assign(size, ErasedValue());
  Node* raw = node.get();
  curDf_->children.push_back(std::move(node));
  if (raw->IsDf()) {
    curDf_ = raw;
    curEf_ = nullptr;
  } else {
    curEf_ = raw;
  }
  Changed();
  return Sw(0x9000);
}

Response Card::DeleteFile(const Apdu& a) {
  const Bytes& d = a.data;
  if (a.p1 == 0x10 || a.p1 == 0x20) {
    if (d.size() != 1) return Sw(0x6700);
    if (a.p1 == 0x20) {
      auto& pins = curDf_->pins;
      for (size_t i = 0; i < pins.size(); ++i) {
        if (pins[i].ref != d[0]) continue;
        if (!Allowed(curDf_, pins[i].Ac(kAmDelete))) return Sw(0x6982);
        pins.erase(pins.begin() + long(i));
        Changed();
        return Sw(0x9000);
      }
      return Sw(0x6A88);
    }
    for (auto& c : curDf_->children) {
      if (!c->IsKey() || c->keyRef != d[0]) continue;
      if (!AllowedOp(c.get(), kAmDelete)) return Sw(0x6982);
      Node* gone = c.get();
      if (curEf_ == gone) curEf_ = nullptr;
      auto& ch = curDf_->children;
      ch.erase(std::find_if(ch.begin(), ch.end(), [&](auto& u) { return u.get() == gone; }));
      Changed();
      return Sw(0x9000);
    }
    return Sw(0x6A88);
  }
  if (a.p1 != 0x00 && a.p1 != 0x02 && a.p1 != 0x01) return Sw(0x6A86);
  Node* target = nullptr;
  if (d.empty()) target = curEf_ ? curEf_ : curDf_;
  else if (d.size() == 2) target = curDf_->Child(uint16_t(d[0] << 8 | d[1]));
  else return Sw(0x6700);
  if (!target) return Sw(0x6A82);
  if (target == mf_.get()) return Sw(0x6985);
  // A DF that holds files or PINs goes with them on the models that delete a
  // whole subtree; the others refuse it until it is empty.
  if (target->IsDf() && !DeletesSubtrees() && (!target->children.empty() || !target->pins.empty()))
    return Sw(0x6985);
  if (!AllowedOp(target, kAmDelete)) return Sw(0x6982);
  Node* parent = target->parent;
  if (curEf_ && Descends(curEf_, target)) curEf_ = nullptr;
  if (Descends(curDf_, target)) {
    curDf_ = parent;
    curEf_ = nullptr;
  }
  auto& ch = parent->children;
  ch.erase(std::find_if(ch.begin(), ch.end(), [&](auto& u) { return u.get() == target; }));
  Changed();
  return Sw(0x9000);
}

Response Card::LifeCycleCmd(const Apdu& a) {
  if (a.ins == 0xFE) {
    if (!AllowedOp(mf_.get(), kAmTerminate)) return Sw(0x6982);
    terminated_ = true;
    lifecycle_ = 0xFF;
    Changed();
    return Sw(0x9000);
  }
  Node* target = nullptr;
  if (a.data.empty()) target = (a.ins == 0xE6) ? curDf_ : (curEf_ ? curEf_ : curDf_);
  else if (a.data.size() == 2) target = curDf_->Child(uint16_t(a.data[0] << 8 | a.data[1]));
  else return Sw(0x6700);
  if (!target) return Sw(0x6A82);
  uint8_t am = 0;
  uint8_t lcs = 0;
  switch (a.ins) {
    case 0x44: am = kAmActivate; lcs = 0x05; break;
    case 0x04: am = kAmDeactivate; lcs = 0x04; break;
    case 0xE6: am = kAmTerminate; lcs = 0x0C; if (!target->IsDf()) return Sw(0x6981); break;
    case 0xE8: am = kAmTerminate; lcs = 0x0C; if (target->IsDf()) return Sw(0x6981); break;
  }
  if (target->lcs >= 0x0C) return Sw(0x6985);
  if (!AllowedOp(target, am)) return Sw(0x6982);
  target->lcs = lcs;
  Changed();
  return Sw(0x9000);
}

// ---------------------------------------------------------------- PINs

Response Card::PinCheck(Pin* p, const Bytes& given, bool countFailure) {
  if (!p->initialised) return Sw(0x6984);
  if (p->left == 0) return Sw(0x6983);
  // Model 3 takes a padded PIN at the length it holds it at: a longer value is
  // refused for its length, before anything is compared or counted.
  if (model_ == 3 && p->pad >= 0 && given.size() > p->maxLen) return Sw(0x6700);
  Bytes v = StripPad(given, p->pad);
  if (v.size() < p->minLen || v.size() > p->maxLen) return Sw(0x6700);
  if (v == p->value) {
    bool changed = p->left != p->tries;
    p->left = p->tries;
    p->verified = true;
    if (changed) Changed();
    return Sw(0x9000);
  }
  p->verified = false;
  if (countFailure) {
    --p->left;
    Changed();
  }
  return Sw(uint16_t(0x63C0 | p->left));
}

Response Card::Verify(const Apdu& a) {
  if (a.p1 != 0x00 && a.p1 != 0xFF) return Sw(0x6A86);
  Pin* p = FindPin(curDf_, a.p2);
  if (!p) return Sw(0x6A88);
  if (a.p1 == 0xFF) {
    p->verified = false;
    return Sw(0x9000);
  }
  if (a.data.empty()) {
    if (!p->initialised) return Sw(0x6984);
    if (p->left == 0) return Sw(0x6983);
    if (p->verified) return Sw(0x9000);
    return Sw(uint16_t(0x63C0 | p->left));
  }
  return PinCheck(p, a.data, true);
}

namespace {
// Splits "first || second" where the first value has the card-known length.
size_t FirstLen(const Pin& p) {
  return p.pad >= 0 ? p.maxLen : p.value.size();
}
}  // namespace

Response Card::ChangeRef(const Apdu& a) {
  Node* holder = nullptr;
  Pin* p = FindPin(curDf_, a.p2, &holder);
  if (!p) return Sw(0x6A88);
  Bytes nv;
  if (a.p1 == 0x00) {
    if (!p->initialised) return Sw(0x6984);
    if (p->left == 0) return Sw(0x6983);
    size_t k = FirstLen(*p);
    if (a.data.size() <= k) return Sw(0x6700);
    Bytes old(a.data.begin(), a.data.begin() + long(k));
    nv.assign(a.data.begin() + long(k), a.data.end());
    Bytes sn = StripPad(nv, p->pad);
    if (sn.size() < p->minLen || sn.size() > p->maxLen) return Sw(0x6700);
    Response r = PinCheck(p, old, true);
    if (r.sw != 0x9000) return r;
  } else if (a.p1 == 0x01) {
    if (!Allowed(holder, p->Ac(kAmUpdate))) return Sw(0x6982);
    nv = a.data;
  } else {
    return Sw(0x6A86);
  }
  nv = StripPad(nv, p->pad);
  if (nv.size() < p->minLen || nv.size() > p->maxLen) return Sw(0x6700);
  p->value = nv;
  p->initialised = true;
  p->left = p->tries;
  p->verified = true;
  Changed();
  return Sw(0x9000);
}

Response Card::ResetRetry(const Apdu& a) {
  Node* holder = nullptr;
  Pin* p = FindPin(curDf_, a.p2, &holder);
  if (!p) return Sw(0x6A88);
  Bytes nv;
  bool setNew = false;
  if (a.p1 == 0x00 || a.p1 == 0x01) {
    Pin* puk = p->unblockRef == 0xFF ? nullptr : FindPin(holder, p->unblockRef);
    if (!puk) return Sw(0x6A88);
    Bytes given = a.data;
    if (a.p1 == 0x00) {
      size_t k = FirstLen(*puk);
      if (a.data.size() <= k) return Sw(0x6700);
      given.assign(a.data.begin(), a.data.begin() + long(k));
      nv.assign(a.data.begin() + long(k), a.data.end());
      Bytes sn = StripPad(nv, p->pad);
      if (sn.size() < p->minLen || sn.size() > p->maxLen) return Sw(0x6700);
      setNew = true;
    } else if (a.data.empty()) {
      return Sw(0x6700);
    }
    Response r = PinCheck(puk, given, true);
    if (r.sw != 0x9000) return r;
  } else if (a.p1 == 0x02 || a.p1 == 0x03) {
    if (!Allowed(holder, p->Ac(kAmUpdate))) return Sw(0x6982);
    if (a.p1 == 0x02) {
      if (a.data.empty()) return Sw(0x6700);
      nv = a.data;
      setNew = true;
    } else if (!a.data.empty()) {
      return Sw(0x6700);
    }
  } else {
    return Sw(0x6A86);
  }
  if (setNew) {
    nv = StripPad(nv, p->pad);
    if (nv.size() < p->minLen || nv.size() > p->maxLen) return Sw(0x6700);
    p->value = nv;
    p->initialised = true;
  } else if (!p->initialised) {
    return Sw(0x6984);
  }
  p->left = p->tries;
  p->verified = false;
  Changed();
  return Sw(0x9000);
}

// ---------------------------------------------------------------- keys

Response Card::Mse(const Apdu& a) {
  if (a.p1 == 0xF3) {
    // The stored environments are one per key: environment n names the key
    // with reference n for signing and deciphering; without such a key the
    // templates are cleared.
    seSign_ = Se();
    seDec_ = Se();
    if (a.p2 && FindKeyByRef(curDf_, a.p2)) {
      seSign_.keyRef = a.p2;
      seDec_.keyRef = a.p2;
    }
    return Sw(0x9000);
  }
  if ((a.p1 & 0x0F) != 0x01) return Sw(0x6A86);
  std::vector<Tlv> v;
  if (!ParseTlvs(a.data.data(), a.data.size(), &v)) return Sw(0x6A80);
  Se se;
  for (const Tlv& t : v) {
    if (t.tag == 0x80) {
      if (t.len != 1) return Sw(0x6A80);
      se.alg = t.value[0];
    } else if (t.tag == 0x84 || t.tag == 0x83) {
      if (t.len < 1) return Sw(0x6A80);
      se.keyRef = t.value[t.len - 1];
    } else if (t.tag == 0x81) {
      if (t.len == 0 || t.len % 2) return Sw(0x6A80);
      se.keyPath.assign(t.value, t.value + t.len);
    } else {
      return Sw(0x6A80);
    }
  }
  if (a.p2 == 0xB6) {
    if (se.alg >= 0 && se.alg != 0x00 && se.alg != 0x02 && !(se.alg >= 0x11 && se.alg <= 0x18))
      return Sw(0x6A80);
    seSign_ = se;
  } else if (a.p2 == 0xB8) {
    if (se.alg >= 0 && se.alg != 0x00 && se.alg != 0x02) return Sw(0x6A80);
    seDec_ = se;
  } else if (a.p2 != 0xA4) {
    return Sw(0x6A86);
  }
  return Sw(0x9000);
}

Response Card::Pso(const Apdu& a) {
  bool sign = a.p1 == 0x9E && a.p2 == 0x9A;
  bool dec = a.p1 == 0x80 && a.p2 == 0x86;
  if (!sign && !dec) return Sw(0x6A86);
  const Se& se = sign ? seSign_ : seDec_;
  Node* key = nullptr;
  if (!se.keyPath.empty()) {
    Node* base = se.keyPath.size() >= 2 && se.keyPath[0] == 0x3F && se.keyPath[1] == 0x00
                     ? mf_.get()
                     : curDf_;
    key = ResolvePath(se.keyPath, base);
  } else if (se.keyRef >= 0) {
    key = FindKeyByRef(curDf_, uint8_t(se.keyRef));
  } else {
    return Sw(0x6985);
  }
  if (!key || !key->IsKey()) return Sw(0x6A88);
  if (!Usable(key)) return Sw(0x6985);
  if (!AllowedOp(key, kAmUse)) return Sw(0x6982);
  if (!key->key.HasPrivate()) return Sw(0x6985);
  size_t k = key->key.ModulusBytes();
  int alg = se.alg < 0 ? 0x02 : se.alg;
  Bytes block;
  Response r;
  if (sign) {
    Bytes payload = a.data;
    if (alg >= 0x11) {
      const DigestInfoRow* row = nullptr;
      for (const auto& d : kDigestInfos)
        if (d.id == alg - 0x10) row = &d;
      if (!row || payload.size() != row->digestLen) return Sw(0x6700);
      Bytes prefix;
      FromHex(row->prefixHex, &prefix);
      prefix.insert(prefix.end(), payload.begin(), payload.end());
      payload = prefix;
    }
    if (alg == 0x00) {
      if (payload.size() != k) return Sw(0x6700);
      block = payload;
    } else {
      if (payload.empty() || payload.size() + 11 > k) return Sw(0x6700);
      block.assign(k, 0xFF);
      block[0] = 0x00;
      block[1] = 0x01;
      block[k - payload.size() - 1] = 0x00;
      std::copy(payload.begin(), payload.end(), block.end() - long(payload.size()));
    }
    if (!RsaPrivate(key->key, block, &r.data)) return Sw(0x6A80);
    return r;
  }
  Bytes in = a.data;
  if (in.size() == k + 1 && in[0] == 0x00) in.erase(in.begin());
  if (in.size() != k) return Sw(0x6700);
  Bytes plain;
  if (!RsaPrivate(key->key, in, &plain)) return Sw(0x6A80);
  if (alg == 0x00) {
    r.data = plain;
    return r;
  }
  // PKCS#1 v1.5 type 2: 00 02, at least 8 non-zero padding bytes, 00, message
  if (plain.size() < 11 || plain[0] != 0x00 || plain[1] != 0x02) return Sw(0x6A80);
  size_t i = 2;
  while (i < plain.size() && plain[i] != 0) ++i;
  if (i >= plain.size() || i < 10) return Sw(0x6A80);
  r.data.assign(plain.begin() + long(i) + 1, plain.end());
  return r;
}

Response Card::Generate(const Apdu& a) {
  if (a.p1 != 0x00 && a.p1 != 0x01 && a.p1 != 0x81 && a.p1 != 0x80 && a.p1 != 0x82)
    return Sw(0x6A86);
  Node* key = nullptr;
  if (a.p2) key = FindKeyByRef(curDf_, a.p2);
  else if (curEf_ && curEf_->IsKey()) key = curEf_;
  if (!key) return Sw(0x6A88);
  bool readOnly = a.p1 == 0x81;
  bool giveBack = a.p1 == 0x00 || a.p1 == 0x80 || a.p1 == 0x81;
  if (!Usable(key)) return Sw(0x6985);
  if (readOnly) {
    if (!AllowedOp(key, kAmRead)) return Sw(0x6982);
    if (!key->key.HasPublic()) return Sw(0x6A88);
  } else {
    if (!AllowedOp(key, kAmGenerate)) return Sw(0x6982);
    std::vector<Tlv> v;
    if (!ParseTlvs(a.data.data(), a.data.size(), &v)) return Sw(0x6A80);
    unsigned bits = key->keyBits;
    Bytes e;
    if (const Tlv* t = FindTlv(v, 0x80)) bits = unsigned(BeNum(t->value, t->len));
    if (const Tlv* t = FindTlv(v, 0x82)) e.assign(t->value, t->value + t->len);
    if (bits < 512 || bits > 4096 || bits % 8) return Sw(0x6A80);
    if (!e.empty()) {
      // odd exponents from 3 up, at most 4 bytes
      if (e.size() > 4 || !(e.back() & 1) || (e.size() == 1 && e[0] < 3)) return Sw(0x6A80);
    }
    if (!RsaGenerate(bits, e, &key->key)) return Sw(0x6F00);
    key->keyBits = uint16_t(bits);
    Changed();
  }
  Response r;
  if (giveBack) {
    Bytes inner;
    PutTlv(&inner, 0x81, key->key.comp[0x81]);
    PutTlv(&inner, 0x82, key->key.comp[0x82]);
    PutTlv(&r.data, 0x7F49, inner);
  }
  return r;
}

Response Card::PutData(const Apdu& a) {
  if (a.p1 != 0x00) return Sw(0x6A86);
  Node* key = nullptr;
  if (a.p2) key = FindKeyByRef(curDf_, a.p2);
  else if (curEf_ && curEf_->IsKey()) key = curEf_;
  if (!key) return Sw(0x6A88);
  if (!AllowedOp(key, kAmUpdate)) return Sw(0x6982);
  std::vector<Tlv> v;
  if (!ParseTlvs(a.data.data(), a.data.size(), &v) || v.empty()) return Sw(0x6A80);
  for (const Tlv& t : v)
    if (t.tag < 0x81 || t.tag > 0x88 || t.len == 0 || t.len > 512) return Sw(0x6A80);
  for (const Tlv& t : v) key->key.comp[uint8_t(t.tag)] = Bytes(t.value, t.value + t.len);
  CompleteKey(&key->key);
  if (size_t mb = key->key.ModulusBytes()) key->keyBits = uint16_t(mb * 8);
  Changed();
  return Sw(0x9000);
}

Response Card::GetData(const Apdu& a) {
  uint16_t tag = uint16_t(a.p1 << 8 | a.p2);
  Response r;
  switch (tag) {
    case 0x005A:
      if (serial_.empty()) return Sw(0x6A88);
      r.data = serial_;
      return r;
    case 0x008A:
      r.data = {lifecycle_};
      return r;
    case 0x9F7F: {
      if (!IsGp()) return Sw(0x6A88);
      // card production life-cycle data: 42 bytes, the IC serial number at 13..16
      Bytes cplc(42, 0);
      cplc[0] = 0x47;
      cplc[1] = 0x90;
      for (size_t i = 0; i < 4 && i < serial_.size(); ++i)
        cplc[12 + i] = serial_[serial_.size() - 4 + i];
      PutTlv(&r.data, 0x9F7F, cplc);
      return r;
    }
    case 0x0066: {
      if (!IsGp()) return Sw(0x6A88);
      PutTlv(&r.data, 0x66, Bytes{0x73, 0x00});
      return r;
    }
    default:
      return Sw(0x6A88);
  }
}

Response Card::GetDataSdo(const Apdu& a) {
  if (model_ != 7) return Sw(0x6D00);
  if (a.p1 != 0x3F || a.p2 != 0xFF) return Sw(0x6A86);
  // look for BF 81 rr (a PIN security data object) in the request
  const Bytes& d = a.data;
  for (size_t i = 0; i + 2 < d.size(); ++i) {
    if (d[i] != 0xBF || d[i + 1] != 0x81) continue;
    uint8_t ref = d[i + 2];
    Pin* p = FindPin(curDf_, ref);
    if (!p) return Sw(0x6A88);
    Bytes body;
    PutTlv(&body, 0x9A, &p->tries, 1);
    PutTlv(&body, 0x9B, &p->left, 1);
    PutTlv(&body, 0x80, &p->minLen, 1);
    PutTlv(&body, 0x81, &p->maxLen, 1);
    Bytes a0;
    PutTlv(&a0, 0xA0, body);
    Response r;
    PutTlv(&r.data, 0xBF8100u | ref, a0);
    return r;
  }
  return Sw(0x6A80);
}

Response Card::GetChallenge(const Apdu& a) {
  if (a.p1 || a.p2) return Sw(0x6A86);
  size_t n = a.hasLe ? a.ne : 8;
  Response r;
  r.data.resize(n);
  if (RAND_bytes(r.data.data(), int(n)) != 1) return Sw(0x6F00);
  return r;
}

Response Card::GetResponse(const Apdu& a) {
  if (a.p1 || a.p2) return Sw(0x6A86);
  if (pending_.empty()) return Sw(0x6985);
  Response r;
  r.data = std::move(pending_);
  pending_.clear();
  return r;
}

Response Card::SetStatus(const Apdu& a) {
  if (!IsGp()) return Sw(0x6D00);
  if (a.p1 != 0x80) return Sw(0x6A86);
  // A card with key sets changes its life cycle only over a secure channel.
  if (!channel_.gpKeys.empty() && !channel_.IsGpOpen()) return Sw(0x6982);
  lifecycle_ = a.p2;
  SyncAtrLifecycle();
  Changed();
  return Sw(0x9000);
}

void Card::SyncAtrLifecycle() {
  // The ATR's status indicator (compact TLV 83: LCS SW1 SW2 as the last
  // historical bytes) follows the card's life cycle.
  if (atr_.size() < 6) return;
  size_t tck = atr_.size() - 1;
  if (atr_[tck - 4] == 0x83 && atr_[tck - 2] == 0x90) {
    atr_[tck - 3] = lifecycle_;
    uint8_t x = 0;
    for (size_t i = 1; i < tck; ++i) x ^= atr_[i];
    atr_[tck] = x;
  }
}

}  // namespace cardsim
