#include "pkcs15/scpkcs15certlist.h"

#include <cstring>
#include <memory>
#include <new>

#include "lib/libasn/asnocstr.h"
#include "lib/libasn/x509/sgncert.h"
#include "libtorvapp/qvhash.h"
#include "pkcs15/scpkcs15app.h"
#include "support/memfile.h"
#include "support/vtest.h"

// ---- certificate file ----

SCPkcs15X509CertificateObject::SCPkcs15X509CertificateObject(SCCard* card)
    : SCPkcs15PathObjectInfo(card), m_cert(0x30), m_parsed(false), m_word(0) {}

SCPkcs15X509CertificateObject::~SCPkcs15X509CertificateObject() = default;

SCRESULT SCPkcs15X509CertificateObject::Parse(MemFile* in, uint32_t len) {
    m_parsed = false;
    m_raw.clear();
    m_cert.clear();
    if (!in) return SC_E_BAD_USAGE;
    const int64_t mark = in->Tell();
    long r = 0;
    try {
        r = m_cert.read(in, static_cast<long>(len), 0);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    // A certificate is the whole file: bytes after it mean the file is not one.
    if (r > 0 && static_cast<uint64_t>(r) == len) {
        m_parsed = true;
        return static_cast<SCRESULT>(r);
    }
    if (r == -1 || r == -2) return SC_E_NO_MEMORY;
    // Not DER: kept as the file's octets, written back unchanged.
    m_cert.clear();
    if (mark < 0 || in->Seek(static_cast<long>(mark)) != 0) return SC_E_PKCS15_FILE;
    try {
        m_raw.resize(len);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    size_t got = 0;
    if (len && (in->Read(len, m_raw.data(), &got) != 0 || got != len)) {
        m_raw.clear();
        return SC_E_PKCS15_FILE;
    }
    return static_cast<SCRESULT>(len);
}

void SCPkcs15X509CertificateObject::ClearContents() {
    m_cert.clear();
    m_raw.clear();
    m_parsed = false;
}

SCRESULT SCPkcs15X509CertificateObject::Encode(MemFile* out) {
    if (!out) return SC_E_BAD_USAGE;
    if (!m_parsed) {
        if (m_raw.empty()) return 0;
        return out->Write(m_raw.size(), m_raw.data()) == 0 ? static_cast<SCRESULT>(m_raw.size()) : SC_E_NO_MEMORY;
    }
    return EncodeAsn(m_cert, out);
}

void SCPkcs15X509CertificateObject::Reset(bool full) {
    m_word = 0;
    SCPkcs15PathObjectInfo::Reset(full);
}

SCRESULT SCPkcs15X509CertificateObject::SetCertificate(const uint8_t* der, uint32_t len) {
    if (!der || len == 0) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    ASNany cert(0x30);
    long r = 0;
    try {
        r = cert.readBuffer(der, static_cast<long>(len), 0);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    if (r == -2) return SC_E_NO_MEMORY;
    if (r < 1 || static_cast<uint64_t>(r) != len) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    m_cert = cert;
    m_raw.clear();
    m_parsed = true;
    m_flags |= FLAG_LOADED | FLAG_LOAD_TRIED;
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15X509CertificateObject::GetOctets(std::vector<uint8_t>* out) const {
    out->clear();
    if (!m_parsed) {
        *out = m_raw;
        return 0;
    }
    MemFile f;
    if (EncodeAsn(m_cert, &f) < 0) return SC_E_NO_MEMORY;
    try {
        out->assign(f.GetData(), f.GetData() + f.Size());
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    return 0;
}

// ---- certificate directory ----

SCPkcs15CertificateList::SCPkcs15CertificateList(SCCard* card, bool trusted)
    : SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>(card, P15_KIND_X509_CERTIFICATE, trusted) {}

SCPkcs15CertificateList::~SCPkcs15CertificateList() = default;

SCRESULT SCPkcs15CertificateList::GetObjectKind(void* handle) {
    return HoldsHandle(handle) ? static_cast<SCRESULT>(P15_KIND_X509_CERTIFICATE) : SC_E_PKCS15_INVALID_HANDLE;
}

SCRESULT SCPkcs15CertificateList::MapAttributeType(uint64_t code) {
    if ((code & 0xFFFFFF00ULL) == p15attr::kAnyFamily) {
        switch (p15attr::kAnyFamily | (code & 0xFF)) {
            case p15attr::kAnyId: return p15attr::kCertId;
            case p15attr::kAnyValue: return p15attr::kCertValue;
            case p15attr::kAnyTrustedUsage: return p15attr::kCertTrustedUsage;
            case p15attr::kAnyTrusted: return p15attr::kCertTrusted;
            case p15attr::kAnySubject: return p15attr::kCertSubject;
            case p15attr::kAnyKeyHash: return p15attr::kCertKeyHash;
            case p15attr::kAnyPublicKey: return p15attr::kCertPublicKey;
            default: return SC_E_PKCS15_INVALID_ATTR;
        }
    }
    return SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::MapAttributeType(code);
}

const ASNPkcs15Path* SCPkcs15CertificateList::GetValuePath(ASNPkcs15CertificateRecord* rec) {
    if (!rec) return nullptr;
    return rec->typeAttributes.value.getChosenIndex() == ASNPkcs15ObjectValue<ASNany>::kIndirect
               ? &rec->typeAttributes.value.indirect
               : nullptr;
}

ASNPkcs15ObjectValue<ASNany>* SCPkcs15CertificateList::ValueOf(ASNPkcs15CertificateRecord* rec) {
    return rec ? &rec->typeAttributes.value : nullptr;
}

SCRESULT SCPkcs15CertificateList::CreateValueObject(void* record) {
    ASNPkcs15CertificateRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->typeAttributes.value.keyObject) return 0;
    auto* v = new (std::nothrow) SCPkcs15X509CertificateObject(nullptr);
    SCRESULT r = AdoptValueObject(m_valueObjects, v, GetValuePath(rec), record);
    if (r < 0) return r;
    rec->typeAttributes.value.keyObject = v;
    return 0;
}

SCRESULT SCPkcs15CertificateList::GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
    if (out) *out = nullptr;
    ASNPkcs15CertificateRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!rec->typeAttributes.value.keyObject && create && GetValuePath(rec)) {
        SCRESULT r = CreateValueObject(record);
        if (r < 0) return r;
    }
    if (out) *out = static_cast<SCPkcs15PathObjectInfo*>(rec->typeAttributes.value.keyObject);
    return 0;
}

SCRESULT SCPkcs15CertificateList::AllocateValuePath(void* record, const ASNPkcs15Path* path) {
    ASNPkcs15CertificateRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    auto* v = static_cast<SCPkcs15PathObjectInfo*>(rec->typeAttributes.value.keyObject);
    if (!GetValuePath(rec) || !v) return SC_E_BAD_USAGE;
    if (path) {
        rec->typeAttributes.value.indirect = *path;
        if (!v->SetPathFromAsn(*path)) return SC_E_INVALID_DATA_VALUE;
        SetDirty(true);
        return 0;
    }
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() < 1) return SC_E_BAD_USAGE;
    SCRESULT r = v->AllocateFileId(0x9000, full.Ids(), static_cast<uint16_t>(full.Count() - 1));
    if (r < 0) return r;
    const SCPath& p = v->GetPath();
    if (!rec->typeAttributes.value.indirect.set(p.Ids(), static_cast<int>(p.Count()), 0, 0)) return SC_E_NO_MEMORY;
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15CertificateList::SetValueFileParameters(void* record, uint32_t lifeCycleState,
                                                         uint32_t accessTemplate, const SCFileHeaderList& profile) {
    ASNPkcs15CertificateRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec)) rec->typeAttributes.value.chooseByIndex(ASNPkcs15ObjectValue<ASNany>::kIndirect);
    SCRESULT r = CreateValueObject(record);
    if (r < 0) return r;
    r = AllocateValuePath(record, nullptr);
    if (r < 0) return r;
    auto* v = static_cast<SCPkcs15X509CertificateObject*>(rec->typeAttributes.value.keyObject);
    v->SetCreateParameters(lifeCycleState, accessTemplate, profile);
    v->SetFresh(true);
    return 0;
}

