#include "libtorvapp/qvansimac.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {6, 1, 0, 9797, 1, 3, 3};
constexpr QvOctet kOidDer[] = {0x06, 0x06, 0x28, 0xCC, 0x45, 0x01, 0x03, 0x03};

#define ANSI_TEXT(cls, reason, line) QV_EXC_TEXT(cls, reason, "QvAnsiMac::finish", "qvansimac", line)
const QvCbcMacTexts kTexts = {
    QV_EXC_TEXT("QvNotInitException", "Nie wprowadzono klucza.", "QvEMac::init", "qvemac", "97"),
    QV_EXC_TEXT("QvFsmException",
                "Przy dopełnieniu QV_MAC_PAD_LENGTH_MSG_ZERO należy korzystać z innej instancji funkcji init.",
                "QvEMac::init", "qvemac", "101"),
    QV_EXC_TEXT("QvFsmException",
                "Przy dopełnieniu innym niż QV_MAC_PAD_LENGTH_MSG_ZERO należy korzystać z innej instancji funkcji "
                "init.",
                "QvEMac::init", "qvemac", "122"),
    QV_EXC_TEXT("QvArgumentRangeException",
                "Reprezentacja liczby oktetów jest dłuższa niż długość bloku schematu.", "QvEMac::init", "qvemac",
                "131"),
    QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbcMac::step", "qvcbcmac", "146"),
    ANSI_TEXT("QvFsmException", "Nierozpoczęta sesja.", "52"),
    ANSI_TEXT("QvEncryptionDecryptionException", "Niewłaściwa długość danych przy braku dopełnienia.", "56"),
    ANSI_TEXT("QvInternalErrorException", "Funkcja qvMacPad nie zwróciła pełnego bloku.", "67")};
} // namespace

QvAnsiMac::QvAnsiMac() : QvEMac(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO) {}
QvAnsiMac::QvAnsiMac(unsigned int cipherAlgo, unsigned int pad) : QvEMac(cipherAlgo, pad) {}
QvAnsiMac::QvAnsiMac(const QvBc& cipherObject, unsigned int pad) : QvEMac(cipherObject, pad) {}
QvAnsiMac::QvAnsiMac(const QvAnsiMac& other) = default;
QvAnsiMac::~QvAnsiMac() = default;

QvMac* QvAnsiMac::clone() const { return new QvAnsiMac(*this); }
unsigned int QvAnsiMac::getMacId() const { return QV_MAC_ANSI_MAC; }
const char* QvAnsiMac::getName() const { return "ANSI MAC"; }
const std::uint32_t* QvAnsiMac::getOidArcs() const { return kOidArcs; }
const QvOctet* QvAnsiMac::getOidDer() const { return kOidDer; }
const QvCbcMacTexts& QvAnsiMac::texts() const { return kTexts; }

void QvAnsiMac::finalTransform(QvOctet* h)
{
    cipher2->decryptBlock(h, nullptr);
    cipher->encryptBlock(h, nullptr);
}
