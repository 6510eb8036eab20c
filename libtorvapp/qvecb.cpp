#include "libtorvapp/qvecb.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 10116, 0, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x28, 0xCF, 0x04, 0x00, 0x01};

#define ECB_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvecb", line)
const QvBcEncTexts kTexts = {
    ECB_TEXT("QvNotInitException", "Nie wprowadzono klucza.", "QvEcb::init", "52"),
    ECB_TEXT("QvBadKeyLengthException", "Zła długość wektora początkowego.", "QvEcb::init", "55"),
    ECB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvEcb::step", "70"),
    ECB_TEXT("QvBufferOverlapException", "Nachodzące na siebie bufory.", "QvEcb::step", "74"),
    ECB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvEcb::finish", "110"),
    ECB_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.",
             "QvEcb::finishEncrypt", "131"),
    ECB_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.",
             "QvEcb::finishDecrypt", "160")};
} // namespace

QvEcb::QvEcb(unsigned int cipherAlgo, unsigned int pad) : QvBcEnc(cipherAlgo, pad) {}
QvEcb::QvEcb(const QvBc& cipherObject, unsigned int pad) : QvBcEnc(cipherObject, pad) {}
QvEcb::QvEcb(const QvEcb& other) = default;
QvEcb::~QvEcb() = default;

QvSymEnc* QvEcb::clone() const { return new QvEcb(*this); }
void QvEcb::init(unsigned int dir) { QvBcEnc::init(dir, nullptr, 0); }
unsigned int QvEcb::process(unsigned int dir, const QvOctet* in, unsigned int len, QvOctet* out)
{
    return QvSymEnc::process(dir, nullptr, 0, in, len, out);
}

unsigned int QvEcb::getDataUnitOctets() const { return n; }
unsigned int QvEcb::getIvOctets() const { return 0; }
unsigned int QvEcb::getModeId() const { return QV_SYMENC_ECB; }
const char* QvEcb::getName() const { return "ECB"; }
const std::uint32_t* QvEcb::getOidArcs() const { return kOidArcs; }
const QvOctet* QvEcb::getOidDer() const { return kOidDer; }
const QvBcEncTexts& QvEcb::texts() const { return kTexts; }
void QvEcb::loadIv(const QvOctet*) {}

void QvEcb::processUnit(const QvOctet* in, QvOctet* out)
{
    if (direction == QV_SYM_ENCRYPT)
        cipher->encryptBlock(in, out);
    else
        cipher->decryptBlock(in, out);
}

void QvEcb::processUnits(const QvOctet* in, QvOctet* out, std::size_t count)
{
    cipher->runBlocks(direction == QV_SYM_ENCRYPT ? QvBcRun::Encrypt : QvBcRun::Decrypt, in, out, count, nullptr);
}
