// The deterministic Jacobi-sums primality proof (Adleman, Pomerance and
// Rumely in the Cohen-Lenstra form).
#ifndef LIBTORVAPP_QVNUMBERS_QVJACOBISUMSTEST_H
#define LIBTORVAPP_QVNUMBERS_QVJACOBISUMSTEST_H

#include "libtorvapp/qvnumbers/qvn.h"

// 1 when n is proven prime; 0 when n is composite or the proof cannot be
// completed (callers treat 0 as a negative answer).
int deterministicJacobiSumsTest(const QvN &n);

// The t the proof starts from for a number of L bits.
QvWord jacobiSumsTestT(unsigned int L);

#endif
