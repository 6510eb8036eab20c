// DES-XEEEX: DES-EEE between two 8-octet whitening values.
#ifndef LIBTORVAPP_QVDESXEEEX_H
#define LIBTORVAPP_QVDESXEEEX_H

#include "libtorvapp/qvdeseee.h"

class QvDesXeeex : public QvDesEee {
public:
    QvDesXeeex();
    QvDesXeeex(bool weakKeyCheck, bool parityCheck);
    QvDesXeeex(const QvDesXeeex& other);
    ~QvDesXeeex() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
    void buildCommonSchedule() override;

    QvOctet x1[8];
    QvOctet x2[8];
};

#endif
