#include "lib/libpkcs15/asnpkcs15secretkey.h"

#include <new>
#include <stdexcept>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

// ---------------------------------------------------------------------------
// Generic secret-key attributes

ASNPkcs15GenericSecretKeyAttributes::ASNPkcs15GenericSecretKeyAttributes(uint32_t t) : ASNsequenceF(t), value(0) {}

ASNPkcs15GenericSecretKeyAttributes::ASNPkcs15GenericSecretKeyAttributes(const ASNPkcs15GenericSecretKeyAttributes& o)
    : ASNsequenceF(o), value(o.value) {}

ASNPkcs15GenericSecretKeyAttributes::~ASNPkcs15GenericSecretKeyAttributes() = default;

int ASNPkcs15GenericSecretKeyAttributes::read_contents(GenericFile* src, long len) {
    clear();
    long r = value.read(src, len, 0);
    if (r < 1) return static_cast<int>(r);
    return r == len ? 1 : 0;
}

int ASNPkcs15GenericSecretKeyAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMember(value, dst);
}

long ASNPkcs15GenericSecretKeyAttributes::lenOfBody() const { return value.lenOfObject(); }

void ASNPkcs15GenericSecretKeyAttributes::digest_contents(QvHash* hash) const { value.digestObject(hash); }

void ASNPkcs15GenericSecretKeyAttributes::clear() { value.clear(); }

ASNPkcs15GenericSecretKeyAttributes& ASNPkcs15GenericSecretKeyAttributes::operator=(
    const ASNPkcs15GenericSecretKeyAttributes& o) {
    if (this != &o) value = o.value;
    return *this;
}

// ---------------------------------------------------------------------------
// Key type and attributes: generic key attributes, other key

template <class A>
ASNPkcs15KeyTypeAndAttributes<A>::ASNPkcs15KeyTypeAndAttributes(uint32_t t, uint32_t attributesTag)
    : ASNsequenceF(t), keyType(0x06), keyAttr(attributesTag) {}

template <class A>
ASNPkcs15KeyTypeAndAttributes<A>::ASNPkcs15KeyTypeAndAttributes(const ASNPkcs15KeyTypeAndAttributes& o)
    : ASNsequenceF(o), keyType(o.keyType), keyAttr(o.keyAttr) {}

template <class A>
ASNPkcs15KeyTypeAndAttributes<A>::~ASNPkcs15KeyTypeAndAttributes() = default;

template <class A>
int ASNPkcs15KeyTypeAndAttributes<A>::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = keyType.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    long r = consumed < len ? keyAttr.read(src, len - consumed, 0) : 0;
    if (r < 1) return static_cast<int>(r);
    return consumed + r == len ? 1 : 0;
}

template <class A>
int ASNPkcs15KeyTypeAndAttributes<A>::write_contents(GenericFile* dst) const {
    int r = asnp15::writeMember(keyType, dst);
    return r == 1 ? asnp15::writeMember(keyAttr, dst) : r;
}

template <class A>
long ASNPkcs15KeyTypeAndAttributes<A>::lenOfBody() const {
    return keyType.lenOfObject() + keyAttr.lenOfObject();
}

template <class A>
void ASNPkcs15KeyTypeAndAttributes<A>::digest_contents(QvHash* hash) const {
    keyType.digestObject(hash);
    keyAttr.digestObject(hash);
}

template <class A>
void ASNPkcs15KeyTypeAndAttributes<A>::clear() {
    keyType.clear();
    keyAttr.clear();
}

template <class A>
ASNPkcs15KeyTypeAndAttributes<A>& ASNPkcs15KeyTypeAndAttributes<A>::operator=(const ASNPkcs15KeyTypeAndAttributes& o) {
    if (this != &o) {
        keyType = o.keyType;
        keyAttr = o.keyAttr;
    }
    return *this;
}

template class ASNPkcs15KeyTypeAndAttributes<ASNPkcs15ObjectValue<ASNoctstr>>;
template class ASNPkcs15KeyTypeAndAttributes<ASNPkcs15SecretKeyObject<ASNPkcs15GenericSecretKeyAttributes>>;

