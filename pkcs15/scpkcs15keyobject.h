// Common base of the objects that stand for a key's value on the card (RSA and
// the DSA family): the key type, what is known of the value, whether the card
// generated the key, and its reference on the card.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pkcs15/scpkcs15pathobjectinfo.h"

class SCPkcs15KeyObject : public SCPkcs15PathObjectInfo {
public:
    // Key types.
    static constexpr int32_t KEY_NONE = -1;
    static constexpr int32_t KEY_RSA = 0;
    static constexpr int32_t KEY_EC = 1;
    static constexpr int32_t KEY_DSA = 2;
    static constexpr int32_t KEY_DH = 3;
    static constexpr int32_t KEY_KEA = 4;
    // Value states shared by every key object (the RSA objects add 1 to 4).
    static constexpr int32_t VALUE_UNKNOWN = -1;
    static constexpr int32_t VALUE_ON_CARD_ONLY = 0;
    static constexpr uint8_t NO_KEY_REFERENCE = 0xFF;

    SCPkcs15KeyObject(SCCard* card, int32_t keyType);
    ~SCPkcs15KeyObject() override;

    int32_t GetKeyType() const { return m_keyType; }
    int32_t GetValueState() const { return m_valueState; }
    void SetValueState(int32_t state) { m_valueState = state; }
    bool IsOnCardGenerated() const { return m_onCardGenerated != 0; }
    void SetOnCardGenerated(bool generated) { m_onCardGenerated = generated ? 1 : 0; }
    uint8_t GetKeyReference() const { return m_keyReference; }
    void SetKeyReference(uint32_t ref) { m_keyReference = static_cast<uint8_t>(ref & 0xFF); }
    bool IsValueOnCardOnly() const { return m_valueState == VALUE_ON_CARD_ONLY; }
    void ClearValueState() { m_valueState = VALUE_ON_CARD_ONLY; }

    // Forgets what was learnt of the key, then the file object's reset.
    void Reset(bool full) override;

    // Significant bits of an unsigned big-endian number (0 for empty or zero).
    static uint32_t BitLength(const uint8_t* bytes, size_t len);

protected:
    int32_t m_keyType;
    int32_t m_valueState;
    uint8_t m_onCardGenerated;
    uint8_t m_keyReference;
};
