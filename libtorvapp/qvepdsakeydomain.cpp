#include "libtorvapp/qvepdsakeydomain.h"

#include "libtorvapp/qvcommon/qvoctmem.h"

QvEpDsaKeyDomain::QvEpDsaKeyDomain() : curveFlag(0) {}

QvEpDsaKeyDomain::QvEpDsaKeyDomain(const char *aHex, const char *bHex, const char *pHex, const char *gHex,
                                   const char *nHex, const char *hHex)
    : QvEpDsaKeyDomain() {
    const QvOctMem a(aHex), b(bHex), p(pHex), g(gHex), n(nHex), h(hHex);
    setCurve(a.getConstData(), a.getLength(), b.getConstData(), b.getLength(), p.getConstData(), p.getLength());
    setGen(g.getConstData(), g.getLength());
    setOrder(n.getConstData(), n.getLength());
    setCofactor(h.getConstData(), h.getLength());
}

QvEpDsaKeyDomain::~QvEpDsaKeyDomain() {
    // The generator belongs to a curve member: release it before the curves.
    releaseGen();
    group = nullptr;
}

void QvEpDsaKeyDomain::setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                                const QvOctet *p, unsigned int pLen) {
    if (a == nullptr || b == nullptr || p == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Null octet string.\n"
            "FUNCTION: void QvEpDsaKeyDomain::setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, "
            "unsigned int bLen, const QvOctet *p, unsigned int pLen)\nFILE: qvepdsakeydomain\nLINE: 0\n");
    std::unique_ptr<QvCryptoEp> fixed;
    std::unique_ptr<QvEp> general;
    try {
        fixed = std::make_unique<QvCryptoEp>(a, aLen, b, bLen, p, pLen);
    } catch (const QvLibNotImplementedException &) {
        general = std::make_unique<QvEp>(a, aLen, b, bLen, p, pLen);
    }
    releaseGen();
    group = nullptr;
    if (fixed) {
        curveFlag = 1;
        cryptoEp = std::move(fixed);
        ep.reset();
        setGroup(cryptoEp.get());
    } else {
        curveFlag = 0;
        ep = std::move(general);
        cryptoEp.reset();
        setGroup(ep.get());
    }
}

void QvEpDsaKeyDomain::throwNoCurve(const char *text) const { qvThrow<QvNotInitException>(text); }

unsigned int QvEpDsaKeyDomain::getA(QvOctet *oct, unsigned int len) const {
    if (curveFlag == 1 && cryptoEp) return cryptoEp->getA(oct, len);
    if (ep) return ep->getA(oct, len);
    throwNoCurve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: unsigned int QvEpDsaKeyDomain::getA(QvOctet *oct, unsigned int len) const\n"
        "FILE: qvepdsakeydomain\nLINE: 0\n");
}

unsigned int QvEpDsaKeyDomain::getB(QvOctet *oct, unsigned int len) const {
    if (curveFlag == 1 && cryptoEp) return cryptoEp->getB(oct, len);
    if (ep) return ep->getB(oct, len);
    throwNoCurve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: unsigned int QvEpDsaKeyDomain::getB(QvOctet *oct, unsigned int len) const\n"
        "FILE: qvepdsakeydomain\nLINE: 0\n");
}

unsigned int QvEpDsaKeyDomain::getP(QvOctet *oct, unsigned int len) const {
    if (curveFlag == 1 && cryptoEp) return cryptoEp->getModulus().asOctetString(oct, len, false);
    if (ep) return ep->getModulus().asOctetString(oct, len, false);
    throwNoCurve(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised group.\n"
        "FUNCTION: unsigned int QvEpDsaKeyDomain::getP(QvOctet *oct, unsigned int len) const\n"
        "FILE: qvepdsakeydomain\nLINE: 0\n");
}
