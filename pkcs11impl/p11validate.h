// Template validation: modes, placeholders, the top of the validator chain and
// the rule helpers every class validator is built from.
#ifndef MIRTAL_PKCS11IMPL_P11VALIDATE_H
#define MIRTAL_PKCS11IMPL_P11VALIDATE_H

#include <cstddef>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/cryptoki_vendor.h"

// Validation modes.
constexpr unsigned P11_MODE_OTHER = 0;     // only the secret-key CKA_VALUE_LEN rule
constexpr unsigned P11_MODE_MODIFY = 1;    // C_SetAttributeValue: read-only attributes refused
constexpr unsigned P11_MODE_CREATE = 2;    // C_CreateObject, copy
constexpr unsigned P11_MODE_GENERATE = 3;  // key and domain-parameter generation

// Class and subtype placeholders.
constexpr CK_ULONG P11_NOT_GIVEN = ~0UL;      // take it from the template
constexpr CK_ULONG P11_ALREADY_CHECKED = ~1UL; // the caller checked it: this level's rules only

// The top of the chain (version 0 = default).
CK_RV ValidateObjectTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                             CK_ULONG subtype, CK_ULONG version);
// The storage level: classes 0-4 and 6.
CK_RV ValidateStorageTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_OBJECT_CLASS objectClass,
                              CK_ULONG subtype, CK_ULONG version);

// ---- helpers for the class validators ----
typedef bool (*P11KnownFn)(CK_ATTRIBUTE_TYPE type, CK_ULONG version);
typedef CK_RV (*P11RulesFn)(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version);

// Every template attribute known, else CKR_ATTRIBUTE_TYPE_INVALID.
CK_RV P11CheckKnown(const CK_ATTRIBUTE* tmpl, CK_ULONG count, P11KnownFn known, CK_ULONG version);
// A CK_ULONG attribute (class or subtype) of the template must hold `expected`:
// present and different: CKR_TEMPLATE_INCONSISTENT; malformed: CKR_ATTRIBUTE_VALUE_INVALID;
// absent in create mode: CKR_TEMPLATE_INCOMPLETE.
CK_RV P11CheckTemplateUlong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ATTRIBUTE_TYPE type,
                            CK_ULONG expected);
// Any listed attribute present: rv.
CK_RV P11CheckNoneOf(const CK_ATTRIBUTE* tmpl, CK_ULONG count, const CK_ATTRIBUTE_TYPE* list, size_t n, CK_RV rv);
// Any listed attribute absent: CKR_TEMPLATE_INCOMPLETE.
CK_RV P11CheckAllOf(const CK_ATTRIBUTE* tmpl, CK_ULONG count, const CK_ATTRIBUTE_TYPE* list, size_t n);
// True when the template has the attribute as a true boolean (any non-zero byte).
bool P11TemplateBoolTrue(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type);

// The subtype a dispatching validator works with. `arg` is a subtype, a group
// code or a placeholder. *resolved receives the concrete subtype, or ~0/~1 when
// only the dispatching level's rules apply.
CK_RV P11ResolveSubtype(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ATTRIBUTE_TYPE attr,
                        CK_ULONG arg, CK_ULONG* resolved);

// What a leaf class checks in each mode, once class and subtype are settled.
struct P11ModeRules {
  const CK_ATTRIBUTE_TYPE* readOnly = nullptr;
  size_t readOnlyCount = 0;
  const CK_ATTRIBUTE_TYPE* createRequired = nullptr;
  size_t createRequiredCount = 0;
  const CK_ATTRIBUTE_TYPE* createForbidden = nullptr;
  size_t createForbiddenCount = 0;
  const CK_ATTRIBUTE_TYPE* generateRequired = nullptr;
  size_t generateRequiredCount = 0;
  const CK_ATTRIBUTE_TYPE* generateForbidden = nullptr;
  size_t generateForbiddenCount = 0;
  CK_RV generateForbiddenRv = 0;        // 0 means CKR_TEMPLATE_INCONSISTENT
  CK_ULONG minVersionToBuild = 0;       // modes 2 and 3 (0: none)
  P11RulesFn extra = nullptr;           // after the required sets, before the forbidden ones
  bool generateForbiddenFirst = false;  // in generate mode, forbidden attributes are checked first
};

struct Pkcs11AttributeDef;

// The rules of one leaf class (the steps every class validator follows).
struct P11LeafRules : P11ModeRules {
  CK_OBJECT_CLASS objectClass = 0;
  CK_ATTRIBUTE_TYPE subtypeAttr = 0;     // ~0: the class fixes no subtype
  CK_ULONG subtype = 0;
  const Pkcs11AttributeDef* defs = nullptr;  // the class's own records, known besides `known`
  size_t defCount = 0;
  P11KnownFn known = nullptr;
  P11RulesFn parentRules = nullptr;      // the levels above, top-down
};

CK_RV P11ValidateLeaf(const P11LeafRules& rules, const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                      CK_ULONG subtypeArg, CK_ULONG version);

// A level that hands templates on by key type (private keys, public keys,
// domain parameters). The key type, resolved from the argument and the
// template, picks one route: its validator is called with `passAs` (KEA goes
// to the DSA class as DSA). Without a key type only the level's own steps run:
// the known set (unless the caller checked it), the class and the rules.
typedef CK_RV (*P11ValidateSubtypeFn)(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG subtype,
                                      CK_ULONG version);
struct P11KeyTypeRoute {
  CK_KEY_TYPE keyType;
  P11ValidateSubtypeFn validate;
  CK_KEY_TYPE passAs;
};
struct P11KeyTypeLevel {
  CK_OBJECT_CLASS objectClass;
  P11KnownFn known;
  P11RulesFn rules;
  const P11KeyTypeRoute* routes;
  size_t routeCount;
};
// Any other key type: CKR_TEMPLATE_INCONSISTENT.
CK_RV P11ValidateByKeyType(const P11KeyTypeLevel& level, const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode,
                           CK_KEY_TYPE keyType, CK_ULONG version);

// Rules of the storage level (read-only attributes in modify mode).
CK_RV P11StorageRules(const CK_ATTRIBUTE* tmpl, CK_ULONG count, unsigned mode, CK_ULONG version);

#define P11_COUNT(a) (sizeof(a) / sizeof((a)[0]))

#endif
