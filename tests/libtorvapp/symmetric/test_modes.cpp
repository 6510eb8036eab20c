// Modes of operation: SP 800-38A known answers, OpenSSL as an independent
// reference over random keys, IVs, lengths and chunkings, padding rules, the
// session discipline and buffer checks.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "libtorvapp/qvcbc.h"
#include "libtorvapp/qvcommon/qvcpu.h"
#include "libtorvapp/qvcfb.h"
#include "libtorvapp/qvctr.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvecb.h"
#include "libtorvapp/qvofb.h"
#include "libtorvapp/qvrc2.h"
#include "libtorvapp/qvsc1.h"
#include "libtorvapp/qvsc2.h"
#include "libtorvapp/qvsymenc.h"
#include "symtest.h"

namespace {

// Runs one session, feeding the input in random chunk sizes.
Bytes run(QvSymEnc& m, unsigned dir, const Bytes& iv, const Bytes& in, std::mt19937* rng = nullptr)
{
    m.init(dir, iv.empty() ? nullptr : iv.data(), unsigned(iv.size()));
    Bytes out(in.size() + 64);
    unsigned w = 0;
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t take = in.size() - pos;
        if (rng != nullptr)
            take = std::min<std::size_t>(take, (*rng)() % 40);
        w += m.step(in.data() + pos, unsigned(take), out.data() + w);
        pos += take;
    }
    w += m.finish(out.data() + w);
    out.resize(w);
    return out;
}

Bytes pkcs5(const Bytes& in, unsigned u)
{
    Bytes p = in;
    const unsigned pad = u - unsigned(in.size() % u);
    p.insert(p.end(), pad, std::uint8_t(pad));
    return p;
}

std::unique_ptr<QvSymEnc> makeMode(const std::string& mode, unsigned cipherId, unsigned pad)
{
    if (mode == "ECB")
        return std::unique_ptr<QvSymEnc>(new QvEcb(cipherId, pad));
    if (mode == "CBC")
        return std::unique_ptr<QvSymEnc>(new QvCbc(cipherId, pad));
    if (mode == "CFB8")
        return std::unique_ptr<QvSymEnc>(new QvCfb(cipherId, 1, 1, 1, pad));
    if (mode == "CFBFULL")
        return std::unique_ptr<QvSymEnc>(new QvCfb(cipherId, 1, 0, 0, pad));
    if (mode == "OFB")
        return std::unique_ptr<QvSymEnc>(new QvOfb(cipherId, 0, pad));
    return std::unique_ptr<QvSymEnc>(new QvCtr(cipherId, 0, pad));
}

} // namespace

TEST(ModeKnownAnswers, Sp80038aVectors)
{
    for (const auto& r : ReadRecords(DataFile("sp800_38a.txt"))) {
        const std::string mode = r.at("mode");
        const Bytes key = FromHex(r.at("key")), iv = FromHex(r.at("iv")), pt = FromHex(r.at("plain")), ct = FromHex(r.at("cipher"));
        auto m = makeMode(mode == "CFB128" ? "CFBFULL" : mode, QV_BC_ALGO_AES, QV_SYM_PAD_NONE);
        m->setKey(key.data(), unsigned(key.size()));
        EXPECT_EQ(ToHex(run(*m, QV_SYM_ENCRYPT, iv, pt)), ToHex(ct)) << mode << " " << r.at("key");
        EXPECT_EQ(ToHex(run(*m, QV_SYM_DECRYPT, iv, ct)), ToHex(pt)) << mode << " " << r.at("key");
    }
}

