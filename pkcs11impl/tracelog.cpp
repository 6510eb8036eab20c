// Trace lines and argument texts of the PKCS#11 interface.
#include "pkcs11impl/tracelog.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11names.h"
#include "support/debuglog.h"
#include "support/vtest.h"

namespace {

constexpr CK_ULONG kAllOnes = ~0UL;
constexpr size_t kLocalFormatSize = 512;
constexpr size_t kLocalNameSize = 255;

std::atomic<const TraceLogger*> g_assertLogger{nullptr};

void AssertHook(const char* message) {
  TraceLog(g_assertLogger.load(), "ASSERTION FAILED", TRACE_ERROR, CKR_GENERAL_ERROR, "%s", message);
}

char* NewText(const std::string& s) {
  char* p = new (std::nothrow) char[s.size() + 1];
  if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string Fmt(const char* fmt, unsigned long v) {
  char tmp[48];
  std::snprintf(tmp, sizeof tmp, fmt, v);
  return tmp;
}

size_t CountPercent(const char* s) {
  size_t n = 0;
  for (; *s; ++s)
    if (*s == '%') ++n;
  return n;
}

// Appends text with every '%' doubled.
char* AppendEscaped(char* out, const char* text) {
  for (; *text; ++text) {
    *out++ = *text;
    if (*text == '%') *out++ = '%';
  }
  return out;
}

char* AppendPlain(char* out, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

}  // namespace

const char* TraceLevelTag(unsigned level) {
  switch (level) {
    case TRACE_ERROR: return "[error]    ";
    case TRACE_STARTING: return "[starting] ";
    case TRACE_INSIDE: return "[inside]   ";
    case TRACE_COMPLETE: return "[complete] ";
    case TRACE_WARNING: return "[warning]  ";
    case TRACE_INFO: return "[info]     ";
    default: return "";
  }
}

int TraceWriterLevel(unsigned level) { return level == TRACE_ERROR ? 1 : 100; }

// ---- logger ----

TraceLogger::TraceLogger(const char* prefix) { SetPrefix(prefix); }

TraceLogger::~TraceLogger() {
  RemoveAssertHook();
  delete[] prefix_;
}

bool TraceLogger::SetPrefix(const char* prefix) {
  char* copy = nullptr;
  if (prefix != nullptr) {
    copy = TraceStrDup(prefix);
    if (copy == nullptr) return false;
  }
  delete[] prefix_;
  prefix_ = copy;
  return true;
}

void TraceLogger::InstallAssertHook() {
  g_assertLogger.store(this);
  SetAssertTraceHook(&AssertHook);
}

void TraceLogger::RemoveAssertHook() {
  const TraceLogger* self = this;
  if (g_assertLogger.compare_exchange_strong(self, nullptr)) {
    if (GetAssertTraceHook() == &AssertHook) SetAssertTraceHook(nullptr);
  }
}

// ---- lines ----

void TraceWriteLine(const char* prefix, const char* function, unsigned level, CK_RV rv, const char* format,
                    va_list args) {
  if (prefix == nullptr) prefix = "";
  if (function == nullptr) function = "";
  const char* tag = TraceLevelTag(level);
  const int writerLevel = TraceWriterLevel(level);
  char rvBuf[128];
  const char* rvName = GetReturnValueName(rv, rvBuf, sizeof rvBuf);

  if (format == nullptr || std::strchr(format, '%') == nullptr) {
    const char* text = format ? format : "";
    DebugLogWrite(writerLevel, 0, "%s%s() %s<%s>%s%s", prefix, function, tag, rvName, *text ? " " : "", text);
    return;
  }

  // The caller's format follows the fixed part of the line; every '%' of the
  // fixed part is doubled so that it prints as itself.
  const size_t size = std::strlen(format) + std::strlen(rvName) + 9 + std::strlen(prefix) + CountPercent(prefix) +
                      std::strlen(tag) + std::strlen(function) + CountPercent(function);
  char local[kLocalFormatSize];
  char* composed = local;
  if (size > kLocalFormatSize) {
    composed = new (std::nothrow) char[size];
    if (composed == nullptr) {
      DebugLogWrite(writerLevel, 0, "%s() %s<%s> Allocation error for format string: (description below)", function,
                    tag, rvName);
      DebugLogWriteV(writerLevel, 0, format, args);
      return;
    }
  }
  char* p = composed;
  p = AppendEscaped(p, prefix);
  p = AppendEscaped(p, function);
  p = AppendPlain(p, "() ");
  p = AppendPlain(p, tag);
  p = AppendPlain(p, "<");
  p = AppendPlain(p, rvName);
  p = AppendPlain(p, "> ");
  p = AppendPlain(p, format);
  *p = '\0';
  DebugLogWriteV(writerLevel, 0, composed, args);
  if (composed != local) delete[] composed;
}

void TraceLogV(const TraceLogger* logger, const char* function, unsigned level, CK_RV rv, const char* format,
               va_list args) {
  if (logger == nullptr || !logger->IsEnabled()) return;
  TraceWriteLine(logger->GetPrefix(), function, level, rv, format, args);
}

void TraceLog(const TraceLogger* logger, const char* function, unsigned level, CK_RV rv, const char* format, ...) {
  if (logger == nullptr || !logger->IsEnabled()) return;
  va_list ap;
  va_start(ap, format);
  TraceWriteLine(logger->GetPrefix(), function, level, rv, format, ap);
  va_end(ap);
}

void TraceResult(const TraceLogger* logger, const char* function, CK_RV rv, const char* format, ...) {
  if (logger == nullptr || !logger->IsEnabled()) return;
  va_list ap;
  va_start(ap, format);
  TraceWriteLine(logger->GetPrefix(), function, rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv, format, ap);
  va_end(ap);
}

void TraceLogQualifiedV(const TraceLogger* logger, const char* className, const char* function, unsigned level,
                        CK_RV rv, const char* format, va_list args) {
  if (logger == nullptr || !logger->IsEnabled()) return;
  if ((logger->GetFlags() & TRACE_FLAG_QUALIFY_NAMES) == 0 || className == nullptr || *className == '\0') {
    TraceWriteLine(logger->GetPrefix(), function, level, rv, format, args);
    return;
  }
  if (function == nullptr) function = "";
  const size_t len = std::strlen(className) + std::strlen(function) + 3;  // "[", "]:"
  char local[kLocalNameSize];
  char* name = local;
  if (len + 4 > kLocalNameSize) {
    name = new (std::nothrow) char[len + 1];
    if (name == nullptr) {
      TraceWriteLine(logger->GetPrefix(), function, level, rv, format, args);
      return;
    }
  }
  std::snprintf(name, len + 1, "[%s]:%s", className, function);
  TraceWriteLine(logger->GetPrefix(), name, level, rv, format, args);
  if (name != local) delete[] name;
}

void TraceLogQualified(const TraceLogger* logger, const char* className, const char* function, unsigned level,
                       CK_RV rv, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  TraceLogQualifiedV(logger, className, function, level, rv, format, ap);
  va_end(ap);
}

void TraceTemplate(const TraceLogger* logger, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool force, bool withValues) {
  if (!force && (logger == nullptr || !logger->IsEnabled())) return;
  char* text = FormatTemplateText(tmpl, count, withValues, "\n");
  if (text == nullptr) return;  // out of memory: the dump is left out
  DebugLogWriteText(100, 0, text);
  delete[] text;
}

// ---- argument formatters ----

char* TraceStrDup(const char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text);
  char* p = new (std::nothrow) char[n + 1];
  if (p != nullptr) std::memcpy(p, text, n + 1);
  return p;
}

char* FormatHexBytes(const void* bytes, CK_ULONG length) {
  try {
    if (bytes == nullptr) return NewText("<null>");
    if (length == 0 || length == kAllOnes) return NewText("");
    return NewText(HexText(bytes, length));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* FormatUlongList(const CK_ULONG* values, const CK_ULONG* count, bool hex, bool filled, bool withLength) {
  try {
    std::string s;
    if (values != nullptr && count != nullptr) {
      if (filled) {
        if (withLength) s = Fmt("<len: %ld>: ", *count);
        for (CK_ULONG i = 0; i < *count; ++i) {
          if (i) s += ", ";
          s += Fmt(hex ? "%08lX" : "%lu", values[i]);
        }
      } else {
        s = Fmt("<max: %ld>", *count);
      }
    } else if (values != nullptr) {
      char tmp[64];
      std::snprintf(tmp, sizeof tmp, "<len: null>!!!: buffer: %p", static_cast<const void*>(values));
      s = tmp;
    } else if (!withLength) {
      s = filled ? "<null>" : "";
    } else {
      s = count ? Fmt("<len: %ld>", *count) : std::string("<len: null>");
      if (filled) s += ": <null>";
    }
    return NewText(s);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* FormatUlongListN(const CK_ULONG* values, CK_ULONG count, bool hex, bool filled, bool withLength) {
  return FormatUlongList(values, &count, hex, filled, withLength);
}

char* FormatUlongArray(const CK_ULONG* values, CK_ULONG count) {
  try {
    if (count == 0) return NewText("<empty>");
    if (values == nullptr) return NewText("<null>");
    std::string s;
    for (CK_ULONG i = 0; i < count; ++i) {
      if (i) s += " ";
      s += Fmt(values[i] < 0x10000 ? "%lu" : "0x%08lX", values[i]);
    }
    return NewText(s);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* FormatMechanismNames(const CK_MECHANISM_TYPE* types, CK_ULONG count) {
  try {
    if (types == nullptr) return NewText("<null>");
    if (count == 0) return nullptr;
    std::string s;
    char buf[101];
    for (CK_ULONG i = 0; i < count; ++i) {
      if (i) s += ", ";
      s += GetMechanismName(types[i], buf, sizeof buf);
    }
    return NewText(s);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* FormatMechanismText(const CK_MECHANISM* mechanism, const char* separator) {
  try {
    if (mechanism == nullptr) return NewText("<null>");
    return NewText(MechanismText(mechanism, separator ? separator : "\n"));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

char* FormatTemplateText(const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool withValues, const char* separator) {
  try {
    int needed = FormatTemplate(0, tmpl, count, nullptr, 0, withValues, separator);
    char* out = new (std::nothrow) char[static_cast<size_t>(needed)];
    if (out == nullptr) return nullptr;
    if (FormatTemplate(0, tmpl, count, out, needed, withValues, separator) > needed) out[0] = '\0';
    return out;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void TraceFreeString(char** holder) {
  if (holder == nullptr) return;
  delete[] *holder;
  *holder = nullptr;
}

void TraceFreeStrings(int n, char** const* holders) {
  if (holders == nullptr) return;
  for (int i = 0; i < n && holders[i] != nullptr; ++i) TraceFreeString(holders[i]);
}

void TraceFreeStringArray(int n, char** texts) {
  if (texts == nullptr) return;
  for (int i = 0; i < n; ++i) {
    delete[] texts[i];
    texts[i] = nullptr;
  }
}
