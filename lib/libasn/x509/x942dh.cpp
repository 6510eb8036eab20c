// X9.42 Diffie-Hellman domain parameters.
#include "lib/libasn/x509/x942dh.h"

#include <new>

#include "keys/dsaparms.h"
#include "lib/libasn/asnany.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvnumbers/qvn.h"

X942ValidationParams::X942ValidationParams(uint32_t t) : ASNsequenceF(t), seed(0), pgenCounter(0) {}
X942ValidationParams::X942ValidationParams(const X942ValidationParams& o)
    : ASNsequenceF(o), seed(o.seed), pgenCounter(o.pgenCounter) {}
X942ValidationParams& X942ValidationParams::operator=(const X942ValidationParams& o) {
    if (this != &o) {
        assertNotConst("x942dh", 1, "!( flags & ASN_FLAG_CONST )");
        seed = o.seed;
        pgenCounter = o.pgenCounter;
    }
    return *this;
}
X942ValidationParams::~X942ValidationParams() = default;

void X942ValidationParams::clear() {
    seed.clear();
    pgenCounter.clear();
}

int X942ValidationParams::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 2) return 0;
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long r = seed.read(src, len, f);
    if (r < 1) return static_cast<int>(r);
    if (len - r < 2) return 0;
    long r2 = pgenCounter.read(src, len - r, f);
    if (r2 < 1) return static_cast<int>(r2);
    return r + r2 == len ? 1 : 0;
}

int X942ValidationParams::write_contents(GenericFile* dst) const {
    long r = seed.write(dst);
    if (r < 1) return static_cast<int>(r);
    r = pgenCounter.write(dst);
    return r < 1 ? static_cast<int>(r) : 1;
}

long X942ValidationParams::lenOfBody() const { return seed.lenOfObject() + pgenCounter.lenOfObject(); }

void X942ValidationParams::digest_contents(QvHash* hash) const {
    seed.digestObject(hash);
    pgenCounter.digestObject(hash);
}

bool X942ValidationParams::operator==(const X942ValidationParams& o) const {
    return seed == o.seed && pgenCounter == o.pgenCounter;
}

int X942ValidationParams::setSeed(const uint8_t* data, long len) { return seed.set(data, len, 0); }

const uint8_t* X942ValidationParams::getSeed(long* len) const {
    long n = seed.getByteLength();
    if (len != nullptr) *len = n;
    return n > 0 ? seed.getBits() : nullptr;
}

int64_t X942ValidationParams::getPgenCounter() const {
    const uint8_t* d = pgenCounter.getData();
    long all = pgenCounter.getValueLength();
    if (d == nullptr || all < 1 || (d[0] & 0x80) != 0 || pgenCounter.getLength() > 8) return -1;
    uint64_t v = 0;
    for (long i = 0; i < all; i++) v = (v << 8) | d[i];
    return v > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(v);
}

// ---------------------------------------------------------------------------

X942DomainParameters::X942DomainParameters(uint32_t t)
    : ASNsequenceF(t), p(0), g(0), q(0), j(0), validationParms(0x30), jPresent(0), validationParmsPresent(0) {}

X942DomainParameters::X942DomainParameters(const X942DomainParameters& o)
    : ASNsequenceF(o), p(o.p), g(o.g), q(o.q), j(o.j), validationParms(o.validationParms), jPresent(o.jPresent),
      validationParmsPresent(o.validationParmsPresent) {}

X942DomainParameters& X942DomainParameters::operator=(const X942DomainParameters& o) {
    if (this == &o) return *this;
    assertNotConst("x942dh", 1, "!( flags & ASN_FLAG_CONST )");
    p = o.p;
    g = o.g;
    q = o.q;
    j = o.j;
    validationParms = o.validationParms;
    jPresent = o.jPresent;
    validationParmsPresent = o.validationParmsPresent;
    return *this;
}

X942DomainParameters::~X942DomainParameters() = default;

