#include "support/genericfile.h"

#include <cstdio>
#include <new>

GenericFile::~GenericFile() = default;

int16_t GenericFile::CopyTo(GenericFile* dst, size_t n, size_t* copied)
{
    if (copied)
        *copied = 0;
    if (n == 0)
        return 0;
    if (dst == nullptr)
        return -2;
    unsigned char buf[2048];
    size_t done = 0;
    const bool all = (n == ~static_cast<size_t>(0));
    while (all || done < n) {
        size_t want = all ? sizeof(buf) : (n - done < sizeof(buf) ? n - done : sizeof(buf));
        size_t got = 0;
        if (Read(want, buf, &got) != 0)
            return -1;
        if (got > want)
            return -1;
        if (got == 0)
            break;
        if (dst->Write(got, buf) != 0)
            return -2;
        done += got;
    }
    if (copied)
        *copied = done;
    return 0;
}

int GenericFile::Printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = VPrintf(fmt, ap);
    va_end(ap);
    return r;
}

int GenericFile::VPrintf(const char* fmt, va_list args)
{
    char stackBuf[2048];
    char* buf = stackBuf;
    size_t size = sizeof(stackBuf);
    int r = -1;
    for (int attempt = 0; attempt < 14; ++attempt) {
        va_list ap;
        va_copy(ap, args);
        r = vsnprintf(buf, size, fmt, ap);
        va_end(ap);
        if (r >= 0 && static_cast<size_t>(r) < size) {
            int result = r;
            if (r > 0 && Write(static_cast<size_t>(r), buf) != 0)
                result = -2;
            if (buf != stackBuf)
                delete[] buf;
            return result;
        }
        if (buf != stackBuf)
            delete[] buf;
        size *= 2;
        buf = new (std::nothrow) char[size];
        if (buf == nullptr)
            return -1;
    }
    if (buf != stackBuf)
        delete[] buf;
    return r < 0 ? r : -1;
}
