#include "pkcs15/scpkcs15pathobjectinfo.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "lib/libasn/asnbase.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {
const char kSrc[] = "scpkcs15pathobjectinfo";
const SCPkcs15AppServices* g_services = nullptr;
}  // namespace

void SCPkcs15SetAppServices(const SCPkcs15AppServices* services) { g_services = services; }

SCPkcs15PathObjectInfo::SCPkcs15PathObjectInfo(SCCard* card)
    : m_index(0), m_length(0), m_lifeCycleState(0), m_accessTemplate(ACCESS_TEMPLATE_UNSET), m_flags(0),
      m_lastResult(-1), m_pFileHeader(nullptr), m_pParentHeader(nullptr), m_pCard(card), m_pPkcs15App(nullptr),
      m_authHandle(nullptr) {}

SCPkcs15PathObjectInfo::~SCPkcs15PathObjectInfo() {
    SCFileHeader::SafeRelease(m_pFileHeader);
    SCFileHeader::SafeRelease(m_pParentHeader);
}

void SCPkcs15PathObjectInfo::SetCreateParameters(uint32_t lifeCycleState, uint32_t accessTemplate,
                                                 const SCFileHeaderList& refs) {
    m_lifeCycleState = lifeCycleState;
    m_accessTemplate = accessTemplate;
    m_createRefs = refs;
}

