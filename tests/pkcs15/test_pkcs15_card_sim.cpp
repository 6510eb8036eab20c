// The PKCS#15 files of simulated cards: EF.DIR and the application list, the
// object directory file and TokenInfo as the image generator wrote them, writes
// (update, resize, create, delete) read back, the tracked current DF, the access-
// denied retry, and hostile file contents.
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "p15_sim_fixture.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15odf.h"
#include "pkcs15/scpkcs15spare.h"
#include "pkcs15/scpkcs15tokeninfo.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"

namespace {

const uint16_t kApp1[] = {0x3F00, 0x5015};
const uint16_t kUserPin = 0x81;

struct FakeApp {
    ASNPkcs15DIRRecord* record;
    uint32_t options;
};

int g_verifyCalls = 0;

SCPkcs15App* FakeCreate(SCCard*, SCPkcs15Card*, ASNPkcs15DIRRecord* rec, uint32_t options) {
    return reinterpret_cast<SCPkcs15App*>(new FakeApp{rec, options});
}
void FakeDestroy(SCPkcs15App* app) { delete reinterpret_cast<FakeApp*>(app); }
ASNPkcs15DIRRecord* FakeRecord(SCPkcs15App* app) { return reinterpret_cast<FakeApp*>(app)->record; }

SCCard* g_card = nullptr;
bool FakeKeeps(SCPkcs15App*, const void*) { return true; }
SCRESULT FakeVerify(SCPkcs15App*, const void*, SCPath* cur) {
    ++g_verifyCalls;
    SCRESULT r = g_card->SelectPath(kApp1, 2, nullptr);
    if (r < 0) return r;
    if (cur) cur->Set(kApp1, 2);
    return g_card->VerifyPin(kUserPin, reinterpret_cast<const uint8_t*>("1234"), 4);
}

const SCPkcs15CardAppServices kCardServices = {FakeCreate, FakeDestroy, nullptr, nullptr, FakeRecord,
                                               nullptr,    nullptr,     nullptr, nullptr, nullptr};
const SCPkcs15AppServices kAppServices = {FakeKeeps, FakeVerify, nullptr, nullptr};

std::string Text(const ASNoctstr& s) {
    return std::string(reinterpret_cast<const char*>(s.getData()), static_cast<size_t>(s.getLength()));
}

std::vector<uint16_t> PathOf(const ASNPkcs15Path& p) {
    std::vector<uint16_t> ids(16);
    int n = p.getPath(ids.data(), 16);
    ids.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return ids;
}

std::vector<uint16_t> DirPath(const ASNPkcs15DIRRecord* r) {
    std::vector<uint16_t> ids(16);
    int n = r->getPath(ids.data(), 16);
    ids.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return ids;
}

bool HasIns(const std::vector<std::string>& cmds, const std::string& ins) {
    for (const std::string& c : cmds)
        if (c.size() >= 4 && c.substr(2, 2) == ins) return true;
    return false;
}

}  // namespace

class P15Card : public P15Sim {
protected:
    void SetUp() override {
        P15Sim::SetUp();
        SCPkcs15SetCardAppServices(&kCardServices);
        SCPkcs15SetAppServices(nullptr);
        g_verifyCalls = 0;
    }
    void TearDown() override {
        SCPkcs15SetCardAppServices(nullptr);
        SCPkcs15SetAppServices(nullptr);
        g_card = nullptr;
        P15Sim::TearDown();
    }
    // Resizing a directory file deletes it, which these cards leave to the SO PIN.
    SCRESULT VerifySoPin(SCCard* card) {
        SCTransactGuard g(card);
        SCRESULT r = card->SelectMf(nullptr);
        if (r < 0) return r;
        return card->VerifyPin(0x04, reinterpret_cast<const uint8_t*>("87654321"), 8);
    }
    SCRESULT VerifyUserPin(SCCard* card) {
        SCTransactGuard g(card);
        SCRESULT r = card->SelectPath(kApp1, 2, nullptr);
        if (r < 0) return r;
        return card->VerifyPin(kUserPin, reinterpret_cast<const uint8_t*>("1234"), 4);
    }
    // A file object of the first application.
    template <class T>
    void Place(T& obj, uint16_t fid, uint32_t index = 0, uint32_t length = 0) {
        ASSERT_TRUE(obj.SetBasePath(kApp1, 2));
        ASSERT_TRUE(obj.SetPath(&fid, 1, index, length));
    }
};

TEST_F(P15Card, LoadMakesOneApplicationPerDirRecord) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    p15.SetOptions(0x2);
    ASSERT_EQ(SC_OK, p15.Load());
    EXPECT_TRUE(p15.IsLoaded());
    ASSERT_EQ(1, p15.GetApplicationCount());
    FakeApp* app = reinterpret_cast<FakeApp*>(p15.GetApplicationAt(0));
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(0x2u, app->options);
    EXPECT_EQ(0, p15.IndexOfApplication(p15.GetApplicationAt(0)));
    EXPECT_EQ(-1, p15.IndexOfApplication(nullptr));
    ASSERT_EQ(1, p15.GetCardDir().DirRecords().GetCount());
    const ASNPkcs15DIRRecord* rec = p15.GetCardDir().DirRecords().GetHead();
    EXPECT_EQ(rec, app->record);
    EXPECT_EQ("CardSim Token", Text(rec->label));
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015}), DirPath(rec));
    EXPECT_EQ(1, rec->hasPkcs15Aid());
    EXPECT_TRUE(rec->ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.2"));
    // The first application is EF.DIR's application.
    EXPECT_EQ(p15.GetApplicationAt(0), p15.GetCardDir().GetApplication());
}

TEST_F(P15Card, TwoApplicationsInDirectoryOrder) {
    SCCard* card = Connect("pkcs15-model3-two-apps");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    ASSERT_EQ(2, p15.GetApplicationCount());
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015}), DirPath(reinterpret_cast<FakeApp*>(p15.GetApplicationAt(0))->record));
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5016}), DirPath(reinterpret_cast<FakeApp*>(p15.GetApplicationAt(1))->record));
    EXPECT_EQ("CardSim Token 2", Text(reinterpret_cast<FakeApp*>(p15.GetApplicationAt(1))->record->label));
    EXPECT_EQ(nullptr, p15.GetApplicationAt(2));
}

