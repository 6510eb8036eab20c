// Resumable decoding must not depend on how the input is cut: the whole input at
// once, one octet per call and pieces chosen from the input itself give the same
// result and the same value; and a streamed decode that completes agrees with the
// one-shot decoder on the same octets, refusals included. Covers the types that stream
// in their own way (OCTET STRING, INTEGER, explicit wrapper, SET OF, times) and the
// gathering base (SEQUENCE OF, ANY, BIT STRING, OBJECT IDENTIFIER).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnexpl.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/asnsetl.h"
#include "lib/libasn/x509time.h"
#include "support/memfile.h"

namespace {

struct Outcome {
    long result;
    std::vector<uint8_t> encoding;
};

// What must agree between two decodes: the encoding (for an OCTET STRING also the
// value, which getData gives apart from the segments).
template <class T>
std::vector<uint8_t> Observe(const T& obj) {
    std::vector<uint8_t> e;
    if (obj.encodeToVector(e) != obj.lenOfObject()) abort();
    return e;
}
template <>
std::vector<uint8_t> Observe<ASNoctstr>(const ASNoctstr& obj) {
    std::vector<uint8_t> e;
    if (obj.encodeToVector(e) != obj.lenOfObject()) abort();
    const uint8_t* p = obj.getData();
    if (p != nullptr) e.insert(e.end(), p, p + obj.getLength());
    return e;
}

// Feeds data in pieces whose sizes come from `cuts` (cycled; 0 means 1).
template <class T>
Outcome Stream(const uint8_t* data, size_t size, const uint8_t* cuts, size_t ncuts) {
    T obj;
    Outcome o{EASN_MORE, {}};
    size_t at = 0, k = 0;
    while (at < size) {
        size_t n = ncuts == 0 ? size - at : (cuts[k++ % ncuts] % 16) + 1;
        if (n > size - at) n = size - at;
        MemFile mf(data + at, n, false);
        o.result = obj.readStreamed(&mf);
        if (o.result != EASN_MORE) break;
        if (static_cast<size_t>(mf.Tell()) != n) abort();  // asked for more, left input unread
        at += n;
    }
    if (o.result > 0) {
        if (o.result > static_cast<long>(size)) abort();
        o.encoding = Observe(obj);
    }
    return o;
}

// oneShotIndefinite: whether the one-shot decoder of T takes the indefinite form
// (a SET OF takes it only when streamed).
template <class T>
void Check(const uint8_t* data, size_t size, const uint8_t* cuts, size_t ncuts, bool oneShotIndefinite = true) {
    static const uint8_t one = 0;
    Outcome whole = Stream<T>(data, size, nullptr, 0);
    Outcome octets = Stream<T>(data, size, &one, 1);
    Outcome pieces = Stream<T>(data, size, cuts, ncuts);
    // Where a failure is seen may depend on the cut; whether there is one may not.
    if ((whole.result > 0) != (octets.result > 0) || (whole.result > 0) != (pieces.result > 0)) abort();
    if (whole.result > 0) {
        if (whole.result != octets.result || whole.result != pieces.result) abort();
        if (whole.encoding != octets.encoding || whole.encoding != pieces.encoding) abort();
    } else {
        bool more = whole.result == EASN_MORE;
        if (more != (octets.result == EASN_MORE) || more != (pieces.result == EASN_MORE)) abort();
    }
    if (!oneShotIndefinite && size > 1 && data[1] == 0x80) return;
    // The one-shot decoder gives the same verdict on the same octets: it takes a
    // complete streamed TLV to the same value, and refuses what streaming refuses or
    // still waits for.
    T oneShot;
    MemFile in(data, size, false);
    long r = oneShot.read(&in, static_cast<long>(size));
    if (whole.result > 0) {
        if (r != whole.result) abort();
        if (Observe(oneShot) != whole.encoding) abort();
    } else if (r > 0) {
        abort();
    }
}

typedef ASNexpl<ASNobjectId> ExplOid;
typedef ASNexpl<ASNinteger> ExplInt;
typedef ASNexpl<X509time> ExplTime;
typedef ASNexpl<ASNsequenceList<ASNany>> ExplSeq;
typedef ASNsequenceList<ASNany> SeqOfAny;
typedef ASNsequenceList<ASNinteger> SeqOfInt;
typedef ASNsetList<ASNany> SetOfAny;
typedef ASNsetList<ASNobjectId> SetOfOids;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first octets choose the cuts; the rest is the input.
    size_t ncuts = data[0] % 8;
    if (ncuts + 1 > size) return 0;
    const uint8_t* cuts = data + 1;
    data += 1 + ncuts;
    size -= 1 + ncuts;
    if (size == 0) return 0;
    Check<ASNoctstr>(data, size, cuts, ncuts);
    Check<ASNinteger>(data, size, cuts, ncuts);
    Check<ASNbitstr>(data, size, cuts, ncuts);
    Check<ASNobjectId>(data, size, cuts, ncuts);
    Check<ASNbool>(data, size, cuts, ncuts);
    Check<ASNgenTime>(data, size, cuts, ncuts);
    Check<ASNany>(data, size, cuts, ncuts);
    Check<X509time>(data, size, cuts, ncuts);
    Check<ExplOid>(data, size, cuts, ncuts);
    Check<ExplInt>(data, size, cuts, ncuts);
    Check<ExplTime>(data, size, cuts, ncuts);
    Check<ExplSeq>(data, size, cuts, ncuts);
    Check<SeqOfAny>(data, size, cuts, ncuts);
    Check<SeqOfInt>(data, size, cuts, ncuts);
    Check<SetOfAny>(data, size, cuts, ncuts, false);
    Check<SetOfOids>(data, size, cuts, ncuts, false);
    return 0;
}
