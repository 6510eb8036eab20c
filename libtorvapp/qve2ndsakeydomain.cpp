#include "libtorvapp/qve2ndsakeydomain.h"

#include <vector>

#include "libtorvapp/qvcommon/qvoctmem.h"

namespace {

// f as m/8 + 1 big-endian octets: bit i of f is bit i mod 8 of the octet i/8
// places from the end.
std::vector<QvOctet> polynomialOctets(unsigned int m, const unsigned int *terms, unsigned int count) {
    std::vector<QvOctet> f(m / 8 + 1, 0);
    const unsigned int last = m / 8;
    f[last - m / 8] |= static_cast<QvOctet>(1u << (m % 8));
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned int e = terms[i];
        if (e > m) continue;
        f[last - e / 8] |= static_cast<QvOctet>(1u << (e % 8));
    }
    f[last] |= 1;
    return f;
}

}  // namespace

QvE2nDsaKeyDomain::QvE2nDsaKeyDomain() = default;

QvE2nDsaKeyDomain::QvE2nDsaKeyDomain(const char *aHex, const char *bHex, const char *fHex, const char *gHex,
                                     const char *nHex, const char *hHex)
    : QvE2nDsaKeyDomain() {
    const QvOctMem a(aHex), b(bHex), f(fHex), g(gHex), n(nHex), h(hHex);
    setCurve(a.getConstData(), a.getLength(), b.getConstData(), b.getLength(), f.getConstData(), f.getLength());
    setGen(g.getConstData(), g.getLength());
    setOrder(n.getConstData(), n.getLength());
    setCofactor(h.getConstData(), h.getLength());
}

QvE2nDsaKeyDomain::~QvE2nDsaKeyDomain() {
    releaseGen();
    group = nullptr;
}

void QvE2nDsaKeyDomain::setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                                 const QvOctet *f, unsigned int fLen) {
    if (a == nullptr || b == nullptr || f == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Null octet string.\n"
            "FUNCTION: void QvE2nDsaKeyDomain::setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, "
            "unsigned int bLen, const QvOctet *f, unsigned int fLen)\nFILE: qve2ndsakeydomain\nLINE: 0\n");
    auto c = std::make_unique<QvE2n>(a, aLen, b, bLen, f, fLen);
    releaseGen();
    e2n = std::move(c);
    setGroup(e2n.get());
}

void QvE2nDsaKeyDomain::setCurveTrinomial(const QvOctet *a, unsigned int aLen, const QvOctet *b,
                                          unsigned int bLen, unsigned int m, unsigned int k) {
    const unsigned int t[1] = {k};
    const std::vector<QvOctet> f = polynomialOctets(m, t, 1);
    setCurve(a, aLen, b, bLen, f.data(), static_cast<unsigned int>(f.size()));
}

void QvE2nDsaKeyDomain::setCurvePentanomial(const QvOctet *a, unsigned int aLen, const QvOctet *b,
                                            unsigned int bLen, unsigned int m, unsigned int k1, unsigned int k2,
                                            unsigned int k3) {
    const unsigned int t[3] = {k1, k2, k3};
    const std::vector<QvOctet> f = polynomialOctets(m, t, 3);
    setCurve(a, aLen, b, bLen, f.data(), static_cast<unsigned int>(f.size()));
}

const QvE2n &QvE2nDsaKeyDomain::curve(const char *text) const {
    if (!e2n) qvThrow<QvNotInitException>(text);
    return *e2n;
}

unsigned int QvE2nDsaKeyDomain::getA(QvOctet *oct, unsigned int len) const {
    return curve("LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
                 "FUNCTION: unsigned int QvE2nDsaKeyDomain::getA(QvOctet *oct, unsigned int len) const\n"
                 "FILE: qve2ndsakeydomain\nLINE: 0\n")
        .getA()
        .asOctetString(oct, len);
}

unsigned int QvE2nDsaKeyDomain::getB(QvOctet *oct, unsigned int len) const {
    return curve("LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
                 "FUNCTION: unsigned int QvE2nDsaKeyDomain::getB(QvOctet *oct, unsigned int len) const\n"
                 "FILE: qve2ndsakeydomain\nLINE: 0\n")
        .getB()
        .asOctetString(oct, len);
}

int QvE2nDsaKeyDomain::getBasisType() const {
    if (!e2n) return 0;
    const unsigned int n = e2n->getField().getTermCount();
    return (n == 3 || n == 5) ? static_cast<int>(n) : 0;
}

unsigned int QvE2nDsaKeyDomain::getFieldPolynomial(unsigned int *m, QvOctet *oct, unsigned int len) const {
    const QvE2n &c = curve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: unsigned int QvE2nDsaKeyDomain::getFieldPolynomial(unsigned int *m, QvOctet *oct, unsigned "
        "int len) const\nFILE: qve2ndsakeydomain\nLINE: 0\n");
    if (m != nullptr) *m = c.getField().getDegree();
    return c.getField().asOctetString(oct, len);
}

int QvE2nDsaKeyDomain::getTrinomial(unsigned int *m, unsigned int *k) const {
    const QvE2n &c = curve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: int QvE2nDsaKeyDomain::getTrinomial(unsigned int *m, unsigned int *k) const\n"
        "FILE: qve2ndsakeydomain\nLINE: 0\n");
    if (m != nullptr) *m = c.getField().getDegree();
    if (k != nullptr) *k = c.getField().getTermExponent(1);
    return 0;
}

int QvE2nDsaKeyDomain::getPentanomial(unsigned int *m, unsigned int *k1, unsigned int *k2, unsigned int *k3) const {
    const QvE2n &c = curve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: int QvE2nDsaKeyDomain::getPentanomial(unsigned int *m, unsigned int *k1, unsigned int *k2, "
        "unsigned int *k3) const\nFILE: qve2ndsakeydomain\nLINE: 0\n");
    if (m != nullptr) *m = c.getField().getDegree();
    if (k1 != nullptr) *k1 = c.getField().getTermExponent(1);
    if (k2 != nullptr) *k2 = c.getField().getTermExponent(2);
    if (k3 != nullptr) *k3 = c.getField().getTermExponent(3);
    return 0;
}
