// Tokens set up from the card-initialisation profile, a token emptied under its
// SO PIN, and the PIN output file that receives the generated PINs.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15odf.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"
#include "support/cfgparam.h"
#include "support/memfile.h"
#include "support/threadslot.h"
#include "support/lasting.h"

namespace {

constexpr uint8_t kNoRef = 0xFF;
constexpr uint8_t kLocalUserPin = 0x81;
// Identifiers of the PIN objects a profile token gets.
constexpr uint8_t kUserPinId = 1, kSoPinId = 2, kUserPukId = 14, kSoPukId = 15;
// Flag words of the PIN objects (creation flags of CreatePinObject).
constexpr uint32_t kWordUnblockDisabled = SCPkcs15App::PINCREATE_UNBLOCK_DISABLED;
constexpr uint32_t kWordSo = SCPkcs15App::PINCREATE_SO;
constexpr uint32_t kWordPuk = SCPkcs15App::PINCREATE_UNBLOCKING | SCPkcs15App::PINCREATE_INITIALIZED |
                              SCPkcs15App::PINCREATE_CHANGE_DISABLED | SCPkcs15App::PINCREATE_UNBLOCK_DISABLED;

// The card record's flags for a PIN-object flag word.
uint32_t RecordFlagsForWord(uint32_t word) {
  uint32_t f = 0;
  if (word & SCPkcs15App::PINCREATE_UNBLOCK_DISABLED) f |= SC_PINREC_UNBLOCK_DISABLED;
  if (word & SCPkcs15App::PINCREATE_CHANGE_DISABLED) f |= SC_PINREC_CHANGE_DISABLED;
  if (word & SCPkcs15App::PINCREATE_SO) f |= SC_PINREC_SO_PIN;
  if (word & SCPkcs15App::PINCREATE_UNBLOCKING) f |= SC_PINREC_UNBLOCKING_PIN;
  return f;
}

// Model-1 user PIN references: 1 for the first token, (token + SO reference)
// mod 8 for the next four, moved on to the next reference when that one is 0,
// the SO PIN's or an earlier token's; the local 0x81 from the sixth token on.
uint8_t Model1UserPinRef(int token, uint8_t soRef) {
  if (token >= 5) return kLocalUserPin;
  bool used[8] = {true, false, false, false, false, false, false, false};
  if (soRef < 8) used[soRef] = true;
  uint8_t ref = 0;
  for (int t = 0; t <= token; ++t) {
    ref = static_cast<uint8_t>(t == 0 ? 1 : (t + soRef) % 8);
    for (int step = 0; step < 8 && used[ref]; ++step) ref = static_cast<uint8_t>((ref + 1) % 8);
    if (used[ref]) return kLocalUserPin;
    used[ref] = true;
  }
  return ref;
}

// Every PIN record of the application's PIN directories, removed without card access.
void DropPinObjects(SCPkcs15App* app) {
  TypedPointerList<SCPkcs15ObjectList>* lists = app->GetListForTag(SC_ODF_AODF);
  if (lists == nullptr) return;
  for (POSITION p = lists->GetHeadPosition(); p;) {
    auto* pins = dynamic_cast<SCPkcs15AuthObjectList*>(lists->GetNext(p));
    if (pins == nullptr) continue;
    while (!pins->Records().IsEmpty()) pins->RemoveValueObject(pins->HandleOf(pins->Records().GetHead()));
    pins->SetDirty(true);
  }
}

void SetMaxLength(ASNPkcs15AuthObject* pin, unsigned long maxLen) {
  if (pin == nullptr) return;
  pin->typeAttributes.maxLength.setValue(static_cast<uint32_t>(maxLen));
  pin->typeAttributes.wasMaxLength = 1;
}

bool IsDefaultWord(const char* text) { return text == nullptr || *text == '\0' || strcasecmp(text, "<default>") == 0; }

// Appends one line to the PIN output file: only to the user's own regular file
// that no one else can read, never through a symbolic link.
bool AppendToFile(const std::string& path, const std::string& line, std::string* error) {
  const int fd = InitOpenPinFile(path.c_str(), error);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

// Sets a text variable of a profile section.
bool PutSectionText(CfgSection* s, const char* name, const char* text) {
  CfgParamAndValue* p = s->GetOrAddParam(name, CFG_TYPE_TEXT, true, true);
  if (p == nullptr) return false;
  p->SetType(CFG_TYPE_TEXT);
  return p->SetString(text);
}

// Sets a flag of a profile section.
bool PutSectionBool(CfgSection* s, const char* name) {
  CfgParamAndValue* p = s->GetOrAddParam(name, CFG_TYPE_BOOL, true, true);
  if (p == nullptr) return false;
  p->SetType(CFG_TYPE_BOOL);
  p->SetBool(true);
  return true;
}

bool SectionBool(const CfgSection* s, const char* name) {
  const CfgParamAndValue* p = s != nullptr ? s->FindParam(name, true) : nullptr;
  bool v = false;
  return p != nullptr && p->GetBool(&v) && v;
}

}  // namespace

void SCPkcs15Lib::ReportOutputFailure(uint32_t reader, CK_SLOT_ID slot, const std::string& text) {
  Log(SC_E_PKCS15_BAD_CONFIG, "%s", text.c_str());
  const std::string line = text + "\n";
  if (slot == ~static_cast<CK_SLOT_ID>(0))
    AppendReaderMessage(reader, line.c_str(), true);
  else
    AppendSlotMessage(slot, line.c_str(), true);
}

std::vector<uint8_t> SCPkcs15Lib::ProfileTokenPins(const InitProfile* profile, int only) {
  std::vector<uint8_t> makes;
  for (int t = 0; profile != nullptr && t < profile->GetTokenCount(); ++t) {
    if (only >= 0 && t != only) continue;
    SCFileHeaderList layout;
    SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(SC_CARD_TYPE_CLASSIC), &layout,
                                            strcasecmp(profile->GetText(t, "TokenProfile", "<default>"), "rokvast") == 0 ? -1 : t);
    makes.push_back(layout.GetUserPinRef());
    if (ParsePinValueKind(profile->GetText(t, "UserPuk", nullptr)) != 2) makes.push_back(layout.GetUserPukRef());
  }
  return makes;
}

