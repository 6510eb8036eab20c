// The reader bridge: turns readers into slots and PKCS#15 applications into
// tokens. This file holds the bridge's configuration (PKCS#15 option word,
// tokens per reader, reader libraries and back-ends, per-reader options chosen
// by name pattern, the allowed-reader list, the card-initialisation profile)
// and its slot bookkeeping. The configuration writes it through the setters.
#ifndef MIRTAL_PKCS11IMPL_SCPKCS15LIB_H
#define MIRTAL_PKCS11IMPL_SCPKCS15LIB_H

#include <pthread.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/thread.h"
#include "pkcs15/scpkcs15errors.h"
#include "smartcard/sc_cardrules.h"
#include "smartcard/sc_errors.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_readeroptions.h"
#include "smartcard/sc_types.h"
#include "support/ptrlist.h"
#include "support/tlists.h"

class TraceLogger;
class SCReader;
class SCCard;
class SCPkcs15ObjectAttributeList;
class SCFileHeader;
struct SCCardInfo;
class SCPkcs15App;
class SCPkcs15Card;
class CfgSectionList;
class ASNobjectId;
class ASNPkcs15CommonAuthObjectAttributes;
class ASNPkcs15CommonDataObjectAttributes;
class ASNPkcs15TokenInfo;
class InitProfile;
class SCFileHeaderList;
class SCPkcs15Lib;

// Bridge result codes (same form as the card result codes).
constexpr SCRESULT SC_E_PKCS15_NO_APPLICATION = SC_RESULT_CODE(0xE000000000021388ULL);
constexpr SCRESULT SC_E_PKCS15_NEED_CREATE_THREADS = SC_RESULT_CODE(0xE000000000021389ULL);
constexpr SCRESULT SC_E_PKCS15_CANT_LOCK = SC_RESULT_CODE(0xE00000000002138AULL);
constexpr SCRESULT SC_E_PKCS15_BAD_READER_SUBSYSTEM = SC_RESULT_CODE(0xE00000000002138BULL);
constexpr SCRESULT SC_E_PKCS15_CARD_NOT_INITIALIZED = SC_RESULT_CODE(0xE00000000002138CULL);
constexpr SCRESULT SC_E_PKCS15_IGNORE_READER = SC_RESULT_CODE(0xE00000000002138DULL);
constexpr SCRESULT SC_E_PKCS15_BAD_CONFIG = SC_RESULT_CODE(0xE00000000002138EULL);
constexpr SCRESULT SC_E_PKCS15_CARD_NOT_ACTIVATED = SC_RESULT_CODE(0xE00000000002138FULL);
constexpr SCRESULT SC_E_PKCS15_GENERAL_WARNING = SC_RESULT_CODE(0xA000000000021388ULL);

// PKCS#15 option word: defaults and the bits the configuration touches.
constexpr uint32_t PKCS15_FLAGS_BRIDGE_DEFAULT = 0x10000000;  // before any configuration
constexpr uint32_t PKCS15_FLAGS_CONFIG_DEFAULT = 0x8000200;   // the PKCS15Flags key's default
constexpr uint32_t PKCS15_FLAG_ANY_CARD_BLANK = 0x8;
constexpr uint32_t PKCS15_FLAG_LOG = 0x400;
constexpr uint32_t PKCS15_FLAG_PCSC_TRACE = 0x10000;
constexpr uint32_t PKCS15_FLAG_SIM_TRACE = 0x20000;
// Cleared while trace logging is off: every trace bit (0x400 to 0x20000) and 0x200.
constexpr uint32_t PKCS15_FLAGS_LOGGING_MASK = 0x3FE00;
// Activation of an IAS-ECC card without bringing it to the GlobalPlatform life cycle SECURED.
constexpr uint32_t PKCS15_FLAG_ACTIVATE_UNSECURED = 0x100000;
constexpr uint32_t PKCS15_FLAG_WORKER_THREADS = 0x08000000;
constexpr uint32_t PKCS15_FLAG_LOAD_FAILURES_FATAL = 0x40;
constexpr uint32_t PKCS15_FLAG_STATE_BITS = 0x10000000;

// Reader flags kept per reader.
constexpr uint32_t READER_FLAG_REINSERTED = 0x1;
constexpr uint32_t READER_FLAG_NOT_INITIALIZED = 0x10;
constexpr uint32_t READER_FLAG_UNUSABLE = 0x20;
constexpr uint32_t READER_FLAG_NOT_WRITABLE = 0x40;
constexpr uint32_t READER_FLAG_NOT_ACTIVATED = 0x80;

// Command word of a reader record, set by API threads and the worker.
enum : uint32_t {
  READER_CMD_IDLE = 0,
  READER_CMD_CHECK = 1,
  READER_CMD_EXIT = 2,
  READER_CMD_WAIT = 3,
  READER_CMD_FAILED = 4,
};

// One per reader while worker threads run. Command, state, acknowledged count,
// the waiting mark and last result are read and written only under the
// record's lock.
struct SCReaderRecord {
  pthread_t thread{};
  bool hasThread = false;
  uint32_t ackCount = 0xFFFFFFFFu;
  uint32_t state = 0xFFFFFFFFu;
  uint32_t command = READER_CMD_IDLE;
  // The worker is in its wait loop: every change of the card since its last
  // count is reported by the wait it is in or about to enter.
  bool waiting = false;
  Pkcs11Lock lock;
  char* readerName = nullptr;
  SCRESULT lastResult = SC_OK;
  ~SCReaderRecord() { delete[] readerName; }
};

// A PIN that a login of this process holds verified on a card: C_Login's, kept
// until C_Logout, or a context-specific login's, for the operation under way
// (forOperation). A local reference whose DF is not known holds nothing.
struct SCHeldPin {
  const SCCard* card = nullptr;
  SCPath df;
  uint16_t ref = 0;
  bool forOperation = false;
};

// The worker of one reader: owns a reader object of its own made from the
// record's name and carries out the record's command word.
void* ReaderWorkerThread(void* thParam);

// A card serial number as the bridge caches it; length all ones = unreadable.
struct SCSerialNumber {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
};

// ---- text-value helpers (card-initialisation profile and PIN generation) ----
// 1 generate, 2 none, 3 not initialised, 4 blocked, 0 a literal value.
// The SO PIN as a card of this module's making compares it: padded to the
// stored length of the card's PIN objects when the card pads its PINs.
std::vector<uint8_t> SoPinForCard(class SCCard* card, const char* pin, size_t len);
// Before a step the card refused is tried once more: the global SO PIN `soRef`
// is verified again (a reset by another application is taken up inside the
// write itself, see InitWriteGuard).
SCRESULT VerifySoPinAgain(class SCCard* card, uint8_t soRef, const char* pin, size_t len);
// The PINs that an initialisation of the token of `app` may delete or block,
// its own: those in the token's DF (or below it), and those in the master file
// at a reference that the card profile's template for the token index `layout`
// (SCPkcs15App::GetLayoutIndex) gives its user PIN or PUK, but the SO PIN the
// blank card came with (`cardSo`); never one that
// another application's PIN directory names (the same DF and reference). A
// global reference (below 0x80) counts as the master file's, where the card may
// take it from. The other applications' directories are read here, before the
// call writes anything; one that cannot be read is Failure(). A PIN that is not
// the token's own is left on the card, and logged once.
// A local reference (0x80 and above) that another application names in a DF
// above the PIN's DF is shadowed there: the card, which looks for a PIN from the
// current DF up, may answer for it from that application's PIN. Nothing is asked
// of it, blocked or has its value taken at the token's DF until it is known to
// stand there (Stands: this call made it there, or the card said it holds one).
class TokenPins {
 public:
  TokenPins(const SCPkcs15Lib* lib, SCPkcs15App* app, int layout, uint8_t cardSo);
  SCRESULT Failure() const { return m_failure; }
  int Layout() const { return m_layoutIndex; }
  uint8_t LayoutUserPin() const { return m_layout[0]; }
  bool IsOwn(const SCPath& df, uint8_t ref) const;
  bool IsShadowed(const SCPath& df, uint8_t ref) const;
  void Stands(const SCPath& df, uint8_t ref) const { m_standing.emplace_back(df, ref); }
  // The PINs this call made (in the DF, or the master file for a global reference).
  void Made(const SCPath& df, uint8_t ref) const { m_made.emplace_back(ref < 0x80 ? SCPath() : df, ref); }
  bool WasMade(const SCPath& df, uint8_t ref) const;
  void Erased() const;  // the token's DF went, and its PINs with it

