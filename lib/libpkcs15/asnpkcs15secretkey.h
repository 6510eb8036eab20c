// PKCS#15 secret-key and data-object type attributes, and the secret-key record
// (SecretKeyType).
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15object.h"
#include "lib/libpkcs15/asnpkcs15objectvalue.h"

class ASNPkcs15GenericSecretKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15GenericSecretKeyAttributes(uint32_t tag = 0);
    ASNPkcs15GenericSecretKeyAttributes(const ASNPkcs15GenericSecretKeyAttributes& other);
    ~ASNPkcs15GenericSecretKeyAttributes() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;
    ASNPkcs15GenericSecretKeyAttributes& operator=(const ASNPkcs15GenericSecretKeyAttributes& other);
    bool operator==(const ASNPkcs15GenericSecretKeyAttributes& other) const { return value == other.value; }

    ASNPkcs15ObjectValue<ASNoctstr> value;
};

// A key-type OID followed by the key's attributes, both mandatory: the generic
// key attributes and the other-key alternative of the secret-key record.
template <class Attributes>
class ASNPkcs15KeyTypeAndAttributes : public ASNsequenceF {
public:
    ASNPkcs15KeyTypeAndAttributes(const ASNPkcs15KeyTypeAndAttributes& other);
    ~ASNPkcs15KeyTypeAndAttributes() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;
    ASNPkcs15KeyTypeAndAttributes& operator=(const ASNPkcs15KeyTypeAndAttributes& other);

    ASNobjectId keyType;
    Attributes keyAttr;

protected:
    ASNPkcs15KeyTypeAndAttributes(uint32_t tag, uint32_t attributesTag);
};

class ASNPkcs15GenericKeyAttributes : public ASNPkcs15KeyTypeAndAttributes<ASNPkcs15ObjectValue<ASNoctstr>> {
public:
    explicit ASNPkcs15GenericKeyAttributes(uint32_t tag = 0);
    bool operator==(const ASNPkcs15GenericKeyAttributes& other) const {
        return keyType == other.keyType && keyAttr == other.keyAttr;
    }
};

template <class T>
class ASNPkcs15SecretKeyObject
    : public ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonSecretKeyAttributes, T> {
public:
    typedef ASNPkcs15Object<ASNPkcs15CommonKeyAttributes, ASNPkcs15CommonSecretKeyAttributes, T> Base;
    explicit ASNPkcs15SecretKeyObject(uint32_t tag = 0) : Base(tag) {}
    ASNPkcs15SecretKeyObject(const ASNPkcs15SecretKeyObject& other) : Base(other) {}
    ~ASNPkcs15SecretKeyObject() override = default;
    ASNPkcs15SecretKeyObject& operator=(const ASNPkcs15SecretKeyObject& other) {
        Base::operator=(other);
        return *this;
    }
};

class ASNPkcs15OtherKey
    : public ASNPkcs15KeyTypeAndAttributes<ASNPkcs15SecretKeyObject<ASNPkcs15GenericSecretKeyAttributes>> {
public:
    // A non-zero tag is used with the constructed bit, whatever its class.
    explicit ASNPkcs15OtherKey(uint32_t tag = 0);
};

// The type attributes of a data object: the object value of an ANY.
class ASNPkcs15DataObjectAttributes : public ASNPkcs15ObjectValue<ASNany> {
public:
    explicit ASNPkcs15DataObjectAttributes(uint32_t tag = 0) : ASNPkcs15ObjectValue<ASNany>(tag) {}
    ASNPkcs15DataObjectAttributes(const ASNPkcs15DataObjectAttributes& other) : ASNPkcs15ObjectValue<ASNany>(other) {}
    ~ASNPkcs15DataObjectAttributes() override = default;
    ASNPkcs15DataObjectAttributes& operator=(const ASNPkcs15DataObjectAttributes& other) {
        ASNPkcs15ObjectValue<ASNany>::operator=(other);
        return *this;
    }
    // Converts any object into this value; throws std::bad_alloc when it does not convert.
    ASNPkcs15DataObjectAttributes& operator=(const ASNobject& other);
};

typedef ASNPkcs15Object<ASNPkcs15CommonDataObjectAttributes, ASNPkcs15Null, ASNPkcs15DataObjectAttributes>
    ASNPkcs15DataObject;

// SecretKeyType: genericSecretKey (0x30, or [0] to [13] for the tagged algorithm
// alternatives), otherKey [14], genericKey [15]; only the chosen one is encoded.
class ASNPkcs15SecretKeyType : public ASNobject {
public:
    enum { kGenericSecretKey = 0, kOtherKey = 1, kGenericKey = 2 };

    explicit ASNPkcs15SecretKeyType(uint32_t tag = 0x30);
    ASNPkcs15SecretKeyType(const ASNPkcs15SecretKeyType& other);
    ~ASNPkcs15SecretKeyType() override;

    long read(GenericFile* src, long maxLen, uint8_t flags = 0) override;
    long write(GenericFile* dst) const override;
    long lenOfObject() const override;
    int assign(const ASNany& anyObj) override;
    void clear() override;
    // The record has no contents of its own.
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    uint8_t defaultTag() const override { return 0x30; }
    void digestObject(QvHash* hash) const override { digestChosen(hash); }
    void digest_contents(QvHash* hash) const override { digestChosen(hash); }
    virtual void digestChosen(QvHash* hash) const;

    ASNobject* getChosenObject();
    const ASNobject* getChosenObject() const;
    ASNPkcs15CommonObjectAttributes* getCommonObjectAttributes();
    ASNPkcs15CommonKeyAttributes* getCommonKeyAttributes();
    ASNPkcs15CommonSecretKeyAttributes* getCommonSecretKeyAttributes();
    ASNPkcs15ObjectValue<ASNoctstr>* getValue();
    ASNobjectId* getKeyType();
    int getKeyAlgorithm();
    long getKeyBits();

    static int algorithmFromOid(const ASNobjectId& oid);
    static int algorithmFromOid(const char* dottedText);

    int setDirectValue(uint32_t algorithm, int mode, const uint8_t* data, long len);
    int setPathValue(uint32_t algorithm, int mode, const ASNPkcs15Path* path);
    int setOtherKeyValue(const ASNobjectId& keyType, const uint8_t* data, long len);
    int setOtherKeyValue(const char* keyType, const uint8_t* data, long len);
    int setOtherKeyPath(const ASNobjectId& keyType, const ASNPkcs15Path* path);
    int setOtherKeyPath(const char* keyType, const ASNPkcs15Path* path);

    // Throws std::bad_alloc when the record does not convert.
    ASNPkcs15SecretKeyType& operator=(const ASNPkcs15SecretKeyType& other);

    ASNPkcs15SecretKeyObject<ASNPkcs15GenericSecretKeyAttributes> genericSecretKey;
    ASNPkcs15OtherKey otherKey;
    ASNPkcs15SecretKeyObject<ASNPkcs15GenericKeyAttributes> genericKey;
    uint32_t selector;

private:
    int chooseFor(uint32_t algorithm, int mode);
};
