// Curves over six fixed primes: word routines, curve and point.
#include "libtorvapp/qvcryptoep/qvcryptoep.h"

#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "libtorvapp/qvep/qvepfield.h"
#include "libtorvapp/qvnumbers/montgomery.h"

namespace {

// One family member per prime: n words, the prime, its product kernels and
// its fast reduction.  Every x handed to negate, multiply and square is a
// slot with 2n scratch words behind its value.
template <unsigned int N, const QvWord *P, void (*MUL)(QvWord *, const QvWord *, const QvWord *),
          void (*SQR)(QvWord *, const QvWord *), void (*RED)(QvWord *)>
struct Field {
    static void copy(QvWord *x, const QvWord *y) {
        for (unsigned int i = 0; i < N; ++i) x[i] = y[i];
    }
    static bool equal(const QvWord *x, const QvWord *y) {
        for (unsigned int i = 0; i < N; ++i)
            if (x[i] != y[i]) return false;
        return true;
    }
    static bool isZero(const QvWord *x) {
        QvWord o = 0;
        for (unsigned int i = 0; i < N; ++i) o |= x[i];
        return o == 0;
    }
    static bool isOne(const QvWord *x) {
        QvWord o = x[0] ^ 1u;
        for (unsigned int i = 1; i < N; ++i) o |= x[i];
        return o == 0;
    }
    static void negate(QvWord *x) { qvepfield::negModFixed<N>(x, P); }
    static void add(QvWord *x, const QvWord *y) { qvepfield::addModFixed<N>(x, y, P); }
    static void subtract(QvWord *x, const QvWord *y) { qvepfield::subModFixed<N>(x, y, P); }
    static void multiply(QvWord *x, const QvWord *y) {
        MUL(x + N, x, y);
        RED(x + N);
        copy(x, x + N);
    }
    static void square(QvWord *x) {
        SQR(x + N, x);
        RED(x + N);
        copy(x, x + N);
    }
};

typedef Field<5, QV_PRIME_P160, longvMul5, longvSqr5, longvModP160> F160;
typedef Field<6, QV_PRIME_P192, longvMul6, longvSqr6, longvModP192> F192;
typedef Field<7, QV_PRIME_P224, longvMul7, longvSqr7, longvModP224> F224;
typedef Field<8, QV_PRIME_P256, longvMul8, longvSqr8, longvModP256> F256;
typedef Field<12, QV_PRIME_P384, longvMul12, longvSqr12, longvModP384> F384;
typedef Field<17, QV_PRIME_P521, longvMul17, longvSqr17, longvModP521> F521;

const QvCryptoEpPoint *pt(const QvGroupElem *e) { return static_cast<const QvCryptoEpPoint *>(e); }
QvCryptoEpPoint *pt(QvGroupElem *e) { return static_cast<QvCryptoEpPoint *>(e); }

enum { SX = 0, SY = 1, SZ = 2, S1 = 3, S2 = 4, S3 = 5, S4 = 6, SLOTS = 7 };

QvN wordsToN(const QvWordMem &w, unsigned int n) { return QvN(w.getConstData(), n); }

[[noreturn]] void pointNotInitialised() {
    qvThrow<QvNotInitException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Elliptic Curve not initialised.\n"
        "FUNCTION: void QvCryptoEp::checkPoint(const QvCryptoEpPoint *r) const\nFILE: qvcryptoep/cryptoep_group\n"
        "LINE: 0\n");
}

// Owns a scalar's digit array and wipes it: the digits tell the scalar.
class DigitBuffer {
public:
    explicit DigitBuffer(unsigned int count) : d(new (std::nothrow) QvWord[count]), n(count) {
        if (d == nullptr) throw QvMemException((std::uint64_t)count * sizeof(QvWord), "qvcryptoep/cryptoep_group", "50");
        for (unsigned int i = 0; i < n; ++i) d[i] = 0;
    }
    ~DigitBuffer() {
        volatile QvWord *v = d;
        for (unsigned int i = 0; i < n; ++i) v[i] = 0;
        delete[] d;
    }
    DigitBuffer(const DigitBuffer &) = delete;
    DigitBuffer &operator=(const DigitBuffer &) = delete;
    QvWord *get() { return d; }

private:
    QvWord *d;
    unsigned int n;
};

}  // namespace

