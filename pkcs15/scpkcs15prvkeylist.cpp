#include "pkcs15/scpkcs15prvkeylist.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/ecprvkey.h"
#include "keys/rsapukey.h"
#include "lib/libasn/x509/x942dh.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "pkcs15/scpkcs15dsakeyobject.h"
#include "pkcs15/scpkcs15rsaprvkeyobject.h"
#include "smartcard/sc_card.h"
#include "support/textutil.h"
#include "support/vtest.h"

namespace {

// PKCS#15 accessFlags words the directory answers for a key.
constexpr uint32_t kAccessExtractable = 2;       // extractable
constexpr uint32_t kAccessSensitive = 13;        // sensitive, alwaysSensitive, neverExtractable
constexpr uint32_t kAccessSensitiveLocal = 29;   // the same, and local

// Load results after which the key's value is simply not to be had from its file:
// the attribute lookup goes on elsewhere.
bool IsAbsentValue(SCRESULT r) {
    if (r == SC_E_NOT_FILE || r == SC_E_FILE_STATUS_UNKNOWN || r == SC_E_INVALID_FILE_TYPE ||
        r == SC_E_UNSUPPORTED_FEATURE || r == SC_E_INVALID_FILE_OFFSET)
        return true;
    const uint64_t u = static_cast<uint64_t>(r);
    return r < 0 && (u & 0x2000000000000000ULL) && (u & 0x10000ULL);
}


int PutInteger(SCPkcs15ObjectAttribute* attr, const ASNinteger& v) {
    uint32_t len = 0;
    const uint8_t* d = ScPkcs15Magnitude(v, &len);
    static const uint8_t zero = 0;
    return attr->SetBigInt(attr->GetType(), d ? d : &zero, d ? len : 1);
}

int PutSha1OfNumber(SCPkcs15ObjectAttribute* attr, const uint8_t* bytes, size_t len) {
    uint8_t digest[20];
    if (!ScPkcs15Sha1OfNumber(bytes, len, digest)) return 0;
    return ScPkcs15PutBytes(attr, attr->GetType(), digest, 20);
}
// The SHA-1 of octets taken as they are (an EC coordinate keeps its leading zeros).
int PutSha1(SCPkcs15ObjectAttribute* attr, const uint8_t* bytes, size_t len) {
    uint8_t digest[20];
    if (!ScPkcs15Sha1(bytes, len, digest)) return 0;
    return ScPkcs15PutBytes(attr, attr->GetType(), digest, 20);
}

bool IsPrivateValueCode(uint64_t code) {
    return code >= p15attr::kRsaPrivateExponent && code <= p15attr::kRsaPrivateCoefficient;
}

// The RSA value attributes that a private-key value answers; NOT_FOUND for a member it lacks.
SCRESULT FromRsaValue(const ASNPkcs15RSAPrivateKeyObject& v, uint64_t code, SCPkcs15ObjectAttribute* attr) {
    if (code >= p15attr::kRsaPrivateModulus && code <= p15attr::kRsaPrivateCoefficient) {
        const int k = static_cast<int>(code - p15attr::kRsaPrivateModulus);
        if (!v.present[k] || v.component(k)->getValueLength() == 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
        return PutInteger(attr, *v.component(k)) ? 0 : SC_E_NO_MEMORY;
    }
    // The key identifier (0x10180) is not part of the key's own value.
    if (code == p15attr::kPrivatePublicValue) {
        if (!v.present[0] || !v.present[1]) return SC_E_PKCS15_ATTR_NOT_FOUND;
        RSAPublicKey pk(0);
        pk.setModulus(v.modulus);
        pk.setPublicExponent(v.publicExponent);
        return attr->SetAsnObject(attr->GetType(), pk) ? 0 : SC_E_NO_MEMORY;
    }
    return SC_E_PKCS15_ATTR_NOT_FOUND;
}

// An RSAPublicKey decoded from DER octets.
bool DecodeRsaPublicKey(const uint8_t* der, uint32_t len, RSAPublicKey* out) {
    if (!der || !len) return false;
    long r = 0;
    try {
        r = out->readBuffer(der, static_cast<long>(len), 0);
    } catch (...) {
        return false;
    }
    return r > 0 && static_cast<uint64_t>(r) == len;
}

// The x coordinate of an encoded EC point (uncompressed: the first half after 04;
// compressed: all after 02/03); false when there is none.
bool PointX(const uint8_t* p, uint32_t len, const uint8_t** x, uint32_t* xLen) {
    if (!p || len < 2) return false;
    if (p[0] == 0x04) {
        if (((len - 1) & 1) != 0) return false;
        *x = p + 1;
        *xLen = (len - 1) / 2;
        return true;
    }
    if (p[0] == 0x02 || p[0] == 0x03) {
        *x = p + 1;
        *xLen = len - 1;
        return true;
    }
    return false;
}

}  // namespace

SCPkcs15PrivateKeyList::SCPkcs15PrivateKeyList(SCCard* card) : Base(card, P15_KIND_PRIVATE_KEY) {}

SCPkcs15PrivateKeyList::~SCPkcs15PrivateKeyList() = default;

uint32_t SCPkcs15PrivateKeyList::KindCode(uint32_t chosen) {
    switch (chosen) {
        case ASNPkcs15PrivateKeyType::kRSA: return P15_KIND_RSA_PRIVATE_KEY;
        case ASNPkcs15PrivateKeyType::kEC: return P15_KIND_EC_PRIVATE_KEY;
        case ASNPkcs15PrivateKeyType::kDH: return P15_KIND_DH_PRIVATE_KEY;
        case ASNPkcs15PrivateKeyType::kDSA: return P15_KIND_DSA_PRIVATE_KEY;
        case ASNPkcs15PrivateKeyType::kKEA: return P15_KIND_KEA_PRIVATE_KEY;
        default: return 0;
    }
}

SCRESULT SCPkcs15PrivateKeyList::GetObjectKind(void* handle) {
    const ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    const uint32_t k = KindCode(rec->getChosenIndex());
    return k ? static_cast<SCRESULT>(k) : SC_E_PKCS15_UNSUPPORTED_OBJECT;
}

const ASNPkcs15Path* SCPkcs15PrivateKeyList::GetValuePath(ASNPkcs15PrivateKeyType* rec) {
    if (!rec || rec->getValueChoice() != 0) return nullptr;
    return rec->getValuePath();
}

SCRESULT SCPkcs15PrivateKeyList::MapAttributeType(uint64_t code) {
    if ((code & 0xFFFF0000ULL) != p15attr::kAnyFamily) return Base::MapAttributeType(code);
    switch (p15attr::kAnyFamily | (code & 0xFFFF)) {
        case p15attr::kAnyId: return p15attr::kKeyId;
        case p15attr::kAnyValue: return p15attr::kPrivateValue;
        case p15attr::kAnyValueLength: return p15attr::kPrivateKeyBits;
        case p15attr::kAnySubject: return p15attr::kPrivateSubject;
        case p15attr::kAnyPrivateFlags: return p15attr::kPrivateFlags;
        case p15attr::kAnyEcParams: return p15attr::kPrivateEcParams;
        case p15attr::kAnyModulus: return p15attr::kRsaPrivateModulus;
        case p15attr::kAnyPublicExponent: return p15attr::kRsaPrivatePublicExponent;
        case p15attr::kAnyPrime: return p15attr::kDsaPrivatePrime;
        case p15attr::kAnySubprime: return p15attr::kDsaPrivateSubprime;
        case p15attr::kAnyBase: return p15attr::kDsaPrivateBase;
        case p15attr::kAnyKeyHash: return p15attr::kPrivateKeyHash;
        case p15attr::kAnyPublicKey: return p15attr::kPrivatePublicValue;
        default: return SC_E_PKCS15_INVALID_ATTR;
    }
}

// ---- key objects ----

SCRESULT SCPkcs15PrivateKeyList::CreateKeyObject(void* record) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->getKeyObject()) return 0;
    SCPkcs15KeyObject* key = nullptr;
    switch (rec->getChosenIndex()) {
        case ASNPkcs15PrivateKeyType::kRSA: {
            auto* rsa = new (std::nothrow) SCPkcs15PrivateRsaKeyObject(m_pCard);
            if (rsa) rsa->SetRecord(rec);
            key = rsa;
            break;
        }
        case ASNPkcs15PrivateKeyType::kEC:
        case ASNPkcs15PrivateKeyType::kDH:
        case ASNPkcs15PrivateKeyType::kDSA:
        case ASNPkcs15PrivateKeyType::kKEA: {
            static const int32_t kType[] = {0, SCPkcs15KeyObject::KEY_EC, SCPkcs15KeyObject::KEY_DH,
                                            SCPkcs15KeyObject::KEY_DSA, SCPkcs15KeyObject::KEY_KEA};
            auto* dsa = new (std::nothrow) SCPkcs15PrivateDsaKeyObject(m_pCard, kType[rec->getChosenIndex()], nullptr);
            if (dsa) dsa->SetRecord(rec);
            key = dsa;
            break;
        }
        default: return SC_E_PKCS15_UNSUPPORTED_OBJECT;
    }
    if (!key) return SC_E_NO_MEMORY;
    SCRESULT r = AdoptValueObject(m_valueObjects, key, GetValuePath(rec), record);
    if (r < 0) return r;  // the object is gone
    const int ref = rec->findCommonKeyAttributes() ? rec->findCommonKeyAttributes()->getKeyReference() : -1;
    if (ref >= 0 && ref < 255) key->SetKeyReference(static_cast<uint32_t>(ref));
    rec->setKeyObject(key);
    return 0;
}

