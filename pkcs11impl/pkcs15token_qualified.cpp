// The PKCS#15 token's vendor operations on the card as a whole: the state of
// its qualified-signature part, the end of the token's use, and the token
// data (CKA_MIRTAL_*): the card's activation state, the system key of the
// personalisation agent and the state of the card's secure channel.
#include <cstring>

#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/pintextcopies.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/session.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_smctx.h"
#include "smartcard/sc_types.h"

namespace {

// Token data follows the two-call rule: a null buffer asks for the length, a
// short buffer gets CKR_BUFFER_TOO_SMALL with the length needed.
CK_RV PutTokenData(CK_BYTE_PTR out, CK_ULONG_PTR len, const void* data, CK_ULONG n) {
  if (out != nullptr) {
    if (*len < n) {
      *len = n;
      return CKR_BUFFER_TOO_SMALL;
    }
    if (n) std::memcpy(out, data, n);
  }
  *len = n;
  return CKR_OK;
}

CK_RV PutBool(CK_BYTE_PTR out, CK_ULONG_PTR len, bool value) {
  const CK_BBOOL b = value ? CK_TRUE : CK_FALSE;
  return PutTokenData(out, len, &b, 1);
}

// A PIN longer than this is no PIN: the call's arguments are wrong.
constexpr CK_ULONG kMaxTerminationPin = 4096;

}  // namespace

CK_RV CPkcs15Token::TerminateTokenUsage(const CK_UTF8CHAR* text, CK_ULONG len) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  if (text != nullptr && len > kMaxTerminationPin) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready != CKR_OK) return ready;
  PinTextCopies copies;
  const char* pin = nullptr;
  const CK_RV copied = copies.Add(text, len, &pin);
  if (copied != CKR_OK) return copied;
  return lib->TerminateTokenUsage(app, pin);
}

CK_RV CPkcs15Token::GetQualifiedPartCharacteristics(int which, CK_FLAGS* flags) {
  if (which != 1 && which != 2) return CKR_FUNCTION_NOT_SUPPORTED;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  if (flags == nullptr) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready != CKR_OK) return ready;
  return lib->GetQualifiedPartCharacteristics(app, flags, which == 2);
}

CK_RV CPkcs15Token::GetTokenData(CK_ULONG kind, CK_BYTE_PTR out, CK_ULONG_PTR len) {
  if (len == nullptr) return CKR_ARGUMENTS_BAD;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready != CKR_OK && ready != TOKEN_STATUS_CARD_NOT_INITIALIZED && ready != TOKEN_STATUS_CARD_NOT_ACTIVATED)
    return ready;
  const CK_SLOT_ID slot = m_nPkcs15SlotId;
  const SCRESULT ri = lib->GetSlotReaderIndex(slot);
  const uint32_t reader = static_cast<uint32_t>(ri);
  const auto mapped = [](SCRESULT rv) {
    return rv == SC_E_UNIMPLEMENTED_FEATURE ? CKR_ATTRIBUTE_TYPE_INVALID : MapScErrorToCkr(rv, false);
  };
  switch (kind) {
    case CKA_MIRTAL_NOT_ACTIVATED: {
      if (ri < 0) return CKR_FUNCTION_FAILED;
      uint32_t model = 0;
      const SCRESULT state = lib->GetReaderCardAndKind(reader, &model, nullptr);
      if (state < 0) return mapped(state);
      return PutBool(out, len, model == SC_CARD_TYPE_IAS && state == 2);
    }
    case CKA_MIRTAL_SYSAUTH_KEY: {
      // The bridge copies straight into the caller's buffer, and only when it is large enough.
      const SCRESULT n = lib->GetCardKeySet(slot, out, out != nullptr ? *len : 0);
      if (n == SC_E_PKCS15_TEMPLATE_INCONSISTENT) return CKR_ATTRIBUTE_VALUE_INVALID;
      if (n == SC_E_PKCS15_NOT_LOGGED_IN) return CKR_ATTRIBUTE_SENSITIVE;
      if (n < 0) return mapped(n);
      const CK_ULONG need = static_cast<CK_ULONG>(n);
      if (out != nullptr && *len < need) {
        *len = need;
        return CKR_BUFFER_TOO_SMALL;
      }
      *len = need;
      return CKR_OK;
    }
    case CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA:
    case CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_TYPE: {
      size_t got = 0;
      const SCRESULT rv = lib->GetTokenData(slot, kind, nullptr, &got);
      return rv < 0 ? mapped(rv) : CKR_ATTRIBUTE_TYPE_INVALID;
    }
    case CKA_MIRTAL_AGENT_AUTHENTICATED: {
      const SCRESULT rv = lib->CheckCardKeySet(slot);
      if (rv < 0 && rv != SC_E_PKCS15_NOT_LOGGED_IN) return mapped(rv);
      return PutBool(out, len, rv >= 0);
    }
    case CKA_MIRTAL_VELDOR_TOKEN: {
      bool veldor = app != nullptr && app->IsKnownProfile();
      if (!veldor && ri >= 0)
        veldor = lib->IsCardNotInitialized(reader) || lib->GetReaderCardAndKind(reader, nullptr, nullptr) == 2;
      return PutBool(out, len, veldor);
    }
    case CKA_MIRTAL_ACTIVATE_FOLLOWS_INITIALIZE: {
      if (ri < 0) return CKR_FUNCTION_FAILED;
      const SCRESULT state = lib->GetReaderCardAndKind(reader, nullptr, nullptr);
      if (state < 0) return mapped(state);
      return PutBool(out, len, false);
    }
    case CKA_MIRTAL_SECURE_MESSAGING_AVAILABLE: {
      bool available = app != nullptr;
      if (available) {
        const SCByteBuffer* keys = app->GetHeaderList().GetKeySet();
        for (int i = 0; i < 3; ++i) available = available && !keys[i].IsZero();
      }
      return PutBool(out, len, available);
    }
    case CKA_MIRTAL_SECURE_MESSAGING_ENABLED: {
      SCCard* card = GetSlotCard();
      const SCSmCtx* ctx = card != nullptr ? card->GetSmCtx() : nullptr;
      return PutBool(out, len, ctx != nullptr && ctx->GetKind() == SC_SM_KIND_CARD && ctx->IsEstablished());
    }
    default:
      return CKR_ATTRIBUTE_TYPE_INVALID;
  }
}

