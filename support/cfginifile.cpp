#include "support/cfginifile.h"

#include <cstdio>
#include <cstring>

#include "support/textutil.h"

namespace {
std::string TrimBlanks(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}
}  // namespace

CfgIniFile::CfgIniFile(int sectionPaths)
{
    m_comments.RemoveAll();
    m_comments.AddTail("#");
    m_comments.AddTail(";");
    m_separators.AddTail("\\");
    m_separators.AddTail(".");
    // Names written quoted keep their dots and backslashes when read back.
    m_splitQuotedNames = false;
    if (sectionPaths)
        m_options |= CFG_FILE_SECTION_PATHS;
}

CfgIniFile::~CfgIniFile() = default;

bool CfgIniFile::SetPath(const char* path)
{
    m_currentSection.clear();
    return CfgFile::SetPath(path);
}

void CfgIniFile::ClearPath()
{
    m_currentSection.clear();
    CfgFile::ClearPath();
}

bool CfgIniFile::ReadFile()
{
    m_currentSection.clear();
    return CfgFile::ReadFile();
}

int CfgIniFile::ParseLine(std::string* name, std::string* value, std::string* section, const char* line,
                          int length)
{
    std::string s = TrimBlanks(std::string(line, length < 0 ? strlen(line) : static_cast<size_t>(length)));
    name->clear();
    value->clear();
    section->clear();
    if (s.empty())
        return 1;
    const char* path = m_path.c_str();
    if (s[0] == '[') {
        size_t n = s.size();
        size_t i = 1;
        for (; i < n; ++i) {
            if (s[i] == '"') {
                size_t j = CfgScanQuoted(s.c_str(), n, i);
                if (j >= n) {
                    AddError(TranslateMessage("%s(%u): No closing \" character", nullptr), path, m_line);
                    return 0;
                }
                i = j;
                continue;
            }
            if (s[i] == ']')
                break;
        }
        if (i >= n) {
            AddError(TranslateMessage("%s(%u): No matching closing section character ']' in line", nullptr), path,
                     m_line);
            return 0;
        }
        std::string inner = s.substr(1, i - 1);
        std::string unq;
        if (!CfgUnquote(inner.c_str(), static_cast<int>(inner.size()), &unq, false)) {
            AddError(TranslateMessage("%s(%u): Invalid quoted section name", nullptr), path, m_line);
            return 0;
        }
        if (m_options & CFG_FILE_TRIM_SECTIONS) {
            std::string r;
            for (char c : unq)
                if (c != ' ')
                    r.push_back(c);
            unq = r;
        }
        m_currentSection = unq;
        *section = m_currentSection;
        return 1;
    }
    int r = CfgFile::ParseLine(name, value, section, s.c_str(), static_cast<int>(s.size()));
    if (r == 0)
        return 0;
    if (!section->empty()) {
        if (!(m_options & CFG_FILE_SECTION_PATHS)) {
            const char* first = m_separators.GetCount() ? m_separators.GetHead() : "\\";
            AddError(TranslateMessage("%s(%u): Can't specify sections as option names (%s%s%s)", nullptr), path,
                     m_line, section->c_str(), first, name->c_str());
            name->clear();
            value->clear();
            section->clear();
            return 0;
        }
        *section = m_currentSection.empty() ? *section : m_currentSection + "\\" + *section;
    } else {
        *section = m_currentSection;
    }
    return r;
}

bool CfgIniFile::WriteFile()
{
    m_lastError.clear();
    m_line = 0;
    std::string expanded, tmpName;
    CfgExpandPath(&expanded, m_path.c_str());
    FILE* f = OpenTemporary(expanded, &tmpName);
    if (!f)
        return false;
    bool ok = true;
    std::string out;
    auto emit = [&](const std::string& s) {
        if (ok && !s.empty() && fwrite(s.data(), 1, s.size(), f) != s.size())
            ok = false;
    };
    std::string header;
    if (FormatHeaderComment(&header))
        emit(header);
    auto writeParams = [&](CfgSection* s) {
        for (POSITION p = s->GetHeadPosition(); p && ok;) {
            CfgParamAndValue* r = s->GetNext(p);
            const char* v = "";
            r->GetString(&v);
            std::string line = WriteForm(r->GetName(), true, false) + " = " + WriteForm(v, false, false) + "\n";
            emit(line);
            SecureZero(&line[0], line.size());
        }
    };
    if (CfgSection* g = FindFileSection(""))
        writeParams(g);
    for (POSITION p = m_sections.GetHeadPosition(); p && ok;) {
        CfgSection* s = m_sections.GetNext(p);
        if (!*s->GetName())
            continue;
        std::string name;
        ConvertSectionSeparator(&name, s->GetName(), false);
        std::string written = WriteForm(name, false, true);
        if (written == name && name.find(']') != std::string::npos)
            CfgQuote(name.c_str(), static_cast<int>(name.size()), &written);
        emit("\n[" + written + "]\n");
        writeParams(s);
    }
    return FinishTemporary(f, tmpName, expanded, ok,
                           "%s: Cannot rename from temporary config file %s. Temp file was not deleted");
}
