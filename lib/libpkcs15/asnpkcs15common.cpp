#include "lib/libpkcs15/asnpkcs15common.h"

#include "support/memfile.h"

namespace asnp15 {

long readElement(GenericFile* src, long left, ASNany& el) {
    el.clear();
    if (left < 2) return 0;
    return el.read(src, left, 0);
}

int assignContents(ASNobject& m, const ASNany& el) {
    const long n = el.getLength();
    const uint8_t* d = el.getData();
    if (n > 0 && d == nullptr) return EASN_FILE;
    MemFile view(d, static_cast<size_t>(n), false);
    m.clear();
    int r = m.read_contents(&view, n);
    if (r != 1) return r;
    return view.Tell() == n ? 1 : 0;
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

void makeForm(ASNobject& m, uint8_t ctxTag, bool explicitForm) {
    if (explicitForm)
        makeExplicit(m, ctxTag);
    else
        makeImplicit(m, ctxTag);
}

int assignEitherForm(ASNobject& m, uint8_t ctxTag, const ASNany& el) {
    bool wasExplicit = m.isExplicit();
    int r = m.assign(el);
    if (r != 0) return r;
    makeForm(m, ctxTag, !wasExplicit);
    r = m.assign(el);
    // Back to the form it had, so a failed record does not change its writing.
    if (r != 1) makeForm(m, ctxTag, wasExplicit);
    return r;
}

int writeMembers(GenericFile* dst, const Member* m, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (!isThere(m[i])) continue;
        int r = writeMember(*m[i].object, dst);
        if (r != 1) return r;
    }
    return 1;
}

long lenOfMembers(const Member* m, size_t n) {
    long s = 0;
    for (size_t i = 0; i < n; i++)
        if (isThere(m[i])) s += m[i].object->lenOfObject();
    return s;
}

void digestMembers(QvHash* hash, const Member* m, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (isThere(m[i])) m[i].object->digestObject(hash);
}

void clearMembers(const Member* m, size_t n) {
    for (size_t i = 0; i < n; i++) {
        m[i].object->clear();
        if (m[i].present != nullptr) *m[i].present = 0;
    }
}

void copyPresence(const Member* dst, const Member* src, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (dst[i].present != nullptr) *dst[i].present = *src[i].present;
}

bool samePresence(const Member* a, const Member* b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (a[i].present != nullptr && *a[i].present != *b[i].present) return false;
    return true;
}

long readLeading(GenericFile* src, long len, const Member* m, size_t n) {
    long consumed = 0;
    for (size_t i = 0; i < n; i++) {
        long r = m[i].object->read(src, len - consumed, 0);
        if (r < 1) return r;
        consumed += r;
        if (consumed > len) return 0;
    }
    return consumed;
}

int readTail(GenericFile* src, long len, long consumed, const Member& m) {
    if (consumed == len) return 1;
    if (consumed > len) return 0;
    long r = m.object->read(src, len - consumed, 0);
    if (r < 1) return static_cast<int>(r);
    if (m.present != nullptr) *m.present = 1;
    return consumed + r == len ? 1 : 0;
}

bool mayTake(const Member* m, size_t n, int k) {
    if (k < 0 || static_cast<size_t>(k) >= n) return false;
    for (size_t j = static_cast<size_t>(k); j < n; j++)
        if (m[j].present != nullptr && *m[j].present) return false;
    return true;
}

int takeInOrder(const Member* m, size_t n, int k, const ASNany& el) {
    if (!mayTake(m, n, k)) return 0;
    const Member& t = m[k];
    const int r = t.eitherForm != 0 ? assignEitherForm(*t.object, t.eitherForm, el) : t.object->assign(el);
    if (t.present != nullptr) *t.present = 1;
    return r;
}

}  // namespace asnp15
