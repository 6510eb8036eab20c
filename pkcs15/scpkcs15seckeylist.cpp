#include "pkcs15/scpkcs15seckeylist.h"

#include <new>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "support/memfile.h"
#include "support/textutil.h"
#include "support/vtest.h"

// ---- value file ----

SCPkcs15SecretKeyObject::SCPkcs15SecretKeyObject(SCCard* card)
    : SCPkcs15PathObjectInfo(card), m_value(0x04), m_valueKnown(0), m_keyLength(0), m_record(nullptr) {}

SCPkcs15SecretKeyObject::~SCPkcs15SecretKeyObject() { m_value.clear(); }

SCRESULT SCPkcs15SecretKeyObject::Parse(MemFile* in, uint32_t len) {
    m_valueKnown = 0;
    m_keyLength = 0;
    SCRESULT r = DecodeAsn(m_value, in, len);
    if (r < 0) return r;
    m_valueKnown = 1;
    m_keyLength = 8ULL * static_cast<uint64_t>(m_value.getLength());
    return r;
}

void SCPkcs15SecretKeyObject::ClearContents() {
    m_value.clear();
    m_valueKnown = 0;
}

SCRESULT SCPkcs15SecretKeyObject::Encode(MemFile* out) { return EncodeAsn(m_value, out); }

void SCPkcs15SecretKeyObject::Reset(bool full) {
    m_valueKnown = 0;
    m_keyLength = 0;
    m_record = nullptr;
    SCPkcs15PathObjectInfo::Reset(full);
}

SCRESULT SCPkcs15SecretKeyObject::SetValue(const uint8_t* data, uint32_t len) {
    ASNoctstr v(0x04);
    if (len && !data) return SC_E_BAD_PARAMS;
    if (!v.set(len ? data : reinterpret_cast<const uint8_t*>(""), static_cast<long>(len))) return SC_E_NO_MEMORY;
    m_value.clear();
    if (!m_value.set(v.getData() ? v.getData() : reinterpret_cast<const uint8_t*>(""), v.getLength())) {
        v.clear();
        return SC_E_NO_MEMORY;
    }
    v.clear();
    m_valueKnown = 1;
    m_keyLength = 8ULL * len;
    m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED | FLAG_DIRTY;
    return 0;
}

// ---- directory ----

namespace {


// Record tag and algorithm index of each kind: 0 the generic key, 1 .. 15 the tagged ones.
int AlgorithmForKind(uint32_t kind) {
    if (kind == 0 || kind == P15_KIND_SECRET_KEY) return 0;
    if ((kind & 0xFFFFFF) != P15_KIND_SECRET_KEY) return -1;
    const uint32_t top = kind >> 24;
    return top >= 1 && top <= 15 ? static_cast<int>(top) : -1;
}

SCPkcs15SecretKeyObject* ValueObjectOf(ASNPkcs15SecretKeyType* rec) {
    ASNPkcs15ObjectValue<ASNoctstr>* v = rec->getValue();
    return v ? static_cast<SCPkcs15SecretKeyObject*>(static_cast<SCPkcs15PathObjectInfo*>(v->keyObject)) : nullptr;
}

}  // namespace

SCPkcs15SecretKeyList::SCPkcs15SecretKeyList(SCCard* card) : Base(card, P15_KIND_SECRET_KEY) {}

SCPkcs15SecretKeyList::~SCPkcs15SecretKeyList() = default;

uint32_t SCPkcs15SecretKeyList::KindOf(ASNPkcs15SecretKeyType* rec) {
    const int alg = rec->getKeyAlgorithm();
    return alg > 0 && alg <= 15 ? (static_cast<uint32_t>(alg) << 24) | P15_KIND_SECRET_KEY : P15_KIND_SECRET_KEY;
}

SCRESULT SCPkcs15SecretKeyList::GetObjectKind(void* handle) {
    ASNPkcs15SecretKeyType* rec = RecordFor(handle);
    return rec ? static_cast<SCRESULT>(KindOf(rec)) : SC_E_PKCS15_INVALID_HANDLE;
}

SCRESULT SCPkcs15SecretKeyList::MapAttributeType(uint64_t code) {
    if ((code & 0xFFFF0000ULL) != p15attr::kAnyFamily) return Base::MapAttributeType(code);
    switch (p15attr::kAnyFamily | (code & 0xFFFF)) {
        case p15attr::kAnyValue: return p15attr::kSecretValue;
        case p15attr::kAnyValueLength: return p15attr::kSecretValueLength;
        default: return SC_E_PKCS15_INVALID_ATTR;
    }
}

