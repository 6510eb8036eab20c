#include "lib/libpkcs15/asnpkcs15pinattributes.h"

#include <new>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

ASNPkcs15PinAttributes::ASNPkcs15PinAttributes(uint32_t t)
    : ASNsequenceF(t), pinFlags(0x03), pinType(0x0A), minLength(0x02), storedLength(0x02), maxLength(0x02),
      pinReference(0x80), padChar(0x04), lastPinChange(0x18), path(0x30), wasMaxLength(0), wasPinReference(0),
      wasPadChar(0), wasLastPinChange(0), wasPath(0) {
    // PinType is primitive only.
    pinType.flags &= ~ASN_FLAG_CONSTR;
}

ASNPkcs15PinAttributes::ASNPkcs15PinAttributes(const ASNPkcs15PinAttributes& o)
    : ASNPkcs15PinAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15PinAttributes::~ASNPkcs15PinAttributes() = default;

int ASNPkcs15PinAttributes::read_contents(GenericFile* src, long len) {
    long consumed = 0;
    ASNobject* mandatory[4] = {&pinFlags, &pinType, &minLength, &storedLength};
    for (ASNobject* m : mandatory) {
        long r = m->read(src, len - consumed, 0);
        if (r < 1) return static_cast<int>(r);
        consumed += r;
        if (consumed > len) return 0;
    }
    // An ENUMERATED is primitive.
    if ((pinType.tag & ASN_CONSTRUCTED) != 0) return 0;
    wasMaxLength = wasPinReference = wasPadChar = wasLastPinChange = wasPath = 0;
    asnp15::makeImplicit(pinReference, 0x80);
    if (consumed == len) return 1;
    ASNany el;
    for (int n = 0; n < 5 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        uint8_t id = asnp15::idOf(el);
        int a;
        if (id == 0x02) {
            if (wasMaxLength || wasPinReference || wasPadChar || wasLastPinChange || wasPath) return 0;
            a = maxLength.assign(el);
            wasMaxLength = 1;
        } else if ((id & 0xDF) == 0x80) {
            if (wasPinReference || wasPadChar || wasLastPinChange || wasPath) return 0;
            a = asnp15::assignEitherForm(pinReference, 0x80, el);
            wasPinReference = 1;
        } else if (id == 0x04) {
            if (wasPadChar || wasLastPinChange || wasPath) return 0;
            a = padChar.assign(el);
            wasPadChar = 1;
        } else if (id == 0x18) {
            if (wasLastPinChange || wasPath) return 0;
            a = lastPinChange.assign(el);
            wasLastPinChange = 1;
        } else if (id == 0x30) {
            if (wasPath) return 0;
            a = path.assign(el);
            wasPath = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15PinAttributes::write_contents(GenericFile* dst) const {
    int r = asnp15::writeMember(pinFlags, dst);
    if (r == 1) r = asnp15::writeMember(pinType, dst);
    if (r == 1) r = asnp15::writeMember(minLength, dst);
    if (r == 1) r = asnp15::writeMember(storedLength, dst);
    if (r == 1 && wasMaxLength) r = asnp15::writeMember(maxLength, dst);
    if (r == 1 && wasPinReference) r = asnp15::writeMember(pinReference, dst);
    if (r == 1 && wasPadChar) r = asnp15::writeMember(padChar, dst);
    if (r == 1 && wasLastPinChange) r = asnp15::writeMember(lastPinChange, dst);
    if (r == 1 && wasPath) r = asnp15::writeMember(path, dst);
    return r;
}

long ASNPkcs15PinAttributes::lenOfBody() const {
    long n = pinFlags.lenOfObject() + pinType.lenOfObject() + minLength.lenOfObject() + storedLength.lenOfObject();
    if (wasMaxLength) n += maxLength.lenOfObject();
    if (wasPinReference) n += pinReference.lenOfObject();
    if (wasPadChar) n += padChar.lenOfObject();
    if (wasLastPinChange) n += lastPinChange.lenOfObject();
    if (wasPath) n += path.lenOfObject();
    return n;
}

void ASNPkcs15PinAttributes::digest_contents(QvHash* hash) const {
    pinFlags.digestObject(hash);
    pinType.digestObject(hash);
    minLength.digestObject(hash);
    storedLength.digestObject(hash);
    if (wasMaxLength) maxLength.digestObject(hash);
    if (wasPinReference) pinReference.digestObject(hash);
    if (wasPadChar) padChar.digestObject(hash);
    if (wasLastPinChange) lastPinChange.digestObject(hash);
    if (wasPath) path.digestObject(hash);
}

void ASNPkcs15PinAttributes::clear() {
    wasMaxLength = wasPinReference = wasPadChar = wasLastPinChange = wasPath = 0;
    pinFlags.clear();
    pinType.clear();
    minLength.clear();
    storedLength.clear();
    maxLength.clear();
    pinReference.clear();
    padChar.clear();
    path.clear();
    asnp15::makeImplicit(pinReference, 0x80);
}

int ASNPkcs15PinAttributes::set(uint32_t fl, uint32_t type, const uint16_t* pathWords, int pathWordCount,
                                int minLen, int storedLen, int maxLen, uint32_t ref, uint8_t pad) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15pinattributes.cpp", 329, "!( flags & ASN_FLAG_CONST )");
    try {
        pinFlags.setFlags(fl);
        pinType.setValue(type);
        minLength.setValue(static_cast<uint32_t>(minLen < 4 ? 4 : minLen));
        storedLength.setValue(static_cast<uint32_t>(storedLen));
        if (maxLen != 0) {
            maxLength.setValue(static_cast<uint32_t>(maxLen));
            wasMaxLength = 1;
        } else {
            wasMaxLength = 0;
        }
        if (ref != 0) {
            pinReference.setValue(ref);
            wasPinReference = 1;
        } else {
            wasPinReference = 0;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if ((fl & 0x20) != 0) {
        if (padChar.set(&pad, 1) != 1) return 0;
        wasPadChar = 1;
    } else {
        wasPadChar = 0;
    }
    if (pathWords == nullptr) {
        wasPath = 0;
    } else {
        if (path.setPath(pathWords, pathWordCount) != 1) return 0;
        wasPath = 1;
    }
    return 1;
}

ASNPkcs15PinAttributes& ASNPkcs15PinAttributes::operator=(const ASNPkcs15PinAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15pinattributes.cpp", 75, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasMaxLength = o.wasMaxLength;
    wasPinReference = o.wasPinReference;
    wasPadChar = o.wasPadChar;
    wasLastPinChange = o.wasLastPinChange;
    wasPath = o.wasPath;
    pinFlags = o.pinFlags;
    pinType = o.pinType;
    minLength = o.minLength;
    storedLength = o.storedLength;
    if (wasMaxLength) maxLength = o.maxLength;
    if (wasPinReference) {
        pinReference = o.pinReference;
        if (o.pinReference.isExplicit())
            asnp15::makeExplicit(pinReference, 0x80);
        else
            asnp15::makeImplicit(pinReference, 0x80);
    }
    if (wasPadChar) padChar = o.padChar;
    if (wasLastPinChange) lastPinChange = o.lastPinChange;
    if (wasPath) path = o.path;
    return *this;
}

bool ASNPkcs15PinAttributes::operator==(const ASNPkcs15PinAttributes& o) const {
    if (wasMaxLength != o.wasMaxLength || wasPinReference != o.wasPinReference || wasPadChar != o.wasPadChar ||
        wasLastPinChange != o.wasLastPinChange || wasPath != o.wasPath)
        return false;
    if (pinFlags != o.pinFlags || !(pinType == o.pinType) || !(minLength == o.minLength) ||
        !(storedLength == o.storedLength))
        return false;
    if (wasMaxLength && !(maxLength == o.maxLength)) return false;
    if (wasPinReference && !(pinReference == o.pinReference)) return false;
    if (wasPadChar && padChar != o.padChar) return false;
    if (wasPath && path != o.path) return false;
    if (wasLastPinChange) {
        std::vector<uint8_t> a, b;
        lastPinChange.encodeToVector(a);
        o.lastPinChange.encodeToVector(b);
        if (a != b) return false;
    }
    return true;
}
