#include "support/cfgparam.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>
#include <unordered_map>
#include <vector>

#include "support/textutil.h"

namespace {
const uint8_t kEmptyBuffer[1] = {0};

bool NamesEqual(const char* a, const char* b, bool ignoreCase)
{
    a = a ? a : "";
    b = b ? b : "";
    return ignoreCase ? strcasecmp(a, b) == 0 : strcmp(a, b) == 0;
}

bool PrefixEqual(const char* s, const char* prefix, size_t n, bool ignoreCase)
{
    return ignoreCase ? strncasecmp(s, prefix, n) == 0 : strncmp(s, prefix, n) == 0;
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

// Splits name at the last kind of opening bracket (in the order of the set) that it
// holds; the closing bracket is the one at the same position of the closing set.
bool SplitIndexed(const char* name, const std::string& open, const std::string& close, std::string* base,
                  std::string* index)
{
    if (name == nullptr)
        return false;
    const char* opening = nullptr;
    size_t kind = 0;
    for (size_t i = 0; i < open.size(); ++i) {
        const char* p = strchr(name, open[i]);
        if (p) {
            opening = p;
            kind = i;
        }
    }
    if (!opening)
        return false;
    const char* end;
    if (kind < close.size()) {
        end = strchr(opening + 1, close[kind]);
        if (!end)
            return false;  // an opening bracket without its closing one is no index
    } else {
        end = opening + strlen(opening);
    }
    if (base)
        *base = Trim(std::string(name, static_cast<size_t>(opening - name)));
    if (index)
        *index = Trim(std::string(opening + 1, static_cast<size_t>(end - opening - 1)));
    return true;
}

std::string FormatName(const char* format, va_list ap)
{
    std::string s;
    CfgFormatV(&s, format, ap);
    return s;
}
}  // namespace

// ---------------------------------------------------------------------------

CfgParamAndValue::CfgParamAndValue() = default;

CfgParamAndValue::~CfgParamAndValue()
{
    Clear();
}

void CfgParamAndValue::Init()
{
    Clear();
    m_number = 0;
    m_type = CFG_TYPE_TEXT;
    m_flags = 0;
    m_source = nullptr;
}

bool CfgParamAndValue::SetName(const char* name)
{
    try {
        m_name = name ? name : "";
    } catch (...) {
        return false;
    }
    return true;
}

bool CfgParamAndValue::SetComment(const char* text)
{
    try {
        m_comment = text ? text : "";
    } catch (...) {
        return false;
    }
    return true;
}

void CfgParamAndValue::SetType(uint32_t type)
{
    if (type != m_type) {
        m_type = type;
        ClearValue();
    }
}

void CfgParamAndValue::SetFlags(bool on, uint32_t mask)
{
    if (on)
        m_flags |= mask;
    else
        m_flags &= ~mask;
}

void CfgParamAndValue::FreeBuffer()
{
    if (m_value) {
        SecureZero(m_value, m_valueSize);
        delete[] m_value;
    }
    m_value = nullptr;
    m_valueSize = 0;
}

bool CfgParamAndValue::StoreBuffer(const void* data, size_t length, bool addNul)
{
    size_t total = length + (addNul ? 1 : 0);
    uint8_t* p = nullptr;
    if (total > 0 && !(addNul && length == 0)) {
        p = new (std::nothrow) uint8_t[total];
        if (!p)
            return false;
        memset(p, 0, total);
        if (length)
            memcpy(p, data, length);
    }
    FreeBuffer();
    m_value = p;
    m_valueSize = p ? total : 0;
    return true;
}

void CfgParamAndValue::ClearValue()
{
    FreeBuffer();
    m_number = 0;
    m_flags &= ~(CFG_OPT_HAS_VALUE | CFG_OPT_CHANGED);
}

void CfgParamAndValue::Clear()
{
    FreeBuffer();
    m_name.clear();
    m_name.shrink_to_fit();
    m_comment.clear();
    m_number = 0;
}

bool CfgParamAndValue::GetString(const char** out) const
{
    if (!HasValue() || m_type != CFG_TYPE_TEXT)
        return false;
    if (out)
        *out = m_value ? reinterpret_cast<const char*>(m_value) : "";
    return true;
}

bool CfgParamAndValue::GetBinary(const uint8_t** data, uint32_t* length) const
{
    if (!HasValue() || m_type != CFG_TYPE_BINARY)
        return false;
    if (data)
        *data = m_value ? m_value : kEmptyBuffer;
    if (length)
        *length = static_cast<uint32_t>(m_number);
    return true;
}

bool CfgParamAndValue::GetBool(bool* out) const
{
    if (!HasValue())
        return false;
    bool v = false;
    switch (m_type) {
    case CFG_TYPE_INT:
    case CFG_TYPE_BOOL:
        v = m_number != 0;
        break;
    case CFG_TYPE_TEXT:
        if (!CfgParseBool(m_value ? reinterpret_cast<const char*>(m_value) : "", &v))
            return false;
        break;
    case CFG_TYPE_BINARY: {
        // A binary value is true when any byte is set, however long it is.
        v = false;
        for (size_t i = 0; i < m_number && m_value; ++i)
            if (m_value[i]) {
                v = true;
                break;
            }
        break;
    }
    default:
        return false;
    }
    if (out)
        *out = v;
    return true;
}

bool CfgParamAndValue::GetInt(unsigned long* out) const
{
    if (!HasValue())
        return false;
    unsigned long v = 0;
    switch (m_type) {
    case CFG_TYPE_INT:
    case CFG_TYPE_BOOL:
        v = static_cast<unsigned long>(m_number);
        break;
    case CFG_TYPE_TEXT:
        if (!CfgParseInt(m_value ? reinterpret_cast<const char*>(m_value) : "", &v))
            return false;
        break;
    default:
        return false;
    }
    if (out)
        *out = v;
    return true;
}

bool CfgParamAndValue::SetString(const char* text)
{
    const char* t = text ? text : "";
    const char* old = nullptr;
    bool changed = !GetString(&old) || strcmp(old, t) != 0;
    size_t len = strlen(t);
    if (!StoreBuffer(t, len, true))
        return false;
    m_number = 0;
    m_type = CFG_TYPE_TEXT;
    m_flags |= CFG_OPT_HAS_VALUE;
    if (changed)
        m_flags |= CFG_OPT_CHANGED;
    return true;
}

bool CfgParamAndValue::SetBinary(const uint8_t* data, size_t length)
{
    if (data == nullptr && length > 0)
        return false;
    const uint8_t* old = nullptr;
    uint32_t oldLen = 0;
    bool changed = !GetBinary(&old, &oldLen) || oldLen != length || (length && memcmp(old, data, length) != 0);
    if (!StoreBuffer(data, length, false))
        return false;
    m_number = length;
    m_type = CFG_TYPE_BINARY;
    m_flags |= CFG_OPT_HAS_VALUE;
    if (changed)
        m_flags |= CFG_OPT_CHANGED;
    return true;
}

bool CfgParamAndValue::SetBool(bool value)
{
    bool old = false;
    bool changed = !GetBool(&old) || old != value;
    FreeBuffer();
    m_number = value ? 1 : 0;
    m_type = CFG_TYPE_BOOL;
    m_flags |= CFG_OPT_HAS_VALUE;
    if (changed)
        m_flags |= CFG_OPT_CHANGED;
    return true;
}

bool CfgParamAndValue::SetInt(unsigned long value)
{
    unsigned long old = 0;
    bool changed = !GetInt(&old) || old != value;
    FreeBuffer();
    m_number = value;
    m_type = CFG_TYPE_INT;
    m_flags |= CFG_OPT_HAS_VALUE;
    if (changed)
        m_flags |= CFG_OPT_CHANGED;
    return true;
}

bool CfgParamAndValue::SetNameAndString(const char* name, const char* text)
{
    return SetName(name) && SetString(text);
}

bool CfgParamAndValue::SetNameAndBinary(const char* name, const uint8_t* data, size_t length)
{
    return SetName(name) && SetBinary(data, length);
}

// ---------------------------------------------------------------------------

CfgParamAndValueList::CfgParamAndValueList() : TypedPointerList<CfgParamAndValue>(8, true) {}
CfgParamAndValueList::~CfgParamAndValueList() = default;

CfgParamAndValue* CfgParamAndValueList::FindParam(const char* name, bool ignoreCase) const
{
    for (POSITION p = GetHeadPosition(); p;) {
        CfgParamAndValue* r = GetNext(p);
        if (r && NamesEqual(r->GetName(), name, ignoreCase))
            return r;
    }
    return nullptr;
}

CfgParamAndValue* CfgParamAndValueList::FindParamFormatted(bool ignoreCase, const char* format, ...) const
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return FindParam(name.c_str(), ignoreCase);
}

