// DSA domain parameters and signature values.
#include "keys/dsaparms.h"

#include <cstring>
#include <new>
#include <vector>

#include "keys/intseq.h"
#include "libtorvapp/qvcommon/qvexception.h"
#include "libtorvapp/qvgenerichash.h"
#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvnumbers/qvjacobisumstest.h"
#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "support/memfile.h"
#include "support/vtest.h"

DSAParameters::DSAParameters(uint32_t t) : ASNsequenceF(t), p(0), q(0), g(0) {}
DSAParameters::DSAParameters(const DSAParameters& o) : ASNsequenceF(o), p(o.p), q(o.q), g(o.g) {}
DSAParameters& DSAParameters::operator=(const DSAParameters& o) {
    if (this != &o) {
        p = o.p;
        q = o.q;
        g = o.g;
    }
    return *this;
}
DSAParameters::~DSAParameters() = default;
void DSAParameters::clear() {
    p.clear();
    q.clear();
    g.clear();
}
int DSAParameters::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&p, &q, &g};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 3);
}
int DSAParameters::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&p, &q, &g};
    return keyWriteIntegers(dst, v, 3);
}
long DSAParameters::lenOfBody() const {
    const ASNinteger* const v[] = {&p, &q, &g};
    return keyLenIntegers(v, 3);
}
void DSAParameters::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&p, &q, &g};
    keyDigestIntegers(hash, v, 3);
}
unsigned DSAParameters::getPBits() const { return keyIntegerBits(p); }

DSASignature::DSASignature(uint32_t t) : ASNsequenceF(t), r(0), s(0) {}
DSASignature::~DSASignature() = default;
void DSASignature::clear() {
    r.clear();
    s.clear();
}
int DSASignature::read_contents(GenericFile* src, long len) {
    ASNinteger* const v[] = {&r, &s};
    return keyReadIntegers(src, len, static_cast<uint8_t>(flags & ASN_FLAG_CONST), v, 2);
}
int DSASignature::write_contents(GenericFile* dst) const {
    const ASNinteger* const v[] = {&r, &s};
    return keyWriteIntegers(dst, v, 2);
}
long DSASignature::lenOfBody() const {
    const ASNinteger* const v[] = {&r, &s};
    return keyLenIntegers(v, 2);
}
void DSASignature::digest_contents(QvHash* hash) const {
    const ASNinteger* const v[] = {&r, &s};
    keyDigestIntegers(hash, v, 2);
}


DSASignature::DSASignature(const DSASignature& o) : ASNsequenceF(o), r(o.r), s(o.s) {}
DSASignature& DSASignature::operator=(const DSASignature& o) {
    if (this != &o) {
        r = o.r;
        s = o.s;
    }
    return *this;
}

long DSASignature::getRSLength() const { return lenOfBody(); }

int DSASignature::setRS(const uint8_t* rs, unsigned len) {
    if (rs == nullptr || len == 0) return 0;
    ASNinteger nr(0), ns(0);
    long a = nr.readBuffer(rs, static_cast<long>(len), 0);
    if (a < 1 || static_cast<unsigned long>(a) >= len) return 0;
    long b = ns.readBuffer(rs + a, static_cast<long>(len) - a, 0);
    if (b < 1 || static_cast<unsigned long>(a + b) != len) return 0;
    r = nr;
    s = ns;
    return 1;
}

int DSASignature::getRS(uint8_t* out, unsigned len) const {
    long need = getRSLength();
    if (need < 1) return 0;
    if (out == nullptr || static_cast<unsigned long>(need) > len) return -1;
    std::vector<uint8_t> a, b;
    if (r.encodeToVector(a) < 1 || s.encodeToVector(b) < 1) return 0;
    if (a.size() + b.size() != static_cast<size_t>(need)) return 0;
    std::memcpy(out, a.data(), a.size());
    std::memcpy(out + a.size(), b.data(), b.size());
    return 1;
}

namespace {

constexpr unsigned kDomainOctets = 4096;

void reportFault(unsigned line, const char* text) {
    AssertInvariant(0, "dsaparms", line, "0", text);
}

}  // namespace

unsigned DSAParameters::getQLength() const { return keyIntegerOctets(q); }
unsigned DSAParameters::getKeySizeBits() const { return 8u * keyIntegerOctets(p); }

int DSAParameters::setFromDomain(const QvGFpKeyDomain& domain) {
    std::vector<uint8_t> buf(kDomainOctets);
    try {
        unsigned n = domain.getP(buf.data(), kDomainOctets);
        if (n == 0 || p.setUnsigned(buf.data(), n) != 1) return 0;
        n = domain.getQ(buf.data(), kDomainOctets);
        if (n == 0 || q.setUnsigned(buf.data(), n) != 1) return 0;
        n = domain.getG(buf.data(), kDomainOctets);
        if (n == 0 || g.setUnsigned(buf.data(), n) != 1) return 0;
        return 1;
    } catch (const QvException& e) {
        reportFault(231, e.what());
    }
    return 0;
}

int DSAParameters::toDomain(QvGFpKeyDomain& domain) const {
    const uint8_t *dp, *dq, *dg;
    unsigned np, nq, ng;
    if (!keyIntegerMagnitude(p, dp, np) || !keyIntegerMagnitude(q, dq, nq) || !keyIntegerMagnitude(g, dg, ng))
        return 0;
    try {
        domain.setP(dp, np);
        domain.setQ(dq, nq);
        domain.setG(dg, ng);
        return 1;
    } catch (const QvWrongSyntaxException&) {
        return 0;
    } catch (const QvException& e) {
        reportFault(166, e.what());
    }
    return 0;
}

bool DSAParameters::computePublicValue(const ASNinteger& x, ASNinteger& y) const {
    try {
        QvN np, ng, nx;
        if (!keyIntegerValue(p, np) || !keyIntegerValue(g, ng) || !keyIntegerValue(x, nx) || np <= 1u) return false;
        if (np.getBitLength() > 8 * 2048) return false;
        QvModulus m(np, 0);
        QvZn r(ng, &m);
        r ^= nx;
        std::vector<uint8_t> out(2048);
        unsigned n = r.asQvN().asOctetString(out.data(), static_cast<unsigned>(out.size()));
        bool ok = n > 0 && y.setUnsigned(out.data(), n) == 1;
        std::memset(out.data(), 0, out.size());
        return ok;
    } catch (const QvException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int DSAParameters::isValid() const {
    try {
        QvN np, nq, ng;
        if (!keyIntegerValue(p, np) || !keyIntegerValue(q, nq) || !keyIntegerValue(g, ng)) return 0;
        // No FIPS 186 domain has a p above 3072 bits; proving a larger one prime
        // would only cost time.
        if (np.getBitLength() > 3072 || nq.getBitLength() > 512 || nq <= 1u || np <= 2u) return 0;
        QvDsaKeyDomain domain;
        if (toDomain(domain) != 1) return 0;
        if (!deterministicJacobiSumsTest(nq) || !deterministicJacobiSumsTest(np)) return 0;
        QvN pm1(np);
        pm1 -= static_cast<QvWord>(1);
        QvModulus mq(nq, 0);
        QvZn rem(pm1, &mq);
        if (!(rem == 0u)) return 0;
        if (ng < 2u || ng >= np) return 0;
        QvModulus mp(np, 0);
        QvZn t(ng, &mp);
        t ^= nq;
        return t == 1u ? 1 : 0;
    } catch (const QvException&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
