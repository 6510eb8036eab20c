#include "libtorvapp/qvemac.h"

#include <memory>

namespace {
constexpr std::uint32_t kOidArcs[] = {6, 1, 0, 9797, 1, 3, 2};
constexpr QvOctet kOidDer[] = {0x06, 0x06, 0x28, 0xCC, 0x45, 0x01, 0x03, 0x02};

#define EMAC_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvemac", line)
const QvCbcMacTexts kTexts = {
    EMAC_TEXT("QvNotInitException", "Nie wprowadzono klucza.", "QvEMac::init", "97"),
    EMAC_TEXT("QvFsmException",
              "Przy dopełnieniu QV_MAC_PAD_LENGTH_MSG_ZERO należy korzystać z innej instancji funkcji init.",
              "QvEMac::init", "101"),
    EMAC_TEXT("QvFsmException",
              "Przy dopełnieniu innym niż QV_MAC_PAD_LENGTH_MSG_ZERO należy korzystać z innej instancji funkcji init.",
              "QvEMac::init", "122"),
    EMAC_TEXT("QvArgumentRangeException", "Reprezentacja liczby oktetów jest dłuższa niż długość bloku schematu.",
              "QvEMac::init", "131"),
    QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbcMac::step", "qvcbcmac", "146"),
    EMAC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvEMac::finish", "160"),
    EMAC_TEXT("QvEncryptionDecryptionException",
              "Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.", "QvEMac::finish", "164"),
    EMAC_TEXT("QvInternalErrorException", "Funkcja qvMacPad zwróciła dopełnienie złej długości.", "QvEMac::finish",
              "175")};
} // namespace

QvEMac::QvEMac() : QvEMac(QV_BC_ALGO_AES, QV_MAC_PAD_ZERO) {}

QvEMac::QvEMac(unsigned int cipherAlgo, unsigned int pad)
    : QvCbcMac(cipherAlgo, pad), cipher2(qvBcCreateObject(cipherAlgo))
{
}

QvEMac::QvEMac(const QvBc& cipherObject, unsigned int pad) : QvCbcMac(cipherObject, pad), cipher2(cipherObject.clone())
{
}

QvEMac::QvEMac(const QvEMac& other) : QvCbcMac(other), cipher2(other.cipher2->clone()) {}

QvEMac::~QvEMac()
{
    delete cipher2;
    cipher2 = nullptr;
}

QvMac* QvEMac::clone() const { return new QvEMac(*this); }
bool QvEMac::isKeySet() const { return cipher->isKeySet() && cipher2->isKeySet(); }
unsigned int QvEMac::getMacId() const { return QV_MAC_EMAC; }
const char* QvEMac::getName() const { return "EMAC"; }
unsigned int QvEMac::getMinKeyOctets() const { return 2 * cipher->getMinKeyOctets(); }
unsigned int QvEMac::getMaxKeyOctets() const { return 2 * cipher->getMaxKeyOctets(); }
unsigned int QvEMac::getKeyStepOctets() const { return 2 * cipher->getKeyStepOctets(); }
const std::uint32_t* QvEMac::getOidArcs() const { return kOidArcs; }
const QvOctet* QvEMac::getOidDer() const { return kOidDer; }
const QvCbcMacTexts& QvEMac::texts() const { return kTexts; }

void QvEMac::setKey(const QvOctet* key, unsigned int len)
{
    if (len % 2 != 0) {
        QvBadKeyLengthException e(len, getMinKeyOctets(), getMaxKeyOctets(), getKeyStepOctets());
        e.setMessage(EMAC_TEXT("QvBadKeyLengthException", "Długość klucza dla tego schematu musi być parzysta.",
                               "QvEMac::setKey", "63"));
        throw e;
    }
    // Both halves are keyed on copies first, so that a refused half leaves
    // the previous pair of keys in place.
    std::unique_ptr<QvBc> first(cipher->clone());
    std::unique_ptr<QvBc> second(cipher2->clone());
    first->setKey(key, len / 2, QV_KEY_EXPANSION_BOTH);
    second->setKey(key == nullptr ? nullptr : key + len / 2, len / 2, QV_KEY_EXPANSION_BOTH);
    delete cipher;
    cipher = first.release();
    delete cipher2;
    cipher2 = second.release();
    sessionOpen = false;
    macReady = false;
}

void QvEMac::setCipher(unsigned int cipherAlgo)
{
    QvBc* fresh = qvBcCreateObject(cipherAlgo);
    delete cipher2;
    cipher2 = fresh;
    QvCbcMac::setCipher(cipherAlgo);
}

void QvEMac::setCipher(const QvBc& cipherObject)
{
    QvBc* fresh = cipherObject.clone();
    delete cipher2;
    cipher2 = fresh;
    QvCbcMac::setCipher(cipherObject);
}

void QvEMac::finalTransform(QvOctet* h) { cipher2->encryptBlock(h, nullptr); }
