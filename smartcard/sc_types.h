// Small value types of the card layer: byte strings, sets of 16-bit values
// (access conditions), the card-information record, the PIN-creation record and
// the access-rule operation codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smartcard/sc_errors.h"

// A byte string that wipes itself on release and on growth (it carries keys).
class SCByteBuffer {
public:
    SCByteBuffer() = default;
    SCByteBuffer(const uint8_t* data, size_t len) { Set(data, len); }
    SCByteBuffer(const SCByteBuffer& o) { Set(o.Data(), o.Size()); }
    SCByteBuffer& operator=(const SCByteBuffer& o);
    ~SCByteBuffer() { Clear(); }

    // Replaces the contents; a null pointer with a length is refused.
    bool Set(const uint8_t* data, size_t len);
    void Clear();
    const uint8_t* Data() const { return m_data.empty() ? nullptr : m_data.data(); }
    uint8_t* Data() { return m_data.empty() ? nullptr : m_data.data(); }
    size_t Size() const { return m_data.size(); }
    bool IsEmpty() const { return m_data.empty(); }
    // True when empty or every byte is zero.
    bool IsZero() const;
    // Resizes (new bytes zero); old contents are wiped when the storage moves.
    void Resize(size_t len);
    bool operator==(const SCByteBuffer& o) const { return m_data == o.m_data; }

private:
    std::vector<uint8_t> m_data;
};

// A growable set of 16-bit values. Access-condition values: 0 always, 0xFFFF
// never, 0xC000|r the PIN with reference r, 0x8000|r the key with reference r.
class SCValueSet {
public:
    SCValueSet() = default;
    SCValueSet(const SCValueSet& o);
    SCValueSet& operator=(const SCValueSet& o);
    ~SCValueSet();

    // Adds a value unless present; false when memory runs out.
    bool Add(uint16_t value);
    bool Contains(uint16_t value) const;
    void Clear() { count = 0; }
    int32_t Count() const { return count; }
    uint16_t At(int32_t i) const { return items[i]; }

    uint16_t* items = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;
};

// Access-rule operation codes asked of a file header.
constexpr uint32_t SC_AC_OP_READ = 0;
constexpr uint32_t SC_AC_OP_UPDATE = 1;
constexpr uint32_t SC_AC_OP_WRITE = 2;
constexpr uint32_t SC_AC_OP_DEACTIVATE = 3;
constexpr uint32_t SC_AC_OP_ACTIVATE = 4;
constexpr uint32_t SC_AC_OP_TERMINATE = 5;
constexpr uint32_t SC_AC_OP_DELETE_SELF = 6;
constexpr uint32_t SC_AC_OP_DELETE = 7;      // the file's own rule and its DF's delete-child rule
constexpr uint32_t SC_AC_OP_CREATE_EF = 8;
constexpr uint32_t SC_AC_OP_CREATE_DF = 9;
constexpr uint32_t SC_AC_OP_TERMINATE_CARD = 10;
constexpr uint32_t SC_AC_OP_USE = 16;        // key use (signing, deciphering)
constexpr uint32_t SC_AC_OP_GENERATE = 17;

constexpr uint16_t SC_AC_ALWAYS = 0x0000;
constexpr uint16_t SC_AC_NEVER = 0xFFFF;
constexpr uint16_t SC_AC_PIN = 0xC000;
constexpr uint16_t SC_AC_KEY = 0x8000;

// An access request: an operation code and the set of access-condition values
// that the file's rules require for it.
struct SCAccessRequest {
    uint32_t operation = 0;
    SCValueSet refs;
};

// Card-information record; the caller zeroes it, GetCardInfo fills it.
struct SCCardInfo {
    uint8_t minPinLen;
    uint8_t maxPinLen;
    uint8_t padChar;
    uint8_t erasedValue;
    uint32_t totalMemory;   // bytes, 0 = unknown
    uint8_t flags;          // SC_CARDINFO_*
    uint32_t rsaCaps;       // SC_RSA_CAP_*
    uint32_t rsaMinBits;
    uint32_t rsaMaxBits;
    uint32_t pinCaps;       // SC_PIN_CAP_*
    uint32_t profile;       // numbered like the card types
    uint32_t dsaCaps;
    uint32_t ecCaps;
    uint32_t symCaps;
    uint32_t cardFamily;    // SC_CARD_TYPE_*
    uint32_t issuerCode;    // all ones = unknown
};

constexpr uint8_t SC_CARDINFO_WRITABLE = 0x01;
constexpr uint8_t SC_CARDINFO_HAS_RNG = 0x10;

