#include "smartcard/sc_card_globalplatform.h"

#include <cstring>
#include <memory>

#include "smartcard/sc_reader.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_smctx_gp.h"
#include "smartcard/sc_transactguard.h"

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

SCRESULT SCCard_GlobalPlatform::SelectApplication(const uint8_t* aid, size_t len, bool isd, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (aid == nullptr || len == 0) return SC_E_BAD_PARAMS;
    if (len > 16) return SC_E_AID_TOO_LONG;
    SCSmCtx* ctx = GetSmCtx();
    const bool switching = isd != m_isdSelected;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xA4, 0x04, 0x04, aid, len, true, &resp, &sw, SC_TX_NO_SM);
    if (r < 0) return r;
    if (sw != 0x9000 && (sw & 0xFF00) != 0x6100) return scResultFromStatus(sw);
    m_isdSelected = isd;
    m_hasLastHeader = false;
    if (ctx != nullptr && ctx->IsGpChannelMode() && switching && ctx->GetSession() != SCSmSession::None) {
        // The channel belonged to the application left behind. Back in the
        // applet, a channel kept established is opened again before the next
        // command; the security domain's channel is opened when asked for.
        if (!isd && ctx->IsEstablished())
            ctx->LoseSession();
        else
            ctx->CloseSession();
    }
    if (header == nullptr || resp.empty()) return resp.empty() && header ? SC_E_INVALID_DATA_FORMAT : SC_OK;
    std::unique_ptr<SCFileHeader> h(NewHeader());
    const SCRESULT pr = h->Parse(resp.data(), resp.size());
    if (pr < 0) return pr;
    *header = h.release();
    return SC_OK;
}

SCRESULT SCCard_GlobalPlatform::SelectApplet() {
    SCFileHeader* h = nullptr;
    const SCRESULT r = SelectApplication(m_appletAid.data(), m_appletAid.size(), false, &h);
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
    const bool applet = aid != nullptr && len == m_appletAid.size() && std::memcmp(aid, m_appletAid.data(), len) == 0;
    if (applet && occurrence == 0) {
        // The applet's DF name selects the applet itself.
        const SCRESULT r = SelectApplication(aid, len, false, header);
        if (r >= 0) {
            m_appletSelected = true;
            m_curDf.Set(&SC_FID_MF, 1);
        }
        return r;
    }
    const SCRESULT r = SCCard::SelectByAid(aid, len, occurrence, header);
    if (r >= 0) m_appletSelected = applet;
    return r;
}

SCRESULT SCCard_GlobalPlatform::SelectIssuerSecurityDomain() {
    static const uint8_t kIsd1[] = {0xA0, 0x00, 0x00, 0x01, 0x51, 0x00, 0x00, 0x00};
    static const uint8_t kIsd2[] = {0xA0, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
    SCRESULT r = SelectApplication(kIsd1, sizeof kIsd1, true, nullptr);
    if (r == SC_E_FILE_NOT_FOUND) r = SelectApplication(kIsd2, sizeof kIsd2, true, nullptr);
    m_appletSelected = false;
    m_curDf.Clear();
    return r;
}

void SCCard_GlobalPlatform::AfterCardReset() {
    // After a reset the card selects its applet by itself.
    m_appletSelected = false;
    m_isdSelected = false;
    SCCard::AfterCardReset();
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

// ------------------------------------------------------------------ secure channel

SCRESULT SCCard_GlobalPlatform::SetupGpChannel(const uint8_t* k1, size_t l1, const uint8_t* k2, size_t l2,
                                               const uint8_t* k3, size_t l3, bool pauseAfter, uint32_t mode) {
    if (k1 == nullptr || k2 == nullptr || k3 == nullptr) return SC_E_BAD_PARAMS;
    if (l1 != 16 || l2 != 16 || l3 != 16) return SC_E_INVALID_KEY_LENGTH;
    if (mode == 0) mode = SC_SM_MODE_GP_FULL;
    if (mode < SC_SM_MODE_GP_CHANNEL_FIRST || mode > SC_SM_MODE_GP_CHANNEL_LAST) return SC_E_BAD_PARAMS;
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    SCTransactGuard lock(this);
    if (lock.GetResult() < 0) return lock.GetResult();
    std::unique_ptr<SCSmCtxGp> ctx;
    try {
        ctx.reset(new SCSmCtxGp(mode));
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    ctx->SetKey(0, k1, l1);
    ctx->SetKey(1, k2, l2);
    ctx->SetKey(2, k3, l3);
    SCSmCtxGp* raw = ctx.get();
    // Whatever channel there was ends: INITIALIZE UPDATE goes in the clear.
    AttachSmCtx(std::move(ctx));
    const SCRESULT r = OpenGpSession(raw);
    if (r < 0) {
        char name[64];
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: GlobalPlatform channel (mode %u) not opened: %s", mode,
                    scGetErrorName(r, name, sizeof name));
        AttachSmCtx(nullptr);
        return r;
    }
    raw->SetEstablished(true);
    if (pauseAfter) raw->SetRunning(false);
    scLogMasked(SC_LOG_SECURE_MESSAGING, "card: GlobalPlatform channel (mode %u) opened%s", mode,
                pauseAfter ? ", paused" : "");
    return SC_OK;
}

SCRESULT SCCard_GlobalPlatform::OpenSmChannel(uint32_t keyRef, uint32_t, uint32_t, uint32_t, uint32_t) {
    SCSmCtxGp* ctx = dynamic_cast<SCSmCtxGp*>(GetSmCtx());
    if (ctx == nullptr || ctx != m_smCtx.get() || !ctx->HasKeys()) return SC_E_SM_NOT_ESTABLISHED;
    if (keyRef != 0 && keyRef != SC_SM_KEYREF_AGENT) {
        if (keyRef > 0x7F) return SC_E_BAD_PARAMS;
        ctx->SetKeyRef(keyRef);
    }
    SCTransactGuard lock(this);
    if (lock.GetResult() < 0) return lock.GetResult();
    const SCRESULT r = OpenGpSession(ctx);
    if (r < 0) {
        char name[64];
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: GlobalPlatform channel not opened again: %s",
                    scGetErrorName(r, name, sizeof name));
        AttachSmCtx(nullptr);
        return r;
    }
    ctx->SetEstablished(true);
    return SC_OK;
}

SCRESULT SCCard_GlobalPlatform::RestoreSecureMessaging() {
    SCSmCtxGp* ctx = dynamic_cast<SCSmCtxGp*>(GetSmCtx());
    if (ctx == nullptr) return SCCard::RestoreSecureMessaging();
    if (ctx != m_smCtx.get()) return SC_E_SM_NOT_ESTABLISHED;
    SCTransactGuard lock(this);
    if (lock.GetResult() < 0) return lock.GetResult();
    const SCRESULT r = OpenGpSession(ctx);
    char name[64];
    if (r < 0)
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: GlobalPlatform channel not opened again: %s",
                    scGetErrorName(r, name, sizeof name));
    else
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: GlobalPlatform channel opened again");
    // A channel that cannot be had again stays lost: nothing passes unprotected.
    if (r < 0) ctx->MarkLost();
    return r;
}
