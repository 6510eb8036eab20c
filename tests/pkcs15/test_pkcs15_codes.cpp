// The named kind and attribute codes: each name keeps the number that cards,
// templates and the token layer already use, and each attribute name the store
// type the attribute table gives that number.
#include <gtest/gtest.h>

#include <cstdint>

#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15codes.h"

using Attr = SCPkcs15ObjectAttribute;
namespace a = p15attr;

namespace {

struct AttrRow {
    uint64_t named;
    uint64_t number;
    uint32_t store;
};

const AttrRow kAttrRows[] = {
    {a::kKind, 0x1, Attr::integer},
    {a::kLabel, 0x2, Attr::string},
    {a::kObjectFlags, 0x3, Attr::flags},
    {a::kAuthId, 0x4, Attr::binary},
    {a::kUserConsent, 0x5, Attr::integer},
    {a::kKeyId, 0x101, Attr::binary},
    {a::kKeyUsage, 0x102, Attr::flags},
    {a::kKeyNative, 0x103, Attr::boolean},
    {a::kKeyAccess, 0x104, Attr::flags},
    {a::kKeyReference, 0x105, Attr::integer},
    {a::kStartDate, 0x106, Attr::date},
    {a::kEndDate, 0x107, Attr::date},
    {a::kCertId, 0x201, Attr::binary},
    {a::kCertAuthority, 0x202, Attr::boolean},
    {a::kCertCredentialId, 0x203, Attr::asnder},
    {a::kCertHash, 0x204, Attr::binary},
    {a::kCertTrustedUsage, 0x205, Attr::asnder},
    {a::kCertTrusted, 0x206, Attr::boolean},
    {a::kCertKeyHash, 0x280, Attr::binary},
    {a::kCertSubjectKeyId, 0x281, Attr::none},
    {a::kCertPublicKey, 0x282, Attr::asnder},
    {a::kCertValue, 0x1000201, Attr::asnder},
    {a::kCertSubject, 0x1000202, Attr::asnder},
    {a::kCertIssuer, 0x1000203, Attr::asnder},
    {a::kCertSerialNumber, 0x1000204, Attr::asnder},
    {a::kDataValue, 0x601, Attr::binary},
    {a::kDataApplication, 0x603, Attr::string},
    {a::kDataObjectId, 0x604, Attr::asnder},
    {a::kAuthObjectId, 0x701, Attr::binary},
    {a::kPinFlags, 0x1000701, Attr::flags},
    {a::kPinType, 0x1000702, Attr::integer},
    {a::kPinMinLength, 0x1000703, Attr::integer},
    {a::kPinStoredLength, 0x1000704, Attr::integer},
    {a::kPinMaxLength, 0x1000705, Attr::integer},
    {a::kPinReference, 0x1000706, Attr::integer},
    {a::kPinPadChar, 0x1000707, Attr::binary},
    {a::kPinPath, 0x1000709, Attr::binary},
    {a::kPrivateSubject, 0x10101, Attr::asnder},
    {a::kPrivateKeyIdentifiers, 0x10102, Attr::asnder},
    {a::kPrivateValue, 0x10103, Attr::asnder},
    {a::kPrivateKeyBits, 0x10104, Attr::integer},
    {a::kPrivateFlags, 0x10105, Attr::flags},
    {a::kPrivateEcParams, 0x10106, Attr::asnder},
    {a::kPrivateKeyHash, 0x10180, Attr::binary},
    {a::kPrivatePublicPart, 0x10181, Attr::asnder},
    {a::kPrivatePublicValue, 0x10196, Attr::asnder},
    {a::kRsaPrivateModulusBits, 0x1010101, Attr::integer},
    {a::kRsaPrivateKeyInfo, 0x1010102, Attr::asnder},
    {a::kRsaPrivateModulus, 0x1010103, Attr::bigint},
    {a::kRsaPrivatePublicExponent, 0x1010104, Attr::bigint},
    {a::kRsaPrivateExponent, 0x1010105, Attr::bigint},
    {a::kRsaPrivatePrime1, 0x1010106, Attr::bigint},
    {a::kRsaPrivatePrime2, 0x1010107, Attr::bigint},
    {a::kRsaPrivateExponent1, 0x1010108, Attr::bigint},
    {a::kRsaPrivateExponent2, 0x1010109, Attr::bigint},
    {a::kRsaPrivateCoefficient, 0x101010A, Attr::bigint},
    {a::kDsaPrivatePrime, 0x2010101, Attr::bigint},
    {a::kDsaPrivateSubprime, 0x2010102, Attr::bigint},
    {a::kDsaPrivateBase, 0x2010103, Attr::bigint},
    {a::kPublicSubject, 0x20101, Attr::asnder},
    {a::kPublicKeyAttribute, 0x20102, Attr::asnder},
    {a::kPublicTrusted, 0x20103, Attr::boolean},
    {a::kPublicValue, 0x20104, Attr::asnder},
    {a::kPublicEcParams, 0x20107, Attr::asnder},
    {a::kPublicKeyHash, 0x20180, Attr::binary},
    {a::kRsaPublicModulusBits, 0x1020101, Attr::integer},
    {a::kRsaPublicFlags, 0x1020102, Attr::flags},
    {a::kRsaPublicModulus, 0x1020103, Attr::bigint},
    {a::kRsaPublicExponent, 0x1020104, Attr::bigint},
    {a::kDsaPublicPrime, 0x2020101, Attr::bigint},
    {a::kDsaPublicSubprime, 0x2020102, Attr::bigint},
    {a::kDsaPublicBase, 0x2020103, Attr::bigint},
    {a::kSecretValue, 0x30101, Attr::binary},
    {a::kSecretValueLength, 0x30102, Attr::integer},
    {a::kAnyId, 0xFF000001, Attr::binary},
    {a::kAnyValue, 0xFF000002, Attr::binary},
    {a::kAnyValueLength, 0xFF000003, Attr::integer},
    {a::kAnyTrustedUsage, 0xFF000004, Attr::asnder},
    {a::kAnyTrusted, 0xFF000005, Attr::boolean},
    {a::kAnySubject, 0xFF000006, Attr::asnder},
    {a::kAnyPrivateFlags, 0xFF000007, Attr::flags},
    {a::kAnyEcParams, 0xFF000008, Attr::asnder},
    {a::kAnyModulus, 0xFF000015, Attr::bigint},
    {a::kAnyPublicExponent, 0xFF000016, Attr::bigint},
    {a::kAnyPrime, 0xFF000029, Attr::bigint},
    {a::kAnySubprime, 0xFF00002A, Attr::bigint},
    {a::kAnyBase, 0xFF00002B, Attr::bigint},
    {a::kAnyKeyHash, 0xFF000080, Attr::binary},
    {a::kAnyPublicKey, 0xFF000081, Attr::asnder},
};

}  // namespace

