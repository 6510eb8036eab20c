// The card's GlobalPlatform channel as the reader bridge hands it in and out,
// on simulated cards: the system key text setting the channel up (its length,
// its order, keys that are not the card's), the keys read back, the end of the
// agent's channel, and the activation of a not-activated IAS-ECC card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "smartcard/sc_smctx.h"
#include "tests/pkcs11impl/sim_bridge.h"

using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";

}  // namespace

TEST(BridgeChannel, SystemKeySetsUpTheChannelAndComesBackInItsOrder) {
  SimBridge h(kR0, "pkcs15-gp-channel.card");
  // Nothing of the card reads without its channel.
  ASSERT_TRUE(h.Start(false));
  EXPECT_EQ(nullptr, h.app);
  uint8_t buf[64];
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.GetCardKeySet(0, buf, sizeof buf));
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.CheckCardKeySet(0));
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.ResetCardSm(0));

  const std::vector<uint8_t> key = CardSystemKey();
  EXPECT_EQ(SC_E_PIN_TOO_SHORT, h.bridge.SetCardAuthKeys(0, key.data(), 32, true));
  EXPECT_EQ(SC_E_PIN_TOO_SHORT, h.bridge.SetCardAuthKeys(0, key.data(), 47, true));
  EXPECT_EQ(SC_E_PIN_TOO_SHORT, h.bridge.SetCardAuthKeys(0, nullptr, 48, true));
  EXPECT_EQ(SC_E_READER_NOT_FOUND, h.bridge.SetCardAuthKeys(3, key.data(), 48, true));
  // One key for all three is not this card's key set: no channel is left behind.
  EXPECT_LT(h.bridge.SetCardAuthKeys(0, key.data(), 16, true), 0);
  EXPECT_EQ(nullptr, h.card->GetSmCtx());

  ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
  ASSERT_NE(nullptr, h.card->GetSmCtx());
  EXPECT_TRUE(h.card->GetSmCtx()->IsEstablished());
  EXPECT_EQ(SC_OK, h.bridge.CheckCardKeySet(0));
  // A short buffer, or none, gets the length and nothing copied.
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(48, h.bridge.GetCardKeySet(0, buf, 16));
  EXPECT_EQ(48, h.bridge.GetCardKeySet(0, nullptr, sizeof buf));
  for (uint8_t b : buf) EXPECT_EQ(0xEE, b);
  ASSERT_EQ(48, h.bridge.GetCardKeySet(0, buf, 48));
  EXPECT_EQ(key, std::vector<uint8_t>(buf, buf + 48));
  EXPECT_EQ(SC_E_READER_NOT_FOUND, h.bridge.GetCardKeySet(3, buf, 48));

  // Over the channel the card's application reads.
  ASSERT_GE(h.bridge.RefreshTokenInfo(0, 1, 1), 0);
  ASSERT_NE(nullptr, h.bridge.GetSlotApp(0));

  // The agent's channel ends: no keys are left to give out, and nothing read
  // over the channel stays bound to the slot.
  EXPECT_EQ(SC_OK, h.bridge.ResetCardSm(0));
  EXPECT_EQ(nullptr, h.card->GetSmCtx());
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.GetCardKeySet(0, buf, sizeof buf));
  EXPECT_EQ(nullptr, h.bridge.GetSlotApp(0));
  EXPECT_LT(h.bridge.GetSlotResult(0), 0);
}

TEST(BridgeChannel, OnlyGlobalPlatformCardsTakeTheSystemKey) {
  SimBridge h(kR0, "pkcs15-model3.card");
  ASSERT_TRUE(h.Start());
  const std::vector<uint8_t> key = CardSystemKey();
  EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.CheckCardKeySet(0));
  // No card offers the system key's derivation data.
  size_t len = 0;
  EXPECT_EQ(SC_E_UNIMPLEMENTED_FEATURE, h.bridge.GetTokenData(0, 0xABEC1003, nullptr, &len));
}

TEST(BridgeChannel, ActivationNeedsTheAgentsChannel) {
  SimBridge h(kR0, "ias-not-activated.card");
  ASSERT_TRUE(h.Start(false));
  EXPECT_EQ(2u, h.card->GetCardState());
  EXPECT_EQ(SC_E_READER_NOT_FOUND, h.bridge.ActivateCard(1, true));
  // Without the system key the card refuses; it stays as it was.
  EXPECT_LT(h.bridge.ActivateCard(0, true), 0);
  EXPECT_NE(std::string::npos, testhost::ReadFile(h.env.Card("ias-not-activated.card")).find("\nlifecycle 07\n"));
  SCCard* card = h.bridge.GetReader(0)->GetCard();
  ASSERT_NE(nullptr, card);
  EXPECT_EQ(2u, card->GetCardState());

  // With it, activation without the SECURED step leaves the card's life cycle alone.
  const std::vector<uint8_t> key = CardSystemKey();
  ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
  EXPECT_EQ(SC_OK, h.bridge.ActivateCard(0, false));
  EXPECT_EQ(nullptr, card->GetSmCtx());
  EXPECT_EQ(2u, card->GetCardState());
  // The SECURED step brings it to the end.
  ASSERT_EQ(SC_OK, h.bridge.SetCardAuthKeys(0, key.data(), key.size(), true));
  ASSERT_EQ(SC_OK, h.bridge.ActivateCard(0, true));
  EXPECT_EQ(3u, card->GetCardState());
  EXPECT_EQ(nullptr, card->GetSmCtx());
  EXPECT_NE(std::string::npos, testhost::ReadFile(h.env.Card("ias-not-activated.card")).find("\nlifecycle 0F\n"));
  // The reader's tokens were read again: the application is there, in the clear.
  EXPECT_NE(nullptr, h.bridge.GetSlotApp(0));
  EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, h.bridge.CheckCardKeySet(0));
}
