// The card object: one per connected card, of the driver class that the card
// factory chose (sc_card_create.h). The base class speaks ISO/IEC 7816-4/8/9:
// selection, binary files, file creation and deletion, PINs, RSA keys; the card
// models derive from it and change what their card does differently. Every
// operation returns a card result code (0 or a positive count on success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "smartcard/sc_errors.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_smctx.h"
#include "smartcard/sc_types.h"

class SCReader;
class SCSmCtxGp;
class SCSmCtxIso;

// Key reference of OpenSmChannel: the personalisation agent's key set (the
// context's own keys).
constexpr uint32_t SC_SM_KEYREF_AGENT = 0xFFFFFFFEu;

// Key-object kinds of CreateKeyObject and DeleteObject.
constexpr uint32_t SC_KEYOBJ_GENERIC = 110;
constexpr uint32_t SC_KEYOBJ_RSA_PRIVATE = 111;
constexpr uint32_t SC_KEYOBJ_RSA_PUBLIC = 112;
constexpr uint32_t SC_KEYOBJ_RSA_PRIVATE_ALT = 113;
constexpr uint32_t SC_KEYOBJ_PIN = 200;
static_assert(SC_FT_KEY_BY_FILE == SC_KEYOBJ_RSA_PRIVATE, "a key used by its file reads as a private key object");

// Results without a table row.
constexpr SCRESULT SC_E_KEY_EXISTS = SC_RESULT_CODE(0xE00000000000000BULL);
constexpr SCRESULT SC_E_FILE_SIZE_REFUSED = SC_RESULT_CODE(0xE000000000000027ULL);

// Mechanisms of ComputeSignature, and of Decipher (raw or PKCS#1).
constexpr uint32_t SC_SIGN_RAW = 1;
constexpr uint32_t SC_SIGN_PKCS1 = 2;          // over the caller's DigestInfo
constexpr uint32_t SC_SIGN_PKCS1_DIGEST = 258; // over a bare digest of the hash named

// Key flag: a plain modulus/exponent key (no CRT members).
constexpr uint32_t SC_KEYFLAG_PLAIN = 0x100;

// What an empty VERIFY (SCCard::VerifyPin without a value) says of a PIN: 1 it
// stands (verified, tries left, blocked or without value), 0 the card holds none
// at that reference (6A88), else the answer itself: one that says neither.
inline SCRESULT ScPinPresence(SCRESULT verify) {
    if (verify >= 0 || verify == SC_E_PIN_BLOCKED || verify == SC_E_PIN_NOT_INITIALIZED) return 1;
    return verify == SC_E_NO_REFERENCED_DATA ? 0 : verify;
}

class SCCard : public SCSmRestorer {
public:
    // Takes the reader's current ATR when the reader is connected.
    explicit SCCard(SCReader* reader);
    virtual ~SCCard();
    SCCard(const SCCard&) = delete;
    SCCard& operator=(const SCCard&) = delete;

    SCReader* GetReader() const { return m_pConnectedReader; }
    const uint8_t* GetAtr(uint32_t* len) const {
        if (len) *len = m_atrLen;
        return m_atr;
    }

    // The reader the card is connected through; null once detached.
    SCReader* m_pConnectedReader;

    // ---- information and state ----
    virtual const char* GetCardName() const { return "Karta ISO 7816"; }
    // Firmware platform word (major in the top byte) and operating-system version.
    virtual uint32_t GetPlatformVersion() const { return 0; }
    virtual uint32_t GetOsVersion() const { return 0; }
    // Fills a record the caller zeroed; the base sets model 0, issuer all ones.
    virtual SCRESULT GetCardInfo(SCCardInfo* info);
    virtual uint32_t GetCardType(uint32_t flags = 0, uint32_t readerIndex = 0) const;
    // Card state as a small number (2 personalised, 3 activated); the base: the
    // life-cycle state, 3 when it cannot be read.
    virtual uint32_t GetCardState();
    // 1 creation .. 5 terminated, from the MF header; negative result on failure.
    virtual SCRESULT GetLifeCycleState();
    // Free memory in bytes (DF tag 81 of the MF), negative when unknown. Read
    // again only after the reader exchanged something else with the card.
    virtual int64_t GetCardCapacity();
    virtual SCRESULT CheckCardState();
    virtual SCRESULT ResetCard();
    // Length of the serial number copied (GET DATA 5A); SC_E_UNSUPPORTED_FEATURE.
    virtual SCRESULT GetSerialNumber(uint8_t* buffer, uint32_t capacity);
    virtual SCRESULT GetRandom(uint8_t* out, uint32_t len);
    // Option word (IAS-ECC: life-cycle byte of the ATR in bits 8-15).
    uint32_t GetOptions() const { return m_options; }
    virtual SCRESULT TerminateCard();
    virtual SCRESULT ActivateCard();
    // Blocks the card-wide user PIN of the selected MF (reference 1 unless given).
    virtual SCRESULT BlockGlobalUserPin(uint32_t ref = 1) { return BlockPin(ref); }

