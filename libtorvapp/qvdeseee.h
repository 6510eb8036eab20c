// DES-EEE: three DES encryptions in a row with three independent keys.
#ifndef LIBTORVAPP_QVDESEEE_H
#define LIBTORVAPP_QVDESEEE_H

#include "libtorvapp/qvdes3.h"

class QvDesEee : public QvDes3 {
public:
    QvDesEee();
    QvDesEee(bool weakKeyCheck, bool parityCheck);
    QvDesEee(const QvDesEee& other);
    ~QvDesEee() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
};

#endif
