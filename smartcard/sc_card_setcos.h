// Card models 1 (SetCOS 4.4.1) and 2 (SetCOS 4.3): ISO file systems; the older
// operating system's headers carry no access rules.
#pragma once

#include "smartcard/sc_card.h"

class SCCard_SetCOS441 : public SCCard {
public:
    explicit SCCard_SetCOS441(SCReader* reader) : SCCard(reader) {}
    const char* GetCardName() const override { return "SetCOS 4.4.1"; }
    uint32_t GetPlatformVersion() const override { return 0x04040100; }
    uint32_t GetOsVersion() const override { return 0x04040000; }
    uint32_t GetCardType(uint32_t = 0, uint32_t = 0) const override { return SC_CARD_TYPE_SETCOS441; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    bool DeletesDfWithFiles() const override { return true; }
};

class SCCard_SetCOS43 : public SCCard {
public:
    explicit SCCard_SetCOS43(SCReader* reader) : SCCard(reader) {}
    const char* GetCardName() const override { return "SetCOS 4.3"; }
    uint32_t GetPlatformVersion() const override { return 0x04030000; }
    uint32_t GetOsVersion() const override { return 0x04030000; }
    uint32_t GetCardType(uint32_t = 0, uint32_t = 0) const override { return SC_CARD_TYPE_SETCOS43; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    // Resizing is not offered by this operating system.
    SCRESULT ResizeFile(uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }
    SCRESULT CreateFileLike(const SCFileHeader&, uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }
};
