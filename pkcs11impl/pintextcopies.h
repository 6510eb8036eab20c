// Copies of the PIN texts that token operations hand to the card layer, each
// with a NUL after it, wiped when the copies go, on every path.
#ifndef MIRTAL_PKCS11IMPL_PINTEXTCOPIES_H
#define MIRTAL_PKCS11IMPL_PINTEXTCOPIES_H

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "support/textutil.h"

class PinTextCopies {
 public:
  // The longest PIN text the card layer takes.
  static constexpr CK_ULONG kMaxPinText = 255;
  // A length above this is no PIN text at all, but a wrong argument.
  static constexpr CK_ULONG kMaxPinArgument = 4096;

  // The answer to a PIN argument whose length no card takes, given before the
  // text is copied or anything is sent: CKR_ARGUMENTS_BAD for a length that is
  // no PIN at all, else `tooLong`; CKR_OK for a null text or a length the card
  // layer takes.
  static CK_RV CheckLength(const CK_UTF8CHAR* text, CK_ULONG len, CK_RV tooLong = CKR_PIN_LEN_RANGE) {
    if (text == nullptr || len <= kMaxPinText) return CKR_OK;
    return len > kMaxPinArgument ? CKR_ARGUMENTS_BAD : tooLong;
  }

  PinTextCopies() = default;
  ~PinTextCopies() {
    for (Copy& c : m_copies)
      if (c.text) SecureZero(c.text.get(), c.size);
  }
  PinTextCopies(const PinTextCopies&) = delete;
  PinTextCopies& operator=(const PinTextCopies&) = delete;

  // A null text stays null. A text is never cut: one longer than the card layer
  // takes is CKR_PIN_LEN_RANGE, one holding a NUL (which would end it early) CKR_PIN_INVALID.
  CK_RV Add(const CK_UTF8CHAR* text, CK_ULONG len, const char** out) {
    *out = nullptr;
    if (text == nullptr) return CKR_OK;
    if (len > kMaxPinText) return CKR_PIN_LEN_RANGE;
    if (std::memchr(text, 0, len) != nullptr) return CKR_PIN_INVALID;
    Copy c;
    c.size = len + 1;
    c.text.reset(new (std::nothrow) char[c.size]);
    if (!c.text) return CKR_HOST_MEMORY;
    if (len) std::memcpy(c.text.get(), text, len);
    c.text[len] = '\0';
    *out = c.text.get();
    try {
      m_copies.push_back(std::move(c));
    } catch (const std::bad_alloc&) {
      SecureZero(c.text.get(), c.size);
      *out = nullptr;
      return CKR_HOST_MEMORY;
    }
    return CKR_OK;
  }

 private:
  struct Copy {
    std::unique_ptr<char[]> text;
    size_t size = 0;
  };
  std::vector<Copy> m_copies;
};

#endif
