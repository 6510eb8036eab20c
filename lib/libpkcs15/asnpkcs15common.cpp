#include "lib/libpkcs15/asnpkcs15common.h"

namespace asnp15 {

long readElement(GenericFile* src, long left, ASNany& el) {
    el.clear();
    if (left < 2) return 0;
    return el.read(src, left, 0);
}

void makeImplicit(ASNobject& m, uint8_t ctxTag) {
    m.flags &= ~(ASN_FLAG_EXPLICIT | ASN_FLAG_EXPL_INDEF);
    m.tag = ctxTag;
    m.flags |= ASN_FLAG_CLASSTAG;
    if ((ctxTag & ASN_CONSTRUCTED) != 0) m.flags |= ASN_FLAG_CONSTR;
}

void makeExplicit(ASNobject& m, uint8_t ctxTag) {
    makeImplicit(m, ctxTag);
    m.setExplicitTag();
}

int assignEitherForm(ASNobject& m, uint8_t ctxTag, const ASNany& el) {
    bool wasExplicit = m.isExplicit();
    int r = m.assign(el);
    if (r != 0) return r;
    if (wasExplicit)
        makeImplicit(m, ctxTag);
    else
        makeExplicit(m, ctxTag);
    r = m.assign(el);
    if (r != 1) {
        // Back to the form it had, so a failed record does not change its writing.
        if (wasExplicit)
            makeExplicit(m, ctxTag);
        else
            makeImplicit(m, ctxTag);
    }
    return r;
}

}  // namespace asnp15
