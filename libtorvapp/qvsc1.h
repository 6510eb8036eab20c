// SC1 of ISO/IEC 18033-2: CBC with a zero IV and PKCS#5 padding.
#ifndef LIBTORVAPP_QVSC1_H
#define LIBTORVAPP_QVSC1_H

#include "libtorvapp/qvcbc.h"

class QvSc1 : public QvCbc {
public:
    explicit QvSc1(unsigned int cipherAlgo = QV_BC_ALGO_AES);
    explicit QvSc1(const QvBc& cipherObject);
    QvSc1(const QvSc1& other);
    ~QvSc1() override;

    QvSymEnc* clone() const override;
    // The IV is always n zero octets: any IV given is ignored.
    void init(unsigned int direction, const QvOctet* iv, unsigned int ivLen) override;
    void init(unsigned int direction);

    unsigned int getIvOctets() const override;
    unsigned int getModeId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
};

#endif