TEST(ModeDifferential, AgreesWithOpenSslOverRandomInputsAndChunkings)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    std::mt19937 rng(42);
    struct Case {
        const char* mode;
        unsigned cipher;
        unsigned keyLen;
        const char* evp;
    };
    const Case cases[] = {
        {"ECB", QV_BC_ALGO_AES, 16, "AES-128-ECB"},    {"CBC", QV_BC_ALGO_AES, 16, "AES-128-CBC"},
        {"CBC", QV_BC_ALGO_AES, 24, "AES-192-CBC"},    {"CBC", QV_BC_ALGO_AES, 32, "AES-256-CBC"},
        {"CFB8", QV_BC_ALGO_AES, 16, "AES-128-CFB8"},  {"CFBFULL", QV_BC_ALGO_AES, 32, "AES-256-CFB"},
        {"OFB", QV_BC_ALGO_AES, 16, "AES-128-OFB"},    {"CTR", QV_BC_ALGO_AES, 16, "AES-128-CTR"},
        {"CTR", QV_BC_ALGO_AES, 32, "AES-256-CTR"},    {"ECB", QV_BC_ALGO_DES, 8, "DES-ECB"},
        {"CBC", QV_BC_ALGO_DES, 8, "DES-CBC"},         {"CFB8", QV_BC_ALGO_DES, 8, "DES-CFB8"},
        {"CFBFULL", QV_BC_ALGO_DES, 8, "DES-CFB"},     {"OFB", QV_BC_ALGO_DES, 8, "DES-OFB"},
        {"ECB", QV_BC_ALGO_TDES, 24, "DES-EDE3-ECB"},  {"CBC", QV_BC_ALGO_TDES, 24, "DES-EDE3-CBC"},
        {"CFB8", QV_BC_ALGO_TDES, 24, "DES-EDE3-CFB8"}, {"CFBFULL", QV_BC_ALGO_TDES, 24, "DES-EDE3-CFB"},
        {"OFB", QV_BC_ALGO_TDES, 24, "DES-EDE3-OFB"},  {"ECB", QV_BC_ALGO_RC2, 16, "RC2-ECB"},
        {"CBC", QV_BC_ALGO_RC2, 16, "RC2-CBC"},        {"CFBFULL", QV_BC_ALGO_RC2, 16, "RC2-CFB"},
        {"OFB", QV_BC_ALGO_RC2, 16, "RC2-OFB"},        {"OFB", QV_BC_ALGO_AES, 24, "AES-192-OFB"},
        {"CTR", QV_BC_ALGO_AES, 24, "AES-192-CTR"},    {"CFB8", QV_BC_ALGO_AES, 32, "AES-256-CFB8"},
        {"ECB", QV_BC_ALGO_AES, 32, "AES-256-ECB"}};
    for (const Case& c : cases) {
        for (int round = 0; round < 25; ++round) {
            Bytes key = randomBytes(rng, c.keyLen);
            if (c.cipher == QV_BC_ALGO_DES || c.cipher == QV_BC_ALGO_TDES)
                qvDesSetParity(key.data(), c.keyLen / 8);
            if ((c.cipher == QV_BC_ALGO_DES || c.cipher == QV_BC_ALGO_TDES) && qvDesIsWeakKey(key.data(), c.keyLen / 8))
                continue;
            for (unsigned pad : {unsigned(QV_SYM_PAD_NONE), unsigned(QV_SYM_PAD_PKCS5)}) {
                auto m = makeMode(c.mode, c.cipher, pad);
                m->setKey(key.data(), c.keyLen);
                const unsigned u = m->getDataUnitOctets();
                const Bytes iv = randomBytes(rng, m->getIvOctets());
                std::size_t len = rng() % 300;
                if (pad == QV_SYM_PAD_NONE)
                    len -= len % u;
                const Bytes pt = randomBytes(rng, len);
                const Bytes model = evpCrypt(c.evp, true, key, iv, pad == QV_SYM_PAD_NONE ? pt : pkcs5(pt, u));
                const Bytes ct = run(*m, QV_SYM_ENCRYPT, iv, pt, &rng);
                ASSERT_EQ(ToHex(ct), ToHex(model)) << c.mode << " " << c.evp << " pad " << pad << " len " << len;
                ASSERT_EQ(ToHex(run(*m, QV_SYM_DECRYPT, iv, ct, &rng)), ToHex(pt)) << c.mode << " " << c.evp;
            }
        }
    }
}

// Long messages through AES, in one step and in chunks that split blocks, with
// the processor's AES instructions (where it has them) and with the portable
// core in one process: runs of eight blocks and more, CTR's runs of 64 blocks
// and the single blocks after them all agree with OpenSSL.
TEST(ModeDifferential, LongAesMessagesAgreeWithOpenSslOnBothPaths)
{
    std::mt19937 rng(1207);
    const bool forcedBefore = qvCpuPortableForced();
    const char* modes[] = {"ECB", "CBC", "CTR"};
    for (bool portable : {false, true}) {
        qvCpuForcePortable(portable);
        for (unsigned keyLen : {16u, 24u, 32u}) {
            for (const char* mode : modes) {
                const std::string evp = "AES-" + std::to_string(keyLen * 8) + "-" + mode;
                const Bytes key = randomBytes(rng, keyLen);
                auto m = makeMode(mode, QV_BC_ALGO_AES, QV_SYM_PAD_NONE);
                m->setKey(key.data(), keyLen);
                for (std::size_t blocks : {1u, 7u, 8u, 9u, 16u, 63u, 64u, 65u, 71u, 300u}) {
                    const Bytes iv = randomBytes(rng, m->getIvOctets());
                    const Bytes pt = randomBytes(rng, 16 * blocks);
                    const Bytes model = evpCrypt(evp.c_str(), true, key, iv, pt);
                    const std::string where = evp + (portable ? " portable " : " native ") + std::to_string(blocks);
                    ASSERT_EQ(ToHex(run(*m, QV_SYM_ENCRYPT, iv, pt)), ToHex(model)) << where;
                    ASSERT_EQ(ToHex(run(*m, QV_SYM_ENCRYPT, iv, pt, &rng)), ToHex(model)) << where;
                    ASSERT_EQ(ToHex(run(*m, QV_SYM_DECRYPT, iv, model)), ToHex(pt)) << where;
                    ASSERT_EQ(ToHex(run(*m, QV_SYM_DECRYPT, iv, model, &rng)), ToHex(pt)) << where;
                }
            }
        }
    }
    qvCpuForcePortable(forcedBefore);
}

