#include "lib/libpkcs15/asnpkcs15tokeninfo.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/textutil.h"
#include "support/vtest.h"

ASNPkcs15TokenInfo::ASNPkcs15TokenInfo(uint32_t t)
    : ASNsequenceF(t), version(0x02), serialNumber(0x04), manufacturerID(0x0C), label(0x80), tokenflags(0x03),
      seInfo(0x30), recordInfo(0xA1), supportedAlgorithms(0xA2), issuerId(0x83), holderId(0x84), lastUpdate(0x85),
      preferredLanguage(0x13), contextList6(0xA6), wasSerialNumber(0), wasManufacturerID(0), wasLabel(0),
      wasSeInfo(0), wasRecordInfo(0), wasSupportedAlgorithms(0), wasIssuerId(0), wasHolderId(0), wasLastUpdate(0),
      wasPreferredLanguage(0), wasContextList6(0) {
    resetForms();
}

ASNPkcs15TokenInfo::ASNPkcs15TokenInfo(const ASNPkcs15TokenInfo& o) : ASNPkcs15TokenInfo(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15TokenInfo::~ASNPkcs15TokenInfo() = default;

void ASNPkcs15TokenInfo::resetForms() {
    asnp15::makeImplicit(label, 0x80);
    asnp15::makeImplicit(recordInfo, 0xA1);
    asnp15::makeImplicit(supportedAlgorithms, 0xA2);
    asnp15::makeImplicit(issuerId, 0x83);
    asnp15::makeImplicit(holderId, 0x84);
    asnp15::makeExplicit(lastUpdate, 0x85);
    asnp15::makeImplicit(contextList6, 0xA6);
}

std::array<asnp15::Member, 13> ASNPkcs15TokenInfo::members() const {
    auto* t = const_cast<ASNPkcs15TokenInfo*>(this);
    return {{{&t->version, nullptr, 0},
             {&t->serialNumber, &t->wasSerialNumber, 0},
             {&t->manufacturerID, &t->wasManufacturerID, 0},
             {&t->label, &t->wasLabel, 0x80},
             {&t->tokenflags, nullptr, 0},
             {&t->seInfo, &t->wasSeInfo, 0},
             {&t->recordInfo, &t->wasRecordInfo, 0xA1},
             {&t->supportedAlgorithms, &t->wasSupportedAlgorithms, 0xA2},
             {&t->issuerId, &t->wasIssuerId, 0x83},
             {&t->holderId, &t->wasHolderId, 0x84},
             // Explicit first (as built), then implicit.
             {&t->lastUpdate, &t->wasLastUpdate, 0x85},
             {&t->preferredLanguage, &t->wasPreferredLanguage, 0},
             {&t->contextList6, &t->wasContextList6, 0xA6}}};
}

namespace {

constexpr int kTokenFlags = 4;

// The place in members() of the member an identifier selects; -1 for none.
int memberFor(uint8_t id) {
    if (id == 0x30) return 5;  // seInfo: constructed only
    switch (id & 0xDF) {
        case 0x04: return 1;
        case 0x0C: return 2;
        case 0x80: return 3;
        case 0x03: return kTokenFlags;
        case 0x81: return 6;
        case 0x82: return 7;
        case 0x83: return 8;
        case 0x84: return 9;
        case 0x85: return 10;
        case 0x13: return 11;
        case 0x86: return 12;
        default: return -1;
    }
}

}  // namespace

int ASNPkcs15TokenInfo::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = version.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    long v;
    try {
        v = version.getLong();
    } catch (const std::exception&) {
        return 0;
    }
    if (consumed >= len) return 0;
    auto m = members();
    uint8_t flagsSeen = 0;
    m[kTokenFlags].present = &flagsSeen;
    int last = 0;  // the last member taken
    // An element that no member takes is kept as received, after the member it
    // followed, so that writing the record back loses nothing of it.
    auto keep = [&](const ASNany& el, int member) {
        try {
            m_kept.push_back(std::unique_ptr<KeptElement>(new KeptElement{el, last, member}));
        } catch (const std::bad_alloc&) {
            return static_cast<int>(EASN_MEM);
        }
        return asnp15::kSkipElement;
    };
    int r = asnp15::readElements(
        src, len, consumed, 12,
        [&](const ASNany& el) {
            const int k = memberFor(el.tag);
            if (k < 0) return keep(el, -1);
            if (!asnp15::mayTake(m, k)) return 0;
            const int a = asnp15::takeInOrder(m, k, el);
            if (a == 1) last = k;
            if (a != 0) return a;
            // A member whose contents do not decode stays absent; its element is kept.
            *m[k].present = 0;
            return keep(el, k);
        },
        ASN_FLAG_CLASSTAG);
    if (r != 1) return r;
    if (!flagsSeen) return 0;
    if (v == 0 && !wasSerialNumber) return 0;
    return 1;
}

template <class Fn>
int ASNPkcs15TokenInfo::forEachWritten(Fn fn) const {
    const auto m = members();
    for (size_t i = 0; i < m.size(); i++) {
        int r = asnp15::isThere(m[i]) ? fn(*m[i].object) : 1;
        if (r != 1) return r;
        for (const auto& k : m_kept) {
            if (k->after != static_cast<int>(i) || (k->member >= 0 && asnp15::isThere(m[k->member]))) continue;
            r = fn(k->element);
            if (r != 1) return r;
        }
    }
    return 1;
}

