// Random PIN and PUK texts: alphabets, lengths, the division of one big number
// (checked against an independent model: OpenSSL's BN_div_word on the same
// octets), card octets versus the software generator, argument checks.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "pkcs11impl/randomtext.h"
#include "pkcs11impl/scpkcs15lib.h"

namespace {

const char kDigits[] = "0123456789";
const char kAlpha[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kAlnum[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kPrintable[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ _!@#$%^&*/+-=:;,.?(){}[]";

// A card that hands out octets from a fixed counter pattern and records each draw.
struct FakeCard {
  std::vector<uint32_t> draws;
  uint8_t next = 0x5A;
  SCRESULT answer = SC_OK;
  std::vector<uint8_t> given;
  RandomOctetDraw Draw() {
    return [this](uint8_t* out, uint32_t count) {
      draws.push_back(count);
      if (answer != SC_OK) return answer;
      for (uint32_t i = 0; i < count; ++i) {
        out[i] = next;
        next = static_cast<uint8_t>(next * 73 + 41);
        given.push_back(out[i]);
      }
      return SC_OK;
    };
  }
};

// Independent model: 0x01 || octets as one number, repeated BN_div_word.
std::string Model(const std::vector<uint8_t>& all, const std::vector<uint32_t>& draws, const std::string& alphabet,
                  size_t chars) {
  std::string out;
  size_t offset = 0;
  for (uint32_t count : draws) {
    std::vector<uint8_t> buf(count + 1);
    buf[0] = 0x01;
    for (uint32_t i = 0; i < count; ++i) buf[i + 1] = all[offset + i];
    offset += count;
    BIGNUM* bn = BN_bin2bn(buf.data(), static_cast<int>(buf.size()), nullptr);
    while (out.size() < chars && !BN_is_zero(bn)) {
      const BN_ULONG rem = BN_div_word(bn, alphabet.size());
      out.push_back(alphabet[rem]);
    }
    BN_free(bn);
  }
  return out;
}

std::string Generate(const RandomOctetDraw& draw, const char* alphabet, CK_ULONG chars, CK_RV* rv = nullptr) {
  std::vector<uint8_t> buf(chars * 3 + 8);
  CK_ULONG len = buf.size();
  const CK_RV r = GenerateRandomTextFrom(draw, buf.data(), &len, chars, alphabet);
  if (rv) *rv = r;
  if (r != CKR_OK) return {};
  return std::string(reinterpret_cast<char*>(buf.data()), len);
}

}  // namespace

TEST(RandomText, AlphabetWordsGiveTheirCharacters) {
  struct Case {
    const char* word;
    const char* chars;
  } cases[] = {{nullptr, kDigits},        {"", kDigits},           {"<default>", kDigits},
               {"<DIGITS>", kDigits},     {"<alpha>", kAlpha},     {"<Alnum>", kAlnum},
               {"<printable>", kPrintable}, {"<ASCII>", kPrintable}, {"xyz", "xyz"}};
  for (const Case& c : cases) {
    RandomAlphabet a;
    ASSERT_TRUE(a.Set(c.word));
    EXPECT_EQ(a.Count(), std::strlen(c.chars)) << (c.word ? c.word : "(null)");
    EXPECT_FALSE(a.IsMultibyte());
  }
  EXPECT_EQ(std::strlen(kPrintable), 87u);
}

TEST(RandomText, BitsPerCharacter) {
  EXPECT_EQ(RandomTextBitsPerChar(2), 1u);
  EXPECT_EQ(RandomTextBitsPerChar(3), 2u);
  EXPECT_EQ(RandomTextBitsPerChar(10), 4u);
  EXPECT_EQ(RandomTextBitsPerChar(64), 6u);
  EXPECT_EQ(RandomTextBitsPerChar(87), 7u);
  EXPECT_EQ(RandomTextBitsPerChar(256), 8u);
}

TEST(RandomText, CardOctetsFollowTheDivisionModel) {
  for (const char* word : {"<digits>", "<alpha>", "<alnum>", "<printable>", "ab", "abc"}) {
    for (CK_ULONG chars : {1ul, 6ul, 8ul, 33ul, 300ul}) {
      FakeCard card;
      const std::string text = Generate(card.Draw(), word, chars);
      ASSERT_EQ(text.size(), chars) << word;
      RandomAlphabet a;
      a.Set(word);
      std::string alphabet;
      for (size_t i = 0; i < a.Count(); ++i) {
        uint8_t e[3];
        a.Encode(i, e);
        alphabet.push_back(static_cast<char>(e[0]));
      }
      EXPECT_EQ(text, Model(card.given, card.draws, alphabet, chars)) << word << " " << chars;
      for (uint32_t d : card.draws) EXPECT_LE(d, RANDOM_TEXT_MAX_DRAW);
    }
  }
}

TEST(RandomText, DrawSizesFollowBitsOfMissingCharacters) {
  FakeCard card;
  Generate(card.Draw(), "<digits>", 8);
  ASSERT_EQ(card.draws.size(), 1u);
  EXPECT_EQ(card.draws[0], 4u);  // 8 characters x 4 bits
  FakeCard longCard;
  Generate(longCard.Draw(), "<printable>", 400);  // 2800 bits: several draws of at most 128 octets
  ASSERT_GT(longCard.draws.size(), 2u);
  EXPECT_EQ(longCard.draws[0], 128u);
}

TEST(RandomText, UnsupportedCardFallsBackToSoftwareForTheWholeCall) {
  FakeCard card;
  card.answer = SC_E_UNSUPPORTED_FEATURE;
  CK_RV rv = 0;
  const std::string text = Generate(card.Draw(), "<alnum>", 300, &rv);
  ASSERT_EQ(rv, CKR_OK);
  EXPECT_EQ(text.size(), 300u);
  EXPECT_EQ(card.draws.size(), 1u);  // asked once only
  for (char c : text) EXPECT_NE(std::strchr(kAlnum, c), nullptr);
}

TEST(RandomText, CardFailureIsMappedAndNothingIsHandedOut) {
  FakeCard card;
  card.answer = SC_E_PIN_BLOCKED;
  std::vector<uint8_t> buf(16, 0xEE);
  CK_ULONG len = buf.size();
  const CK_RV rv = GenerateRandomTextFrom(card.Draw(), buf.data(), &len, 8, nullptr);
  EXPECT_NE(rv, CKR_OK);
  EXPECT_EQ(len, 0u);
}

TEST(RandomText, SoftwareGeneratorGivesAlphabetCharactersAndVaries) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string text = Generate(RandomOctetDraw(), "<printable>", 16);
    ASSERT_EQ(text.size(), 16u);
    for (char c : text) EXPECT_NE(std::strchr(kPrintable, c), nullptr);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 20u);
  uint8_t a[64], b[64];
  ASSERT_EQ(SoftwareRandomOctets(a, sizeof a, 0), CKR_OK);
  ASSERT_EQ(SoftwareRandomOctets(b, sizeof b, 0), CKR_OK);
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);  // same clock second, same counter: the device octets differ
}

