#include "lib/libpkcs15/asnpkcs15tokeninfo.h"

#include <new>
#include <stdexcept>

#include "lib/libpkcs15/asnpkcs15common.h"
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

namespace {

enum Member {
    kSerial, kManufacturer, kLabel, kFlags, kSeInfo, kRecordInfo, kAlgorithms, kIssuer, kHolder, kLastUpdate,
    kLanguage, kContext6, kMemberCount
};

// The member an identifier selects, -1 for none (the element is skipped).
int memberFor(uint8_t id) {
    if (id == 0x30) return kSeInfo;
    switch (id & 0xDF) {
        case 0x04: return kSerial;
        case 0x0C: return kManufacturer;
        case 0x80: return kLabel;
        case 0x03: return kFlags;
        case 0x81: return kRecordInfo;
        case 0x82: return kAlgorithms;
        case 0x83: return kIssuer;
        case 0x84: return kHolder;
        case 0x85: return kLastUpdate;
        case 0x13: return kLanguage;
        case 0x86: return kContext6;
        default: return -1;
    }
}

}  // namespace

int ASNPkcs15TokenInfo::read_contents(GenericFile* src, long len) {
    wasSerialNumber = wasManufacturerID = wasLabel = wasSeInfo = wasRecordInfo = wasSupportedAlgorithms = 0;
    wasIssuerId = wasHolderId = wasLastUpdate = wasPreferredLanguage = wasContextList6 = 0;
    resetForms();
    long consumed = version.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    long v;
    try {
        v = version.getLong();
    } catch (const std::exception&) {
        return 0;
    }
    if (consumed >= len) return 0;
    bool seen[kMemberCount] = {false};
    ASNany el;
    el.flags |= ASN_FLAG_CLASSTAG;
    for (int n = 0; n < 12 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        consumed += e;
        int m = memberFor(el.tag);
        if (m < 0) continue;  // an element of another kind is skipped
        for (int k = m; k < kMemberCount; k++)
            if (seen[k]) return 0;
        int a = 0;
        uint8_t* present = nullptr;
        switch (m) {
            case kSerial: a = serialNumber.assign(el); present = &wasSerialNumber; break;
            case kManufacturer: a = manufacturerID.assign(el); present = &wasManufacturerID; break;
            case kLabel: a = asnp15::assignEitherForm(label, 0x80, el); present = &wasLabel; break;
            case kFlags: a = tokenflags.assign(el); break;
            case kSeInfo: a = seInfo.assign(el); present = &wasSeInfo; break;
            case kRecordInfo: a = asnp15::assignEitherForm(recordInfo, 0xA1, el); present = &wasRecordInfo; break;
            case kAlgorithms:
                a = asnp15::assignEitherForm(supportedAlgorithms, 0xA2, el);
                present = &wasSupportedAlgorithms;
                break;
            case kIssuer: a = asnp15::assignEitherForm(issuerId, 0x83, el); present = &wasIssuerId; break;
            case kHolder: a = asnp15::assignEitherForm(holderId, 0x84, el); present = &wasHolderId; break;
            case kLastUpdate: a = asnp15::assignEitherForm(lastUpdate, 0x85, el); present = &wasLastUpdate; break;
            case kLanguage: a = preferredLanguage.assign(el); present = &wasPreferredLanguage; break;
            case kContext6:
                a = asnp15::assignEitherForm(contextList6, 0xA6, el);
                present = &wasContextList6;
                break;
        }
        if (a == 1) {
            seen[m] = true;
            if (present != nullptr) *present = 1;
        } else if (a != 0) {
            return a;
        }
        // A member whose contents do not decode is dropped; the element is skipped.
    }
    if (!seen[kFlags]) return 0;
    if (v == 0 && !wasSerialNumber) return 0;
    return consumed == len ? 1 : 0;
}

int ASNPkcs15TokenInfo::write_contents(GenericFile* dst) const {
    int r = asnp15::writeMember(version, dst);
    if (r == 1 && wasSerialNumber) r = asnp15::writeMember(serialNumber, dst);
    if (r == 1 && wasManufacturerID) r = asnp15::writeMember(manufacturerID, dst);
    if (r == 1 && wasLabel) r = asnp15::writeMember(label, dst);
    if (r == 1) r = asnp15::writeMember(tokenflags, dst);
    if (r == 1 && wasSeInfo) r = asnp15::writeMember(seInfo, dst);
    if (r == 1 && wasRecordInfo) r = asnp15::writeMember(recordInfo, dst);
    if (r == 1 && wasSupportedAlgorithms) r = asnp15::writeMember(supportedAlgorithms, dst);
    if (r == 1 && wasIssuerId) r = asnp15::writeMember(issuerId, dst);
    if (r == 1 && wasHolderId) r = asnp15::writeMember(holderId, dst);
    if (r == 1 && wasLastUpdate) r = asnp15::writeMember(lastUpdate, dst);
    if (r == 1 && wasPreferredLanguage) r = asnp15::writeMember(preferredLanguage, dst);
    if (r == 1 && wasContextList6) r = asnp15::writeMember(contextList6, dst);
    return r;
}

