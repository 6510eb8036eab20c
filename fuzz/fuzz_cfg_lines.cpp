// Configuration-file line syntax (key=value and INI) and the typed-text readers on
// arbitrary input; written values must read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/cfgbase.h"
#include "support/cfgfile.h"
#include "support/cfginifile.h"

namespace {
void FeedLines(CfgFile& f, const std::string& text)
{
    std::string name, value, section;
    size_t start = 0;
    int state = 1;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (state == 2)
            state = f.ParseContinuation(&value, line.c_str(), static_cast<int>(line.size()));
        else
            state = f.ParseLine(&name, &value, &section, line.c_str(), static_cast<int>(line.size()));
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 14)
        return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    CfgFile plain;
    FeedLines(plain, text);
    CfgIniFile ini(size ? data[0] & 1 : 0);
    FeedLines(ini, text);

    std::string z(text.c_str());  // up to the first NUL
    unsigned long n;
    bool b;
    std::vector<uint8_t> bin;
    CfgParseInt(z.c_str(), &n);
    CfgParseBool(z.c_str(), &b);
    CfgParseBinary(z.c_str(), &bin);
    std::string unq;
    CfgUnquote(z.c_str(), -1, &unq, true);
    CfgUnquote(z.c_str(), -1, &unq, false);

    // Any text quoted by the writer unquotes to itself.
    std::string q, back;
    CfgQuote(z.c_str(), -1, &q);
    if (!CfgUnquote(q.c_str(), -1, &back, false) || back != z)
        abort();
    return 0;
}
