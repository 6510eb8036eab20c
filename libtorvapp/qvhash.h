// Abstract hash of the cryptographic library: a session of init, any number of
// step calls and finish, a one-shot hash, and read-out of the finished digest.
// Algorithms are chosen by the library's hash identifiers (1..8).
#ifndef LIBTORVAPP_QVHASH_H
#define LIBTORVAPP_QVHASH_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvcommon/qvtypes.h"

typedef unsigned int QvHashAlgo;

enum : unsigned int {
    QV_HASH_DHF_ALGO_SHA1 = 1,
    QV_HASH_DHF_ALGO_SHA224 = 2,
    QV_HASH_DHF_ALGO_SHA256 = 3,
    QV_HASH_DHF_ALGO_SHA384 = 4,
    QV_HASH_DHF_ALGO_SHA512 = 5,
    QV_HASH_DHF_ALGO_RIPEMD128 = 6,
    QV_HASH_DHF_ALGO_RIPEMD160 = 7,
    QV_HASH_DHF_ALGO_MD5 = 8,
};

// Largest digest and block of all the hashes, for callers' fixed buffers.
enum : unsigned int { QV_HASH_MAX_OCTETS = 64, QV_HASH_MAX_BLOCK_OCTETS = 128 };

class QvHash {
public:
    virtual ~QvHash();

    // A new object of the same class with the whole state copied (a running
    // session continues in the copy).
    virtual QvHash* clone() const = 0;

    virtual void init() = 0;
    virtual void step(const QvOctet* data, unsigned int len) = 0;
    virtual void finish() = 0;
    // init, step, finish.
    virtual void hash(const QvOctet* data, unsigned int len);

    virtual unsigned int getHashType() const = 0;
    virtual const char* getHashTypeName() const = 0;
    virtual QvHashAlgo getHashAlgo() const = 0;
    virtual const char* getName() const = 0;
    // Number of arcs, then the arcs of the algorithm's OID.
    virtual const QvWord* getOidArcs() const = 0;
    // DER encoding of the OID, tag and length included.
    virtual const QvOctet* getOidDer() const = 0;
    virtual unsigned int getHashOctets() const = 0;
    virtual void resetState() = 0;
    virtual void processBlock(const QvOctet* block) = 0;
    virtual void finalBlock() = 0;
    virtual unsigned int getBlockOctets() const = 0;

    // Octets of getOidDer (tag, length and contents).
    unsigned int getOidDerOctets() const;

    // Read-out of the finished digest.
    const QvOctMem& getHashObject() const;
    const QvOctet* getHashPtr() const;
    // Copies the first len octets of the digest (0: the whole digest).
    void getHash(unsigned int len, QvOctet* out) const;

    bool isSessionOpen() const noexcept { return sessionOpen; }
    bool isDigestReady() const noexcept { return digestReady; }

protected:
    explicit QvHash(unsigned int digestOctets);
    QvHash(const QvHash&) = default;
    QvHash& operator=(const QvHash&) = default;

    QvOctMem digest;
    bool sessionOpen;
    bool digestReady;

    friend class QvGenericHash;
};

// A new hash object for an identifier 1..8, owned by the caller; any other
// identifier throws QvArgumentRangeException.
QvHash* qvHashCreateObject(unsigned int hashAlgo);

#endif
