#include "support/cfgbase.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "support/b64file.h"
#include "support/textutil.h"

namespace {
CfgMessageHandler* g_defaultHandler = nullptr;

bool StartsWith(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

bool StartsWithNoCase(const char* s, const char* prefix)
{
    return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

void EnsureNewline(std::string* out)
{
    if (!out->empty() && out->back() != '\n')
        out->push_back('\n');
}
}  // namespace

CfgMessageHandler::~CfgMessageHandler() = default;

void CfgSetDefaultMessageHandler(CfgMessageHandler* handler)
{
    g_defaultHandler = handler;
}

CfgMessageHandler* CfgGetDefaultMessageHandler()
{
    return g_defaultHandler;
}

// ---------------------------------------------------------------------------

CfgBase::CfgBase() = default;
CfgBase::~CfgBase() = default;

bool CfgBase::SetPath(const char* path)
{
    try {
        m_path = path ? path : "";
    } catch (...) {
        return false;
    }
    return true;
}

void CfgBase::ClearPath()
{
    m_path.clear();
}

void CfgBase::AssignPath(const char* path)
{
    m_path = path ? path : "";
}

const char* CfgBase::GetFileName() const
{
    const char* p = m_path.c_str();
    const char* slash = strrchr(p, '/');
    return slash ? slash + 1 : p;
}

bool CfgBase::Read()
{
    m_lastError.clear();
    return true;
}

void CfgBase::SetSourceFlags(bool on, uint32_t mask)
{
    if (on)
        m_flags |= mask;
    else
        m_flags &= ~mask;
}

CfgMessageHandler* CfgBase::GetMessageHandler() const
{
    return m_handler ? m_handler : g_defaultHandler;
}

const char* CfgBase::TranslateMessage(const char* text, const char* context)
{
    CfgMessageHandler* h = GetMessageHandler();
    if (!h)
        return text;
    const char* t = h->TranslateMessage(text, context);
    return t ? t : text;
}

void CfgBase::AddError(const char* format, ...)
{
    EnsureNewline(&m_lastError);
    va_list ap;
    va_start(ap, format);
    CfgAppendFormatV(&m_lastError, format, ap);
    va_end(ap);
    EnsureNewline(&m_lastError);
}

void CfgBase::AddFileError(const char* text, long errorCode, int line)
{
    CfgAppendErrorLine(&m_lastError, m_path.c_str(), text, errorCode, line);
}

void CfgBase::AddInvalidValueError(const char* type, const char* section, const char* name, const char* value)
{
    std::string fmt;
    if (section && *section) {
        CfgFormat(&fmt, "%%s: [Section %%s]: Error reading %s option '%%s': invalid value: '%%s'", type);
        AddError(TranslateMessage(fmt.c_str(), nullptr), m_path.c_str(), section, name ? name : "",
                 value ? value : "");
    } else {
        CfgFormat(&fmt, "%%s: Error reading %s option '%%s': invalid value", type);
        AddError(TranslateMessage(fmt.c_str(), nullptr), m_path.c_str(), name ? name : "");
    }
}

bool CfgBase::GetBool(const char* section, const char* name, bool def, bool* found)
{
    bool have = false;
    const char* text = GetString(section, name, nullptr, &have);
    bool value = def;
    if (have && !CfgParseBool(text, &value)) {
        AddInvalidValueError("boolean", section, name, text);
        have = false;
        value = def;
    }
    if (found)
        *found = have;
    return have ? value : def;
}

unsigned long CfgBase::GetInt(const char* section, const char* name, unsigned long def, bool* found)
{
    bool have = false;
    const char* text = GetString(section, name, nullptr, &have);
    unsigned long value = def;
    if (have && !CfgParseInt(text, &value)) {
        AddInvalidValueError("integer", section, name, text);
        have = false;
        value = def;
    }
    if (found)
        *found = have;
    return have ? value : def;
}

std::vector<uint8_t> CfgBase::GetBinary(const char* section, const char* name, bool* found)
{
    bool have = false;
    const char* text = GetString(section, name, nullptr, &have);
    std::vector<uint8_t> value;
    if (have && !CfgParseBinary(text, &value)) {
        AddInvalidValueError("binary", section, name, text);
        have = false;
        SecureZero(value.data(), value.size());
        value.clear();
    }
    if (found)
        *found = have;
    return value;
}

bool CfgBase::SetBool(const char* section, const char* name, bool value)
{
    return SetString(section, name, value ? "true" : "false");
}

bool CfgBase::SetInt(const char* section, const char* name, unsigned long value)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%08lx", value);
    return SetString(section, name, buf);
}

bool CfgBase::SetBinary(const char* section, const char* name, const uint8_t* data, size_t length)
{
    std::string hex(length * 2, '\0');
    if (length)
        BinToHex(data, length, &hex[0], nullptr);
    bool r = SetString(section, name, hex.c_str());
    SecureZero(&hex[0], hex.size());
    return r;
}

bool CfgBase::Flush()
{
    return true;
}

bool CfgBase::Remove(const char*, const char*)
{
    return false;
}

bool CfgBase::RemoveSection(const char*, bool)
{
    return false;
}

// ---------------------------------------------------------------------------

int CfgParseInt(const char* text, unsigned long* out)
{
    if (text == nullptr)
        return 0;
    if (StartsWith(text, "int:"))
        text += 4;
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = (*p == '-');
    // Base-0 rules: 0x for hexadecimal, a leading 0 for octal, else decimal.
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (end == text || errno == ERANGE)
        return 0;
    if (negative) {
        // A negative number wraps, as the signed reading would; out-of-range
        // magnitudes are refused.
        long long s = strtoll(text, nullptr, 0);
        if (errno == ERANGE)
            return 0;
        v = static_cast<unsigned long long>(s);
    }
    if (*end == 'k' || *end == 'K') {
        if (v > (ULLONG_MAX >> 10))
            return 0;
        v <<= 10;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        if (v > (ULLONG_MAX >> 20))
            return 0;
        v <<= 20;
        ++end;
    }
    if (*end != '\0')
        return 0;
    if (out)
        *out = static_cast<unsigned long>(v);
    return 1;
}

int CfgParseBool(const char* text, bool* out)
{
    if (text == nullptr)
        return 0;
    if (StartsWith(text, "bool:"))
        text += 5;
    static const char* const kTrue[] = {"1", "y", "yes", "on", "t", "true", "tak"};
    static const char* const kFalse[] = {"0", "n", "no", "off", "f", "false"};
    for (const char* t : kTrue)
        if (strcasecmp(text, t) == 0) {
            if (out)
                *out = true;
            return 1;
        }
    for (const char* f : kFalse)
        if (strcasecmp(text, f) == 0) {
            if (out)
                *out = false;
            return 1;
        }
    return 0;
}

namespace {
int ParseHexValue(const char* text, std::vector<uint8_t>* out)
{
    int n = HexToBin(text, -1, nullptr, 0);
    if (n < 0)
        return 0;
    std::vector<uint8_t> v(static_cast<size_t>(n));
    if (n && HexToBin(text, -1, v.data(), v.size()) != n)
        return 0;
    out->swap(v);
    SecureZero(v.data(), v.size());
    return 1;
}

int ParseBase64Value(const char* text, std::vector<uint8_t>* out)
{
    std::vector<uint8_t> v;
    char quad[4];
    int nq = 0;
    bool ended = false;
    uint8_t bytes[3];
    auto flush = [&]() -> bool {
        if (ended)
            return false;  // nothing may follow a padded group
        int k = Base64DecodeQuad(quad, bytes);
        if (k == 0)
            return false;
        if (k < 3)
            ended = true;
        v.insert(v.end(), bytes, bytes + k);
        nq = 0;
        return true;
    };
    bool ok = true;
    for (const char* p = text; *p && ok; ++p) {
        char c = *p;
        if (c == '\t' || c == '\n' || c == '\v' || c == '\r' || c == ' ')
            continue;
        quad[nq++] = c;
        if (nq == 4)
            ok = flush();
    }
    if (ok && nq == 1)
        ok = false;
    if (ok && nq > 1) {
        while (nq < 4)
            quad[nq++] = '=';
        ok = flush();
    }
    SecureZero(bytes, sizeof(bytes));
    SecureZero(quad, sizeof(quad));
    if (!ok) {
        SecureZero(v.data(), v.size());
        return 0;
    }
    out->swap(v);
    SecureZero(v.data(), v.size());
    return 1;
}
}  // namespace

int CfgParseBinary(const char* text, std::vector<uint8_t>* out)
{
    if (text == nullptr || out == nullptr)
        return 0;
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '\0') {
        out->clear();
        return 1;
    }
    static const char* const kB64[] = {"base64:", "base-64:", "b64:"};
    for (const char* p : kB64)
        if (StartsWithNoCase(text, p))
            return ParseBase64Value(text + strlen(p), out);
    static const char* const kHex[] = {"binary:", "bin:", "hex:", "0x", "x"};
    for (const char* p : kHex)
        if (StartsWithNoCase(text, p))
            return ParseHexValue(text + strlen(p), out);
    return ParseHexValue(text, out);
}

