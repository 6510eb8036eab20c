#include "smartcard/sc_fileheader.h"

#include <cstring>

bool scReadTlv(const uint8_t* data, size_t len, size_t* pos, SCTlv* out) {
    if (data == nullptr || pos == nullptr || out == nullptr) return false;
    size_t p = *pos;
    if (p >= len) return false;
    uint32_t tag = data[p++];
    if ((tag & 0x1F) == 0x1F) {
        // Multi-byte tag: at most three bytes in all.
        for (int i = 0;; ++i) {
            if (p >= len || i >= 2) return false;
            const uint8_t b = data[p++];
            tag = (tag << 8) | b;
            if ((b & 0x80) == 0) break;
        }
    }
    if (p >= len) return false;
    size_t l = data[p++];
    if (l & 0x80) {
        const size_t n = l & 0x7F;
        if (n == 0 || n > 3 || len - p < n) return false;
        l = 0;
        for (size_t i = 0; i < n; ++i) l = (l << 8) | data[p++];
    }
    if (l > len - p) return false;
    out->tag = tag;
    out->value = data + p;
    out->length = l;
    *pos = p + l;
    return true;
}

bool scFindTlv(const uint8_t* data, size_t len, uint32_t tag, SCTlv* out) {
    size_t pos = 0;
    SCTlv t;
    while (pos < len && scReadTlv(data, len, &pos, &t))
        if (t.tag == tag) {
            if (out) *out = t;
            return true;
        }
    return false;
}

void scAppendTlv(std::vector<uint8_t>* out, uint32_t tag, const uint8_t* value, size_t len) {
    if (tag > 0xFFFF) out->push_back(static_cast<uint8_t>(tag >> 16));
    if (tag > 0xFF) out->push_back(static_cast<uint8_t>(tag >> 8));
    out->push_back(static_cast<uint8_t>(tag));
    if (len < 0x80) {
        out->push_back(static_cast<uint8_t>(len));
    } else if (len < 0x100) {
        out->push_back(0x81);
        out->push_back(static_cast<uint8_t>(len));
    } else {
        out->push_back(0x82);
        out->push_back(static_cast<uint8_t>(len >> 8));
        out->push_back(static_cast<uint8_t>(len));
    }
    if (len) out->insert(out->end(), value, value + len);
}

namespace {
uint32_t BigEndian(const SCTlv& t, size_t maxBytes) {
    uint32_t v = 0;
    const size_t n = t.length < maxBytes ? t.length : maxBytes;
    // Values longer than maxBytes keep their low bytes only when the rest is zero.
    for (size_t i = 0; i + n < t.length; ++i)
        if (t.value[i] != 0) return 0xFFFFFFFFu;
    for (size_t i = t.length - n; i < t.length; ++i) v = (v << 8) | t.value[i];
    return v;
}
}  // namespace

SCRESULT SCFileHeader::Parse(const uint8_t* data, size_t len) {
    *this = SCFileHeader();
    if (data == nullptr || len < 2) return SC_E_INVALID_DATA_FORMAT;
    size_t pos = 0;
    SCTlv top;
    if (!scReadTlv(data, len, &pos, &top)) return SC_E_INVALID_DATA_FORMAT;
    if (top.tag == 0x6F) {
        SCTlv inner;
        if (scFindTlv(top.value, top.length, 0x62, &inner)) top = inner;
    } else if (top.tag != 0x62) {
        return SC_E_INVALID_DATA_FORMAT;
    }
    SCFileHeader h;
    size_t p = 0;
    SCTlv t;
    while (p < top.length) {
        if (!scReadTlv(top.value, top.length, &p, &t)) return SC_E_INVALID_DATA_FORMAT;
        switch (t.tag) {
        case 0x80:
            if (t.length == 0 || (h.m_size = BigEndian(t, 4)) == 0xFFFFFFFFu) return SC_E_INVALID_DATA_FORMAT;
            break;
        case 0x81:
            if (t.length == 0 || (h.m_free = BigEndian(t, 4)) == 0xFFFFFFFFu) return SC_E_INVALID_DATA_FORMAT;
            break;
        case 0x82:
            if (t.length == 0) return SC_E_INVALID_DATA_FORMAT;
            h.m_descriptor = t.value[0];
            h.m_hasDescriptor = true;
            break;
        case 0x83:
            if (t.length != 2) return SC_E_INVALID_DATA_FORMAT;
            h.m_fileId = static_cast<uint16_t>((t.value[0] << 8) | t.value[1]);
            h.m_hasFileId = true;
            break;
        case 0x84:
            if (t.length > 16) return SC_E_INVALID_DATA_FORMAT;
            h.m_dfName.assign(t.value, t.value + t.length);
            break;
        case 0x85:
            if (t.length >= 1) h.m_modelCode = t.value[t.length - 1];
            break;
        case 0x8A:
            if (t.length != 1) return SC_E_INVALID_DATA_FORMAT;
            h.m_lcs = t.value[0];
            h.m_hasLcs = true;
            break;
        case 0xA5: {
            SCTlv k;
            if (scFindTlv(t.value, t.length, 0x83, &k) && k.length == 1) h.m_keyRef = k.value[0];
            if (scFindTlv(t.value, t.length, 0x80, &k) && k.length >= 1 && k.length <= 2)
                h.m_keyBits = BigEndian(k, 2);
            break;
        }
        case 0xAB:
            if (!h.ParseRules(t.value, t.length)) return SC_E_INVALID_DATA_FORMAT;
            h.m_hasRules = true;
            break;
        default:
            break;  // other tags carry nothing the drivers use
        }
    }
    h.m_raw.assign(data, data + pos);
    *this = h;
    return SC_OK;
}

