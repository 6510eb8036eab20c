// Key domain over an elliptic curve over GF(p).  The six fixed primes get the
// fast fixed-prime curve; every other prime the general curve.
#ifndef LIBTORVAPP_QVEPDSAKEYDOMAIN_H
#define LIBTORVAPP_QVEPDSAKEYDOMAIN_H

#include <memory>

#include "libtorvapp/qvasymkeydomain.h"
#include "libtorvapp/qvcryptoep/qvcryptoep.h"
#include "libtorvapp/qvep/qvep.h"

class QvEpDsaKeyDomain : public QvGeneralDsaKeyDomain {
public:
    QvEpDsaKeyDomain();
    // Hexadecimal texts a, b, p, G (encoded point), n, h.
    QvEpDsaKeyDomain(const char *aHex, const char *bHex, const char *pHex, const char *gHex, const char *nHex,
                     const char *hHex);
    QvEpDsaKeyDomain(const QvEpDsaKeyDomain &) = delete;
    QvEpDsaKeyDomain &operator=(const QvEpDsaKeyDomain &) = delete;
    ~QvEpDsaKeyDomain() override;

    int getType() const override { return TYPE_EP; }

    // Replacing the curve drops a generator of the old one.
    virtual void setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                          const QvOctet *p, unsigned int pLen);
    virtual void setG(const QvOctet *oct, unsigned int len) { setGen(oct, len); }
    virtual void setN(const QvOctet *oct, unsigned int len) { setOrder(oct, len); }
    virtual unsigned int getA(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getB(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getP(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getG(QvOctet *oct, unsigned int len) const { return getGen(oct, len); }
    virtual unsigned int getN(QvOctet *oct, unsigned int len) const { return getOrder(oct, len); }

    // 1 when the fixed-prime curve is in use.
    int getCurveFlag() const { return curveFlag; }
    const QvEp *getEp() const { return ep.get(); }
    const QvCryptoEp *getCryptoEp() const { return cryptoEp.get(); }

private:
    [[noreturn]] void throwNoCurve(const char *text) const;
    int curveFlag;
    std::unique_ptr<QvEp> ep;
    std::unique_ptr<QvCryptoEp> cryptoEp;
};

#endif
