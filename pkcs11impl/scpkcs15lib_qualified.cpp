// The qualified-signature part of a card as the bridge sees it: the PINs that
// guard it.
#include <cstring>
#include <new>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_types.h"
#include "support/vtest.h"

namespace {

// The qualified directory 3F00/DF01.
const uint16_t kQualifiedDir[] = {0x3F00, 0xDF01};
// Kind and attribute codes of PIN objects in the PKCS#15 layer.
constexpr uint32_t kPinObjectKind = 0x1000700;
constexpr uint64_t kAttrKind = 1;
constexpr uint64_t kAttrPinFlags = 0x1000701;
constexpr uint64_t kAttrPinPath = 0x1000709;

uint32_t CardModel(SCCard* card) {
  if (card == nullptr) return 0;
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  card->GetCardInfo(&info);
  return info.cardFamily;
}

}  // namespace

bool SCPkcs15Lib::IsQualifiedPin(SCPkcs15App* app, const void* pin) const {
  AssertInvariant(app != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pApp != NULL");
  AssertInvariant(pin != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "hPin != NULL");
  if (!app->IsPinObject(pin)) return false;
  const ASNPkcs15AuthObject* auth = static_cast<const ASNPkcs15AuthObject*>(pin);
  const ASNPkcs15PinAttributes& a = auth->typeAttributes;
  const uint32_t flags = a.pinFlags.getFlags();
  const bool user = (flags & (SCPkcs15App::PINF_UNBLOCKING | SCPkcs15App::PINF_SO)) == 0;
  if (a.wasPath && a.wasPinReference) {
    long ref = 0;
    try {
      ref = a.pinReference.getLong();
    } catch (...) {
      return false;  // a reference that does not fit
    }
    if (ref == -1) return false;
    uint16_t ids[4];
    const int n = a.path.getPath(ids, 4);
    if (n == 2 && ids[0] == kQualifiedDir[0] && ids[1] == kQualifiedDir[1] && (ref & 0x80) != 0 && user) return true;
  }
  if (!user || CardModel(app->GetCard()) == SC_CARD_TYPE_SETCOS441) return false;
  const ASNPkcs15CommonObjectAttributes& co = auth->commonObjectAttributes;
  if (!co.wasLabel) return false;
  const char* label = reinterpret_cast<const char*>(co.label.getData());
  const size_t len = static_cast<size_t>(co.label.getLength());
  if (label == nullptr || len == 0) return false;
  return FindSubstringNoCase(label, len, "kwalifikowan") != nullptr ||
         FindSubstringNoCase(label, len, "qualified") != nullptr;
}

SCRESULT SCPkcs15Lib::FindQualifiedPin(SCPkcs15App* app, ASNPkcs15AuthObject** pin) const {
  AssertInvariant(app != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pApp != NULL");
  AssertInvariant(pin != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pPin != NULL");
  *pin = nullptr;
  // A user PIN (neither officer's nor unblocking) whose path is the qualified directory.
  SCPkcs15ObjectAttributeList tmpl;
  uint8_t path[4];
  for (int i = 0; i < 2; ++i) {
    path[2 * i] = static_cast<uint8_t>(kQualifiedDir[i] >> 8);
    path[2 * i + 1] = static_cast<uint8_t>(kQualifiedDir[i]);
  }
  if (tmpl.AddInteger(kAttrKind, kPinObjectKind) == nullptr ||
      tmpl.AddFlags(kAttrPinFlags, 0, SCPkcs15App::PINF_UNBLOCKING | SCPkcs15App::PINF_SO) == nullptr ||
      tmpl.AddBinary(kAttrPinPath, path, sizeof path) == nullptr)
    return SC_E_NO_MEMORY;
  std::vector<void*> found;
  SCRESULT rv;
  try {
    rv = app->FindObjects(&tmpl, &found, 0);
  } catch (const std::bad_alloc&) {
    return SC_E_NO_MEMORY;
  }
  if (rv == SC_E_NO_MEMORY) return rv;
  if (rv > 0 && !found.empty()) {
    *pin = static_cast<ASNPkcs15AuthObject*>(found.front());
    return SC_OK;
  }
  if (CardModel(app->GetCard()) != SC_CARD_TYPE_COSMOPOLIC) return SC_E_PKCS15_PIN_NOT_FOUND;
  // Model 3 names its qualified PIN by label.
  SCPkcs15ObjectAttributeList all;
  if (all.AddInteger(kAttrKind, kPinObjectKind) == nullptr) return SC_E_NO_MEMORY;
  found.clear();
  try {
    rv = app->FindObjects(&all, &found, 0);
  } catch (const std::bad_alloc&) {
    return SC_E_NO_MEMORY;
  }
  if (rv == SC_E_NO_MEMORY) return rv;
  for (void* h : found) {
    if (IsQualifiedPin(app, h)) {
      *pin = static_cast<ASNPkcs15AuthObject*>(h);
      return SC_OK;
    }
  }
  return SC_E_PKCS15_PIN_NOT_FOUND;
}
