// Secure-messaging context: the state that a secure channel with the card needs
// (mode, flags, static keys, session keys and counters). The card object that
// sets the channel up owns its context and attaches it to its reader; the reader
// passes every APDU through it. The protocols derive from this class:
// SCSmCtxGp (GlobalPlatform secure channel, modes 3 to 5) and SCSmCtxIso
// (ISO/IEC 7816-4 secure messaging after a Diffie-Hellman key agreement, mode 1).
//
// The session goes through these states:
//   none     no session: APDUs pass unchanged;
//   opening  the set-up is running: its own APDUs pass unchanged;
//   open     APDUs are wrapped and the answers unwrapped (unless paused);
//   lost     the session ended under the caller (a card reset, an answer that
//            did not verify, a broken exchange): APDUs are refused, or, when the
//            context is marked established, its restorer sets the channel up
//            again first.
// A context that is paused (SetRunning(false)) lets APDUs pass unchanged in
// every state; the IAS-ECC option flag keeps an open channel in use all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "smartcard/sc_errors.h"

// Modes.
constexpr uint32_t SC_SM_MODE_NONE = 0;
constexpr uint32_t SC_SM_MODE_ISO = 1;                // ISO/IEC 7816-4 SM, keys agreed by Diffie-Hellman
constexpr uint32_t SC_SM_MODE_GP_CHANNEL_FIRST = 3;  // 3, 4, 5: GlobalPlatform channel modes
constexpr uint32_t SC_SM_MODE_GP_MAC = 3;             // commands MACed
constexpr uint32_t SC_SM_MODE_GP_MAC_ENC = 4;         // commands MACed and their data enciphered
constexpr uint32_t SC_SM_MODE_GP_FULL = 5;            // as 4, and the answers MACed
constexpr uint32_t SC_SM_MODE_GP_CHANNEL_LAST = 5;

// Flags.
constexpr uint32_t SC_SM_FLAG_PAUSED = 0x8000;        // SetRunning(false)
constexpr uint32_t SC_SM_FLAG_ESTABLISHED = 0x10000;  // established; set up again automatically
constexpr uint32_t SC_SM_FLAG_OPTION = 0x20000;       // card-specific option (IAS-ECC)

// Kinds: where the context lives.
constexpr uint32_t SC_SM_KIND_NONE = 0;
constexpr uint32_t SC_SM_KIND_CARD = 1;  // hangs off the reader's connected card

// Session states.
enum class SCSmSession { None, Opening, Open, Lost };

// A key set for establishing a channel by key agreement: the group byte names
// the Diffie-Hellman group (the card's key reference), the keys are the group's
// domain: p, then q (or, in the PKCS #3 form, a mask as long as the private
// value), then g.
struct SCSmKeySet {
    uint8_t group = 0;
    std::vector<uint8_t> keys[3];
};

// What sets a lost channel up again: the owner of a context (the card object
// that set the channel up) registers itself with it. The reader reaches the
// restorer through the context it holds, so it needs nothing of the card.
class SCSmRestorer {
public:
    // Sets the channel up again after its session was lost: 0 with the session
    // open; a failure leaves it lost, or the context dropped.
    virtual SCRESULT RestoreSecureMessaging() = 0;

protected:
    ~SCSmRestorer() = default;
};

class SCSmCtx {
public:
    static constexpr int KEY_COUNT = 3;
    static constexpr size_t MAX_KEY_LENGTH = 64;
    static constexpr size_t MAX_COUNTER_LENGTH = 16;
    static constexpr size_t MAX_KEYSET_PART = 1024;  // an 8192-bit group

    explicit SCSmCtx(uint32_t mode = SC_SM_MODE_NONE, uint32_t kind = SC_SM_KIND_CARD);
    virtual ~SCSmCtx();
    SCSmCtx(const SCSmCtx&) = delete;
    SCSmCtx& operator=(const SCSmCtx&) = delete;

    uint32_t GetMode() const { return m_mode; }
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

    SCSmSession GetSession() const { return m_session; }
    bool IsOpen() const { return m_session == SCSmSession::Open; }
    bool IsLost() const { return m_session == SCSmSession::Lost; }
    // In use for the card's commands: not paused, or kept in use by the option.
    bool IsInUse() const { return IsRunning() || (m_flags & SC_SM_FLAG_OPTION) != 0; }
    // APDUs are wrapped.
    bool IsActive() const { return IsOpen() && IsInUse(); }
    // APDUs cannot pass until the channel is set up again.
    bool NeedsRestore() const { return IsLost() && IsInUse(); }

