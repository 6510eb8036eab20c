// TokenInfo text for the trace: number modes, bit strings, the whole dump.
#include <gtest/gtest.h>

#include <string>

#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnint.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "pkcs11impl/tokeninfotext.h"

TEST(TokenInfoText, NumberModesAndLongValues) {
  const uint8_t small[] = {0x01, 0x0F};
  std::string s;
  FormatOctetsAsInteger(&s, small, 2, kNumberDecimal);
  EXPECT_EQ("271", s);
  s.clear();
  FormatOctetsAsInteger(&s, small, 2, kNumberShortHex);
  EXPECT_EQ("0x10f", s);
  s.clear();
  FormatOctetsAsInteger(&s, small + 1, 1, kNumberBoth);
  EXPECT_EQ("15 (0x0f)", s);
  s.clear();
  FormatOctetsAsInteger(&s, small, 2, kNumberHex);
  EXPECT_EQ("0x010f", s);
  const uint8_t big[] = {1, 2, 3, 4, 5};
  s.clear();
  FormatOctetsAsInteger(&s, big, 5, kNumberDecimal);
  EXPECT_EQ("0x0102030405", s);
  ASNinteger v;
  v.setValue(200);  // encoded with a leading zero octet
  s.clear();
  FormatAsnInteger(&s, v, kNumberBoth);
  EXPECT_EQ("200 (0xc8)", s);
}

TEST(TokenInfoText, BitStringsAsFlagsOrOctets) {
  ASNbitstr b;
  std::string s;
  FormatBitString(&s, b, true);
  EXPECT_EQ("<empty>", s);
  const uint8_t bits[] = {0xA0};
  ASSERT_EQ(1, b.set(bits, 1, 5));  // 3 bits used: 1 0 1
  s.clear();
  FormatBitString(&s, b, true);
  EXPECT_EQ("Flags: 101", s);
  s.clear();
  FormatBitString(&s, b, false);
  EXPECT_EQ("5 unused bits: a0", s);
  const uint8_t five[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(1, b.set(five, 5, 0));
  s.clear();
  FormatBitString(&s, b, true);
  EXPECT_EQ("0102030405", s);
}

TEST(TokenInfoText, WholeTokenInfo) {
  ASNPkcs15TokenInfo ti;
  ASSERT_EQ(1, ti.setVersion(0));
  const uint8_t serial[] = {0x12, 0x34};
  ASSERT_EQ(1, ti.setSerialNumber(serial, 2));
  ASSERT_EQ(1, ti.setManufacturerID("Veldor"));
  ASSERT_EQ(1, ti.setLabel("Podpis"));
  ASSERT_EQ(1, ti.setTokenFlags(0x1));
  std::string s;
  FormatTokenInfo(&s, ti);
  EXPECT_EQ(
      "Token info version: 0x00\nSerial number:   1234\nManufacturer ID: Veldor\nToken label:     Podpis\n"
      "Token flags:     Flags: 1",
      s);
  ASNPkcs15TokenInfo empty;
  s.clear();
  FormatTokenInfo(&s, empty);
  EXPECT_EQ(
      "Token info version: 0x00\nSerial number:   <none>\nManufacturer ID: <empty>\nToken label:     <empty>\n"
      "Token flags:     <empty>",
      s);
}
