// Cross-checks against OpenSSL: DER vectors it produced, and encodings of the same
// values by both implementations.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>

#include "lib/libasn/asnany.h"
#include "lib/libasn/asnbitst.h"
#include "lib/libasn/asnbool.h"
#include "lib/libasn/asnchoice.h"
#include "lib/libasn/asngent.h"
#include "lib/libasn/asnint.h"
#include "lib/libasn/asnobjid.h"
#include "lib/libasn/asnocstr.h"
#include "lib/libasn/asnu8str.h"
#include "tests/lib/libasn/asn_test_util.h"

using namespace asntest;

namespace {

// Decodes the whole file into obj and checks that it re-encodes to the same octets.
void RoundTrip(ASNobject& obj, const std::vector<uint8_t>& der, const char* name) {
    ASSERT_FALSE(der.empty()) << name;
    ASSERT_EQ(obj.readVector(der), static_cast<long>(der.size())) << name;
    std::vector<uint8_t> again;
    ASSERT_EQ(obj.encodeToVector(again), static_cast<long>(der.size())) << name;
    EXPECT_EQ(Hex(again), Hex(der)) << name;
}

template <typename T, typename F>
std::vector<uint8_t> I2d(T* obj, F fn) {
    unsigned char* out = nullptr;
    int n = fn(obj, &out);
    std::vector<uint8_t> v;
    if (n > 0) v.assign(out, out + n);
    OPENSSL_free(out);
    return v;
}

std::vector<uint8_t> Ours(const ASNobject& o) {
    std::vector<uint8_t> v;
    o.encodeToVector(v);
    return v;
}

}  // namespace

TEST(AsnOpensslVectors, IntegersFromOpenssl) {
    ASNinteger i;
    RoundTrip(i, testsupport::ReadDataFile("int_neg129.der"), "int_neg129");
    EXPECT_EQ(Hex(i.getData(), i.getValueLength()), N("FF 7F"));
    RoundTrip(i, testsupport::ReadDataFile("int_big.der"), "int_big");
    char hex[64];
    ASSERT_EQ(i.getHex(hex, sizeof hex), 1);
    EXPECT_STREQ(hex, "FF00112233445566778899");
    EXPECT_THROW(i.getLong(), std::overflow_error);
}

TEST(AsnOpensslVectors, ObjectIdentifiersFromOpenssl) {
    ASNobjectId o;
    RoundTrip(o, testsupport::ReadDataFile("oid_sha256rsa.der"), "oid_sha256rsa");
    EXPECT_EQ(o.toString(), "1.2.840.113549.1.1.11");
    RoundTrip(o, testsupport::ReadDataFile("oid_longarc.der"), "oid_longarc");
    EXPECT_EQ(o.toString(), "2.999.4294967295");
}

TEST(AsnOpensslVectors, BitStringsFromOpenssl) {
    ASNbitstr b;
    RoundTrip(b, testsupport::ReadDataFile("bits_named.der"), "bits_named");
    EXPECT_EQ(b.getFlags(), (1u << 0) | (1u << 2) | (1u << 9));
    ASNbitstr mine;
    mine.setFlags((1u << 0) | (1u << 2) | (1u << 9));
    EXPECT_EQ(Hex(Ours(mine)), Hex(testsupport::ReadDataFile("bits_named.der")));
    RoundTrip(b, testsupport::ReadDataFile("bits_hex.der"), "bits_hex");
    EXPECT_EQ(b.getBitLength(), 32);
    EXPECT_EQ(Hex(b.getBits(), b.getByteLength()), N("DE AD BE EF"));
}

TEST(AsnOpensslVectors, Utf8AndTimeFromOpenssl) {
    ASNUtf8String u;
    RoundTrip(u, testsupport::ReadDataFile("utf8_pl.der"), "utf8_pl");
    EXPECT_TRUE(u.isEqual("Zażółć gęślą jaźń"));
    EXPECT_EQ(u.getCharCount(), 17);
    ASNgenTime t;
    RoundTrip(t, testsupport::ReadDataFile("gentime.der"), "gentime");
    EXPECT_EQ(t.year, 2023);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.second, 59);
    EXPECT_TRUE(t.isValid());
}

