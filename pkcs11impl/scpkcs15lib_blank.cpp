// A card that holds no token yet, taken over by its first token: the PINs and
// the EF.DIR that anyone may have made in its master file are not the token's.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/randomtext.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_cardrules.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"

namespace {

bool Holds(const std::vector<uint8_t>& refs, uint8_t ref) { return std::find(refs.begin(), refs.end(), ref) != refs.end(); }

// Where the first token of a card is made, whatever EF.DIR says.
const uint16_t kTokenPlace[2] = {SC_FID_MF, 0x5015};

bool NamesPkcs15(const SCFileHeader* header) {
  size_t len = 0;
  const uint8_t* name = header != nullptr ? header->GetDfName(&len) : nullptr;
  return header != nullptr && header->IsDf() && name != nullptr && len == 12 &&
         std::memcmp(name, ASNPkcs15DIRRecord::kPkcs15Aid, len) == 0;
}

bool Listed(const std::vector<SCPath>& paths, const SCPath& p) {
  return std::any_of(paths.begin(), paths.end(), [&](const SCPath& q) { return q.IsEqual(p); });
}

// Whether `df` lies in one of `dfs` (or is one).
bool Inside(const std::vector<SCPath>& dfs, const SCPath& df) {
  size_t rest = 0;
  return std::any_of(dfs.begin(), dfs.end(), [&](const SCPath& p) {
    return SCPath::StripPrefix(df.Ids(), df.Count(), p.Ids(), p.Count(), &rest) != nullptr;
  });
}

// 1 where the DF `df` stands and is not anyone's to change, 0 where it is or none stands, or a failure.
SCRESULT StandsAsOwners(SCCardRules* rules, const SCPath& df) {
  const SCRESULT r = rules->Planted(df);
  return r == SC_E_FILE_NOT_FOUND || r == 1 ? 0 : r < 0 ? r : 1;
}

// A PIN value the call draws (digits, at least `minLen` and 8 long) for a PIN
// it makes only for its own deletions: no one, the SO neither, knows it.
SCRESULT DrawPinValue(uint32_t minLen, std::vector<uint8_t>* value) {
  value->assign(std::max<uint32_t>(minLen, 8), 0);
  if (SoftwareRandomOctets(value->data(), static_cast<uint32_t>(value->size()), 0) != CKR_OK) return SC_E_NO_MEMORY;
  for (uint8_t& c : *value) c = static_cast<uint8_t>('0' + c % 10);
  return 0;
}

// Whether anyone may delete the master file's PIN `ref`: a DELETE with no PIN
// verified (one seen verified before is forgotten first) that the card carries
// out. 1 it went, 0 the card refused (none stands, or it stays).
SCRESULT DeleteAnyonesPin(SCCard* card, uint8_t ref) {
  SCRESULT r = card->SelectMf(nullptr);
  SCValueSet verified;
  card->GetVerifiedPins(&verified);
  if (r >= 0 && verified.Contains(static_cast<uint16_t>(SC_AC_PIN | ref))) r = card->ResetPinState(ref);
  if (r >= 0) r = card->DeleteObject(ref, SC_KEYOBJ_PIN);
  if (r >= 0) return 1;
  return scIsStatusWordResult(r) ? 0 : r;
}

// The global PIN the delete rule of the file at `path` names (the first such), as
// the call judged its header; 0xFF where it names none.
uint8_t DeletionPin(SCCardRules* rules, const SCPath& path) {
  const SCFileHeader* header = nullptr;
  SCAccessRequest del;
  del.operation = SC_AC_OP_DELETE_SELF;
  if (rules->Header(path, &header) < 0 || header == nullptr || !header->HasAccessRules() ||
      header->GetAccessRefs(&del, nullptr) < 0)
    return 0xFF;
  for (int32_t i = 0; i < del.refs.Count(); ++i)
    if ((del.refs.At(i) & 0xC000) == SC_AC_PIN && (del.refs.At(i) & 0xFF) < 0x80 && del.refs.At(i) != SC_AC_NEVER)
      return static_cast<uint8_t>(del.refs.At(i) & 0xFF);
  return 0xFF;
}

}  // namespace

