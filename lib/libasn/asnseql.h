// SEQUENCE OF T: an ordered, owning list of element objects that is itself an ASN.1
// object. The list operations (add at the tail, walk, count, remove) are public.
#pragma once

#include <new>

#include "lib/libasn/asnbase.h"
#include "lib/libasn/asnchoice.h"
#include "support/ptrlist.h"

template <class T>
class ASNsequenceList : public ASNsequenceF, public TypedPointerList<T> {
public:
    typedef TypedPointerList<T> List;

    explicit ASNsequenceList(uint32_t tag = 0) : ASNsequenceF(tag), List(8, true) {}
    // Copies every element (T's copy constructor); throws std::bad_alloc when it cannot.
    ASNsequenceList(const ASNsequenceList& other) : ASNsequenceF(other), List(8, true) {
        copyElementsFrom(other);
    }
    ASNsequenceList& operator=(const ASNsequenceList& other) {
        if (this != &other) {
            assertNotConst("lib/libasn/asnseql", 40, "!( flags & ASN_FLAG_CONST )");
            clear();
            copyElementsFrom(other);
        }
        return *this;
    }
    ~ASNsequenceList() override { clear(); }

    // Owning: deletes the elements from the tail; otherwise only empties the list.
    void clear() override {
        if (this->OwnsElements())
            this->DeleteAll();
        else
            this->RemoveAll();
    }

    int read_contents(GenericFile* src, long len) override {
        clear();
        if (len < 1) return len == 0 ? 1 : 0;
        long consumed = 0;
        for (;;) {
            long r = readElement(src, len - consumed);
            if (r < 1) return static_cast<int>(r);
            consumed += r;
            if (consumed >= len) return consumed == len ? 1 : 0;
        }
    }

    // Returns the octets consumed, the closing end-of-contents octets included.
    long read_indefinite_contents(GenericFile* src, long maxLen) override {
        clear();
        long consumed = 0;
        for (;;) {
            int e = isEndOfContents(src);
            if (e == 1) {
                uint8_t eoc[2];
                if (asnReadExact(src, eoc, 2) != 1) return 0;
                return consumed + 2;
            }
            if (e < 0) return 0;
            // Room for one element (two octets at least) and the end-of-contents.
            if (maxLen > 0 && maxLen < consumed + 2) return 0;
            long r = readElement(src, maxLen > 0 ? maxLen - consumed : maxLen);
            if (r < 1) return r;
            consumed += r;
        }
    }

    int write_contents(GenericFile* dst) const override {
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr) {
            const T* e = this->GetNext(pos);
            long r = e->write(dst);
            if (r < 1) return static_cast<int>(r);
        }
        return 1;
    }

    long lenOfBody() const override {
        long n = 0;
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr) n += this->GetNext(pos)->lenOfObject();
        return n;
    }

    void digest_contents(QvHash* hash) const override {
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr) this->GetNext(pos)->digestObject(hash);
    }

    // The element at index (from 0), NULL past the end.
    T* getAt(int index) const {
        if (index < 0) return nullptr;
        POSITION pos = this->FindIndex(index);
        return pos != nullptr ? this->GetAt(pos) : nullptr;
    }

protected:
    // A new element for decoding, built with its type's own default tag.
    virtual T* createElement() const { return new (std::nothrow) T(); }

    // Decodes one element at the tail within maxLen octets: its length, or the
    // failure (the failed element is not kept).
    long readElement(GenericFile* src, long maxLen) {
        T* e = createElement();
        if (e == nullptr) return EASN_MEM;
        try {
            this->AddTail(e);
        } catch (const std::bad_alloc&) {
            delete e;
            return EASN_MEM;
        }
        long r = e->read(src, maxLen, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
        if (r < 1) {
            this->RemoveTail();
            delete e;
        }
        return r;
    }

    void copyElementsFrom(const ASNsequenceList& other) {
        POSITION pos = other.GetHeadPosition();
        while (pos != nullptr) {
            T* e = nullptr;
            try {
                e = new T(*other.GetNext(pos));
                this->AddTail(e);
            } catch (const std::bad_alloc&) {
                delete e;
                clear();
                throw;
            }
        }
    }
};
