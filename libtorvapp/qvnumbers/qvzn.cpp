// QvZn: residues in the held form of their modulus.
#include "libtorvapp/qvnumbers/qvzn.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "libtorvapp/qvnumbers/longv_internal.h"

using namespace qvlongv;

QvZn::QvZn() : count(0), modulus(nullptr), arithModulus(nullptr), form(FORM_PLAIN) {}

QvZn::QvZn(const QvZn &o)
    : QvGroupElem(o), value(o.value), count(o.count), modulus(o.modulus), arithModulus(o.arithModulus),
      form(o.form) {}

QvZn::QvZn(QvZn &&o) noexcept
    : value(std::move(o.value)), count(o.count), modulus(o.modulus), arithModulus(o.arithModulus), form(o.form),
      scratch(std::move(o.scratch)) {
    // The moved-from residue is left without a modulus: using it throws.
    o.count = 0;
    o.modulus = nullptr;
    o.arithModulus = nullptr;
}

QvZn::QvZn(const QvModulus *m) : QvZn() {
    bind(m);
    longvZero(value.getData(), count);
}

QvZn::QvZn(const QvN &a, const QvModulus *m) : QvZn() {
    bind(m);
    setPlain(a % *m);
}

QvZn::QvZn(const QvWordMem &words, const QvModulus *m) : QvZn(QvN(words), m) {}

QvZn::QvZn(const QvWord *words, unsigned int cnt, const QvModulus *m) : QvZn(QvN(words, cnt), m) {}

QvZn::QvZn(const QvOctet *oct, unsigned int len, unsigned int flag, const QvModulus *m)
    : QvZn(QvN(oct, len, flag), m) {}

QvZn::QvZn(int a, const QvModulus *m) : QvZn() {
    bind(m);
    const QvWord mag = a < 0 ? (QvWord)(-(std::int64_t)a) : (QvWord)a;
    QvN r = QvN(mag, 1) % *m;
    if (a < 0 && !r.isZero()) r = QvN(*m) - r;
    setPlain(r);
}

QvZn::QvZn(const char *text, const QvModulus *m) : QvZn() {
    bind(m);
    const bool negative = text != nullptr && text[0] == '-';
    QvN r = QvN(negative ? text + 1 : text) % *m;
    if (negative && !r.isZero()) r = QvN(*m) - r;
    setPlain(r);
}

QvZn::~QvZn() {
    modulus = nullptr;
    arithModulus = nullptr;
    form = FORM_PLAIN;
}

void QvZn::bind(const QvModulus *m) {
    if (m == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised modulus pointer or modulus "
            "equel zero.\nFUNCTION: QvZn::QvZn(const QvModulus *m)\nFILE: qvnumbers/zn_construct\nLINE: 0\n");
    modulus = m;
    const unsigned int k = m->getWordCount();
    if (m->mode == QvModulus::MODE_WIDE) {
        form = FORM_WIDE;
        count = k + 1;
        arithModulus = m->wideModulus.getConstData();
    } else {
        form = m->mode == QvModulus::MODE_MONTGOMERY ? FORM_MONTGOMERY : FORM_PLAIN;
        count = k;
        arithModulus = m->getWords();
    }
    value = QvWordMem(count);
}

void QvZn::setPlain(const QvN &v) {
    longvCopyExtend(value.getData(), count, v.getWords(), v.getWordCount());
    enterForm();
}

void QvZn::enterForm() {
    if (form == FORM_MONTGOMERY) mulWords(value.getData(), value.getData(), modulus->r2ModN.getConstData(), nullptr);
    else if (form == FORM_WIDE) mulWords(value.getData(), value.getData(), modulus->r2Wide.getConstData(), nullptr);
}

void QvZn::ensureScratch() {
    if (scratch.getLength() < 2 * count) scratch = QvWordMem(2 * count);
}

bool QvZn::usable() const { return modulus != nullptr && !modulus->isZero(); }

