// Tokens added to and removed from a reader's card as a whole: a new PKCS#15
// application under an SO PIN, the removal of one application or of all, and
// whether a token is one of the maker's.
#include <strings.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"

namespace {

// The maker's name at the start of a TokenInfo's manufacturer identifier.
const char kMakerName[] = "Veldor";

bool IsCardAbsent(SCRESULT rv) { return rv == SC_E_NO_SMARTCARD || rv == SC_E_CARD_REMOVED; }

// No answer came from the card (pulled, mute, its reader gone, the exchange lost): a
// failure that carries no status word and that the card does not give of itself (a
// reset is taken up).
bool Unanswered(SCRESULT r) {
  return r < 0 && !scIsStatusWordResult(r) && r != SC_E_CARD_WAS_RESET &&
         (scIsReadFailure(r) || r == SC_E_CARD_NOT_CONNECTED || r == SC_E_CARD_UNSUPPORTED || r == SC_E_CARD_IS_USED);
}

}  // namespace

std::string SCPkcs15Lib::MakeUniqueAppLabel(SCPkcs15Card* card, const char* label, const SCPkcs15App* except) {
  const std::string base = label != nullptr ? label : "";
  std::string candidate = base;
  for (int n = 2; FindAppByLabel(card, candidate.c_str(), except); ++n) candidate = base + " " + std::to_string(n);
  return candidate;
}

SCRESULT SCPkcs15Lib::IsVeldorToken(CK_SLOT_ID slot, bool* result, bool refresh) {
  if (result != nullptr) *result = false;
  if (slot >= m_slotCount || m_pAppTable == nullptr) return SC_E_READER_NOT_FOUND;
  if (refresh) {
    const SCRESULT rv = RefreshTokenInfo(slot, 1, 0);
    if (rv < 0) return rv;
  }
  SCPkcs15App* app = m_pAppTable[slot];
  if (app == nullptr) return SC_E_PKCS15_UNSUPPORTED_PROFILE;
  bool known = app->IsKnownProfile();
  if (!known) {
    const ASNPkcs15TokenInfo& ti = app->GetTokenInfoFile().Contents();
    const size_t want = sizeof kMakerName - 1;
    known = ti.wasManufacturerID && ti.manufacturerID.getLength() >= static_cast<long>(want) &&
            strncasecmp(reinterpret_cast<const char*>(ti.manufacturerID.getData()), kMakerName, want) == 0;
  }
  if (result != nullptr) *result = known;
  return SC_OK;
}