 private:
  const SCPkcs15Lib* m_lib;
  SCPkcs15App* m_app;
  SCPath m_df;
  int m_layoutIndex;
  uint8_t m_layout[2] = {0xFF, 0xFF};
  uint8_t m_cardSo;
  std::vector<std::pair<SCPath, uint8_t>> m_named;  // by the other applications
  mutable std::vector<std::pair<SCPath, uint8_t>> m_kept;  // logged already
  mutable std::vector<std::pair<SCPath, uint8_t>> m_standing;  // known to stand in their DF
  mutable std::vector<std::pair<SCPath, uint8_t>> m_made;      // made by this call
  mutable std::vector<std::pair<SCPath, uint8_t>> m_shadowed;  // logged already
  SCRESULT m_failure = 0;
};
// The user PIN of `app` deleted (where it stands in its place) and made anew
// without value under the SO PIN `soRef` (`soPin` verified again where the card
// refuses the deletion): whoever made the one that stood, the SO sets the next
// one and it names no one else's unblocking PIN. Before a token's structure is
// written (`early`) a PIN in a DF not made yet is left to the DF's making. A PIN
// that is not the token's own (`pins`) is left as it is; one this call made
// already is not made again.
SCRESULT ClearUserPin(class SCPkcs15App* app, const TokenPins& pins, uint8_t soRef, const char* soPin, bool early);
// The PIN that unblocks the user PIN of `app` (its PUK): the one its PIN
// directory names, else the card profile's; none (reference 0xFF) when that is
// the SO PIN or the SO's PUK, which stay with the officer who initialises.
struct UserPukPlace {
  uint8_t ref = 0xFF;
  SCPath df;              // the DF that holds it
  bool own = true;        // the token's own (TokenPins), else it stays
  bool shadowed = false;  // the card may answer for it from another application's DF above
};
UserPukPlace FindUserPuk(class SCPkcs15App* app, const TokenPins& pins);
// Deletes the previous user's PUK, so that it never unblocks the next user
// PIN; a card that refuses twice (`again` verifies the SO PIN in between) fails
// the call, the PUK as it is. A PUK the card does not hold (said twice), or that
// is not the token's own, is left as it is. A shadowed one is deleted unasked
// (a deletion takes only the DF's own).
SCRESULT DropUserPuk(class SCCard* card, const UserPukPlace& puk, const std::function<SCRESULT()>& again);
// Whether ClearUserPin can make the user PIN of `app` anew under the SO PIN
// `soRef` where it stands (a global one in the master file; a local one in its
// DF where that DF stays, `dfStays`), judged before the call's first change:
// 1, 0 (refused, on the reader `reader`: the SO may not make PINs there, or the PIN
// the token keeps is not its own, TokenPins) or a failure. A directory that names no
// user PIN is judged by the one the layout gives the structure built anew.
SCRESULT UserPinMayGo(SCPkcs15Lib* lib, uint32_t reader, class SCPkcs15App* app, const TokenPins& pins, uint8_t soRef,
                      bool dfStays);
// Before an initialisation answers success: its token's DF and files, and EF.DIR,
// selected afresh, must be things no one but the token's owners (the SO PIN
// `soRef`, the user PIN the token names) can change, create in, delete or use;
// what the call made itself (EF.DIR where `dirMade`, the token's DF where `dfMade`)
// is theirs whatever its header leaves out. Where the call judged a header of them
// (`judged`, the call's rules) that it did not make or forget since, the fresh one
// must show the same kind, id, life-cycle state and rules. Where the call built the
// token (`dfMade` with `judged`), its directory files, read afresh, hold only the
// records the call wrote there. A failure, SC_E_ACCESS_DENIED (logged) where one is
// not the owners', SC_E_FILE_STATUS_UNKNOWN (logged) where a directory holds more.
SCRESULT FreshLook(const SCPkcs15Lib* lib, class SCPkcs15App* app, uint8_t soRef, bool dirMade, bool dfMade,
                   const SCCardRules* judged = nullptr);
// The DFs in the master file that carry the PKCS#15 name, found by name (only the
// card's "no such file" ends the search) and placed where a selection by path
// shows them with that name; one found deeper is left out. `rules` keeps their headers.
SCRESULT FindPkcs15Dfs(class SCCard* card, SCCardRules* rules, std::vector<SCPath>* found);
// A card that holds no token yet (EF.DIR names no application), as its first
// token is made: anyone may have created files in its master file. An EF.DIR that
// others than the SO PINs may update or delete is deleted, to be made anew under the
// SO's rules (with the first token its records are dropped: they name nothing). The
// PINs standing where the token makes its own were judged before the SO's value went
// (SCPkcs15Lib::WhosePins). The constructor only asks the card (EF.DIR's header).
class BlankCard {
 public:
  // `keptSo`: the SO PIN the call verified (0xFF: none); `madeSo`: the SO PIN the
  // token takes, where the call makes it (0xFF: none); `rules`: the call's
  // judgements, kept by every later step (null: its own).
  BlankCard(SCPkcs15Lib* lib, uint32_t reader, class SCCard* card, class SCPkcs15CardDir* dir, uint8_t keptSo,
            uint8_t madeSo, bool first, SCCardRules* rules = nullptr);
  BlankCard(const BlankCard&) = delete;
  BlankCard& operator=(const BlankCard&) = delete;
  SCRESULT Failure() const { return m_failure; }
  bool DirOpen() const { return m_dirOpen; }
  // Whether the call found no PIN at the global reference `ref`: a PIN it makes
  // there needs no asking first.
  bool Absent(uint8_t ref) const;
  // The first write of the call: an EF.DIR others than the SO may change (DirOpen)
  // is deleted, to be made anew. 1 where it went, 0 where nothing had to.
  SCRESULT Clear();

 private:
  SCRESULT MayDelete(const SCPath& path);
  SCPkcs15Lib* m_lib;
  uint32_t m_reader;
  class SCCard* m_card;
  class SCPkcs15CardDir* m_dir;
  uint8_t m_madeSo;  // the SO PIN the token takes, where the call makes it (0xFF: none)
  SCCardRules m_own;
  SCCardRules* m_rules;
  bool m_dirOpen = false;
  SCRESULT m_failure = 0;
};
// The record of a user PIN without value, for the SO (`soRef`, where one) to set;
// inDf: made in the current DF unasked.
inline SCPinParams WithoutValue(uint8_t soRef, bool inDf) {
  SCPinParams record;
  record.hasValue = 0;
  record.flags = SC_PINREC_NO_VALUE | (inDf ? SC_PINREC_IN_CURRENT_DF : 0);
  if (soRef != 0 && soRef < 0xFF) record.officerRef = soRef;
  return record;
}
// The card writes of an administrator's call (initialisation, erasure): a reset
// by another application met inside them is recovered where it happened
// (SCCard::BeginWrite) by verifying again the global SO PINs the call verified.
// Guards nest: the outermost one on the same reader keeps the SO PIN for all of them.
class InitWriteGuard {
 public:
  explicit InitWriteGuard(class SCCard* card);
  ~InitWriteGuard();
  InitWriteGuard(const InitWriteGuard&) = delete;
  InitWriteGuard& operator=(const InitWriteGuard&) = delete;
  // The SO PIN `ref` was verified with pin (as the caller gave it).
  static void SoVerified(class SCCard* card, uint8_t ref, const char* pin, size_t len);

