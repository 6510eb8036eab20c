// What an initialisation may take a card for, judged from what the card shows
// before the SO's value goes to it: the road (GroundFor), whose the PINs are where
// the call's tokens put theirs (WhosePins), and a card that holds no token yet,
// whose EF.DIR anyone may have made (BlankCard).
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// The global PIN the delete rule of the file at `path` names (the first such), as
// the call judged its header; 0xFF where it names none, 0 where anyone may delete
// it (the rule "always", or a state before activation, where no rule holds).
uint8_t DeletionPin(SCCardRules* rules, const SCPath& path) {
  const SCFileHeader* header = nullptr;
  SCAccessRequest del;
  del.operation = SC_AC_OP_DELETE_SELF;
  if (rules->Header(path, &header) < 0 || header == nullptr || !header->HasAccessRules() ||
      (header->HasLifeCycle() && header->GetLifeCycleByte() < 0x04) || header->GetAccessRefs(&del, nullptr) < 0 ||
      del.refs.Contains(SC_AC_ALWAYS))
    return 0;
  for (int32_t i = 0; i < del.refs.Count(); ++i)
    if ((del.refs.At(i) & 0xC000) == SC_AC_PIN && (del.refs.At(i) & 0xFF) < 0x80 && del.refs.At(i) != SC_AC_NEVER)
      return static_cast<uint8_t>(del.refs.At(i) & 0xFF);
  return 0xFF;
}

// "1A": a PIN reference as the trace names it.
std::string PinText(uint8_t ref) {
  static const char kDigits[] = "0123456789ABCDEF";
  return {kDigits[ref >> 4], kDigits[ref & 0x0F]};
}

// Where the rules that change the file at `path` name PINs that do not stand (anyone
// may make one and meet them): " (its rules name PIN 01, which does not stand ...)";
// empty where they name none.
std::string AbsentRulePins(SCCardRules* rules, const SCPath& path) {
  const SCFileHeader* header = nullptr;
  if (rules->Header(path, &header) < 0 || header == nullptr) return std::string();
  const SCPath df(path.Ids(), path.Count() > 1 ? path.Count() - 1 : path.Count());
  std::vector<uint8_t> seen, absent;
  for (uint32_t op : {SC_AC_OP_UPDATE, SC_AC_OP_DELETE_SELF}) {
    SCAccessRequest req;
    req.operation = op;
    if (header->GetAccessRefs(&req, nullptr) < 0) continue;
    for (int32_t i = 0; i < req.refs.Count(); ++i) {
      const uint16_t v = req.refs.At(i);
      const uint8_t ref = static_cast<uint8_t>(v & 0xFF);
      if ((v & 0xC000) != SC_AC_PIN || v == SC_AC_NEVER || Holds(seen, ref)) continue;
      seen.push_back(ref);
      if (rules->Stands(ref, ref < 0x80 ? SCPath() : df) == 0) absent.push_back(ref);
    }
  }
  std::string text;
  for (uint8_t ref : absent) text += (text.empty() ? "" : ", ") + PinText(ref);
  return absent.empty() ? std::string()
         : absent.size() == 1 ? " (its rules name PIN " + text + ", which does not stand: anyone may make it)"
                              : " (its rules name PINs " + text + ", which do not stand: anyone may make them)";
}

// What the rule of `op` on the file at `path` names, as the call judged its header:
// "PIN 03", "never", "key 01" (several joined by " or ").
std::string RuleText(SCCardRules* rules, const SCPath& path, uint32_t op) {
  const SCFileHeader* header = nullptr;
  SCAccessRequest req;
  req.operation = op;
  if (rules->Header(path, &header) < 0 || header == nullptr || header->GetAccessRefs(&req, nullptr) < 0) return "?";
  std::string text;
  for (int32_t i = 0; i < req.refs.Count(); ++i) {
    const uint16_t v = req.refs.At(i);
    const std::string one = v == SC_AC_NEVER                 ? std::string("never")
                            : (v & 0xC000) == SC_AC_PIN ? "PIN " + PinText(static_cast<uint8_t>(v & 0xFF))
                            : (v & 0xC000) == SC_AC_KEY ? "key " + PinText(static_cast<uint8_t>(v & 0xFF))
                                                        : PinText(static_cast<uint8_t>(v >> 8)) + PinText(static_cast<uint8_t>(v));
    text += (text.empty() ? "" : " or ") + one;
  }
  return text.empty() ? "?" : text;
}

// Whether EF.DIR of a card that holds no token is made anew (BlankCard): anyone may
// change it or could have made it as they liked, or not everyone may read it. 1, 0, or
// a failure (SC_E_FILE_NOT_FOUND where none stands).
SCRESULT DirMadeAnew(SCCardRules* rules, const SCPath& path) {
  SCRESULT open = rules->Open(path);
  if (open == 0) {
    const SCFileHeader* header = nullptr;
    SCAccessRequest read;
    read.operation = SC_AC_OP_READ;
    open = rules->Header(path, &header);
    if (open >= 0 && header != nullptr && header->GetAccessRefs(&read, nullptr) >= 0 && !read.refs.Contains(SC_AC_ALWAYS))
      open = 1;
  }
  return open;
}

