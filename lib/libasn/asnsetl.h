// SET OF T with the DER ordering of X.690 (11.6): a set built or changed here is
// written with its elements sorted by their encodings; a decoded set is written in
// the order it arrived, so that signed structures re-encode to the octets received.
// Insertions go through the set's own operations, which keep that order flag right.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "lib/libasn/asnbase.h"
#include "lib/libasn/asnchoice.h"
#include "support/memfile.h"
#include "support/ptrlist.h"
#include "support/textutil.h"
#include "support/vtest.h"

// Orders two encodings as DER orders the elements of a SET OF: octet by octet; when
// one is a prefix of the other, the shorter counts as padded with zero octets.
// Negative, 0 or positive.
int asnCompareSetEncodings(const uint8_t* a, long lenA, const uint8_t* b, long lenB);

// Stream context of a SET OF: the element being decoded and the end-of-contents peek.
template <class T>
class ASNsetListStreamCtx : public ASNStreamCtx {
public:
    ASNsetListStreamCtx()
        : lastResult(0), completed(0), peekCount(0), pending(nullptr), pendingStarted(false),
          started(false) {
        peek[0] = peek[1] = 0;
    }
    ~ASNsetListStreamCtx() override { delete pending; }
    void reset() override {
        ASNStreamCtx::reset();
        delete pending;
        pending = nullptr;
        pendingStarted = false;
        lastResult = 0;
        completed = 0;
        peekCount = 0;
        started = false;
    }

    int64_t lastResult;
    int64_t completed;      // octets of the elements completed so far
    int32_t peekCount;      // octets in peek
    uint8_t peek[2];
    T* pending;             // the element being decoded (owned)
    bool pendingStarted;    // pending has received octets
    bool started;           // the set was emptied for this decode
};

template <class T>
class ASNsetList : public ASNsetF, private TypedPointerList<T> {
public:
    typedef TypedPointerList<T> List;

    explicit ASNsetList(uint32_t tag = 0) : ASNsetF(tag), List(8, true), receivedOrder(0) {}
    // Copies every element in order and takes the other's order flag; throws
    // std::bad_alloc (this set then empty) when it cannot.
    ASNsetList(const ASNsetList& other) : ASNsetF(other), List(8, true), receivedOrder(0) {
        copyElementsFrom(other);
    }
    ASNsetList& operator=(const ASNsetList& other) {
        if (this != &other) {
            assertNotConst("lib/libasn/asnsetl", 120, "!( flags & ASN_FLAG_CONST )");
            clear();
            copyElementsFrom(other);
        }
        return *this;
    }
    ~ASNsetList() override { clear(); }

    // Read access to the list.
    using List::GetCount;
    using List::IsEmpty;
    using List::GetHeadPosition;
    using List::GetTailPosition;
    using List::GetNext;
    using List::GetPrev;
    using List::GetAt;
    using List::FindIndex;
    using List::Find;
    using List::OwnsElements;

    void clear() override {
        if (this->OwnsElements())
            this->DeleteAll();
        else
            this->RemoveAll();
        receivedOrder = 0;
    }

