#include "libtorvapp/qvhash.h"

#include <cstring>
#include <new>

#include "libtorvapp/qvmd5.h"
#include "libtorvapp/qvripemd128.h"
#include "libtorvapp/qvripemd160.h"
#include "libtorvapp/qvsha1.h"
#include "libtorvapp/qvsha224.h"
#include "libtorvapp/qvsha256.h"
#include "libtorvapp/qvsha384.h"
#include "libtorvapp/qvsha512.h"

QvHash::QvHash(unsigned int digestOctets)
    : digest(digestOctets), sessionOpen(false), digestReady(false)
{
    qvWipe(digest.getData(), digest.getCapacity());
}

QvHash::~QvHash() = default;

void QvHash::hash(const QvOctet* data, unsigned int len)
{
    init();
    step(data, len);
    finish();
}

unsigned int QvHash::getOidDerOctets() const
{
    const QvOctet* der = getOidDer();
    return 2u + der[1];
}

void QvHash::getHash(unsigned int len, QvOctet* out) const
{
    if (sessionOpen)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Niezakonczona sesja przetwarzania.\n"
                                "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 36\n");
    if (!digestReady)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Skrot nie gotowy.\n"
                                "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 39\n");
    if (len > digest.getLength())
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Zazadany zbyt dlugi skrot.\n"
            "FUNCTION: QvHash::getHash\nFILE: qvhash\nLINE: 42\n");
    if (len == 0)
        len = digest.getLength();
    if (out != nullptr)
        std::memcpy(out, digest.getConstData(), len);
}

const QvOctMem& QvHash::getHashObject() const
{
    if (!digestReady)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Skrot nie gotowy.\n"
                                "FUNCTION: QvHash::getHashObject\nFILE: qvhash\nLINE: 57\n");
    return digest;
}

const QvOctet* QvHash::getHashPtr() const
{
    if (!digestReady)
        qvThrow<QvFsmException>("LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\n"
                                "REASON: Skrot nie gotowy.\n"
                                "FUNCTION: QvHash::getHashPtr\nFILE: qvhash\nLINE: 68\n");
    return digest.getConstData();
}

QvHash* qvHashCreateObject(unsigned int hashAlgo)
{
    QvHash* h = nullptr;
    switch (hashAlgo) {
    case QV_HASH_DHF_ALGO_SHA1: h = new (std::nothrow) QvSha1(); break;
    case QV_HASH_DHF_ALGO_SHA224: h = new (std::nothrow) QvSha224(); break;
    case QV_HASH_DHF_ALGO_SHA256: h = new (std::nothrow) QvSha256(); break;
    case QV_HASH_DHF_ALGO_SHA384: h = new (std::nothrow) QvSha384(); break;
    case QV_HASH_DHF_ALGO_SHA512: h = new (std::nothrow) QvSha512(); break;
    case QV_HASH_DHF_ALGO_RIPEMD128: h = new (std::nothrow) QvRipemd128(); break;
    case QV_HASH_DHF_ALGO_RIPEMD160: h = new (std::nothrow) QvRipemd160(); break;
    case QV_HASH_DHF_ALGO_MD5: h = new (std::nothrow) QvMd5(); break;
    default:
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Nieznany identyfikator algorytmu.\n"
            "FUNCTION: qvHashCreateObject\nFILE: qvhash\nLINE: 97\n");
    }
    if (h == nullptr)
        throw QvMemException(0, "qvhash", "94");
    return h;
}
