#include "lib/libpkcs15/asnpkcs15keyidentifier.h"

#include <new>
#include <stdexcept>
#include <vector>

#include "keys/rsapukey.h"
#include "support/memfile.h"
#include "support/vtest.h"

namespace {

uint32_t idTypeOf(const ASNinteger& i) {
    try {
        return static_cast<uint32_t>(static_cast<uint64_t>(i.getLong()));
    } catch (const std::exception&) {
        return 0;
    }
}

bool fits64(const ASNinteger& i) {
    try {
        (void)i.getLong();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

ASNPkcs15KeyIdentifier::ASNPkcs15KeyIdentifier(uint32_t t) : ASNsequenceF(t), idType(0x02), idValue(nullptr) {}

ASNPkcs15KeyIdentifier::ASNPkcs15KeyIdentifier(const ASNPkcs15KeyIdentifier& o)
    : ASNsequenceF(o), idType(0x02), idValue(nullptr) {
    *this = o;
}

ASNPkcs15KeyIdentifier::~ASNPkcs15KeyIdentifier() { delete idValue; }

uint32_t ASNPkcs15KeyIdentifier::getIdType() const { return idTypeOf(idType); }

int ASNPkcs15KeyIdentifier::read_contents(GenericFile* src, long len) {
    delete idValue;
    idValue = nullptr;
    long r = idType.read(src, len, 0);
    if (r < 1) return static_cast<int>(r);
    uint32_t type = idTypeOf(idType);
    ASNany* any = new (std::nothrow) ASNany(TAG_ANY);
    if (any == nullptr) return EASN_MEM;
    long v = len - r > 0 ? any->read(src, len - r, 0) : 0;
    if (v < 1) {
        delete any;
        return static_cast<int>(v);
    }
    idValue = any;
    if (r + v != len) return 0;
    ASNobject* typed = nullptr;
    if (type >= 2 && type <= 7) {
        typed = new (std::nothrow) ASNoctstr(0x04);
        if (typed == nullptr) return EASN_MEM;
        int a = typed->assign(*any);
        if (a != 1) {
            delete typed;
            return a;
        }
    } else if (type == P15_KEYID_RSA_PUBLIC_KEY) {
        if (any->tag == 0x30)
            typed = new (std::nothrow) RSAPublicKey(0x30);
        else if (any->tag == 0x02)
            typed = new (std::nothrow) ASNinteger(0x02);
        else if (any->tag == 0x04)
            typed = new (std::nothrow) ASNoctstr(0x04);
        else
            return 1;
        if (typed == nullptr) return EASN_MEM;
        int a = typed->assign(*any);
        if (a == 0 || a == EASN_UNSUPPORTED) {
            delete typed;
            return 1;
        }
        if (a != 1) {
            delete typed;
            return a;
        }
    } else {
        return 1;
    }
    delete idValue;
    idValue = typed;
    return 1;
}

int ASNPkcs15KeyIdentifier::write_contents(GenericFile* dst) const {
    AssertInvariant(idValue != nullptr, "asnpkcs15keyidentifier.cpp", 302, "value");
    long r = idType.write(dst);
    if (r < 1) return r == 0 ? -1 : static_cast<int>(r);
    r = idValue->write(dst);
    if (r < 1) return r == 0 ? -1 : static_cast<int>(r);
    return 1;
}

long ASNPkcs15KeyIdentifier::lenOfBody() const {
    return idType.lenOfObject() + (idValue != nullptr ? idValue->lenOfObject() : 0);
}

void ASNPkcs15KeyIdentifier::digest_contents(QvHash* hash) const {
    idType.digestObject(hash);
    if (idValue != nullptr) idValue->digestObject(hash);
}

void ASNPkcs15KeyIdentifier::clear() {
    idType.clear();
    delete idValue;
    idValue = nullptr;
}

int ASNPkcs15KeyIdentifier::setValue(uint32_t type, const uint8_t* bytes, long length) {
    if (length < 0 || (length > 0 && bytes == nullptr)) return 0;
    ASNobject* v = nullptr;
    if (type >= 2 && type <= 7) {
        ASNoctstr* s = new (std::nothrow) ASNoctstr(0x04);
        if (s == nullptr || s->set(bytes, length) != 1) {
            delete s;
            return 0;
        }
        v = s;
    } else {
        ASNany* a = new (std::nothrow) ASNany(TAG_ANY);
        if (a == nullptr) return 0;
        if (a->readBuffer(bytes, length) != length || length == 0) {
            delete a;
            return 0;
        }
        v = a;
    }
    try {
        idType.setValue(type);
    } catch (const std::bad_alloc&) {
        delete v;
        return 0;
    }
    delete idValue;
    idValue = v;
    return 1;
}

int ASNPkcs15KeyIdentifier::setValueFromObject(uint32_t type, const ASNobject& value) {
    ASNobject* v;
    if (type >= 2 && type <= 7)
        v = new (std::nothrow) ASNoctstr(0x04);
    else
        v = new (std::nothrow) ASNany(TAG_ANY);
    if (v == nullptr) return 0;
    if (v->convertFrom(value) != 1) {
        delete v;
        return 0;
    }
    try {
        idType.setValue(type);
    } catch (const std::bad_alloc&) {
        delete v;
        return 0;
    }
    delete idValue;
    idValue = v;
    return 1;
}

ASNPkcs15KeyIdentifier& ASNPkcs15KeyIdentifier::operator=(const ASNPkcs15KeyIdentifier& o) {
    if (this == &o) return *this;
    MemFile mf;
    if (o.write_contents(&mf) != 1) throw std::bad_alloc();
    mf.Seek(0);
    int64_t n = mf.Size();
    if (read_contents(&mf, static_cast<long>(n)) != 1) throw std::bad_alloc();
    return *this;
}

// ---------------------------------------------------------------------------

ASNPkcs15KeyIdentifiers::ASNPkcs15KeyIdentifiers(uint32_t t) : ASNsequenceList<ASNPkcs15KeyIdentifier>(t) {}

ASNPkcs15KeyIdentifiers::ASNPkcs15KeyIdentifiers(const ASNPkcs15KeyIdentifiers& o)
    : ASNsequenceList<ASNPkcs15KeyIdentifier>(o.tag) {
    *this = o;
}

ASNPkcs15KeyIdentifiers::~ASNPkcs15KeyIdentifiers() = default;

ASNPkcs15KeyIdentifier* ASNPkcs15KeyIdentifiers::createElement() const {
    return new (std::nothrow) ASNPkcs15KeyIdentifier(0x30);
}

ASNPkcs15KeyIdentifier* ASNPkcs15KeyIdentifiers::findNext(uint32_t type, POSITION& cursor) {
    POSITION pos = GetHeadPosition();
    if (cursor != nullptr) {
        // Start after the previous match.
        pos = cursor;
        GetNext(pos);
    }
    while (pos != nullptr) {
        POSITION here = pos;
        ASNPkcs15KeyIdentifier* k = GetNext(pos);
        if (k != nullptr && fits64(k->idType) && k->getIdType() == type) {
            cursor = here;
            return k;
        }
    }
    cursor = nullptr;
    return nullptr;
}

const ASNPkcs15KeyIdentifier* ASNPkcs15KeyIdentifiers::findNext(uint32_t type, POSITION& cursor) const {
    return const_cast<ASNPkcs15KeyIdentifiers*>(this)->findNext(type, cursor);
}

ASNPkcs15KeyIdentifier* ASNPkcs15KeyIdentifiers::find(uint32_t type) {
    POSITION c = nullptr;
    return findNext(type, c);
}

const ASNPkcs15KeyIdentifier* ASNPkcs15KeyIdentifiers::find(uint32_t type) const {
    POSITION c = nullptr;
    return findNext(type, c);
}

ASNobject* ASNPkcs15KeyIdentifiers::getValueObject(uint32_t type) const {
    const ASNPkcs15KeyIdentifier* k = find(type);
    return k != nullptr ? k->idValue : nullptr;
}

int ASNPkcs15KeyIdentifiers::add(uint32_t type, const uint8_t* bytes, long length) {
    ASNPkcs15KeyIdentifier* k = new (std::nothrow) ASNPkcs15KeyIdentifier(0x30);
    if (k == nullptr) return 0;
    if (k->setValue(type, bytes, length) != 1) {
        delete k;
        return 0;
    }
    try {
        AddTail(k);
    } catch (const std::bad_alloc&) {
        delete k;
        return 0;
    }
    return 1;
}

int ASNPkcs15KeyIdentifiers::addObject(uint32_t type, const ASNobject& value) {
    ASNPkcs15KeyIdentifier* k = new (std::nothrow) ASNPkcs15KeyIdentifier(0x30);
    if (k == nullptr) return 0;
    if (k->setValueFromObject(type, value) != 1) {
        delete k;
        return 0;
    }
    try {
        AddTail(k);
    } catch (const std::bad_alloc&) {
        delete k;
        return 0;
    }
    return 1;
}

int ASNPkcs15KeyIdentifiers::remove(uint32_t type) {
    int found = 0;
    POSITION pos = GetHeadPosition();
    while (pos != nullptr) {
        POSITION here = pos;
        ASNPkcs15KeyIdentifier* k = GetNext(pos);
        if (k != nullptr && fits64(k->idType) && k->getIdType() == type) {
            RemoveAt(here);
            delete k;
            found = 1;
        }
    }
    return found;
}

ASNPkcs15KeyIdentifiers& ASNPkcs15KeyIdentifiers::operator=(const ASNPkcs15KeyIdentifiers& o) {
    if (this == &o) return *this;
    assertNotConst("asnpkcs15keyidentifiers", 120, "!( flags & ASN_FLAG_CONST )");
    clear();
    POSITION pos = o.GetHeadPosition();
    while (pos != nullptr) {
        const ASNPkcs15KeyIdentifier* src = o.GetNext(pos);
        ASNPkcs15KeyIdentifier* k = nullptr;
        try {
            k = new ASNPkcs15KeyIdentifier(0x30);
            AddTail(k);
        } catch (const std::bad_alloc&) {
            delete k;
            clear();
            throw;
        }
        try {
            *k = *src;
        } catch (const std::bad_alloc&) {
            clear();
            throw;
        }
    }
    return *this;
}

int ASNPkcs15KeyIdentifiers::derEquals(const ASNobject& a, const ASNobject& b) {
    if (a.lenOfObject() != b.lenOfObject()) return 0;
    std::vector<uint8_t> x, y;
    if (a.encodeToVector(x) < 1 || b.encodeToVector(y) < 1) return 0;
    return x == y ? 1 : 0;
}

bool ASNPkcs15KeyIdentifiers::operator==(const ASNPkcs15KeyIdentifiers& o) const {
    if (GetCount() != o.GetCount()) return false;
    POSITION a = GetHeadPosition();
    POSITION b = o.GetHeadPosition();
    while (a != nullptr && b != nullptr) {
        const ASNPkcs15KeyIdentifier* x = GetNext(a);
        const ASNPkcs15KeyIdentifier* y = o.GetNext(b);
        if (x == nullptr || y == nullptr || x->idValue == nullptr || y->idValue == nullptr) return false;
        if (derEquals(*x, *y) != 1) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------

ASNPkcs15Operations::ASNPkcs15Operations(uint32_t t, uint32_t word) : ASNbitstr(t) { setFlags(word); }

ASNPkcs15Operations& ASNPkcs15Operations::operator|=(uint32_t mask) {
    setFlags(getFlags() | mask);
    return *this;
}

ASNPkcs15Operations& ASNPkcs15Operations::operator=(uint32_t word) {
    setFlags(word);
    return *this;
}

ASNPkcs15Operations& ASNPkcs15Operations::operator=(const ASNbitstr& other) {
    ASNbitstr::operator=(other);
    return *this;
}

ASNPkcs15Operations& ASNPkcs15Operations::operator=(const ASNPkcs15Operations& other) {
    ASNbitstr::operator=(other);
    return *this;
}

bool ASNPkcs15Operations::operator==(const ASNPkcs15Operations& o) const {
    if (getBitLength() <= 32 && o.getBitLength() <= 32) return getFlags() == o.getFlags();
    long n = getBitLength() > o.getBitLength() ? getBitLength() : o.getBitLength();
    for (long i = 0; i < n; i++)
        if ((getBit(i) != 0) != (o.getBit(i) != 0)) return false;
    return true;
}
