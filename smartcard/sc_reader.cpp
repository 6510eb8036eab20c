#include "smartcard/sc_reader.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "smartcard/sc_apdu.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_pcscapi.h"
#include "smartcard/sc_reader_backend.h"
#include "smartcard/sc_reader_pcsc.h"
#include "smartcard/sc_smctx.h"
#include "support/vtest.h"

namespace {

// The four header octets of a command, for the secure-messaging lines: the data,
// which may hold a PIN or key, never shows.
struct HeaderText {
    char text[12];
    explicit HeaderText(const std::vector<uint8_t>& apdu) {
        if (apdu.size() < 4)
            std::snprintf(text, sizeof text, "?");
        else
            std::snprintf(text, sizeof text, "%02X %02X %02X %02X", apdu[0], apdu[1], apdu[2], apdu[3]);
    }
};

const char* ResultName(SCRESULT r, char (&buf)[64]) { return scGetErrorName(r, buf, sizeof buf); }

// ---- back-end table ----

constexpr size_t kBackendCount = 2;

const SCReaderBackend* const* AllBackends(size_t* n) {
    static const SCReaderBackend* const all[] = {&scPcscBackend(), &scDravokBackend()};
    static_assert(sizeof(all) / sizeof(all[0]) == kBackendCount, "one table entry per back-end");
    *n = kBackendCount;
    return all;
}

// The active back-ends in their order. A plain table without a destructor: it is
// still there for a host that exits, or unloads the module, while the back-ends
// are loaded and whoever owns them unloads them from a static destructor.
struct ActiveBackends {
    const SCReaderBackend* be[kBackendCount];
    size_t count;
    const SCReaderBackend* const* begin() const { return be; }
    const SCReaderBackend* const* end() const { return be + count; }
};

std::mutex g_tableLock;
ActiveBackends g_active{};  // empty until first use: the default
bool g_activeSet = false;
SCCardFactoryFn g_cardFactory = nullptr;

const SCReaderBackend* FindBackend(const char* name, size_t len) {
    if (len > 31) len = 31;  // names are compared on 31 characters
    size_t n;
    const SCReaderBackend* const* all = AllBackends(&n);
    for (size_t i = 0; i < n; ++i) {
        const char* b = all[i]->name;
        const size_t blen = std::min<size_t>(std::strlen(b), 31);
        if (blen == len && strncasecmp(b, name, len) == 0) return all[i];
    }
    return nullptr;
}

// The active table; the caller holds g_tableLock.
const ActiveBackends& ActiveLocked() {
    if (!g_activeSet) {
        g_active.be[0] = &scPcscBackend();
        g_active.count = 1;
        g_activeSet = true;
    }
    return g_active;
}

ActiveBackends ActiveCopy() {
    std::lock_guard<std::mutex> g(g_tableLock);
    return ActiveLocked();
}

// State bits that mean a card event; the rest (in use, exclusive, ATR match)
// changes whenever any application connects and is no event for us.
constexpr uint64_t kEventBits = scpcsc::STATE_PRESENT | scpcsc::STATE_EMPTY | scpcsc::STATE_MUTE |
                                scpcsc::STATE_UNKNOWN | scpcsc::STATE_UNAVAILABLE | 0xFFFF0000ULL;

// How often a card that other programs keep resetting is taken back before one
// step of ours gives up (a service that answers nothing but "reset" would hold
// the caller forever).
constexpr int kResetRounds = 64;

uint32_t ModeFromPcscProtocol(uint32_t p) {
    switch (p) {
    case scpcsc::PROTOCOL_T0: return SC_MODE_PROTO_T0;
    case scpcsc::PROTOCOL_T1: return SC_MODE_PROTO_T1;
    case scpcsc::PROTOCOL_RAW: return SC_MODE_PROTO_RAW;
    default: return SC_MODE_PROTO_UNDEFINED;
    }
}

uint32_t PcscProtocolsFromMode(uint32_t m) {
    uint32_t p = 0;
    if (m & SC_MODE_PROTO_T0) p |= scpcsc::PROTOCOL_T0;
    if (m & SC_MODE_PROTO_T1) p |= scpcsc::PROTOCOL_T1;
    if (m & SC_MODE_PROTO_RAW) p |= scpcsc::PROTOCOL_RAW;
    return p;
}

uint32_t PcscShareFromMode(uint32_t m) {
    switch (m & SC_MODE_SHARE_MASK) {
    case SC_MODE_SHARE_EXCLUSIVE: return scpcsc::SHARE_EXCLUSIVE;
    case SC_MODE_SHARE_DIRECT: return scpcsc::SHARE_DIRECT;
    default: return scpcsc::SHARE_SHARED;
    }
}

uint32_t ModeFromPcscShare(uint32_t s) {
    switch (s) {
    case scpcsc::SHARE_EXCLUSIVE: return SC_MODE_SHARE_EXCLUSIVE;
    case scpcsc::SHARE_DIRECT: return SC_MODE_SHARE_DIRECT;
    default: return SC_MODE_SHARE_SHARED;
    }
}

// Commands that change nothing the card keeps: SELECT, READ BINARY / RECORD,
// GET RESPONSE, GET DATA, and VERIFY without data (the PIN's status: ISO/IEC
// 7816-4 leaves its counter alone; P1 FF would end the verification).
bool LeavesCardAsItIs(const uint8_t* apdu, const SCApduInfo& info) {
    switch (apdu[1]) {
    case 0xA4: case 0xB0: case 0xB1: case 0xB2: case 0xB3: case 0xC0: case 0xCA: case 0xCB: return true;
    case 0x20: return info.lc == 0 && apdu[2] == 0x00;
    default: return false;
    }
}

// Class byte of GET RESPONSE for a command: the interindustry classes keep their
// logical channel; proprietary classes use 00.
uint8_t GetResponseClass(uint8_t cla) {
    if ((cla & 0xE0) == 0x00) return cla & 0x03;
    if ((cla & 0xC0) == 0x40) return 0x40 | (cla & 0x0F);
    return 0x00;
}

// A failed exchange after which the card, still in the reader with its session,
// may have carried the command out: the answer went missing or did not fit.
// (A card gone, reset, held by another program or mute took its session away,
// or never had the command.)
bool AnswerMayBeLost(SCRESULT rc) {
    return rc == SC_E_TRANSMISSION_FAILED || rc == SC_E_COMM_FAILED || rc == SC_E_TIMEOUT ||
           rc == SC_E_TOO_MUCH_DATA || rc == SC_E_INSUFFICIENT_BUFFER;
}

}  // namespace

