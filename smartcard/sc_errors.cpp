#include "smartcard/sc_errors.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

#define ROW(name, text) {name, #name, text}

const SCErrorTableRow kRows[] = {
    {SC_OK, "SC_OK", "Operacja zakończona pomyślnie"},
    ROW(SC_W_INVALID_FILEHDR_FORMAT, "Niepoprawny format nagłówka pliku"),
    ROW(SC_W_UNKNOWN_DATA_OBJECT, "Nieznany obiekt danych"),
    ROW(SC_W_FEATURE_NOT_REQUIRED, "Funkcja nie jest wymagana"),
    ROW(SC_E_UNIMPLEMENTED_FEATURE, "Funkcja nie została zaimplementowana"),
    ROW(SC_E_INSUFFICIENT_BUFFER, "Za mały bufor na dane"),
    ROW(SC_E_TOO_MUCH_DATA, "Za dużo danych"),
    ROW(SC_E_BAD_USAGE, "Niepoprawne użycie funkcji"),
    ROW(SC_E_ASN_UNIMPLEMENTED, "Nieobsługiwana struktura ASN.1"),
    ROW(SC_E_CARD_NOT_CONNECTED, "Karta nie jest podłączona"),
    ROW(SC_E_NOT_DIR, "Wskazany obiekt nie jest katalogiem"),
    ROW(SC_E_NOT_FILE, "Wskazany obiekt nie jest plikiem"),
    ROW(SC_E_ALREADY_INITIALIZED, "Obiekt jest już zainicjowany"),
    ROW(SC_E_AID_TOO_LONG, "Identyfikator aplikacji (AID) jest za długi"),
    ROW(SC_E_FILE_STATUS_UNKNOWN, "Nieznany stan pliku"),
    ROW(SC_E_INVALID_FILE_TYPE, "Niepoprawny typ pliku"),
    ROW(SC_E_UNKNOWN_AC_TEMPLATE, "Nieznany szablon warunków dostępu"),
    ROW(SC_E_UNSUPPORTED_KEY_LENGTH, "Nieobsługiwana długość klucza"),
    ROW(SC_E_LIFE_STATUS_CHANGE, "Błąd zmiany stanu cyklu życia"),
    ROW(SC_E_FILE_TOO_SMALL, "Plik jest za mały"),
    ROW(SC_E_FILE_DEACTIVATED, "Plik jest dezaktywowany"),
    ROW(SC_E_UNSUPPORTED_FEATURE, "Funkcja nie jest obsługiwana przez kartę"),
    ROW(SC_E_PIN_TOO_SHORT, "PIN jest za krótki"),
    ROW(SC_E_PUK_TOO_SHORT, "PUK jest za krótki"),
    ROW(SC_E_PIN_ALREADY_INITIALIZED, "PIN jest już zainicjowany"),
    ROW(SC_E_PIN_NOT_INITIALIZED, "PIN nie jest zainicjowany"),
    ROW(SC_E_INVALID_KEY_LENGTH, "Niepoprawna długość klucza"),
    ROW(SC_E_KEY_ALREADY_INITIALIZED, "Klucz jest już zainicjowany"),
    ROW(SC_E_KEY_CONTAINS_NO_DATA, "Klucz nie zawiera danych"),
    ROW(SC_E_UNSUPPORTED_EXPONENT, "Nieobsługiwany wykładnik publiczny"),
    ROW(SC_E_INVALID_EXPONENT, "Niepoprawny wykładnik"),
    ROW(SC_E_UNSUPPORTED_RSA_ALGO, "Nieobsługiwany algorytm RSA"),
    ROW(SC_E_UNSUPPORTED_HASH_ALGO, "Nieobsługiwany algorytm skrótu"),
    ROW(SC_E_CRYPT_ERROR, "Błąd operacji kryptograficznej"),
    ROW(SC_E_CARDS_MISMATCH, "Karty nie są zgodne"),
    ROW(SC_E_CARD_INCORRECTLY_INITIALIZED, "Karta jest niepoprawnie zainicjowana"),
    ROW(SC_E_INVALID_KEY, "Niepoprawny klucz"),
    ROW(SC_E_INVALID_FILE_OFFSET, "Niepoprawne przesunięcie w pliku"),
    ROW(SC_E_INVALID_DATA_FORMAT, "Niepoprawny format danych"),
    ROW(SC_E_NO_SPACE_ON_CARD, "Brak miejsca na karcie"),
    ROW(SC_E_WRITE_PROTECTED, "Karta jest zabezpieczona przed zapisem"),
    ROW(SC_E_MISMATCHED_HEADER, "Nagłówek pliku nie odpowiada ścieżce"),
    ROW(SC_E_PIN_NOT_BLOCKED, "Nie udało się zablokować PIN-u"),
    ROW(SC_E_INSUFFICIENT_DATA, "Za mało danych"),
    ROW(SC_E_INCONSISTENT_DATA, "Dane są niespójne"),
    ROW(SC_E_INVALID_DATA_VALUE, "Niepoprawna wartość danych"),
    ROW(SC_E_DIR_NOT_EMPTY, "Katalog nie jest pusty"),
    ROW(SC_E_SM_NOT_ESTABLISHED, "Bezpieczny kanał z kartą nie został zestawiony"),
    ROW(SC_E_SM_MAC_INVALID, "Niepoprawny kod MAC odpowiedzi karty"),
    ROW(SC_E_SM_COUNTER_EXHAUSTED, "Licznik bezpiecznego kanału został wyczerpany"),
    ROW(SC_E_SM_CARD_AUTH_FAILED, "Uwierzytelnienie karty nie powiodło się"),
    ROW(SC_E_NO_READER_SUBSYSTEM, "Brak podsystemu obsługi czytników kart"),
    ROW(SC_E_READER_SUBSYSTEM_NOT_RUNNING, "Podsystem obsługi czytników kart nie jest uruchomiony"),
    ROW(SC_E_READER_SUBSYSTEM_RESTARTED, "Podsystem obsługi czytników kart został uruchomiony ponownie"),
    ROW(SC_E_READER_NOT_FOUND, "Nie znaleziono czytnika kart"),
    ROW(SC_E_READER_NOT_AVAILABLE, "Czytnik kart jest niedostępny"),
    ROW(SC_E_TIMEOUT, "Upłynął czas oczekiwania"),
    ROW(SC_E_NO_SMARTCARD, "Brak karty w czytniku"),
    ROW(SC_E_CARD_UNSUPPORTED, "Karta nie jest obsługiwana"),
    ROW(SC_E_CARD_REMOVED, "Karta została wyjęta z czytnika"),
    ROW(SC_E_CARD_WAS_RESET, "Karta została zresetowana przez inną aplikację"),
    ROW(SC_E_CARD_IS_USED, "Karta jest używana przez inną aplikację"),
    ROW(SC_E_CARD_NEEDED_REINIT, "Połączenie z kartą wymaga ponownego nawiązania"),
    ROW(SC_E_CARD_PROTO_MISMATCH, "Protokół komunikacji nie jest obsługiwany przez kartę lub czytnik"),
    ROW(SC_E_TRANSMISSION_FAILED, "Błąd transmisji danych do karty"),
    ROW(SC_E_COMM_FAILED, "Błąd komunikacji z czytnikiem kart"),
    ROW(SC_E_SYSTEM_ERROR, "Błąd systemowy"),
    ROW(SC_F_INTERNAL_ERROR, "Błąd wewnętrzny"),
    ROW(SC_E_NO_MEMORY, "Brak pamięci"),
    ROW(SC_E_BAD_PARAMS, "Niepoprawne parametry"),
    ROW(SC_E_AUTH_FAILED, "Uwierzytelnienie nie powiodło się"),
    ROW(SC_E_VERIFY_FAILED, "Niepoprawny PIN"),
    ROW(SC_E_INVALID_DATA_LENGTH, "Niepoprawna długość danych"),
    ROW(SC_E_ACCESS_DENIED, "Brak dostępu - warunki dostępu nie zostały spełnione"),
    ROW(SC_E_PIN_BLOCKED, "PIN jest zablokowany"),
    ROW(SC_E_CONDITIONS_NOT_SATISFIED, "Warunki użycia polecenia nie są spełnione"),
    ROW(SC_E_FILE_NOT_FOUND, "Katalog lub plik, do którego chcieliśmy przejść, nie istnieje"),
    ROW(SC_E_INVALID_DATA, "Niepoprawne dane w poleceniu"),
    ROW(SC_E_NO_REFERENCED_DATA, "Nie znaleziono wskazanych danych"),
    ROW(SC_E_FILE_ALREADY_EXISTS, "Plik lub obiekt o tym identyfikatorze już istnieje"),
};

