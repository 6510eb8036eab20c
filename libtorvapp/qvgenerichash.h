// One object of each hash with one of them selected; callers use `currentHash`
// directly after setHashAlgo. Also answers digest lengths by identifier.
#ifndef LIBTORVAPP_QVGENERICHASH_H
#define LIBTORVAPP_QVGENERICHASH_H

#include "libtorvapp/qvmd5.h"
#include "libtorvapp/qvripemd128.h"
#include "libtorvapp/qvripemd160.h"
#include "libtorvapp/qvsha1.h"
#include "libtorvapp/qvsha224.h"
#include "libtorvapp/qvsha256.h"
#include "libtorvapp/qvsha384.h"
#include "libtorvapp/qvsha512.h"

class QvGenericHash {
public:
    // SHA-256 selected.
    QvGenericHash();
    explicit QvGenericHash(unsigned int hashAlgo);
    QvGenericHash(const QvGenericHash& other);
    QvGenericHash& operator=(const QvGenericHash& other);
    ~QvGenericHash();

    // Selects the member of that identifier and closes its session (a finished
    // digest stays readable). Unknown identifiers throw QvArgumentRangeException.
    void setHashAlgo(unsigned int hashAlgo);

    // Digest octets of an identifier without creating an object.
    static unsigned int getGenericHashOctets(unsigned int hashAlgo);

    QvMd5 md5;
    QvRipemd128 ripemd128;
    QvRipemd160 ripemd160;
    QvSha1 sha1;
    QvSha224 sha224;
    QvSha256 sha256;
    QvSha384 sha384;
    QvSha512 sha512;
    QvHash* currentHash;
    unsigned int maxHashOctets;

private:
    QvHash* memberFor(unsigned int hashAlgo);
};

#endif