// ---------------------------------------------------------------------------
// Back-end table

bool SCReader::SetReaderTypes(const char* list) {
    ActiveBackends chosen{};
    if (list != nullptr) {
        const char* p = list;
        while (*p) {
            const char* end = std::strchr(p, ',');
            if (end == nullptr) end = p + std::strlen(p);
            const char* a = p;
            const char* b = end;
            while (a < b && (*a == ' ' || *a == '\t')) ++a;
            while (b > a && (b[-1] == ' ' || b[-1] == '\t')) --b;
            if (b > a) {
                const SCReaderBackend* be = FindBackend(a, static_cast<size_t>(b - a));
                if (be == nullptr) return false;
                // Each back-end at most once, so the table never overflows.
                if (std::find(chosen.begin(), chosen.end(), be) == chosen.end()) chosen.be[chosen.count++] = be;
            }
            p = *end ? end + 1 : end;
        }
    }
    if (chosen.count == 0) chosen.be[chosen.count++] = &scPcscBackend();
    std::lock_guard<std::mutex> g(g_tableLock);
    g_active = chosen;
    g_activeSet = true;
    return true;
}

bool SCReader::IsReaderTypeEnabled(const char* name) {
    if (name == nullptr) return false;
    std::lock_guard<std::mutex> g(g_tableLock);
    const SCReaderBackend* be = FindBackend(name, std::strlen(name));
    if (be == nullptr) return false;
    const auto& act = ActiveLocked();
    return std::find(act.begin(), act.end(), be) != act.end();
}

void SCReader::PrepareBackends() {
    size_t n;
    const SCReaderBackend* const* all = AllBackends(&n);
    for (size_t i = 0; i < n; ++i) all[i]->prepare();
}

void SCReader::UnloadBackends() {
    for (const SCReaderBackend* be : ActiveCopy()) be->cleanup();
}