SCRESULT SCPkcs15CertificateList::SetValuePath(void* record, const SCPath& path) {
    if (!record) return SC_E_BAD_USAGE;
    ASNPkcs15CertificateRecord* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (path.Count() == 0) return SC_E_BAD_PARAMS;
    if (!GetValuePath(rec)) rec->typeAttributes.value.chooseByIndex(ASNPkcs15ObjectValue<ASNany>::kIndirect);
    SCRESULT r = CreateValueObject(record);
    if (r < 0) return r;
    ASNPkcs15Path asnPath;
    if (!asnPath.set(path.Ids(), static_cast<int>(path.Count()), 0, 0)) return SC_E_NO_MEMORY;
    r = AllocateValuePath(record, &asnPath);
    if (r < 0) return r;
    // The file exists: it is neither read now nor written back.
    static_cast<SCPkcs15X509CertificateObject*>(rec->typeAttributes.value.keyObject)->SetFresh(false);
    return 0;
}

SCRESULT SCPkcs15CertificateList::CreateRecord(const SCPkcs15ObjectAttributeList* tmpl, void** out) {
    if (out) *out = nullptr;
    if (tmpl) {
        const SCPkcs15ObjectAttribute* k = tmpl->FindAttribute(p15attr::kKind);
        uint32_t kind = 0;
        if (k && k->GetInteger(&kind)) {
            const uint32_t second = (kind >> 8) & 0xFF;
            if (second != 0 && second != 0x02) return SC_E_PKCS15_UNSUPPORTED_TYPE;
        }
    }
    return SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::CreateRecord(tmpl, out);
}