TEST_F(P15Card, LoadWithoutApplicationLayerKeepsTheRecords) {
    SCPkcs15SetCardAppServices(nullptr);
    SCCard* card = Connect("pkcs15-model3-two-apps");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    EXPECT_EQ(0, p15.GetApplicationCount());
    EXPECT_EQ(2, p15.GetCardDir().DirRecords().GetCount());
}

TEST_F(P15Card, BlankCardHasNoProfiles) {
    SCCard* card = Connect("blank-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    SCRESULT r = p15.Load();
    EXPECT_EQ(SC_E_PKCS15_NO_PROFILES, r) << std::hex << r;
    EXPECT_EQ(0, p15.GetApplicationCount());
    EXPECT_FALSE(p15.IsLoaded());
    EXPECT_TRUE(p15.IsLoadTried());
}

TEST_F(P15Card, ObjectDirectoryFileAsWritten) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15ODF odf(card);
    Place(odf, 0x5031);
    ASSERT_EQ(SC_OK, odf.Load(false));
    EXPECT_TRUE(odf.IsLoaded());
    EXPECT_EQ(0, odf.GetLastResult());
    const uint8_t tags[] = {0xA0, 0xA1, 0xA4, 0xA7, 0xA8};
    const uint16_t fids[] = {0x4402, 0x4403, 0x4404, 0x4405, 0x4401};
    ASSERT_EQ(5, odf.GetEntryCount());
    POSITION pos = odf.GetFirstEntryPosition();
    for (int i = 0; i < 5; ++i) {
        SCPkcs15OdfEntry* e = odf.GetNextEntry(pos);
        ASSERT_NE(nullptr, e);
        EXPECT_EQ(tags[i], e->getTag());
        EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015, fids[i]}), PathOf(e->value));
    }
    EXPECT_EQ(256, odf.GetFileSize());
    EXPECT_EQ(2, odf.GetFileStructure());
}

TEST_F(P15Card, TokenInfoAsWritten) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5032);
    ASNPkcs15TokenInfo* info = nullptr;
    ASSERT_EQ(SC_OK, ti.GetTokenInfo(&info));
    ASSERT_EQ(&ti.Contents(), info);
    EXPECT_EQ("CardSim Token", Text(info->label));
    EXPECT_EQ("CardSim", Text(info->manufacturerID));
    EXPECT_EQ(16, info->serialNumber.getLength());
    EXPECT_EQ(0, info->version.getLong());
    // Read again by force: the same contents, nothing appended.
    MemFile first;
    ASSERT_GT(ti.Encode(&first), 0);
    ASSERT_EQ(SC_OK, ti.Load(true));
    MemFile second;
    ASSERT_GT(ti.Encode(&second), 0);
    ASSERT_EQ(first.Size(), second.Size());
    EXPECT_EQ(0, memcmp(first.GetData(), second.GetData(), static_cast<size_t>(first.Size())));
    // Loaded: asking again sends nothing.
    ClearLog();
    ASSERT_EQ(SC_OK, ti.GetTokenInfo(&info));
    EXPECT_TRUE(Commands().empty());
}

TEST_F(P15Card, TokenInfoWrittenBackAndReadAgain) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5032);
    ASSERT_EQ(SC_OK, ti.Load(false));
    ASSERT_EQ(1, ti.Contents().setLabel("Nowa etykieta"));
    ti.SetDirty(true);
    // Without the PIN the card refuses, and nothing changes.
    EXPECT_EQ(SC_E_ACCESS_DENIED, ti.Write(nullptr, 0, nullptr));
    EXPECT_TRUE(ti.IsDirty());
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    ASSERT_EQ(SC_OK, ti.Write(nullptr, 0, nullptr));
    EXPECT_FALSE(ti.IsDirty());
    EXPECT_TRUE(ti.IsLoaded());
    SCPkcs15TokenInfo again(card);
    Place(again, 0x5032);
    ASSERT_EQ(SC_OK, again.Load(false));
    EXPECT_EQ("Nowa etykieta", Text(again.Contents().label));
    EXPECT_EQ("CardSim", Text(again.Contents().manufacturerID));
    // The file keeps its size: the TokenInfo is followed by 00 filler.
    MemFile enc;
    ASSERT_GT(ti.Encode(&enc), 0);
    EXPECT_LT(enc.Size(), 256);
    EXPECT_EQ(256, again.GetFileSize());
}