CK_RV SCPkcs15Lib::InitTokenFromProfile(uint32_t reader, int token, InitProfile* profile, const char* soPin,
                                        long soPinLen, SCCardRules* rules) {
  if (profile == nullptr || token < 0) return CKR_ARGUMENTS_BAD;
  if (reader >= m_readerCount || m_pkcs15Cards == nullptr || m_pkcs15Cards[reader] == nullptr)
    return CKR_FUNCTION_FAILED;
  SCCard* card = m_readers[reader] != nullptr ? m_readers[reader]->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  SCPkcs15Card* p15 = m_pkcs15Cards[reader];
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  InitSecret callerSo;
  if (soPin != nullptr && !callerSo.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen)))
    return CKR_HOST_MEMORY;

  SCRESULT cardResult = SC_OK;
  bool blockGlobal = false;
  TakeBack back;                // what a failure took back (TellTakenBack)
  bool sent = false, wrote = false;  // whether the token's step sent a change to the card, and the card carried one out
  {
    SCTransactGuard guard(card);
    InitWriteGuard writing(card);
    const SCCard::ChangeCount start = card->Changes();
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    SCRESULT r = card->GetCardInfo(&info);
    if (r < 0) return MapScErrorToCkr(r, false);
    const uint32_t model = card->GetCardType();
    InitPinBounds bounds;
    bounds.pinMin = bounds.pukMin = info.minPinLen;
    bounds.pinMax = bounds.pukMax = info.maxPinLen;
    SCFileHeaderList refs;
    uint8_t soRef = kNoRef, userRef = kNoRef;
    // A card whose tokens a cut first call left unfinished, with no SO PIN, is taken
    // as one that holds no token (GroundFor): the first token takes the first layout.
    const bool reinitialised = SectionBool(profile->GetGlobal(), "__SET_CardReinitalized");
    InitGround ground = InitGround::kAsRead;
    // Each file is judged once in the call, and every later step, the fresh look
    // too, keeps that judgement; what a step deletes it forgets.
    SCCardRules own(card);
    SCCardRules& judged = rules != nullptr && rules->Card() == card ? *rules : own;
    if (token == 0 && !reinitialised && !profile->TestSettingsOnly()) {
      const char* judge = callerSo.IsSet() ? callerSo.Get() : profile->GetGlobalText("SoPin", nullptr);
      if (!callerSo.IsSet() && judge != nullptr && ParsePinValueKind(judge) != 0) judge = nullptr;
      r = GroundFor(first, judge, callerSo.IsSet() ? callerSo.Length() : judge != nullptr ? std::strlen(judge) : 0,
                    &ground, &judged, profile);
      if (r < 0) return MapScErrorToCkr(r, false);
    }
    const bool asBlank = ground == InitGround::kAsBlank;
    switch (model) {
      case SC_CARD_TYPE_SETCOS441: {
        const uint32_t code = GetCardModelCode(first, false);
        soRef = code < kNoRef ? static_cast<uint8_t>(code) : kNoRef;
        userRef = Model1UserPinRef(token, soRef);
        break;
      }
      case SC_CARD_TYPE_COSMOPOLIC:
        soRef = 4;
        userRef = profile->GetTokenCount() < 2 ? 1 : kLocalUserPin;
        bounds.pukMin = 4;
        bounds.pukMax = 16;
        break;
      case SC_CARD_TYPE_CLASSIC: {
        const char* tp = profile->GetText(token, "TokenProfile", "<default>");
        SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &refs,
                                                strcasecmp(tp, "rokvast") == 0 ? -1 : asBlank ? 0 : p15->GetApplicationCount());
        soRef = refs.GetSoPinRef();
        userRef = refs.GetUserPinRef();
        break;
      }
      default:
        return CKR_TOKEN_NOT_RECOGNIZED;
    }

    const bool testOnly = profile->TestSettingsOnly();
    // A card that held no token when the call began (no token of it made yet
    // but by this call): what stands at the references the token takes, its
    // SO PIN's and SO PUK's with the first token, and an EF.DIR others may
    // change, is not the token's (BlankCard).
    const bool blank = !testOnly && model == SC_CARD_TYPE_CLASSIC && (asBlank || p15->GetApplicationCount() == token) &&
                       !reinitialised;
    std::optional<BlankCard> found;
    // EF.DIR this call makes (for an earlier token of it, or now) is its owners' whatever its header leaves out.
    bool dirMade = SectionBool(profile->GetGlobal(), "__SET_DirMade") || p15->GetCardDir().IsKnownAbsent();
    // A PIN that stands at the card's SO PUK reference where no SO PIN stands: a cut
    // call of this module's (the SO PUK is made first) or anyone's, which no one can
    // tell apart. It is left as it is and the SO PIN is made without an SO PUK, so
    // that nothing of the token names it (it unblocks nothing), as C_InitToken does.
    bool soPukStands = false;
    if (blank) {
      // The SO PIN the call verified (the card's, or the one it made for an earlier
      // token); the PINs the tokens make were judged before the SO's value went (WhosePins).
      const uint8_t keptSo = token > 0 || judged.Trusted(soRef, SCPath()) ? soRef : kNoRef;
      const uint8_t soPuk = refs.GetRef(SC_REFIDX_SO_PUK);
      if (keptSo == kNoRef && ParsePinValueKind(profile->GetGlobalText("SoPuk", nullptr)) != 2 && soPuk < 0x80) {
        r = judged.Stands(soPuk);
        if (r < 0) return MapScErrorToCkr(r, false);
        soPukStands = r == 1;
        if (soPukStands)
          Log(SC_OK, "%s: PIN %02X stands where the card's SO PUK goes, and no SO PIN: the SO PIN is made without a "
              "PUK, that PIN left as it is", card->GetCardName(), static_cast<unsigned>(soPuk));
      }
      found.emplace(this, reader, card, &p15->GetCardDir(), keptSo, keptSo == kNoRef ? soRef : kNoRef, token == 0, &judged);
      r = found->Clear();
      if (asBlank && r >= 0) ForgetApplications(reader);
      dirMade = dirMade || found->DirOpen();
      if (r < 0) {
        (void)RefreshTokenInfo(first, 1, 1);
        return MapScErrorToCkr(r, false);
      }
    }
    // What the blank card was just asked for is not asked again: none stands there now.
    // (An SO PIN the call verified or made for an earlier token stands.)
    const bool soKnown = soRef == kNoRef || (found && token == 0 && !judged.Trusted(soRef, SCPath()) && found->Absent(soRef));
    const bool userKnown = userRef == kNoRef || (found && found->Absent(userRef));
    if (!soKnown || !userKnown) r = card->SelectMf(nullptr);
    if (r < 0) return MapScErrorToCkr(r, false);
    const SCRESULT soRaw = soRef == kNoRef ? SC_E_PKCS15_PIN_NOT_FOUND
                           : soKnown      ? SC_E_NO_REFERENCED_DATA
                                          : card->VerifyPin(soRef, nullptr, SC_UNSET);
    // A PIN the card does not know yet is one to create.
    const SCRESULT soState = soRaw == SC_E_NO_REFERENCED_DATA ? SC_E_PIN_NOT_INITIALIZED : soRaw;
    const SCRESULT userRaw = userKnown ? SC_E_NO_REFERENCED_DATA : card->VerifyPin(userRef, nullptr, SC_UNSET);
    const SCRESULT userState = userRaw == SC_E_NO_REFERENCED_DATA ? SC_E_PIN_NOT_INITIALIZED : userRaw;
    // Only an answer that says whether a PIN stands is acted on; a user PIN that stands
    // where this token makes its own is someone's (an erasure deletes what the erased
    // tokens named, and fails where the card keeps one).
    for (SCRESULT state : {soRef == kNoRef ? 0 : soState, userState})
      if (ScPinPresence(state) < 0) return MapScErrorToCkr(state, false);
    if (!testOnly && ScPinPresence(userRaw) == 1) {
      Log(SC_E_ACCESS_DENIED, "%s: PIN %02X stands where the token's user PIN goes: nothing changed",
          card->GetCardName(), static_cast<unsigned>(userRef));
      return MapScErrorToCkr(SC_E_ACCESS_DENIED, false);
    }

    const bool localDefault = userRef >= 0x80 || (model == SC_CARD_TYPE_COSMOPOLIC && userState == SC_E_PIN_BLOCKED);
    const InitRandomTextFn random = [this, reader](uint8_t* out, CK_ULONG* len, CK_ULONG chars, const char* alphabet) {
      return GenerateRandomText(reader, out, len, chars, alphabet);
    };
    InitTokenSettings st;
    const bool drawSoPin = soState == SC_E_PIN_NOT_INITIALIZED;
    // The card's SO PIN that an earlier token of this profile set serves the
    // next tokens as well: they are created and verified under it.
    const char* knownSo = callerSo.IsSet() ? callerSo.Get() : nullptr;
    if (knownSo == nullptr && !drawSoPin && ParsePinValueKind(profile->GetGlobalText("SoPin", nullptr)) == 1)
      for (int t = 0; t < token && knownSo == nullptr; ++t) {
        const char* v = InitProfile::FindText(profile->GetTokenSection(t), "__SET_SoPin");
        if (v != nullptr && *v != '\0') knownSo = v;
      }
    const CK_RV settled = profile->Settle(token, bounds, localDefault, knownSo, random, &st, drawSoPin);
    if (settled != CKR_OK) return settled;
    if (st.userPinIsLocal) {
      if (model != SC_CARD_TYPE_SETCOS441 && model != SC_CARD_TYPE_COSMOPOLIC) return CKR_TOKEN_NOT_RECOGNIZED;
      userRef = kLocalUserPin;
    }
    if (model == SC_CARD_TYPE_COSMOPOLIC && !st.userPuk.IsSet()) st.soPinMaxLen = 16;
    // The card has one SO PUK, made with the SO PIN it unblocks: a token after
    // the one that made them names its value; where the SO PIN stood before the
    // call, its PUK (if any) is not this call's to tell, drawn or given.
    bool soPukKept = soPukStands && st.soPuk.IsSet();
    if (soPukKept) st.soPuk.Clear();
    if (!drawSoPin && st.soPuk.IsSet()) {
      const char* made = nullptr;
      for (int t = 0; t < token && made == nullptr; ++t) {
        const CfgSection* earlier = profile->GetTokenSection(t);
        const char* v = InitProfile::FindText(earlier, "__SET_SoPuk");
        if (v != nullptr && *v != '\0' && !SectionBool(earlier, "__SET_SoPukKept")) made = v;
      }
      if (made != nullptr ? !st.soPuk.Set(made) : false) return CKR_HOST_MEMORY;
      soPukKept = made == nullptr;
      if (soPukKept) st.soPuk.Clear();
    }

    // A label no other token has.
    const std::string base = st.tokenLabel;
    for (int n = 2;; ++n) {
      const bool taken = testOnly ? IsProfileLabelTaken(st.tokenLabel.c_str(), profile->GetSections(), token)
                                  : FindAppByLabel(p15, st.tokenLabel.c_str(), nullptr);
      if (!taken) break;
      st.tokenLabel = base + " " + std::to_string(n);
    }

    const bool hasUserPuk = st.userPuk.IsSet() && st.userPuk.Length() > 0;
    const bool hasSoPuk = st.soPuk.IsSet() && st.soPuk.Length() > 0;
    // The token's directory names the card's SO PUK where one stands, its value known or
    // not, and only where the erased tokens of this module named it: one that anyone
    // could have made there since is no one's PUK.
    const uint8_t soPukRef = refs.GetRef(SC_REFIDX_SO_PUK);
    bool soPukNamed = hasSoPuk;
    if (!hasSoPuk && !drawSoPin && soPukKept && soPukRef < kNoRef && !testOnly &&
        SectionBool(profile->GetGlobal(), "__SET_SoPukNamed")) {
      const SCRESULT stands = ScPinPresence(card->VerifyPin(soPukRef, nullptr, SC_UNSET));
      if (stands < 0) return MapScErrorToCkr(stands, false);
      soPukNamed = stands == 1;
    }
    const bool hasSoPin = st.soPin.IsSet() && st.soPin.Length() > 0;
    const uint8_t userPukRef = refs.GetUserPukRef();
    const uint32_t userWord =
        (!hasUserPuk && !(model == SC_CARD_TYPE_COSMOPOLIC && hasSoPin)) ? kWordUnblockDisabled : 0;
    const uint32_t soWord = soPukNamed ? kWordSo : (kWordSo | kWordUnblockDisabled);

    SCPkcs15App* app = nullptr;
    ASNPkcs15AuthObject* soObject = nullptr;
    if (!testOnly) {
      if (model != SC_CARD_TYPE_CLASSIC) return CKR_TOKEN_WRITE_PROTECTED;
      r = p15->AddApplication(&app, refs, st.tokenLabel.c_str());
      if (r < 0) return MapScErrorToCkr(r, false);
      ASNPkcs15TokenInfo& ti = app->GetTokenInfoFile().Contents();
      if (r >= 0 && !st.tokenIssuerId.empty() && ti.setIssuerId(st.tokenIssuerId.c_str()) != 1)
        r = SC_E_NO_MEMORY;
      if (r >= 0 && !st.tokenHolderId.empty() && ti.setHolderId(st.tokenHolderId.c_str()) != 1)
        r = SC_E_NO_MEMORY;
      // The profile's PIN objects replace those of the card profile.
      DropPinObjects(app);
      static const uint16_t kMf = SC_FID_MF;
      const bool userGlobal = userRef < 0x80;
      const uint16_t* userPath = userGlobal ? &kMf : nullptr;
      const uint16_t userPathLen = userGlobal ? 1 : 0;
      const bool soGlobal = soRef < 0x80;
      const uint8_t userGuard = hasUserPuk ? kUserPukId : (hasSoPin ? kSoPinId : 0);
      ASNPkcs15AuthObject* obj = nullptr;
      if (r >= 0)
        r = app->CreatePinObject(st.userPinLabel.c_str(), userRef, kUserPinId, userGuard,
                                 static_cast<int>(st.userPinMinLen), userWord, &obj, userPath, userPathLen, nullptr);
      if (r >= 0 && st.userPinMaxLen != bounds.pinMax) SetMaxLength(obj, st.userPinMaxLen);
      if (r >= 0 && hasSoPin && soRef < kNoRef) {
        r = app->CreatePinObject(st.soPinLabel.c_str(), soRef, kSoPinId, soPukNamed ? kSoPukId : 0,
                                 static_cast<int>(st.soPinMinLen), soWord, &soObject, soGlobal ? &kMf : nullptr,
                                 soGlobal ? 1 : 0, nullptr);
        if (r >= 0 && st.soPinMaxLen != bounds.pinMax) SetMaxLength(soObject, st.soPinMaxLen);
      }
      if (r >= 0 && hasUserPuk && userPukRef < kNoRef) {
        r = app->CreatePinObject(st.userPukLabel.c_str(), userPukRef, kUserPukId, 0,
                                 static_cast<int>(st.userPukMinLen), kWordPuk, &obj, userPath, userPathLen, nullptr);
        if (r >= 0 && st.userPukMaxLen != bounds.pukMax) SetMaxLength(obj, st.userPukMaxLen);
      }
      if (r >= 0 && soPukNamed && soPukRef < kNoRef) {
        r = app->CreatePinObject(st.soPukLabel.c_str(), soPukRef, kSoPukId, 0, static_cast<int>(st.soPukMinLen),
                                 kWordPuk, &obj, soGlobal ? &kMf : nullptr, soGlobal ? 1 : 0, nullptr);
        if (r >= 0 && st.soPukMaxLen != bounds.pukMax) SetMaxLength(obj, st.soPukMaxLen);
      }
      if (r < 0) {
        (void)p15->DeleteApplication(app);
        (void)RefreshTokenInfo(first, 0, 1);
        return MapScErrorToCkr(r, false);
      }
    }

    // The values settled are the profile's output variables, also when nothing is written.
    // The PIN file tells of the SO PUK the card kept that it stands, its value not
    // this call's; of one the token does not name, that there is none.
    bool told = profile->WriteOutputVariables(token, st, callerSo.IsSet());
    if (told && soPukKept && !testOnly) {
      CfgSection* own = profile->GetTokenSection(token);
      told = own != nullptr && PutSectionText(own, "__SET_SoPuk", soPukNamed ? "<unchanged>" : "<none>") &&
             PutSectionBool(own, "__SET_SoPukKept");
    }
    if (!told) {
      if (app != nullptr) {
        (void)p15->DeleteApplication(app);
        (void)RefreshTokenInfo(first, 0, 1);
      }
      return CKR_HOST_MEMORY;
    }
    if (testOnly) return CKR_OK;

    SCPinParams userRec, soRec;
    userRec.pinType = 3;
    userRec.flags = RecordFlagsForWord(userWord) | (userKnown && userRef != kNoRef ? SC_PINREC_IN_CURRENT_DF : 0);
    userRec.minLen = static_cast<uint32_t>(st.userPinMinLen);
    userRec.maxLen = static_cast<uint32_t>(st.userPinMaxLen);
    userRec.tryLimit = static_cast<uint32_t>(st.userPinMaxTries);
    userRec.officerRef = soRef;
    if (hasUserPuk) {
      userRec.pukText = st.userPuk.Get();
      userRec.pukType = 10;
      userRec.pukTryLimit = static_cast<uint32_t>(st.userPukMaxTries);
      userRec.pukFlags = RecordFlagsForWord(kWordPuk);
      userRec.pukMinLen = static_cast<uint32_t>(st.userPukMinLen);
      userRec.pukMaxLen = static_cast<uint32_t>(st.userPukMaxLen);
      userRec.pukUseCount = static_cast<uint32_t>(st.userPukUseCount);
      userRec.unblockRef = userPukRef;
    }
    soRec.pinType = 10;
    soRec.flags = RecordFlagsForWord(soWord) | (soKnown && soRef != kNoRef ? SC_PINREC_IN_CURRENT_DF : 0);
    soRec.minLen = static_cast<uint32_t>(st.soPinMinLen);
    soRec.maxLen = static_cast<uint32_t>(st.soPinMaxLen);
    soRec.tryLimit = static_cast<uint32_t>(st.soPinMaxTries);
    soRec.officerRef = soRef;
    if (hasSoPuk) {
      soRec.pukText = st.soPuk.Get();
      soRec.pukType = 10;
      soRec.pukTryLimit = static_cast<uint32_t>(st.soPukMaxTries);
      soRec.pukFlags = RecordFlagsForWord(kWordPuk);
      soRec.pukMinLen = static_cast<uint32_t>(st.soPukMinLen);
      soRec.pukMaxLen = static_cast<uint32_t>(st.soPukMaxLen);
      soRec.pukUseCount = static_cast<uint32_t>(st.soPukUseCount);
      soRec.unblockRef = soPukRef;
    }

    // The SO PIN: a missing one is made, and the SO PIN is verified before the
    // application is written (also one the card had already).
    const char* soValue = hasSoPin ? st.soPin.Get() : nullptr;
    // Whether the card may hold a value this call set, and whether the PIN was made by it (with its PUK).
    bool soSet = false;
    if (soObject != nullptr) {
      soSet = soState == SC_E_PIN_NOT_INITIALIZED;
      if (soSet) cardResult = app->SetPin(soObject, nullptr, soValue, &soRec, nullptr);
      // It stands now: the structure's writing finds it so.
      soRec.flags &= ~SC_PINREC_IN_CURRENT_DF;
      if (cardResult >= 0) cardResult = app->VerifyPin(soObject, soValue, true, nullptr);
      if (cardResult >= 0 && soValue != nullptr) InitWriteGuard::SoVerified(card, soRef, soValue, std::strlen(soValue));
    } else if (soState != SC_E_PIN_NOT_INITIALIZED && callerSo.IsSet()) {
      cardResult = card->SelectMf(nullptr);
      if (cardResult >= 0)
        cardResult = card->VerifyPin(soRef, reinterpret_cast<const uint8_t*>(callerSo.Get()),
                                     static_cast<uint32_t>(callerSo.Length()));
      if (cardResult >= 0) InitWriteGuard::SoVerified(card, soRef, callerSo.Get(), callerSo.Length());
    }
    if (cardResult >= 0) {
      const void* args[4] = {st.userPin.IsSet() ? st.userPin.Get() : nullptr, &userRec, soValue, &soRec};
      cardResult = p15->InitializeApplication(app, args);
    }
    // Success only after a fresh look at what the token relies on.
    if (cardResult >= 0) cardResult = FreshLook(this, app, soRef, dirMade, true, &judged);
    if (cardResult >= 0 && dirMade) (void)SetProfileNumber(profile->GetSections(), nullptr, "__SET_DirMade", 1);
    // A token that did not come about goes again, in the reverse of its making, so that
    // every state on the way is one a cut of the making leaves, which the next
    // initialisation takes: its DF (whose rules name the user PIN), then the global user
    // PIN and its PUK this call made for it (none stood there when the call began), then
    // EF.DIR stops naming it (deleted where the call made it and it names nothing else),
    // then an SO PIN and SO PUK the call made, each only where what it guards went (the
    // SO PUK, whose delete rule is itself, verified with its value). Left standing, they
    // would keep the card from taking any token. Nothing else of the card is touched.
    // What may stand keeps its line in the PIN file: a PIN the card shows, or, where the
    // card stopped answering, any the call sent.
    if (cardResult < 0) {
      sent = card->Changes().sent != start.sent;
      wrote = card->Changes().done != start.done;
      const bool pinsSent = card->Changes().pins != start.pins;
      const size_t soLen = soValue != nullptr ? std::strlen(soValue) : 0;
      if (soValue != nullptr) (void)VerifySoPinAgain(card, soRef, soValue, soLen);
      const bool soMade = soSet && soRaw == SC_E_NO_REFERENCED_DATA;
      std::vector<MadePin> user, so;
      if (userRef < 0x80) user.push_back({userRef, soRef, soValue, soLen, false});
      if (userRef < 0x80 && hasUserPuk && userPukRef < 0x80) user.push_back({userPukRef, soRef, soValue, soLen, false});
      if (soMade) so.push_back({soRef, soRef, soValue, soLen, false});
      if (soMade && hasSoPuk && soPukRef < 0x80)
        so.push_back({soPukRef, soPukRef, st.soPuk.Get(), st.soPuk.Length(), true});
      back.Step(p15->DeleteApplication(app, false));
      (void)TakeBackPins(card, user, &back);
      if (back.whole) back.Step(DirWithout(p15, soMade && dirMade));
      (void)TakeBackPins(card, so, &back);
      // A token taken back whole after an erasure or after earlier tokens of the call: the
      // card's text alone (beside which the call names the tokens it made before:
      // TellTokensKept), since the card is not as it was.
      if ((token > 0 || reinitialised) && back.whole && back.kept.empty()) sent = wrote = false;
      // Where no PIN of the call's values may stand, the PIN file tells none of them.
      const bool mayStand = back.stopped ? pinsSent : !back.kept.empty();
      if (!mayStand && (!soSet || soMade)) {
        CfgSection* own = profile->GetTokenSection(token);
        for (const char* told : {"__SET_TokenLabel", "__SET_SoPin"})
          if (own != nullptr) (void)own->RemoveParam(told, true);
      }
    }
    // The card's global user PIN (reference 1) is blocked only where it is
    // neither this token's SO PIN nor its user PIN (model 4 keeps its SO PIN there).
    blockGlobal = cardResult >= 0 && profile->BlockGlobalUserPin() && soRef != 1 && userRef != 1;
  }
  // The card as it is now; a read the card failed is done once more, so that a
  // token just written is not taken for an unreadable one.
  if (cardResult >= 0) MarkReadAsPkcs15(reader);
  if (RefreshTokenInfo(first, 1, 1) < 0) (void)RefreshTokenInfo(first, 1, 1);
  if (cardResult < 0) {
    SetReaderResults(reader, cardResult);
    (void)TellTakenBack(reader, m_readers[reader] != nullptr ? m_readers[reader]->GetCard() : nullptr, cardResult, sent,
                        wrote, back);
    return MapScErrorToCkr(cardResult, false);
  }
  CfgSection* global = profile->GetGlobal();
  // The refresh may have connected the card anew.
  card = m_readers[reader] != nullptr ? m_readers[reader]->GetCard() : nullptr;
  if (blockGlobal && card != nullptr && !SectionBool(global, "__SET_GlobalUserPinBlocked")) {
    SCTransactGuard guard(card);
    if (card->SelectMf(nullptr) >= 0 && card->BlockGlobalUserPin(1) >= 0)
      (void)SetProfileBool(profile->GetSections(), nullptr, "__SET_GlobalUserPinBlocked", true);
  }
  return CKR_OK;
}