CfgParamAndValue* CfgParamAndValueList::AddParam(const char* name, uint32_t type, bool optional)
{
    CfgParamAndValue* r = new (std::nothrow) CfgParamAndValue();
    if (!r)
        return nullptr;
    if (!r->SetName(name)) {
        delete r;
        return nullptr;
    }
    r->SetType(type);
    r->SetFlags(optional, CFG_OPT_OPTIONAL);
    try {
        AddTail(r);
    } catch (...) {
        delete r;
        return nullptr;
    }
    return r;
}

CfgParamAndValue* CfgParamAndValueList::AddParamFormatted(uint32_t type, bool optional, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return AddParam(name.c_str(), type, optional);
}

CfgParamAndValue* CfgParamAndValueList::GetOrAddParam(const char* name, uint32_t type, bool optional,
                                                      bool ignoreCase)
{
    CfgParamAndValue* r = FindParam(name, ignoreCase);
    if (!r)
        return AddParam(name, type, optional);
    r->SetType(type);
    r->SetFlags(optional, CFG_OPT_OPTIONAL);
    return r;
}

CfgParamAndValue* CfgParamAndValueList::GetOrAddParamFormatted(uint32_t type, bool optional, bool ignoreCase,
                                                               const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return GetOrAddParam(name.c_str(), type, optional, ignoreCase);
}