// A cipher's runs of blocks equal its single blocks, in place and apart, for
// every cipher; the CBC runs leave the last ciphertext block as the chain.
TEST(ModeDifferential, RunsOfBlocksEqualSingleBlocksForEveryCipher)
{
    std::mt19937 rng(31);
    const bool forcedBefore = qvCpuPortableForced();
    for (bool portable : {false, true}) {
        qvCpuForcePortable(portable);
        for (unsigned id = QV_BC_ALGO_AES; id <= QV_BC_ALGO_RC2; ++id) {
            std::unique_ptr<QvBc> bc(qvBcCreateObject(id));
            Bytes key = randomBytes(rng, bc->getMinKeyOctets() == bc->getMaxKeyOctets() ? bc->getMinKeyOctets() : 16);
            if (id >= QV_BC_ALGO_DES && id <= QV_BC_ALGO_DES_XEEEX)
                qvDesSetParity(key.data(), unsigned(key.size() / 8));
            bc->setKey(key.data(), unsigned(key.size()), QV_KEY_EXPANSION_BOTH);
            const unsigned n = bc->getBlockOctets();
            const std::size_t count = 19;
            const Bytes pt = randomBytes(rng, n * count);
            const Bytes iv = randomBytes(rng, n);
            Bytes ecb(pt.size()), cbc(pt.size());
            Bytes chain = iv;
            for (std::size_t b = 0; b < count; ++b) {
                bc->encryptBlock(pt.data() + b * n, ecb.data() + b * n);
                for (unsigned i = 0; i < n; ++i)
                    chain[i] ^= pt[b * n + i];
                bc->encryptBlock(chain.data(), nullptr);
                std::memcpy(cbc.data() + b * n, chain.data(), n);
            }
            const std::string name = bc->getName();
            Bytes out(pt.size()), c = iv;
            bc->runBlocks(QvBcRun::Encrypt, pt.data(), out.data(), count, nullptr);
            EXPECT_EQ(ToHex(out), ToHex(ecb)) << name;
            bc->runBlocks(QvBcRun::Decrypt, out.data(), out.data(), count, nullptr);
            EXPECT_EQ(ToHex(out), ToHex(pt)) << name << " in place";
            bc->runBlocks(QvBcRun::CbcEncrypt, pt.data(), out.data(), count, c.data());
            EXPECT_EQ(ToHex(out), ToHex(cbc)) << name;
            EXPECT_EQ(ToHex(c), ToHex(Bytes(cbc.end() - n, cbc.end()))) << name;
            c = iv;
            bc->runBlocks(QvBcRun::CbcDecrypt, out.data(), out.data(), count, c.data());
            EXPECT_EQ(ToHex(out), ToHex(pt)) << name << " in place";
            EXPECT_EQ(ToHex(c), ToHex(Bytes(cbc.end() - n, cbc.end()))) << name;
        }
    }
    qvCpuForcePortable(forcedBefore);
}

TEST(ModeDifferential, ProcessEqualsSessionAndFactoryDefaultsAreAesWithPkcs5)
{
    std::mt19937 rng(5);
    const Bytes key = randomBytes(rng, 16), iv = randomBytes(rng, 16), pt = randomBytes(rng, 45);
    for (unsigned id : {0u, 1u, 2u, 3u, 4u}) {
        std::unique_ptr<QvSymEnc> m(qvSymEncCreateObject(id));
        m->setKey(key.data(), 16);
        Bytes out(pt.size() + 32);
        const unsigned n = m->process(QV_SYM_ENCRYPT, iv.data(), 16, pt.data(), unsigned(pt.size()), out.data());
        out.resize(n);
        EXPECT_EQ(n, 48u) << id;
        EXPECT_EQ(ToHex(out), ToHex(run(*m, QV_SYM_ENCRYPT, iv, pt))) << id;
        EXPECT_EQ(ToHex(run(*m, QV_SYM_DECRYPT, iv, out)), ToHex(pt)) << id;
    }
}

TEST(ModePadding, CbcPkcs5OfEmptyAndOfOneBlock)
{
    const Bytes key(16, 0x2a), iv(16, 0x01);
    QvCbc cbc;
    cbc.setKey(key.data(), 16);
    const Bytes empty = run(cbc, QV_SYM_ENCRYPT, iv, {});
    ASSERT_EQ(empty.size(), 16u);
    QvCbc raw(QV_BC_ALGO_AES, QV_SYM_PAD_NONE);
    raw.setKey(key.data(), 16);
    EXPECT_EQ(ToHex(run(raw, QV_SYM_DECRYPT, iv, empty)), std::string(32, '0').replace(0, 32, "10101010101010101010101010101010"));
    EXPECT_EQ(run(cbc, QV_SYM_ENCRYPT, iv, Bytes(16, 7)).size(), 32u);

    // Decryption of 2n octets: n in step, the unpadded rest in finish.
    const Bytes pt(20, 0x33);
    const Bytes ct = run(cbc, QV_SYM_ENCRYPT, iv, pt);
    ASSERT_EQ(ct.size(), 32u);
    cbc.init(QV_SYM_DECRYPT, iv.data(), 16);
    Bytes out(64);
    EXPECT_EQ(cbc.step(ct.data(), 32, out.data()), 16u);
    EXPECT_EQ(cbc.finish(out.data() + 16), 4u);
}