SCRESULT SCPkcs15PrivateKeyList::GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
    if (out) *out = nullptr;
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!GetValuePath(rec)) return 0;
    if (!rec->getKeyObject() && create) {
        SCRESULT r = CreateKeyObject(record);
        if (r < 0) return r;
    }
    if (out) *out = static_cast<SCPkcs15PathObjectInfo*>(static_cast<SCPkcs15KeyObject*>(rec->getKeyObject()));
    return 0;
}

namespace {
// Loads a key object unless a load found already what it holds (a failed read is tried again).
SCRESULT LoadOnce(SCPkcs15KeyObject* key) {
    if (key->IsLoaded()) return 0;
    if (key->LoadAnswerKept()) return key->GetLastResult() < 0 ? key->GetLastResult() : 0;
    return key->Load(true);
}
}  // namespace

SCRESULT SCPkcs15PrivateKeyList::GetKeyObject(void* record, SCPkcs15PrivateRsaKeyObject** out) {
    if (out) *out = nullptr;
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->getChosenIndex() != ASNPkcs15PrivateKeyType::kRSA) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(record, &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_PKCS15_KEY_UNSUPPORTED;
    auto* key = static_cast<SCPkcs15PrivateRsaKeyObject*>(v);
    if (out) *out = key;
    return LoadOnce(key);
}

SCRESULT SCPkcs15PrivateKeyList::GetDsaKeyObject(void* record, SCPkcs15PrivateDsaKeyObject** out) {
    if (out) *out = nullptr;
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    const uint32_t c = rec->getChosenIndex();
    if (c == ASNPkcs15PrivateKeyType::kRSA || c > ASNPkcs15PrivateKeyType::kKEA) return SC_E_PKCS15_KEY_UNSUPPORTED;
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(record, &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_PKCS15_KEY_UNSUPPORTED;
    auto* key = static_cast<SCPkcs15PrivateDsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(v));
    if (out) *out = key;
    return LoadOnce(key);
}

// ---- privacy and write protection ----

SCRESULT SCPkcs15PrivateKeyList::IsPrivate(void* handle) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15CommonObjectAttributes* co = rec->findCommonObjectAttributes();
    if (!co || !co->wasFlags) return 1;
    return (co->flags.getFlags() & 1) ? 1 : 0;
}

SCRESULT SCPkcs15PrivateKeyList::IsReadOnly(void* handle) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    ASNPkcs15CommonObjectAttributes* co = rec->findCommonObjectAttributes();
    if (co && co->wasFlags) return (co->flags.getFlags() & 2) ? 0 : 1;
    uint32_t ref = GetPinReference(GuardingPin());
    if ((ref == 0 || ref >= 255) && m_pPkcs15App) {
        const SCFileHeaderList& h = m_pPkcs15App->GetHeaderList();
        ref = h.HasUserPinRef() ? h.GetUserPinRef() : 0;
    }
    const uint16_t word = (ref > 0 && ref <= 254) ? static_cast<uint16_t>(0xC000 | ref) : 0;
    bool exists = false;
    return IsAccessAllowed(word, &exists) ? 0 : 1;
}

// ---- records ----

SCRESULT SCPkcs15PrivateKeyList::CreateKindRecord(uint32_t kind, ASNPkcs15PrivateKeyType** out) {
    if (out) *out = nullptr;
    if (kind != 0 && (kind & P15_CLASS_MASK) != P15_KIND_PRIVATE_KEY) return SC_E_PKCS15_UNSUPPORTED_TYPE;
    uint32_t index = 0;
    switch (kind) {
        case 0:
        case P15_KIND_PRIVATE_KEY:
        case P15_KIND_RSA_PRIVATE_KEY: index = ASNPkcs15PrivateKeyType::kRSA; break;
        case P15_KIND_DSA_PRIVATE_KEY: index = ASNPkcs15PrivateKeyType::kDSA; break;
        case P15_KIND_DH_PRIVATE_KEY: index = ASNPkcs15PrivateKeyType::kDH; break;
        case P15_KIND_EC_PRIVATE_KEY: index = ASNPkcs15PrivateKeyType::kEC; break;
        case P15_KIND_KEA_PRIVATE_KEY: index = ASNPkcs15PrivateKeyType::kKEA; break;
        default: return SC_E_PKCS15_UNSUPPORTED_TYPE;
    }
    if (!IsLoaded()) {
        SCRESULT l = Load(false);
        if (l < 0 && l != SC_E_FILE_NOT_FOUND) return l;
    }
    ASNPkcs15PrivateKeyType* rec = m_records.NewRecord();
    if (!rec) return SC_E_NO_MEMORY;
    rec->chooseByIndex(static_cast<int>(index));
    if (out) *out = rec;
    return 0;
}