// Operands of different moduli would be read past their words: refused.
void QvZn::checkOperands(const QvZn &b) const {
    if (modulus == nullptr || b.modulus == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised modulus pointer or modulus "
            "equel zero.\nFUNCTION: QvZn::checkOperands(const QvZn &b)\nFILE: qvnumbers/zn_check\nLINE: 0\n");
    if (b.count != count || b.form != form)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Residues of different moduli.\n"
            "FUNCTION: QvZn::checkOperands(const QvZn &b)\nFILE: qvnumbers/zn_check\nLINE: 0\n");
}

const QvWord *QvZn::oneWords() const {
    if (form == FORM_MONTGOMERY) return modulus->rModN.getConstData();
    if (form == FORM_WIDE) return modulus->rWide.getConstData();
    // The plain form of 1 is set with longvSetWord by its users; this word
    // serves only callers that read word 0.
    static const QvWord one[1] = {1};
    return one;
}

void QvZn::mulWords(QvWord *r, const QvWord *a, const QvWord *b, QvWord *s) const {
    QvWordMem local;
    if (s == nullptr) {
        local = QvWordMem(2 * count + 2);
        s = local.getData();
    }
    const bool same = a == b || longvCmp(a, b, count) == 0;
    const QvModulus *M = modulus;
    switch (form) {
        case FORM_MONTGOMERY:
            if (same) M->montSqr(s, a, arithModulus, M->mu, count);
            else M->montMul(s, a, b, arithModulus, M->mu, count);
            break;
        case FORM_WIDE:
            if (same) M->wideSqr(s, a, arithModulus, M->mu, count);
            else M->wideMul(s, a, b, arithModulus, M->mu, count);
            break;
        default:
            if (M->specialSize != 0) {
                if (same) M->specialSqr(s, a);
                else M->specialMul(s, a, b);
            } else {
                longvMul(s, a, count, b, count);
                longvMod(s, 2 * count, arithModulus, count);
            }
            break;
    }
    longvCopy(r, s, count);
}

void QvZn::sqrWords(QvWord *r, const QvWord *a, QvWord *s) const { mulWords(r, a, a, s); }

void QvZn::reduceFully(QvWord *w) const {
    while (longvCmp(w, arithModulus, count) >= 0) longvSub(w, arithModulus, count, 0);
}

QvZn &QvZn::operator=(const QvZn &o) {
    if (this != &o) {
        if (value.getLength() < o.count || count != o.count) value = QvWordMem(o.count);
        longvCopy(value.getData(), o.value.getConstData(), o.count);
        count = o.count;
        modulus = o.modulus;
        arithModulus = o.arithModulus;
        form = o.form;
    }
    return *this;
}

QvZn &QvZn::operator=(QvZn &&o) noexcept {
    if (this != &o) {
        value = std::move(o.value);
        scratch = std::move(o.scratch);
        count = o.count;
        modulus = o.modulus;
        arithModulus = o.arithModulus;
        form = o.form;
        o.count = 0;
        o.modulus = nullptr;
        o.arithModulus = nullptr;
    }
    return *this;
}

QvZn &QvZn::operator=(int a) {
    if (!usable())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised modulus pointer or modulus "
            "equel zero.\nFUNCTION: QvZn& QvZn::operator =(int a)\nFILE: qvnumbers/zn_assign\nLINE: 50\n");
    if (a != 0) *this = QvZn(a, modulus);
    else longvZero(value.getData(), count);
    return *this;
}

// ---------------------------------------------------------------------------
// Addition and subtraction
// ---------------------------------------------------------------------------
QvZn &QvZn::operator+=(const QvZn &b) {
    checkOperands(b);
    QvWord *a = value.getData();
    if (longvAdd(a, b.value.getConstData(), count, 0) != 0) longvSub(a, arithModulus, count, 0);
    reduceFully(a);
    return *this;
}

QvZn &QvZn::operator-=(const QvZn &b) {
    checkOperands(b);
    QvWord *a = value.getData();
    const QvWord *bw = b.value.getConstData();
    reduceFully(a);
    while (longvCmp(a, bw, count) < 0)
        if (longvAdd(a, arithModulus, count, 0) != 0) break;
    longvSub(a, bw, count, 0);
    return *this;
}

