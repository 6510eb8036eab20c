// Helpers that read single attributes out of a CK_ATTRIBUTE array, match key
// types and object classes against group codes, and manage template buffers.
#ifndef MIRTAL_PKCS11IMPL_P11TEMPLATE_H
#define MIRTAL_PKCS11IMPL_P11TEMPLATE_H

#include <cstddef>
#include <cstdint>

#include "pkcs11impl/cryptoki.h"

// Key-type patterns: a key type or a group code (CKK_ANY ... CKK_GENERIC_OR_GOST28147,
// and ~0 that matches only ~0). Symmetric in its arguments.
bool KeyTypeMatches(CK_ULONG pattern, CK_ULONG keyType);
// Class patterns: ~0 only ~0; ~1 anything; ~2 the key-like classes; ~3 public
// or private key.
bool ObjectClassMatches(CK_ULONG pattern, CK_ULONG objectClass);

// The first entry of the type, or false.
bool FindTemplateAttribute(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                           const CK_ATTRIBUTE** attr);
bool TemplateHasAttribute(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type);
// True when the template gives its object's class, key type or certificate type
// more than once with different values: such a template names no one object.
bool TemplateContradictsItsKind(const CK_ATTRIBUTE* tmpl, CK_ULONG count);

// Getters: CKR_OK; CKR_ATTRIBUTE_NOT_FOUND (internal) when absent;
// CKR_ATTRIBUTE_VALUE_INVALID for a null value or a wrong length. The output is
// preset (~0 by the class, key-type and certificate-type getters, else 0).
CK_RV GetTemplateClass(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_CLASS* out);
CK_RV GetTemplateKeyType(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_KEY_TYPE* out);
CK_RV GetTemplateCertificateType(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_CERTIFICATE_TYPE* out);
CK_RV GetTemplateUlong(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_ULONG* out);
CK_RV GetTemplateBool(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type, CK_BBOOL* out);

// Rows of three 64-bit words {key, a, b}: the first row with the key.
bool LookupTriple(const uint64_t (*rows)[3], size_t count, uint64_t key, uint64_t* a, uint64_t* b);

// Buffers of templates whose values this module allocated (new[]).
void FreeTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count);
bool AllocTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count);
bool AllocMissingTemplateValues(CK_ATTRIBUTE* tmpl, CK_ULONG count);

// When a blank-padded field is not valid UTF-8 because a cut broke the last
// character, blanks out the broken tail (at most 5 bytes). True when changed.
bool FixTruncatedUtf8Field(unsigned char* field, size_t length, unsigned char padChar);

#endif