// ---------------------------------------------------------------------------
// Curve
// ---------------------------------------------------------------------------
QvCryptoEp::QvCryptoEp()
    : fieldCopy(nullptr), fieldEqual(nullptr), fieldIsZero(nullptr), fieldIsOne(nullptr), fieldNegate(nullptr),
      fieldAdd(nullptr), fieldSubtract(nullptr), fieldMultiply(nullptr), fieldSquare(nullptr), n(0), stride(0),
      aIsMinus3(0) {}

QvCryptoEp::QvCryptoEp(const QvOctet *ao, unsigned int aLen, const QvOctet *bo, unsigned int bLen, const QvOctet *po,
                       unsigned int pLen)
    : QvCryptoEp() {
    build(QvN(ao, aLen, 0), QvN(bo, bLen, 0), QvN(po, pLen, 0));
}

QvCryptoEp::QvCryptoEp(const char *at, const char *bt, const char *ptx) : QvCryptoEp() {
    build(QvN(at), QvN(bt), QvN(ptx));
}

QvCryptoEp::QvCryptoEp(const QvCryptoEp &o) : QvCryptoEp() { *this = o; }

QvCryptoEp &QvCryptoEp::operator=(const QvCryptoEp &o) {
    if (this == &o) return *this;
    if (o.fieldCopy == nullptr) {
        fieldCopy = nullptr;
        fieldEqual = nullptr;
        fieldIsZero = fieldIsOne = nullptr;
        fieldNegate = fieldSquare = nullptr;
        fieldAdd = fieldSubtract = fieldMultiply = nullptr;
        modulus = QvModulus();
        n = stride = 0;
        half = a = b = QvWordMem();
        aIsMinus3 = 0;
        return *this;
    }
    build(wordsToN(o.a, o.n), wordsToN(o.b, o.n), o.modulus);
    aIsMinus3 = o.aIsMinus3;
    return *this;
}

QvCryptoEp::~QvCryptoEp() {}

void QvCryptoEp::build(const QvN &av, const QvN &bv, const QvN &p) {
    modulus = QvModulus(p, 0);
    n = (p.getOctetLength() + 3) / 4;
    const QvZn hz((p + 1u) >> 1, &modulus), az(av, &modulus), bz(bv, &modulus);
    half = QvWordMem(n);
    a = QvWordMem(n);
    b = QvWordMem(n);
    longvCopyExtend(half.getData(), n, hz.getWords()->getConstData(), hz.getCount());
    longvCopyExtend(a.getData(), n, az.getWords()->getConstData(), az.getCount());
    longvCopyExtend(b.getData(), n, bz.getWords()->getConstData(), bz.getCount());
    stride = 3 * n;
    aIsMinus3 = (p >= 3u && av == p - 3u) ? 1 : 0;
    setField(p);
}

void QvCryptoEp::setField(const QvN &prime) {
#define QV_INSTALL(F)                   \
    fieldCopy = F::copy;                \
    fieldEqual = F::equal;              \
    fieldIsZero = F::isZero;            \
    fieldIsOne = F::isOne;              \
    fieldNegate = F::negate;            \
    fieldAdd = F::add;                  \
    fieldSubtract = F::subtract;        \
    fieldMultiply = F::multiply;        \
    fieldSquare = F::square;            \
    return;
    const unsigned int c = prime.getWordCount();
    const QvWord *w = prime.getWords();
    if (c == 5 && longvCmp(w, QV_PRIME_P160, 5) == 0) { QV_INSTALL(F160) }
    if (c == 6 && longvCmp(w, QV_PRIME_P192, 6) == 0) { QV_INSTALL(F192) }
    if (c == 7 && longvCmp(w, QV_PRIME_P224, 7) == 0) { QV_INSTALL(F224) }
    if (c == 8 && longvCmp(w, QV_PRIME_P256, 8) == 0) { QV_INSTALL(F256) }
    if (c == 12 && longvCmp(w, QV_PRIME_P384, 12) == 0) { QV_INSTALL(F384) }
    if (c == 17 && longvCmp(w, QV_PRIME_P521, 17) == 0) { QV_INSTALL(F521) }
#undef QV_INSTALL
    qvThrow<QvLibNotImplementedException>(
        "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\nREASON: There is no special implementation "
        "for this prime field.\nFUNCTION: void QvCryptoEp::setField(const QvN &prime)\nFILE: "
        "qvcryptoep/qvcryptoep\nLINE: 90\n");
}