#undef ROW

// Copies text into buf, cut so that no UTF-8 sequence is split.
const char* CopyText(const char* text, char* buf, size_t len) {
    if (buf == nullptr || len == 0) return nullptr;
    size_t n = std::strlen(text);
    if (n >= len) {
        n = len - 1;
        // Step back over continuation bytes so the cut falls on a character start.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(buf, text, n);
    buf[n] = '\0';
    return buf;
}

}  // namespace

const SCErrorTableRow* scGetErrorTable(size_t* rowCount) {
    if (rowCount != nullptr) *rowCount = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}

const SCErrorTableRow* scFindErrorRow(SCRESULT code) {
    for (const SCErrorTableRow& row : kRows)
        if (row.code == code) return &row;
    return nullptr;
}

const char* scGetErrorMessage(SCRESULT code, char* buf, size_t len) {
    if (const SCErrorTableRow* row = scFindErrorRow(code)) return CopyText(row->message, buf, len);
    char text[96];
    if (code > 0)
        std::snprintf(text, sizeof text, "Operacja zakończona pomyślnie (%" PRId64 ")", code);
    else if (scIsStatusWordResult(code))
        std::snprintf(text, sizeof text, "Błąd karty, status %04X",
                      static_cast<unsigned>(code & 0xFFFF));
    else
        std::snprintf(text, sizeof text, "Nieznany błąd 0x%016" PRIX64, static_cast<uint64_t>(code));
    return CopyText(text, buf, len);
}

const char* scGetErrorName(SCRESULT code, char* buf, size_t len) {
    if (const SCErrorTableRow* row = scFindErrorRow(code)) return CopyText(row->name, buf, len);
    char text[64];
    if (code > 0)
        std::snprintf(text, sizeof text, "SC_OK(%" PRId64 ")", code);
    else if (scIsStatusWordResult(code))
        std::snprintf(text, sizeof text, "SC_E_CARD_STATUS_%04X", static_cast<unsigned>(code & 0xFFFF));
    else
        std::snprintf(text, sizeof text, "0x%016" PRIX64, static_cast<uint64_t>(code));
    return CopyText(text, buf, len);
}
