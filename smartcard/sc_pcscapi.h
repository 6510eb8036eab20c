// The PC/SC interface as the reader layer sees it: the Linux (pcsc-lite) binary
// interface declared here, since the module never includes or links PC/SC at build
// time, and one function table filled at run time from a loaded library, with an
// optional prefix before every name (the card simulator exports "SimSCardConnect").
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

#include "smartcard/sc_errors.h"

namespace scpcsc {

// pcsc-lite's types on LP64.
typedef unsigned long DWORD;
typedef long LONG;
typedef LONG SCARDCONTEXT;
typedef LONG SCARDHANDLE;

constexpr unsigned MAX_ATR_SIZE = 33;
constexpr DWORD AUTOALLOCATE = static_cast<DWORD>(-1);
constexpr DWORD INFINITE_WAIT = 0xFFFFFFFF;

struct SCARD_IO_REQUEST {
    DWORD dwProtocol;
    DWORD cbPciLength;
};

struct SCARD_READERSTATE {
    const char* szReader;
    void* pvUserData;
    DWORD dwCurrentState;
    DWORD dwEventState;
    DWORD cbAtr;
    unsigned char rgbAtr[MAX_ATR_SIZE];
};

// Return codes (the PC/SC values).
constexpr uint32_t S_SUCCESS = 0x00000000;
constexpr uint32_t F_INTERNAL_ERROR = 0x80100001;
constexpr uint32_t E_CANCELLED = 0x80100002;
constexpr uint32_t E_INVALID_HANDLE = 0x80100003;
constexpr uint32_t E_INVALID_PARAMETER = 0x80100004;
constexpr uint32_t E_INVALID_TARGET = 0x80100005;
constexpr uint32_t E_NO_MEMORY = 0x80100006;
constexpr uint32_t F_WAITED_TOO_LONG = 0x80100007;
constexpr uint32_t E_INSUFFICIENT_BUFFER = 0x80100008;
constexpr uint32_t E_UNKNOWN_READER = 0x80100009;
constexpr uint32_t E_TIMEOUT = 0x8010000A;
constexpr uint32_t E_SHARING_VIOLATION = 0x8010000B;
constexpr uint32_t E_NO_SMARTCARD = 0x8010000C;
constexpr uint32_t E_UNKNOWN_CARD = 0x8010000D;
constexpr uint32_t E_CANT_DISPOSE = 0x8010000E;
constexpr uint32_t E_PROTO_MISMATCH = 0x8010000F;
constexpr uint32_t E_NOT_READY = 0x80100010;
constexpr uint32_t E_INVALID_VALUE = 0x80100011;
constexpr uint32_t E_SYSTEM_CANCELLED = 0x80100012;
constexpr uint32_t F_COMM_ERROR = 0x80100013;
constexpr uint32_t F_UNKNOWN_ERROR = 0x80100014;
constexpr uint32_t E_INVALID_ATR = 0x80100015;
constexpr uint32_t E_NOT_TRANSACTED = 0x80100016;
constexpr uint32_t E_READER_UNAVAILABLE = 0x80100017;
constexpr uint32_t P_SHUTDOWN = 0x80100018;
constexpr uint32_t E_PCI_TOO_SMALL = 0x80100019;
constexpr uint32_t E_READER_UNSUPPORTED = 0x8010001A;
constexpr uint32_t E_DUPLICATE_READER = 0x8010001B;
constexpr uint32_t E_CARD_UNSUPPORTED = 0x8010001C;
constexpr uint32_t E_NO_SERVICE = 0x8010001D;
constexpr uint32_t E_SERVICE_STOPPED = 0x8010001E;
constexpr uint32_t E_UNEXPECTED = 0x8010001F;
constexpr uint32_t E_NO_READERS_AVAILABLE = 0x8010002E;
constexpr uint32_t W_UNSUPPORTED_CARD = 0x80100065;
constexpr uint32_t W_UNRESPONSIVE_CARD = 0x80100066;
constexpr uint32_t W_UNPOWERED_CARD = 0x80100067;
constexpr uint32_t W_RESET_CARD = 0x80100068;
constexpr uint32_t W_REMOVED_CARD = 0x80100069;

constexpr DWORD SCOPE_USER = 0;
constexpr DWORD SCOPE_SYSTEM = 2;

constexpr DWORD SHARE_EXCLUSIVE = 1;
constexpr DWORD SHARE_SHARED = 2;
constexpr DWORD SHARE_DIRECT = 3;

constexpr DWORD PROTOCOL_UNDEFINED = 0;
constexpr DWORD PROTOCOL_T0 = 1;
constexpr DWORD PROTOCOL_T1 = 2;
constexpr DWORD PROTOCOL_RAW = 4;

constexpr DWORD LEAVE_CARD = 0;
constexpr DWORD RESET_CARD = 1;
constexpr DWORD UNPOWER_CARD = 2;
constexpr DWORD EJECT_CARD = 3;

constexpr DWORD STATE_UNAWARE = 0x0000;
constexpr DWORD STATE_IGNORE = 0x0001;
constexpr DWORD STATE_CHANGED = 0x0002;
constexpr DWORD STATE_UNKNOWN = 0x0004;
constexpr DWORD STATE_UNAVAILABLE = 0x0008;
constexpr DWORD STATE_EMPTY = 0x0010;
constexpr DWORD STATE_PRESENT = 0x0020;
constexpr DWORD STATE_ATRMATCH = 0x0040;
constexpr DWORD STATE_EXCLUSIVE = 0x0080;
constexpr DWORD STATE_INUSE = 0x0100;
constexpr DWORD STATE_MUTE = 0x0200;
constexpr DWORD STATE_UNPOWERED = 0x0400;

constexpr DWORD ATTR_VENDOR_NAME = 0x00010100;
constexpr DWORD ATTR_VENDOR_IFD_VERSION = 0x00010102;

typedef LONG (*FnEstablishContext)(DWORD, const void*, const void*, SCARDCONTEXT*);
typedef LONG (*FnReleaseContext)(SCARDCONTEXT);
typedef LONG (*FnIsValidContext)(SCARDCONTEXT);
typedef LONG (*FnListReaders)(SCARDCONTEXT, const char*, char*, DWORD*);
typedef LONG (*FnConnect)(SCARDCONTEXT, const char*, DWORD, DWORD, SCARDHANDLE*, DWORD*);
typedef LONG (*FnReconnect)(SCARDHANDLE, DWORD, DWORD, DWORD, DWORD*);
typedef LONG (*FnDisconnect)(SCARDHANDLE, DWORD);
typedef LONG (*FnBeginTransaction)(SCARDHANDLE);
typedef LONG (*FnEndTransaction)(SCARDHANDLE, DWORD);
typedef LONG (*FnTransmit)(SCARDHANDLE, const SCARD_IO_REQUEST*, const unsigned char*, DWORD,
                           SCARD_IO_REQUEST*, unsigned char*, DWORD*);
typedef LONG (*FnStatus)(SCARDHANDLE, char*, DWORD*, DWORD*, DWORD*, unsigned char*, DWORD*);
typedef LONG (*FnGetStatusChange)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD);
typedef LONG (*FnGetAttrib)(SCARDHANDLE, DWORD, unsigned char*, DWORD*);
typedef LONG (*FnCancel)(SCARDCONTEXT);

}  // namespace scpcsc

