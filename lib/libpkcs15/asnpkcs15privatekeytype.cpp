#include "lib/libpkcs15/asnpkcs15privatekeytype.h"

#include <new>
#include <stdexcept>

#include "support/memfile.h"
#include "support/vtest.h"

namespace {

// 8 times the significant octets of an INTEGER.
long significantBits(const ASNinteger& i) {
    const uint8_t* p = i.getData();
    long n = i.getValueLength();
    while (n > 0 && p != nullptr && *p == 0) {
        p++;
        n--;
    }
    return 8 * n;
}

}  // namespace

// Views of the chosen alternative's members, whatever its key family.
struct ASNPkcs15PrivateKeyType::Parts {
    ASNPkcs15CommonObjectAttributes* coa = nullptr;
    ASNPkcs15CommonKeyAttributes* cka = nullptr;
    ASNPkcs15CommonPrivateKeyAttributes* cpka = nullptr;
    uint8_t* subPresent = nullptr;
    ASNchoice* value = nullptr;       // the ObjectValue
    ASNPkcs15Path* indirect = nullptr;
    ASNobject* direct = nullptr;
    void** keyObject = nullptr;
    ASNchoice* keyInfo = nullptr;
    uint8_t* keyInfoPresent = nullptr;
    ASNinteger* keyInfoReference = nullptr;
    ASNobject* paramsAndOps = nullptr;
    ASNPkcs15Operations* ops = nullptr;
    uint8_t* opsPresent = nullptr;
};

namespace {

template <class Obj, class Parts>
bool fillParts(Obj& o, Parts& p) {
    p.coa = &o.commonObjectAttributes;
    p.cka = &o.classAttributes;
    p.cpka = &o.subClassAttributes;
    p.subPresent = &o.wasSubClassAttributes;
    auto& ka = o.typeAttributes;
    p.value = &ka.value;
    p.indirect = &ka.value.indirect;
    p.direct = &ka.value.direct;
    p.keyObject = &ka.value.keyObject;
    p.keyInfo = &ka.keyInfo;
    p.keyInfoPresent = &ka.wasKeyInfo;
    p.keyInfoReference = &ka.keyInfo.reference;
    p.paramsAndOps = &ka.keyInfo.paramsAndOps;
    p.ops = &ka.keyInfo.paramsAndOps.supportedOperations;
    p.opsPresent = &ka.keyInfo.paramsAndOps.wasSupportedOperations;
    return true;
}

// The domain parameters of a key's attributes when its key information holds them.
template <class KA>
auto* parametersOf(KA& ka) {
    auto& ki = ka.keyInfo;
    return ki.getChosenIndex() == 1 ? &ki.paramsAndOps.parameters : nullptr;
}

}  // namespace

ASNPkcs15PrivateKeyType::ASNPkcs15PrivateKeyType(uint32_t t)
    : ASNchoice(0), privateRSAKey(0x30), privateECKey(0xA0), privateDHKey(0xA1), privateDSAKey(0xA2),
      privateKEAKey(0xA3) {
    uint8_t want = static_cast<uint8_t>(t);
    // Users pass the identifier of an alternative; the CHOICE itself is untagged.
    getObjectList();
    for (int i = 0; m_list[i] != nullptr; i++) {
        if (m_list[i]->tag == want) {
            setChosenObject(m_list[i]);
            return;
        }
    }
}

ASNPkcs15PrivateKeyType* ASNPkcs15PrivateKeyType::createByIndex(uint32_t index) {
    ASNPkcs15PrivateKeyType* k = new ASNPkcs15PrivateKeyType(0x30);
    k->chooseByIndex(index);
    return k;
}

ASNPkcs15PrivateKeyType::ASNPkcs15PrivateKeyType(const ASNPkcs15PrivateKeyType& o)
    : ASNchoice(o), privateRSAKey(o.privateRSAKey), privateECKey(o.privateECKey), privateDHKey(o.privateDHKey),
      privateDSAKey(o.privateDSAKey), privateKEAKey(o.privateKEAKey) {}

