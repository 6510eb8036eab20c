// Hostile and malformed input: deep nesting, truncation, over-long lengths,
// indefinite forms where they are not allowed, failing streams, and mutated input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

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

std::vector<uint8_t> Repeat(const std::string& hex, int times, const std::string& tail = "") {
    std::vector<uint8_t> one = H(hex), out;
    for (int i = 0; i < times; i++) out.insert(out.end(), one.begin(), one.end());
    std::vector<uint8_t> t = H(tail);
    out.insert(out.end(), t.begin(), t.end());
    return out;
}

// A stream that fails every operation after `okReads` successful reads.
class FailingFile : public GenericFile {
public:
    FailingFile(std::vector<uint8_t> data, int okReads) : data_(std::move(data)), ok_(okReads) {}
    int16_t Read(size_t n, void* buf, size_t* got) override {
        if (ok_-- <= 0) return -1;
        size_t k = std::min(n, data_.size() - pos_);
        std::memcpy(buf, data_.data() + pos_, k);
        pos_ += k;
        if (got) *got = k;
        return 0;
    }
    int16_t Write(size_t, const void*) override { return -1; }
    int16_t Seek(long p) override {
        if (p < 0 || static_cast<size_t>(p) > data_.size()) return -1;
        pos_ = static_cast<size_t>(p);
        return 0;
    }
    int64_t Tell() override { return static_cast<int64_t>(pos_); }
    int64_t Size() override { return -1; }  // cannot tell its size

private:
    std::vector<uint8_t> data_;
    size_t pos_ = 0;
    int ok_;
};

class StrOrInt : public ASNchoice {
public:
    ASNoctstr str;
    ASNinteger num;
    ASNobject** getObjectList() override {
        l_[0] = &str;
        l_[1] = &num;
        l_[2] = nullptr;
        return l_;
    }
    ASNobject* l_[3];
};

}  // namespace

TEST(AsnHostile, DeepIndefiniteNestingIsMalformedNotACrash) {
    std::vector<uint8_t> deep = Repeat("30 80", 20000);
    ASNany any;
    EXPECT_EQ(any.readVector(deep), 0);
    std::vector<uint8_t> deepStr = Repeat("24 80", 20000);
    ASNoctstr s;
    EXPECT_EQ(s.readVector(deepStr), 0);
    // The same depth with proper closing octets is refused too.
    std::vector<uint8_t> closed = Repeat("30 80", 5000, "05 00");
    std::vector<uint8_t> eoc = Repeat("00 00", 5000);
    closed.insert(closed.end(), eoc.begin(), eoc.end());
    EXPECT_EQ(any.readVector(closed), 0);
    // Nothing is left behind from the refused decode.
    EXPECT_EQ(ASNDepthGuard::current(), 0);
}

TEST(AsnHostile, NestingUpToTheLimitDecodes) {
    for (int depth : {1, 10, ASN_MAX_DEPTH - 1, ASN_MAX_DEPTH, ASN_MAX_DEPTH + 1}) {
        std::vector<uint8_t> in = Repeat("30 80", depth, "05 00");
        std::vector<uint8_t> eoc = Repeat("00 00", depth);
        in.insert(in.end(), eoc.begin(), eoc.end());
        ASNany any;
        long r = any.readVector(in);
        if (depth < ASN_MAX_DEPTH) {
            EXPECT_EQ(r, static_cast<long>(in.size())) << depth;
            EXPECT_EQ(Encode(any), Hex(in)) << depth;
        } else {
            EXPECT_EQ(r, 0) << depth;
        }
        std::vector<uint8_t> str = Repeat("24 80", depth, "04 01 41");
        str.insert(str.end(), eoc.begin(), eoc.end());
        ASNoctstr s;
        r = s.readVector(str);
        if (depth < ASN_MAX_DEPTH) {
            EXPECT_EQ(r, static_cast<long>(str.size())) << depth;
            EXPECT_EQ(s.getLength(), 1);
            ASNoctstr copy(s);  // copies walk the segments
            EXPECT_TRUE(copy == s);
        } else {
            EXPECT_EQ(r, 0) << depth;
        }
    }
}

TEST(AsnHostile, RegressionInputs) {
    ASNobjectId o;
    EXPECT_EQ(Decode(o, "06 02 80 01"), 0);
    ASNinteger i;
    i.setTag(0xA0);
    i.setExplicitTag();
    EXPECT_EQ(Decode(i, "A0 03 02 05 01 02 03 04 05"), 0);
    StrOrInt c;
    c.setTag(0xA1);
    EXPECT_EQ(Decode(c, "A1 80 02 01 05 05 00"), 0);
    ASNgenTime t;
    std::string frac = "20231231235959." + std::string(30, '9') + "Z";
    std::vector<uint8_t> enc = Tlv(0x18, frac);
    EXPECT_EQ(t.readVector(enc), 0);
    ASNbitstr b;
    EXPECT_EQ(Decode(b, "03 01 07"), 0);
}

