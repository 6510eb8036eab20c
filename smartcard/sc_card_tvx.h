// Card model 5 (TVX): an ISO file system without file resizing.
#pragma once

#include "smartcard/sc_card.h"

class SCCard_TVX : public SCCard {
public:
    explicit SCCard_TVX(SCReader* reader) : SCCard(reader) {}
    const char* GetCardName() const override { return "TVX"; }
    uint32_t GetPlatformVersion() const override { return 0x01000000; }
    uint32_t GetOsVersion() const override { return 0x01000000; }
    uint32_t GetCardType(uint32_t = 0, uint32_t = 0) const override { return SC_CARD_TYPE_TVX; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    SCRESULT ResizeFile(uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }
    SCRESULT CreateFileLike(const SCFileHeader&, uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }
};