BlankCard::BlankCard(const SCPkcs15Lib* lib, SCCard* card, SCPkcs15CardDir* dir, const SCFileHeaderList& layout,
                     uint8_t keptSo, bool first, SCCardRules* rules)
    : m_lib(lib), m_card(card), m_dir(dir), m_keptSo(keptSo), m_own(card),
      m_rules(rules != nullptr && rules->Card() == card ? rules : &m_own) {
  std::vector<uint8_t> refs;
  for (int idx : {SC_REFIDX_SO_PIN, SC_REFIDX_SO_PUK, SC_REFIDX_USER_PIN, SC_REFIDX_USER_PUK})
    if ((first || idx == SC_REFIDX_USER_PIN || idx == SC_REFIDX_USER_PUK) && layout.GetRef(idx) != keptSo)
      refs.push_back(layout.GetRef(idx));
  SCTransactGuard guard(card);
  // The SO PIN the blank card came with is verified before the first deletion, and
  // after the first token the SO PIN is the one this call made: their rules are the SO's.
  if (keptSo < 0xFF) m_rules->Trust(keptSo);
  if (!first && layout.GetSoPinRef() < 0xFF) m_rules->Trust(layout.GetSoPinRef());
  m_failure = card->SelectMf(nullptr);
  for (uint8_t ref : refs) {
    if (m_failure < 0) return;
    // A local PIN is made in the token's new DF; one at its reference in the master
    // file (asked from there, where the card finds the master file's own) is anyone's.
    if (ref == 0 || ref == 0xFF || Holds(m_asked, ref)) continue;
    m_asked.push_back(ref);
    const SCRESULT state = ScPinPresence(card->VerifyPin(ref, nullptr, SC_UNSET));
    // The SO PIN, which may guard the others, goes last.
    if (state == 1) m_found.insert(ref == refs.front() ? m_found.end() : m_found.begin(), ref);
    if (state < 0) m_failure = state;
  }
  if (m_failure < 0) return;
  // What the call deletes as anyone's guards nothing.
  for (uint8_t ref : m_found) m_rules->Going(ref);
  // EF.DIR is judged by the header the card shows, whatever its reading gave: one
  // that anyone may change or could have made as they liked, or that not everyone
  // may read (the token could not be found), is made anew under the SO's rules.
  SCPath path;
  if (!dir->GetFullPathInto(path)) {
    m_failure = SC_E_NO_MEMORY;
    return;
  }
  SCRESULT open = m_rules->Open(path);
  if (open == 0) {
    const SCFileHeader* header = nullptr;
    SCAccessRequest read;
    read.operation = SC_AC_OP_READ;
    open = m_rules->Header(path, &header);
    if (open >= 0 && header != nullptr && header->GetAccessRefs(&read, nullptr) >= 0 && !read.refs.Contains(SC_AC_ALWAYS))
      open = 1;
  }
  if (open == SC_E_FILE_NOT_FOUND) return;
  if (open < 0) m_failure = open;
  m_dirOpen = open == 1;
  // Its records name no token; those of a planted structure go when its applications are forgotten.
  // Another kind's application whose DF stands and is not anyone's keeps its record in the one made anew.
  if (m_dirOpen && first && dir->GetApplication() == nullptr)
    m_failure = dir->ClearKeepingOthers([this](const SCPath& df) { return StandsAsOwners(m_rules, df); });
}

void BlankCard::RemoveDfs(const std::vector<SCPath>& dfs, uint8_t soRef) {
  if (soRef < 0xFF) m_rules->Trust(soRef);
  for (const SCPath& df : dfs) {
    if (m_failure < 0) return;
    // A DF this call was given to delete stood when it was judged: only its deletion says it is gone.
    const SCRESULT may = m_rules->SoMay(df, SC_AC_OP_DELETE_SELF, soRef);
    if (may < 0 && may != SC_E_FILE_NOT_FOUND) {
      m_failure = may;
      return;
    }
    if (may == 0) {
      m_lib->Log(SC_E_ACCESS_DENIED, "%s: a DF anyone may change holds a PKCS#15 application the SO may not delete: "
                 "nothing changed", m_card->GetCardName());
      m_failure = SC_E_ACCESS_DENIED;
      return;
    }
    if (!Listed(m_dfs, df)) m_dfs.push_back(df);
  }
}

bool BlankCard::Absent(uint8_t ref) const {
  return m_failure >= 0 && Holds(m_asked, ref) && !Holds(m_found, ref);
}