CK_RV SCPkcs15Lib::CheckCardForTokens(uint32_t reader, SCPkcs15Card** p15, SCCard** card) const {
  *p15 = nullptr;
  *card = nullptr;
  if (reader >= m_readerCount || m_pkcs15Cards == nullptr || m_pkcs15Cards[reader] == nullptr)
    return CKR_FUNCTION_FAILED;
  SCReader* rd = m_readers[reader];
  SCCard* c = rd != nullptr ? rd->GetCard() : nullptr;
  if (c == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  *p15 = m_pkcs15Cards[reader];
  *card = c;
  return CKR_OK;
}

CK_RV SCPkcs15Lib::AddToken(uint32_t reader, const char* label, const char* soPin, long soPinLen, bool asBlank,
                            SCCardRules* rules, const std::vector<uint8_t>* leftovers) {
  SCPkcs15Card* p15 = nullptr;
  SCCard* card = nullptr;
  CK_RV ck = CheckCardForTokens(reader, &p15, &card);
  if (ck != CKR_OK) return ck;
  const uint32_t model = card->GetCardType();
  if (model == SC_CARD_TYPE_CLASSIC || model == SC_CARD_TYPE_IAS) {
    if (dynamic_cast<SCCard_GlobalPlatform*>(card) == nullptr) return CKR_TOKEN_WRITE_PROTECTED;
    const SCRESULT sel = card->SelectApplet();
    if (sel == SC_E_CARD_UNSUPPORTED) return CKR_TOKEN_NOT_RECOGNIZED;
    if (IsCardAbsent(sel)) return CKR_DEVICE_REMOVED;
    if (sel < 0) return CKR_TOKEN_WRITE_PROTECTED;
  }
  // An unfinished token's label is not taken.
  const std::string unique = asBlank ? std::string(label != nullptr ? label : "") : MakeUniqueAppLabel(p15, label, nullptr);
  InitSecret pin;
  if (soPin != nullptr && !pin.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen)))
    return CKR_HOST_MEMORY;

  SCRESULT rv = SC_OK;
  {
    SCTransactGuard guard(card);
    // A reset by another application while the token is written is taken up
    // (the card reconnected, the SO PIN verified again) and the command sent again.
    InitWriteGuard writing(card);
    // What the call changes on the card from here, for the text of a failure.
    const SCCard::ChangeCount start = card->Changes();
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    rv = card->GetCardInfo(&info);
    SCFileHeaderList refs;
    if (rv >= 0) {
      // The card profile's PIN and key references for the next application.
      const bool rokvast = model == SC_CARD_TYPE_CLASSIC && m_initProfile != nullptr &&
                           strcasecmp(m_initProfile, "rokvast") == 0;
      SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &refs,
                                              rokvast ? -1 : asBlank ? 0 : p15->GetApplicationCount());
    }
    SCPkcs15App* app = nullptr;
    // Until the card holds something of the new application, a failure (a wrong
    // SO PIN above all) takes it back in memory only.
    bool written = false;
    uint8_t soRef = 0;     // the SO PIN this call verified or made
    bool soMade = false;  // made by this call: it goes again after a failure
    bool dirExisted = !p15->GetCardDir().IsKnownAbsent();
    // The SO PIN the call verified before anything changes (GroundFor did, where it
    // ran: then nothing is sent again).
    SCCardRules own(card);
    SCCardRules& judged = rules != nullptr && rules->Card() == card ? *rules : own;
    const bool onBlank = asBlank || p15->GetApplicationCount() == 0;
    uint8_t keptSo = 0xFF;
    if (rv >= 0 && pin.IsSet())
      keptSo = TrustSoPin(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, card, pin.Get(), pin.Length(), &judged,
                          onBlank ? InitGround::kAsBlank : InitGround::kAsRead, &rv);
    // A card reset since (another application) forgot it: the value it accepted goes again.
    SCValueSet verified;
    card->GetVerifiedPins(&verified);
    if (rv >= 0 && pin.IsSet() && keptSo < 0xFF && !verified.Contains(static_cast<uint16_t>(SC_AC_PIN | keptSo)))
      rv = VerifySoPinAgain(card, keptSo, pin.Get(), pin.Length());
    if (rv >= 0 && pin.IsSet() && keptSo < 0xFF) InitWriteGuard::SoVerified(card, keptSo, pin.Get(), pin.Length());
    // An SO PIN the token takes where the card keeps none is made with the value given:
    // a length its record (the card's limits) refuses goes no further, nothing written.
    if (rv >= 0 && pin.IsSet() && refs.GetSoPinRef() != keptSo && refs.GetSoPinRef() < 0x80 &&
        (pin.Length() < info.minPinLen || (info.maxPinLen != 0 && pin.Length() > info.maxPinLen)))
      rv = SC_E_PIN_TOO_SHORT;
    // What an earlier call of this module left where the token's PINs go (GroundFor)
    // goes first, under the SO PIN verified: a card that keeps it takes no token.
    for (size_t i = 0; rv >= 0 && pin.IsSet() && leftovers != nullptr && i < leftovers->size(); ++i) {
      rv = DeleteMasterFilePin(card, (*leftovers)[i], keptSo, pin.Get(), pin.Length());
      LogLeftover(card, (*leftovers)[i], rv);
    }
    // The PINs the token makes in the master file: its SO PIN where the card keeps none
    // there yet, and a global user PIN.
    const uint8_t madeSo = refs.GetSoPinRef() != keptSo && refs.GetSoPinRef() < 0x80 ? refs.GetSoPinRef() : 0xFF;
    const uint8_t userRef = refs.GetUserPinRef();
    // A card that holds no token yet: an EF.DIR others may change is not the token's (BlankCard).
    std::optional<BlankCard> blank;
    if (rv >= 0 && pin.IsSet() && onBlank) {
      rv = blank.emplace(this, reader, card, &p15->GetCardDir(), keptSo, madeSo, true, &judged).Failure();
      if (rv >= 0 && asBlank) {
        rv = blank->Clear();
        written = rv > 0;
        ForgetApplications(reader);
      }
    } else if (rv >= 0 && pin.IsSet()) {
      // Beside the card's tokens, a global PIN at the new token's reference is another's
      // (GroundFor refused it), unless it was a leftover of this module's that went above.
      const bool went = leftovers != nullptr && std::find(leftovers->begin(), leftovers->end(), userRef) != leftovers->end();
      const SCRESULT at = userRef != 0 && userRef < 0x80 && !went ? judged.Stands(userRef) : 0;
      if (at == 1)
        Log(SC_E_ACCESS_DENIED, "%s: PIN %02X stands where the new token's user PIN goes: nothing changed",
            card->GetCardName(), static_cast<unsigned>(userRef));
      rv = at == 1 ? SC_E_ACCESS_DENIED : at < 0 ? at : rv;
      // The new token's record goes into an EF.DIR the blank card's own SO PIN may guard.
      const uint8_t dirSo = DirSoPin(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, card, p15, keptSo);
      if (rv >= 0 && dirSo != keptSo) rv = SecondSoPin(card, dirSo, pin.Get(), pin.Length(), &judged);
    }
    // The blank card's SO PIN, which the call verified, guards an EF.DIR the call
    // makes: EF.DIR names the token before the token's own SO PIN is made, so that a
    // cut leaves no PIN of the call's on a card that shows no token.
    const bool dirFirst = blank && madeSo < 0xFF && keptSo < 0xFF;
    if (rv >= 0) rv = p15->AddApplication(&app, refs, unique.c_str(), dirFirst ? keptSo : 0xFF);
    // The first token of a card goes to 3F00/5015: a DF of the PKCS#15 name that stands
    // there (the card said it was not there) fails the call.
    SCPath df;
    if (rv >= 0 && blank && app->BuildAbsolutePath(&df) >= 0 && !(df.Count() == 2 && df[1] == 0x5015)) {
      const uint16_t place[2] = {SC_FID_MF, 0x5015};
      SCFileHeader* header = nullptr;
      const SCRESULT at = card->SelectPath(place, 2, &header);
      const std::unique_ptr<SCFileHeader> owned(header);
      size_t len = 0;
      const uint8_t* name = owned ? owned->GetDfName(&len) : nullptr;
      if (at < 0 && at != SC_E_FILE_NOT_FOUND) {
        rv = at;
      } else if (at >= 0 && name != nullptr && len == 12 && std::memcmp(name, ASNPkcs15DIRRecord::kPkcs15Aid, 12) == 0) {
        Log(SC_E_INVALID_DATA_FORMAT, "%s: a DF of the PKCS#15 name stands where the card's first token goes: nothing "
            "made", card->GetCardName());
        rv = SC_E_INVALID_DATA_FORMAT;
      }
    }
    if (rv >= 0 && pin.IsSet()) {
      ASNPkcs15AuthObject* so = nullptr;
      rv = app->FindPinObject(SCPkcs15App::PIN_SO, &so);
      // The SO PIN the call verified goes on; one this call makes is made after what
      // stands at its reference went.
      const bool kept = rv >= 0 && SCPkcs15App::GetPinReference(so) == keptSo;
      if (rv >= 0) soRef = SCPkcs15App::GetPinReference(so);
      if (kept) rv = app->VerifyPin(so, pin.Get(), true, nullptr);
      if (rv >= 0 && blank) {
        dirExisted = dirExisted && !blank->DirOpen();
        rv = blank->Clear();
        written = written || rv > 0;
      }
      if (rv >= 0 && dirFirst) {
        written = true;
        rv = p15->GetCardDir().Write(nullptr, 0, nullptr);
      }
      if (rv >= 0 && !kept) {
        // Where the blank card was just asked for it, it is not asked again.
        SCPinParams record;
        if (blank && blank->Absent(soRef)) record.flags = SC_PINREC_IN_CURRENT_DF;
        const SCRESULT state = record.flags != 0 ? SC_E_NO_REFERENCED_DATA : app->QueryPinStatus(so, nullptr);
        if (state == SC_E_PIN_NOT_INITIALIZED || state == SC_E_NO_REFERENCED_DATA) {
          written = true;
          soMade = state == SC_E_NO_REFERENCED_DATA;
          rv = app->SetPin(so, nullptr, pin.Get(), &record, nullptr);
        } else if (state < 0) {
          rv = state;
        }
        if (rv >= 0) rv = app->VerifyPin(so, pin.Get(), true, nullptr);
      }
      if (rv >= 0) InitWriteGuard::SoVerified(card, SCPkcs15App::GetPinReference(so), pin.Get(), pin.Length());
    }
    // The user PIN is made with the token, without value, for the SO to set: none is
    // left for anyone else to make (a local one in the token's DF, whatever the card
    // finds above it).
    SCPinParams userRecord = WithoutValue(soRef, userRef >= 0x80 || !blank || blank->Absent(userRef));
    if (rv >= 0) {
      const void* args[4] = {nullptr, &userRecord, pin.IsSet() ? pin.Get() : nullptr, nullptr};
      written = true;
      rv = p15->InitializeApplication(app, args);
    }
    // Success only after a fresh look at what the token relies on.
    if (rv >= 0 && pin.IsSet()) rv = FreshLook(this, app, soRef, !dirExisted, true, &judged);
    // A failed creation takes back only the application made here.
    if (rv < 0 && app != nullptr) {
      if (written) {
        // What the call sent, and what the card carried out, before the steps back.
        const bool sent = card->Changes().sent != start.sent, wrote = card->Changes().done != start.done;
        // The card may have forgotten the SO PIN with the fault: it is verified
        // again for the steps back. The token's DF goes first (its rules name the
        // user PIN), then a global user PIN made with it, then what EF.DIR names and
        // the SO PIN made for the token in the reverse of their making (EF.DIR under
        // the blank card's SO PIN came first on models 1 and 7), each only where what
        // it guards went: every state on the way is one a cut of the making leaves,
        // which the next C_InitToken takes. The trace and the message tell why, and what stays.
        if (pin.IsSet()) (void)VerifySoPinAgain(card, soRef, pin.Get(), pin.Length());
        TakeBack back;
        back.Step(p15->DeleteApplication(app, false));
        std::vector<MadePin> user, so;
        if (userRef != 0 && userRef < 0x80) user.push_back({userRef, soRef, pin.Get(), pin.Length(), false});
        if (soMade && soRef != 0 && soRef < 0x80) so.push_back({soRef, soRef, pin.Get(), pin.Length(), false});
        (void)TakeBackPins(card, user, &back);
        if (!dirFirst && back.whole) back.Step(DirWithout(p15, !dirExisted));
        (void)TakeBackPins(card, so, &back);
        if (dirFirst && back.whole) back.Step(DirWithout(p15, !dirExisted));
        rv = TellTakenBack(reader, card, rv, sent, wrote, back);
      } else {
        p15->DiscardApplication(app, app->GetSourceDirRecord());
      }
    }
  }
  // The card holds what this call wrote: a reading the card refuses now is read again.
  if (rv >= 0) MarkReadAsPkcs15(reader);
  (void)RefreshTokenInfo(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, 0, 1);
  if (rv >= 0) return CKR_OK;
  if (rv == SC_E_PKCS15_UNSUPPORTED_PROFILE || rv == SC_E_PKCS15_PIN_NOT_FOUND) return CKR_TOKEN_NOT_RECOGNIZED;
  return MapScErrorToCkr(rv, false);
}

