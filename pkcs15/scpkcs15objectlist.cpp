#include "pkcs15/scpkcs15objectlist.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "libtorvapp/qvhash.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15odf.h"
#include "support/debuglog.h"
#include "support/vtest.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"

namespace {
// The size of an object directory made anew, and of the directory of PINs.
constexpr uint32_t kDirectoryRoom = 1024;
constexpr uint32_t kPinDirectoryRoom = 512;
}  // namespace

uint64_t ScPkcs15NextRecordNumber() {
    // Far above the small numbers a caller might pass by mistake; 2^64 numbers never run out.
    static std::atomic<uint64_t> next{uint64_t(1) << 32};
    return next.fetch_add(1, std::memory_order_relaxed);
}

SCPkcs15ObjectList::SCPkcs15ObjectList(SCCard* card, uint32_t kind, bool trusted)
    : SCPkcs15PathObjectInfo(card), m_kind(kind), m_trusted(trusted), m_rawRecords(8, true) {
    // A directory made anew holds the records of a few dozen objects without growing.
    SetRecordsLayout(false, kDirectoryRoom, 128);
}

SCPkcs15ObjectList::~SCPkcs15ObjectList() { m_rawRecords.DeleteAll(); }

SCRESULT SCPkcs15ObjectList::WriteDirectoryFile(SCPkcs15WriteOutcome* outcome) {
    MemFile enc;
    SCRESULT r = Encode(&enc);
    if (r < 0) {
        *outcome = SCPkcs15WriteOutcome();
        return outcome->result = r;
    }
    const uint32_t len = static_cast<uint32_t>(enc.Size() > 0 ? enc.Size() : 0);
    return Write(len ? enc.GetData() : reinterpret_cast<const uint8_t*>(""), len, nullptr, outcome);
}

bool SCPkcs15ObjectList::HoldsHandle(const void*) const { return false; }

SCRESULT SCPkcs15ObjectList::TakeRecord(const ASNany& record) {
    ASNany* raw = new (std::nothrow) ASNany(record);
    if (!raw) return SC_E_NO_MEMORY;
    if (!m_rawRecords.AddTail(raw)) {
        delete raw;
        return SC_E_NO_MEMORY;
    }
    return 0;
}

SCRESULT SCPkcs15ObjectList::Parse(MemFile* in, uint32_t len) {
    ClearContents();
    SCRESULT r = ScPkcs15ReadRecords(in, len, [this](const ASNany& rec) -> SCRESULT { return TakeRecord(rec); });
    if (r < 0) {
        // Half a directory is worse than none: nothing of a malformed file stays.
        ClearContents();
        return r;
    }
    return 0;
}

void SCPkcs15ObjectList::ClearContents() { m_rawRecords.DeleteAll(); }

SCRESULT SCPkcs15ObjectList::Encode(MemFile* out) {
    SCRESULT total = EncodeRecords(out);
    if (total < 0) return total;
    for (POSITION p = m_rawRecords.GetHeadPosition(); p;) {
        SCRESULT w = EncodeAsn(*m_rawRecords.GetNext(p), out);
        if (w < 0) return w;
        total += w;
    }
    return total;
}

SCRESULT SCPkcs15ObjectList::AdoptValueObject(TypedPointerList<SCPkcs15PathObjectInfo>& owner,
                                              SCPkcs15PathObjectInfo* value, const ASNPkcs15Path* path,
                                              void* record) {
    if (!value) return SC_E_NO_MEMORY;
    // Another application's file is no object of this one, whoever is logged in.
    if (NamesOtherApplicationsFile(path)) {
        delete value;
        return SC_E_PKCS15_INVALID_HANDLE;
    }
    SCPath base;
    if (!ValueBase(&base) || !value->CopyBasePath(base)) {
        delete value;
        return SC_E_NO_MEMORY;
    }
    if (path && !value->SetPathFromAsn(*path)) {
        delete value;
        return SC_E_INVALID_DATA_VALUE;
    }
    value->SetCard(m_pCard);
    value->SetApplication(m_pPkcs15App);
    value->SetCreateReferences(m_createRefs);
    const ASNPkcs15AuthObject* auth = GuardingPin();
    if (m_pPkcs15App) {
        ASNPkcs15AuthObject* pin = nullptr;
        SCRESULT r = m_pPkcs15App->FindAuthObjectForObject(record, &pin, false);
        if (r == SC_E_NO_MEMORY) {
            delete value;
            return r;
        }
        if (r >= 0 && pin) auth = pin;
        // Without a PIN of its own the value is guarded like the application's other objects.
        if (!auth && m_pPkcs15App->FindPinObject(SCPkcs15App::PIN_USER, &pin) >= 0) auth = pin;
    }
    value->SetAuthHandle(SCPkcs15App::HandleOfPin(auth));
    if (!owner.AddTail(value)) {
        delete value;
        return SC_E_NO_MEMORY;
    }
    return 0;
}

