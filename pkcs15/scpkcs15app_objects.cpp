// The application's handle interface: searching objects, reading and writing
// their attributes, destroying them, private-key operations, key references
// and paths in use.
#include <cstring>
#include <new>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15dataobjectlist.h"
#include "pkcs15/scpkcs15keyobject.h"
#include "pkcs15/scpkcs15prvkeylist.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

// List bits in the order of the data model.
enum : uint32_t {
    B_PRKDF = 1u << 0,
    B_PUKDF = 1u << 1,
    B_TRUSTED_PUKDF = 1u << 2,
    B_CDF = 1u << 3,
    B_TRUSTED_CDF = 1u << 4,
    B_USEFUL_CDF = 1u << 5,
    B_DODF = 1u << 6,
    B_AODF = 1u << 7,
    B_SKDF = 1u << 8,
};

// Key access flags whose protection only grows.
constexpr uint32_t kAccessSensitive = 0x1;
constexpr uint32_t kAccessExtractable = 0x2;

// A change of a key's access flags may make it sensitive or not extractable,
// never the other way: against the flags the card holds now, a sensitive key
// stays sensitive and a key not extractable stays so. A key whose flags the
// card does not tell takes neither loosening.
SCRESULT CheckKeyAccessChange(SCPkcs15ObjectList* f, void* handle, const SCPkcs15ObjectAttribute* change) {
    if (change->GetType() != p15attr::kKeyAccess) return 0;
    uint32_t value = 0, mask = 0;
    if (!change->GetFlags(&value, &mask)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    SCPkcs15ObjectAttribute held(p15attr::kKeyAccess);
    const SCRESULT r = f->GetAttribute(handle, &held);
    if (r == SC_E_NO_MEMORY) return r;
    uint32_t now = 0, known = 0;
    if (r < 0 || !held.GetFlags(&now, &known)) known = 0;
    const bool unsensitive = (mask & kAccessSensitive) && !(value & kAccessSensitive);
    const bool extractable = (mask & kAccessExtractable) && (value & kAccessExtractable);
    if (unsensitive && !((known & kAccessSensitive) && !(now & kAccessSensitive))) return SC_E_PKCS15_OBJECT_READ_ONLY;
    if (extractable && !((known & kAccessExtractable) && (now & kAccessExtractable))) return SC_E_PKCS15_OBJECT_READ_ONLY;
    return 0;
}

}  // namespace

int SCPkcs15App::ListsForKind(uint32_t kind) {
    switch (kind & P15_CLASS_MASK) {
        case P15_KIND_ANY:
            return B_PRKDF | B_PUKDF | B_TRUSTED_PUKDF | B_CDF | B_TRUSTED_CDF | B_USEFUL_CDF | B_DODF | B_SKDF;
        case P15_KIND_KEY: return B_PRKDF | B_PUKDF | B_TRUSTED_PUKDF | B_SKDF;
        case P15_KIND_CERTIFICATE: return B_CDF | B_TRUSTED_CDF | B_USEFUL_CDF;
        case P15_KIND_DATA: return B_DODF;
        case P15_KIND_AUTH: return B_AODF;
        case P15_KIND_PRIVATE_KEY: return B_PRKDF;
        case P15_KIND_PUBLIC_KEY: return B_PUKDF | B_TRUSTED_PUKDF;
        case P15_KIND_SECRET_KEY: return B_SKDF;
        default: return -1;
    }
}

SCRESULT SCPkcs15App::FindAllInList(const DirList& list, std::vector<void*>* out,
                                    const SCPkcs15ObjectAttributeList* tmpl, uint32_t flag) {
    SCRESULT total = 0;
    for (POSITION p = list.GetHeadPosition(); p;) {
        SCPkcs15ObjectList* f = list.GetNext(p);
        AssertInvariant(f != nullptr, __FILE__, __LINE__, "pi != NULL", nullptr);
        void* prev = nullptr;
        for (;;) {
            uint32_t found = 0;
            void* h = prev;
            SCRESULT r = f->FindObjects(tmpl, &found, &h, flag != 0);
            if (r < 0) return r;
            // The file continues after the handle it was given; no progress ends the search.
            if (found == 0 || h == nullptr || h == prev) break;
            try {
                if (out) out->push_back(h);
            } catch (...) {
                return SC_E_NO_MEMORY;
            }
            ++total;
            prev = h;
        }
    }
    return total;
}

