// The PKCS#15 directory files from arbitrary bytes: EF.DIR, the object directory
// file and TokenInfo parse or refuse cleanly; what parses encodes, and the
// encoding parses again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15odf.h"
#include "pkcs15/scpkcs15tokeninfo.h"
#include "support/memfile.h"

namespace {

template <class Obj>
void RoundTrip(const uint8_t* data, size_t size) {
    Obj a(nullptr);
    MemFile in;
    if (size) in.Write(size, data);
    in.Seek(0);
    SCRESULT r = a.Parse(&in, static_cast<uint32_t>(size));
    if (r < 0 || static_cast<size_t>(r) > size) {
        if (r > 0) abort();
        return;
    }
    MemFile out;
    SCRESULT w = a.Encode(&out);
    if (w < 0) return;
    std::vector<uint8_t> enc(out.GetData(), out.GetData() + out.Size());
    Obj b(nullptr);
    MemFile in2;
    if (!enc.empty()) in2.Write(enc.size(), enc.data());
    in2.Seek(0);
    SCRESULT r2 = b.Parse(&in2, static_cast<uint32_t>(enc.size()));
    if (r2 < 0) return;  // a kept raw element may begin with filler bytes
    MemFile out2;
    if (b.Encode(&out2) < 0) abort();
    if (r2 > 0 && (out2.Size() != static_cast<int64_t>(enc.size()) ||
                   (!enc.empty() && memcmp(out2.GetData(), enc.data(), enc.size()) != 0)))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    RoundTrip<SCPkcs15ODF>(data, size);
    RoundTrip<SCPkcs15CardDir>(data, size);
    RoundTrip<SCPkcs15TokenInfo>(data, size);
    return 0;
}
