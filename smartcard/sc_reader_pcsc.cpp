#include "smartcard/sc_reader_pcsc.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "smartcard/sc_apdu.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader_backend.h"
#include "support/lasting.h"

using namespace scpcsc;

namespace {

// Protocol control blocks for libraries that do not export their own.
const SCARD_IO_REQUEST kT0Pci = {PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kT1Pci = {PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST kRawPci = {PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

constexpr DWORD kMaxReaderListLength = 1 << 20;

// Splits a PC/SC multi-string of len bytes into names; stops at the first empty
// name and never reads past len.
void SplitMultiString(const char* buf, size_t len, std::vector<std::string>* names) {
    size_t i = 0;
    while (i < len && buf[i] != '\0') {
        size_t j = i;
        while (j < len && buf[j] != '\0') ++j;
        names->emplace_back(buf + i, j - i);
        i = j + 1;
    }
}

SCRESULT ListPcsc(std::vector<std::string>* names, uint32_t mode) {
    return SCReaderPcsc::ListReadersOf(SCReaderPcsc::Library(), names, mode);
}
SCRESULT CreatePcsc(const char* name, SCReader** reader) {
    *reader = new (std::nothrow) SCReaderPcsc(name);
    return *reader ? SC_OK : SC_E_NO_MEMORY;
}
void CleanupPcsc() { SCReaderPcsc::Library().Unload(); }
void PreparePcsc() { SCReaderPcsc::Library(); }

SCRESULT ListDravok(std::vector<std::string>* names, uint32_t mode) {
    return SCReaderPcsc::ListReadersOf(SCReaderDravok::Library(), names, mode);
}
SCRESULT CreateDravok(const char* name, SCReader** reader) {
    *reader = new (std::nothrow) SCReaderDravok(name);
    return *reader ? SC_OK : SC_E_NO_MEMORY;
}
void CleanupDravok() { SCReaderDravok::Library().Unload(); }
void PrepareDravok() { SCReaderDravok::Library(); }

}  // namespace

const SCReaderBackend& scPcscBackend() {
    static const SCReaderBackend b = {SCReaderPcsc::BACKEND_NAME, ListPcsc, CreatePcsc, CleanupPcsc,
                                     PreparePcsc};
    return b;
}

const SCReaderBackend& scDravokBackend() {
    static const SCReaderBackend b = {SCReaderDravok::BACKEND_NAME, ListDravok, CreateDravok,
                                     CleanupDravok, PrepareDravok};
    return b;
}

// ---------------------------------------------------------------------------
// Process-wide back-end state

SCPcscLibrary& SCReaderPcsc::Library() {
    static Lasting<SCPcscLibrary> lib(BACKEND_NAME, true);
    return *lib;
}

SCRESULT SCReaderPcsc::LoadPcscFunctions(const char* path) {
    return Library().Load(path ? path : DEFAULT_LIBRARY, "");
}
std::string SCReaderPcsc::GetLoadError() { return Library().GetLoadError(); }
void SCReaderPcsc::SetTraceEnabled(bool on) { Library().SetTraceEnabled(on); }

SCPcscLibrary& SCReaderDravok::Library() {
    static Lasting<SCPcscLibrary> lib(BACKEND_NAME);
    return *lib;
}

SCRESULT SCReaderDravok::LoadDravokFunctions(const char* path, const char* prefix) {
    return Library().Load(path, prefix);
}

SCRESULT SCReaderDravok::LoadDravokFunctions(const char* pathAndPrefix) {
    if (pathAndPrefix == nullptr) return Library().Load(nullptr, nullptr);
    const char* semi = std::strrchr(pathAndPrefix, ';');
    if (semi == nullptr) return Library().Load(pathAndPrefix, "");
    const std::string path(pathAndPrefix, static_cast<size_t>(semi - pathAndPrefix));
    return Library().Load(path.c_str(), semi + 1);
}

std::string SCReaderDravok::GetLoadError() { return Library().GetLoadError(); }
void SCReaderDravok::SetTraceEnabled(bool on) { Library().SetTraceEnabled(on); }

SCRESULT SCReaderPcsc::ListReadersOf(SCPcscLibrary& library, std::vector<std::string>* names, uint32_t mode) {
    names->clear();
    const SCPcscFunctionTable* fn = library.GetTable();
    if (fn == nullptr) return SC_E_NO_READER_SUBSYSTEM;
    const bool trace = library.IsTraceEnabled();
    const int attempts = mode == SC_LIST_WAIT ? 10 : 1;
    SCRESULT result = SC_OK;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        names->clear();
        SCARDCONTEXT ctx = 0;
        LONG rc = fn->EstablishContext(SCOPE_SYSTEM, nullptr, nullptr, &ctx);
        if (trace) scLog("%s: SCardEstablishContext() -> %s", library.GetBackendName(), scPcscErrorName(rc));
        if (rc != static_cast<LONG>(S_SUCCESS)) {
            result = scMapPcscError(rc);
            continue;
        }
        std::vector<char> buf;
        for (int round = 0; round < 3; ++round) {
            DWORD len = 0;
            rc = fn->ListReaders(ctx, nullptr, nullptr, &len);
            if (rc == static_cast<LONG>(S_SUCCESS) && len > kMaxReaderListLength) rc = static_cast<LONG>(E_NO_MEMORY);
            if (rc != static_cast<LONG>(S_SUCCESS)) break;
            buf.assign(len + 1, '\0');
            DWORD got = len;
            rc = fn->ListReaders(ctx, nullptr, buf.data(), &got);
            if (rc == static_cast<LONG>(S_SUCCESS)) {
                // A library must not report more than it was given room for.
                buf.resize(std::min<size_t>(got, len));
                break;
            }
            if (rc != static_cast<LONG>(E_INSUFFICIENT_BUFFER)) break;  // a reader appeared meanwhile: ask again
        }
        if (trace) scLog("%s: SCardListReaders() -> %s", library.GetBackendName(), scPcscErrorName(rc));
        const LONG released = fn->ReleaseContext(ctx);
        if (trace) scLog("%s: SCardReleaseContext() -> %s", library.GetBackendName(), scPcscErrorName(released));
        if (rc == static_cast<LONG>(E_NO_READERS_AVAILABLE)) {
            result = SC_OK;
        } else if (rc != static_cast<LONG>(S_SUCCESS)) {
            result = scMapPcscError(rc);
            continue;
        } else {
            SplitMultiString(buf.data(), buf.size(), names);
            result = SC_OK;
        }
        if (!names->empty()) break;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Reader object

SCReaderPcsc::SCReaderPcsc(const char* name, SCPcscLibrary* library)
    : SCReader(name), m_lib(library ? library : &Library()) {}

SCReaderPcsc::~SCReaderPcsc() { Release(); }

const SCPcscFunctionTable* SCReaderPcsc::Table() const { return m_lib->GetTable(); }

SCRESULT SCReaderPcsc::_Init(uint32_t) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr) return SC_E_NO_READER_SUBSYSTEM;
    LONG rc = fn->EstablishContext(SCOPE_SYSTEM, nullptr, nullptr, &m_ctx);
    if (Trace()) scLog("%s: SCardEstablishContext() -> %s", GetBackendName(), scPcscErrorName(rc));
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    m_hasCtx = true;
    // The reader must still be there.
    SCARD_READERSTATE rs = {};
    rs.szReader = GetName();
    rs.dwCurrentState = STATE_UNAWARE;
    rc = fn->GetStatusChange(m_ctx, 0, &rs, 1);
    if (Trace())
        scLog("%s: SCardGetStatusChange('%s', 0) -> %s, state %08lx", GetBackendName(), GetName(),
              scPcscErrorName(rc), rs.dwEventState);
    SCRESULT r = SC_OK;
    if (rc == static_cast<LONG>(E_UNKNOWN_READER) || (rc == static_cast<LONG>(S_SUCCESS) && (rs.dwEventState & STATE_UNKNOWN)))
        r = SC_E_READER_NOT_FOUND;
    else if (rc != static_cast<LONG>(S_SUCCESS) && rc != static_cast<LONG>(E_TIMEOUT))
        r = scMapPcscError(rc);
    if (r < 0) {
        rc = fn->ReleaseContext(m_ctx);
        if (Trace()) scLog("%s: SCardReleaseContext() -> %s", GetBackendName(), scPcscErrorName(rc));
        m_hasCtx = false;
    }
    return r;
}

void SCReaderPcsc::_Release() {
    const SCPcscFunctionTable* fn = Table();
    if (m_hasCtx && fn != nullptr) {
        const LONG rc = fn->ReleaseContext(m_ctx);
        if (Trace()) scLog("%s: SCardReleaseContext() -> %s", GetBackendName(), scPcscErrorName(rc));
    }
    m_hasCtx = false;
    m_hasCard = false;
}

SCRESULT SCReaderPcsc::_Connect(uint32_t share, uint32_t protocols, uint32_t* active) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCtx) return SC_E_NO_READER_SUBSYSTEM;
    DWORD proto = 0;
    SCARDHANDLE h = 0;
    const LONG rc = fn->Connect(m_ctx, GetName(), share, protocols, &h, &proto);
    if (Trace())
        scLog("%s: SCardConnect('%s', share %u, protocols %u) -> %s, protocol %lu", GetBackendName(), GetName(),
              share, protocols, scPcscErrorName(rc), proto);
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    m_hCard = h;
    m_hasCard = true;
    m_proto = proto;
    *active = static_cast<uint32_t>(proto);
    return SC_OK;
}