TEST(AsnOpensslVectors, LongOctetStringsFromOpenssl) {
    ASNoctstr s;
    RoundTrip(s, testsupport::ReadDataFile("octets_300.der"), "octets_300");
    EXPECT_EQ(s.getLength(), 300);
    RoundTrip(s, testsupport::ReadDataFile("octets_65536.der"), "octets_65536");
    EXPECT_EQ(s.getLength(), 65536);
    EXPECT_EQ(s.getData()[65535], 0x5A);
}

TEST(AsnOpensslVectors, NestedStructureFromOpenssl) {
    std::vector<uint8_t> der = testsupport::ReadDataFile("nested.der");
    ASNany top;
    RoundTrip(top, der, "nested");
    EXPECT_EQ(top.tag, 0x30);
    // Walk the members as structure decoders do: each into an ANY, then assign.
    MemFile mf(top.getData(), static_cast<size_t>(top.getLength()), false);
    std::vector<ASNany> el;
    while (mf.Tell() < mf.Size()) {
        ASNany a;
        ASSERT_GT(a.read(&mf, static_cast<long>(mf.Size() - mf.Tell())), 0);
        el.push_back(a);
    }
    ASSERT_EQ(el.size(), 9u);
    ASNinteger version;
    ASSERT_EQ(version.assign(el[0]), 1);
    EXPECT_EQ(version.getLong(), 2);
    ASNany alg = el[1];
    MemFile am(alg.getData(), static_cast<size_t>(alg.getLength()), false);
    ASNobjectId oid;
    ASSERT_EQ(oid.read(&am, alg.getLength()), 10);
    EXPECT_EQ(oid.toString(), "1.2.840.10045.4.3.2");
    ASNnull nul;
    ASSERT_EQ(nul.read(&am, 2), 2);
    ASNbool flag;
    ASSERT_EQ(flag.assign(el[2]), 1);
    EXPECT_EQ(flag.getValue(), -1);
    ASNoctstr tagged(0x80);
    tagged.setExplicitTag();
    ASSERT_EQ(tagged.assign(el[3]), 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tagged.getData()), 5), "hello");
    EXPECT_EQ(Hex(Ours(tagged)), N("A0 07 04 05 68 65 6C 6C 6F"));
    ASNinteger implicit(0x81);
    ASSERT_EQ(implicit.assign(el[4]), 1);
    EXPECT_EQ(implicit.getLong(), 300);
    EXPECT_EQ(el[5].tag, 0x31);
    ASNgenTime when;
    ASSERT_EQ(when.assign(el[6]), 1);
    EXPECT_TRUE(when.isValid());
    EXPECT_EQ(when.day, 29);
    ASNbitstr bits;
    ASSERT_EQ(bits.assign(el[7]), 1);
    EXPECT_EQ(bits.getFlags(), (1u << 1) | (1u << 3));
    ASNUtf8String name;
    ASSERT_EQ(name.assign(el[8]), 1);
    EXPECT_TRUE(name.isEqual("card"));
}

TEST(AsnOpensslDiff, IntegersEncodeAsOpensslDoes) {
    std::mt19937_64 rng(1234);
    for (int n = 0; n < 300; n++) {
        size_t len = 1 + rng() % 40;
        std::vector<uint8_t> mag(len);
        for (auto& b : mag) b = static_cast<uint8_t>(rng());
        if (n % 7 == 0) mag[0] = 0;  // leading zeros are dropped
        BIGNUM* bn = BN_bin2bn(mag.data(), static_cast<int>(len), nullptr);
        ASN1_INTEGER* ai = BN_to_ASN1_INTEGER(bn, nullptr);
        std::vector<uint8_t> theirs = I2d(ai, i2d_ASN1_INTEGER);
        ASNinteger mine;
        ASSERT_EQ(mine.setUnsigned(mag.data(), static_cast<long>(len)), 1);
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs));
        // And OpenSSL reads ours back to the same number.
        std::vector<uint8_t> ours = Ours(mine);
        const unsigned char* p = ours.data();
        ASN1_INTEGER* back = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(ours.size()));
        ASSERT_NE(back, nullptr);
        BIGNUM* bn2 = ASN1_INTEGER_to_BN(back, nullptr);
        EXPECT_EQ(BN_cmp(bn, bn2), 0);
        BN_free(bn2);
        ASN1_INTEGER_free(back);
        ASN1_INTEGER_free(ai);
        BN_free(bn);
    }
    for (int64_t v : {int64_t(-1), int64_t(-128), int64_t(-129), int64_t(-32768), -(int64_t(1) << 40)}) {
        ASN1_INTEGER* ai = ASN1_INTEGER_new();
        ASN1_INTEGER_set_int64(ai, v);
        std::vector<uint8_t> theirs = I2d(ai, i2d_ASN1_INTEGER);
        ASNinteger mine;
        ASSERT_EQ(mine.readVector(theirs), static_cast<long>(theirs.size()));
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs));
        ASN1_INTEGER_free(ai);
    }
    for (uint32_t v : {0u, 1u, 127u, 128u, 255u, 256u, 65535u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        ASN1_INTEGER* ai = ASN1_INTEGER_new();
        ASN1_INTEGER_set_uint64(ai, v);
        ASNinteger mine;
        mine.setValue(v);
        EXPECT_EQ(Hex(Ours(mine)), Hex(I2d(ai, i2d_ASN1_INTEGER))) << v;
        EXPECT_EQ(static_cast<uint32_t>(mine.getLong()), v);
        ASN1_INTEGER_free(ai);
    }
}

