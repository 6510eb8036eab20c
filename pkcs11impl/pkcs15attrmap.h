// The vocabulary between PKCS#11 templates and the typed attributes of PKCS#15
// objects, whose kind and attribute codes the PKCS#15 layer owns: the booleans
// that live as bits of a PKCS#15 flags attribute, the attribute mapping per
// kind, and the conversions in both directions (templates into attribute lists for creation,
// change, search and key-pair generation; filled lists back into templates).
#ifndef MIRTAL_PKCS11IMPL_PKCS15ATTRMAP_H
#define MIRTAL_PKCS11IMPL_PKCS15ATTRMAP_H

#include <cstdint>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs15/scpkcs15codes.h"

class SCPkcs15ObjectAttribute;
class SCPkcs15ObjectAttributeList;

namespace p15attr {
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