ASNPkcs15GenericKeyAttributes::ASNPkcs15GenericKeyAttributes(uint32_t t) : ASNPkcs15KeyTypeAndAttributes(t, 0) {}

ASNPkcs15OtherKey::ASNPkcs15OtherKey(uint32_t t) : ASNPkcs15KeyTypeAndAttributes(0x30, 0x30) {
    if (t != 0) {
        tag = static_cast<uint8_t>(t | ASN_CONSTRUCTED);
        if ((tag & ASN_CLASS_MASK) != 0) flags |= ASN_FLAG_CLASSTAG;
    }
}

// ---------------------------------------------------------------------------
// Data-object attributes

ASNPkcs15DataObjectAttributes& ASNPkcs15DataObjectAttributes::operator=(const ASNobject& other) {
    if (convertFrom(other) != 1) throw std::bad_alloc();
    return *this;
}

// ---------------------------------------------------------------------------
// Secret-key record

namespace {

struct AlgorithmRow {
    uint8_t identifier;
    const char* defaultOid;
};

// Index 0 generic, 1..14 the tagged alternatives [0]..[13], 15 AES as otherKey.
const AlgorithmRow kAlgorithms[16] = {
    {0x30, nullptr}, {0xA0, "1.2.840.113549.3.3"}, {0xA1, nullptr}, {0xA2, "1.3.14.3.2.6"},
    {0xA3, nullptr}, {0xA4, "1.0.18033.3.1.1"},     {0xA5, nullptr}, {0xA6, nullptr},
    {0xA7, nullptr}, {0xA8, nullptr},               {0xA9, nullptr}, {0xAA, nullptr},
    {0xAB, nullptr}, {0xAC, nullptr},               {0xAD, nullptr}, {0xAE, "1.0.18033.3.2.1"}};

struct OidRow {
    const char* oid;
    int algorithm;
};

const OidRow kOids[] = {
    {"1.0.18033.3.2.1", 15},        {"2.16.840.1.101.3.4.1.2", 15}, {"2.16.840.1.101.3.4.1.22", 15},
    {"2.16.840.1.101.3.4.1.42", 15}, {"1.0.18033.3.1.1", 5},         {"1.2.840.113549.3.7", 5},
    {"1.2.840.113549.1.12.1.3", 5}, {"1.2.840.113549.3.3", 1},      {"1.2.840.113549.3.2", 1},
    {"1.2.840.113549.1.12.1.6", 1}, {"1.3.14.3.2.6", 3},            {"1.3.14.3.2.7", 3}};

const char* kNotCalled[3] = {
    "ASNPkcs15SecretKeyType::read_contents(): FUNKCJA NIE POWINNA BYĆ WYWOŁYWANA",
    "ASNPkcs15SecretKeyType::write_contents(): FUNKCJA NIE POWINNA BYĆ WYWOŁYWANA",
    "ASNPkcs15SecretKeyType::lenOfBody(): FUNKCJA NIE POWINNA BYĆ WYWOŁYWANA"};

void setGenericIdentifier(ASNobject& m, uint8_t id) {
    m.tag = id;
    if ((id & ASN_CLASS_MASK) != 0)
        m.flags |= ASN_FLAG_CLASSTAG;
    else
        m.flags &= ~ASN_FLAG_CLASSTAG;
}

}  // namespace

ASNPkcs15SecretKeyType::ASNPkcs15SecretKeyType(uint32_t t)
    : ASNobject((t & ASN_CLASS_MASK) != 0 ? ((t & 0xFF) | ASN_CONSTRUCTED) : 0x30),
      genericSecretKey((t & ASN_CLASS_MASK) != 0 ? t : 0x30), otherKey(0xAE), genericKey(0xAF),
      selector(static_cast<uint8_t>(t) == 0xAE ? kOtherKey : kGenericSecretKey) {
    flags |= ASN_FLAG_CONSTR;
}

ASNPkcs15SecretKeyType::ASNPkcs15SecretKeyType(const ASNPkcs15SecretKeyType& o)
    : ASNobject(o), genericSecretKey(o.genericSecretKey), otherKey(o.otherKey), genericKey(o.genericKey),
      selector(o.selector) {}

