#include "libtorvapp/qvgfpkeydomain.h"

#include <cstring>
#include <memory>
#include <vector>

#include "libtorvapp/qvnumbers/qvprimality.h"
#include "libtorvapp/qvrbgdss.h"
#include "libtorvapp/qvsha1.h"

namespace {

constexpr unsigned int kSeedOctets = 20;
constexpr unsigned int kRounds = 50;

// S = S + 1 over 20 big-endian octets, modulo 2^160.
void incrementSeed(QvOctet *s) {
    for (unsigned int i = kSeedOctets; i-- > 0;)
        if (++s[i] != 0) break;
}

// S = S + v over 20 big-endian octets, modulo 2^160.
void addToSeed(QvOctet *s, std::uint32_t v) {
    std::uint64_t carry = v;
    for (unsigned int i = kSeedOctets; i-- > 0 && carry != 0;) {
        carry += s[i];
        s[i] = static_cast<QvOctet>(carry);
        carry >>= 8;
    }
}

unsigned int blocksFor(unsigned int bits) { return (bits + 159) / 160; }

// U from SHA-1 of 2*qBlocks successive seeds (S advanced), then
// q = (U mod 2^(qBits-1)) + 2^(qBits-1) with the lowest bit set.
QvN deriveQ(QvSha1 &sha, QvOctet *s, unsigned int qBlocks, unsigned int qBits) {
    std::vector<QvOctet> u(20u * qBlocks, 0);
    for (unsigned int i = 0; i < 2 * qBlocks; ++i) {
        sha.hash(s, kSeedOctets);
        incrementSeed(s);
        const QvOctet *h = sha.getHashPtr();
        QvOctet *blk = u.data() + 20u * (qBlocks - 1 - (i % qBlocks));
        for (unsigned int k = 0; k < 20; ++k) blk[k] ^= h[k];
    }
    u.back() |= 1;
    QvN U(u.data(), static_cast<unsigned int>(u.size()), 0);
    std::memset(u.data(), 0, u.size());
    QvN top(1, 1);
    top <<= qBits - 1;
    U %= top;
    U += top;
    return U;
}

// p candidate: W from pBlocks hashes (first hash least significant),
// X = (W mod 2^(pBits-1)) + 2^(pBits-1), p = X - (X mod 2q) + 1.
QvN deriveP(QvSha1 &sha, QvOctet *s, unsigned int pBlocks, unsigned int pBits, const QvN &q) {
    std::vector<QvOctet> w(20u * pBlocks, 0);
    for (unsigned int k = 0; k < pBlocks; ++k) {
        sha.hash(s, kSeedOctets);
        incrementSeed(s);
        std::memcpy(w.data() + 20u * (pBlocks - 1 - k), sha.getHashPtr(), 20);
    }
    QvN X(w.data(), static_cast<unsigned int>(w.size()), 0);
    QvN top(1, 1);
    top <<= pBits - 1;
    X %= top;
    X += top;
    const QvN c = X % (q + q);
    X -= c;
    X += 1u;
    return X;
}

// Odd primes below 2000, for a cheap look at a candidate before the strong
// pseudoprime rounds; it only ever rejects composites, so it changes no result.
// Computed by the compiler: no static object to build, or to destroy at exit.
struct SmallPrimes {
    QvWord value[302] = {};
    unsigned int count = 0;
};

constexpr SmallPrimes computeSmallPrimes() {
    SmallPrimes out;
    bool composite[2000] = {};
    for (QvWord i = 3; i < 2000; i += 2) {
        if (composite[i]) continue;
        out.value[out.count++] = i;
        for (QvWord j = i * i; j < 2000; j += 2 * i) composite[j] = true;
    }
    return out;
}

constexpr SmallPrimes kSmallPrimes = computeSmallPrimes();
static_assert(kSmallPrimes.count == 302, "the odd primes below 2000");

bool hasSmallFactor(const QvN &n) {
    if (n.getBitLength() <= 24) return false;  // may itself be one of the small primes
    for (unsigned int i = 0; i < kSmallPrimes.count; ++i) {
        const QvWord p = kSmallPrimes.value[i];
        if ((n % p).isZero()) return true;
    }
    return false;
}

bool probablePrime(const QvN &n, const QvN *base) {
    if (hasSmallFactor(n)) return false;
    return isStrongProbablePrime(n, base, kRounds) == 1;
}

void drawBases(QvN *base, unsigned int bits, QvRbg *rbg) {
    for (unsigned int i = 0; i < kRounds; ++i) {
        base[i].setRandom(bits, rbg);
        if (base[i].isZero()) base[i] = static_cast<QvWord>(i + 1);
    }
}

QvN numberOf(const QvOctet *oct, unsigned int len) {
    if (oct == nullptr || len == 0) return QvN();
    return QvN(oct, len, 0);
}

void checkInterrupt(QvInterruptFn interrupt, void *ctx) {
    if (interrupt == nullptr) return;
    const int r = interrupt(ctx);
    if (r == 0) return;
    QvInterruptException e(static_cast<std::uint32_t>(r));
    e.setMessage(
        "LIBRARY: libtorvapp\nEXCEPTION: QvInterruptException\nREASON: function terminated by user or "
        "application\nFUNCTION: void QvGFpKeyDomain::generateGFpKeyDomain(QvOctet *seed, unsigned int qBits, "
        "unsigned int pBits, int (*interrupt)(void *), void *ctx)\nFILE: qvgfpkeydomain\nLINE: 0\n");
    throw e;
}

}  // namespace

