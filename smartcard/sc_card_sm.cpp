// The card's secure channels: context ownership, the Diffie-Hellman set-up of
// ISO/IEC 7816-4 secure messaging, and the GlobalPlatform channel steps that the
// GlobalPlatform family builds on (sc_card_globalplatform.cpp).
#include <cstring>
#include <new>

#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smcrypto.h"
#include "smartcard/sc_smctx_gp.h"
#include "smartcard/sc_smctx_iso.h"
#include "smartcard/sc_transactguard.h"

namespace {

SCRESULT SetupStatus(uint16_t sw) {
    switch (sw) {
    case 0x9000: return SC_OK;
    case 0x6A88: return SC_E_NO_REFERENCED_DATA;
    case 0x6D00:
    case 0x6E00: return SC_E_UNSUPPORTED_FEATURE;
    default: return SCCard::MapStatus(sw);
    }
}

}  // namespace

SCSmCtx* SCCard::GetSmCtx() const {
    return m_pConnectedReader != nullptr ? m_pConnectedReader->GetSmCtx() : nullptr;
}

void SCCard::AttachSmCtx(std::unique_ptr<SCSmCtx> ctx) {
    // This card sets its channel up again when the reader finds the session lost.
    if (ctx) ctx->SetRestorer(this);
    if (m_pConnectedReader != nullptr) m_pConnectedReader->SetSmCtx(ctx.get());
    // The old context wipes its keys as it goes.
    m_smCtx = std::move(ctx);
}

SCRESULT SCCard::DropSmContext() {
    if (m_smCtx) scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure-messaging context dropped");
    AttachSmCtx(nullptr);
    return SC_OK;
}

SCRESULT SCCard::SetupSmDh(const SCByteBuffer* keySet, uint32_t group) {
    if (keySet == nullptr || group > 0xFF) return SC_E_BAD_PARAMS;
    for (int i = 0; i < 3; ++i)
        if (keySet[i].IsEmpty()) return SC_E_BAD_PARAMS;
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    const SCSmCtx* current = GetSmCtx();
    if (current != nullptr && current->IsGpChannelMode()) return SC_E_BAD_USAGE;
    SCTransactGuard lock(this);
    if (lock.GetResult() < 0) return lock.GetResult();

    std::unique_ptr<SCSmCtxIso> ctx;
    try {
        ctx.reset(new SCSmCtxIso());
        SCSmKeySet ks;
        ks.group = static_cast<uint8_t>(group);
        for (int i = 0; i < 3; ++i) ks.keys[i].assign(keySet[i].Data(), keySet[i].Data() + keySet[i].Size());
        SCRESULT r = ctx->SetKeySet(ks);
        for (auto& k : ks.keys) scSmWipe(k);
        if (r < 0) return r;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    ctx->SetKeyRef(group);
    SCSmCtxIso* raw = ctx.get();
    // The old channel ends here: the key agreement runs in the clear.
    AttachSmCtx(std::move(ctx));
    const SCRESULT r = AgreeSmKeys(raw);
    if (r < 0) {
        char name[64];
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging by key agreement (group %u) failed: %s", group,
                    scGetErrorName(r, name, sizeof name));
        AttachSmCtx(nullptr);
        return r;
    }
    scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging by key agreement (group %u) set up", group);
    return SC_OK;
}

void SCCard::SetChannelProbe(bool on, uint8_t keyRef, bool noneMayBeAnswered) {
    m_probeChannel = on;
    m_probeKeyRef = keyRef;
    m_noneMayBeAnswered = noneMayBeAnswered;
}

uint32_t SCCard::SecretTxFlags() {
    if (m_secretsNeedChannel) return SC_TX_PROTECTED_ONLY;
    return AskChannelOffer() == 0 ? 0 : SC_TX_PROTECTED_ONLY;
}

SCRESULT SCCard::AskChannelOffer() {
    if (m_channelOffer == kChannelOffered) return 1;
    const SCSmCtx* ctx = GetSmCtx();
    if (!m_probeChannel || (ctx != nullptr && ctx->IsActive())) return 0;
    const uint8_t ref = m_probeKeyRef != 0 ? m_probeKeyRef : ModelChannelKeyRef();
    if (ref == 0) return 0;
    // A "no such key" counts only while the card's structure read whole names no group.
    if (m_channelOffer == kChannelNotOffered && m_noneMayBeAnswered && m_notOfferedRef == ref) return 0;
    // Whether the card offers the channel is asked of the card itself, in the clear
    // and before any secret: what its files say can be edited, torn or answered wrongly.
    const uint8_t kat[] = {0x83, 0x01, ref};
    uint16_t sw = 0;
    SCRESULT r = Transmit(0x00, 0x22, 0x41, 0xA6, kat, sizeof kat, false, nullptr, &sw);
    if (r >= 0 && sw == 0x9000) {
        m_channelOffer = kChannelOffered;
        scLogMasked(SC_LOG_SECURE_MESSAGING,
                    "card: secure messaging: the card holds key %02X of the key agreement, PINs and keys go over "
                    "the channel only", ref);
        return 1;
    }
    if (r >= 0 && sw == 0x6A88 && m_noneMayBeAnswered) {
        m_channelOffer = kChannelNotOffered;
        m_notOfferedRef = ref;
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: the card holds no key %02X, it offers no channel",
                    ref);
        return 0;
    }
    char name[64];
    if (r >= 0) {
        scLogMasked(SC_LOG_SECURE_MESSAGING,
                    "card: secure messaging: the card answers %04X to whether it holds key %02X%s, PINs and keys "
                    "held back", sw, ref, sw == 0x6A88 ? " while its files name a group or were not read whole" : "");
        r = sw == 0x6A88 ? SC_E_NO_REFERENCED_DATA : MapStatus(sw);
        if (r >= 0) r = SC_E_INVALID_DATA_FORMAT;
    } else {
        scLogMasked(SC_LOG_SECURE_MESSAGING,
                    "card: secure messaging: whether the card offers the channel is not known (%s), PINs and keys "
                    "held back", scGetErrorName(r, name, sizeof name));
    }
    return r;
}