SCRESULT SCReader::GetReaderList(char** multiString, uint32_t mode) {
    if (multiString == nullptr) return SC_E_BAD_PARAMS;
    *multiString = nullptr;
    std::vector<std::string> names;
    SCRESULT firstFailure = SC_OK;
    bool anyListed = false;
    for (const SCReaderBackend* be : ActiveCopy()) {
        std::vector<std::string> part;
        const SCRESULT rc = be->listReaders(&part, mode);
        if (rc < 0) {
            // A service that does not run says more than a back-end never loaded.
            if (firstFailure == SC_OK || firstFailure == SC_E_NO_READER_SUBSYSTEM) firstFailure = rc;
            continue;
        }
        anyListed = true;
        for (auto& n : part)
            if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    if (!anyListed) return firstFailure < 0 ? firstFailure : SC_E_NO_READER_SUBSYSTEM;
    size_t total = 1;
    for (const auto& n : names) total += n.size() + 1;
    char* out = new (std::nothrow) char[total];
    if (out == nullptr) return SC_E_NO_MEMORY;
    char* p = out;
    for (const auto& n : names) {
        std::memcpy(p, n.c_str(), n.size() + 1);
        p += n.size() + 1;
    }
    *p = '\0';
    *multiString = out;
    return SC_OK;
}

void SCReader::FreeReaderList(char* multiString) { delete[] multiString; }

SCRESULT SCReader::CreateReader(const char* name, SCReader** reader, uint32_t mode) {
    if (name == nullptr || reader == nullptr) return SC_E_BAD_PARAMS;
    *reader = nullptr;
    SCRESULT failure = SC_E_READER_NOT_FOUND;
    for (const SCReaderBackend* be : ActiveCopy()) {
        std::vector<std::string> names;
        const SCRESULT rc = be->listReaders(&names, mode);
        if (rc < 0) {
            if (rc != SC_E_NO_READER_SUBSYSTEM) failure = rc;
            continue;
        }
        if (std::find(names.begin(), names.end(), name) != names.end()) return be->createReader(name, reader);
    }
    // A service that stopped running hides the reader; report it as gone.
    return failure == SC_E_READER_SUBSYSTEM_NOT_RUNNING ? SC_E_READER_NOT_AVAILABLE : failure;
}

void SCReader::SetCardFactory(SCCardFactoryFn factory) {
    std::lock_guard<std::mutex> g(g_tableLock);
    g_cardFactory = factory;
}

// ---------------------------------------------------------------------------
// Reader object

SCReader::SCReader(const char* name) : m_name(name ? name : "") {}

SCReader::~SCReader() {
    // The back-end's destructor has released the reader; only a card object that
    // is somehow left is freed here.
    ClearCard();
}

void SCReader::SetShareMode(uint32_t shareBits) {
    shareBits &= SC_MODE_SHARE_MASK;
    if (shareBits == 0) shareBits = SC_MODE_SHARE_SHARED;
    m_mode = (m_mode & ~SC_MODE_SHARE_MASK) | shareBits;
}

SCRESULT SCReader::_GetAttrib(uint32_t, uint8_t*, uint32_t*) { return SC_E_UNSUPPORTED_FEATURE; }

SCRESULT SCReader::Init(uint32_t flags) {
    if (m_bInited) return SC_E_BAD_USAGE;
    const SCRESULT rc = _Init(flags);
    if (rc < 0) return rc;
    m_bInited = true;
    m_rawState = 0;
    m_ackState = 0;
    m_bAcked = false;
    return SC_OK;
}

void SCReader::Release() {
    if (m_bConnected) Disconnect(SC_DISPOSITION_LEAVE);
    if (m_bInited) _Release();
    m_bInited = false;
    m_rawState = 0;
    m_bAcked = false;
}

void SCReader::ClearCard() {
    if (m_pCard != nullptr) {
        m_pCard->m_pConnectedReader = nullptr;
        delete m_pCard;
        m_pCard = nullptr;
    }
    m_pSmCtx = nullptr;  // the context belonged to the card
    if (m_bConnected) ++m_changeCount;
    ++m_holdSerial;
    ++m_cardSession;
    m_bConnected = false;
    m_atrLen = 0;
    m_transactionDepth = 0;
    SetCallHold(false);
    m_mode &= ~SC_MODE_PROTO_MASK;
    m_vendorName.clear();
    m_vendorVersion = 0;
    m_vendorNameAsked = m_vendorVersionAsked = false;
}

SCRESULT SCReader::ConnectWith(uint32_t share, uint32_t want, uint32_t allowed, uint32_t* active) {
    SCRESULT rc = _Connect(share, want, active);
    const uint64_t o = m_options;
    if (rc == SC_E_CARD_PROTO_MISMATCH) {
        const uint32_t def = scRoptDefaultProtocols(o) & allowed;
        if ((o & SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL) && def != 0 && def != want)
            rc = _Connect(share, def, active);
    }
    if (rc == SC_E_CARD_PROTO_MISMATCH && (o & (SC_ROPT_RECONNECT_ON_PROTO_FAIL | SC_ROPT_RESET_ON_PROTO_FAIL))) {
        // Connect with whatever the card offers, then ask for the wanted protocol.
        uint32_t any = 0;
        if (allowed != want && _Connect(share, allowed, &any) == SC_OK) {
            const uint32_t init = (o & SC_ROPT_RESET_ON_PROTO_FAIL) ? scpcsc::RESET_CARD : scpcsc::LEAVE_CARD;
            rc = _Reconnect(share, want, init, active);
            if (rc < 0) _Disconnect(scpcsc::LEAVE_CARD);
        }
    }
    if (rc == SC_E_CARD_IS_USED && share == scpcsc::SHARE_EXCLUSIVE &&
        (o & (SC_ROPT_RECONNECT_ON_SHARE_FAIL | SC_ROPT_RESET_ON_SHARE_FAIL))) {
        // The card is held by another application: settle for sharing it.
        rc = _Connect(scpcsc::SHARE_SHARED, want, active);
        if (rc == SC_OK) {
            m_mode = (m_mode & ~SC_MODE_SHARE_MASK) | SC_MODE_SHARE_SHARED;
            if (o & SC_ROPT_RESET_ON_SHARE_FAIL) {
                rc = _Reconnect(scpcsc::SHARE_SHARED, want, scpcsc::RESET_CARD, active);
                if (rc < 0) _Disconnect(scpcsc::LEAVE_CARD);
            }
        }
    }
    return rc;
}

SCRESULT SCReader::Connect(uint32_t protocolRequest) {
    if (!m_bInited) return SC_E_BAD_USAGE;
    if (m_bConnected) return SC_E_BAD_USAGE;
    const uint64_t o = m_options;
    const uint32_t disabled = scRoptDisabledProtocols(o) & 0x7;
    const uint32_t def = scRoptDefaultProtocols(o) & 0x7;
    const uint32_t requested = PcscProtocolsFromMode(protocolRequest);
    uint32_t want;
    if ((o & SC_ROPT_FORCE_DEFAULT_PROTOCOLS) && def != 0)
        want = def;
    else if (requested != 0)
        want = requested;
    else if (def != 0)
        want = def;
    else
        want = scpcsc::PROTOCOL_T0 | scpcsc::PROTOCOL_T1;
    want &= ~disabled;
    const uint32_t share = PcscShareFromMode(m_mode);
    if (want == 0 && share != scpcsc::SHARE_DIRECT) return SC_E_CARD_PROTO_MISMATCH;
    const uint32_t allowed = (scpcsc::PROTOCOL_T0 | scpcsc::PROTOCOL_T1) & ~disabled;

    uint32_t active = 0;
    SCRESULT rc = ConnectWith(share, want, allowed, &active);
    if (rc < 0) return rc;
    m_allowedProtocols = want;
    return AfterConnect(active);
}

SCRESULT SCReader::AfterConnect(uint32_t active) {
    uint8_t atr[33];
    uint32_t atrLen = sizeof atr;
    SCRESULT rc = _Status(atr, &atrLen);
    // Another program reset the card since we connected: nothing of ours was on
    // it yet, so the connection is taken back as it stands.
    for (int round = 0; rc == SC_E_CARD_WAS_RESET && round < kResetRounds; ++round) {
        rc = _Reconnect(PcscShareFromMode(m_mode), m_allowedProtocols, scpcsc::LEAVE_CARD, &active);
        atrLen = sizeof atr;
        if (rc >= 0) rc = _Status(atr, &atrLen);
    }
    if (rc < 0) {
        _Disconnect(scpcsc::LEAVE_CARD);
        return rc;
    }
    std::memcpy(m_atr, atr, atrLen);
    m_atrLen = atrLen;
    m_mode = (m_mode & ~SC_MODE_PROTO_MASK) | ModeFromPcscProtocol(active);
    m_bConnected = true;
    m_transactionDepth = 0;
    SetCallHold(false);
    ++m_changeCount;
    ++m_holdSerial;
    ++m_cardSession;

    if (m_resetOwed) {
        // The card owed a reset is reset before anything reaches it; another card
        // (another ATR) owes nothing.
        if (m_owedAtrLen != m_atrLen || std::memcmp(m_owedAtr, m_atr, m_atrLen) != 0) {
            ForgetOwedReset("forgotten: another card is in the reader");
        } else if ((rc = ResetCard(false)) < 0) {
            Disconnect(SC_DISPOSITION_RESET);
            return rc;
        }
    }

    SCCardFactoryFn factory;
    {
        std::lock_guard<std::mutex> g(g_tableLock);
        factory = g_cardFactory;
    }
    if (factory != nullptr) {
        SCCard* card = nullptr;
        rc = factory(this, &card);
        if (rc < 0 && rc != SC_E_CARD_UNSUPPORTED) {
            delete card;
            Disconnect(SC_DISPOSITION_LEAVE);
            return rc;
        }
        if (rc < 0) {
            delete card;
            card = nullptr;
        }
        m_pCard = card;
    }
    return SC_OK;
}

SCRESULT SCReader::Reconnect(uint32_t shareMode) {
    AssertInvariant(m_bConnected, "smartcard/sc_reader", __LINE__, "m_bConnected");
    uint32_t shareBits = shareMode & SC_MODE_SHARE_MASK;
    if (shareBits == 0) shareBits = m_mode & SC_MODE_SHARE_MASK;
    const uint32_t share = PcscShareFromMode(shareBits);
    const SCRESULT rc = TakeBack(share, scpcsc::LEAVE_CARD);
    if (rc < 0) return rc;
    m_mode = (m_mode & ~SC_MODE_SHARE_MASK) | ModeFromPcscShare(share);
    if (m_transactionDepth > 0 && HoldAgain() < 0) {
        m_transactionDepth = 0;
        SetCallHold(false);
    }
    CardWasReset();
    return SC_OK;
}

SCRESULT SCReader::TakeBack(uint32_t share, uint32_t initialization) {
    uint32_t active = 0;
    const SCRESULT rc = _Reconnect(share, m_allowedProtocols, initialization, &active);
    if (rc < 0) {
        NoteCardGone(rc);
        return rc;
    }
    m_mode = (m_mode & ~SC_MODE_PROTO_MASK) | ModeFromPcscProtocol(active);
    uint8_t atr[33];
    uint32_t atrLen = sizeof atr;
    if (_Status(atr, &atrLen) == SC_OK) {
        std::memcpy(m_atr, atr, atrLen);
        m_atrLen = atrLen;
    }
    return SC_OK;
}

SCRESULT SCReader::HoldAgain() {
    // Whether a holder's lock outlives its reconnection or reset depends on the
    // service: the simulator ends it, pcsc-lite keeps it and counts every Begin,
    // so that one more Begin would keep the card from every other program after
    // our End. It is let go and taken anew: one is held either way. A reset that
    // another program makes meanwhile is taken back, as at the outermost Begin.
    _EndTransaction(scpcsc::LEAVE_CARD);
    SCRESULT rc = _BeginTransaction();
    for (int round = 0; rc == SC_E_CARD_WAS_RESET && round < kResetRounds; ++round) {
        rc = TakeBack(PcscShareFromMode(m_mode), scpcsc::LEAVE_CARD);
        if (rc >= 0) rc = _BeginTransaction();
    }
    return rc;
}

void SCReader::CardWasReset() {
    ++m_changeCount;
    ++m_holdSerial;
    ++m_cardSession;
    m_holdStart = m_commandCount;
    // The card forgot its channel and its selections.
    if (m_pSmCtx != nullptr) m_pSmCtx->LoseSession();
    if (m_pCard != nullptr) m_pCard->AfterCardReset();
}

SCRESULT SCReader::ResetCard(bool announce) {
    if (!m_bConnected) return SC_E_CARD_NOT_CONNECTED;
    // The reset is made while this reader holds the card: pcscd weighs a reset
    // against other programs' transactions apart from making it, so a reset
    // from a program that holds none can land inside another program's
    // transaction, whose next command then meets a card that forgot what that
    // transaction had just told it.
    const bool own = m_transactionDepth == 0;
    if (own) {
        m_resetting = true;
        const SCRESULT held = BeginTransaction();
        m_resetting = false;
        if (held < 0) {
            OweReset(held);
            return held;
        }
    }
    // A reset this reader makes itself is no card event for it: when nothing was
    // pending before and the same card is there after, the new state is taken as seen.
    uint64_t before = 0;
    const bool quiet =
        !announce && m_bInited && m_bAcked && PollState(&before) == SC_OK && ((before ^ m_ackState) & kEventBits) == 0;
    const SCRESULT rc = TakeBack(PcscShareFromMode(m_mode), scpcsc::RESET_CARD);
    if (rc < 0) {
        if (own) EndTransaction();
        OweReset(rc);
        return rc;
    }
    constexpr uint64_t kPresence = scpcsc::STATE_PRESENT | scpcsc::STATE_EMPTY | scpcsc::STATE_MUTE;
    uint64_t after = 0;
    if (quiet && PollState(&after) == SC_OK && ((after ^ before) & kPresence) == 0) {
        m_rawState = after;
        m_ackState = after;
    }
    if (!own && HoldAgain() < 0) {
        m_transactionDepth = 0;
        SetCallHold(false);
    }
    CardWasReset();
    if (m_resetOwed) ForgetOwedReset("made");
    if (own) EndTransaction();
    return SC_OK;
}

void SCReader::OweReset(SCRESULT why) {
    if (!m_bConnected || why == SC_E_CARD_NOT_CONNECTED) return;
    // A card taken out, or reset by others meanwhile, has forgotten what it held.
    if (why == SC_E_CARD_REMOVED || why == SC_E_NO_SMARTCARD || why == SC_E_CARD_WAS_RESET) {
        NoteCardGone(why);
        return;
    }
    char name[64];
    scLog("reader '%s': the card cannot be reset (%s): the reset is owed to it", GetName(), ResultName(why, name));
    m_resetOwed = true;
    m_owedFailure = why;
    std::memcpy(m_owedAtr, m_atr, m_atrLen);
    m_owedAtrLen = m_atrLen;
}

void SCReader::ForgetOwedReset(const char* why) {
    if (!m_resetOwed) return;
    m_resetOwed = false;
    scLog("reader '%s': the reset owed to the card is %s", GetName(), why);
}

void SCReader::NoteCardGone(SCRESULT rc) {
    if (rc == SC_E_CARD_REMOVED || rc == SC_E_NO_SMARTCARD) ForgetOwedReset("forgotten: the card was taken out");
}

void SCReader::Disconnect(uint32_t disposition) {
    if (!m_bConnected) return;
    // A card object that goes with PINs verified on the card that no call's end
    // made it forget takes them with it, and so does a reset owed: the card is
    // reset while still held.
    const bool forget = m_resetOwed || (m_pCard != nullptr && m_pCard->HoldsLeftVerified());
    if (forget) disposition = SC_DISPOSITION_RESET;
    if (m_transactionDepth > 0 && !forget) _EndTransaction(scpcsc::LEAVE_CARD);
    m_transactionDepth = 0;
    SetCallHold(false);
    const SCRESULT rc = _Disconnect(disposition);
    if (disposition == SC_DISPOSITION_RESET || disposition == SC_DISPOSITION_UNPOWER) {
        // The service took the reset with the disconnection; one it refused stays owed.
        if (rc >= 0)
            ForgetOwedReset("made with the disconnection");
        else
            OweReset(rc);
    }
    ClearCard();
}

SCRESULT SCReader::ResetUnderCall() { return m_bConnected ? _ResetUnderCall() : SC_OK; }

SCRESULT SCReader::StateFromEvent(uint64_t event, uint32_t* bits) const {
    if (event & scpcsc::STATE_UNKNOWN) return SC_E_READER_NOT_FOUND;
    if (event & scpcsc::STATE_UNAVAILABLE) return SC_E_READER_NOT_AVAILABLE;
    if (event & scpcsc::STATE_MUTE)
        *bits = SC_CARDSTATE_PRESENT | SC_CARDSTATE_MUTE;
    else if (event & scpcsc::STATE_PRESENT)
        *bits = SC_CARDSTATE_PRESENT;
    else
        *bits = 0;
    return SC_OK;
}

SCRESULT SCReader::PollState(uint64_t* event) {
    // A poll that names the last state seen makes pcscd wait for its change
    // notification, with timeout 0: about ten round trips' time. One that names
    // no state is answered from the service's table at once; the comparison is
    // ours anyway.
    uint64_t e = 0;
    const SCRESULT rc = _GetStatusChange(0, scpcsc::STATE_UNAWARE, &e);
    if (rc == SC_E_TIMEOUT) {
        // A library that answers "no change" to no expectation: the state stays.
        *event = m_rawState;
        return SC_OK;
    }
    if (rc < 0) return rc;
    *event = e & ~static_cast<uint64_t>(scpcsc::STATE_CHANGED);
    return SC_OK;
}

SCRESULT SCReader::CheckForChange(uint32_t flag) {
    if (!m_bInited) return SC_E_BAD_USAGE;
    uint64_t event = 0;
    SCRESULT rc = PollState(&event);
    if (rc < 0) return rc;
    m_rawState = event;
    uint32_t bits = 0;
    rc = StateFromEvent(event, &bits);
    if (rc < 0) return rc;
    if ((bits & SC_CARDSTATE_PRESENT) == 0) NoteCardGone(SC_E_NO_SMARTCARD);
    const bool changed = !m_bAcked || ((event ^ m_ackState) & kEventBits) != 0;
    if (flag & SC_CHECK_ACKNOWLEDGE) {
        m_ackState = m_rawState;
        m_bAcked = true;
    }
    return bits | (changed ? SC_CARDSTATE_CHANGED : 0);
}

SCRESULT SCReader::GetAcknowledgedState() const {
    if (!m_bInited || !m_bAcked || ((m_rawState ^ m_ackState) & kEventBits) != 0) return SC_E_BAD_USAGE;
    uint32_t bits = 0;
    if (StateFromEvent(m_ackState, &bits) < 0) return SC_E_BAD_USAGE;
    return bits;
}

SCRESULT SCReader::WaitForChange(uint32_t timeoutMs) {
    if (!m_bInited) return SC_E_BAD_USAGE;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const bool pending = m_bAcked && m_rawState != 0 && ((m_rawState ^ m_ackState) & kEventBits) != 0;
        if (!pending) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            const uint32_t wait = left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
            uint64_t event = 0;
            const SCRESULT rc =
                _GetStatusChange(wait, m_rawState & ~static_cast<uint64_t>(scpcsc::STATE_CHANGED), &event);
            if (rc < 0) return rc;  // SC_E_TIMEOUT included
            const uint64_t before = m_rawState;
            m_rawState = event & ~static_cast<uint64_t>(scpcsc::STATE_CHANGED);
            if (m_bAcked && ((m_rawState ^ m_ackState) & kEventBits) == 0) {
                // Only bits that are no card event moved (another application
                // connected); wait on, without spinning on a back-end that
                // answers at once.
                if (clock::now() >= deadline) return SC_E_TIMEOUT;
                if (m_rawState == before) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
        }
        uint32_t bits = 0;
        const SCRESULT rc = StateFromEvent(m_rawState, &bits);
        m_ackState = m_rawState;
        m_bAcked = true;
        if (rc < 0) return rc;
        if ((bits & SC_CARDSTATE_PRESENT) == 0) NoteCardGone(SC_E_NO_SMARTCARD);
        return bits | SC_CARDSTATE_CHANGED;
    }
}