SCRESULT BlankCard::Clear(uint8_t soRef, const char* soPin, size_t len, uint32_t minLen) {
  if (m_failure < 0) return m_failure;
  SCTransactGuard guard(m_card);
  // A deletion the card refuses is asked again once the PIN its rule names (the
  // SO PIN where the card shows none) is verified: the SO's with the SO's value,
  // where the card's model puts it. Where none stands there (an SO PUK that a cut
  // left without the SO PIN guarding it, a file planted under a PIN that anyone
  // may make), one is made for the deletions and goes again after them: at the
  // SO's reference the SO PIN the call makes anyway, elsewhere one with a value
  // the call draws and forgets, which anyone may delete (one a cut left before
  // the file went goes at the next call: DropDeletionPins). Another PIN that stands is
  // someone's: it is sent nothing, and the deletion fails.
  std::vector<uint8_t> made;
  std::vector<std::vector<uint8_t>> drawn;
  const auto wipe = [&] {
    for (auto& value : drawn) std::fill(value.begin(), value.end(), 0);
    drawn.clear();
  };
  const auto again = [&](uint8_t ref) -> SCRESULT {
    const bool so = ref == soRef || ref == m_keptSo;
    if (so && soPin == nullptr) return SC_E_ACCESS_DENIED;
    const auto at = std::find(made.begin(), made.end(), ref);
    SCRESULT v = m_card->SelectMf(nullptr);
    if (v < 0 || so) {
      if (v >= 0) v = VerifySoPinAgain(m_card, ref, soPin, len);
      if (v != SC_E_NO_REFERENCED_DATA || at != made.end()) return v;
    } else if (at != made.end()) {
      const std::vector<uint8_t>& value = drawn[static_cast<size_t>(at - made.begin())];
      return m_card->VerifyPin(ref, value.data(), static_cast<uint32_t>(value.size()));
    } else {
      v = ScPinPresence(m_card->VerifyPin(ref, nullptr, SC_UNSET));
      if (v == 1)
        m_lib->Log(SC_E_ACCESS_DENIED, "%s: PIN %02X, not the SO's, guards a file that anyone may change: sent nothing",
                   m_card->GetCardName(), static_cast<unsigned>(ref));
      if (v != 0) return v == 1 ? SC_E_ACCESS_DENIED : v;
    }
    std::vector<uint8_t> value;
    v = 0;
    if (so) {
      value = SoPinForCard(m_card, soPin, len);
    } else {
      v = DrawPinValue(minLen, &value);
      if (v >= 0) value = SoPinForCard(m_card, reinterpret_cast<const char*>(value.data()), value.size());
    }
    SCPinParams record;
    record.minLen = minLen;
    record.maxLen = static_cast<uint32_t>(value.size());
    // One whose value no one knows is no one's: anyone may delete it, so one a cut left goes at the next call.
    if (!so) record.flags |= SC_PINREC_ANYONE_DELETES;
    if (v >= 0) v = m_card->CreatePin(ref, &record, value.data(), static_cast<uint32_t>(value.size()), 0);
    if (v >= 0) {
      made.push_back(ref);
      drawn.push_back(so ? std::vector<uint8_t>() : value);
      v = m_card->VerifyPin(ref, value.data(), static_cast<uint32_t>(value.size()));
    }
    std::fill(value.begin(), value.end(), 0);
    return v;
  };
  // The global PIN a file's delete rule names, else the SO PIN.
  const auto guardOf = [&](const SCPath& path) {
    const uint8_t ref = DeletionPin(m_rules, path);
    return ref != 0xFF ? ref : soRef;
  };
  // One deletion in the master file, asked again under the PIN `ref` where refused.
  const auto remove = [&](const std::function<SCRESULT()>& deletion, uint8_t ref) {
    SCRESULT r = deletion();
    if (r == SC_E_ACCESS_DENIED && again(ref) >= 0) r = deletion();
    return r;
  };
  // The PINs made for the deletions go again, also after a failure: the call made them.
  const auto drop = [&](SCRESULT result) {
    for (auto ref = made.rbegin(); ref != made.rend(); ++ref) {
      SCRESULT r = m_card->SelectMf(nullptr);
      if (r >= 0) r = m_card->DeleteObject(*ref, SC_KEYOBJ_PIN);
      m_lib->Log(r, "%s: PIN %02X made for the deletions on a card that holds no token%s", m_card->GetCardName(),
                 static_cast<unsigned>(*ref), r < 0 ? ", and the card did not delete it again" : ", deleted again");
      if (r < 0 && result >= 0) result = r;
    }
    made.clear();
    wipe();
    return result;
  };
  SCRESULT gone = 0;
  for (const SCPath& df : m_dfs) {
    // With what it holds: every model initialised here deletes a DF whole.
    const auto whole = [&] {
      const SCPath parent(df.Ids(), df.Count() - 1);
      const SCRESULT s = m_card->SelectPathThunk(parent.Ids(), parent.Count(), 0);
      return s < 0 ? s : m_card->DeleteFileById(df[df.Count() - 1], parent);
    };
    const SCRESULT r = remove(whole, guardOf(df));
    if (r < 0) {
      m_lib->Log(r, "%s: a DF that anyone may change holds a PKCS#15 application, and the card did not delete it",
                 m_card->GetCardName());
      return drop(r);
    }
    m_lib->Log(SC_OK, "%s: a DF that anyone may change held a PKCS#15 application: deleted", m_card->GetCardName());
    m_rules->Forget(df);
    ++gone;
  }
  m_dfs.clear();
  if (m_dirOpen) {
    // Gone only where the card deleted it and then holds none: a new one is made, never the planted one written.
    SCPath dir;
    SCRESULT r = m_dir->GetFullPathInto(dir) ? remove([this] { return m_dir->Delete(); }, guardOf(dir)) : SC_E_NO_MEMORY;
    if (r >= 0) {
      SCRESULT still = m_card->SelectPath(dir.Ids(), dir.Count(), nullptr);
      if (still == SC_E_FILE_NOT_FOUND) still = m_card->SelectPath(dir.Ids(), dir.Count(), nullptr);
      r = still == SC_E_FILE_NOT_FOUND ? 0 : still < 0 ? still : SC_E_INVALID_DATA_FORMAT;
    }
    if (r < 0) {
      m_lib->Log(r, "%s: EF.DIR of a card that holds no token may be changed by others than the SO, and the card "
                 "did not delete it", m_card->GetCardName());
      return drop(r);
    }
    m_lib->Log(SC_OK, "%s: EF.DIR of a card that holds no token may be changed by others than the SO: made anew",
               m_card->GetCardName());
    m_dirOpen = false;
    m_rules->Forget(dir);
    ++gone;
  }
  // The PINs last: a DF or EF.DIR may name them in its rules.
  for (uint8_t ref : m_found) {
    const auto pin = [&] {
      const SCRESULT s = m_card->SelectMf(nullptr);
      return s < 0 ? s : m_card->DeleteObject(ref, SC_KEYOBJ_PIN);
    };
    // It stood a moment ago: only its deletion says it is gone.
    const SCRESULT r = remove(pin, soRef);
    if (r < 0) {
      m_lib->Log(r, "%s: PIN %02X in the master file of a card that holds no token is not this module's, and the card "
                 "did not delete it", m_card->GetCardName(), static_cast<unsigned>(ref));
      return drop(r);
    }
    m_lib->Log(SC_OK, "%s: PIN %02X in the master file of a card that holds no token is not this module's: deleted",
               m_card->GetCardName(), static_cast<unsigned>(ref));
    ++gone;
  }
  m_found.clear();
  return drop(gone);
}