TEST(AsnOpensslDiff, ObjectIdentifiersMatchOpenssl) {
    std::mt19937 rng(99);
    for (int n = 0; n < 500; n++) {
        unsigned first = rng() % 3;
        unsigned second = first < 2 ? rng() % 40 : rng() % 100000;
        std::string text = std::to_string(first) + "." + std::to_string(second);
        int more = static_cast<int>(rng() % 8);
        for (int k = 0; k < more; k++) {
            uint32_t arc = rng();
            switch (rng() % 4) {
                case 0: arc %= 128; break;
                case 1: arc %= 16384; break;
                case 2: arc %= 0x200000; break;
                default: break;
            }
            text += "." + std::to_string(arc);
        }
        ASN1_OBJECT* obj = OBJ_txt2obj(text.c_str(), 1);
        ASSERT_NE(obj, nullptr) << text;
        std::vector<uint8_t> theirs = I2d(obj, i2d_ASN1_OBJECT);
        ASNobjectId mine;
        ASSERT_EQ(mine.setText(text.c_str()), 1) << text;
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs)) << text;
        ASNobjectId decoded;
        ASSERT_EQ(decoded.readVector(theirs), static_cast<long>(theirs.size())) << text;
        char buf[512];
        OBJ_obj2txt(buf, sizeof buf, obj, 1);
        EXPECT_EQ(decoded.toString(), std::string(buf)) << text;
        ASN1_OBJECT_free(obj);
    }
}

TEST(AsnOpensslDiff, NamedBitStringsMatchOpenssl) {
    std::mt19937 rng(7);
    for (int n = 0; n < 300; n++) {
        uint32_t bits = rng();
        if (n % 3 == 0) bits &= 0xFFu;
        if (n % 5 == 0) bits &= 0x3FFu;
        if (n == 0) bits = 0;
        ASN1_BIT_STRING* bs = ASN1_BIT_STRING_new();
        for (int i = 0; i < 32; i++)
            if (bits & (1u << i)) ASN1_BIT_STRING_set_bit(bs, i, 1);
        std::vector<uint8_t> theirs = I2d(bs, i2d_ASN1_BIT_STRING);
        ASNbitstr mine;
        mine.setFlags(bits);
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs)) << std::hex << bits;
        ASNbitstr back;
        ASSERT_EQ(back.readVector(theirs), static_cast<long>(theirs.size()));
        EXPECT_EQ(back.getFlags(), bits);
        ASN1_BIT_STRING_free(bs);
    }
}

