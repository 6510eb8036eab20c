// Object directory lists: one directory file (PrKDF, PuKDF, CDF, DODF, AODF,
// SKDF) with its records. The base keeps records it cannot decode raw and
// writes them back unchanged; the authentication-object list decodes PIN
// records, whose addresses are the handles of the application.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"
#include "support/ptrlist.h"

class SCPkcs15ObjectList : public SCPkcs15PathObjectInfo {
public:
    SCPkcs15ObjectList(SCCard* card, uint32_t kind, bool trusted = false);
    ~SCPkcs15ObjectList() override;

    uint32_t GetKind() const { return m_kind; }
    bool IsTrusted() const { return m_trusted; }
    void SetTrusted(bool trusted) { m_trusted = trusted; }

    // Whether the handle is the address of one of this list's records.
    virtual bool HoldsHandle(const void* handle) const;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;

    int GetRawRecordCount() const { return m_rawRecords.GetCount(); }
    // No records at all (decoded or raw).
    virtual bool IsEmpty() const { return m_rawRecords.GetCount() == 0; }

protected:
    // Takes one record of the file; the base keeps it raw. 0 or a failure.
    virtual SCRESULT TakeRecord(const ASNany& record);
    // Writes the decoded records (the raw ones follow them).
    virtual SCRESULT EncodeRecords(MemFile*) { return 0; }

    uint32_t m_kind;
    bool m_trusted;
    TypedPointerList<ASNany> m_rawRecords;
};

// The AODF: PIN objects.
class SCPkcs15AuthObjectList : public SCPkcs15ObjectList {
public:
    explicit SCPkcs15AuthObjectList(SCCard* card);
    ~SCPkcs15AuthObjectList() override;

    bool HoldsHandle(const void* handle) const override;
    void* GetRecordList() override { return &m_records; }
    SCRESULT GetObjectKind(void* handle) override;
    // *handle in: the record after which to go on (null: from the first); out: the match.
    // Templates are matched on the object kind only.
    SCRESULT FindObjects(const SCPkcs15ObjectAttributeList* tmpl, uint32_t* found, void** handle) override;
    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    void ClearContents() override;

    bool IsEmpty() const override { return m_records.GetCount() == 0 && SCPkcs15ObjectList::IsEmpty(); }
    ASNPkcs15AuthObjectList& Records() { return m_records; }
    const ASNPkcs15AuthObjectList& Records() const { return m_records; }

protected:
    SCRESULT TakeRecord(const ASNany& record) override;
    SCRESULT EncodeRecords(MemFile* out) override;

private:
    ASNPkcs15AuthObjectList m_records;
};