SCRESULT FindPkcs15Dfs(SCCard* card, SCCardRules* rules, std::vector<SCPath>* found) {
  // The identifiers first: each selection by name goes on from the last one.
  std::vector<uint16_t> fids;
  SCRESULT r = card->SelectMf(nullptr);
  if (r < 0) return r;
  for (uint32_t occurrence = 0;; occurrence = 2) {
    SCFileHeader* header = nullptr;
    r = card->SelectByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12, occurrence, &header);
    std::unique_ptr<SCFileHeader> owned(header);
    // Only the card's "no such file", said twice, ends the search; any other answer fails it.
    if (r == SC_E_FILE_NOT_FOUND) {
      header = nullptr;
      r = card->SelectByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12, occurrence, &header);
      owned.reset(header);
    }
    if (r == SC_E_FILE_NOT_FOUND) break;
    if (r < 0) return r;
    if (!owned || !owned->HasFileId() || std::find(fids.begin(), fids.end(), owned->GetFileId()) != fids.end()) break;
    fids.push_back(owned->GetFileId());
  }
  // A DF found by name is acted on only where it stands with that name in the
  // master file; one found deeper is not placed, and left.
  for (uint16_t fid : fids) {
    const uint16_t ids[2] = {SC_FID_MF, fid};
    const SCPath df(ids, 2);
    const SCFileHeader* header = nullptr;
    r = rules->Header(df, &header);
    if (r == SC_E_FILE_NOT_FOUND) continue;
    if (r < 0) return r;
    if (NamesPkcs15(header) && !Listed(*found, df)) found->push_back(df);
  }
  return 0;
}

