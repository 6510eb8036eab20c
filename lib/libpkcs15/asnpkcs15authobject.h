// The authentication (PIN) object of an AODF record.
#pragma once

#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "lib/libpkcs15/asnpkcs15object.h"
#include "lib/libpkcs15/asnpkcs15pinattributes.h"

typedef ASNPkcs15Object<ASNPkcs15CommonAuthObjectAttributes, ASNPkcs15Null, ASNPkcs15PinAttributes>
    ASNPkcs15AuthObject;
typedef TypedPointerList<ASNPkcs15AuthObject> ASNPkcs15AuthObjectList;

// Appends a new authentication object to the list; NULL when the list cannot take it.
inline ASNPkcs15AuthObject* AddNew(ASNPkcs15AuthObjectList& list) { return ASNPkcs15AddNew(list); }
