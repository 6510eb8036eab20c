#include "libtorvapp/qvrsacipherpkcsv15.h"

#include <cstring>

#include "libtorvapp/qvpkcs1.h"

QvRsaCipherPkcsV15::QvRsaCipherPkcsV15(QvRbg *r) : rbg(r) {}

QvRsaCipherPkcsV15::~QvRsaCipherPkcsV15() { rbg = nullptr; }

unsigned int QvRsaCipherPkcsV15::getMaxPlainTextOctets() const
{
    requireKey();
    unsigned int k = getKeyOctets(0);
    return k > 11 ? k - 11 : 0;
}

unsigned int QvRsaCipherPkcsV15::encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen,
                                                  const QvOctet *, unsigned int, QvOctet *cipherText,
                                                  unsigned int cipherTextLen)
{
    unsigned int k = getKeyOctets(0);
    if (static_cast<unsigned long long>(k) < static_cast<unsigned long long>(plainTextLen) + 11)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Message you are tryiung encrypt is too long.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsV15::encryptWithLabel(QvOctet *plainText, unsigned int "
            "plainTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int "
            "cipherTextLen)\nFILE: rsacipherpkcsv15_encrypt\nLINE: 0\n");
    if (rbg == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no random bit generator.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsV15::encryptWithLabel(QvOctet *plainText, unsigned int "
            "plainTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int "
            "cipherTextLen)\nFILE: rsacipherpkcsv15_encrypt\nLINE: 0\n");
    QvOctMem block(k - 1);
    try {
        qvPkcs1EmeV15Encode(block.getData(), k, plainText, plainTextLen, *rbg);
        unsigned int r = QvRsaCipher::encryptWithLabel(block.getConstData(), k - 1, nullptr, 0, cipherText,
                                                       cipherTextLen);
        block.clear();
        return r;
    } catch (...) {
        block.clear();
        throw;
    }
}

unsigned int QvRsaCipherPkcsV15::decrypt(const QvOctet *cipherText, unsigned int cipherTextLen, QvOctet *plainText,
                                         unsigned int plainTextLen)
{
    unsigned int k = getKeyOctets(0);
    QvOctMem block(k);
    unsigned int l = QvRsaCipher::decrypt(cipherText, cipherTextLen, block.getData(), k);
    unsigned int off = 0;
    unsigned int len = 0;
    bool ok = qvPkcs1EmeV15Decode(block.getConstData(), l, off, len);
    if (!ok) {
        block.clear();
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
            "REASON: Wrong padding syntax of decrypted message.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsV15::decrypt(QvOctet *cipherText, unsigned int cipherTextLen, "
            "QvOctet *plainText, unsigned int plainTextLen)\nFILE: rsacipherpkcsv15_decrypt\nLINE: 0\n");
    }
    if (len > plainTextLen || (len != 0 && plainText == nullptr)) {
        block.clear();
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer for plain text is too short.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsV15::decrypt(QvOctet *cipherText, unsigned int cipherTextLen, "
            "QvOctet *plainText, unsigned int plainTextLen)\nFILE: rsacipherpkcsv15_decrypt\nLINE: 0\n");
    }
    if (len != 0)
        std::memcpy(plainText, block.getConstData() + off, len);
    block.clear();
    return len;
}