unsigned int QvCryptoEp::getA(QvOctet *oct, unsigned int len) const {
    const unsigned int L = getFieldOctets();
    if (len < L)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvCryptoEp::getA(QvOctet *oct, unsigned int len) const\nFILE: "
            "qvcryptoep/cryptoep_access\nLINE: 20\n");
    wordsToN(a, n).asOctetString(oct, L, true);
    return L;
}

unsigned int QvCryptoEp::getB(QvOctet *oct, unsigned int len) const {
    const unsigned int L = getFieldOctets();
    if (len < L)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvCryptoEp::getB(QvOctet *oct, unsigned int len) const\nFILE: "
            "qvcryptoep/cryptoep_access\nLINE: 34\n");
    wordsToN(b, n).asOctetString(oct, L, true);
    return L;
}

void QvCryptoEp::checkPoint(const QvCryptoEpPoint *r) const {
    if (r->curve == nullptr || r->words.getLength() < SLOTS * stride) pointNotInitialised();
}

bool QvCryptoEp::isOnCurve(const QvCryptoEpPoint &P) const {
    checkPoint(&P);
    if (P.isNeutral()) return true;
    const QvZn X(P.slot(SX), n, &modulus), Y(P.slot(SY), n, &modulus), Z(P.slot(SZ), n, &modulus);
    const QvZn A(a.getConstData(), n, &modulus), B(b.getConstData(), n, &modulus);
    const QvZn Z2 = Z * Z;
    const QvZn Z4 = Z2 * Z2;
    return Y * Y == (X * X + A * Z4) * X + B * Z4 * Z2;
}

void QvCryptoEp::affine(const QvCryptoEpPoint *P, QvN *x, QvN *y) const {
    const QvZn Z(P->slot(SZ), n, &modulus);
    const QvZn i = 1u / Z;
    const QvZn i2 = i * i;
    *x = (QvZn(P->slot(SX), n, &modulus) * i2).asQvN();
    if (y != nullptr) *y = (QvZn(P->slot(SY), n, &modulus) * i2 * i).asQvN();
}

// The same points with Z = 1, through one inversion (Montgomery's trick):
// additions of an operand with Z = 1 skip five multiplications.  Nothing
// changes when one of the points is neutral.
void QvCryptoEp::normalise(QvGroupElem **pts, unsigned int count) const {
    if (count == 0) return;
    for (unsigned int i = 0; i < count; ++i)
        if (pt(pts[i])->isNeutral()) return;
    // prefix[i] = Z0 * ... * Zi, each in a slot-sized buffer.
    QvWordMem prefix(count * stride);
    QvWordMem work(2 * stride);
    QvWord *inv = work.getData(), *u = work.getData() + stride;
    auto pre = [&](unsigned int i) { return prefix.getData() + i * stride; };
    fieldCopy(pre(0), pt(pts[0])->slot(SZ));
    for (unsigned int i = 1; i < count; ++i) {
        fieldCopy(pre(i), pre(i - 1));
        fieldMultiply(pre(i), pt(pts[i])->slot(SZ));
    }
    const QvZn total(pre(count - 1), n, &modulus);
    const QvZn totalInv = 1u / total;
    longvCopyExtend(inv, n, totalInv.getWords()->getConstData(), totalInv.getCount());
    for (unsigned int i = count; i-- > 0;) {
        QvCryptoEpPoint *P = pt(pts[i]);
        // u = 1 / Zi; inv becomes 1 / (Z0 ... Z(i-1)).
        fieldCopy(u, inv);
        if (i > 0) {
            fieldMultiply(u, pre(i - 1));
            fieldMultiply(inv, P->slot(SZ));
        }
        QvWord *X = P->slot(SX), *Y = P->slot(SY), *Z = P->slot(SZ), *T = P->slot(S1);
        fieldCopy(T, u);
        fieldSquare(T);
        fieldMultiply(X, T);
        fieldMultiply(T, u);
        fieldMultiply(Y, T);
        longvSetWord(Z, n, 1);
    }
    longvZero(prefix.getData(), count * stride);
    longvZero(work.getData(), 2 * stride);
}

// ---------------------------------------------------------------------------
// Group operations
// ---------------------------------------------------------------------------
void QvCryptoEp::assignElement(QvGroupElem *r, const QvGroupElem *e) const {
    if (e == nullptr) {
        QvCryptoEpPoint neutral(this);
        *pt(r) = neutral;
    } else {
        *pt(r) = *pt(e);
    }
}

