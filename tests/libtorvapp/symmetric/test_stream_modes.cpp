// What OFB and CTR share: segments of s octets (1 <= s <= n) cut from keystream
// that a one-block register feeds, the register loaded from a one-block IV and
// reset with the segment when the cipher changes. OpenSSL's ECB encryption is
// the independent model of each keystream block.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "libtorvapp/qvctr.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvofb.h"
#include "symtest.h"

namespace {

Bytes run(QvSymEnc& m, unsigned dir, const Bytes& iv, const Bytes& in)
{
    m.init(dir, iv.data(), unsigned(iv.size()));
    Bytes out(in.size() + 32);
    unsigned w = m.step(in.data(), unsigned(in.size()), out.data());
    w += m.finish(out.data() + w);
    out.resize(w);
    return out;
}

Bytes xorInto(const Bytes& in, std::size_t at, const Bytes& ks, std::size_t s)
{
    Bytes out;
    for (std::size_t i = 0; i < s && at + i < in.size(); ++i)
        out.push_back(std::uint8_t(in[at + i] ^ ks[i]));
    return out;
}

// OFB: the register is replaced by its encryption for each segment.
Bytes ofbModel(const char* ecb, const Bytes& key, Bytes reg, const Bytes& in, std::size_t s)
{
    Bytes out;
    for (std::size_t at = 0; at < in.size(); at += s) {
        reg = evpCrypt(ecb, true, key, {}, reg);
        const Bytes part = xorInto(in, at, reg, s);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// CTR: each segment uses the encryption of the register, which then counts up.
Bytes ctrModel(const char* ecb, const Bytes& key, Bytes reg, const Bytes& in, std::size_t s)
{
    Bytes out;
    for (std::size_t at = 0; at < in.size(); at += s) {
        const Bytes part = xorInto(in, at, evpCrypt(ecb, true, key, {}, reg), s);
        out.insert(out.end(), part.begin(), part.end());
        for (std::size_t i = reg.size(); i-- > 0;)
            if (++reg[i] != 0)
                break;
    }
    return out;
}

template <class Mode>
void checkSegmentRules(const char* name)
{
    SCOPED_TRACE(name);
    EXPECT_EQ(Mode(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE).getSegmentOctets(), 16u);
    EXPECT_EQ(Mode(QV_BC_ALGO_AES, 17, QV_SYM_PAD_NONE).getSegmentOctets(), 16u);
    Mode m(QV_BC_ALGO_AES, 5, QV_SYM_PAD_NONE);
    EXPECT_EQ(m.getSegmentOctets(), 5u);
    EXPECT_EQ(m.getDataUnitOctets(), 5u);
    EXPECT_EQ(m.getIvOctets(), 16u);
    m.setSegmentOctets(0);
    EXPECT_EQ(m.getDataUnitOctets(), 16u);
    m.setSegmentOctets(1);
    EXPECT_EQ(m.getDataUnitOctets(), 1u);

    // A new segment length closes the session.
    const Bytes key(16, 0x42), iv(16, 0x01), in(8, 0);
    Bytes out(32);
    m.setKey(key.data(), 16);
    m.init(QV_SYM_ENCRYPT, iv.data(), 16);
    EXPECT_EQ(m.step(in.data(), 8, out.data()), 8u);
    m.setSegmentOctets(4);
    EXPECT_THROW(m.step(in.data(), 8, out.data()), QvFsmException);
}

} // namespace

TEST(StreamModes, SegmentLengthIsBoundedByTheBlockAndClosesTheSession)
{
    checkSegmentRules<QvOfb>("OFB");
    checkSegmentRules<QvCtr>("CTR");
}

TEST(StreamModes, ShortSegmentsUseTheFirstOctetsOfEachKeystreamBlock)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    std::mt19937 rng(31);
    const Bytes key = randomBytes(rng, 16), iv = randomBytes(rng, 16), pt = randomBytes(rng, 23);
    for (unsigned s : {1u, 5u, 16u}) {
        QvOfb ofb(QV_BC_ALGO_AES, s, QV_SYM_PAD_NONE);
        ofb.setKey(key.data(), 16);
        Bytes whole = pt;
        whole.resize(pt.size() - pt.size() % s);
        const Bytes ct = run(ofb, QV_SYM_ENCRYPT, iv, whole);
        EXPECT_EQ(ToHex(ct), ToHex(ofbModel("AES-128-ECB", key, iv, whole, s))) << "OFB s=" << s;
        EXPECT_EQ(ToHex(run(ofb, QV_SYM_DECRYPT, iv, ct)), ToHex(whole)) << "OFB s=" << s;

        QvCtr ctr(QV_BC_ALGO_AES, s, QV_SYM_PAD_NONE);
        ctr.setKey(key.data(), 16);
        EXPECT_EQ(ToHex(run(ctr, QV_SYM_ENCRYPT, iv, whole)), ToHex(ctrModel("AES-128-ECB", key, iv, whole, s)))
            << "CTR s=" << s;
    }
}

TEST(StreamModes, NewCipherResetsSegmentAndRegisterToItsBlockLength)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    const Bytes desKey = FromHex("0123456789abcdef"), iv = FromHex("fedcba9876543210");
    const Bytes pt = FromHex("00112233445566778899aabbccddeeff0011223344556677");
    QvDes des;