ASNPkcs15PrivateKeyType::~ASNPkcs15PrivateKeyType() = default;

ASNobject** ASNPkcs15PrivateKeyType::getObjectList() {
    m_list[0] = &privateRSAKey;
    m_list[1] = &privateECKey;
    m_list[2] = &privateDHKey;
    m_list[3] = &privateDSAKey;
    m_list[4] = &privateKEAKey;
    m_list[5] = nullptr;
    return m_list;
}

void ASNPkcs15PrivateKeyType::clear() {
    ASNchoice::clear();
    chooseByIndex(kRSA);
}

uint32_t ASNPkcs15PrivateKeyType::getChosenIndex() const {
    int i = ASNchoice::getChosenIndex();
    return i < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(i);
}

ASNPkcs15PrivateKeyType& ASNPkcs15PrivateKeyType::operator=(const ASNPkcs15PrivateKeyType& o) {
    if (this != &o) ASNchoice::operator=(o);
    return *this;
}

bool ASNPkcs15PrivateKeyType::operator==(const ASNPkcs15PrivateKeyType& o) const {
    uint32_t a = getChosenIndex();
    if (a != o.getChosenIndex()) return false;
    switch (a) {
        case kRSA: return privateRSAKey == o.privateRSAKey;
        case kEC: return privateECKey == o.privateECKey;
        case kDH: return privateDHKey == o.privateDHKey;
        case kDSA: return privateDSAKey == o.privateDSAKey;
        case kKEA: return privateKEAKey == o.privateKEAKey;
        default: return ASNchoice::operator==(o);
    }
}

bool ASNPkcs15PrivateKeyType::parts(Parts& p) {
    switch (getChosenIndex()) {
        case kRSA: return fillParts(privateRSAKey, p);
        case kEC: return fillParts(privateECKey, p);
        case kDH: return fillParts(privateDHKey, p);
        case kDSA: return fillParts(privateDSAKey, p);
        case kKEA: return fillParts(privateKEAKey, p);
        default: return false;
    }
}

ASNPkcs15CommonObjectAttributes* ASNPkcs15PrivateKeyType::findCommonObjectAttributes() {
    Parts p;
    return parts(p) ? p.coa : nullptr;
}

ASNPkcs15CommonObjectAttributes* ASNPkcs15PrivateKeyType::getCommonObjectAttributes() {
    ASNPkcs15CommonObjectAttributes* attrs = findCommonObjectAttributes();
    AssertInvariant(attrs != nullptr, "asnpkcs15privatekeytype.cpp", 199, "attrs",
                    "ASNPkcs15PrivateKeyType::getCommonObjectAttributes(): nie wybrano obiektu!!!");
    return attrs;
}

ASNPkcs15CommonKeyAttributes* ASNPkcs15PrivateKeyType::findCommonKeyAttributes() {
    Parts p;
    return parts(p) ? p.cka : nullptr;
}

ASNPkcs15CommonKeyAttributes* ASNPkcs15PrivateKeyType::getCommonKeyAttributes() {
    ASNPkcs15CommonKeyAttributes* attrs = findCommonKeyAttributes();
    AssertInvariant(attrs != nullptr, "asnpkcs15privatekeytype.cpp", 224, "attrs",
                    "ASNPkcs15PrivateKeyType::getCommonKeyAttributes(): nie wybrano obiektu!!!");
    return attrs;
}

int ASNPkcs15PrivateKeyType::getKeyReference() { return getCommonKeyAttributes()->getKeyReference(); }

ASNPkcs15CommonPrivateKeyAttributes* ASNPkcs15PrivateKeyType::findCommonPrivateKeyAttributes() {
    Parts p;
    return parts(p) ? p.cpka : nullptr;
}

