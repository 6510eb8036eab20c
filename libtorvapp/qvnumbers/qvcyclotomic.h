// Cyclotomic rings Z_N[zeta_m] = (Z/NZ)[x] / (Phi_m(x)) and the Jacobi sums of
// small primes, for the deterministic Jacobi-sums primality proof.
//
// QvCyclotomicExtension is one ring (N, m, Phi_m); QvCyclotomicRing is an
// element of it (m residues modulo N, reduced form: coefficients d .. m-1
// zero).  An extension serves one thread at a time: its work area is shared
// by all its elements, and it must outlive them.
#ifndef LIBTORVAPP_QVNUMBERS_QVCYCLOTOMIC_H
#define LIBTORVAPP_QVNUMBERS_QVCYCLOTOMIC_H

#include <cstdint>
#include <cstdio>
#include <vector>

#include "libtorvapp/qvnumbers/qvmodulus.h"
#include "libtorvapp/qvnumbers/qvn.h"
#include "libtorvapp/qvnumbers/qvzn.h"

// Moebius function of n: 1, -1 or 0.
int moebius(QvWord n);
// Phi_m into poly (at least m + 1 entries; low coefficients first, -1 stored
// as all bits set); returns its degree phi(m).
unsigned int cyclotomicPolynomial(std::int32_t *poly, QvWord m);

class QvCyclotomicRing;

class QvCyclotomicExtension : public QvModulus {
public:
    QvCyclotomicExtension();
    // m = p^k for the prime p: Phi_m(x) = sum over i < p of x^(i m / p).
    QvCyclotomicExtension(QvWord m, QvWord p, const QvN &n);
    // Any m: Phi_m by cyclotomicPolynomial.
    QvCyclotomicExtension(QvWord m, const QvN &n);
    QvCyclotomicExtension(const QvCyclotomicExtension &other);
    QvCyclotomicExtension &operator=(const QvCyclotomicExtension &other);
    ~QvCyclotomicExtension() override;

    unsigned int getDegree() const { return degree; }
    QvWord getOrder() const { return order; }
    const std::int32_t *getPolynomial() const { return polynomial.data(); }

private:
    friend class QvCyclotomicRing;
    void allocate();
    // Reduces entries top .. d of c modulo Phi_m.
    void reduce(QvZn *c, unsigned int top) const;

    std::vector<std::int32_t> polynomial;
    unsigned int degree;
    QvWord order;
    mutable std::vector<QvZn> work;
    mutable QvZn tmp;
};

class QvCyclotomicRing {
public:
    explicit QvCyclotomicRing(const QvCyclotomicExtension *ext);
    QvCyclotomicRing(int a, const QvCyclotomicExtension *ext);
    // Coefficient (i mod m) += v[i] for i < L, then reduced.
    QvCyclotomicRing(const QvWord *v, unsigned int L, const QvCyclotomicExtension *ext);
    QvCyclotomicRing(const QvCyclotomicRing &other);
    QvCyclotomicRing &operator=(const QvCyclotomicRing &other);
    ~QvCyclotomicRing();

    void assign(const QvWord *v, unsigned int L);
    QvZn &coefficient(unsigned int i) { return coef[i % ext->order]; }
    const QvZn &coefficient(unsigned int i) const { return coef[i % ext->order]; }
    void setInt(int a);
    void reduce();
    const QvCyclotomicExtension *getExtension() const { return ext; }

    QvCyclotomicRing &operator*=(const QvCyclotomicRing &b);
    QvCyclotomicRing &operator*=(QvWord w);
    QvCyclotomicRing &power(QvWord e);
    QvCyclotomicRing &power(const QvN &e);
    // Product over x of sigma_x(this)^e[x] (e has m entries; x prime to m).
    QvCyclotomicRing &galoisProduct(const QvWord *e);

    bool operator==(const QvCyclotomicRing &b) const;
    bool operator!=(const QvCyclotomicRing &b) const { return !(*this == b); }
    bool operator==(int a) const;
    bool operator!=(int a) const { return !(*this == a); }

    // The h in m, m-1, .., 1 with this == zeta^(h mod m); 0 when none.
    QvWord findExponent() const;

private:
    void square();

    std::vector<QvZn> coef;
    const QvCyclotomicExtension *ext;
};

QvCyclotomicRing operator*(const QvCyclotomicRing &a, const QvCyclotomicRing &b);
QvCyclotomicRing operator*(const QvCyclotomicRing &a, QvWord w);
QvCyclotomicRing power(const QvCyclotomicRing &a, QvWord e);
QvCyclotomicRing power(const QvCyclotomicRing &a, const QvN &e);
QvCyclotomicRing galoisProduct(const QvCyclotomicRing &a, const QvWord *e);

// 0 when a is not a power of zeta (not an m-th root of unity of the form
// zeta^h); else 1 when p divides h, 2 when h is prime to p.
int rootOfUnityCheck(const QvCyclotomicRing &a, QvWord p, QvWord m);

// The Jacobi sums J(p,q) of one prime q for p = 2, 3, 5, 7, 11, 13, 17 with
// p dividing q - 1, as coefficient vectors in Z[zeta_(p^k)] (p^k exactly
// dividing q - 1); for p = 2 with 2^k >= 8 also J3(2,q) and J2(2,q).
class QvQJacobiSums {
public:
    enum : unsigned int { PRIMES = 7 };
    explicit QvQJacobiSums(QvWord q = 0);
    QvQJacobiSums(const QvQJacobiSums &other);
    QvQJacobiSums &operator=(const QvQJacobiSums &other);
    ~QvQJacobiSums();

    QvWord getQ() const { return q; }
    unsigned int getExponent(QvWord p) const;
    QvWord getPower(QvWord p) const;
    const QvWord *getJ(QvWord p) const;
    const QvWord *getJ3() const;
    const QvWord *getJ2() const;
    void printJ(FILE *stream, QvWord p) const;
    void printJ3J2(FILE *stream, int which) const;

private:
    int indexOf(QvWord p) const;
    void release();

    QvWord q;
    QvWord primes[PRIMES];
    QvWord powers[PRIMES];
    QvWord *sums[PRIMES];
};

#endif
