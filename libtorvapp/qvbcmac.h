// MACs over a block cipher (CBC-MAC and the MACs built on it).
#ifndef LIBTORVAPP_QVBCMAC_H
#define LIBTORVAPP_QVBCMAC_H

#include "libtorvapp/qvbc.h"
#include "libtorvapp/qvmac.h"

class QvBcMac : public QvMac {
public:
    QvBcMac(unsigned int cipherAlgo, unsigned int padMethod);
    QvBcMac(const QvBc& cipherObject, unsigned int padMethod);
    QvBcMac(const QvBcMac& other);
    ~QvBcMac() override;

    // Set-up: each closes a session and clears the MAC.
    virtual void setCipher(unsigned int cipherAlgo);
    virtual void setCipher(const QvBc& cipherObject);
    void setPadMethod(unsigned int padMethod);

    unsigned int getPadMethod() const { return padMethod; }
    unsigned int getBlockOctets() const { return n; }
    const QvBc& getCipher() const { return *cipher; }

protected:
    bool needsMessageLength() const override;
    virtual void cipherChanged();

    unsigned int padMethod;
    QvBc* cipher;
    unsigned int n;
};

#endif
