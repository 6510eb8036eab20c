#include "libtorvapp/qvsym.h"

QvSym::~QvSym() = default;
