#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"

#include <new>
#include <stdexcept>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

// ---------------------------------------------------------------------------
// Common key attributes

ASNPkcs15CommonKeyAttributes::ASNPkcs15CommonKeyAttributes(uint32_t t)
    : ASNsequenceF(t), iD(0x04), usage(0x03), native(0x01), accessFlags(0x03), keyReference(0x02),
      startDate(TAG_GENERAL_TIME), endDate(0x80), algReference(0xA1), wasNative(0), wasAccessFlags(0),
      wasKeyReference(0), wasStartDate(0), wasEndDate(0), wasAlgReference(0) {
    native = true;
    endDate.timeType = TAG_GENERAL_TIME;
}

ASNPkcs15CommonKeyAttributes::ASNPkcs15CommonKeyAttributes(const ASNPkcs15CommonKeyAttributes& o)
    : ASNPkcs15CommonKeyAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonKeyAttributes::~ASNPkcs15CommonKeyAttributes() = default;

void ASNPkcs15CommonKeyAttributes::resetForms() {
    startDate.tag = TAG_GENERAL_TIME;
    startDate.timeType = TAG_GENERAL_TIME;
    asnp15::makeImplicit(endDate, 0x80);
    endDate.timeType = TAG_GENERAL_TIME;
    asnp15::makeImplicit(algReference, 0xA1);
}

std::array<asnp15::Member, 8> ASNPkcs15CommonKeyAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonKeyAttributes*>(this);
    return {{{&t->iD, nullptr, 0},
             {&t->usage, nullptr, 0},
             {&t->native, &t->wasNative, 0},
             {&t->accessFlags, &t->wasAccessFlags, 0},
             {&t->keyReference, &t->wasKeyReference, 0},
             {&t->startDate, &t->wasStartDate, 0},
             {&t->endDate, &t->wasEndDate, 0},
             {&t->algReference, &t->wasAlgReference, 0xA1}}};
}

int ASNPkcs15CommonKeyAttributes::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = iD.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed == len) return 1;  // the usage is left empty
    long r = usage.read(src, len - consumed, 0);
    if (r < 1) return static_cast<int>(r);
    consumed += r;
    if (consumed > len) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, consumed, 6, [&](const ASNany& el) {
        const uint8_t id = el.tag;
        if (id == 0x03 && wasAccessFlags) {
            // A repeated, identical access-flags element is tolerated.
            ASNbitstr again(0x03);
            int a = again.assign(el);
            if (a != 1) return a;
            return again == accessFlags ? asnp15::kSkipElement : 0;
        }
        if (id == 0x18 || id == 0x17) {
            // The start date keeps the time type it came in.
            if (!asnp15::mayTake(m, 5)) return 0;
            startDate.tag = id;
            startDate.timeType = id;
            return asnp15::takeInOrder(m, 5, el);
        }
        if ((id & 0xDF) == 0x80) {
            if (!asnp15::mayTake(m, 6)) return 0;
            wasEndDate = 1;
            // Implicit, explicit around a GeneralizedTime, explicit around a UTCTime.
            int a = endDate.assign(el);
            if (a == 0) {
                asnp15::makeExplicit(endDate, 0x80);
                a = endDate.assign(el);
                if (a == 0) {
                    endDate.timeType = TAG_UTCT_TIME;
                    a = endDate.assign(el);
                }
            }
            return a;
        }
        const int k = id == 0x01 ? 2 : id == 0x03 ? 3 : id == 0x02 ? 4 : (id & 0xDF) == 0x81 ? 7 : -1;
        return asnp15::takeInOrder(m, k, el);
    });
}

int ASNPkcs15CommonKeyAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonKeyAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonKeyAttributes::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15CommonKeyAttributes::clear() {
    asnp15::clearMembers(members());
    resetForms();
}

int ASNPkcs15CommonKeyAttributes::getKeyReference() const {
    if (!wasKeyReference) return -1;
    try {
        long v = keyReference.getLong();
        if (v < 0 || v > 0x7FFFFFFEL) return -1;
        return static_cast<int>(v);
    } catch (const std::exception&) {
        return -1;
    }
}

void ASNPkcs15CommonKeyAttributes::setKeyReference(int ref) {
    if (ref < 0) {
        wasKeyReference = 0;
        return;
    }
    keyReference.setValue(static_cast<uint32_t>(ref));
    wasKeyReference = 1;
}

int ASNPkcs15CommonKeyAttributes::isNative() const { return !wasNative || native.isTrue() ? 1 : 0; }

