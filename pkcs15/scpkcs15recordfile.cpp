#include "pkcs15/scpkcs15recordfile.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"

namespace {

// The largest file read or made here.
constexpr uint32_t kMostSize = 0x7FFF;
// A file of one record is read in reads that grow, up to what one command carries.
constexpr uint32_t kMostRead = 256;
// Filler written after the records where the file has room: a reader that
// stops at the first filler octet finds them all too.
constexpr uint8_t kEnd = 0xFF;
// A write is carried over to what the card holds after a reset this many times at most.
constexpr int kMostAttempts = 3;

// Room a grown file gets beyond its records, so that the next records are
// written in place: a quarter more, at least a few records' worth.
uint32_t GrownSize(uint32_t len) { return std::min<uint32_t>(len + std::max<uint32_t>(len / 4, 128), kMostSize); }

bool IsNoRoom(SCRESULT r) {
    return r == SC_E_NO_SPACE_ON_CARD || r == SC_E_FILE_TOO_SMALL || r == SC_E_FILE_SIZE_REFUSED;
}

// The card's answer about a file (a status word that is no failure to read):
// the file is what the answer says, and reading it again changes nothing.
bool IsAnswer(SCRESULT r) { return scIsStatusWordResult(r) && !scIsReadFailure(r); }

using Header = std::unique_ptr<SCFileHeader, void (*)(SCFileHeader*)>;

void Wipe(std::vector<uint8_t>& v) {
    std::fill(v.begin(), v.end(), 0);
    v.clear();
}

}  // namespace

SCPkcs15RecordFile::SCPkcs15RecordFile(SCPkcs15PathObjectInfo& owner, bool oneRecord, uint32_t createRoom,
                                       uint32_t firstRead)
    : m_owner(owner), m_oneRecord(oneRecord), m_createRoom(createRoom), m_firstRead(firstRead ? firstRead : 128) {}

SCPkcs15RecordFile::~SCPkcs15RecordFile() { Forget(); }

SCCard* SCPkcs15RecordFile::Card() const { return m_owner.m_pCard; }

uint64_t SCPkcs15RecordFile::HoldSerial() const {
    const SCReader* reader = Card() ? Card()->GetReader() : nullptr;
    return reader ? reader->GetHoldSerial() : 0;
}

uint64_t SCPkcs15RecordFile::CardSession() const {
    const SCReader* reader = Card() ? Card()->GetReader() : nullptr;
    return reader ? reader->GetCardSession() : 0;
}

bool SCPkcs15RecordFile::Held() const {
    const SCReader* reader = Card() ? Card()->GetReader() : nullptr;
    return m_copy.known && reader && reader->StillHeld(m_copy.serial);
}

void SCPkcs15RecordFile::Forget() {
    m_copy.known = false;
    m_copy.exists = false;
    m_copy.size = 0;
    m_copy.framed = false;
    Wipe(m_copy.bytes);
    Wipe(m_copy.seen);
    for (Slot& s : m_copy.slots) {
        SCFileHeader::SafeRelease(s.header);
        s = Slot();
    }
    m_copy.spare = m_copy.free = -1;
}

void SCPkcs15RecordFile::Reframe() {
    std::vector<SCPkcs15Record> recs;
    uint32_t end = 0;
    const uint32_t n = static_cast<uint32_t>(m_copy.bytes.size());
    m_copy.framed = ScPkcs15FrameRecords(m_copy.bytes.data(), n, n, m_oneRecord, &recs, &end) == 0;
    if (WholeSpareStands()) {
        m_copy.seen = m_copy.slots[m_copy.spare].records;
        return;
    }
    m_copy.seen.clear();
    if (!m_copy.exists) return;
    if (!m_copy.framed) {
        // Octets that are no records reach the parser as they are, which refuses them.
        m_copy.seen = m_copy.bytes;
        return;
    }
    // A record that stands twice (a move that a cut broke off) is taken once.
    std::set<std::vector<uint8_t>> taken;
    for (const SCPkcs15Record& r : recs) {
        std::vector<uint8_t> rec(m_copy.bytes.begin() + r.at, m_copy.bytes.begin() + r.at + r.len);
        if (!taken.insert(rec).second) continue;
        m_copy.seen.insert(m_copy.seen.end(), rec.begin(), rec.end());
    }
}

SCRESULT SCPkcs15RecordFile::SparePath(int slot, SCPath* out) const {
    SCPath full;
    if (!m_owner.GetFullPathInto(full) || full.Count() < 2) return SC_E_BAD_USAGE;
    *out = SCPath(full.Ids(), full.Count() - 1);
    out->Append(ScPkcs15SpareFid(full[full.Count() - 1], slot));
    return 0;
}

SCRESULT SCPkcs15RecordFile::ProbeSpares(const SCPath& full, int from) {
    SCCard* card = Card();
    // Looked at once a card session while nothing stands there.
    if (from == 0 && m_noSpareIn != 0 && m_noSpareIn == CardSession()) {
        m_copy.free = 0;
        return 0;
    }
    for (int i = from; i < kScPkcs15SpareSlots; ++i) {
        Slot& slot = m_copy.slots[i];
        SCPath path;
        SCRESULT r = SparePath(i, &path);
        if (r < 0) return r;
        slot.looked = true;
        r = card->SelectPath(path.Ids(), path.Count(), &slot.header);
        if (r == SC_E_FILE_NOT_FOUND) {
            // A free place: a spare stands only where the places before it are taken.
            if (m_copy.free < 0) m_copy.free = i;
            if (i == 0) m_noSpareIn = CardSession();
            return 0;
        }
        if (r < 0 && !IsAnswer(r)) return r;
        slot.kind = SCPkcs15Spare::kForeign;
        if (r < 0 || !slot.header || !slot.header->IsTransparentEf()) continue;
        // A spare is read whole: it is as long as its contents.
        const uint32_t size = std::min<uint32_t>(slot.header->GetFileSize(), kMostSize);
        std::vector<uint8_t> d(size);
        const SCRESULT got = size ? card->ReadBinary(0, d.data(), size) : 0;
        if (got < 0 && !IsAnswer(got)) return got;
        // One that the card will not let be read is no spare of this module's.
        if (got < 0) continue;
        d.resize(static_cast<size_t>(got));
        uint32_t at = 0, len = 0;
        slot.kind = ScPkcs15ReadSpare(full, d.data(), static_cast<uint32_t>(got), &at, &len, &slot.fileRules);
        // Unmarked: a spare never written only in the spare's state (JudgeSpares tells).
        if (slot.kind == SCPkcs15Spare::kForeign && slot.header->GetLifeCycleByte() == kScPkcs15SpareState)
            slot.octets.swap(d);
        if (slot.kind == SCPkcs15Spare::kWhole) slot.records.assign(d.begin() + at, d.begin() + at + len);
        // A whole one ends the look (JudgeSpares goes on where its header disowns
        // it); after one that goes, the next place is looked at too.
        if (slot.kind == SCPkcs15Spare::kWhole) return 0;
    }
    return 0;
}

