// What DSA over GF(p) (QvDsaSig) and DSA in the group of a general domain
// (QvGeneralDsaSig) share: the borrowed keys and generator, the signature in its
// two-INTEGER form split into r and s, the long-message verification and the key
// sizes. Each scheme signs and verifies r and s in its own group.
#ifndef LIBTORVAPP_QVDSASIGBASE_H
#define LIBTORVAPP_QVDSASIGBASE_H

#include "libtorvapp/qvasymsig.h"
#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvrbg.h"

template <class PublicKey, class PrivateKey>
class QvDsaSigBase : public QvAsymSig {
public:
    QvDsaSigBase() : publicKey(nullptr), privateKey(nullptr), rbg(nullptr) {}
    QvDsaSigBase(const QvDsaSigBase &other) = default;
    QvDsaSigBase &operator=(const QvDsaSigBase &other) = default;
    ~QvDsaSigBase() override
    {
        publicKey = nullptr;
        privateKey = nullptr;
        rbg = nullptr;
    }

    // which: 0 the key set, 1 only the public key, 2 only the private key.
    unsigned int getKeyBits(unsigned int which) const override
    {
        if ((which == 0 || which == 1) && publicKey != nullptr)
            return publicKey->getKeyBits();
        if ((which == 0 || which == 2) && privateKey != nullptr)
            return privateKey->getKeyBits();
        return 0;
    }

    // The two-INTEGER form; false when the two TLVs do not lie inside it.
    bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                unsigned int signatureLen) override
    {
        const QvOctet *r = nullptr;
        const QvOctet *s = nullptr;
        unsigned int rLen = 0;
        unsigned int sLen = 0;
        if (!qvDsaSplitRS(signature, signatureLen, r, rLen, s, sLen))
            return false;
        return verify(digest, digestLen, r, rLen, s, sLen);
    }

    bool longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen) override
    {
        const QvOctet *r = nullptr;
        const QvOctet *s = nullptr;
        unsigned int rLen = 0;
        unsigned int sLen = 0;
        if (!qvDsaSplitRS(signature, signatureLen, r, rLen, s, sLen)) {
            // The running hash ends here all the same.
            if (hash != nullptr && hash->isSessionOpen())
                hash->finish();
            return false;
        }
        return verifyFinalRS(r, rLen, s, sLen);
    }

    virtual void setPublicKey(const PublicKey *key)
    {
        publicKey = key;
        privateKey = nullptr;
    }
    virtual void setPrivateKey(const PrivateKey *key)
    {
        publicKey = nullptr;
        privateKey = key;
    }
    virtual const PublicKey *getPublicKey() const { return publicKey; }
    virtual const PrivateKey *getPrivateKey() const { return privateKey; }
    virtual void setRbg(QvRbg *r) { rbg = r; }

    virtual bool verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)
    {
        if (hash == nullptr)
            qvThrow<QvFsmException>(noHashText());
        hash->finish();
        QvOctMem digest(hash->getHashObject());
        QvOctMem enc;
        unsigned int n = encode(enc, digest.getConstData(), digestOctets);
        return verify(enc.getConstData(), n, rOctets, rLen, sOctets, sLen);
    }

    virtual bool verifyMessageRS(const QvOctet *message, unsigned int messageLen, const QvOctet *rOctets,
                                 unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)
    {
        longMsgHashInit(0);
        longMsgHashUpdate(message, messageLen);
        return verifyFinalRS(rOctets, rLen, sOctets, sLen);
    }

    // r and s of the scheme's own group.
    virtual bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, unsigned int rLen,
                        const QvOctet *sOctets, unsigned int sLen) = 0;

    QvRbg *getRbg() const { return rbg; }

protected:
    // The exception text of verifyFinalRS without a hash function, in the scheme's names.
    virtual const char *noHashText() const = 0;

    const PublicKey *publicKey;
    const PrivateKey *privateKey;
    QvRbg *rbg;
};

#endif
