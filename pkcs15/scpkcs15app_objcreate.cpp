// Card objects made from the token layer's attribute lists: data objects,
// certificates, RSA, DSA and EC private keys, RSA public keys and secret keys, and
// RSA key pairs generated on the card. A creation that fails takes back what it
// made, and only that.
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/ecprvkey.h"
#include "keys/rsaprkey.h"
#include "keys/rsapukey.h"
#include "lib/libasn/x509/x942dh.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15certlist.h"
#include "pkcs15/scpkcs15dataobjectlist.h"
#include "pkcs15/scpkcs15dsakeyobject.h"
#include "pkcs15/scpkcs15prvkeylist.h"
#include "pkcs15/scpkcs15pubkeylist.h"
#include "pkcs15/scpkcs15rsaprvkeyobject.h"
#include "pkcs15/scpkcs15seckeylist.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_transactguard.h"
#include "support/vtest.h"

namespace {

const char kSrc[] = "scpkcs15app";

// PKCS#15 accessFlags words of new keys.
constexpr uint32_t kAfExtractable = 2;
constexpr uint32_t kAfImported = 13;
constexpr uint32_t kAfGenerated = 29;
constexpr uint32_t kAfGeneratedPublic = 18;

// The first attribute of a type, or null.
const SCPkcs15ObjectAttribute* Find(const SCPkcs15ObjectAttributeList& attrs, uint64_t type) {
    return attrs.FindAttribute(type);
}

// The octets of an attribute, empty when absent.
const uint8_t* Octets(const SCPkcs15ObjectAttribute* a, uint32_t* len) {
    *len = 0;
    if (!a || !a->GetValue()) return nullptr;
    *len = a->GetLength();
    return *len ? a->GetValue() : nullptr;
}

// The octets of a big-integer attribute without leading zeros.
const uint8_t* Magnitude(const SCPkcs15ObjectAttribute* a, uint32_t* len) {
    const uint8_t* p = Octets(a, len);
    while (p && *len && *p == 0) {
        ++p;
        --*len;
    }
    return *len ? p : nullptr;
}

// The kind of a class: attribute 1, the card's default for a generic one.
SCRESULT KindOf(const SCPkcs15ObjectAttributeList& attrs, uint32_t keyClass, SCPkcs15App* app, uint32_t* kind) {
    const SCPkcs15ObjectAttribute* k = Find(attrs, p15attr::kKind);
    uint32_t v = 0;
    if (k && !k->GetInteger(&v)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if (!k || v == 0 || v == keyClass) v = app->GetDefaultKeyKind(keyClass);
    if ((v & P15_CLASS_MASK) != keyClass) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
    *kind = v;
    return 0;
}

// Object flags from the template: (~m & start) | (m & v).
SCRESULT ObjectFlags(const SCPkcs15ObjectAttributeList& attrs, uint32_t start, bool alwaysPrivate, uint32_t* out) {
    *out = start;
    const SCPkcs15ObjectAttribute* f = Find(attrs, p15attr::kObjectFlags);
    if (!f) return 0;
    uint32_t v = 0, m = 0;
    if (!f->GetFlags(&v, &m)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if (alwaysPrivate) m &= ~1u;
    *out = (~m & start) | (m & v);
    return 0;
}

SCRESULT SetFlagsAttribute(SCPkcs15ObjectList* list, void* rec, uint64_t type, uint32_t value) {
    SCPkcs15ObjectAttribute a(type);
    if (!a.SetFlags(type, value, 0xFFFFFFFFu)) return SC_E_NO_MEMORY;
    return list->SetAttribute(rec, &a);
}

SCRESULT SetBinaryAttribute(SCPkcs15ObjectList* list, void* rec, uint64_t type, const void* data, uint32_t len) {
    SCPkcs15ObjectAttribute a(type);
    if (!a.SetBinary(type, data, len)) return SC_E_NO_MEMORY;
    return list->SetAttribute(rec, &a);
}

SCRESULT SetIntegerAttribute(SCPkcs15ObjectList* list, void* rec, uint64_t type, uint32_t v) {
    SCPkcs15ObjectAttribute a(type);
    if (!a.SetInteger(type, v)) return SC_E_NO_MEMORY;
    return list->SetAttribute(rec, &a);
}

// A new key record's kind (class 0x10100 private, 0x20100 public), the card's information
// and the key's usage: for RSA keys the card's default, then what the template sets.
SCRESULT NewKeyKindAndUsage(SCPkcs15App* app, SCCard* card, const SCPkcs15ObjectAttributeList& attrs,
                            uint32_t keyClass, uint32_t* kind, SCCardInfo* ci, uint32_t* usage) {
    SCRESULT r = KindOf(attrs, keyClass, app, kind);
    if (r < 0) return r;
    std::memset(ci, 0, sizeof *ci);
    card->GetCardInfo(ci);
    *usage = 0;
    if (*kind == P15_KIND_RSA_PRIVATE_KEY) *usage = ((ci->rsaCaps & 0x10) ? 4u : 0u) | ((ci->rsaCaps & 0x40) ? 2u : 0u);
    if (*kind == P15_KIND_RSA_PUBLIC_KEY) *usage = ((ci->rsaCaps & 0x20) ? 64u : 0u) | ((ci->rsaCaps & 0x80) ? 1u : 0u);
    if (const SCPkcs15ObjectAttribute* u = Find(attrs, p15attr::kKeyUsage)) {
        uint32_t v = 0, m = 0;
        if (!u->GetFlags(&v, &m)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        *usage = (*usage & ~m) | (v & m);
    }
    return 0;
}

// Whether the card keeps the key, its access flags and usage; false when memory ran out.
bool SetKeyBasics(ASNPkcs15CommonKeyAttributes& ka, bool native, uint32_t accessFlags, uint32_t usage) {
    ka.native = native;
    ka.wasNative = native ? 0 : 1;
    return ka.setAccessFlags(accessFlags) && ka.setUsage(usage);
}

// Runs a new key's creation on the card (a generation or an import). Where the card
// answers that it holds a key at the file or reference chosen here (one that no
// record names: left by a cut call, or another application's), the key takes the
// next free place after it and the creation runs again: the card's key is never
// replaced. A reference that the template names is kept, and its creation fails.
template <typename Create>
SCRESULT CreatePassingOverKeysOfTheCard(SCPkcs15ObjectList* list, void* rec, bool placeChosenHere, Create create) {
    auto* prk = dynamic_cast<SCPkcs15PrivateKeyList*>(list);
    SCRESULT r = create();
    // Every pass takes a later file or reference; bounded all the same.
    for (int pass = 0; r == SC_E_KEY_EXISTS && placeChosenHere && prk && pass < 256; ++pass) {
        const SCRESULT moved = prk->PassOverKeyOfTheCard(rec);
        if (moved < 0) return moved;
        r = create();
    }
    return r;
}

bool IsOneOf(uint64_t t, const uint64_t* set, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (set[i] == t) return true;
    return false;
}

}  // namespace

// ---- directories for new objects ----

uint32_t SCPkcs15App::DirectoryTemplate(uint32_t flags) {
    const bool so = HasSoPin();
    if (flags & CREATE_WRITABLE_LIST) return so ? 0xBB01 : 0xB001;
    return so ? 0x88F1 : 0x80F1;
}

uint32_t SCPkcs15App::ValueTemplate(bool privateObject) {
    const bool so = HasSoPin();
    if (privateObject) return so ? 0x88F0 : 0x80F0;
    return so ? 0x88F1 : 0x80F1;
}

SCRESULT SCPkcs15App::NewDirectoryFile(int odfTag, uint32_t accessTemplate, SCPkcs15ObjectList** out) {
    *out = nullptr;
    SCPath app;
    SCRESULT r = BuildAbsolutePath(&app);
    if (r < 0) return r;
    SCPkcs15ObjectList* list = AddObjectList(odfTag);
    if (!list) return SC_E_NO_MEMORY;
    list->SetCreateParameters(3, accessTemplate, m_headers);
    list->SetFresh(true);
    static const struct {
        int tag;
        uint16_t fid;
    } kFirst[] = {{0xA0, 0x5300}, {0xA1, 0x5400}, {0xA2, 0x5410}, {0xA3, 0x5500}, {0xA4, 0x5600},
                  {0xA5, 0x5610}, {0xA6, 0x5620}, {0xA7, 0x5700}, {0xA8, 0x5200}};
    uint16_t first = 0x5300;
    for (const auto& f : kFirst)
        if (f.tag == odfTag) first = f.fid;
    r = list->AllocateFileId(first, app.Ids(), static_cast<uint16_t>(app.Count()));
    if (r >= 0) {
        SCPath full;
        if (!list->GetFullPathInto(full) ||
            !m_odf.AddEntryTail(static_cast<uint8_t>(odfTag), full.Ids(), static_cast<uint16_t>(full.Count())))
            r = SC_E_NO_MEMORY;
    }
    if (r < 0) {
        DropNewDirectory(list, false);
        return r;
    }
    // The user PIN guards the new directory like the others.
    ASNPkcs15AuthObject* user = nullptr;
    if (odfTag != 0xA8 && FindPinObject(PIN_USER, &user) >= 0) list->SetAuthHandle(HandleOfPin(user));
    m_odf.SetDirty(true);
    *out = list;
    return 0;
}

void SCPkcs15App::DropNewDirectory(SCPkcs15ObjectList* list, bool deleteFile) {
    if (!list) return;
    SCPath full;
    const bool havePath = list->GetPath().Count() > 0 && list->GetFullPathInto(full);
    if (deleteFile) (void)list->DeleteMade();
    if (havePath) {
        // Its ODF entry goes with it.
        for (POSITION pos = m_odf.GetFirstEntryPosition(); pos;) {
            POSITION at = pos;
            SCPkcs15OdfEntry* e = m_odf.GetNextEntry(pos);
            uint16_t ids[64];
            const int n = e ? e->value.getPath(ids, 64) : -1;
            if (n > 0 && SCPath(ids, static_cast<size_t>(n)).IsEqual(full)) {
                m_odf.RemoveEntryAt(at);
                break;
            }
        }
    }
    for (size_t i = 0; i < m_madeLists.size(); ++i)
        if (m_madeLists[i] == list) m_madeLists.erase(m_madeLists.begin() + static_cast<long>(i));
    for (DirList& l : m_lists) {
        POSITION p = l.Find(list);
        if (p) {
            delete l.RemoveAt(p);
            return;
        }
    }
}

bool SCPkcs15App::IsMadeList(const SCPkcs15ObjectList* list) const {
    for (const SCPkcs15ObjectList* l : m_madeLists)
        if (l == list) return true;
    return false;
}

SCRESULT SCPkcs15App::RefreshKeyLists() {
    for (int idx : {L_PRKDF, L_PUKDF}) {
        for (POSITION p = m_lists[idx].GetHeadPosition(); p;) {
            const SCRESULT r = m_lists[idx].GetNext(p)->MergeWithCard(nullptr);
            if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
        }
    }
    return 0;
}

SCRESULT SCPkcs15App::CheckRoom(SCPkcs15ObjectList* list, void* rec) {
    SCTransactGuard guard(m_pCard);
    if (list && !IsMadeList(list)) {
        SCRESULT r = list->MergeWithCard(rec);
        if (r >= 0 && rec && !list->HoldsHandle(rec)) r = SC_E_INCONSISTENT_DATA;
        if (r >= 0) r = list->CanHoldContents();
        // Who may write is judged before room: a caller the directory refuses hears so.
        if (r == 0) r = list->HeldMayUpdate() == 0 ? SC_E_ACCESS_DENIED : SC_E_FILE_TOO_SMALL;
        // A directory the ODF names but the card lacks is made as large as it needs.
        if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    }
    const SCRESULT odf = m_madeLists.empty() ? 1 : m_odf.CanHoldContents();
    if (odf == 0) return m_odf.HeldMayUpdate() == 0 ? SC_E_ACCESS_DENIED : SC_E_FILE_TOO_SMALL;
    return odf < 0 ? odf : 0;
}

SCRESULT SCPkcs15App::CommitMadeLists() {
    if (m_madeLists.empty()) return 0;
    SCRESULT r = m_odf.Write(nullptr, 0, nullptr);
    if (r >= 0) m_madeLists.clear();
    return r;
}

void SCPkcs15App::DropMadeLists(bool deleteFiles) {
    while (!m_madeLists.empty()) DropNewDirectory(m_madeLists.back(), deleteFiles);
}

SCRESULT SCPkcs15App::GetListForCreation(int odfTag, uint32_t flags, SCPkcs15ObjectList** list) {
    *list = nullptr;
    SCPkcs15ObjectList* l = FindDirectoryFile(odfTag, flags & CREATE_WRITABLE_LIST);
    if (!l) {
        if (flags & CREATE_NO_NEW_LIST) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        SCRESULT r = NewDirectoryFile(odfTag, DirectoryTemplate(flags), &l);
        if (r < 0) return r;
        try {
            m_madeLists.push_back(l);
        } catch (const std::bad_alloc&) {
            DropNewDirectory(l, false);
            return SC_E_NO_MEMORY;
        }
    } else {
        l->SetCreateParameters(3, DirectoryTemplate(flags), m_headers);
    }
    *list = l;
    return 0;
}

SCRESULT SCPkcs15App::SetRecordGuard(SCPkcs15ObjectList* list, void* rec) {
    const ASNPkcs15AuthObject* pin = PinFor(list->GetAuthHandle());
    if (!pin) {
        ASNPkcs15AuthObject* user = nullptr;
        if (FindPinObject(PIN_USER, &user) < 0 || !user) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        pin = user;
    }
    const ASNoctstr& id = pin->classAttributes.authId;
    return SetBinaryAttribute(list, rec, p15attr::kAuthId, id.getData(), static_cast<uint32_t>(id.getLength()));
}

SCRESULT SCPkcs15App::ApplyAttributes(SCPkcs15ObjectList* list, void* rec, const SCPkcs15ObjectAttributeList& attrs,
                                      const uint64_t* only, size_t onlyCount, const uint64_t* skip, size_t skipCount,
                                      bool ignoreInvalidNames) {
    for (size_t i = 0; i < attrs.GetCount(); ++i) {
        const SCPkcs15ObjectAttribute* a = attrs.GetAt(i);
        if (!a) continue;
        const uint64_t t = a->GetType();
        if (only && !IsOneOf(t, only, onlyCount)) continue;
        if (skip && IsOneOf(t, skip, skipCount)) continue;
        SCRESULT r = list->SetAttribute(rec, a);
        if (r == SC_E_PKCS15_INVALID_ATTR_VALUE && ignoreInvalidNames &&
            (t == p15attr::kAnySubject || t == p15attr::kCertSubject || t == p15attr::kCertIssuer ||
             t == p15attr::kCertSerialNumber))
            continue;
        if (r < 0) return r;
    }
    return 0;
}

// ---- dispatch ----

SCRESULT SCPkcs15App::CreateObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!IsWritable()) return SC_E_WRITE_PROTECTED;
    const SCPkcs15ObjectAttribute* k = Find(attrs, p15attr::kKind);
    if (!k) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    uint32_t kind = 0;
    if (!k->GetInteger(&kind)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    // A reset by another application in the middle is taken back, and the object finished.
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    // The card held for the whole call: what it holds when the call begins is what
    // the call writes over.
    SCTransactGuard guard(m_pCard);
    const SCRESULT grown = FinishCutGrowths();
    if (grown < 0) return grown;
    switch (kind & P15_CLASS_MASK) {
        case P15_KIND_PRIVATE_KEY: {
            // The keys that other applications made since this one read the card take
            // their references and files first.
            const SCRESULT m = RefreshKeyLists();
            return m < 0 ? m : CreatePrivateKey(attrs, out, flags);
        }
        case P15_KIND_PUBLIC_KEY: return CreatePublicKey(attrs, out, flags);
        case P15_KIND_SECRET_KEY: return CreateSecretKey(attrs, out, flags);
        case P15_KIND_CERTIFICATE: return CreateCertificateObject(attrs, out, flags);
        case P15_KIND_DATA: return CreateDataObject(attrs, out, flags);
        default: return SC_E_PKCS15_UNSUPPORTED_TYPE;
    }
}

SCRESULT SCPkcs15App::CreatePrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    uint32_t kind = 0;
    SCRESULT r = KindOf(attrs, P15_KIND_PRIVATE_KEY, this, &kind);
    if (r == SC_E_PKCS15_INVALID_ATTR_VALUE) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
    if (r < 0) return r;
    switch (kind) {
        case P15_KIND_RSA_PRIVATE_KEY: return CreateRsaPrivateKey(attrs, out, flags);
        case P15_KIND_DSA_PRIVATE_KEY: return CreateDsaPrivateKey(attrs, out, flags);
        case P15_KIND_EC_PRIVATE_KEY: return CreateEcPrivateKey(attrs, out, flags);
        default: return SC_E_PKCS15_UNSUPPORTED_TYPE;
    }
}

// ---- data objects and certificates ----

// The common end of a creation: the record (and its value file) written, the ODF when
// a directory was made; on a failure every record and directory made goes again.
struct SCPkcs15App::Creation {
    SCPkcs15App* app;
    SCPkcs15ObjectList* list = nullptr;
    void* rec = nullptr;
    explicit Creation(SCPkcs15App* a) : app(a) { app->BeginCreation(); }
    SCRESULT Fail(SCRESULT r) {
        if (rec && list && list->HoldsHandle(rec)) list->RemoveValueObject(rec);
        app->DropMadeLists(false);
        return r;
    }
};

SCRESULT SCPkcs15App::CreateDataObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    uint32_t objFlags = 0;
    SCRESULT r = ObjectFlags(attrs, 2, false, &objFlags);
    if (r < 0) return r;
    Creation c(this);
    r = GetListForCreation(0xA7, flags, &c.list);
    if (r < 0) return c.Fail(r);
    auto* dodf = dynamic_cast<SCPkcs15DataObjectList*>(c.list);
    if (!dodf) return c.Fail(SC_E_PKCS15_UNSUPPORTED_OBJECT);
    r = dodf->CreateRecord(nullptr, &c.rec);
    if (r >= 0) r = dodf->SetValueFileParameters(c.rec, 3, ValueTemplate((objFlags & 1) != 0), m_headers);
    if (r >= 0) r = SetFlagsAttribute(dodf, c.rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0 && (objFlags & 1)) r = SetRecordGuard(dodf, c.rec);
    static const uint64_t kSkip[] = {1, 3, 4};
    if (r >= 0) r = ApplyAttributes(dodf, c.rec, attrs, nullptr, 0, kSkip, 3, false);
    if (r >= 0 && !Find(attrs, p15attr::kDataApplication) && !Find(attrs, p15attr::kDataObjectId)) {
        SCPkcs15ObjectAttribute name(p15attr::kDataApplication);
        r = name.SetString(p15attr::kDataApplication, "") ? dodf->SetAttribute(c.rec, &name) : SC_E_NO_MEMORY;
    }
    if (r < 0) return c.Fail(r);
    if (!(flags & CREATE_RECORD_ONLY)) {
        r = CheckRoom(dodf, c.rec);
        if (r >= 0) r = dodf->CommitObject(c.rec);
        if (r < 0) return c.Fail(r);
        r = CommitMadeLists();
        if (r < 0) {
            // The ODF does not name the new directory: the object goes again with it.
            (void)dodf->DeleteObject(c.rec);
            c.rec = nullptr;
            DropMadeLists(true);
            return r;
        }
    }
    if (out) *out = c.rec;
    return 0;
}

