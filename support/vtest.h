// Program-wide invariant check and the exception it throws.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

// Thrown by AssertInvariant when an invariant does not hold; what() carries the
// formatted report.
class VtestException : public std::runtime_error {
public:
    explicit VtestException(const std::string& message) : std::runtime_error(message) {}
    ~VtestException() override;
};

// Receives the formatted report of a failed invariant for the trace log. The trace
// logger of the PKCS#11 layer installs one; support/ itself knows nothing of it.
typedef void (*AssertTraceHook)(const char* message);

// Installs the trace hook (null removes it) and returns the previous one.
AssertTraceHook SetAssertTraceHook(AssertTraceHook hook);
AssertTraceHook GetAssertTraceHook();

// Returns when condition is non-zero. Otherwise reports the violation to the trace
// hook (when installed) and to stderr, and throws VtestException. A null extraText
// counts as "".
void AssertInvariant(int condition, const char* sourcePath, unsigned line,
                     const char* expressionText, const char* extraText = nullptr);

// The same check for a whole integer, boolean or pointer value (non-zero / non-null
// holds; no bits are dropped), with no extra text.
template <class T>
inline void AssertInvariantSimple(T value, const char* sourcePath, unsigned line, const char* expressionText)
{
    bool holds;
    if constexpr (std::is_null_pointer_v<T>)
        holds = false;
    else if constexpr (std::is_pointer_v<T>)
        holds = value != nullptr;
    else
        holds = value != 0;
    AssertInvariant(holds ? 1 : 0, sourcePath, line, expressionText, nullptr);
}

// Product label used in the reports.
extern const char* const VTEST_PRODUCT_LABEL;
