// Block ciphers: published known answers, OpenSSL as an independent reference,
// key rules (lengths, weak keys, parity) and the state kept across failures.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "libtorvapp/qvaes.h"
#include "libtorvapp/qvbc.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvdeseee.h"
#include "libtorvapp/qvdesxeeex.h"
#include "libtorvapp/qvrc2.h"
#include "libtorvapp/qvrijndael.h"
#include "libtorvapp/qvtdes.h"
#include "symtest.h"

namespace {

Bytes encryptBlocks(QvBc& bc, const Bytes& in)
{
    Bytes out(in.size());
    const unsigned n = bc.getBlockOctets();
    for (std::size_t i = 0; i < in.size(); i += n)
        bc.encryptBlock(in.data() + i, out.data() + i);
    return out;
}

Bytes decryptBlocks(QvBc& bc, const Bytes& in)
{
    Bytes out(in.size());
    const unsigned n = bc.getBlockOctets();
    for (std::size_t i = 0; i < in.size(); i += n)
        bc.decryptBlock(in.data() + i, out.data() + i);
    return out;
}

std::unique_ptr<QvBc> make(unsigned id) { return std::unique_ptr<QvBc>(qvBcCreateObject(id)); }

} // namespace

TEST(BlockCipherKnownAnswers, AesMatchesFips197)
{
    for (const auto& r : ReadRecords(DataFile("aes_fips197.txt"))) {
        const Bytes key = FromHex(r.at("key")), pt = FromHex(r.at("plain")), ct = FromHex(r.at("cipher"));
        QvAes aes;
        aes.setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_ENCRYPT);
        EXPECT_EQ(ToHex(encryptBlocks(aes, pt)), ToHex(ct)) << r.at("key");
        EXPECT_EQ(ToHex(decryptBlocks(aes, ct)), ToHex(pt)) << r.at("key");
        // The general Rijndael core with 128-bit blocks gives the same results.
        QvRijndael rj(4);
        rj.setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_BOTH);
        EXPECT_EQ(ToHex(encryptBlocks(rj, pt)), ToHex(ct));
        EXPECT_EQ(ToHex(decryptBlocks(rj, ct)), ToHex(pt));
    }
}

TEST(BlockCipherKnownAnswers, DesAndTripleDesMatchPublishedExamples)
{
    for (const auto& r : ReadRecords(DataFile("des_fips81.txt"))) {
        const std::string algo = r.at("algo");
        const Bytes key = FromHex(r.at("key")), pt = FromHex(r.at("plain")), ct = FromHex(r.at("cipher"));
        std::unique_ptr<QvBc> bc;
        if (algo == "DES")
            bc.reset(new QvDes());
        else if (algo == "DES-NOWEAK")
            bc.reset(new QvDes(false, false));
        else
            bc.reset(new QvTdes());
        bc->setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_BOTH);
        EXPECT_EQ(ToHex(encryptBlocks(*bc, pt)), ToHex(ct)) << algo << " " << r.at("key");
        EXPECT_EQ(ToHex(decryptBlocks(*bc, ct)), ToHex(pt)) << algo << " " << r.at("key");
    }
}

TEST(BlockCipherKnownAnswers, Rc2MatchesRfc2268)
{
    for (const auto& r : ReadRecords(DataFile("rc2_rfc2268.txt"))) {
        const Bytes key = FromHex(r.at("key")), pt = FromHex(r.at("plain")), ct = FromHex(r.at("cipher"));
        QvRc2 rc2;
        rc2.setKey(key.data(), unsigned(key.size()), unsigned(std::stoul(r.at("bits"))), QV_KEY_EXPANSION_BOTH);
        EXPECT_EQ(ToHex(encryptBlocks(rc2, pt)), ToHex(ct)) << r.at("key") << "/" << r.at("bits");
        EXPECT_EQ(ToHex(decryptBlocks(rc2, ct)), ToHex(pt));
    }
}

