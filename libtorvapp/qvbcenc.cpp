#include "libtorvapp/qvbcenc.h"

#include <cstring>

QvBcEnc::QvBcEnc(unsigned int cipherAlgo, unsigned int pad)
    : padMethod(pad), cipher(qvBcCreateObject(cipherAlgo)), n(cipher->getBlockOctets()), direction(QV_SYM_ENCRYPT),
      partial(n), held(0)
{
}

QvBcEnc::QvBcEnc(const QvBc& cipherObject, unsigned int pad)
    : padMethod(pad), cipher(cipherObject.clone()), n(cipher->getBlockOctets()), direction(QV_SYM_ENCRYPT),
      partial(n), held(0)
{
    keySet = cipher->isKeySet();
}

QvBcEnc::QvBcEnc(const QvBcEnc& other)
    : QvSymEnc(other), padMethod(other.padMethod), cipher(other.cipher->clone()), n(other.n),
      direction(other.direction), partial(other.partial), held(other.held)
{
}

QvBcEnc::~QvBcEnc()
{
    delete cipher;
    cipher = nullptr;
}

unsigned int QvBcEnc::getMinKeyOctets() const { return cipher->getMinKeyOctets(); }
unsigned int QvBcEnc::getMaxKeyOctets() const { return cipher->getMaxKeyOctets(); }
unsigned int QvBcEnc::getKeyStepOctets() const { return cipher->getKeyStepOctets(); }

void QvBcEnc::cipherChanged()
{
    n = cipher->getBlockOctets();
    partial = QvOctMem(n);
    held = 0;
}

void QvBcEnc::unitsAhead(std::size_t) {}

void QvBcEnc::processUnits(const QvOctet* in, QvOctet* out, std::size_t count)
{
    const unsigned int u = getDataUnitOctets();
    for (; count > 0; --count, in += u, out += u)
        processUnit(in, out);
}

void QvBcEnc::setCipher(unsigned int cipherAlgo)
{
    QvBc* fresh = qvBcCreateObject(cipherAlgo);
    delete cipher;
    cipher = fresh;
    sessionOpen = false;
    keySet = false;
    key.clear();
    cipherChanged();
}

void QvBcEnc::setCipher(const QvBc& cipherObject)
{
    QvBc* fresh = cipherObject.clone();
    delete cipher;
    cipher = fresh;
    sessionOpen = false;
    keySet = cipher->isKeySet();
    key.clear();
    cipherChanged();
}

void QvBcEnc::setPadMethod(unsigned int pad)
{
    if (pad > QV_SYM_PAD_NONE)
        qvThrow<QvLibNotImplementedException>(QV_EXC_TEXT("QvLibNotImplementedException", "Nieznany algorytm.",
                                                          "QvBcEnc::setPadMethod", "qvsymenc", "70"));
    padMethod = pad;
    sessionOpen = false;
}

void QvBcEnc::setKey(const QvOctet* k, unsigned int len)
{
    sessionOpen = false;
    cipher->setKey(k, len, QV_KEY_EXPANSION_BOTH);
    key = QvOctMem(k, len, true);
    keySet = true;
}

void QvBcEnc::init(unsigned int dir, const QvOctet* iv, unsigned int ivLen)
{
    const QvBcEncTexts& t = texts();
    if (!keySet)
        qvThrow<QvNotInitException>(t.initNoKey);
    const unsigned int need = getIvOctets();
    if (need > 0 && (ivLen < need || iv == nullptr)) {
        QvBadKeyLengthException e(ivLen, need, need, 0);
        e.setMessage(t.initBadIv);
        throw e;
    }
    direction = dir == QV_SYM_DECRYPT ? QV_SYM_DECRYPT : QV_SYM_ENCRYPT;
    if (need > 0)
        loadIv(iv);
    held = 0;
    sessionOpen = true;
}