SCRESULT SCPkcs15Lib::DropDeletionPins(CK_SLOT_ID slot, SCCard* card, SCCardRules* rules,
                                        const std::vector<SCPath>& paths) {
  SCFileHeaderList layout;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout, 0);
  std::vector<uint8_t> asked;
  for (const SCPath& path : paths) {
    // The PIN its deletion would be asked under (BlankCard::Clear); the header is
    // the one every later judgement of the call keeps.
    const uint8_t ref = DeletionPin(rules, path);
    if (ref == 0 || ref == 0xFF || Holds(asked, ref) || ref == layout.GetSoPinRef() ||
        ref == BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1)))
      continue;
    // Only where the file is anyone's by its header, or would be were that PIN
    // gone (anyone may make one in the master file).
    static const uint16_t kMf = SC_FID_MF;
    SCRESULT r = rules->AnyoneMay(SCPath(&kMf, 1), SC_AC_OP_CREATE_EF);
    if (r == 0) r = rules->Planted(path);
    if (r < 0) return r;
    if (r != 1) continue;
    asked.push_back(ref);
    r = DeleteAnyonesPin(card, ref);
    if (r < 0) return r;
    if (r == 1) {
      rules->Going(ref);
      Log(SC_OK, "%s: PIN %02X, which the delete rule of %s names, anyone could delete: deleted", card->GetCardName(),
          static_cast<unsigned>(ref), path.Text().c_str());
    }
  }
  return 0;
}

uint8_t SCPkcs15Lib::TrustSoPin(CK_SLOT_ID slot, SCCard* card, const char* soPin, size_t len, SCCardRules* rules,
                                SCRESULT* failure) {
  *failure = 0;
  if (soPin == nullptr) return 0xFF;
  // The SO PIN the road verifies: where the card's model puts it, the one its
  // tokens take, else the one a blank card of the model comes with; the first of
  // them that stands. What a token's PIN directory names counts only on a model
  // that puts none: anyone may have written that directory.
  SCFileHeaderList layout;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout, 0);
  const uint8_t model = layout.GetSoPinRef();
  // The one a blank card comes with stands: "no such PIN" there is the card's failure.
  const uint8_t kept = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  std::vector<uint8_t> refs;
  for (uint8_t ref : {model, kept})
    if (ref != 0 && ref < 0x80 && !Holds(refs, ref)) refs.push_back(ref);
  SCPkcs15App* app = GetSlotApp(slot);
  ASNPkcs15AuthObject* so = nullptr;
  if (refs.empty() && app != nullptr && app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr &&
      SCPkcs15App::GetPinReference(so) < 0x80 && SCPkcs15App::GetPinReference(so) != 0)
    refs.push_back(SCPkcs15App::GetPinReference(so));
  // Before any VERIFY of the call: a PIN at the tokens' SO reference that anyone
  // may delete is no one's SO PIN. It goes, and the card is taken as one without it.
  if (model != kept && Holds(refs, model)) {
    const SCRESULT dropped = DeleteAnyonesPin(card, model);
    if (dropped < 0) {
      *failure = dropped;
      return 0xFF;
    }
    if (dropped == 1)
      Log(SC_OK, "%s: PIN %02X stood where the SO PIN goes and anyone could delete it: deleted", card->GetCardName(),
          static_cast<unsigned>(model));
  }
  uint8_t ref = 0xFF;
  for (uint8_t candidate : refs) {
    SCRESULT v = VerifySoPinAgain(card, candidate, soPin, len);
    // One "no such PIN" is believed only where a second look agrees.
    if (v == SC_E_NO_REFERENCED_DATA) {
      const SCRESULT again = card->VerifyPin(candidate, nullptr, SC_UNSET);
      if (again != SC_E_NO_REFERENCED_DATA) {
        Log(SC_E_INVALID_DATA_FORMAT, "%s: the card said no PIN %02X stands, then that one does: nothing changed",
            card->GetCardName(), static_cast<unsigned>(candidate));
        *failure = again < 0 ? again : SC_E_INVALID_DATA_FORMAT;
        return 0xFF;
      }
    }
    // None stands there, or one that is no one's (blocked, without value): the
    // next one. Any other refusal fails the call: the SO's value goes to no other
    // PIN, and to none twice.
    const SCRESULT presence = ScPinPresence(v);
    if (v < 0 && candidate != kept && v != SC_E_VERIFY_FAILED && presence >= 0) continue;
    if (v < 0) {
      *failure = v;
      return 0xFF;
    }
    ref = candidate;
    break;
  }
  // None stands: the call makes it, and nothing it guards now is the SO's.
  if (ref == 0xFF) return ref;
  rules->Trust(ref);
  return ref;
}