SCRESULT SCPkcs15App::FindObjects(const SCPkcs15ObjectAttributeList* tmpl, std::vector<void*>* out, uint32_t flag) {
    uint32_t kind = 0;
    const SCPkcs15ObjectAttribute* k = tmpl ? tmpl->FindAttribute(p15attr::kKind) : nullptr;
    if (k && !k->GetInteger(&kind)) kind = 0;
    int lists = ListsForKind(kind);
    if (lists < 0) return SC_E_PKCS15_INVALID_ATTR;
    SCRESULT total = 0, pending = 0;
    for (int i = 0; i < L_COUNT; ++i) {
        if (!(lists & (1 << i))) continue;
        SCRESULT r = FindAllInList(m_lists[i], out, tmpl, flag);
        if (r > 0) total += r;
        else if (r == SC_E_NO_MEMORY) return r;
        // The first list that failed decides: a later list's success never hides it.
        else if (r < 0 && pending == 0) pending = r;
    }
    return pending < 0 ? pending : total;
}

SCRESULT SCPkcs15App::FindAllObjects(int odfTag, std::vector<void*>* out, const SCPkcs15ObjectAttributeList* tmpl,
                                     uint32_t flag) {
    DirList* l = GetListForTag(odfTag);
    return l ? FindAllInList(*l, out, tmpl, flag) : SC_E_BAD_PARAMS;
}

SCRESULT SCPkcs15App::FindFirstObject(int odfTag, const SCPkcs15ObjectAttributeList* tmpl, void** handle,
                                      uint32_t flag) {
    if (!handle) return SC_E_BAD_PARAMS;
    *handle = nullptr;
    std::vector<void*> found;
    SCRESULT r = FindAllObjects(odfTag, &found, tmpl, flag);
    if (r < 0) return r;
    if (found.empty()) return SC_E_PKCS15_ATTR_NOT_FOUND;
    *handle = found.front();
    return 0;
}

SCRESULT SCPkcs15App::GetObjectSize(void* handle) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    return f ? f->GetObjectSize(handle) : SC_E_PKCS15_INVALID_HANDLE;
}

SCRESULT SCPkcs15App::GetAttributeValues(void* handle, SCPkcs15ObjectAttributeList* attrs) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attrs) return SC_E_BAD_PARAMS;
    SCRESULT first = 0;
    for (size_t i = 0; i < attrs->GetCount(); ++i) {
        SCPkcs15ObjectAttribute* a = attrs->GetAt(i);
        SCRESULT r = f->GetAttribute(handle, a);
        a->SetResult(r);
        if (r == SC_E_NO_MEMORY) return r;
        if (r != 0 && first == 0) first = r;
    }
    return first;
}

SCRESULT SCPkcs15App::GetAttributeValue(void* handle, SCPkcs15ObjectAttribute* attr) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    if (!attr) return SC_E_BAD_PARAMS;
    SCRESULT r = f->GetAttribute(handle, attr);
    attr->SetResult(r);
    return r;
}

