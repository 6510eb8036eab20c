// Key objects of the discrete-logarithm family (EC, DSA, DH, KEA): the value file
// of a private key, read as one DER INTEGER, together with the key's domain
// parameters. They perform no operation themselves; the private-key directory
// answers the key's attributes from them.
#pragma once

#include <cstdint>

#include "lib/libasn/asnint.h"
#include "pkcs15/scpkcs15keyobject.h"

class ECDomainParameters;

class SCPkcs15DsaKeyObject : public SCPkcs15KeyObject {
public:
    // Key type KEY_EC .. KEY_KEA (or KEY_NONE); parameters may be null. IsComplete
    // tells whether every object needed could be made.
    SCPkcs15DsaKeyObject(SCCard* card, int32_t keyType, const ASNobject* parameters);
    ~SCPkcs15DsaKeyObject() override;

    SCRESULT Load(bool force) override;
    SCRESULT Parse(MemFile* in, uint32_t len) override;
    void ClearContents() override;
    SCRESULT Encode(MemFile* out) override;
    // With full, the key value and the parameters go too and the key type becomes none.
    void Reset(bool full) override;

    // Reading a key held as a card key object: not offered (SC_E_INVALID_FILE_TYPE).
    virtual SCRESULT ReadCardKey();
    // 1 when the objects the type needs exist (a changed type starts empty); 0 otherwise.
    virtual int SetKeyType(int32_t keyType);
    // Converts the parameters into the type's parameter object (null deletes them); 1 or 0.
    virtual int SetDomainParameters(const ASNobject* parameters);
    // Converts the value into the key value INTEGER (null deletes it); 1 or 0.
    virtual int SetKeyValue(const ASNobject* value);

    ASNobject* GetDomainParameters() const { return m_params; }
    // The parameters of an EC key; null for the other types.
    ECDomainParameters* GetEcParameters() const;
    ASNinteger* GetKeyValue() const { return m_value; }
    // The key value converted into out; 1, or 0 without a value or when it does not convert.
    int CopyKeyValueTo(ASNobject& out) const;
    bool IsComplete() const { return m_complete; }

protected:
    ASNobject* m_params;
    ASNinteger* m_value;
    bool m_complete;
};

// The private key of the family: it always holds a key value INTEGER.
class SCPkcs15PrivateDsaKeyObject : public SCPkcs15DsaKeyObject {
public:
    SCPkcs15PrivateDsaKeyObject(SCCard* card, int32_t keyType, const ASNobject* parameters);
    ~SCPkcs15PrivateDsaKeyObject() override;

    int SetKeyType(int32_t keyType) override;

    void SetRecord(void* record) { m_record = record; }
    void* GetRecord() const { return m_record; }

private:
    void* m_record;
};
