// The ready-made key domains of the 62 standard curves (34 over prime fields,
// 28 over binary fields), in the build order of the parameter table.  Each is
// built on first use behind its own function-local static, so the order in
// which other static objects are initialised never matters; they are read-only
// afterwards and destroyed at exit in the reverse order of their construction.
#ifndef LIBTORVAPP_QVNAMEDCURVEOBJECTS_H
#define LIBTORVAPP_QVNAMEDCURVEOBJECTS_H

#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"
#include "libtorvapp/qvnamedcurves.h"

// The object at a position of the build order (0 .. 61), or null.
const QvGeneralDsaKeyDomain *qvNamedCurveDomain(unsigned int index);
// The object of a curve name ("nistp256", "secp256r1", ...), or null.
const QvGeneralDsaKeyDomain *qvFindNamedCurveDomain(const char *name);

#endif