void QvCryptoEp::assignOctets(QvGroupElem *r, const QvOctet *octets, unsigned int length) const {
    std::unique_ptr<QvGroupElem> t(createNew(octets, length));
    assignElement(r, t.get());
}

void QvCryptoEp::multiply(QvGroupElem *r, const QvN &k, const QvGroupElem *e) const {
    const QvCryptoEpPoint *P = pt(e);
    const unsigned int bits = k.getBitLength();
    if (P == nullptr || P->table == nullptr || bits + 1 > P->size - 1) {
        QvGroup::multiply(r, k, e);
        return;
    }
    // The result is built in place from the neutral point; a result that is
    // the operand itself would lose the table it reads, so a copy takes it.
    if (r == e) {
        QvCryptoEpPoint t(this);
        multiply(&t, k, e);
        *pt(r) = t;
        return;
    }
    DigitBuffer digits(bits + 1);
    const unsigned int count = k.getNaf(digits.get());
    assignElement(r, nullptr);
    for (unsigned int i = 0; i < count; ++i) {
        const QvWord d = digits.get()[i];
        if (d == 1) addInPlace(r, P->table[i]);
        else if (d == 0xFFFFFFFFu) subtractInPlace(r, P->table[i]);
    }
}

QvGroupElem *QvCryptoEp::newElement(const QvGroupElem *e) const {
    if (e == nullptr) return new QvCryptoEpPoint(this);
    return new QvCryptoEpPoint(*pt(e));
}

QvGroupElem *QvCryptoEp::createNew(const QvOctet *oct, unsigned int len) const {
    if (len == 0)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Length of input buffer (const "
            "QvOctet *oct) must be more than 0.\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, "
            "unsigned int len) const\nFILE: qvcryptoep/cryptoep_group\nLINE: 97\n");
    const unsigned int L = getFieldOctets();
    const QvOctet pc = oct[0];
    std::unique_ptr<QvCryptoEpPoint> P;
    if (pc & 4) {
        if (len != 2 * L + 1)
            qvThrow<QvArgumentRangeException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Wrong size of input buffer (const "
                "QvOctet *oct).\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, unsigned int len) "
                "const\nFILE: qvcryptoep/cryptoep_group\nLINE: 107\n");
        const QvN x(oct + 1, L, 0), y(oct + 1 + L, L, 0);
        if (x >= modulus || y >= modulus) qvepfield::coordinateNotReduced(true);
        P.reset(new QvCryptoEpPoint(x, y, this));
    } else if ((pc & 2) == 0) {
        if (pc == 0 && len == 1) return new QvCryptoEpPoint(this);
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\nREASON: Wrong length of input buffer (const "
            "QvOctet *oct).\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, unsigned int len) "
            "const\nFILE: qvcryptoep/cryptoep_group\nLINE: 140\n");
    } else {
        if (len != L + 1)
            qvThrow<QvLibNotImplementedException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvLibNotImplementedException\nREASON: Elliptic Curve point "
                "compresion is not implemented.\nFUNCTION: QvGroupElem* QvCryptoEp::createNew(const QvOctet *oct, "
                "unsigned int len) const\nFILE: qvcryptoep/cryptoep_group\nLINE: 120\n");
        const QvN xv(oct + 1, L, 0);
        if (xv >= modulus) qvepfield::coordinateNotReduced(true);
        const QvZn x(xv, &modulus);
        const QvZn A(a.getConstData(), n, &modulus), B(b.getConstData(), n, &modulus);
        // A non-square has no root: sqrt refuses it.
        QvZn y = sqrt(x * (x * x + A) + B);
        if ((y.asQvN().getLowestWord() & 1) != (QvWord)(pc & 1)) y = -y;
        P.reset(new QvCryptoEpPoint(xv, y.asQvN(), this));
    }
    // A point that is not on the curve would leak the private value it is
    // multiplied with (invalid-curve attacks): refused.
    if (!isOnCurve(*P)) qvepfield::pointNotOnCurve(true);
    return P.release();
}

