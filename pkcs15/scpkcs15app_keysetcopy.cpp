// The copy of a token's key set beside EF.DIR. A token whose TokenInfo names a
// key-agreement group loses that TokenInfo with its DF when it is built anew;
// until the new TokenInfo stands whole the card holds, in the DF of EF.DIR, a
// copy of the key set and of the PIN references the token is built with, so
// that the next process (or this one, the card put back) opens the channel and
// finishes the token with the same PINs, never sending one in the clear.
//
// The copy takes a spare's form (scpkcs15spare.h): a mark naming the token's DF
// and the digest of what follows, then its records (the header list's
// references, the group, the TokenInfo's supportedAlgorithms entry), so a copy
// cut short is never taken. It is made like a spare of EF.DIR (the spare's state,
// the spare rules made from EF.DIR's), and counts only where its header shows
// that (ScPkcs15SpareMadeBy; on a card whose headers show no state, the spare
// rules alone) and nobody could have made it who may not update EF.DIR
// (NoOneElseWrites). Where that cannot be so, no copy is made and the token is
// not erased. A copy a cut left beside a whole token goes at the SO's next
// C_InitPIN or C_InitToken (DropLeftKeySetCopy).
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15spare.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"
#include "support/debuglog.h"

namespace {

constexpr uint8_t kRefsTag = 0x80;
constexpr uint8_t kGroupTag = 0x81;

// What one place holds.
struct CopyAt {
    SCPkcs15Spare kind = SCPkcs15Spare::kNone;
    bool showsState = false;       // its header shows a life-cycle byte
    std::vector<uint8_t> records;  // a whole copy's
};

// Whether no one could have written a copy in the DF `dirDf` who may not update
// EF.DIR (header `dirHeader`): the DF's header shows that files are made in it
// only under a PIN (or a key), in a state where its rules hold where it shows
// one (a state it leaves out counts for nothing). A copy whose header shows no
// state of its own may, for all the card tells, have been made in one where no
// rule holds and written there: then only who may update EF.DIR may create
// beside it. 1 yes, 0 no, or the failure. One SELECT.
SCRESULT NoOneElseWrites(SCCard* card, const SCPath& dirDf, const SCFileHeader& dirHeader, bool copyShowsState) {
    SCFileHeader* h = nullptr;
    const SCRESULT r = card->SelectPath(dirDf.Ids(), dirDf.Count(), &h);
    std::unique_ptr<SCFileHeader> owned(h);
    if (r < 0) return r;
    if (!h || (h->HasLifeCycle() && h->GetLifeCycleByte() < 0x04)) return 0;
    SCAccessRequest updaters;
    updaters.operation = SC_AC_OP_UPDATE;
    if (!copyShowsState && dirHeader.GetAccessRefs(&updaters, nullptr) < 0) return 0;
    for (uint32_t op : {SC_AC_OP_CREATE_EF, SC_AC_OP_CREATE_DF}) {
        SCAccessRequest req;
        req.operation = op;
        if (!h->NamesRule(op) || h->GetAccessRefs(&req, nullptr) < 0 || req.refs.Contains(SC_AC_ALWAYS)) return 0;
        if (copyShowsState || op != SC_AC_OP_CREATE_EF) continue;
        for (int32_t i = 0; i < req.refs.Count(); ++i)
            if (req.refs.At(i) != SC_AC_NEVER && !updaters.refs.Contains(req.refs.At(i))) return 0;
    }
    return 1;
}

}  // namespace

SCRESULT SCPkcs15App::KeySetCopyPlaces(SCPath* df, SCPath* dirDf, std::unique_ptr<SCFileHeader>* dirHeader) {
    if (!m_pCard || !m_pOwner) return SC_E_BAD_USAGE;
    SCRESULT r = BuildAbsolutePath(df);
    if (r < 0) return r;
    SCPath dir;
    if (df->Count() < 2 || !m_pOwner->GetCardDir().GetFullPathInto(dir) || dir.Count() < 2) return SC_E_BAD_USAGE;
    *dirDf = SCPath(dir.Ids(), dir.Count() - 1);
    if (!dirHeader) return 0;
    SCFileHeader* h = nullptr;
    r = m_pCard->SelectPath(dir.Ids(), dir.Count(), &h);
    dirHeader->reset(h);
    if (r >= 0 && !h) r = SC_E_UNSUPPORTED_FEATURE;
    return r;
}

