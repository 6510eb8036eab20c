// EC domain parameters and the EC public point, verified through the library scheme.
#include "keys/ecpubkey.h"

#include <memory>

#include "keys/dsaparms.h"
#include "keys/ecnamedcurves.h"
#include "keys/intseq.h"
#include "lib/libasn/siganddigoid.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "support/memfile.h"

namespace {

// The library's domain of a named curve from the curve catalogue, or null for a
// curve it does not know or carries without a domain.
const QvGeneralDsaKeyDomain* namedDomain(const ASNobjectId& oid) {
    return dynamic_cast<const QvGeneralDsaKeyDomain*>(EcNamedCurveTable::getDomain(oid));
}

// Field size of a library domain: the bits of the prime or the degree m.
unsigned domainFieldBits(const QvGeneralDsaKeyDomain* d) {
    if (d == nullptr) return 0;
    try {
        if (d->getType() == QvAsymKeyDomain::TYPE_EP) {
            const auto* ep = static_cast<const QvEpDsaKeyDomain*>(d);
            if (ep->getCurveFlag() == 1 && ep->getCryptoEp() != nullptr)
                return ep->getCryptoEp()->getModulus().getBitLength();
            return ep->getEp() != nullptr ? ep->getEp()->getModulus().getBitLength() : 0;
        }
        if (d->getType() == QvAsymKeyDomain::TYPE_E2N) {
            unsigned m = 0;
            static_cast<const QvE2nDsaKeyDomain*>(d)->getPentanomial(&m, nullptr, nullptr, nullptr);
            return m;
        }
    } catch (const QvException&) {
    }
    return 0;
}

std::vector<uint8_t> integerOctets(const ASNinteger& v) {
    const uint8_t* d = v.getData();
    long n = v.getValueLength();
    if (d == nullptr || n < 1 || (d[0] & 0x80) != 0) return {};
    return std::vector<uint8_t>(d, d + n);
}

// Reads one INTEGER of a small non-negative value from f; false otherwise.
bool readSmall(MemFile* f, long* left, unsigned* out) {
    ASNinteger v;
    long r = v.read(f, *left, 0);
    if (r < 1 || keyIntegerBits(v) > 31 || integerOctets(v).empty()) return false;
    *left -= r;
    *out = static_cast<unsigned>(v.getLong());
    return true;
}

// Characteristic-two field parameters: SEQUENCE { m, basis OID, trinomial k or
// pentanomial (k1, k2, k3) }; a Gaussian normal basis is not supported.
bool binaryField(const uint8_t* f, long fn, ECCurveData* out) {
    ASNany params(0x30);
    MemFile ff(static_cast<const void*>(f), static_cast<size_t>(fn), false);
    if (params.read(&ff, fn, 0) != fn) return false;
    const uint8_t* pd = params.getData();
    long pn = params.getLength();
    if (pd == nullptr || pn < 3) return false;
    MemFile pf(static_cast<const void*>(pd), static_cast<size_t>(pn), false);
    long left = pn;
    if (!readSmall(&pf, &left, &out->m) || out->m < 2 || left < 2) return false;
    ASNobjectId basis;
    long r = basis.read(&pf, left, 0);
    if (r < 1 || (left -= r) < 2) return false;
    if (basis.isEqual("1.2.840.10045.1.2.3.2")) {
        if (!readSmall(&pf, &left, &out->k1) || left != 0) return false;
        return out->k1 > 0 && out->k1 < out->m;
    }
    if (!basis.isEqual("1.2.840.10045.1.2.3.3")) return false;
    ASNany penta(0x30);
    if (penta.read(&pf, left, 0) != left) return false;
    const uint8_t* qd = penta.getData();
    long qn = penta.getLength();
    if (qd == nullptr || qn < 9) return false;
    MemFile qf(static_cast<const void*>(qd), static_cast<size_t>(qn), false);
    long ql = qn;
    if (!readSmall(&qf, &ql, &out->k1) || !readSmall(&qf, &ql, &out->k2) || !readSmall(&qf, &ql, &out->k3) ||
        ql != 0)
        return false;
    return out->k1 > 0 && out->k1 < out->k2 && out->k2 < out->k3 && out->k3 < out->m;
}

// SpecifiedECDomain over a prime or a characteristic-two field: the field, a, b,
// base point, order and (optional) cofactor; false for malformed parameters.
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
    r = order.read(&mf, n - used, 0);
    if (r < 1) return false;
    used += r;
    ASNinteger cofactor;
    if (used < n && cofactor.read(&mf, n - used, 0) >= 1) out->h = integerOctets(cofactor);

