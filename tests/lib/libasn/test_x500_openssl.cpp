// Distinguished names cross-checked with OpenSSL: DER both ways (OpenSSL writes
// multi-valued RDNs in DER set order too) and the RFC 2253 and one-line text forms.
#include <gtest/gtest.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lib/libasn/x509/x500attr.h"
#include "lib/libasn/x509/x500text.h"
#include "lib/libasn/x509/x509name.h"
#include "tests/lib/libasn/asn_test_util.h"

using asntest::Hex;

namespace {

struct Entry {
    const char* field;   // OpenSSL's short name
    uint32_t id;         // our table id
    int type;            // V_ASN1_* string type
    std::string value;
    bool newRdn;
};

std::vector<uint8_t> Der(X509_NAME* n) {
    unsigned char* p = nullptr;
    int len = i2d_X509_NAME(n, &p);
    std::vector<uint8_t> v;
    if (len > 0) v.assign(p, p + len);
    OPENSSL_free(p);
    return v;
}

X509_NAME* OsslName(const std::vector<Entry>& es) {
    X509_NAME* n = X509_NAME_new();
    for (const Entry& e : es) {
        ASN1_OBJECT* obj = OBJ_txt2obj(e.field, 0);
        X509_NAME_ENTRY* ne = X509_NAME_ENTRY_create_by_OBJ(nullptr, obj, e.type,
                                                            reinterpret_cast<const unsigned char*>(e.value.data()),
                                                            static_cast<int>(e.value.size()));
        X509_NAME_add_entry(n, ne, -1, e.newRdn ? 0 : -1);
        X509_NAME_ENTRY_free(ne);
        ASN1_OBJECT_free(obj);
    }
    return n;
}

std::string OsslText(X509_NAME* n, unsigned long flags) {
    BIO* b = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(b, n, 0, flags);
    char* p = nullptr;
    long len = BIO_get_mem_data(b, &p);
    std::string s(p, static_cast<size_t>(len));
    BIO_free(b);
    return s;
}

DistinguishedName OurName(const std::vector<Entry>& es) {
    DistinguishedName dn;
    for (const Entry& e : es) {
        if (e.newRdn || dn.GetCount() == 0)
            dn.addRdn(e.id, static_cast<uint8_t>(e.type), e.value.data(), static_cast<long>(e.value.size()));
        else
            dn.getAt(dn.GetCount() - 1)->add(e.id, static_cast<uint8_t>(e.type), e.value.data(),
                                                static_cast<long>(e.value.size()));
    }
    return dn;
}

// RFC 2253 text: most specific RDN first, ',' between RDNs, '+' inside one, short
// names, special characters, control octets and octets from 0x80 escaped.
constexpr uint32_t kRfc2253 = 0x80000000u | 0x400000 | 0x10 | 0x20 | 0x40;
// One line: ", " between RDNs, " + " inside one, " = ", nothing escaped but
// control characters (OpenSSL's XN_FLAG_ONELINE minus its quoting).
constexpr uint32_t kOneLine = 0x140000 | 0x400000 | 0x40000 | 0x10000 | 0x20 | 0x40;

std::vector<std::vector<Entry>> Samples() {
    return {
        {{"C", 0, V_ASN1_PRINTABLESTRING, "PL", true},
         {"O", 3, V_ASN1_UTF8STRING, "Firma", true},
         {"CN", 5, V_ASN1_UTF8STRING, "Jan Kowalski", true}},
        {{"C", 0, V_ASN1_PRINTABLESTRING, "PL", true},
         {"ST", 2, V_ASN1_UTF8STRING, "mazowieckie", true},
         {"L", 1, V_ASN1_UTF8STRING, "Warszawa", true},
         {"OU", 4, V_ASN1_UTF8STRING, "IT, Security", true},
         {"CN", 5, V_ASN1_UTF8STRING, "Za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87 g\xC4\x99\xC5\x9Bl\xC4\x85 ja\xC5\xBA\xC5\x84", true}},
        {{"O", 3, V_ASN1_PRINTABLESTRING, "Firma", true},
         {"CN", 5, V_ASN1_PRINTABLESTRING, "Jan", true},
         {"OU", 4, V_ASN1_PRINTABLESTRING, "Dzial", false}},
        {{"CN", 5, V_ASN1_UTF8STRING, " lead#+\"<>;\\ trail ", true}},
        {{"CN", 5, V_ASN1_UTF8STRING, "#hash", true}},
        {{"CN", 5, V_ASN1_UTF8STRING, std::string("ctl\x01\x7F", 5), true}},
        {{"DC", 16, V_ASN1_IA5STRING, "example", true},
         {"DC", 16, V_ASN1_IA5STRING, "com", true},
         {"UID", 21, V_ASN1_UTF8STRING, "jk", true}},
        {{"CN", 5, V_ASN1_BMPSTRING, std::string("\x00J\x01\x42", 4), true}},
        {{"CN", 5, V_ASN1_T61STRING, "Jan", true}},
    };
}

}  // namespace

