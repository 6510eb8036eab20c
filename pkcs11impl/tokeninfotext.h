// A PKCS#15 TokenInfo as text for the trace log: one item per line, numbers in
// the modes the helpers name, bit strings as flags or as octets.
#ifndef MIRTAL_PKCS11IMPL_TOKENINFOTEXT_H
#define MIRTAL_PKCS11IMPL_TOKENINFOTEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

class ASNbitstr;
class ASNinteger;
class ASNPkcs15TokenInfo;

// Number modes: 0 always "0x" and the octets in hex; 1 "%lu"; 2 "0x%02lx";
// 3 "%lu (0x%02lx)". A value longer than 4 octets is always printed as mode 0.
enum : int { kNumberHex = 0, kNumberDecimal = 1, kNumberShortHex = 2, kNumberBoth = 3 };

void FormatOctetsAsInteger(std::string* out, const uint8_t* octets, size_t len, int mode);
void FormatAsnInteger(std::string* out, const ASNinteger& value, int mode);
// "<empty>" without content; as flags (1 to 4 octets, at most 7 unused bits)
// "Flags: " and one digit per used bit, lowest bit first; otherwise the unused-bit
// count, " unused bits: " and the octets in hex (the octets alone when none is unused).
void FormatBitString(std::string* out, const ASNbitstr& bits, bool asFlags);
void FormatTokenInfo(std::string* out, const ASNPkcs15TokenInfo& tokenInfo);

#endif
