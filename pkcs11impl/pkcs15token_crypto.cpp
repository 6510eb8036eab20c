// The PKCS#15 token's cryptographic operations: random numbers drawn from the
// card, RSA key pairs generated on the card, and signing and deciphering with
// the card's private keys. Each asks the reader bridge for the slot's card and
// application and turns card results into PKCS#11 return values.
#include <cstring>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/p11template.h"
#include "pkcs11impl/pkcs15app.h"
#include "pkcs11impl/pkcs15attrmap.h"
#include "pkcs11impl/pkcs15token.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/session.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15errors.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"
#include "support/debuglog.h"

namespace {

constexpr CK_ULONG kMaxCount32 = 0xFFFFFFFFUL;
// PKCS #1 v1.5 padding takes at least 11 octets of the modulus.
constexpr CK_ULONG kPkcs1Overhead = 11;
// The flags of a public key made from a generated private key: generated on the card.
constexpr uint32_t kGeneratedKeyAccess = 0x10;

SCCardInfo CardInfoOf(SCCard* card) {
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  if (card != nullptr) card->GetCardInfo(&info);
  return info;
}

// The modulus length of an RSA private key in octets, from its directory record; 0 when not known.
CK_ULONG ModulusOctets(SCPkcs15App* app, void* key) {
  SCPkcs15ObjectAttribute bits(p15attr::kRsaPrivateModulusBits);
  bits.m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(p15attr::kRsaPrivateModulusBits);
  uint32_t n = 0;
  if (app->GetAttributeValue(key, &bits) < 0 || !bits.GetInteger(&n)) return 0;
  return (static_cast<CK_ULONG>(n) + 7) / 8;
}

// Input lengths are checked here, before anything narrows them: an input the
// key cannot take is refused, never cut. An empty input is signed only with
// PKCS #1 padding, which gives it a block of its own; nothing deciphers to an
// empty ciphertext.
CK_RV CheckInputLength(bool sign, CK_MECHANISM_TYPE mechanism, CK_ULONG inLen, CK_ULONG modulus) {
  const CK_RV tooLong = sign ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
  if (inLen > kMaxCount32) return tooLong;
  if (inLen == 0 && (!sign || mechanism != CKM_RSA_PKCS)) return tooLong;
  if (modulus == 0) return CKR_OK;
  CK_ULONG limit = modulus;
  if (sign && mechanism == CKM_RSA_PKCS) limit = modulus > kPkcs1Overhead ? modulus - kPkcs1Overhead : 0;
  return inLen > limit ? tooLong : CKR_OK;
}

// A raw input of the modulus' length must stand below the modulus: the card
// would refuse it only after the PIN-protected key was selected, and a number
// not below it is never reduced. True when it is below or the token cannot
// find the modulus (the card then judges).
bool BelowModulus(SCPkcs15App* app, void* key, const CK_BYTE* in, CK_ULONG inLen) {
  SCPkcs15ObjectAttribute n(p15attr::kRsaPrivateModulus);
  n.m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(p15attr::kRsaPrivateModulus);
  if (app->GetAttributeValue(key, &n) < 0) return true;
  uint32_t len = 0;
  const uint8_t* value = n.GetBinary(&len);
  while (len > 0 && *value == 0) {
    ++value;
    --len;
  }
  while (inLen > 0 && *in == 0) {
    ++in;
    --inLen;
  }
  if (len == 0) return true;
  if (inLen != len) return inLen < len;
  return std::memcmp(in, value, len) < 0;
}

}  // namespace

// ---- random numbers ----

CK_RV CPkcs15Token::GenerateRandom(CK_BYTE_PTR out, CK_ULONG len) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  // The card layer counts in 32 bits: a longer request is refused, never cut.
  if (len > kMaxCount32) return CKR_ARGUMENTS_BAD;
  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  // A card without PKCS#15 structure still serves random numbers.
  const SCRESULT refreshed = lib->RefreshTokenInfo(m_nPkcs15SlotId, 1, 0);
  if (refreshed < 0 && refreshed != SC_E_PKCS15_CARD_NOT_INITIALIZED) return MapScErrorToCkr(refreshed, false);
  SCCard* card = GetSlotCard();
  if (card == nullptr) return CKR_TOKEN_NOT_PRESENT;
  if ((CardInfoOf(card).flags & SC_CARDINFO_HAS_RNG) == 0) return CKR_RANDOM_NO_RNG;
  SCTransactGuard guard(card);
  const SCRESULT rv = card->GetRandom(out, static_cast<uint32_t>(len));
  if (rv == SC_E_UNIMPLEMENTED_FEATURE || rv == SC_E_UNSUPPORTED_FEATURE) return CKR_RANDOM_NO_RNG;
  return rv == 0 ? CKR_OK : MapScErrorToCkr(rv, false);
}

// ---- signing and deciphering ----