SCRESULT SCPkcs15CertificateList::GetCertificateValue(ASNPkcs15CertificateRecord* rec, std::vector<uint8_t>* out) {
    out->clear();
    ASNPkcs15ObjectValue<ASNany>& value = rec->typeAttributes.value;
    if (ASNany* direct = value.getDirect()) return ScPkcs15Der(*direct, out);
    if (!GetValuePath(rec)) return SC_E_PKCS15_ATTR_NOT_FOUND;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(HandleOf(rec), &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_NO_MEMORY;
    auto* cert = static_cast<SCPkcs15X509CertificateObject*>(v);
    if (!cert->IsLoaded()) {
        if (cert->LoadAnswerKept())
            r = cert->GetLastResult() < 0 ? cert->GetLastResult() : 0;
        else
            r = LoadValue(HandleOf(rec), cert, true);
        // A certificate file that is missing or cannot be read is an error, never an empty value.
        if (r < 0) return r;
    }
    return cert->GetOctets(out);
}

SCRESULT SCPkcs15CertificateList::GetFromCertificate(ASNPkcs15CertificateRecord* rec, uint64_t code,
                                                     SCPkcs15ObjectAttribute* attr) {
    std::vector<uint8_t> der;
    SCRESULT r = GetCertificateValue(rec, &der);
    if (r < 0) return r;
    if (der.empty()) return SC_E_PKCS15_ATTR_NOT_FOUND;
    SignedCertificate cert;
    long n = 0;
    try {
        n = cert.readBuffer(der.data(), static_cast<long>(der.size()), 0);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    } catch (...) {
        n = 0;
    }
    if (n < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
    TBSCertificate& tbs = cert.tbsCertificate;
    const uint64_t type = attr->GetType();
    std::vector<uint8_t> out;
    switch (code) {
        case p15attr::kCertKeyHash: {
            const ASNbitstr& key = tbs.subjectPublicKeyInfo.subjectPublicKey;
            std::unique_ptr<QvHash> h;
            try {
                h.reset(qvHashCreateObject(1));
                h->hash(key.getBits(), static_cast<unsigned>(key.getByteLength()));
                uint8_t digest[20];
                h->getHash(20, digest);
                return ScPkcs15PutBytes(attr, type, digest, 20) ? 0 : SC_E_NO_MEMORY;
            } catch (...) {
                return SC_E_NO_MEMORY;
            }
        }
        case p15attr::kCertSubjectKeyId: {
            const Extension* e = tbs.extensions.value.findExtensionByText("2.5.29.14");
            if (!e) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ASNoctstr ski;
            long k = 0;
            try {
                k = ski.readBuffer(e->extnValue.getData(), e->extnValue.getLength(), 0);
            } catch (...) {
                k = 0;
            }
            if (k < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return ScPkcs15PutBytes(attr, type, ski.getData(), static_cast<uint32_t>(ski.getLength())) ? 0 : SC_E_NO_MEMORY;
        }
        case p15attr::kCertPublicKey: {
            const ASNbitstr& key = tbs.subjectPublicKeyInfo.subjectPublicKey;
            if (key.getByteLength() < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return ScPkcs15PutBytes(attr, type, key.getBits(), static_cast<uint32_t>(key.getByteLength())) ? 0
                                                                                                   : SC_E_NO_MEMORY;
        }
        case p15attr::kCertSubject: r = ScPkcs15Der(tbs.subject, &out); break;
        case p15attr::kCertIssuer: r = ScPkcs15Der(tbs.issuer, &out); break;
        case p15attr::kCertSerialNumber: r = ScPkcs15Der(tbs.serialNumber, &out); break;
        default: return SC_E_PKCS15_ATTR_NOT_FOUND;
    }
    if (r < 0) return r;
    return ScPkcs15PutBytes(attr, type, out.data(), static_cast<uint32_t>(out.size())) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15CertificateList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15CertificateRecord* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT code = MapAttributeType(attr->GetType());
    if (code < 0) return code;
    if ((code & P15_CATEGORY_MASK) == 0)
        return SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::GetAttribute(handle, attr);
    ASNPkcs15CommonCertificateAttributes& ca = rec->classAttributes;
    ASNPkcs15X509CertificateAttributes& ta = rec->typeAttributes;
    const uint64_t type = attr->GetType();
    std::vector<uint8_t> der;
    SCRESULT r = SC_E_PKCS15_ATTR_NOT_FOUND;
    switch (code) {
        case p15attr::kCertId:
            return ScPkcs15PutBytes(attr, type, ca.iD.getData(), static_cast<uint32_t>(ca.iD.getLength())) ? 0
                                                                                                     : SC_E_NO_MEMORY;
        case p15attr::kCertAuthority:
            return attr->SetBoolean(type, ca.wasAuthority && ca.authority.isTrue()) ? 0 : SC_E_NO_MEMORY;
        case p15attr::kCertCredentialId:
            if (!ca.wasIdentifiers) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetAsnObject(type, ca.identifiers) ? 0 : SC_E_NO_MEMORY;
        case p15attr::kCertHash:
            if (!ca.wasCertHash) return SC_E_PKCS15_ATTR_NOT_FOUND;
            // The hash is kept as the bytes it is (binary attribute).
            r = ScPkcs15Der(ca.certHash, &der);
            if (r < 0) return r;
            break;
        case p15attr::kCertTrustedUsage:
            if (!ca.wasTrustedUsage) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetAsnObject(type, ca.trustedUsage) ? 0 : SC_E_NO_MEMORY;
        case p15attr::kCertTrusted:
            return attr->SetBoolean(type, ca.wasImplicitTrust ? ca.implicitTrust.isTrue() : IsTrusted()) ? 0
                                                                                                         : SC_E_NO_MEMORY;
        case p15attr::kCertKeyHash:
        case p15attr::kCertPublicKey: return GetFromCertificate(rec, static_cast<uint64_t>(code), attr);
        case p15attr::kCertSubjectKeyId: {
            const ASNPkcs15KeyIdentifier* id = nullptr;
            if (ca.wasIdentifier && ca.identifier.getIdType() == 2) id = &ca.identifier;
            if (!id && ca.wasIdentifiers) id = ca.identifiers.find(2);
            if (id && id->idValue) {
                const ASNoctstr* o = dynamic_cast<const ASNoctstr*>(id->idValue);
                if (o) return ScPkcs15PutBytes(attr, type, o->getData(), static_cast<uint32_t>(o->getLength())) ? 0
                                                                                                      : SC_E_NO_MEMORY;
            }
            return GetFromCertificate(rec, p15attr::kCertSubjectKeyId, attr);
        }
        case p15attr::kCertValue:
            r = GetCertificateValue(rec, &der);
            if (r < 0) return r;
            return ScPkcs15PutBytes(attr, p15attr::kCertValue, der.data(), static_cast<uint32_t>(der.size()))
                       ? 0
                       : SC_E_NO_MEMORY;
        case p15attr::kCertSubject:
            if (ta.wasSubject) r = ScPkcs15Der(ta.subject, &der);
            if (r < 0 && r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
            if (r < 0 || (der.size() == 2 && der[0] == 0x30 && der[1] == 0))
                return GetFromCertificate(rec, p15attr::kCertSubject, attr);
            break;
        case p15attr::kCertIssuer:
            if (ta.wasIssuer) r = ScPkcs15Der(ta.issuer, &der);
            if (r < 0 && r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
            if (r >= 0 && !der.empty() && der[0] == 0xA0 && !ta.issuerIsExplicit()) der[0] = 0x30;
            if (r < 0 || (der.size() == 4 && der[0] == 0xA0 && der[1] == 2 && der[2] == 0x30 && der[3] == 0) ||
                (der.size() == 2 && der[0] == 0x30 && der[1] == 0))
                return GetFromCertificate(rec, p15attr::kCertIssuer, attr);
            break;
        case p15attr::kCertSerialNumber:
            if (ta.wasSerialNumber) r = ScPkcs15Der(ta.serialNumber, &der);
            if (r < 0 && r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
            if (r < 0) return GetFromCertificate(rec, p15attr::kCertSerialNumber, attr);
            break;
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    return ScPkcs15PutBytes(attr, type, der.data(), static_cast<uint32_t>(der.size())) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15CertificateList::SetTypeAttribute(ASNPkcs15CertificateRecord* rec, uint64_t code,
                                                   const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15CommonCertificateAttributes& ca = rec->classAttributes;
    ASNPkcs15X509CertificateAttributes& ta = rec->typeAttributes;
    const bool empty = !attr->GetValue() || attr->GetLength() == 0;
    bool b = false;
    switch (code) {
        case p15attr::kCertId:
            if (!ca.iD.set(attr->GetValue(), static_cast<long>(attr->GetLength()))) return SC_E_NO_MEMORY;
            return 0;
        case p15attr::kCertAuthority:
            if (!attr->GetBoolean(&b)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ca.authority = b;
            ca.wasAuthority = b ? 1 : 0;
            return 0;
        case p15attr::kCertTrusted:
            if (!attr->GetBoolean(&b)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ca.implicitTrust = b;
            ca.wasImplicitTrust = b ? 1 : 0;
            return 0;
        case p15attr::kCertCredentialId:
            if (empty) {
                ca.wasIdentifiers = 0;
                return 0;
            }
            if (!ScPkcs15FromDer(ca.identifiers, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ca.wasIdentifiers = 1;
            return 0;
        case p15attr::kCertHash:
            if (empty) {
                ca.wasCertHash = 0;
                return 0;
            }
            if (!ScPkcs15FromDer(ca.certHash, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ca.wasCertHash = 1;
            return 0;
        case p15attr::kCertTrustedUsage:
            if (empty) {
                ca.wasTrustedUsage = 0;
                return 0;
            }
            if (!ScPkcs15FromDer(ca.trustedUsage, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ca.wasTrustedUsage = 1;
            return 0;
        case p15attr::kCertValue: {
            if (!ta.value.getDirect() && !GetValuePath(rec)) return SC_E_PKCS15_ATTRIBUTE_READ_ONLY;
            if (ASNany* direct = ta.value.getDirect()) {
                ASNany cert(0x30);
                if (!ScPkcs15FromDer(cert, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                *direct = cert;
                return 0;
            }
            SCRESULT r = CreateValueObject(HandleOf(rec));
            if (r < 0) return r;
            auto* cert = static_cast<SCPkcs15X509CertificateObject*>(ta.value.keyObject);
            AssertInvariant(cert != nullptr, "scpkcs15certlist", __LINE__, "pCertValue != NULL", nullptr);
            return cert->SetCertificate(attr->GetValue(), attr->GetLength());
        }
        case p15attr::kCertSubject:
            if (empty) {
                ta.wasSubject = 0;
                return 0;
            }
            if (!ScPkcs15FromDer(ta.subject, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ta.wasSubject = 1;
            return 0;
        case p15attr::kCertIssuer: {
            if (empty) {
                ta.wasIssuer = 0;
                return 0;
            }
            if (attr->GetValue()[0] != 0x30) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            std::vector<uint8_t> v(attr->GetValue(), attr->GetValue() + attr->GetLength());
            v[0] = 0xA0;
            DistinguishedName name;
            long n = 0;
            try {
                n = name.readBuffer(attr->GetValue(), static_cast<long>(attr->GetLength()), 0);
            } catch (...) {
                n = 0;
            }
            if (n < 1 || static_cast<uint64_t>(n) != attr->GetLength()) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            // Stored implicitly tagged [0]: the record's issuer member carries that form.
            long m = 0;
            try {
                m = ta.issuer.readBuffer(v.data(), static_cast<long>(v.size()), 0);
            } catch (...) {
                m = 0;
            }
            if (m < 1) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ta.wasIssuer = 1;
            return 0;
        }
        case p15attr::kCertSerialNumber:
            if (empty) {
                ta.wasSerialNumber = 0;
                return 0;
            }
            if (!ScPkcs15FromDer(ta.serialNumber, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            ta.wasSerialNumber = 1;
            return 0;
        default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
}

SCRESULT SCPkcs15CertificateList::SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT code = MapAttributeType(attr->GetType());
    if (code < 0) return code;
    if ((code & P15_CATEGORY_MASK) == 0)
        return SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::SetAttribute(handle, attr);
    SCRESULT r = SetTypeAttribute(RecordFor(handle), static_cast<uint64_t>(code), attr);
    if (r < 0) return r;
    SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15CertificateList::IsPrivate(void* handle) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    SCRESULT f = SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::IsPrivate(handle);
    if (f != SC_E_PKCS15_ATTR_NOT_FOUND) return f;
    SCPkcs15PathObjectInfo* v = nullptr;
    GetValueObject(handle, &v, true);
    return PrivateByAccess(v);
}

SCRESULT SCPkcs15CertificateList::IsReadOnly(void* handle) {
    if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    SCRESULT f = SCPkcs15TypedObjectList<ASNPkcs15CertificateRecord>::IsReadOnly(handle);
    if (f != SC_E_PKCS15_ATTR_NOT_FOUND) return f;
    SCPkcs15PathObjectInfo* v = nullptr;
    GetValueObject(handle, &v, true);
    return ReadOnlyByAccess(v);
}
