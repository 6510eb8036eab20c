#include "lib/libpkcs15/asnpkcs15commonattributes.h"

#include <new>
#include <vector>

#include "lib/libasn/asnbool.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

namespace {

bool sameDer(const ASNobject& a, const ASNobject& b) {
    std::vector<uint8_t> x, y;
    a.encodeToVector(x);
    b.encodeToVector(y);
    return x == y;
}

// Leading zero octets skipped, read unsigned: 0 for nothing, -1 beyond 4 octets.
long smallUnsigned(const ASNinteger& i) {
    const uint8_t* p = i.getData();
    long n = i.getValueLength();
    while (n > 0 && *p == 0) {
        p++;
        n--;
    }
    if (n == 0) return 0;
    if (n > 4) return -1;
    long v = 0;
    for (long k = 0; k < n; k++) v = (v << 8) | p[k];
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Authentication objects

ASNPkcs15CommonAuthObjectAttributes::ASNPkcs15CommonAuthObjectAttributes(uint32_t t)
    : ASNsequenceF(t), authId(0x04), authReference(0x02), seIdentifier(0x80), wasAuthId(0), wasAuthReference(0),
      wasSeIdentifier(0) {}

ASNPkcs15CommonAuthObjectAttributes::ASNPkcs15CommonAuthObjectAttributes(const ASNPkcs15CommonAuthObjectAttributes& o)
    : ASNPkcs15CommonAuthObjectAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonAuthObjectAttributes::~ASNPkcs15CommonAuthObjectAttributes() = default;

std::array<asnp15::Member, 3> ASNPkcs15CommonAuthObjectAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonAuthObjectAttributes*>(this);
    return {{{&t->authId, &t->wasAuthId, 0},
             {&t->authReference, &t->wasAuthReference, 0},
             {&t->seIdentifier, &t->wasSeIdentifier, 0}}};
}

int ASNPkcs15CommonAuthObjectAttributes::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readElements(src, len, 0, 3, [&](const ASNany& el) {
        const int k = el.tag == 0x04 || el.tag == 0x24 ? 0 : el.tag == 0x02 ? 1 : (el.tag & 0xDF) == 0x80 ? 2 : -1;
        return asnp15::takeInOrder(m, k, el);
    });
}

int ASNPkcs15CommonAuthObjectAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonAuthObjectAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonAuthObjectAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonAuthObjectAttributes::clear() { asnp15::clearMembers(members()); }

