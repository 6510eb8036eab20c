#include "libtorvapp/qvgenerichash.h"

QvGenericHash::QvGenericHash() : currentHash(&sha256), maxHashOctets(64)
{
    setHashAlgo(QV_HASH_DHF_ALGO_SHA256);
}

QvGenericHash::QvGenericHash(unsigned int hashAlgo) : currentHash(&sha256), maxHashOctets(64)
{
    setHashAlgo(hashAlgo);
}

QvGenericHash::QvGenericHash(const QvGenericHash& other)
    : md5(other.md5), ripemd128(other.ripemd128), ripemd160(other.ripemd160), sha1(other.sha1),
      sha224(other.sha224), sha256(other.sha256), sha384(other.sha384), sha512(other.sha512),
      currentHash(nullptr), maxHashOctets(other.maxHashOctets)
{
    currentHash = memberFor(other.currentHash->getHashAlgo());
}

QvGenericHash& QvGenericHash::operator=(const QvGenericHash& other)
{
    if (this != &other) {
        md5 = other.md5;
        ripemd128 = other.ripemd128;
        ripemd160 = other.ripemd160;
        sha1 = other.sha1;
        sha224 = other.sha224;
        sha256 = other.sha256;
        sha384 = other.sha384;
        sha512 = other.sha512;
        maxHashOctets = other.maxHashOctets;
        currentHash = memberFor(other.currentHash->getHashAlgo());
    }
    return *this;
}

QvGenericHash::~QvGenericHash() { currentHash = nullptr; }

QvHash* QvGenericHash::memberFor(unsigned int hashAlgo)
{
    switch (hashAlgo) {
    case QV_HASH_DHF_ALGO_SHA1: return &sha1;
    case QV_HASH_DHF_ALGO_SHA224: return &sha224;
    case QV_HASH_DHF_ALGO_SHA256: return &sha256;
    case QV_HASH_DHF_ALGO_SHA384: return &sha384;
    case QV_HASH_DHF_ALGO_SHA512: return &sha512;
    case QV_HASH_DHF_ALGO_RIPEMD128: return &ripemd128;
    case QV_HASH_DHF_ALGO_RIPEMD160: return &ripemd160;
    case QV_HASH_DHF_ALGO_MD5: return &md5;
    default: return nullptr;
    }
}

void QvGenericHash::setHashAlgo(unsigned int hashAlgo)
{
    QvHash* h = memberFor(hashAlgo);
    if (h == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Nieznany identyfikator algorytmu.\n"
            "FUNCTION: QvGenericHash::setHashAlgo\nFILE: qvgenerichash\nLINE: 115\n");
    currentHash = h;
    currentHash->sessionOpen = false;
}

unsigned int QvGenericHash::getGenericHashOctets(unsigned int hashAlgo)
{
    static const unsigned int octets[9] = {0, 20, 28, 32, 48, 64, 16, 20, 16};
    if (hashAlgo < 1 || hashAlgo > 8)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Nieznany identyfikator algorytmu.\n"
            "FUNCTION: QvGenericHash::getGenericHashOctets\nFILE: qvgenerichash\nLINE: 78\n");
    return octets[hashAlgo];
}