void SCPkcs15Lib::TellTokensKept(uint32_t reader, const InitProfile* profile, int failed, bool lined) {
  // A token by the label it was given (made unique), else as the profile names it.
  const auto name = [profile](int t) {
    const char* given = InitProfile::FindText(profile->GetTokenSection(t), "__SET_TokenLabel");
    return "'" + (given != nullptr && *given != '\0' ? std::string(given) : profile->GetTokenLabel(t)) + "'";
  };
  std::string made;
  for (int t = 0; t < failed; ++t) made += (t > 0 ? ", " : "") + name(t);
  const bool one = failed == 1;
  const std::string text = (one ? "token " : "tokens ") + made + " made and kept" +
                           (lined ? one ? " (the PIN file holds its line)" : " (the PIN file holds their lines)" : "") +
                           "; token " + name(failed) + " not made";
  SCReader* rd = reader < m_readerCount ? m_readers[reader] : nullptr;
  const SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
  WriteLog(SC_OK, "%s: %s", card != nullptr ? card->GetCardName() : "", text.c_str());
  (void)AppendReaderMessage(reader, (text + "\n").c_str(), true);
}

namespace {

constexpr SCRESULT kStatus6A81 = SC_RESULT_CODE(0xE000000000016A81ULL);

// Where the card takes a PIN from: a global reference from the master file.
SCPath PinPlace(const SCPath& df, uint8_t ref) { return ref < 0x80 ? SCPath() : df; }

// Whether a PIN record of the token's directory names a PIN of the token's own.
bool IsOwnPin(const TokenPins& pins, const SCPkcs15App* app, const ASNPkcs15AuthObject* pin) {
  SCPath df;
  return app->GetPinDf(pin, &df) >= 0 && pins.IsOwn(df, SCPkcs15App::GetPinReference(pin));
}

// Whether a PIN record names a PIN another application's may answer for (TokenPins::IsShadowed); *df its DF.
bool IsShadowedPin(const TokenPins& pins, const SCPkcs15App* app, const ASNPkcs15AuthObject* pin, SCPath* df) {
  return app->GetPinDf(pin, df) >= 0 && pins.IsShadowed(*df, SCPkcs15App::GetPinReference(pin));
}

// A card that is gone or no longer answers: nothing more can be sent to it.
bool CardGone(SCRESULT r) {
  return r == SC_E_NO_SMARTCARD || r == SC_E_CARD_REMOVED || r == SC_E_CARD_NOT_CONNECTED || r == SC_E_NO_MEMORY;
}

// Erases the token's PKCS#15 directory and writes an empty structure under
// `label` (in its TokenInfo; with `relabel` in its EF.DIR record too, written
// last) with the PIN references the token had; the card's PINs stay where
// they are. *erased tells whether the card's directory was already gone.
// `beforeWrite` runs once the structure is built in memory, before any of it
// goes to the card.
// Once the old directory is gone there is nothing to go back to: a card step
// that fails while the new one is written is tried once more from an empty
// directory, so that one refused command does not leave a token no call can
// repair.
// A user PIN shadowed (`pins`) is made in the token's DF as the DF is made,
// without value under the SO PIN `soRef`, before any file names it: a cut
// never leaves the new token to another application's PIN.
// The directory counts as erased only where the card deleted it (or, never read
// in this call, showed it gone after its DELETE); a card that changes its answer
// (SC_E_FILE_STATUS_UNKNOWN) ends the call at once, never tried again.
SCRESULT RebuildStructure(SCPkcs15Card* p15, SCPkcs15App* app, const std::string& label, bool relabel,
                          bool* erased, const std::function<SCRESULT()>& again,
                          const std::function<SCRESULT()>& beforeWrite, const TokenPins& pins, uint8_t soRef) {
  // The references the token's directory gave; where it named no user or SO PIN
  // (a directory its user rewrote), the card profile's: a token is never built
  // without them.
  SCFileHeaderList headers = app->GetHeaderList();
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  if ((headers.GetUserPinRef() >= kNoRef || headers.GetSoPinRef() >= kNoRef) && app->GetCard() != nullptr &&
      app->GetCard()->GetCardInfo(&info) >= 0)
    (void)SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(info.profile), &headers, pins.Layout());
  *erased = false;
  SCRESULT r = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 && again() < 0) return r;
    r = app->ClearPkcs15Directory();
    // A directory that a failed attempt, or an interrupted one, left half written may be gone already.
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    *erased = true;
    pins.Erased();
    app->Clear(false);
    r = app->CreatePkcs15Structure(label.c_str(), headers);
    // The card's directory record names the token as its TokenInfo does.
    if (r >= 0 && relabel) r = app->SetTokenLabel(label.c_str(), static_cast<uint32_t>(label.size()));
    if (r >= 0) r = beforeWrite();
    // A local user PIN is made in the DF as it is made anew: nothing stands there yet,
    // whatever the card finds above it.
    ASNPkcs15AuthObject* user = nullptr;
    SCPath df;
    const bool inDf = r >= 0 && app->FindPinObject(SCPkcs15App::PIN_USER, &user) >= 0 && user != nullptr &&
                      SCPkcs15App::GetPinReference(user) >= 0x80 && IsOwnPin(pins, app, user) &&
                      app->GetPinDf(user, &df) >= 0;
    SCPinParams made = WithoutValue(soRef, true);
    // The structure is built in memory only: it goes to the card here.
    if (r >= 0) r = app->InitializeToken(nullptr, inDf ? &made : nullptr, nullptr, nullptr);
    if (r >= 0 && inDf) {
      pins.Stands(df, SCPkcs15App::GetPinReference(user));
      pins.Made(df, SCPkcs15App::GetPinReference(user));
    }
    if (r >= 0 && relabel) r = p15->GetCardDir().Write(nullptr, 0, nullptr);
    if (r >= 0 || CardGone(r) || r == SC_E_FILE_STATUS_UNKNOWN) return r;
  }
  return r;
}