SCRESULT SCPkcs15App::CreateCertificateObject(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    uint32_t objFlags = 0;
    SCRESULT r = ObjectFlags(attrs, 2, false, &objFlags);
    if (r < 0) return r;
    Creation c(this);
    r = GetListForCreation(0xA4, flags, &c.list);
    if (r < 0) return c.Fail(r);
    auto* cdf = dynamic_cast<SCPkcs15CertificateList*>(c.list);
    if (!cdf) return c.Fail(SC_E_PKCS15_UNSUPPORTED_OBJECT);
    r = cdf->CreateRecord(&attrs, &c.rec);
    if (r >= 0) r = cdf->SetValueFileParameters(c.rec, 3, ValueTemplate((objFlags & 1) != 0), m_headers);
    if (r >= 0) r = SetFlagsAttribute(cdf, c.rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0 && (objFlags & 1)) r = SetRecordGuard(cdf, c.rec);
    static const uint64_t kSkip[] = {1, 3, 4};
    if (r >= 0) r = ApplyAttributes(cdf, c.rec, attrs, nullptr, 0, kSkip, 3, true);
    if (r < 0) return c.Fail(r);
    if (!(flags & CREATE_RECORD_ONLY)) {
        r = CheckRoom(cdf, c.rec);
        if (r >= 0) r = cdf->CommitObject(c.rec);
        if (r < 0) return c.Fail(r);
        r = CommitMadeLists();
        if (r < 0) {
            (void)cdf->DeleteObject(c.rec);
            c.rec = nullptr;
            DropMadeLists(true);
            return r;
        }
    }
    if (out) *out = c.rec;
    return 0;
}

