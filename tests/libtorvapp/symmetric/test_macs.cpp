// MACs: RFC 2202/4231 HMAC answers (long keys refused), ISO 9797-1 MAC
// algorithms 1 to 3 against a model built from OpenSSL's DES-CBC and AES-CBC,
// HMAC against OpenSSL, padding methods, key rules and the session discipline.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "libtorvapp/qvansimac.h"
#include "libtorvapp/qvcbcmac.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvemac.h"
#include "libtorvapp/qvhmac.h"
#include "libtorvapp/qvmac.h"
#include "symtest.h"

namespace {

unsigned hashId(const std::string& name)
{
    if (name == "SHA-1")
        return QV_HASH_DHF_ALGO_SHA1;
    if (name == "SHA-224")
        return QV_HASH_DHF_ALGO_SHA224;
    if (name == "SHA-256")
        return QV_HASH_DHF_ALGO_SHA256;
    if (name == "SHA-384")
        return QV_HASH_DHF_ALGO_SHA384;
    if (name == "SHA-512")
        return QV_HASH_DHF_ALGO_SHA512;
    if (name == "RIPEMD-160")
        return QV_HASH_DHF_ALGO_RIPEMD160;
    return QV_HASH_DHF_ALGO_MD5;
}

Bytes macOf(QvMac& m, const Bytes& data, std::mt19937* rng = nullptr)
{
    if (rng == nullptr) {
        m.computeMac(data.data(), unsigned(data.size()));
    } else {
        m.init();
        std::size_t pos = 0;
        while (pos < data.size()) {
            const std::size_t take = std::min<std::size_t>(data.size() - pos, (*rng)() % 70);
            m.step(data.data() + pos, unsigned(take));
            pos += take;
        }
        m.finish();
    }
    Bytes out(m.getMacOctets());
    m.getMac(0, out.data());
    return out;
}

// ISO/IEC 9797-1 padding applied by the model itself.
Bytes padModel(const Bytes& d, unsigned n, unsigned method)
{
    Bytes p = d;
    switch (method) {
    case QV_MAC_PAD_ZERO:
    case QV_MAC_PAD_LENGTH_MSG_ZERO:
        if (p.empty() || p.size() % n != 0)
            p.resize((p.size() / n + 1) * n, 0);
        break;
    case QV_MAC_PAD_BIT:
        p.push_back(0x80);
        p.resize((p.size() + n - 1) / n * n, 0);
        break;
    case QV_MAC_PAD_BIT_IF_PARTIAL:
        if (p.empty() || p.size() % n != 0) {
            p.push_back(0x80);
            p.resize((p.size() + n - 1) / n * n, 0);
        }
        break;
    default:
        break;
    }
    if (method == QV_MAC_PAD_LENGTH_MSG_ZERO) {
        Bytes l(n, 0);
        const std::uint32_t bits = std::uint32_t(d.size()) * 8;
        for (int i = 0; i < 4; ++i)
            l[n - 1 - i] = std::uint8_t(bits >> (8 * i));
        p.insert(p.begin(), l.begin(), l.end());
    }
    return p;
}

// MAC algorithms 1 (CBC-MAC), 2 (EMAC) and 3 (retail MAC) built from OpenSSL's CBC.
Bytes isoModel(int algorithm, const char* cbc, const char* ecb, const Bytes& k1, const Bytes& k2, const Bytes& data,
               unsigned n, unsigned pad)
{
    const Bytes padded = padModel(data, n, pad);
    Bytes h(n, 0);
    if (!padded.empty()) {
        const Bytes c = evpCrypt(cbc, true, k1, Bytes(n, 0), padded);
        h.assign(c.end() - n, c.end());
    }
    if (algorithm == 2)
        h = evpCrypt(ecb, true, k2, {}, h);
    if (algorithm == 3)
        h = evpCrypt(ecb, true, k1, {}, evpCrypt(ecb, false, k2, {}, h));
    return h;
}

} // namespace

TEST(MacKnownAnswers, HmacRfc2202And4231WithLongKeysRefused)
{
    int checked = 0, refused = 0;
    for (const auto& r : ReadRecords(DataFile("hmac_rfc2202_rfc4231.txt"))) {
        QvHmac h(hashId(r.at("hash")));
        const Bytes key = FromHex(r.at("key")), data = FromHex(r.at("data")), mac = FromHex(r.at("mac"));
        if (r.at("refused") == "1") {
            EXPECT_THROW(h.setKey(key.data(), unsigned(key.size())), QvBadKeyLengthException) << r.at("source");
            ++refused;
            continue;
        }
        h.setKey(key.data(), unsigned(key.size()));
        const Bytes got = macOf(h, data);
        EXPECT_EQ(ToHex(got.data(), mac.size()), ToHex(mac)) << r.at("source");
        if (mac.size() == got.size()) {
            EXPECT_TRUE(h.verify(mac.data(), unsigned(mac.size()))) << r.at("source");
        }
        ++checked;
    }
    EXPECT_EQ(checked, 5 * 6);
    EXPECT_EQ(refused, 2 * 6);
}

