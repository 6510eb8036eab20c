// Decodes arbitrary input as an ANY of any tag, re-encodes it, and checks that the
// encoding decodes back to the same value. The ANY keeps the octets it received, so
// its re-encoding differs from the input only in the minimal outer length octets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "support/memfile.h"

namespace {

// Assigning the decoded ANY to a type and re-encoding must round-trip.
template <typename T>
void AssignAndRoundTrip(const ASNany& any, T obj) {
    if (obj.assign(any) != 1) return;
    std::vector<uint8_t> e;
    if (obj.encodeToVector(e) != obj.lenOfObject()) abort();
    T again = obj;
    if (again.readVector(e) != static_cast<long>(e.size())) abort();
    std::vector<uint8_t> e2;
    again.encodeToVector(e2);
    if (e2 != e) abort();
}

ASNinteger ExplicitInteger() {
    ASNinteger i(0x80);
    i.setExplicitTag();
    return i;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ASNany any(TAG_ANY);
    MemFile in(data, size, false);
    long r = any.read(&in, static_cast<long>(size));
    if (r <= 0) return 0;
    if (r > static_cast<long>(size) || in.Tell() != r) abort();

    std::vector<uint8_t> enc;
    long w = any.encodeToVector(enc);
    if (w != any.lenOfObject() || w <= 0) abort();
    // Without non-minimal outer length octets the input comes back unchanged.
    if (w == r && std::memcmp(enc.data(), data, static_cast<size_t>(r)) != 0) abort();

    ASNany again(TAG_ANY);
    if (again.readVector(enc) != w) abort();
    if (!(again == any)) abort();
    if (again.isIndefinite() != any.isIndefinite()) abort();

    AssignAndRoundTrip(any, ASNinteger());
    AssignAndRoundTrip(any, ASNoctstr());
    AssignAndRoundTrip(any, ASNobjectId());
    AssignAndRoundTrip(any, ASNbitstr());
    AssignAndRoundTrip(any, ExplicitInteger());

    uint8_t digest[64];
    if (any.digest(3, digest, sizeof digest) != 1) abort();
    return 0;
}
