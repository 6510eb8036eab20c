// Private-key directory (PrKDF): records of RSA, EC, DH, DSA and KEA private
// keys, the key value object of each record (an RSA key object or a key object
// of the DSA family), the key attributes with their fall-backs (the key itself,
// its key identifiers, the matching public key, the matching certificate), and
// the two private-key operations: signing and decryption.
#pragma once

#include <cstdint>

#include "keys/rsapukey.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "pkcs15/scpkcs15objectlist.h"

class SCPkcs15KeyObject;
class SCPkcs15PrivateRsaKeyObject;
class SCPkcs15PrivateDsaKeyObject;

// The attributes of the chosen key of a PrKDF record (null when none is chosen).
inline ASNPkcs15CommonObjectAttributes* ScPkcs15CommonAttributesOf(ASNPkcs15PrivateKeyType& rec) {
    return rec.findCommonObjectAttributes();
}
inline ASNPkcs15CommonKeyAttributes* ScPkcs15CommonKeyAttributesOf(ASNPkcs15PrivateKeyType& rec) {
    return rec.findCommonKeyAttributes();
}

class SCPkcs15PrivateKeyList : public SCPkcs15KeyList<ASNPkcs15PrivateKeyType> {
public:
    typedef SCPkcs15KeyList<ASNPkcs15PrivateKeyType> Base;

    explicit SCPkcs15PrivateKeyList(SCCard* card);
    ~SCPkcs15PrivateKeyList() override;

    using Base::DeleteObject;
    using Base::GetValueObject;

    SCRESULT GetAttribute(void* handle, SCPkcs15ObjectAttribute* attr) override;
    // P15_KIND_RSA_PRIVATE_KEY, _DSA_, _DH_, _EC_ or _KEA_ by the record's choice.
    SCRESULT GetObjectKind(void* handle) override;
    // The key object of a record whose value is a path (created when asked); none
    // for a value held in the record.
    SCRESULT GetValueObject(void* record, SCPkcs15PathObjectInfo** out, bool create) override;
    // A record without object flags is private.
    SCRESULT IsPrivate(void* handle) override;
    SCRESULT IsReadOnly(void* handle) override;
    SCRESULT SetAttribute(void* handle, const SCPkcs15ObjectAttribute* attr) override;
    // A new record of a kind (0, the private-key class or one of its algorithms).
    SCRESULT CreateKindRecord(uint32_t kind, ASNPkcs15PrivateKeyType** out) override;
    SCRESULT Sign(void* handle, uint32_t mechanism, uint32_t hashId, const uint8_t* data, uint32_t dataLen,
                  uint8_t* out, uint32_t* outLen) override;
    SCRESULT Decrypt(void* handle, uint32_t mechanism, const uint8_t* in, uint32_t inLen, uint8_t* out,
                     uint32_t* outLen) override;
    const ASNPkcs15Path* GetValuePath(ASNPkcs15PrivateKeyType* rec) override;
    SCRESULT MapAttributeType(uint64_t code) override;

    // Creates and attaches the key object of a record; 0 when it has one.
    SCRESULT CreateKeyObject(void* record);
    // The loaded key object of an RSA record (other kinds: SC_E_PKCS15_INVALID_ATTR_VALUE)
    // or of a DSA-family record (other kinds: SC_E_PKCS15_KEY_UNSUPPORTED).
    SCRESULT GetKeyObject(void* record, SCPkcs15PrivateRsaKeyObject** out);
    SCRESULT GetDsaKeyObject(void* record, SCPkcs15PrivateDsaKeyObject** out);
    // The RSA value attributes of a record (modulus, exponents, primes, access flags,
    // public key and key identifier) with their fall-backs.
    SCRESULT GetKeyValueAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    // The private-key attributes (p15attr::kPrivateSubject .. kPrivatePublicPart) of a record.
    SCRESULT SetKeyAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code, const SCPkcs15ObjectAttribute* attr);

    // Key files of new keys: the record's value becomes a path to a new key file (or
    // to the key's DF when the card addresses keys by reference), with a key reference
    // where the card names the key by one, its key object is made with these creation
    // parameters and marked to be written.
    SCRESULT SetKeyFileParameters(void* record, uint32_t lifeCycleState, uint32_t accessTemplate,
                                  const SCFileHeaderList& refs);
    // A key whose file exists already: the record names it and its key object reads it.
    SCRESULT AttachKeyFile(void* record, const uint16_t* path, uint16_t count);
    // Gives the record's key object its place: mode 0 finds a free key reference (without
    // a path the key becomes an object of the first DF, from this directory's own, that
    // has one), 255 means no reference, another mode is the reference itself; without a
    // path and with a mode other than 0 a free file (from 6000) is allocated under the
    // directory that holds this one.
    SCRESULT AssignKeyFile(void* record, const SCPath* path, uint32_t mode);
    // The card answered that it holds a key at the file or reference chosen for this
    // new record (one that no record names: left by a cut call, or another
    // application's): the record takes the next free file or reference after it, as
    // its first place was chosen. The card's key is never replaced.
    SCRESULT PassOverKeyOfTheCard(void* record);

    // The RSA public key of a record as far as it is known without a card command
    // (the record's own value, a key object already loaded, the public-key identifier).
    bool KnownPublicKey(ASNPkcs15PrivateKeyType* rec, RSAPublicKey* out);

    // Object kind of a record kind (0 RSA .. 4 KEA); 0 for another.
    static uint32_t KindCode(uint32_t chosen);

private:
    // Where the card keeps a new key of a record: in a file of its own without a
    // reference, in a file of its own named by a reference of its DF, or as an object
    // of a DF named by a reference there.
    enum class KeyPlace { kFile, kFileWithReference, kReferenceInDf };
    KeyPlace PlaceOf(ASNPkcs15PrivateKeyType* rec);
    // The absolute path of the DF that holds this directory file and the key files of
    // new keys; false when there is none.
    bool KeyFileDirectory(SCPath* dir);
    // The first DF from *search on (its last identifier raised, or 6000 appended once
    // the references of one run out) with a free key reference not below startRef
    // there (0 in the DFs after it): the DF's path in *search, the reference as result.
    SCRESULT FindReferenceInDf(void* record, SCPath* search, bool appended, int startRef);
    // The record's and the key object's key reference (none for 255 and above).
    static void SetReference(ASNPkcs15CommonKeyAttributes* ka, SCPkcs15KeyObject* key, int ref);
    // The identifier attributes held in the record's key identifiers (type 4 and 9999).
    SCRESULT FromKeyIdentifiers(ASNPkcs15PrivateKeyType* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    // The matching public key's and certificate's answers for a key attribute.
    SCRESULT FromPublicKey(ASNPkcs15PrivateKeyType* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    SCRESULT FromCertificate(ASNPkcs15PrivateKeyType* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    // The DSA-family value attributes (EC and DSA records).
    SCRESULT GetDsaValueAttribute(ASNPkcs15PrivateKeyType* rec, uint64_t code, SCPkcs15ObjectAttribute* attr);
    // Modulus and public exponent through the attribute chain (for the software checks).
    SCRESULT ReadPublicPart(ASNPkcs15PrivateKeyType* rec, ASNinteger* modulus, ASNinteger* exponent);
    // The retry flag of the checks: 0 when userConsent is absent or all ones, else its value
    // (unreadable: left unknown, -1).
    int64_t RetryFlag(void* handle);
};