bool SCFileHeader::ParseCondition(const SCTlv& tlv, std::vector<uint16_t>* conds) {
    switch (tlv.tag) {
    case 0x90:
        conds->push_back(SC_AC_ALWAYS);
        return true;
    case 0x97:
        conds->push_back(SC_AC_NEVER);
        return true;
    case 0xA4:
    case 0xB4:
    case 0xB6:
    case 0xB8: {
        SCTlv ref, usage;
        if (!scFindTlv(tlv.value, tlv.length, 0x83, &ref) || ref.length != 1) return false;
        const bool pin = scFindTlv(tlv.value, tlv.length, 0x95, &usage) && usage.length == 1 && (usage.value[0] & 0x08);
        conds->push_back(static_cast<uint16_t>((pin ? SC_AC_PIN : SC_AC_KEY) | ref.value[0]));
        return true;
    }
    case 0xA0: {  // OR template: any of the nested conditions
        size_t p = 0;
        SCTlv t;
        while (p < tlv.length) {
            if (!scReadTlv(tlv.value, tlv.length, &p, &t)) return false;
            if (!ParseCondition(t, conds)) return false;
        }
        return true;
    }
    default:
        return false;
    }
}

bool SCFileHeader::ParseRules(const uint8_t* data, size_t len) {
    size_t p = 0;
    SCTlv t;
    uint8_t mode = 0;
    bool haveMode = false;
    while (p < len) {
        if (!scReadTlv(data, len, &p, &t)) return false;
        if (t.tag == 0x80) {
            if (t.length != 1) return false;
            mode = t.value[0];
            haveMode = true;
            continue;
        }
        if (!haveMode) return false;  // a condition without its access mode
        std::vector<uint16_t> conds;
        if (!ParseCondition(t, &conds)) {
            // An unknown condition: the operations it guards are taken as never allowed.
            conds.assign(1, SC_AC_NEVER);
        }
        for (int bit = 0; bit < 7; ++bit)
            if (mode & (1u << bit))
                for (uint16_t c : conds) {
                    std::vector<uint16_t>& r = m_rules[bit];
                    bool known = false;
                    for (uint16_t x : r) known = known || x == c;
                    if (!known) r.push_back(c);
                }
        haveMode = false;
    }
    return true;
}

void SCFileHeader::SafeRelease(SCFileHeader* header) {
    if (header != nullptr && header != AbsentMarker()) delete header;
}

uint32_t SCFileHeader::GetFileType() const {
    if (!m_hasDescriptor) return SC_FT_NONE;
    switch (m_descriptor & 0xBF) {
    case 0x38: return SC_FT_DF;
    case 0x01: return SC_FT_TRANSPARENT;
    case 0x02: case 0x03: return SC_FT_LINEAR_FIXED;
    case 0x04: case 0x05: return SC_FT_LINEAR_VARIABLE;
    case 0x06: case 0x07: return SC_FT_CYCLIC;
    case 0x11: return m_keyRef != 0 ? SC_FT_KEY_FILE : SC_FT_KEY_BY_FILE;
    default:
        // Internal EFs (structure bits 001); any other EF kind is a further kind.
        return (m_descriptor & 0x38) == 0x08 ? SC_FT_INTERNAL : (m_descriptor & 0x38) == 0x38 ? SC_FT_DF : 6;
    }
}

const uint8_t* SCFileHeader::GetDfName(size_t* len) const {
    if (len) *len = m_dfName.size();
    return m_dfName.empty() ? nullptr : m_dfName.data();
}

uint32_t SCFileHeader::GetLifeCycleState() const {
    if (!m_hasLcs) return SC_LCS_NONE;
    const uint8_t b = m_lcs;
    if (b == 0x01) return SC_LCS_CREATION;
    if (b == 0x03) return SC_LCS_INITIALISATION;
    if ((b & 0xFC) == 0x0C) return SC_LCS_TERMINATED;
    if ((b & 0xFD) == 0x05) return SC_LCS_ACTIVATED;
    if ((b & 0xFD) == 0x04) return SC_LCS_DEACTIVATED;
    return SC_LCS_NONE;
}

