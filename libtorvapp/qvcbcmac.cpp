#include "libtorvapp/qvcbcmac.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {6, 1, 0, 9797, 1, 3, 1};
constexpr QvOctet kOidDer[] = {0x06, 0x06, 0x28, 0xCC, 0x45, 0x01, 0x03, 0x01};

#define CBCMAC_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvcbcmac", line)
const QvCbcMacTexts kTexts = {
    CBCMAC_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvCbcMac::init", "88"),
    CBCMAC_TEXT("QvFsmException",
                "Przy metodzie dopełnienia QV_MAC_PAD_LENGTH_MSG_ZERO należy użyć funkcji init z parametrem.",
                "QvCbcMac::init", "92"),
    CBCMAC_TEXT("QvFsmException",
                "Przy metodzie dopełnienia QV_MAC_PAD_LENGTH_MSG_ZERO należy użyć funkcji init z parametrem.",
                "QvCbcMac::init", "112"),
    CBCMAC_TEXT("QvArgumentRangeException", "Za długa reprezentacja długości wiadomości.", "QvCbcMac::init",
                "121"),
    CBCMAC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbcMac::step", "146"),
    CBCMAC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCbcMac::finish", "186"),
    CBCMAC_TEXT("QvEncryptionDecryptionException",
                "Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.", "QvCbcMac::finish",
                "190"),
    CBCMAC_TEXT("QvInternalErrorException", "Nieprawidłowa długość dopełnienia.", "QvCbcMac::finish", "201")};
} // namespace

QvCbcMac::QvCbcMac(unsigned int cipherAlgo, unsigned int pad)
    : QvBcMac(cipherAlgo, pad), chain(n), partial(n), held(0), messageEmpty(true)
{
}

QvCbcMac::QvCbcMac(const QvBc& cipherObject, unsigned int pad)
    : QvBcMac(cipherObject, pad), chain(n), partial(n), held(0), messageEmpty(true)
{
}

QvCbcMac::QvCbcMac(const QvCbcMac& other)
    : QvBcMac(other), chain(other.n), partial(other.n), held(0), messageEmpty(true)
{
}

QvCbcMac::~QvCbcMac() = default;

QvMac* QvCbcMac::clone() const { return new QvCbcMac(*this); }
bool QvCbcMac::isKeySet() const { return cipher->isKeySet(); }
unsigned int QvCbcMac::getMacId() const { return QV_MAC_CBC_MAC; }
const char* QvCbcMac::getName() const { return "CBC-MAC"; }
unsigned int QvCbcMac::getMacOctets() const { return n; }
unsigned int QvCbcMac::getMinKeyOctets() const { return cipher->getMinKeyOctets(); }
unsigned int QvCbcMac::getMaxKeyOctets() const { return cipher->getMaxKeyOctets(); }
unsigned int QvCbcMac::getKeyStepOctets() const { return cipher->getKeyStepOctets(); }
const std::uint32_t* QvCbcMac::getOidArcs() const { return kOidArcs; }
const QvOctet* QvCbcMac::getOidDer() const { return kOidDer; }
const QvCbcMacTexts& QvCbcMac::texts() const { return kTexts; }
void QvCbcMac::finalTransform(QvOctet*) {}

void QvCbcMac::cipherChanged()
{
    QvBcMac::cipherChanged();
    chain = QvOctMem(n);
    partial = QvOctMem(n);
    held = 0;
}

void QvCbcMac::setKey(const QvOctet* key, unsigned int len)
{
    cipher->setKey(key, len, QV_KEY_EXPANSION_BOTH);
    sessionOpen = false;
    macReady = false;
}

void QvCbcMac::startSession()
{
    held = 0;
    macReady = false;
    messageEmpty = true;
    sessionOpen = true;
}

unsigned int QvCbcMac::init()
{
    const QvCbcMacTexts& t = texts();
    if (!isKeySet())
        qvThrow<QvNotInitException>(t.initNoKey);
    if (padMethod == QV_MAC_PAD_LENGTH_MSG_ZERO)
        qvThrow<QvFsmException>(t.initNeedsLength);
    std::memset(chain.getData(), 0, n);
    startSession();
    return n;
}

unsigned int QvCbcMac::init(unsigned int messageOctets)
{
    const QvCbcMacTexts& t = texts();
    if (!isKeySet())
        qvThrow<QvNotInitException>(t.initNoKey);
    if (padMethod != QV_MAC_PAD_LENGTH_MSG_ZERO)
        qvThrow<QvFsmException>(t.initLengthWrongPad);
    // The length in bits is kept in 32 bits: a longer message would be
    // authenticated under a wrapped length, so it is refused.
    if (messageOctets >= 0x20000000u)
        qvThrow<QvArgumentRangeException>(t.lengthTooLong);
    const std::uint32_t bits = messageOctets * 8u;
    QvOctet* c = chain.getData();
    std::memset(c, 0, n);
    for (unsigned int i = 0; i < 4 && i < n; ++i)
        c[n - 1 - i] = QvOctet(bits >> (8 * i));
    cipher->encryptBlock(c, nullptr);
    startSession();
    return n;
}

void QvCbcMac::step(const QvOctet* data, unsigned int len)
{
    if (!sessionOpen)
        qvThrow<QvFsmException>(texts().stepNoSession);
    if (len == 0)
        return;
    if (data == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvCbcMac::step", "qvcbcmac", "150"));
    messageEmpty = false;
    QvOctet* c = chain.getData();
    QvOctet* buf = partial.getData();
    if (held > 0) {
        const unsigned int take = len < n - held ? len : n - held;
        std::memcpy(buf + held, data, take);
        held += take;
        data += take;
        len -= take;
        if (held < n)
            return;
        for (unsigned int i = 0; i < n; ++i)
            c[i] ^= buf[i];
        cipher->encryptBlock(c, nullptr);
        held = 0;
    }
    while (len >= n) {
        for (unsigned int i = 0; i < n; ++i)
            c[i] ^= data[i];
        cipher->encryptBlock(c, nullptr);
        data += n;
        len -= n;
    }
    std::memcpy(buf, data, len);
    held = len;
}

void QvCbcMac::finish()
{
    const QvCbcMacTexts& t = texts();
    if (!sessionOpen)
        qvThrow<QvFsmException>(t.finishNoSession);
    if (padMethod == QV_MAC_PAD_NONE && held != 0)
        qvThrow<QvEncryptionDecryptionException>(t.finishNoPadding);
    QvOctet* buf = partial.getData();
    const unsigned int padded = qvMacPad(padMethod, buf, n, held, messageEmpty);
    if (padded != n && padded != 0)
        qvThrow<QvInternalErrorException>(t.finishBadPadding);
    QvOctet* c = chain.getData();
    if (padded == n) {
        for (unsigned int i = 0; i < n; ++i)
            c[i] ^= buf[i];
        cipher->encryptBlock(c, nullptr);
    }
    qvWipe(buf, n);
    held = 0;
    finalTransform(c);
    mac = chain;
    qvWipe(c, n);
    macReady = true;
    sessionOpen = false;
}
