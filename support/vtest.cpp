#include "support/vtest.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <vector>

const char* const VTEST_PRODUCT_LABEL = "MIRTAL PKCS#11";

namespace {
std::atomic<AssertTraceHook> g_traceHook{nullptr};

std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatText(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        vsnprintf(buf.data(), buf.size(), fmt, ap2);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}
}  // namespace

VtestException::~VtestException() = default;

AssertTraceHook SetAssertTraceHook(AssertTraceHook hook)
{
    return g_traceHook.exchange(hook);
}

AssertTraceHook GetAssertTraceHook()
{
    return g_traceHook.load();
}

void AssertInvariant(int condition, const char* sourcePath, unsigned line,
                     const char* expressionText, const char* extraText)
{
    if (condition)
        return;
    const char* src = sourcePath ? sourcePath : "";
    const char* expr = expressionText ? expressionText : "";
    const char* extra = extraText ? extraText : "";
    int ln = static_cast<int>(line);

    std::string message = FormatText("Błąd wewnętrzny biblioteki %s: %s(%d),naruszenie niezmiennika: %s\n%s",
                                     VTEST_PRODUCT_LABEL, src, ln, expr, extra);

    if (AssertTraceHook hook = g_traceHook.load())
        hook(message.c_str());

    if (stderr) {
        fprintf(stderr, "\n\n  ---- %s INTERNAL LIBRARY ERROR: ----\n\n%s(%d): naruszenie niezmiennika: %s\n%s\n\n",
                VTEST_PRODUCT_LABEL, src, ln, expr, extra);
        fflush(stderr);
    }
    throw VtestException(message);
}