long ASNPkcs15TokenInfo::lenOfBody() const {
    long n = version.lenOfObject() + tokenflags.lenOfObject();
    if (wasSerialNumber) n += serialNumber.lenOfObject();
    if (wasManufacturerID) n += manufacturerID.lenOfObject();
    if (wasLabel) n += label.lenOfObject();
    if (wasSeInfo) n += seInfo.lenOfObject();
    if (wasRecordInfo) n += recordInfo.lenOfObject();
    if (wasSupportedAlgorithms) n += supportedAlgorithms.lenOfObject();
    if (wasIssuerId) n += issuerId.lenOfObject();
    if (wasHolderId) n += holderId.lenOfObject();
    if (wasLastUpdate) n += lastUpdate.lenOfObject();
    if (wasPreferredLanguage) n += preferredLanguage.lenOfObject();
    if (wasContextList6) n += contextList6.lenOfObject();
    return n;
}

void ASNPkcs15TokenInfo::digest_contents(QvHash* hash) const {
    version.digestObject(hash);
    if (wasSerialNumber) serialNumber.digestObject(hash);
    if (wasManufacturerID) manufacturerID.digestObject(hash);
    if (wasLabel) label.digestObject(hash);
    tokenflags.digestObject(hash);
    if (wasSeInfo) seInfo.digestObject(hash);
    if (wasRecordInfo) recordInfo.digestObject(hash);
    if (wasSupportedAlgorithms) supportedAlgorithms.digestObject(hash);
    if (wasIssuerId) issuerId.digestObject(hash);
    if (wasHolderId) holderId.digestObject(hash);
    if (wasLastUpdate) lastUpdate.digestObject(hash);
    if (wasPreferredLanguage) preferredLanguage.digestObject(hash);
    if (wasContextList6) contextList6.digestObject(hash);
}

void ASNPkcs15TokenInfo::clear() {
    wasSerialNumber = wasManufacturerID = wasLabel = wasSeInfo = wasRecordInfo = wasSupportedAlgorithms = 0;
    wasIssuerId = wasHolderId = wasLastUpdate = wasPreferredLanguage = wasContextList6 = 0;
    version.clear();
    serialNumber.clear();
    manufacturerID.clear();
    label.clear();
    tokenflags.clear();
    recordInfo.clear();
    issuerId.clear();
    holderId.clear();
    preferredLanguage.clear();
    seInfo.clear();
    supportedAlgorithms.clear();
    contextList6.clear();
    resetForms();
}

namespace {

void copyForm(ASNobject& dst, const ASNobject& src, uint8_t ctxTag) {
    if (src.isExplicit())
        asnp15::makeExplicit(dst, ctxTag);
    else
        asnp15::makeImplicit(dst, ctxTag);
}

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
    wasSerialNumber = o.wasSerialNumber;
    wasManufacturerID = o.wasManufacturerID;
    wasLabel = o.wasLabel;
    wasSeInfo = o.wasSeInfo;
    wasRecordInfo = o.wasRecordInfo;
    wasSupportedAlgorithms = o.wasSupportedAlgorithms;
    wasIssuerId = o.wasIssuerId;
    wasHolderId = o.wasHolderId;
    wasLastUpdate = o.wasLastUpdate;
    wasPreferredLanguage = o.wasPreferredLanguage;
    wasContextList6 = o.wasContextList6;
    version = o.version;
    tokenflags = o.tokenflags;
    if (wasSerialNumber) serialNumber = o.serialNumber;
    if (wasManufacturerID) manufacturerID = o.manufacturerID;
    if (wasLabel) {
        label = o.label;
        copyForm(label, o.label, 0x80);
    }
    if (wasSeInfo) copyList(seInfo, o.seInfo, 0x30);
    if (wasRecordInfo) {
        recordInfo = o.recordInfo;
        copyForm(recordInfo, o.recordInfo, 0xA1);
    }
    if (wasSupportedAlgorithms) {
        copyList(supportedAlgorithms, o.supportedAlgorithms, 0x30);
        copyForm(supportedAlgorithms, o.supportedAlgorithms, 0xA2);
    }
    if (wasIssuerId) {
        issuerId = o.issuerId;
        copyForm(issuerId, o.issuerId, 0x83);
    }
    if (wasHolderId) {
        holderId = o.holderId;
        copyForm(holderId, o.holderId, 0x84);
    }
    if (wasLastUpdate) {
        lastUpdate = o.lastUpdate;
        copyForm(lastUpdate, o.lastUpdate, 0x85);
    }
    if (wasPreferredLanguage) preferredLanguage = o.preferredLanguage;
    if (wasContextList6) {
        copyList(contextList6, o.contextList6, TAG_ANY);
        copyForm(contextList6, o.contextList6, 0xA6);
    }
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
    if (member.setSystemText(text, -1) != 1) return 0;
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
    if (setVersion(0) != 1) return 0;
    if (setTokenFlags(tokenFlags) != 1) return 0;
    if (setSerialNumber(serial, serialLen) != 1) return 0;
    if (setLabel(lbl) != 1) return 0;
    if (setManufacturerID(manufacturer) != 1) return 0;
    if (setIssuerId(issuer) != 1) return 0;
    if (setHolderId(holder) != 1) return 0;
    return 1;
}
