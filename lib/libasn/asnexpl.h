// [n] EXPLICIT T as an object of its own: an outer context-specific constructed TLV
// whose contents are the complete encoding of one inner value of type T. Unlike the
// explicit-tag flag of ASNobject, the inner value keeps its own identity (its own
// tag, CHOICE or SEQUENCE behaviour) inside the wrapper.
#pragma once

#include <new>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbase.h"
#include "support/memfile.h"
#include "support/vtest.h"

// Stream context of a wrapper: whether the inner TLV has been decoded.
class ASNexplStreamCtx : public ASNStreamCtx {
public:
    ASNexplStreamCtx() : innerDone(false) {}
    void reset() override {
        ASNStreamCtx::reset();
        innerDone = false;
    }
    bool innerDone;
};

template <class T>
class ASNexpl : public ASNobject {
public:
    // The wrapper tag (0xA0 for [0] ... ); an explicit tag is always constructed, so
    // the constructed bit is added, and 0 means [0].
    explicit ASNexpl(uint32_t wrapperTag = 0xA0)
        : ASNobject(wrapperTag == 0 ? 0xA0u : ((wrapperTag & 0xFFu) | ASN_CONSTRUCTED)), value(static_cast<uint32_t>(0)) {
        flags |= ASN_FLAG_CLASSTAG | ASN_FLAG_CONSTR;
    }
    ASNexpl(const ASNexpl& other) : ASNobject(other), value(other.value) {
        flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    }
    ASNexpl& operator=(const ASNexpl& other) {
        if (this != &other) {
            assertNotConst("lib/libasn/asnexpl", 86, "!( flags & ASN_FLAG_CONST )");
            value = other.value;
            tag = other.tag;
            flags = (flags & ~ASN_FLAG_INDEF) | (other.flags & ASN_FLAG_INDEF);
        }
        return *this;
    }
    ~ASNexpl() override = default;

    // The ANY holds the whole [n] TLV; its value is the inner TLV, which must fill it.
    int assign(const ASNany& anyObj) override {
        AssertInvariant((flags & ASN_FLAG_CONST) == 0, "lib/libasn/asnexpl", 112,
                        "!( flags & ASN_FLAG_CONST )", nullptr);
        uint8_t at = anyObj.tag;
        if (at == TAG_ANY || (at & ASN_CLASS_MASK) == 0 || (at & ASN_CONSTRUCTED) == 0) return 0;
        long n = anyObj.getLength();
        const uint8_t* d = anyObj.getData();
        if (n < 2 || d == nullptr) return 0;
        MemFile mf(static_cast<const void*>(d), static_cast<size_t>(n), false);
        int64_t sz = mf.Size();
        long r = value.read(&mf, sz < 0 ? -1 : static_cast<long>(sz), 0);
        if (r < 1) return static_cast<int>(r);
        // Octets left over inside the wrapper make the input malformed.
        if (r != n) return 0;
        tag = at;
        flags = (flags & ~ASN_FLAG_INDEF) | (anyObj.flags & ASN_FLAG_INDEF);
        return 1;
    }

    int read_contents(GenericFile* src, long len) override {
        // An explicit tag is constructed; a primitive [n] is an implicit tag.
        if ((tag & ASN_CONSTRUCTED) == 0) return 0;
        if (len < 2) return 0;
        long r = value.read(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST));
        if (r < 1) return static_cast<int>(r);
        return r == len ? 1 : 0;
    }

    int write_contents(GenericFile* dst) const override {
        long r = value.write(dst);
        return r < 1 ? static_cast<int>(r) : 1;
    }

    long lenOfBody() const override { return value.lenOfObject(); }

    // Returns the octets consumed, the closing end-of-contents octets included.
    long read_indefinite_contents(GenericFile* src, long maxLen) override {
        long r = value.read(src, maxLen, 0);
        if (r < 1) return r;
        if (maxLen > 0 && maxLen < r + 2) return 0;
        int e = isEndOfContents(src);
        if (e != 1) return 0;
        uint8_t eoc[2];
        if (asnReadExact(src, eoc, 2) != 1) return 0;
        return r + 2;
    }

    uint8_t defaultTag() const override { return TAG_ANY; }

    void digest_contents(QvHash* hash) const override { value.digestObject(hash); }

    int createStreamCtx() override {
        if (streamCtx != nullptr) return 1;
        streamCtx = new (std::nothrow) ASNexplStreamCtx();
        return streamCtx != nullptr ? 1 : EASN_MEM;
    }

    // Restarting the wrapper restarts the inner value as well.
    void resetStreamCtx() override {
        ASNobject::resetStreamCtx();
        value.resetStreamCtx();
    }

    int read_contents_streamed(GenericFile* src, long len, GenericFile* out) override {
        AssertInvariant(streamCtx != nullptr, "lib/libasn/asnexpl", 203, "streamCtx != NULL", nullptr);
        ASNexplStreamCtx* c = dynamic_cast<ASNexplStreamCtx*>(streamCtx);
        AssertInvariant(c != nullptr, "lib/libasn/asnexpl", 203, "streamCtx != NULL", nullptr);
        if (c->innerDone) return 0;
        if ((tag & ASN_CONSTRUCTED) == 0) return 0;
        long r = value.readStreamed(src, out);
        if (r < 1) return static_cast<int>(r);
        c->innerDone = true;
        c->contentsLen = r;
        return (len == -1 || len == r) ? 1 : 0;
    }

    int write_contents_streamed(GenericFile* src, long len, bool final, GenericFile* dst) override {
        AssertInvariant(streamCtx != nullptr, "lib/libasn/asnexpl", 221, "streamCtx != NULL", nullptr);
        long r = value.writeStreamed(src, len, final, dst);
        if (r < 1) return static_cast<int>(r);
        streamCtx->written += r;
        streamCtx->contentsDone = true;
        return 1;
    }

    // The wrapper's contents while streaming are the inner TLV of the streamed length.
    long lenOfBodyStreamed(long len) const override {
        return len < 0 ? lenOfBody() : value.lenOfInnerObject(len);
    }

    // The inner value's TLV length without any explicit wrapper of its own.
    virtual long lenOfExplicitValue() const { return value.lenOfInnerObject(value.lenOfBody()); }

    T value;
};
