// HMAC (RFC 2104) over a hash of the library. Keys longer than the hash's
// block are refused rather than hashed.
#ifndef LIBTORVAPP_QVHMAC_H
#define LIBTORVAPP_QVHMAC_H

#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvmac.h"

class QvHmac : public QvMac {
public:
    QvHmac();
    explicit QvHmac(unsigned int hashAlgo);
    explicit QvHmac(const QvHash& hashObject);
    QvHmac(const QvHmac& other);
    ~QvHmac() override;

    QvMac* clone() const override;
    void setKey(const QvOctet* key, unsigned int len) override;
    unsigned int init() override;
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

    // Each closes a session, clears the MAC and the key.
    void setHash(unsigned int hashAlgo);
    void setHash(const QvHash& hashObject);
    const QvHash& getHash() const { return *hash; }

private:
    void installHash(QvHash* fresh);
    // The hash states after the inner and outer pad blocks, made once per key.
    void preparePads();

    QvHash* hash;         // the running session
    QvOctMem key;
    bool keySet;
    unsigned int b;       // block octets of the hash
    QvOctMem ipad;
    QvOctMem opad;
    QvHash* innerStart;   // state after the inner pad, null until prepared
    QvHash* outerStart;   // state after the outer pad
    QvHash* outer;        // outer state of the running session
};

#endif
