#include "smartcard/sc_card.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smctx.h"

namespace {

constexpr uint8_t kDescEf = 0x01;
constexpr uint8_t kDescDf = 0x38;
constexpr uint8_t kDescKey = 0x11;
constexpr uint8_t kDescPin = 0x21;

void PutU16(std::vector<uint8_t>* v, uint16_t x) {
    v->push_back(static_cast<uint8_t>(x >> 8));
    v->push_back(static_cast<uint8_t>(x));
}

void AppendByteTlv(std::vector<uint8_t>* v, uint32_t tag, uint8_t b) { scAppendTlv(v, tag, &b, 1); }

void AppendU16Tlv(std::vector<uint8_t>* v, uint32_t tag, uint16_t x) {
    const uint8_t b[] = {static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)};
    scAppendTlv(v, tag, b, 2);
}

// Bytes of a big-endian integer of the given bit length (leading zero bytes dropped).
bool AppendInteger(std::vector<uint8_t>* v, uint32_t tag, const uint8_t* p, uint32_t bits) {
    if (p == nullptr || bits == 0) return true;
    size_t n = (bits + 7) / 8;
    while (n > 1 && *p == 0) {
        ++p;
        --n;
    }
    if (n > 512) return false;
    scAppendTlv(v, tag, p, n);
    return true;
}

// Wipes a vector that carried a PIN or key.
void Wipe(std::vector<uint8_t>& v) {
    volatile uint8_t* p = v.data();
    for (size_t i = 0; i < v.size(); ++i) p[i] = 0;
    v.clear();
}

struct WipeOnExit {
    std::vector<uint8_t>& v;
    ~WipeOnExit() { Wipe(v); }
};

// Holds the reader's transaction for a card operation of several commands, so
// that no other application's command comes between them. Transactions nest.
class CardLock {
public:
    explicit CardLock(SCReader* reader)
        : m_reader(reader), m_rc(reader ? reader->BeginTransaction() : SC_E_CARD_NOT_CONNECTED) {}
    ~CardLock() {
        if (m_reader != nullptr && m_rc >= 0) m_reader->EndTransaction();
    }
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;
    SCRESULT Result() const { return m_rc; }

private:
    SCReader* m_reader;
    SCRESULT m_rc;
};

#define SC_LOCK_CARD()                          \
    CardLock cardLock_(m_pConnectedReader);     \
    if (cardLock_.Result() < 0) return cardLock_.Result()

uint32_t TextLength(const uint8_t* p, uint32_t len) {
    if (p == nullptr) return 0;
    return len == SC_UNSET ? static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(p))) : len;
}

// ---- card-layer log lines (see sc_log.h for the kinds)

// "3F00/5015/4401"; "-" for an empty path.
std::string PathText(const uint16_t* ids, size_t count) {
    if (ids == nullptr || count == 0) return "-";
    return SCPath(ids, count).Text();
}

std::string HexText(const uint8_t* p, size_t n) {
    std::string s;
    char octet[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(octet, sizeof octet, "%02X", p[i]);
        s += octet;
    }
    return s;
}

// A status word the card refused a command with, and the card result it becomes.
// The retry count that answers a VERIFY without data is the PIN's state, no refusal.
void LogCardResult(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, bool hasData, uint16_t sw) {
    if (sw == 0x9000 || (sw & 0xFF00) == 0x6100 || !scLogWants(SC_LOG_CARD_RESULTS)) return;
    if ((cla & 0xF0) == 0 && ins == 0x20 && !hasData && (sw & 0xFFF0) == 0x63C0) return;
    const SCRESULT r = SCCard::MapStatus(sw);
    char name[64], text[160];
    scLogMasked(SC_LOG_CARD_RESULTS, "card: %02X %02X %02X %02X answered %04X: %s (%s)", cla, ins, p1, p2, sw,
                scGetErrorName(r, name, sizeof name), scGetErrorMessage(r, text, sizeof text));
}

// What the answer to a PIN command says of the PIN; never its value. A query
// (VERIFY without data) reads a retry count as "not verified".
void LogPinState(uint32_t ref, const char* step, const char* done, uint16_t sw, bool query = false) {
    if (!scLogWants(SC_LOG_PIN_STATE)) return;
    char state[64];
    if (sw == 0x9000)
        std::snprintf(state, sizeof state, "%s", done);
    else if ((sw & 0xFFF0) == 0x63C0 && (sw & 0x0F) != 0)
        std::snprintf(state, sizeof state, "%s, %u tries left", query ? "not verified" : "wrong value", sw & 0x0Fu);
    else if (sw == 0x63C0 || sw == 0x6983)
        std::snprintf(state, sizeof state, "blocked");
    else if (sw == 0x6300)
        std::snprintf(state, sizeof state, "wrong value");
    else if (sw == 0x6984)
        std::snprintf(state, sizeof state, "not initialised");
    else if (sw == 0x6A88)
        std::snprintf(state, sizeof state, "no such PIN");
    else
        std::snprintf(state, sizeof state, "refused (%04X)", sw);
    scLogMasked(SC_LOG_PIN_STATE, "card: PIN %02X, %s: %s", ref, step, state);
}

// What a SELECT names, by its P1.
std::string SelectionTarget(uint8_t p1, const uint8_t* data, size_t len) {
    std::vector<uint16_t> ids;
    if (len % 2 == 0)
        for (size_t i = 0; i + 1 < len; i += 2) ids.push_back(static_cast<uint16_t>((data[i] << 8) | data[i + 1]));
    const bool one = ids.size() == 1;
    switch (p1) {
    case 0x00:
        if (one) return "file " + PathText(ids.data(), 1);
        break;
    case 0x01:
        if (one) return "child DF " + PathText(ids.data(), 1);
        break;
    case 0x02:
        if (one) return "child EF " + PathText(ids.data(), 1);
        break;
    case 0x03:
        return "parent DF";
    case 0x04:
        return "application " + HexText(data, len);
    case 0x08:
        if (!ids.empty()) {
            ids.insert(ids.begin(), SC_FID_MF);
            return "path " + PathText(ids.data(), ids.size());
        }
        break;
    case 0x09:
        if (!ids.empty()) return "path " + PathText(ids.data(), ids.size()) + " from the current DF";
        break;
    default:
        break;
    }
    char p[16];
    std::snprintf(p, sizeof p, "P1 %02X ", p1);
    return p + HexText(data, len);
}

// A selection, what it found and the DF the driver then takes as current.
void LogSelection(uint8_t p1, const uint8_t* data, size_t len, uint16_t sw, const SCFileHeader* found,
                  const SCPath& currentDf) {
    if (!scLogWants(SC_LOG_FILE_SELECTION)) return;
    std::string what;
    if (found != nullptr) {
        const uint16_t fid = found->GetFileId();
        const std::string id = found->HasFileId() ? " " + PathText(&fid, 1) : "";
        char size[32] = "";
        if (found->IsDf()) {
            what = ", DF" + id;
        } else if (found->IsKeyFile()) {
            what = ", key file" + id;
        } else {
            std::snprintf(size, sizeof size, " (%u bytes)", found->GetFileSize());
            what = (found->IsTransparentEf() ? ", EF" : ", file") + id + size;
        }
    }
    const std::string df = currentDf.Count() ? PathText(currentDf.Ids(), currentDf.Count()) : "unknown";
    scLogMasked(SC_LOG_FILE_SELECTION, "card: select %s -> %04X%s, current DF %s",
                SelectionTarget(p1, data, len).c_str(), sw, what.c_str(), df.c_str());
}

const char* EnvironmentName(uint8_t tmpl) {
    switch (tmpl) {
    case 0xB6: return "signing";
    case 0xB8: return "deciphering";
    case 0xA4: return "authentication";
    default: return "other use";
    }
}

}  // namespace

SCCard::SCCard(SCReader* reader) : m_pConnectedReader(reader) {
    if (reader != nullptr && reader->IsConnected()) {
        uint32_t len = sizeof m_atr;
        if (reader->GetATR(m_atr, &len) == SC_OK) m_atrLen = len;
    }
}

namespace {
// Notes of what calls left verified, over every card object of the process.
std::atomic<size_t> g_leftVerified{0};
// CallScopes open. The calls of the layer above take turns on the cards (its lock),
// and the readers' own threads send no PIN: a count for the process is enough, and
// keeps thread-local storage out of a library that hosts load and unload.
std::atomic<unsigned> g_callScopes{0};
}  // namespace

SCCard::CallScope::CallScope() { ++g_callScopes; }
SCCard::CallScope::~CallScope() { --g_callScopes; }
bool SCCard::CallScope::Active() { return g_callScopes.load() != 0; }

void SCCard::StartAfreshInChild() {
    g_leftVerified.store(0);
    g_callScopes.store(0);
}

SCCard::~SCCard() {
    // The reader passes no command through a context that is gone.
    if (m_smCtx && m_pConnectedReader != nullptr && m_pConnectedReader->GetSmCtx() == m_smCtx.get())
        m_pConnectedReader->SetSmCtx(nullptr);
    g_leftVerified -= m_leftVerified.size() + (m_leftReset ? 1 : 0);
}

// ------------------------------------------------------------------ transport

SCRESULT SCCard::MapStatus(uint16_t sw) {
    if (sw == 0x9000 || (sw & 0xFF00) == 0x6100) return SC_OK;
    if ((sw & 0xFFF0) == 0x63C0) return SC_E_VERIFY_FAILED;
    return scResultFromStatus(sw);
}

