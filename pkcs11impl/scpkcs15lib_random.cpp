// Random PIN and PUK texts for card initialisation.
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvnumbers/qvn.h"
#include "libtorvapp/qvrbgofb.h"
#include "pkcs11impl/randomtext.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "support/textutil.h"

namespace {

// Block cipher identifier of AES in the cipher factory.
constexpr unsigned kCipherAes = 1;

// Decodes UTF-8 into 16-bit units. False for text that is not valid UTF-8 or
// holds a character beyond 16 bits; *multibyte tells whether any character
// took more than one octet. `units` may be null (count only).
bool DecodeUtf16(const char* text, uint16_t* units, size_t* count, bool* multibyte) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  *multibyte = false;
  while (*p) {
    uint32_t cp = 0;
    int extra = 0;
    if (*p < 0x80) {
      cp = *p;
    } else if ((*p & 0xE0) == 0xC0) {
      cp = *p & 0x1F;
      extra = 1;
    } else if ((*p & 0xF0) == 0xE0) {
      cp = *p & 0x0F;
      extra = 2;
    } else {
      return false;  // four-octet forms do not fit 16 bits; stray continuation octets
    }
    ++p;
    for (int i = 0; i < extra; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3F);
    }
    // Overlong forms and surrogates are not valid UTF-8.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)))) return false;
    if (extra) *multibyte = true;
    if (units) units[n] = static_cast<uint16_t>(cp);
    ++n;
  }
  *count = n;
  return true;
}

}  // namespace

RandomAlphabet::~RandomAlphabet() { Release(); }

void RandomAlphabet::Release() {
  if (m_units != nullptr) {
    SecureZero(m_units, m_count * sizeof(uint16_t));
    delete[] m_units;
    m_units = nullptr;
  }
  m_bytes = nullptr;
  m_count = 0;
}

bool RandomAlphabet::Set(const char* word) {
  Release();
  const char* text = GetPinAlphabet(word);
  size_t n = 0;
  bool multibyte = false;
  if (DecodeUtf16(text, nullptr, &n, &multibyte) && multibyte) {
    m_units = new (std::nothrow) uint16_t[n];
    if (m_units == nullptr) return false;
    DecodeUtf16(text, m_units, &n, &multibyte);
    m_count = n;
    return true;
  }
  m_bytes = text;
  m_count = std::strlen(text);
  return true;
}

bool RandomAlphabet::IsUsable() const {
  if (m_count < 2) return false;
  for (size_t i = 1; i < m_count; ++i) {
    if (m_units ? m_units[i] != m_units[0] : m_bytes[i] != m_bytes[0]) return true;
  }
  return false;
}

