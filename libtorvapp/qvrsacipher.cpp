#include "libtorvapp/qvrsacipher.h"

#include "libtorvapp/qvnumbers/qvzn.h"

QvRsaCipher::QvRsaCipher() : publicKey(nullptr), privateKey(nullptr) {}

QvRsaCipher::~QvRsaCipher()
{
    publicKey = nullptr;
    privateKey = nullptr;
}

void QvRsaCipher::setPublicKey(const QvRsaPublicKey *key)
{
    publicKey = key;
    privateKey = nullptr;
}

void QvRsaCipher::setPrivateKey(const QvRsaPrivateKey *key)
{
    privateKey = key;
    publicKey = nullptr;
}

unsigned int QvRsaCipher::getKeyBits(unsigned int) const
{
    if (publicKey != nullptr)
        return publicKey->getKeyBits();
    if (privateKey != nullptr)
        return privateKey->getKeyBits();
    return 0;
}

void QvRsaCipher::requireKey() const
{
    if (publicKey == nullptr && privateKey == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Neither private nor public key is initialised.\n"
            "FUNCTION: unsigned int QvRsaCipher::getMaxCipherTextOctets(void) const\nFILE: qvrsacipher\nLINE: 0\n");
}

unsigned int QvRsaCipher::getMaxCipherTextOctets() const
{
    requireKey();
    return getKeyOctets(0);
}

unsigned int QvRsaCipher::getMaxPlainTextOctets() const
{
    requireKey();
    return getKeyOctets(0);
}

unsigned int QvRsaCipher::decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                                  unsigned int plainTextLen)
{
    unsigned int k = getKeyOctets(0);
    if (privateKey == nullptr || !privateKey->isReadyToDecrypt())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no private key or it is not ready to decrypt.\n"
            "FUNCTION: unsigned int QvRsaCipher::decrypt(QvOctet *cipherText, unsigned int cipherTextLen, "
            "QvOctet *plainText, unsigned int plainTextLen)\nFILE: rsacipher_decrypt\nLINE: 0\n");
    if (k > plainTextLen || plainText == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer for plain text is too short.\n"
            "FUNCTION: unsigned int QvRsaCipher::decrypt(QvOctet *cipherText, unsigned int cipherTextLen, "
            "QvOctet *plainText, unsigned int plainTextLen)\nFILE: rsacipher_decrypt\nLINE: 0\n");
    if (cipherTextLen > k)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Message you are trying to decrypt is too long.\n"
            "FUNCTION: unsigned int QvRsaCipher::decrypt(QvOctet *cipherText, unsigned int cipherTextLen, "
            "QvOctet *plainText, unsigned int plainTextLen)\nFILE: rsacipher_decrypt\nLINE: 0\n");
    const QvModulus &n = privateKey->getModulus();
    QvZn c(QvN(cipherText, cipherTextLen, 0) % n, &n);
    c ^= privateKey->getPrivateExponent();
    c.asQvN().asOctetString(plainText, k, true);
    return k;
}

unsigned int QvRsaCipher::encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen, const QvOctet *,
                                           unsigned int, QvOctet *cipherText, unsigned int cipherTextLen)
{
    unsigned int k = getKeyOctets(0);
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no key or it is not initialised.\n"
            "FUNCTION: unsigned int QvRsaCipher::encryptWithLabel(QvOctet *plainText, unsigned int plainTextLen, "
            "const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen)\n"
            "FILE: rsacipher_encrypt\nLINE: 0\n");
    if (k > cipherTextLen || cipherText == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer for cipher text is too short.\n"
            "FUNCTION: unsigned int QvRsaCipher::encryptWithLabel(QvOctet *plainText, unsigned int plainTextLen, "
            "const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen)\n"
            "FILE: rsacipher_encrypt\nLINE: 0\n");
    const QvModulus &n = publicKey->getN();
    QvN m(plainText, plainTextLen, 0);
    if (m >= n)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Message you are trying to encrypt is too long.\n"
            "FUNCTION: unsigned int QvRsaCipher::encryptWithLabel(QvOctet *plainText, unsigned int plainTextLen, "
            "const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int cipherTextLen)\n"
            "FILE: rsacipher_encrypt\nLINE: 0\n");
    QvZn c(m, &n);
    m = QvWord(0);
    c ^= publicKey->getE();
    c.asQvN().asOctetString(cipherText, k, true);
    return k;
}
