#include "libtorvapp/qvrsacipherpkcsoaep.h"

#include <cstring>
#include <new>

#include "libtorvapp/qvpkcs1.h"

namespace {

QvMgf *makeMgf(unsigned int mgfFlag, QvHashAlgo mgfHashAlgo)
{
    QvMgf *m = new (std::nothrow) QvMgf1(mgfFlag != 0 ? QV_HASH_DHF_ALGO_SHA256 : mgfHashAlgo, 0);
    if (m == nullptr)
        throw QvMemException(sizeof(QvMgf1), "qvrsacipherpkcsoaep", "0");
    return m;
}

} // namespace

QvRsaCipherPkcsOaep::QvRsaCipherPkcsOaep() : rbg(nullptr), hash(nullptr), hLen(0), mgf(nullptr) {}

QvRsaCipherPkcsOaep::QvRsaCipherPkcsOaep(QvRbg *r, QvHashAlgo hashAlgo, unsigned int mgfFlag,
                                         QvHashAlgo mgfHashAlgo)
    : rbg(r), hash(nullptr), hLen(0), mgf(nullptr)
{
    hash = qvHashCreateObject(hashAlgo);
    hLen = hash->getHashOctets();
    try {
        mgf = makeMgf(mgfFlag, mgfHashAlgo);
    } catch (...) {
        delete hash;
        throw;
    }
}

QvRsaCipherPkcsOaep::QvRsaCipherPkcsOaep(const QvRsaCipherPkcsOaep &other)
    : QvRsaCipher(), rbg(other.rbg), hash(nullptr), hLen(other.hLen), mgf(nullptr)
{
    hash = other.hash != nullptr ? other.hash->clone() : nullptr;
    try {
        mgf = other.mgf != nullptr ? other.mgf->clone() : nullptr;
    } catch (...) {
        delete hash;
        throw;
    }
}

QvRsaCipherPkcsOaep &QvRsaCipherPkcsOaep::operator=(const QvRsaCipherPkcsOaep &other)
{
    if (this == &other)
        return *this;
    QvHash *h = other.hash != nullptr ? other.hash->clone() : nullptr;
    QvMgf *m = nullptr;
    try {
        m = other.mgf != nullptr ? other.mgf->clone() : nullptr;
    } catch (...) {
        delete h;
        throw;
    }
    QvRsaCipher::operator=(other);
    rbg = other.rbg;
    hLen = other.hLen;
    delete hash;
    delete mgf;
    hash = h;
    mgf = m;
    return *this;
}

QvRsaCipherPkcsOaep::~QvRsaCipherPkcsOaep()
{
    delete hash;
    delete mgf;
    hash = nullptr;
    mgf = nullptr;
    rbg = nullptr;
}

unsigned int QvRsaCipherPkcsOaep::setHash(QvHashAlgo hashAlgo)
{
    QvHash *h = qvHashCreateObject(hashAlgo);
    delete hash;
    hash = h;
    hLen = hash->getHashOctets();
    return hLen;
}

void QvRsaCipherPkcsOaep::setMgf(unsigned int mgfFlag, QvHashAlgo mgfHashAlgo)
{
    QvMgf *m = makeMgf(mgfFlag, mgfHashAlgo);
    delete mgf;
    mgf = m;
}

unsigned int QvRsaCipherPkcsOaep::getMaxPlainTextOctets() const
{
    requireKey();
    unsigned int k = getKeyOctets(0);
    return k > 2 * hLen + 2 ? k - 2 * hLen - 2 : 0;
}

unsigned int QvRsaCipherPkcsOaep::encryptWithLabel(const QvOctet *plainText, unsigned int plainTextLen,
                                                   const QvOctet *label, unsigned int labelLen, QvOctet *cipherText,
                                                   unsigned int cipherTextLen)
{
    unsigned int k = getKeyOctets(0);
    if (static_cast<unsigned long long>(k) < 2ULL * hLen + plainTextLen + 2)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Message is too long for such modulus.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::encryptWithLabel(QvOctet *plainText, unsigned int "
            "plainTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int "
            "cipherTextLen)\nFILE: rsacipherpkcsoaep_encrypt\nLINE: 0\n");
    if (rbg == nullptr || hash == nullptr || mgf == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no random bit generator or no hash or no mask generation function.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::encryptWithLabel(QvOctet *plainText, unsigned int "
            "plainTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *cipherText, unsigned int "
            "cipherTextLen)\nFILE: rsacipherpkcsoaep_encrypt\nLINE: 0\n");
    QvOctMem block(k - 1);
    try {
        qvPkcs1EmeOaepEncode(block.getData(), k, plainText, plainTextLen, label, labelLen, *hash, *mgf, *rbg);
        unsigned int r = QvRsaCipher::encryptWithLabel(block.getConstData(), k - 1, nullptr, 0, cipherText,
                                                       cipherTextLen);
        block.clear();
        return r;
    } catch (...) {
        block.clear();
        throw;
    }
}

unsigned int QvRsaCipherPkcsOaep::decryptWithLabel(const QvOctet *cipherText, unsigned int cipherTextLen,
                                                   const QvOctet *label, unsigned int labelLen, QvOctet *plainText,
                                                   unsigned int plainTextLen)
{
    unsigned int k = getKeyOctets(0);
    if (static_cast<unsigned long long>(k) < 2ULL * (hLen + 1))
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Modulus is too short to use this hash function.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::decryptWithLabel(const QvOctet *cipherText, unsigned int "
            "cipherTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *plainText, unsigned int "
            "plainTextLen)\nFILE: rsacipherpkcsoaep_decrypt\nLINE: 0\n");
    if (hash == nullptr || mgf == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no hash or no mask generation function.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::decryptWithLabel(const QvOctet *cipherText, unsigned int "
            "cipherTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *plainText, unsigned int "
            "plainTextLen)\nFILE: rsacipherpkcsoaep_decrypt\nLINE: 0\n");
    QvOctMem em(k);
    QvRsaCipher::decrypt(cipherText, cipherTextLen, em.getData(), k);
    unsigned int off = 0;
    unsigned int len = 0;
    bool ok = qvPkcs1EmeOaepDecode(em.getData(), k, label, labelLen, *hash, *mgf, off, len);
    if (!ok) {
        em.clear();
        qvThrow<QvWrongSyntaxException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvWrongSyntaxException\n"
            "REASON: Wrong padding syntax of decrypted message.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::decryptWithLabel(const QvOctet *cipherText, unsigned int "
            "cipherTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *plainText, unsigned int "
            "plainTextLen)\nFILE: rsacipherpkcsoaep_decrypt\nLINE: 0\n");
    }
    if (len > plainTextLen || (len != 0 && plainText == nullptr)) {
        em.clear();
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer for plain text is too short.\n"
            "FUNCTION: unsigned int QvRsaCipherPkcsOaep::decryptWithLabel(const QvOctet *cipherText, unsigned int "
            "cipherTextLen, const QvOctet *label, unsigned int labelLen, QvOctet *plainText, unsigned int "
            "plainTextLen)\nFILE: rsacipherpkcsoaep_decrypt\nLINE: 0\n");
    }
    if (len != 0)
        std::memcpy(plainText, em.getConstData() + off, len);
    em.clear();
    return len;
}
