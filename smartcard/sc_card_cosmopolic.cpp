#include "smartcard/sc_card_cosmopolic.h"

SCRESULT SCCard_CosmopolIC::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->erasedValue = 0x00;
    info->maxPinLen = 16;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED | SC_PIN_CAP_EXCHANGE_REF;
    info->issuerCode = 0;
    info->rsaCaps |= SC_RSA_CAP_PRIV_BY_FILE;
    return SC_OK;
}

// The SO resets a user PIN that has no PUK of its own (RESET RETRY COUNTER with
// the SO PIN and the new value): such a PIN is made with the PIN that governs it
// as its unblocking reference, or the card would refuse every reset.
SCRESULT SCCard_CosmopolIC::CreatePin(uint32_t ref, const SCPinParams* params, const uint8_t* value, uint32_t len,
                                      uint32_t extra) {
    if (params == nullptr) return SCCard::CreatePin(ref, params, value, len, extra);
    const uint32_t own = SC_PINREC_SO_PIN | SC_PINREC_UNBLOCKING_PIN | SC_PINREC_UNBLOCK_DISABLED;
    if (params->unblockRef < 0xFF || (params->flags & own) != 0 || params->officerRef >= 0xFF ||
        params->officerRef == ref)
        return SCCard::CreatePin(ref, params, value, len, extra);
    SCPinParams governed = *params;
    governed.unblockRef = params->officerRef;
    governed.pukText = nullptr;
    return SCCard::CreatePin(ref, &governed, value, len, extra);
}
