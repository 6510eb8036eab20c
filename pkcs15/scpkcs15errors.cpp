#include "pkcs15/scpkcs15errors.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

struct Pkcs15ErrorRow {
  SCRESULT code;
  const char* name;
  const char* message;
};

// In this order, ended by an all-zero row.
const Pkcs15ErrorRow kRows[] = {
    {SC_RESULT_CODE(0xE000000000020001ULL), "SC_E_PKCS15_NO_PROFILES",
     "Nie znaleziono żadnego profilu PKCS#15 na karcie"},
    {SC_RESULT_CODE(0xE000000000020002ULL), "SC_E_PKCS15_DIFFERENT",
     "Porównywane obiekty PKCS#15 są różne"},
    {SC_RESULT_CODE(0xE000000000020003ULL), "SC_E_PKCS15_ATTR_NOT_FOUND",
     "Atrybut PKCS#15 nie zosał znaleziony"},
    {SC_RESULT_CODE(0xE000000000020004ULL), "SC_E_PKCS15_INVALID_ATTR",
     "Niepoprawny atrybut dla danego obiektu"},
    {SC_RESULT_CODE(0xE000000000020005ULL), "SC_E_PKCS15_UNSUPPORTED_ATTR",
     "Niewspierany typ atrybutu"},
    {SC_RESULT_CODE(0xE000000000020006ULL), "SC_E_PKCS15_LIB_NOT_INITIATED",
     "Biblioteka PKCS#15 nie została zainicjowana"},
    {SC_RESULT_CODE(0xE000000000020007ULL), "SC_E_PKCS15_INVALID_HANDLE",
     "Niepoprawny uchwyt do obiektu PKCS#15"},
    {SC_RESULT_CODE(0xE000000000020008ULL), "SC_E_PKCS15_UNSUPPORTED_PROFILE",
     "Niepoprawna składnia lub błąd podczas odczytu z tokenu PKCS#15 (błędna składnia ASN, brak WYMAGANYCH plików i inne)"},
    {SC_RESULT_CODE(0xE000000000020009ULL), "SC_E_PKCS15_UNSUPPORTED_OBJECT",
     "Nieznany typ obiektu znajdującego się na karcie"},
    {SC_RESULT_CODE(0xE00000000002000AULL), "SC_E_PKCS15_PIN_NOT_FOUND",
     "Nie znaleziono wymaganego pinu na karcie"},
    {SC_RESULT_CODE(0xE00000000002000BULL), "SC_E_PKCS15_PIN_UNKNOWN",
     "Wymagane jest podanie innego pinu niż PIN do aplikacji PKCS#15"},
    {SC_RESULT_CODE(0xE00000000002000CULL), "SC_E_PKCS15_NOT_LOGGED_IN",
     "Użytkownik nie jest zalogowany"},
    {SC_RESULT_CODE(0xE00000000002000DULL), "SC_E_PKCS15_ATTR_UNEXTRACTABLE",
     "Danego atrybutu nie można wyciągnąć, ponieważ nie umożliwia tego sam obiekt"},
    {SC_RESULT_CODE(0xE00000000002000EULL), "SC_E_PKCS15_WRONG_HANDLE_TYPE",
     "Niepoprawny typ obiektu używany przy operacji kryptograficznej; np. została wykonana próba użycia uchwytu do certyfikatu do operacji wykonania podpisu."},
    {SC_RESULT_CODE(0xE00000000002000FULL), "SC_E_PKCS15_KEY_UNSUPPORTED",
     "Wskazany klucz prywatny nie umożliwia wygenerowania podpisu RSA za pośrednictwem karty."},
    {SC_RESULT_CODE(0xE000000000020010ULL), "SC_E_PKCS15_INVALID_ATTR_VALUE",
     "Atrybut ma niepoprawną wartość"},
    {SC_RESULT_CODE(0xE000000000020011ULL), "SC_E_PKCS15_ATTRIBUTE_READ_ONLY",
     "Atrybut jest tylko do odczytu (nie ma możliwosci jego zmiany)"},
    {SC_RESULT_CODE(0xE000000000020012ULL), "SC_E_PKCS15_TEMPLATE_INCOMPLETE",
     "Zbyt mało informacji, by móc utworzyć nowy obiekt"},
    {SC_RESULT_CODE(0xE000000000020013ULL), "SC_E_PKCS15_TEMPLATE_INCONSISTENT",
     "Informacje do utworzenia są niepełne lub jest ich zbyt mało"},
    {SC_RESULT_CODE(0xE000000000020014ULL), "SC_E_PKCS15_UNSUPPORTED_TYPE",
     "Dany typ obiektu nie jest wspierany"},
    {SC_RESULT_CODE(0xE000000000020015ULL), "SC_E_PKCS15_FILE",
     "Błąd podczas odczytu z pliku (na dysku, bazy danych, itp)"},
    {SC_RESULT_CODE(0xE000000000020016ULL), "SC_E_PKCS15_OBJECT_READ_ONLY",
     "Obiekt tylko do odczytu - nie może być zmodyfikowany"},
    {SC_RESULT_CODE(0xA000000000020001ULL), "SC_W_PKCS15_OPERATION_NOT_RELIABLE",
     "Operacja się powiodła, ale uzyskane dane mogą być niepoprawne i wymagają dokładniejszego sprawdzenia"},
    {0, nullptr, nullptr},
};

const Pkcs15ErrorRow* FindRow(SCRESULT code) {
  for (const Pkcs15ErrorRow* r = kRows; r->name != nullptr; ++r)
    if (r->code == code) return r;
  return nullptr;
}

// The formatted text in buf when it fits (with its NUL), else the constant.
const char* Positive(SCRESULT code, char* buf, uint32_t bufLen, const char* format, const char* constant) {
  char text[128];
  const int n = std::snprintf(text, sizeof text, format, static_cast<long>(code));
  if (buf != nullptr && n >= 0 && bufLen > static_cast<uint32_t>(n)) {
    std::memcpy(buf, text, static_cast<size_t>(n) + 1);
    return buf;
  }
  return constant;
}

}  // namespace

const char* SCPkcs15GetErrorText(SCRESULT code, char* buf, uint32_t bufLen) {
  if (code == 0) return "Operacja zakończona pomyślnie";
  if (code > 0)
    return Positive(code, buf, bufLen, "Operacja zakończona najprawdopodobniej pomyślnie (%ld)",
                    "Operacja zakończona najprawdopodobniej pomyślnie (>0)");
  if (scIsPkcs15FamilyResult(code))
    if (const Pkcs15ErrorRow* r = FindRow(code)) return r->message;
  const char* text = scGetErrorMessage(code, buf, bufLen);
  return text != nullptr ? text : "";
}

const char* SCPkcs15GetErrorName(SCRESULT code, char* buf, uint32_t bufLen) {
  if (code == 0) return "SC_OK";
  if (code > 0) return Positive(code, buf, bufLen, "OK (%ld)", "OK (>0)");
  if (scIsPkcs15FamilyResult(code))
    if (const Pkcs15ErrorRow* r = FindRow(code)) return r->name;
  const char* name = scGetErrorName(code, buf, bufLen);
  return name != nullptr ? name : "";
}
