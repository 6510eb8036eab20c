#include "support/cfgmanager.h"

#include <cstring>
#include <new>
#include <vector>

#include "support/cfgfile.h"
#include "support/cfginifile.h"
#include "support/cfgregistry.h"
#include "support/textutil.h"

CfgManager::CfgManager() : TypedPointerList<CfgBase>(8, true) {}

CfgManager::~CfgManager() = default;

const char* CfgManager::TranslateMessage(const char* text, const char* context)
{
    CfgMessageHandler* h = GetMessageHandler();
    if (!h)
        return text;
    const char* t = h->TranslateMessage(text, context ? context : "manager");
    return t ? t : text;
}

CfgMessageHandler* CfgManager::GetMessageHandler() const
{
    return m_handler ? m_handler : CfgGetDefaultMessageHandler();
}

void CfgManager::SetMessageHandler(CfgMessageHandler* handler, bool propagate)
{
    m_handler = handler;
    if (propagate)
        for (POSITION p = GetHeadPosition(); p;)
            GetNext(p)->SetMessageHandler(handler);
}

bool CfgManager::DeclareOptions()
{
    return true;
}

bool CfgManager::SetConfigName(const char* name, const char* directory)
{
    try {
        m_name = name ? name : "";
        m_directory = directory ? directory : "";
    } catch (...) {
        return false;
    }
    return true;
}

bool CfgManager::SetSystemDirectory(const char* dir)
{
    try {
        m_etc = dir ? dir : "/etc";
    } catch (...) {
        return false;
    }
    return true;
}

CfgBase* CfgManager::CreateSource(int type)
{
    switch (type) {
    case CFG_SOURCE_FILE:
        return new (std::nothrow) CfgFile();
    case CFG_SOURCE_REGISTRY:
        return new (std::nothrow) CfgRegistry();
    case CFG_SOURCE_INI:
    case CFG_SOURCE_INI2:
        return new (std::nothrow) CfgIniFile(0);
    default:
        return nullptr;
    }
}

static CfgBase* AddSourceAt(CfgManager* m, int type, const char* path, bool head, CfgMessageHandler* handler)
{
    CfgBase* s = m->CreateSource(type);
    if (!s)
        return nullptr;
    if (path && !s->SetPath(path)) {
        delete s;
        return nullptr;
    }
    try {
        if (head)
            m->AddHead(s);
        else
            m->AddTail(s);
    } catch (...) {
        delete s;
        return nullptr;
    }
    s->SetMessageHandler(handler);
    return s;
}

CfgBase* CfgManager::AddSource(int type, const char* path)
{
    return AddSourceAt(this, type, path, false, m_handler);
}

CfgBase* CfgManager::InsertSource(int type, const char* path)
{
    return AddSourceAt(this, type, path, true, m_handler);
}

bool CfgManager::AddSystemConfigFile()
{
    std::string path = m_etc + "/";
    if (!m_directory.empty())
        path += m_directory + "/";
    path += m_name + ".conf";
    CfgBase* s = AddSource(m_defaultFileType, path.c_str());
    if (!s)
        return false;
    s->SetSourceFlags(true, CFG_SOURCE_SYSTEM);
    if (CfgFile* f = dynamic_cast<CfgFile*>(s))
        f->SetOptionFlags(false, CFG_FILE_CASE_PARAMS | CFG_FILE_CASE_SECTIONS);
    return true;
}

bool CfgManager::AddUserConfigFile()
{
    std::string home;
    if (!GetHomeDirectory(&home))
        return false;
    std::string path = home + "/.";
    if (!m_directory.empty())
        path += m_directory + "/";
    path += m_name + ".conf";
    CfgBase* s = AddSource(m_defaultFileType, path.c_str());
    if (!s)
        return false;
    if (CfgFile* f = dynamic_cast<CfgFile*>(s))
        f->SetOptionFlags(false, CFG_FILE_CASE_PARAMS | CFG_FILE_CASE_SECTIONS);
    return true;
}

bool CfgManager::AddDefaultConfigFiles(bool withSystemFile)
{
    if (withSystemFile && !AddSystemConfigFile())
        return false;
    return AddUserConfigFile();
}

CfgSection* CfgManager::AddSection(const char* name)
{
    return m_sections.AddSection(name, false);
}

CfgSection* CfgManager::FindSection(const char* name) const
{
    if (name == nullptr || *name == '\0')
        return nullptr;
    return m_sections.FindSection(name, false);
}

bool CfgManager::RemoveSection(const char* name)
{
    if (name == nullptr || *name == '\0')
        return false;
    return m_sections.RemoveSection(name, false);
}

CfgSection* CfgManager::FindNextSection(const char* parent, size_t* position, bool ignoreCase) const
{
    return m_sections.FindNextSubsection(position, parent, ignoreCase);
}

