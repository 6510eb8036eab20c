#include "libtorvapp/qvrbghashiso18031.h"

#include <cstring>

#include "libtorvapp/qvsym.h"

namespace {
// The identifiers 1 and 3 to 8 name their hash; any other (SHA-224 included) gives SHA-256.
QvHash* hashFor(QvHashAlgo id)
{
    if (id == QV_HASH_DHF_ALGO_SHA224 || id < QV_HASH_DHF_ALGO_SHA1 || id > QV_HASH_DHF_ALGO_MD5)
        id = QV_HASH_DHF_ALGO_SHA256;
    return qvHashCreateObject(id);
}

// target = target + addend modulo 2^(8 * target length); both big-endian, the
// addend aligned at the right end.
void addInto(QvConvOS& target, const QvOctet* addend, unsigned int alen)
{
    QvOctet* t = target.getData();
    const unsigned int tlen = target.getLength();
    unsigned int carry = 0;
    for (unsigned int i = 0; i < tlen; ++i) {
        const unsigned int ti = tlen - 1 - i;
        const unsigned int a = i < alen ? addend[alen - 1 - i] : 0u;
        const unsigned int s = t[ti] + a + carry;
        t[ti] = QvOctet(s);
        carry = s >> 8;
    }
}

void addOne(QvConvOS& target)
{
    const QvOctet one = 1;
    addInto(target, &one, 1);
}

// A text taken with its terminating zero; a null text counts as the empty one.
QvConvOS withTerminator(const char* text)
{
    const char* s = text == nullptr ? "" : text;
    return QvConvOS(reinterpret_cast<const QvOctet*>(s), unsigned(std::strlen(s) + 1));
}
} // namespace

unsigned int QvRbgHashIso18031::roundStrength(unsigned int s)
{
    if (s <= 80)
        return 80;
    if (s <= 112)
        return 112;
    if (s <= 128)
        return 128;
    if (s <= 192)
        return 192;
    return 256;
}

QvRbgHashIso18031::QvRbgHashIso18031(unsigned int requestedStrength, QvHashAlgo hashAlgo)
    : hash(hashFor(hashAlgo)), strength(0), requestCounter(1), initialised(false)
{
    if (requestedStrength > 8 * hash->getHashOctets()) {
        delete hash;
        hash = nullptr;
        qvThrow<QvLibNotImplementedException>(
            QV_EXC_TEXT("QvLibNotImplementedException", "Requested strength is to large.",
                        "QvRbgHashIso18031::QvRbgHashIso18031(unsigned int requestedStrength = 80, QvHashAlgo "
                        "hashAlgo = QV_HASH_DHF_ALGO_SHA256)",
                        "qvrbghashiso18031", "79"));
    }
    strength = roundStrength(requestedStrength);
}

QvRbgHashIso18031::QvRbgHashIso18031(const QvOctet* seed, unsigned int seedLen, const char* personalisationString,
                                     QvPredictionResistance, unsigned int requestedStrength, QvHashAlgo hashAlgo)
    : hash(hashFor(hashAlgo)), strength(0), requestCounter(1), initialised(false)
{
    if (requestedStrength > 8 * hash->getHashOctets()) {
        delete hash;
        hash = nullptr;
        qvThrow<QvLibNotImplementedException>(
            QV_EXC_TEXT("QvLibNotImplementedException", "Requested strength is to large.",
                        "QvRbgHashIso18031::QvRbgHashIso18031(const QvOctet *seed, unsigned int seedLen, const "
                        "char *personalisationString, QvPredictionResistance predictionResistance, unsigned int "
                        "requestedStrength = 80, QvHashAlgo hashAlgo = QV_HASH_DHF_ALGO_SHA256)",
                        "qvrbghashiso18031", "150"));
    }
    strength = roundStrength(requestedStrength);
    try {
        init(seed, seedLen, personalisationString);
    } catch (...) {
        delete hash;
        hash = nullptr;
        throw;
    }
}

QvRbgHashIso18031::~QvRbgHashIso18031()
{
    delete hash;
    hash = nullptr;
    qvWipe(v.getData(), v.getLength());
    qvWipe(c.getData(), c.getLength());
}

unsigned int QvRbgHashIso18031::getMinSeedOctets() const { return (strength > 128 ? strength : 128) / 8; }
unsigned int QvRbgHashIso18031::getMaxSeedOctets() const { return 64; }
unsigned int QvRbgHashIso18031::getSeedStepOctets() const { return 1; }
const char* QvRbgHashIso18031::getName() const { return "HASH-DRBG-18031"; }
void QvRbgHashIso18031::uninit() { initialised = false; }

unsigned int QvRbgHashIso18031::seedlenBits() const
{
    const unsigned int out = 8 * hash->getHashOctets();
    return out > strength ? out : strength;
}

void QvRbgHashIso18031::setHashAlgo(unsigned int hashAlgo, unsigned int s)
{
    QvHash* fresh = qvHashCreateObject(hashAlgo);
    delete hash;
    hash = fresh;
    // The state was made with the old hash: it must be seeded again.
    initialised = false;
    if (s > 8 * hash->getHashOctets())
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Zbyt duza sila RBG.",
                                                      "QvRbgHashIso18031::setHashAlgo", "qvrbghashiso18031",
                                                      "183"));
    strength = roundStrength(s);
}

void QvRbgHashIso18031::hashOf(const QvConvOS& data, QvConvOS& out)
{
    hash->hash(data.getConstData(), data.getLength());
    out.assign(hash->getHashPtr(), hash->getHashOctets());
}