TEST(MacDifferential, HmacAgreesWithOpenSslForEveryHash)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    std::mt19937 rng(99);
    const char* names[] = {"SHA-1", "SHA-224", "SHA-256", "SHA-384", "SHA-512", "MD5", "RIPEMD-160"};
    const char* evp[] = {"SHA1", "SHA224", "SHA256", "SHA384", "SHA512", "MD5", "RIPEMD160"};
    for (int a = 0; a < 7; ++a) {
        const EVP_MD* md = EVP_get_digestbyname(evp[a]);
        ASSERT_NE(md, nullptr) << evp[a];
        QvHmac h(hashId(names[a]));
        for (int round = 0; round < 30; ++round) {
            const Bytes key = randomBytes(rng, rng() % (h.getMaxKeyOctets() + 1));
            const Bytes data = randomBytes(rng, rng() % 400);
            h.setKey(key.data(), unsigned(key.size()));
            unsigned char ref[EVP_MAX_MD_SIZE];
            unsigned refLen = 0;
            HMAC(md, key.data(), int(key.size()), data.data(), data.size(), ref, &refLen);
            ASSERT_EQ(ToHex(macOf(h, data, &rng)), ToHex(ref, refLen)) << names[a] << " key " << key.size();
        }
    }
}

TEST(MacDifferential, BlockCipherMacsMatchIso9797ModelsOverDesAndAes)
{
    ASSERT_TRUE(loadOpenSslLegacy());
    std::mt19937 rng(1234);
    struct C {
        unsigned cipher, keyLen, n;
        const char* cbc;
        const char* ecb;
    };
    const C ciphers[] = {{QV_BC_ALGO_DES, 8, 8, "DES-CBC", "DES-ECB"},
                         {QV_BC_ALGO_TDES, 24, 8, "DES-EDE3-CBC", "DES-EDE3-ECB"},
                         {QV_BC_ALGO_AES, 16, 16, "AES-128-CBC", "AES-128-ECB"}};
    for (const C& c : ciphers) {
        for (unsigned pad = 0; pad <= 4; ++pad) {
            for (int round = 0; round < 12; ++round) {
                Bytes k = randomBytes(rng, 2 * c.keyLen);
                if (c.cipher != QV_BC_ALGO_AES)
                    qvDesSetParity(k.data(), unsigned(k.size() / 8));
                if (c.cipher != QV_BC_ALGO_AES && qvDesIsWeakKey(k.data(), unsigned(k.size() / 8)))
                    continue;
                const Bytes k1(k.begin(), k.begin() + c.keyLen), k2(k.begin() + c.keyLen, k.end());
                std::size_t len = round == 0 ? 0 : (round == 1 ? c.n : rng() % 200);
                if (pad == QV_MAC_PAD_NONE)
                    len -= len % c.n;
                const Bytes data = randomBytes(rng, len);

                QvCbcMac m1(c.cipher, pad);
                m1.setKey(k1.data(), c.keyLen);
                QvEMac m2(c.cipher, pad);
                m2.setKey(k.data(), unsigned(k.size()));
                QvAnsiMac m3(c.cipher, pad);
                m3.setKey(k.data(), unsigned(k.size()));
                std::mt19937* chunks = pad == QV_MAC_PAD_LENGTH_MSG_ZERO ? nullptr : &rng;
                EXPECT_EQ(ToHex(macOf(m1, data, chunks)), ToHex(isoModel(1, c.cbc, c.ecb, k1, k2, data, c.n, pad)))
                    << c.cbc << " pad " << pad << " len " << len;
                EXPECT_EQ(ToHex(macOf(m2, data, chunks)), ToHex(isoModel(2, c.cbc, c.ecb, k1, k2, data, c.n, pad)))
                    << c.cbc << " pad " << pad << " len " << len;
                EXPECT_EQ(ToHex(macOf(m3, data, chunks)), ToHex(isoModel(3, c.cbc, c.ecb, k1, k2, data, c.n, pad)))
                    << c.cbc << " pad " << pad << " len " << len;
            }
        }
    }
}

