// A card that holds no token yet, taken over by its first token: the PINs and
// the EF.DIR that anyone may have made in its master file are not the token's.
#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"

namespace {

bool Holds(const std::vector<uint8_t>& refs, uint8_t ref) { return std::find(refs.begin(), refs.end(), ref) != refs.end(); }

}  // namespace

BlankCard::BlankCard(const SCPkcs15Lib* lib, SCCard* card, SCPkcs15CardDir* dir, const SCFileHeaderList& layout,
                     uint8_t keptSo, bool first)
    : m_lib(lib), m_card(card), m_dir(dir) {
  std::vector<uint8_t> refs;
  for (int idx : {SC_REFIDX_SO_PIN, SC_REFIDX_SO_PUK, SC_REFIDX_USER_PIN, SC_REFIDX_USER_PUK})
    if ((first || idx == SC_REFIDX_USER_PIN || idx == SC_REFIDX_USER_PUK) && layout.GetRef(idx) != keptSo)
      refs.push_back(layout.GetRef(idx));
  SCValueSet owners;
  for (uint8_t ref : {layout.GetSoPinRef(), keptSo})
    if (ref < 0xFF && !owners.Add(static_cast<uint16_t>(0xC000 | ref))) m_failure = SC_E_NO_MEMORY;
  if (m_failure < 0) return;
  SCTransactGuard guard(card);
  m_failure = card->SelectMf(nullptr);
  for (uint8_t ref : refs) {
    if (m_failure < 0) return;
    // Global references only: a local PIN is made in the token's new DF.
    if (ref == 0 || ref >= 0x80 || Holds(m_asked, ref)) continue;
    m_asked.push_back(ref);
    const SCRESULT state = ScPinPresence(card->VerifyPin(ref, nullptr, SC_UNSET));
    // The SO PIN, which may guard the others, goes last.
    if (state == 1) m_found.insert(ref == refs.front() ? m_found.end() : m_found.begin(), ref);
    if (state < 0) m_failure = state;
  }
  if (m_failure < 0 || dir->IsKnownAbsent()) return;
  const SCRESULT guarded = dir->IsGuardedBy(owners);
  if (guarded == SC_E_FILE_NOT_FOUND) return;
  if (guarded < 0) m_failure = guarded;
  m_dirOpen = guarded == 0;
  // Its records name nothing; those of a planted structure go when its applications are forgotten.
  if (m_dirOpen && first && dir->GetApplication() == nullptr) dir->ClearContents();
}

bool SoMeets(const SCValueSet& by, uint8_t soRef) {
  return by.Contains(SC_AC_ALWAYS) || (soRef < 0xFF && by.Contains(static_cast<uint16_t>(0xC000 | soRef)));
}

void BlankCard::RemoveDfs(const std::vector<SCPath>& dfs, uint8_t soRef) {
  for (const SCPath& df : dfs) {
    if (m_failure < 0) return;
    SCValueSet by;
    const SCRESULT open = SCPkcs15PathObjectInfo::IsOpenToAnyone(m_card, df, &by);
    if (open == SC_E_FILE_NOT_FOUND || open == 0) continue;
    if (open < 0) {
      m_failure = open;
      return;
    }
    if (!SoMeets(by, soRef)) {
      m_lib->Log(SC_E_ACCESS_DENIED, "%s: a DF anyone may change holds a PKCS#15 application the SO may not delete: "
                 "nothing changed", m_card->GetCardName());
      m_failure = SC_E_ACCESS_DENIED;
      return;
    }
    m_dfs.push_back(df);
  }
}

bool BlankCard::Absent(uint8_t ref) const {
  return m_failure >= 0 && Holds(m_asked, ref) && !Holds(m_found, ref);
}