bool SCFileHeader::JudgedAlike(const SCFileHeader& o) const {
    if (m_hasDescriptor != o.m_hasDescriptor || m_descriptor != o.m_descriptor) return false;
    if (m_hasFileId != o.m_hasFileId || m_fileId != o.m_fileId || m_dfName != o.m_dfName) return false;
    if (m_hasLcs != o.m_hasLcs || m_lcs != o.m_lcs || m_keyRef != o.m_keyRef) return false;
    if (m_hasRules != o.m_hasRules) return false;
    for (size_t i = 0; i < sizeof m_rules / sizeof m_rules[0]; ++i)
        if (m_rules[i] != o.m_rules[i]) return false;
    return true;
}

bool SCFileHeader::HasPinRef(uint8_t ref) const {
    const uint16_t want = static_cast<uint16_t>(SC_AC_PIN | ref);
    for (const auto& r : m_rules)
        for (uint16_t c : r)
            if (c == want) return true;
    return false;
}

uint8_t SCFileHeader::AccessModeBit(uint32_t op) const {
    if (IsDf()) {
        switch (op) {
        case SC_AC_OP_UPDATE: case SC_AC_OP_CREATE_EF: return 0x02;
        case SC_AC_OP_WRITE: case SC_AC_OP_CREATE_DF: return 0x04;
        case SC_AC_OP_DEACTIVATE: return 0x08;
        case SC_AC_OP_ACTIVATE: return 0x10;
        case SC_AC_OP_TERMINATE: case SC_AC_OP_TERMINATE_CARD: return 0x20;
        case SC_AC_OP_DELETE_SELF: case SC_AC_OP_DELETE: return 0x40;
        default: return 0;
        }
    }
    if (IsKeyFile()) {
        switch (op) {
        case SC_AC_OP_READ: return 0x01;
        case SC_AC_OP_UPDATE: return 0x02;
        case SC_AC_OP_WRITE: case SC_AC_OP_USE: return 0x04;
        case SC_AC_OP_GENERATE: return 0x08;
        case SC_AC_OP_ACTIVATE: return 0x10;
        case SC_AC_OP_TERMINATE: return 0x20;
        case SC_AC_OP_DELETE_SELF: case SC_AC_OP_DELETE: return 0x40;
        default: return 0;
        }
    }
    switch (op) {
    case SC_AC_OP_READ: return 0x01;
    case SC_AC_OP_UPDATE: return 0x02;
    case SC_AC_OP_WRITE: return 0x04;
    case SC_AC_OP_DEACTIVATE: return 0x08;
    case SC_AC_OP_ACTIVATE: return 0x10;
    case SC_AC_OP_TERMINATE: return 0x20;
    case SC_AC_OP_DELETE_SELF: case SC_AC_OP_DELETE: return 0x40;
    default: return 0;
    }
}

bool SCFileHeader::NamesRule(uint32_t operation) const {
    const uint8_t bit = AccessModeBit(operation);
    if (!m_hasRules || bit == 0) return false;
    int idx = 0;
    while (!(bit & (1u << idx))) ++idx;
    return !m_rules[idx].empty();
}

SCRESULT SCFileHeader::GetAccessRefs(SCAccessRequest* req, const SCFileHeader* parent) const {
    if (req == nullptr) return SC_E_BAD_PARAMS;
    req->refs.Clear();
    if (!m_hasRules) return SC_E_UNSUPPORTED_FEATURE;
    const uint8_t bit = AccessModeBit(req->operation);
    std::vector<uint16_t> conds;
    if (bit == 0) {
        // Selecting a DF needs nothing; an operation the file has no rule for is never allowed.
        conds.push_back(IsDf() && req->operation == SC_AC_OP_READ ? SC_AC_ALWAYS : SC_AC_NEVER);
    } else {
        int idx = 0;
        while (!(bit & (1u << idx))) ++idx;
        conds = m_rules[idx];
        if (conds.empty()) conds.push_back(SC_AC_NEVER);
    }
    if (req->operation == SC_AC_OP_DELETE && parent != nullptr && parent->m_hasRules) {
        const std::vector<uint16_t>& pr = parent->m_rules[0];
        if (pr.empty()) conds.push_back(SC_AC_NEVER);
        for (uint16_t c : pr) conds.push_back(c);
    }
    for (uint16_t c : conds)
        if (!req->refs.Add(c)) return SC_E_NO_MEMORY;
    return SC_OK;
}

