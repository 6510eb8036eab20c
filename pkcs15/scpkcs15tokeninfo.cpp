#include "pkcs15/scpkcs15tokeninfo.h"

#include <cstring>
#include <new>

#include "support/memfile.h"

SCRESULT SCPkcs15TokenInfo::Parse(MemFile* in, uint32_t len) {
    if (!in) return SC_E_BAD_USAGE;
    // An empty file holds no TokenInfo (and a zero bound would mean "unbounded" to the decoder).
    if (len == 0) return SC_E_INVALID_DATA_FORMAT;
    // A second read replaces what an earlier one decoded (its lists are not appended to).
    m_tokenInfo.clear();
    long r;
    try {
        r = m_tokenInfo.read(in, static_cast<long>(len));
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    if (r > 0) return r;
    m_tokenInfo.clear();
    return r == 0 ? SC_E_INVALID_DATA_FORMAT : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15TokenInfo::Encode(MemFile* out) {
    long r = m_tokenInfo.write(out);
    return r > 0 ? r : SC_E_NO_MEMORY;
}

SCRESULT SCPkcs15TokenInfo::GetTokenInfo(ASNPkcs15TokenInfo** out) {
    if (!out) return SC_E_BAD_PARAMS;
    *out = nullptr;
    if (!IsLoaded()) {
        SCRESULT r = Load(false);
        if (r < 0) return r;
    }
    *out = &m_tokenInfo;
    return 0;
}

SCRESULT SCPkcs15TokenInfo::SetSerialNumber(const char* text, uint32_t len) {
    if (!text) {
        m_tokenInfo.setSerialNumber(nullptr, 0);
        m_tokenInfo.wasSerialNumber = 0;
        return 0;
    }
    if (len == ~0u) len = static_cast<uint32_t>(strlen(text));
    if (!m_tokenInfo.setSerialNumber(reinterpret_cast<const uint8_t*>(text), static_cast<long>(len)))
        return SC_E_NO_MEMORY;
    m_tokenInfo.wasSerialNumber = 1;
    return 0;
}
