// The secure-channel protocols on their own: the ISO/IEC 7816-4 channel against
// the published worked example of ICAO Doc 9303, the GlobalPlatform channel
// against the card side computed here with OpenSSL, the Diffie-Hellman key
// agreement against OpenSSL, and answers that are tampered with, played again or
// come without protection.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/des.h>
#include <openssl/dh.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "smartcard/sc_smcrypto.h"
#include "smartcard/sc_smctx_gp.h"
#include "smartcard/sc_smctx_iso.h"
#include "tests/common/testsupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

using testsupport::FromHex;

std::string X(const Bytes& b) { return testsupport::ToHex(b, testsupport::HexCase::Upper); }

// ------------------------------------------------------------------ ISO/IEC 7816-4 (ICAO 9303)

struct Exchange {
    Bytes command, protectedCommand, answer, plain;
    uint16_t answerSw = 0, plainSw = 0;
};

struct IcaoExample {
    std::vector<Bytes> derive;  // seed, kenc, kmac, ...
    Bytes kenc, kmac, ssc;
    std::vector<Exchange> exchanges;
};

IcaoExample LoadIcao() {
    IcaoExample ex;
    for (const testsupport::DataLine& l : testsupport::ReadDataLines(testsupport::DataFile("icao9303_sm.txt"))) {
        std::vector<std::string> f = l.fields;
        f.resize(4);
        const std::string &kw = f[0], &a = f[1], &b = f[2], &c = f[3];
        if (kw == "derive") {
            ex.derive.push_back(FromHex(a));
            ex.derive.push_back(FromHex(b));
            ex.derive.push_back(FromHex(c));
        } else if (kw == "session") {
            ex.kenc = FromHex(a);
            ex.kmac = FromHex(b);
            ex.ssc = FromHex(c);
        } else if (kw == "command") {
            ex.exchanges.emplace_back();
            ex.exchanges.back().command = FromHex(a);
        } else if (kw == "protected") {
            ex.exchanges.back().protectedCommand = FromHex(a);
        } else if (kw == "answer") {
            ex.exchanges.back().answer = FromHex(a);
            ex.exchanges.back().answerSw = static_cast<uint16_t>(std::stoul(b, nullptr, 16));
        } else if (kw == "plain") {
            ex.exchanges.back().plain = a == "-" ? Bytes() : FromHex(a);
            ex.exchanges.back().plainSw = static_cast<uint16_t>(std::stoul(b, nullptr, 16));
        }
    }
    return ex;
}

void OpenIso(SCSmCtxIso* ctx, const IcaoExample& ex) {
    ASSERT_EQ(SC_OK, ctx->SetSession(ex.kenc.data(), ex.kmac.data(), ex.ssc.data()));
    ctx->SessionOpened();
}

TEST(IsoChannel, KeyDerivationMatchesThePublishedExample) {
    const IcaoExample ex = LoadIcao();
    ASSERT_EQ(6u, ex.derive.size());
    for (size_t i = 0; i < ex.derive.size(); i += 3) {
        uint8_t k[16];
        ASSERT_EQ(SC_OK, scSmDeriveKey(ex.derive[i].data(), ex.derive[i].size(), 1, k));
        EXPECT_EQ(X(ex.derive[i + 1]), X(Bytes(k, k + 16)));
        ASSERT_EQ(SC_OK, scSmDeriveKey(ex.derive[i].data(), ex.derive[i].size(), 2, k));
        EXPECT_EQ(X(ex.derive[i + 2]), X(Bytes(k, k + 16)));
    }
}

TEST(IsoChannel, WrapsAndUnwrapsThePublishedExchanges) {
    const IcaoExample ex = LoadIcao();
    ASSERT_EQ(3u, ex.exchanges.size());
    SCSmCtxIso ctx;
    OpenIso(&ctx, ex);
    for (const Exchange& e : ex.exchanges) {
        Bytes out;
        ASSERT_EQ(SC_OK, ctx.WrapCommand(e.command.data(), e.command.size(), &out));
        EXPECT_EQ(X(e.protectedCommand), X(out));
        uint16_t sw = 0;
        ASSERT_EQ(SC_OK, ctx.UnwrapResponse(e.answer.data(), e.answer.size(), e.answerSw, &out, &sw));
        EXPECT_EQ(X(e.plain), X(out));
        EXPECT_EQ(e.plainSw, sw);
    }
    EXPECT_EQ(3u, ctx.GetCommandCount());
    EXPECT_TRUE(ctx.IsActive());
}

