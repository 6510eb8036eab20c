// Random PIN and PUK texts: octets from the card when it can give them, else
// from a software generator, turned into characters of an alphabet by repeated
// division of one big number by the alphabet size.
#ifndef MIRTAL_PKCS11IMPL_RANDOMTEXT_H
#define MIRTAL_PKCS11IMPL_RANDOMTEXT_H

#include <cstddef>
#include <cstdint>
#include <functional>

#include "pkcs11impl/cryptoki.h"
#include "smartcard/sc_errors.h"

// Octets drawn per step at most.
constexpr uint32_t RANDOM_TEXT_MAX_DRAW = 128;

// An alphabet as characters: single bytes, or (valid UTF-8 holding at least
// one multibyte character) 16-bit units. The units are wiped on destruction.
class RandomAlphabet {
 public:
  RandomAlphabet() = default;
  ~RandomAlphabet();
  RandomAlphabet(const RandomAlphabet&) = delete;
  RandomAlphabet& operator=(const RandomAlphabet&) = delete;
  // `word` is a profile alphabet word or the characters themselves. False when
  // the 16-bit copy cannot be allocated.
  bool Set(const char* word);
  size_t Count() const { return m_count; }
  bool IsMultibyte() const { return m_units != nullptr; }
  // At least two characters, not all equal.
  bool IsUsable() const;
  // The character at `index` in UTF-8 (1 to 3 octets) into out[3]; octets written.
  size_t Encode(size_t index, uint8_t out[3]) const;

 private:
  void Release();
  const char* m_bytes = nullptr;  // borrowed: the word or a fixed alphabet
  uint16_t* m_units = nullptr;    // owned, multibyte alphabets only
  size_t m_count = 0;
};

// Bits needed to number n characters: floor(log2 n), plus one unless n is a power of two.
unsigned RandomTextBitsPerChar(size_t n);

// Draws `count` octets. `produced` is the number of characters produced so far
// in the call (part of the software generator's seed).
using RandomOctetDraw = std::function<SCRESULT(uint8_t* out, uint32_t count)>;

// The software generator: AES output feedback seeded from 32 octets of the
// system's random device, the time of day, the time in seconds and `produced`.
// CKR_FUNCTION_FAILED when the random device cannot be read (never seeded from
// the clock alone) or the generator fails.
CK_RV SoftwareRandomOctets(uint8_t* out, uint32_t count, uint64_t produced);

// The generation itself. `cardDraw` may be empty (no card); a card answer of
// SC_E_UNSUPPORTED_FEATURE switches the rest of the call to the software
// generator, another failure is returned mapped to a CK_RV. Writes exactly
// `chars` characters (no terminating zero); *length in: buffer bytes, out:
// bytes written, or bytes needed with CKR_BUFFER_TOO_SMALL.
CK_RV GenerateRandomTextFrom(const RandomOctetDraw& cardDraw, uint8_t* out, CK_ULONG* length, CK_ULONG chars,
                             const char* alphabetWord);

#endif
