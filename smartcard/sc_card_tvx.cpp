#include "smartcard/sc_card_tvx.h"

SCRESULT SCCard_TVX::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->maxPinLen = 12;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED;
    return SC_OK;
}
