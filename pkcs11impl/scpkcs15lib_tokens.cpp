// Token refresh past the reader check: the reader's PKCS#15 card object, the
// profile reading, the classification of cards without a usable PKCS#15
// structure and the binding of the card's applications to the reader's slots;
// and the card's identity (master-file header, serial number, model code).
#include <strings.h>

#include <cstring>
#include <new>
#include <string>

#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs11impl/tokeninfotext.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smctx.h"
#include "smartcard/sc_types.h"

namespace {

SCFileHeader* const kHeaderUnreadable = reinterpret_cast<SCFileHeader*>(~static_cast<uintptr_t>(0));
constexpr uint32_t kSerialUnreadable = 0xFFFFFFFFu;

const char* YesNo(bool v) { return v ? "true" : "false"; }

bool IsStatusWordFailure(SCRESULT rv) {
  return rv < 0 && (static_cast<uint64_t>(rv) & 0x2000000000010000ULL) == 0x2000000000010000ULL;
}

// Whether the reader shows the card present and answering (one state query).
bool CardAnswers(SCReader* reader) {
  const SCRESULT state = reader->CheckForChange(0);
  return state >= 0 && (static_cast<uint64_t>(state) & 0x3u) == SC_CARDSTATE_PRESENT;
}

bool DfNameIs(const SCFileHeader* h, const char* name) {
  if (h == nullptr || h == kHeaderUnreadable) return false;
  size_t len = 0;
  const uint8_t* bytes = h->GetDfName(&len);
  const size_t want = std::strlen(name);
  return bytes != nullptr && len == want && std::memcmp(bytes, name, want) == 0;
}

}  // namespace

SCRESULT SCPkcs15Lib::RefreshProfileAndBind(CK_SLOT_ID slot, uint32_t r, bool readProfile, bool reinserted) {
  const SCRESULT rv = ReadProfileAndBind(slot, r, readProfile, reinserted);
  // A card with which this process agreed keys has its channel whatever this
  // reading found (a TokenInfo without its group, none at all).
  SCCard* card = m_readers[r]->GetCard();
  if (AgreedChannelOf(r, card) != nullptr) SetUpDhSecureMessaging(slot, card, m_pAppTable[slot]);
  if (card != nullptr) AskCardForChannel(slot, r, card, !scIsReadFailure(rv));
  return rv;
}

void SCPkcs15Lib::AskCardForChannel(CK_SLOT_ID slot, uint32_t r, SCCard* card, bool askNow) {
  // Whether a card offers the channel is the card's answer (SCCard::SetChannelProbe);
  // what was read only names the key to ask about and says whether "no such key"
  // may be believed: where the structure was read whole and names no group (a
  // blank card, a token without a channel).
  const bool sm = GetOptionBits(PKCS15_OPTION_SM_MASK) != PKCS15_OPTION_SM_OFF;
  const AgreedChannel* agreed = AgreedChannelOf(r, card);
  SCPkcs15App* app = slot < m_slotCount ? m_pAppTable[slot] : nullptr;
  uint8_t ref = 0;
  bool noneMayBeAnswered = false;
  if (agreed != nullptr) {
    ref = static_cast<uint8_t>(agreed->group);
  } else if (app != nullptr && app->GetKeySet().Held()) {
    ref = static_cast<uint8_t>(app->GetKeySet().group);
  } else if (app != nullptr && app->IsLoaded()) {
    noneMayBeAnswered = !app->TokenInfoNamesGroup(&ref);
  } else if (app == nullptr) {
    noneMayBeAnswered = IsCardNotInitialized(r);
  }
  card->SetChannelProbe(sm, ref, noneMayBeAnswered);
  // Where no key set is known the channel cannot be set up: the card is asked at
  // first contact, so that what its answer holds back is said here (a card that
  // failed its reading is asked at its first secret).
  const bool keySetKnown = agreed != nullptr || (app != nullptr && app->GetHeaderList().IsKeySetValid());
  if (!sm || keySetKnown || !askNow) return;
  const SCRESULT offer = card->AskChannelOffer();
  if (offer == 1)
    Log(SC_E_SM_NOT_ESTABLISHED,
        "SCPkcs15Lib::RefreshTokenInfo(%d), the card offers secure messaging but no key set of it is known (the "
        "TokenInfo names none or could not be read), PINs and keys held back",
        static_cast<int>(slot));
  else if (offer < 0)
    Log(offer, "SCPkcs15Lib::RefreshTokenInfo(%d), whether the card offers secure messaging is not known, PINs and "
        "keys held back", static_cast<int>(slot));
}

