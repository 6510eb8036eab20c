#include "libtorvapp/qvbc.h"

#include <cstring>

#include "libtorvapp/qvaes.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvdeseee.h"
#include "libtorvapp/qvdesxeeex.h"
#include "libtorvapp/qvrc2.h"
#include "libtorvapp/qvrijndael.h"
#include "libtorvapp/qvtdes.h"

QvBc::QvBc() : key(), keySet(0), encBuilt(0), decBuilt(0) {}

QvBc::QvBc(const QvBc& other)
    : QvSym(other), key(other.key), keySet(other.keySet), encBuilt(other.encBuilt), decBuilt(other.decBuilt)
{
}

QvBc::~QvBc()
{
    keySet = encBuilt = decBuilt = 0;
}

bool QvBc::hasSeparateSchedules() const { return false; }
void QvBc::_setKey(const QvOctet*, unsigned int) {}
void QvBc::buildEncSchedule() {}
void QvBc::buildDecSchedule() {}
void QvBc::buildCommonSchedule() {}

void QvBc::checkKeyLength(unsigned int n) const
{
    const unsigned int minK = getMinKeyOctets();
    const unsigned int maxK = getMaxKeyOctets();
    const unsigned int step = getKeyStepOctets();
    if (n < minK || n > maxK || (step > 1 && n % step != 0)) {
        QvBadKeyLengthException e(n, minK, maxK, step);
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "",
                                 "void QvBc::setKey(const QvOctet *externalKey, unsigned int "
                                 "externalKeyOctets, QvKeyExpansionOption expOption)",
                                 "qvbc", "71"));
        throw e;
    }
}

void QvBc::storeKey(const QvOctet* externalKey, unsigned int n)
{
    const unsigned int old = key.getLength();
    if (key.getData() != nullptr && key.getCapacity() >= n) {
        key.resize(n);
        std::memcpy(key.getData(), externalKey, n);
        if (old > n)
            qvWipe(key.getData() + n, old - n);
    } else {
        key = QvOctMem(externalKey, n, true);
    }
}

void QvBc::keyStored(QvKeyExpansionOption expOption)
{
    keySet = 1;
    encBuilt = 0;
    decBuilt = 0;
    expandKey(expOption);
}

void QvBc::setKey(const QvOctet* externalKey, unsigned int externalKeyOctets, QvKeyExpansionOption expOption)
{
    checkKeyLength(externalKeyOctets);
    if (externalKey == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Brak klucza.",
                                                      "QvBc::setKey", "qvbc", "92"));
    _setKey(externalKey, externalKeyOctets);
    keyStored(expOption);
}

void QvBc::expandKey(QvKeyExpansionOption expOption)
{
    if (!keySet)
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.",
                                                "QvBc::expandKey", "qvbc", "101"));
    if (hasSeparateSchedules()) {
        if ((expOption == QV_KEY_EXPANSION_ENCRYPT || expOption == QV_KEY_EXPANSION_BOTH) && !encBuilt) {
            buildEncSchedule();
            encBuilt = 1;
        }
        if ((expOption == QV_KEY_EXPANSION_DECRYPT || expOption == QV_KEY_EXPANSION_BOTH) && !decBuilt) {
            buildDecSchedule();
            decBuilt = 1;
        }
    } else if (!encBuilt && !decBuilt) {
        buildCommonSchedule();
        encBuilt = decBuilt = 1;
    }
}

void QvBc::encryptBlock(const QvOctet* in, QvOctet* out)
{
    if (!keySet)
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.",
                                                "QvBc::encryptBlock", "qvbc", "121"));
    if (!encBuilt)
        expandKey(QV_KEY_EXPANSION_ENCRYPT);
    encryptCore(in, out != nullptr ? out : const_cast<QvOctet*>(in));
}

void QvBc::decryptBlock(const QvOctet* in, QvOctet* out)
{
    if (!keySet)
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.",
                                                "QvBc::decryptBlock", "qvbc", "131"));
    if (!decBuilt)
        expandKey(QV_KEY_EXPANSION_DECRYPT);
    decryptCore(in, out != nullptr ? out : const_cast<QvOctet*>(in));
}

void QvBc::runBlocks(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count, QvOctet* chain)
{
    const bool enc = how != QvBcRun::Decrypt && how != QvBcRun::CbcDecrypt;
    if (!keySet) {
        if (enc)
            qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.",
                                                    "QvBc::encryptBlock", "qvbc", "121"));
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.",
                                                "QvBc::decryptBlock", "qvbc", "131"));
    }
    if (enc ? !encBuilt : !decBuilt)
        expandKey(enc ? QV_KEY_EXPANSION_ENCRYPT : QV_KEY_EXPANSION_DECRYPT);
    if (count > 0)
        runBlocksCore(how, in, out, count, chain);
}

void QvBc::runBlocksCore(QvBcRun how, const QvOctet* in, QvOctet* out, std::size_t count, QvOctet* chain) const
{
    const unsigned int n = getBlockOctets();
    QvOctet c[32];
    for (std::size_t b = 0; b < count; ++b, in += n, out += n) {
        switch (how) {
        case QvBcRun::Encrypt:
            encryptCore(in, out);
            break;
        case QvBcRun::Decrypt:
            decryptCore(in, out);
            break;
        case QvBcRun::CbcEncrypt:
            for (unsigned int i = 0; i < n; ++i)
                chain[i] ^= in[i];
            encryptCore(chain, chain);
            std::memcpy(out, chain, n);
            break;
        case QvBcRun::CbcDecrypt:
            // The ciphertext block is kept before out (maybe the same area) is written.
            std::memcpy(c, in, n);
            decryptCore(c, out);
            for (unsigned int i = 0; i < n; ++i)
                out[i] ^= chain[i];
            std::memcpy(chain, c, n);
            break;
        case QvBcRun::Ctr:
            encryptCore(chain, c);
            qvBcIncrementCounter(chain, n);
            for (unsigned int i = 0; i < n; ++i)
                out[i] = QvOctet(in[i] ^ c[i]);
            break;
        }
    }
    qvWipe(c, sizeof c);
}

QvBc* qvBcCreateObject(unsigned int id)
{
    switch (id) {
    case QV_BC_ALGO_AES:
        return new QvAes();
    case QV_BC_ALGO_RIJNDAEL:
        return new QvRijndael(4);
    case QV_BC_ALGO_DES:
        return new QvDes();
    case QV_BC_ALGO_TDES:
        return new QvTdes();
    case QV_BC_ALGO_DES_EEE:
        return new QvDesEee();
    case QV_BC_ALGO_DES_XEEEX:
        return new QvDesXeeex();
    case QV_BC_ALGO_RC2:
        return new QvRc2();
    default:
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException",
                                                          "Nieznany identyfikator.", "qvBcCreateObject",
                                                          "qvbc", "160"));
    }
}