TEST(IsoChannel, RefusesTamperedReplayedAndUnprotectedAnswers) {
    const IcaoExample ex = LoadIcao();
    const Exchange& first = ex.exchanges[0];
    const Exchange& second = ex.exchanges[1];
    auto fresh = [&](SCSmCtxIso* ctx) {
        OpenIso(ctx, ex);
        Bytes out;
        ASSERT_EQ(SC_OK, ctx->WrapCommand(first.command.data(), first.command.size(), &out));
    };
    Bytes out;
    uint16_t sw = 0;
    struct Case {
        const char* what;
        Bytes answer;
        uint16_t sw;
        SCRESULT expect;
    } cases[] = {
        {"MAC changed", [&] {
             Bytes a = first.answer;
             a.back() ^= 0x01;
             return a;
         }(), 0x9000, SC_E_SM_MAC_INVALID},
        {"status word inside changed", [&] {
             Bytes a = first.answer;
             a[3] = 0x82;  // 99 02 6A 82 claimed, MAC of 9000
             a[2] = 0x6A;
             return a;
         }(), 0x9000, SC_E_SM_MAC_INVALID},
        {"the next answer first", second.answer, 0x9000, SC_E_SM_MAC_INVALID},
        {"no protection", Bytes(), 0x9000, SC_E_SM_MAC_INVALID},
        {"data without protection", FromHex("6014"), 0x9000, SC_E_SM_MAC_INVALID},
        {"MAC cut short", Bytes(first.answer.begin(), first.answer.end() - 1), 0x9000, SC_E_SM_MAC_INVALID},
        {"card lost the channel", Bytes(), 0x6988, SC_E_SM_NOT_ESTABLISHED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SCSmCtxIso ctx;
        fresh(&ctx);
        out.assign(4, 0xAA);
        EXPECT_EQ(c.expect, ctx.UnwrapResponse(c.answer.data(), c.answer.size(), c.sw, &out, &sw));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(0, sw);
        // The channel is closed: nothing more passes, not even in the clear.
        EXPECT_TRUE(ctx.IsLost());
        EXPECT_EQ(nullptr, ctx.GetSessionKey(0, nullptr));
        EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, ctx.WrapCommand(first.command.data(), first.command.size(), &out));
    }
    // An answer played again for the next command: the counter has moved on.
    SCSmCtxIso ctx;
    fresh(&ctx);
    ASSERT_EQ(SC_OK, ctx.UnwrapResponse(first.answer.data(), first.answer.size(), 0x9000, &out, &sw));
    ASSERT_EQ(SC_OK, ctx.WrapCommand(second.command.data(), second.command.size(), &out));
    EXPECT_EQ(SC_E_SM_MAC_INVALID, ctx.UnwrapResponse(first.answer.data(), first.answer.size(), 0x9000, &out, &sw));
    // Two commands without the answer of the first: the sides are apart.
    SCSmCtxIso twice;
    fresh(&twice);
    EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, twice.WrapCommand(first.command.data(), first.command.size(), &out));
    EXPECT_TRUE(twice.IsLost());
}

