// Configuration sources: the abstract source with its typed getters and setters,
// the readers of typed text, warning lines, and file-system helpers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Translates warning formats before use; none is installed by the system itself.
class CfgMessageHandler {
public:
    virtual ~CfgMessageHandler();
    virtual const char* TranslateMessage(const char* text, const char* context) = 0;
};

void CfgSetDefaultMessageHandler(CfgMessageHandler* handler);
CfgMessageHandler* CfgGetDefaultMessageHandler();

// Source flag bits.
const uint32_t CFG_SOURCE_SYSTEM = 0x1;      // may supply system-only options
const uint32_t CFG_SOURCE_CHANGED = 0x8000;  // contents changed since read

// Value types (of options and of enumerated parameters).
const uint32_t CFG_TYPE_TEXT = 0;
const uint32_t CFG_TYPE_INT = 1;
const uint32_t CFG_TYPE_BOOL = 2;
const uint32_t CFG_TYPE_BINARY = 3;

class CfgBase {
public:
    CfgBase();
    virtual ~CfgBase();

    CfgBase(const CfgBase&) = delete;
    CfgBase& operator=(const CfgBase&) = delete;

    virtual bool SetPath(const char* path);
    virtual void ClearPath();
    virtual bool Read();
    // The stored text (valid until the source changes), else def ("" for NULL).
    virtual const char* GetString(const char* section, const char* name, const char* def, bool* found) = 0;
    virtual bool GetBool(const char* section, const char* name, bool def, bool* found);
    virtual unsigned long GetInt(const char* section, const char* name, unsigned long def, bool* found);
    virtual std::vector<uint8_t> GetBinary(const char* section, const char* name, bool* found);
    virtual bool SetString(const char* section, const char* name, const char* text) = 0;
    virtual bool SetBool(const char* section, const char* name, bool value);
    virtual bool SetInt(const char* section, const char* name, unsigned long value);
    virtual bool SetBinary(const char* section, const char* name, const uint8_t* data, size_t length);
    virtual bool Flush();
    // Enumeration from *iterator (start at 0): 0 an item was delivered, 1 no further
    // item, 2 the section is unknown to the source.
    virtual int GetNextParam(const char* section, size_t* iterator, std::string* name, uint32_t* type) = 0;
    virtual int GetNextSection(const char* parent, size_t* iterator, std::string* name) = 0;
    virtual bool Remove(const char* section, const char* name);
    virtual bool RemoveSection(const char* section, bool withSubsections);
    virtual const char* TranslateMessage(const char* text, const char* context);

    void AssignPath(const char* path);
    const char* GetPath() const { return m_path.c_str(); }
    // The part of the path after its last '/'.
    const char* GetFileName() const;
    const char* GetLastError() const { return m_lastError.c_str(); }
    void ClearLastError() { m_lastError.clear(); }
    // Appends one line (a newline is added before and after as needed).
    void AddError(const char* format, ...);
    void AddFileError(const char* text, long errorCode, int line);

    void SetSourceFlags(bool on, uint32_t mask);
    bool IsSystemSource() const { return (m_flags & CFG_SOURCE_SYSTEM) != 0; }

    void SetMessageHandler(CfgMessageHandler* handler) { m_handler = handler; }
    CfgMessageHandler* GetMessageHandler() const;
    const char* TranslateMessageThunk(const char* text, const char* context) { return TranslateMessage(text, context); }

protected:
    void AddInvalidValueError(const char* type, const char* section, const char* name, const char* value);

    std::string m_path;
    std::string m_lastError;
    uint32_t m_flags = 0;
    CfgMessageHandler* m_handler = nullptr;
};

// Typed text readers: 1 success (out written), 0 not a value of that type.
int CfgParseInt(const char* text, unsigned long* out);
int CfgParseBool(const char* text, bool* out);
int CfgParseBinary(const char* text, std::vector<uint8_t>* out);

void CfgFormatV(std::string* out, const char* format, va_list args);
void CfgFormat(std::string* out, const char* format, ...);
void CfgAppendFormatV(std::string* out, const char* format, va_list args);
void CfgAppendFormat(std::string* out, const char* format, ...);
// Appends "prefix(line): message[: system error text]\n" after a newline as needed;
// errorCode -1 is the current errno, 0 adds no system text.
void CfgAppendErrorLine(std::string* out, const char* prefix, const char* message, long errorCode, int line);

// HOME; 0 (out untouched) when unset or empty.
int GetHomeDirectory(std::string* out);
// "~/x" becomes HOME + "/x" ("/" + "x" without HOME); other paths unchanged.
int CfgExpandPath(std::string* out, const char* path);
int CfgIsDirectory(const char* path);
int CfgMakeDirectory(const char* path, bool recursive, int mode);
// out = the text before the last '/'; unchanged without one. Returns out's text.
const char* CfgDirectoryPart(std::string* out, const char* path);
int CfgRenameFile(const char* from, const char* to);

int CfgIsHexDigit(int c);
int CfgHexDigitValue(int c);
char CfgHexDigitChar(unsigned v);
