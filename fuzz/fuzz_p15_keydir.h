// The key directories from arbitrary bytes: a file parses or is refused cleanly (a
// refused file leaves no records), every record answers its attributes without a
// card, and what parses encodes and parses again to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pkcs15/objectattr.h"
#include "support/ptrlist.h"
#include "support/memfile.h"

template <class List>
void FuzzKeyDirectory(const uint8_t* data, size_t size, const uint64_t* codes, size_t nCodes) {
    List a(nullptr);
    MemFile in;
    if (size) in.Write(size, data);
    in.Seek(0);
    SCRESULT r = a.Parse(&in, static_cast<uint32_t>(size));
    if (r < 0) {
        if (!a.IsEmpty()) abort();
        return;
    }
    for (POSITION p = a.Records().GetHeadPosition(); p;) {
        void* rec = a.HandleOf(a.Records().GetNext(p));
        if (!a.HoldsHandle(rec)) abort();
        (void)a.GetObjectKind(rec);
        (void)a.IsPrivate(rec);
        for (size_t i = 0; i < nCodes; ++i) {
            SCPkcs15ObjectAttribute attr(codes[i]);
            (void)a.GetAttribute(rec, &attr);
        }
    }
    MemFile out;
    if (a.Encode(&out) < 0) return;
    std::vector<uint8_t> enc(out.GetData(), out.GetData() + out.Size());
    List b(nullptr);
    MemFile in2;
    if (!enc.empty()) in2.Write(enc.size(), enc.data());
    in2.Seek(0);
    if (b.Parse(&in2, static_cast<uint32_t>(enc.size())) < 0) return;  // a raw record may begin with filler
    MemFile out2;
    if (b.Encode(&out2) < 0) abort();
    if (out2.Size() != static_cast<int64_t>(enc.size())) abort();
    for (size_t i = 0; i < enc.size(); ++i)
        if (out2.GetData()[i] != enc[i]) abort();
}