 private:
  static SCRESULT Restore(void* guard);
  static InitWriteGuard* Outermost(InitWriteGuard* from, const class SCReader* reader);
  class SCReader* m_reader = nullptr;
  InitWriteGuard* m_outer = nullptr;
  std::vector<std::pair<uint8_t, std::vector<uint8_t>>> m_so;  // the SO PINs verified, with the value
};
int ParsePinValueKind(const char* text);
int ParseBoolText(const char* text, int defaultValue);
const char* DefaultIfEmpty(const char* text, const char* fallback);
const char* GetPinAlphabet(const char* text);
unsigned long ParseUnsignedDefault(const char* text, unsigned long defaultValue);
unsigned long ParseUnsignedUpper(const char* text, unsigned long minValue, unsigned long maxValue);
unsigned long ParseUnsignedLower(const char* text, unsigned long minValue, unsigned long maxValue);
bool IsIdentifierChar(int ch);
bool HasTwoDistinctChars(const char* text);
const char* FindSubstringNoCase(const char* text, size_t textLen, const char* pattern);
// 32 blank-padded bytes: trailing blanks dropped, inner NULs as '_', "MIRTAL" when empty.
void NormalizeTokenLabel(unsigned char dst[32], const char* label);
// Option word: bits 0xF00 choose secure messaging, 0x200 = off.
constexpr uint32_t PKCS15_OPTION_SM_MASK = 0xF00;
constexpr uint32_t PKCS15_OPTION_SM_OFF = 0x200;

constexpr uint32_t PKCS15_DEFAULT_TOKENS_PER_READER = 3;

// The qualified-signature part.
constexpr int QUALIFIED_OBJECT_NONE = 0;
constexpr int QUALIFIED_OBJECT_PRIVATE_KEY = 1;
constexpr int QUALIFIED_OBJECT_CERTIFICATE = 2;
constexpr CK_RV QUALIFIED_NOT_HANDLED = 8;
// Access word of the qualified certificate file: the system key (0x1, 0x2, 0x4) or the user
// PIN (0x10, 0x20, 0x40) in the file's update and write rules and the directory's create rule.
constexpr uint32_t QUALIFIED_ACCESS_SYSKEY_UPDATE = 0x1;
constexpr uint32_t QUALIFIED_ACCESS_SYSKEY_WRITE = 0x2;
constexpr uint32_t QUALIFIED_ACCESS_SYSKEY_CREATE = 0x4;
constexpr uint32_t QUALIFIED_ACCESS_USER_UPDATE = 0x10;
constexpr uint32_t QUALIFIED_ACCESS_USER_WRITE = 0x20;
constexpr uint32_t QUALIFIED_ACCESS_USER_CREATE = 0x40;
constexpr uint32_t QUALIFIED_ACCESS_NO_CERT_FILE = 0x2000;
constexpr uint32_t QUALIFIED_ACCESS_CERT_FILE_IN_INIT = 0x4000;
constexpr uint32_t QUALIFIED_ACCESS_DIR_IN_INIT = 0x8000;
// The first PIN reference (1 to 7) that guards the master file: its header names the PIN and
// both its delete and activate rules hold it (or are always allowed); 255 when none does.
uint8_t FindSoPinReference(const SCFileHeader* masterFileHeader);

// Score of a reader name against a pattern with '*' and '?': 2 per literal
// character, 1 per '?', 0 for a '*' run; -1 when the name does not match.
// Without wildcards the whole name must equal the pattern (2 x length).
int WildcardMatchScore(const char* name, const char* pattern, bool ignoreCase);

class SCPkcs15Lib {
 public:
  // Per-reader settings chosen by reader-name pattern (layout in sc_readeroptions.h).
  struct ReaderOptions {
    uint64_t options = 0;  // option word (low 32 bits) and APDU wait time (high 32 bits)
    uint64_t limits = 0;   // the four 16-bit send/receive limits
    char* pattern = nullptr;
    uint32_t flags = 0;    // SC_ROPT_FLAG_*
    ReaderOptions() = default;
    ~ReaderOptions();
    ReaderOptions(const ReaderOptions&) = delete;
    ReaderOptions& operator=(const ReaderOptions&) = delete;
  };

  SCPkcs15Lib();
  virtual ~SCPkcs15Lib();
  SCPkcs15Lib(const SCPkcs15Lib&) = delete;
  SCPkcs15Lib& operator=(const SCPkcs15Lib&) = delete;

  // ---- life cycle ----
  // Loads the enabled back-ends, lists the readers, makes one reader object per
  // allowed reader and, with flag 0x08000000, starts one worker per reader.
  // 0 when already initialised. A failure leaves nothing behind (workers joined).
  SCRESULT InitLib(const CK_C_INITIALIZE_ARGS* initArgs, uint32_t maxTokenCount);
  // Stops and joins the workers, frees every table, releases the readers and
  // unloads the back-ends; always 0.
  SCRESULT DeInitLib();
  // The module's end while a call of another thread is still inside: the
  // workers are stopped and joined, and every card that the end would reset
  // (ResetsWhenLeaving) is reset through its connection; nothing is freed or
  // changed that the call may still use.
  void LeaveWithCallsInside();
  // Whether the end of the readers (the module's end, with or without
  // C_Finalize) disconnects from the card in a reader with a reset: a login of
  // this process holds a PIN there, and no other program may use it, or the
  // reader owes the card a reset it could not make.
  bool ResetsWhenLeaving(uint32_t reader) const;
  // Whether a login of this process keeps a PIN on the card in the reader.
  bool LoginKeepsPins(uint32_t reader) const;
  bool IsInitialized() const { return m_initialized != 0; }
  uint32_t GetSlotCount(bool tokenPresent) const;
  // Null list: count only; a short list: count set, SC_E_INSUFFICIENT_BUFFER.
  SCRESULT GetSlotList(uint32_t* list, uint32_t* count, bool tokenPresent) const;
  uint32_t GetReaderCount() const { return m_readerCount; }
  uint32_t GetTotalSlotCount() const { return m_slotCount; }

  // ---- card state ----
  // 0 card connected and unchanged, 1 newly connected, 2 changed, or a failure.
  // A second check of a reader within one call (the call lock held throughout)
  // that found the card connected, with nothing done to the card since, finds
  // it unchanged without asking the reader.
  SCRESULT CheckCardStateAndReconnectIfNeeded(uint32_t reader);
  // The lock that every API call holds for its whole length (the application's
  // global lock); null: no call boundaries known, every check asks.
  void SetCallLock(const Pkcs11Lock* lock) { m_callLock = lock; }
  // Brings the bridge's view of the slot's card up to date and stores the
  // outcome as the slot result.
  SCRESULT RefreshTokenInfo(CK_SLOT_ID slot, int readProfile, int force);
  // RefreshTokenInfo(slot, 1, 0) for every slot; only SC_E_NO_MEMORY stops it.
  SCRESULT ReadTokenList();
  // Whether the slot's application came from a newly read card since the last acknowledgement.
  bool IsSlotChanged(CK_SLOT_ID slot) const;
  void AcknowledgeSlotChange(CK_SLOT_ID slot);
  // ---- card identity ----
  // Caches the master file's header (all ones when none came back, which the next call reads again);
  // 0 when cached and not reread.
  SCRESULT ReadCardId(uint32_t reader, bool reread);
  // 0 when the master file is named "MIRTAL" / "MIRTAL MASTER", else SC_E_CARD_UNSUPPORTED.
  static SCRESULT IsBlankCardId(const SCFileHeader* header);
  static SCRESULT IsMasterCardId(const SCFileHeader* header);
  SCRESULT IsMasterCard(uint32_t reader);
  // 4 for model 3, the master-file header's code for model 1, else (and unknown) 255.
  uint32_t GetCardModelCode(CK_SLOT_ID slot, bool force);
  // Null buf: the length; a short buffer: SC_E_INSUFFICIENT_BUFFER; else the bytes and their length.
  SCRESULT GetCardSerialNumber(uint32_t reader, uint8_t* buf, uint32_t len);
  // True for a refresh result that says only how the card's PKCS#15 structure
  // reads (none, not activated, unsupported): the card itself is there to use.
  static bool IsCardStructureResult(SCRESULT rv) {
    return rv >= 0 || rv == SC_E_CARD_UNSUPPORTED || rv == SC_E_PKCS15_CARD_NOT_INITIALIZED ||
           rv == SC_E_PKCS15_CARD_NOT_ACTIVATED || rv == SC_E_PKCS15_NO_PROFILES ||
           rv == SC_E_PKCS15_UNSUPPORTED_PROFILE;
  }
  // *result: the slot's application follows one of the maker's profiles, or its
  // TokenInfo names the maker. SC_E_PKCS15_UNSUPPORTED_PROFILE without an application.
  SCRESULT IsVeldorToken(CK_SLOT_ID slot, bool* result, bool refresh);

