#include "smartcard/sc_card_classic.h"

#include "smartcard/sc_log.h"

SCRESULT SCCard_ClassIC::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->erasedValue = 0x00;
    info->maxPinLen = 16;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED;
    info->issuerCode = 0;
    info->rsaCaps |= SC_RSA_CAP_PRIV_BY_FILE;
    return SC_OK;
}

SCRESULT SCCard_ClassIC::SelectAppletThunk(SCCard* card, uint32_t) {
    if (card == nullptr) return SC_E_BAD_PARAMS;
    return card->SelectApplet();
}

SCRESULT SCCard_ClassIC::RestoreSecurityEnvironment(uint32_t se) {
    if (se > 0xFF) return SC_E_BAD_PARAMS;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x22, 0xF3, static_cast<uint8_t>(se), nullptr, 0, false, nullptr, &sw);
    if (r < 0) return r;
    scLogMasked(SC_LOG_SECURITY_ENV, "card: security environment %02X restored -> %04X", se, sw);
    return MapStatus(sw);
}

SCRESULT SCCard_ClassIC::RestoreSecurityEnvironment(SCCard* card, uint32_t se) {
    SCCard_ClassIC* c = dynamic_cast<SCCard_ClassIC*>(card);
    if (c == nullptr) return card == nullptr ? SC_E_BAD_PARAMS : SC_E_UNSUPPORTED_FEATURE;
    return c->RestoreSecurityEnvironment(se);
}
