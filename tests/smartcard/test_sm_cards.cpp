// The card drivers' secure channels against the simulated cards that require
// them: every command of a login, a signature and a key generation goes
// through the channel (signatures checked with OpenSSL); wrong keys, a card
// reset, a paused context and the IAS-ECC option; and, with an attacker between
// the reader and the card, tampered, replayed and unprotected answers.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "card_fixture.h"
#include "rsa_check.h"
#include "fake_pcsc.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_smctx_gp.h"
#include "smartcard/sc_smctx_iso.h"
#include "tests/common/testsupport.h"
#include "tools/cardsim/engine.h"

using Bytes = std::vector<uint8_t>;
using testsupport::FromHex;

namespace {

const uint16_t kApp[] = {0x3F00, 0x5015};
// The key set of the generated cards (tools/cardsim/cardgen.py).
const uint8_t kEnc[16] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                          0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F};
const uint8_t kMac[16] = {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57,
                          0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F};
const uint8_t kDek[16] = {0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67,
                          0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F};

const uint8_t* U8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// The group of the card's Diffie-Hellman key, as the image holds it (p, q, g).
void DhGroupOfImage(const std::string& path, SCByteBuffer keySet[3]) {
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("dh-key ", 0) != 0) continue;
        std::istringstream ls(line);
        std::string w;
        while (ls >> w) {
            const size_t eq = w.find('=');
            if (eq == std::string::npos) continue;
            const Bytes v = FromHex(w.substr(eq + 1));
            const std::string k = w.substr(0, eq);
            if (k == "p") keySet[0].Set(v.data(), v.size());
            if (k == "q") keySet[1].Set(v.data(), v.size());
            if (k == "g") keySet[2].Set(v.data(), v.size());
        }
    }
}

bool VerifySha256(const Bytes& n, const Bytes& e, const Bytes& msg, const Bytes& sig) {
    EVP_PKEY* key = rsacheck::PublicKey(n, e);
    const bool ok = rsacheck::VerifyPkcs1Sha256(key, msg, sig);
    EVP_PKEY_free(key);
    return ok;
}

using rsacheck::Sha256DigestInfo;

// A user's work on the card: login, the card key's public part and a
// signature, a new key pair generated and used.
void LoginSignAndGenerate(SCCard* card) {
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    uint32_t nLen = 512, eLen = 8, bits = 0;
    Bytes n(nLen), e(eLen);
    ASSERT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, n.data(), e.data(), &bits, 0x01));
    n.resize(nLen);
    e.resize(eLen);
    EXPECT_EQ(2048u, bits);
    const Bytes msg = {'s', 'e', 'c', 'u', 'r', 'e'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256);
    uint32_t sigLen = 256;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1, 0, 256, di.data(),
                                            static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    sig.resize(sigLen);
    EXPECT_TRUE(VerifySha256(n, e, msg, sig));

    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    ASSERT_EQ(SC_OK, card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x4B02, 0, 0, 0, &refs, 2, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    const uint8_t f4[] = {0x01, 0x00, 0x01};
    SCByteBuffer gn, ge;
    ASSERT_EQ(SC_OK, card->GenerateKeyPair(1024, 0, 0, 2, 2, 17, f4, &gn, &ge));
    ASSERT_EQ(128u, gn.Size());
    Bytes sig2(128);
    sigLen = 128;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 2, SC_SIGN_PKCS1, 0, 128, di.data(),
                                            static_cast<uint32_t>(di.size()), sig2.data(), &sigLen));
    EXPECT_TRUE(VerifySha256(Bytes(gn.Data(), gn.Data() + gn.Size()), Bytes(f4, f4 + 3), msg, sig2));
}

