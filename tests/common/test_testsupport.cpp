// The shared test helpers: hex text both ways and the data-file readers, on
// the layouts the known-answer files use and on the mistakes a file can hold.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/common/testsupport.h"

using namespace testsupport;

namespace {

// A file in the test's temporary folder, removed at the end of the test.
struct TempFile {
    // The process in the name: CTest runs the cases of this program side by side.
    explicit TempFile(const std::string& text)
        : path(::testing::TempDir() + "testsupport_" + std::to_string(getpid()) + "_" + std::to_string(++count)) {
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
    static inline int count = 0;
};

}  // namespace

TEST(TestSupportHex, OctetsToTextInBothCasesWithSeparators) {
    const Bytes b = {0x00, 0x9F, 0xA0, 0xFF};
    EXPECT_EQ("009fa0ff", ToHex(b));
    EXPECT_EQ("009FA0FF", ToHex(b, HexCase::Upper));
    EXPECT_EQ("00 9F A0 FF", ToHex(b, HexCase::Upper, " "));
    EXPECT_EQ("00:9f", ToHex(b.data(), 2, HexCase::Lower, ":"));
    EXPECT_EQ("", ToHex(Bytes(), HexCase::Upper, " "));
    EXPECT_EQ("41000a", ToHex(std::string("A\0\n", 3)));
}

TEST(TestSupportHex, TextToOctetsPassesOverLayoutAndRefusesAnOddCount) {
    const struct {
        const char* text;
        Bytes want;
    } cases[] = {
        {"", {}},
        {"0aFf", {0x0A, 0xFF}},
        {"30 0E\n04:01", {0x30, 0x0E, 0x04, 0x01}},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, FromHex(c.text)) << c.text;
    EXPECT_THROW(FromHex("30 0"), std::invalid_argument);
    EXPECT_EQ(Bytes({0x01, 0x23}), FromHexNumber("123"));
    EXPECT_EQ(Bytes({0x00, 0x00, 0x0F}), FromHexNumber("f", 3));
    EXPECT_EQ(Bytes({0x12, 0x34}), FromHexNumber("1234", 1));  // never cut
    EXPECT_EQ("0", WithoutLeadingZeros("000"));
    EXPECT_EQ("a0", WithoutLeadingZeros("00a0"));
}

TEST(TestSupportFiles, DataLinesSkipCommentsAndKeepLineNumbers) {
    const TempFile f("# a comment\r\n\r\n1 2047\r\n  9\t3825  \n");
    const std::vector<DataLine> rows = ReadDataLines(f.path);
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ(3, rows[0].number);
    EXPECT_EQ(std::vector<std::string>({"1", "2047"}), rows[0].fields);
    EXPECT_EQ(std::vector<std::string>({"9", "3825"}), rows[1].fields);
    EXPECT_EQ("2047", ReadNamedValues(f.path).at("1"));

    const TempFile bars("8|1||d41d\n|\n");
    const std::vector<DataLine> cut = ReadDataLines(bars.path, '|');
    ASSERT_EQ(2u, cut.size());
    EXPECT_EQ(std::vector<std::string>({"8", "1", "", "d41d"}), cut[0].fields);
    EXPECT_EQ(std::vector<std::string>({"", ""}), cut[1].fields);
}

TEST(TestSupportFiles, RecordsJoinRepeatedNames) {
    const TempFile f("# source\nkey = 00\nplain = 0102\nplain = 03\n\n\nkey=ff\n");
    const std::vector<Record> r = ReadRecords(f.path);
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("010203", r[0].at("plain"));
    EXPECT_EQ("ff", r[1].at("key"));
    EXPECT_EQ(Bytes({0x03}), ReadFileBytes(TempFile("\x03").path));
}

TEST(TestSupportFiles, PublishedLayoutsAsPublished) {
    const TempFile rsp("# CAVS 11.0\r\n[mod = L=1024, N=160, SHA-1]\r\n\r\nP = 0f\r\n\r\nMsg = 01\r\n"
                       "Result = F (3 - S changed)\r\n\r\n[P-256,SHA-256]\r\nMsg = 02\r\n");
    const std::vector<CavpRecord> r = ReadCavpResponse(rsp.path);
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ("[mod = L=1024, N=160, SHA-1]", r[0].section);
    EXPECT_EQ("0f", r[0].values.at("P"));
    EXPECT_EQ("F (3 - S changed)", r[1].values.at("Result"));
    EXPECT_EQ("[P-256,SHA-256]", r[2].section);

    const TempFile pkcs1("# Example 1\n# Modulus: \na8 b3 \nb6 \n\n# Exponent:\n01 00 01\n# ----\nff\n");
    const std::vector<LabelledOctets> v = ReadPkcs1Vectors(pkcs1.path);
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(LabelledOctets("Modulus", {0xA8, 0xB3, 0xB6}), v[0]);
    EXPECT_EQ(LabelledOctets("Exponent", {0x01, 0x00, 0x01}), v[1]);
}

TEST(TestSupportFiles, AMissingFileIsAnErrorNotAnEmptyTable) {
    const std::string none = ::testing::TempDir() + "testsupport_none";
    EXPECT_THROW(ReadDataLines(none), std::runtime_error);
    EXPECT_THROW(ReadRecords(none), std::runtime_error);
    EXPECT_THROW(ReadFileBytes(none), std::runtime_error);
    EXPECT_THROW(ReadCavpResponse(none), std::runtime_error);
}
