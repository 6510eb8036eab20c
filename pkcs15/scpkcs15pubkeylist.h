// Public-key directories (PuKDF and trusted public keys): records of RSA public
// keys whose value stands in the record (a raw key or a subject public key info)
// or in a value file read and written by a public RSA key object.
#pragma once

#include <cstdint>

#include "keys/rsapukey.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "pkcs15/scpkcs15objectlist.h"

class SCPkcs15PublicRsaKeyObject;

typedef ASNPkcs15PublicRSAKeyObject ASNPkcs15PublicKeyRecord;

class SCPkcs15PublicKeyList : public SCPkcs15KeyList<ASNPkcs15PublicKeyRecord> {
public:
    typedef SCPkcs15KeyList<ASNPkcs15PublicKeyRecord> Base;

    explicit SCPkcs15PublicKeyList(SCCard* card, bool trusted = false);
    ~SCPkcs15PublicKeyList() override;

    using Base::GetValueObject;

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    // Every record is an RSA public key: P15_KIND_RSA_PUBLIC_KEY.
    SCRESULT GetObjectKind(void* handle) override;
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) override;
    // A record without object flags is not private.
    SCRESULT IsPrivate(void* handle) override;
    // True when the record may not be written: its flags say so, or the directory
    // file or the value file may not be written with the PIN that guards them.
    SCRESULT IsReadOnly(void* handle) override;
    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override;
    SCRESULT CreateKindRecord(uint32_t kind, ASNPkcs15PublicKeyRecord** out) override;
    void Reset(bool full) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15PublicKeyRecord* rec) override;
    SCRESULT MapAttributeType(uint64_t code) override;

    // Creates and attaches the key object of a record with a value file; 0 when it has one.
    SCRESULT CreateKeyObject(void* record);
    // Prepares the value file of a new public key: the value becomes a path to a new
    // file under the directory that holds this one (from 0x7000), to be created with
    // these parameters.
    SCRESULT SetValueFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                    const SCFileHeaderList& refs);
    // With a path: the record's value and the key object take it; without: a free file
    // identifier is allocated. SC_E_BAD_USAGE for a record without a value file object.
    SCRESULT SetValuePath(void* record, const SCPath* path);
    // The key object of a record with a value file, loaded once (a denial is retried).
    SCRESULT GetKeyObject(void* record, SCPkcs15PublicRsaKeyObject** out);

private:
    // The record's RSA public key (its own, or its key object's) and its access flags word.
    SCRESULT GetPublicKey(ASNPkcs15PublicKeyRecord* rec, RSAPublicKey** key, uint32_t* accessFlags);
    SCRESULT SetPublicValue(ASNPkcs15PublicKeyRecord* rec, uint64_t code, const SCPkcs15ObjectAttribute* attr);
};