SCRESULT SCPkcs15App::SetAttributeValues(void* handle, const SCPkcs15ObjectAttributeList* attrs) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    if (!IsWritable()) return SC_E_WRITE_PROTECTED;
    if (f->IsReadOnly(handle) > 0) return SC_E_PKCS15_OBJECT_READ_ONLY;
    if (!attrs || attrs->GetCount() == 0) return 0;
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    // The change goes to the record as the card holds it now: another application
    // may have changed it, or removed it (the handle then names nothing).
    SCTransactGuard guard(m_pCard);
    SCRESULT r = FinishCutGrowths();
    if (r < 0) return r;
    r = f->MergeWithCard(nullptr);
    if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    if (!f->HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
    if (f->IsReadOnly(handle) > 0) return SC_E_PKCS15_OBJECT_READ_ONLY;
    // The record as it was, to put back when the change cannot be written.
    r = f->EncodeRecord(handle);
    if (r < 0) return r;
    for (size_t i = 0; i < attrs->GetCount(); ++i) {
        const SCPkcs15ObjectAttribute* a = attrs->GetAt(i);
        SCRESULT s = CheckKeyAccessChange(f, handle, a);
        if (s >= 0) s = f->SetAttribute(handle, a);
        if (s == SC_E_PKCS15_INVALID_ATTR_VALUE) {
            const uint64_t t = a->GetType();
            if (t == p15attr::kPrivateSubject || t == p15attr::kAnySubject || t == p15attr::kCertSubject ||
                t == p15attr::kCertIssuer || t == p15attr::kCertSerialNumber)
                continue;
        }
        if (s < 0) {
            r = s;
            break;
        }
    }
    if (r >= 0) {
        // A data object's value is never written over where a cut could leave part of it.
        auto* dodf = dynamic_cast<SCPkcs15DataObjectList*>(f);
        r = dodf ? dodf->CommitValueChange(handle, 3, ValueTemplate(f->IsPrivate(handle) > 0), m_headers)
                 : f->CommitObject(handle);
        if (r >= 0) return 0;
    }
    if (r == SC_E_NO_MEMORY) return r;
    (void)f->DecodeRecord(handle);
    return r;
}

SCRESULT SCPkcs15App::DestroyObject(void* handle, bool deleteValueFile) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    if (!IsWritable()) return SC_E_WRITE_PROTECTED;
    SCCardWriteGuard writing(m_pCard, &SCPkcs15App::RestoreAfterReset, this);
    SCTransactGuard guard(m_pCard);
    const SCRESULT r = FinishCutGrowths();
    if (r < 0) return r;
    // A value file that is not the object's own (a fixed file of the card) stays.
    return f->DeleteObject(handle, deleteValueFile);
}

SCRESULT SCPkcs15App::FinishCutGrowths() {
    // What the readings of this card session found: a directory the call does not
    // read is not looked at (a write of it takes up its spare first, WriteOnce).
    const auto finish = [](SCPkcs15PathObjectInfo& f) {
        return f.SawWholeSpare() || f.SawDeadSpare() ? f.FinishCutGrowth() : 0;
    };
    SCRESULT r = m_pOwner ? finish(m_pOwner->GetCardDir()) : 0;
    if (r >= 0) r = finish(m_odf);
    if (r >= 0) r = finish(m_tokenInfo);
    for (DirList& l : m_lists)
        for (POSITION p = l.GetHeadPosition(); p && r >= 0;) r = finish(*l.GetNext(p));
    // A growth that cannot be finished fails the call before it writes anything else.
    return r;
}

SCRESULT SCPkcs15App::Sign(void* handle, uint32_t mechanism, uint32_t option, const uint8_t* in, uint32_t inLen,
                           uint8_t* out, uint32_t* outLen) {
    SCRESULT kind = GetObjectKind(handle);
    if (kind < 0) return kind;
    if (kind != P15_KIND_RSA_PRIVATE_KEY) return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    // The option is the hash id of a signature over a bare digest.
    return FindListForHandle(handle)->Sign(handle, mechanism, option, in, inLen, out, outLen);
}

SCRESULT SCPkcs15App::Decrypt(void* handle, uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out,
                              uint32_t* outLen) {
    SCRESULT kind = GetObjectKind(handle);
    if (kind < 0) return kind;
    if (kind != P15_KIND_RSA_PRIVATE_KEY) return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    return FindListForHandle(handle)->Decrypt(handle, mechanism, in, inLen, out, outLen);
}

uint32_t SCPkcs15App::GetDefaultKeyKind(uint32_t keyClass) {
    if (!m_pCard) return 0;
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    if (m_pCard->GetCardInfo(&ci) < 0) return 0;
    switch (keyClass) {
        case P15_KIND_PUBLIC_KEY:
            if (ci.rsaCaps & 0xA9) return P15_KIND_RSA_PUBLIC_KEY;
            if (ci.ecCaps & 0x29) return P15_KIND_EC_PUBLIC_KEY;
            return (ci.dsaCaps & 0x29) == 0 ? P15_KIND_RSA_PUBLIC_KEY : P15_KIND_DSA_PUBLIC_KEY;
        case P15_KIND_PRIVATE_KEY:
            if (ci.rsaCaps & 0x55) return P15_KIND_RSA_PRIVATE_KEY;
            if (ci.ecCaps & 0x15) return P15_KIND_EC_PRIVATE_KEY;
            return (ci.dsaCaps & 0x15) == 0 ? P15_KIND_RSA_PRIVATE_KEY : P15_KIND_DSA_PRIVATE_KEY;
        case P15_KIND_SECRET_KEY:
            return ((ci.symCaps & 0x33) != 0 || ((ci.symCaps >> 8) & 0x33) == 0) ? P15_KIND_DEFAULT_SECRET_KEY
                                                                                 : P15_KIND_OTHER_SECRET_KEY;
        default: return 0;
    }
}