SCRESULT SCPkcs15App::CreateCertificate(const SCPath& valuePath, const SCPkcs15ObjectAttributeList& attrs, void** out,
                                        uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!IsWritable()) return SC_E_WRITE_PROTECTED;
    if (valuePath.Count() == 0) return SC_E_BAD_PARAMS;
    uint32_t objFlags = 0;
    SCRESULT r = ObjectFlags(attrs, 2, false, &objFlags);
    if (r < 0) return r;
    Creation c(this);
    r = GetListForCreation(0xA4, flags, &c.list);
    if (r < 0) return c.Fail(r);
    auto* cdf = dynamic_cast<SCPkcs15CertificateList*>(c.list);
    if (!cdf) return c.Fail(SC_E_PKCS15_UNSUPPORTED_OBJECT);
    r = cdf->CreateRecord(&attrs, &c.rec);
    // The file is there: it is named, neither read nor written.
    if (r >= 0) r = cdf->SetValuePath(c.rec, valuePath);
    if (r >= 0) r = SetFlagsAttribute(cdf, c.rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0 && (objFlags & 1) && !Find(attrs, p15attr::kAuthId)) r = SetRecordGuard(cdf, c.rec);
    static const uint64_t kSkip[] = {1, 3};
    if (r >= 0) r = ApplyAttributes(cdf, c.rec, attrs, nullptr, 0, kSkip, 2, true);
    if (r < 0) return c.Fail(r);
    cdf->SetDirty(true);
    if (!(flags & CREATE_RECORD_ONLY)) {
        r = CheckRoom(cdf, c.rec);
        if (r >= 0) r = cdf->CommitObject(c.rec);
        if (r < 0) return c.Fail(r);
        r = CommitMadeLists();
        if (r < 0) {
            // The certificate file is not this call's: only the record and its directory go.
            (void)cdf->DeleteObject(c.rec, false);
            c.rec = nullptr;
            DropMadeLists(true);
            return r;
        }
    }
    if (out) *out = c.rec;
    return 0;
}

// ---- key records ----

