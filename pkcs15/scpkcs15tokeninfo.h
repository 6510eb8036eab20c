// The application's EF.TokenInfo as a file object holding the decoded TokenInfo.
#pragma once

#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs15/scpkcs15pathobjectinfo.h"

class SCPkcs15TokenInfo : public SCPkcs15PathObjectInfo {
public:
    // Made with room for a longer label, written in place.
    explicit SCPkcs15TokenInfo(SCCard* card) : SCPkcs15PathObjectInfo(card) {
        SetRecordsLayout(true, 256, 48);
    }
    ~SCPkcs15TokenInfo() override = default;

    SCRESULT Parse(MemFile* in, uint32_t len) override;
    SCRESULT Encode(MemFile* out) override;

    // Loads the file when it is not loaded yet; *out is the decoded TokenInfo (owned here).
    SCRESULT GetTokenInfo(ASNPkcs15TokenInfo** out);
    // Sets serialNumber and its presence; null clears both.
    SCRESULT SetSerialNumber(const char* text, uint32_t len);
    // The decoded contents as they are (no load).
    ASNPkcs15TokenInfo& Contents() { return m_tokenInfo; }
    // Empties the decoded contents (the application's Clear).
    void ClearTokenInfo() { m_tokenInfo.clear(); }

private:
    ASNPkcs15TokenInfo m_tokenInfo;
};
