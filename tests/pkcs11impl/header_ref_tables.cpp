// The reference side: the same names and layouts taken from an independent
// public PKCS#11 header. Kept in a translation unit of its own so that the two
// headers never meet.
#include <p11-kit/pkcs11.h>

#include <cstddef>

#include "tests/pkcs11impl/header_tables.h"

namespace reftables {

const NamedValue kConstants[] = {
#define X(name) {#name, (unsigned long)(name)},
#include "tests/pkcs11impl/header_names_ref.inc"
#undef X
};
const size_t kConstantCount = sizeof(kConstants) / sizeof(kConstants[0]);

const NamedValue kLayout[] = {
#define S(type) {"sizeof " #type, sizeof(type)},
#define F(type, field) {#type "." #field, offsetof(type, field)},
#include "tests/pkcs11impl/struct_fields.inc"
#undef S
#undef F
};
const size_t kLayoutCount = sizeof(kLayout) / sizeof(kLayout[0]);

}  // namespace reftables
