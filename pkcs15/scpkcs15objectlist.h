// Object directory lists: one directory file (PrKDF, PuKDF, CDF, DODF, AODF,
// SKDF) with its records. SCPkcs15ObjectList is what the application holds of
// any directory; a kind without a record type of its own keeps every record raw
// and writes it back unchanged. SCPkcs15TypedObjectList<T> decodes records of
// type T, whose serial numbers are the handles of the application, and
// SCPkcs15KeyList<T> tells key records apart by key reference as well.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>
#include <new>

#include "lib/libasn/asnany.h"
#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15object.h"
#include "lib/libpkcs15/asnpkcs15objectvalue.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "pkcs15/scpkcs15rewrite.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "support/ptrlist.h"

class SCPkcs15ObjectList : public SCPkcs15PathObjectInfo {
public:
    SCPkcs15ObjectList(SCCard* card, uint32_t kind, bool trusted = false);
    ~SCPkcs15ObjectList() override;

    uint32_t GetKind() const { return m_kind; }
    bool IsTrusted() const { return m_trusted; }
    void SetTrusted(bool trusted) { m_trusted = trusted; }

    // Whether the handle names one of this list's records.
    virtual bool HoldsHandle(const void* handle) const;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;

    // Records kept raw (not decoded).
    virtual int GetRawRecordCount() const { return m_rawRecords.GetCount(); }
    // Every record of the file, decoded or raw.
    virtual int GetRecordCount() const { return m_rawRecords.GetCount(); }
    // Writes the directory file from memory, over what the card holds now; the
    // outcome says how a failure left the card.
    virtual SCRESULT WriteDirectoryFile(SCPkcs15WriteOutcome* outcome);
    SCRESULT WriteDirectoryFile() {
        SCPkcs15WriteOutcome outcome;
        return WriteDirectoryFile(&outcome);
    }
    // Takes the records the card holds now (read afresh, or as this transaction
    // read or wrote them), keeping one from memory. A record of memory stays (its
    // handle with it) while the card holds it as this process read or wrote it;
    // one that another application changed or removed goes (its handle then names
    // nothing), and records the card holds beside them come in with new handles.
    virtual SCRESULT MergeWithCard(void* keep) {
        (void)keep;
        return Load(true);
    }
    // No records at all (decoded or raw).
    virtual bool IsEmpty() const { return m_rawRecords.GetCount() == 0; }

protected:
    // Gives a new value object its place (the DF that holds this directory file, then
    // the path when given), card, application, creation references and protecting PIN,
    // and appends it to the owning list; SC_E_NO_MEMORY when the list cannot take it
    // (the object is then deleted).
    SCRESULT AdoptValueObject(TypedPointerList<SCPkcs15PathObjectInfo>& owner, SCPkcs15PathObjectInfo* value,
                              const ASNPkcs15Path* path, void* record);
    // The DF a relative value path is taken from: the one that holds this directory file.
    bool ValueBase(SCPath* base) const;
    // Whether a record's value path names a file in another application's DF (`at`, when
    // given, gets its absolute path): such a record is read around (kept in the file as it
    // is, never listed or acted on).
    bool NamesOtherApplicationsFile(const ASNPkcs15Path* path, SCPath* at = nullptr) const;
    // Whether the paths of the records name files (a PIN record names the DF of its PIN).
    virtual bool NamesFiles() const { return true; }
    // Writes to the trace that a record of this directory naming `at` is read around.
    void LogReadAround(const SCPath& at) const;
    // The PIN record that guards this directory while the application still holds it.
    const ASNPkcs15AuthObject* GuardingPin() const;
    // Privacy and write protection of a record without object flags, from the access
    // rules of this file and of the record's value file (when it exists).
    SCRESULT PrivateByAccess(SCPkcs15PathObjectInfo* value);
    SCRESULT ReadOnlyByAccess(SCPkcs15PathObjectInfo* value);

    // Takes one record of the file; the base keeps it raw. 0 or a failure.
    virtual SCRESULT TakeRecord(const ASNany& record);
    // Writes the decoded records (the raw ones follow them).
    virtual SCRESULT EncodeRecords(MemFile*) { return 0; }

    uint32_t m_kind;
    bool m_trusted;
    TypedPointerList<ASNany> m_rawRecords;
};


// ---- attribute helpers shared by the lists ----

// Octets in the store form of the attribute's type (binary, else a raw copy); 1 or 0.
int ScPkcs15PutBytes(SCPkcs15ObjectAttribute* attr, uint64_t type, const void* data, uint32_t len);
// The DER of an object; 0 or SC_E_NO_MEMORY.
SCRESULT ScPkcs15Der(const ASNobject& obj, std::vector<uint8_t>* out);
// Decodes the attribute's octets into obj: true when they are exactly one value of it.
bool ScPkcs15FromDer(ASNobject& obj, const SCPkcs15ObjectAttribute* attr);
// SHA-1 of octets; of an unsigned big-endian number without its leading zero octets.
bool ScPkcs15Sha1(const uint8_t* bytes, size_t len, uint8_t out[20]);
bool ScPkcs15Sha1OfNumber(const uint8_t* bytes, size_t len, uint8_t out[20]);
// The value octets of an INTEGER read as an unsigned number, leading zero octets
// dropped (cards write moduli without the sign octet); null when none remain.
const uint8_t* ScPkcs15Magnitude(const ASNinteger& v, uint32_t* len);
// The common key attributes iD, usage, native, accessFlags, keyReference and the
// two dates (0x101..0x107): SC_E_PKCS15_ATTR_NOT_FOUND when the field is absent,
// SC_E_PKCS15_UNSUPPORTED_ATTR for another code of the group.
SCRESULT ScPkcs15GetCommonKeyAttribute(const ASNPkcs15CommonKeyAttributes& ka, uint64_t code,
                                       SCPkcs15ObjectAttribute* attr);
// Writes one of them: usage and accessFlags by mask, native true stored and false
// removed, an empty keyReference or date removes it.
SCRESULT ScPkcs15SetCommonKeyAttribute(ASNPkcs15CommonKeyAttributes& ka, uint64_t code,
                                       const SCPkcs15ObjectAttribute* attr);

