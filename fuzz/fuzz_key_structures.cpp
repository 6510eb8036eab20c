// Decodes arbitrary input as an explicit EC domain, the EC Parameters CHOICE, an EC
// public point or one of the private-key structures (EC, DSA, RSA); the first octet
// picks the type. What decodes must re-encode to the length lenOfObject predicts and
// decode again to the same octets; explicit domains that decode have built their key
// domain, which their copies, equality and the curve catalogue must handle.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "keys/dsaprkey.h"
#include "keys/ecdomain.h"
#include "keys/ecnamedcurves.h"
#include "keys/ecprvkey.h"
#include "keys/ecpubkey.h"
#include "keys/rsaprkey.h"

namespace {

std::unique_ptr<ASNobject> make(uint8_t kind) {
    switch (kind % 6) {
        case 0: return std::make_unique<ECSpecifiedDomain>(0x30);
        case 1: return std::make_unique<ECDomainParameters>(0x30);
        case 2: return std::make_unique<ECPrivateKey>(0x30);
        case 3: return std::make_unique<DSAPrivateKey>(0x30);
        case 4: return std::make_unique<RSAPrivateKey>(0x30);
        default: return std::make_unique<ECPublicKey>(0);
    }
}

void exerciseDomain(const ECSpecifiedDomain& d) {
    if (d.getKeyDomain() == nullptr) abort();  // a decoded domain has built its curve
    (void)d.getFieldSizeBits();
    ECSpecifiedDomain copy(d);
    if (copy.getKeyDomain() == nullptr || !(copy == d) || !copy.equalsKeyDomain(d.getKeyDomain())) abort();
    (void)EcNamedCurveTable::findNextMatching(d, 0);
}

void exercise(uint8_t kind, ASNobject& obj) {
    switch (kind % 6) {
        case 0: exerciseDomain(static_cast<ECSpecifiedDomain&>(obj)); break;
        case 1: {
            auto& p = static_cast<ECDomainParameters&>(obj);
            if (p.getType() == ECDomainParameters::kSpecified) exerciseDomain(p.specified);
            (void)p.getFieldSizeBits();
            ECDomainParameters copy(0x30);
            copy = p;
            (void)(copy == p);
            break;
        }
        case 2: {
            auto& k = static_cast<ECPrivateKey&>(obj);
            (void)k.getKeySizeBits();
            ECPublicKey pub(0);
            (void)k.computePublicKey(pub, nullptr);
            ECPrivateKey copy(k);
            if (!(copy == k)) abort();
            break;
        }
        case 3: {
            auto& k = static_cast<DSAPrivateKey&>(obj);
            (void)k.getPresentParts();
            (void)k.getKeySizeBits();
            (void)k.getPrivateValueLength();
            break;
        }
        case 4: {
            auto& k = static_cast<RSAPrivateKey&>(obj);
            (void)k.getKeyForm();
            (void)k.getModulusOctets();
            RSAPrivateKey copy(k);
            (void)copy.completeCrt();
            break;
        }
        default: {
            auto& k = static_cast<ECPublicKey&>(obj);
            (void)k.getKeySizeBits();
            ASNoctstr point(0);
            (void)k.getPoint(point);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t kind = data[0];
    std::unique_ptr<ASNobject> obj = make(kind);
    long r = obj->readBuffer(data + 1, static_cast<long>(size - 1));
    if (r <= 0) return 0;
    exercise(kind, *obj);
    std::vector<uint8_t> out;
    long n = obj->encodeToVector(out);
    if (n != obj->lenOfObject()) abort();
    std::unique_ptr<ASNobject> again = make(kind);
    if (again->readVector(out) != n) abort();
    std::vector<uint8_t> twice;
    if (again->encodeToVector(twice) != n || twice != out) abort();
    return 0;
}
