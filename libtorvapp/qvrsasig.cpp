#include "libtorvapp/qvrsasig.h"

QvRsaSig::QvRsaSig() : rbg(nullptr), publicKey(nullptr), privateKey(nullptr), mode(0), maskReady(false) {}

QvRsaSig::~QvRsaSig()
{
    rbg = nullptr;
    publicKey = nullptr;
    privateKey = nullptr;
    mode = 0;
    maskReady = false;
}

void QvRsaSig::setPublicKey(const QvRsaPublicKey *key)
{
    publicKey = key;
    privateKey = nullptr;
}

void QvRsaSig::setPrivateKey(const QvRsaPrivateKey *key)
{
    publicKey = nullptr;
    privateKey = key;
    maskReady = false;
}

unsigned int QvRsaSig::getKeyBits(unsigned int) const
{
    if (publicKey != nullptr)
        return publicKey->getKeyBits();
    if (privateKey != nullptr)
        return privateKey->getKeyBits();
    return 0;
}

unsigned int QvRsaSig::getMaxSignatureOctets() const
{
    if (publicKey == nullptr && privateKey == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Neither private nor public key is initialised.\n"
            "FUNCTION: unsigned int QvRsaSig::getMaxSignatureOctets(void) const\nFILE: qvrsasig\nLINE: 161\n");
    return getKeyOctets(0);
}

unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                            unsigned int signatureLen)
{
    unsigned int k = getKeyOctets(0);
    if (privateKey == nullptr || !privateKey->isReadyToSign())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no private key or it is not ready to sign.\n"
            "FUNCTION: unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: rsasig_sign\nLINE: 47\n");
    if (k < digestLen)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: QV-MESSAGE-TO-LONG: Digest you are trying sign is too long.\n"
            "FUNCTION: unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: rsasig_sign\nLINE: 56\n");
    const QvModulus &n = privateKey->getModulus();
    QvZn x(QvN(digest, digestLen, 0) % n, &n);
    const QvZn input(x);
    bool masking = (mode & 1) != 0;
    if (masking) {
        if (!maskReady) {
            if (rbg == nullptr)
                qvThrow<QvNotInitException>(
                    "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
                    "REASON: There is no random bit generator and masking mode was chosen.\n"
                    "FUNCTION: unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
                    "QvOctet *signature, unsigned int signatureLen)\nFILE: rsasig_sign\nLINE: 75\n");
            unsigned int bits = n.getBitLength();
            unsigned int rBits = bits < 3073 ? 128 : (bits <= 7680 ? 192 : 256);
            QvN r;
            do {
                r.setRandom(rBits, rbg);
            } while (r.isZero());
            maskA = QvZn(r % n, &n);
            maskB = 1u / maskA;
            maskA ^= privateKey->getPublicExponent();
            r = QvWord(0);
            maskReady = true;
        } else {
            maskA *= maskA;
            maskB *= maskB;
        }
        x *= maskA;
    }
    x ^= privateKey->getPrivateExponent();
    if (masking)
        x *= maskB;
    // A fault in the private-key operation (through the prime factors above
    // all) would give away the key with the signature: the result is checked
    // with the public exponent before it leaves.
    const QvN &e = privateKey->getPublicExponent();
    if (!e.isZero() && (x ^ e) != input)
        qvThrow<QvInternalErrorException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvInternalErrorException\n"
            "REASON: The private-key operation gave a wrong result.\n"
            "FUNCTION: unsigned int QvRsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: rsasig_sign\nLINE: 118\n");
    if (k > signatureLen || signature == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: There is too small buffer to write signature.\n"
            "FUNCTION: \nFILE: rsasig_sign\nLINE: 126\n");
    x.asQvN().asOctetString(signature, k, true);
    return k;
}

bool QvRsaSig::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                      unsigned int signatureLen)
{
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no key or it is not ready to verification.\n"
            "FUNCTION: bool QvRsaSig::verify(const QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: rassig_verify\nLINE: 34\n");
    if (signatureLen > publicKey->getKeyOctets())
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Signature you are trying verify is too long.\n"
            "FUNCTION: bool QvRsaSig::verify(const QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: rassig_verify\nLINE: 42\n");
    try {
        const QvModulus &n = publicKey->getN();
        QvN sv(signature, signatureLen, 0);
        // A signature at or above n is not one the key can have made.
        if (sv >= n)
            return false;
        QvZn s(sv, &n);
        s ^= publicKey->getE();
        return s.asQvN() == QvN(digest, digestLen, 0);
    } catch (const QvInvException &) {
        return false;
    }
}