// ---------------------------------------------------------------------------
// Typed directory lists.
//
// RecordList<T>: the decoded records of one directory file (in file order) and
// the records that did not decode as T, kept as raw TLVs and written back after
// the decoded ones.
// ---------------------------------------------------------------------------

// The common object attributes of a record; lists of CHOICE record types
// provide an overload for their type.
template <class C, class S, class T>
inline ASNPkcs15CommonObjectAttributes* ScPkcs15CommonAttributesOf(ASNPkcs15Object<C, S, T>& rec) {
    return &rec.commonObjectAttributes;
}

// Handles are record serial numbers: each record made gets the next number of the
// process, never given again, so a handle kept past its record's end (deleted, or
// dropped by a reload) names no later record. Null is no handle.
uint64_t ScPkcs15NextRecordNumber();
static_assert(sizeof(void*) >= sizeof(uint64_t), "a handle holds a whole record number");

template <class T>
class RecordList : public TypedPointerList<T> {
public:
    typedef SCRESULT (*RecordHook)(T* record);
    static constexpr uint32_t PARSE_CLASSTAG = 1;   // holders and records accept class identifiers
    static constexpr uint32_t PARSE_ANY_TAG = 2;    // a record that decodes is kept whatever its tag
    static constexpr uint32_t PARSE_CONST = 16;     // holders refer into the source bytes

    explicit RecordList(int blockSize = 8, bool owns = true, RecordHook hook = nullptr, uint32_t parseFlags = 3,
                        uint8_t expectedTag = 0xFF)
        : TypedPointerList<T>(blockSize, owns), m_unknown(blockSize, owns), m_hook(hook), m_parseFlags(parseFlags),
          m_expectedTag(expectedTag) {}
    ~RecordList() override { Clear(); }

    TypedPointerList<ASNany>& Unknown() { return m_unknown; }
    const TypedPointerList<ASNany>& Unknown() const { return m_unknown; }
    RecordHook GetHook() const { return m_hook; }
    void SetHook(RecordHook hook) { m_hook = hook; }
    uint32_t GetParseFlags() const { return m_parseFlags; }
    uint8_t GetExpectedTag() const { return m_expectedTag; }

    // Deletes every record and unknown record, whatever the owner flags say.
    void Clear() {
        while (!m_unknown.IsEmpty()) delete m_unknown.RemoveTail();
        while (!this->IsEmpty()) delete this->RemoveTail();
    }

    // A new empty record at the tail with a number of its own; null when memory runs out.
    T* NewRecord() {
        T* rec = nullptr;
        try {
            rec = new Numbered();
        } catch (...) {
            return nullptr;
        }
        if (!this->AddTail(rec)) {
            delete rec;
            return nullptr;
        }
        return rec;
    }