TEST(ModePadding, NoPaddingWithPartialBlockIsRefusedAndSessionCloses)
{
    const Bytes key = FromHex("0123456789abcdef"), iv(8, 0);
    QvCbc cbc(QV_BC_ALGO_DES, QV_SYM_PAD_NONE);
    cbc.setKey(key.data(), 8);
    cbc.init(QV_SYM_ENCRYPT, iv.data(), 8);
    QvOctet in[7] = {1, 2, 3, 4, 5, 6, 7}, out[16];
    EXPECT_EQ(cbc.step(in, 7, out), 0u);
    try {
        cbc.finish(out);
        FAIL();
    } catch (const QvEncryptionDecryptionException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Niewłaściwa długość danych przy braku dopełnienia.\n"
                                             "FUNCTION: QvCbc::finishEncrypt\nFILE: qvcbc\n"),
                  std::string::npos);
    }
    EXPECT_FALSE(cbc.isSessionOpen());
    EXPECT_THROW(cbc.finish(out), QvFsmException);
    // A ciphertext that is not a whole number of blocks fails on decryption too.
    QvEcb ecb(QV_BC_ALGO_DES, QV_SYM_PAD_PKCS5);
    ecb.setKey(key.data(), 8);
    ecb.init(QV_SYM_DECRYPT);
    ecb.step(in, 7, out);
    EXPECT_THROW(ecb.finish(out), QvEncryptionDecryptionException);
}

TEST(ModePadding, UnpadRefusesMalformedPadding)
{
    const Bytes good = FromHex("41424344040404040000000000000000");
    // PKCS#5: a last octet of 0 or above the block length is refused.
    EXPECT_EQ(qvSymEncUnpad(0, FromHex("4142434404040404").data(), 8), 4u);
    EXPECT_EQ(qvSymEncUnpad(0, FromHex("0808080808080808").data(), 8), 0u);
    EXPECT_THROW(qvSymEncUnpad(0, FromHex("4142434404040400").data(), 8), QvEncryptionDecryptionException);
    EXPECT_THROW(qvSymEncUnpad(0, FromHex("4142434404040409").data(), 8), QvEncryptionDecryptionException);
    EXPECT_THROW(qvSymEncUnpad(0, FromHex("4142434405040404").data(), 8), QvEncryptionDecryptionException);
    // ISO 9797-1 method 2 and the 01 variant.
    EXPECT_THROW(qvSymEncUnpad(1, FromHex("0000000000000000").data(), 8), QvEncryptionDecryptionException);
    EXPECT_EQ(qvSymEncUnpad(1, FromHex("4142434480000000").data(), 8), 4u);
    EXPECT_EQ(qvSymEncUnpad(1, FromHex("4142434445800000").data(), 8), 5u);
    EXPECT_THROW(qvSymEncUnpad(1, FromHex("4142434401000000").data(), 8), QvEncryptionDecryptionException);
    EXPECT_EQ(qvSymEncUnpad(2, FromHex("4142434401000000").data(), 8), 4u);
    EXPECT_EQ(qvSymEncUnpad(3, FromHex("4142434401000000").data(), 8), 8u);
    try {
        qvSymEncUnpad(0, FromHex("00").data(), 1);
        FAIL();
    } catch (const QvEncryptionDecryptionException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Niewłaściwe dopełnienie.\nFUNCTION: qvSymEncUnpad\n"),
                  std::string::npos);
    }
    EXPECT_THROW(qvSymEncUnpad(4, good.data(), 8), QvLibNotImplementedException);
    Bytes b(8, 0xAA);
    EXPECT_THROW(qvSymEncPad(4, b.data(), 8, 3), QvLibNotImplementedException);
    qvSymEncPad(1, b.data(), 8, 3);
    EXPECT_EQ(ToHex(b), "aaaaaa8000000000");
    qvSymEncPad(2, b.data(), 8, 5);
    EXPECT_EQ(ToHex(b), "aaaaaa8000010000");
    qvSymEncPad(0, b.data(), 8, 6);
    EXPECT_EQ(ToHex(b), "aaaaaa8000010202");
    // A tampered last block of a CBC message is refused in finish.
    const Bytes key(16, 9), iv(16, 3);
    QvCbc cbc;
    cbc.setKey(key.data(), 16);
    Bytes ct = run(cbc, QV_SYM_ENCRYPT, iv, Bytes(16, 0x55));
    QvCbc raw(QV_BC_ALGO_AES, QV_SYM_PAD_NONE);
    raw.setKey(key.data(), 16);
    Bytes plain = run(raw, QV_SYM_DECRYPT, iv, ct);
    plain[31] = 0x00;
    ct = run(raw, QV_SYM_ENCRYPT, iv, plain);
    EXPECT_THROW(run(cbc, QV_SYM_DECRYPT, iv, ct), QvEncryptionDecryptionException);
}

