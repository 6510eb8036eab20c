// AttributeTypeAndValue of X.501: an attribute type OID and a value of any ASN.1
// type, with the choice of string type for values built from text, the canonical
// form used to compare names, and the equivalence test of two values.
#pragma once

#include <cstdint>
#include <string>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/x509/x500types.h"

// Text comparator for equivalence tests: 0 when equal; negative lengths mean up to
// the NUL.
typedef int (*X500Comparator)(const char* a, int lenA, const char* b, int lenB);

// Universal tags of the string types handled here.
enum : uint8_t {
    X500_TAG_BIT_STRING = 3,
    X500_TAG_OCTET_STRING = 4,
    X500_TAG_OID = 6,
    X500_TAG_UTF8 = 12,
    X500_TAG_NUMERIC = 18,
    X500_TAG_PRINTABLE = 19,
    X500_TAG_T61 = 20,
    X500_TAG_IA5 = 22,
    X500_TAG_UTC_TIME = 23,
    X500_TAG_GENERALIZED_TIME = 24,
    X500_TAG_VISIBLE = 26,
    X500_TAG_UNIVERSAL = 28,
    X500_TAG_BMP = 30,
    X500_TAG_SEQUENCE = 0x30,
    X500_TAG_SET = 0x31
};

namespace x500 {
int checkStringContents(const ASNany& value);
}  // namespace x500

class AttributeValue : public ASNsequenceF {
public:
    // A class tag gets the constructed bit; any other tag gives SEQUENCE.
    explicit AttributeValue(uint32_t tag = 0x30);
    // SEQUENCE with type and value from setFromText (not forcing UTF-8); an unknown
    // id leaves both empty.
    AttributeValue(uint32_t typeId, const char* text, uint32_t len);
    AttributeValue(const AttributeValue& other);
    ~AttributeValue() override;

    void clear() override;
    int read_contents(GenericFile* src, long len) override;
    int write_contents(GenericFile* dst) const override;
    long lenOfBody() const override;
    void digest_contents(QvHash* hash) const override;

    // Setters: 1, or 0 (unknown type: nothing changed). std::bad_alloc when memory
    // runs out.
    int set(const ASNobjectId& type, const ASNany& value);
    int set(uint32_t typeId, const ASNany& value);
    // Any name of the table, else a dotted OID.
    int set(const char* typeName, const ASNany& value);
    // The value becomes tag followed by len contents octets.
    int setRaw(const ASNobjectId& type, uint8_t tag, const void* data, long len);
    int setRaw(uint32_t typeId, uint8_t tag, const void* data, long len);
    int setRaw(const char* typeName, uint8_t tag, const void* data, long len);
    // The value from text, its string type by the type's syntax; the octets are
    // taken as they are (no unescaping). len < 0: up to the NUL.
    int setFromText(const ASNobjectId& type, const char* text, int len, bool forceUtf8);
    int setFromText(uint32_t typeId, const char* text, int len, bool forceUtf8);
    int setFromText(const char* typeName, const char* text, int len, bool forceUtf8);

    AttributeValue& operator=(const AttributeValue& other);
    // Same type, same value tag and octets.
    bool operator==(const AttributeValue& other) const;
    bool operator!=(const AttributeValue& other) const { return !(*this == other); }

    // The type's name in a naming style (the dotted OID when the style has none;
    // style 15: empty). Buffer protocol: the length, minus it when it does not fit.
    int getTypeName(char* buf, uint32_t size, bool nulTerminate, uint32_t style) const;
    int getTypeName(std::string& out, uint32_t style) const;

    // Canonical form for comparison: directory strings become UTF8String, BIT
    // STRINGs lose trailing zero bits, lists are canonicalised element by element.
    // 1, or 0 when the value does not decode.
    int canonicalize();
    // Same type and equal comparison texts (white space folded) under cmp (NULL:
    // octet for octet). 1 or 0.
    int isEquivalent(const AttributeValue& other, X500Comparator cmp) const;
    // Case-insensitive comparison of UTF-8 texts: 0 when equal.
    static int compareTextCaseless(const char* a, int lenA, const char* b, int lenB);

    ASNobjectId type;
    ASNany value;

private:
    int canonicalizeAt(int depth);
};

namespace x500 {

bool isPrintableChar(uint8_t c);
// Well-formed UTF-8 (RFC 3629): no overlong forms, surrogates or values above U+10FFFF.
bool isValidUtf8(const char* text, size_t n);
// The universal tag a value of syntax gets from text (see X500Syntax); with validate
// the text must fit it, else 0. len < 0: up to the NUL.
int chooseStringTag(uint32_t syntax, const char* text, int len, bool forceUtf8, bool validate);
// Whether a value's contents fit its string type: UTF8String well-formed UTF-8,
// NumericString, PrintableString, IA5String and VisibleString their character sets,
// BMPString an even length without surrogates, UniversalString whole code points up
// to U+10FFFF without surrogates; T61String takes any octet. 1 fits, 0 does not, -1
// not a primitive string type.
int checkStringContents(const ASNany& value);
// UTF-8 octets of a code point below 2^31 (one to six octets): the count; without
// out the count only; minus the count when outSize is too small.
int utf8EncodeCodePoint(uint32_t cp, uint8_t* out, int outSize);
// Four-octet big-endian code points to UTF-8; false when len is not a multiple of 4.
bool universalToUtf8(const uint8_t* data, long len, std::string& out);
// Big-endian UCS-2 to UTF-8; false for an odd length.
bool bmpToUtf8(const uint8_t* data, long len, std::string& out);

}  // namespace x500