// Every command is protected: its class byte carries the channel's bits, and
// the PIN never shows on the wire.
void ExpectAllProtected(const std::vector<std::string>& commands, uint8_t bits) {
    ASSERT_FALSE(commands.empty());
    for (const std::string& c : commands) {
        const uint8_t cla = static_cast<uint8_t>(std::stoul(c.substr(0, 2), nullptr, 16));
        if (cla == 0x00 && c.substr(2, 2) == "C0") continue;  // GET RESPONSE fetches a protected answer
        EXPECT_EQ(bits, cla & 0x0C) << c;
        EXPECT_EQ(std::string::npos, c.find("31323334")) << c;
    }
}

}  // namespace

TEST_F(CardSim, GlobalPlatformChannelCarriesLoginSignatureAndKeyGeneration) {
    SCReader* reader = nullptr;
    SCCard* card = Connect("pkcs15-gp-channel", &reader);
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(SC_CARD_TYPE_CLASSIC, card->GetCardType());
    // Without the channel the card answers nothing of its applet.
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ(nullptr, card->GetSmCtx());

    ClearLog();
    ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
    SCSmCtx* ctx = card->GetSmCtx();
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(ctx, reader->GetSmCtx());
    EXPECT_EQ(SC_SM_MODE_GP_FULL, ctx->GetMode());
    EXPECT_EQ(SC_SM_KIND_CARD, ctx->GetKind());
    EXPECT_TRUE(ctx->IsEstablished());
    EXPECT_TRUE(ctx->IsActive());
    size_t len = 0;
    ASSERT_NE(nullptr, ctx->GetKey(1, &len));
    EXPECT_EQ(0, std::memcmp(ctx->GetKey(1, &len), kEnc, 16));
    const std::vector<std::string> setup = Commands();
    ASSERT_EQ(2u, setup.size());
    EXPECT_EQ("80500000", setup[0].substr(0, 8));
    EXPECT_EQ("84821300", setup[1].substr(0, 8));

    ClearLog();
    LoginSignAndGenerate(card);
    ExpectAllProtected(Commands(), 0x04);
    EXPECT_EQ(reader->GetWireSendLength() - 16, reader->GetMaxSendLength());

    // Dropped: the keys are gone and the card refuses the clear again.
    EXPECT_EQ(SC_OK, card->DropSmContext());
    EXPECT_EQ(nullptr, card->GetSmCtx());
    EXPECT_EQ(nullptr, reader->GetSmCtx());
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
}

TEST_F(CardSim, GlobalPlatformChannelRefusesKeysThatAreNotTheCards) {
    SCCard* card = Connect("pkcs15-gp-channel");
    ASSERT_NE(nullptr, card);
    // Key-ENC and key-MAC swapped, then a key of the wrong length.
    EXPECT_EQ(SC_E_VERIFY_FAILED, card->SetupGpChannel(kEnc, 16, kMac, 16, kDek, 16));
    EXPECT_EQ(nullptr, card->GetSmCtx());
    EXPECT_EQ(SC_E_INVALID_KEY_LENGTH, card->SetupGpChannel(kMac, 8, kEnc, 16, kDek, 16));
    EXPECT_EQ(SC_E_BAD_PARAMS, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16, false, 6));
    EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, card->OpenSmChannel(0));
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
    // A lower security level than the card's key set asks for.
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16, false, SC_SM_MODE_GP_MAC));
    EXPECT_EQ(nullptr, card->GetSmCtx());
    // A key version the card does not hold.
    ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->OpenSmChannel(0x20));
    EXPECT_EQ(nullptr, card->GetSmCtx());
    // Cards outside the GlobalPlatform family have no such channel.
    SCCard* other = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, other->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
}