const ASNPkcs15Path* SCPkcs15SecretKeyList::GetValuePath(ASNPkcs15SecretKeyType* rec) {
    if (!rec) return nullptr;
    ASNPkcs15ObjectValue<ASNoctstr>* v = rec->getValue();
    return v && v->getChosenIndex() == ASNPkcs15ObjectValue<ASNoctstr>::kIndirect ? &v->indirect : nullptr;
}

SCRESULT SCPkcs15SecretKeyList::CreateValueObject(void* record) {
    ASNPkcs15SecretKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15ObjectValue<ASNoctstr>* objValue = rec->getValue();
    AssertInvariant(objValue != nullptr, "scpkcs15seckeylist", __LINE__, "objValue", nullptr);
    if (!objValue) return SC_E_BAD_USAGE;
    if (objValue->keyObject) return 0;
    auto* v = new (std::nothrow) SCPkcs15SecretKeyObject(m_pCard);
    if (!v) return SC_E_NO_MEMORY;
    v->SetRecord(rec);
    SCRESULT r = AdoptValueObject(m_valueObjects, v, GetValuePath(rec), record);
    if (r < 0) return r;
    v->SetCreateParameters(m_lifeCycleState, m_accessTemplate, m_createRefs);
    objValue->keyObject = static_cast<SCPkcs15PathObjectInfo*>(v);
    return 0;
}

SCRESULT SCPkcs15SecretKeyList::GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
    if (out) *out = nullptr;
    ASNPkcs15SecretKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec)) return 0;
    if (!ValueObjectOf(rec) && create) {
        SCRESULT r = CreateValueObject(record);
        if (r < 0) return r;
    }
    if (out) *out = ValueObjectOf(rec);
    return 0;
}

SCRESULT SCPkcs15SecretKeyList::SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                                       const SCFileHeaderList& refs) {
    ASNPkcs15SecretKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15ObjectValue<ASNoctstr>* objValue = rec->getValue();
    if (!objValue) return SC_E_BAD_USAGE;
    if (!GetValuePath(rec)) objValue->chooseByIndex(ASNPkcs15ObjectValue<ASNoctstr>::kIndirect);
    SCRESULT r = CreateValueObject(record);
    if (r < 0) return r;
    SCPkcs15SecretKeyObject* v = ValueObjectOf(rec);
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() < 1) return SC_E_BAD_USAGE;
    r = v->AllocateFileId(0x8000, full.Ids(), static_cast<uint16_t>(full.Count() - 1));
    if (r < 0) return r;
    const SCPath& p = v->GetPath();
    if (!objValue->indirect.set(p.Ids(), static_cast<int>(p.Count()), 0, 0)) return SC_E_NO_MEMORY;
    v->SetCreateParameters(lifeCycleState, accessTemplate, refs);
    v->SetFresh(true);
    SetDirty(true);
    return 0;
}

// ---- privacy and write protection ----

SCRESULT SCPkcs15SecretKeyList::IsPrivate(void* handle) {
    ASNPkcs15SecretKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15CommonObjectAttributes* co = rec->getCommonObjectAttributes();
    if (co && co->wasFlags) return (co->flags.getFlags() & 1) ? 1 : 0;
    if (!IsOp0Allowed(0)) return 1;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(handle, &v, true);
    if (r < 0) return r;
    if (!v) return 0;
    if (v->IsOp16Allowed(0)) return 0;
    return v->IsOp0Allowed(0) ? 0 : 1;
}

SCRESULT SCPkcs15SecretKeyList::IsReadOnly(void* handle) {
    AssertInvariant(m_pPkcs15App != nullptr, "scpkcs15seckeylist", __LINE__, "m_pPkcs15App != NULL", nullptr);
    ASNPkcs15SecretKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15CommonObjectAttributes* co = rec->getCommonObjectAttributes();
    if (co && co->wasFlags) return (co->flags.getFlags() & 2) ? 0 : 1;
    uint32_t ref = GetPinReference(GuardingPin());
    if ((ref == 0 || ref >= 255) && m_pPkcs15App) {
        const SCFileHeaderList& h = m_pPkcs15App->GetHeaderList();
        ref = h.HasUserPinRef() ? h.GetUserPinRef() : 0;
    }
    const uint16_t word = (ref > 0 && ref < 255) ? static_cast<uint16_t>(0xC000 | ref) : 0;
    bool exists = false;
    // Writable only when both the directory file and the key's value file may be written.
    if (!IsAccessAllowed(word, &exists)) return 1;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(handle, &v, true);
    if (r < 0) return r;
    return v && !v->IsAccessAllowed(word, &exists) ? 1 : 0;
}

