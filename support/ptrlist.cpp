#include "support/ptrlist.h"

#include <climits>
#include <new>

#include "support/vtest.h"

namespace {
const char* const SRC = "ptrlist";
}

PointerList::PointerList(int nBlockSize) : m_nBlockSize(nBlockSize)
{
    AssertInvariant(nBlockSize > 0, SRC, 42, "nBlockSize > 0");
}

PointerList::~PointerList()
{
    RemoveAll();
}

void* PointerList::GetHead() const
{
    AssertInvariant(m_pNodeHead != nullptr, SRC, 60, "m_pNodeHead != NULL");
    return m_pNodeHead->data;
}

void* PointerList::GetTail() const
{
    AssertInvariant(m_pNodeTail != nullptr, SRC, 66, "m_pNodeTail != NULL");
    return m_pNodeTail->data;
}

void* PointerList::GetNext(POSITION& pos) const
{
    AssertInvariant(pos != nullptr, SRC, 72, "pos != NULL");
    void* d = pos->data;
    pos = pos->next;
    return d;
}

void* PointerList::GetPrev(POSITION& pos) const
{
    AssertInvariant(pos != nullptr, SRC, 80, "pos != NULL");
    void* d = pos->data;
    pos = pos->prev;
    return d;
}

void* PointerList::GetAt(POSITION pos) const
{
    AssertInvariant(pos != nullptr, SRC, 88, "pos != NULL");
    return pos->data;
}

void PointerList::SetAt(POSITION pos, void* data)
{
    AssertInvariant(pos != nullptr, SRC, 94, "pos != NULL");
    pos->data = data;
    ++m_nChanges;
}

void PointerList::EnsureFreeNodes(int n)
{
    int have = 0;
    for (PtrListNode* p = m_pNodeFree; p && have < n; p = p->next)
        ++have;
    while (have < n) {
        size_t nodes = static_cast<size_t>(m_nBlockSize);
        AssertInvariant(nodes > 0 && sizeof(PtrListNode) > 0, SRC, 110, "nMax > 0 && cbElement > 0");
        if (nodes > (SIZE_MAX - sizeof(Block)) / sizeof(PtrListNode))
            throw std::bad_alloc();
        // One allocation per block: the header, then room for blockSize nodes.
        size_t bytes = sizeof(Block) + nodes * sizeof(PtrListNode);
        static_assert(sizeof(Block) % alignof(PtrListNode) == 0, "node alignment");
        Block* b = static_cast<Block*>(::operator new(bytes));
        b->prev = m_pBlocks;
        m_pBlocks = b;
        PtrListNode* nodeArr = reinterpret_cast<PtrListNode*>(b + 1);
        // Push in reverse so that nodes come out in address order.
        for (size_t i = nodes; i-- > 0;) {
            nodeArr[i].next = m_pNodeFree;
            nodeArr[i].prev = nullptr;
            nodeArr[i].data = nullptr;
            m_pNodeFree = &nodeArr[i];
        }
        have += m_nBlockSize;
    }
}

PtrListNode* PointerList::NewNode(PtrListNode* prev, PtrListNode* next)
{
    if (m_pNodeFree == nullptr)
        EnsureFreeNodes(1);
    AssertInvariant(m_pNodeFree != nullptr, SRC, 135, "m_pNodeFree != NULL");
    AssertInvariant(m_nCount < INT_MAX, SRC, 136, "m_nCount > 0");
    PtrListNode* node = m_pNodeFree;
    m_pNodeFree = m_pNodeFree->next;
    node->prev = prev;
    node->next = next;
    node->data = nullptr;
    ++m_nCount;
    ++m_nChanges;
    AssertInvariant(m_nCount > 0, SRC, 143, "m_nCount > 0");
    return node;
}

void PointerList::FreeNode(PtrListNode* node)
{
    node->next = m_pNodeFree;
    node->prev = nullptr;
    node->data = nullptr;
    m_pNodeFree = node;
    --m_nCount;
    ++m_nChanges;
    AssertInvariant(m_nCount >= 0, SRC, 154, "m_nCount >= 0");
    if (m_nCount == 0)
        RemoveAll();
}

POSITION PointerList::AddHead(void* data)
{
    PtrListNode* node = NewNode(nullptr, m_pNodeHead);
    node->data = data;
    if (m_pNodeHead)
        m_pNodeHead->prev = node;
    else
        m_pNodeTail = node;
    m_pNodeHead = node;
    return node;
}

POSITION PointerList::AddTail(void* data)
{
    PtrListNode* node = NewNode(m_pNodeTail, nullptr);
    node->data = data;
    if (m_pNodeTail)
        m_pNodeTail->next = node;
    else
        m_pNodeHead = node;
    m_pNodeTail = node;
    return node;
}

