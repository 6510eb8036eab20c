#include "libtorvapp/qvdes3.h"

#include "libtorvapp/qvcommon/qvendian.h"

QvDes3::QvDes3(bool weak, bool parity, bool middleDec) : QvDes(weak, parity), ks3(), middleDecrypts(middleDec)
{
}

QvDes3::QvDes3(const QvDes3& other) = default;

QvDes3::~QvDes3()
{
    qvWipe(ks3, sizeof ks3);
}

unsigned int QvDes3::getMinKeyOctets() const { return 24; }
unsigned int QvDes3::getMaxKeyOctets() const { return 24; }

void QvDes3::buildSchedules(unsigned int offset)
{
    for (unsigned int i = 0; i < 3; ++i)
        qvDesBuildSchedule(key.getConstData() + offset + 8 * i, ks3[i]);
}

void QvDes3::buildCommonSchedule() { buildSchedules(0); }

void QvDes3::encryptHalves(std::uint32_t& l, std::uint32_t& r) const
{
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks3[0], true);
    qvDesRounds(l, r, ks3[1], !middleDecrypts);
    qvDesRounds(l, r, ks3[2], true);
    qvDesFinalPermutation(l, r);
}

void QvDes3::decryptHalves(std::uint32_t& l, std::uint32_t& r) const
{
    qvDesInitialPermutation(l, r);
    qvDesRounds(l, r, ks3[2], false);
    qvDesRounds(l, r, ks3[1], middleDecrypts);
    qvDesRounds(l, r, ks3[0], false);
    qvDesFinalPermutation(l, r);
}

void QvDes3::encryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = qvLoad32Be(in), r = qvLoad32Be(in + 4);
    encryptHalves(l, r);
    qvStore32Be(out, l);
    qvStore32Be(out + 4, r);
}

void QvDes3::decryptCore(const QvOctet* in, QvOctet* out) const
{
    std::uint32_t l = qvLoad32Be(in), r = qvLoad32Be(in + 4);
    decryptHalves(l, r);
    qvStore32Be(out, l);
    qvStore32Be(out + 4, r);
}