    // ---- selection ----
    virtual SCRESULT SelectMf(SCFileHeader** header = nullptr);
    virtual SCRESULT SelectFileById(uint16_t fid, SCFileHeader** header = nullptr);
    virtual SCRESULT SelectPath(const uint16_t* ids, size_t count, SCFileHeader** header = nullptr);
    SCRESULT SelectPathThunk(const uint16_t* ids, size_t count, uint32_t flags);
    // Selects a file of the qualified part by path (as SelectPath).
    virtual SCRESULT SelectQualifiedPath(const uint16_t* ids, size_t count, SCFileHeader** header = nullptr);
    virtual SCRESULT SelectByAid(const uint8_t* aid, size_t len, uint32_t occurrence, SCFileHeader** header);
    virtual SCRESULT SelectChildEf(uint16_t fid, SCFileHeader** header = nullptr);
    virtual SCRESULT SelectParent();
    virtual SCRESULT SelectApplet();
    virtual bool IsAppletSelected() const { return false; }
    virtual SCRESULT SelectIssuerSecurityDomain();
    // Path of the current DF as the driver knows it (empty when unknown).
    const SCPath& GetCurrentDf() const { return m_curDf; }

    // ---- files ----
    virtual SCRESULT CreateFile(uint32_t size, uint16_t fid, uint32_t lifeCycle, uint32_t accessTemplate,
                                const SCFileHeaderList& refs, SCFileHeader** header);
    // A transparent EF in the current DF with its size only: readable always,
    // changed and deleted under the current DF's file-creation rule when that
    // names a PIN or key (the DF's header the last one read); else by no one.
    // flags: 0.
    virtual SCRESULT CreateBinaryFile(uint16_t fid, uint32_t size, uint32_t flags);
    virtual SCRESULT CreateDf(uint32_t access, uint16_t fid, const uint8_t* dfName, size_t nameLen, uint32_t reserved,
                              uint32_t flags, const SCFileHeaderList* refs, SCFileHeader** header);
    virtual SCRESULT ResizeFile(uint16_t fid, uint32_t newSize, SCFileHeader** header);
    // A transparent EF fid of this size in the current DF, with the life cycle and
    // access rules of the file whose header is given.
    virtual SCRESULT CreateFileLike(const SCFileHeader& like, uint16_t fid, uint32_t size, SCFileHeader** header);
    virtual SCRESULT DeleteFile(uint16_t fid);
    // Deletes a file or DF under the DF of the path (without a path: under the
    // current DF); a DF that still holds files gives SC_E_DIR_NOT_EMPTY.
    virtual SCRESULT DeleteFileById(uint16_t fid, const SCPath& parent);
    SCRESULT DeleteFileById(uint16_t fid);
    // Whether the card deletes a DF with every file, key and PIN it holds, under
    // the DF's own delete rule alone; a card that does not deletes an empty DF only.
    virtual bool DeletesDfWithFiles() const { return false; }
    // Deletes the DF fid (a child of the current DF) with the files listed: lists
    // holds count entries, each a word n and n identifiers relative to the DF
    // (SCPathList::ResolveRelative writes this form); entry i is deleted when bit
    // i of mask is set (entries from 32 on always). Deepest entries go first; the
    // DF itself last (SC_E_DIR_NOT_EMPTY when files remain).
    virtual SCRESULT DeleteDfTree(uint16_t fid, const SCFileHeaderList& refs, const uint16_t* lists, size_t count,
                                  uint32_t mask);
    // The first identifier from first upward (0100 when first lies outside
    // 0100..EFFF) that the DF (parent path, or the current DF when null) lacks;
    // the current DF is as it was afterwards.
    virtual SCRESULT FindFreeFileId(const uint16_t* parent, size_t count, uint16_t first);
    virtual SCRESULT ReadBinaryFromStart(uint8_t* buffer, uint32_t count);
    virtual SCRESULT ReadBinary(uint32_t offset, uint8_t* buffer, uint32_t count);
    virtual SCRESULT UpdateBinaryFromStart(const uint8_t* data, uint32_t count);
    virtual SCRESULT UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t count);
    virtual SCRESULT EraseBinaryAll();
    // For each request, the access-condition values the file's rules require for
    // its operation. path is absolute (SC_E_BAD_USAGE otherwise). cached[0] is the
    // file's header, cached[1] its DF's (either may be null: selected here and,
    // with keepHeader, handed back in cached[] for the caller to release).
    virtual SCRESULT GetAccessRules(const uint16_t* path, size_t count, SCAccessRequest* requests, size_t requestCount,
                                    SCFileHeader** cached, size_t cachedCount, bool keepHeader,
                                    const SCFileHeaderList* refs);
    // Access-condition lists of the selected file (the last header read).
    virtual SCRESULT GetSelectedAccessRules(SCAccessRequest* requests, size_t requestCount);

    // ---- PINs ----
    // len all ones: the value is a text taken up to its terminating zero; a null
    // value creates the PIN without one.
    virtual SCRESULT CreatePin(uint32_t ref, const SCPinParams* params, const uint8_t* value, uint32_t len,
                               uint32_t reserved);
    virtual SCRESULT VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len);
    virtual SCRESULT ResetPinState(uint32_t ref);
    // Adds the access conditions (0xC000 | reference) of the PINs this card object
    // saw verified since the card's last reset (another application may have made
    // the card forget one since: the card has the last word).
    void GetVerifiedPins(SCValueSet* conditions) const;
    virtual SCRESULT ChangePin(uint32_t ref, const uint8_t* oldPin, const uint8_t* newPin, uint32_t oldLen,
                               uint32_t newLen);
    virtual SCRESULT UnblockPin(uint32_t ref, const uint8_t* puk, const uint8_t* newPin, uint32_t pukLen,
                                uint32_t newLen);
    virtual SCRESULT BlockPin(uint32_t ref);
    // Whether the last UnblockPin that failed had first sent the unblocking value
    // alone and the card took it: the PIN's count was made whole, its value kept.
    bool TookUnblockingAlone() const { return m_unblockedAlone; }

    // ---- what a call leaves verified ----
    // The card's security state is shared by every program that uses the card. A
    // PIN the card marks verified on a command of this card object (VERIFY with a
    // value, CHANGE REFERENCE DATA) is noted with the DF the command was sent from,
    // and the card is held (SCReader::HoldForCall) until the layer above takes the
    // notes at the end of its call and makes the card forget what no login of its
    // own holds. Where the module cannot name the PIN a command may have left
    // verified, the card is marked for a reset instead: a RESET RETRY COUNTER that
    // checks an unblocking PIN (the card, not the PIN directory, picks it), a
    // checking command answered other than done or refused, a note from an unknown
    // DF, a PIN command sent outside a call.
    // Notes are made while a call of the layer above is under way (CallScope).
    class CallScope {
    public:
        CallScope();
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;
        static bool Active();
    };
    // In a forked child that starts afresh: the counts of the card objects and
    // calls of the process are those of the parent's, which the child never uses.
    static void StartAfreshInChild();
    struct PinAt {
        SCPath df;             // empty: not known
        uint16_t ref = 0;
        bool global() const { return ref < 0x80; }
    };
    // The notes of the card's present session; *mustReset: the card must be reset.
    std::vector<PinAt> TakeLeftVerified(bool* mustReset);
    // Puts a note back for a later call (the card is not held for it).
    void KeepLeftVerified(const PinAt& pin);
    // Whether the card's present session is marked for a reset; the mark withdrawn
    // where the PIN a lost answer left unnamed was asked about since.
    bool MarkedForReset() const;
    void WithdrawResetMark();
    // Whether this card object holds notes or a reset mark of the card's present session.
    bool HoldsLeftVerified() const;
    // Whether a card object of this process holds notes or a reset mark.
    static bool AnyLeftVerified();
    // The PINs a CHANGE REFERENCE DATA or RESET RETRY COUNTER whose answer was lost
    // may have given a new value (with the reset mark that such an answer sets).
    std::vector<PinAt> TakeUncertainValues();
    // Ends the verification of a noted PIN: VERIFY P1=FF from its DF (a global
    // reference names the master file's PIN from anywhere). SC_E_BAD_USAGE where
    // the PIN or its DF is not known. A card that refuses it (any status word but
    // 9000) is asked for the PIN's state: anything but "none", "wrong" or
    // "blocked" is a failure (the card may keep it verified), and so is an answer
    // that cannot be read.
    SCRESULT ForgetVerification(const PinAt& pin);

    // ---- keys ----
    // Creates a key file (kinds 110, 111, 113; 112 answers SC_E_INVALID_FILE_TYPE:
    // public keys are no card objects here) in the current DF; fid 0 takes
    // 4B00 | keyRef. keyRef 0 or above FE: a key file without a reference, used
    // by its file (fid required; only on cards whose information says they keep
    // such keys). Its rules come from access (read public part always, use and
    // update under the user PIN or the key PIN, deletion also by the SO PIN).
    virtual SCRESULT CreateKeyObject(uint32_t kind, uint32_t modulusBits, uint32_t exponentBits, uint16_t fid,
                                     uint32_t fileSize, uint32_t keyFlags, uint32_t fileType,
                                     const SCFileHeaderList* access, uint32_t keyRef, SCFileHeader** header);
    virtual SCRESULT ImportRsaKey(const uint8_t* n, uint32_t nBits, const uint8_t* d, uint32_t dBits, const uint8_t* e,
                                  uint32_t eBits, const uint8_t* p, uint32_t pBits, const uint8_t* q, uint32_t qBits,
                                  const uint8_t* dp, uint32_t dpBits, const uint8_t* dq, uint32_t dqBits,
                                  const uint8_t* qinv, uint32_t qinvBits, uint16_t fid, uint32_t keyRef,
                                  uint32_t keyFlags, uint32_t fileType, const SCFileHeaderList* access);
    virtual SCRESULT GenerateKeyPair(uint32_t modulusBits, uint16_t privFid, uint16_t pubFid, uint32_t privRef,
                                     uint32_t pubRef, uint32_t exponentBits, const uint8_t* exponent,
                                     SCByteBuffer* modulusOut, SCByteBuffer* exponentOut);
    virtual SCRESULT WriteRsaPublicKey(const uint8_t* n, uint32_t nBits, const uint8_t* e, uint32_t eBits, uint16_t fid,
                                       uint32_t keyRef, uint32_t reserved, uint32_t fileType,
                                       const SCFileHeaderList* access);
    // GENERATE ASYMMETRIC KEY PAIR P1 81 (read the public part) of the key with the
    // reference (above FE: the selected key file). *nLen/*eLen in: capacities,
    // out: lengths; null buffers ask for the lengths; *keyBits gets the modulus bits.
    virtual SCRESULT ReadRsaPublicKey(uint32_t* nLen, uint32_t* eLen, uint8_t* n, uint8_t* e, uint32_t* keyBits,
                                      uint32_t keyRef);
    // MSE SET (B6) and PSO COMPUTE DIGITAL SIGNATURE. The key: keyRef (1..FE), or
    // the key file *fid in the current DF when hasFid: by its header's reference,
    // or, when the header carries none, by the file itself (tag 81).
    // modulusBytes 0: not checked here. *outLen in: capacity, out: length.
    virtual SCRESULT ComputeSignature(const uint16_t* fid, bool hasFid, uint32_t keyRef, uint32_t mechanism,
                                      uint32_t hashId, uint32_t modulusBytes, const uint8_t* data, uint32_t dataLen,
                                      uint8_t* out, uint32_t* outLen);
    virtual SCRESULT Decipher(const uint16_t* fid, bool hasFid, uint32_t keyRef, uint32_t mechanism, const uint8_t* in,
                              uint32_t inLen, uint8_t* out, uint32_t* outLen);
    virtual SCRESULT DeleteObject(uint32_t keyRef, uint32_t mode);

    // ---- secure messaging (protocols in smartcard/README.md) ----
    // The card owns the context of its channel and attaches it to its reader;
    // every command then passes through it. Setting a channel up replaces the
    // card's context; a set-up that fails leaves the card without one.
    //
    // The context in use for this card (null when none).
    SCSmCtx* GetSmCtx() const;
    // Drops the card's context: its keys are wiped and commands pass unchanged.
    virtual SCRESULT DropSmContext();
    // ISO/IEC 7816-4 secure messaging with keys agreed by Diffie-Hellman in the
    // group of keySet (three parts: p, q or a private-value mask, g) with the
    // card's key `group` (MSE SET KAT, GENERAL AUTHENTICATE). The context is not
    // marked established (the caller decides whether it is set up again after a
    // reset). SC_E_BAD_USAGE while a GlobalPlatform channel is set up (it is
    // kept); SC_E_NO_REFERENCED_DATA when the card has no key for the group;
    // SC_E_INVALID_KEY for a group or card value that does not pass the checks.
    virtual SCRESULT SetupSmDh(const SCByteBuffer* keySet, uint32_t group);
    // Whether commands that carry a PIN, PUK or key go only through a channel:
    // without one they are held back (SC_TX_PROTECTED_ONLY). Set by whoever
    // knows that the card's application expects secure messaging.
    void SetSecretsNeedChannel(bool on) { m_secretsNeedChannel = on; }
    bool SecretsNeedChannel() const { return m_secretsNeedChannel || m_channelOffer == kChannelOffered; }
    // With `on`, before the first PIN, PUK or key goes to a card whose model has
    // the key-agreement channel while none is open, the card itself is asked
    // whether it offers it (MSE SET KAT with keyRef, 0: the model's key). 9000:
    // it does, and from then on every secret goes over the channel or not at all,
    // whatever its files say, as long as this card object lives. 6A88 counts as
    // "no channel" only while noneMayBeAnswered (the caller read the card's
    // structure whole and it names no group); any other answer, or none, holds
    // the secret back. Set by whoever reads the card's structure.
    void SetChannelProbe(bool on, uint8_t keyRef, bool noneMayBeAnswered);
    // Asks the card now where that is still to be learnt (no command where the
    // answer is known, or where probing is off or a channel is open): 1 the card
    // offers the channel, 0 it does not (or need not be asked), or the failure
    // that leaves it unknown (secrets are then held back).
    SCRESULT AskChannelOffer();
    // GlobalPlatform secure channel with three static keys (first key-MAC,
    // second key-ENC, third key-DEK; 16 octets each) with the application that
    // is selected; mode 3, 4 or 5 (0: 5). On success the context is marked
    // established; with pauseAfter it is paused at once. Only cards of the
    // GlobalPlatform family offer it (else SC_E_UNSUPPORTED_FEATURE). Keys that
    // are not the card's give SC_E_VERIFY_FAILED.
    virtual SCRESULT SetupGpChannel(const uint8_t* k1, size_t l1, const uint8_t* k2, size_t l2, const uint8_t* k3,
                                    size_t l3, bool pauseAfter = false, uint32_t mode = 0);
    // Opens the channel again with the keys of the card's GlobalPlatform context,
    // with the application now selected. keyRef: the key version to ask for
    // (1..7F), or 0 and SC_SM_KEYREF_AGENT for the context's own key set. The
    // other arguments are reserved (0, all ones, 0, 0). SC_E_SM_NOT_ESTABLISHED
    // without such a context; a failure drops the context.
    virtual SCRESULT OpenSmChannel(uint32_t keyRef, uint32_t reserved1 = 0, uint32_t reserved2 = 0xFFFFFFFFu,
                                   uint32_t reserved3 = 0, uint32_t reserved4 = 0);
    // Sets the channel of a context whose session was lost up again (the card is
    // its context's restorer: the reader asks it before the next command when
    // the context is marked established).
    SCRESULT RestoreSecureMessaging() override;
    // The card was reset (by this or another application): the reader calls it
    // after reconnecting. Selections are forgotten.
    virtual void AfterCardReset();

    // ---- writes ----
    // While a write is under way (BeginWrite .. EndWrite, nested), a command that
    // meets a reset by another application is not lost: the card is reconnected,
    // its security state restored, the DF and EF that were selected are selected
    // again, and the command is sent again (a chain from its first part), so that
    // the write goes on, or is taken back, as if nothing had happened. Outside a
    // write the reset is reported as it is.
    // restore (with ctx), given by the outermost write, brings back what the
    // layer above had on the card (its verified PINs) after the reconnection.
    typedef SCRESULT (*ResetRestorer)(void* ctx);
    void BeginWrite(ResetRestorer restore = nullptr, void* ctx = nullptr) {
        if (m_writeDepth++ == 0) {
            m_restorer = restore;
            m_restorerCtx = ctx;
        }
    }
    void EndWrite() {
        if (m_writeDepth > 0 && --m_writeDepth == 0) {
            m_restorer = nullptr;
            m_restorerCtx = nullptr;
        }
    }
    bool InWrite() const { return m_writeDepth > 0; }
    // Commands planned from what the card held (BeginPlanned .. EndPlanned,
    // nested): a reset met by one is taken up as above, but the command is not
    // sent again: the caller gets SC_E_CARD_WAS_RESET, with the card back and its
    // security state restored, and plans again from what the card holds now
    // (another application may have written in between).
    void BeginPlanned() { ++m_plannedDepth; }
    void EndPlanned() {
        if (m_plannedDepth > 0) --m_plannedDepth;
    }

    // ---- transport ----
    // Sends one command (chained with CLA bit 10 when the data exceeds the
    // reader's send limit); resp may be null. The result says whether the exchange
    // worked; the status word is in *sw. txFlags: SC_TX_* of the reader.
    SCRESULT Transmit(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, size_t len, bool wantLe,
                      std::vector<uint8_t>* resp, uint16_t* sw, uint32_t txFlags = 0);
    // The card result of a status word: 9000 -> 0, 61xx -> 0, else 0xE000000000010000 | sw.
    static SCRESULT MapStatus(uint16_t sw);
    // The commands this card object sent that change the card (create, delete, write,
    // a PIN's value or state), those the card carried out (9000, 61xx), and the PINs
    // it made or gave a value: each counted where the card answered, or where its
    // answer may be lost. A call compares them before and after a failure to tell
    // what it may have left on the card.
    struct ChangeCount {
        uint32_t sent = 0, done = 0, pins = 0;
    };
    const ChangeCount& Changes() const { return m_changes; }
    // Makes a header object of this card's kind from FCP bytes.
    virtual SCFileHeader* NewHeader() const { return new SCFileHeader(); }
    // Life-cycle number of the FCP byte used at creation (1..5 -> ISO byte).
    static uint8_t LifeCycleByte(uint32_t state);

