#include "libtorvapp/qvsc2.h"

#include <cstring>

namespace {
constexpr std::uint32_t kOidArcs[] = {6, 1, 0, 18033, 2, 4, 2};
constexpr QvOctet kOidDer[] = {0x06, 0x07, 0x28, 0x81, 0x8C, 0x71, 0x02, 0x04, 0x02};
} // namespace

QvSc2::QvSc2(unsigned int kdfAlgo) : kdf(qvKdfCreateObject(kdfAlgo)) {}
QvSc2::QvSc2(const QvMgf& kdfObject) : kdf(kdfObject.clone()) {}
QvSc2::QvSc2(const QvSc2& other) : QvSymEnc(other), kdf(other.kdf->clone())
{
    // The copy's stream starts again at the next init.
    sessionOpen = false;
}
QvSc2::~QvSc2()
{
    delete kdf;
    kdf = nullptr;
}

QvSymEnc* QvSc2::clone() const { return new QvSc2(*this); }
unsigned int QvSc2::getMinKeyOctets() const { return 0; }
unsigned int QvSc2::getMaxKeyOctets() const { return kdf->getMaxKeyOctets(); }
unsigned int QvSc2::getKeyStepOctets() const { return 1; }
unsigned int QvSc2::getDataUnitOctets() const { return 1; }
unsigned int QvSc2::getIvOctets() const { return 0; }
unsigned int QvSc2::getModeId() const { return QV_SYMENC_SC2; }
const char* QvSc2::getName() const { return "SC2"; }
const std::uint32_t* QvSc2::getOidArcs() const { return kOidArcs; }
const QvOctet* QvSc2::getOidDer() const { return kOidDer; }

void QvSc2::setKey(const QvOctet* k, unsigned int len)
{
    if (k == nullptr && len > 0)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvSc2::setKey", "qvsc2", "41"));
    key = QvOctMem(k, len, true);
    keySet = true;
    sessionOpen = false;
}

// A keystream without a key would encrypt with nothing: init refuses it.
void QvSc2::init(unsigned int, const QvOctet*, unsigned int) { init(); }

void QvSc2::init()
{
    if (!keySet)
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvSc2::init",
                                                "qvsc2", "54"));
    kdf->setSeed(key.getConstData(), key.getLength());
    sessionOpen = true;
}

unsigned int QvSc2::step(const QvOctet* in, unsigned int len, QvOctet* out)
{
    if (!sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvSc2::step", "qvsc2",
                                            "63"));
    if (len == 0)
        return 0;
    if (in == nullptr || out == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvSc2::step", "qvsc2", "68"));
    // The mask goes through a buffer of its own, so the data may be processed
    // in place; any other overlap would overwrite input not yet read.
    if (in != out && qvSymOverlap(in, len, out, len))
        qvThrow<QvBufferOverlapException>(QV_EXC_TEXT("QvBufferOverlapException", "Bufory nachodzą na siebie.",
                                                      "QvSc2::step", "qvsc2", "73"));
    QvOctet mask[256];
    unsigned int done = 0;
    while (done < len) {
        const unsigned int c = len - done < sizeof mask ? len - done : unsigned(sizeof mask);
        kdf->next(mask, c);
        for (unsigned int i = 0; i < c; ++i)
            out[done + i] = QvOctet(in[done + i] ^ mask[i]);
        done += c;
    }
    qvWipe(mask, sizeof mask);
    return len;
}

unsigned int QvSc2::finish(QvOctet*)
{
    if (!sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvSc2::finish", "qvsc2",
                                            "91"));
    sessionOpen = false;
    return 0;
}