int SCPkcs15RecordFile::JudgeSpares(const SCPath& full) {
    const SCFileHeader* file = m_copy.exists ? m_owner.m_pFileHeader : nullptr;
    int next = -1;
    m_copy.spare = -1;
    for (int i = 0; i < kScPkcs15SpareSlots; ++i) {
        Slot& s = m_copy.slots[i];
        if (!s.looked || s.kind == SCPkcs15Spare::kNone) continue;
        const bool endedLook = s.kind == SCPkcs15Spare::kWhole;
        if (s.kind == SCPkcs15Spare::kForeign) {
            const uint32_t len = static_cast<uint32_t>(s.octets.size());
            if (file && len && ScPkcs15NeverWrittenSpare(full, *s.header, *file, s.octets.data(), len))
                s.kind = SCPkcs15Spare::kCut;
        } else {
            // Where the file stands, a spare counts only where nobody could have
            // written it who may not update the file. Where the file is missing,
            // whoever made the spare could have made the file: it counts as it is,
            // where the card shows its rules at all.
            const SCPkcs15SpareMaker maker =
                file ? ScPkcs15SpareMadeBy(*s.header, *file) : SCPkcs15SpareMaker::kAnybody;
            // One made like its file (earlier versions' spares) may still finish a
            // file that a cut of its version left part-written, never override one.
            const bool counts = !m_copy.exists ? !ScPkcs15Rules(*s.header).empty()
                                               : maker == SCPkcs15SpareMaker::kThisModule ||
                                                     (maker == SCPkcs15SpareMaker::kEarlier &&
                                                      s.kind == SCPkcs15Spare::kWhole && LeftPartWritten(s.records));
            if (!counts) {
                s.kind = SCPkcs15Spare::kForeign;
                Wipe(s.records);
                s.fileRules.clear();
            }
        }
        Wipe(s.octets);
        // The places after a whole spare were not looked at: where it no longer counts, they are.
        if (endedLook && s.kind == SCPkcs15Spare::kForeign && i + 1 < kScPkcs15SpareSlots &&
            !m_copy.slots[i + 1].looked)
            next = i + 1;
        if (s.kind == SCPkcs15Spare::kWhole && (m_copy.spare < 0 || m_copy.slots[m_copy.spare].kind != s.kind))
            m_copy.spare = i;
        else if (s.kind == SCPkcs15Spare::kCut && m_copy.spare < 0)
            m_copy.spare = i;
    }
    return next;
}

bool SCPkcs15RecordFile::LeftPartWritten(const std::vector<uint8_t>& spare) {
    std::vector<SCPkcs15Record> recs;
    uint32_t end = 0;
    const std::vector<uint8_t>& b = m_copy.bytes;
    const uint32_t n = static_cast<uint32_t>(b.size());
    // No whole records: cut between the file's creation and its write, or torn.
    if (ScPkcs15FrameRecords(b.data(), n, n, m_oneRecord, &recs, &end) != 0 || recs.empty()) return true;
    // Written straight through from its start: the file's first octets are the
    // spare's, and what follows them is what the cut left of the old records.
    // Records that all decode are never overridden: whoever may make files in the
    // DF could have made a file like this spare.
    const size_t same = static_cast<size_t>(
        std::mismatch(b.begin(), b.end(), spare.begin(), spare.end()).first - b.begin());
    // At least the tag and length octets of its first record: the first command was sent.
    if (spare.size() < 2 || same < 2u + (spare[1] & 0x80 ? spare[1] & 0x7Fu : 0u)) return false;
    for (const SCPkcs15Record& r : recs)
        if (r.at + r.len > same) return !m_owner.RecordsDecode(b.data() + r.at, end - r.at);
    return false;
}

SCRESULT SCPkcs15RecordFile::ReadFile(const SCPath& full) {
    SCCard* card = Card();
    SCFileHeader*& h = m_owner.m_pFileHeader;
    SCFileHeader::SafeRelease(h);
    h = nullptr;
    SCRESULT r = card->SelectPath(full.Ids(), full.Count(), &h);
    if (r < 0) return r;
    if (h) {
        const uint32_t ft = h->GetFileType();
        if (ft == 1) return SC_E_NOT_FILE;
        if (ft != 0 && ft != 2) return SC_E_INVALID_FILE_TYPE;
    }
    const uint32_t size = h ? std::min<uint32_t>(h->GetFileSize(), kMostSize) : kMostSize;
    std::vector<uint8_t>& bytes = m_copy.bytes;
    bytes.clear();
    if (!m_oneRecord) {
        // Records may stand anywhere up to the file's end: the file is read whole.
        bytes.resize(size);
        const SCRESULT got = size ? card->ReadBinary(0, bytes.data(), size) : 0;
        if (got < 0) return got;
        bytes.resize(std::min<uint32_t>(static_cast<uint32_t>(got), size));
    } else {
        // The one record, in reads that grow: each at least twice the last and what
        // the record still needs.
        uint32_t want = std::min(size, m_firstRead);
        while (bytes.size() < size) {
            const uint32_t at = static_cast<uint32_t>(bytes.size());
            const uint32_t n = std::min(want, size - at);
            bytes.resize(at + n);
            const SCRESULT got = card->ReadBinary(at, bytes.data() + at, n);
            if (got < 0) return got;
            bytes.resize(at + std::min<uint32_t>(static_cast<uint32_t>(got), n));
            if (static_cast<uint32_t>(got) < n) break;  // the card has no more
            uint32_t end = 0;
            const uint32_t need =
                ScPkcs15FrameRecords(bytes.data(), static_cast<uint32_t>(bytes.size()), size, true, nullptr, &end);
            if (need == 0 || need == kScPkcs15Malformed) break;  // the parser reports what is wrong
            want = std::min(kMostRead, std::max(2 * n, need + 16));
        }
    }
    m_copy.exists = true;
    m_copy.size = h ? size : static_cast<uint32_t>(bytes.size());
    return 0;
}