SCRESULT SCPkcs15App::CreatePrivateKeyRecord(const SCPkcs15ObjectAttributeList& attrs, void** recOut,
                                             SCPkcs15PathObjectInfo** objOut, uint32_t accessFlags, bool native,
                                             uint32_t flags) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard", nullptr);
    if (recOut) *recOut = nullptr;
    if (objOut) *objOut = nullptr;
    uint32_t kind = 0, usage = 0;
    SCCardInfo ci;
    SCRESULT r = NewKeyKindAndUsage(this, m_pCard, attrs, P15_KIND_PRIVATE_KEY, &kind, &ci, &usage);
    if (r < 0) return r;
    uint32_t objFlags = 0;
    r = ObjectFlags(attrs, 3, true, &objFlags);
    if (r < 0) return r;
    uint32_t consent = 0;
    if (const SCPkcs15ObjectAttribute* uc = Find(attrs, p15attr::kUserConsent))
        if (!uc->GetInteger(&consent)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    // A user-consent key names the PIN that guards its use.
    // The key's use is guarded by the user PIN unless the template binds a PIN of its own.
    SCFileHeaderList refs = m_headers;
    refs.SetRef(SC_REFIDX_KEY_PIN, SC_REF_UNUSED);
    uint32_t tmpl = ValueTemplate(true);
    const SCPkcs15ObjectAttribute* boundId = nullptr;
    if (consent == 0) {
        if (!HasSoPin() && ci.cardFamily == SC_CARD_TYPE_CLASSIC) tmpl |= 0x40000;
    } else if ((boundId = Find(attrs, p15attr::kAuthId)) != nullptr) {
        if (boundId->GetLength() == 0) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        SCPkcs15ObjectAttributeList byId;
        if (!byId.AddBinary(p15attr::kAuthObjectId, boundId->GetValue(), boundId->GetLength())) return SC_E_NO_MEMORY;
        void* pin = nullptr;
        r = FindFirstObject(0xA8, &byId, &pin);
        if (r == SC_E_NO_MEMORY) return r;
        const uint8_t ref = (r >= 0 && pin) ? GetPinReference(PinFor(pin)) : 0xFF;
        if (r < 0 || !pin || ref == 0xFF || ref == 0) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        refs.SetRef(SC_REFIDX_KEY_PIN, ref);
        if (ci.cardFamily != SC_CARD_TYPE_COSMOPOLIC) {
            tmpl |= 0x08000000;
            tmpl &= ~0x40u;
        }
    }
    SCPkcs15ObjectList* list = nullptr;
    r = GetListForCreation(0xA0, flags, &list);
    if (r < 0) return r;
    auto* prk = dynamic_cast<SCPkcs15PrivateKeyList*>(list);
    if (!prk) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
    ASNPkcs15PrivateKeyType* made = nullptr;
    r = prk->CreateKindRecord(kind, &made);
    if (r < 0) return r;
    void* rec = prk->HandleOf(made);
    ASNPkcs15CommonKeyAttributes* ka = made->getCommonKeyAttributes();
    // Whether the card keeps the key decides how its file and reference are chosen.
    if (!SetKeyBasics(*ka, native, accessFlags, usage)) r = SC_E_NO_MEMORY;
    if (r >= 0) r = prk->SetKeyFileParameters(rec, 3, tmpl, refs);
    if (r >= 0) r = SetFlagsAttribute(prk, rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0 && consent != 0) r = SetIntegerAttribute(prk, rec, p15attr::kUserConsent, consent);
    if (r >= 0) {
        if (boundId)
            r = SetBinaryAttribute(prk, rec, p15attr::kAuthId, boundId->GetValue(), boundId->GetLength());
        else
            r = SetRecordGuard(prk, rec);
    }
    static const uint64_t kOnly[] = {
        p15attr::kLabel,   p15attr::kKeyId,          p15attr::kKeyReference,         p15attr::kStartDate,
        p15attr::kEndDate, p15attr::kPrivateSubject, p15attr::kPrivateKeyIdentifiers};
    if (r >= 0) r = ApplyAttributes(prk, rec, attrs, kOnly, 7, nullptr, 0, false);
    SCPkcs15PathObjectInfo* obj = nullptr;
    if (r >= 0) r = prk->GetValueObject(rec, &obj, false);
    if (r >= 0 && obj && Find(attrs, p15attr::kKeyReference)) {
        // A reference the template names is the key object's too.
        const int ref = ka->getKeyReference();
        static_cast<SCPkcs15KeyObject*>(obj)->SetKeyReference(
            ref >= 0 && ref < 255 ? static_cast<uint32_t>(ref) : SCPkcs15KeyObject::NO_KEY_REFERENCE);
    }
    if (r < 0) {
        prk->RemoveValueObject(rec);
        return r;
    }
    prk->SetDirty(true);
    if (recOut) *recOut = rec;
    if (objOut) *objOut = obj;
    return 0;
}

SCRESULT SCPkcs15App::CreatePublicKeyRecord(const SCPkcs15ObjectAttributeList& attrs, void** recOut,
                                            SCPkcs15PathObjectInfo** objOut, uint32_t accessFlags, bool native,
                                            uint32_t flags) {
    AssertInvariant(m_pCard != nullptr, kSrc, __LINE__, "m_pCard", nullptr);
    if (recOut) *recOut = nullptr;
    if (objOut) *objOut = nullptr;
    uint32_t kind = 0, usage = 0;
    SCCardInfo ci;
    SCRESULT r = NewKeyKindAndUsage(this, m_pCard, attrs, P15_KIND_PUBLIC_KEY, &kind, &ci, &usage);
    if (r < 0) return r;
    uint32_t objFlags = 0;
    r = ObjectFlags(attrs, 2, false, &objFlags);
    if (r < 0) return r;
    SCPkcs15ObjectList* list = nullptr;
    r = GetListForCreation(0xA1, flags, &list);
    if (r < 0) return r;
    auto* puk = dynamic_cast<SCPkcs15PublicKeyList*>(list);
    if (!puk) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
    ASNPkcs15PublicKeyRecord* made = nullptr;
    r = puk->CreateKindRecord(kind, &made);
    if (r < 0) return r;
    void* rec = puk->HandleOf(made);
    if (!SetKeyBasics(made->classAttributes, native, accessFlags, usage)) r = SC_E_NO_MEMORY;
    if (r >= 0) r = puk->SetValueFileParameters(rec, 3, ValueTemplate((objFlags & 1) != 0), m_headers);
    if (r >= 0) r = SetFlagsAttribute(puk, rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0 && (objFlags & 1)) r = SetRecordGuard(puk, rec);
    static const uint64_t kOnly[] = {
        p15attr::kLabel,   p15attr::kKeyId,         p15attr::kKeyReference,        p15attr::kStartDate,
        p15attr::kEndDate, p15attr::kPublicSubject, p15attr::kRsaPublicModulusBits};
    if (r >= 0) r = ApplyAttributes(puk, rec, attrs, kOnly, 7, nullptr, 0, false);
    SCPkcs15PathObjectInfo* obj = nullptr;
    if (r >= 0) r = puk->GetValueObject(rec, &obj, false);
    if (r < 0) {
        puk->RemoveValueObject(rec);
        return r;
    }
    puk->SetDirty(true);
    if (recOut) *recOut = rec;
    if (objOut) *objOut = obj;
    return 0;
}

SCRESULT SCPkcs15App::WriteKeyDirectory(SCPkcs15ObjectList* list, void* rec, bool* mayHoldRecord) {
    *mayHoldRecord = false;
    SCTransactGuard guard(m_pCard);
    SCRESULT r = list->MergeWithCard(rec);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    SCPkcs15WriteOutcome outcome;
    r = list->WriteDirectoryFile(&outcome);
    *mayHoldRecord = r >= 0 || !outcome.cardUnchanged;
    return r;
}

// ---- private keys ----

