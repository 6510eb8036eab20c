#include "pkcs15/scpkcs15pubkeylist.h"

#include <new>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15rsakeyobject.h"
#include "support/vtest.h"

namespace {

constexpr uint32_t kAccessExtractable = 2;        // extractable
constexpr uint32_t kAccessExtractableLocal = 18;  // extractable and local


SCRESULT PutMagnitude(SCPkcs15ObjectAttribute* attr, const ASNinteger& v) {
    uint32_t len = 0;
    const uint8_t* d = ScPkcs15Magnitude(v, &len);
    if (!d) return SC_E_PKCS15_ATTR_NOT_FOUND;
    return attr->SetBigInt(attr->GetType(), d, len) ? 0 : SC_E_NO_MEMORY;
}

SCPkcs15PublicRsaKeyObject* KeyObjectOf(ASNPkcs15PublicKeyRecord* rec) {
    return static_cast<SCPkcs15PublicRsaKeyObject*>(
        static_cast<SCPkcs15KeyObject*>(rec->typeAttributes.value.keyObject));
}

}  // namespace

SCPkcs15PublicKeyList::SCPkcs15PublicKeyList(SCCard* card, bool trusted) : Base(card, P15_KIND_PUBLIC_KEY, trusted) {}

SCPkcs15PublicKeyList::~SCPkcs15PublicKeyList() = default;

SCRESULT SCPkcs15PublicKeyList::GetObjectKind(void* handle) {
    return HoldsHandle(handle) ? static_cast<SCRESULT>(P15_KIND_RSA_PUBLIC_KEY) : SC_E_PKCS15_INVALID_HANDLE;
}

void SCPkcs15PublicKeyList::Reset(bool full) {
    SetTrusted(false);
    Base::Reset(full);
}

const ASNPkcs15Path* SCPkcs15PublicKeyList::GetValuePath(ASNPkcs15PublicKeyRecord* rec) {
    if (!rec || rec->typeAttributes.value.getChosenIndex() != ASNPkcs15ObjectValue<ASNPkcs15RSAPublicKeyChoice>::kIndirect)
        return nullptr;
    return &rec->typeAttributes.value.indirect;
}

SCRESULT SCPkcs15PublicKeyList::MapAttributeType(uint64_t code) {
    if ((code & 0xFFFF0000ULL) != p15attr::kAnyFamily) return Base::MapAttributeType(code);
    switch (p15attr::kAnyFamily | (code & 0xFFFF)) {
        case p15attr::kAnyId: return p15attr::kKeyId;
        case p15attr::kAnyTrustedUsage: return p15attr::kPublicKeyAttribute;
        case p15attr::kAnyTrusted: return p15attr::kPublicTrusted;
        case p15attr::kAnySubject: return p15attr::kPublicSubject;
        case p15attr::kAnyModulus: return p15attr::kRsaPublicModulus;
        case p15attr::kAnyPublicExponent: return p15attr::kRsaPublicExponent;
        case p15attr::kAnyKeyHash: return p15attr::kPublicKeyHash;
        case p15attr::kAnyPublicKey: return p15attr::kPublicValue;
        default: return SC_E_PKCS15_INVALID_ATTR;
    }
}

// ---- key objects ----

SCRESULT SCPkcs15PublicKeyList::CreateKeyObject(void* record) {
    ASNPkcs15PublicKeyRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->typeAttributes.value.keyObject) return 0;
    auto* key = new (std::nothrow) SCPkcs15PublicRsaKeyObject(m_pCard);
    if (!key) return SC_E_NO_MEMORY;
    key->SetRecord(rec);
    SCRESULT r = AdoptValueObject(m_valueObjects, key, GetValuePath(rec), record);
    if (r < 0) return r;
    const int ref = rec->classAttributes.wasKeyReference ? rec->classAttributes.getKeyReference() : -1;
    if (ref >= 0 && ref < 255) key->SetKeyReference(static_cast<uint32_t>(ref));
    rec->typeAttributes.value.keyObject = static_cast<SCPkcs15KeyObject*>(key);
    return 0;
}

SCRESULT SCPkcs15PublicKeyList::GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
    if (out) *out = nullptr;
    ASNPkcs15PublicKeyRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec)) return 0;
    if (!rec->typeAttributes.value.keyObject && create) {
        SCRESULT r = CreateKeyObject(record);
        if (r < 0) return r;
    }
    if (out && rec->typeAttributes.value.keyObject) *out = KeyObjectOf(rec);
    return 0;
}

