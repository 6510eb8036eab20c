// Directory files from bytes: the object directory file, EF.DIR (template,
// flat and vendor layouts, filler, hostile input) and TokenInfo.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15odf.h"
#include "pkcs15/scpkcs15tokeninfo.h"
#include "support/memfile.h"
#include "tests/common/testsupport.h"

namespace {

using testsupport::FromHex;

template <class Obj>
SCRESULT ParseBytes(Obj& obj, const std::vector<uint8_t>& bytes) {
    MemFile f;
    if (!bytes.empty()) f.Write(bytes.size(), bytes.data());
    f.Seek(0);
    return obj.Parse(&f, static_cast<uint32_t>(bytes.size()));
}

template <class Obj>
std::vector<uint8_t> EncodeBytes(Obj& obj, SCRESULT* res = nullptr) {
    MemFile f;
    SCRESULT r = obj.Encode(&f);
    if (res) *res = r;
    if (r <= 0) return {};
    return std::vector<uint8_t>(f.GetData(), f.GetData() + f.Size());
}

std::vector<uint16_t> PathOf(const ASNPkcs15Path& p) {
    std::vector<uint16_t> ids(16);
    int n = p.getPath(ids.data(), 16);
    ids.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return ids;
}

}  // namespace

TEST(Odf, EntryFollowedByFillerParsesWhole) {
    std::vector<uint8_t> b = FromHex("A8 06 30 04 04 02 44 01");
    b.resize(30, 0x00);
    SCPkcs15ODF odf(nullptr);
    EXPECT_EQ(30, ParseBytes(odf, b));
    ASSERT_EQ(1, odf.GetEntryCount());
    POSITION pos = odf.GetFirstEntryPosition();
    SCPkcs15OdfEntry* e = odf.GetNextEntry(pos);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(0xA8, e->getTag());
    EXPECT_EQ((std::vector<uint16_t>{0x4401}), PathOf(e->value));
    // Encoding gives the entries without filler.
    EXPECT_EQ(FromHex("A8 06 30 04 04 02 44 01"), EncodeBytes(odf));
}

TEST(Odf, EmptyFileHoldsNoEntries) {
    SCPkcs15ODF odf(nullptr);
    EXPECT_EQ(0, ParseBytes(odf, FromHex("00 A8 06 30 04 04 02 44 01")));
    EXPECT_EQ(0, odf.GetEntryCount());
    EXPECT_EQ(0, ParseBytes(odf, FromHex("FF FF FF")));
    EXPECT_EQ(0, odf.GetEntryCount());
    EXPECT_EQ(0, ParseBytes(odf, {}));
}

TEST(Odf, TagOutsideTheDirectoryRangeIsRefused) {
    SCPkcs15ODF odf(nullptr);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(odf, FromHex("A9 06 30 04 04 02 44 01")));
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(odf, FromHex("A0 06 30 04 04 02 44 02 A9 06 30 04 04 02 44 01")));
}

TEST(Odf, HostileBytesGiveCleanErrors) {
    SCPkcs15ODF odf(nullptr);
    // Truncated record.
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(odf, FromHex("A8 06 30 04 04 02 44")));
    // A length far beyond the file.
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(odf, FromHex("A8 84 7F FF FF FF 30 04 04 02 44 01")));
    // Length of length beyond any real file.
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(odf, FromHex("A8 89 01 02 03 04 05 06 07 08 09")));
    // A record whose length runs past the given length, though the stream has more.
    std::vector<uint8_t> b = FromHex("A8 06 30 04 04 02 44 01");
    MemFile f;
    f.Write(b.size(), b.data());
    f.Seek(0);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, odf.Parse(&f, 5));
}

TEST(Odf, OtherRecordsAreKeptAndWrittenBack) {
    SCPkcs15ODF odf(nullptr);
    std::vector<uint8_t> b = FromHex("30 03 02 01 05 A4 06 30 04 04 02 44 04");
    EXPECT_EQ(static_cast<SCRESULT>(b.size()), ParseBytes(odf, b));
    EXPECT_EQ(1, odf.GetEntryCount());
    EXPECT_EQ(1, odf.GetUnrecognisedCount());
    // Entries first, then the other records.
    EXPECT_EQ(FromHex("A4 06 30 04 04 02 44 04 30 03 02 01 05"), EncodeBytes(odf));
}