bool SCPkcs15App::PathMatches(SCPkcs15PathObjectInfo* f, const uint16_t* absPath, uint16_t absPathLen) {
    if (!f || f->GetPath().Count() == 0) return false;
    SCPath full;
    if (!f->GetFullPathInto(full)) return false;
    return full.IsEqual(SCPath(absPath, absPathLen));
}

bool SCPkcs15App::IsSparePlace(SCPkcs15PathObjectInfo* f, const uint16_t* absPath, uint16_t absPathLen) {
    SCPath full;
    if (!f || f->GetPath().Count() == 0 || !f->GetFullPathInto(full) || full.Count() != absPathLen ||
        full.Count() < 2)
        return false;
    for (size_t i = 0; i + 1 < full.Count(); ++i)
        if (full[i] != absPath[i]) return false;
    for (int slot = 0; slot < kScPkcs15SpareSlots; ++slot)
        if (ScPkcs15SpareFid(full[full.Count() - 1], slot) == absPath[absPathLen - 1]) return true;
    return false;
}

namespace {

// List of each mask bit of the path and key-reference checks, in their order.
struct MaskBit {
    uint32_t bit;
    int list;
};

}  // namespace

// Calls fn(handle, valueObject) for every record of a directory file; false stops.
template <class Fn>
static void ForEachRecord(SCPkcs15ObjectList* f, Fn fn) {
    void* h = nullptr;
    for (;;) {
        uint32_t found = 0;
        void* prev = h;
        if (f->FindObjects(nullptr, &found, &h) < 0 || !found || !h || h == prev) return;
        SCPkcs15PathObjectInfo* v = nullptr;
        if (f->GetValueObject(h, &v) < 0) v = nullptr;
        if (!fn(h, v)) return;
    }
}

bool SCPkcs15App::IsPathUsed(const uint16_t* absPath, uint16_t absPathLen, uint32_t listMask,
                             const void* excludeHandle, bool readOnly) {
    AssertInvariant(absPath && absPathLen > 1 && absPath[0] == SC_FID_MF, __FILE__, __LINE__,
                    "absPath && absPathLen > 1 && absPath[0] == SC_FID_MF", nullptr);
    static const MaskBit kMask[] = {{0x1, L_PRKDF},        {0x2, L_PUKDF},        {0x4, L_TRUSTED_PUKDF},
                                    {0x8, L_SKDF},         {0x10, L_CDF},         {0x40, L_TRUSTED_CDF},
                                    {0x20, L_USEFUL_CDF},  {0x80, L_DODF},        {0x100, L_AODF}};
    for (const MaskBit& m : kMask) {
        if (!(listMask & m.bit)) continue;
        const DirList& l = m_lists[m.list];
        for (POSITION p = l.GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = l.GetNext(p);
            // A directory's file, and the places its spare may take when it grows.
            if (PathMatches(f, absPath, absPathLen) || IsSparePlace(f, absPath, absPathLen)) return true;
            if (readOnly && !f->IsLoadTried()) continue;
            bool used = false;
            ForEachRecord(f, [&](void* h, SCPkcs15PathObjectInfo* v) {
                used = h != excludeHandle && v && PathMatches(v, absPath, absPathLen);
                return !used;
            });
            if (used) return true;
        }
    }
    if ((listMask & 0x1000) && (PathMatches(&m_tokenInfo, absPath, absPathLen) ||
                                IsSparePlace(&m_tokenInfo, absPath, absPathLen)))
        return true;
    if ((listMask & 0x2000) &&
        (PathMatches(&m_odf, absPath, absPathLen) || IsSparePlace(&m_odf, absPath, absPathLen)))
        return true;
    return false;
}

