// The qualified-signature part of a card as the bridge sees it: the PINs that
// guard it, its private key and certificate, the state of its fixed files, the
// rules for changing them, and the end of a model-1 token's use.
#include <cstring>
#include <new>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/sccardfilehelper.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15codes.h"
#include "pkcs15/scpkcs15objectlist.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_path.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"
#include "support/vtest.h"

namespace {

// The qualified directory 3F00/DF01.
const uint16_t kQualifiedDir[] = {0x3F00, 0xDF01};
// Kind and attribute codes of PIN objects in the PKCS#15 layer.

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
  const ASNPkcs15AuthObject* auth = app->PinFor(pin);
  if (auth == nullptr) return false;
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
  if (tmpl.AddInteger(p15attr::kKind, P15_KIND_PIN_OBJECT) == nullptr ||
      tmpl.AddFlags(p15attr::kPinFlags, 0, SCPkcs15App::PINF_UNBLOCKING | SCPkcs15App::PINF_SO) == nullptr ||
      tmpl.AddBinary(p15attr::kPinPath, path, sizeof path) == nullptr)
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
    *pin = app->PinFor(found.front());
    return *pin != nullptr ? SC_OK : SC_E_PKCS15_PIN_NOT_FOUND;
  }
  if (CardModel(app->GetCard()) != SC_CARD_TYPE_COSMOPOLIC) return SC_E_PKCS15_PIN_NOT_FOUND;
  // Model 3 names its qualified PIN by label.
  SCPkcs15ObjectAttributeList all;
  if (all.AddInteger(p15attr::kKind, P15_KIND_PIN_OBJECT) == nullptr) return SC_E_NO_MEMORY;
  found.clear();
  try {
    rv = app->FindObjects(&all, &found, 0);
  } catch (const std::bad_alloc&) {
    return SC_E_NO_MEMORY;
  }
  if (rv == SC_E_NO_MEMORY) return rv;
  for (void* h : found) {
    if (IsQualifiedPin(app, h)) {
      *pin = app->PinFor(h);
      return SC_OK;
    }
  }
  return SC_E_PKCS15_PIN_NOT_FOUND;
}

// ---- qualified objects ----

namespace {

constexpr size_t kMaxValuePath = 10;

bool IsCardGone(SCRESULT rv) { return rv == SC_E_NO_SMARTCARD || rv == SC_E_CARD_REMOVED || rv == SC_E_READER_NOT_AVAILABLE; }

SCRESULT KindOf(SCPkcs15App* app, void* object) { return object != nullptr ? app->GetObjectKind(object) : SC_E_PKCS15_INVALID_HANDLE; }

// A binary attribute of an object; false when it has none.
bool BinaryAttribute(SCPkcs15App* app, void* object, uint64_t type, std::vector<uint8_t>* out) {
  SCPkcs15ObjectAttribute a(type);
  a.m_storeType = SCPkcs15ObjectAttribute::GetStoreTypeForAttribute(type);
  if (app->GetAttributeValue(object, &a) < 0) return false;
  uint32_t len = 0;
  const uint8_t* v = a.GetBinary(&len);
  if (v == nullptr || len == 0) return false;
  out->assign(v, v + len);
  return true;
}

std::vector<uint8_t> AuthIdOf(const ASNPkcs15AuthObject* pin) {
  const long n = pin->classAttributes.authId.getLength();
  const uint8_t* b = pin->classAttributes.authId.getData();
  return n > 0 && b != nullptr ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
}

// Whether the object's value file lies on the given absolute path.
bool ValuePathIs(SCPkcs15App* app, void* object, const uint16_t* want, size_t count) {
  SCPkcs15ObjectList* list = app->FindListForHandle(object);
  SCPkcs15PathObjectInfo* value = nullptr;
  if (list == nullptr || list->GetValueObject(object, &value) < 0 || value == nullptr) return false;
  SCPath path;
  if (!value->GetFullPathInto(path) || path.Count() > kMaxValuePath || path.Count() != count) return false;
  for (size_t i = 0; i < count; ++i)
    if (path[i] != want[i]) return false;
  return true;
}

// Objects of a kind with one attribute of a given value.
SCRESULT FindByAttribute(SCPkcs15App* app, uint32_t kind, uint64_t type, const std::vector<uint8_t>& value,
                         std::vector<void*>* out) {
  SCPkcs15ObjectAttributeList tmpl;
  if ((kind != 0 && tmpl.AddInteger(p15attr::kKind, kind) == nullptr) ||
      tmpl.AddBinary(type, value.data(), static_cast<uint32_t>(value.size())) == nullptr)
    return SC_E_NO_MEMORY;
  try {
    return app->FindObjects(&tmpl, out, 0);
  } catch (const std::bad_alloc&) {
    return SC_E_NO_MEMORY;
  }
}

// The first octets of the selected file (at most 32) hold something other than the erased value, 0 or FF.
SCRESULT HoldsContent(SCCard* card, const SCFileHeader* header, uint8_t erased) {
  uint8_t buf[32];
  std::memset(buf, erased, sizeof buf);
  const uint32_t size = header != nullptr ? header->GetFileSize() : 0;
  if (size != 0) {
    const SCRESULT r = card->ReadBinary(0, buf, size < sizeof buf ? size : sizeof buf);
    if (r < 0) return r;
  }
  for (uint8_t b : buf)
    if (b != erased && b != 0x00 && b != 0xFF) return 1;
  return 0;
}

bool IsActivatedState(uint32_t lcs) { return lcs == SC_LCS_ACTIVATED || lcs == SC_LCS_NONE; }

}  // namespace