ASNPkcs15CommonPrivateKeyAttributes* ASNPkcs15PrivateKeyType::getCommonPrivateKeyAttributes() {
    ASNPkcs15CommonPrivateKeyAttributes* attrs = findCommonPrivateKeyAttributes();
    AssertInvariant(attrs != nullptr, "asnpkcs15privatekeytype.cpp", 271, "0",
                    "ASNPkcs15PrivateKeyType::getCommonPrivateKeyAttributes(): nie wybrano obiektu!!!");
    return attrs;
}

int ASNPkcs15PrivateKeyType::hasCommonPrivateKeyAttributes() {
    Parts p;
    return parts(p) ? *p.subPresent : 0;
}

int ASNPkcs15PrivateKeyType::setCommonPrivateKeyAttributesPresent(uint8_t present) {
    Parts p;
    if (!parts(p)) return 0;
    *p.subPresent = present;
    return 1;
}

void* ASNPkcs15PrivateKeyType::getKeyObject() {
    Parts p;
    return parts(p) ? *p.keyObject : nullptr;
}

void ASNPkcs15PrivateKeyType::setKeyObject(void* object) {
    Parts p;
    if (parts(p)) *p.keyObject = object;
}

uint32_t ASNPkcs15PrivateKeyType::getValueChoice() {
    Parts p;
    if (!parts(p)) return 0xFFFFFFFFu;
    int i = p.value->getChosenIndex();
    return i < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(i);
}

void ASNPkcs15PrivateKeyType::setValueChoice(uint32_t index) {
    Parts p;
    if (!parts(p)) return;
    if (index == 0xFFFFFFFFu)
        p.value->setChosenObject(nullptr);
    else
        p.value->chooseByIndex(index);
}

ASNPkcs15Path* ASNPkcs15PrivateKeyType::getValuePath() {
    Parts p;
    if (!parts(p)) return nullptr;
    int i = p.value->getChosenIndex();
    if (i == 0) return p.indirect;
    if (i == 2) return static_cast<ASNPkcs15Path*>(p.value->getObjectList()[2]);
    return nullptr;
}

int ASNPkcs15PrivateKeyType::setValuePath(const ASNPkcs15Path& path) {
    Parts p;
    if (!parts(p)) return 0;
    p.value->chooseByIndex(0);
    *p.indirect = path;
    return 1;
}

int ASNPkcs15PrivateKeyType::setValuePathWords(const uint16_t* words, int count) {
    Parts p;
    if (!parts(p)) return 0;
    p.value->chooseByIndex(0);
    return p.indirect->set(words, count, 0, 0);
}

ASNobject* ASNPkcs15PrivateKeyType::getDirectValue() {
    Parts p;
    if (!parts(p)) return nullptr;
    return p.value->getChosenIndex() == 1 ? p.direct : nullptr;
}

long ASNPkcs15PrivateKeyType::getKeySizeBits() {
    switch (getChosenIndex()) {
        case kRSA: {
            ASNPkcs15PrivateRSAKeyAttributes& a = privateRSAKey.typeAttributes;
            long m;
            try {
                m = a.modulusLength.getLong();
            } catch (const std::exception&) {
                return 0;  // a length no key can have is no key size
            }
            if (m != 0) return m;
            ASNPkcs15RSAPrivateKeyObject* k = getDirectRSAKey();
            return k != nullptr && k->present[0] ? significantBits(k->modulus) : 0;
        }
        case kEC: {
            ASNPkcs15ECParameters* prm = getECParameters();
            if (prm != nullptr) {
                unsigned bits = prm->getFieldSizeBits();
                if (bits != 0) return static_cast<long>(bits);
            }
            ASNinteger* d = getDirectECKey();
            return d != nullptr ? significantBits(*d) : 0;
        }
        case kDH:
        case kDSA: {
            ASNPkcs15X942Parameters* prm = getChosenIndex() == kDH ? getDHParameters() : getDSAParameters();
            if (prm != nullptr) return prm->getQBits();
            ASNinteger* d = getChosenIndex() == kDH ? getDirectDHKey() : getDirectDSAKey();
            return d != nullptr ? significantBits(*d) : 0;
        }
        case kKEA: {
            ASNinteger* d = getDirectKEAKey();
            return d != nullptr ? significantBits(*d) : 0;
        }
        default:
            return 0;
    }
}

