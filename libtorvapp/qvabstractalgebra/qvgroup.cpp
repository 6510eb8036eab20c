// Generic group operations built from the primitive ones.
#include "libtorvapp/qvabstractalgebra/qvgroup.h"

#include <memory>
#include <new>
#include <vector>

QvGroupElem::~QvGroupElem() {}

QvGroup::~QvGroup() {}

QvAbelianGroup::~QvAbelianGroup() {}

namespace {

struct ElemDel {
    void operator()(QvGroupElem *e) const { delete e; }
};
typedef std::unique_ptr<QvGroupElem, ElemDel> Elem;

// Owns the entries of a table; entries may stay null.
class ElemTable {
public:
    ElemTable(std::size_t n, const char *file, const char *line) : entries(nullptr), size(n) {
        entries = new (std::nothrow) QvGroupElem *[n];
        if (entries == nullptr) throw QvMemException(n * sizeof(QvGroupElem *), file, line);
        for (std::size_t i = 0; i < n; ++i) entries[i] = nullptr;
    }
    ~ElemTable() {
        for (std::size_t i = 0; i < size; ++i) delete entries[i];
        delete[] entries;
    }
    QvGroupElem *&operator[](std::size_t i) { return entries[i]; }

private:
    QvGroupElem **entries;
    std::size_t size;
};

// Bits [pos, pos + w) of k.
unsigned int digitAt(const QvN &k, unsigned int pos, unsigned int w) {
    unsigned int d = 0;
    for (unsigned int b = 0; b < w; ++b) d |= (unsigned int)k.getBit(pos + b) << b;
    return d;
}

}  // namespace

unsigned int qvGroupWindowWidth(unsigned int L) {
    const unsigned long long s = (unsigned long long)L + L / 2;
    if (s <= 3) return 1;
    unsigned int j = 2;
    while (!(s < ((unsigned long long)j * j << (j + 1)))) ++j;
    const unsigned long long c1 = (1ull << (j - 1)) + L / (j - 1);
    const unsigned long long c2 = (1ull << j) + L / j;
    return c1 < c2 ? j - 1 : j;
}

unsigned int qvAbelianGroupWindowWidth(unsigned int L) {
    const unsigned long long s = (unsigned long long)L + L / 2;
    if (s <= 3) return 1;
    unsigned int j = 2;
    // The shift count is taken modulo 32, as in a 32-bit shift.
    while (!(s < ((unsigned long long)j * j << ((j * j + 1) % 32)))) ++j;
    const unsigned long long c1 = (1ull << (2 * (j - 1))) + L / (j - 1);
    const unsigned long long c2 = (1ull << (2 * j)) + L / j;
    return c1 < c2 ? j - 1 : j;
}

void QvGroup::add(QvGroupElem *r, const QvGroupElem *a, const QvGroupElem *b) const {
    if (a == b) {
        assignElement(r, a);
        doubleInPlace(r);
    } else if (r == b) {
        // r would be overwritten before b is read.
        Elem t(newElement(b));
        assignElement(r, a);
        addInPlace(r, t.get());
    } else {
        assignElement(r, a);
        addInPlace(r, b);
    }
}

void QvGroup::negate(QvGroupElem *r, const QvGroupElem *a) const {
    assignElement(r, a);
    negateInPlace(r);
}

void QvGroup::subtract(QvGroupElem *r, const QvGroupElem *a, const QvGroupElem *b) const {
    if (a == b) {
        assignElement(r, nullptr);
    } else if (r == b) {
        Elem t(newElement(b));
        assignElement(r, a);
        subtractInPlace(r, t.get());
    } else {
        assignElement(r, a);
        subtractInPlace(r, b);
    }
}

void QvGroup::multiplyWord(QvGroupElem *r, QvWord w, const QvGroupElem *a) const {
    Elem t(newElement(a));
    assignElement(r, nullptr);
    while (w != 0) {
        if (w & 1) addInPlace(r, t.get());
        w >>= 1;
        if (w != 0) doubleInPlace(t.get());
    }
}

