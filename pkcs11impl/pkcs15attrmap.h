// The vocabulary between PKCS#11 templates and the typed attributes of PKCS#15
// objects: object kind codes, PKCS#15 attribute types, the booleans that live
// as bits of a PKCS#15 flags attribute, the attribute mapping per kind, and the
// conversions in both directions (templates into attribute lists for creation,
// change, search and key-pair generation; filled lists back into templates).
#ifndef MIRTAL_PKCS11IMPL_PKCS15ATTRMAP_H
#define MIRTAL_PKCS11IMPL_PKCS15ATTRMAP_H

#include <cstdint>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"

class SCPkcs15ObjectAttribute;
class SCPkcs15ObjectAttributeList;

// ---- object kind codes: byte 1 category, byte 2 key class, byte 3 algorithm ----
constexpr uint32_t P15_KIND_ANY = 0;                // search only
constexpr uint32_t P15_KIND_DATA = 0x600;
constexpr uint32_t P15_KIND_CERTIFICATE = 0x200;    // any certificate type
constexpr uint32_t P15_KIND_X509_CERTIFICATE = 0x1000200;
constexpr uint32_t P15_KIND_PRIVATE_KEY = 0x10100;  // any algorithm
constexpr uint32_t P15_KIND_PUBLIC_KEY = 0x20100;   // any algorithm
constexpr uint32_t P15_KIND_SECRET_KEY = 0x30100;   // generic secret key
constexpr uint32_t P15_KIND_PIN = 0x1000400;

constexpr uint32_t P15_CATEGORY_KEY = 1;
constexpr uint32_t P15_CATEGORY_CERTIFICATE = 2;
constexpr uint32_t P15_CATEGORY_DATA = 6;
constexpr uint32_t P15_KEYCLASS_PRIVATE = 1;
constexpr uint32_t P15_KEYCLASS_PUBLIC = 2;
constexpr uint32_t P15_KEYCLASS_SECRET = 3;
constexpr uint32_t P15_ALG_RSA = 1;
constexpr uint32_t P15_ALG_DSA = 2;
constexpr uint32_t P15_ALG_DH = 3;
constexpr uint32_t P15_ALG_EC = 4;
constexpr uint32_t P15_ALG_KEA = 5;

inline uint32_t KindCategory(uint32_t kind) { return (kind >> 8) & 0xFF; }
inline uint32_t KindKeyClass(uint32_t kind) { return (kind >> 16) & 0xFF; }
inline uint32_t KindAlgorithm(uint32_t kind) { return (kind >> 24) & 0xFF; }
inline uint32_t MakeKeyKind(uint32_t algorithm, uint32_t keyClass) {
  return (algorithm << 24) | (keyClass << 16) | 0x100;
}

// ---- PKCS#15 attribute types used by the token ----
namespace p15attr {
constexpr uint64_t kKind = 1;
constexpr uint64_t kLabel = 2;
constexpr uint64_t kObjectFlags = 3;
constexpr uint64_t kUserConsent = 5;
constexpr uint64_t kKeyId = 0x101;
constexpr uint64_t kKeyUsage = 0x102;
constexpr uint64_t kKeyAccess = 0x104;
constexpr uint64_t kStartDate = 0x106;
constexpr uint64_t kEndDate = 0x107;
constexpr uint64_t kPrivateSubject = 0x10101;
constexpr uint64_t kPrivateValue = 0x10103;
constexpr uint64_t kPrivateEcParams = 0x10106;
constexpr uint64_t kRsaPrivateModulusBits = 0x1010101;
constexpr uint64_t kRsaPrivateModulus = 0x1010103;
constexpr uint64_t kRsaPrivatePublicExponent = 0x1010104;
constexpr uint64_t kRsaPrivateExponent = 0x1010105;
constexpr uint64_t kDsaPrivatePrime = 0x2010101;
constexpr uint64_t kDsaPrivateSubprime = 0x2010102;
constexpr uint64_t kDsaPrivateBase = 0x2010103;
constexpr uint64_t kPublicSubject = 0x20101;
constexpr uint64_t kPublicTrusted = 0x20103;
constexpr uint64_t kPublicValue = 0x20104;
constexpr uint64_t kPublicEcParams = 0x20107;
constexpr uint64_t kRsaPublicModulusBits = 0x1020101;
constexpr uint64_t kRsaPublicModulus = 0x1020103;
constexpr uint64_t kRsaPublicExponent = 0x1020104;
constexpr uint64_t kDsaPublicPrime = 0x2020101;
constexpr uint64_t kDsaPublicSubprime = 0x2020102;
constexpr uint64_t kDsaPublicBase = 0x2020103;
constexpr uint64_t kSecretValue = 0x30101;
constexpr uint64_t kSecretValueLength = 0x30102;
constexpr uint64_t kCertId = 0x201;
constexpr uint64_t kCertTrusted = 0x206;
constexpr uint64_t kCertValue = 0x1000201;
constexpr uint64_t kCertSubject = 0x1000202;
constexpr uint64_t kCertIssuer = 0x1000203;
constexpr uint64_t kCertSerialNumber = 0x1000204;
constexpr uint64_t kDataValue = 0x601;
constexpr uint64_t kDataApplication = 0x603;
constexpr uint64_t kDataObjectId = 0x604;
// Searches without a kind.
constexpr uint64_t kAnyId = 0xFF000001;
constexpr uint64_t kAnyValue = 0xFF000002;
constexpr uint64_t kAnyValueLength = 0xFF000003;
constexpr uint64_t kAnyTrusted = 0xFF000005;
constexpr uint64_t kAnySubject = 0xFF000006;
constexpr uint64_t kAnyEcParams = 0xFF000008;
constexpr uint64_t kAnyModulus = 0xFF000015;
constexpr uint64_t kAnyPublicExponent = 0xFF000016;
constexpr uint64_t kAnyPrime = 0xFF000029;
constexpr uint64_t kAnySubprime = 0xFF00002A;
constexpr uint64_t kAnyBase = 0xFF00002B;
// Answers of MapAttributeToPkcs15 besides a type.
constexpr uint64_t kNotStored = 0;    // derived by the token, or ignored
constexpr uint64_t kInvalid = ~0ULL;  // not an attribute of the kind
}  // namespace p15attr