SCRESULT SCCard::Transmit(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const uint8_t* data, size_t len,
                          bool wantLe, std::vector<uint8_t>* resp, uint16_t* sw, uint32_t txFlags) {
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    if (data == nullptr && len != 0) return SC_E_BAD_PARAMS;
    // Every command that carries a PIN, PUK or key passes here, whoever sends it:
    // none goes in the clear to a card that offers the channel.
    const bool secret = ins == 0x20 || ins == 0x24 || ins == 0x2C || ins == 0xDA || ins == 0xDB;
    if (secret && len != 0 && (cla & 0x0C) == 0) txFlags |= SecretTxFlags();
    SC_LOCK_CARD();
    std::vector<uint8_t> sink;
    if (resp == nullptr) resp = &sink;
    uint16_t status = 0;
    if (sw == nullptr) sw = &status;
    size_t maxSend = m_pConnectedReader->GetMaxSendLength();
    if (maxSend == 0 || maxSend > 255) maxSend = 255;
    size_t off = 0;
    std::vector<uint8_t> apdu;
    WipeOnExit wipeApdu{apdu};
    ResetPoint point = MarkResetPoint();
    const bool change = ins == 0xE0 || ins == 0xE4 || ins == 0xD6 || ins == 0xD0 || ins == 0xD2 || ins == 0xDC ||
                        ins == 0xE2 || ins == 0xDA || ins == 0xDB || ins == 0x24 || ins == 0x2C || ins == 0x44 ||
                        ins == 0x04 || ins == 0xE6 || ins == 0xE8 || ins == 0xFE || ins == 0x46 || ins == 0x0E;
    for (;;) {
        const size_t part = std::min(len - off, maxSend);
        const bool last = off + part == len;
        apdu.assign({static_cast<uint8_t>(last ? cla : (cla | 0x10)), ins, p1, p2});
        if (part) {
            apdu.push_back(static_cast<uint8_t>(part));
            apdu.insert(apdu.end(), data + off, data + off + part);
        }
        if (last && wantLe) apdu.push_back(0x00);
        resp->clear();
        SCRESULT r = m_pConnectedReader->TransmitAPDU(apdu, resp, sw, txFlags);
        if (TakeUpReset(point, &r)) {
            // The command never reached the card: send the whole command again.
            off = 0;
            continue;
        }
        // It reached the card where the card answered, or where its answer may be lost.
        if (last && change && (r >= 0 || m_pConnectedReader->AnswerLost())) ++m_changes.sent;
        if (r < 0 && last && (ins == 0x20 || ins == 0x24 || ins == 0x2C) && (ins != 0x20 || (p1 == 0x00 && len != 0)) &&
            m_pConnectedReader->AnswerLost()) {
            // A PIN command whose answer cannot be read counts as carried out.
            char name[64];
            scLog("card: %02X %02X %02X %02X: the answer cannot be read (%s): taken as carried out", cla, ins, p1, p2,
                  scGetErrorName(r, name, sizeof name));
            NoteVerification(cla, ins, p1, p2, len, 0, true);
            return SC_E_COMM_FAILED;
        }
        if (r < 0) return r;
        off += part;
        if (!last && *sw != 0x9000) {
            LogCardResult(apdu[0], ins, p1, p2, true, *sw);
            return SC_OK;  // a refused part ends the chain
        }
        if (last) break;
    }
    if (change && (*sw == 0x9000 || (*sw & 0xFF00) == 0x6100)) ++m_changes.done;
    LogCardResult(cla, ins, p1, p2, len != 0, *sw);
    NoteVerification(cla, ins, p1, p2, len, *sw);
    return SC_OK;
}

void SCCard::NoteVerification(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, size_t len, uint16_t sw, bool lost) {
    if ((cla & 0x80) != 0) return;
    // VERIFY with a value, CHANGE REFERENCE DATA with the old value and RESET RETRY
    // COUNTER with an unblocking PIN check a secret; the others set or ask.
    const bool verify = ins == 0x20 && p1 == 0x00 && len != 0;
    const bool checks = verify || (ins == 0x24 && p1 == 0x00) || (ins == 0x2C && p1 <= 0x01);
    bool verified = false, unknown = lost;
    if (lost) {
        // The card may have taken a new value: the PIN's value is known no more.
        if (ins == 0x24 || (ins == 0x2C && (p1 == 0x00 || p1 == 0x02))) {
            PinAt set;
            set.ref = p2;
            if (!set.global()) set.df = m_curDf;
            m_uncertainValues.push_back(std::move(set));
        }
    } else if (sw == 0x9000) {
        verified = verify || ins == 0x24;
        unknown = ins == 0x2C && p1 <= 0x01;  // the card, not the PIN directory, picks the PIN it checked
    } else if (checks && !verify && (sw & 0xFFF0) != 0x63C0 && sw != 0x6983) {
        // The card may have checked the secret before it refused the rest; an
        // unblocking value alone refused for its length was compared with nothing.
        unknown = !(ins == 0x2C && p1 == 0x01 && sw == 0x6700);
    }
    if (!verified && !unknown) return;
    PinAt pin;
    pin.ref = p2;
    // A PIN is found from the DF the command was sent from; a global one from anywhere.
    if (!pin.global()) pin.df = m_curDf;
    if (verified && !pin.global() && pin.df.Count() == 0) unknown = true;
    if (!CallScope::Active()) unknown = true;  // no call's end will take the note
    const uint64_t session = m_pConnectedReader->GetCardSession();
    if (session != m_leftSession) {
        // A card reset since has forgotten what was noted before.
        g_leftVerified -= m_leftVerified.size() + (m_leftReset ? 1 : 0);
        m_leftVerified.clear();
        m_leftReset = false;
        m_leftSession = session;
    }
    if (unknown) {
        if (!m_leftReset) ++g_leftVerified;
        m_leftReset = true;
    } else if (std::none_of(m_leftVerified.begin(), m_leftVerified.end(),
                            [&](const PinAt& p) { return p.ref == pin.ref && p.df.IsEqual(pin.df); })) {
        m_leftVerified.push_back(std::move(pin));
        ++g_leftVerified;
    }
    if (CallScope::Active()) m_pConnectedReader->HoldForCall();
}

std::vector<SCCard::PinAt> SCCard::TakeUncertainValues() {
    std::vector<PinAt> taken;
    taken.swap(m_uncertainValues);
    return taken;
}

std::vector<SCCard::PinAt> SCCard::TakeLeftVerified(bool* mustReset) {
    std::vector<PinAt> taken;
    taken.swap(m_leftVerified);
    g_leftVerified -= taken.size() + (m_leftReset ? 1 : 0);
    *mustReset = m_leftReset;
    m_leftReset = false;
    // Noted before a reset (or with the card gone): the card forgot them already.
    if (m_pConnectedReader == nullptr || m_pConnectedReader->GetCardSession() != m_leftSession) {
        taken.clear();
        *mustReset = false;
    }
    return taken;
}

void SCCard::KeepLeftVerified(const PinAt& pin) {
    if (m_pConnectedReader == nullptr) return;
    m_leftSession = m_pConnectedReader->GetCardSession();
    if (std::any_of(m_leftVerified.begin(), m_leftVerified.end(),
                    [&](const PinAt& p) { return p.ref == pin.ref && p.df.IsEqual(pin.df); }))
        return;
    m_leftVerified.push_back(pin);
    ++g_leftVerified;
}

bool SCCard::MarkedForReset() const {
    return m_leftReset && m_pConnectedReader != nullptr && m_pConnectedReader->GetCardSession() == m_leftSession;
}

void SCCard::WithdrawResetMark() {
    if (!m_leftReset) return;
    m_leftReset = false;
    --g_leftVerified;
}

bool SCCard::HoldsLeftVerified() const {
    return (m_leftReset || !m_leftVerified.empty()) && m_pConnectedReader != nullptr &&
           m_pConnectedReader->GetCardSession() == m_leftSession;
}

bool SCCard::AnyLeftVerified() { return g_leftVerified.load() != 0; }

SCRESULT SCCard::ForgetVerification(const PinAt& pin) {
    if (pin.ref > 0xFF || (!pin.global() && pin.df.Count() == 0)) return SC_E_BAD_USAGE;
    SC_LOCK_CARD();
    if (!pin.global() && !pin.df.IsEqual(m_curDf)) {
        const SCRESULT r = SelectPath(pin.df.Ids(), pin.df.Count());
        if (r < 0) return r;
    }
    const SCRESULT r = ResetPinState(pin.ref);
    if (r >= 0 || !scIsStatusWordResult(r)) return r;
    // A refusal ("no such PIN" for one the call deleted since, a P1 the card does not
    // take) counts only where the card, asked now for the PIN's state from the same
    // DF, finds none to verify, or finds it unverified: what it showed earlier in the
    // call tells nothing of the PIN after this command.
    uint16_t sw = 0;
    const SCRESULT asked = Transmit(0x00, 0x20, 0x00, static_cast<uint8_t>(pin.ref), nullptr, 0, false, nullptr, &sw);
    if (asked < 0) return asked;
    LogPinState(pin.ref, "state", "verified", sw, true);
    if (sw == 0x6A88 || (sw & 0xFFF0) == 0x63C0 || sw == 0x6983) return SC_OK;
    return sw == 0x9000 ? r : MapStatus(sw);
}

SCRESULT SCCard::DoSelect(uint8_t p1, uint8_t p2, const uint8_t* data, size_t len, SCFileHeader** header,
                          SCFileHeader**) {
    if (data == nullptr && len != 0) return SC_E_BAD_PARAMS;
    if (header) *header = nullptr;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    SCRESULT r = Transmit(0x00, 0xA4, p1, static_cast<uint8_t>(p2 | 0x04), data, len, true, &resp, &sw);
    if (r < 0) return r;
    // A deactivated file (6283) is selected all the same, except by DF name.
    if (sw != 0x9000 && (sw & 0xFF00) != 0x6100 && (sw != 0x6283 || p1 == 0x04)) {
        LogSelection(p1, data, len, sw, nullptr, m_curDf);
        return scResultFromStatus(sw);
    }
    std::unique_ptr<SCFileHeader> h(NewHeader());
    const SCRESULT pr = resp.empty() ? SC_E_INVALID_DATA_FORMAT : h->Parse(resp.data(), resp.size());
    m_hasLastHeader = pr == SC_OK;
    if (m_hasLastHeader) m_lastHeader.Parse(resp.data(), resp.size());
    // Track the current DF.
    const bool isDf = m_hasLastHeader && h->IsDf();
    switch (p1) {
    case 0x00:
        if (len == 2 && data[0] == 0x3F && data[1] == 0x00) {
            m_curDf.Set(&SC_FID_MF, 1);
        } else if (isDf && len == 2) {
            const uint16_t fid = static_cast<uint16_t>((data[0] << 8) | data[1]);
            const size_t n = m_curDf.Count();
            if (n >= 2 && m_curDf[n - 2] == fid) {
                SCPath up(m_curDf.Ids(), n - 1);
                m_curDf = up;
            } else if (n == 0 || m_curDf[n - 1] != fid) {
                if (n) m_curDf.Append(fid);
            }
        } else if (!m_hasLastHeader) {
            m_curDf.Clear();
        }
        break;
    case 0x01:
        if (len == 2 && m_curDf.Count()) m_curDf.Append(static_cast<uint16_t>((data[0] << 8) | data[1]));
        break;
    case 0x03:
        if (m_curDf.Count() > 1) {
            SCPath up(m_curDf.Ids(), m_curDf.Count() - 1);
            m_curDf = up;
        }
        break;
    case 0x04:
        if (isDf && h->HasFileId() && h->GetFileId() == SC_FID_MF) m_curDf.Set(&SC_FID_MF, 1);
        else m_curDf.Clear();
        break;
    case 0x08:
    case 0x09: {
        SCPath p;
        if (p1 == 0x08 || m_curDf.Count() == 0) {
            if (p1 == 0x09) {
                m_curDf.Clear();
                break;
            }
            p.Append(SC_FID_MF);
        } else {
            p = m_curDf;
        }
        const size_t ids = len / 2 - (isDf ? 0 : 1);
        for (size_t i = 0; i < ids; ++i) p.Append(static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]));
        m_curDf = p;
        break;
    }
    default:
        break;
    }
    LogSelection(p1, data, len, sw, m_hasLastHeader ? h.get() : nullptr, m_curDf);
    if (header) {
        if (pr != SC_OK) return pr;
        *header = h.release();
    }
    return SC_OK;
}

