// Helpers shared by the PKCS#15 record types: reading the next element of a
// structure, and switching context-tagged members between implicit and explicit
// tagging.
#pragma once

#include <cstdint>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbase.h"
#include "lib/libasn/asnbool.h"

namespace asnp15 {

// Reads the next element (any identifier) within left octets into el; the octets
// consumed or the failure.
long readElement(GenericFile* src, long left, ASNany& el);

// Puts a member under the implicit context tag ctxTag (its identifier replaced).
void makeImplicit(ASNobject& m, uint8_t ctxTag);
// Puts a member under an explicit wrapper ctxTag (constructed) around its own TLV.
void makeExplicit(ASNobject& m, uint8_t ctxTag);

// Assigns el into a context-tagged member in the tagging it has now; when that
// gives exactly 0, the member is switched to the other tagging and assigned once
// more. The member keeps the tagging that decoded.
int assignEitherForm(ASNobject& m, uint8_t ctxTag, const ASNany& el);

// Identifier octet of an element as received.
inline uint8_t idOf(const ASNany& el) { return el.tag; }

// Writes one member; 1 or the failure.
inline int writeMember(const ASNobject& m, GenericFile* dst) {
    long r = m.write(dst);
    return r < 1 ? static_cast<int>(r == 0 ? -1 : r) : 1;
}

}  // namespace asnp15

// The NULL sub-class of authentication, certificate and data objects; it is never
// set, and compares and copies as the NULL it is.
class ASNPkcs15Null : public ASNnull {
public:
    explicit ASNPkcs15Null(uint32_t tag = 0) : ASNnull(tag) {}
    ASNPkcs15Null(const ASNPkcs15Null& other) : ASNnull(other) {}
    ASNPkcs15Null& operator=(const ASNPkcs15Null&) { return *this; }
    bool operator==(const ASNPkcs15Null&) const { return true; }
};
