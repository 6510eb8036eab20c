// Attribute values, flag words, constant names and fixed-width fields built
// from arbitrary bytes must format without reading past what they were given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11format.h"
#include "pkcs11impl/p11names.h"
#include "pkcs11impl/p11template.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  CK_ULONG value;
  std::memcpy(&value, data, sizeof value);
  const int bufSize = data[8];
  const uint8_t pick = data[9];
  data += 10;
  size -= 10;

  // Constant names with every buffer size.
  std::vector<char> buf(static_cast<size_t>(bufSize) + 1);
  const P11NameTable& t = pick % 2 ? AttributeTable() : ReturnValueTable();
  LookupConstantName(value, t.rows, t.count, t.rowSize, bufSize ? buf.data() : nullptr, bufSize);
  LookupConstantNameIndexed(value, MechanismTable(), bufSize ? buf.data() : nullptr, bufSize);
  FormatTokenFlags(value, bufSize ? buf.data() : nullptr, bufSize);
  FormatQualifiedPartCharacteristics(value, bufSize ? buf.data() : nullptr, bufSize);
  GetPinStatusTextPl(value, bufSize ? buf.data() : nullptr, bufSize);

  // One attribute of a table type (nested templates hold pointers: left out).
  const P11NameTable& attrs = AttributeTable();
  const auto* row = reinterpret_cast<const P11AttributeRow*>(static_cast<const char*>(attrs.rows) +
                                                             (value % attrs.count) * attrs.rowSize);
  if (row->kind != 16) {
    std::vector<uint8_t> copy(data, data + size);  // exactly the bytes given
    CK_ATTRIBUTE a = {row->value, copy.empty() ? nullptr : copy.data(), static_cast<CK_ULONG>(copy.size())};
    AttributeValueText(&a, 0);
    TemplateText(0, &a, 1, true, ", ");
  }

  // Blank-padded fields cut anywhere.
  std::vector<uint8_t> field(data, data + size);
  if (!field.empty()) FixTruncatedUtf8Field(field.data(), field.size(), ' ');
  std::vector<char> dst(static_cast<size_t>(bufSize) + 1);
  CopyPrintable(dst.data(), reinterpret_cast<const char*>(data), static_cast<int>(dst.size()),
                static_cast<int>(size), pick % 3 == 0 ? 0 : (pick % 3 == 1 ? '?' : -'#'));
  return 0;
}