    // Takes element (which must have a fixed tag) at the tail; the set is then written
    // in DER order. The position, or NULL when no node could be allocated (element
    // then stays the caller's).
    POSITION add(T* element) {
        AssertInvariant(element != nullptr && element->tag != TAG_ANY, "lib/libasn/asnsetl", 254,
                        "i->tag != TAG_ANY", nullptr);
        POSITION pos;
        try {
            pos = this->AddTail(element);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        receivedOrder = 0;
        return pos;
    }

    // Unlinks the element at pos and hands it to the caller.
    T* removeAt(POSITION pos) {
        receivedOrder = 0;
        return this->RemoveAt(pos);
    }

    // The element at index (from 0), NULL past the end.
    T* getAt(int index) const {
        if (index < 0 || index >= this->GetCount()) return nullptr;
        return this->GetAt(this->FindIndex(index));
    }

    int read_contents(GenericFile* src, long len) override {
        clear();
        if (len < 1) {
            receivedOrder = 1;
            return len == 0 ? 1 : 0;
        }
        long consumed = 0;
        for (;;) {
            T* e = createElement();
            if (e == nullptr) return EASN_MEM;
            try {
                this->AddTail(e);
            } catch (const std::bad_alloc&) {
                delete e;
                return EASN_MEM;
            }
            long r = e->read(src, len - consumed, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
            if (r < 1) {
                this->RemoveTail();
                delete e;
                receivedOrder = 0;
                return static_cast<int>(r);
            }
            consumed += r;
            if (consumed >= len) {
                receivedOrder = 1;
                return consumed == len ? 1 : 0;
            }
        }
    }

    int write_contents(GenericFile* dst) const override {
        if (receivedOrder == 1 || this->GetCount() == 1) {
            POSITION pos = this->GetHeadPosition();
            while (pos != nullptr) {
                long r = this->GetNext(pos)->write(dst);
                if (r < 1) return static_cast<int>(r);
            }
            return 1;
        }
        long total = lenOfBody();
        if (this->GetCount() == 0 || total == 0) return 1;
        Sorted s;
        int r = encodeSorted(s, total);
        if (r < 1) return r;
        for (const Record& rec : s.records)
            if (asnWriteAll(dst, s.buffer + rec.offset, static_cast<size_t>(rec.length)) != 1)
                return EASN_FILE;
        return 1;
    }

    long lenOfBody() const override {
        long n = 0;
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr) n += this->GetNext(pos)->lenOfObject();
        return n;
    }

    // The octets write_contents produces, in the same order.
    void digest_contents(QvHash* hash) const override {
        if (receivedOrder == 1) {
            POSITION pos = this->GetHeadPosition();
            while (pos != nullptr) this->GetNext(pos)->digestObject(hash);
            return;
        }
        MemFile mf;
        if (write_contents(&mf) != 1) return;
        hashUpdate(mf.GetData(), static_cast<long>(mf.Size()), hash);
    }

    // Brings the set into DER form: canonicalises every element, then reorders the
    // list by the elements' encodings. 0 when an element cannot be canonicalised; when
    // memory runs out the order is left as it was (still 1).
    int makeDER() {
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr)
            if (canonicalizeElement(this->GetNext(pos)) != 1) return 0;
        long total = lenOfBody();
        if (this->GetCount() > 1 && total > 0) {
            Sorted s;
            if (encodeSorted(s, total) == 1) {
                // Refill the existing nodes in sorted order: no allocation, no loss.
                POSITION p = this->GetHeadPosition();
                for (const Record& rec : s.records) {
                    this->SetAt(p, rec.element);
                    this->GetNext(p);
                }
            }
        }
        receivedOrder = 0;
        return 1;
    }

    // Whether both sets hold the same elements (by encoding), in any order. False
    // when memory for the comparison runs out.
    bool sameElements(const ASNsetList& other) const {
        if (this->GetCount() != other.GetCount()) return false;
        if (this->GetCount() == 0) return true;
        long la = lenOfBody(), lb = other.lenOfBody();
        if (la != lb) return false;
        if (la == 0) return true;
        Sorted a, b;
        if (encodeSorted(a, la) != 1 || other.encodeSorted(b, lb) != 1) return false;
        for (size_t i = 0; i < a.records.size(); i++) {
            const Record& ra = a.records[i];
            const Record& rb = b.records[i];
            if (ra.length != rb.length ||
                std::memcmp(a.buffer + ra.offset, b.buffer + rb.offset, static_cast<size_t>(ra.length)) != 0)
                return false;
        }
        return true;
    }

    int createStreamCtx() override {
        if (streamCtx != nullptr) return 1;
        streamCtx = new (std::nothrow) ASNsetListStreamCtx<T>();
        return streamCtx != nullptr ? 1 : EASN_MEM;
    }

