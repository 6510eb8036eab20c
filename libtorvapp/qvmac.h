// Message authentication codes: keyed once, then per message init, any number
// of step calls and finish; the finished MAC is read with getMac or compared
// with verify.
#ifndef LIBTORVAPP_QVMAC_H
#define LIBTORVAPP_QVMAC_H

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvsym.h"

// Padding methods of the block-cipher MACs.
enum : unsigned int {
    QV_MAC_PAD_ZERO = 0,
    QV_MAC_PAD_BIT = 1,
    QV_MAC_PAD_LENGTH_MSG_ZERO = 2,
    QV_MAC_PAD_BIT_IF_PARTIAL = 3,
    QV_MAC_PAD_NONE = 4
};

// Factory identifiers of the MACs.
enum : unsigned int { QV_MAC_HMAC = 1, QV_MAC_CBC_MAC = 2, QV_MAC_EMAC = 3, QV_MAC_ANSI_MAC = 4 };

class QvMac : public QvSym {
public:
    QvMac();
    QvMac(const QvMac& other);
    QvMac& operator=(const QvMac&) = delete;
    ~QvMac() override;

    // A copy with its own cipher(s) or hash, the same parameters and key; it
    // starts with no session and no MAC.
    virtual QvMac* clone() const = 0;
    virtual void setKey(const QvOctet* key, unsigned int len) = 0;
    // Returns the MAC octets.
    virtual unsigned int init() = 0;
    virtual void step(const QvOctet* data, unsigned int len) = 0;
    virtual void finish() = 0;
    virtual bool isKeySet() const = 0;

    virtual unsigned int getMacId() const = 0;
    virtual const char* getName() const = 0;
    virtual unsigned int getMacOctets() const = 0;
    virtual unsigned int getMinKeyOctets() const = 0;
    virtual unsigned int getMaxKeyOctets() const = 0;
    virtual unsigned int getKeyStepOctets() const = 0;
    virtual const std::uint32_t* getOidArcs() const = 0;
    virtual const QvOctet* getOidDer() const = 0;
    // Starts a message whose length goes in front as a length block (block-cipher
    // MACs with padding method 2).
    virtual unsigned int init(unsigned int messageOctets);

    // Copies the first len octets of the finished MAC (0: all).
    void getMac(unsigned int len, QvOctet* out) const;
    // True when mac equals the finished MAC (len 0: the MAC octets); compares in
    // constant time.
    bool verify(const QvOctet* mac, unsigned int len) const;
    const QvOctMem& getMacObject() const;
    const QvOctet* getMacPtr() const;
    // init (with the length when the padding asks for it), step, finish.
    void computeMac(const QvOctet* data, unsigned int len);

    bool isSessionOpen() const { return sessionOpen; }
    bool isMacReady() const { return macReady; }

protected:
    // True when init must be given the message length.
    virtual bool needsMessageLength() const;

    bool sessionOpen;
    QvOctMem mac;
    bool macReady;
};

// Pads the last block holding d of n octets; returns the octets in the block
// after padding (0 when no block is to be added).
unsigned int qvMacPad(unsigned int method, QvOctet* block, unsigned int n, unsigned int d, bool messageEmpty);

// A new MAC for an identifier 1..4; the caller deletes it.
QvMac* qvMacCreateObject(unsigned int id);
// A copy of src chosen by its MAC identifier (the same copy as clone).
QvMac* qvMacCopyObject(const QvMac& src);

#endif
