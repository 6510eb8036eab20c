// The module's side of the header comparison.
#include <cstddef>

#include "pkcs11impl/cryptoki.h"
#include "tests/pkcs11impl/header_tables.h"

namespace owntables {

const NamedValue kConstants[] = {
#define X(name) {#name, (unsigned long)(name)},
#include "tests/pkcs11impl/header_names.inc"
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

}  // namespace owntables
