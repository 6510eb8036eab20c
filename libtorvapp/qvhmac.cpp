#include "libtorvapp/qvhmac.h"

#include <cstring>
#include <typeinfo>

#include "libtorvapp/qvmd5.h"
#include "libtorvapp/qvripemd128.h"
#include "libtorvapp/qvripemd160.h"
#include "libtorvapp/qvsha1.h"
#include "libtorvapp/qvsha224.h"
#include "libtorvapp/qvsha256.h"
#include "libtorvapp/qvsha384.h"
#include "libtorvapp/qvsha512.h"

namespace {
constexpr std::uint32_t kOidArcs[] = {0};
constexpr QvOctet kOidDer[] = {0x06, 0x00};

template <class H>
bool assignAs(QvHash& dst, const QvHash& src)
{
    if (typeid(dst) != typeid(H) || typeid(src) != typeid(H))
        return false;
    static_cast<H&>(dst) = static_cast<const H&>(src);
    return true;
}

// Copies a hash state into an object of the same class without allocating;
// an unknown class is copied by a fresh clone instead.
void copyState(QvHash*& dst, const QvHash& src)
{
    if (dst != nullptr &&
        (assignAs<QvSha256>(*dst, src) || assignAs<QvSha1>(*dst, src) || assignAs<QvSha512>(*dst, src) ||
         assignAs<QvSha384>(*dst, src) || assignAs<QvSha224>(*dst, src) || assignAs<QvMd5>(*dst, src) ||
         assignAs<QvRipemd160>(*dst, src) || assignAs<QvRipemd128>(*dst, src)))
        return;
    QvHash* fresh = src.clone();
    delete dst;
    dst = fresh;
}
} // namespace

QvHmac::QvHmac() : QvHmac(QV_HASH_DHF_ALGO_SHA256) {}

QvHmac::QvHmac(unsigned int hashAlgo)
    : hash(nullptr), key(), keySet(false), b(0), innerStart(nullptr), outerStart(nullptr), outer(nullptr)
{
    installHash(qvHashCreateObject(hashAlgo));
}

QvHmac::QvHmac(const QvHash& hashObject)
    : hash(nullptr), key(), keySet(false), b(0), innerStart(nullptr), outerStart(nullptr), outer(nullptr)
{
    installHash(hashObject.clone());
}

// The copy keeps the key: a cloned MAC computes the same MACs as its source.
QvHmac::QvHmac(const QvHmac& other)
    : QvMac(other), hash(other.hash->clone()), key(other.key), keySet(other.keySet), b(other.b), ipad(other.ipad),
      opad(other.opad), innerStart(nullptr), outerStart(nullptr), outer(nullptr)
{
}

QvHmac::~QvHmac()
{
    delete hash;
    delete innerStart;
    delete outerStart;
    delete outer;
}

QvMac* QvHmac::clone() const { return new QvHmac(*this); }
bool QvHmac::isKeySet() const { return keySet; }
unsigned int QvHmac::getMacId() const { return QV_MAC_HMAC; }
const char* QvHmac::getName() const { return "HMAC"; }
unsigned int QvHmac::getMacOctets() const { return hash->getHashOctets(); }
unsigned int QvHmac::getMinKeyOctets() const { return 0; }
unsigned int QvHmac::getMaxKeyOctets() const { return b; }
unsigned int QvHmac::getKeyStepOctets() const { return 0; }
const std::uint32_t* QvHmac::getOidArcs() const { return kOidArcs; }
const QvOctet* QvHmac::getOidDer() const { return kOidDer; }

void QvHmac::installHash(QvHash* fresh)
{
    delete hash;
    hash = fresh;
    delete innerStart;
    delete outerStart;
    delete outer;
    innerStart = outerStart = outer = nullptr;
    b = hash->getBlockOctets();
    ipad = QvOctMem(b);
    opad = QvOctMem(b);
    key.clear();
    keySet = false;
    sessionOpen = false;
    macReady = false;
}

void QvHmac::setHash(unsigned int hashAlgo) { installHash(qvHashCreateObject(hashAlgo)); }
void QvHmac::setHash(const QvHash& hashObject) { installHash(hashObject.clone()); }

void QvHmac::setKey(const QvOctet* k, unsigned int len)
{
    if (len > b) {
        QvBadKeyLengthException e(len, 0, b, 0);
        e.setMessage(QV_EXC_TEXT("QvBadKeyLengthException", "Zła długość klucza.", "QvHmac::setKey", "qvhmac",
                                 "118"));
        throw e;
    }
    if (k == nullptr && len > 0)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvHmac::setKey", "qvhmac", "122"));
    key = QvOctMem(k, len, true);
    keySet = true;
    // The pad states are made again at the next init; a running session keeps its own.
    delete innerStart;
    innerStart = nullptr;
}

void QvHmac::preparePads()
{
    QvOctet* ip = ipad.getData();
    QvOctet* op = opad.getData();
    std::memset(ip, 0x36, b);
    std::memset(op, 0x5C, b);
    const QvOctet* k = key.getConstData();
    for (unsigned int i = 0; i < key.getLength(); ++i) {
        ip[i] ^= k[i];
        op[i] ^= k[i];
    }
    QvHash* in = hash->clone();
    in->init();
    in->step(ip, b);
    QvHash* out = hash->clone();
    out->init();
    out->step(op, b);
    delete innerStart;
    delete outerStart;
    innerStart = in;
    outerStart = out;
}

unsigned int QvHmac::init()
{
    // Without a key the MAC would be keyed with nothing at all.
    if (!keySet)
        qvThrow<QvNotInitException>(QV_EXC_TEXT("QvNotInitException", "Nie wprowadzony klucz.", "QvHmac::init",
                                                "qvhmac", "157"));
    if (innerStart == nullptr)
        preparePads();
    copyState(hash, *innerStart);
    copyState(outer, *outerStart);
    macReady = false;
    sessionOpen = true;
    return hash->getHashOctets();
}

void QvHmac::step(const QvOctet* data, unsigned int len)
{
    if (!sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvHmac::step", "qvhmac",
                                            "171"));
    if (len == 0)
        return;
    if (data == nullptr)
        qvThrow<QvArgumentRangeException>(QV_EXC_TEXT("QvArgumentRangeException", "Pusty wskaźnik bufora.",
                                                      "QvHmac::step", "qvhmac", "176"));
    hash->step(data, len);
}

void QvHmac::finish()
{
    if (!sessionOpen)
        qvThrow<QvFsmException>(QV_EXC_TEXT("QvFsmException", "Nie rozpoczęta sesja.", "QvHmac::finish", "qvhmac",
                                            "184"));
    hash->finish();
    outer->step(hash->getHashPtr(), hash->getHashOctets());
    outer->finish();
    mac = outer->getHashObject();
    macReady = true;
    sessionOpen = false;
}