const char kDirNotSos[] = " may be changed by others than the SO, and no PIN the SO holds may delete it";

// The master-file references of the user PINs and PUKs of every layout of the
// card's model (the named one too), each once; the card's SO PIN and PUK are not
// among them.
std::vector<uint8_t> LayoutUserPins(SCCard* card) {
  std::vector<uint8_t> refs;
  SCFileHeaderList first, layout;
  const int model = static_cast<int>(card->GetCardType());
  SCPkcs15App::GetProfileSecurityTemplate(model, &first, 0);
  for (int t = -1; SCPkcs15App::GetProfileSecurityTemplate(model, &layout, t) == 1; ++t)
    for (uint8_t ref : {layout.GetUserPinRef(), layout.GetUserPukRef()})
      if (ref != 0 && ref < 0x80 && ref != first.GetSoPinRef() && ref != first.GetRef(SC_REFIDX_SO_PUK) && !Holds(refs, ref))
        refs.push_back(ref);
  return refs;
}

}  // namespace

BlankCard::BlankCard(SCPkcs15Lib* lib, uint32_t reader, SCCard* card, SCPkcs15CardDir* dir, uint8_t keptSo,
                     uint8_t madeSo, bool first, SCCardRules* rules)
    : m_lib(lib), m_reader(reader), m_card(card), m_dir(dir), m_madeSo(madeSo), m_own(card),
      m_rules(rules != nullptr && rules->Card() == card ? rules : &m_own) {
  SCTransactGuard guard(card);
  // The SO PIN the call verified (the blank card's own, or the one this call made
  // for an earlier token): its rules are the SO's.
  if (keptSo < 0xFF) m_rules->Trust(keptSo);
  // EF.DIR is judged by the header the card shows, whatever its reading gave: one
  // that anyone may change or could have made as they liked, or that not everyone
  // may read (the token could not be found), is made anew under the SO's rules.
  SCPath path;
  if (!dir->GetFullPathInto(path)) {
    m_failure = SC_E_NO_MEMORY;
    return;
  }
  const SCRESULT open = DirMadeAnew(m_rules, path);
  if (open == SC_E_FILE_NOT_FOUND) return;
  if (open < 0) m_failure = open;
  m_dirOpen = open == 1;
  if (m_dirOpen && m_failure >= 0) m_failure = MayDelete(path);
  // Its records name no token; another kind's application keeps its record in the one made anew.
  if (m_dirOpen && first && m_failure >= 0 && dir->GetApplication() == nullptr) dir->ClearKeepingOthers();
}

// EF.DIR goes only under the SO PIN the call verified, or the one the token makes
// (a header with no life-cycle state, in which the card holds no rule yet).
SCRESULT BlankCard::MayDelete(const SCPath& path) {
  const uint8_t ref = DeletionPin(m_rules, path);
  if (ref == 0 || (ref < 0xFF && (m_rules->Trusted(ref, SCPath()) || ref == m_madeSo))) return 0;
  return m_lib->Refuse(m_reader, m_card, "EF.DIR " + path.Text() + kDirNotSos);
}

bool BlankCard::Absent(uint8_t ref) const {
  // Asked before the SO's value went (WhosePins, TrustSoPin): the answer kept.
  return m_failure >= 0 && ref != 0 && ref < 0x80 && m_rules->Stands(ref) == 0;
}

