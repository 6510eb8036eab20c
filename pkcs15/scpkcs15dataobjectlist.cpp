#include "pkcs15/scpkcs15dataobjectlist.h"

#include <new>
#include <vector>

#include "support/vtest.h"

// ---- value file ----

SCPkcs15BinaryDataObject::SCPkcs15BinaryDataObject() : SCPkcs15PathObjectInfo(nullptr), m_word(0) {}

SCPkcs15BinaryDataObject::~SCPkcs15BinaryDataObject() { m_contents.Release(); }

SCRESULT SCPkcs15BinaryDataObject::Parse(MemFile* in, uint32_t len) {
    m_contents.Release();
    if (!in) return SC_E_BAD_USAGE;
    std::vector<uint8_t> buf;
    try {
        buf.resize(len);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    size_t got = 0;
    if (len && (in->Read(len, buf.data(), &got) != 0 || got != len)) return SC_E_NO_MEMORY;
    if (len && m_contents.Write(len, buf.data()) != 0) return SC_E_NO_MEMORY;
    int64_t sz = m_contents.Size();
    return sz < 0 ? -1 : static_cast<SCRESULT>(sz);
}

void SCPkcs15BinaryDataObject::ClearContents() { m_contents.Release(); }

SCRESULT SCPkcs15BinaryDataObject::Encode(MemFile* out) {
    if (!out) return SC_E_BAD_USAGE;
    int64_t sz = m_contents.Size();
    if (sz < 0) return -1;
    if (sz > 0 && out->Write(static_cast<size_t>(sz), m_contents.GetData()) != 0) return SC_E_NO_MEMORY;
    return static_cast<SCRESULT>(sz);
}

void SCPkcs15BinaryDataObject::Reset(bool full) {
    m_word = 0;
    SCPkcs15PathObjectInfo::Reset(full);
}

SCRESULT SCPkcs15BinaryDataObject::SetContents(const uint8_t* data, uint32_t len) {
    m_contents.Release();
    if (data && len && m_contents.Write(len, data) != 0) return SC_E_NO_MEMORY;
    SetFresh(true);
    m_flags |= FLAG_LOAD_TRIED;
    return 0;
}

const uint8_t* SCPkcs15BinaryDataObject::GetContents(uint32_t* len) const {
    int64_t sz = const_cast<MemFile&>(m_contents).Size();
    if (len) *len = sz > 0 ? static_cast<uint32_t>(sz) : 0;
    return sz > 0 ? m_contents.GetData() : nullptr;
}

// ---- data-object directory ----

SCPkcs15DataObjectList::SCPkcs15DataObjectList(SCCard* card)
    : SCPkcs15TypedObjectList<ASNPkcs15DataObject>(card, P15_KIND_DATA) {
    m_records.SetHook(&SCPkcs15DataObjectList::RecordHook);
}

SCPkcs15DataObjectList::~SCPkcs15DataObjectList() = default;

// Each record is read with the external and OID choices ([0], [1]) accepted as
// well as the opaque SEQUENCE.
SCRESULT SCPkcs15DataObjectList::RecordHook(ASNPkcs15DataObject* record) {
    record->flags |= ASN_FLAG_CLASSTAG;
    return 0;
}

SCRESULT SCPkcs15DataObjectList::GetObjectKind(void* handle) {
    const ASNPkcs15DataObject* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    switch (rec->tag & 0xFF) {
        case 0x30: return P15_KIND_OPAQUE_DATA;
        case 0xA0: return P15_KIND_EXTERNAL_DATA;
        case 0xA1: return P15_KIND_OID_DATA;
        default: return SC_E_PKCS15_UNSUPPORTED_OBJECT;
    }
}

SCRESULT SCPkcs15DataObjectList::MapAttributeType(uint64_t code) {
    if ((code & 0xFFFFFF00ULL) == p15attr::kAnyFamily)
        return (p15attr::kAnyFamily | (code & 0xFF)) == p15attr::kAnyValue ? p15attr::kDataValue
                                                                           : SC_E_PKCS15_INVALID_ATTR;
    return SCPkcs15TypedObjectList<ASNPkcs15DataObject>::MapAttributeType(code);
}

const ASNPkcs15Path* SCPkcs15DataObjectList::GetValuePath(ASNPkcs15DataObject* rec) {
    if (!rec) return nullptr;
    return rec->typeAttributes.getChosenIndex() == ASNPkcs15ObjectValue<ASNany>::kIndirect
               ? &rec->typeAttributes.indirect
               : nullptr;
}

ASNPkcs15ObjectValue<ASNany>* SCPkcs15DataObjectList::ValueOf(ASNPkcs15DataObject* rec) {
    return rec ? &rec->typeAttributes : nullptr;
}

SCRESULT SCPkcs15DataObjectList::CreateValueObject(void* record) {
    ASNPkcs15DataObject* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->typeAttributes.keyObject) return 0;
    auto* v = new (std::nothrow) SCPkcs15BinaryDataObject();
    SCRESULT r = AdoptValueObject(m_valueObjects, v, GetValuePath(rec), record);
    if (r < 0) return r;
    rec->typeAttributes.keyObject = v;
    return 0;
}

