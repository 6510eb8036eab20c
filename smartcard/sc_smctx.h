// Secure-messaging context: the state that a secure channel with the card needs
// (mode, flags, keys and counters). The reader passes every APDU through the
// context of its connected card; a context that is not established, or that is
// paused, lets APDUs through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smartcard/sc_errors.h"

// Modes.
constexpr uint32_t SC_SM_MODE_NONE = 0;
constexpr uint32_t SC_SM_MODE_GP_CHANNEL_FIRST = 3;  // 3, 4, 5: GlobalPlatform channel modes
constexpr uint32_t SC_SM_MODE_GP_CHANNEL_LAST = 5;

// Flags.
constexpr uint32_t SC_SM_FLAG_PAUSED = 0x8000;        // SetRunning(false)
constexpr uint32_t SC_SM_FLAG_ESTABLISHED = 0x10000;  // established; set up again automatically
constexpr uint32_t SC_SM_FLAG_OPTION = 0x20000;       // card-specific option (IAS-ECC)

// Kinds: where the context lives.
constexpr uint32_t SC_SM_KIND_NONE = 0;
constexpr uint32_t SC_SM_KIND_CARD = 1;  // hangs off the reader's connected card

// A key set for establishing a channel by key agreement: the group byte is the
// Diffie-Hellman group it belongs to.
struct SCSmKeySet {
    uint8_t group = 0;
    std::vector<uint8_t> keys[3];
};

class SCSmCtx {
public:
    static constexpr int KEY_COUNT = 3;
    static constexpr size_t MAX_KEY_LENGTH = 64;
    static constexpr size_t MAX_COUNTER_LENGTH = 16;

    explicit SCSmCtx(uint32_t mode = SC_SM_MODE_NONE, uint32_t kind = SC_SM_KIND_CARD);
    virtual ~SCSmCtx();
    SCSmCtx(const SCSmCtx&) = delete;
    SCSmCtx& operator=(const SCSmCtx&) = delete;

    uint32_t GetMode() const { return m_mode; }
    void SetMode(uint32_t mode) { m_mode = mode; }
    bool IsGpChannelMode() const {
        return m_mode >= SC_SM_MODE_GP_CHANNEL_FIRST && m_mode <= SC_SM_MODE_GP_CHANNEL_LAST;
    }
    uint32_t GetKind() const { return m_kind; }
    uint32_t GetFlags() const { return m_flags; }
    void SetFlags(uint32_t flags, bool on) { m_flags = on ? (m_flags | flags) : (m_flags & ~flags); }

    bool IsEstablished() const { return (m_flags & SC_SM_FLAG_ESTABLISHED) != 0; }
    void SetEstablished(bool on) { SetFlags(SC_SM_FLAG_ESTABLISHED, on); }
    bool IsRunning() const { return (m_flags & SC_SM_FLAG_PAUSED) == 0; }
    void SetRunning(bool on) { SetFlags(SC_SM_FLAG_PAUSED, !on); }
    // Established and not paused: APDUs are wrapped.
    bool IsActive() const { return IsEstablished() && IsRunning(); }

    // The three static keys of a GlobalPlatform channel (first, second, third).
    // Keys longer than MAX_KEY_LENGTH are refused.
    SCRESULT SetKey(int index, const uint8_t* key, size_t len);
    const uint8_t* GetKey(int index, size_t* len) const;
    bool HasKeys() const;  // all three set and none all zero
    // Whether the keys can be had another way (derived on the card side).
    bool AreKeysAvailableOtherwise() const { return m_keysOtherwise; }
    void SetKeysAvailableOtherwise(bool on) { m_keysOtherwise = on; }

    // Session keys of an open channel (encryption, MAC, data encryption).
    SCRESULT SetSessionKey(int index, const uint8_t* key, size_t len);
    const uint8_t* GetSessionKey(int index, size_t* len) const;

    // Key set for channel set-up by key agreement; null when none.
    const SCSmKeySet* GetKeySet() const { return m_hasKeySet ? &m_keySet : nullptr; }
    void SetKeySet(const SCSmKeySet& keySet);

    // Send sequence counter (big-endian bytes) and the count of wrapped commands.
    SCRESULT SetSequenceCounter(const uint8_t* ssc, size_t len);
    const uint8_t* GetSequenceCounter(size_t* len) const;
    void IncrementSequenceCounter();
    uint64_t GetCommandCount() const { return m_commandCount; }

    // Wipes keys and counters and clears the established flag.
    void Reset();

    // Wraps a command for the card. Not active: a copy of the command. The
    // cryptographic wrapping belongs to the channel classes that derive from this
    // one; the base refuses an active context (SC_E_UNIMPLEMENTED_FEATURE).
    virtual SCRESULT WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out);
    // Unwraps the card's answer (data and status word), likewise.
    virtual SCRESULT UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw,
                                    std::vector<uint8_t>* out, uint16_t* outSw);

protected:
    void CountCommand() { ++m_commandCount; }

private:
    static void Wipe(std::vector<uint8_t>& v);

    uint32_t m_mode;
    uint32_t m_kind;
    uint32_t m_flags = 0;
    bool m_keysOtherwise = false;
    std::vector<uint8_t> m_keys[KEY_COUNT];
    std::vector<uint8_t> m_sessionKeys[KEY_COUNT];
    bool m_hasKeySet = false;
    SCSmKeySet m_keySet;
    std::vector<uint8_t> m_ssc;
    uint64_t m_commandCount = 0;
};
