// Asymmetric key objects: RSA public and private keys, DSA and Diffie-Hellman
// keys over GF(p), and keys over any group of a general DSA domain (elliptic
// curves included).  Keys point to their domain without owning it; the domain
// must outlive the key.
#ifndef LIBTORVAPP_QVASYMKEY_H
#define LIBTORVAPP_QVASYMKEY_H

#include "libtorvapp/qvasym.h"
#include "libtorvapp/qvasymkeydomain.h"
#include "libtorvapp/qvconv/qvconvascii.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"

class QvAsymKey : public QvAsym {
public:
    ~QvAsymKey() override;
    virtual unsigned int getKeyBits() const = 0;
    virtual unsigned int getKeyOctets() const { return (getKeyBits() + 7u) / 8u; }
};

class QvPublicKey : public QvAsymKey {
public:
    ~QvPublicKey() override;
    virtual bool isReady() const = 0;
    virtual bool isValid() const = 0;
};

class QvPrivateKey : public QvAsymKey {
public:
    ~QvPrivateKey() override;
    virtual bool isReadyToEncrypt() const { return isPublicPartReady(); }
    virtual bool isReadyToDecrypt() const { return isPrivatePartReady(); }
    virtual bool isReadyToVerify() const { return isPublicPartReady(); }
    virtual bool isReadyToSign() const { return isPrivatePartReady(); }
    virtual bool isPublicPartReady() const = 0;
    virtual bool isPrivatePartReady() const = 0;
    virtual void precompute() {}
    virtual unsigned int getPublicKeyBits() const = 0;
    virtual unsigned int getPublicKeyOctets() const { return (getPublicKeyBits() + 7u) / 8u; }
};

// ---------------------------------------------------------------------------
// RSA
// ---------------------------------------------------------------------------

// An even or zero modulus is refused before a modulus is built (zero:
// QvDivByZeroException, even: QvArgumentRangeException); the key keeps its
// previous modulus then.
class QvRsaPublicKey : public QvPublicKey {
public:
    QvRsaPublicKey();
    QvRsaPublicKey(const QvN &n, const QvN &e);
    ~QvRsaPublicKey() override;

    unsigned int getKeyBits() const override;
    bool isReady() const override;
    bool isValid() const override { return true; }

    virtual const QvModulus &getN() const { return n; }
    virtual unsigned int getN(QvOctet *oct, unsigned int len) const;
    virtual const QvN &getE() const { return e; }
    virtual unsigned int getE(QvOctet *oct, unsigned int len) const;
    virtual void setN(const char *text);
    virtual void setN(const QvOctet *oct, unsigned int len);
    virtual void setE(const char *text);
    virtual void setE(const QvOctet *oct, unsigned int len);

private:
    void installN(const QvN &v);
    QvModulus n;
    QvN e;
};

class QvRsaPrivateKey : public QvPrivateKey {
public:
    QvRsaPrivateKey();
    QvRsaPrivateKey(const QvN &n, const QvN &d);
    // The whole key from n, d and one prime p (q = n / p, e = d^-1 mod (p-1)(q-1)).
    QvRsaPrivateKey(const QvN &n, const QvN &d, const QvN &p);
    ~QvRsaPrivateKey() override;

    unsigned int getKeyBits() const override;
    unsigned int getPublicKeyBits() const override { return getKeyBits(); }
    bool isPublicPartReady() const override;
    bool isPrivatePartReady() const override;
    // Installs the factors in n when p, q and the coefficient are all set.
    void precompute() override;

