#include "libtorvapp/qvdhgfpsecret.h"

#include <algorithm>
#include <cstring>

#include "libtorvapp/qvnumbers/qvzn.h"

namespace {

void put32(QvOctet *out, QvWord v)
{
    out[0] = static_cast<QvOctet>(v >> 24);
    out[1] = static_cast<QvOctet>(v >> 16);
    out[2] = static_cast<QvOctet>(v >> 8);
    out[3] = static_cast<QvOctet>(v);
}

void stepIf(QvHash &h, const QvOctet *p, unsigned int len)
{
    if (len != 0 && p != nullptr)
        h.step(p, len);
}

} // namespace

QvDhGFpSecret::QvDhGFpSecret() : publicKey(nullptr), privateKey(nullptr), hash(nullptr)
{
    hash = qvHashCreateObject(QV_HASH_DHF_ALGO_SHA256);
}

QvDhGFpSecret::QvDhGFpSecret(const QvDhGFpSecret &other)
    : QvAsymSecret(other), publicKey(other.publicKey), privateKey(other.privateKey), hash(nullptr)
{
    hash = other.hash != nullptr ? other.hash->clone() : qvHashCreateObject(QV_HASH_DHF_ALGO_SHA256);
}

QvDhGFpSecret::~QvDhGFpSecret()
{
    delete hash;
    hash = nullptr;
    publicKey = nullptr;
    privateKey = nullptr;
}

unsigned int QvDhGFpSecret::getKeyBits(unsigned int) const
{
    if (publicKey != nullptr)
        return publicKey->getKeyBits();
    if (privateKey != nullptr)
        return privateKey->getKeyBits();
    return 0;
}

void QvDhGFpSecret::generateSecret()
{
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no public key or it is not ready.\n"
            "FUNCTION: void QvDhGFpSecret::generateSecret(void)\nFILE: dhgfpsecret_generate\nLINE: 0\n");
    if (privateKey == nullptr || !privateKey->isPrivatePartReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no private key or it is not ready.\n"
            "FUNCTION: void QvDhGFpSecret::generateSecret(void)\nFILE: dhgfpsecret_generate\nLINE: 0\n");
    const QvMultiplicativeModulusGroup &p = privateKey->getP();
    // 0, 1 and p - 1 (and anything outside the field) would give a secret
    // that anybody knows.
    const QvN &y = publicKey->getY();
    if (y < 2u || y + 1u >= p)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Public value of the peer is out of range.\n"
            "FUNCTION: void QvDhGFpSecret::generateSecret(void)\nFILE: dhgfpsecret_generate\nLINE: 0\n");
    QvZn z(y, &p);
    z ^= privateKey->getX();
    QvN zn = z.asQvN();
    unsigned int len = zn.isZero() ? 1 : zn.getOctetLength();
    QvOctMem out(len);
    zn.asOctetString(out.getData(), len, true);
    zn = QvWord(0);
    secret = out;
    out.clear();
}

void QvDhGFpSecret::deriveKey(QvOctet *out, unsigned int outLen, const QvOctet *a, unsigned int aLen,
                              const QvOctet *b, unsigned int bLen, const QvOctet *c, unsigned int cLen,
                              const QvOctet *d, unsigned int dLen, const QvOctet *e, unsigned int eLen)
{
    unsigned int hLen = hash->getHashOctets();
    QvWord counter = 1;
    unsigned int done = 0;
    while (done < outLen) {
        QvOctet ctr[4];
        put32(ctr, counter++);
        hash->init();
        stepIf(*hash, secret.getConstData(), secret.getLength());
        stepIf(*hash, a, aLen);
        hash->step(ctr, 4);
        stepIf(*hash, b, bLen);
        stepIf(*hash, c, cLen);
        stepIf(*hash, e, eLen);
        stepIf(*hash, d, dLen);
        hash->finish();
        unsigned int take = std::min(hLen, outLen - done);
        std::memcpy(out + done, hash->getHashObject().getConstData(), take);
        done += take;
    }
}

void generateKeyPair(QvDhGFpPublicKey &publicKey, QvDhGFpPrivateKey &privateKey, const QvDhGFpKeyDomain *domain,
                     QvRbg *rbg)
{
    if (domain == nullptr || !domain->isComplete())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Domain is not compleat.\n"
            "FUNCTION: void generateKeyPair(QvDhGFpPublicKey &publicKey, QvDhGFpPrivateKey &privateKey, "
            "const QvDhGFpKeyDomain *domain, QvRbg *rbg)\nFILE: dhgfpsecret_keypair\nLINE: 0\n");
    const QvModulus &q = domain->getQ();
    // An order below 2^64 would give a private value from too small a range.
    if (q.getBitLength() <= 64)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Order of the group is too small for a secret value.\n"
            "FUNCTION: void generateKeyPair(QvDhGFpPublicKey &publicKey, QvDhGFpPrivateKey &privateKey, "
            "const QvDhGFpKeyDomain *domain, QvRbg *rbg)\nFILE: dhgfpsecret_keypair\nLINE: 0\n");
    if (rbg == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no random generator.\n"
            "FUNCTION: void generateKeyPair(QvDhGFpPublicKey &publicKey, QvDhGFpPrivateKey &privateKey, "
            "const QvDhGFpKeyDomain *domain, QvRbg *rbg)\nFILE: dhgfpsecret_keypair\nLINE: 0\n");
    unsigned int qLen = q.getOctetLength();
    QvOctMem buf(qLen);
    QvN x;
    try {
        do {
            rbg->fillOctets(buf.getData(), qLen);
            x = QvN(buf.getConstData(), qLen, 0);
            x %= q;
        } while (x < 2u || x + 2u > q);
    } catch (...) {
        buf.clear();
        x = QvWord(0);
        throw;
    }
    buf.clear();
    const QvMultiplicativeModulusGroup &p = domain->getP();
    QvZn y(domain->getG() % p, &p);
    y ^= x;
    QvN yn = y.asQvN();
    publicKey.setDomain(domain);
    publicKey.setY(yn);
    privateKey.setDomain(domain);
    privateKey.setX(x);
    privateKey.setY(yn);
    x = QvWord(0);
}
