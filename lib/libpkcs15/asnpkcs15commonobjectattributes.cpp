#include "lib/libpkcs15/asnpkcs15commonobjectattributes.h"

#include <new>

#include "lib/libpkcs15/asnpkcs15common.h"
#include "support/vtest.h"

ASNPkcs15CommonObjectAttributes::ASNPkcs15CommonObjectAttributes(uint32_t t)
    : ASNsequenceF(t), label(0x0C), flags(0x03), authId(0x04), userConsent(0x02), accessControlRules(0x30),
      wasLabel(0), wasFlags(0), wasAuthId(0), wasUserConsent(0), wasAccessControlRules(0),
      m_rawFlags(0x03), m_rawFlagsHeld(0) {}

ASNPkcs15CommonObjectAttributes::ASNPkcs15CommonObjectAttributes(const ASNPkcs15CommonObjectAttributes& o)
    : ASNsequenceF(o), label(0x0C), flags(0x03), authId(0x04), userConsent(0x02), accessControlRules(0x30),
      wasLabel(0), wasFlags(0), wasAuthId(0), wasUserConsent(0), wasAccessControlRules(0),
      m_rawFlags(0x03), m_rawFlagsHeld(0) {
    *this = o;
}

ASNPkcs15CommonObjectAttributes::~ASNPkcs15CommonObjectAttributes() = default;

namespace {
// A flags string that the bit-string decoder refuses but that cards carry: no
// unused-bits octet at all, or only an unused-bits octet of 1 to 127.
bool lenientFlags(const ASNany& el) {
    if (el.getLength() == 0) return true;
    if (el.getLength() == 1) {
        uint8_t b = el.getData()[0];
        return b >= 1 && b <= 127;
    }
    return false;
}
}  // namespace

std::array<asnp15::Member, 5> ASNPkcs15CommonObjectAttributes::members() const {
    auto* t = const_cast<ASNPkcs15CommonObjectAttributes*>(this);
    ASNobject* const shownFlags = useRawFlags() ? static_cast<ASNobject*>(&t->m_rawFlags) : &t->flags;
    return {{{&t->label, &t->wasLabel, 0},
             {shownFlags, &t->wasFlags, 0},
             {&t->authId, &t->wasAuthId, 0},
             {&t->userConsent, &t->wasUserConsent, 0},
             {&t->accessControlRules, &t->wasAccessControlRules, 0}}};
}

int ASNPkcs15CommonObjectAttributes::read_contents(GenericFile* src, long len) {
    clear();
    const auto m = members();
    return asnp15::readElements(src, len, 0, 5, [&](const ASNany& el) {
        const uint8_t id = asnp15::idOf(el);
        if (id != 0x03) {
            const int k = id == 0x0C ? 0 : id == 0x04 || id == 0x24 ? 2 : id == 0x02 ? 3 : id == 0x30 ? 4 : -1;
            return asnp15::takeInOrder(m, k, el);
        }
        if (!asnp15::mayTake(m, 1)) return 0;
        wasFlags = 1;
        int a = flags.assign(el);
        if (a == 0 && lenientFlags(el)) {
            // Kept as received: read as no flag set, written back unchanged.
            flags.clear();
            m_rawFlags = el;
            m_rawFlagsHeld = 1;
            a = 1;
        }
        return a;
    });
}

bool ASNPkcs15CommonObjectAttributes::useRawFlags() const {
    // The octets received stand for the flags until someone sets a flag.
    return m_rawFlagsHeld && flags.getByteLength() == 0;
}

int ASNPkcs15CommonObjectAttributes::write_contents(GenericFile* dst) const {
    return asnp15::writeMembers(dst, members());
}

long ASNPkcs15CommonObjectAttributes::lenOfBody() const { return asnp15::lenOfMembers(members()); }

void ASNPkcs15CommonObjectAttributes::digest_contents(QvHash* hash) const { asnp15::digestMembers(hash, members()); }

void ASNPkcs15CommonObjectAttributes::clear() {
    wasLabel = wasFlags = wasAuthId = wasUserConsent = wasAccessControlRules = 0;
    m_rawFlagsHeld = 0;
    label.clear();
    flags.clear();
    authId.clear();
    userConsent.clear();
    accessControlRules.clear();
}

int ASNPkcs15CommonObjectAttributes::set(const char* lbl, uint64_t fl, const uint8_t* aid, size_t aidLen,
                                         int consent) {
    AssertInvariant((ASNobject::flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonobjectattributes", 120,
                    "!( flags & ASN_FLAG_CONST )");
    try {
        if (lbl == nullptr) {
            wasLabel = 0;
        } else {
            if (label.setText(lbl, -1) != 1) return 0;
            wasLabel = 1;
        }
        if (fl == 0xFFFFFFFFu) {
            wasFlags = 0;
        } else {
            m_rawFlagsHeld = 0;
            flags.setFlags(static_cast<uint32_t>(fl));
            wasFlags = 1;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (aid != nullptr && aidLen != 0) {
        if (authId.set(aid, static_cast<long>(aidLen)) != 1) return 0;
        wasAuthId = 1;
    } else {
        wasAuthId = 0;
    }
    if (consent == 0) {
        wasUserConsent = 0;
    } else {
        try {
            userConsent.setValue(static_cast<uint32_t>(consent));
        } catch (const std::bad_alloc&) {
            return 0;
        }
        wasUserConsent = 1;
    }
    return 1;
}

ASNPkcs15CommonObjectAttributes& ASNPkcs15CommonObjectAttributes::operator=(
    const ASNPkcs15CommonObjectAttributes& o) {
    AssertInvariant((ASNobject::flags & ASN_FLAG_CONST) == 0, "asnpkcs15commonobjectattributes", 175,
                    "!( flags & ASN_FLAG_CONST )");
    if (this == &o) return *this;
    wasLabel = o.wasLabel;
    wasFlags = o.wasFlags;
    wasAuthId = o.wasAuthId;
    wasUserConsent = o.wasUserConsent;
    wasAccessControlRules = o.wasAccessControlRules;
    if (wasLabel) label = o.label;
    if (wasFlags) {
        flags = o.flags;
        m_rawFlagsHeld = o.m_rawFlagsHeld;
        if (m_rawFlagsHeld) m_rawFlags = o.m_rawFlags;
    }
    if (wasAuthId) authId = o.authId;
    if (wasUserConsent) userConsent = o.userConsent;
    if (wasAccessControlRules) accessControlRules = o.accessControlRules;
    return *this;
}

bool ASNPkcs15CommonObjectAttributes::operator==(const ASNPkcs15CommonObjectAttributes& o) const {
    if (wasLabel != o.wasLabel || wasFlags != o.wasFlags || wasAuthId != o.wasAuthId ||
        wasUserConsent != o.wasUserConsent || wasAccessControlRules != o.wasAccessControlRules)
        return false;
    if (wasLabel && label != o.label) return false;
    if (wasFlags) {
        if (useRawFlags() != o.useRawFlags()) return false;
        if (useRawFlags() ? !(m_rawFlags == o.m_rawFlags) : flags != o.flags) return false;
    }
    if (wasAuthId && authId != o.authId) return false;
    if (wasUserConsent && !(userConsent == o.userConsent)) return false;
    if (wasAccessControlRules && accessControlRules != o.accessControlRules) return false;
    return true;
}
