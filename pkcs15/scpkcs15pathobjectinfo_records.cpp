// Files of records: the files that describe a token (object directories, the
// ODF, EF.DIR, TokenInfo). They are read from their start up to where their
// records end, and written so that a card pulled between any two commands holds
// the old records or the new ones: in place, one record move per command, and
// where the new records do not fit, through a spare that stands in the file's
// place while the file is deleted and made again larger. A write always starts
// from what the card holds under the same transaction, never from an older copy.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"

namespace {

// Reads of a file of records grow: each takes at least twice the last, and what
// the record under way still needs, up to what one command carries.
constexpr uint32_t kMostRead = 256;
// The end of the records, where the file has room after them.
constexpr uint8_t kEnd = 0xFF;

// Room a grown file gets beyond its records, so that the next records are
// written in place: a quarter more, at least a few records' worth.
uint32_t GrownSize(uint32_t len) {
    const uint32_t size = len + std::max<uint32_t>(len / 4, 128);
    return std::min<uint32_t>(size, 0x7FFF);
}

bool IsNoRoom(SCRESULT r) {
    return r == SC_E_NO_SPACE_ON_CARD || r == SC_E_FILE_TOO_SMALL || r == SC_E_FILE_SIZE_REFUSED;
}

}  // namespace

void SCPkcs15PathObjectInfo::ForgetCopy() {
    m_copy.known = false;
    m_copy.selectedAt = 0;
    m_copy.exists = false;
    m_copy.size = 0;
    std::fill(m_copy.bytes.begin(), m_copy.bytes.end(), 0);
    m_copy.bytes.clear();
    m_copy.spare = SCPkcs15Spare::kNone;
    SCFileHeader::SafeRelease(m_copy.spareHeader);
    m_copy.spareHeader = nullptr;
}

SCRESULT SCPkcs15PathObjectInfo::ReadRecordsData(MemFile* out) {
    if (!out || !out->IsHeap() || !m_pCard) return SC_E_BAD_USAGE;
    // Without the file's size the whole file is read, as any other, and is the copy.
    if (!m_pFileHeader) {
        const SCRESULT got = ReadFileData(out);
        if (got < 0) return got;
        try {
            m_copy.bytes.assign(out->GetData(), out->GetData() + (out->Size() > 0 ? out->Size() : 0));
        } catch (const std::bad_alloc&) {
            return SC_E_NO_MEMORY;
        }
        m_copy.known = true;
        m_copy.serial = m_pCard->GetReader() ? m_pCard->GetReader()->GetHoldSerial() : 0;
        m_copy.exists = true;
        m_copy.size = static_cast<uint32_t>(m_copy.bytes.size());
        return got;
    }
    const uint32_t size = std::min<uint32_t>(m_pFileHeader->GetFileSize(), 0x7FFF);
    std::vector<uint8_t>& bytes = m_copy.bytes;
    bytes.clear();
    uint32_t want = std::min(size, m_firstRead);
    try {
        while (bytes.size() < size) {
            const uint32_t at = static_cast<uint32_t>(bytes.size());
            const uint32_t n = std::min(want, size - at);
            bytes.resize(at + n);
            const SCRESULT got = m_pCard->ReadBinary(at, bytes.data() + at, n);
            if (got < 0) {
                ForgetCopy();
                return got;
            }
            bytes.resize(at + std::min<uint32_t>(static_cast<uint32_t>(got), n));
            if (static_cast<uint32_t>(got) < n) break;  // the card has no more
            uint32_t end = 0;
            const uint32_t need = ScPkcs15RecordsEnd(bytes.data(), static_cast<uint32_t>(bytes.size()), size,
                                                     m_layout == Layout::kOneRecord, &end);
            if (need == 0 || need == kScPkcs15Malformed) break;  // the parser reports what is wrong
            want = std::min(kMostRead, std::max(2 * n, need + 16));
        }
    } catch (const std::bad_alloc&) {
        ForgetCopy();
        return SC_E_NO_MEMORY;
    }
    m_copy.known = true;
    m_copy.serial = m_pCard->GetReader() ? m_pCard->GetReader()->GetHoldSerial() : 0;
    m_copy.exists = true;
    m_copy.size = size;
    m_copy.selectedAt = m_pCard->GetReader() ? m_pCard->GetReader()->GetCommandCount() : 0;
    if (!out->SetLength(bytes.size())) return SC_E_NO_MEMORY;
    if (!bytes.empty()) std::memcpy(out->GetData(), bytes.data(), bytes.size());
    return static_cast<SCRESULT>(bytes.size());
}

