// The PKCS#15 object template PKCS15Object {C, S, T}: common object attributes,
// class attributes C, optional [0] sub-class attributes S and [1] type attributes
// T. Every record of an object directory file is one instance.
#pragma once

#include <cstdint>
#include <new>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libpkcs15/asnpkcs15common.h"
#include "lib/libpkcs15/asnpkcs15commonobjectattributes.h"
#include "support/ptrlist.h"
#include "support/vtest.h"

namespace asnp15 {

// The implicit form of a [n] member: context class, constructed when the member's
// type always is.
inline uint8_t contextTagFor(const ASNobject& m, uint8_t n) {
    uint8_t d = const_cast<ASNobject&>(m).defaultTag();
    return static_cast<uint8_t>(0x80 | n | (d != TAG_ANY ? (d & ASN_CONSTRUCTED) : 0));
}

inline bool isChoice(const ASNobject& m) { return dynamic_cast<const ASNchoice*>(&m) != nullptr; }

// A [n] member in explicit tagging: [n] around the member's own TLV.
inline void setMemberExplicit(ASNobject& m, uint8_t n) {
    if (isChoice(m)) {
        m.setTag(static_cast<uint8_t>(0xA0 | n));
        m.setExplicitTag();
    } else {
        makeExplicit(m, contextTagFor(m, n));
    }
}

// A [n] member in implicit tagging: the member's identifier replaced by [n].
inline void setMemberImplicit(ASNobject& m, uint8_t n) {
    if (isChoice(m))
        m.resetExplicitTag();
    else
        makeImplicit(m, contextTagFor(m, n));
}

// Assigns el into a [n] member in its present tagging, and once more in the other
// tagging when that gives exactly 0.
inline int assignTaggedMember(ASNobject& m, uint8_t n, const ASNany& el) {
    bool wasExplicit = m.isExplicit();
    int r = m.assign(el);
    if (r != 0) return r;
    if (wasExplicit)
        setMemberImplicit(m, n);
    else
        setMemberExplicit(m, n);
    return m.assign(el);
}

}  // namespace asnp15

template <class C, class S, class T>
class ASNPkcs15Object : public ASNsequenceF {
public:
    explicit ASNPkcs15Object(uint32_t tag = 0)
        : ASNsequenceF(tag), commonObjectAttributes(0x30), classAttributes(0x30), subClassAttributes(0x80),
          typeAttributes(0x81), wasSubClassAttributes(0) {
        asnp15::setMemberExplicit(subClassAttributes, 0);
        asnp15::setMemberExplicit(typeAttributes, 1);
    }
    ASNPkcs15Object(const ASNPkcs15Object& other) : ASNPkcs15Object(0x30) {
        tag = other.tag;
        *this = other;
    }
    ~ASNPkcs15Object() override = default;

    int read_contents(GenericFile* src, long len) override {
        clear();
        const auto m = members();
        const long consumed = asnp15::readLeading(src, len, m, 2);
        if (consumed < 1) return static_cast<int>(consumed);
        if (consumed >= len) return 0;  // the type attributes are mandatory
        uint8_t sawType = 0;
        int r = asnp15::readElements(src, len, consumed, 2, [&](const ASNany& el) {
            // The [0] and [1] members are tried in either tagging (choices too).
            const uint8_t id = static_cast<uint8_t>(el.tag & 0xDF);
            if (id == 0x80 && !wasSubClassAttributes && !sawType) {
                wasSubClassAttributes = 1;
                return asnp15::assignTaggedMember(subClassAttributes, 0, el);
            }
            if (id == 0x81 && !sawType) {
                sawType = 1;
                return asnp15::assignTaggedMember(typeAttributes, 1, el);
            }
            return 0;
        });
        if (r != 1) return r;
        return sawType ? 1 : 0;
    }

    int write_contents(GenericFile* dst) const override { return asnp15::writeMembers(dst, members()); }
    long lenOfBody() const override { return asnp15::lenOfMembers(members()); }
    void digest_contents(QvHash* hash) const override { asnp15::digestMembers(hash, members()); }

    void clear() override {
        commonObjectAttributes.clear();
        classAttributes.clear();
        subClassAttributes.clear();
        typeAttributes.clear();
        asnp15::setMemberExplicit(subClassAttributes, 0);
        asnp15::setMemberExplicit(typeAttributes, 1);
        wasSubClassAttributes = 0;
    }

    ASNPkcs15Object& operator=(const ASNPkcs15Object& other) {
        AssertInvariant((flags & ASN_FLAG_CONST) == 0, "asnpkcs15object", 160, "!( flags & ASN_FLAG_CONST )");
        if (this == &other) return *this;
        wasSubClassAttributes = other.wasSubClassAttributes;
        commonObjectAttributes = other.commonObjectAttributes;
        classAttributes = other.classAttributes;
        if (wasSubClassAttributes) {
            subClassAttributes = other.subClassAttributes;
            copyForm(subClassAttributes, other.subClassAttributes, 0);
        }
        typeAttributes = other.typeAttributes;
        copyForm(typeAttributes, other.typeAttributes, 1);
        return *this;
    }

    bool operator==(const ASNPkcs15Object& other) const {
        if (wasSubClassAttributes != other.wasSubClassAttributes) return false;
        if (!(commonObjectAttributes == other.commonObjectAttributes)) return false;
        if (!(classAttributes == other.classAttributes)) return false;
        if (!(typeAttributes == other.typeAttributes)) return false;
        if (wasSubClassAttributes && !(subClassAttributes == other.subClassAttributes)) return false;
        return true;
    }

    ASNPkcs15CommonObjectAttributes commonObjectAttributes;
    C classAttributes;
    S subClassAttributes;
    T typeAttributes;
    uint8_t wasSubClassAttributes;

private:
    std::array<asnp15::Member, 4> members() const {
        auto* t = const_cast<ASNPkcs15Object*>(this);
        return {{{&t->commonObjectAttributes, nullptr, 0},
                 {&t->classAttributes, nullptr, 0},
                 {&t->subClassAttributes, &t->wasSubClassAttributes, 0},
                 {&t->typeAttributes, nullptr, 0}}};
    }
    static void copyForm(ASNobject& dst, const ASNobject& src, uint8_t n) {
        if (src.isExplicit())
            asnp15::setMemberExplicit(dst, n);
        else
            asnp15::setMemberImplicit(dst, n);
    }
};

// The secret-key objects: the template with common secret-key attributes as the
// sub-class; a type of their own for the secret-key record.
template <class T>
class ASNPkcs15SecretKeyObject;

// Appends a new authentication object (built with 0x30) to an owning list; NULL
// when the list cannot take it.
template <class Obj>
Obj* ASNPkcs15AddNew(TypedPointerList<Obj>& list) {
    Obj* o = new Obj(0x30);
    try {
        if (list.AddTail(o) == nullptr) {
            delete o;
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        delete o;
        return nullptr;
    }
    return o;
}