SCRESULT SCPkcs15Lib::ReadProfileAndBind(CK_SLOT_ID slot, uint32_t r, bool readProfile, bool reinserted) {
  const int si = static_cast<int>(slot);
  SCCard* card = m_readers[r]->GetCard();
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(r) * m_tokensPerReader;
  if (m_slotChanged.size() < m_slotCount) m_slotChanged.resize(m_slotCount, 0);

  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  card->GetCardInfo(&info);

  SCPkcs15Card* p15 = m_pkcs15Cards[r];
  if (p15 == nullptr) {
    // A card object is made anew only for a card seen anew or one whose last
    // reading failed: either way its structure is read and its slots rebound.
    if (!reinserted) SetReaderFlag(r, READER_FLAG_REINSERTED);
    reinserted = true;
    SCPkcs15InstallAppServices();
    p15 = new (std::nothrow) SCPkcs15Card(card);
    if (p15 == nullptr) {
      SetReaderResults(r, SC_E_NO_MEMORY);
      return SC_E_NO_MEMORY;
    }
    m_pkcs15Cards[r] = p15;
  }
  uint32_t options = p15->GetOptions();
  options = (m_pkcs15Flags & PKCS15_FLAG_STATE_BITS) ? (options | 0x1u) : (options & ~0x1u);
  // With secure messaging on, a token whose TokenInfo a cut took finds its key set's copy.
  const bool sm = GetOptionBits(PKCS15_OPTION_SM_MASK) != PKCS15_OPTION_SM_OFF;
  p15->SetOptions(sm ? (options | SCPkcs15Card::OPTION_KEY_SET_COPIES) : (options & ~SCPkcs15Card::OPTION_KEY_SET_COPIES));

  SCRESULT rv = SC_OK;
  if (readProfile || reinserted) {
    ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED | READER_FLAG_NOT_ACTIVATED);
    if (p15->IsLoaded()) {
      rv = p15->GetLastResult();
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile was read, rv cached, wasReinserted: %s", si,
          YesNo(reinserted));
    } else if (!p15->IsLoadTried()) {
      Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), Reading profile", si);
      rv = p15->Load();
    } else {
      rv = p15->GetLastResult();
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), Profile not read - cached", si);
    }

    bool notInitialized = false;
    bool classify = false;
    bool agentRefused = false;
    if ((rv == SC_E_ACCESS_DENIED || rv == SC_E_PKCS15_CARD_NOT_ACTIVATED) && info.cardFamily == SC_CARD_TYPE_IAS &&
        card->GetCardState() == 2 && card->GetSmCtx() != nullptr && card->GetSmCtx()->IsGpChannelMode()) {
      // A card not yet activated that the personalisation agent has opened:
      // its structure reads over the agent's channel.
      rv = ReauthenticateAgent(slot, r, card, &p15);
      agentRefused = rv == SC_E_PKCS15_CARD_NOT_ACTIVATED;
    }
    if (agentRefused) {
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile, wasReinserted: %s (set all)", si, YesNo(reinserted));
    } else if (scIsReadFailure(rv) || (rv == SC_E_CARD_UNSUPPORTED && !CardAnswers(m_readers[r])) ||
               (rv == SC_E_ACCESS_DENIED && r < m_readAsPkcs15.size() && m_readAsPkcs15[r] != 0 &&
                !(info.cardFamily == SC_CARD_TYPE_IAS && card->GetCardState() == 2))) {
      // (A card that answered as PKCS#15 and now refuses to show its directory says
      // nothing of what it holds; an IAS card not yet activated shows it over a channel only.)
      // Not an answer about the card's structure (a card gone mute reads as
      // unsupported too): reported as it is, and the card object dropped so
      // that the next call reads the card again.
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile failed, read again at the next call (set all)", si);
      SetReaderResults(r, rv);
      ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED);
      ClearPkcs15Cards(static_cast<int>(r), false);
      return rv;
    } else if (rv == SC_E_CARD_IS_USED || IsStatusWordFailure(rv)) {
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile - card err", si);
      SetReaderFlag(r, READER_FLAG_UNUSABLE);
      rv = SC_E_CARD_UNSUPPORTED;
      classify = true;
    } else if (rv == SC_E_PKCS15_NO_PROFILES || rv == SC_E_CARD_UNSUPPORTED) {
      classify = true;
    } else {
      notInitialized = rv == SC_E_PKCS15_CARD_NOT_INITIALIZED;
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile, wasReinserted: %s (set all)", si, YesNo(reinserted));
    }
    // A readable structure without any application is a card without profiles.
    if (!classify && !agentRefused && rv == SC_OK && p15->GetApplicationCount() == 0) {
      rv = SC_E_PKCS15_NO_PROFILES;
      classify = true;
    }
    if (classify) {
      rv = ClassifyCard(r, card, info, rv);
      notInitialized = rv == SC_E_PKCS15_CARD_NOT_INITIALIZED;
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile, no profiles, card %sinitialized, wasReinserted: %s (set all)",
          si, notInitialized ? "not " : "", YesNo(reinserted));
    }
    SetReaderResults(r, rv);
    if (notInitialized)
      SetReaderFlag(r, READER_FLAG_NOT_INITIALIZED);
    else
      ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED);

    // Bind the reader's slots to the card's applications in card order.
    for (uint32_t t = 0; t < m_tokensPerReader; ++t) m_pAppTable[first + t] = nullptr;
    if (rv == SC_OK) {
      MarkReadAsPkcs15(r);
      const int32_t count = p15->GetApplicationCount();
      for (int32_t i = 0; i < count; ++i) {
        SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
        const CK_SLOT_ID number = first + static_cast<CK_SLOT_ID>(i);
        if (static_cast<uint32_t>(i) >= m_tokensPerReader) break;
        if (reinserted) {
          m_slotChanged[number] = 1;
          Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), CARD REINSERTED - SET !!!", static_cast<int>(number));
        }
        m_pAppTable[number] = app;
        // Where its TokenInfo is not to be had (a cut), the token keeps the key set its card agreed keys in.
        const AgreedChannel* agreed = AgreedChannelOf(r, card);
        if (agreed != nullptr && agreed->dirKey == app->GetDirPathKey()) {
          SCPkcs15App::KeySet kept;
          kept.entry = agreed->entry;
          kept.group = agreed->group;
          app->KeepKeySet(kept);
        }
      }
    }
  }

  if (!readProfile && !reinserted && m_pAppTable[slot] == nullptr) {
    // Nothing was read: the slot keeps what the last reading found.
    return m_slotResults[slot];
  }
  if (readProfile && !IsCardNotInitialized(r) && rv == SC_OK) {
    SCPkcs15App* app = m_pAppTable[slot];
    if (app == nullptr) {
      rv = slot == first ? SC_E_PKCS15_NO_PROFILES : SC_E_PKCS15_NO_APPLICATION;
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), !m_pAppTable[slotID]", si);
      SetSlotResult(slot, rv);
      return rv;
    }
    if ((m_pkcs15Flags & PKCS15_FLAG_ANY_CARD_BLANK) == 0 && !app->IsKnownProfile()) {
      rv = SC_E_PKCS15_UNSUPPORTED_PROFILE;
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), not veldor app", si);
      SetSlotResult(slot, rv);
      return rv;
    }
    if (app->IsLoaded()) {
      rv = m_slotResults[slot];
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile - cached, return", si);
    } else {
      rv = app->Load(false);
      if (rv < 0) {
        // A read that failed is reported as it is (the application is loaded
        // again at the next call); only what was read makes the profile unsupported.
        if (rv != SC_E_NO_MEMORY && !scIsReadFailure(rv) && IsLeftIncomplete(app, rv)) {
          // What an interrupted initialisation left is a card still to be
          // initialised: C_InitToken builds the token anew on it.
          Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), token left incomplete by an initialisation, not initialized", si);
          HoldSecretsOfIncompleteToken(slot, card, app, info);
          rv = SC_E_PKCS15_CARD_NOT_INITIALIZED;
        } else if (rv != SC_E_NO_MEMORY && !scIsReadFailure(rv)) {
          Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), read profile err, rv = SC_E_PKCS15_UNSUPPORTED_PROFILE(%08x), return",
              si, static_cast<unsigned>(rv));
          rv = SC_E_PKCS15_UNSUPPORTED_PROFILE;
        }
        SetSlotResult(slot, rv);
        return rv;
      }
      rv = SC_OK;
      if (LogEnabled()) {
        char label[256];
        const int n = app->GetTokenLabel(label, sizeof label);
        label[n > 0 && n < 256 ? n : 0] = '\0';
        Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), Profile read OK, token '%s'", si, label);
        std::string text;
        FormatTokenInfo(&text, app->GetTokenInfoFile().Contents());
        Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), TokenInfo:\n%s\n", si, text.c_str());
      }
    }
  } else if (readProfile && rv == SC_OK && m_pAppTable[slot] == nullptr && !IsCardNotInitialized(r)) {
    rv = slot == first ? SC_E_PKCS15_NO_PROFILES : SC_E_PKCS15_NO_APPLICATION;
  }
  if (rv != SC_OK) {
    SetSlotResult(slot, rv);
    return rv;
  }
  if (SCPkcs15App* app = m_pAppTable[slot]) SetUpDhSecureMessaging(slot, card, app);
  SetSlotResult(slot, rv);
  return rv;
}

