// Key domain over an elliptic curve over GF(2^m).
#ifndef LIBTORVAPP_QVE2NDSAKEYDOMAIN_H
#define LIBTORVAPP_QVE2NDSAKEYDOMAIN_H

#include <memory>

#include "libtorvapp/qvasymkeydomain.h"
#include "libtorvapp/qve2n/qve2n.h"

class QvE2nDsaKeyDomain : public QvGeneralDsaKeyDomain {
public:
    QvE2nDsaKeyDomain();
    // Hexadecimal texts a, b, f (reduction polynomial), G (encoded point), n, h.
    QvE2nDsaKeyDomain(const char *aHex, const char *bHex, const char *fHex, const char *gHex, const char *nHex,
                      const char *hHex);
    QvE2nDsaKeyDomain(const QvE2nDsaKeyDomain &) = delete;
    QvE2nDsaKeyDomain &operator=(const QvE2nDsaKeyDomain &) = delete;
    ~QvE2nDsaKeyDomain() override;

    int getType() const override { return TYPE_E2N; }

    // Replacing the curve drops a generator of the old one.
    virtual void setCurve(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                          const QvOctet *f, unsigned int fLen);
    virtual void setCurveTrinomial(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                                   unsigned int m, unsigned int k);
    virtual void setCurvePentanomial(const QvOctet *a, unsigned int aLen, const QvOctet *b, unsigned int bLen,
                                     unsigned int m, unsigned int k1, unsigned int k2, unsigned int k3);
    virtual void setG(const QvOctet *oct, unsigned int len) { setGen(oct, len); }
    virtual void setN(const QvOctet *oct, unsigned int len) { setOrder(oct, len); }
    virtual unsigned int getA(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getB(QvOctet *oct, unsigned int len) const;
    // 3 trinomial, 5 pentanomial, 0 otherwise (also without a curve).
    virtual int getBasisType() const;
    virtual unsigned int getFieldPolynomial(unsigned int *m, QvOctet *oct, unsigned int len) const;
    virtual int getTrinomial(unsigned int *m, unsigned int *k) const;
    virtual int getPentanomial(unsigned int *m, unsigned int *k1, unsigned int *k2, unsigned int *k3) const;
    virtual unsigned int getG(QvOctet *oct, unsigned int len) const { return getGen(oct, len); }
    virtual unsigned int getN(QvOctet *oct, unsigned int len) const { return getOrder(oct, len); }
    virtual unsigned int getH(QvOctet *oct, unsigned int len) const { return getCofactor(oct, len); }

    const QvE2n *getE2n() const { return e2n.get(); }

private:
    const QvE2n &curve(const char *text) const;
    std::unique_ptr<QvE2n> e2n;
};

#endif