SCRESULT BlankCard::Clear(uint8_t soRef, const char* soPin, size_t len, uint32_t minLen) {
  if (m_failure < 0) return m_failure;
  SCTransactGuard guard(m_card);
  // A deletion the card refuses is asked again once the SO PIN is verified.
  // Where none stands (an SO PUK that a cut left without the SO PIN guarding
  // it), one is made with the SO's value for the deletions (anyone may make
  // one here) and goes again after them: the call makes its own.
  bool made = false;
  const auto again = [&]() -> SCRESULT {
    if (soPin == nullptr) return SC_E_ACCESS_DENIED;
    SCRESULT v = VerifySoPinAgain(m_card, soRef, soPin, len);
    if (v != SC_E_NO_REFERENCED_DATA || made) return v;
    std::vector<uint8_t> value = SoPinForCard(m_card, soPin, len);
    SCPinParams record;
    record.minLen = minLen;
    record.maxLen = static_cast<uint32_t>(value.size());
    v = m_card->SelectMf(nullptr);
    if (v >= 0) v = m_card->CreatePin(soRef, &record, value.data(), static_cast<uint32_t>(value.size()), 0);
    std::fill(value.begin(), value.end(), 0);
    made = v >= 0;
    return v < 0 ? v : VerifySoPinAgain(m_card, soRef, soPin, len);
  };
  // One deletion in the master file, asked again under the SO PIN where refused.
  const auto remove = [&](const std::function<SCRESULT()>& deletion) {
    SCRESULT r = deletion();
    if (r == SC_E_ACCESS_DENIED && again() >= 0) r = deletion();
    return r;
  };
  SCRESULT gone = 0;
  for (uint8_t ref : m_found) {
    const auto pin = [&] {
      const SCRESULT s = m_card->SelectMf(nullptr);
      return s < 0 ? s : m_card->DeleteObject(ref, SC_KEYOBJ_PIN);
    };
    // It stood a moment ago: only its deletion says it is gone.
    const SCRESULT r = remove(pin);
    if (r < 0) {
      m_lib->Log(r, "%s: PIN %u in the master file of a card that holds no token is not this module's, and the card "
                 "did not delete it", m_card->GetCardName(), static_cast<unsigned>(ref));
      return r;
    }
    m_lib->Log(SC_OK, "%s: PIN %u in the master file of a card that holds no token is not this module's: deleted",
               m_card->GetCardName(), static_cast<unsigned>(ref));
    ++gone;
  }
  m_found.clear();
  for (const SCPath& df : m_dfs) {
    // With what it holds: every model initialised here deletes a DF whole.
    const auto whole = [&] {
      const SCPath parent(df.Ids(), df.Count() - 1);
      const SCRESULT s = m_card->SelectPathThunk(parent.Ids(), parent.Count(), 0);
      return s < 0 ? s : m_card->DeleteFileById(df[df.Count() - 1], parent);
    };
    const SCRESULT r = remove(whole);
    if (r < 0) {
      m_lib->Log(r, "%s: a DF that anyone may change holds a PKCS#15 application, and the card did not delete it",
                 m_card->GetCardName());
      return r;
    }
    m_lib->Log(SC_OK, "%s: a DF that anyone may change held a PKCS#15 application: deleted", m_card->GetCardName());
    ++gone;
  }
  m_dfs.clear();
  if (m_dirOpen) {
    // Gone only where the card deleted it and then holds none: a new one is made, never the planted one written.
    SCRESULT r = remove([this] { return m_dir->Delete(); });
    SCPath dir;
    if (r >= 0 && !m_dir->GetFullPathInto(dir)) r = SC_E_NO_MEMORY;
    if (r >= 0) {
      const SCRESULT still = m_card->SelectPath(dir.Ids(), dir.Count(), nullptr);
      r = still == SC_E_FILE_NOT_FOUND ? 0 : still < 0 ? still : SC_E_INVALID_DATA_FORMAT;
    }
    if (r < 0) {
      m_lib->Log(r, "%s: EF.DIR of a card that holds no token may be changed by others than the SO, and the card "
                 "did not delete it", m_card->GetCardName());
      return r;
    }
    m_lib->Log(SC_OK, "%s: EF.DIR of a card that holds no token may be changed by others than the SO: made anew",
               m_card->GetCardName());
    m_dirOpen = false;
    ++gone;
  }
  if (made) {
    SCRESULT r = m_card->SelectMf(nullptr);
    if (r >= 0) r = m_card->DeleteObject(soRef, SC_KEYOBJ_PIN);
    m_lib->Log(r, "%s: SO PIN %u made for the deletions on a card that holds no token%s", m_card->GetCardName(),
               static_cast<unsigned>(soRef), r < 0 ? ", and the card did not delete it again" : ", deleted again");
    if (r < 0) return r;
  }
  return gone;
}