SCRESULT SCPkcs15Lib::ReauthenticateAgent(CK_SLOT_ID slot, uint32_t r, SCCard* card, SCPkcs15Card** p15) {
  const int si = static_cast<int>(slot);
  Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), re-authenticating as personalisation agent", si);
  const SCRESULT auth = card->OpenSmChannel(SC_SM_KEYREF_AGENT, 0, 0xFFFFFFFFu, 0, 0);
  if (auth < 0) {
    if (auth == SC_E_VERIFY_FAILED || auth == SC_E_AUTH_FAILED) {
      Log(auth, "SCPkcs15Lib::RefreshTokenInfo(%d), invalid authentication authentication data; marking card as not activated",
          si);
    } else {
      char text[256];
      Log(auth, "SCPkcs15Lib::RefreshTokenInfo(%d), authentication failed: %s; marking card as not activated", si,
          GetErrorText(auth, text, sizeof text));
    }
    SetReaderFlag(r, READER_FLAG_NOT_ACTIVATED);
    return SC_E_PKCS15_CARD_NOT_ACTIVATED;
  }
  Log(auth, "SCPkcs15Lib::RefreshTokenInfo(%d), OK, authentication success", si);
  SCCard_IAS::SetSmOption(card, true);
  if (SCSmCtx* ctx = card->GetSmCtx()) ctx->SetRunning(false);
  // The structure is read from a fresh card object: nothing of the refused reading is kept.
  const uint32_t options = (*p15)->GetOptions();
  ClearPkcs15Cards(static_cast<int>(r), false);
  *p15 = new (std::nothrow) SCPkcs15Card(card);
  if (*p15 == nullptr) return SC_E_NO_MEMORY;
  (*p15)->SetOptions(options);
  m_pkcs15Cards[r] = *p15;
  Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), Rereading profile again after authentication", si);
  return (*p15)->Load();
}

