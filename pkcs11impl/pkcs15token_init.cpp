// Token initialisation: C_InitToken on one slot, and the card initialisation
// from a profile file that erases the card's tokens and adds the profile's.
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/session.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "support/cfginifile.h"
#include "support/cfgparam.h"
#include "support/textutil.h"

namespace {

// A 32-byte PKCS#11 label without its trailing blanks, NUL bytes inside it as
// "_"; an empty label is "MIRTAL".
std::string LabelText(const CK_UTF8CHAR* label) {
  std::string text(reinterpret_cast<const char*>(label), 32);
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) --end;
  text.resize(end);
  for (char& c : text)
    if (c == '\0') c = '_';
  return text.empty() ? std::string("MIRTAL") : text;
}

std::string UpperHex(const uint8_t* bytes, size_t len) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < len; ++i) {
    s += kDigits[bytes[i] >> 4];
    s += kDigits[bytes[i] & 0xF];
  }
  return s;
}

bool IsReadyForInit(CK_RV rv) {
  return rv == CKR_OK || rv == TOKEN_STATUS_CARD_NOT_INITIALIZED || rv == TOKEN_STATUS_CARD_NOT_ACTIVATED ||
         rv == CKR_TOKEN_NOT_RECOGNIZED;
}

// The readiness step of both initialisations: *ready is the step's result, which
// lets an initialisation go on when this answers CKR_OK (the slot's application,
// the bridge and the reader given out); else this is the call's result.
CK_RV ReadyForInit(CPkcs15Token* token, SCPkcs15App** app, SCPkcs15Lib** lib, uint32_t* reader, CK_RV* ready) {
  if (!token->IsAttached()) return CKR_GENERAL_ERROR;
  *ready = token->RefreshAndGetApp(app, lib);
  if (!IsReadyForInit(*ready)) return *ready;
  if (*lib == nullptr) return CKR_GENERAL_ERROR;
  const SCRESULT ri = (*lib)->GetSlotReaderIndex(token->GetSlotId());
  if (ri < 0) return CKR_GENERAL_ERROR;
  *reader = static_cast<uint32_t>(ri);
  return CKR_OK;
}

}  // namespace

CK_RV CPkcs15Token::AnswerInit(CK_RV rv) {
  SCPkcs15Lib* lib = IsAttached() ? m_pApp->GetPkcs15Lib() : nullptr;
  const SCRESULT reader = lib != nullptr ? lib->GetSlotReaderIndex(m_nPkcs15SlotId) : -1;
  return rv != CKR_OK && reader >= 0 && lib->Refused(static_cast<uint32_t>(reader)) ? CKR_FUNCTION_FAILED : rv;
}

CK_RV CPkcs15Token::PrepareInitToken(CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, CK_UTF8CHAR_PTR label) {
  if (IsAttached() && m_pApp->GetPkcs15Lib() != nullptr) m_pApp->GetPkcs15Lib()->ForgetRefusal();
  return AnswerInit(InitSlotToken(soPin, soPinLen, label));
}

