// Card readers: one SCReader per reader, of the class of its back-end. The reader
// connects the card, transmits APDUs (fetching long answers with GET RESPONSE and
// correcting a wrong Le), brackets card work in transactions that nest, and tracks
// the card's presence.
//
// The back-ends ("PC/SC", "TARVO-MELK") are chosen process-wide with
// SetReaderTypes; their libraries are loaded by SCReaderPcsc::LoadPcscFunctions
// and SCReaderDravok::LoadDravokFunctions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smartcard/sc_errors.h"
#include "smartcard/sc_readeroptions.h"

class SCCard;
class SCSmCtx;

// Mode word: connected protocol and share mode.
constexpr uint32_t SC_MODE_PROTO_T1 = 0x10;
constexpr uint32_t SC_MODE_PROTO_T0 = 0x20;
constexpr uint32_t SC_MODE_PROTO_RAW = 0x40;
constexpr uint32_t SC_MODE_PROTO_UNDEFINED = 0x200;
constexpr uint32_t SC_MODE_PROTO_MASK = 0x270;
constexpr uint32_t SC_MODE_SHARE_EXCLUSIVE = 0x10000;
constexpr uint32_t SC_MODE_SHARE_SHARED = 0x20000;
constexpr uint32_t SC_MODE_SHARE_DIRECT = 0x40000;
constexpr uint32_t SC_MODE_SHARE_MASK = 0xF0000;

// Card state bits returned by CheckForChange and WaitForChange.
constexpr uint32_t SC_CARDSTATE_PRESENT = 0x1;
constexpr uint32_t SC_CARDSTATE_MUTE = 0x2;      // present but mute or unusable (with 0x1)
constexpr uint32_t SC_CARDSTATE_CHANGED = 0x8000;

// CheckForChange flag: acknowledge the state seen (the next poll compares with it).
constexpr uint32_t SC_CHECK_ACKNOWLEDGE = 0x1;

// Disconnect dispositions (the PC/SC values).
constexpr uint32_t SC_DISPOSITION_LEAVE = 0;
constexpr uint32_t SC_DISPOSITION_RESET = 1;
constexpr uint32_t SC_DISPOSITION_UNPOWER = 2;
constexpr uint32_t SC_DISPOSITION_EJECT = 3;

// Reader listing modes handed to the back-ends: 0 list, 2 list on a fresh
// connection to the reader service, 1 wait up to a second for the service and a
// reader to appear.
constexpr uint32_t SC_LIST_NORMAL = 0;
constexpr uint32_t SC_LIST_WAIT = 1;
constexpr uint32_t SC_LIST_FRESH = 2;

// TransmitAPDU flags.
constexpr uint32_t SC_TX_NO_GET_RESPONSE = 0x1;  // hand 61xx back to the caller
constexpr uint32_t SC_TX_NO_LE_CORRECTION = 0x2; // hand 6Cxx back to the caller
constexpr uint32_t SC_TX_NO_SM = 0x4;            // bypass the secure-messaging context
constexpr uint32_t SC_TX_PROTECTED_ONLY = 0x8;   // sent only wrapped by a channel, else held back (6987)

// Largest response data that one TransmitAPDU collects.
constexpr uint32_t SC_MAX_RESPONSE_DATA = 65536;

// Makes the card object for a freshly connected card. SC_E_CARD_UNSUPPORTED (or a
// null card with 0) leaves the card connected without a card object; another
// failure makes Connect disconnect and fail.
typedef SCRESULT (*SCCardFactoryFn)(class SCReader* reader, SCCard** card);

class SCReader {
public:
    virtual ~SCReader();
    SCReader(const SCReader&) = delete;
    SCReader& operator=(const SCReader&) = delete;

    // ---- back-end table (process-wide) ----
    // Sets the active back-ends from a comma-separated list of names ("PC/SC",
    // "TARVO-MELK"; blanks around names ignored, names compared without case on 31
    // characters). Null or an empty list selects the default ("PC/SC"). False, and
    // the table unchanged, when a name is unknown.
    static bool SetReaderTypes(const char* list);
    static bool IsReaderTypeEnabled(const char* name);
    // Calls the clean-up of every active back-end (unloads their libraries).
    static void UnloadBackends();
    // Builds the process-wide state of every back-end (its library record) now.
    // Static objects go in the reverse order of their construction: an owner that
    // unloads the back-ends from its destructor calls this before its own
    // construction ends, so that what it unloads is still there at exit or unload.
    static void PrepareBackends();
    // Reader names of every active back-end as one multi-string (names ended by NUL,
    // the list ended by an empty name), allocated with new[]; free it with
    // FreeReaderList. SC_E_READER_SUBSYSTEM_NOT_RUNNING when no active back-end's
    // service runs; SC_E_NO_READER_SUBSYSTEM when none is loaded.
    static SCRESULT GetReaderList(char** multiString, uint32_t mode);
    static void FreeReaderList(char* multiString);
    // Makes the reader object for a name, of the first active back-end that lists
    // it; SC_E_READER_NOT_FOUND when none does. Delete the object with delete.
    static SCRESULT CreateReader(const char* name, SCReader** reader, uint32_t mode);
    // Card factory used by Connect (null: no card object is made).
    static void SetCardFactory(SCCardFactoryFn factory);
    // In a forked child that starts afresh with reader objects of its own: the
    // process-wide locks and counts are made anew, as another thread of the
    // parent may have held them when the process forked.
    static void StartAfreshInChild();

