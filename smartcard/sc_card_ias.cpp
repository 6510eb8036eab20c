#include "smartcard/sc_card_ias.h"

#include <cstring>
#include <memory>

#include "smartcard/sc_log.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smctx.h"

SCCard_IAS::SCCard_IAS(SCReader* reader) : SCCard_GlobalPlatform(reader, SC_CARD_TYPE_IAS) { ReadLifeCycleFromAtr(); }

SCRESULT SCCard_IAS::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    FillBaseInfo(info);
    info->maxPinLen = 16;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED;
    // Private keys are objects of their DF, addressed by reference.
    info->rsaCaps |= SC_RSA_CAP_PRIV_BY_REF;
    return SC_OK;
}

bool SCCard_IAS::ReadLifeCycleFromAtr() {
    // The reader's ATR is taken afresh: the life cycle changes with the card.
    if (m_pConnectedReader != nullptr && m_pConnectedReader->IsConnected()) {
        uint8_t atr[sizeof m_atr];
        uint32_t len = sizeof atr;
        if (m_pConnectedReader->GetATR(atr, &len) == SC_OK) {
            std::memcpy(m_atr, atr, len);
            m_atrLen = len;
        }
    }
    // Historical bytes: T0's low nibble counts them; the interface bytes come first.
    if (m_atrLen < 2) return false;
    size_t i = 1;
    uint8_t y = m_atr[1] >> 4;
    const size_t hist = m_atr[1] & 0x0F;
    ++i;
    while (y) {
        for (int b = 0; b < 4; ++b)
            if (y & (1 << b)) ++i;
        if (!(y & 0x8) || i > m_atrLen) break;
        y = m_atr[i - 1] >> 4;
    }
    if (i + hist > m_atrLen || hist < 2 || m_atr[i] != 0x80) return false;
    // Compact TLV objects after the category indicator 80; tag 8 is the status indicator.
    size_t p = i + 1;
    const size_t end = i + hist;
    while (p < end) {
        const uint8_t tag = m_atr[p] >> 4, len = m_atr[p] & 0x0F;
        if (p + 1 + len > end) return false;
        if (tag == 8 && len >= 1) {
            m_options = (m_options & ~0xFF00u) | (static_cast<uint32_t>(m_atr[p + 1]) << 8);
            return true;
        }
        p += 1 + len;
    }
    return false;
}

bool SCCard_IAS::ReadLifeCycleFromAtr(SCCard* card) {
    SCCard_IAS* c = dynamic_cast<SCCard_IAS*>(card);
    return c != nullptr && c->ReadLifeCycleFromAtr();
}

SCRESULT SCCard_IAS::DetectCardState() {
    SCRESULT lc = ReadCardLifeCycle();
    if (lc < 0) {
        if (!ReadLifeCycleFromAtr()) return lc;
        lc = (m_options >> 8) & 0xFF;
    }
    m_cardState = lc == SC_GP_LC_SECURED ? 3u : 2u;
    return static_cast<SCRESULT>(m_cardState);
}

SCRESULT SCCard_IAS::DetectCardState(SCCard* card) {
    SCCard_IAS* c = dynamic_cast<SCCard_IAS*>(card);
    if (c == nullptr) return card == nullptr ? SC_E_BAD_PARAMS : SC_E_UNSUPPORTED_FEATURE;
    return c->DetectCardState();
}

bool SCCard_IAS::SetSmOption(bool on) {
    SCSmCtx* ctx = m_pConnectedReader ? m_pConnectedReader->GetSmCtx() : nullptr;
    if (ctx == nullptr || !ctx->IsGpChannelMode()) return false;
    ctx->SetFlags(SC_SM_FLAG_OPTION, on);
    return true;
}

bool SCCard_IAS::SetSmOption(SCCard* card, bool on) {
    SCCard_IAS* c = dynamic_cast<SCCard_IAS*>(card);
    return c != nullptr && c->SetSmOption(on);
}

SCRESULT SCCard_IAS::GetSdoData(SCFileHeader_IAS* header) {
    if (header == nullptr) return SC_E_BAD_PARAMS;
    // Extended header list asking for the whole SDO body.
    const uint8_t d[] = {0x4D, 0x06, 0xBF, header->GetSdoClass(), header->GetSdoRef(), 0x02, 0xA0, 0x80};
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xCB, 0x3F, 0xFF, d, sizeof d, true, &resp, &sw);
    if (r < 0) return r;
    if (sw == 0x6D00) return SC_E_UNSUPPORTED_FEATURE;
    if (sw != 0x9000) return MapStatus(sw);
    if (resp.size() > 0xA0 + 8) return SC_E_TOO_MUCH_DATA;
    return header->ParseSdo(resp.data(), resp.size());
}

SCRESULT SCCard_IAS::GetPinTriesLeft(uint8_t ref) {
    if (m_variant == 1 || m_variant == 2) return SC_E_UNSUPPORTED_FEATURE;
    SCFileHeader_IAS h(0x81, ref);
    const SCRESULT r = GetSdoData(&h);
    if (r < 0) return r;
    const uint8_t* v = nullptr;
    size_t n = 0;
    if (!h.FindInSdoBody(0x9B, &v, &n) || n != 1) return SC_E_INSUFFICIENT_DATA;
    scLogMasked(SC_LOG_PIN_STATE, "card: PIN %02X, security data: %u tries left", ref, v[0]);
    return v[0];
}

SCRESULT SCCard_IAS::VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) {
    const SCRESULT r = SCCard::VerifyPin(ref, pin, len);
    if (pin != nullptr || r >= 0 || !scIsStatusWordResult(r)) return r;
    if (r == SC_E_PIN_BLOCKED || r == SC_E_NO_REFERENCED_DATA || r == SC_E_ACCESS_DENIED) return r;
    const SCRESULT tries = GetPinTriesLeft(static_cast<uint8_t>(ref));
    if (tries < 0) return r;
    return tries == 0 ? SC_E_PIN_BLOCKED : tries;
}
