// The object factory: builds the session object of the right class from a
// create template after validating it.
#ifndef MIRTAL_PKCS11IMPL_P11FACTORY_H
#define MIRTAL_PKCS11IMPL_P11FACTORY_H

#include "pkcs11impl/p11object.h"

// Reads CKA_CLASS, validates in create mode and builds the object (version 0 =
// default). On success *object holds a new object owned by the caller; on any
// failure it is null and nothing of the template stays.
CK_RV CreateObjectFromTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object, CK_ULONG version);
// The same for the storage classes only (data, certificates, keys, domain parameters).
CK_RV CreateStorageObjectFromTemplate(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CPkcs11Object** object,
                                      CK_ULONG version);

// Last step of every creator: sets the version code, applies the whole template
// and hands the object out; a failure deletes it. A null object is CKR_HOST_MEMORY.
CK_RV P11FinishCreate(CPkcs11Object* obj, const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ULONG version,
                      CPkcs11Object** out);

#endif
