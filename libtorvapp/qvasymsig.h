// Root of the signature schemes.  It owns the scheme's hash object and offers
// two ways in: sign/verify on a digest the caller computed, and the
// long-message operations that hash a message with the scheme's own hash and
// then call sign/verify.  `encode` turns a digest into the value the key
// operation works on (here: the digest itself).
#ifndef LIBTORVAPP_QVASYMSIG_H
#define LIBTORVAPP_QVASYMSIG_H

#include "libtorvapp/qvasymscheme.h"
#include "libtorvapp/qvcommon/qvoctmem.h"
#include "libtorvapp/qvhash.h"

class QvAsymSig : public QvAsymScheme {
public:
    QvAsymSig();
    QvAsymSig(const QvAsymSig &other);
    QvAsymSig &operator=(const QvAsymSig &other);
    ~QvAsymSig() override;

    virtual void setHashAlgo(QvHashAlgo algo);
    virtual QvHashAlgo getHashAlgo() const { return hashAlgo; }
    virtual unsigned int getMaxSignatureOctets() const = 0;

    virtual void signInit(QvHashAlgo algo) { longMsgHashInit(algo); }
    virtual void verifyInit(QvHashAlgo algo) { longMsgHashInit(algo); }
    virtual void signUpdate(const QvOctet *data, unsigned int len) { longMsgHashUpdate(data, len); }
    virtual void verifyUpdate(const QvOctet *data, unsigned int len) { longMsgHashUpdate(data, len); }
    virtual unsigned int signFinal(QvOctet *signature, unsigned int signatureLen)
    {
        return longMsgSignFinal(signature, signatureLen);
    }
    virtual bool verifyFinal(const QvOctet *signature, unsigned int signatureLen)
    {
        return longMsgVerifyFinal(signature, signatureLen);
    }
    virtual unsigned int signMessage(const QvOctet *message, unsigned int messageLen, QvOctet *signature,
                                     unsigned int signatureLen, QvHashAlgo algo)
    {
        return longMsgSign(message, messageLen, signature, signatureLen, algo);
    }
    virtual bool verifyMessage(const QvOctet *message, unsigned int messageLen, const QvOctet *signature,
                               unsigned int signatureLen, QvHashAlgo algo)
    {
        return longMsgVerify(message, messageLen, signature, signatureLen, algo);
    }

    virtual void longMsgHashInit(QvHashAlgo algo);
    virtual void longMsgHashUpdate(const QvOctet *data, unsigned int len);
    virtual unsigned int longMsgSignFinal(QvOctet *signature, unsigned int signatureLen);
    virtual bool longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen);
    virtual unsigned int longMsgSign(const QvOctet *message, unsigned int messageLen, QvOctet *signature,
                                     unsigned int signatureLen, QvHashAlgo algo);
    // Signs a digest; returns the signature octets written.
    virtual unsigned int sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                              unsigned int signatureLen) = 0;
    virtual bool longMsgVerify(const QvOctet *message, unsigned int messageLen, const QvOctet *signature,
                               unsigned int signatureLen, QvHashAlgo algo);
    virtual bool verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                        unsigned int signatureLen) = 0;
    // The encoding of a digest copied to the caller; a short buffer throws and
    // writes nothing.
    virtual unsigned int encodeDigest(const QvOctet *digest, unsigned int digestLen, QvOctet *encoding,
                                      unsigned int encodingMaxLen);
    virtual void prepareHash(QvHashAlgo algo, unsigned int maxDigestOctets);
    virtual unsigned int encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen);

    // Read-only views for callers and tests.
    const QvHash *getHash() const { return hash; }
    unsigned int getDigestOctets() const { return digestOctets; }

protected:
    QvHashAlgo hashAlgo;
    unsigned int hashOctets;
    QvHash *hash;
    unsigned int digestOctets;

private:
    void prepareHashHere(QvHashAlgo algo, unsigned int maxDigestOctets);
};

#endif
