// The second set of object-identifier constants.
#include "keys/oidconst2.h"

#include <new>

#include "support/lasting.h"
#include "support/vtest.h"

namespace {

struct Oid2Entry {
    const char* name;
    const char* text;
};

const Oid2Entry kOid2Entries[kAsnOid2Count] = {
#define MIRTAL_ASN_OID2_ENTRY(name, text) {#name, text},
    MIRTAL_ASN_OID2_LIST(MIRTAL_ASN_OID2_ENTRY)
#undef MIRTAL_ASN_OID2_ENTRY
};

// Constructed in list order; as array elements they are destroyed in reverse.
class Oid2Table {
public:
    Oid2Table() {
        for (int i = 0; i < kAsnOid2Count; i++) {
            // The texts are fixed and valid; a failure here is memory exhaustion.
            if (objects[i].setText(kOid2Entries[i].text) != 1) throw std::bad_alloc();
        }
    }
    ASNobjectId objects[kAsnOid2Count];
};

const Oid2Table& table() {
    static Lasting<Oid2Table> t;
    return *t;
}

}  // namespace

const ASNobjectId& asnOid2At(int index) {
    AssertInvariant(index >= 0 && index < kAsnOid2Count, "oidconst2", 1,
                    "index >= 0 && index < kAsnOid2Count", nullptr);
    return table().objects[index];
}

const ASNobjectId& asnOid2(AsnOid2 which) { return asnOid2At(static_cast<int>(which)); }

const char* asnOid2Name(int index) {
    return index >= 0 && index < kAsnOid2Count ? kOid2Entries[index].name : nullptr;
}

const char* asnOid2Text(int index) {
    return index >= 0 && index < kAsnOid2Count ? kOid2Entries[index].text : nullptr;
}

int asnOid2IndexOf(const ASNobjectId* constant) {
    if (!constant) return -1;
    const ASNobjectId* first = &table().objects[0];
    for (int i = 0; i < kAsnOid2Count; i++)
        if (first + i == constant) return i;
    return -1;
}