TEST(IsoChannel, CounterNeverWrapsAndFormsFollowTheInstruction) {
    const IcaoExample ex = LoadIcao();
    SCSmCtxIso ctx;
    const Bytes top = FromHex("FFFFFFFFFFFFFFFE");
    ASSERT_EQ(SC_OK, ctx.SetSession(ex.kenc.data(), ex.kmac.data(), top.data()));
    ctx.SessionOpened();
    Bytes out;
    uint16_t sw = 0;
    const Bytes cmd = FromHex("00B0000004");
    ASSERT_EQ(SC_OK, ctx.WrapCommand(cmd.data(), cmd.size(), &out));
    EXPECT_EQ(SC_E_SM_COUNTER_EXHAUSTED, ctx.UnwrapResponse(nullptr, 0, 0x9000, &out, &sw));
    EXPECT_TRUE(ctx.IsLost());

    SCSmCtxIso odd;
    OpenIso(&odd, ex);
    // An odd INS carries its data in 85, without the padding indicator; Le in 97.
    const Bytes put = FromHex("00DB00010A8108010203040506070800");
    ASSERT_EQ(SC_OK, odd.WrapCommand(put.data(), put.size(), &out));
    EXPECT_EQ("0CDB0001", X(Bytes(out.begin(), out.begin() + 4)));
    EXPECT_EQ(0x85, out[5]);
    EXPECT_EQ(16, out[6]);  // 10 octets padded to 16
    EXPECT_EQ(0x97, out[7 + 16]);
    // The largest command that fits a short APDU once wrapped.
    SCSmCtxIso big;
    OpenIso(&big, ex);
    const size_t n = big.GetMaxCommandData(255);
    EXPECT_EQ(231u, n);
    Bytes apdu = {0x00, 0xD6, 0x00, 0x00, static_cast<uint8_t>(n)};
    apdu.resize(5 + n, 0x5A);
    apdu.push_back(0x00);
    ASSERT_EQ(SC_OK, big.WrapCommand(apdu.data(), apdu.size(), &out));
    EXPECT_LE(out[4], 255);
    EXPECT_EQ(out.size(), 5u + out[4] + 1u);
    // Classes of other channels are not wrapped again.
    SCSmCtxIso again;
    OpenIso(&again, ex);
    const Bytes wrapped = FromHex("0CB0000004");
    EXPECT_EQ(SC_E_BAD_PARAMS, again.WrapCommand(wrapped.data(), wrapped.size(), &out));
}

// ------------------------------------------------------------------ GlobalPlatform SCP02

// The card side, computed here with OpenSSL's DES (an implementation of its own).
struct DesKs {
    explicit DesKs(const uint8_t* k) {
        DES_cblock b;
        std::memcpy(b, k, 8);
        DES_set_key_unchecked(&b, &ks);
    }
    DES_key_schedule ks;
};

Bytes Tdes(const Bytes& key, const Bytes& in, bool enc) {
    DesKs a(key.data()), b(key.data() + 8);
    Bytes out(in.size());
    DES_cblock iv = {0};
    DES_ede3_cbc_encrypt(in.data(), out.data(), static_cast<long>(in.size()), &a.ks, &b.ks, &a.ks, &iv,
                         enc ? DES_ENCRYPT : DES_DECRYPT);
    return out;
}

Bytes Pad(Bytes d) {
    d.push_back(0x80);
    while (d.size() % 8) d.push_back(0);
    return d;
}

Bytes Retail(const Bytes& key, const Bytes& icv, const Bytes& data) {
    const Bytes m = Pad(data);
    DesKs a(key.data()), b(key.data() + 8);
    DES_cblock h = {0};
    if (!icv.empty()) std::memcpy(h, icv.data(), 8);
    for (size_t i = 0; i < m.size(); i += 8) {
        for (int j = 0; j < 8; ++j) h[j] ^= m[i + j];
        DES_ecb_encrypt(&h, &h, &a.ks, DES_ENCRYPT);
    }
    DES_ecb_encrypt(&h, &h, &b.ks, DES_DECRYPT);
    DES_ecb_encrypt(&h, &h, &a.ks, DES_ENCRYPT);
    return Bytes(h, h + 8);
}