SCRESULT SCPkcs15DataObjectList::GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
    if (out) *out = nullptr;
    ASNPkcs15DataObject* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!rec->typeAttributes.keyObject && create && GetValuePath(rec)) {
        SCRESULT r = CreateValueObject(record);
        if (r < 0) return r;
    }
    if (out) *out = static_cast<SCPkcs15PathObjectInfo*>(rec->typeAttributes.keyObject);
    return 0;
}

SCRESULT SCPkcs15DataObjectList::AllocateValuePath(void* record, const ASNPkcs15Path* path) {
    ASNPkcs15DataObject* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    auto* v = static_cast<SCPkcs15PathObjectInfo*>(rec->typeAttributes.keyObject);
    if (!GetValuePath(rec) || !v) return SC_E_BAD_USAGE;
    if (path) {
        rec->typeAttributes.indirect = *path;
        if (!v->SetPathFromAsn(*path)) return SC_E_INVALID_DATA_VALUE;
        SetDirty(true);
        return 0;
    }
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() < 1) return SC_E_BAD_USAGE;
    SCRESULT r = v->AllocateFileId(0xA000, full.Ids(), static_cast<uint16_t>(full.Count() - 1));
    if (r < 0) return r;
    const SCPath& p = v->GetPath();
    if (!rec->typeAttributes.indirect.set(p.Ids(), static_cast<int>(p.Count()), 0, 0)) return SC_E_NO_MEMORY;
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15DataObjectList::SetValueFileParameters(void* record, uint32_t lifeCycleState,
                                                        uint32_t accessTemplate, const SCFileHeaderList& profile) {
    ASNPkcs15DataObject* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec)) rec->typeAttributes.chooseByIndex(ASNPkcs15ObjectValue<ASNany>::kIndirect);
    SCRESULT r = CreateValueObject(record);
    if (r < 0) return r;
    r = AllocateValuePath(record, nullptr);
    if (r < 0) return r;
    auto* v = static_cast<SCPkcs15BinaryDataObject*>(rec->typeAttributes.keyObject);
    v->SetCreateParameters(lifeCycleState, accessTemplate, profile);
    v->SetFresh(true);
    return 0;
}