    virtual void setVersion(const char *text);
    virtual void setVersion(const QvOctet *oct, unsigned int len);
    virtual void setModulus(const char *text);
    virtual void setModulus(const QvOctet *oct, unsigned int len);
    virtual void setPublicExponent(const char *text);
    virtual void setPublicExponent(const QvOctet *oct, unsigned int len);
    virtual void setPrivateExponent(const char *text);
    virtual void setPrivateExponent(const QvOctet *oct, unsigned int len);
    virtual void setPrime1(const char *text);
    virtual void setPrime1(const QvOctet *oct, unsigned int len);
    virtual void setPrime2(const char *text);
    virtual void setPrime2(const QvOctet *oct, unsigned int len);
    virtual void setExponent1(const char *text);
    virtual void setExponent1(const QvOctet *oct, unsigned int len);
    virtual void setExponent2(const char *text);
    virtual void setExponent2(const QvOctet *oct, unsigned int len);
    virtual void setCoefficient(const char *text);
    virtual void setCoefficient(const QvOctet *oct, unsigned int len);
    virtual unsigned int getVersion(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getModulus() const { return n; }
    virtual unsigned int getModulus(QvOctet *oct, unsigned int len) const;
    virtual const QvN &getPublicExponent() const { return e; }
    virtual unsigned int getPublicExponent(QvOctet *oct, unsigned int len) const;
    virtual const QvN &getPrivateExponent() const { return d; }
    virtual unsigned int getPrivateExponent(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getPrime1(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getPrime2(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getExponent1(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getExponent2(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getCoefficient(QvOctet *oct, unsigned int len) const;

    const QvModulus &getPrime1() const { return p; }
    const QvModulus &getPrime2() const { return q; }
    const QvN &getExponent1() const { return dp; }
    const QvN &getExponent2() const { return dq; }
    const QvN &getCoefficient() const { return qInv; }

    // Each member under its label line, as octal digits.
    QvConvASCII &dump(QvConvASCII &out) const;

private:
    void installModulus(const QvN &v);
    void installPrime(QvModulus &target, const QvN &v);
    QvN version;
    QvModulus n;
    QvN e;
    QvN d;
    QvModulus p;
    QvModulus q;
    QvN dp;
    QvN dq;
    QvN qInv;
};

// ---------------------------------------------------------------------------
// Keys over GF(p) (DSA, Diffie-Hellman)
// ---------------------------------------------------------------------------

class QvGFpPublicKey : public QvPublicKey {
public:
    QvGFpPublicKey();
    ~QvGFpPublicKey() override;

    unsigned int getKeyBits() const override;
    bool isReady() const override;
    bool isValid() const override;

    virtual void setDomain(const QvGFpKeyDomain *d) { domain = d; }
    virtual void setY(const QvN &v) { y = v; }
    virtual void setY(const char *text);
    virtual void setY(const QvOctet *oct, unsigned int len);
    virtual const QvGFpKeyDomain *getDomain() const { return domain; }
    virtual const QvN &getY() const { return y; }
    virtual unsigned int getY(QvOctet *oct, unsigned int len) const;
    virtual const QvMultiplicativeModulusGroup &getP() const;
    virtual unsigned int getP(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getQ() const;
    virtual unsigned int getQ(QvOctet *oct, unsigned int len) const;
    virtual QvN getG() const;
    virtual unsigned int getG(QvOctet *oct, unsigned int len) const;

protected:
    const QvGFpKeyDomain *domain;
    QvN y;
};

class QvDsaPublicKey : public QvGFpPublicKey {
public:
    QvDsaPublicKey();
    ~QvDsaPublicKey() override;
};

class QvDhGFpPublicKey : public QvGFpPublicKey {
public:
    QvDhGFpPublicKey();
    ~QvDhGFpPublicKey() override;
};

class QvGFpPrivateKey : public QvPrivateKey {
public:
    QvGFpPrivateKey();
    ~QvGFpPrivateKey() override;

    unsigned int getKeyBits() const override;
    unsigned int getPublicKeyBits() const override;
    bool isReadyToEncrypt() const override { return false; }
    bool isReadyToDecrypt() const override { return false; }
    bool isPublicPartReady() const override;
    bool isPrivatePartReady() const override;

    virtual void setDomain(const QvGFpKeyDomain *d) { domain = d; }
    virtual void setX(const QvN &v) { x = v; }
    virtual void setX(const char *text);
    virtual void setX(const QvOctet *oct, unsigned int len);
    virtual void setY(const QvN &v) { y = v; }
    virtual void setY(const char *text);
    virtual void setY(const QvOctet *oct, unsigned int len);
    virtual const QvGFpKeyDomain *getDomain() const { return domain; }
    virtual const QvN &getX() const { return x; }
    virtual unsigned int getX(QvOctet *oct, unsigned int len) const;
    virtual const QvN &getY() const { return y; }
    virtual unsigned int getY(QvOctet *oct, unsigned int len) const;
    virtual const QvMultiplicativeModulusGroup &getP() const;
    virtual unsigned int getP(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getQ() const;
    virtual unsigned int getQ(QvOctet *oct, unsigned int len) const;
    virtual QvN getG() const;
    virtual unsigned int getG(QvOctet *oct, unsigned int len) const;

protected:
    const QvGFpKeyDomain *domain;
    QvN x;
    QvN y;
};

class QvDsaPrivateKey : public QvGFpPrivateKey {
public:
    QvDsaPrivateKey();
    ~QvDsaPrivateKey() override;
};

class QvDhGFpPrivateKey : public QvGFpPrivateKey {
public:
    QvDhGFpPrivateKey();
    ~QvDhGFpPrivateKey() override;
};

// ---------------------------------------------------------------------------
// Keys over any group (EC over GF(p) and GF(2^m), GF(p)*)
// ---------------------------------------------------------------------------

class QvGeneralDsaPublicKey : public QvPublicKey {
public:
    QvGeneralDsaPublicKey();
    QvGeneralDsaPublicKey(const QvGeneralDsaPublicKey &other);
    QvGeneralDsaPublicKey &operator=(const QvGeneralDsaPublicKey &other);
    ~QvGeneralDsaPublicKey() override;

    // 8 x the encoded length of H; 0 while no H is held.
    unsigned int getKeyBits() const override;
    bool isReady() const override;
    bool isValid() const override;

    virtual void setDomain(const QvGeneralDsaKeyDomain *d) { domain = d; }
    virtual const QvGeneralDsaKeyDomain *getDomain() const { return domain; }
    virtual unsigned int get(QvOctet *oct, unsigned int len) const;
    virtual const QvGroupElem *getH() const { return h; }
    // A failed decoding leaves the key without an element.
    virtual void setH(const QvOctet *oct, unsigned int len);
    virtual void setH(const QvGroupElem *keyH);

protected:
    const QvGeneralDsaKeyDomain *domain;
    QvGroupElem *h;
};

class QvGeneralDsaPrivateKey : public QvPrivateKey {
public:
    QvGeneralDsaPrivateKey();
    QvGeneralDsaPrivateKey(const QvGeneralDsaPrivateKey &other);
    QvGeneralDsaPrivateKey &operator=(const QvGeneralDsaPrivateKey &other);
    ~QvGeneralDsaPrivateKey() override;

    unsigned int getKeyBits() const override;
    // 8 x the encoded length of H; 0 while no H is held.
    unsigned int getPublicKeyBits() const override;
    bool isPublicPartReady() const override { return false; }
    bool isPrivatePartReady() const override;

    virtual void setDomain(const QvGeneralDsaKeyDomain *d) { domain = d; }
    virtual const QvGeneralDsaKeyDomain *getDomain() const { return domain; }
    virtual unsigned int getX(QvOctet *oct, unsigned int len) const;
    virtual QvN &getX() { return x; }
    const QvN &getX() const { return x; }
    virtual void set(const QvOctet *oct, unsigned int len);
    virtual void set(const QvN &v) { x = v; }
    virtual unsigned int get(QvOctet *oct, unsigned int len) const;
    virtual const QvGroupElem *getH() const { return h; }
    virtual void setH(const QvOctet *oct, unsigned int len);
    virtual void setH(const QvGroupElem *keyH);

protected:
    const QvGeneralDsaKeyDomain *domain;
    QvN x;
    QvGroupElem *h;
};

#endif