QvGFpKeyDomain::QvGFpKeyDomain() : p(new QvMultiplicativeModulusGroup()) {}

QvGFpKeyDomain::QvGFpKeyDomain(const QvGFpKeyDomain &other)
    : QvGeneralDsaKeyDomain(),
      p(new QvMultiplicativeModulusGroup(*other.p)),
      seed(other.seed),
      counter(other.counter) {
    groupOrder = other.groupOrder;
    order = other.order;
    cofactor = other.cofactor;
    if (other.group == other.p.get()) group = p.get();
    else group = other.group;
    if (other.generator != nullptr && group != nullptr) {
        if (group == p.get()) generator = new QvZn(other.getG(), p.get());
        else generator = group->newElement(other.generator);
    }
}

QvGFpKeyDomain &QvGFpKeyDomain::operator=(const QvGFpKeyDomain &other) {
    if (this == &other) return *this;
    QvGFpKeyDomain tmp(other);
    releaseGen();
    p = std::move(tmp.p);
    tmp.group = nullptr;
    seed = tmp.seed;
    counter = tmp.counter;
    groupOrder = tmp.groupOrder;
    order = tmp.order;
    cofactor = tmp.cofactor;
    group = (other.group == other.p.get()) ? p.get() : other.group;
    generator = tmp.generator;
    tmp.generator = nullptr;
    return *this;
}

QvGFpKeyDomain::~QvGFpKeyDomain() { releaseGen(); }

bool QvGFpKeyDomain::isComplete() const {
    if (p->isZero() || order.isZero() || generator == nullptr || group == nullptr) return false;
    return getG() > 1u;
}

void QvGFpKeyDomain::replaceP(std::unique_ptr<QvMultiplicativeModulusGroup> np) {
    // The old generator refers to the old p: keep its value, rebuild it over
    // the new p.
    QvN old;
    const bool hadGen = generator != nullptr && group == p.get();
    if (hadGen) old = getG();
    releaseGen();
    p = std::move(np);
    setGroup(p.get());
    if (hadGen && !p->isZero()) generator = new QvZn(old % *p, p.get());
}

void QvGFpKeyDomain::setP(const char *text) { replaceP(std::make_unique<QvMultiplicativeModulusGroup>(text, 9)); }

void QvGFpKeyDomain::setP(const QvOctet *oct, unsigned int len) {
    replaceP(std::make_unique<QvMultiplicativeModulusGroup>(numberOf(oct, len), 9));
}

void QvGFpKeyDomain::setQ(const char *text) { setOrder(QvModulus(text, QvModulus::OPT_MONTGOMERY)); }

void QvGFpKeyDomain::setQ(const QvOctet *oct, unsigned int len) { setOrder(oct, len); }

void QvGFpKeyDomain::setG(const char *text) {
    if (group == nullptr || p->isZero()) {
        setGen(static_cast<const QvGroupElem *>(nullptr));  // throws "Uninitialised group."
        return;
    }
    const QvZn g(text, p.get());
    setGen(&g);
}

void QvGFpKeyDomain::setG(const QvOctet *oct, unsigned int len) { setGen(oct, len); }

void QvGFpKeyDomain::setSeed(const char *hex) { seed = QvOctMem(hex); }

