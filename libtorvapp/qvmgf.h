// Hash-based generators of octet strings of any length from a seed: MGF1 (the
// counter starts at 0) and KDF2 (the counter starts at 1). Output block i is the
// first b octets of Hash(seed || counter as 4 big-endian octets).
#ifndef LIBTORVAPP_QVMGF_H
#define LIBTORVAPP_QVMGF_H

#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvsym.h"

class QvMgf : public QvSym {
public:
    QvMgf(const QvMgf& other);
    QvMgf& operator=(const QvMgf&) = delete;
    ~QvMgf() override;

    // A new object of the same class with a clone of the hash and the same b.
    virtual QvMgf* clone() const = 0;
    // len octets of output for the seed.
    virtual void generate(QvOctet* out, unsigned int len, const QvOctet* seed, unsigned int seedLen);
    // XORs the same len octets into data.
    virtual void xorMask(QvOctet* data, unsigned int len, const QvOctet* seed, unsigned int seedLen);
    // Starts a stream for the seed; returns the digest length.
    virtual unsigned int setSeed(const QvOctet* seed, unsigned int len);
    // The next len octets of the stream; however the requests are split, the
    // stream equals generate() for the same seed.
    virtual void next(QvOctet* out, unsigned int len);
    // Does not change the output.
    virtual void reset();
    virtual unsigned int getMaxKeyOctets() const;

    unsigned int getBlockOctets() const { return blockOctets; }
    unsigned int getHashAlgo() const { return hash->getHashAlgo(); }

protected:
    // b = blockOctets when it is not 0 and below the digest length, else the digest length.
    QvMgf(unsigned int hashAlgo, unsigned int blockOctets);
    virtual QvWord firstCounter() const = 0;

private:
    void computeBlock(const QvOctet* seed, unsigned int seedLen, QvWord counter, QvOctet* out);

    QvOctMem seed;
    QvOctMem output;        // one hash output of the stream
    unsigned int available; // octets of `output` not yet handed out
    unsigned int readPos;
    QvWord counter;         // next counter value of the stream
    bool seeded;
    bool exhausted;         // the 32-bit counter has run out
    QvHash* hash;
    unsigned int blockOctets;
};

class QvMgf1 : public QvMgf {
public:
    QvMgf1(unsigned int hashAlgo, unsigned int blockOctets);
    QvMgf1(const QvMgf1& other);
    ~QvMgf1() override;
    QvMgf* clone() const override;

protected:
    QvWord firstCounter() const override { return 0; }
};

class QvKdf2 : public QvMgf {
public:
    QvKdf2(unsigned int hashAlgo, unsigned int blockOctets);
    QvKdf2(const QvKdf2& other);
    ~QvKdf2() override;
    QvMgf* clone() const override;

protected:
    QvWord firstCounter() const override { return 1; }
};

// 0: MGF1 over SHA-256 (b = 32); 1: KDF2 over SHA-256 (b = 32); any other id
// throws QvLibNotImplementedException. The caller owns the object.
QvMgf* qvKdfCreateObject(unsigned int id);

#endif
