// Deterministic random-bit generators seeded by the caller, behind one
// interface, and their factory. Each generator detects when its state has
// entered a cycle and then throws QvRbgCycleException.
#ifndef LIBTORVAPP_QVRBG_H
#define LIBTORVAPP_QVRBG_H

#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvcommon/qvtypes.h"

// Factory identifiers of the generators.
enum : unsigned int {
    QV_RBG_OFB = 1,
    QV_RBG_DSS31 = 2,
    QV_RBG_DSS32 = 3,
    QV_RBG_HASH_ISO18031 = 4
};

class QvRbg {
public:
    QvRbg() = default;
    QvRbg(const QvRbg&) = delete;
    QvRbg& operator=(const QvRbg&) = delete;
    virtual ~QvRbg();

    virtual void init(const QvOctet* seed, unsigned int seedLen) = 0;
    virtual void reinit(const QvOctet* seed, unsigned int seedLen) = 0;
    // Marks the generator as not initialised (nothing else is cleared).
    virtual void uninit() = 0;
    virtual void fillOctets(QvOctet* dst, unsigned int dstLen) = 0;
    virtual unsigned int getMinSeedOctets() const = 0;
    virtual unsigned int getMaxSeedOctets() const = 0;
    virtual unsigned int getSeedStepOctets() const = 0;
    virtual const char* getName() const = 0;

    QvOctet getOctet();
    // n words, each of 4 octets drawn one at a time, the first most significant.
    void fillWords(QvWord* dst, unsigned int n);
    QvWord getWord();
};

// A new, not yet seeded generator for an identifier 1..4; the caller deletes it.
QvRbg* qvRbgCreateObject(unsigned int id);

#endif
