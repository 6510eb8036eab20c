#include "libtorvapp/qvrbgofb.h"

#include <cstring>

#include "libtorvapp/qvsym.h"

QvRbgOfb::QvRbgOfb() : cipher(nullptr), v(), w(), initialised(false), out(), available(0), position(0)
{
    install(qvBcCreateObject(QV_BC_ALGO_AES));
}

QvRbgOfb::~QvRbgOfb()
{
    delete cipher;
    cipher = nullptr;
}

void QvRbgOfb::install(QvBc* fresh)
{
    delete cipher;
    cipher = fresh;
    out = QvOctMem(cipher->getBlockOctets());
    available = 0;
    position = 0;
    initialised = false;
}

void QvRbgOfb::setCipher(unsigned int cipherAlgo) { install(qvBcCreateObject(cipherAlgo)); }
void QvRbgOfb::setCipher(const QvBc& cipherObject) { install(cipherObject.clone()); }

unsigned int QvRbgOfb::getMinSeedOctets() const { return cipher->getBlockOctets() + cipher->getMinKeyOctets(); }
unsigned int QvRbgOfb::getMaxSeedOctets() const { return cipher->getBlockOctets() + cipher->getMaxKeyOctets(); }
unsigned int QvRbgOfb::getSeedStepOctets() const { return cipher->getKeyStepOctets(); }
const char* QvRbgOfb::getName() const { return "OFB"; }
void QvRbgOfb::uninit() { initialised = false; }

void QvRbgOfb::init(const QvOctet* seed, unsigned int seedLen)
{
    initialised = false;
    const unsigned int n = cipher->getBlockOctets();
    if (seedLen < n || seed == nullptr) {
        QvBadKeyLengthException e(seedLen, getMinSeedOctets(), getMaxSeedOctets(), getSeedStepOctets());
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "Zbyt krotkie ziarno.", "QvRbgOfb::init", "qvrbgofb",
                                 "90"));
        throw e;
    }
    const unsigned int maxKey = cipher->getMaxKeyOctets();
    const unsigned int k = seedLen - n < maxKey ? seedLen - n : maxKey;
    cipher->setKey(seed + n, k, QV_KEY_EXPANSION_ENCRYPT);
    v = QvOctMem(seed, n, true);
    w = v;
    available = 0;
    position = 0;
    initialised = true;
}

void QvRbgOfb::reinit(const QvOctet* seed, unsigned int seedLen)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgOfb::reinit", "qvrbgofb", "116"));
    if (seed == nullptr)
        return;
    const unsigned int n = cipher->getBlockOctets();
    const unsigned int m = seedLen < n ? seedLen : n;
    QvOctet* vv = v.getData();
    bool any = false;
    for (unsigned int i = 0; i < m; ++i) {
        vv[i] ^= seed[i];
        any = any || seed[i] != 0;
    }
    if (any)
        w = v;
}

void QvRbgOfb::generate()
{
    cipher->encryptBlock(v.getData(), nullptr);
    cipher->encryptBlock(w.getData(), nullptr);
    cipher->encryptBlock(w.getData(), nullptr);
    if (w == v)
        qvThrow<QvRbgCycleException>(QV_EXC_TEXT("QvRbgCycleException", "Wykryto cykl RBG.", "QvRbgOfb::generate",
                                                 "qvrbgofb", "158"));
    const unsigned int half = cipher->getBlockOctets() / 2;
    std::memcpy(out.getData(), v.getConstData(), half);
    available = half;
    position = 0;
}

void QvRbgOfb::fillOctets(QvOctet* dst, unsigned int dstLen)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgOfb::fillOctets", "qvrbgofb", "176"));
    if (dstLen > 0 && dst == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvRbgOfb::fillOctets", "qvrbgofb", "180"));
    const QvOctet* o = out.getConstData();
    for (unsigned int i = 0; i < dstLen; ++i) {
        if (available == 0) {
            generate();
            o = out.getConstData();
        }
        dst[i] = o[position++];
        --available;
    }
}
