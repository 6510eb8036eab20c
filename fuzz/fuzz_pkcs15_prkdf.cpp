// The private-key directory from arbitrary bytes (see fuzz_p15_keydir.h).
#include "pkcs15/scpkcs15prvkeylist.h"
#include "fuzz/fuzz_p15_keydir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint64_t kCodes[] = {1,        2,        3,         4,         5,         0x101,     0x102,
                                      0x103,    0x104,    0x105,     0x106,     0x107,     0x10101,   0x10102,
                                      0x10103,  0x10104,  0x10106,   0x10180,   0x10181,   0x10196,   0x1010101,
                                      0x1010102, 0x1010103, 0x1010104, 0x1010105, 0x2010101, 0x2010102, 0x2010103,
                                      0xFF000001, 0xFF000015};
    FuzzKeyDirectory<SCPkcs15PrivateKeyList>(data, size, kCodes, sizeof kCodes / sizeof kCodes[0]);
    return 0;
}