Bytes FullMac(const Bytes& key, const Bytes& data) {
    const Bytes c = Tdes(key, Pad(data), true);
    return Bytes(c.end() - 8, c.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes o;
    for (const Bytes& p : parts) o.insert(o.end(), p.begin(), p.end());
    return o;
}

const Bytes kEnc = FromHex("404142434445464748494A4B4C4D4E4F");
const Bytes kMac = FromHex("505152535455565758595A5B5C5D5E5F");
const Bytes kDek = FromHex("606162636465666768696A6B6C6D6E6F");

struct GpCard {
    Bytes enc = kEnc, mac = kMac;
    Bytes seq = FromHex("0005"), cardChallenge = FromHex("A1A2A3A4A5A6"), hostChallenge;
    Bytes senc, cmac, rmac, lastCmac, lastRmac = Bytes(8, 0);

    Bytes InitializeUpdateAnswer(const Bytes& host, uint8_t protocol = 0x02) {
        hostChallenge = host;
        senc = Tdes(enc, Cat({FromHex("0182"), seq, Bytes(12, 0)}), true);
        cmac = Tdes(mac, Cat({FromHex("0101"), seq, Bytes(12, 0)}), true);
        rmac = Tdes(mac, Cat({FromHex("0102"), seq, Bytes(12, 0)}), true);
        const Bytes cryptogram = FullMac(senc, Cat({host, seq, cardChallenge}));
        return Cat({Bytes(10, 0x11), {0x01, protocol}, seq, cardChallenge, cryptogram});
    }
};

SCSmCtxGp* NewGp(uint32_t mode = SC_SM_MODE_GP_FULL) {
    SCSmCtxGp* ctx = new SCSmCtxGp(mode);
    ctx->SetKey(0, kMac.data(), 16);
    ctx->SetKey(1, kEnc.data(), 16);
    ctx->SetKey(2, kDek.data(), 16);
    return ctx;
}

TEST(GpChannel, AuthenticationAndWrappingMatchAnIndependentCardSide) {
    std::unique_ptr<SCSmCtxGp> ctx(NewGp());
    const Bytes host = FromHex("0102030405060708");
    Bytes apdu;
    ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
    EXPECT_EQ("8050000008" + X(host) + "00", X(apdu));
    GpCard card;
    const Bytes answer = card.InitializeUpdateAnswer(host);
    ctx->BeginOpening();
    ASSERT_EQ(SC_OK, ctx->ProcessInitializeUpdate(answer.data(), answer.size(), &apdu));
    // EXTERNAL AUTHENTICATE: level 13, the host cryptogram, a C-MAC from zero.
    const Bytes hostCryptogram = FullMac(card.senc, Cat({card.seq, card.cardChallenge, host}));
    const Bytes eaHead = Cat({FromHex("8482130010"), hostCryptogram});
    const Bytes eaMac = Retail(card.cmac, Bytes(), eaHead);
    EXPECT_EQ(X(Cat({eaHead, eaMac})), X(apdu));
    card.lastCmac = eaMac;
    ctx->SessionOpened();

    // VERIFY with its data enciphered, the C-MAC chained through the enciphered
    // last C-MAC, the answer's R-MAC chained from zero.
    const Bytes verify = FromHex("0020008108313233 34FFFFFFFF");
    Bytes wrapped;
    ASSERT_EQ(SC_OK, ctx->WrapCommand(verify.data(), verify.size(), &wrapped));
    const Bytes pin = FromHex("31323334FFFFFFFF");
    Bytes icv(8);
    {
        DesKs k(card.cmac.data());
        DES_cblock in, out;
        std::memcpy(in, card.lastCmac.data(), 8);
        DES_ecb_encrypt(&in, &out, &k.ks, DES_ENCRYPT);
        std::memcpy(icv.data(), out, 8);
    }
    const Bytes cmac = Retail(card.cmac, icv, Cat({FromHex("0420008110"), pin}));
    const Bytes cipher = Tdes(card.senc, Pad(pin), true);
    EXPECT_EQ(X(Cat({FromHex("0420008118"), cipher, cmac})), X(wrapped));
    const Bytes rmac = Retail(card.rmac, card.lastRmac, Cat({FromHex("0020008108"), pin, FromHex("00"), FromHex("9000")}));
    Bytes plain;
    uint16_t sw = 0;
    ASSERT_EQ(SC_OK, ctx->UnwrapResponse(rmac.data(), rmac.size(), 0x9000, &plain, &sw));
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(0x9000, sw);

    // A second command: the R-MAC chains on; data comes back without it.
    const Bytes read = FromHex("00B0000004");
    ASSERT_EQ(SC_OK, ctx->WrapCommand(read.data(), read.size(), &wrapped));
    const Bytes data = FromHex("DEADBEEF");
    const Bytes rmac2 = Retail(card.rmac, rmac, Cat({FromHex("00B0000000"), FromHex("04"), data, FromHex("9000")}));
    const Bytes answer2 = Cat({data, rmac2});
    ASSERT_EQ(SC_OK, ctx->UnwrapResponse(answer2.data(), answer2.size(), 0x9000, &plain, &sw));
    EXPECT_EQ(X(data), X(plain));
    // The same answer once more, for a third command: refused, channel closed.
    ASSERT_EQ(SC_OK, ctx->WrapCommand(read.data(), read.size(), &wrapped));
    EXPECT_EQ(SC_E_SM_MAC_INVALID, ctx->UnwrapResponse(answer2.data(), answer2.size(), 0x9000, &plain, &sw));
    EXPECT_TRUE(plain.empty());
    EXPECT_TRUE(ctx->IsLost());
}

TEST(GpChannel, TamperedOrUnprotectedAnswersAreRefused) {
    const Bytes host = FromHex("0102030405060708");
    const Bytes read = FromHex("00B0000004");
    const Bytes data = FromHex("DEADBEEF");
    struct Case {
        const char* what;
        int variant;
        SCRESULT expect;
    } cases[] = {{"data changed", 0, SC_E_SM_MAC_INVALID},
                 {"status word changed", 1, SC_E_SM_MAC_INVALID},
                 {"R-MAC missing", 2, SC_E_SM_MAC_INVALID},
                 {"card ended the channel", 3, SC_E_SM_NOT_ESTABLISHED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<SCSmCtxGp> ctx(NewGp());
        Bytes apdu, out;
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        GpCard card;
        const Bytes answer = card.InitializeUpdateAnswer(host);
        ASSERT_EQ(SC_OK, ctx->ProcessInitializeUpdate(answer.data(), answer.size(), &apdu));
        ctx->SessionOpened();
        ASSERT_EQ(SC_OK, ctx->WrapCommand(read.data(), read.size(), &apdu));
        const Bytes rmac = Retail(card.rmac, Bytes(8, 0), Cat({FromHex("00B0000000"), FromHex("04"), data, FromHex("9000")}));
        Bytes a = Cat({data, rmac});
        uint16_t sw = 0x9000;
        if (c.variant == 0) a[1] ^= 1;
        if (c.variant == 1) sw = 0x6282;
        if (c.variant == 2) a = data;
        if (c.variant == 3) a.clear(), sw = 0x6982;
        uint16_t outSw = 1;
        EXPECT_EQ(c.expect, ctx->UnwrapResponse(a.data(), a.size(), sw, &out, &outSw));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(0, outSw);
        EXPECT_TRUE(ctx->IsLost());
    }
}

TEST(GpChannel, WrongKeysOldCountersAndOtherProtocolsAreRefused) {
    const Bytes host = FromHex("1112131415161718");
    Bytes apdu;
    // The card's cryptogram under other keys: the keys given are not the card's.
    {
        std::unique_ptr<SCSmCtxGp> ctx(NewGp());
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        GpCard card;
        card.enc = kDek;
        const Bytes answer = card.InitializeUpdateAnswer(host);
        EXPECT_EQ(SC_E_VERIFY_FAILED, ctx->ProcessInitializeUpdate(answer.data(), answer.size(), &apdu));
        EXPECT_EQ(nullptr, ctx->GetSessionKey(1, nullptr));
    }
    // A sequence counter not above the last one seen: an old answer played again.
    {
        std::unique_ptr<SCSmCtxGp> ctx(NewGp());
        ctx->SetLastSequence(5);
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        GpCard card;
        const Bytes answer = card.InitializeUpdateAnswer(host);
        EXPECT_EQ(SC_E_SM_CARD_AUTH_FAILED, ctx->ProcessInitializeUpdate(answer.data(), answer.size(), &apdu));
        card.seq = FromHex("0006");
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        const Bytes next = card.InitializeUpdateAnswer(host);
        EXPECT_EQ(SC_OK, ctx->ProcessInitializeUpdate(next.data(), next.size(), &apdu));
        uint16_t last = 0;
        EXPECT_TRUE(ctx->GetLastSequence(&last));
        EXPECT_EQ(6, last);
    }
    // Another protocol, a short answer, a key version not asked for.
    {
        std::unique_ptr<SCSmCtxGp> ctx(NewGp());
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        GpCard card;
        const Bytes scp01 = card.InitializeUpdateAnswer(host, 0x01);
        EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, ctx->ProcessInitializeUpdate(scp01.data(), scp01.size(), &apdu));
        EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ctx->ProcessInitializeUpdate(scp01.data(), 27, &apdu));
        ctx->SetKeyRef(0x20);
        ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
        EXPECT_EQ(0x20, apdu[2]);
        const Bytes v1 = card.InitializeUpdateAnswer(host);
        EXPECT_EQ(SC_E_VERIFY_FAILED, ctx->ProcessInitializeUpdate(v1.data(), v1.size(), &apdu));
    }
}

