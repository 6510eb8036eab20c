#include "support/cfgfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "support/safefile.h"
#include "support/textutil.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string TrimBlanks(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

std::string RemoveSpaces(const std::string& s)
{
    std::string r;
    for (char c : s)
        if (c != ' ')
            r.push_back(c);
    return r;
}

size_t TextLength(const char* text, int length)
{
    return length < 0 ? strlen(text) : static_cast<size_t>(length);
}

// Reads one line of any length; the line feed and a carriage return before it are
// removed. False at the end of the file (or on an empty read).
// Reads one line; *left counts down the bytes the file may still give (a file
// that grows while it is read stops at the bound).
bool ReadLine(FILE* f, std::string* line, uint64_t* left)
{
    line->clear();
    int c;
    bool any = false;
    while (*left > 0 && (c = getc(f)) != EOF) {
        --*left;
        any = true;
        if (c == '\n')
            break;
        line->push_back(static_cast<char>(c));
    }
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return any;
}

bool WriteAll(FILE* f, const std::string& s)
{
    return s.empty() || fwrite(s.data(), 1, s.size(), f) == s.size();
}

}  // namespace

// Index of the double quote that closes the quoted text opened at s[start], or n
// when it stays open. Inside quotes a backslash escapes the next character, so an
// escaped backslash before a quote does not hide that quote.
size_t CfgScanQuoted(const char* s, size_t n, size_t start)
{
    for (size_t i = start + 1; i < n; ++i) {
        if (s[i] == '\\') {
            ++i;
            continue;
        }
        if (s[i] == '"')
            return i;
    }
    return n;
}

namespace {
// Decodes the escape after the backslash at s[i]; returns the index of its last character.
size_t DecodeEscape(const char* s, size_t n, size_t i, std::string* out)
{
    size_t j = i + 1;
    if (j >= n) {
        out->push_back('\\');
        return i;
    }
    char c = s[j];
    switch (c) {
    case 'a': out->push_back('\a'); return j;
    case 'b': out->push_back('\b'); return j;
    case 'f': out->push_back('\f'); return j;
    case 'n': out->push_back('\n'); return j;
    case 'r': out->push_back('\r'); return j;
    case 't': out->push_back('\t'); return j;
    case 'v': out->push_back('\v'); return j;
    default: break;
    }
    if (c >= '0' && c <= '7') {
        unsigned v = 0;
        size_t k = j;
        for (int d = 0; d < 3 && k < n && s[k] >= '0' && s[k] <= '7'; ++d, ++k)
            v = v * 8 + static_cast<unsigned>(s[k] - '0');
        out->push_back(static_cast<char>(v & 0xFF));
        return k - 1;
    }
    if (c == 'x') {
        unsigned v = 0;
        size_t k = j + 1;
        int d = 0;
        for (; d < 2 && k < n && CfgHexDigitValue(static_cast<unsigned char>(s[k])) >= 0; ++d, ++k)
            v = v * 16 + static_cast<unsigned>(CfgHexDigitValue(static_cast<unsigned char>(s[k])));
        if (d == 0) {
            out->push_back('x');
            return j;
        }
        out->push_back(static_cast<char>(v));
        return k - 1;
    }
    out->push_back(c);  // double quote, apostrophe, backslash and any other character
    return j;
}
}  // namespace

int CfgUnquote(const char* text, int length, std::string* out, bool lenient)
{
    if (out == nullptr)
        return 0;
    out->clear();
    if (text == nullptr)
        return 1;
    std::string t = TrimBlanks(std::string(text, TextLength(text, length)));
    const char* s = t.c_str();
    size_t n = t.size();
    if (n == 0)
        return 1;
    if (!lenient) {
        if (s[0] != '"') {
            if (t.find('"') != std::string::npos)
                return 0;
            *out = t;
            return 1;
        }
        size_t i = 1;
        for (; i < n; ++i) {
            if (s[i] == '\\') {
                i = DecodeEscape(s, n, i, out);
                continue;
            }
            if (s[i] == '"')
                break;
            out->push_back(s[i]);
        }
        return (i < n && i == n - 1) ? 1 : 0;
    }
    bool quoted = false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted && c == '\\') {
            i = DecodeEscape(s, n, i, out);
            continue;
        }
        out->push_back(c);
    }
    return quoted ? 0 : 1;
}

