// X.509 Extension, Extensions (SEQUENCE OF Extension) and the basicConstraints value.
#pragma once

#include <cstdint>

#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"

// SEQUENCE { extnID OBJECT IDENTIFIER, critical BOOLEAN DEFAULT FALSE, extnValue OCTET STRING }
class Extension : public ASNsequenceF {
public:
    explicit Extension(uint32_t tag = 0);
    Extension(const Extension& other);
    Extension& operator=(const Extension& other);
    ~Extension() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    // extnID, the raw critical octet and extnValue.
    bool operator==(const Extension& other) const;
    bool operator!=(const Extension& other) const { return !(*this == other); }
    bool isCritical() const { return critical.isTrue(); }

    ASNobjectId extnID;
    ASNbool critical;
    ASNoctstr extnValue;
};

class Extensions : public ASNsequenceList<Extension> {
public:
    explicit Extensions(uint32_t tag = 0) : ASNsequenceList<Extension>(tag) {}

    // The first extension with that extnID, else NULL.
    Extension* findExtension(const ASNobjectId& oid);
    const Extension* findExtension(const ASNobjectId& oid) const;
    // NULL also when the text is not an OID.
    const Extension* findExtensionByText(const char* dottedOid) const;
    // Decodes out from the contents of the extension's extnValue: 1, -1 when the
    // extension is absent, 0 when memory runs out, -2 when the value is malformed.
    int getExtensionValue(const ASNobjectId& oid, ASNobject* out) const;
};

// SEQUENCE { cA BOOLEAN DEFAULT FALSE, pathLenConstraint INTEGER (0..MAX) OPTIONAL }
class BasicConstraints : public ASNsequenceF {
public:
    explicit BasicConstraints(uint32_t tag = 0);
    ~BasicConstraints() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    ASNbool cA;
    uint8_t pathLenConstraintPresent;
    ASNinteger pathLenConstraint;
};
