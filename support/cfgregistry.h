// Registry configuration source: not available on this platform; every operation
// reports so or answers with its default.
#pragma once

#include <string>

#include "support/cfgbase.h"

class CfgRegistry : public CfgBase {
public:
    CfgRegistry();
    ~CfgRegistry() override;

    bool SetPath(const char* path) override;
    bool Read() override;
    const char* GetString(const char* section, const char* name, const char* def, bool* found) override;
    bool SetString(const char* section, const char* name, const char* text) override;
    bool Flush() override;
    int GetNextParam(const char* section, size_t* iterator, std::string* name, uint32_t* type) override;
    int GetNextSection(const char* parent, size_t* iterator, std::string* name) override;
    bool Remove(const char* section, const char* name) override;
    bool RemoveSection(const char* section, bool withSubsections) override;

    // Root key named before the first backslash ("system" or "user"); none exists here.
    static void* GetRootKey(const char* path);
    static const char* StripRootKey(const char* path);
    // System text of code without trailing line feeds, carriage returns, full stops and blanks.
    static void GetSystemMessage(long code, std::string* out);
    long GetLastStatus() const { return m_status; }

private:
    long m_status = 0;
};
