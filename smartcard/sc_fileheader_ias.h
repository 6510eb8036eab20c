// IAS-ECC headers: file headers as ISO, plus security data objects (SDO, tag
// BF xx rr) read with GET DATA, whose body (template A0) carries the PIN's
// try limit (9A), tries left (9B) and length limits (80, 81).
#pragma once

#include <vector>

#include "smartcard/sc_fileheader.h"

class SCFileHeader_IAS : public SCFileHeader {
public:
    SCFileHeader_IAS() = default;
    // The SDO to read: class byte (0x81 PIN) and reference.
    explicit SCFileHeader_IAS(uint8_t sdoClass, uint8_t ref) : m_sdoClass(sdoClass), m_sdoRef(ref) {}

    uint8_t GetSdoClass() const { return m_sdoClass; }
    uint8_t GetSdoRef() const { return m_sdoRef; }
    // Type of the SDO read (its three-byte tag BF cc rr), 0 when none was read.
    uint32_t GetSdoType() const { return m_sdoTag; }
    // Parses a GET DATA answer; SC_E_INVALID_DATA_FORMAT when malformed.
    SCRESULT ParseSdo(const uint8_t* data, size_t len);
    // A value of the SDO body (template A0, else the SDO's own content); false when absent.
    bool FindInSdoBody(uint32_t tag, const uint8_t** value, size_t* len) const;

private:
    uint8_t m_sdoClass = 0x81;
    uint8_t m_sdoRef = 0;
    uint32_t m_sdoTag = 0;
    std::vector<uint8_t> m_sdoBody;
};