QvZn &QvZn::operator++() {
    QvZn one(*this);
    if (form == FORM_PLAIN) longvSetWord(one.value.getData(), count, 1);
    else longvCopy(one.value.getData(), oneWords(), count);
    return *this += one;
}

QvZn QvZn::operator++(int) {
    QvZn old(*this);
    ++*this;
    return old;
}

QvZn &QvZn::operator--() {
    QvZn one(*this);
    if (form == FORM_PLAIN) longvSetWord(one.value.getData(), count, 1);
    else longvCopy(one.value.getData(), oneWords(), count);
    return *this -= one;
}

QvZn QvZn::operator--(int) {
    QvZn old(*this);
    --*this;
    return old;
}

QvZn QvZn::operator-() const {
    QvZn r(*this);
    longvZero(r.value.getData(), count);
    r -= *this;
    return r;
}

// ---------------------------------------------------------------------------
// Multiplication and division
// ---------------------------------------------------------------------------
QvZn &QvZn::operator*=(const QvZn &b) {
    checkOperands(b);
    ensureScratch();
    mulWords(value.getData(), value.getConstData(), b.value.getConstData(), scratch.getData());
    return *this;
}

QvZn &QvZn::operator/=(QvZn b) {
    checkOperands(b);
    QvWord *bw = b.value.getData();
    b.reduceFully(bw);
    if (longvIsZero(bw, count)) {
        QvWordMem a(value);
        reduceFully(a.getData());
        if (longvIsZero(a.getConstData(), count)) return *this;
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\n"
            "FUNCTION: QvZn& QvZn::operator /=(QvZn a)\nFILE: qvnumbers/zn_div\nLINE: 36\n");
    }
    const unsigned int k = modulus->getWordCount();
    if (longvInverseBinaryTc(bw, bw, modulus->getWords(), k) != 0)
        qvThrow<QvInvException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvInvException\nREASON: There is no inversion of number a.v modulo "
            "number n->v.\nFUNCTION: QvZn& QvZn::operator /=(QvZn a)\nFILE: qvnumbers/zn_div\nLINE: 47\n");
    if (count > k) bw[k] = 0;
    ensureScratch();
    QvWord *a = value.getData();
    mulWords(a, a, bw, scratch.getData());
    if (form == FORM_MONTGOMERY) mulWords(a, a, modulus->r3ModN.getConstData(), scratch.getData());
    else if (form == FORM_WIDE) mulWords(a, a, modulus->r3Wide.getConstData(), scratch.getData());
    return *this;
}

// ---------------------------------------------------------------------------
// Equality and conversion
// ---------------------------------------------------------------------------
bool QvZn::operator==(const QvZn &b) const {
    if (form != b.form || count != b.count) return false;
    if (modulus != b.modulus && (modulus == nullptr || b.modulus == nullptr || *modulus != *b.modulus))
        return false;
    if (form != FORM_WIDE) return longvCmp(value.getConstData(), b.value.getConstData(), count) == 0;
    // Two representatives of one residue differ by a multiple of n.
    QvWordMem x(value), y(b.value);
    reduceFully(x.getData());
    reduceFully(y.getData());
    return longvCmp(x.getConstData(), y.getConstData(), count) == 0;
}

bool QvZn::operator==(unsigned int u) const {
    if (modulus == nullptr) return false;
    QvWordMem x(value);
    reduceFully(x.getData());
    if (u == 0) return longvIsZero(x.getConstData(), count) != 0;
    if (u == 1) {
        if (form == FORM_PLAIN) return longvIsOne(x.getConstData(), count) != 0;
        return longvCmp(x.getConstData(), oneWords(), count) == 0;
    }
    return *this == QvZn(QvN(u, 1), modulus);
}

QvN QvZn::asQvN() const {
    if (count == 0) return QvN();
    QvWordMem out(value);
    QvWord *w = out.getData();
    if (form == FORM_MONTGOMERY) {
        longvFromMontgomery(w, w, arithModulus, count);
    } else if (form == FORM_WIDE) {
        reduceFully(w);
        longvFromMontgomery(w, w, arithModulus, count);
    }
    return QvN(w, count);
}