size_t RandomAlphabet::Encode(size_t index, uint8_t out[3]) const {
  if (m_units == nullptr) {
    out[0] = static_cast<uint8_t>(m_bytes[index]);
    return 1;
  }
  const uint16_t u = m_units[index];
  if (u < 0x80) {
    out[0] = static_cast<uint8_t>(u);
    return 1;
  }
  if (u < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (u >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
    return 2;
  }
  out[0] = static_cast<uint8_t>(0xE0 | (u >> 12));
  out[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
  out[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
  return 3;
}

unsigned RandomTextBitsPerChar(size_t n) {
  if (n < 2) return 0;
  unsigned bits = 0;
  while ((static_cast<size_t>(1) << (bits + 1)) <= n) ++bits;
  if ((n & (n - 1)) != 0) ++bits;
  return bits;
}

namespace {
// Reads all of `count` octets from the system's random device; false otherwise.
bool ReadRandomDevice(uint8_t* out, size_t count) {
  for (const char* path : {"/dev/urandom", "/dev/random"}) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) continue;
    const size_t got = std::fread(out, 1, count, f);
    std::fclose(f);
    if (got == count) return true;
  }
  return false;
}

void PutBigEndian64(uint8_t* out, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}
}  // namespace

CK_RV SoftwareRandomOctets(uint8_t* out, uint32_t count, uint64_t produced) {
  if (count == 0) return CKR_OK;
  if (out == nullptr) return CKR_ARGUMENTS_BAD;
  uint8_t device[32];
  uint8_t seed[256];
  CK_RV rv = CKR_OK;
  if (!ReadRandomDevice(device, sizeof device)) {
    // Without the device the seed would hold the clock alone: refuse.
    SecureZero(device, sizeof device);
    return CKR_FUNCTION_FAILED;
  }
  try {
    std::unique_ptr<QvRbgOfb> rbg(new QvRbgOfb());
    rbg->setCipher(kCipherAes);
    unsigned seedLen = rbg->getMaxSeedOctets();
    if (seedLen > sizeof seed) seedLen = sizeof seed;
    std::memset(seed, 0, sizeof seed);
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    const uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    // Clock and counter first, then the device octets (the clock is never the
    // only source: without the device nothing is generated).
    uint8_t material[24 + sizeof device];
    PutBigEndian64(material, ms);
    PutBigEndian64(material + 8, static_cast<uint64_t>(std::time(nullptr)));
    PutBigEndian64(material + 16, produced);
    std::memcpy(material + 24, device, sizeof device);
    std::memcpy(seed, material, seedLen < sizeof material ? seedLen : sizeof material);
    SecureZero(material, sizeof material);
    rbg->init(seed, seedLen);
    rbg->fillOctets(out, count);
  } catch (const QvException&) {
    rv = CKR_FUNCTION_FAILED;
  } catch (const std::bad_alloc&) {
    rv = CKR_HOST_MEMORY;
  }
  SecureZero(seed, sizeof seed);
  SecureZero(device, sizeof device);
  return rv;
}

CK_RV GenerateRandomTextFrom(const RandomOctetDraw& cardDraw, uint8_t* out, CK_ULONG* length, CK_ULONG chars,
                             const char* alphabetWord) {
  if (length == nullptr) return CKR_ARGUMENTS_BAD;
  RandomAlphabet alphabet;
  if (!alphabet.Set(alphabetWord)) return CKR_HOST_MEMORY;
  const size_t n = alphabet.Count();
  if (n < 2 || *length < chars || (out == nullptr && chars != 0)) return CKR_ARGUMENTS_BAD;
  const unsigned bits = RandomTextBitsPerChar(n);
  const bool multibyte = alphabet.IsMultibyte();
  const CK_ULONG capacity = *length;
  CK_ULONG written = 0;  // bytes written, or needed once the buffer is full
  CK_ULONG produced = 0;
  bool useCard = static_cast<bool>(cardDraw);
  uint8_t octets[1 + RANDOM_TEXT_MAX_DRAW];
  CK_RV rv = CKR_OK;
  try {
    while (produced < chars) {
      const uint64_t missing = chars - produced;
      uint64_t want = (static_cast<uint64_t>(bits) * missing + 7) / 8;
      if (want > RANDOM_TEXT_MAX_DRAW) want = RANDOM_TEXT_MAX_DRAW;
      const uint32_t count = static_cast<uint32_t>(want);
      octets[0] = 0x01;
      if (useCard) {
        const SCRESULT sr = cardDraw(octets + 1, count);
        if (sr == SC_E_UNSUPPORTED_FEATURE) {
          useCard = false;
        } else if (sr < 0) {
          rv = MapScErrorToCkr(sr, false);
          break;
        }
      }
      if (!useCard) {
        rv = SoftwareRandomOctets(octets + 1, count, produced);
        if (rv != CKR_OK) break;
      }
      QvN big(octets, count + 1, 0);
      CK_ULONG thisDraw = 0;
      while (produced + thisDraw < chars && !big.isZero()) {
        const QvN rem = big % static_cast<QvWord>(n);
        const size_t index = rem.getLowestWord();
        big /= static_cast<QvWord>(n);
        uint8_t enc[3];
        const size_t encLen = alphabet.Encode(index, enc);
        if (!multibyte) {
          if (written < capacity) out[written] = enc[0];
          ++written;
        } else {
          if (written + encLen <= capacity) std::memcpy(out + written, enc, encLen);
          written += encLen;
        }
        SecureZero(enc, sizeof enc);
        ++thisDraw;
      }
      produced += thisDraw;
    }
  } catch (const QvException&) {
    rv = CKR_FUNCTION_FAILED;
  } catch (const std::bad_alloc&) {
    rv = CKR_HOST_MEMORY;
  }
  SecureZero(octets, sizeof octets);
  if (rv != CKR_OK) {
    // Nothing half-made is handed out.
    if (out != nullptr) SecureZero(out, written < capacity ? written : capacity);
    *length = 0;
    return rv;
  }
  *length = written;
  if (written > capacity) {
    SecureZero(out, capacity);
    return CKR_BUFFER_TOO_SMALL;
  }
  return CKR_OK;
}

CK_RV SCPkcs15Lib::GenerateRandomText(uint32_t reader, uint8_t* out, CK_ULONG* length, CK_ULONG chars,
                                      const char* alphabetWord) {
  if (length == nullptr) return CKR_ARGUMENTS_BAD;
  {
    RandomAlphabet probe;
    if (!probe.Set(alphabetWord)) return CKR_HOST_MEMORY;
    if (probe.Count() == 1 || *length < chars) return CKR_ARGUMENTS_BAD;
  }
  if (reader >= m_readerCount) return CKR_ARGUMENTS_BAD;
  SCReader* rd = GetReader(reader);
  SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  const RandomOctetDraw draw = [card](uint8_t* dst, uint32_t count) { return card->GetRandom(dst, count); };
  return GenerateRandomTextFrom(draw, out, length, chars, alphabetWord);
}
