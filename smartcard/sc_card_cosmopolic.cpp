#include "smartcard/sc_card_cosmopolic.h"

#include <algorithm>
#include <vector>

namespace {

// The PINs this module makes on such a card hold 16 octets, padded; the PINs the
// card comes with (its SO PIN, 04) hold 8. The card does not say which a PIN is.
constexpr uint32_t kMadePinLength = 16;
constexpr uint32_t kIssuedPinLength = 8;

// A value padded to the length of the PINs this module makes whose text fits the
// length of the card's own PINs: that shorter form, else nothing.
bool ShortForm(const uint8_t* value, uint32_t len, uint8_t pad, std::vector<uint8_t>* out) {
    if (value == nullptr || len != kMadePinLength) return false;
    if (!std::all_of(value + kIssuedPinLength, value + len, [pad](uint8_t b) { return b == pad; })) return false;
    out->assign(value, value + kIssuedPinLength);
    return true;
}

void Wipe(std::vector<uint8_t>* v) { std::fill(v->begin(), v->end(), 0); }

}  // namespace

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

// A padded PIN goes at the length its object on the card holds. Where the card
// refuses 16 octets for their length (6700, before it compares or counts
// anything), the PIN is one the card came with: the value goes again in 8. Both
// commands take the same form, so a change splits old from new where the card
// does. (A change with 16 octets to a PIN of 8 is refused, never misread: the new
// value would begin with 8 octets of padding.)
SCRESULT SCCard_CosmopolIC::VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) {
    const SCRESULT r = SCCard::VerifyPin(ref, pin, len);
    SCCardInfo info;
    std::vector<uint8_t> shorter;
    if (r != SC_E_INVALID_DATA_LENGTH || GetCardInfo(&info) < 0 || !ShortForm(pin, len, info.padChar, &shorter))
        return r;
    const SCRESULT again = SCCard::VerifyPin(ref, shorter.data(), kIssuedPinLength);
    Wipe(&shorter);
    return again;
}

SCRESULT SCCard_CosmopolIC::ChangePin(uint32_t ref, const uint8_t* oldPin, const uint8_t* newPin, uint32_t oldLen,
                                      uint32_t newLen) {
    SCRESULT r = SCCard::ChangePin(ref, oldPin, newPin, oldLen, newLen);
    SCCardInfo info;
    std::vector<uint8_t> oldShort, newShort;
    if (r == SC_E_INVALID_DATA_LENGTH && GetCardInfo(&info) >= 0 && ShortForm(newPin, newLen, info.padChar, &newShort) &&
        (oldPin == nullptr || ShortForm(oldPin, oldLen, info.padChar, &oldShort)))
        r = SCCard::ChangePin(ref, oldPin ? oldShort.data() : nullptr, newShort.data(), kIssuedPinLength,
                              kIssuedPinLength);
    Wipe(&oldShort);
    Wipe(&newShort);
    return r;
}