    // The handle of a record made by NewRecord (null for null).
    static void* HandleOf(const T* rec) {
        return rec ? reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<const Numbered*>(rec)->number))
                   : nullptr;
    }
    // The node of the record a handle names; null when no record of this list has it.
    POSITION PositionOf(const void* handle) const {
        if (!handle) return nullptr;
        for (POSITION p = this->GetHeadPosition(); p;) {
            POSITION at = p;
            if (HandleOf(this->GetNext(p)) == handle) return at;
        }
        return nullptr;
    }
    T* RecordFor(const void* handle) const {
        POSITION p = PositionOf(handle);
        return p ? this->GetAt(p) : nullptr;
    }
    bool Holds(const void* handle) const { return PositionOf(handle) != nullptr; }

    // Parses len bytes of a directory file; the bytes parsed or a card result code.
    // Each record keeps the octets it was read from: what names it on the card.
    SCRESULT Parse(GenericFile* in, uint32_t len) {
        Clear();
        if (!in) return SC_E_BAD_USAGE;
        const int64_t start = in->Tell();
        std::vector<uint8_t> bytes;
        std::vector<SCPkcs15Record> framed;
        try {
            bytes.resize(len);
            size_t got = 0;
            if (start < 0 || (len && (in->Read(len, bytes.data(), &got) != 0 || got != len))) return SC_E_PKCS15_FILE;
            uint32_t end = 0;
            if (ScPkcs15FrameRecords(bytes.data(), len, len, false, &framed, &end) != 0)
                return SC_E_INVALID_DATA_FORMAT;
        } catch (const std::bad_alloc&) {
            return SC_E_NO_MEMORY;
        }
        ASNany* holder = nullptr;
        SCRESULT result = 0;
        for (const SCPkcs15Record& at : framed) {
            if (in->Seek(static_cast<long>(start + at.at)) != 0) {
                result = SC_E_PKCS15_FILE;
                break;
            }
            if (!holder) {
                holder = new (std::nothrow) ASNany(TAG_ANY);
                if (!holder) {
                    result = SC_E_NO_MEMORY;
                    break;
                }
            }
            if (m_parseFlags & PARSE_CLASSTAG)
                holder->flags |= ASN_FLAG_CLASSTAG;
            else
                holder->flags &= ~ASN_FLAG_CLASSTAG;
            long n = 0;
            try {
                n = holder->read(in, static_cast<long>(at.len),
                                 (m_parseFlags & PARSE_CONST) ? static_cast<uint8_t>(ASN_FLAG_CONST) : 0);
            } catch (const std::bad_alloc&) {
                n = -2;
            }
            if (n < 1) {
                result = (n == 0 || n == -4) ? SC_E_INVALID_DATA_FORMAT : SC_E_NO_MEMORY;
                break;
            }
            // The element the framing found, no more and no less.
            if (static_cast<uint64_t>(n) != at.len) {
                result = SC_E_INVALID_DATA_FORMAT;
                break;
            }
            T* rec = NewRecord();
            if (!rec) {
                result = SC_E_NO_MEMORY;
                break;
            }
            if (m_parseFlags & PARSE_CLASSTAG) rec->flags |= ASN_FLAG_CLASSTAG;
            if (m_hook) {
                SCRESULT h = m_hook(rec);
                if (h != 0) {
                    delete this->RemoveTail();
                    result = h;
                    break;
                }
            }
            int a = 0;
            try {
                a = rec->assign(*holder);
            } catch (const std::bad_alloc&) {
                a = -2;
            } catch (...) {
                a = 0;
            }
            if (a == -1 || a == -2) {
                delete this->RemoveTail();
                result = a == -1 ? SC_E_PKCS15_FILE : SC_E_NO_MEMORY;
                break;
            }
            bool keep = a > 1 || (a == 1 && ((m_parseFlags & PARSE_ANY_TAG) || rec->tag == m_expectedTag));
            if (!keep) {
                delete this->RemoveTail();
                if (!m_unknown.AddTail(holder)) {
                    result = SC_E_NO_MEMORY;
                    break;
                }
                holder = nullptr;
                continue;
            }
            if (!SetCardForm(rec, bytes.data() + at.at, at.len)) {
                result = SC_E_NO_MEMORY;
                break;
            }
        }
        delete holder;
        if (result < 0) {
            // A refused file leaves no half-read list behind: written back, it
            // would replace the card's records with the part that was read.
            Clear();
            return result;
        }
        (void)in->Seek(static_cast<long>(start + len));
        return static_cast<SCRESULT>(len);
    }

    // The octets that name a record on the card: as it was read, or as this
    // process last wrote it (none for a record not yet written).
    static const std::vector<uint8_t>& CardForm(const T* rec) { return static_cast<const Numbered*>(rec)->cardForm; }
    static bool SetCardForm(const T* rec, const uint8_t* d, size_t n) {
        try {
            const_cast<Numbered*>(static_cast<const Numbered*>(rec))->cardForm.assign(d, d + n);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

private:
    // A record and its number; every record of the list is one.
    struct Numbered final : T {
        Numbered() : T(0x30), number(ScPkcs15NextRecordNumber()) {}
        const uint64_t number;
        std::vector<uint8_t> cardForm;
    };

    TypedPointerList<ASNany> m_unknown;
    RecordHook m_hook;
    uint32_t m_parseFlags;
    uint8_t m_expectedTag;
};

// The directory list of one record type T. A record's serial number is its handle.
template <class T>
class SCPkcs15TypedObjectList : public SCPkcs15ObjectList {
public:
    typedef T Record;

    SCPkcs15TypedObjectList(SCCard* card, uint32_t kind, bool trusted = false)
        : SCPkcs15ObjectList(card, kind, trusted), m_valueObjects(8, true), m_records(8, true), m_objectKind(kind) {}
    ~SCPkcs15TypedObjectList() override {
        m_records.Clear();
        while (!m_valueObjects.IsEmpty()) delete m_valueObjects.RemoveTail();
    }

    RecordList<T>& Records() { return m_records; }
    const RecordList<T>& Records() const { return m_records; }
    TypedPointerList<SCPkcs15PathObjectInfo>& ValueObjects() { return m_valueObjects; }

    bool HoldsHandle(const void* handle) const override { return m_records.Holds(handle); }
    // The record a handle names in this list (null: none), and a record's handle.
    T* RecordFor(const void* handle) const { return m_records.RecordFor(handle); }
    static void* HandleOf(const T* rec) { return RecordList<T>::HandleOf(rec); }
    bool IsEmpty() const override { return m_records.IsEmpty() && m_records.Unknown().IsEmpty(); }
    int GetRawRecordCount() const override { return m_records.Unknown().GetCount(); }
    int GetRecordCount() const override { return m_records.GetCount() + m_records.Unknown().GetCount(); }

    void SetCard(SCCard* card) override {
        SCPkcs15PathObjectInfo::SetCard(card);
        for (POSITION p = m_valueObjects.GetHeadPosition(); p;) m_valueObjects.GetNext(p)->SetCard(card);
    }

    void* GetRecordList() override { return &m_records; }
    // Whether a record is read around (kept in the file as it is, never listed or acted
    // on): it names a file in another application's DF, whose path `at` gets when given.
    virtual bool ReadsAround(T* rec, SCPath* at = nullptr) { return NamesOtherApplicationsFile(GetValuePath(rec), at); }
    SCRESULT GetObjectKind(void* handle) override {
        return HoldsHandle(handle) ? static_cast<SCRESULT>(m_objectKind) : SC_E_PKCS15_INVALID_HANDLE;
    }

    // The handle interface of the application: *handle in is the record after
    // which the search goes on (null: from the first); out the match or null.
    using SCPkcs15PathObjectInfo::FindObjects;
    SCRESULT FindObjects(const SCPkcs15ObjectAttributeList* tmpl, uint32_t* found, void** handle,
                         bool skipPrivate) override {
        if (!found || !handle) return SC_E_BAD_PARAMS;
        *found = 0;
        POSITION pos = nullptr;
        if (*handle) {
            pos = m_records.PositionOf(*handle);
            if (!pos) {
                *handle = nullptr;
                return SC_E_PKCS15_INVALID_HANDLE;
            }
        }
        T* rec = nullptr;
        SCRESULT r = FindRecords(&pos, tmpl, &rec, skipPrivate);
        *handle = HandleOf(rec);
        if (r < 0) return r;
        if (rec) *found = 1;
        return 0;
    }

    // Search: pos in/out is the node of the last match (null: from the head).
    SCRESULT FindRecords(POSITION* pos, const SCPkcs15ObjectAttributeList* tmpl, T** out, bool skipPrivate) {
        if (!IsLoaded()) {
            // A directory whose reading failed fails the search: an empty answer
            // would hide its objects. One that is missing, malformed or not yet
            // open to the caller shows nothing, as before.
            SCRESULT l = Load(false);
            if (l == SC_E_NO_MEMORY) return l;
            if (l < 0) {
                if (pos) *pos = nullptr;
                if (out) *out = nullptr;
                return scIsReadFailure(l) ? l : 0;
            }
        }
        if (out) *out = nullptr;
        POSITION p = (pos && *pos) ? *pos : nullptr;
        if (p)
            m_records.GetNext(p);
        else
            p = m_records.GetHeadPosition();
        while (p) {
            POSITION at = p;
            T* rec = m_records.GetNext(p);
            if (pos) *pos = at;
            bool match = true;
            if (tmpl) {
                for (size_t i = 0; match && i < tmpl->GetCount(); ++i) {
                    const SCPkcs15ObjectAttribute* want = tmpl->GetAt(i);
                    if (!want) continue;
                    SCPkcs15ObjectAttribute have(want->GetType());
                    have.m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(want->GetType());
                    SCRESULT g = GetAttribute(HandleOf(rec), &have);
                    // A value the card did not give fails the search, as a directory does.
                    if (g == SC_E_NO_MEMORY || scIsReadFailure(g)) return g;
                    if (g < 0 || want->Compare(have, true) != 0) match = false;
                }
            }
            if (match && skipPrivate && IsPrivate(HandleOf(rec)) > 0) match = false;
            if (match && ReadsAround(rec)) match = false;
            if (match) {
                if (out) *out = rec;
                return 0;
            }
        }
        if (pos) *pos = nullptr;
        return 0;
    }

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        if (!attr) return SC_E_BAD_PARAMS;
        SCRESULT code = MapAttributeType(attr->GetType());
        if (code < 0) return code;
        if (code & 0xFF00) return SC_E_PKCS15_UNSUPPORTED_ATTR;
        ASNPkcs15CommonObjectAttributes* co = ScPkcs15CommonAttributesOf(*rec);
        const uint64_t type = attr->GetType();
        int ok = 1;
        switch (code) {
            case p15attr::kKind: {
                SCRESULT k = GetObjectKind(handle);
                if (k < 0) return k;
                ok = attr->SetInteger(type, static_cast<uint32_t>(k));
                break;
            }
            case p15attr::kLabel:
                if (!co || !co->wasLabel) return SC_E_PKCS15_ATTR_NOT_FOUND;
                ok = attr->SetString(type, reinterpret_cast<const char*>(co->label.getData()),
                                     static_cast<uint32_t>(co->label.getLength()));
                break;
            case p15attr::kObjectFlags: {
                uint32_t v = 0;
                if (IsPrivate(handle) > 0) v |= 1;
                if (IsReadOnly(handle) < 1) v |= 2;
                ok = attr->SetFlags(type, v, 0xFFFFFFFFu);
                break;
            }
            case p15attr::kAuthId:
                if (!co || !co->wasAuthId) return SC_E_PKCS15_ATTR_NOT_FOUND;
                ok = attr->SetBinary(type, co->authId.getData(), static_cast<uint32_t>(co->authId.getLength()));
                break;
            case p15attr::kUserConsent: {
                if (!co || !co->wasUserConsent) return SC_E_PKCS15_ATTR_NOT_FOUND;
                long v = 0;
                try {
                    v = co->userConsent.getLong();
                } catch (...) {
                    return SC_E_INVALID_DATA_VALUE;
                }
                if (v < 0 || v > 0x7FFFFFFFL) return SC_E_INVALID_DATA_VALUE;
                ok = attr->SetInteger(type, static_cast<uint32_t>(v));
                break;
            }
            default: return SC_E_PKCS15_INVALID_ATTR;
        }
        return ok ? 0 : SC_E_NO_MEMORY;
    }

    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        if (!attr) return SC_E_BAD_PARAMS;
        SCRESULT code = MapAttributeType(attr->GetType());
        if (code < 0) return code;
        if (code & 0xFF00) return SC_E_PKCS15_UNSUPPORTED_ATTR;
        ASNPkcs15CommonObjectAttributes* co = ScPkcs15CommonAttributesOf(*rec);
        const uint64_t type = static_cast<uint64_t>(code);
        if (!co && type >= p15attr::kLabel && type <= p15attr::kUserConsent) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        switch (code) {
            case p15attr::kLabel:
                if (!attr->GetValue()) {
                    co->wasLabel = 0;
                    co->label.clear();
                } else {
                    if (!co->label.setText(reinterpret_cast<const char*>(attr->GetValue()),
                                           static_cast<int>(attr->GetLength())))
                        return SC_E_NO_MEMORY;
                    co->wasLabel = 1;
                }
                break;
            case p15attr::kObjectFlags: {
                uint32_t v = 0, m = 0;
                if (!attr->GetFlags(&v, &m)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                uint32_t old = co->wasFlags ? co->flags.getFlags() : 0;
                try {
                    co->flags.setFlags((old & ~m) | (v & m));
                } catch (const std::bad_alloc&) {
                    return SC_E_NO_MEMORY;
                }
                co->wasFlags = 1;
                break;
            }
            case p15attr::kAuthId:
                if (!attr->GetValue()) {
                    co->wasAuthId = 0;
                    co->authId.clear();
                } else {
                    if (!co->authId.set(attr->GetValue(), static_cast<long>(attr->GetLength()))) return SC_E_NO_MEMORY;
                    co->wasAuthId = 1;
                }
                break;
            case p15attr::kUserConsent: {
                uint32_t v = 0;
                if (!attr->GetInteger(&v)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
                if (v == 0) {
                    co->wasUserConsent = 0;
                    co->userConsent.clear();
                } else {
                    try {
                        co->userConsent.setValue(v);
                    } catch (const std::bad_alloc&) {
                        return SC_E_NO_MEMORY;
                    }
                    co->wasUserConsent = 1;
                }
                break;
            }
            default: return SC_E_PKCS15_INVALID_ATTR;
        }
        SetDirty(true);
        return 0;
    }

    SCRESULT IsPrivate(void* handle) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        ASNPkcs15CommonObjectAttributes* co = ScPkcs15CommonAttributesOf(*rec);
        if (!co || !co->wasFlags) return SC_E_PKCS15_ATTR_NOT_FOUND;
        return (co->flags.getFlags() & 1) ? 1 : 0;
    }
    SCRESULT IsReadOnly(void* handle) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        ASNPkcs15CommonObjectAttributes* co = ScPkcs15CommonAttributesOf(*rec);
        if (!co || !co->wasFlags) return SC_E_PKCS15_ATTR_NOT_FOUND;
        return (co->flags.getFlags() & 2) ? 0 : 1;
    }

    // The value object of a record (key, certificate or data file); the base has none.
    virtual SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) {
        (void)record;
        (void)create;
        if (out) *out = nullptr;
        return 0;
    }
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out) override {
        return GetValueObject(record, out, true);
    }

    SCRESULT GetObjectSize(void* handle) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        SCPkcs15PathObjectInfo* v = nullptr;
        SCRESULT r = GetValueObject(handle, &v, true);
        if (r < 0) return r;
        long recLen = rec->lenOfObject();
        if (!v) return static_cast<SCRESULT>(recLen);
        // A size the value file's reading gives is read as the value is (LoadValue).
        if (ValueOf(rec) && v->SizeReadsFile()) {
            r = LoadValue(handle, v, false);
            if (r < 0 && r != SC_E_FILE_NOT_FOUND && r != SC_E_ACCESS_DENIED) return r;
        }
        SCRESULT fs = v->GetFileSize();
        if (fs < 0) return fs;
        return fs + static_cast<SCRESULT>(recLen);
    }

    // A new empty record at the tail (not yet written); the template's attributes are
    // not applied here (the caller fills the record through SetAttribute).
    SCRESULT CreateRecord(const SCPkcs15ObjectAttributeList*, void** out) override {
        T* rec = nullptr;
        SCRESULT r = CreateTypedRecord(&rec);
        if (out) *out = HandleOf(rec);
        return r;
    }
    SCRESULT CreateTypedRecord(T** out) {
        if (out) *out = nullptr;
        if (!IsLoaded()) {
            SCRESULT l = Load(false);
            if (l < 0 && l != SC_E_FILE_NOT_FOUND) return l;
        }
        T* rec = m_records.NewRecord();
        if (!rec) return SC_E_NO_MEMORY;
        if (out) *out = rec;
        return 0;
    }

    // Forgets a record and its value object without card access.
    void RemoveValueObject(void* handle) override {
        if (!HoldsHandle(handle)) return;
        SCPkcs15PathObjectInfo* v = nullptr;
        GetValueObject(handle, &v, false);
        DropValueObject(v);
        DropRecord(RecordFor(handle));
    }

    SCPkcs15PathObjectInfo* TakeValueObject(void* handle) override {
        if (!HoldsHandle(handle)) return nullptr;
        SCPkcs15PathObjectInfo* v = nullptr;
        GetValueObject(handle, &v, false);
        POSITION p = v ? m_valueObjects.Find(v) : nullptr;
        if (p)
            m_valueObjects.RemoveAt(p);
        else
            v = nullptr;
        DropRecord(RecordFor(handle));
        return v;
    }

    // Writes the record's value file (when changed) and the directory file (when changed).
    SCRESULT CommitObject(void* handle) override { return CommitRecord(handle, true); }

    // The same; recordMayGo: a failure takes the record away with a value file this
    // call made (a new object). A changed record stays for the caller to put back.
    // merged: the caller has merged the list with the card already.
    SCRESULT CommitRecord(void* handle, bool recordMayGo, bool merged = false) {
        if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
        if (!m_pCard) return SC_E_BAD_USAGE;
        SCTransactGuard guard(m_pCard);
        if (IsDirty() && !merged) {
            SCRESULT m = MergeWithCard(handle);
            if (m < 0 && m != SC_E_FILE_NOT_FOUND) return m;
            if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
        }
        SCPkcs15PathObjectInfo* v = nullptr;
        SCRESULT r = GetValueObject(handle, &v, false);
        if (r < 0) return r;
        bool createdValue = false;
        if (v && v->IsDirty()) {
            r = v->Write(nullptr, 0, nullptr);
            if (r < 0) return r;
            createdValue = v->MadeByLastWrite();
        }
        if (IsDirty()) {
            MemFile enc;
            SCPkcs15WriteOutcome outcome;
            r = Encode(&enc);
            if (r >= 0)
                r = WriteDirectory(enc.GetData(), static_cast<uint32_t>(enc.Size() > 0 ? enc.Size() : 0), &outcome);
            if (r < 0) {
                // Only what this call created goes again: the value file and the record.
                // The file stays where the card's directory may name it.
                if (createdValue && v) {
                    // A file that cannot go again is the failure the call reports: the
                    // card is no longer as it was.
                    if (outcome.cardUnchanged) {
                        const SCRESULT d = v->DeleteMade();
                        if (d < 0 && d != SC_E_FILE_NOT_FOUND) r = d;
                    }
                    if (recordMayGo) {
                        DropValueObject(v);
                        DropRecord(RecordFor(handle));
                    }
                }
                return r;
            }
        }
        return 0;
    }

    // Writes the value files whose contents were made or changed in memory; a value
    // file that was never read is left as the card has it (written, it would be emptied).
    SCRESULT WriteValueObjects() override {
        SCRESULT first = 0;
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            T* rec = m_records.GetNext(p);
            if (ReadsAround(rec)) continue;
            SCPkcs15PathObjectInfo* v = nullptr;
            SCRESULT r = GetValueObject(HandleOf(rec), &v, true);
            if (r >= 0 && v && v->IsDirty()) r = v->Write(nullptr, 0, nullptr);
            if (r < 0 && first == 0) first = r;
        }
        return first;
    }

    // Record codec of the list.
    static SCRESULT DecodeRecordFrom(T* rec, GenericFile* in, uint32_t len) {
        long r = 0;
        try {
            r = rec->read(in, static_cast<long>(len), 0);
        } catch (const std::bad_alloc&) {
            r = -2;
        } catch (...) {
            r = 0;
        }
        if (r == -1 || r == -2) return SC_E_NO_MEMORY;
        if (r == 0 || r == -4) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        return static_cast<SCRESULT>(r);
    }
    static SCRESULT EncodeRecordTo(const T* rec, GenericFile* out) {
        long r = rec->write(out);
        if (r == -1 || r == -2) return SC_E_NO_MEMORY;
        return static_cast<SCRESULT>(r);
    }

    // The application's restore point around attribute changes: EncodeRecord keeps a
    // copy of the record as it is, DecodeRecord puts that copy back.
    SCRESULT EncodeRecord(void* handle) override {
        const T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        m_saved.reset(new (std::nothrow) MemFile());
        if (!m_saved) return SC_E_NO_MEMORY;
        m_savedFor = handle;
        m_savedDirty = IsDirty();
        SCRESULT r = EncodeRecordTo(rec, m_saved.get());
        if (r < 1) {
            m_saved.reset();
            m_savedFor = nullptr;
            return r < 0 ? r : SC_E_NO_MEMORY;
        }
        return r;
    }
    // Whether the record encodes as the card holds it (as this process read or
    // last wrote it): writing the directory would change nothing of it.
    bool RecordAsOnCard(void* handle) const {
        const T* rec = RecordFor(handle);
        if (!rec || RecordList<T>::CardForm(rec).empty()) return false;
        MemFile now;
        if (EncodeRecordTo(rec, &now) < 1) return false;
        const std::vector<uint8_t>& form = RecordList<T>::CardForm(rec);
        const int64_t n = now.Size();
        return n == static_cast<int64_t>(form.size()) && std::memcmp(now.GetData(), form.data(), form.size()) == 0;
    }
    SCRESULT DecodeRecord(void* handle) override {
        T* rec = RecordFor(handle);
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        if (!m_saved || m_savedFor != handle) return SC_E_BAD_USAGE;
        m_saved->Seek(0);
        rec->clear();
        SCRESULT r = DecodeRecordFrom(rec, m_saved.get(), static_cast<uint32_t>(m_saved->Size()));
        SetDirty(m_savedDirty);
        m_saved.reset();
        m_savedFor = nullptr;
        return r;
    }

    SCRESULT DeleteObject(void* handle) override { return DeleteObject(handle, true); }

    // Removes a record from the card and from memory; with deleteValue its value file too.
    SCRESULT DeleteObject(void* handle, bool deleteValue) override {
        if (!HoldsHandle(handle)) return SC_E_PKCS15_INVALID_HANDLE;
        if (!m_pCard) return SC_E_BAD_USAGE;
        SCTransactGuard guard(m_pCard);
        SCRESULT m = MergeWithCard(nullptr);
        if (m < 0 && m != SC_E_FILE_NOT_FOUND && m != SC_E_NO_REFERENCED_DATA) return m;
        T* rec = RecordFor(handle);
        // Another application has removed the object, or changed what makes it this one.
        if (!rec) return SC_E_PKCS15_INVALID_HANDLE;
        SCPkcs15PathObjectInfo* v = nullptr;
        if (deleteValue) {
            SCRESULT g = GetValueObject(handle, &v, true);
            if (g < 0) v = nullptr;
        } else {
            GetValueObject(handle, &v, false);
        }
        MemFile out;
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            T* other = m_records.GetNext(p);
            if (other == rec) continue;
            if (EncodeRecordTo(other, &out) < 0) return SC_E_NO_MEMORY;
        }
        for (POSITION p = m_records.Unknown().GetHeadPosition(); p;)
            if (EncodeAsn(*m_records.Unknown().GetNext(p), &out) < 0) return SC_E_NO_MEMORY;
        // The record leaves the directory first: a failure there leaves the object whole.
        int64_t sz = out.Size();
        SCPkcs15WriteOutcome outcome;
        SCRESULT w = WriteDirectory(out.GetData(), static_cast<uint32_t>(sz > 0 ? sz : 0), &outcome);
        if (w < 0) return w;
        if (deleteValue && v) {
            SCRESULT d = v->Delete();
            if (d < 0 && d != SC_E_FILE_NOT_FOUND && d != SC_E_NO_REFERENCED_DATA) {
                // The value stays: so does the record that names it.
                (void)UndoLastWrite();
                return d;
            }
        }
        DropValueObject(v);
        DropRecord(rec);
        return 0;
    }

    SCRESULT Parse(MemFile* in, uint32_t len) override {
        SCRESULT r = m_records.Parse(in, len);
        if (r < 0) return r;
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            SCPath at;
            if (ReadsAround(m_records.GetNext(p), &at)) LogReadAround(at);
        }
        return 0;
    }
    bool RecordsDecode(const uint8_t* d, uint32_t n) override {
        RecordList<T> probe(8, true, m_records.GetHook(), m_records.GetParseFlags(), m_records.GetExpectedTag());
        MemFile in(d, n, false);
        // Out of memory nothing is known not to decode.
        const SCRESULT r = probe.Parse(&in, n);
        return r == SC_E_NO_MEMORY || (r >= 0 && probe.Unknown().IsEmpty());
    }
    void ClearContents() override {
        if (m_records.OwnsElements())
            m_records.Clear();
        else
            m_records.RemoveAll();
        if (m_valueObjects.OwnsElements())
            while (!m_valueObjects.IsEmpty()) delete m_valueObjects.RemoveTail();
        else
            m_valueObjects.RemoveAll();
    }
    SCRESULT Encode(MemFile* out) override {
        SCRESULT total = 0;
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            SCRESULT w = EncodeRecordTo(m_records.GetNext(p), out);
            if (w < 1) return SC_E_NO_MEMORY;
            total += w;
        }
        for (POSITION p = m_records.Unknown().GetHeadPosition(); p;) {
            SCRESULT w = EncodeAsn(*m_records.Unknown().GetNext(p), out);
            if (w < 1) return SC_E_NO_MEMORY;
            total += w;
        }
        return total;
    }

    // 0 when both records stand for the same card object, else SC_E_PKCS15_DIFFERENT.
    virtual SCRESULT CompareRecords(T* a, T* b) {
        const ASNPkcs15Path* pa = GetValuePath(a);
        const ASNPkcs15Path* pb = GetValuePath(b);
        if (!pa || !pb) return SC_E_PKCS15_UNSUPPORTED_OBJECT;
        return ComparePaths(*pa, *pb) ? 0 : SC_E_PKCS15_DIFFERENT;
    }

    // Re-reads the directory file (or takes what this transaction read or wrote)
    // and replaces the records in memory by the card's, except the record to keep.
    SCRESULT MergeWithCard(void* keep) override {
        MemFile file;
        SCRESULT got = ReadCurrent(&file);
        if (got < 0 && got != SC_E_FILE_NOT_FOUND) return got;
        RecordList<T> card(8, true, m_records.GetHook(), m_records.GetParseFlags(), m_records.GetExpectedTag());
        if (got >= 0) {
            file.Seek(0);
            int64_t avail = file.Size();
            uint32_t len = static_cast<uint32_t>(avail < got ? avail : got);
            SCRESULT parsed = card.Parse(&file, len);
            // A directory that cannot be read leaves memory as it is.
            if (parsed < 0) return parsed;
        }
        SetDirty(true);
        T* kept = RecordFor(keep);
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            POSITION at = p;
            T* rec = m_records.GetNext(p);
            const std::vector<uint8_t>& form = RecordList<T>::CardForm(rec);
            // A record not yet written (one this call makes) is memory's alone.
            if (form.empty()) continue;
            POSITION match = nullptr;
            for (POSITION q = card.GetHeadPosition(); q;) {
                POSITION cat = q;
                if (RecordList<T>::CardForm(card.GetNext(q)) == form) {
                    match = cat;
                    break;
                }
            }
            if (match) {
                // The same record: memory's changes stay where this call keeps them.
                T* cardRec = card.GetAt(match);
                if (rec != kept) {
                    int c = rec->convertFrom(*cardRec, 0);
                    if (c < 0) return c == -4 ? SC_E_INVALID_DATA_FORMAT : SC_E_NO_MEMORY;
                }
                delete card.RemoveAt(match);
            } else {
                SCPkcs15PathObjectInfo* v = nullptr;
                GetValueObject(HandleOf(rec), &v, false);
                DropValueObject(v);
                if (m_savedFor == HandleOf(rec)) {
                    m_saved.reset();
                    m_savedFor = nullptr;
                }
                m_records.RemoveAt(at);
                delete rec;
            }
        }
        // The card's other records come in, each with a handle of its own.
        while (!card.IsEmpty()) {
            T* cardRec = card.RemoveHead();
            if (!m_records.AddTail(cardRec)) {
                delete cardRec;
                return SC_E_NO_MEMORY;
            }
        }
        while (!m_records.Unknown().IsEmpty()) delete m_records.Unknown().RemoveTail();
        while (!card.Unknown().IsEmpty()) {
            ASNany* u = card.Unknown().RemoveHead();
            if (!m_records.Unknown().AddTail(u)) {
                delete u;
                return SC_E_NO_MEMORY;
            }
        }
        return got < 0 ? got : 0;
    }

    // The path of the record's value; the template knows none.
    virtual const ASNPkcs15Path* GetValuePath(T*) { return nullptr; }
    // The value a record holds or names in a file (null: the record has none of this form).
    virtual ASNPkcs15ObjectValue<ASNany>* ValueOf(T*) { return nullptr; }
    // The attribute code to use, or a negative card result code.
    virtual SCRESULT MapAttributeType(uint64_t code) {
        return code > 0x7FFFFFFFu ? SC_E_PKCS15_UNSUPPORTED_ATTR : static_cast<SCRESULT>(code);
    }

    // The directory file from memory; a write that fails puts back what the card held.
    using SCPkcs15ObjectList::WriteDirectoryFile;
    SCRESULT WriteDirectoryFile(SCPkcs15WriteOutcome* outcome) override {
        MemFile enc;
        SCRESULT r = Encode(&enc);
        if (r < 0) {
            *outcome = SCPkcs15WriteOutcome();
            return outcome->result = r;
        }
        return WriteDirectory(enc.GetData(), static_cast<uint32_t>(enc.Size() > 0 ? enc.Size() : 0), outcome);
    }

