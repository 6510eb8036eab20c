// The "PC/SC" reader back-end over a PC/SC library loaded at run time, and the
// "TARVO-MELK" back-end over the card simulator's library, which exports the same
// functions under a name prefix. Both run the same reader code on their own
// function table.
#pragma once

#include <string>
#include <vector>

#include "smartcard/sc_pcscapi.h"
#include "smartcard/sc_reader.h"

class SCReaderPcsc : public SCReader {
public:
    static constexpr const char* BACKEND_NAME = "PC/SC";
    static constexpr const char* DEFAULT_LIBRARY = "libpcsclite.so.1";

    // A reader of the given back-end library (the PC/SC one by default).
    explicit SCReaderPcsc(const char* name, SCPcscLibrary* library = nullptr);
    ~SCReaderPcsc() override;

    const char* GetBackendName() const override { return m_lib->GetBackendName(); }
    bool IsServiceRemote() const override { return m_lib->IsRemoteService(); }

    // Loads the PC/SC library (null = DEFAULT_LIBRARY) and its functions.
    static SCRESULT LoadPcscFunctions(const char* path);
    // Text of the last load failure, "" when none.
    static std::string GetLoadError();
    // Process-wide call trace of the back-end (one log line per PC/SC call).
    static void SetTraceEnabled(bool on);
    // The back-end's library object (tests install a function table through it).
    static SCPcscLibrary& Library();

    // The readers a back-end library lists (mode: SC_LIST_*).
    static SCRESULT ListReadersOf(SCPcscLibrary& library, std::vector<std::string>* names, uint32_t mode);

protected:
    SCRESULT _Init(uint32_t flags) override;
    void _Release() override;
    SCRESULT _Connect(uint32_t share, uint32_t protocols, uint32_t* active) override;
    SCRESULT _Reconnect(uint32_t share, uint32_t protocols, uint32_t initialization, uint32_t* active) override;
    SCRESULT _Disconnect(uint32_t disposition) override;
    SCRESULT _ResetUnderCall() override;
    SCRESULT _Status(uint8_t* atr, uint32_t* atrLen) override;
    SCRESULT _GetStatusChange(uint32_t timeoutMs, uint64_t current, uint64_t* event) override;
    SCRESULT _Transmit(const uint8_t* apdu, uint32_t len, uint8_t* resp, uint32_t* respLen) override;
    SCRESULT _BeginTransaction() override;
    SCRESULT _EndTransaction(uint32_t disposition) override;
    SCRESULT _GetAttrib(uint32_t id, uint8_t* buf, uint32_t* len) override;

private:
    const SCPcscFunctionTable* Table() const;
    bool Trace() const { return m_lib->IsTraceEnabled(); }

    SCPcscLibrary* m_lib;
    scpcsc::SCARDCONTEXT m_ctx = 0;
    bool m_hasCtx = false;
    scpcsc::SCARDHANDLE m_hCard = 0;
    bool m_hasCard = false;
    scpcsc::DWORD m_proto = 0;
};

class SCReaderDravok : public SCReaderPcsc {
public:
    static constexpr const char* BACKEND_NAME = "TARVO-MELK";

    explicit SCReaderDravok(const char* name) : SCReaderPcsc(name, &Library()) {}

    // Loads the simulator library with the prefix of its function names.
    static SCRESULT LoadDravokFunctions(const char* path, const char* prefix);
    // The same from one "path;prefix" text, split at the last ';' (no ';': no prefix).
    static SCRESULT LoadDravokFunctions(const char* pathAndPrefix);
    static std::string GetLoadError();
    static void SetTraceEnabled(bool on);
    static SCPcscLibrary& Library();
};