void CfgManager::SetSectionFlag(const char* name, bool on)
{
    if (name == nullptr) {
        m_global.SetSectionFlags(on, CFG_SECT_TAKE_ALL);
        return;
    }
    for (POSITION p = m_sections.GetHeadPosition(); p;) {
        CfgSection* s = m_sections.GetNext(p);
        if (strcmp(s->GetName(), name) == 0)
            s->SetSectionFlags(on, CFG_SECT_TAKE_ALL);
    }
}

bool CfgManager::SetSectionFlags(const char* name, uint32_t mask, bool on)
{
    CfgSection* s = name ? FindSection(name) : &m_global;
    if (!s && name)
        s = AddSection(name);
    if (!s)
        return false;
    s->SetSectionFlags(on, mask);
    return true;
}

CfgParamAndValue* CfgManager::DeclareOption(const char* name, const char* section, uint32_t type, bool optional)
{
    CfgSection* s = &m_global;
    if (section && *section) {
        s = FindSection(section);
        if (!s)
            s = AddSection(section);
        if (!s)
            return nullptr;
    }
    return s->AddParam(name, type, optional);
}

CfgParamAndValue* CfgManager::GetOrDeclareOption(const char* name, const char* section, uint32_t type,
                                                 bool optional)
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o)
        return DeclareOption(name, section, type, optional);
    o->SetType(type);
    o->SetFlags(optional, CFG_OPT_OPTIONAL);
    return o;
}

CfgParamAndValue* CfgManager::FindOption(const char* name, const char* section) const
{
    const CfgSection* s = &m_global;
    if (section && *section) {
        s = FindSection(section);
        if (!s)
            return nullptr;
    }
    return s->FindParam(name, true);
}

bool CfgManager::RemoveOption(const char* name, const char* section)
{
    CfgSection* s = &m_global;
    if (section && *section) {
        s = FindSection(section);
        if (!s)
            return false;
    }
    return s->RemoveParam(name, true);
}

bool CfgManager::ResetOption(const char* name, const char* section)
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o)
        return false;
    o->ClearValue();
    o->SetFlags(true, CFG_OPT_CHANGED);
    return true;
}

int CfgManager::GetString(const char* name, const char** value, const char* section) const
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o || !o->HasValue() || o->GetType() != CFG_TYPE_TEXT)
        return 0;
    return o->GetString(value) ? 1 : 0;
}

int CfgManager::GetInt(const char* name, unsigned long* value, const char* section) const
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o || !o->HasValue() || o->GetType() != CFG_TYPE_INT)
        return 0;
    return o->GetInt(value) ? 1 : 0;
}

int CfgManager::GetBool(const char* name, bool* value, const char* section) const
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o || !o->HasValue() || (o->GetType() != CFG_TYPE_INT && o->GetType() != CFG_TYPE_BOOL))
        return 0;
    return o->GetBool(value) ? 1 : 0;
}

int CfgManager::GetBinary(const char* name, const uint8_t** data, uint32_t* length, const char* section) const
{
    CfgParamAndValue* o = FindOption(name, section);
    if (!o || !o->HasValue() || o->GetType() != CFG_TYPE_BINARY)
        return 0;
    return o->GetBinary(data, length) ? 1 : 0;
}

bool CfgManager::SetString(const char* name, const char* text, const char* section)
{
    CfgParamAndValue* o = GetOrDeclareOption(name, section, CFG_TYPE_TEXT, false);
    return o && o->SetString(text);
}

bool CfgManager::SetInt(const char* name, unsigned long value, const char* section)
{
    CfgParamAndValue* o = GetOrDeclareOption(name, section, CFG_TYPE_INT, false);
    return o && o->SetInt(value);
}

bool CfgManager::SetBool(const char* name, bool value, const char* section)
{
    CfgParamAndValue* o = GetOrDeclareOption(name, section, CFG_TYPE_BOOL, false);
    return o && o->SetBool(value);
}

bool CfgManager::SetBinary(const char* name, const uint8_t* data, size_t length, const char* section)
{
    CfgParamAndValue* o = GetOrDeclareOption(name, section, CFG_TYPE_BINARY, false);
    return o && o->SetBinary(data, length);
}

void CfgManager::AppendError(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    CfgAppendFormatV(&m_error, format, ap);
    va_end(ap);
}