protected:
    // Loads the value file of the record a handle names. A value that its record
    // gives to anyone is never read from a file that asks a PIN. Where the file's
    // selection shows it missing, or so guarded, the directory is looked at again:
    // a value another application moved is read from its new file; a record gone
    // leaves the handle naming nothing; a record as it was keeps the file's answer.
    SCRESULT LoadValue(void* handle, SCPkcs15PathObjectInfo* v, bool force) {
        const bool open = IsPrivate(handle) == 0;
        const SCRESULT r = open ? v->LoadOpenValue(force) : v->Load(force);
        if (r != SC_E_FILE_NOT_FOUND && !(open && r == SC_E_ACCESS_DENIED)) return r;
        const SCRESULT moved = FollowMovedValue(handle);
        if (moved < 0) return moved == SC_E_FILE_NOT_FOUND ? r : moved;
        return open ? v->LoadOpenValue(true) : v->Load(true);
    }

    // Where another application moved the record's value (the card's record is
    // this one but for its path), the record takes the new path (0);
    // SC_E_PKCS15_INVALID_HANDLE when the card no longer holds the record (it goes
    // from memory), SC_E_FILE_NOT_FOUND when it holds it as it was.
    SCRESULT FollowMovedValue(void* handle) {
        T* rec = RecordFor(handle);
        ASNPkcs15ObjectValue<ASNany>* value = rec ? ValueOf(rec) : nullptr;
        const ASNPkcs15Path* path = GetValuePath(rec);
        SCPkcs15PathObjectInfo* v = nullptr;
        if (value) GetValueObject(handle, &v, false);
        if (!path || !v || !m_pCard || RecordList<T>::CardForm(rec).empty()) return SC_E_FILE_NOT_FOUND;
        const std::vector<uint8_t>& form = RecordList<T>::CardForm(rec);
        SCTransactGuard guard(m_pCard);
        MemFile file;
        const SCRESULT got = ReadCurrent(&file);
        if (got < 0) return got == SC_E_FILE_NOT_FOUND ? SC_E_PKCS15_INVALID_HANDLE : got;
        RecordList<T> card(8, true, m_records.GetHook(), m_records.GetParseFlags(), m_records.GetExpectedTag());
        file.Seek(0);
        const SCRESULT parsed = card.Parse(&file, static_cast<uint32_t>(std::min<int64_t>(file.Size(), got)));
        if (parsed < 0) return parsed;
        for (POSITION p = card.GetHeadPosition(); p;) {
            T* c = card.GetNext(p);
            const std::vector<uint8_t>& cForm = RecordList<T>::CardForm(c);
            if (cForm == form) return SC_E_FILE_NOT_FOUND;  // the record stands: its file is what is wrong
            const ASNPkcs15Path* moved = GetValuePath(c);
            if (!moved || !ValueOf(c)) continue;
            const ASNPkcs15Path newPath(*moved);
            // This record but for the file it names?
            ValueOf(c)->indirect = *path;
            MemFile enc;
            if (EncodeRecordTo(c, &enc) < 1) return SC_E_NO_MEMORY;
            if (static_cast<size_t>(enc.Size()) != form.size() ||
                std::memcmp(enc.GetData(), form.data(), form.size()) != 0)
                continue;
            value->indirect = newPath;
            if (!v->SetPathFromAsn(newPath) || !RecordList<T>::SetCardForm(rec, cForm.data(), cForm.size()))
                return SC_E_NO_MEMORY;
            v->ClearContents();
            v->ForgetFile();
            return 0;
        }
        // Removed, or changed in more than its file: the handle names nothing now, and
        // the record goes from memory (a search no longer finds it).
        DropValueObject(v);
        DropRecord(rec);
        return SC_E_PKCS15_INVALID_HANDLE;
    }

    // The directory file written over what the card holds; a write that fails puts
    // back what it wrote, and the outcome says whether the card is as before.
    SCRESULT WriteDirectory(const uint8_t* data, uint32_t len, SCPkcs15WriteOutcome* outcome) {
        // No octets at all is an empty directory, not "encode yourself" (a null pointer).
        const SCRESULT r = Write(len ? data : reinterpret_cast<const uint8_t*>(""), len, nullptr, outcome);
        return r < 0 ? r : NoteWritten();
    }
    // After a write: every record is named on the card by what it encodes as now.
    SCRESULT NoteWritten() {
        for (POSITION p = m_records.GetHeadPosition(); p;) {
            const T* rec = m_records.GetNext(p);
            MemFile enc;
            if (EncodeRecordTo(rec, &enc) < 1 ||
                !RecordList<T>::SetCardForm(rec, enc.GetData(), static_cast<size_t>(enc.Size())))
                return SC_E_NO_MEMORY;
        }
        return 0;
    }

    // Removes a value object from the list of value objects and deletes it.
    void DropValueObject(SCPkcs15PathObjectInfo* v) {
        if (!v) return;
        POSITION p = m_valueObjects.Find(v);
        if (!p) return;
        m_valueObjects.RemoveAt(p);
        delete v;
    }
    void DropRecord(T* rec) {
        POSITION p = m_records.Find(rec);
        if (!p) return;
        m_records.RemoveAt(p);
        if (m_savedFor == HandleOf(rec)) {
            m_saved.reset();
            m_savedFor = nullptr;
        }
        delete rec;
    }

    TypedPointerList<SCPkcs15PathObjectInfo> m_valueObjects;
    RecordList<T> m_records;
    uint64_t m_objectKind;