int ASNPkcs15PrivateKeyType::hasKeyInfoParams() {
    Parts p;
    if (!parts(p)) return 0;
    return p.keyInfo->getChosenIndex() == 1 ? 1 : 0;
}

long ASNPkcs15PrivateKeyType::getSupportedOperations() {
    Parts p;
    if (!parts(p)) return -1;
    if (!*p.keyInfoPresent || p.keyInfo->getChosenIndex() != 1) return -1;
    return *p.opsPresent ? static_cast<long>(p.ops->getValue()) : 0;
}

long ASNPkcs15PrivateKeyType::getKeyInfoReference() {
    Parts p;
    if (!parts(p)) return -1;
    if (p.keyInfo->getChosenIndex() != 0) return -1;
    try {
        return p.keyInfoReference->getLong();
    } catch (const std::exception&) {
        return -1;
    }
}

ASNPkcs15PrivateRSAKeyAttributes* ASNPkcs15PrivateKeyType::findRSAKeyAttributes() {
    return getChosenIndex() == kRSA ? &privateRSAKey.typeAttributes : nullptr;
}
ASNPkcs15PrivateECKeyAttributes* ASNPkcs15PrivateKeyType::findECKeyAttributes() {
    return getChosenIndex() == kEC ? &privateECKey.typeAttributes : nullptr;
}
ASNPkcs15PrivateDSAKeyAttributes* ASNPkcs15PrivateKeyType::findDSAKeyAttributes() {
    return getChosenIndex() == kDSA ? &privateDSAKey.typeAttributes : nullptr;
}

ASNPkcs15RSAPrivateKeyObject* ASNPkcs15PrivateKeyType::getDirectRSAKey() {
    return getChosenIndex() == kRSA ? privateRSAKey.typeAttributes.value.getDirect() : nullptr;
}
ASNinteger* ASNPkcs15PrivateKeyType::getDirectECKey() {
    return getChosenIndex() == kEC ? privateECKey.typeAttributes.value.getDirect() : nullptr;
}
ASNinteger* ASNPkcs15PrivateKeyType::getDirectDHKey() {
    return getChosenIndex() == kDH ? privateDHKey.typeAttributes.value.getDirect() : nullptr;
}
ASNinteger* ASNPkcs15PrivateKeyType::getDirectDSAKey() {
    return getChosenIndex() == kDSA ? privateDSAKey.typeAttributes.value.getDirect() : nullptr;
}
ASNinteger* ASNPkcs15PrivateKeyType::getDirectKEAKey() {
    return getChosenIndex() == kKEA ? privateKEAKey.typeAttributes.value.getDirect() : nullptr;
}

ASNPkcs15ECParameters* ASNPkcs15PrivateKeyType::getECParameters() {
    return getChosenIndex() == kEC ? parametersOf(privateECKey.typeAttributes) : nullptr;
}
ASNPkcs15X942Parameters* ASNPkcs15PrivateKeyType::getDHParameters() {
    return getChosenIndex() == kDH ? parametersOf(privateDHKey.typeAttributes) : nullptr;
}
ASNPkcs15X942Parameters* ASNPkcs15PrivateKeyType::getDSAParameters() {
    return getChosenIndex() == kDSA ? parametersOf(privateDSAKey.typeAttributes) : nullptr;
}

