#include "smartcard/sc_pcscapi.h"

#include <dlfcn.h>

#include <cstring>

#include "smartcard/sc_log.h"

using namespace scpcsc;

bool SCPcscFunctionTable::IsComplete() const {
    return EstablishContext && ReleaseContext && ListReaders && Connect && Reconnect && Disconnect &&
           BeginTransaction && EndTransaction && Transmit && Status && GetStatusChange;
}

SCPcscLibrary::~SCPcscLibrary() { Unload(); }

namespace {

template <typename Fn>
void Resolve(void* handle, const std::string& prefix, const char* name, Fn& out) {
    const std::string full = prefix + name;
    out = reinterpret_cast<Fn>(dlsym(handle, full.c_str()));
}

}  // namespace

SCRESULT SCPcscLibrary::Load(const char* path, const char* prefix) {
    if (path == nullptr || *path == '\0') {
        std::lock_guard<std::mutex> g(m_lock);
        m_loadError = "no library path given";
        return SC_E_BAD_PARAMS;
    }
    const std::string wantPath = path;
    const std::string wantPrefix = prefix ? prefix : "";
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_loaded && m_handle != nullptr && m_path == wantPath && m_prefix == wantPrefix) return SC_OK;
    }
    Unload();

    std::lock_guard<std::mutex> g(m_lock);
    dlerror();
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* err = dlerror();
        m_loadError = err ? err : "cannot load the library";
        scLog("%s: cannot load '%s': %s", m_backendName, path, m_loadError.c_str());
        return SC_E_NO_READER_SUBSYSTEM;
    }
    SCPcscFunctionTable t;
    Resolve(handle, wantPrefix, "SCardEstablishContext", t.EstablishContext);
    Resolve(handle, wantPrefix, "SCardReleaseContext", t.ReleaseContext);
    Resolve(handle, wantPrefix, "SCardIsValidContext", t.IsValidContext);
    Resolve(handle, wantPrefix, "SCardListReaders", t.ListReaders);
    Resolve(handle, wantPrefix, "SCardConnect", t.Connect);
    Resolve(handle, wantPrefix, "SCardReconnect", t.Reconnect);
    Resolve(handle, wantPrefix, "SCardDisconnect", t.Disconnect);
    Resolve(handle, wantPrefix, "SCardBeginTransaction", t.BeginTransaction);
    Resolve(handle, wantPrefix, "SCardEndTransaction", t.EndTransaction);
    Resolve(handle, wantPrefix, "SCardTransmit", t.Transmit);
    Resolve(handle, wantPrefix, "SCardStatus", t.Status);
    Resolve(handle, wantPrefix, "SCardGetStatusChange", t.GetStatusChange);
    Resolve(handle, wantPrefix, "SCardGetAttrib", t.GetAttrib);
    Resolve(handle, wantPrefix, "SCardCancel", t.Cancel);
    Resolve(handle, wantPrefix, "g_rgSCardT0Pci", t.T0Pci);
    Resolve(handle, wantPrefix, "g_rgSCardT1Pci", t.T1Pci);
    Resolve(handle, wantPrefix, "g_rgSCardRawPci", t.RawPci);
    if (!t.IsComplete()) {
        const char* missing = !t.EstablishContext ? "SCardEstablishContext"
                              : !t.ReleaseContext ? "SCardReleaseContext"
                              : !t.ListReaders    ? "SCardListReaders"
                              : !t.Connect        ? "SCardConnect"
                              : !t.Reconnect      ? "SCardReconnect"
                              : !t.Disconnect     ? "SCardDisconnect"
                              : !t.BeginTransaction ? "SCardBeginTransaction"
                              : !t.EndTransaction ? "SCardEndTransaction"
                              : !t.Transmit       ? "SCardTransmit"
                              : !t.Status         ? "SCardStatus"
                                                  : "SCardGetStatusChange";
        m_loadError = std::string("missing function ") + wantPrefix + missing + " in " + path;
        scLog("%s: %s", m_backendName, m_loadError.c_str());
        dlclose(handle);
        return SC_E_NO_READER_SUBSYSTEM;
    }
    m_handle = handle;
    m_table = t;
    m_loaded = true;
    m_path = wantPath;
    m_prefix = wantPrefix;
    m_loadError.clear();
    return SC_OK;
}

void SCPcscLibrary::Unload() {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_handle != nullptr) dlclose(m_handle);
    m_handle = nullptr;
    m_loaded = false;
    m_table = SCPcscFunctionTable();
    m_path.clear();
    m_prefix.clear();
}

const SCPcscFunctionTable* SCPcscLibrary::GetTable() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_loaded ? &m_table : nullptr;
}

bool SCPcscLibrary::IsLoaded() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_loaded;
}

void SCPcscLibrary::UseTable(const SCPcscFunctionTable& table) {
    Unload();
    std::lock_guard<std::mutex> g(m_lock);
    m_table = table;
    m_loaded = table.IsComplete();
    m_loadError = m_loaded ? "" : "incomplete function table";
}

std::string SCPcscLibrary::GetLoadError() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_loadError;
}