constexpr uint32_t SC_RSA_CAP_GENERATE = 0x1;
constexpr uint32_t SC_RSA_CAP_NEED_PUB = 0x2;
constexpr uint32_t SC_RSA_CAP_IMPORT = 0x4;
constexpr uint32_t SC_RSA_CAP_PUBKEY_OBJECTS = 0x8;
constexpr uint32_t SC_RSA_CAP_SIGN = 0x10;
constexpr uint32_t SC_RSA_CAP_VERIFY = 0x20;
constexpr uint32_t SC_RSA_CAP_DECRYPT = 0x40;
constexpr uint32_t SC_RSA_CAP_ENCRYPT = 0x80;
constexpr uint32_t SC_RSA_CAP_PUB_FROM_PRIVATE = 0x8000;
constexpr uint32_t SC_RSA_CAP_PKCS1 = 0x10000;
constexpr uint32_t SC_RSA_CAP_RAW = 0x20000;
// The card keeps a private key in a key file of its own that needs no key reference,
// and uses such a key by its file.
constexpr uint32_t SC_RSA_CAP_PRIV_BY_FILE = 0x40000;
constexpr uint32_t SC_RSA_CAP_PUB_BY_REF = 0x4000000;
constexpr uint32_t SC_RSA_CAP_PRIV_BY_REF = 0x8000000;

constexpr uint32_t SC_PIN_CAP_ACCESS_RULES = 0x1;
constexpr uint32_t SC_PIN_CAP_PADDED = 0x1000;
constexpr uint32_t SC_PIN_CAP_EXCHANGE_REF = 0x2000;
constexpr uint32_t SC_PIN_CAP_DISABLE = 0x4000;
constexpr uint32_t SC_PIN_CAP_CASE_INSENSITIVE = 0x8000;
constexpr uint32_t SC_PIN_CAP_FLAT_DIRS = 0x10000;

// Card types (models).
constexpr uint32_t SC_CARD_TYPE_GENERIC = 0;
constexpr uint32_t SC_CARD_TYPE_SETCOS441 = 1;
constexpr uint32_t SC_CARD_TYPE_SETCOS43 = 2;
constexpr uint32_t SC_CARD_TYPE_COSMOPOLIC = 3;
constexpr uint32_t SC_CARD_TYPE_CLASSIC = 4;
constexpr uint32_t SC_CARD_TYPE_TVX = 5;
constexpr uint32_t SC_CARD_TYPE_GLOBALPLATFORM = 6;
constexpr uint32_t SC_CARD_TYPE_IAS = 7;

// PIN-creation record (SCCard::CreatePin). Record flags:
constexpr uint32_t SC_PINREC_CHANGE_DISABLED = 0x1;
constexpr uint32_t SC_PINREC_UNBLOCK_DISABLED = 0x2;
constexpr uint32_t SC_PINREC_CASE_INSENSITIVE = 0x4;
constexpr uint32_t SC_PINREC_PADDED = 0x8;
constexpr uint32_t SC_PINREC_NO_VALUE = 0x20;
constexpr uint32_t SC_PINREC_UNBLOCKING_PIN = 0x100;
constexpr uint32_t SC_PINREC_SO_PIN = 0x200;
constexpr uint32_t SC_PINREC_EXCHANGE_REF = 0x1000;
constexpr uint32_t SC_PINREC_NO_RESET = 0x10000;
// The PIN is made in the current DF without asking the card first: the card may
// answer for its reference from a PIN of a DF above, or the caller has just
// asked and found none. One the DF holds already
// (the creation refused as existing) is then taken as without the flag. An
// unblocking PIN the record brings is looked for as before.
constexpr uint32_t SC_PINREC_IN_CURRENT_DF = 0x40000;
constexpr uint32_t SC_PINREC_CHECK_ONLY = 0x8000000;

constexpr uint32_t SC_UNSET = 0xFFFFFFFFu;
constexpr uint32_t SC_REF_FROM_HEADERS = 0xFFFFFFFEu;

struct SCPinParams {
    uint32_t pinType = SC_UNSET;      // kind of PIN (3 user, 10 officer)
    uint32_t flags = 0;               // SC_PINREC_* (SC_PINREC_NO_RESET for a qualified PIN)
    uint32_t minLen = SC_UNSET;
    uint32_t maxLen = SC_UNSET;       // stored length when padded
    uint32_t padChar = SC_UNSET;
    uint32_t tryLimit = SC_UNSET;     // retry counter of the PIN (card default when unset)
    uint32_t officerRef = SC_UNSET;   // SO PIN or system key that governs the PIN; SC_REF_FROM_HEADERS
    uint32_t unblockRef = 0xFF;       // unblocking PIN (255 = none)
    uint32_t hasValue = 1;            // 0: the PIN is created without value
    uint32_t spare = SC_UNSET;        // kept all ones by the token
    // Unblocking part.
    const char* pukText = nullptr;
    uint32_t pukType = 0;             // 0 or 10
    uint32_t pukTryLimit = 0;         // 0: card default
    uint32_t pukFlags = 0;
    uint32_t pukMinLen = SC_UNSET;
    uint32_t pukMaxLen = SC_UNSET;
    uint32_t pukPadChar = SC_UNSET;
    uint32_t pukUseCount = SC_UNSET;  // uses of the unblocking PIN: all ones unlimited
};