SCRESULT SCPkcs15Lib::GroundFor(CK_SLOT_ID slot, const char* soPin, size_t soLen, InitGround* ground,
                                std::vector<SCPath>* planted, uint8_t* verifiedSo, SCCardRules* callRules) {
  *ground = InitGround::kAsRead;
  if (verifiedSo != nullptr) *verifiedSo = 0xFF;
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  SCReader* reader = GetSlotReader(slot);
  SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  if (p15 == nullptr || card == nullptr) return 0;
  SCTransactGuard guard(card);
  SCCardRules own(card);
  SCCardRules& rules = callRules != nullptr && callRules->Card() == card ? *callRules : own;
  SCPath dir;
  if (!p15->GetCardDir().GetFullPathInto(dir)) return SC_E_NO_MEMORY;
  // EF.DIR, each application DF it names and the DFs carrying the PKCS#15 name,
  // selected before any VERIFY: a PIN a cut call made for their deletion goes first.
  std::vector<SCPath> dfs;
  std::vector<SCRESULT> open;
  const SCFileHeader* seen = nullptr;
  SCRESULT r = rules.Header(dir, &seen);
  if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPath df;
    r = p15->GetApplicationAt(static_cast<uint32_t>(i))->BuildAbsolutePath(&df);
    if (r >= 0) r = rules.Header(df, &seen);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    dfs.push_back(df);
    open.push_back(r);
  }
  std::vector<SCPath> named;
  r = FindPkcs15Dfs(card, &rules, &named);
  if (r < 0) return r;
  std::vector<SCPath> guarded = named;
  guarded.insert(guarded.begin(), dfs.begin(), dfs.end());
  guarded.insert(guarded.begin(), dir);
  r = DropDeletionPins(slot, card, &rules, guarded);
  if (r < 0) return r;
  const uint8_t soRef = TrustSoPin(slot, card, soPin, soLen, &rules, &r);
  if (r < 0) return r;
  const SCRESULT dirPlanted = rules.Planted(dir);
  if (dirPlanted < 0 && dirPlanted != SC_E_FILE_NOT_FOUND) return dirPlanted;
  // Each application DF: whether anyone may change it (SC_E_FILE_NOT_FOUND: none stands).
  for (size_t i = 0; i < dfs.size(); ++i) {
    r = open[i] >= 0 ? rules.Planted(dfs[i]) : open[i];
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    open[i] = r;
  }
  // The DFs carrying the PKCS#15 name: a planted one goes on every road.
  std::vector<SCPath> gone;
  for (size_t i = 0; i < open.size(); ++i)
    if (open[i] == 1 && !Listed(gone, dfs[i])) gone.push_back(dfs[i]);
  for (const SCPath& df : named) {
    r = Listed(gone, df) ? 0 : rules.Planted(df);
    if (r < 0) return r;
    if (r == 1) gone.push_back(df);
  }
  // Without EF.DIR the applications are those found by name: where none of them
  // is something only its owners could have made, the card holds nothing anyone
  // could not have written. So too where every application DF EF.DIR names is
  // planted or stands nowhere, some planted.
  bool unowned = dirPlanted == SC_E_FILE_NOT_FOUND && !open.empty();
  for (size_t i = 0; unowned && i < open.size(); ++i) {
    r = open[i] == 1 ? 1 : rules.Open(dfs[i]);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    unowned = r == 1;
  }
  const bool none = unowned ||
                    (std::any_of(open.begin(), open.end(), [](SCRESULT o) { return o == 1; }) &&
                     std::all_of(open.begin(), open.end(), [](SCRESULT o) { return o != 0; }));
  // A card that shows no token whose EF.DIR not everyone may read (it hides what
  // it names), or where a DF of the PKCS#15 name that anyone may change or could
  // have made stands at the first token's place: no token this call can keep
  // beside the new one, which goes there.
  const SCPath place(kTokenPlace, 2);
  const SCFileHeader* header = nullptr;
  bool takePlace = false;
  if (dirPlanted != 1 && !none && p15->GetApplicationCount() == 0 &&
      slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1) == 0) {
    SCRESULT hidden = rules.Header(dir, &header);
    SCAccessRequest read;
    read.operation = SC_AC_OP_READ;
    if (hidden < 0 && hidden != SC_E_FILE_NOT_FOUND) return hidden;
    hidden = hidden == 0 && header != nullptr && header->GetAccessRefs(&read, nullptr) >= 0 &&
             !read.refs.Contains(SC_AC_ALWAYS);
    // The search by name found every DF of the PKCS#15 name that stands there.
    r = hidden == 0 && !Listed(named, place) ? SC_E_FILE_NOT_FOUND : rules.Header(place, &header);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (hidden == 0 && r >= 0 && NamesPkcs15(header)) hidden = rules.Open(place);
    if (hidden < 0) return hidden;
    takePlace = hidden == 1;
  }
  if (dirPlanted == 1 || none || takePlace) {
    *ground = InitGround::kCardPlanted;
    Log(SC_OK, "%s: %s: the card is initialised as one that holds no token", card->GetCardName(),
        dirPlanted == 1 ? "EF.DIR anyone may change"
        : none          ? "every PKCS#15 application DF that stands anyone may change"
                        : "no token is read, and EF.DIR hides it or the DF where it goes is anyone's");
    // An application DF the SO guards where the reader's first token goes is that
    // token's, whatever a planted EF.DIR says: it goes, and the token takes its place.
    r = rules.Header(place, &header);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (r >= 0 && NamesPkcs15(header) && !Listed(gone, place)) {
      // Only the reader's first token goes there, and never with a qualified part.
      SCPkcs15App* at = nullptr;
      for (int32_t i = 0; i < p15->GetApplicationCount() && at == nullptr; ++i)
        if (dfs[static_cast<size_t>(i)].IsEqual(place)) at = p15->GetApplicationAt(static_cast<uint32_t>(i));
      CK_FLAGS qualified = 0;
      if (slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1) != 0 ||
          (at != nullptr && card->GetCardType() != SC_CARD_TYPE_IAS &&
           (GetQualifiedPartCharacteristics(at, &qualified, false) != CKR_OK || qualified != 0))) {
        Log(SC_E_ACCESS_DENIED, "%s: the SO's DF of the card's first token stands, not this token's to take: nothing "
            "changed", card->GetCardName());
        return SC_E_ACCESS_DENIED;
      }
      Log(SC_OK, "%s: the DF of the card's first token stands, the SO's: initialised anew in its place",
          card->GetCardName());
      gone.push_back(place);
    }
  } else {
    // The token relies on EF.DIR: one anyone could have made or may change is not
    // made anew on a road that keeps the card's tokens, so the call ends here.
    if (dirPlanted == 0 && p15->GetApplicationCount() > 0) {
      r = rules.Open(dir);
      if (r < 0) return r;
      if (r == 1) {
        Log(SC_E_ACCESS_DENIED, "%s: EF.DIR, which the card's tokens rely on, anyone could have made or may change: "
            "nothing changed", card->GetCardName());
        return SC_E_ACCESS_DENIED;
      }
    }
    const int32_t index = p15->IndexOfApplication(GetSlotApp(slot));
    // The token relies on its DF: one anyone may create in or could have made is built anew too.
    const bool known = index >= 0 && static_cast<size_t>(index) < open.size();
    SCRESULT own = known ? open[static_cast<size_t>(index)] : 0;
    if (known && own == 0) own = rules.Open(dfs[static_cast<size_t>(index)]);
    if (own < 0 && own != SC_E_FILE_NOT_FOUND) return own;
    if (own == 1) {
      *ground = InitGround::kSlotPlanted;
      Log(SC_OK, "%s: the DF of slot %lu's token may be changed by anyone: the token is built anew in place",
          card->GetCardName(), static_cast<unsigned long>(slot));
      // Built anew where it stands, not deleted with the others.
      gone.erase(std::remove_if(gone.begin(), gone.end(), [&](const SCPath& p) { return p.IsEqual(dfs[static_cast<size_t>(index)]); }),
                 gone.end());
    }
  }
  // Every planted DF the call deletes must be the SO's (or anyone's) to delete:
  // else the call fails before its first deletion.
  for (const SCPath& df : gone) {
    r = rules.SoMay(df, SC_AC_OP_DELETE_SELF, soRef);
    if (r < 0) return r;
    if (r == 0) {
      Log(SC_E_ACCESS_DENIED, "%s: the SO may not delete DF %s, which anyone may change or which holds the token's "
          "place: nothing changed", card->GetCardName(), df.Text().c_str());
      return SC_E_ACCESS_DENIED;
    }
  }
  if (planted != nullptr) *planted = gone;
  if (verifiedSo != nullptr) *verifiedSo = soRef;
  return 0;
}

