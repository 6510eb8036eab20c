// The answers PKCS#11 2.11 lists for the functions that initialise a token and
// set its PINs: a value outside a function's list never leaves the module.
#ifndef MIRTAL_PKCS11IMPL_P11ANSWERS_H
#define MIRTAL_PKCS11IMPL_P11ANSWERS_H

#include "pkcs11impl/cryptoki.h"

// rv where the list of the function named fn holds it (or the function has no
// list here), else CKR_FUNCTION_FAILED: the function could not be done.
CK_RV ListedAnswer(const char* fn, CK_RV rv);

#endif
