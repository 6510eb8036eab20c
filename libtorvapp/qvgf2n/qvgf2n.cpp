#include "libtorvapp/qvgf2n/qvgf2n.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
const char kHex[] = "0123456789abcdef";
}

QvGF2n::QvGF2n() : field(nullptr), value(), n(0), mulCtx(), invCtx() {}

QvGF2n::QvGF2n(const QvGF2nField *f) : field(nullptr), value(), n(0), mulCtx(), invCtx()
{
    setField(f);
}

QvGF2n::QvGF2n(const QvWord *words, unsigned int count, const QvGF2nField *f) : QvGF2n(f)
{
    setWords(words, count);
}

QvGF2n::QvGF2n(const QvOctet *octets, unsigned int length, const QvGF2nField *f) : QvGF2n(f)
{
    setOctets(octets, length);
}

QvGF2n::QvGF2n(const char *text, const QvGF2nField *f) : QvGF2n(f)
{
    setText(text);
}

QvGF2n::QvGF2n(const QvGF2n &other)
    : field(other.field), value(other.value), n(other.n), mulCtx(other.mulCtx), invCtx(other.invCtx)
{
}

QvGF2n::~QvGF2n() {}

void QvGF2n::setField(const QvGF2nField *f)
{
    field = f;
    if (f == nullptr || f->getWordCount() == 0) {
        field = f;
        n = 0;
        return;
    }
    n = f->getWordCount();
    value.resize(n);
    mulCtx.resize(4 * n + 3);
    invCtx.resize(5 * n + 2);
    const unsigned int m = f->getDegree();
    const QvWord top = static_cast<QvWord>(1) << (m % 32);
    const QvWord *poly = f->getPolynomial().getConstData();
    QvWord *mc = mulCtx.getData();
    mc[0] = 1;
    mc[1] = top;
    mc[2] = m;
    std::memcpy(mc + 3, poly, n * sizeof(QvWord));
    QvWord *ic = invCtx.getData();
    ic[0] = top;
    ic[1] = m;
    std::memcpy(ic + 2, poly, n * sizeof(QvWord));
    std::memset(value.getData(), 0, value.getLength() * sizeof(QvWord));
}

void QvGF2n::requireBound() const
{
    if (field == nullptr || n == 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Element is not bound to a field.\n"
            "FUNCTION: void QvGF2n::requireBound() const\nFILE: qvgf2n/qvgf2n\nLINE: 70\n");
}

void QvGF2n::requireSameField(const QvGF2n &b) const
{
    requireBound();
    if (b.n != n)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Elements of different fields.\n"
            "FUNCTION: void QvGF2n::requireSameField(const QvGF2n &b) const\nFILE: qvgf2n/qvgf2n\nLINE: 79\n");
}

void QvGF2n::setWords(const QvWord *words, unsigned int count)
{
    requireBound();
    QvWord *v = value.getData();
    const unsigned int c = count < n ? count : n;
    for (unsigned int i = 0; i < c; ++i) v[i] = words[i];
    for (unsigned int i = c; i < n; ++i) v[i] = 0;
    if (count >= n) {
        const unsigned int keep = (field->getDegree() + 1) % 32;
        if (keep != 0) v[n - 1] &= (static_cast<QvWord>(1) << keep) - 1;
    }
}

void QvGF2n::setOctets(const QvOctet *octets, unsigned int length)
{
    QvWordMem w(octets, length, true);
    setWords(w.getConstData(), w.getLength());
}

void QvGF2n::setText(const char *text)
{
    QvConvOS os(text);
    setOctets(os.getConstData(), os.getLength());
}

void QvGF2n::setValue(const QvGF2n &other)
{
    setWords(other.value.getConstData(), other.n);
}

QvGF2n &QvGF2n::operator=(const QvGF2n &other)
{
    if (this != &other) {
        field = other.field;
        value = other.value;
        n = other.n;
        mulCtx = other.mulCtx;
        invCtx = other.invCtx;
    }
    return *this;
}

QvGF2n &QvGF2n::operator+=(const QvGF2n &b)
{
    requireSameField(b);
    field->addRoutine()(value.getData(), b.value.getConstData(), n);
    return *this;
}

QvGF2n &QvGF2n::operator*=(const QvGF2n &b)
{
    requireSameField(b);
    QvWord *mc = mulCtx.getData();
    std::memcpy(mc + n + 3, value.getConstData(), n * sizeof(QvWord));
    std::memcpy(mc + 2 * n + 3, b.value.getConstData(), n * sizeof(QvWord));
    field->mulRoutine()(mc, n);
    std::memcpy(value.getData(), mc + 3 * n + 3, n * sizeof(QvWord));
    return *this;
}