ASNPkcs15SecretKeyType::~ASNPkcs15SecretKeyType() = default;

ASNobject* ASNPkcs15SecretKeyType::getChosenObject() {
    switch (selector) {
        case kGenericSecretKey: return &genericSecretKey;
        case kOtherKey: return &otherKey;
        case kGenericKey: return &genericKey;
        default: return nullptr;
    }
}

const ASNobject* ASNPkcs15SecretKeyType::getChosenObject() const {
    return const_cast<ASNPkcs15SecretKeyType*>(this)->getChosenObject();
}

long ASNPkcs15SecretKeyType::read(GenericFile* src, long maxLen, uint8_t rflags) {
    if (src == nullptr) return EASN_FILE;
    maxLen = boundLength(src, maxLen);
    if (maxLen < 2) return 0;
    int64_t pos = src->Tell();
    uint8_t id = 0;
    size_t got = 0;
    if (pos < 0 || src->Read(1, &id, &got) != 0 || got != 1 || src->Seek(static_cast<long>(pos)) != 0)
        return EASN_FILE;
    rflags &= ASN_FLAG_CONST | ASN_FLAG_COPY;
    long r;
    if (id == 0x30 || (id >= 0xA0 && id <= 0xAD)) {
        setGenericIdentifier(genericSecretKey, id);
        r = genericSecretKey.read(src, maxLen, rflags);
        selector = kGenericSecretKey;
    } else if (id == 0xAE) {
        ASNany el(TAG_ANY);
        r = el.read(src, maxLen, 0);
        if (r < 1) return r;
        int a = otherKey.assign(el);
        selector = kOtherKey;
        if (a == 0) {
            a = genericKey.assign(el);
            selector = kGenericKey;
        }
        if (a != 1) return a;
    } else if (id == 0xAF) {
        r = genericKey.read(src, maxLen, rflags);
        selector = kGenericKey;
    } else {
        return 0;
    }
    return r;
}

int ASNPkcs15SecretKeyType::assign(const ASNany& anyObj) {
    uint8_t id = anyObj.tag;
    if (id == 0x30 || (id >= 0xA0 && id <= 0xAD)) {
        setGenericIdentifier(genericSecretKey, id);
        selector = kGenericSecretKey;
        return genericSecretKey.assign(anyObj);
    }
    if (id == 0xAE) {
        selector = kOtherKey;
        int a = otherKey.assign(anyObj);
        if (a == 0) {
            selector = kGenericKey;
            a = genericKey.assign(anyObj);
        }
        return a;
    }
    if (id == 0xAF) {
        selector = kGenericKey;
        return genericKey.assign(anyObj);
    }
    return 0;
}

long ASNPkcs15SecretKeyType::write(GenericFile* dst) const {
    const ASNobject* obj = getChosenObject();
    AssertInvariant(obj != nullptr, "asnpkcs15secretkeytype", 300, "obj", "Nie wybrano obiektu");
    return obj->write(dst);
}

long ASNPkcs15SecretKeyType::lenOfObject() const {
    const ASNobject* obj = getChosenObject();
    AssertInvariant(obj != nullptr, "asnpkcs15secretkeytype", 320, "obj", "Nie wybrano obiektu");
    return obj->lenOfObject();
}

void ASNPkcs15SecretKeyType::digestChosen(QvHash* hash) const {
    const ASNobject* obj = getChosenObject();
    AssertInvariant(obj != nullptr, "asnpkcs15secretkeytype", 340, "obj", "Nie wybrano obiektu");
    obj->digestObject(hash);
}

void ASNPkcs15SecretKeyType::clear() {
    selector = tag == 0xAF ? kGenericKey : tag == 0xAE ? kOtherKey : kGenericSecretKey;
    genericSecretKey.clear();
    otherKey.clear();
    genericKey.clear();
}

int ASNPkcs15SecretKeyType::read_contents(GenericFile*, long) {
    AssertInvariant(0, "asnpkcs15secretkeytype", 360, "0", kNotCalled[0]);
    return 0;
}

