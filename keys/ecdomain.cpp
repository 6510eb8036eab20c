// Elliptic-curve domain parameters and the key domains built from them.
#include "keys/ecdomain.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "keys/ecnamedcurves.h"
#include "keys/intseq.h"
#include "keys/oidconst2.h"
#include "libtorvapp/qvcommon/qvexception.h"

namespace {

// Fields larger than any standard curve's (571 bits) are refused before the library
// sees them: their arithmetic would only cost time and memory.
constexpr unsigned kMaxFieldBits = 1024;
constexpr unsigned kScratchOctets = 2048;

const uint8_t kZero = 0;

unsigned bitLength(const uint8_t* d, unsigned n) {
    while (n > 0 && d[0] == 0) {
        ++d;
        --n;
    }
    if (n == 0) return 0;
    unsigned bits = (n - 1) * 8;
    for (uint8_t top = d[0]; top != 0; top >>= 1) bits++;
    return bits;
}

// An INTEGER's value as a 64-bit number (the codec's overflow above 8 octets and a
// negative value give false).
bool smallValue(const ASNinteger& v, uint64_t& out) {
    const uint8_t* d;
    unsigned n;
    if (!keyIntegerMagnitude(v, d, n)) return false;
    try {
        out = static_cast<uint64_t>(v.getLong());
    } catch (const std::overflow_error&) {
        return false;
    }
    return true;
}

// Octets of an OCTET STRING, a single zero octet standing in for an empty one.
void octetsOf(const ASNoctstr& s, const uint8_t*& d, unsigned& n) {
    d = s.getData();
    long len = s.getValueLength();
    if (d == nullptr || len < 1) {
        d = &kZero;
        n = 1;
        return;
    }
    n = static_cast<unsigned>(len);
}

unsigned significantOctets(const uint8_t* d, unsigned n) {
    while (n > 1 && d[0] == 0) {
        ++d;
        --n;
    }
    return n;
}

// The curve's values fit a field of fieldBits: coefficients, order and cofactor no
// longer than the field (plus a sign octet), the base point no longer than an
// uncompressed point.
bool valuesFitField(const ECCurve& curve, const ASNoctstr& base, const ASNinteger& order,
                    const ASNinteger& cofactor, bool cofactorPresent, unsigned fieldBits) {
    const unsigned f = (fieldBits + 7) / 8;
    const uint8_t* d;
    unsigned n;
    octetsOf(curve.a, d, n);
    if (significantOctets(d, n) > f) return false;
    octetsOf(curve.b, d, n);
    if (significantOctets(d, n) > f) return false;
    if (base.getValueLength() > static_cast<long>(2 * f + 1)) return false;
    if (!keyIntegerMagnitude(order, d, n) || n > f + 1) return false;
    if (cofactorPresent && (!keyIntegerMagnitude(cofactor, d, n) || n > f + 1)) return false;
    return true;
}

// Reads the next member; false (with *result set) when it fails or overruns.
bool readMember(ASNobject& o, GenericFile* src, long len, long& used, int& result) {
    if (len - used < 2) {
        result = 0;
        return false;
    }
    long r = o.read(src, len - used, 0);
    if (r < 1) {
        result = static_cast<int>(r);
        return false;
    }
    used += r;
    return true;
}

// The members a record encodes, in order; null for an optional member that is absent.
template <size_t N>
using Encoded = std::array<const ASNobject*, N>;

Encoded<3> encodedMembers(const ECCurve& c) { return {&c.a, &c.b, c.seedPresent ? &c.seed : nullptr}; }
Encoded<3> encodedMembers(const ECE2NFileld& f) { return {&f.m, &f.basis, &f.parameters}; }
Encoded<7> encodedMembers(const ECSpecifiedDomain& d) {
    return {&d.version, &d.fieldID, &d.curve, &d.base, &d.order, d.cofactorPresent ? &d.cofactor : nullptr,
            d.hashPresent ? &d.hash : nullptr};
}

template <size_t N>
int writeEncoded(GenericFile* dst, const Encoded<N>& m) {
    for (const ASNobject* o : m) {
        if (o == nullptr) continue;
        long r = o->write(dst);
        if (r < 1) return static_cast<int>(r);
    }
    return 1;
}

template <size_t N>
long lenOfEncoded(const Encoded<N>& m) {
    long n = 0;
    for (const ASNobject* o : m)
        if (o != nullptr) n += o->lenOfObject();
    return n;
}

template <size_t N>
void digestEncoded(QvHash* hash, const Encoded<N>& m) {
    for (const ASNobject* o : m)
        if (o != nullptr) o->digestObject(hash);
}

// An optional member copied with its presence: absent, it is left empty.
template <class T>
void copyOptional(T& dst, const T& src, bool present) {
    if (present)
        dst = src;
    else
        dst.clear();
}

// Gives a library key domain the curve's coefficients (through setCurve), base
// point, order and cofactor (none when absent): true when the domain is complete.
// The library's memory failure becomes std::bad_alloc; its other failures false.
template <class Domain, class SetCurve>
bool completeDomain(Domain& domain, const ECCurve& curve, const ASNoctstr& base, const ASNinteger& order,
                    const ASNinteger& cofactor, bool cofactorPresent, SetCurve setCurve) {
    try {
        const uint8_t *ad, *bd, *gd, *nd, *hd;
        unsigned an, bn, gn, nn, hn;
        octetsOf(curve.a, ad, an);
        octetsOf(curve.b, bd, bn);
        octetsOf(base, gd, gn);
        keyIntegerMagnitude(order, nd, nn);
        setCurve(ad, an, bd, bn);
        domain.setG(gd, gn);
        domain.setN(nd, nn);
        if (cofactorPresent && keyIntegerMagnitude(cofactor, hd, hn))
            domain.setCofactor(hd, hn);
        else
            domain.setCofactor(QvN());
        return domain.isComplete();
    } catch (const QvMemException&) {
        throw std::bad_alloc();
    } catch (const QvException&) {
        return false;
    }
}

// The uncompressed or hybrid encoding's type bit, and the compressed family.
bool hasFullPointBit(uint8_t t) { return (t & 0x04) != 0; }
bool isCompressedForm(uint8_t t) { return t == 0x01 || t == 0x02 || t == 0x03 || t == 0x0A || t == 0x0B; }

template <typename Getter>
std::vector<uint8_t> trimmedOctets(Getter get, unsigned room = 4096) {
    std::vector<uint8_t> buf(room);
    unsigned n = get(buf.data(), room);
    unsigned i = 0;
    while (i < n && buf[i] == 0) i++;
    return std::vector<uint8_t>(buf.begin() + i, buf.begin() + n);
}

template <typename Getter>
std::vector<uint8_t> rawOctets(Getter get, unsigned room = 4096) {
    std::vector<uint8_t> buf(room);
    unsigned n = get(buf.data(), room);
    buf.resize(n);
    return buf;
}

bool primeDomainsEqual(const QvEpDsaKeyDomain& x, const QvEpDsaKeyDomain& y) {
    if (!x.isComplete() || !y.isComplete()) return false;
    if (trimmedOctets([&](QvOctet* o, unsigned l) { return x.getA(o, l); }) !=
            trimmedOctets([&](QvOctet* o, unsigned l) { return y.getA(o, l); }) ||
        trimmedOctets([&](QvOctet* o, unsigned l) { return x.getB(o, l); }) !=
            trimmedOctets([&](QvOctet* o, unsigned l) { return y.getB(o, l); }) ||
        trimmedOctets([&](QvOctet* o, unsigned l) { return x.getP(o, l); }) !=
            trimmedOctets([&](QvOctet* o, unsigned l) { return y.getP(o, l); }))
        return false;
    if (rawOctets([&](QvOctet* o, unsigned l) { return x.getGen(o, l); }) !=
        rawOctets([&](QvOctet* o, unsigned l) { return y.getGen(o, l); }))
        return false;
    if (!(static_cast<const QvN&>(x.getOrder()) == static_cast<const QvN&>(y.getOrder()))) return false;
    const QvN& hx = x.getCofactor();
    const QvN& hy = y.getCofactor();
    return hx.isZero() || hy.isZero() || hx == hy;
}

bool binaryDomainsEqual(const QvE2nDsaKeyDomain& x, const QvE2nDsaKeyDomain& y) {
    if (!x.isComplete() || !y.isComplete()) return false;
    if (x.getGroup() == nullptr || y.getGroup() == nullptr || x.getGen() == nullptr || y.getGen() == nullptr)
        return false;
    unsigned mx = 0, my = 0;
    if (rawOctets([&](QvOctet* o, unsigned l) { return x.getFieldPolynomial(&mx, o, l); }) !=
            rawOctets([&](QvOctet* o, unsigned l) { return y.getFieldPolynomial(&my, o, l); }) ||
        mx != my)
        return false;
    if (trimmedOctets([&](QvOctet* o, unsigned l) { return x.getA(o, l); }) !=
            trimmedOctets([&](QvOctet* o, unsigned l) { return y.getA(o, l); }) ||
        trimmedOctets([&](QvOctet* o, unsigned l) { return x.getB(o, l); }) !=
            trimmedOctets([&](QvOctet* o, unsigned l) { return y.getB(o, l); }))
        return false;
    // Both generators are points of the same field: equal encodings, equal points.
    if (rawOctets([&](QvOctet* o, unsigned l) { return x.getGen(o, l); }) !=
        rawOctets([&](QvOctet* o, unsigned l) { return y.getGen(o, l); }))
        return false;
    return static_cast<const QvN&>(x.getOrder()) == static_cast<const QvN&>(y.getOrder()) &&
           x.getCofactor() == y.getCofactor();
}

}  // namespace

