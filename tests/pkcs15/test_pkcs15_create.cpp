// Creating a PKCS#15 structure on a blank simulated card: what is built in
// memory (and that nothing is written while building), writing it with the
// token initialisation and reading it back with a fresh card object, the PIN
// objects of card profiles, and clean refusals.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_transactguard.h"
#include "support/vtest.h"
#include "tests/pkcs15/p15_sim_fixture.h"

namespace {

const char kLabel[] = "Nowy token";
const char kUserPin[] = "1234";
const char kSoPin[] = "87654321";

std::string Text(const ASNoctstr& s) {
    return s.getLength() > 0 ? std::string(reinterpret_cast<const char*>(s.getData()), s.getLength()) : std::string();
}
long Int(const ASNinteger& v) {
    try {
        return v.getLong();
    } catch (...) {
        return -1;
    }
}
std::vector<uint16_t> PathOf(const ASNPkcs15Path& p) {
    uint16_t ids[64];
    int n = p.getPath(ids, 64);
    return n > 0 ? std::vector<uint16_t>(ids, ids + n) : std::vector<uint16_t>();
}
std::vector<uint16_t> PathOf(const SCPath& p) { return std::vector<uint16_t>(p.Ids(), p.Ids() + p.Count()); }

class Pkcs15Create : public P15Sim {
protected:
    void SetUp() override {
        P15Sim::SetUp();
        SCPkcs15InstallAppServices();
    }
    void TearDown() override {
        m_p15.reset();
        P15Sim::TearDown();
    }
    // A card object over the blank card and a new application with a model-3 profile.
    SCPkcs15App* NewApp(SCCard* card, int profile = 3) {
        m_card = card;
        m_p15.reset(new SCPkcs15Card(card));
        (void)m_p15->Load();
        EXPECT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(profile, &m_profile, -1));
        SCPkcs15App* app = nullptr;
        ClearLog();
        EXPECT_EQ(0, m_p15->AddApplication(&app, m_profile, kLabel));
        return app;
    }
    size_t Writes() {
        size_t n = 0;
        for (const std::string& c : Commands()) {
            const std::string ins = c.size() >= 4 ? c.substr(2, 2) : "";
            if (ins == "D6" || ins == "E0" || ins == "DC" || ins == "E2" || ins == "24" || ins == "2C" || ins == "E4")
                ++n;
        }
        return n;
    }
    SCCardInfo Info() {
        SCCardInfo info;
        std::memset(&info, 0, sizeof info);
        EXPECT_GE(m_card->GetCardInfo(&info), 0);
        return info;
    }
    static std::vector<ASNPkcs15AuthObject*> Pins(SCPkcs15App* app) {
        std::vector<ASNPkcs15AuthObject*> out;
        auto* aodf = dynamic_cast<SCPkcs15AuthObjectList*>(app->FindDirectoryFile(SC_ODF_AODF));
        if (!aodf) return out;
        for (POSITION p = aodf->Records().GetHeadPosition(); p;) out.push_back(aodf->Records().GetNext(p));
        return out;
    }

    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCFileHeaderList m_profile;
};

