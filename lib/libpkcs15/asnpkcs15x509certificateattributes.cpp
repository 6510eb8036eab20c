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

int ASNPkcs15X509CertificateAttributes::read_contents(GenericFile* src, long len) {
    wasSubject = wasIssuer = wasSerialNumber = 0;
    asnp15::makeImplicit(issuer, 0xA0);
    long consumed = value.read(src, len, 0);
    if (consumed < 1) return static_cast<int>(consumed);
    if (consumed >= len) return consumed == len ? 1 : 0;
    ASNany el;
    for (int n = 0; n < 3 && consumed < len; n++) {
        long e = asnp15::readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        uint8_t id = el.tag;
        int a;
        if (id == 0x30) {
            if (wasSubject || wasIssuer || wasSerialNumber) return 0;
            a = subject.assign(el);
            wasSubject = 1;
        } else if ((id & 0xDF) == 0x80) {
            if (wasIssuer || wasSerialNumber) return 0;
            a = asnp15::assignEitherForm(issuer, 0xA0, el);
            wasIssuer = 1;
        } else if ((id & 0xDF) == 0x02) {
            if (wasSerialNumber) return 0;
            a = serialNumber.assign(el);
            wasSerialNumber = 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
}

int ASNPkcs15X509CertificateAttributes::write_contents(GenericFile* dst) const {
    int r = asnp15::writeMember(value, dst);
    if (r == 1 && wasSubject) r = asnp15::writeMember(subject, dst);
    if (r == 1 && wasIssuer) r = asnp15::writeMember(issuer, dst);
    if (r == 1 && wasSerialNumber) r = asnp15::writeMember(serialNumber, dst);
    return r;
}

long ASNPkcs15X509CertificateAttributes::lenOfBody() const {
    return value.lenOfObject() + (wasSubject ? subject.lenOfObject() : 0) + (wasIssuer ? issuer.lenOfObject() : 0) +
           (wasSerialNumber ? serialNumber.lenOfObject() : 0);
}

void ASNPkcs15X509CertificateAttributes::digest_contents(QvHash* hash) const {
    value.digestObject(hash);
    if (wasSubject) subject.digestObject(hash);
    if (wasIssuer) issuer.digestObject(hash);
    if (wasSerialNumber) serialNumber.digestObject(hash);
}

void ASNPkcs15X509CertificateAttributes::clear() {
    wasSubject = wasIssuer = wasSerialNumber = 0;
    value.clear();
    subject.clear();
    issuer.clear();
    asnp15::makeImplicit(issuer, 0xA0);
    serialNumber.clear();
}

ASNPkcs15X509CertificateAttributes& ASNPkcs15X509CertificateAttributes::operator=(
    const ASNPkcs15X509CertificateAttributes& o) {
    AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15x509certificateattributes", 65,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasSubject = o.wasSubject;
    wasIssuer = o.wasIssuer;
    wasSerialNumber = o.wasSerialNumber;
    if (value.convertFrom(o.value) != 1) throw std::bad_alloc();
    if (wasSubject) subject = o.subject;
    if (wasIssuer) {
        issuer = o.issuer;
        if (o.issuer.isExplicit())
            asnp15::makeExplicit(issuer, 0xA0);
        else
            asnp15::makeImplicit(issuer, 0xA0);
    }
    if (wasSerialNumber) serialNumber = o.serialNumber;
    return *this;
}

bool ASNPkcs15X509CertificateAttributes::operator==(const ASNPkcs15X509CertificateAttributes& o) const {
    if (wasSubject != o.wasSubject || wasIssuer != o.wasIssuer || wasSerialNumber != o.wasSerialNumber) return false;
    if (!(value == o.value)) return false;
    if (wasSubject && subject.isEqual(o.subject) != 1) return false;
    if (wasIssuer && issuer.isEqual(o.issuer) != 1) return false;
    if (wasSerialNumber && !(serialNumber == o.serialNumber)) return false;
    return true;
}