// A file of records is read whole, its spare looked for first, once a card
// session (records may stand anywhere up to its end); a write updates only the
// octets that change and puts filler after the records.
TEST_F(P15Card, RecordsAreReadWholeAndWrittenWhereTheyChange) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15ODF odf(card);
    Place(odf, 0x5031);
    ClearLog();
    ASSERT_EQ(SC_OK, odf.Load(false));
    const std::vector<std::string> reading = {"00A40804045015D03100", "00A40804045015503100", "00B0000000"};
    EXPECT_EQ(reading, Commands());
    MemFile enc;
    ASSERT_GT(odf.Encode(&enc), 0);
    std::vector<uint8_t> bytes(enc.GetData(), enc.GetData() + enc.Size());
    bytes[bytes.size() - 1] ^= 0x01;  // the last entry names another directory
    ClearLog();
    ASSERT_EQ(SC_OK, odf.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
    const std::vector<std::string> cmds = Commands();
    ASSERT_EQ(4u, cmds.size());
    // Read afresh (nothing was held) without the spare's place, the file selected, then one
    // command: the changed octet and the filler after it.
    EXPECT_EQ(std::vector<std::string>(reading.begin() + 1, reading.end()),
              std::vector<std::string>(cmds.begin(), cmds.begin() + 2));
    EXPECT_EQ("00A40804045015503100", cmds[2]);
    char update[32];
    std::snprintf(update, sizeof update, "00D600%02X02%02XFF", static_cast<unsigned>(bytes.size() - 1), bytes.back());
    EXPECT_EQ(update, cmds[3]);
    SCPkcs15ODF again(card);
    Place(again, 0x5031);
    ClearLog();
    ASSERT_EQ(SC_OK, again.Load(true));
    EXPECT_EQ(5, again.GetEntryCount());
    EXPECT_EQ(reading, Commands());
    // The same records again: nothing is written.
    ClearLog();
    ASSERT_EQ(SC_OK, odf.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
    EXPECT_FALSE(HasIns(Commands(), "D6"));
    // What a write goes over is read first: where the card refuses that, nothing is written.
    bytes.back() ^= 0x01;
    Inject(0xB0, 0x6982, 4);
    ClearLog();
    EXPECT_EQ(SC_E_ACCESS_DENIED, again.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
    EXPECT_FALSE(HasIns(Commands(), "D6"));
    Inject(0xB0, 0x9000, 0);
}

// A spare stands in its file's place only while it is whole, names that file and its header vouches for it:
// a whole one's records are read in the file's place (and the next write makes
// the file hold them and takes the spare away); one cut short or never written is not (and goes);
// and any other file under the spare's identifier (the card
// issuer's: empty, filler, unreadable, a spare of another file, blank otherwise) is never read
// in its place, written or deleted: the file grows through the next identifier,
// and where that is taken too, it does not grow.
TEST_F(P15Card, ASpareStandsInItsFilesPlaceOnlyWhenWholeAndItsOwn) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    const uint16_t odfPath[] = {0x3F00, 0x5015, 0x5031}, otherPath[] = {0x3F00, 0x5015, 0x5032};
    const std::vector<uint8_t> entry = {0xA7, 0x0A, 0x30, 0x08, 0x04, 0x06, 0x3F, 0x00, 0x50, 0x15, 0x44, 0x05};
    // Made in this life-cycle state, where one is given, like the ODF (rules 0), an issuer's file (1), or always (2).
    SCFileHeader* rulesOf[3] = {nullptr, nullptr, new SCFileHeader()};
    const auto plant = [&](const std::vector<uint8_t>& contents, uint16_t fid = 0xD031, uint8_t state = 0, int rules = 0) {
        SCTransactGuard g(card);
        SCFileHeader model;
        const uint32_t n = static_cast<uint32_t>(contents.size());
        (void)card->SelectPath(kApp1, 2, nullptr);
        (void)card->DeleteFile(fid);
        (void)card->SelectPath(kApp1, 2, nullptr);  // the DF's creation rule is the new file's
        ASSERT_EQ(SC_OK, !state ? card->CreateBinaryFile(fid, n, 0)
                         : ScPkcs15WithState(*rulesOf[rules], state, &model) ? card->CreateFileLike(model, fid, n, nullptr)
                                                                            : SC_E_BAD_USAGE);
        if (!contents.empty()) {
            ASSERT_EQ(SC_OK, card->UpdateBinaryFromStart(contents.data(), static_cast<uint32_t>(contents.size())));
        }
    };
    const auto octets = [&](uint16_t fid) {
        const uint16_t path[] = {0x3F00, 0x5015, fid};
        std::vector<uint8_t> b(600);
        const SCRESULT s = card->SelectPath(path, 3, nullptr);
        const SCRESULT n = s < 0 ? s : card->ReadBinary(0, b.data(), static_cast<uint32_t>(b.size()));
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return s < 0 ? std::vector<uint8_t>{0xEE} : b;
    };
    const auto entries = [&] {
        SCPkcs15ODF odf(card);
        Place(odf, 0x5031);
        return odf.Load(true) < 0 ? -1 : odf.GetEntryCount();
    };
    std::vector<uint8_t> whole, ofAnother;
    ASSERT_TRUE(ScPkcs15SpareContents(SCPath(odfPath, 3), entry.data(), 12, &whole));
    ASSERT_TRUE(ScPkcs15SpareContents(SCPath(otherPath, 3), entry.data(), 12, &ofAnother));
    std::vector<uint8_t> cut = whole;
    cut.back() ^= 0xFF;
    const std::vector<uint8_t> blank(40, 0xFF), always = {0x80, 0x01, 0x7F, 0x90, 0x00};
    plant(blank);
    ASSERT_EQ(SC_OK, card->SelectPath(odfPath, 3, &rulesOf[0]));
    ASSERT_EQ(SC_OK, card->SelectPath(std::vector<uint16_t>{0x3F00, 0x5015, 0xD031}.data(), 3, &rulesOf[1]));
    ASSERT_TRUE(ScPkcs15WithState(*rulesOf[0], 0x05, rulesOf[2], &always));
    plant(whole, 0xD031, kScPkcs15SpareState);
    EXPECT_EQ(1, entries());
    for (const auto& other : {cut, ofAnother}) {
        plant(other);
        EXPECT_EQ(5, entries());
    }
    // Files of the card's issuer: read around, never written over or deleted.
    SCPkcs15ODF odf(card);
    Place(odf, 0x5031);
    std::vector<uint8_t> bigger = {0x30, 0x82, 0x01, 0x2C, 0x04, 0x82, 0x01, 0x28};
    bigger.resize(0x130, 0x5A);
    // Blank ones too, where the state, the rules or the length are not a never-written spare's, and whole
    // spares in the issuer's rules, rules that allow everything, or the ODF's rules in state 05 over an ODF
    // that holds whole records.
    const std::vector<std::tuple<std::vector<uint8_t>, uint8_t, int>> issuers = {
        {ofAnother, 0, 0}, {std::vector<uint8_t>(1, 0x00), 0, 0}, {std::vector<uint8_t>(40, 0x00), 0, 0}, {blank, 0, 0},
        {std::vector<uint8_t>(40, 0x42), 0, 0}, {blank, 0x05, 0}, {blank, kScPkcs15SpareState, 1},
        {std::vector<uint8_t>(40, 0x42), kScPkcs15SpareState, 0}, {std::vector<uint8_t>(20, 0xFF), kScPkcs15SpareState, 0},
        {whole, 0, 0}, {whole, kScPkcs15SpareState, 1}, {whole, kScPkcs15SpareState, 2}, {whole, 0x05, 0}};
    for (size_t k = 0; k <= issuers.size(); ++k) {
        SCOPED_TRACE(k);
        // The last row: a file the card will not let be read.
        const auto& [issuer, state, rules] = issuers[k < issuers.size() ? k : 4];
        plant(issuer, 0xD031, state, rules);
        if (k == issuers.size()) Inject(0xB0, 0x6982, 1);
        EXPECT_EQ(5, entries());
        ASSERT_EQ(SC_OK, odf.Load(true));
        // A write that fits, then one that grows the file through the next identifier.
        std::vector<uint8_t> plain;
        MemFile enc;
        ASSERT_GT(odf.Encode(&enc), 0);
        plain.assign(enc.GetData(), enc.GetData() + enc.Size());
        plain.back() ^= 0x01;
        EXPECT_EQ(SC_OK, odf.Write(plain.data(), static_cast<uint32_t>(plain.size()), nullptr));
        EXPECT_EQ(issuer, octets(0xD031));
        EXPECT_EQ(SC_OK, odf.Write(bigger.data(), static_cast<uint32_t>(bigger.size()), nullptr));
        EXPECT_EQ(issuer, octets(0xD031));
        EXPECT_EQ((std::vector<uint8_t>{0xEE}), octets(0x9031)) << "the spare is gone";
        const std::vector<uint8_t> grown = octets(0x5031);
        EXPECT_TRUE(grown.size() > bigger.size() && std::equal(bigger.begin(), bigger.end(), grown.begin()));
        // Both places taken: larger contents are refused, nothing is sent that changes the card.
        plant(issuer, 0x9031, state, rules);
        std::vector<uint8_t> larger(bigger);
        larger.resize(0x300, 0x5A);
        larger[2] = 0x02, larger[3] = 0xFC, larger[6] = 0x02, larger[7] = 0xF8;
        ClearLog();
        EXPECT_EQ(SC_E_FILE_TOO_SMALL, odf.Write(larger.data(), static_cast<uint32_t>(larger.size()), nullptr));
        for (const char* ins : {"D6", "E0", "E4"}) EXPECT_FALSE(HasIns(Commands(), ins)) << ins;
        EXPECT_EQ(issuer, octets(0xD031));
        EXPECT_EQ(issuer, octets(0x9031));
        // The ODF back as it was for the next row.
        {
            SCTransactGuard g(card);
            ASSERT_EQ(SC_OK, card->SelectPath(kApp1, 2, nullptr));
            ASSERT_EQ(SC_OK, card->DeleteFile(0x9031));
        }
        std::vector<uint8_t> first(plain);
        first.back() ^= 0x01;
        ASSERT_EQ(SC_OK, odf.Write(first.data(), static_cast<uint32_t>(first.size()), nullptr));
    }
    // A spare never written (its state, the ODF's rules, every octet as created) is read around and goes at the
    // next write, whatever it writes, as does one at the next place; one the PINs held may not delete stays.
    for (const uint16_t fid : {0xD031, 0x9031}) plant(blank, fid, kScPkcs15SpareState);
    EXPECT_EQ(5, entries());
    for (const int refused : {1, 0}) {
        ASSERT_EQ(SC_OK, odf.Load(true));
        Inject(0xE4, 0x6982, refused);
        EXPECT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
        EXPECT_EQ(refused ? blank : std::vector<uint8_t>{0xEE}, octets(0xD031));
        EXPECT_EQ((std::vector<uint8_t>{0xEE}), octets(0x9031));
    }
    // A whole spare's records become the file's at the next write; so do those of one made like the file (an
    // earlier version's) where the file holds no whole records.
    plant(whole, 0xD031, kScPkcs15SpareState);
    ASSERT_EQ(SC_OK, odf.Load(true));
    ASSERT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    std::vector<uint8_t> b(16);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectPath(std::vector<uint16_t>{0x3F00, 0x5015, 0xD031}.data(), 3, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(odfPath, 3, nullptr));
    ASSERT_EQ(13, card->ReadBinary(0, b.data(), 13));
    EXPECT_TRUE(std::equal(entry.begin(), entry.end(), b.begin()));
    EXPECT_EQ(1, entries());
    ASSERT_EQ(SC_OK, card->SelectPath(odfPath, 3, nullptr));
    ASSERT_EQ(SC_OK, card->UpdateBinaryFromStart(std::vector<uint8_t>{0xA0, 0x82, 0x7F, 0xFF}.data(), 4));
    EXPECT_EQ(-1, entries());
    plant(whole, 0xD031, 0x05);
    EXPECT_EQ(1, entries());
    ASSERT_EQ(SC_OK, odf.Load(true));
    ASSERT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    EXPECT_EQ((std::vector<uint8_t>{0xEE}), octets(0xD031));
    for (SCFileHeader* h : rulesOf) SCFileHeader::SafeRelease(h);
    // A spare that the rule updating its file lets be deleted (made where that rule
    // may not delete the file) is this module's too: never written, it goes; whole,
    // with its file gone, it makes the file again with the rules of its own header.
    // Rules a mark carries (one earlier version wrote the file's there) narrow
    // those, never widen them: the ODF's (delete by the SO) and always give way.
    SCFileHeader* odfHeader = nullptr;
    ASSERT_EQ(SC_OK, card->SelectPath(odfPath, 3, &odfHeader));
    const std::vector<uint8_t> odfRules = ScPkcs15Rules(*odfHeader);
    std::vector<uint8_t> spareRules, marked;
    ASSERT_TRUE(ScPkcs15SpareRules(odfRules, &spareRules));
    ASSERT_NE(odfRules, spareRules);
    ASSERT_TRUE(ScPkcs15SpareContents(SCPath(odfPath, 3), entry.data(), 12, &marked));
    // The spare's rules (update and delete by the user), but that nobody deletes.
    const std::vector<uint8_t> undeletable = testsupport::FromHex("80013D9000800102A4068301819501088001409700");
    rulesOf[0] = new SCFileHeader();
    ASSERT_TRUE(ScPkcs15WithState(*odfHeader, 0x05, rulesOf[0], &spareRules));
    plant(blank, 0xD031, kScPkcs15SpareState, 0);
    EXPECT_EQ(1, entries());
    ASSERT_EQ(SC_OK, odf.Load(true));
    ASSERT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    EXPECT_EQ((std::vector<uint8_t>{0xEE}), octets(0xD031));
    plant(marked, 0xD031, kScPkcs15SpareState, 0);
    {
        SCTransactGuard g(card);
        ASSERT_EQ(SC_OK, card->SelectPath(kApp1, 2, nullptr));
        ASSERT_EQ(SC_OK, card->DeleteFile(0x5031));
    }
    EXPECT_EQ(1, entries());
    ASSERT_EQ(SC_OK, odf.Load(true));
    ASSERT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    EXPECT_EQ((std::vector<uint8_t>{0xEE}), octets(0xD031));
    SCFileHeader* remade = nullptr;
    ASSERT_EQ(SC_OK, card->SelectPath(odfPath, 3, &remade));
    EXPECT_EQ(testsupport::ToHex(spareRules), testsupport::ToHex(ScPkcs15Rules(*remade)));
    EXPECT_EQ(1, entries());
    for (SCFileHeader* h : {odfHeader, remade, rulesOf[0]}) SCFileHeader::SafeRelease(h);
    EXPECT_EQ(spareRules, ScPkcs15BoundedRules(odfRules, spareRules));
    EXPECT_EQ(spareRules, ScPkcs15BoundedRules(always, spareRules));
    EXPECT_EQ(undeletable, ScPkcs15BoundedRules(undeletable, spareRules));
}

TEST_F(P15Card, MissingFileIsRememberedUntilForced) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5099);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, ti.Load(false));
    EXPECT_TRUE(ti.IsKnownAbsent());
    ClearLog();
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, ti.Load(false));
    EXPECT_EQ(0, ti.GetFileSize());
    EXPECT_FALSE(ti.IsOp0Allowed(0));
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, ti.Load(true));
    EXPECT_FALSE(Commands().empty());
    EXPECT_FALSE(ti.FileExists());
}