SCRESULT SCPkcs15Lib::GroundFor(CK_SLOT_ID slot, InitGround* ground, std::vector<SCPath>* planted) {
  *ground = InitGround::kAsRead;
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  SCReader* reader = GetSlotReader(slot);
  SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  if (p15 == nullptr || card == nullptr || p15->GetApplicationCount() == 0) return 0;
  SCTransactGuard guard(card);
  SCPath dir;
  if (!p15->GetCardDir().GetFullPathInto(dir)) return SC_E_NO_MEMORY;
  const SCRESULT dirOpen = SCPkcs15PathObjectInfo::IsOpenToAnyone(card, dir);
  if (dirOpen < 0 && dirOpen != SC_E_FILE_NOT_FOUND) return dirOpen;
  // Each application DF: whether anyone may change it (SC_E_FILE_NOT_FOUND: none stands).
  std::vector<SCPath> dfs;
  std::vector<SCRESULT> open;
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPath df;
    SCRESULT r = p15->GetApplicationAt(static_cast<uint32_t>(i))->BuildAbsolutePath(&df);
    if (r >= 0) r = SCPkcs15PathObjectInfo::IsOpenToAnyone(card, df);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    dfs.push_back(df);
    open.push_back(r);
  }
  // Without EF.DIR the applications are those found by name: where each of them is
  // open, the card holds nothing anyone could not have written.
  const bool none = dirOpen == SC_E_FILE_NOT_FOUND &&
                    std::all_of(open.begin(), open.end(), [](SCRESULT r) { return r == 1; });
  if (dirOpen == 1 || none) {
    *ground = InitGround::kCardPlanted;
    Log(SC_OK, "%s: %s anyone may change: the card is initialised as one that holds no token", card->GetCardName(),
        dirOpen == 1 ? "EF.DIR" : "every PKCS#15 application DF");
    if (planted == nullptr) return 0;
    for (size_t i = 0; i < open.size(); ++i)
      if (open[i] == 1) planted->push_back(dfs[i]);
    // And those that carry the PKCS#15 name without a record: the token's DF will carry it.
    std::vector<uint16_t> named;
    SCRESULT r = card->SelectMf(nullptr);
    for (uint32_t occurrence = 0; r >= 0; occurrence = 2) {
      SCFileHeader* header = nullptr;
      r = card->SelectByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12, occurrence, &header);
      const std::unique_ptr<SCFileHeader> owned(header);
      if (r < 0 || !owned || !owned->HasFileId() ||
          std::find(named.begin(), named.end(), owned->GetFileId()) != named.end())
        break;
      named.push_back(owned->GetFileId());
    }
    if (r < 0 && r != SC_E_FILE_NOT_FOUND && r != SC_E_NO_REFERENCED_DATA) return r;
    for (uint16_t fid : named) {
      const uint16_t path[2] = {SC_FID_MF, fid};
      const SCPath df(path, 2);
      if (std::any_of(planted->begin(), planted->end(), [&](const SCPath& p) { return p.IsEqual(df); })) continue;
      r = SCPkcs15PathObjectInfo::IsOpenToAnyone(card, df);
      if (r < 0) return r;
      if (r == 1) planted->push_back(df);
    }
    return 0;
  }
  const int32_t index = p15->IndexOfApplication(GetSlotApp(slot));
  if (index >= 0 && static_cast<size_t>(index) < open.size() && open[static_cast<size_t>(index)] == 1) {
    *ground = InitGround::kSlotPlanted;
    Log(SC_OK, "%s: the DF of slot %lu's token may be changed by anyone: the token is built anew in place",
        card->GetCardName(), static_cast<unsigned long>(slot));
  }
  return 0;
}

void SCPkcs15Lib::ForgetApplications(uint32_t reader) {
  SCPkcs15Card* p15 = reader < m_readerCount && m_pkcs15Cards != nullptr ? m_pkcs15Cards[reader] : nullptr;
  if (p15 == nullptr) return;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t) m_pAppTable[first + t] = nullptr;
  while (p15->GetApplicationCount() > 0) {
    SCPkcs15App* app = p15->GetApplicationAt(0);
    p15->DiscardApplication(app, app->GetSourceDirRecord());
  }
  p15->GetCardDir().ClearContents();
}

bool SCPkcs15Lib::NamesCardSoPuk(uint32_t reader) {
  SCPkcs15Card* p15 = reader < m_readerCount && m_pkcs15Cards != nullptr ? m_pkcs15Cards[reader] : nullptr;
  SCCard* card = m_readers[reader] != nullptr ? m_readers[reader]->GetCard() : nullptr;
  if (p15 == nullptr || card == nullptr) return false;
  SCFileHeaderList refs;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &refs, 0);
  const uint8_t puk = refs.GetRef(SC_REFIDX_SO_PUK);
  for (int32_t i = 0; puk < 0x80 && i < p15->GetApplicationCount(); ++i) {
    std::vector<std::pair<SCPath, uint8_t>> named;
    if (p15->GetApplicationAt(static_cast<uint32_t>(i))->GetNamedPins(&named) < 0) continue;
    for (const auto& pin : named)
      if (pin.second == puk && pin.first.IsMasterFile()) return true;
  }
  return false;
}

