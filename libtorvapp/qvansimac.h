// The ANSI retail MAC (ISO/IEC 9797-1 MAC algorithm 3): CBC-MAC under the
// first key, then the last chaining value decrypted under the second key and
// encrypted again under the first.
#ifndef LIBTORVAPP_QVANSIMAC_H
#define LIBTORVAPP_QVANSIMAC_H

#include "libtorvapp/qvemac.h"

class QvAnsiMac : public QvEMac {
public:
    QvAnsiMac();
    QvAnsiMac(unsigned int cipherAlgo, unsigned int padMethod);
    QvAnsiMac(const QvBc& cipherObject, unsigned int padMethod);
    QvAnsiMac(const QvAnsiMac& other);
    ~QvAnsiMac() override;

    QvMac* clone() const override;
    unsigned int getMacId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    const QvCbcMacTexts& texts() const override;
    void finalTransform(QvOctet* h) override;
};

#endif
