// The X.500 attribute types the system knows by name: OID, the families of names
// (X.500 names, RFC 2253 keywords, short and long labels, English and Polish
// descriptions, aliases), a small integer id and the value syntax that decides the
// ASN.1 string type of a value built from text.
#pragma once

#include <cstdint>

#include "lib/libasn/asnobjid.h"

// Value syntax codes: which ASN.1 type a value built from text receives.
enum X500Syntax : uint32_t {
    X500_SYNTAX_NONE = 0,           // treated as directory string
    X500_SYNTAX_DIRECTORY = 1,      // PrintableString when it fits, else UTF8String
    X500_SYNTAX_PRINTABLE = 2,
    X500_SYNTAX_UTF8 = 3,
    X500_SYNTAX_IA5 = 4,
    X500_SYNTAX_BMP = 5,
    X500_SYNTAX_NUMERIC = 6,
    X500_SYNTAX_OCTETS = 7,
    X500_SYNTAX_BITS = 8,
    X500_SYNTAX_PKCS9 = 9,          // as directory string, IA5String for other ASCII
    X500_SYNTAX_LIST = 10,          // SEQUENCE of directory strings
    X500_SYNTAX_GENERALIZED_TIME = 11,
    X500_SYNTAX_TIME = 12,
    X500_SYNTAX_OID = 13,
    X500_SYNTAX_INTEGER = 14
};

// Ids of the known types (the record's index in the table).
enum X500TypeId : uint32_t {
    X500_C = 0, X500_L = 1, X500_ST = 2, X500_O = 3, X500_OU = 4, X500_CN = 5, X500_TITLE = 6,
    X500_POSTAL_ADDRESS = 7, X500_EMAIL = 8, X500_SN = 9, X500_GN = 10, X500_UNIQUE_ID = 11,
    X500_SERIAL = 12, X500_DESCRIPTION = 13, X500_PHONE = 14, X500_ISDN = 15, X500_DC = 16,
    X500_PSEUDONYM = 17, X500_STREET = 18, X500_UNSTRUCTURED_NAME = 19,
    X500_UNSTRUCTURED_ADDRESS = 20, X500_UID = 21, X500_MAIL = 22, X500_DN_QUALIFIER = 23
};

constexpr uint32_t X500_TYPE_COUNT = 24;

// Naming styles (the low four bits of every text flag word).
enum X500Style : int {
    X500_STYLE_SHORT_OR_NAME = 0,   // shortName, else name
    X500_STYLE_NAME = 1,
    X500_STYLE_POLISH = 2,
    X500_STYLE_LABEL = 3,           // shortLabel, else longLabel
    X500_STYLE_SHORT = 4,
    X500_STYLE_KEYWORD = 5,         // RFC 2253 keywords
    X500_STYLE_DESCRIPTION = 6,
    X500_STYLE_ALT = 7,
    X500_STYLE_OID = 8,
    X500_STYLE_LONG_LABEL = 9,
    X500_STYLE_SHORT_LABEL = 10,
    X500_STYLE_CALLER = 14,         // text operations: the caller's name as given
    X500_STYLE_NONE = 15,           // text operations: the value alone / any name on input
    X500_STYLE_ANY = -1             // lookups: any name of any family, then OID text
};

struct X500AttributeType {
    uint32_t id;
    const ASNobjectId* oid;
    const char* oidText;
    const char* name;
    const char* shortName;
    const char* keyword;
    const char* description;
    const char* polishDescription;
    const char* shortLabel;
    const char* longLabel;
    const char* altLabel;
    uint32_t syntax;
    const char* const* aliases;
    uint32_t aliasCount;
};

namespace x500 {

// The table in id order (X500_TYPE_COUNT records).
const X500AttributeType* table();
// The empty OID that stands for an unknown type.
const ASNobjectId& unknownOid();

const X500AttributeType* findById(uint32_t id);
const X500AttributeType* findByOid(const ASNobjectId& oid);
// Dotted text ('.', ',' or blank between arcs); len < 0: up to the NUL.
const X500AttributeType* findByOidText(const char* text, int len);
// Names compare ignoring ASCII case, whole text only. style 8: by OID text; 0..15:
// the name of that style; negative: any name or alias, then OID text.
const X500AttributeType* findByName(const char* text, int len, int style);

// Accessors tolerating NULL.
int idOf(const X500AttributeType* t);
const char* nameOf(const X500AttributeType* t, int style);
const char* oidTextOf(const X500AttributeType* t);
const ASNobjectId& oidOf(const X500AttributeType* t);
uint32_t syntaxOf(const X500AttributeType* t);

const char* nameById(uint32_t id, int style);
const ASNobjectId& oidById(uint32_t id);
uint32_t syntaxById(uint32_t id);
const char* nameByOid(const ASNobjectId& oid, int style);
int idByOid(const ASNobjectId& oid);
const char* nameByOidText(const char* text, int style);
int idByName(const char* text, int len, int style);

// Names equal ignoring ASCII case, same length (len < 0: up to the NUL).
bool sameName(const char* name, const char* text, int len);

}  // namespace x500