TEST(X500OpenSsl, NamesBuiltHereAreTheDerOpenSslWrites) {
    for (const auto& es : Samples()) {
        X509_NAME* on = OsslName(es);
        std::vector<uint8_t> theirs = Der(on);
        DistinguishedName dn = OurName(es);
        std::vector<uint8_t> ours;
        dn.encodeToVector(ours);
        EXPECT_EQ(Hex(ours), Hex(theirs));
        // OpenSSL reads ours.
        const unsigned char* p = ours.data();
        X509_NAME* back = d2i_X509_NAME(nullptr, &p, static_cast<long>(ours.size()));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(X509_NAME_cmp(back, on), 0);
        X509_NAME_free(back);
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, OpenSslNamesDecodeAndReencodeByteForByte) {
    for (const auto& es : Samples()) {
        X509_NAME* on = OsslName(es);
        std::vector<uint8_t> theirs = Der(on);
        DistinguishedName dn;
        ASSERT_EQ(dn.readVector(theirs), static_cast<long>(theirs.size()));
        std::vector<uint8_t> ours;
        dn.encodeToVector(ours);
        EXPECT_EQ(Hex(ours), Hex(theirs));
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, TextFormsMatchOpenSslPrinting) {
    for (const auto& es : Samples()) {
        X509_NAME* on = OsslName(es);
        std::vector<uint8_t> theirs = Der(on);
        DistinguishedName dn;
        ASSERT_EQ(dn.readVector(theirs), static_cast<long>(theirs.size()));
        EXPECT_EQ(dn.toString(kRfc2253), OsslText(on, XN_FLAG_RFC2253));
        unsigned long oneline = (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_QUOTE & ~ASN1_STRFLGS_ESC_2253) |
                                ASN1_STRFLGS_ESC_MSB;
        // OpenSSL's one-line form escapes the backslash whatever its flags say.
        bool backslash = false;
        for (const Entry& e : es) backslash |= e.value.find('\\') != std::string::npos;
        if (!backslash) {
            EXPECT_EQ(dn.toString(kOneLine), OsslText(on, oneline));
        }
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, Rfc2253TextParsesBackToTheSameName) {
    for (const auto& es : Samples()) {
        X509_NAME* on = OsslName(es);
        std::string text = OsslText(on, XN_FLAG_RFC2253);
        DistinguishedName orig = OurName(es);
        // The escaped RFC 2253 text: RDNs on ',', values on '+', escapes and hex escapes.
        DistinguishedName parsed;
        ASSERT_EQ(parsed.fromText(text.c_str(), -1, 0x80000000u | 0x800 | 0x20000 | 0x1 | 0x2), 1) << text;
        // T61String comes back as a directory string: equivalent, not equal.
        EXPECT_EQ(parsed.isEquivalent(orig, nullptr), 1) << text;
        bool multi = false, t61 = false;
        for (const Entry& e : es) {
            multi |= !e.newRdn;
            t61 |= e.type == V_ASN1_T61STRING;
        }
        if (!t61) {
            EXPECT_EQ(parsed.isEqual(orig), 1) << text;
        }
        // Parsing reverses the RDNs, printing also the values inside each RDN.
        if (!multi) {
            EXPECT_EQ(parsed.toString(kRfc2253), text);
        }
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, RandomMultiValuedRdnsSortLikeOpenSsl) {
    std::mt19937 rng(20261207);
    const char* fields[] = {"C", "L", "ST", "O", "OU", "CN"};
    const uint32_t ids[] = {0, 1, 2, 3, 4, 5};
    for (int round = 0; round < 200; round++) {
        std::vector<Entry> es;
        int n = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < n; i++) {
            int k = static_cast<int>(rng() % 6);
            std::string v;
            int len = 1 + static_cast<int>(rng() % 4);
            for (int j = 0; j < len; j++) v += static_cast<char>('a' + rng() % 3);
            es.push_back({fields[k], ids[k], V_ASN1_UTF8STRING, v, i == 0 || rng() % 3 == 0});
        }
        X509_NAME* on = OsslName(es);
        std::vector<uint8_t> theirs = Der(on);
        DistinguishedName dn = OurName(es);
        std::vector<uint8_t> ours;
        dn.encodeToVector(ours);
        EXPECT_EQ(Hex(ours), Hex(theirs));
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, DigestOfANameIsTheHashOfItsEncoding) {
    for (const auto& es : Samples()) {
        X509_NAME* on = OsslName(es);
        std::vector<uint8_t> der = Der(on);
        // Decoded (received order) and built here (DER order) alike.
        DistinguishedName decoded;
        ASSERT_EQ(decoded.readVector(der), static_cast<long>(der.size()));
        DistinguishedName built = OurName(es);
        for (const DistinguishedName* dn : {&decoded, &built}) {
            uint8_t ours[32], theirs[32];
            ASSERT_EQ(dn->digest(3, ours, sizeof ours), 1);
            unsigned int len = 0;
            EVP_Digest(der.data(), der.size(), theirs, &len, EVP_sha256(), nullptr);
            EXPECT_EQ(std::vector<uint8_t>(ours, ours + 32), std::vector<uint8_t>(theirs, theirs + len));
        }
        X509_NAME_free(on);
    }
}

TEST(X500OpenSsl, SlashFormMatchesOpenSslOneLine) {
    for (const auto& es : Samples()) {
        bool simple = true;
        // OpenSSL's one-line form also escapes '+' and '/' after its own fashion.
        for (const Entry& e : es)
            simple &= e.type != V_ASN1_BMPSTRING && e.type != V_ASN1_T61STRING && e.newRdn &&
                      e.value.find_first_of("+/") == std::string::npos;
        if (!simple) continue;
        X509_NAME* on = OsslName(es);
        char buf[512];
        ASSERT_NE(X509_NAME_oneline(on, buf, sizeof buf), nullptr);
        DistinguishedName dn = OurName(es);
        // '/' before every RDN, short names, "\x" and two hex digits outside 0x20..0x7E.
        EXPECT_EQ(dn.toString(0x300000 | 0x80), std::string(buf));
        X509_NAME_free(on);
    }
}
