// The modes that run over a block cipher. They share one session engine: input
// is gathered into data units, every complete unit is processed at once, and on
// decryption with padding the last unit is held back for finish to unpad.
#ifndef LIBTORVAPP_QVBCENC_H
#define LIBTORVAPP_QVBCENC_H

#include "libtorvapp/qvbc.h"
#include "libtorvapp/qvsymenc.h"

// The literal texts with which one mode reports each failure of the engine.
struct QvBcEncTexts {
    const char* initNoKey;
    const char* initBadIv;
    const char* stepNoSession;
    const char* stepOverlap;
    const char* finishNoSession;
    const char* finishEncrypt;
    const char* finishDecrypt;
};

class QvBcEnc : public QvSymEnc {
public:
    QvBcEnc(unsigned int cipherAlgo, unsigned int padMethod);
    QvBcEnc(const QvBc& cipherObject, unsigned int padMethod);
    QvBcEnc(const QvBcEnc& other);
    ~QvBcEnc() override;

    void setKey(const QvOctet* key, unsigned int len) override;
    void init(unsigned int direction, const QvOctet* iv, unsigned int ivLen) override;
    unsigned int step(const QvOctet* in, unsigned int len, QvOctet* out) override;
    unsigned int finish(QvOctet* out) override;

    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;

    // Set-up: each closes an open session. A new cipher needs a new key.
    void setCipher(unsigned int cipherAlgo);
    void setCipher(const QvBc& cipherObject);
    void setPadMethod(unsigned int padMethod);

    unsigned int getPadMethod() const { return padMethod; }
    const QvBc& getCipher() const { return *cipher; }
    unsigned int getBlockOctets() const { return n; }

protected:
    virtual const QvBcEncTexts& texts() const = 0;
    // Loads the first getIvOctets() octets of the IV into the mode's state.
    virtual void loadIv(const QvOctet* iv) = 0;
    // Processes one data unit in the session's direction; in and out may coincide.
    virtual void processUnit(const QvOctet* in, QvOctet* out) = 0;
    // Processes `count` whole units straight from the caller's buffer (in and
    // out apart); the default takes them one by one.
    virtual void processUnits(const QvOctet* in, QvOctet* out, std::size_t count);
    // Called after the cipher changed, so that the mode resizes its state.
    virtual void cipherChanged();
    // Tells the mode how many units the coming calls of processUnit bring
    // (a mode may prepare that much work in one go).
    virtual void unitsAhead(std::size_t count);

    unsigned int padMethod;
    QvBc* cipher;
    unsigned int n;
    unsigned int direction;
    QvOctMem partial;   // one data unit
    unsigned int held;  // octets in partial
};


// Base of the modes that XOR the data with keystream drawn from one block
// register (OFB's feedback block, CTR's counter block) in segments of s octets,
// 1 <= s <= n; the IV is one block, loaded into the register.
class QvBcStreamEnc : public QvBcEnc {
public:
    unsigned int getDataUnitOctets() const override;
    unsigned int getIvOctets() const override;

    // 0 or a value above the block length stores the block length; closes an
    // open session.
    void setSegmentOctets(unsigned int s);
    unsigned int getSegmentOctets() const { return s; }

protected:
    QvBcStreamEnc(unsigned int cipherAlgo, unsigned int segmentOctets, unsigned int padMethod);
    QvBcStreamEnc(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int padMethod);
    QvBcStreamEnc(const QvBcStreamEnc& other);
    ~QvBcStreamEnc() override;

    void loadIv(const QvOctet* iv) override;
    // A zero register of the new block length, segments of the whole block.
    void cipherChanged() override;

    QvOctMem reg; // n octets
    unsigned int s;
};

#endif
