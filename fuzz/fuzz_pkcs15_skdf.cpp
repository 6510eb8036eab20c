// The secret-key directory from arbitrary bytes (see fuzz_p15_keydir.h).
#include "pkcs15/scpkcs15seckeylist.h"
#include "fuzz/fuzz_p15_keydir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Flags (3) ask the access rules of the application's files: not without one.
    static const uint64_t kCodes[] = {1,     2,     4,     5,       0x101,   0x102,      0x103,     0x104,
                                      0x105, 0x106, 0x107, 0x30101, 0x30102, 0xFF000002, 0xFF000003};
    FuzzKeyDirectory<SCPkcs15SecretKeyList>(data, size, kCodes, sizeof kCodes / sizeof kCodes[0]);
    return 0;
}