TEST(ModeSession, StateRulesAndTexts)
{
    QvCbc cbc;
    QvOctet buf[64] = {};
    try {
        cbc.init(QV_SYM_ENCRYPT, buf, 16);
        FAIL();
    } catch (const QvNotInitException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nie wprowadzony klucz.\nFUNCTION: QvCbc::init\n"),
                  std::string::npos);
    }
    QvOfb ofb;
    try {
        ofb.init(QV_SYM_ENCRYPT, buf, 16);
        FAIL();
    } catch (const QvNotInitException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nie wprowadzono klucza.\n"), std::string::npos);
    }
    cbc.setKey(buf, 16);
    try {
        cbc.init(QV_SYM_ENCRYPT, buf, 15);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Zła długość wektora początkowego.\n"), std::string::npos);
        EXPECT_STREQ(e.getDetail(), "OCTETS: 0x0000000f\nMIN_OCTETS: 0x00000010\nMAX_OCTETS: 0x00000010\n"
                                    "STEP_OCTETS: 0x00000000\n");
    }
    ofb.setKey(buf, 16);
    try {
        ofb.init(QV_SYM_ENCRYPT, buf, 3);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Zbyt krótki wektor początkowy.\n"), std::string::npos);
    }
    QvCfb cfb;
    cfb.setKey(buf, 16);
    try {
        cfb.init(QV_SYM_ENCRYPT, buf, 3);
        FAIL();
    } catch (const QvBadKeyLengthException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nieprawidłowa długość wektora początkowego.\n"),
                  std::string::npos);
    }
    try {
        cbc.step(buf, 16, buf + 32);
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nie rozpoczęta sesja.\nFUNCTION: QvCbc::step\n"),
                  std::string::npos);
    }
    EXPECT_THROW(cbc.finish(buf), QvFsmException);
    // A longer IV is accepted; only its first n octets are used.
    QvOctet longIv[40] = {};
    cbc.init(QV_SYM_ENCRYPT, longIv, 40);
    EXPECT_TRUE(cbc.isSessionOpen());
    // setKey closes the session.
    cbc.setKey(buf, 16);
    EXPECT_FALSE(cbc.isSessionOpen());
    EXPECT_THROW(cbc.step(buf, 16, buf + 32), QvFsmException);
}

TEST(ModeSession, OverlappingBuffersAreRefusedAndSessionSurvives)
{
    QvOctet buf[96] = {};
    QvCtr ctr(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE);
    ctr.setKey(buf, 16);
    ctr.init(QV_SYM_ENCRYPT, buf, 16);
    try {
        ctr.step(buf, 32, buf);
        FAIL();
    } catch (const QvBufferOverlapException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Bufory nachodzą na siebie.\nFUNCTION: QvCtr::step\n"),
                  std::string::npos);
    }
    EXPECT_THROW(ctr.step(buf + 16, 32, buf), QvBufferOverlapException);
    // The output area covers what the step may write, not only its first unit.
    EXPECT_THROW(ctr.step(buf + 40, 32, buf + 16), QvBufferOverlapException);
    EXPECT_EQ(ctr.step(buf, 0, buf), 0u); // nothing to write
    // After a refused step the session goes on unchanged.
    EXPECT_EQ(ctr.step(buf, 32, buf + 48), 32u);
    QvEcb ecb;
    ecb.setKey(buf, 16);
    ecb.init(QV_SYM_ENCRYPT);
    try {
        ecb.step(buf, 16, buf);
        FAIL();
    } catch (const QvBufferOverlapException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nachodzące na siebie bufory.\n"), std::string::npos);
    }
    EXPECT_THROW(ecb.step(nullptr, 16, buf), QvArgumentRangeException);
    EXPECT_THROW(ecb.step(buf, 16, nullptr), QvArgumentRangeException);
}

TEST(ModeCounter, CounterOfAllOnesWrapsToZero)
{
    const Bytes key(16, 0x77);
    QvCtr ctr(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE);
    ctr.setKey(key.data(), 16);
    const Bytes ks = run(ctr, QV_SYM_ENCRYPT, Bytes(16, 0xFF), Bytes(32, 0));
    const Bytes e0 = evpCrypt("AES-128-ECB", true, key, {}, Bytes(16, 0));
    const Bytes e1 = evpCrypt("AES-128-ECB", true, key, {}, Bytes(16, 0xFF));
    EXPECT_EQ(ToHex(ks), ToHex(e1) + ToHex(e0));
    // A shorter segment takes only the first s octets of each keystream block.
    QvCtr ctr4(QV_BC_ALGO_AES, 4, QV_SYM_PAD_NONE);
    ctr4.setKey(key.data(), 16);
    const Bytes ks4 = run(ctr4, QV_SYM_ENCRYPT, Bytes(16, 0xFF), Bytes(8, 0));
    EXPECT_EQ(ToHex(ks4), ToHex(e1).substr(0, 8) + ToHex(e0).substr(0, 8));
}

