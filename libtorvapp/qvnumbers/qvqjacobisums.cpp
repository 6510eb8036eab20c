// Jacobi sums J(p,q) of one prime q as coefficient vectors.
#include "libtorvapp/qvnumbers/qvcyclotomic.h"

#include <cstring>
#include <new>

namespace {

const QvWord kPrimes[QvQJacobiSums::PRIMES] = {2, 3, 5, 7, 11, 13, 17};

QvWord *allocWords(std::uint64_t n, const char *line)
{
    QvWord *p = new (std::nothrow) QvWord[n];
    if (p == nullptr) throw QvMemException(n * sizeof(QvWord), "qvnumbers/qvqjacobisums", line);
    std::memset(p, 0, n * sizeof(QvWord));
    return p;
}

QvWord mulMod(QvWord a, QvWord b, QvWord q)
{
    return static_cast<QvWord>(static_cast<std::uint64_t>(a) * b % q);
}

// A generator of (Z/qZ)*: every prime factor of q - 1 is tried, not only the
// listed ones, so that the index table below is a true discrete logarithm.
QvWord primitiveRoot(QvWord q)
{
    QvWord factors[32];
    unsigned int count = 0;
    QvWord r = q - 1;
    for (QvWord p = 2; static_cast<std::uint64_t>(p) * p <= r; ++p) {
        if (r % p) continue;
        factors[count++] = p;
        while (r % p == 0) r /= p;
    }
    if (r > 1) factors[count++] = r;
    for (QvWord g = 2; g < q; ++g) {
        bool ok = true;
        for (unsigned int i = 0; i < count && ok; ++i) ok = powModWord(g, (q - 1) / factors[i], q) != 1;
        if (ok) return g;
    }
    return 1;
}

} // namespace

QvQJacobiSums::QvQJacobiSums(QvWord qv) : q(qv)
{
    for (unsigned int i = 0; i < PRIMES; ++i) {
        primes[i] = kPrimes[i];
        powers[i] = 1;
        sums[i] = nullptr;
    }
    if (q < 3) return;
    try {
        QvWord rest = q - 1;
        for (unsigned int i = 0; i < PRIMES; ++i) {
            const QvWord p = primes[i];
            if (rest % p) continue;
            QvWord pk = 1;
            while (rest % p == 0) {
                rest /= p;
                pk *= p;
            }
            powers[i] = pk;
            sums[i] = allocWords(p == 2 && pk >= 8 ? 3ull * pk : pk, "48");
        }
        const QvWord g = primitiveRoot(q);
        QvWord *pw = allocWords(q, "57");
        QvWord *ind = nullptr;
        try {
            ind = allocWords(q, "60");
        } catch (...) {
            delete[] pw;
            throw;
        }
        QvWord v = 1;
        for (QvWord i = 1; i <= q - 2; ++i) {
            v = mulMod(v, g, q);
            pw[i] = v;
            ind[v] = i;
        }
        // f(i): g^f(i) = 1 - g^i.
        auto f = [&](QvWord i) { return ind[q + 1 - pw[i]]; };
        for (unsigned int k = 0; k < PRIMES; ++k) {
            if (!sums[k]) continue;
            const QvWord pk = powers[k];
            QvWord *s = sums[k];
            for (QvWord x = 1; x <= q - 2; ++x) {
                const QvWord fx = f(x);
                s[(static_cast<std::uint64_t>(x) + fx) % pk] += 1;
                if (primes[k] == 2 && pk >= 8) {
                    s[pk + (2ull * x + fx) % pk] += 1;
                    s[2 * pk + ((3ull * x + fx) % 8) * (pk / 8)] += 1;
                }
            }
        }
        std::memset(pw, 0, q * sizeof(QvWord));
        std::memset(ind, 0, q * sizeof(QvWord));
        delete[] pw;
        delete[] ind;
    } catch (...) {
        release();
        throw;
    }
}

QvQJacobiSums::QvQJacobiSums(const QvQJacobiSums &other) : q(other.q)
{
    for (unsigned int i = 0; i < PRIMES; ++i) {
        primes[i] = other.primes[i];
        powers[i] = other.powers[i];
        sums[i] = nullptr;
    }
    try {
        for (unsigned int i = 0; i < PRIMES; ++i) {
            if (!other.sums[i]) continue;
            const std::uint64_t n = primes[i] == 2 && powers[i] >= 8 ? 3ull * powers[i] : powers[i];
            sums[i] = allocWords(n, "120");
            std::memcpy(sums[i], other.sums[i], n * sizeof(QvWord));
        }
    } catch (...) {
        release();
        throw;
    }
}

QvQJacobiSums &QvQJacobiSums::operator=(const QvQJacobiSums &other)
{
    if (this != &other) {
        QvQJacobiSums copy(other);
        release();
        q = copy.q;
        for (unsigned int i = 0; i < PRIMES; ++i) {
            primes[i] = copy.primes[i];
            powers[i] = copy.powers[i];
            sums[i] = copy.sums[i];
            copy.sums[i] = nullptr;
        }
    }
    return *this;
}

QvQJacobiSums::~QvQJacobiSums()
{
    release();
}

void QvQJacobiSums::release()
{
    for (unsigned int i = 0; i < PRIMES; ++i) {
        delete[] sums[i];
        sums[i] = nullptr;
    }
}

int QvQJacobiSums::indexOf(QvWord p) const
{
    for (unsigned int i = 0; i < PRIMES; ++i)
        if (primes[i] == p) return static_cast<int>(i);
    return -1;
}

unsigned int QvQJacobiSums::getExponent(QvWord p) const
{
    const int i = indexOf(p);
    if (i < 0 || powers[i] == 1) return 0;
    unsigned int k = 0;
    for (QvWord v = powers[i]; v > 1; v /= p) ++k;
    return k;
}

QvWord QvQJacobiSums::getPower(QvWord p) const
{
    const int i = indexOf(p);
    return i < 0 ? 1 : powers[i];
}

const QvWord *QvQJacobiSums::getJ(QvWord p) const
{
    const int i = indexOf(p);
    return i < 0 ? nullptr : sums[i];
}

const QvWord *QvQJacobiSums::getJ3() const
{
    if (!sums[0]) return nullptr;
    return powers[0] >= 8 ? sums[0] + powers[0] : sums[0];
}

const QvWord *QvQJacobiSums::getJ2() const
{
    if (!sums[0]) return nullptr;
    return powers[0] >= 8 ? sums[0] + 2 * powers[0] : sums[0];
}

void QvQJacobiSums::printJ(FILE *stream, QvWord p) const
{
    const int i = indexOf(p);
    if (i < 0 || !sums[i]) return;
    std::fprintf(stream, "J(%ld,%ld) = [", static_cast<long>(p), static_cast<long>(q));
    for (QvWord k = 0; k < powers[i]; ++k)
        std::fprintf(stream, k ? ", %lu" : "%lu", static_cast<unsigned long>(sums[i][k]));
    std::fprintf(stream, "]\n");
}

void QvQJacobiSums::printJ3J2(FILE *stream, int which) const
{
    if (!sums[0] || powers[0] < 8 || (which != 1 && which != 2)) return;
    const QvWord *s = which == 1 ? getJ3() : getJ2();
    std::fprintf(stream, which == 1 ? "J3(2,%ld) = [" : "J2(2,%ld) = [", static_cast<long>(q));
    for (QvWord k = 0; k < powers[0]; ++k)
        std::fprintf(stream, k ? ", %lu" : "%lu", static_cast<unsigned long>(s[k]));
    std::fprintf(stream, "]\n");
}