SCRESULT SCPkcs15RecordFile::ReadOnce() {
    Forget();
    SCPath full;
    if (!m_owner.GetFullPathInto(full) || full.Count() < 1) return SC_E_BAD_USAGE;
    const uint64_t serial = HoldSerial();
    SCRESULT r = 0;
    try {
        r = full.Count() > 1 ? ProbeSpares(full, 0) : 0;
        if (r >= 0) r = ReadFile(full);
        // What was found at the spare's places judged by its header beside the
        // file's; a place the look stopped short of is looked at where it must.
        for (int next = 0; (r >= 0 || r == SC_E_FILE_NOT_FOUND) && full.Count() > 1 && next >= 0;) {
            next = JudgeSpares(full);
            if (next >= 0) {
                const SCRESULT p = ProbeSpares(full, next);
                if (p < 0) r = p;
            }
        }
    } catch (const std::bad_alloc&) {
        r = SC_E_NO_MEMORY;
    }
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) {
        Forget();
        return r;
    }
    m_copy.known = true;
    m_copy.serial = serial;
    try {
        Reframe();
    } catch (const std::bad_alloc&) {
        Forget();
        return SC_E_NO_MEMORY;
    }
    SawSpares();
    return 0;
}

void SCPkcs15RecordFile::SawSpares() {
    m_sawWholeSpare = WholeSpareStands();
    m_sawDeadSpare = false;
    for (const Slot& s : m_copy.slots) m_sawDeadSpare = m_sawDeadSpare || s.kind == SCPkcs15Spare::kCut;
}

SCRESULT SCPkcs15RecordFile::Read(std::vector<uint8_t>* out, bool fresh) {
    SCCard* card = Card();
    if (!card) return SC_E_BAD_USAGE;
    SCTransactGuard guard(card);
    if (fresh || !Held()) {
        // Inside a write a reset is taken up and reported (the card's state before
        // it is stale): the file is read again. Outside one it is the caller's to handle.
        SCCardPlannedGuard planned(card);
        SCRESULT r = SC_E_CARD_WAS_RESET;
        for (int i = 0; i < kMostAttempts && r == SC_E_CARD_WAS_RESET; ++i) {
            r = ReadOnce();
            if (!card->InWrite()) break;
        }
        if (r < 0) return r;
    }
    const bool spare = WholeSpareStands();
    if (!m_copy.exists && !spare) return SC_E_FILE_NOT_FOUND;
    // The records of the file as read (a record that stands twice, as a move that a
    // cut broke off leaves it, once), or a whole spare's records in their place;
    // octets that are no records as they are (the parser refuses them).
    const std::vector<uint8_t>& d = spare || m_copy.framed ? m_copy.seen : m_copy.bytes;
    if (out) {
        try {
            *out = d;
        } catch (const std::bad_alloc&) {
            return SC_E_NO_MEMORY;
        }
    }
    return static_cast<SCRESULT>(d.size());
}

SCRESULT SCPkcs15RecordFile::Hold() {
    if (Held()) return 0;
    const SCRESULT r = Read(nullptr, true);
    return r < 0 ? r : 0;
}

SCRESULT SCPkcs15RecordFile::SelectFile() {
    SCPath full;
    if (!m_owner.GetFullPathInto(full)) return SC_E_BAD_USAGE;
    SCFileHeader*& h = m_owner.m_pFileHeader;
    SCFileHeader::SafeRelease(h);
    h = nullptr;
    return Card()->SelectPath(full.Ids(), full.Count(), &h);
}

template <class F>
SCRESULT SCPkcs15RecordFile::InDf(F op) {
    SCPath full;
    if (!m_owner.GetFullPathInto(full) || full.Count() < 2) return SC_E_BAD_USAGE;
    const SCPath df(full.Ids(), full.Count() - 1);
    SCRESULT r = Card()->SelectPath(df.Ids(), df.Count(), nullptr);
    if (r >= 0) r = op();
    if (r != SC_E_ACCESS_DENIED || !m_owner.ReverifyPossible() || m_owner.Reverify(nullptr) < 0) return r;
    r = Card()->SelectPath(df.Ids(), df.Count(), nullptr);
    return r >= 0 ? op() : r;
}

SCPkcs15WriteOutcome SCPkcs15RecordFile::Write(const uint8_t* data, uint32_t len, bool mayCreate) {
    SCPkcs15WriteOutcome out;
    SCCard* card = Card();
    if (!card || (!data && len)) {
        out.result = SC_E_BAD_USAGE;
        return out;
    }
    SCTransactGuard guard(card);
    SCCardPlannedGuard planned(card);
    std::vector<uint8_t> want, base;
    bool reverified = false;
    m_plannedTo.clear();
    try {
        want.assign(data, data + len);
        SCRESULT r = Hold();
        if (r == SC_E_ACCESS_DENIED && m_owner.ReverifyPossible()) {
            // The card forgot the PIN that opens the file: verified again once.
            reverified = true;
            r = m_owner.Reverify(nullptr);
            if (r >= 0) r = Hold();
        }
        if (r < 0 && r != SC_E_FILE_NOT_FOUND) {
            out.result = r;
            return out;
        }
        base = m_copy.seen;
    } catch (const std::bad_alloc&) {
        out.result = SC_E_NO_MEMORY;
        return out;
    }
    for (int attempt = 0;;) {
        out = WriteOnce(want, mayCreate);
        if (out.result >= 0) return out;
        if (out.result == SC_E_ACCESS_DENIED && out.cardUnchanged && !reverified && m_owner.m_pPkcs15App) {
            // Refused for want of the PIN (the card forgot it): verified again once.
            reverified = true;
            const SCRESULT v = m_owner.Reverify(nullptr);
            if (v < 0) {
                out.result = v;
                return out;
            }
            continue;
        }
        if (out.result != SC_E_CARD_WAS_RESET || ++attempt >= kMostAttempts || !card->InWrite()) break;
        // Reset by another application, which may have written since: the write
        // goes on from what the card holds now, never from the copy read before.
        try {
            const std::vector<uint8_t> known = m_copy.seen;
            std::vector<uint8_t> merged;
            const SCRESULT r = Read(nullptr, true);
            if (r < 0 && r != SC_E_FILE_NOT_FOUND) {
                out.result = r;
                out.cardUnchanged = known == base;
                break;
            }
            if (!ScPkcs15MergeRecords(known, want, m_copy.seen, &merged)) {
                // The other application changed or removed what this write changes.
                out.result = SC_E_PKCS15_INVALID_HANDLE;
                out.cardUnchanged = known == base;
                break;
            }
            // Where nobody else wrote, the write ends as planned, octet for octet.
            if (merged != want || m_copy.seen != known) m_plannedTo.clear();
            want.swap(merged);
        } catch (const std::bad_alloc&) {
            out.result = SC_E_NO_MEMORY;
            out.cardUnchanged = false;
            break;
        }
    }
    // What the card holds now is read afresh by the next step.
    Forget();
    return out;
}