TEST_F(CardSim, KeyAgreementChannelCarriesLoginSignatureAndKeyGeneration) {
    SCReader* reader = nullptr;
    SCCard* card = Connect("ias-dh-channel", &reader);
    ASSERT_NE(nullptr, card);
    // Reading works in the clear; the PIN does not.
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->VerifyPin(0x81, U8("1234"), 4));

    SCByteBuffer group[3];
    DhGroupOfImage(ImagePath("ias-dh-channel"), group);
    ASSERT_EQ(256u, group[0].Size());
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->SetupSmDh(group, 2));  // no key of that group
    EXPECT_EQ(nullptr, card->GetSmCtx());
    ClearLog();
    ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
    SCSmCtx* ctx = card->GetSmCtx();
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(SC_SM_MODE_ISO, ctx->GetMode());
    ASSERT_NE(nullptr, ctx->GetKeySet());
    EXPECT_EQ(1, ctx->GetKeySet()->group);
    EXPECT_FALSE(ctx->IsEstablished());  // the caller marks it for setting up again
    EXPECT_TRUE(ctx->IsActive());
    const std::vector<std::string> setup = Commands();
    EXPECT_EQ("002241A603830101", setup.at(0));
    EXPECT_EQ("10860000", setup.at(1).substr(0, 8));  // 264 octets: chained

    ClearLog();
    LoginSignAndGenerate(card);
    ExpectAllProtected(Commands(), 0x0C);
    EXPECT_EQ(231u, reader->GetMaxSendLength());
    // A second agreement replaces the first; a GlobalPlatform channel is kept.
    ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, nullptr, SC_UNSET));  // still verified: no reset
    // While a GlobalPlatform channel is set up, no key agreement replaces it.
    SCCard* gp = Connect("pkcs15-gp-channel");
    ASSERT_EQ(SC_OK, gp->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
    EXPECT_EQ(SC_E_BAD_USAGE, gp->SetupSmDh(group, 1));
    EXPECT_TRUE(gp->GetSmCtx()->IsGpChannelMode());
}

TEST_F(CardSim, ChannelIsSetUpAgainAfterACardResetWhenMarkedEstablished) {
    SCReader* reader = nullptr;
    SCCard* card = Connect("pkcs15-gp-channel", &reader);
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    // Another application resets the card: the reader reconnects, the channel
    // is lost and opened again before the next command.
    ResetByOther();
    EXPECT_EQ(SC_E_CARD_WAS_RESET, reader->CheckCardState());
    ASSERT_EQ(SC_OK, reader->Reconnect(0));
    EXPECT_TRUE(card->GetSmCtx()->IsLost());
    ClearLog();
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    const std::vector<std::string> again = Commands();
    ASSERT_GE(again.size(), 3u);
    EXPECT_EQ("8050", again[0].substr(0, 4));
    EXPECT_EQ("8482", again[1].substr(0, 4));
    EXPECT_EQ("04A4", again[2].substr(0, 4));
    EXPECT_TRUE(card->GetSmCtx()->IsActive());
    // Our own reset does the same.
    ASSERT_EQ(SC_OK, card->ResetCard());
    ClearLog();
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ("8050", Commands().at(0).substr(0, 4));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));

    // A key-agreement channel not marked established stays closed after a
    // reset: nothing goes to the card in the clear.
    card = Connect("ias-dh-channel", &reader);
    ASSERT_NE(nullptr, card);
    SCByteBuffer group[3];
    DhGroupOfImage(ImagePath("ias-dh-channel"), group);
    ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
    ASSERT_EQ(SC_OK, card->ResetCard());
    ClearLog();
    EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, card->SelectPath(kApp, 2, nullptr));
    EXPECT_TRUE(Commands().empty());
    // Marked established (as the token refresh does), it agrees on new keys.
    card->GetSmCtx()->SetEstablished(true);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ("002241A6", Commands().at(0).substr(0, 8));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
}

