// Card model 6 (GlobalPlatform) and the base of the GlobalPlatform family
// (ClassIC, IAS-ECC): an applet that holds the file system, the issuer security
// domain, SET STATUS and the card life cycle of GlobalPlatform (GET DATA 9F7F /
// 8A). Headers of the plain GlobalPlatform applet carry no access rules.
#pragma once

#include <vector>

#include "smartcard/sc_card.h"

// GlobalPlatform card life cycle.
constexpr uint8_t SC_GP_LC_OP_READY = 0x01;
constexpr uint8_t SC_GP_LC_INITIALIZED = 0x07;
constexpr uint8_t SC_GP_LC_SECURED = 0x0F;
constexpr uint8_t SC_GP_LC_LOCKED = 0x7F;
constexpr uint8_t SC_GP_LC_TERMINATED = 0xFF;

class SCCard_GlobalPlatform : public SCCard {
public:
    // model: the card model whose applet this is (its AID ends with the model).
    explicit SCCard_GlobalPlatform(SCReader* reader, uint32_t model = SC_CARD_TYPE_GLOBALPLATFORM);
    const char* GetCardName() const override { return "GlobalPlatform"; }
    uint32_t GetPlatformVersion() const override { return 0x02020100; }
    uint32_t GetOsVersion() const override { return 0x02020000; }
    uint32_t GetCardType(uint32_t = 0, uint32_t = 0) const override { return m_model; }
    SCRESULT GetCardInfo(SCCardInfo* info) override;
    SCRESULT GetLifeCycleState() override;
    void AfterCardReset() override;
    // The serial number of GET DATA 5A, else the IC serial number of the card
    // production life-cycle data (CPLC, GET DATA 9F7F).
    SCRESULT GetSerialNumber(uint8_t* buffer, uint32_t capacity) override;
    SCRESULT ResizeFile(uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }
    SCRESULT CreateFileLike(const SCFileHeader&, uint16_t, uint32_t, SCFileHeader** header) override {
        if (header) *header = nullptr;
        return SC_E_UNIMPLEMENTED_FEATURE;
    }

    SCRESULT SelectApplet() override;
    bool IsAppletSelected() const override { return m_appletSelected; }
    SCRESULT SelectIssuerSecurityDomain() override;
    SCRESULT SelectByAid(const uint8_t* aid, size_t len, uint32_t occurrence, SCFileHeader** header) override;

    // The GlobalPlatform secure channel (Secure Channel Protocol '02').
    SCRESULT SetupGpChannel(const uint8_t* k1, size_t l1, const uint8_t* k2, size_t l2, const uint8_t* k3,
                            size_t l3, bool pauseAfter = false, uint32_t mode = 0) override;
    SCRESULT OpenSmChannel(uint32_t keyRef, uint32_t reserved1 = 0, uint32_t reserved2 = 0xFFFFFFFFu,
                           uint32_t reserved3 = 0, uint32_t reserved4 = 0) override;
    SCRESULT RestoreSecureMessaging() override;
    bool IsIssuerSecurityDomainSelected() const { return m_isdSelected; }

    // GlobalPlatform SET STATUS (80 F0 P1 P2 [data]).
    SCRESULT SetStatus(uint8_t p1, uint8_t p2, const uint8_t* data, size_t len);
    static SCRESULT SetStatus(SCCard* card, uint8_t p1, uint8_t p2, const uint8_t* data, size_t len);
    // The card life-cycle byte (GET DATA 8A, else 9F7F is not asked); negative on failure.
    SCRESULT ReadCardLifeCycle();

protected:
    // SELECT of an application by its AID, in the clear: the card's selection
    // of applications is no command of the application's channel. The channel
    // of the application left behind ends.
    SCRESULT SelectApplication(const uint8_t* aid, size_t len, bool isd, SCFileHeader** header);

    uint32_t m_model;
    std::vector<uint8_t> m_appletAid;
    bool m_appletSelected = false;
    bool m_isdSelected = false;
};