// ---------------------------------------------------------------------------
// Curve, pentanomial and the characteristic-two field

ECCurve::ECCurve(uint32_t t) : ASNsequenceF(t), a(0), b(0), seed(0), seedPresent(false) {}
ECCurve::ECCurve(const ECCurve& o) : ASNsequenceF(o), a(o.a), b(o.b), seed(0), seedPresent(o.seedPresent) {
    if (seedPresent) seed = o.seed;
}
ECCurve& ECCurve::operator=(const ECCurve& o) {
    if (this == &o) return *this;
    a = o.a;
    b = o.b;
    seedPresent = o.seedPresent;
    copyOptional(seed, o.seed, seedPresent);
    return *this;
}
ECCurve::~ECCurve() = default;

void ECCurve::clear() {
    a.clear();
    b.clear();
    seed.clear();
    seedPresent = false;
}

int ECCurve::read_contents(GenericFile* src, long len) {
    clear();
    long used = 0;
    int result = 0;
    if (!readMember(a, src, len, used, result) || !readMember(b, src, len, used, result)) return result;
    if (used < len) {
        if (!readMember(seed, src, len, used, result)) return result;
        seedPresent = true;
    }
    return used == len ? 1 : 0;
}

int ECCurve::write_contents(GenericFile* dst) const { return writeEncoded(dst, encodedMembers(*this)); }