// Whether TokenInfo and, with `dirToo`, EF.DIR take the token's new label (the SO
// verified): 1 yes, 0 when a file cannot grow to hold it, or a failure. Nothing is
// written and the label stays as it is: a call that cannot finish fails before it erases.
SCRESULT FilesTakeLabel(SCPkcs15Card* p15, SCPkcs15App* app, const std::string& label, const char* current,
                        int currentLen, uint8_t soRef, bool dirToo) {
  if (app->SetTokenLabel(label.c_str(), static_cast<uint32_t>(label.size()), dirToo) < 0) return SC_E_NO_MEMORY;
  MemFile dir, info;
  SCRESULT r = dirToo ? p15->GetCardDir().Encode(&dir) : 0;
  if (r >= 0) r = app->GetTokenInfoFile().Encode(&info);
  (void)app->SetTokenLabel(currentLen > 0 ? current : nullptr, currentLen > 0 ? static_cast<uint32_t>(currentLen) : 0,
                           dirToo);
  if (r < 0) return r;
  r = dirToo ? p15->GetCardDir().CanHold(static_cast<uint32_t>(dir.Size()), soRef) : 1;
  if (r == 1) r = app->GetTokenInfoFile().CanHold(static_cast<uint32_t>(info.Size()), soRef);
  return r;
}

// Whether EF.DIR's record takes a token's new label: only where EF.DIR's rules let
// the token's SO PIN `soRef` update it (rules the card does not show leave it to the
// card). The SO's value goes to that PIN alone, so an EF.DIR another PIN guards (the
// blank card's own SO PIN on models 1 and 7, an issuer's) keeps its label, and the
// new one goes into TokenInfo only. 1 (also where no EF.DIR stands: it is made), 0
// (logged) or a failure.
SCRESULT DirTakesLabel(const SCPkcs15Lib* lib, SCPkcs15Card* p15, uint8_t soRef, const std::string& label) {
  const SCRESULT r = p15->GetCardDir().CheckAccess(SC_AC_OP_UPDATE, static_cast<uint16_t>(0xC000 | soRef), false);
  if (r == SC_E_UNSUPPORTED_FEATURE || r == SC_E_FILE_NOT_FOUND || r == 1) return 1;
  if (r < 0) return r;
  lib->Log(SC_OK, "%s: reinit '%s' - EF.DIR's rules do not name SO PIN %02X: its record keeps its label, the token's "
           "TokenInfo takes the new one", p15->GetCard()->GetCardName(), label.c_str(), static_cast<unsigned>(soRef));
  return 0;
}

// Whether the SO PIN `soRef` meets the rule that updates `file` (a file of records
// the call must write); where it does not, the call is refused. Rules the card does
// not show leave it to the card.
bool SoMayUpdate(SCPkcs15Lib* lib, uint32_t reader, SCPkcs15PathObjectInfo& file, uint8_t soRef) {
  if (file.CheckAccess(SC_AC_OP_UPDATE, static_cast<uint16_t>(0xC000 | soRef), false) != 0) return true;
  SCPath full;
  (void)file.GetFullPathInto(full);
  (void)lib->Refuse(reader, file.GetCard(), "the SO PIN may not update " + full.Text() + " of the token, which stays");
  return false;
}

SCRESULT SoPinAgain(SCCard* card, uint8_t soRef, const InitSecret& pin) {
  return VerifySoPinAgain(card, soRef, pin.Get(), pin.Length());
}

// The private objects (keys, certificates, data objects) the token's
// directories hold; a negative result when they cannot be read.
SCRESULT CountPrivateObjects(SCPkcs15App* app) {
  static const int kTags[] = {SC_ODF_PRKDF, SC_ODF_SKDF, SC_ODF_PUKDF, SC_ODF_TRUSTED_PUKDF, SC_ODF_CDF,
                              SC_ODF_TRUSTED_CDF, SC_ODF_USEFUL_CDF, SC_ODF_DODF};
  // A directory the card says is absent is asked once more: one answer never hides what it lists.
  for (int look = 0; look < 2; ++look) {
    SCRESULT count = 0;
    bool absent = false;
    for (int tag : kTags) {
      std::vector<void*> all, open;
      SCRESULT r = app->FindAllObjects(tag, &all, nullptr, 0);
      if (r >= 0) r = app->FindAllObjects(tag, &open, nullptr, 1);
      if (r < 0 && r != SC_E_FILE_NOT_FOUND && r != SC_E_BAD_PARAMS) return r;
      count += static_cast<SCRESULT>(all.size() - open.size());
      TypedPointerList<SCPkcs15ObjectList>* lists = app->GetListForTag(tag);
      for (POSITION p = lists != nullptr && look == 0 ? lists->GetHeadPosition() : nullptr; p;) {
        SCPkcs15ObjectList* f = lists->GetNext(p);
        if (!f->IsKnownAbsent()) continue;
        r = f->Load(true);
        if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
        absent = absent || r >= 0;
      }
    }
    if (!absent) return count;
  }
  return SC_E_FILE_STATUS_UNKNOWN;
}

// The user PIN's step after the structure is written. Once the old directory
// is gone (`rebuilt`) there is no way back: a failed step is tried once more
// (`again` verifies the SO PIN anew). A card that still refuses keeps the PIN
// as it is, and the call fails.
SCRESULT ClearUserPinTwice(SCPkcs15App* app, const TokenPins& pins, uint8_t soRef, const InitSecret& pin, bool rebuilt,
                           const std::function<SCRESULT()>& again) {
  SCRESULT r = ClearUserPin(app, pins, soRef, pin.Get(), false);
  if (r < 0 && !CardGone(r) && rebuilt && again() >= 0) r = ClearUserPin(app, pins, soRef, pin.Get(), false);
  return r;
}

// Where the other applications' PIN directories cannot be read, the call ends
// before its first write.
CK_RV PinsUnknown(SCPkcs15App* app, const TokenPins& own) {
  (void)app->Logout(false);
  return MapScErrorToCkr(own.Failure(), false);
}

// The previous user's PUK of a token initialised anew goes before the new token
// is written. A card that refuses to delete it fails the call: the new token is
// not written, and no PIN is blocked.
class PreviousPuk {
 public:
  PreviousPuk(SCPkcs15App* app, const TokenPins& pins, std::function<SCRESULT()> again)
      : m_place(FindUserPuk(app, pins)), m_card(app->GetCard()), m_again(std::move(again)) {}
  SCRESULT Drop(const SCPkcs15Lib* lib, const std::string& label) {
    const SCRESULT d = DropUserPuk(m_card, m_place, m_again);
    if (d < 0 && !CardGone(d))
      lib->Log(d, "%s: reinit '%s' - the card did not delete the previous user's PUK %02X: the new token is not "
               "written", m_card->GetCardName(), label.c_str(), static_cast<unsigned>(m_place.ref));
    if (d >= 0) m_dropped = true;
    return d;
  }
  // Where the token's PIN directory stays (its DF kept), the record of the PUK the
  // call took away goes from it: the directory names no PIN that does not stand.
  SCRESULT ForgetRecord(SCPkcs15App* app) {
    ASNPkcs15AuthObject* user = nullptr;
    ASNPkcs15AuthObject* puk = nullptr;
    if (!m_dropped || m_place.ref >= kNoRef || !m_place.own ||
        app->FindPinObject(SCPkcs15App::PIN_USER, &user) < 0 || user == nullptr ||
        app->FindAuthObjectForObject(SCPkcs15App::HandleOfPin(user), &puk, true) < 0 || puk == nullptr ||
        SCPkcs15App::GetPinReference(puk) != m_place.ref)
      return 0;
    SCPkcs15ObjectList* aodf = app->FindListForHandle(SCPkcs15App::HandleOfPin(puk));
    if (aodf == nullptr) return 0;
    aodf->RemoveValueObject(SCPkcs15App::HandleOfPin(puk));
    aodf->SetDirty(true);
    return aodf->WriteDirectoryFile();
  }

 private:
  UserPukPlace m_place;
  SCCard* m_card;
  std::function<SCRESULT()> m_again;
  bool m_dropped = false;
};

// Whether everything of `all` is the owners' alone by `rules` (Open): 1 yes, 0
// where someone with no PIN may change, create in, delete, use or read (where not
// "always") one of them (*which), or a failure.
SCRESULT AllOwners(SCCardRules* rules, const SCPathList& all, SCPath* which) {
  for (size_t i = 0; i < all.Count(); ++i) {
    const SCRESULT r = rules->Open(all.At(i));
    if (r == SC_E_FILE_NOT_FOUND) continue;
    if (r != 0) {
      *which = all.At(i);
      return r < 0 ? r : 0;
    }
  }
  return 1;
}

// What the token relies on: its DF, the DFs on the way to its files, the ODF, the
// TokenInfo and every file its directories name, under the token's DF.
SCRESULT TokenPaths(SCPkcs15App* app, SCPathList* all) {
  SCPath df;
  SCRESULT r = app->BuildAbsolutePath(&df);
  if (r < 0) return r;
  SCPathList files;
  r = app->GetUsedPaths(&files, 0, 0);
  if (r < 0) return r;
  SCPath full;
  if (app->GetOdf().GetFullPathInto(full)) files.AddUnique(full.Ids(), full.Count());
  if (app->GetTokenInfoFile().GetFullPathInto(full)) files.AddUnique(full.Ids(), full.Count());
  all->AddUnique(df.Ids(), df.Count());
  for (size_t i = 0; i < files.Count(); ++i) {
    const SCPath& f = files.At(i);
    size_t rest = 0;
    if (SCPath::StripPrefix(f.Ids(), f.Count(), df.Ids(), df.Count(), &rest) == nullptr) continue;
    for (size_t n = df.Count() + 1; n <= f.Count(); ++n) all->AddUnique(f.Ids(), n);
  }
  return 0;
}

}  // namespace

namespace {

// Whether every header of `all` that `fresh` selected shows what the call judged
// (`judged`): 1 yes, 0 where one differs (*which). What the call made has no
// earlier judgement to keep; what stands nowhere now is judged by its DF's rules.
SCRESULT AsJudged(const SCCardRules& judged, SCCardRules* fresh, const SCPathList& all, const SCPathList& made,
                  SCPath* which) {
  for (size_t i = 0; i < all.Count(); ++i) {
    const SCPath& path = all.At(i);
    bool ours = false;
    for (size_t m = 0; m < made.Count() && !ours; ++m) {
      size_t rest = 0;
      ours = SCPath::StripPrefix(path.Ids(), path.Count(), made.At(m).Ids(), made.At(m).Count(), &rest) != nullptr;
    }
    const SCFileHeader* was = ours ? nullptr : judged.Judged(path);
    const SCFileHeader* now = nullptr;
    if (was == nullptr || fresh->Header(path, &now) < 0 || now == nullptr) continue;
    if (!was->JudgedAlike(*now)) {
      *which = path;
      return 0;
    }
  }
  return 1;
}

// Whether a file's octets hold the records of `want` (packed, in any order) and
// nothing but filler besides: no record, cleared element or octet of another.
bool HoldsOnly(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  std::vector<std::vector<uint8_t>> left;
  if (!ScPkcs15SplitRecords(want, &left)) return false;
  const uint32_t n = static_cast<uint32_t>(got.size());
  // A file that begins with filler shows no records to its readers.
  if (!left.empty() && (n == 0 || ScPkcs15IsFiller(got[0]))) return false;
  for (uint32_t at = 0, end = 0; at < n; at = end) {
    end = at + 1;
    if (ScPkcs15IsFiller(got[at])) continue;
    if (ScPkcs15ElementEnd(got.data(), n, at, &end) != 1) return false;
    const auto it = std::find(left.begin(), left.end(), std::vector<uint8_t>(got.begin() + at, got.begin() + end));
    if (it == left.end()) return false;
    left.erase(it);
  }
  return left.empty();
}

// Whether the token's directory files (its ODF and every one the ODF names or the
// token holds), as the card holds them now, name only what the call wrote: 1 yes,
// 0 where one holds anything else (*which), or a failure. Each is selected and
// read whole once, bypassing every copy: what a previous token left can stand only
// in these files, anywhere in them, so one SELECT and a READ BINARY per 256 octets
// each is all it takes (the other files' headers are the fresh look's already).
SCRESULT NamesOnlyWhatWasWritten(SCPkcs15App* app, SCPath* which) {
  SCPath df, full;
  SCRESULT r = app->BuildAbsolutePath(&df);
  if (r < 0) return r;
  std::vector<std::pair<SCPath, SCPkcs15PathObjectInfo*>> files;
  const auto add = [&files](const SCPath& path, SCPkcs15PathObjectInfo* written) {
    for (auto& f : files)
      if (f.first.IsEqual(path)) {
        if (written != nullptr) f.second = written;
        return;
      }
    files.emplace_back(path, written);
  };
  if (app->GetOdf().GetFullPathInto(full)) add(full, &app->GetOdf());
  for (POSITION pos = app->GetOdf().GetFirstEntryPosition(); pos;) {
    SCPkcs15OdfEntry* e = app->GetOdf().GetNextEntry(pos);
    SCPath path;
    if (e != nullptr && SCPkcs15PathObjectInfo::PathFromAsn(e->value, &path) && path.Count() > 0)
      add(path.BuildAbsolute(df), nullptr);
  }
  for (int tag = SC_ODF_PRKDF; tag <= SC_ODF_AODF; ++tag) {
    TypedPointerList<SCPkcs15ObjectList>* lists = app->GetListForTag(tag);
    for (POSITION p = lists != nullptr ? lists->GetHeadPosition() : nullptr; p;) {
      SCPkcs15ObjectList* list = lists->GetNext(p);
      if (list != nullptr && list->GetFullPathInto(full)) add(full, list);
    }
  }
  SCCard* card = app->GetCard();
  for (const auto& f : files) {
    MemFile encoded;
    if (f.second != nullptr && (r = f.second->Encode(&encoded)) < 0) return r;
    std::vector<uint8_t> want;
    if (encoded.Size() > 0) want.assign(encoded.GetData(), encoded.GetData() + encoded.Size());
    SCFileHeader* header = nullptr;
    r = card->SelectPath(f.first.Ids(), f.first.Count(), &header);
    const std::unique_ptr<SCFileHeader> owned(header);
    // As far as a file of records is read anywhere (a card that gives no header: until it has no more).
    std::vector<uint8_t> got(r >= 0 ? std::min<uint32_t>(owned ? owned->GetFileSize() : 0x7FFF, 0x7FFF) : 0);
    if (r >= 0 && !got.empty()) r = card->ReadBinary(0, got.data(), static_cast<uint32_t>(got.size()));
    // A directory not made yet names nothing.
    if (r == SC_E_FILE_NOT_FOUND) r = 0;
    if (r < 0) return r;
    got.resize(std::min(got.size(), static_cast<size_t>(r)));
    if (!HoldsOnly(got, want)) {
      *which = f.first;
      return 0;
    }
  }
  return 1;
}

}  // namespace

