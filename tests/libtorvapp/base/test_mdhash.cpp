// The Merkle-Damgard layer shared by the hashes, driven through a probe hash
// whose compression only records the blocks it is given. Message lengths near
// 2^61 and 2^64 octets cannot be hashed in a test; the probe sets the octet
// count directly to check how such lengths are encoded.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libtorvapp/qvmdhash.h"
#include "tests/common/testsupport.h"

namespace {

using testsupport::ToHex;

template <typename Word, unsigned int BlockOcts, QvMdOrder Order>
class Probe : public QvMdHash<Word, 4, BlockOcts, Order> {
    using Base = QvMdHash<Word, 4, BlockOcts, Order>;

public:
    Probe() : Base(4 * sizeof(Word), record) {}

    QvHash* clone() const override { return qvMdClone(*this, "probe", "1"); }
    QvHashAlgo getHashAlgo() const override { return 0; }
    const char* getName() const override { return "probe"; }
    const QvWord* getOidArcs() const override { return nullptr; }
    const QvOctet* getOidDer() const override { return nullptr; }
    unsigned int getHashOctets() const override { return 4 * sizeof(Word); }
    void resetState() override
    {
        static const Word iv[4] = {Word(0x0102030405060708ull), 0, 0, Word(0xA0B0C0D0E0F00010ull)};
        this->loadInitialValue(iv);
    }

    void setOctetCount(std::uint64_t hi, std::uint64_t lo)
    {
        this->countHi = hi;
        this->countLo = lo;
    }

    static std::vector<std::string> blocks; // every compressed block, in hex

private:
    static void record(Word*, const QvOctet* data, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
            blocks.push_back(ToHex(data + i * BlockOcts, BlockOcts));
    }
};

template <typename Word, unsigned int BlockOcts, QvMdOrder Order>
std::vector<std::string> Probe<Word, BlockOcts, Order>::blocks;

using Probe32Be = Probe<std::uint32_t, 64, QvMdOrder::BigEndian>;
using Probe32Le = Probe<std::uint32_t, 64, QvMdOrder::LittleEndian>;
using Probe64Be = Probe<std::uint64_t, 128, QvMdOrder::BigEndian>;

// The last block: message octets, 0x80, zeros, and the length field at the end.
std::string lastBlock(const std::string& messageHex, std::size_t blockOcts, const std::string& lengthHex)
{
    std::string s = messageHex + "80";
    s.append(2 * blockOcts - s.size() - lengthHex.size(), '0');
    return s + lengthHex;
}

} // namespace

TEST(QvMdHashLength, SixtyFourBitFieldsKeepTheLowBitsOfTheBitCountInTheirByteOrder)
{
    const std::vector<QvOctet> msg(3, 0xAB);
    // 2^61 + 0x40 octets before the last three: the bit count 2^64 + 0x218 keeps 0x218.
    Probe32Be be;
    be.init();
    be.setOctetCount(0, 0x2000000000000040ull);
    be.step(msg.data(), 3);
    Probe32Be::blocks.clear();
    be.finish();
    ASSERT_EQ(Probe32Be::blocks.size(), 1u);
    EXPECT_EQ(Probe32Be::blocks[0], lastBlock("ababab", 64, "0000000000000218"));

    Probe32Le le;
    le.init();
    le.setOctetCount(0, 0x2000000000000040ull);
    le.step(msg.data(), 3);
    Probe32Le::blocks.clear();
    le.finish();
    ASSERT_EQ(Probe32Le::blocks.size(), 1u);
    EXPECT_EQ(Probe32Le::blocks[0], lastBlock("ababab", 64, "1802000000000000"));
}