long ECCurve::lenOfBody() const { return lenOfEncoded(encodedMembers(*this)); }

void ECCurve::digest_contents(QvHash* hash) const { digestEncoded(hash, encodedMembers(*this)); }

bool ECCurve::operator==(const ECCurve& o) const {
    return a == o.a && b == o.b && seedPresent == o.seedPresent && (!seedPresent || seed == o.seed);
}

ECBasisPentanomial::ECBasisPentanomial(uint32_t t) : ASNsequenceF(t), k1(0), k2(0), k3(0) {}
ECBasisPentanomial::ECBasisPentanomial(const ECBasisPentanomial& o)
    : ASNsequenceF(o), k1(o.k1), k2(o.k2), k3(o.k3) {}
ECBasisPentanomial& ECBasisPentanomial::operator=(const ECBasisPentanomial& o) {
    if (this != &o) {
        k1 = o.k1;
        k2 = o.k2;
        k3 = o.k3;
    }
    return *this;
}
ECBasisPentanomial::~ECBasisPentanomial() = default;

void ECBasisPentanomial::clear() {
    k1.clear();
    k2.clear();
    k3.clear();
}
int ECBasisPentanomial::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&k1, &k2, &k3};
    return keyReadIntegers(src, len, 0, v, 3);
}
int ECBasisPentanomial::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&k1, &k2, &k3};
    return keyWriteIntegers(dst, v, 3);
}
long ECBasisPentanomial::lenOfBody() const {
    const ASNinteger* const v[] = {&k1, &k2, &k3};
    return keyLenIntegers(v, 3);
}
void ECBasisPentanomial::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&k1, &k2, &k3};
    keyDigestIntegers(hash, v, 3);
}

ECE2NFileldParameters::ECE2NFileldParameters(uint32_t t)
    : ASNchoice(0), gaussian(0), trinomial(0), pentanomial(0x30), m_list{&gaussian, &trinomial, &pentanomial,
                                                                          nullptr} {
    const uint8_t want = static_cast<uint8_t>(t & ~ASN_CONSTRUCTED);
    if (want == (0x30 & ~ASN_CONSTRUCTED))
        setChosenObject(&pentanomial);
    else if (want == 0x02)
        setChosenObject(&trinomial);
    else
        setChosenObject(&gaussian);
}
ECE2NFileldParameters::ECE2NFileldParameters(const ECE2NFileldParameters& o)
    : ASNchoice(o), gaussian(0), trinomial(o.trinomial), pentanomial(o.pentanomial),
      m_list{&gaussian, &trinomial, &pentanomial, nullptr} {}
ECE2NFileldParameters& ECE2NFileldParameters::operator=(const ECE2NFileldParameters& o) {
    if (this == &o) return *this;
    trinomial = o.trinomial;
    pentanomial = o.pentanomial;
    int i = o.getChosenIndex();
    if (i >= 0) chooseByIndex(static_cast<uint32_t>(i));
    return *this;
}
ECE2NFileldParameters::~ECE2NFileldParameters() = default;
ASNobject** ECE2NFileldParameters::getObjectList() { return m_list; }

ECE2NFileld::ECE2NFileld(uint32_t t) : ASNsequenceF(t), m(0), basis(0u), parameters(0x05) {}
ECE2NFileld::ECE2NFileld(const ECE2NFileld& o)
    : ASNsequenceF(o), m(o.m), basis(o.basis), parameters(o.parameters) {}
ECE2NFileld& ECE2NFileld::operator=(const ECE2NFileld& o) {
    if (this != &o) {
        m = o.m;
        basis = o.basis;
        parameters = o.parameters;
    }
    return *this;
}
ECE2NFileld::~ECE2NFileld() = default;

void ECE2NFileld::clear() {
    m.clear();
    basis.clear();
    parameters.trinomial.clear();
    parameters.pentanomial.clear();
    parameters.setChosenObject(&parameters.gaussian);
}

int ECE2NFileld::read_contents(GenericFile* src, long len) {
    clear();
    long used = 0;
    int result = 0;
    if (!readMember(m, src, len, used, result) || !readMember(basis, src, len, used, result) ||
        !readMember(parameters, src, len, used, result))
        return result;
    return used == len ? 1 : 0;
}

int ECE2NFileld::write_contents(GenericFile* dst) const { return writeEncoded(dst, encodedMembers(*this)); }

long ECE2NFileld::lenOfBody() const { return lenOfEncoded(encodedMembers(*this)); }

void ECE2NFileld::digest_contents(QvHash* hash) const { digestEncoded(hash, encodedMembers(*this)); }

bool ECE2NFileld::operator==(const ECE2NFileld& o) const {
    return m == o.m && basis == o.basis && parameters == o.parameters;
}

// ---------------------------------------------------------------------------
// The specified domain

