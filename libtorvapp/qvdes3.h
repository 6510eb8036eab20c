// Base of the ciphers that run three DES keys one after another (triple DES,
// DES-EEE, DES-XEEEX): the three schedules and the three passes over a block.
#ifndef LIBTORVAPP_QVDES3_H
#define LIBTORVAPP_QVDES3_H

#include "libtorvapp/qvdes.h"

class QvDes3 : public QvDes {
public:
    unsigned int getMinKeyOctets() const override;
    unsigned int getMaxKeyOctets() const override;
    void encryptCore(const QvOctet* in, QvOctet* out) const override;
    void decryptCore(const QvOctet* in, QvOctet* out) const override;

protected:
    // middleDecrypts: the middle key decrypts on encryption (E-D-E) instead of
    // encrypting (E-E-E).
    QvDes3(bool weakKeyCheck, bool parityCheck, bool middleDecrypts);
    QvDes3(const QvDes3& other);
    ~QvDes3() override;

    // The schedules of the keys at key octets 0-7, 8-15 and 16-23.
    void buildCommonSchedule() override;
    // Schedules of the three DES keys starting at key octet `offset`.
    void buildSchedules(unsigned int offset);
    // The three passes between one initial and one final permutation (between
    // the passes they cancel); decryption runs the keys backwards.
    void encryptHalves(std::uint32_t& l, std::uint32_t& r) const;
    void decryptHalves(std::uint32_t& l, std::uint32_t& r) const;

    QvDesSchedule ks3[3];
    bool middleDecrypts;
};

#endif