SCRESULT SCPkcs15App::CreateRsaPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    bool asFile = (flags & CREATE_RSA_AS_FILE) != 0;
    if (!asFile && !(ci.rsaCaps & SC_RSA_CAP_IMPORT)) {
        if (!(flags & CREATE_RSA_FILE_FALLBACK)) return SC_E_PKCS15_UNSUPPORTED_TYPE;
        asFile = true;
    }
    const SCPkcs15ObjectAttribute* na = Find(attrs, p15attr::kRsaPrivateModulus);
    const SCPkcs15ObjectAttribute* ea = Find(attrs, p15attr::kRsaPrivatePublicExponent);
    if (!na || !ea) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    uint32_t nLen = 0, eLen = 0;
    const uint8_t* n = Magnitude(na, &nLen);
    const uint8_t* e = Magnitude(ea, &eLen);
    if (!n || !e) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    const uint32_t bits = 8 * nLen;
    if (const SCPkcs15ObjectAttribute* mb = Find(attrs, p15attr::kRsaPrivateModulusBits)) {
        uint32_t v = 0;
        if (!mb->GetInteger(&v) || v != bits) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
    }
    const uint8_t* part[6] = {};
    uint32_t partLen[6] = {};
    for (int i = 0; i < 6; ++i)
        part[i] = Magnitude(Find(attrs, p15attr::kRsaPrivateExponent + static_cast<uint64_t>(i)), &partLen[i]);

    Creation c(this);
    SCPkcs15PathObjectInfo* obj = nullptr;
    SCRESULT r = CreatePrivateKeyRecord(attrs, &c.rec, &obj, asFile ? kAfExtractable : kAfImported, !asFile, flags);
    if (r < 0) return c.Fail(r);
    c.list = FindListForHandle(c.rec);
    ASNPkcs15PrivateKeyType* rec = ScPkcs15RecordIn<SCPkcs15PrivateKeyList>(c.list, c.rec);
    if (!rec) return c.Fail(SC_E_PKCS15_INVALID_HANDLE);
    try {
        rec->rsaKeyAttributes().modulusLength.setValue(bits);
    } catch (const std::bad_alloc&) {
        return c.Fail(SC_E_NO_MEMORY);
    }
    if (!(ci.rsaCaps & SC_RSA_CAP_PUB_FROM_PRIVATE)) {
        // The card cannot give the public part back: the record keeps it.
        uint8_t digest[20];
        RSAPublicKey pk(0);
        ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->getCommonPrivateKeyAttributes();
        if (!cpa || !ScPkcs15Sha1OfNumber(n, nLen, digest) || pk.setModulusBytes(n, nLen) != 1 ||
            pk.setPublicExponentBytes(e, eLen) != 1 || !cpa->keyIdentifiers.add(4, digest, 20) ||
            !cpa->keyIdentifiers.addObject(9999, pk))
            return c.Fail(SC_E_NO_MEMORY);
        cpa->wasKeyIdentifiers = 1;
        rec->setCommonPrivateKeyAttributesPresent(1);
    }
    if (flags & CREATE_RECORD_ONLY) {
        if (out) *out = c.rec;
        return 0;
    }
    r = CheckRoom(c.list, c.rec);
    if (r < 0) return c.Fail(r);
    auto* key = static_cast<SCPkcs15PrivateRsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(obj));
    if (asFile) {
        // The whole PKCS#1 key where it can be made whole, else the members given.
        RSAPrivateKey full(0);
        try {
            full.version.setValue(0);
        } catch (const std::bad_alloc&) {
            return c.Fail(SC_E_NO_MEMORY);
        }
        const uint8_t* all[8] = {n, e, part[0], part[1], part[2], part[3], part[4], part[5]};
        const uint32_t allLen[8] = {nLen, eLen, partLen[0], partLen[1], partLen[2], partLen[3], partLen[4], partLen[5]};
        ASNinteger* members[8] = {&full.modulus, &full.publicExponent, &full.privateExponent, &full.prime1,
                                  &full.prime2,  &full.exponent1,      &full.exponent2,       &full.coefficient};
        for (int i = 0; i < 8; ++i)
            if (all[i] && members[i]->setUnsigned(all[i], allLen[i]) != 1) return c.Fail(SC_E_NO_MEMORY);
        if (full.completeCrt() == 1) {
            r = key->value.setFromKey(full) == 1 ? 0 : SC_E_NO_MEMORY;
            key->SetValueState(SCPkcs15RsaKeyObject::VALUE_PKCS1_PRIVATE);
        } else {
            r = key->value.setComponents(n, nLen, e, eLen, part[0], partLen[0], part[1], partLen[1], part[2],
                                         partLen[2], part[3], partLen[3], part[4], partLen[4], part[5], partLen[5])
                    ? 0
                    : SC_E_NO_MEMORY;
            key->SetValueState(SCPkcs15RsaKeyObject::VALUE_PKCS15_OR_PUBLIC);
        }
        full.clear();
        if (r >= 0) r = key->Write(nullptr, 0, nullptr);
    } else {
        r = CreatePassingOverKeysOfTheCard(c.list, c.rec, !Find(attrs, p15attr::kKeyReference), [&]() {
            return key->ImportKey(0, n, nLen, part[0], partLen[0], e, eLen, part[1], partLen[1], part[2], partLen[2],
                                  part[3], partLen[3], part[4], partLen[4], part[5], partLen[5]);
        });
    }
    return FinishKeyCreation(c, key, r >= 0, r, out);
}

SCRESULT SCPkcs15App::CreatePublicKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    bool native = false;
    if (const SCPkcs15ObjectAttribute* nat = Find(attrs, p15attr::kKeyNative)) {
        if (!nat->GetBoolean(&native)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        if (native && !(ci.rsaCaps & SC_RSA_CAP_PUBKEY_OBJECTS)) return SC_E_PKCS15_UNSUPPORTED_TYPE;
    }
    uint32_t kind = 0;
    SCRESULT r = KindOf(attrs, P15_KIND_PUBLIC_KEY, this, &kind);
    if (r < 0) return r;
    if (kind != P15_KIND_RSA_PUBLIC_KEY) return SC_E_PKCS15_UNSUPPORTED_TYPE;
    const SCPkcs15ObjectAttribute* na = Find(attrs, p15attr::kRsaPublicModulus);
    const SCPkcs15ObjectAttribute* ea = Find(attrs, p15attr::kRsaPublicExponent);
    if (!na || !ea) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    uint32_t nLen = 0, eLen = 0;
    const uint8_t* n = Magnitude(na, &nLen);
    const uint8_t* e = Magnitude(ea, &eLen);
    if (!n || !e) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if (const SCPkcs15ObjectAttribute* mb = Find(attrs, p15attr::kRsaPublicModulusBits)) {
        uint32_t v = 0;
        if (!mb->GetInteger(&v) || v != 8 * nLen) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
    }
    Creation c(this);
    SCPkcs15PathObjectInfo* obj = nullptr;
    r = CreatePublicKeyRecord(attrs, &c.rec, &obj, kAfExtractable, native, flags);
    if (r < 0) return c.Fail(r);
    c.list = FindListForHandle(c.rec);
    ASNPkcs15PublicKeyRecord* rec = ScPkcs15RecordIn<SCPkcs15PublicKeyList>(c.list, c.rec);
    if (!rec) return c.Fail(SC_E_PKCS15_INVALID_HANDLE);
    try {
        rec->typeAttributes.modulusLength.setValue(8 * nLen);
    } catch (const std::bad_alloc&) {
        return c.Fail(SC_E_NO_MEMORY);
    }
    if (flags & CREATE_RECORD_ONLY) {
        if (out) *out = c.rec;
        return 0;
    }
    r = CheckRoom(c.list, c.rec);
    if (r < 0) return c.Fail(r);
    auto* key = static_cast<SCPkcs15PublicRsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(obj));
    key->SetValueState(native ? SCPkcs15KeyObject::VALUE_ON_CARD_ONLY : SCPkcs15RsaKeyObject::VALUE_PKCS15_OR_PUBLIC);
    r = key->WritePublicKey(n, nLen, e, eLen);
    if (r == SC_E_UNSUPPORTED_EXPONENT && native) {
        // The card refuses the exponent for its own key objects: the key becomes a file.
        key->SetValueState(SCPkcs15RsaKeyObject::VALUE_PKCS15_OR_PUBLIC);
        rec->classAttributes.wasNative = 1;
        rec->classAttributes.native = false;
        r = key->WritePublicKey(n, nLen, e, eLen);
    }
    return FinishKeyCreation(c, key, r >= 0, r, out);
}