uint8_t SCCard::LifeCycleByte(uint32_t state) {
    switch (state) {
    case SC_LCS_CREATION: return 0x01;
    case SC_LCS_INITIALISATION: return 0x03;
    case SC_LCS_ACTIVATED: return 0x05;
    case SC_LCS_DEACTIVATED: return 0x04;
    case SC_LCS_TERMINATED: return 0x0C;
    default: return 0;
    }
}

// ------------------------------------------------------------------ information

void SCCard::FillBaseInfo(SCCardInfo* info) const {
    info->minPinLen = 4;
    info->maxPinLen = 8;
    info->padChar = 0xFF;
    info->erasedValue = 0xFF;
    info->flags = SC_CARDINFO_WRITABLE | SC_CARDINFO_HAS_RNG;
    info->rsaCaps = SC_RSA_CAP_GENERATE | SC_RSA_CAP_IMPORT | SC_RSA_CAP_SIGN | SC_RSA_CAP_DECRYPT |
                    SC_RSA_CAP_PKCS1 | SC_RSA_CAP_RAW | SC_RSA_CAP_PUB_FROM_PRIVATE;
    info->rsaMinBits = 512;
    info->rsaMaxBits = 4096;
    info->pinCaps = SC_PIN_CAP_ACCESS_RULES | SC_PIN_CAP_PADDED;
    info->profile = GetCardType();
    info->cardFamily = GetCardType();
    info->issuerCode = 0;
}

SCRESULT SCCard::GetCardInfo(SCCardInfo* info) {
    if (info == nullptr) return SC_E_BAD_PARAMS;
    std::memset(info, 0, sizeof *info);
    info->cardFamily = SC_CARD_TYPE_GENERIC;
    info->issuerCode = SC_UNSET;
    return SC_OK;
}

uint32_t SCCard::GetCardType(uint32_t, uint32_t) const { return SC_CARD_TYPE_GENERIC; }

uint32_t SCCard::GetCardState() {
    const SCRESULT r = GetLifeCycleState();
    return r == SC_LCS_INITIALISATION || r == SC_LCS_CREATION ? 2u : 3u;
}

SCRESULT SCCard::GetLifeCycleState() {
    SC_LOCK_CARD();
    SCFileHeader* h = nullptr;
    const SCRESULT r = SelectMf(&h);
    if (r < 0) return r;
    const SCRESULT state = h->GetLifeCycleState();
    SCFileHeader::SafeRelease(h);
    return state;
}

int64_t SCCard::GetCardCapacity() {
    // Only what the card is sent changes its free memory (other applications
    // aside): while the reader exchanged nothing since, the last answer stands.
    if (m_capacityKnown && m_pConnectedReader != nullptr && m_pConnectedReader->GetChangeCount() == m_capacityAt)
        return m_capacity;
    SC_LOCK_CARD();
    SCFileHeader* h = nullptr;
    if (SelectMf(&h) < 0) return -1;
    const int64_t free = h->GetFreeSpace() ? static_cast<int64_t>(h->GetFreeSpace()) : -1;
    SCFileHeader::SafeRelease(h);
    m_capacity = free;
    m_capacityKnown = m_pConnectedReader != nullptr;
    if (m_capacityKnown) m_capacityAt = m_pConnectedReader->GetChangeCount();
    return free;
}

SCRESULT SCCard::CheckCardState() {
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    return m_pConnectedReader->CheckCardState();
}

SCRESULT SCCard::ResetCard() {
    if (m_pConnectedReader == nullptr) return SC_E_NO_SMARTCARD;
    // The reader tells the card (AfterCardReset) once the card is back.
    return m_pConnectedReader->ResetCard();
}

SCCard::ResetPoint SCCard::MarkResetPoint() const {
    ResetPoint p;
    p.first = m_pConnectedReader != nullptr && m_pConnectedReader->HoldIsUntouched();
    p.armed = (m_writeDepth > 0 || p.first) && !m_recovering;
    if (p.armed) {
        p.df = m_curDf;
        if (m_hasLastHeader && !m_lastHeader.IsDf() && m_lastHeader.HasFileId()) p.ef = m_lastHeader.GetFileId();
    }
    return p;
}

bool SCCard::TakeUpReset(ResetPoint& point, SCRESULT* r) {
    if (*r != SC_E_CARD_WAS_RESET || !point.armed || point.used) return false;
    point.used = true;
    *r = RecoverFromReset(point.df, point.ef);
    if (*r < 0) return false;
    // Outside a write, a first command lost nothing the transaction had read:
    // what it was planned on was read before, as it would be without the reset.
    if (m_plannedDepth > 0 && !(point.first && m_writeDepth == 0)) {
        *r = SC_E_CARD_WAS_RESET;
        return false;
    }
    return true;
}

SCRESULT SCCard::RecoverFromReset(const SCPath& df, uint16_t ef) {
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    m_recovering = true;
    SCRESULT r = m_pConnectedReader->Reconnect(0);
    if (r >= 0 && m_restorer != nullptr) r = m_restorer(m_restorerCtx);
    // An EF is selected again only inside its own DF: in another it might name another file.
    if (r >= 0 && df.Count() > 0) r = SelectPath(df.Ids(), df.Count(), nullptr);
    if (r >= 0 && df.Count() > 0 && ef != 0) r = SelectChildEf(ef, nullptr);
    m_recovering = false;
    return r < 0 ? r : SC_OK;
}

void SCCard::AfterCardReset() {
    m_curDf.Clear();
    m_hasLastHeader = false;
    m_verifiedPins.clear();
}

void SCCard::GetVerifiedPins(SCValueSet* conditions) const {
    for (uint8_t ref : m_verifiedPins) (void)conditions->Add(static_cast<uint16_t>(0xC000 | ref));
}

SCRESULT SCCard::GetSerialNumber(uint8_t* buffer, uint32_t capacity) {
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xCA, 0x00, 0x5A, nullptr, 0, true, &resp, &sw);
    if (r < 0) return r;
    if (sw == 0x6A88 || sw == 0x6A81 || sw == 0x6D00 || sw == 0x6E00) return SC_E_UNSUPPORTED_FEATURE;
    if (sw != 0x9000) return MapStatus(sw);
    // A serial number in a 5A element is unwrapped.
    SCTlv t;
    size_t pos = 0;
    const uint8_t* p = resp.data();
    size_t n = resp.size();
    if (n > 2 && resp[0] == 0x5A && scReadTlv(resp.data(), resp.size(), &pos, &t) && pos == resp.size()) {
        p = t.value;
        n = t.length;
    }
    if (n == 0) return SC_E_UNSUPPORTED_FEATURE;
    if (buffer == nullptr || capacity < n) return SC_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, p, n);
    return static_cast<SCRESULT>(n);
}

SCRESULT SCCard::GetRandom(uint8_t* out, uint32_t len) {
    if (out == nullptr && len) return SC_E_BAD_PARAMS;
    SC_LOCK_CARD();
    uint32_t done = 0;
    while (done < len) {
        const uint32_t part = std::min<uint32_t>(len - done, 128);
        std::vector<uint8_t> resp;
        uint16_t sw = 0;
        const uint8_t apdu[] = {0x00, 0x84, 0x00, 0x00, static_cast<uint8_t>(part)};
        if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
        const SCRESULT r = m_pConnectedReader->TransmitAPDU(std::vector<uint8_t>(apdu, apdu + 5), &resp, &sw);
        if (r < 0) return r;
        if (sw == 0x6D00 || sw == 0x6E00) return SC_E_UNSUPPORTED_FEATURE;
        if (sw != 0x9000) return MapStatus(sw);
        if (resp.size() != part) return SC_E_INCONSISTENT_DATA;
        std::memcpy(out + done, resp.data(), part);
        done += part;
    }
    return SC_OK;
}

SCRESULT SCCard::TerminateCard() {
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xFE, 0x00, 0x00, nullptr, 0, false, nullptr, &sw);
    return r < 0 ? r : MapStatus(sw);
}

SCRESULT SCCard::ActivateCard() {
    SCRESULT r = SelectMf(nullptr);
    if (r < 0) return r;
    uint16_t sw = 0;
    r = Transmit(0x00, 0x44, 0x00, 0x00, nullptr, 0, false, nullptr, &sw);
    return r < 0 ? r : MapStatus(sw);
}


// ------------------------------------------------------------------ selection

SCRESULT SCCard::SelectMf(SCFileHeader** header) {
    const uint8_t mf[] = {0x3F, 0x00};
    return DoSelect(0x00, 0x00, mf, 2, header);
}

SCRESULT SCCard::SelectFileById(uint16_t fid, SCFileHeader** header) {
    if (fid == 0 || fid == SC_FID_MF) return SelectMf(header);
    const uint8_t d[] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    return DoSelect(0x00, 0x00, d, 2, header);
}

SCRESULT SCCard::SelectPath(const uint16_t* ids, size_t count, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (ids == nullptr && count) return SC_E_BAD_PARAMS;
    if (count == 0 || (count == 1 && ids[0] == SC_FID_MF)) return SelectMf(header);
    const bool absolute = ids[0] == SC_FID_MF;
    std::vector<uint8_t> d;
    for (size_t i = absolute ? 1 : 0; i < count; ++i) PutU16(&d, ids[i]);
    if (d.size() > 255) return SC_E_BAD_PARAMS;
    return DoSelect(absolute ? 0x08 : 0x09, 0x00, d.data(), d.size(), header);
}

SCRESULT SCCard::SelectPathThunk(const uint16_t* ids, size_t count, uint32_t) {
    return SelectPath(ids, count, nullptr);
}

SCRESULT SCCard::SelectQualifiedPath(const uint16_t* ids, size_t count, SCFileHeader** header) {
    return SelectPath(ids, count, header);
}

SCRESULT SCCard::SelectByAid(const uint8_t* aid, size_t len, uint32_t occurrence, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (aid == nullptr || len == 0) return SC_E_BAD_PARAMS;
    if (len > 16) return SC_E_AID_TOO_LONG;
    return DoSelect(0x04, occurrence == 2 ? 0x02 : 0x00, aid, len, header);
}

SCRESULT SCCard::SelectChildEf(uint16_t fid, SCFileHeader** header) {
    const uint8_t d[] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    return DoSelect(0x02, 0x00, d, 2, header);
}

SCRESULT SCCard::SelectParent() { return DoSelect(0x03, 0x00, nullptr, 0, nullptr); }

SCRESULT SCCard::SelectApplet() { return SC_E_UNSUPPORTED_FEATURE; }

SCRESULT SCCard::SelectIssuerSecurityDomain() { return SC_E_UNSUPPORTED_FEATURE; }

// ------------------------------------------------------------------ binary files