SCRESULT FreshLook(const SCPkcs15Lib* lib, SCPkcs15App* app, uint8_t soRef, bool dirMade, bool dfMade,
                   const SCCardRules* judged) {
  SCCard* card = app->GetCard();
  SCPathList all;
  SCRESULT r = TokenPaths(app, &all);
  SCPath df, dir;
  if (r >= 0) r = app->BuildAbsolutePath(&df);
  if (r < 0) return r;
  SCPkcs15Card* p15 = app->GetOwner();
  if (p15 != nullptr && p15->GetCardDir().GetFullPathInto(dir)) all.AddUnique(dir.Ids(), dir.Count());
  ASNPkcs15AuthObject* user = nullptr;
  SCPath userDf;
  const bool named = app->FindPinObject(SCPkcs15App::PIN_USER, &user) >= 0 && user != nullptr &&
                     app->GetPinDf(user, &userDf) >= 0;
  SCPathList made;
  if (dfMade) made.AddUnique(df.Ids(), df.Count());
  if (dirMade && dir.Count() > 0) made.AddUnique(dir.Ids(), dir.Count());
  // An initialisation that built the token (its DF made, its headers judged) wrote
  // every directory of it: nothing but that may stand in them.
  const bool built = dfMade && judged != nullptr;
  // One answer never decides: what the first look could not confirm is looked at once more.
  SCPath open, changed, foreign;
  for (int look = 0; look < 2; ++look) {
    changed = SCPath();
    foreign = SCPath();
    SCCardRules rules(card);
    rules.Trust(soRef);
    // The SO PINs the card accepted in this call; what the token's owners alone may change is theirs.
    if (judged != nullptr) rules.TrustAsIn(*judged);
    rules.OwnersMade(true);
    // A file the token names that does not stand is made later under its DF's rules,
    // which are judged here too: its absence decides nothing.
    rules.SecondLook(false);
    // The user PIN is this call's, and so is what it made.
    if (named) rules.Trust(SCPkcs15App::GetPinReference(user), userDf);
    if (dfMade) rules.Made(df);
    if (dirMade && dir.Count() > 0) rules.Made(dir);
    // The token's DF and EF.DIR were just written: they stand.
    const SCFileHeader* header = nullptr;
    r = rules.Header(df, &header);
    if (r >= 0 && dir.Count() > 0) r = rules.Header(dir, &header);
    if (r >= 0) r = AllOwners(&rules, all, &open);
    // What the call judged must be what stands now.
    if (r == 1 && judged != nullptr) r = AsJudged(*judged, &rules, all, made, &changed);
    if (r == 1 && built) r = NamesOnlyWhatWasWritten(app, &foreign);
    if (r == 1) return 0;
  }
  if (r == 0 && foreign.Count() > 0) {
    lib->Log(SC_E_FILE_STATUS_UNKNOWN, "%s: at a fresh look, %s holds what this call did not write",
             card->GetCardName(), foreign.Text().c_str());
    return SC_E_FILE_STATUS_UNKNOWN;
  }
  if (r == 0 && changed.Count() > 0) {
    lib->Log(SC_E_ACCESS_DENIED, "%s: at a fresh look, the header of %s differs from the one the call judged",
             card->GetCardName(), changed.Text().c_str());
    return SC_E_ACCESS_DENIED;
  }
  if (r == 0) {
    lib->Log(SC_E_ACCESS_DENIED, "%s: at a fresh look, anyone may change or use %s, which the token relies on",
             card->GetCardName(), open.Text().c_str());
    return SC_E_ACCESS_DENIED;
  }
  return r;
}

namespace {

// Whether what a token whose DF stays keeps of the previous one carries the closed
// rules this module writes: its DF, the DFs on the way to its files, the ODF, the TokenInfo and every
// file its directories name. 1 yes, 0 where someone with no PIN may change, create
// in, delete, use or read (where not "always") one of them (*which), or a failure.
// The SO PIN verified and the user PIN the call makes anew are the owners'.
SCRESULT KeptIsClosed(SCPkcs15App* app, uint8_t soRef, SCPath* which) {
  SCPathList all;
  SCRESULT r = TokenPaths(app, &all);
  if (r < 0) return r;
  SCCardRules rules(app->GetCard());
  rules.Trust(soRef);
  rules.OwnersMade(true);
  ASNPkcs15AuthObject* user = nullptr;
  SCPath userDf;
  if (app->FindPinObject(SCPkcs15App::PIN_USER, &user) >= 0 && user != nullptr && app->GetPinDf(user, &userDf) >= 0)
    rules.Trust(SCPkcs15App::GetPinReference(user), userDf);
  return AllOwners(&rules, all, which);
}

// KeptIsClosed, with the refusal told: 1 kept, 0 refused, or a failure.
SCRESULT KeptOrRefused(SCPkcs15Lib* lib, uint32_t reader, SCPkcs15App* app, uint8_t soRef) {
  SCPath open;
  const SCRESULT kept = KeptIsClosed(app, soRef, &open);
  if (kept == 0) {
    char name[256];
    const int n = app->GetTokenLabel(name, sizeof name - 1);
    name[n > 0 && n < static_cast<int>(sizeof name) ? n : 0] = '\0';
    (void)lib->Refuse(reader, app->GetCard(), std::string("the DF of token '") + name + "' stays, and anyone may change "
                      "or use " + open.Text() + " in it");
  }
  return kept;
}

}  // namespace

SCRESULT SCPkcs15Lib::DfMayGo(uint32_t reader, SCPkcs15Card* p15, SCPkcs15App* app) {
  // A record naming a place in the DF where no DF carrying its name stands is no
  // application (StandsAsApplication); a card that does not say fails the call.
  SCPath df, at;
  if (app->BuildAbsolutePath(&df) < 0) return 1;
  char label[256];
  const int n = app->GetTokenLabel(label, sizeof label - 1);
  label[n > 0 && n < static_cast<int>(sizeof label) ? n : 0] = '\0';
  const std::string holds = "DF " + df.Text() + " of token '" + label + "' holds the DF ";
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* other = p15->GetApplicationAt(static_cast<uint32_t>(i));
    size_t rest = 0;
    if (other == nullptr || other == app || other->BuildAbsolutePath(&at) < 0 || at.Count() <= df.Count() ||
        SCPath::StripPrefix(at.Ids(), at.Count(), df.Ids(), df.Count(), &rest) == nullptr)
      continue;
    const SCRESULT stands = other->StandsAsApplication();
    if (stands < 0) return stands;
    if (stands == 0) continue;
    char name[256];
    const int m = other->GetTokenLabel(name, sizeof name - 1);
    name[m > 0 && m < static_cast<int>(sizeof name) ? m : 0] = '\0';
    return Refuse(reader, app->GetCard(), holds + at.Text() + " of token '" + name + "', which stays");
  }
  // So does an application of another kind that EF.DIR names there, where its DF stands with its name.
  for (const auto& other : p15->GetCardDir().OtherApplications()) {
    size_t rest = 0;
    if (other.second.Count() < df.Count() ||
        SCPath::StripPrefix(other.second.Ids(), other.second.Count(), df.Ids(), df.Count(), &rest) == nullptr)
      continue;
    SCFileHeader* header = nullptr;
    const SCRESULT r = app->GetCard()->SelectPath(other.second.Ids(), other.second.Count(), &header);
    const std::unique_ptr<SCFileHeader> owned(header);
    if (r == SC_E_FILE_NOT_FOUND) continue;
    if (r < 0) return r;
    size_t len = 0;
    const uint8_t* name = owned ? owned->GetDfName(&len) : nullptr;
    if (!owned || !owned->IsDf() || name == nullptr || len != other.first.size() ||
        std::memcmp(name, other.first.data(), len) != 0)
      continue;
    char aid[2 * 32 + 1];
    HexText(aid, sizeof aid, other.first.data(), std::min<size_t>(other.first.size(), 32), "");
    return Refuse(reader, app->GetCard(), holds + other.second.Text() + " of another application (" + aid +
                  "), which stays");
  }
  return 1;
}

SCRESULT SCPkcs15Lib::SoMayRemake(SCCardRules* rules, const SCPath& df, uint8_t soRef, SCCardRules* parent) {
  const SCRESULT r = rules->SoMay(df, SC_AC_OP_DELETE_SELF, soRef);
  if (r != 1 || df.Count() < 2) return r;
  SCPath above;
  above.Set(df.Ids(), df.Count() - 1);
  return (parent != nullptr ? parent : rules)->SoMay(above, SC_AC_OP_CREATE_DF, soRef);
}

