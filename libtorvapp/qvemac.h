// EMAC (ISO/IEC 9797-1 MAC algorithm 2): CBC-MAC whose last chaining value is
// encrypted once more under a second key. The key is the two keys in a row.
#ifndef LIBTORVAPP_QVEMAC_H
#define LIBTORVAPP_QVEMAC_H

#include "libtorvapp/qvcbcmac.h"

class QvEMac : public QvCbcMac {
public:
    QvEMac();
    QvEMac(unsigned int cipherAlgo, unsigned int padMethod);
    QvEMac(const QvBc& cipherObject, unsigned int padMethod);
    QvEMac(const QvEMac& other);
    ~QvEMac() override;

    QvMac* clone() const override;
    void setKey(const QvOctet* key, unsigned int len) override;
    bool isKeySet() const override;
    void setCipher(unsigned int cipherAlgo) override;
    void setCipher(const QvBc& cipherObject) override;

    unsigned int getMacId() const override;
    const char* getName() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    const QvCbcMacTexts& texts() const override;
    void finalTransform(QvOctet* h) override;

    QvBc* cipher2;
};

#endif