// ---- attributes ----

SCRESULT SCPkcs15PrivateKeyList::FromKeyIdentifiers(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                                    SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->findCommonPrivateKeyAttributes();
    if (!cpa || !rec->hasCommonPrivateKeyAttributes() || !cpa->wasKeyIdentifiers) return SC_E_PKCS15_ATTR_NOT_FOUND;
    if (code == p15attr::kPrivateKeyHash) {
        const ASNPkcs15KeyIdentifier* id4 = cpa->keyIdentifiers.find(4);
        const ASNoctstr* o = id4 ? dynamic_cast<const ASNoctstr*>(id4->idValue) : nullptr;
        if (o) return ScPkcs15PutBytes(attr, attr->GetType(), o->getData(), static_cast<uint32_t>(o->getLength()))
                          ? 0
                          : SC_E_NO_MEMORY;
    }
    ASNobject* pub = cpa->keyIdentifiers.getValueObject(9999);
    if (!pub) return SC_E_PKCS15_ATTR_NOT_FOUND;
    if (code == p15attr::kPrivatePublicPart || code == p15attr::kPrivatePublicValue)
        return attr->SetAsnObject(attr->GetType(), *pub) ? 0 : SC_E_NO_MEMORY;
    std::vector<uint8_t> der;
    if (ScPkcs15Der(*pub, &der) < 0) return SC_E_NO_MEMORY;
    switch (rec->getChosenIndex()) {
        case ASNPkcs15PrivateKeyType::kRSA: {
            RSAPublicKey pk(0);
            if (code != p15attr::kRsaPrivateModulus && code != p15attr::kRsaPrivatePublicExponent &&
                code != p15attr::kPrivateKeyHash && !IsPrivateValueCode(code))
                return SC_E_PKCS15_ATTR_NOT_FOUND;
            if (IsPrivateValueCode(code)) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
            if (!DecodeRsaPublicKey(der.data(), static_cast<uint32_t>(der.size()), &pk)) return SC_E_PKCS15_ATTR_NOT_FOUND;
            uint32_t len = 0;
            const uint8_t* n =
                ScPkcs15Magnitude(code == p15attr::kRsaPrivatePublicExponent ? pk.publicExponent : pk.modulus, &len);
            if (!n) return SC_E_PKCS15_ATTR_NOT_FOUND;
            if (code == p15attr::kPrivateKeyHash) return PutSha1OfNumber(attr, n, len) ? 0 : SC_E_NO_MEMORY;
            return attr->SetBigInt(attr->GetType(), n, len) ? 0 : SC_E_NO_MEMORY;
        }
        case ASNPkcs15PrivateKeyType::kEC: {
            if (code == p15attr::kPrivateValue) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
            if (code != p15attr::kPrivateKeyHash) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ASNoctstr point;
            if (point.readBuffer(der.data(), static_cast<long>(der.size()), 0) < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
            const uint8_t* x = nullptr;
            uint32_t xLen = 0;
            if (!PointX(point.getData(), static_cast<uint32_t>(point.getLength()), &x, &xLen))
                return SC_E_PKCS15_ATTR_NOT_FOUND;
            return PutSha1(attr, x, xLen) ? 0 : SC_E_NO_MEMORY;
        }
        default: {
            if (code == p15attr::kPrivateValue) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
            if (code != p15attr::kPrivateKeyHash) return SC_E_PKCS15_ATTR_NOT_FOUND;
            ASNinteger y(0x02);
            if (y.readBuffer(der.data(), static_cast<long>(der.size()), 0) < 1) return SC_E_PKCS15_ATTR_NOT_FOUND;
            uint32_t len = 0;
            const uint8_t* d = ScPkcs15Magnitude(y, &len);
            return PutSha1OfNumber(attr, d, len) ? 0 : SC_E_NO_MEMORY;
        }
    }
}

SCRESULT SCPkcs15PrivateKeyList::FromPublicKey(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                               SCPkcs15ObjectAttribute* attr) {
    uint64_t want = 0;
    switch (code) {
        case p15attr::kPrivateKeyHash: want = p15attr::kPublicKeyHash; break;
        case p15attr::kPrivatePublicValue: want = p15attr::kPublicValue; break;
        case p15attr::kRsaPrivateModulus: want = p15attr::kRsaPublicModulus; break;
        case p15attr::kRsaPrivatePublicExponent: want = p15attr::kRsaPublicExponent; break;
        case p15attr::kPrivateEcParams: want = p15attr::kPublicEcParams; break;
        default: return SC_E_PKCS15_ATTR_NOT_FOUND;
    }
    if (!m_pPkcs15App) return SC_E_PKCS15_ATTR_NOT_FOUND;
    void* pub = nullptr;
    SCRESULT r = m_pPkcs15App->FindPublicKeyForKey(HandleOf(rec), &pub);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0 || !pub) return SC_E_PKCS15_ATTR_NOT_FOUND;
    SCPkcs15ObjectAttribute got(want);
    r = m_pPkcs15App->GetAttributeValue(pub, &got);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
    return attr->CopyValue(got) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15PrivateKeyList::FromCertificate(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                                 SCPkcs15ObjectAttribute* attr) {
    if (code != p15attr::kPrivateKeyHash && code != p15attr::kPrivatePublicValue &&
        code != p15attr::kRsaPrivateModulus && code != p15attr::kRsaPrivatePublicExponent)
        return SC_E_PKCS15_ATTR_NOT_FOUND;
    if (!m_pPkcs15App) return SC_E_PKCS15_ATTR_NOT_FOUND;
    void* cert = nullptr;
    SCRESULT r = m_pPkcs15App->FindCertificateForKey(HandleOf(rec), &cert);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0 || !cert) return SC_E_PKCS15_ATTR_NOT_FOUND;
    const bool rsa = rec->getChosenIndex() == ASNPkcs15PrivateKeyType::kRSA;
    if (code == p15attr::kPrivateKeyHash && !rsa) {
        SCPkcs15ObjectAttribute got(p15attr::kCertKeyHash);
        r = m_pPkcs15App->GetAttributeValue(cert, &got);
        if (r == SC_E_NO_MEMORY) return r;
        if (r < 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
        return attr->CopyValue(got) ? 0 : SC_E_NO_MEMORY;
    }
    SCPkcs15ObjectAttribute key(p15attr::kCertPublicKey);
    r = m_pPkcs15App->GetAttributeValue(cert, &key);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0 || key.GetLength() == 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
    if (code == p15attr::kPrivatePublicValue) return attr->CopyValue(key) ? 0 : SC_E_NO_MEMORY;
    if (!rsa) return SC_E_PKCS15_ATTR_NOT_FOUND;
    RSAPublicKey pk(0);
    if (!DecodeRsaPublicKey(key.GetValue(), key.GetLength(), &pk)) return SC_E_PKCS15_ATTR_NOT_FOUND;
    uint32_t len = 0;
    const uint8_t* n =
        ScPkcs15Magnitude(code == p15attr::kRsaPrivatePublicExponent ? pk.publicExponent : pk.modulus, &len);
    if (!n) return SC_E_PKCS15_ATTR_NOT_FOUND;
    // The key identifier is the SHA-1 of the modulus, whatever the certificate's own hash.
    if (code == p15attr::kPrivateKeyHash) return PutSha1OfNumber(attr, n, len) ? 0 : SC_E_NO_MEMORY;
    return attr->SetBigInt(attr->GetType(), n, len) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15PrivateKeyList::GetKeyValueAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                                      SCPkcs15ObjectAttribute* attr) {
    const bool accepted = (code & ~0xFFULL) == P15_KIND_RSA_PRIVATE_KEY || code == p15attr::kKeyAccess ||
                          code == p15attr::kPrivatePublicValue || code == p15attr::kPrivateKeyHash;
    if (!accepted) return SC_E_PKCS15_INVALID_ATTR;
    ASNPkcs15PrivateRSAKeyAttributes* ra = rec->findRSAKeyAttributes();
    if (!ra) return SC_E_PKCS15_UNSUPPORTED_ATTR;
    const uint64_t type = attr->GetType();
    if (code == p15attr::kRsaPrivateModulusBits) {
        long bits = 0;
        try {
            bits = ra->modulusLength.getLong();
        } catch (...) {
            return SC_E_PKCS15_INVALID_ATTR_VALUE;
        }
        if (bits < 0 || bits > 0x7FFFFFFFL) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        return attr->SetInteger(type, static_cast<uint32_t>(bits)) ? 0 : SC_E_NO_MEMORY;
    }
    if (code == p15attr::kRsaPrivateKeyInfo) {
        if (!ra->wasKeyInfo) return SC_E_PKCS15_ATTR_NOT_FOUND;
        return attr->SetAsnObject(type, ra->keyInfo) ? 0 : SC_E_NO_MEMORY;
    }
    SCRESULT r = SC_E_PKCS15_ATTR_NOT_FOUND;
    bool identifiersAsked = false;
    if (ASNPkcs15RSAPrivateKeyObject* direct = rec->getDirectRSAKey()) {
        if (code == p15attr::kKeyAccess)
            return attr->SetFlags(type, kAccessExtractable, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
        r = FromRsaValue(*direct, code, attr);
        if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
    } else if (GetValuePath(rec)) {
        SCPkcs15PrivateRsaKeyObject* key = nullptr;
        SCRESULT l = GetKeyObject(HandleOf(rec), &key);
        if (l == SC_E_NO_MEMORY) return l;
        if (l < 0 && !IsAbsentValue(l)) {
            if (code == p15attr::kKeyAccess)
                return attr->SetFlags(type, kAccessSensitive, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
            attr->SetValue(nullptr, 0);
            return l;
        }
        if (l >= 0 && key) {
            ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
            const bool sensitive = key->IsValueOnCardOnly() || (ka && ka->isNative());
            if (sensitive) {
                if (code == p15attr::kKeyAccess)
                    return attr->SetFlags(type, key->IsOnCardGenerated() ? kAccessSensitiveLocal : kAccessSensitive,
                                          0xFFFFFFFFu)
                               ? 0
                               : SC_E_NO_MEMORY;
                if (IsPrivateValueCode(code)) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
                SCCardInfo ci;
                std::memset(&ci, 0, sizeof ci);
                if (m_pCard) m_pCard->GetCardInfo(&ci);
                if ((ci.pinCaps & 0x8000) == 0) {
                    identifiersAsked = true;
                    r = FromKeyIdentifiers(rec, code, attr);
                    if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
                }
            } else if (code == p15attr::kKeyAccess) {
                return attr->SetFlags(type, kAccessExtractable, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
            }
            r = FromRsaValue(key->value, code, attr);
            if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
        }
    }
    if (!identifiersAsked) {
        r = FromKeyIdentifiers(rec, code, attr);
        if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
    }
    r = FromPublicKey(rec, code, attr);
    if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
    return FromCertificate(rec, code, attr);
}

SCRESULT SCPkcs15PrivateKeyList::GetDsaValueAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                                      SCPkcs15ObjectAttribute* attr) {
    const bool ec = rec->getChosenIndex() == ASNPkcs15PrivateKeyType::kEC;
    const uint64_t type = attr->GetType();
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    // The private value: the record's own, else the key object's.
    const ASNinteger* x = ec ? rec->getDirectECKey() : rec->getDirectDSAKey();
    bool sensitive = ka && ka->isNative();
    bool generated = false;
    if (!x && GetValuePath(rec)) {
        SCPkcs15PrivateDsaKeyObject* key = nullptr;
        const SCRESULT l = GetDsaKeyObject(HandleOf(rec), &key);
        if (l == SC_E_NO_MEMORY) return l;
        if (l < 0 && !IsAbsentValue(l)) {
            if (code == p15attr::kKeyAccess)
                return attr->SetFlags(type, kAccessSensitive, 0xFFFFFFFFu) ? 0 : SC_E_NO_MEMORY;
            attr->SetValue(nullptr, 0);
            return l;
        }
        if (key) {
            if (key->IsValueOnCardOnly()) sensitive = true;
            generated = key->IsOnCardGenerated();
            if (l >= 0 && key->GetKeyValue() && key->GetKeyValue()->getValueLength() > 0) x = key->GetKeyValue();
        }
    }
    ASNPkcs15ECParameters* ecp = ec ? rec->getECParameters() : nullptr;
    ASNPkcs15X942Parameters* dsap = ec ? nullptr : rec->getDSAParameters();
    uint32_t xLen = 0;
    const uint8_t* xv = x ? ScPkcs15Magnitude(*x, &xLen) : nullptr;
    switch (code) {
        case p15attr::kKeyAccess:
            return attr->SetFlags(type, sensitive ? (generated ? kAccessSensitiveLocal : kAccessSensitive) : kAccessExtractable,
                                  0xFFFFFFFFu)
                       ? 0
                       : SC_E_NO_MEMORY;
        case p15attr::kPrivateValue: {
            // Only a key whose own flags say extractable and not sensitive gives its value out.
            const uint32_t af = ka && ka->wasAccessFlags ? ka->accessFlags.getFlags() : (sensitive ? 1u : 2u);
            if (!(af & 2) || (af & 1)) return SC_E_PKCS15_ATTR_UNEXTRACTABLE;
            if (!x) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetAsnObject(type, *x) ? 0 : SC_E_NO_MEMORY;
        }
        case p15attr::kPrivateKeyBits: {
            long bits = 0;
            if (xv) bits = 8L * xLen;
            else if (ecp) bits = static_cast<long>(ecp->getFieldSizeBits());
            else if (dsap) bits = 8L * dsap->q.getLength();
            if (bits <= 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetInteger(type, static_cast<uint32_t>(bits)) ? 0 : SC_E_NO_MEMORY;
        }
        case p15attr::kDsaPrivatePrime:
        case p15attr::kDsaPrivateSubprime:
        case p15attr::kDsaPrivateBase: {
            if (ec || !dsap) return SC_E_PKCS15_ATTR_NOT_FOUND;
            const ASNinteger& v = code == p15attr::kDsaPrivatePrime      ? dsap->p
                                  : code == p15attr::kDsaPrivateSubprime ? dsap->q
                                                                         : dsap->g;
            uint32_t len = 0;
            const uint8_t* d = ScPkcs15Magnitude(v, &len);
            if (!d) return SC_E_PKCS15_ATTR_NOT_FOUND;
            return attr->SetBigInt(type, d, len) ? 0 : SC_E_NO_MEMORY;
        }
        case p15attr::kPrivateEcParams:
        case p15attr::kPrivatePublicValue:
        case p15attr::kPrivateKeyHash: break;
        default: return SC_E_PKCS15_ATTR_NOT_FOUND;
    }
    if (code == p15attr::kPrivateEcParams && ecp && ecp->getChosenIndex() >= 0)
        return attr->SetAsnObject(type, *ecp) ? 0 : SC_E_NO_MEMORY;
    if (code == p15attr::kPrivateEcParams && dsap) return attr->SetAsnObject(type, *dsap) ? 0 : SC_E_NO_MEMORY;
    if (xv && (code == p15attr::kPrivatePublicValue || code == p15attr::kPrivateKeyHash)) {
        // The public value from the private one.
        if (ec && ecp) {
            ECPrivateKey priv(0x30);
            ASNoctstr point(0x04);
            if (priv.setPrivateKey(xv, xLen, ecp) == 1 && priv.getPublicKeyOctets(point, ecp) == 1) {
                if (code == p15attr::kPrivatePublicValue) return attr->SetAsnObject(type, point) ? 0 : SC_E_NO_MEMORY;
                const uint8_t* px = nullptr;
                uint32_t pxLen = 0;
                if (!PointX(point.getData(), static_cast<uint32_t>(point.getLength()), &px, &pxLen))
                    return SC_E_PKCS15_ATTR_NOT_FOUND;
                return PutSha1(attr, px, pxLen) ? 0 : SC_E_NO_MEMORY;
            }
        } else if (!ec && dsap) {
            DSAParameters params(0x30);
            dsap->copyToDsaParameters(params);
            ASNinteger y(0x02);
            if (params.computePublicValue(*x, y)) {
                if (code == p15attr::kPrivatePublicValue) return attr->SetAsnObject(type, y) ? 0 : SC_E_NO_MEMORY;
                uint32_t yLen = 0;
                const uint8_t* yv = ScPkcs15Magnitude(y, &yLen);
                return PutSha1OfNumber(attr, yv, yLen) ? 0 : SC_E_NO_MEMORY;
            }
        }
    }
    // Without a value of its own, the key's public half stands beside it.
    SCRESULT r = FromPublicKey(rec, code, attr);
    if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
    if (!m_pPkcs15App) return SC_E_PKCS15_ATTR_NOT_FOUND;
    void* cert = nullptr;
    r = m_pPkcs15App->FindCertificateForKey(HandleOf(rec), &cert);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0 || !cert) return SC_E_PKCS15_ATTR_NOT_FOUND;
    SCPkcs15ObjectAttribute got(code == p15attr::kPrivateKeyHash       ? p15attr::kCertKeyHash
                                : code == p15attr::kPrivatePublicValue ? p15attr::kCertPublicKey
                                                                       : 0x283);
    r = m_pPkcs15App->GetAttributeValue(cert, &got);
    if (r == SC_E_NO_MEMORY) return r;
    if (r < 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
    return attr->CopyValue(got) ? 0 : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15PrivateKeyList::GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t group = code & ~0xFFULL;
    if (group == 0) {
        if (code == 0 || code > 5) return SC_E_PKCS15_INVALID_ATTR;
        return Base::GetAttribute(handle, attr);
    }
    if (group == P15_KIND_KEY) {
        ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
        if (!ka) return SC_E_PKCS15_ATTR_NOT_FOUND;
        SCRESULT r = ScPkcs15GetCommonKeyAttribute(*ka, code, attr);
        if (!(code == p15attr::kKeyAccess && r == SC_E_PKCS15_ATTR_NOT_FOUND)) return r;
    } else if (group == P15_KIND_PRIVATE_KEY) {
        ASNPkcs15CommonPrivateKeyAttributes* cpa =
            rec->hasCommonPrivateKeyAttributes() ? rec->findCommonPrivateKeyAttributes() : nullptr;
        SCRESULT r = SC_E_PKCS15_ATTR_NOT_FOUND;
        switch (code) {
            case p15attr::kPrivateSubject:
                if (cpa && cpa->wasSubjectName) return attr->SetAsnObject(attr->GetType(), cpa->subjectName) ? 0 : SC_E_NO_MEMORY;
                if (cpa && cpa->wasRawSubjectName)
                    return attr->SetAsnObject(attr->GetType(), cpa->rawSubjectName) ? 0 : SC_E_NO_MEMORY;
                return SC_E_PKCS15_ATTR_NOT_FOUND;
            case p15attr::kPrivateKeyIdentifiers:
                if (cpa && cpa->wasKeyIdentifiers)
                    return attr->SetAsnObject(attr->GetType(), cpa->keyIdentifiers) ? 0 : SC_E_NO_MEMORY;
                break;
            case p15attr::kPrivateValue:
                if (ASNobject* direct = rec->getDirectValue())
                    return attr->SetAsnObject(attr->GetType(), *direct) ? 0 : SC_E_NO_MEMORY;
                break;
            case p15attr::kPrivateKeyBits: {
                const long bits = rec->getKeySizeBits();
                if (bits > 0 && bits <= 0x7FFFFFFFL)
                    return attr->SetInteger(attr->GetType(), static_cast<uint32_t>(bits)) ? 0 : SC_E_NO_MEMORY;
                break;
            }
            case p15attr::kPrivateKeyHash:
            case p15attr::kPrivatePublicPart:
            case p15attr::kPrivatePublicValue:
                r = FromKeyIdentifiers(rec, code, attr);
                if (r != SC_E_PKCS15_ATTR_NOT_FOUND) return r;
                break;
            // The domain parameters are the key's: its kind answers them.
            case p15attr::kPrivateEcParams: break;
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
    }
    switch (rec->getChosenIndex()) {
        case ASNPkcs15PrivateKeyType::kRSA: return GetKeyValueAttribute(rec, code, attr);
        case ASNPkcs15PrivateKeyType::kEC:
        case ASNPkcs15PrivateKeyType::kDSA: return GetDsaValueAttribute(rec, code, attr);
        default: return SC_E_PKCS15_ATTR_NOT_FOUND;
    }
}

SCRESULT SCPkcs15PrivateKeyList::SetKeyAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code,
                                                 const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->getCommonPrivateKeyAttributes();
    if (!cpa) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
    const bool empty = !attr->GetValue() || attr->GetLength() == 0;
    const bool had = rec->hasCommonPrivateKeyAttributes() != 0;
    try {
        switch (code) {
            case p15attr::kPrivateSubject:
                if (empty) {
                    cpa->wasSubjectName = 0;
                    cpa->wasRawSubjectName = 0;
                    break;
                }
                if (!ScPkcs15FromDer(cpa->subjectName, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                cpa->wasSubjectName = 1;
                cpa->wasRawSubjectName = 0;
                break;
            case p15attr::kPrivateKeyIdentifiers:
                if (empty) {
                    cpa->wasKeyIdentifiers = 0;
                    break;
                }
                if (!ScPkcs15FromDer(cpa->keyIdentifiers, attr)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                cpa->wasKeyIdentifiers = 1;
                break;
            case p15attr::kPrivateKeyHash:
            case p15attr::kPrivatePublicPart: {
                const uint32_t idType = code == p15attr::kPrivateKeyHash ? 4 : 9999;
                if (!cpa->wasKeyIdentifiers) cpa->keyIdentifiers.clear();
                cpa->keyIdentifiers.remove(idType);
                if (!empty) {
                    int ok = 0;
                    if (idType == 4) {
                        ok = cpa->keyIdentifiers.add(4, attr->GetValue(), static_cast<long>(attr->GetLength()));
                    } else {
                        RSAPublicKey pk(0);
                        if (!DecodeRsaPublicKey(attr->GetValue(), attr->GetLength(), &pk))
                            return SC_E_PKCS15_INVALID_ATTR_VALUE;
                        ok = cpa->keyIdentifiers.addObject(9999, pk);
                    }
                    if (!ok) return SC_E_NO_MEMORY;
                }
                cpa->wasKeyIdentifiers = cpa->keyIdentifiers.GetCount() > 0 ? 1 : 0;
                break;
            }
            default: return SC_E_PKCS15_UNSUPPORTED_ATTR;
        }
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    const bool present = cpa->wasSubjectName || cpa->wasRawSubjectName || cpa->wasKeyIdentifiers;
    if (present != had) rec->setCommonPrivateKeyAttributesPresent(present ? 1 : 0);
    return 0;
}

SCRESULT SCPkcs15PrivateKeyList::SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT mapped = MapAttributeType(attr->GetType());
    if (mapped < 0) return mapped;
    const uint64_t code = static_cast<uint64_t>(mapped);
    const uint64_t group = code & ~0xFFULL;
    SCRESULT r;
    if (group == 0) {
        return Base::SetAttribute(handle, attr);
    } else if (group == P15_KIND_KEY) {
        ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
        if (!ka) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        r = ScPkcs15SetCommonKeyAttribute(*ka, code, attr);
    } else if (group == P15_KIND_PRIVATE_KEY) {
        r = SetKeyAttribute(rec, code, attr);
    } else if ((code >> 24) != 0) {
        // The key's values are the key's own: read only for RSA, not kept here for the others.
        return rec->getChosenIndex() == ASNPkcs15PrivateKeyType::kRSA ? SC_E_PKCS15_ATTRIBUTE_READ_ONLY
                                                                       : SC_E_PKCS15_KEY_UNSUPPORTED;
    } else {
        return SC_E_PKCS15_UNSUPPORTED_ATTR;
    }
    if (r < 0) return r;
    SetDirty(true);
    return 0;
}

// ---- key files of new keys ----

SCRESULT SCPkcs15PrivateKeyList::SetKeyFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                                      const SCFileHeaderList& refs) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_BAD_USAGE;
    if (rec->getValueChoice() != 0) rec->setValueChoice(0);
    SCRESULT r = CreateKeyObject(record);
    if (r < 0) return r;
    // A key that the card keeps goes where the card keeps private keys: inside a DF,
    // named by a free reference there, on a card that addresses them so; in a file of
    // its own without a reference on a card that uses such a key by its file; else in
    // a file of its own with a free reference of its DF, which names it to the card.
    // Every other key gets a file of its own and no reference.
    const KeyPlace place = PlaceOf(rec);
    uint32_t mode = SCPkcs15KeyObject::NO_KEY_REFERENCE;
    if (place == KeyPlace::kReferenceInDf) {
        mode = 0;
    } else if (place == KeyPlace::kFileWithReference) {
        SCPath dir;
        if (!m_pPkcs15App || !KeyFileDirectory(&dir)) return SC_E_BAD_USAGE;
        // From 1: reference 0 names the selected key file, not a key of its own.
        r = m_pPkcs15App->FindFreeKeyReference(dir.Ids(), static_cast<uint16_t>(dir.Count()), 1, true, record);
        if (r < 0) return r;
        mode = static_cast<uint32_t>(r);
    }
    r = AssignKeyFile(record, nullptr, mode);
    if (r < 0) return r;
    auto* key = static_cast<SCPkcs15KeyObject*>(rec->getKeyObject());
    key->SetCreateParameters(lifeCycleState, accessTemplate, refs);
    key->SetFresh(true);
    return 0;
}

SCPkcs15PrivateKeyList::KeyPlace SCPkcs15PrivateKeyList::PlaceOf(ASNPkcs15PrivateKeyType* rec) {
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    if (m_pCard) m_pCard->GetCardInfo(&ci);
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    const bool cardKey = rec->getChosenIndex() == ASNPkcs15PrivateKeyType::kRSA && ka && ka->isNative();
    if (cardKey && (ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF)) return KeyPlace::kReferenceInDf;
    if (cardKey && !(ci.rsaCaps & SC_RSA_CAP_PRIV_BY_FILE)) return KeyPlace::kFileWithReference;
    return KeyPlace::kFile;
}

void SCPkcs15PrivateKeyList::SetReference(ASNPkcs15CommonKeyAttributes* ka, SCPkcs15KeyObject* key, int ref) {
    ka->setKeyReference(ref >= 0 && ref < 255 ? ref : -1);
    key->SetKeyReference(ref >= 0 && ref < 255 ? static_cast<uint32_t>(ref) : SCPkcs15KeyObject::NO_KEY_REFERENCE);
}

SCRESULT SCPkcs15PrivateKeyList::FindReferenceInDf(void* record, SCPath* search, bool appended, int startRef) {
    for (;;) {
        SCRESULT r = m_pPkcs15App->FindFreeKeyReference(search->Ids(), static_cast<uint16_t>(search->Count()),
                                                        startRef, true, record);
        // A start beyond the card's last reference: none is left in this DF.
        if (r == SC_E_BAD_PARAMS && startRef > 0) r = SC_E_NO_REFERENCED_DATA;
        if (r != SC_E_NO_REFERENCED_DATA && r != SC_E_INVALID_FILE_TYPE) return r;
        startRef = 0;
        if (!appended) {
            search->Append(0x6000);
            appended = true;
        } else if ((*search)[search->Count() - 1] >= 0x60FF) {
            return r;
        } else {
            const uint16_t last = static_cast<uint16_t>((*search)[search->Count() - 1] + 1);
            *search = SCPath(search->Ids(), search->Count() - 1);
            search->Append(last);
        }
    }
}

SCRESULT SCPkcs15PrivateKeyList::PassOverKeyOfTheCard(void* record) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec || !m_pPkcs15App) return SC_E_BAD_USAGE;
    auto* key = static_cast<SCPkcs15KeyObject*>(rec->getKeyObject());
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    SCPath dir, full;
    if (!key || !ka || !GetValuePath(rec) || !KeyFileDirectory(&dir)) return SC_E_BAD_USAGE;
    // A key file stands below the directory's DF; a key of a DF names that DF.
    const KeyPlace place = PlaceOf(rec);
    if (!key->GetFullPathInto(full) || full.Count() < dir.Count() + (place == KeyPlace::kReferenceInDf ? 0 : 1))
        return SC_E_BAD_USAGE;
    const uint32_t ref = key->GetKeyReference();
    const bool hasRef = ref != 0 && ref != SCPkcs15KeyObject::NO_KEY_REFERENCE;
    const uint32_t nextFid = place == KeyPlace::kReferenceInDf ? 0 : full[full.Count() - 1] + 1u;
    if (nextFid >= 0xFFFF) return SC_E_NO_SPACE_ON_CARD;
    SCRESULT r = 0;
    switch (place) {
        case KeyPlace::kReferenceInDf: {
            if (!hasRef) return SC_E_BAD_USAGE;
            SCPath search = full;
            r = FindReferenceInDf(record, &search, full.Count() > dir.Count(), static_cast<int>(ref) + 1);
            if (r < 0) return r;
            if (!key->SetPath(search)) return SC_E_NO_MEMORY;
            SetReference(ka, key, static_cast<int>(r));
            break;
        }
        case KeyPlace::kFileWithReference: {
            if (!hasRef) return SC_E_BAD_USAGE;
            r = m_pPkcs15App->FindFreeKeyReference(dir.Ids(), static_cast<uint16_t>(dir.Count()),
                                                   static_cast<int>(ref) + 1, true, record);
            if (r == SC_E_BAD_PARAMS) r = SC_E_NO_REFERENCED_DATA;
            if (r < 0) return r;
            const SCRESULT f = key->AllocateFileId(static_cast<uint16_t>(nextFid), dir.Ids(),
                                                   static_cast<uint16_t>(dir.Count()));
            if (f < 0) return f;
            SetReference(ka, key, static_cast<int>(r));
            break;
        }
        case KeyPlace::kFile:
            r = key->AllocateFileId(static_cast<uint16_t>(nextFid), dir.Ids(), static_cast<uint16_t>(dir.Count()));
            if (r < 0) return r;
            break;
    }
    SCPath keyFull;
    if (!key->GetFullPathInto(keyFull)) return SC_E_NO_MEMORY;
    if (!rec->setValuePathWords(keyFull.Ids(), static_cast<int>(keyFull.Count()))) return SC_E_BAD_USAGE;
    SetDirty(true);
    return 0;
}

bool SCPkcs15PrivateKeyList::KeyFileDirectory(SCPath* dir) {
    // The directory that holds this file holds the key files too.
    SCPath full;
    if (GetFullPathInto(full) && full.Count() > 1)
        *dir = SCPath(full.Ids(), full.Count() - 1);
    else
        *dir = m_basePath;
    return dir->Count() > 0 && (*dir)[0] == SC_FID_MF;
}

SCRESULT SCPkcs15PrivateKeyList::AttachKeyFile(void* record, const uint16_t* path, uint16_t count) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_BAD_USAGE;
    if (!path || count == 0) return SC_E_BAD_PARAMS;
    if (rec->getValueChoice() != 0) rec->setValueChoice(0);
    SCRESULT r = CreateKeyObject(record);
    if (r < 0) return r;
    SCPath p;
    if (!p.Set(path, count)) return SC_E_NO_MEMORY;
    const int ref = rec->findCommonKeyAttributes() ? rec->findCommonKeyAttributes()->getKeyReference() : -1;
    r = AssignKeyFile(record, &p, ref >= 0 && ref < 255 ? static_cast<uint32_t>(ref) : SCPkcs15KeyObject::NO_KEY_REFERENCE);
    if (r < 0) return r;
    static_cast<SCPkcs15KeyObject*>(rec->getKeyObject())->SetFresh(false);
    return 0;
}

SCRESULT SCPkcs15PrivateKeyList::AssignKeyFile(void* record, const SCPath* path, uint32_t mode) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(record);
    if (!rec) return SC_E_BAD_USAGE;
    auto* key = static_cast<SCPkcs15KeyObject*>(rec->getKeyObject());
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    if (!GetValuePath(rec) || !key || !ka) return SC_E_BAD_USAGE;
    SCPath dir;
    if (!KeyFileDirectory(&dir)) return SC_E_BAD_USAGE;
    auto setReference = [&](int ref) { SetReference(ka, key, ref); };
    SCRESULT r = 0;
    if (path) {
        if (mode == 0) {
            if (!m_pPkcs15App) return SC_E_BAD_USAGE;
            r = m_pPkcs15App->FindFreeKeyReference(path->Ids(), static_cast<uint16_t>(path->Count()), 0, true, record);
            if (r < 0) return r;
            setReference(static_cast<int>(r));
        } else {
            setReference(static_cast<int>(mode));
        }
        if (!key->SetPath(*path)) return SC_E_NO_MEMORY;
    } else if (mode != 0 || !m_pPkcs15App) {
        r = key->AllocateFileId(0x6000, dir.Ids(), static_cast<uint16_t>(dir.Count()));
        if (r < 0) return r;
        setReference(static_cast<int>(mode));
    } else {
        // The key is an object of a DF: the first path with a free reference.
        SCPath search = dir;
        bool appended = false;
        if (m_pCard && m_pCard->GetCardType() == SC_CARD_TYPE_CLASSIC) {
            search.Append(0x6000);
            appended = true;
        }
        r = FindReferenceInDf(record, &search, appended, 0);
        if (r < 0) return r;
        if (!key->SetPath(search)) return SC_E_NO_MEMORY;
        setReference(static_cast<int>(r));
    }
    SCPath keyFull;
    if (!key->GetFullPathInto(keyFull)) return SC_E_NO_MEMORY;
    if (!rec->setValuePathWords(keyFull.Ids(), static_cast<int>(keyFull.Count()))) return SC_E_BAD_USAGE;
    SetDirty(true);
    return 0;
}

bool SCPkcs15PrivateKeyList::KnownPublicKey(ASNPkcs15PrivateKeyType* rec, RSAPublicKey* out) {
    if (!rec || !m_records.Find(rec) || rec->getChosenIndex() != ASNPkcs15PrivateKeyType::kRSA) return false;
    const ASNPkcs15RSAPrivateKeyObject* value = rec->getDirectRSAKey();
    if (!value && rec->getKeyObject()) {
        auto* key = static_cast<SCPkcs15PrivateRsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(rec->getKeyObject()));
        if (key->IsLoaded()) value = &key->value;
    }
    if (value && value->present[0] && value->present[1]) {
        out->setModulus(value->modulus);
        out->setPublicExponent(value->publicExponent);
        return true;
    }
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->findCommonPrivateKeyAttributes();
    if (!cpa || !rec->hasCommonPrivateKeyAttributes() || !cpa->wasKeyIdentifiers) return false;
    ASNobject* pub = cpa->keyIdentifiers.getValueObject(9999);
    std::vector<uint8_t> der;
    return pub && ScPkcs15Der(*pub, &der) >= 0 && DecodeRsaPublicKey(der.data(), static_cast<uint32_t>(der.size()), out);
}