TEST_F(P15Card, MissingFileIsCreatedOnlyWithCreationParameters) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    SCPkcs15ODF odf(card);
    Place(odf, 0x4410);
    const uint16_t cdf[] = {0x3F00, 0x5015, 0x4404};
    ASSERT_NE(nullptr, odf.AddEntryTail(SC_ODF_CDF, cdf, 3));
    EXPECT_EQ(SC_E_BAD_USAGE, odf.Write(nullptr, 0, nullptr));
    EXPECT_FALSE(odf.FileExists());
    SCFileHeaderList refs;
    EXPECT_EQ(SC_E_BAD_USAGE, (odf.SetCreateParameters(0, 0x00A1, refs), odf.Write(nullptr, 0, nullptr)));
    EXPECT_FALSE(odf.FileExists());
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    odf.SetCreateParameters(0, 0x00A1, refs);
    ASSERT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    EXPECT_TRUE(odf.FileExists());
    SCPkcs15ODF again(card);
    Place(again, 0x4410);
    ASSERT_EQ(SC_OK, again.Load(false));
    ASSERT_EQ(1, again.GetEntryCount());
    POSITION first = again.GetFirstEntryPosition();
    EXPECT_EQ(0xA4, again.GetNextEntry(first)->getTag());
    // Deleting forgets the file: its size is known to be 0 without asking the card.
    ASSERT_EQ(SC_OK, again.Delete());
    ClearLog();
    EXPECT_EQ(0, again.GetFileSize());
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(again.FileExists());
}

