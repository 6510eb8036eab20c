#include "pkcs15/scpkcs15app.h"

#include <cstring>
#include <memory>
#include <new>

#include "support/debuglog.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

struct ProfileOid {
    const char* oid;
    int profile;
};
const ProfileOid kProfiles[] = {
    {"1.3.6.1.4.1.32473.2.7.1", 1},   {"1.3.6.1.4.1.32473.2.5.1", 1}, {"1.3.6.1.4.1.32473.2.7.2", 3},
    {"1.3.6.1.4.1.32473.2.7.3.1", 4}, {"1.3.6.1.4.1.32473.2.7.3", 4}, {"1.3.6.1.4.1.32473.2.7.4", 7},
};

}  // namespace

bool SCPkcs15App::VerifiedPin::Set(const char* text, int32_t len) {
    if (pin) {
        size_t n = length >= 0 ? static_cast<size_t>(length) : std::strlen(pin);
        SecureZero(pin, n);
        delete[] pin;
        pin = nullptr;
    }
    length = -1;
    if (!text) return true;
    size_t n = len >= 0 ? static_cast<size_t>(len) : std::strlen(text);
    pin = new (std::nothrow) char[n + 1];
    if (!pin) return false;
    std::memcpy(pin, text, n);
    pin[n] = 0;
    length = len >= 0 ? len : -1;
    return true;
}

SCPkcs15App::SCPkcs15App(SCCard* card, SCPkcs15Card* owner, const ASNPkcs15DIRRecord* record)
    : m_odf(card),
      m_tokenInfo(card),
      m_pCard(card),
      m_pOwner(owner),
      m_flags(0),
      m_hasDirRecord(false),
      m_pDirSource(record),
      m_verifiedPins(8, true),
      m_pCurrentPin(nullptr) {
    for (DirList& l : m_lists) l.SetOwnership(true);
    if (record) {
        m_dirRecord = *record;
        m_hasDirRecord = true;
    }
    m_odf.SetApplication(this);
    m_tokenInfo.SetApplication(this);
}

SCPkcs15App::~SCPkcs15App() {
    std::vector<SCCard::PinAt> ended;
    (void)TakeLoginEnded(&ended);
    ForgetAllPins();
    DeleteAllLists();
}

void SCPkcs15App::DeleteAllLists() {
    for (DirList& l : m_lists) l.DeleteAll();
}

int SCPkcs15App::GetProfileNumber(const ASNobjectId& oid) {
    for (const ProfileOid& p : kProfiles)
        if (oid.isEqual(p.oid)) return p.profile;
    return 0;
}

bool SCPkcs15App::IsKnownProfile() const {
    if (m_flags & FLAG_LOADED) return (m_flags & FLAG_KNOWN_PROFILE) != 0;
    if (!m_hasDirRecord || !m_dirRecord.wasDdo || !m_dirRecord.ddo.wasOid) return false;
    return GetProfileNumber(m_dirRecord.ddo.oid) != 0;
}

int SCPkcs15App::ListIndexForTag(int odfTag) {
    switch (odfTag) {
        case 0xA0: return L_PRKDF;
        case 0xA1: return L_PUKDF;
        case 0xA2: return L_TRUSTED_PUKDF;
        case 0xA3: return L_SKDF;
        case 0xA4: return L_CDF;
        case 0xA5: return L_TRUSTED_CDF;
        case 0xA6: return L_USEFUL_CDF;
        case 0xA7: return L_DODF;
        case 0xA8: return L_AODF;
        default: return -1;
    }
}

TypedPointerList<SCPkcs15ObjectList>* SCPkcs15App::GetListForTag(int odfTag) {
    int i = ListIndexForTag(odfTag);
    return i < 0 ? nullptr : &m_lists[i];
}

const TypedPointerList<SCPkcs15ObjectList>* SCPkcs15App::GetListForTag(int odfTag) const {
    int i = ListIndexForTag(odfTag);
    return i < 0 ? nullptr : &m_lists[i];
}

