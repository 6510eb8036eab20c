// The authentication-object directory from arbitrary bytes: it parses or is
// refused cleanly, a refused file leaves no records, and what parses encodes
// and parses again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pkcs15/scpkcs15objectlist.h"
#include "support/memfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SCPkcs15AuthObjectList a(nullptr);
    MemFile in;
    if (size) in.Write(size, data);
    in.Seek(0);
    SCRESULT r = a.Parse(&in, static_cast<uint32_t>(size));
    if (r < 0) {
        if (!a.IsEmpty()) abort();
        return 0;
    }
    // Every decoded PIN record is a handle of the list.
    for (POSITION p = a.Records().GetHeadPosition(); p;)
        if (!a.HoldsHandle(a.HandleOf(a.Records().GetNext(p)))) abort();
    MemFile out;
    if (a.Encode(&out) < 0) return 0;
    std::vector<uint8_t> enc(out.GetData(), out.GetData() + out.Size());
    SCPkcs15AuthObjectList b(nullptr);
    MemFile in2;
    if (!enc.empty()) in2.Write(enc.size(), enc.data());
    in2.Seek(0);
    if (b.Parse(&in2, static_cast<uint32_t>(enc.size())) < 0) return 0;  // a raw record may begin with filler
    MemFile out2;
    if (b.Encode(&out2) < 0) abort();
    if (out2.Size() != static_cast<int64_t>(enc.size())) abort();
    for (size_t i = 0; i < enc.size(); ++i)
        if (out2.GetData()[i] != enc[i]) abort();
    return 0;
}