bool SCPkcs15App::IsKeyReferenceUsed(int ref, const uint16_t* absPath, uint16_t absPathLen, uint32_t listMask,
                                     const void* excludeHandle) {
    if (ref < 1 || ref > 254) return IsPathUsed(absPath, absPathLen, 0x31FF, excludeHandle);
    static const MaskBit kKeys[] = {{0x1, L_PRKDF}, {0x2, L_PUKDF}, {0x4, L_TRUSTED_PUKDF}, {0x8, L_SKDF}};
    const SCPath path(absPath, absPathLen);
    for (const MaskBit& m : kKeys) {
        if (!(listMask & m.bit)) continue;
        const DirList& l = m_lists[m.list];
        for (POSITION p = l.GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = l.GetNext(p);
            if (PathMatches(f, absPath, absPathLen)) return true;
            bool used = false;
            ForEachRecord(f, [&](void* h, SCPkcs15PathObjectInfo* v) {
                if (h == excludeHandle || !v) return true;
                SCPath full;
                if (v->GetPath().Count() == 0 || !v->GetFullPathInto(full)) return true;
                // The key's reference: its key object's, else its record's.
                int keyRef = -1;
                if (auto* key = dynamic_cast<SCPkcs15KeyObject*>(v))
                    keyRef = key->GetKeyReference() == SCPkcs15KeyObject::NO_KEY_REFERENCE ? -1 : key->GetKeyReference();
                if (keyRef < 0) {
                    SCPkcs15ObjectAttribute a(p15attr::kKeyReference);
                    uint32_t r = 0;
                    if (f->GetAttribute(h, &a) >= 0 && a.GetInteger(&r) && r < 255) keyRef = static_cast<int>(r);
                }
                // A value at the path itself takes it unless it is another reference in the same DF;
                // a key file in the DF takes its reference there.
                if (full.IsEqual(path)) used = keyRef < 0 || keyRef == ref;
                else if (full.Count() == path.Count() + 1 && SCPath(full.Ids(), full.Count() - 1).IsEqual(path))
                    used = keyRef == ref;
                return !used;
            });
            if (used) return true;
        }
    }
    const uint32_t rest = listMask & ~0xFu;
    return rest != 0 && IsPathUsed(absPath, absPathLen, rest, excludeHandle);
}

SCRESULT SCPkcs15App::FindFreeKeyReference(const uint16_t* path, uint16_t pathLen, int startRef,
                                           bool searchOtherApps, const void* excludeHandle) {
    int first = 1, last = 31;
    const uint32_t type = m_pCard ? m_pCard->GetCardType() : 0;
    if (type == SC_CARD_TYPE_COSMOPOLIC) last = 30;
    else if (type == SC_CARD_TYPE_IAS) first = 0x81, last = 0x9F;
    if (type == SC_CARD_TYPE_SETCOS441) first = startRef;
    else if (startRef > first) first = startRef;
    if (startRef > last) return SC_E_BAD_PARAMS;
    if (path && pathLen > 1 && IsPathUsed(path, pathLen, 0x31F0, excludeHandle)) return SC_E_INVALID_FILE_TYPE;
    const bool others = searchOtherApps && AsksOtherApplications();
    for (int ref = first < 0 ? 0 : first; ref <= last; ++ref) {
        if (path && pathLen > 1 && IsKeyReferenceUsed(ref, path, pathLen, 0xF, excludeHandle)) continue;
        if (others && path && m_pOwner->IsReferenceUsedByOtherApplication(static_cast<uint8_t>(ref), path, pathLen, this, 0xF, nullptr))
            continue;
        return ref;
    }
    return SC_RESULT_CODE(0xE000000000016A88ULL);
}