SCRESULT SCPkcs15PathObjectInfo::FindObjects(const SCPkcs15ObjectAttributeList*, uint32_t* found, void** handles,
                                             bool) {
    if (found) *found = 0;
    if (handles) *handles = nullptr;
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::GetValueObject(void*, SCPkcs15PathObjectInfo** out) {
    if (out) *out = nullptr;
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::Parse(MemFile*, uint32_t) { return 0; }
SCRESULT SCPkcs15PathObjectInfo::Encode(MemFile*) { return 0; }

void SCPkcs15PathObjectInfo::ForgetFile() {
    if (m_recordFile) m_recordFile->Forget();
    m_flags = 0;
    SCFileHeader::SafeRelease(m_pFileHeader);
    SCFileHeader::SafeRelease(m_pParentHeader);
    m_pFileHeader = nullptr;
    m_pParentHeader = nullptr;
    m_lastResult = -1;
}

void SCPkcs15PathObjectInfo::Reset(bool full) {
    ClearContents();
    ForgetFile();
    m_index = 0;
    m_length = 0;
    m_authHandle = nullptr;
    if (full) {
        m_path.Clear();
        m_basePath.Clear();
        SetApplication(nullptr);
        m_accessTemplate = ACCESS_TEMPLATE_UNSET;
        m_lifeCycleState = 0;
        m_createRefs.Reset();
    }
}

// ---- place ----

bool SCPkcs15PathObjectInfo::SetBasePath(const uint16_t* ids, uint16_t count) {
    if (count > 0 && (!ids || ids[0] != SC_FID_MF)) return false;
    return m_basePath.Set(ids, count);
}

bool SCPkcs15PathObjectInfo::CopyBasePath(const SCPath& path) {
    if (!path.IsAbsolute()) return false;
    m_basePath = path;
    return true;
}

bool SCPkcs15PathObjectInfo::SetPath(const uint16_t* ids, uint16_t count, uint32_t index, uint32_t length) {
    if (count > 0 && !ids) return false;
    if (!m_path.Set(ids, count)) return false;
    m_index = index;
    m_length = length;
    return true;
}

bool SCPkcs15PathObjectInfo::SetPath(const SCPath& path, uint32_t index, uint32_t length) {
    m_path = path;
    m_index = index;
    m_length = length;
    return true;
}

bool SCPkcs15PathObjectInfo::PathFromAsn(const ASNPkcs15Path& p, SCPath* out) {
    int n = p.getPath(nullptr, 0);
    if (n < 0) return false;
    std::vector<uint16_t> ids(static_cast<size_t>(n) + 1);
    if (n > 0 && p.getPath(ids.data(), static_cast<uint32_t>(n)) != n) return false;
    return out->Set(n > 0 ? ids.data() : nullptr, static_cast<size_t>(n));
}

bool SCPkcs15PathObjectInfo::SetPathFromAsn(const ASNPkcs15Path& p) {
    SCPath path;
    if (!PathFromAsn(p, &path)) return false;
    m_index = p.wasIndex ? p.getIndex() : 0;
    m_length = p.wasLength ? p.getLengthValue() : 0;
    m_path = path;
    return true;
}

const uint16_t* SCPkcs15PathObjectInfo::GetFullPath(uint16_t* count) {
    if (count) *count = 0;
    if (!GetFullPathInto(m_fullPath) || m_fullPath.Count() == 0 || m_fullPath.Count() > 0xFFFF) return nullptr;
    if (count) *count = static_cast<uint16_t>(m_fullPath.Count());
    return m_fullPath.Ids();
}

bool SCPkcs15PathObjectInfo::GetFullPathInto(SCPath& out) const {
    if (m_path.Count() == 0) return false;
    try {
        out = m_path.BuildAbsolute(m_basePath);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return out.Count() > 0;
}

// ---- card steps ----

SCRESULT SCPkcs15PathObjectInfo::SelectPath(const uint16_t* path, uint16_t count, SCPath* cur, SCFileHeader** header) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard");
    if (!cur) return m_pCard->SelectPath(path, count, header);
    SCPath target(path, count);
    if (!cur->IsMasterFile() && cur->IsEqual(target)) return 0;
    size_t rest = 0;
    const uint16_t* r = nullptr;
    if (!cur->IsMasterFile() && !cur->HasDfName())
        r = SCPath::StripPrefix(path, count, cur->Ids(), cur->Count(), &rest);
    if (r && rest > 0) {
        SCPath walked = *cur;
        if (walked.Count() == 0) walked.Append(SC_FID_MF);
        for (size_t i = 0; i < rest; ++i) {
            SCRESULT res = m_pCard->SelectFileById(r[i], i + 1 == rest ? header : nullptr);
            if (res < 0) return res;
            walked.Append(r[i]);
            *cur = walked;
        }
        return 0;
    }
    SCRESULT res = m_pCard->SelectPath(path, count, header);
    if (res >= 0 && !cur->Set(path, count)) return SC_E_NO_MEMORY;
    return res;
}

SCRESULT SCPkcs15PathObjectInfo::ReadFileHeader(const uint16_t* path, uint16_t count, SCPath* cur,
                                                SCFileHeader** header) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard");
    if (!cur) return m_pCard->SelectPath(path, count, header);
    if (count == 0) return SC_E_BAD_USAGE;
    size_t rest = 0;
    const uint16_t* r = nullptr;
    if (!cur->IsMasterFile() && !cur->HasDfName())
        r = SCPath::StripPrefix(path, count, cur->Ids(), cur->Count(), &rest);
    if (r && rest > 0) {
        SCPath walked = *cur;
        for (size_t i = 0; i + 1 < rest; ++i) {
            SCRESULT res = m_pCard->SelectFileById(r[i], nullptr);
            if (res < 0) return res;
            walked.Append(r[i]);
            *cur = walked;
        }
        return m_pCard->SelectChildEf(r[rest - 1], header);
    }
    SCRESULT res = m_pCard->SelectPath(path, count, header);
    if (res >= 0 && !cur->Set(path, static_cast<size_t>(count - 1))) return SC_E_NO_MEMORY;
    return res;
}

SCRESULT SCPkcs15PathObjectInfo::SelectApplication(const SCPath& path, SCPath* cur, SCFileHeader** header) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard");
    if (path.HasDfName()) {
        size_t aidLen = 0;
        const uint8_t* aid = path.GetDfName(&aidLen);
        SCRESULT res = m_pCard->SelectByAid(aid, aidLen, 0, path.Count() == 0 ? header : nullptr);
        if (res < 0) return res;
        if (cur) {
            cur->Clear();
            cur->SetDfName(aid, aidLen);
        }
        if (path.Count() == 0) return res;
        // The identifiers after the DF name are a path from the selected DF.
        return m_pCard->SelectPath(path.Ids(), path.Count(), header);
    }
    return SelectPath(path.Ids(), static_cast<uint16_t>(path.Count()), cur, header);
}

