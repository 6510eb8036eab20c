#include "libtorvapp/qvcommon/qvtypes.h"

#include <cstring>

void qvWipe(void* p, std::size_t n) noexcept
{
    if (p == nullptr || n == 0)
        return;
    std::memset(p, 0, n);
    // The barrier tells the compiler the zeros are read, so the memset stays.
    __asm__ __volatile__("" : : "r"(p) : "memory");
}