TEST_F(P15Card, WindowInsideAFileIsOneReadAtItsOffset) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15PathObjectInfo whole(card);
    Place(whole, 0x4402);
    MemFile all;
    ASSERT_EQ(1024, whole.ReadRawContents(&all, false));
    SCPkcs15ODF part(card);
    Place(part, 0x4402, 16, 100);
    MemFile win;
    ClearLog();
    ASSERT_EQ(100, part.ReadRawContents(&win, false));
    ASSERT_EQ(100, win.Size());
    EXPECT_EQ(0, memcmp(win.GetData(), all.GetData() + 16, 100));
    int reads = 0;
    for (const std::string& c : Commands())
        if (c.substr(0, 4) == "00B0") {
            ++reads;
            EXPECT_EQ("0010", c.substr(4, 4));
        }
    EXPECT_EQ(1, reads);
}

TEST_F(P15Card, AccessDeniedIsRetriedOnceAfterVerifyingAgain) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    g_card = card;
    SCPkcs15SetAppServices(&kAppServices);
    ASNPkcs15AuthObject pin;
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5032);
    ti.SetApplication(reinterpret_cast<SCPkcs15App*>(&pin));  // any non-null application
    ti.SetAuthHandle(&pin);
    ASSERT_EQ(SC_OK, ti.Load(false));
    MemFile enc;
    ASSERT_GT(ti.Encode(&enc), 0);
    ASSERT_TRUE(enc.SetLength(256));  // the file's size: an update alone
    // Filler the card does not hold yet: only a change is written.
    std::vector<uint8_t> bytes(enc.GetData(), enc.GetData() + 256);
    bytes[255] = 0xFF;
    // The card has not seen the PIN: the first update is refused, verified once, repeated.
    ASSERT_EQ(SC_OK, ti.Write(bytes.data(), 256, nullptr));
    EXPECT_EQ(1, g_verifyCalls);
    // A second refusal after the retry is returned as it is.
    Inject(0xD6, 0x6982, 2);
    ClearLog();
    bytes[255] = 0x00;
    SCRESULT r = ti.Write(bytes.data(), 256, nullptr);
    EXPECT_EQ(SC_E_ACCESS_DENIED, r);
    EXPECT_EQ(2, g_verifyCalls);
}

TEST_F(P15Card, DirectoryRecordAddedWrittenAndReadAgain) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    {
        SCTransactGuard g(card);
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ASSERT_EQ(SC_OK, card->VerifyPin(0x04, reinterpret_cast<const uint8_t*>("87654321"), 8));
    }
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    ASNPkcs15DIRRecord* rec = nullptr;
    ASSERT_EQ(SC_OK, p15.CreateApplicationRecord(&rec, "Druga aplikacja", nullptr));
    ASSERT_NE(nullptr, rec);
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5016}), DirPath(rec));
    EXPECT_TRUE(rec->ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.2"));
    EXPECT_EQ(1, rec->hasPkcs15Aid());
    ASSERT_EQ(SC_OK, p15.GetCardDir().Write(nullptr, 0, nullptr));
    SCPkcs15Card again(card);
    ASSERT_EQ(SC_OK, again.Load());
    ASSERT_EQ(2, again.GetApplicationCount());
    const ASNPkcs15DIRRecord* r2 = reinterpret_cast<FakeApp*>(again.GetApplicationAt(1))->record;
    EXPECT_EQ("Druga aplikacja", Text(r2->label));
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5016}), DirPath(r2));
    EXPECT_TRUE(r2->ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.2"));
}

