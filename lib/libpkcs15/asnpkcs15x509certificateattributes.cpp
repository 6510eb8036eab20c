#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"

#include <new>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

ASNPkcs15X509CertificateAttributes::ASNPkcs15X509CertificateAttributes(uint32_t t)
    : ASNsequenceF(t), value(0), subject(0x30), issuer(0xA0), serialNumber(0x02), wasSubject(0), wasIssuer(0),
      wasSerialNumber(0) {
}

ASNPkcs15X509CertificateAttributes::ASNPkcs15X509CertificateAttributes(const ASNPkcs15X509CertificateAttributes& o)
    : ASNPkcs15X509CertificateAttributes(0x30) {
    tag = o.tag;
    *this = o;
}

ASNPkcs15X509CertificateAttributes::~ASNPkcs15X509CertificateAttributes() = default;

std::array<asnp15::Member, 4> ASNPkcs15X509CertificateAttributes::members() const {
    auto* t = const_cast<ASNPkcs15X509CertificateAttributes*>(this);
    return {{{&t->value, nullptr, 0},
             {&t->subject, &t->wasSubject, 0},
             {&t->issuer, &t->wasIssuer, 0xA0},
             {&t->serialNumber, &t->wasSerialNumber, 0}}};
}

int ASNPkcs15X509CertificateAttributes::read_contents(GenericFile* src, long len) {
    clear();
    long consumed = value.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed > len) return 0;
    const auto m = members();
    return asnp15::readElements(src, len, consumed, 3, [&](const ASNany& el) {
        const uint8_t id = el.tag;
        return asnp15::takeInOrder(m, id == 0x30 ? 1 : (id & 0xDF) == 0x80 ? 2 : (id & 0xDF) == 0x02 ? 3 : -1, el);
    });
}

int ASNPkcs15X509CertificateAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15X509CertificateAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15X509CertificateAttributes::digest_contents(QvHash* hash) const {
    asnp15::digestMembers(hash, members());
}

void ASNPkcs15X509CertificateAttributes::clear() {
    asnp15::clearMembers(members());
    asnp15::makeImplicit(issuer, 0xA0);
}

ASNPkcs15X509CertificateAttributes& ASNPkcs15X509CertificateAttributes::operator=(
    const ASNPkcs15X509CertificateAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15x509certificateattributes", 65,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    asnp15::copyPresence(members(), o.members());
    if (value.convertFrom(o.value) != 1) throw std::bad_alloc();
    if (wasSubject) subject = o.subject;
    if (wasIssuer) asnp15::assignTagged(issuer, o.issuer, 0xA0);
    if (wasSerialNumber) serialNumber = o.serialNumber;
    return *this;
}

bool ASNPkcs15X509CertificateAttributes::operator==(const ASNPkcs15X509CertificateAttributes& o) const {
    if (!asnp15::samePresence(members(), o.members())) return false;
    if (!(value == o.value)) return false;
    if (wasSubject && subject.isEqual(o.subject) != 1) return false;
    if (wasIssuer && issuer.isEqual(o.issuer) != 1) return false;
    if (wasSerialNumber && !(serialNumber == o.serialNumber)) return false;
    return true;
}