void SCPkcs15Lib::SetUpDhSecureMessaging(CK_SLOT_ID slot, SCCard* card, SCPkcs15App* app) {
  const int si = static_cast<int>(slot);
  const uint32_t r = static_cast<uint32_t>(slot / m_tokensPerReader);
  const SCFileHeaderList* record = app != nullptr ? &app->GetHeaderList() : nullptr;
  const AgreedChannel* agreed = AgreedChannelOf(r, card);
  const int group = agreed != nullptr ? agreed->group
                    : record != nullptr && record->IsKeySetValid() ? static_cast<int8_t>(record->GetLocalPinRef())
                                                                     : -1;
  // The token's PINs, PUKs and keys go to the card only over a channel; where
  // none can be had they are held back rather than sent in the clear.
  const bool wanted = GetOptionBits(PKCS15_OPTION_SM_MASK) != PKCS15_OPTION_SM_OFF && group >= 0;
  card->SetSecretsNeedChannel(wanted);
  if (!wanted) return;
  const SCSmCtx* ctx = card->GetSmCtx();
  if (ctx != nullptr && ctx->IsGpChannelMode()) {
    Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), found info about DH SM params, but Globallatform SM is active skipping now",
        si);
    return;
  }
  if (ctx != nullptr && (ctx->GetKeySet() == nullptr || ctx->GetKeySet()->group == group)) return;
  // One try per call: the refreshes within a call that failed would only repeat it.
  const uint64_t call = m_callLock != nullptr ? m_callLock->GetHoldCount() : 0;
  if (m_smFailedCall.size() < m_readerCount) m_smFailedCall.resize(m_readerCount, 0);
  if (call != 0 && m_smFailedCall[r] == call) return;
  Log(SC_OK, "SCPkcs15Lib::RefreshTokenInfo(%d), found info about DH SM params - setting up Secure Messaging using %d dhgroup",
      si, group);
  const SCRESULT rv =
      card->SetupSmDh(agreed != nullptr ? agreed->keys : record->GetKeySet(), static_cast<uint32_t>(group));
  if (rv >= 0 && card->GetSmCtx() != nullptr) {
    Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), Secure messaging setup success, setting to automatic re-setup:", si);
    card->GetSmCtx()->SetEstablished(true);
    if (agreed == nullptr) RememberAgreedChannel(r, card, *app, group);
  } else {
    // Tried again at the next call; meanwhile what needs no secret goes on.
    m_smFailedCall[r] = call;
    Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), Secure messaging setup failed, PINs and keys held back until it succeeds:",
        si);
  }
}