int ASNPkcs15CommonKeyAttributes::setUsage(uint64_t bits) {
    try {
        usage.setFlags(static_cast<uint32_t>(bits));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int ASNPkcs15CommonKeyAttributes::setAccessFlags(uint64_t bits) {
    if (bits == ~static_cast<uint64_t>(0) || bits == 0xFFFFFFFFu) {
        wasAccessFlags = 0;
        return 1;
    }
    try {
        accessFlags.setFlags(static_cast<uint32_t>(bits));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    wasAccessFlags = 1;
    return 1;
}

ASNPkcs15CommonKeyAttributes& ASNPkcs15CommonKeyAttributes::operator=(const ASNPkcs15CommonKeyAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonkeyattributes", 140,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    iD = o.iD;
    usage = o.usage;
    asnp15::copyPresence(members(), o.members());
    if (wasNative) native = o.native;
    if (wasAccessFlags) accessFlags = o.accessFlags;
    if (wasKeyReference) keyReference = o.keyReference;
    if (wasStartDate) startDate = o.startDate;
    if (wasEndDate) {
        endDate = o.endDate;
        if (o.endDate.isExplicit()) {
            asnp15::makeExplicit(endDate, 0x80);
            endDate.timeType = o.endDate.timeType;
            endDate.tag = o.endDate.tag;
        }
    }
    // The list's assignment empties it and throws when it cannot copy.
    if (wasAlgReference) asnp15::assignTagged(algReference, o.algReference, 0xA1);
    return *this;
}

bool ASNPkcs15CommonKeyAttributes::operator==(const ASNPkcs15CommonKeyAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (iD != o.iD || usage != o.usage) return false;
    if (wasNative && !(native == o.native)) return false;
    if (wasAccessFlags && accessFlags != o.accessFlags) return false;
    if (wasKeyReference && !(keyReference == o.keyReference)) return false;
    if (wasStartDate && startDate != o.startDate) return false;
    if (wasEndDate && endDate != o.endDate) return false;
    if (wasAlgReference) {
        if (algReference.GetCount() != o.algReference.GetCount()) return false;
        POSITION a = algReference.GetHeadPosition();
        POSITION b = o.algReference.GetHeadPosition();
        while (a != nullptr && b != nullptr)
            if (!(*algReference.GetNext(a) == *o.algReference.GetNext(b))) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Common private-key attributes

ASNPkcs15CommonPrivateKeyAttributes::ASNPkcs15CommonPrivateKeyAttributes(uint32_t t)
    : ASNsequenceF(t), subjectName(0x30), rawSubjectName(TAG_ANY), keyIdentifiers(0xA0), wasSubjectName(0),
      wasRawSubjectName(0), wasKeyIdentifiers(0) {}

ASNPkcs15CommonPrivateKeyAttributes::ASNPkcs15CommonPrivateKeyAttributes(const ASNPkcs15CommonPrivateKeyAttributes& o)
    : ASNPkcs15CommonPrivateKeyAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonPrivateKeyAttributes::~ASNPkcs15CommonPrivateKeyAttributes() = default;

std::array<asnp15::Member, 2> ASNPkcs15CommonPrivateKeyAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonPrivateKeyAttributes*>(this);
    const asnp15::Member subject = wasSubjectName ? asnp15::Member{&t->subjectName, &t->wasSubjectName, 0}
                                                  : asnp15::Member{&t->rawSubjectName, &t->wasRawSubjectName, 0};
    return {{subject, {&t->keyIdentifiers, &t->wasKeyIdentifiers, 0xA0}}};
}

int ASNPkcs15CommonPrivateKeyAttributes::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readElements(src, len, 0, 2, [&](const ASNany& el) {
        if (el.tag != 0x30) return asnp15::takeInOrder(m, (el.tag & 0xDF) == 0x80 ? 1 : -1, el);
        if (!asnp15::mayTake(m, 0)) return 0;
        int a = subjectName.assign(el);
        if (a == 1) {
            wasSubjectName = 1;
        } else if (a == 0) {
            // A subject that is not a valid name is kept whole.
            rawSubjectName = el;
            wasRawSubjectName = 1;
            a = 1;
        }
        return a;
    });
}

int ASNPkcs15CommonPrivateKeyAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonPrivateKeyAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonPrivateKeyAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonPrivateKeyAttributes::clear() {
    wasSubjectName = wasRawSubjectName = wasKeyIdentifiers = 0;
    subjectName.clear();
    rawSubjectName.clear();
    keyIdentifiers.clear();
    asnp15::makeImplicit(keyIdentifiers, 0xA0);
}

ASNPkcs15CommonPrivateKeyAttributes& ASNPkcs15CommonPrivateKeyAttributes::operator=(
    const ASNPkcs15CommonPrivateKeyAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonprivatekeyattributes", 60,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasSubjectName = o.wasSubjectName;
    wasRawSubjectName = o.wasRawSubjectName;
    wasKeyIdentifiers = o.wasKeyIdentifiers;
    if (wasSubjectName) subjectName = o.subjectName;
    if (wasRawSubjectName) rawSubjectName = o.rawSubjectName;
    if (wasKeyIdentifiers) asnp15::assignTagged(keyIdentifiers, o.keyIdentifiers, 0xA0);
    return *this;
}

bool ASNPkcs15CommonPrivateKeyAttributes::operator==(const ASNPkcs15CommonPrivateKeyAttributes& o) const {
    if (wasSubjectName != o.wasSubjectName || wasRawSubjectName != o.wasRawSubjectName ||
        wasKeyIdentifiers != o.wasKeyIdentifiers)
        return false;
    if (wasSubjectName && subjectName.isEqual(o.subjectName) != 1) return false;
    if (wasRawSubjectName && rawSubjectName != o.rawSubjectName) return false;
    if (wasKeyIdentifiers && keyIdentifiers != o.keyIdentifiers) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Common public-key attributes

ASNPkcs15CommonPublicKeyAttributes::ASNPkcs15CommonPublicKeyAttributes(uint32_t t)
    : ASNsequenceF(t), subjectName(0x30), trustedUsage(0xA0), wasSubjectName(0), wasTrustedUsage(0) {}

ASNPkcs15CommonPublicKeyAttributes::ASNPkcs15CommonPublicKeyAttributes(const ASNPkcs15CommonPublicKeyAttributes& o)
    : ASNPkcs15CommonPublicKeyAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonPublicKeyAttributes::~ASNPkcs15CommonPublicKeyAttributes() = default;

std::array<asnp15::Member, 2> ASNPkcs15CommonPublicKeyAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonPublicKeyAttributes*>(this);
    return {{{&t->subjectName, &t->wasSubjectName, 0}, {&t->trustedUsage, &t->wasTrustedUsage, 0xA0}}};
}

int ASNPkcs15CommonPublicKeyAttributes::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readElements(src, len, 0, 2, [&](const ASNany& el) {
        return asnp15::takeInOrder(m, el.tag == 0x30 ? 0 : (el.tag & 0xDF) == 0x80 ? 1 : -1, el);
    });
}

int ASNPkcs15CommonPublicKeyAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonPublicKeyAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonPublicKeyAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonPublicKeyAttributes::clear() {
    asnp15::clearMembers(members());
    asnp15::makeImplicit(trustedUsage, 0xA0);
}

ASNPkcs15CommonPublicKeyAttributes& ASNPkcs15CommonPublicKeyAttributes::operator=(
    const ASNPkcs15CommonPublicKeyAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonpublickeyattributes", 60,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    if (wasSubjectName) subjectName = o.subjectName;
    if (wasTrustedUsage) asnp15::assignTagged(trustedUsage, o.trustedUsage, 0xA0);
    return *this;
}

bool ASNPkcs15CommonPublicKeyAttributes::operator==(const ASNPkcs15CommonPublicKeyAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (wasSubjectName && subjectName.isEqual(o.subjectName) != 1) return false;
    if (wasTrustedUsage && trustedUsage != o.trustedUsage) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Common secret-key attributes

ASNPkcs15CommonSecretKeyAttributes::ASNPkcs15CommonSecretKeyAttributes(uint32_t t)
    : ASNsequenceF(t), keyLen(0x02), wasKeyLen(0) {}

ASNPkcs15CommonSecretKeyAttributes::ASNPkcs15CommonSecretKeyAttributes(const ASNPkcs15CommonSecretKeyAttributes& o)
    : ASNPkcs15CommonSecretKeyAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonSecretKeyAttributes::~ASNPkcs15CommonSecretKeyAttributes() = default;

int ASNPkcs15CommonSecretKeyAttributes::read_contents(GenericFile* src, long len) {
    clear();
    // Nothing may follow the key length.
    return asnp15::readTail(src, len, 0, members()[0]);
}

int ASNPkcs15CommonSecretKeyAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonSecretKeyAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonSecretKeyAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonSecretKeyAttributes::clear() {
    wasKeyLen = 0;
    keyLen.clear();
}

ASNPkcs15CommonSecretKeyAttributes& ASNPkcs15CommonSecretKeyAttributes::operator=(
    const ASNPkcs15CommonSecretKeyAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonsecretkeyattributes", 40,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasKeyLen = o.wasKeyLen;
    if (wasKeyLen) keyLen = o.keyLen;
    return *this;
}

bool ASNPkcs15CommonSecretKeyAttributes::operator==(const ASNPkcs15CommonSecretKeyAttributes& o) const {
    return wasKeyLen == o.wasKeyLen && (!wasKeyLen || keyLen == o.keyLen);
}