void CfgQuote(const char* text, int length, std::string* out)
{
    out->clear();
    if (text == nullptr)
        return;
    size_t n = TextLength(text, length);
    out->push_back('"');
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case 7: out->append("\\a"); continue;
        case 8: out->append("\\b"); continue;
        case 9: out->append("\\t"); continue;
        case 10: out->append("\\n"); continue;
        case 11: out->append("\\v"); continue;
        case 12: out->append("\\f"); continue;
        case 13: out->append("\\r"); continue;
        case '"': out->append("\\\""); continue;
        case '\'': out->append("\\'"); continue;
        case '\\': out->append("\\\\"); continue;
        default: break;
        }
        if (c < 32 || c >= 128) {
            out->append("\\x");
            out->push_back(CfgHexDigitChar(c >> 4));
            out->push_back(CfgHexDigitChar(c & 15));
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

namespace {
bool NeedsQuotingImpl(const char* text, size_t n, bool allowBackslash)
{
    if (n == 0)
        return false;
    if (text[0] == ' ' || text[n - 1] == ' ')
        return true;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c > 126 || c == '"' || c == '\'')
            return true;
        if (c == '\\' && !allowBackslash)
            return true;
    }
    return false;
}
}  // namespace

bool CfgNeedsQuoting(const char* text, int length)
{
    if (text == nullptr)
        return false;
    return NeedsQuotingImpl(text, TextLength(text, length), false);
}

// ---------------------------------------------------------------------------

CfgFile::CfgFile()
{
    m_comments.AddTail("#");
}

CfgFile::~CfgFile() = default;

bool CfgFile::SetPath(const char* path)
{
    return CfgBase::SetPath(path);
}

void CfgFile::ClearPath()
{
    CfgBase::ClearPath();
}

void CfgFile::SetOptionFlags(bool on, uint32_t mask)
{
    if (on)
        m_options |= mask;
    else
        m_options &= ~mask;
}

bool CfgFile::Read()
{
    m_lastError.clear();
    if (m_pendingRead != -1) {
        int r = m_pendingRead;
        m_pendingRead = -1;
        return r == 1;
    }
    bool r = ReadFile();
    m_pendingRead = -1;
    return r;
}

CfgSection* CfgFile::FindFileSection(const char* name) const
{
    return m_sections.FindSection(name ? name : "", IgnoreCaseSections());
}

const char* CfgFile::GetString(const char* section, const char* name, const char* def, bool* found)
{
    CfgSection* s = FindFileSection(section);
    CfgParamAndValue* p = s ? s->FindParam(name, IgnoreCaseParams()) : nullptr;
    const char* text = nullptr;
    if (p && p->GetString(&text)) {
        if (found)
            *found = true;
        return text;
    }
    if (found)
        *found = false;
    return def ? def : "";
}

bool CfgFile::SetString(const char* section, const char* name, const char* text)
{
    CfgSection* s = m_sections.GetOrAddSection(section ? section : "", IgnoreCaseSections());
    if (!s)
        return false;
    CfgParamAndValue* p = s->FindParam(name, IgnoreCaseParams());
    if (!p)
        p = s->AddParam(name, CFG_TYPE_TEXT, false);
    if (!p)
        return false;
    const char* old = nullptr;
    const char* t = text ? text : "";
    if (p->GetString(&old) && strcmp(old, t) == 0)
        return true;
    if (!p->SetString(t))
        return false;
    m_flags |= CFG_SOURCE_CHANGED;
    return true;
}