void QvRbgHashIso18031::hashDf(QvConvOS& data, unsigned int bits)
{
    const QvOctet prefix[3] = {1, QvOctet(bits), QvOctet(bits >> 8)};
    QvConvOS input(prefix, 3);
    input += data;
    const unsigned int outBits = 8 * hash->getHashOctets();
    const unsigned int rounds = (bits + outBits - 1) / outBits;
    QvConvOS result;
    QvConvOS h;
    for (unsigned int i = 0; i < rounds; ++i) {
        hashOf(input, h);
        result += h;
        input.getData()[0]++;
    }
    data.assign(result.getConstData(), bits / 8);
    qvWipe(input.getData(), input.getLength());
    qvWipe(result.getData(), result.getLength());
}

void QvRbgHashIso18031::hashGen(QvOctet* dst, unsigned int dstLen)
{
    QvConvOS d(v);
    const unsigned int outlen = hash->getHashOctets();
    unsigned int done = 0;
    while (done < dstLen) {
        hash->hash(d.getConstData(), d.getLength());
        const unsigned int take = dstLen - done < outlen ? dstLen - done : outlen;
        std::memcpy(dst + done, hash->getHashPtr(), take);
        done += take;
        addOne(d);
    }
    qvWipe(d.getData(), d.getLength());
}

void QvRbgHashIso18031::init(const QvOctet* seed, unsigned int seedLen)
{
    init(seed, seedLen, "");
}

void QvRbgHashIso18031::init(const QvOctet* seed, unsigned int seedLen, const char* personalisationString)
{
    initialised = false;
    const unsigned int minimum = getMinSeedOctets();
    if (seedLen < minimum || seed == nullptr) {
        QvBadKeyLengthException e(seedLen, minimum, 0, 0);
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "Number of seed octets is too small.",
                                 "void QvRbgHashIso18031::init(const QvOctet *seed, unsigned int seedLen, const char "
                                 "*personalisationString)",
                                 "qvrbghashiso18031", "252"));
        throw e;
    }
    const unsigned int seedlen = seedlenBits();
    const unsigned int lowest = strength > 128 ? strength : 128;
    const unsigned int entropyOctets = (seedlen > lowest ? seedlen : lowest) / 8;
    // The seed is repeated (or cut) to the entropy input's length.
    QvConvOS entropy(entropyOctets);
    for (unsigned int i = 0; i < entropyOctets; ++i)
        entropy.getData()[i] = seed[i % seedLen];
    requestCounter = 1;
    QvConvOS material = entropy + withTerminator(personalisationString);
    hashDf(material, seedlen);
    v = material;
    // The repeat check of reinit compares seeds as they are passed, so the
    // fingerprint is over the seed itself, not over its repetition.
    hashOf(QvConvOS(seed, seedLen), seedFingerprint);
    const QvOctet zero = 0;
    QvConvOS cInput(&zero, 1);
    cInput += v;
    hashOf(cInput, c);
    qvWipe(entropy.getData(), entropy.getLength());
    qvWipe(material.getData(), material.getLength());
    qvWipe(cInput.getData(), cInput.getLength());
    initialised = true;
}

void QvRbgHashIso18031::reinit(const QvOctet* seed, unsigned int seedLen)
{
    reinit(seed, seedLen, "");
}

void QvRbgHashIso18031::reinit(const QvOctet* seed, unsigned int seedLen, const char* additionalString)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgHashIso18031::reinit", "qvrbghashiso18031", "304"));
    if (seed == nullptr)
        seedLen = 0;
    const QvConvOS entropy(seed, seedLen);
    requestCounter = 1;
    const QvOctet one = 1;
    QvConvOS material(&one, 1);
    material += v;
    material += entropy;
    material += withTerminator(additionalString);
    hashDf(material, seedlenBits());
    v = material;
    qvWipe(material.getData(), material.getLength());
    QvConvOS h;
    hashOf(entropy, h);
    if (h == seedFingerprint)
        qvThrow<QvRbgCycleException>(QV_EXC_TEXT("QvRbgCycleException", "There is cycle in random bit generator.",
                                                 "void QvRbgHashIso18031::reinit(const QvOctet *seed, unsigned int "
                                                 "seedLen, const char *additionalString)",
                                                 "qvrbghashiso18031", "331"));
    seedFingerprint = h;
    const QvOctet zero = 0;
    QvConvOS cInput(&zero, 1);
    cInput += v;
    hashOf(cInput, c);
    qvWipe(cInput.getData(), cInput.getLength());
}

void QvRbgHashIso18031::fillOctets(QvOctet* dst, unsigned int dstLen)
{
    if (!initialised)
        qvThrow<QvRbgNotInitialisedException>(QV_EXC_TEXT("QvRbgNotInitialisedException", "Niezainicjowane RBG.",
                                                          "QvRbgHashIso18031::fillOctets", "qvrbghashiso18031",
                                                          "395"));
    if (++requestCounter == 1)
        qvThrow<QvRbgCycleException>(QV_EXC_TEXT("QvRbgCycleException", "There is cycle in random bit generator.",
                                                 "void QvRbgHashIso18031::fillOctets(QvOctet *dst, unsigned int "
                                                 "dstLen)",
                                                 "qvrbghashiso18031", "404"));
    if (dstLen > 0 && dst == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvRbgHashIso18031::fillOctets", "qvrbghashiso18031", "408"));
    hashGen(dst, dstLen);
    const QvOctet three = 3;
    QvConvOS hInput(&three, 1);
    hInput += v;
    QvConvOS h;
    hashOf(hInput, h);
    addOne(c);
    addInto(v, h.getConstData(), h.getLength());
    addInto(v, c.getConstData(), c.getLength());
}