    const uint8_t* f = fieldId.getData();
    long fn = fieldId.getLength();
    if (f == nullptr || fn < 2) return false;
    MemFile ff(static_cast<const void*>(f), static_cast<size_t>(fn), false);
    ASNobjectId type;
    long t = type.read(&ff, fn, 0);
    if (t < 1 || t >= fn) return false;
    if (type.isEqual("1.2.840.10045.1.1")) {
        ASNinteger prime;
        if (prime.read(&ff, fn - t, 0) != fn - t) return false;
        out->p = integerOctets(prime);
        if (out->p.empty()) return false;
    } else if (!type.isEqual("1.2.840.10045.1.2") || !binaryField(f + t, fn - t, out)) {
        return false;
    }

    const uint8_t* c = curve.getData();
    long cn = curve.getLength();
    if (c == nullptr || cn < 4) return false;
    MemFile cf(static_cast<const void*>(c), static_cast<size_t>(cn), false);
    ASNoctstr a, b;
    long ra = a.read(&cf, cn, 0);
    if (ra < 1 || ra >= cn) return false;
    if (b.read(&cf, cn - ra, 0) < 1) return false;

    out->n = integerOctets(order);
    out->a.assign(a.getData(), a.getData() + a.getLength());
    out->b.assign(b.getData(), b.getData() + b.getLength());
    out->g.assign(base.getData(), base.getData() + base.getLength());
    return !out->n.empty() && !out->a.empty() && !out->b.empty() && !out->g.empty();
}

// The curve of a domain CHOICE: a named curve the library carries, or specified
// parameters; false otherwise.
bool curveOf(const ECDomainParameters& domain, ECCurveData* out) {
    *out = ECCurveData();
    int t = domain.getType();
    if (t == ECDomainParameters::kNamedCurve) {
        out->named = namedDomain(domain.namedCurve);
        return out->named != nullptr;
    }
    if (t == ECDomainParameters::kSpecified && specifiedCurve(domain.specified, out)) return true;
    *out = ECCurveData();
    return false;
}

bool hasCurve(const ECCurveData& c) { return c.named != nullptr || !c.p.empty() || c.m != 0; }

// The library domain of a curve: the named object itself, or one built from
// explicit parameters into *own. Throws on parameters the library refuses.
const QvGeneralDsaKeyDomain* libraryDomain(const ECCurveData& c, std::unique_ptr<QvGeneralDsaKeyDomain>* own) {
    if (c.named != nullptr) return c.named;
    auto u8 = [](const std::vector<uint8_t>& v) { return static_cast<unsigned>(v.size()); };
    std::unique_ptr<QvGeneralDsaKeyDomain> d;
    if (c.m != 0) {
        auto e = std::make_unique<QvE2nDsaKeyDomain>();
        if (c.k2 == 0)
            e->setCurveTrinomial(c.a.data(), u8(c.a), c.b.data(), u8(c.b), c.m, c.k1);
        else
            e->setCurvePentanomial(c.a.data(), u8(c.a), c.b.data(), u8(c.b), c.m, c.k1, c.k2, c.k3);
        d = std::move(e);
    } else {
        auto e = std::make_unique<QvEpDsaKeyDomain>();
        e->setCurve(c.a.data(), u8(c.a), c.b.data(), u8(c.b), c.p.data(), u8(c.p));
        d = std::move(e);
    }
    d->setGen(c.g.data(), u8(c.g));
    d->setOrder(c.n.data(), u8(c.n));
    if (!c.h.empty()) d->setCofactor(c.h.data(), u8(c.h));
    *own = std::move(d);
    return own->get();
}

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
        case kNamedCurve: return domainFieldBits(namedDomain(namedCurve));
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
    curveOf(domain, &m_curve);
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
    // A curve whose parameters are neither carried by the library nor readable.
    if (!hasCurve(m_curve)) return -3;
    const uint8_t* pt = getBits();
    long ptLen = getByteLength();
    if (digest == nullptr || digestLen == 0 || pt == nullptr || ptLen < 1 || getUnusedBits() != 0) return -3;
    try {
        // Sizes beyond any real curve would only cost time.
        if (m_curve.named == nullptr && (m_curve.p.size() > 129 || m_curve.m > 1024 || m_curve.n.size() > 129))
            return -3;
        std::unique_ptr<QvGeneralDsaKeyDomain> own;
        const QvGeneralDsaKeyDomain* domain = libraryDomain(m_curve, &own);
        const QvN& n = domain->getOrder();
        if (n.isEven() || n <= 1u) return -3;
        const std::vector<uint8_t> r8 = integerOctets(sig.r), s8 = integerOctets(sig.s);
        if (r8.empty() || s8.empty()) return 0;
        QvGeneralDsaPublicKey key;
        key.setDomain(domain);
        key.setH(pt, static_cast<unsigned>(ptLen));
        if (!key.isReady()) return -3;
        QvGeneralDsaSig scheme;
        scheme.setPublicKey(&key);
        return scheme.verify(digest, digestLen, r8.data(), static_cast<unsigned>(r8.size()), s8.data(),
                             static_cast<unsigned>(s8.size()))
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (const QvException&) {
        return -3;
    }
}