// Runs of blocks whose counter carries out of its low eight octets, or wraps
// past the top, on both code paths: the counter is one 128-bit number.
TEST(ModeCounter, CarriesCrossTheWholeBlockInLongRuns)
{
    const bool forcedBefore = qvCpuPortableForced();
    std::mt19937 rng(99);
    const Bytes key = randomBytes(rng, 16);
    const Bytes pt = randomBytes(rng, 16 * 40);
    Bytes nearHalf(16, 0);
    for (int i = 8; i < 16; ++i)
        nearHalf[i] = 0xFF;
    nearHalf[15] = 0xFA;
    Bytes nearTop(16, 0xFF);
    nearTop[15] = 0xF0;
    for (bool portable : {false, true}) {
        qvCpuForcePortable(portable);
        QvCtr ctr(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE);
        ctr.setKey(key.data(), 16);
        for (const Bytes& iv : {nearHalf, nearTop}) {
            // OpenSSL's CTR also counts over the whole block.
            const Bytes model = evpCrypt("AES-128-CTR", true, key, iv, pt);
            EXPECT_EQ(ToHex(run(ctr, QV_SYM_ENCRYPT, iv, pt)), ToHex(model)) << ToHex(iv) << " " << portable;
            EXPECT_EQ(ToHex(run(ctr, QV_SYM_ENCRYPT, iv, pt, &rng)), ToHex(model)) << ToHex(iv) << " " << portable;
        }
    }
    qvCpuForcePortable(forcedBefore);
}

TEST(ModeFeedback, CfbWithShortSegmentAndFullFeedbackMatchesModel)
{
    // DES, m = 1, k = 8, j = 1: the feedback is seven FF octets and the ciphertext octet.
    const Bytes key = FromHex("0123456789abcdef"), iv = FromHex("1234567890abcdef");
    QvCfb cfb(QV_BC_ALGO_DES, 1, 8, 1, QV_SYM_PAD_NONE);
    EXPECT_EQ(cfb.getFeedbackOctets(), 8u);
    EXPECT_EQ(cfb.getSegmentOctets(), 1u);
    cfb.setKey(key.data(), 8);
    std::mt19937 rng(9);
    const Bytes pt = randomBytes(rng, 20);
    Bytes reg = iv, model;
    for (std::uint8_t p : pt) {
        const Bytes o = evpCrypt("DES-ECB", true, key, {}, reg);
        const std::uint8_t c = std::uint8_t(p ^ o[0]);
        model.push_back(c);
        reg.assign(7, 0xFF);
        reg.push_back(c);
    }
    EXPECT_EQ(ToHex(run(cfb, QV_SYM_ENCRYPT, iv, pt, &rng)), ToHex(model));
    EXPECT_EQ(ToHex(run(cfb, QV_SYM_DECRYPT, iv, model, &rng)), ToHex(pt));
    // Two register blocks, feedback 8: each block's input is the register's oldest block.
    QvCfb cfb2(QV_BC_ALGO_DES, 2, 0, 0, QV_SYM_PAD_NONE);
    cfb2.setKey(key.data(), 8);
    EXPECT_EQ(cfb2.getIvOctets(), 16u);
    const Bytes iv2 = randomBytes(rng, 16), pt2 = randomBytes(rng, 40);
    Bytes r0(iv2.begin(), iv2.begin() + 8), r1(iv2.begin() + 8, iv2.end()), model2;
    for (std::size_t i = 0; i < pt2.size(); i += 8) {
        const Bytes o = evpCrypt("DES-ECB", true, key, {}, r0);
        Bytes c(8);
        for (int b = 0; b < 8; ++b)
            c[b] = std::uint8_t(pt2[i + b] ^ o[b]);
        model2.insert(model2.end(), c.begin(), c.end());
        r0 = r1;
        r1 = c;
    }
    EXPECT_EQ(ToHex(run(cfb2, QV_SYM_ENCRYPT, iv2, pt2, &rng)), ToHex(model2));
    // Setter bounds: 0 or too large stores the bound; setting k also sets j.
    QvCfb c3(QV_BC_ALGO_AES, 0, 0, 0, QV_SYM_PAD_NONE);
    EXPECT_EQ(c3.getRegisterBlocks(), 1u);
    // A register that would wrap its length around 32 bits is refused.
    EXPECT_THROW(QvCfb(QV_BC_ALGO_AES, 0x10000000u, 0, 0, QV_SYM_PAD_NONE), QvArgumentRangeException);
    EXPECT_THROW(c3.setRegisterBlocks(4097), QvArgumentRangeException);
    c3.setRegisterBlocks(4096);
    EXPECT_EQ(c3.getIvOctets(), 65536u);
    c3.setFeedbackOctets(40);
    EXPECT_EQ(c3.getFeedbackOctets(), 16u);
    c3.setFeedbackOctets(4);
    EXPECT_EQ(c3.getSegmentOctets(), 4u);
    c3.setSegmentOctets(9);
    EXPECT_EQ(c3.getSegmentOctets(), 4u);
    c3.setSegmentOctets(2);
    EXPECT_EQ(c3.getSegmentOctets(), 2u);
}

