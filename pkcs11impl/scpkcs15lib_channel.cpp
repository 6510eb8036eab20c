// The card's GlobalPlatform channel as the bridge hands it in and out: the
// system key given by the personalisation agent, the keys read back, the end
// of the agent's channel, and the activation of a card (GlobalPlatform life
// cycle SECURED on IAS-ECC cards).
#include <cstring>

#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smctx.h"
#include "smartcard/sc_types.h"

namespace {

constexpr size_t kKeyLength = 16;

bool IsGlobalPlatformFamily(uint32_t model) {
  return model == SC_CARD_TYPE_CLASSIC || model == SC_CARD_TYPE_GLOBALPLATFORM || model == SC_CARD_TYPE_IAS;
}

// The life-cycle byte of an IAS-ECC card's answer-to-reset (option word bits 8-15).
uint8_t AtrLifeCycle(const SCCard* card) { return static_cast<uint8_t>((card->GetOptions() >> 8) & 0xFF); }

// The three keys of a GlobalPlatform context.
struct ChannelKeys {
  const uint8_t* key[SCSmCtx::KEY_COUNT] = {nullptr, nullptr, nullptr};
  size_t len[SCSmCtx::KEY_COUNT] = {0, 0, 0};
  bool Has(int i) const { return key[i] != nullptr && len[i] != 0; }
  // One key, or three of the first key's length.
  bool IsWhole() const {
    if (!Has(1) && !Has(2)) return true;
    return Has(1) && Has(2) && len[1] == len[0] && len[2] == len[0];
  }
};

// The preconditions of the key-set members: the card of the slot's reader, its
// GlobalPlatform context and the context's keys, which may be missing only when
// the context can have them otherwise.
SCRESULT ChannelOf(const SCPkcs15Lib& lib, CK_SLOT_ID slot, SCCard** card, ChannelKeys* keys) {
  const SCRESULT ri = lib.GetSlotReaderIndex(slot);
  if (ri < 0) return SC_E_READER_NOT_FOUND;
  SCReader* reader = lib.GetReader(static_cast<uint32_t>(ri));
  *card = reader != nullptr ? reader->GetCard() : nullptr;
  if (*card == nullptr) return SC_E_NO_SMARTCARD;
  const SCSmCtx* ctx = (*card)->GetSmCtx();
  if (ctx == nullptr || !ctx->IsGpChannelMode()) return SC_E_PKCS15_NOT_LOGGED_IN;
  for (int i = 0; i < SCSmCtx::KEY_COUNT; ++i) keys->key[i] = ctx->GetKey(i, &keys->len[i]);
  if (!keys->Has(0) && !ctx->AreKeysAvailableOtherwise()) return SC_E_PKCS15_NOT_LOGGED_IN;
  return SC_OK;
}

}  // namespace

SCRESULT SCPkcs15Lib::SetCardAuthKeys(CK_SLOT_ID slot, const uint8_t* keys, size_t len, bool refresh) {
  const SCRESULT ri = GetSlotReaderIndex(slot);
  if (ri < 0) return SC_E_READER_NOT_FOUND;
  if (refresh) {
    // A card whose structure cannot be read without the channel is the very card this is for.
    const SCRESULT rv = RefreshTokenInfo(slot, 0, 0);
    if (!IsCardStructureResult(rv)) return rv;
  }
  SCReader* reader = GetReader(static_cast<uint32_t>(ri));
  SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  if (card == nullptr) return SC_E_NO_SMARTCARD;
  const uint32_t model = card->GetCardType();
  if (!IsGlobalPlatformFamily(model)) return SC_E_UNSUPPORTED_FEATURE;
  if (keys == nullptr || (len != kKeyLength && len != 3 * kKeyLength)) return SC_E_PIN_TOO_SHORT;
  // The key text is ENC || MAC || DEK; the channel takes MAC, ENC, DEK.
  const bool three = len == 3 * kKeyLength;
  const uint8_t* mac = three ? keys + kKeyLength : keys;
  const uint8_t* enc = keys;
  const uint8_t* dek = three ? keys + 2 * kKeyLength : keys;
  // An activated IAS-ECC card keeps its commands in the clear until the option asks for the channel.
  const bool pause = model == SC_CARD_TYPE_IAS && AtrLifeCycle(card) == SC_GP_LC_SECURED;
  const SCRESULT rv = card->SetupGpChannel(mac, kKeyLength, enc, kKeyLength, dek, kKeyLength, pause, 0);
  Log(rv, "SCPkcs15Lib::SetCardAuthKeys(%d), channel set up, paused: %s", static_cast<int>(slot), pause ? "true" : "false");
  if (model == SC_CARD_TYPE_IAS) SCCard_IAS::SetSmOption(card, true);
  return rv;
}