void QvGFpKeyDomain::setSeed(const QvOctet *oct, unsigned int len) {
    seed = (oct == nullptr) ? QvOctMem() : QvOctMem(oct, len, true);
}

void QvGFpKeyDomain::setCounter(const char *text) { counter = QvN(text); }

void QvGFpKeyDomain::setCounter(const QvOctet *oct, unsigned int len) { counter = numberOf(oct, len); }

void QvGFpKeyDomain::setSeedAndCounter(const char *seedHex, const char *counterText) {
    setSeed(seedHex);
    setCounter(counterText);
}

void QvGFpKeyDomain::setSeedAndCounter(const QvOctet *seedOct, unsigned int seedLen, const QvOctet *counterOct,
                                       unsigned int counterLen) {
    setSeed(seedOct, seedLen);
    setCounter(counterOct, counterLen);
}

unsigned int QvGFpKeyDomain::getP(QvOctet *oct, unsigned int len) const {
    return static_cast<const QvN &>(*p).asOctetString(oct, len, false);
}

QvN QvGFpKeyDomain::getG() const {
    if (generator == nullptr || group == nullptr)
        qvThrow<QvNotInitException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised generator.\n"
            "FUNCTION: QvN QvGFpKeyDomain::getG() const\nFILE: qvgfpkeydomain\nLINE: 0\n");
    return group->asQvN(generator);
}

unsigned int QvGFpKeyDomain::getG(QvOctet *oct, unsigned int len) const { return getGen(oct, len); }

unsigned int QvGFpKeyDomain::getSeed(QvOctet *oct, unsigned int len) const { return seed.getOctets(oct, len, true); }

unsigned int QvGFpKeyDomain::getCounter(QvOctet *oct, unsigned int len) const {
    return counter.asOctetString(oct, len, false);
}

bool QvGFpKeyDomain::sizesAllowed(unsigned int qBits, unsigned int pBits) {
    // A q of no bits has nothing to search; refused like any other size.
    if (qBits == 0) return false;
    return static_cast<std::uint32_t>(qBits + 32u) <= pBits;
}

int QvGFpKeyDomain::generate(const QvOctet *s, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                             QvInterruptFn interrupt, void *ctx) {
    if (!sizesAllowed(qBits, pBits) || seedLen < kSeedOctets || s == nullptr) return 0;
    seed = QvOctMem(s, kSeedOctets, true);
    generateGFpKeyDomain(seed.getData(), qBits, pBits, interrupt, ctx);
    return 1;
}

int QvGFpKeyDomain::generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt,
                             void *ctx) {
    if (!sizesAllowed(qBits, pBits) || rbg == nullptr) return 0;
    QvOctMem s(kSeedOctets);
    rbg->fillOctets(s.getData(), kSeedOctets);
    seed = s;
    generateGFpKeyDomain(seed.getData(), qBits, pBits, interrupt, ctx);
    return 1;
}

void QvGFpKeyDomain::generateGFpKeyDomain(QvOctet *callerSeed, unsigned int qBits, unsigned int pBits,
                                          QvInterruptFn interrupt, void *ctx) {
    const unsigned int qBlocks = blocksFor(qBits);
    const unsigned int pBlocks = blocksFor(pBits);
    const std::uint32_t limit = 4096u * ((pBits + 1023) / 1024);
    if (qBits < 3) {
        pBits += 3 - qBits;
        qBits = 3;
    }
    if (qBlocks == 0)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Bit length of q is 0.\n"
            "FUNCTION: void QvGFpKeyDomain::generateGFpKeyDomain(QvOctet *seed, unsigned int qBits, unsigned "
            "int pBits, int (*interrupt)(void *), void *ctx)\nFILE: qvgfpkeydomain\nLINE: 0\n");

    if (callerSeed == nullptr)
        qvThrow<QvArgumentRangeException>(
            "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\nREASON: Null octet string.\n"
            "FUNCTION: void QvGFpKeyDomain::generateGFpKeyDomain(QvOctet *seed, unsigned int qBits, unsigned "
            "int pBits, int (*interrupt)(void *), void *ctx)\nFILE: qvgfpkeydomain\nLINE: 0\n");
    // The domain is rebuilt from here on: an old generator must not survive an
    // interrupted search as if it belonged to the new p.
    releaseGen();

    QvOctet s[kSeedOctets];
    std::memcpy(s, callerSeed, kSeedOctets);
    struct Wipe {
        QvOctet *p;
        ~Wipe() { std::memset(p, 0, kSeedOctets); }
    } wipe{s};
    std::unique_ptr<QvN[]> base(new QvN[kRounds]);
    QvRbgDss31 rbg;
    QvSha1 sha;

    for (;;) {
        counter = static_cast<QvWord>(0);
        QvN q;
        for (;;) {
            std::memcpy(callerSeed, s, kSeedOctets);
            q = deriveQ(sha, s, qBlocks, qBits);
            rbg.init(callerSeed, kSeedOctets);
            drawBases(base.get(), 160 * qBlocks, &rbg);
            checkInterrupt(interrupt, ctx);
            if (probablePrime(q, base.get())) break;
        }
        drawBases(base.get(), pBits, &rbg);
        std::uint32_t tried = 0;
        for (;;) {
            QvN cand = deriveP(sha, s, pBlocks, pBits, q);
            replaceP(std::make_unique<QvMultiplicativeModulusGroup>(cand, 0));
            if (cand.getBitLength() == pBits && probablePrime(cand, base.get())) {
                const QvN pm1 = cand - 1u;
                replaceP(std::make_unique<QvMultiplicativeModulusGroup>(cand, 9));
                setGroupOrder(QvModulus(pm1, 0));
                setOrder(QvModulus(q, 9));
                setCofactor(pm1 / q);
                const QvN g = findGenerator(cand, q);
                const QvZn gz(g, p.get());
                setGen(&gz);
                return;
            }
            counter += 1u;
            ++tried;
            checkInterrupt(interrupt, ctx);
            if (tried >= limit) break;
        }
    }
}

