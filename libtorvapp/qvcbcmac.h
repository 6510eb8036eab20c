// CBC-MAC (ISO/IEC 9797-1 MAC algorithm 1), optionally with a length block in
// front of the message (padding method 2).
#ifndef LIBTORVAPP_QVCBCMAC_H
#define LIBTORVAPP_QVCBCMAC_H

#include "libtorvapp/qvbcmac.h"

// The literal texts with which one MAC class reports each failure.
struct QvCbcMacTexts {
    const char* initNoKey;
    const char* initNeedsLength;
    const char* initLengthWrongPad;
    const char* lengthTooLong;
    const char* stepNoSession;
    const char* finishNoSession;
    const char* finishNoPadding;
    const char* finishBadPadding;
};

class QvCbcMac : public QvBcMac {
public:
    QvCbcMac(unsigned int cipherAlgo, unsigned int padMethod);
    QvCbcMac(const QvBc& cipherObject, unsigned int padMethod);
    QvCbcMac(const QvCbcMac& other);
    ~QvCbcMac() override;

    QvMac* clone() const override;
    void setKey(const QvOctet* key, unsigned int len) override;
    unsigned int init() override;
    unsigned int init(unsigned int messageOctets) override;
    void step(const QvOctet* data, unsigned int len) override;
    void finish() override;
    bool isKeySet() const override;

    unsigned int getMacId() const override;
    const char* getName() const override;
    unsigned int getMacOctets() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

protected:
    virtual const QvCbcMacTexts& texts() const;
    // The output transformation applied to the last chaining value in place.
    virtual void finalTransform(QvOctet* h);
    void cipherChanged() override;
    void startSession();

    QvOctMem chain;
    QvOctMem partial;
    unsigned int held;
    bool messageEmpty;
};

#endif