unsigned int QvBcEnc::step(const QvOctet* in, unsigned int len, QvOctet* out)
{
    const QvBcEncTexts& t = texts();
    if (!sessionOpen)
        qvThrow<QvFsmException>(t.stepNoSession);
    if (len == 0)
        return 0;
    if (in == nullptr || out == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvBcEnc::step", "qvsymenc", "110"));
    const unsigned int u = getDataUnitOctets();
    // A step may write everything it takes in plus one held unit; none of
    // that area may touch the input, in place included.
    if (qvSymOverlap(out, std::size_t(len) + u, in, len))
        qvThrow<QvBufferOverlapException>(t.stepOverlap);
    const bool hold = direction == QV_SYM_DECRYPT && padMethod != QV_SYM_PAD_NONE;
    QvOctet* buf = partial.getData();
    unsigned int written = 0;
    {
        // Units this step processes: all complete ones, less the one held back.
        const std::size_t total = std::size_t(held) + len;
        std::size_t units = total / u;
        if (hold && units > 0 && total % u == 0)
            --units;
        unitsAhead(units);
    }
    if (held > 0) {
        const unsigned int take = len < u - held ? len : u - held;
        std::memcpy(buf + held, in, take);
        held += take;
        in += take;
        len -= take;
        if (held == u && (!hold || len > 0)) {
            processUnit(buf, out);
            written += u;
            held = 0;
        }
    }
    if (held == 0) {
        unsigned int units = len / u;
        if (hold && units > 0 && len % u == 0)
            --units;
        if (units > 0) {
            processUnits(in, out + written, units);
            in += units * u;
            len -= units * u;
            written += units * u;
        }
        std::memcpy(buf, in, len);
        held = len;
    }
    return written;
}

unsigned int QvBcEnc::finish(QvOctet* out)
{
    const QvBcEncTexts& t = texts();
    if (!sessionOpen)
        qvThrow<QvFsmException>(t.finishNoSession);
    sessionOpen = false;
    const unsigned int u = getDataUnitOctets();
    QvOctet* buf = partial.getData();
    const unsigned int h = held;
    held = 0;
    if (direction == QV_SYM_ENCRYPT) {
        if (padMethod == QV_SYM_PAD_NONE) {
            if (h != 0)
                qvThrow<QvEncryptionDecryptionException>(t.finishEncrypt);
            return 0;
        }
        if (out == nullptr)
            qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                          "QvBcEnc::finish", "qvsymenc", "160"));
        qvSymEncPad(padMethod, buf, u, h);
        unitsAhead(1);
        processUnit(buf, out);
        qvWipe(buf, u);
        return u;
    }
    if (padMethod == QV_SYM_PAD_NONE) {
        if (h != 0)
            qvThrow<QvEncryptionDecryptionException>(t.finishDecrypt);
        return 0;
    }
    if (h != u)
        qvThrow<QvEncryptionDecryptionException>(t.finishDecrypt);
    QvOctMem plain(u);
    unitsAhead(1);
    processUnit(buf, plain.getData());
    qvWipe(buf, u);
    const unsigned int data = qvSymEncUnpad(padMethod, plain.getConstData(), u);
    if (data > 0 && out == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvBcEnc::finish", "qvsymenc", "178"));
    if (data > 0)
        std::memcpy(out, plain.getConstData(), data);
    return data;
}

QvBcStreamEnc::QvBcStreamEnc(unsigned int cipherAlgo, unsigned int segmentOctets, unsigned int pad)
    : QvBcEnc(cipherAlgo, pad), reg(n), s(n)
{
    std::memset(reg.getData(), 0, n);
    setSegmentOctets(segmentOctets);
}

QvBcStreamEnc::QvBcStreamEnc(const QvBc& cipherObject, unsigned int segmentOctets, unsigned int pad)
    : QvBcEnc(cipherObject, pad), reg(n), s(n)
{
    std::memset(reg.getData(), 0, n);
    setSegmentOctets(segmentOctets);
}

QvBcStreamEnc::QvBcStreamEnc(const QvBcStreamEnc& other) = default;
QvBcStreamEnc::~QvBcStreamEnc() = default;

unsigned int QvBcStreamEnc::getDataUnitOctets() const { return s; }
unsigned int QvBcStreamEnc::getIvOctets() const { return n; }

void QvBcStreamEnc::setSegmentOctets(unsigned int segment)
{
    s = (segment == 0 || segment > n) ? n : segment;
    sessionOpen = false;
    partial = QvOctMem(s);
    held = 0;
}

void QvBcStreamEnc::loadIv(const QvOctet* iv) { std::memcpy(reg.getData(), iv, n); }

void QvBcStreamEnc::cipherChanged()
{
    QvBcEnc::cipherChanged();
    reg = QvOctMem(n);
    std::memset(reg.getData(), 0, n);
    setSegmentOctets(n);
}