CK_RV SCPkcs15Lib::PrepareErasure(uint32_t reader, int count, const char* soPin, long soPinLen) {
  SCPkcs15Card* p15 = nullptr;
  SCCard* card = nullptr;
  const CK_RV ck = CheckCardForTokens(reader, &p15, &card);
  if (ck != CKR_OK || card->GetCardType() != SC_CARD_TYPE_CLASSIC) return ck;
  std::vector<std::pair<SCPath, uint8_t>> named;
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    const SCRESULT r = p15->GetApplicationAt(static_cast<uint32_t>(i))->GetNamedPins(&named);
    if (r < 0) return MapScErrorToCkr(r, false);
  }
  SCFileHeaderList first;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(SC_CARD_TYPE_CLASSIC), &first, 0);
  std::vector<uint8_t> refs;
  for (int token = -1; token < std::max(count, 5); ++token) {
    SCFileHeaderList layout;
    SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(SC_CARD_TYPE_CLASSIC), &layout, token);
    for (uint8_t ref : {layout.GetUserPinRef(), layout.GetUserPukRef()}) {
      const bool own = std::any_of(named.begin(), named.end(), [ref](const auto& p) {
        return p.second == ref && p.first.IsMasterFile();
      });
      if (ref == 0 || ref >= 0x80 || own || ref == first.GetSoPinRef() || ref == first.GetRef(SC_REFIDX_SO_PUK) ||
          Holds(refs, ref))
        continue;
      refs.push_back(ref);
    }
  }
  InitSecret pin;
  if (soPin != nullptr && !pin.Set(soPin, soPinLen < 0 ? std::strlen(soPin) : static_cast<size_t>(soPinLen)))
    return CKR_HOST_MEMORY;
  SCTransactGuard guard(card);
  const uint8_t soRef = first.GetSoPinRef();
  // Every token's DF must be the SO's to delete, or the erasure would stop half way.
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPath df;
    SCValueSet by;
    SCRESULT d = p15->GetApplicationAt(static_cast<uint32_t>(i))->BuildAbsolutePath(&df);
    if (d >= 0) d = SCPkcs15PathObjectInfo::IsOpenToAnyone(card, df, &by);
    if (d == SC_E_FILE_NOT_FOUND || (d >= 0 && SoMeets(by, soRef)))
      continue;
    if (d >= 0) Log(SC_E_ACCESS_DENIED, "%s: the SO PIN may not delete the DF of a token of the card: no token erased",
                    card->GetCardName());
    return d < 0 ? MapScErrorToCkr(d, false) : CKR_FUNCTION_FAILED;
  }
  // In the master file (selected with the SO PIN's verification): global references are its PINs.
  SCRESULT r = pin.IsSet() ? VerifySoPinAgain(card, soRef, pin.Get(), pin.Length()) : card->SelectMf(nullptr);
  for (uint8_t ref : refs) {
    if (r < 0) break;
    const SCRESULT stands = ScPinPresence(card->VerifyPin(ref, nullptr, SC_UNSET));
    if (stands <= 0) {
      r = stands;
      continue;
    }
    r = card->DeleteObject(ref, SC_KEYOBJ_PIN);
    Log(r, "%s: PIN %u in the master file is no token's: %s", card->GetCardName(), static_cast<unsigned>(ref),
        r < 0 ? "the card did not delete it, no token erased" : "deleted before the tokens are erased");
  }
  return r < 0 ? MapScErrorToCkr(r, false) : CKR_OK;
}

uint8_t SCPkcs15Lib::BlankCardSoRef(SCCard* card, CK_SLOT_ID first) {
  switch (card != nullptr ? card->GetCardType() : SC_CARD_TYPE_GENERIC) {
    case SC_CARD_TYPE_COSMOPOLIC:
    case SC_CARD_TYPE_IAS:
      return 4;
    case SC_CARD_TYPE_SETCOS441: {
      const uint32_t code = GetCardModelCode(first, false);
      return code < 0xFF ? static_cast<uint8_t>(code) : 0xFF;
    }
    default:
      return 0xFF;  // none: the first token's SO PIN is made by its initialisation
  }
}