CK_RV CPkcs15Token::InitSlotToken(CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, CK_UTF8CHAR_PTR label) {
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  uint32_t reader = 0;
  CK_RV ready = CKR_OK;
  const CK_RV going = ReadyForInit(this, &app, &lib, &reader, &ready);
  if (going != CKR_OK) return going;
  // The reader's messages tell of this initialisation only.
  lib->ClearSlotMessages(static_cast<int>(reader), false);
  const char* pin = reinterpret_cast<const char*>(soPin);
  const long pinLen = soPin != nullptr ? static_cast<long>(soPinLen) : -1;
  // A card showing what this module cannot account for, where the call would write,
  // is refused before the SO's value goes to it.
  SCPkcs15Lib::InitGround ground = SCPkcs15Lib::InitGround::kAsRead;
  // Each file is judged once in the call, and every later step keeps that judgement.
  SCReader* rd = lib->GetReader(reader);
  SCCardRules rules(rd != nullptr ? rd->GetCard() : nullptr);
  std::vector<uint8_t> leftovers;
  SCRESULT grounded =
      soPin != nullptr ? lib->GroundFor(m_nPkcs15SlotId, pin, soPinLen, &ground, &rules, nullptr, &leftovers) : 0;
  // A card no road takes is refused as it is.
  if (grounded >= 0 && ground == SCPkcs15Lib::InitGround::kAsRead && ready == CKR_TOKEN_NOT_RECOGNIZED &&
      !lib->IsCardNotInitialized(reader) && lib->GetSlotApp(m_nPkcs15SlotId) == nullptr)
    return ready;
  // A card that takes PINs only over its channel gets none from a token built
  // without its key set, and where the card holds nothing no one else could have
  // written, its key set is no one's to keep: nothing is deleted.
  if (grounded >= 0 && ground == SCPkcs15Lib::InitGround::kAsBlank) {
    SCReader* rd = lib->GetReader(reader);
    SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
    if (card != nullptr && card->SecretsNeedChannel()) {
      lib->Log(SC_E_SM_NOT_ESTABLISHED, "%s: the card takes PINs only over its channel, and anyone could have written "
               "what names its key set: the key set cannot be kept, nothing deleted", card->GetCardName());
      return CKR_DEVICE_ERROR;
    }
  }
  if (grounded < 0) return MapScErrorToCkr(grounded, false);
  CK_RV rv = CKR_OK;
  if (ground == SCPkcs15Lib::InitGround::kAsBlank) {
    rv = lib->AddToken(reader, (label != nullptr ? LabelText(label) : std::string("MIRTAL")).c_str(), pin, pinLen,
                       true, &rules, &leftovers);
  } else if (ready == CKR_OK || ready == TOKEN_STATUS_CARD_NOT_ACTIVATED) {
    if (app == nullptr || !app->IsWritable()) return CKR_TOKEN_WRITE_PROTECTED;
    std::string text;
    if (label != nullptr) {
      text = LabelText(label);
    } else {
      char current[256];
      const int n = app->GetTokenLabel(current, sizeof current - 1);
      text.assign(current, n > 0 && n < static_cast<int>(sizeof current) ? static_cast<size_t>(n) : 0);
    }
    rv = lib->ReinitToken(m_nPkcs15SlotId, text.c_str(), pin, pinLen, &rules);
  } else {
    const std::string text = label != nullptr ? LabelText(label) : std::string("MIRTAL");
    // A token an interrupted initialisation left incomplete reads as not
    // initialised while its slot keeps the application: it is built anew in place.
    if (ready == TOKEN_STATUS_CARD_NOT_INITIALIZED && lib->GetSlotApp(m_nPkcs15SlotId) != nullptr)
      return lib->RepairToken(m_nPkcs15SlotId, text.c_str(), pin, pinLen, &rules);
    if (ready == CKR_TOKEN_NOT_RECOGNIZED && !lib->IsCardNotInitialized(reader)) {
      // A token an interrupted initialisation left incomplete is built anew; any other stays unrecognised.
      if (lib->GetSlotApp(m_nPkcs15SlotId) == nullptr) return ready;
      return lib->RepairToken(m_nPkcs15SlotId, text.c_str(), pin, pinLen, &rules);
    }
    rv = lib->AddToken(reader, text.c_str(), pin, pinLen, false, &rules, &leftovers);
  }
  if (IsAgentSession()) {
    m_loggedInUser = CKU_MIRTAL_PERSONALIZATION_AGENT;
    AcknowledgeTokenChange();
  }
  return rv;
}

CK_RV CPkcs15Token::InitToken(CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, const char* profileFile,
                              CK_UTF8CHAR_PTR label) {
  if (profileFile == nullptr || *profileFile == '\0') return PrepareInitToken(soPin, soPinLen, label);
  if (IsAttached() && m_pApp->GetPkcs15Lib() != nullptr) m_pApp->GetPkcs15Lib()->ForgetRefusal();
  return AnswerInit(InitCardFromProfile(soPin, soPinLen, profileFile, label));
}

