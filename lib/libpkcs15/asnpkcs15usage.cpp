#include "lib/libpkcs15/asnpkcs15usage.h"

#include <new>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

ASNPkcs15Usage::ASNPkcs15Usage(uint32_t t)
    : ASNsequenceF(t), keyUsage(0x03), extKeyUsage(0x30), wasKeyUsage(0), wasExtKeyUsage(0) {}

ASNPkcs15Usage::ASNPkcs15Usage(const ASNPkcs15Usage& o) : ASNPkcs15Usage(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15Usage::~ASNPkcs15Usage() = default;

int ASNPkcs15Usage::read_contents(GenericFile* src, long len) {
    wasKeyUsage = wasExtKeyUsage = 0;
    if (len == 0) return 1;
    if (len < 0) return 0;
    long consumed = 0;
    ASNany el;
    for (int n = 0; n < 2 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        int a;
        if ((el.tag & 0xDF) == 0x03) {
            if (wasKeyUsage || wasExtKeyUsage) return 0;
            a = keyUsage.assign(el);
            wasKeyUsage = 1;
        } else if (el.tag == 0x30) {
            if (wasExtKeyUsage) return 0;
            a = extKeyUsage.assign(el);
            wasExtKeyUsage = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15Usage::write_contents(GenericFile* dst) const {
    int r = 1;
    if (r == 1 && wasKeyUsage) r = asnp15::writeMember(keyUsage, dst);
    if (r == 1 && wasExtKeyUsage) r = asnp15::writeMember(extKeyUsage, dst);
    return r;
}

long ASNPkcs15Usage::lenOfBody() const {
    long n = 0;
    if (wasKeyUsage) n += keyUsage.lenOfObject();
    if (wasExtKeyUsage) n += extKeyUsage.lenOfObject();
    return n;
}

void ASNPkcs15Usage::digest_contents(QvHash* hash) const {
    if (wasKeyUsage) keyUsage.digestObject(hash);
    if (wasExtKeyUsage) extKeyUsage.digestObject(hash);
}

void ASNPkcs15Usage::clear() {
    wasKeyUsage = wasExtKeyUsage = 0;
    keyUsage.clear();
    extKeyUsage.clear();
}

ASNPkcs15Usage& ASNPkcs15Usage::operator=(const ASNPkcs15Usage& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15usage", 57, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasKeyUsage = o.wasKeyUsage;
    wasExtKeyUsage = o.wasExtKeyUsage;
    if (wasKeyUsage) keyUsage = o.keyUsage;
    if (wasExtKeyUsage) extKeyUsage = o.extKeyUsage;  // empties on failure and throws
    return *this;
}

bool ASNPkcs15Usage::operator==(const ASNPkcs15Usage& o) const {
    if (wasKeyUsage != o.wasKeyUsage || wasExtKeyUsage != o.wasExtKeyUsage) return false;
    if (wasKeyUsage && keyUsage.getFlags() != o.keyUsage.getFlags()) return false;
    if (wasExtKeyUsage) {
        if (extKeyUsage.GetCount() != o.extKeyUsage.GetCount()) return false;
        POSITION a = extKeyUsage.GetHeadPosition();
        POSITION b = o.extKeyUsage.GetHeadPosition();
        while (a != nullptr) {
            const ASNobjectId* x = extKeyUsage.GetNext(a);
            const ASNobjectId* y = b != nullptr ? o.extKeyUsage.GetNext(b) : nullptr;
            if (x == nullptr || y == nullptr || *x != *y) return false;
        }
    }
    return true;
}
