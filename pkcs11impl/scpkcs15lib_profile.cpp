// The bridge's side of the card-initialisation profile: card bounds and the
// validation pass with its messages delivered to the reader's slots.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "pkcs11impl/initprofile.h"
#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_types.h"

namespace {
// Master-file identifier.
constexpr uint16_t kMasterFileId = 0x3F00;

// Ends the reader's transaction on every path.
class TransactionGuard {
 public:
  explicit TransactionGuard(SCReader* reader) : m_reader(reader) { m_ok = !SC_FAILED(m_reader->BeginTransaction()); }
  ~TransactionGuard() {
    if (m_ok) m_reader->EndTransaction();
  }
  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;

 private:
  SCReader* m_reader;
  bool m_ok = false;
};
}  // namespace

CK_RV SCPkcs15Lib::ValidateInitProfile(uint32_t reader, const InitProfile* profile, bool checkOutputFiles,
                                        bool callerSoPin) {
  if (profile == nullptr || reader >= m_readerCount) return CKR_ARGUMENTS_BAD;
  if (GetReaderPkcs15Card(reader) == nullptr) return CKR_FUNCTION_FAILED;
  SCReader* rd = GetReader(reader);
  SCCard* card = rd != nullptr ? rd->GetCard() : nullptr;
  if (card == nullptr) return CKR_TOKEN_NOT_RECOGNIZED;
  const uint32_t model = card->GetCardType();
  // Models 1 and 3 carry their tokens' PINs in the card profile; model 4 is the
  // one that takes new PKCS#15 applications, so its profiles are checked too.
  if (model != SC_CARD_TYPE_SETCOS441 && model != SC_CARD_TYPE_COSMOPOLIC && model != SC_CARD_TYPE_CLASSIC)
    return CKR_TOKEN_NOT_RECOGNIZED;

  TransactionGuard guard(rd);
  const SCRESULT sel = card->SelectFileById(kMasterFileId);
  if (SC_FAILED(sel)) {
    char text[256];
    AppendReaderMessage(reader, GetErrorText(sel, text, sizeof text), true);
    return MapScErrorToCkr(sel, false);
  }
  SCCardInfo info{};
  const SCRESULT ir = card->GetCardInfo(&info);
  if (SC_FAILED(ir)) return MapScErrorToCkr(ir, false);
  InitPinBounds bounds;
  bounds.pinMin = info.minPinLen;
  bounds.pinMax = info.maxPinLen;
  if (model == SC_CARD_TYPE_COSMOPOLIC) {
    bounds.pukMin = 4;
    bounds.pukMax = 16;
  } else {
    bounds.pukMin = bounds.pinMin;
    bounds.pukMax = bounds.pinMax;
  }
  std::string message;
  const CfgSectionList* sections = profile->GetSections();
  const InitExpandFn expand = [sections](const char* text, int token, std::string* out) {
    return ExpandProfileText(text, sections, out, token);
  };
  CK_RV rv = profile->Validate(bounds, checkOutputFiles, expand, &message, callerSoPin);
  // Tokens that would make a PIN at one reference cannot both be made: the profile is
  // refused before the card changes, not after its first token.
  if (rv == CKR_OK && model == SC_CARD_TYPE_CLASSIC) {
    std::vector<uint8_t> before;
    for (int t = 0; t < profile->GetTokenCount() && rv == CKR_OK; ++t) {
      const std::vector<uint8_t> made = ProfileTokenPins(profile, t);
      for (uint8_t ref : made) {
        if (std::find(before.begin(), before.end(), ref) == before.end()) continue;
        char text[128];
        std::snprintf(text, sizeof text, "An earlier token of the profile makes a PIN at its reference: %02X",
                      static_cast<unsigned>(ref));
        message = std::string(text) + ", on token" + profile->GetTokenLabel(t) + " (number " + std::to_string(t + 1) +
                  ")\n";
        rv = CKR_ARGUMENTS_BAD;
        break;
      }
      before.insert(before.end(), made.begin(), made.end());
    }
  }
  if (rv != CKR_OK && !message.empty())
    AppendReaderMessage(reader, message.c_str(), true);
  return rv;
}
