#include "smartcard/sc_card_setcos.h"

SCRESULT SCCard_SetCOS441::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->minPinLen = 4;
    info->maxPinLen = 16;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED;
    info->rsaCaps |= SC_RSA_CAP_PRIV_BY_FILE;
    return SC_OK;
}

SCRESULT SCCard_SetCOS43::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->minPinLen = 4;
    info->maxPinLen = 8;
    info->pinCaps = SC_PIN_CAP_PADDED;
    return SC_OK;
}
