#include "libtorvapp/qvofb.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 10116, 0, 4};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x28, 0xCF, 0x04, 0x00, 0x04};

#define OFB_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvofb", line)
const QvBcEncTexts kTexts = {
    OFB_TEXT("QvNotInitException", "Nie wprowadzono klucza.", "QvOfb::init", "92"),
    OFB_TEXT("QvBadKeyLengthException", "Zbyt krótki wektor początkowy.", "QvOfb::init", "96"),
    OFB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvOfb::step", "115"),
    OFB_TEXT("QvBufferOverlapException", "Nachodzące na siebie bufory.", "QvOfb::step", "119"),
    OFB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvOfb::finish", "168"),
    OFB_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.", "QvOfb::finishEncrypt",
             "189"),
    OFB_TEXT("QvEncryptionDecryptionException", "Niepoprawna długość danych w buforze.", "QvOfb::finishDecrypt",
             "215")};
} // namespace

QvOfb::QvOfb(unsigned int cipherAlgo, unsigned int segmentOctets, unsigned int pad)
    : QvBcStreamEnc(cipherAlgo, segmentOctets, pad)
{
}

QvOfb::QvOfb(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int pad)
    : QvBcStreamEnc(cipherObject, segmentOctets, pad)
{
}

QvOfb::QvOfb(const QvOfb& other) = default;
QvOfb::~QvOfb() = default;

QvSymEnc* QvOfb::clone() const { return new QvOfb(*this); }
unsigned int QvOfb::getModeId() const { return QV_SYMENC_OFB; }
const char* QvOfb::getName() const { return "OFB"; }
const std::uint32_t* QvOfb::getOidArcs() const { return kOidArcs; }
const QvOctet* QvOfb::getOidDer() const { return kOidDer; }
const QvBcEncTexts& QvOfb::texts() const { return kTexts; }

void QvOfb::processUnit(const QvOctet* in, QvOctet* out)
{
    QvOctet* f = reg.getData();
    cipher->encryptBlock(f, nullptr);
    qvSymXor(out, in, f, s);
}
