// RSASSA-PSS with a fixed salt length and an owned MGF1 mask generator.
#ifndef LIBTORVAPP_QVRSASIGPKCSPSS_H
#define LIBTORVAPP_QVRSASIGPKCSPSS_H

#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvrsasig.h"

class QvRsaSigPkcsPss : public QvRsaSig {
public:
    // No mask generator: such a scheme refuses to sign and verify.
    QvRsaSigPkcsPss();
    // mgfSelector != 0: MGF1 over SHA-256; 0: MGF1 over mgfHashAlgo.
    QvRsaSigPkcsPss(unsigned int saltOctets, QvRbg *rbg, QvHashAlgo hashAlgo, unsigned int mgfSelector,
                    QvHashAlgo mgfHashAlgo);
    QvRsaSigPkcsPss(const QvRsaSigPkcsPss &other);
    QvRsaSigPkcsPss &operator=(const QvRsaSigPkcsPss &other);
    ~QvRsaSigPkcsPss() override;

    unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                      unsigned int signatureLen) override;
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override;
    unsigned int encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen) override;

    unsigned int getSaltOctets() const { return saltOctets; }
    const QvMgf *getMgf() const { return mgf; }

protected:
    unsigned int saltOctets;
    QvMgf *mgf;

private:
    void requireHashAndMgf(const char *text) const;
};

#endif