SCRESULT SCPkcs15DataObjectList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15DataObject* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT code = MapAttributeType(attr->GetType());
    if (code < 0) return code;
    if ((code & P15_CATEGORY_MASK) == 0)
        return SCPkcs15TypedObjectList<ASNPkcs15DataObject>::GetAttribute(handle, attr);
    ASNPkcs15CommonDataObjectAttributes& ca = rec->classAttributes;
    const uint64_t type = attr->GetType();
    switch (code) {
        case p15attr::kDataValue: {
            if (ASNany* direct = rec->typeAttributes.getDirect()) {
                // The value held in the record: its bytes as they stand (binary attribute).
                std::vector<uint8_t> der;
                SCRESULT d = ScPkcs15Der(*direct, &der);
                if (d < 0) return d;
                return ScPkcs15PutBytes(attr, type, der.data(), static_cast<uint32_t>(der.size())) ? 0 : SC_E_NO_MEMORY;
            }
            if (!GetValuePath(rec)) return SC_E_PKCS15_ATTR_NOT_FOUND;
            SCPkcs15PathObjectInfo* v = nullptr;
            SCRESULT r = GetValueObject(handle, &v, true);
            if (r < 0) return r;
            if (!v) return SC_E_NO_MEMORY;
            auto* data = static_cast<SCPkcs15BinaryDataObject*>(v);
            if (!data->IsLoaded()) {
                // A value file that is missing or cannot be read is an error, never an empty value.
                r = LoadValue(handle, data, false);
                if (r < 0) return r;
            }
            uint32_t len = 0;
            const uint8_t* bytes = data->GetContents(&len);
            return ScPkcs15PutBytes(attr, type, bytes ? bytes : reinterpret_cast<const uint8_t*>(""), len) ? 0 : SC_E_NO_MEMORY;
        }
        case p15attr::kDataApplication:
            if (!ca.wasApplicationName) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetString(type, reinterpret_cast<const char*>(ca.applicationName.getData()),
                                   static_cast<uint32_t>(ca.applicationName.getLength()))
                       ? 0
                       : SC_E_NO_MEMORY;
        case p15attr::kDataObjectId:
            if (!ca.wasApplicationOID) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetAsnObject(type, ca.applicationOID) ? 0 : SC_E_NO_MEMORY;
        default: return (code & 0xFFFFFF00) == P15_KIND_DATA ? SC_E_PKCS15_UNSUPPORTED_ATTR : SC_E_PKCS15_INVALID_ATTR;
    }
}

SCRESULT SCPkcs15DataObjectList::SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15DataObject* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT code = MapAttributeType(attr->GetType());
    if (code < 0) return code;
    if ((code & P15_CATEGORY_MASK) == 0)
        return SCPkcs15TypedObjectList<ASNPkcs15DataObject>::SetAttribute(handle, attr);
    ASNPkcs15CommonDataObjectAttributes& ca = rec->classAttributes;
    const bool empty = !attr->GetValue() || attr->GetLength() == 0;
    switch (code) {
        case p15attr::kDataValue: {
            if (!GetValuePath(rec)) return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
            SCRESULT r = CreateValueObject(handle);
            if (r < 0) return r;
            r = static_cast<SCPkcs15BinaryDataObject*>(rec->typeAttributes.keyObject)
                    ->SetContents(attr->GetValue(), attr->GetLength());
            if (r < 0) return r;
            break;
        }
        case p15attr::kDataApplication:
            if (!ca.applicationName.setText(empty ? "" : reinterpret_cast<const char*>(attr->GetValue()),
                                            empty ? 0 : static_cast<int>(attr->GetLength())))
                return SC_E_NO_MEMORY;
            // A record always names its application by name, OID or both.
            ca.wasApplicationName = (!empty || !ca.wasApplicationOID) ? 1 : 0;
            break;
        case p15attr::kDataObjectId:
            if (empty) {
                ca.wasApplicationOID = 0;
                if (!ca.wasApplicationName) ca.wasApplicationName = 1;
                break;
            } else {
                ASNobjectId oid;
                long n = 0;
                try {
                    n = oid.readBuffer(attr->GetValue(), static_cast<long>(attr->GetLength()), 0);
                } catch (...) {
                    n = 0;
                }
                if (n < 1 || static_cast<uint64_t>(n) != attr->GetLength()) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                ca.applicationOID = oid;
                ca.wasApplicationOID = 1;
                if (ca.wasApplicationName && ca.applicationName.getLength() == 0) ca.wasApplicationName = 0;
            }
            break;
        default: return (code & 0xFFFFFF00) == P15_KIND_DATA ? SC_E_PKCS15_UNSUPPORTED_ATTR : SC_E_PKCS15_INVALID_ATTR;
    }
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15DataObjectList::IsPrivate(void* handle) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    SCRESULT f = SCPkcs15TypedObjectList<ASNPkcs15DataObject>::IsPrivate(handle);
    if (f != SC_E_PKCS15_ATTR_NOT_FOUND) return f;
    SCPkcs15PathObjectInfo* v = nullptr;
    GetValueObject(handle, &v, true);
    return PrivateByAccess(v);
}

SCRESULT SCPkcs15DataObjectList::IsReadOnly(void* handle) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    SCRESULT f = SCPkcs15TypedObjectList<ASNPkcs15DataObject>::IsReadOnly(handle);
    if (f != SC_E_PKCS15_ATTR_NOT_FOUND) return f;
    SCPkcs15PathObjectInfo* v = nullptr;
    GetValueObject(handle, &v, true);
    return ReadOnlyByAccess(v);
}

