// The codes of the PKCS#15 layer's own vocabulary, shared with the token layer:
// object kinds and attribute types. Both use one layout: the low byte numbers an
// attribute within its family (0 in a kind), byte 1 is the object category,
// byte 2 the key class and the top byte the algorithm or record type. An
// attribute type without its low byte is the kind of the objects that carry it.
#pragma once

#include <cstdint>

// ---- object kinds (attribute type 1) ----
enum ScPkcs15ObjectKind : uint32_t {
    P15_KIND_ANY = 0,  // search only
    P15_KIND_KEY = 0x100,
    P15_KIND_CERTIFICATE = 0x200,  // any certificate type
    P15_KIND_DATA = 0x600,
    P15_KIND_AUTH = 0x700,
    P15_KIND_PRIVATE_KEY = 0x10100,  // any algorithm
    P15_KIND_PUBLIC_KEY = 0x20100,   // any algorithm
    P15_KIND_SECRET_KEY = 0x30100,   // generic secret key
    P15_KIND_RSA_KEY = 0x1000100,    // any class, search only
    P15_KIND_RSA_PRIVATE_KEY = 0x1010100,
    P15_KIND_DSA_PRIVATE_KEY = 0x2010100,
    P15_KIND_DH_PRIVATE_KEY = 0x3010100,
    P15_KIND_EC_PRIVATE_KEY = 0x4010100,
    P15_KIND_KEA_PRIVATE_KEY = 0x5010100,
    P15_KIND_RSA_PUBLIC_KEY = 0x1020100,
    P15_KIND_DSA_PUBLIC_KEY = 0x2020100,
    P15_KIND_EC_PUBLIC_KEY = 0x4020100,
    // The two secret keys a card may create by default: one of its symmetric
    // algorithms, or one it does not name.
    P15_KIND_DEFAULT_SECRET_KEY = 0x5030100,
    P15_KIND_OTHER_SECRET_KEY = 0xF030100,
    P15_KIND_X509_CERTIFICATE = 0x1000200,
    P15_KIND_OPAQUE_DATA = 0x1000600,
    P15_KIND_EXTERNAL_DATA = 0x2000600,
    P15_KIND_OID_DATA = 0x3000600,
    P15_KIND_PIN = 0x1000400,      // a PIN object as the token layer creates it
    P15_KIND_PIN_OBJECT = 0x1000700,  // a PIN object as the directory answers it
};

constexpr uint32_t P15_CATEGORY_KEY = 1;
constexpr uint32_t P15_CATEGORY_CERTIFICATE = 2;
constexpr uint32_t P15_CATEGORY_DATA = 6;
constexpr uint32_t P15_CATEGORY_AUTH = 7;
constexpr uint32_t P15_KEYCLASS_PRIVATE = 1;
constexpr uint32_t P15_KEYCLASS_PUBLIC = 2;
constexpr uint32_t P15_KEYCLASS_SECRET = 3;
constexpr uint32_t P15_ALG_RSA = 1;
constexpr uint32_t P15_ALG_DSA = 2;
constexpr uint32_t P15_ALG_DH = 3;
constexpr uint32_t P15_ALG_EC = 4;
constexpr uint32_t P15_ALG_KEA = 5;

// Parts of a kind or of an attribute type.
constexpr uint32_t P15_CATEGORY_MASK = 0xFF00;
constexpr uint32_t P15_CLASS_MASK = 0xFFFF00;  // category and key class

inline constexpr uint32_t KindCategory(uint32_t kind) { return (kind >> 8) & 0xFF; }
inline constexpr uint32_t KindKeyClass(uint32_t kind) { return (kind >> 16) & 0xFF; }
inline constexpr uint32_t KindAlgorithm(uint32_t kind) { return (kind >> 24) & 0xFF; }
inline constexpr uint32_t MakeKeyKind(uint32_t algorithm, uint32_t keyClass) {
    return (algorithm << 24) | (keyClass << 16) | 0x100;
}
static_assert(MakeKeyKind(P15_ALG_RSA, P15_KEYCLASS_PRIVATE) == P15_KIND_RSA_PRIVATE_KEY, "kind layout");
static_assert(MakeKeyKind(P15_ALG_EC, P15_KEYCLASS_PUBLIC) == P15_KIND_EC_PUBLIC_KEY, "kind layout");

