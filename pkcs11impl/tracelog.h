// The trace log of the PKCS#11 interface: the logger object, trace levels with
// their tags, the trace line, and the argument formatters that the exported
// functions use. Finished lines go to the log-file writer of support/.
#ifndef MIRTAL_PKCS11IMPL_TRACELOG_H
#define MIRTAL_PKCS11IMPL_TRACELOG_H

#include <cstdarg>
#include <cstdint>
#include <memory>

#include "pkcs11impl/cryptoki.h"

// Trace levels.
enum : unsigned {
  TRACE_ERROR = 0,     // "[error]    "
  TRACE_STARTING = 1,  // "[starting] "
  TRACE_INSIDE = 2,    // "[inside]   "
  TRACE_COMPLETE = 3,  // "[complete] "
  TRACE_WARNING = 4,   // "[warning]  "
  TRACE_INFO = 5,      // "[info]     "
};

// Flag word bits.
enum : uint32_t {
  TRACE_FLAG_ENABLED = 1,         // logging on
  TRACE_FLAG_QUALIFY_NAMES = 2,   // TraceLogQualified prefixes the class name
};

// The 11-character tag of a level ("" for a level without one).
const char* TraceLevelTag(unsigned level);
// The level handed to the log-file writer: 1 for errors, 100 otherwise.
int TraceWriterLevel(unsigned level);

// One per application object. Flags start at 0 (logging off).
class TraceLogger {
 public:
  explicit TraceLogger(const char* prefix = nullptr);
  ~TraceLogger();
  TraceLogger(const TraceLogger&) = delete;
  TraceLogger& operator=(const TraceLogger&) = delete;

  // Copies the prefix (none for null); false when the copy cannot be made.
  bool SetPrefix(const char* prefix);
  const char* GetPrefix() const { return prefix_ ? prefix_ : ""; }

  uint32_t GetFlags() const { return flags_; }
  void SetFlags(uint32_t flags) { flags_ = flags; }
  bool IsEnabled() const { return (flags_ & TRACE_FLAG_ENABLED) != 0; }
  void SetEnabled(bool on) { flags_ = on ? (flags_ | TRACE_FLAG_ENABLED) : (flags_ & ~uint32_t(TRACE_FLAG_ENABLED)); }

  // Makes failed invariants (support/vtest.h) write their "ASSERTION FAILED"
  // line through this logger. The destructor removes the hook it installed.
  void InstallAssertHook();
  void RemoveAssertHook();

 private:
  uint32_t flags_ = 0;
  char* prefix_ = nullptr;
};

// Writes one line when logging is on (a null logger writes nothing).
void TraceLog(const TraceLogger* logger, const char* function, unsigned level, CK_RV rv, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void TraceLogV(const TraceLogger* logger, const char* function, unsigned level, CK_RV rv, const char* format,
               va_list args) __attribute__((format(printf, 5, 0)));
// As TraceLog; with bit 1 set and a non-empty class name the function is
// written as "[class]:function".
void TraceLogQualified(const TraceLogger* logger, const char* className, const char* function, unsigned level,
                       CK_RV rv, const char* format, ...) __attribute__((format(printf, 6, 7)));
void TraceLogQualifiedV(const TraceLogger* logger, const char* className, const char* function, unsigned level,
                        CK_RV rv, const char* format, va_list args) __attribute__((format(printf, 6, 0)));
// The result line of an exported function: "[error]" carrying rv when it is
// not CKR_OK, else "[complete]" carrying CKR_OK; the text follows either way.
void TraceResult(const TraceLogger* logger, const char* function, CK_RV rv, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Builds and hands over one line, whatever the flags.
void TraceWriteLine(const char* prefix, const char* function, unsigned level, CK_RV rv, const char* format,
                    va_list args) __attribute__((format(printf, 5, 0)));
// Dumps a template as plain text (no prefix, no tag) when logging is on or force.
void TraceTemplate(const TraceLogger* logger, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool force,
                   bool withValues);

// ---- argument formatters ----
// Each returns a new[]-allocated text, or null when memory ran out. Release
// with TraceFreeString or delete[] (TraceString does it by itself).
using TraceString = std::unique_ptr<char[]>;

char* TraceStrDup(const char* text);
// Hex pairs separated by a blank; "<null>" without bytes; "" for a length of 0 or all ones.
char* FormatHexBytes(const void* bytes, CK_ULONG length);
// Slot lists, PIN lists, object handles (see the trace log's rules).
char* FormatUlongList(const CK_ULONG* values, const CK_ULONG* count, bool hex, bool filled, bool withLength);
char* FormatUlongListN(const CK_ULONG* values, CK_ULONG count, bool hex, bool filled, bool withLength);
// "%lu" below 0x10000, else "0x%08lX", separated by a blank; "<empty>" for none.
char* FormatUlongArray(const CK_ULONG* values, CK_ULONG count);
// Mechanism names separated by ", "; "<null>" without an array; null for count 0.
char* FormatMechanismNames(const CK_MECHANISM_TYPE* types, CK_ULONG count);
char* FormatMechanismText(const CK_MECHANISM* mechanism, const char* separator = "\n");
char* FormatTemplateText(const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool withValues, const char* separator);

void TraceFreeString(char** holder);
// Releases up to n holders, stopping at the first null holder.
void TraceFreeStrings(int n, char** const* holders);
void TraceFreeStringArray(int n, char** texts);

#endif
