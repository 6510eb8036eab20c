#include "libtorvapp/qvbcmac.h"

QvBcMac::QvBcMac(unsigned int cipherAlgo, unsigned int pad)
    : padMethod(pad), cipher(qvBcCreateObject(cipherAlgo)), n(cipher->getBlockOctets())
{
}

QvBcMac::QvBcMac(const QvBc& cipherObject, unsigned int pad)
    : padMethod(pad), cipher(cipherObject.clone()), n(cipher->getBlockOctets())
{
}

QvBcMac::QvBcMac(const QvBcMac& other)
    : QvMac(other), padMethod(other.padMethod), cipher(other.cipher->clone()), n(other.n)
{
}

QvBcMac::~QvBcMac()
{
    delete cipher;
    cipher = nullptr;
}

bool QvBcMac::needsMessageLength() const { return padMethod == QV_MAC_PAD_LENGTH_MSG_ZERO; }

void QvBcMac::cipherChanged() { n = cipher->getBlockOctets(); }

void QvBcMac::setCipher(unsigned int cipherAlgo)
{
    QvBc* fresh = qvBcCreateObject(cipherAlgo);
    delete cipher;
    cipher = fresh;
    sessionOpen = false;
    macReady = false;
    cipherChanged();
}

void QvBcMac::setCipher(const QvBc& cipherObject)
{
    QvBc* fresh = cipherObject.clone();
    delete cipher;
    cipher = fresh;
    sessionOpen = false;
    macReady = false;
    cipherChanged();
}

void QvBcMac::setPadMethod(unsigned int pad)
{
    if (pad > QV_MAC_PAD_NONE)
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "QvBcMac::setPadMethod", "qvmac", "57"));
    padMethod = pad;
    sessionOpen = false;
    macReady = false;
}