bool CfgFile::Flush()
{
    if (m_flags & CFG_SOURCE_CHANGED)
        return WriteFile();
    return true;
}

int CfgFile::GetNextParam(const char* section, size_t* iterator, std::string* name, uint32_t* type)
{
    CfgSection* s = FindFileSection(section);
    if (!s)
        return 2;
    size_t i = iterator ? *iterator : 0;
    if (i >= static_cast<size_t>(s->GetCount()))
        return 1;
    CfgParamAndValue* p = s->GetAt(s->FindIndex(static_cast<int>(i)));
    if (name)
        *name = p->GetName();
    if (type) {
        const char* t = "";
        p->GetString(&t);
        unsigned long dummy;
        if (strncmp(t, "int:", 4) == 0)
            *type = CFG_TYPE_INT;
        else if (strncmp(t, "bool:", 5) == 0)
            *type = CFG_TYPE_BOOL;
        else if (strncmp(t, "hex:", 4) == 0)
            *type = CFG_TYPE_BINARY;
        else if (*t && CfgParseInt(t, &dummy))
            *type = CFG_TYPE_INT;
        else
            *type = CFG_TYPE_TEXT;
    }
    if (iterator)
        *iterator = i + 1;
    return 0;
}

int CfgFile::GetNextSection(const char* parent, size_t* iterator, std::string* name)
{
    bool ic = IgnoreCaseSections();
    if (parent && *parent && !FindFileSection(parent)) {
        bool any = false;
        for (POSITION p = m_sections.GetHeadPosition(); p && !any;)
            any = CfgSectionIsSubsection(m_sections.GetNext(p)->GetName(), parent, ic);
        if (!any)
            return 2;
    }
    CfgSection* s = m_sections.FindNextSubsection(iterator, parent, ic);
    if (!s)
        return 1;
    if (name)
        *name = s->GetShortName();
    return 0;
}

bool CfgFile::Remove(const char* section, const char* name)
{
    CfgSection* s = FindFileSection(section);
    if (!s)
        return false;
    bool removed;
    if (name == nullptr || *name == '\0') {
        removed = s->GetCount() > 0;
        s->DeleteAll();
        if (!removed)
            return true;
    } else {
        removed = s->RemoveParam(name, IgnoreCaseParams());
    }
    // A removal is a change: the next Flush writes the file without it.
    if (removed)
        m_flags |= CFG_SOURCE_CHANGED;
    return removed;
}

bool CfgFile::RemoveSection(const char* section, bool withSubsections)
{
    CfgSection* s = FindFileSection(section);
    if (!s)
        return false;
    std::string name = s->GetName();
    bool ic = IgnoreCaseSections();
    if (withSubsections) {
        // Every level below goes too, so that no orphaned subsection stays behind.
        for (POSITION p = m_sections.GetHeadPosition(); p;) {
            POSITION cur = p;
            CfgSection* sub = m_sections.GetNext(p);
            if (CfgSectionIsSubsection(sub->GetName(), name.c_str(), ic) && !name.empty()) {
                m_sections.RemoveAt(cur);
                delete sub;
            }
        }
        m_sections.RemoveAt(m_sections.Find(s));
        delete s;
    } else {
        s->DeleteAll();
        if (m_sections.CountSubsections(name.c_str(), ic) == 0) {
            m_sections.RemoveAt(m_sections.Find(s));
            delete s;
        }
    }
    m_flags |= CFG_SOURCE_CHANGED;
    return true;
}

const char* CfgFile::FindCommentPrefix(const char* text, int length, const char** prefix)
{
    if (text == nullptr)
        return nullptr;
    size_t n = TextLength(text, length);
    for (POSITION p = m_comments.GetHeadPosition(); p;) {
        const char* c = m_comments.GetNext(p);
        size_t cl = c ? strlen(c) : 0;
        if (cl && cl <= n && strncmp(text, c, cl) == 0) {
            if (prefix)
                *prefix = c;
            return text;
        }
    }
    return nullptr;
}