TEST_F(P15Card, HostileTokenInfoGivesCleanErrors) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    const std::vector<std::vector<uint8_t>> hostile = {
        {0x04, 0x02, 0x01, 0x02},                    // wrong tag
        {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02},  // huge length
        {0x30, 0x06, 0x02, 0x01, 0x00, 0x04},        // truncated
    };
    for (const std::vector<uint8_t>& bytes : hostile) {
        SCPkcs15TokenInfo raw(card);
        Place(raw, 0x5032);
        ASSERT_EQ(SC_OK, raw.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
        SCPkcs15TokenInfo ti(card);
        Place(ti, 0x5032);
        EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ti.Load(false));
        EXPECT_FALSE(ti.IsLoaded());
        ASNPkcs15TokenInfo* info = reinterpret_cast<ASNPkcs15TokenInfo*>(1);
        EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, ti.GetTokenInfo(&info));
        EXPECT_EQ(nullptr, info);
    }
    // An EF.DIR that does not decode leaves the card without applications.
    {
        SCTransactGuard g(card);
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ASSERT_EQ(SC_OK, card->VerifyPin(0x04, reinterpret_cast<const uint8_t*>("87654321"), 8));
    }
    SCPkcs15CardDir dir(card);
    const uint8_t bad[] = {0x61, 0x84, 0x10, 0x00, 0x00, 0x00, 0x4F};
    ASSERT_EQ(SC_OK, dir.Write(bad, sizeof bad, nullptr));
    SCPkcs15Card p15(card);
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, p15.Load());
    EXPECT_EQ(0, p15.GetApplicationCount());
}

TEST_F(P15Card, WithoutDirectoryTheApplicationIsFoundByAid) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15CardDir dir(card);
    ASSERT_EQ(SC_OK, dir.Delete());
    EXPECT_TRUE(dir.IsKnownAbsent());
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    EXPECT_TRUE(p15.IsLoaded());
    ASSERT_EQ(1, p15.GetApplicationCount());
    const ASNPkcs15DIRRecord* rec = reinterpret_cast<FakeApp*>(p15.GetApplicationAt(0))->record;
    EXPECT_EQ(1, rec->hasPkcs15Aid());
    EXPECT_EQ((std::vector<uint16_t>{0x3F00, 0x5015}), DirPath(rec));
    EXPECT_EQ(0, rec->wasLabel);
}

TEST_F(P15Card, AccessChecksFollowTheFileRules) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5032);
    // Read: always; delete: the SO PIN (04), not the user PIN (81).
    EXPECT_TRUE(ti.IsOp0Allowed(0xC081));
    EXPECT_TRUE(ti.IsOp7Allowed(0xC004));
    EXPECT_FALSE(ti.IsOp7Allowed(0xC099));
    EXPECT_FALSE(ti.IsOp16Allowed(0xC099));
    bool exists = false;
    ti.IsAccessAllowed(0xC081, &exists);
    EXPECT_TRUE(exists);
    SCPkcs15TokenInfo missing(card);
    Place(missing, 0x5099);
    EXPECT_TRUE(missing.IsOp7Allowed(0xC081));  // nothing to delete
    exists = true;
    missing.IsAccessAllowed(0xC081, &exists);
    EXPECT_FALSE(exists);
}

namespace {
int g_structures = 0;
int g_cleared = 0;
SCRESULT g_structureResult = 0;
SCRESULT FakeStructure(SCPkcs15App*, const char*, const SCFileHeaderList&) {
    ++g_structures;
    return g_structureResult;
}
SCRESULT FakeClear(SCPkcs15App*) {
    ++g_cleared;
    return 0;
}
const SCPkcs15CardAppServices kFullServices = {FakeCreate, FakeDestroy, nullptr,   nullptr, FakeRecord,
                                               FakeStructure, FakeClear, nullptr, nullptr, nullptr};
}  // namespace

TEST_F(P15Card, ApplicationsAddedAndDeleted) {
    SCPkcs15SetCardAppServices(&kFullServices);
    g_structures = g_cleared = 0;
    g_structureResult = 0;
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    // A failing structure takes the new application and its record away again.
    g_structureResult = SC_E_NO_SPACE_ON_CARD;
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    SCPkcs15App* app = nullptr;
    EXPECT_EQ(SC_E_NO_SPACE_ON_CARD, p15.AddApplication(&app, refs, "Nowa"));
    EXPECT_EQ(nullptr, app);
    EXPECT_EQ(1, p15.GetApplicationCount());
    EXPECT_EQ(1, p15.GetCardDir().DirRecords().GetCount());
    g_structureResult = 0;
    ASSERT_EQ(SC_OK, p15.AddApplication(&app, refs, "Nowa"));
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(2, g_structures);
    EXPECT_EQ(2, p15.GetApplicationCount());
    EXPECT_EQ(1, p15.IndexOfApplication(app));
    EXPECT_EQ(3u, p15.GetCardDir().GetLifeCycleState());
    EXPECT_EQ(0x0B01u, p15.GetCardDir().GetAccessTemplate());
    ASSERT_EQ(SC_OK, p15.GetCardDir().Write(nullptr, 0, nullptr));
    {
        SCPkcs15Card again(card);
        ASSERT_EQ(SC_OK, again.Load());
        EXPECT_EQ(2, again.GetApplicationCount());
    }
    // Deleting the first application moves EF.DIR's application to the next one.
    SCPkcs15App* first = p15.GetApplicationAt(0);
    ASSERT_EQ(SC_OK, p15.DeleteApplication(first));
    EXPECT_EQ(1, g_cleared);
    EXPECT_EQ(1, p15.GetApplicationCount());
    EXPECT_EQ(app, p15.GetCardDir().GetApplication());
    EXPECT_EQ(SC_E_BAD_PARAMS, p15.DeleteApplication(nullptr));
    ASSERT_EQ(SC_OK, p15.DeleteAllApplications());
    EXPECT_EQ(0, p15.GetApplicationCount());
    EXPECT_EQ(nullptr, p15.GetCardDir().GetApplication());
    EXPECT_EQ(0, p15.GetCardDir().DirRecords().GetCount());
    // EF.DIR on the card is empty now.
    SCPkcs15CardDir dir(card);
    EXPECT_EQ(SC_OK, dir.Load(false));
    EXPECT_TRUE(dir.IsEmpty());
}

