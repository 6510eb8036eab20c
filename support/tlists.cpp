#include "support/tlists.h"

#include <cctype>
#include <cstring>
#include <new>
#include <utility>

#include "support/vtest.h"

namespace {
const char* const SRC = "tlists";
enum { kTail, kHead, kBefore, kAfter };
}

TextStringList::TextStringList() : TypedPointerList<char>(8, true) {}

TextStringList::TextStringList(const TextStringList& other) : TypedPointerList<char>(8, true)
{
    AddTail(&other);
}

TextStringList& TextStringList::operator=(const TextStringList& other)
{
    if (this != &other) {
        TextStringList copy(other);  // built first, so failure keeps this list
        std::swap(m_pNodeHead, copy.m_pNodeHead);
        std::swap(m_pNodeTail, copy.m_pNodeTail);
        std::swap(m_nCount, copy.m_nCount);
        std::swap(m_pNodeFree, copy.m_pNodeFree);
        std::swap(m_pBlocks, copy.m_pBlocks);
        std::swap(m_nBlockSize, copy.m_nBlockSize);
    }
    return *this;
}

TextStringList::~TextStringList()
{
    DeleteAll();
}

char* TextStringList::CopyText(const char* text, int len)
{
    AssertInvariant(text != nullptr, SRC, 40, "text != NULL");
    size_t n = len < 0 ? strlen(text) : static_cast<size_t>(len);
    char* s = new char[n + 1];
    memcpy(s, text, n);
    s[n] = '\0';
    return s;
}

char* TextStringList::NewBuffer(int size)
{
    size_t n = size < 0 ? 0 : static_cast<size_t>(size);
    char* s = new char[n + 1];
    memset(s, 0, n + 1);
    return s;
}

POSITION TextStringList::InsertOwned(POSITION pos, char* s, int where)
{
    try {
        switch (where) {
        case kHead: return TypedPointerList<char>::AddHead(s);
        case kBefore: return TypedPointerList<char>::InsertBefore(pos, s);
        case kAfter: return TypedPointerList<char>::InsertAfter(pos, s);
        default: return TypedPointerList<char>::AddTail(s);
        }
    } catch (...) {
        delete[] s;
        throw;
    }
}

POSITION TextStringList::AddTail(const char* text, int len) { return InsertOwned(nullptr, CopyText(text, len), kTail); }
POSITION TextStringList::AddHead(const char* text, int len) { return InsertOwned(nullptr, CopyText(text, len), kHead); }
POSITION TextStringList::InsertBefore(POSITION pos, const char* text, int len)
{
    return InsertOwned(pos, CopyText(text, len), kBefore);
}
POSITION TextStringList::InsertAfter(POSITION pos, const char* text, int len)
{
    return InsertOwned(pos, CopyText(text, len), kAfter);
}

char* TextStringList::AddTail(int size)
{
    char* s = NewBuffer(size);
    InsertOwned(nullptr, s, kTail);
    return s;
}
char* TextStringList::AddHead(int size)
{
    char* s = NewBuffer(size);
    InsertOwned(nullptr, s, kHead);
    return s;
}
char* TextStringList::InsertBefore(POSITION pos, int size)
{
    char* s = NewBuffer(size);
    InsertOwned(pos, s, kBefore);
    return s;
}
char* TextStringList::InsertAfter(POSITION pos, int size)
{
    char* s = NewBuffer(size);
    InsertOwned(pos, s, kAfter);
    return s;
}

POSITION TextStringList::AddTail(const TextStringList* other)
{
    if (other == nullptr || other->GetCount() == 0)
        return nullptr;
    // Copies are made into a scratch list first so that a failure adds nothing.
    TextStringList tmp;
    int n = other->GetCount();
    POSITION p = other->GetHeadPosition();
    for (int i = 0; i < n; ++i) {
        const char* s = other->GetNext(p);
        if (s)
            tmp.AddTail(s);
        else
            tmp.TypedPointerList<char>::AddTail(static_cast<char*>(nullptr));
    }
    POSITION last = PointerList::AddTail(static_cast<const PointerList*>(&tmp));
    tmp.SetOwnership(false);
    static_cast<PointerList&>(tmp).RemoveAll();
    return last;
}

POSITION TextStringList::AddHead(const TextStringList* other)
{
    if (other == nullptr || other->GetCount() == 0)
        return nullptr;
    TextStringList tmp;
    int n = other->GetCount();
    POSITION p = other->GetHeadPosition();
    for (int i = 0; i < n; ++i) {
        const char* s = other->GetNext(p);
        if (s)
            tmp.AddTail(s);
        else
            tmp.TypedPointerList<char>::AddTail(static_cast<char*>(nullptr));
    }
    POSITION head = PointerList::AddHead(static_cast<const PointerList*>(&tmp));
    tmp.SetOwnership(false);
    static_cast<PointerList&>(tmp).RemoveAll();
    return head;
}

void TextStringList::SetAt(POSITION pos, const char* text, int len)
{
    AssertInvariant(pos != nullptr, SRC, 150, "pos != NULL");
    char* s = CopyText(text, len);
    char* old = GetAt(pos);
    TypedPointerList<char>::SetAt(pos, s);
    delete[] old;
}

POSITION TextStringList::Find(const char* text) const
{
    const char* t = text ? text : "";
    for (POSITION p = GetHeadPosition(); p; p = p->next) {
        const char* s = static_cast<const char*>(p->data);
        if (strcmp(s ? s : "", t) == 0)
            return p;
    }
    return nullptr;
}

POSITION TextStringList::FindNoCase(const char* text) const
{
    const char* t = text ? text : "";
    size_t tl = strlen(t);
    for (POSITION p = GetHeadPosition(); p; p = p->next) {
        const char* s = static_cast<const char*>(p->data);
        if (!s)
            s = "";
        if (strlen(s) != tl)
            continue;
        size_t i = 0;
        for (; i < tl; ++i)
            if (tolower(static_cast<unsigned char>(s[i])) != tolower(static_cast<unsigned char>(t[i])))
                break;
        if (i == tl)
            return p;
    }
    return nullptr;
}

void TextStringList::RemoveAt(POSITION pos)
{
    delete[] TypedPointerList<char>::RemoveAt(pos);
}

void TextStringList::RemoveHead()
{
    delete[] TypedPointerList<char>::RemoveHead();
}

void TextStringList::RemoveTail()
{
    delete[] TypedPointerList<char>::RemoveTail();
}

void TextStringList::RemoveAll()
{
    DeleteAll();
}
