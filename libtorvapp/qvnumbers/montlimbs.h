// Montgomery arithmetic and exponentiation on 64-bit limbs: the engine behind
// the exponentiation of residues modulo odd moduli.  Values are the 32-bit
// word arrays of longv.h, two words to a limb; a modulus of L limbs (a
// multiple of four) works with R = 2^(64L).  Results are fully reduced, so
// they do not depend on L or on the code path: where the processor has MULX
// and ADCX/ADOX the rows run two carry chains at once, elsewhere (or while
// the portable paths are forced, qvcpu.h) the general kernels of longv.h and
// montgomery.h do the work.  Not part of the public interface.
#ifndef LIBTORVAPP_QVNUMBERS_MONTLIMBS_H
#define LIBTORVAPP_QVNUMBERS_MONTLIMBS_H

#include <cstdint>

#include "libtorvapp/qvnumbers/longv.h"

namespace qvlongv {

class MontLimbs {
public:
    typedef std::uint64_t Limb;

    // m: n words, odd and not zero.  Throws QvMemException when its work
    // memory cannot be had.
    MontLimbs(const QvWord *m, QvWordLen n);
    ~MontLimbs();
    MontLimbs(const MontLimbs &) = delete;
    MontLimbs &operator=(const MontLimbs &) = delete;

    // Values below are words() = 2 * limbs() words long.
    unsigned int limbs() const { return L; }
    unsigned int words() const { return 2 * L; }
    bool usesCarryChains() const { return adx; }

    // r = a * b * R^-1 mod m and r = a^2 * R^-1 mod m, for a and b below m;
    // r may be a or b.
    void mul(QvWord *r, const QvWord *a, const QvWord *b);
    void sqr(QvWord *r, const QvWord *a);
    // r = x * R mod m for x (nx words) below m; and back: the n words of
    // a * R^-1 mod m.
    void enter(QvWord *r, const QvWord *x, QvWordLen nx);
    void leave(QvWord *r, QvWordLen n, const QvWord *a);

private:
    unsigned int L;
    bool adx;
    Limb n0;     // -m^-1 mod 2^64
    QvWord mu;   // -m^-1 mod 2^32
    QvWord *mem; // one block, wiped when released
    QvWord *m;   // 2L words
    QvWord *rr;  // R^2 mod m, 2L words
    QvWord *t;   // product, 4L + 2 words
    QvWord *za;  // squaring: a with the limbs already used cleared, 2L words
};

}  // namespace qvlongv

// r (n words) = x^e mod m for an odd m of n words (high zero words allowed),
// x (n words) below m and e of ne words, by the fixed-window method with
// windows of `width` bits (1 to 16).  Throws QvMemException when the window
// table cannot be had.
void longvPowModOdd(QvWord *r, const QvWord *x, const QvWord *e, QvWordLen ne, const QvWord *m, QvWordLen n,
                    unsigned int width);

#endif