TEST_F(CardSim, PersonalisationAgentChannelActivatesTheCard) {
    SCReader* reader = nullptr;
    SCCard* card = Connect("ias-not-activated", &reader);
    ASSERT_NE(nullptr, card);
    EXPECT_EQ(2u, card->GetCardState());
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
    // Set up and paused at once, as for an activated card: the commands pass in
    // the clear and the card refuses them.
    ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16, true));
    SCSmCtx* ctx = card->GetSmCtx();
    ASSERT_NE(nullptr, ctx);
    EXPECT_FALSE(ctx->IsRunning());
    EXPECT_FALSE(ctx->IsActive());
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->SelectPath(kApp, 2, nullptr));
    // The IAS-ECC option keeps the paused channel in use for the card's commands.
    ASSERT_TRUE(SCCard_IAS::SetSmOption(card, true));
    EXPECT_TRUE(ctx->IsActive());
    // The card's refusal ended its channel; the agent's key opens it again.
    ASSERT_EQ(SC_OK, card->OpenSmChannel(SC_SM_KEYREF_AGENT, 0, SC_UNSET, 0, 0));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    uint8_t tokenInfo[4] = {};
    ASSERT_EQ(SC_OK, card->SelectChildEf(0x5032, nullptr));
    ASSERT_EQ(4, card->ReadBinary(0, tokenInfo, 4));
    EXPECT_EQ(0x30, tokenInfo[0]);

    // Activation: SET STATUS to the security domain, over its own channel.
    ASSERT_EQ(SC_OK, card->SelectIssuerSecurityDomain());
    EXPECT_EQ(SCSmSession::None, ctx->GetSession());  // the applet's channel ended
    EXPECT_EQ(SC_E_ACCESS_DENIED, SCCard_GlobalPlatform::SetStatus(card, 0x80, 0x0F, nullptr, 0));
    ASSERT_EQ(SC_OK, card->OpenSmChannel(0, 0, SC_UNSET, 0, 0));
    ASSERT_EQ(SC_OK, SCCard_GlobalPlatform::SetStatus(card, 0x80, 0x0F, nullptr, 0));
    ASSERT_TRUE(SCCard_IAS::SetSmOption(card, false));
    ASSERT_EQ(SC_OK, card->DropSmContext());
    ASSERT_EQ(SC_OK, card->SelectApplet());
    EXPECT_EQ(3, SCCard_IAS::DetectCardState(card));
    // Activated, the card works in the clear.
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
}

// ------------------------------------------------------------------ an attacker between reader and card

namespace {

class ChannelUnderAttack : public ::testing::Test {
protected:
    enum class Attack { None, FlipAnswer, ReplayAnswer, PlainAnswer, DropMac };

    void Start(const std::string& image) {
        fakepcsc::Reset();
        std::string err;
        const std::string text = testsupport::ReadFileText(std::string(CARDSIM_CARDS_DIR) + "/" + image + ".card");
        m_card = cardsim::Card::Parse(text, &err);  // no file: nothing is written back
        ASSERT_TRUE(m_card) << err;
        auto& s = fakepcsc::Get();
        s.readers.resize(1);
        s.readers[0].name = "Attacked Reader";
        s.readers[0].present = true;
        s.readers[0].atr = m_card->Atr();
        s.readers[0].protocols = scpcsc::PROTOCOL_T1;
        s.card = [this](const Bytes& c) { return Relay(c); };
        SCReaderPcsc::Library().UseTable(fakepcsc::Table());
        ASSERT_TRUE(SCReader::SetReaderTypes("PC/SC"));
        scInstallCardFactory();
        SCReader* r = nullptr;
        ASSERT_EQ(SC_OK, SCReader::CreateReader("Attacked Reader", &r, SC_LIST_NORMAL));
        m_reader.reset(r);
        ASSERT_EQ(SC_OK, r->Init(0));
        ASSERT_EQ(SC_OK, r->Connect(SC_MODE_PROTO_T1));
        card = r->GetCard();
        ASSERT_NE(nullptr, card);
    }
    void TearDown() override {
        m_reader.reset();
        SCReader::SetCardFactory(nullptr);
        SCReaderPcsc::Library().Unload();
    }
    Bytes Relay(const Bytes& cmd) {
        Bytes answer = m_card->Transmit(cmd, false);
        // The attack hits the last part of an answer (after any 61xx).
        const bool more = answer.size() >= 2 && answer[answer.size() - 2] == 0x61;
        if (more) return answer;
        const Attack a = attack;
        attack = Attack::None;
        switch (a) {
        case Attack::None: break;
        case Attack::FlipAnswer: answer[answer.size() > 3 ? answer.size() - 3 : 0] ^= 0x01; break;
        case Attack::ReplayAnswer: answer = m_last; break;
        case Attack::PlainAnswer: answer = {0x90, 0x00}; break;
        case Attack::DropMac:
            if (answer.size() >= 10) answer.erase(answer.end() - 10, answer.end() - 2);
            break;
        }
        m_last = answer;
        return answer;
    }
    size_t Sent() const { return fakepcsc::Get().sent.size(); }

