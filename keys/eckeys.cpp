// Elliptic-curve key structures.
#include "keys/eckeys.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "keys/dsakeys.h"
#include "keys/intseq.h"
#include "lib/libasn/siganddigoid.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvep/qvep.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "support/memfile.h"

namespace {

struct NamedCurve {
    const char* oid;
    unsigned bits;
};

// Field sizes of the named curves this system recognises.
const NamedCurve kCurves[] = {
    {"1.2.840.10045.3.1.1", 192}, {"1.3.132.0.33", 224},  {"1.2.840.10045.3.1.7", 256},
    {"1.3.132.0.34", 384},        {"1.3.132.0.35", 521},  {"1.3.132.0.10", 256},
    {"1.3.36.3.3.2.8.1.1.3", 192}, {"1.3.36.3.3.2.8.1.1.5", 224}, {"1.3.36.3.3.2.8.1.1.7", 256},
    {"1.3.36.3.3.2.8.1.1.9", 320}, {"1.3.36.3.3.2.8.1.1.11", 384}, {"1.3.36.3.3.2.8.1.1.13", 512},
};

// Prime-field curves with their parameters (SEC 2, FIPS 186-4), in hexadecimal:
// p, a, b, the base point (uncompressed) and its order.
struct CurveParams {
    const char* oid;
    unsigned bits;
    const char* p;
    const char* a;
    const char* b;
    const char* g;
    const char* n;
};

const CurveParams kCurveParams[] = {
    {"1.2.840.10045.3.1.1", 192,
     "00fffffffffffffffffffffffffffffffeffffffffffffffff",
     "00fffffffffffffffffffffffffffffffefffffffffffffffc",
     "64210519e59c80e70fa7e9ab72243049feb8deecc146b9b1",
     "04188da80eb03090f67cbf20eb43a18800f4ff0afd82ff101207192b95ffc8da78631011ed6b24cdd573f977a11e794811",
     "00ffffffffffffffffffffffff99def836146bc9b1b4d22831"},
    {"1.3.132.0.33", 224,
     "00ffffffffffffffffffffffffffffffff000000000000000000000001",
     "00fffffffffffffffffffffffffffffffefffffffffffffffffffffffe",
     "00b4050a850c04b3abf54132565044b0b7d7bfd8ba270b39432355ffb4",
     "04b70e0cbd6bb4bf7f321390b94a03c1d356c21122343280d6115c1d21bd376388b5f723fb4c22dfe6cd4375a05a07476444d5819985007e34",
     "00ffffffffffffffffffffffffffff16a2e0b8f03e13dd29455c5c2a3d"},
    {"1.2.840.10045.3.1.7", 256,
     "00ffffffff00000001000000000000000000000000ffffffffffffffffffffffff",
     "00ffffffff00000001000000000000000000000000fffffffffffffffffffffffc",
     "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b",
     "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c2964fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5",
     "00ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551"},
    {"1.3.132.0.34", 384,
     "00fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff0000000000000000ffffffff",
     "00fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffeffffffff0000000000000000fffffffc",
     "00b3312fa7e23ee7e4988e056be3f82d19181d9c6efe8141120314088f5013875ac656398d8a2ed19d2a85c8edd3ec2aef",
     "04aa87ca22be8b05378eb1c71ef320ad746e1d3b628ba79b9859f741e082542a385502f25dbf55296c3a545e3872760ab73617de4a96262c6f5d9e98bf9292dc29f8f41dbd289a147ce9da3113b5f0b8c00a60b1ce1d7e819d7a431d7c90ea0e5f",
     "00ffffffffffffffffffffffffffffffffffffffffffffffffc7634d81f4372ddf581a0db248b0a77aecec196accc52973"},
    {"1.3.132.0.35", 521,
     "01ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "01fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffc",
     "51953eb9618e1c9a1f929a21a0b68540eea2da725b99b315f3b8b489918ef109e156193951ec7e937b1652c0bd3bb1bf073573df883d2c34f1ef451fd46b503f00",
     "0400c6858e06b70404e9cd9e3ecb662395b4429c648139053fb521f828af606b4d3dbaa14b5e77efe75928fe1dc127a2ffa8de3348b3c1856a429bf97e7e31c2e5bd66011839296a789a3bc0045c8a5fb42c7d1bd998f54449579b446817afbd17273e662c97ee72995ef42640c550b9013fad0761353c7086a272c24088be94769fd16650",
     "01fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffa51868783bf2f966b7fcc0148f709a5d03bb5c9b8899c47aebb6fb71e91386409"},
    {"1.3.132.0.10", 256,
     "00fffffffffffffffffffffffffffffffffffffffffffffffffffffffefffffc2f",
     "0",
     "7",
     "0479be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8",
     "00fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141"},
};

std::vector<uint8_t> fromHex(const char* h) {
    std::vector<uint8_t> v;
    size_t n = std::strlen(h);
    size_t i = 0;
    if (n % 2 == 1) {
        v.push_back(static_cast<uint8_t>(std::strtoul(std::string(1, h[0]).c_str(), nullptr, 16)));
        i = 1;
    }
    for (; i < n; i += 2) v.push_back(static_cast<uint8_t>(std::strtoul(std::string(h + i, 2).c_str(), nullptr, 16)));
    return v;
}

std::vector<uint8_t> integerOctets(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    long n = v.getValueLength();
    if (d == nullptr || n < 1 || (d[0] & 0x80) != 0) return {};
    return std::vector<uint8_t>(d, d + n);
}

// SpecifiedECDomain over a prime field: p, a, b, base point and order; false for
// other fields or malformed parameters.
bool specifiedCurve(const ASNany& spec, ECCurveData* out) {
    const uint8_t* d = spec.getData();
    long n = spec.getLength();
    if (d == nullptr || n < 2) return false;
    MemFile mf(static_cast<const void*>(d), static_cast<size_t>(n), false);
    long used = 0;
    ASNinteger version;
    long r = version.read(&mf, n, 0);
    if (r < 1 || (used += r) >= n) return false;
    ASNany fieldId(0x30);
    r = fieldId.read(&mf, n - used, 0);
    if (r < 1 || (used += r) >= n) return false;
    ASNany curve(0x30);
    r = curve.read(&mf, n - used, 0);
    if (r < 1 || (used += r) >= n) return false;
    ASNoctstr base;
    r = base.read(&mf, n - used, 0);
    if (r < 1 || (used += r) >= n) return false;
    ASNinteger order;
    if (order.read(&mf, n - used, 0) < 1) return false;

    const uint8_t* f = fieldId.getData();
    long fn = fieldId.getLength();
    if (f == nullptr || fn < 2) return false;
    MemFile ff(static_cast<const void*>(f), static_cast<size_t>(fn), false);
    ASNobjectId type;
    long t = type.read(&ff, fn, 0);
    if (t < 1 || t >= fn || !type.isEqual("1.2.840.10045.1.1")) return false;
    ASNinteger prime;
    if (prime.read(&ff, fn - t, 0) != fn - t) return false;

    const uint8_t* c = curve.getData();
    long cn = curve.getLength();
    if (c == nullptr || cn < 4) return false;
    MemFile cf(static_cast<const void*>(c), static_cast<size_t>(cn), false);
    ASNoctstr a, b;
    long ra = a.read(&cf, cn, 0);
    if (ra < 1 || ra >= cn) return false;
    if (b.read(&cf, cn - ra, 0) < 1) return false;

    out->p = integerOctets(prime);
    out->n = integerOctets(order);
    out->a.assign(a.getData(), a.getData() + a.getLength());
    out->b.assign(b.getData(), b.getData() + b.getLength());
    out->g.assign(base.getData(), base.getData() + base.getLength());
    return !out->p.empty() && !out->n.empty() && !out->a.empty() && !out->b.empty() && !out->g.empty();
}

bool namedCurve(const ASNobjectId& oid, ECCurveData* out) {
    for (const CurveParams& c : kCurveParams) {
        if (!oid.isEqual(c.oid)) continue;
        out->p = fromHex(c.p);
        out->a = fromHex(c.a);
        out->b = fromHex(c.b);
        out->g = fromHex(c.g);
        out->n = fromHex(c.n);
        return true;
    }
    return false;
}

QvN toN(const std::vector<uint8_t>& v) { return QvN(v.data(), static_cast<unsigned>(v.size()), 0); }

// SpecifiedECDomain: SEQUENCE { version, fieldID SEQUENCE { fieldType, parameters }, ... }:
// the bit length of the prime (prime field) or the degree m (characteristic two).
unsigned specifiedFieldBits(const ASNany& spec) {
    const uint8_t* d = spec.getData();
    long n = spec.getLength();
    if (d == nullptr || n < 2) return 0;
    MemFile mf(static_cast<const void*>(d), static_cast<size_t>(n), false);
    ASNinteger version;
    long r = version.read(&mf, n, 0);
    if (r < 1 || r >= n) return 0;
    ASNany fieldId(0x30);
    long r2 = fieldId.read(&mf, n - r, 0);
    if (r2 < 1) return 0;
    const uint8_t* f = fieldId.getData();
    long fn = fieldId.getLength();
    if (f == nullptr || fn < 2) return 0;
    MemFile ff(static_cast<const void*>(f), static_cast<size_t>(fn), false);
    ASNobjectId type;
    long t = type.read(&ff, fn, 0);
    if (t < 1 || t >= fn) return 0;
    if (type.isEqual("1.2.840.10045.1.1")) {
        ASNinteger prime;
        if (prime.read(&ff, fn - t, 0) < 1) return 0;
        return keyIntegerBits(prime);
    }
    if (type.isEqual("1.2.840.10045.1.2")) {
        ASNany params(0x30);
        if (params.read(&ff, fn - t, 0) < 1) return 0;
        const uint8_t* pd = params.getData();
        long pn = params.getLength();
        if (pd == nullptr || pn < 3) return 0;
        MemFile pf(static_cast<const void*>(pd), static_cast<size_t>(pn), false);
        ASNinteger m;
        if (m.read(&pf, pn, 0) < 1) return 0;
        return keyIntegerBits(m) == 0 ? 0 : static_cast<unsigned>(m.getLong());
    }
    return 0;
}

}  // namespace

