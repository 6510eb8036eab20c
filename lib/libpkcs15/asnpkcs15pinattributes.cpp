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

std::array<asnp15::Member, 9> ASNPkcs15PinAttributes::members() const {
    auto* t = const_cast<ASNPkcs15PinAttributes*>(this);
    return {{{&t->pinFlags, nullptr, 0},
             {&t->pinType, nullptr, 0},
             {&t->minLength, nullptr, 0},
             {&t->storedLength, nullptr, 0},
             {&t->maxLength, &t->wasMaxLength, 0},
             {&t->pinReference, &t->wasPinReference, 0x80},
             {&t->padChar, &t->wasPadChar, 0},
             {&t->lastPinChange, &t->wasLastPinChange, 0},
             {&t->path, &t->wasPath, 0}}};
}

int ASNPkcs15PinAttributes::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    const long consumed = asnp15::readLeading(src, len, m, 4);
    if (consumed < 1) return static_cast<int>(consumed);
    // An ENUMERATED is primitive.
    if ((pinType.tag & ASN_CONSTRUCTED) != 0) return 0;
    return asnp15::readElements(src, len, consumed, 5, [&](const ASNany& el) {
        const uint8_t id = asnp15::idOf(el);
        const int k = id == 0x02 ? 4 : (id & 0xDF) == 0x80 ? 5 : id == 0x04 ? 6 : id == 0x18 ? 7 : id == 0x30 ? 8 : -1;
        return asnp15::takeInOrder(m, k, el);
    });
}

int ASNPkcs15PinAttributes::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15PinAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15PinAttributes::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15PinAttributes::clear() {
    asnp15::clearMembers(members());
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
    asnp15::copyPresence(members(), o.members());
    pinFlags = o.pinFlags;
    pinType = o.pinType;
    minLength = o.minLength;
    storedLength = o.storedLength;
    if (wasMaxLength) maxLength = o.maxLength;
    if (wasPinReference) asnp15::assignTagged(pinReference, o.pinReference, 0x80);
    if (wasPadChar) padChar = o.padChar;
    if (wasLastPinChange) lastPinChange = o.lastPinChange;
    if (wasPath) path = o.path;
    return *this;
}

bool ASNPkcs15PinAttributes::operator==(const ASNPkcs15PinAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
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