SCPkcs15ObjectList* SCPkcs15App::FindDirectoryFile(int odfTag, uint32_t flags) {
    DirList* l = GetListForTag(odfTag);
    if (!l) {
        DebugLogWriteText(2, 0, "WARN: SCPkcs15App::FindDirectoryFile(): Nie znaleziono listy obiektów -- niepoprawne argumenty !???");
        return nullptr;
    }
    if (l->IsEmpty()) return nullptr;
    if (!(flags & 0x2)) return l->GetHead();
    // A writable one: the user PIN may write its file (or make it in its DF).
    const uint16_t word = m_headers.HasUserPinRef() ? static_cast<uint16_t>(0xC000 | m_headers.GetUserPinRef()) : 0;
    for (POSITION p = l->GetHeadPosition(); p;) {
        SCPkcs15ObjectList* f = l->GetNext(p);
        bool exists = false;
        if (f && f->IsAccessAllowed(word, &exists)) return f;
    }
    return nullptr;
}

SCPkcs15ObjectList* SCPkcs15App::FindListForHandle(const void* handle) const {
    if (!handle) return nullptr;
    // Lists are asked in the order of the data model: PrKDF .. AODF, SKDF.
    for (const DirList& l : m_lists)
        for (POSITION p = l.GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = l.GetNext(p);
            if (f && f->HoldsHandle(handle)) return f;
        }
    return nullptr;
}

SCRESULT SCPkcs15App::GetObjectKind(void* handle) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    return f ? f->GetObjectKind(handle) : SC_E_PKCS15_INVALID_HANDLE;
}

SCRESULT SCPkcs15App::BuildAbsolutePath(SCPath* out) const {
    if (!out) return SC_E_BAD_PARAMS;
    if (!m_hasDirRecord) return SC_E_BAD_USAGE;
    if (!m_dirRecord.wasPath || m_dirRecord.path.getLength() == 0) {
        if (m_pCard && m_pCard->GetCardType() == SC_CARD_TYPE_IAS) {
            const uint16_t ids[2] = {SC_FID_MF, 0xADF1};
            return out->Set(ids, 2) ? 0 : SC_E_NO_MEMORY;
        }
        return SC_E_PKCS15_UNSUPPORTED_PROFILE;
    }
    uint16_t ids[64];
    int n = m_dirRecord.getPath(ids, 64);
    if (n <= 0) return SC_E_BAD_USAGE;
    SCPath p;
    if (!p.Set(ids, static_cast<size_t>(n))) return SC_E_NO_MEMORY;
    p.MakeAbsolute(SCPath());
    if (p.Count() < 2) return SC_E_BAD_USAGE;
    *out = p;
    return 0;
}

SCRESULT SCPkcs15App::BuildAbsolutePath(const uint16_t* rel, uint16_t count, SCPath* out) const {
    SCRESULT r = BuildAbsolutePath(out);
    if (r < 0) return r;
    for (uint16_t i = 0; i < count; ++i) out->Append(rel[i]);
    return 0;
}

SCRESULT SCPkcs15App::StandsAsApplication() {
    if (m_stands >= 0) return m_stands;
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCPath df;
    SCRESULT r = BuildAbsolutePath(&df);
    if (r < 0) return r;
    SCFileHeader* header = nullptr;
    r = m_pCard->SelectPath(df.Ids(), df.Count(), &header);
    std::unique_ptr<SCFileHeader> owned(header);
    if (r == SC_E_FILE_NOT_FOUND) return m_stands = 0;
    if (r < 0) return r;
    size_t len = 0;
    const uint8_t* name = owned ? owned->GetDfName(&len) : nullptr;
    const long aid = m_dirRecord.aid.getLength();
    const bool named = aid <= 0 || (name && len == static_cast<size_t>(aid) &&
                                    std::memcmp(name, m_dirRecord.aid.getData(), len) == 0);
    return m_stands = owned && owned->IsDf() && named ? 1 : 0;
}

SCRESULT SCPkcs15App::CheckNestedApplications() {
    SCPath own;
    if (!m_pOwner || BuildAbsolutePath(&own) < 0) return 0;
    for (POSITION p = m_pOwner->GetHeadPosition(); p;) {
        SCPkcs15App* app = m_pOwner->GetNext(p);
        SCPath df;
        size_t rest = 0;
        if (!app || app == this || app->BuildAbsolutePath(&df) < 0 || df.Count() <= own.Count() ||
            !SCPath::StripPrefix(df.Ids(), df.Count(), own.Ids(), own.Count(), &rest))
            continue;
        const SCRESULT r = app->StandsAsApplication();
        if (r < 0) return r;
    }
    return 0;
}

