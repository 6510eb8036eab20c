// X.509 TBSCertificate.
#include "lib/libasn/x509/tbscert.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "lib/libasn/asnany.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvhash.h"
#include "support/vtest.h"

TBSCertificate::TBSCertificate()
    : ASNsequenceF(0), version(0xA0), serialNumber(0), signature(0u), issuer(0x30), validity(0, 24), subject(0x30),
      subjectPublicKeyInfo(0x30), issuerUniqueIDPresent(0), subjectUniqueIDPresent(0), issuerUniqueID(0x81),
      subjectUniqueID(0x82), extensions(0xA3) {
    version.value.setValue(0);
}

TBSCertificate::TBSCertificate(const TBSCertificate& o)
    : ASNsequenceF(o), version(o.version), serialNumber(o.serialNumber), signature(o.signature), issuer(o.issuer),
      validity(o.validity), subject(o.subject), subjectPublicKeyInfo(o.subjectPublicKeyInfo),
      issuerUniqueIDPresent(o.issuerUniqueIDPresent), subjectUniqueIDPresent(o.subjectUniqueIDPresent),
      issuerUniqueID(o.issuerUniqueID), subjectUniqueID(o.subjectUniqueID), extensions(o.extensions),
      m_received(o.m_received) {}

TBSCertificate& TBSCertificate::operator=(const TBSCertificate& o) {
    if (this == &o) return *this;
    assertNotConst("tbscert", 1, "!( flags & ASN_FLAG_CONST )");
    serialNumber = o.serialNumber;
    signature = o.signature;
    issuer = o.issuer;
    validity = o.validity;
    subject = o.subject;
    subjectPublicKeyInfo = o.subjectPublicKeyInfo;
    version = o.version;
    issuerUniqueIDPresent = o.issuerUniqueIDPresent;
    subjectUniqueIDPresent = o.subjectUniqueIDPresent;
    issuerUniqueID.clear();
    subjectUniqueID.clear();
    if (issuerUniqueIDPresent) issuerUniqueID = o.issuerUniqueID;
    if (subjectUniqueIDPresent) subjectUniqueID = o.subjectUniqueID;
    m_received = o.m_received;
    extensions.value.clear();
    POSITION pos = o.extensions.value.GetHeadPosition();
    while (pos != nullptr) {
        Extension* e = nullptr;
        try {
            e = new Extension(*o.extensions.value.GetNext(pos));
            extensions.value.AddTail(e);
        } catch (const std::bad_alloc&) {
            delete e;
            extensions.value.clear();
            throw;
        }
    }
    return *this;
}

TBSCertificate::~TBSCertificate() = default;

void TBSCertificate::clear() {
    version.value.setValue(0);
    serialNumber.clear();
    signature.clear();
    issuer.clear();
    validity.clear();
    subject.clear();
    subjectPublicKeyInfo.clear();
    issuerUniqueIDPresent = subjectUniqueIDPresent = 0;
    issuerUniqueID.clear();
    subjectUniqueID.clear();
    extensions.value.clear();
    m_received.clear();
}

long TBSCertificate::read(GenericFile* src, long maxLen, uint8_t rflags) {
    m_received.clear();
    int64_t start = src != nullptr ? src->Tell() : -1;
    long r = ASNsequenceF::read(src, maxLen, rflags);
    if (r < 1 || start < 0) return r;
    // Keep the octets just decoded; the stream is left where the decode ended.
    int64_t end = src->Tell();
    if (end != start + r) return r;
    try {
        m_received.resize(static_cast<size_t>(r));
    } catch (const std::bad_alloc&) {
        return EASN_MEM;
    }
    if (src->Seek(static_cast<long>(start)) != 0 || asnReadExact(src, m_received.data(), m_received.size()) != 1) {
        m_received.clear();
        if (src->Seek(static_cast<long>(end)) != 0) return EASN_FILE;
    }
    return r;
}

