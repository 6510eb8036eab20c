#include "smartcard/sc_fileheader_ias.h"

SCRESULT SCFileHeader_IAS::ParseSdo(const uint8_t* data, size_t len) {
    m_sdoTag = 0;
    m_sdoBody.clear();
    size_t pos = 0;
    SCTlv sdo;
    if (data == nullptr || !scReadTlv(data, len, &pos, &sdo)) return SC_E_INVALID_DATA_FORMAT;
    if ((sdo.tag & 0xFF0000) != 0xBF0000) return SC_E_INVALID_DATA_FORMAT;
    // The content must itself be well-formed.
    size_t p = 0;
    SCTlv t;
    while (p < sdo.length)
        if (!scReadTlv(sdo.value, sdo.length, &p, &t)) return SC_E_INVALID_DATA_FORMAT;
    SCTlv body;
    if (scFindTlv(sdo.value, sdo.length, 0xA0, &body)) {
        p = 0;
        while (p < body.length)
            if (!scReadTlv(body.value, body.length, &p, &t)) return SC_E_INVALID_DATA_FORMAT;
        m_sdoBody.assign(body.value, body.value + body.length);
    } else {
        m_sdoBody.assign(sdo.value, sdo.value + sdo.length);
    }
    m_sdoTag = sdo.tag;
    return SC_OK;
}

bool SCFileHeader_IAS::FindInSdoBody(uint32_t tag, const uint8_t** value, size_t* len) const {
    SCTlv t;
    if (!scFindTlv(m_sdoBody.data(), m_sdoBody.size(), tag, &t)) return false;
    if (value) *value = t.value;
    if (len) *len = t.length;
    return true;
}
