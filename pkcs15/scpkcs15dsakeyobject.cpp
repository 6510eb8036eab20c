#include "pkcs15/scpkcs15dsakeyobject.h"

#include <new>

#include "keys/ecpubkey.h"
#include "lib/libasn/x509/x942dh.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"

namespace {

// Card key-object file types that hold a key of each type (not readable here).
bool IsCardKeyType(int32_t keyType, uint32_t ft) {
    switch (keyType) {
        case SCPkcs15KeyObject::KEY_DSA: return ft >= 0x78 && ft <= 0x7A;
        case SCPkcs15KeyObject::KEY_EC: return ft >= 0x82 && ft <= 0x84;
        case SCPkcs15KeyObject::KEY_DH: return ft >= 0x8C && ft <= 0x8E;
        case SCPkcs15KeyObject::KEY_KEA: return ft >= 0x96 && ft <= 0x98;
        default: return false;
    }
}

ASNobject* NewParameters(int32_t keyType) {
    if (keyType == SCPkcs15KeyObject::KEY_EC) return new (std::nothrow) ECDomainParameters(0x30);
    return new (std::nothrow) X942DomainParameters(0x30);
}

// Converts src into dst; 1 only on complete success.
int Convert(ASNobject& dst, const ASNobject& src) {
    try {
        return dst.convertFrom(src, 0) == 1 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace

SCPkcs15DsaKeyObject::SCPkcs15DsaKeyObject(SCCard* card, int32_t keyType, const ASNobject* parameters)
    : SCPkcs15KeyObject(card, KEY_NONE), m_params(nullptr), m_value(nullptr), m_complete(false) {
    m_complete = SetKeyType(keyType) == 1;
    if (m_complete) m_complete = SetDomainParameters(parameters) == 1;
}

SCPkcs15DsaKeyObject::~SCPkcs15DsaKeyObject() {
    delete m_params;
    delete m_value;
}

ECDomainParameters* SCPkcs15DsaKeyObject::GetEcParameters() const {
    return m_keyType == KEY_EC ? static_cast<ECDomainParameters*>(m_params) : nullptr;
}

int SCPkcs15DsaKeyObject::SetKeyType(int32_t keyType) {
    if (keyType == m_keyType) return 1;
    ClearContents();
    delete m_params;
    m_params = nullptr;
    delete m_value;
    m_value = nullptr;
    m_keyType = keyType;
    if (keyType == KEY_NONE) return 1;
    if (keyType < KEY_EC || keyType > KEY_KEA) {
        m_keyType = KEY_NONE;
        return 0;
    }
    m_params = NewParameters(keyType);
    return m_params ? 1 : 0;
}

int SCPkcs15DsaKeyObject::SetDomainParameters(const ASNobject* parameters) {
    if (!parameters) {
        delete m_params;
        m_params = nullptr;
        return 1;
    }
    if (m_keyType == KEY_NONE) return 1;
    if (m_keyType < KEY_EC || m_keyType > KEY_KEA) return 0;
    if (!m_params && !(m_params = NewParameters(m_keyType))) return 0;
    return Convert(*m_params, *parameters);
}

int SCPkcs15DsaKeyObject::SetKeyValue(const ASNobject* value) {
    if (!value) {
        delete m_value;
        m_value = nullptr;
        return 1;
    }
    if (!m_value && !(m_value = new (std::nothrow) ASNinteger(0x02))) return 0;
    return Convert(*m_value, *value);
}

int SCPkcs15DsaKeyObject::CopyKeyValueTo(ASNobject& out) const {
    if (!m_value || m_value->getValueLength() == 0) return 0;
    return Convert(out, *m_value);
}

SCRESULT SCPkcs15DsaKeyObject::ReadCardKey() { return SC_E_INVALID_FILE_TYPE; }

SCRESULT SCPkcs15DsaKeyObject::Parse(MemFile* in, uint32_t len) {
    if (!m_value) return SC_E_BAD_USAGE;
    return DecodeAsn(*m_value, in, len);
}

void SCPkcs15DsaKeyObject::ClearContents() {
    if (m_value) m_value->clear();
    if (m_params) m_params->clear();
}

SCRESULT SCPkcs15DsaKeyObject::Encode(MemFile* out) {
    // An empty INTEGER is no key value: nothing is written for it.
    if (!m_value || m_value->getValueLength() == 0) return SC_E_BAD_USAGE;
    return EncodeAsn(*m_value, out);
}

void SCPkcs15DsaKeyObject::Reset(bool full) {
    SCPkcs15KeyObject::Reset(full);
    if (!full) return;
    delete m_params;
    m_params = nullptr;
    delete m_value;
    m_value = nullptr;
    m_valueState = VALUE_UNKNOWN;
    m_keyType = KEY_NONE;
}

SCRESULT SCPkcs15DsaKeyObject::Load(bool force) {
    m_flags &= ~FLAG_LOADED;
    if (!m_pCard) return m_lastResult = SC_E_BAD_USAGE;
    SCPath full;
    if (!GetFullPathInto(full) || full.Count() == 0)
        return m_lastResult = (m_path.Count() == 0 ? SC_E_BAD_USAGE : SC_E_NO_MEMORY);
    if (!force && IsKnownAbsent()) return SC_E_FILE_NOT_FOUND;
    m_flags |= FLAG_LOAD_TRIED;
    m_onCardGenerated = 0;
    SCTransactGuard guard(m_pCard);
    SCRESULT res = 0;
    bool reverified = false;
    for (;;) {
        SCPath tracked;
        res = ReadFileHeader(full.Ids(), static_cast<uint16_t>(full.Count()), &tracked,
                             m_pFileHeader ? nullptr : &m_pFileHeader);
        if (res >= 0) {
            const uint32_t ft = m_pFileHeader ? m_pFileHeader->GetFileType() : SC_FT_NONE;
            if (ft == SC_FT_NONE || ft == SC_FT_TRANSPARENT) {
                ClearContents();
                MemFile file;
                res = ReadFileData(&file);
                if (res >= 0) {
                    file.Seek(0);
                    const int64_t size = file.Size();
                    SCRESULT p = Parse(&file, static_cast<uint32_t>(size > 0 ? size : 0));
                    // A file whose type the card does not state must hold a key to count as one.
                    if (ft == SC_FT_NONE && p <= 0) res = SC_E_INVALID_FILE_TYPE;
                    else res = p < 0 ? p : 0;
                }
            } else if (ft == SC_FT_DF) {
                res = SC_E_NOT_FILE;
            } else if (IsCardKeyType(m_keyType, ft)) {
                res = ReadCardKey();
            } else {
                res = SC_E_INVALID_FILE_TYPE;
            }
        }
        if (res == SC_E_ACCESS_DENIED && !reverified && ReverifyPossible()) {
            SCRESULT v = Reverify(nullptr);
            if (v < 0) {
                res = v;
                break;
            }
            reverified = true;
            continue;
        }
        break;
    }
    if (res == 0) {
        m_flags |= FLAG_LOADED;
        m_flags &= ~FLAG_DIRTY;
    }
    return m_lastResult = res;
}

// ---- private key ----

SCPkcs15PrivateDsaKeyObject::SCPkcs15PrivateDsaKeyObject(SCCard* card, int32_t keyType, const ASNobject* parameters)
    : SCPkcs15DsaKeyObject(card, KEY_NONE, nullptr), m_record(nullptr) {
    // The base constructor ran before this class's SetKeyType could: set the type again here.
    m_complete = SetKeyType(keyType) == 1 && SetDomainParameters(parameters) == 1;
}

SCPkcs15PrivateDsaKeyObject::~SCPkcs15PrivateDsaKeyObject() = default;

int SCPkcs15PrivateDsaKeyObject::SetKeyType(int32_t keyType) {
    int r = SCPkcs15DsaKeyObject::SetKeyType(keyType);
    if (!m_value) m_value = new (std::nothrow) ASNinteger(0x02);
    return r == 1 && m_value ? 1 : 0;
}