CK_RV CPkcs15Token::SetTokenData(CK_ULONG kind, CK_BYTE_PTR data, CK_ULONG len) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  if (data == nullptr && len != 0) return CKR_ARGUMENTS_BAD;
  SCPkcs15App* app = nullptr;
  SCPkcs15Lib* lib = nullptr;
  const CK_RV ready = RefreshAndGetApp(&app, &lib);
  if (ready != CKR_OK && ready != TOKEN_STATUS_CARD_NOT_ACTIVATED) return ready;
  const CK_SLOT_ID slot = m_nPkcs15SlotId;
  switch (kind) {
    case CKA_MIRTAL_SYSAUTH_KEY: {
      const SCRESULT rv = lib->SetCardAuthKeys(slot, data, len, true);
      if (rv >= 0) return CKR_OK;
      if (rv == SC_E_UNSUPPORTED_FEATURE) return CKR_KEY_FUNCTION_NOT_PERMITTED;
      if (rv == SC_E_PIN_TOO_SHORT) return CKR_DATA_LEN_RANGE;
      if (rv == SC_E_VERIFY_FAILED || rv == SC_E_AUTH_FAILED) return CKR_ATTRIBUTE_VALUE_INVALID;
      return MapScErrorToCkr(rv, false);
    }
    case CKA_MIRTAL_NOT_ACTIVATED: {
      if (len != 1) return CKR_ATTRIBUTE_VALUE_INVALID;
      const SCRESULT ri = lib->GetSlotReaderIndex(slot);
      if (ri < 0) return CKR_FUNCTION_FAILED;
      const uint32_t reader = static_cast<uint32_t>(ri);
      uint32_t model = 0;
      const SCRESULT state = lib->GetReaderCardAndKind(reader, &model, nullptr);
      if (state >= 0 && !(model == SC_CARD_TYPE_IAS && state == 2)) return CKR_ATTRIBUTE_READ_ONLY;
      if (data[0] != CK_FALSE) return CKR_OK;  // "not activated" stays as it is
      const bool secure = (lib->GetPkcs15Flags() & PKCS15_FLAG_ACTIVATE_UNSECURED) == 0;
      const SCRESULT rv = lib->ActivateCard(reader, secure);
      if (rv < 0) return MapScErrorToCkr(rv, false);
      Logout();
      return CKR_OK;
    }
    default:
      if (kind >= CKA_MIRTAL_SYSAUTH_KEY_DERIVATION_DATA && kind <= CKA_MIRTAL_SECURE_MESSAGING_ENABLED)
        return CKR_ATTRIBUTE_READ_ONLY;
      return CKR_ATTRIBUTE_TYPE_INVALID;
  }
}
