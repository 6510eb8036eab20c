// Quadratic equations x^2 + a x = b over GF(2^m), used to decompress points:
// with x = a z the equation becomes z^2 + z = b / a^2, which has roots iff the
// trace of b / a^2 is 0; odd m takes the half-trace, even m the randomised
// construction of IEEE 1363 (any root will do: the caller picks one itself).
#include "libtorvapp/qvgf2n/qvgf2n.h"
#include "libtorvapp/qvrbgdss.h"

namespace {

// e^(2^(m-1)), the square root in GF(2^m).
QvGF2n squareRoot(const QvGF2n &e, unsigned int m)
{
    QvGF2n r(e);
    for (unsigned int i = 1; i < m; ++i) r *= r;
    return r;
}

QvGF2n trace(const QvGF2n &e, unsigned int m)
{
    QvGF2n t(e);
    for (unsigned int i = 1; i < m; ++i) {
        t *= t;
        t += e;
    }
    return t;
}

QvGF2n halfTrace(const QvGF2n &e, unsigned int m)
{
    QvGF2n z(e);
    for (unsigned int i = 0; i < (m - 1) / 2; ++i) {
        z *= z;
        z *= z;
        z += e;
    }
    return z;
}

const QvOctet kSolveSeed[32] = {0x5b, 0x1e, 0x93, 0x0c, 0x47, 0xd2, 0x6a, 0xf1, 0x38, 0x85, 0xc4, 0x2e, 0x71, 0x09, 0xbd, 0x56,
                                0xe3, 0x4a, 0x17, 0x9f, 0x60, 0xa8, 0x3d, 0xcb, 0x02, 0x7e, 0x95, 0x24, 0xf8, 0x6d, 0x11, 0xb3};

} // namespace

unsigned int solve(const QvGF2n &a, const QvGF2n &b, const QvGF2nField *field, QvGF2n &x1, QvGF2n &x2)
{
    const unsigned int m = field->getDegree();
    QvGF2n one("01", field);
    if (a.isZero()) {
        x1 = squareRoot(b, m);
        x2 = x1;
        return 1;
    }
    QvGF2n beta(one);
    beta /= a;
    beta *= beta;
    beta *= b;
    if (trace(beta, m) == one) return 0;
    QvGF2n z(field);
    if (m % 2 == 1) {
        z = halfTrace(beta, m);
    } else {
        QvRbgDss31 rbg;
        rbg.init(kSolveSeed, sizeof kSolveSeed);
        const unsigned int len = (m + 7) / 8;
        QvWordMem buf(len / 4 + 1);
        QvOctet *oct = reinterpret_cast<QvOctet *>(buf.getData());
        QvGF2n w(field), rho(field), t(field);
        bool found = false;
        for (QvWord attempt = 0; attempt < 0xFFFFFFFFu && !found; ++attempt) {
            rbg.fillOctets(oct, len);
            if (m % 8) oct[0] &= static_cast<QvOctet>((1u << (m % 8)) - 1);
            rho.setOctets(oct, len);
            z.setWords(nullptr, 0);
            w = rho;
            for (unsigned int i = 1; i < m; ++i) {
                z *= z;
                w *= w;
                t = w;
                t *= beta;
                z += t;
                w += rho;
            }
            found = !w.isZero();
        }
        if (!found)
            qvThrow<QvCriticalException>(
                "LIBRARY: libtorvapp\nEXCEPTION: QvCriticalException\nREASON: Library is unable to find roots of "
                "(solvable) quadratic equation.\nFUNCTION: unsigned int solve(const QvGF2n &a, const QvGF2n &b, "
                "QvGF2n &x1, QvGF2n &x2)\nFILE: qve2n/e2n_group\nLINE: 183\n");
    }
    x1 = z;
    x1 *= a;
    x2 = z;
    x2 += one;
    x2 *= a;
    return 2;
}