SCRESULT BlankCard::Clear() {
  if (m_failure < 0 || !m_dirOpen) return m_failure;
  SCTransactGuard guard(m_card);
  // Gone only where the card deleted it and then holds none: a new one is made, never the one found written.
  SCPath dir;
  SCRESULT r = m_dir->GetFullPathInto(dir) ? m_dir->Delete() : SC_E_NO_MEMORY;
  if (r >= 0) {
    SCRESULT still = m_card->SelectPath(dir.Ids(), dir.Count(), nullptr);
    if (still == SC_E_FILE_NOT_FOUND) still = m_card->SelectPath(dir.Ids(), dir.Count(), nullptr);
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
  m_rules->Forget(dir);
  return 1;
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

SCRESULT SCPkcs15Lib::SecondSoPin(SCCard* card, uint8_t ref, const char* soPin, size_t len, SCCardRules* rules) const {
  if (rules->Trusted(ref, SCPath())) return 0;
  // A value the card has not accepted in this call never spends a PIN's last try.
  const SCRESULT state = rules->State(ref);
  if (ScPinPresence(state) < 0) return state;
  if (state == SC_E_NO_REFERENCED_DATA || state == SC_E_PIN_BLOCKED || state == SC_E_PIN_NOT_INITIALIZED || state == 1) {
    Log(SC_E_VERIFY_FAILED, "%s: SO PIN %02X %s: the SO's value is not sent to it, nothing changed", card->GetCardName(),
        static_cast<unsigned>(ref), state == 1 ? "has one try left" : state == SC_E_NO_REFERENCED_DATA ? "does not stand"
                                                                                                         : "is blocked or has no value");
    return state == SC_E_PIN_BLOCKED ? state : SC_E_VERIFY_FAILED;
  }
  const SCRESULT v = VerifySoPinAgain(card, ref, soPin, len);
  if (v < 0) {
    Log(v, "%s: SO PIN %02X does not take the SO's value: nothing changed", card->GetCardName(),
        static_cast<unsigned>(ref));
    return v;
  }
  rules->Trust(ref);
  InitWriteGuard::SoVerified(card, ref, soPin, len);
  return 0;
}

uint8_t SCPkcs15Lib::DirSoPin(CK_SLOT_ID slot, SCCard* card, SCPkcs15Card* p15, uint8_t soRef) {
  const uint8_t kept = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  if (kept == soRef || kept == 0 || kept >= 0x80 || p15 == nullptr) return soRef;
  SCPkcs15CardDir& dir = p15->GetCardDir();
  return dir.CheckAccess(SC_AC_OP_UPDATE, static_cast<uint16_t>(0xC000 | soRef), false) == 0 &&
                 dir.CheckAccess(SC_AC_OP_UPDATE, static_cast<uint16_t>(0xC000 | kept), false) == 1
             ? kept
             : soRef;
}

uint8_t SCPkcs15Lib::UnfinishedSoRef(CK_SLOT_ID slot, SCCard* card) {
  SCFileHeaderList layout;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout, 0);
  const uint8_t tokensSo = layout.GetSoPinRef() != 0 && layout.GetSoPinRef() < 0x80 ? layout.GetSoPinRef() : 0xFF;
  const uint8_t blankSo = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  // The references the token's directory, or the copy kept beside EF.DIR, still give
  // (RepairToken builds with them): one of the model's SO PINs only.
  SCPkcs15App* app = GetSlotApp(slot);
  const uint8_t kept = app != nullptr ? app->GetHeaderList().GetSoPinRef() : 0xFF;
  return kept != 0 && kept < 0x80 && (kept == tokensSo || kept == blankSo) ? kept : tokensSo;
}

uint8_t SCPkcs15Lib::SoPinToVerify(CK_SLOT_ID slot, SCCard* card, InitGround ground, SCRESULT* failure) {
  *failure = 0;
  // Which SO PIN: the one the slot's token names, where the card's model keeps an SO
  // PIN there; the one the model's tokens take for an unfinished token, or a token
  // beside others; on a card that shows no token, the one the blank card came with
  // (on a model whose blank cards come with none, the one its tokens take where one
  // stands: the card's SO PIN, kept when its tokens are erased).
  SCFileHeaderList layout;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout, 0);
  const uint8_t tokensSo = layout.GetSoPinRef() != 0 && layout.GetSoPinRef() < 0x80 ? layout.GetSoPinRef() : 0xFF;
  const uint8_t blankSo = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  SCPkcs15App* app = GetSlotApp(slot);
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  ASNPkcs15AuthObject* so = nullptr;
  const bool named = ground == InitGround::kAsRead && app != nullptr && app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 &&
                     so != nullptr;
  const bool blank = ground == InitGround::kAsBlank ||
                     (ground == InitGround::kAsRead && app == nullptr && (p15 == nullptr || p15->GetApplicationCount() == 0));
  uint8_t ref = blank                                               ? (blankSo < 0xFF ? blankSo : tokensSo)
                : app != nullptr && ground == InitGround::kAsRead ? UnfinishedSoRef(slot, card)
                                                                  : tokensSo;
  if (named) {
    ref = SCPkcs15App::GetPinReference(so);
    if (ref == 0 || ref >= 0x80 || ((tokensSo < 0xFF || blankSo < 0xFF) && ref != tokensSo && ref != blankSo))
      *failure = SC_E_ACCESS_DENIED;
  }
  return ref;
}

