#include "libtorvapp/qvgeneraldhsecret.h"

#include <algorithm>
#include <cstring>
#include <memory>

QvGeneralDhSecret::QvGeneralDhSecret(QvHashAlgo hashAlgo) : publicKey(nullptr), privateKey(nullptr), hash(nullptr)
{
    hash = qvHashCreateObject(hashAlgo);
}

QvGeneralDhSecret::QvGeneralDhSecret(const QvGeneralDhSecret &other)
    : QvAsymSecret(other), publicKey(other.publicKey), privateKey(other.privateKey), hash(nullptr)
{
    hash = other.hash != nullptr ? other.hash->clone() : qvHashCreateObject(QV_HASH_DHF_ALGO_SHA256);
}

QvGeneralDhSecret::~QvGeneralDhSecret()
{
    delete hash;
    hash = nullptr;
    publicKey = nullptr;
    privateKey = nullptr;
}

void QvGeneralDhSecret::setHash(QvHashAlgo hashAlgo)
{
    QvHash *h = qvHashCreateObject(hashAlgo);
    delete hash;
    hash = h;
}

unsigned int QvGeneralDhSecret::getKeyBits(unsigned int) const
{
    if (publicKey != nullptr)
        return publicKey->getKeyBits();
    if (privateKey != nullptr)
        return privateKey->getKeyBits();
    return 0;
}

void QvGeneralDhSecret::generateSecret()
{
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no public key or it is not ready.\n"
            "FUNCTION: void QvGeneralDhSecret::generateSecret(void)\nFILE: generaldhsecret_generate\nLINE: 0\n");
    if (privateKey == nullptr || !privateKey->isPrivatePartReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no private key or it is not ready.\n"
            "FUNCTION: void QvGeneralDhSecret::generateSecret(void)\nFILE: generaldhsecret_generate\nLINE: 0\n");
    const QvGroup *group = privateKey->getDomain()->getGroup();
    std::unique_ptr<QvGroupElem> p(group->product(privateKey->getX(), publicKey->getH()));
    QvConvOS os = group->asDhSecret(p.get());
    secret = QvOctMem(os.getConstData(), os.getLength());
}

void QvGeneralDhSecret::deriveKey(QvOctet *out, unsigned int outLen, const QvOctet *sharedInfo,
                                  unsigned int sharedInfoLen)
{
    unsigned int hLen = hash->getHashOctets();
    QvWord counter = 1;
    unsigned int done = 0;
    while (done < outLen) {
        QvOctet ctr[4] = {static_cast<QvOctet>(counter >> 24), static_cast<QvOctet>(counter >> 16),
                          static_cast<QvOctet>(counter >> 8), static_cast<QvOctet>(counter)};
        ++counter;
        hash->init();
        if (secret.getLength() != 0)
            hash->step(secret.getConstData(), secret.getLength());
        hash->step(ctr, 4);
        if (sharedInfoLen != 0 && sharedInfo != nullptr)
            hash->step(sharedInfo, sharedInfoLen);
        hash->finish();
        unsigned int take = std::min(hLen, outLen - done);
        std::memcpy(out + done, hash->getHashObject().getConstData(), take);
        done += take;
    }
}