CK_RV CPkcs15Token::Sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const CK_BYTE* data, CK_ULONG len,
                         CK_BYTE_PTR sig, CK_ULONG_PTR sigLen) {
  return PrivateKeyOperation(true, mechanism, key, data, len, sig, sigLen);
}

CK_RV CPkcs15Token::Decrypt(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const CK_BYTE* in, CK_ULONG len,
                            CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
  return PrivateKeyOperation(false, mechanism, key, in, len, out, outLen);
}

CK_RV CPkcs15Token::PrivateKeyOperation(bool sign, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE hKey,
                                        const CK_BYTE* in, CK_ULONG inLen, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  void* key = GetObjectForHandle(hKey);
  if (key == nullptr) return CKR_OBJECT_HANDLE_INVALID;
  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  // A private key is used only by its user: without login the card is not asked.
  if (IsPrivateObject(lib->GetSlotApp(m_nPkcs15SlotId), key) && GetLoggedInUserType() != CKU_USER)
    return CKR_USER_NOT_LOGGED_IN;
  const SCRESULT refreshed = lib->RefreshTokenInfo(m_nPkcs15SlotId, 1, 0);
  if (refreshed < 0) return MapScErrorToCkr(refreshed, false);
  SCCard* card = GetSlotCard();
  SCPkcs15App* app = lib->GetSlotApp(m_nPkcs15SlotId);
  if (card == nullptr || app == nullptr) return CKR_TOKEN_NOT_PRESENT;

  uint32_t algorithm = 0;
  if (mechanism == CKM_RSA_PKCS)
    algorithm = SC_SIGN_PKCS1;
  else if (mechanism == CKM_RSA_X_509)
    algorithm = SC_SIGN_RAW;
  else
    return CKR_MECHANISM_INVALID;
  const SCCardInfo info = CardInfoOf(card);
  if ((info.rsaCaps & (sign ? SC_RSA_CAP_SIGN : SC_RSA_CAP_DECRYPT)) == 0) return CKR_MECHANISM_INVALID;
  const CK_ULONG modulus = ModulusOctets(app, key);
  const CK_RV length = CheckInputLength(sign, mechanism, inLen, modulus);
  if (length != CKR_OK) return length;
  // Only a raw block or a ciphertext of the modulus' length can reach the modulus.
  if ((!sign || mechanism == CKM_RSA_X_509) && inLen == modulus && !BelowModulus(app, key, in, inLen))
    return sign ? CKR_DATA_INVALID : CKR_ENCRYPTED_DATA_INVALID;

  // The caller's room as the card layer counts it; a larger buffer only offers more.
  uint32_t room = 0;
  if (out != nullptr && outLen != nullptr) room = *outLen > kMaxCount32 ? 0xFFFFFFFFu : static_cast<uint32_t>(*outLen);
  uint32_t* roomPtr = outLen != nullptr ? &room : nullptr;
  const uint32_t count = static_cast<uint32_t>(inLen);
  SCRESULT rv = sign ? app->Sign(key, algorithm, 0, in, count, out, roomPtr)
                     : app->Decrypt(key, algorithm, in, count, out, roomPtr);

  if (info.cardFamily == SC_CARD_TYPE_COSMOPOLIC) {
    // The qualified PIN is good for one use of its key.
    ASNPkcs15AuthObject* qualified = nullptr;
    ASNPkcs15AuthObject* auth = nullptr;
    if (lib->FindQualifiedPin(app, &qualified) >= 0 && qualified != nullptr &&
        app->FindAuthObjectForObject(key, &auth, false) >= 0 && auth == qualified)
      app->LogoutPin(auth, false);
  }
  CK_RV expired = CKR_OK;
  if (info.cardFamily == SC_CARD_TYPE_CLASSIC && rv == SC_E_NO_REFERENCED_DATA) {
    // This card forgets the key's reference when the user PIN has expired.
    if (GetPinStatus(GetPinHandleForUser(CKU_USER), nullptr) == CKR_PIN_EXPIRED) expired = CKR_PIN_EXPIRED;
  }
  if (outLen != nullptr) *outLen = room;
  if (expired != CKR_OK) return expired;
  if (sign && rv == SC_E_INVALID_DATA_LENGTH) return CKR_DATA_LEN_RANGE;
  return MapScErrorToCkr(rv, false);
}

// ---- key pairs ----