  // ---- the card's GlobalPlatform channel keys and its activation ----
  // Sets the channel up with the system key text of 16 octets (one key for all
  // three) or 48 (ENC || MAC || DEK); with refresh the slot is brought up to date
  // first. SC_E_UNSUPPORTED_FEATURE outside the GlobalPlatform family,
  // SC_E_PIN_TOO_SHORT for another length; else the set-up's result. On an
  // activated IAS-ECC card the channel is paused at once; on every IAS-ECC card
  // the secure-messaging option is switched on.
  SCRESULT SetCardAuthKeys(CK_SLOT_ID slot, const uint8_t* keys, size_t len, bool refresh);
  // The keys of the card's GlobalPlatform channel in the order SetCardAuthKeys
  // takes them: their length (3 x the key length, or 1 x for a single key);
  // copied only when bufLen suffices and buf is given. 0 when the keys can be
  // had otherwise; SC_E_PKCS15_NOT_LOGGED_IN without a channel or keys;
  // SC_E_PKCS15_TEMPLATE_INCONSISTENT for keys of unequal length.
  SCRESULT GetCardKeySet(CK_SLOT_ID slot, uint8_t* buf, size_t bufLen);
  // 0 when the channel's key set is one key or three of one length (the agent
  // is authenticated), with GetCardKeySet's failures otherwise.
  SCRESULT CheckCardKeySet(CK_SLOT_ID slot);
  // At the end of an exported call: every card forgets the PINs the call's
  // commands left verified (SCCard::TakeLeftVerified), but those held: a PIN a
  // login holds stays verified, one a context-specific login holds stays noted
  // until its operation ends. VERIFY P1=FF from the DF each was verified in.
  // Where the card refuses, or a command left verified a PIN the module cannot
  // name, the card is reset under the same hold, unannounced, and this process's
  // logins on it are verified again (announced instead, as by another
  // application, where one cannot be: its sessions end). Then every reader lets
  // its card go (SCReader::ReleaseCallHold). Answers the slots of the cards reset.
  std::vector<CK_SLOT_ID> ForgetWhatTheCallVerified(const std::vector<SCHeldPin>& held);
  // The reset of ForgetWhatTheCallVerified, and of a reset the card is owed; its
  // failure where the card could not be reset (the reader then owes it the reset).
  SCRESULT ResetKeepingLogins(uint32_t reader);
  // The slots whose login ended in this call: its kept value refused or not presented,
  // its PIN's value left unknown by a lost answer, or a login of another slot on the
  // same PIN ended. Each ends on every slot whose login keeps that PIN.
  std::vector<CK_SLOT_ID> EndedLogins();
  // Ends the agent's channel: the IAS-ECC option off, the context dropped, and
  // the reader's tokens read again without it (marked as a change of card).
  SCRESULT ResetCardSm(CK_SLOT_ID slot);
  // Activates the reader's card; an IAS-ECC card with secure set is also brought
  // to the GlobalPlatform life cycle SECURED over the agent's channel, which is
  // dropped afterwards. The reader's tokens are read again whatever the outcome.
  SCRESULT ActivateCard(uint32_t reader, bool secure);
  // Derivation data and type of the system key: no card offers them
  // (SC_E_UNIMPLEMENTED_FEATURE).
  SCRESULT GetTokenData(CK_SLOT_ID slot, CK_ATTRIBUTE_TYPE type, uint8_t* buf, size_t* len);

