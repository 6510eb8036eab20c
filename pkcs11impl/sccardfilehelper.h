// Card work on the fixed files of a model-1 card's qualified part: the
// directory 3F00/DF01 with its certificate file C000, key file EFD5 and data
// file B000. Keeps the directory's header between calls.
#ifndef MIRTAL_PKCS11IMPL_SCCARDFILEHELPER_H
#define MIRTAL_PKCS11IMPL_SCCARDFILEHELPER_H

#include <cstddef>
#include <cstdint>

#include "smartcard/sc_errors.h"

class SCCard;
class SCFileHeader;

class SCCardFileHelper {
 public:
  SCCardFileHelper() = default;
  ~SCCardFileHelper() { ReleaseHeader(); }
  SCCardFileHelper(const SCCardFileHelper&) = delete;
  SCCardFileHelper& operator=(const SCCardFileHelper&) = delete;

  // The card to work on (not owned); no header kept.
  void Init(SCCard* card);
  bool IsModel1Card() const;
  // Selects the qualified directory and keeps its header; the card's result.
  SCRESULT ReadAppDirHeader();
  void ReleaseHeader();
  // A file of the selected directory: its whole content erased, or data written from offset 0.
  SCRESULT EraseFile(uint16_t fileId);
  SCRESULT WriteFile(uint16_t fileId, const uint8_t* data, uint32_t length);

  static const uint16_t* GetAppDirPath(size_t* count);
  static const uint16_t* GetCertFilePath(size_t* count);
  static const uint16_t* GetKeyFilePath(size_t* count);
  static const uint16_t* GetDataFilePath(size_t* count);

 private:
  SCRESULT CheckCard() const;

  SCCard* m_card = nullptr;
  SCFileHeader* m_header = nullptr;
};

#endif