void SCPkcs15Lib::HoldSecretsOfIncompleteToken(CK_SLOT_ID slot, SCCard* card, SCPkcs15App* app,
                                               const SCCardInfo& info) {
  if (app->GetHeaderList().IsKeySetValid()) {
    // The key set the copy kept (or the one held): the token is finished over its channel.
    SetUpDhSecureMessaging(slot, card, app);
    return;
  }
  const uint32_t r = static_cast<uint32_t>(slot / m_tokensPerReader);
  if (GetOptionBits(PKCS15_OPTION_SM_MASK) == PKCS15_OPTION_SM_OFF || info.cardFamily != SC_CARD_TYPE_IAS ||
      AgreedChannelOf(r, card) != nullptr)
    return;
  // Nothing tells whether the token had a channel: on a card whose model offers
  // one, its PINs are held back rather than risked in the clear.
  Log(SC_E_SM_NOT_ESTABLISHED, "SCPkcs15Lib::RefreshTokenInfo(%d), no key set left for the incomplete token, PINs and keys held back",
      static_cast<int>(slot));
  card->SetSecretsNeedChannel(true);
}

const SCPkcs15Lib::AgreedChannel* SCPkcs15Lib::AgreedChannelOf(uint32_t r, const SCCard* card) {
  if (r >= m_agreedChannels.size() || m_agreedChannels[r].atr.empty() || card == nullptr) return nullptr;
  uint32_t len = 0;
  const uint8_t* atr = card->GetAtr(&len);
  const std::vector<uint8_t>& kept = m_agreedChannels[r].atr;
  if (atr == nullptr || len != kept.size() || std::memcmp(atr, kept.data(), len) != 0) {
    ForgetAgreedChannel(r);
    return nullptr;
  }
  return &m_agreedChannels[r];
}

bool SCPkcs15Lib::HasAgreedChannel(uint32_t r) const {
  return r < m_agreedChannels.size() && !m_agreedChannels[r].atr.empty();
}

void SCPkcs15Lib::ForgetAgreedChannel(uint32_t r) {
  if (r < m_agreedChannels.size()) m_agreedChannels[r] = AgreedChannel();
}

void SCPkcs15Lib::RememberAgreedChannel(uint32_t r, const SCCard* card, const SCPkcs15App& app, int group) {
  uint32_t len = 0;
  const uint8_t* atr = card->GetAtr(&len);
  if (atr == nullptr || len == 0) return;
  try {
    if (m_agreedChannels.size() < m_readerCount) m_agreedChannels.resize(m_readerCount);
    AgreedChannel& a = m_agreedChannels[r];
    a.atr.assign(atr, atr + len);
    a.dirKey = app.GetDirPathKey();
    a.group = group;
    for (int i = 0; i < 3; ++i) a.keys[i] = app.GetHeaderList().GetKeySet()[i];
    a.entry = app.GetKeySet().group == group ? app.GetKeySet().entry : std::vector<uint8_t>();
  } catch (const std::bad_alloc&) {
    ForgetAgreedChannel(r);
  }
}