private:
    std::unique_ptr<MemFile> m_saved;
    void* m_savedFor = nullptr;
    bool m_savedDirty = false;
};

// The record a handle names in a list of type L (null: the list is of another type or
// does not hold it).
template <class L>
typename L::Record* ScPkcs15RecordIn(SCPkcs15ObjectList* list, const void* handle) {
    L* typed = dynamic_cast<L*>(list);
    return typed ? typed->RecordFor(handle) : nullptr;
}

// Common key attributes of key records; key lists provide overloads for their CHOICE types.
template <class S, class T>
inline ASNPkcs15CommonKeyAttributes* ScPkcs15CommonKeyAttributesOf(ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, S, T>& rec) {
    return &rec.classAttributes;
}

// Key directories: records without a value path are told apart by key reference.
template <class T>
class SCPkcs15KeyList : public SCPkcs15TypedObjectList<T> {
public:
    using SCPkcs15TypedObjectList<T>::SCPkcs15TypedObjectList;

    SCRESULT CompareRecords(T* a, T* b) override {
        const ASNPkcs15Path* pa = this->GetValuePath(a);
        const ASNPkcs15Path* pb = this->GetValuePath(b);
        if ((pa == nullptr) != (pb == nullptr)) return SC_E_PKCS15_DIFFERENT;
        if (pa && !SCPkcs15PathObjectInfo::ComparePaths(*pa, *pb)) return SC_E_PKCS15_DIFFERENT;
        ASNPkcs15CommonKeyAttributes* ka = ScPkcs15CommonKeyAttributesOf(*a);
        ASNPkcs15CommonKeyAttributes* kb = ScPkcs15CommonKeyAttributesOf(*b);
        if ((ka == nullptr) != (kb == nullptr)) return SC_E_PKCS15_DIFFERENT;
        // Two records without key attributes are the same object only when their paths say so.
        if (!ka) return pa ? 0 : SC_E_PKCS15_DIFFERENT;
        return ka->getKeyReference() == kb->getKeyReference() ? 0 : SC_E_PKCS15_DIFFERENT;
    }