SCRESULT SCPkcs15Lib::DirWithout(SCPkcs15Card* p15, bool made) {
  // One the call made that names nothing now goes at once: no emptied EF.DIR stands
  // between the one naming the token and none. An answer one more try may get past is
  // tried once more, as every step back is.
  SCPkcs15CardDir& dir = p15->GetCardDir();
  const bool drop = made && dir.IsEmpty();
  SCRESULT r = 0;
  for (int attempt = 0; attempt < 2 && (attempt == 0 || MayTryAgain(r)); ++attempt) {
    r = drop ? dir.Delete() : dir.Write(nullptr, 0, nullptr);
    if (drop && r == SC_E_FILE_NOT_FOUND) r = 0;
  }
  return r;
}

void SCPkcs15Lib::TakeBack::Step(SCRESULT r) {
  if (r >= 0) return;
  whole = false;
  stopped = stopped || Unanswered(r);
}

bool SCPkcs15Lib::TakeBackPins(SCCard* card, const std::vector<MadePin>& made, TakeBack* back) const {
  for (const MadePin& pin : made) {
    if (back->whole && pin.own) (void)VerifySoPinAgain(card, pin.ref, pin.value, pin.len);
    if (back->whole) back->Step(DeleteMasterFilePin(card, pin.ref, pin.deleter, pin.value, pin.len));
    if (back->whole || back->stopped) continue;
    // One not taken back is named where the card shows it: any answer but "not found".
    const SCRESULT shown = card->VerifyPin(pin.ref, nullptr, SC_UNSET);
    if (Unanswered(shown))
      back->stopped = true;
    else if (shown != SC_E_NO_REFERENCED_DATA)
      back->kept.push_back(pin.ref);
  }
  return back->whole;
}

