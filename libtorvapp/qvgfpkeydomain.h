// Key domains over the multiplicative group of a prime field: p, q, g with the
// seed and counter of their generation, and the Diffie-Hellman and DSA variants
// that narrow the sizes generation accepts.
#ifndef LIBTORVAPP_QVGFPKEYDOMAIN_H
#define LIBTORVAPP_QVGFPKEYDOMAIN_H

#include <memory>

#include "libtorvapp/qvasymkeydomain.h"
#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvnumbers/qvmultiplicativemodulusgroup.h"
#include "libtorvapp/qvrbg.h"

// Called during long generation; a non-zero result stops it with
// QvInterruptException carrying that value.
typedef int (*QvInterruptFn)(void *ctx);

class QvGFpKeyDomain : public QvGeneralDsaKeyDomain {
public:
    QvGFpKeyDomain();
    // The copy works over its own p (never the source's).
    QvGFpKeyDomain(const QvGFpKeyDomain &other);
    QvGFpKeyDomain &operator=(const QvGFpKeyDomain &other);
    ~QvGFpKeyDomain() override;

    bool isValid() const override;
    bool isComplete() const override;
    int getType() const override { return TYPE_GFP; }

    virtual void setP(const char *text);
    virtual void setP(const QvOctet *oct, unsigned int len);
    virtual void setQ(const char *text);
    virtual void setQ(const QvOctet *oct, unsigned int len);
    virtual void setG(const char *text);
    virtual void setG(const QvOctet *oct, unsigned int len);
    virtual void setSeed(const char *hex);
    virtual void setSeed(const QvOctet *oct, unsigned int len);
    virtual void setCounter(const char *text);
    virtual void setCounter(const QvOctet *oct, unsigned int len);
    virtual void setSeedAndCounter(const char *seedHex, const char *counterText);
    virtual void setSeedAndCounter(const QvOctet *seedOct, unsigned int seedLen, const QvOctet *counterOct,
                                   unsigned int counterLen);
    virtual const QvMultiplicativeModulusGroup &getP() const { return *p; }
    virtual unsigned int getP(QvOctet *oct, unsigned int len) const;
    virtual const QvModulus &getQ() const { return getOrder(); }
    virtual unsigned int getQ(QvOctet *oct, unsigned int len) const { return getOrder(oct, len); }
    // Throw QvNotInitException "Uninitialised generator." when none is set.
    virtual QvN getG() const;
    virtual unsigned int getG(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getSeed(QvOctet *oct, unsigned int len) const;
    virtual unsigned int getCounter() const { return counter.getLowestWord(); }
    virtual unsigned int getCounter(QvOctet *oct, unsigned int len) const;
    // 1 when a domain was generated, 0 when the sizes are refused (nothing changed).
    virtual int generate(const QvOctet *seed, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                         QvInterruptFn interrupt, void *ctx);
    virtual int generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt, void *ctx);
    // The search proper; seed points to 20 octets and ends holding the SEED q
    // was derived from.
    virtual void generateGFpKeyDomain(QvOctet *seed, unsigned int qBits, unsigned int pBits,
                                      QvInterruptFn interrupt, void *ctx);

protected:
    // Replaces p in place; a generator set before keeps its value as a residue
    // of the new p (it has to be set again to mean anything).
    void replaceP(std::unique_ptr<QvMultiplicativeModulusGroup> np);
    static bool sizesAllowed(unsigned int qBits, unsigned int pBits);

    // Always present; replaced whole when p changes (the group holds no
    // assignment of its own).
    std::unique_ptr<QvMultiplicativeModulusGroup> p;
    QvOctMem seed;
    QvN counter;
};

class QvDhGFpKeyDomain : public QvGFpKeyDomain {
public:
    QvDhGFpKeyDomain();
    ~QvDhGFpKeyDomain() override;
    int getType() const override { return TYPE_DH_GFP; }
    int generate(const QvOctet *seed, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                 QvInterruptFn interrupt, void *ctx) override;
    int generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt, void *ctx) override;
};

class QvDsaKeyDomain : public QvGFpKeyDomain {
public:
    QvDsaKeyDomain();
    ~QvDsaKeyDomain() override;
    int getType() const override { return TYPE_DSA; }
    int generate(const QvOctet *seed, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                 QvInterruptFn interrupt, void *ctx) override;
    int generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt, void *ctx) override;
};

#endif
