// Resumable decoding and streamed encoding of one TLV.
#include <new>

#include "lib/libasn/asnbase.h"
#include "support/memfile.h"

namespace {

// One octet if the source has one: 1, -3 when it has none now, -1 on an error.
int nextOctet(GenericFile* src, uint8_t* b) {
    size_t got = 0;
    if (src->Read(1, b, &got) != 0) return EASN_FILE;
    return got == 1 ? 1 : EASN_MORE;
}

}  // namespace

int ASNobject::readStreamedHeader(GenericFile* src) {
    ASNStreamCtx* c = streamCtx;
    uint8_t b;
    if (c->headerState == 0) {
        int r = nextOctet(src, &b);
        if (r != 1) return r;
        if (acceptIdentifier(b) != 1) return 0;
        flags &= ~ASN_FLAG_INDEF;
        c->headerLen = 1;
        c->headerState = 1;
    }
    if (c->headerState == 1) {
        int r = nextOctet(src, &b);
        if (r != 1) return r;
        c->headerLen++;
        if (b < 0x80) {
            c->lenValue = b;
            c->headerDone = true;
            return 1;
        }
        if (b == 0x80) {
            if (tag == TAG_ANY || (tag & ASN_CONSTRUCTED) == 0) return 0;
            c->lenValue = -1;
            flags |= ASN_FLAG_INDEF;
            c->headerDone = true;
            return 1;
        }
        c->lenOctets = b & 0x7F;
        if (c->lenOctets > 4) return 0;
        c->lenValue = 0;
        c->headerState = 2;
    }
    while (c->headerState - 2 < c->lenOctets) {
        int r = nextOctet(src, &b);
        if (r != 1) return r;
        c->lenValue = (c->lenValue << 8) | b;
        c->headerLen++;
        c->headerState++;
    }
    // Refused before any contents arrive: a declared length is never trusted.
    if (c->lenValue > ASN_MAX_STREAMED_LENGTH) return 0;
    c->headerDone = true;
    return 1;
}

long ASNobject::readStreamed(GenericFile* src, GenericFile* out) {
    ASNDepthGuard guard;
    if (!guard.ok()) return 0;
    if (src == nullptr) return EASN_FILE;
    if (streamCtx == nullptr) {
        int r = createStreamCtx();
        if (r < 1) return r;
    }
    ASNStreamCtx* c = streamCtx;
    if (c->complete) return 0;
    if (c->headerState == 0 && !c->headerDone) {
        // A new decode: a value left in constant mode by an earlier read is gone.
        dropSource();
        flags &= ~(ASN_FLAG_CONST | ASN_FLAG_COPY);
    }
    if (!c->headerDone) {
        int r = readStreamedHeader(src);
        if (r != 1) return r;
    }
    if (!c->contentsDone) {
        int r = read_contents_streamed(src, c->lenValue, out);
        if (r < 1) return r;
        c->contentsDone = true;
        if (c->lenValue >= 0) c->contentsLen = c->lenValue;
    }
    if (c->lenValue >= 0) {
        c->complete = true;
        m_rxHeader = c->headerLen;
        m_rxLength = c->headerLen + c->contentsLen;
        return m_rxLength;
    }
    while (c->eocCount < 2) {
        uint8_t b;
        int r = nextOctet(src, &b);
        if (r != 1) return r;
        if (b != 0) return 0;
        c->eocCount++;
    }
    c->eocDone = true;
    c->complete = true;
    m_rxHeader = c->headerLen;
    m_rxLength = c->headerLen + c->contentsLen + 2;
    return m_rxLength;
}

long ASNobject::readStreamedBuffer(const void* data, long len, GenericFile* out) {
    if (data == nullptr && len > 0) return 0;
    MemFile mf(data, len > 0 ? static_cast<size_t>(len) : 0, false);
    return readStreamed(&mf, out);
}

long ASNobject::writeStreamed(GenericFile* src, long len, bool final, GenericFile* dst) {
    if (dst == nullptr) return EASN_FILE;
    if (streamCtx == nullptr) {
        int r = createStreamCtx();
        if (r < 1) return r;
    }
    ASNStreamCtx* c = streamCtx;
    if (!c->headerWritten) {
        if (len < 0)
            flags |= ASN_FLAG_INDEF;
        else
            flags &= ~ASN_FLAG_INDEF;
        long body = lenOfBodyStreamed(len);
        long h = writeHeader(dst, body < 0 ? 0 : body);
        if (h < 0) return h;
        c->headerLen = h;
        c->written = 0;
        c->headerWritten = true;
    }
    int r = write_contents_streamed(src, len, final, dst);
    if (r < 1) return r;
    long total = c->headerLen + (len >= 0 ? lenOfBodyStreamed(len) : c->written);
    if (len < 0 || (flags & ASN_FLAG_INDEF) != 0) {
        if (writeEndOfContents(dst) < 0) return EASN_FILE;
        total += 2;
    }
    c->headerWritten = false;
    return total;
}