bool SCPkcs15Lib::IsQualifiedPrivateKey(SCPkcs15App* app, void* object) const {
  if (app == nullptr || KindOf(app, object) != static_cast<SCRESULT>(P15_KIND_RSA_PRIVATE_KEY)) return false;
  const uint32_t model = CardModel(app->GetCard());
  if (model == SC_CARD_TYPE_COSMOPOLIC) {
    ASNPkcs15AuthObject* pin = nullptr;
    std::vector<uint8_t> authId;
    return FindQualifiedPin(app, &pin) >= 0 && pin != nullptr &&
           BinaryAttribute(app, object, p15attr::kAuthId, &authId) && authId == AuthIdOf(pin);
  }
  if (model == SC_CARD_TYPE_SETCOS441) {
    size_t n = 0;
    const uint16_t* path = SCCardFileHelper::GetKeyFilePath(&n);
    return ValuePathIs(app, object, path, n);
  }
  return false;
}

bool SCPkcs15Lib::IsQualifiedCertificate(SCPkcs15App* app, void* object) const {
  if (app == nullptr) return false;
  const SCRESULT kind = KindOf(app, object);
  if (kind < 0 || (static_cast<uint32_t>(kind) & P15_CLASS_MASK) != P15_KIND_CERTIFICATE) return false;
  const uint32_t model = CardModel(app->GetCard());
  if (model == SC_CARD_TYPE_COSMOPOLIC) {
    ASNPkcs15AuthObject* pin = nullptr;
    if (FindQualifiedPin(app, &pin) < 0 || pin == nullptr) return false;
    std::vector<void*> keys;
    if (FindByAttribute(app, P15_KIND_PRIVATE_KEY, p15attr::kAuthId, AuthIdOf(pin), &keys) <= 0) return false;
    std::vector<uint8_t> certId, keyId;
    if (!BinaryAttribute(app, object, p15attr::kCertId, &certId)) return false;
    for (void* key : keys)
      if (BinaryAttribute(app, key, p15attr::kKeyId, &keyId) && keyId == certId) return true;
    return false;
  }
  if (model == SC_CARD_TYPE_SETCOS441) {
    size_t n = 0;
    const uint16_t* path = SCCardFileHelper::GetCertFilePath(&n);
    return ValuePathIs(app, object, path, n);
  }
  return false;
}

int SCPkcs15Lib::GetQualifiedObjectKind(SCPkcs15App* app, void* object) const {
  if (IsQualifiedPrivateKey(app, object)) return QUALIFIED_OBJECT_PRIVATE_KEY;
  if (IsQualifiedCertificate(app, object)) return QUALIFIED_OBJECT_CERTIFICATE;
  return QUALIFIED_OBJECT_NONE;
}

// ---- the state of the qualified part ----