// ---------------------------------------------------------------------------

void CfgFormatV(std::string* out, const char* format, va_list args)
{
    out->clear();
    CfgAppendFormatV(out, format, args);
}

void CfgFormat(std::string* out, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    CfgFormatV(out, format, ap);
    va_end(ap);
}

void CfgAppendFormatV(std::string* out, const char* format, va_list args)
{
    if (format == nullptr)
        return;
    char buf[2048];
    va_list ap;
    va_copy(ap, args);
    int n = vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof(buf)) {
        out->append(buf, static_cast<size_t>(n));
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    va_copy(ap, args);
    vsnprintf(big.data(), big.size(), format, ap);
    va_end(ap);
    out->append(big.data(), static_cast<size_t>(n));
}

void CfgAppendFormat(std::string* out, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    CfgAppendFormatV(out, format, ap);
    va_end(ap);
}

void CfgAppendErrorLine(std::string* out, const char* prefix, const char* message, long errorCode, int line)
{
    int savedErrno = errno;
    EnsureNewline(out);
    if (prefix) {
        out->append(prefix);
        if (line >= 1)
            CfgAppendFormat(out, "(%u): ", static_cast<unsigned>(line));
        else
            out->append(": ");
    }
    if (message)
        out->append(message);
    if (errorCode != 0) {
        long code = errorCode == -1 ? savedErrno : errorCode;
        char buf[256];
        const char* t = GetSystemErrorText(code, buf, sizeof(buf));
        out->append(": ");
        out->append(t ? t : "");
    }
    out->push_back('\n');
}

