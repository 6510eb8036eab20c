// Memory stream over a growable heap buffer or a caller's fixed buffer.
#pragma once

#include "support/genericfile.h"

class MemFile : public GenericFile {
public:
    // Empty, growable, wiping.
    MemFile();
    // Heap buffer of n zero bytes (size = capacity = n); throws std::bad_alloc.
    MemFile(size_t n, bool wipe);
    // View of the caller's buffer: never freed, never grown; writes past len fail.
    MemFile(const void* data, size_t len, bool wipe);
    // Adopts data (size = capacity = len). With heap true the stream owns it (it must
    // come from new[]) and may grow it.
    MemFile(void* data, size_t len, bool heap, bool wipe);
    ~MemFile() override;

    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    int16_t Read(size_t n, void* buf, size_t* got) override;
    int16_t Write(size_t n, const void* data) override;
    int16_t Seek(long pos) override;
    int64_t Tell() override;
    int64_t Size() override;

    // Sets the content length, growing to exactly n when needed (heap only).
    bool SetLength(size_t n);
    // Appends n uninitialised bytes; returns their offset or -1 (heap only).
    int64_t Extend(size_t n);
    unsigned char* GetPointer(long pos);
    // Hands the buffer to the caller (not wiped, not freed); the stream becomes empty.
    void* Detach();
    void Attach(void* data, size_t len, bool heap, bool wipe);
    // Wipes (when wiping) and frees (when heap) the buffer; back to the empty state.
    void Release();

    unsigned char* GetData() const { return m_pData; }
    size_t GetCapacity() const { return m_nCapacity; }
    bool IsHeap() const { return m_bHeap; }

protected:
    // Replaces the buffer by one of newCap bytes; old contents copied, old buffer
    // wiped when wiping is on. False when the allocation fails (nothing changed).
    bool Reallocate(size_t newCap);

    unsigned char* m_pData = nullptr;
    int64_t m_nSize = 0;
    size_t m_nCapacity = 0;
    size_t m_nPosition = 0;
    bool m_bHeap = true;
    bool m_bWipe = true;
    bool m_bUnknLen = false;
};

// Memory stream meant for transient secrets; wiped on release like any wiping MemFile.
class ZeroizedMemFile : public MemFile {
public:
    using MemFile::MemFile;
    ~ZeroizedMemFile() override;
};