// What stands at the copy's place `slot`: kNone, kWhole (its records), kCut (a
// copy of this module's cut short or never written: it may go), kForeign. EF.DIR's
// header (which the copy is made like) is read where a file stands there.
static SCRESULT LookAtCopy(SCCard* card, const SCPath& df, const SCPath& dirDf, SCPkcs15App* app,
                           std::unique_ptr<SCFileHeader>* dirHeader, int slot, CopyAt* out) {
    SCPath at = dirDf;
    at.Append(ScPkcs15SpareFid(df[df.Count() - 1], slot));
    SCFileHeader* h = nullptr;
    SCRESULT r = card->SelectPath(at.Ids(), at.Count(), &h);
    std::unique_ptr<SCFileHeader> owned(h);
    if (r == SC_E_FILE_NOT_FOUND) return 0;
    if (r < 0) return r;
    out->kind = SCPkcs15Spare::kForeign;
    if (!*dirHeader) {
        SCPath unused, dir;
        r = app->KeySetCopyPlaces(&unused, &dir, dirHeader);
        if (r < 0) return r;
        r = card->SelectPath(at.Ids(), at.Count(), nullptr);
        if (r < 0) return r;
    }
    // Made in the spare's state with the spare's rules; or, where the header shows
    // no state, with those rules (who may create beside it is the caller's to judge).
    if (!h || (ScPkcs15SpareMadeBy(*h, **dirHeader) != SCPkcs15SpareMaker::kThisModule &&
               !ScPkcs15SpareRulesWithoutState(*h, **dirHeader)))
        return 0;
    out->showsState = h->HasLifeCycle();
    const uint32_t n = h->GetFileSize();
    if (n == 0 || n > 0x7FFF) return 0;
    std::vector<uint8_t> d(n);
    r = card->ReadBinary(0, d.data(), n);
    if (r < 0) return r;
    d.resize(static_cast<size_t>(r));
    uint32_t from = 0, len = 0;
    out->kind = ScPkcs15ReadSpare(df, d.data(), static_cast<uint32_t>(d.size()), &from, &len);
    if (out->kind == SCPkcs15Spare::kWhole)
        out->records.assign(d.begin() + from, d.begin() + from + len);
    else if (out->kind == SCPkcs15Spare::kForeign && ScPkcs15NeverWrittenSpare(df, *h, **dirHeader, d.data(), n, true))
        out->kind = SCPkcs15Spare::kCut;
    return 0;
}

std::vector<uint8_t> SCPkcs15App::KeySetCopyRecords() const {
    std::vector<uint8_t> out;
    uint8_t refs[SC_REF_COUNT];
    for (int i = 0; i < SC_REF_COUNT; ++i) refs[i] = m_headers.GetRef(i);
    const uint8_t group = static_cast<uint8_t>(m_keySet.group);
    scAppendTlv(&out, kRefsTag, refs, sizeof refs);
    scAppendTlv(&out, kGroupTag, &group, 1);
    out.insert(out.end(), m_keySet.entry.begin(), m_keySet.entry.end());
    return out;
}