// ---- DSA and EC private keys ----

namespace {

// The private value of a DSA or EC template as an INTEGER: DER when the attribute holds
// DER, else its octets.
SCRESULT PrivateValueOf(const SCPkcs15ObjectAttribute* a, ASNinteger* x) {
    if (!a || !a->GetValue() || a->GetLength() == 0) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if (a->GetStoreType() == SCPkcs15ObjectAttribute::asnder) {
        ASNinteger v(0x02);
        if (ScPkcs15FromDer(v, a)) {
            *x = v;
            return 0;
        }
        // An OCTET STRING holding the value is taken as well.
        ASNoctstr o(0x04);
        if (!ScPkcs15FromDer(o, a)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        return x->setUnsigned(o.getData(), o.getLength()) == 1 ? 0 : SC_E_NO_MEMORY;
    }
    return x->setUnsigned(a->GetValue(), static_cast<long>(a->GetLength())) == 1 ? 0 : SC_E_NO_MEMORY;
}

}  // namespace

SCRESULT SCPkcs15App::CreateDsaPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    const SCPkcs15ObjectAttribute* xa = Find(attrs, p15attr::kPrivateValue);
    if (!xa) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    ASNinteger x(0x02);
    SCRESULT r = PrivateValueOf(xa, &x);
    if (r < 0) return r;
    DSAParameters params(0x30);
    if (const SCPkcs15ObjectAttribute* pa = Find(attrs, p15attr::kPrivateEcParams)) {
        if (!ScPkcs15FromDer(params, pa)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    } else {
        ASNinteger* members[3] = {&params.p, &params.q, &params.g};
        for (int i = 0; i < 3; ++i) {
            const SCPkcs15ObjectAttribute* m = Find(attrs, p15attr::kDsaPrivatePrime + static_cast<uint64_t>(i));
            if (!m) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
            uint32_t len = 0;
            const uint8_t* d = Magnitude(m, &len);
            if (!d) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            if (members[i]->setUnsigned(d, len) != 1) return SC_E_NO_MEMORY;
        }
    }
    // The public value y = g^x mod p names the key.
    ASNinteger y(0x02);
    if (!params.computePublicValue(x, y)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    uint32_t yLen = static_cast<uint32_t>(y.getLength());
    AssertInvariant(yLen > 0 ? 1 : 0, kSrc, __LINE__, "yBytes > 0", nullptr);
    X942DomainParameters x942(0x30);
    if (x942.setFromDsaParameters(params, false) != 1) return SC_E_NO_MEMORY;

    Creation c(this);
    SCPkcs15PathObjectInfo* obj = nullptr;
    r = CreatePrivateKeyRecord(attrs, &c.rec, &obj, kAfExtractable, false, flags);
    if (r < 0) return c.Fail(r);
    c.list = FindListForHandle(c.rec);
    ASNPkcs15PrivateKeyType* rec = ScPkcs15RecordIn<SCPkcs15PrivateKeyList>(c.list, c.rec);
    if (!rec) return c.Fail(SC_E_PKCS15_INVALID_HANDLE);
    ASNPkcs15PrivateDSAKeyAttributes& da = rec->dsaKeyAttributes();
    da.keyInfo.chooseByIndex(ASNPkcs15KeyInfo<ASNPkcs15X942Parameters>::kParamsAndOps);
    da.keyInfo.paramsAndOps.parameters = x942;
    da.wasKeyInfo = 1;
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->getCommonPrivateKeyAttributes();
    uint8_t digest[20];
    const uint8_t* yv = y.getData() + (y.getValueLength() - yLen);
    if (!cpa || !ScPkcs15Sha1OfNumber(yv, yLen, digest) || !cpa->keyIdentifiers.add(4, digest, 20))
        return c.Fail(SC_E_NO_MEMORY);
    cpa->wasKeyIdentifiers = 1;
    rec->setCommonPrivateKeyAttributesPresent(1);
    if (flags & CREATE_RECORD_ONLY) {
        if (out) *out = c.rec;
        return 0;
    }
    r = CheckRoom(c.list, c.rec);
    if (r < 0) return c.Fail(r);
    auto* key = static_cast<SCPkcs15PrivateDsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(obj));
    r = key->SetKeyValue(&x) == 1 ? 0 : SC_E_NO_MEMORY;
    if (r >= 0) r = key->Write(nullptr, 0, nullptr);
    return FinishKeyCreation(c, key, r >= 0, r, out);
}

SCRESULT SCPkcs15App::CreateEcPrivateKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    const SCPkcs15ObjectAttribute* xa = Find(attrs, p15attr::kPrivateValue);
    const SCPkcs15ObjectAttribute* pa = Find(attrs, p15attr::kPrivateEcParams);
    if (!xa || !pa) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    ASNinteger x(0x02);
    SCRESULT r = PrivateValueOf(xa, &x);
    if (r < 0) return r;
    ECDomainParameters domain(0x30);
    if (!ScPkcs15FromDer(domain, pa)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    uint32_t xLen = static_cast<uint32_t>(x.getLength());
    const uint8_t* xv = x.getData() + (x.getValueLength() - xLen);
    // The public point from the private value on the curve names the key.
    ECPrivateKey priv(0x30);
    ASNoctstr point(0x04);
    if (priv.setPrivateKey(xv, xLen, &domain) != 1 || priv.getPublicKeyOctets(point, &domain) != 1)
        return SC_E_PKCS15_INVALID_ATTR_VALUE;
    const long pointLen = point.getLength();
    AssertInvariant(pointLen > 1 && (pointLen & 1) == 1 ? 1 : 0, kSrc, __LINE__, "yBytes > 1 && (yBytes & 1) == 0",
                    nullptr);
    Creation c(this);
    SCPkcs15PathObjectInfo* obj = nullptr;
    r = CreatePrivateKeyRecord(attrs, &c.rec, &obj, kAfExtractable, false, flags);
    if (r < 0) return c.Fail(r);
    c.list = FindListForHandle(c.rec);
    ASNPkcs15PrivateKeyType* rec = ScPkcs15RecordIn<SCPkcs15PrivateKeyList>(c.list, c.rec);
    if (!rec) return c.Fail(SC_E_PKCS15_INVALID_HANDLE);
    ASNPkcs15PrivateECKeyAttributes& ea = rec->ecKeyAttributes();
    ea.keyInfo.chooseByIndex(ASNPkcs15KeyInfo<ASNPkcs15ECParameters>::kParamsAndOps);
    ea.keyInfo.paramsAndOps.parameters = domain;
    ea.wasKeyInfo = 1;
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->getCommonPrivateKeyAttributes();
    uint8_t digest[20];
    // The key identifier is the hash of the point's x coordinate.
    const uint32_t coord = static_cast<uint32_t>((pointLen - 1) / 2);
    if (!cpa || !ScPkcs15Sha1(point.getData() + 1, coord, digest) || !cpa->keyIdentifiers.add(4, digest, 20))
        return c.Fail(SC_E_NO_MEMORY);
    cpa->wasKeyIdentifiers = 1;
    rec->setCommonPrivateKeyAttributesPresent(1);
    if (flags & CREATE_RECORD_ONLY) {
        if (out) *out = c.rec;
        return 0;
    }
    r = CheckRoom(c.list, c.rec);
    if (r < 0) return c.Fail(r);
    auto* key = static_cast<SCPkcs15PrivateDsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(obj));
    r = key->SetKeyValue(&x) == 1 ? 0 : SC_E_NO_MEMORY;
    if (r >= 0) r = key->Write(nullptr, 0, nullptr);
    return FinishKeyCreation(c, key, r >= 0, r, out);
}