  // ---- tokens of a card (CK_RV results; a PIN length below 0: up to the NUL) ----
  // The SO PIN reference a blank card of `card`'s model comes with (0xFF: none);
  // `first` is the reader's first slot.
  uint8_t BlankCardSoRef(class SCCard* card, CK_SLOT_ID first);
  // What an initialisation of `slot` may take the card's structure for, judged by
  // who may do what on the card (SCCardRules) with the SO PIN the road verifies
  // (`soPin`, verified here first) as the SO's: as it reads (kAsRead), or a card
  // whose tokens are all unfinished, with no SO PIN standing where they
  // keep it (a first call of this module cut short), taken as one that holds no
  // token (kAsBlank). EF.DIR, a DF EF.DIR names or a DF of the PKCS#15
  // name in the master file that anyone may change, a hidden EF.DIR on a card
  // that shows no token, a PIN standing where the call's tokens put theirs that is
  // not the module's to delete (WhosePins), InitializeCard's erasure that cannot
  // finish (ErasureMayGo) and C_InitToken of the slot's token that cannot
  // (TokenMayGo) refuse the call before the SO's value goes to the card.
  enum class InitGround { kAsRead, kAsBlank };
  // `rules`: the call's judgements, which its later steps keep (null: judged here only).
  // `profile`: InitializeCard's (null: C_InitToken). *leftovers: the PINs of this
  // module's the call deletes before anything else (WhosePins).
  SCRESULT GroundFor(CK_SLOT_ID slot, const char* soPin, size_t soLen, InitGround* ground,
                     SCCardRules* rules = nullptr, const InitProfile* profile = nullptr,
                     std::vector<uint8_t>* leftovers = nullptr);
  // Whose the PINs are that stand in the master file where the call's new tokens put
  // theirs (`makes`), for both initialisations and every model, judged from what the
  // card shows before the SO's value goes to it. A PIN goes only where (a) a token the
  // call erases names it (`erasing`: InitializeCard erases them all; of a token a cut
  // call left unfinished, its layout's references count as named), which the erasure
  // takes, or (b) no token names it, EF.DIR names a token of this module and nothing
  // else shows on the card (OtherApplications finds none): what an earlier erasure or
  // a cut call of this module left, in *leftovers, deleted before anything else. Any
  // other PIN there refuses the call (Refuse), naming it and the other applications
  // found; on a ClassIC card that holds no token of this module, so does a PIN at any
  // layout's user PIN or PUK reference that no other application names. 0 or why not.
  SCRESULT WhosePins(uint32_t reader, SCCardRules* rules, const std::vector<SCPath>& found,
                     const std::vector<uint8_t>& makes, bool erasing, std::vector<uint8_t>* leftovers);
  // The master-file references where the call's new tokens make PINs: InitializeCard's
  // profile (ProfileTokenPins), or the token C_InitToken adds on the road `ground` (its
  // SO PIN where the call makes it, its user PIN); none for the slot's own token.
  std::vector<uint8_t> MadePins(CK_SLOT_ID slot, class SCCard* card, InitGround ground, const InitProfile* profile);
  // The applications the reader's card shows besides this module's tokens, as
  // "AID at path, ...": those EF.DIR names whose DF stands carrying their name, and
  // the DFs of the PKCS#15 name found in the master file (`found`) that are no token's.
  SCRESULT OtherApplications(uint32_t reader, SCCardRules* rules, const std::vector<SCPath>& found, std::string* shown);
  // InitializeCard's erasure, judged before the SO's value goes: every token's DF is
  // one the card's SO PIN may delete and holds no other application's DF (DfMayGo).
  SCRESULT ErasureMayGo(uint32_t reader, SCPkcs15Card* p15, class SCCard* card);
  // What an initialisation of `slot` writes, judged before it makes a PIN or sends
  // the SO's value: EF.DIR (made anew where others may change it, else updated, or
  // made; emptied and deleted by an erasure), the PINs and the tokens' DF it makes in
  // the master file, each under the PINs the call holds at that step (the SO PIN it
  // verifies first, the one it makes); of a token left unfinished, its DF made anew
  // where it stood (a whole token's goes in place where it could not be: SoMayRemake).
  // A rule that names another PIN, a key or "never" refuses the call
  // (Refuse), naming it. `erasing`: InitializeCard erases the card's tokens first. 0 or why not.
  SCRESULT WritesMayGo(uint32_t reader, CK_SLOT_ID slot, SCCardRules* rules, const SCPath& dir, InitGround ground,
                       bool erasing);
  // Whether the token's SO PIN `soRef` may delete the token's DF `df` and make it again
  // where it stood (rules the card does not show leave it to the card; the parent's
  // header asked of `parent`, the call's rules, where given): 1, or 0 where the token is
  // initialised again in place (its objects deleted), or a failure.
  static SCRESULT SoMayRemake(SCCardRules* rules, const SCPath& df, uint8_t soRef, SCCardRules* parent = nullptr);
  // Whether the DF of `app` may go with what it holds: not where another
  // application's DF that EF.DIR names stands in it (refused). 1 yes, or why not.
  SCRESULT DfMayGo(uint32_t reader, SCPkcs15Card* p15, SCPkcs15App* app);
  // C_InitToken of the slot's token, judged before the SO's value goes: what a token
  // whose DF stays keeps (a qualified part, or a DF whose header keeps it from the SO
  // or that the SO could not make again: SoMayRemake)
  // must be its owners' alone; a DF that goes must hold no other application's
  // (DfMayGo); and the user PIN must be one the SO can make anew where it stands
  // (UserPinMayGo). 1, 2 where the token is not built anew (its DF stays as it is),
  // or why not (refused).
  SCRESULT TokenMayGo(CK_SLOT_ID slot, SCPkcs15App* app, SCCardRules* judged = nullptr);
  // The SO PIN TrustSoPin verifies on the road `ground` (*failure: the token names
  // one where the card's model keeps none); nothing is asked of the card.
  uint8_t SoPinToVerify(CK_SLOT_ID slot, class SCCard* card, InitGround ground, SCRESULT* failure);
  // The SO PIN an initialisation of `slot` on the road `ground` verifies before it
  // changes anything, taken as the SO's by `rules`: the one the slot's token names
  // (where the model keeps an SO PIN there), the one the model's tokens take for an
  // unfinished token or one beside others, the blank card's own on a card that
  // shows no token (on model 4, which comes with none, the card's SO PIN where one
  // stands). One VERIFY without data, then the value once. Its reference, or 0xFF
  // where none stands and the road goes on without (*failure: a refused value, a
  // blocked PIN, none where one must stand, or no value given where one stands).
  uint8_t TrustSoPin(CK_SLOT_ID slot, class SCCard* card, const char* soPin, size_t len, SCCardRules* rules,
                     InitGround ground, SCRESULT* failure);
  // The SO PIN of the slot's unfinished token (a first call of this module cut
  // short), as RepairToken finds it: the references its directory or their kept
  // copy still give, where that is one of the model's SO PINs, else the tokens'.
  uint8_t UnfinishedSoRef(CK_SLOT_ID slot, class SCCard* card);
  // A second SO PIN `ref` the call needs (the blank card's own guarding EF.DIR, the
  // SO PIN a first call cut short left), sent the value only after the first took
  // it and only while a VERIFY without data shows more than one try left; taken as
  // the SO's by `rules`. 0, or why not (logged).
  SCRESULT SecondSoPin(class SCCard* card, uint8_t ref, const char* soPin, size_t len, SCCardRules* rules) const;
  // The SO PIN that updates EF.DIR where the SO PIN `soRef` (the tokens') does not
  // and the blank card's own does (an issuer's EF.DIR): that one, else `soRef`.
  uint8_t DirSoPin(CK_SLOT_ID slot, class SCCard* card, SCPkcs15Card* p15, uint8_t soRef);
  // The reader's applications forgotten in memory (the slots bound to none): the
  // unfinished tokens of a card taken as blank; an application whose DF stands, and
  // another kind's records, stay.
  void ForgetApplications(uint32_t reader);
  // The reader's card holds a PKCS#15 structure (read, or written by this process):
  // a reading it refuses from now on is read again, never taken for a blank card.
  void MarkReadAsPkcs15(uint32_t reader) {
    if (m_readAsPkcs15.size() < m_readerCount) m_readAsPkcs15.resize(m_readerCount, 0);
    if (reader < m_readAsPkcs15.size()) m_readAsPkcs15[reader] = 1;
  }
  // Whether a token of the reader's card names the SO PUK of the card's profile.
  bool NamesCardSoPuk(uint32_t reader);
  // The PINs the card's tokens name (GetNamedPins), and for a token of this module
  // an interrupted call left without its directories the layout's master-file
  // references, which only that call could have made there.
  SCRESULT NamedOrLeftPins(SCPkcs15Card* p15, std::vector<std::pair<SCPath, uint8_t>>* named);
  // The master-file PINs the tokens of a ClassIC card's initialisation profile make:
  // each token's user PIN, and its user PUK where the profile gives it one (of
  // token `only` alone where given).
  static std::vector<uint8_t> ProfileTokenPins(const InitProfile* profile, int only = -1);
  // A new application under a unique label, its SO PIN set (when not set yet)
  // and verified; a failure removes only the application made here.
  // `asBlank`: a card GroundFor took as blank (kAsBlank): its unfinished tokens are forgotten.
  // `leftovers`: PINs of this module's GroundFor found (WhosePins), deleted once the SO PIN is verified.
  CK_RV AddToken(uint32_t reader, const char* label, const char* soPin, long soPinLen, bool asBlank = false,
                 SCCardRules* rules = nullptr, const std::vector<uint8_t>* leftovers = nullptr);
  // EF.DIR without the record of a token a failed initialisation takes back: deleted
  // where the call made it (`made`) and it names nothing now, else written.
  static SCRESULT DirWithout(SCPkcs15Card* p15, bool made);
  // A master-file PIN a failed initialisation made, the PIN that may delete it and that
  // PIN's value (`own`: its delete rule is itself, so it is verified with it first).
  struct MadePin {
    uint8_t ref, deleter;
    const char* value;
    size_t len;
    bool own;
  };
  // What a failed initialisation took back: whether every step went, the PINs it made
  // that the card shows standing (any answer but "not found"), and whether the card
  // stopped answering (then none is named: what the call made may stand).
  struct TakeBack {
    bool whole = true, stopped = false;
    std::vector<uint8_t> kept;
    // A step's result: the steps after a failed one are not taken.
    void Step(SCRESULT r);
  };
  // Takes back `made` in order while every step before went (what they guard went
  // too); those not taken back that the card shows go to `back->kept`. Whether all went.
  bool TakeBackPins(class SCCard* card, const std::vector<MadePin>& made, TakeBack* back) const;
  // Deletes the master-file PIN `ref` (the SO PIN `soRef` verified again where the card
  // refuses once): 0 only where the card then shows it gone, or why not.
  SCRESULT DeleteMasterFilePin(class SCCard* card, uint8_t ref, uint8_t soRef, const char* pin, size_t len) const;
  // The trace line of a leftover PIN (WhosePins) the call deleted, or the card kept.
  void LogLeftover(const class SCCard* card, uint8_t ref, SCRESULT deleted) const;
  // Removes the application at appIndex, or (below 0) every application of the
  // card; a given SO PIN is verified first and a wrong one stops the removal.
  // On a ClassIC card the `leftovers` (GroundFor) go before any token, and every
  // master-file PIN the erased tokens name at a layout's user references (user PIN,
  // user PUK; of a token an interrupted call left, its layout's: NamedOrLeftPins)
  // goes after the tokens' DFs. The card's SO PIN and SO PUK stay.
  // `rules`: the call's judgements, told of every DF and EF.DIR that goes.
  CK_RV DeleteToken(uint32_t reader, int appIndex, const char* soPin, long soPinLen, SCCardRules* rules = nullptr,
                    const std::vector<uint8_t>* leftovers = nullptr);
  // The label, followed by " 2", " 3", ... until no other application of the card has it.
  static std::string MakeUniqueAppLabel(SCPkcs15Card* card, const char* label, const SCPkcs15App* except);

  // ---- card initialisation from a profile and the PIN output file ----
  // Adds the token of the profile's token section `token` to the reader's card.
  // `rules`: the call's judgements, kept by every step and by the fresh look (null: the token's own).
  CK_RV InitTokenFromProfile(uint32_t reader, int token, InitProfile* profile, const char* soPin, long soPinLen,
                             SCCardRules* rules = nullptr);
  // Empties the slot's token under its SO PIN and gives it a new label.
  // `judged`: the headers the call judged before (null: none), which its fresh look compares.
  CK_RV ReinitToken(CK_SLOT_ID slot, const char* label, const char* soPin, long soPinLen,
                    SCCardRules* judged = nullptr);
  // A token whose directory an interrupted initialisation left incomplete (its
  // DF, TokenInfo or PIN directory missing) is built anew under the SO PIN of
  // the card's profile; CKR_TOKEN_NOT_RECOGNIZED for any other token.
  // `judged`: as ReinitToken's.
  CK_RV RepairToken(CK_SLOT_ID slot, const char* label, const char* soPin, long soPinLen, SCCardRules* judged = nullptr);
  // Whether `loaded`, the result of loading the application, shows a token that
  // an interrupted initialisation of this module left incomplete: the card's
  // directory names it with this module's profile, and its DF, ODF or TokenInfo
  // is missing or not yet written, or it holds no SO PIN object.
  static bool IsLeftIncomplete(SCPkcs15App* app, SCRESULT loaded);
  // The card's SO PIN line and one token's line of the PIN output file (path
  // null: the profile's expanded OutputPinFile; none: nothing written).
  CK_RV WriteGlobalSoPinLine(uint32_t reader, InitProfile* profile, const char* path);
  CK_RV WriteTokenPinLine(uint32_t reader, int token, InitProfile* profile, const char* path);

