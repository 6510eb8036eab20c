#include "smartcard/sc_card_globalplatform.h"

#include <cstring>

SCCard_GlobalPlatform::SCCard_GlobalPlatform(SCReader* reader, uint32_t model) : SCCard(reader), m_model(model) {
    // The applet of the card models: F0 "CARDSIM" and the model number.
    static const uint8_t kPrefix[] = {0xF0, 0x43, 0x41, 0x52, 0x44, 0x53, 0x49, 0x4D};
    m_appletAid.assign(kPrefix, kPrefix + sizeof kPrefix);
    m_appletAid.push_back(static_cast<uint8_t>(model));
}

SCRESULT SCCard_GlobalPlatform::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->pinCaps = SC_PIN_CAP_PADDED;
    info->maxPinLen = 16;
    return SC_OK;
}

SCRESULT SCCard_GlobalPlatform::SelectApplet() {
    SCFileHeader* h = nullptr;
    const SCRESULT r = SCCard::SelectByAid(m_appletAid.data(), m_appletAid.size(), 0, &h);
    if (r == SC_E_FILE_NOT_FOUND) {
        m_appletSelected = false;
        return SC_E_CARD_UNSUPPORTED;
    }
    if (r == SC_E_INVALID_DATA_FORMAT) {
        // The applet answered, its header is of no use here.
        m_appletSelected = true;
        return SC_OK;
    }
    if (r < 0) return r;
    m_appletSelected = true;
    if (h->IsDf()) m_curDf.Set(&SC_FID_MF, 1);
    SCFileHeader::SafeRelease(h);
    return SC_OK;
}

SCRESULT SCCard_GlobalPlatform::SelectByAid(const uint8_t* aid, size_t len, uint32_t occurrence,
                                            SCFileHeader** header) {
    const SCRESULT r = SCCard::SelectByAid(aid, len, occurrence, header);
    if (r >= 0) m_appletSelected = len == m_appletAid.size() && std::memcmp(aid, m_appletAid.data(), len) == 0;
    return r;
}

SCRESULT SCCard_GlobalPlatform::SelectIssuerSecurityDomain() {
    static const uint8_t kIsd1[] = {0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
    static const uint8_t kIsd2[] = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    SCRESULT r = SCCard::SelectByAid(kIsd1, sizeof kIsd1, 0, nullptr);
    if (r == SC_E_FILE_NOT_FOUND) r = SCCard::SelectByAid(kIsd2, sizeof kIsd2, 0, nullptr);
    m_appletSelected = false;
    m_curDf.Clear();
    return r;
}

SCRESULT SCCard_GlobalPlatform::ResetCard() {
    m_appletSelected = false;
    return SCCard::ResetCard();
}

SCRESULT SCCard_GlobalPlatform::SetStatus(uint8_t p1, uint8_t p2, const uint8_t* data, size_t len) {
    if (data == nullptr && len) return SC_E_BAD_PARAMS;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x80, 0xF0, p1, p2, data, len, false, nullptr, &sw);
    if (r < 0) return r;
    if (sw == 0x6D00 || sw == 0x6E00) return SC_E_UNSUPPORTED_FEATURE;
    return MapStatus(sw);
}

SCRESULT SCCard_GlobalPlatform::SetStatus(SCCard* card, uint8_t p1, uint8_t p2, const uint8_t* data, size_t len) {
    SCCard_GlobalPlatform* gp = dynamic_cast<SCCard_GlobalPlatform*>(card);
    if (gp == nullptr) return card == nullptr ? SC_E_BAD_PARAMS : SC_E_UNSUPPORTED_FEATURE;
    return gp->SetStatus(p1, p2, data, len);
}

SCRESULT SCCard_GlobalPlatform::ReadCardLifeCycle() {
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xCA, 0x00, 0x8A, nullptr, 0, true, &resp, &sw);
    if (r < 0) return r;
    if (sw != 0x9000) return MapStatus(sw);
    if (resp.empty()) return SC_E_INSUFFICIENT_DATA;
    // A bare byte, or the byte inside a 8A element.
    if (resp.size() == 3 && resp[0] == 0x8A && resp[1] == 1) return resp[2];
    return resp.back();
}

SCRESULT SCCard_GlobalPlatform::GetLifeCycleState() {
    const SCRESULT lc = ReadCardLifeCycle();
    if (lc < 0) return SCCard::GetLifeCycleState();
    switch (lc) {
    case SC_GP_LC_OP_READY: return SC_LCS_CREATION;
    case SC_GP_LC_INITIALIZED: return SC_LCS_INITIALISATION;
    case SC_GP_LC_SECURED: return SC_LCS_ACTIVATED;
    case SC_GP_LC_LOCKED: return SC_LCS_DEACTIVATED;
    case SC_GP_LC_TERMINATED: return SC_LCS_TERMINATED;
    default: return (lc & 0x0F) == 0x0F ? SC_LCS_ACTIVATED : SC_LCS_INITIALISATION;
    }
}

SCRESULT SCCard_GlobalPlatform::GetSerialNumber(uint8_t* buffer, uint32_t capacity) {
    const SCRESULT r = SCCard::GetSerialNumber(buffer, capacity);
    if (r != SC_E_UNSUPPORTED_FEATURE) return r;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    const SCRESULT t = Transmit(0x80, 0xCA, 0x9F, 0x7F, nullptr, 0, true, &resp, &sw);
    if (t < 0) return t;
    if (sw != 0x9000) return SC_E_UNSUPPORTED_FEATURE;
    SCTlv cplc;
    const uint8_t* p = resp.data();
    size_t n = resp.size();
    if (scFindTlv(resp.data(), resp.size(), 0x9F7F, &cplc)) {
        p = cplc.value;
        n = cplc.length;
    }
    // IC fabricator, type, operating system data (12 bytes), then the IC serial number.
    if (n < 16) return SC_E_UNSUPPORTED_FEATURE;
    if (buffer == nullptr || capacity < 4) return SC_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, p + 12, 4);
    return 4;
}