TEST_F(Pkcs15Create, BuildsTheStructureInMemoryAndWritesNothing) {
    SCPkcs15App* app = NewApp(Connect("blank-model3"));
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(0u, Writes());
    EXPECT_FALSE(app->IsLoaded());
    SCPath a;
    ASSERT_EQ(0, app->BuildAbsolutePath(&a));
    const bool subDir = (Info().pinCaps & 0x10000) == 0;

    // TokenInfo: label, maker, version 0, dirty and loaded.
    SCPkcs15TokenInfo& ti = app->GetTokenInfoFile();
    EXPECT_EQ(0xE000u, ti.GetFlags() & 0xE000u);
    EXPECT_EQ(kLabel, Text(ti.Contents().label));
    EXPECT_EQ("Veldor", Text(ti.Contents().manufacturerID));
    EXPECT_EQ(0, Int(ti.Contents().version));
    EXPECT_EQ(3u, ti.GetLifeCycleState());
    EXPECT_EQ(0xBB01u, ti.GetAccessTemplate());  // the profile has an SO PIN
    SCPath tiPath;
    ASSERT_TRUE(ti.GetFullPathInto(tiPath));
    std::vector<uint16_t> want = PathOf(a);
    want.push_back(0x5032);
    EXPECT_EQ(want, PathOf(tiPath));

    // ODF: five entries in order, AODF in the application DF, the rest in D.
    SCPkcs15ODF& odf = app->GetOdf();
    EXPECT_EQ(0xE000u, odf.GetFlags() & 0xE000u);
    ASSERT_EQ(5, odf.GetEntryCount());
    const uint8_t tags[5] = {0xA8, 0xA0, 0xA1, 0xA4, 0xA7};
    const uint16_t ids[5] = {0x5200, 0x5300, 0x5400, 0x5600, 0x5700};
    POSITION pos = odf.GetFirstEntryPosition();
    for (int i = 0; i < 5; ++i) {
        SCPkcs15OdfEntry* e = odf.GetNextEntry(pos);
        ASSERT_NE(nullptr, e);
        POSITION f = nullptr;
        EXPECT_EQ(e, odf.FindEntryByTag(tags[i], f)) << i;
        std::vector<uint16_t> p = PathOf(a);
        if (i > 0 && subDir) p.push_back(0x5000);
        p.push_back(ids[i]);
        EXPECT_EQ(p, PathOf(e->value)) << i;
    }
    // Lists: empty and not dirty, except the AODF with its PINs.
    for (int i = 1; i < 5; ++i) {
        SCPkcs15ObjectList* l = app->FindDirectoryFile(tags[i]);
        if (!subDir) {
            EXPECT_EQ(nullptr, l);
            continue;
        }
        ASSERT_NE(nullptr, l);
        EXPECT_EQ(0xC000u, l->GetFlags() & 0xE000u) << i;
        EXPECT_EQ(0x88B1u, l->GetAccessTemplate());
        EXPECT_TRUE(l->IsEmpty());
    }
    SCPkcs15ObjectList* aodf = app->FindDirectoryFile(SC_ODF_AODF);
    ASSERT_NE(nullptr, aodf);
    EXPECT_EQ(0xE000u, aodf->GetFlags() & 0xE000u);
    EXPECT_EQ(0xBB01u, aodf->GetAccessTemplate());
}

TEST_F(Pkcs15Create, ModelThreeProfileGivesUserPinGuardedByOfficerAndOfficerPin) {
    SCPkcs15App* app = NewApp(Connect("blank-model3"));
    ASSERT_NE(nullptr, app);
    const SCCardInfo info = Info();
    std::vector<ASNPkcs15AuthObject*> pins = Pins(app);
    ASSERT_EQ(2u, pins.size());  // no PUK object on a model-3 card

    ASNPkcs15AuthObject* user = pins[0];
    EXPECT_EQ("PIN u\xC5\xBCytkownika", Text(user->commonObjectAttributes.label));
    EXPECT_EQ(std::string("\x01", 1), Text(user->classAttributes.authId));
    ASSERT_TRUE(user->commonObjectAttributes.wasAuthId);
    EXPECT_EQ(std::string("\x02", 1), Text(user->commonObjectAttributes.authId));
    EXPECT_EQ(0x1u, user->commonObjectAttributes.flags.getFlags() & 0x1u);  // private
    EXPECT_EQ(1, Int(user->typeAttributes.pinReference));
    EXPECT_EQ(0u, user->typeAttributes.pinFlags.getFlags() & SCPkcs15App::PINF_LOCAL);
    EXPECT_EQ(std::vector<uint16_t>{0x3F00}, PathOf(user->typeAttributes.path));  // reference below 0x80
    EXPECT_EQ(2, Int(user->typeAttributes.pinType));
    EXPECT_EQ(info.maxPinLen, Int(user->typeAttributes.maxLength));
    EXPECT_GE(Int(user->typeAttributes.minLength), 4);
    EXPECT_EQ((info.pinCaps & 0x8000) == 0, (user->typeAttributes.pinFlags.getFlags() & 0x1) != 0);

    ASNPkcs15AuthObject* so = pins[1];
    EXPECT_EQ("PIN administratora", Text(so->commonObjectAttributes.label));
    EXPECT_EQ(std::string("\x02", 1), Text(so->classAttributes.authId));
    EXPECT_FALSE(so->commonObjectAttributes.wasAuthId);
    EXPECT_EQ(SCPkcs15App::PINF_SO, so->typeAttributes.pinFlags.getFlags() & SCPkcs15App::PINF_SO);
    EXPECT_EQ(4, Int(so->typeAttributes.pinReference));
    EXPECT_EQ(16, Int(so->typeAttributes.maxLength));  // officer PINs on model 3
}

