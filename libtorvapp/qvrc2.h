// RC2 (RFC 2268) with a key of 1 to 128 octets and 1 to 1024 effective key bits.
#ifndef LIBTORVAPP_QVRC2_H
#define LIBTORVAPP_QVRC2_H

#include "libtorvapp/qvbc.h"

class QvRc2 : public QvBc {
public:
    QvRc2();
    QvRc2(const QvRc2& other);
    ~QvRc2() override;

    QvBc* clone() const override;
    // Effective key bits = 8 times the key octets.
    void setKey(const QvOctet* externalKey, unsigned int externalKeyOctets,
                QvKeyExpansionOption expOption) override;
    void setKey(const QvOctet* externalKey, unsigned int externalKeyOctets, unsigned int externalEffKeyBits,
                QvKeyExpansionOption expOption);

    unsigned int getAlgoId() const override;
    const char* getName() const override;
    unsigned int getBlockOctets() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;

    unsigned int getEffectiveKeyBits() const { return effKeyBits; }

protected:
    void buildCommonSchedule() override;

private:
    unsigned int effKeyBits;
    std::uint16_t k[64];
};

#endif