uint8_t SCPkcs15Lib::TrustSoPin(CK_SLOT_ID slot, SCCard* card, const char* soPin, size_t len, SCCardRules* rules,
                                InitGround ground, SCRESULT* failure) {
  // One VERIFY without data first (no try spent), then the value once: nothing else
  // is sent to learn anything, and nothing changes before the card accepts it.
  const uint8_t ref = SoPinToVerify(slot, card, ground, failure);
  if (*failure < 0) {
    Log(SC_E_ACCESS_DENIED, "%s: the token's PIN directory names its SO PIN at %02X, where this card's model keeps "
        "none: nothing changed", card->GetCardName(), static_cast<unsigned>(ref));
    return 0xFF;
  }
  const uint8_t blankSo = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  const bool blank = ground == InitGround::kAsBlank ||
                     (ground == InitGround::kAsRead && GetSlotApp(slot) == nullptr &&
                      (p15 == nullptr || p15->GetApplicationCount() == 0));
  // Accepted earlier in this call: nothing is sent again.
  if (ref == 0xFF || rules->Trusted(ref, SCPath())) return ref;
  const SCRESULT state = rules->State(ref);
  const SCRESULT presence = ScPinPresence(state);
  // None stands: only a card whose blank form comes without one goes on without.
  if (presence == 0 && blank && blankSo == 0xFF) return 0xFF;
  // A card that takes PINs only over its channel, and answers nothing of them in the
  // clear, gets the value no more than it would (held back: no channel carries it).
  if (presence < 0 && card->SecretsNeedChannel()) {
    Log(state, "%s: the card answers nothing of SO PIN %02X in the clear, and no channel carries its value",
        card->GetCardName(), static_cast<unsigned>(ref));
    *failure = scResultFromStatus(0x6987);
    return 0xFF;
  }
  if (presence <= 0 || state == SC_E_PIN_BLOCKED) {
    if (presence == 0)
      Log(SC_E_NO_REFERENCED_DATA, "%s: no SO PIN stands at %02X, where this card keeps it: nothing changed",
          card->GetCardName(), static_cast<unsigned>(ref));
    *failure = presence == 0 ? SC_E_NO_REFERENCED_DATA : state;
    return 0xFF;
  }
  // One that holds no value takes none: the value is not sent (as to a second SO PIN).
  if (state == SC_E_PIN_NOT_INITIALIZED) {
    Log(SC_E_VERIFY_FAILED, "%s: SO PIN %02X has no value: the SO's value is not sent to it, nothing changed",
        card->GetCardName(), static_cast<unsigned>(ref));
    *failure = SC_E_VERIFY_FAILED;
    return 0xFF;
  }
  if (soPin == nullptr) {
    Log(SC_E_ACCESS_DENIED, "%s: SO PIN %02X stands, and no SO PIN was given: nothing changed", card->GetCardName(),
        static_cast<unsigned>(ref));
    *failure = SC_E_ACCESS_DENIED;
    return 0xFF;
  }
  *failure = VerifySoPinAgain(card, ref, soPin, len);
  if (*failure < 0) return 0xFF;
  rules->Trust(ref);
  return ref;
}