    // Resumable decoding of the elements; the indefinite form is accepted here.
    int read_contents_streamed(GenericFile* src, long len, GenericFile* out) override {
        AssertInvariant(streamCtx != nullptr, "lib/libasn/asnsetl", 567, "streamCtx != NULL", nullptr);
        ASNsetListStreamCtx<T>* c = dynamic_cast<ASNsetListStreamCtx<T>*>(streamCtx);
        AssertInvariant(c != nullptr, "lib/libasn/asnsetl", 567, "streamCtx != NULL", nullptr);
        if (!c->started) {
            clear();
            c->started = true;
        }
        if (len == 0) {
            c->contentsLen = 0;
            receivedOrder = 1;
            return 1;
        }
        for (;;) {
            if (c->pending == nullptr) {
                c->pending = createElement();
                if (c->pending == nullptr) return EASN_MEM;
                c->pendingStarted = false;
            }
            long r = 0;
            bool done = false;
            if (len < 0 && !c->pendingStarted) {
                while (c->peekCount < 2) {
                    size_t got = 0;
                    if (src->Read(static_cast<size_t>(2 - c->peekCount), c->peek + c->peekCount, &got) != 0)
                        return EASN_FILE;
                    if (got == 0) return EASN_MORE;
                    c->peekCount += static_cast<int32_t>(got);
                }
                if (c->peek[0] == 0 && c->peek[1] == 0) {
                    delete c->pending;
                    c->pending = nullptr;
                    c->peekCount = 0;
                    // The end-of-contents is consumed here, not by the caller.
                    c->eocCount = 2;
                    c->contentsLen = c->completed;
                    receivedOrder = 1;
                    return 1;
                }
                MemFile pk(c->peek, 2, false);
                c->peekCount = 0;
                c->pendingStarted = true;
                r = c->pending->readStreamed(&pk, out);
                if (r < 1 && r != EASN_MORE) return fail(static_cast<int>(r));
                // A two-octet element (05 00, 30 00) is complete from the peek alone.
                done = r > 0;
            }
            if (!done) {
                c->pendingStarted = true;
                r = c->pending->readStreamed(src, out);
                if (r < 1) return r == EASN_MORE ? EASN_MORE : fail(static_cast<int>(r));
            }
            T* e = c->pending;
            try {
                this->AddTail(e);
            } catch (const std::bad_alloc&) {
                delete e;
                c->pending = nullptr;
                return fail(EASN_MEM);
            }
            c->pending = nullptr;
            c->pendingStarted = false;
            c->lastResult = r;
            c->completed += r;
            // Indefinite contents have no declared length; their sum is bounded instead.
            if (c->completed > ASN_MAX_STREAMED_LENGTH) return fail(0);
            if (len > 0) {
                if (c->completed == len) {
                    c->contentsLen = len;
                    receivedOrder = 1;
                    return 1;
                }
                if (c->completed > len) {
                    c->contentsLen = static_cast<long>(c->completed);
                    receivedOrder = 1;
                    return 0;
                }
            }
        }
    }

    // 1: the elements are in the order in which they were decoded and are written in
    // list order; 0: built or changed here, written in DER order.
    uint8_t receivedOrder;

protected:
    // A new element for decoding, built with its type's own default tag.
    virtual T* createElement() const { return new (std::nothrow) T(); }
    // Brings one element into canonical form before sorting; 1 on success.
    virtual int canonicalizeElement(T*) { return 1; }

private:
    struct Record {
        T* element;
        long offset;
        long length;
    };
    struct Sorted {
        Sorted() : buffer(nullptr), size(0) {}
        ~Sorted() {
            if (buffer != nullptr) SecureZero(buffer, static_cast<size_t>(size));
            delete[] buffer;
        }
        uint8_t* buffer;
        long size;
        std::vector<Record> records;
    };

    int fail(int r) {
        receivedOrder = 0;
        return r;
    }

    // Encodes every element once into one buffer of exactly total octets and sorts the
    // records: 1, -2 when memory runs out, or an element's write failure.
    int encodeSorted(Sorted& s, long total) const {
        s.buffer = new (std::nothrow) uint8_t[static_cast<size_t>(total)];
        if (s.buffer == nullptr) return EASN_MEM;
        s.size = total;
        std::memset(s.buffer, 0, static_cast<size_t>(total));
        try {
            s.records.reserve(static_cast<size_t>(this->GetCount()));
        } catch (const std::bad_alloc&) {
            return EASN_MEM;
        }
        long at = 0;
        POSITION pos = this->GetHeadPosition();
        while (pos != nullptr) {
            T* e = this->GetNext(pos);
            MemFile mf(static_cast<void*>(s.buffer + at), static_cast<size_t>(total - at), false, false);
            long partlen = e->write(&mf);
            if (partlen < 0) return static_cast<int>(partlen);
            AssertInvariant(partlen > 0, "lib/libasn/asnsetl", 518, "partlen > 0", nullptr);
            s.records.push_back(Record{e, at, partlen});
            at += partlen;
        }
        AssertInvariant(at == total, "lib/libasn/asnsetl", 528, "totallen == len", nullptr);
        const uint8_t* base = s.buffer;
        // Stable: encodings that compare equal keep their list order.
        std::stable_sort(s.records.begin(), s.records.end(), [base](const Record& a, const Record& b) {
            return asnCompareSetEncodings(base + a.offset, a.length, base + b.offset, b.length) < 0;
        });
        return 1;
    }

    void copyElementsFrom(const ASNsetList& other) {
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
        receivedOrder = other.receivedOrder;
    }
};
