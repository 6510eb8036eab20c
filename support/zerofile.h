// Null stream: reads give the fill byte, writes only move the position.
#pragma once

#include "support/genericfile.h"

class ZeroFile : public GenericFile {
public:
    explicit ZeroFile(unsigned char fill = 0) : m_fill(fill) {}
    int16_t Read(size_t n, void* buf, size_t* got) override;
    int16_t Write(size_t n, const void* data) override;
    int16_t Seek(long pos) override;
    int64_t Tell() override { return m_position; }
    int64_t Size() override { return m_position; }
    int VPrintf(const char* fmt, va_list args) override;

private:
    int64_t m_position = 0;
    unsigned char m_fill;
};
