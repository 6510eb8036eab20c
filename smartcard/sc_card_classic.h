// Card model 4 (ClassIC): a GlobalPlatform card whose applet holds an ISO file
// system with access rules; before a private-key operation the caller restores
// the key's security environment (MSE RESTORE).
#pragma once

#include "smartcard/sc_card_globalplatform.h"

class SCCard_ClassIC : public SCCard_GlobalPlatform {
public:
    explicit SCCard_ClassIC(SCReader* reader) : SCCard_GlobalPlatform(reader, SC_CARD_TYPE_CLASSIC) {}
    const char* GetCardName() const override { return "ClassIC"; }
    uint32_t GetPlatformVersion() const override { return 0x03010200; }
    uint32_t GetOsVersion() const override { return 0x03010000; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    bool DeletesDfWithFiles() const override { return true; }
    SCRESULT ResizeFile(uint16_t fid, uint32_t newSize, SCFileHeader** header) override {
        return SCCard::ResizeFile(fid, newSize, header);
    }
    SCRESULT CreateFileLike(const SCFileHeader& like, uint16_t fid, uint32_t size, SCFileHeader** header) override {
        return SCCard::CreateFileLike(like, fid, size, header);
    }

    // Selects the applet (the thunk form the token layer calls with flags 0).
    static SCRESULT SelectAppletThunk(SCCard* card, uint32_t flags);
    // MSE RESTORE of a security environment (00 22 F3 se).
    SCRESULT RestoreSecurityEnvironment(uint32_t se);
    static SCRESULT RestoreSecurityEnvironment(SCCard* card, uint32_t se);
};