SCPkcs15WriteOutcome SCPkcs15RecordFile::WriteOnce(const std::vector<uint8_t>& records, bool mayCreate) {
    SCPkcs15WriteOutcome out;
    m_undo.kind = Change::kNone;
    SCRESULT r = Hold();
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) {
        out.result = r;
        return out;
    }
    try {
        // Spares of this file that were never whole go; a growth a cut left is
        // finished first, as a write of its own: the records a reader finds stay
        // the same, and this write then starts from them.
        r = DeleteDeadSpares();
        if (r >= 0 && WholeSpareStands())
            r = TakeUpSpare();
        if (r < 0) {
            out.result = r;
            return out;
        }
        if (!m_copy.exists) {
            if (!mayCreate) {
                out.result = SC_E_FILE_NOT_FOUND;
                return out;
            }
            return Create(records);
        }
        // The records the card holds already: nothing to write (unless a write a
        // reset broke off has filler still to put in place). Records that stay keep
        // their places.
        std::vector<uint8_t> ordered;
        if (m_copy.framed && !m_oneRecord)
            ScPkcs15KeepOrder(m_copy.seen, records, &ordered);
        else
            ordered = records;
        if (m_copy.framed && ordered == m_copy.seen && m_plannedTo.empty()) return out;
        if (ordered.size() <= m_copy.size) return InPlace(ordered);
        return Grow(ordered);
    } catch (const std::bad_alloc&) {
        out.result = SC_E_NO_MEMORY;
        out.cardUnchanged = false;
        return out;
    }
}

SCRESULT SCPkcs15RecordFile::UpdateInSteps(const uint8_t* from, const uint8_t* to, uint32_t len) {
    std::vector<SCPkcs15WriteStep> steps;
    (void)ScPkcs15PlanRewrite(from, to, len, m_owner.CommandLength(), &steps);
    return SendSteps(steps);
}

SCRESULT SCPkcs15RecordFile::SendSteps(const std::vector<SCPkcs15WriteStep>& steps) {
    SCRESULT r = 0;
    for (const SCPkcs15WriteStep& step : steps) {
        r = Card()->UpdateBinary(step.offset, step.data.data(), static_cast<uint32_t>(step.data.size()));
        if (r < 0) break;
        // The copy follows the card command by command.
        if (m_copy.bytes.size() < step.offset + step.data.size()) m_copy.bytes.resize(step.offset + step.data.size());
        std::copy(step.data.begin(), step.data.end(), m_copy.bytes.begin() + step.offset);
    }
    Reframe();
    return r < 0 ? r : 0;
}

SCRESULT SCPkcs15RecordFile::ReadUpTo(uint32_t n) {
    // What a write goes over is known first (a file of one record was read to its
    // record's end): a file the card will not let be read is not written.
    const uint32_t have = static_cast<uint32_t>(m_copy.bytes.size());
    if (have >= n) return 0;
    m_copy.bytes.resize(n);
    const SCRESULT got = Card()->ReadBinary(have, m_copy.bytes.data() + have, n - have);
    if (got >= 0 && static_cast<uint32_t>(got) == n - have) return 0;
    m_copy.bytes.resize(have);
    return got < 0 ? got : SC_E_INCONSISTENT_DATA;
}

SCPkcs15WriteOutcome SCPkcs15RecordFile::InPlace(const std::vector<uint8_t>& records) {
    SCPkcs15WriteOutcome out;
    const uint32_t len = static_cast<uint32_t>(records.size());
    const uint32_t size = m_copy.size;
    const uint32_t have = static_cast<uint32_t>(m_copy.bytes.size());
    uint32_t oldEnd = 0;
    if (!m_copy.framed || ScPkcs15FrameRecords(m_copy.bytes.data(), have, have, m_oneRecord, nullptr, &oldEnd) != 0)
        oldEnd = have;
    // A cleared element a cut left after the records is no record, but what it
    // holds is overwritten with the rest: a record written over its header would
    // otherwise leave its octets bare.
    for (uint32_t p = oldEnd; p < have;) {
        uint32_t e = 0;
        if (ScPkcs15IsFiller(m_copy.bytes[p])) {
            ++p;
        } else if (ScPkcs15ElementEnd(m_copy.bytes.data(), have, p, &e) == 1) {
            p = oldEnd = e;
        } else {
            oldEnd = have;
            break;
        }
    }
    // What is written: the records, filler after them where the file has room,
    // and filler over what the old records took; filler beyond stays as it is.
    // A file read whole is planned whole: its free room may hold a record on its way.
    const uint32_t span = have >= size ? size : std::min(size, std::max(oldEnd, len + 1));
    SCRESULT r = SelectFile();
    if (r >= 0) r = ReadUpTo(span);
    if (r < 0) {
        out.result = r;
        return out;
    }
    std::vector<uint8_t> from(m_copy.bytes.begin(), m_copy.bytes.begin() + span), to(span);
    if (len) std::memcpy(to.data(), records.data(), len);
    for (uint32_t i = len; i < span; ++i) to[i] = i == len || !ScPkcs15IsFiller(from[i]) ? kEnd : from[i];
    // What the file held before this write (put back should it fail).
    std::vector<uint8_t> before = from;
    if (!m_plannedTo.empty() && m_plannedTo.size() <= have && m_plannedTo.size() >= len &&
        std::equal(records.begin(), records.end(), m_plannedTo.begin())) {
        // Going on with a write a reset broke off (nobody wrote since): the octets it planned.
        to = m_plannedTo;
        before = m_plannedFrom;
        from.assign(m_copy.bytes.begin(), m_copy.bytes.begin() + to.size());
    }
    m_plannedTo = to;
    m_plannedFrom = before;
    if (from == to) return out;
    const uint32_t n = static_cast<uint32_t>(to.size());
    bool standing = false;
    r = Rewrite(from, to, &standing);
    if (r >= 0) {
        m_undo.kind = Change::kInPlace;
        m_undo.serial = m_copy.serial;
        m_undo.bytes.swap(before);
        return out;
    }
    out.result = r;
    // A spare of the new records that stands in the file's place: the card holds the write.
    if (standing) {
        out.cardUnchanged = false;
        return out;
    }
    out.cardUnchanged = std::equal(before.begin(), before.end(), m_copy.bytes.begin());
    // A command that met a reset never reached the card: the copy is what it holds.
    if (r == SC_E_CARD_WAS_RESET || out.cardUnchanged) return out;
    // What the card took before it failed is put back the same way, from what it holds now.
    std::vector<uint8_t> now(n);
    if (SelectFile() >= 0 && Card()->ReadBinary(0, now.data(), n) == static_cast<SCRESULT>(n)) {
        std::copy(now.begin(), now.end(), m_copy.bytes.begin());
        out.cardUnchanged = UpdateInSteps(now.data(), before.data(), n) >= 0;
    }
    Wipe(now);
    return out;
}

