#include "lib/libpkcs15/asnpkcs15dirrecord.h"

#include <cstring>
#include <new>
#include <vector>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

namespace {

int wordsToOctets(ASNoctstr& dst, const uint16_t* words, int count) {
    std::vector<uint8_t> b;
    try {
        b.resize(static_cast<size_t>(count) * 2);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (int i = 0; i < count; i++) {
        b[2 * i] = static_cast<uint8_t>(words[i] >> 8);
        b[2 * i + 1] = static_cast<uint8_t>(words[i]);
    }
    return dst.set(b.data(), static_cast<long>(b.size())) == 1 ? 1 : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Discretionary data object

ASNPkcs15DDO::ASNPkcs15DDO(uint32_t t)
    : ASNsequenceF(t), oid(0x06), odfPath(0x30), tokenInfoPath(0x80), unusedPath(0x81), aid(0x4F), wasOid(0),
      wasOdfPath(0), wasTokenInfoPath(0), wasUnusedPath(0), wasAid(0) {}

ASNPkcs15DDO::ASNPkcs15DDO(const ASNPkcs15DDO& o, uint32_t t) : ASNPkcs15DDO(t) { *this = o; }

ASNPkcs15DDO::~ASNPkcs15DDO() = default;

std::array<asnp15::Member, 5> ASNPkcs15DDO::members() const {
    auto* t = const_cast<ASNPkcs15DDO*>(this);
    return {{{&t->oid, &t->wasOid, 0},
             {&t->odfPath, &t->wasOdfPath, 0},
             {&t->tokenInfoPath, &t->wasTokenInfoPath, 0},
             {&t->unusedPath, &t->wasUnusedPath, 0},
             {&t->aid, &t->wasAid, 0}}};
}

int ASNPkcs15DDO::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readElements(src, len, 0, 5, [&](const ASNany& el) {
        const uint8_t id = el.tag;
        const uint8_t c = id & 0xDF;
        if (c == 0x80 || c == 0x81) {
            // The two paths come in either order, both before the application identifier.
            const int k = c == 0x80 ? 2 : 3;
            if (*m[k].present || wasAid) return 0;
            *m[k].present = 1;
            return m[k].object->assign(el);
        }
        return asnp15::takeInOrder(m, id == 0x06 ? 0 : id == 0x30 ? 1 : id == 0x4F ? 4 : -1, el);
    });
}

int ASNPkcs15DDO::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15DDO::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15DDO::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15DDO::clear() {
    wasOid = wasOdfPath = wasTokenInfoPath = wasUnusedPath = wasAid = 0;
    oid.clear();
    odfPath.clear();
    tokenInfoPath.clear();
    unusedPath.clear();
    aid.clear();
}

ASNPkcs15DDO& ASNPkcs15DDO::operator=(const ASNPkcs15DDO& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15ddo.cpp", 100, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasOid = o.wasOid;
    wasOdfPath = o.wasOdfPath;
    wasTokenInfoPath = o.wasTokenInfoPath;
    wasUnusedPath = o.wasUnusedPath;
    wasAid = o.wasAid;
    if (wasOid) oid = o.oid;
    if (wasOdfPath) odfPath = o.odfPath;
    if (wasTokenInfoPath) tokenInfoPath = o.tokenInfoPath;
    if (wasUnusedPath) unusedPath = o.unusedPath;
    if (wasAid) aid = o.aid;
    return *this;
}

bool ASNPkcs15DDO::operator==(const ASNPkcs15DDO& o) const {
    if (wasOid != o.wasOid || wasOdfPath != o.wasOdfPath || wasTokenInfoPath != o.wasTokenInfoPath ||
        wasUnusedPath != o.wasUnusedPath || wasAid != o.wasAid)
        return false;
    if (wasOid && oid != o.oid) return false;
    if (wasOdfPath && odfPath != o.odfPath) return false;
    if (wasTokenInfoPath && tokenInfoPath != o.tokenInfoPath) return false;
    if (wasUnusedPath && unusedPath != o.unusedPath) return false;
    if (wasAid && aid != o.aid) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Standard record

const uint8_t ASNPkcs15DIRRecord::kPkcs15Aid[12] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50,
                                                     0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
const uint8_t ASNPkcs15DIRRecord::kIso7816_15AidPrefix[5] = {0xE8, 0x28, 0xBD, 0x08, 0x0F};

ASNPkcs15DIRRecord::ASNPkcs15DIRRecord(uint32_t t)
    : ASNsequenceF(t), aid(0x4F), label(0x50), path(0x51), ddo(0x73), wasLabel(0), wasPath(0), wasDdo(0) {
    flags |= ASN_FLAG_CLASSTAG;
}

ASNPkcs15DIRRecord::ASNPkcs15DIRRecord(const ASNPkcs15DIRRecord& o, uint32_t t) : ASNPkcs15DIRRecord(t) {
    *this = o;
}

ASNPkcs15DIRRecord::~ASNPkcs15DIRRecord() = default;

int ASNPkcs15DIRRecord::isPkcs15Aid(const uint8_t* a, int length) {
    return a != nullptr && length == 12 && std::memcmp(a, kPkcs15Aid, 12) == 0 ? 1 : 0;
}

int ASNPkcs15DIRRecord::isIso7816_15Aid(const uint8_t* a, int length) {
    return a != nullptr && length >= 5 && std::memcmp(a, kIso7816_15AidPrefix, 5) == 0 ? 1 : 0;
}

int ASNPkcs15DIRRecord::hasPkcs15Aid() const { return isPkcs15Aid(aid.getData(), static_cast<int>(aid.getLength())); }

int ASNPkcs15DIRRecord::hasIso7816_15Aid() const {
    return isIso7816_15Aid(aid.getData(), static_cast<int>(aid.getLength()));
}

std::array<asnp15::Member, 4> ASNPkcs15DIRRecord::members() const {
    auto* t = const_cast<ASNPkcs15DIRRecord*>(this);
    return {{{&t->aid, nullptr, 0}, {&t->label, &t->wasLabel, 0}, {&t->path, &t->wasPath, 0}, {&t->ddo, &t->wasDdo, 0}}};
}

int ASNPkcs15DIRRecord::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = aid.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (aid.tag != 0x4F) return 0;
    bool pkcs15 = hasPkcs15Aid() == 1;
    if (!pkcs15 && hasIso7816_15Aid() != 1) return EASN_UNSUPPORTED;
    const auto m = members();
    int r = asnp15::readElements(src, len, consumed, 3, [&](const ASNany& el) {
        return asnp15::takeInOrder(m, el.tag == 0x50 ? 1 : el.tag == 0x51 ? 2 : el.tag == 0x73 ? 3 : -1, el);
    });
    if (r != 1) return r;
    if (pkcs15 && !wasPath) return 0;
    if (wasDdo && (pkcs15 ? ddo.hasOidWithoutAid() != 1 : ddo.hasNoUnusedPath() != 1)) return 0;
    return 1;
}

int ASNPkcs15DIRRecord::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15DIRRecord::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15DIRRecord::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15DIRRecord::clear() {
    wasLabel = wasPath = wasDdo = 0;
    aid.clear();
    label.clear();
    path.clear();
    ddo.clear();
}

int ASNPkcs15DIRRecord::setPath(const uint16_t* words, int count) {
    if (words == nullptr || count <= 0) {
        path.clear();
        wasPath = 0;
        return 1;
    }
    if (wordsToOctets(path, words, count) != 1) return 0;
    wasPath = 1;
    return 1;
}

int ASNPkcs15DIRRecord::getPath(uint16_t* out, uint32_t maxWords) const {
    if (!wasPath) return 0;
    long n = path.getLength();
    if ((n & 1) != 0) return -1;
    if (out == nullptr) return static_cast<int>(n / 2);
    if (static_cast<uint64_t>(maxWords) * 2 < static_cast<uint64_t>(n)) return -2;
    const uint8_t* d = path.getData();
    if (d == nullptr) return 0;
    for (long i = 0; i < n / 2; i++) out[i] = static_cast<uint16_t>((d[2 * i] << 8) | d[2 * i + 1]);
    return static_cast<int>(n / 2);
}

int ASNPkcs15DIRRecord::set(const uint16_t* pathWords, int pathWordCount, const char* lbl, const uint8_t* a,
                            int aidLength) {
    if (aid.set(a, aidLength < 0 ? 0 : aidLength) != 1) return 0;
    if (setPath(pathWords, pathWordCount) != 1) return 0;
    if (lbl == nullptr) {
        wasLabel = 0;
    } else {
        if (label.setText(lbl, -1) != 1) return 0;
        wasLabel = 1;
    }
    return 1;
}

int ASNPkcs15DIRRecord::setPkcs15(const uint16_t* pathWords, int pathWordCount, const char* lbl) {
    return set(pathWords, pathWordCount, lbl, kPkcs15Aid, 12);
}

int ASNPkcs15DIRRecord::setIso7816_15(const uint8_t* provider, int providerLength, const uint16_t* pathWords,
                                      int pathWordCount, const char* lbl) {
    if (providerLength < 0 || (providerLength > 0 && provider == nullptr)) return 0;
    std::vector<uint8_t> a;
    try {
        a.assign(kIso7816_15AidPrefix, kIso7816_15AidPrefix + 5);
        if (providerLength > 0) a.insert(a.end(), provider, provider + providerLength);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return set(pathWords, pathWordCount, lbl, a.data(), static_cast<int>(a.size()));
}

ASNPkcs15DIRRecord* ASNPkcs15DIRRecord::create(const uint16_t* pathWords, int pathWordCount, const char* lbl,
                                               const uint8_t* a, int aidLength) {
    ASNPkcs15DIRRecord* r = new (std::nothrow) ASNPkcs15DIRRecord(0x61);
    if (r != nullptr && r->set(pathWords, pathWordCount, lbl, a, aidLength) != 1) {
        delete r;
        r = nullptr;
    }
    return r;
}

ASNPkcs15DIRRecord* ASNPkcs15DIRRecord::createPkcs15(const uint16_t* pathWords, int pathWordCount,
                                                     const char* lbl) {
    return create(pathWords, pathWordCount, lbl, kPkcs15Aid, 12);
}

ASNPkcs15DIRRecord* ASNPkcs15DIRRecord::createIso7816_15(const uint8_t* provider, int providerLength,
                                                         const uint16_t* pathWords, int pathWordCount,
                                                         const char* lbl) {
    ASNPkcs15DIRRecord* r = new (std::nothrow) ASNPkcs15DIRRecord(0x61);
    if (r != nullptr && r->setIso7816_15(provider, providerLength, pathWords, pathWordCount, lbl) != 1) {
        delete r;
        r = nullptr;
    }
    return r;
}

ASNPkcs15DIRRecord& ASNPkcs15DIRRecord::operator=(const ASNPkcs15DIRRecord& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15dirrecord.cpp", 117, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasLabel = o.wasLabel;
    wasPath = o.wasPath;
    wasDdo = o.wasDdo;
    // Values only: the tags stay this record's own (a vendor layout copied into a
    // standard record is written in the standard layout).
    if (aid.set(o.aid.getData(), o.aid.getLength()) != 1) throw std::bad_alloc();
    if (wasLabel && label.setText(reinterpret_cast<const char*>(o.label.getData()),
                                  static_cast<int>(o.label.getLength())) != 1)
        throw std::bad_alloc();
    if (wasPath && path.set(o.path.getData(), o.path.getLength()) != 1) throw std::bad_alloc();
    if (wasDdo) ddo = o.ddo;
    return *this;
}

bool ASNPkcs15DIRRecord::operator==(const ASNPkcs15DIRRecord& o) const {
    if (wasLabel != o.wasLabel || wasPath != o.wasPath || wasDdo != o.wasDdo) return false;
    if (ASNoctstr::compare(aid, o.aid) != 0) return false;
    if (wasLabel && ASNoctstr::compare(label, o.label) != 0) return false;
    if (wasPath && ASNoctstr::compare(path, o.path) != 0) return false;
    if (wasDdo && !(ddo == o.ddo)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Vendor layout with exchanged identifiers

ASNPkcs15DIRRecord_Pomerantix::ASNPkcs15DIRRecord_Pomerantix() : ASNPkcs15DIRRecord(0x61) {
    aid.tag = 0x50;
    label.tag = 0x4F;
}

ASNPkcs15DIRRecord_Pomerantix::~ASNPkcs15DIRRecord_Pomerantix() = default;

int ASNPkcs15DIRRecord_Pomerantix::read_contents(GenericFile* src, long len) {
    clear();
    if (len == 0) return 0;
    bool haveAid = false;
    const auto m = members();
    int r = asnp15::readElements(src, len, 0, 4, [&](const ASNany& el) {
        switch (el.tag) {
        case 0x4F:  // the label, only as the first element
            if (haveAid || !asnp15::mayTake(m, 1)) return 0;
            return asnp15::takeInOrder(m, 1, el);
        case 0x50: {
            if (haveAid || !asnp15::mayTake(m, 2)) return 0;
            haveAid = true;
            int a = aid.assign(el);
            return a == 1 && hasPkcs15Aid() != 1 ? EASN_UNSUPPORTED : a;
        }
        case 0x51: return asnp15::takeInOrder(m, 2, el);
        case 0x53:
            // Discretionary data under a primitive identifier: its contents decode
            // as the standard discretionary data.
            if (!asnp15::mayTake(m, 3)) return 0;
            wasDdo = 1;
            return asnp15::assignContents(ddo, el);
        default: return 0;
        }
    });
    if (r != 1) return r;
    if (!haveAid || !wasPath) return 0;
    // Kept as a standard record, its discretionary data must be valid there too.
    return !wasDdo || ddo.hasOidWithoutAid() == 1 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// SigG application record

const uint8_t ASNSigGDirRecord::kSigGAid[6] = {0xD2, 0x76, 0x00, 0x00, 0x66, 0x01};

ASNSigGDirRecord::ASNSigGDirRecord()
    : ASNsequenceF(0x61), aid(0x4F), label(0x50), path(0x51), ddo(0x53), wasLabel(0), wasDdo(0) {
    flags |= ASN_FLAG_CLASSTAG;
    ddo.flags |= ASN_FLAG_CLASSTAG | ASN_FLAG_CONSTR;
}

ASNSigGDirRecord::ASNSigGDirRecord(const ASNSigGDirRecord& o) : ASNSigGDirRecord() { *this = o; }

ASNSigGDirRecord::~ASNSigGDirRecord() = default;

std::array<asnp15::Member, 4> ASNSigGDirRecord::members() const {
    auto* t = const_cast<ASNSigGDirRecord*>(this);
    return {{{&t->aid, nullptr, 0}, {&t->label, &t->wasLabel, 0}, {&t->path, nullptr, 0}, {&t->ddo, &t->wasDdo, 0}}};
}

int ASNSigGDirRecord::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = aid.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (aid.tag != 0x4F) return 0;
    if (aid.getLength() != 6 || std::memcmp(aid.getData(), kSigGAid, 6) != 0) return EASN_UNSUPPORTED;
    if (consumed >= len) return 0;
    uint8_t havePath = 0;
    // The path's own flag for the order of the members; it is always written.
    asnp15::Member m[3] = {{&label, &wasLabel, 0}, {&path, &havePath, 0}, {&ddo, &wasDdo, 0}};
    int r = asnp15::readElements(src, len, consumed, 3, [&](const ASNany& el) {
        const int k = el.tag == 0x50 ? 0 : el.tag == 0x51 ? 1 : el.tag == 0x53 || el.tag == 0x73 ? 2 : -1;
        // Any other element is skipped.
        return k < 0 ? asnp15::kSkipElement : asnp15::takeInOrder(m, 3, k, el);
    });
    if (r != 1) return r;
    return havePath ? 1 : 0;
}

int ASNSigGDirRecord::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNSigGDirRecord::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNSigGDirRecord::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNSigGDirRecord::clear() {
    wasLabel = wasDdo = 0;
    aid.clear();
    label.clear();
    path.clear();
    ddo.clear();
}

int ASNSigGDirRecord::setPath(const uint16_t* fids, int count) {
    if (fids == nullptr || count <= 0) {
        path.clear();
        return 1;
    }
    return wordsToOctets(path, fids, count);
}

int ASNSigGDirRecord::setDefault(const char* lbl) {
    if (aid.set(kSigGAid, 6) != 1) return 0;
    static const uint16_t fids[2] = {0x3F00, 0xDF01};
    if (setPath(fids, 2) != 1) return 0;
    if (lbl == nullptr) {
        wasLabel = 0;
    } else {
        if (label.setText(lbl, -1) != 1) return 0;
        wasLabel = 1;
    }
    return 1;
}

ASNSigGDirRecord* ASNSigGDirRecord::create(const char* lbl) {
    ASNSigGDirRecord* r = new (std::nothrow) ASNSigGDirRecord();
    if (r != nullptr && r->setDefault(lbl) != 1) {
        delete r;
        r = nullptr;
    }
    return r;
}

ASNSigGDirRecord& ASNSigGDirRecord::operator=(const ASNSigGDirRecord& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnsiggdirrecord", 60, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasLabel = o.wasLabel;
    wasDdo = o.wasDdo;
    aid = o.aid;
    path = o.path;
    if (wasLabel) label = o.label;
    if (wasDdo) ddo = o.ddo;
    return *this;
}