TEST(BlockCipherDifferential, EveryCipherAgreesWithOpenSsl)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    std::mt19937 rng(20261207);
    struct Case {
        unsigned id;
        const char* evp;
        unsigned keyLen;
    };
    const Case cases[] = {{QV_BC_ALGO_AES, "AES-128-ECB", 16}, {QV_BC_ALGO_AES, "AES-192-ECB", 24},
                          {QV_BC_ALGO_AES, "AES-256-ECB", 32}, {QV_BC_ALGO_RIJNDAEL, "AES-128-ECB", 16},
                          {QV_BC_ALGO_RIJNDAEL, "AES-256-ECB", 32}, {QV_BC_ALGO_DES, "DES-ECB", 8},
                          {QV_BC_ALGO_TDES, "DES-EDE3-ECB", 24}};
    for (const Case& c : cases) {
        for (int round = 0; round < 40; ++round) {
            Bytes key = randomBytes(rng, c.keyLen);
            auto bc = make(c.id);
            if (c.id >= QV_BC_ALGO_DES && qvDesIsWeakKey(key.data(), c.keyLen / 8))
                continue;
            bc->setKey(key.data(), c.keyLen, QV_KEY_EXPANSION_BOTH);
            const Bytes pt = randomBytes(rng, bc->getBlockOctets() * (1 + rng() % 8));
            const Bytes ct = encryptBlocks(*bc, pt);
            ASSERT_EQ(ToHex(ct), ToHex(evpCrypt(c.evp, true, key, {}, pt))) << c.evp;
            ASSERT_EQ(ToHex(decryptBlocks(*bc, ct)), ToHex(pt)) << c.evp;
        }
    }
    // RC2 with random key lengths and effective key bits.
    for (int round = 0; round < 100; ++round) {
        const unsigned keyLen = 1 + rng() % 128;
        const unsigned bits = 1 + rng() % 1024;
        const Bytes key = randomBytes(rng, keyLen);
        QvRc2 rc2;
        rc2.setKey(key.data(), keyLen, bits, QV_KEY_EXPANSION_BOTH);
        const Bytes pt = randomBytes(rng, 8 * (1 + rng() % 4));
        const Bytes ct = encryptBlocks(rc2, pt);
        ASSERT_EQ(ToHex(ct), ToHex(evpCrypt("RC2-ECB", true, key, {}, pt, int(bits)))) << keyLen << "/" << bits;
        ASSERT_EQ(ToHex(decryptBlocks(rc2, ct)), ToHex(pt));
    }
}

TEST(BlockCipherDifferential, EeeAndWhitenedVariantsFollowFromSingleDes)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 30; ++round) {
        const Bytes key = randomBytes(rng, 40);
        if (qvDesIsWeakKey(key.data() + 8, 3))
            continue;
        const Bytes pt = randomBytes(rng, 8);
        const Bytes x1(key.begin(), key.begin() + 8), x2(key.begin() + 32, key.end());
        // Independent model built from OpenSSL's single DES.
        Bytes m = pt;
        for (int i = 0; i < 8; ++i)
            m[i] ^= x1[i];
        for (int k = 0; k < 3; ++k)
            m = evpCrypt("DES-ECB", true, Bytes(key.begin() + 8 + 8 * k, key.begin() + 16 + 8 * k), {}, m);
        const Bytes eee = m;
        for (int i = 0; i < 8; ++i)
            m[i] ^= x2[i];

        QvDesXeeex x;
        x.setKey(key.data(), 40, QV_KEY_EXPANSION_BOTH);
        EXPECT_EQ(ToHex(encryptBlocks(x, pt)), ToHex(m));
        EXPECT_EQ(ToHex(decryptBlocks(x, m)), ToHex(pt));

        QvDesEee e;
        e.setKey(key.data() + 8, 24, QV_KEY_EXPANSION_BOTH);
        Bytes xpt = pt;
        for (int i = 0; i < 8; ++i)
            xpt[i] ^= x1[i];
        EXPECT_EQ(ToHex(encryptBlocks(e, xpt)), ToHex(eee));
        EXPECT_EQ(ToHex(decryptBlocks(e, eee)), ToHex(xpt));
    }
}

TEST(BlockCipherRijndael, WideBlocksRoundTripAndDifferFromEachOther)
{
    std::mt19937 rng(3);
    for (unsigned nb = 4; nb <= 8; ++nb) {
        for (unsigned keyLen = 16; keyLen <= 32; keyLen += 4) {
            QvRijndael rj(nb);
            const Bytes key = randomBytes(rng, keyLen);
            rj.setKey(key.data(), keyLen, QV_KEY_EXPANSION_ENCRYPT);
            EXPECT_EQ(rj.getBlockOctets(), 4 * nb);
            EXPECT_EQ(rj.getNk(), keyLen / 4);
            EXPECT_EQ(rj.getNr(), std::max(keyLen / 4, nb) + 6);
            const Bytes pt = randomBytes(rng, 4 * nb * 3);
            const Bytes ct = encryptBlocks(rj, pt);
            EXPECT_NE(ToHex(ct), ToHex(pt));
            EXPECT_EQ(ToHex(decryptBlocks(rj, ct)), ToHex(pt)) << nb << "/" << keyLen;
        }
    }
}