SCRESULT SCPkcs15PathObjectInfo::ProbeSpare() {
    ForgetCopy();
    m_spareRecords.clear();
    SCPath full;
    if (!GetFullPathInto(full)) return SC_E_NO_MEMORY;
    SCPath spare(full.Ids(), full.Count() - 1);
    spare.Append(ScPkcs15SpareFid(full[full.Count() - 1]));
    SCFileHeader* header = nullptr;
    SCRESULT r = m_pCard->SelectPath(spare.Ids(), spare.Count(), &header);
    if (r == SC_E_FILE_NOT_FOUND) return 0;
    if (r < 0) return r;
    m_copy.spareHeader = header;
    if (!header || !header->IsTransparentEf()) {
        m_copy.spare = SCPkcs15Spare::kForeign;
        return 0;
    }
    // A spare is read whole: it is as long as its contents.
    const uint32_t size = std::min<uint32_t>(header->GetFileSize(), 0x7FFF);
    std::vector<uint8_t> d(size);
    const SCRESULT got = size ? m_pCard->ReadBinary(0, d.data(), size) : 0;
    if (got < 0) {
        ForgetCopy();
        return got;
    }
    uint32_t at = 0, len = 0;
    m_copy.spare = ScPkcs15ReadSpare(full, d.data(), static_cast<uint32_t>(got), &at, &len);
    if (m_copy.spare == SCPkcs15Spare::kWhole) m_spareRecords.assign(d.begin() + at, d.begin() + at + len);
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::TakeSpare(MemFile* out, SCRESULT res) {
    if (res == SC_E_FILE_NOT_FOUND) {
        m_copy.known = true;
        m_copy.serial = m_pCard->GetReader() ? m_pCard->GetReader()->GetHoldSerial() : 0;
        m_copy.exists = false;
        m_copy.size = 0;
        m_copy.bytes.clear();
    }
    if (m_copy.spare != SCPkcs15Spare::kWhole) return res;
    const uint32_t len = static_cast<uint32_t>(m_spareRecords.size());
    if (!out->SetLength(len)) return SC_E_NO_MEMORY;
    if (len) std::memcpy(out->GetData(), m_spareRecords.data(), len);
    return static_cast<SCRESULT>(len);
}

SCRESULT SCPkcs15PathObjectInfo::HoldCopy() {
    const SCReader* reader = m_pCard->GetReader();
    if (m_copy.known && reader && reader->StillHeld(m_copy.serial)) return m_copy.exists ? 0 : SC_E_FILE_NOT_FOUND;
    // Read as a reader of the token reads it; the object's own state stays as it is.
    const uint32_t flags = m_flags;
    const SCRESULT last = m_lastResult;
    MemFile scratch;
    SCRESULT r = ReadRawContents(&scratch, true);
    m_flags = flags;
    m_lastResult = last;
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (!m_copy.known) return SC_E_NO_MEMORY;
    return m_copy.exists ? 0 : SC_E_FILE_NOT_FOUND;
}

SCRESULT SCPkcs15PathObjectInfo::ReadCurrent(MemFile* out) {
    if (!out || !m_pCard) return SC_E_BAD_USAGE;
    const SCReader* reader = m_pCard->GetReader();
    if (!IsRecordsFile() || !m_copy.known || !reader || !reader->StillHeld(m_copy.serial))
        return ReadRawContents(out, true);
    if (m_copy.spare != SCPkcs15Spare::kWhole && !m_copy.exists) return SC_E_FILE_NOT_FOUND;
    const std::vector<uint8_t>& d = m_copy.spare == SCPkcs15Spare::kWhole ? m_spareRecords : m_copy.bytes;
    if (!out->SetLength(d.size())) return SC_E_NO_MEMORY;
    if (!d.empty()) std::memcpy(out->GetData(), d.data(), d.size());
    m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
    m_flags &= ~FLAG_DIRTY;
    m_lastResult = 0;
    return static_cast<SCRESULT>(d.size());
}

template <class F>
SCRESULT SCPkcs15PathObjectInfo::InDf(F op) {
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() < 2) return SC_E_BAD_USAGE;
    const SCPath df(full.Ids(), full.Count() - 1);
    SCRESULT r = m_pCard->SelectPath(df.Ids(), df.Count(), nullptr);
    if (r >= 0) r = op();
    if (r != SC_E_ACCESS_DENIED || !ReverifyPossible() || Reverify(nullptr) < 0) return r;
    r = m_pCard->SelectPath(df.Ids(), df.Count(), nullptr);
    return r >= 0 ? op() : r;
}