SCRESULT SCCard::AgreeSmKeys(SCSmCtxIso* ctx) {
    const SCSmKeySet* ks = ctx->GetKeySet();
    if (ks == nullptr) return SC_E_BAD_PARAMS;
    ctx->BeginOpening();
    SCSmDhAgreement dh;
    SCRESULT r = dh.SetGroup(*ks);
    if (r < 0) {
        ctx->CloseSession();
        return r;
    }
    // MSE SET KAT: the card's key of the group.
    const uint8_t kat[] = {0x83, 0x01, ks->group};
    uint16_t sw = 0;
    r = Transmit(0x00, 0x22, 0x41, 0xA6, kat, sizeof kat, false, nullptr, &sw);
    if (r >= 0) r = SetupStatus(sw);
    // The card holds the key: it offers the channel, whatever becomes of this one.
    if (r >= 0) m_channelOffer = kChannelOffered;
    std::vector<uint8_t> own, resp, secret;
    if (r >= 0) r = dh.Generate(&own);
    if (r >= 0) {
        // GENERAL AUTHENTICATE: 7C {85 own public value} -> 7C {85 the card's}.
        std::vector<uint8_t> inner, outer;
        scAppendTlv(&inner, 0x85, own.data(), own.size());
        scAppendTlv(&outer, 0x7C, inner.data(), inner.size());
        r = Transmit(0x00, 0x86, 0x00, 0x00, outer.data(), outer.size(), true, &resp, &sw);
        if (r >= 0) r = SetupStatus(sw);
    }
    if (r >= 0) {
        SCTlv dyn, value;
        size_t pos = 0;
        if (!scReadTlv(resp.data(), resp.size(), &pos, &dyn) || dyn.tag != 0x7C || pos != resp.size() ||
            !scFindTlv(dyn.value, dyn.length, 0x85, &value))
            r = SC_E_INVALID_DATA_FORMAT;
        else
            r = dh.Agree(value.value, value.length, &secret);
    }
    if (r >= 0) r = ctx->SetSessionFromSecret(secret.data(), secret.size());
    scSmWipe(secret);
    if (r < 0) {
        ctx->CloseSession();
        return r;
    }
    ctx->SessionOpened();
    return SC_OK;
}

SCRESULT SCCard::OpenGpSession(SCSmCtxGp* ctx) {
    ctx->BeginOpening();
    if (m_gpHaveSequence) ctx->SetLastSequence(m_gpLastSequence);
    std::vector<uint8_t> apdu, resp;
    uint16_t sw = 0;
    SCRESULT r = ctx->BuildInitializeUpdate(&apdu);
    if (r >= 0) r = m_pConnectedReader->TransmitAPDU(apdu, &resp, &sw);
    if (r >= 0) r = SetupStatus(sw);
    if (r >= 0) r = ctx->ProcessInitializeUpdate(resp.data(), resp.size(), &apdu);
    uint16_t seq = 0;
    if (ctx->GetLastSequence(&seq)) {
        m_gpLastSequence = seq;
        m_gpHaveSequence = true;
    }
    if (r >= 0) {
        resp.clear();
        r = m_pConnectedReader->TransmitAPDU(apdu, &resp, &sw);
        // The card refusing the host cryptogram: keys other than its own (a
        // security level it does not accept gives 6982).
        if (r >= 0) r = sw == 0x6300 ? SC_E_VERIFY_FAILED : SetupStatus(sw);
    }
    if (r < 0) {
        ctx->CloseSession();
        return r;
    }
    ctx->SessionOpened();
    return SC_OK;
}

SCRESULT SCCard::SetupGpChannel(const uint8_t*, size_t, const uint8_t*, size_t, const uint8_t*, size_t, bool,
                                uint32_t) {
    return SC_E_UNSUPPORTED_FEATURE;
}

SCRESULT SCCard::OpenSmChannel(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return SC_E_UNSUPPORTED_FEATURE; }

SCRESULT SCCard::RestoreSecureMessaging() {
    SCSmCtx* ctx = GetSmCtx();
    if (ctx == nullptr || ctx != m_smCtx.get()) return SC_E_SM_NOT_ESTABLISHED;
    SCSmCtxIso* iso = dynamic_cast<SCSmCtxIso*>(ctx);
    if (iso == nullptr) return SC_E_SM_NOT_ESTABLISHED;
    SCTransactGuard lock(this);
    if (lock.GetResult() < 0) return lock.GetResult();
    const SCRESULT r = AgreeSmKeys(iso);
    char name[64];
    if (r < 0)
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging by key agreement not set up again: %s",
                    scGetErrorName(r, name, sizeof name));
    else
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging by key agreement set up again");
    // A channel that cannot be had again stays lost: nothing passes unprotected.
    if (r < 0) iso->MarkLost();
    return r;
}
