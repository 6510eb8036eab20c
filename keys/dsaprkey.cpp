// The DSA private key structure, its library conversions and signing.
#include "keys/dsaprkey.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "support/vtest.h"

namespace {

// The members make a key the library can sign with: odd p above q, an odd q of 64
// to 512 bits (a smaller one would draw nonces from too small a range), 1 < g < p
// and 0 < x < q. Anything else is refused before any arithmetic.
bool usableSigningKey(const ASNinteger& p, const ASNinteger& q, const ASNinteger& g, const ASNinteger& x) {
    QvN np, nq, ng, nx;
    if (!keyIntegerValue(p, np) || !keyIntegerValue(q, nq) || !keyIntegerValue(g, ng) || !keyIntegerValue(x, nx))
        return false;
    if (np.getBitLength() > 16384 || nq.getBitLength() > 512 || nq.getBitLength() < 64) return false;
    if (np.isEven() || nq.isEven() || np <= nq) return false;
    return ng > 1u && ng < np && !nx.isZero() && nx < nq;
}

// Sets a library value from an INTEGER's octets; an empty (or negative) INTEGER
// counts as 0.
template <typename Setter>
void feed(const ASNinteger& v, Setter set) {
    static const uint8_t zero = 0;
    const uint8_t* d;
    unsigned n;
    if (!keyIntegerMagnitude(v, d, n)) {
        d = &zero;
        n = 1;
    }
    set(d, n);
}

// Runs one conversion step: 0 done, 1 out of memory, 2 a value refused.
template <typename Step>
int convert(Step step) {
    try {
        step();
        return 0;
    } catch (const QvMemException&) {
        return 1;
    } catch (const QvWrongSyntaxException&) {
        return 2;
    }
}

}  // namespace

DSAPrivateKey::DSAPrivateKey(uint32_t t)
    : ASNsequenceF(t), version(0), p(0), q(0), g(0), y(0), x(0), m_prepared(false) {
    version.setValue(0);
}

DSAPrivateKey::DSAPrivateKey(const DSAPrivateKey& o)
    : ASNsequenceF(o), version(o.version), p(o.p), q(o.q), g(o.g), y(o.y), x(o.x), m_prepared(false) {}

DSAPrivateKey& DSAPrivateKey::operator=(const DSAPrivateKey& o) {
    if (this == &o) return *this;
    m_prepared = false;
    version = o.version;
    p = o.p;
    q = o.q;
    g = o.g;
    y = o.y;
    x = o.x;
    return *this;
}

DSAPrivateKey::~DSAPrivateKey() = default;

void DSAPrivateKey::clear() {
    m_prepared = false;
    ASNinteger* const v[] = {&version, &p, &q, &g, &y, &x};
    for (ASNinteger* i : v) i->clear();
}

int DSAPrivateKey::read_contents(GenericFile* src, long len) {
    m_prepared = false;
    ASNinteger* const v[] = {&version, &p, &q, &g, &y, &x};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 6);
}

int DSAPrivateKey::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&version, &p, &q, &g, &y, &x};
    return keyWriteIntegers(dst, v, 6);
}

long DSAPrivateKey::lenOfBody() const {
    const ASNinteger* const v[] = {&version, &p, &q, &g, &y, &x};
    return keyLenIntegers(v, 6);
}

void DSAPrivateKey::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&version, &p, &q, &g, &y, &x};
    keyDigestIntegers(hash, v, 6);
}

// ---------------------------------------------------------------------------
// Members

int DSAPrivateKey::setP(const uint8_t* v, long len) {
    m_prepared = false;
    return p.setUnsigned(v, len);
}
int DSAPrivateKey::setQ(const uint8_t* v, long len) {
    m_prepared = false;
    return q.setUnsigned(v, len);
}
int DSAPrivateKey::setG(const uint8_t* v, long len) {
    m_prepared = false;
    return g.setUnsigned(v, len);
}
int DSAPrivateKey::setX(const uint8_t* v, long len) {
    m_prepared = false;
    return x.setUnsigned(v, len);
}
void DSAPrivateKey::setP(const ASNinteger& v) {
    m_prepared = false;
    p = v;
}
void DSAPrivateKey::setQ(const ASNinteger& v) {
    m_prepared = false;
    q = v;
}
void DSAPrivateKey::setG(const ASNinteger& v) {
    m_prepared = false;
    g = v;
}
void DSAPrivateKey::setX(const ASNinteger& v) {
    m_prepared = false;
    x = v;
}
void DSAPrivateKey::setY(const ASNinteger& v) {
    m_prepared = false;
    y = v;
}