SCRESULT SCPkcs15PublicKeyList::GetKeyObject(void* record, SCPkcs15PublicRsaKeyObject** out) {
    if (out) *out = nullptr;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(record, &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_PKCS15_ATTR_NOT_FOUND;
    auto* key = static_cast<SCPkcs15PublicRsaKeyObject*>(v);
    if (out) *out = key;
    if (key->IsLoaded()) return 0;
    if (key->LoadAnswerKept()) return key->GetLastResult() < 0 ? key->GetLastResult() : 0;
    return key->Load(true);
}

SCRESULT SCPkcs15PublicKeyList::SetValuePath(void* record, const SCPath* path) {
    ASNPkcs15PublicKeyRecord* rec = RecordFor(record);
    if (!rec) return SC_E_BAD_USAGE;
    SCPkcs15PublicRsaKeyObject* key = GetValuePath(rec) ? KeyObjectOf(rec) : nullptr;
    if (!key) return SC_E_BAD_USAGE;
    if (path) {
        if (!key->SetPath(*path)) return SC_E_NO_MEMORY;
    } else {
        SCPath full;
        if (!GetFullPathInto(full) || full.Count() < 1) return SC_E_BAD_USAGE;
        SCRESULT r = key->AllocateFileId(0x7000, full.Ids(), static_cast<uint16_t>(full.Count() - 1));
        if (r < 0) return r;
    }
    const SCPath& p = key->GetPath();
    if (!rec->typeAttributes.value.indirect.set(p.Ids(), static_cast<int>(p.Count()), 0, 0)) return SC_E_NO_MEMORY;
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15PublicKeyList::SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                                       const SCFileHeaderList& refs) {
    ASNPkcs15PublicKeyRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec))
        rec->typeAttributes.value.chooseByIndex(ASNPkcs15ObjectValue<ASNPkcs15RSAPublicKeyChoice>::kIndirect);
    SCRESULT r = CreateKeyObject(record);
    if (r < 0) return r;
    r = SetValuePath(record, nullptr);
    if (r < 0) return r;
    SCPkcs15PublicRsaKeyObject* key = KeyObjectOf(rec);
    key->SetCreateParameters(lifeCycleState, accessTemplate, refs);
    key->SetFresh(true);
    return 0;
}

// ---- privacy and write protection ----

SCRESULT SCPkcs15PublicKeyList::IsPrivate(void* handle) {
    const ASNPkcs15PublicKeyRecord* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    const ASNPkcs15CommonObjectAttributes& co = rec->commonObjectAttributes;
    if (!co.wasFlags) return 0;
    return (co.flags.getFlags() & 1) ? 1 : 0;
}

SCRESULT SCPkcs15PublicKeyList::IsReadOnly(void* handle) {
    AssertInvariant(m_pPkcs15App != nullptr, "scpkcs15pubkeylist", __LINE__, "m_pPkcs15App != NULL", nullptr);
    ASNPkcs15PublicKeyRecord* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    const ASNPkcs15CommonObjectAttributes& co = rec->commonObjectAttributes;
    if (co.wasFlags) return (co.flags.getFlags() & 2) ? 0 : 1;
    uint32_t ref = GetPinReference(GuardingPin());
    if ((ref == 0 || ref >= 255) && m_pPkcs15App) {
        const SCFileHeaderList& h = m_pPkcs15App->GetHeaderList();
        ref = h.HasUserPinRef() ? h.GetUserPinRef() : 0;
    }
    const uint16_t word = (ref > 0 && ref < 255) ? static_cast<uint16_t>(0xC000 | ref) : 0;
    bool exists = false;
    if (!IsAccessAllowed(word, &exists)) return 1;
    if (!GetValuePath(rec)) return 0;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(handle, &v, true);
    if (r < 0) return r;
    return v && !v->IsAccessAllowed(word, &exists) ? 1 : 0;
}

// ---- records ----

SCRESULT SCPkcs15PublicKeyList::CreateKindRecord(uint32_t kind, ASNPkcs15PublicKeyRecord** out) {
    if (out) *out = nullptr;
    if ((kind & 0xFF00) != 0 && (kind & ~0xFFu) != P15_KIND_RSA_PUBLIC_KEY) return SC_E_PKCS15_UNSUPPORTED_TYPE;
    if (!IsLoaded()) {
        SCRESULT l = Load(false);
        if (l < 0 && l != SC_E_FILE_NOT_FOUND) return l;
    }
    ASNPkcs15PublicKeyRecord* rec = m_records.NewRecord();
    if (!rec) return SC_E_NO_MEMORY;
    if (out) *out = rec;
    return 0;
}

// ---- attributes ----

