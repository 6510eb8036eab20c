// Block-cipher generator in output-feedback style: the seed's first block is
// the feedback value, the octets after it the cipher key; half of each new
// block is handed out.
#ifndef LIBTORVAPP_QVRBGOFB_H
#define LIBTORVAPP_QVRBGOFB_H

#include "libtorvapp/qvbc.h"
#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvrbg.h"

class QvRbgOfb : public QvRbg {
public:
    QvRbgOfb();
    ~QvRbgOfb() override;

    void init(const QvOctet* seed, unsigned int seedLen) override;
    // XORs the seed into the feedback value.
    void reinit(const QvOctet* seed, unsigned int seedLen) override;
    void uninit() override;
    void fillOctets(QvOctet* dst, unsigned int dstLen) override;
    unsigned int getMinSeedOctets() const override;
    unsigned int getMaxSeedOctets() const override;
    unsigned int getSeedStepOctets() const override;
    const char* getName() const override;

    // Another cipher (by factory identifier, or a copy of an object); the
    // generator must be seeded again.
    void setCipher(unsigned int cipherAlgo);
    void setCipher(const QvBc& cipherObject);

    bool isInitialised() const { return initialised; }

private:
    void install(QvBc* fresh);
    void generate();

    QvBc* cipher;
    QvOctMem v;
    QvOctMem w;
    bool initialised;
    QvOctMem out;
    unsigned int available;
    unsigned int position;
};

#endif
