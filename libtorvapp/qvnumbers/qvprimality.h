// Primality tests of natural numbers.
#ifndef LIBTORVAPP_QVNUMBERS_QVPRIMALITY_H
#define LIBTORVAPP_QVNUMBERS_QVPRIMALITY_H

#include "libtorvapp/qvnumbers/qvn.h"

// The strong-pseudoprime (Miller-Rabin) test over the caller's bases, taken
// from the last to the first: 1 when no base shows n composite, else 0.  The
// number of rounds is entirely the caller's (no bases: 1 for odd n >= 13).
int isStrongProbablePrime(const QvN &n, const QvN *bases, unsigned int count);
int isStrongProbablePrime(const QvN &n, const QvN &base);

#endif
