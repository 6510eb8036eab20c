#include "libtorvapp/qvgeneraldsasig.h"

#include "libtorvapp/qvdsaarith.h"

QvGeneralDsaSig::~QvGeneralDsaSig() = default;

unsigned int QvGeneralDsaSig::getMaxSignatureOctets() const
{
    if (privateKey == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Private key is not initialised.\n"
            "FUNCTION: unsigned int QvGeneralDsaSig::getMaxSignatureOctets(void) const\n"
            "FILE: qvgeneraldsasig\nLINE: 140\n");
    return 2 * privateKey->getKeyOctets() + 14;
}

unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature,
                                   unsigned int signatureLen)
{
    if (privateKey == nullptr || !privateKey->isReadyToSign())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no private key or it is not ready to sign.\n"
            "FUNCTION: unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: generaldsasig_sign\nLINE: 83\n");
    if (rbg == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no random generator.\n"
            "FUNCTION: unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: generaldsasig_sign\nLINE: 86\n");
    const QvGeneralDsaKeyDomain *domain = privateKey->getDomain();
    const QvModulus &n = domain->getOrder();
    QvN e = qvDsaDigestNumber(digest, digestLen, n.getBitLength());
    QvN r;
    QvN s;
    qvDsaSignRS(*domain->getGroup(), domain->getGen(), n, privateKey->getX(), e, *rbg,
                2 * privateKey->getKeyOctets(), r, s);
    unsigned int total = qvDsaEncodedRSLength(r, s);
    if (total > signatureLen || signature == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
            "REASON: Buffer (QvOctet *signature) for signature is too short.\n"
            "FUNCTION: unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
            "QvOctet *signature, unsigned int signatureLen)\nFILE: generaldsasig_sign\nLINE: 142\n");
    return qvDsaEncodeRS(r, s, signature, signatureLen);
}

bool QvGeneralDsaSig::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets,
                             unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)
{
    QvN r(rOctets, rLen, 0);
    QvN s(sOctets, sLen, 0);
    if (publicKey == nullptr || !publicKey->isReady())
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
            "REASON: There is no public key or is is not ready to verification.\n"
            "FUNCTION: bool QvGeneralDsaSig::verify(const QvOctet *digest, unsigned int digestLen, "
            "const QvOctet *rOctets, unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)\n"
            "FILE: generaldsasig_verify\nLINE: 448\n");
    const QvGeneralDsaKeyDomain *domain = publicKey->getDomain();
    const QvModulus &n = domain->getOrder();
    QvN e = qvDsaDigestNumber(digest, digestLen, n.getBitLength());
    return qvDsaVerifyRS(*domain->getGroup(), domain->getGen(), n, publicKey->getH(), e, r, s);
}

const char *QvGeneralDsaSig::noHashText() const
{
    return "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
           "FUNCTION: bool QvGeneralDsaSig::verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, "
           "const QvOctet *sOctets, unsigned int sLen)\nFILE: generaldsasig_verify\nLINE: 0\n";
}
