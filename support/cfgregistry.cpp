#include "support/cfgregistry.h"

#include <cstring>
#include <strings.h>

#include "support/textutil.h"

CfgRegistry::CfgRegistry() = default;
CfgRegistry::~CfgRegistry() = default;

bool CfgRegistry::SetPath(const char*)
{
    return false;
}

bool CfgRegistry::Read()
{
    m_lastError.clear();
    AddError(TranslateMessage("%s: Registry configuration is not supported on non-Win32 platform", nullptr),
             m_path.c_str());
    return false;
}

const char* CfgRegistry::GetString(const char*, const char*, const char* def, bool* found)
{
    if (found)
        *found = false;
    return def ? def : "";
}

bool CfgRegistry::SetString(const char*, const char*, const char*)
{
    return false;
}

bool CfgRegistry::Flush()
{
    return true;
}

int CfgRegistry::GetNextParam(const char*, size_t*, std::string*, uint32_t*)
{
    return 1;
}

int CfgRegistry::GetNextSection(const char*, size_t*, std::string*)
{
    return 1;
}

bool CfgRegistry::Remove(const char*, const char*)
{
    return false;
}

bool CfgRegistry::RemoveSection(const char*, bool)
{
    return false;
}

namespace {
struct RootKey {
    const char* name;
    void* key;
};
const RootKey kRootKeys[] = {{"system", nullptr}, {"user", nullptr}};
}  // namespace

void* CfgRegistry::GetRootKey(const char* path)
{
    if (path == nullptr)
        return nullptr;
    const char* bs = strchr(path, '\\');
    size_t n = bs ? static_cast<size_t>(bs - path) : strlen(path);
    for (const RootKey& r : kRootKeys)
        if (strlen(r.name) == n && strncasecmp(path, r.name, n) == 0)
            return r.key;
    return nullptr;
}

const char* CfgRegistry::StripRootKey(const char* path)
{
    if (path == nullptr)
        return nullptr;
    const char* bs = strchr(path, '\\');
    return bs ? bs + 1 : path + strlen(path);
}

void CfgRegistry::GetSystemMessage(long code, std::string* out)
{
    char buf[256];
    const char* t = GetSystemErrorText(code, buf, sizeof(buf));
    *out = t ? t : "";
    while (!out->empty() && strchr("\n\r. ", out->back()))
        out->pop_back();
}
