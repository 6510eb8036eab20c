#include "libtorvapp/qvsymenc.h"

#include <cstring>

#include "libtorvapp/qvcbc.h"
#include "libtorvapp/qvcfb.h"
#include "libtorvapp/qvctr.h"
#include "libtorvapp/qvecb.h"
#include "libtorvapp/qvofb.h"
#include "libtorvapp/qvsc1.h"
#include "libtorvapp/qvsc2.h"

QvSymEnc::QvSymEnc() : key(), keySet(false), sessionOpen(false) {}

QvSymEnc::QvSymEnc(const QvSymEnc& other)
    : QvSym(other), key(other.key), keySet(other.keySet), sessionOpen(other.sessionOpen)
{
}

QvSymEnc::~QvSymEnc()
{
    keySet = false;
    sessionOpen = false;
}

unsigned int QvSymEnc::process(unsigned int direction, const QvOctet* iv, unsigned int ivLen, const QvOctet* in,
                               unsigned int len, QvOctet* out)
{
    init(direction, iv, ivLen);
    const unsigned int first = step(in, len, out);
    return first + finish(out == nullptr ? nullptr : out + first);
}

void qvSymEncPad(unsigned int method, QvOctet* block, unsigned int blockLen, unsigned int dataLen)
{
    if (method > QV_SYM_PAD_NONE)
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvSymEncPad", "qvsymenc", "45"));
    if (method == QV_SYM_PAD_NONE || dataLen >= blockLen)
        return;
    switch (method) {
    case QV_SYM_PAD_PKCS5:
        std::memset(block + dataLen, int(blockLen - dataLen), blockLen - dataLen);
        break;
    case QV_SYM_PAD_ISO9797_2:
        block[dataLen] = 0x80;
        std::memset(block + dataLen + 1, 0, blockLen - dataLen - 1);
        break;
    default:
        block[dataLen] = 0x01;
        std::memset(block + dataLen + 1, 0, blockLen - dataLen - 1);
        break;
    }
}

namespace {
[[noreturn]] void badPadding()
{
    qvThrow<QvEncryptionDecryptionException>(QV_EXC_TEXT("QvEncryptionDecryptionException",
                                                         "Niewłaściwe dopełnienie.", "qvSymEncUnpad", "qvsymenc",
                                                         "75"));
}
} // namespace

unsigned int qvSymEncUnpad(unsigned int method, const QvOctet* block, unsigned int len)
{
    switch (method) {
    case QV_SYM_PAD_PKCS5: {
        if (len == 0 || block == nullptr)
            badPadding();
        // A last octet of 0 or above the block length is no padding at all.
        const unsigned int p = block[len - 1];
        if (p == 0 || p > len)
            badPadding();
        unsigned int diff = 0;
        for (unsigned int i = len - p; i < len; ++i)
            diff |= unsigned(block[i] ^ p);
        if (diff != 0)
            badPadding();
        return len - p;
    }
    case QV_SYM_PAD_ISO9797_2:
    case QV_SYM_PAD_ONE_ZERO: {
        const QvOctet mark = method == QV_SYM_PAD_ISO9797_2 ? 0x80 : 0x01;
        unsigned int i = len;
        while (i > 0 && block[i - 1] == 0)
            --i;
        if (i == 0 || block[i - 1] != mark)
            badPadding();
        return i - 1;
    }
    case QV_SYM_PAD_NONE:
        return len;
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvSymEncUnpad", "qvsymenc", "109"));
    }
}

QvSymEnc* qvSymEncCreateObject(unsigned int id)
{
    switch (id) {
    case QV_SYMENC_CBC:
        return new QvCbc();
    case QV_SYMENC_CTR:
        return new QvCtr();
    case QV_SYMENC_ECB:
        return new QvEcb();
    case QV_SYMENC_OFB:
        return new QvOfb();
    case QV_SYMENC_CFB:
        return new QvCfb();
    case QV_SYMENC_SC1:
        return new QvSc1();
    case QV_SYMENC_SC2:
        return new QvSc2();
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "qvSymEncCreateObject", "qvsymenc", "133"));
    }
}