SCRESULT SCPkcs15Lib::GroundFor(CK_SLOT_ID slot, const char* soPin, size_t soLen, InitGround* ground,
                                SCCardRules* callRules, const InitProfile* profile, std::vector<uint8_t>* leftovers) {
  *ground = InitGround::kAsRead;
  if (leftovers != nullptr) leftovers->clear();
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  SCReader* reader = GetSlotReader(slot);
  SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  if (p15 == nullptr || card == nullptr) return 0;
  SCTransactGuard guard(card);
  SCCardRules own(card);
  SCCardRules& rules = callRules != nullptr && callRules->Card() == card ? *callRules : own;
  // The SO PIN the blank card came with guards what the card's SO made (EF.DIR of a first token).
  const uint8_t blankSo = BlankCardSoRef(card, slot - slot % (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  if (blankSo < 0x80 && blankSo != 0) rules.OwnersHold(blankSo);
  SCPath dir;
  if (!p15->GetCardDir().GetFullPathInto(dir)) return SC_E_NO_MEMORY;
  // Everything is judged from what the card shows (selections, VERIFYs without data)
  // before the SO's value goes to the card: EF.DIR, each application DF it names and
  // the DFs carrying the PKCS#15 name.
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
  const SCRESULT dirPlanted = rules.Planted(dir);
  if (dirPlanted < 0 && dirPlanted != SC_E_FILE_NOT_FOUND) return dirPlanted;
  // Each application DF: whether anyone may change it (SC_E_FILE_NOT_FOUND: none stands).
  for (size_t i = 0; i < dfs.size(); ++i) {
    r = open[i] >= 0 ? rules.Planted(dfs[i]) : open[i];
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    open[i] = r;
  }
  // The DFs carrying the PKCS#15 name: one anyone may change refuses the call on every road.
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
  // no one's (Planted) or stands nowhere, and some are no one's.
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
  // The tokens EF.DIR names are all unfinished (a first call of this module cut
  // short) and no SO PIN stands where the model's tokens keep it: that call never
  // made it, and the card holds no token this call could repair.
  bool unfinished = false;
  const uint8_t repairSo = GetSlotApp(slot) != nullptr ? UnfinishedSoRef(slot, card) : 0xFF;
  if (dirPlanted != 1 && !none && !takePlace && repairSo < 0xFF) {
    unfinished = true;
    for (int32_t i = 0; unfinished && i < p15->GetApplicationCount(); ++i) {
      SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
      ASNPkcs15AuthObject* so = nullptr;
      unfinished = app->IsKnownProfile() && !app->IsLoaded() && !(app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so);
    }
    r = unfinished ? rules.Stands(repairSo) : 1;
    // A card that answers nothing of its PINs in the clear takes none but over its channel.
    if (r < 0 && card->SecretsNeedChannel()) return scResultFromStatus(0x6987);
    if (r < 0) return r;
    unfinished = r == 0;
  }
  // What the module cannot account for where the call would write, delete or make a
  // PIN refuses the call before the SO's value goes to the card: its owner clears it
  // first. Whose it is no code decides.
  const uint32_t at = static_cast<uint32_t>(slot / (m_tokensPerReader != 0 ? m_tokensPerReader : 1));
  const auto refuse = [&](const std::string& what) { return Refuse(at, card, what); };
  if (dirPlanted == 1) return refuse("EF.DIR " + dir.Text() + " may be changed by anyone" + AbsentRulePins(&rules, dir));
  if (!gone.empty())
    return refuse("DF " + gone.front().Text() + " of the PKCS#15 name may be changed by anyone" +
                  AbsentRulePins(&rules, gone.front()));
  if (none) {
    const SCPath* at = nullptr;
    for (size_t i = 0; i < open.size() && at == nullptr; ++i)
      if (open[i] != SC_E_FILE_NOT_FOUND) at = &dfs[i];
    return refuse("DF " + (at != nullptr ? at->Text() : dir.Text()) + " of the PKCS#15 name may be created in or changed "
                  "by anyone");
  }
  if (takePlace) return refuse("EF.DIR " + dir.Text() + " hides what it names, or DF " + place.Text() + " is open to anyone");
  // A DF of the PKCS#15 name away from where this module makes tokens (3F00/5015 on)
  // is no token of this module's: one EF.DIR does not name would be written into
  // EF.DIR, and one anyone may create in would be built into.
  for (const SCPath& df : named) {
    const bool listed = Listed(dfs, df);
    if (df.Count() == 2 && df[1] >= kTokenPlace[1] && df[1] < kTokenPlace[1] + 0x10) continue;
    r = listed ? rules.Open(df) : 1;
    if (r < 0) return r;
    if (r == 1)
      return refuse("DF " + df.Text() + " of the PKCS#15 name " +
                    (listed ? "may be created in by anyone" : "stands where EF.DIR names no application"));
  }
  if (unfinished) {
    // The unfinished token's DF is made after its SO PIN: one of the PKCS#15 name where
    // the reader's first token goes is none of this module's cuts.
    r = rules.Header(place, &header);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (r >= 0 && NamesPkcs15(header)) return refuse("DF " + place.Text() + " of the PKCS#15 name stands where no SO PIN does");
    *ground = InitGround::kAsBlank;
  }
  // Whose the PINs are that stand where the call's tokens put theirs, and what goes
  // with the tokens it erases or builds anew: judged from what the card shows, so a
  // refusal moves no retry counter.
  SCPkcs15App* slotApp = GetSlotApp(slot);
  if (profile == nullptr || !profile->TestSettingsOnly()) {
    const bool erasing = profile != nullptr && !unfinished && p15->GetApplicationCount() > 0;
    std::vector<uint8_t> left;
    r = WhosePins(at, &rules, named, MadePins(slot, card, *ground, profile), erasing, &left);
    if (r >= 0 && erasing) r = ErasureMayGo(at, p15, card);
    SCRESULT token = 0;
    if (r >= 0 && profile == nullptr && !unfinished && slotApp != nullptr) r = token = TokenMayGo(slot, slotApp, &rules);
    // What the call writes, under the PINs it will hold: on every road, before anything
    // goes (a token not built anew writes nothing it judges).
    if (r >= 0 && token != 2) r = WritesMayGo(at, slot, &rules, dir, *ground, erasing);
    if (r < 0) return r;
    if (leftovers != nullptr) *leftovers = left;
  }
  if (unfinished) {
    Log(SC_OK, "%s: the tokens EF.DIR names are unfinished, and no SO PIN stands where they keep it: the card is "
        "initialised as one that holds no token", card->GetCardName());
    (void)TrustSoPin(slot, card, soPin, soLen, &rules, *ground, &r);
    if (r < 0) return r;
  } else {
    // The SO's value goes to the card only now, once, and before anything changes:
    // what only the owners' PINs may change is theirs from here on.
    (void)TrustSoPin(slot, card, soPin, soLen, &rules, *ground, &r);
    if (r < 0) return r;
    rules.OwnersMade(p15->GetApplicationCount() > 0);
    // The token relies on EF.DIR: one anyone could have made or may change is not
    // made anew on a road that keeps the card's tokens, so the call ends here.
    if (dirPlanted == 0 && p15->GetApplicationCount() > 0) {
      r = rules.Open(dir);
      if (r < 0) return r;
      if (r == 1) return refuse("EF.DIR " + dir.Text() + ", which the card's tokens rely on, anyone could have made or may change");
    }
    const int32_t index = p15->IndexOfApplication(slotApp);
    // The token relies on its DF: one anyone may create in or could have made is built anew too.
    const bool known = index >= 0 && static_cast<size_t>(index) < open.size();
    SCRESULT own = known ? open[static_cast<size_t>(index)] : 0;
    if (known && own == 0) own = rules.Open(dfs[static_cast<size_t>(index)]);
    if (own < 0 && own != SC_E_FILE_NOT_FOUND) return own;
    if (own == 1) return refuse("the DF " + dfs[static_cast<size_t>(index)].Text() + " of slot " + std::to_string(slot) +
                                "'s token may be changed by anyone");
  }
  return 0;
}

std::vector<uint8_t> SCPkcs15Lib::MadePins(CK_SLOT_ID slot, SCCard* card, InitGround ground, const InitProfile* profile) {
  const uint32_t model = card->GetCardType();
  if (profile != nullptr) return model == SC_CARD_TYPE_CLASSIC ? ProfileTokenPins(profile) : std::vector<uint8_t>();
  // The slot's token, initialised again or built anew, keeps the references it has.
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  if (p15 == nullptr || (ground == InitGround::kAsRead && GetSlotApp(slot) != nullptr)) return {};
  // A token added (AddToken): its SO PIN where the call makes it, and its user PIN.
  const bool rokvast = model == SC_CARD_TYPE_CLASSIC && m_initProfile != nullptr && strcasecmp(m_initProfile, "rokvast") == 0;
  SCFileHeaderList refs;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(model), &refs,
                                          rokvast ? -1 : ground == InitGround::kAsBlank ? 0 : p15->GetApplicationCount());
  SCRESULT failure = 0;
  const uint8_t verified = SoPinToVerify(slot, card, ground, &failure);
  std::vector<uint8_t> makes{refs.GetUserPinRef()};
  if (refs.GetSoPinRef() != verified) makes.push_back(refs.GetSoPinRef());
  return makes;
}

SCRESULT SCPkcs15Lib::OtherApplications(uint32_t reader, SCCardRules* rules, const std::vector<SCPath>& found,
                                        std::string* shown) {
  SCPkcs15Card* p15 = m_pkcs15Cards[reader];
  std::vector<SCPath> listed;
  const auto add = [&](const uint8_t* aid, size_t len, const SCPath& at) {
    if (Listed(listed, at)) return;
    listed.push_back(at);
    char hex[2 * 32 + 1];
    HexText(hex, sizeof hex, aid, std::min<size_t>(len, 32), "");
    *shown += std::string(shown->empty() ? "" : ", ") + hex + " at " + at.Text();
  };
  // This module's tokens are no others, whether or not their DFs stand.
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    SCPath df;
    if (app->IsKnownProfile() && app->BuildAbsolutePath(&df) >= 0) listed.push_back(df);
  }
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    SCPath df;
    if (app->IsKnownProfile() || app->BuildAbsolutePath(&df) < 0) continue;
    const SCRESULT r = app->StandsAsApplication();
    if (r < 0) return r;
    const ASNPkcs15DIRRecord* record = app->GetDirRecord();
    if (r == 1 && record != nullptr && record->aid.getLength() > 0)
      add(record->aid.getData(), static_cast<size_t>(record->aid.getLength()), df);
    else if (r == 1)
      add(ASNPkcs15DIRRecord::kPkcs15Aid, 12, df);
  }
  // Another kind's application: where a DF carrying its name stands at its path.
  for (const auto& other : p15->GetCardDir().OtherApplications()) {
    const SCFileHeader* header = nullptr;
    const SCRESULT r = rules->Header(other.second, &header);
    if (r == SC_E_FILE_NOT_FOUND) continue;
    if (r < 0) return r;
    size_t len = 0;
    const uint8_t* name = header != nullptr && header->IsDf() ? header->GetDfName(&len) : nullptr;
    if (name != nullptr && len == other.first.size() && std::memcmp(name, other.first.data(), len) == 0)
      add(other.first.data(), other.first.size(), other.second);
  }
  for (const SCPath& df : found) add(ASNPkcs15DIRRecord::kPkcs15Aid, 12, df);
  return 0;
}

