// EF.DIR application template of a PKCS#15 application ([APPLICATION 1]) and its
// discretionary data object, and the two vendor layouts that some cards carry.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15path.h"

class ASNPkcs15DDO : public ASNsequenceF {
public:
    explicit ASNPkcs15DDO(uint32_t tag = 0);
    ASNPkcs15DDO(const ASNPkcs15DDO& other, uint32_t tag);
    ASNPkcs15DDO(const ASNPkcs15DDO& other) : ASNPkcs15DDO(other, other.tag) {}
    ~ASNPkcs15DDO() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    int hasOidWithoutAid() const { return wasOid && !wasAid ? 1 : 0; }
    int hasNoUnusedPath() const { return wasUnusedPath ? 0 : 1; }

    ASNPkcs15DDO& operator=(const ASNPkcs15DDO& other);
    bool operator==(const ASNPkcs15DDO& other) const;

    ASNobjectId oid;
    ASNPkcs15Path odfPath;
    ASNPkcs15Path tokenInfoPath;
    ASNPkcs15Path unusedPath;
    ASNoctstr aid;
    uint8_t wasOid;
    uint8_t wasOdfPath;
    uint8_t wasTokenInfoPath;
    uint8_t wasUnusedPath;
    uint8_t wasAid;

private:
    std::array<asnp15::Member, 5> members() const;
};

class ASNPkcs15DIRRecord : public ASNsequenceF {
public:
    static const uint8_t kPkcs15Aid[12];
    static const uint8_t kIso7816_15AidPrefix[5];

    explicit ASNPkcs15DIRRecord(uint32_t tag = 0x61);
    ASNPkcs15DIRRecord(const ASNPkcs15DIRRecord& other, uint32_t tag);
    ASNPkcs15DIRRecord(const ASNPkcs15DIRRecord& other) : ASNPkcs15DIRRecord(other, other.tag) {}
    ~ASNPkcs15DIRRecord() override;

    // 1, 0 malformed, -1/-2 stream/memory, -4 an application that is not PKCS#15.
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    int set(const uint16_t* pathWords, int pathWordCount, const char* label, const uint8_t* aid, int aidLength);
    int setPkcs15(const uint16_t* pathWords, int pathWordCount, const char* label);
    int setIso7816_15(const uint8_t* provider, int providerLength, const uint16_t* pathWords, int pathWordCount,
                      const char* label);
    int setPath(const uint16_t* words, int count);
    int getPath(uint16_t* out, uint32_t maxWords) const;

    static int isPkcs15Aid(const uint8_t* aid, int length);
    static int isIso7816_15Aid(const uint8_t* aid, int length);
    int hasPkcs15Aid() const;
    int hasIso7816_15Aid() const;

    // New records built with 0x61; NULL when they cannot be filled.
    static ASNPkcs15DIRRecord* create(const uint16_t* pathWords, int pathWordCount, const char* label,
                                      const uint8_t* aid, int aidLength);
    static ASNPkcs15DIRRecord* createPkcs15(const uint16_t* pathWords, int pathWordCount, const char* label);
    static ASNPkcs15DIRRecord* createIso7816_15(const uint8_t* provider, int providerLength,
                                                const uint16_t* pathWords, int pathWordCount, const char* label);

    ASNPkcs15DIRRecord& operator=(const ASNPkcs15DIRRecord& other);
    bool operator==(const ASNPkcs15DIRRecord& other) const;

    ASNoctstr aid;
    ASNUtf8String label;
    ASNoctstr path;
    ASNPkcs15DDO ddo;
    uint8_t wasLabel;
    uint8_t wasPath;
    uint8_t wasDdo;

protected:
    std::array<asnp15::Member, 4> members() const;
};

// A vendor layout: label under 0x4F, application identifier under 0x50, primitive
// discretionary data 0x53; only the PKCS#15 application. Copied into a standard
// record it is written in the standard layout.
class ASNPkcs15DIRRecord_Pomerantix : public ASNPkcs15DIRRecord {
public:
    ASNPkcs15DIRRecord_Pomerantix();
    ~ASNPkcs15DIRRecord_Pomerantix() override;
    int read_contents(GenericFile* src, long len) override;
};

// The record of the SigG application (D2 76 00 00 66 01): a mandatory path, the
// discretionary data kept undecoded.
class ASNSigGDirRecord : public ASNsequenceF {
public:
    static const uint8_t kSigGAid[6];

    ASNSigGDirRecord();
    ASNSigGDirRecord(const ASNSigGDirRecord& other);
    ~ASNSigGDirRecord() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    int setDefault(const char* label);
    int setPath(const uint16_t* fids, int count);
    static ASNSigGDirRecord* create(const char* label);

    ASNSigGDirRecord& operator=(const ASNSigGDirRecord& other);

    ASNoctstr aid;
    ASNUtf8String label;
    ASNoctstr path;
    ASNany ddo;
    uint8_t wasLabel;
    uint8_t wasDdo;

private:
    std::array<asnp15::Member, 4> members() const;
};
