#include "libtorvapp/qvgf2n/qvgf2nfield.h"

#include "libtorvapp/qvconv/qvconv.h"

#include <cstring>

QvGF2nField::QvGF2nField() : addFn(nullptr), mulFn(nullptr), invFn(nullptr), degree(0), polynomial(), words(0) {}

QvGF2nField::QvGF2nField(const QvOctet *f, unsigned int length)
    : addFn(nullptr), mulFn(nullptr), invFn(nullptr), degree(0), polynomial(), words(0)
{
    while (length >= 2 && f[0] == 0) {
        ++f;
        --length;
    }
    setFromOctets(f, length);
}

QvGF2nField::QvGF2nField(const char *text)
    : addFn(nullptr), mulFn(nullptr), invFn(nullptr), degree(0), polynomial(), words(0)
{
    while (text[0] == '0' && text[1] == '0' && text[2] != '\0') text += 2;
    QvConvOS os(text);
    setFromOctets(os.getConstData(), os.getLength());
}

QvGF2nField::QvGF2nField(const QvGF2nField &other)
    : addFn(other.addFn), mulFn(other.mulFn), invFn(other.invFn), degree(other.degree),
      polynomial(other.polynomial), words(other.words)
{
}

QvGF2nField::~QvGF2nField()
{
    degree = 0;
    words = 0;
    addFn = nullptr;
    mulFn = nullptr;
    invFn = nullptr;
    // QvWordMem wipes its words when it is released.
}

QvGF2nField &QvGF2nField::operator=(const QvGF2nField &other)
{
    if (this != &other) {
        degree = other.degree;
        polynomial = other.polynomial;
        words = other.words;
        addFn = other.addFn;
        mulFn = other.mulFn;
        invFn = other.invFn;
    }
    return *this;
}

void QvGF2nField::setFromOctets(const QvOctet *f, unsigned int length)
{
    unsigned int m = 0;
    if (length > 0) {
        unsigned int top = f[0], lg = 0;
        while (top > 1) {
            top >>= 1;
            ++lg;
        }
        m = 8 * (length - 1) + lg;
    }
    degree = m;
    words = m / 32 + 1;
    QvWordMem w(f, length, true);
    QvWordMem p(words);
    for (unsigned int i = 0; i < words; ++i) p.getData()[i] = i < w.getLength() ? w.getData()[i] : 0;
    polynomial = p;
    selectRoutines();
}

void QvGF2nField::selectRoutines()
{
    qvGF2nSelectRoutines(words, &addFn, &mulFn, &invFn);
}

bool QvGF2nField::usesFixedRoutines() const
{
    QvGF2nAddRoutine a;
    QvGF2nMulRoutine m;
    QvGF2nInvRoutine i;
    qvGF2nGenericRoutines(&a, &m, &i);
    return words != 0 && mulFn != m;
}

unsigned int QvGF2nField::getTermExponent(unsigned int i) const
{
    unsigned int seen = 0;
    const QvWord *p = polynomial.getConstData();
    for (unsigned int b = 0; b < 32 * words; ++b) {
        if ((p[b >> 5] >> (b & 31)) & 1) {
            if (seen == i) return b;
            ++seen;
        }
    }
    return degree + 1;
}

unsigned int QvGF2nField::getTermCount() const
{
    unsigned int c = 0;
    const QvWord *p = polynomial.getConstData();
    for (unsigned int j = 0; j < words; ++j) c += static_cast<unsigned int>(__builtin_popcount(p[j]));
    return c;
}

unsigned int QvGF2nField::asOctetString(QvOctet *fOct, unsigned int fLen) const
{
    const unsigned int need = degree / 8 + 1;
    if (fLen < need)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*fOct).\nFUNCTION: unsigned int QvGF2nField::asOctetString(QvOctet *fOct, unsigned int fLen) "
            "const\nFILE: qvgf2n/qvgf2nfield\nLINE: 187\n");
    const QvWord *p = polynomial.getConstData();
    for (unsigned int i = 0; i < need; ++i) {
        const unsigned int k = need - 1 - i; // octet index from the least significant
        fOct[i] = static_cast<QvOctet>(k / 4 < words ? p[k / 4] >> (8 * (k % 4)) : 0);
    }
    return need;
}