TEST(RandomText, DigitsAreRoughlyEvenOverManyDraws) {
  int counts[10] = {};
  const std::string text = Generate(RandomOctetDraw(), "<digits>", 20000);
  ASSERT_EQ(text.size(), 20000u);
  for (char c : text) ++counts[c - '0'];
  for (int c : counts) {
    EXPECT_GT(c, 1600);
    EXPECT_LT(c, 2400);
  }
}

TEST(RandomText, ArgumentChecks) {
  std::vector<uint8_t> buf(16);
  CK_ULONG len = buf.size();
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), nullptr, 4, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), &len, 4, "x"), CKR_ARGUMENTS_BAD);
  len = 3;
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), &len, 4, nullptr), CKR_ARGUMENTS_BAD);
  len = 16;
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), nullptr, &len, 4, nullptr), CKR_ARGUMENTS_BAD);
  len = 16;
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), &len, 0, nullptr), CKR_OK);
  EXPECT_EQ(len, 0u);
  // Two characters: one bit each.
  FakeCard card;
  const std::string two = Generate(card.Draw(), "01", 16);
  EXPECT_EQ(two.size(), 16u);
  ASSERT_EQ(card.draws.size(), 1u);
  EXPECT_EQ(card.draws[0], 2u);
}

TEST(RandomText, MultibyteAlphabetAndShortBuffer) {
  const char* word = "\xc4\x85\xc4\x99\xc5\xbc";  // three two-octet characters
  RandomAlphabet a;
  ASSERT_TRUE(a.Set(word));
  EXPECT_TRUE(a.IsMultibyte());
  EXPECT_EQ(a.Count(), 3u);
  std::vector<uint8_t> buf(40);
  CK_ULONG len = buf.size();
  ASSERT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), &len, 20, word), CKR_OK);
  EXPECT_EQ(len, 40u);
  for (size_t i = 0; i < len; i += 2) {
    const std::string ch(reinterpret_cast<char*>(buf.data()) + i, 2);
    EXPECT_NE(std::string(word).find(ch), std::string::npos);
  }
  len = 30;  // room for the character count, not for the octets
  EXPECT_EQ(GenerateRandomTextFrom(RandomOctetDraw(), buf.data(), &len, 20, word), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 40u);
  // Invalid UTF-8 counts byte by byte.
  RandomAlphabet bytes;
  ASSERT_TRUE(bytes.Set("\xc4z\xff"));
  EXPECT_FALSE(bytes.IsMultibyte());
  EXPECT_EQ(bytes.Count(), 3u);
}

TEST(RandomText, AlphabetUsability) {
  RandomAlphabet a;
  a.Set("aaaa");
  EXPECT_FALSE(a.IsUsable());
  a.Set("ab");
  EXPECT_TRUE(a.IsUsable());
  a.Set("\xc4\x85\xc4\x85");
  EXPECT_FALSE(a.IsUsable());
}

TEST(RandomText, BridgeRefusesBadReaderAndArguments) {
  SCPkcs15Lib lib;
  uint8_t buf[16];
  CK_ULONG len = sizeof buf;
  EXPECT_EQ(lib.GenerateRandomText(0, buf, &len, 4, nullptr), CKR_ARGUMENTS_BAD);  // no readers
  EXPECT_EQ(lib.GenerateRandomText(0, buf, nullptr, 4, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(lib.ValidateInitProfile(0, nullptr, false), CKR_ARGUMENTS_BAD);
}