QvGF2n &QvGF2n::operator/=(const QvGF2n &gf2n)
{
    requireSameField(gf2n);
    if (gf2n.isZero())
        qvThrow<QvDivByZeroException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvDivByZeroException\nREASON: Division by zero.\nFUNCTION: QvGF2n& "
            "QvGF2n::operator /=(const QvGF2n &gf2n)\nFILE: qvgf2n/gf2n_div\nLINE: 24\n");
    QvWord *ic = invCtx.getData();
    QvWord *u = ic + n + 2;
    std::memcpy(u, ic + 2, n * sizeof(QvWord));
    std::memcpy(u + n, gf2n.value.getConstData(), n * sizeof(QvWord));
    std::memset(u + 2 * n, 0, 2 * n * sizeof(QvWord));
    u[3 * n] = 1;
    if (!field->invRoutine()(ic, n))
        qvThrow<QvInvException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvInvException\nREASON: Divisor has no inverse.\nFUNCTION: QvGF2n& "
            "QvGF2n::operator /=(const QvGF2n &gf2n)\nFILE: qvgf2n/gf2n_div\nLINE: 31\n");
    QvWord *mc = mulCtx.getData();
    std::memcpy(mc + n + 3, value.getConstData(), n * sizeof(QvWord));
    std::memcpy(mc + 2 * n + 3, u, n * sizeof(QvWord));
    field->mulRoutine()(mc, n);
    std::memcpy(value.getData(), mc + 3 * n + 3, n * sizeof(QvWord));
    return *this;
}

bool QvGF2n::operator==(const QvGF2n &b) const
{
    if (b.n != n) return false;
    return n == 0 || std::memcmp(value.getConstData(), b.value.getConstData(), n * sizeof(QvWord)) == 0;
}

bool QvGF2n::operator==(QvWord w) const
{
    if (n == 0) return w == 0;
    const QvWord *v = value.getConstData();
    if (v[0] != w) return false;
    for (unsigned int i = 1; i < n; ++i)
        if (v[i]) return false;
    return true;
}

unsigned int QvGF2n::getOctetLength() const
{
    return field ? (field->getDegree() + 7) / 8 : 0;
}

unsigned int QvGF2n::asOctetString(QvOctet *oct, unsigned int octLen) const
{
    const unsigned int need = getOctetLength();
    if (octLen < need)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Too small output buffer (QvOctet "
            "*oct).\nFUNCTION: unsigned int QvGF2n::asOctetString(QvOctet *oct, unsigned int octLen) const\nFILE: "
            "qvgf2n/gf2n_conv\nLINE: 37\n");
    const QvWord *v = value.getConstData();
    for (unsigned int i = 0; i < need; ++i) {
        const unsigned int k = need - 1 - i;
        oct[i] = static_cast<QvOctet>(k / 4 < n ? v[k / 4] >> (8 * (k % 4)) : 0);
    }
    return need;
}

QvConvOS QvGF2n::asQvConvOS() const
{
    const unsigned int len = getOctetLength();
    QvWordMem buf(len / 4 + 1);
    QvOctet *o = reinterpret_cast<QvOctet *>(buf.getData());
    asOctetString(o, len);
    QvConvOS r(o, len);
    return r;
}

QvN QvGF2n::asQvN() const
{
    if (n == 0) return QvN();
    return QvN(value.getConstData(), n);
}

QvConvASCII QvGF2n::asText() const
{
    std::string s;
    const QvWord *v = value.getConstData();
    for (unsigned int i = n; i-- > 0;)
        for (int sh = 28; sh >= 0; sh -= 4) s.push_back(kHex[(v[i] >> sh) & 0xF]);
    QvConvASCII r(s.c_str());
    std::fill(s.begin(), s.end(), '\0');
    return r;
}

QvGF2n operator+(const QvGF2n &a, const QvGF2n &b)
{
    QvGF2n r(a);
    r += b;
    return r;
}

QvGF2n operator-(const QvGF2n &a, const QvGF2n &b)
{
    QvGF2n r(a);
    r -= b;
    return r;
}

QvGF2n operator*(const QvGF2n &a, const QvGF2n &b)
{
    QvGF2n r(a);
    r *= b;
    return r;
}

QvGF2n operator/(const QvGF2n &a, const QvGF2n &b)
{
    QvGF2n r(a);
    r /= b;
    return r;
}
