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

std::array<asnp15::Member, 2> ASNPkcs15Usage::members() const {
    auto* t = const_cast<ASNPkcs15Usage*>(this);
    return {{{&t->keyUsage, &t->wasKeyUsage, 0}, {&t->extKeyUsage, &t->wasExtKeyUsage, 0}}};
}

int ASNPkcs15Usage::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 0) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, 0, 2, [&](const ASNany& el) {
        return asnp15::takeInOrder(m, (el.tag & 0xDF) == 0x03 ? 0 : el.tag == 0x30 ? 1 : -1, el);
    });
}

int ASNPkcs15Usage::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15Usage::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15Usage::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

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