SCRESULT SCPkcs15Lib::RemovePlanted(uint32_t reader, const std::vector<SCPath>& planted, uint8_t soRef,
                                    const char* soPin, size_t len, SCCardRules* rules) {
  SCPkcs15Card* p15 = nullptr;
  SCCard* card = nullptr;
  if (planted.empty() || CheckCardForTokens(reader, &p15, &card) != CKR_OK) return 0;
  SCTransactGuard guard(card);
  InitWriteGuard writing(card);
  if (soRef < 0xFF && soPin != nullptr) InitWriteGuard::SoVerified(card, soRef, soPin, len);
  // A refusal is asked again once the SO PIN is verified again.
  const auto underSo = [&](const std::function<SCRESULT()>& step) {
    SCRESULT r = step();
    if (r == SC_E_ACCESS_DENIED && soPin != nullptr && VerifySoPinAgain(card, soRef, soPin, len) >= 0) r = step();
    return r;
  };
  // What EF.DIR named there is no token's, and EF.DIR names none of them before the
  // first goes: a cut leaves no record naming a DF that is gone.
  for (const SCPath& df : planted) {
    for (int32_t i = p15->GetApplicationCount() - 1; i >= 0; --i) {
      SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
      SCPath at;
      size_t rest = 0;
      if (app == nullptr || app->BuildAbsolutePath(&at) < 0 ||
          SCPath::StripPrefix(at.Ids(), at.Count(), df.Ids(), df.Count(), &rest) == nullptr)
        continue;
      for (CK_SLOT_ID s = 0; s < m_slotCount; ++s)
        if (m_pAppTable[s] == app) m_pAppTable[s] = nullptr;
      p15->DiscardApplication(app, app->GetSourceDirRecord());
    }
  }
  SCRESULT r = underSo([&] { return p15->GetCardDir().Write(nullptr, 0, nullptr); });
  if (r < 0) return r;
  for (const SCPath& df : planted) {
    // With what it holds.
    const SCPath parent(df.Ids(), df.Count() - 1);
    r = underSo([&] {
      const SCRESULT s = card->SelectPathThunk(parent.Ids(), parent.Count(), 0);
      return s < 0 ? s : card->DeleteFileById(df[df.Count() - 1], parent);
    });
    Log(r, "%s: DF %s, which anyone may change, held a PKCS#15 application: %s", card->GetCardName(), df.Text().c_str(),
        r < 0 ? "the card did not delete it" : "deleted");
    if (r < 0) return r;
    if (rules != nullptr) rules->Forget(df);
  }
  return 0;
}

