// Cipher feedback mode with a register of m blocks, k feedback octets and j
// segment octets (1 <= j <= k <= n), working on whole octets.
#ifndef LIBTORVAPP_QVCFB_H
#define LIBTORVAPP_QVCFB_H

#include "libtorvapp/qvbcenc.h"

class QvCfb : public QvBcEnc {
public:
    // 0 for feedback or segment octets means the largest allowed value.
    explicit QvCfb(unsigned int cipherAlgo = QV_BC_ALGO_AES, unsigned int registerBlocks = 1,
                   unsigned int feedbackOctets = 0, unsigned int segmentOctets = 0,
                   unsigned int padMethod = QV_SYM_PAD_PKCS5);
    QvCfb(const QvBc& cipherObject, unsigned int registerBlocks, unsigned int feedbackOctets,
          unsigned int segmentOctets, unsigned int padMethod);
    QvCfb(const QvCfb& other);
    ~QvCfb() override;

    QvSymEnc* clone() const override;
    unsigned int getDataUnitOctets() const override;
    unsigned int getIvOctets() const override;
    unsigned int getModeId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

    // Each closes an open session. Setting k also sets j = k.
    void setRegisterBlocks(unsigned int m);
    void setFeedbackOctets(unsigned int k);
    void setSegmentOctets(unsigned int j);
    unsigned int getRegisterBlocks() const { return m; }
    unsigned int getFeedbackOctets() const { return k; }
    unsigned int getSegmentOctets() const { return j; }

protected:
    const QvBcEncTexts& texts() const override;
    void loadIv(const QvOctet* iv) override;
    void processUnit(const QvOctet* in, QvOctet* out) override;
    void cipherChanged() override;
    void resizeRegister();

    unsigned int m;
    unsigned int k;
    unsigned int j;
    QvOctMem reg;        // m * n octets, circular
    unsigned int start;  // position of the register's first octet
    QvOctMem block;      // cipher input and output
};

#endif