int CfgFile::StripComment(std::string* out, const char* line, int length)
{
    size_t n = TextLength(line, length);
    size_t i = 0;
    while (i < n) {
        if (line[i] == '"') {
            size_t j = CfgScanQuoted(line, n, i);
            if (j >= n) {
                i = n;
                break;
            }
            i = j + 1;
            continue;
        }
        if (FindCommentPrefix(line + i, static_cast<int>(n - i), nullptr))
            break;
        ++i;
    }
    out->assign(line, i);
    return static_cast<int>(i);
}

bool CfgFile::ConvertSectionSeparator(std::string* out, const char* name, bool toInternal)
{
    std::string s = name ? name : "";
    if (m_separators.GetCount() == 0) {
        *out = s;
        return s.find('\\') != std::string::npos;
    }
    if (!toInternal) {
        const char* first = m_separators.GetHead();
        bool had = s.find('\\') != std::string::npos;
        if (first && strcmp(first, "\\") != 0) {
            std::string r;
            for (char c : s) {
                if (c == '\\')
                    r += first;
                else
                    r.push_back(c);
            }
            s = r;
        }
        *out = s;
        return had;
    }
    // From the file: the separator string that occurs first in the name is the one used.
    const char* sep = nullptr;
    size_t at = std::string::npos;
    for (POSITION p = m_separators.GetHeadPosition(); p;) {
        const char* c = m_separators.GetNext(p);
        if (!c || !*c)
            continue;
        size_t f = s.find(c);
        if (f != std::string::npos && f < at) {
            at = f;
            sep = c;
        }
    }
    if (!sep) {
        *out = s;
        return false;
    }
    if (strcmp(sep, "\\") != 0) {
        std::string r;
        size_t sl = strlen(sep);
        for (size_t i = 0; i < s.size();) {
            if (s.compare(i, sl, sep) == 0) {
                r.push_back('\\');
                i += sl;
            } else {
                r.push_back(s[i++]);
            }
        }
        s = r;
    }
    *out = s;
    return true;
}

int CfgFile::ParseLine(std::string* name, std::string* value, std::string* section, const char* line, int length)
{
    name->clear();
    value->clear();
    section->clear();
    std::string s;
    StripComment(&s, line, length);
    s = TrimBlanks(s);
    if (s.empty())
        return 1;
    int result = 1;
    if (s.back() == '\\') {
        s.pop_back();
        while (!s.empty() && IsBlank(s.back()))
            s.pop_back();
        result = 2;
    }
    if (s.empty())
        return 1;
    const char* path = m_path.c_str();
    size_t n = s.size();
    size_t pos = 0;
    for (; pos < n; ++pos) {
        if (s[pos] == '"') {
            size_t j = CfgScanQuoted(s.c_str(), n, pos);
            if (j >= n) {
                AddError(TranslateMessage("%s(%u): No closing \" character in line", nullptr), path, m_line);
                return 0;
            }
            pos = j;
            continue;
        }
        if (s[pos] == m_separator)
            break;
    }
    if (pos >= n) {
        AddError(TranslateMessage("%s(%u): No option-value separator ('%c' character) in line", nullptr), path,
                 m_line, m_separator);
        return 0;
    }
    std::string rawName = TrimBlanks(s.substr(0, pos));
    std::string unquoted;
    if (!CfgUnquote(rawName.c_str(), static_cast<int>(rawName.size()), &unquoted, false)) {
        AddError(TranslateMessage("%s(%u): Invalid quoted option name", nullptr), path, m_line);
        return 0;
    }
    bool quotedName = !rawName.empty() && rawName[0] == '"';
    std::string converted = unquoted;
    if (!quotedName || m_splitQuotedNames)
        ConvertSectionSeparator(&converted, unquoted.c_str(), true);
    size_t bs = (!quotedName || m_splitQuotedNames) ? converted.rfind('\\') : std::string::npos;
    std::string opt = bs == std::string::npos ? converted : converted.substr(bs + 1);
    std::string sect = bs == std::string::npos ? std::string() : converted.substr(0, bs);
    if (m_options & CFG_FILE_TRIM_NAMES)
        opt = RemoveSpaces(opt);
    if (m_options & CFG_FILE_TRIM_SECTIONS)
        sect = RemoveSpaces(sect);
    if (opt.empty()) {
        AddError(TranslateMessage("%s(%u): Empty option name", nullptr), path, m_line);
        return 0;
    }
    size_t v = pos + 1;
    while (v < n && IsBlank(s[v]))
        ++v;
    std::string val;
    if (!CfgUnquote(s.c_str() + v, static_cast<int>(n - v), &val, true)) {
        AddError(TranslateMessage("%s(%u): Invalid quoted option value", nullptr), path, m_line);
        return 0;
    }
    *name = opt;
    *value = val;
    *section = sect;
    return result;
}