    QvOfb ofb(QV_BC_ALGO_AES, 5, QV_SYM_PAD_NONE);
    ofb.setCipher(des);
    EXPECT_EQ(ofb.getSegmentOctets(), 8u);
    EXPECT_EQ(ofb.getIvOctets(), 8u);
    ofb.setKey(desKey.data(), 8);
    EXPECT_EQ(ToHex(run(ofb, QV_SYM_ENCRYPT, iv, pt)), ToHex(ofbModel("DES-ECB", desKey, iv, pt, 8)));

    QvCtr ctr(QV_BC_ALGO_AES, 5, QV_SYM_PAD_NONE);
    ctr.setCipher(QV_BC_ALGO_DES);
    EXPECT_EQ(ctr.getSegmentOctets(), 8u);
    EXPECT_EQ(ctr.getIvOctets(), 8u);
    ctr.setKey(desKey.data(), 8);
    EXPECT_EQ(ToHex(run(ctr, QV_SYM_ENCRYPT, iv, pt)), ToHex(ctrModel("DES-ECB", desKey, iv, pt, 8)));
}

TEST(StreamModes, CloneCarriesSegmentAndRegister)
{
    std::mt19937 rng(5);
    const Bytes key = randomBytes(rng, 16), iv = randomBytes(rng, 16), pt = randomBytes(rng, 24);
    std::unique_ptr<QvSymEnc> modes[] = {
        std::unique_ptr<QvSymEnc>(new QvOfb(QV_BC_ALGO_AES, 4, QV_SYM_PAD_NONE)),
        std::unique_ptr<QvSymEnc>(new QvCtr(QV_BC_ALGO_AES, 4, QV_SYM_PAD_NONE))};
    for (auto& m : modes) {
        m->setKey(key.data(), 16);
        const Bytes whole = run(*m, QV_SYM_ENCRYPT, iv, pt);
        m->init(QV_SYM_ENCRYPT, iv.data(), 16);
        Bytes a(32), b(32);
        const unsigned first = m->step(pt.data(), 10, a.data());
        std::unique_ptr<QvSymEnc> copy(m->clone());
        EXPECT_EQ(copy->getDataUnitOctets(), 4u);
        std::copy(a.begin(), a.begin() + first, b.begin());
        unsigned wa = first + m->step(pt.data() + 10, 14, a.data() + first);
        unsigned wb = first + copy->step(pt.data() + 10, 14, b.data() + first);
        wa += m->finish(a.data() + wa);
        wb += copy->finish(b.data() + wb);
        a.resize(wa);
        b.resize(wb);
        EXPECT_EQ(ToHex(a), ToHex(whole)) << m->getName();
        EXPECT_EQ(ToHex(b), ToHex(whole)) << m->getName();
    }
}
