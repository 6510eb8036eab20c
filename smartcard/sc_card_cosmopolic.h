// Card model 3 (CosmopolIC): an ISO file system whose erased memory reads 00 and
// whose PINs can exchange reference data.
#pragma once

#include <vector>

#include "smartcard/sc_card.h"

class SCCard_CosmopolIC : public SCCard {
public:
    explicit SCCard_CosmopolIC(SCReader* reader) : SCCard(reader) {}
    const char* GetCardName() const override { return "CosmopolIC"; }
    uint32_t GetPlatformVersion() const override { return 0x05000200; }
    uint32_t GetOsVersion() const override { return 0x05020000; }
    uint32_t GetCardType(uint32_t = 0, uint32_t = 0) const override { return SC_CARD_TYPE_COSMOPOLIC; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    bool DeletesDfWithFiles() const override { return true; }
    SCRESULT CreatePin(uint32_t ref, const SCPinParams* params, const uint8_t* value, uint32_t len,
                       uint32_t extra) override;
    SCRESULT VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) override;
    SCRESULT ChangePin(uint32_t ref, const uint8_t* oldPin, const uint8_t* newPin, uint32_t oldLen,
                       uint32_t newLen) override;
    SCRESULT UnblockPin(uint32_t ref, const uint8_t* puk, const uint8_t* newPin, uint32_t pukLen,
                        uint32_t newLen) override;

private:
    // The length the card showed it holds a PIN at (the PIN named from the DF
    // it was sent from; a global one from anywhere).
    struct Held {
        PinAt at;
        uint32_t len = 0;
    };
    std::vector<Held> m_held;
    Held* HeldAt(uint32_t ref);
    void NoteHeld(uint32_t ref, uint32_t len, SCRESULT answer);
};
