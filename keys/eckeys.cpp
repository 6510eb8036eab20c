// Elliptic-curve key structures.
#include "keys/eckeys.h"

#include <cstring>

#include "keys/dsakeys.h"
#include "keys/intseq.h"
#include "lib/libasn/siganddigoid.h"
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
    : ASNbitstr(o), m_domainType(o.m_domainType), m_fieldBits(o.m_fieldBits) {}
ECPublicKey& ECPublicKey::operator=(const ECPublicKey& o) {
    if (this == &o) return *this;
    ASNbitstr::operator=(o);
    m_domainType = o.m_domainType;
    m_fieldBits = o.m_fieldBits;
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
    return 1;
}

bool ECPublicKey::isInDomain(const ECDomainParameters& domain) const {
    unsigned f = domain.getFieldSizeBits();
    unsigned s = getSizeBits();
    return f != 0 && s != 0 && (f + 7) / 8 == s / 8;
}

int ECPublicKey::verify(const uint8_t*, unsigned, const ASNobjectId& signatureOid, const DSASignature&) const {
    if (!isEcdsaSignatureOid(signatureOid)) return -2;
    if (m_domainType == ECDomainParameters::kNone) return -4;
    return -3;
}