SCRESULT SCPkcs15PathObjectInfo::WriteRecords(const uint8_t* data, uint32_t len) {
    bool reverified = false;
    for (;;) {
        m_failedWriteChangedNothing = false;
        m_mustGrow = false;
        const SCRESULT r = WriteRecordsOnce(data, len);
        if (r >= 0) return r;
        // Whatever the card holds now is read afresh by the next write.
        ForgetCopy();
        if (r == SC_E_ACCESS_DENIED && m_pPkcs15App && !reverified && m_failedWriteChangedNothing) {
            reverified = true;
            const SCRESULT v = Reverify(nullptr);
            if (v < 0) return v;
            continue;
        }
        return r;
    }
}

SCRESULT SCPkcs15PathObjectInfo::WriteRecordsOnce(const uint8_t* data, uint32_t len) {
    m_undo.kind = Undo::kNone;
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_BAD_USAGE;
    const uint16_t* const full = path.Ids();
    const size_t count = path.Count();
    SCRESULT r = HoldCopy();
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) {
        m_failedWriteChangedNothing = true;
        return r;
    }
    if (m_copy.spare == SCPkcs15Spare::kWhole) {
        // A growth was cut after its spare was whole: the spare holds what the card
        // holds, and stands in the file's place until the file has the new records.
        SCFileHeader* like = m_copy.spareHeader;
        bool fits = false;
        r = 0;
        if (m_copy.exists) {
            SCFileHeader::SafeRelease(m_pFileHeader);
            m_pFileHeader = nullptr;
            r = m_pCard->SelectPath(full, count, &m_pFileHeader);
            if (r >= 0 && m_pFileHeader) {
                like = m_pFileHeader;
                fits = m_pFileHeader->GetFileSize() >= len;
            }
        }
        if (r >= 0 && !like) r = SC_E_UNSUPPORTED_FEATURE;
        if (r >= 0 && fits) {
            // The file keeps its size: written whole, filler after the records.
            std::vector<uint8_t> whole(m_pFileHeader->GetFileSize(), kEnd);
            if (len) std::memcpy(whole.data(), data, len);
            r = m_pCard->UpdateBinaryFromStart(whole.data(), static_cast<uint32_t>(whole.size()));
        } else if (r >= 0) {
            SCFileHeader* keep = like == m_pFileHeader ? m_pFileHeader : nullptr;
            if (keep) m_pFileHeader = nullptr;
            r = RemakeFile(*like, GrownSize(len), data, len, m_copy.exists);
            SCFileHeader::SafeRelease(keep);
        }
        // Gone, the spare leaves the file with the new records: the committing step.
        if (r >= 0) r = DeleteSpare();
        if (r < 0) m_failedWriteChangedNothing = true;
        return r;
    }
    if (m_copy.spare == SCPkcs15Spare::kCut) {
        // What a cut growth left before its spare was whole: no reader takes it.
        r = DeleteSpare();
        if (r < 0) {
            m_failedWriteChangedNothing = true;
            return r;
        }
    }
    if (!m_copy.exists) {
        if (m_noCreate) {
            m_failedWriteChangedNothing = true;
            return SC_E_FILE_NOT_FOUND;
        }
        return CreateRecordsFile(data, len);
    }
    // Selected by a reading with no command since; else selected now.
    const SCReader* reader = m_pCard->GetReader();
    if (!m_pFileHeader || !reader || m_copy.selectedAt == 0 || m_copy.selectedAt != reader->GetCommandCount()) {
        SCFileHeader::SafeRelease(m_pFileHeader);
        m_pFileHeader = nullptr;
        r = m_pCard->SelectPath(full, count, &m_pFileHeader);
        if (r < 0) {
            m_failedWriteChangedNothing = true;
            return r;
        }
    }
    m_copy.selectedAt = 0;
    const uint32_t size = m_pFileHeader ? m_pFileHeader->GetFileSize() : m_copy.size;
    if (len > size) return Grow(data, len);
    return RewriteInPlace(data, len, size);
}