SCRESULT SCReader::CheckCardState() {
    AssertInvariant(m_bConnected, "smartcard/sc_reader", __LINE__, "m_bConnected");
    uint8_t atr[33];
    uint32_t atrLen = sizeof atr;
    const SCRESULT rc = _Status(atr, &atrLen);
    NoteCardGone(rc);
    if (rc < 0) return rc;
    if (atrLen != m_atrLen || std::memcmp(atr, m_atr, atrLen) != 0) {
        NoteCardGone(SC_E_CARD_REMOVED);
        return SC_E_CARD_REMOVED;
    }
    return SC_OK;
}

const char* SCReader::GetVendorName() {
    // Asked once per connection: a reader that has no answer will not have one later.
    if (m_bConnected && !m_vendorNameAsked) {
        m_vendorNameAsked = true;
        uint8_t buf[256];
        uint32_t len = sizeof buf - 1;
        if (_GetAttrib(scpcsc::ATTR_VENDOR_NAME, buf, &len) == SC_OK && len < sizeof buf) {
            buf[len] = 0;
            m_vendorName = reinterpret_cast<const char*>(buf);
        }
    }
    return m_vendorName.c_str();
}

uint32_t SCReader::GetVendorVersion() {
    if (m_bConnected && !m_vendorVersionAsked) {
        m_vendorVersionAsked = true;
        uint8_t buf[8] = {};
        uint32_t len = sizeof buf;
        if (_GetAttrib(scpcsc::ATTR_VENDOR_IFD_VERSION, buf, &len) == SC_OK && len >= 4)
            m_vendorVersion = static_cast<uint32_t>(buf[0]) | (static_cast<uint32_t>(buf[1]) << 8) |
                              (static_cast<uint32_t>(buf[2]) << 16) | (static_cast<uint32_t>(buf[3]) << 24);
    }
    return m_vendorVersion;
}