int CfgFile::ParseContinuation(std::string* value, const char* line, int length)
{
    std::string s;
    StripComment(&s, line, length);
    s = TrimBlanks(s);
    if (s.empty())
        return 1;
    int result = 1;
    if (s.back() == '\\') {
        s.pop_back();
        while (!s.empty() && IsBlank(s.back()))
            s.pop_back();
        result = 2;
    }
    if (s.empty())
        return result;
    if (s[0] == '"') {
        std::string quotedPart;
        if (!CfgUnquote(s.c_str(), static_cast<int>(s.size()), &quotedPart, true)) {
            AddError(TranslateMessage("%s(%u): Invalid quoted (continued) option value", nullptr), m_path.c_str(),
                     m_line);
            return 0;
        }
        value->append(quotedPart);
    } else {
        if (!value->empty() && value->back() != ' ')
            value->push_back(' ');
        value->append(s);
    }
    return result;
}

bool CfgFile::FormatComment(std::string* out, const char* text, int length)
{
    if (m_comments.GetCount() == 0)
        return false;
    const char* c = m_comments.GetHead();
    std::string t = text ? std::string(text, TextLength(text, length)) : std::string();
    if (t.empty()) {
        out->append(c);
        out->push_back('\n');
        return true;
    }
    size_t start = 0;
    for (;;) {
        size_t nl = t.find('\n', start);
        std::string lineText = t.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        out->append(c);
        out->push_back(' ');
        out->append(lineText);
        out->push_back('\n');
        if (nl == std::string::npos || nl + 1 >= t.size())
            break;
        start = nl + 1;
    }
    return true;
}

bool CfgFile::FormatHeaderComment(std::string* out)
{
    if (m_comments.GetCount() == 0)
        return false;
    std::string text;
    CfgFormat(&text,
              "%s: configuration file generated automatically.\nAny changes made to this file will be overwritten "
              "next\ntime this config will be written",
              GetFileName());
    FormatComment(out, text.c_str(), -1);
    out->push_back('\n');
    return true;
}

bool CfgFile::ExtractCommentText(std::string* out, const char* text, int length)
{
    if (m_comments.GetCount() == 0)
        return false;
    std::string t = text ? std::string(text, TextLength(text, length)) : std::string();
    size_t i = 0;
    while (i < t.size()) {
        size_t e = i;
        while (e < t.size() && t[e] != '\n' && t[e] != '\r')
            ++e;
        std::string lineText = TrimBlanks(t.substr(i, e - i));
        const char* prefix = nullptr;
        if (FindCommentPrefix(lineText.c_str(), static_cast<int>(lineText.size()), &prefix)) {
            size_t k = strlen(prefix);
            while (k < lineText.size() && IsBlank(lineText[k]))
                ++k;
            out->append(lineText.substr(k));
        }
        out->push_back('\n');
        if (e < t.size() && t[e] == '\r')
            ++e;
        if (e < t.size() && t[e] == '\n')
            ++e;
        i = e;
    }
    return true;
}