SCPkcs15WriteOutcome SCPkcs15RecordFile::Create(const std::vector<uint8_t>& records) {
    SCPkcs15WriteOutcome out;
    SCPkcs15PathObjectInfo& o = m_owner;
    const uint32_t len = static_cast<uint32_t>(records.size());
    if (o.m_accessTemplate == SCPkcs15PathObjectInfo::ACCESS_TEMPLATE_UNSET || !o.m_createRefs.HasUserPinRef()) {
        out.result = SC_E_BAD_USAGE;
        return out;
    }
    if (len > kMostSize) {
        out.result = SC_E_TOO_MUCH_DATA;
        return out;
    }
    SCPath path;
    if (!o.GetFullPathInto(path)) {
        out.result = SC_E_BAD_USAGE;
        return out;
    }
    const uint16_t fid = path[path.Count() - 1];
    // Made with room for records to come; none is made for no records.
    const uint32_t size = std::max(len, m_createRoom);
    std::vector<uint8_t> contents(records);
    if (size > len) contents.push_back(kEnd);
    SCFileHeader*& h = o.m_pFileHeader;
    SCRESULT r = InDf([&]() {
        SCFileHeader::SafeRelease(h);
        h = nullptr;
        return Card()->CreateFile(size, fid, o.m_lifeCycleState, o.m_accessTemplate, o.m_createRefs, &h);
    });
    if (r < 0) {
        out.result = r;
        out.mustGrow = IsNoRoom(r);
        return out;
    }
    r = Card()->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size()));
    if (r < 0) {
        // Made by this call: taken away again, rather than left half written.
        out.result = r;
        out.cardUnchanged = InDf([&]() { return Card()->DeleteFile(fid); }) >= 0;
        SCFileHeader::SafeRelease(h);
        h = nullptr;
        Forget();
        return out;
    }
    m_copy.exists = true;
    m_copy.size = size;
    m_copy.bytes.swap(contents);
    Reframe();
    m_undo.kind = Change::kMade;
    m_undo.serial = m_copy.serial;
    return out;
}

SCRESULT SCPkcs15RecordFile::MayGrow(uint32_t len, const SCValueSet& conditions, bool* noRoom, bool* rewrite) {
    if (noRoom) *noRoom = false;
    const bool inPlace = rewrite != nullptr;
    if (rewrite) *rewrite = false;
    SCPkcs15PathObjectInfo& o = m_owner;
    // A file of the card's issuer in every place a spare may take: no growth.
    if (!o.m_pFileHeader || (m_copy.free < 0 && m_copy.spare < 0)) return 0;
    SCPath full;
    if (!o.GetFullPathInto(full) || full.Count() < 2) return 0;
    const auto passes = [&](const SCAccessRequest& q) {
        if (q.refs.Contains(0)) return true;
        for (int32_t i = 0; i < conditions.Count(); ++i)
            if (q.refs.Contains(conditions.At(i))) return true;
        return false;
    };
    // The PINs this write holds must delete the file (by its own rule, which the
    // card asks) and make files in its DF. A spare of a file rewritten in place
    // needs no more than the rule that updates the file, which is then its own
    // rule of deletion.
    SCAccessRequest asked[2];
    asked[0].operation = SC_AC_OP_DELETE;
    asked[1].operation = SC_AC_OP_UPDATE;
    SCFileHeader* cached[1] = {o.m_pFileHeader};
    SCRESULT r =
        Card()->GetAccessRules(full.Ids(), full.Count(), asked, inPlace ? 2 : 1, cached, 1, true, &o.m_createRefs);
    o.m_pFileHeader = cached[0];
    // Where the card shows no rules, no spare could be given any: none is made.
    if (r == SC_E_UNSUPPORTED_FEATURE) return 0;
    if (r < 0) return r;
    std::vector<uint8_t> spareRules;  // only whether the file's rules can be read so
    if (!passes(asked[0])) {
        if (!inPlace || !passes(asked[1]) || !ScPkcs15SpareRules(ScPkcs15Rules(*o.m_pFileHeader), &spareRules))
            return 0;
        *rewrite = true;
    }
    SCAccessRequest create;
    create.operation = SC_AC_OP_CREATE_EF;
    SCFileHeader* dfCached[1] = {nullptr};
    r = Card()->GetAccessRules(full.Ids(), full.Count() - 1, &create, 1, dfCached, 1, true, &o.m_createRefs);
    Header dfHeld(dfCached[0], SCFileHeader::SafeRelease);
    const SCFileHeader* df = dfCached[0];
    if (r == SC_E_UNSUPPORTED_FEATURE) return 0;
    if (r < 0) return r;
    if (!passes(create)) return 0;
    // Memory for the spare and the larger file, where the DF's header tells what is free.
    const uint32_t old = o.m_pFileHeader->GetFileSize();
    const uint32_t need = len + 64 + (len > old ? len - old : 0);
    if (df && df->GetFreeSpace() > 0 && df->GetFreeSpace() < need) {
        if (noRoom) *noRoom = true;
        return 0;
    }
    return 1;
}

SCPkcs15WriteOutcome SCPkcs15RecordFile::Grow(const std::vector<uint8_t>& records) {
    SCPkcs15WriteOutcome out;
    const uint32_t len = static_cast<uint32_t>(records.size());
    SCValueSet conditions;
    m_owner.GrowthConditions(&conditions);
    SCRESULT r = len > kMostSize ? 0 : MayGrow(len, conditions, nullptr);
    if (r <= 0) {
        out.result = r < 0 ? r : SC_E_FILE_TOO_SMALL;
        out.mustGrow = r == 0;
        return out;
    }
    // The old file whole, to be made again as it was should the growth fail.
    if (m_copy.bytes.size() < m_copy.size) {
        r = SelectFile();
        if (r >= 0) r = ReadUpTo(m_copy.size);
        if (r < 0) {
            out.result = r;
            return out;
        }
    }
    const int slot = m_copy.free >= 0 ? m_copy.free : m_copy.spare;
    const std::vector<uint8_t> before(m_copy.bytes);
    Header like(m_owner.m_pFileHeader, SCFileHeader::SafeRelease);
    m_owner.m_pFileHeader = nullptr;
    bool committed = false;
    r = ReplaceThroughSpare(*like, slot, records, GrownSize(len), records, before, &committed);
    if (r >= 0) {
        m_undo.kind = Change::kGrown;
        m_undo.serial = m_copy.serial;
        m_undo.bytes = before;
        return out;
    }
    out.result = r;
    out.cardUnchanged = !committed;
    out.mustGrow = !committed && r == SC_E_FILE_TOO_SMALL;
    return out;
}

