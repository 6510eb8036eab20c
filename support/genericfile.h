// Abstract byte stream. Status results: 0 success, -1 failure, -2 write failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

class GenericFile {
public:
    virtual ~GenericFile();

    // Reads up to n bytes; *got (when given) receives the count delivered.
    virtual int16_t Read(size_t n, void* buf, size_t* got) = 0;
    virtual int16_t Write(size_t n, const void* data) = 0;
    // Absolute position.
    virtual int16_t Seek(long pos) = 0;
    virtual int64_t Tell() = 0;
    // Size in bytes, or -1 when unknown.
    virtual int64_t Size() = 0;

    // Copies n bytes (n == ~0: until this stream is exhausted) from the current
    // position to dst in chunks of at most 2048 bytes. -1 read failure, -2 write failure.
    virtual int16_t CopyTo(GenericFile* dst, size_t n, size_t* copied);
    // Formatted text written with one Write; result: characters written, -2 write
    // failure, -1 allocation failure.
    virtual int Printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    virtual int VPrintf(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));
};
