// Base64 decoding routines and the Base64 stream view on arbitrary text; encoding
// arbitrary bytes must decode back to them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/b64file.h"
#include "support/memfile.h"
#include "support/zerofile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const char* text = reinterpret_cast<const char*>(data);
    size_t chunk = size ? (data[0] % 17) + 1 : 1;

    std::vector<uint8_t> out(size / 4 * 3 + 3);
    Base64DecodeText(text, static_cast<int>(size), out.data());
    {
        MemFile sink;
        Base64DecodeToFile(text, size, &sink, size ? data[0] : 0);
    }
    {
        MemFile src(data, size, false);
        MemFile sink;
        size_t consumed = 0;
        Base64DecodeStream(&src, &sink, 0, 0, &consumed);
        if (consumed > size)
            abort();
    }
    {
        MemFile src(data, size, false);
        Base64File view(&src, 64, size > 1 ? data[1] : 0);
        int64_t total = view.Size();
        std::vector<uint8_t> buf(chunk);
        size_t got = 0;
        int64_t read = 0;
        while (view.Read(chunk, buf.data(), &got) == 0 && got > 0) {
            if (got > chunk)
                abort();
            read += static_cast<int64_t>(got);
        }
        if (total >= 0 && read > total)
            abort();
        view.Seek(static_cast<long>(read / 2));
    }

    // Round trip: what we encode, in any chunking, decodes to the input.
    MemFile enc;
    {
        Base64File w(&enc, size ? (data[0] % 3) * 32 : 64, 0);
        for (size_t i = 0; i < size; i += chunk)
            w.Write(size - i < chunk ? size - i : chunk, data + i);
    }
    MemFile dec;
    long n = Base64DecodeToFile(reinterpret_cast<const char*>(enc.GetData()), static_cast<size_t>(enc.Size()), &dec,
                                0);
    if (n != static_cast<long>(size) || (size && memcmp(dec.GetData(), data, size) != 0))
        abort();
    return 0;
}