SCRESULT SCCard::ReadBinary(uint32_t offset, uint8_t* buffer, uint32_t count) {
    if (buffer == nullptr && count) return SC_E_BAD_PARAMS;
    if (offset > 0x7FFF || count > 0x8000 - offset) return SC_E_INVALID_FILE_OFFSET;
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    SC_LOCK_CARD();
    uint32_t chunkMax = m_pConnectedReader->GetMaxResponseLength();
    if (chunkMax == 0 || chunkMax > 256) chunkMax = 256;
    // A read inside a write goes on after a reset as the write's other commands do
    // (see Transmit): the card taken back, the file selected again, the part read again.
    ResetPoint point = MarkResetPoint();
    uint32_t done = 0;
    while (done < count) {
        const uint32_t part = std::min(count - done, chunkMax);
        const uint32_t off = offset + done;
        const uint8_t apdu[] = {0x00, 0xB0, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off),
                                static_cast<uint8_t>(part & 0xFF)};
        std::vector<uint8_t> resp;
        uint16_t sw = 0;
        SCRESULT r = m_pConnectedReader->TransmitAPDU(std::vector<uint8_t>(apdu, apdu + 5), &resp, &sw);
        if (TakeUpReset(point, &r)) continue;
        if (r < 0) return r;
        if (sw == 0x6B00 && done > 0) break;   // the end of the file
        if (sw != 0x9000 && sw != 0x6282) return MapStatus(sw);
        if (resp.size() > part) return SC_E_INCONSISTENT_DATA;
        std::memcpy(buffer + done, resp.data(), resp.size());
        done += static_cast<uint32_t>(resp.size());
        if (resp.size() < part || sw == 0x6282) break;
    }
    return static_cast<SCRESULT>(done);
}

SCRESULT SCCard::ReadBinaryFromStart(uint8_t* buffer, uint32_t count) { return ReadBinary(0, buffer, count); }

SCRESULT SCCard::UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t count) {
    if (data == nullptr && count) return SC_E_BAD_PARAMS;
    if (offset > 0x7FFF || count > 0x8000 - offset) return SC_E_INVALID_FILE_OFFSET;
    if (m_pConnectedReader == nullptr) return SC_E_CARD_NOT_CONNECTED;
    SC_LOCK_CARD();
    uint32_t chunkMax = m_pConnectedReader->GetMaxSendLength();
    if (chunkMax == 0 || chunkMax > 255) chunkMax = 255;
    uint32_t done = 0;
    while (done < count) {
        const uint32_t part = std::min(count - done, chunkMax);
        const uint32_t off = offset + done;
        uint16_t sw = 0;
        const SCRESULT r = Transmit(0x00, 0xD6, static_cast<uint8_t>(off >> 8), static_cast<uint8_t>(off),
                                    data + done, part, false, nullptr, &sw);
        if (r < 0) return r;
        if (sw == 0x6A84) return SC_E_FILE_TOO_SMALL;
        if (sw != 0x9000) return MapStatus(sw);
        done += part;
    }
    return SC_OK;
}

SCRESULT SCCard::UpdateBinaryFromStart(const uint8_t* data, uint32_t count) { return UpdateBinary(0, data, count); }

SCRESULT SCCard::EraseBinaryAll() {
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x0E, 0x00, 0x00, nullptr, 0, false, nullptr, &sw);
    if (r < 0) return r;
    if (sw == 0x6700 || sw == 0x6D00) return SC_E_UNSUPPORTED_FEATURE;
    return MapStatus(sw);
}

// ------------------------------------------------------------------ creation and deletion

SCRESULT SCCard::CreateFromFcp(const std::vector<uint8_t>& body, SCFileHeader** header, uint32_t txFlags) {
    if (header) *header = nullptr;
    std::vector<uint8_t> fcp;
    scAppendTlv(&fcp, 0x62, body.data(), body.size());
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xE0, 0x00, 0x00, fcp.data(), fcp.size(), false, nullptr, &sw, txFlags);
    if (r < 0) return r;
    if (sw == 0x6A84) return SC_E_NO_SPACE_ON_CARD;
    if (sw != 0x9000) return MapStatus(sw);
    std::unique_ptr<SCFileHeader> h(NewHeader());
    if (h->Parse(fcp.data(), fcp.size()) == SC_OK) {
        m_lastHeader.Parse(fcp.data(), fcp.size());
        m_hasLastHeader = true;
        if (h->IsDf() && m_curDf.Count()) m_curDf.Append(h->GetFileId());
    }
    if (header) *header = h.release();
    return SC_OK;
}

SCRESULT SCCard::CreateFile(uint32_t size, uint16_t fid, uint32_t lifeCycle, uint32_t accessTemplate,
                            const SCFileHeaderList& refs, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (size > 0x7FFF) return SC_E_FILE_SIZE_REFUSED;
    if (fid == 0 || fid == SC_FID_MF || fid == 0x3FFF || fid == 0xFFFF) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> body;
    AppendU16Tlv(&body, 0x80, static_cast<uint16_t>(size));
    AppendByteTlv(&body, 0x82, kDescEf);
    AppendU16Tlv(&body, 0x83, fid);
    if (const uint8_t lcs = LifeCycleByte(lifeCycle)) AppendByteTlv(&body, 0x8A, lcs);
    if (accessTemplate != SC_UNSET) {
        const std::vector<uint8_t> rules = scBuildAccessRules(accessTemplate, kDescEf, &refs);
        scAppendTlv(&body, 0xAB, rules.data(), rules.size());
    }
    return CreateFromFcp(body, header);
}

SCRESULT SCCard::CreateBinaryFile(uint16_t fid, uint32_t size, uint32_t) {
    if (size > 0x7FFF) return SC_E_FILE_SIZE_REFUSED;
    if (fid == 0 || fid == SC_FID_MF || fid == 0x3FFF || fid == 0xFFFF) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> body;
    AppendU16Tlv(&body, 0x80, static_cast<uint16_t>(size));
    AppendByteTlv(&body, 0x82, kDescEf);
    AppendU16Tlv(&body, 0x83, fid);
    AppendByteTlv(&body, 0x8A, 0x05);
    // Changed and deleted under the PIN or key that may create in the DF; where
    // anyone may, or the DF shows no rule, by no one: the file is never anyone's.
    uint16_t cond = SC_AC_NEVER;
    if (m_hasLastHeader && m_lastHeader.IsDf() && m_lastHeader.HasAccessRules()) {
        SCAccessRequest create;
        create.operation = SC_AC_OP_CREATE_EF;
        if (m_lastHeader.GetAccessRefs(&create, nullptr) == SC_OK && create.refs.Count() > 0 &&
            create.refs.At(0) != SC_AC_ALWAYS)
            cond = create.refs.At(0);
    }
    std::vector<uint8_t> rules;
    AppendByteTlv(&rules, 0x80, 0x01);
    scAppendTlv(&rules, 0x90, nullptr, 0);
    AppendByteTlv(&rules, 0x80, 0x7E);
    if (cond == SC_AC_NEVER) {
        scAppendTlv(&rules, 0x97, nullptr, 0);
    } else {
        const uint8_t crt[] = {0x83, 0x01, static_cast<uint8_t>(cond & 0xFF), 0x95, 0x01,
                               static_cast<uint8_t>((cond & 0xC000) == SC_AC_PIN ? 0x08 : 0x80)};
        scAppendTlv(&rules, 0xA4, crt, sizeof crt);
    }
    scAppendTlv(&body, 0xAB, rules.data(), rules.size());
    return CreateFromFcp(body, nullptr);
}

SCRESULT SCCard::CreateDf(uint32_t access, uint16_t fid, const uint8_t* dfName, size_t nameLen, uint32_t,
                          uint32_t flags, const SCFileHeaderList* refs, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (dfName == nullptr && nameLen) return SC_E_BAD_PARAMS;
    if (nameLen > 16) return SC_E_AID_TOO_LONG;
    if (fid == 0 || fid == SC_FID_MF || fid == 0x3FFF || fid == 0xFFFF) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> body;
    AppendByteTlv(&body, 0x82, kDescDf);
    AppendU16Tlv(&body, 0x83, fid);
    if (nameLen) scAppendTlv(&body, 0x84, dfName, nameLen);
    AppendByteTlv(&body, 0x8A, 0x05);
    if (access != 0 && refs != nullptr) {
        // access names the access-mode bits that are guarded (127: all); the rest
        // are always allowed. A user directory lets the user PIN create files
        // inside; every other administration needs the SO PIN or the system key.
        uint32_t tmpl = 0x8A00 | 0xA000;
        if (flags & 0x4) tmpl |= 0x0020;
        const std::vector<uint8_t> rules =
            scBuildAccessRules(tmpl, kDescDf, refs, static_cast<uint8_t>(~access & 0x7F));
        scAppendTlv(&body, 0xAB, rules.data(), rules.size());
    }
    return CreateFromFcp(body, header);
}

SCRESULT SCCard::DeleteFile(uint16_t fid) {
    uint8_t d[2] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    const size_t len = fid == 0xFFFF ? 0 : 2;
    uint16_t sw = 0;
    SCRESULT r = Transmit(0x00, 0xE4, 0x00, 0x00, len ? d : nullptr, len, false, nullptr, &sw);
    if (r < 0) return r;
    if (sw == 0x6B00) {
        r = Transmit(0x00, 0xE4, 0x02, 0x00, len ? d : nullptr, len, false, nullptr, &sw);
        if (r < 0) return r;
    }
    if (sw == 0x6700) return SC_E_UNSUPPORTED_FEATURE;
    if (sw == 0x9000) m_hasLastHeader = false;
    return MapStatus(sw);
}

SCRESULT SCCard::DeleteFileById(uint16_t fid, const SCPath& parent) {
    const SCRESULT r = SelectPath(parent.Ids(), parent.Count(), nullptr);
    if (r < 0) return r;
    return DeleteFileById(fid);
}

SCRESULT SCCard::DeleteFileById(uint16_t fid) {
    SC_LOCK_CARD();
    const SCPath df = m_curDf;
    const SCRESULT r = DeleteFile(fid);
    if (r == SC_E_CONDITIONS_NOT_SATISFIED) {
        // 6985 for a DF means it still holds files.
        SCFileHeader* h = nullptr;
        if (SelectFileById(fid, &h) >= 0) {
            const bool isDf = h->IsDf();
            SCFileHeader::SafeRelease(h);
            if (df.Count()) SelectPath(df.Ids(), df.Count(), nullptr);
            if (isDf) return SC_E_DIR_NOT_EMPTY;
        }
    }
    return r;
}