int ASNPkcs15CommonAuthObjectAttributes::set(const uint8_t* aid, size_t aidLen, long ref, long se) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonauthenticationobjectattributes", 90,
                    "!( flags & ASN_FLAG_CONST )");
    if (aid == nullptr) {
        wasAuthId = 0;
    } else {
        if (aidLen == 0)
            authId.clear();
        else if (authId.set(aid, static_cast<long>(aidLen)) != 1)
            return 0;
        wasAuthId = 1;
    }
    try {
        if (ref == -1) {
            wasAuthReference = 0;
        } else {
            authReference.setValue(static_cast<uint32_t>(ref));
            wasAuthReference = 1;
        }
        if (se == -1) {
            wasSeIdentifier = 0;
        } else {
            seIdentifier.setValue(static_cast<uint32_t>(se));
            wasSeIdentifier = 1;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

ASNPkcs15CommonAuthObjectAttributes& ASNPkcs15CommonAuthObjectAttributes::operator=(
    const ASNPkcs15CommonAuthObjectAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonauthenticationobjectattributes", 130,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    if (wasAuthId) authId = o.authId;
    if (wasAuthReference) authReference = o.authReference;
    if (wasSeIdentifier) seIdentifier = o.seIdentifier;
    return *this;
}

bool ASNPkcs15CommonAuthObjectAttributes::operator==(const ASNPkcs15CommonAuthObjectAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (wasAuthId && authId != o.authId) return false;
    if (wasAuthReference && !(authReference == o.authReference)) return false;
    if (wasSeIdentifier && !(seIdentifier == o.seIdentifier)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Certificates

ASNPkcs15CommonCertificateAttributes::ASNPkcs15CommonCertificateAttributes(uint32_t t)
    : ASNsequenceF(t), iD(0x04), authority(0x01), identifier(0x30), certHash(0x80), trustedUsage(0xA1),
      identifiers(0xA2), implicitTrust(0x83), wasAuthority(0), wasIdentifier(0), wasCertHash(0),
      wasTrustedUsage(0), wasIdentifiers(0), wasImplicitTrust(0) {
    certHash.flags |= ASN_FLAG_CONSTR | ASN_FLAG_CLASSTAG;
}

ASNPkcs15CommonCertificateAttributes::ASNPkcs15CommonCertificateAttributes(
    const ASNPkcs15CommonCertificateAttributes& o)
    : ASNPkcs15CommonCertificateAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonCertificateAttributes::~ASNPkcs15CommonCertificateAttributes() = default;

void ASNPkcs15CommonCertificateAttributes::resetForms() {
    certHash.tag = 0x80;
    certHash.flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    asnp15::makeImplicit(trustedUsage, 0xA1);
    asnp15::makeImplicit(identifiers, 0xA2);
    asnp15::makeImplicit(implicitTrust, 0x83);
}

std::array<asnp15::Member, 7> ASNPkcs15CommonCertificateAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonCertificateAttributes*>(this);
    return {{{&t->iD, nullptr, 0},
             {&t->authority, &t->wasAuthority, 0},
             {&t->identifier, &t->wasIdentifier, 0},
             // Kept undecoded as received, whichever tagging it has.
             {&t->certHash, &t->wasCertHash, 0},
             {&t->trustedUsage, &t->wasTrustedUsage, 0xA1},
             {&t->identifiers, &t->wasIdentifiers, 0xA2},
             {&t->implicitTrust, &t->wasImplicitTrust, 0x83}}};
}

int ASNPkcs15CommonCertificateAttributes::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = iD.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed > len) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, consumed, 6, [&](const ASNany& el) {
        const uint8_t c = el.tag & 0xDF;
        const int k = el.tag == 0x01 ? 1 : el.tag == 0x30 ? 2 : c == 0x80 ? 3 : c == 0x81 ? 4 : c == 0x82 ? 5
                      : c == 0x83 ? 6 : -1;
        return asnp15::takeInOrder(m, k, el);
    });
}

int ASNPkcs15CommonCertificateAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonCertificateAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonCertificateAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonCertificateAttributes::clear() {
    asnp15::clearMembers(members());
    resetForms();
}

ASNPkcs15CommonCertificateAttributes& ASNPkcs15CommonCertificateAttributes::operator=(
    const ASNPkcs15CommonCertificateAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commoncertificateattributes", 80,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    iD = o.iD;
    if (wasAuthority) authority = o.authority;
    if (wasIdentifier) identifier = o.identifier;
    if (wasCertHash) certHash = o.certHash;
    if (wasTrustedUsage) asnp15::assignTagged(trustedUsage, o.trustedUsage, 0xA1);
    if (wasIdentifiers) asnp15::assignTagged(identifiers, o.identifiers, 0xA2);
    if (wasImplicitTrust) asnp15::assignTagged(implicitTrust, o.implicitTrust, 0x83);
    return *this;
}

