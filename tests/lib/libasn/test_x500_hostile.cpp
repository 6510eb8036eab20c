// Hostile names and texts: deep nesting, huge names, broken wide strings and UTF-8,
// truncated DER, texts that would make the parsers quadratic.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/libasn/x509/x500attr.h"
#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x509name.h"
#include "tests/lib/libasn/asn_test_util.h"

using asntest::H;

namespace {

// Header octets of a TLV with this tag and contents length.
std::vector<uint8_t> Header(uint8_t tag, size_t len) {
    std::vector<uint8_t> h{tag};
    if (len < 0x80) {
        h.push_back(static_cast<uint8_t>(len));
    } else {
        std::vector<uint8_t> l;
        for (size_t v = len; v; v >>= 8) l.insert(l.begin(), static_cast<uint8_t>(v));
        h.push_back(static_cast<uint8_t>(0x80 | l.size()));
        h.insert(h.end(), l.begin(), l.end());
    }
    return h;
}

std::vector<uint8_t> Wrap(uint8_t tag, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> v = Header(tag, body.size());
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

// A name holding one CN whose value is the given TLV.
std::vector<uint8_t> NameWithValue(const std::vector<uint8_t>& valueTlv) {
    std::vector<uint8_t> ava = H("06 03 55 04 03");
    ava.insert(ava.end(), valueTlv.begin(), valueTlv.end());
    return Wrap(0x30, Wrap(0x31, Wrap(0x30, ava)));
}

}  // namespace

TEST(X500Hostile, DeeplyNestedListValuesAreRenderedAndComparedWithoutDeepRecursion) {
    std::vector<uint8_t> v = Wrap(0x13, {'x'});
    for (int i = 0; i < 20000; i++) v = Wrap(0x30, v);
    std::vector<uint8_t> der = NameWithValue(v);
    DistinguishedName dn;
    ASSERT_EQ(dn.readVector(der), static_cast<long>(der.size()));
    std::string s = dn.toString(0x8C540120);
    EXPECT_EQ(s.substr(0, 4), "CN=#");
    std::string s2 = dn.toString(0x40000);
    EXPECT_FALSE(s2.empty());
    DistinguishedName copy(dn);
    EXPECT_EQ(dn.isEqual(copy), 1);
    EXPECT_EQ(dn.isEquivalent(copy, AttributeValue::compareTextCaseless), 1);
    std::vector<uint8_t> back;
    dn.encodeToVector(back);
    EXPECT_EQ(back, der);
}

TEST(X500Hostile, DeeplyNestedConstructedStringsFallBackToHex) {
    std::vector<uint8_t> v = Wrap(0x13, {'x'});
    for (int i = 0; i < 5000; i++) v = Wrap(0x33, v);
    ASNany a(TAG_ANY);
    ASSERT_EQ(a.readVector(v), static_cast<long>(v.size()));
    std::string s;
    x500::valueToText(s, a, 0);
    EXPECT_EQ(s[0], '#');
    EXPECT_EQ(s.size(), 1 + 2 * v.size());
}

TEST(X500Hostile, HugeNamesPrintParseAndCompare) {
    DistinguishedName dn;
    for (int i = 0; i < 20000; i++) ASSERT_NE(dn.addRdn(X500_CN, "a", -1), nullptr);
    std::string text = dn.toString(0);
    EXPECT_EQ(text.size(), 20000u * 5 - 1);
    DistinguishedName parsed;
    ASSERT_EQ(parsed.fromText(text.c_str(), -1, 0x800), 1);
    EXPECT_EQ(parsed.GetCount(), 20000);
    EXPECT_EQ(parsed.isEqual(dn), 1);
    // One RDN with many values: DER order, equality.
    RDname big;
    for (int i = 0; i < 5000; i++) big.addText(X500_CN, std::to_string(i).c_str(), -1);
    std::vector<uint8_t> enc;
    ASSERT_GT(big.encodeToVector(enc), 0);
    RDname back;
    ASSERT_EQ(back.readVector(enc), static_cast<long>(enc.size()));
    EXPECT_TRUE(back.isEqual(big));
    EXPECT_EQ(back.isEquivalent(big, nullptr), 1);
}

TEST(X500Hostile, ManyEqualsSignsParseInLinearTime) {
    // Without separators between them every '=' would restart the search.
    std::string t = "CN=" + std::string(400000, '=');
    DistinguishedName dn;
    ASSERT_EQ(dn.fromText(t.c_str(), -1, 0x800), 1);
    ASSERT_EQ(dn.GetCount(), 1);
    std::string u = "CN=a";
    for (int i = 0; i < 100000; i++) u += ",b=";
    EXPECT_EQ(dn.fromText(u.c_str(), -1, 0x800), 0);
    RDname r;
    EXPECT_EQ(r.parse(t.c_str(), -1, false, 0x10000F), 1);
}

TEST(X500Hostile, BrokenWideStringsAndUtf8) {
    DistinguishedName dn;
    dn.addRdn(X500_CN, X500_TAG_BMP, "\x00\x41\x00", 3);
    dn.addRdn(X500_O, X500_TAG_UNIVERSAL, "\x00\x00\x00\x41\x00\x00\x00", 7);
    dn.addRdn(X500_OU, X500_TAG_UTF8, "\xC3\x28\xFF", 3);
    dn.addRdn(X500_L, X500_TAG_UNIVERSAL, "\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8);
    EXPECT_EQ(dn.toString(0x40), "CN=#004100,O=#00000041000000,OU=\\C3(\\FF,L=#7FFFFFFFFFFFFFFF");
    // Canonical form leaves what cannot be converted.
    EXPECT_TRUE(dn.makeDER());
    DistinguishedName copy(dn);
    EXPECT_EQ(dn.isEqual(copy), 1);
    // Text input with invalid UTF-8 for a directory string is refused.
    EXPECT_EQ(dn.fromText("CN=\xC3", -1, 0), 0);
    EXPECT_EQ(dn.fromText("CN=\xED\xA0\x80", -1, 0), 0);
    EXPECT_EQ(dn.fromText("CN=\xF4\x90\x80\x80", -1, 0), 0);
    EXPECT_EQ(dn.fromText("CN=\xE2\x82\xAC", -1, 0), 1);
    // Caseless comparison over broken sequences.
    EXPECT_NE(AttributeValue::compareTextCaseless("\xFE\xFF", -1, "\xFE", -1), 0);
    EXPECT_EQ(AttributeValue::compareTextCaseless("\xFE" "a", -1, "\xFE" "A", -1), 0);
}

TEST(X500Hostile, TruncatedAndMalformedDerIsRefused) {
    std::vector<uint8_t> good = H("30 0D 31 0B 30 09 06 03 55 04 03 13 02 41 42");
    for (size_t n = 0; n < good.size(); n++) {
        DistinguishedName dn;
        std::vector<uint8_t> part(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_LE(dn.readVector(part), 0) << n;
    }
    const char* bad[] = {
        "30 0D 31 0B 30 09 06 03 55 04 03 13 03 41 42",   // value overruns
        "30 0D 31 0B 30 09 06 03 55 04 03 1F 02 41 42",   // high tag number
        "30 0D 31 0B 30 09 02 03 55 04 03 13 02 41 42",   // type not an OID
        "30 0D 31 0B 30 09 06 03 55 84 83 13 02 41 42",   // OID not terminated
        "30 0F 31 0D 30 0B 06 03 55 04 03 13 02 41 42 00 00",  // AVA with extra octets
        "30 84 FF FF FF FF 31 0B 30 09 06 03 55 04 03 13 02 41 42",  // huge length
        "30 02 31 80",                                       // indefinite SET
    };
    for (const char* b : bad) {
        DistinguishedName dn;
        EXPECT_LE(dn.readVector(H(b)), 0) << b;
    }
}

TEST(X500Hostile, NullAndEmptyInputs) {
    DistinguishedName dn;
    EXPECT_EQ(dn.fromText(nullptr, -1, 0x800), 1);
    EXPECT_EQ(dn.fromSimpleText(nullptr, -1, false), 1);
    EXPECT_EQ(dn.fromText("=", -1, 0x800), 0);
    EXPECT_EQ(dn.fromText(" = x", -1, 0x800), 0);
    EXPECT_EQ(dn.fromText("CN=\"unterminated", -1, 0x808), 0);
    EXPECT_EQ(dn.findValueByName(nullptr), nullptr);
    EXPECT_EQ(dn.addRdn(static_cast<const char*>(nullptr), "x", -1), nullptr);
    AttributeValue av;
    EXPECT_EQ(x500::fromText(av, nullptr, -1, false, 15), 0);
    EXPECT_EQ(x500::fromAvaText(av, nullptr, -1, false, false), 0);
    EXPECT_EQ(x500::fromText(av, "CN=x\0y", 6, false, 15), 1);
    EXPECT_EQ(av.value.getLength(), 3);
    std::string s;
    EXPECT_EQ(x500::unescapeValue(s, nullptr, -1, 0x570), 1);
    EXPECT_EQ(x500::findSeparatorForward(nullptr, -1, ","), nullptr);
    EXPECT_EQ(x500::findSeparatorBackward("a\\", -1, ","), nullptr);
    EXPECT_EQ(av.setRaw(X500_CN, 19, nullptr, 5), 0);
    uint32_t len = 0;
    EXPECT_EQ(x500::hexDump(av.value, nullptr, &len), 2);
    EXPECT_EQ(x500::hexDump(av.value, nullptr, nullptr), 2);
    // An empty AttributeValue renders and compares without harm.
    AttributeValue e1, e2;
    EXPECT_EQ(e1.isEquivalent(e2, nullptr), 1);
    EXPECT_EQ(e1.canonicalize(), 1);
}