int ASNPkcs15TokenInfo::write_contents(GenericFile* dst) const {
    return forEachWritten([dst](const ASNobject& o) { return asnp15::writeMember(o, dst); });
}

long ASNPkcs15TokenInfo::lenOfBody() const {
    long n = 0;
    forEachWritten([&n](const ASNobject& o) {
        n += o.lenOfObject();
        return 1;
    });
    return n;
}

void ASNPkcs15TokenInfo::digest_contents(QvHash* hash) const {
    forEachWritten([hash](const ASNobject& o) {
        o.digestObject(hash);
        return 1;
    });
}

void ASNPkcs15TokenInfo::clear() {
    m_kept.clear();
    asnp15::clearMembers(members());
    resetForms();
}

namespace {

// Rebuilds a list element by element; on failure the list is left empty and
// std::bad_alloc is thrown.
template <class T>
void copyList(ASNsequenceList<T>& dst, const ASNsequenceList<T>& src, uint32_t elementTag) {
    dst.clear();
    POSITION pos = src.GetHeadPosition();
    while (pos != nullptr) {
        const T* s = src.GetNext(pos);
        T* e = nullptr;
        try {
            e = new T(elementTag);
            dst.AddTail(e);
        } catch (const std::bad_alloc&) {
            delete e;
            dst.clear();
            throw;
        }
        try {
            *e = *s;
        } catch (const std::bad_alloc&) {
            dst.clear();
            throw;
        }
    }
}

}  // namespace

ASNPkcs15TokenInfo& ASNPkcs15TokenInfo::operator=(const ASNPkcs15TokenInfo& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15tokeninfo", 112, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    version = o.version;
    tokenflags = o.tokenflags;
    if (wasSerialNumber) serialNumber = o.serialNumber;
    if (wasManufacturerID) manufacturerID = o.manufacturerID;
    if (wasLabel) asnp15::assignTagged(label, o.label, 0x80);
    if (wasSeInfo) copyList(seInfo, o.seInfo, 0x30);
    if (wasRecordInfo) asnp15::assignTagged(recordInfo, o.recordInfo, 0xA1);
    if (wasSupportedAlgorithms) {
        copyList(supportedAlgorithms, o.supportedAlgorithms, 0x30);
        asnp15::makeForm(supportedAlgorithms, 0xA2, o.supportedAlgorithms.isExplicit());
    }
    if (wasIssuerId) asnp15::assignTagged(issuerId, o.issuerId, 0x83);
    if (wasHolderId) asnp15::assignTagged(holderId, o.holderId, 0x84);
    if (wasLastUpdate) asnp15::assignTagged(lastUpdate, o.lastUpdate, 0x85);
    if (wasPreferredLanguage) preferredLanguage = o.preferredLanguage;
    if (wasContextList6) {
        copyList(contextList6, o.contextList6, TAG_ANY);
        asnp15::makeForm(contextList6, 0xA6, o.contextList6.isExplicit());
    }
    m_kept.clear();
    for (const auto& k : o.m_kept) m_kept.push_back(std::unique_ptr<KeptElement>(new KeptElement(*k)));
    return *this;
}

int ASNPkcs15TokenInfo::setVersion(uint32_t value) {
    try {
        version.setValue(value);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int ASNPkcs15TokenInfo::setTokenFlags(uint32_t bits) {
    try {
        tokenflags.setFlags(bits);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int ASNPkcs15TokenInfo::setSerialNumber(const uint8_t* data, long len) {
    if (data == nullptr) {
        serialNumber.clear();
        wasSerialNumber = 0;
        return 1;
    }
    if (len < 0 || serialNumber.set(data, len) != 1) return 0;
    wasSerialNumber = 1;
    return 1;
}

int ASNPkcs15TokenInfo::setText(ASNUtf8String& member, uint8_t& present, const char* text) {
    if (text == nullptr) {
        present = 0;
        return 1;
    }
    // PKCS#11 and PKCS#15 texts are UTF-8 whatever the process's locale: they are
    // stored as given, and a text that is not UTF-8 is refused.
    if (!Utf8IsWellFormed(text, std::strlen(text)) || member.setText(text, -1) != 1) return 0;
    present = 1;
    return 1;
}

int ASNPkcs15TokenInfo::setManufacturerID(const char* text) { return setText(manufacturerID, wasManufacturerID, text); }
int ASNPkcs15TokenInfo::setLabel(const char* text) { return setText(label, wasLabel, text); }
int ASNPkcs15TokenInfo::setIssuerId(const char* text) { return setText(issuerId, wasIssuerId, text); }
int ASNPkcs15TokenInfo::setHolderId(const char* text) { return setText(holderId, wasHolderId, text); }

int ASNPkcs15TokenInfo::setBasicInfo(const char* manufacturer, uint32_t tokenFlags, const char* lbl,
                                     const uint8_t* serial, long serialLen, const char* issuer,
                                     const char* holder) {
    // A token without a serial number is of the version whose serial number is optional:
    // the first version's readers take a TokenInfo without one for no token.
    if (setVersion(serial != nullptr ? 0 : 1) != 1) return 0;
    if (setTokenFlags(tokenFlags) != 1) return 0;
    if (setSerialNumber(serial, serialLen) != 1) return 0;
    if (setLabel(lbl) != 1) return 0;
    if (setManufacturerID(manufacturer) != 1) return 0;
    if (setIssuerId(issuer) != 1) return 0;
    if (setHolderId(holder) != 1) return 0;
    return 1;
}
