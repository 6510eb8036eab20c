// Cipher block chaining mode.
#ifndef LIBTORVAPP_QVCBC_H
#define LIBTORVAPP_QVCBC_H

#include "libtorvapp/qvbcenc.h"

class QvCbc : public QvBcEnc {
public:
    explicit QvCbc(unsigned int cipherAlgo = QV_BC_ALGO_AES, unsigned int padMethod = QV_SYM_PAD_PKCS5);
    QvCbc(const QvBc& cipherObject, unsigned int padMethod);
    QvCbc(const QvCbc& other);
    ~QvCbc() override;

    QvSymEnc* clone() const override;
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
    void cipherChanged() override;

    QvOctMem chain;
};

#endif
