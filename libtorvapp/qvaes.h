// AES (FIPS 197): Rijndael with 128-bit blocks and 128-, 192- or 256-bit keys,
// run by the processor's AES instructions where it has them, else by a
// table-driven core.
#ifndef LIBTORVAPP_QVAES_H
#define LIBTORVAPP_QVAES_H

#include "libtorvapp/qvrijndael.h"

class QvAes : public QvRijndael {
public:
    QvAes();
    QvAes(const QvAes& other);
    ~QvAes() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    unsigned int getKeyStepOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;

protected:
    void buildEncSchedule() override;
    void buildDecSchedule() override;
    void runBlocksCore(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count,
                       QvOctet* chain) const override;

private:
    void niSchedule(std::uint32_t* w) const;
    // The processor's AES instructions run the cipher (chosen when the object
    // is made; its schedules then hold the round keys in octet order).
    bool ni;
};

#endif
