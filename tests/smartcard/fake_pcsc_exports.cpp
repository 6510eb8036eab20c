// The fake PC/SC library as a shared library with pcsc-lite's function names,
// for hosts that load their PC/SC library by path (the module's PcscLibrary).
// A test that links it controls the same instance the host loads.
#include "fake_pcsc.h"

using namespace scpcsc;

namespace {

const SCPcscFunctionTable& T() {
    static const SCPcscFunctionTable table = fakepcsc::Table();
    return table;
}

}  // namespace

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT LONG SCardEstablishContext(DWORD scope, const void* r1, const void* r2, SCARDCONTEXT* ctx) {
    return T().EstablishContext(scope, r1, r2, ctx);
}
FAKE_EXPORT LONG SCardReleaseContext(SCARDCONTEXT ctx) { return T().ReleaseContext(ctx); }
FAKE_EXPORT LONG SCardListReaders(SCARDCONTEXT ctx, const char* groups, char* buf, DWORD* len) {
    return T().ListReaders(ctx, groups, buf, len);
}
FAKE_EXPORT LONG SCardConnect(SCARDCONTEXT ctx, const char* name, DWORD share, DWORD protocols, SCARDHANDLE* h,
                              DWORD* active) {
    return T().Connect(ctx, name, share, protocols, h, active);
}
FAKE_EXPORT LONG SCardReconnect(SCARDHANDLE h, DWORD share, DWORD protocols, DWORD init, DWORD* active) {
    return T().Reconnect(h, share, protocols, init, active);
}
FAKE_EXPORT LONG SCardDisconnect(SCARDHANDLE h, DWORD disposition) { return T().Disconnect(h, disposition); }
FAKE_EXPORT LONG SCardBeginTransaction(SCARDHANDLE h) { return T().BeginTransaction(h); }
FAKE_EXPORT LONG SCardEndTransaction(SCARDHANDLE h, DWORD disposition) { return T().EndTransaction(h, disposition); }
FAKE_EXPORT LONG SCardTransmit(SCARDHANDLE h, const SCARD_IO_REQUEST* pci, const unsigned char* in, DWORD inLen,
                               SCARD_IO_REQUEST* recvPci, unsigned char* out, DWORD* outLen) {
    return T().Transmit(h, pci, in, inLen, recvPci, out, outLen);
}
FAKE_EXPORT LONG SCardStatus(SCARDHANDLE h, char* name, DWORD* nameLen, DWORD* state, DWORD* proto,
                             unsigned char* atr, DWORD* atrLen) {
    return T().Status(h, name, nameLen, state, proto, atr, atrLen);
}
FAKE_EXPORT LONG SCardGetStatusChange(SCARDCONTEXT ctx, DWORD timeout, SCARD_READERSTATE* rs, DWORD n) {
    return T().GetStatusChange(ctx, timeout, rs, n);
}