bool SCPkcs15ObjectList::ValueBase(SCPath* base) const {
    // A value lives in the DF that holds this directory file.
    SCPath full;
    try {
        *base = GetFullPathInto(full) && full.Count() > 1 ? SCPath(full.Ids(), full.Count() - 1) : m_basePath;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool SCPkcs15ObjectList::NamesOtherApplicationsFile(const ASNPkcs15Path* path, SCPath* at) const {
    SCPath base, value;
    if (!path || !m_pPkcs15App || !NamesFiles() || !ValueBase(&base) || !PathFromAsn(*path, &value) ||
        value.Count() == 0)
        return false;
    SCPath full = value.BuildAbsolute(base);
    if (!m_pPkcs15App->IsInOtherApplication(full)) return false;
    if (at) *at = std::move(full);
    return true;
}

void SCPkcs15ObjectList::LogReadAround(const SCPath& at) const {
    SCPath dir;
    if (!GetFullPathInto(dir)) return;
    DebugLogWrite(2, 0, "PKCS#15: a record of %s names %s in another application's DF: read around",
                  dir.Text().c_str(), at.Text().c_str());
}

const ASNPkcs15AuthObject* SCPkcs15ObjectList::GuardingPin() const {
    return m_pPkcs15App ? m_pPkcs15App->PinFor(m_authHandle) : nullptr;
}

SCRESULT SCPkcs15ObjectList::PrivateByAccess(SCPkcs15PathObjectInfo* value) {
    AssertInvariant(m_pPkcs15App != nullptr, "scpkcs15objectlist", __LINE__, "m_pPkcs15App != NULL", nullptr);
    if (!IsOp0Allowed(0)) return 1;
    if (value && value->FileExists() && !value->IsOp0Allowed(0)) return 1;
    return 0;
}

SCRESULT SCPkcs15ObjectList::ReadOnlyByAccess(SCPkcs15PathObjectInfo* value) {
    AssertInvariant(m_pPkcs15App != nullptr, "scpkcs15objectlist", __LINE__, "m_pPkcs15App != NULL", nullptr);
    uint8_t ref = GetPinReference(GuardingPin());
    if (ref == 0 || ref == 0xFF) {
        const SCFileHeaderList& h = m_pPkcs15App->GetHeaderList();
        ref = h.HasUserPinRef() ? static_cast<uint8_t>(h.GetUserPinRef()) : 0;
    }
    const uint16_t word = ref ? static_cast<uint16_t>(0xC000 | ref) : 0;
    bool exists = false;
    if (!IsAccessAllowed(word, &exists)) return 1;
    if (value && value->FileExists() && !value->IsAccessAllowed(word, &exists)) return 1;
    return 0;
}

// ---- authentication objects ----

SCPkcs15AuthObjectList::SCPkcs15AuthObjectList(SCCard* card)
    : SCPkcs15TypedObjectList<ASNPkcs15AuthObject>(card, P15_KIND_AUTH) {
    SetRecordsLayout(false, kPinDirectoryRoom, 48);
}

SCPkcs15AuthObjectList::~SCPkcs15AuthObjectList() = default;

SCRESULT SCPkcs15AuthObjectList::GetObjectKind(void* handle) {
    // Every record of this list is a PIN object.
    return HoldsHandle(handle) ? static_cast<SCRESULT>(P15_KIND_PIN_OBJECT) : SC_E_PKCS15_INVALID_HANDLE;
}

// PIN objects are public and are changed only through the PIN operations.
SCRESULT SCPkcs15AuthObjectList::IsPrivate(void* handle) { return HoldsHandle(handle) ? 0 : SC_E_PKCS15_INVALID_HANDLE; }
SCRESULT SCPkcs15AuthObjectList::IsReadOnly(void* handle) { return HoldsHandle(handle) ? 1 : SC_E_PKCS15_INVALID_HANDLE; }

const ASNPkcs15Path* SCPkcs15AuthObjectList::GetValuePath(ASNPkcs15AuthObject* rec) {
    return rec && rec->typeAttributes.wasPath ? &rec->typeAttributes.path : nullptr;
}

bool SCPkcs15AuthObjectList::ReadsAround(ASNPkcs15AuthObject* rec, SCPath* at) {
    return m_pPkcs15App && m_pPkcs15App->NamesOtherApplicationsPin(rec, at);
}

namespace {
// A small non-negative INTEGER as u32; false when it does not fit.
bool SmallInt(const ASNinteger& i, uint32_t* out) {
    long v = 0;
    try {
        v = i.getLong();
    } catch (...) {
        return false;
    }
    if (v < 0 || v > 0x7FFFFFFFL) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}
}  // namespace

SCRESULT SCPkcs15AuthObjectList::CompareRecords(ASNPkcs15AuthObject* a, ASNPkcs15AuthObject* b) {
    const ASNPkcs15Path* pa = GetValuePath(a);
    const ASNPkcs15Path* pb = GetValuePath(b);
    if ((pa == nullptr) != (pb == nullptr)) return SC_E_PKCS15_DIFFERENT;
    if (pa && !ComparePaths(*pa, *pb)) return SC_E_PKCS15_DIFFERENT;
    uint32_t ra = 0, rb = 0;
    bool ha = a->typeAttributes.wasPinReference && SmallInt(a->typeAttributes.pinReference, &ra);
    bool hb = b->typeAttributes.wasPinReference && SmallInt(b->typeAttributes.pinReference, &rb);
    if (ha != hb || ra != rb) return SC_E_PKCS15_DIFFERENT;
    // Neither path nor reference: only the authId can tell them apart.
    if (!pa && !ha && !(a->classAttributes.authId == b->classAttributes.authId)) return SC_E_PKCS15_DIFFERENT;
    return 0;
}

SCRESULT SCPkcs15AuthObjectList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15AuthObject* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    const uint64_t type = attr->GetType();
    if ((type & P15_CATEGORY_MASK) == 0)
        return SCPkcs15TypedObjectList<ASNPkcs15AuthObject>::GetAttribute(handle, attr);
    if (type == p15attr::kAuthObjectId)
        return attr->SetBinary(type, rec->classAttributes.authId.getData(),
                               static_cast<uint32_t>(rec->classAttributes.authId.getLength()))
                   ? 0
                   : SC_E_NO_MEMORY;
    const ASNPkcs15PinAttributes& pin = rec->typeAttributes;
    uint32_t v = 0;
    int ok = 1;
    switch (type) {
        case p15attr::kPinFlags: ok = attr->SetFlags(type, pin.pinFlags.getFlags(), 0xFFFFFFFFu); break;
        case p15attr::kPinType: {
            long t = 0;
            try {
                t = pin.pinType.getLong();
            } catch (...) {
                return SC_E_INVALID_DATA_VALUE;
            }
            if (t < 0 || t > 0x7FFFFFFFL) return SC_E_INVALID_DATA_VALUE;
            ok = attr->SetInteger(type, static_cast<uint32_t>(t));
            break;
        }
        case p15attr::kPinMinLength:
            if (!SmallInt(pin.minLength, &v)) return SC_E_INVALID_DATA_VALUE;
            ok = attr->SetInteger(type, v);
            break;
        case p15attr::kPinStoredLength:
            if (!SmallInt(pin.storedLength, &v)) return SC_E_INVALID_DATA_VALUE;
            ok = attr->SetInteger(type, v);
            break;
        case p15attr::kPinMaxLength:
            if (!pin.wasMaxLength) return SC_E_PKCS15_ATTR_NOT_FOUND;
            if (!SmallInt(pin.maxLength, &v)) return SC_E_INVALID_DATA_VALUE;
            ok = attr->SetInteger(type, v);
            break;
        case p15attr::kPinReference:
            if (pin.wasPinReference && !SmallInt(pin.pinReference, &v)) return SC_E_INVALID_DATA_VALUE;
            ok = attr->SetInteger(type, pin.wasPinReference ? v : 0);
            break;
        case p15attr::kPinPadChar:
            if (!pin.wasPadChar || pin.padChar.getLength() < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ok = attr->SetBinary(type, pin.padChar.getData(), 1);
            break;
        case p15attr::kPinPath:
            if (!pin.wasPath) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ok = attr->SetBinary(type, pin.path.path.getData(), static_cast<uint32_t>(pin.path.path.getLength()));
            break;
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    return ok ? 0 : SC_E_NO_MEMORY;
}

// ---- attribute helpers ----

int ScPkcs15PutBytes(SCPkcs15ObjectAttribute* attr, uint64_t type, const void* data, uint32_t len) {
    if (SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(type) == SCPkcs15ObjectAttribute::binary)
        return attr->SetBinary(type, data, len);
    return attr->Set(type, len ? data : "", len);
}

SCRESULT ScPkcs15Der(const ASNobject& obj, std::vector<uint8_t>* out) {
    MemFile f;
    if (SCPkcs15PathObjectInfo::EncodeAsn(obj, &f) < 0) return SC_E_NO_MEMORY;
    try {
        const int64_t n = f.Size();
        out->assign(f.GetData(), f.GetData() + (n > 0 ? n : 0));
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    return 0;
}

bool ScPkcs15FromDer(ASNobject& obj, const SCPkcs15ObjectAttribute* attr) {
    if (!attr || !attr->GetValue() || attr->GetLength() == 0) return false;
    long r = 0;
    try {
        r = obj.readBuffer(attr->GetValue(), static_cast<long>(attr->GetLength()), 0);
    } catch (...) {
        return false;
    }
    return r > 0 && static_cast<uint64_t>(r) == attr->GetLength();
}

const uint8_t* ScPkcs15Magnitude(const ASNinteger& v, uint32_t* len) {
    const uint8_t* d = v.getData();
    long n = v.ASNoctstr::getLength();
    while (n > 0 && d && *d == 0) {
        ++d;
        --n;
    }
    *len = static_cast<uint32_t>(n > 0 ? n : 0);
    return n > 0 ? d : nullptr;
}

bool ScPkcs15Sha1OfNumber(const uint8_t* bytes, size_t len, uint8_t out[20]) {
    while (len > 0 && bytes && *bytes == 0) {
        ++bytes;
        --len;
    }
    return ScPkcs15Sha1(bytes, len, out);
}

bool ScPkcs15Sha1(const uint8_t* bytes, size_t len, uint8_t out[20]) {
    try {
        std::unique_ptr<QvHash> h(qvHashCreateObject(1));
        if (!h) return false;
        h->hash(len ? bytes : reinterpret_cast<const uint8_t*>(""), static_cast<unsigned>(len));
        h->getHash(20, out);
    } catch (...) {
        return false;
    }
    return true;
}

namespace {

SCRESULT GetDateAttribute(const X509time& t, uint64_t type, SCPkcs15ObjectAttribute* attr) {
    if (!X509time::isValidDateTime(t.year, t.month, t.day, t.hour, t.minute, t.second, true))
        return SC_E_PKCS15_ATTR_NOT_FOUND;
    return attr->SetDate(type, t.year, t.month, t.day, t.hour, t.minute, t.second) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SetDateAttribute(X509time& t, uint8_t* was, const SCPkcs15ObjectAttribute* attr) {
    if (!attr->GetValue() || attr->GetLength() == 0) {
        *was = 0;
        return 0;
    }
    uint32_t y = 0, m = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!attr->GetDate(&y, &m, &d, &h, &mi, &sec)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if (y > 9999 || !X509time::isValidDateTime(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d),
                                                static_cast<int>(h), static_cast<int>(mi), static_cast<int>(sec), true))
        return SC_E_PKCS15_INVALID_ATTR_VALUE;
    // A UTCTime field cannot hold years outside 1950..2049.
    if (t.getType() == 0 && (y < 1950 || y > 2049)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    t.set(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d), static_cast<int>(h), static_cast<int>(mi),
          static_cast<int>(sec), 0, true);
    *was = 1;
    return 0;
}

}  // namespace

SCRESULT ScPkcs15GetCommonKeyAttribute(const ASNPkcs15CommonKeyAttributes& ka, uint64_t code,
                                       SCPkcs15ObjectAttribute* attr) {
    const uint64_t type = attr->GetType();
    int ok = 1;
    switch (code) {
        case p15attr::kKeyId:
            ok = ScPkcs15PutBytes(attr, type, ka.iD.getData(), static_cast<uint32_t>(ka.iD.getLength()));
            break;
        case p15attr::kKeyUsage: ok = attr->SetFlags(type, ka.usage.getFlags(), 0xFFFFFFFFu); break;
        case p15attr::kKeyNative: ok = attr->SetBoolean(type, ka.isNative() != 0); break;
        case p15attr::kKeyAccess:
            if (!ka.wasAccessFlags) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ok = attr->SetFlags(type, ka.accessFlags.getFlags(), 0xFFFFFFFFu);
            break;
        case p15attr::kKeyReference: {
            const int ref = ka.wasKeyReference ? ka.getKeyReference() : -1;
            if (ref < 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ok = attr->SetInteger(type, static_cast<uint32_t>(ref));
            break;
        }
        case p15attr::kStartDate:
            if (!ka.wasStartDate) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return GetDateAttribute(ka.startDate, type, attr);
        case p15attr::kEndDate:
            if (!ka.wasEndDate) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return GetDateAttribute(ka.endDate, type, attr);
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    return ok ? 0 : SC_E_NO_MEMORY;
}

SCRESULT ScPkcs15SetCommonKeyAttribute(ASNPkcs15CommonKeyAttributes& ka, uint64_t code,
                                       const SCPkcs15ObjectAttribute* attr) {
    const bool empty = !attr->GetValue() || attr->GetLength() == 0;
    try {
        switch (code) {
            case p15attr::kKeyId:
                if (!ka.iD.set(empty ? reinterpret_cast<const uint8_t*>("") : attr->GetValue(),
                               static_cast<long>(empty ? 0 : attr->GetLength())))
                    return SC_E_NO_MEMORY;
                return 0;
            case p15attr::kKeyUsage: {
                uint32_t v = 0, m = 0;
                if (!attr->GetFlags(&v, &m)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                ka.usage.setFlags((ka.usage.getFlags() & ~m) | (v & m));
                return 0;
            }
            case p15attr::kKeyNative: {
                bool b = false;
                if (!attr->GetBoolean(&b)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                // native is TRUE by default: true is written by leaving the field out (DER),
                // false is stored, so each reads back as it was set.
                ka.native = b;
                ka.wasNative = b ? 0 : 1;
                return 0;
            }
            case p15attr::kKeyAccess: {
                uint32_t v = 0, m = 0;
                if (!attr->GetFlags(&v, &m)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                const uint32_t old = ka.wasAccessFlags ? ka.accessFlags.getFlags() : 0;
                ka.accessFlags.setFlags((old & ~m) | (v & m));
                ka.wasAccessFlags = 1;
                return 0;
            }
            case p15attr::kKeyReference: {
                if (empty) {
                    ka.setKeyReference(-1);
                    return 0;
                }
                uint32_t v = 0;
                if (!attr->GetInteger(&v) || v > 0x7FFFFFFEu) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                ka.setKeyReference(static_cast<int>(v));
                return 0;
            }
            case p15attr::kStartDate: return SetDateAttribute(ka.startDate, &ka.wasStartDate, attr);
            case p15attr::kEndDate: return SetDateAttribute(ka.endDate, &ka.wasEndDate, attr);
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
}
