// Owning buffer of 32-bit words (multi-word numbers are little-endian by word).
// Its storage is wiped to zero before it is released.
#ifndef LIBTORVAPP_QVCOMMON_QVWORDMEM_H
#define LIBTORVAPP_QVCOMMON_QVWORDMEM_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"

class QvWordMem {
public:
    QvWordMem() noexcept;
    // Allocates `words` words; contents are not cleared.
    explicit QvWordMem(unsigned int words);
    // Packs octets into words: little-endian packing, or, with bigEndian, a
    // big-endian octet string becomes a little-endian word number.
    QvWordMem(const QvOctet* src, unsigned int octets, bool bigEndian);
    // Copies words, or reverses their order when `reversed`.
    QvWordMem(const QvWord* src, unsigned int words, bool reversed);
    QvWordMem(const QvWordMem& src);
    QvWordMem(QvWordMem&& src) noexcept;
    ~QvWordMem();

    QvWordMem& operator=(const QvWordMem& src);
    QvWordMem& operator=(QvWordMem&& src) noexcept;

    // Grows only; new words are zero.
    void resize(unsigned int words);

    // Writes the words as octets, least significant first: forward from dst[0],
    // or with bigEndian backward from dst[len-1]. Returns the octets written.
    unsigned int asOctets(QvOctet* dst, unsigned int len, bool bigEndian) const;

    unsigned int getLength() const noexcept { return words; }
    QvWord* getData() noexcept { return data; }
    const QvWord* getData() const noexcept { return data; }
    const QvWord* getConstData() const noexcept { return data; }

    // Checked: an empty buffer throws QvNotInitException, an offset past the
    // last word throws QvAccessException.
    QvWord* operator+(unsigned int offset);
    const QvWord* operator+(unsigned int offset) const;

    // Wipes and releases the storage: the empty buffer remains.
    void clear() noexcept;

private:
    void release() noexcept;

    QvWord* data;
    unsigned int words;
};

// Copies the first n words of src into dst (grown to n words if needed; words of
// dst beyond n are kept). Throws QvArgumentRangeException when src is shorter.
void copy(QvWordMem& dst, const QvWordMem& src, unsigned int n);

#endif