bool CfgParamAndValueList::RemoveParam(const char* name, bool ignoreCase)
{
    bool removed = false;
    for (POSITION p = GetHeadPosition(); p;) {
        POSITION cur = p;
        CfgParamAndValue* r = GetNext(p);
        if (r && NamesEqual(r->GetName(), name, ignoreCase)) {
            RemoveAt(cur);
            delete r;
            removed = true;
        }
    }
    return removed;
}

bool CfgParamAndValueList::RemoveParamFormatted(bool ignoreCase, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return RemoveParam(name.c_str(), ignoreCase);
}

bool CfgParamAndValueList::SetBrackets(const char* open, const char* close)
{
    try {
        m_openSet = open != nullptr;
        m_closeSet = close != nullptr;
        m_open = open ? open : "";
        m_close = close ? close : "";
    } catch (...) {
        return false;
    }
    return true;
}

bool CfgParamAndValueList::SplitIndexedName(const char* name, std::string* base, std::string* index) const
{
    std::string open = m_openSet || m_closeSet ? m_open : std::string("{[<(");
    std::string close = m_openSet || m_closeSet ? m_close : std::string("}]>)");
    return SplitIndexed(name, open, close, base, index);
}

bool CfgParamAndValueList::IndexedNameMatches(const char* name, const char* base, const char* index,
                                              bool ignoreCase) const
{
    std::string b, i;
    if (!SplitIndexedName(name, &b, &i))
        return false;
    if (!NamesEqual(b.c_str(), base, ignoreCase))
        return false;
    return index == nullptr || NamesEqual(i.c_str(), index, ignoreCase);
}

CfgParamAndValue* CfgParamAndValueList::FindIndexed(const char* base, const char* index, bool ignoreCase) const
{
    for (POSITION p = GetHeadPosition(); p;) {
        CfgParamAndValue* r = GetNext(p);
        if (r && IndexedNameMatches(r->GetName(), base, index, ignoreCase))
            return r;
    }
    return nullptr;
}