SCRESULT SCReader::GetATR(uint8_t* buffer, uint32_t* len) {
    AssertInvariant(m_bConnected, "smartcard/sc_reader", __LINE__, "m_bConnected");
    if (len == nullptr) return SC_E_BAD_PARAMS;
    if (buffer == nullptr || *len < m_atrLen) {
        *len = m_atrLen;
        return SC_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, m_atr, m_atrLen);
    *len = m_atrLen;
    return SC_OK;
}

uint32_t SCReader::GetMaxResponseLength() const {
    if ((m_mode & SC_MODE_PROTO_MASK) == SC_MODE_PROTO_T0) {
        const uint32_t v = scRoptLimit(m_limits, SC_RLIMIT_T0_RECV);
        return v == 0 || v > 256 ? 256 : v;
    }
    const uint32_t v = scRoptLimit(m_limits, SC_RLIMIT_T1_RECV);
    return v == 0 ? 256 : v;
}

uint32_t SCReader::GetMaxSendLength() const {
    const uint32_t wire = GetWireSendLength();
    // Under a secure channel the wrapping needs room of its own.
    if (m_pSmCtx != nullptr && (m_pSmCtx->IsActive() || m_pSmCtx->NeedsRestore()))
        return static_cast<uint32_t>(m_pSmCtx->GetMaxCommandData(wire));
    return wire;
}

