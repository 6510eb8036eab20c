#include "fake_pcsc.h"

#include <chrono>
#include <cstring>

using namespace scpcsc;

namespace fakepcsc {

namespace {

State* g_state = new State;  // never freed: threads of a test may still look at it

LONG R(uint32_t v) { return static_cast<LONG>(v); }

int FindReader(const char* name) {
    State& s = *g_state;
    for (size_t i = 0; i < s.readers.size(); ++i)
        if (s.readers[i].name == name) return static_cast<int>(i);
    return -1;
}

DWORD ReaderState(const Reader& r) {
    DWORD st = r.present ? STATE_PRESENT : STATE_EMPTY;
    if (r.present && r.mute) st |= STATE_MUTE;
    if (r.heldByOther) st |= STATE_EXCLUSIVE | STATE_INUSE;
    return st | (r.events << 16);
}

LONG EstablishContext(DWORD, const void*, const void*, SCARDCONTEXT* ctx) {
    std::lock_guard<std::mutex> g(g_state->m);
    if (!g_state->serviceRunning) return R(E_NO_SERVICE);
    ++g_state->contexts;
    *ctx = 1;
    return 0;
}

LONG ReleaseContext(SCARDCONTEXT) {
    std::lock_guard<std::mutex> g(g_state->m);
    --g_state->contexts;
    return 0;
}

LONG ListReaders(SCARDCONTEXT, const char*, char* buf, DWORD* len) {
    std::lock_guard<std::mutex> g(g_state->m);
    if (!g_state->serviceRunning) return R(E_NO_SERVICE);
    if (g_state->readers.empty()) return R(E_NO_READERS_AVAILABLE);
    std::string multi;
    for (const auto& r : g_state->readers) multi += r.name + '\0';
    multi += '\0';
    if (buf == nullptr) {
        *len = multi.size();
        return 0;
    }
    if (*len < multi.size()) {
        *len = multi.size();
        return R(E_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buf, multi.data(), multi.size());
    *len = multi.size();
    return 0;
}

LONG Connect(SCARDCONTEXT, const char* name, DWORD share, DWORD protocols, SCARDHANDLE* h, DWORD* active) {
    std::lock_guard<std::mutex> g(g_state->m);
    const int i = FindReader(name);
    if (i < 0) return R(E_UNKNOWN_READER);
    Reader& r = g_state->readers[i];
    if (!r.present) return R(E_NO_SMARTCARD);
    if (r.heldByOther) return R(E_SHARING_VIOLATION);
    for (const auto& kv : g_state->handles)
        if (kv.second.reader == static_cast<size_t>(i) && (kv.second.share == SHARE_EXCLUSIVE || share == SHARE_EXCLUSIVE))
            return R(E_SHARING_VIOLATION);
    const DWORD common = protocols & r.protocols;
    if (common == 0) return R(E_PROTO_MISMATCH);
    const DWORD proto = (common & PROTOCOL_T1) ? PROTOCOL_T1 : (common & PROTOCOL_T0) ? PROTOCOL_T0 : PROTOCOL_RAW;
    const long id = g_state->nextHandle++;
    g_state->handles[id] = Handle{static_cast<size_t>(i), share, proto, r.events, r.resetGeneration};
    if (g_state->resetsAfterConnect > 0) { --g_state->resetsAfterConnect; ++r.resetGeneration; }
    *h = id;
    *active = proto;
    return 0;
}

Handle* FindHandle(SCARDHANDLE h) {
    auto it = g_state->handles.find(h);
    return it == g_state->handles.end() ? nullptr : &it->second;
}

// Removal and resets by others show on the handle first.
LONG CheckHandle(Handle* hd) {
    if (hd == nullptr) return R(E_INVALID_HANDLE);
    const Reader& r = g_state->readers[hd->reader];
    if (!r.present || r.events != hd->events) return R(W_REMOVED_CARD);
    if (r.mute) return R(W_UNRESPONSIVE_CARD);
    if (r.resetGeneration != hd->resetGeneration) return R(W_RESET_CARD);
    return 0;
}

LONG Reconnect(SCARDHANDLE h, DWORD share, DWORD protocols, DWORD init, DWORD* active) {
    std::lock_guard<std::mutex> g(g_state->m);
    Handle* hd = FindHandle(h);
    if (hd == nullptr) return R(E_INVALID_HANDLE);
    Reader& r = g_state->readers[hd->reader];
    if (!r.present) return R(E_NO_SMARTCARD);
    if (r.mute) return R(W_UNRESPONSIVE_CARD);
    const DWORD common = protocols & r.protocols;
    if (common == 0) return R(E_PROTO_MISMATCH);
    hd->proto = (common & PROTOCOL_T1) ? PROTOCOL_T1 : PROTOCOL_T0;
    hd->share = share;
    hd->events = r.events;
    if (init == RESET_CARD && hd->locks == 0) ++g_state->resetsOutsideTransaction;
    if (init == RESET_CARD) ++r.resetGeneration;
    hd->resetGeneration = r.resetGeneration;
    if (g_state->resetsAfterConnect > 0) { --g_state->resetsAfterConnect; ++r.resetGeneration; }
    *active = hd->proto;
    return 0;
}

LONG Disconnect(SCARDHANDLE h, DWORD disposition) {
    std::lock_guard<std::mutex> g(g_state->m);
    Handle* hd = FindHandle(h);
    if (hd == nullptr) return R(E_INVALID_HANDLE);
    const Reader& r = g_state->readers[hd->reader];
    const bool reset = (disposition == RESET_CARD || disposition == UNPOWER_CARD) && r.present && r.events == hd->events;
    g_state->handles.erase(h);
    if (g_state->disconnectError) return g_state->disconnectError;
    if (reset) ++g_state->disconnectResets;
    return 0;
}

LONG BeginTransaction(SCARDHANDLE h) {
    std::lock_guard<std::mutex> g(g_state->m);
    Handle* hd = FindHandle(h);
    const LONG rc = CheckHandle(hd);
    if (rc != 0) return rc;
    ++g_state->beginCalls;
    ++hd->locks;
    if (g_state->resetsAfterBegin > 0) { --g_state->resetsAfterBegin; ++g_state->readers[hd->reader].resetGeneration; }
    return 0;
}

LONG EndTransaction(SCARDHANDLE h, DWORD) {
    std::lock_guard<std::mutex> g(g_state->m);
    Handle* hd = FindHandle(h);
    if (hd == nullptr) return R(E_INVALID_HANDLE);
    ++g_state->endCalls;
    if (CheckHandle(hd) == R(W_RESET_CARD)) return R(W_RESET_CARD);  // keeping the lock, as pcsc-lite does
    if (hd->locks > 0) --hd->locks;
    return 0;
}

LONG Transmit(SCARDHANDLE h, const SCARD_IO_REQUEST* pci, const unsigned char* in, DWORD inLen, SCARD_IO_REQUEST*,
              unsigned char* out, DWORD* outLen) {
    bool hasCard;
    {
        std::lock_guard<std::mutex> g(g_state->m);
        Handle* hd = FindHandle(h);
        const LONG rc = CheckHandle(hd);
        if (rc) return rc;
        if (pci == nullptr || pci->dwProtocol != hd->proto) return R(E_INVALID_PARAMETER);
        if (g_state->transmitError) return g_state->transmitError;
        g_state->sent.emplace_back(in, in + inLen);
        g_state->sentProtocols.push_back(hd->proto);
        hasCard = static_cast<bool>(g_state->card);
    }
    // The card function keeps its own state between commands, so it is called in place.
    const Bytes answer = hasCard ? g_state->card(Bytes(in, in + inLen)) : Bytes{0x90, 0x00};
    if (g_state->overlongAnswer) {
        *outLen = *outLen + 10;
        return 0;
    }
    if (answer.size() > *outLen) return R(E_INSUFFICIENT_BUFFER);
    std::memcpy(out, answer.data(), answer.size());
    *outLen = answer.size();
    return 0;
}

LONG Status(SCARDHANDLE h, char*, DWORD*, DWORD* state, DWORD* proto, unsigned char* atr, DWORD* atrLen) {
    std::lock_guard<std::mutex> g(g_state->m);
    Handle* hd = FindHandle(h);
    if (hd != nullptr) ++g_state->readers[hd->reader].statusCalls;
    const LONG rc = CheckHandle(hd);
    if (rc) return rc;
    const Reader& r = g_state->readers[hd->reader];
    *state = 0x34;
    *proto = hd->proto;
    if (*atrLen < r.atr.size()) return R(E_INSUFFICIENT_BUFFER);
    std::memcpy(atr, r.atr.data(), r.atr.size());
    *atrLen = r.atr.size();
    return 0;
}

LONG GetStatusChange(SCARDCONTEXT, DWORD timeout, SCARD_READERSTATE* rs, DWORD n) {
    std::unique_lock<std::mutex> g(g_state->m);
    if (timeout == 0)
        for (DWORD k = 0; k < n; ++k) {
            const int i = FindReader(rs[k].szReader);
            if (i >= 0) ++g_state->readers[i].polls;
        }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        if (!g_state->serviceRunning) return R(E_NO_SERVICE);
        for (DWORD k = 0; k < n; ++k) {
            const int i = FindReader(rs[k].szReader);
            DWORD now = i < 0 ? STATE_UNKNOWN : ReaderState(g_state->readers[i]);
            if (now != (rs[k].dwCurrentState & ~STATE_CHANGED)) {
                rs[k].dwEventState = now | STATE_CHANGED;
                if (i >= 0) {
                    const Reader& r = g_state->readers[i];
                    rs[k].cbAtr = r.atr.size();
                    std::memcpy(rs[k].rgbAtr, r.atr.data(), r.atr.size());
                }
                return 0;
            }
            rs[k].dwEventState = now;
        }
        if (g_state->cv.wait_until(g, deadline) == std::cv_status::timeout) return R(E_TIMEOUT);
    }
}

}  // namespace

State& Get() { return *g_state; }

void Reset() {
    std::lock_guard<std::mutex> g(g_state->m);
    State& s = *g_state;
    s.serviceRunning = true;
    s.readers.clear();
    s.handles.clear();
    s.contexts = 0;
    s.beginCalls = s.endCalls = 0;
    s.sent.clear();
    s.sentProtocols.clear();
    s.card = nullptr;
    s.transmitError = 0;
    s.overlongAnswer = false;
    s.resetsAfterConnect = s.resetsAfterBegin = s.resetsOutsideTransaction = 0;
    s.disconnectResets = 0;
    s.disconnectError = 0;
}

SCPcscFunctionTable Table() {
    SCPcscFunctionTable t;
    t.EstablishContext = EstablishContext;
    t.ReleaseContext = ReleaseContext;
    t.ListReaders = ListReaders;
    t.Connect = Connect;
    t.Reconnect = Reconnect;
    t.Disconnect = Disconnect;
    t.BeginTransaction = BeginTransaction;
    t.EndTransaction = EndTransaction;
    t.Transmit = Transmit;
    t.Status = Status;
    t.GetStatusChange = GetStatusChange;
    return t;
}

void Insert(size_t reader) {
    {
        std::lock_guard<std::mutex> g(g_state->m);
        g_state->readers[reader].present = true;
        ++g_state->readers[reader].events;
    }
    g_state->cv.notify_all();
}

void Remove(size_t reader) {
    {
        std::lock_guard<std::mutex> g(g_state->m);
        g_state->readers[reader].present = false;
        ++g_state->readers[reader].events;
    }
    g_state->cv.notify_all();
}

void SetServiceRunning(bool running) {
    {
        std::lock_guard<std::mutex> g(g_state->m);
        g_state->serviceRunning = running;
    }
    g_state->cv.notify_all();
}

int Queries(size_t reader) {
    std::lock_guard<std::mutex> g(g_state->m);
    if (reader >= g_state->readers.size()) return 0;
    return g_state->readers[reader].polls + g_state->readers[reader].statusCalls;
}

int Polls(size_t reader) {
    std::lock_guard<std::mutex> g(g_state->m);
    return reader < g_state->readers.size() ? g_state->readers[reader].polls : 0;
}

size_t SentCount() {
    std::lock_guard<std::mutex> g(g_state->m);
    return g_state->sent.size();
}

void ClearCounts() {
    std::lock_guard<std::mutex> g(g_state->m);
    for (auto& r : g_state->readers) r.polls = r.statusCalls = 0;
    g_state->sent.clear();
    g_state->sentProtocols.clear();
}

void ResetByOther(size_t reader) {
    {
        std::lock_guard<std::mutex> g(g_state->m);
        ++g_state->readers[reader].resetGeneration;
    }
    g_state->cv.notify_all();
}

}  // namespace fakepcsc