CK_RV CPkcs15Token::GenerateKeyPair(CK_MECHANISM_TYPE mechanism, CK_ATTRIBUTE_PTR prvTmpl, CK_ULONG prvCount,
                                    CK_ATTRIBUTE_PTR pubTmpl, CK_ULONG pubCount, CK_OBJECT_HANDLE hPrivate,
                                    CK_OBJECT_HANDLE hPublic, bool* publicCreated) {
  if (publicCreated != nullptr) *publicCreated = false;
  if (!IsAttached()) return CKR_GENERAL_ERROR;
  CK_BBOOL onToken = CK_FALSE;
  CK_RV rv = GetTemplateBool(prvTmpl, prvCount, CKA_TOKEN, &onToken);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND) return CKR_TEMPLATE_INCOMPLETE;
  if (rv != CKR_OK) return rv;
  if (onToken == CK_FALSE) {
    DebugLogWrite(0, 0, "CPkcs15Token::GenerateKeyPair(): atrybut CKA_TOKEN nieustawiony dla prvKey");
    return CKR_TEMPLATE_INCONSISTENT;
  }
  rv = CheckKeyPairTemplates(mechanism, prvTmpl, prvCount, pubTmpl, pubCount);
  if (rv != CKR_OK) return rv;
  CK_BBOOL publicOnToken = CK_FALSE;
  rv = GetTemplateBool(pubTmpl, pubCount, CKA_TOKEN, &publicOnToken);
  if (rv == CKR_ATTRIBUTE_NOT_FOUND)
    publicOnToken = CK_FALSE;
  else if (rv != CKR_OK)
    return rv;
  if ((hPrivate != 0 && GetObjectForHandle(hPrivate) != nullptr) ||
      (hPublic != 0 && GetObjectForHandle(hPublic) != nullptr))
    return CKR_OBJECT_HANDLE_INVALID;

  SCPkcs15Lib* lib = m_pApp->GetPkcs15Lib();
  const SCRESULT refreshed = lib->RefreshTokenInfo(m_nPkcs15SlotId, 1, 0);
  if (refreshed < 0) return MapScErrorToCkr(refreshed, false);
  SCCard* card = GetSlotCard();
  SCPkcs15App* app = lib->GetSlotApp(m_nPkcs15SlotId);
  if (card == nullptr || app == nullptr) return CKR_TOKEN_NOT_PRESENT;
  if ((CardInfoOf(card).rsaCaps & SC_RSA_CAP_GENERATE) == 0) return CKR_MECHANISM_INVALID;

  SCPkcs15ObjectAttributeList prvList, pubList;
  rv = BuildKeyPairAttributeLists(mechanism, prvTmpl, prvCount, pubTmpl, pubCount, &prvList, &pubList);
  if (rv != CKR_OK) return rv;
  CK_BBOOL qualified = CK_FALSE;
  if (GetTemplateBool(prvTmpl, prvCount, CKA_MIRTAL_QUALIFIED_OBJECT, &qualified) == CKR_OK && qualified != CK_FALSE)
    return CKR_ATTRIBUTE_VALUE_INVALID;

  void* prvObject = nullptr;
  void* pubObject = nullptr;
  const uint32_t flags = publicOnToken != CK_FALSE ? 0 : SCPkcs15App::CREATE_PUBLIC_IF_KEPT;
  SCRESULT r = app->GenerateKeyPair(prvList, &pubList, &prvObject, &pubObject, flags);
  if (r < 0) return MapScErrorToCkr(r, false);

  if (pubObject == nullptr && publicOnToken != CK_FALSE) {
    // The public key's object is made from the new private key's values.
    const uint64_t from[2] = {p15attr::kRsaPrivateModulus, p15attr::kRsaPrivatePublicExponent};
    const uint64_t to[2] = {p15attr::kRsaPublicModulus, p15attr::kRsaPublicExponent};
    SCPkcs15ObjectAttributeList values;
    bool memory = true;
    for (uint64_t type : from) memory = memory && values.AddAttribute(type) != nullptr;
    r = memory ? app->GetAttributeValues(prvObject, &values) : SC_E_NO_MEMORY;
    for (size_t i = 0; i < 2 && r >= 0; ++i) {
      uint32_t n = 0;
      const uint8_t* bytes = values.GetAt(i)->GetBigInt(&n);
      pubList.RemoveAttribute(to[i]);
      if (bytes == nullptr || pubList.AddBigInt(to[i], bytes, n) == nullptr) r = SC_E_NO_MEMORY;
    }
    if (r >= 0) {
      SCPkcs15ObjectAttribute* access = pubList.FindAttribute(p15attr::kKeyAccess);
      if (access == nullptr) access = pubList.AddAttribute(p15attr::kKeyAccess);
      if (access == nullptr || !access->SetFlags(p15attr::kKeyAccess, kGeneratedKeyAccess, 0xFFFFFFFFu))
        r = SC_E_NO_MEMORY;
    }
    if (r >= 0) r = app->CreateObject(pubList, &pubObject, 0);
    if (r < 0) {
      // A key pair that cannot be handed out whole is taken back, whatever the failure.
      app->DestroyObject(prvObject, true);
      return MapScErrorToCkr(r, false);
    }
  }
  if (hPrivate != 0) AddHandle(prvObject, hPrivate);
  if (pubObject != nullptr && hPublic != 0) AddHandle(pubObject, hPublic);
  if (publicCreated != nullptr) *publicCreated = pubObject != nullptr;
  return CKR_OK;
}
