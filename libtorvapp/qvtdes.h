// Triple DES: encrypt-decrypt-encrypt with three independent 8-octet keys.
#ifndef LIBTORVAPP_QVTDES_H
#define LIBTORVAPP_QVTDES_H

#include "libtorvapp/qvdes3.h"

class QvTdes : public QvDes3 {
public:
    QvTdes();
    // The parity flag is kept for the interface's sake: triple DES keys are
    // not tested for parity.
    QvTdes(bool weakKeyCheck, bool parityCheck);
    QvTdes(const QvTdes& other);
    ~QvTdes() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
};

#endif