void X942DomainParameters::clear() {
    p.clear();
    g.clear();
    q.clear();
    j.clear();
    validationParms.clear();
    jPresent = validationParmsPresent = 0;
}

int X942DomainParameters::read_contents(GenericFile* src, long len) {
    clear();
    uint8_t f = static_cast<uint8_t>(flags & ASN_FLAG_CONST);
    long used = 0;
    ASNinteger* const mandatory[] = {&p, &g, &q};
    for (ASNinteger* m : mandatory) {
        if (len - used < 2) return 0;
        long r = m->read(src, len - used, f);
        if (r < 1) return static_cast<int>(r);
        used += r;
    }
    if (used >= len) return used == len ? 1 : 0;
    for (int n = 0; n < 2; n++) {
        ASNany e(TAG_ANY);
        e.flags |= ASN_FLAG_CLASSTAG;
        long r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        if (e.tag == 0x02) {
            if (jPresent || validationParmsPresent) return 0;
            int a = j.assign(e);
            if (a != 1) return a;
            jPresent = 1;
        } else if (e.tag == 0x30) {
            if (validationParmsPresent) return 0;
            int a = validationParms.assign(e);
            if (a != 1) return a;
            validationParmsPresent = 1;
        } else {
            return 0;
        }
        used += r;
        if (used >= len) break;
    }
    return used == len ? 1 : 0;
}

int X942DomainParameters::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&p, &g, &q, jPresent ? &j : nullptr,
                                  validationParmsPresent ? &validationParms : nullptr};
    for (const ASNobject* o : m) {
        if (o == nullptr) continue;
        long r = o->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long X942DomainParameters::lenOfBody() const {
    return p.lenOfObject() + g.lenOfObject() + q.lenOfObject() + (jPresent ? j.lenOfObject() : 0) +
           (validationParmsPresent ? validationParms.lenOfObject() : 0);
}

void X942DomainParameters::digest_contents(QvHash* hash) const {
    p.digestObject(hash);
    g.digestObject(hash);
    q.digestObject(hash);
    if (jPresent) j.digestObject(hash);
    if (validationParmsPresent) validationParms.digestObject(hash);
}

long X942DomainParameters::getPBits() const { return 8 * p.getLength(); }
long X942DomainParameters::getQBits() const { return 8 * q.getLength(); }
long X942DomainParameters::getQLength() const { return q.getLength(); }

void X942DomainParameters::copyToDsaParameters(DSAParameters& out) const {
    out.p = p;
    out.q = q;
    out.g = g;
}

int X942DomainParameters::setFromDsaParameters(const DSAParameters& in, bool computeJ) {
    assertNotConst("x942dh", 1, "!( flags & ASN_FLAG_CONST )");
    p = in.p;
    q = in.q;
    g = in.g;
    j.clear();
    validationParms.clear();
    jPresent = validationParmsPresent = 0;
    if (!computeJ) return 1;
    // j = (p - 1) / q, for positive p and q.
    const uint8_t* pd = p.getData();
    const uint8_t* qd = q.getData();
    long pn = p.getValueLength(), qn = q.getValueLength();
    if (pd == nullptr || qd == nullptr || pn < 1 || qn < 1 || (pd[0] & 0x80) || (qd[0] & 0x80)) return 0;
    try {
        QvN pv(pd, static_cast<unsigned>(pn), 0), qv(qd, static_cast<unsigned>(qn), 0);
        if (qv.isZero() || pv.isZero()) return 0;
        QvN jv = (pv - 1u) / qv;
        unsigned n = jv.getOctetLength();
        if (n == 0) n = 1;
        uint8_t* buf = new uint8_t[n];
        jv.asOctetString(buf, n, true);
        int r = j.setUnsigned(buf, n);
        delete[] buf;
        if (r != 1) {
            if (jv.isZero()) {
                j.setValue(0);
            } else {
                return 0;
            }
        }
        jPresent = 1;
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const QvException&) {
        return 0;
    }
}
