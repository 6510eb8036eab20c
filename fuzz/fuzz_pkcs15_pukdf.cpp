// The public-key directory from arbitrary bytes (see fuzz_p15_keydir.h).
#include "pkcs15/scpkcs15pubkeylist.h"
#include "fuzz/fuzz_p15_keydir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Flags (3) ask the access rules of the application's files: not without one.
    static const uint64_t kCodes[] = {1,       2,       4,         5,         0x101,     0x102,     0x103,
                                      0x104,   0x105,   0x106,     0x107,     0x20101,   0x20102,   0x20103,
                                      0x20104, 0x20180, 0x1020101, 0x1020102, 0x1020103, 0x1020104, 0xFF000081};
    FuzzKeyDirectory<SCPkcs15PublicKeyList>(data, size, kCodes, sizeof kCodes / sizeof kCodes[0]);
    return 0;
}