SCRESULT SCPkcs15PathObjectInfo::ReadFileData(MemFile* out) {
    if (!out || !out->IsHeap() || !m_pCard) return SC_E_BAD_USAGE;
    uint32_t fileSize = m_pFileHeader ? m_pFileHeader->GetFileSize() : 0xFFFF;
    uint32_t wanted = m_length != 0 ? m_length : fileSize;
    if (wanted > 0xFFFF) wanted = 0xFFFF;
    if (!out->SetLength(wanted)) return SC_E_NO_MEMORY;
    if (wanted == 0) return 0;
    SCRESULT got;
    bool fromStart = true;
    if (m_index == 0) {
        got = m_pCard->ReadBinaryFromStart(out->GetData(), wanted);
    } else {
        got = m_pCard->ReadBinary(m_index, out->GetData(), wanted);
        fromStart = false;
        if (got == SC_E_UNSUPPORTED_FEATURE) {
            uint32_t all = fileSize > 0xFFFF ? 0xFFFF : fileSize;
            if (!out->SetLength(all)) return SC_E_NO_MEMORY;
            got = all ? m_pCard->ReadBinaryFromStart(out->GetData(), all) : 0;
            fromStart = true;
        }
    }
    if (got < 0) return got;
    // The card may answer fewer bytes than asked: never hand out more than it gave.
    uint64_t bytes = static_cast<uint64_t>(got);
    if (out->Size() >= 0 && bytes > static_cast<uint64_t>(out->Size())) bytes = static_cast<uint64_t>(out->Size());
    if (fromStart && (m_index != 0 || m_length != 0)) {
        int64_t count = m_length != 0 ? m_length : static_cast<int64_t>(bytes) - m_index;
        if (static_cast<uint64_t>(m_index) + static_cast<uint64_t>(count) > bytes)
            count = static_cast<int64_t>(bytes) - m_index;
        if (count <= 0) count = 0;
        if (count > 0) memmove(out->GetData(), out->GetData() + m_index, static_cast<size_t>(count));
        out->SetLength(static_cast<size_t>(count));
    } else {
        out->SetLength(static_cast<size_t>(bytes));
    }
    return got;
}

bool SCPkcs15PathObjectInfo::ReverifyPossible() const {
    return m_pPkcs15App && g_services && g_services->keepsPinValue && g_services->verifyCachedPin &&
           m_authHandle && g_services->keepsPinValue(m_pPkcs15App, m_authHandle);
}

SCRESULT SCPkcs15PathObjectInfo::Reverify(SCPath* cur) {
    if (!g_services || !g_services->verifyCachedPin) return SC_E_ACCESS_DENIED;
    return g_services->verifyCachedPin(m_pPkcs15App, m_authHandle, cur);
}

SCRESULT SCPkcs15PathObjectInfo::ReadRawContents(MemFile* out, bool force) {
    m_flags &= ~FLAG_LOADED;
    if (!m_pCard) return m_lastResult = SC_E_BAD_USAGE;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return m_lastResult = (m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY);
    SCPath fullPath(full, count);
    if (!force && IsKnownAbsent()) return SC_E_FILE_NOT_FOUND;
    // A value open to all is judged by the rules its selection answers now, never
    // by a header kept from before (another application may have put a file there).
    if (force || m_openValue) {
        SCFileHeader::SafeRelease(m_pFileHeader);
        m_pFileHeader = nullptr;
    }
    m_flags |= FLAG_LOAD_TRIED;
    SCTransactGuard guard(m_pCard);
    SCPath tracked;
    bool reverified = false;
    SCRESULT res;
    for (;;) {
        if (IsRecordsFile()) {
            // A file of records is read with its spare, which stands in its place while whole.
            std::vector<uint8_t> records;
            res = m_recordFile->Read(&records, true);
            if (res >= 0) {
                if (!out->SetLength(records.size())) {
                    res = SC_E_NO_MEMORY;
                } else if (!records.empty()) {
                    std::memcpy(out->GetData(), records.data(), records.size());
                    std::fill(records.begin(), records.end(), 0);
                }
            }
        } else {
            res = ReadFileHeader(fullPath.Ids(), count, &tracked, m_pFileHeader ? nullptr : &m_pFileHeader);
            if (res >= 0 && m_pFileHeader) {
                uint32_t ft = m_pFileHeader->GetFileType();
                if (ft == 1)
                    res = SC_E_NOT_FILE;
                else if (ft != 0 && ft != 2)
                    res = SC_E_INVALID_FILE_TYPE;
            }
            if (res >= 0 && m_openValue && ReadAsksPin()) {
                res = SC_E_ACCESS_DENIED;
                break;
            }
            if (res >= 0) res = ReadFileData(out);
        }
        if (res == SC_E_ACCESS_DENIED && !reverified && ReverifyPossible()) {
            SCRESULT v = Reverify(nullptr);
            if (v < 0) {
                res = v;
                break;
            }
            reverified = true;
            continue;
        }
        break;
    }
    if (res < 0) return m_lastResult = res;
    m_flags |= FLAG_LOADED;
    m_flags &= ~FLAG_DIRTY;
    m_lastResult = 0;
    return res;
}

