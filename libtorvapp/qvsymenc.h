// Symmetric encryption of messages of any length: the base of the modes of
// operation, their padding helpers and the factory. A mode is keyed once and
// each message is one session of init, any number of step calls and finish.
#ifndef LIBTORVAPP_QVSYMENC_H
#define LIBTORVAPP_QVSYMENC_H

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvsym.h"

// Padding methods of the modes.
enum : unsigned int {
    QV_SYM_PAD_PKCS5 = 0,
    QV_SYM_PAD_ISO9797_2 = 1,
    QV_SYM_PAD_ONE_ZERO = 2,
    QV_SYM_PAD_NONE = 3
};

// Directions of init.
enum : unsigned int { QV_SYM_ENCRYPT = 0, QV_SYM_DECRYPT = 1 };

// Factory identifiers of the modes.
enum : unsigned int {
    QV_SYMENC_CBC = 0,
    QV_SYMENC_CTR = 1,
    QV_SYMENC_ECB = 2,
    QV_SYMENC_OFB = 3,
    QV_SYMENC_CFB = 4,
    QV_SYMENC_SC1 = 5,
    QV_SYMENC_SC2 = 6
};

class QvSymEnc : public QvSym {
public:
    QvSymEnc();
    QvSymEnc(const QvSymEnc& other);
    QvSymEnc& operator=(const QvSymEnc&) = delete;
    ~QvSymEnc() override;

    virtual QvSymEnc* clone() const = 0;
    virtual void setKey(const QvOctet* key, unsigned int len) = 0;
    // ECB, SC1 and SC2 ignore the IV.
    virtual void init(unsigned int direction, const QvOctet* iv, unsigned int ivLen) = 0;
    // Returns the octets written to out.
    virtual unsigned int step(const QvOctet* in, unsigned int len, QvOctet* out) = 0;
    virtual unsigned int finish(QvOctet* out) = 0;
    // init, step into out, finish behind the octets of step; returns the total.
    virtual unsigned int process(unsigned int direction, const QvOctet* iv, unsigned int ivLen, const QvOctet* in,
                                 unsigned int len, QvOctet* out);

    virtual unsigned int getMinKeyOctets() const = 0;
    virtual unsigned int getMaxKeyOctets() const = 0;
    virtual unsigned int getKeyStepOctets() const = 0;
    virtual unsigned int getDataUnitOctets() const = 0;
    virtual unsigned int getIvOctets() const = 0;
    virtual unsigned int getModeId() const = 0;
    virtual const char* getName() const = 0;
    virtual const std::uint32_t* getOidArcs() const = 0;
    virtual const QvOctet* getOidDer() const = 0;

    bool isKeySet() const { return keySet; }
    bool isSessionOpen() const { return sessionOpen; }

protected:
    QvOctMem key;
    bool keySet;
    bool sessionOpen;
};

// Pads the block from dataLen on (method 3 leaves it as it is).
void qvSymEncPad(unsigned int method, QvOctet* block, unsigned int blockLen, unsigned int dataLen);
// Returns the number of data octets in the padded block; a malformed padding
// throws QvEncryptionDecryptionException.
unsigned int qvSymEncUnpad(unsigned int method, const QvOctet* block, unsigned int len);

// A new mode over AES with padding method 0 (SC2: MGF1 with SHA-256); the caller deletes it.
QvSymEnc* qvSymEncCreateObject(unsigned int id);

#endif