int GetHomeDirectory(std::string* out)
{
    const char* h = getenv("HOME");
    if (h == nullptr || *h == '\0')
        return 0;
    if (out)
        *out = h;
    return 1;
}

int CfgExpandPath(std::string* out, const char* path)
{
    if (path == nullptr || out == nullptr)
        return 0;
    if (path[0] == '~' && path[1] == '/') {
        std::string home;
        if (!GetHomeDirectory(&home))
            home = "/";
        while (home.size() > 1 && home.back() == '/')
            home.pop_back();
        if (home == "/")
            *out = path + 1;
        else
            *out = home + (path + 1);
    } else {
        *out = path;
    }
    return 1;
}

int CfgIsDirectory(const char* path)
{
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

int CfgMakeDirectory(const char* path, bool recursive, int mode)
{
    if (path == nullptr || *path == '\0')
        return 0;
    if (!recursive)
        return mkdir(path, static_cast<mode_t>(mode)) == 0 ? 1 : 0;
    if (strlen(path) > 1023)
        return 0;
    if (mkdir(path, static_cast<mode_t>(mode)) == 0)
        return 1;
    if (errno == EEXIST)
        return CfgIsDirectory(path);
    if (errno != ENOENT && errno != ENOTDIR)
        return 0;
    // Create every missing level from the shortest prefix to the full path.
    std::string p(path);
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/')
            continue;
        std::string prefix = p.substr(0, i);
        if (prefix.empty() || prefix.back() == '/')
            continue;
        if (mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0) {
            if (errno != EEXIST || !CfgIsDirectory(prefix.c_str()))
                return 0;
        }
    }
    return 1;
}

const char* CfgDirectoryPart(std::string* out, const char* path)
{
    if (out == nullptr)
        return nullptr;
    if (path) {
        const char* slash = strrchr(path, '/');
        if (slash)
            out->assign(path, static_cast<size_t>(slash - path));
    }
    return out->c_str();
}

int CfgRenameFile(const char* from, const char* to)
{
    return from && to && rename(from, to) == 0 ? 1 : 0;
}

int CfgIsHexDigit(int c)
{
    return HexDigitValue(c) >= 0 ? 1 : 0;
}

int CfgHexDigitValue(int c)
{
    return HexDigitValue(c);
}

char CfgHexDigitChar(unsigned v)
{
    return v < 16 ? "0123456789ABCDEF"[v] : 0;
}
