// Rijndael with block lengths of 4 to 8 words and keys of 4 to 8 words.
#ifndef LIBTORVAPP_QVRIJNDAEL_H
#define LIBTORVAPP_QVRIJNDAEL_H

#include "libtorvapp/qvbc.h"

class QvRijndael : public QvBc {
public:
    // nb: block length in 32-bit words (4 to 8).
    explicit QvRijndael(unsigned int nb = 4);
    QvRijndael(const QvRijndael& other);
    ~QvRijndael() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    unsigned int getBlockOctets() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;
    bool hasSeparateSchedules() const override;

    unsigned int getNb() const { return nb; }
    unsigned int getNk() const { return nk; }
    unsigned int getNr() const { return nr; }

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
    void buildEncSchedule() override;
    void buildDecSchedule() override;
    // The FIPS 197 key expansion generalised to Nb columns: Nb * (Nr + 1) words.
    void expandWords(std::uint32_t* w) const;

    unsigned int nb;
    unsigned int nk;
    unsigned int nr;
    unsigned int shift[3];
    unsigned int invShift[3];
    alignas(16) std::uint32_t encKs[120];
    alignas(16) std::uint32_t decKs[120];
};

#endif
