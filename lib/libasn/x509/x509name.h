// Name of X.501 (RDNSequence): a SEQUENCE OF relative distinguished names, with its
// text forms (parsing under flags, RFC 2253 text, output with a choice of names,
// separators and escapes), lookup and insertion of values, and two comparisons.
#pragma once

#include <cstdint>
#include <string>

#include "lib/libasn/asnseql.h"
#include "lib/libasn/x509/rdname.h"
#include "lib/libasn/x509/x500attr.h"

// Parse flags (fromText).
constexpr uint32_t DNP_ESCAPES = 0x1;
constexpr uint32_t DNP_HEX_ESCAPES = 0x2;
constexpr uint32_t DNP_HEX_X = 0x4;
constexpr uint32_t DNP_QUOTES = 0x8;
constexpr uint32_t DNP_HEX_BER = 0x20;
constexpr uint32_t DNP_HEX_LOOSE = 0x40;
constexpr uint32_t DNP_HEX_BARE = 0x80;
constexpr uint32_t DNP_HEX_NO_BLANKS = 0x100;
constexpr uint32_t DNP_SEP_COMMA = 0x800;
constexpr uint32_t DNP_SEP_SEMICOLON = 0x1000;
constexpr uint32_t DNP_SEP_PLUS = 0x2000;
constexpr uint32_t DNP_SEP_NEWLINE = 0x4000;
constexpr uint32_t DNP_SEP_BAR = 0x8000;
constexpr uint32_t DNP_SEP_SLASH = 0x10000;
constexpr uint32_t DNP_FORCE_UTF8 = 0x20000000;
constexpr uint32_t DNP_KEYWORDS = 0x40000000;
constexpr uint32_t DNP_REVERSE = 0x80000000;

// Format flags (toText) beyond the value-text flags.
constexpr uint32_t DNF_ALIGN = 0x40000000;
constexpr uint32_t DNF_REVERSE = 0x80000000;
// The subject as a certificate label: "CN=Jan Kowalski, O=Firma, C=PL".
constexpr uint32_t DNF_LABEL = 0x8C540120;

class DistinguishedName : public ASNsequenceList<RDname> {
public:
    // A NULL text or len below 1 gives an empty name; otherwise the text is parsed
    // with fromText (no separators: one RDN with one value) and std::invalid_argument
    // is thrown when it does not parse.
    explicit DistinguishedName(uint32_t tag = 0x30, const char* dnText = nullptr, int textLen = 0,
                               bool forceUtf8 = false, bool reverse = false);
    DistinguishedName(const char* dnText, int textLen, bool forceUtf8 = false, bool reverse = false);
    DistinguishedName(const DistinguishedName& other);
    ~DistinguishedName() override;

    // Empties the name, then parses under the parse flags. 1 or 0 (RDNs parsed so
    // far stay).
    int fromText(const char* text, int len, uint32_t parseFlags);
    // RFC 2253 text (most specific RDN first); appends. 1 or 0.
    int fromSimpleText(const char* text, int len, bool forceUtf8);

    int toText(char* buf, uint32_t size, bool nulTerminate, uint32_t formatFlags) const;
    int toString(std::string& out, uint32_t formatFlags) const;
    std::string toString(uint32_t formatFlags) const;
    // new[] array, NUL-terminated; NULL when it cannot be allocated.
    char* toNewString(uint32_t formatFlags) const;

    AttributeValue* findValue(const ASNobjectId& type, const AttributeValue* after = nullptr) const;
    AttributeValue* findValueByName(const char* typeName, const AttributeValue* after = nullptr) const;
    AttributeValue* findValueById(uint32_t typeId, const AttributeValue* after = nullptr) const;

    // Each appends one RDN holding one value; NULL when the type is unknown or the
    // value cannot be built.
    AttributeValue* addRdn(const ASNobjectId& type, uint8_t tag, const void* data, long len);
    AttributeValue* addRdn(uint32_t typeId, uint8_t tag, const void* data, long len);
    AttributeValue* addRdn(const char* typeName, uint8_t tag, const void* data, long len);
    AttributeValue* addRdn(const ASNobjectId& type, const ASNany& value);
    AttributeValue* addRdn(uint32_t typeId, const ASNany& value);
    AttributeValue* addRdn(const char* typeName, const ASNany& value);
    AttributeValue* addRdn(const ASNobjectId& type, const char* text, int len);
    AttributeValue* addRdn(uint32_t typeId, const char* text, int len);
    AttributeValue* addRdn(const char* typeName, const char* text, int len);

    DistinguishedName& operator=(const DistinguishedName& other);
    void reverse();
    // Canonical values and DER order in every RDN; true when every RDN succeeded.
    bool makeDER();
    // Same RDNs in the same order, values compared in canonical form. 1 or 0.
    int isEqual(const DistinguishedName& other) const;
    // As isEqual, values compared as text under cmp (NULL: exact).
    int isEquivalent(const DistinguishedName& other, X500Comparator cmp) const;

protected:
    RDname* createElement() const override;

private:
    RDname* appendRdn();
    AttributeValue* finishRdn(RDname* rdn, AttributeValue* av);
};
