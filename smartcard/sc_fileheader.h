// File headers: the control parameters (FCP, ISO/IEC 7816-4 template 62) of a
// selected file, parsed into size, type, identifier, DF name, life-cycle state and
// the access rules (security attributes in expanded form, tag AB) as sets of
// access-condition values; and the list of references and keys that file and key
// creation fill the access rules from (SCFileHeaderList).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smartcard/sc_errors.h"
#include "smartcard/sc_types.h"

// File types answered by GetFileType.
constexpr uint32_t SC_FT_NONE = 0;
constexpr uint32_t SC_FT_DF = 1;
constexpr uint32_t SC_FT_KEY_FILE = 1;  // in the key objects' view of a key header
constexpr uint32_t SC_FT_TRANSPARENT = 2;
constexpr uint32_t SC_FT_LINEAR_FIXED = 3;
constexpr uint32_t SC_FT_LINEAR_VARIABLE = 4;
constexpr uint32_t SC_FT_CYCLIC = 5;
constexpr uint32_t SC_FT_CLASSIC_KEY = 4;
// A key file whose header names no key reference: the key is used by its file
// (the kind code of an RSA private key object).
constexpr uint32_t SC_FT_KEY_BY_FILE = 111;
constexpr uint32_t SC_FT_INTERNAL = 900;

// Life-cycle states answered by GetLifeCycleState.
constexpr uint32_t SC_LCS_NONE = 0;
constexpr uint32_t SC_LCS_CREATION = 1;
constexpr uint32_t SC_LCS_INITIALISATION = 2;
constexpr uint32_t SC_LCS_ACTIVATED = 3;
constexpr uint32_t SC_LCS_DEACTIVATED = 4;
constexpr uint32_t SC_LCS_TERMINATED = 5;

// One BER-TLV element inside a buffer.
struct SCTlv {
    uint32_t tag = 0;
    const uint8_t* value = nullptr;
    size_t length = 0;
};

// Reads the element at *pos of data[0..len) and advances *pos past it. False on a
// truncated tag, a length form longer than 3 bytes or a length past the end.
bool scReadTlv(const uint8_t* data, size_t len, size_t* pos, SCTlv* out);
// The first element with the tag at the top level of data; false when absent or
// when the data is malformed before it.
bool scFindTlv(const uint8_t* data, size_t len, uint32_t tag, SCTlv* out);
// Appends tag, minimal length and value.
void scAppendTlv(std::vector<uint8_t>* out, uint32_t tag, const uint8_t* value, size_t len);

class SCFileHeader {
public:
    SCFileHeader() = default;
    virtual ~SCFileHeader() = default;

    // Parses an FCP (62 ...) or an FCI holding one (6F ...). SC_E_INVALID_DATA_FORMAT
    // on malformed bytes (the header is then empty).
    virtual SCRESULT Parse(const uint8_t* data, size_t len);
    // Releases a header unless it is null or the known-absent marker (all ones).
    static void SafeRelease(SCFileHeader* header);
    static SCFileHeader* AbsentMarker() { return reinterpret_cast<SCFileHeader*>(~static_cast<uintptr_t>(0)); }

    virtual uint32_t GetFileType() const;
    uint8_t GetDescriptor() const { return m_descriptor; }
    bool IsDf() const { return m_descriptor == 0x38; }
    bool IsTransparentEf() const { return m_descriptor == 0x01; }
    bool IsKeyFile() const { return m_descriptor == 0x11; }
    uint32_t GetFileSize() const { return m_size; }
    uint32_t GetFreeSpace() const { return m_free; }
    uint16_t GetFileId() const { return m_fileId; }
    bool HasFileId() const { return m_hasFileId; }
    const uint8_t* GetDfName(size_t* len) const;
    uint32_t GetLifeCycleState() const;
    uint8_t GetLifeCycleByte() const { return m_lcs; }
    // ISO 7816-4 leaves the life-cycle byte out of a header where the card keeps none: operational.
    bool HasLifeCycle() const { return m_hasLcs; }
    // Card-model code of a DF header (tag 85), 0 when absent.
    uint8_t GetModelCode() const { return m_modelCode; }
    // Key reference and modulus bits of a key file (proprietary data A5).
    uint8_t GetKeyRef() const { return m_keyRef; }
    uint32_t GetKeyBits() const { return m_keyBits; }
    bool HasAccessRules() const { return m_hasRules; }
    // Whether the rules name a condition for the operation (SC_AC_OP_*): one they
    // leave out reads as never here, though a card may take it otherwise.
    bool NamesRule(uint32_t operation) const;
    // True when an access rule names the PIN with this reference.
    virtual bool HasPinRef(uint8_t ref) const;

    // Fills req->refs with the access-condition values that the rules require for
    // req->operation (SC_AC_OP_*). parent: the DF's header, which adds its
    // delete-child rule to SC_AC_OP_DELETE. SC_E_UNSUPPORTED_FEATURE when the header
    // carries no access rules; SC_E_NO_MEMORY when the set cannot grow.
    virtual SCRESULT GetAccessRefs(SCAccessRequest* req, const SCFileHeader* parent) const;

    const std::vector<uint8_t>& GetRaw() const { return m_raw; }
    // Whether `other` shows what a judgement of who may do what rests on as this
    // header does: the kind of file, its id and DF name, the life-cycle byte (or
    // its absence) and every access rule. Not the size or free space, which a
    // legitimate write changes.
    bool JudgedAlike(const SCFileHeader& other) const;

protected:
    // Access-mode bit that an operation maps to for this kind of file (0: none,
    // answered as always for DFs' read, never otherwise).
    uint8_t AccessModeBit(uint32_t operation) const;
    bool ParseRules(const uint8_t* data, size_t len);
    bool ParseCondition(const SCTlv& tlv, std::vector<uint16_t>* conds);