TEST(GpChannel, ModesChooseTheLevelAndTheRoomLeft) {
    EXPECT_EQ(0x01, SCSmCtxGp(SC_SM_MODE_GP_MAC).GetSecurityLevel());
    EXPECT_EQ(0x03, SCSmCtxGp(SC_SM_MODE_GP_MAC_ENC).GetSecurityLevel());
    EXPECT_EQ(0x13, SCSmCtxGp(SC_SM_MODE_GP_FULL).GetSecurityLevel());
    EXPECT_EQ(SC_SM_MODE_GP_FULL, SCSmCtxGp(SC_SM_MODE_ISO).GetMode());
    EXPECT_EQ(247u, SCSmCtxGp(SC_SM_MODE_GP_MAC).GetMaxCommandData(255));
    EXPECT_EQ(239u, SCSmCtxGp(SC_SM_MODE_GP_FULL).GetMaxCommandData(255));
    EXPECT_EQ(239u, SCSmCtxGp(SC_SM_MODE_GP_FULL).GetMaxCommandData(1000));  // short commands only
    // Mode 3 leaves the answers as the card gives them and the data in the clear.
    std::unique_ptr<SCSmCtxGp> ctx(NewGp(SC_SM_MODE_GP_MAC));
    const Bytes host = FromHex("0102030405060708");
    Bytes apdu;
    ASSERT_EQ(SC_OK, ctx->BuildInitializeUpdate(&apdu, host.data()));
    GpCard card;
    const Bytes answer = card.InitializeUpdateAnswer(host);
    ASSERT_EQ(SC_OK, ctx->ProcessInitializeUpdate(answer.data(), answer.size(), &apdu));
    EXPECT_EQ(0x01, apdu[2]);
    ctx->SessionOpened();
    const Bytes update = FromHex("00D6000002CAFE");
    ASSERT_EQ(SC_OK, ctx->WrapCommand(update.data(), update.size(), &apdu));
    EXPECT_EQ("04D600000ACAFE", X(Bytes(apdu.begin(), apdu.begin() + 7)));
    Bytes out;
    uint16_t sw = 0;
    ASSERT_EQ(SC_OK, ctx->UnwrapResponse(nullptr, 0, 0x6A82, &out, &sw));
    EXPECT_EQ(0x6A82, sw);
}

