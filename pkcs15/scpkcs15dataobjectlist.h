// Data-object directory (DODF) and the file object that holds a data object's
// octets as they are.
#pragma once

#include <cstdint>

#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "support/memfile.h"

// A data object's value file: the octets are never interpreted.
class SCPkcs15BinaryDataObject : public SCPkcs15PathObjectInfo {
public:
    SCPkcs15BinaryDataObject();
    ~SCPkcs15BinaryDataObject() override;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override;

    // Replaces the contents (null or 0 octets: empty) and marks the file to be written.
    SCRESULT SetContents(const uint8_t* data, uint32_t len);
    const uint8_t* GetContents(uint32_t* len) const;

private:
    MemFile m_contents;
    uint32_t m_word;
};

class SCPkcs15DataObjectList : public SCPkcs15TypedObjectList<ASNPkcs15DataObject> {
public:
    explicit SCPkcs15DataObjectList(SCCard* card);
    ~SCPkcs15DataObjectList() override;

    using SCPkcs15TypedObjectList<ASNPkcs15DataObject>::GetValueObject;

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    // By the record's choice: P15_KIND_OPAQUE_DATA, P15_KIND_EXTERNAL_DATA or P15_KIND_OID_DATA.
    SCRESULT GetObjectKind(void* handle) override;
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) override;
    SCRESULT IsPrivate(void* handle) override;
    SCRESULT IsReadOnly(void* handle) override;
    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15DataObject* rec) override;
    ASNPkcs15ObjectValue<ASNany>* ValueOf(ASNPkcs15DataObject* rec) override;
    SCRESULT MapAttributeType(uint64_t code) override;

    SCRESULT SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                    const SCFileHeaderList& profile);
    SCRESULT CreateValueObject(void* record);
    SCRESULT AllocateValuePath(void* record, const ASNPkcs15Path* path);
    // Commits a record whose value may have changed (CommitObject otherwise). A value
    // that one command cannot write in place goes to a new file made with these
    // parameters; the record then names it (the committing write), and the old file
    // goes last. A failure leaves the old value named, and the value object as the
    // record the caller puts back names it.
    SCRESULT CommitValueChange(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                               const SCFileHeaderList& profile);

private:
    static SCRESULT RecordHook(ASNPkcs15DataObject* record);
};