TEST(Odf, EntriesAddedAndFoundByTag) {
    SCPkcs15ODF odf(nullptr);
    const uint16_t aodf[] = {0x3F00, 0x5015, 0x4401};
    const uint16_t cdf1[] = {0x3F00, 0x5015, 0x4404};
    const uint16_t cdf2[] = {0x3F00, 0x5015, 0x4406};
    ASSERT_NE(nullptr, odf.AddEntryTail(0x88, aodf, 3));  // the constructed bit is added
    ASSERT_NE(nullptr, odf.AddEntryTail(SC_ODF_CDF, cdf1, 3));
    ASSERT_NE(nullptr, odf.AddEntryHead(SC_ODF_CDF, cdf2, 3));
    POSITION pos = nullptr;
    SCPkcs15OdfEntry* e = odf.FindEntryByTag(SC_ODF_CDF, pos);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015, 0x4406}), PathOf(e->value));
    e = odf.FindEntryByTag(SC_ODF_CDF, pos);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015, 0x4404}), PathOf(e->value));
    EXPECT_EQ(nullptr, odf.FindEntryByTag(SC_ODF_CDF, pos));
    EXPECT_EQ(nullptr, pos);
    pos = nullptr;
    e = odf.FindEntryByTag(SC_ODF_AODF, pos);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(0xA8, e->getTag());
    // Round trip.
    std::vector<uint8_t> enc = EncodeBytes(odf);
    SCPkcs15ODF again(nullptr);
    EXPECT_EQ(static_cast<SCRESULT>(enc.size()), ParseBytes(again, enc));
    EXPECT_EQ(3, again.GetEntryCount());
    EXPECT_EQ(enc, EncodeBytes(again));
}

TEST(CardDir, FlatLayoutBecomesOneRecord) {
    std::vector<uint8_t> b = FromHex("4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 51 04 3F 00 50 15");
    SCPkcs15CardDir dir(nullptr);
    EXPECT_EQ(static_cast<SCRESULT>(b.size()), ParseBytes(dir, b));
    ASSERT_EQ(1, dir.DirRecords().GetCount());
    uint16_t ids[4] = {};
    EXPECT_EQ(2, dir.DirRecords().GetHead()->getPath(ids, 4));
    EXPECT_EQ(0x3F00, ids[0]);
    EXPECT_EQ(0x5015, ids[1]);
    EXPECT_TRUE(dir.FindDirRecordByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 12));
    EXPECT_FALSE(dir.FindDirRecordByAid(ASNPkcs15DIRRecord::kPkcs15Aid, 11));
    EXPECT_EQ(2, dir.OtherRecords().GetCount());
    // Written back as a template followed by the two raw elements.
    std::vector<uint8_t> enc = EncodeBytes(dir);
    std::vector<uint8_t> expect = FromHex("61 12 4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 51 02 3F 00");
    ASSERT_GE(enc.size(), 2u);
    EXPECT_EQ(0x61, enc[0]);
    std::vector<uint8_t> tail(enc.begin() + 2 + enc[1], enc.end());
    EXPECT_EQ(b, tail);
    // Read again, the same application is listed once and written the same way.
    SCPkcs15CardDir again(nullptr);
    EXPECT_EQ(static_cast<SCRESULT>(enc.size()), ParseBytes(again, enc));
    EXPECT_EQ(1, again.DirRecords().GetCount());
    EXPECT_EQ(enc, EncodeBytes(again));
}

TEST(CardDir, TemplatesWithFillerAndEmptyFile) {
    std::vector<uint8_t> rec1 = FromHex("61 16 4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 50 02 41 42 51 02 50 15");
    std::vector<uint8_t> rec2 = FromHex("61 16 4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 50 02 43 44 51 02 50 16");
    std::vector<uint8_t> b = rec1;
    b.insert(b.end(), rec2.begin(), rec2.end());
    b.resize(128, 0xFF);
    SCPkcs15CardDir dir(nullptr);
    EXPECT_EQ(128, ParseBytes(dir, b));
    ASSERT_EQ(2, dir.DirRecords().GetCount());
    EXPECT_FALSE(dir.IsEmpty());
    std::vector<uint8_t> joined = rec1;
    joined.insert(joined.end(), rec2.begin(), rec2.end());
    EXPECT_EQ(joined, EncodeBytes(dir));
    std::vector<uint8_t> empty(64, 0xFF);
    EXPECT_EQ(0, ParseBytes(dir, empty));
    EXPECT_TRUE(dir.IsEmpty());
}