TEST(ModeObjects, CloneContinuesTheSessionAndSc1IsCbcWithZeroIv)
{
    std::mt19937 rng(77);
    const Bytes key = randomBytes(rng, 16), iv = randomBytes(rng, 16), pt = randomBytes(rng, 77);
    QvCbc cbc;
    cbc.setKey(key.data(), 16);
    cbc.init(QV_SYM_ENCRYPT, iv.data(), 16);
    Bytes a(128), b(128);
    unsigned wa = cbc.step(pt.data(), 30, a.data());
    std::memcpy(b.data(), a.data(), wa);
    std::unique_ptr<QvSymEnc> copy(cbc.clone());
    unsigned wb = wa;
    wa += cbc.step(pt.data() + 30, 47, a.data() + wa);
    wa += cbc.finish(a.data() + wa);
    wb += copy->step(pt.data() + 30, 47, b.data() + wb);
    wb += copy->finish(b.data() + wb);
    EXPECT_EQ(wa, wb);
    EXPECT_EQ(ToHex(a.data(), wa), ToHex(b.data(), wb));

    QvSc1 sc1;
    sc1.setKey(key.data(), 16);
    EXPECT_EQ(ToHex(run(sc1, QV_SYM_ENCRYPT, {}, pt)), ToHex(evpCrypt("AES-128-CBC", true, key, Bytes(16, 0),
                                                                        pkcs5(pt, 16))));
    EXPECT_EQ(sc1.getIvOctets(), 0u);
    EXPECT_STREQ(sc1.getName(), "SC1");

    // Changing the cipher needs a new key and resizes the mode.
    cbc.setCipher(QV_BC_ALGO_DES);
    EXPECT_FALSE(cbc.isKeySet());
    EXPECT_EQ(cbc.getIvOctets(), 8u);
    QvOctet buf[8] = {};
    EXPECT_THROW(cbc.init(QV_SYM_ENCRYPT, buf, 8), QvNotInitException);
    QvRc2 rc2;
    rc2.setKey(key.data(), 5, 40, QV_KEY_EXPANSION_BOTH);
    QvCbc byObject(rc2, QV_SYM_PAD_PKCS5);
    EXPECT_TRUE(byObject.isKeySet());
    EXPECT_EQ(ToHex(run(byObject, QV_SYM_ENCRYPT, Bytes(8, 1), pt)),
              ToHex(evpCrypt("RC2-40-CBC", true, Bytes(key.begin(), key.begin() + 5), Bytes(8, 1), pkcs5(pt, 8))));
}

TEST(ModeObjects, IdentitiesAndFactory)
{
    struct Row {
        unsigned id;
        const char* name;
        unsigned iv, unit;
        const char* der;
    };
    const Row rows[] = {{0, "CBC", 16, 16, "060528cf040002"}, {1, "CTR", 16, 16, "060528cf040005"},
                        {2, "ECB", 0, 16, "060528cf040001"},  {3, "OFB", 16, 16, "060528cf040004"},
                        {4, "CFB", 16, 16, "060528cf040003"}, {5, "SC1", 0, 16, "060728818c71020401"},
                        {6, "SC2", 0, 1, "060728818c71020402"}};
    for (const Row& r : rows) {
        std::unique_ptr<QvSymEnc> m(qvSymEncCreateObject(r.id));
        EXPECT_EQ(m->getModeId(), r.id);
        EXPECT_STREQ(m->getName(), r.name);
        EXPECT_EQ(m->getIvOctets(), r.iv);
        EXPECT_EQ(m->getDataUnitOctets(), r.unit);
        EXPECT_EQ(m->getMinKeyOctets(), r.id == 6 ? 0u : 16u);
        EXPECT_EQ(m->getMaxKeyOctets(), r.id == 6 ? 128u : 32u);
        EXPECT_EQ(m->getKeyStepOctets(), r.id == 6 ? 1u : 8u);
        const QvOctet* der = m->getOidDer();
        EXPECT_EQ(ToHex(der, 2u + der[1]), r.der);
    }
    try {
        qvSymEncCreateObject(7);
        FAIL();
    } catch (const QvLibNotImplementedException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nieznany algorytm.\nFUNCTION: qvSymEncCreateObject\n"),
                  std::string::npos);
    }
}

