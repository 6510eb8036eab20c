#include "libtorvapp/qvrsasigpkcspss.h"

#include <new>

#include "libtorvapp/qvpkcs1.h"

QvRsaSigPkcsPss::QvRsaSigPkcsPss() : saltOctets(0), mgf(nullptr) {}

QvRsaSigPkcsPss::QvRsaSigPkcsPss(unsigned int salt, QvRbg *r, QvHashAlgo hashAlgoArg, unsigned int mgfSelector,
                                 QvHashAlgo mgfHashAlgo)
    : saltOctets(salt), mgf(nullptr)
{
    setRbg(r);
    setHashAlgo(hashAlgoArg);
    if (mgfSelector != 0) {
        mgf = new (std::nothrow) QvMgf1(QV_HASH_DHF_ALGO_SHA256, 0);
        if (mgf == nullptr)
            throw QvMemException(sizeof(QvMgf1), "qvrsasigpkcspss", "51");
    } else {
        mgf = new (std::nothrow) QvMgf1(mgfHashAlgo, 0);
        if (mgf == nullptr)
            throw QvMemException(sizeof(QvMgf1), "qvrsasigpkcspss", "47");
    }
}

QvRsaSigPkcsPss::QvRsaSigPkcsPss(const QvRsaSigPkcsPss &other)
    : QvRsaSig(other), saltOctets(other.saltOctets), mgf(other.mgf != nullptr ? other.mgf->clone() : nullptr)
{
}

QvRsaSigPkcsPss &QvRsaSigPkcsPss::operator=(const QvRsaSigPkcsPss &other)
{
    if (this == &other)
        return *this;
    QvMgf *copy = other.mgf != nullptr ? other.mgf->clone() : nullptr;
    QvRsaSig::operator=(other);
    saltOctets = other.saltOctets;
    delete mgf;
    mgf = copy;
    return *this;
}

QvRsaSigPkcsPss::~QvRsaSigPkcsPss()
{
    delete mgf;
    mgf = nullptr;
}

void QvRsaSigPkcsPss::requireHashAndMgf(const char *text) const
{
    if (hash == nullptr || mgf == nullptr)
        qvThrow<QvNotInitException>(text);
}

unsigned int QvRsaSigPkcsPss::encode(QvOctMem &encoding, const QvOctet *digest, unsigned int digestLen)
{
    unsigned int modBits = getKeyBits(0);
    unsigned int emLen = (modBits + 6) / 8;
    static const char tooShort[] =
        "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
        "REASON: There is no key or key is too short to encode message.\n"
        "FUNCTION: unsigned int QvRsaSigPkcsPss::encode(QvOctMem &encoding, const QvOctet *digest, "
        "unsigned int digestLen)\nFILE: rsasigpkcspss_encode\nLINE: 34\n";
    if (modBits == 0)
        qvThrow<QvArgumentRangeException>(tooShort);
    if (rbg == nullptr && saltOctets != 0)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no random bit generator and scheme needs nonzero length of salt octets.\n"
            "FUNCTION: unsigned int QvRsaSigPkcsPss::encode(QvOctMem &encoding, const QvOctet *digest, "
            "unsigned int digestLen)\nFILE: rsasigpkcspss_encode\nLINE: 42\n");
    requireHashAndMgf(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
        "REASON: There is no hash or no mask generation function.\n"
        "FUNCTION: unsigned int QvRsaSigPkcsPss::encode(QvOctMem &encoding, const QvOctet *digest, "
        "unsigned int digestLen)\nFILE: rsasigpkcspss_encode\nLINE: 45\n");
    unsigned int hLen = digestOctets;
    if (static_cast<unsigned long long>(emLen) < static_cast<unsigned long long>(hLen) + saltOctets + 2)
        qvThrow<QvArgumentRangeException>(tooShort);
    qvPkcs1EmsaPssEncode(encoding, modBits, *hash, hLen, digest, digestLen, saltOctets, rbg, *mgf);
    return emLen;
}

unsigned int QvRsaSigPkcsPss::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                                   unsigned int signatureLen)
{
    QvOctMem em;
    unsigned int n = encode(em, digest, digestLen);
    return QvRsaSig::sign(em.getConstData(), n, signature, signatureLen);
}

bool QvRsaSigPkcsPss::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *signature,
                             unsigned int signatureLen)
{
    const QvRsaPublicKey *key = getPublicKey();
    if (key == nullptr || !key->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no key or it is not ready to verification.\n"
            "FUNCTION: bool QvRsaSigPkcsPss::verify(const QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: rsasigpkcspss_verify\nLINE: 47\n");
    if (signatureLen > key->getKeyOctets())
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: Signature you are trying verify is too long.\n"
            "FUNCTION: bool QvRsaSigPkcsPss::verify(const QvOctet *signature, unsigned int signatureLen)\n"
            "FILE: rsasigpkcspss_verify\nLINE: 55\n");
    requireHashAndMgf(
        "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
        "REASON: There is no hash or no mask generation function.\n"
        "FUNCTION: bool QvRsaSigPkcsPss::verify(const QvOctet *signature, unsigned int signatureLen)\n"
        "FILE: rsasigpkcspss_verify\nLINE: 58\n");
    unsigned int modBits = key->getKeyBits();
    unsigned int emLen = (modBits + 6) / 8;
    unsigned int hLen = digestOctets;
    const QvModulus &n = key->getN();
    QvN sv(signature, signatureLen, 0);
    if (sv >= n)
        return false;
    QvZn s(sv, &n);
    s ^= key->getE();
    QvN m = s.asQvN();
    if (m.getOctetLength() > emLen)
        return false;
    QvOctMem em(emLen);
    m.asOctetString(em.getData(), emLen, true);
    bool ok = qvPkcs1EmsaPssVerify(em.getData(), emLen, modBits, *hash, hLen, digest, digestLen, saltOctets, *mgf);
    em.clear();
    return ok;
}
