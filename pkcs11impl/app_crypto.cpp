// The application's members behind signing, decryption, key-pair generation and
// random numbers: the init calls check the key and record the operation in the
// session, the second calls hand mechanism, key and data to the session's token.
#include <cstring>
#include <new>
#include <vector>

#include "pkcs11impl/app.h"
#include "pkcs11impl/p11object.h"
#include "pkcs11impl/p11prvkey.h"
#include "pkcs11impl/p11pubkey.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/p11token.h"
#include "pkcs11impl/p11validate.h"
#include "pkcs11impl/pkcs15token.h"
#include "support/textutil.h"

namespace {

bool IsTokenStatusResult(CK_RV rv) {
  return rv == TOKEN_STATUS_CARD_NOT_INITIALIZED || rv == TOKEN_STATUS_CARD_NOT_ACTIVATED;
}

// A buffer for one attribute value read from a token, wiped when it goes.
struct ValueBuffer {
  std::vector<CK_BYTE> bytes;
  ~ValueBuffer() {
    if (!bytes.empty()) SecureZero(bytes.data(), bytes.size());
  }
};

}  // namespace

// ---- signing and decryption ----

CK_RV CPkcs11App::SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return OperationInit(CKF_SIGN, hSession, pMechanism, hKey);
}

CK_RV CPkcs11App::DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return OperationInit(CKF_DECRYPT, hSession, pMechanism, hKey);
}

CK_RV CPkcs11App::OperationInit(uint32_t operation, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                CK_OBJECT_HANDLE hKey) {
  const bool sign = operation == CKF_SIGN;
  // No initialisation test: without it there is no session to find.
  if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  if (s->GetOperation() != nullptr) return CKR_OPERATION_ACTIVE;
  const CK_SLOT_ID slotId = s->GetSlotId();

  // The key's class, place and permission, read as C_GetAttributeValue reads them.
  CPkcs11Session* owner = nullptr;
  CK_RV rv = ResolveObject(hSession, hKey, &owner);
  // A handle that names no object is, to an init call, an invalid key handle.
  if (rv == CKR_OBJECT_HANDLE_INVALID) rv = CKR_KEY_HANDLE_INVALID;
  if (rv != CKR_OK) return MapSessionTokenResult(rv, hSession);
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_BBOOL onToken = CK_FALSE;
  CK_BBOOL permitted = CK_FALSE;
  CK_ATTRIBUTE probe[3] = {{CKA_CLASS, &cls, sizeof cls},
                           {CKA_TOKEN, &onToken, sizeof onToken},
                           {sign ? CKA_SIGN : CKA_DECRYPT, &permitted, sizeof permitted}};
  rv = owner == nullptr && status != CKR_OK ? CKR_FUNCTION_FAILED : ReadObjectAttributes(owner, token, hKey, probe, 3);
  if (rv != CKR_OK) {
    if (cls == CKO_PUBLIC_KEY || cls == CKO_SECRET_KEY)
      rv = CKR_KEY_TYPE_INCONSISTENT;
    else if (cls != CKO_PRIVATE_KEY || rv == CKR_ATTRIBUTE_TYPE_INVALID)
      rv = CKR_KEY_HANDLE_INVALID;
    return MapTokenResult(rv, slotId);
  }
  if (cls == CKO_PUBLIC_KEY || cls == CKO_SECRET_KEY) return CKR_KEY_TYPE_INCONSISTENT;
  if (cls != CKO_PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
  if (permitted == CK_FALSE) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  // Only keys on the card sign and decrypt.
  if (onToken == CK_FALSE) return CKR_KEY_HANDLE_INVALID;
  if (IsTokenStatusResult(status)) return CKR_KEY_FUNCTION_NOT_PERMITTED;

  rv = token->CheckMechanismForKey(pMechanism->mechanism, sign ? CKF_SIGN : CKF_DECRYPT);
  if (rv != CKR_OK) return MapTokenResult(rv, slotId);
  if (!sign) {
    // Keys of the qualified part sign only.
    CK_BBOOL qualified = CK_FALSE;
    CK_ATTRIBUTE q = {CKA_MIRTAL_QUALIFIED_OBJECT, &qualified, sizeof qualified};
    if (token->GetAttributeValue(hKey, &q, 1) == CKR_OK && qualified != CK_FALSE) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  }
  CK_BBOOL always = CK_FALSE;
  CK_ATTRIBUTE a = {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
  rv = token->GetAttributeValue(hKey, &a, 1);
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID) {
    always = CK_FALSE;
  } else if (rv != CKR_OK) {
    return rv == CKR_HOST_MEMORY || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT
               ? rv
               : CKR_DEVICE_ERROR;
  }
  CPkcs11OperationState* op = new (std::nothrow)
      CPkcs11OperationState(operation, pMechanism->mechanism, hKey, s->GetState(), always != CK_FALSE ? 1 : 0);
  if (op == nullptr) return CKR_HOST_MEMORY;
  s->SetOperation(op);
  return CKR_OK;
}

CK_RV CPkcs11App::Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                       CK_ULONG_PTR pulSignatureLen) {
  return OperationRun(CKF_SIGN, hSession, pData, ulDataLen, pSignature, pulSignatureLen);
}