// ------------------------------------------------------------------ Diffie-Hellman

Bytes BnBytes(const BIGNUM* b, size_t len = 0) {
    Bytes out(len ? len : static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2binpad(b, out.data(), static_cast<int>(out.size()));
    return out;
}

SCSmKeySet KeySetOf(const DH* dh, bool mask) {
    const BIGNUM *p, *q, *g;
    DH_get0_pqg(dh, &p, &q, &g);
    SCSmKeySet ks;
    ks.group = 1;
    ks.keys[0] = BnBytes(p);
    ks.keys[1] = mask ? Bytes(20, 0xFF) : BnBytes(q);
    ks.keys[2] = BnBytes(g);
    return ks;
}

void AgreeWithOpenSsl(DH* group, bool mask) {
    SCSmDhAgreement host;
    ASSERT_EQ(SC_OK, host.SetGroup(KeySetOf(group, mask)));
    Bytes own;
    ASSERT_EQ(SC_OK, host.Generate(&own));
    const BIGNUM* p;
    DH_get0_pqg(group, &p, nullptr, nullptr);
    const size_t plen = static_cast<size_t>(BN_num_bytes(p));
    ASSERT_EQ(plen, own.size());
    ASSERT_EQ(1, DH_generate_key(group));
    const BIGNUM* cardPub = nullptr;
    DH_get0_key(group, &cardPub, nullptr);
    Bytes secret;
    const Bytes cardBytes = BnBytes(cardPub);
    ASSERT_EQ(SC_OK, host.Agree(cardBytes.data(), cardBytes.size(), &secret));
    Bytes expect(plen);
    BIGNUM* ownBn = BN_bin2bn(own.data(), static_cast<int>(own.size()), nullptr);
    ASSERT_EQ(static_cast<int>(plen), DH_compute_key_padded(expect.data(), ownBn, group));
    BN_free(ownBn);
    EXPECT_EQ(X(expect), X(secret));
}

TEST(DhAgreement, SharedSecretMatchesOpenSslInBothGroupForms) {
    // X9.42 form (p, q, g): the 2048-bit group with a 224-bit subgroup of RFC 5114.
    DH* x942 = DH_get_2048_224();
    ASSERT_NE(nullptr, x942);
    AgreeWithOpenSsl(x942, false);
    DH_free(x942);
    // PKCS #3 form: the same kind of group with a 160-bit private value.
    DH* pkcs3 = DH_get_1024_160();
    ASSERT_NE(nullptr, pkcs3);
    AgreeWithOpenSsl(pkcs3, true);
    DH_free(pkcs3);
}

TEST(DhAgreement, RefusesBadGroupsAndPeerValues) {
    DH* dh = DH_get_2048_224();
    ASSERT_NE(nullptr, dh);
    const SCSmKeySet good = KeySetOf(dh, false);
    SCSmDhAgreement a;
    SCSmKeySet bad = good;
    bad.keys[2] = {0x01};  // g = 1
    EXPECT_EQ(SC_E_INVALID_KEY, a.SetGroup(bad));
    bad = good;
    bad.keys[1][bad.keys[1].size() - 1] ^= 0x02;  // q no longer divides p - 1
    EXPECT_EQ(SC_E_INVALID_KEY, a.SetGroup(bad));
    bad = good;
    bad.keys[0].resize(32);  // 256-bit p
    EXPECT_EQ(SC_E_INVALID_KEY, a.SetGroup(bad));
    bad = good;
    bad.keys[1] = Bytes(4, 0xFF);  // a private value of 32 bits
    EXPECT_EQ(SC_E_INVALID_KEY, a.SetGroup(bad));

    ASSERT_EQ(SC_OK, a.SetGroup(good));
    Bytes own, secret;
    EXPECT_EQ(SC_E_BAD_PARAMS, a.Agree(good.keys[2].data(), good.keys[2].size(), &secret));  // nothing generated
    ASSERT_EQ(SC_OK, a.Generate(&own));
    const Bytes& p = good.keys[0];
    Bytes pm1 = p;
    pm1.back() ^= 0x01;  // p is odd: p - 1
    const Bytes values[] = {{0x00}, {0x01}, pm1, p, {0x02}, Bytes(p.size() + 1, 0x01)};
    for (const Bytes& v : values) {
        SCOPED_TRACE(X(v).substr(0, 16));
        EXPECT_EQ(SC_E_INVALID_KEY, a.Agree(v.data(), v.size(), &secret));
        EXPECT_TRUE(secret.empty());
    }
    DH_free(dh);
}

}  // namespace