SCRESULT SCPkcs15App::GetDirectoryPaths(SCPathList* out, uint32_t kind, bool clear) {
    if (!out) return SC_E_BAD_PARAMS;
    if (clear) out->Clear();
    int lists = kind == 0 ? (1 << L_COUNT) - 1 : ListsForKind(kind);
    if (lists < 0) return SC_E_PKCS15_INVALID_ATTR;
    for (int i = 0; i < L_COUNT; ++i) {
        if (!(lists & (1 << i))) continue;
        for (POSITION p = m_lists[i].GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = m_lists[i].GetNext(p);
            SCPath full;
            if (f->GetPath().Count() > 0 && f->GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
        }
    }
    return 0;
}

SCRESULT SCPkcs15App::GetObjectPaths(void* handle, SCPathList* out) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    if (!out) return SC_E_BAD_PARAMS;
    SCPath full;
    if (f->GetPath().Count() > 0 && f->GetFullPathInto(full)) out->AddUnique(full.Ids(), full.Count());
    SCPkcs15PathObjectInfo* value = nullptr;
    SCRESULT r = f->GetValueObject(handle, &value);
    if (IsCardGoneResult(r)) return r;
    if (value && value->GetPath().Count() > 0 && value->GetFullPathInto(full))
        out->AddUnique(full.Ids(), full.Count());
    return 0;
}

void* SCPkcs15App::FindHandleForValueObject(const SCPkcs15PathObjectInfo* value, SCPkcs15ObjectList** dirFile) {
    if (dirFile) *dirFile = nullptr;
    if (!value) return nullptr;
    for (DirList& l : m_lists)
        for (POSITION p = l.GetHeadPosition(); p;) {
            SCPkcs15ObjectList* f = l.GetNext(p);
            std::vector<void*> all;
            if (FindAllInList(l, &all, nullptr, 0) <= 0) continue;
            for (void* h : all) {
                if (!f->HoldsHandle(h)) continue;
                SCPkcs15PathObjectInfo* v = nullptr;
                if (f->GetValueObject(h, &v) >= 0 && v == value) {
                    if (dirFile) *dirFile = f;
                    return h;
                }
            }
        }
    return nullptr;
}

SCRESULT SCPkcs15App::SetTokenLabel(const char* text, uint32_t len, bool dirRecord) {
    if (!m_hasDirRecord) return SC_E_BAD_USAGE;
    ASNPkcs15TokenInfo& ti = m_tokenInfo.Contents();
    if (!text) {
        if (dirRecord) m_dirRecord.wasLabel = 0;
        ti.wasLabel = 0;
    } else {
        const int n = len == ~0u ? -1 : static_cast<int>(len);
        if (len != ~0u && len > 0x7FFFFFFFu) return SC_E_BAD_PARAMS;
        if ((dirRecord && !m_dirRecord.label.setText(text, n)) || !ti.label.setText(text, n)) return SC_E_NO_MEMORY;
        if (dirRecord) m_dirRecord.wasLabel = 1;
        ti.wasLabel = 1;
    }
    // The card's EF.DIR keeps its own record: it takes the label too while it still holds it.
    if (dirRecord && m_pOwner && m_pDirSource) {
        TypedPointerList<ASNPkcs15DIRRecord>& recs = m_pOwner->GetCardDir().DirRecords();
        POSITION p = recs.Find(m_pDirSource);
        if (p) {
            ASNPkcs15DIRRecord* src = recs.GetAt(p);
            src->label = m_dirRecord.label;
            src->wasLabel = m_dirRecord.wasLabel;
        }
    }
    m_tokenInfo.SetDirty(true);
    return 0;
}

SCRESULT SCPkcs15App::SetSerialNumber(const char* text, uint32_t len) { return m_tokenInfo.SetSerialNumber(text, len); }