TEST(Pkcs15Codes, AttributeNamesKeepTheirNumbersAndStoreTypes) {
    for (const AttrRow& r : kAttrRows) {
        SCOPED_TRACE(::testing::Message() << std::hex << r.number);
        EXPECT_EQ(r.number, r.named);
        EXPECT_EQ(r.store, Attr::GetStoreTypeForAttribute(r.named));
    }
}

TEST(Pkcs15Codes, KindNamesKeepTheirNumbersAndFamilies) {
    const struct {
        uint32_t named, number, family;
    } rows[] = {
        {P15_KIND_CERTIFICATE, 0x200, 0x200},           {P15_KIND_X509_CERTIFICATE, 0x1000200, 0x200},
        {P15_KIND_DATA, 0x600, 0x600},                  {P15_KIND_OID_DATA, 0x3000600, 0x600},
        {P15_KIND_AUTH, 0x700, 0x700},                  {P15_KIND_PIN_OBJECT, 0x1000700, 0x700},
        {P15_KIND_PRIVATE_KEY, 0x10100, 0x10100},       {P15_KIND_RSA_PRIVATE_KEY, 0x1010100, 0x10100},
        {P15_KIND_DSA_PRIVATE_KEY, 0x2010100, 0x10100}, {P15_KIND_DH_PRIVATE_KEY, 0x3010100, 0x10100},
        {P15_KIND_EC_PRIVATE_KEY, 0x4010100, 0x10100},  {P15_KIND_KEA_PRIVATE_KEY, 0x5010100, 0x10100},
        {P15_KIND_PUBLIC_KEY, 0x20100, 0x20100},        {P15_KIND_RSA_PUBLIC_KEY, 0x1020100, 0x20100},
        {P15_KIND_DSA_PUBLIC_KEY, 0x2020100, 0x20100},  {P15_KIND_EC_PUBLIC_KEY, 0x4020100, 0x20100},
        {P15_KIND_SECRET_KEY, 0x30100, 0x30100},        {P15_KIND_OTHER_SECRET_KEY, 0xF030100, 0x30100},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << r.number);
        EXPECT_EQ(r.number, r.named);
        EXPECT_EQ(r.family, r.named & P15_CLASS_MASK);
        // A template of the family finds the kind.
        EXPECT_TRUE(Attr::KindMatches(r.family, r.named));
    }
    // An RSA key of any class: both RSA keys, no other algorithm.
    EXPECT_TRUE(Attr::KindMatches(P15_KIND_RSA_KEY, P15_KIND_RSA_PRIVATE_KEY));
    EXPECT_TRUE(Attr::KindMatches(P15_KIND_RSA_KEY, P15_KIND_RSA_PUBLIC_KEY));
    EXPECT_FALSE(Attr::KindMatches(P15_KIND_RSA_KEY, P15_KIND_DSA_PRIVATE_KEY));
}
