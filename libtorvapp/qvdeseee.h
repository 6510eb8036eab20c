// DES-EEE: three DES encryptions in a row with three independent keys.
#ifndef LIBTORVAPP_QVDESEEE_H
#define LIBTORVAPP_QVDESEEE_H

#include "libtorvapp/qvdes.h"

class QvDesEee : public QvDes {
public:
    QvDesEee();
    QvDesEee(bool weakKeyCheck, bool parityCheck);
    QvDesEee(const QvDesEee& other);
    ~QvDesEee() override;

    QvBc* clone() const override;
    unsigned int getAlgoId() const override;
    const char* getName() const override;
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    const std::uint32_t* getOidArcs() const override;
    const QvOctet* getOidDer() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;

protected:
    void _setKey(const QvOctet* externalKey, unsigned int externalKeyOctets) override;
    void buildCommonSchedule() override;
    // Schedules of the three DES keys starting at key octet `offset`.
    void buildEeeSchedules(unsigned int offset);
    void eeeEncrypt(std::uint32_t& l, std::uint32_t& r) const;
    void eeeDecrypt(std::uint32_t& l, std::uint32_t& r) const;

    QvDesSchedule ks3[3];
};

#endif