SCRESULT SCPkcs15App::FinishKeyCreation(Creation& c, SCPkcs15PathObjectInfo* key, bool keyWritten, SCRESULT r,
                                        void** out) {
    bool dirWritten = false, named = false;
    if (r >= 0) r = WriteKeyDirectory(c.list, c.rec, &named);
    if (r >= 0) {
        dirWritten = true;
        r = CommitMadeLists();
    }
    if (r >= 0) {
        if (out) *out = c.rec;
        return 0;
    }
    // A directory this call wrote goes back as it was; the key this call wrote goes
    // again, unless a directory on the card may still name it.
    if (dirWritten) named = !IsMadeList(c.list) && c.list->UndoLastWrite() < 0;
    if (keyWritten && key && !named) (void)key->DeleteMade();
    c.list->RemoveValueObject(c.rec);
    c.rec = nullptr;
    DropMadeLists(dirWritten);
    return r;
}

// ---- secret keys ----

SCRESULT SCPkcs15App::CreateSecretKey(const SCPkcs15ObjectAttributeList& attrs, void** out, uint32_t flags) {
    if (out) *out = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    uint32_t kind = 0;
    SCRESULT r = KindOf(attrs, P15_KIND_SECRET_KEY, this, &kind);
    if (r < 0) return r;
    uint32_t objFlags = 0;
    r = ObjectFlags(attrs, 3, true, &objFlags);
    if (r < 0) return r;
    Creation c(this);
    r = GetListForCreation(0xA3, flags, &c.list);
    if (r < 0) return c.Fail(r);
    auto* skdf = dynamic_cast<SCPkcs15SecretKeyList*>(c.list);
    if (!skdf) return c.Fail(SC_E_PKCS15_UNSUPPORTED_OBJECT);
    ASNPkcs15SecretKeyType* made = nullptr;
    r = skdf->CreateKindRecord(kind, &made);
    void* rec = skdf->HandleOf(made);
    c.rec = rec;
    if (r >= 0) r = skdf->SetValueFileParameters(rec, 3, ValueTemplate(true), m_headers);
    if (r >= 0) r = SetFlagsAttribute(skdf, rec, p15attr::kObjectFlags, objFlags);
    if (r >= 0) r = SetRecordGuard(skdf, rec);
    if (r >= 0) {
        // A secret key is the card's own unless the template says otherwise.
        SCPkcs15ObjectAttribute af(p15attr::kKeyAccess);
        r = af.SetFlags(p15attr::kKeyAccess, kAfImported, 0xFFFFFFFFu) ? skdf->SetAttribute(rec, &af) : SC_E_NO_MEMORY;
    }
    static const uint64_t kSkip[] = {1, 3, 4};
    if (r >= 0) r = ApplyAttributes(skdf, rec, attrs, nullptr, 0, kSkip, 3, false);
    if (r >= 0 && !Find(attrs, p15attr::kSecretValueLength) && !Find(attrs, p15attr::kAnyValueLength)) {
        // The key length follows the value.
        const SCPkcs15ObjectAttribute* v = Find(attrs, p15attr::kSecretValue);
        if (!v) v = Find(attrs, p15attr::kAnyValue);
        if (v && v->GetLength()) r = SetIntegerAttribute(skdf, rec, p15attr::kSecretValueLength, 8 * v->GetLength());
    }
    if (r < 0) return c.Fail(r);
    if (!(flags & CREATE_RECORD_ONLY)) {
        r = CheckRoom(skdf, rec);
        if (r >= 0) r = skdf->CommitObject(rec);
        if (r < 0) return c.Fail(r);
        r = CommitMadeLists();
        if (r < 0) {
            (void)skdf->DeleteObject(rec);
            c.rec = nullptr;
            DropMadeLists(true);
            return r;
        }
    }
    if (out) *out = rec;
    return 0;
}

// ---- key pairs generated on the card ----