SCRESULT SCPkcs15App::FindMatchingObject(void* privateKey, bool certificate, void** out) {
    if (!out) return SC_E_BAD_PARAMS;
    *out = nullptr;
    auto* prk = dynamic_cast<SCPkcs15PrivateKeyList*>(FindListForHandle(privateKey));
    ASNPkcs15PrivateKeyType* rec = prk ? prk->RecordFor(privateKey) : nullptr;
    if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
    SCPkcs15ObjectAttributeList byId, byKeyId, byKey;
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    if (ka && ka->iD.getLength() > 0 &&
        !byId.AddBinary(certificate ? p15attr::kCertId : p15attr::kKeyId, ka->iD.getData(),
                        static_cast<uint32_t>(ka->iD.getLength())))
        return SC_E_NO_MEMORY;
    ASNPkcs15CommonPrivateKeyAttributes* cpa = rec->findCommonPrivateKeyAttributes();
    if (cpa && rec->hasCommonPrivateKeyAttributes() && cpa->wasKeyIdentifiers) {
        // A certificate names its key by the subject key identifier, a public key by its hash.
        const ASNPkcs15KeyIdentifier* id = cpa->keyIdentifiers.find(certificate ? 2 : 4);
        const ASNoctstr* o = id ? dynamic_cast<const ASNoctstr*>(id->idValue) : nullptr;
        if (o && o->getLength() > 0 &&
            !byKeyId.AddBinary(certificate ? p15attr::kCertSubjectKeyId : p15attr::kPublicKeyHash, o->getData(),
                               static_cast<uint32_t>(o->getLength())))
            return SC_E_NO_MEMORY;
    }
    RSAPublicKey pk(0);
    if (prk->KnownPublicKey(rec, &pk)) {
        if (certificate) {
            std::vector<uint8_t> der;
            if (ScPkcs15Der(pk, &der) < 0 ||
                !byKey.AddBinary(p15attr::kCertPublicKey, der.data(), static_cast<uint32_t>(der.size())))
                return SC_E_NO_MEMORY;
        } else if (!byKey.AddBigInt(p15attr::kRsaPublicModulus, pk.modulus.getData(),
                                    static_cast<uint32_t>(pk.modulus.getValueLength())) ||
                   !byKey.AddBigInt(p15attr::kRsaPublicExponent, pk.publicExponent.getData(),
                                    static_cast<uint32_t>(pk.publicExponent.getValueLength()))) {
            return SC_E_NO_MEMORY;
        }
    }
    static const int kCertTags[] = {0xA4, 0xA5, 0xA6};
    static const int kKeyTags[] = {0xA1, 0xA2};
    const int* tags = certificate ? kCertTags : kKeyTags;
    const int nTags = certificate ? 3 : 2;
    for (const SCPkcs15ObjectAttributeList* t : {&byId, &byKeyId, &byKey}) {
        if (t->GetCount() == 0) continue;
        for (int i = 0; i < nTags; ++i) {
            void* h = nullptr;
            SCRESULT r = FindFirstObject(tags[i], t, &h);
            if (r == SC_E_NO_MEMORY) return r;
            if (r >= 0 && h) {
                *out = h;
                return 0;
            }
        }
    }
    return SC_E_PKCS15_ATTR_NOT_FOUND;
}

SCRESULT SCPkcs15App::FindCertificateForKey(void* privateKey, void** certificate) {
    return FindMatchingObject(privateKey, true, certificate);
}

SCRESULT SCPkcs15App::FindPublicKeyForKey(void* privateKey, void** publicKey) {
    return FindMatchingObject(privateKey, false, publicKey);
}

SCRESULT SCPkcs15App::GetKeyReference(void* handle) {
    SCPkcs15ObjectList* f = FindListForHandle(handle);
    if (!f) return SC_E_PKCS15_INVALID_HANDLE;
    SCRESULT kind = f->GetObjectKind(handle);
    if (kind < 0) return kind;
    if ((kind & P15_CLASS_MASK) != P15_KIND_PRIVATE_KEY) return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    auto* prk = dynamic_cast<SCPkcs15PrivateKeyList*>(f);
    ASNPkcs15PrivateKeyType* rec = prk ? prk->RecordFor(handle) : nullptr;
    if (!rec) return SC_E_PKCS15_WRONG_HANDLE_TYPE;
    ASNPkcs15CommonKeyAttributes* ka = rec->findCommonKeyAttributes();
    if (!ka || !ka->wasKeyReference) return SC_E_PKCS15_ATTR_NOT_FOUND;
    const int ref = ka->getKeyReference();
    if (ref < 0 || ref >= 256) return SC_E_PKCS15_INVALID_ATTR_VALUE;
    return ref;
}

void SCPkcs15App::SetAuthObjectForLists(const ASNPkcs15AuthObject* authObject) {
    const void* handle = HandleOfPin(authObject);
    for (int i = 0; i < L_COUNT; ++i) {
        if (i == L_AODF) continue;
        for (POSITION p = m_lists[i].GetHeadPosition(); p;) m_lists[i].GetNext(p)->SetAuthHandle(handle);
    }
}