SCRESULT SCCard::DeleteDfTree(uint16_t fid, const SCFileHeaderList&, const uint16_t* lists, size_t count,
                              uint32_t mask) {
    if (lists == nullptr && count) return SC_E_BAD_PARAMS;
    SC_LOCK_CARD();
    SCPath parent = m_curDf;
    SCRESULT r = SelectFileById(fid, nullptr);
    if (r < 0) return r;
    const SCPath df = m_curDf;
    if (df.Count() == 0) return SC_E_FILE_STATUS_UNKNOWN;
    // Deepest entries first, so that directories are empty when their turn comes.
    std::vector<std::vector<uint16_t>> entries;
    size_t pos = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t n = lists[pos];
        if (n == 0) return SC_E_BAD_PARAMS;
        if (i < 32 && !(mask & (1u << i))) {
            pos += 1 + n;
            continue;
        }
        entries.emplace_back(lists + pos + 1, lists + pos + 1 + n);
        pos += 1 + n;
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) { return a.size() > b.size(); });
    for (const auto& e : entries) {
        SCPath dir = df;
        for (size_t i = 0; i + 1 < e.size(); ++i) dir.Append(e[i]);
        r = SelectPath(dir.Ids(), dir.Count(), nullptr);
        if (r == SC_E_FILE_NOT_FOUND) continue;
        if (r < 0) return r;
        r = DeleteFile(e.back());
        if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
    }
    // Then the directories on the entries' paths, deepest first (a directory
    // that still holds other files stays; the DF's own deletion then says so).
    std::vector<std::vector<uint16_t>> dirs;
    for (const auto& e : entries)
        for (size_t n = e.size() - 1; n > 0; --n) {
            std::vector<uint16_t> d(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(n));
            if (std::find(dirs.begin(), dirs.end(), d) == dirs.end()) dirs.push_back(d);
        }
    std::stable_sort(dirs.begin(), dirs.end(),
                     [](const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) { return a.size() > b.size(); });
    for (const auto& d : dirs) {
        SCPath dir = df;
        for (size_t i = 0; i + 1 < d.size(); ++i) dir.Append(d[i]);
        r = SelectPath(dir.Ids(), dir.Count(), nullptr);
        if (r == SC_E_FILE_NOT_FOUND) continue;
        if (r < 0) return r;
        r = DeleteFile(d.back());
        if (r < 0 && r != SC_E_FILE_NOT_FOUND && r != SC_E_CONDITIONS_NOT_SATISFIED && r != SC_E_DIR_NOT_EMPTY) return r;
    }
    if (parent.Count() == 0) {
        parent = df;
        SCPath up(parent.Ids(), parent.Count() - 1);
        parent = up;
    }
    r = SelectPath(parent.Ids(), parent.Count(), nullptr);
    if (r < 0) return r;
    r = DeleteFile(fid);
    if (r == SC_E_CONDITIONS_NOT_SATISFIED) return SC_E_DIR_NOT_EMPTY;
    return r;
}

SCRESULT SCCard::FindFreeFileId(const uint16_t* parent, size_t count, uint16_t first) {
    SC_LOCK_CARD();
    if (parent != nullptr) {
        const SCRESULT r = SelectPath(parent, count, nullptr);
        if (r < 0) return r;
    }
    const SCPath df = m_curDf;
    uint32_t fid = first < 0x0100 || first > 0xEFFF ? 0x0100 : first;
    for (; fid <= 0xEFFF; ++fid) {
        if (fid == SC_FID_MF || fid == 0x2F00) continue;
        if (df.Count() && fid == df[df.Count() - 1]) continue;
        const uint8_t d[] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
        uint16_t sw = 0;
        std::vector<uint8_t> resp;
        SCRESULT r = Transmit(0x00, 0xA4, 0x00, 0x04, d, 2, true, &resp, &sw);
        if (r < 0) return r;
        if (sw == 0x6A82) {
            m_curDf = df;
            return static_cast<SCRESULT>(fid);
        }
        if (sw != 0x9000 && sw != 0x6283 && (sw & 0xFF00) != 0x6100) return MapStatus(sw);
        // The identifier is used. A DF that was entered is left again: by its
        // path when the current DF is known, else by selecting the parent.
        SCFileHeader h;
        const bool enteredDf = h.Parse(resp.data(), resp.size()) == SC_OK && h.IsDf();
        if (!enteredDf) continue;
        r = df.Count() ? SelectPath(df.Ids(), df.Count(), nullptr) : SelectParent();
        if (r < 0) return r;
        m_curDf = df;
    }
    return SC_E_NO_SPACE_ON_CARD;
}

SCRESULT SCCard::CreateFileLike(const SCFileHeader& like, uint16_t fid, uint32_t size, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (size > 0x7FFF) return SC_E_FILE_SIZE_REFUSED;
    if (fid == 0 || fid == SC_FID_MF || fid == 0x3FFF || fid == 0xFFFF) return SC_E_BAD_PARAMS;
    if (!like.IsTransparentEf()) return SC_E_INVALID_FILE_TYPE;
    if (!like.HasAccessRules() && !like.HasFileId()) return SC_E_UNSUPPORTED_FEATURE;
    // The other file's header with this size and identifier.
    std::vector<uint8_t> body;
    AppendU16Tlv(&body, 0x80, static_cast<uint16_t>(size));
    AppendByteTlv(&body, 0x82, kDescEf);
    AppendU16Tlv(&body, 0x83, fid);
    SCTlv top, t;
    const std::vector<uint8_t>& raw = like.GetRaw();
    size_t pos = 0;
    if (scReadTlv(raw.data(), raw.size(), &pos, &top)) {
        if (top.tag == 0x6F && scFindTlv(top.value, top.length, 0x62, &t)) top = t;
        size_t p = 0;
        while (p < top.length && scReadTlv(top.value, top.length, &p, &t))
            if (t.tag == 0x8A || t.tag == 0xAB || t.tag == 0xA5) scAppendTlv(&body, t.tag, t.value, t.length);
    }
    return CreateFromFcp(body, header);
}

SCRESULT SCCard::ResizeFile(uint16_t fid, uint32_t newSize, SCFileHeader** header) {
    if (header) *header = nullptr;
    if (newSize > 0x7FFF) return SC_E_FILE_SIZE_REFUSED;
    SC_LOCK_CARD();
    const SCPath df = m_curDf;
    SCFileHeader* old = nullptr;
    SCRESULT r = SelectFileById(fid, &old);
    if (r == SC_E_INVALID_DATA_FORMAT) return SC_E_UNSUPPORTED_FEATURE;
    if (r < 0) return r;
    std::unique_ptr<SCFileHeader> oldHeader(old);
    if (!old->IsTransparentEf()) return SC_E_INVALID_FILE_TYPE;
    if (!old->HasAccessRules() && !old->HasFileId()) return SC_E_UNSUPPORTED_FEATURE;
    const uint32_t oldSize = old->GetFileSize();
    // Keep the contents that fit, so that the file is recreated with them.
    std::vector<uint8_t> keep(std::min(oldSize, newSize));
    WipeOnExit wipeKeep{keep};
    if (!keep.empty()) {
        r = ReadBinary(0, keep.data(), static_cast<uint32_t>(keep.size()));
        if (r < 0) return r;
        keep.resize(static_cast<size_t>(r));
    }
    // The free memory is read from the MF: only when the way back to the current
    // DF is known (otherwise the card's own answer to the creation decides).
    if (newSize > oldSize && df.Count()) {
        const int64_t free = GetCardCapacity();
        if (free >= 0 && static_cast<int64_t>(newSize - oldSize) > free) {
            SelectPath(df.Ids(), df.Count(), nullptr);
            return SC_E_NO_SPACE_ON_CARD;
        }
    }
    if (df.Count()) {
        r = SelectPath(df.Ids(), df.Count(), nullptr);
        if (r < 0) return r;
    }
    r = DeleteFile(fid);
    if (r < 0) return r;
    // The same header with the new size.
    std::vector<uint8_t> body;
    AppendU16Tlv(&body, 0x80, static_cast<uint16_t>(newSize));
    SCTlv top, t;
    const std::vector<uint8_t>& raw = old->GetRaw();
    size_t pos = 0;
    if (scReadTlv(raw.data(), raw.size(), &pos, &top)) {
        if (top.tag == 0x6F && scFindTlv(top.value, top.length, 0x62, &t)) top = t;
        size_t p = 0;
        while (p < top.length && scReadTlv(top.value, top.length, &p, &t))
            if (t.tag == 0x82 || t.tag == 0x83 || t.tag == 0x8A || t.tag == 0xAB || t.tag == 0xA5)
                scAppendTlv(&body, t.tag, t.value, t.length);
    }
    r = CreateFromFcp(body, header);
    if (r < 0) {
        // Put the old file back as it was.
        std::vector<uint8_t> back;
        AppendU16Tlv(&back, 0x80, static_cast<uint16_t>(oldSize));
        back.insert(back.end(), body.begin() + 4, body.end());
        if (CreateFromFcp(back, nullptr) >= 0 && !keep.empty()) UpdateBinary(0, keep.data(), static_cast<uint32_t>(keep.size()));
        return r;
    }
    if (!keep.empty()) {
        const SCRESULT w = UpdateBinary(0, keep.data(), static_cast<uint32_t>(keep.size()));
        if (w < 0) return w;
    }
    return SC_OK;
}

SCRESULT SCCard::GetSelectedAccessRules(SCAccessRequest* requests, size_t requestCount) {
    if (requests == nullptr && requestCount) return SC_E_BAD_PARAMS;
    if (!m_hasLastHeader) return SC_E_UNSUPPORTED_FEATURE;
    for (size_t i = 0; i < requestCount; ++i) {
        const SCRESULT r = m_lastHeader.GetAccessRefs(&requests[i], nullptr);
        if (r < 0) return r;
    }
    return SC_OK;
}

SCRESULT SCCard::GetAccessRules(const uint16_t* path, size_t count, SCAccessRequest* requests, size_t requestCount,
                                SCFileHeader** cached, size_t cachedCount, bool keepHeader, const SCFileHeaderList*) {
    if ((path == nullptr && count) || (requests == nullptr && requestCount)) return SC_E_BAD_PARAMS;
    if (count && path[0] != SC_FID_MF) return SC_E_BAD_USAGE;
    SC_LOCK_CARD();
    SCFileHeader* file = cachedCount > 0 && cached ? cached[0] : nullptr;
    SCFileHeader* parent = cachedCount > 1 && cached ? cached[1] : nullptr;
    if (file == SCFileHeader::AbsentMarker()) return SC_E_FILE_NOT_FOUND;
    if (parent == SCFileHeader::AbsentMarker()) parent = nullptr;
    const uint16_t last = count ? path[count - 1] : SC_FID_MF;
    if (file && file->HasFileId() && file->GetFileId() != last) return SC_E_MISMATCHED_HEADER;
    if (parent && parent->HasFileId() && count >= 2 && parent->GetFileId() != path[count - 2])
        return SC_E_MISMATCHED_HEADER;
    std::unique_ptr<SCFileHeader> ownFile, ownParent;
    bool needParent = false;
    for (size_t i = 0; i < requestCount; ++i) needParent = needParent || requests[i].operation == SC_AC_OP_DELETE;
    if (needParent && parent == nullptr && count >= 2 && cachedCount > 1) {
        SCFileHeader* h = nullptr;
        const SCRESULT r = SelectPath(path, count - 1, &h);
        if (r == SC_E_INVALID_DATA_FORMAT) return SC_E_UNSUPPORTED_FEATURE;
        if (r < 0) return r;
        parent = h;
        if (keepHeader && cached) cached[1] = h;
        else ownParent.reset(h);
    }
    if (file == nullptr) {
        SCFileHeader* h = nullptr;
        const SCRESULT r = SelectPath(path, count, &h);
        if (r == SC_E_INVALID_DATA_FORMAT) return SC_E_UNSUPPORTED_FEATURE;
        if (r < 0) return r;
        file = h;
        if (keepHeader && cached && cachedCount > 0) cached[0] = h;
        else ownFile.reset(h);
    }
    for (size_t i = 0; i < requestCount; ++i) {
        const SCRESULT r = file->GetAccessRefs(&requests[i], parent);
        if (r < 0) return r;
    }
    return SC_OK;
}