SCRESULT SCPkcs15App::GenerateKeyPair(const SCPkcs15ObjectAttributeList& privateAttrs,
                                      const SCPkcs15ObjectAttributeList* publicAttrs, void** privateOut,
                                      void** publicOut, uint32_t flags) {
    if (privateOut) *privateOut = nullptr;
    if (publicOut) *publicOut = nullptr;
    if (!m_pCard) return SC_E_BAD_USAGE;
    if (!IsWritable()) return SC_E_WRITE_PROTECTED;
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    m_pCard->GetCardInfo(&ci);
    if (!(ci.rsaCaps & SC_RSA_CAP_GENERATE)) return SC_E_UNSUPPORTED_FEATURE;
    const SCPkcs15ObjectAttribute* bitsAttr = Find(privateAttrs, p15attr::kRsaPrivateModulusBits);
    if (!bitsAttr && publicAttrs) bitsAttr = Find(*publicAttrs, p15attr::kRsaPublicModulusBits);
    if (!bitsAttr) return SC_E_PKCS15_TEMPLATE_INCOMPLETE;
    uint32_t bits = 0;
    if (!bitsAttr->GetInteger(&bits) || bits < ci.rsaMinBits || bits > ci.rsaMaxBits)
        return SC_E_PKCS15_INVALID_ATTR_VALUE;
    if ((flags & CREATE_PUBLIC_IF_KEPT) && !(ci.rsaCaps & SC_RSA_CAP_NEED_PUB)) publicAttrs = nullptr;
    uint32_t kind = 0;
    SCRESULT r = KindOf(privateAttrs, P15_KIND_PRIVATE_KEY, this, &kind);
    if (r < 0) return r;
    if (kind != P15_KIND_RSA_PRIVATE_KEY) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
    bool nativePublic = false;
    if (publicAttrs) {
        if (GetDefaultKeyKind(P15_KIND_PUBLIC_KEY) != P15_KIND_RSA_PUBLIC_KEY) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
        if (const SCPkcs15ObjectAttribute* pk = Find(*publicAttrs, 1)) {
            uint32_t v = 0;
            if (!pk->GetInteger(&v)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            if ((v & 0xFF00FF00u) != P15_KIND_RSA_KEY) return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
        }
        if (const SCPkcs15ObjectAttribute* nat = Find(*publicAttrs, p15attr::kKeyNative)) {
            if (!nat->GetBoolean(&nativePublic)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
            if (nativePublic && (ci.rsaCaps & (SC_RSA_CAP_NEED_PUB | SC_RSA_CAP_PUBKEY_OBJECTS)) !=
                                    (SC_RSA_CAP_NEED_PUB | SC_RSA_CAP_PUBKEY_OBJECTS))
                return SC_E_PKCS15_TEMPLATE_INCONSISTENT;
        }
    }
    SCTransactGuard guard(m_pCard);
    r = FinishCutGrowths();
    if (r < 0) return r;
    r = RefreshKeyLists();
    if (r < 0) return r;
    BeginCreation();
    void* prvRec = nullptr;
    void* pubRec = nullptr;
    ASNPkcs15PrivateKeyType* prvRecord = nullptr;
    SCPkcs15PathObjectInfo* prvObj = nullptr;
    SCPkcs15PathObjectInfo* pubObj = nullptr;
    SCPkcs15ObjectList* prk = nullptr;
    SCPkcs15ObjectList* puk = nullptr;
    // Records made here go again on a failure; nothing of the card is touched before the generation.
    auto dropRecords = [&]() {
        if (prvRec && prk && prk->HoldsHandle(prvRec)) prk->RemoveValueObject(prvRec);
        if (pubRec && puk && puk->HoldsHandle(pubRec)) puk->RemoveValueObject(pubRec);
    };
    r = CreatePrivateKeyRecord(privateAttrs, &prvRec, &prvObj, kAfGenerated, true, flags);
    if (r >= 0) {
        prk = FindListForHandle(prvRec);
        prvRecord = ScPkcs15RecordIn<SCPkcs15PrivateKeyList>(prk, prvRec);
        try {
            if (prvRecord)
                prvRecord->rsaKeyAttributes().modulusLength.setValue(bits);
            else
                r = SC_E_PKCS15_INVALID_HANDLE;
        } catch (const std::bad_alloc&) {
            r = SC_E_NO_MEMORY;
        }
        if (prk) prk->SetDirty(true);
    }
    if (r >= 0 && publicAttrs) {
        r = CreatePublicKeyRecord(*publicAttrs, &pubRec, &pubObj, kAfGeneratedPublic, nativePublic, flags);
        if (r >= 0) {
            puk = FindListForHandle(pubRec);
            r = SetIntegerAttribute(puk, pubRec, p15attr::kRsaPublicModulusBits, bits);
        }
    }
    if (r < 0) {
        dropRecords();
        DropMadeLists(false);
        return r;
    }
    if (flags & CREATE_RECORD_ONLY) {
        if (privateOut) *privateOut = prvRec;
        if (publicOut) *publicOut = pubRec;
        return 0;
    }
    // The exponent and the variant of the generation.
    const SCPkcs15ObjectAttribute* expAttr = Find(privateAttrs, p15attr::kRsaPrivatePublicExponent);
    if (!expAttr && publicAttrs) expAttr = Find(*publicAttrs, p15attr::kRsaPublicExponent);
    uint32_t expLen = 0;
    const uint8_t* exp = Magnitude(expAttr, &expLen);
    const uint32_t usage = prvRecord->getCommonKeyAttributes()->usage.getFlags();
    const bool sign = usage == 0 || (usage & 4) != 0, decrypt = usage == 0 || (usage & 2) != 0;
    uint32_t variant = sign && decrypt ? 0 : sign ? 1 : decrypt ? 2 : 3;
    if (ci.cardFamily == SC_CARD_TYPE_SETCOS441 && bits < 768) variant = 0;
    uint32_t consent = 0;
    if (const SCPkcs15ObjectAttribute* uc = Find(privateAttrs, 5)) (void)uc->GetInteger(&consent);
    if (consent != 0) variant |= 0x200;
    auto* prvKey = static_cast<SCPkcs15RsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(prvObj));
    auto* pubKey = pubObj ? static_cast<SCPkcs15RsaKeyObject*>(static_cast<SCPkcs15KeyObject*>(pubObj)) : nullptr;
    // Where the card cannot give the public part back later, the private key's record keeps it.
    const auto keepPublicPart = [&](const RSAPublicKey& pk) -> SCRESULT {
        const uint32_t nLen = SCPkcs15RsaKeyObject::SignificantLength(pk.modulus);
        const uint8_t* nv = pk.modulus.getData() + (pk.modulus.getValueLength() - nLen);
        uint8_t digest[20];
        ASNPkcs15CommonPrivateKeyAttributes* cpa = prvRecord->getCommonPrivateKeyAttributes();
        if (!cpa || !ScPkcs15Sha1OfNumber(nv, nLen, digest)) return SC_E_NO_MEMORY;
        if (!cpa->wasKeyIdentifiers) cpa->keyIdentifiers.clear();
        cpa->keyIdentifiers.remove(4);
        cpa->keyIdentifiers.remove(9999);
        cpa->wasKeyIdentifiers = 1;
        prvRecord->setCommonPrivateKeyAttributesPresent(1);
        return cpa->keyIdentifiers.add(4, digest, 20) && cpa->keyIdentifiers.addObject(9999, pk) ? 0 : SC_E_NO_MEMORY;
    };
    if (!(ci.rsaCaps & SC_RSA_CAP_PUB_FROM_PRIVATE)) {
        // A stand-in of the key's size until the card made it: the room is judged for the record as written.
        static const uint8_t kF4[] = {1, 0, 1};
        const std::vector<uint8_t> n((bits + 7) / 8, 0xFF);
        RSAPublicKey standIn(0);
        r = standIn.setModulusBytes(n.data(), static_cast<long>(n.size())) == 1 &&
                    standIn.setPublicExponentBytes(exp ? exp : kF4, exp ? expLen : 3) == 1
                ? keepPublicPart(standIn)
                : SC_E_NO_MEMORY;
    }
    // Every directory the pair goes to takes its record, found out before the card makes anything.
    if (r >= 0) r = CheckRoom(puk, pubRec);
    if (r >= 0) r = CheckRoom(prk, prvRec);
    if (r < 0) {
        dropRecords();
        DropMadeLists(false);
        return r;
    }
    r = CreatePassingOverKeysOfTheCard(prk, prvRec, !Find(privateAttrs, p15attr::kKeyReference), [&]() {
        return SCPkcs15RsaKeyObject::GenerateKeyPair(prvKey, pubKey, bits, exp, expLen, variant);
    });
    if (r < 0) {
        // The generation took back what it made on the card.
        dropRecords();
        DropMadeLists(false);
        return r;
    }
    bool prkWritten = false, pukWritten = false;
    if (!(ci.rsaCaps & SC_RSA_CAP_PUB_FROM_PRIVATE)) {
        auto* prvRsa = static_cast<SCPkcs15PrivateRsaKeyObject*>(prvKey);
        RSAPublicKey pk(0);
        if (auto* pubRsa = dynamic_cast<SCPkcs15PublicRsaKeyObject*>(pubKey)) {
            pk = pubRsa->value;
        } else {
            pk.setModulus(prvRsa->value.modulus);
            pk.setPublicExponent(prvRsa->value.publicExponent);
        }
        r = keepPublicPart(pk);
    }
    if (r >= 0) {
        r = prk->MergeWithCard(prvRec);
        if ((r >= 0 || r == SC_E_FILE_NOT_FOUND) && puk) r = puk->MergeWithCard(pubRec);
        if (r == SC_E_FILE_NOT_FOUND) r = 0;
        // A merge that dropped a record of this call makes the directories disagree with the card.
        if (r >= 0 && (!prk->HoldsHandle(prvRec) || (puk && !puk->HoldsHandle(pubRec)))) r = SC_E_INCONSISTENT_DATA;
    }
    // The public key's record goes first and the private key's record last: a
    // card that fails between the two keeps a public key without its private key
    // (harmless), never a private key that no public key checks. A directory
    // write that failed may still have reached the card (a pull).
    bool prvNamed = false, pubNamed = false;
    if (r >= 0 && puk) {
        SCPkcs15WriteOutcome outcome;
        r = puk->WriteDirectoryFile(&outcome);
        pukWritten = r >= 0;
        pubNamed = r < 0 && !outcome.cardUnchanged;
    }
    if (r >= 0) {
        SCPkcs15WriteOutcome outcome;
        r = prk->WriteDirectoryFile(&outcome);
        prkWritten = r >= 0;
        prvNamed = r < 0 && !outcome.cardUnchanged;
    }
    if (r >= 0) r = CommitMadeLists();
    if (r >= 0) {
        if (privateOut) *privateOut = prvRec;
        if (publicOut) *publicOut = pubRec;
        return 0;
    }
    // Every directory already written is written again without the new records,
    // the private key's first; the public key's record goes only once no private
    // key's record may stand without it. Then the generated keys go from the
    // card, unless a directory may still name them.
    std::unique_ptr<SCPkcs15PathObjectInfo> prvHeld(prk->TakeValueObject(prvRec));
    std::unique_ptr<SCPkcs15PathObjectInfo> pubHeld(puk && pubRec ? puk->TakeValueObject(pubRec) : nullptr);
    dropRecords();
    SCRESULT result = r;
    if (prkWritten && !IsMadeList(prk) && prk->UndoLastWrite() < 0) prvNamed = true;
    if (puk && !IsMadeList(puk) && pukWritten) {
        if (prvNamed || puk->UndoLastWrite() < 0) pubNamed = true;
    }
    // A key that no directory may name goes, whatever stays of the other.
    if (!prvNamed && prvHeld) (void)prvHeld->DeleteMade();
    if (!pubNamed && pubHeld) (void)pubHeld->DeleteMade();
    DropMadeLists(true);
    return result;
}
