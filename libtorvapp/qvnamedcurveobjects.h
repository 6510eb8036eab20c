// The ready-made key domains of the 62 standard curves (34 over prime fields,
// 28 over binary fields), in the build order of the parameter table.  Each is
// built on first use behind its own function-local static, so the order in
// which other static objects are initialised never matters; they are read-only
// afterwards. The C++ runtime never destroys them: a host's thread may still use
// one while the host exits.
#ifndef LIBTORVAPP_QVNAMEDCURVEOBJECTS_H
#define LIBTORVAPP_QVNAMEDCURVEOBJECTS_H

#include "libtorvapp/qve2ndsakeydomain.h"
#include "libtorvapp/qvepdsakeydomain.h"
#include "libtorvapp/qvnamedcurves.h"

// The object at a position of the build order (0 .. 61), or null.
const QvGeneralDsaKeyDomain *qvNamedCurveDomain(unsigned int index);
// The object of a curve name ("nistp256", "secp256r1", ...), or null.
const QvGeneralDsaKeyDomain *qvFindNamedCurveDomain(const char *name);
// Deletes every object built so far; only where no thread can still use one
// (a module's end after its calls have left). A later use is not allowed.
void qvReleaseNamedCurveDomains();

#endif
