// Raw storage of the library's buffers. Failure returns null; callers turn it
// into QvMemException with their own file and line.
#ifndef LIBTORVAPP_QVCOMMON_QVALLOC_H
#define LIBTORVAPP_QVCOMMON_QVALLOC_H

#include <cstddef>
#include <new>

inline void* qvAllocRaw(std::size_t n) noexcept
{
    return ::operator new(n, std::nothrow);
}

// n must be the size given to qvAllocRaw; the caller wipes before releasing.
inline void qvFreeRaw(void* p, std::size_t n) noexcept
{
    if (p == nullptr)
        return;
#if defined(__cpp_sized_deallocation)
    ::operator delete(p, n);
#else
    (void)n;
    ::operator delete(p);
#endif
}

#endif