    // A new record of the kind the template names (attribute 1; none: the list's default).
    SCRESULT CreateRecord(const SCPkcs15ObjectAttributeList* tmpl, void** out) override {
        if (out) *out = nullptr;
        uint32_t kind = 0;
        if (tmpl) {
            const SCPkcs15ObjectAttribute* k = tmpl->FindAttribute(p15attr::kKind);
            if (k && !k->GetInteger(&kind)) return SC_E_PKCS15_INVALID_ATTR_VALUE;
        }
        T* rec = nullptr;
        SCRESULT r = CreateKindRecord(kind, &rec);
        if (out) *out = this->HandleOf(rec);
        return r;
    }
    // A new record of a kind appended to the list.
    virtual SCRESULT CreateKindRecord(uint32_t kind, T** out) = 0;
};

// The AODF: PIN objects.
class SCPkcs15AuthObjectList : public SCPkcs15TypedObjectList<ASNPkcs15AuthObject> {
public:
    explicit SCPkcs15AuthObjectList(SCCard* card);
    ~SCPkcs15AuthObjectList() override;

    SCRESULT GetObjectKind(void* handle) override;
    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    SCRESULT IsPrivate(void* handle) override;
    SCRESULT IsReadOnly(void* handle) override;
    // PIN records are told apart by their PIN reference (and path, when they have one).
    SCRESULT CompareRecords(ASNPkcs15AuthObject* a, ASNPkcs15AuthObject* b) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15AuthObject* rec) override;
    // A PIN record is read around where the DF of its PIN lies in another application's DF.
    bool ReadsAround(ASNPkcs15AuthObject* rec, SCPath* at = nullptr) override;

protected:
    bool NamesFiles() const override { return false; }
};
