// Polish messages for PKCS#11 return values and the last-error text that the
// module keeps for GetLastErrorString. Texts are kept in UTF-8; what a caller
// receives through the API is converted to Windows-1250 (CP1250) there.
#ifndef MIRTAL_PKCS11IMPL_P11MESSAGES_H
#define MIRTAL_PKCS11IMPL_P11MESSAGES_H

#include <string>

#include "pkcs11impl/cryptoki.h"

// The message of a return value in UTF-8, or "Nieznany kod błędu".
const char* CkrMessageTable(CK_RV rv);

// UTF-8 text converted for a caller (CP1250; characters the code page lacks
// become '?'; bytes that are not valid UTF-8 are passed unchanged).
std::string ToCallerText(const char* utf8);

// The last-error text of the application (one per application object).
class LastErrorText {
 public:
  LastErrorText() = default;
  ~LastErrorText();
  LastErrorText(const LastErrorText&) = delete;
  LastErrorText& operator=(const LastErrorText&) = delete;

  // Keeps a copy of text (UTF-8); null or empty leaves no text. False, with
  // the old text kept, when the copy cannot be allocated.
  bool Set(const char* text);
  // Formats and keeps the text (printf rules).
  bool SetFormatted(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void Clear();
  // The kept text in UTF-8 (for the trace), "" when none.
  const char* Get() const;
  // The kept text as a caller receives it (CP1250), "" when none.
  const char* GetForCaller() const;

 private:
  char* text_ = nullptr;
  char* callerText_ = nullptr;
};

// Hands the caller's text out as GetLastErrorString does: with a length pointer
// and a buffer, copies the text when it is shorter than *pLen (returns 1),
// otherwise copies *pLen bytes ending in a zero (returns 0); *pLen becomes the
// text's length plus one. With a length pointer only: sets *pLen, returns 1.
// Without a length pointer: returns 0.
int CopyLastErrorForCaller(const char* callerText, char* buf, unsigned long* pLen);

#endif