SCRESULT SCPkcs15DataObjectList::CommitValueChange(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                                   const SCFileHeaderList& profile) {
    ASNPkcs15DataObject* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    auto* v = static_cast<SCPkcs15BinaryDataObject*>(rec->typeAttributes.keyObject);
    const ASNPkcs15Path* path = GetValuePath(rec);
    // A value that is not to be written, or a window of a file that may hold more, is
    // committed as it stands.
    if (!m_pCard || !v || !v->IsDirty() || !path || v->GetIndex() != 0 || v->GetLength() != 0)
        return CommitRecord(record, false);
    SCTransactGuard guard(m_pCard);
    const ASNPkcs15Path oldPath(*path);
    // After a failure the value object names the old file again and is read afresh.
    const auto forget = [&]() {
        rec->typeAttributes.indirect = oldPath;
        (void)v->SetPathFromAsn(oldPath);
        v->ClearContents();
        v->ForgetFile();
    };
    uint32_t len = 0;
    const uint8_t* contents = v->GetContents(&len);
    const uint32_t part = v->CommandLength();
    const bool recordKept = RecordAsOnCard(record);
    bool shared = false;
    for (POSITION p = m_records.GetHeadPosition(); p && !shared;) {
        ASNPkcs15DataObject* other = m_records.GetNext(p);
        const ASNPkcs15Path* op = other != rec ? GetValuePath(other) : nullptr;
        shared = op && ComparePaths(*op, oldPath);
    }
    // A value that one UPDATE BINARY writes whole over a file of its size while
    // the record stays as it is is written where it is: the card keeps the old
    // value or the new one, and the directory is not written.
    SCRESULT size = 0;
    if (recordKept && len <= part && len > 0) {
        bool written = false;
        size = v->RewriteSameSize(contents, len, &written);
        if (written) {
            SetDirty(false);
            return 0;
        }
        if (size < 0 && size != SC_E_FILE_NOT_FOUND) {
            forget();
            return size;
        }
    } else {
        size = v->SizeOnCard();
    }
    // A file still to be made and a file that another record names too are written where they are.
    if (size == SC_E_FILE_NOT_FOUND) v->SetCreateParameters(lifeCycleState, accessTemplate, profile);
    if (size == SC_E_FILE_NOT_FOUND || shared) {
        const SCRESULT r = CommitRecord(record, false);
        if (r < 0) forget();
        return r;
    }
    if (size < 0) {
        forget();
        return size;
    }
    // Otherwise the new value goes to a new file, the record names it (the
    // committing write), and the old file goes last: wherever the card fails, the
    // record names a whole value, old or new.
    SCPkcs15PathObjectInfo old(m_pCard);
    if (!old.CopyBasePath(v->GetBasePath()) || !old.SetPath(v->GetPath())) {
        forget();
        return SC_E_NO_MEMORY;
    }
    old.SetApplication(v->GetApplication());
    old.SetAuthHandle(v->GetAuthHandle());
    // The card's records come in while this one still names the old file (a merge
    // tells records apart by the files they name; the record kept stays).
    SCRESULT r = MergeWithCard(record);
    if (r == SC_E_FILE_NOT_FOUND) r = 0;
    if (r >= 0) r = AllocateValuePath(record, nullptr);
    if (r >= 0) {
        v->SetCreateParameters(lifeCycleState, accessTemplate, profile);
        v->ForgetFile();
        v->SetFresh(true);
        r = CommitRecord(record, false, true);
    }
    if (r < 0) {
        forget();
        return r;
    }
    r = old.Delete();
    if (r >= 0 || r == SC_E_FILE_NOT_FOUND) return 0;
    // The old file could not go: the record as it was (kept by EncodeRecord, when the
    // caller did) names it again and the new file goes, so that the failed call
    // leaves the card as it was.
    const bool putBack = UndoLastWrite() >= 0;
    if (DecodeRecord(record) < 0) rec->typeAttributes.indirect = oldPath;
    if (putBack) {
        (void)v->DeleteMade();
        // The card names the record as it was again.
        (void)NoteWritten();
    }
    forget();
    return r;
}