SCRESULT SCReaderPcsc::_Reconnect(uint32_t share, uint32_t protocols, uint32_t initialization, uint32_t* active) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    DWORD proto = 0;
    const LONG rc = fn->Reconnect(m_hCard, share, protocols, initialization, &proto);
    if (Trace())
        scLog("%s: SCardReconnect(share %u, protocols %u, init %u) -> %s, protocol %lu", GetBackendName(), share,
              protocols, initialization, scPcscErrorName(rc), proto);
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    m_proto = proto;
    *active = static_cast<uint32_t>(proto);
    return SC_OK;
}

SCRESULT SCReaderPcsc::_Disconnect(uint32_t disposition) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_OK;
    const LONG rc = fn->Disconnect(m_hCard, disposition);
    if (Trace()) scLog("%s: SCardDisconnect(%u) -> %s", GetBackendName(), disposition, scPcscErrorName(rc));
    m_hasCard = false;
    m_proto = 0;
    return scMapPcscError(rc);
}

SCRESULT SCReaderPcsc::_ResetUnderCall() {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_OK;
    const LONG rc = fn->Disconnect(m_hCard, RESET_CARD);
    if (Trace()) scLog("%s: SCardDisconnect(%u) -> %s", GetBackendName(), 1u, scPcscErrorName(rc));
    return scMapPcscError(rc);
}