TEST(MacPadding, CbcMacEdgeCases)
{
    const Bytes key(16, 0x42), block = FromHex("000102030405060708090a0b0c0d0e0f");
    QvCbcMac zero(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO);
    zero.setKey(key.data(), 16);
    EXPECT_EQ(ToHex(macOf(zero, {})), ToHex(evpCrypt("AES-128-ECB", true, key, {}, Bytes(16, 0))));
    EXPECT_EQ(ToHex(macOf(zero, block)), ToHex(evpCrypt("AES-128-ECB", true, key, {}, block)));
    QvCbcMac bit(QV_BC_ALGO_AES, QV_MAC_PAD_BIT);
    bit.setKey(key.data(), 16);
    Bytes two = block;
    two.push_back(0x80);
    two.resize(32, 0);
    const Bytes c = evpCrypt("AES-128-CBC", true, key, Bytes(16, 0), two);
    EXPECT_EQ(ToHex(macOf(bit, block)), ToHex(Bytes(c.begin() + 16, c.end())));

    EXPECT_EQ(qvMacPad(QV_MAC_PAD_ZERO, two.data(), 16, 0, false), 0u);
    EXPECT_EQ(qvMacPad(QV_MAC_PAD_ZERO, two.data(), 16, 0, true), 16u);
    EXPECT_EQ(qvMacPad(QV_MAC_PAD_BIT_IF_PARTIAL, two.data(), 16, 0, false), 0u);
    EXPECT_EQ(qvMacPad(QV_MAC_PAD_BIT, two.data(), 16, 0, false), 16u);
    EXPECT_EQ(qvMacPad(QV_MAC_PAD_NONE, two.data(), 16, 5, false), 5u);
    EXPECT_THROW(qvMacPad(QV_MAC_PAD_ZERO, two.data(), 16, 17, false), QvInternalErrorException);
    EXPECT_THROW(qvMacPad(QV_MAC_PAD_BIT, two.data(), 16, 16, false), QvInternalErrorException);
    EXPECT_THROW(qvMacPad(5, two.data(), 16, 1, false), QvLibNotImplementedException);
}

TEST(MacPadding, RetailMacOverDesMatchesAlgorithm3WithPaddingMethod2)
{
    // Secure messaging's use: DES, 16-octet key, padding 80 00..00.
    std::mt19937 rng(2);
    for (int round = 0; round < 20; ++round) {
        Bytes k = randomBytes(rng, 16);
        qvDesSetParity(k.data(), 2);
        if (qvDesIsWeakKey(k.data(), 2))
            continue;
        const Bytes data = randomBytes(rng, 1 + rng() % 64);
        QvAnsiMac m(QV_BC_ALGO_DES, QV_MAC_PAD_BIT);
        m.setKey(k.data(), 16);
        const Bytes mac = macOf(m, data);
        EXPECT_EQ(ToHex(mac), ToHex(isoModel(3, "DES-CBC", "DES-ECB", Bytes(k.begin(), k.begin() + 8),
                                             Bytes(k.begin() + 8, k.end()), data, 8, QV_MAC_PAD_BIT)));
        EXPECT_TRUE(m.verify(mac.data(), 8));
        EXPECT_TRUE(m.verify(mac.data(), 0));
    }
}

TEST(MacPadding, LengthBlockNeedsTheLengthFormOfInit)
{
    const Bytes key(16, 3);
    QvCbcMac m(QV_BC_ALGO_AES, QV_MAC_PAD_LENGTH_MSG_ZERO);
    m.setKey(key.data(), 16);
    try {
        m.init();
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Przy metodzie dopełnienia QV_MAC_PAD_LENGTH_MSG_ZERO należy "
                                             "użyć funkcji init z parametrem.\n"),
                  std::string::npos);
    }
    EXPECT_THROW(m.init(0x20000000u), QvArgumentRangeException);
    EXPECT_EQ(m.init(0x1FFFFFFFu), 16u);
    QvCbcMac other(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO);
    other.setKey(key.data(), 16);
    EXPECT_THROW(other.init(5), QvFsmException);
    QvEMac e(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO);
    e.setKey(Bytes(32, 1).data(), 32);
    try {
        e.init(5);
        FAIL();
    } catch (const QvFsmException& ex) {
        EXPECT_NE(std::string(ex.what()).find("REASON: Przy dopełnieniu innym niż QV_MAC_PAD_LENGTH_MSG_ZERO należy "
                                              "korzystać z innej instancji funkcji init.\nFUNCTION: QvEMac::init\n"),
                  std::string::npos);
    }
}

