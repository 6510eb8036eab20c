/* The module's vendor exports beside the PKCS#11 function list. */
#ifndef MIRTAL_PKCS11IMPL_MIRTAL_PKCS11_H
#define MIRTAL_PKCS11IMPL_MIRTAL_PKCS11_H

#include "pkcs11impl/cryptoki.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MIRTAL_EXPORT __attribute__((visibility("default")))

/* The constant version banner (no initialisation needed). */
MIRTAL_EXPORT const char* MIRTAL_PKCS11_GetVersionString(void);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_ActivateTokenQualifiedPart(CK_SESSION_HANDLE hSession);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_SetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE dataType,
                                               CK_VOID_PTR pData, CK_ULONG ulDataLen);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_GetTokenData(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_TYPE dataType,
                                               CK_VOID_PTR pData, CK_ULONG_PTR pulDataLen);
/* pReserved must be null; the characteristics come back as CKF_MIRTAL_QUAL_* flags. */
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_GetQualifiedPartCharacteristics(CK_SLOT_ID slotId, CK_FLAGS* pFlags,
                                                                  CK_VOID_PTR pReserved);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_TerminateTokenUsage(CK_SLOT_ID slotId, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_UnblockPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pPuk,
                                             CK_ULONG ulPukLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_ChangePin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin, CK_UTF8CHAR_PTR pOldPin,
                                            CK_ULONG ulOldPinLen, CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_InitPin(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin,
                                          CK_UTF8CHAR_PTR pProtectingPin, CK_ULONG ulProtectingPinLen,
                                          CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen, CK_UTF8CHAR_PTR pPuk,
                                          CK_ULONG ulPukLen);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_GetPinStatus(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin,
                                               CK_ULONG_PTR pulPinStatus);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_GetPinInfo(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hPin,
                                             MIRTAL_PIN_INFO_PTR pPinInfo);
MIRTAL_EXPORT CK_RV MIRTAL_PKCS11_GetPinList(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phPins,
                                             CK_ULONG_PTR pulCount);
/* 1 on success, 0 on failure (GetLastErrorString tells why). */
MIRTAL_EXPORT int InitializeCard(const char* readerName, const char* profileName);
/* 1 when the whole text (CP1250, terminated) was copied or only its size was asked. */
MIRTAL_EXPORT int GetLastErrorString(char* pszStringBuf, unsigned long* pcbBuflen);

#ifdef __cplusplus
}
#endif

#endif
