// Hash generator after ISO/IEC 18031. It keeps that standard's shape (state V
// and constant C, derivation function, generation by hashing V + i) with its
// own derivation-function prefix and update rules, so its output is not that
// of SP 800-90A's Hash_DRBG.
#ifndef LIBTORVAPP_QVRBGHASHISO18031_H
#define LIBTORVAPP_QVRBGHASHISO18031_H

#include <cstdint>

#include "libtorvapp/qvconv/qvconv.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvrbg.h"

// Carried for the interface's sake; it has no effect.
enum QvPredictionResistance : unsigned int {
    QV_RBG_NO_PREDICTION_RESISTANCE = 0,
    QV_RBG_PREDICTION_RESISTANCE = 1
};

class QvRbgHashIso18031 : public QvRbg {
public:
    explicit QvRbgHashIso18031(unsigned int requestedStrength = 80, QvHashAlgo hashAlgo = QV_HASH_DHF_ALGO_SHA256);
    QvRbgHashIso18031(const QvOctet* seed, unsigned int seedLen, const char* personalisationString,
                      QvPredictionResistance predictionResistance, unsigned int requestedStrength = 80,
                      QvHashAlgo hashAlgo = QV_HASH_DHF_ALGO_SHA256);
    ~QvRbgHashIso18031() override;

    void init(const QvOctet* seed, unsigned int seedLen) override;
    void reinit(const QvOctet* seed, unsigned int seedLen) override;
    void uninit() override;
    void fillOctets(QvOctet* dst, unsigned int dstLen) override;
    unsigned int getMinSeedOctets() const override;
    unsigned int getMaxSeedOctets() const override;
    unsigned int getSeedStepOctets() const override;
    const char* getName() const override;

    virtual void init(const QvOctet* seed, unsigned int seedLen, const char* personalisationString);
    virtual void reinit(const QvOctet* seed, unsigned int seedLen, const char* additionalString);
    // data = the first bits/8 octets of Hash(1 || bits || data) || Hash(2 || bits || data) || ...
    // with the bit count as two octets, low octet first.
    virtual void hashDf(QvConvOS& data, unsigned int bits);
    // dstLen octets of Hash(V) || Hash(V + 1) || ...
    virtual void hashGen(QvOctet* dst, unsigned int dstLen);

    // Installs a new hash (identifiers 1..8) and strength; the generator must be seeded again.
    void setHashAlgo(unsigned int hashAlgo, unsigned int strength);

    unsigned int getStrength() const { return strength; }
    const QvHash& getHash() const { return *hash; }
    bool isInitialised() const { return initialised; }

private:
    static unsigned int roundStrength(unsigned int s);
    void hashOf(const QvConvOS& data, QvConvOS& out);
    unsigned int seedlenBits() const;

    QvHash* hash;
    QvConvOS v;
    QvConvOS c;
    unsigned int strength;
    std::uint64_t requestCounter;
    QvConvOS seedFingerprint;
    bool initialised;
};

#endif