TEST(CardDir, HostileFilesEmptyTheLists) {
    SCPkcs15CardDir dir(nullptr);
    std::vector<uint8_t> good = FromHex("61 16 4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 50 02 41 42 51 02 50 15");
    std::vector<uint8_t> b = good;
    std::vector<uint8_t> bad = FromHex("61 84 7F FF FF FF 4F 01");
    b.insert(b.end(), bad.begin(), bad.end());
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(dir, b));
    EXPECT_TRUE(dir.IsEmpty());
    // Truncated inside a template.
    std::vector<uint8_t> cut(good.begin(), good.begin() + 10);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(dir, cut));
    EXPECT_TRUE(dir.IsEmpty());
    // A flat path of odd length.
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT,
              ParseBytes(dir, FromHex("4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 51 03 3F 00 50")));
    EXPECT_TRUE(dir.IsEmpty());
    // A flat pair whose path names no file names no application, and reads back the same.
    const std::vector<uint8_t> none = FromHex("4F 0C A0 00 00 00 63 50 4B 43 53 2D 31 35 51 00");
    EXPECT_EQ(16, ParseBytes(dir, none));
    EXPECT_EQ(0, dir.DirRecords().GetCount());
    EXPECT_EQ(none, EncodeBytes(dir));
    // A template that is no application record is kept raw.
    EXPECT_EQ(4, ParseBytes(dir, FromHex("61 02 05 00")));
    EXPECT_EQ(0, dir.DirRecords().GetCount());
    EXPECT_EQ(1, dir.OtherRecords().GetCount());
    EXPECT_EQ(FromHex("61 02 05 00"), EncodeBytes(dir));
}

TEST(TokenInfo, EmptyAndBrokenFilesAreRefused) {
    SCPkcs15TokenInfo ti(nullptr);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(ti, {}));
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(ti, FromHex("04 02 01 02")));
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(ti, FromHex("30 84 7F FF FF FF 02 01 00")));
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ParseBytes(ti, FromHex("30 05 02 01 00 04")));
}

TEST(TokenInfo, RoundTripKeepsTheMembers) {
    SCPkcs15TokenInfo ti(nullptr);
    ASNPkcs15TokenInfo& c = ti.Contents();
    ASSERT_EQ(1, c.setVersion(0));
    ASSERT_EQ(SC_OK, ti.SetSerialNumber("0011223344556677", ~0u));
    ASSERT_EQ(1, c.setManufacturerID("CardSim"));
    ASSERT_EQ(1, c.setLabel("Etykieta"));
    ASSERT_EQ(1, c.setTokenFlags(0x2));
    std::vector<uint8_t> enc = EncodeBytes(ti);
    ASSERT_FALSE(enc.empty());
    std::vector<uint8_t> padded = enc;
    padded.resize(enc.size() + 40, 0x00);
    SCPkcs15TokenInfo back(nullptr);
    EXPECT_EQ(static_cast<SCRESULT>(enc.size()), ParseBytes(back, padded));
    EXPECT_EQ(1, back.Contents().wasLabel);
    EXPECT_EQ(1, back.Contents().wasSerialNumber);
    EXPECT_EQ(enc, EncodeBytes(back));
    ASSERT_EQ(SC_OK, back.SetSerialNumber(nullptr, 0));
    EXPECT_EQ(0, back.Contents().wasSerialNumber);
}