CK_RV CPkcs11App::Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                          CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  return OperationRun(CKF_DECRYPT, hSession, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

CK_RV CPkcs11App::OperationRun(uint32_t operation, CK_SESSION_HANDLE hSession, CK_BYTE_PTR pIn, CK_ULONG ulInLen,
                               CK_BYTE_PTR pOut, CK_ULONG_PTR pulOutLen) {
  if ((pIn == nullptr && ulInLen != 0) || pulOutLen == nullptr) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  CPkcs11OperationState* op = s->GetOperation();
  if (op == nullptr || op->operation != operation) return CKR_OPERATION_NOT_INITIALIZED;
  const bool sign = operation == CKF_SIGN;
  const CK_OBJECT_HANDLE hKey = sign ? op->signKey : op->decryptKey;
  const CK_SLOT_ID slotId = s->GetSlotId();

  // The early failures below keep the operation.
  CPkcs11Session* owner = nullptr;
  CK_RV rv = ResolveObject(hSession, hKey, &owner);
  if (rv != CKR_OK) return MapSessionTokenResult(rv, hSession);
  if (owner != nullptr) {
    if (sign)
      TraceLog(GetLogger(), "CPkcs11App::Sign", TRACE_ERROR, CKR_FUNCTION_FAILED,
               "hObject: %08lx: Can't sign using SESSION OBJECT", hKey);
    return CKR_FUNCTION_FAILED;
  }
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;
  if (status != CKR_OK) return CKR_FUNCTION_FAILED;

  if (op->contextLogin == 1 || op->contextLogin == 2) {
    s->DropOperation();
    return CKR_USER_NOT_LOGGED_IN;
  }
  rv = sign ? token->Sign(op->mechanism, hKey, pIn, ulInLen, pOut, pulOutLen)
            : token->Decrypt(op->mechanism, hKey, pIn, ulInLen, pOut, pulOutLen);
  // A length query and a buffer too small keep the operation for the call that follows.
  if (rv == CKR_BUFFER_TOO_SMALL || (rv == CKR_OK && pOut == nullptr)) return rv;
  s->DropOperation();
  return MapTokenResult(rv, slotId);
}

CK_RV CPkcs11App::EndOperation(CK_SESSION_HANDLE hSession, uint32_t operation) {
  if (IsInitialized()) {
    Pkcs11LockGuard guard(m_lock);
    CPkcs11Session* s = FindSession(hSession, nullptr);
    if (s != nullptr && s->GetOperation() != nullptr && s->GetOperation()->operation == operation) s->DropOperation();
  }
  return CKR_FUNCTION_NOT_SUPPORTED;
}

// ---- key pairs ----

CK_RV CPkcs11App::GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pMechanism == nullptr || pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
      ulPublicKeyAttributeCount == 0 || ulPrivateKeyAttributeCount == 0 || phPublicKey == nullptr ||
      phPrivateKey == nullptr)
    return CKR_ARGUMENTS_BAD;
  *phPublicKey = CK_INVALID_HANDLE;
  *phPrivateKey = CK_INVALID_HANDLE;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  const CK_ATTRIBUTE* prv = pPrivateKeyTemplate;
  const CK_ATTRIBUTE* pub = pPublicKeyTemplate;
  const CK_ULONG prvCount = ulPrivateKeyAttributeCount;
  const CK_ULONG pubCount = ulPublicKeyAttributeCount;

  if (TemplateContradictsItsKind(prv, prvCount) || TemplateContradictsItsKind(pub, pubCount))
    return CKR_TEMPLATE_INCONSISTENT;
  // A generated private key always lives on the card.
  CK_BBOOL prvOnToken = CK_FALSE;
  CK_RV rv = GetTemplateBool(prv, prvCount, CKA_TOKEN, &prvOnToken);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND || (rv == CKR_OK && prvOnToken == CK_FALSE)) return CKR_TEMPLATE_INCONSISTENT;
  if (rv != CKR_OK) return rv;

  const CK_MECHANISM_TYPE mechanism = pMechanism->mechanism;
  const CK_KEY_TYPE k = GetKeyTypeForMechanism(mechanism);
  CK_KEY_TYPE prvType = k, pubType = k;
  rv = GetTemplateKeyType(prv, prvCount, &prvType);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    prvType = k;
  else if (rv != CKR_OK)
    return rv;
  rv = GetTemplateKeyType(pub, pubCount, &pubType);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    pubType = k;
  else if (rv != CKR_OK)
    return rv;
  if (k != ~static_cast<CK_KEY_TYPE>(0) ? prvType != k : prvType != pubType) return CKR_TEMPLATE_INCONSISTENT;
  rv = ValidatePrivateKeyTemplate(prv, prvCount, P11_MODE_GENERATE, prvType, 0);
  if (rv != CKR_OK) return rv;
  rv = ValidatePublicKeyTemplate(pub, pubCount, P11_MODE_GENERATE, pubType, 0);
  if (rv != CKR_OK) return rv;
  CK_BBOOL pubOnToken = CK_FALSE;
  if (GetTemplateBool(pub, pubCount, CKA_TOKEN, &pubOnToken) != CKR_OK) pubOnToken = CK_FALSE;

  if (!IsRwSessionState(s->GetState())) return CKR_SESSION_READ_ONLY;
  const CK_SLOT_ID slotId = s->GetSlotId();
  CPkcs11Token* token = nullptr;
  CK_RV status = CKR_OK;
  rv = TokenPreamble(slotId, &token, &status);
  if (rv != CKR_OK) return rv;
  if (IsTokenStatusResult(status)) return CKR_TOKEN_WRITE_PROTECTED;
  if (!IsUserSessionState(s->GetState())) return CKR_USER_NOT_LOGGED_IN;

  CK_OBJECT_HANDLE hPriv = CK_INVALID_HANDLE, hPub = CK_INVALID_HANDLE;
  PeekObjectHandlePair(&hPriv, &hPub);
  bool publicOnToken = pubOnToken != CK_FALSE;
  rv = token->GenerateKeyPair(mechanism, pPrivateKeyTemplate, prvCount, pPublicKeyTemplate, pubCount, hPriv, hPub,
                              &publicOnToken);
  if (rv != CKR_OK) return MapTokenResult(rv, slotId);

  if (!publicOnToken) {
    rv = CreateSessionPublicKey(s, token, hPriv, hPub, pub, pubCount);
    if (rv != CKR_OK) {
      // A key pair the host cannot be given is taken off the card again.
      token->DestroyObject(hPriv);
      return MapTokenResult(rv, slotId);
    }
  }
  if (!ReserveObjectHandlePair(hPriv, hPub)) {
    if (!publicOnToken) s->DestroyObject(hPub);
    if (publicOnToken) token->DestroyObject(hPub);
    token->DestroyObject(hPriv);
    return MapTokenResult(CKR_FUNCTION_FAILED, slotId);
  }
  *phPrivateKey = hPriv;
  *phPublicKey = hPub;
  return CKR_OK;
}

