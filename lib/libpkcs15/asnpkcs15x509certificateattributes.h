// PKCS#15 X509CertificateAttributes: the certificate (by value or by path) and
// optionally its subject, issuer and serial number.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/x509/x509name.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15object.h"
#include "lib/libpkcs15/asnpkcs15objectvalue.h"

class ASNPkcs15X509CertificateAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15X509CertificateAttributes(uint32_t tag = 0);
    ASNPkcs15X509CertificateAttributes(const ASNPkcs15X509CertificateAttributes& other);
    ~ASNPkcs15X509CertificateAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15X509CertificateAttributes& operator=(const ASNPkcs15X509CertificateAttributes& other);
    bool operator==(const ASNPkcs15X509CertificateAttributes& other) const;

    // Whether the issuer was read as [0] around a whole Name.
    bool issuerIsExplicit() const { return issuer.isExplicit(); }

    ASNPkcs15ObjectValue<ASNany> value;
    ASNPkcs15SubjectName subject;
    // [0], implicit unless a decode found the explicit form.
    DistinguishedName issuer;
    ASNinteger serialNumber;
    uint8_t wasSubject;
    uint8_t wasIssuer;
    uint8_t wasSerialNumber;

private:
    std::array<asnp15::Member, 4> members() const;
};

typedef ASNPkcs15Object<ASNPkcs15CommonCertificateAttributes, ASNPkcs15Null, ASNPkcs15X509CertificateAttributes>
    ASNPkcs15X509CertificateObject;
