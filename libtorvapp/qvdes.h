// DES (FIPS 46-3) and the helpers on DES keys that secure messaging also uses.
#ifndef LIBTORVAPP_QVDES_H
#define LIBTORVAPP_QVDES_H

#include "libtorvapp/qvbc.h"

// True when any of the blocks 8-octet keys is one of the 16 weak or semi-weak
// DES keys; the lowest (parity) bit of every octet is ignored.
bool qvDesIsWeakKey(const QvOctet* key, unsigned int blocks);
// True when every octet of the blocks 8-octet keys has odd parity.
bool qvDesCheckParity(const QvOctet* key, unsigned int blocks);
// Sets bit 0 of every octet so that the octet has odd parity.
void qvDesSetParity(QvOctet* key, unsigned int blocks);

// The round keys of one DES key: for each round two words holding the even and
// the odd 6-bit groups of the 48-bit key, one group per octet.
struct QvDesSchedule {
    std::uint32_t k[32];
};
void qvDesBuildSchedule(const QvOctet* key8, QvDesSchedule& ks);
// Runs 16 rounds on the two halves; forward for encryption, backward for decryption.
void qvDesRounds(std::uint32_t& l, std::uint32_t& r, const QvDesSchedule& ks, bool forward);
void qvDesInitialPermutation(std::uint32_t& l, std::uint32_t& r);
void qvDesFinalPermutation(std::uint32_t& l, std::uint32_t& r);

class QvDes : public QvBc {
public:
    QvDes();
    QvDes(bool weakKeyCheck, bool parityCheck);
    QvDes(const QvDes& other);
    ~QvDes() override;

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

    bool getWeakKeyCheck() const { return weakKeyCheck; }
    bool getParityCheck() const { return parityCheck; }

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
    void buildCommonSchedule() override;

    bool weakKeyCheck;
    bool parityCheck;

private:
    QvDesSchedule ks;
};

#endif