ECSpecifiedDomain::ECSpecifiedDomain(uint32_t t)
    : ASNsequenceF(t), version(0), fieldID(0x30), curve(0x30), base(0), order(0), cofactor(0),
      cofactorPresent(false), hash(0), hashPresent(false), m_active(nullptr) {}

ECSpecifiedDomain::ECSpecifiedDomain(const ECSpecifiedDomain& o) : ECSpecifiedDomain(0x30) {
    tag = o.tag;
    *this = o;
}

ECSpecifiedDomain& ECSpecifiedDomain::operator=(const ECSpecifiedDomain& o) {
    if (this == &o) return *this;
    m_active = nullptr;
    version = o.version;
    fieldID = o.fieldID;
    curve = o.curve;
    base = o.base;
    order = o.order;
    cofactorPresent = o.cofactorPresent;
    copyOptional(cofactor, o.cofactor, cofactorPresent);
    hashPresent = o.hashPresent;
    copyOptional(hash, o.hash, hashPresent);
    if (fieldID.type == oid2::prime_field() || fieldID.type == oid2::characteristic_two_field()) {
        if (buildKeyDomain() != kBuilt) throw std::bad_alloc();
    }
    return *this;
}

ECSpecifiedDomain::~ECSpecifiedDomain() = default;

void ECSpecifiedDomain::clear() {
    m_active = nullptr;
    version.clear();
    fieldID.clear();
    curve.clear();
    base.clear();
    order.clear();
    cofactor.clear();
    cofactorPresent = false;
    hash.clear();
    hashPresent = false;
}

int ECSpecifiedDomain::read_contents(GenericFile* src, long len) {
    clear();
    long used = 0;
    int result = 0;
    ASNobject* const required[] = {&version, &fieldID, &curve, &base, &order};
    for (ASNobject* o : required)
        if (!readMember(*o, src, len, used, result)) return result;
    while (used < len) {
        ASNany e(TAG_ANY);
        if (!readMember(e, src, len, used, result)) return result;
        int a;
        if (e.tag == 0x02 && !cofactorPresent && !hashPresent) {
            a = cofactor.assign(e);
            cofactorPresent = a == 1;
        } else if (e.tag == 0x30 && !hashPresent) {
            a = hash.assign(e);
            hashPresent = a == 1;
        } else {
            return 0;
        }
        if (a != 1) return a;
    }
    if (!(fieldID.type == oid2::prime_field()) && !(fieldID.type == oid2::characteristic_two_field())) return 0;
    switch (buildKeyDomain()) {
        case kBuilt: return used == len ? 1 : 0;
        case kNoMemory: return EASN_MEM;
        default: return 0;
    }
}

int ECSpecifiedDomain::write_contents(GenericFile* dst) const { return writeEncoded(dst, encodedMembers(*this)); }

long ECSpecifiedDomain::lenOfBody() const { return lenOfEncoded(encodedMembers(*this)); }

void ECSpecifiedDomain::digest_contents(QvHash* h) const { digestEncoded(h, encodedMembers(*this)); }

int ECSpecifiedDomain::buildKeyDomain() {
    m_active = nullptr;
    try {
        if (fieldID.type == oid2::prime_field()) return buildPrime();
        if (fieldID.type == oid2::characteristic_two_field()) return buildBinary();
        return kInvalid;
    } catch (const std::bad_alloc&) {
        m_active = nullptr;
        return kNoMemory;
    }
}

int ECSpecifiedDomain::buildPrime() {
    ASNinteger p(0);
    int r = p.assign(fieldID.value);
    if (r == EASN_FILE || r == EASN_MEM) throw std::bad_alloc();
    if (r != 1) return kInvalid;
    const uint8_t* pd;
    unsigned pn;
    if (!keyIntegerMagnitude(p, pd, pn)) return kInvalid;
    const unsigned bits = bitLength(pd, pn);
    if (bits < 3 || bits > kMaxFieldBits || (pd[pn - 1] & 1) == 0) return kInvalid;
    if (!valuesFitField(curve, base, order, cofactor, cofactorPresent, bits)) return kInvalid;
    const bool complete = completeDomain(m_prime, curve, base, order, cofactor, cofactorPresent,
                                         [&](const uint8_t* ad, unsigned an, const uint8_t* bd, unsigned bn) {
                                             m_prime.setCurve(ad, an, bd, bn, pd, pn);
                                         });
    if (!complete) return kInvalid;
    m_active = &m_prime;
    return kBuilt;
}

