// PKCS #3 DHParameter and its conversions.
#include "keys/pkcs3dh.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "support/vtest.h"

namespace {

// Work buffer of the domain's octet forms.
constexpr unsigned kDomainOctets = 4096;
// Widest public value computePublicValue stores.
constexpr unsigned kMaxPublicOctets = 2048;
// A private-value length beyond any real group is refused rather than allocated.
constexpr uint64_t kMaxPrivateBits = 8 * kDomainOctets * 8;

// Value octets without leading zero octets (a zero keeps one octet).
void significant(const ASNinteger& v, const uint8_t*& p, long& n) {
    p = v.getData();
    n = v.getValueLength();
    while (n > 1 && p[0] == 0) {
        ++p;
        --n;
    }
    if (p == nullptr) n = 0;
}

bool sameValue(const ASNinteger& a, const ASNinteger& b) {
    const uint8_t* pa;
    const uint8_t* pb;
    long na, nb;
    significant(a, pa, na);
    significant(b, pb, nb);
    return na == nb && (na == 0 || std::memcmp(pa, pb, static_cast<size_t>(na)) == 0);
}

// q = 2^L as big-endian octets: 1 << (L mod 8) followed by L / 8 zero octets.
std::vector<uint8_t> powerOfTwo(uint64_t bits) {
    std::vector<uint8_t> q(static_cast<size_t>(bits / 8 + 1), 0);
    q[0] = static_cast<uint8_t>(1u << (bits % 8));
    return q;
}

// The q both conversions derive; empty when the stored length is unusable. Without
// a private-value length, q is p itself: key generation then draws private values
// from [2, p - 2].
std::vector<uint8_t> derivedQ(const Pkcs3DHParameter& dh) {
    if (!dh.wasPrivateValueLength) {
        const uint8_t* p;
        long n;
        significant(dh.prime, p, n);
        if (n < 1 || (p[0] == 0 && n == 1)) return {};
        return std::vector<uint8_t>(p, p + n);
    }
    uint64_t bits = dh.getPrivateValueLength();
    if (bits == 0 || bits > kMaxPrivateBits) return {};
    return powerOfTwo(bits);
}

void reportLibraryFault(const char* text, unsigned line) {
    try {
        AssertInvariant(0, "keys/pkcs3dh.cpp", line, "library exception", text);
    } catch (...) {
        // The report is what counts here; the conversion answers 0 instead.
    }
}

}  // namespace

Pkcs3DHParameter::Pkcs3DHParameter(uint32_t t)
    : ASNsequenceF(t), prime(0), base(0), privateValueLength(0), wasPrivateValueLength(0) {}
Pkcs3DHParameter::Pkcs3DHParameter(const Pkcs3DHParameter& o)
    : ASNsequenceF(o),
      prime(o.prime),
      base(o.base),
      privateValueLength(o.privateValueLength),
      wasPrivateValueLength(o.wasPrivateValueLength) {}
Pkcs3DHParameter& Pkcs3DHParameter::operator=(const Pkcs3DHParameter& o) {
    if (this != &o) {
        prime = o.prime;
        base = o.base;
        privateValueLength = o.privateValueLength;
        wasPrivateValueLength = o.wasPrivateValueLength;
    }
    return *this;
}
Pkcs3DHParameter::~Pkcs3DHParameter() = default;

void Pkcs3DHParameter::clear() {
    prime.clear();
    base.clear();
    privateValueLength.clear();
    wasPrivateValueLength = 0;
}
int Pkcs3DHParameter::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&prime, &base};
    ASNinteger* const o[] = {&privateValueLength};
    uint8_t* const op[] = {&wasPrivateValueLength};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 2, o, op, 1);
}
int Pkcs3DHParameter::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    return keyWriteIntegers(dst, v, wasPrivateValueLength ? 3 : 2);
}
long Pkcs3DHParameter::lenOfBody() const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    return keyLenIntegers(v, wasPrivateValueLength ? 3 : 2);
}
void Pkcs3DHParameter::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&prime, &base, &privateValueLength};
    keyDigestIntegers(hash, v, wasPrivateValueLength ? 3 : 2);
}

unsigned Pkcs3DHParameter::getPrimeBits() const { return keyIntegerBits(prime); }

unsigned Pkcs3DHParameter::getKeyBitsFromPrime() const {
    const uint8_t* p;
    long n;
    significant(prime, p, n);
    return 8u * static_cast<unsigned>(n < 1 ? 1 : n);
}