void SCPkcs15Lib::ForgetApplications(uint32_t reader, const std::vector<SCPath>& planted) {
  SCPkcs15Card* p15 = reader < m_readerCount && m_pkcs15Cards != nullptr ? m_pkcs15Cards[reader] : nullptr;
  if (p15 == nullptr) return;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t) m_pAppTable[first + t] = nullptr;
  // Another application whose DF stands with its name, not planted, keeps its record: it is no one's to lose.
  for (int32_t i = p15->GetApplicationCount() - 1; i >= 0; --i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    SCPath df;
    size_t rest = 0;
    const bool gone = app->BuildAbsolutePath(&df) < 0 || std::any_of(planted.begin(), planted.end(), [&](const SCPath& p) {
      return SCPath::StripPrefix(df.Ids(), df.Count(), p.Ids(), p.Count(), &rest) != nullptr;
    });
    if (gone || app->StandsAsApplication() != 1) p15->DiscardApplication(app, app->GetSourceDirRecord());
  }
  // Another kind's application keeps its record where its DF stands outside the planted ones, not anyone's.
  if (p15->GetApplicationCount() == 0) {
    SCCardRules rules(p15->GetCard());
    if (p15->GetCardDir().ClearKeepingOthers([&](const SCPath& df) {
          return Inside(planted, df) ? 0 : StandsAsOwners(&rules, df);
        }) < 0)
      p15->GetCardDir().ClearContents();
  }
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

CK_RV SCPkcs15Lib::PrepareErasure(uint32_t reader, const std::vector<int>& layouts, const char* soPin, long soPinLen) {
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
  // Only the references the new tokens take: a PIN elsewhere may guard the issuer's files.
  std::vector<uint8_t> refs;
  for (int token : layouts) {
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
  SCCardRules rules(card);
  rules.Trust(soRef);
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPath df;
    SCRESULT d = p15->GetApplicationAt(static_cast<uint32_t>(i))->BuildAbsolutePath(&df);
    if (d >= 0) d = rules.SoMay(df, SC_AC_OP_DELETE_SELF, soRef);
    if (d == 0)
      Log(SC_E_ACCESS_DENIED, "%s: the SO PIN may not delete the DF of a token of the card: no token erased",
          card->GetCardName());
    // Nor may another application's DF go with a token's.
    else if (d == 1) d = TokenDfMayGo(p15, p15->GetApplicationAt(static_cast<uint32_t>(i)), "no token erased");
    if (d == SC_E_FILE_NOT_FOUND || d == 1) continue;
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
    Log(r, "%s: PIN %02X in the master file is no token's: %s", card->GetCardName(), static_cast<unsigned>(ref),
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
