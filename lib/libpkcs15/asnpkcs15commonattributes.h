// PKCS#15 common attributes of authentication, certificate and data objects, and
// the AlgorithmInfo element of TokenInfo.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15keyidentifier.h"
#include "lib/libpkcs15/asnpkcs15usage.h"

class ASNPkcs15CommonAuthObjectAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonAuthObjectAttributes(uint32_t tag = 0);
    ASNPkcs15CommonAuthObjectAttributes(const ASNPkcs15CommonAuthObjectAttributes& other);
    ~ASNPkcs15CommonAuthObjectAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // authId NULL: absent; references -1: absent. 1, or 0 when a value cannot be stored.
    int set(const uint8_t* authId, size_t authIdLen, long authReference, long seIdentifier);

    ASNPkcs15CommonAuthObjectAttributes& operator=(const ASNPkcs15CommonAuthObjectAttributes& other);
    bool operator==(const ASNPkcs15CommonAuthObjectAttributes& other) const;

    ASNoctstr authId;
    ASNinteger authReference;
    ASNinteger seIdentifier;
    uint8_t wasAuthId;
    uint8_t wasAuthReference;
    uint8_t wasSeIdentifier;

private:
    std::array<asnp15::Member, 3> members() const;
};

class ASNPkcs15CommonCertificateAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonCertificateAttributes(uint32_t tag = 0);
    ASNPkcs15CommonCertificateAttributes(const ASNPkcs15CommonCertificateAttributes& other);
    ~ASNPkcs15CommonCertificateAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15CommonCertificateAttributes& operator=(const ASNPkcs15CommonCertificateAttributes& other);
    bool operator==(const ASNPkcs15CommonCertificateAttributes& other) const;

    ASNoctstr iD;
    ASNbool authority;
    ASNPkcs15KeyIdentifier identifier;
    ASNany certHash;
    ASNPkcs15Usage trustedUsage;
    ASNPkcs15KeyIdentifiers identifiers;
    ASNbool implicitTrust;
    uint8_t wasAuthority;
    uint8_t wasIdentifier;
    uint8_t wasCertHash;
    uint8_t wasTrustedUsage;
    uint8_t wasIdentifiers;
    uint8_t wasImplicitTrust;

private:
    void resetForms();
    std::array<asnp15::Member, 7> members() const;
};

class ASNPkcs15CommonDataObjectAttributes : public ASNsequenceF {
public:
    explicit ASNPkcs15CommonDataObjectAttributes(uint32_t tag = 0);
    ASNPkcs15CommonDataObjectAttributes(const ASNPkcs15CommonDataObjectAttributes& other);
    ~ASNPkcs15CommonDataObjectAttributes() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    ASNPkcs15CommonDataObjectAttributes& operator=(const ASNPkcs15CommonDataObjectAttributes& other);
    bool operator==(const ASNPkcs15CommonDataObjectAttributes& other) const;

    ASNUtf8String applicationName;
    ASNobjectId applicationOID;
    ASNoctstr iD;
    uint8_t wasApplicationName;
    uint8_t wasApplicationOID;
    uint8_t wasID;
    // Set: a record with neither application name nor OID is valid.
    bool bAllowEmptyContents;

private:
    std::array<asnp15::Member, 3> members() const;
    void assertContents(int line) const;
};

class ASNPkcs15AlgorithmInfo : public ASNsequenceF {
public:
    explicit ASNPkcs15AlgorithmInfo(uint32_t tag = 0);
    ASNPkcs15AlgorithmInfo(const ASNPkcs15AlgorithmInfo& other);
    ~ASNPkcs15AlgorithmInfo() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // The algorithm's number; -2 when it does not fit four octets.
    long getAlgorithm() const;
    // algRef's value (0 when empty), -1 when it does not fit four octets.
    long getAlgRef() const;
    int setParameters(const ASNobject& params);
    int set(uint32_t reference, uint32_t algorithm, const ASNobject& params, uint32_t supportedOperations,
            const ASNobjectId& algId, int algRef);
    // algId as dotted text: NULL or empty is absent; text that does not convert gives 0.
    int set(uint32_t reference, uint32_t algorithm, const ASNobject& params, uint32_t supportedOperations,
            const char* algId, int algRef);
    // With an ASN.1 NULL as parameters.
    int set(uint32_t reference, uint32_t algorithm, uint32_t supportedOperations, const char* algId, int algRef);
    int setUnknownAlgorithm(uint32_t reference, int algRef);

    ASNPkcs15AlgorithmInfo& operator=(const ASNPkcs15AlgorithmInfo& other);
    bool operator==(const ASNPkcs15AlgorithmInfo& other) const;

    ASNinteger reference;
    ASNinteger algorithm;
    ASNany parameters;
    ASNPkcs15Operations supportedOperations;
    ASNobjectId algId;
    ASNinteger algRef;
    uint8_t wasAlgId;
    uint8_t wasAlgRef;

private:
    std::array<asnp15::Member, 6> members() const;
};
