#include "support/zerofile.h"

#include <cstring>

int16_t ZeroFile::Read(size_t n, void* buf, size_t* got)
{
    if (buf == nullptr && n != 0)
        return -1;
    if (n)
        memset(buf, m_fill, n);
    if (got)
        *got = n;
    m_position += static_cast<int64_t>(n);
    return 0;
}

int16_t ZeroFile::Write(size_t n, const void*)
{
    m_position += static_cast<int64_t>(n);
    return 0;
}

int16_t ZeroFile::Seek(long pos)
{
    if (pos < 0)
        return -1;
    m_position = pos;
    return 0;
}

int ZeroFile::VPrintf(const char*, va_list)
{
    return 0;
}
