// Attribute values as text and back: RFC 2253 string escaping with options (backslash
// or double-quote escaping, hex escapes of single octets, the "#" hex form of a whole
// value, white-space folding, list values joined by a separator), and the parsers
// that undo it.
//
// Every producer follows one buffer protocol: (buf, size, nulTerminate) -> the text
// length; buf NULL only measures; when the text (and the NUL when asked) does not
// fit, nothing is written and the result is minus the text length.
#pragma once

#include <cstdint>
#include <string>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnseql.h"
#include "lib/libasn/x509/x500attr.h"

// Value-text flags (output / input).
constexpr uint32_t X500F_STYLE_MASK = 0x0F;
constexpr uint32_t X500F_ESCAPE = 0x10;          // '\' before special characters
constexpr uint32_t X500F_HEX_CTRL = 0x20;        // '\' + hex for octets below 0x20 and 0x7F
constexpr uint32_t X500F_HEX_HIGH = 0x40;        // '\' + hex for octets from 0x80
constexpr uint32_t X500F_HEX_X = 0x80;           // "\x" + hex for octets outside 0x20..0x7E
constexpr uint32_t X500F_QUOTE = 0x100;          // double quotes instead of escapes
constexpr uint32_t X500F_HEX_WHOLE = 0x400;      // hex form shows the whole encoding / must be BER
constexpr uint32_t X500F_HEX_BINARY = 0x800;     // OCTET/BIT STRING and lists in hex form
constexpr uint32_t X500F_HEX_ALL = 0x1000;       // every value in hex form
constexpr uint32_t X500F_HEX_BLANKS = 0x2000;    // blank between hex octets
constexpr uint32_t X500F_HEX_BARE = 0x4000;      // no leading '#'
constexpr uint32_t X500F_FOLD_SPACE = 0x8000;    // runs of octets <= blank become one blank
constexpr uint32_t X500F_SPACED_EQUALS = 0x10000;
constexpr uint32_t X500F_LIST_MASK = 0x1FC0000;
constexpr uint32_t X500F_LIST_ANY_TYPE = 0x2000000;

typedef ASNsequenceList<ASNany> X500ValueList;

namespace x500 {

// Producers.
int valueToText(const ASNany& value, char* buf, uint32_t size, bool nulTerminate, uint32_t flags);
int valueToText(const AttributeValue& av, char* buf, uint32_t size, bool nulTerminate, uint32_t flags);
int valueToText(std::string& out, const ASNany& value, uint32_t flags);
int valueToText(std::string& out, const AttributeValue& av, uint32_t flags);
char* valueToNewText(const ASNany& value, uint32_t flags);

int avaToText(const char* typeName, const ASNany& value, char* buf, uint32_t size, bool nulTerminate,
              uint32_t flags);
int avaToText(std::string& out, const char* typeName, const ASNany& value, uint32_t flags);
int avaToTextByOid(const ASNobjectId& type, const ASNany& value, char* buf, uint32_t size,
                   bool nulTerminate, uint32_t flags);
int avaToTextByOid(std::string& out, const ASNobjectId& type, const ASNany& value, uint32_t flags);
int avaToTextById(uint32_t typeId, const ASNany& value, char* buf, uint32_t size, bool nulTerminate,
                  uint32_t flags);
int avaToText(const AttributeValue& av, char* buf, uint32_t size, bool nulTerminate, uint32_t flags);
int avaToText(std::string& out, const AttributeValue& av, uint32_t flags);
char* avaToNewText(const AttributeValue& av, uint32_t flags);

// Blank-separated hex of the value's contents, NUL-terminated: 1 when that is what
// was written, 0 when the value was rendered otherwise, 2 when the buffer is too
// small (needed size in *len).
int hexDump(const ASNany& value, char* buf, uint32_t* len);

// Parsers.
// 0 error, 1 text, 2 binary (the octets of a hex form).
int unescapeValue(std::string& out, const char* text, int len, uint32_t flags);
int unescapeValueDefault(std::string& out, const char* text, int len);
// "name = value": 0, or unescapeValueDefault's 1 or 2.
int splitTypeAndValue(std::string& name, std::string& value, const char* text, int len);
// Plain "name=value"; strict: RFC 2253 keywords or dotted OIDs, hex forms must be BER.
int fromAvaText(AttributeValue& av, const char* text, int len, bool forceUtf8, bool strict);
// "name=value" under the value-text flags.
int fromText(AttributeValue& av, const char* text, int len, bool forceUtf8, uint32_t flags);
// A list value into a SEQUENCE OF ANY of strings; separators from the flags.
int parseList(X500ValueList& list, const char* text, int len, bool forceUtf8, uint32_t flags);
// Unescapes with the default flags; a complete BER encoding becomes the value,
// otherwise tag with the octets.
int setValueFromEscapedText(AttributeValue& av, const char* text, int len, uint8_t tag);

// Search helpers (len < 0: up to the NUL). findFirstOf: first character of set.
// The separator searches respect double quotes and backslash escapes; a NULL set
// means ";,".
const char* findFirstOf(const char* text, int len, const char* set);
const char* findSeparatorForward(const char* text, int len, const char* set);
const char* findSeparatorBackward(const char* text, int len, const char* set);

// The list-separator characters selected by input flags.
std::string listSeparatorChars(uint32_t flags);
// Delivers text by the buffer protocol.
int deliverText(const std::string& text, char* buf, uint32_t size, bool nulTerminate);
// A new[] copy with a NUL, NULL when it cannot be allocated.
char* newTextCopy(const std::string& text);

}  // namespace x500