SCRESULT SCPkcs15Lib::WhosePins(uint32_t reader, SCCardRules* rules, const std::vector<SCPath>& found,
                                const std::vector<uint8_t>& makes, bool erasing, std::vector<uint8_t>* leftovers) {
  SCPkcs15Card* p15 = m_pkcs15Cards[reader];
  SCCard* card = rules->Card();
  bool ours = false;
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i)
    ours = ours || p15->GetApplicationAt(static_cast<uint32_t>(i))->IsKnownProfile();
  std::vector<uint8_t> refs;
  for (uint8_t ref : makes)
    if (ref != 0 && ref < 0x80 && !Holds(refs, ref)) refs.push_back(ref);
  // On a ClassIC card that holds no token of this module, a PIN at any layout's user
  // reference too: a new token would stand beside it, and a later call would take it
  // for a leftover of its own.
  const size_t made = refs.size();
  if (card->GetCardType() == SC_CARD_TYPE_CLASSIC && !ours)
    for (uint8_t ref : LayoutUserPins(card))
      if (!Holds(refs, ref)) refs.push_back(ref);
  std::vector<std::pair<SCPath, uint8_t>> names;
  std::string others;
  bool asked = false;
  for (size_t i = 0; i < refs.size(); ++i) {
    SCRESULT r = rules->Stands(refs[i]);
    if (r < 0) return r;
    if (r == 0) continue;
    // What the card shows besides: the PINs its applications name, and the other applications.
    if (!asked) {
      asked = true;
      r = NamedOrLeftPins(p15, &names);
      if (r >= 0) r = OtherApplications(reader, rules, found, &others);
      if (r < 0) return r;
    }
    const std::string pin = "PIN " + PinText(refs[i]);
    const bool named = std::any_of(names.begin(), names.end(),
                                   [&](const auto& n) { return n.second == refs[i] && n.first.IsMasterFile(); });
    const std::string beside = others.empty() ? std::string() : "; the card holds other applications: " + others;
    if (!ours) {
      // One another application names, where no new token's PIN goes, is that application's.
      if (named && i >= made) continue;
      return Refuse(reader, card, pin + " stands at a reference this module's tokens use, on a card that holds no token "
                    "of this module" + beside);
    }
    // (a) A token the call erases names it: it goes with that token.
    if (named && erasing) continue;
    // (b) Where the card shows nothing but this module's tokens, one no token names is
    // what an earlier erasure or a cut call of this module left: it goes first.
    if (!named && others.empty()) {
      leftovers->push_back(refs[i]);
      continue;
    }
    return Refuse(reader, card, pin + " stands where a new token's PIN goes, and " +
                  (named ? "an application the call keeps names it" : "no token names it") + beside);
  }
  return 0;
}

