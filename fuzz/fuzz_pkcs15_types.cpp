// Decodes arbitrary input as each PKCS#15 record type (the first octet picks the
// type); what decodes must re-encode to a length lenOfObject predicts, and the
// re-encoding must decode again to the same octets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15commonkeyattributes.h"
#include "lib/libpkcs15/asnpkcs15commonobjectattributes.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "lib/libpkcs15/asnpkcs15keyidentifier.h"
#include "lib/libpkcs15/asnpkcs15path.h"
#include "lib/libpkcs15/asnpkcs15pinattributes.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"
#include "lib/libpkcs15/asnpkcs15recordinfo.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "lib/libpkcs15/asnpkcs15usage.h"

namespace {

std::unique_ptr<ASNobject> make(uint8_t kind) {
    switch (kind % 22) {
        case 0: return std::make_unique<ASNPkcs15Path>(0x30);
        case 1: return std::make_unique<ASNPkcs15CommonObjectAttributes>(0x30);
        case 2: return std::make_unique<ASNPkcs15PinAttributes>(0x30);
        case 3: return std::make_unique<ASNPkcs15DIRRecord>(0x61);
        case 4: return std::make_unique<ASNPkcs15DIRRecord_Pomerantix>();
        case 5: return std::make_unique<ASNSigGDirRecord>();
        case 6: return std::make_unique<ASNPkcs15DDO>(0x73);
        case 7: return std::make_unique<ASNPkcs15CommonKeyAttributes>(0x30);
        case 8: return std::make_unique<ASNPkcs15CommonPrivateKeyAttributes>(0x30);
        case 9: return std::make_unique<ASNPkcs15CommonPublicKeyAttributes>(0x30);
        case 10: return std::make_unique<ASNPkcs15KeyIdentifiers>(0x30);
        case 11: return std::make_unique<ASNPkcs15Usage>(0x30);
        case 12: return std::make_unique<ASNPkcs15CommonCertificateAttributes>(0x30);
        case 13: return std::make_unique<ASNPkcs15AlgorithmInfo>(0x30);
        case 14: return std::make_unique<ASNPkcs15TokenInfo>(0x30);
        case 15: return std::make_unique<ASNPkcs15RecordInfo>(0x30);
        case 16: return std::make_unique<ASNPkcs15AuthObject>(0x30);
        case 17: return std::make_unique<ASNPkcs15PrivateKeyType>(0x30);
        case 18: return std::make_unique<ASNPkcs15PublicRSAKeyObject>(0x30);
        case 19: return std::make_unique<ASNPkcs15SecretKeyType>(0x30);
        case 20: return std::make_unique<ASNPkcs15X509CertificateObject>(0x30);
        default: return std::make_unique<ASNPkcs15DataObject>(0x30);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t kind = data[0];
    std::unique_ptr<ASNobject> obj = make(kind);
    long r = obj->readBuffer(data + 1, static_cast<long>(size - 1));
    if (r < 1) return 0;
    if (kind % 22 == 4) {
        // The vendor layout is only read; it is kept as a standard record.
        std::unique_ptr<ASNPkcs15DIRRecord> standard = std::make_unique<ASNPkcs15DIRRecord>(0x61);
        *standard = *static_cast<ASNPkcs15DIRRecord*>(obj.get());
        obj = std::move(standard);
        kind = 3;
    }
    std::vector<uint8_t> first;
    long w = obj->encodeToVector(first);
    if (w < 1) return 0;  // a value the type keeps but cannot write (unsupported member)
    if (static_cast<long>(first.size()) != obj->lenOfObject()) abort();
    std::unique_ptr<ASNobject> again = make(kind);
    if (again->readVector(first) != static_cast<long>(first.size())) abort();
    std::vector<uint8_t> second;
    if (again->encodeToVector(second) < 1 || second != first) abort();
    return 0;
}
