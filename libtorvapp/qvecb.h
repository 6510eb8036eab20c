// Electronic codebook mode.
#ifndef LIBTORVAPP_QVECB_H
#define LIBTORVAPP_QVECB_H

#include "libtorvapp/qvbcenc.h"

class QvEcb : public QvBcEnc {
public:
    explicit QvEcb(unsigned int cipherAlgo = QV_BC_ALGO_AES, unsigned int padMethod = QV_SYM_PAD_PKCS5);
    QvEcb(const QvBc& cipherObject, unsigned int padMethod);
    QvEcb(const QvEcb& other);
    ~QvEcb() override;

    QvSymEnc* clone() const override;
    using QvBcEnc::init;
    void init(unsigned int direction);
    using QvSymEnc::process;
    unsigned int process(unsigned int direction, const QvOctet* in, unsigned int len, QvOctet* out);

    unsigned int getDataUnitOctets() const override;
    unsigned int getIvOctets() const override;
    unsigned int getModeId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    const QvBcEncTexts& texts() const override;
    void loadIv(const QvOctet* iv) override;
    void processUnit(const QvOctet* in, QvOctet* out) override;
    void processUnits(const QvOctet* in, QvOctet* out, std::size_t count) override;
};

#endif
