// Configuration manager: declared options read from a list of sources in order
// (later sources override earlier ones), typed access, and writing back.
#pragma once

#include <cstdint>
#include <string>

#include "support/cfgbase.h"
#include "support/cfgparam.h"
#include "support/ptrlist.h"

// Source types for CreateSource/AddSource.
const int CFG_SOURCE_FILE = 1;      // key=value file
const int CFG_SOURCE_REGISTRY = 3;  // not available on this platform
const int CFG_SOURCE_INI = 4;       // INI file
const int CFG_SOURCE_INI2 = 7;      // INI file as well

class CfgManager : public TypedPointerList<CfgBase> {
public:
    CfgManager();
    ~CfgManager() override;

    virtual const char* TranslateMessage(const char* text, const char* context);
    virtual bool Read();
    virtual bool Write(bool reverse = false, bool preferOwnSource = true);
    // Declares the options of a derived configuration; true here.
    virtual bool DeclareOptions();

    bool SetConfigName(const char* name, const char* directory);
    const char* GetConfigName() const { return m_name.c_str(); }
    const char* GetConfigDirectory() const { return m_directory.c_str(); }

    CfgBase* CreateSource(int type);
    CfgBase* AddSource(int type, const char* path);
    CfgBase* InsertSource(int type, const char* path);
    // "/etc/<dir>/<name>.conf" as a system source.
    bool AddSystemConfigFile();
    // "$HOME/.<dir>/<name>.conf"; false when HOME is unset or empty.
    bool AddUserConfigFile();
    bool AddDefaultConfigFiles(bool withSystemFile);
    // Folder that holds the system-wide files ("/etc" unless moved, for tests).
    bool SetSystemDirectory(const char* dir);

    void SetMessageHandler(CfgMessageHandler* handler, bool propagate);
    CfgMessageHandler* GetMessageHandler() const;
    const char* FormatMessageText(const char* text) { return TranslateMessage(text, nullptr); }
    const char* GetLastError() const { return m_error.c_str(); }

    CfgSection* GetGlobalSection() { return &m_global; }
    CfgSectionList& GetSections() { return m_sections; }
    CfgSection* AddSection(const char* name);
    CfgSection* FindSection(const char* name) const;
    bool RemoveSection(const char* name);
    CfgSection* FindNextSection(const char* parent, size_t* position, bool ignoreCase) const;
    // Sets or clears flag 0x1 of every declared section of that name (NULL: the global section).
    void SetSectionFlag(const char* name, bool on);
    // Any section flags (CFG_SECT_*); the section is declared when missing.
    bool SetSectionFlags(const char* name, uint32_t mask, bool on);

    CfgParamAndValue* DeclareOption(const char* name, const char* section, uint32_t type, bool optional);
    CfgParamAndValue* GetOrDeclareOption(const char* name, const char* section, uint32_t type, bool optional);
    CfgParamAndValue* FindOption(const char* name, const char* section) const;
    bool RemoveOption(const char* name, const char* section);
    bool ResetOption(const char* name, const char* section);

    // 1 when the option has a value of the type asked for; the output is left alone otherwise.
    int GetString(const char* name, const char** value, const char* section = nullptr) const;
    int GetInt(const char* name, unsigned long* value, const char* section = nullptr) const;
    int GetBool(const char* name, bool* value, const char* section = nullptr) const;
    int GetBinary(const char* name, const uint8_t** data, uint32_t* length, const char* section = nullptr) const;

    bool SetString(const char* name, const char* text, const char* section = nullptr);
    bool SetInt(const char* name, unsigned long value, const char* section = nullptr);
    bool SetBool(const char* name, bool value, const char* section = nullptr);
    bool SetBinary(const char* name, const uint8_t* data, size_t length, const char* section = nullptr);

    // Copies the values of a section's options out of one source.
    bool MergeFromSource(CfgBase* source, const char* sectionName);
    bool CheckMandatory(const char* sectionName);

protected:
    bool MergeOption(CfgBase* source, const char* sectionName, CfgParamAndValue* option);
    void AppendError(const char* format, ...);

    CfgSection m_global;
    CfgSectionList m_sections;
    std::string m_name;
    std::string m_directory;
    std::string m_error;
    CfgMessageHandler* m_handler = nullptr;
    int m_defaultFileType = CFG_SOURCE_INI;
    std::string m_etc = "/etc";
};
