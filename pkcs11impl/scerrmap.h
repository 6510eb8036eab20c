// The one place that decides which PKCS#11 return value a card, reader,
// PKCS#15 or bridge result code becomes.
#ifndef MIRTAL_PKCS11IMPL_SCERRMAP_H
#define MIRTAL_PKCS11IMPL_SCERRMAP_H

#include "pkcs11impl/cryptoki.h"
#include "smartcard/sc_errors.h"

// tokenPresenceQuery: the caller asks whether a token is there, so an absent
// card or reader is CKR_TOKEN_NOT_PRESENT instead of CKR_DEVICE_REMOVED.
// Pure: no state, no log line; callable from any thread.
CK_RV MapScErrorToCkr(SCRESULT code, bool tokenPresenceQuery);

#endif