SCRESULT SCPkcs15Lib::ClassifyCard(uint32_t r, SCCard* card, const SCCardInfo& info, SCRESULT rv) {
  if ((info.flags & SC_CARDINFO_WRITABLE) == 0) SetReaderFlag(r, READER_FLAG_NOT_WRITABLE);
  const bool any = (m_pkcs15Flags & PKCS15_FLAG_ANY_CARD_BLANK) != 0;
  enum { KEEP, NOT_INIT, UNUSABLE } verdict = KEEP;
  const auto otherModels = [&]() { return rv == SC_E_CARD_UNSUPPORTED ? UNUSABLE : KEEP; };
  switch (info.cardFamily) {
    case SC_CARD_TYPE_SETCOS441: {
      if (ReadCardId(r, false) >= 0 && m_cardIds[r] != nullptr && m_cardIds[r] != kHeaderUnreadable) {
        if (any)
          verdict = DfNameIs(m_cardIds[r], "MIRTAL MASTER") ? KEEP : NOT_INIT;
        else
          verdict = DfNameIs(m_cardIds[r], "MIRTAL") ? NOT_INIT : KEEP;
        if (verdict == KEEP) verdict = otherModels();
      } else {
        verdict = otherModels();
      }
      break;
    }
    case SC_CARD_TYPE_COSMOPOLIC:
      verdict = (any || info.issuerCode < 2) ? NOT_INIT : otherModels();
      break;
    case SC_CARD_TYPE_CLASSIC:
      if (any)
        verdict = NOT_INIT;
      else if (rv == SC_E_PKCS15_NO_PROFILES)
        verdict = info.issuerCode == 0 ? NOT_INIT : KEEP;
      else if (rv == SC_E_CARD_UNSUPPORTED)
        verdict = card->GetCardState() == 3 ? UNUSABLE : (info.issuerCode == 0 ? NOT_INIT : UNUSABLE);
      break;
    case SC_CARD_TYPE_IAS:
      if (rv == SC_E_PKCS15_NO_PROFILES) {
        verdict = (any || info.issuerCode == 0) ? NOT_INIT : KEEP;
      } else if (rv == SC_E_CARD_UNSUPPORTED) {
        const uint32_t state = card->GetCardState();
        if (state == 2) {
          SetReaderFlag(r, READER_FLAG_NOT_ACTIVATED);
          return SC_E_PKCS15_CARD_NOT_ACTIVATED;
        }
        verdict = state == 3 ? UNUSABLE : ((any || info.issuerCode == 0) ? NOT_INIT : UNUSABLE);
      }
      break;
    default:
      verdict = otherModels();
      break;
  }
  if (verdict == NOT_INIT) return SC_E_PKCS15_CARD_NOT_INITIALIZED;
  if (verdict == UNUSABLE) {
    SetReaderFlag(r, READER_FLAG_UNUSABLE);
    return SC_E_CARD_UNSUPPORTED;
  }
  return rv;
}

bool SCPkcs15Lib::IsSlotChanged(CK_SLOT_ID slot) const {
  return slot < m_slotChanged.size() && m_slotChanged[slot] != 0;
}

void SCPkcs15Lib::AcknowledgeSlotChange(CK_SLOT_ID slot) {
  if (slot < m_slotChanged.size()) m_slotChanged[slot] = 0;
}

// ---- card identity ----

SCRESULT SCPkcs15Lib::ReadCardId(uint32_t reader, bool reread) {
  if (reader >= m_readerCount || m_cardIds == nullptr) return SC_E_BAD_USAGE;
  // A header that could not be read is read again, never taken for one.
  if (m_cardIds[reader] != nullptr && m_cardIds[reader] != kHeaderUnreadable && !reread) return SC_OK;
  SCReader* rd = m_readers[reader];
  if (rd == nullptr || !rd->IsConnected()) return SC_E_CARD_NOT_CONNECTED;
  SCCard* card = rd->GetCard();
  if (card == nullptr) return SC_E_CARD_UNSUPPORTED;
  if (m_cardIds[reader] != kHeaderUnreadable) delete m_cardIds[reader];
  m_cardIds[reader] = nullptr;
  SCFileHeader* header = nullptr;
  const SCRESULT rv = card->SelectMf(&header);
  m_cardIds[reader] = header != nullptr ? header : kHeaderUnreadable;
  return rv;
}