SCRESULT SCPkcs15Lib::TokenMayGo(CK_SLOT_ID slot, SCPkcs15App* app, SCCardRules* judged) {
  SCCard* card = app->GetCard();
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  if (card == nullptr || p15 == nullptr) return 1;
  const CK_SLOT_ID first = slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1);
  const uint32_t reader = static_cast<uint32_t>(slot / (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  ASNPkcs15AuthObject* so = nullptr;
  // A token re-initialised in place (ReinitToken), else one a cut call left
  // unfinished, built anew (RepairToken).
  const bool whole = app->IsLoaded() && app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr;
  uint8_t soRef = whole ? SCPkcs15App::GetPinReference(so) : UnfinishedSoRef(slot, card);
  CK_FLAGS qualified = 0;
  if (whole) {
    // An IAS card has no qualified part of this kind: its token is built anew like any other.
    if (card->GetCardType() != SC_CARD_TYPE_IAS) {
      const CK_RV rv = GetQualifiedPartCharacteristics(app, &qualified, false);
      if (rv != CKR_OK) return rv == CKR_HOST_MEMORY ? SC_E_NO_MEMORY : SC_E_CARD_NOT_CONNECTED;
    }
    SCRESULT r = 0;
    if (qualified == 0) {
      SCPath df;
      r = app->BuildAbsolutePath(&df);
      if (r < 0) return r;
      SCCardRules rules(card);
      rules.Trust(soRef);
      r = SoMayRemake(&rules, df, soRef, judged != nullptr && judged->Card() == card ? judged : nullptr);
      if (r < 0) return r;
    }
    // Its DF stays: what it keeps must be its owners' alone.
    if (r == 0) r = KeptOrRefused(this, reader, app, soRef);
    if (r <= 0) return r == 0 ? SC_E_ACCESS_DENIED : r;
    // A token with a qualified part, or another maker's, is not built anew here.
    if (qualified != 0 || !app->IsWritable()) return 2;
  } else if (!app->IsKnownProfile()) {
    return 2;
  }
  // Its DF goes with what it holds, and the user PIN is made anew where it stands.
  SCRESULT r = DfMayGo(reader, p15, app);
  if (r < 0) return r;
  const TokenPins pins(this, app, app->GetLayoutIndex(true), BlankCardSoRef(card, first));
  if (pins.Failure() < 0) return pins.Failure();
  r = UserPinMayGo(this, reader, app, pins, soRef, false);
  return r == 0 ? SC_E_ACCESS_DENIED : r;
}

CK_RV SCPkcs15Lib::ReinitToken(CK_SLOT_ID slot, const char* label, const char* soPin, long soPinLen,
                               SCCardRules* judged) {
  if (soPin == nullptr) return CKR_PIN_INCORRECT;
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  if (p15 == nullptr) return CKR_FUNCTION_FAILED;
  SCPkcs15App* app = GetSlotApp(slot);
  SCCard* card = app != nullptr ? app->GetCard() : nullptr;
  if (app == nullptr || card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  ASNPkcs15AuthObject* so = nullptr;
  if (app->FindPinObject(SCPkcs15App::PIN_SO, &so) < 0 || so == nullptr) {
    // A directory left half written has lost its PIN objects with it.
    if (!app->IsLoaded()) return RepairToken(slot, label, soPin, soPinLen, judged);
    return CKR_TOKEN_WRITE_PROTECTED;
  }
  InitSecret pin;
  if (!pin.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen))) return CKR_HOST_MEMORY;

  SCTransactGuard guard(card);
  InitWriteGuard writing(card);
  SCRESULT r = app->VerifyPin(so, pin.Get(), true, nullptr);
  if (r < 0) return MapScErrorToCkr(r, false);
  const uint8_t soPinRef = SCPkcs15App::GetPinReference(so);
  InitWriteGuard::SoVerified(card, soPinRef, pin.Get(), pin.Length());
  // The SO PIN verified again, where a step the card refused is tried once more.
  const auto soAgain = [&] { return SoPinAgain(card, soPinRef < 0x80 ? soPinRef : kNoRef, pin); };
  const CK_SLOT_ID first = slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1);
  const uint32_t at = static_cast<uint32_t>(slot / (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  const TokenPins own(this, app, app->GetLayoutIndex(true), BlankCardSoRef(card, first));
  if (own.Failure() < 0) return PinsUnknown(app, own);
  PreviousPuk puk(app, own, soAgain);
  const std::string unique = MakeUniqueAppLabel(p15, label, app);
  char current[256];
  const int n = app->GetTokenLabel(current, sizeof current - 1);
  current[n > 0 && n < static_cast<int>(sizeof current) ? n : 0] = '\0';
  // Without a new label the token keeps the one it has.
  const bool relabel = label != nullptr && *label != '\0' && std::strncmp(unique.c_str(), current, 32) != 0;
  SCCardRules ownRules(card);
  SCCardRules& rules = judged != nullptr && judged->Card() == card ? *judged : ownRules;
  rules.Trust(soPinRef);
  // A new label goes where the token's SO PIN may write: no other PIN is sent the value.
  const SCRESULT dirTakes = relabel ? DirTakesLabel(this, p15, soPinRef, unique) : 0;
  if (dirTakes < 0) {
    (void)app->Logout(false);
    return MapScErrorToCkr(dirTakes, false);
  }
  if (relabel) {
    const SCRESULT fits = FilesTakeLabel(p15, app, unique, current, n, soPinRef, dirTakes == 1);
    if (fits <= 0) {
      (void)app->Logout(false);
      return fits < 0 ? MapScErrorToCkr(fits, false) : CKR_DEVICE_MEMORY;
    }
  }
  // A token without a qualified part is built anew; one with it, or a card that
  // refuses to erase the token's directory, only loses its objects.
  bool rebuilt = false;
  {
    // An IAS card has no qualified part of this kind: its token is built anew like any other.
    CK_FLAGS qualified = 0;
    const CK_RV rv =
        card->GetCardType() != SC_CARD_TYPE_IAS ? GetQualifiedPartCharacteristics(app, &qualified, false) : CKR_OK;
    if (rv != CKR_OK) {
      (void)app->Logout(false);
      return rv;
    }
    // What its DF would take with it, and the user PIN made anew where it stands, were
    // judged before the SO's value went (TokenMayGo). A DF whose rules keep it from the
    // SO, or that the SO could not make again once deleted, stays, asked of the headers first.
    SCRESULT soMay = 1;
    SCPath ownDf;
    if (qualified == 0 && app->BuildAbsolutePath(&ownDf) >= 0) {
      SCCardRules own(card);
      own.Trust(soPinRef);
      soMay = SoMayRemake(&own, ownDf, soPinRef, &rules);
      if (soMay < 0) {
        (void)app->Logout(false);
        return MapScErrorToCkr(soMay, false);
      }
    }
    if (qualified == 0 && soMay == 0) {
      Log(SC_E_ACCESS_DENIED, "%s: reinit standard '%s' - can't delete profile '%s', deleting all user objects instead...",
          card->GetCardName(), unique.c_str(), current);
      r = 0;
    } else if (qualified == 0) {
      bool erased = false;
      r = RebuildStructure(p15, app, relabel ? unique : std::string(current), dirTakes == 1, &erased, soAgain,
                           [&] {
                             const SCRESULT c = ClearUserPin(app, own, soPinRef, pin.Get(), true);
                             return c < 0 ? c : puk.Drop(this, unique);
                           },
                           own, soPinRef);
      if (r >= 0) {
        rebuilt = true;
      } else if (!erased && app->PartlyCleared()) {
        // Files went before the card refused one: the token is no longer as it was, but lists what stands.
        Log(r, "%s: reinit '%s' - the SO PIN deleted what it may of token '%s' and cannot delete the rest, which "
            "stays listed", card->GetCardName(), unique.c_str(), current);
        (void)app->Logout(false);
        return r == SC_E_ACCESS_DENIED ? CKR_FUNCTION_FAILED : MapScErrorToCkr(r, false);
      } else if (!erased && (r == SC_E_ACCESS_DENIED || r == kStatus6A81)) {
        Log(r, "%s: reinit standard '%s' - can't delete profile '%s', deleting all user objects instead...",
            card->GetCardName(), unique.c_str(), current);
        r = 0;
      } else if (erased && !CardGone(r)) {
        Log(r, "%s: reinit '%s' - the old token is gone, the new one not written", card->GetCardName(), unique.c_str());
      }
    } else {
      Log(SC_OK, "%s: reinit qualified token %s - can't delete qualified profile, deleting all user objects...",
          card->GetCardName(), unique.c_str());
    }
  }
  // Objects the SO may not delete would pass to the next user: the token stays
  // as it is, before anything is deleted.
  if (r >= 0 && !rebuilt) {
    const SCRESULT left = CountPrivateObjects(app);
    if (left < 0)
      Log(left, "%s: reinit '%s' - the private objects of token '%s' cannot be counted, token kept as it is",
          card->GetCardName(), unique.c_str(), current);
    else if (left > 0)
      (void)Refuse(at, card, "the SO PIN cannot delete the private objects of token '" + std::string(current) + "' (" +
                   std::to_string(left) + ")");
    if (left != 0) {
      (void)app->Logout(false);
      return left < 0 ? MapScErrorToCkr(left, false) : CKR_FUNCTION_FAILED;
    }
    // A DF the card alone refused to delete, which its header did not tell, is judged here.
    const SCRESULT stillKept = KeptOrRefused(this, at, app, soPinRef);
    if (stillKept != 1) {
      (void)app->Logout(false);
      return stillKept < 0 ? MapScErrorToCkr(stillKept, false) : CKR_FUNCTION_FAILED;
    }
    // The token's files stay: the new label must go into its TokenInfo, and its user
    // PIN is made anew where it stands.
    const SCRESULT userGoes = UserPinMayGo(this, at, app, own, soPinRef, true);
    if (userGoes != 1) {
      (void)app->Logout(false);
      return userGoes < 0 ? MapScErrorToCkr(userGoes, false) : CKR_FUNCTION_FAILED;
    }
    if (relabel && !SoMayUpdate(this, at, app->GetTokenInfoFile(), soPinRef)) {
      (void)app->Logout(false);
      return CKR_FUNCTION_FAILED;
    }
  }
  // The rebuilt directory holds new PIN records: the old ones are gone with it.
  if (rebuilt && app->FindPinObject(SCPkcs15App::PIN_SO, &so) < 0) so = nullptr;
  ASNPkcs15AuthObject* user = nullptr;
  if (r >= 0 && app->FindPinObject(SCPkcs15App::PIN_USER, &user) < 0) user = nullptr;
  if (r >= 0 && !rebuilt) r = app->DeletePinObjects(user != nullptr ? user : so, false);
  if (r >= 0 && !rebuilt && relabel) {
    r = app->SetTokenLabel(unique.c_str(), static_cast<uint32_t>(unique.size()), dirTakes == 1);
    if (r >= 0) {
      r = app->GetTokenInfoFile().Write(nullptr, 0, nullptr);
      // A TokenInfo the card did not take leaves the token with the label the card holds.
      if (r < 0)
        (void)app->SetTokenLabel(n > 0 ? current : nullptr, n > 0 ? static_cast<uint32_t>(n) : 0, dirTakes == 1);
    }
    if (r >= 0 && dirTakes == 1) r = p15->GetCardDir().Write(nullptr, 0, nullptr);
  }
  if (r >= 0 && !rebuilt) r = puk.Drop(this, unique);
  // The directory kept names no PUK that the call took away.
  if (r >= 0 && !rebuilt) r = puk.ForgetRecord(app);
  if (r >= 0) {
    r = ClearUserPinTwice(app, own, soPinRef, pin, rebuilt, soAgain);
    if (r < 0 && !CardGone(r))
      Log(r, "%s: reinit token %s - the card did not take the user PIN's value away", card->GetCardName(),
          unique.c_str());
  }
  // The token kept: a key set's copy that a cut left beside it goes (a rebuilt one took it over).
  if (r >= 0 && !rebuilt) app->DropLeftKeySetCopy();
  if (r >= 0) r = FreshLook(this, app, soPinRef, false, rebuilt, &rules);
  (void)app->Logout(false);
  return r < 0 ? MapScErrorToCkr(r, false) : CKR_OK;
}

SCRESULT VerifySoPinAgain(SCCard* card, uint8_t soRef, const char* pin, size_t len) {
  if (soRef == 0 || soRef >= kNoRef) return 0;
  std::vector<uint8_t> value = SoPinForCard(card, pin, len);
  SCRESULT r = card->SelectMf(nullptr);
  if (r >= 0) r = card->VerifyPin(soRef, value.data(), static_cast<uint32_t>(value.size()));
  std::fill(value.begin(), value.end(), 0);
  return r;
}

TokenPins::TokenPins(const SCPkcs15Lib* lib, SCPkcs15App* app, int layout, uint8_t cardSo)
    : m_lib(lib), m_app(app), m_layoutIndex(layout), m_cardSo(cardSo) {
  m_failure = app->BuildAbsolutePath(&m_df);
  // The references of the card profile's template (filled also where it is not
  // the whole profile of such a token).
  SCFileHeaderList profile;
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  if (app->GetCard() != nullptr && app->GetCard()->GetCardInfo(&info) >= 0)
    (void)SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(info.profile), &profile, layout);
  m_layout[0] = profile.GetUserPinRef();
  m_layout[1] = profile.GetUserPukRef();
  // On a card of one application no other names anything: nothing is read.
  // Another application is one whose DF is not this one's (EF.DIR may name a DF
  // twice) and, inside it, stands as one.
  SCPkcs15Card* p15 = app->GetOwner();
  if (m_failure >= 0) m_failure = app->CheckNestedApplications();
  for (int32_t i = 0; p15 != nullptr && m_failure >= 0 && i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* other = p15->GetApplicationAt(static_cast<uint32_t>(i));
    SCPath df;
    if (other == nullptr || other == app || other->KnownNotToStand() ||
        (other->BuildAbsolutePath(&df) >= 0 && df.IsEqual(m_df)))
      continue;
    m_failure = other->GetNamedPins(&m_named);
  }
}