// ------------------------------------------------------------------ PINs

SCRESULT SCCard::VerifyPin(uint32_t ref, const uint8_t* pin, uint32_t len) {
    if (ref > 0xFF) return SC_E_BAD_PARAMS;
    const uint32_t n = TextLength(pin, len);
    if (pin != nullptr && (n == 0 || n > 255)) return SC_E_INVALID_DATA_LENGTH;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x20, 0x00, static_cast<uint8_t>(ref), pin, pin ? n : 0, false, nullptr, &sw);
    if (r < 0) return r;
    if (pin != nullptr)
        LogPinState(ref, "verify", "verified", sw);
    else
        LogPinState(ref, "state", "verified", sw, true);
    const auto known = std::find(m_verifiedPins.begin(), m_verifiedPins.end(), static_cast<uint8_t>(ref));
    if (sw == 0x9000) {
        if (known == m_verifiedPins.end()) m_verifiedPins.push_back(static_cast<uint8_t>(ref));
        return SC_OK;
    }
    if (known != m_verifiedPins.end()) m_verifiedPins.erase(known);
    if ((sw & 0xFFF0) == 0x63C0) {
        // No tries left is a blocked PIN, never 0 (which would read as verified).
        if ((sw & 0x0F) == 0) return SC_E_PIN_BLOCKED;
        return pin == nullptr ? static_cast<SCRESULT>(sw & 0x0F) : SC_E_VERIFY_FAILED;
    }
    if (sw == 0x6984) return SC_E_PIN_NOT_INITIALIZED;
    return MapStatus(sw);
}

SCRESULT SCCard::ResetPinState(uint32_t ref) {
    if (ref > 0xFF) return SC_E_BAD_PARAMS;
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x20, 0xFF, static_cast<uint8_t>(ref), nullptr, 0, false, nullptr, &sw);
    if (r < 0) return r;
    if (sw == 0x9000) {
        m_verifiedPins.erase(std::remove(m_verifiedPins.begin(), m_verifiedPins.end(), static_cast<uint8_t>(ref)),
                             m_verifiedPins.end());
        // Forgotten already: the end of the call need not ask again.
        const auto gone = std::remove_if(m_leftVerified.begin(), m_leftVerified.end(), [&](const PinAt& p) {
            return p.ref == ref && (p.global() || p.df.IsEqual(m_curDf));
        });
        g_leftVerified -= static_cast<size_t>(m_leftVerified.end() - gone);
        m_leftVerified.erase(gone, m_leftVerified.end());
    }
    LogPinState(ref, "forget verification", "not verified", sw);
    return MapStatus(sw);
}

SCRESULT SCCard::ChangePin(uint32_t ref, const uint8_t* oldPin, const uint8_t* newPin, uint32_t oldLen,
                           uint32_t newLen) {
    if (ref > 0xFF || newPin == nullptr) return SC_E_BAD_PARAMS;
    const uint32_t on = TextLength(oldPin, oldLen), nn = TextLength(newPin, newLen);
    if (nn == 0 || on + nn > 255) return SC_E_INVALID_DATA_LENGTH;
    std::vector<uint8_t> d;
    WipeOnExit wipe{d};
    if (oldPin) d.insert(d.end(), oldPin, oldPin + on);
    d.insert(d.end(), newPin, newPin + nn);
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x24, oldPin ? 0x00 : 0x01, static_cast<uint8_t>(ref), d.data(), d.size(), false,
                                nullptr, &sw);
    if (r < 0) return r;
    LogPinState(ref, oldPin ? "change" : "set", oldPin ? "changed" : "set", sw);
    if (sw == 0x6984) return SC_E_PIN_NOT_INITIALIZED;
    return MapStatus(sw);
}

SCRESULT SCCard::UnblockPin(uint32_t ref, const uint8_t* puk, const uint8_t* newPin, uint32_t pukLen,
                           uint32_t newLen) {
    if (ref > 0xFF) return SC_E_BAD_PARAMS;
    const uint32_t pn = TextLength(puk, pukLen), nn = TextLength(newPin, newLen);
    if ((puk && pn == 0) || (newPin && nn == 0) || pn + nn > 255) return SC_E_INVALID_DATA_LENGTH;
    std::vector<uint8_t> d;
    WipeOnExit wipe{d};
    if (puk) d.insert(d.end(), puk, puk + pn);
    if (newPin) d.insert(d.end(), newPin, newPin + nn);
    const uint8_t p1 = puk ? (newPin ? 0x00 : 0x01) : (newPin ? 0x02 : 0x03);
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x2C, p1, static_cast<uint8_t>(ref), d.empty() ? nullptr : d.data(), d.size(),
                                false, nullptr, &sw);
    if (r < 0) return r;
    LogPinState(ref, "unblock", newPin ? "unblocked, new value set" : "unblocked", sw);
    if (sw == 0x6984) return SC_E_PIN_NOT_INITIALIZED;
    return MapStatus(sw);
}

SCRESULT SCCard::BlockPin(uint32_t ref) {
    if (ref > 0xFF) return SC_E_BAD_PARAMS;
    SC_LOCK_CARD();
    SCCardInfo info;
    std::memset(&info, 0, sizeof info);
    GetCardInfo(&info);
    const uint32_t minLen = info.minPinLen ? info.minPinLen : 1;
    const uint32_t maxLen = info.maxPinLen >= minLen ? info.maxPinLen : 255;
    // Lengths to try after the card refuses one (6700): the fixed table first,
    // then the lengths it lacks, all within the card's limits.
    static const uint8_t kTable[20] = {4, 6, 8, 5, 7, 9, 10, 12, 16, 11, 13, 14, 15, 3, 2, 1, 20, 24, 32, 64};
    std::vector<uint32_t> lengths;
    bool inTable[256] = {};
    for (uint8_t l : kTable) {
        inTable[l] = true;
        if (l >= minLen && l <= maxLen && l != minLen) lengths.push_back(l);
    }
    for (uint32_t l = 1; l <= 255; ++l)
        if (!inTable[l] && l >= minLen && l <= maxLen && l != minLen) lengths.push_back(l);
    size_t next = 0;
    std::vector<uint8_t> value(minLen, 0x20);
    bool accepted = false;
    for (int attempt = 0; attempt < 32;) {
        uint16_t sw = 0;
        const SCRESULT r = Transmit(0x00, 0x20, 0x00, static_cast<uint8_t>(ref), value.data(), value.size(), false,
                                    nullptr, &sw);
        if (r < 0) return r;
        if (sw == 0x6983) {
            LogPinState(ref, "block", "blocked", sw);
            return SC_OK;
        }
        if (sw == 0x9000) {
            // The value happened to be the PIN: change it and try once more.
            if (accepted) return SC_E_PIN_NOT_BLOCKED;
            accepted = true;
            value[0] = static_cast<uint8_t>(value[0] == 0x20 ? 0x21 : 0x20);
            ++attempt;
            continue;
        }
        if (sw == 0x6300 || (sw & 0xFFF0) == 0x63C0) {
            ++attempt;
            continue;
        }
        if (sw == 0x6700) {
            if (next >= lengths.size()) return SC_E_PIN_NOT_BLOCKED;
            value.assign(lengths[next++], 0x20);
            if (accepted) value[0] = 0x21;
            continue;
        }
        return scResultFromStatus(sw);
    }
    return SC_E_PIN_NOT_BLOCKED;
}