TEST(QvMdHashLength, OneHundredTwentyEightBitFieldCarriesIntoTheHighHalf)
{
    const std::vector<QvOctet> msg(200, 0x11);
    const std::string seventyTwo(144, '1');

    // A whole block carries the count past 2^64 octets: 2^64 + 72 octets, 2^67 + 576 bits.
    Probe64Be h;
    h.init();
    h.setOctetCount(0, 0ull - 128);
    Probe64Be::blocks.clear();
    h.step(msg.data(), 200);
    h.finish();
    ASSERT_EQ(Probe64Be::blocks.size(), 2u);
    EXPECT_EQ(Probe64Be::blocks[1], lastBlock(seventyTwo, 128, "00000000000000080000000000000240"));

    // The buffered octets alone carry it: 2^64 - 64 + 100 octets.
    h.init();
    h.setOctetCount(5, 0ull - 64);
    Probe64Be::blocks.clear();
    h.step(msg.data(), 100);
    h.finish();
    ASSERT_EQ(Probe64Be::blocks.size(), 1u);
    EXPECT_EQ(Probe64Be::blocks[0],
              lastBlock(std::string(200, '1'), 128, "00000000000000300000000000000120"));

    // The top three bits of the low half move into the high half.
    h.init();
    h.setOctetCount(0, 0xE000000000000000ull);
    Probe64Be::blocks.clear();
    h.finish();
    ASSERT_EQ(Probe64Be::blocks.size(), 1u);
    EXPECT_EQ(Probe64Be::blocks[0], lastBlock("", 128, "00000000000000070000000000000000"));
}

TEST(QvMdHashPadding, LengthThatDoesNotFitTakesAnotherBlock)
{
    // 56 octets leave no room for 0x80 and an 8-octet length in a 64-octet block.
    const std::vector<QvOctet> msg(56, 0x22);
    Probe32Le h;
    Probe32Le::blocks.clear();
    h.hash(msg.data(), 56);
    ASSERT_EQ(Probe32Le::blocks.size(), 2u);
    EXPECT_EQ(Probe32Le::blocks[0], std::string(112, '2') + "80" + std::string(14, '0'));
    EXPECT_EQ(Probe32Le::blocks[1], std::string(112, '0') + "c001000000000000");

    // 111 octets fit with the 16-octet length of a 128-octet block; 112 do not.
    const std::vector<QvOctet> big(112, 0x33);
    Probe64Be b;
    Probe64Be::blocks.clear();
    b.hash(big.data(), 111);
    EXPECT_EQ(Probe64Be::blocks.size(), 1u);
    Probe64Be::blocks.clear();
    b.hash(big.data(), 112);
    ASSERT_EQ(Probe64Be::blocks.size(), 2u);
    EXPECT_EQ(Probe64Be::blocks[1], std::string(224, '0') + "00000000000000000000000000000380");
}

TEST(QvMdHashDigest, ChainingWordsAreWrittenInTheHashsByteOrder)
{
    Probe32Be be;
    be.hash(nullptr, 0);
    EXPECT_EQ(ToHex(be.getHashPtr(), 16), "0506070800000000" "00000000e0f00010");
    Probe32Le le;
    le.hash(nullptr, 0);
    EXPECT_EQ(ToHex(le.getHashPtr(), 16), "0807060500000000" "000000001000f0e0");
    Probe64Be wide;
    wide.hash(nullptr, 0);
    EXPECT_EQ(ToHex(wide.getHashPtr(), 32),
              "0102030405060708" "0000000000000000" "0000000000000000" "a0b0c0d0e0f00010");
}

TEST(QvMdHashCopy, CloneAndAssignmentCarryTheCountAndBufferedOctets)
{
    const std::vector<QvOctet> msg(150, 0x44);
    Probe32Be h;
    h.init();
    h.setOctetCount(0, 0x2000000000000000ull);
    h.step(msg.data(), 70); // one block compressed, six octets buffered
    std::unique_ptr<QvHash> c(h.clone());
    Probe32Be assigned;
    assigned = h;
    Probe32Be::blocks.clear();
    h.finish();
    c->finish();
    assigned.finish();
    ASSERT_EQ(Probe32Be::blocks.size(), 3u);
    const std::string expected = lastBlock(std::string(12, '4'), 64, "0000000000000230");
    EXPECT_EQ(Probe32Be::blocks[0], expected);
    EXPECT_EQ(Probe32Be::blocks[1], expected);
    EXPECT_EQ(Probe32Be::blocks[2], expected);
}