SCRESULT SCPkcs15PublicKeyList::GetPublicKey(ASNPkcs15PublicKeyRecord* rec, RSAPublicKey** key,
                                             uint32_t* accessFlags) {
    *key = nullptr;
    ASNPkcs15ObjectValue<ASNPkcs15RSAPublicKeyChoice>& value = rec->typeAttributes.value;
    if (ASNPkcs15RSAPublicKeyChoice* direct = value.getDirect()) {
        *accessFlags = kAccessExtractable;
        *key = direct->getRSAPublicKey();
        return *key ? 0 : SC_E_PKCS15_ATTR_NOT_FOUND;
    }
    if (!GetValuePath(rec)) return SC_E_PKCS15_ATTR_NOT_FOUND;
    SCPkcs15PublicRsaKeyObject* obj = nullptr;
    SCRESULT r = GetKeyObject(HandleOf(rec), &obj);
    if (r < 0) return r;
    if (!obj) return SC_E_PKCS15_ATTR_NOT_FOUND;
    *accessFlags = obj->IsOnCardGenerated() ? kAccessExtractableLocal : kAccessExtractable;
    *key = &obj->value;
    return 0;
}

SCRESULT SCPkcs15PublicKeyList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15PublicKeyRecord* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t type = attr->GetType();
    const uint64_t group = code & ~0xFFULL;
    if (group == 0) {
        if (code == 0 || code > 5) return SC_E_PKCS15_INVALID_ATTR;
        return Base::GetAttribute(handle, attr);
    }
    if (group == P15_KIND_KEY) {
        SCRESULT r = ScPkcs15GetCommonKeyAttribute(rec->classAttributes, code, attr);
        if (!(code == p15attr::kKeyAccess && r == SC_E_PKCS15_ATTR_NOT_FOUND)) return r;
    } else if (group == P15_KIND_PUBLIC_KEY) {
        const ASNPkcs15CommonPublicKeyAttributes& pa = rec->subClassAttributes;
        switch (code) {
            case p15attr::kPublicTrusted: return attr->SetBoolean(type, IsTrusted()) ? 0 : SC_E_NO_MEMORY;
            case p15attr::kPublicSubject:
                if (!rec->wasSubClassAttributes || !pa.wasSubjectName) return SC_E_PKCS15_ATTR_NOT_FOUND;
                return attr->SetAsnObject(type, pa.subjectName) ? 0 : SC_E_NO_MEMORY;
            case p15attr::kPublicKeyAttribute:
                if (!rec->wasSubClassAttributes || !pa.wasTrustedUsage) return SC_E_PKCS15_ATTR_NOT_FOUND;
                return attr->SetAsnObject(type, pa.trustedUsage) ? 0 : SC_E_NO_MEMORY;
            case p15attr::kPublicValue:
            case p15attr::kPublicKeyHash: break;
            case p15attr::kPublicEcParams: return SC_E_PKCS15_ATTR_NOT_FOUND;
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
    } else if (group == P15_KIND_RSA_PUBLIC_KEY) {
        ASNPkcs15PublicRSAKeyAttributes& ra = rec->typeAttributes;
        if (code == p15attr::kRsaPublicModulusBits) {
            long bits = 0;
            try {
                bits = ra.modulusLength.getLong();
            } catch (...) {
                return SC_E_PKCS15_INVALID_ATTR_VALUE;
            }
            if (bits < 0 || bits > 0x7FFFFFFFL) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            return attr->SetInteger(type, static_cast<uint32_t>(bits)) ? 0 : SC_E_NO_MEMORY;
        }
        if (code == p15attr::kRsaPublicFlags) {
            if (!ra.wasKeyInfo) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetAsnObject(type, ra.keyInfo) ? 0 : SC_E_NO_MEMORY;
        }
        if (code != p15attr::kRsaPublicModulus && code != p15attr::kRsaPublicExponent)
            return SC_E_PKCS15_UNSUPPORTED_ATTR;
    } else {
        return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    // From the key value.
    RSAPublicKey* key = nullptr;
    uint32_t access = 0;
    SCRESULT r = GetPublicKey(rec, &key, &access);
    if (r < 0) {
        attr->SetValue(nullptr, 0);
        return r;
    }
    switch (code) {
        case p15attr::kKeyAccess: return attr->SetFlags(type, access, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
        case p15attr::kRsaPublicModulus: return PutMagnitude(attr, key->modulus);
        case p15attr::kRsaPublicExponent: return PutMagnitude(attr, key->publicExponent);
        case p15attr::kPublicValue: return attr->SetAsnObject(type, *key) ? 0 : SC_E_NO_MEMORY;
        case p15attr::kPublicKeyHash: {
            uint32_t len = 0;
            const uint8_t* n = ScPkcs15Magnitude(key->modulus, &len);
            if (!n) return SC_E_PKCS15_ATTR_NOT_FOUND;
            uint8_t digest[20];
            if (!ScPkcs15Sha1OfNumber(n, len, digest)) return SC_E_NO_MEMORY;
            return ScPkcs15PutBytes(attr, type, digest, 20) ? 0 : SC_E_NO_MEMORY;
        }
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
}

SCRESULT SCPkcs15PublicKeyList::SetPublicValue(ASNPkcs15PublicKeyRecord* rec, uint64_t code,
                                               const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15ObjectValue<ASNPkcs15RSAPublicKeyChoice>& value = rec->typeAttributes.value;
    const uint8_t* data = attr->GetValue();
    const long len = static_cast<long>(attr->GetLength());
    if (!data || len == 0) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    const ASNPkcs15Path* path = GetValuePath(rec);
    if (path && path->path.getLength() > 0) {
        SCRESULT r = CreateKeyObject(HandleOf(rec));
        if (r < 0) return r;
        SCPkcs15PublicRsaKeyObject* key = KeyObjectOf(rec);
        AssertInvariant(key != nullptr, "scpkcs15pubkeylist", __LINE__, "pRsaPubKey != NULL", nullptr);
        int ok = code == p15attr::kRsaPublicModulus ? key->value.setModulusBytes(data, len)
                                                    : key->value.setPublicExponentBytes(data, len);
        if (ok != 1) return SC_E_NO_MEMORY;
        key->SetDirty(true);
        return 0;
    }
    // A record without a value file holds the key itself, as a raw key unless it has another form.
    if (!value.getDirect()) value.chooseByIndex(ASNPkcs15ObjectValue<ASNPkcs15RSAPublicKeyChoice>::kDirect);
    ASNPkcs15RSAPublicKeyChoice* direct = value.getDirect();
    if (!direct) return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
    if (direct->getChosenIndex() == 1) {
        RSAPublicKey* inner = direct->getRSAPublicKey();
        if (!inner) return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
        RSAPublicKey k(*inner);
        int ok =
            code == p15attr::kRsaPublicModulus ? k.setModulusBytes(data, len) : k.setPublicExponentBytes(data, len);
        if (ok != 1 || direct->spki.setRsaPublicKey(k) != 1) return SC_E_NO_MEMORY;
        return 0;
    }
    return direct->setRawBytes(code == p15attr::kRsaPublicModulus ? data : nullptr, len,
                               code == p15attr::kRsaPublicExponent ? data : nullptr, len) == 1
               ? 0
               : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15PublicKeyList::SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15PublicKeyRecord* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t group = code & ~0xFFULL;
    const bool empty = !attr->GetValue() || attr->GetLength() == 0;
    SCRESULT r = 0;
    if (group == 0) return Base::SetAttribute(handle, attr);
    if (group == P15_KIND_KEY) {
        r = ScPkcs15SetCommonKeyAttribute(rec->classAttributes, code, attr);
    } else if (group == P15_KIND_PUBLIC_KEY) {
        ASNPkcs15CommonPublicKeyAttributes& pa = rec->subClassAttributes;
        switch (code) {
            case p15attr::kPublicSubject:
                if (empty) {
                    pa.wasSubjectName = 0;
                } else if (ScPkcs15FromDer(pa.subjectName, attr)) {
                    pa.wasSubjectName = 1;
                } else {
                    return SC_E_PKCS15_INVALID_ATTR_VALUE;
                }
                break;
            case p15attr::kPublicKeyAttribute:
                if (empty) {
                    pa.wasTrustedUsage = 0;
                } else if (ScPkcs15FromDer(pa.trustedUsage, attr)) {
                    pa.wasTrustedUsage = 1;
                } else {
                    return SC_E_PKCS15_INVALID_ATTR_VALUE;
                }
                break;
            case p15attr::kPublicTrusted: return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
        rec->wasSubClassAttributes = (pa.wasSubjectName || pa.wasTrustedUsage) ? 1 : 0;
    } else if (group == P15_KIND_RSA_PUBLIC_KEY) {
        switch (code) {
            case p15attr::kRsaPublicFlags: return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
            case p15attr::kRsaPublicModulusBits: {
                if (empty) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                if (rec->typeAttributes.modulusLength.setUnsigned(attr->GetValue(), static_cast<long>(attr->GetLength())) != 1)
                    return SC_E_NO_MEMORY;
                break;
            }
            case p15attr::kRsaPublicModulus:
            case p15attr::kRsaPublicExponent: r = SetPublicValue(rec, code, attr); break;
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
    } else {
        return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    if (r < 0) return r;
    SetDirty(true);
    return 0;
}