SCRESULT SCCard::CreatePin(uint32_t ref, const SCPinParams* params, const uint8_t* value, uint32_t len, uint32_t) {
    if (params == nullptr || ref > 0xFE) return SC_E_BAD_PARAMS;
    SC_LOCK_CARD();
    const bool here = (params->flags & SC_PINREC_IN_CURRENT_DF) != 0;
    const SCRESULT state = here ? SC_E_NO_REFERENCED_DATA : VerifyPin(ref, nullptr, SC_UNSET);
    const bool exists = state != SC_E_NO_REFERENCED_DATA;
    if (exists && state != SC_E_PIN_NOT_INITIALIZED) {
        const bool valued = state >= 0 || state == SC_E_PIN_BLOCKED;
        return valued ? SC_E_PIN_ALREADY_INITIALIZED : state;
    }
    if (params->flags & SC_PINREC_CHECK_ONLY) return SC_OK;
    // A text with length all ones is taken up to its terminating zero.
    len = TextLength(value, len);
    const bool hasValue = value != nullptr && len != 0 && params->hasValue != 0 && !(params->flags & SC_PINREC_NO_VALUE);
    if (hasValue && len > 255) return SC_E_INVALID_DATA_LENGTH;
    if (exists) {
        // A PIN object without value: set it through RESET RETRY COUNTER.
        if (!hasValue) return SC_OK;
        const SCRESULT set = UnblockPin(ref, nullptr, value, 0, len);
        if (set >= 0 || m_pConnectedReader == nullptr || m_pConnectedReader->AnswerLost()) ++m_changes.pins;
        return set;
    }
    const uint8_t officer = params->officerRef < 0xFF ? static_cast<uint8_t>(params->officerRef) : 0xFF;
    auto pinObject = [&](uint8_t r, uint32_t minL, uint32_t maxL, uint32_t pad, uint32_t tries, uint8_t unblock,
                         const uint8_t* v, size_t vl, uint8_t governor) {
        std::vector<uint8_t> a5, body;
        AppendByteTlv(&a5, 0x83, r);
        if (minL != SC_UNSET) AppendByteTlv(&a5, 0x90, static_cast<uint8_t>(minL));
        if (maxL != SC_UNSET) AppendByteTlv(&a5, 0x91, static_cast<uint8_t>(maxL));
        if (pad != SC_UNSET) AppendByteTlv(&a5, 0x92, static_cast<uint8_t>(pad));
        AppendByteTlv(&a5, 0x93, static_cast<uint8_t>(tries == SC_UNSET || tries == 0 || tries > 15 ? 3 : tries));
        if (unblock < 0xFF) AppendByteTlv(&a5, 0x94, unblock);
        if (v) scAppendTlv(&a5, 0x95, v, vl);
        AppendByteTlv(&body, 0x82, kDescPin);
        scAppendTlv(&body, 0xA5, a5.data(), a5.size());
        // Setting without the old value and deleting need the governing PIN.
        std::vector<uint8_t> rules;
        const uint16_t cond = static_cast<uint16_t>(SC_AC_PIN | (governor < 0xFF ? governor : r));
        const uint8_t crt[] = {0x83, 0x01, static_cast<uint8_t>(cond & 0xFF), 0x95, 0x01, 0x08};
        AppendByteTlv(&rules, 0x80, 0x42);
        scAppendTlv(&rules, 0xA4, crt, sizeof crt);
        scAppendTlv(&body, 0xAB, rules.data(), rules.size());
        SCRESULT res = CreateFromFcp(body, nullptr, v ? SecretTxFlags() : 0);
        if (res >= 0 || m_pConnectedReader == nullptr || m_pConnectedReader->AnswerLost()) ++m_changes.pins;
        Wipe(a5);
        Wipe(body);
        return res;
    };
    // The unblocking PIN the record brings the value of comes first, then the PIN
    // that names it: a cut between them leaves a PUK that unblocks nothing, never a
    // PIN naming one that does not stand (anyone could make it and reset the PIN).
    // A PIN that stands already (an answer "exists" to its creation) takes back the
    // PUK made for it.
    const uint8_t unblock = params->unblockRef < 0xFF ? static_cast<uint8_t>(params->unblockRef) : 0xFF;
    const bool withPuk = unblock < 0xFF && params->pukText != nullptr && unblock != ref;
    const size_t pl = withPuk ? std::strlen(params->pukText) : 0;
    if (withPuk) {
        // Made here, or none: a PIN that stands there already, or an answer that says
        // neither, is no PUK of this creation's.
        const SCRESULT ps = ScPinPresence(VerifyPin(unblock, nullptr, SC_UNSET));
        if (ps != 0) return ps < 0 ? ps : SC_E_PIN_ALREADY_INITIALIZED;
        if (pl == 0 || pl > 255) return SC_E_INVALID_DATA_LENGTH;
        // Nor is a PUK made for a master-file PIN that stands after all (taken as absent
        // from an earlier answer): its owner would govern the PUK.
        const SCRESULT pin = here && ref < 0x80 ? ScPinPresence(VerifyPin(ref, nullptr, SC_UNSET)) : 0;
        if (pin != 0) return pin < 0 ? pin : SC_E_PIN_ALREADY_INITIALIZED;
    }
    // The PUK of a PIN that governs itself (an SO PIN) is governed by itself: the
    // officer does not stand before the PIN is made, and a creation refused after the
    // PUK takes the PUK back under the PUK's own value.
    const uint8_t pukGovernor = officer == ref ? unblock : officer;
    if (withPuk) {
        const SCRESULT made = pinObject(unblock, params->pukMinLen, params->pukMaxLen, params->pukPadChar,
                                        params->pukTryLimit, 0xFF, reinterpret_cast<const uint8_t*>(params->pukText), pl,
                                        pukGovernor);
        if (made < 0) return made;
    }
    const uint32_t pad = (params->flags & SC_PINREC_PADDED) ? params->padChar : SC_UNSET;
    const SCRESULT r = pinObject(static_cast<uint8_t>(ref), params->minLen, params->maxLen, pad, params->tryLimit,
                                 unblock, hasValue ? value : nullptr, hasValue ? len : 0, officer);
    if (r < 0 && withPuk) {
        if (pukGovernor == unblock)
            (void)VerifyPin(unblock, reinterpret_cast<const uint8_t*>(params->pukText), static_cast<uint32_t>(pl));
        Transmit(0x00, 0xE4, 0x20, 0x00, &unblock, 1, false, nullptr, nullptr);
    }
    return r;
}

// ------------------------------------------------------------------ keys

SCRESULT SCCard::CreateKeyObject(uint32_t kind, uint32_t modulusBits, uint32_t, uint16_t fid, uint32_t,
                                 uint32_t, uint32_t, const SCFileHeaderList* access, uint32_t keyRef,
                                 SCFileHeader** header) {
    if (header) *header = nullptr;
    if (kind != SC_KEYOBJ_RSA_PRIVATE && kind != SC_KEYOBJ_RSA_PRIVATE_ALT && kind != SC_KEYOBJ_GENERIC)
        return SC_E_INVALID_FILE_TYPE;
    if (modulusBits < 512 || modulusBits > 4096 || modulusBits % 8) return SC_E_UNSUPPORTED_KEY_LENGTH;
    // Without a reference (0 or above FE) the key is used by its file: the file
    // must be named, and the card must be one that keeps keys in files of their own.
    const bool byFile = keyRef == 0 || keyRef > 0xFE;
    if (byFile) {
        if (fid == 0 || fid == 0xFFFF) return SC_E_BAD_PARAMS;
        SCCardInfo ci;
        std::memset(&ci, 0, sizeof ci);
        GetCardInfo(&ci);
        if (!(ci.rsaCaps & SC_RSA_CAP_PRIV_BY_FILE)) return SC_E_BAD_PARAMS;
    } else if (fid == 0 || fid == 0xFFFF) {
        fid = static_cast<uint16_t>(0x4B00 | keyRef);
    }
    if (fid == SC_FID_MF) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> body, a5;
    AppendU16Tlv(&body, 0x80, static_cast<uint16_t>(modulusBits / 8));
    AppendByteTlv(&body, 0x82, kDescKey);
    AppendU16Tlv(&body, 0x83, fid);
    AppendByteTlv(&body, 0x8A, 0x05);
    if (!byFile) AppendByteTlv(&a5, 0x83, static_cast<uint8_t>(keyRef));
    AppendU16Tlv(&a5, 0x80, static_cast<uint16_t>(modulusBits));
    scAppendTlv(&body, 0xA5, a5.data(), a5.size());
    if (access != nullptr) {
        uint32_t tmpl = 0x08F1;
        if (access->GetRef(SC_REFIDX_KEY_PIN) < SC_REF_UNUSED) tmpl |= SC_TEMPLATE_KEY_PIN_USE;
        const std::vector<uint8_t> rules = scBuildAccessRules(tmpl, kDescKey, access);
        scAppendTlv(&body, 0xAB, rules.data(), rules.size());
    }
    const SCRESULT r = CreateFromFcp(body, header);
    if (r == SC_RESULT_CODE(0xE000000000016A89ULL)) return SC_E_KEY_EXISTS;
    return r;
}

SCRESULT SCCard::PutKeyComponents(uint32_t keyRef, const std::vector<uint8_t>& tlvs, uint32_t txFlags) {
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xDB, 0x00, static_cast<uint8_t>(keyRef > 0xFE ? 0 : keyRef), tlvs.data(),
                                tlvs.size(), false, nullptr, &sw, txFlags);
    if (r < 0) return r;
    if (sw == 0x6A80) return SC_E_INVALID_DATA_VALUE;
    return MapStatus(sw);
}

namespace {
SCRESULT CheckExponent(const uint8_t* e, uint32_t bits, SCRESULT tooLong) {
    if (e == nullptr || bits == 0) return SC_OK;
    size_t n = (bits + 7) / 8;
    while (n > 1 && *e == 0) {
        ++e;
        --n;
    }
    if (n > 4) return tooLong;
    if (!(e[n - 1] & 1) || (n == 1 && e[0] < 3)) return SC_E_INVALID_EXPONENT;
    return SC_OK;
}
}  // namespace

SCRESULT SCCard::ImportRsaKey(const uint8_t* n, uint32_t nBits, const uint8_t* d, uint32_t dBits, const uint8_t* e,
                              uint32_t eBits, const uint8_t* p, uint32_t pBits, const uint8_t* q, uint32_t qBits,
                              const uint8_t* dp, uint32_t dpBits, const uint8_t* dq, uint32_t dqBits,
                              const uint8_t* qinv, uint32_t qinvBits, uint16_t fid, uint32_t keyRef, uint32_t keyFlags,
                              uint32_t, const SCFileHeaderList*) {
    const bool plain = (keyFlags & SC_KEYFLAG_PLAIN) != 0;
    const bool haveNd = n && nBits && d && dBits;
    const bool havePq = p && pBits && q && qBits;
    if (!haveNd && (plain || !havePq)) return SC_E_INSUFFICIENT_DATA;
    if (!havePq && !(e && eBits) && !haveNd) return SC_E_INSUFFICIENT_DATA;
    SCRESULT r = CheckExponent(e, eBits, SC_E_UNSUPPORTED_EXPONENT);
    if (r < 0) return r;
    SC_LOCK_CARD();
    if (fid != 0 && fid != 0xFFFF) {
        SCFileHeader* h = nullptr;
        r = SelectFileById(fid, &h);
        if (r < 0) return r;
        const bool key = h->IsKeyFile();
        SCFileHeader::SafeRelease(h);
        if (!key) return SC_E_INVALID_FILE_TYPE;
        keyRef = 0;
    }
    std::vector<uint8_t> t;
    WipeOnExit wipe{t};
    bool ok = AppendInteger(&t, 0x81, n, nBits) && AppendInteger(&t, 0x82, e, eBits) && AppendInteger(&t, 0x83, d, dBits);
    if (!plain)
        ok = ok && AppendInteger(&t, 0x84, p, pBits) && AppendInteger(&t, 0x85, q, qBits) &&
             AppendInteger(&t, 0x86, dp, dpBits) && AppendInteger(&t, 0x87, dq, dqBits) &&
             AppendInteger(&t, 0x88, qinv, qinvBits);
    if (!ok) return SC_E_UNSUPPORTED_KEY_LENGTH;
    return PutKeyComponents(keyRef, t);
}

SCRESULT SCCard::WriteRsaPublicKey(const uint8_t* n, uint32_t nBits, const uint8_t* e, uint32_t eBits, uint16_t fid,
                                   uint32_t keyRef, uint32_t, uint32_t, const SCFileHeaderList*) {
    if (n == nullptr || nBits == 0 || e == nullptr || eBits == 0) return SC_E_INSUFFICIENT_DATA;
    SCRESULT r = CheckExponent(e, eBits, SC_E_UNSUPPORTED_EXPONENT);
    if (r == SC_E_INVALID_EXPONENT) return SC_E_UNSUPPORTED_EXPONENT;
    if (r < 0) return r;
    SC_LOCK_CARD();
    if (fid != 0xFFFF && fid != 0) {
        r = SelectFileById(fid, nullptr);
        if (r < 0) return r;
        keyRef = 0;
    }
    std::vector<uint8_t> t;
    if (!AppendInteger(&t, 0x81, n, nBits) || !AppendInteger(&t, 0x82, e, eBits)) return SC_E_UNSUPPORTED_KEY_LENGTH;
    return PutKeyComponents(keyRef, t);
}

namespace {
// Modulus and exponent of a 7F49 answer.
bool ParsePublicKey(const std::vector<uint8_t>& resp, SCTlv* n, SCTlv* e) {
    SCTlv outer;
    if (!scFindTlv(resp.data(), resp.size(), 0x7F49, &outer)) return false;
    return scFindTlv(outer.value, outer.length, 0x81, n) && scFindTlv(outer.value, outer.length, 0x82, e) &&
           n->length > 0 && e->length > 0;
}
}  // namespace

