// Output feedback mode with segments of s octets.
#ifndef LIBTORVAPP_QVOFB_H
#define LIBTORVAPP_QVOFB_H

#include "libtorvapp/qvbcenc.h"

class QvOfb : public QvBcStreamEnc {
public:
    // 0 for the segment octets means the block length.
    explicit QvOfb(unsigned int cipherAlgo = QV_BC_ALGO_AES, unsigned int segmentOctets = 0,
                   unsigned int padMethod = QV_SYM_PAD_PKCS5);
    QvOfb(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int padMethod);
    QvOfb(const QvOfb& other);
    ~QvOfb() override;

    QvSymEnc* clone() const override;
    unsigned int getModeId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    const QvBcEncTexts& texts() const override;
    // The feedback block is the register: replaced by its encryption each unit.
    void processUnit(const QvOctet* in, QvOctet* out) override;
};

#endif
