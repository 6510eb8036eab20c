#include "libtorvapp/qvmac.h"

#include <cstring>

#include "libtorvapp/qvansimac.h"
#include "libtorvapp/qvcbcmac.h"
#include "libtorvapp/qvemac.h"
#include "libtorvapp/qvhmac.h"

QvMac::QvMac() : sessionOpen(false), mac(), macReady(false) {}

// A copy starts without a session or a finished MAC.
QvMac::QvMac(const QvMac& other) : QvSym(other), sessionOpen(false), mac(), macReady(false) {}

QvMac::~QvMac()
{
    sessionOpen = false;
    macReady = false;
}

unsigned int QvMac::init(unsigned int) { return init(); }
bool QvMac::needsMessageLength() const { return false; }

void QvMac::getMac(unsigned int len, QvOctet* out) const
{
    if (!macReady)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "MAC nie jest gotowy.", "QvMac::getMac", "qvmac", "31"));
    if (len > mac.getLength())
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Żądany jest zbyt długi MAC.",
                                                      "QvMac::getMac", "qvmac", "34"));
    const unsigned int n = len == 0 ? mac.getLength() : len;
    if (out == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvMac::getMac", "qvmac", "38"));
    std::memcpy(out, mac.getConstData(), n);
}

bool QvMac::verify(const QvOctet* other, unsigned int len) const
{
    if (sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Sesja nie jest zakończona.", "QvMac::verify",
                                            "qvmac", "46"));
    if (!macReady)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "MAC nie jest gotowy.", "QvMac::verify", "qvmac",
                                            "49"));
    const unsigned int n = len == 0 ? mac.getLength() : len;
    if (n != mac.getLength() || other == nullptr)
        return false;
    // Every octet is compared, whatever the first difference, so that the time
    // taken tells nothing about how much of a forged MAC was right.
    const volatile QvOctet* a = mac.getConstData();
    unsigned int diff = 0;
    for (unsigned int i = 0; i < n; ++i)
        diff |= unsigned(a[i] ^ other[i]);
    return diff == 0;
}

const QvOctMem& QvMac::getMacObject() const
{
    if (sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Sesja nie jest zakończona.", "QvMac::getMacObject",
                                            "qvmac", "66"));
    if (!macReady)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "MAC nie jest gotowy.", "QvMac::getMacObject", "qvmac",
                                            "69"));
    return mac;
}

const QvOctet* QvMac::getMacPtr() const
{
    if (sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Sesja nie jest zakończona.", "QvMac::getMacPtr",
                                            "qvmac", "77"));
    if (!macReady)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "MAC nie jest gotowy.", "QvMac::getMacPtr", "qvmac",
                                            "80"));
    return mac.getConstData();
}

void QvMac::computeMac(const QvOctet* data, unsigned int len)
{
    if (needsMessageLength())
        init(len);
    else
        init();
    step(data, len);
    finish();
}

namespace {
[[noreturn]] void overfull()
{
    qvThrow<QvInternalErrorException>(QV_EXC_TEXT("QvInternalErrorException", "Przepełniony bufor.", "qvMacPad",
                                                  "qvmac", "98"));
}
} // namespace

// The padding octet 80 needs room in the block: a full block cannot take it.
unsigned int qvMacPad(unsigned int method, QvOctet* block, unsigned int n, unsigned int d, bool messageEmpty)
{
    if (d > n)
        overfull();
    switch (method) {
    case QV_MAC_PAD_ZERO:
    case QV_MAC_PAD_LENGTH_MSG_ZERO:
        if (d == 0 && !messageEmpty)
            return 0;
        std::memset(block + d, 0, n - d);
        return n;
    case QV_MAC_PAD_BIT:
        if (d == n)
            overfull();
        block[d] = 0x80;
        std::memset(block + d + 1, 0, n - d - 1);
        return n;
    case QV_MAC_PAD_BIT_IF_PARTIAL:
        if (d == 0 && !messageEmpty)
            return 0;
        if (d == n)
            overfull();
        block[d] = 0x80;
        std::memset(block + d + 1, 0, n - d - 1);
        return n;
    case QV_MAC_PAD_NONE:
        return d;
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvMacPad", "qvmac", "122"));
    }
}

QvMac* qvMacCreateObject(unsigned int id)
{
    switch (id) {
    case QV_MAC_HMAC:
        return new QvHmac(QV_HASH_DHF_ALGO_SHA256);
    case QV_MAC_CBC_MAC:
        return new QvCbcMac(QV_BC_ALGO_AES, QV_MAC_PAD_BIT);
    case QV_MAC_EMAC:
        return new QvEMac(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO);
    case QV_MAC_ANSI_MAC:
        return new QvAnsiMac(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO);
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvMacCreateObject", "qvmac", "141"));
    }
}

QvMac* qvMacCopyObject(const QvMac& src)
{
    switch (src.getMacId()) {
    case QV_MAC_HMAC:
    case QV_MAC_CBC_MAC:
    case QV_MAC_EMAC:
    case QV_MAC_ANSI_MAC:
        return src.clone();
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvMacCopyObject", "qvmac", "155"));
    }
}