SCRESULT SCCard::GenerateKeyPair(uint32_t modulusBits, uint16_t privFid, uint16_t, uint32_t privRef, uint32_t,
                                 uint32_t exponentBits, const uint8_t* exponent, SCByteBuffer* modulusOut,
                                 SCByteBuffer* exponentOut) {
    if (modulusOut) modulusOut->Clear();
    if (exponentOut) exponentOut->Clear();
    if (modulusBits < 512 || modulusBits > 4096 || modulusBits % 8) return SC_E_UNSUPPORTED_KEY_LENGTH;
    SCRESULT r = CheckExponent(exponent, exponentBits, SC_E_UNSUPPORTED_EXPONENT);
    if (r < 0) return r;
    SC_LOCK_CARD();
    uint8_t p2 = privRef <= 0xFE ? static_cast<uint8_t>(privRef) : 0;
    if (privFid != 0 && privFid != 0xFFFF) {
        SCFileHeader* h = nullptr;
        r = SelectFileById(privFid, &h);
        if (r < 0) return r;
        const bool key = h->IsKeyFile();
        SCFileHeader::SafeRelease(h);
        if (!key) return SC_E_INVALID_FILE_TYPE;
        p2 = 0;
    }
    std::vector<uint8_t> d, resp;
    AppendU16Tlv(&d, 0x80, static_cast<uint16_t>(modulusBits));
    AppendInteger(&d, 0x82, exponent, exponentBits);
    uint16_t sw = 0;
    r = Transmit(0x00, 0x46, 0x00, p2, d.data(), d.size(), true, &resp, &sw);
    if (r < 0) return r;
    if (sw == 0x6A80) return SC_E_INVALID_DATA_VALUE;
    if (sw != 0x9000) return MapStatus(sw);
    SCTlv n, e;
    if (!resp.empty() && ParsePublicKey(resp, &n, &e)) {
        if (modulusOut) modulusOut->Set(n.value, n.length);
        if (exponentOut) exponentOut->Set(e.value, e.length);
    }
    return SC_OK;
}

SCRESULT SCCard::ReadRsaPublicKey(uint32_t* nLen, uint32_t* eLen, uint8_t* n, uint8_t* e, uint32_t* keyBits,
                                  uint32_t keyRef) {
    if (nLen == nullptr || eLen == nullptr) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    SCRESULT r = Transmit(0x00, 0x46, 0x81, static_cast<uint8_t>(keyRef > 0xFE ? 0 : keyRef), nullptr, 0, true, &resp,
                          &sw);
    if (r < 0) return r;
    if (sw != 0x9000) return MapStatus(sw);
    SCTlv tn, te;
    if (!ParsePublicKey(resp, &tn, &te)) return SC_E_KEY_CONTAINS_NO_DATA;
    // Leading zero bytes are not part of the modulus' length.
    while (tn.length > 1 && tn.value[0] == 0) {
        ++tn.value;
        --tn.length;
    }
    if (keyBits) {
        uint32_t bits = static_cast<uint32_t>(tn.length) * 8;
        for (uint8_t top = tn.value[0]; bits && !(top & 0x80); top = static_cast<uint8_t>(top << 1)) --bits;
        *keyBits = bits;
    }
    const bool query = n == nullptr && e == nullptr;
    const bool fits = *nLen >= tn.length && *eLen >= te.length;
    *nLen = static_cast<uint32_t>(tn.length);
    *eLen = static_cast<uint32_t>(te.length);
    if (query) return SC_OK;
    if (!fits || n == nullptr || e == nullptr) return SC_E_INSUFFICIENT_BUFFER;
    std::memcpy(n, tn.value, tn.length);
    std::memcpy(e, te.value, te.length);
    return SC_OK;
}

SCRESULT SCCard::ManageSecurityEnvironment(uint8_t tmpl, uint8_t algorithm, const uint16_t* fid, bool hasFid,
                                           uint32_t keyRef) {
    std::vector<uint8_t> d;
    AppendByteTlv(&d, 0x80, algorithm);
    if (keyRef > 0 && keyRef <= 0xFE) {
        AppendByteTlv(&d, 0x84, static_cast<uint8_t>(keyRef));
    } else if (hasFid && fid != nullptr) {
        AppendU16Tlv(&d, 0x81, *fid);
    } else {
        return SC_E_BAD_PARAMS;
    }
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0x22, 0x41, tmpl, d.data(), d.size(), false, nullptr, &sw);
    if (r < 0) return r;
    if (scLogWants(SC_LOG_SECURITY_ENV)) {
        char key[32];
        if (keyRef > 0 && keyRef <= 0xFE)
            std::snprintf(key, sizeof key, "key reference %02X", keyRef);
        else
            std::snprintf(key, sizeof key, "key file %04X", *fid);
        scLogMasked(SC_LOG_SECURITY_ENV, "card: security environment %02X (%s): algorithm %02X, %s -> %04X", tmpl,
                    EnvironmentName(tmpl), algorithm, key, sw);
    }
    if (sw == 0x6A80) return SC_E_UNSUPPORTED_RSA_ALGO;
    return MapStatus(sw);
}

namespace {
SCRESULT CopyOut(const std::vector<uint8_t>& resp, uint8_t* out, uint32_t* outLen) {
    const uint32_t cap = *outLen;
    *outLen = static_cast<uint32_t>(resp.size());
    if (out == nullptr || cap < resp.size()) return SC_E_INSUFFICIENT_BUFFER;
    std::memcpy(out, resp.data(), resp.size());
    return SC_OK;
}
}  // namespace

SCRESULT SCCard::ComputeSignature(const uint16_t* fid, bool hasFid, uint32_t keyRef, uint32_t mechanism,
                                  uint32_t hashId, uint32_t modulusBytes, const uint8_t* data, uint32_t dataLen,
                                  uint8_t* out, uint32_t* outLen) {
    if ((data == nullptr && dataLen != 0) || outLen == nullptr) return SC_E_BAD_PARAMS;
    uint8_t alg = 0;
    // A block built here for the card's raw operation; wiped with the call.
    std::vector<uint8_t> block;
    WipeOnExit wipeBlock{block};
    switch (mechanism) {
    case SC_SIGN_RAW:
        if (dataLen == 0 || (modulusBytes && dataLen > modulusBytes)) return SC_E_INVALID_DATA_LENGTH;
        if (modulusBytes && dataLen < modulusBytes) {
            // A shorter input is a smaller number: the card takes it at the modulus' length.
            block.assign(modulusBytes - dataLen, 0x00);
            block.insert(block.end(), data, data + dataLen);
        }
        alg = 0x00;
        break;
    case SC_SIGN_PKCS1:
        if (modulusBytes && dataLen + 11 > modulusBytes) return SC_E_INVALID_DATA_LENGTH;
        alg = 0x02;
        if (dataLen == 0) {
            // A card pads no empty input: the block 00 01 FF..FF 00 is signed raw.
            if (modulusBytes == 0) return SC_E_INVALID_DATA_LENGTH;
            block.assign(modulusBytes, 0xFF);
            block[0] = 0x00;
            block[1] = 0x01;
            block[modulusBytes - 1] = 0x00;
            alg = 0x00;
        }
        break;
    case SC_SIGN_PKCS1_DIGEST: {
        const uint32_t dl = scGetDigestInfo(hashId, nullptr, nullptr);
        if (dl == 0) return SC_E_UNSUPPORTED_HASH_ALGO;
        if (dataLen != dl) return SC_E_INVALID_DATA_LENGTH;
        alg = static_cast<uint8_t>(0x10 + hashId);
        break;
    }
    default:
        return SC_E_UNSUPPORTED_RSA_ALGO;
    }
    SC_LOCK_CARD();
    if (hasFid && fid != nullptr) {
        SCFileHeader* h = nullptr;
        SCRESULT r = SelectFileById(*fid, &h);
        if (r < 0) return r;
        const bool key = h->IsKeyFile();
        const uint8_t ref = h->GetKeyRef();
        SCFileHeader::SafeRelease(h);
        if (!key) return SC_E_INVALID_FILE_TYPE;
        if (keyRef == 0 || keyRef > 0xFE) keyRef = ref;
    }
    SCRESULT r = ManageSecurityEnvironment(0xB6, alg, fid, hasFid, keyRef);
    if (r < 0) return r;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    if (!block.empty()) {
        data = block.data();
        dataLen = static_cast<uint32_t>(block.size());
    }
    r = Transmit(0x00, 0x2A, 0x9E, 0x9A, data, dataLen, true, &resp, &sw);
    if (r < 0) return r;
    if (sw != 0x9000) return MapStatus(sw);
    return CopyOut(resp, out, outLen);
}

SCRESULT SCCard::Decipher(const uint16_t* fid, bool hasFid, uint32_t keyRef, uint32_t mechanism, const uint8_t* in,
                          uint32_t inLen, uint8_t* out, uint32_t* outLen) {
    if (in == nullptr || inLen == 0 || outLen == nullptr) return SC_E_BAD_PARAMS;
    if (mechanism != SC_SIGN_RAW && mechanism != SC_SIGN_PKCS1) return SC_E_UNSUPPORTED_RSA_ALGO;
    SC_LOCK_CARD();
    if (hasFid && fid != nullptr) {
        SCFileHeader* h = nullptr;
        SCRESULT r = SelectFileById(*fid, &h);
        if (r < 0) return r;
        const bool key = h->IsKeyFile();
        const uint8_t ref = h->GetKeyRef();
        SCFileHeader::SafeRelease(h);
        if (!key) return SC_E_INVALID_FILE_TYPE;
        if (keyRef == 0 || keyRef > 0xFE) keyRef = ref;
    }
    SCRESULT r = ManageSecurityEnvironment(0xB8, mechanism == SC_SIGN_RAW ? 0x00 : 0x02, fid, hasFid, keyRef);
    if (r < 0) return r;
    std::vector<uint8_t> d(1, 0x00), resp;
    d.insert(d.end(), in, in + inLen);
    uint16_t sw = 0;
    r = Transmit(0x00, 0x2A, 0x80, 0x86, d.data(), d.size(), true, &resp, &sw);
    WipeOnExit wipe{resp};
    if (r < 0) return r;
    if (sw == 0x6A80) return SC_E_CRYPT_ERROR;
    if (sw != 0x9000) return MapStatus(sw);
    return CopyOut(resp, out, outLen);
}

SCRESULT SCCard::DeleteObject(uint32_t keyRef, uint32_t mode) {
    if (keyRef > 0xFE) return SC_E_BAD_PARAMS;
    const uint8_t ref = static_cast<uint8_t>(keyRef);
    uint16_t sw = 0;
    const SCRESULT r = Transmit(0x00, 0xE4, mode == SC_KEYOBJ_PIN ? 0x20 : 0x10, 0x00, &ref, 1, false, nullptr, &sw);
    if (r < 0) return r;
    if (sw == 0x6A88 || sw == 0x6A82) return SC_E_NO_REFERENCED_DATA;
    return MapStatus(sw);
}