TEST(BlockCipherRijndael, BlockLengthOutsideFourToEightWordsIsRefused)
{
    EXPECT_THROW(QvRijndael(3), QvArgumentRangeException);
    EXPECT_THROW(QvRijndael(9), QvArgumentRangeException);
    try {
        QvRijndael r(3);
        FAIL();
    } catch (const QvArgumentRangeException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Za mała długość bloku.\nFUNCTION: QvRijndael::QvRijndael\n"),
                  std::string::npos);
    }
}

TEST(BlockCipherKeys, AesRefusesTwentyOctetsWhichRijndaelAccepts)
{
    Bytes key(20, 0x11);
    QvAes aes;
    try {
        aes.setKey(key.data(), 20, QV_KEY_EXPANSION_BOTH);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x00000014\nMIN_OCTETS: 0x00000010\nMAX_OCTETS: 0x00000020\n"
                                    "STEP_OCTETS: 0x00000008\n");
        EXPECT_NE(std::string(e.what()).find("FUNCTION: void QvBc::setKey(const QvOctet *externalKey, unsigned int "
                                             "externalKeyOctets, QvKeyExpansionOption expOption)\nFILE: qvbc\n"),
                  std::string::npos);
    }
    QvRijndael rj(4);
    rj.setKey(key.data(), 20, QV_KEY_EXPANSION_BOTH);
    EXPECT_EQ(rj.getNk(), 5u);
    EXPECT_EQ(rj.getNr(), 11u);
    for (unsigned n : {0u, 8u, 15u, 17u, 33u})
        EXPECT_THROW(aes.setKey(key.data(), n, QV_KEY_EXPANSION_BOTH), QvBadKeyLengthException) << n;
}

