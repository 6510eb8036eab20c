// The card drivers facing a card that answers badly: malformed headers, answers
// longer or shorter than asked, broken key templates, odd status words. Nothing
// is written past a buffer, no failure reads as success.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "fake_pcsc.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_card_create.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_reader_pcsc.h"

using fakepcsc::Bytes;

namespace {

const Bytes kModel3Atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x59, 0x43, 0x41, 0x52, 0x44,
                          0x53, 0x49, 0x4D, 0x2D, 0x33, 0x83, 0x0F, 0x90, 0x00, 0x96};

Bytes Sw(const Bytes& data, uint16_t sw) {
    Bytes r = data;
    r.push_back(static_cast<uint8_t>(sw >> 8));
    r.push_back(static_cast<uint8_t>(sw));
    return r;
}

class HostileCard : public ::testing::Test {
protected:
    void SetUp() override {
        fakepcsc::Reset();
        auto& s = fakepcsc::Get();
        s.readers.resize(1);
        s.readers[0].name = "Fake Reader 0";
        s.readers[0].present = true;
        s.readers[0].atr = kModel3Atr;
        s.card = [this](const Bytes& c) { return answer(c); };
        SCReaderPcsc::Library().UseTable(fakepcsc::Table());
        ASSERT_TRUE(SCReader::SetReaderTypes("PC/SC"));
        scInstallCardFactory();
        SCReader* r = nullptr;
        ASSERT_EQ(SC_OK, SCReader::CreateReader("Fake Reader 0", &r, SC_LIST_NORMAL));
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

    std::function<Bytes(const Bytes&)> answer = [](const Bytes&) { return Sw({}, 0x9000); };
    SCCard* card = nullptr;

private:
    std::unique_ptr<SCReader> m_reader;
};

}  // namespace

TEST_F(HostileCard, MalformedHeadersFailOnlyWhenAHeaderIsAsked) {
    answer = [](const Bytes&) { return Sw({0x62, 0x10, 0x83, 0x02, 0x3F}, 0x9000); };
    SCFileHeader* h = reinterpret_cast<SCFileHeader*>(0x1);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, card->SelectMf(&h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(SC_OK, card->SelectMf(nullptr));
    // GetAccessRules cannot have a header: unsupported, not a crash.
    const uint16_t path[] = {0x3F00, 0x5015};
    SCAccessRequest r;
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->GetAccessRules(path, 2, &r, 1, nullptr, 0, false, nullptr));
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->GetSelectedAccessRules(&r, 1));
}

TEST_F(HostileCard, AnswersLongerThanAskedAreRefused) {
    answer = [](const Bytes& c) {
        if (c[1] == 0xB0) return Sw(Bytes(200, 0x55), 0x9000);
        if (c[1] == 0x84) return Sw(Bytes(3, 0x11), 0x9000);
        return Sw({}, 0x9000);
    };
    uint8_t buf[32];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(SC_E_INCONSISTENT_DATA, card->ReadBinary(0, buf, 16));
    for (size_t i = 0; i < sizeof buf; ++i) EXPECT_EQ(0xEE, buf[i]);
    EXPECT_EQ(SC_E_INCONSISTENT_DATA, card->GetRandom(buf, 8));
}

TEST_F(HostileCard, SignatureLargerThanTheBufferGivesTheNeededLength) {
    answer = [](const Bytes& c) {
        if (c[1] == 0x2A) return Sw(Bytes(300, 0x42), 0x9000);
        return Sw({}, 0x9000);
    };
    const uint8_t di[35] = {0x30};
    uint8_t out[256];
    uint32_t outLen = sizeof out;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER,
              card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1, 0, 256, di, sizeof di, out, &outLen));
    EXPECT_EQ(300u, outLen);
    outLen = sizeof out;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, card->Decipher(nullptr, false, 1, SC_SIGN_PKCS1, out, 256, out, &outLen));
}