TEST(AsnOpensslDiff, StringsAndTimesMatchOpenssl) {
    for (size_t len : {0u, 1u, 127u, 128u, 255u, 256u, 1000u, 65535u, 65536u, 70000u}) {
        std::string text(len, 'q');
        ASN1_STRING* s = ASN1_STRING_type_new(V_ASN1_UTF8STRING);
        ASN1_STRING_set(s, text.data(), static_cast<int>(len));
        ASN1_TYPE* t = ASN1_TYPE_new();
        ASN1_TYPE_set(t, V_ASN1_UTF8STRING, s);
        std::vector<uint8_t> theirs = I2d(t, i2d_ASN1_TYPE);
        ASNUtf8String mine;
        ASSERT_EQ(mine.setText(text.c_str(), static_cast<int>(len)), 1);
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs)) << len;
        ASN1_TYPE_free(t);
        ASN1_OCTET_STRING* o = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(o, reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(len));
        ASNoctstr mo;
        ASSERT_EQ(mo.set(text.data(), static_cast<long>(len)), 1);
        EXPECT_EQ(Hex(Ours(mo)), Hex(I2d(o, i2d_ASN1_OCTET_STRING))) << len;
        ASN1_OCTET_STRING_free(o);
    }
    const char* times[] = {"20231231235959Z", "19500101000000Z", "20491231235959Z", "20240229120000Z"};
    for (const char* tt : times) {
        ASN1_GENERALIZEDTIME* g = ASN1_GENERALIZEDTIME_new();
        ASSERT_EQ(ASN1_GENERALIZEDTIME_set_string(g, tt), 1);
        std::vector<uint8_t> theirs = I2d(g, i2d_ASN1_GENERALIZEDTIME);
        ASNgenTime mine;
        int y, mo, d, h, mi, s;
        std::sscanf(tt, "%4d%2d%2d%2d%2d%2d", &y, &mo, &d, &h, &mi, &s);
        mine.set(y, mo, d, h, mi, s);
        EXPECT_EQ(Hex(Ours(mine)), Hex(theirs)) << tt;
        ASN1_GENERALIZEDTIME_free(g);
    }
}

TEST(AsnOpensslDiff, OpensslReadsWhatWeEncode) {
    std::vector<std::vector<uint8_t>> encodings;
    ASNinteger i;
    i.setValue(0x12345678);
    encodings.push_back(Ours(i));
    ASNobjectId o("1.3.6.1.4.1.311.21.20");
    encodings.push_back(Ours(o));
    ASNbitstr b;
    b.setFlags(0x1234);
    encodings.push_back(Ours(b));
    ASNbool t;
    t = true;
    encodings.push_back(Ours(t));
    ASNnull n;
    encodings.push_back(Ours(n));
    ASNgenTime g;
    g.set(2024, 2, 29, 1, 2, 3);
    encodings.push_back(Ours(g));
    ASNoctstr big;
    std::vector<uint8_t> v(4000, 0x77);
    big.set(v.data(), 4000);
    encodings.push_back(Ours(big));
    for (const auto& e : encodings) {
        const unsigned char* p = e.data();
        ASN1_TYPE* at = d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(e.size()));
        ASSERT_NE(at, nullptr) << Hex(e);
        EXPECT_EQ(p, e.data() + e.size());
        EXPECT_EQ(Hex(I2d(at, i2d_ASN1_TYPE)), Hex(e));
        ASN1_TYPE_free(at);
    }
}

TEST(AsnOpensslDiff, OpensslCommandParsesOurStructure) {
    // A SEQUENCE of our own types, written to a file and read by `openssl asn1parse`.
    ASNobjectId o("1.2.840.113549.1.1.11");
    ASNinteger i;
    i.setValue(300);
    ASNUtf8String u;
    u = "karta";
    ASNoctstr wrapped(0x80);
    wrapped.setExplicitTag();
    wrapped.set("abc", 3);
    std::vector<uint8_t> body;
    for (const ASNobject* m : std::initializer_list<const ASNobject*>{&o, &i, &u, &wrapped}) {
        std::vector<uint8_t> e = Ours(*m);
        body.insert(body.end(), e.begin(), e.end());
    }
    ASNany seq(0x30);
    ASSERT_EQ(seq.set(0x30, body.data(), static_cast<long>(body.size())), 1);
    std::vector<uint8_t> der = Ours(seq);
    char path[] = "/tmp/asn_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, der.data(), der.size()), static_cast<ssize_t>(der.size()));
    close(fd);
    std::string cmd = std::string("openssl asn1parse -inform DER -in ") + path + " 2>&1";
    FILE* pipe = popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
    int rc = pclose(pipe);
    unlink(path);
    if (rc != 0 && out.find("not found") != std::string::npos) GTEST_SKIP() << "no openssl command";
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("sha256WithRSAEncryption"), std::string::npos) << out;
    EXPECT_NE(out.find(":012C"), std::string::npos) << out;
    EXPECT_NE(out.find(":karta"), std::string::npos) << out;
    EXPECT_NE(out.find("cont [ 0 ]"), std::string::npos) << out;
    EXPECT_NE(out.find(":abc"), std::string::npos) << out;
}