// ---- operations ----

SCRESULT SCPkcs15PrivateKeyList::ReadPublicPart(ASNPkcs15PrivateKeyType* rec, ASNinteger* modulus,
                                                ASNinteger* exponent) {
    SCPkcs15ObjectAttribute n(p15attr::kRsaPrivateModulus), e(p15attr::kRsaPrivatePublicExponent);
    SCRESULT r = GetKeyValueAttribute(rec, p15attr::kRsaPrivateModulus, &n);
    if (r >= 0) r = GetKeyValueAttribute(rec, p15attr::kRsaPrivatePublicExponent, &e);
    if (r < 0) return r;
    if (n.GetLength() == 0 || e.GetLength() == 0) return SC_E_PKCS15_ATTR_NOT_FOUND;
    if (!modulus->setUnsigned(n.GetValue(), n.GetLength()) || !exponent->setUnsigned(e.GetValue(), e.GetLength()))
        return SC_E_NO_MEMORY;
    return 0;
}

int64_t SCPkcs15PrivateKeyList::RetryFlag(void* handle) {
    SCPkcs15ObjectAttribute consent(p15attr::kUserConsent);
    SCRESULT r = Base::GetAttribute(handle, &consent);
    if (r == SC_E_PKCS15_ATTR_NOT_FOUND) return 0;
    uint32_t v = 0;
    if (r < 0 || !consent.GetInteger(&v)) return -1;
    return v == 0xFFFFFFFFu ? 0 : static_cast<int64_t>(v);
}