int ECSpecifiedDomain::buildBinary() {
    ECE2NFileld field(0x30);
    int r = field.assign(fieldID.value);
    if (r == EASN_FILE || r == EASN_MEM) throw std::bad_alloc();
    if (r != 1) return kInvalid;
    uint64_t m = 0, k[3] = {0, 0, 0};
    if (!smallValue(field.m, m) || m < 2 || m > kMaxFieldBits) return kInvalid;
    int terms = 0;
    if (field.basis == oid2::tpBasis() && field.parameters.getChosenObject() == &field.parameters.trinomial) {
        if (!smallValue(field.parameters.trinomial, k[0])) return kInvalid;
        terms = 1;
    } else if (field.basis == oid2::ppBasis() &&
               field.parameters.getChosenObject() == &field.parameters.pentanomial) {
        const ECBasisPentanomial& pp = field.parameters.pentanomial;
        if (!smallValue(pp.k1, k[0]) || !smallValue(pp.k2, k[1]) || !smallValue(pp.k3, k[2])) return kInvalid;
        terms = 3;
    } else {
        // The Gaussian normal basis has no arithmetic here; other combinations are
        // no field at all.
        return kInvalid;
    }
    // The exponents of the reduction polynomial lie strictly between 0 and m, rising.
    for (int i = 0; i < terms; i++)
        if (k[i] == 0 || k[i] >= m || (i > 0 && k[i] <= k[i - 1])) return kInvalid;
    if (!valuesFitField(curve, base, order, cofactor, cofactorPresent, static_cast<unsigned>(m))) return kInvalid;
    const unsigned mm = static_cast<unsigned>(m);
    const bool complete = completeDomain(
        m_binary, curve, base, order, cofactor, cofactorPresent,
        [&](const uint8_t* ad, unsigned an, const uint8_t* bd, unsigned bn) {
            if (terms == 1)
                m_binary.setCurveTrinomial(ad, an, bd, bn, mm, static_cast<unsigned>(k[0]));
            else
                m_binary.setCurvePentanomial(ad, an, bd, bn, mm, static_cast<unsigned>(k[0]),
                                             static_cast<unsigned>(k[1]), static_cast<unsigned>(k[2]));
        });
    if (!complete) return kInvalid;
    m_active = &m_binary;
    return kBuilt;
}

unsigned ECSpecifiedDomain::getFieldSizeBits() const {
    if (fieldID.type == oid2::characteristic_two_field()) {
        ECE2NFileld field(0x30);
        uint64_t m = 0;
        if (field.assign(fieldID.value) == 1 && smallValue(field.m, m) && m <= 0xFFFFFFFFu)
            return static_cast<unsigned>(m);
    } else if (fieldID.type == oid2::prime_field()) {
        ASNinteger p(0);
        if (p.assign(fieldID.value) == 1) {
            unsigned bits = keyIntegerBits(p);
            if (bits != 0) return bits;
        }
    }
    unsigned bits = keyIntegerBits(order);
    if (bits != 0) return bits;
    const uint8_t* g = base.getData();
    const long l = base.getValueLength();
    if (g == nullptr || l < 1) return 0;
    if (hasFullPointBit(g[0])) return static_cast<unsigned>(4 * l - 4);
    if (isCompressedForm(g[0])) return static_cast<unsigned>(8 * l - 8);
    return 0;
}

int ECSpecifiedDomain::setCommon(const uint8_t* a, unsigned aLen, const uint8_t* b, unsigned bLen,
                                 const uint8_t* seedOctets, unsigned seedLen, const uint8_t* baseOctets,
                                 unsigned baseLen, const uint8_t* orderOctets, unsigned orderLen,
                                 const uint8_t* cofactorOctets, unsigned cofactorLen, const char* hashOid) {
    if (curve.a.set(a, aLen) != 1 || curve.b.set(b, bLen) != 1) return 0;
    if (seedOctets != nullptr) {
        if (curve.seed.set(seedOctets, seedLen, 0) != 1) return 0;
        curve.seedPresent = true;
    } else {
        curve.seed.clear();
        curve.seedPresent = false;
    }
    if (base.set(baseOctets, baseLen) != 1 || order.setUnsigned(orderOctets, orderLen) != 1) return 0;
    if (cofactorOctets != nullptr) {
        if (cofactor.setUnsigned(cofactorOctets, cofactorLen) != 1) return 0;
        cofactorPresent = true;
    } else {
        cofactor.clear();
        cofactorPresent = false;
    }
    if (hashOid != nullptr) {
        hash.clear();
        if (hash.algorithm.setText(hashOid) != 1) return 0;
        hashPresent = true;
    } else {
        hash.clear();
        hashPresent = false;
    }
    return buildKeyDomain() == kBuilt ? 1 : 0;
}

int ECSpecifiedDomain::setPrime(const uint8_t* p, unsigned pLen, const uint8_t* a, unsigned aLen, const uint8_t* b,
                                unsigned bLen, const uint8_t* seedOctets, unsigned seedLen,
                                const uint8_t* baseOctets, unsigned baseLen, const uint8_t* orderOctets,
                                unsigned orderLen, const uint8_t* cofactorOctets, unsigned cofactorLen,
                                const char* hashOid) {
    m_active = nullptr;
    try {
        version.setValue(1);
        fieldID.type = oid2::prime_field();
        ASNinteger prime(0);
        if (prime.setUnsigned(p, pLen) != 1) return 0;
        fieldID.value = prime;
    } catch (const std::exception&) {
        return 0;
    }
    return setCommon(a, aLen, b, bLen, seedOctets, seedLen, baseOctets, baseLen, orderOctets, orderLen,
                     cofactorOctets, cofactorLen, hashOid);
}

int ECSpecifiedDomain::setBinaryField(const ECE2NFileld& field) {
    m_active = nullptr;
    try {
        version.setValue(1);
        fieldID.type = oid2::characteristic_two_field();
        fieldID.value = field;
    } catch (const std::exception&) {
        return 0;
    }
    return 1;
}

namespace {

// An INTEGER from a 32-bit number (as big-endian octets).
bool setNumber(ASNinteger& v, uint32_t n) {
    const uint8_t be[4] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n)};
    return v.setUnsigned(be, 4) == 1;
}

}  // namespace