// One loaded PC/SC-style library. The reader objects of a back-end keep a pointer
// to their back-end's table; the table outlives them (unloading is the owner's
// last step).
struct SCPcscFunctionTable {
    scpcsc::FnEstablishContext EstablishContext = nullptr;
    scpcsc::FnReleaseContext ReleaseContext = nullptr;
    scpcsc::FnIsValidContext IsValidContext = nullptr;  // optional
    scpcsc::FnListReaders ListReaders = nullptr;
    scpcsc::FnConnect Connect = nullptr;
    scpcsc::FnReconnect Reconnect = nullptr;
    scpcsc::FnDisconnect Disconnect = nullptr;
    scpcsc::FnBeginTransaction BeginTransaction = nullptr;
    scpcsc::FnEndTransaction EndTransaction = nullptr;
    scpcsc::FnTransmit Transmit = nullptr;
    scpcsc::FnStatus Status = nullptr;
    scpcsc::FnGetStatusChange GetStatusChange = nullptr;
    scpcsc::FnGetAttrib GetAttrib = nullptr;  // optional
    scpcsc::FnCancel Cancel = nullptr;        // optional
    // Protocol control blocks; the library's own when it exports them.
    const scpcsc::SCARD_IO_REQUEST* T0Pci = nullptr;
    const scpcsc::SCARD_IO_REQUEST* T1Pci = nullptr;
    const scpcsc::SCARD_IO_REQUEST* RawPci = nullptr;

    // True when every required function is present.
    bool IsComplete() const;
};

// The loaded library behind one back-end: its handle, path, prefix, table, the
// text of the last load failure, and the back-end's call-trace switch.
class SCPcscLibrary {
public:
    // remoteService: every call of the library is a round trip to a reader
    // service in another process (pcsc-lite and its daemon), as opposed to a
    // library that keeps its readers in this process (the card simulator).
    explicit SCPcscLibrary(const char* backendName, bool remoteService = false)
        : m_backendName(backendName), m_remoteService(remoteService) {}
    ~SCPcscLibrary();

    // Loads path (with the name prefix) unless that library is already loaded;
    // a different library replaces the loaded one. On failure the table stays
    // empty and GetLoadError tells why.
    SCRESULT Load(const char* path, const char* prefix);
    void Unload();
    bool IsLoaded() const;

    // Installs a ready-made table (test doubles, or a library loaded elsewhere).
    void UseTable(const SCPcscFunctionTable& table);

    const SCPcscFunctionTable* GetTable() const;  // null when nothing is loaded
    std::string GetLoadError() const;
    const char* GetBackendName() const { return m_backendName; }
    bool IsRemoteService() const { return m_remoteService; }

    void SetTraceEnabled(bool on) { m_trace = on; }
    // In a forked child: the lock is made anew (the parent's may have been held).
    void StartAfreshInChild() { new (&m_lock) std::mutex; }
    bool IsTraceEnabled() const { return m_trace; }

private:
    mutable std::mutex m_lock;
    const char* m_backendName;
    const bool m_remoteService;
    void* m_handle = nullptr;
    bool m_loaded = false;
    std::string m_path;
    std::string m_prefix;
    std::string m_loadError;
    SCPcscFunctionTable m_table;
    std::atomic<bool> m_trace{false};
};

// Maps a PC/SC return code to a card result code (0 stays 0).
SCRESULT scMapPcscError(scpcsc::LONG rc);

// The PC/SC name of a return code ("SCARD_E_TIMEOUT"), for the call trace.
const char* scPcscErrorName(scpcsc::LONG rc);