bool CfgManager::MergeOption(CfgBase* source, const char* sectionName, CfgParamAndValue* o)
{
    if (o->TestFlags(CFG_OPT_SYSTEM_ONLY) && !source->IsSystemSource())
        return true;
    if (o->TestFlags(CFG_OPT_KEEP_FIRST) && o->HasValue())
        return true;
    bool found = false;
    bool ok = true;
    const char* name = o->GetName();
    switch (o->GetType()) {
    case CFG_TYPE_TEXT: {
        const char* t = source->GetString(sectionName, name, nullptr, &found);
        if (found)
            ok = o->SetString(t);
        break;
    }
    case CFG_TYPE_INT: {
        unsigned long v = source->GetInt(sectionName, name, 0, &found);
        if (found)
            ok = o->SetInt(v);
        break;
    }
    case CFG_TYPE_BOOL: {
        bool v = source->GetBool(sectionName, name, false, &found);
        if (found)
            ok = o->SetBool(v);
        break;
    }
    case CFG_TYPE_BINARY: {
        std::vector<uint8_t> v = source->GetBinary(sectionName, name, &found);
        if (found)
            ok = o->SetBinary(v.data(), v.size());
        SecureZero(v.data(), v.size());
        break;
    }
    default:
        break;
    }
    if (!ok)
        return false;
    if (found) {
        o->SetFlags(false, CFG_OPT_CHANGED);
        o->SetSource(source);
    }
    return true;
}

bool CfgManager::MergeFromSource(CfgBase* source, const char* sectionName)
{
    if (source == nullptr)
        return false;
    if (sectionName && *sectionName == '\0')
        sectionName = nullptr;
    CfgSection* target = sectionName ? FindSection(sectionName) : &m_global;
    if (!target) {
        target = AddSection(sectionName);
        if (!target)
            return false;
        target->SetSectionFlags(true, CFG_SECT_TAKE_ALL | CFG_SECT_TAKE_SUBSECTIONS | CFG_SECT_OPTIONAL);
    }
    uint32_t flags = target->GetSectionFlags();
    if (!(flags & (CFG_SECT_TAKE_ALL | CFG_SECT_TAKE_SUBSECTIONS))) {
        for (POSITION p = target->GetHeadPosition(); p;)
            if (!MergeOption(source, sectionName, target->GetNext(p)))
                return false;
        return true;
    }
    std::string parentName = sectionName ? sectionName : "";
    if (flags & CFG_SECT_TAKE_SUBSECTIONS) {
        size_t it = 0;
        std::string shortName;
        for (;;) {
            int r = source->GetNextSection(sectionName, &it, &shortName);
            if (r == 2) {
                if (!(flags & CFG_SECT_OPTIONAL))
                    return false;
                break;
            }
            if (r != 0)
                break;
            std::string full = parentName.empty() ? shortName : parentName + "\\" + shortName;
            CfgSection* sub = m_sections.FindSection(full.c_str(), true);
            if (!sub) {
                sub = AddSection(full.c_str());
                if (!sub)
                    return false;
                sub->SetSectionFlags(true, flags & (CFG_SECT_TAKE_ALL | CFG_SECT_TAKE_SUBSECTIONS | CFG_SECT_OPTIONAL |
                                                    CFG_SECT_NEW_NO_WRITE | CFG_SECT_NEW_KEEP_FIRST));
            }
            sub->SetSource(source);
            std::string subName = sub->GetName();
            if (!MergeFromSource(source, subName.c_str()))
                return false;
        }
    }
    if (flags & CFG_SECT_TAKE_ALL) {
        size_t it = 0;
        std::string name;
        uint32_t type = CFG_TYPE_TEXT;
        for (;;) {
            int r = source->GetNextParam(sectionName, &it, &name, &type);
            if (r == 2)
                return (flags & CFG_SECT_OPTIONAL) != 0;
            if (r != 0)
                break;
            CfgParamAndValue* o = target->FindParam(name.c_str(), true);
            if (!o) {
                o = target->AddParam(name.c_str(), type, (flags & CFG_SECT_OPTIONAL) != 0);
                if (!o)
                    return false;
                if (flags & CFG_SECT_NEW_NO_WRITE)
                    o->SetFlags(true, CFG_OPT_NO_WRITE);
                if (flags & CFG_SECT_NEW_KEEP_FIRST)
                    o->SetFlags(true, CFG_OPT_KEEP_FIRST);
            }
            if (!MergeOption(source, sectionName, o))
                return false;
        }
    }
    return true;
}

bool CfgManager::CheckMandatory(const char* sectionName)
{
    const CfgSection* s = &m_global;
    if (sectionName && *sectionName) {
        s = FindSection(sectionName);
        if (!s) {
            AppendError(TranslateMessage("Error: Cannot read mandatory section '%s'", nullptr), sectionName);
            return false;
        }
    }
    for (POSITION p = s->GetHeadPosition(); p;) {
        CfgParamAndValue* o = s->GetNext(p);
        if (o->TestFlags(CFG_OPT_OPTIONAL) || o->HasValue())
            continue;
        if (sectionName && *sectionName)
            AppendError(TranslateMessage("Error: [Section %s] Cannot read mandatory option '%s'", nullptr),
                        sectionName, o->GetName());
        else
            AppendError(TranslateMessage("Error: Cannot read mandatory option '%s'", nullptr), o->GetName());
        return false;
    }
    return true;
}

