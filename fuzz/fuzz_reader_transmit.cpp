// Hostile card answers through the reader's transmission: the command and every
// answer the "card" gives (61xx chains, 6Cxx, short or overlong answers) come
// from the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "smartcard/sc_reader_pcsc.h"

using namespace scpcsc;

namespace {

const uint8_t* g_data = nullptr;
size_t g_left = 0;

// Takes n bytes of the input (fewer at its end).
size_t Take(uint8_t* out, size_t n) {
    n = n < g_left ? n : g_left;
    if (n) std::memcpy(out, g_data, n);
    g_data += n;
    g_left -= n;
    return n;
}

uint8_t Byte() {
    uint8_t b = 0;
    Take(&b, 1);
    return b;
}

LONG Establish(DWORD, const void*, const void*, SCARDCONTEXT* c) {
    *c = 1;
    return 0;
}
LONG ReleaseCtx(SCARDCONTEXT) { return 0; }
LONG List(SCARDCONTEXT, const char*, char* buf, DWORD* len) {
    static const char names[] = "Fuzz Reader\0";
    if (buf == nullptr) {
        *len = sizeof names;
        return 0;
    }
    if (*len < sizeof names) return static_cast<LONG>(E_INSUFFICIENT_BUFFER);
    std::memcpy(buf, names, sizeof names);
    *len = sizeof names;
    return 0;
}
LONG Connect(SCARDCONTEXT, const char*, DWORD, DWORD protocols, SCARDHANDLE* h, DWORD* active) {
    *h = 7;
    *active = (protocols & PROTOCOL_T0) ? PROTOCOL_T0 : PROTOCOL_T1;
    return 0;
}
LONG Reconnect(SCARDHANDLE, DWORD, DWORD, DWORD, DWORD* active) {
    *active = PROTOCOL_T1;
    return 0;
}
LONG Disconnect(SCARDHANDLE, DWORD) { return 0; }
LONG Begin(SCARDHANDLE) { return 0; }
LONG End(SCARDHANDLE, DWORD) { return 0; }
LONG Transmit(SCARDHANDLE, const SCARD_IO_REQUEST*, const unsigned char*, DWORD, SCARD_IO_REQUEST*,
              unsigned char* out, DWORD* outLen) {
    if (g_left == 0) return static_cast<LONG>(F_COMM_ERROR);
    // Answer length: two bytes of the input, up to what the buffer holds.
    size_t n = (static_cast<size_t>(Byte()) << 8) | Byte();
    if (n > *outLen) n = *outLen;
    *outLen = Take(out, n);
    return 0;
}
LONG Status(SCARDHANDLE, char*, DWORD*, DWORD* st, DWORD* proto, unsigned char* atr, DWORD* atrLen) {
    *st = 0x34;
    *proto = PROTOCOL_T1;
    atr[0] = 0x3B;
    atr[1] = 0x00;
    *atrLen = 2;
    return 0;
}
LONG StatusChange(SCARDCONTEXT, DWORD, SCARD_READERSTATE* rs, DWORD) {
    rs->dwEventState = STATE_PRESENT | STATE_CHANGED;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool installed = false;
    if (!installed) {
        SCPcscFunctionTable t;
        t.EstablishContext = Establish;
        t.ReleaseContext = ReleaseCtx;
        t.ListReaders = List;
        t.Connect = Connect;
        t.Reconnect = Reconnect;
        t.Disconnect = Disconnect;
        t.BeginTransaction = Begin;
        t.EndTransaction = End;
        t.Transmit = Transmit;
        t.Status = Status;
        t.GetStatusChange = StatusChange;
        SCReaderPcsc::Library().UseTable(t);
        installed = true;
    }
    if (size < 2) return 0;
    g_data = data;
    g_left = size;
    const uint8_t flags = Byte();
    const size_t apduLen = Byte();
    std::vector<uint8_t> apdu(apduLen);
    apdu.resize(Take(apdu.data(), apdu.size()));

    SCReaderPcsc reader("Fuzz Reader");
    reader.SetOptions(0, (flags & 0x10) ? 0x0010001000100010ULL : 0);
    if (reader.Init(0) != SC_OK) return 0;
    if (reader.Connect((flags & 1) ? SC_MODE_PROTO_T0 : SC_MODE_PROTO_T1) != SC_OK) return 0;
    std::vector<uint8_t> resp;
    uint16_t sw = 0;
    reader.TransmitAPDU(apdu, &resp, &sw, (flags >> 1) & 0x3);
    if (resp.size() > SC_MAX_RESPONSE_DATA) __builtin_trap();
    uint8_t small[16];
    uint32_t smallLen = sizeof small;
    if (!apdu.empty()) reader.TransmitAPDU(apdu.data(), static_cast<uint32_t>(apdu.size()), small, &smallLen, &sw);
    if (smallLen > sizeof small && smallLen > SC_MAX_RESPONSE_DATA) __builtin_trap();
    return 0;
}