SCRESULT SCPkcs15Lib::DeleteMasterFilePin(SCCard* card, uint8_t ref, uint8_t soRef, const char* pin, size_t len) const {
  // A PIN goes only where the card then shows it gone; tokens may be gone already,
  // so a command the card refused is tried once more.
  SCRESULT d = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    d = card->SelectMf(nullptr);
    if (d >= 0) d = card->DeleteObject(ref, SC_KEYOBJ_PIN);
    // "Not there" counts only where the card then says so too.
    if (d == SC_E_NO_REFERENCED_DATA || d == SC_E_FILE_NOT_FOUND) {
      const SCRESULT still = card->VerifyPin(ref, nullptr, SC_UNSET);
      d = still == SC_E_NO_REFERENCED_DATA ? 0 : ScPinPresence(still) < 0 ? still : SC_E_ACCESS_DENIED;
    }
    if (d >= 0 || IsCardAbsent(d)) break;
    if (pin != nullptr) (void)VerifySoPinAgain(card, soRef, pin, len);
  }
  return d;
}

void SCPkcs15Lib::LogLeftover(const SCCard* card, uint8_t ref, SCRESULT deleted) const {
  // Told whenever the trace is written: the call deletes it unasked.
  WriteLog(deleted, "%s: PIN %02X in the master file, which no token names, stood where a new token's PIN goes: %s",
      card->GetCardName(), static_cast<unsigned>(ref), deleted >= 0 ? "deleted" : "the card did not delete it, nothing else "
      "changed");
}