QvConvASCIIHex QvZn::asHexASCII() const {
    QvConvASCIIHex t = asQvN().asHexASCII();
    t += " mod (";
    t += modulus->asHexASCII();
    t += ")";
    return t;
}

QvConvASCIIBin QvZn::asBinASCII() const {
    QvConvASCIIBin t = asQvN().asBinASCII();
    t += " mod (";
    t += modulus->asBinASCII();
    t += ")";
    return t;
}

QvConvASCII QvZn::asDecimalASCII() const {
    QvConvASCII t = asQvN().asDecimalASCII();
    t += " mod (";
    t += modulus->asDecimalASCII();
    t += ")";
    return t;
}

// ---------------------------------------------------------------------------
// Two-operand forms
// ---------------------------------------------------------------------------
QvZn operator+(const QvZn &a, const QvZn &b) { QvZn r(a); return r += b; }
QvZn operator+(const QvZn &a, int b) { QvZn r(a); return r += QvZn(b, a.getModulus()); }
QvZn operator+(int a, const QvZn &b) { QvZn r(a, b.getModulus()); return r += b; }
QvZn operator-(const QvZn &a, const QvZn &b) { QvZn r(a); return r -= b; }
QvZn operator-(const QvZn &a, int b) { QvZn r(a); return r -= QvZn(b, a.getModulus()); }
QvZn operator-(int a, const QvZn &b) { QvZn r(a, b.getModulus()); return r -= b; }
QvZn operator*(const QvZn &a, const QvZn &b) { QvZn r(a); return r *= b; }
QvZn operator*(const QvZn &a, int b) { QvZn r(a); return r *= QvZn(b, a.getModulus()); }
QvZn operator*(int a, const QvZn &b) { QvZn r(a, b.getModulus()); return r *= b; }
QvZn operator/(const QvZn &a, const QvZn &b) { QvZn r(a); return r /= b; }
QvZn operator/(const QvZn &a, int b) { QvZn r(a); return r /= QvZn(b, a.getModulus()); }
QvZn operator/(unsigned int a, const QvZn &b) {
    QvZn r(QvN(a, 1), b.getModulus());
    return r /= b;
}

// ---------------------------------------------------------------------------
// Square roots modulo an odd prime
// ---------------------------------------------------------------------------
namespace {
[[noreturn]] void noSquareRoot() {
    qvThrow<QvArgumentRangeException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: There is no square root of number a "
        "modulo number n.\nFUNCTION: QvZn sqrt(QvZn a)\nFILE: qvnumbers/zn_sqrt\nLINE: 0\n");
}
}  // namespace

QvZn sqrt(const QvZn &a) {
    if (a == 0u) return a;
    const QvModulus *M = a.getModulus();
    const QvN p(*M);
    const QvN av = a.asQvN();
    // A non-residue has no root; the formulas below would return a wrong value.
    if (jacobi(av, p) != 1) noSquareRoot();
    QvZn r(a);
    if ((p.getLowestWord() & 3) == 3) {
        r ^= (p + 1u) >> 2;
    } else {
        // Tonelli-Shanks with a small prime non-residue z; a modulus that is
        // not prime may have none, so the search is bounded.
        QvWord z = 2;
        while (jacobi(QvN(z, 1), p) != -1) {
            do {
                ++z;
            } while (!isPrimeWord(z));
            if (z > 65536) noSquareRoot();
        }
        QvN qv = p - 1u;
        unsigned int s = 0;
        while (qv.isEven()) {
            qv >>= 1;
            ++s;
        }
        QvZn c = QvZn(QvN(z, 1), M) ^ qv;
        r = a ^ ((qv - 1u) >> 1);
        QvZn t = a * r * r;
        r *= a;
        while (!(t == 1u)) {
            unsigned int i = 0;
            QvZn t2(t);
            while (!(t2 == 1u)) {
                t2 *= t2;
                if (++i >= s) noSquareRoot();
            }
            QvZn b(c);
            for (unsigned int j = 0; j + i + 1 < s; ++j) b *= b;
            c = b * b;
            r *= b;
            s = i;
            t *= c;
        }
    }
    if (!(r * r == a)) noSquareRoot();
    return r;
}