int ECSpecifiedDomain::setTrinomial(uint32_t m, uint32_t k, const uint8_t* a, unsigned aLen, const uint8_t* b,
                                    unsigned bLen, const uint8_t* seedOctets, unsigned seedLen,
                                    const uint8_t* baseOctets, unsigned baseLen, const uint8_t* orderOctets,
                                    unsigned orderLen, const uint8_t* cofactorOctets, unsigned cofactorLen,
                                    const char* hashOid) {
    m_active = nullptr;
    try {
        ECE2NFileld field(0x30);
        if (!setNumber(field.m, m)) return 0;
        field.basis = oid2::tpBasis();
        if (!setNumber(field.parameters.trinomial, k)) return 0;
        field.parameters.setChosenObject(&field.parameters.trinomial);
        if (setBinaryField(field) != 1) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    return setCommon(a, aLen, b, bLen, seedOctets, seedLen, baseOctets, baseLen, orderOctets, orderLen,
                     cofactorOctets, cofactorLen, hashOid);
}

int ECSpecifiedDomain::setPentanomial(uint32_t m, uint32_t k1, uint32_t k2, uint32_t k3, const uint8_t* a,
                                      unsigned aLen, const uint8_t* b, unsigned bLen, const uint8_t* seedOctets,
                                      unsigned seedLen, const uint8_t* baseOctets, unsigned baseLen,
                                      const uint8_t* orderOctets, unsigned orderLen, const uint8_t* cofactorOctets,
                                      unsigned cofactorLen, const char* hashOid) {
    m_active = nullptr;
    try {
        ECE2NFileld field(0x30);
        if (!setNumber(field.m, m)) return 0;
        field.basis = oid2::ppBasis();
        ECBasisPentanomial& pp = field.parameters.pentanomial;
        if (!setNumber(pp.k1, k1) || !setNumber(pp.k2, k2) || !setNumber(pp.k3, k3)) return 0;
        field.parameters.setChosenObject(&pp);
        if (setBinaryField(field) != 1) return 0;
    } catch (const std::exception&) {
        return 0;
    }
    return setCommon(a, aLen, b, bLen, seedOctets, seedLen, baseOctets, baseLen, orderOctets, orderLen,
                     cofactorOctets, cofactorLen, hashOid);
}

namespace {

// A field element at the field's length (X9.62 field elements have exactly that
// many octets).
std::vector<uint8_t> atFieldLength(const uint8_t* d, unsigned n, unsigned fieldOctets) {
    while (n > fieldOctets && d[0] == 0) {
        ++d;
        --n;
    }
    std::vector<uint8_t> out(fieldOctets > n ? fieldOctets - n : 0, 0);
    out.insert(out.end(), d, d + n);
    return out;
}

bool nonZeroOctets(const uint8_t* d, unsigned n) {
    for (unsigned i = 0; i < n; i++)
        if (d[i] != 0) return true;
    return false;
}

}  // namespace

int ECSpecifiedDomain::fillFromPrime(const QvEpDsaKeyDomain& d) {
    std::vector<uint8_t> s(kScratchOctets);
    version.setValue(1);
    fieldID.type = oid2::prime_field();
    unsigned n = d.getP(s.data(), kScratchOctets);
    if (n == 0) return 0;
    const unsigned fieldOctets = (bitLength(s.data(), n) + 7) / 8;
    ASNinteger prime(0);
    if (prime.setUnsigned(s.data(), n) != 1) return 0;
    fieldID.value = prime;
    if ((n = d.getA(s.data(), kScratchOctets)) == 0) return 0;
    std::vector<uint8_t> a = atFieldLength(s.data(), n, fieldOctets);
    if ((n = d.getB(s.data(), kScratchOctets)) == 0) return 0;
    return fillCurve(d, a, atFieldLength(s.data(), n, fieldOctets));
}

int ECSpecifiedDomain::fillFromBinary(const QvE2nDsaKeyDomain& d) {
    std::vector<uint8_t> s(kScratchOctets);
    version.setValue(1);
    fieldID.type = oid2::characteristic_two_field();
    ECE2NFileld field(0x30);
    unsigned m = 0;
    switch (d.getBasisType()) {
        case 3: {
            unsigned k = 0;
            d.getTrinomial(&m, &k);
            if (!setNumber(field.m, m) || !setNumber(field.parameters.trinomial, k)) return 0;
            field.basis = oid2::tpBasis();
            field.parameters.setChosenObject(&field.parameters.trinomial);
            break;
        }
        case 5: {
            unsigned k[3] = {0, 0, 0};
            d.getPentanomial(&m, &k[0], &k[1], &k[2]);
            std::sort(k, k + 3);
            ECBasisPentanomial& pp = field.parameters.pentanomial;
            if (!setNumber(field.m, m) || !setNumber(pp.k1, k[0]) || !setNumber(pp.k2, k[1]) ||
                !setNumber(pp.k3, k[2]))
                return 0;
            field.basis = oid2::ppBasis();
            field.parameters.setChosenObject(&pp);
            break;
        }
        default:
            // A polynomial of another shape: written as the normal basis, which no
            // key domain here can be built from.
            field.basis = oid2::gnBasis();
            field.parameters.setChosenObject(&field.parameters.gaussian);
            break;
    }
    fieldID.value = field;
    const unsigned fieldOctets = (m + 7) / 8;
    unsigned n;
    if ((n = d.getA(s.data(), kScratchOctets)) == 0) return 0;
    std::vector<uint8_t> a = atFieldLength(s.data(), n, fieldOctets);
    if ((n = d.getB(s.data(), kScratchOctets)) == 0) return 0;
    return fillCurve(d, a, atFieldLength(s.data(), n, fieldOctets));
}

int ECSpecifiedDomain::fillCurve(const QvGeneralDsaKeyDomain& d, const std::vector<uint8_t>& a,
                                 const std::vector<uint8_t>& b) {
    if (curve.a.set(a.data(), static_cast<long>(a.size())) != 1 ||
        curve.b.set(b.data(), static_cast<long>(b.size())) != 1)
        return 0;
    curve.seed.clear();
    curve.seedPresent = false;
    std::vector<uint8_t> s(kScratchOctets);
    unsigned n;
    if ((n = d.getGen(s.data(), kScratchOctets)) == 0 || base.set(s.data(), n) != 1) return 0;
    if ((n = d.getOrder(s.data(), kScratchOctets)) == 0 || order.setUnsigned(s.data(), n) != 1) return 0;
    n = d.getCofactor(s.data(), kScratchOctets);
    if (n > 0 && nonZeroOctets(s.data(), n)) {
        if (cofactor.setUnsigned(s.data(), n) != 1) return 0;
        cofactorPresent = true;
    } else {
        cofactor.clear();
        cofactorPresent = false;
    }
    return buildKeyDomain() == kBuilt ? 1 : 0;
}

int ECSpecifiedDomain::setFromKeyDomain(const QvAsymKeyDomain* domain) {
    m_active = nullptr;
    if (domain == nullptr) return 0;
    try {
        if (domain->getType() == QvAsymKeyDomain::TYPE_EP)
            return fillFromPrime(*static_cast<const QvEpDsaKeyDomain*>(domain));
        if (domain->getType() == QvAsymKeyDomain::TYPE_E2N)
            return fillFromBinary(*static_cast<const QvE2nDsaKeyDomain*>(domain));
    } catch (const QvException&) {
    } catch (const std::exception&) {
    }
    m_active = nullptr;
    return 0;
}

namespace {

// Equal values, leading zero octets ignored (other values compared as encoded).
bool sameInteger(const ASNinteger& x, const ASNinteger& y) {
    const uint8_t *dx, *dy;
    unsigned nx, ny;
    const bool px = keyIntegerMagnitude(x, dx, nx), py = keyIntegerMagnitude(y, dy, ny);
    if (px && py) return nx == ny && std::memcmp(dx, dy, nx) == 0;
    return px == py && x == y;
}

}  // namespace

bool ECSpecifiedDomain::operator==(const ECSpecifiedDomain& o) const {
    if (!(version == o.version) || !(fieldID == o.fieldID) || !(curve == o.curve)) return false;
    if (!sameInteger(order, o.order)) return false;
    if (!ecPointEncodingsEqual(base.getData(), base.getValueLength(), o.base.getData(), o.base.getValueLength()))
        return false;
    return !(cofactorPresent && o.cofactorPresent) || sameInteger(cofactor, o.cofactor);
}

bool ECSpecifiedDomain::equalsKeyDomain(const QvAsymKeyDomain* domain) const {
    if (domain == nullptr) return false;
    if (m_active == nullptr) {
        ECSpecifiedDomain other(0x30);
        if (other.setFromKeyDomain(domain) != 1) return false;
        return *this == other;
    }
    return ecKeyDomainsEqual(m_active, domain);
}

bool ecKeyDomainsEqual(const QvAsymKeyDomain* a, const QvAsymKeyDomain* b) {
    if (a == nullptr || b == nullptr) return false;
    if (a == b) return true;
    if (a->getType() != b->getType()) return false;
    try {
        if (a->getType() == QvAsymKeyDomain::TYPE_E2N)
            return binaryDomainsEqual(*static_cast<const QvE2nDsaKeyDomain*>(a),
                                      *static_cast<const QvE2nDsaKeyDomain*>(b));
        if (a->getType() == QvAsymKeyDomain::TYPE_EP)
            return primeDomainsEqual(*static_cast<const QvEpDsaKeyDomain*>(a),
                                     *static_cast<const QvEpDsaKeyDomain*>(b));
    } catch (const QvException&) {
    }
    return false;
}

bool ecPointEncodingsEqual(const uint8_t* a, long aLen, const uint8_t* b, long bLen) {
    if (a == nullptr) aLen = 0;
    if (b == nullptr) bLen = 0;
    if (aLen <= 0 || bLen <= 0) return aLen <= 0 && bLen <= 0;
    auto sameOctets = [&]() { return aLen == bLen && std::memcmp(a, b, static_cast<size_t>(aLen)) == 0; };
    if (a[0] == 0 || b[0] == 0) {
        if (aLen == 1 && bLen == 1 && a[0] == 0 && b[0] == 0) return true;
        return sameOctets();
    }
    if (hasFullPointBit(a[0]) && hasFullPointBit(b[0])) {
        if (aLen != bLen) return false;
        if (aLen % 2 == 1) return std::memcmp(a + 1, b + 1, static_cast<size_t>(aLen - 1)) == 0;
        return std::memcmp(a, b, static_cast<size_t>(aLen)) == 0;
    }
    // One full point of odd length against another form: its x coordinate alone,
    // the type without the full-point bit (an uncompressed point counts as 02).
    uint8_t ta = a[0], tb = b[0];
    long xa = aLen - 1, xb = bLen - 1;
    auto reduce = [](uint8_t& t, long& x, long len) {
        if (!hasFullPointBit(t) || len % 2 == 0) return;
        x = (len - 1) / 2;
        t = static_cast<uint8_t>(t & ~0x04);
        if (t == 0) t = 0x02;
    };
    reduce(ta, xa, aLen);
    reduce(tb, xb, bLen);
    if (isCompressedForm(ta) && isCompressedForm(tb)) {
        if (xa != xb) return false;
        const bool sameX = std::memcmp(a + 1, b + 1, static_cast<size_t>(xa)) == 0;
        if (ta == 0x01 || tb == 0x01) return sameX;
        const bool plainA = ta == 0x02 || ta == 0x03, plainB = tb == 0x02 || tb == 0x03;
        if (plainA == plainB) return (ta & 1) == (tb & 1) && sameX;
    }
    return sameOctets();
}

// ---------------------------------------------------------------------------
// The Parameters CHOICE

namespace {

uint32_t choiceTag(uint32_t t) { return (t & ASN_CLASS_MASK) != 0 && t != TAG_ANY ? t : 0; }

}  // namespace

ECDomainParameters::ECDomainParameters(uint32_t t)
    : ASNchoice(choiceTag(t)), specified(0x30), named(0u), implicitCA(0), m_list{&specified, &named, &implicitCA,
                                                                                 nullptr} {
    const uint8_t want = static_cast<uint8_t>(t | ASN_CONSTRUCTED);
    if (want == 0x30)
        setChosenObject(&specified);
    else if (want == (0x06 | ASN_CONSTRUCTED))
        setChosenObject(&named);
    else
        setChosenObject(&implicitCA);
}

ECDomainParameters::ECDomainParameters(const ECDomainParameters& o)
    : ASNchoice(o), specified(0x30), named(o.named), implicitCA(0), m_list{&specified, &named, &implicitCA, nullptr} {
    if (o.getChosenIndex() == 0) specified = o.specified;
}

ECDomainParameters& ECDomainParameters::operator=(const ECDomainParameters& o) {
    if (this == &o) return *this;
    rebuildList();
    switch (o.getChosenIndex()) {
        case 0:
            specified = o.specified;
            setChosenObject(&specified);
            break;
        case 1:
            named = o.named;
            setChosenObject(&named);
            break;
        case 2: setChosenObject(&implicitCA); break;
        default: setChosenObject(nullptr); break;
    }
    return *this;
}

ECDomainParameters::~ECDomainParameters() = default;

ASNobject** ECDomainParameters::getObjectList() { return m_list; }

void ECDomainParameters::rebuildList() {
    m_list[0] = &specified;
    m_list[1] = &named;
    m_list[2] = &implicitCA;
    m_list[3] = nullptr;
}

int ECDomainParameters::getType() const {
    const ASNobject* c = getChosenObject();
    if (c == nullptr) return kNone;
    switch (c->getTag() & ~ASN_CONSTRUCTED) {
        case 0x10: return kSpecified;
        case 0x06: return kNamedCurve;
        case 0x05: return kImplicitCA;
        default: return kNone;
    }
}

const QvGeneralDsaKeyDomain* ECDomainParameters::getKeyDomain() const {
    switch (getType()) {
        case kSpecified: return specified.getKeyDomain();
        case kNamedCurve:
            return dynamic_cast<const QvGeneralDsaKeyDomain*>(EcNamedCurveTable::getDomain(named));
        default: return nullptr;
    }
}

unsigned ECDomainParameters::getFieldSizeBits() const {
    switch (getType()) {
        case kSpecified: return specified.getFieldSizeBits();
        case kNamedCurve: return static_cast<unsigned>(EcNamedCurveTable::bitSize(EcNamedCurveTable::findByOid(named)));
        default: return 0;
    }
}

void ECDomainParameters::setNamed(const ASNobjectId& oid) {
    rebuildList();
    if (&oid != &named) named = oid;
    setChosenObject(&named);
}

void ECDomainParameters::setImplicitCA() {
    rebuildList();
    setChosenObject(&implicitCA);
}

bool ECDomainParameters::operator==(const ECDomainParameters& o) const {
    switch (o.getType()) {
        case kSpecified: return equalsSpecified(o.specified);
        case kNamedCurve: return equalsNamed(o.named);
        default: return false;
    }
}

bool ECDomainParameters::equalsSpecified(const ECSpecifiedDomain& domain) const {
    const QvGeneralDsaKeyDomain* own = getKeyDomain();
    return own != nullptr && domain.equalsKeyDomain(own);
}

bool ECDomainParameters::equalsNamed(const ASNobjectId& oid) const {
    if (getType() == kNamedCurve && named == oid) return true;
    const QvAsymKeyDomain* own = getKeyDomain();
    const QvAsymKeyDomain* other = EcNamedCurveTable::getDomain(oid);
    if (own == nullptr || other == nullptr) return false;
    return own == other || ecKeyDomainsEqual(own, other);
}

bool ECDomainParameters::equalsKeyDomain(const QvAsymKeyDomain* domain) const {
    const QvGeneralDsaKeyDomain* own = getKeyDomain();
    return own != nullptr && ecKeyDomainsEqual(own, domain);
}