// ---------------------------------------------------------------------------
// Shared with the private key.

bool ECDomainParameters::getCurve(ECCurveData* out) const { return out != nullptr && curveOf(*this, out); }

const QvGeneralDsaKeyDomain* ecLibraryDomain(const ECCurveData& curve, std::unique_ptr<QvGeneralDsaKeyDomain>* own) {
    return libraryDomain(curve, own);
}

unsigned ECPublicKey::getKeySizeBits() const {
    const uint8_t* b = getBits();
    long n = getByteLength();
    if (b == nullptr || n < 1) return 0;
    const unsigned long withUnused = static_cast<unsigned long>(n) + 1;
    switch (b[0]) {
        case 0x04:
        case 0x06:
        case 0x07:
        case 0x0E:
        case 0x0F: return static_cast<unsigned>(4 * withUnused - 8);
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x0A:
        case 0x0B: return static_cast<unsigned>(8 * withUnused - 16);
        default: return 0;
    }
}

int ECPublicKey::getPoint(ASNoctstr& out) const {
    const uint8_t* b = getBits();
    long n = getByteLength();
    if (b == nullptr || n < 1 || getUnusedBits() != 0) return 0;
    return out.set(b, n) == 1 ? 1 : 0;
}

void ECDomainParameters::setNamed(const ASNobjectId& oid) {
    if (&oid != &namedCurve) namedCurve = oid;
    setChosenObject(&namedCurve);
}

void ECDomainParameters::setImplicitCA() { setChosenObject(&implicitCA); }

const QvAsymKeyDomain* ECDomainParameters::getKeyDomain() const {
    return getType() == kNamedCurve ? EcNamedCurveTable::getDomain(namedCurve) : nullptr;
}

bool ECDomainParameters::equalsNamed(const ASNobjectId& oid) const {
    if (getType() == kNamedCurve && namedCurve == oid) return true;
    const QvAsymKeyDomain* other = EcNamedCurveTable::getDomain(oid);
    if (other == nullptr) return false;
    if (getType() == kNamedCurve) {
        const QvAsymKeyDomain* own = getKeyDomain();
        return own != nullptr && (own == other || EcNamedCurveTable::sameDomain(own, other));
    }
    if (getType() == kSpecified) {
        // Explicit parameters equal to the named curve's.
        std::vector<uint8_t> der;
        if (specified.encodeToVector(der) < 1) return false;
        const long n = static_cast<long>(der.size());
        for (const EcNamedCurve* e = EcNamedCurveTable::findNextMatchingDer(der.data(), n, 0); e != nullptr;
             e = EcNamedCurveTable::findNextMatchingDer(der.data(), n, e->id)) {
            const QvAsymKeyDomain* d = EcNamedCurveTable::getDomain(e);
            if (d == other || EcNamedCurveTable::sameDomain(d, other)) return true;
        }
    }
    return false;
}