bool CfgFile::ReadFile()
{
    m_line = 0;
    m_pendingRead = 0;
    m_sections.DeleteAll();
    std::string expanded;
    CfgExpandPath(&expanded, m_path.c_str());
    // Only a regular file of bounded size: a FIFO or a device would hold the
    // reader for good or feed it without end.
    std::string why;
    FILE* f = OpenBoundedRegularFile(expanded.c_str(), CONFIG_FILE_MAX_SIZE, &why);
    if (!f) {
        AddError(TranslateMessage("%s: Can't open config file for reading: %s", nullptr), expanded.c_str(),
                 why.c_str());
        return false;
    }
    const char* path = m_path.c_str();
    std::string line, name, value, section;
    uint64_t left = CONFIG_FILE_MAX_SIZE;
    while (ReadLine(f, &line, &left)) {
        ++m_line;
        int r = ParseLine(&name, &value, &section, line.c_str(), static_cast<int>(line.size()));
        while (r == 2) {
            if (!ReadLine(f, &line, &left)) {
                r = 1;
                break;
            }
            ++m_line;
            r = ParseContinuation(&value, line.c_str(), static_cast<int>(line.size()));
        }
        if (r == 0) {
            AddError(TranslateMessage("%s(%u): Bad syntax - line ignored", nullptr), path, m_line);
            continue;
        }
        if (name.empty()) {
            // A section header alone still makes the section known (it may be empty).
            if (!section.empty() && !m_sections.GetOrAddSection(section.c_str(), IgnoreCaseSections())) {
                AddError(TranslateMessage("%s(%u): Out of memory !!!", nullptr), path, m_line);
                fclose(f);
                m_line = 0;
                return false;
            }
            continue;
        }
        CfgSection* s = m_sections.GetOrAddSection(section.c_str(), IgnoreCaseSections());
        CfgParamAndValue* p = s ? s->FindParam(name.c_str(), IgnoreCaseParams()) : nullptr;
        if (s && p) {
            if (!section.empty())
                AddError(TranslateMessage("%s(%u): Warning: [Section %s] Duplicate option: %s %c %s ignored", nullptr),
                         path, m_line, section.c_str(), name.c_str(), m_separator, value.c_str());
            else
                AddError(TranslateMessage("%s(%u): Warning: Duplicate option: %s %c %s ignored", nullptr), path,
                         m_line, name.c_str(), m_separator, value.c_str());
            continue;
        }
        if (s)
            p = s->AddParam(name.c_str(), CFG_TYPE_TEXT, false);
        if (!p || !p->SetString(value.c_str())) {
            AddError(TranslateMessage("%s(%u): Out of memory !!!", nullptr), path, m_line);
            fclose(f);
            m_line = 0;
            return false;
        }
        p->SetFlags(false, CFG_OPT_CHANGED);
        p->SetSource(this);
    }
    if (ferror(f) || (left == 0 && getc(f) != EOF)) {
        char err[256];
        AddError(TranslateMessage("%s(%u): Error reading config file: %s", nullptr), path, m_line,
                 ferror(f) ? GetSystemErrorText(errno, err, sizeof(err)) : "the file grew beyond its bound");
        fclose(f);
        m_line = 0;
        return false;
    }
    m_line = 0;
    m_pendingRead = 1;
    fclose(f);
    return true;
}

bool CfgFile::ContainsCommentString(const std::string& text) const
{
    for (POSITION p = m_comments.GetHeadPosition(); p;) {
        const char* c = m_comments.GetNext(p);
        if (c && *c && text.find(c) != std::string::npos)
            return true;
    }
    return false;
}