    // ---- state read by the bridge ----
    const char* GetName() const { return m_name.c_str(); }
    virtual const char* GetBackendName() const = 0;
    // Whether asking the back-end for the reader's state is a round trip to a
    // reader service in another process (PC/SC through its daemon). A watcher
    // of such a reader hears of each change from that service as soon as any
    // poll could, so its view may stand in for a poll; a back-end that keeps
    // its readers in this process answers a poll for the price of a call.
    virtual bool IsServiceRemote() const { return false; }
    bool IsInitialized() const { return m_bInited; }
    bool IsConnected() const { return m_bConnected; }
    SCCard* GetCard() const { return m_pCard; }
    uint32_t GetMode() const { return m_mode; }
    // Share mode used by the next Connect (SC_MODE_SHARE_*; 0 = shared).
    void SetShareMode(uint32_t shareBits);
    // The two option words of the reader options (sc_readeroptions.h); set before Init.
    void SetOptions(uint64_t options, uint64_t limits) {
        m_options = options;
        m_limits = limits;
    }
    uint64_t GetOptions() const { return m_options; }

    // ---- life cycle ----
    // Opens the reader (its own connection to the reader service). SC_E_BAD_USAGE
    // when already initialised; SC_E_READER_NOT_FOUND when the reader is gone.
    SCRESULT Init(uint32_t flags);
    // Disconnects a connected card and closes the reader.
    void Release();

    // Connects the card. protocolRequest: SC_MODE_PROTO_T0/T1/RAW bits, 0 = the
    // reader's default protocols. The reader options restrict it; nothing left:
    // SC_E_CARD_PROTO_MISMATCH. SC_E_CARD_IS_USED when another holder has the card
    // exclusively, SC_E_NO_SMARTCARD when there is none.
    SCRESULT Connect(uint32_t protocolRequest);
    // Re-establishes the connection (after a reset by another application); share
    // bits SC_MODE_SHARE_* (0 keeps the current share mode).
    SCRESULT Reconnect(uint32_t shareMode);
    // Resets the card (warm reset) and keeps the connection; the reset is made
    // inside a transaction (the caller's, or one of its own). A reset of our own
    // is no card event for this reader, unless announced: then the layers above
    // see it as a reset by another application.
    SCRESULT ResetCard(bool announce = false);
    // Ends a held transaction, disconnects the card and deletes the card object.
    // While a reset is owed (below), or the card object holds what a call left
    // verified, the card is disconnected with a reset.
    void Disconnect(uint32_t disposition);
    // Resets the card through the present connection and ends it, changing
    // nothing of this object: for the module's end while another thread may
    // still be inside an operation on it. The reader service makes the reset
    // after the command under way; that thread's next command fails.
    SCRESULT ResetUnderCall();

    // A reset this reader could not make (the card mute, held by another program,
    // its answer unreadable) stays owed to that card: the reader's next contact
    // with it resets it before anything else reaches it (the outermost
    // transaction, or a connection, makes it; a command that would come first is
    // refused with the reset's failure), and a disconnection while it is owed
    // resets. The card is the one in the reader until PC/SC reports it taken out
    // (an answer on the connection, a state without a card) or a connection finds
    // another ATR: that forgets the mark.
    bool ResetOwed() const { return m_resetOwed; }

    // One poll of the card state: SC_CARDSTATE_* bits, SC_CARDSTATE_CHANGED when
    // the state differs from the last acknowledged one; flag SC_CHECK_ACKNOWLEDGE
    // acknowledges it. The back-end is asked for the reader's current state
    // (one query) and the comparison is made here.
    SCRESULT CheckForChange(uint32_t flag);
    // What a poll answered last, acknowledged and not changed since as far as
    // this reader knows (SC_CARDSTATE_* bits, never SC_CARDSTATE_CHANGED): the
    // answer a poll would give when nothing happened. SC_E_BAD_USAGE when the
    // reader has no such state (not initialised, never polled, or a change seen
    // and not acknowledged). No back-end call.
    SCRESULT GetAcknowledgedState() const;
    // Blocks up to timeoutMs until the card state changes; the new state (with
    // SC_CARDSTATE_CHANGED, acknowledged) or SC_E_TIMEOUT.
    virtual SCRESULT WaitForChange(uint32_t timeoutMs);
    // Whether the connected card is still there: 0, SC_E_CARD_REMOVED,
    // SC_E_CARD_WAS_RESET or a reader failure.
    SCRESULT CheckCardState();