SCRESULT SCPkcs15RecordFile::MakeSpare(const SCFileHeader& like, int slot, const std::vector<uint8_t>& records,
                                       bool ownRules) {
    SCPath full, sparePath;
    std::vector<uint8_t> spare, rules;
    if (!m_owner.GetFullPathInto(full) || SparePath(slot, &sparePath) < 0) return SC_E_BAD_USAGE;
    if (ownRules && !ScPkcs15SpareRules(ScPkcs15Rules(like), &rules)) return SC_E_FILE_TOO_SMALL;
    if (!ScPkcs15SpareContents(full, records.data(), static_cast<uint32_t>(records.size()), &spare))
        return SC_E_NO_MEMORY;
    const uint16_t spareFid = sparePath[sparePath.Count() - 1];
    Slot& s = m_copy.slots[slot];
    m_noSpareIn = 0;
    // Made in the spare's own state: a cut before its first write leaves a file
    // that the next write knows for this module's and takes away.
    SCFileHeader model;
    const bool remodelled = ScPkcs15WithState(like, kScPkcs15SpareState, &model, ownRules ? &rules : nullptr);
    if (!remodelled && ownRules) return SC_E_FILE_TOO_SMALL;
    const SCFileHeader& made = remodelled ? model : like;
    SCRESULT r = InDf([&]() {
        SCFileHeader::SafeRelease(s.header);
        s.header = nullptr;
        return Card()->CreateFileLike(made, spareFid, static_cast<uint32_t>(spare.size()), &s.header);
    });
    // A card whose files cannot be made again larger, or that has no room for the spare.
    if (r == SC_E_UNIMPLEMENTED_FEATURE || r == SC_E_UNSUPPORTED_FEATURE || IsNoRoom(r)) return SC_E_FILE_TOO_SMALL;
    if (r < 0) return r;
    s.kind = SCPkcs15Spare::kCut;
    m_copy.spare = slot;
    if (m_copy.free == slot) m_copy.free = -1;
    // The new spare is the file selected: its last write commits.
    r = Card()->UpdateBinaryFromStart(spare.data(), static_cast<uint32_t>(spare.size()));
    if (r < 0) {
        // Made by this call and never written: taken away again. After a reset another
        // application may have done that and made a spare of its own there: the next
        // reading tells which it is.
        if (r != SC_E_CARD_WAS_RESET) (void)DeleteSpare(slot);
        return r;
    }
    s.kind = SCPkcs15Spare::kWhole;
    s.records = records;
    s.fileRules.clear();
    Reframe();
    return 0;
}

SCRESULT SCPkcs15RecordFile::Rewrite(const std::vector<uint8_t>& from, const std::vector<uint8_t>& to,
                                     bool* standing) {
    *standing = false;
    const uint32_t n = static_cast<uint32_t>(to.size());
    const uint32_t part = m_owner.CommandLength();
    std::vector<SCPkcs15WriteStep> steps;
    std::vector<uint8_t> records;
    // One command changes the file at once, whatever it holds.
    if (ScPkcs15PlanRewrite(from.data(), to.data(), n, part, &steps) || steps.size() < 2 ||
        !ScPkcs15PackedRecords(to.data(), n, &records))
        return SendSteps(steps);
    // Records that only go or only come, the others moving where they go, each
    // step leaving whole records: as they are where none stands twice meanwhile.
    std::vector<SCPkcs15WriteStep> packing;
    bool twice = false;
    const bool packs = ScPkcs15PlanPacking(from.data(), to.data(), n, part, &packing, &twice);
    if (packs && !twice) return SendSteps(packing);
    // A record that changes, in its own place first (the file as this module reads
    // it), then the others packed up behind it where they can move.
    std::vector<SCPkcs15WriteStep> inPlace, after;
    bool twiceAfter = false;
    const bool placed = ScPkcs15PlanInPlace(from.data(), to.data(), n, part, &inPlace);
    if (placed) {
        std::vector<uint8_t> mid(from);
        for (const SCPkcs15WriteStep& st : inPlace) std::copy(st.data.begin(), st.data.end(), mid.begin() + st.offset);
        if (ScPkcs15PlanPacking(mid.data(), to.data(), n, part, &after, &twiceAfter) && !twiceAfter) {
            inPlace.insert(inPlace.end(), after.begin(), after.end());
            return SendSteps(inPlace);
        }
    }
    // No order of single commands keeps the records whole and once each (a record
    // longer than one command, say): the new records stand in a spare while the
    // file is written straight through, where the card's rules and memory allow
    // one (where the PINs held may update the file but not delete it, a spare that
    // they may delete).
    SCValueSet conditions;
    m_owner.GrowthConditions(&conditions);
    const int slot = m_copy.free >= 0 ? m_copy.free : m_copy.spare;
    bool ownRules = false;
    const SCRESULT may =
        slot < 0 ? 0 : MayGrow(static_cast<uint32_t>(records.size()), conditions, nullptr, &ownRules);
    if (may < 0) return may;
    SCRESULT r = 0;
    if (may == 1 && m_owner.m_pFileHeader) {
        // The file's header becomes the spare's model; the file is selected again after.
        Header like(m_owner.m_pFileHeader, SCFileHeader::SafeRelease);
        m_owner.m_pFileHeader = nullptr;
        r = MakeSpare(*like, slot, records, ownRules);
        if (r >= 0) {
            r = SelectFile();
            if (r >= 0) r = SendSteps(steps);
            if (r >= 0) r = DeleteSpare(slot);
            if (r >= 0) return 0;
            // Reset: the next reading finds the whole spare and finishes what this began.
            *standing = true;
            if (r == SC_E_CARD_WAS_RESET) return r;
            // Back as it was, then the spare gone (while it stands, readers find the new records).
            std::vector<uint8_t> now(n);
            if (SelectFile() >= 0 && Card()->ReadBinary(0, now.data(), n) == static_cast<SCRESULT>(n)) {
                std::copy(now.begin(), now.end(), m_copy.bytes.begin());
                if (UpdateInSteps(now.data(), from.data(), n) >= 0 && DeleteSpare(slot) >= 0) *standing = false;
            }
            return r;
        }
        if (r != SC_E_FILE_TOO_SMALL) return r;
    }
    // Without a spare, a record longer than one command moves by standing twice a
    // while (this module's readers take it once). Where no free room takes it on
    // its way, the records stay where they stand: those that go are cleared, those
    // that come go to free room, one that changes into its old place, and the file
    // is packed by a later write that can. A write that cannot be done so (a
    // record that changes and does not fit its place in one command) is refused,
    // nothing sent: never written straight through, which a cut would tear.
    if (packs) {
        steps.swap(packing);
    } else if (placed) {
        // With the others packed behind it where that plan stands (a record twice a while).
        steps.swap(inPlace);
        if (twiceAfter) steps.insert(steps.end(), after.begin(), after.end());
    } else {
        return SC_E_FILE_TOO_SMALL;
    }
    r = SelectFile();
    return r < 0 ? r : SendSteps(steps);
}

