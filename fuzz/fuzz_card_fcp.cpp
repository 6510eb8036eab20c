// File-control parameters and security data objects as a card might answer
// them: the header parsers must refuse malformed bytes without reading past
// them, and every accessor of a parsed header must answer.
#include <cstddef>
#include <cstdint>

#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_fileheader_ias.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SCFileHeader h;
    if (h.Parse(data, size) == SC_OK) {
        size_t n = 0;
        (void)h.GetDfName(&n);
        (void)h.GetFileType();
        (void)h.GetFileSize();
        (void)h.GetLifeCycleState();
        (void)h.HasPinRef(static_cast<uint8_t>(size));
        SCFileHeader parent;
        parent.Parse(data, size / 2);
        for (uint32_t op : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 16u, 17u}) {
            SCAccessRequest r;
            r.operation = op;
            h.GetAccessRefs(&r, &parent);
        }
    }
    SCFileHeader_IAS sdo;
    if (sdo.ParseSdo(data, size) == SC_OK) {
        const uint8_t* v = nullptr;
        size_t n = 0;
        sdo.FindInSdoBody(0x9B, &v, &n);
    }
    return 0;
}
