// The global object-identifier constants.
#include "lib/libasn/asnoidconst.h"

#include <new>

#include "support/vtest.h"
#include "support/lasting.h"

namespace {

struct OidEntry {
    const char* name;
    const char* text;
};

const OidEntry kOidEntries[kAsnOidCount] = {
#define MIRTAL_ASN_OID_ENTRY(name, text) {#name, text},
    MIRTAL_ASN_OID_LIST(MIRTAL_ASN_OID_ENTRY)
#undef MIRTAL_ASN_OID_ENTRY
};

// The objects, constructed in list order; as array elements they are destroyed in
// reverse order when the library is unloaded.
class OidTable {
public:
    OidTable() {
        for (int i = 0; i < kAsnOidCount; i++) {
            // The texts are fixed and valid; a failure here is memory exhaustion.
            if (objects[i].setText(kOidEntries[i].text) != 1) throw std::bad_alloc();
        }
    }
    ASNobjectId objects[kAsnOidCount];
};

const OidTable& table() {
    static Lasting<OidTable> t;
    return *t;
}

}  // namespace

const ASNobjectId& asnOidAt(int index) {
    AssertInvariant(index >= 0 && index < kAsnOidCount, "asnoidconst", 1,
                    "index >= 0 && index < kAsnOidCount", nullptr);
    return table().objects[index];
}

const ASNobjectId& asnOid(AsnOid which) { return asnOidAt(static_cast<int>(which)); }

const char* asnOidName(int index) {
    return index >= 0 && index < kAsnOidCount ? kOidEntries[index].name : nullptr;
}

const char* asnOidText(int index) {
    return index >= 0 && index < kAsnOidCount ? kOidEntries[index].text : nullptr;
}