    // Session transitions. Opening keeps the keys for the set-up; Open starts
    // wrapping; LoseSession and CloseSession wipe the session keys and counters
    // (Lose only when there was a session: an idle context stays idle).
    void BeginOpening() { m_session = SCSmSession::Opening; }
    void SessionOpened() { m_session = SCSmSession::Open; }
    void LoseSession();
    void CloseSession();
    // Lost whatever the state was (a set-up that failed to bring a lost channel back).
    void MarkLost();

    // The three static keys of a GlobalPlatform channel (first, second, third).
    // Keys longer than MAX_KEY_LENGTH are refused.
    SCRESULT SetKey(int index, const uint8_t* key, size_t len);
    const uint8_t* GetKey(int index, size_t* len) const;
    bool HasKeys() const;  // all three set and none all zero
    // Whether the keys can be had another way (derived on the card side).
    bool AreKeysAvailableOtherwise() const { return m_keysOtherwise; }
    void SetKeysAvailableOtherwise(bool on) { m_keysOtherwise = on; }
    // Key reference of the channel: the key version of a GlobalPlatform channel
    // (0 = the card's default), the group of a key agreement.
    uint32_t GetKeyRef() const { return m_keyRef; }
    void SetKeyRef(uint32_t ref) { m_keyRef = ref; }

    // Who sets the channel up again once the session is lost (not owned; null:
    // nobody, a lost channel then stays lost).
    void SetRestorer(SCSmRestorer* restorer) { m_restorer = restorer; }
    SCSmRestorer* GetRestorer() const { return m_restorer; }

    // Session keys of an open channel (encryption, MAC, third key of the protocol).
    SCRESULT SetSessionKey(int index, const uint8_t* key, size_t len);
    const uint8_t* GetSessionKey(int index, size_t* len) const;

    // Key set for channel set-up by key agreement; null when none. Parts longer
    // than MAX_KEYSET_PART are refused.
    const SCSmKeySet* GetKeySet() const { return m_hasKeySet ? &m_keySet : nullptr; }
    SCRESULT SetKeySet(const SCSmKeySet& keySet);

    // Send sequence counter (big-endian octets) and the count of wrapped commands.
    SCRESULT SetSequenceCounter(const uint8_t* ssc, size_t len);
    const uint8_t* GetSequenceCounter(size_t* len) const;
    // Counts up by one; false (counter left at its maximum) when it would wrap.
    bool IncrementSequenceCounter();
    uint64_t GetCommandCount() const { return m_commandCount; }

    // Wipes every key, the key set and the counters, ends the session and clears
    // the established flag.
    void Reset();

    // Wraps a command for the card. Not active: a copy of the command. A failure
    // loses the session.
    SCRESULT WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out);
    // Unwraps the card's answer (data and status word) of the last wrapped
    // command; not active: a copy. An answer that does not verify, lacks the
    // protection the channel requires, or comes without a wrapped command before
    // it is refused (SC_E_SM_MAC_INVALID, or SC_E_SM_NOT_ESTABLISHED when the
    // card reports that it lost the channel) and the session is lost: nothing of
    // such an answer reaches the caller.
    SCRESULT UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                            uint16_t* outSw);
    // The largest command data that fits, wrapped, into wireLimit octets.
    virtual size_t GetMaxCommandData(size_t wireLimit) const { return wireLimit; }

protected:
    // The protocol's wrapping; the base has none (SC_E_UNIMPLEMENTED_FEATURE).
    virtual SCRESULT _WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out);
    virtual SCRESULT _UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                                     uint16_t* outSw);
    // Wipes the protocol's own session state (chaining values and the like).
    virtual void _WipeSession() {}
    void CountCommand() { ++m_commandCount; }

    uint32_t m_mode;

private:
    static void Wipe(std::vector<uint8_t>& v);
    void WipeSession();

    uint32_t m_kind;
    uint32_t m_flags = 0;
    SCSmSession m_session = SCSmSession::None;
    bool m_awaitingAnswer = false;
    bool m_keysOtherwise = false;
    uint32_t m_keyRef = 0;
    SCSmRestorer* m_restorer = nullptr;
    std::vector<uint8_t> m_keys[KEY_COUNT];
    std::vector<uint8_t> m_sessionKeys[KEY_COUNT];
    bool m_hasKeySet = false;
    SCSmKeySet m_keySet;
    std::vector<uint8_t> m_ssc;
    uint64_t m_commandCount = 0;
};
