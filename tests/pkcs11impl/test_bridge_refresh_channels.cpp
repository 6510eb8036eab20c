// The secure channels that the token refresh sets up itself, on simulated
// cards: Diffie-Hellman secure messaging in the group a token's TokenInfo
// names (once, again at the next refresh after a failure, not beside a GlobalPlatform
// channel), and the personalisation agent's channel
// opened again when a not-activated card is read anew, or the card left not
// activated when it refuses the agent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_smctx.h"
#include "support/debuglog.h"
#include "tests/pkcs11impl/sim_bridge.h"

using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The bridge's log lines of the rest of a test, in a file of its HOME.
struct BridgeLog {
  std::string path;
  explicit BridgeLog(SimBridge* h) : path(h->env.Path("bridge.log")) {
    h->bridge.SetPkcs15Flags(PKCS15_FLAG_LOG);
    DebugLogSetFile(path.c_str());
  }
  ~BridgeLog() { LogDisableOutput(nullptr); }
  std::string Text() const { return testhost::ReadFile(path); }
};

}  // namespace

TEST(BridgeRefreshChannels, DiffieHellmanSecureMessagingIsSetUpOnceAndTriedAgainAfterAFailure) {
  const std::string kat = "> 002241A6";  // MSE SET KAT: the start of a key agreement
  {
    SimBridge h(kR0, "ias-dh-channel.card");
    CardSim sim;
    sim.ClearLog(kR0);  // the simulator outlives each bridge
    ASSERT_TRUE(h.Start());
    const SCSmCtx* ctx = h.card->GetSmCtx();
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ(SC_SM_MODE_ISO, ctx->GetMode());
    EXPECT_TRUE(ctx->IsEstablished());
    ASSERT_NE(nullptr, ctx->GetKeySet());
    EXPECT_EQ(1, ctx->GetKeySet()->group);
    // A refresh finds the channel of its group in place.
    EXPECT_EQ(SC_OK, h.bridge.RefreshTokenInfo(0, 1, 0));
    EXPECT_EQ(SC_OK, h.bridge.RefreshTokenInfo(0, 0, 0));
    EXPECT_EQ(1u, Count(sim.ApduLog(kR0), kat));
  }
  {
    // The card refuses the key agreement: the token is read all the same, without the channel,
    // its secrets held back; the group stays and the next refresh agrees keys.
    SimBridge h(kR0, "ias-dh-channel.card");
    CardSim sim;
    sim.ClearLog(kR0);  // the simulator outlives each bridge
    ASSERT_EQ(0, sim.InjectSw(kR0, 0x86, 0x6A80, 1));
    ASSERT_TRUE(h.Start());
    EXPECT_EQ(nullptr, h.card->GetSmCtx());
    EXPECT_TRUE(h.card->SecretsNeedChannel());
    EXPECT_EQ(1, h.app->GetHeaderList().GetLocalPinRef());
    EXPECT_EQ(SC_OK, h.bridge.GetSlotResult(0));
    EXPECT_EQ(SC_OK, h.bridge.RefreshTokenInfo(0, 1, 0));
    ASSERT_NE(nullptr, h.card->GetSmCtx());
    EXPECT_TRUE(h.card->GetSmCtx()->IsEstablished());
    EXPECT_EQ(2u, Count(sim.ApduLog(kR0), kat));
  }
}

TEST(BridgeRefreshChannels, GlobalPlatformChannelOfTheCardKeepsItsPlace) {
  SimBridge h(kR0, "ias-dh-channel.card");
  h.Patch("ias-dh-channel.card", "\nprotect ",
          "\ngp-keys version=01 level=13 counter=0000 enc=404142434445464748494A4B4C4D4E4F "
          "mac=505152535455565758595A5B5C5D5E5F dek=606162636465666768696A6B6C6D6E6F\nprotect ");
  h.bridge.SetOptionBits(PKCS15_OPTION_SM_OFF, PKCS15_OPTION_SM_MASK);
  ASSERT_TRUE(h.Start());
  const std::vector<uint8_t> key = CardSystemKey();
  ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), false));
  h.bridge.SetOptionBits(0, PKCS15_OPTION_SM_MASK);
  BridgeLog log(&h);
  EXPECT_EQ(SC_OK, h.bridge.RefreshTokenInfo(0, 1, 0));
  ASSERT_NE(nullptr, h.card->GetSmCtx());
  EXPECT_TRUE(h.card->GetSmCtx()->IsGpChannelMode());
  EXPECT_NE(std::string::npos,
            log.Text().find("RefreshTokenInfo(0), found info about DH SM params, but Globallatform SM is active "
                            "skipping now ("))
      << log.Text();
}

TEST(BridgeRefreshChannels, CardThatRefusesTheAgentStaysNotActivated) {
  SimBridge h(kR0, "ias-not-activated.card");
  CardSim sim;
  ASSERT_TRUE(h.Start(false));
  EXPECT_EQ(SC_E_PKCS15_CARD_NOT_ACTIVATED, h.bridge.GetSlotResult(0));
  const std::vector<uint8_t> key = CardSystemKey();
  BridgeLog log(&h);
  // The card refuses the agent's host cryptogram, then its channel: each time the
  // channel is gone and the card reads as not activated.
  struct {
    unsigned sw;
    const char* line;
  } const refusals[] = {
      {0x6300, "RefreshTokenInfo(0), invalid authentication authentication data; marking card as not activated ("},
      {0x6982, "RefreshTokenInfo(0), authentication failed: "},
  };
  for (const auto& refusal : refusals) {
    ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
    ASSERT_EQ(0, sim.InjectSw(kR0, 0x82, refusal.sw, 1));
    EXPECT_EQ(SC_E_PKCS15_CARD_NOT_ACTIVATED, h.bridge.RefreshTokenInfo(0, 1, 0));
    EXPECT_TRUE(h.bridge.IsCardNotActivated(0));
    EXPECT_EQ(nullptr, h.bridge.GetSlotApp(0));
    EXPECT_EQ(nullptr, h.card->GetSmCtx());
    EXPECT_NE(std::string::npos, log.Text().find(refusal.line)) << log.Text();
  }
  // Accepted, the agent's channel reads the card's token.
  ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
  EXPECT_EQ(SC_OK, h.bridge.RefreshTokenInfo(0, 1, 0));
  EXPECT_FALSE(h.bridge.IsCardNotActivated(0));
  EXPECT_NE(nullptr, h.bridge.GetSlotApp(0));
  ASSERT_NE(nullptr, h.card->GetSmCtx());
  EXPECT_FALSE(h.card->GetSmCtx()->IsRunning());
}