SCRESULT SCPkcs15Lib::ErasureMayGo(uint32_t reader, SCPkcs15Card* p15, SCCard* card) {
  if (card->GetCardType() != SC_CARD_TYPE_CLASSIC) return 0;
  SCFileHeaderList first;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(SC_CARD_TYPE_CLASSIC), &first, 0);
  const uint8_t soRef = first.GetSoPinRef();
  // Every token's DF must be the SO's to delete, or the erasure would stop half way.
  // (Rules of their own: the call's trust the SO PIN only once the card took its value.)
  SCCardRules rules(card);
  rules.Trust(soRef);
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    SCPath df;
    SCRESULT d = app->BuildAbsolutePath(&df);
    if (d >= 0) d = rules.SoMay(df, SC_AC_OP_DELETE_SELF, soRef);
    if (d == SC_E_FILE_NOT_FOUND) continue;
    if (d < 0) return d;
    if (d == 0) return Refuse(reader, card, "the SO PIN may not delete the DF " + df.Text() + " of a token of the card");
    // Nor may another application's DF go with a token's.
    d = DfMayGo(reader, p15, app);
    if (d < 0) return d;
  }
  return 0;
}

SCRESULT SCPkcs15Lib::WritesMayGo(uint32_t reader, CK_SLOT_ID slot, SCCardRules* rules, const SCPath& dir,
                                  InitGround ground, bool erasing) {
  SCCard* card = rules->Card();
  SCPkcs15Card* p15 = GetSlotPkcs15Card(slot);
  SCPkcs15App* app = GetSlotApp(slot);
  const bool blank = ground == InitGround::kAsBlank || p15 == nullptr || p15->GetApplicationCount() == 0;
  // The SO PIN the call verifies before it makes anything (none where none stands:
  // model 4's blank card), and the one its token makes beside or instead.
  SCRESULT failure = 0;
  const uint8_t verified = SoPinToVerify(slot, card, ground, &failure);
  SCRESULT r = failure < 0 || verified >= 0x80 ? 0 : rules->Stands(verified);
  // A card that answers nothing of it is left to the verification, which fails.
  if (r < 0) return 0;
  const uint8_t before = r == 1 ? verified : 0xFF;
  SCFileHeaderList layout;
  SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout,
                                          blank || erasing ? 0 : p15->GetApplicationCount());
  const uint8_t made = layout.GetSoPinRef() != before && layout.GetSoPinRef() < 0x80 ? layout.GetSoPinRef() : 0xFF;
  // EF.DIR is written under the SO PIN verified first, where one is (models 1 and 7
  // write it before the token's own SO PIN), else under the one made; beside the
  // card's tokens, under the blank card's own SO PIN where its rules name that one.
  uint8_t atDir = before < 0xFF ? before : made;
  if (!blank && !erasing && app == nullptr && atDir < 0x80) atDir = DirSoPin(slot, card, p15, atDir);
  const auto under = [](uint8_t ref) { return ref < 0x80 ? "under the SO PIN " + PinText(ref) : std::string("with no PIN verified"); };
  static const uint16_t kMfId = SC_FID_MF;
  const SCPath mf(&kMfId, 1);
  // Each write, the PINs the call holds at it, and what it is called in a refusal.
  const auto may = [&](const SCPath& path, uint32_t op, uint8_t held, uint8_t also, const std::string& what) -> SCRESULT {
    SCRESULT m = rules->SoMay(path, op, held);
    if (m == 0 && also < 0xFF) m = rules->SoMay(path, op, also);
    if (m != 0) return m < 0 ? m : 0;
    return Refuse(reader, card, what + " " + under(held) + ": its rule names " + RuleText(rules, path, op));
  };
  // A token initialised again writes no EF.DIR and makes no PIN there; an unfinished
  // token's DF, where the SO PIN deletes it, is made anew where it stood (a whole
  // token's only where the SO PIN may make it again, else it goes in place: TokenMayGo).
  if (!blank && !erasing && app != nullptr) {
    SCPath df, parent;
    if (!app->IsWritable() || app->BuildAbsolutePath(&df) < 0 || df.Count() < 2 || before >= 0x80) return 0;
    ASNPkcs15AuthObject* so = nullptr;
    if (app->IsLoaded() && app->FindPinObject(SCPkcs15App::PIN_SO, &so) >= 0 && so != nullptr) return 0;
    parent.Set(df.Ids(), df.Count() - 1);
    r = rules->SoMay(df, SC_AC_OP_DELETE_SELF, before);
    if (r <= 0) return r;
    return may(parent, SC_AC_OP_CREATE_DF, before, 0xFF,
               (parent.IsMasterFile() ? "the master file " : "DF ") + parent.Text() + " lets no DF be created");
  }
  // EF.DIR: made anew where it is open to others (under its delete rule), updated
  // where it is not, made where none stands; an erasure empties it, and deletes it
  // where it names no other application, before the tokens make it again.
  r = DirMadeAnew(rules, dir);
  if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
  if (r == 1) {
    const uint8_t del = DeletionPin(rules, dir);
    if (del != 0 && del != before && del != made) return Refuse(reader, card, "EF.DIR " + dir.Text() + kDirNotSos);
  }
  SCRESULT w = r == 0 ? may(dir, SC_AC_OP_UPDATE, atDir, 0xFF, "EF.DIR " + dir.Text() + " may not be updated") : 0;
  if (w >= 0 && r == 0 && erasing && p15->GetCardDir().OtherApplications().empty())
    w = may(dir, SC_AC_OP_DELETE_SELF, atDir, 0xFF, "EF.DIR " + dir.Text() + " may not be deleted");
  if (w >= 0 && r != 0) w = may(mf, SC_AC_OP_CREATE_EF, atDir, 0xFF, "the master file 3F00 lets no EF.DIR be created");
  // The PINs go into the master file, the first before any SO PIN of the token's is
  // verified; the token's DF once it is.
  if (w >= 0) w = may(mf, SC_AC_OP_CREATE_EF, before, 0xFF, "the master file 3F00 lets no PIN be created");
  if (w >= 0) w = may(mf, SC_AC_OP_CREATE_DF, made < 0xFF ? made : before, before, "the master file 3F00 lets no DF be created");
  return w;
}