SCRESULT SCPkcs15RecordFile::ReplaceThroughSpare(const SCFileHeader& like, int slot,
                                                 const std::vector<uint8_t>& records, uint32_t size,
                                                 const std::vector<uint8_t>& contents,
                                                 const std::vector<uint8_t>& back, bool* committed) {
    *committed = false;
    SCRESULT r = MakeSpare(like, slot, records);
    if (r < 0) return r;
    *committed = true;
    // The file made again, then the spare gone: the spare stands in its place all the while.
    r = RemakeFile(like, size, contents, m_copy.exists);
    if (r >= 0) r = DeleteSpare(slot);
    if (r >= 0) return 0;
    // Reset: the next reading finds the whole spare and finishes what this began.
    if (r == SC_E_CARD_WAS_RESET) return r;
    // Back as it was: the old file made again whole, then the spare gone.
    if (RemakeFile(like, static_cast<uint32_t>(back.size()), back, m_copy.exists) >= 0 && DeleteSpare(slot) >= 0) {
        *committed = false;
        if (IsNoRoom(r)) return SC_E_FILE_TOO_SMALL;
    }
    return r;
}

SCRESULT SCPkcs15RecordFile::RemakeFile(const SCFileHeader& like, uint32_t size, const std::vector<uint8_t>& data,
                                        bool exists) {
    SCPath path;
    if (!m_owner.GetFullPathInto(path)) return SC_E_BAD_USAGE;
    const uint16_t fid = path[path.Count() - 1];
    const uint32_t len = static_cast<uint32_t>(data.size());
    SCFileHeader*& h = m_owner.m_pFileHeader;
    // A file made like its spare takes the ordinary state, not the spare's.
    SCFileHeader model;
    const SCFileHeader& made =
        like.GetLifeCycleByte() == kScPkcs15SpareState && ScPkcs15WithState(like, 0x05, &model) ? model : like;
    SCRESULT r = 0;
    if (exists) {
        r = InDf([&]() { return Card()->DeleteFile(fid); });
        if (r == SC_E_FILE_NOT_FOUND) r = 0;
        if (r < 0) return r;
        m_copy.exists = false;
        Wipe(m_copy.bytes);
        m_copy.size = 0;
        Reframe();
    }
    // With room where the card has it, else as long as the records.
    for (uint32_t s : {size, len}) {
        r = InDf([&]() {
            SCFileHeader::SafeRelease(h);
            h = nullptr;
            return Card()->CreateFileLike(made, fid, s, &h);
        });
        size = s;
        if (!IsNoRoom(r) || s == len) break;
    }
    if (r < 0) return r;
    m_copy.exists = true;
    m_copy.size = size;
    m_copy.bytes.assign(size, 0);
    std::vector<uint8_t> contents(data);
    if (size > len) contents.push_back(kEnd);
    // The new file is the one selected.
    r = Card()->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size()));
    if (r < 0) return r;
    std::copy(contents.begin(), contents.end(), m_copy.bytes.begin());
    m_copy.bytes.resize(contents.size());
    Reframe();
    return 0;
}

SCRESULT SCPkcs15RecordFile::DeleteSpare(int slot) {
    SCPath path;
    SCRESULT r = SparePath(slot, &path);
    if (r < 0) return r;
    const uint16_t fid = path[path.Count() - 1];
    r = InDf([&]() { return Card()->DeleteFile(fid); });
    if (r == SC_E_FILE_NOT_FOUND) r = 0;
    if (r < 0) return r;
    Slot& s = m_copy.slots[slot];
    SCFileHeader::SafeRelease(s.header);
    s.header = nullptr;
    s.kind = SCPkcs15Spare::kNone;
    Wipe(s.records);
    s.fileRules.clear();
    if (m_copy.spare == slot) m_copy.spare = -1;
    if (m_copy.free < 0 || slot < m_copy.free) m_copy.free = slot;
    Reframe();
    return 0;
}

SCRESULT SCPkcs15RecordFile::DeleteDeadSpares() {
    for (int i = 0; i < kScPkcs15SpareSlots; ++i) {
        if (m_copy.slots[i].kind != SCPkcs15Spare::kCut) continue;
        const SCRESULT r = DeleteSpare(i);
        if (r == SC_E_ACCESS_DENIED) {
            // The PINs of this call may not delete it: it keeps its place until a call whose may.
            m_copy.slots[i].kind = SCPkcs15Spare::kForeign;
            if (m_copy.spare == i) m_copy.spare = -1;
            continue;
        }
        if (r < 0) return r;
    }
    m_sawDeadSpare = false;
    return 0;
}

