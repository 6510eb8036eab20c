// Return-value messages and the last-error text.
#include "pkcs11impl/p11messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "support/textutil.h"

namespace {

struct MessageRow {
  CK_RV value;
  const char* text;
};

// In ascending order of value; the first match wins.
const MessageRow kMessages[] = {
    {0x0, "Operacja zakonczona pomyślnie"},
    {0x1, "Operacja powinna zostać pzerwana"},
    {0x2, "Zbyt mało pamięci na dokończenie zadania"},
    {0x3, "Niepoprawny identyfikator slotu"},
    {0x4, "Niepoprawne flagi"},
    {0x5, "Poważny błąd ogólny "},
    {0x6, "Funkcja zakończoną niepowodzeniem"},
    {0x7, "Niepoprawne argumenty"},
    {0x8, "Nie wystąpiło żadne zdarzenie"},
    {0x9, "Biblioteka musi mieć możliwość tworzenia wątków"},
    {0xA, "Błąd przy obsłudze wykluczania"},
    {0x10, "Atrybut tylko do odczytu"},
    {0x11, "Atrybut wrażliwy, nie można odczytać jego zawartości"},
    {0x12, "Typ atrybutu jest niepoprawny"},
    {0x13, "Wartość atrybutu jest niepoprawna"},
    {0x20, "Dane są niepoprawne"},
    {0x21, "Długość danych jest niepoprawna"},
    {0x30, "Błąd karty"},
    {0x31, "Zbyt mało wolnej pamięci na karcie"},
    {0x32, "Karta zostałą wyjęta"},
    {0x40, "Dane zaszyfrowane są niepoprawne"},
    {0x41, "Długość zaszyfrowanych danych jest niepoprawna"},
    {0x50, "Operacja została anulowana"},
    {0x51, "Funkcja nie może być wykonywana równolegle"},
    {0x54, "Funkcja nie jest zaimplementowana"},
    {0x60, "Niepoprawny uchwyt do obiektu klucza"},
    {0x61, "Klucz jest wrażliwy, niue można z niego wyciągnąć zawartości"},
    {0x62, "Niepoprawny zakres długości"},
    {0x63, "Typ klucza niespójny z pozostałymi atrybutami"},
    {0x64, "Klucz nie jest wymagany do odtworzenia stanu"},
    {0x65, "Klucz został zmieniony"},
    {0x66, "Klucz jest wymagany do odtworzenia stanu"},
    {0x67, "Klucza nie można wykorzystać do policzenia skrótu"},
    {0x68, "Wybrana operacja nie jest możliwa do wykonaniu przy użyciu wybranego klucza"},
    {0x69, "Klucza nie można opakować"},
    {0x6A, "Klucza nie można wypakować"},
    {0x70, "Niepoprawny mechanizm"},
    {0x71, "Niepoprawny parametr mechanizmu"},
    {0x80, "Klasa obiektu niespójna z pozostałymi parametrami"},
    {0x81, "Klasa obiektu nieprawidłowa"},
    {0x82, "Niepoprawny uchwyt do obiektu"},
    {0x90, "Inna operacja jest aktualnie wykonywana"},
    {0x91, "Operacja nie zostałe zainicjowana"},
    {0xA0, "Niepoprawny PIN do karty"},
    {0xA1, "Parametry PINu nie są poprawne"},
    {0xA2, "Niepoprawna długość PINu"},
    {0xA3, "PIN wygasł"},
    {0xA4, "Pin jest zablokowany"},
    {0xB0, "Sesja została zamknięta, najprawdopodobniej wskutek wyjęcia karty z czytnika"},
    {0xB1, "Osiągnięta została maksymalna liczba sesji"},
    {0xB3, "Niepoprawny uchwyt do sesji"},
    {0xB4, "Sesje współbieżne nie są obsługiwane"},
    {0xB5, "Próbowano wykonać operację w sesji tylko-do-odczytu"},
    {0xB6, "Nie można wykonać operacji, gdyż jest otwarta sesja do karty"},
    {0xB7, "Nie można wykonać operacji, gdyż jest otwarta sesja tylko-do-odczytu"},
    {0xB8, "Nie można wykonać operacji, gdyż jest otwarta sesja administratora"},
    {0xC0, "Niepoprawny podpis"},
    {0xC1, "Niepoprawna długosć podpisu"},
    {0xD0, "Szablon atrybutów jest niepoprawny"},
    {0xD1, "Szablon atrybutów jest niespójny"},
    {0xE0, "Brak karty w czytniku"},
    {0xE1, "Wybrana karta nie jest rozpoznawana lub jest nieobsługiwana"},
    {0xE2, "Karta jest zabezpieczona przed modyfikacją"},
    {0xF0, "Niepoprawny uchwyt do klucza odpakowującego"},
    {0xF1, "Niepoprawna długość klucza odpakowującego"},
    {0xF2, "Typ klucza odpakowującego jest niespójny z pozostałymi parametrami"},
    {0x100, "Użytkownik lub administrator już jest zalogowany"},
    {0x101, "Użytkownik lub administrator nie jest zalogowany"},
    {0x102, "Pin użytkownika nie jest zainicjowany"},
    {0x103, "Niepoprawny typ użytkownika"},
    {0x104, "Inny użytkownik (lub administrator) jest już zalogowany"},
    {0x105, "Zbyt wiele typów"},
    {0x110, "Klucz opakowany jest niewłaściwy"},
    {0x112, "Długość klucza opakowanego jest niewłaściwa"},
    {0x113, "Niepoprawny uchwyt do klucza opakowującego"},
    {0x114, "Niepoprawna długość do klucza opakowującego"},
    {0x115, "Niepoprawny typ do klucza opakowującego"},
    {0x120, "Dodawanie losowych danych do generatora losowego nie jest obsługiwane"},
    {0x121, "Brak generatora losowego"},
    {0x130, "Parametry domeny nie są poprawne"},
    {0x150, "Zbyt krótki bufor na dane"},
    {0x160, "Zachowany stan sesji jest niepoprawny"},
    {0x170, "Informacja jest wrażliwa i nie jest dostępna do odczytania"},
    {0x180, "Stan nie jest możliwy do zapisania"},
    {0x190, "Biblioteka nie została zainicjowana"},
    {0x191, "Biblioteka jest już zainicjowana"},
    {0x1A0, "Niepoprawny uchwyt do obiektu obsługi wykluczania (muteksa)"},
    {0x1A1, "Obiekt wykluczania (muteks) nie został zablokowany"},
    {0x200, "Funkcja została zaniechana"},
    {0xABEC1000, "Karta-matka nie została znaleziona"},
    {0xABEC1001, "Uwierzytelnienie do karty-matki się nie powiodło"},
    {0xABEC1002, "Token kwalifikowany nie jest zainicjowany poprawnie"},
    {0xABEC1003, "Obiekt kwalifikowany jest już zainicjowany"},
    {0xFFFFFFF0, "Wartości atrybutów są różne"},
    {0xFFFFFFF1, "Typ atrybutu nie jest obsługiwany"},
    {0xFFFFFFF2, "Atrybutu nie znaleziono"},
};
constexpr size_t kMessageCount = sizeof(kMessages) / sizeof(kMessages[0]);
static_assert(kMessageCount == 96, "the message table has 96 rows");
const char kUnknownMessage[] = "Nieznany kod błędu";

int FindMessage(CK_RV rv) {
  for (size_t i = 0; i < kMessageCount; ++i)
    if (kMessages[i].value == rv) return static_cast<int>(i);
  return -1;
}

char* DupOrNull(const std::string& s) {
  char* p = new (std::nothrow) char[s.size() + 1];
  if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

}  // namespace

const char* CkrMessageTable(CK_RV rv) {
  int i = FindMessage(rv);
  return i < 0 ? kUnknownMessage : kMessages[i].text;
}

std::string ToCallerText(const char* utf8) {
  if (utf8 == nullptr || *utf8 == '\0') return std::string();
  int n = ConvertUtf8ToCp1250(utf8, -1, nullptr, 0);
  if (n <= 0) return std::string(utf8);  // not UTF-8: hand the bytes on as they are
  std::string out(static_cast<size_t>(n), '\0');
  int w = ConvertUtf8ToCp1250(utf8, -1, &out[0], n);
  if (w != n) return std::string(utf8);
  return out;
}

LastErrorText::~LastErrorText() { Clear(); }

void LastErrorText::Clear() {
  delete[] text_;
  delete[] callerText_;
  text_ = nullptr;
  callerText_ = nullptr;
}

bool LastErrorText::Set(const char* text) {
  if (text == nullptr || *text == '\0') {
    Clear();
    return true;
  }
  char* copy = DupOrNull(text);
  char* caller = copy ? DupOrNull(ToCallerText(text)) : nullptr;
  if (copy == nullptr || caller == nullptr) {
    delete[] copy;
    return false;
  }
  Clear();
  text_ = copy;
  callerText_ = caller;
  return true;
}

bool LastErrorText::SetFormatted(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    return false;
  }
  std::string s(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&s[0], s.size(), fmt, ap2);
  va_end(ap2);
  s.resize(static_cast<size_t>(n));
  return Set(s.c_str());
}

const char* LastErrorText::Get() const { return text_ ? text_ : ""; }
const char* LastErrorText::GetForCaller() const { return callerText_ ? callerText_ : ""; }

int CopyLastErrorForCaller(const char* callerText, char* buf, unsigned long* pLen) {
  if (pLen == nullptr) return 0;
  if (callerText == nullptr) callerText = "";
  const unsigned long len = std::strlen(callerText);
  if (buf == nullptr) {
    *pLen = len + 1;
    return 1;
  }
  if (len < *pLen) {
    std::memcpy(buf, callerText, len + 1);
    *pLen = len + 1;
    return 1;
  }
  if (*pLen != 0) {
    std::memcpy(buf, callerText, *pLen - 1);
    buf[*pLen - 1] = '\0';
  }
  *pLen = len + 1;
  return 0;
}