    std::vector<uint8_t> m_raw;
    uint8_t m_descriptor = 0;
    bool m_hasDescriptor = false;
    uint32_t m_size = 0;
    uint32_t m_free = 0;
    uint16_t m_fileId = 0;
    bool m_hasFileId = false;
    std::vector<uint8_t> m_dfName;
    uint8_t m_lcs = 0;
    bool m_hasLcs = false;
    uint8_t m_modelCode = 0;
    uint8_t m_keyRef = 0;
    uint32_t m_keyBits = 0;
    bool m_hasRules = false;
    std::vector<uint16_t> m_rules[8];  // conditions per access-mode bit; empty = never
};

// Reference slots of SCFileHeaderList.
constexpr int SC_REFIDX_SO_PIN = 0;
constexpr int SC_REFIDX_USER_PIN = 1;
constexpr int SC_REFIDX_KEY_PIN = 2;   // the PIN a user-consent key's use requires
constexpr int SC_REFIDX_SO_PUK = 3;    // the PIN that unblocks the SO PIN
constexpr int SC_REFIDX_USER_PUK = 4;  // the PIN that unblocks the user PIN
constexpr int SC_REFIDX_SYS_KEY = 5;
constexpr int SC_REFIDX_SE_NUMBER = 20;
constexpr int SC_REFIDX_LOCAL_PIN = 21;
constexpr int SC_REF_COUNT = 22;
constexpr uint8_t SC_REF_UNUSED = 0xFF;

class SCFileHeaderList {
public:
    SCFileHeaderList() { Reset(); }
    void Reset();

    uint8_t GetRef(int index) const { return index >= 0 && index < SC_REF_COUNT ? m_refs[index] : SC_REF_UNUSED; }
    void SetRef(int index, uint8_t ref) {
        if (index >= 0 && index < SC_REF_COUNT) m_refs[index] = ref;
    }
    uint8_t GetSoPinRef() const { return m_refs[SC_REFIDX_SO_PIN]; }
    uint8_t GetUserPinRef() const { return m_refs[SC_REFIDX_USER_PIN]; }
    uint8_t GetUserPukRef() const { return m_refs[SC_REFIDX_USER_PUK]; }
    uint8_t GetSysKeyRef() const { return m_refs[SC_REFIDX_SYS_KEY]; }
    bool HasUserPinRef() const { return m_refs[SC_REFIDX_USER_PIN] < SC_REF_UNUSED; }
    uint8_t GetUserPinOrPukRef() const {
        return HasUserPinRef() ? m_refs[SC_REFIDX_USER_PIN] : m_refs[SC_REFIDX_USER_PUK];
    }
    uint8_t GetSoPinOrSysKeyRef() const {
        return m_refs[SC_REFIDX_SO_PIN] < SC_REF_UNUSED ? m_refs[SC_REFIDX_SO_PIN] : m_refs[SC_REFIDX_SYS_KEY];
    }
    uint8_t GetLocalPinRef() const { return m_refs[SC_REFIDX_LOCAL_PIN]; }
    void SetLocalPinRef(uint8_t r) { m_refs[SC_REFIDX_LOCAL_PIN] = r; }
    uint8_t GetSeNumber() const { return m_refs[SC_REFIDX_SE_NUMBER]; }
    void SetSeNumber(uint8_t n) { m_refs[SC_REFIDX_SE_NUMBER] = n; }

    // Replaces each key whose bytes are given (null leaves it) and answers whether
    // the key set is now valid (none of the three empty or all zero).
    bool SetKeySet(const uint8_t* k1, size_t l1, const uint8_t* k2, size_t l2, const uint8_t* k3, size_t l3);
    const SCByteBuffer* GetKeySet() const { return m_keys; }
    bool IsKeySetValid() const;

    uint32_t GetWord() const { return m_word; }
    void SetWord(uint32_t w) { m_word = w; }

    // Headers of the profile (FCP bytes).
    void AddHeader(const uint8_t* fcp, size_t len) { m_headers.emplace_back(fcp, fcp + len); }
    size_t GetHeaderCount() const { return m_headers.size(); }
    const std::vector<uint8_t>& GetHeader(size_t i) const { return m_headers[i]; }

    // The access-condition value of one template class: 0 always, the user PIN,
    // the SO PIN, the system key; key use takes the key PIN (slot 2) when asked.
    uint16_t ConditionFor(int cls, bool keyPin) const;

private:
    uint8_t m_refs[SC_REF_COUNT];
    SCByteBuffer m_keys[3];
    uint32_t m_word = 0;
    std::vector<std::vector<uint8_t>> m_headers;
};

// Access templates: four nibbles, one per class (bits 0-3 always, 4-7 user PIN,
// 8-11 SO PIN, 12-15 system key); in each nibble 1 read, 2 update, 4 use/write,
// 8 delete. 0x40000: the user PIN may also generate keys; 0x08000000: key use
// requires the key PIN (reference slot 2) instead of the user PIN.
constexpr uint32_t SC_TEMPLATE_USER_GENERATES = 0x40000;
constexpr uint32_t SC_TEMPLATE_KEY_PIN_USE = 0x08000000;

// Builds the expanded-form access rules (AB) of a template for an EF, a DF or a
// key file (descriptor 01, 38 or 11); the access-mode bits in alwaysMask are
// always allowed whatever the template says.
std::vector<uint8_t> scBuildAccessRules(uint32_t accessTemplate, uint8_t descriptor, const SCFileHeaderList* refs,
                                        uint8_t alwaysMask = 0);