int DSAPrivateKey::setPQG(const uint8_t* pv, long pLen, const uint8_t* qv, long qLen, const uint8_t* gv, long gLen) {
    return setP(pv, pLen) == 1 && setQ(qv, qLen) == 1 && setG(gv, gLen) == 1 ? 1 : 0;
}

void DSAPrivateKey::setDomain(const DSAParameters& params) {
    m_prepared = false;
    p = params.p;
    q = params.q;
    g = params.g;
}

int DSAPrivateKey::set(const ASNinteger& xv, const DSAParameters& params, const ASNinteger* yv) {
    m_prepared = false;
    version.setValue(0);
    x = xv;
    setDomain(params);
    if (yv != nullptr) {
        y = *yv;
        return 1;
    }
    y.clear();
    return ensurePublicValue();
}

void DSAPrivateKey::getDomain(DSAParameters& out) const {
    out.p = p;
    out.q = q;
    out.g = g;
}

unsigned DSAPrivateKey::getPrivateValueLength() const { return keyIntegerOctets(x); }
unsigned DSAPrivateKey::getKeySizeBits() const { return 8u * keyIntegerOctets(p); }

int DSAPrivateKey::getPresentParts() const {
    int parts = 0;
    if (keyIntegerNonZero(p) && keyIntegerNonZero(q) && keyIntegerNonZero(g)) parts |= kPartDomain;
    if (keyIntegerNonZero(y)) parts |= kPartPublic;
    if (keyIntegerNonZero(x)) parts |= kPartPrivate;
    return parts;
}

// Only an empty y is missing; a y of 0 is a value like any other (and a wrong one).
int DSAPrivateKey::getPublicValue(ASNinteger& out) const {
    if (hasPublicValue()) {
        out = y;
        return 1;
    }
    DSAParameters params(0x30);
    getDomain(params);
    return params.computePublicValue(x, out) ? 1 : 0;
}

int DSAPrivateKey::ensurePublicValue() {
    if (hasPublicValue()) return 1;
    ASNinteger computed(0);
    if (getPublicValue(computed) != 1) return 0;
    setY(computed);
    return 1;
}

