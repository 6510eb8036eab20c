// List of owned, NUL-terminated strings.
#pragma once

#include "support/ptrlist.h"

class TextStringList : private TypedPointerList<char> {
public:
    TextStringList();
    TextStringList(const TextStringList& other);
    TextStringList& operator=(const TextStringList& other);
    ~TextStringList() override;

    using TypedPointerList<char>::GetCount;
    using TypedPointerList<char>::IsEmpty;
    using TypedPointerList<char>::GetHeadPosition;
    using TypedPointerList<char>::GetTailPosition;
    using TypedPointerList<char>::GetHead;
    using TypedPointerList<char>::GetTail;
    using TypedPointerList<char>::GetNext;
    using TypedPointerList<char>::GetPrev;
    using TypedPointerList<char>::GetAt;
    using TypedPointerList<char>::FindIndex;
    using TypedPointerList<char>::FindIndexFromTail;

    // Copies of text (len < 0: strlen). Throw std::bad_alloc on failure, list unchanged.
    POSITION AddTail(const char* text, int len = -1);
    POSITION AddHead(const char* text, int len = -1);
    POSITION InsertBefore(POSITION pos, const char* text, int len = -1);
    POSITION InsertAfter(POSITION pos, const char* text, int len = -1);

    // New zeroed buffers of size + 1 bytes for the caller to fill.
    char* AddTail(int size);
    char* AddHead(int size);
    char* InsertBefore(POSITION pos, int size);
    char* InsertAfter(POSITION pos, int size);

    // Copies of every string of other, in other's order; NULL entries stay NULL.
    POSITION AddTail(const TextStringList* other);
    POSITION AddHead(const TextStringList* other);

    void SetAt(POSITION pos, const char* text, int len = -1);

    POSITION Find(const char* text) const;
    POSITION FindNoCase(const char* text) const;

    // Removal frees the strings.
    void RemoveAt(POSITION pos);
    void RemoveHead();
    void RemoveTail();
    void RemoveAll();

private:
    static char* CopyText(const char* text, int len);
    static char* NewBuffer(int size);
    POSITION InsertOwned(POSITION pos, char* s, int where);
};