void QvCryptoEp::doubleInPlace(QvGroupElem *re) const {
    QvCryptoEpPoint *r = pt(re);
    checkPoint(r);
    QvWord *X = r->slot(SX), *Y = r->slot(SY), *Z = r->slot(SZ), *T1 = r->slot(S1), *T2 = r->slot(S2),
           *T3 = r->slot(S3);
    if (fieldIsZero(Y) || fieldIsZero(Z)) {
        r->setNeutralWords();
        return;
    }
    if (!aIsMinus3) {
        // M = 3 X^2 + a Z^4
        fieldCopy(T1, a.getConstData());
        fieldCopy(T2, Z);
        fieldSquare(T2);
        fieldSquare(T2);
        fieldMultiply(T2, T1);
        fieldCopy(T1, X);
        fieldSquare(T1);
        fieldCopy(T3, T1);
        fieldAdd(T1, T1);
        fieldAdd(T1, T3);
        fieldAdd(T1, T2);
    } else {
        // M = 3 (X - Z^2)(X + Z^2)
        fieldCopy(T1, Z);
        fieldSquare(T1);
        fieldCopy(T2, X);
        fieldSubtract(T2, T1);
        fieldAdd(T1, X);
        fieldMultiply(T2, T1);
        fieldCopy(T1, T2);
        fieldAdd(T1, T1);
        fieldAdd(T1, T2);
    }
    // Z' = 2 Y Z
    fieldMultiply(Z, Y);
    fieldAdd(Z, Z);
    // S = 4 X Y^2
    fieldSquare(Y);
    fieldCopy(T2, X);
    fieldMultiply(T2, Y);
    fieldAdd(T2, T2);
    fieldAdd(T2, T2);
    // X' = M^2 - 2S
    fieldCopy(X, T1);
    fieldSquare(X);
    fieldSubtract(X, T2);
    fieldSubtract(X, T2);
    // 8 Y^4
    fieldSquare(Y);
    fieldAdd(Y, Y);
    fieldAdd(Y, Y);
    fieldAdd(Y, Y);
    // Y' = M (S - X') - 8 Y^4
    fieldSubtract(T2, X);
    fieldMultiply(T2, T1);
    fieldSubtract(Y, T2);
    fieldNegate(Y);
}

void QvCryptoEp::addInPlace(QvGroupElem *r, const QvGroupElem *q) const { addOrSubtract(pt(r), pt(q), false); }

void QvCryptoEp::subtractInPlace(QvGroupElem *r, const QvGroupElem *q) const { addOrSubtract(pt(r), pt(q), true); }

void QvCryptoEp::addOrSubtract(QvCryptoEpPoint *r, const QvCryptoEpPoint *q, bool subtract) const {
    checkPoint(r);
    checkPoint(q);
    // The steps below write r before they read all of the operand: an
    // operand that is r itself is doubled (or cancelled) here.
    if (r == q) {
        if (subtract) r->setNeutralWords();
        else doubleInPlace(r);
        return;
    }
    QvWord *X1 = r->slot(SX), *Y1 = r->slot(SY), *Z1 = r->slot(SZ), *T1 = r->slot(S1), *T2 = r->slot(S2),
           *T3 = r->slot(S3), *T4 = r->slot(S4);
    const QvWord *X2 = q->slot(SX), *Y2 = q->slot(SY), *Z2 = q->slot(SZ);
    // 1.
    if (fieldIsZero(Z1)) {
        fieldCopy(X1, X2);
        fieldCopy(Y1, Y2);
        fieldCopy(Z1, Z2);
        if (subtract) fieldNegate(Y1);
        return;
    }
    // 2.
    if (fieldIsZero(Z2)) return;
    // 3.
    fieldCopy(T1, X2);
    fieldCopy(T2, Y2);
    if (subtract) fieldNegate(T2);
    // 4. U1 = X1 Z2^2, S1 = Y1 Z2^3.
    const bool z2One = fieldIsOne(Z2);
    if (!z2One) {
        fieldCopy(T3, Z2);
        fieldCopy(T4, T3);
        fieldSquare(T4);
        fieldMultiply(X1, T4);
        fieldMultiply(T4, T3);
        fieldMultiply(Y1, T4);
    }
    // 5. U2 = X2 Z1^2, S2 = Y2 Z1^3.
    fieldCopy(T4, Z1);
    fieldSquare(T4);
    fieldMultiply(T1, T4);
    fieldMultiply(T4, Z1);
    fieldMultiply(T2, T4);
    // 6. W = U1 - U2, R = S1 - S2.
    fieldSubtract(T1, X1);
    fieldNegate(T1);
    fieldSubtract(T2, Y1);
    fieldNegate(T2);
    // 7.
    if (fieldIsZero(T1)) {
        if (fieldIsZero(T2)) {
            fieldCopy(X1, X2);
            fieldCopy(Y1, Y2);
            fieldCopy(Z1, Z2);
            if (subtract) fieldNegate(Y1);
            doubleInPlace(r);
        } else {
            r->setNeutralWords();
        }
        return;
    }
    // 8. T = U1 + U2, M = S1 + S2.
    fieldAdd(X1, X1);
    fieldSubtract(X1, T1);
    fieldAdd(Y1, Y1);
    fieldSubtract(Y1, T2);
    // 9. Z3 = Z1 Z2 W.
    if (!z2One) fieldMultiply(Z1, T3);
    fieldMultiply(Z1, T1);
    // 10.
    fieldCopy(T4, T1);
    fieldSquare(T4);
    fieldMultiply(T1, T4);
    fieldMultiply(T4, X1);
    // 11. X3 = R^2 - T W^2, V = T W^2 - 2 X3.
    fieldCopy(X1, T2);
    fieldSquare(X1);
    fieldSubtract(X1, T4);
    fieldSubtract(T4, X1);
    fieldSubtract(T4, X1);
    // 12. Y3 = (R V - M W^3) / 2.
    fieldMultiply(T2, T4);
    fieldMultiply(T1, Y1);
    fieldCopy(Y1, T2);
    fieldSubtract(Y1, T1);
    fieldMultiply(Y1, half.getConstData());
}

