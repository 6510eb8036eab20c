// Card model 7 (IAS-ECC): a GlobalPlatform card with an ISO file system, the card
// life cycle in the answer-to-reset (status indicator of the historical bytes),
// security data objects for PINs, and an optional secure-messaging option.
#pragma once

#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_fileheader_ias.h"

class SCCard_IAS : public SCCard_GlobalPlatform {
public:
    explicit SCCard_IAS(SCReader* reader);
    const char* GetCardName() const override { return "IAS-ECC"; }
    uint32_t GetPlatformVersion() const override { return 0x01010000; }
    uint32_t GetOsVersion() const override { return 0x01010000; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    bool DeletesDfWithFiles() const override { return true; }
    uint32_t GetCardState() override { return m_cardState ? m_cardState : (DetectCardState(), m_cardState); }
    SCRESULT ResizeFile(uint16_t fid, uint32_t newSize, SCFileHeader** header) override {
        return SCCard::ResizeFile(fid, newSize, header);
    }
    SCRESULT CreateFileLike(const SCFileHeader& like, uint16_t fid, uint32_t size, SCFileHeader** header) override {
        return SCCard::CreateFileLike(like, fid, size, header);
    }
    SCFileHeader* NewHeader() const override { return new SCFileHeader_IAS(); }
    // A PIN state that VERIFY without data does not give is read from the PIN's SDO.
    SCRESULT VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) override;

    // Stores the life-cycle byte of the ATR's status indicator in bits 8-15 of
    // the option word; false when the ATR has none.
    bool ReadLifeCycleFromAtr();
    static bool ReadLifeCycleFromAtr(SCCard* card);
    // Probes the card state (2 personalised, not activated; 3 activated) and keeps it.
    SCRESULT DetectCardState();
    static SCRESULT DetectCardState(SCCard* card);
    // Sets or clears the secure-messaging option (flag 0x20000) of a context in
    // the GlobalPlatform channel modes: with it, the open channel stays in use
    // for the card's commands while the context is paused. False when there is
    // no such context.
    bool SetSmOption(bool on);
    static bool SetSmOption(SCCard* card, bool on);
    // Reads the SDO that header names (class and reference) into it.
    SCRESULT GetSdoData(SCFileHeader_IAS* header);
    // Variant of the applet; variants 1 and 2 keep no try counter in the SDO.
    uint32_t GetVariant() const { return m_variant; }
    void SetVariant(uint32_t v) { m_variant = v; }
    // Tries left of a PIN from its SDO; SC_E_UNSUPPORTED_FEATURE on variants 1 and 2.
    SCRESULT GetPinTriesLeft(uint8_t ref);

protected:
    // The card's key of the key agreement (MSE SET KAT) where it offers the channel.
    uint8_t ModelChannelKeyRef() const override { return 0x01; }

private:
    uint32_t m_variant = 0;
};
