// Doubly linked list of untyped pointers with block-allocated nodes, and its
// typed (optionally owning) form.
#pragma once

#include <cstddef>
#include <type_traits>

struct PtrListNode {
    PtrListNode* next;
    PtrListNode* prev;
    void* data;
};

// A node handed to callers; valid until that node is removed.
typedef PtrListNode* POSITION;

class PointerList {
public:
    explicit PointerList(int nBlockSize = 10);
    virtual ~PointerList();

    PointerList(const PointerList&) = delete;
    PointerList& operator=(const PointerList&) = delete;

    int GetCount() const { return m_nCount; }
    bool IsEmpty() const { return m_nCount == 0; }

    POSITION GetHeadPosition() const { return m_pNodeHead; }
    POSITION GetTailPosition() const { return m_pNodeTail; }
    // Head/tail data; the list must not be empty.
    void* GetHead() const;
    void* GetTail() const;
    // Return the data at pos and move pos to the next / previous node (NULL at the end).
    void* GetNext(POSITION& pos) const;
    void* GetPrev(POSITION& pos) const;
    void* GetAt(POSITION pos) const;
    void SetAt(POSITION pos, void* data);

    // Insertions throw std::bad_alloc on allocation failure and leave the list as it was.
    POSITION AddHead(void* data);
    POSITION AddTail(void* data);
    POSITION InsertBefore(POSITION pos, void* data);
    POSITION InsertAfter(POSITION pos, void* data);
    // Append / prepend every element of other, keeping its order. On allocation
    // failure nothing of other is added.
    POSITION AddTail(const PointerList* other);
    POSITION AddHead(const PointerList* other);

    void* RemoveHead();
    void* RemoveTail();
    void* RemoveAt(POSITION pos);
    // Drops every node and frees every block; the elements are not deleted.
    void RemoveAll();

    POSITION Find(void* data, POSITION startAfter = nullptr) const;
    POSITION FindIndex(int index) const;
    POSITION FindIndexFromTail(int index) const;

    // Grows with every change of the list (a node added or removed, an element
    // replaced): an index kept beside the list is current while it is unchanged.
    unsigned long GetChangeCount() const { return m_nChanges; }

protected:
    struct Block {
        Block* prev;
    };

    PtrListNode* NewNode(PtrListNode* prev, PtrListNode* next);
    void FreeNode(PtrListNode* node);
    void EnsureFreeNodes(int n);

    PtrListNode* m_pNodeHead = nullptr;
    PtrListNode* m_pNodeTail = nullptr;
    int m_nCount = 0;
    PtrListNode* m_pNodeFree = nullptr;
    Block* m_pBlocks = nullptr;
    int m_nBlockSize;
    unsigned long m_nChanges = 0;
};

// The same list with typed accessors. With ownership set, the destructor (and
// DeleteAll) deletes the elements, array delete for char.
template <class T>
class TypedPointerList : public PointerList {
public:
    explicit TypedPointerList(int nBlockSize = 10, bool bOwnsElements = true)
        : PointerList(nBlockSize), m_bOwnsElements(bOwnsElements) {}
    ~TypedPointerList() override { DeleteAll(); }

    bool OwnsElements() const { return m_bOwnsElements; }
    void SetOwnership(bool owns) { m_bOwnsElements = owns; }

    T* GetHead() const { return static_cast<T*>(PointerList::GetHead()); }
    T* GetTail() const { return static_cast<T*>(PointerList::GetTail()); }
    T* GetNext(POSITION& pos) const { return static_cast<T*>(PointerList::GetNext(pos)); }
    T* GetPrev(POSITION& pos) const { return static_cast<T*>(PointerList::GetPrev(pos)); }
    T* GetAt(POSITION pos) const { return static_cast<T*>(PointerList::GetAt(pos)); }
    void SetAt(POSITION pos, T* data) { PointerList::SetAt(pos, data); }

    POSITION AddHead(T* data) { return PointerList::AddHead(static_cast<void*>(data)); }
    POSITION AddTail(T* data) { return PointerList::AddTail(static_cast<void*>(data)); }
    POSITION InsertBefore(POSITION pos, T* data) { return PointerList::InsertBefore(pos, static_cast<void*>(data)); }
    POSITION InsertAfter(POSITION pos, T* data) { return PointerList::InsertAfter(pos, static_cast<void*>(data)); }
    POSITION AddTail(const TypedPointerList<T>* other) { return PointerList::AddTail(static_cast<const PointerList*>(other)); }
    POSITION AddHead(const TypedPointerList<T>* other) { return PointerList::AddHead(static_cast<const PointerList*>(other)); }

    T* RemoveHead() { return static_cast<T*>(PointerList::RemoveHead()); }
    T* RemoveTail() { return static_cast<T*>(PointerList::RemoveTail()); }
    T* RemoveAt(POSITION pos) { return static_cast<T*>(PointerList::RemoveAt(pos)); }

    POSITION Find(const T* data, POSITION startAfter = nullptr) const
    {
        return PointerList::Find(const_cast<void*>(static_cast<const void*>(data)), startAfter);
    }

    // Removes every node from the tail, deleting the elements when the list owns them.
    void DeleteAll()
    {
        while (m_nCount > 0) {
            T* p = RemoveTail();
            if (m_bOwnsElements)
                DeleteElement(p);
        }
    }

    static void DeleteElement(T* p)
    {
        if constexpr (std::is_same_v<T, char> || std::is_same_v<T, unsigned char>)
            delete[] p;
        else
            delete p;
    }

protected:
    bool m_bOwnsElements;
};