    Attack attack = Attack::None;
    SCCard* card = nullptr;

private:
    std::unique_ptr<cardsim::Card> m_card;
    std::unique_ptr<SCReader> m_reader;
    Bytes m_last;
};

// Reads the first octets of TokenInfo into buf; the result of the read.
SCRESULT ReadTokenInfo(SCCard* card, uint8_t* buf) {
    const SCRESULT r = card->SelectChildEf(0x5032, nullptr);
    if (r < 0) return r;
    return card->ReadBinary(0, buf, 4);
}

}  // namespace

TEST_F(ChannelUnderAttack, GlobalPlatformAnswersThatDoNotVerifyNeverReachTheCaller) {
    Start("pkcs15-gp-channel");
    ASSERT_EQ(SC_OK, card->SetupGpChannel(kMac, 16, kEnc, 16, kDek, 16));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    uint8_t buf[4];
    ASSERT_EQ(4, ReadTokenInfo(card, buf));
    const Attack attacks[] = {Attack::FlipAnswer, Attack::ReplayAnswer, Attack::PlainAnswer, Attack::DropMac};
    for (Attack a : attacks) {
        SCOPED_TRACE(static_cast<int>(a));
        ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
        ASSERT_EQ(SC_OK, card->SelectChildEf(0x5032, nullptr));
        std::memset(buf, 0xAA, sizeof buf);
        attack = a;
        const SCRESULT r = card->ReadBinary(0, buf, 4);
        EXPECT_TRUE(r == SC_E_SM_MAC_INVALID || r == SC_E_SM_NOT_ESTABLISHED) << std::hex << r;
        for (uint8_t b : buf) EXPECT_EQ(0xAA, b);
        EXPECT_TRUE(card->GetSmCtx()->IsLost());
        EXPECT_EQ(nullptr, card->GetSmCtx()->GetSessionKey(1, nullptr));
        // Marked established, the channel is opened again for the next command.
        const size_t before = Sent();
        ASSERT_EQ(4, card->ReadBinary(0, buf, 4));
        EXPECT_EQ(0x30, buf[0]);
        ASSERT_LT(before + 2, Sent());
        EXPECT_EQ(0x50, fakepcsc::Get().sent[before][1]);  // INITIALIZE UPDATE
        EXPECT_EQ(0x82, fakepcsc::Get().sent[before + 1][1]);  // EXTERNAL AUTHENTICATE
    }
}

TEST_F(ChannelUnderAttack, KeyAgreementAnswersThatDoNotVerifyCloseTheChannel) {
    Start("ias-dh-channel");
    SCByteBuffer group[3];
    DhGroupOfImage(std::string(CARDSIM_CARDS_DIR) + "/ias-dh-channel.card", group);
    ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    const Attack attacks[] = {Attack::FlipAnswer, Attack::ReplayAnswer, Attack::PlainAnswer, Attack::DropMac};
    for (Attack a : attacks) {
        SCOPED_TRACE(static_cast<int>(a));
        attack = a;
        EXPECT_LT(card->VerifyPin(0x81, U8("1234"), 4), 0);
        EXPECT_TRUE(card->GetSmCtx()->IsLost());
        // Not marked established: refused without a word to the card.
        const size_t before = Sent();
        EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, card->VerifyPin(0x81, U8("1234"), 4));
        EXPECT_EQ(before, Sent());
        ASSERT_EQ(SC_OK, card->SetupSmDh(group, 1));
        ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    }
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
}