long TBSCertificate::getVersion() const {
    const uint8_t* d = version.value.getData();
    long all = version.value.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0 || version.value.getLength() > 4) return -1;
    long v = 0;
    for (long i = 0; i < all; i++) v = (v << 8) | d[i];
    return v;
}

void TBSCertificate::setVersion(uint32_t v) {
    version.value.setValue(v);
    m_received.clear();
}

int TBSCertificate::read_contents(GenericFile* src, long len) {
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    issuerUniqueIDPresent = subjectUniqueIDPresent = 0;
    issuerUniqueID.clear();
    subjectUniqueID.clear();
    extensions.value.clear();
    if (len < 2) return 0;
    long used = 0;

    // 1. version (optional [0]) and serialNumber
    {
        ASNany first(TAG_ANY);
        long r = first.read(src, len, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        uint8_t t = first.tag;
        if ((t & ASN_CLASS_MASK) != 0 && (t & ASN_CONSTRUCTED) != 0 && (t & ASN_TAGNUM_MASK) == 0) {
            int a = version.assign(first);
            if (a == EASN_MEM) return EASN_MEM;
            if (a != 1) return 0;
            if (len - used < 2) return 0;
            long s = serialNumber.read(src, len - used, f);
            if (s < 1) return static_cast<int>(s);
            used += s;
        } else {
            int a = serialNumber.tryAssign(first);
            if (a == -1) return 0;
            if (a == 0) return EASN_MEM;
            version.value.setValue(0);
        }
    }

    // 2. the mandatory members
    ASNobject* const members[] = {&signature, &issuer, &validity, &subject, &subjectPublicKeyInfo};
    for (ASNobject* m : members) {
        if (len - used < 2) return 0;
        long r = m->read(src, len - used, f);
        if (r < 1) return static_cast<int>(r);
        used += r;
    }

    // 4. the end of a version-1 value
    if (used == len) return 1;
    long v = getVersion();
    if (v == 0) return 0;

    // 5. unique identifiers and extensions, each at most once, in any order
    bool seenExt = false;
    for (int n = 0; n < 3 && used < len; n++) {
        ASNany e(TAG_ANY);
        long r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        if ((e.tag & ASN_CLASS_MASK) != 0x80) return 0;
        switch (e.tag & ASN_TAGNUM_MASK) {
            case 1: {
                if (issuerUniqueIDPresent) return 0;
                int a = issuerUniqueID.tryAssign(e);
                if (a != 1) return a == 0 ? EASN_MEM : 0;
                issuerUniqueIDPresent = 1;
                break;
            }
            case 2: {
                if (subjectUniqueIDPresent) return 0;
                int a = subjectUniqueID.tryAssign(e);
                if (a != 1) return a == 0 ? EASN_MEM : 0;
                subjectUniqueIDPresent = 1;
                break;
            }
            case 3: {
                if (seenExt || (e.tag & ASN_CONSTRUCTED) == 0 || v < 2) return 0;
                seenExt = true;
                int a = extensions.assign(e);
                if (a == EASN_MEM) return EASN_MEM;
                if (a != 1) return 0;
                break;
            }
            default: return 0;
        }
    }
    return used == len ? 1 : 0;
}

namespace {

template <class F>
void forWritten(const TBSCertificate& c, F f) {
    long v = c.getVersion();
    if (v != 0) f(static_cast<const ASNobject&>(c.version));
    f(c.serialNumber);
    f(c.signature);
    f(c.issuer);
    f(c.validity);
    f(c.subject);
    f(c.subjectPublicKeyInfo);
    if (v != 0) {
        if (c.issuerUniqueIDPresent) f(c.issuerUniqueID);
        if (c.subjectUniqueIDPresent) f(c.subjectUniqueID);
    }
    // Extensions for every version that decoding takes them with (2 and above).
    if (v >= 2 && c.extensions.value.GetCount() > 0) f(c.extensions);
}

}  // namespace

int TBSCertificate::write_contents(GenericFile* dst) const {
    int result = 1;
    forWritten(*this, [&](const ASNobject& m) {
        if (result != 1) return;
        long r = m.write(dst);
        if (r < 1) result = r == 0 ? EASN_FILE : static_cast<int>(r);
    });
    return result;
}

long TBSCertificate::lenOfBody() const {
    long n = 0;
    forWritten(*this, [&](const ASNobject& m) { n += m.lenOfObject(); });
    return n;
}

void TBSCertificate::digest_contents(QvHash* hash) const {
    forWritten(*this, [&](const ASNobject& m) { m.digestObject(hash); });
}

int TBSCertificate::digestReceived(unsigned hashId, uint8_t* buf, long bufLen) const {
    if (m_received.empty()) return digest(hashId, buf, bufLen);
    AssertInvariant(buf != nullptr && bufLen > 0, "tbscert", 1, "digestBuff != NULL && digestBuffLen > 0", nullptr);
    try {
        std::unique_ptr<QvHash> h(qvHashCreateObject(hashId));
        AssertInvariant(static_cast<unsigned long>(bufLen) >= h->getHashOctets(), "tbscert", 1,
                        "(unsigned int)digestBuffLen >= dhfCtx->getHashOctets()", nullptr);
        h->init();
        hashUpdate(m_received.data(), static_cast<long>(m_received.size()), h.get());
        h->finish();
        h->getHash(h->getHashOctets(), buf);
    } catch (const QvException& e) {
        AssertInvariant(0, "tbscert", 1, "0", e.what());
    }
    return 1;
}

int TBSCertificate::checkValidity(const X509time& t) const {
    if (X509time::compare(t, validity.notBefore, true) < 0) return -1;
    if (X509time::compare(t, validity.notAfter, true) > 0) return 1;
    return 0;
}

int TBSCertificate::checkValidityAt(time_t t) const {
    struct tm g;
    if (gmtime_r(&t, &g) == nullptr) return 0;
    char now[32], nb[32], na[32];
    std::snprintf(now, sizeof now, "%04d%02d%02d%02d%02d", g.tm_year + 1900, g.tm_mon + 1, g.tm_mday, g.tm_hour,
                  g.tm_min);
    const X509time& b = validity.notBefore;
    const X509time& a = validity.notAfter;
    std::snprintf(nb, sizeof nb, "%04d%02d%02d%02d%02d", b.year, b.month, b.day, b.hour, b.minute);
    std::snprintf(na, sizeof na, "%04d%02d%02d%02d%02d", a.year, a.month, a.day, a.hour, a.minute);
    if (std::strcmp(now, nb) < 0) return -1;
    if (std::strcmp(now, na) > 0) return 1;
    return 0;
}

bool TBSCertificate::operator==(const TBSCertificate& o) const {
    if (!(serialNumber == o.serialNumber) || !(signature == o.signature) || !(validity == o.validity)) return false;
    if (subject.isEqual(o.subject) != 1 || issuer.isEqual(o.issuer) != 1) return false;
    if (issuerUniqueIDPresent != o.issuerUniqueIDPresent || subjectUniqueIDPresent != o.subjectUniqueIDPresent)
        return false;
    if (issuerUniqueIDPresent && !(issuerUniqueID == o.issuerUniqueID)) return false;
    if (subjectUniqueIDPresent && !(subjectUniqueID == o.subjectUniqueID)) return false;
    if (extensions.value.GetCount() != o.extensions.value.GetCount()) return false;
    POSITION a = extensions.value.GetHeadPosition();
    POSITION b = o.extensions.value.GetHeadPosition();
    while (a != nullptr && b != nullptr) {
        if (!(*extensions.value.GetNext(a) == *o.extensions.value.GetNext(b))) return false;
    }
    return true;
}

uint64_t TBSCertificate::getKeySize() const {
    if (subjectPublicKeyInfo.algorithm.algorithm == algoid::ecPublicKey()) return getKeySizeBits();
    return getKeySizeBytes();
}