TEST(PathObject, PlacesAndPaths) {
    SCPkcs15ODF o(nullptr);
    const uint16_t rel[] = {0x5015, 0x4401};
    EXPECT_FALSE(o.SetBasePath(rel, 2));
    const uint16_t base[] = {0x3F00, 0x5015};
    ASSERT_TRUE(o.SetBasePath(base, 2));
    const uint16_t own[] = {0x5031};
    ASSERT_TRUE(o.SetPath(own, 1));
    uint16_t n = 0;
    const uint16_t* full = o.GetFullPath(&n);
    ASSERT_NE(nullptr, full);
    ASSERT_EQ(3, n);
    EXPECT_EQ(0x5031, full[2]);
    const uint16_t absOwn[] = {0x3F00, 0x2F00};
    ASSERT_TRUE(o.SetPath(absOwn, 2));
    full = o.GetFullPath(&n);
    ASSERT_EQ(2, n);
    EXPECT_EQ(0x2F00, full[1]);
    ASNPkcs15Path p;
    ASSERT_EQ(1, p.set(rel, 2, 16, 100));
    ASSERT_TRUE(o.SetPathFromAsn(p));
    EXPECT_EQ(16u, o.GetIndex());
    EXPECT_EQ(100u, o.GetLength());
    EXPECT_EQ(2u, o.GetPath().Count());
    // Without card: clean refusals.
    MemFile f;
    EXPECT_EQ(SC_E_BAD_USAGE, o.ReadRawContents(&f, false));
    EXPECT_EQ(SC_E_BAD_USAGE, o.Write(nullptr, 0, nullptr));
    EXPECT_EQ(SC_E_BAD_USAGE, o.Delete());
    EXPECT_FALSE(o.FileExists());
    o.Reset(true);
    EXPECT_EQ(0u, o.GetPath().Count());
}

TEST(PathObject, ComparePathsLooksAtIndexAndLength) {
    const uint16_t a[] = {0x3F00, 0x4401};
    ASNPkcs15Path p1, p2;
    ASSERT_EQ(1, p1.set(a, 2, 0, 0));
    ASSERT_EQ(1, p2.set(a, 2, 0, 0));
    EXPECT_TRUE(SCPkcs15PathObjectInfo::ComparePaths(p1, p2));
    ASSERT_EQ(1, p2.set(a, 2, 4, 10));
    EXPECT_FALSE(SCPkcs15PathObjectInfo::ComparePaths(p1, p2));
    ASSERT_EQ(1, p1.set(a, 2, 4, 10));
    EXPECT_TRUE(SCPkcs15PathObjectInfo::ComparePaths(p1, p2));
    EXPECT_EQ(0, SCPkcs15PathObjectInfo::GetPinReference(nullptr));
}

TEST(PathObject, DecodeAndEncodeHelpersMapResults) {
    ASNPkcs15Path p;
    std::vector<uint8_t> bad = FromHex("04 02 01 02");
    MemFile f;
    f.Write(bad.size(), bad.data());
    f.Seek(0);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, SCPkcs15PathObjectInfo::DecodeAsn(p, &f, 4));
    std::vector<uint8_t> good = FromHex("30 04 04 02 44 01");
    MemFile g;
    g.Write(good.size(), good.data());
    g.Seek(0);
    EXPECT_EQ(6, SCPkcs15PathObjectInfo::DecodeAsn(p, &g, 6));
    MemFile out;
    EXPECT_EQ(6, SCPkcs15PathObjectInfo::EncodeAsn(p, &out));
}

TEST(Pkcs15Card, AppTypeIdentifiersByCardType) {
    EXPECT_STREQ("1.3.6.1.4.1.32473.2.7.1", SCPkcs15Card::GetAppTypeOid(1));
    EXPECT_STREQ("1.3.6.1.4.1.32473.2.7.2", SCPkcs15Card::GetAppTypeOid(3));
    EXPECT_STREQ("1.3.6.1.4.1.32473.2.7.3.1", SCPkcs15Card::GetAppTypeOid(4));
    EXPECT_STREQ("1.3.6.1.4.1.32473.2.7.4", SCPkcs15Card::GetAppTypeOid(7));
    EXPECT_EQ(nullptr, SCPkcs15Card::GetAppTypeOid(2));
    EXPECT_EQ(nullptr, SCPkcs15Card::GetAppTypeOid(6));
    SCPkcs15Card card(nullptr);
    EXPECT_EQ(SC_E_BAD_USAGE, card.Load());
    EXPECT_EQ(SC_E_BAD_USAGE, card.GetLastResult());
    EXPECT_EQ(0, card.GetApplicationCount());
    EXPECT_EQ(nullptr, card.GetApplicationAt(0));
}