SCRESULT SCPkcs15Lib::IsBlankCardId(const SCFileHeader* header) {
  return DfNameIs(header, "MIRTAL") ? SC_OK : SC_E_CARD_UNSUPPORTED;
}

SCRESULT SCPkcs15Lib::IsMasterCardId(const SCFileHeader* header) {
  return DfNameIs(header, "MIRTAL MASTER") ? SC_OK : SC_E_CARD_UNSUPPORTED;
}

SCRESULT SCPkcs15Lib::IsMasterCard(uint32_t reader) {
  if (reader >= m_readerCount) return SC_E_BAD_USAGE;
  SCRESULT rv = RefreshTokenInfo(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, 0, 0);
  if (rv < 0 && rv != SC_E_CARD_UNSUPPORTED) return rv;
  rv = ReadCardId(reader, false);
  if (rv < 0) return rv;
  SCFileHeader* h = m_cardIds[reader];
  if (h == nullptr || h == kHeaderUnreadable) return SC_E_CARD_UNSUPPORTED;
  return IsMasterCardId(h);
}

uint32_t SCPkcs15Lib::GetCardModelCode(CK_SLOT_ID slot, bool force) {
  const SCRESULT ri = GetSlotReaderIndex(slot);
  if (ri < 0) return 255;
  const uint32_t r = static_cast<uint32_t>(ri);
  if (force || m_cardIds == nullptr || m_cardIds[r] == nullptr) {
    RefreshTokenInfo(slot, 0, 0);
    ReadCardId(r, false);
  }
  SCCard* card = m_readers[r] != nullptr ? m_readers[r]->GetCard() : nullptr;
  if (card == nullptr) return 255;
  const uint32_t type = card->GetCardType();
  if (type == SC_CARD_TYPE_COSMOPOLIC) return 4;
  if (type == SC_CARD_TYPE_SETCOS441) {
    const SCFileHeader* h = m_cardIds != nullptr ? m_cardIds[r] : nullptr;
    if (h == nullptr || h == kHeaderUnreadable) return 255;
    return h->GetModelCode();
  }
  return 255;
}

SCRESULT SCPkcs15Lib::GetCardSerialNumber(uint32_t reader, uint8_t* buf, uint32_t len) {
  if (reader >= m_readerCount || m_serialNumbers == nullptr) return SC_E_BAD_USAGE;
  const SCRESULT rr = RefreshTokenInfo(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, 0, 0);
  // A card without a usable PKCS#15 structure still has its serial number.
  if (!IsCardStructureResult(rr)) return rr;
  SCSerialNumber& sn = m_serialNumbers[reader];
  if (sn.bytes == nullptr && sn.length != kSerialUnreadable) {
    SCCard* card = m_readers[reader] != nullptr ? m_readers[reader]->GetCard() : nullptr;
    if (card == nullptr) return SC_E_CARD_UNSUPPORTED;
    uint8_t tmp[256];
    const SCRESULT n = card->GetSerialNumber(tmp, sizeof tmp);
    if (n < 1) {
      // Only a card that says it keeps no serial number is remembered so; an
      // exchange that failed is tried again by the next call.
      const bool none = n == 0 || n == SC_E_UNSUPPORTED_FEATURE || n == SC_E_NO_REFERENCED_DATA;
      if (none) sn.length = kSerialUnreadable;
      return none ? SC_E_CARD_UNSUPPORTED : n;
    }
    const uint32_t got = static_cast<uint32_t>(n > 256 ? 256 : n);
    sn.bytes = new (std::nothrow) uint8_t[got];
    if (sn.bytes == nullptr) return SC_E_NO_MEMORY;
    std::memcpy(sn.bytes, tmp, got);
    sn.length = got;
  }
  if (sn.length == kSerialUnreadable) return SC_E_CARD_UNSUPPORTED;
  if (buf == nullptr) return static_cast<SCRESULT>(sn.length);
  if (sn.length > len) return SC_E_INSUFFICIENT_BUFFER;
  std::memcpy(buf, sn.bytes, sn.length);
  return static_cast<SCRESULT>(sn.length);
}