uint32_t SCReader::GetWireSendLength() const {
    if ((m_mode & SC_MODE_PROTO_MASK) == SC_MODE_PROTO_T0) {
        const uint32_t v = scRoptLimit(m_limits, SC_RLIMIT_T0_SEND);
        return v == 0 || v > 255 ? 255 : v;
    }
    const uint32_t v = scRoptLimit(m_limits, SC_RLIMIT_T1_SEND);
    return v == 0 ? 255 : v;
}

SCRESULT SCReader::BeginTransaction() {
    if (!m_bConnected) return SC_E_CARD_NOT_CONNECTED;
    if (m_transactionDepth == 0) {
        SCRESULT rc = _BeginTransaction();
        // Reset by another application since our last exchange: the same card,
        // which has forgotten its state. Take it back before the work. Programs
        // that share the card may reset it again before our transaction holds;
        // each round waits for another program's transaction, so a few suffice.
        for (int round = 0; rc == SC_E_CARD_WAS_RESET && round < kResetRounds; ++round) {
            rc = Reconnect(0);
            if (rc >= 0) rc = _BeginTransaction();
        }
        NoteCardGone(rc);
        if (rc < 0) return rc;
        ++m_holdSerial;
        m_holdStart = m_commandCount;
    }
    ++m_transactionDepth;
    if (m_transactionDepth == 1 && m_resetOwed && !m_resetting) {
        // The reset owed comes before anything of this transaction.
        const SCRESULT paid = ResetCard(false);
        if (paid < 0) {
            EndTransaction();
            return paid;
        }
    }
    return SC_OK;
}

namespace {
// Readers holding a card for a call, over the process: a call's end that finds
// none and no note has nothing to do.
std::atomic<unsigned> g_callHolds{0};
}  // namespace

void SCReader::SetCallHold(bool held) {
    if (held == m_callHold) return;
    m_callHold = held;
    if (held)
        ++g_callHolds;
    else
        --g_callHolds;
}

bool SCReader::AnyCallHold() { return g_callHolds.load() != 0; }

void SCReader::StartAfreshInChild() {
    // Another thread of the parent may have held them when the process forked.
    new (&g_tableLock) std::mutex;
    g_callHolds.store(0);
    SCReaderPcsc::Library().StartAfreshInChild();
    SCReaderDravok::Library().StartAfreshInChild();
}

