#include "libtorvapp/qvctr.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 10116, 0, 5};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x28, 0xCF, 0x04, 0x00, 0x05};

#define CTR_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvctr", line)
const QvBcEncTexts kTexts = {
    CTR_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvCtr::init", "95"),
    CTR_TEXT("QvBadKeyLengthException", "Zbyt krótki wektor początkowy.", "QvCtr::init", "99"),
    CTR_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCtr::step", "118"),
    CTR_TEXT("QvBufferOverlapException", "Bufory nachodzą na siebie.", "QvCtr::step", "122"),
    CTR_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCtr::finish", "176"),
    CTR_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.", "QvCtr::finishEncrypt",
             "197"),
    CTR_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane nie są wielokrotnością długości bloku.", "QvCtr::finishDecrypt",
             "223")};
} // namespace

QvCtr::QvCtr(unsigned int cipherAlgo, unsigned int segmentOctets, unsigned int pad)
    : QvBcStreamEnc(cipherAlgo, segmentOctets, pad), keystream(kBatch * n), made(0), ready(0), ahead(0)
{
}

QvCtr::QvCtr(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int pad)
    : QvBcStreamEnc(cipherObject, segmentOctets, pad), keystream(kBatch * n), made(0), ready(0), ahead(0)
{
}

QvCtr::QvCtr(const QvCtr& other) = default;
QvCtr::~QvCtr() = default;

QvSymEnc* QvCtr::clone() const { return new QvCtr(*this); }
unsigned int QvCtr::getModeId() const { return QV_SYMENC_CTR; }
const char* QvCtr::getName() const { return "CTR"; }
const std::uint32_t* QvCtr::getOidArcs() const { return kOidArcs; }
const QvOctet* QvCtr::getOidDer() const { return kOidDer; }
const QvBcEncTexts& QvCtr::texts() const { return kTexts; }

void QvCtr::cipherChanged()
{
    QvBcStreamEnc::cipherChanged();
    keystream = QvOctMem(kBatch * n);
    made = ready = 0;
}

void QvCtr::loadIv(const QvOctet* iv)
{
    QvBcStreamEnc::loadIv(iv);
    made = ready = 0;
}

void QvCtr::unitsAhead(std::size_t count) { ahead = count; }

void QvCtr::processUnit(const QvOctet* in, QvOctet* out)
{
    QvOctet* ks = keystream.getData();
    if (ready == 0) {
        // As many blocks as this step still needs, at most kBatch (at least one):
        // a short message costs no keystream it does not use.
        made = ahead >= kBatch ? kBatch : (ahead == 0 ? 1 : unsigned(ahead));
        for (unsigned int b = 0; b < made; ++b) {
            std::memcpy(ks + b * n, reg.getConstData(), n);
            qvBcIncrementCounter(reg.getData(), n);
        }
        cipher->runBlocks(QvBcRun::Encrypt, ks, ks, made, nullptr);
        ready = made;
    }
    qvSymXor(out, in, ks + (made - ready) * n, s);
    --ready;
    if (ahead > 0)
        --ahead;
}

void QvCtr::processUnits(const QvOctet* in, QvOctet* out, std::size_t count)
{
    // Keystream made ahead by an earlier unit of this step goes first; whole
    // blocks then run through the cipher with the counter.
    for (; count > 0 && (ready > 0 || s != n); --count, in += s, out += s)
        processUnit(in, out);
    if (count > 0) {
        cipher->runBlocks(QvBcRun::Ctr, in, out, count, reg.getData());
        ahead = ahead > count ? ahead - count : 0;
    }
}