bool CfgManager::Read()
{
    m_error.clear();
    for (POSITION p = GetHeadPosition(); p;) {
        CfgBase* src = GetNext(p);
        src->Read();
        if (!MergeFromSource(src, nullptr))
            return false;
        // Sections that dynamic merging appends are merged where they are found:
        // the sections there now are walked once (new ones go to the tail).
        int n = m_sections.GetCount();
        POSITION at = m_sections.GetHeadPosition();
        for (int i = 0; i < n && at; ++i) {
            std::string name = m_sections.GetNext(at)->GetName();
            if (!MergeFromSource(src, name.c_str()))
                return false;
        }
    }
    if (!CheckMandatory(nullptr))
        return false;
    for (POSITION p = m_sections.GetHeadPosition(); p;) {
        std::string name = m_sections.GetNext(p)->GetName();
        if (!CheckMandatory(name.c_str()))
            return false;
    }
    return true;
}

namespace {
bool Offer(CfgBase* src, const char* section, CfgParamAndValue* o)
{
    const char* name = o->GetName();
    switch (o->GetType()) {
    case CFG_TYPE_TEXT: {
        const char* t = "";
        o->GetString(&t);
        return src->SetString(section, name, t);
    }
    case CFG_TYPE_INT: {
        unsigned long v = 0;
        o->GetInt(&v);
        return src->SetInt(section, name, v);
    }
    case CFG_TYPE_BOOL: {
        bool v = false;
        o->GetBool(&v);
        return src->SetBool(section, name, v);
    }
    case CFG_TYPE_BINARY: {
        const uint8_t* d = nullptr;
        uint32_t l = 0;
        o->GetBinary(&d, &l);
        return src->SetBinary(section, name, d, l);
    }
    default:
        return false;
    }
}
}  // namespace

bool CfgManager::Write(bool reverse, bool preferOwnSource)
{
    for (POSITION p = GetHeadPosition(); p;)
        GetNext(p)->ClearLastError();
    m_error.clear();
    bool result = true;
    std::vector<CfgBase*> remembered;
    std::vector<std::pair<CfgParamAndValue*, CfgBase*>> written;

    std::vector<CfgSection*> sections;
    sections.push_back(&m_global);
    for (POSITION p = m_sections.GetHeadPosition(); p;)
        sections.push_back(m_sections.GetNext(p));

    for (CfgSection* s : sections) {
        const char* sectionName = (s == &m_global) ? nullptr : s->GetName();
        for (POSITION p = s->GetHeadPosition(); p;) {
            CfgParamAndValue* o = s->GetNext(p);
            if (o->TestFlags(CFG_OPT_SYSTEM_ONLY | CFG_OPT_NO_WRITE))
                continue;
            if (!o->HasValue()) {
                if (!o->TestFlags(CFG_OPT_OPTIONAL)) {
                    if (sectionName)
                        AppendError(
                            TranslateMessage("Error: [Section %s]: Required option %s is not set on configuration write",
                                             nullptr),
                            sectionName, o->GetName());
                    else
                        AppendError(TranslateMessage("Error: Required option %s is not set on configuration write",
                                                     nullptr),
                                    o->GetName());
                    result = false;
                }
                continue;
            }
            if (!o->TestFlags(CFG_OPT_CHANGED))
                continue;
            std::vector<CfgBase*> order;
            if (preferOwnSource && o->GetSource() && Find(o->GetSource()))
                order.push_back(o->GetSource());
            if (reverse) {
                for (POSITION q = GetTailPosition(); q;)
                    order.push_back(GetPrev(q));
            } else {
                for (POSITION q = GetHeadPosition(); q;)
                    order.push_back(GetNext(q));
            }
            CfgBase* accepted = nullptr;
            for (CfgBase* src : order)
                if (Offer(src, sectionName, o)) {
                    accepted = src;
                    break;
                }
            if (!accepted) {
                if (!o->TestFlags(CFG_OPT_OPTIONAL))
                    result = false;
                continue;
            }
            bool known = false;
            for (CfgBase* r : remembered)
                known = known || r == accepted;
            if (!known)
                remembered.push_back(accepted);
            written.emplace_back(o, accepted);
        }
    }
    std::vector<CfgBase*> failed;
    for (CfgBase* src : remembered) {
        if (!src->Flush()) {
            m_error += src->GetLastError();
            failed.push_back(src);
            result = false;
        }
    }
    // Options that reached a file are no longer pending.
    for (auto& w : written) {
        bool bad = false;
        for (CfgBase* f : failed)
            bad = bad || f == w.second;
        if (!bad) {
            w.first->SetFlags(false, CFG_OPT_CHANGED);
            w.first->SetSource(w.second);
        }
    }
    return result;
}