SCRESULT SCReaderPcsc::_Status(uint8_t* atr, uint32_t* atrLen) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    char name[512];
    DWORD nameLen = sizeof name;
    DWORD state = 0, proto = 0;
    unsigned char buf[MAX_ATR_SIZE];
    DWORD len = sizeof buf;
    const LONG rc = fn->Status(m_hCard, name, &nameLen, &state, &proto, buf, &len);
    if (Trace()) scLog("%s: SCardStatus() -> %s, state %lx", GetBackendName(), scPcscErrorName(rc), state);
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    if (len > MAX_ATR_SIZE || len > *atrLen) return SC_E_TRANSMISSION_FAILED;
    std::memcpy(atr, buf, len);
    *atrLen = static_cast<uint32_t>(len);
    return SC_OK;
}

SCRESULT SCReaderPcsc::_GetStatusChange(uint32_t timeoutMs, uint64_t current, uint64_t* event) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCtx) return SC_E_NO_READER_SUBSYSTEM;
    SCARD_READERSTATE rs = {};
    rs.szReader = GetName();
    rs.dwCurrentState = static_cast<DWORD>(current);
    const LONG rc = fn->GetStatusChange(m_ctx, timeoutMs, &rs, 1);
    if (Trace())
        scLog("%s: SCardGetStatusChange('%s', %u, %08lx) -> %s, state %08lx", GetBackendName(), GetName(),
              timeoutMs, rs.dwCurrentState, scPcscErrorName(rc), rs.dwEventState);
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    *event = rs.dwEventState;
    return SC_OK;
}

