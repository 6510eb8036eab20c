#include "support/memfile.h"

#include <cstring>
#include <new>

#include "support/textutil.h"
#include "support/vtest.h"

namespace {
const char* const SRC = "memfile";
}

MemFile::MemFile() = default;

MemFile::MemFile(size_t n, bool wipe) : m_bWipe(wipe)
{
    if (n) {
        m_pData = new unsigned char[n];
        memset(m_pData, 0, n);
        m_nSize = static_cast<int64_t>(n);
        m_nCapacity = n;
    }
}

MemFile::MemFile(const void* data, size_t len, bool wipe)
    : m_pData(static_cast<unsigned char*>(const_cast<void*>(data))),
      m_nSize(static_cast<int64_t>(len)),
      m_nCapacity(len),
      m_bHeap(false),
      m_bWipe(wipe)
{
    if (m_pData == nullptr)
        m_nSize = 0, m_nCapacity = 0;
}

MemFile::MemFile(void* data, size_t len, bool heap, bool wipe)
{
    Attach(data, len, heap, wipe);
}

MemFile::~MemFile()
{
    Release();
}

ZeroizedMemFile::~ZeroizedMemFile() = default;

void MemFile::Release()
{
    if (m_pData) {
        if (m_bWipe)
            SecureZero(m_pData, m_nCapacity);
        if (m_bHeap)
            delete[] m_pData;
    }
    m_pData = nullptr;
    m_nSize = 0;
    m_nCapacity = 0;
    m_nPosition = 0;
    m_bHeap = true;
    m_bWipe = true;
    m_bUnknLen = false;
}

void MemFile::Attach(void* data, size_t len, bool heap, bool wipe)
{
    Release();
    m_pData = static_cast<unsigned char*>(data);
    m_nSize = m_pData ? static_cast<int64_t>(len) : 0;
    m_nCapacity = m_pData ? len : 0;
    m_nPosition = 0;
    m_bHeap = heap;
    m_bWipe = wipe;
}

void* MemFile::Detach()
{
    void* p = m_pData;
    m_pData = nullptr;
    Release();
    return p;
}

bool MemFile::Reallocate(size_t newCap)
{
    unsigned char* p = new (std::nothrow) unsigned char[newCap];
    if (p == nullptr)
        return false;
    size_t keep = m_nCapacity < newCap ? m_nCapacity : newCap;
    if (keep)
        memcpy(p, m_pData, keep);
    if (newCap > keep)
        memset(p + keep, 0, newCap - keep);
    if (m_pData) {
        // The old buffer may hold secrets: wipe it before it goes back to the heap.
        if (m_bWipe)
            SecureZero(m_pData, m_nCapacity);
        delete[] m_pData;
    }
    m_pData = p;
    m_nCapacity = newCap;
    return true;
}

int16_t MemFile::Read(size_t n, void* buf, size_t* got)
{
    AssertInvariant(buf != nullptr || n == 0, SRC, 147, "buff != NULL");
    size_t avail = 0;
    if (m_pData) {
        size_t end = m_bUnknLen ? m_nCapacity : static_cast<size_t>(m_nSize);
        avail = m_nPosition < end ? end - m_nPosition : 0;
    }
    size_t k = n < avail ? n : avail;
    if (k)
        memcpy(buf, m_pData + m_nPosition, k);
    m_nPosition += k;
    if (got)
        *got = k;
    return 0;
}

int16_t MemFile::Write(size_t n, const void* data)
{
    if (n == 0)
        return 0;
    if (data == nullptr)
        return -1;
    if (n > SIZE_MAX - m_nPosition)
        return -1;
    size_t end = m_nPosition + n;
    // A caller's buffer never grows: nothing is written past its known end.
    if (!m_bHeap && !m_bUnknLen && static_cast<int64_t>(end) > m_nSize)
        return -1;
    if (end > m_nCapacity) {
        if (!m_bHeap)
            return -1;
        if (n > SIZE_MAX - m_nCapacity)
            return -1;
        size_t want = m_nCapacity + n;
        size_t newCap = 32;
        while (newCap < want) {
            if (newCap > SIZE_MAX / 2)
                return -1;
            newCap *= 2;
        }
        if (!Reallocate(newCap))
            return -1;
    }
    memcpy(m_pData + m_nPosition, data, n);
    m_nPosition = end;
    if (static_cast<int64_t>(end) > m_nSize)
        m_nSize = static_cast<int64_t>(end);
    return 0;
}

int16_t MemFile::Seek(long pos)
{
    if (pos < 0)
        return -1;
    size_t limit = m_bUnknLen ? m_nCapacity : static_cast<size_t>(m_nSize);
    if (static_cast<unsigned long>(pos) > limit)
        return -1;
    m_nPosition = static_cast<size_t>(pos);
    return 0;
}

int64_t MemFile::Tell()
{
    return static_cast<int64_t>(m_nPosition);
}

int64_t MemFile::Size()
{
    return m_bUnknLen ? -1 : m_nSize;
}

bool MemFile::SetLength(size_t n)
{
    if (m_bUnknLen) {
        if (n > m_nCapacity)
            return false;
        m_bUnknLen = false;
        m_nSize = static_cast<int64_t>(n);
        if (m_nPosition > n)
            m_nPosition = n;
        return true;
    }
    if (n > m_nCapacity) {
        if (!m_bHeap || !Reallocate(n))
            return false;
    } else if (n > static_cast<size_t>(m_nSize)) {
        // Bytes past the old end read as zero, not as what an earlier content left.
        memset(m_pData + m_nSize, 0, n - static_cast<size_t>(m_nSize));
    }
    m_nSize = static_cast<int64_t>(n);
    if (m_nPosition > n)
        m_nPosition = n;
    return true;
}

int64_t MemFile::Extend(size_t n)
{
    AssertInvariant(m_bHeap, SRC, 301, "bHeap");
    size_t old = static_cast<size_t>(m_nSize);
    if (n > SIZE_MAX - old)
        return -1;
    if (old + n > m_nCapacity) {
        if (n > SIZE_MAX - m_nCapacity || !Reallocate(m_nCapacity + n))
            return -1;
    }
    m_nSize = static_cast<int64_t>(old + n);
    return static_cast<int64_t>(old);
}

unsigned char* MemFile::GetPointer(long pos)
{
    AssertInvariant(pos >= 0 && (pos < m_nSize || (m_bUnknLen && static_cast<size_t>(pos) < m_nCapacity)), SRC, 320,
                    "p < len || bUnknLen");
    return m_pData + pos;
}