POSITION PointerList::InsertBefore(POSITION pos, void* data)
{
    if (pos == nullptr)
        return AddHead(data);
    PtrListNode* old = pos;
    PtrListNode* node = NewNode(old->prev, old);
    node->data = data;
    if (old->prev) {
        old->prev->next = node;
    } else {
        AssertInvariant(old == m_pNodeHead, SRC, 192, "pOldNode == m_pNodeHead");
        m_pNodeHead = node;
    }
    old->prev = node;
    return node;
}

POSITION PointerList::InsertAfter(POSITION pos, void* data)
{
    if (pos == nullptr)
        return AddTail(data);
    PtrListNode* old = pos;
    PtrListNode* node = NewNode(old, old->next);
    node->data = data;
    if (old->next) {
        old->next->prev = node;
    } else {
        AssertInvariant(old == m_pNodeTail, SRC, 209, "pOldNode == m_pNodeTail");
        m_pNodeTail = node;
    }
    old->next = node;
    return node;
}

POSITION PointerList::AddTail(const PointerList* other)
{
    if (other == nullptr || other->m_nCount == 0)
        return nullptr;
    int n = other->m_nCount;  // fixed first: other may be this list
    try {
        EnsureFreeNodes(n);
    } catch (...) {
        if (m_nCount == 0)
            RemoveAll();
        throw;
    }
    POSITION last = nullptr;
    PtrListNode* p = other->m_pNodeHead;
    for (int i = 0; i < n; ++i, p = p->next)
        last = AddTail(p->data);
    return last;
}

POSITION PointerList::AddHead(const PointerList* other)
{
    if (other == nullptr || other->m_nCount == 0)
        return nullptr;
    int n = other->m_nCount;
    try {
        EnsureFreeNodes(n);
    } catch (...) {
        if (m_nCount == 0)
            RemoveAll();
        throw;
    }
    PtrListNode* p = other->m_pNodeTail;
    for (int i = 0; i < n; ++i) {
        PtrListNode* prev = p->prev;  // read first: other may be this list
        AddHead(p->data);
        p = prev;
    }
    return m_pNodeHead;
}

void* PointerList::RemoveHead()
{
    AssertInvariant(m_pNodeHead != nullptr, SRC, 255, "m_pNodeHead != NULL");
    return RemoveAt(m_pNodeHead);
}

void* PointerList::RemoveTail()
{
    AssertInvariant(m_pNodeTail != nullptr, SRC, 261, "m_pNodeTail != NULL");
    return RemoveAt(m_pNodeTail);
}

void* PointerList::RemoveAt(POSITION pos)
{
    AssertInvariant(pos != nullptr, SRC, 267, "pos != NULL");
    AssertInvariant(m_nCount > 0, SRC, 268, "m_nCount > 0");
    PtrListNode* old = pos;
    if (old->prev) {
        old->prev->next = old->next;
    } else {
        AssertInvariant(old == m_pNodeHead, SRC, 273, "pOldNode == m_pNodeHead");
        m_pNodeHead = old->next;
    }
    if (old->next) {
        old->next->prev = old->prev;
    } else {
        AssertInvariant(old == m_pNodeTail, SRC, 279, "pOldNode == m_pNodeTail");
        m_pNodeTail = old->prev;
    }
    void* data = old->data;
    FreeNode(old);
    return data;
}

void PointerList::RemoveAll()
{
    ++m_nChanges;
    m_nCount = 0;
    m_pNodeHead = m_pNodeTail = nullptr;
    m_pNodeFree = nullptr;
    while (m_pBlocks) {
        Block* prev = m_pBlocks->prev;
        ::operator delete(m_pBlocks);
        m_pBlocks = prev;
    }
}

POSITION PointerList::Find(void* data, POSITION startAfter) const
{
    PtrListNode* p = startAfter ? startAfter->next : m_pNodeHead;
    for (; p; p = p->next)
        if (p->data == data)
            return p;
    return nullptr;
}

POSITION PointerList::FindIndex(int index) const
{
    AssertInvariant(index >= 0, SRC, 309, "nIndex >= 0");
    if (index >= m_nCount)
        return nullptr;
    PtrListNode* p = m_pNodeHead;
    while (index-- > 0)
        p = p->next;
    return p;
}

POSITION PointerList::FindIndexFromTail(int index) const
{
    AssertInvariant(index >= 0, SRC, 320, "nIndex >= 0");
    if (index >= m_nCount)
        return nullptr;
    PtrListNode* p = m_pNodeTail;
    while (index-- > 0)
        p = p->prev;
    return p;
}
