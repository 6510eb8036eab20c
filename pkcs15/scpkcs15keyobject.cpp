#include "pkcs15/scpkcs15keyobject.h"

SCPkcs15KeyObject::SCPkcs15KeyObject(SCCard* card, int32_t keyType)
    : SCPkcs15PathObjectInfo(card),
      m_keyType(keyType),
      m_valueState(VALUE_UNKNOWN),
      m_onCardGenerated(0),
      m_keyReference(NO_KEY_REFERENCE) {}

SCPkcs15KeyObject::~SCPkcs15KeyObject() = default;

void SCPkcs15KeyObject::Reset(bool full) {
    m_valueState = VALUE_UNKNOWN;
    m_onCardGenerated = 0;
    m_keyReference = NO_KEY_REFERENCE;
    SCPkcs15PathObjectInfo::Reset(full);
}

uint32_t SCPkcs15KeyObject::BitLength(const uint8_t* bytes, size_t len) {
    if (!bytes) return 0;
    size_t i = 0;
    while (i < len && bytes[i] == 0) ++i;
    if (i == len) return 0;
    uint32_t bits = static_cast<uint32_t>((len - i) * 8);
    for (uint8_t top = bytes[i]; (top & 0x80) == 0; top = static_cast<uint8_t>(top << 1)) --bits;
    return bits;
}