// ---- records ----

SCRESULT SCPkcs15SecretKeyList::CreateKindRecord(uint32_t kind, ASNPkcs15SecretKeyType** out) {
    if (out) *out = nullptr;
    if ((kind & P15_CLASS_MASK) != 0 && (kind & P15_CLASS_MASK) != P15_KIND_SECRET_KEY)
        return SC_E_PKCS15_UNSUPPORTED_TYPE;
    if (!IsLoaded()) {
        SCRESULT l = IsLoadTried() ? GetLastResult() : Load(false);
        if (l < 0 && l != SC_E_FILE_NOT_FOUND) return l;
    }
    const int alg = AlgorithmForKind(kind);
    if (alg < 0) return SC_E_PKCS15_UNSUPPORTED_TYPE;
    ASNPkcs15SecretKeyType* rec = m_records.NewRecord();
    if (!rec) return SC_E_NO_MEMORY;
    // The last alternative (AES) is written as a key with its type identifier.
    if (!rec->setPathValue(static_cast<uint32_t>(alg), alg == 15 ? -1 : 0, nullptr)) {
        DropRecord(rec);
        return SC_E_NO_MEMORY;
    }
    if (out) *out = rec;
    return 0;
}

// ---- attributes ----

SCRESULT SCPkcs15SecretKeyList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15SecretKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t type = attr->GetType();
    const uint64_t group = code & ~0xFFULL;
    if (group == 0) {
        if (code == 0 || code > p15attr::kUserConsent) return SC_E_PKCS15_INVALID_ATTR;
        if (code == p15attr::kKind) return attr->SetInteger(type, KindOf(rec)) ? 0 : SC_E_NO_MEMORY;
        return Base::GetAttribute(handle, attr);
    }
    if (group == P15_KIND_KEY) {
        ASNPkcs15CommonKeyAttributes* ka = rec->getCommonKeyAttributes();
        if (!ka) return SC_E_PKCS15_ATTR_NOT_FOUND;
        SCRESULT r = ScPkcs15GetCommonKeyAttribute(*ka, code, attr);
        if (!(code == p15attr::kKeyAccess && r == SC_E_PKCS15_ATTR_NOT_FOUND)) return r;
        SCPkcs15PathObjectInfo* v = nullptr;
        r = GetValueObject(handle, &v, true);
        if (r < 0) return r;
        const SCRESULT fs = v ? v->GetFileStructure() : -1;
        if (fs == 2) return attr->SetFlags(type, 2, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
        if (fs == 201 || fs == 202) return attr->SetFlags(type, 11, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
        attr->SetValue(nullptr, 0);
        return 0;
    }
    if (group != P15_KIND_SECRET_KEY) return SC_E_PKCS15_UNSUPPORTED_ATTR;
    ASNPkcs15ObjectValue<ASNoctstr>* objValue = rec->getValue();
    switch (code) {
        case p15attr::kSecretValue: {
            if (!objValue) return SC_E_PKCS15_ATTR_NOT_FOUND;
            if (ASNoctstr* direct = objValue->getDirect())
                return ScPkcs15PutBytes(attr, type, direct->getData(), static_cast<uint32_t>(direct->getLength()))
                           ? 0
                           : SC_E_NO_MEMORY;
            if (!GetValuePath(rec)) return SC_E_PKCS15_ATTR_NOT_FOUND;
            SCPkcs15PathObjectInfo* v = nullptr;
            SCRESULT r = GetValueObject(handle, &v, true);
            if (r < 0) return r;
            auto* key = static_cast<SCPkcs15SecretKeyObject*>(v);
            if (!key->IsLoaded()) {
                r = key->LoadAnswerKept() ? key->GetLastResult() : key->Load(false);
                // A value file that is missing or cannot be read is an error, never an empty value.
                if (r < 0) return r;
            }
            if (!key->IsValueKnown()) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
            const ASNoctstr& bytes = key->GetValue();
            return ScPkcs15PutBytes(attr, type, bytes.getData(), static_cast<uint32_t>(bytes.getLength()))
                       ? 0
                       : SC_E_NO_MEMORY;
        }
        case p15attr::kSecretValueLength: {
            ASNPkcs15CommonSecretKeyAttributes* sub = rec->getCommonSecretKeyAttributes();
            if (sub && sub->wasKeyLen) {
                long bits = 0;
                try {
                    bits = sub->keyLen.getLong();
                } catch (...) {
                    return SC_E_PKCS15_INVALID_ATTR_VALUE;
                }
                if (bits < 0 || bits > 0x7FFFFFFFL) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                return attr->SetInteger(type, static_cast<uint32_t>(bits)) ? 0 : SC_E_NO_MEMORY;
            }
            SCPkcs15SecretKeyObject* key = ValueObjectOf(rec);
            if (key && key->GetKeyLength() != 0 && key->GetKeyLength() <= 0xFFFFFFFFULL)
                return attr->SetInteger(type, static_cast<uint32_t>(key->GetKeyLength())) ? 0 : SC_E_NO_MEMORY;
            if (objValue && objValue->getDirect())
                return attr->SetInteger(type, static_cast<uint32_t>(8 * objValue->getDirect()->getLength()))
                           ? 0
                           : SC_E_NO_MEMORY;
            return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
        }
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
}

SCRESULT SCPkcs15SecretKeyList::SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15SecretKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t group = code & ~0xFFULL;
    if (group == 0) return Base::SetAttribute(handle, attr);
    SCRESULT r = 0;
    if (group == P15_KIND_KEY) {
        ASNPkcs15CommonKeyAttributes* ka = rec->getCommonKeyAttributes();
        if (!ka) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        r = ScPkcs15SetCommonKeyAttribute(*ka, code, attr);
    } else if (code == p15attr::kSecretValue) {
        ASNPkcs15ObjectValue<ASNoctstr>* objValue = rec->getValue();
        AssertInvariant(objValue != nullptr, "scpkcs15seckeylist", __LINE__, "objValue", nullptr);
        if (!objValue) return SC_E_BAD_USAGE;
        const uint8_t* data = attr->GetValue() ? attr->GetValue() : reinterpret_cast<const uint8_t*>("");
        if (ASNoctstr* direct = objValue->getDirect()) {
            // The record holds the key: the bytes go into it, or nothing changes.
            ASNoctstr copy(0x04);
            if (!copy.set(data, static_cast<long>(attr->GetLength()))) return SC_E_NO_MEMORY;
            if (!direct->set(copy.getData() ? copy.getData() : data, copy.getLength())) {
                copy.clear();
                return SC_E_NO_MEMORY;
            }
            copy.clear();
        } else if (GetValuePath(rec)) {
            r = CreateValueObject(handle);
            if (r < 0) return r;
            // The value file takes the bytes; the directory itself does not change.
            return ValueObjectOf(rec)->SetValue(data, attr->GetLength());
        } else {
            return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
        }
    } else if (code == p15attr::kSecretValueLength) {
        uint32_t bits = 0;
        if (!attr->GetInteger(&bits)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        ASNPkcs15CommonSecretKeyAttributes* sub = nullptr;
        switch (rec->selector) {
            case ASNPkcs15SecretKeyType::kGenericSecretKey:
                rec->genericSecretKey.wasSubClassAttributes = 1;
                sub = &rec->genericSecretKey.subClassAttributes;
                break;
            case ASNPkcs15SecretKeyType::kOtherKey:
                rec->otherKey.keyAttr.wasSubClassAttributes = 1;
                sub = &rec->otherKey.keyAttr.subClassAttributes;
                break;
            case ASNPkcs15SecretKeyType::kGenericKey:
                rec->genericKey.wasSubClassAttributes = 1;
                sub = &rec->genericKey.subClassAttributes;
                break;
            default: return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        }
        try {
            sub->keyLen.setValue(bits);
        } catch (const std::bad_alloc&) {
            return SC_E_NO_MEMORY;
        }
        sub->wasKeyLen = 1;
    } else {
        return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    if (r < 0) return r;
    SetDirty(true);
    return 0;
}
