// Owning octet buffer of the cryptographic library. Its storage is wiped to zero
// before it is released (destruction, growth, reassignment).
#ifndef LIBTORVAPP_QVCOMMON_QVOCTMEM_H
#define LIBTORVAPP_QVCOMMON_QVOCTMEM_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"

class QvOctMem {
public:
    QvOctMem() noexcept;
    // length = len, capacity = the smallest power of two >= len (1 for 0 and 1);
    // contents are not cleared.
    explicit QvOctMem(unsigned int len);
    // Copies len octets, reversed when sameOrder is false.
    QvOctMem(const QvOctet* src, unsigned int len, bool sameOrder = true);
    // Unchecked hexadecimal text (the checked form is QvConvOS's).
    explicit QvOctMem(const char* hex);
    QvOctMem(const QvOctMem& src);
    QvOctMem(QvOctMem&& src) noexcept;
    ~QvOctMem();

    QvOctMem& operator=(const QvOctMem& src);
    QvOctMem& operator=(QvOctMem&& src) noexcept;

    // Never shrinks the storage; growth copies the old octets and zeros the rest.
    void resize(unsigned int len);

    unsigned int getLength() const noexcept { return length; }
    unsigned int getCapacity() const noexcept { return capacity; }
    QvOctet* getData() noexcept { return data; }
    const QvOctet* getData() const noexcept { return data; }
    const QvOctet* getConstData() const noexcept { return data; }

    // 0 when dst is too small, else the octets copied (reversed when !sameOrder).
    unsigned int getOctets(QvOctet* dst, unsigned int dstLen, bool sameOrder = true) const;

    bool operator==(const QvOctMem& other) const noexcept;
    bool operator!=(const QvOctMem& other) const noexcept { return !(*this == other); }

    // Checked element access: an empty buffer throws QvNotInitException, an index
    // outside 0..length-1 (negative included) throws QvAccessException.
    QvOctet& operator[](int i);
    QvOctet& operator[](unsigned int i);
    const QvOctet& operator[](int i) const;
    const QvOctet& operator[](unsigned int i) const;
    QvOctet* operator+(unsigned int offset);
    const QvOctet* operator+(unsigned int offset) const;

    // Wipes and releases the storage: the empty buffer remains.
    void clear() noexcept;

private:
    void release() noexcept;

    QvOctet* data;
    unsigned int capacity;
    unsigned int length;
};

#endif