CK_RV CPkcs15Token::InitCardFromProfile(CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, const char* profileFile,
                                        CK_UTF8CHAR_PTR label) {
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  uint32_t reader = 0;
  CK_RV ready = CKR_OK;
  const CK_RV going = ReadyForInit(this, &app, &lib, &reader, &ready);
  if (going != CKR_OK) return going;
  SCReader* rd = lib->GetReader(reader);
  SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  const std::string cardModel = card->GetCardName() != nullptr ? card->GetCardName() : "";
  const std::string readerName = rd->GetName();
  std::string serial;
  uint8_t serialBytes[1024];
  const SCRESULT sn = lib->GetCardSerialNumber(reader, serialBytes, sizeof serialBytes);
  // A card that keeps no serial number (the bridge answers "unsupported" for it)
  // is initialised all the same, without the profile's TokenSerialNumber.
  if (sn > 0)
    serial = UpperHex(serialBytes, static_cast<size_t>(sn));
  else if (sn < 0 && sn != SC_E_NO_REFERENCED_DATA && sn != SC_E_CARD_UNSUPPORTED)
    return MapScErrorToCkr(sn, false);
  // The reader's messages tell of this initialisation only.
  lib->ClearSlotMessages(static_cast<int>(reader), false);

  CfgIniFile ini;
  if (!ini.SetPath(profileFile) || !ini.Read()) {
    const std::string text = std::string("B\xc5\x82\xc4\x85" "d odczytu pliku konfiguracyjnego: ") + ini.GetLastError();
    lib->AppendReaderMessage(reader, (text + "\n").c_str(), true);
    lib->Log(SC_E_PKCS15_BAD_CONFIG, "%s", text.c_str());
    return CKR_ARGUMENTS_BAD;
  }
  if (*ini.GetLastError() != '\0')
    lib->Log(SC_OK, "There were warnings during parsing config file:\n%s", ini.GetLastError());
  CfgSectionList* sections = const_cast<CfgSectionList*>(&ini.GetSections());
  InitProfile profile(sections);
  CK_RV rv = lib->ValidateInitProfile(reader, &profile, true, soPin != nullptr);
  if (rv != CKR_OK) return rv;
  const bool testOnly = profile.TestSettingsOnly();
  // Only ClassIC cards take a profile's tokens: any other is refused before its tokens go.
  if (!testOnly && card->GetCardType() != SC_CARD_TYPE_CLASSIC)
    return card->GetCardType() == SC_CARD_TYPE_IAS ? CKR_TOKEN_NOT_RECOGNIZED : CKR_TOKEN_WRITE_PROTECTED;
  // The SO PIN the card is judged with: the caller's, else the profile's where it gives one.
  const char* judgePin = reinterpret_cast<const char*>(soPin);
  long judgeLen = soPin != nullptr ? static_cast<long>(soPinLen) : -1;
  if (judgePin == nullptr) {
    const char* given = profile.GetGlobalText("SoPin", nullptr);
    if (given != nullptr && ParsePinValueKind(given) == 0) {
      judgePin = given;
      judgeLen = static_cast<long>(std::strlen(given));
    }
  }
  // A card showing what this module cannot account for is refused before the SO's
  // value goes to it.
  SCPkcs15Lib::InitGround ground = SCPkcs15Lib::InitGround::kAsRead;
  // Each file is judged once in the call, and every later step keeps that judgement.
  SCCardRules rules(card);
  // PINs of this module's that an earlier erasure or a cut call left, deleted before any token goes.
  std::vector<uint8_t> leftovers;
  SCRESULT grounded = lib->GroundFor(GetSlotId(), judgePin, judgeLen < 0 ? 0 : static_cast<size_t>(judgeLen), &ground,
                                     &rules, &profile, &leftovers);
  if (grounded < 0) return MapScErrorToCkr(grounded, false);
  if (ready == CKR_TOKEN_NOT_RECOGNIZED && !lib->IsCardNotInitialized(reader) &&
      ground != SCPkcs15Lib::InitGround::kAsBlank)
    return ready;
  // A token an interrupted initialisation left (EF.DIR names it, its structure
  // incomplete) is erased with the others: the card gets exactly the profile's tokens.
  const SCPkcs15Card* p15 = lib->GetSlotPkcs15Card(GetSlotId());
  const bool eraseFirst = ground != SCPkcs15Lib::InitGround::kAsBlank &&
                          ((ready != TOKEN_STATUS_CARD_NOT_INITIALIZED && ready != CKR_TOKEN_NOT_RECOGNIZED) ||
                           (p15 != nullptr && p15->GetApplicationCount() > 0));
  if (profile.GetGlobal() == nullptr && sections->AddSection("", false) == nullptr) return CKR_HOST_MEMORY;
  const char* pin = reinterpret_cast<const char*>(soPin);
  const long pinLen = soPin != nullptr ? static_cast<long>(soPinLen) : -1;
  // The erasure and the tokens that follow it are one write: a reset by another
  // application between them would otherwise leave the card without any token.
  InitWriteGuard writing(testOnly ? nullptr : card);

  if (eraseFirst) {
    if (testOnly) {
      lib->Log(SC_OK, "Test settings only - FAKE Deleting all tokens from card in reader %s...", readerName.c_str());
    } else {
      lib->Log(SC_OK, "Deleting all tokens from card in reader %s...", readerName.c_str());
      // The SO PIN is verified before the first deletion: the caller's, else the
      // profile's when it gives one. A card whose SO PIN is still verified from
      // an earlier call would otherwise take the deletion from a wrong profile.
      const char* erasePin = pin;
      long eraseLen = pinLen;
      const char* given = pin == nullptr ? profile.GetGlobalText("SoPin", nullptr) : nullptr;
      if (given != nullptr && ParsePinValueKind(given) == 0) {
        erasePin = given;
        eraseLen = -1;
      }
      // Whether the tokens erased named the card's SO PUK: only then do the new ones.
      const bool pukNamed = lib->NamesCardSoPuk(reader);
      rv = lib->DeleteToken(reader, -1, erasePin, eraseLen, &rules, &leftovers);
      if (rv != CKR_OK) return rv;
      if (pukNamed) SCPkcs15Lib::SetProfileNumber(sections, nullptr, "__SET_SoPukNamed", 1);
      SCPkcs15Lib::SetProfileNumber(sections, nullptr, "__SET_CardReinitalized", 1);
    }
  }
  if (label != nullptr) SCPkcs15Lib::SetProfileText(sections, nullptr, "__ADD_DefaultTokenLabel", LabelText(label).c_str());
  const int count = profile.GetTokenCount();
  SCPkcs15Lib::SetProfileNumber(sections, nullptr, "__SET_TokenCount", static_cast<unsigned long>(count));
  if (!cardModel.empty()) SCPkcs15Lib::SetProfileText(sections, nullptr, "CardModel", cardModel.c_str());
  if (!serial.empty()) SCPkcs15Lib::SetProfileText(sections, nullptr, "TokenSerialNumber", serial.c_str());

  CK_RV failure = CKR_OK;
  int failed = -1;     // the token whose addition failed
  bool lined = true;  // every token made has its line in the PIN file
  for (int t = 0; t < count && failure == CKR_OK; ++t) {
    CfgSection* ts = profile.GetTokenSection(t);
    if (ts == nullptr) break;
    CfgParamAndValue* index = ts->GetOrAddParam("TokenIndex", CFG_TYPE_INT, true, true);
    if (index != nullptr) {
      index->SetType(CFG_TYPE_INT);
      index->SetInt(static_cast<unsigned long>(t));
    }
    lib->Log(SC_OK, "Adding token '%s' to card in reader %s...", ts->GetShortName(), readerName.c_str());
    failure = lib->InitTokenFromProfile(reader, t, &profile, pin, pinLen, &rules);
    // The card's old tokens are gone already: a card step that failed (the
    // addition took back what it made) is tried once more rather than leave
    // the card without any token.
    if (eraseFirst && !testOnly &&
        (failure == CKR_DEVICE_ERROR || failure == CKR_GENERAL_ERROR || failure == CKR_FUNCTION_FAILED ||
         failure == CKR_USER_NOT_LOGGED_IN)) {
      lib->Log(SC_OK, "Adding token '%s' to card in reader %s again...", ts->GetShortName(), readerName.c_str());
      // The card is read again first: the failed addition took back what it made.
      (void)lib->RefreshTokenInfo(static_cast<CK_SLOT_ID>(reader) * lib->GetTokensPerReader(), 0, 1);
      failure = lib->InitTokenFromProfile(reader, t, &profile, pin, pinLen, &rules);
    }
    // The line goes out also after a failure once values were settled: an SO PIN
    // the card already took must not be lost.
    if (failure == CKR_OK || InitProfile::FindText(ts, "__SET_TokenLabel") != nullptr) {
      const CK_RV line = lib->WriteTokenPinLine(reader, t, &profile, nullptr);
      if (failure == CKR_OK) lined = lined && line == CKR_OK && *profile.GetText(t, "OutputPinFile", "") != '\0';
    }
    if (failure != CKR_OK) failed = t;
  }
  // The tokens made before a later one failed stay, as made: the message says so beside the card's text.
  if (failed > 0) lib->TellTokensKept(reader, &profile, failed, lined);
  const CK_RV written = lib->WriteGlobalSoPinLine(reader, &profile, nullptr);
  return failure != CKR_OK ? failure : written;
}
