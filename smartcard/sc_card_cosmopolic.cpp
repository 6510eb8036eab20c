#include "smartcard/sc_card_cosmopolic.h"

SCRESULT SCCard_CosmopolIC::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->erasedValue = 0x00;
    info->maxPinLen = 16;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED | SC_PIN_CAP_EXCHANGE_REF;
    info->issuerCode = 0;
    return SC_OK;
}