void QvCryptoEp::negateInPlace(QvGroupElem *re) const {
    QvCryptoEpPoint *r = pt(re);
    checkPoint(r);
    fieldNegate(r->slot(SY));
}

bool QvCryptoEp::equals(const QvGroupElem *x, const QvGroupElem *y) const {
    if (x == y) return true;
    std::unique_ptr<QvGroupElem> d(difference(x, y));
    return fieldIsZero(pt(d.get())->slot(SZ));
}

unsigned int QvCryptoEp::getOctetStringEncodingLen(const QvGroupElem *g) const {
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvCryptoEp::getOctetStringEncodingLen(const QvGroupElem *g) const\nFILE: "
            "qvcryptoep/cryptoep_group\nLINE: 198\n");
    if (pt(g)->isNeutral()) return 1;
    return 2 * getFieldOctets() + 1;
}

unsigned int QvCryptoEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned int len) const {
    if (len == 0) return 0;
    if (g == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Not initialised element (const QvGroupElem "
            "*g).\nFUNCTION: unsigned int QvCryptoEp::asOctetString(const QvGroupElem *g, QvOctet *oct, unsigned "
            "int len) const\nFILE: qvcryptoep/cryptoep_group\nLINE: 233\n");
    const QvCryptoEpPoint *P = pt(g);
    if (P->isNeutral()) {
        oct[0] = 0x00;
        return 1;
    }
    const unsigned int L = getFieldOctets();
    if (len <= L) return 0;
    QvN x, y;
    affine(P, &x, &y);
    if (len > 2 * L) {
        oct[0] = 0x04;
        x.asOctetString(oct + 1, L, true);
        y.asOctetString(oct + 1 + L, L, true);
        return 2 * L + 1;
    }
    oct[0] = (QvOctet)(0x02 + (y.getLowestWord() & 1));
    x.asOctetString(oct + 1, L, true);
    return L + 1;
}

QvConvOS QvCryptoEp::asDhSecret(const QvGroupElem *g) const {
    const unsigned int L = getFieldOctets();
    QvOctMem buf(2 * L + 1);
    if (asOctetString(g, buf.getData(), 2 * L + 1) == 1)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Neutral point is not allowed as DH "
            "secret.\nFUNCTION: QvConvOS QvCryptoEp::asDhSecret(const QvGroupElem *g) const\nFILE: "
            "qvcryptoep/cryptoep_group\nLINE: 285\n");
    return QvConvOS(buf.getConstData() + 1, L);
}

QvN QvCryptoEp::asQvN(const QvGroupElem *g) const {
    const unsigned int L = getFieldOctets();
    QvOctMem buf(2 * L + 1);
    if (g == nullptr || asOctetString(g, buf.getData(), 2 * L + 1) == 1)
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Converted element is point at infinity.\n"
            "FUNCTION: QvN QvCryptoEp::asQvN(const QvGroupElem *g) const\nFILE: qvcryptoep/cryptoep_group\n"
            "LINE: 301\n");
    return QvN(buf.getConstData() + 1, L, 0);
}

