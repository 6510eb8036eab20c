// Configuration source backed by a text file of "name = value" lines: comments,
// quoting and escapes, continuation lines, section paths inside option names.
#pragma once

#include <string>

#include "support/cfgbase.h"
#include "support/cfgparam.h"
#include "support/tlists.h"

// Option flags of a file source.
const uint32_t CFG_FILE_TRIM_NAMES = 0x1;         // remove blanks from option names
const uint32_t CFG_FILE_TRIM_SECTIONS = 0x2;      // remove blanks from section names
const uint32_t CFG_FILE_CASE_PARAMS = 0x10;       // parameter names compare with case
const uint32_t CFG_FILE_CASE_SECTIONS = 0x20;     // section names compare with case
const uint32_t CFG_FILE_SECTION_PATHS = 0x10000;  // INI: section paths allowed in option names

// Unquotes text (length -1: up to the NUL). Strict mode (names): literal unless it
// starts with a double quote, then one quoted string that must end the text.
// Lenient mode (values): quotes open and close quoted stretches anywhere. 1 success.
int CfgUnquote(const char* text, int length, std::string* out, bool lenient);
// Index of the double quote closing the quoted text opened at s[start] (a backslash
// escapes the next character inside quotes), or n when it stays open.
size_t CfgScanQuoted(const char* s, size_t n, size_t start);
// Quoted form with escapes.
void CfgQuote(const char* text, int length, std::string* out);
// True for bytes outside 32-126, double quote, apostrophe, backslash, or a leading or
// trailing space.
bool CfgNeedsQuoting(const char* text, int length);

class CfgFile : public CfgBase {
public:
    CfgFile();
    ~CfgFile() override;

    bool SetPath(const char* path) override;
    void ClearPath() override;
    bool Read() override;
    const char* GetString(const char* section, const char* name, const char* def, bool* found) override;
    bool SetString(const char* section, const char* name, const char* text) override;
    bool Flush() override;
    int GetNextParam(const char* section, size_t* iterator, std::string* name, uint32_t* type) override;
    int GetNextSection(const char* parent, size_t* iterator, std::string* name) override;
    bool Remove(const char* section, const char* name) override;
    bool RemoveSection(const char* section, bool withSubsections) override;

    virtual int StripComment(std::string* out, const char* line, int length);
    virtual const char* FindCommentPrefix(const char* text, int length, const char** prefix);
    // 0 error, 1 complete, 2 a continuation line follows.
    virtual int ParseLine(std::string* name, std::string* value, std::string* section, const char* line, int length);
    virtual int ParseContinuation(std::string* value, const char* line, int length);
    virtual bool ConvertSectionSeparator(std::string* out, const char* name, bool toInternal);
    virtual bool FormatHeaderComment(std::string* out);
    virtual bool FormatComment(std::string* out, const char* text, int length);
    virtual bool ExtractCommentText(std::string* out, const char* text, int length);
    virtual bool ReadFile();
    virtual bool WriteFile();

    uint32_t GetOptionFlags() const { return m_options; }
    void SetOptionFlags(bool on, uint32_t mask);
    unsigned GetLineNumber() const { return m_line; }
    const CfgSectionList& GetSections() const { return m_sections; }

protected:
    bool IgnoreCaseParams() const { return (m_options & CFG_FILE_CASE_PARAMS) == 0; }
    bool IgnoreCaseSections() const { return (m_options & CFG_FILE_CASE_SECTIONS) == 0; }
    CfgSection* FindFileSection(const char* name) const;
    bool ContainsCommentString(const std::string& text) const;
    // The name or value as written: quoted when it needs it.
    std::string WriteForm(const std::string& text, bool isName, bool allowBackslash) const;
    // Opens the temporary file, creating the directory when missing; NULL on failure
    // (the warning is added).
    FILE* OpenTemporary(const std::string& expanded, std::string* tmpName);
    // Closes and renames the temporary file; false (with the warning) on failure.
    bool FinishTemporary(FILE* f, const std::string& tmpName, const std::string& expanded, bool writeOk,
                         const char* renameMessage);

    CfgSectionList m_sections;
    TextStringList m_separators;
    TextStringList m_comments;
    char m_separator = '=';
    unsigned m_line = 0;
    uint32_t m_options = 0;
    int m_pendingRead = -1;
    bool m_splitQuotedNames = true;  // a quoted name still names a section path
};