int ASNPkcs15SecretKeyType::write_contents(GenericFile*) const {
    AssertInvariant(0, "asnpkcs15secretkeytype", 366, "0", kNotCalled[1]);
    return 0;
}

long ASNPkcs15SecretKeyType::lenOfBody() const {
    AssertInvariant(0, "asnpkcs15secretkeytype", 372, "0", kNotCalled[2]);
    return 0;
}

ASNPkcs15CommonObjectAttributes* ASNPkcs15SecretKeyType::getCommonObjectAttributes() {
    switch (selector) {
        case kGenericSecretKey: return &genericSecretKey.commonObjectAttributes;
        case kOtherKey: return &otherKey.keyAttr.commonObjectAttributes;
        case kGenericKey: return &genericKey.commonObjectAttributes;
        default: return nullptr;
    }
}

ASNPkcs15CommonKeyAttributes* ASNPkcs15SecretKeyType::getCommonKeyAttributes() {
    switch (selector) {
        case kGenericSecretKey: return &genericSecretKey.classAttributes;
        case kOtherKey: return &otherKey.keyAttr.classAttributes;
        case kGenericKey: return &genericKey.classAttributes;
        default: return nullptr;
    }
}

ASNPkcs15CommonSecretKeyAttributes* ASNPkcs15SecretKeyType::getCommonSecretKeyAttributes() {
    switch (selector) {
        case kGenericSecretKey:
            return genericSecretKey.wasSubClassAttributes ? &genericSecretKey.subClassAttributes : nullptr;
        case kOtherKey:
            return otherKey.keyAttr.wasSubClassAttributes ? &otherKey.keyAttr.subClassAttributes : nullptr;
        case kGenericKey:
            return genericKey.wasSubClassAttributes ? &genericKey.subClassAttributes : nullptr;
        default: return nullptr;
    }
}

ASNPkcs15ObjectValue<ASNoctstr>* ASNPkcs15SecretKeyType::getValue() {
    switch (selector) {
        case kGenericSecretKey: return &genericSecretKey.typeAttributes.value;
        case kOtherKey: return &otherKey.keyAttr.typeAttributes.value;
        case kGenericKey: return &genericKey.typeAttributes.keyAttr;
        default: return nullptr;
    }
}

ASNobjectId* ASNPkcs15SecretKeyType::getKeyType() {
    if (selector == kOtherKey) return &otherKey.keyType;
    if (selector == kGenericKey) return &genericKey.typeAttributes.keyType;
    return nullptr;
}

int ASNPkcs15SecretKeyType::algorithmFromOid(const ASNobjectId& oid) {
    for (const OidRow& r : kOids)
        if (oid.isEqual(r.oid)) return r.algorithm;
    return -1;
}

int ASNPkcs15SecretKeyType::algorithmFromOid(const char* dottedText) {
    if (dottedText == nullptr) return -1;
    ASNobjectId oid(0x06);
    if (oid.setText(dottedText) != 1) return -1;
    return algorithmFromOid(oid);
}

int ASNPkcs15SecretKeyType::getKeyAlgorithm() {
    if (selector == kGenericSecretKey) {
        uint8_t id = genericSecretKey.tag;
        if (id == 0x30) return 0;
        if ((id & 0xE0) == 0xA0 && (id & 0x1F) < 14) return (id & 0x1F) + 1;
        return -1;
    }
    if (selector == kOtherKey || selector == kGenericKey) {
        ASNobjectId* t = getKeyType();
        return t != nullptr && t->getLength() > 0 ? algorithmFromOid(*t) : -1;
    }
    return -1;
}

long ASNPkcs15SecretKeyType::getKeyBits() {
    ASNPkcs15CommonSecretKeyAttributes* sub = getCommonSecretKeyAttributes();
    if (sub == nullptr) return 0;
    if (sub->wasKeyLen) {
        try {
            return sub->keyLen.getLong();
        } catch (const std::exception&) {
            return 0;
        }
    }
    ASNPkcs15ObjectValue<ASNoctstr>* v = getValue();
    if (v != nullptr && v->getDirect() != nullptr) return 8 * v->direct.getLength();
    switch (getKeyAlgorithm()) {
        case 3: return 64;
        case 4: return 128;
        case 5: return 192;
        case 10: return 128;
        case 11: return 96;
        case 12: return 320;
        case 13: return 320;
        default: return 0;
    }
}