TEST(MacKeys, KeyLengthRules)
{
    QvEMac e;
    EXPECT_EQ(e.getMinKeyOctets(), 32u);
    EXPECT_EQ(e.getMaxKeyOctets(), 64u);
    Bytes k(64, 5);
    try {
        e.setKey(k.data(), 15);
        FAIL();
    } catch (const QvBadKeyLengthException& ex) {
        EXPECT_NE(std::string(ex.what()).find("REASON: Długość klucza dla tego schematu musi być parzysta.\n"
                                              "FUNCTION: QvEMac::setKey\n"),
                  std::string::npos);
        EXPECT_STREQ(ex.getDetail(), "OCTETS: 0x0000000f\nMIN_OCTETS: 0x00000020\nMAX_OCTETS: 0x00000040\n"
                                     "STEP_OCTETS: 0x00000010\n");
    }
    // A refused half leaves the previous pair of keys in place.
    e.setKey(k.data(), 32);
    const Bytes before = macOf(e, Bytes(10, 1));
    EXPECT_THROW(e.setKey(k.data(), 40), QvBadKeyLengthException);
    EXPECT_TRUE(e.isKeySet());
    EXPECT_EQ(ToHex(macOf(e, Bytes(10, 1))), ToHex(before));

    QvHmac h;
    EXPECT_EQ(h.getMaxKeyOctets(), 64u);
    EXPECT_THROW(h.setKey(k.data(), 65), QvBadKeyLengthException);
    h.setKey(k.data(), 64);
    h.setKey(k.data(), 0);
    EXPECT_TRUE(h.isKeySet());
    QvHmac h512(QV_HASH_DHF_ALGO_SHA512);
    EXPECT_EQ(h512.getMaxKeyOctets(), 128u);
    EXPECT_EQ(h512.getMacOctets(), 64u);
}

TEST(MacSession, ReadOutAndVerifyRules)
{
    const Bytes key = FromHex("0123456789abcdeffedcba9876543210");
    QvAnsiMac m(QV_BC_ALGO_DES, QV_MAC_PAD_BIT);
    QvOctet out[16];
    EXPECT_THROW(m.init(), QvNotInitException);
    m.setKey(key.data(), 16);
    try {
        m.getMac(0, out);
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: MAC nie jest gotowy.\nFUNCTION: QvMac::getMac\n"),
                  std::string::npos);
    }
    try {
        m.step(out, 3);
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nie rozpoczęta sesja.\nFUNCTION: QvCbcMac::step\n"),
                  std::string::npos);
    }
    try {
        m.finish();
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Nierozpoczęta sesja.\nFUNCTION: QvAnsiMac::finish\n"),
                  std::string::npos);
    }
    m.init();
    m.step(key.data(), 5);
    try {
        m.verify(out, 8);
        FAIL();
    } catch (const QvFsmException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Sesja nie jest zakończona.\n"), std::string::npos);
    }
    EXPECT_THROW(m.getMacPtr(), QvFsmException);
    m.finish();
    m.getMac(4, out);
    Bytes full(8);
    m.getMac(0, full.data());
    EXPECT_EQ(ToHex(out, 4), ToHex(full.data(), 4));
    try {
        m.getMac(9, out);
        FAIL();
    } catch (const QvArgumentRangeException& e) {
        EXPECT_NE(std::string(e.what()).find("REASON: Żądany jest zbyt długi MAC.\n"), std::string::npos);
    }
    EXPECT_FALSE(m.verify(full.data(), 4));
    EXPECT_FALSE(m.verify(full.data(), 9));
    EXPECT_FALSE(m.verify(nullptr, 8));
    EXPECT_TRUE(m.verify(full.data(), 8));
    for (int i = 0; i < 64; ++i) {
        Bytes bad = full;
        bad[i / 8] ^= std::uint8_t(1 << (i % 8));
        EXPECT_FALSE(m.verify(bad.data(), 8)) << i;
    }
    EXPECT_EQ(ToHex(m.getMacPtr(), 8), ToHex(full));
    EXPECT_EQ(ToHex(m.getMacObject().getConstData(), 8), ToHex(full));
    // setKey closes a session and clears the MAC.
    m.setKey(key.data(), 16);
    EXPECT_FALSE(m.isMacReady());

    // No padding with a partial block fails in finish and leaves the session open.
    QvCbcMac none(QV_BC_ALGO_DES, QV_MAC_PAD_NONE);
    none.setKey(key.data(), 8);
    none.init();
    none.step(key.data(), 5);
    EXPECT_THROW(none.finish(), QvEncryptionDecryptionException);
    EXPECT_TRUE(none.isSessionOpen());
    none.step(key.data(), 3);
    none.finish();
    EXPECT_TRUE(none.isMacReady());
}