// ---- attribute types ----
namespace p15attr {
// Common object attributes.
constexpr uint64_t kKind = 1;
constexpr uint64_t kLabel = 2;
constexpr uint64_t kObjectFlags = 3;
constexpr uint64_t kAuthId = 4;
constexpr uint64_t kUserConsent = 5;
// Common key attributes.
constexpr uint64_t kKeyId = 0x101;
constexpr uint64_t kKeyUsage = 0x102;
constexpr uint64_t kKeyNative = 0x103;
constexpr uint64_t kKeyAccess = 0x104;
constexpr uint64_t kKeyReference = 0x105;
constexpr uint64_t kStartDate = 0x106;
constexpr uint64_t kEndDate = 0x107;
// Certificates.
constexpr uint64_t kCertId = 0x201;
constexpr uint64_t kCertAuthority = 0x202;
constexpr uint64_t kCertCredentialId = 0x203;
constexpr uint64_t kCertHash = 0x204;
constexpr uint64_t kCertTrustedUsage = 0x205;
constexpr uint64_t kCertTrusted = 0x206;
constexpr uint64_t kCertKeyHash = 0x280;          // SHA-1 of the certified RSA modulus
constexpr uint64_t kCertSubjectKeyId = 0x281;     // no store type: compared as bytes
constexpr uint64_t kCertPublicKey = 0x282;
constexpr uint64_t kCertValue = 0x1000201;
constexpr uint64_t kCertSubject = 0x1000202;
constexpr uint64_t kCertIssuer = 0x1000203;
constexpr uint64_t kCertSerialNumber = 0x1000204;
// Data objects.
constexpr uint64_t kDataValue = 0x601;
constexpr uint64_t kDataApplication = 0x603;
constexpr uint64_t kDataObjectId = 0x604;
// Authentication objects.
constexpr uint64_t kAuthObjectId = 0x701;
constexpr uint64_t kPinFlags = 0x1000701;
constexpr uint64_t kPinType = 0x1000702;
constexpr uint64_t kPinMinLength = 0x1000703;
constexpr uint64_t kPinStoredLength = 0x1000704;
constexpr uint64_t kPinMaxLength = 0x1000705;
constexpr uint64_t kPinReference = 0x1000706;
constexpr uint64_t kPinPadChar = 0x1000707;
constexpr uint64_t kPinPath = 0x1000709;
// Private keys.
constexpr uint64_t kPrivateSubject = 0x10101;
constexpr uint64_t kPrivateKeyIdentifiers = 0x10102;
constexpr uint64_t kPrivateValue = 0x10103;
constexpr uint64_t kPrivateKeyBits = 0x10104;
constexpr uint64_t kPrivateFlags = 0x10105;
constexpr uint64_t kPrivateEcParams = 0x10106;
constexpr uint64_t kPrivateKeyHash = 0x10180;     // SHA-1 of the public key
constexpr uint64_t kPrivatePublicPart = 0x10181;  // as stored with the key identifiers
constexpr uint64_t kPrivatePublicValue = 0x10196;
constexpr uint64_t kRsaPrivateModulusBits = 0x1010101;
constexpr uint64_t kRsaPrivateKeyInfo = 0x1010102;
constexpr uint64_t kRsaPrivateModulus = 0x1010103;
constexpr uint64_t kRsaPrivatePublicExponent = 0x1010104;
constexpr uint64_t kRsaPrivateExponent = 0x1010105;
constexpr uint64_t kRsaPrivatePrime1 = 0x1010106;
constexpr uint64_t kRsaPrivatePrime2 = 0x1010107;
constexpr uint64_t kRsaPrivateExponent1 = 0x1010108;
constexpr uint64_t kRsaPrivateExponent2 = 0x1010109;
constexpr uint64_t kRsaPrivateCoefficient = 0x101010A;
constexpr uint64_t kDsaPrivatePrime = 0x2010101;
constexpr uint64_t kDsaPrivateSubprime = 0x2010102;
constexpr uint64_t kDsaPrivateBase = 0x2010103;
// Public keys.
constexpr uint64_t kPublicSubject = 0x20101;
constexpr uint64_t kPublicKeyAttribute = 0x20102;
constexpr uint64_t kPublicTrusted = 0x20103;
constexpr uint64_t kPublicValue = 0x20104;
constexpr uint64_t kPublicEcParams = 0x20107;
constexpr uint64_t kPublicKeyHash = 0x20180;
constexpr uint64_t kRsaPublicModulusBits = 0x1020101;
constexpr uint64_t kRsaPublicFlags = 0x1020102;
constexpr uint64_t kRsaPublicModulus = 0x1020103;
constexpr uint64_t kRsaPublicExponent = 0x1020104;
constexpr uint64_t kDsaPublicPrime = 0x2020101;
constexpr uint64_t kDsaPublicSubprime = 0x2020102;
constexpr uint64_t kDsaPublicBase = 0x2020103;
// Secret keys.
constexpr uint64_t kSecretValue = 0x30101;
constexpr uint64_t kSecretValueLength = 0x30102;
// Generic codes, for searches without a kind; each list maps them to its own.
constexpr uint64_t kAnyFamily = 0xFF000000;
constexpr uint64_t kAnyId = 0xFF000001;
constexpr uint64_t kAnyValue = 0xFF000002;
constexpr uint64_t kAnyValueLength = 0xFF000003;
constexpr uint64_t kAnyTrustedUsage = 0xFF000004;
constexpr uint64_t kAnyTrusted = 0xFF000005;
constexpr uint64_t kAnySubject = 0xFF000006;
constexpr uint64_t kAnyPrivateFlags = 0xFF000007;
constexpr uint64_t kAnyEcParams = 0xFF000008;
constexpr uint64_t kAnyModulus = 0xFF000015;
constexpr uint64_t kAnyPublicExponent = 0xFF000016;
constexpr uint64_t kAnyPrime = 0xFF000029;
constexpr uint64_t kAnySubprime = 0xFF00002A;
constexpr uint64_t kAnyBase = 0xFF00002B;
constexpr uint64_t kAnyKeyHash = 0xFF000080;
constexpr uint64_t kAnyPublicKey = 0xFF000081;
}  // namespace p15attr
