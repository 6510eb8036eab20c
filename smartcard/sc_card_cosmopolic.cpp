#include "smartcard/sc_card_cosmopolic.h"

#include <algorithm>
#include <vector>

namespace {

// The PINs this module makes on such a card hold 16 octets, padded; the PINs the
// card comes with (its SO PIN, 04) hold 8, on some cards 16. The card does not
// say which a PIN is.
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

// A padded PIN goes at the length its object on the card holds. The card does
// not say which of the two forms a PIN has; where it refuses one for its length
// (6700, before it compares or counts anything) the value goes once more in the
// other. An answer that judged the value (done, or wrong) to a VERIFY or a
// change shows the form, and from then on the value goes in that form at once.
// Both parts of a change take the same form, so the card splits old from new
// where it does; a change whose value does not fit the form the card showed is
// refused unsent.

SCCard_CosmopolIC::Held* SCCard_CosmopolIC::HeldAt(uint32_t ref) {
    PinAt at;
    at.ref = static_cast<uint16_t>(ref);
    if (!at.global() && m_curDf.Count() == 0) return nullptr;
    for (Held& h : m_held)
        if (h.at.ref == at.ref && (at.global() || h.at.df.IsEqual(m_curDf))) return &h;
    return nullptr;
}

void SCCard_CosmopolIC::NoteHeld(uint32_t ref, uint32_t len, SCRESULT answer) {
    if (answer != SC_OK && answer != SC_E_VERIFY_FAILED) return;
    if (Held* h = HeldAt(ref)) {
        h->len = len;
        return;
    }
    Held h;
    h.at.ref = static_cast<uint16_t>(ref);
    if (!h.at.global()) {
        if (m_curDf.Count() == 0) return;
        h.at.df = m_curDf;
    }
    h.len = len;
    m_held.push_back(std::move(h));
}

SCRESULT SCCard_CosmopolIC::VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) {
    SCCardInfo info;
    std::vector<uint8_t> shorter;
    if (pin == nullptr || len != kMadePinLength || GetCardInfo(&info) < 0) return SCCard::VerifyPin(ref, pin, len);
    const bool two = ShortForm(pin, len, info.padChar, &shorter);
    const Held* h = HeldAt(ref);
    const bool shortFirst = two && h != nullptr && h->len == kIssuedPinLength;
    uint32_t sent = shortFirst ? kIssuedPinLength : len;
    SCRESULT r = SCCard::VerifyPin(ref, shortFirst ? shorter.data() : pin, sent);
    if (r == SC_E_INVALID_DATA_LENGTH && two) {
        sent = shortFirst ? len : kIssuedPinLength;
        r = SCCard::VerifyPin(ref, shortFirst ? pin : shorter.data(), sent);
    }
    NoteHeld(ref, sent, r);
    Wipe(&shorter);
    return r;
}

SCRESULT SCCard_CosmopolIC::ChangePin(uint32_t ref, const uint8_t* oldPin, const uint8_t* newPin, uint32_t oldLen,
                                      uint32_t newLen) {
    SCCardInfo info;
    if (newLen != kMadePinLength || (oldPin != nullptr && oldLen != kMadePinLength) || GetCardInfo(&info) < 0)
        return SCCard::ChangePin(ref, oldPin, newPin, oldLen, newLen);
    std::vector<uint8_t> oldShort, newShort;
    const bool two = ShortForm(newPin, newLen, info.padChar, &newShort) &&
                     (oldPin == nullptr || ShortForm(oldPin, oldLen, info.padChar, &oldShort));
    const Held* h = HeldAt(ref);
    const bool shortFirst = h != nullptr && h->len == kIssuedPinLength;
    SCRESULT r = SC_E_INVALID_DATA_LENGTH;
    uint32_t sent = 0;
    const auto send = [&](bool inShort) {
        sent = inShort ? kIssuedPinLength : kMadePinLength;
        r = inShort ? SCCard::ChangePin(ref, oldPin ? oldShort.data() : nullptr, newShort.data(), sent, sent)
                    : SCCard::ChangePin(ref, oldPin, newPin, oldLen, newLen);
    };
    if (!shortFirst || two) send(shortFirst);
    if (r == SC_E_INVALID_DATA_LENGTH && two && sent != 0) send(!shortFirst);
    // Only a check of the old value shows the form: a new value alone is taken in either.
    if (oldPin != nullptr && sent != 0) NoteHeld(ref, sent, r);
    Wipe(&oldShort);
    Wipe(&newShort);
    return r;
}

// RESET RETRY COUNTER checks the PIN the card picks (its own unblocking PIN of
// the PIN) at the length it holds that PIN at, and takes the rest of the data as
// the new value. So the card is asked with the PUK alone first (the unblocking
// that the call asks for in any case), in its 16-octet form, once more in its
// 8-octet form where it has one and the card refuses the first for its length:
// the form it takes is where it splits, and a wrong PUK is refused before a new
// value goes. A PUK refused for its length in every form it has was compared
// with nothing and cannot be the unblocking PIN: it goes no further. What an
// earlier call showed is not relied on here: a PUK in a form the card no longer
// holds would be split wrongly, and the rest set as the PIN's value.
SCRESULT SCCard_CosmopolIC::UnblockPin(uint32_t ref, const uint8_t* puk, const uint8_t* newPin, uint32_t pukLen,
                                       uint32_t newLen) {
    m_unblockedAlone = false;
    if (puk == nullptr) return SCCard::UnblockPin(ref, puk, newPin, pukLen, newLen);
    SCCardInfo info;
    std::vector<uint8_t> shorter;
    const bool two = GetCardInfo(&info) >= 0 && ShortForm(puk, pukLen, info.padChar, &shorter);
    const uint8_t* form = puk;
    uint32_t formLen = pukLen;
    SCRESULT r = SCCard::UnblockPin(ref, form, nullptr, formLen, 0);
    if (r == SC_E_INVALID_DATA_LENGTH && two) {
        form = shorter.data();
        formLen = kIssuedPinLength;
        r = SCCard::UnblockPin(ref, form, nullptr, formLen, 0);
    }
    if (r >= 0 && newPin != nullptr) {
        r = SCCard::UnblockPin(ref, form, newPin, formLen, newLen);
        // Only a refusal the card answered leaves the value as it was.
        m_unblockedAlone = scIsStatusWordResult(r) && !scIsReadFailure(r);
    }
    Wipe(&shorter);
    return r;
}
