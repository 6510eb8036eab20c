// Counter mode: the keystream is the encryption of a big-endian counter block.
#ifndef LIBTORVAPP_QVCTR_H
#define LIBTORVAPP_QVCTR_H

#include "libtorvapp/qvbcenc.h"

class QvCtr : public QvBcStreamEnc {
public:
    // Keystream blocks made in one go: independent blocks keep the processor busy.
    static constexpr unsigned int kBatch = 4;

    // 0 for the segment octets means the block length.
    explicit QvCtr(unsigned int cipherAlgo = QV_BC_ALGO_AES, unsigned int segmentOctets = 0,
                   unsigned int padMethod = QV_SYM_PAD_PKCS5);
    QvCtr(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int padMethod);
    QvCtr(const QvCtr& other);
    ~QvCtr() override;

    QvSymEnc* clone() const override;
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
    void unitsAhead(std::size_t count) override;

    // The counter block is the inherited register.
    QvOctMem keystream;   // up to kBatch keystream blocks made ahead
    unsigned int made;    // keystream blocks in the current batch
    unsigned int ready;   // of those, not yet used
    std::size_t ahead;    // units still to come in this step
};

#endif