void SCFileHeaderList::Reset() {
    std::memset(m_refs, SC_REF_UNUSED, sizeof m_refs);
    for (SCByteBuffer& k : m_keys) k.Clear();
    m_word = 0;
    m_headers.clear();
}

bool SCFileHeaderList::SetKeySet(const uint8_t* k1, size_t l1, const uint8_t* k2, size_t l2, const uint8_t* k3,
                                 size_t l3) {
    if (k1) m_keys[0].Set(k1, l1);
    if (k2) m_keys[1].Set(k2, l2);
    if (k3) m_keys[2].Set(k3, l3);
    return IsKeySetValid();
}

bool SCFileHeaderList::IsKeySetValid() const {
    for (const SCByteBuffer& k : m_keys)
        if (k.IsZero()) return false;
    return true;
}

uint16_t SCFileHeaderList::ConditionFor(int cls, bool keyPin) const {
    uint8_t r = SC_REF_UNUSED;
    switch (cls) {
    case 0: return SC_AC_ALWAYS;
    case 1:
        r = keyPin && m_refs[SC_REFIDX_KEY_PIN] < SC_REF_UNUSED ? m_refs[SC_REFIDX_KEY_PIN] : m_refs[SC_REFIDX_USER_PIN];
        return r < SC_REF_UNUSED ? static_cast<uint16_t>(SC_AC_PIN | r) : SC_AC_NEVER;
    case 2:
        r = m_refs[SC_REFIDX_SO_PIN];
        return r < SC_REF_UNUSED ? static_cast<uint16_t>(SC_AC_PIN | r) : SC_AC_NEVER;
    default:
        r = m_refs[SC_REFIDX_SYS_KEY];
        return r < SC_REF_UNUSED ? static_cast<uint16_t>(SC_AC_KEY | r) : SC_AC_NEVER;
    }
}

namespace {
void AppendCondition(std::vector<uint8_t>* out, uint8_t mode, uint16_t cond) {
    const uint8_t am[] = {mode};
    scAppendTlv(out, 0x80, am, 1);
    if (cond == SC_AC_ALWAYS) {
        scAppendTlv(out, 0x90, nullptr, 0);
    } else if (cond == SC_AC_NEVER) {
        scAppendTlv(out, 0x97, nullptr, 0);
    } else {
        const uint8_t crt[] = {0x83, 0x01, static_cast<uint8_t>(cond & 0xFF), 0x95, 0x01,
                               static_cast<uint8_t>((cond & 0xC000) == SC_AC_PIN ? 0x08 : 0x80)};
        scAppendTlv(out, 0xA4, crt, sizeof crt);
    }
}
}  // namespace

std::vector<uint8_t> scBuildAccessRules(uint32_t tmpl, uint8_t descriptor, const SCFileHeaderList* refs,
                                        uint8_t alwaysMask) {
    SCFileHeaderList none;
    if (refs == nullptr) refs = &none;
    // For each access-mode bit 0..6, the template bit (1 read, 2 update, 4 use, 8 delete) that grants it.
    static const uint8_t kEf[7] = {1, 2, 2, 8, 8, 8, 8};
    static const uint8_t kDf[7] = {8, 2, 2, 8, 8, 8, 8};
    static const uint8_t kKey[7] = {1, 2, 4, 2, 8, 8, 8};
    const uint8_t* map = descriptor == 0x38 ? kDf : descriptor == 0x11 ? kKey : kEf;
    uint16_t cond[7];
    for (int bit = 0; bit < 7; ++bit) {
        cond[bit] = SC_AC_NEVER;
        if (alwaysMask & (1u << bit)) {
            cond[bit] = SC_AC_ALWAYS;
            continue;
        }
        const bool keyUse = descriptor == 0x11 && bit == 2 && (tmpl & SC_TEMPLATE_KEY_PIN_USE);
        for (int cls = 0; cls < 4; ++cls) {
            bool grant = ((tmpl >> (4 * cls)) & map[bit]) != 0;
            if (cls == 1 && descriptor == 0x11 && bit == 3 && (tmpl & SC_TEMPLATE_USER_GENERATES)) grant = true;
            if (!grant) continue;
            const uint16_t c = refs->ConditionFor(cls, keyUse);
            if (c != SC_AC_NEVER) {
                cond[bit] = c;
                break;
            }
        }
    }
    std::vector<uint8_t> rules;
    bool done[7] = {};
    for (int bit = 0; bit < 7; ++bit) {
        if (done[bit]) continue;
        uint8_t mode = 0;
        for (int b = bit; b < 7; ++b)
            if (!done[b] && cond[b] == cond[bit]) {
                mode |= static_cast<uint8_t>(1u << b);
                done[b] = true;
            }
        AppendCondition(&rules, mode, cond[bit]);
    }
    return rules;
}