SCRESULT scMapPcscError(LONG rc) {
    switch (static_cast<uint32_t>(rc)) {
    case S_SUCCESS: return SC_OK;
    case E_NO_SERVICE: return SC_E_READER_SUBSYSTEM_NOT_RUNNING;
    case E_SERVICE_STOPPED:
    case E_INVALID_HANDLE: return SC_E_READER_SUBSYSTEM_RESTARTED;
    case E_UNKNOWN_READER: return SC_E_READER_NOT_FOUND;
    case E_READER_UNAVAILABLE:
    case E_READER_UNSUPPORTED:
    case E_DUPLICATE_READER: return SC_E_READER_NOT_AVAILABLE;
    case E_TIMEOUT: return SC_E_TIMEOUT;
    case E_SHARING_VIOLATION: return SC_E_CARD_IS_USED;
    case E_NO_SMARTCARD: return SC_E_NO_SMARTCARD;
    case W_REMOVED_CARD: return SC_E_CARD_REMOVED;
    case W_RESET_CARD: return SC_E_CARD_WAS_RESET;
    case E_PROTO_MISMATCH: return SC_E_CARD_PROTO_MISMATCH;
    case E_UNKNOWN_CARD:
    case E_CARD_UNSUPPORTED:
    case E_INVALID_ATR:
    case W_UNSUPPORTED_CARD:
    case W_UNRESPONSIVE_CARD:
    case W_UNPOWERED_CARD: return SC_E_CARD_UNSUPPORTED;
    case E_NOT_TRANSACTED:
    case F_COMM_ERROR: return SC_E_TRANSMISSION_FAILED;
    case E_NO_MEMORY: return SC_E_NO_MEMORY;
    case E_INSUFFICIENT_BUFFER: return SC_E_INSUFFICIENT_BUFFER;
    case E_INVALID_PARAMETER:
    case E_INVALID_VALUE:
    case E_INVALID_TARGET:
    case E_PCI_TOO_SMALL: return SC_E_BAD_PARAMS;
    case E_NO_READERS_AVAILABLE: return SC_E_READER_NOT_FOUND;
    case E_NOT_READY: return SC_E_READER_NOT_AVAILABLE;
    case E_CANCELLED:
    case E_SYSTEM_CANCELLED:
    case P_SHUTDOWN: return SC_E_SYSTEM_ERROR;
    default: return SC_E_COMM_FAILED;
    }
}

const char* scPcscErrorName(LONG rc) {
    switch (static_cast<uint32_t>(rc)) {
    case S_SUCCESS: return "SCARD_S_SUCCESS";
    case F_INTERNAL_ERROR: return "SCARD_F_INTERNAL_ERROR";
    case E_CANCELLED: return "SCARD_E_CANCELLED";
    case E_INVALID_HANDLE: return "SCARD_E_INVALID_HANDLE";
    case E_INVALID_PARAMETER: return "SCARD_E_INVALID_PARAMETER";
    case E_INVALID_TARGET: return "SCARD_E_INVALID_TARGET";
    case E_NO_MEMORY: return "SCARD_E_NO_MEMORY";
    case F_WAITED_TOO_LONG: return "SCARD_F_WAITED_TOO_LONG";
    case E_INSUFFICIENT_BUFFER: return "SCARD_E_INSUFFICIENT_BUFFER";
    case E_UNKNOWN_READER: return "SCARD_E_UNKNOWN_READER";
    case E_TIMEOUT: return "SCARD_E_TIMEOUT";
    case E_SHARING_VIOLATION: return "SCARD_E_SHARING_VIOLATION";
    case E_NO_SMARTCARD: return "SCARD_E_NO_SMARTCARD";
    case E_UNKNOWN_CARD: return "SCARD_E_UNKNOWN_CARD";
    case E_CANT_DISPOSE: return "SCARD_E_CANT_DISPOSE";
    case E_PROTO_MISMATCH: return "SCARD_E_PROTO_MISMATCH";
    case E_NOT_READY: return "SCARD_E_NOT_READY";
    case E_INVALID_VALUE: return "SCARD_E_INVALID_VALUE";
    case E_SYSTEM_CANCELLED: return "SCARD_E_SYSTEM_CANCELLED";
    case F_COMM_ERROR: return "SCARD_F_COMM_ERROR";
    case F_UNKNOWN_ERROR: return "SCARD_F_UNKNOWN_ERROR";
    case E_INVALID_ATR: return "SCARD_E_INVALID_ATR";
    case E_NOT_TRANSACTED: return "SCARD_E_NOT_TRANSACTED";
    case E_READER_UNAVAILABLE: return "SCARD_E_READER_UNAVAILABLE";
    case P_SHUTDOWN: return "SCARD_P_SHUTDOWN";
    case E_PCI_TOO_SMALL: return "SCARD_E_PCI_TOO_SMALL";
    case E_READER_UNSUPPORTED: return "SCARD_E_READER_UNSUPPORTED";
    case E_DUPLICATE_READER: return "SCARD_E_DUPLICATE_READER";
    case E_CARD_UNSUPPORTED: return "SCARD_E_CARD_UNSUPPORTED";
    case E_NO_SERVICE: return "SCARD_E_NO_SERVICE";
    case E_SERVICE_STOPPED: return "SCARD_E_SERVICE_STOPPED";
    case E_UNEXPECTED: return "SCARD_E_UNEXPECTED";
    case E_NO_READERS_AVAILABLE: return "SCARD_E_NO_READERS_AVAILABLE";
    case W_UNSUPPORTED_CARD: return "SCARD_W_UNSUPPORTED_CARD";
    case W_UNRESPONSIVE_CARD: return "SCARD_W_UNRESPONSIVE_CARD";
    case W_UNPOWERED_CARD: return "SCARD_W_UNPOWERED_CARD";
    case W_RESET_CARD: return "SCARD_W_RESET_CARD";
    case W_REMOVED_CARD: return "SCARD_W_REMOVED_CARD";
    default: return "SCARD_(unknown)";
    }
}