TEST_F(P15Card, FurtherApplicationsOnIasCardsGetTheirOwnAid) {
    SCCard* card = ConnectGenerated("pkcs15-model7-gen", "pkcs15 --model 7");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(7u, card->GetCardType());
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    ASSERT_EQ(1, p15.GetApplicationCount());
    ASNPkcs15DIRRecord* second = nullptr;
    ASSERT_EQ(SC_OK, p15.CreateApplicationRecord(&second, "Druga", nullptr));
    const uint8_t aid2[] = {0xE8, 0x28, 0xBD, 0x08, 0x0F, 'M', 'I', 'R', 'T', 'A', 'L'};
    ASSERT_EQ(11, second->aid.getLength());
    EXPECT_EQ(0, memcmp(aid2, second->aid.getData(), 11));
    EXPECT_TRUE(second->ddo.oid.isEqual("1.3.6.1.4.1.32473.2.7.4"));
    ASNPkcs15DIRRecord* third = nullptr;
    ASSERT_EQ(SC_OK, p15.CreateApplicationRecord(&third, "Trzecia", "1.2.3.4"));
    const uint8_t aid3[] = {0xE8, 0x28, 0xBD, 0x08, 0x0F, 'M', 'I', 'R', 'T', 'A', 'L', '2'};
    ASSERT_EQ(12, third->aid.getLength());
    EXPECT_EQ(0, memcmp(aid3, third->aid.getData(), 12));
    EXPECT_TRUE(third->ddo.oid.isEqual("1.2.3.4"));
    EXPECT_EQ(3, p15.GetCardDir().DirRecords().GetCount());
}

TEST_F(P15Card, EmptyWriteClearsTheFileButKeepsIt) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15TokenInfo ti(card);
    Place(ti, 0x5032);
    ASSERT_EQ(SC_OK, ti.Load(false));
    EXPECT_EQ(256, ti.GetFileSize());
    ASSERT_EQ(SC_OK, ti.Write(reinterpret_cast<const uint8_t*>(""), 0, nullptr));
    SCPkcs15TokenInfo again(card);
    Place(again, 0x5032);
    // A TokenInfo file of 00 octets does not decode; the file is never deleted and made again.
    EXPECT_EQ(SC_E_INVALID_DATA_FORMAT, again.Load(false));
    EXPECT_EQ(256, again.GetFileSize());
}

namespace {
int g_inits = 0;
SCRESULT FakeInit(SCPkcs15App*, const void* const* args) {
    ++g_inits;
    return args ? 0 : SC_E_PKCS15_NOT_LOGGED_IN;
}
const SCPkcs15CardAppServices kInitServices = {FakeCreate, FakeDestroy, nullptr,  nullptr, FakeRecord,
                                               nullptr,    nullptr,     FakeInit, nullptr, nullptr};
}  // namespace

TEST_F(P15Card, InitialisationWritesTheDirectoryFirst) {
    SCPkcs15SetCardAppServices(&kInitServices);
    g_inits = 0;
    SCCard* card = Connect("pkcs15-model3-two-apps");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    // A new label in the first record: EF.DIR has something to write (the same
    // contents again would send no command).
    ASNPkcs15DIRRecord* first = p15.GetCardDir().DirRecords().GetHead();
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(1, first->label.setText("Nowa etykieta", -1));
    first->wasLabel = 1;
    // EF.DIR cannot be written without the SO PIN: no token is initialised.
    const void* args[4] = {nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(SC_E_ACCESS_DENIED, p15.InitializeApplication(p15.GetApplicationAt(0), args));
    EXPECT_EQ(0, g_inits);
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    EXPECT_EQ(SC_OK, p15.InitializeApplication(p15.GetApplicationAt(0), args));
    EXPECT_EQ(1, g_inits);
    // Every application is tried; the first failure is returned.
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, p15.InitializeAllApplications());
    EXPECT_EQ(3, g_inits);
}

TEST_F(P15Card, InitialisationWithoutTheApplicationServiceWritesNothing) {
    SCCard* card = Connect("pkcs15-model3-two-apps");
    ASSERT_NE(nullptr, card);
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    ClearLog();
    const void* args[4] = {nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(SC_E_UNIMPLEMENTED_FEATURE, p15.InitializeApplication(p15.GetApplicationAt(0), args));
    EXPECT_EQ(SC_E_UNIMPLEMENTED_FEATURE, p15.InitializeAllApplications());
    EXPECT_TRUE(Commands().empty());
}

TEST_F(P15Card, DeletingAllApplicationsReportsAnEfDirThatCouldNotBeWritten) {
    SCPkcs15SetCardAppServices(&kFullServices);
    g_structures = g_cleared = 0;
    SCCard* card = Connect("pkcs15-model3-two-apps");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15Card p15(card);
    ASSERT_EQ(SC_OK, p15.Load());
    ASSERT_EQ(2, p15.GetApplicationCount());
    // The applications are cleared; the card then refuses every command of the EF.DIR write.
    Inject(0x100, 0x6581, 50);
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016581ULL), p15.DeleteAllApplications());
    EXPECT_EQ(2, g_cleared);
    Inject(0x100, 0x6581, 0);
}

// A write longer than one command that the card refuses at its second part
// leaves the file as it was: the first part is put back.
TEST_F(P15Card, UpdateRefusedAfterItsFirstPartPutsTheOldContentsBack) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    const auto contents = [card] {
        std::vector<uint8_t> b(256);
        EXPECT_EQ(SC_OK, card->SelectPath(kApp1, 2, nullptr));
        EXPECT_EQ(SC_OK, card->SelectChildEf(0x5031, nullptr));
        EXPECT_EQ(256, card->ReadBinary(0, b.data(), 256));
        return b;
    };
    const std::vector<uint8_t> before = contents();
    void* sim = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, sim);
    const auto injectAfter =
        reinterpret_cast<int (*)(const char*, unsigned, unsigned, int, int)>(dlsym(sim, "CardSimInjectSwAfter"));
    ASSERT_NE(nullptr, injectAfter);
    SCPkcs15ODF odf(card);
    Place(odf, 0x5031);
    const std::vector<uint8_t> bytes(256, 0xA5);
    for (unsigned sw : {0x6581u, 0x6F00u}) {
        ClearLog();
        ASSERT_EQ(0, injectAfter(m_reader.c_str(), 0xD6, sw, 1, 1));
        EXPECT_EQ(SCCard::MapStatus(static_cast<uint16_t>(sw)), odf.Write(bytes.data(), 256, nullptr));
        const std::vector<std::string> cmds = Commands();
        size_t updates = 0;
        for (const std::string& c : cmds) updates += c.compare(0, 4, "00D6") == 0 ? 1 : 0;
        EXPECT_EQ(3u, updates) << "two parts, the second refused, then the first part's old contents";
        EXPECT_EQ(before, contents()) << std::hex << sw;
    }
    // Without a refusal the write goes through.
    ASSERT_EQ(SC_OK, odf.Write(bytes.data(), 256, nullptr));
    EXPECT_EQ(bytes, contents());
    dlclose(sim);
}