protected:
    // Sends SELECT and, when header is not null, parses the answer into a new header.
    SCRESULT DoSelect(uint8_t p1, uint8_t p2, const uint8_t* data, size_t len, SCFileHeader** header,
                      SCFileHeader** keep = nullptr);
    // After a reset met inside a write: reconnects, lets the writer restore its
    // security state, and selects df and then its EF ef (0: none) again. Commands
    // sent here are not recovered again.
    SCRESULT RecoverFromReset(const SCPath& df, uint16_t ef);
    // Where a command stands, so that one reset met by it can be taken up: a
    // command of a write, or the first since the reader took the card.
    struct ResetPoint {
        bool armed = false;  // one of those, and not already recovering
        bool first = false;  // the first since the reader took the card
        bool used = false;   // one reset per command is taken up
        SCPath df;
        uint16_t ef = 0;
    };
    ResetPoint MarkResetPoint() const;
    // True when r is a reset that was taken up (the command goes again); else
    // false, with *r the recovery's failure where it failed.
    bool TakeUpReset(ResetPoint& point, SCRESULT* r);
    SCRESULT CreateFromFcp(const std::vector<uint8_t>& fcpBody, SCFileHeader** header, uint32_t txFlags = 0);
    SCRESULT ManageSecurityEnvironment(uint8_t tmpl, uint8_t algorithm, const uint16_t* fid, bool hasFid,
                                       uint32_t keyRef);
    SCRESULT PutKeyComponents(uint32_t keyRef, const std::vector<uint8_t>& tlvs, uint32_t txFlags = 0);
    // The transmit flags of a command that carries a PIN, PUK or key; asks the
    // card first whether it offers the channel where that is still to be learnt.
    uint32_t SecretTxFlags();
    // The key of the key agreement the card's model holds when it offers the
    // channel; 0 for models without it.
    virtual uint8_t ModelChannelKeyRef() const { return 0; }
    // Fills the info record with the fields common to every driver.
    void FillBaseInfo(SCCardInfo* info) const;
    // Makes ctx the card's context and attaches it to the reader (the previous
    // one is wiped); null detaches and drops it.
    void AttachSmCtx(std::unique_ptr<SCSmCtx> ctx);
    // Runs the key agreement of an ISO context (its key set and group) and opens
    // its session.
    SCRESULT AgreeSmKeys(SCSmCtxIso* ctx);
    // Runs INITIALIZE UPDATE and EXTERNAL AUTHENTICATE of a GlobalPlatform
    // context and opens its session.
    SCRESULT OpenGpSession(SCSmCtxGp* ctx);

    uint8_t m_atr[33] = {};
    uint32_t m_atrLen = 0;
    uint32_t m_options = 0;
    uint32_t m_cardState = 0;
    SCPath m_curDf;          // absolute path of the current DF; empty = unknown
    bool m_unblockedAlone = false;  // TookUnblockingAlone
    SCFileHeader m_lastHeader;  // header of the last selected file
    bool m_hasLastHeader = false;
    uint32_t m_writeDepth = 0;          // BeginWrite nesting
    ResetRestorer m_restorer = nullptr;  // of the outermost write
    void* m_restorerCtx = nullptr;
    bool m_recovering = false;          // inside RecoverFromReset
    uint32_t m_plannedDepth = 0;        // BeginPlanned nesting
    std::vector<uint8_t> m_verifiedPins;  // references seen verified since the last reset
    std::vector<PinAt> m_leftVerified;    // TakeLeftVerified
    std::vector<PinAt> m_uncertainValues;  // TakeUncertainValues
    uint64_t m_leftSession = 0;           // the reader's card session they were noted in
    bool m_leftReset = false;             // the card must be reset (m_leftSession's)
    // Notes what a command the card answered with `sw` leaves verified.
    void NoteVerification(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, size_t len, uint16_t sw, bool lost = false);
    std::unique_ptr<SCSmCtx> m_smCtx;   // the channel this card set up
    bool m_secretsNeedChannel = false;
    enum : uint8_t { kChannelOfferUnknown, kChannelOffered, kChannelNotOffered };
    bool m_probeChannel = false;           // SetChannelProbe
    uint8_t m_probeKeyRef = 0;
    bool m_noneMayBeAnswered = false;
    uint8_t m_channelOffer = kChannelOfferUnknown;  // as the card answered
    uint8_t m_notOfferedRef = 0;           // the key the card said it does not hold
    uint16_t m_gpLastSequence = 0;      // highest GlobalPlatform sequence counter seen
    bool m_gpHaveSequence = false;
    int64_t m_capacity = -1;            // the free memory last read,
    uint64_t m_capacityAt = 0;          // at this exchange count of the reader
    bool m_capacityKnown = false;
    ChangeCount m_changes;
};

// Marks a write on the card for its whole length (SCCard::BeginWrite).
class SCCardWriteGuard {
public:
    explicit SCCardWriteGuard(SCCard* card, SCCard::ResetRestorer restore = nullptr, void* ctx = nullptr)
        : m_card(card) {
        if (m_card != nullptr) m_card->BeginWrite(restore, ctx);
    }
    ~SCCardWriteGuard() {
        if (m_card != nullptr) m_card->EndWrite();
    }
    SCCardWriteGuard(const SCCardWriteGuard&) = delete;
    SCCardWriteGuard& operator=(const SCCardWriteGuard&) = delete;

private:
    SCCard* m_card;
};

// Holds a card in planned commands for a scope (SCCard::BeginPlanned).
class SCCardPlannedGuard {
public:
    explicit SCCardPlannedGuard(SCCard* card) : m_card(card) {
        if (m_card != nullptr) m_card->BeginPlanned();
    }
    ~SCCardPlannedGuard() {
        if (m_card != nullptr) m_card->EndPlanned();
    }
    SCCardPlannedGuard(const SCCardPlannedGuard&) = delete;
    SCCardPlannedGuard& operator=(const SCCardPlannedGuard&) = delete;

private:
    SCCard* m_card;
};