bool QvGFpKeyDomain::isValid() const {
    if (!QvGeneralDsaKeyDomain::isValid()) return false;
    // A seed shorter than one SEED cannot reproduce the domain.
    if (seed.getLength() < kSeedOctets) return false;
    const unsigned int qLen = order.getBitLength();
    const unsigned int pLen = p->getBitLength();
    if (qLen < 2 || pLen < 2) return false;
    const unsigned int qBlocks = blocksFor(qLen);
    const unsigned int pBlocks = blocksFor(pLen);
    QvOctet s[kSeedOctets];
    std::memcpy(s, seed.getConstData(), kSeedOctets);
    QvSha1 sha;
    const QvN q = deriveQ(sha, s, qBlocks, qLen);
    bool ok = q == static_cast<const QvN &>(order);
    if (ok) {
        addToSeed(s, static_cast<std::uint32_t>(counter.getLowestWord() * pBlocks));
        const QvN pc = deriveP(sha, s, pBlocks, pLen, q);
        ok = pc == static_cast<const QvN &>(*p);
    }
    std::memset(s, 0, sizeof s);
    if (!ok) return false;
    const QvN g = getG();
    return !(g == 1u) && !(g == static_cast<const QvN &>(*p) - 1u);
}

QvDhGFpKeyDomain::QvDhGFpKeyDomain() = default;
QvDhGFpKeyDomain::~QvDhGFpKeyDomain() = default;

int QvDhGFpKeyDomain::generate(const QvOctet *s, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                               QvInterruptFn interrupt, void *ctx) {
    if (seedLen < kSeedOctets || qBits < 160 || pBits < 1024) return 0;
    return QvGFpKeyDomain::generate(s, seedLen, qBits, pBits, interrupt, ctx);
}

int QvDhGFpKeyDomain::generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt,
                               void *ctx) {
    if (qBits < 160 || pBits < 1024) return 0;
    return QvGFpKeyDomain::generate(rbg, qBits, pBits, interrupt, ctx);
}

QvDsaKeyDomain::QvDsaKeyDomain() = default;
QvDsaKeyDomain::~QvDsaKeyDomain() = default;

int QvDsaKeyDomain::generate(const QvOctet *s, unsigned int seedLen, unsigned int qBits, unsigned int pBits,
                             QvInterruptFn interrupt, void *ctx) {
    if (seedLen < kSeedOctets || qBits != 160 || pBits != 1024) return 0;
    return QvGFpKeyDomain::generate(s, seedLen, qBits, pBits, interrupt, ctx);
}

int QvDsaKeyDomain::generate(QvRbg *rbg, unsigned int qBits, unsigned int pBits, QvInterruptFn interrupt,
                             void *ctx) {
    if (qBits != 160 || pBits != 1024) return 0;
    return QvGFpKeyDomain::generate(rbg, qBits, pBits, interrupt, ctx);
}
