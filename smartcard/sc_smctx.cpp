#include "smartcard/sc_smctx.h"

#include <algorithm>
#include <cstring>

#include "smartcard/sc_smcrypto.h"

SCSmCtx::SCSmCtx(uint32_t mode, uint32_t kind) : m_mode(mode), m_kind(kind) {}

SCSmCtx::~SCSmCtx() {
    // The protocol's own state is gone by now (its destructor wipes it).
    for (auto& k : m_keys) Wipe(k);
    for (auto& k : m_sessionKeys) Wipe(k);
    for (auto& k : m_keySet.keys) Wipe(k);
    Wipe(m_ssc);
}

void SCSmCtx::Wipe(std::vector<uint8_t>& v) { scSmWipe(v); }

namespace {

SCRESULT StoreKey(std::vector<uint8_t>* slots, int index, const uint8_t* key, size_t len, size_t maxLen) {
    if (index < 0 || index >= SCSmCtx::KEY_COUNT) return SC_E_BAD_PARAMS;
    if ((key == nullptr && len != 0) || len > maxLen) return SC_E_BAD_PARAMS;
    std::vector<uint8_t>& slot = slots[index];
    // Overwrite in place before resizing so no copy of the old key is left behind.
    scSmWipe(slot);
    slot.reserve(maxLen);  // never reallocates later, so no stale copies
    if (len) slot.assign(key, key + len);
    return SC_OK;
}

const uint8_t* LoadKey(const std::vector<uint8_t>* slots, int index, size_t* len) {
    if (index < 0 || index >= SCSmCtx::KEY_COUNT) {
        if (len) *len = 0;
        return nullptr;
    }
    if (len) *len = slots[index].size();
    return slots[index].empty() ? nullptr : slots[index].data();
}

}  // namespace

SCRESULT SCSmCtx::SetKey(int index, const uint8_t* key, size_t len) {
    return StoreKey(m_keys, index, key, len, MAX_KEY_LENGTH);
}

const uint8_t* SCSmCtx::GetKey(int index, size_t* len) const { return LoadKey(m_keys, index, len); }

bool SCSmCtx::HasKeys() const {
    for (const auto& k : m_keys) {
        bool nonZero = false;
        for (uint8_t b : k) nonZero |= (b != 0);
        if (!nonZero) return false;
    }
    return true;
}

SCRESULT SCSmCtx::SetSessionKey(int index, const uint8_t* key, size_t len) {
    return StoreKey(m_sessionKeys, index, key, len, MAX_KEY_LENGTH);
}

const uint8_t* SCSmCtx::GetSessionKey(int index, size_t* len) const {
    return LoadKey(m_sessionKeys, index, len);
}

SCRESULT SCSmCtx::SetKeySet(const SCSmKeySet& keySet) {
    for (const auto& k : keySet.keys)
        if (k.size() > MAX_KEYSET_PART) return SC_E_BAD_PARAMS;
    for (auto& k : m_keySet.keys) Wipe(k);
    m_keySet.group = keySet.group;
    for (int i = 0; i < KEY_COUNT; ++i) m_keySet.keys[i] = keySet.keys[i];
    m_hasKeySet = true;
    return SC_OK;
}

SCRESULT SCSmCtx::SetSequenceCounter(const uint8_t* ssc, size_t len) {
    if ((ssc == nullptr && len != 0) || len > MAX_COUNTER_LENGTH) return SC_E_BAD_PARAMS;
    Wipe(m_ssc);
    m_ssc.reserve(MAX_COUNTER_LENGTH);
    if (len) m_ssc.assign(ssc, ssc + len);
    return SC_OK;
}

const uint8_t* SCSmCtx::GetSequenceCounter(size_t* len) const {
    if (len) *len = m_ssc.size();
    return m_ssc.empty() ? nullptr : m_ssc.data();
}

bool SCSmCtx::IncrementSequenceCounter() {
    if (std::all_of(m_ssc.begin(), m_ssc.end(), [](uint8_t b) { return b == 0xFF; })) return false;
    for (size_t i = m_ssc.size(); i-- > 0;)
        if (++m_ssc[i] != 0) break;  // carry into the next byte only on wrap
    return true;
}

void SCSmCtx::WipeSession() {
    for (auto& k : m_sessionKeys) Wipe(k);
    Wipe(m_ssc);
    m_awaitingAnswer = false;
    _WipeSession();
}

void SCSmCtx::LoseSession() {
    if (m_session != SCSmSession::None) MarkLost();
}

void SCSmCtx::MarkLost() {
    WipeSession();
    m_session = SCSmSession::Lost;
}

void SCSmCtx::CloseSession() {
    WipeSession();
    m_session = SCSmSession::None;
}

void SCSmCtx::Reset() {
    CloseSession();
    for (auto& k : m_keys) Wipe(k);
    for (auto& k : m_keySet.keys) Wipe(k);
    m_hasKeySet = false;
    m_keySet.group = 0;
    m_commandCount = 0;
    m_flags &= ~SC_SM_FLAG_ESTABLISHED;
}

SCRESULT SCSmCtx::WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) {
    if (apdu == nullptr || out == nullptr || len < 4) return SC_E_BAD_PARAMS;
    // A lost channel lets nothing through in the clear.
    if (NeedsRestore()) return SC_E_SM_NOT_ESTABLISHED;
    if (!IsActive()) {
        out->assign(apdu, apdu + len);
        return SC_OK;
    }
    // A command whose answer never came leaves the counters of the two sides apart.
    if (m_awaitingAnswer) {
        LoseSession();
        return SC_E_SM_NOT_ESTABLISHED;
    }
    const SCRESULT r = _WrapCommand(apdu, len, out);
    if (r < 0) {
        LoseSession();
        return r;
    }
    m_awaitingAnswer = true;
    CountCommand();
    return SC_OK;
}

SCRESULT SCSmCtx::UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                                 uint16_t* outSw) {
    if ((data == nullptr && len != 0) || out == nullptr || outSw == nullptr) return SC_E_BAD_PARAMS;
    out->clear();
    *outSw = 0;
    if (!IsActive()) {
        out->assign(data, data + len);
        *outSw = sw;
        return SC_OK;
    }
    if (!m_awaitingAnswer) {
        LoseSession();
        return SC_E_SM_MAC_INVALID;
    }
    m_awaitingAnswer = false;
    const SCRESULT r = _UnwrapResponse(data, len, sw, out, outSw);
    if (r < 0) {
        scSmWipe(*out);
        *outSw = 0;
        LoseSession();
    }
    return r;
}

SCRESULT SCSmCtx::_WrapCommand(const uint8_t*, size_t, std::vector<uint8_t>*) { return SC_E_UNIMPLEMENTED_FEATURE; }

SCRESULT SCSmCtx::_UnwrapResponse(const uint8_t*, size_t, uint16_t, std::vector<uint8_t>*, uint16_t*) {
    return SC_E_UNIMPLEMENTED_FEATURE;
}
