// SC2 of ISO/IEC 18033-2: the data XORed with the output of a key-derivation
// function seeded with the key. Encryption and decryption are the same.
#ifndef LIBTORVAPP_QVSC2_H
#define LIBTORVAPP_QVSC2_H

#include "libtorvapp/qvmgf.h"
#include "libtorvapp/qvsymenc.h"

class QvSc2 : public QvSymEnc {
public:
    // kdfAlgo: 0 MGF1, 1 KDF2 (both over SHA-256).
    explicit QvSc2(unsigned int kdfAlgo = 0);
    explicit QvSc2(const QvMgf& kdfObject);
    QvSc2(const QvSc2& other);
    ~QvSc2() override;

    QvSymEnc* clone() const override;
    void setKey(const QvOctet* key, unsigned int len) override;
    // The direction and IV are ignored.
    void init(unsigned int direction, const QvOctet* iv, unsigned int ivLen) override;
    void init();
    unsigned int step(const QvOctet* in, unsigned int len, QvOctet* out) override;
    unsigned int finish(QvOctet* out) override;

    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    unsigned int getKeyStepOctets() const override;
    unsigned int getDataUnitOctets() const override;
    unsigned int getIvOctets() const override;
    unsigned int getModeId() const override;
    const char* getName() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;

    const QvMgf& getKdf() const { return *kdf; }

private:
    QvMgf* kdf;
};

#endif
