// PKCS#15 CommonKeyAttributes and the common private-, public- and secret-key
// attributes.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/x509/x509name.h"
#include "lib/libasn/x509time.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15keyidentifier.h"
#include "lib/libpkcs15/asnpkcs15usage.h"

typedef DistinguishedName ASNPkcs15SubjectName;

class ASNPkcs15CommonKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonKeyAttributes(uint32_t tag = 0);
    ASNPkcs15CommonKeyAttributes(const ASNPkcs15CommonKeyAttributes& other);
    ~ASNPkcs15CommonKeyAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // -1 when absent or not in 0..0x7FFFFFFE.
    int getKeyReference() const;
    // Below 0: absent.
    void setKeyReference(int ref);
    // 1 unless native is present and false.
    int isNative() const;
    int setUsage(uint64_t bits);
    // All ones: absent.
    int setAccessFlags(uint64_t bits);

    ASNPkcs15CommonKeyAttributes& operator=(const ASNPkcs15CommonKeyAttributes& other);
    bool operator==(const ASNPkcs15CommonKeyAttributes& other) const;
    bool operator!=(const ASNPkcs15CommonKeyAttributes& other) const { return !(*this == other); }

    ASNoctstr iD;
    ASNbitstr usage;
    ASNbool native;
    ASNbitstr accessFlags;
    ASNinteger keyReference;
    X509time startDate;
    X509time endDate;
    ASNsequenceList<ASNinteger> algReference;
    uint8_t wasNative;
    uint8_t wasAccessFlags;
    uint8_t wasKeyReference;
    uint8_t wasStartDate;
    uint8_t wasEndDate;
    uint8_t wasAlgReference;

private:
    void resetForms();
    std::array<asnp15::Member, 8> members() const;
};

class ASNPkcs15CommonPrivateKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonPrivateKeyAttributes(uint32_t tag = 0);
    ASNPkcs15CommonPrivateKeyAttributes(const ASNPkcs15CommonPrivateKeyAttributes& other);
    ~ASNPkcs15CommonPrivateKeyAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15CommonPrivateKeyAttributes& operator=(const ASNPkcs15CommonPrivateKeyAttributes& other);
    bool operator==(const ASNPkcs15CommonPrivateKeyAttributes& other) const;

    ASNPkcs15SubjectName subjectName;
    ASNany rawSubjectName;
    ASNPkcs15KeyIdentifiers keyIdentifiers;
    uint8_t wasSubjectName;
    uint8_t wasRawSubjectName;
    uint8_t wasKeyIdentifiers;

private:
    // The subject name in its one place: the decoded name, else the raw element.
    std::array<asnp15::Member, 2> members() const;
};

class ASNPkcs15CommonPublicKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonPublicKeyAttributes(uint32_t tag = 0);
    ASNPkcs15CommonPublicKeyAttributes(const ASNPkcs15CommonPublicKeyAttributes& other);
    ~ASNPkcs15CommonPublicKeyAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15CommonPublicKeyAttributes& operator=(const ASNPkcs15CommonPublicKeyAttributes& other);
    bool operator==(const ASNPkcs15CommonPublicKeyAttributes& other) const;

    ASNPkcs15SubjectName subjectName;
    ASNPkcs15Usage trustedUsage;
    uint8_t wasSubjectName;
    uint8_t wasTrustedUsage;

private:
    std::array<asnp15::Member, 2> members() const;
};

class ASNPkcs15CommonSecretKeyAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonSecretKeyAttributes(uint32_t tag = 0);
    ASNPkcs15CommonSecretKeyAttributes(const ASNPkcs15CommonSecretKeyAttributes& other);
    ~ASNPkcs15CommonSecretKeyAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15CommonSecretKeyAttributes& operator=(const ASNPkcs15CommonSecretKeyAttributes& other);
    bool operator==(const ASNPkcs15CommonSecretKeyAttributes& other) const;

    ASNinteger keyLen;
    uint8_t wasKeyLen;

private:
    std::array<asnp15::Member, 1> members() const {
        auto* t = const_cast<ASNPkcs15CommonSecretKeyAttributes*>(this);
        return {{{&t->keyLen, &t->wasKeyLen, 0}}};
    }
};