CfgParamAndValue* CfgParamAndValueList::FindNextIndexed(const char* base, size_t* position, bool ignoreCase) const
{
    size_t i = 0;
    for (POSITION p = GetHeadPosition(); p; ++i) {
        CfgParamAndValue* r = GetNext(p);
        if (position && i < *position)
            continue;
        if (r && IndexedNameMatches(r->GetName(), base, nullptr, ignoreCase)) {
            if (position)
                *position = i + 1;
            return r;
        }
    }
    if (position)
        *position = i;
    return nullptr;
}

int CfgParamAndValueList::CountIndexed(const char* base, bool ignoreCase) const
{
    int n = 0;
    for (POSITION p = GetHeadPosition(); p;) {
        CfgParamAndValue* r = GetNext(p);
        if (r && IndexedNameMatches(r->GetName(), base, nullptr, ignoreCase))
            ++n;
    }
    return n;
}

bool CfgParamAndValueList::RemoveIndexed(const char* base, bool ignoreCase)
{
    bool removed = false;
    for (POSITION p = GetHeadPosition(); p;) {
        POSITION cur = p;
        CfgParamAndValue* r = GetNext(p);
        if (r && IndexedNameMatches(r->GetName(), base, nullptr, ignoreCase)) {
            RemoveAt(cur);
            delete r;
            removed = true;
        }
    }
    return removed;
}

CfgParamAndValue* CfgParamAndValueList::AddIndexedParam(const char* base, const char* index, uint32_t type,
                                                        bool optional)
{
    std::string open = m_openSet || m_closeSet ? m_open : std::string("{[<(");
    std::string close = m_openSet || m_closeSet ? m_close : std::string("}]>)");
    std::string o = open.empty() ? "" : open.substr(0, 1);
    std::string c = close.empty() ? "" : close.substr(0, 1);
    return AddParamFormatted(type, optional, "%s%s%s%s", base ? base : "", o.c_str(), index ? index : "",
                             c.c_str());
}

// ---------------------------------------------------------------------------

CfgSection::CfgSection() = default;
CfgSection::~CfgSection() = default;

bool CfgSection::SetName(const char* name)
{
    try {
        m_name = name ? name : "";
    } catch (...) {
        return false;
    }
    return true;
}

const char* CfgSection::GetShortName() const
{
    const char* n = m_name.c_str();
    const char* b = strrchr(n, '\\');
    return b ? b + 1 : n;
}

bool CfgSection::SetComment(const char* text)
{
    try {
        m_comment = text ? text : "";
    } catch (...) {
        return false;
    }
    return true;
}

void CfgSection::SetSectionFlags(bool on, uint32_t mask)
{
    if (on)
        m_sectionFlags |= mask;
    else
        m_sectionFlags &= ~mask;
}

// ---------------------------------------------------------------------------

namespace {

// The name as the case-blind comparison sees it.
std::string Folded(const char* name)
{
    std::string f = name ? name : "";
    for (char& c : f)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return f;
}

// Folded name of the section a direct subsection of this name belongs to ("" for
// a top-level name); false when the name is no one's direct subsection.
bool FoldedParentOf(const char* name, std::string* parent)
{
    if (name == nullptr || *name == '\0')
        return false;
    const char* last = strrchr(name, '\\');
    if (last == nullptr) {
        parent->clear();
        return true;
    }
    if (last[1] == '\0' || last == name)
        return false;
    *parent = Folded(std::string(name, static_cast<size_t>(last - name)).c_str());
    return true;
}

}  // namespace

struct CfgSectionList::Index {
    unsigned long stamp = 0;
    std::vector<CfgSection*> order;
    std::unordered_map<std::string, std::vector<size_t>> byName;
    std::unordered_map<std::string, std::vector<size_t>> byParent;

    void Take(CfgSection* s)
    {
        const size_t at = order.size();
        order.push_back(s);
        if (s == nullptr)
            return;
        byName[Folded(s->GetName())].push_back(at);
        std::string parent;
        if (FoldedParentOf(s->GetName(), &parent))
            byParent[parent].push_back(at);
    }
};

CfgSectionList::CfgSectionList() : TypedPointerList<CfgSection>(8, true) {}
CfgSectionList::~CfgSectionList() = default;