ECDomainParameters::ECDomainParameters(uint32_t t)
    : ASNchoice(t), specified(0x30), namedCurve(0u), implicitCA(0), m_list{&specified, &namedCurve, &implicitCA,
                                                                          nullptr} {
    setChosenObject(&implicitCA);
}

ECDomainParameters::ECDomainParameters(const ECDomainParameters& o)
    : ASNchoice(o), specified(o.specified), namedCurve(o.namedCurve), implicitCA(0),
      m_list{&specified, &namedCurve, &implicitCA, nullptr} {}

ECDomainParameters& ECDomainParameters::operator=(const ECDomainParameters& o) {
    if (this == &o) return *this;
    specified = o.specified;
    namedCurve = o.namedCurve;
    int i = o.getChosenIndex();
    if (i >= 0) chooseByIndex(static_cast<uint32_t>(i));
    return *this;
}

ECDomainParameters::~ECDomainParameters() = default;

ASNobject** ECDomainParameters::getObjectList() { return m_list; }

int ECDomainParameters::getType() const {
    const ASNobject* c = getChosenObject();
    if (c == &specified) return kSpecified;
    if (c == &namedCurve) return kNamedCurve;
    if (c == &implicitCA) return kImplicitCA;
    return kNone;
}

unsigned ECDomainParameters::getFieldSizeBits() const {
    switch (getType()) {
        case kSpecified: return specifiedFieldBits(specified);
        case kNamedCurve:
            for (const NamedCurve& c : kCurves)
                if (namedCurve.isEqual(c.oid)) return c.bits;
            return 0;
        default: return 0;
    }
}

