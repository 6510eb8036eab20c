#include "libtorvapp/qvasymsig.h"

#include <cstring>

QvAsymSig::QvAsymSig() : hashAlgo(0), hashOctets(0), hash(nullptr), digestOctets(0) {}

QvAsymSig::QvAsymSig(const QvAsymSig &other)
    : QvAsymScheme(other), hashAlgo(other.hashAlgo), hashOctets(other.hashOctets), hash(nullptr), digestOctets(0)
{
    // A scheme that never had a hash copies as one without a hash.
    if (hashAlgo != 0)
        prepareHashHere(hashAlgo, hashOctets);
}

QvAsymSig &QvAsymSig::operator=(const QvAsymSig &other)
{
    if (this == &other)
        return *this;
    QvAsymScheme::operator=(other);
    hashAlgo = other.hashAlgo;
    hashOctets = other.hashOctets;
    if (hashAlgo != 0) {
        prepareHash(hashAlgo, hashOctets);
    } else {
        delete hash;
        hash = nullptr;
        digestOctets = 0;
    }
    return *this;
}

QvAsymSig::~QvAsymSig()
{
    hashAlgo = 0;
    hashOctets = 0;
    delete hash;
    hash = nullptr;
    digestOctets = 0;
}

void QvAsymSig::setHashAlgo(QvHashAlgo algo)
{
    hashAlgo = algo;
    prepareHash(algo, 0);
    hashOctets = digestOctets;
}

void QvAsymSig::prepareHash(QvHashAlgo algo, unsigned int maxDigestOctets) { prepareHashHere(algo, maxDigestOctets); }

void QvAsymSig::prepareHashHere(QvHashAlgo algo, unsigned int maxDigestOctets)
{
    if (hash != nullptr && hash->getHashAlgo() != algo) {
        delete hash;
        hash = nullptr;
    }
    // The requested algorithm is made (the configured one only when none is
    // asked for); an unknown identifier throws from the factory.
    if (hash == nullptr)
        hash = qvHashCreateObject(algo);
    if (hash == nullptr) {
        digestOctets = 0;
        return;
    }
    unsigned int full = hash->getHashOctets();
    digestOctets = (maxDigestOctets != 0 && maxDigestOctets < full) ? maxDigestOctets : full;
}

void QvAsymSig::longMsgHashInit(QvHashAlgo algo)
{
    prepareHash(algo != 0 ? algo : hashAlgo, 0);
    if (hash == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Hash function is not initialised.\n"
            "FUNCTION: void QvAsymSig::longMsgHashInit(QvHashAlgo algo)\nFILE: asymsig_long\nLINE: 38\n");
    hash->init();
}

void QvAsymSig::longMsgHashUpdate(const QvOctet *data, unsigned int len)
{
    // No hash object at all: the same refusal as a hash without a session.
    if (hash == nullptr)
        qvThrow<QvFsmException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
            "FUNCTION: void QvAsymSig::longMsgHashUpdate(const QvOctet *data, unsigned int len)\n"
            "FILE: asymsig_long\nLINE: 52\n");
    hash->step(data, len);
}

unsigned int QvAsymSig::longMsgSignFinal(QvOctet *signature, unsigned int signatureLen)
{
    if (hash == nullptr)
        qvThrow<QvFsmException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
            "FUNCTION: unsigned int QvAsymSig::longMsgSignFinal(QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: asymsig_long\nLINE: 64\n");
    hash->finish();
    QvOctMem digest(hash->getHashObject());
    return sign(digest.getConstData(), digestOctets, signature, signatureLen);
}

bool QvAsymSig::longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen)
{
    if (hash == nullptr)
        qvThrow<QvFsmException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
            "FUNCTION: bool QvAsymSig::longMsgVerifyFinal(const QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: asymsig_long\nLINE: 79\n");
    hash->finish();
    QvOctMem digest(hash->getHashObject());
    return verify(digest.getConstData(), digestOctets, signature, signatureLen);
}

unsigned int QvAsymSig::longMsgSign(const QvOctet *message, unsigned int messageLen, QvOctet *signature,
                                    unsigned int signatureLen, QvHashAlgo algo)
{
    longMsgHashInit(algo);
    longMsgHashUpdate(message, messageLen);
    return longMsgSignFinal(signature, signatureLen);
}

bool QvAsymSig::longMsgVerify(const QvOctet *message, unsigned int messageLen, const QvOctet *signature,
                              unsigned int signatureLen, QvHashAlgo algo)
{
    longMsgHashInit(algo);
    longMsgHashUpdate(message, messageLen);
    return longMsgVerifyFinal(signature, signatureLen);
}

unsigned int QvAsymSig::encodeDigest(const QvOctet *digest, unsigned int digestLen, QvOctet *encoding,
                                     unsigned int encodingMaxLen)
{
    QvOctMem tmp;
    unsigned int n = encode(tmp, digest, digestLen);
    if (n > encodingMaxLen)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Buffer for encoding is too short.\n"
            "FUNCTION: unsigned int QvAsymSig::encodeDigest(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *encoding, unsigned int encodingMaxLen)\nFILE: asymsig_encode\nLINE: 46\n");
    if (n != 0)
        std::memcpy(encoding, tmp.getConstData(), n);
    return n;
}

unsigned int QvAsymSig::encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen)
{
    encoding = QvOctMem(digest, digestLen);
    return digestLen;
}
