// A PKCS#15 application that names a Diffie-Hellman group for secure messaging:
// the key set and group the application reads from its TokenInfo set the
// card's channel up, and the PIN the card keeps for the channel is then
// verified through it.
#include <gtest/gtest.h>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_smctx.h"
#include "tests/smartcard/card_fixture.h"

TEST_F(CardSim, ApplicationKeyAgreementGroupSetsUpSecureMessaging) {
    SCPkcs15InstallAppServices();
    SCCard* card = Connect("ias-dh-channel");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    ASSERT_EQ(0, p15.Load());
    ASSERT_EQ(1, p15.GetApplicationCount());
    SCPkcs15App* app = p15.GetApplicationAt(0);
    ASSERT_EQ(0, app->Load(false));
    SCFileHeaderList h;
    app->ReadProfileRecords(&h);
    ASSERT_TRUE(h.IsKeySetValid());
    EXPECT_EQ(1, h.GetLocalPinRef());
    EXPECT_EQ(256u, h.GetKeySet()[0].Size());  // p of 2048 bits
    EXPECT_EQ(28u, h.GetKeySet()[1].Size());   // q of 224 bits

    ASNPkcs15AuthObject* pin = nullptr;
    ASSERT_EQ(0, app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
    EXPECT_EQ(SC_E_ACCESS_DENIED, app->VerifyPin(pin, "1234", false, nullptr));
    ClearLog();
    ASSERT_EQ(SC_OK, card->SetupSmDh(h.GetKeySet(), h.GetLocalPinRef()));
    ASSERT_NE(nullptr, card->GetSmCtx());
    EXPECT_EQ(h.GetLocalPinRef(), card->GetSmCtx()->GetKeySet()->group);
    EXPECT_EQ(0, app->VerifyPin(pin, "1234", false, nullptr));
    // After the key agreement every command goes protected.
    const std::vector<std::string> commands = Commands();
    size_t protectedCount = 0;
    for (const std::string& c : commands) {
        if (c.rfind("002241A6", 0) == 0 || c.substr(2, 2) == "86" || c.substr(2, 2) == "C0") continue;
        EXPECT_EQ("0C", c.substr(0, 2)) << c;
        ++protectedCount;
    }
    EXPECT_GT(protectedCount, 0u);
}