TEST_F(Pkcs15Create, WrittenStructureReadsBackWithAFreshCardObject) {
    SCPkcs15App* app = NewApp(Connect("blank-model3"));
    ASSERT_NE(nullptr, app);
    std::vector<ASNPkcs15AuthObject> before;
    for (ASNPkcs15AuthObject* p : Pins(app)) before.push_back(*p);
    {
        // EF.DIR is written under the officer's PIN.
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->SelectMf());
        ASSERT_EQ(0, m_card->VerifyPin(0x04, reinterpret_cast<const uint8_t*>(kSoPin), 8));
        ASSERT_EQ(0, m_p15->GetCardDir().Write(nullptr, 0, nullptr));
    }
    SCPinParams userRecord, soRecord;
    ASSERT_EQ(0, app->InitializeToken(kUserPin, &userRecord, kSoPin, &soRecord));
    std::vector<uint16_t> odfPaths;
    for (POSITION p = app->GetOdf().GetFirstEntryPosition(); p;)
        odfPaths.push_back(PathOf(app->GetOdf().GetNextEntry(p)->value).back());

    SCPkcs15Card again(m_card);
    ASSERT_EQ(0, again.Load());
    ASSERT_EQ(1, again.GetApplicationCount());
    SCPkcs15App* loaded = again.GetApplicationAt(0);
    ASSERT_EQ(0, loaded->Load(true));
    EXPECT_EQ(kLabel, Text(loaded->GetTokenInfoFile().Contents().label));
    EXPECT_EQ("Veldor", Text(loaded->GetTokenInfoFile().Contents().manufacturerID));
    ASSERT_EQ(5, loaded->GetOdf().GetEntryCount());
    std::vector<uint16_t> loadedPaths;
    for (POSITION p = loaded->GetOdf().GetFirstEntryPosition(); p;)
        loadedPaths.push_back(PathOf(loaded->GetOdf().GetNextEntry(p)->value).back());
    EXPECT_EQ(odfPaths, loadedPaths);
    std::vector<ASNPkcs15AuthObject*> after = Pins(loaded);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(Text(before[i].commonObjectAttributes.label), Text(after[i]->commonObjectAttributes.label));
        EXPECT_EQ(Int(before[i].typeAttributes.pinReference), Int(after[i]->typeAttributes.pinReference));
        EXPECT_EQ(PathOf(before[i].typeAttributes.path), PathOf(after[i]->typeAttributes.path));
    }
    ASNPkcs15AuthObject* user = nullptr;
    ASSERT_EQ(0, loaded->FindPinObject(SCPkcs15App::PIN_USER, &user));
    EXPECT_EQ(0, loaded->VerifyPin(user, kUserPin, false, nullptr));
}

TEST_F(Pkcs15Create, PinObjectLengthsFlagsAndPaths) {
    SCPkcs15App* app = NewApp(Connect("blank-model3"));
    ASSERT_NE(nullptr, app);
    const SCCardInfo info = Info();
    SCPkcs15ObjectList* aodf = app->FindDirectoryFile(SC_ODF_AODF);
    ASNPkcs15AuthObject* pin = nullptr;
    // A local reference, the application path, a requested minimum of 2, initialised and unblock-disabled.
    ASSERT_EQ(0, app->CreatePinObject("Lokalny", 0x81, 5, 0, 2,
                                      SCPkcs15App::PINCREATE_INITIALIZED | SCPkcs15App::PINCREATE_UNBLOCK_DISABLED,
                                      &pin, nullptr, 0xFFFF, aodf));
    ASSERT_NE(nullptr, pin);
    SCPath a;
    ASSERT_EQ(0, app->BuildAbsolutePath(&a));
    EXPECT_EQ(PathOf(a), PathOf(pin->typeAttributes.path));
    const uint32_t fl = pin->typeAttributes.pinFlags.getFlags();
    EXPECT_NE(0u, fl & SCPkcs15App::PINF_LOCAL);
    EXPECT_NE(0u, fl & SCPkcs15App::PINF_INITIALIZED);
    EXPECT_NE(0u, fl & 0x8u);                                   // unblock-disabled
    EXPECT_EQ(0u, fl & (SCPkcs15App::PINF_SO | SCPkcs15App::PINF_UNBLOCKING));
    EXPECT_EQ(std::max(4, std::min<int>(info.maxPinLen, std::max<int>(2, info.minPinLen))),
              Int(pin->typeAttributes.minLength));
    EXPECT_FALSE(pin->commonObjectAttributes.wasAuthId);  // protecting authId 0: none
    // No path at all.
    ASSERT_EQ(0, app->CreatePinObject("Bez", 0x02, 6, 1, 0, 0, &pin, nullptr, 0, aodf));
    EXPECT_FALSE(pin->typeAttributes.wasPath);
    EXPECT_TRUE(aodf->IsDirty());
    EXPECT_EQ(4u, Pins(app).size());
}