// ---------------------------------------------------------------------------
// Points
// ---------------------------------------------------------------------------
QvCryptoEpPoint::QvCryptoEpPoint() : curve(nullptr), table(nullptr), size(0) {}

QvCryptoEpPoint::QvCryptoEpPoint(const QvCryptoEpPoint &o) : QvGroupElem(o), curve(nullptr), table(nullptr), size(0) {
    if (o.curve == nullptr) return;
    bind(o.curve);
    const unsigned int n = curve->n;
    for (unsigned int s = SX; s <= SZ; ++s) longvCopy(slot(s), o.slot(s), n);
}

QvCryptoEpPoint::QvCryptoEpPoint(const QvN &x, const QvN &y, const QvCryptoEp *c)
    : curve(nullptr), table(nullptr), size(0) {
    bind(c);
    const unsigned int n = c->n;
    const QvN xr = x % c->modulus, yr = y % c->modulus;
    longvCopyExtend(slot(SX), n, xr.getWords(), xr.getWordCount());
    longvCopyExtend(slot(SY), n, yr.getWords(), yr.getWordCount());
    longvSetWord(slot(SZ), n, 1);
}

QvCryptoEpPoint::QvCryptoEpPoint(const QvCryptoEp *c) : curve(nullptr), table(nullptr), size(0) {
    bind(c);
    setNeutralWords();
}

QvCryptoEpPoint &QvCryptoEpPoint::operator=(const QvCryptoEpPoint &o) {
    if (this == &o) return *this;
    if (o.curve == nullptr) {
        dropTable();
        curve = nullptr;
        return *this;
    }
    bind(o.curve);
    const unsigned int n = curve->n;
    for (unsigned int s = SX; s <= SZ; ++s) longvCopy(slot(s), o.slot(s), n);
    dropTable();
    return *this;
}

QvCryptoEpPoint::~QvCryptoEpPoint() {
    dropTable();
    curve = nullptr;
}

void QvCryptoEpPoint::bind(const QvCryptoEp *c) {
    curve = c;
    const unsigned int need = SLOTS * c->stride;
    if (words.getLength() < need) {
        words = QvWordMem(need);
        longvZero(words.getData(), need);
    }
}

void QvCryptoEpPoint::setNeutralWords() {
    const unsigned int n = curve->n;
    longvSetWord(slot(SX), n, 1);
    longvSetWord(slot(SY), n, 1);
    longvZero(slot(SZ), n);
}

bool QvCryptoEpPoint::isNeutral() const {
    if (curve == nullptr) return true;
    return longvIsZero(slot(SZ), curve->n) != 0;
}

void QvCryptoEpPoint::dropTable() {
    if (table != nullptr) {
        for (unsigned int i = 0; i < size; ++i) delete table[i];
        delete[] table;
    }
    table = nullptr;
    size = 0;
}

void QvCryptoEpPoint::precompute() {
    if (curve == nullptr) return;
    dropTable();
    const unsigned int count = curve->modulus.getBitLength() + 2;
    QvGroupElem **t = new (std::nothrow) QvGroupElem *[count];
    if (t == nullptr)
        throw QvMemException((std::uint64_t)count * sizeof(QvGroupElem *), "qvcryptoep/cryptoeppoint_access", "33");
    for (unsigned int i = 0; i < count; ++i) t[i] = nullptr;
    try {
        t[0] = curve->newElement(this);
        for (unsigned int i = 0; i + 1 < count; ++i) t[i + 1] = curve->sum(t[i], t[i]);
        curve->normalise(t, count);
    } catch (...) {
        for (unsigned int i = 0; i < count; ++i) delete t[i];
        delete[] t;
        throw;
    }
    table = t;
    size = count;
}

void QvCryptoEpPoint::print() const {
    if (curve == nullptr || isNeutral()) {
        std::fputs("O", stdout);
        return;
    }
    QvN x, y;
    curve->affine(this, &x, &y);
    std::vector<char> tx(32 * x.getWordCount() / 3 + 4), ty(32 * y.getWordCount() / 3 + 4);
    longvToOctal(tx.data(), x.getWords(), x.getWordCount());
    longvToOctal(ty.data(), y.getWords(), y.getWordCount());
    std::printf("(%s, %s)", tx.data(), ty.data());
}