// A write of records whose selection failed leaves the file object without the
// file's size; the next write of shorter records still fills the file up in
// place: the file is never deleted and made again at another size.
TEST_F(P15Card, RecordsWrittenAfterAFailedSelectionFillTheFileInPlace) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    SCPkcs15ODF odf(card);
    Place(odf, 0x5031);
    ASSERT_EQ(SC_OK, odf.Load(false));
    Inject(0xA4, 0x6581, 1);
    EXPECT_GT(0, odf.Write(nullptr, 0, nullptr));
    ClearLog();
    EXPECT_EQ(SC_OK, odf.Write(nullptr, 0, nullptr));
    for (const std::string& c : Commands()) {
        EXPECT_NE("00E4", c.substr(0, 4)) << "the file was deleted";
        EXPECT_NE("00E0", c.substr(0, 4)) << "the file was made again";
    }
    std::vector<uint8_t> b(300);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp1, 2, nullptr));
    ASSERT_EQ(SC_OK, card->SelectChildEf(0x5031, nullptr));
    EXPECT_EQ(256, card->ReadBinary(0, b.data(), 300));
}

// EF.DIR, the ODF and TokenInfo grow as any file of records: the new records
// first in a spare of the same DF, then the file deleted and made again larger,
// then the spare deleted; the file keeps its name and rules. Shorter contents
// are written in place.
TEST_F(P15Card, FilesWithFixedNamesGrowThroughASpare) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, VerifyUserPin(card));
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    SCPkcs15CardDir dir(card);
    SCPkcs15ODF odf(card);
    SCPkcs15TokenInfo ti(card);
    Place(odf, 0x5031);
    Place(ti, 0x5032);
    // Only the SO may delete them: with the user PIN alone verified they do not
    // grow, and nothing is written.
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, card->ResetPinState(0x04));
    for (SCPkcs15PathObjectInfo* f : std::initializer_list<SCPkcs15PathObjectInfo*>{&dir, &odf, &ti}) {
        std::vector<uint8_t> bigger = {0x30, 0x82, 0x02, 0x54, 0x04, 0x82, 0x02, 0x50};
        bigger.resize(600, 0x5A);
        ClearLog();
        EXPECT_EQ(SC_E_FILE_TOO_SMALL, f->Write(bigger.data(), 600, nullptr));
        for (const char* ins : {"D6", "E0", "E4"}) EXPECT_FALSE(HasIns(Commands(), ins)) << ins;
    }
    ASSERT_EQ(SC_OK, VerifySoPin(card));
    const struct {
        SCPkcs15PathObjectInfo* file;
        std::vector<uint16_t> path;
    } kFiles[] = {{&dir, {0x3F00, 0x2F00}}, {&odf, {0x3F00, 0x5015, 0x5031}}, {&ti, {0x3F00, 0x5015, 0x5032}}};
    const auto contents = [card](const std::vector<uint16_t>& path) {
        std::vector<uint8_t> b(1024);
        const SCRESULT s = card->SelectPath(path.data(), path.size(), nullptr);
        const SCRESULT n = s < 0 ? s : card->ReadBinary(0, b.data(), static_cast<uint32_t>(b.size()));
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    };
    for (const auto& f : kFiles) {
        ASSERT_EQ(256u, contents(f.path).size());
        // One record of 600 octets (TokenInfo holds one).
        std::vector<uint8_t> bigger = {0x30, 0x82, 0x02, 0x54, 0x04, 0x82, 0x02, 0x50};
        bigger.resize(600, 0x5A);
        ClearLog();
        EXPECT_EQ(SC_OK, f.file->Write(bigger.data(), 600, nullptr)) << f.path.back();
        std::vector<std::string> ops;
        for (const std::string& c : Commands())
            if (c.compare(0, 4, "00E0") == 0 || c.compare(0, 4, "00E4") == 0) ops.push_back(c.substr(0, 4));
        EXPECT_EQ((std::vector<std::string>{"00E0", "00E4", "00E0", "00E4"}), ops) << f.path.back();
        std::vector<uint16_t> spare = f.path;
        spare.back() ^= 0x8000;
        EXPECT_TRUE(contents(spare).empty()) << "the spare is gone";
        const std::vector<uint8_t> grown = contents(f.path);
        ASSERT_GT(grown.size(), 600u);
        EXPECT_TRUE(std::equal(bigger.begin(), bigger.end(), grown.begin()));
        EXPECT_EQ(0xFF, grown[600]);
        // Shorter contents are written in place: the file keeps its size; the record
        // longer than one command that they replace has a spare stand in meanwhile.
        std::vector<uint8_t> shorter = {0x30, 38, 0x04, 36};
        shorter.resize(40, 0x5A);
        ClearLog();
        EXPECT_EQ(SC_OK, f.file->Write(shorter.data(), 40, nullptr)) << f.path.back();
        ops.clear();
        for (const std::string& c : Commands())
            if (c.compare(0, 4, "00E0") == 0) ops.push_back("create");
            else if (c.compare(0, 4, "00E4") == 0) ops.push_back("delete " + c.substr(c.size() - 4));
        char spareFid[5];
        std::snprintf(spareFid, sizeof spareFid, "%04X", spare.back());
        EXPECT_EQ((std::vector<std::string>{"create", std::string("delete ") + spareFid}), ops) << f.path.back();
        EXPECT_TRUE(contents(spare).empty()) << "the spare is gone";
        const std::vector<uint8_t> after = contents(f.path);
        EXPECT_EQ(grown.size(), after.size());
        EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), after.begin()));
    }
}
