#include "libtorvapp/qvcommon/qvcpu.h"

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace {

unsigned int detect() noexcept
{
    unsigned int found = 0;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0)
        return 0;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    const bool aes = (c & (1u << 25)) != 0;
    unsigned int b7 = 0;
    if (__get_cpuid_max(0, nullptr) >= 7 && __get_cpuid_count(7, 0, &a, &b7, &c, &d) != 0) {
        if (b7 & (1u << 8))
            found |= QV_CPU_BMI2;
        if (b7 & (1u << 19))
            found |= QV_CPU_ADX;
        if ((b7 & (1u << 29)) && ssse3 && sse41)
            found |= QV_CPU_SHA;
    }
    if (aes && ssse3 && sse41)
        found |= QV_CPU_AES;
#endif
    return found;
}

std::atomic<bool> g_portable{false};

} // namespace

bool qvCpuHas(unsigned int features) noexcept
{
    static const unsigned int present = detect();
    return !g_portable.load(std::memory_order_relaxed) && (present & features) == features;
}

void qvCpuForcePortable(bool on) noexcept { g_portable.store(on, std::memory_order_relaxed); }

bool qvCpuPortableForced() noexcept { return g_portable.load(std::memory_order_relaxed); }
