// Secret-key directory (SKDF): records of secret keys whose value stands in the
// record or in a value file of its own (one DER OCTET STRING), read and written
// by a secret key object.
#pragma once

#include <cstdint>

#include "lib/libasn/asnocstr.h"
#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "pkcs15/scpkcs15objectlist.h"

inline ASNPkcs15CommonObjectAttributes* ScPkcs15CommonAttributesOf(ASNPkcs15SecretKeyType& rec) {
    return rec.getCommonObjectAttributes();
}
inline ASNPkcs15CommonKeyAttributes* ScPkcs15CommonKeyAttributesOf(ASNPkcs15SecretKeyType& rec) {
    return rec.getCommonKeyAttributes();
}

// The value file of one secret key.
class SCPkcs15SecretKeyObject : public SCPkcs15PathObjectInfo {
public:
    explicit SCPkcs15SecretKeyObject(SCCard* card);
    ~SCPkcs15SecretKeyObject() override;

    // A parsed file makes the value known, with its length in bits.
    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    void Reset(bool full) override;

    // Takes new key bytes (to be written); 0 or SC_E_NO_MEMORY (nothing changed then).
    SCRESULT SetValue(const uint8_t* data, uint32_t len);
    bool IsValueKnown() const { return m_valueKnown != 0; }
    uint64_t GetKeyLength() const { return m_keyLength; }
    const ASNoctstr& GetValue() const { return m_value; }
    void SetRecord(void* record) { m_record = record; }
    void* GetRecord() const { return m_record; }

private:
    ASNoctstr m_value;
    uint8_t m_valueKnown;
    uint64_t m_keyLength;
    void* m_record;
};

class SCPkcs15SecretKeyList : public SCPkcs15KeyList<ASNPkcs15SecretKeyType> {
public:
    typedef SCPkcs15KeyList<ASNPkcs15SecretKeyType> Base;

    explicit SCPkcs15SecretKeyList(SCCard* card);
    ~SCPkcs15SecretKeyList() override;

    using Base::GetValueObject;

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    SCRESULT GetObjectKind(void* handle) override;
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) override;
    SCRESULT IsPrivate(void* handle) override;
    SCRESULT IsReadOnly(void* handle) override;
    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override;
    // A new record of a secret-key kind (0, P15_KIND_SECRET_KEY, or that with an algorithm 1 .. 15).
    SCRESULT CreateKindRecord(uint32_t kind, ASNPkcs15SecretKeyType** out) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15SecretKeyType* rec) override;
    SCRESULT MapAttributeType(uint64_t code) override;

    SCRESULT CreateValueObject(void* record);
    // Prepares the value file of a new key: a free file under the directory that
    // holds this one, to be created with these parameters.
    SCRESULT SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                    const SCFileHeaderList& refs);

    // The kind code of a record (P15_KIND_SECRET_KEY for the generic secret key).
    static uint32_t KindOf(ASNPkcs15SecretKeyType* rec);
};
