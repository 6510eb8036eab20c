// Choice of the compression code path at run time. On x86-64 the hashes also
// compile their rounds for processors with BMI2 (three-operand rotations), which
// saves a register copy per rotation; every other platform takes the plain path.
#ifndef LIBTORVAPP_QVCOMMON_QVCPU_H
#define LIBTORVAPP_QVCOMMON_QVCPU_H

// QV_FORCE_PLAIN_PATH builds only the plain path (tests build the hashes so to
// check that path on machines that would take the other).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(QV_FORCE_PLAIN_PATH)
#define QV_HAVE_BMI2_PATH 1
#define QV_TARGET_BMI2 __attribute__((target("bmi2")))
#else
#define QV_HAVE_BMI2_PATH 0
#define QV_TARGET_BMI2
#endif

#define QV_ALWAYS_INLINE inline __attribute__((always_inline))

inline bool qvCpuHasBmi2() noexcept
{
#if QV_HAVE_BMI2_PATH
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") != 0;
#else
    return false;
#endif
}

#endif
