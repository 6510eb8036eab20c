// Helpers shared by the PKCS#15 record types: the table of a record's members
// that its encoding, measuring, hashing and decoding walk; reading the elements
// of a structure; switching context-tagged members between implicit and explicit
// tagging.
#pragma once

#include <array>
#include <cstddef>
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

// Puts a member under ctxTag, explicitly or implicitly tagged.
void makeForm(ASNobject& m, uint8_t ctxTag, bool explicitForm);

// Assigns src to a context-tagged member together with the tagging src has (a
// member's own assignment copies its value, not its tagging).
template <class T>
void assignTagged(T& dst, const T& src, uint8_t ctxTag) {
    dst = src;
    makeForm(dst, ctxTag, src.isExplicit());
}

// Assigns el into a context-tagged member in the tagging it has now; when that
// gives exactly 0, the member is switched to the other tagging and assigned once
// more. The member keeps the tagging that decoded.
int assignEitherForm(ASNobject& m, uint8_t ctxTag, const ASNany& el);

// Decodes m's contents from the value octets of el, whatever el's identifier (a
// vendor layout that writes a constructed value under a primitive identifier);
// m keeps its own identifier. 1, or the decoding failure.
int assignContents(ASNobject& m, const ASNany& el);

// Identifier octet of an element as received.
inline uint8_t idOf(const ASNany& el) { return el.tag; }

// Writes one member; 1 or the failure.
inline int writeMember(const ASNobject& m, GenericFile* dst) {
    long r = m.write(dst);
    return r < 1 ? static_cast<int>(r == 0 ? -1 : r) : 1;
}

// One member of a record, in definition order: the object, its presence flag
// (null for a member that is always there) and, for a context-tagged member that
// is read in either tagging, its context tag (0: read in the tagging it has).
struct Member {
    ASNobject* object;
    uint8_t* present;
    uint8_t eitherForm;
};

inline bool isThere(const Member& m) { return m.present == nullptr || *m.present != 0; }

// The members that are there, in table order: written (1 or the first failure),
// measured, hashed.
int writeMembers(GenericFile* dst, const Member* m, size_t n);
long lenOfMembers(const Member* m, size_t n);
void digestMembers(QvHash* hash, const Member* m, size_t n);
template <size_t N>
int writeMembers(GenericFile* dst, const std::array<Member, N>& m) {
    return writeMembers(dst, m.data(), N);
}
template <size_t N>
long lenOfMembers(const std::array<Member, N>& m) {
    return lenOfMembers(m.data(), N);
}
template <size_t N>
void digestMembers(QvHash* hash, const std::array<Member, N>& m) {
    digestMembers(hash, m.data(), N);
}

// Every member of m[0..n-1] cleared and, where optional, marked absent.
void clearMembers(const Member* m, size_t n);
template <size_t N>
void clearMembers(const std::array<Member, N>& m) {
    clearMembers(m.data(), N);
}

// Two tables of one record type: the presence of src's optional members given to
// dst's; whether the same optional members are there in both.
void copyPresence(const Member* dst, const Member* src, size_t n);
bool samePresence(const Member* a, const Member* b, size_t n);
template <size_t N>
void copyPresence(const std::array<Member, N>& dst, const std::array<Member, N>& src) {
    copyPresence(dst.data(), src.data(), N);
}
template <size_t N>
bool samePresence(const std::array<Member, N>& a, const std::array<Member, N>& b) {
    return samePresence(a.data(), b.data(), N);
}

// Reads the leading members m[0..n-1] one after the other, each with read within
// the octets left: the octets they used, or the first failure (below 1); 0 when
// they run past len.
long readLeading(GenericFile* src, long len, const Member* m, size_t n);
template <size_t N>
long readLeading(GenericFile* src, long len, const std::array<Member, N>& m, size_t n) {
    return readLeading(src, len, m.data(), n < N ? n : N);
}

// The optional member that may end a record, read directly after the first
// `consumed` octets: 1 when nothing follows them; else its decoding result, with
// the member marked present, and 0 when octets are left after it.
int readTail(GenericFile* src, long len, long consumed, const Member& m);

// A record of mandatory members followed by one optional member: the mandatory
// ones read one after the other, then the optional one if octets are left; 1 when
// they used exactly len octets, else 0 or the first failure.
template <size_t N>
int readWithOptionalLast(GenericFile* src, long len, const std::array<Member, N>& m) {
    const long consumed = readLeading(src, len, m.data(), N - 1);
    if (consumed < 1) return static_cast<int>(consumed);
    return readTail(src, len, consumed, m[N - 1]);
}

// True when member k of m[0..n-1] may be taken now: neither it nor a later
// optional member is there (optional members come in strictly ascending order,
// each at most once).
bool mayTake(const Member* m, size_t n, int k);
template <size_t N>
bool mayTake(const std::array<Member, N>& m, int k) {
    return mayTake(m.data(), N, k);
}

// Decodes el into member k of m[0..n-1], whose optional members come in strictly
// ascending order, each at most once: 0 when k is negative or member k or a later
// optional one is there already; otherwise the member is marked present and the
// result of its decoding is returned.
int takeInOrder(const Member* m, size_t n, int k, const ASNany& el);
template <size_t N>
int takeInOrder(const std::array<Member, N>& m, int k, const ASNany& el) {
    return takeInOrder(m.data(), N, k, el);
}

// Returned by a take function for an element accepted without a member.
constexpr int kSkipElement = 2;

// Decodes the elements of a record that follow its first `consumed` octets: at
// most maxElements, each read into an ANY (built with elementFlags) and handed to
// take, until len octets are used. take returns 1 when a member took the element,
// kSkipElement when the record accepts it without a member, or the result that
// ends the decode (0 malformed, a codec failure). 1 when the elements used
// exactly len octets, else 0.
template <class Take>
int readElements(GenericFile* src, long len, long consumed, int maxElements, Take take, uint32_t elementFlags = 0) {
    ASNany el;
    el.flags |= elementFlags;
    for (int n = 0; n < maxElements && consumed < len; n++) {
        long e = readElement(src, len - consumed, el);
        if (e < 1) return static_cast<int>(e);
        int a = take(static_cast<const ASNany&>(el));
        if (a != 1 && a != kSkipElement) return a;
        consumed += e;
    }
    return consumed == len ? 1 : 0;
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