SCRESULT SCPkcs15App::KeepKeySetCopy() {
    if (!m_keySet.Held() || m_keySet.group > 0xFF) return 0;
    SCPath df, dirDf;
    std::unique_ptr<SCFileHeader> dirHeader;
    SCTransactGuard guard(m_pCard);
    SCRESULT r = KeySetCopyPlaces(&df, &dirDf, &dirHeader);
    std::vector<uint8_t> records, contents;
    try {
        records = KeySetCopyRecords();
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    if (r >= 0 && !ScPkcs15SpareContents(df, records.data(), static_cast<uint32_t>(records.size()), &contents))
        r = SC_E_NO_MEMORY;
    std::vector<uint8_t> rules;
    SCFileHeader model;
    if (r >= 0 && (!ScPkcs15SpareRules(ScPkcs15Rules(*dirHeader), &rules) ||
                   !ScPkcs15WithState(*dirHeader, kScPkcs15SpareState, &model, &rules)))
        r = SC_E_UNSUPPORTED_FEATURE;
    // A copy that would not be taken keeps nothing: the token is not erased. The
    // copy is made like EF.DIR, its state shown where EF.DIR's is.
    if (r >= 0) {
        r = NoOneElseWrites(m_pCard, dirDf, *dirHeader, dirHeader->HasLifeCycle());
        if (r == 0) {
            DebugLogWriteText(2, 0, "PKCS#15: someone without the SO PIN may create files beside EF.DIR - the key "
                                    "set cannot be kept there, nothing deleted");
            return SC_E_UNSUPPORTED_FEATURE;
        }
    }
    for (int slot = 0; r >= 0 && slot < kScPkcs15SpareSlots; ++slot) {
        CopyAt found;
        r = LookAtCopy(m_pCard, df, dirDf, this, &dirHeader, slot, &found);
        if (r < 0) break;
        if (found.kind == SCPkcs15Spare::kForeign) continue;
        const uint16_t fid = ScPkcs15SpareFid(df[df.Count() - 1], slot);
        // The copy that stands already (a cut, then this call again) is kept as it is.
        if (found.kind == SCPkcs15Spare::kWhole && found.records == records) {
            m_keySetCopyFid = fid;
            return 0;
        }
        // A copy of this module's that a cut left goes first (the old TokenInfo still stands).
        r = m_pCard->SelectPathThunk(dirDf.Ids(), dirDf.Count(), 0);
        if (r >= 0 && found.kind != SCPkcs15Spare::kNone) {
            r = m_pCard->DeleteFileById(fid, dirDf);
            if (r >= 0) r = m_pCard->SelectPathThunk(dirDf.Ids(), dirDf.Count(), 0);
        }
        SCFileHeader* made = nullptr;
        if (r >= 0) r = m_pCard->CreateFileLike(model, fid, static_cast<uint32_t>(contents.size()), &made);
        SCFileHeader::SafeRelease(made);
        if (r >= 0) r = m_pCard->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size()));
        if (r >= 0) {
            m_keySetCopyFid = fid;
            return 0;
        }
        break;
    }
    // No copy, no erasure: the token stays as it is.
    DebugLogWrite(2, 0, "PKCS#15: the key set cannot be kept beside EF.DIR (%08x) - nothing deleted",
                  static_cast<unsigned>(r & 0xFFFFFFFF));
    return r < 0 ? r : SC_E_FILE_ALREADY_EXISTS;
}

void SCPkcs15App::DropKeySetCopy() {
    if (m_keySetCopyFid == 0) return;
    SCPath df, dirDf;
    SCTransactGuard guard(m_pCard);
    SCRESULT r = KeySetCopyPlaces(&df, &dirDf, nullptr);
    // The new TokenInfo stands: a copy left (its deletion refused or cut) is read only in its absence.
    if (r >= 0) r = m_pCard->SelectPathThunk(dirDf.Ids(), dirDf.Count(), 0);
    if (r >= 0) r = m_pCard->DeleteFileById(m_keySetCopyFid, dirDf);
    if (r < 0)
        DebugLogWrite(2, 0, "PKCS#15: the key set's copy %04x stays (%08x)", static_cast<unsigned>(m_keySetCopyFid),
                      static_cast<unsigned>(r & 0xFFFFFFFF));
    m_keySetCopyFid = 0;
}

