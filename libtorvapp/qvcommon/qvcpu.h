// Choice of code paths at run time. On x86-64 some routines are also compiled
// for processor extensions (BMI2 rotations in the hashes, the SHA and AES
// instructions, MULX/ADX carry chains in the number kernels); each of them has
// a portable twin that every other processor takes, and tests can force the
// portable twins on any machine.
#ifndef LIBTORVAPP_QVCOMMON_QVCPU_H
#define LIBTORVAPP_QVCOMMON_QVCPU_H

// QV_FORCE_PLAIN_PATH builds only the portable paths (tests build the hashes so
// to check that build on machines that would take the other).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(QV_FORCE_PLAIN_PATH)
#define QV_HAVE_X86_PATHS 1
#define QV_HAVE_BMI2_PATH 1
#define QV_TARGET_BMI2 __attribute__((target("bmi2")))
#else
#define QV_HAVE_X86_PATHS 0
#define QV_HAVE_BMI2_PATH 0
#define QV_TARGET_BMI2
#endif

#define QV_ALWAYS_INLINE inline __attribute__((always_inline))

// Processor extensions, as bits.
enum : unsigned int {
    QV_CPU_BMI2 = 1u << 0,
    QV_CPU_ADX = 1u << 1,  // ADCX/ADOX (with MULX from BMI2 for the number kernels)
    QV_CPU_SHA = 1u << 2,  // SHA-1 and SHA-256 instructions, with SSSE3 and SSE4.1
    QV_CPU_AES = 1u << 3   // AES round instructions, with SSSE3 and SSE4.1
};

// True when the processor has every extension of `features` and the portable
// paths are not forced. Detection runs once per process.
bool qvCpuHas(unsigned int features) noexcept;

// Internal switch for tests: while on, every path chosen from then on is the
// portable one (objects that chose earlier keep their choice).
void qvCpuForcePortable(bool on) noexcept;
bool qvCpuPortableForced() noexcept;

inline bool qvCpuHasBmi2() noexcept { return QV_HAVE_BMI2_PATH && qvCpuHas(QV_CPU_BMI2); }

#endif
