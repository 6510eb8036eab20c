// The generators of FIPS 186-2 Appendix 3.1 and 3.2 built on the SHA-1 G
// function. The state XKEY is a b-octet number whose first octet is the least
// significant; the output is the G value of each step, 20 octets at a time.
#ifndef LIBTORVAPP_QVRBGDSS_H
#define LIBTORVAPP_QVRBGDSS_H

#include "libtorvapp/qvrbg.h"

class QvRbgDss : public QvRbg {
public:
    ~QvRbgDss() override;

    void init(const QvOctet* seed, unsigned int seedLen) override;
    // Adds the seed to XKEY (a seed of zeros changes nothing).
    void reinit(const QvOctet* seed, unsigned int seedLen) override;
    void uninit() override;
    void fillOctets(QvOctet* dst, unsigned int dstLen) override;
    unsigned int getMinSeedOctets() const override;
    unsigned int getMaxSeedOctets() const override;
    unsigned int getSeedStepOctets() const override;

    bool isInitialised() const { return initialised; }

protected:
    explicit QvRbgDss(const QvWord* t);
    // G(t, c): one SHA-1 compression of the first b octets of c padded with
    // zeros to 64 octets, from the chaining value t; the five words big-endian.
    virtual void g(const QvOctet* c, QvOctet* out20) const;
    // a = a + 1 + x modulo 2^(8b), octet 0 least significant.
    void advance(QvOctet* a, const QvOctet* x20) const;
    void step();

    bool initialised;
    QvOctet xkey[64];
    QvOctet xcheck[64];
    unsigned int b;
    QvOctet x[20];
    unsigned int available;
    const QvWord* t;
    unsigned int maxSeedOctets;
    unsigned int minSeedOctets;
};

class QvRbgDss31 : public QvRbgDss {
public:
    QvRbgDss31();
    ~QvRbgDss31() override;
    const char* getName() const override;
};

class QvRbgDss32 : public QvRbgDss {
public:
    QvRbgDss32();
    ~QvRbgDss32() override;
    const char* getName() const override;
};

#endif
