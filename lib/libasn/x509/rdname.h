// RelativeDistinguishedName of X.501: a SET OF AttributeTypeAndValue with lookup,
// insertion, text parsing, text output, comparison and canonicalisation.
#pragma once

#include <cstdint>
#include <string>

#include "lib/libasn/asnsetl.h"
#include "lib/libasn/x509/x500attr.h"

class RDname : public ASNsetList<AttributeValue> {
public:
    // A tag without class bits gives SET (0x31).
    explicit RDname(uint32_t tag = 0x31);
    RDname(const RDname& other);
    ~RDname() override;

    // The position of the element at index, NULL outside the set.
    POSITION getPositionAt(int index) const;

    // The first element after `after` (from the head when NULL) of that type; NULL
    // when none, also when `after` is not in the set.
    AttributeValue* find(const ASNobjectId& type, const AttributeValue* after = nullptr) const;
    AttributeValue* find(const char* typeName, const AttributeValue* after = nullptr) const;
    AttributeValue* find(uint32_t typeId, const AttributeValue* after = nullptr) const;

    // New elements; NULL for an unknown type name or id, or when memory runs out.
    AttributeValue* add(const ASNobjectId& type, uint8_t valueTag, const void* octets, long len);
    AttributeValue* add(const char* typeName, uint8_t valueTag, const void* octets, long len);
    AttributeValue* add(uint32_t typeId, uint8_t valueTag, const void* octets, long len);
    // The value is obj's encoding held as an ANY.
    AttributeValue* add(const ASNobjectId& type, const ASNobject& obj);
    AttributeValue* add(const char* typeName, const ASNobject& obj);
    AttributeValue* add(uint32_t typeId, const ASNobject& obj);
    // The value from text (UTF-8 forced for directory strings).
    AttributeValue* addText(const ASNobjectId& type, const char* text, int len);
    AttributeValue* addText(const char* typeName, const char* text, int len);
    AttributeValue* addText(uint32_t typeId, const char* text, int len);
    // One "type=value" text under the RDN flags (see parse); NULL when it does not parse.
    AttributeValue* addFromText(const char* text, int len, bool forceUtf8, uint32_t flags);
    using ASNsetList<AttributeValue>::add;

    // "type=value+type=value" (RFC 2253 keywords or OIDs); appends; 1 or 0.
    int parseSimple(const char* text, int len, bool forceUtf8);
    // Empties the set, then parses values separated by the characters the flags
    // select (0x40000 ',', 0x80000 ';', 0x400000 newline, 0x200000 '|', 0x100000 '+').
    int parse(const char* text, int len, bool forceUtf8, uint32_t flags);

    // Text of the values in list order ("type=value" each, joined by "+").
    int toText(char* buf, uint32_t size, bool nulTerminate, uint32_t flags) const;
    int toText(std::string& out, uint32_t flags) const;

    RDname& operator=(const RDname& other);
    // Same values (type, tag and octets) in any order.
    bool isEqual(const RDname& other) const;
    // Values pairwise equivalent under cmp after sorting both sets into DER order.
    int isEquivalent(const RDname& other, X500Comparator cmp) const;

    // Value flags handed to the attribute-value parser: the RDN separator bits are
    // replaced by the list-separator bits they stand for.
    static uint32_t translateValueFlags(uint32_t flags);

protected:
    AttributeValue* createElement() const override;
    int canonicalizeElement(AttributeValue* e) override;

private:
    AttributeValue* adopt(AttributeValue* e);
};