namespace {
// Whether a PIN is new to `seen`, which then holds it: each is logged once.
bool FirstTime(std::vector<std::pair<SCPath, uint8_t>>* seen, const SCPath& at, uint8_t ref) {
  for (const auto& s : *seen)
    if (s.second == ref && s.first.IsEqual(at)) return false;
  seen->emplace_back(at, ref);
  return true;
}
}  // namespace

bool TokenPins::IsOwn(const SCPath& df, uint8_t ref) const {
  const SCPath at = PinPlace(df, ref);
  size_t rest = 0;
  bool own = SCPath::StripPrefix(at.Ids(), at.Count(), m_df.Ids(), m_df.Count(), &rest) != nullptr ||
             (at.IsMasterFile() && ref < 0x80 && ref != m_cardSo && (ref == m_layout[0] || ref == m_layout[1]));
  for (const auto& named : m_named)
    if (named.second == ref && PinPlace(named.first, ref).IsEqual(at)) own = false;
  if (own) return true;
  if (FirstTime(&m_kept, at, ref))
    m_lib->Log(SC_OK, "%s: reinit - PIN %02X in %s is not the token's own (outside its DF, or another application's), "
               "left on the card", m_app->GetCard() != nullptr ? m_app->GetCard()->GetCardName() : "",
               static_cast<unsigned>(ref), at.Text().c_str());
  return false;
}

bool TokenPins::WasMade(const SCPath& df, uint8_t ref) const {
  const SCPath at = ref < 0x80 ? SCPath() : df;
  return std::any_of(m_made.begin(), m_made.end(), [&](const auto& m) { return m.second == ref && m.first.IsEqual(at); });
}

void TokenPins::Erased() const {
  m_standing.clear();
  m_made.erase(std::remove_if(m_made.begin(), m_made.end(), [](const auto& m) { return m.second >= 0x80; }), m_made.end());
}

bool TokenPins::IsShadowed(const SCPath& df, uint8_t ref) const {
  if (ref < 0x80) return false;
  for (const auto& known : m_standing)
    if (known.second == ref && known.first.IsEqual(df)) return false;
  // Named in a DF on the way up from this one (the same DF is another's: IsOwn).
  const bool shadowed = std::any_of(m_named.begin(), m_named.end(), [&](const auto& named) {
    size_t rest = 0;
    return named.second == ref && named.first.Count() < df.Count() &&
           SCPath::StripPrefix(df.Ids(), df.Count(), named.first.Ids(), named.first.Count(), &rest) != nullptr;
  });
  if (shadowed && FirstTime(&m_shadowed, df, ref))
    m_lib->Log(SC_OK, "%s: reinit - PIN %02X in %s may be answered by another application's PIN above it, "
               "neither asked nor blocked there until the token's own stands there",
               m_app->GetCard() != nullptr ? m_app->GetCard()->GetCardName() : "", static_cast<unsigned>(ref),
               df.Text().c_str());
  return shadowed;
}

UserPukPlace FindUserPuk(SCPkcs15App* app, const TokenPins& pins) {
  UserPukPlace place;
  const SCFileHeaderList& refs = app->GetHeaderList();
  ASNPkcs15AuthObject* user = nullptr;
  ASNPkcs15AuthObject* puk = nullptr;
  if (app->FindPinObject(SCPkcs15App::PIN_USER, &user) >= 0 && user != nullptr &&
      app->FindAuthObjectForObject(SCPkcs15App::HandleOfPin(user), &puk, true) >= 0 && puk != nullptr) {
    if (app->GetPinDf(puk, &place.df) < 0) return place;
    place.ref = SCPkcs15App::GetPinReference(puk);
  } else {
    // A directory that no longer names it (erased, cut short): the card profile's.
    static const uint16_t kMf = SC_FID_MF;
    place.ref = refs.GetUserPukRef();
    if (place.ref < 0x80 ? !place.df.Set(&kMf, 1) : app->BuildAbsolutePath(&place.df) < 0) place.ref = kNoRef;
  }
  ASNPkcs15AuthObject* so = nullptr;
  const uint8_t soRef = app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr
                            ? SCPkcs15App::GetPinReference(so) : refs.GetSoPinRef();
  if (place.ref == 0 || place.ref == soRef || place.ref == refs.GetRef(SC_REFIDX_SO_PUK)) place.ref = kNoRef;
  if (place.ref < kNoRef) place.own = pins.IsOwn(place.df, place.ref);
  place.shadowed = place.own && place.ref < kNoRef && pins.IsShadowed(place.df, place.ref);
  return place;
}

SCRESULT DropUserPuk(SCCard* card, const UserPukPlace& puk, const std::function<SCRESULT()>& again) {
  if (card == nullptr || puk.ref >= kNoRef || !puk.own) return 0;
  SCRESULT r = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 && again() < 0) break;
    r = card->SelectPathThunk(puk.df.Ids(), puk.df.Count(), 0);
    // Gone with the token's DF, which this call deleted; the master file always stands.
    if (r == SC_E_FILE_NOT_FOUND && !puk.df.IsMasterFile()) return 0;
    if (r >= 0 && attempt == 0 && !puk.shadowed) {
      // "No such PIN" is believed at a second look only.
      SCRESULT state = card->VerifyPin(puk.ref, nullptr, SC_UNSET);
      if (state == SC_E_NO_REFERENCED_DATA) state = card->VerifyPin(puk.ref, nullptr, SC_UNSET);
      if (state == SC_E_NO_REFERENCED_DATA) return 0;
    }
    if (r >= 0) r = card->DeleteObject(puk.ref, SC_KEYOBJ_PIN);
    if (r >= 0 || r == SC_E_NO_REFERENCED_DATA) return 0;
    if (CardGone(r)) return r;
  }
  return r;
}

namespace {
// Whether the SO PIN `soRef` (or anyone) may make a PIN in the DF `df` (empty: the
// master file): 1 yes, 0 no, or a failure. Where the card shows no rules, it says so itself.
SCRESULT SoMayCreatePin(SCCard* card, const SCPath& df, uint8_t soRef) {
  static const uint16_t kMf = SC_FID_MF;
  SCCardRules rules(card);
  if (soRef < 0xFF) rules.Trust(soRef);
  return rules.SoMay(df.Count() > 0 ? df : SCPath(&kMf, 1), SC_AC_OP_CREATE_EF, soRef);
}
}  // namespace

SCRESULT UserPinMayGo(SCPkcs15Lib* lib, uint32_t reader, SCPkcs15App* app, const TokenPins& pins, uint8_t soRef,
                      bool dfStays) {
  ASNPkcs15AuthObject* user = nullptr;
  SCPath df;
  const bool named = app->FindPinObject(SCPkcs15App::PIN_USER, &user) >= 0 && user != nullptr;
  // A directory built anew that names no user PIN takes the layout's, a global one.
  const uint8_t ref = named ? SCPkcs15App::GetPinReference(user) : pins.LayoutUserPin();
  if (named ? app->GetPinDf(user, &df) < 0 : dfStays || ref >= 0x80) return 1;
  SCCard* card = app->GetCard();
  const std::string pin = "PIN " + std::string(1, "0123456789ABCDEF"[ref >> 4]) + "0123456789ABCDEF"[ref & 0x0F];
  // One that is not the token's own can neither be made anew nor left to the token,
  // whose holder would share it with the previous one (a local one stays behind
  // where the DF goes: the DF made anew holds the token's).
  if (!pins.IsOwn(df, ref) && (ref < 0x80 || dfStays)) {
    (void)lib->Refuse(reader, card, "the token's user " + pin + " in " + PinPlace(df, ref).Text() + " is not its own");
    return 0;
  }
  // A local PIN in a DF the call deletes is made again in the DF the call makes.
  if (ref >= 0x80 && !dfStays) return 1;
  // One at its reference above a DF that stays would be the card's answer for the
  // token's files between the deletion and the making: the PIN is left as it is.
  if (ref >= 0x80 && df.Count() > 1) {
    SCRESULT above = 0;
    for (int look = 0; look < 2 && above == 0; ++look) {  // "no such PIN" believed at a second look
      above = card->SelectPath(df.Ids(), df.Count() - 1, nullptr);
      if (above >= 0) above = ScPinPresence(card->VerifyPin(ref, nullptr, SC_UNSET));
    }
    if (above == 1)
      (void)lib->Refuse(reader, card, "a " + pin + " stands above the DF of the token's user PIN, whose files would find "
                        "it while the PIN is made anew");
    if (above != 0) return above == 1 ? 0 : above;
  }
  const SCRESULT r = SoMayCreatePin(card, ref < 0x80 ? SCPath() : df, soRef);
  if (r == 0) (void)lib->Refuse(reader, card, "the SO PIN may not make the user " + pin + " anew where it stands");
  return r == SC_E_FILE_NOT_FOUND ? 1 : r;
}

SCRESULT ClearUserPin(SCPkcs15App* app, const TokenPins& pins, uint8_t soRef, const char* soPin, bool early) {
  ASNPkcs15AuthObject* user = nullptr;
  if (app->FindPinObject(SCPkcs15App::PIN_USER, &user) < 0 || user == nullptr || !IsOwnPin(pins, app, user)) return 0;
  SCPath df;
  const bool shadowed = IsShadowedPin(pins, app, user, &df);
  const uint8_t ref = SCPkcs15App::GetPinReference(user);
  // A PIN above the token's DF at the same reference stays as it is: the token's own,
  // nearer, is the one the card finds, and the one above may guard an issuer's files.
  if (pins.WasMade(df, ref)) return 0;
  // Whoever made the PIN that stands at its place, its rules and unblocking PIN
  // may be another's: it is deleted and made anew by this call, without value,
  // under the SO's rules. Nothing is asked of it first: a deletion takes only the
  // DF's own (a DF not made yet gets it when it is made).
  SCCard* card = app->GetCard();
  const SCPath at = ref < 0x80 ? SCPath() : df;
  if (card == nullptr) return SC_E_BAD_USAGE;
  SCRESULT r = SoMayCreatePin(card, at, soRef);
  if (r == SC_E_FILE_NOT_FOUND && early && at.Count() > 0) return 0;
  if (r < 0) return r;
  // A DF whose rules keep PINs from the SO (an issuer's): the PIN cannot be made
  // anew, and its value is not taken away any other way (UserPinMayGo judged it first).
  if (r == 0) return SC_E_ACCESS_DENIED;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 &&
        (r != SC_E_ACCESS_DENIED || VerifySoPinAgain(card, soRef, soPin, soPin != nullptr ? std::strlen(soPin) : 0) < 0))
      break;
    r = at.Count() > 0 ? card->SelectPathThunk(at.Ids(), at.Count(), 0) : card->SelectMf(nullptr);
    if (r == SC_E_FILE_NOT_FOUND && early && at.Count() > 0) return 0;
    if (r >= 0) r = card->DeleteObject(ref, SC_KEYOBJ_PIN);
    if (r >= 0 || r == SC_E_NO_REFERENCED_DATA) break;
  }
  if (r < 0 && r != SC_E_NO_REFERENCED_DATA) return r;
  SCPinParams record = WithoutValue(soRef, true);
  r = app->SetPin(user, nullptr, nullptr, &record, nullptr);
  if (r < 0) return r;
  pins.Made(at, ref);
  if (shadowed) pins.Stands(df, ref);
  return r;
}

namespace {
// The innermost guard of each thread (a pthread key: see ThreadSlot).
const ThreadSlot& InitWrites() {
  static Lasting<ThreadSlot> slot;
  return *slot;
}
InitWriteGuard* Innermost() { return static_cast<InitWriteGuard*>(InitWrites().Get()); }
}  // namespace

InitWriteGuard* InitWriteGuard::Outermost(InitWriteGuard* from, const SCReader* reader) {
  InitWriteGuard* root = nullptr;
  for (InitWriteGuard* g = from; g != nullptr; g = g->m_outer)
    if (g->m_reader == reader) root = g;
  return root;
}

InitWriteGuard::InitWriteGuard(SCCard* card) : m_outer(Innermost()) {
  (void)InitWrites().Set(this);
  m_reader = card != nullptr ? card->GetReader() : nullptr;
  if (card != nullptr) card->BeginWrite(&InitWriteGuard::Restore, Outermost(this, m_reader));
}

