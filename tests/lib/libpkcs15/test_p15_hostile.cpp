// Hostile input: every record type meets truncated input, wrong outer tags, lengths
// far beyond the input and deep nesting without crashing, and reports them as
// malformed.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "lib/libpkcs15/asnpkcs15dirrecord.h"
#include "lib/libpkcs15/asnpkcs15privatekeytype.h"
#include "lib/libpkcs15/asnpkcs15secretkey.h"
#include "lib/libpkcs15/asnpkcs15tokeninfo.h"
#include "lib/libpkcs15/asnpkcs15x509certificateattributes.h"
#include "tests/lib/libpkcs15/p15_test_util.h"

using namespace p15test;

namespace {

struct Case {
    const char* vector;
    std::function<std::unique_ptr<ASNobject>()> make;
};

std::map<std::string, std::string> LoadVectors() {
    return testsupport::ReadNamedValues(testsupport::DataFile("pyasn1_vectors.txt"));
}

std::vector<Case> Cases() {
    return {
        {"path_window", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15Path(0x30)); }},
        {"coa_full", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15CommonObjectAttributes(0x30)); }},
        {"aodf_pin", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15AuthObject(0x30)); }},
        {"prkdf_rsa", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15PrivateKeyType(0x30)); }},
        {"efdir_pkcs15", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15DIRRecord(0x61)); }},
        {"tokeninfo_full", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15TokenInfo(0x30)); }},
        {"cardgen_cdf", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15X509CertificateObject(0x30)); }},
        {"cardgen_pukdf", [] { return std::unique_ptr<ASNobject>(new ASNPkcs15PublicRSAKeyObject(0x30)); }},
    };
}

}  // namespace

TEST(Pkcs15Hostile, EveryTruncationIsRefused) {
    std::map<std::string, std::string> v = LoadVectors();
    for (const Case& c : Cases()) {
        std::vector<uint8_t> b = H(v[c.vector]);
        ASSERT_FALSE(b.empty()) << c.vector;
        for (size_t n = 0; n < b.size(); n++) {
            std::unique_ptr<ASNobject> o = c.make();
            EXPECT_LT(o->readBuffer(b.data(), static_cast<long>(n)), 1) << c.vector << " cut at " << n;
        }
        std::unique_ptr<ASNobject> whole = c.make();
        EXPECT_EQ(whole->readVector(b), static_cast<long>(b.size())) << c.vector;
    }
}

TEST(Pkcs15Hostile, InnerLengthsBeyondTheInputAreRefused) {
    std::map<std::string, std::string> v = LoadVectors();
    for (const Case& c : Cases()) {
        std::vector<uint8_t> b = H(v[c.vector]);
        // Every short-form length octet inside the record made as large as it can be.
        for (size_t i = 1; i < b.size(); i++) {
            if (b[i] >= 0x80) continue;
            std::vector<uint8_t> bad = b;
            bad[i] = 0x7F;
            std::unique_ptr<ASNobject> o = c.make();
            long r = o->readVector(bad);
            EXPECT_TRUE(r < 1 || r == static_cast<long>(bad.size())) << c.vector << " at " << i;
        }
        // A four-octet length of nearly 4 GiB on the outer element.
        std::vector<uint8_t> huge = {b[0], 0x84, 0xFF, 0xFF, 0xFF, 0xF0};
        huge.insert(huge.end(), b.begin() + 2, b.end());
        std::unique_ptr<ASNobject> o = c.make();
        EXPECT_LT(o->readVector(huge), 1) << c.vector;
    }
}

TEST(Pkcs15Hostile, WrongOuterTagIsRefused) {
    std::map<std::string, std::string> v = LoadVectors();
    for (const Case& c : Cases()) {
        std::vector<uint8_t> b = H(v[c.vector]);
        for (uint8_t t : {0x04, 0x31, 0x02, 0x1F}) {
            std::vector<uint8_t> bad = b;
            bad[0] = t;
            std::unique_ptr<ASNobject> o = c.make();
            EXPECT_LT(o->readVector(bad), 1) << c.vector << " tag " << int(t);
        }
    }
}

TEST(Pkcs15Hostile, DeepNestingIsRefused) {
    // [1] wrappers nested far deeper than any record: malformed, never a stack overflow.
    std::vector<uint8_t> inner = H("30 00");
    for (int i = 0; i < 5000; i++) {
        std::vector<uint8_t> w;
        w.push_back(0xA1);
        size_t n = inner.size();
        if (n < 128) {
            w.push_back(static_cast<uint8_t>(n));
        } else if (n < 256) {
            w.push_back(0x81);
            w.push_back(static_cast<uint8_t>(n));
        } else if (n < 65536) {
            w.push_back(0x82);
            w.push_back(static_cast<uint8_t>(n >> 8));
            w.push_back(static_cast<uint8_t>(n));
        } else {
            w.push_back(0x83);
            w.push_back(static_cast<uint8_t>(n >> 16));
            w.push_back(static_cast<uint8_t>(n >> 8));
            w.push_back(static_cast<uint8_t>(n));
        }
        w.insert(w.end(), inner.begin(), inner.end());
        inner.swap(w);
    }
    std::vector<uint8_t> rec = H("30 83");
    size_t n = inner.size() + 4;
    rec.push_back(static_cast<uint8_t>(n >> 16));
    rec.push_back(static_cast<uint8_t>(n >> 8));
    rec.push_back(static_cast<uint8_t>(n));
    std::vector<uint8_t> head = H("30 00 30 00");
    rec.insert(rec.end(), head.begin(), head.end());
    rec.insert(rec.end(), inner.begin(), inner.end());
    ASNPkcs15AuthObject o(0x30);
    EXPECT_LT(o.readVector(rec), 1);
    ASNPkcs15SecretKeyType s(0x30);
    EXPECT_LT(s.readVector(rec), 1);
    ASNPkcs15PrivateKeyType k(0x30);
    EXPECT_LT(k.readVector(rec), 1);
}

TEST(Pkcs15Hostile, IndefiniteLengthRecordsAreRefused) {
    ASNPkcs15CommonObjectAttributes a(0x30);
    EXPECT_LT(Decode(a, "30 80 0C 01 41 00 00"), 1);
    ASNPkcs15TokenInfo t(0x30);
    EXPECT_LT(Decode(t, "30 80 02 01 01 03 02 07 80 00 00"), 1);
}