SCRESULT SCReaderPcsc::_Transmit(const uint8_t* apdu, uint32_t len, uint8_t* resp, uint32_t* respLen) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    const SCARD_IO_REQUEST* pci;
    switch (m_proto) {
    case PROTOCOL_T0: pci = fn->T0Pci ? fn->T0Pci : &kT0Pci; break;
    case PROTOCOL_T1: pci = fn->T1Pci ? fn->T1Pci : &kT1Pci; break;
    default: pci = fn->RawPci ? fn->RawPci : &kRawPci; break;
    }
    DWORD got = *respLen;
    const LONG rc = fn->Transmit(m_hCard, pci, apdu, len, nullptr, resp, &got);
    if (Trace()) {
        // PINs, PUKs and keys never reach the log: see scApduTraceText. Of the answer
        // only its length and status word show (its data may be deciphered text).
        char answer[48] = "";
        if (rc == static_cast<LONG>(S_SUCCESS) && got <= *respLen) {
            if (got >= 2)
                std::snprintf(answer, sizeof answer, ", %lu bytes, SW %02X%02X", got, resp[got - 2], resp[got - 1]);
            else
                std::snprintf(answer, sizeof answer, ", %lu bytes", got);
        }
        scLog("%s: SCardTransmit(%u bytes: %s) -> %s%s", GetBackendName(), len, scApduTraceText(apdu, len).c_str(),
              scPcscErrorName(rc), answer);
    }
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    if (got > *respLen) return SC_E_TRANSMISSION_FAILED;
    *respLen = static_cast<uint32_t>(got);
    return SC_OK;
}

SCRESULT SCReaderPcsc::_BeginTransaction() {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    const LONG rc = fn->BeginTransaction(m_hCard);
    if (Trace()) scLog("%s: SCardBeginTransaction() -> %s", GetBackendName(), scPcscErrorName(rc));
    return scMapPcscError(rc);
}

SCRESULT SCReaderPcsc::_EndTransaction(uint32_t disposition) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    const LONG rc = fn->EndTransaction(m_hCard, disposition);
    if (Trace()) scLog("%s: SCardEndTransaction(%u) -> %s", GetBackendName(), disposition, scPcscErrorName(rc));
    return scMapPcscError(rc);
}

SCRESULT SCReaderPcsc::_GetAttrib(uint32_t id, uint8_t* buf, uint32_t* len) {
    const SCPcscFunctionTable* fn = Table();
    if (fn == nullptr || !m_hasCard) return SC_E_CARD_NOT_CONNECTED;
    if (fn->GetAttrib == nullptr) return SC_E_UNSUPPORTED_FEATURE;
    DWORD got = *len;
    const LONG rc = fn->GetAttrib(m_hCard, id, buf, &got);
    if (Trace()) scLog("%s: SCardGetAttrib(%08x) -> %s", GetBackendName(), id, scPcscErrorName(rc));
    if (rc != static_cast<LONG>(S_SUCCESS)) return scMapPcscError(rc);
    if (got > *len) return SC_E_TRANSMISSION_FAILED;
    *len = static_cast<uint32_t>(got);
    return SC_OK;
}
