// Texts and names of the PKCS#15 result codes, with the success forms and the
// hand-over to the card layer's table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pkcs15/scpkcs15errors.h"

TEST(Pkcs15Errors, TableRowsGiveTheirMessagesAndNames) {
  EXPECT_STREQ("Nie znaleziono żadnego profilu PKCS#15 na karcie", SCPkcs15GetErrorText(SC_E_PKCS15_NO_PROFILES, nullptr, 0));
  EXPECT_STREQ("SC_E_PKCS15_NO_PROFILES", SCPkcs15GetErrorName(SC_E_PKCS15_NO_PROFILES, nullptr, 0));
  EXPECT_STREQ("Atrybut PKCS#15 nie zosał znaleziony", SCPkcs15GetErrorText(SC_E_PKCS15_ATTR_NOT_FOUND, nullptr, 0));
  EXPECT_STREQ("Obiekt tylko do odczytu - nie może być zmodyfikowany",
               SCPkcs15GetErrorText(SC_E_PKCS15_OBJECT_READ_ONLY, nullptr, 0));
  EXPECT_STREQ("SC_E_PKCS15_OBJECT_READ_ONLY", SCPkcs15GetErrorName(SC_E_PKCS15_OBJECT_READ_ONLY, nullptr, 0));
  // The warning is negative as a signed value and found in the table.
  EXPECT_STREQ("Operacja się powiodła, ale uzyskane dane mogą być niepoprawne i wymagają dokładniejszego sprawdzenia",
               SCPkcs15GetErrorText(SC_W_PKCS15_OPERATION_NOT_RELIABLE, nullptr, 0));
  EXPECT_STREQ("SC_W_PKCS15_OPERATION_NOT_RELIABLE", SCPkcs15GetErrorName(SC_W_PKCS15_OPERATION_NOT_RELIABLE, nullptr, 0));
  // Every named constant has a name of its own spelling.
  const SCRESULT all[] = {SC_E_PKCS15_NO_PROFILES, SC_E_PKCS15_DIFFERENT, SC_E_PKCS15_ATTR_NOT_FOUND,
                          SC_E_PKCS15_INVALID_ATTR, SC_E_PKCS15_UNSUPPORTED_ATTR, SC_E_PKCS15_LIB_NOT_INITIATED,
                          SC_E_PKCS15_INVALID_HANDLE, SC_E_PKCS15_UNSUPPORTED_PROFILE, SC_E_PKCS15_UNSUPPORTED_OBJECT,
                          SC_E_PKCS15_PIN_NOT_FOUND, SC_E_PKCS15_PIN_UNKNOWN, SC_E_PKCS15_NOT_LOGGED_IN,
                          SC_E_PKCS15_ATTR_UNEXTRACTABLE, SC_E_PKCS15_WRONG_HANDLE_TYPE, SC_E_PKCS15_KEY_UNSUPPORTED,
                          SC_E_PKCS15_INVALID_ATTR_VALUE, SC_E_PKCS15_ATTRIBUTE_READ_ONLY,
                          SC_E_PKCS15_TEMPLATE_INCOMPLETE, SC_E_PKCS15_TEMPLATE_INCONSISTENT,
                          SC_E_PKCS15_UNSUPPORTED_TYPE, SC_E_PKCS15_FILE, SC_E_PKCS15_OBJECT_READ_ONLY,
                          SC_W_PKCS15_OPERATION_NOT_RELIABLE};
  for (SCRESULT c : all) {
    EXPECT_EQ(0, std::strncmp(SCPkcs15GetErrorName(c, nullptr, 0), "SC_", 3)) << std::hex << c;
    EXPECT_TRUE(scIsPkcs15FamilyResult(c));
  }
}

TEST(Pkcs15Errors, SuccessFormsFitTheBufferOrFallBackToTheConstant) {
  EXPECT_STREQ("Operacja zakończona pomyślnie", SCPkcs15GetErrorText(0, nullptr, 0));
  EXPECT_STREQ("SC_OK", SCPkcs15GetErrorName(0, nullptr, 0));
  char small[10];
  EXPECT_STREQ("Operacja zakończona najprawdopodobniej pomyślnie (>0)", SCPkcs15GetErrorText(5, small, sizeof small));
  char big[100];
  EXPECT_EQ(big, SCPkcs15GetErrorText(5, big, sizeof big));
  EXPECT_STREQ("Operacja zakończona najprawdopodobniej pomyślnie (5)", big);
  EXPECT_STREQ("OK (>0)", SCPkcs15GetErrorName(5, nullptr, 0));
  char name[8];
  EXPECT_STREQ("OK (5)", SCPkcs15GetErrorName(5, name, sizeof name));
  char tight[6];  // "OK (5)" needs 7 bytes with its NUL
  EXPECT_STREQ("OK (>0)", SCPkcs15GetErrorName(5, tight, sizeof tight));
}

TEST(Pkcs15Errors, OtherCodesGoToTheCardLayer) {
  char buf[256], card[256];
  // One above the last failure row is not in the table.
  const SCRESULT beyond = SC_RESULT_CODE(0xE000000000020017ULL);
  EXPECT_STREQ(scGetErrorMessage(beyond, card, sizeof card), SCPkcs15GetErrorText(beyond, buf, sizeof buf));
  EXPECT_STREQ(scGetErrorMessage(SC_E_FILE_NOT_FOUND, card, sizeof card),
               SCPkcs15GetErrorText(SC_E_FILE_NOT_FOUND, buf, sizeof buf));
  EXPECT_STREQ(scGetErrorName(SC_E_FILE_NOT_FOUND, card, sizeof card),
               SCPkcs15GetErrorName(SC_E_FILE_NOT_FOUND, buf, sizeof buf));
  // No buffer for a card code: an empty text, never a null pointer.
  EXPECT_NE(nullptr, SCPkcs15GetErrorText(SC_E_FILE_NOT_FOUND, nullptr, 0));
}