  // ---- slot and reader state ----
  SCRESULT GetSlotReaderIndex(CK_SLOT_ID slot) const;
  bool IsFirstSlotOfReader(CK_SLOT_ID slot) const;
  SCReader* GetSlotReader(CK_SLOT_ID slot) const;
  SCReader* GetReader(uint32_t reader) const { return reader < m_readerCount && m_readers ? m_readers[reader] : nullptr; }
  SCPkcs15Card* GetSlotPkcs15Card(CK_SLOT_ID slot) const;
  SCPkcs15Card* GetReaderPkcs15Card(uint32_t reader) const;
  SCPkcs15App* GetSlotApp(CK_SLOT_ID slot) const;
  SCRESULT GetSlotResult(CK_SLOT_ID slot) const;
  // The decoded TokenInfo of the slot's application (read when needed); 0 with
  // null when the slot has none, SC_E_PKCS15_INVALID_HANDLE out of range.
  SCRESULT GetSlotTokenInfo(CK_SLOT_ID slot, ASNPkcs15TokenInfo** tokenInfo) const;
  // True when an application of the card other than `except` has exactly this label.
  static bool FindAppByLabel(SCPkcs15Card* card, const char* label, const SCPkcs15App* except);
  // The slot result as a presence answer (CKR_OK, CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED).
  CK_RV GetSlotPresence(CK_SLOT_ID slot) const;
  SCFileHeader* GetSlotCardId(CK_SLOT_ID slot) const;
  SCRESULT GetReaderCardAndKind(uint32_t reader, uint32_t* kind, SCCard** card) const;
  void SetReaderResults(uint32_t reader, SCRESULT code);
  void SetSlotResult(CK_SLOT_ID slot, SCRESULT code);
  uint32_t GetReaderFlags(uint32_t reader) const;
  void SetReaderFlag(uint32_t reader, uint32_t flag);
  void ClearReaderFlag(uint32_t reader, uint32_t flag);
  bool IsReaderReinserted(uint32_t reader) const { return (GetReaderFlags(reader) & READER_FLAG_REINSERTED) != 0; }
  bool IsCardNotInitialized(uint32_t reader) const { return (GetReaderFlags(reader) & READER_FLAG_NOT_INITIALIZED) != 0; }
  bool IsCardUnusable(uint32_t reader) const { return (GetReaderFlags(reader) & READER_FLAG_UNUSABLE) != 0; }
  bool IsCardNotWritable(uint32_t reader) const { return (GetReaderFlags(reader) & READER_FLAG_NOT_WRITABLE) != 0; }
  bool IsCardNotActivated(uint32_t reader) const { return (GetReaderFlags(reader) & READER_FLAG_NOT_ACTIVATED) != 0; }
  // A reader index or -1 (all); release frees the whole table as well.
  void ClearSlotApps(int reader, bool release);
  void ClearPkcs15Cards(int reader, bool release);
  void ClearCardIds(int reader, bool release);
  void ClearSerialNumbers(int reader, bool release);
  void ClearReaderFlags(int reader, bool release);
  // Slot results and messages of one reader (-1: all).
  void ClearSlotResults(int reader, bool release);
  void ClearSlotMessages(int reader, bool release);
  // True when a check of the reader is answered from its worker's watch, without
  // asking the reader service: the worker waits on the reader, every event it
  // counted was handled, and the reader's last poll stands. For tests and diagnostics.
  bool IsReaderWatched(uint32_t reader) const;
  // The worker's record of a reader (null without workers); for tests and diagnostics.
  bool GetReaderRecordState(uint32_t reader, uint32_t* command, uint32_t* state, uint32_t* ackCount,
                            SCRESULT* lastResult, bool* hasThread);