CK_RV SCPkcs15Lib::GetQualifiedPartCharacteristics(SCPkcs15App* app, CK_FLAGS* flags, bool reportAbsent) const {
  AssertInvariant(flags != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pFlags != NULL");
  *flags = 0;
  SCCard* card = app != nullptr ? app->GetCard() : nullptr;
  if (card == nullptr) return CKR_GENERAL_ERROR;
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  card->GetCardInfo(&info);
  if (info.cardFamily != SC_CARD_TYPE_SETCOS441 && info.cardFamily != SC_CARD_TYPE_COSMOPOLIC) return CKR_OK;
  ASNPkcs15AuthObject* pin = nullptr;
  const SCRESULT found = FindQualifiedPin(app, &pin);
  if (found == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
  if (pin == nullptr) {
    if (!reportAbsent) return CKR_OK;
    *flags = info.cardFamily == SC_CARD_TYPE_SETCOS441
                 ? CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE
                 : (CKF_MIRTAL_QUAL_SIGGDIR_PRESENT | CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE |
                    CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT | CKF_MIRTAL_QUAL_USERCERT_PRESENT |
                    CKF_MIRTAL_QUAL_ROOTPUBKEY_PRESENT);
  }

  if (info.cardFamily == SC_CARD_TYPE_COSMOPOLIC) {
    if (pin == nullptr) return CKR_OK;
    std::vector<void*> keys;
    const SCRESULT r = FindByAttribute(app, P15_KIND_PRIVATE_KEY, p15attr::kAuthId, AuthIdOf(pin), &keys);
    if (r == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
    if (IsCardGone(r)) return CKR_DEVICE_REMOVED;
    if (r <= 0 || keys.empty()) return CKR_OK;
    *flags |= CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT | CKF_MIRTAL_QUAL_USERPRVKEY_INITIATED |
              CKF_MIRTAL_QUAL_USERPRVKEY_ACTIVATED | CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE;
    void* cert = nullptr;
    const SCRESULT c = app->FindCertificateForKey(keys.front(), &cert);
    if (c == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
    if (IsCardGone(c)) return CKR_DEVICE_REMOVED;
    if (c >= 0 && cert != nullptr)
      *flags |= CKF_MIRTAL_QUAL_USERCERT_PRESENT | CKF_MIRTAL_QUAL_USERCERT_INITIATED |
                CKF_MIRTAL_QUAL_USERCERT_ACTIVATED | CKF_MIRTAL_QUAL_USERCERT_VISIBLE |
                CKF_MIRTAL_QUAL_SIGGDIR_PRESENT | CKF_MIRTAL_QUAL_SIGGDIR_ACTIVATED | CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE;
    return CKR_OK;
  }

  // Model 1: the fixed files of the qualified directory.
  {
    SCTransactGuard guard(card);
    size_t n = 0;
    const uint16_t* dir = SCCardFileHelper::GetAppDirPath(&n);
    SCFileHeader* header = nullptr;
    SCRESULT r = card->SelectPath(dir, n, &header);
    if (IsCardGone(r)) return CKR_DEVICE_REMOVED;
    if (r >= 0) {
      *flags |= CKF_MIRTAL_QUAL_SIGGDIR_PRESENT;
      if (header != nullptr && IsActivatedState(header->GetLifeCycleState())) *flags |= CKF_MIRTAL_QUAL_SIGGDIR_ACTIVATED;
    }
    SCFileHeader::SafeRelease(header);
    struct FixedFile {
      const uint16_t* path;
      CK_FLAGS present, initiated, activated;
      bool key;
    } const files[] = {
        {SCCardFileHelper::GetKeyFilePath(nullptr), CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT,
         CKF_MIRTAL_QUAL_USERPRVKEY_INITIATED, CKF_MIRTAL_QUAL_USERPRVKEY_ACTIVATED, true},
        {SCCardFileHelper::GetCertFilePath(nullptr), CKF_MIRTAL_QUAL_USERCERT_PRESENT,
         CKF_MIRTAL_QUAL_USERCERT_INITIATED, CKF_MIRTAL_QUAL_USERCERT_ACTIVATED, false},
        {SCCardFileHelper::GetDataFilePath(nullptr), CKF_MIRTAL_QUAL_ROOTPUBKEY_PRESENT,
         CKF_MIRTAL_QUAL_ROOTPUBKEY_INITIATED, CKF_MIRTAL_QUAL_ROOTPUBKEY_ACTIVATED, false},
    };
    for (const FixedFile& f : files) {
      header = nullptr;
      r = card->SelectQualifiedPath(f.path, 3, &header);
      if (IsCardGone(r)) {
        SCFileHeader::SafeRelease(header);
        return CKR_DEVICE_REMOVED;
      }
      if (r < 0) {
        SCFileHeader::SafeRelease(header);
        continue;
      }
      *flags |= f.present;
      if (header != nullptr && IsActivatedState(header->GetLifeCycleState())) *flags |= f.activated;
      SCRESULT content;
      if (f.key) {
        uint32_t nLen = 0, eLen = 0, bits = 0;
        content = card->ReadRsaPublicKey(&nLen, &eLen, nullptr, nullptr, &bits, 0xFF);
        content = (content >= 0 && bits != 0 && bits != 0xFFFFFFFFu && nLen != 0 && eLen != 0) ? 1 : content;
      } else {
        content = HoldsContent(card, header, info.erasedValue);
      }
      SCFileHeader::SafeRelease(header);
      if (IsCardGone(content)) return CKR_DEVICE_REMOVED;
      if (content == 1) *flags |= f.initiated;
    }
  }
  // Which of the application's objects show the qualified key and certificate.
  std::vector<void*> objects;
  SCPkcs15ObjectAttributeList keys, certs;
  if (keys.AddInteger(p15attr::kKind, P15_KIND_PRIVATE_KEY) == nullptr ||
      certs.AddInteger(p15attr::kKind, P15_KIND_CERTIFICATE) == nullptr)
    return CKR_HOST_MEMORY;
  try {
    if (app->FindObjects(&keys, &objects, 0) > 0)
      for (void* o : objects)
        if (IsQualifiedPrivateKey(app, o)) *flags |= CKF_MIRTAL_QUAL_USERPRVKEY_VISIBLE;
    objects.clear();
    if (app->FindObjects(&certs, &objects, 0) > 0)
      for (void* o : objects)
        if (IsQualifiedCertificate(app, o)) *flags |= CKF_MIRTAL_QUAL_USERCERT_VISIBLE;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  }
  return CKR_OK;
}

SCRESULT SCPkcs15Lib::GetQualifiedCertFileAccess(SCPkcs15App* app) const {
  SCCard* card = app != nullptr ? app->GetCard() : nullptr;
  if (card == nullptr) return SC_E_BAD_USAGE;
  SCTransactGuard guard(card);
  size_t n = 0;
  const uint16_t* certPath = SCCardFileHelper::GetCertFilePath(&n);
  SCRESULT r = card->SelectPath(certPath, n - 1, nullptr);
  if (r == SC_E_FILE_NOT_FOUND) return QUALIFIED_ACCESS_NO_CERT_FILE;
  if (r < 0) return r;
  r = card->SelectChildEf(certPath[n - 1], nullptr);
  if (r < 0 && r != SC_E_FILE_NOT_FOUND) return r;
  const bool certFound = r >= 0;
  uint32_t access = certFound ? 0 : QUALIFIED_ACCESS_NO_CERT_FILE;
  const SCFileHeaderList& refs = app->GetHeaderList();
  const uint8_t userRef = refs.GetUserPinRef();
  const uint8_t sysRef = refs.GetSysKeyRef();
  const auto take = [&](const SCAccessRequest& req, uint32_t userBit, uint32_t sysBit) {
    if (userRef != SC_REF_UNUSED && req.refs.Contains(static_cast<uint16_t>(0xC000 | userRef))) access |= userBit;
    if (sysRef != SC_REF_UNUSED && req.refs.Contains(static_cast<uint16_t>(0x8000 | sysRef))) access |= sysBit;
  };
  SCFileHeader* cached[2] = {nullptr, nullptr};
  if (certFound) {
    SCAccessRequest req[2];
    req[0].operation = SC_AC_OP_UPDATE;
    req[1].operation = SC_AC_OP_WRITE;
    r = card->GetAccessRules(certPath, n, req, 2, cached, 1, true, &refs);
    if (r < 0) {
      SCFileHeader::SafeRelease(cached[0]);
      return r;
    }
    take(req[0], QUALIFIED_ACCESS_USER_UPDATE, QUALIFIED_ACCESS_SYSKEY_UPDATE);
    take(req[1], QUALIFIED_ACCESS_USER_WRITE, QUALIFIED_ACCESS_SYSKEY_WRITE);
    if (cached[0] != nullptr && cached[0]->GetLifeCycleState() == SC_LCS_INITIALISATION)
      access |= QUALIFIED_ACCESS_CERT_FILE_IN_INIT;
    SCFileHeader::SafeRelease(cached[0]);
    cached[0] = nullptr;
  }
  SCAccessRequest dirReq;
  dirReq.operation = SC_AC_OP_CREATE_EF;
  r = card->GetAccessRules(certPath, n - 1, &dirReq, 1, cached, 1, true, &refs);
  if (r < 0) {
    SCFileHeader::SafeRelease(cached[0]);
    return r;
  }
  take(dirReq, QUALIFIED_ACCESS_USER_CREATE, QUALIFIED_ACCESS_SYSKEY_CREATE);
  if (cached[0] != nullptr && cached[0]->GetLifeCycleState() == SC_LCS_INITIALISATION)
    access |= QUALIFIED_ACCESS_DIR_IN_INIT;
  SCFileHeader::SafeRelease(cached[0]);
  return static_cast<SCRESULT>(access);
}

namespace {
// Changes to the qualified certificate: the user PIN may update the file, or may write it and create in the directory.
bool AllowsCertificateChanges(SCRESULT access) {
  if (access < 0) return false;
  const uint32_t a = static_cast<uint32_t>(access);
  return (a & QUALIFIED_ACCESS_USER_UPDATE) != 0 ||
         ((a & QUALIFIED_ACCESS_USER_WRITE) != 0 && (a & QUALIFIED_ACCESS_USER_CREATE) != 0);
}
}  // namespace

CK_RV SCPkcs15Lib::SetQualifiedObjectAttributes(SCPkcs15App* app, void* object,
                                                const SCPkcs15ObjectAttributeList* attrs) const {
  if (app == nullptr || CardModel(app->GetCard()) != SC_CARD_TYPE_SETCOS441) return QUALIFIED_NOT_HANDLED;
  const int kind = GetQualifiedObjectKind(app, object);
  if (kind == QUALIFIED_OBJECT_NONE) return QUALIFIED_NOT_HANDLED;
  SCTransactGuard guard(app->GetCard());
  if (kind == QUALIFIED_OBJECT_PRIVATE_KEY) return CKR_TOKEN_WRITE_PROTECTED;
  const SCRESULT access = GetQualifiedCertFileAccess(app);
  if (access < 0) return QUALIFIED_NOT_HANDLED;
  if (!AllowsCertificateChanges(access)) return CKR_TOKEN_WRITE_PROTECTED;
  const SCRESULT r = app->SetAttributeValues(object, attrs);
  if (r == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
  if (r == SC_E_PKCS15_INVALID_HANDLE) return CKR_OBJECT_HANDLE_INVALID;
  return MapScErrorToCkr(r, false);
}

CK_RV SCPkcs15Lib::DestroyQualifiedObject(SCPkcs15App* app, void* object) const {
  if (app == nullptr || CardModel(app->GetCard()) != SC_CARD_TYPE_SETCOS441) return QUALIFIED_NOT_HANDLED;
  const int kind = GetQualifiedObjectKind(app, object);
  if (kind == QUALIFIED_OBJECT_NONE) return QUALIFIED_NOT_HANDLED;
  SCTransactGuard guard(app->GetCard());
  if (kind == QUALIFIED_OBJECT_PRIVATE_KEY) return CKR_TOKEN_WRITE_PROTECTED;
  const SCRESULT access = GetQualifiedCertFileAccess(app);
  if (access < 0) return QUALIFIED_NOT_HANDLED;
  if (!AllowsCertificateChanges(access)) return CKR_TOKEN_WRITE_PROTECTED;
  // The fixed file stays; only its content and the directory record go.
  SCCardFileHelper files;
  files.Init(app->GetCard());
  SCRESULT r = files.ReadAppDirHeader();
  if (r >= 0) r = files.EraseFile(SCCardFileHelper::GetCertFilePath(nullptr)[2]);
  if (r >= 0) r = app->DestroyObject(object, false);
  return MapScErrorToCkr(r, false);
}

CK_RV SCPkcs15Lib::CreateQualifiedObject(SCPkcs15App* app, SCPkcs15ObjectAttributeList* attrs,
                                         void** newObject) const {
  if (app == nullptr || attrs == nullptr) return QUALIFIED_NOT_HANDLED;
  const SCPkcs15ObjectAttribute* id = attrs->FindAttribute(p15attr::kCertId);
  if (id == nullptr) id = attrs->FindAttribute(p15attr::kKeyId);
  uint32_t idLen = 0;
  const uint8_t* idValue = id != nullptr ? id->GetBinary(&idLen) : nullptr;
  if (idValue == nullptr || idLen == 0) return QUALIFIED_NOT_HANDLED;
  // Only a qualified private key of the same identifier makes it the qualified
  // part's: the private keys are read where the card may hold one (SetCOS 4.4.1,
  // a CosmopolIC card with the qualified PIN), the other directories when there is one.
  const uint32_t model = CardModel(app->GetCard());
  ASNPkcs15AuthObject* pin = nullptr;
  if (model != SC_CARD_TYPE_SETCOS441 &&
      (model != SC_CARD_TYPE_COSMOPOLIC || FindQualifiedPin(app, &pin) < 0 || pin == nullptr))
    return QUALIFIED_NOT_HANDLED;
  const std::vector<uint8_t> idBytes(idValue, idValue + idLen);
  std::vector<void*> same;
  SCRESULT found = FindByAttribute(app, P15_KIND_PRIVATE_KEY, p15attr::kAnyId, idBytes, &same);
  if (found < 0) return MapScErrorToCkr(found, false);
  bool anyQualified = false;
  for (void* o : same) anyQualified = anyQualified || IsQualifiedPrivateKey(app, o);
  if (!anyQualified) return QUALIFIED_NOT_HANDLED;
  same.clear();
  found = FindByAttribute(app, 0, p15attr::kAnyId, idBytes, &same);
  if (found < 0) return MapScErrorToCkr(found, false);
  void* qualifiedKey = nullptr;
  for (void* o : same) {
    if (IsQualifiedCertificate(app, o) && IsCertificateFileUsed(app->GetCard()) == 1) return QUALIFIED_NOT_HANDLED;
    const SCRESULT kind = KindOf(app, o);
    if (kind >= 0 && (static_cast<uint32_t>(kind) & P15_CLASS_MASK) == P15_KIND_PRIVATE_KEY &&
        IsQualifiedPrivateKey(app, o))
      qualifiedKey = o;
  }
  if (qualifiedKey == nullptr) return QUALIFIED_NOT_HANDLED;
  const SCRESULT access = GetQualifiedCertFileAccess(app);
  if (access < 0 || (static_cast<uint32_t>(access) & QUALIFIED_ACCESS_USER_UPDATE) == 0) return QUALIFIED_NOT_HANDLED;
  return CreateCertificateInFixedFile(app, attrs, newObject, static_cast<uint32_t>(access));
}

// ---- the fixed certificate file ----

SCRESULT SCPkcs15Lib::IsCertificateFileUsed(SCCard* card) const {
  AssertInvariant(card != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pCard != NULL");
  SCTransactGuard guard(card);
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  card->GetCardInfo(&info);
  size_t n = 0;
  const uint16_t* path = SCCardFileHelper::GetCertFilePath(&n);
  SCFileHeader* header = nullptr;
  SCRESULT r = card->SelectQualifiedPath(path, n, &header);
  if (r >= 0) r = HoldsContent(card, header, info.erasedValue);
  SCFileHeader::SafeRelease(header);
  if (r == SC_E_FILE_NOT_FOUND) return 0;
  return r;
}

CK_RV SCPkcs15Lib::CreateCertificateInFixedFile(SCPkcs15App* app, SCPkcs15ObjectAttributeList* attrs, void** newCert,
                                                uint32_t fileFlags) const {
  AssertInvariant(app != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pApp != NULL");
  AssertInvariant(attrs != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "attrList != NULL");
  AssertInvariant(newCert != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "phNewCert != NULL");
  SCCard* card = app->GetCard();
  AssertInvariant(card != nullptr, "pkcs11impl/scpkcs15lib", __LINE__, "pCard != NULL");
  *newCert = nullptr;
  const auto mapCard = [](SCRESULT r) -> CK_RV {
    if (IsCardGone(r)) return CKR_DEVICE_REMOVED;
    if (r == SC_E_FILE_TOO_SMALL) return CKR_DEVICE_MEMORY;
    if (r == SC_E_ACCESS_DENIED) return CKR_USER_NOT_LOGGED_IN;
    if (r == SC_E_FILE_NOT_FOUND) return CKR_MIRTAL_QUALIFIED_TOKEN_NOT_INITIATED;
    if (r == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
    return CKR_DEVICE_ERROR;
  };
  SCTransactGuard guard(card);
  const SCRESULT used = IsCertificateFileUsed(card);
  if (used == 1) return CKR_TOKEN_WRITE_PROTECTED;
  if (used < 0) return mapCard(used);
  SCCardFileHelper files;
  files.Init(card);
  SCRESULT r = files.ReadAppDirHeader();
  // Without its directory the card's qualified part was never set up.
  if (r == SC_E_FILE_NOT_FOUND) return CKR_MIRTAL_QUALIFIED_TOKEN_NOT_INITIATED;
  if (r < 0) return IsCardGone(r) ? CKR_DEVICE_REMOVED : CKR_DEVICE_ERROR;

  const SCPkcs15ObjectAttribute* value = attrs->FindAttribute(p15attr::kAnyValue);
  if (value == nullptr) value = attrs->FindAttribute(p15attr::kCertValue);
  if (value == nullptr) return CKR_TEMPLATE_INCOMPLETE;
  uint32_t len = 0;
  const uint8_t* bytes = value->GetBinary(&len);
  if (bytes == nullptr) len = 0;
  AssertInvariant(len <= 0xFFFF, "pkcs11impl/scpkcs15lib", __LINE__, "valuelen <= (uint16)~0L");
  const uint16_t certId = SCCardFileHelper::GetCertFilePath(nullptr)[2];
  bool created = false;
  if (fileFlags < 0xFFFF) {
    if (fileFlags & QUALIFIED_ACCESS_NO_CERT_FILE) return CKR_TOKEN_WRITE_PROTECTED;
    const bool create = (fileFlags & 0x7) == 0x7 || ((fileFlags & 0x40) && (fileFlags & 0x30) == 0x30);
    if ((fileFlags & QUALIFIED_ACCESS_USER_UPDATE) == 0) return CKR_TOKEN_WRITE_PROTECTED;
    if (create) {
      r = card->CreateBinaryFile(certId, len, 0);
      created = r >= 0;
    }
  }
  if (r >= 0) r = files.WriteFile(certId, bytes, len);
  if (r < 0) return mapCard(r);

  // The certificate now in the file becomes an object of the application. The record is
  // made from the template without the value, which the file holds already.
  size_t n = 0;
  const uint16_t* ids = SCCardFileHelper::GetCertFilePath(&n);
  const SCPath path(ids, n);
  CK_RV rv = CKR_OK;
  // Object flags the template leaves out: an entry that sets none (mask 0) keeps the defaults.
  if (attrs->FindAttribute(p15attr::kObjectFlags) == nullptr && attrs->AddFlags(p15attr::kObjectFlags, 0, 0) == nullptr)
    rv = CKR_HOST_MEMORY;
  SCPkcs15ObjectAttributeList record;
  for (size_t i = 0; rv == CKR_OK && i < attrs->GetCount(); ++i) {
    const SCPkcs15ObjectAttribute* a = attrs->GetAt(i);
    if (a == nullptr || a == value || a->GetType() == p15attr::kAnyValue || a->GetType() == p15attr::kCertValue)
      continue;
    SCPkcs15ObjectAttribute* copy = record.AddAttribute(a->GetType());
    if (copy == nullptr || !copy->CopyValue(*a)) rv = CKR_HOST_MEMORY;
    if (copy != nullptr) copy->m_storeType = a->m_storeType;
  }
  if (rv == CKR_OK) {
    const uint32_t mode = (fileFlags & QUALIFIED_ACCESS_USER_UPDATE) ? 0 : SCPkcs15App::CREATE_WRITABLE_LIST;
    rv = MapScErrorToCkr(app->CreateCertificate(path, record, newCert, mode), false);
  }
  if (rv != CKR_OK) {
    // What this call wrote goes again: the file's content, and the file when it made it.
    if (files.ReadAppDirHeader() >= 0) {
      if (created)
        (void)card->DeleteFile(certId);
      else
        (void)files.EraseFile(certId);
    }
    *newCert = nullptr;
  }
  return rv;
}

// ---- the end of a token's use ----

uint8_t FindSoPinReference(const SCFileHeader* header) {
  if (header == nullptr || header == SCFileHeader::AbsentMarker()) return SC_REF_UNUSED;
  for (uint8_t ref = 1; ref <= 7; ++ref) {
    if (!header->HasPinRef(ref)) continue;
    const uint16_t so = static_cast<uint16_t>(0xC000 | ref);
    bool guards = true;
    for (uint32_t op : {SC_AC_OP_DELETE_SELF, SC_AC_OP_ACTIVATE}) {
      SCAccessRequest req;
      req.operation = op;
      if (header->GetAccessRefs(&req, nullptr) < 0 || !(req.refs.Contains(so) || req.refs.Contains(0))) guards = false;
    }
    if (guards) return ref;
  }
  return SC_REF_UNUSED;
}

CK_RV SCPkcs15Lib::TerminateTokenUsage(SCPkcs15App* app, const char* pin) {
  if (app == nullptr || !app->IsKnownProfile()) return CKR_FUNCTION_NOT_SUPPORTED;
  if (!app->IsWritable()) return CKR_TOKEN_WRITE_PROTECTED;
  SCCard* card = app->GetCard();
  if (CardModel(card) != SC_CARD_TYPE_SETCOS441) return CKR_FUNCTION_NOT_SUPPORTED;
  ASNPkcs15AuthObject* user = nullptr;
  const SCRESULT found = app->FindPinObject(SCPkcs15App::PIN_USER, &user);
  if (found == SC_E_PKCS15_PIN_NOT_FOUND) return CKR_TOKEN_WRITE_PROTECTED;
  if (found < 0 || user == nullptr) return CKR_DEVICE_ERROR;
  if (!user->typeAttributes.wasPinReference) return CKR_TOKEN_WRITE_PROTECTED;
  long ref = 0;
  try {
    ref = user->typeAttributes.pinReference.getLong();
  } catch (...) {
    return CKR_TOKEN_WRITE_PROTECTED;
  }
  if (ref < 0 || ref > 0xFF) return CKR_TOKEN_WRITE_PROTECTED;

  uint32_t reader = m_readerCount;
  for (uint32_t r = 0; r < m_readerCount; ++r)
    if (m_readers != nullptr && m_readers[r] != nullptr && m_readers[r]->GetCard() == card) reader = r;
  if (reader == m_readerCount) return CKR_SLOT_ID_INVALID;
  SCTransactGuard guard(card);
  // The master file's header is kept per reader; one that could not be read is read again.
  const SCRESULT read = ReadCardId(reader, false);
  const SCFileHeader* mf = m_cardIds[reader];
  if (read < 0 || mf == nullptr || mf == SCFileHeader::AbsentMarker())
    return read == SC_E_NO_MEMORY ? CKR_HOST_MEMORY : CKR_DEVICE_ERROR;
  SCAccessRequest req;
  req.operation = SC_AC_OP_TERMINATE_CARD;
  const SCRESULT rules = mf->GetAccessRefs(&req, nullptr);
  if (rules < 0) return rules == SC_E_NO_MEMORY ? CKR_HOST_MEMORY : CKR_DEVICE_ERROR;
  const uint16_t r5 = static_cast<uint16_t>(ref & 0x1F);
  if (!req.refs.Contains(static_cast<uint16_t>(0xC000 | r5)) && !req.refs.Contains(static_cast<uint16_t>(0xC080 | r5)))
    return CKR_TOKEN_WRITE_PROTECTED;
  // No PIN, or an empty one, asks only whether the user may end the card.
  if (pin == nullptr || *pin == '\0') return CKR_OK;
  const SCRESULT v = app->VerifyPin(user, pin, false, nullptr);
  if (v == SC_E_VERIFY_FAILED) return CKR_PIN_INCORRECT;
  if (v == SC_E_PIN_NOT_INITIALIZED) return CKR_USER_PIN_NOT_INITIALIZED;
  if (v == SC_E_NO_MEMORY) return CKR_HOST_MEMORY;
  if (v == SC_E_PIN_BLOCKED) return CKR_PIN_LOCKED;
  if (v != 0) return CKR_DEVICE_ERROR;
  const SCRESULT t = card->TerminateCard();
  // Whatever came of it, the reader's tokens are read again as the card is now:
  // a terminated card's token is gone from its slot at once.
  guard.Release();
  RefreshTokenInfo(static_cast<CK_SLOT_ID>(reader) * m_tokensPerReader, 1, 1);
  if (t >= 0) return CKR_OK;
  return t == SC_E_ACCESS_DENIED ? CKR_USER_NOT_LOGGED_IN : CKR_DEVICE_ERROR;
}