InitWriteGuard::~InitWriteGuard() {
  // A card pulled meanwhile was replaced by the reader: the new one was never marked.
  SCCard* card = m_reader != nullptr ? m_reader->GetCard() : nullptr;
  if (card != nullptr) card->EndWrite();
  for (auto& so : m_so) std::fill(so.second.begin(), so.second.end(), 0);
  (void)InitWrites().Set(m_outer);
}

void InitWriteGuard::SoVerified(SCCard* card, uint8_t ref, const char* pin, size_t len) {
  if (card == nullptr || ref == 0 || ref >= 0x80) return;
  InitWriteGuard* root = Outermost(Innermost(), card->GetReader());
  if (root == nullptr) return;
  for (auto& so : root->m_so) {
    if (so.first != ref) continue;
    std::fill(so.second.begin(), so.second.end(), 0);
    so.second = SoPinForCard(card, pin, len);
    return;
  }
  root->m_so.emplace_back(ref, SoPinForCard(card, pin, len));
}

SCRESULT InitWriteGuard::Restore(void* guard) {
  const InitWriteGuard* g = static_cast<const InitWriteGuard*>(guard);
  SCCard* card = g->m_reader != nullptr ? g->m_reader->GetCard() : nullptr;
  if (card == nullptr) return SC_E_CARD_NOT_CONNECTED;
  // Every SO PIN the card accepted in this call (the tokens', the blank card's own).
  SCRESULT r = g->m_so.empty() ? 0 : card->SelectMf(nullptr);
  for (size_t i = 0; r >= 0 && i < g->m_so.size(); ++i)
    r = card->VerifyPin(g->m_so[i].first, g->m_so[i].second.data(), static_cast<uint32_t>(g->m_so[i].second.size()));
  return r;
}

std::vector<uint8_t> SoPinForCard(SCCard* card, const char* pin, size_t len) {
  std::vector<uint8_t> value(pin, pin + len);
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  if (card == nullptr || card->GetCardInfo(&info) < 0) return value;
  const uint32_t type = card->GetCardType();
  // The stored length of the SO PIN objects the module makes on such a card.
  size_t stored = info.maxPinLen;
  if (type == SC_CARD_TYPE_CLASSIC && stored > 64) stored = 64;
  if (type == SC_CARD_TYPE_COSMOPOLIC) stored = 16;
  if (((info.pinCaps & SC_PIN_CAP_PADDED) != 0 || type == SC_CARD_TYPE_CLASSIC) && len < stored)
    value.resize(stored, info.padChar);
  return value;
}

bool SCPkcs15Lib::IsLeftIncomplete(SCPkcs15App* app, SCRESULT loaded) {
  if (app == nullptr || !app->IsKnownProfile()) return false;
  ASNPkcs15AuthObject* so = nullptr;
  return loaded == SC_E_FILE_NOT_FOUND || loaded == SC_E_INVALID_DATA_FORMAT ||
         (loaded >= 0 && !app->IsLoaded() && app->FindPinObject(SCPkcs15App::PIN_SO, &so) < 0);
}

CK_RV SCPkcs15Lib::RepairToken(CK_SLOT_ID slot, const char* label, const char* soPin, long soPinLen,
                               SCCardRules* judged) {
  if (soPin == nullptr) return CKR_PIN_INCORRECT;
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  SCPkcs15App* app = GetSlotApp(slot);
  SCCard* card = app != nullptr ? app->GetCard() : nullptr;
  if (p15 == nullptr || app == nullptr || card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  InitSecret pin;
  if (!pin.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen))) return CKR_HOST_MEMORY;
  const CK_SLOT_ID first = slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1);
  SCRESULT r = 0;
  {
    SCTransactGuard guard(card);
    // Only a directory the card no longer holds whole: its TokenInfo is missing
    // or not yet written (a file left as the card erased it), or its PIN
    // directory is missing. Any other token is not this call's to rebuild.
    r = app->Load(true);
    if (!IsLeftIncomplete(app, r)) return r < 0 ? MapScErrorToCkr(r, false) : CKR_TOKEN_NOT_RECOGNIZED;
    // The PIN references of the layout that made it (the directory that would name
    // them is gone and tells nothing); the SO PIN is global on every card the module
    // initialises.
    const int layout = app->GetLayoutIndex(true);
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    if (app->GetHeaderList().GetSoPinRef() >= kNoRef && card->GetCardInfo(&info) >= 0)
      (void)SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(info.profile), &app->GetHeaderList(), layout);
    const uint8_t soRef = app->GetHeaderList().GetSoPinRef();
    if (soRef == 0 || soRef >= 0x80) return CKR_TOKEN_WRITE_PROTECTED;
    InitWriteGuard writing(card);
    r = SoPinAgain(card, soRef, pin);
    if (r < 0) return MapScErrorToCkr(r, false);
    InitWriteGuard::SoVerified(card, soRef, pin.Get(), pin.Length());
    SCCardRules ownRules(card);
    SCCardRules& rules = judged != nullptr && judged->Card() == card ? *judged : ownRules;
    rules.Trust(soRef);
    const std::string text = label != nullptr && *label != '\0' ? std::string(label) : std::string("MIRTAL");
    const TokenPins own(this, app, layout, BlankCardSoRef(card, first));
    if (own.Failure() < 0) return PinsUnknown(app, own);
    // What its DF would take with it, and its user PIN made anew, were judged before
    // the SO's value went (TokenMayGo). EF.DIR keeps naming the token: its record takes
    // the label only where the token's SO PIN may update it (an EF.DIR the blank card's
    // own SO PIN guards, as a first token's call leaves it, keeps its label), so the
    // SO's value goes to that PIN alone.
    const SCRESULT dirTakes = DirTakesLabel(this, p15, soRef, text);
    if (dirTakes < 0) {
      (void)app->Logout(false);
      return MapScErrorToCkr(dirTakes, false);
    }
    Log(SC_OK, "%s: reinit '%s' - the token's directory is incomplete, building it anew...", card->GetCardName(),
        text.c_str());
    PreviousPuk puk(app, own, [&] { return SoPinAgain(card, soRef, pin); });
    bool erased = false;
    r = RebuildStructure(p15, app, MakeUniqueAppLabel(p15, text.c_str(), app), dirTakes == 1, &erased,
                         [&] { return SoPinAgain(card, soRef, pin); },
                         [&] {
                           const SCRESULT c = ClearUserPin(app, own, soRef, pin.Get(), true);
                           return c < 0 ? c : puk.Drop(this, text);
                         },
                         own, soRef);
    // The user PIN of the new structure has no value until the SO sets it.
    if (r >= 0) {
      r = ClearUserPinTwice(app, own, soRef, pin, true, [&] { return SoPinAgain(card, soRef, pin); });
      if (r < 0 && !CardGone(r))
        Log(r, "%s: reinit '%s' - the card did not take the user PIN's value away", card->GetCardName(), text.c_str());
    }
    if (r >= 0) r = FreshLook(this, app, soRef, false, true, &rules);
    (void)app->Logout(false);
  }
  (void)RefreshTokenInfo(first, 1, 1);
  return r < 0 ? MapScErrorToCkr(r, false) : CKR_OK;
}

CK_RV SCPkcs15Lib::WriteGlobalSoPinLine(uint32_t reader, InitProfile* profile, const char* path) {
  if (profile == nullptr) return CKR_ARGUMENTS_BAD;
  CfgSectionList* sections = profile->GetSections();
  const CfgSection* global = profile->GetGlobal();
  std::string file;
  if (path != nullptr) {
    file = path;
  } else if (!ExpandProfileText(profile->GetGlobalText("OutputPinFile", ""), sections, &file, -1)) {
    ReportOutputFailure(reader, ~static_cast<CK_SLOT_ID>(0),
                        std::string("Invalid option OutputPinFile value: ") + profile->GetGlobalText("OutputPinFile", ""));
    return CKR_ARGUMENTS_BAD;
  }
  if (file.empty()) return CKR_OK;
  // The values the card got: the global section's, else those of the first token
  // that settled them; "saved" is read where the token lines write it.
  const bool writeAll = profile->WriteAllPins();
  int source = -1;
  bool saved = SectionBool(global, "__SET_SoPinSaved");
  const char* soPin = InitProfile::FindText(global, "__SET_SoPin");
  for (int t = 0; t < profile->GetTokenCount(); ++t) {
    const CfgSection* ts = profile->GetTokenSection(t);
    saved = saved || SectionBool(ts, "__SET_SoPinSaved");
    const char* v = InitProfile::FindText(ts, "__SET_SoPin");
    if ((soPin == nullptr || *soPin == '\0') && v != nullptr && *v != '\0') {
      soPin = v;
      source = t;
    }
  }
  if (saved && !writeAll) return CKR_OK;
  if (soPin == nullptr || *soPin == '\0') return CKR_OK;
  const char* given = profile->GetGlobalText("SoPin", nullptr);
  if (!writeAll && given != nullptr && std::strcmp(given, soPin) == 0) return CKR_OK;
  const char* format = profile->GetGlobalText("OutputGlobalSoPinFormat", nullptr);
  if (IsDefaultWord(format)) format = kInitDefaultGlobalSoPinFormat;
  std::string line;
  if (!ExpandProfileText(format, sections, &line, source)) {
    ReportOutputFailure(reader, ~static_cast<CK_SLOT_ID>(0),
                        std::string("Invalid variable OutputGlobalSoPinFormat contents: ") + format);
    return CKR_ARGUMENTS_BAD;
  }
  std::string error;
  if (!AppendToFile(file, line, &error)) {
    ReportOutputFailure(reader, ~static_cast<CK_SLOT_ID>(0), "Can't open output pin file: " + error);
    return CKR_FUNCTION_FAILED;
  }
  return CKR_OK;
}

CK_RV SCPkcs15Lib::WriteTokenPinLine(uint32_t reader, int token, InitProfile* profile, const char* path) {
  if (profile == nullptr) return CKR_ARGUMENTS_BAD;
  CfgSectionList* sections = profile->GetSections();
  CfgSection* ts = profile->GetTokenSection(token);
  if (ts == nullptr) token = -1;
  const CK_SLOT_ID slot = token >= 0 && static_cast<uint32_t>(token) < m_tokensPerReader
                              ? static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader + static_cast<CK_SLOT_ID>(token)
                              : ~static_cast<CK_SLOT_ID>(0);
  std::string name;
  for (const char* v : {InitProfile::FindText(ts, "__SET_TokenLabel"), InitProfile::FindText(ts, "TokenLabel"),
                        ts != nullptr ? ts->GetShortName() : nullptr})
    if (v != nullptr && *v != '\0') {
      name = v;
      break;
    }
  if (IsDefaultWord(name.c_str())) name = "Token numer " + std::to_string(token);
  std::string file;
  if (path != nullptr) {
    file = path;
  } else if (!ExpandProfileText(profile->GetText(token, "OutputPinFile", ""), sections, &file, token)) {
    ReportOutputFailure(reader, slot,
                        name + ": Invalid option OutputPinFile value: " + profile->GetText(token, "OutputPinFile", ""));
    return CKR_ARGUMENTS_BAD;
  }
  if (file.empty()) return CKR_OK;
  const char* format = profile->GetText(token, "OutputPinFormat", nullptr);
  if (IsDefaultWord(format)) format = kInitDefaultOutputPinFormat;
  std::string line;
  if (!ExpandProfileText(format, sections, &line, token)) {
    ReportOutputFailure(reader, slot, name + ": Invalid variable OutputPinFormat contents: " + format);
    return CKR_ARGUMENTS_BAD;
  }
  std::string error;
  if (!AppendToFile(file, line, &error)) {
    ReportOutputFailure(reader, slot, name + ": Can't open output pin file " + file + ": " + error);
    return CKR_FUNCTION_FAILED;
  }
  if (ts != nullptr && !SectionBool(ts, "__SET_SoPinIsLocal") &&
      (ProfileTextMentions("SoPin", format) || ProfileTextMentions("__SET_SoPin", format))) {
    CfgParamAndValue* p = ts->GetOrAddParam("__SET_SoPinSaved", CFG_TYPE_BOOL, true, true);
    if (p != nullptr) {
      p->SetType(CFG_TYPE_BOOL);
      p->SetBool(true);
    }
  }
  return CKR_OK;
}
