// Name/value tables that the header test builds from each of the two headers.
#ifndef MIRTAL_TESTS_PKCS11IMPL_HEADER_TABLES_H
#define MIRTAL_TESTS_PKCS11IMPL_HEADER_TABLES_H
#include <cstddef>

struct NamedValue {
  const char* name;
  unsigned long value;
};

namespace reftables {
extern const NamedValue kConstants[];
extern const size_t kConstantCount;
extern const NamedValue kLayout[];
extern const size_t kLayoutCount;
}  // namespace reftables

namespace owntables {
extern const NamedValue kConstants[];
extern const size_t kConstantCount;
extern const NamedValue kLayout[];
extern const size_t kLayoutCount;
}  // namespace owntables

#endif