CK_RV CPkcs11App::CreateSessionPublicKey(CPkcs11Session* s, CPkcs11Token* token, CK_OBJECT_HANDLE hPriv,
                                         CK_OBJECT_HANDLE hPub, const CK_ATTRIBUTE* pub, CK_ULONG pubCount) {
  // The modulus and exponent of the new private key, lengths first.
  ValueBuffer modulus, exponent;
  CK_ATTRIBUTE values[2] = {{CKA_MODULUS, nullptr, 0}, {CKA_PUBLIC_EXPONENT, nullptr, 0}};
  CK_RV rv = token->GetAttributeValue(hPriv, values, 2);
  if (rv != CKR_OK) return rv;
  for (const CK_ATTRIBUTE& v : values)
    if (v.ulValueLen == 0 || v.ulValueLen > P11_MAX_ATTRIBUTE_VALUE_LENGTH) return CKR_FUNCTION_FAILED;
  try {
    modulus.bytes.resize(values[0].ulValueLen);
    exponent.bytes.resize(values[1].ulValueLen);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  values[0].pValue = modulus.bytes.data();
  values[1].pValue = exponent.bytes.data();
  rv = token->GetAttributeValue(hPriv, values, 2);
  if (rv != CKR_OK) return rv;

  // The key's own values, then the caller's template as a session object's.
  static const CK_BBOOL kFalse = CK_FALSE;
  static const CK_OBJECT_CLASS kPublicKey = CKO_PUBLIC_KEY;
  static const CK_KEY_TYPE kRsa = CKK_RSA;
  std::vector<CK_ATTRIBUTE> tmpl;
  try {
    tmpl.push_back(values[0]);
    tmpl.push_back(values[1]);
    if (!TemplateHasAttribute(pub, pubCount, CKA_CLASS))
      tmpl.push_back({CKA_CLASS, const_cast<CK_OBJECT_CLASS*>(&kPublicKey), sizeof kPublicKey});
    if (!TemplateHasAttribute(pub, pubCount, CKA_KEY_TYPE))
      tmpl.push_back({CKA_KEY_TYPE, const_cast<CK_KEY_TYPE*>(&kRsa), sizeof kRsa});
    for (CK_ULONG i = 0; i < pubCount; ++i) {
      const CK_ATTRIBUTE_TYPE t = pub[i].type;
      if (t == CKA_MODULUS_BITS || t == CKA_MODULUS || t == CKA_PUBLIC_EXPONENT) continue;
      if (t == CKA_TOKEN)
        tmpl.push_back({CKA_TOKEN, const_cast<CK_BBOOL*>(&kFalse), sizeof kFalse});
      else
        tmpl.push_back(pub[i]);
    }
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return s->CreateObject(tmpl.data(), static_cast<CK_ULONG>(tmpl.size()), hPub);
}

// ---- random numbers ----

CK_RV CPkcs11App::GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
  if (pRandomData == nullptr || ulRandomLen == 0) return CKR_ARGUMENTS_BAD;
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Token* token = nullptr;
  CK_SLOT_ID slotId = 0;
  const CK_RV rv = RandomPreamble(hSession, &token, &slotId);
  if (rv != CKR_OK) return rv;
  return MapTokenResult(token->GenerateRandom(pRandomData, ulRandomLen), slotId);
}

CK_RV CPkcs11App::SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
  if (!IsInitialized()) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (pSeed == nullptr && ulSeedLen == 0) return CKR_ARGUMENTS_BAD;
  Pkcs11LockGuard guard(m_lock);
  CPkcs11Token* token = nullptr;
  CK_SLOT_ID slotId = 0;
  const CK_RV rv = RandomPreamble(hSession, &token, &slotId);
  if (rv != CKR_OK) return rv;
  return MapTokenResult(token->SeedRandom(pSeed, ulSeedLen), slotId);
}

CK_RV CPkcs11App::RandomPreamble(CK_SESSION_HANDLE hSession, CPkcs11Token** token, CK_SLOT_ID* slotId) {
  CPkcs11Session* s = FindSession(hSession, nullptr);
  if (s == nullptr) return CKR_SESSION_HANDLE_INVALID;
  *slotId = s->GetSlotId();
  const CK_RV got = GetSlotToken(*slotId, token);
  if (got != CKR_OK) return got;
  if (*token == nullptr) return CKR_GENERAL_ERROR;
  const CK_RV present = (*token)->CheckTokenPresent();
  if (present != CKR_OK && !IsTokenStatusResult(present)) return MapTokenResult(present, *slotId);
  if ((*token)->HasTokenChanged()) {
    (*token)->AcknowledgeTokenChange();
    return MapTokenResult(CKR_SESSION_CLOSED, *slotId);
  }
  return CKR_OK;
}