std::string CfgFile::WriteForm(const std::string& text, bool isName, bool allowBackslash) const
{
    bool quote = NeedsQuotingImpl(text.c_str(), text.size(), allowBackslash) || ContainsCommentString(text);
    if (isName && !quote) {
        // A name holding the separator, a section separator or a leading bracket
        // would read back as something else.
        quote = text.find(m_separator) != std::string::npos || (!text.empty() && text[0] == '[');
        for (POSITION p = m_separators.GetHeadPosition(); p && !quote && !allowBackslash;) {
            const char* sep = m_separators.GetNext(p);
            quote = sep && *sep && text.find(sep) != std::string::npos;
        }
    }
    if (!quote && !isName && !text.empty() && text[0] == '"')
        quote = true;
    if (!quote)
        return text;
    std::string q;
    CfgQuote(text.c_str(), static_cast<int>(text.size()), &q);
    return q;
}

FILE* CfgFile::OpenTemporary(const std::string& expanded, std::string* tmpName)
{
    CfgFormat(tmpName, "%s-%lu", expanded.c_str(), static_cast<unsigned long>(getpid()));
    FILE* f = fopen(tmpName->c_str(), "wb");
    if (f)
        return f;
    std::string dir;
    CfgDirectoryPart(&dir, expanded.c_str());
    if (!dir.empty() && !CfgIsDirectory(dir.c_str())) {
        if (!CfgMakeDirectory(dir.c_str(), true, 0777)) {
            AddFileError(TranslateMessage("Can't create directory for configuration file", nullptr), -1, 0);
            return nullptr;
        }
    }
    f = fopen(tmpName->c_str(), "wb");
    if (!f)
        AddError(TranslateMessage("%s: Can't open temporary file %s for writing configuration", nullptr),
                 m_path.c_str(), tmpName->c_str());
    return f;
}

bool CfgFile::FinishTemporary(FILE* f, const std::string& tmpName, const std::string& expanded, bool writeOk,
                              const char* renameMessage)
{
    if (fflush(f) != 0)
        writeOk = false;
    if (fclose(f) != 0)
        writeOk = false;
    if (!writeOk) {
        // The file under its own name is left as it was; the partial copy goes.
        unlink(tmpName.c_str());
        AddError(TranslateMessage("%s: Error writing temporary config file %s", nullptr), m_path.c_str(),
                 tmpName.c_str());
        return false;
    }
    if (!CfgRenameFile(tmpName.c_str(), expanded.c_str())) {
        AddError(TranslateMessage(renameMessage, nullptr), m_path.c_str(), tmpName.c_str());
        return false;
    }
    return true;
}

bool CfgFile::WriteFile()
{
    m_lastError.clear();
    m_line = 0;
    std::string expanded, tmpName;
    CfgExpandPath(&expanded, m_path.c_str());
    FILE* f = OpenTemporary(expanded, &tmpName);
    if (!f)
        return false;
    bool ok = true;
    std::string header;
    if (FormatHeaderComment(&header))
        ok = WriteAll(f, header);
    auto writeParams = [&](CfgSection* s, bool withSection) {
        for (POSITION p = s->GetHeadPosition(); p && ok;) {
            CfgParamAndValue* r = s->GetNext(p);
            const char* v = "";
            r->GetString(&v);
            std::string key;
            if (withSection) {
                std::string internal = std::string(s->GetName()) + "\\" + r->GetName();
                ConvertSectionSeparator(&key, internal.c_str(), false);
                key = WriteForm(key, true, true);
            } else {
                key = WriteForm(r->GetName(), true, false);
            }
            std::string line = key + " = " + WriteForm(v, false, false) + "\n";
            ok = WriteAll(f, line);
            SecureZero(&line[0], line.size());
        }
    };
    if (CfgSection* g = FindFileSection(""))
        writeParams(g, false);
    for (POSITION p = m_sections.GetHeadPosition(); p && ok;) {
        CfgSection* s = m_sections.GetNext(p);
        if (*s->GetName())
            writeParams(s, true);
    }
    return FinishTemporary(f, tmpName, expanded, ok,
                           "%s: Cannot rename from temporary config file %s. File was not deleted and changed "
                           "configuration was not written");
}