// ---------------------------------------------------------------------------

ECPublicKey::ECPublicKey(uint32_t t) : ASNbitstr(t), m_domainType(0), m_fieldBits(0) {}
ECPublicKey::ECPublicKey(const ECPublicKey& o)
    : ASNbitstr(o), m_domainType(o.m_domainType), m_fieldBits(o.m_fieldBits), m_curve(o.m_curve) {}
ECPublicKey& ECPublicKey::operator=(const ECPublicKey& o) {
    if (this == &o) return *this;
    ASNbitstr::operator=(o);
    m_domainType = o.m_domainType;
    m_fieldBits = o.m_fieldBits;
    m_curve = o.m_curve;
    return *this;
}
ECPublicKey::~ECPublicKey() = default;

int ECPublicKey::setPoint(const uint8_t* data, long len, uint8_t unusedBits) {
    return set(data, len, unusedBits);
}

unsigned ECPublicKey::getSizeBits() const {
    const uint8_t* b = getBits();
    long n = getByteLength();
    if (b == nullptr || n < 2) return 0;
    switch (b[0]) {
        case 0x04:
        case 0x06:
        case 0x07:
            if ((n - 1) % 2 != 0) return 0;
            return static_cast<unsigned>((n - 1) / 2) * 8;
        case 0x02:
        case 0x03: return static_cast<unsigned>(n - 1) * 8;
        default: return 0;
    }
}

int ECPublicKey::bindDomain(const ECDomainParameters& domain) {
    int t = domain.getType();
    if (t != ECDomainParameters::kSpecified && t != ECDomainParameters::kNamedCurve) return 0;
    m_domainType = t;
    m_fieldBits = domain.getFieldSizeBits();
    m_curve = ECCurveData();
    bool known = t == ECDomainParameters::kNamedCurve ? namedCurve(domain.namedCurve, &m_curve)
                                                       : specifiedCurve(domain.specified, &m_curve);
    if (!known) m_curve = ECCurveData();
    return 1;
}