SCRESULT SCPkcs15PathObjectInfo::ReadCurrent(MemFile* out) {
    if (!out || !m_pCard) return SC_E_BAD_USAGE;
    if (!IsRecordsFile()) return ReadRawContents(out, true);
    std::vector<uint8_t> records;
    const SCRESULT r = m_recordFile->Read(&records, false);
    if (r < 0) {
        m_flags |= FLAG_LOAD_TRIED;
        m_lastResult = r;
        return r;
    }
    if (!out->SetLength(records.size())) return SC_E_NO_MEMORY;
    if (!records.empty()) std::memcpy(out->GetData(), records.data(), records.size());
    m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
    m_flags &= ~FLAG_DIRTY;
    m_lastResult = 0;
    return r;
}

void SCPkcs15PathObjectInfo::SetRecordsLayout(bool oneRecord, uint32_t createRoom, uint32_t firstRead) {
    m_recordFile.reset(new SCPkcs15RecordFile(*this, oneRecord, createRoom, firstRead));
}

void SCPkcs15PathObjectInfo::GrowthConditions(SCValueSet* out) const {
    if (m_pCard) m_pCard->GetVerifiedPins(out);
    if (!m_pPkcs15App || !g_services || !g_services->keptPinReferences) return;
    uint8_t refs[16];
    const size_t n = g_services->keptPinReferences(m_pPkcs15App, refs, sizeof refs);
    for (size_t i = 0; i < n && i < sizeof refs; ++i) (void)out->Add(static_cast<uint16_t>(0xC000 | refs[i]));
}

SCRESULT SCPkcs15PathObjectInfo::UndoLastWrite() {
    return IsRecordsFile() ? m_recordFile->Undo() : SC_E_BAD_USAGE;
}

SCRESULT SCPkcs15PathObjectInfo::CanHold(uint32_t len, uint8_t pinRef) {
    if (!IsRecordsFile()) return SC_E_BAD_USAGE;
    SCValueSet conditions;
    if (!conditions.Add(static_cast<uint16_t>(0xC000 | pinRef))) return SC_E_NO_MEMORY;
    return m_recordFile->CanHold(len, conditions);
}

SCRESULT SCPkcs15PathObjectInfo::CanHoldContents() {
    if (!IsRecordsFile()) return SC_E_BAD_USAGE;
    MemFile enc;
    const SCRESULT e = Encode(&enc);
    if (e < 0) return e;
    SCValueSet conditions;
    GrowthConditions(&conditions);
    return m_recordFile->CanHold(static_cast<uint32_t>(enc.Size() > 0 ? enc.Size() : 0), conditions);
}

