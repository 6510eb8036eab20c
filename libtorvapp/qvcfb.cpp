#include "libtorvapp/qvcfb.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {5, 1, 0, 10116, 0, 3};
constexpr QvOctet kOidDer[] = {0x06, 0x05, 0x28, 0xCF, 0x04, 0x00, 0x03};

#define CFB_TEXT(cls, reason, func, line) QV_EXC_TEXT(cls, reason, func, "qvcfb", line)
const QvBcEncTexts kTexts = {
    CFB_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvCfb::init", "120"),
    CFB_TEXT("QvBadKeyLengthException", "Nieprawidłowa długość wektora początkowego.", "QvCfb::init", "124"),
    CFB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCfb::step", "146"),
    CFB_TEXT("QvBufferOverlapException", "Bufory nachodzą na siebie.", "QvCfb::step", "150"),
    CFB_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvCfb::finish", "204"),
    CFB_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.",
             "QvCfb::finishEncrypt", "225"),
    CFB_TEXT("QvEncryptionDecryptionException",
             "Wybrano brak dopełnienia ale dane wejściowe nie są wielokrotnością długości bloku.",
             "QvCfb::finishDecrypt", "254")};
} // namespace

namespace {
// The register is held whole: its length is bounded so that it can neither
// wrap around 32 bits nor ask for absurd amounts of memory.
unsigned int checkedBlocks(unsigned int blocks, unsigned int n)
{
    if (blocks > 65536u / n)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException",
                                                      "Zbyt duża liczba bloków rejestru.", "QvCfb::setRegisterBlocks",
                                                      "qvcfb", "36"));
    return blocks == 0 ? 1 : blocks;
}
} // namespace

QvCfb::QvCfb(unsigned int cipherAlgo, unsigned int registerBlocks, unsigned int feedbackOctets,
             unsigned int segmentOctets, unsigned int pad)
    : QvBcEnc(cipherAlgo, pad), m(checkedBlocks(registerBlocks, n)), k(n), j(n), reg(), start(0), block(n)
{
    setFeedbackOctets(feedbackOctets);
    setSegmentOctets(segmentOctets);
    resizeRegister();
}

QvCfb::QvCfb(const QvBc& cipherObject, unsigned int registerBlocks, unsigned int feedbackOctets,
             unsigned int segmentOctets, unsigned int pad)
    : QvBcEnc(cipherObject, pad), m(checkedBlocks(registerBlocks, n)), k(n), j(n), reg(), start(0), block(n)
{
    setFeedbackOctets(feedbackOctets);
    setSegmentOctets(segmentOctets);
    resizeRegister();
}

QvCfb::QvCfb(const QvCfb& other) = default;
QvCfb::~QvCfb() = default;

QvSymEnc* QvCfb::clone() const { return new QvCfb(*this); }
unsigned int QvCfb::getDataUnitOctets() const { return j; }
unsigned int QvCfb::getIvOctets() const { return m * n; }
unsigned int QvCfb::getModeId() const { return QV_SYMENC_CFB; }
const char* QvCfb::getName() const { return "CFB"; }
const std::uint32_t* QvCfb::getOidArcs() const { return kOidArcs; }
const QvOctet* QvCfb::getOidDer() const { return kOidDer; }
const QvBcEncTexts& QvCfb::texts() const { return kTexts; }

void QvCfb::resizeRegister()
{
    reg = QvOctMem(m * n);
    std::memset(reg.getData(), 0, m * n);
    start = 0;
    partial = QvOctMem(j);
    held = 0;
}

void QvCfb::cipherChanged()
{
    QvBcEnc::cipherChanged();
    block = QvOctMem(n);
    k = j = n;
    if (m > 65536u / n)
        m = 65536u / n;
    resizeRegister();
}

// A register of no blocks cannot feed the cipher: at least one block is kept.
void QvCfb::setRegisterBlocks(unsigned int blocks)
{
    m = checkedBlocks(blocks, n);
    sessionOpen = false;
    resizeRegister();
}

void QvCfb::setFeedbackOctets(unsigned int feedback)
{
    k = (feedback == 0 || feedback > n) ? n : feedback;
    j = k;
    sessionOpen = false;
    partial = QvOctMem(j);
    held = 0;
}

void QvCfb::setSegmentOctets(unsigned int segment)
{
    j = (segment == 0 || segment > k) ? k : segment;
    sessionOpen = false;
    partial = QvOctMem(j);
    held = 0;
}

void QvCfb::loadIv(const QvOctet* iv)
{
    std::memcpy(reg.getData(), iv, m * n);
    start = 0;
}

void QvCfb::processUnit(const QvOctet* in, QvOctet* out)
{
    const unsigned int r = m * n;
    QvOctet* rg = reg.getData();
    QvOctet* b = block.getData();
    for (unsigned int i = 0; i < n; ++i)
        b[i] = rg[(start + i) % r];
    cipher->encryptBlock(b, nullptr);
    // The ciphertext segment feeds back: on decryption it is the input,
    // which is read before the output (which may be the same area) is written.
    QvOctet c[32];
    for (unsigned int i = 0; i < j; ++i) {
        const QvOctet x = in[i];
        const QvOctet y = QvOctet(x ^ b[i]);
        c[i] = direction == QV_SYM_ENCRYPT ? y : x;
        out[i] = y;
    }
    for (unsigned int i = 0; i < k - j; ++i)
        rg[(start + i) % r] = 0xFF;
    for (unsigned int i = 0; i < j; ++i)
        rg[(start + k - j + i) % r] = c[i];
    start = (start + k) % r;
}