uint64_t Pkcs3DHParameter::getPrivateValueLength() const {
    if (privateValueLength.getValueLength() < 1) return 0;
    try {
        return static_cast<uint64_t>(privateValueLength.getLong());
    } catch (const std::overflow_error&) {
        return 0;
    }
}

uint64_t Pkcs3DHParameter::getPrivateValueOctets() const { return (getPrivateValueLength() + 7) / 8; }

int Pkcs3DHParameter::fromKeyDomain(const QvGFpKeyDomain& domain) {
    try {
        std::vector<uint8_t> buf(kDomainOctets);
        unsigned n = domain.getP(buf.data(), kDomainOctets);
        if (n == 0 || !prime.setUnsigned(buf.data(), n)) return 0;
        n = domain.getG(buf.data(), kDomainOctets);
        if (n == 0 || !base.setUnsigned(buf.data(), n)) return 0;
        QvN q(domain.getQ());
        unsigned bits = q.getBitLength();
        if (bits > 0) {
            QvN qm1(q);
            qm1 -= static_cast<QvWord>(1);
            bits = qm1.getBitLength();
        }
        privateValueLength.setValue(bits);
        wasPrivateValueLength = 1;
        std::memset(buf.data(), 0, buf.size());
        return 1;
    } catch (const QvException& e) {
        reportLibraryFault(e.what(), __LINE__);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

int Pkcs3DHParameter::toKeyDomain(QvGFpKeyDomain& domain) const {
    const uint8_t* p;
    const uint8_t* g;
    long np, ng;
    significant(prime, p, np);
    significant(base, g, ng);
    std::vector<uint8_t> q = derivedQ(*this);
    if (np < 1 || ng < 1 || q.empty()) return 0;
    try {
        domain.setP(p, static_cast<unsigned>(np));
        domain.setG(g, static_cast<unsigned>(ng));
        domain.setQ(q.data(), static_cast<unsigned>(q.size()));
        return 1;
    } catch (const QvException& e) {
        reportLibraryFault(e.what(), __LINE__);
    } catch (const std::bad_alloc&) {
    }
    return 0;
}

int Pkcs3DHParameter::toDsaParameters(DSAParameters& out) const {
    std::vector<uint8_t> q = derivedQ(*this);
    if (q.empty()) return 0;
    out.p = prime;
    out.g = base;
    // setUnsigned puts the 00 octet in front when the top bit is set (L mod 8 == 7).
    return out.q.setUnsigned(q.data(), static_cast<long>(q.size())) ? 1 : 0;
}

int Pkcs3DHParameter::fromDsaParameters(const DSAParameters& in) {
    const uint8_t* q;
    long nq;
    significant(in.q, q, nq);
    prime = in.p;
    base = in.g;
    privateValueLength.setValue(static_cast<uint32_t>(8 * (nq < 1 ? 1 : nq) + 1));
    wasPrivateValueLength = 1;
    return 1;
}

int Pkcs3DHParameter::isSameDomain(const DSAParameters& params) const {
    return sameValue(prime, params.p) && sameValue(base, params.g) ? 1 : 0;
}

int Pkcs3DHParameter::computePublicValue(const ASNinteger& x, ASNinteger& y) const {
    try {
        const uint8_t* p;
        const uint8_t* g;
        const uint8_t* e;
        long np, ng, ne;
        significant(prime, p, np);
        significant(base, g, ng);
        significant(x, e, ne);
        if (np < 1 || ng < 1 || ne < 1) return 0;
        if (np > static_cast<long>(kMaxPublicOctets) + 1) return 0;
        QvModulus m(p, static_cast<unsigned>(np), 0, 0);
        QvZn r(g, static_cast<unsigned>(ng), 0, &m);
        r ^= QvN(e, static_cast<unsigned>(ne), 0);
        std::vector<uint8_t> out(kMaxPublicOctets + 1);
        unsigned n = r.asQvN().asOctetString(out.data(), static_cast<unsigned>(out.size()));
        int ok = n >= 1 && n <= kMaxPublicOctets && y.setUnsigned(out.data(), n);
        std::memset(out.data(), 0, out.size());
        return ok ? 1 : 0;
    } catch (...) {
        // Any library fault means no public value; its text is not needed.
        return 0;
    }
}