SCRESULT SCPkcs15PrivateKeyList::Sign(void* handle, uint32_t mechanism, uint32_t hashId, const uint8_t* data,
                                      uint32_t dataLen, uint8_t* out, uint32_t* outLen) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    // Only RSA records have a key object that can sign.
    if (rec->getChosenIndex() != ASNPkcs15PrivateKeyType::kRSA) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (rec->getValueChoice() != 0) {
        ASNPkcs15RSAPrivateKeyObject* direct = rec->getDirectRSAKey();
        if (!direct) return SC_E_PKCS15_KEY_UNSUPPORTED;
        SCPkcs15PrivateRsaKeyObject soft(nullptr);
        soft.value = *direct;
        SCRESULT r = soft.SignInSoftware(mechanism, hashId, data, dataLen, out, outLen);
        soft.value.clear();
        return r;
    }
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(handle, &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_PKCS15_KEY_UNSUPPORTED;
    auto* key = static_cast<SCPkcs15PrivateRsaKeyObject*>(v);
    ASNinteger modulus(0x02), exponent(0x02);
    bool haveKey = false;
    int attempts = 1, limit = 1;
    int64_t retry = -2;  // unknown
    // A wrong signature is not given out: one from a faulty key computation may betray the key.
    auto refuse = [&](SCRESULT failure) {
        if (out && outLen && *outLen) SecureZero(out, *outLen);
        return failure;
    };
    for (;;) {
        ++attempts;
        r = key->Sign(mechanism, hashId, data, dataLen, out, outLen);
        // A signature the reader may have cut short is always checked; a whole one is
        // checked too when the public key is known, since a card that computed it wrongly
        // would give its key away with it.
        const bool unreliable = r == SC_W_PKCS15_OPERATION_NOT_RELIABLE;
        if (!unreliable && (r != 0 || !out || !outLen || *outLen == 0)) return r;
        if (!haveKey) {
            SCRESULT g = ReadPublicPart(rec, &modulus, &exponent);
            if (g < 0) {
                if (!unreliable) return r;
                if (attempts > limit) return refuse(g);
                continue;
            }
            haveKey = true;
        }
        const uint32_t check =
            mechanism == SC_SIGN_PKCS1 || mechanism == SC_SIGN_PKCS1_DIGEST ? mechanism : SC_SIGN_RAW;
        if (out && outLen &&
            SCPkcs15RsaKeyObject::RsaVerify(check, hashId, modulus, exponent, out, data, dataLen) == 0)
            return 0;
        if (retry == -2) {
            retry = RetryFlag(handle);
            if (retry != 0) limit = 5;
        }
        if (attempts > limit) return refuse(SC_E_CRYPT_ERROR);
    }
}