SCRESULT SCPkcs15PathObjectInfo::HeldMayUpdate() {
    if (!m_pCard || !m_pFileHeader || m_pFileHeader == SCFileHeader::AbsentMarker()) return 1;
    SCValueSet held;
    GrowthConditions(&held);
    if (!held.Add(SC_AC_ALWAYS)) return SC_E_NO_MEMORY;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return 1;
    SCAccessRequest req;
    req.operation = SC_AC_OP_UPDATE;
    SCFileHeader* cached[1] = {m_pFileHeader};
    const SCRESULT r = m_pCard->GetAccessRules(full, count, &req, 1, cached, 1, true, &m_createRefs);
    m_pFileHeader = cached[0];
    if (r == SC_E_UNSUPPORTED_FEATURE) return 1;
    if (r < 0) return r;
    for (int32_t i = 0; i < held.Count(); ++i)
        if (req.refs.Contains(held.At(i))) return 1;
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::FinishCutGrowth() {
    return IsRecordsFile() ? m_recordFile->FinishCutGrowth() : 0;
}

SCRESULT SCPkcs15PathObjectInfo::Load(bool force) {
    MemFile file;
    SCRESULT got = ReadRawContents(&file, force);
    if (got < 0) return got;
    ClearContents();
    file.Seek(0);
    int64_t avail = file.Size();
    uint32_t len = static_cast<uint32_t>(avail < got ? avail : got);
    SCRESULT r = Parse(&file, len);
    if (r < 0) {
        // What is in memory no longer matches the card.
        m_flags &= ~FLAG_LOADED;
        return r;
    }
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::LoadOpenValue(bool force) {
    m_openValue = true;
    const SCRESULT r = Load(force);
    m_openValue = false;
    return r;
}

bool SCPkcs15PathObjectInfo::ReadAsksPin() const {
    if (!m_pFileHeader || m_pFileHeader == SCFileHeader::AbsentMarker()) return false;
    SCAccessRequest read;
    read.operation = SC_AC_OP_READ;
    // A header without rules tells nothing: the card's answer to the read decides.
    if (m_pFileHeader->GetAccessRefs(&read, nullptr) < 0 || read.refs.Contains(SC_AC_ALWAYS)) return false;
    for (int32_t i = 0; i < read.refs.Count(); ++i)
        if ((read.refs.At(i) & 0xFF00) == SC_AC_PIN) return true;
    return false;
}

SCRESULT SCPkcs15PathObjectInfo::Write(const uint8_t* data, uint32_t len, SCPath* currentDf) {
    SCPkcs15WriteOutcome outcome;
    return Write(data, len, currentDf, &outcome);
}

SCRESULT SCPkcs15PathObjectInfo::Write(const uint8_t* data, uint32_t len, SCPath* currentDf,
                                       SCPkcs15WriteOutcome* outcome) {
    *outcome = SCPkcs15WriteOutcome();
    if (!m_pCard) return outcome->result = SC_E_BAD_USAGE;
    MemFile encoded;
    if (!data) {
        SCRESULT e = Encode(&encoded);
        if (e < 0) return outcome->result = e;
        int64_t sz = encoded.Size();
        if (sz > 0xFFFFFFFFLL) return outcome->result = SC_E_TOO_MUCH_DATA;
        len = static_cast<uint32_t>(sz > 0 ? sz : 0);
        data = len ? encoded.GetData() : reinterpret_cast<const uint8_t*>("");
    }
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return outcome->result = (m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY);
    SCPath fullPath(full, count);
    SCTransactGuard guard(m_pCard);
    SCRESULT res;
    m_madeByWrite = false;
    if (IsRecordsFile()) {
        if (currentDf) currentDf->Clear();
        *outcome = m_recordFile->Write(data, len, !m_noCreate);
        res = outcome->result;
    } else {
        SCFileHeader::SafeRelease(m_pFileHeader);
        m_pFileHeader = nullptr;
        SCPath tracked;
        if (currentDf) tracked = *currentDf;
        bool reverified = false;
        for (;;) {
            res = SelectPath(fullPath.Ids(), static_cast<uint16_t>(count - 1), &tracked,
                             m_pParentHeader ? nullptr : &m_pParentHeader);
            if (res < 0) break;  // no re-verification at this step
            SCFileHeader::SafeRelease(m_pFileHeader);
            m_pFileHeader = nullptr;
            res = m_pCard->SelectChildEf(fullPath[count - 1], &m_pFileHeader);
            if (res == SC_E_FILE_NOT_FOUND && !m_noCreate) {
                res = CreateAndWrite(data, len);
                m_madeByWrite = res >= 0;  // a failed one takes its file away itself
            } else if (res >= 0)
                res = UpdateContents(data, len);
            if (res == SC_E_ACCESS_DENIED && m_pPkcs15App && !reverified) {
                reverified = true;
                SCRESULT v = Reverify(&tracked);
                if (v < 0) {
                    res = v;
                    break;
                }
                continue;
            }
            break;
        }
        if (currentDf) *currentDf = tracked;
        outcome->result = res;
        outcome->cardUnchanged = false;
    }
    if (res >= 0) {
        m_flags |= FLAG_LOADED;
        m_flags &= ~FLAG_DIRTY;
        if (m_lastResult == SC_E_FILE_NOT_FOUND || m_lastResult == -1) m_lastResult = 0;
    }
    return res;
}

SCRESULT SCPkcs15PathObjectInfo::UpdateContents(const uint8_t* data, uint32_t len) {
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return SC_E_BAD_USAGE;
    uint16_t fid = full[count - 1];
    if (m_pFileHeader && m_pFileHeader->GetFileSize() == len) {
        if (len == 0) return 0;
        return m_pCard->UpdateBinaryFromStart(data, len);
    }
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    SCRESULT r = m_pCard->ResizeFile(fid, len, &m_pFileHeader);
    if (len != 0) {
        if (r >= 0 || r == SC_E_UNSUPPORTED_FEATURE) return m_pCard->UpdateBinaryFromStart(data, len);
        return r;
    }
    if (r == SC_E_UNSUPPORTED_FEATURE) return m_pCard->EraseBinaryAll();
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::CreateAndWrite(const uint8_t* data, uint32_t len) {
    if (m_accessTemplate == ACCESS_TEMPLATE_UNSET || !m_createRefs.HasUserPinRef()) return SC_E_BAD_USAGE;
    if (len > 0xFFFF) return SC_E_TOO_MUCH_DATA;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return SC_E_BAD_USAGE;
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    SCRESULT r = m_pCard->CreateFile(len, full[count - 1], m_lifeCycleState, m_accessTemplate, m_createRefs,
                                     &m_pFileHeader);
    // Refused: the card has nothing of this write.
    if (r < 0) return r;
    if (len == 0) return 0;
    r = m_pCard->UpdateBinaryFromStart(data, len);
    if (r < 0) {
        // The file was made by this call: take it away again rather than leave a half-written one.
        (void)m_pCard->DeleteFile(full[count - 1]);
        SCFileHeader::SafeRelease(m_pFileHeader);
        m_pFileHeader = nullptr;
    }
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::Delete() {
    if (!m_pCard) return SC_E_BAD_USAGE;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY;
    SCPath fullPath(full, count);
    SCTransactGuard guard(m_pCard);
    SCPath tracked;
    bool reverified = false;
    SCRESULT res;
    for (;;) {
        res = SelectPath(fullPath.Ids(), static_cast<uint16_t>(count - 1), &tracked, nullptr);
        if (res >= 0) res = m_pCard->DeleteFile(fullPath[count - 1]);
        if (res == SC_E_ACCESS_DENIED && !reverified) {
            reverified = true;
            if (m_pPkcs15App) {
                SCRESULT v = Reverify(&tracked);
                if (v < 0) return v;
            }
            continue;
        }
        break;
    }
    if (res < 0) return res;
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    m_flags &= ~FLAG_LOADED;
    m_flags |= FLAG_LOAD_TRIED;
    m_lastResult = SC_E_FILE_NOT_FOUND;
    return 0;
}

SCRESULT SCPkcs15PathObjectInfo::DeleteMade() {
    SCRESULT r = Delete();
    // The file would otherwise stay on the card, named by nothing.
    if (MayTryAgain(r)) r = Delete();
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::AllocateFileId(uint16_t firstFid, const uint16_t* parent, uint16_t parentLen) {
    if (!m_pCard || !m_pPkcs15App) return SC_E_BAD_USAGE;
    SCPath par;
    if (parent) {
        if (parentLen == 0 || parent[0] != SC_FID_MF) return SC_E_BAD_PARAMS;
        par.Set(parent, parentLen);
    } else {
        if (!GetFullPathInto(par)) return SC_E_BAD_USAGE;
    }
    uint32_t cand = firstFid;
    int64_t proposed = -1;
    while (cand < 0xFFFF) {
        SCPath probe = par;
        probe.Append(static_cast<uint16_t>(cand));
        if (g_services && g_services->isPathUsed &&
            g_services->isPathUsed(m_pPkcs15App, probe.Ids(), static_cast<uint16_t>(probe.Count()), 0x31FF)) {
            ++cand;
            proposed = -1;
            continue;
        }
        if (proposed == static_cast<int64_t>(cand)) break;
        SCRESULT r = m_pCard->FindFreeFileId(par.Ids(), par.Count(), static_cast<uint16_t>(cand));
        if (r < 0) return r;
        if (static_cast<uint32_t>(r) == cand) break;
        cand = static_cast<uint32_t>(r);
        proposed = r;
    }
    if (cand >= 0xFFFF) return SC_E_NO_SPACE_ON_CARD;
    par.Append(static_cast<uint16_t>(cand));
    m_path = par;
    m_index = 0;
    m_length = 0;
    return 0;
}

// ---- access checks ----

SCRESULT SCPkcs15PathObjectInfo::CheckAccess(uint32_t op, uint16_t ref, bool both) {
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return 0;
    SCAccessRequest req;
    req.operation = op;
    SCFileHeader* cached[2] = {m_pFileHeader, m_pParentHeader};
    SCRESULT r = m_pCard->GetAccessRules(full, count, &req, 1, cached, both ? 2 : 1, true, &m_createRefs);
    m_pFileHeader = cached[0];
    if (both) m_pParentHeader = cached[1];
    if (r < 0) return r;
    return (req.refs.Contains(0) || req.refs.Contains(ref)) ? 1 : 0;
}

bool SCPkcs15PathObjectInfo::IsOp0Allowed(uint16_t ref) {
    if (!m_pCard || IsKnownAbsent()) return false;
    return CheckAccess(SC_AC_OP_READ, ref, false) == 1;
}

bool SCPkcs15PathObjectInfo::IsOp16Allowed(uint16_t ref) {
    if (!m_pCard || IsKnownAbsent()) return false;
    return CheckAccess(SC_AC_OP_USE, ref, false) == 1;
}

bool SCPkcs15PathObjectInfo::IsOp7Allowed(uint16_t ref) {
    if (!m_pCard) return false;
    SCCardInfo info;
    memset(&info, 0, sizeof info);
    if (m_pCard->GetCardInfo(&info) < 0 || !(info.pinCaps & SC_PIN_CAP_ACCESS_RULES)) return false;
    uint16_t count = 0;
    if (!GetFullPath(&count)) return false;
    if (IsKnownAbsent()) return true;
    SCRESULT r = CheckAccess(SC_AC_OP_DELETE, ref, true);
    if (r == SC_E_FILE_NOT_FOUND) return true;
    return r == 1;
}

bool SCPkcs15PathObjectInfo::IsAccessAllowed(uint16_t ref, bool* exists) {
    if (exists) *exists = false;
    if (!m_pCard) return false;
    SCCardInfo info;
    memset(&info, 0, sizeof info);
    if (m_pCard->GetCardInfo(&info) < 0 || !(info.pinCaps & SC_PIN_CAP_ACCESS_RULES)) return false;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return false;
    auto passes = [ref](const SCAccessRequest& q) { return q.refs.Contains(0) || q.refs.Contains(ref); };
    // Request A on the DF.
    SCAccessRequest a;
    a.operation = SC_AC_OP_ACTIVATE;
    SCFileHeader* dfCache[2] = {m_pParentHeader, nullptr};
    SCRESULT r = count > 1 ? m_pCard->GetAccessRules(full, count - 1u, &a, 1, dfCache, 1, true, &m_createRefs)
                           : m_pCard->GetAccessRules(full, 1, &a, 1, dfCache, 1, true, &m_createRefs);
    m_pParentHeader = dfCache[0];
    if (r < 0) return false;
    bool ok = passes(a);
    if (IsKnownAbsent()) return ok;
    SCAccessRequest b[2];
    b[0].operation = SC_AC_OP_UPDATE;
    b[1].operation = SC_AC_OP_DELETE;
    SCFileHeader* cached[2] = {m_pFileHeader, m_pParentHeader};
    r = m_pCard->GetAccessRules(full, count, b, 2, cached, 2, true, &m_createRefs);
    m_pFileHeader = cached[0];
    m_pParentHeader = cached[1];
    if (r == SC_E_FILE_NOT_FOUND) return ok;
    if (r < 0) return false;
    if (exists) *exists = true;
    return ok && passes(b[0]) && passes(b[1]);
}

bool SCPkcs15PathObjectInfo::FileExists() {
    if (!m_pCard) return false;
    // A file whose header was read since the application was loaded is there:
    // asking the card again would only repeat the answer.
    if (m_pFileHeader != nullptr && m_pFileHeader != SCFileHeader::AbsentMarker()) return true;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return false;
    if (m_pFileHeader == SCFileHeader::AbsentMarker()) m_pFileHeader = nullptr;
    return m_pCard->SelectPath(full, count, &m_pFileHeader) >= 0;
}

SCRESULT SCPkcs15PathObjectInfo::SizeOnCard() {
    if (!m_pCard) return SC_E_BAD_USAGE;
    uint16_t count = 0;
    const uint16_t* full = GetFullPath(&count);
    if (!full) return m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY;
    SCFileHeader::SafeRelease(m_pFileHeader);
    m_pFileHeader = nullptr;
    const SCRESULT r = m_pCard->SelectPath(full, count, &m_pFileHeader);
    if (r < 0) return r;
    return m_pFileHeader ? static_cast<SCRESULT>(m_pFileHeader->GetFileSize()) : SC_E_UNSUPPORTED_FEATURE;
}

SCRESULT SCPkcs15PathObjectInfo::RewriteSameSize(const uint8_t* data, uint32_t len, bool* written) {
    *written = false;
    if (!m_pCard || !data || len == 0 || len > CommandLength()) return SC_E_BAD_USAGE;
    SCTransactGuard guard(m_pCard);
    SCRESULT size = SizeOnCard();
    if (size < 0 || static_cast<uint32_t>(size) != len) return size;
    // The file selected just now takes the octets.
    SCRESULT r = m_pCard->UpdateBinaryFromStart(data, len);
    if (r == SC_E_ACCESS_DENIED && ReverifyPossible() && Reverify(nullptr) >= 0) {
        size = SizeOnCard();
        r = size < 0 ? size : m_pCard->UpdateBinaryFromStart(data, len);
    }
    if (r < 0) return r;
    *written = true;
    m_flags |= FLAG_LOADED;
    m_flags &= ~FLAG_DIRTY;
    m_lastResult = 0;
    return size;
}

uint32_t SCPkcs15PathObjectInfo::CommandLength() const {
    const SCReader* reader = m_pCard != nullptr ? m_pCard->GetReader() : nullptr;
    uint32_t part = reader != nullptr ? reader->GetMaxSendLength() : 0;
    return part == 0 || part > 255 ? 255 : part;
}

SCRESULT SCPkcs15PathObjectInfo::GetFileStructure() {
    if (m_pFileHeader) return m_pFileHeader->GetFileType();
    if (IsLoaded()) return 2;
    if (IsLoadTried()) return m_lastResult;
    SCRESULT r = Load(false);
    if (r < 0) return r;
    return m_pFileHeader ? static_cast<SCRESULT>(m_pFileHeader->GetFileType()) : 2;
}

SCRESULT SCPkcs15PathObjectInfo::GetFileSize() {
    if (m_pFileHeader) return m_pFileHeader->GetFileSize();
    if (IsLoaded() && m_length != 0) return static_cast<SCRESULT>(m_length) - m_index;
    if (IsKnownAbsent()) return 0;
    SCRESULT r = Load(false);
    if (r == SC_E_FILE_NOT_FOUND) return 0;
    if (m_pFileHeader) return m_pFileHeader->GetFileSize();
    if (m_length != 0) return static_cast<SCRESULT>(m_length) - m_index;
    return -1;
}

// ---- helpers ----

SCRESULT SCPkcs15PathObjectInfo::DecodeAsn(ASNobject& obj, GenericFile* in, uint32_t len) {
    long r = obj.read(in, static_cast<long>(len));
    if (r == 0) return SC_E_INVALID_DATA_FORMAT;
    if (r < 0) return SC_E_NO_MEMORY;
    return r;
}

SCRESULT SCPkcs15PathObjectInfo::EncodeAsn(const ASNobject& obj, GenericFile* out) {
    long r = obj.write(out);
    if (r < 1) return SC_E_NO_MEMORY;
    return r;
}

bool SCPkcs15PathObjectInfo::ComparePaths(const ASNPkcs15Path& a, const ASNPkcs15Path& b) {
    if (!(a.path == b.path)) return false;
    if ((a.wasIndex != 0) != (b.wasIndex != 0)) return false;
    if (a.wasIndex && a.getIndex() != b.getIndex()) return false;
    if ((a.wasLength != 0) != (b.wasLength != 0)) return false;
    if (a.wasLength && a.getLengthValue() != b.getLengthValue()) return false;
    return true;
}

uint8_t SCPkcs15PathObjectInfo::GetPinReference(const ASNPkcs15AuthObject* authObject) {
    if (!authObject) return 0;
    try {
        return static_cast<uint8_t>(authObject->typeAttributes.pinReference.getLong());
    } catch (...) {
        return 0;
    }
}