CK_RV SCPkcs15Lib::DeleteToken(uint32_t reader, int appIndex, const char* soPin, long soPinLen,
                               SCCardRules* rules, const std::vector<uint8_t>* leftovers) {
  SCPkcs15Card* p15 = nullptr;
  SCCard* card = nullptr;
  CK_RV ck = CheckCardForTokens(reader, &p15, &card);
  if (ck != CKR_OK) return ck;
  SCPkcs15App* app = nullptr;
  if (appIndex >= 0) {
    app = p15->GetApplicationAt(static_cast<uint32_t>(appIndex));
    if (app == nullptr) return CKR_FUNCTION_FAILED;
  }
  InitSecret pin;
  if (soPin != nullptr && !pin.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen)))
    return CKR_HOST_MEMORY;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  const uint32_t model = card->GetCardType();
  if (appIndex < 0 && model == SC_CARD_TYPE_IAS) return CKR_TOKEN_WRITE_PROTECTED;

  SCRESULT rv = SC_OK;
  uint8_t soRef = 0;  // the SO PIN verified for the whole card, for a step tried once more
  {
    SCTransactGuard guard(card);
    InitWriteGuard writing(card);
    if (app != nullptr) {
      if (!app->IsLoaded()) rv = app->Load(false);
      if (rv >= 0 && pin.IsSet()) {
        ASNPkcs15AuthObject* so = nullptr;
        if (app->FindPinObject(SCPkcs15App::PIN_SO, &so) < 0 || so == nullptr) return CKR_TOKEN_WRITE_PROTECTED;
        rv = app->VerifyPin(so, pin.Get(), true, nullptr);
        if (rv >= 0) InitWriteGuard::SoVerified(card, SCPkcs15App::GetPinReference(so), pin.Get(), pin.Length());
      }
      // A wrong PIN stops the deletion; without one the card's access rules decide.
      SCPath df;
      const bool placed = rules != nullptr && app->BuildAbsolutePath(&df) >= 0;
      if (rv >= 0) rv = p15->DeleteApplication(app);
      if (placed) rules->Forget(df);
    } else {
      if (pin.IsSet()) {
        uint32_t ref = 0;
        if (model == SC_CARD_TYPE_COSMOPOLIC) {
          ref = 4;
        } else if (model == SC_CARD_TYPE_SETCOS441) {
          ref = GetCardModelCode(first, false);
        } else if (model == SC_CARD_TYPE_CLASSIC) {
          // The SO PIN of the card profile, the one profile initialisation creates.
          SCFileHeaderList refs;
          SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &refs, 0);
          ref = refs.GetSoPinRef();
        } else {
          return CKR_TOKEN_NOT_RECOGNIZED;
        }
        // The SO PIN as the card keeps it: padded like the PIN objects of its tokens.
        soRef = static_cast<uint8_t>(ref);
        std::vector<uint8_t> value = SoPinForCard(card, pin.Get(), pin.Length());
        rv = card->SelectMf(nullptr);
        if (rv >= 0) rv = card->VerifyPin(ref, value.data(), static_cast<uint32_t>(value.size()));
        std::fill(value.begin(), value.end(), 0);
        if (rv >= 0) InitWriteGuard::SoVerified(card, soRef, pin.Get(), pin.Length());
      }
      // A card object whose reading failed knows no application: it reads the card
      // first, or an erase would find nothing to delete and report success.
      if (rv >= 0 && !p15->IsLoaded()) {
        rv = p15->Load();
        if (rv == SC_E_PKCS15_NO_PROFILES) rv = 0;
      }
      // On a ClassIC card the tokens' user PINs and PUKs live in the master file:
      // every one the tokens' directories name at a layout's user references goes
      // with the tokens, after their DFs (whose rules name them: a PIN gone first would
      // let anyone make one that opens them) and before EF.DIR stops naming the tokens
      // (a cut leaves tokens the next call knows unfinished), each PIN before the PUK
      // that unblocks it, so that no next token or C_InitToken finds one standing. The
      // card's SO PIN and its PUK stay.
      std::vector<uint8_t> refs;
      if (rv >= 0 && model == SC_CARD_TYPE_CLASSIC) {
        std::vector<uint8_t> pins, puks;
        SCFileHeaderList layout;
        for (int t = -1; SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &layout, t) == 1; ++t) {
          pins.push_back(layout.GetUserPinRef());
          puks.push_back(layout.GetUserPukRef());
        }
        SCFileHeaderList card0;
        SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &card0, 0);
        std::vector<std::pair<SCPath, uint8_t>> named;
        rv = NamedOrLeftPins(p15, &named);
        for (const std::vector<uint8_t>* taken : {&pins, &puks})
          for (const auto& held : named) {
            const uint8_t ref = held.second;
            if (!held.first.IsMasterFile() || ref == 0 || ref >= 0x80 || ref == card0.GetSoPinRef() ||
                ref == card0.GetRef(SC_REFIDX_SO_PUK) || std::find(refs.begin(), refs.end(), ref) != refs.end() ||
                std::find(taken->begin(), taken->end(), ref) == taken->end())
              continue;
            refs.push_back(ref);
          }
      }
      const auto deletePin = [&](uint8_t ref) {
        return DeleteMasterFilePin(card, ref, soRef, pin.IsSet() ? pin.Get() : nullptr, pin.Length());
      };
      // What earlier erasures left where the new tokens' PINs go (GroundFor) goes
      // before any token: a card that keeps one keeps its tokens too.
      for (size_t i = 0; rv >= 0 && leftovers != nullptr && i < leftovers->size(); ++i) {
        rv = deletePin((*leftovers)[i]);
        LogLeftover(card, (*leftovers)[i], rv);
      }
      const int apps = p15->GetApplicationCount();
      // What the call judged of the tokens' DFs does not outlive them.
      std::vector<SCPath> going;
      for (int32_t i = 0; rules != nullptr && i < apps; ++i) {
        SCPath df;
        if (p15->GetApplicationAt(static_cast<uint32_t>(i))->BuildAbsolutePath(&df) >= 0) going.push_back(df);
      }
      if (rv >= 0) rv = p15->DeleteAllApplications(false);
      // A DF an interrupted call deleted already, its DELETE and a selection agreeing, is gone.
      if (rv == SC_E_FILE_NOT_FOUND && p15->GetApplicationCount() == 0) rv = 0;
      for (const SCPath& df : going) rules->Forget(df);
      for (uint8_t ref : refs) {
        if (rv < 0) break;
        rv = deletePin(ref);
        // A PIN the card keeps stays as it is (never blocked): EF.DIR keeps naming the
        // erased tokens, and the card takes no new one until its issuer removes that PIN.
        if (rv < 0 && !IsCardAbsent(rv))
          Log(rv, "%s: the card did not delete PIN %02X of an erased token: no token is made", card->GetCardName(),
              static_cast<unsigned>(ref));
      }
      // EF.DIR stops naming the tokens last; a write the card refused is tried once more.
      if (rv >= 0) {
        rv = p15->GetCardDir().Write(nullptr, 0, nullptr);
        if (rv < 0 && rv != SC_E_NO_SMARTCARD && rv != SC_E_CARD_REMOVED && pin.IsSet() &&
            VerifySoPinAgain(card, soRef, pin.Get(), pin.Length()) >= 0)
          rv = p15->GetCardDir().Write(nullptr, 0, nullptr);
      }
    }
    if (rv >= 0 && p15->GetCardDir().IsEmpty()) {
      // As above: the tokens are gone, so a refused deletion is tried once more.
      SCRESULT d = p15->GetCardDir().Delete();
      if (d < 0 && d != SC_E_FILE_NOT_FOUND && d != SC_E_NO_SMARTCARD && d != SC_E_CARD_REMOVED) {
        if (pin.IsSet() && soRef != 0) (void)VerifySoPinAgain(card, soRef, pin.Get(), pin.Length());
        d = p15->GetCardDir().Delete();
      }
      if (d < 0 && d != SC_E_FILE_NOT_FOUND) rv = d;
      SCPath dir;
      if (rules != nullptr && p15->GetCardDir().GetFullPathInto(dir)) rules->Forget(dir);
    }
  }
  (void)RefreshTokenInfo(first, 1, 1);
  if (rv >= 0) return CKR_OK;
  SetReaderResults(reader, rv);
  char text[512];
  AppendReaderMessage(reader, GetErrorText(rv, text, sizeof text), true);
  return MapScErrorToCkr(rv, false);
}