bool SCPkcs15App::TakeKeySetCopy() {
    if (!m_pOwner || (m_pOwner->GetOptions() & SCPkcs15Card::OPTION_KEY_SET_COPIES) == 0) return false;
    SCPath df, dirDf;
    std::unique_ptr<SCFileHeader> dirHeader;
    SCTransactGuard guard(m_pCard);
    if (KeySetCopyPlaces(&df, &dirDf, nullptr) < 0) return false;
    CopyAt found;
    int slot = 0;
    for (; slot < kScPkcs15SpareSlots; ++slot) {
        found = CopyAt();
        if (LookAtCopy(m_pCard, df, dirDf, this, &dirHeader, slot, &found) < 0) return false;
        if (found.kind != SCPkcs15Spare::kForeign) break;
    }
    // Who may make files beside EF.DIR without a PIN could have made this too.
    if (found.kind != SCPkcs15Spare::kWhole || NoOneElseWrites(m_pCard, dirDf, *dirHeader, found.showsState) != 1)
        return false;
    const std::vector<uint8_t>& d = found.records;
    SCTlv refs, group;
    size_t p = 0;
    if (!scReadTlv(d.data(), d.size(), &p, &refs) || refs.tag != kRefsTag || refs.length != SC_REF_COUNT ||
        !scReadTlv(d.data(), d.size(), &p, &group) || group.tag != kGroupTag || group.length != 1 || p >= d.size())
        return false;
    KeySet kept;
    try {
        kept.entry.assign(d.begin() + static_cast<long>(p), d.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    kept.group = group.value[0];
    if (m_keySet.Held() && !(m_keySet == kept)) return false;
    SCFileHeaderList h;
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    if (m_pCard->GetCardInfo(&info) >= 0) (void)GetProfileSecurityTemplate(static_cast<int>(info.profile), &h, GetTokenIndex());
    for (int i = 0; i < SC_REF_COUNT; ++i) h.SetRef(i, refs.value[i]);
    if (!ApplyKeySetTo(kept, &h)) return false;
    m_headers = h;
    m_keySet = kept;
    m_keySetCopyFid = ScPkcs15SpareFid(df[df.Count() - 1], slot);
    DebugLogWriteText(2, 0, "PKCS#15: TokenInfo not to be read - key set and PIN references taken from their copy");
    return true;
}

void SCPkcs15App::DropLeftKeySetCopy() {
    // Only a whole token that names its key set (and made or took no copy in this process) has none to keep.
    if (!m_pOwner || (m_pOwner->GetOptions() & SCPkcs15Card::OPTION_KEY_SET_COPIES) == 0 || m_keySetCopyFid != 0 ||
        !IsLoaded() || !TokenInfoNamesKeySet())
        return;
    SCPath df, dirDf;
    std::unique_ptr<SCFileHeader> dirHeader;
    SCTransactGuard guard(m_pCard);
    if (KeySetCopyPlaces(&df, &dirDf, nullptr) < 0) return;
    for (int slot = 0; slot < kScPkcs15SpareSlots; ++slot) {
        CopyAt found;
        SCRESULT r = LookAtCopy(m_pCard, df, dirDf, this, &dirHeader, slot, &found);
        if (r < 0 || found.kind == SCPkcs15Spare::kNone) return;
        if (found.kind == SCPkcs15Spare::kForeign) continue;
        // This module's only where no one else could have made it: anything else is not this call's to delete.
        r = NoOneElseWrites(m_pCard, dirDf, *dirHeader, found.showsState);
        if (r == 0) return;
        const uint16_t fid = ScPkcs15SpareFid(df[df.Count() - 1], slot);
        if (r >= 0) r = m_pCard->SelectPathThunk(dirDf.Ids(), dirDf.Count(), 0);
        if (r >= 0) r = m_pCard->DeleteFileById(fid, dirDf);
        if (r >= 0)
            DebugLogWrite(2, 0, "PKCS#15: the key set's copy %04x that a cut left beside the whole token deleted",
                          static_cast<unsigned>(fid));
        else
            DebugLogWrite(2, 0, "PKCS#15: the key set's copy %04x that a cut left stays (%08x)",
                          static_cast<unsigned>(fid), static_cast<unsigned>(r & 0xFFFFFFFF));
        return;
    }
}