TEST(MacSession, UnkeyedHmacRefusesToStartAndClonesKeepTheKey)
{
    QvHmac h;
    try {
        h.init();
        FAIL();
    } catch (const QvNotInitException& e) {
        EXPECT_NE(std::string(e.what()).find("FUNCTION: QvHmac::init\n"), std::string::npos);
    }
    EXPECT_THROW(h.step(nullptr, 0), QvFsmException);
    EXPECT_THROW(h.finish(), QvFsmException);
    const Bytes key = FromHex("4a656665"), data = FromHex("7768617420646f2079612077616e7420666f72206e6f7468696e673f");
    h.setKey(key.data(), 4);
    const Bytes expect = FromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    std::unique_ptr<QvMac> copy(h.clone());
    EXPECT_TRUE(copy->isKeySet());
    EXPECT_FALSE(copy->isMacReady());
    EXPECT_EQ(ToHex(macOf(*copy, data)), ToHex(expect));
    std::unique_ptr<QvMac> copy2(qvMacCopyObject(h));
    EXPECT_EQ(ToHex(macOf(*copy2, data)), ToHex(expect));

    // A new key takes effect at the next init; the running session keeps the old one.
    h.init();
    h.step(data.data(), 10);
    h.setKey(FromHex("00").data(), 1);
    h.step(data.data() + 10, unsigned(data.size() - 10));
    h.finish();
    Bytes got(32);
    h.getMac(0, got.data());
    EXPECT_EQ(ToHex(got), ToHex(expect));
    EXPECT_NE(ToHex(macOf(h, data)), ToHex(expect));

    // Choosing another hash clears the key.
    h.setHash(QV_HASH_DHF_ALGO_SHA1);
    EXPECT_FALSE(h.isKeySet());
    EXPECT_EQ(h.getMacOctets(), 20u);

    // Block-cipher MACs: the copy carries the cipher keys too.
    QvAnsiMac a(QV_BC_ALGO_DES, QV_MAC_PAD_BIT);
    a.setKey(FromHex("0123456789abcdeffedcba9876543210").data(), 16);
    std::unique_ptr<QvMac> ac(a.clone());
    EXPECT_EQ(ToHex(macOf(*ac, data)), ToHex(macOf(a, data)));
}

TEST(MacFactory, IdentitiesOfEveryMac)
{
    struct Row {
        unsigned id;
        const char* name;
        unsigned octets, minK, maxK, step;
        const char* der;
    };
    const Row rows[] = {{1, "HMAC", 32, 0, 64, 0, "0600"},
                        {2, "CBC-MAC", 16, 16, 32, 8, "060628cc45010301"},
                        {3, "EMAC", 16, 32, 64, 16, "060628cc45010302"},
                        {4, "ANSI MAC", 16, 32, 64, 16, "060628cc45010303"}};
    for (const Row& r : rows) {
        std::unique_ptr<QvMac> m(qvMacCreateObject(r.id));
        EXPECT_EQ(m->getMacId(), r.id);
        EXPECT_STREQ(m->getName(), r.name);
        EXPECT_EQ(m->getMacOctets(), r.octets);
        EXPECT_EQ(m->getMinKeyOctets(), r.minK);
        EXPECT_EQ(m->getMaxKeyOctets(), r.maxK);
        EXPECT_EQ(m->getKeyStepOctets(), r.step);
        const QvOctet* der = m->getOidDer();
        EXPECT_EQ(ToHex(der, 2u + der[1]), r.der);
        EXPECT_FALSE(m->isKeySet());
    }
    // The CBC-MAC of the factory pads with 80 00..00, EMAC and the ANSI MAC with zeros.
    std::unique_ptr<QvMac> cbc(qvMacCreateObject(2));
    EXPECT_EQ(static_cast<QvBcMac&>(*cbc).getPadMethod(), unsigned(QV_MAC_PAD_BIT));
    for (unsigned id : {0u, 5u}) {
        try {
            qvMacCreateObject(id);
            FAIL();
        } catch (const QvLibNotImplementedException& e) {
            EXPECT_NE(std::string(e.what()).find("REASON: Nieznany algorytm.\nFUNCTION: qvMacCreateObject\n"),
                      std::string::npos);
        }
    }
}