    // Vendor name of the reader (may be empty) and its version (bits 24-31 major,
    // 16-23 minor); read from the reader once per connection of a card.
    virtual const char* GetVendorName();
    virtual uint32_t GetVendorVersion();

    // Copies the connected card's ATR; *len in: capacity, out: ATR length.
    // SC_E_INSUFFICIENT_BUFFER (nothing copied) when it does not fit.
    SCRESULT GetATR(uint8_t* buffer, uint32_t* len);

    // Sends one command APDU and returns the response data and status word. 61xx
    // is answered with GET RESPONSE until the card has given everything, 6Cxx by
    // repeating the command with the corrected Le; the final status word is
    // returned. *respLen in: capacity, out: data length; SC_E_INSUFFICIENT_BUFFER
    // with the needed length when the data does not fit. The return value says
    // whether the exchange worked, not what the status word says.
    SCRESULT TransmitAPDU(const uint8_t* apdu, uint32_t apduLen, uint8_t* resp, uint32_t* respLen,
                          uint16_t* sw, uint32_t flags = 0);
    // Same, into a vector.
    SCRESULT TransmitAPDU(const std::vector<uint8_t>& apdu, std::vector<uint8_t>* resp, uint16_t* sw,
                          uint32_t flags = 0);

    // Largest response data length per command (configured, else 256; more only
    // with T=1), and largest command data length (configured, else 255; under a
    // secure channel what fits into that once wrapped).
    uint32_t GetMaxResponseLength() const;
    uint32_t GetMaxSendLength() const;
    // Largest command data length on the wire (configured, else 255).
    uint32_t GetWireSendLength() const;

    // Counts what this reader did that may have changed its card: every command
    // other than a selection, a read or a PIN-status query (VERIFY without data),
    // and every connection made, renewed or ended. A value read from the card
    // stays true while the count has not moved (changes by other applications
    // aside).
    uint64_t GetChangeCount() const { return m_changeCount; }

    // Transactions nest: only the outermost Begin and End reach the card. A card
    // that another application reset since the last exchange is taken back
    // (Reconnect) when the outermost Begin finds it so.
    SCRESULT BeginTransaction();
    SCRESULT EndTransaction();
    uint32_t GetTransactionDepth() const { return m_transactionDepth; }
    // Keeps the card this reader's (one transaction more) past the end of the
    // operations under way, until ReleaseCallHold: what a call leaves on the
    // card is taken back before another program can use it. Holds once; a lost
    // connection ends the hold with the transaction.
    void HoldForCall();
    void ReleaseCallHold();
    // Whether a reader of this process holds a card for a call.
    static bool AnyCallHold();
    // Counts the spans in which the card was this reader's alone: it moves when an
    // outermost transaction begins and when the card is connected, reset or lost.
    // What was read from the card in a transaction stays what the card holds while
    // the transaction lasts and the count has not moved (no other application
    // can write in between).
    uint64_t GetHoldSerial() const { return m_holdSerial; }
    // Whether what was read at this serial is still what the card holds.
    bool StillHeld(uint64_t serial) const { return m_transactionDepth > 0 && serial == m_holdSerial; }
    // Counts the card's sessions: it moves when the card is connected, reset or
    // lost (a cut ends one), never with a transaction alone.
    uint64_t GetCardSession() const { return m_cardSession; }
    // Commands sent to the card so far: while it stands still, the card's
    // selection stays where the last command left it.
    uint64_t GetCommandCount() const { return m_commandCount; }
    // Whether the last command went to the card and its answer could not be read
    // (a protected answer that fails its check, an answer shorter than its status
    // word, a transmission error) while the card was not found gone or reset: the
    // card may have carried the command out.
    bool AnswerLost() const { return m_answerLost; }
    // Whether this reader holds the card and has sent it nothing since it took
    // it, or took it back. pcscd may tell a Begin nothing of a reset that
    // another program finished while the Begin waited for the card, and tell
    // the first command instead: that command never reached the card, and
    // nothing of the transaction was on it.
    bool HoldIsUntouched() const { return m_transactionDepth > 0 && m_commandCount == m_holdStart; }

    // Secure-messaging context that APDUs pass through (not owned: the card
    // object that set the channel up owns it; null = none). A context whose
    // session was lost refuses APDUs, or, when it is marked established, is set
    // up again first by its restorer (SCSmCtx::GetRestorer); a reset of the
    // card loses the session.
    void SetSmCtx(SCSmCtx* ctx) { m_pSmCtx = ctx; }
    SCSmCtx* GetSmCtx() const { return m_pSmCtx; }

protected:
    explicit SCReader(const char* name);

