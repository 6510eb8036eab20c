// Decodes arbitrary octets as a point of two binary curves (sect163k1 with its
// cofactor 2, sect233r1): a decoded point is on the curve, re-encodes to the
// uncompressed form and decodes back to itself; a refusal is one of the
// library's exceptions and nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qve2n/qve2n.h"

namespace {

const QvE2n &curve(int which)
{
    static const QvE2n k163("01", "01", "0800000000000000000000000000000000000000c9");
    static const QvE2n r233("01", "66647ede6c332c7f8c0923bb58213b333b20e9ce4281fe115f7d8f90ad",
                            "020000000000000000000000000000000000000004000000000000000001");
    return which ? r233 : k163;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0 || size > 200) return 0;
    const QvE2n &e = curve(data[0] & 1);
    std::unique_ptr<QvGroupElem> p;
    try {
        p.reset(e.createNew(data + 1, static_cast<unsigned int>(size - 1)));
    } catch (const QvException &) {
        return 0;
    }
    const QvE2nPoint *pt = static_cast<const QvE2nPoint *>(p.get());
    if (!pt->isOnCurve()) std::abort();
    std::vector<QvOctet> enc(e.getOctetStringEncodingLen(p.get()));
    if (e.asOctetString(p.get(), enc.data(), static_cast<unsigned int>(enc.size())) != enc.size()) std::abort();
    std::unique_ptr<QvGroupElem> back(e.createNew(enc.data(), static_cast<unsigned int>(enc.size())));
    if (!e.equals(p.get(), back.get())) std::abort();
    // Doubling and adding keep the point on the curve.
    std::unique_ptr<QvGroupElem> s(e.sum(p.get(), back.get()));
    if (!static_cast<const QvE2nPoint *>(s.get())->isOnCurve()) std::abort();
    return 0;
}