void SCPkcs15Lib::ForgetApplications(uint32_t reader) {
  SCPkcs15Card* p15 = reader < m_readerCount && m_pkcs15Cards != nullptr ? m_pkcs15Cards[reader] : nullptr;
  if (p15 == nullptr) return;
  const CK_SLOT_ID first = static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader;
  for (uint32_t t = 0; t < m_tokensPerReader; ++t) m_pAppTable[first + t] = nullptr;
  // An application whose DF stands with its name keeps its record: it is no unfinished token.
  for (int32_t i = p15->GetApplicationCount() - 1; i >= 0; --i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    if (app->StandsAsApplication() != 1) p15->DiscardApplication(app, app->GetSourceDirRecord());
  }
  // Another kind's application keeps its record.
  if (p15->GetApplicationCount() == 0) p15->GetCardDir().ClearKeepingOthers();
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

SCRESULT SCPkcs15Lib::NamedOrLeftPins(SCPkcs15Card* p15, std::vector<std::pair<SCPath, uint8_t>>* named) {
  SCCard* card = p15->GetCard();
  static const uint16_t kMf = SC_FID_MF;
  for (int32_t i = 0; i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    const SCRESULT r = app->GetNamedPins(named);
    if (r < 0) return r;
    // A token of this module an interrupted call left without its directories
    // names its PINs no more: the layout's references are its own.
    if (!app->IsKnownProfile() || app->IsLoaded() || card == nullptr) continue;
    SCFileHeaderList layout;
    SCPkcs15App::GetProfileSecurityTemplate(static_cast<int>(card->GetCardType()), &layout, app->GetLayoutIndex(false));
    for (uint8_t ref : {layout.GetUserPinRef(), layout.GetUserPukRef()})
      if (ref != 0 && ref < 0x80) named->emplace_back(SCPath(&kMf, 1), ref);
  }
  return 0;
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
