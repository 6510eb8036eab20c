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

int ASNPkcs15CommonKeyAttributes::read_contents(GenericFile* src, long len) {
    long consumed = iD.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed == len) return 1;
    long r = usage.read(src, len - consumed, 0);
    if (r < 1) return static_cast<int>(r);
    consumed += r;
    wasNative = wasAccessFlags = wasKeyReference = wasStartDate = wasEndDate = wasAlgReference = 0;
    resetForms();
    if (consumed >= len) return consumed == len ? 1 : 0;
    ASNany el;
    for (int n = 0; n < 6 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        uint8_t id = el.tag;
        int a;
        if (id == 0x01) {
            if (wasNative || wasAccessFlags || wasKeyReference || wasStartDate || wasEndDate || wasAlgReference)
                return 0;
            a = native.assign(el);
            wasNative = 1;
        } else if (id == 0x03 && wasAccessFlags) {
            // A repeated, identical access-flags element is tolerated.
            ASNbitstr again(0x03);
            a = again.assign(el);
            if (a != 1) return a;
            if (again != accessFlags) return 0;
        } else if (id == 0x03) {
            if (wasKeyReference || wasStartDate || wasEndDate || wasAlgReference) return 0;
            a = accessFlags.assign(el);
            wasAccessFlags = 1;
        } else if (id == 0x02) {
            if (wasKeyReference || wasStartDate || wasEndDate || wasAlgReference) return 0;
            a = keyReference.assign(el);
            wasKeyReference = 1;
        } else if (id == 0x18 || id == 0x17) {
            if (wasStartDate || wasEndDate || wasAlgReference) return 0;
            startDate.tag = id;
            startDate.timeType = id;
            a = startDate.assign(el);
            wasStartDate = 1;
        } else if ((id & 0xDF) == 0x80) {
            if (wasEndDate || wasAlgReference) return 0;
            a = endDate.assign(el);
            if (a == 0) {
                asnp15::makeExplicit(endDate, 0x80);
                a = endDate.assign(el);
                if (a == 0) {
                    endDate.timeType = TAG_UTCT_TIME;
                    a = endDate.assign(el);
                }
            }
            wasEndDate = 1;
        } else if ((id & 0xDF) == 0x81) {
            if (wasAlgReference) return 0;
            a = asnp15::assignEitherForm(algReference, 0xA1, el);
            wasAlgReference = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15CommonKeyAttributes::write_contents(GenericFile* dst) const {
    int r = asnp15::writeMember(iD, dst);
    if (r == 1) r = asnp15::writeMember(usage, dst);
    if (r == 1 && wasNative) r = asnp15::writeMember(native, dst);
    if (r == 1 && wasAccessFlags) r = asnp15::writeMember(accessFlags, dst);
    if (r == 1 && wasKeyReference) r = asnp15::writeMember(keyReference, dst);
    if (r == 1 && wasStartDate) r = asnp15::writeMember(startDate, dst);
    if (r == 1 && wasEndDate) r = asnp15::writeMember(endDate, dst);
    if (r == 1 && wasAlgReference) r = asnp15::writeMember(algReference, dst);
    return r;
}

long ASNPkcs15CommonKeyAttributes::lenOfBody() const {
    long n = iD.lenOfObject() + usage.lenOfObject();
    if (wasNative) n += native.lenOfObject();
    if (wasAccessFlags) n += accessFlags.lenOfObject();
    if (wasKeyReference) n += keyReference.lenOfObject();
    if (wasStartDate) n += startDate.lenOfObject();
    if (wasEndDate) n += endDate.lenOfObject();
    if (wasAlgReference) n += algReference.lenOfObject();
    return n;
}

void ASNPkcs15CommonKeyAttributes::digest_contents(QvHash* hash) const {
    iD.digestObject(hash);
    usage.digestObject(hash);
    if (wasNative) native.digestObject(hash);
    if (wasAccessFlags) accessFlags.digestObject(hash);
    if (wasKeyReference) keyReference.digestObject(hash);
    if (wasStartDate) startDate.digestObject(hash);
    if (wasEndDate) endDate.digestObject(hash);
    if (wasAlgReference) algReference.digestObject(hash);
}

void ASNPkcs15CommonKeyAttributes::clear() {
    iD.clear();
    usage.clear();
    accessFlags.clear();
    keyReference.clear();
    startDate.clear();
    endDate.clear();
    algReference.clear();
    wasNative = wasAccessFlags = wasKeyReference = wasStartDate = wasEndDate = wasAlgReference = 0;
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
    wasNative = o.wasNative;
    wasAccessFlags = o.wasAccessFlags;
    wasKeyReference = o.wasKeyReference;
    wasStartDate = o.wasStartDate;
    wasEndDate = o.wasEndDate;
    wasAlgReference = o.wasAlgReference;
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
    if (wasAlgReference) {
        algReference = o.algReference;  // empties the list and throws when it cannot copy
        if (o.algReference.isExplicit())
            asnp15::makeExplicit(algReference, 0xA1);
        else
            asnp15::makeImplicit(algReference, 0xA1);
    }
    return *this;
}

bool ASNPkcs15CommonKeyAttributes::operator==(const ASNPkcs15CommonKeyAttributes& o) const {
    if (wasNative != o.wasNative || wasAccessFlags != o.wasAccessFlags || wasKeyReference != o.wasKeyReference ||
        wasStartDate != o.wasStartDate || wasEndDate != o.wasEndDate || wasAlgReference != o.wasAlgReference)
        return false;
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

int ASNPkcs15CommonPrivateKeyAttributes::read_contents(GenericFile* src, long len) {
    wasSubjectName = wasRawSubjectName = wasKeyIdentifiers = 0;
    asnp15::makeImplicit(keyIdentifiers, 0xA0);
    if (len == 0) return 1;
    long consumed = 0;
    ASNany el;
    for (int n = 0; n < 2 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        int a;
        if (el.tag == 0x30) {
            if (wasSubjectName || wasRawSubjectName || wasKeyIdentifiers) return 0;
            a = subjectName.assign(el);
            if (a == 1) {
                wasSubjectName = 1;
            } else if (a == 0) {
                // A subject that is not a valid name is kept whole.
                rawSubjectName = el;
                wasRawSubjectName = 1;
                a = 1;
            }
        } else if ((el.tag & 0xDF) == 0x80) {
            if (wasKeyIdentifiers) return 0;
            a = asnp15::assignEitherForm(keyIdentifiers, 0xA0, el);
            wasKeyIdentifiers = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15CommonPrivateKeyAttributes::write_contents(GenericFile* dst) const {
    int r = 1;
    if (wasSubjectName)
        r = asnp15::writeMember(subjectName, dst);
    else if (wasRawSubjectName)
        r = asnp15::writeMember(rawSubjectName, dst);
    if (r == 1 && wasKeyIdentifiers) r = asnp15::writeMember(keyIdentifiers, dst);
    return r;
}

long ASNPkcs15CommonPrivateKeyAttributes::lenOfBody() const {
    long n = 0;
    if (wasSubjectName)
        n += subjectName.lenOfObject();
    else if (wasRawSubjectName)
        n += rawSubjectName.lenOfObject();
    if (wasKeyIdentifiers) n += keyIdentifiers.lenOfObject();
    return n;
}

void ASNPkcs15CommonPrivateKeyAttributes::digest_contents(QvHash* hash) const {
    if (wasSubjectName)
        subjectName.digestObject(hash);
    else if (wasRawSubjectName)
        rawSubjectName.digestObject(hash);
    if (wasKeyIdentifiers) keyIdentifiers.digestObject(hash);
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
    if (wasKeyIdentifiers) {
        keyIdentifiers = o.keyIdentifiers;
        if (o.keyIdentifiers.isExplicit())
            asnp15::makeExplicit(keyIdentifiers, 0xA0);
        else
            asnp15::makeImplicit(keyIdentifiers, 0xA0);
    }
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

int ASNPkcs15CommonPublicKeyAttributes::read_contents(GenericFile* src, long len) {
    wasSubjectName = wasTrustedUsage = 0;
    asnp15::makeImplicit(trustedUsage, 0xA0);
    if (len == 0) return 1;
    long consumed = 0;
    ASNany el;
    for (int n = 0; n < 2 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        int a;
        if (el.tag == 0x30) {
            if (wasSubjectName || wasTrustedUsage) return 0;
            a = subjectName.assign(el);
            wasSubjectName = 1;
        } else if ((el.tag & 0xDF) == 0x80) {
            if (wasTrustedUsage) return 0;
            a = asnp15::assignEitherForm(trustedUsage, 0xA0, el);
            wasTrustedUsage = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15CommonPublicKeyAttributes::write_contents(GenericFile* dst) const {
    int r = 1;
    if (wasSubjectName) r = asnp15::writeMember(subjectName, dst);
    if (r == 1 && wasTrustedUsage) r = asnp15::writeMember(trustedUsage, dst);
    return r;
}

long ASNPkcs15CommonPublicKeyAttributes::lenOfBody() const {
    return (wasSubjectName ? subjectName.lenOfObject() : 0) + (wasTrustedUsage ? trustedUsage.lenOfObject() : 0);
}

void ASNPkcs15CommonPublicKeyAttributes::digest_contents(QvHash* hash) const {
    if (wasSubjectName) subjectName.digestObject(hash);
    if (wasTrustedUsage) trustedUsage.digestObject(hash);
}

void ASNPkcs15CommonPublicKeyAttributes::clear() {
    wasSubjectName = wasTrustedUsage = 0;
    subjectName.clear();
    trustedUsage.clear();
    asnp15::makeImplicit(trustedUsage, 0xA0);
}

ASNPkcs15CommonPublicKeyAttributes& ASNPkcs15CommonPublicKeyAttributes::operator=(
    const ASNPkcs15CommonPublicKeyAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonpublickeyattributes", 60,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasSubjectName = o.wasSubjectName;
    wasTrustedUsage = o.wasTrustedUsage;
    if (wasSubjectName) subjectName = o.subjectName;
    if (wasTrustedUsage) {
        trustedUsage = o.trustedUsage;
        if (o.trustedUsage.isExplicit())
            asnp15::makeExplicit(trustedUsage, 0xA0);
        else
            asnp15::makeImplicit(trustedUsage, 0xA0);
    }
    return *this;
}

bool ASNPkcs15CommonPublicKeyAttributes::operator==(const ASNPkcs15CommonPublicKeyAttributes& o) const {
    if (wasSubjectName != o.wasSubjectName || wasTrustedUsage != o.wasTrustedUsage) return false;
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
    wasKeyLen = 0;
    if (len == 0) return 1;
    long r = keyLen.read(src, len, 0);
    if (r < 1) return static_cast<int>(r);
    wasKeyLen = 1;
    return r == len ? 1 : 0;
}

int ASNPkcs15CommonSecretKeyAttributes::write_contents(GenericFile* dst) const {
    return wasKeyLen ? asnp15::writeMember(keyLen, dst) : 1;
}

long ASNPkcs15CommonSecretKeyAttributes::lenOfBody() const { return wasKeyLen ? keyLen.lenOfObject() : 0; }

void ASNPkcs15CommonSecretKeyAttributes::digest_contents(QvHash* hash) const {
    if (wasKeyLen) keyLen.digestObject(hash);
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