TEST_F(HostileCard, BrokenPublicKeyTemplates) {
    const std::vector<Bytes> bad = {
        {0x7F, 0x49, 0x05, 0x81, 0x10, 0x00},                    // modulus past its template
        {0x7F, 0x49, 0x82, 0xFF, 0xFF},                          // template past the answer
        {0x7F, 0x49, 0x03, 0x82, 0x01, 0x03},                    // no modulus
        {0x7F, 0x49, 0x05, 0x81, 0x01, 0x00, 0x82, 0x00},        // empty exponent
        {0x30, 0x00},                                            // no template
    };
    for (const Bytes& b : bad) {
        answer = [b](const Bytes&) { return Sw(b, 0x9000); };
        uint32_t nLen = 0, eLen = 0, bits = 0;
        EXPECT_EQ(SC_E_KEY_CONTAINS_NO_DATA, card->ReadRsaPublicKey(&nLen, &eLen, nullptr, nullptr, &bits, 1));
        SCByteBuffer n, e;
        EXPECT_EQ(SC_OK, card->GenerateKeyPair(1024, 0, 0, 1, 1, 0, nullptr, &n, &e));
        EXPECT_TRUE(n.IsEmpty());
        EXPECT_TRUE(e.IsEmpty());
    }
    // An all-zero modulus of one byte has no bits.
    answer = [](const Bytes&) { return Sw({0x7F, 0x49, 0x06, 0x81, 0x01, 0x00, 0x82, 0x01, 0x03}, 0x9000); };
    uint32_t nLen = 0, eLen = 0, bits = 99;
    EXPECT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, nullptr, nullptr, &bits, 1));
    EXPECT_EQ(0u, bits);
}

TEST_F(HostileCard, OddPinAnswers) {
    // No tries left is a blocked PIN, never "verified".
    answer = [](const Bytes&) { return Sw({}, 0x63C0); };
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, reinterpret_cast<const uint8_t*>("1234"), 4));
    // A card that accepts every value cannot be blocked.
    answer = [](const Bytes&) { return Sw({}, 0x9000); };
    EXPECT_EQ(SC_E_PIN_NOT_BLOCKED, card->BlockPin(0x81));
    // Refusing every length: no length left.
    answer = [](const Bytes&) { return Sw({}, 0x6700); };
    const size_t before = fakepcsc::Get().sent.size();
    EXPECT_EQ(SC_E_PIN_NOT_BLOCKED, card->BlockPin(0x81));
    // The minimum length 4, then every length from 5 to 16 once: the table's
    // order for those it holds.
    const auto& sent = fakepcsc::Get().sent;
    ASSERT_EQ(13u, sent.size() - before);
    const size_t order[] = {4, 6, 8, 5, 7, 9, 10, 12, 16, 11, 13, 14, 15};
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(order[i], sent[before + i][4]) << i;
}

TEST_F(HostileCard, SerialNumberAndSecurityDataObjects) {
    answer = [](const Bytes& c) {
        if (c[1] == 0xCA) return Sw({0x5A, 0x7F, 0x01}, 0x9000);
        return Sw({}, 0x9000);
    };
    uint8_t serial[8];
    // Not a whole 5A element: the bytes are the serial number as they are.
    EXPECT_EQ(3, card->GetSerialNumber(serial, sizeof serial));
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, card->GetSerialNumber(serial, 2));
    answer = [](const Bytes&) { return Sw({}, 0x9000); };
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->GetSerialNumber(serial, sizeof serial));
    SCCard_IAS ias(card->GetReader());
    answer = [](const Bytes&) { return Sw({0xBF, 0x81, 0x04, 0x82, 0xFF, 0xFF, 0xA0}, 0x9000); };
    SCFileHeader_IAS sdo(0x81, 0x04);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ias.GetSdoData(&sdo));
    answer = [](const Bytes&) { return Sw(Bytes(300, 0xBF), 0x9000); };
    EXPECT_EQ(SC_E_TOO_MUCH_DATA, ias.GetSdoData(&sdo));
}
