#include "tools/cardsim/channel.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include "tools/cardsim/tlv.h"

namespace cardsim {

namespace {

// ---------------------------------------------------------------- APDUs

struct Cmd {
  uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  Bytes data;
  bool hasLe = false;
  size_t le = 0;  // 1..65536
};

bool Parse(const Bytes& in, Cmd* c) {
  if (in.size() < 4) return false;
  c->cla = in[0];
  c->ins = in[1];
  c->p1 = in[2];
  c->p2 = in[3];
  const size_t n = in.size() - 4;
  const uint8_t* b = in.data() + 4;
  if (n == 0) return true;
  if (n == 1) {
    c->hasLe = true;
    c->le = b[0] ? b[0] : 256;
    return true;
  }
  if (b[0] != 0) {
    const size_t lc = b[0];
    if (n != 1 + lc && n != 2 + lc) return false;
    c->data.assign(b + 1, b + 1 + lc);
    if (n == 2 + lc) {
      c->hasLe = true;
      c->le = b[1 + lc] ? b[1 + lc] : 256;
    }
    return true;
  }
  if (n < 3) return false;
  if (n == 3) {
    c->hasLe = true;
    const size_t le = size_t(b[1]) << 8 | b[2];
    c->le = le ? le : 65536;
    return true;
  }
  const size_t lc = size_t(b[1]) << 8 | b[2];
  if (lc == 0 || (n != 3 + lc && n != 5 + lc)) return false;
  c->data.assign(b + 3, b + 3 + lc);
  if (n == 5 + lc) {
    c->hasLe = true;
    const size_t le = size_t(b[3 + lc]) << 8 | b[4 + lc];
    c->le = le ? le : 65536;
  }
  return true;
}

Bytes Build(const Cmd& c) {
  Bytes out = {c.cla, c.ins, c.p1, c.p2};
  const bool ext = c.data.size() > 255 || c.le > 256;
  if (!c.data.empty()) {
    if (ext) {
      out.push_back(0);
      out.push_back(uint8_t(c.data.size() >> 8));
    }
    out.push_back(uint8_t(c.data.size()));
    out.insert(out.end(), c.data.begin(), c.data.end());
  }
  if (c.hasLe) {
    if (ext) {
      if (c.data.empty()) out.push_back(0);
      out.push_back(uint8_t((c.le >> 8) & 0xFF));
    }
    out.push_back(uint8_t(c.le & 0xFF));
  }
  return out;
}

// ---------------------------------------------------------------- cryptography

void Pad(Bytes* d) {
  d->push_back(0x80);
  while (d->size() % 8) d->push_back(0x00);
}

bool Unpad(Bytes* d) {
  if (d->empty() || d->size() % 8) return false;
  size_t i = d->size();
  while (i > 0 && (*d)[i - 1] == 0x00) --i;
  if (i == 0 || (*d)[i - 1] != 0x80 || d->size() - (i - 1) > 8) return false;
  d->resize(i - 1);
  return true;
}

struct DesKey {
  explicit DesKey(const uint8_t* k8) {
    DES_cblock b;
    std::memcpy(b, k8, 8);
    DES_set_key_unchecked(&b, &ks);
    OPENSSL_cleanse(b, sizeof b);
  }
  ~DesKey() { OPENSSL_cleanse(&ks, sizeof ks); }
  DES_key_schedule ks;
};

void DesBlock(const DesKey& k, const uint8_t* in, uint8_t* out, bool enc) {
  DES_cblock i, o;
  std::memcpy(i, in, 8);
  DES_ecb_encrypt(&i, &o, const_cast<DES_key_schedule*>(&k.ks), enc ? DES_ENCRYPT : DES_DECRYPT);
  std::memcpy(out, o, 8);
}

// Two-key triple DES in CBC mode, zero IV, whole blocks.
Bytes Tdes(const Bytes& key, const Bytes& in, bool enc) {
  DesKey k1(key.data()), k2(key.data() + 8);
  Bytes out(in.size());
  DES_cblock iv = {0};
  DES_ede3_cbc_encrypt(in.data(), out.data(), long(in.size()), &k1.ks, &k2.ks, &k1.ks, &iv,
                       enc ? DES_ENCRYPT : DES_DECRYPT);
  return out;
}

// ISO/IEC 9797-1 MAC algorithm 3 (DES), padding method 2, optional ICV.
Bytes RetailMac(const Bytes& key, const Bytes& icv, Bytes data) {
  Pad(&data);
  DesKey k1(key.data()), k2(key.data() + 8);
  uint8_t h[8] = {0};
  if (!icv.empty()) std::memcpy(h, icv.data(), 8);
  for (size_t i = 0; i < data.size(); i += 8) {
    for (int j = 0; j < 8; ++j) h[j] ^= data[i + j];
    DesBlock(k1, h, h, true);
  }
  DesBlock(k2, h, h, false);
  DesBlock(k1, h, h, true);
  return Bytes(h, h + 8);
}

// Full triple-DES CBC-MAC, padding method 2.
Bytes TdesMac(const Bytes& key, Bytes data) {
  Pad(&data);
  Bytes c = Tdes(key, data, true);
  return Bytes(c.end() - 8, c.end());
}

Bytes SessionKey(const Bytes& key, uint16_t constant, const Bytes& seq) {
  Bytes d(16, 0);
  d[0] = uint8_t(constant >> 8);
  d[1] = uint8_t(constant);
  d[2] = seq[0];
  d[3] = seq[1];
  return Tdes(key, d, true);
}

Bytes Kdf(const Bytes& z, uint8_t counter) {
  Bytes in = z;
  in.insert(in.end(), {0, 0, 0, counter});
  uint8_t h[SHA_DIGEST_LENGTH];
  SHA1(in.data(), in.size(), h);
  return Bytes(h, h + 16);
}

bool Equal(const Bytes& a, const uint8_t* b) { return CRYPTO_memcmp(a.data(), b, a.size()) == 0; }

Bytes Random(size_t n) {
  Bytes r(n);
  RAND_bytes(r.data(), int(n));
  return r;
}

BIGNUM* Bn(const Bytes& b) { return BN_bin2bn(b.data(), int(b.size()), nullptr); }

Bytes Fixed(const BIGNUM* v, size_t len) {
  Bytes out(len);
  BN_bn2binpad(v, out.data(), int(len));
  return out;
}

bool IsGpClass(uint8_t cla) { return (cla & 0x04) && (cla & 0x0C) != 0x0C; }
bool IsIsoClass(uint8_t cla) { return !(cla & 0x80) && (cla & 0x0C) == 0x0C; }

}  // namespace

// ---------------------------------------------------------------- the channel

Channel::Channel() = default;
Channel::~Channel() { End(); }

void Channel::End() {
  for (Bytes* b : {&senc_, &cmac_, &rmac_, &hostChallenge_, &cardChallenge_, &lastCmac_, &lastRmac_,
                   &rmacCommand_, &kenc_, &kmac_, &ssc_}) {
    if (!b->empty()) OPENSSL_cleanse(b->data(), b->size());
    b->clear();
  }
  state_ = kNone;
  dh_ = nullptr;
  gaChain_.clear();
}

void Channel::Reset() { End(); }

void Channel::ApplicationChanged() {
  if (state_ == kGpInitialised || state_ == kGpOpen) End();
}

bool Channel::KeyAuthenticated(uint8_t ref) const {
  if (state_ == kGpOpen) return !isoSession_ && keyRef_ == ref;
  if (state_ == kIsoOpen) return isoSession_ && keyRef_ == ref;
  return false;
}

Channel::Incoming Channel::Answer(uint16_t sw, const Bytes& data) {
  Incoming in;
  in.kind = Incoming::kAnswered;
  in.answer = data;
  in.answer.push_back(uint8_t(sw >> 8));
  in.answer.push_back(uint8_t(sw));
  return in;
}

bool Channel::Exempt(const Bytes& apdu, bool appSelect) {
  Cmd c;
  if (!Parse(apdu, &c)) return false;
  if (appSelect || c.ins == 0xC0 || c.ins == 0xCA || c.ins == 0x86) return true;
  if (c.cla == 0x80 && c.ins == 0x50) return true;
  return c.ins == 0x22 && c.p2 == 0xA6;
}

bool Channel::NeedsProtection(const Bytes& apdu, bool appSelect, bool secured) const {
  if (Exempt(apdu, appSelect)) return false;
  switch (protection.kind) {
    case Protection::kNone: return false;
    case Protection::kAll: return true;
    case Protection::kUntilSecured: return !secured;
    case Protection::kListed:
      return std::find(protection.ins.begin(), protection.ins.end(), apdu[1]) != protection.ins.end();
  }
  return false;
}

Channel::Incoming Channel::Receive(const Bytes& apdu, bool appSelect, bool selectedIsd, bool secured) {
  Incoming plain;
  if (apdu.size() < 4) return plain;
  const uint8_t cla = apdu[0], ins = apdu[1];
  if (cla == 0x84 && ins == 0x82) return ExternalAuthenticate(apdu);
  if (IsGpClass(cla)) {
    if (state_ != kGpOpen || !(level_ & 0x01)) {
      End();
      return Answer(0x6882);
    }
    return UnwrapGp(apdu);
  }
  if (IsIsoClass(cla)) {
    if (state_ != kIsoOpen) {
      End();
      return Answer(0x6988);
    }
    return UnwrapIso(apdu);
  }
  // In the clear.
  if (cla == 0x80 && ins == 0x50) return InitializeUpdate(apdu, selectedIsd);
  if ((cla & 0x80) == 0 && ins == 0x22 && apdu[2] == 0x41 && apdu[3] == 0xA6) return SetKeyAgreement(apdu);
  if ((cla & 0x80) == 0 && ins == 0x86) {
    // A public value longer than one command comes in a chain (CLA bit 10).
    Cmd c;
    if (!Parse(apdu, &c)) return Answer(0x6700);
    if (gaChain_.size() + c.data.size() > 4096) {
      gaChain_.clear();
      return Answer(0x6700);
    }
    gaChain_.insert(gaChain_.end(), c.data.begin(), c.data.end());
    if (cla & 0x10) return Answer(0x9000);
    c.cla = uint8_t(cla & ~0x10);
    c.data.swap(gaChain_);
    gaChain_.clear();
    return GeneralAuthenticate(Build(c));
  }
  gaChain_.clear();
  if (!Exempt(apdu, appSelect)) {
    // A channel asking for a C-MAC refuses a command without one and ends;
    // a command in the clear ends ISO secure messaging.
    if (state_ == kGpOpen && (level_ & 0x01)) {
      End();
      return Answer(0x6982);
    }
    if (state_ == kIsoOpen) End();
  }
  if (NeedsProtection(apdu, appSelect, secured) && !(state_ == kGpOpen && level_ == 0x00)) return Answer(0x6982);
  return plain;
}

// ---------------------------------------------------------------- GlobalPlatform

Channel::Incoming Channel::InitializeUpdate(const Bytes& apdu, bool selectedIsd) {
  Cmd c;
  End();
  if (!Parse(apdu, &c)) return Answer(0x6700);
  if (c.p2 != 0x00) return Answer(0x6A86);
  if (c.data.size() != 8) return Answer(0x6700);
  GpKeySet* ks = nullptr;
  for (GpKeySet& k : gpKeys)
    if (c.p1 == 0x00 || k.version == c.p1) {
      ks = &k;
      break;
    }
  if (ks == nullptr) return Answer(0x6A88);
  if (ks->counter == 0xFFFF) return Answer(0x6985);
  ++ks->counter;
  seq_ = {uint8_t(ks->counter >> 8), uint8_t(ks->counter)};
  hostChallenge_ = c.data;
  cardChallenge_ = Random(6);
  senc_ = SessionKey(ks->enc, 0x0182, seq_);
  cmac_ = SessionKey(ks->mac, 0x0101, seq_);
  rmac_ = SessionKey(ks->mac, 0x0102, seq_);
  Bytes m = hostChallenge_;
  m.insert(m.end(), seq_.begin(), seq_.end());
  m.insert(m.end(), cardChallenge_.begin(), cardChallenge_.end());
  const Bytes cryptogram = TdesMac(senc_, m);
  Bytes out(10, 0x00);  // key diversification data
  out[0] = 0xCA;
  out.push_back(ks->version);
  out.push_back(0x02);
  out.insert(out.end(), seq_.begin(), seq_.end());
  out.insert(out.end(), cardChallenge_.begin(), cardChallenge_.end());
  out.insert(out.end(), cryptogram.begin(), cryptogram.end());
  state_ = kGpInitialised;
  keyRef_ = ks->version;
  level_ = ks->level;  // the lowest the card accepts; EXTERNAL AUTHENTICATE sets it
  onIsd_ = selectedIsd;
  isoSession_ = false;
  Incoming in = Answer(0x9000, out);
  in.changed = true;
  return in;
}

Channel::Incoming Channel::ExternalAuthenticate(const Bytes& apdu) {
  Cmd c;
  if (state_ != kGpInitialised || !Parse(apdu, &c) || c.data.size() != 16) {
    const uint16_t sw = state_ != kGpInitialised ? 0x6985 : 0x6700;
    End();
    return Answer(sw);
  }
  Bytes m(apdu.begin(), apdu.begin() + 5);
  m.insert(m.end(), c.data.begin(), c.data.begin() + 8);
  const Bytes mac = RetailMac(cmac_, Bytes(), m);
  if (!Equal(mac, c.data.data() + 8)) {
    End();
    return Answer(0x6982);
  }
  Bytes h = seq_;
  h.insert(h.end(), cardChallenge_.begin(), cardChallenge_.end());
  h.insert(h.end(), hostChallenge_.begin(), hostChallenge_.end());
  if (!Equal(TdesMac(senc_, h), c.data.data())) {
    End();
    return Answer(0x6300);
  }
  const uint8_t asked = c.p1;
  const bool known = asked == 0x00 || asked == 0x01 || asked == 0x03 || asked == 0x11 || asked == 0x13;
  // Every protection the card's key set asks for must be part of the level.
  if (!known || (asked & level_) != level_) {
    End();
    return Answer(0x6982);
  }
  level_ = asked;
  lastCmac_ = mac;
  lastRmac_.assign(8, 0);
  state_ = kGpOpen;
  return Answer(0x9000);
}

Channel::Incoming Channel::UnwrapGp(const Bytes& apdu) {
  Cmd c;
  if (!Parse(apdu, &c) || c.data.size() < 8 || c.data.size() > 255) {
    End();
    return Answer(0x6700);
  }
  const Bytes mac(c.data.end() - 8, c.data.end());
  Bytes data(c.data.begin(), c.data.end() - 8);
  if ((level_ & 0x02) && !data.empty()) {
    if (data.size() % 8) {
      End();
      return Answer(0x6982);
    }
    data = Tdes(senc_, data, false);
    if (!Unpad(&data)) {
      End();
      return Answer(0x6982);
    }
  }
  Bytes m = {c.cla, c.ins, c.p1, c.p2, uint8_t(data.size() + 8)};
  m.insert(m.end(), data.begin(), data.end());
  DesKey k1(cmac_.data());
  Bytes icv(8);
  DesBlock(k1, lastCmac_.data(), icv.data(), true);
  const Bytes expect = RetailMac(cmac_, icv, m);
  if (!Equal(expect, mac.data())) {
    End();
    return Answer(0x6982);
  }
  lastCmac_ = expect;
  Cmd p = c;
  p.cla = uint8_t(c.cla & ~0x04);
  p.data = data;
  rmacCommand_ = {p.cla, p.ins, p.p1, p.p2, uint8_t(data.size())};
  rmacCommand_.insert(rmacCommand_.end(), data.begin(), data.end());
  Incoming in;
  in.kind = Incoming::kUnwrapped;
  in.plain = Build(p);
  return in;
}

// ---------------------------------------------------------------- ISO/IEC 7816-4

Channel::Incoming Channel::SetKeyAgreement(const Bytes& apdu) {
  Cmd c;
  End();
  if (!Parse(apdu, &c)) return Answer(0x6700);
  std::vector<Tlv> v;
  if (!ParseTlvs(c.data.data(), c.data.size(), &v)) return Answer(0x6A80);
  const Tlv* ref = FindTlv(v, 0x83);
  if (ref == nullptr || ref->len != 1) return Answer(0x6A80);
  for (const DhKey& k : dhKeys)
    if (k.ref == ref->value[0]) {
      dh_ = &k;
      state_ = kIsoAgreeing;
      return Answer(0x9000);
    }
  return Answer(0x6A88);
}

Channel::Incoming Channel::GeneralAuthenticate(const Bytes& apdu) {
  Cmd c;
  if (state_ != kIsoAgreeing || dh_ == nullptr || !Parse(apdu, &c) || c.p1 || c.p2) {
    End();
    return Answer(0x6985);
  }
  const DhKey* key = dh_;
  std::vector<Tlv> outer, inner;
  if (!ParseTlvs(c.data.data(), c.data.size(), &outer) || outer.size() != 1 || outer[0].tag != 0x7C ||
      !ParseTlvs(outer[0].value, outer[0].len, &inner)) {
    End();
    return Answer(0x6A80);
  }
  const Tlv* y = FindTlv(inner, 0x85);
  if (y == nullptr || y->len == 0 || y->len > key->p.size()) {
    End();
    return Answer(0x6A80);
  }
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *p = Bn(key->p), *g = Bn(key->g), *x = Bn(key->x), *peer = BN_bin2bn(y->value, int(y->len), nullptr);
  BIGNUM *pm1 = BN_dup(p), *z = BN_new(), *own = BN_new(), *t = BN_new();
  BN_sub_word(pm1, 1);
  bool ok = BN_cmp(peer, BN_value_one()) > 0 && BN_cmp(peer, pm1) < 0;
  if (ok && !key->q.empty()) {
    BIGNUM* q = Bn(key->q);
    ok = BN_mod_exp(t, peer, q, p, ctx) && BN_is_one(t);
    BN_free(q);
  }
  ok = ok && BN_mod_exp(z, peer, x, p, ctx) && BN_mod_exp(own, g, x, p, ctx);
  Bytes secret, ownBytes;
  if (ok) {
    secret = Fixed(z, key->p.size());
    ownBytes = Fixed(own, key->p.size());
  }
  BN_clear_free(x);
  BN_clear_free(z);
  for (BIGNUM* b : {p, g, peer, pm1, own, t}) BN_free(b);
  BN_CTX_free(ctx);
  End();
  if (!ok) return Answer(0x6A80);
  kenc_ = Kdf(secret, 1);
  kmac_ = Kdf(secret, 2);
  OPENSSL_cleanse(secret.data(), secret.size());
  ssc_.assign(8, 0);
  state_ = kIsoOpen;
  isoSession_ = true;
  keyRef_ = key->ref;
  Bytes in85, out;
  PutTlv(&in85, 0x85, ownBytes);
  PutTlv(&out, 0x7C, in85);
  return Answer(0x9000, out);
}

bool Channel::NextSsc() {
  for (size_t i = ssc_.size(); i-- > 0;)
    if (++ssc_[i] != 0) return true;
  return false;  // wrapped: the session is used up
}

Channel::Incoming Channel::UnwrapIso(const Bytes& apdu) {
  Cmd c;
  if (!Parse(apdu, &c) || !NextSsc()) {
    End();
    return Answer(0x6988);
  }
  std::vector<Tlv> v;
  if (!ParseTlvs(c.data.data(), c.data.size(), &v) || v.empty() || v.back().tag != 0x8E || v.back().len != 8) {
    End();
    return Answer(0x6987);
  }
  const Tlv* crypto = nullptr;
  const Tlv* le = nullptr;
  for (size_t i = 0; i + 1 < v.size(); ++i) {
    if ((v[i].tag == 0x87 || v[i].tag == 0x85) && crypto == nullptr && le == nullptr) crypto = &v[i];
    else if (v[i].tag == 0x97 && le == nullptr) le = &v[i];
    else {
      End();
      return Answer(0x6988);
    }
  }
  Bytes m = {c.cla, c.ins, c.p1, c.p2};
  Pad(&m);
  const size_t macStart = size_t(v.back().value - 2 - c.data.data());
  m.insert(m.end(), c.data.begin(), c.data.begin() + long(macStart));
  Bytes n = ssc_;
  n.insert(n.end(), m.begin(), m.end());
  if (!Equal(RetailMac(kmac_, Bytes(), n), v.back().value)) {
    End();
    return Answer(0x6988);
  }
  Cmd p;
  p.cla = uint8_t(c.cla & ~0x0C);
  p.ins = c.ins;
  p.p1 = c.p1;
  p.p2 = c.p2;
  if (crypto != nullptr) {
    const uint8_t* e = crypto->value;
    size_t el = crypto->len;
    if (crypto->tag == 0x87) {
      if (el < 1 || e[0] != 0x01) {
        End();
        return Answer(0x6988);
      }
      ++e;
      --el;
    }
    Bytes d(e, e + el);
    if (d.empty() || d.size() % 8) {
      End();
      return Answer(0x6988);
    }
    d = Tdes(kenc_, d, false);
    if (!Unpad(&d)) {
      End();
      return Answer(0x6988);
    }
    p.data = d;
  }
  if (le != nullptr) {
    if (le->len == 1) p.le = le->value[0] ? le->value[0] : 256;
    else if (le->len == 2) p.le = (size_t(le->value[0]) << 8 | le->value[1]) ? (size_t(le->value[0]) << 8 | le->value[1]) : 65536;
    else {
      End();
      return Answer(0x6988);
    }
    p.hasLe = true;
  }
  Incoming in;
  in.kind = Incoming::kUnwrapped;
  in.plain = Build(p);
  return in;
}

void Channel::Protect(Bytes* data, uint16_t* sw) {
  if (state_ == kGpOpen) {
    if (level_ & 0x10) {
      Bytes m = rmacCommand_;
      if (data->size() > 0xFF) m.push_back(uint8_t(data->size() >> 8));
      m.push_back(uint8_t(data->size()));
      m.insert(m.end(), data->begin(), data->end());
      m.push_back(uint8_t(*sw >> 8));
      m.push_back(uint8_t(*sw));
      lastRmac_ = RetailMac(rmac_, lastRmac_, m);
      data->insert(data->end(), lastRmac_.begin(), lastRmac_.end());
    }
    return;
  }
  if (state_ != kIsoOpen) return;
  if (!NextSsc()) {
    End();
    data->clear();
    *sw = 0x6988;
    return;
  }
  Bytes objects;
  if (!data->empty()) {
    Bytes d = *data;
    Pad(&d);
    Bytes e = {0x01};
    const Bytes c = Tdes(kenc_, d, true);
    e.insert(e.end(), c.begin(), c.end());
    PutTlv(&objects, 0x87, e);
  }
  const uint8_t s[2] = {uint8_t(*sw >> 8), uint8_t(*sw)};
  PutTlv(&objects, 0x99, s, 2);
  Bytes n = ssc_;
  n.insert(n.end(), objects.begin(), objects.end());
  const Bytes mac = RetailMac(kmac_, Bytes(), n);
  PutTlv(&objects, 0x8E, mac);
  OPENSSL_cleanse(data->data(), data->size());
  *data = objects;
}

}  // namespace cardsim