SCRESULT SCPkcs15PrivateKeyList::Decrypt(void* handle, uint32_t mechanism, const uint8_t* in, uint32_t inLen,
                                         uint8_t* out, uint32_t* outLen) {
    ASNPkcs15PrivateKeyType* rec = RecordFor(handle);
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    if (rec->getChosenIndex() != ASNPkcs15PrivateKeyType::kRSA) return SC_E_PKCS15_KEY_UNSUPPORTED;
    if (rec->getValueChoice() != 0) {
        ASNPkcs15RSAPrivateKeyObject* direct = rec->getDirectRSAKey();
        if (!direct) return SC_E_PKCS15_KEY_UNSUPPORTED;
        SCPkcs15PrivateRsaKeyObject soft(nullptr);
        soft.value = *direct;
        SCRESULT r = soft.DecryptInSoftware(mechanism, in, inLen, out, outLen);
        soft.value.clear();
        return r;
    }
    SCPkcs15PathObjectInfo* v = nullptr;
    SCRESULT r = GetValueObject(handle, &v, true);
    if (r < 0) return r;
    if (!v) return SC_E_PKCS15_KEY_UNSUPPORTED;
    auto* key = static_cast<SCPkcs15PrivateRsaKeyObject*>(v);
    ASNinteger modulus(0x02), exponent(0x02);
    bool haveKey = false;
    std::vector<uint8_t> check;
    int attempts = 1, limit = 1;
    int64_t retry = -2;
    SCRESULT result = SC_E_CRYPT_ERROR;
    for (;;) {
        ++attempts;
        r = key->Decrypt(mechanism, in, inLen, out, outLen);
        if (r != SC_W_PKCS15_OPERATION_NOT_RELIABLE) {
            result = r;
            break;
        }
        // A plaintext that may have been cut and cannot be checked is no plaintext.
        if (mechanism != SC_SIGN_RAW) {
            if (out && outLen && *outLen) SecureZero(out, *outLen);
            result = SC_E_CRYPT_ERROR;
            break;
        }
        bool equal = false;
        SCRESULT g = haveKey ? 0 : ReadPublicPart(rec, &modulus, &exponent);
        if (g >= 0) {
            haveKey = true;
            const uint32_t k = SCPkcs15RsaKeyObject::SignificantLength(modulus);
            try {
                if (check.size() != k) check.assign(k, 0);
            } catch (const std::bad_alloc&) {
                g = SC_E_NO_MEMORY;
            }
            if (g >= 0 && out && outLen && *outLen >= k && k == inLen &&
                SCPkcs15RsaKeyObject::RsaPublicOperation(SC_SIGN_RAW, modulus, exponent, out, k, check.data()) >= 0)
                equal = std::memcmp(check.data(), in, k) == 0;
        }
        if (equal) {
            result = 0;
            break;
        }
        if (retry == -2) {
            retry = RetryFlag(handle);
            // Unlike signing, a key without user consent may be tried again here.
            if (retry == 0) limit = 5;
        }
        if (attempts > limit) {
            // A plaintext that failed its check is no plaintext.
            if (out && outLen && *outLen) SecureZero(out, *outLen);
            result = g < 0 ? g : SC_E_CRYPT_ERROR;
            break;
        }
    }
    if (!check.empty()) SecureZero(check.data(), check.size());
    return result;
}
