// X.509 extensions and basic constraints.
#include "lib/libasn/x509/x509ext.h"

#include "lib/libasn/asnany.h"

Extension::Extension(uint32_t t) : ASNsequenceF(t), extnID(0u), critical(0), extnValue(0) {}
Extension::Extension(const Extension& o)
    : ASNsequenceF(o), extnID(o.extnID), critical(o.critical), extnValue(o.extnValue) {}
Extension& Extension::operator=(const Extension& o) {
    if (this == &o) return *this;
    assertNotConst("x509ext", 1, "!( flags & ASN_FLAG_CONST )");
    extnID = o.extnID;
    critical = o.critical;
    extnValue = o.extnValue;
    return *this;
}
Extension::~Extension() = default;

void Extension::clear() {
    extnID.clear();
    critical = false;
    extnValue.clear();
}

int Extension::read_contents(GenericFile* src, long len) {
    critical = false;
    extnValue.clear();
    if (len < 2) return 0;
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long used = extnID.read(src, len, f);
    if (used < 1) return static_cast<int>(used);
    if (len - used < 2) return 0;
    ASNany e(TAG_ANY);
    long r = e.read(src, len - used, 0);
    if (r < 1) return static_cast<int>(r);
    used += r;
    // Only the universal BOOLEAN and OCTET STRING are accepted: a context or
    // application tag in their place is not an extension.
    if (e.tag == 0x01) {
        int a = critical.tryAssign(e);
        if (a != 1) return a == 0 ? EASN_MEM : 0;
        if (len - used < 2) return 0;
        long r2 = extnValue.read(src, len - used, f);
        if (r2 < 1) return static_cast<int>(r2);
        used += r2;
    } else if ((e.tag & ~ASN_CONSTRUCTED) == 0x04) {
        int a = extnValue.tryAssign(e);
        if (a != 1) return a == 0 ? EASN_MEM : 0;
    } else {
        return 0;
    }
    return used == len ? 1 : 0;
}

int Extension::write_contents(GenericFile* dst) const {
    long r = extnID.write(dst);
    if (r < 1) return static_cast<int>(r);
    if (critical.getValue() != 0) {
        r = critical.write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    r = extnValue.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long Extension::lenOfBody() const {
    return extnID.lenOfObject() + (critical.getValue() != 0 ? critical.lenOfObject() : 0) + extnValue.lenOfObject();
}

void Extension::digest_contents(QvHash* hash) const {
    extnID.digestObject(hash);
    if (critical.getValue() != 0) critical.digestObject(hash);
    extnValue.digestObject(hash);
}

bool Extension::operator==(const Extension& o) const {
    return extnID == o.extnID && critical == o.critical && extnValue == o.extnValue;
}

// ---------------------------------------------------------------------------

Extension* Extensions::findExtension(const ASNobjectId& oid) {
    POSITION pos = GetHeadPosition();
    while (pos != nullptr) {
        Extension* e = GetNext(pos);
        if (e->extnID == oid) return e;
    }
    return nullptr;
}

const Extension* Extensions::findExtension(const ASNobjectId& oid) const {
    return const_cast<Extensions*>(this)->findExtension(oid);
}

const Extension* Extensions::findExtensionByText(const char* text) const {
    ASNobjectId o;
    if (text == nullptr || o.setText(text) != 1) return nullptr;
    return findExtension(o);
}

int Extensions::getExtensionValue(const ASNobjectId& oid, ASNobject* out) const {
    const Extension* e = findExtension(oid);
    if (e == nullptr) return -1;
    if (out == nullptr) return -2;
    const uint8_t* d = e->extnValue.getData();
    long n = e->extnValue.getLength();
    if (d == nullptr || n < 1) return -2;
    long r = out->readBuffer(d, n, 0);
    if (r == EASN_MEM) return 0;
    // The value must be exactly one TLV.
    return r == n ? 1 : -2;
}

// ---------------------------------------------------------------------------

BasicConstraints::BasicConstraints(uint32_t t)
    : ASNsequenceF(t), cA(0), pathLenConstraintPresent(0), pathLenConstraint(0) {}
BasicConstraints::~BasicConstraints() = default;

void BasicConstraints::clear() {
    cA = false;
    pathLenConstraintPresent = 0;
    pathLenConstraint.clear();
}

int BasicConstraints::read_contents(GenericFile* src, long len) {
    clear();
    if (len == 0) return 1;
    if (len < 2) return 0;
    ASNany e(TAG_ANY);
    long used = e.read(src, len, 0);
    if (used < 1) return static_cast<int>(used);
    if (e.tag == 0x01) {
        int a = cA.tryAssign(e);
        if (a != 1) return a == 0 ? EASN_MEM : 0;
        if (used < len) {
            if (len - used < 2) return 0;
            long r = pathLenConstraint.read(src, len - used, 0);
            if (r < 1) return static_cast<int>(r);
            used += r;
            pathLenConstraintPresent = 1;
        }
    } else if (e.tag == 0x02) {
        int a = pathLenConstraint.tryAssign(e);
        if (a != 1) return a == 0 ? EASN_MEM : 0;
        pathLenConstraintPresent = 1;
    } else {
        return 0;
    }
    return used == len ? 1 : 0;
}

int BasicConstraints::write_contents(GenericFile* dst) const {
    if (cA.isTrue()) {
        long r = cA.write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    if (pathLenConstraintPresent) {
        long r = pathLenConstraint.write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long BasicConstraints::lenOfBody() const {
    return (cA.isTrue() ? cA.lenOfObject() : 0) + (pathLenConstraintPresent ? pathLenConstraint.lenOfObject() : 0);
}

void BasicConstraints::digest_contents(QvHash* hash) const {
    if (cA.isTrue()) cA.digestObject(hash);
    if (pathLenConstraintPresent) pathLenConstraint.digestObject(hash);
}