TEST(ModeSc2, XorsTheKdfStreamAndChecksKeySessionAndBuffers)
{
    std::mt19937 rng(31);
    const Bytes key = randomBytes(rng, 24), pt = randomBytes(rng, 300);
    // Model: MGF1 with SHA-256, counter from 0, from OpenSSL's SHA-256.
    Bytes mask;
    for (std::uint32_t c = 0; mask.size() < pt.size(); ++c) {
        Bytes in = key;
        for (int i = 3; i >= 0; --i)
            in.push_back(std::uint8_t(c >> (8 * i)));
        unsigned char d[32];
        SHA256(in.data(), in.size(), d);
        mask.insert(mask.end(), d, d + 32);
    }
    Bytes model(pt.size());
    for (std::size_t i = 0; i < pt.size(); ++i)
        model[i] = std::uint8_t(pt[i] ^ mask[i]);

    QvSc2 sc2;
    QvOctet buf[16] = {};
    EXPECT_THROW(sc2.init(), QvNotInitException);
    EXPECT_THROW(sc2.step(buf, 4, buf + 8), QvFsmException);
    sc2.setKey(key.data(), unsigned(key.size()));
    EXPECT_EQ(ToHex(run(sc2, QV_SYM_ENCRYPT, {}, pt, &rng)), ToHex(model));
    EXPECT_EQ(ToHex(run(sc2, QV_SYM_DECRYPT, {}, model, &rng)), ToHex(pt));
    // In place works (the mask has its own buffer); a shifted overlap does not.
    Bytes inplace = pt;
    sc2.init();
    EXPECT_EQ(sc2.step(inplace.data(), unsigned(inplace.size()), inplace.data()), unsigned(pt.size()));
    EXPECT_EQ(sc2.finish(nullptr), 0u);
    EXPECT_EQ(ToHex(inplace), ToHex(model));
    sc2.init();
    EXPECT_THROW(sc2.step(inplace.data(), 100, inplace.data() + 1), QvBufferOverlapException);
    // KDF2 starts its counter at 1.
    QvSc2 kdf2(1);
    kdf2.setKey(key.data(), unsigned(key.size()));
    const Bytes k2 = run(kdf2, QV_SYM_ENCRYPT, {}, Bytes(32, 0));
    EXPECT_EQ(ToHex(k2), ToHex(Bytes(mask.begin() + 32, mask.begin() + 64)));
}

TEST(ModeSession, FinishTextsOfEachMode)
{
    const Bytes key(16, 0x21), iv(16, 0x12);
    QvOctet in[5] = {1, 2, 3, 4, 5}, out[64];
    struct Case {
        std::unique_ptr<QvSymEnc> mode;
        unsigned dir;
        const char* text;
    };
    Case cases[] = {
        {std::unique_ptr<QvSymEnc>(new QvOfb(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE)), QV_SYM_DECRYPT,
         "REASON: Niepoprawna długość danych w buforze.\nFUNCTION: QvOfb::finishDecrypt\nFILE: qvofb\n"},
        {std::unique_ptr<QvSymEnc>(new QvOfb(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE)), QV_SYM_ENCRYPT,
         "REASON: Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.\n"
         "FUNCTION: QvOfb::finishEncrypt\n"},
        {std::unique_ptr<QvSymEnc>(new QvCtr(QV_BC_ALGO_AES, 0, QV_SYM_PAD_NONE)), QV_SYM_DECRYPT,
         "REASON: Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.\n"
         "FUNCTION: QvCtr::finishDecrypt\nFILE: qvctr\n"},
        {std::unique_ptr<QvSymEnc>(new QvEcb(QV_BC_ALGO_AES, QV_SYM_PAD_NONE)), QV_SYM_ENCRYPT,
         "REASON: Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.\n"
         "FUNCTION: QvEcb::finishEncrypt\nFILE: qvecb\n"},
        {std::unique_ptr<QvSymEnc>(new QvCfb(QV_BC_ALGO_AES, 1, 0, 0, QV_SYM_PAD_NONE)), QV_SYM_DECRYPT,
         "REASON: Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.\n"
         "FUNCTION: QvCfb::finishDecrypt\nFILE: qvcfb\n"},
        {std::unique_ptr<QvSymEnc>(new QvCbc(QV_BC_ALGO_AES, QV_SYM_PAD_NONE)), QV_SYM_DECRYPT,
         "REASON: Niewłaściwa długość danych przy braku dopełnienia.\nFUNCTION: QvCbc::finishDecrypt\n"},
    };
    for (Case& c : cases) {
        c.mode->setKey(key.data(), 16);
        c.mode->init(c.dir, iv.data(), 16);
        c.mode->step(in, 5, out);
        try {
            c.mode->finish(out);
            FAIL() << c.text;
        } catch (const QvEncryptionDecryptionException& e) {
            EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
        }
        EXPECT_FALSE(c.mode->isSessionOpen());
    }
    // With padding, decryption needs exactly one held unit at finish.
    QvCtr ctr;
    ctr.setKey(key.data(), 16);
    ctr.init(QV_SYM_DECRYPT, iv.data(), 16);
    ctr.step(in, 5, out);
    EXPECT_THROW(ctr.finish(out), QvEncryptionDecryptionException);
}