    // Back-end primitives. Protocols and share modes are PC/SC values; states are
    // PC/SC reader-state words.
    virtual SCRESULT _Init(uint32_t flags) = 0;
    virtual void _Release() = 0;
    virtual SCRESULT _Connect(uint32_t share, uint32_t protocols, uint32_t* active) = 0;
    virtual SCRESULT _Reconnect(uint32_t share, uint32_t protocols, uint32_t initialization,
                                uint32_t* active) = 0;
    virtual SCRESULT _Disconnect(uint32_t disposition) = 0;
    // Disconnects with a reset and changes nothing of the object (ResetUnderCall).
    virtual SCRESULT _ResetUnderCall() = 0;
    // Checks the connected card; fills the ATR (buffer of 33 bytes).
    virtual SCRESULT _Status(uint8_t* atr, uint32_t* atrLen) = 0;
    // One wait for a state different from current; SC_E_TIMEOUT when none came.
    virtual SCRESULT _GetStatusChange(uint32_t timeoutMs, uint64_t current, uint64_t* event) = 0;
    virtual SCRESULT _Transmit(const uint8_t* apdu, uint32_t len, uint8_t* resp, uint32_t* respLen) = 0;
    virtual SCRESULT _BeginTransaction() = 0;
    virtual SCRESULT _EndTransaction(uint32_t disposition) = 0;
    virtual SCRESULT _GetAttrib(uint32_t id, uint8_t* buf, uint32_t* len);

private:
    SCRESULT ConnectWith(uint32_t share, uint32_t want, uint32_t allowed, uint32_t* active);
    SCRESULT AfterConnect(uint32_t active);
    void ClearCard();
    // After a reset (own or another application's): the card's state is gone.
    void CardWasReset();
    // Reconnects the card as it is (LEAVE_CARD) or resetting it, and takes its
    // protocol and ATR; the transaction and the card's state are the caller's.
    SCRESULT TakeBack(uint32_t share, uint32_t initialization);
    // Holds the card again for the transaction that was held before a
    // reconnection or a reset.
    SCRESULT HoldAgain();
    SCRESULT ExchangeOnce(const std::vector<uint8_t>& apdu, std::vector<uint8_t>* resp, uint16_t* sw);
    SCRESULT ExchangeChained(const std::vector<uint8_t>& apdu, uint32_t flags, std::vector<uint8_t>* data,
                             uint16_t* sw);
    SCRESULT StateFromEvent(uint64_t event, uint32_t* bits) const;
    // The owed reset (ResetOwed): marked with the connected card's ATR and the
    // failure that stopped it, forgotten where PC/SC reports the card gone.
    void OweReset(SCRESULT why);
    void ForgetOwedReset(const char* why);
    void NoteCardGone(SCRESULT rc);
    // The reader's current state word from the back-end (a poll with timeout 0
    // that states no expectation, so it answers at once).
    SCRESULT PollState(uint64_t* event);

    std::string m_name;
    bool m_bInited = false;
    bool m_bConnected = false;
    SCCard* m_pCard = nullptr;
    uint32_t m_mode = SC_MODE_SHARE_SHARED;
    uint32_t m_allowedProtocols = 0;  // PC/SC mask allowed at the last Connect
    uint64_t m_options = 0;
    uint64_t m_limits = 0;
    uint8_t m_atr[33] = {};
    uint32_t m_atrLen = 0;
    uint32_t m_transactionDepth = 0;
    bool m_callHold = false;   // HoldForCall counted in m_transactionDepth; only through SetCallHold
    void SetCallHold(bool held);
    uint64_t m_holdSerial = 0;
    uint64_t m_cardSession = 1;
    uint64_t m_commandCount = 0;
    uint64_t m_holdStart = 0;  // m_commandCount when the card was taken, or taken back
    SCSmCtx* m_pSmCtx = nullptr;
    uint64_t m_rawState = 0;   // last state word seen from the back-end
    uint64_t m_ackState = 0;   // last state acknowledged
    bool m_bAcked = false;
    std::string m_vendorName;
    uint32_t m_vendorVersion = 0;
    bool m_vendorNameAsked = false;
    bool m_vendorVersionAsked = false;
    uint64_t m_changeCount = 0;
    bool m_answerLost = false;
    bool m_resetOwed = false;
    SCRESULT m_owedFailure = SC_OK;  // what stopped the reset last
    uint8_t m_owedAtr[33] = {};
    uint32_t m_owedAtrLen = 0;
    bool m_resetting = false;  // inside ResetCard: its own transaction makes no owed reset first
    std::vector<uint8_t> m_rxBuffer;
};
