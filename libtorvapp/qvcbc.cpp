#include "libtorvapp/qvcbc.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 10116, 0, 2};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x28, 0xCF, 0x04, 0x00, 0x02};

#define CBC_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvcbc", line)
const QvBcEncTexts kTexts = {
    CBC_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvCbc::init", "61"),
    CBC_TEXT("QvBadKeyLengthException", "Zła długość wektora początkowego.", "QvCbc::init", "65"),
    CBC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbc::step", "83"),
    CBC_TEXT("QvBufferOverlapException", "Nachodzące na siebie bufory.", "QvCbc::step", "87"),
    CBC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbc::finish", "139"),
    CBC_TEXT("QvEncryptionDecryptionException", "Niewłaściwa długość danych przy braku dopełnienia.",
             "QvCbc::finishEncrypt", "160"),
    CBC_TEXT("QvEncryptionDecryptionException", "Niewłaściwa długość danych przy braku dopełnienia.",
             "QvCbc::finishDecrypt", "190")};
} // namespace

QvCbc::QvCbc(unsigned int cipherAlgo, unsigned int pad) : QvBcEnc(cipherAlgo, pad), chain(n)
{
    std::memset(chain.getData(), 0, n);
}
QvCbc::QvCbc(const QvBc& cipherObject, unsigned int pad) : QvBcEnc(cipherObject, pad), chain(n)
{
    std::memset(chain.getData(), 0, n);
}
QvCbc::QvCbc(const QvCbc& other) = default;
QvCbc::~QvCbc() = default;

QvSymEnc* QvCbc::clone() const { return new QvCbc(*this); }
unsigned int QvCbc::getDataUnitOctets() const { return n; }
unsigned int QvCbc::getIvOctets() const { return n; }
unsigned int QvCbc::getModeId() const { return QV_SYMENC_CBC; }
const char* QvCbc::getName() const { return "CBC"; }
const std::uint32_t* QvCbc::getOidArcs() const { return kOidArcs; }
const QvOctet* QvCbc::getOidDer() const { return kOidDer; }
const QvBcEncTexts& QvCbc::texts() const { return kTexts; }

void QvCbc::cipherChanged()
{
    QvBcEnc::cipherChanged();
    chain = QvOctMem(n);
    std::memset(chain.getData(), 0, n);
}

void QvCbc::loadIv(const QvOctet* iv) { std::memcpy(chain.getData(), iv, n); }

void QvCbc::processUnits(const QvOctet* in, QvOctet* out, std::size_t count)
{
    cipher->runBlocks(direction == QV_SYM_ENCRYPT ? QvBcRun::CbcEncrypt : QvBcRun::CbcDecrypt, in, out, count,
                      chain.getData());
}

void QvCbc::processUnit(const QvOctet* in, QvOctet* out)
{
    QvOctet* v = chain.getData();
    if (direction == QV_SYM_ENCRYPT) {
        qvSymXor(v, v, in, n);
        cipher->encryptBlock(v, nullptr);
        std::memcpy(out, v, n);
    } else {
        QvOctet c[32];
        std::memcpy(c, in, n);
        cipher->decryptBlock(c, out);
        qvSymXor(out, out, v, n);
        std::memcpy(v, c, n);
    }
}