const CfgSectionList::Index* CfgSectionList::CurrentIndex() const
{
    if (m_index && m_index->stamp == GetChangeCount())
        return m_index.get();
    try {
        std::unique_ptr<Index> index(new Index);
        index->order.reserve(static_cast<size_t>(GetCount()));
        for (POSITION p = GetHeadPosition(); p;)
            index->Take(GetNext(p));
        index->stamp = GetChangeCount();
        m_index = std::move(index);
    } catch (const std::bad_alloc&) {
        m_index.reset();
    }
    return m_index.get();
}

CfgSection* CfgSectionList::FindSection(const char* name, bool ignoreCase) const
{
    if (const Index* index = CurrentIndex()) {
        const auto it = index->byName.find(Folded(name));
        if (it == index->byName.end())
            return nullptr;
        for (size_t i : it->second) {
            ++m_comparisons;
            if (NamesEqual(index->order[i]->GetName(), name, ignoreCase))
                return index->order[i];
        }
        return nullptr;
    }
    for (POSITION p = GetHeadPosition(); p;) {
        CfgSection* s = GetNext(p);
        ++m_comparisons;
        if (s && NamesEqual(s->GetName(), name, ignoreCase))
            return s;
    }
    return nullptr;
}

CfgSection* CfgSectionList::FindSectionFormatted(bool ignoreCase, const char* format, ...) const
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return FindSection(name.c_str(), ignoreCase);
}

CfgSection* CfgSectionList::AddSection(const char* name, bool flag)
{
    CfgSection* s = new (std::nothrow) CfgSection();
    if (!s)
        return nullptr;
    if (!s->SetName(name)) {
        delete s;
        return nullptr;
    }
    s->SetSectionFlags(flag, CFG_SECT_TAKE_ALL);
    const bool indexed = m_index && m_index->stamp == GetChangeCount();
    try {
        AddTail(s);
    } catch (...) {
        delete s;
        return nullptr;
    }
    if (indexed) {
        try {
            m_index->Take(s);
            m_index->stamp = GetChangeCount();
        } catch (const std::bad_alloc&) {
            m_index.reset();  // made again by the next lookup
        }
    }
    return s;
}

CfgSection* CfgSectionList::AddSectionFormatted(bool flag, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return AddSection(name.c_str(), flag);
}

CfgSection* CfgSectionList::GetOrAddSection(const char* name, bool ignoreCase)
{
    CfgSection* s = FindSection(name, ignoreCase);
    return s ? s : AddSection(name, false);
}

CfgSection* CfgSectionList::GetOrAddSectionFormatted(bool ignoreCase, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return GetOrAddSection(name.c_str(), ignoreCase);
}

bool CfgSectionList::RemoveSection(const char* name, bool ignoreCase)
{
    bool removed = false;
    for (POSITION p = GetHeadPosition(); p;) {
        POSITION cur = p;
        CfgSection* s = GetNext(p);
        if (s && NamesEqual(s->GetName(), name, ignoreCase)) {
            RemoveAt(cur);
            delete s;
            removed = true;
        }
    }
    return removed;
}

bool CfgSectionList::RemoveSectionFormatted(bool ignoreCase, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    std::string name = FormatName(format, ap);
    va_end(ap);
    return RemoveSection(name.c_str(), ignoreCase);
}

CfgSection* CfgSectionList::FindNextSubsection(size_t* position, const char* parent, bool ignoreCase) const
{
    if (const Index* index = CurrentIndex()) {
        const size_t from = position ? *position : 0;
        const auto it = index->byParent.find(Folded(parent));
        if (it != index->byParent.end()) {
            const std::vector<size_t>& at = it->second;
            for (auto k = std::lower_bound(at.begin(), at.end(), from); k != at.end(); ++k) {
                CfgSection* s = index->order[*k];
                ++m_comparisons;
                if (CfgSectionIsDirectSubsection(s->GetName(), parent, ignoreCase)) {
                    if (position)
                        *position = *k + 1;
                    return s;
                }
            }
        }
        if (position)
            *position = index->order.size();
        return nullptr;
    }
    size_t i = 0;
    for (POSITION p = GetHeadPosition(); p; ++i) {
        CfgSection* s = GetNext(p);
        if (position && i < *position)
            continue;
        ++m_comparisons;
        if (s && CfgSectionIsDirectSubsection(s->GetName(), parent, ignoreCase)) {
            if (position)
                *position = i + 1;
            return s;
        }
    }
    if (position)
        *position = i;
    return nullptr;
}

