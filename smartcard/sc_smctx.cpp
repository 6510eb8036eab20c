#include "smartcard/sc_smctx.h"

#include <algorithm>
#include <cstring>

SCSmCtx::SCSmCtx(uint32_t mode, uint32_t kind) : m_mode(mode), m_kind(kind) {}

SCSmCtx::~SCSmCtx() {
    Reset();
    for (auto& k : m_keys) Wipe(k);
}

void SCSmCtx::Wipe(std::vector<uint8_t>& v) {
    if (!v.empty()) {
        volatile uint8_t* p = v.data();
        for (size_t i = 0; i < v.size(); ++i) p[i] = 0;
    }
    v.clear();
}

namespace {

SCRESULT StoreKey(std::vector<uint8_t>* slots, int index, const uint8_t* key, size_t len, size_t maxLen) {
    if (index < 0 || index >= SCSmCtx::KEY_COUNT) return SC_E_BAD_PARAMS;
    if ((key == nullptr && len != 0) || len > maxLen) return SC_E_BAD_PARAMS;
    std::vector<uint8_t>& slot = slots[index];
    // Overwrite in place before resizing so no copy of the old key is left behind.
    std::fill(slot.begin(), slot.end(), 0);
    slot.clear();
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

void SCSmCtx::SetKeySet(const SCSmKeySet& keySet) {
    for (auto& k : m_keySet.keys) Wipe(k);
    m_keySet.group = keySet.group;
    for (int i = 0; i < KEY_COUNT; ++i) m_keySet.keys[i] = keySet.keys[i];
    m_hasKeySet = true;
}

SCRESULT SCSmCtx::SetSequenceCounter(const uint8_t* ssc, size_t len) {
    if ((ssc == nullptr && len != 0) || len > MAX_COUNTER_LENGTH) return SC_E_BAD_PARAMS;
    m_ssc.assign(ssc, ssc + len);
    return SC_OK;
}

const uint8_t* SCSmCtx::GetSequenceCounter(size_t* len) const {
    if (len) *len = m_ssc.size();
    return m_ssc.empty() ? nullptr : m_ssc.data();
}

void SCSmCtx::IncrementSequenceCounter() {
    for (size_t i = m_ssc.size(); i-- > 0;)
        if (++m_ssc[i] != 0) break;  // carry into the next byte only on wrap
}

void SCSmCtx::Reset() {
    for (auto& k : m_sessionKeys) Wipe(k);
    for (auto& k : m_keySet.keys) Wipe(k);
    m_hasKeySet = false;
    m_keySet.group = 0;
    Wipe(m_ssc);
    m_commandCount = 0;
    m_flags &= ~SC_SM_FLAG_ESTABLISHED;
}

SCRESULT SCSmCtx::WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) {
    if (apdu == nullptr || out == nullptr || len < 4) return SC_E_BAD_PARAMS;
    if (IsActive()) return SC_E_UNIMPLEMENTED_FEATURE;
    out->assign(apdu, apdu + len);
    return SC_OK;
}

SCRESULT SCSmCtx::UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                                 uint16_t* outSw) {
    if ((data == nullptr && len != 0) || out == nullptr || outSw == nullptr) return SC_E_BAD_PARAMS;
    if (IsActive()) return SC_E_UNIMPLEMENTED_FEATURE;
    out->assign(data, data + len);
    *outSw = sw;
    return SC_OK;
}