bool ECPublicKey::isInDomain(const ECDomainParameters& domain) const {
    unsigned f = domain.getFieldSizeBits();
    unsigned s = getSizeBits();
    return f != 0 && s != 0 && (f + 7) / 8 == s / 8;
}

int ECPublicKey::verify(const uint8_t* digest, unsigned digestLen, const ASNobjectId& signatureOid,
                        const DSASignature& sig) const {
    if (!isEcdsaSignatureOid(signatureOid)) return -2;
    if (m_domainType == ECDomainParameters::kNone) return -4;
    // A binary field, or a curve whose parameters are not known here.
    if (m_curve.p.empty()) return -3;
    const uint8_t* pt = getBits();
    long ptLen = getByteLength();
    if (digest == nullptr || digestLen == 0 || pt == nullptr || ptLen < 1 || getUnusedBits() != 0) return -3;
    try {
        QvN p = toN(m_curve.p), n = toN(m_curve.n);
        if (p.isEven() || n.isEven() || p.getBitLength() > 1024 || n <= 1u) return -3;
        const std::vector<uint8_t> r8 = integerOctets(sig.r), s8 = integerOctets(sig.s);
        if (r8.empty() || s8.empty()) return 0;
        QvN r = toN(r8), s = toN(s8);
        if (r.isZero() || s.isZero() || r >= n || s >= n) return 0;
        QvEp curve(m_curve.a.data(), static_cast<unsigned>(m_curve.a.size()), m_curve.b.data(),
                   static_cast<unsigned>(m_curve.b.size()), m_curve.p.data(), static_cast<unsigned>(m_curve.p.size()));
        std::unique_ptr<QvGroupElem> g(curve.createNew(m_curve.g.data(), static_cast<unsigned>(m_curve.g.size())));
        std::unique_ptr<QvGroupElem> q(curve.createNew(pt, static_cast<unsigned>(ptLen)));
        // The digest's leftmost bits, as many as the order has.
        unsigned nBits = n.getBitLength();
        unsigned use = digestLen;
        if (use * 8 > nBits) use = (nBits + 7) / 8;
        QvN e(digest, use, 0);
        if (use * 8 > nBits) e >>= use * 8 - nBits;
        QvModulus nm(n, QvModulus::OPT_MONTGOMERY);
        QvZn w(1, &nm);
        w /= QvZn(s, &nm);
        QvZn u1(e % n, &nm);
        u1 *= w;
        QvZn u2(r, &nm);
        u2 *= w;
        std::unique_ptr<QvGroupElem> x(curve.productTwo(u1.asQvN(), g.get(), u2.asQvN(), q.get()));
        QvN v;
        try {
            v = curve.asQvN(x.get()) % n;
        } catch (const QvException&) {
            return 0;  // the point at infinity
        }
        return v == r ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (const QvException&) {
        return -3;
    }
}

// ---------------------------------------------------------------------------

ECPrivateKey::ECPrivateKey(uint32_t t)
    : ASNsequenceF(t), version(0), privateKey(0), parameters(0xA0), publicKey(0xA1), wasParameters(0),
      wasPublicKey(0) {
    version.setValue(1);
}

ECPrivateKey::~ECPrivateKey() = default;

void ECPrivateKey::clear() {
    version.setValue(1);
    privateKey.clear();
    parameters.value = ECDomainParameters();
    publicKey.value.clear();
    wasParameters = wasPublicKey = 0;
}

int ECPrivateKey::read_contents(GenericFile* src, long len) {
    clear();
    if (len < 2) return 0;
    long used = version.read(src, len, 0);
    if (used < 1) return static_cast<int>(used);
    if (len - used < 2) return 0;
    long r = privateKey.read(src, len - used, 0);
    if (r < 1) return static_cast<int>(r);
    used += r;
    int next = 0;
    while (used < len) {
        ASNany e(TAG_ANY);
        r = e.read(src, len - used, 0);
        if (r < 1) return static_cast<int>(r);
        used += r;
        if ((e.tag & ASN_CLASS_MASK) != 0x80 || (e.tag & ASN_CONSTRUCTED) == 0) return 0;
        int num = e.tag & ASN_TAGNUM_MASK;
        if (num < next || num > 1) return 0;
        int a = num == 0 ? parameters.assign(e) : publicKey.assign(e);
        if (a != 1) return a == EASN_MEM ? EASN_MEM : 0;
        (num == 0 ? wasParameters : wasPublicKey) = 1;
        next = num + 1;
    }
    return used == len ? 1 : 0;
}

int ECPrivateKey::write_contents(GenericFile* dst) const {
    const ASNobject* const m[] = {&version, &privateKey, wasParameters ? &parameters : nullptr,
                                  wasPublicKey ? &publicKey : nullptr};
    for (const ASNobject* o : m) {
        if (o == nullptr) continue;
        long r = o->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

long ECPrivateKey::lenOfBody() const {
    return version.lenOfObject() + privateKey.lenOfObject() + (wasParameters ? parameters.lenOfObject() : 0) +
           (wasPublicKey ? publicKey.lenOfObject() : 0);
}

void ECPrivateKey::digest_contents(QvHash* hash) const {
    version.digestObject(hash);
    privateKey.digestObject(hash);
    if (wasParameters) parameters.digestObject(hash);
    if (wasPublicKey) publicKey.digestObject(hash);
}

int ECPrivateKey::signObject(const ASNobject& obj, unsigned hashId, const ECDomainParameters* domain, QvRbg* rbg,
                             ASNbitstr* out) const {
    if (hashId < 1 || hashId > 8) return -5;
    if (out == nullptr) return 0;
    if (domain == nullptr) {
        if (!wasParameters) return -4;
        domain = &parameters.value;
    }
    ECCurveData cd;
    int t = domain->getType();
    bool known = t == ECDomainParameters::kNamedCurve  ? namedCurve(domain->namedCurve, &cd)
                 : t == ECDomainParameters::kSpecified ? specifiedCurve(domain->specified, &cd)
                                                       : false;
    if (!known) return -4;
    const uint8_t* dp = privateKey.getData();
    long dl = privateKey.getLength();
    if (rbg == nullptr || dp == nullptr || dl < 1) return -1;
    try {
        QvN p = toN(cd.p), n = toN(cd.n), dv(dp, static_cast<unsigned>(dl), 0);
        // An order of fewer than 64 bits would give a nonce from too small a range.
        if (p.isEven() || n.isEven() || n.getBitLength() < 64 || dv.isZero() || dv >= n) return -1;
        uint8_t digest[64];
        obj.digest(hashId, digest, sizeof digest);
        unsigned digestLen = QvGenericHash::getGenericHashOctets(hashId);
        unsigned nBits = n.getBitLength();
        unsigned use = digestLen;
        if (use * 8 > nBits) use = (nBits + 7) / 8;
        QvN e(digest, use, 0);
        if (use * 8 > nBits) e >>= use * 8 - nBits;
        QvEp curve(cd.a.data(), static_cast<unsigned>(cd.a.size()), cd.b.data(), static_cast<unsigned>(cd.b.size()),
                   cd.p.data(), static_cast<unsigned>(cd.p.size()));
        std::unique_ptr<QvGroupElem> g(curve.createNew(cd.g.data(), static_cast<unsigned>(cd.g.size())));
        QvModulus nm(n, QvModulus::OPT_MONTGOMERY);
        for (int attempt = 0; attempt < 64; attempt++) {
            QvN k;
            k.setRandom(n, rbg);
            if (k.isZero()) continue;
            std::unique_ptr<QvGroupElem> R(curve.product(k, g.get()));
            QvN r = curve.asQvN(R.get()) % n;
            if (r.isZero()) continue;
            QvZn s(1, &nm);
            s /= QvZn(k, &nm);
            QvZn t2(dv, &nm);
            t2 *= QvZn(r, &nm);
            t2 += QvZn(e % n, &nm);
            s *= t2;
            QvN sv = s.asQvN();
            if (sv.isZero()) continue;
            DSASignature sig;
            unsigned rl = r.getOctetLength(), sl = sv.getOctetLength();
            std::vector<uint8_t> rb(rl), sb(sl);
            r.asOctetString(rb.data(), rl, true);
            sv.asOctetString(sb.data(), sl, true);
            if (sig.r.setUnsigned(rb.data(), static_cast<long>(rl)) != 1 ||
                sig.s.setUnsigned(sb.data(), static_cast<long>(sl)) != 1)
                return -6;
            std::vector<uint8_t> der;
            if (sig.encodeToVector(der) < 1) return -6;
            return out->set(der.data(), static_cast<long>(der.size()), 0) == 1 ? 1 : 0;
        }
        return -1;
    } catch (const std::bad_alloc&) {
        return -6;
    } catch (const QvException&) {
        return -1;
    }
}