void SCReader::HoldForCall() {
    if (!m_callHold && BeginTransaction() >= 0) SetCallHold(true);
}

void SCReader::ReleaseCallHold() {
    if (!m_callHold) return;
    SetCallHold(false);
    EndTransaction();
}

SCRESULT SCReader::EndTransaction() {
    if (m_transactionDepth == 0) return SC_E_BAD_USAGE;
    if (--m_transactionDepth > 0 || !m_bConnected) return SC_OK;
    SCRESULT rc = _EndTransaction(scpcsc::LEAVE_CARD);
    // The card was reset while we held it, and the service tells of it only now:
    // pcsc-lite ends no transaction of a handle that has not taken such a reset
    // back, and would keep the card from every other program. Taken back, let go.
    if (rc == SC_E_CARD_WAS_RESET && TakeBack(PcscShareFromMode(m_mode), scpcsc::LEAVE_CARD) >= 0) {
        CardWasReset();
        rc = _EndTransaction(scpcsc::LEAVE_CARD);
    }
    return rc;
}

// ---------------------------------------------------------------------------
// Transmission

SCRESULT SCReader::ExchangeOnce(const std::vector<uint8_t>& apdu, std::vector<uint8_t>* resp, uint16_t* sw) {
    const uint32_t wait = scRoptWaitTime(m_options);
    if (wait != 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    // One receive buffer per reader, sized once: zeroing 64 KiB per APDU would
    // cost more than the exchange with a local card.
    std::vector<uint8_t>& buf = m_rxBuffer;
    if (buf.size() != SC_MAX_RESPONSE_DATA + 2) buf.resize(SC_MAX_RESPONSE_DATA + 2);
    uint32_t len = static_cast<uint32_t>(buf.size());
    const SCRESULT rc = _Transmit(apdu.data(), static_cast<uint32_t>(apdu.size()), buf.data(), &len);
    if (rc < 0) return rc;
    if (len < 2 || len > buf.size()) return SC_E_TRANSMISSION_FAILED;
    *sw = static_cast<uint16_t>((buf[len - 2] << 8) | buf[len - 1]);
    resp->assign(buf.begin(), buf.begin() + (len - 2));
    // Answers may carry deciphered data: leave no copy behind.
    std::memset(buf.data(), 0, len);
    return SC_OK;
}

SCRESULT SCReader::ExchangeChained(const std::vector<uint8_t>& apdu, uint32_t flags, std::vector<uint8_t>* data,
                                   uint16_t* sw) {
    std::vector<uint8_t> part;
    uint16_t s = 0;
    data->clear();
    SCRESULT rc = ExchangeOnce(apdu, &part, &s);
    if (rc < 0) return rc;
    if ((s >> 8) == 0x6C && !(flags & SC_TX_NO_LE_CORRECTION)) {
        std::vector<uint8_t> fixed;
        if (scApduWithLe(apdu.data(), apdu.size(), (s & 0xFF) ? (s & 0xFF) : 256, &fixed)) {
            rc = ExchangeOnce(fixed, &part, &s);
            if (rc < 0) return rc;
        }
    }
    data->insert(data->end(), part.begin(), part.end());

    const uint8_t cla = GetResponseClass(apdu[0]);
    const uint32_t chunk = std::min<uint32_t>(GetMaxResponseLength(), 256);
    int emptyRounds = 0;
    while ((s >> 8) == 0x61 && !(flags & SC_TX_NO_GET_RESPONSE)) {
        const uint32_t avail = (s & 0xFF) ? (s & 0xFF) : 256;
        const uint32_t le = std::min(avail, chunk);
        std::vector<uint8_t> gr = {cla, 0xC0, 0x00, 0x00, static_cast<uint8_t>(le & 0xFF)};
        rc = ExchangeOnce(gr, &part, &s);
        if (rc < 0) return rc;
        if ((s >> 8) == 0x6C) {
            gr[4] = static_cast<uint8_t>(s & 0xFF);
            rc = ExchangeOnce(gr, &part, &s);
            if (rc < 0) return rc;
        }
        // A card that keeps announcing data and gives none would hold us forever.
        emptyRounds = part.empty() ? emptyRounds + 1 : 0;
        if (emptyRounds >= 2) return SC_E_TRANSMISSION_FAILED;
        if (data->size() + part.size() > SC_MAX_RESPONSE_DATA) return SC_E_TOO_MUCH_DATA;
        data->insert(data->end(), part.begin(), part.end());
    }
    *sw = s;
    return SC_OK;
}

SCRESULT SCReader::TransmitAPDU(const uint8_t* apdu, uint32_t apduLen, uint8_t* resp, uint32_t* respLen,
                                uint16_t* sw, uint32_t flags) {
    if (apdu == nullptr || respLen == nullptr || sw == nullptr || (resp == nullptr && *respLen != 0))
        return SC_E_BAD_PARAMS;
    std::vector<uint8_t> out;
    const SCRESULT rc = TransmitAPDU(std::vector<uint8_t>(apdu, apdu + apduLen), &out, sw, flags);
    if (rc < 0) return rc;
    if (out.size() > *respLen) {
        *respLen = static_cast<uint32_t>(out.size());
        return SC_E_INSUFFICIENT_BUFFER;
    }
    if (!out.empty()) std::memcpy(resp, out.data(), out.size());
    *respLen = static_cast<uint32_t>(out.size());
    return SC_OK;
}

SCRESULT SCReader::TransmitAPDU(const std::vector<uint8_t>& apdu, std::vector<uint8_t>* resp, uint16_t* sw,
                                uint32_t flags) {
    if (resp == nullptr || sw == nullptr) return SC_E_BAD_PARAMS;
    resp->clear();
    *sw = 0;
    m_answerLost = false;
    if (!m_bConnected) return SC_E_CARD_NOT_CONNECTED;
    // Nothing goes before the reset the card is owed.
    if (m_resetOwed) return m_owedFailure;
    ++m_commandCount;
    SCApduInfo info;
    if (!scParseApdu(apdu.data(), apdu.size(), &info)) return SC_E_BAD_PARAMS;
    if (info.lc > GetMaxSendLength()) return SC_E_TOO_MUCH_DATA;

    if (!LeavesCardAsItIs(apdu.data(), info)) ++m_changeCount;
    std::vector<uint8_t> cmd = apdu;
    SCSmCtx* ctx = (flags & SC_TX_NO_SM) ? nullptr : m_pSmCtx;
    if (ctx != nullptr && ctx->NeedsRestore()) {
        // The channel ended under us (card reset, an answer that did not
        // verify): nothing goes to the card unprotected. A context marked
        // established is set up again by its owner first; any other is refused.
        SCSmRestorer* owner = ctx->GetRestorer();
        if (!ctx->IsEstablished() || owner == nullptr) {
            scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s held back, the channel is lost",
                        HeaderText(apdu).text);
            return SC_E_SM_NOT_ESTABLISHED;
        }
        const SCRESULT rc = owner->RestoreSecureMessaging();
        // A card that refuses the channel answered the key agreement, not this
        // command: the command is held back as one without its channel is (its
        // status would otherwise read as the command's, a PIN not set for one).
        // A card gone, or no memory, is reported as it is.
        if (rc < 0 && !(scIsReadFailure(rc) && !scIsStatusWordResult(rc)) && rc != SC_E_NO_MEMORY &&
            rc != SC_E_CARD_NOT_CONNECTED) {
            scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s held back, the channel is not set up again",
                        HeaderText(apdu).text);
            return scResultFromStatus(0x6987);
        }
        if (rc < 0) return rc;
        // The owner may have dropped the context (ctx is then gone).
        if (m_pSmCtx != ctx || !ctx->IsActive()) return SC_E_SM_NOT_ESTABLISHED;
    }
    const bool sm = ctx != nullptr && ctx->IsActive();
    if (!sm && (flags & SC_TX_PROTECTED_ONLY)) {
        // What the card answers to a command without the secure messaging it
        // expects, answered here before the secret leaves in the clear.
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s held back, no channel to carry it",
                    HeaderText(apdu).text);
        return scResultFromStatus(0x6987);
    }
    if (sm) {
        std::vector<uint8_t> wrapped;
        const SCRESULT rc = ctx->WrapCommand(apdu.data(), apdu.size(), &wrapped);
        if (rc < 0) {
            char name[64];
            scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s not wrapped: %s", HeaderText(apdu).text,
                        ResultName(rc, name));
            return rc;
        }
        if (!scParseApdu(wrapped.data(), wrapped.size(), &info)) {
            ctx->LoseSession();
            return SC_E_BAD_PARAMS;
        }
        if (info.lc > GetWireSendLength()) {
            ctx->LoseSession();
            return SC_E_TOO_MUCH_DATA;
        }
        cmd.swap(wrapped);
    }

    if ((m_mode & SC_MODE_PROTO_MASK) == SC_MODE_PROTO_T0) {
        // T=0 carries short commands only, and a case 4 command goes without its Le
        // (the card announces its answer with 61xx).
        if (info.lc > 255 || (info.hasLe && info.le > 256)) return SC_E_TOO_MUCH_DATA;
        std::vector<uint8_t> t0 = cmd;
        if (info.apduCase == 4 && !scApduWithoutLe(cmd.data(), cmd.size(), &t0)) return SC_E_BAD_PARAMS;
        if (info.extended) {
            // Same command in short form.
            std::vector<uint8_t> s(cmd.begin(), cmd.begin() + 4);
            if (info.lc) {
                s.push_back(static_cast<uint8_t>(info.lc));
                s.insert(s.end(), cmd.begin() + info.dataOffset, cmd.begin() + info.dataOffset + info.lc);
            }
            if (info.apduCase == 2) s.push_back(static_cast<uint8_t>(info.le & 0xFF));
            t0.swap(s);
        }
        cmd.swap(t0);
    }

    std::vector<uint8_t> data;
    uint16_t s = 0;
    // The protected answer is fetched whole (61xx) before it is unwrapped; a
    // wrapped command is never sent twice (6Cxx reaches the unwrapping, which
    // refuses it as an unprotected answer).
    SCRESULT rc = ExchangeChained(
        cmd, sm ? ((flags & ~SC_TX_NO_GET_RESPONSE) | SC_TX_NO_LE_CORRECTION) : flags, &data, &s);
    if (rc < 0) {
        NoteCardGone(rc);
        m_answerLost = AnswerMayBeLost(rc);
        // The counters of the two sides are apart now.
        if (sm) {
            char name[64];
            scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s sent as %s, no answer: %s",
                        HeaderText(apdu).text, HeaderText(cmd).text, ResultName(rc, name));
            ctx->LoseSession();
        }
        return rc;
    }
    if (sm) {
        std::vector<uint8_t> plain;
        uint16_t plainSw = 0;
        rc = ctx->UnwrapResponse(data.data(), data.size(), s, &plain, &plainSw);
        std::fill(data.begin(), data.end(), 0);
        if (rc < 0) {
            m_answerLost = true;
            char name[64];
            scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s sent as %s, answer %04X refused: %s",
                        HeaderText(apdu).text, HeaderText(cmd).text, s, ResultName(rc, name));
            return rc;
        }
        scLogMasked(SC_LOG_SECURE_MESSAGING, "card: secure messaging: %s sent as %s, answer %04X unwrapped to %04X",
                    HeaderText(apdu).text, HeaderText(cmd).text, s, plainSw);
        data.swap(plain);
        s = plainSw;
    }
    resp->swap(data);
    *sw = s;
    return SC_OK;
}
