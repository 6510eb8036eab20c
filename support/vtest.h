// Program-wide invariant check and the exception it throws.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

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

// The same check for a whole integer or pointer value (non-zero / non-null holds).
void AssertInvariantSimple(unsigned long long value, const char* sourcePath, unsigned line,
                           const char* expressionText);
void AssertInvariantSimple(const void* value, const char* sourcePath, unsigned line,
                           const char* expressionText);

// Product label used in the reports.
extern const char* const VTEST_PRODUCT_LABEL;
