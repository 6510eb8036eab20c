// Return-value messages and the last-error text: the Polish texts byte for
// byte, the CP1250 bytes a caller receives (checked against the C library's
// own iconv conversion), and the GetLastErrorString copy rules.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/p11messages.h"

namespace {

// UTF-8 to CP1250 through glibc's iconv, an independent conversion.
std::string IconvCp1250(const std::string& utf8) {
  iconv_t cd = iconv_open("CP1250", "UTF-8");
  if (cd == (iconv_t)-1) return "<no iconv>";
  std::string in = utf8;
  std::string out(in.size() * 2 + 4, '\0');
  char* ip = &in[0];
  size_t il = in.size();
  char* op = &out[0];
  size_t ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == (size_t)-1) return "<iconv failed>";
  out.resize(out.size() - ol);
  return out;
}

TEST(ReturnValueMessages, KnownUnknownAndInternalValues) {
  EXPECT_STREQ(CkrMessageTable(CKR_FUNCTION_NOT_SUPPORTED), "Funkcja nie jest zaimplementowana");
  EXPECT_STREQ(CkrMessageTable(0x1234), "Nieznany kod błędu");
  EXPECT_STREQ(CkrMessageTable(CKR_OK), "Operacja zakonczona pomyślnie");
  EXPECT_STREQ(CkrMessageTable(CKR_CANCEL), "Operacja powinna zostać pzerwana");
  EXPECT_STREQ(CkrMessageTable(CKR_GENERAL_ERROR), "Poważny błąd ogólny ");
  EXPECT_STREQ(CkrMessageTable(CKR_KEY_SENSITIVE), "Klucz jest wrażliwy, niue można z niego wyciągnąć zawartości");
  EXPECT_STREQ(CkrMessageTable(CKR_OPERATION_NOT_INITIALIZED), "Operacja nie zostałe zainicjowana");
  EXPECT_STREQ(CkrMessageTable(CKR_MIRTAL_MASTER_CARD_AUTH_FAILED), "Uwierzytelnienie do karty-matki się nie powiodło");
  EXPECT_STREQ(CkrMessageTable(0xFFFFFFF0), "Wartości atrybutów są różne");
  EXPECT_STREQ(CkrMessageTable(0xFFFFFFF1), "Typ atrybutu nie jest obsługiwany");
  EXPECT_STREQ(CkrMessageTable(0xFFFFFFF2), "Atrybutu nie znaleziono");
  // Values without a row of their own.
  EXPECT_STREQ(CkrMessageTable(CKR_NEW_PIN_MODE), "Nieznany kod błędu");
  EXPECT_STREQ(CkrMessageTable(CKR_VENDOR_DEFINED), "Nieznany kod błędu");
}

TEST(ReturnValueMessages, CallerReceivesCp1250Bytes) {
  EXPECT_STREQ(ToCallerText(CkrMessageTable(0x1234)).c_str(), "Nieznany kod b\xB3\xEA" "du");
  EXPECT_STREQ(ToCallerText(CkrMessageTable(CKR_OK)).c_str(), "Operacja zakonczona pomy\x9Clnie");
  EXPECT_STREQ(ToCallerText(CkrMessageTable(CKR_FUNCTION_NOT_SUPPORTED)).c_str(), "Funkcja nie jest zaimplementowana");
  for (CK_RV rv = 0; rv < 0x300; ++rv)
    EXPECT_EQ(ToCallerText(CkrMessageTable(rv)), IconvCp1250(CkrMessageTable(rv))) << std::hex << rv;
  for (CK_RV rv : {0xABEC1000UL, 0xABEC1001UL, 0xABEC1002UL, 0xABEC1003UL, 0xFFFFFFF0UL, 0xFFFFFFF1UL, 0xFFFFFFF2UL})
    EXPECT_EQ(ToCallerText(CkrMessageTable(rv)), IconvCp1250(CkrMessageTable(rv))) << std::hex << rv;
}

TEST(LastError, SetClearAndEmptyTexts) {
  LastErrorText e;
  EXPECT_STREQ(e.Get(), "");
  EXPECT_STREQ(e.GetForCaller(), "");
  EXPECT_TRUE(e.Set("Karta-matka nie została znaleziona"));
  EXPECT_STREQ(e.Get(), "Karta-matka nie została znaleziona");
  EXPECT_STREQ(e.GetForCaller(), "Karta-matka nie zosta\xB3" "a znaleziona");
  EXPECT_TRUE(e.Set(""));
  EXPECT_STREQ(e.Get(), "");
  EXPECT_TRUE(e.Set("x"));
  EXPECT_TRUE(e.Set(nullptr));
  EXPECT_STREQ(e.Get(), "");
  EXPECT_TRUE(e.SetFormatted("Reader named '%.100s' not found", std::string(150, 'r').c_str()));
  EXPECT_EQ(std::string(e.Get()), "Reader named '" + std::string(100, 'r') + "' not found");
  e.Clear();
  EXPECT_STREQ(e.GetForCaller(), "");
}

TEST(LastError, InvalidUtf8IsHandedOnUnchanged) {
  LastErrorText e;
  EXPECT_TRUE(e.Set("abc\xFF"));
  EXPECT_STREQ(e.GetForCaller(), "abc\xFF");
  EXPECT_EQ(ToCallerText("zażółć"), "za\xBF\xF3\xB3\xE6");
  EXPECT_EQ(ToCallerText("€ and ✓"), "\x80 and ?");
}

TEST(LastError, CopyForCallerFollowsTheLengthRules) {
  LastErrorText e;
  e.Set("Błąd karty");  // 10 bytes in CP1250
  const char* text = e.GetForCaller();
  ASSERT_EQ(std::strlen(text), 10u);

  unsigned long len = 0;
  EXPECT_EQ(CopyLastErrorForCaller(text, nullptr, &len), 1);  // size query
  EXPECT_EQ(len, 11u);

  char big[32];
  len = sizeof big;
  EXPECT_EQ(CopyLastErrorForCaller(text, big, &len), 1);
  EXPECT_EQ(len, 11u);
  EXPECT_EQ(std::memcmp(big, "B\xB3\xB9" "d karty", 11), 0);

  char exact[10];
  std::memset(exact, 'x', sizeof exact);
  len = sizeof exact;  // exactly the text's length: too small for the terminator
  EXPECT_EQ(CopyLastErrorForCaller(text, exact, &len), 0);
  EXPECT_EQ(len, 11u);
  EXPECT_EQ(std::memcmp(exact, "B\xB3\xB9" "d kart", 9), 0);
  EXPECT_EQ(exact[9], '\0');

  char one[1] = {'x'};
  len = 0;
  EXPECT_EQ(CopyLastErrorForCaller(text, one, &len), 0);
  EXPECT_EQ(one[0], 'x');
  EXPECT_EQ(len, 11u);

  EXPECT_EQ(CopyLastErrorForCaller(text, big, nullptr), 0);

  len = 5;
  EXPECT_EQ(CopyLastErrorForCaller("", big, &len), 1);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(big[0], '\0');
}

}  // namespace