int ASNPkcs15SecretKeyType::chooseFor(uint32_t algorithm, int mode) {
    if (algorithm > 15) return 0;
    const AlgorithmRow& row = kAlgorithms[algorithm];
    bool hasOid = row.defaultOid != nullptr;
    uint32_t sel;
    if (mode == -1)
        sel = hasOid ? kOtherKey : kGenericSecretKey;
    else if ((mode == 1 || mode == 2) && hasOid)
        sel = static_cast<uint32_t>(mode);
    else if (mode == 0 && algorithm != 15)
        sel = kGenericSecretKey;
    else
        return 0;
    selector = sel;
    // The identifier or key type is stored, so the algorithm reads back after a
    // decode of what is written.
    if (sel == kGenericSecretKey) {
        setGenericIdentifier(genericSecretKey, row.identifier);
    } else {
        ASNobjectId* t = getKeyType();
        if (t->setText(row.defaultOid) != 1) return 0;
    }
    return 1;
}

int ASNPkcs15SecretKeyType::setDirectValue(uint32_t algorithm, int mode, const uint8_t* data, long len) {
    if (chooseFor(algorithm, mode) != 1) return 0;
    ASNPkcs15ObjectValue<ASNoctstr>* v = getValue();
    if (v->direct.set(data, len < 0 ? 0 : len) != 1) return 0;
    v->chooseByIndex(1);
    return 1;
}

int ASNPkcs15SecretKeyType::setPathValue(uint32_t algorithm, int mode, const ASNPkcs15Path* path) {
    if (chooseFor(algorithm, mode) != 1) return 0;
    ASNPkcs15ObjectValue<ASNoctstr>* v = getValue();
    v->chooseByIndex(0);
    if (path != nullptr)
        v->indirect = *path;
    else
        v->indirect.clear();
    return 1;
}

int ASNPkcs15SecretKeyType::setOtherKeyValue(const ASNobjectId& keyType, const uint8_t* data, long len) {
    selector = kOtherKey;
    otherKey.keyType = keyType;
    ASNPkcs15ObjectValue<ASNoctstr>& v = otherKey.keyAttr.typeAttributes.value;
    if (v.direct.set(data, len < 0 ? 0 : len) != 1) return 0;
    v.chooseByIndex(1);
    return 1;
}

int ASNPkcs15SecretKeyType::setOtherKeyValue(const char* keyType, const uint8_t* data, long len) {
    ASNobjectId oid(0x06);
    if (keyType == nullptr || oid.setText(keyType) != 1) return 0;
    return setOtherKeyValue(oid, data, len);
}

int ASNPkcs15SecretKeyType::setOtherKeyPath(const ASNobjectId& keyType, const ASNPkcs15Path* path) {
    selector = kOtherKey;
    otherKey.keyType = keyType;
    ASNPkcs15ObjectValue<ASNoctstr>& v = otherKey.keyAttr.typeAttributes.value;
    v.chooseByIndex(0);
    if (path != nullptr)
        v.indirect = *path;
    else
        v.indirect.clear();
    return 1;
}

int ASNPkcs15SecretKeyType::setOtherKeyPath(const char* keyType, const ASNPkcs15Path* path) {
    ASNobjectId oid(0x06);
    if (keyType == nullptr || oid.setText(keyType) != 1) return 0;
    return setOtherKeyPath(oid, path);
}

ASNPkcs15SecretKeyType& ASNPkcs15SecretKeyType::operator=(const ASNPkcs15SecretKeyType& o) {
    if (this == &o) return *this;
    std::vector<uint8_t> b;
    if (o.encodeToVector(b) < 1) throw std::bad_alloc();
    if (readVector(b) != static_cast<long>(b.size())) throw std::bad_alloc();
    return *this;
}