SCRESULT SCPkcs15PathObjectInfo::RewriteInPlace(const uint8_t* data, uint32_t len, uint32_t size) {
    std::vector<uint8_t>& known = m_copy.bytes;
    uint32_t oldEnd = 0;
    if (ScPkcs15RecordsEnd(known.data(), static_cast<uint32_t>(known.size()), size, m_layout == Layout::kOneRecord,
                           &oldEnd) != 0)
        oldEnd = static_cast<uint32_t>(known.size());
    // What is written: the records, the octet that ends them where the file has
    // room, and over what the old records took; filler beyond stays as it is.
    const uint32_t span = std::min(size, std::max(oldEnd, len + 1));
    std::vector<uint8_t> from, to;
    try {
        if (known.size() < span) {
            const uint32_t at = static_cast<uint32_t>(known.size());
            known.resize(span);
            // What a write goes over is known first: a file the card will not let
            // be read is not written.
            const SCRESULT got = m_pCard->ReadBinary(at, known.data() + at, span - at);
            if (got < 0 || static_cast<uint32_t>(got) != span - at) {
                m_failedWriteChangedNothing = true;
                return got < 0 ? got : SC_E_INCONSISTENT_DATA;
            }
        }
        from.assign(known.begin(), known.begin() + span);
        to.resize(span);
        if (len) std::memcpy(to.data(), data, len);
        for (uint32_t i = len; i < span; ++i)
            to[i] = i == len || !ScPkcs15IsFiller(from[i]) ? kEnd : from[i];
    } catch (const std::bad_alloc&) {
        m_failedWriteChangedNothing = true;
        return SC_E_NO_MEMORY;
    }
    // The same records as the card's: nothing to write (filler may differ).
    if (from == to || (std::equal(data, data + len, from.begin()) &&
                       std::all_of(from.begin() + len, from.begin() + std::max(len, std::min(oldEnd, span)), ScPkcs15IsFiller)))
        return 0;
    const uint32_t part = CommandLength();
    const SCRESULT r = UpdateInSteps(from.data(), to.data(), span, part);
    if (r >= 0) {
        std::copy(to.begin(), to.end(), known.begin());
        m_undo.kind = Undo::kInPlace;
        m_undo.serial = m_copy.serial;
        m_undo.bytes.swap(from);
        return r;
    }
    // What the card took before it failed is put back the same way, from what it holds now.
    std::vector<uint8_t> now(span);
    if (m_pCard->ReadBinary(0, now.data(), span) == static_cast<SCRESULT>(span) &&
        UpdateInSteps(now.data(), from.data(), span, part) >= 0)
        m_failedWriteChangedNothing = true;
    std::fill(now.begin(), now.end(), 0);
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::UpdateInSteps(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part) {
    std::vector<SCPkcs15WriteStep> steps;
    try {
        (void)ScPkcs15PlanRewrite(from, to, len, part, &steps);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    for (const SCPkcs15WriteStep& step : steps) {
        const SCRESULT r =
            m_pCard->UpdateBinary(step.offset, step.data.data(), static_cast<uint32_t>(step.data.size()));
        if (r < 0) return r;
    }
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::CreateRecordsFile(const uint8_t* data, uint32_t len) {
    if (m_accessTemplate == ACCESS_TEMPLATE_UNSET || !m_createRefs.HasUserPinRef()) {
        m_failedWriteChangedNothing = true;
        return SC_E_BAD_USAGE;
    }
    if (len > 0x7FFF) {
        m_failedWriteChangedNothing = true;
        return SC_E_TOO_MUCH_DATA;
    }
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_BAD_USAGE;
    const uint16_t fid = path[path.Count() - 1];
    // Made with room for records to come; none is made for no records.
    const uint32_t size = std::max(len, m_createRoom);
    std::vector<uint8_t> contents(data, data + len);
    if (size > len) contents.push_back(kEnd);
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    SCRESULT r = InDf([&]() {
        return m_pCard->CreateFile(size, fid, m_lifeCycleState, m_accessTemplate, m_createRefs, &m_pFileHeader);
    });
    if (r < 0) {
        m_failedWriteChangedNothing = true;
        if (IsNoRoom(r)) m_mustGrow = true;
        return r;
    }
    r = m_pCard->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size()));
    if (r < 0) {
        // Made by this call: taken away again, rather than left half written.
        m_failedWriteChangedNothing = InDf([&]() { return m_pCard->DeleteFile(fid); }) >= 0;
        SCFileHeader::SafeRelease(m_pFileHeader);
        m_pFileHeader = nullptr;
        return r;
    }
    m_copy.known = true;
    m_copy.serial = m_pCard->GetReader() ? m_pCard->GetReader()->GetHoldSerial() : 0;
    m_copy.exists = true;
    m_copy.size = size;
    m_copy.bytes.swap(contents);
    m_undo.kind = Undo::kMade;
    m_undo.serial = m_copy.serial;
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::Grow(const uint8_t* data, uint32_t len) {
    // Nothing is written before the spare is made.
    m_failedWriteChangedNothing = true;
    // A file of the card's issuer under the spare's identifier stays as it is.
    if (!m_pFileHeader || m_copy.spare == SCPkcs15Spare::kForeign || MayGrow() == 0) {
        m_mustGrow = true;
        return SC_E_FILE_TOO_SMALL;
    }
    const uint32_t oldSize = m_pFileHeader->GetFileSize();
    std::vector<uint8_t>& old = m_copy.bytes;
    try {
        // The old file whole, to be made again as it was should the growth fail.
        if (old.size() < oldSize) {
            const uint32_t at = static_cast<uint32_t>(old.size());
            old.resize(oldSize);
            const SCRESULT got = m_pCard->ReadBinary(at, old.data() + at, oldSize - at);
            if (got < 0) return got;
            if (static_cast<uint32_t>(got) != oldSize - at) return SC_E_INCONSISTENT_DATA;
        }
        const std::vector<uint8_t> before(old);
        std::unique_ptr<SCFileHeader, void (*)(SCFileHeader*)> like(m_pFileHeader, SCFileHeader::SafeRelease);
        m_pFileHeader = nullptr;
        const SCRESULT r = ReplaceThroughSpare(*like, data, len, GrownSize(len), data, len, before);
        if (r >= 0) {
            m_undo.kind = Undo::kGrown;
            m_undo.serial = m_copy.serial;
            m_undo.bytes = before;
        }
        return r;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
}

SCRESULT SCPkcs15PathObjectInfo::ReplaceThroughSpare(const SCFileHeader& like, const uint8_t* records,
                                                     uint32_t recLen, uint32_t size, const uint8_t* contents,
                                                     uint32_t contentsLen, const std::vector<uint8_t>& back) {
    m_failedWriteChangedNothing = true;
    SCPath path;
    std::vector<uint8_t> spare;
    if (!GetFullPathInto(path) || !ScPkcs15SpareContents(path, records, recLen, &spare)) return SC_E_NO_MEMORY;
    const uint16_t spareFid = ScPkcs15SpareFid(path[path.Count() - 1]);
    SCFileHeader* spareHeader = nullptr;
    SCRESULT r = InDf([&]() {
        SCFileHeader::SafeRelease(spareHeader);
        spareHeader = nullptr;
        return m_pCard->CreateFileLike(like, spareFid, static_cast<uint32_t>(spare.size()), &spareHeader);
    });
    SCFileHeader::SafeRelease(spareHeader);
    // A card whose files cannot be made again larger, or that has no room for the spare.
    if (r == SC_E_UNIMPLEMENTED_FEATURE || r == SC_E_UNSUPPORTED_FEATURE || IsNoRoom(r)) {
        m_mustGrow = true;
        return SC_E_FILE_TOO_SMALL;
    }
    if (r < 0) return r;
    r = m_pCard->UpdateBinaryFromStart(spare.data(), static_cast<uint32_t>(spare.size()));
    if (r < 0) {
        m_failedWriteChangedNothing = DeleteSpare() >= 0;
        return r;
    }
    m_failedWriteChangedNothing = false;
    // The file made again, then the spare gone: the spare stands in its place all the while.
    r = RemakeFile(like, size, contents, contentsLen, true);
    if (r >= 0) r = DeleteSpare();
    if (r >= 0) return 0;
    // Back as it was: the old file made again whole, then the spare gone.
    const uint32_t oldSize = static_cast<uint32_t>(back.size());
    if (RemakeFile(like, oldSize, back.data(), oldSize, true) >= 0 && DeleteSpare() >= 0) {
        m_failedWriteChangedNothing = true;
        if (IsNoRoom(r)) {
            m_mustGrow = true;
            return SC_E_FILE_TOO_SMALL;
        }
    }
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::UndoLastWrite() {
    if (!m_pCard || m_undo.kind == Undo::kNone) return SC_E_BAD_USAGE;
    const SCReader* reader = m_pCard->GetReader();
    if (!reader || !reader->StillHeld(m_undo.serial) || !m_copy.known || !m_copy.exists) return SC_E_BAD_USAGE;
    SCTransactGuard guard(m_pCard);
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_NO_MEMORY;
    const uint16_t fid = path[path.Count() - 1];
    Undo undo;
    std::swap(undo, m_undo);
    SCRESULT r = 0;
    if (undo.kind == Undo::kMade) {
        r = InDf([&]() { return m_pCard->DeleteFile(fid); });
        if (r >= 0) ForgetCopy();
        return r;
    }
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    r = m_pCard->SelectPath(path.Ids(), path.Count(), &m_pFileHeader);
    if (r < 0 || !m_pFileHeader) return r < 0 ? r : SC_E_UNSUPPORTED_FEATURE;
    try {
        std::vector<uint8_t>& now = m_copy.bytes;
        const uint32_t size = m_pFileHeader->GetFileSize();
        if (undo.kind == Undo::kInPlace) {
            const uint32_t span = static_cast<uint32_t>(undo.bytes.size());
            if (now.size() < span) return SC_E_BAD_USAGE;
            r = UpdateInSteps(now.data(), undo.bytes.data(), span, CommandLength());
            if (r >= 0) std::copy(undo.bytes.begin(), undo.bytes.end(), now.begin());
            return r;
        }
        // Grown: made again at its old size, through a spare of the old records.
        if (now.size() < size) {
            const uint32_t at = static_cast<uint32_t>(now.size());
            now.resize(size);
            const SCRESULT got = m_pCard->ReadBinary(at, now.data() + at, size - at);
            if (got < 0 || static_cast<uint32_t>(got) != size - at) return got < 0 ? got : SC_E_INCONSISTENT_DATA;
        }
        const std::vector<uint8_t> grown(now);
        std::vector<uint8_t> records;
        if (!ScPkcs15PackedRecords(undo.bytes.data(), static_cast<uint32_t>(undo.bytes.size()), &records))
            return SC_E_INVALID_DATA_FORMAT;
        std::unique_ptr<SCFileHeader, void (*)(SCFileHeader*)> like(m_pFileHeader, SCFileHeader::SafeRelease);
        m_pFileHeader = nullptr;
        return ReplaceThroughSpare(*like, records.data(), static_cast<uint32_t>(records.size()),
                                   static_cast<uint32_t>(undo.bytes.size()), undo.bytes.data(),
                                   static_cast<uint32_t>(undo.bytes.size()), grown);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
}

SCRESULT SCPkcs15PathObjectInfo::RemakeFile(const SCFileHeader& like, uint32_t size, const uint8_t* data,
                                            uint32_t len, bool exists) {
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_NO_MEMORY;
    const uint16_t fid = path[path.Count() - 1];
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    SCRESULT r = 0;
    if (exists) {
        r = InDf([&]() { return m_pCard->DeleteFile(fid); });
        if (r == SC_E_FILE_NOT_FOUND) r = 0;
        if (r < 0) return r;
    }
    // With room where the card has it, else as long as the records.
    for (uint32_t s : {size, len}) {
        r = InDf([&]() {
            SCFileHeader::SafeRelease(m_pFileHeader);
            m_pFileHeader = nullptr;
            return m_pCard->CreateFileLike(like, fid, s, &m_pFileHeader);
        });
        size = s;
        if (!IsNoRoom(r) || s == len) break;
    }
    if (r < 0) return r;
    std::vector<uint8_t> contents(data, data + len);
    if (size > len) contents.push_back(kEnd);
    r = m_pCard->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size()));
    if (r < 0) return r;
    m_copy.known = true;
    m_copy.serial = m_pCard->GetReader() ? m_pCard->GetReader()->GetHoldSerial() : 0;
    m_copy.exists = true;
    m_copy.size = size;
    m_copy.bytes.swap(contents);
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::DeleteSpare() {
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_NO_MEMORY;
    const uint16_t spareFid = ScPkcs15SpareFid(path[path.Count() - 1]);
    SCRESULT r = InDf([&]() { return m_pCard->DeleteFile(spareFid); });
    if (r == SC_E_FILE_NOT_FOUND) r = 0;
    if (r >= 0) {
        m_copy.spare = SCPkcs15Spare::kNone;
        SCFileHeader::SafeRelease(m_copy.spareHeader);
        m_copy.spareHeader = nullptr;
    }
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::CanHold(uint32_t len, uint8_t pinRef) {
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCTransactGuard guard(m_pCard);
    const SCRESULT size = SizeOnCard();
    if (size == SC_E_FILE_NOT_FOUND) return 1;  // made anew, as large as it needs
    if (size < 0) return size;
    if (len <= static_cast<uint32_t>(size)) return 1;
    const uint16_t cond = static_cast<uint16_t>(0xC000 | pinRef);
    if (CheckAccess(SC_AC_OP_DELETE, cond, false) == 0 || CheckDfAccess(SC_AC_OP_CREATE_EF, cond) == 0) return 0;
    // The spare's place: free, or a spare of this file.
    SCRESULT r = ProbeSpare();
    if (r < 0) return r;
    if (m_copy.spare == SCPkcs15Spare::kForeign) return 0;
    SCPath path;
    if (!GetFullPathInto(path)) return SC_E_NO_MEMORY;
    // Memory for the spare and the larger file, where the DF's header tells what is free.
    SCFileHeader* df = nullptr;
    r = m_pCard->SelectPath(path.Ids(), path.Count() - 1, &df);
    std::unique_ptr<SCFileHeader, void (*)(SCFileHeader*)> dfHeld(df, SCFileHeader::SafeRelease);
    if (r >= 0 && df && df->GetFreeSpace() > 0 && df->GetFreeSpace() < len + 64 + (len - static_cast<uint32_t>(size)))
        return 0;
    return 1;
}

SCRESULT SCPkcs15PathObjectInfo::CheckDfAccess(uint32_t op, uint16_t ref) {
    SCPath full;
    if (!m_pCard || !GetFullPathInto(full) || full.Count() < 2) return SC_E_BAD_USAGE;
    SCAccessRequest req;
    req.operation = op;
    SCFileHeader* cached[1] = {m_pParentHeader};
    const SCRESULT r = m_pCard->GetAccessRules(full.Ids(), full.Count() - 1, &req, 1, cached, 1, true, &m_createRefs);
    m_pParentHeader = cached[0];
    if (r < 0) return r;
    return (req.refs.Contains(0) || req.refs.Contains(ref)) ? 1 : 0;
}
