#include "libtorvapp/qvrsasigpkcsv15.h"

#include "libtorvapp/qvpkcs1.h"

QvRsaSigPkcsV15::~QvRsaSigPkcsV15() = default;

unsigned int QvRsaSigPkcsV15::encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen)
{
    if (hash == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Hash function is not initialised.\n"
            "FUNCTION: unsigned int QvRsaSigPkcsV15::encode(QvOctMem &encoding, const QvOctet *digest, "
            "unsigned int digestLen)\nFILE: rsasigpkcsv15_encode\nLINE: 24\n");
    QvOctMem t;
    qvPkcs1DigestInfo(t, *hash, digest, digestLen);
    unsigned int k = getKeyOctets(0);
    if (k == 0)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: There is no key or key is too short to encode message.\n"
            "FUNCTION: unsigned int QvRsaSigPkcsV15::encode(QvOctMem &encoding, const QvOctet *digest, "
            "unsigned int digestLen)\nFILE: rsasigpkcsv15_encode\nLINE: 30\n");
    if (!qvPkcs1EmsaV15(encoding, t, k))
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Digest you are trying encode is too long.\n"
            "FUNCTION: unsigned int QvRsaSigPkcsV15::encode(QvOctMem &encoding, const QvOctet *digest, "
            "unsigned int digestLen)\nFILE: rsasigpkcsv15_encode\nLINE: 81\n");
    return k - 1;
}

unsigned int QvRsaSigPkcsV15::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                                   unsigned int signatureLen)
{
    QvOctMem em;
    unsigned int n = encode(em, digest, digestLen);
    return QvRsaSig::sign(em.getConstData(), n, signature, signatureLen);
}

bool QvRsaSigPkcsV15::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                             unsigned int signatureLen)
{
    QvOctMem em;
    unsigned int n = encode(em, digest, digestLen);
    return QvRsaSig::verify(em.getConstData(), n, signature, signatureLen);
}