TEST(AsnHostile, EveryTruncationIsRefused) {
    const char* samples[] = {
        "30 80 02 01 05 00 00",      "24 80 04 02 41 42 04 01 43 00 00", "04 82 01 00",
        "06 09 2A 86 48 86 F7 0D 01 01 0B", "03 03 06 80 40",          "A0 03 02 01 05",
        "18 0F 32 30 32 33 31 32 33 31 32 33 35 39 35 39 5A",           "30 06 02 01 05 02 01 06",
    };
    for (const char* hex : samples) {
        std::vector<uint8_t> full = H(hex);
        for (size_t cut = 0; cut < full.size(); cut++) {
            std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(cut));
            MemFile mf(part.data(), part.size(), false);
            ASNany any;
            EXPECT_LE(any.read(&mf, static_cast<long>(full.size())), 0) << hex << " cut " << cut;
            ASNoctstr s;
            MemFile mf2(part.data(), part.size(), false);
            EXPECT_LE(s.read(&mf2, 0), 0) << hex << " cut " << cut;
        }
    }
}

TEST(AsnHostile, OverLongLengthsCostNoMemory) {
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "04 84 7F FF FF FF 41 42"), 0);
    ASNany any;
    EXPECT_EQ(Decode(any, "30 84 FF FF FF FF 00"), 0);
    // A stream that cannot tell its size: the decoder reads what arrives and fails
    // at its end rather than reserving what the length claims.
    FailingFile ff(H("04 84 7F FF FF F0 41 42 43"), 1000);
    EXPECT_EQ(s.read(&ff, 0), 0);
    FailingFile ff2(H("04 03 41 42 43"), 1000);
    EXPECT_EQ(s.read(&ff2, 0), 5);
}

TEST(AsnHostile, IndefiniteFormWhereItIsNotAllowed) {
    ASNinteger i;
    EXPECT_EQ(Decode(i, "02 80 05 00 00"), 0);
    ASNbool b;
    EXPECT_EQ(Decode(b, "01 80 FF 00 00"), 0);
    ASNobjectId o;
    EXPECT_EQ(Decode(o, "06 80 2A 03 00 00"), 0);
    ASNbitstr bs;
    EXPECT_EQ(Decode(bs, "03 80 00 00 00"), 0);
    ASNgenTime t;
    EXPECT_EQ(Decode(t, "18 80 00 00"), 0);
    ASNoctstr s;
    EXPECT_EQ(Decode(s, "24 80 84 01 41 00 00"), 0);  // class-tagged segment
    EXPECT_EQ(Decode(s, "24 80 0C 01 41 00 00"), 0);  // segment of another type
}

TEST(AsnHostile, StreamErrorsAreReportedAsStreamErrors) {
    for (int ok = 0; ok < 6; ok++) {
        FailingFile ff(H("30 80 04 01 41 00 00"), ok);
        ASNany any;
        long r = any.read(&ff, 7);
        EXPECT_LE(r, 0) << ok;
    }
    FailingFile ff(H("04 01 41"), 0);
    ASNoctstr s;
    EXPECT_EQ(s.read(&ff, 3), EASN_FILE);
    ASNoctstr w;
    w.set("abc", 3);
    EXPECT_EQ(w.write(&ff), EASN_FILE);
}

namespace {

template <typename T>
void DecodeReencode(const std::vector<uint8_t>& in) {
    T obj;
    long r = obj.readVector(in);
    if (r <= 0) return;
    EXPECT_LE(r, static_cast<long>(in.size()));
    std::vector<uint8_t> enc;
    ASSERT_EQ(obj.encodeToVector(enc), obj.lenOfObject());
    T again;
    ASSERT_EQ(again.readVector(enc), static_cast<long>(enc.size())) << Hex(in);
    std::vector<uint8_t> enc2;
    again.encodeToVector(enc2);
    EXPECT_EQ(Hex(enc2), Hex(enc)) << Hex(in);
}

}  // namespace

TEST(AsnHostile, MutatedInputNeverCrashesAndRoundTrips) {
    const char* seeds[] = {
        "30 80 02 01 05 24 80 04 02 41 42 00 00 00 00",
        "24 80 04 02 41 42 04 01 43 00 00",
        "06 09 2A 86 48 86 F7 0D 01 01 0B",
        "03 03 06 80 40",
        "18 13 32 30 32 33 31 32 33 31 32 33 35 39 35 39 2E 35 30 30 5A",
        "A0 80 30 03 01 01 FF 00 00",
        "02 05 00 FF FF FF FF",
        "0C 04 C5 BC C3 B3",
        "01 01 FF",
        "05 00",
    };
    std::mt19937 rng(2024);
    for (const char* hex : seeds) {
        std::vector<uint8_t> base = H(hex);
        for (int n = 0; n < 3000; n++) {
            std::vector<uint8_t> m = base;
            int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits; e++) {
                size_t at = rng() % m.size();
                switch (rng() % 4) {
                    case 0: m[at] = static_cast<uint8_t>(rng()); break;
                    case 1: m[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                    case 2: m.insert(m.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
                    default:
                        if (m.size() > 1) m.erase(m.begin() + static_cast<long>(at));
                        break;
                }
            }
            DecodeReencode<ASNany>(m);
            DecodeReencode<ASNoctstr>(m);
            DecodeReencode<ASNinteger>(m);
            DecodeReencode<ASNobjectId>(m);
            DecodeReencode<ASNbitstr>(m);
            DecodeReencode<ASNgenTime>(m);
            DecodeReencode<ASNUtf8String>(m);
            DecodeReencode<ASNbool>(m);
            DecodeReencode<StrOrInt>(m);
        }
    }
    EXPECT_EQ(ASNDepthGuard::current(), 0);
}