bool ASNPkcs15CommonCertificateAttributes::operator==(const ASNPkcs15CommonCertificateAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (iD != o.iD) return false;
    if (wasAuthority && !(authority == o.authority)) return false;
    if (wasIdentifier && !sameDer(identifier, o.identifier)) return false;
    if (wasCertHash && certHash != o.certHash) return false;
    if (wasTrustedUsage && trustedUsage != o.trustedUsage) return false;
    if (wasIdentifiers && identifiers != o.identifiers) return false;
    if (wasImplicitTrust && !(implicitTrust == o.implicitTrust)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Data objects

ASNPkcs15CommonDataObjectAttributes::ASNPkcs15CommonDataObjectAttributes(uint32_t t)
    : ASNsequenceF(t), applicationName(0x0C), applicationOID(0x06), iD(0x04), wasApplicationName(0),
      wasApplicationOID(0), wasID(0), bAllowEmptyContents(false) {}

ASNPkcs15CommonDataObjectAttributes::ASNPkcs15CommonDataObjectAttributes(const ASNPkcs15CommonDataObjectAttributes& o)
    : ASNPkcs15CommonDataObjectAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15CommonDataObjectAttributes::~ASNPkcs15CommonDataObjectAttributes() = default;

std::array<asnp15::Member, 3> ASNPkcs15CommonDataObjectAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonDataObjectAttributes*>(this);
    return {{{&t->applicationName, &t->wasApplicationName, 0},
             {&t->applicationOID, &t->wasApplicationOID, 0},
             {&t->iD, &t->wasID, 0}}};
}

int ASNPkcs15CommonDataObjectAttributes::read_contents(GenericFile* src, long len) {
    clear();
    if (len == 0) return bAllowEmptyContents ? 1 : 0;
    const auto m = members();
    int r = asnp15::readElements(src, len, 0, 3, [&](const ASNany& el) {
        const int k = el.tag == 0x0C ? 0 : el.tag == 0x06 ? 1 : el.tag == 0x04 || el.tag == 0x24 ? 2 : -1;
        return asnp15::takeInOrder(m, k, el);
    });
    if (r == 1 && !bAllowEmptyContents && !wasApplicationOID && !wasApplicationName) return 0;
    return r;
}

void ASNPkcs15CommonDataObjectAttributes::assertContents(int line) const {
    AssertInvariant(bAllowEmptyContents || wasApplicationName || wasApplicationOID,
                    "asnpkcs15commondataobjectattributes", line,
                    "bAllowEmptyContents || wasApplicationName || wasApplicationOID");
}

int ASNPkcs15CommonDataObjectAttributes::write_contents(GenericFile* dst) const {
    assertContents(150);
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonDataObjectAttributes::lenOfBody() const {
    assertContents(160);
    return asnp15::lenOfMembers(members());
}

void ASNPkcs15CommonDataObjectAttributes::digest_contents(QvHash* hash) const {
    assertContents(170);
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15CommonDataObjectAttributes::clear() { asnp15::clearMembers(members()); }

ASNPkcs15CommonDataObjectAttributes& ASNPkcs15CommonDataObjectAttributes::operator=(
    const ASNPkcs15CommonDataObjectAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15commondataobjectattributes", 190,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    bAllowEmptyContents = o.bAllowEmptyContents;
    if (wasApplicationName) applicationName = o.applicationName;
    if (wasApplicationOID) applicationOID = o.applicationOID;
    if (wasID) iD = o.iD;
    return *this;
}

bool ASNPkcs15CommonDataObjectAttributes::operator==(const ASNPkcs15CommonDataObjectAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (wasApplicationName && applicationName != o.applicationName) return false;
    if (wasApplicationOID && applicationOID != o.applicationOID) return false;
    if (wasID && iD != o.iD) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Algorithm information

ASNPkcs15AlgorithmInfo::ASNPkcs15AlgorithmInfo(uint32_t t)
    : ASNsequenceF(t), reference(0x02), algorithm(0x02), parameters(TAG_ANY), supportedOperations(0x03, 0),
      algId(0x06), algRef(0x02), wasAlgId(0), wasAlgRef(0) {}

ASNPkcs15AlgorithmInfo::ASNPkcs15AlgorithmInfo(const ASNPkcs15AlgorithmInfo& o) : ASNPkcs15AlgorithmInfo(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15AlgorithmInfo::~ASNPkcs15AlgorithmInfo() = default;

std::array<asnp15::Member, 6> ASNPkcs15AlgorithmInfo::members() const {
    auto* t = const_cast<ASNPkcs15AlgorithmInfo*>(this);
    return {{{&t->reference, nullptr, 0},
             {&t->algorithm, nullptr, 0},
             {&t->parameters, nullptr, 0},
             {&t->supportedOperations, nullptr, 0},
             {&t->algId, &t->wasAlgId, 0},
             {&t->algRef, &t->wasAlgRef, 0}}};
}

int ASNPkcs15AlgorithmInfo::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    const long consumed = asnp15::readLeading(src, len, m, 4);
    if (consumed < 1) return static_cast<int>(consumed);
    return asnp15::readElements(src, len, consumed, 2, [&](const ASNany& el) {
        return asnp15::takeInOrder(m, el.tag == 0x06 ? 4 : el.tag == 0x02 ? 5 : -1, el);
    });
}

int ASNPkcs15AlgorithmInfo::write_contents(GenericFile* dst) const { return asnp15::writeMembers(dst, members()); }

long ASNPkcs15AlgorithmInfo::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15AlgorithmInfo::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15AlgorithmInfo::clear() { asnp15::clearMembers(members()); }

long ASNPkcs15AlgorithmInfo::getAlgorithm() const {
    long v = smallUnsigned(algorithm);
    return v == -1 ? -2 : v;
}

long ASNPkcs15AlgorithmInfo::getAlgRef() const { return smallUnsigned(algRef); }

int ASNPkcs15AlgorithmInfo::setParameters(const ASNobject& params) {
    return parameters.convertFrom(params) == 1 ? 1 : 0;
}

int ASNPkcs15AlgorithmInfo::set(uint32_t ref, uint32_t alg, const ASNobject& params, uint32_t ops,
                                const ASNobjectId& oid, int aref) {
    if (setParameters(params) != 1) return 0;
    try {
        reference.setValue(ref);
        algorithm.setValue(alg);
        supportedOperations.setFlags(ops);
        if (oid.getLength() > 0) {
            algId = oid;
            wasAlgId = 1;
        } else {
            wasAlgId = 0;
        }
        if (aref >= 0) {
            algRef.setValue(static_cast<uint32_t>(aref));
            wasAlgRef = 1;
        } else {
            wasAlgRef = 0;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

int ASNPkcs15AlgorithmInfo::set(uint32_t ref, uint32_t alg, const ASNobject& params, uint32_t ops, const char* oidText,
                                int aref) {
    ASNobjectId oid(0x06);
    if (oidText != nullptr && oidText[0] != 0 && oid.setText(oidText) != 1) return 0;
    return set(ref, alg, params, ops, oid, aref);
}

int ASNPkcs15AlgorithmInfo::set(uint32_t ref, uint32_t alg, uint32_t ops, const char* oidText, int aref) {
    ASNnull null(0x05);
    return set(ref, alg, null, ops, oidText, aref);
}

int ASNPkcs15AlgorithmInfo::setUnknownAlgorithm(uint32_t ref, int aref) {
    static const uint8_t ff = 0xFF;
    try {
        reference.setValue(ref);
        if (algorithm.set(&ff, 1) != 1) return 0;
        parameters.clear();
        if (parameters.set(0x05, nullptr, 0) != 1) return 0;
        supportedOperations.setFlags(0x80);
        wasAlgId = 0;
        if (aref >= 0) {
            algRef.setValue(static_cast<uint32_t>(aref));
            wasAlgRef = 1;
        } else {
            wasAlgRef = 0;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

ASNPkcs15AlgorithmInfo& ASNPkcs15AlgorithmInfo::operator=(const ASNPkcs15AlgorithmInfo& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15algorithminfo", 60, "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    reference = o.reference;
    algorithm = o.algorithm;
    parameters = o.parameters;
    supportedOperations = o.supportedOperations;
    asnp15::copyPresence(members(), o.members());
    if (wasAlgId) algId = o.algId;
    if (wasAlgRef) algRef = o.algRef;
    return *this;
}

bool ASNPkcs15AlgorithmInfo::operator==(const ASNPkcs15AlgorithmInfo& o) const { return sameDer(*this, o); }
