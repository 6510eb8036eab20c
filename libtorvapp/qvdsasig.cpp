#include "libtorvapp/qvdsasig.h"

#include <memory>

#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvnumbers/qvzn.h"

QvDsaSig::~QvDsaSig() = default;

unsigned int QvDsaSig::getMaxSignatureOctets() const
{
    if (privateKey == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Private key is not initialised.\n"
            "FUNCTION: unsigned int QvDsaSig::getMaxSignatureOctets(void) const\nFILE: qvdsasig\nLINE: 139\n");
    return 2 * privateKey->getKeyOctets() + 14;
}

unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                            unsigned int signatureLen)
{
    if (rbg == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no random generator.\n"
            "FUNCTION: unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: dsasig_sign\nLINE: 65\n");
    if (privateKey == nullptr || !privateKey->isReadyToSign())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no key or it is not ready to sign operation.\n"
            "FUNCTION: unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: dsasig_sign\nLINE: 72\n");
    if (digestLen > digestOctets)
        qvThrow<QvMessageToLongException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
            "REASON: QV-MESSAGE-TO-LONG: Digest you are trying sign is too long.\n"
            "FUNCTION: unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: dsasig_sign\nLINE: 79\n");
    const QvGFpKeyDomain *domain = privateKey->getDomain();
    const QvMultiplicativeModulusGroup &p = privateKey->getP();
    const QvModulus &q = privateKey->getQ();
    QvN r;
    QvN s;
    {
        // g as a residue of the group modulo p (the domain's own generator).
        std::unique_ptr<QvGroupElem> g(new QvZn(domain->getG(), &p));
        QvN z = qvDsaDigestNumber(digest, digestLen, q.getBitLength());
        qvDsaSignRS(p, g.get(), q, privateKey->getX(), z, *rbg, 2 * privateKey->getKeyOctets(), r, s);
    }
    unsigned int total = qvDsaEncodedRSLength(r, s);
    if (total > signatureLen || signature == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer for signature (QvOctet *signature) is too short.\n"
            "FUNCTION: unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: dsasig_sign\nLINE: 128\n");
    return qvDsaEncodeRS(r, s, signature, signatureLen);
}

bool QvDsaSig::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, unsigned int rLen,
                      const QvOctet *sOctets, unsigned int sLen)
{
    QvN r(rOctets, rLen, 0);
    QvN s(sOctets, sLen, 0);
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: Public key is not initialised or no ready to verify operation.\n"
            "FUNCTION: bool QvDsaSig::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, "
            "unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)\nFILE: dsasig_verify\nLINE: 311\n");
    const QvMultiplicativeModulusGroup &p = publicKey->getP();
    const QvModulus &q = publicKey->getQ();
    try {
        QvZn g(publicKey->getG(), &p);
        QvZn y(publicKey->getY(), &p);
        QvN z = qvDsaDigestNumber(digest, digestLen, q.getBitLength());
        return qvDsaVerifyRS(p, &g, q, &y, z, r, s);
    } catch (const QvInvException &) {
        return false;
    }
}

const char *QvDsaSig::noHashText() const
{
    return "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
           "FUNCTION: bool QvDsaSig::verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, "
           "const QvOctet *sOctets, unsigned int sLen)\nFILE: dsasig_verify\nLINE: 0\n";
}
