// Small BER-TLV helpers for the card engine (tags up to 3 bytes, definite
// lengths up to 3 length octets). Bounds are always checked against the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cardsim {

struct Tlv {
  uint32_t tag = 0;
  const uint8_t* value = nullptr;
  size_t len = 0;
};

// Splits a buffer into consecutive TLVs; false when the buffer is malformed.
// Padding bytes 00 and FF between objects are skipped.
inline bool ParseTlvs(const uint8_t* p, size_t n, std::vector<Tlv>* out) {
  size_t i = 0;
  while (i < n) {
    if (p[i] == 0x00 || p[i] == 0xFF) {
      ++i;
      continue;
    }
    Tlv t;
    uint32_t tag = p[i++];
    if ((tag & 0x1F) == 0x1F) {
      int more = 0;
      do {
        if (i >= n || ++more > 2) return false;
        tag = (tag << 8) | p[i];
      } while (p[i++] & 0x80);
    }
    if (i >= n) return false;
    size_t len = p[i++];
    if (len & 0x80) {
      size_t k = len & 0x7F;
      if (k == 0 || k > 3 || n - i < k) return false;
      len = 0;
      while (k--) len = (len << 8) | p[i++];
    }
    if (len > n - i) return false;
    t.tag = tag;
    t.value = p + i;
    t.len = len;
    out->push_back(t);
    i += len;
  }
  return true;
}

inline const Tlv* FindTlv(const std::vector<Tlv>& v, uint32_t tag) {
  for (const Tlv& t : v)
    if (t.tag == tag) return &t;
  return nullptr;
}

inline void PutTag(std::vector<uint8_t>* out, uint32_t tag) {
  if (tag > 0xFFFF) out->push_back(uint8_t(tag >> 16));
  if (tag > 0xFF) out->push_back(uint8_t(tag >> 8));
  out->push_back(uint8_t(tag));
}

inline void PutLen(std::vector<uint8_t>* out, size_t len) {
  if (len < 0x80) {
    out->push_back(uint8_t(len));
  } else if (len < 0x100) {
    out->push_back(0x81);
    out->push_back(uint8_t(len));
  } else {
    out->push_back(0x82);
    out->push_back(uint8_t(len >> 8));
    out->push_back(uint8_t(len));
  }
}

inline void PutTlv(std::vector<uint8_t>* out, uint32_t tag, const uint8_t* v, size_t n) {
  PutTag(out, tag);
  PutLen(out, n);
  out->insert(out->end(), v, v + n);
}

inline void PutTlv(std::vector<uint8_t>* out, uint32_t tag, const std::vector<uint8_t>& v) {
  PutTlv(out, tag, v.data(), v.size());
}

}  // namespace cardsim
