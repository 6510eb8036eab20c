// The Merkle-Damgard layer that the eight hashes share on top of QvDhf: the
// chaining words, the count of message octets, the length padding in either
// byte order, the digest read-out and wiping. Each hash adds only its
// compression function, initial value and identity.
#ifndef LIBTORVAPP_QVMDHASH_H
#define LIBTORVAPP_QVMDHASH_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcommon/qvendian.h"
#include "libtorvapp/qvdhf.h"

// Byte order of the length field and of the digest words.
enum class QvMdOrder { BigEndian, LittleEndian };

// Compresses n whole blocks into the chaining words.
template <typename Word>
using QvMdCompressFn = void (*)(Word* state, const QvOctet* data, std::size_t n);

// One always-inline compression body built twice, plainly and for processors
// with BMI2, and the build for this processor (the plain one while the
// portable paths are forced).
template <typename Word, void (*Body)(Word*, const QvOctet*, std::size_t)>
struct QvMdCompressPaths {
    static void plain(Word* state, const QvOctet* data, std::size_t n) { Body(state, data, n); }
#if QV_HAVE_BMI2_PATH
    QV_TARGET_BMI2 static void bmi2(Word* state, const QvOctet* data, std::size_t n)
    {
        Body(state, data, n);
    }
#endif

    static QvMdCompressFn<Word> pick()
    {
#if QV_HAVE_BMI2_PATH
        if (qvCpuHasBmi2())
            return bmi2;
#endif
        return plain;
    }

    // `dedicated` (a compression with the processor's own hash instructions)
    // where the processor has `features`, else as pick.
    static QvMdCompressFn<Word> pick(QvMdCompressFn<Word> dedicated, unsigned int features)
    {
        if (QV_HAVE_X86_PATHS && dedicated != nullptr && qvCpuHas(features))
            return dedicated;
        return pick();
    }
};

// Word: 32- or 64-bit chaining word; the length field is two words long
// (64 bits for 32-bit words, 128 bits for 64-bit words).
template <typename Word, unsigned int StateWords, unsigned int BlockOcts, QvMdOrder Order>
class QvMdHash : public QvDhf {
    static_assert(sizeof(Word) == 4 || (sizeof(Word) == 8 && Order == QvMdOrder::BigEndian),
                  "64-bit words come only with a big-endian 128-bit length");

public:
    ~QvMdHash() override
    {
        qvWipe(state, sizeof(state));
        countLo = 0;
        countHi = 0;
    }

    void finalBlock() override;
    unsigned int getBlockOctets() const override { return BlockOcts; }

protected:
    QvMdHash(unsigned int digestOctets, QvMdCompressFn<Word> compressFn)
        : QvDhf(digestOctets, BlockOcts), state(), countLo(0), countHi(0), compress(compressFn)
    {
    }
    QvMdHash(const QvMdHash&) = default;
    QvMdHash& operator=(const QvMdHash&) = default;

    void processBlocks(const QvOctet* data, std::size_t n) override
    {
        std::uint64_t add = static_cast<std::uint64_t>(BlockOcts) * n;
        countLo += add;
        if (countLo < add)
            ++countHi;
        compress(state, data, n);
    }

    // Starts a message from the initial chaining value iv.
    void loadInitialValue(const Word* iv)
    {
        for (unsigned int i = 0; i < StateWords; ++i)
            state[i] = iv[i];
        countLo = 0;
        countHi = 0;
    }

    Word state[StateWords];
    // Message octets compressed so far, as a 128-bit number.
    std::uint64_t countLo;
    std::uint64_t countHi;

private:
    static void storeWord(QvOctet* p, Word w)
    {
        if constexpr (sizeof(Word) == 8)
            qvStore64Be(p, w);
        else if constexpr (Order == QvMdOrder::BigEndian)
            qvStore32Be(p, w);
        else
            qvStore32Le(p, w);
    }

    QvMdCompressFn<Word> compress;
};

template <typename Word, unsigned int StateWords, unsigned int BlockOcts, QvMdOrder Order>
void QvMdHash<Word, StateWords, BlockOcts, Order>::finalBlock()
{
    // Octets as a 128-bit number, then times eight for the bit length; a
    // 64-bit length field keeps the low half.
    std::uint64_t lo = countLo + buffered;
    QvOctet len[2 * sizeof(Word)];
    if constexpr (sizeof(Word) == 8) {
        std::uint64_t hi = countHi + (lo < countLo ? 1 : 0);
        qvStore64Be(len, (hi << 3) | (lo >> 61));
        qvStore64Be(len + 8, lo << 3);
    } else if constexpr (Order == QvMdOrder::BigEndian) {
        qvStore64Be(len, lo << 3);
    } else {
        qvStore64Le(len, lo << 3);
    }
    padWithLength(len, sizeof(len));
    QvOctet* out = digest.getData();
    const unsigned int words = getHashOctets() / sizeof(Word);
    for (unsigned int i = 0; i < words; ++i)
        storeWord(out + sizeof(Word) * i, state[i]);
}

// A heap copy of a hash object; a failed allocation throws QvMemException with
// the object's size and the caller's file and line.
template <class H>
QvHash* qvMdClone(const H& h, const char* file, const char* line)
{
    QvHash* copy = new (std::nothrow) H(h);
    if (copy == nullptr)
        throw QvMemException(sizeof(H), file, line);
    return copy;
}

#endif