void QvGroup::multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *a) const {
    const unsigned int L = k.getBitLength();
    const unsigned int w = qvGroupWindowWidth(L);
    const unsigned int entries = 1u << w;
    ElemTable table(entries, "qvabstractalgebra/qvgroup", "101");
    table[1] = newElement(a);
    for (unsigned int i = 2; i < entries; ++i) table[i] = sum(table[i - 1], a);
    assignElement(r, nullptr);
    for (unsigned int i = (L + w - 1) / w; i-- > 0;) {
        for (unsigned int j = 0; j < w; ++j) doubleInPlace(r);
        const unsigned int d = digitAt(k, i * w, w);
        if (d != 0) addInPlace(r, table[d]);
    }
}

void QvGroup::multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                          const QvGroupElem *a2) const {
    if (a1 == a2) {
        multiply(r, k1 + k2, a1);
        return;
    }
    Elem t(product(k2, a2));
    multiply(r, k1, a1);
    addInPlace(r, t.get());
}

QvGroupElem *QvGroup::sum(const QvGroupElem *a, const QvGroupElem *b) const {
    Elem r(newElement(a));
    if (a == b) doubleInPlace(r.get());
    else addInPlace(r.get(), b);
    return r.release();
}

QvGroupElem *QvGroup::negative(const QvGroupElem *a) const {
    Elem r(newElement(a));
    negateInPlace(r.get());
    return r.release();
}

QvGroupElem *QvGroup::difference(const QvGroupElem *a, const QvGroupElem *b) const {
    if (a == b) return newElement(nullptr);
    Elem r(newElement(a));
    subtractInPlace(r.get(), b);
    return r.release();
}

QvGroupElem *QvGroup::productWord(QvWord w, const QvGroupElem *a) const {
    Elem r(newElement(nullptr));
    multiplyWord(r.get(), w, a);
    return r.release();
}

QvGroupElem *QvGroup::product(const QvN &k, const QvGroupElem *a) const {
    Elem r(newElement(nullptr));
    multiply(r.get(), k, a);
    return r.release();
}

QvGroupElem *QvGroup::productTwo(const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                                 const QvGroupElem *a2) const {
    Elem r(newElement(nullptr));
    multiplyTwo(r.get(), k1, a1, k2, a2);
    return r.release();
}

void QvAbelianGroup::multiplyTwo(QvGroupElem *r, const QvN &k1, const QvGroupElem *a1, const QvN &k2,
                                 const QvGroupElem *a2) const {
    if (a1 == a2) {
        multiply(r, k1 + k2, a1);
        return;
    }
    const bool firstLarger = k1 > k2;
    const QvN &E = firstLarger ? k1 : k2;
    const QvN &F = firstLarger ? k2 : k1;
    const QvGroupElem *A = firstLarger ? a1 : a2;
    const QvGroupElem *B = firstLarger ? a2 : a1;
    const unsigned int L = E.getBitLength(), LF = F.getBitLength();
    const unsigned int w = qvAbelianGroupWindowWidth(L);
    const unsigned int T = 1u << w;
    ElemTable table((std::size_t)T * T, "qvabstractalgebra/qvabeliangroup", "96");
    table[0] = newElement(nullptr);
    for (unsigned int i = 1; i < T; ++i) table[i] = sum(table[i - 1], A);
    for (unsigned int j = 1; j < T; ++j)
        for (unsigned int i = 0; i < T; ++i) table[i + j * T] = sum(table[i + (j - 1) * T], B);
    assignElement(r, nullptr);
    const unsigned int nE = (L + w - 1) / w, nF = (LF + w - 1) / w;
    for (unsigned int i = nE; i-- > 0;) {
        for (unsigned int j = 0; j < w; ++j) doubleInPlace(r);
        unsigned int d = digitAt(E, i * w, w);
        if (i < nF) d += digitAt(F, i * w, w) * T;
        if (d != 0) addInPlace(r, table[d]);
    }
}
