// PKCS#15 TokenInfo, with the trailing [6] member kept undecoded.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/asnu8str.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"

class ASNPkcs15TokenInfo : public ASNsequenceF {
public:
    explicit ASNPkcs15TokenInfo(uint32_t tag = 0);
    ASNPkcs15TokenInfo(const ASNPkcs15TokenInfo& other);
    ~ASNPkcs15TokenInfo() override;

    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;
    void clear() override;

    // Throws std::bad_alloc when an element cannot be copied.
    ASNPkcs15TokenInfo& operator=(const ASNPkcs15TokenInfo& other);

    int setVersion(uint32_t value);
    int setTokenFlags(uint32_t bits);
    // NULL data removes the serial number.
    int setSerialNumber(const uint8_t* data, long len);
    // NULL removes the member; the text is taken in the system's encoding.
    int setManufacturerID(const char* text);
    int setLabel(const char* text);
    int setIssuerId(const char* text);
    int setHolderId(const char* text);
    int setBasicInfo(const char* manufacturerID, uint32_t tokenFlags, const char* label, const uint8_t* serial,
                     long serialLen, const char* issuerId, const char* holderId);
    // Bit 0 of the token flags.
    bool isReadOnly() const { return tokenflags.getBit(0) == 1; }

    ASNinteger version;
    ASNoctstr serialNumber;
    ASNUtf8String manufacturerID;
    ASNUtf8String label;
    ASNbitstr tokenflags;
    ASNsequenceList<ASNPkcs15SecEnvInfo> seInfo;
    ASNPkcs15RecordInfo recordInfo;
    ASNsequenceList<ASNPkcs15AlgorithmInfo> supportedAlgorithms;
    ASNUtf8String issuerId;
    ASNUtf8String holderId;
    ASNgenTime lastUpdate;
    ASNoctstr preferredLanguage;
    ASNsequenceList<ASNany> contextList6;
    uint8_t wasSerialNumber;
    uint8_t wasManufacturerID;
    uint8_t wasLabel;
    uint8_t wasSeInfo;
    uint8_t wasRecordInfo;
    uint8_t wasSupportedAlgorithms;
    uint8_t wasIssuerId;
    uint8_t wasHolderId;
    uint8_t wasLastUpdate;
    uint8_t wasPreferredLanguage;
    uint8_t wasContextList6;

private:
    struct KeptElement {
        ASNany element;
        int after;   // the member it followed (its place in members(); 0 is the version)
        int member;  // the member it failed to be, -1 for an unknown element
    };
    // The version and the members in encoding order.
    std::array<asnp15::Member, 13> members() const;
    // Visits the members there and the kept elements in the order they are written.
    template <class Fn>
    int forEachWritten(Fn fn) const;
    void resetForms();
    int setText(ASNUtf8String& member, uint8_t& present, const char* text);

    // Elements that the last decode kept as received: unknown ones and known
    // members whose contents did not decode. Each is written back after the member
    // it followed; one that stood for a member is left out once that member is
    // present (set by the caller).
    std::vector<std::unique_ptr<KeptElement>> m_kept;
};