bool SCPkcs15App::IsInOtherApplication(const SCPath& path) const {
    if (!m_pOwner) return false;
    // A card may start again from the master file wherever 3F00 stands in a path.
    size_t from = 0;
    for (size_t i = 1; i < path.Count(); ++i)
        if (path[i] == SC_FID_MF) from = i;
    const SCPath place = SCPath(path.Ids() + from, path.Count() - from).BuildAbsolute(SCPath());
    SCPath own;
    const bool hasOwn = BuildAbsolutePath(&own) >= 0;
    // The deepest application DF that holds the place decides: a DF inside this
    // application's DF is still another's, and this DF inside another's is this one's.
    size_t deepest = 0;
    bool other = false;
    for (POSITION p = m_pOwner->GetHeadPosition(); p;) {
        const SCPkcs15App* app = m_pOwner->GetNext(p);
        SCPath df;
        size_t rest = 0;
        if (!app || app->KnownNotToStand() || app->BuildAbsolutePath(&df) < 0 ||
            !SCPath::StripPrefix(place.Ids(), place.Count(), df.Ids(), df.Count(), &rest) || df.Count() < deepest)
            continue;
        const bool mine = app == this || (hasOwn && df.IsEqual(own));
        if (df.Count() > deepest) other = !mine;
        else other = other && !mine;
        deepest = df.Count();
    }
    return other;
}

uint32_t SCPkcs15App::GetDirPathKey() const {
    if (!m_hasDirRecord || !m_dirRecord.wasPath) return 0;
    uint16_t ids[64];
    int n = m_dirRecord.getPath(ids, 64);
    if (n <= 0) return 0;
    int i = ids[0] == SC_FID_MF ? 1 : 0;
    uint32_t first = i < n ? ids[i] : 0;
    uint32_t second = i + 1 < n ? ids[i + 1] : 0;
    return first | (second << 16);
}

int SCPkcs15App::GetTokenLabel(char* buf, int size) {
    const ASNUtf8String* label = nullptr;
    ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    if (ti.wasLabel) label = &ti.label;
    else if (m_hasDirRecord && m_dirRecord.wasLabel) label = &m_dirRecord.label;
    if (!label) return 0;
    int n = static_cast<int>(label->getLength());
    int copy = n < size ? n : (size > 0 ? size : 0);
    if (buf && copy > 0) std::memcpy(buf, label->getData(), static_cast<size_t>(copy));
    return n > size ? -n : n;
}

void SCPkcs15App::SetCard(SCCard* card) {
    m_pCard = card;
    m_odf.SetCard(card);
    m_tokenInfo.SetCard(card);
    for (DirList& l : m_lists)
        for (POSITION p = l.GetHeadPosition(); p;) l.GetNext(p)->SetCard(card);
}

void SCPkcs15App::Clear(bool full) {
    ForgetAllPins();
    m_flags &= ~0x133u;
    // The structure read from the card goes in both cases, so that a structure
    // built anew (CreatePkcs15Structure) starts from nothing.
    DeleteAllLists();
    m_odf.Reset(full);
    m_tokenInfo.Reset(full);
    m_tokenInfo.ClearTokenInfo();
    if (!full) return;
    m_hasDirRecord = false;
    m_pDirSource = nullptr;
    m_dirRecord.clear();
    m_pOwner = nullptr;
}

// ---- services for the card object and the file objects ----