SCRESULT SCPkcs15RecordFile::TakeUpSpare() {
    const int slot = m_copy.spare;
    const std::vector<uint8_t> records = m_copy.slots[slot].records;
    const uint32_t len = static_cast<uint32_t>(records.size());
    const bool existed = m_copy.exists;
    SCRESULT r = 0;
    if (existed && m_copy.bytes.size() < m_copy.size) {
        r = SelectFile();
        if (r >= 0) r = ReadUpTo(m_copy.size);
        if (r < 0) return r;
    }
    // The file as it was, put back should the take-up fail: the spare goes on
    // standing in its place, and the card is as before.
    const uint32_t oldSize = m_copy.size;
    const std::vector<uint8_t> old(m_copy.bytes);
    const bool inPlace = existed && oldSize >= len;
    Header like(nullptr, SCFileHeader::SafeRelease);
    if (inPlace) {
        // The file has room: the records written in it.
        std::vector<uint8_t> to(oldSize, kEnd);
        std::copy(records.begin(), records.end(), to.begin());
        for (uint32_t i = len + 1; i < oldSize; ++i)
            if (ScPkcs15IsFiller(old[i])) to[i] = old[i];
        r = SelectFile();
        if (r >= 0 && old != to) r = UpdateInSteps(old.data(), to.data(), oldSize);
    } else {
        // Made again (or anew) with the rules it had, else with its spare's.
        if (existed && m_owner.m_pFileHeader) {
            like.reset(m_owner.m_pFileHeader);
            m_owner.m_pFileHeader = nullptr;
        } else {
            // The file gone: made again with the rules the card enforced on the spare
            // (the rule that updates it also deletes it, where the spare's were made
            // so). Rules a spare's mark carries narrow those, never widen them.
            like.reset(m_copy.slots[slot].header);
            m_copy.slots[slot].header = nullptr;
            const std::vector<uint8_t>& claimed = m_copy.slots[slot].fileRules;
            SCFileHeader model;
            if (like && !claimed.empty()) {
                const std::vector<uint8_t> rules = ScPkcs15BoundedRules(claimed, ScPkcs15Rules(*like));
                if (!ScPkcs15WithState(*like, 0x05, &model, &rules)) return SC_E_UNSUPPORTED_FEATURE;
                like.reset(new SCFileHeader(model));
            }
        }
        if (!like) return SC_E_UNSUPPORTED_FEATURE;
        r = RemakeFile(*like, GrownSize(len), records, existed);
    }
    // Gone, the spare leaves the file with the records: the committing step.
    if (r >= 0) r = DeleteSpare(slot);
    if (r >= 0) {
        m_sawWholeSpare = false;
        return r;
    }
    if (r == SC_E_CARD_WAS_RESET) return r;
    SCPath path;
    if (!m_owner.GetFullPathInto(path)) return r;
    const uint16_t fid = path[path.Count() - 1];
    if (inPlace) {
        if (SelectFile() >= 0 && ReadUpTo(oldSize) >= 0) {
            const std::vector<uint8_t> now(m_copy.bytes.begin(), m_copy.bytes.begin() + oldSize);
            (void)UpdateInSteps(now.data(), old.data(), oldSize);
        }
    } else if (!existed) {
        if (InDf([&]() { return Card()->DeleteFile(fid); }) >= 0) {
            m_copy.exists = false;
            Wipe(m_copy.bytes);
            Reframe();
        }
    } else if (like) {
        (void)RemakeFile(*like, oldSize, old, m_copy.exists);
    }
    return r;
}

SCRESULT SCPkcs15RecordFile::FinishCutGrowth() {
    SCCard* card = Card();
    if (!card) return SC_E_BAD_USAGE;
    SCTransactGuard guard(card);
    SCCardPlannedGuard planned(card);
    SCRESULT r = 0;
    for (int attempt = 0; attempt < kMostAttempts; ++attempt) {
        r = Hold();
        if (r == SC_E_FILE_NOT_FOUND) r = 0;
        if (r < 0) break;
        try {
            // Spares that were never whole go first: their room may be what the growth needs.
            r = DeleteDeadSpares();
            if (r >= 0 && WholeSpareStands())
                r = TakeUpSpare();
        } catch (const std::bad_alloc&) {
            r = SC_E_NO_MEMORY;
        }
        if (r >= 0) {
            m_sawWholeSpare = false;
            return r;
        }
        // Read again: a reset breaks off no more than a cut does.
        Forget();
        if (r != SC_E_CARD_WAS_RESET || !card->InWrite()) break;
    }
    Forget();
    return r;
}

SCRESULT SCPkcs15RecordFile::Undo() {
    SCCard* card = Card();
    if (!card || m_undo.kind == Change::kNone) return SC_E_BAD_USAGE;
    const SCReader* reader = card->GetReader();
    if (!reader || !reader->StillHeld(m_undo.serial) || !Held()) return SC_E_BAD_USAGE;
    SCTransactGuard guard(card);
    SCCardPlannedGuard planned(card);
    Change undo;
    std::swap(undo, m_undo);
    SCRESULT r = UndoChange(undo);
    // An error answer is tried once more where the walk back starts from what the
    // copy says the card holds: what the call wrote would otherwise stay.
    if (undo.kind != Change::kGrown && MayTryAgain(r)) r = UndoChange(undo);
    return r;
}

SCRESULT SCPkcs15RecordFile::UndoChange(const Change& undo) {
    SCCard* card = Card();
    SCPath path;
    if (!m_owner.GetFullPathInto(path)) return SC_E_BAD_USAGE;
    const uint16_t fid = path[path.Count() - 1];
    SCRESULT r = 0;
    try {
        if (undo.kind == Change::kMade) {
            r = InDf([&]() { return card->DeleteFile(fid); });
            if (r >= 0) {
                m_copy.exists = false;
                Wipe(m_copy.bytes);
                m_copy.size = 0;
                Reframe();
            }
            return r;
        }
        if (!m_copy.exists) return SC_E_BAD_USAGE;
        r = SelectFile();
        if (r < 0 || !m_owner.m_pFileHeader) return r < 0 ? r : SC_E_UNSUPPORTED_FEATURE;
        if (undo.kind == Change::kInPlace) {
            const uint32_t span = static_cast<uint32_t>(undo.bytes.size());
            if (m_copy.bytes.size() < span) return SC_E_BAD_USAGE;
            const std::vector<uint8_t> now(m_copy.bytes.begin(), m_copy.bytes.begin() + span);
            bool standing = false;
            return Rewrite(now, undo.bytes, &standing);
        }
        // Grown: made again at its old size, through a spare of the old records
        // (the grown file known whole first, to be made again should that fail).
        r = ReadUpTo(m_copy.size);
        if (r < 0) return r;
        std::vector<uint8_t> records;
        if (!ScPkcs15PackedRecords(undo.bytes.data(), static_cast<uint32_t>(undo.bytes.size()), &records))
            return SC_E_INVALID_DATA_FORMAT;
        const int slot = m_copy.free >= 0 ? m_copy.free : m_copy.spare;
        if (slot < 0) return SC_E_FILE_TOO_SMALL;
        const std::vector<uint8_t> grown(m_copy.bytes);
        Header like(m_owner.m_pFileHeader, SCFileHeader::SafeRelease);
        m_owner.m_pFileHeader = nullptr;
        bool committed = false;
        return ReplaceThroughSpare(*like, slot, records, static_cast<uint32_t>(undo.bytes.size()), undo.bytes, grown,
                                   &committed);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
}

SCRESULT SCPkcs15RecordFile::CanHold(uint32_t len, const SCValueSet& conditions) {
    SCCard* card = Card();
    if (!card) return SC_E_BAD_USAGE;
    SCTransactGuard guard(card);
    SCRESULT r = Hold();
    if (r == SC_E_FILE_NOT_FOUND) return 1;  // made anew, as large as it needs
    if (r < 0) return r;
    if (!m_copy.exists) return 1;
    if (len <= m_copy.size) return 1;
    return MayGrow(len, conditions, nullptr);
}