CfgSection* CfgSectionList::GetSubsection(int index, const char* parent, bool ignoreCase) const
{
    if (index < 0)
        return nullptr;
    size_t pos = 0;
    CfgSection* s = nullptr;
    for (int i = 0; i <= index; ++i) {
        s = FindNextSubsection(&pos, parent, ignoreCase);
        if (!s)
            return nullptr;
    }
    return s;
}

int CfgSectionList::CountSubsections(const char* parent, bool ignoreCase) const
{
    int n = 0;
    size_t pos = 0;
    while (FindNextSubsection(&pos, parent, ignoreCase))
        ++n;
    return n;
}

bool CfgSectionList::SetBrackets(const char* open, const char* close)
{
    try {
        m_open = open ? open : "";
        m_close = close ? close : "";
    } catch (...) {
        return false;
    }
    return true;
}

bool CfgSectionList::SplitIndexedSectionName(const char* name, std::string* base, std::string* index) const
{
    return SplitIndexed(name, m_open, m_close, base, index);
}

CfgSection* CfgSectionList::FindIndexedSection(const char* base, const char* index) const
{
    for (POSITION p = GetHeadPosition(); p;) {
        CfgSection* s = GetNext(p);
        std::string b, i;
        if (s && SplitIndexedSectionName(s->GetName(), &b, &i) && NamesEqual(b.c_str(), base, true) &&
            (index == nullptr || NamesEqual(i.c_str(), index, true)))
            return s;
    }
    return nullptr;
}

CfgSection* CfgSectionList::FindIndexedSectionByNumber(const char* base, int index) const
{
    char buf[16];
    snprintf(buf, sizeof(buf), "%d", index);
    return FindIndexedSection(base, buf);
}

CfgSection* CfgSectionList::AddIndexedSection(const char* base, const char* index)
{
    std::string o = m_open.empty() ? "" : m_open.substr(0, 1);
    std::string c = m_close.empty() ? "" : m_close.substr(0, 1);
    return AddSectionFormatted(false, "%s%s%s%s", base ? base : "", o.c_str(), index ? index : "", c.c_str());
}

CfgSection* CfgSectionList::AddIndexedSectionByNumber(const char* base, int index)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "%d", index);
    return AddIndexedSection(base, buf);
}

bool CfgSectionList::RemoveIndexedSections(const char* base)
{
    bool removed = false;
    for (POSITION p = GetHeadPosition(); p;) {
        POSITION cur = p;
        CfgSection* s = GetNext(p);
        std::string b;
        if (s && SplitIndexedSectionName(s->GetName(), &b, nullptr) && NamesEqual(b.c_str(), base, true)) {
            RemoveAt(cur);
            delete s;
            removed = true;
        }
    }
    return removed;
}

bool CfgSectionIsDirectSubsection(const char* name, const char* parent, bool ignoreCase)
{
    if (name == nullptr || *name == '\0')
        return false;
    if (parent == nullptr || *parent == '\0')
        return strchr(name, '\\') == nullptr;
    size_t n = strlen(parent);
    if (!PrefixEqual(name, parent, n, ignoreCase) || name[n] != '\\')
        return false;
    const char* rest = name + n + 1;
    return *rest != '\0' && strchr(rest, '\\') == nullptr;
}

bool CfgSectionIsSubsection(const char* name, const char* parent, bool ignoreCase)
{
    if (name == nullptr || *name == '\0')
        return false;
    if (parent == nullptr || *parent == '\0')
        return true;
    size_t n = strlen(parent);
    return PrefixEqual(name, parent, n, ignoreCase) && name[n] == '\\' && name[n + 1] != '\0';
}