int DSAPrivateKey::isConsistent() const {
    DSAParameters params(0x30);
    getDomain(params);
    if (params.isValid() != 1) return 0;
    if (!hasPublicValue()) return 1;
    ASNinteger computed(0);
    if (!params.computePublicValue(x, computed)) return 0;
    QvN a, b;
    return keyIntegerValue(y, a) && keyIntegerValue(computed, b) && a == b ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Library objects

int DSAPrivateKey::exportDomain(QvGFpKeyDomain& domain) const {
    return convert([&] {
        feed(p, [&](const uint8_t* d, unsigned n) { domain.setP(d, n); });
        feed(q, [&](const uint8_t* d, unsigned n) { domain.setQ(d, n); });
        feed(g, [&](const uint8_t* d, unsigned n) { domain.setG(d, n); });
    });
}

int DSAPrivateKey::exportPublicValue(QvGFpPublicKey& key) const {
    return convert([&] { feed(y, [&](const uint8_t* d, unsigned n) { key.setY(d, n); }); });
}

int DSAPrivateKey::exportPublicKey(QvGFpPublicKey& key, QvGFpKeyDomain& domain) const {
    int r = exportPublicValue(key);
    if (r == 0) r = exportDomain(domain);
    if (r == 0) r = convert([&] { key.setDomain(&domain); });
    return r;
}

int DSAPrivateKey::exportPrivateValues(QvGFpPrivateKey& key) const {
    return convert([&] {
        feed(x, [&](const uint8_t* d, unsigned n) { key.setX(d, n); });
        feed(y, [&](const uint8_t* d, unsigned n) { key.setY(d, n); });
    });
}

int DSAPrivateKey::exportPrivateKey(QvGFpPrivateKey& key, QvGFpKeyDomain& domain) const {
    int r = exportPrivateValues(key);
    if (r == 0) r = exportDomain(domain);
    if (r == 0) r = convert([&] { key.setDomain(&domain); });
    return r;
}

int DSAPrivateKey::fillFrom(const QvGFpPrivateKey& key, const QvGFpKeyDomain* domain, unsigned line) {
    m_prepared = false;
    try {
        if (domain == nullptr) return 0;
        // Room for any value of the domain read from (the key may have none of its own).
        QvGFpPrivateKey sizing;
        sizing.setDomain(domain);
        std::vector<uint8_t> buf(2u * sizing.getPublicKeyOctets() + 1u);
        const unsigned room = static_cast<unsigned>(buf.size());
        DSAPrivateKey out(*this);
        unsigned n = domain->getP(buf.data(), room);
        int ok = n > 0 && out.p.setUnsigned(buf.data(), n) == 1;
        if (ok) ok = (n = domain->getQ(buf.data(), room)) > 0 && out.q.setUnsigned(buf.data(), n) == 1;
        if (ok) ok = (n = domain->getG(buf.data(), room)) > 0 && out.g.setUnsigned(buf.data(), n) == 1;
        if (ok) ok = (n = key.getY(buf.data(), room)) > 0 && out.y.setUnsigned(buf.data(), n) == 1;
        // The library holds 0 for a key without public value: no y, so it can still
        // be computed, rather than a y of 0 that would make the key inconsistent.
        if (ok && !keyIntegerNonZero(out.y)) out.y.clear();
        if (ok) ok = (n = key.getX(buf.data(), room)) > 0 && out.x.setUnsigned(buf.data(), n) == 1;
        std::memset(buf.data(), 0, buf.size());
        if (!ok) return 0;
        out.version.setValue(0);
        *this = out;
        return 1;
    } catch (const QvException& e) {
        AssertInvariant(0, "dsaprkey", line, "0", e.what());
    }
    return 0;
}

int DSAPrivateKey::setFromQvKey(const QvGFpPrivateKey& key) { return fillFrom(key, key.getDomain(), 269); }

int DSAPrivateKey::setFromQvKeyAndDomain(const QvGFpPrivateKey& key, const QvGFpKeyDomain& domain) {
    return fillFrom(key, &domain, 309);
}

int DSAPrivateKey::prepare() {
    m_prepared = false;
    if (!usableSigningKey(p, q, g, x)) return 0;
    try {
        m_scheme.setPrivateKey(nullptr);
        if (exportDomain(m_domain) != 0) return 0;
        if (exportPrivateValues(m_key) != 0) return 0;
        m_key.setDomain(&m_domain);
        m_key.precompute();
        if (!m_key.isPrivatePartReady()) return 0;
        m_scheme.setPrivateKey(&m_key);
        m_prepared = true;
        return 1;
    } catch (const QvWrongSyntaxException&) {
        return 0;
    } catch (const QvException& e) {
        AssertInvariant(0, "dsaprkey", 794, "0", e.what());
    }
    return 0;
}

int DSAPrivateKey::signWithHash(const uint8_t* digest, unsigned digestLen, unsigned hashId, DSASignature& out,
                                QvRbg* rbg) {
    if (hashId < 1 || hashId > 8 || digest == nullptr) return kBadDigest;
    if (digestLen != QvGenericHash::getGenericHashOctets(hashId)) return kBadDigest;
    if (!m_prepared && prepare() != 1) return kKeyFailure;
    // Without a generator no nonce can be drawn: no usable signing key.
    if (rbg == nullptr) return kKeyFailure;
    try {
        m_scheme.setRbg(rbg);
        m_scheme.setHashAlgo(hashId);
        std::vector<QvOctet> buf(m_scheme.getMaxSignatureOctets());
        unsigned n = m_scheme.sign(digest, digestLen, buf.data(), static_cast<unsigned>(buf.size()));
        m_scheme.setRbg(nullptr);
        return out.setRS(buf.data(), n) == 1 ? kSigned : kNotStored;
    } catch (const QvRbgCycleException&) {
        m_scheme.setRbg(nullptr);
        return kRbgFailure;
    } catch (const QvException& e) {
        m_scheme.setRbg(nullptr);
        AssertInvariant(0, "dsaprkey", 864, "0", e.what());
    }
    return kKeyFailure;
}

int DSAPrivateKey::sign(const uint8_t* digest, unsigned digestLen, DSASignature& out, QvRbg* rbg) {
    unsigned hashId = digestLen <= 16 ? 8 : digestLen <= 20 ? 1 : digestLen <= 28 ? 2 : digestLen <= 32 ? 3
                                        : digestLen <= 48 ? 4 : 5;
    return signWithHash(digest, digestLen, hashId, out, rbg);
}