TEST_F(Pkcs15Create, RefusalsAreCleanAndLeaveNothingBehind) {
    // No card.
    SCPkcs15App lone(nullptr, nullptr, nullptr);
    SCFileHeaderList h;
    EXPECT_EQ(SC_E_BAD_USAGE, lone.CreatePkcs15Structure("x", h));
    ASNPkcs15AuthObject* pin = reinterpret_cast<ASNPkcs15AuthObject*>(1);
    EXPECT_EQ(SC_E_BAD_USAGE, lone.CreatePinObject("x", 1, 1, 0, 0, 0, &pin, nullptr, 0, nullptr));

    SCPkcs15App* app = NewApp(Connect("blank-model3"));
    ASSERT_NE(nullptr, app);
    // A list that is not an AODF takes no PIN object.
    SCPkcs15ObjectList* cdf = app->FindDirectoryFile(SC_ODF_CDF);
    if (cdf) {
        pin = reinterpret_cast<ASNPkcs15AuthObject*>(1);
        EXPECT_EQ(SC_E_BAD_PARAMS, app->CreatePinObject("x", 1, 1, 0, 0, 0, &pin, nullptr, 0, cdf));
        EXPECT_EQ(nullptr, pin);
        EXPECT_TRUE(cdf->IsEmpty());
        EXPECT_FALSE(cdf->IsDirty());
    }
    // An application without a DIR record has no path.
    SCPkcs15App bare(m_card, nullptr, nullptr);
    EXPECT_LT(bare.CreatePkcs15Structure("x", m_profile), 0);
    EXPECT_EQ(0, bare.GetOdf().GetEntryCount());
}

TEST_F(Pkcs15Create, InjectedCardFailureWhileAllocatingAnAodfRemovesTheNewList) {
    m_card = Connect("blank-model3");
    ASSERT_NE(nullptr, m_card);
    m_p15.reset(new SCPkcs15Card(m_card));
    (void)m_p15->Load();
    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(3, &m_profile, -1));
    ASNPkcs15DIRRecord* rec = nullptr;
    ASSERT_EQ(0, m_p15->CreateApplicationRecord(&rec, "x", nullptr));
    SCPkcs15App app(m_card, m_p15.get(), rec);
    ASSERT_EQ(0, app.GetListForTag(SC_ODF_AODF)->GetCount());
    // Every command fails from here: the search for a free file identifier cannot complete.
    Inject(0x100, 0x6F00, 50);
    ASNPkcs15AuthObject* pin = reinterpret_cast<ASNPkcs15AuthObject*>(1);
    EXPECT_LT(app.CreatePinObject("x", 1, 1, 0, 0, 0, &pin, nullptr, 0, nullptr), 0);
    EXPECT_EQ(nullptr, pin);
    EXPECT_EQ(0, app.GetListForTag(SC_ODF_AODF)->GetCount());
}

}  // namespace

namespace {

TEST_F(Pkcs15Create, ModelFourProfileCapsLengthsAndPadsPins) {
    SCPkcs15App* app = NewApp(ConnectGenerated("b4", "blank --model 4"), 4);
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(0u, Writes());
    for (ASNPkcs15AuthObject* pin : Pins(app)) {
        EXPECT_LE(Int(pin->typeAttributes.maxLength), 64);
        EXPECT_EQ(Int(pin->typeAttributes.maxLength), Int(pin->typeAttributes.storedLength));
        EXPECT_NE(0u, pin->typeAttributes.pinFlags.getFlags() & SCPkcs15App::PINF_NEEDS_PADDING);
        EXPECT_TRUE(pin->typeAttributes.wasPadChar);
    }
}

}  // namespace
