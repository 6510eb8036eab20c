#include "pkcs11impl/sccardfilehelper.h"

#include <cstring>

#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_transactguard.h"
#include "smartcard/sc_types.h"

namespace {
const uint16_t kAppDir[] = {0x3F00, 0xDF01};
const uint16_t kCertFile[] = {0x3F00, 0xDF01, 0xC000};
const uint16_t kKeyFile[] = {0x3F00, 0xDF01, 0xEFD5};
const uint16_t kDataFile[] = {0x3F00, 0xDF01, 0xB000};
}  // namespace

void SCCardFileHelper::Init(SCCard* card) {
  ReleaseHeader();
  m_card = card;
}

bool SCCardFileHelper::IsModel1Card() const {
  if (m_card == nullptr) return false;
  SCCardInfo info;
  std::memset(&info, 0, sizeof info);
  m_card->GetCardInfo(&info);
  return info.cardFamily == SC_CARD_TYPE_SETCOS441;
}

SCRESULT SCCardFileHelper::ReadAppDirHeader() {
  if (m_card == nullptr) return SC_E_BAD_USAGE;
  ReleaseHeader();
  return m_card->SelectPath(kAppDir, 2, &m_header);
}

void SCCardFileHelper::ReleaseHeader() {
  SCFileHeader::SafeRelease(m_header);
  m_header = nullptr;
}

SCRESULT SCCardFileHelper::CheckCard() const {
  if (m_card == nullptr) return SC_E_BAD_USAGE;
  return IsModel1Card() ? SC_OK : SC_E_CARD_UNSUPPORTED;
}

SCRESULT SCCardFileHelper::EraseFile(uint16_t fileId) {
  SCRESULT rv = CheckCard();
  if (rv < 0) return rv;
  SCTransactGuard guard(m_card);
  rv = m_card->SelectChildEf(fileId, nullptr);
  return rv < 0 ? rv : m_card->EraseBinaryAll();
}

SCRESULT SCCardFileHelper::WriteFile(uint16_t fileId, const uint8_t* data, uint32_t length) {
  SCRESULT rv = CheckCard();
  if (rv < 0) return rv;
  if (length > 0xFFFF || (data == nullptr && length != 0)) return SC_E_BAD_PARAMS;
  SCTransactGuard guard(m_card);
  rv = m_card->SelectChildEf(fileId, nullptr);
  return rv < 0 ? rv : m_card->UpdateBinaryFromStart(data, length);
}

const uint16_t* SCCardFileHelper::GetAppDirPath(size_t* count) {
  if (count) *count = 2;
  return kAppDir;
}
const uint16_t* SCCardFileHelper::GetCertFilePath(size_t* count) {
  if (count) *count = 3;
  return kCertFile;
}
const uint16_t* SCCardFileHelper::GetKeyFilePath(size_t* count) {
  if (count) *count = 3;
  return kKeyFile;
}
const uint16_t* SCCardFileHelper::GetDataFilePath(size_t* count) {
  if (count) *count = 3;
  return kDataFile;
}