TEST(BlockCipherKeys, WrongLengthLeavesPreviousKeyInPlace)
{
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes pt = FromHex("00112233445566778899aabbccddeeff");
    QvAes aes;
    aes.setKey(key.data(), 16, QV_KEY_EXPANSION_BOTH);
    const Bytes bad(7, 1);
    EXPECT_THROW(aes.setKey(bad.data(), 7, QV_KEY_EXPANSION_BOTH), QvBadKeyLengthException);
    EXPECT_EQ(ToHex(encryptBlocks(aes, pt)), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(BlockCipherKeys, DesWeakKeysAndParity)
{
    const Bytes weak = FromHex("0101010101010101"), weakNoParity = FromHex("0000000000000000");
    QvDes des;
    EXPECT_THROW(des.setKey(weak.data(), 8, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
    EXPECT_THROW(des.setKey(weakNoParity.data(), 8, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
    try {
        des.setKey(weak.data(), 8, QV_KEY_EXPANSION_BOTH);
    } catch (const QvWeakKeyException& e) {
        EXPECT_EQ(std::string(e.what()), "LIBRARY: libtorvapp\nEXCEPTION: QvWeakKeyException\nREASON: Wykryto słaby "
                                         "lub półsłaby klucz.\nFUNCTION: QvDes::_setKey\nFILE: qvdes\nLINE: 250\n");
    }
    EXPECT_FALSE(des.isKeySet());
    // Every semi-weak key is caught, parity bits ignored.
    const char* semi[] = {"01FE01FE01FE01FE", "1FE01FE00EF10EF1", "E0FEE0FEF1FEF1FE", "FEE0FEE0FEF1FEF1"};
    for (const char* s : semi) {
        Bytes k = FromHex(s);
        EXPECT_TRUE(qvDesIsWeakKey(k.data(), 1)) << s;
        for (auto& b : k)
            b ^= 1;
        EXPECT_TRUE(qvDesIsWeakKey(k.data(), 1)) << s;
    }
    EXPECT_FALSE(qvDesIsWeakKey(weak.data(), 0));

    // A key with even-parity octets: accepted by default, refused with the parity check.
    const Bytes even = FromHex("0023456789abcdef");
    EXPECT_FALSE(qvDesCheckParity(even.data(), 1));
    QvDes plain;
    plain.setKey(even.data(), 8, QV_KEY_EXPANSION_BOTH);
    QvDes strict(true, true);
    EXPECT_THROW(strict.setKey(even.data(), 8, QV_KEY_EXPANSION_BOTH), QvInvalidKeyException);
    Bytes fixed = even;
    qvDesSetParity(fixed.data(), 1);
    EXPECT_EQ(ToHex(fixed), "0123456789abcdef");
    EXPECT_TRUE(qvDesCheckParity(fixed.data(), 1));
    strict.setKey(fixed.data(), 8, QV_KEY_EXPANSION_BOTH);
    // Parity bits do not change the cipher.
    const Bytes pt = FromHex("4e6f772069732074");
    EXPECT_EQ(ToHex(encryptBlocks(plain, pt)), ToHex(encryptBlocks(strict, pt)));
    // A refused key leaves the previous key and schedule in place.
    EXPECT_THROW(strict.setKey(weak.data(), 8, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
    EXPECT_EQ(ToHex(encryptBlocks(strict, pt)), "3fa40e8a984d4815");
}

TEST(BlockCipherKeys, TripleDesWithEqualKeysIsSingleDesAndWeakThirdsAreRefused)
{
    const Bytes k = FromHex("0123456789abcdef");
    Bytes k3;
    for (int i = 0; i < 3; ++i)
        k3.insert(k3.end(), k.begin(), k.end());
    QvTdes tdes;
    tdes.setKey(k3.data(), 24, QV_KEY_EXPANSION_BOTH);
    EXPECT_EQ(ToHex(encryptBlocks(tdes, FromHex("4e6f772069732074"))), "3fa40e8a984d4815");
    for (int which = 0; which < 3; ++which) {
        Bytes kk = k3;
        std::memcpy(kk.data() + 8 * which, FromHex("1f1f1f1f0e0e0e0e").data(), 8);
        QvTdes t;
        EXPECT_THROW(t.setKey(kk.data(), 24, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
        QvDesEee e;
        EXPECT_THROW(e.setKey(kk.data(), 24, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
        QvTdes lax(false, false);
        lax.setKey(kk.data(), 24, QV_KEY_EXPANSION_BOTH);
    }
    Bytes x(40, 0x5a);
    std::memcpy(x.data(), FromHex("0101010101010101").data(), 8); // whitening values are not DES keys
    QvDesXeeex dx;
    dx.setKey(x.data(), 40, QV_KEY_EXPANSION_BOTH);
    std::memcpy(x.data() + 16, FromHex("fefefefefefefefe").data(), 8);
    EXPECT_THROW(dx.setKey(x.data(), 40, QV_KEY_EXPANSION_BOTH), QvWeakKeyException);
    EXPECT_THROW(tdes.setKey(k3.data(), 16, QV_KEY_EXPANSION_BOTH), QvBadKeyLengthException);
}

TEST(BlockCipherKeys, Rc2KeyLengthAndEffectiveBitsLimits)
{
    QvRc2 rc2;
    Bytes key(129, 7);
    EXPECT_THROW(rc2.setKey(key.data(), 0, QV_KEY_EXPANSION_BOTH), QvBadKeyLengthException);
    try {
        rc2.setKey(key.data(), 129, 64, QV_KEY_EXPANSION_BOTH);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x00000081\nMIN_OCTETS: 0x00000001\nMAX_OCTETS: 0x00000080\n"
                                    "STEP_OCTETS: 0x00000000\n");
    }
    EXPECT_THROW(rc2.setKey(key.data(), 8, 0, QV_KEY_EXPANSION_BOTH), QvArgumentRangeException);
    EXPECT_THROW(rc2.setKey(key.data(), 8, 1025, QV_KEY_EXPANSION_BOTH), QvArgumentRangeException);
    EXPECT_FALSE(rc2.isKeySet());
    rc2.setKey(key.data(), 128, QV_KEY_EXPANSION_BOTH);
    EXPECT_EQ(rc2.getEffectiveKeyBits(), 1024u);
    rc2.setKey(key.data(), 8, 1, QV_KEY_EXPANSION_BOTH);
    EXPECT_EQ(rc2.getEffectiveKeyBits(), 1u);
}

TEST(BlockCipherUse, BlocksWithoutKeyAreRefused)
{
    for (unsigned id = 1; id <= 7; ++id) {
        auto bc = make(id);
        QvOctet b[32] = {};
        EXPECT_THROW(bc->encryptBlock(b, b), QvNotInitException) << id;
        EXPECT_THROW(bc->decryptBlock(b, b), QvNotInitException) << id;
        EXPECT_THROW(bc->expandKey(QV_KEY_EXPANSION_BOTH), QvNotInitException) << id;
    }
    QvAes aes;
    QvOctet b[16] = {};
    try {
        aes.encryptBlock(b, b);
    } catch (const QvNotInitException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nie wprowadzony klucz.\nFUNCTION: QvBc::encryptBlock\n"),
                  std::string::npos);
    }
}

TEST(BlockCipherUse, NullOutputEncryptsInPlaceAndDecryptionScheduleIsBuiltOnFirstUse)
{
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
    QvAes aes;
    aes.setKey(key.data(), 16, QV_KEY_EXPANSION_ENCRYPT);
    EXPECT_TRUE(aes.isEncScheduleBuilt());
    EXPECT_FALSE(aes.isDecScheduleBuilt());
    Bytes b = FromHex("00112233445566778899aabbccddeeff");
    aes.encryptBlock(b.data(), nullptr);
    EXPECT_EQ(ToHex(b), "69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_FALSE(aes.isDecScheduleBuilt());
    aes.decryptBlock(b.data(), nullptr);
    EXPECT_TRUE(aes.isDecScheduleBuilt());
    EXPECT_EQ(ToHex(b), "00112233445566778899aabbccddeeff");
    // Ciphers with one common schedule mark both as built.
    QvDes des;
    des.setKey(FromHex("0123456789abcdef").data(), 8, QV_KEY_EXPANSION_ENCRYPT);
    EXPECT_TRUE(des.isEncScheduleBuilt());
    EXPECT_TRUE(des.isDecScheduleBuilt());
}

TEST(BlockCipherUse, CloneCarriesKeyAndSchedules)
{
    std::mt19937 rng(11);
    for (unsigned id = 1; id <= 7; ++id) {
        auto bc = make(id);
        Bytes key = randomBytes(rng, bc->getMaxKeyOctets());
        if (id >= 3 && id <= 6)
            qvDesSetParity(key.data(), unsigned(key.size() / 8));
        bc->setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_BOTH);
        std::unique_ptr<QvBc> copy(bc->clone());
        bc.reset(); // the copy owns its own state
        auto fresh = make(id);
        fresh->setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_BOTH);
        const Bytes pt = randomBytes(rng, copy->getBlockOctets());
        EXPECT_EQ(ToHex(encryptBlocks(*copy, pt)), ToHex(encryptBlocks(*fresh, pt))) << id;
        EXPECT_EQ(copy->getAlgoId(), id);
    }
}

TEST(BlockCipherFactory, IdentitiesOfEveryCipher)
{
    struct Row {
        unsigned id;
        const char* name;
        unsigned block, minK, maxK, step;
        const char* der;
    };
    const Row rows[] = {{1, "AES", 16, 16, 32, 8, "060728818c71030201"},
                        {2, "RIJNDAEL", 16, 16, 32, 4, "0600"},
                        {3, "DES", 8, 8, 8, 0, "06052b0e030206"},
                        {4, "TDES", 8, 24, 24, 0, "060728818c71030101"},
                        {5, "DES-EEE", 8, 24, 24, 0, "060a2b0601040181fd590401"},
                        {6, "DES-XEEEX", 8, 40, 40, 0, "060a2b0601040181fd590402"},
                        {7, "RC2", 8, 1, 128, 0, "06082a864886f70d0303"}};
    for (const Row& r : rows) {
        auto bc = make(r.id);
        EXPECT_EQ(bc->getAlgoId(), r.id);
        EXPECT_STREQ(bc->getName(), r.name);
        EXPECT_EQ(bc->getBlockOctets(), r.block);
        EXPECT_EQ(bc->getMinKeyOctets(), r.minK);
        EXPECT_EQ(bc->getMaxKeyOctets(), r.maxK);
        EXPECT_EQ(bc->getKeyStepOctets(), r.step);
        const QvOctet* der = bc->getOidDer();
        EXPECT_EQ(ToHex(der, 2u + der[1]), r.der) << r.name;
        // The arc list and the DER encoding name the same identifier.
        const std::uint32_t* arcs = bc->getOidArcs();
        if (arcs[0] > 0) {
            EXPECT_EQ(std::uint32_t(der[2]), 40 * arcs[1] + arcs[2]) << r.name;
        }
        EXPECT_EQ(bc->hasSeparateSchedules(), r.id <= 2);
    }
    for (unsigned id : {0u, 8u, 100u}) {
        try {
            qvBcCreateObject(id);
            FAIL() << id;
        } catch (const QvLibNotImplementedException& e) {
            EXPECT_NE(std::string(e.what()).find("REASON: Nieznany identyfikator.\nFUNCTION: qvBcCreateObject\n"
                                                 "FILE: qvbc\n"),
                      std::string::npos);
        }
    }
}