// CKO_* of a kind; all ones when the kind names no class.
CK_OBJECT_CLASS ObjectKindToClass(uint32_t kind);
// CKK_* of a key kind (Diffie-Hellman is CKK_DH both ways; a secret key of
// algorithm a is key type a + 16); all ones for other kinds.
CK_KEY_TYPE KeyTypeOfKind(uint32_t kind);
// The key-pair generator of an asymmetric key kind; all ones for other kinds.
CK_MECHANISM_TYPE KeyGenerationMechanismOfKind(uint32_t kind);
// The kind of a created object (class with its key or certificate type, all
// ones when absent); 0 for a combination that cannot live on the card.
uint32_t ObjectKindForClass(CK_OBJECT_CLASS objectClass, CK_ULONG subtype);

// The bit of a PKCS#15 flags attribute that carries a boolean PKCS#11
// attribute, and that attribute's type; 0 when the attribute is none of them.
uint32_t GetFlagMaskForAttribute(CK_ATTRIBUTE_TYPE type, uint64_t* p15Type);

// The PKCS#15 type of a PKCS#11 attribute on objects of a kind, or
// p15attr::kNotStored, or p15attr::kInvalid.
uint64_t MapAttributeToPkcs15(uint32_t kind, CK_ATTRIBUTE_TYPE type);

// Whether a token object can answer the type at all; every other type in the
// template gets CK_UNAVAILABLE_INFORMATION and the result CKR_ATTRIBUTE_TYPE_INVALID.
bool IsReadableTokenAttribute(CK_ATTRIBUTE_TYPE type);
CK_RV CheckTemplateTypes(CK_ATTRIBUTE* tmpl, CK_ULONG count);

// Fills one PKCS#15 attribute (its type set) from one PKCS#11 attribute; without
// withValue only the type is recorded.
CK_RV ConvertAttributeValue(uint32_t kind, bool withValue, const CK_ATTRIBUTE& attr, SCPkcs15ObjectAttribute* target);
// Adds the PKCS#11 attribute to the list as p15Type, or checks it against the
// attribute of that type already there (flags attributes collect their bits).
CK_RV MergeTemplateAttribute(const CK_ATTRIBUTE& attr, uint32_t kind, uint64_t p15Type, SCPkcs15ObjectAttributeList* list,
                             bool withValue);

// Every builder empties its list first.
CK_RV BuildObjectAttributeList(uint32_t kind, bool withValue, const CK_ATTRIBUTE* tmpl, CK_ULONG count,
                               SCPkcs15ObjectAttributeList* list);
// CKR_ATTRIBUTE_TYPE_UNSUPPORTED (internal) when the template names objects
// the card cannot hold, or an attribute no object of the kind has: the search
// then finds nothing. Entries the card stores nowhere (CKA_TOKEN, attributes
// the token derives) stay out of the list; their indexes go to `compareLater`
// (when given), to be compared with each found object's own answer.
CK_RV BuildSearchAttributeList(const CK_ATTRIBUTE* tmpl, CK_ULONG count, SCPkcs15ObjectAttributeList* list,
                               std::vector<CK_ULONG>* compareLater = nullptr);
CK_RV BuildKeyPairAttributeLists(CK_MECHANISM_TYPE mechanism, const CK_ATTRIBUTE* prvTmpl, CK_ULONG prvCount,
                                 const CK_ATTRIBUTE* pubTmpl, CK_ULONG pubCount, SCPkcs15ObjectAttributeList* prvList,
                                 SCPkcs15ObjectAttributeList* pubList);
// Writes the values of a filled list into the template.
CK_RV AttributesToTemplate(uint32_t kind, const SCPkcs15ObjectAttributeList& list, CK_ATTRIBUTE* tmpl, CK_ULONG count);

#endif