  // ---- texts ----
  // The text of a bridge code, else of the card result table. Returns buf.
  static const char* GetErrorText(SCRESULT code, char* buf, size_t len);
  static const char* GetErrorName(SCRESULT code, char* buf, size_t len);
  // The stored message, else (useCode) the text of a non-zero slot result; null when neither.
  const char* GetSlotMessage(CK_SLOT_ID slot, bool useCode, char* buf, size_t len) const;
  const char* GetReaderMessage(uint32_t reader, bool useCode, char* buf, size_t len) const;
  bool SetSlotMessageForPin(CK_SLOT_ID slot, const char* prefix, const char* message, const char* tokenLabel);
  bool SetSlotMessageForToken(CK_SLOT_ID slot, const char* prefix, const char* message, int tokenIndex,
                              const char* tokenLabel);
  // Adds a text to the slot's message (append false: replaces it); a newline goes
  // between the old text and the new one unless the old one ends with one.
  bool AppendSlotMessage(CK_SLOT_ID slot, const char* text, bool append = true);
  // The same for every slot of the reader.
  bool AppendReaderMessage(uint32_t reader, const char* text, bool append = true);
  static void HexText(char* out, size_t outLen, const uint8_t* bytes, size_t len, const char* separator);
  // The OID's numbers joined by "." (arcs of any size). False, with *out empty,
  // when the value is empty, unterminated or not minimally encoded.
  static bool OidText(std::string* out, const ASNobjectId& oid);
  static bool OidText(std::string* out, const uint8_t* contents, size_t len);
  // *dst = (src & mask) | (*dst & ~mask).
  static void MergeFlags(uint32_t* dst, uint32_t src, uint32_t mask) {
    if (dst != nullptr) *dst = (src & mask) | (*dst & ~mask);
  }
  // The bridge's log line (flag 0x400): "PKCS#15: " + text + " (" + error text + ")".
  void Log(SCRESULT code, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // An initialisation refused before it changed anything, for `what` it found on the card:
  // the reason goes to the trace whenever the trace is written (without flag 0x400) and
  // becomes the message of the reader's slots, which GetLastErrorString gives after
  // C_InitToken and InitializeCard. SC_E_ACCESS_DENIED.
  SCRESULT Refuse(uint32_t reader, const class SCCard* card, const std::string& what);
  // An initialisation that failed (`why`) and took back what it made (`back`): where the
  // card carried out no change of it (`wrote`), and none that reached it (`sent`) is left
  // in doubt by a card that stopped answering, the card's text alone is the reader's message; else it
  // is told in the trace and the reader's message as Refuse tells, "after the call wrote
  // to the card" where the card carried out a change (`wrote`), with the PINs it made
  // that stand, or that the card stopped answering. A card that refused the step
  // answers as a refusal does (Refused); any other failure keeps its answer. Returns `why`.
  SCRESULT TellTakenBack(uint32_t reader, const class SCCard* card, SCRESULT why, bool sent, bool wrote,
                         const TakeBack& back);
  // A profile's token `failed` not made after the tokens before it were: the trace and the
  // reader's message name those, made and kept (`lined`: the PIN file holds their lines),
  // and the one not made; never a PIN value.
  void TellTokensKept(uint32_t reader, const InitProfile* profile, int failed, bool lined);
  // Whether the reader's initialisation running now was refused (Refuse); forgotten as each one begins.
  bool Refused(uint32_t reader) const { return m_refusedReader == reader; }
  void ForgetRefusal() { m_refusedReader = ~0u; }
  // Why the slot answers no token it recognises (C_GetTokenInfo's CKR_TOKEN_NOT_RECOGNIZED,
  // where a client stops before C_InitToken), written to the trace as Refuse writes: the
  // application the slot found (`app`, null: none) and the slot's result.
  void TellUnrecognised(CK_SLOT_ID slot, SCPkcs15App* app) const;

  // ---- option words ----
  void SetPkcs15Flags(uint32_t word);
  // The card layer's log mask from bits 0x800-0x8000 of the option word.
  static uint32_t CardLogMaskFromFlags(uint32_t word);
  uint32_t GetPkcs15Flags() const { return m_pkcs15Flags; }
  void SetAnyCardBlankFlag(bool on);
  void SetOptionBit1(bool on);
  // option word = (word & ~mask) | (value & mask); mask 0 means every bit.
  void SetOptionBits(uint32_t value, uint32_t mask);
  uint32_t GetOptionBits(uint32_t mask) const;
  // Only bits 0xFF00 of the mask count (0xFF00 when they are 0).
  uint32_t GetOptionBitsHigh(uint32_t mask) const;

  uint32_t GetTokensPerReader() const { return m_tokensPerReader; }
  // Taken only in 1..20 (the bridge's own range); false otherwise.
  bool SetTokensPerReader(uint32_t count);

  // ---- texts: null clears; false when the copy cannot be made ----
  static int SetStringOption(char** variable, const char* value);
  bool SetPcscLibrary(const char* path) { return SetStringOption(&m_pcscLibrary, path) != 0; }
  bool SetDravokLibrary(const char* pathAndPrefix) { return SetStringOption(&m_dravokLibrary, pathAndPrefix) != 0; }
  bool SetEnabledReaderSubsystems(const char* list) {
    return SetStringOption(&m_enabledReaderSubsystems, list) != 0;
  }
  bool SetInitProfile(const char* name) { return SetStringOption(&m_initProfile, name) != 0; }
  const char* GetPcscLibrary() const { return m_pcscLibrary; }
  const char* GetDravokLibrary() const { return m_dravokLibrary; }
  const char* GetEnabledReaderSubsystems() const { return m_enabledReaderSubsystems; }
  const char* GetInitProfile() const { return m_initProfile; }

  // ---- reader options and allowed readers ----
  // A new record for the pattern, appended; null when memory runs out.
  ReaderOptions* AddReaderOptions(const char* pattern);
  ReaderOptions* FindReaderOptions(const char* pattern) const;
  int RemoveReaderOptions(const char* pattern);
  void ClearReaderOptions();
  // Best-scoring record (its own ignore-case bit), ties to the earlier; null when none matches.
  ReaderOptions* MatchReaderOptions(const char* readerName) const;
  int GetReaderOptionsCount() const { return m_readerOptions.GetCount(); }

  bool AddAllowedReader(const char* pattern);
  void ClearAllowedReaders();
  int GetAllowedReaderCount() const { return m_allowedReaders.GetCount(); }
  const char* GetAllowedReaderAt(int index) const;
  // 1: explicitly allowed (a pattern scores above 0); 0: allowed; SC_E_PKCS15_IGNORE_READER:
  // not on a non-empty list, or disabled by its options record without being named.
  SCRESULT CheckAllowedReaderName(const char* readerName, const ReaderOptions** options) const;
  // The allowed-reader check on a reader object: the best options record's words
  // are copied into the reader, which is then initialised; Init's result, or
  // SC_E_PKCS15_IGNORE_READER.
  SCRESULT CheckAllowedReader(SCReader* reader) const;

  // ---- card initialisation: random PINs and the profile ----
  // `chars` characters of the alphabet word, octets from the reader's card when
  // it can give them, else from the software generator; *length in: buffer
  // bytes, out: bytes written (bytes needed with CKR_BUFFER_TOO_SMALL).
  CK_RV GenerateRandomText(uint32_t reader, uint8_t* out, CK_ULONG* length, CK_ULONG chars, const char* alphabet);
  // The profile's validation pass for the reader's card; a problem's message
  // line goes to every slot of the reader.
  CK_RV ValidateInitProfile(uint32_t reader, const class InitProfile* profile, bool checkOutputFiles,
                            bool callerSoPin = false);

  // ---- card-initialisation profile values ----
  // A section name null or "" is the global section; `index` picks the index-th
  // direct subsection of the section (of the global section: token `index`).
  // Names are compared without regard to case; an absent section or key, or a
  // value that does not read as the type asked for, gives the default.
  static bool GetProfileBool(const CfgSectionList* profile, const char* section, const char* key, bool def);
  static unsigned long GetProfileNumber(const CfgSectionList* profile, const char* section, const char* key,
                                        unsigned long def);
  static const char* GetProfileText(const CfgSectionList* profile, const char* section, const char* key,
                                    const char* def);
  static bool GetProfileSubsectionBool(const CfgSectionList* profile, const char* section, int index,
                                       const char* key, bool def);
  static unsigned long GetProfileSubsectionNumber(const CfgSectionList* profile, const char* section, int index,
                                                  const char* key, unsigned long def);
  static const char* GetProfileSubsectionText(const CfgSectionList* profile, const char* section, int index,
                                              const char* key, const char* def);
  // Create the section and the key when missing; the value is marked changed
  // only when it differs. False when memory runs out.
  static bool SetProfileNumber(CfgSectionList* profile, const char* section, const char* key, unsigned long value);
  static bool SetProfileBool(CfgSectionList* profile, const char* section, const char* key, bool value);
  static bool SetProfileText(CfgSectionList* profile, const char* section, const char* key, const char* value);
  // TokenLabel of the token's section, else of the global section, else the
  // section's name; an empty or "<default>" result gives the global
  // __ADD_DefaultTokenLabel, else "MIRTAL".
  static std::string GetProfileTokenLabel(const CfgSectionList* profile, int tokenIndex);
  // True when a token section before the token's own has exactly this label.
  static bool IsProfileLabelTaken(const char* label, const CfgSectionList* profile, int tokenIndex);

  // ---- comparisons of card initialisation ----
  // Same authId; with `withReferences` also the same authReference (absent = 0)
  // and, when either has one, the same seIdentifier.
  static bool IsSameAuthObject(const ASNPkcs15CommonAuthObjectAttributes& a,
                               const ASNPkcs15CommonAuthObjectAttributes& b, bool withReferences);
  // By application name: absent or "?" is unspecified; two unspecified are the
  // same, one unspecified and one specified are not; two specified compare by
  // application OID.
  static bool IsSameApplication(const ASNPkcs15CommonDataObjectAttributes& a,
                                const ASNPkcs15CommonDataObjectAttributes& b);

  // ---- the qualified-signature part ----
  // True for a PIN object of the application that guards the qualified part:
  // a local user PIN of 3F00/DF01, or (not on model 1) a user PIN whose label
  // says it is qualified.
  bool IsQualifiedPin(SCPkcs15App* app, const void* pin) const;
  // The application's qualified PIN; SC_E_PKCS15_PIN_NOT_FOUND when it has none.
  SCRESULT FindQualifiedPin(SCPkcs15App* app, ASNPkcs15AuthObject** pin) const;
  bool IsQualifiedPrivateKey(SCPkcs15App* app, void* object) const;
  bool IsQualifiedCertificate(SCPkcs15App* app, void* object) const;
  // QUALIFIED_OBJECT_NONE, _PRIVATE_KEY or _CERTIFICATE.
  int GetQualifiedObjectKind(SCPkcs15App* app, void* object) const;
  // CKF_MIRTAL_QUAL_* of the card's qualified part (0 on cards without one); with
  // reportAbsent a card whose application names no qualified PIN still reports its files.
  CK_RV GetQualifiedPartCharacteristics(SCPkcs15App* app, CK_FLAGS* flags, bool reportAbsent) const;
  // Who may change the qualified certificate file: QUALIFIED_ACCESS_* bits, or a negative card result.
  SCRESULT GetQualifiedCertFileAccess(SCPkcs15App* app) const;
  // The qualified part's own rules for changing, destroying and creating objects: a CK_RV,
  // or QUALIFIED_NOT_HANDLED for an object outside it (the token then takes its ordinary path).
  CK_RV SetQualifiedObjectAttributes(SCPkcs15App* app, void* object, const SCPkcs15ObjectAttributeList* attrs) const;
  CK_RV DestroyQualifiedObject(SCPkcs15App* app, void* object) const;
  CK_RV CreateQualifiedObject(SCPkcs15App* app, SCPkcs15ObjectAttributeList* attrs, void** newObject) const;
  // 1 when the qualified certificate file holds something, 0 when it is free, or a failure.
  SCRESULT IsCertificateFileUsed(SCCard* card) const;
  CK_RV CreateCertificateInFixedFile(SCPkcs15App* app, SCPkcs15ObjectAttributeList* attrs, void** newCert,
                                     uint32_t fileFlags) const;
  // Ends the use of a model-1 token: checks that the user PIN may terminate the
  // card and, with a non-empty PIN, verifies it and terminates the card.
  CK_RV TerminateTokenUsage(SCPkcs15App* app, const char* pin);

  // ---- reader-lock logging ----
  void SetRecordLockLogger(TraceLogger* logger) { m_recordLockLogger = logger; }
  TraceLogger* GetRecordLockLogger() const { return m_recordLockLogger; }
  uint32_t GetRecordLockIdBase() const { return m_recordLockIdBase; }

 protected:
  // Refuse's and TellTakenBack's telling: the trace, the reader's message, and (`refused`) Refused.
  SCRESULT Tell(uint32_t reader, const class SCCard* card, SCRESULT why, const std::string& text, bool refused);
  // Frees every per-slot and per-reader table and the readers (workers must be stopped).
  // A card where a login still holds a PIN verified is reset as its reader goes:
  // the program may leave without C_Finalize, and no other program may use the PIN.
  void ReleaseTables();
  void StopWorkers();
  // Tells every worker to end and joins it; the records stay.
  void HaltWorkers();
  SCRESULT StartWorkers(const CK_C_INITIALIZE_ARGS* initArgs);
  SCRESULT AllocateTables(uint32_t readers, uint32_t tokensPerReader);
  void CleanReader(uint32_t reader);
  // The refresh of a slot once its reader was checked (rv: the check's result).
  SCRESULT RefreshAfterCheck(CK_SLOT_ID slot, int readProfile, int force, SCRESULT rv);
  // The worker's record of a reader: false without a running worker. *events:
  // the card events it counted; *quiet: it waits on the reader and every event
  // it counted was acknowledged. A worker whose check is done is told to wait
  // (and is not quiet yet).
  bool ReadWorkerEvents(uint32_t reader, uint32_t* events, bool* quiet);
  // After a poll of ours that worked: the events counted before it are handled,
  // and a worker whose wait failed is told to check its reader again.
  void AcknowledgeWorkerEvents(uint32_t reader, uint32_t events);
  void LogV(SCRESULT code, const char* format, va_list args) const __attribute__((format(printf, 3, 0)));
  // The line of Log, written whatever the flag word says (the trace writer decides).
  void WriteLog(SCRESULT code, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  void WriteLogV(SCRESULT code, const char* format, va_list args) const __attribute__((format(printf, 3, 0)));
  bool LogEnabled() const { return (m_pkcs15Flags & PKCS15_FLAG_LOG) != 0; }
  uint32_t ProtocolRequest() const;
  // Steps of the refresh after the reader check: profile, classification, binding.
  SCRESULT RefreshProfileAndBind(CK_SLOT_ID slot, uint32_t reader, bool readProfile, bool reinserted);
  SCRESULT ReadProfileAndBind(CK_SLOT_ID slot, uint32_t reader, bool readProfile, bool reinserted);
  SCRESULT ClassifyCard(uint32_t reader, SCCard* card, const SCCardInfo& info, SCRESULT rv);
  // Opens the channel of a not-activated IAS-ECC card again with the
  // personalisation agent's key and reads the card's structure anew over it
  // (*p15 replaced); SC_E_PKCS15_CARD_NOT_ACTIVATED (reader flag 0x80) when the
  // card refuses the agent.
  SCRESULT ReauthenticateAgent(CK_SLOT_ID slot, uint32_t reader, SCCard* card, SCPkcs15Card** p15);
  // Secure messaging after a Diffie-Hellman key agreement in the group that the
  // application's TokenInfo names, unless the card's channel already serves.
  // Until it is up the card holds back the token's PINs, PUKs and keys; a set-up
  // that fails is tried again at the next call.
  // A card that agreed keys in this process (AgreedChannelOf) takes that key set,
  // whatever the application shows (app may be null).
  void SetUpDhSecureMessaging(CK_SLOT_ID slot, SCCard* card, SCPkcs15App* app);
  // Tells the card what to ask it before its first PIN, PUK or key: whether it offers the
  // channel; with askNow, asks it at once where no key set is known.
  void AskCardForChannel(CK_SLOT_ID slot, uint32_t r, SCCard* card, bool askNow);
  // A token an initialisation left incomplete: over the channel of the key set its
  // copy kept; where none is known and the card's model offers a channel, with
  // its PINs, PUKs and keys held back (secure messaging on).
  void HoldSecretsOfIncompleteToken(CK_SLOT_ID slot, SCCard* card, SCPkcs15App* app, const SCCardInfo& info);
  // A card with which this process agreed keys keeps needing the channel, in
  // that key set, until it leaves the reader (seen empty, or the connection
  // reports the card removed), whatever a reading of the card shows: its key
  // set, or null for none (or a card of another ATR, which ends the record).
  struct AgreedChannel;
  const AgreedChannel* AgreedChannelOf(uint32_t reader, const SCCard* card);
  bool HasAgreedChannel(uint32_t reader) const;
  void ForgetAgreedChannel(uint32_t reader);
  void RememberAgreedChannel(uint32_t reader, const SCCard* card, const SCPkcs15App& app, int group);
  // The reader's PKCS#15 card object and card (CKR_FUNCTION_FAILED, CKR_TOKEN_NOT_RECOGNIZED).
  CK_RV CheckCardForTokens(uint32_t reader, SCPkcs15Card** p15, SCCard** card) const;
  // A failure text of the PIN output: logged and appended to the slot's messages
  // (to every slot of the reader when slot is all ones).
  void ReportOutputFailure(uint32_t reader, CK_SLOT_ID slot, const std::string& text);

  uint32_t m_slotCount = 0;
  SCPkcs15App** m_pAppTable = nullptr;
  uint32_t m_readerCount = 0;
  SCReader** m_readers = nullptr;
  uint32_t m_readerCapacity = 0;
  SCReaderRecord* m_records = nullptr;
  uint32_t m_recordCount = 0;
  SCRESULT* m_slotResults = nullptr;
  char** m_slotMessages = nullptr;
  uint32_t m_refusedReader = ~0u;  // Refused
  SCPkcs15Card** m_pkcs15Cards = nullptr;
  SCFileHeader** m_cardIds = nullptr;
  SCSerialNumber* m_serialNumbers = nullptr;
  uint32_t* m_readerFlags = nullptr;
  std::vector<uint8_t> m_slotChanged;
  // Per reader: the call (hold of the call lock) and change count of the reader
  // at the end of its last check that left the card connected; 0: none.
  struct CheckMemo {
    uint64_t callHold = 0;
    uint64_t changeCount = 0;
  };
  std::vector<CheckMemo> m_checkMemo;
  std::vector<uint64_t> m_smFailedCall;  // per reader: the call whose channel set-up failed
  std::vector<uint8_t> m_readAsPkcs15;   // per reader: its card read as PKCS#15 since it was seen
  struct AgreedChannel {
    std::vector<uint8_t> atr;  // the card's; empty: no keys agreed
    uint32_t dirKey = 0;       // the application whose TokenInfo gave the key set
    int group = -1;
    SCByteBuffer keys[3];
    std::vector<uint8_t> entry;  // the TokenInfo entry of the key set (SCPkcs15App::KeySet)
  };
  std::vector<AgreedChannel> m_agreedChannels;  // per reader
  const Pkcs11Lock* m_callLock = nullptr;
  TypedPointerList<ReaderOptions> m_readerOptions;
  TextStringList m_allowedReaders;
  TraceLogger* m_recordLockLogger = nullptr;
  uint32_t m_recordLockIdBase = 500;
  uint8_t m_initialized = 0;
  uint32_t m_pkcs15Flags = PKCS15_FLAGS_BRIDGE_DEFAULT;
  uint32_t m_optionBits = 0;
  uint32_t m_tokensPerReader = PKCS15_DEFAULT_TOKENS_PER_READER;
  char* m_pcscLibrary = nullptr;
  char* m_dravokLibrary = nullptr;
  char* m_enabledReaderSubsystems = nullptr;
  char* m_initProfile = nullptr;
};

#endif