int ASNPkcs15PrivateKeyType::setKeyInfoParams(const ASNobject* parameters, int64_t operations) {
    Parts p;
    if (!parts(p)) return 0;
    if (parameters == nullptr) {
        *p.keyInfoPresent = 0;
        return 1;
    }
    if (getChosenIndex() == kEC) {
        ECDomainParameters tmp(0x30);
        if (tmp.convertFrom(*parameters) != 1) return 0;
        p.keyInfo->chooseByIndex(1);
        *p.keyInfoPresent = 1;
        privateECKey.typeAttributes.keyInfo.paramsAndOps.parameters = tmp;
    } else {
        X942DomainParameters tmp(0x30);
        if (tmp.convertFrom(*parameters) != 1) return 0;
        p.keyInfo->chooseByIndex(1);
        *p.keyInfoPresent = 1;
        X942DomainParameters* target = getChosenIndex() == kDH    ? &privateDHKey.typeAttributes.keyInfo.paramsAndOps.parameters
                                       : getChosenIndex() == kDSA ? &privateDSAKey.typeAttributes.keyInfo.paramsAndOps.parameters
                                                                  : &privateKEAKey.typeAttributes.keyInfo.paramsAndOps.parameters;
        *target = tmp;
    }
    if (operations == -1) {
        p.ops->clear();
        *p.opsPresent = 0;
    } else {
        *p.ops = static_cast<uint32_t>(operations);
        *p.opsPresent = 1;
    }
    return 1;
}

int ASNPkcs15PrivateKeyType::create(int index, const ASNPkcs15Path* path, uint32_t keyReference) {
    if (index <= 0) return 0;
    chooseByIndex(static_cast<uint32_t>(index));
    if (path != nullptr ? setValuePath(*path) != 1 : setValuePathWords(nullptr, 0) != 1) return 0;
    Parts p;
    if (!parts(p)) return 0;
    p.keyInfo->chooseByIndex(0);
    *p.keyInfoPresent = 1;
    try {
        p.keyInfoReference->setValue(keyReference);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int ASNPkcs15PrivateKeyType::createWithKeyObject(int index, const ASNPkcs15Path* path, uint32_t keyReference,
                                                 void* keyObject) {
    if (create(index, path, keyReference) != 1) return 0;
    setKeyObject(keyObject);
    return 1;
}

int ASNPkcs15PrivateKeyType::createIndirect(int index, const ASNPkcs15Path* path, const ASNobject* parameters,
                                            int64_t operations) {
    if (index <= 0) return 0;
    chooseByIndex(static_cast<uint32_t>(index));
    if (path != nullptr ? setValuePath(*path) != 1 : setValuePathWords(nullptr, 0) != 1) return 0;
    return setKeyInfoParams(parameters, operations);
}

int ASNPkcs15PrivateKeyType::createIndirectWithKeyObject(int index, const ASNPkcs15Path* path,
                                                         const ASNobject* parameters, int64_t operations,
                                                         void* keyObject) {
    if (createIndirect(index, path, parameters, operations) != 1) return 0;
    setKeyObject(keyObject);
    return 1;
}

int ASNPkcs15PrivateKeyType::createDirect(int index, const ASNany& value, const ASNobject* parameters,
                                          int64_t operations) {
    if (index <= 0) return 0;
    chooseByIndex(static_cast<uint32_t>(index));
    Parts p;
    if (!parts(p)) return 0;
    // The private value is an INTEGER under the implicit [0] of the direct alternative.
    ASNinteger* d = static_cast<ASNinteger*>(p.direct);
    ASNinteger v(0x02);
    if (v.convertFrom(value) != 1) return 0;
    if (d->set(v.getData(), v.getValueLength()) != 1) return 0;
    p.value->chooseByIndex(1);
    return setKeyInfoParams(parameters, operations);
}

int ASNPkcs15PrivateKeyType::createDirectFromBytes(int index, const uint8_t* bytes, long length,
                                                   const ASNobject* parameters, int64_t operations) {
    if (index <= 0) return 0;
    ASNany a(TAG_ANY);
    if (bytes == nullptr || a.readBuffer(bytes, length) < 1) return 0;
    return createDirect(index, a, parameters, operations);
}