namespace {

SCPkcs15App* SvcCreate(SCCard* card, SCPkcs15Card* owner, ASNPkcs15DIRRecord* record, uint32_t optionBits) {
    SCPkcs15App* app = new (std::nothrow) SCPkcs15App(card, owner, record);
    // The card's options keep the application from asking the card's other applications.
    if (app)
        app->SetFlagBits(((optionBits & 0x1) ? SCPkcs15App::FLAG_NO_OTHER_APPS_B : 0) |
                         ((optionBits & 0x2) ? SCPkcs15App::FLAG_NO_OTHER_APPS_A : 0));
    return app;
}
void SvcDestroy(SCPkcs15App* app) { delete app; }
SCRESULT SvcLoad(SCPkcs15App* app, uint32_t flags) { return app ? app->Load((flags & 1) != 0) : SC_E_BAD_PARAMS; }
bool SvcIsLoaded(SCPkcs15App* app) { return app && app->IsLoaded(); }
// The card object removes this record from EF.DIR by its address: the one the application was made from.
ASNPkcs15DIRRecord* SvcGetDirRecord(SCPkcs15App* app) {
    return app ? const_cast<ASNPkcs15DIRRecord*>(app->GetSourceDirRecord()) : nullptr;
}
SCRESULT SvcCreateStructure(SCPkcs15App* app, const char* label, const SCFileHeaderList& refs) {
    return app ? app->CreatePkcs15Structure(label, refs) : SC_E_BAD_PARAMS;
}
SCRESULT SvcClear(SCPkcs15App* app) { return app ? app->ClearPkcs15Directory() : SC_E_BAD_PARAMS; }
// args: user PIN, its record, SO PIN, its record (each may be null); null args: none of them.
SCRESULT SvcInitToken(SCPkcs15App* app, const void* const* args) {
    if (!app) return SC_E_BAD_PARAMS;
    if (!args) return app->InitializeToken(nullptr, nullptr, nullptr, nullptr);
    return app->InitializeToken(static_cast<const char*>(args[0]),
                                static_cast<SCPinParams*>(const_cast<void*>(args[1])),
                                static_cast<const char*>(args[2]),
                                static_cast<SCPinParams*>(const_cast<void*>(args[3])));
}

bool SvcKeepsPin(SCPkcs15App* app, const void* pin) { return app && app->HasVerifiedPin(app->PinFor(pin)); }
// The file layer asks this after the card refused a command. A PIN that this
// module does not keep cannot be presented again, so the card's refusal stands:
// the caller learns that a login is wanting, not that the token is unknown.
SCRESULT SvcVerifyCached(SCPkcs15App* app, const void* pin, SCPath* currentDf) {
    const bool kept = app && app->HasVerifiedPin(app->PinFor(pin));
    const SCRESULT r = app ? app->VerifyCachedPin(app->PinFor(pin), currentDf) : SC_E_PKCS15_NOT_LOGGED_IN;
    // A login that ends here ends the operation with it.
    if (kept && r == SC_E_PKCS15_NOT_LOGGED_IN) return r;
    return r == SC_E_PKCS15_PIN_UNKNOWN || r == SC_E_PKCS15_NOT_LOGGED_IN ? SC_E_ACCESS_DENIED : r;
}

bool ValidAbsPath(const uint16_t* path, uint16_t len) { return path && len > 1 && path[0] == SC_FID_MF; }
bool SvcIsPathUsed(SCPkcs15App* app, const uint16_t* path, uint16_t len, uint32_t listMask, void* extra) {
    return app && ValidAbsPath(path, len) && app->IsPathUsed(path, len, listMask, extra);
}
// kind: the key reference; value and len: the absolute path of the key.
bool SvcIsReferenceUsed(SCPkcs15App* app, uint8_t kind, const void* value, uint16_t len, uint32_t listMask,
                        void* extra) {
    const uint16_t* path = static_cast<const uint16_t*>(value);
    return app && ValidAbsPath(path, len) && app->IsKeyReferenceUsed(kind, path, len, listMask, extra);
}
bool SvcFileIsPathUsed(SCPkcs15App* app, const uint16_t* path, uint16_t count, uint32_t listMask) {
    return app && ValidAbsPath(path, count) && app->IsPathUsed(path, count, listMask, nullptr, true);
}
size_t SvcKeptPinReferences(SCPkcs15App* app, uint8_t* refs, size_t max) {
    return app ? app->KeptPinReferences(refs, max) : 0;
}

const SCPkcs15CardAppServices kCardServices = {SvcCreate, SvcDestroy, SvcLoad,       SvcIsLoaded,
                                               SvcGetDirRecord, SvcCreateStructure, SvcClear, SvcInitToken,
                                               SvcIsPathUsed, SvcIsReferenceUsed};
const SCPkcs15AppServices kFileServices = {SvcKeepsPin, SvcVerifyCached, SvcFileIsPathUsed, SvcKeptPinReferences};

}  // namespace

void SCPkcs15InstallAppServices() {
    SCPkcs15SetCardAppServices(&kCardServices);
    SCPkcs15SetAppServices(&kFileServices);
}