SCRESULT SCPkcs15Lib::GetCardKeySet(CK_SLOT_ID slot, uint8_t* buf, size_t bufLen) {
  SCCard* card = nullptr;
  ChannelKeys k;
  const SCRESULT rv = ChannelOf(*this, slot, &card, &k);
  if (rv < 0 || !k.Has(0)) return rv;
  if (!k.IsWhole()) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
  const bool three = k.Has(1);
  const size_t size = three ? 3 * k.len[0] : k.len[0];
  if (buf == nullptr || bufLen < size) return static_cast<SCRESULT>(size);
  if (three) {
    std::memcpy(buf, k.key[1], k.len[0]);
    std::memcpy(buf + k.len[0], k.key[0], k.len[0]);
    std::memcpy(buf + 2 * k.len[0], k.key[2], k.len[0]);
  } else {
    std::memcpy(buf, k.key[0], k.len[0]);
  }
  return static_cast<SCRESULT>(size);
}

SCRESULT SCPkcs15Lib::CheckCardKeySet(CK_SLOT_ID slot) {
  SCCard* card = nullptr;
  ChannelKeys k;
  const SCRESULT rv = ChannelOf(*this, slot, &card, &k);
  if (rv < 0 || !k.Has(0)) return rv;
  return k.IsWhole() ? SC_OK : SC_E_PKCS15_TEMPLATE_INCONSISTENT;
}

SCRESULT SCPkcs15Lib::ResetCardSm(CK_SLOT_ID slot) {
  SCCard* card = nullptr;
  ChannelKeys k;
  const SCRESULT rv = ChannelOf(*this, slot, &card, &k);
  if (rv < 0) return rv;
  if (card->GetCardType() == SC_CARD_TYPE_IAS) SCCard_IAS::SetSmOption(card, false);
  card->DropSmContext();
  // What the card showed over the channel is not kept: the reader's tokens are
  // read again as the card shows itself without it.
  RefreshTokenInfo(slot - slot % m_tokensPerReader, 1, 1);
  return SC_OK;
}

SCRESULT SCPkcs15Lib::ActivateCard(uint32_t reader, bool secure) {
  if (reader >= m_readerCount) return SC_E_READER_NOT_FOUND;
  SCReader* rd = GetReader(reader);
  SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
  if (card == nullptr) return SC_E_NO_SMARTCARD;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  SCRESULT rv;
  if (card->GetCardType() != SC_CARD_TYPE_IAS) {
    rv = card->ActivateCard();
    Log(rv, "SCPkcs15Lib::ActivateCard(%u), activated", reader);
    RefreshTokenInfo(first, 1, 1);
    return rv;
  }
  if (!card->IsAppletSelected()) {
    rv = card->SelectApplet();
    if (rv >= 0) rv = card->OpenSmChannel(0, 0, SC_UNSET, 0, 0);
    if (rv >= 0) rv = card->ActivateCard();
  } else {
    rv = card->ActivateCard();
  }
  if (secure && rv >= 0 && AtrLifeCycle(card) != SC_GP_LC_SECURED) {
    // SET STATUS belongs to the issuer security domain, which takes it over its own channel.
    rv = card->SelectIssuerSecurityDomain();
    if (rv >= 0) {
      rv = SCCard_GlobalPlatform::SetStatus(card, 0x80, SC_GP_LC_SECURED, nullptr, 0);
      if (rv == SC_E_ACCESS_DENIED || rv == SC_E_CONDITIONS_NOT_SATISFIED) {
        rv = card->OpenSmChannel(0, 0, SC_UNSET, 0, 0);
        if (rv >= 0) rv = SCCard_GlobalPlatform::SetStatus(card, 0x80, SC_GP_LC_SECURED, nullptr, 0);
      }
    }
    SCCard_IAS::ReadLifeCycleFromAtr(card);
  }
  if (rv >= 0) {
    SCCard_IAS::SetSmOption(card, false);
    card->DropSmContext();
    if (secure) rv = card->SelectApplet();
  }
  SCCard_IAS::DetectCardState(card);
  Log(rv, "SCPkcs15Lib::ActivateCard(%u), card state %u", reader, card->GetCardState());
  // The card reads differently now: the reader's tokens are read again.
  RefreshTokenInfo(first, 1, 1);
  return rv;
}

SCRESULT SCPkcs15Lib::GetTokenData(CK_SLOT_ID, CK_ATTRIBUTE_TYPE, uint8_t*, size_t*) { return SC_E_UNIMPLEMENTED_FEATURE; }
