// The PKCS#15 application against the card simulator's PKCS#15 card: loading,
// PIN verification, change and unblocking with the card's retry counters, the
// kept PINs, clearing the directory, and hostile directory files.
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "keys/pkcs3dh.h"
#include "lib/libasn/x509/x942dh.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_transactguard.h"
#include "support/vtest.h"
#include "tests/smartcard/card_fixture.h"

namespace {

const char kUserPin[] = "1234";

std::vector<uint8_t> KeyBytes(const SCFileHeaderList& h, int i) {
    const SCByteBuffer& b = h.GetKeySet()[i];
    return b.Data() ? std::vector<uint8_t>(b.Data(), b.Data() + b.Size()) : std::vector<uint8_t>();
}
const char kPuk[] = "12345678";
const char kSoPin[] = "87654321";

class Pkcs15App : public CardSim {
protected:
    void SetUp() override {
        CardSim::SetUp();
        SCPkcs15InstallAppServices();
        m_card = Connect("pkcs15-model3-puk");
        ASSERT_NE(nullptr, m_card);
        m_p15.reset(new SCPkcs15Card(m_card));
        ASSERT_EQ(0, m_p15->Load());
        ASSERT_EQ(1, m_p15->GetApplicationCount());
        m_app = m_p15->GetApplicationAt(0);
        ASSERT_NE(nullptr, m_app);
    }
    void TearDown() override {
        m_p15.reset();
        CardSim::TearDown();
    }
    ASNPkcs15AuthObject* Pin(int kind) {
        ASNPkcs15AuthObject* pin = nullptr;
        EXPECT_EQ(0, m_app->FindPinObject(kind, &pin));
        return pin;
    }
    void* PinHandle(int kind) { return SCPkcs15App::HandleOfPin(Pin(kind)); }
    ASNPkcs15AuthObject* Puk() {
        ASNPkcs15AuthObject* puk = nullptr;
        EXPECT_EQ(0, m_app->FindAuthObjectForObject(PinHandle(SCPkcs15App::PIN_USER), &puk, true));
        return puk;
    }
    // Tries left on the card (a status query without a value).
    SCRESULT TriesLeft(uint32_t ref) {
        SCTransactGuard guard(m_card);
        const uint16_t app[] = {0x3F00, 0x5015};
        if (m_card->SelectPath(app, 2) < 0) return -1;
        return m_card->VerifyPin(ref, nullptr, 0);
    }
    size_t CountCommands(const std::string& prefix) {
        size_t n = 0;
        for (const std::string& c : Commands())
            if (c.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // Replaces a file of the application (written under the SO PIN).
    void Overwrite(uint16_t fid, const std::vector<uint8_t>& bytes, size_t size = 512) {
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->SelectMf());
        ASSERT_EQ(0, m_card->VerifyPin(0x04, reinterpret_cast<const uint8_t*>(kSoPin), 8));
        const uint16_t app[] = {0x3F00, 0x5015};
        ASSERT_EQ(0, m_card->SelectPath(app, 2));
        const uint8_t user[8] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(0, m_card->VerifyPin(0x81, user, 8));
        const uint16_t path[] = {0x3F00, 0x5015, fid};
        ASSERT_EQ(0, m_card->SelectPath(path, 3));
        std::vector<uint8_t> padded(bytes);
        padded.resize(size, 0x00);
        ASSERT_EQ(0, m_card->UpdateBinaryFromStart(padded.data(), static_cast<uint32_t>(padded.size())));
    }

    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCPkcs15App* m_app = nullptr;
};

TEST_F(Pkcs15App, LoadReadsTokenInfoOdfAndBuildsOneListPerOdfEntry) {
    EXPECT_FALSE(m_app->IsLoaded());
    ASSERT_EQ(0, m_app->Load(false));
    EXPECT_TRUE(m_app->IsLoaded());
    EXPECT_TRUE(m_app->ArePathsFixed());
    SCPath full;
    ASSERT_TRUE(m_app->GetOdf().GetFullPathInto(full));
    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    EXPECT_TRUE(full.IsEqual(SCPath(odf, 3)));
    ASSERT_TRUE(m_app->GetTokenInfoFile().GetFullPathInto(full));
    const uint16_t ti[] = {0x3F00, 0x5015, 0x5032};
    EXPECT_TRUE(full.IsEqual(SCPath(ti, 3)));
    for (int tag : {0xA0, 0xA1, 0xA4, 0xA7, 0xA8}) EXPECT_EQ(1, m_app->GetListForTag(tag)->GetCount()) << tag;
    for (int tag : {0xA2, 0xA3, 0xA5, 0xA6}) EXPECT_EQ(0, m_app->GetListForTag(tag)->GetCount()) << tag;
    EXPECT_EQ(0x700u, m_app->FindDirectoryFile(0xA8)->GetKind());
    EXPECT_EQ(0x10100u, m_app->FindDirectoryFile(0xA0)->GetKind());
    EXPECT_EQ(nullptr, m_app->FindDirectoryFile(0xA9));
    // The user PIN guards every list but the AODF.
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ASSERT_NE(nullptr, user);
    for (int tag : {0xA0, 0xA1, 0xA4, 0xA7})
        EXPECT_EQ(SCPkcs15App::HandleOfPin(user), m_app->FindDirectoryFile(tag)->GetAuthHandle()) << tag;
    EXPECT_EQ(nullptr, m_app->FindDirectoryFile(0xA8)->GetAuthHandle());
    EXPECT_EQ(0x81, SCPkcs15App::GetPinReference(user));
    EXPECT_EQ(0x04, SCPkcs15App::GetPinReference(Pin(SCPkcs15App::PIN_SO)));
    EXPECT_EQ(0x82, SCPkcs15App::GetPinReference(Puk()));
    EXPECT_TRUE(m_app->HasSoPin());
    EXPECT_EQ(0x1000700, m_app->GetObjectKind(SCPkcs15App::HandleOfPin(user)));
    EXPECT_EQ(0x81, m_app->GetHeaderList().GetUserPinRef());
    EXPECT_EQ(0x04, m_app->GetHeaderList().GetSoPinRef());
    EXPECT_EQ(0x5015u, m_app->GetDirPathKey());

    // A second Load with the same card present reads nothing.
    ClearLog();
    EXPECT_EQ(0, m_app->Load(false));
    EXPECT_EQ(0u, CountCommands("00A4"));
}

TEST_F(Pkcs15App, SerialNumberAndLabelComeFromTokenInfo) {
    uint8_t sn[64] = {};
    int n = m_app->GetSerialNumber(sn, sizeof sn);  // loads first
    ASSERT_GT(n, 0);
    EXPECT_TRUE(m_app->IsLoaded());
    EXPECT_EQ(-n, m_app->GetSerialNumber(sn, 4));
    uint8_t again[64] = {};
    EXPECT_EQ(n, m_app->GetSerialNumber(again, n));
    EXPECT_EQ(0, std::memcmp(sn, again, static_cast<size_t>(n)));
    char label[64] = {};
    int l = m_app->GetTokenLabel(label, sizeof label);
    ASSERT_GT(l, 0);
    EXPECT_EQ(-l, m_app->GetTokenLabel(label, 2));
}

TEST_F(Pkcs15App, VerifyCountsWrongPinsBlocksAndUnblocksWithThePuk) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, "9999", true, nullptr));
    EXPECT_EQ(2, m_app->QueryPinStatus(user, nullptr));
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, "9998", false, nullptr));
    EXPECT_EQ(1, TriesLeft(0x81));
    // The third wrong PIN blocks it; the right one no longer helps.
    EXPECT_EQ(SC_E_PIN_BLOCKED, m_app->VerifyPin(user, "9997", false, nullptr));
    EXPECT_EQ(SC_E_PIN_BLOCKED, m_app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_FALSE(m_app->HasVerifiedPin(user));

    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->UnblockPin(user, "00000000", "5678"));
    EXPECT_EQ(4, TriesLeft(0x82));
    EXPECT_EQ(0, m_app->UnblockPin(user, kPuk, "5678"));
    EXPECT_EQ(3, TriesLeft(0x81));
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, kUserPin, false, nullptr));
    EXPECT_EQ(0, m_app->VerifyPin(user, "5678", true, nullptr));
    EXPECT_TRUE(m_app->HasVerifiedPin(user));
}

TEST_F(Pkcs15App, ChangePinNeedsTheOldValueAndUpdatesTheKeptCopy) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    ASSERT_EQ(0, m_app->LearnTryLimit(user));
    ASSERT_NE(nullptr, m_app->GetCurrentPin());
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->ChangePin(user, "0000", "4321"));
    // A refused old value that is not the kept one lowers nothing: the kept copy stays and
    // goes only at the card's whole count. The card shows a try spent: the login ends.
    EXPECT_STREQ(kUserPin, m_app->GetCurrentPin()->pin);
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, m_app->VerifyCachedPin(user, nullptr));
    EXPECT_EQ(nullptr, m_app->GetCurrentPin());
    EXPECT_EQ(2, TriesLeft(0x81));
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(0, m_app->ChangePin(user, kUserPin, "4321"));
    ASSERT_NE(nullptr, m_app->GetCurrentPin());
    EXPECT_STREQ("4321", m_app->GetCurrentPin()->pin);
    EXPECT_EQ(0, m_app->VerifyCachedPin(user, nullptr));
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, kUserPin, false, nullptr));
    EXPECT_EQ(0, m_app->VerifyPin(user, "4321", false, nullptr));
}

TEST_F(Pkcs15App, PinsLongerThanTheStoredLengthAreRefusedNotCut) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ClearLog();
    // Cut to eight characters this would be the PUK's value; it must never reach the card.
    EXPECT_EQ(SC_E_PIN_TOO_SHORT, m_app->VerifyPin(user, "123456789", true, nullptr));
    EXPECT_EQ(SC_E_PIN_TOO_SHORT, m_app->UnblockPin(user, "123456789", "1234"));
    EXPECT_EQ(SC_E_PIN_TOO_SHORT, m_app->UnblockPin(user, kPuk, "123456789"));
    EXPECT_EQ(SC_E_PIN_TOO_SHORT, m_app->ChangePin(user, kUserPin, "123456789"));
    EXPECT_EQ(0u, CountCommands("0020"));
    EXPECT_EQ(0u, CountCommands("0024"));
    EXPECT_EQ(0u, CountCommands("002C"));
    EXPECT_EQ(3, TriesLeft(0x81));
    // Exactly the stored length is fine.
    EXPECT_EQ(0, m_app->VerifyPin(Puk(), kPuk, false, nullptr));
}

TEST_F(Pkcs15App, KeptPinsFollowVerificationFailureAndLogout) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ASNPkcs15AuthObject* so = Pin(SCPkcs15App::PIN_SO);
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, m_app->VerifyCachedPin(user, nullptr));
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(SC_E_PKCS15_PIN_UNKNOWN, m_app->VerifyCachedPin(so, nullptr));
    SCPath df;
    EXPECT_EQ(0, m_app->VerifyCachedPin(user, &df));
    const uint16_t appDf[] = {0x3F00, 0x5015};
    EXPECT_TRUE(df.IsEqual(SCPath(appDf, 2)));
    // Not remembered: the SO PIN is not kept, the user PIN stays current.
    ASSERT_EQ(0, m_app->VerifyPin(so, kSoPin, false, nullptr));
    EXPECT_FALSE(m_app->HasVerifiedPin(so));
    EXPECT_EQ(1, m_app->GetVerifiedPinCount());
    // Another value of the current PIN refused leaves the kept one; the kept one refused
    // (another program changed the PIN) ends the login at once, even without remember.
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, "0000", false, nullptr));
    EXPECT_NE(nullptr, m_app->GetCurrentPin());
    {
        SCTransactGuard guard(m_card);
        const uint16_t app[] = {0x3F00, 0x5015};
        const uint8_t old[8] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
        const uint8_t now[8] = {'5', '6', '7', '8', 0xFF, 0xFF, 0xFF, 0xFF};
        ASSERT_EQ(0, m_card->SelectPath(app, 2));
        ASSERT_EQ(0, m_card->ChangePin(0x81, old, now, 8, 8));
        ASSERT_EQ(0, m_card->ResetPinState(0x81));
    }
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->VerifyPin(user, kUserPin, false, nullptr));
    EXPECT_EQ(nullptr, m_app->GetCurrentPin());
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, m_app->VerifyCachedPin(user, nullptr));
    EXPECT_EQ(2, TriesLeft(0x81));
    ASSERT_EQ(0, m_app->ChangePin(user, "5678", kUserPin));

    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    ASSERT_EQ(0, m_app->VerifyPin(so, kSoPin, true, nullptr));
    EXPECT_EQ(2, m_app->GetVerifiedPinCount());
    EXPECT_EQ(0, m_app->LogoutPin(nullptr, false));  // the current one: the SO PIN
    EXPECT_FALSE(m_app->HasVerifiedPin(so));
    EXPECT_TRUE(m_app->HasVerifiedPin(user));
    EXPECT_EQ(0, m_app->Logout(false));
    EXPECT_EQ(0, m_app->GetVerifiedPinCount());
    // The card forgot the verification too (the user PIN's state was reset by LogoutPin).
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(0, m_app->LogoutPin(user, false));
    EXPECT_EQ(3, TriesLeft(0x81));
}

TEST_F(Pkcs15App, HandlesThatAreNoPinObjectsAreRefused) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject stray(0x30);
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->VerifyPin(&stray, kUserPin, true, nullptr));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->ChangePin(&stray, kUserPin, "1111"));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->UnblockPin(&stray, kPuk, "1111"));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->LogoutPin(&stray, false));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->GetObjectKind(&stray));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->GetObjectKind(nullptr));
    EXPECT_FALSE(m_app->HasVerifiedPin(&stray));
    EXPECT_THROW(m_app->AddObjectList(0xA9), VtestException);
}

TEST_F(Pkcs15App, ClearForgetsEverythingAndAReloadGivesNewHandles) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    m_app->Clear(false);
    EXPECT_FALSE(m_app->IsLoaded());
    EXPECT_EQ(0, m_app->GetVerifiedPinCount());
    ASSERT_EQ(0, m_app->Load(false));
    EXPECT_TRUE(m_app->IsLoaded());
    ASNPkcs15AuthObject* again = Pin(SCPkcs15App::PIN_USER);
    EXPECT_EQ(0, m_app->VerifyPin(again, kUserPin, true, nullptr));
}

TEST_F(Pkcs15App, ClearPkcs15DirectoryDeletesTheDirectoryFilesAndTheApplicationDf) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_SO), kSoPin, true, nullptr));
    // This card deletes the application DF with its files and PIN objects at once.
    ClearLog();
    EXPECT_EQ(0, m_app->ClearPkcs15Directory());
    std::vector<std::string> deletes;
    for (const std::string& c : Commands())
        if (c.rfind("00E4", 0) == 0) deletes.push_back(c);
    EXPECT_EQ(std::vector<std::string>{"00E40000025015"}, deletes);
    const uint16_t df[] = {0x3F00, 0x5015};
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, m_card->SelectPath(df, 2));
    m_app->Clear(false);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, m_app->Load(true));
    EXPECT_FALSE(m_app->IsLoaded());
}

TEST_F(Pkcs15App, HostileAodfContentsLeaveTheApplicationUnloadedWithoutPins) {
    const std::vector<std::vector<uint8_t>> hostile = {
        {0x30, 0x82, 0xFF, 0xFF, 0x30, 0x00},                    // length far beyond the file
        {0x30, 0x03, 0x30, 0x01},                                // inner length beyond the outer
        {0x30, 0x06, 0x30, 0x00, 0x30, 0x00, 0xA1, 0x00},        // no type attributes content
        {0x30, 0x80, 0x30, 0x80, 0x30, 0x80, 0x00, 0x00},        // indefinite lengths
        {0x5F, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00},        // runaway tag number
        std::vector<uint8_t>(300, 0x30),                         // deep nesting of empty heads
    };
    for (const auto& bytes : hostile) {
        Overwrite(0x4401, bytes);
        m_app->Clear(false);
        EXPECT_EQ(0, m_app->Load(true));
        EXPECT_FALSE(m_app->IsLoaded());
        ASNPkcs15AuthObject* pin = nullptr;
        EXPECT_EQ(SC_E_PKCS15_PIN_NOT_FOUND, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
        EXPECT_EQ(nullptr, pin);
    }
}

TEST_F(Pkcs15App, UndecodableAodfRecordsAreKeptBesideTheGoodOnes) {
    // A record of another authentication type ([1] biometric, kept raw) after the PINs.
    std::vector<uint8_t> aodf;
    {
        ASSERT_EQ(0, m_app->Load(false));
        SCPkcs15ObjectList* list = m_app->FindDirectoryFile(0xA8);
        MemFile out;
        ASSERT_GT(list->Encode(&out), 0);
        aodf.assign(out.GetData(), out.GetData() + out.Size());
    }
    const uint8_t other[] = {0xA1, 0x03, 0x30, 0x01, 0x00};
    aodf.insert(aodf.end(), other, other + sizeof other);
    Overwrite(0x4401, aodf);
    m_app->Clear(false);
    ASSERT_EQ(0, m_app->Load(true));
    EXPECT_TRUE(m_app->IsLoaded());
    SCPkcs15ObjectList* list = m_app->FindDirectoryFile(0xA8);
    EXPECT_EQ(1, list->GetRawRecordCount());
    MemFile again;
    ASSERT_GT(list->Encode(&again), 0);
    ASSERT_EQ(static_cast<int64_t>(aodf.size()), again.Size());
    EXPECT_EQ(0, std::memcmp(aodf.data(), again.GetData(), aodf.size()));
}

TEST_F(Pkcs15App, FindObjectsChoosesListsByKindAndNeverReturnsPinsWithoutIt) {
    ASSERT_EQ(0, m_app->Load(false));
    std::vector<void*> found;
    // Without a kind: the private key, the public key, the certificate and the data object.
    SCPkcs15ObjectAttributeList none;
    EXPECT_EQ(4, m_app->FindObjects(&none, &found));
    ASSERT_EQ(4u, found.size());
    EXPECT_EQ(0x1010100, m_app->GetObjectKind(found[0]));
    EXPECT_EQ(0x1020100, m_app->GetObjectKind(found[1]));
    EXPECT_EQ(0x1000200, m_app->GetObjectKind(found[2]));
    EXPECT_EQ(0x1000600, m_app->GetObjectKind(found[3]));
    found.clear();
    SCPkcs15ObjectAttributeList auth;
    auth.AddInteger(1, 0x700);
    EXPECT_EQ(3, m_app->FindObjects(&auth, &found));
    ASSERT_EQ(3u, found.size());
    for (const auto& kc : std::vector<std::pair<uint32_t, int>>{{0x100, 2},
                                                                {0x10100, 1},
                                                                {0x1010100, 1},
                                                                {0x2010100, 0},
                                                                {0x20100, 1},
                                                                {0x1000100, 2},
                                                                {0x30100, 0},
                                                                {0x200, 1},
                                                                {0x600, 1}}) {
        SCPkcs15ObjectAttributeList byKind;
        byKind.AddInteger(1, kc.first);
        EXPECT_EQ(kc.second, m_app->FindObjects(&byKind, nullptr)) << std::hex << kc.first;
    }
    EXPECT_EQ(PinHandle(SCPkcs15App::PIN_USER), found[0]);
    EXPECT_EQ(SCPkcs15App::HandleOfPin(Puk()), found[1]);
    EXPECT_EQ(PinHandle(SCPkcs15App::PIN_SO), found[2]);
    SCPkcs15ObjectAttributeList pinKind;
    pinKind.AddInteger(1, 0x1000700);
    EXPECT_EQ(3, m_app->FindObjects(&pinKind, nullptr));
    SCPkcs15ObjectAttributeList bad;
    bad.AddInteger(1, 0x40100);
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, m_app->FindObjects(&bad, &found));
    void* first = nullptr;
    EXPECT_EQ(0, m_app->FindFirstObject(0xA8, &auth, &first));
    EXPECT_EQ(found[0], first);
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, m_app->FindFirstObject(0xA2, &auth, &first));

    SCPkcs15ObjectAttributeList attrs;
    SCPkcs15ObjectAttribute* kind = attrs.AddAttribute(1);
    SCPkcs15ObjectAttribute* other = attrs.AddAttribute(3);
    // A PIN object reports its object flags like every other object: none set, all known.
    EXPECT_EQ(0, m_app->GetAttributeValues(found[0], &attrs));
    uint32_t k = 0;
    ASSERT_TRUE(kind->GetInteger(&k));
    EXPECT_EQ(0x1000700u, k);
    EXPECT_EQ(0, kind->GetResult());
    EXPECT_EQ(0, other->GetResult());
    uint32_t flags = 1, mask = 0;
    ASSERT_TRUE(other->GetFlags(&flags, &mask));
    EXPECT_EQ(0u, flags);
    EXPECT_NE(0u, mask);
}

TEST_F(Pkcs15App, KeyOperationsAndWritesRefuseWhatIsNoKeyOrNotWritable) {
    ASSERT_EQ(0, m_app->Load(false));
    void* pin = PinHandle(SCPkcs15App::PIN_USER);
    uint8_t out[256];
    uint32_t outLen = sizeof out;
    const uint8_t in[20] = {};
    EXPECT_EQ(SC_E_PKCS15_WRONG_HANDLE_TYPE, m_app->Sign(pin, 1, 0, in, sizeof in, out, &outLen));
    EXPECT_EQ(SC_E_PKCS15_WRONG_HANDLE_TYPE, m_app->Decrypt(pin, 1, in, sizeof in, out, &outLen));
    int stray = 0;
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->Sign(&stray, 1, 0, in, sizeof in, out, &outLen));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->SetAttributeValues(&stray, nullptr));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->DestroyObject(&stray, true));
    SCPkcs15ObjectAttributeList attrs;
    attrs.AddInteger(1, 0x1000700);
    if (!m_app->IsWritable()) {
        EXPECT_EQ(SC_E_WRITE_PROTECTED, m_app->SetAttributeValues(pin, &attrs));
        EXPECT_EQ(SC_E_WRITE_PROTECTED, m_app->DestroyObject(pin, false));
    }
    EXPECT_EQ(0x1010100u, m_app->GetDefaultKeyKind(0x10100));
    EXPECT_EQ(0x1020100u, m_app->GetDefaultKeyKind(0x20100));
    EXPECT_EQ(0u, m_app->GetDefaultKeyKind(0x200));
}

TEST_F(Pkcs15App, PathsInUseAndFreeKeyReferences) {
    ASSERT_EQ(0, m_app->Load(false));
    const uint16_t aodf[] = {0x3F00, 0x5015, 0x4401};
    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    const uint16_t ti[] = {0x3F00, 0x5015, 0x5032};
    const uint16_t fresh[] = {0x3F00, 0x5015, 0x4B07};
    EXPECT_TRUE(m_app->IsPathUsed(aodf, 3, 0x100, nullptr));
    EXPECT_FALSE(m_app->IsPathUsed(aodf, 3, 0xFF, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(odf, 3, 0x2000, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(ti, 3, 0x1000, nullptr));
    EXPECT_FALSE(m_app->IsPathUsed(fresh, 3, 0x31FF, nullptr));
    EXPECT_THROW(m_app->IsPathUsed(fresh + 1, 2, 0x31FF, nullptr), VtestException);
    // Model-3 cards give references 1..30.
    EXPECT_EQ(SC_E_BAD_PARAMS, m_app->FindFreeKeyReference(fresh, 3, 31, false, nullptr));
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE, m_app->FindFreeKeyReference(odf, 3, 1, false, nullptr));
    EXPECT_EQ(5, m_app->FindFreeKeyReference(fresh, 3, 5, true, nullptr));
    const uint16_t prkdf[] = {0x3F00, 0x5015, 0x4402};
    EXPECT_TRUE(m_app->IsKeyReferenceUsed(3, prkdf, 3, 0xF, nullptr));
    EXPECT_TRUE(m_app->IsKeyReferenceUsed(0, odf, 3, 0, nullptr));

    SCPathList dirs;
    ASSERT_EQ(0, m_app->GetDirectoryPaths(&dirs, 0, true));
    EXPECT_EQ(5u, dirs.Count());
    ASSERT_EQ(0, m_app->GetDirectoryPaths(&dirs, 0x700, true));
    ASSERT_EQ(1u, dirs.Count());
    EXPECT_TRUE(dirs.At(0).IsEqual(SCPath(aodf, 3)));
    SCPathList objPaths;
    ASSERT_EQ(0, m_app->GetObjectPaths(PinHandle(SCPkcs15App::PIN_USER), &objPaths));
    EXPECT_EQ(1u, objPaths.Count());
}

TEST_F(Pkcs15App, TokenLabelAndSerialNumberCanBeSet) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->SetTokenLabel("New label", ~0u));
    char label[32] = {};
    ASSERT_EQ(9, m_app->GetTokenLabel(label, sizeof label));
    EXPECT_EQ(0, std::memcmp("New label", label, 9));
    EXPECT_TRUE(m_app->GetTokenInfoFile().IsDirty());
    ASSERT_EQ(1, m_p15->GetCardDir().DirRecords().GetCount());
    EXPECT_TRUE(m_p15->GetCardDir().DirRecords().GetHead()->label.isEqual("New label"));
    ASSERT_EQ(0, m_app->SetTokenLabel(nullptr, 0));
    EXPECT_EQ(0, m_app->GetTokenLabel(label, sizeof label));
    ASSERT_EQ(0, m_app->SetSerialNumber("0011223344556677", ~0u));
    uint8_t sn[4];
    EXPECT_EQ(-16, m_app->GetSerialNumber(sn, sizeof sn));
    ASSERT_EQ(0, m_app->SetSerialNumber(nullptr, 0));
    EXPECT_EQ(0, m_app->GetSerialNumber(sn, sizeof sn));
}

TEST_F(Pkcs15App, AWriteThatMeetsAccessDeniedVerifiesTheKeptPinOnce) {
    ASSERT_EQ(0, m_app->Load(false));
    SCPkcs15ObjectList* prkdf = m_app->FindDirectoryFile(0xA0);
    ASSERT_EQ(0, prkdf->Load(true));
    // The whole file, filler included, so that the file keeps its size.
    MemFile enc;
    ASSERT_GT(prkdf->Encode(&enc), 0);
    std::vector<uint8_t> file(enc.GetData(), enc.GetData() + enc.Size());
    file.resize(1024, 0x00);
    const uint32_t n = static_cast<uint32_t>(file.size());
    // Octets the card does not hold yet (filler): only a change is written.
    file[n - 1] = 0xFF;
    // Without a kept PIN the card's refusal stands.
    EXPECT_EQ(SC_E_ACCESS_DENIED, prkdf->Write(file.data(), n, nullptr));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    ASSERT_EQ(0, m_app->LearnTryLimit(Pin(SCPkcs15App::PIN_USER)));
    {
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->ResetPinState(0x81));
    }
    ClearLog();
    EXPECT_EQ(0, prkdf->Write(file.data(), n, nullptr)) << Log();
    EXPECT_EQ(1u, CountCommands("0020008108"));
    // With a wrong kept PIN the write fails and the login ends.
    ASSERT_EQ(0, m_app->LogoutPin(nullptr, false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    ASSERT_EQ(0, m_app->LearnTryLimit(Pin(SCPkcs15App::PIN_USER)));
    ASSERT_EQ(0, m_app->ChangePin(Pin(SCPkcs15App::PIN_USER), kUserPin, "4321"));
    const_cast<SCPkcs15App::VerifiedPin*>(m_app->GetCurrentPin())->Set("0000", -1);
    {
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->ResetPinState(0x81));
    }
    file[n - 1] = 0x00;
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, prkdf->Write(file.data(), n, nullptr));
    EXPECT_EQ(nullptr, m_app->GetCurrentPin());
    EXPECT_EQ(2, TriesLeft(0x81));
    // The login that kept it ended.
    std::vector<SCCard::PinAt> ended;
    EXPECT_TRUE(m_app->TakeLoginEnded(&ended));
}

TEST_F(Pkcs15App, ProfileRecordsOfTokenInfoComeBackIntoTheHeaderList) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15TokenInfo& ti = m_app->GetTokenInfoFile().Contents();
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.1.1", 3, false));
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.3.1", 0x21, false));
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.4.1", 0x22, false));
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.4.5", 0x44, false));
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.5.3.1", 0x91, false));
    SCFileHeaderList h;
    m_app->ReadProfileRecords(&h);
    EXPECT_EQ(3, h.GetSeNumber());
    // The officer key it names is dropped: the TokenInfo file grants nothing under key 0x21.
    EXPECT_EQ(255, h.GetRef(6));
    EXPECT_EQ(0x22, h.GetRef(12));
    EXPECT_EQ(0x44, h.GetRef(19));
    EXPECT_EQ(0x91, h.GetLocalPinRef());
    EXPECT_EQ(0x81, h.GetRef(1));
    EXPECT_EQ(0x04, h.GetRef(0));
    // An X9.42-form entry takes precedence over the PKCS#3 one for the local PIN.
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.5.1.1", 0x92, false));
    m_app->ReadProfileRecords(&h);
    EXPECT_EQ(0x92, h.GetLocalPinRef());
}

TEST_F(Pkcs15App, SetPinOnAnInitialisedPinWithoutAuthorisingPinIsRefused) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    SCPinParams record;
    SCPath df;
    EXPECT_EQ(SC_E_PIN_ALREADY_INITIALIZED, m_app->SetPin(user, nullptr, "5555", &record, &df));
    // The record was filled from the PIN attributes: padded to the stored length with FF.
    EXPECT_EQ(4u, record.minLen);
    EXPECT_EQ(8u, record.maxLen);
    EXPECT_EQ(0xFFu, record.padChar);
    EXPECT_TRUE(record.flags & SC_PINREC_PADDED);
    EXPECT_EQ(0x82u, record.unblockRef);
    EXPECT_EQ(0u, record.flags & SC_PINREC_CHECK_ONLY);
    const uint16_t appDf[] = {0x3F00, 0x5015};
    EXPECT_TRUE(df.IsEqual(SCPath(appDf, 2)));
    // Nothing changed on the card.
    EXPECT_EQ(0, m_app->VerifyPin(user, kUserPin, false, nullptr));
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->SetPin(reinterpret_cast<ASNPkcs15AuthObject*>(&record), nullptr,
                                                        "5555", nullptr, nullptr));
    uint16_t cond = 0;
    EXPECT_FALSE(m_app->IsWritableWithUserPin(m_app->FindDirectoryFile(0xA8), &cond));
    EXPECT_EQ(0xC081, cond);
    EXPECT_TRUE(m_app->IsWritableWithUserPin(m_app->FindDirectoryFile(0xA0), &cond));
    bool needsPin = false, so = false;
    m_app->CheckSoPinAccess(m_app->FindDirectoryFile(0xA0), &needsPin, &so);
    EXPECT_TRUE(needsPin);
    EXPECT_FALSE(so);
}

TEST_F(Pkcs15App, InitializeTokenOverAnExistingStructureKeepsItsContents) {
    ASSERT_EQ(0, m_app->Load(false));
    SCPinParams userRecord, soRecord;
    ClearLog();
    EXPECT_EQ(0, m_app->InitializeToken(kUserPin, &userRecord, kSoPin, &soRecord)) << Log();
    // Every file is as it was: none is deleted or made again, nothing is written.
    EXPECT_EQ(0u, CountCommands("00E4"));
    EXPECT_EQ(0u, CountCommands("00E0"));
    EXPECT_EQ(0u, CountCommands("00D6"));
    m_app->Clear(false);
    ASSERT_EQ(0, m_app->Load(true));
    EXPECT_TRUE(m_app->IsLoaded());
    for (int tag : {0xA0, 0xA1, 0xA4, 0xA7}) {
        SCPkcs15ObjectList* list = m_app->FindDirectoryFile(tag);
        ASSERT_EQ(0, list->Load(true));
        EXPECT_EQ(1, list->GetRecordCount()) << std::hex << tag;
    }
    EXPECT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, false, nullptr));
    // A wrong SO PIN ends the initialisation before any file is written.
    m_app->Logout(true);
    ClearLog();
    SCPinParams again;
    EXPECT_EQ(SC_E_VERIFY_FAILED, m_app->InitializeToken(kUserPin, &userRecord, "11111111", &again));
    EXPECT_EQ(0u, CountCommands("00D6"));
}

TEST_F(Pkcs15App, KeySetComesFromSupportedAlgorithms) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15TokenInfo& ti = m_app->GetTokenInfoFile().Contents();
    auto addPkcs3 = [&](long privateBits) {
        Pkcs3DHParameter dh(0x30);
        ASSERT_TRUE(dh.prime.setHex("00C7F1"));
        ASSERT_TRUE(dh.base.setHex("02"));
        if (privateBits >= 0) {
            dh.privateValueLength.setValue(static_cast<uint32_t>(privateBits));
            dh.wasPrivateValueLength = 1;
        }
        ASNPkcs15AlgorithmInfo* a = new ASNPkcs15AlgorithmInfo(0x30);
        ASSERT_EQ(1, a->set(1, 33, dh, 0, nullptr, -1));
        ti.supportedAlgorithms.AddTail(a);
        ti.wasSupportedAlgorithms = 1;
    };
    addPkcs3(-1);
    SCFileHeaderList h;
    // Without the matching seInfo entry the entry is passed over.
    m_app->ReadProfileRecords(&h);
    EXPECT_FALSE(h.IsKeySetValid());
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.5.3.1", 0x91, false));
    m_app->ReadProfileRecords(&h);
    ASSERT_TRUE(h.IsKeySetValid());
    EXPECT_EQ(0x91, h.GetLocalPinRef());
    EXPECT_EQ(std::vector<uint8_t>({0xC7, 0xF1}), KeyBytes(h, 0));
    EXPECT_EQ(std::vector<uint8_t>(20, 0xFF), KeyBytes(h, 1));

    // Only the first PKCS#3 entry that gives a valid key set counts.
    ti.supportedAlgorithms.DeleteAll();
    addPkcs3(1023);
    addPkcs3(-1);
    m_app->ReadProfileRecords(&h);
    ASSERT_EQ(128u, KeyBytes(h, 1).size());
    EXPECT_EQ(0x7F, KeyBytes(h, 1)[0]);
    EXPECT_EQ(0xFF, KeyBytes(h, 1)[127]);

    // A later X9.42 entry with its reference decides.
    X942DomainParameters dp(0x30);
    ASSERT_TRUE(dp.p.setHex("00E3"));
    ASSERT_TRUE(dp.g.setHex("05"));
    ASSERT_TRUE(dp.q.setHex("71"));
    ASNPkcs15AlgorithmInfo* x = new ASNPkcs15AlgorithmInfo(0x30);
    ASSERT_EQ(1, x->set(2, 49, dp, 0, nullptr, 0x93));
    ti.supportedAlgorithms.AddTail(x);
    m_app->ReadProfileRecords(&h);
    EXPECT_EQ(0x91, h.GetLocalPinRef());  // no X9.42 seInfo entry yet
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.5.1.1", 0x92, false));
    m_app->ReadProfileRecords(&h);
    EXPECT_EQ(0x93, h.GetLocalPinRef());
    EXPECT_EQ(std::vector<uint8_t>({0xE3}), KeyBytes(h, 0));
    EXPECT_EQ(std::vector<uint8_t>({0x71}), KeyBytes(h, 1));
    EXPECT_EQ(std::vector<uint8_t>({0x05}), KeyBytes(h, 2));
}

TEST_F(Pkcs15App, DeletePinObjectsKeepsWhatTheCardRefusesToDelete) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    // The card refuses to delete the key: its record stays. The other objects go, each
    // record first; the directory files stay, and the officer's PIN directory as it was.
    Inject(0xE4, 0x6581);
    EXPECT_EQ(0, m_app->DeletePinObjects(Pin(SCPkcs15App::PIN_USER), true));
    const uint16_t prkdf[] = {0x3F00, 0x5015, 0x4402};
    EXPECT_EQ(0, m_card->SelectPath(prkdf, 3));
    EXPECT_EQ(1, m_app->FindDirectoryFile(0xA0)->GetRecordCount());
    EXPECT_EQ(0, m_app->FindDirectoryFile(0xA4)->GetRecordCount());
    EXPECT_EQ(3, static_cast<SCPkcs15AuthObjectList*>(m_app->FindDirectoryFile(0xA8))->Records().GetCount());
    int stray = 0;
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->DeletePinObjects(reinterpret_cast<ASNPkcs15AuthObject*>(&stray), false));
}

TEST_F(Pkcs15App, AnOdfThatNamesOneTagTwiceGivesTwoListsInOdfOrder) {
    // PrKDF, CDF 4404, CDF 4405 (the DODF's file), AODF.
    const std::vector<uint8_t> odf = {0xA0, 0x06, 0x30, 0x04, 0x04, 0x02, 0x44, 0x02,
                                      0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x44, 0x04,
                                      0xA4, 0x06, 0x30, 0x04, 0x04, 0x02, 0x44, 0x05,
                                      0xA8, 0x06, 0x30, 0x04, 0x04, 0x02, 0x44, 0x01};
    Overwrite(0x5031, odf, 256);
    ASSERT_EQ(0, m_app->Load(true));
    EXPECT_TRUE(m_app->IsLoaded());
    const auto* cdfs = m_app->GetListForTag(0xA4);
    ASSERT_EQ(2, cdfs->GetCount());
    EXPECT_EQ(0x4404, cdfs->GetHead()->GetPath()[0]);
    EXPECT_EQ(0x4405, cdfs->GetTail()->GetPath()[0]);
    EXPECT_EQ(0, m_app->GetListForTag(0xA7)->GetCount());
    EXPECT_EQ(0, m_app->GetListForTag(0xA1)->GetCount());
}

TEST_F(Pkcs15App, AnApplicationWithoutUserPinLoadsItsTokenInfoButStaysUnloaded) {
    // Only the officer's PIN object is left in the AODF.
    ASSERT_EQ(0, m_app->Load(false));
    auto* aodf = static_cast<SCPkcs15AuthObjectList*>(m_app->FindDirectoryFile(0xA8));
    MemFile so;
    ASSERT_GT(SCPkcs15PathObjectInfo::EncodeAsn(*aodf->Records().GetTail(), &so), 0);
    Overwrite(0x4401, std::vector<uint8_t>(so.GetData(), so.GetData() + so.Size()));
    m_app->Clear(false);
    EXPECT_EQ(0, m_app->Load(true));
    EXPECT_FALSE(m_app->IsLoaded());
    EXPECT_TRUE(m_app->ArePathsFixed());
    uint8_t sn[64];
    EXPECT_GT(m_app->GetSerialNumber(sn, sizeof sn), 0);
    EXPECT_EQ(SC_E_PKCS15_PIN_NOT_FOUND, m_app->BuildObjectLists());
}

TEST_F(Pkcs15App, ReadOnlyTokenInfoLeavesTheApplicationNotWritable) {
    ASSERT_EQ(0, m_app->Load(false));
    EXPECT_TRUE(m_app->IsWritable());  // a known profile
    ASNPkcs15TokenInfo ti(m_app->GetTokenInfoFile().Contents());
    ASSERT_TRUE(ti.setTokenFlags(1));
    MemFile enc;
    ASSERT_GT(SCPkcs15PathObjectInfo::EncodeAsn(ti, &enc), 0);
    Overwrite(0x5032, std::vector<uint8_t>(enc.GetData(), enc.GetData() + enc.Size()), 256);
    m_app->Clear(false);
    ASSERT_EQ(0, m_app->Load(true));
    EXPECT_TRUE(m_app->IsLoaded());
    EXPECT_FALSE(m_app->IsWritable());
    SCPkcs15ObjectAttributeList attrs;
    attrs.AddInteger(1, 0x1000700);
    EXPECT_EQ(SC_E_WRITE_PROTECTED, m_app->SetAttributeValues(PinHandle(SCPkcs15App::PIN_USER), &attrs));
}

TEST_F(Pkcs15App, PathsOfTheDirRecordReplaceTheDefaultsUnlessEmpty) {
    ASNPkcs15DIRRecord rec(*m_app->GetDirRecord());
    ASSERT_TRUE(rec.wasDdo);
    const uint16_t ti[] = {0x5032};
    ASSERT_EQ(1, rec.ddo.tokenInfoPath.setPath(ti, 1));
    rec.ddo.wasTokenInfoPath = 1;
    ASSERT_EQ(1, rec.ddo.odfPath.setPath(nullptr, 0));
    rec.ddo.wasOdfPath = 1;
    SCPkcs15App app(m_card, nullptr, &rec);
    ASSERT_EQ(0, app.Load(false));
    EXPECT_TRUE(app.IsLoaded());
    EXPECT_EQ(0x5031, app.GetOdf().GetPath()[0]);
    EXPECT_EQ(0x5032, app.GetTokenInfoFile().GetPath()[0]);
    // A TokenInfo path that names no file fails the load.
    const uint16_t missing[] = {0x5039};
    ASSERT_EQ(1, rec.ddo.tokenInfoPath.setPath(missing, 1));
    SCPkcs15App broken(m_card, nullptr, &rec);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, broken.Load(false));
    EXPECT_FALSE(broken.IsLoaded());
}

TEST_F(Pkcs15App, HostilePinAttributesGiveCleanErrorsWithoutCardCommands) {
    ASSERT_EQ(0, m_app->Load(false));
    auto* aodf = static_cast<SCPkcs15AuthObjectList*>(m_app->FindDirectoryFile(0xA8));
    ASNPkcs15AuthObject pin(*aodf->Records().GetHead());
    pin.typeAttributes.storedLength.setValue(100000);  // padded to 100000 bytes?
    ASNPkcs15AuthObject odd(*aodf->Records().GetHead());
    const uint8_t oddPath[] = {0x3F, 0x00, 0x50};    // odd number of path octets
    odd.typeAttributes.path.path.set(oddPath, sizeof oddPath);
    MemFile enc;
    ASSERT_GT(SCPkcs15PathObjectInfo::EncodeAsn(pin, &enc), 0);
    ASSERT_GT(SCPkcs15PathObjectInfo::EncodeAsn(odd, &enc), 0);
    Overwrite(0x4401, std::vector<uint8_t>(enc.GetData(), enc.GetData() + enc.Size()));
    m_app->Clear(false);
    ASSERT_EQ(0, m_app->Load(true));
    auto& recs = static_cast<SCPkcs15AuthObjectList*>(m_app->FindDirectoryFile(0xA8))->Records();
    // The record whose path cannot be a path is kept raw.
    ASSERT_EQ(1, recs.GetCount());
    EXPECT_EQ(1, m_app->FindDirectoryFile(0xA8)->GetRawRecordCount());
    ClearLog();
    EXPECT_EQ(SC_E_INVALID_DATA_VALUE, m_app->VerifyPin(recs.GetHead(), kUserPin, true, nullptr));
    EXPECT_EQ(SC_E_INVALID_DATA_VALUE, m_app->ChangePin(recs.GetHead(), kUserPin, "4321"));
    EXPECT_EQ(0u, CountCommands("0020"));
    EXPECT_EQ(0u, CountCommands("0024"));
}

TEST_F(Pkcs15App, LogoutWithResetMakesTheNextLoadReadTheCardAgain) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    EXPECT_EQ(0, m_app->Logout(true));
    EXPECT_EQ(0, m_app->GetVerifiedPinCount());
    EXPECT_EQ(3, TriesLeft(0x81));  // not verified any more
    const SCRESULT state = m_app->Load(false);
    if (state != 0) {
        // The reset is reported once and drops the loaded state; the next load reads again.
        EXPECT_FALSE(m_app->IsLoaded());
        EXPECT_EQ(0, m_app->Load(false));
    }
    EXPECT_TRUE(m_app->IsLoaded());
}

TEST_F(Pkcs15App, FullClearForgetsTheDirRecordAndEveryList) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    EXPECT_EQ(m_p15->GetCardDir().DirRecords().GetHead(), m_app->GetSourceDirRecord());
    m_app->Clear(true);
    EXPECT_EQ(nullptr, m_app->GetDirRecord());
    EXPECT_EQ(nullptr, m_app->GetOwner());
    EXPECT_EQ(0, m_app->GetVerifiedPinCount());
    for (int tag = 0xA0; tag <= 0xA8; ++tag) EXPECT_EQ(0, m_app->GetListForTag(tag)->GetCount());
    EXPECT_FALSE(m_app->GetTokenInfoFile().Contents().wasLabel);
    EXPECT_EQ(SC_E_BAD_USAGE, m_app->Load(false));
    ASNPkcs15AuthObject* pin = nullptr;
    EXPECT_EQ(SC_E_PKCS15_PIN_NOT_FOUND, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
}

TEST(Pkcs15AppNoCard, WithoutCardOrDirRecordNothingLoads) {
    SCPkcs15App empty(nullptr, nullptr, nullptr);
    EXPECT_EQ(SC_E_BAD_USAGE, empty.Load(false));
    EXPECT_EQ(SC_E_BAD_USAGE, empty.ClearPkcs15Directory());
    EXPECT_EQ(SC_E_CARD_NOT_CONNECTED, empty.BuildObjectLists());
    SCPath p;
    EXPECT_EQ(SC_E_BAD_USAGE, empty.BuildAbsolutePath(&p));
    EXPECT_EQ(0u, empty.GetDirPathKey());
    EXPECT_EQ(0, empty.GetTokenLabel(nullptr, 0));
    EXPECT_FALSE(empty.IsKnownProfile());

    // A record without a path is no supported profile on a card other than type 7.
    ASNPkcs15DIRRecord noPath;
    const uint8_t aid[] = {0xA0, 0x00, 0x00, 0x00, 0x63};
    ASSERT_TRUE(noPath.set(nullptr, 0, "x", aid, sizeof aid));
    SCPkcs15App app(nullptr, nullptr, &noPath);
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_PROFILE, app.BuildAbsolutePath(&p));

    // A path of one identifier is not an application DF.
    ASNPkcs15DIRRecord shortPath;
    const uint16_t mf[] = {0x3F00};
    ASSERT_TRUE(shortPath.set(mf, 1, "x", aid, sizeof aid));
    SCPkcs15App app2(nullptr, nullptr, &shortPath);
    EXPECT_EQ(SC_E_BAD_USAGE, app2.BuildAbsolutePath(&p));

    const uint16_t deep[] = {0x3F00, 0x5015, 0x4401};
    ASSERT_TRUE(shortPath.set(deep, 3, "x", aid, sizeof aid));
    SCPkcs15App app3(nullptr, nullptr, &shortPath);
    EXPECT_EQ(0x5015u | (0x4401u << 16), app3.GetDirPathKey());
}

TEST(Pkcs15AppNoCard, VerifiedPinCopiesAreWipedAndReplaced) {
    SCPkcs15App::VerifiedPin v;
    ASSERT_TRUE(v.Set("1234", -1));
    EXPECT_STREQ("1234", v.pin);
    EXPECT_EQ(-1, v.length);
    ASSERT_TRUE(v.Set("12345678", 4));
    EXPECT_STREQ("1234", v.pin);
    EXPECT_EQ(4, v.length);
    ASSERT_TRUE(v.Set(nullptr, 0));
    EXPECT_EQ(nullptr, v.pin);
}

}  // namespace

TEST(Pkcs15AppProfiles, TemplatesOfTheCardProfiles) {
    SCFileHeaderList h;
    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(4, &h, -1));
    const int neg[20] = {1, 2, 3, 17, 18, 19, 16, 16, 15, 15, 16, 17, 31, 30, 29, 14, 12, 13, 28, 11};
    for (int i = 0; i < 20; ++i) EXPECT_EQ(neg[i], h.GetRef(i)) << i;
    EXPECT_EQ(0, h.GetSeNumber());

    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(4, &h, 2));
    EXPECT_EQ(6, h.GetRef(1));
    EXPECT_EQ(22, h.GetRef(4));
    EXPECT_EQ(23, h.GetRef(13));
    EXPECT_EQ(23, h.GetRef(15));
    EXPECT_EQ(7, h.GetRef(18));
    EXPECT_EQ(11, h.GetRef(19));
    EXPECT_EQ(0, SCPkcs15App::GetProfileSecurityTemplate(4, &h, 5));

    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(7, &h, 1));
    EXPECT_EQ(4, h.GetRef(1));
    EXPECT_EQ(20, h.GetRef(4));
    EXPECT_EQ(20, h.GetRef(14));
    EXPECT_EQ(5, h.GetRef(18));
    ASSERT_EQ(4u, h.GetHeaderCount());
    EXPECT_EQ(30u, h.GetHeader(3).size());
    EXPECT_EQ(0x07, h.GetHeader(3)[2]);
    EXPECT_EQ(0x06, h.GetHeader(3)[29]);

    EXPECT_EQ(0, SCPkcs15App::GetProfileSecurityTemplate(3, &h, 0));
    EXPECT_EQ(0x82, h.GetRef(2));
    EXPECT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(3, &h, -1));
    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(1, &h, 0));
    EXPECT_EQ(0x81, h.GetRef(1));
    EXPECT_EQ(4, h.GetRef(9));
    EXPECT_EQ(0, SCPkcs15App::GetProfileSecurityTemplate(2, &h, 0));
    EXPECT_EQ(255, h.GetRef(0));
}

TEST(Pkcs15AppProfiles, SecurityEnvironmentEntriesAreFoundOrAppended) {
    ASNPkcs15TokenInfo ti;
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.4.1", 5, false));
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.4.1", 6, false));
    EXPECT_EQ(1, ti.seInfo.GetCount());
    EXPECT_EQ(6, ti.seInfo.GetHead()->se.getLong());
    ASSERT_EQ(1, SCPkcs15App::SetSecurityEnvironment(&ti, "1.3.6.1.4.1.32473.2.9.4.1", 7, true));
    EXPECT_EQ(2, ti.seInfo.GetCount());
    EXPECT_TRUE(ti.wasSeInfo);
    EXPECT_EQ(0, SCPkcs15App::SetSecurityEnvironment(&ti, nullptr, 1, false));
    EXPECT_EQ(0, SCPkcs15App::SetSecurityEnvironment(nullptr, "1.2", 1, false));
}

TEST(Pkcs15AppProfiles, LocalPinRecordsNeedAValidKeySet) {
    SCPkcs15App app(nullptr, nullptr, nullptr);
    SCFileHeaderList h;
    h.SetLocalPinRef(0x91);
    const uint8_t one[] = {1, 2, 3};
    const uint8_t zero[] = {0, 0};
    h.SetKeySet(one, sizeof one, zero, sizeof zero, one, sizeof one);
    ASNPkcs15TokenInfo ti;
    EXPECT_EQ(1, app.WriteProfileRecords(&ti, h));
    EXPECT_EQ(0, ti.seInfo.GetCount());
    EXPECT_FALSE(ti.wasSeInfo);
    ASSERT_TRUE(h.SetKeySet(nullptr, 0, one, sizeof one, nullptr, 0));
    EXPECT_EQ(1, app.WriteProfileRecords(&ti, h));
    ASSERT_EQ(2, ti.seInfo.GetCount());
    EXPECT_TRUE(ti.seInfo.GetHead()->owner.isEqual("1.3.6.1.4.1.32473.2.9.5.1.1"));
    EXPECT_TRUE(ti.seInfo.GetTail()->owner.isEqual("1.3.6.1.4.1.32473.2.9.5.3.1"));
    EXPECT_EQ(0x91, ti.seInfo.GetTail()->se.getLong());
}

// The same application on a card of another model, made by the simulator's generator.
class Pkcs15AppModel : public CardSim {
protected:
    void TearDown() override {
        m_p15.reset();
        CardSim::TearDown();
    }
    // The generated card; edit may change each line of its image before it is inserted.
    SCPkcs15App* Open(int model, const std::function<std::string(const std::string&)>& edit = nullptr) {
        SCPkcs15InstallAppServices();
        const std::string name = "pkcs15-model" + std::to_string(model) + "-gen" + std::to_string(m_opened++);
        const std::string path = ImagePath(name);
        const std::string cmd = "/usr/bin/python3 " MIRTAL_SOURCE_DIR "/tools/cardsim/cardgen.py pkcs15 '" + path +
                                "' --model " + std::to_string(model) + " >/dev/null";
        if (std::system(cmd.c_str()) != 0) return nullptr;
        if (edit) {
            std::istringstream in(ImageBytes(name));
            std::string out;
            for (std::string line; std::getline(in, line);) out += edit(line) + "\n";
            std::ofstream(path, std::ios::binary | std::ios::trunc) << out;
        }
        void* lib = dlopen(CARDSIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!lib) return nullptr;
        auto addReader = reinterpret_cast<int (*)(const char*)>(dlsym(lib, "CardSimAddReader"));
        auto insert = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(lib, "CardSimInsert"));
        const std::string reader = "Card " + name;
        if (!addReader || !insert || addReader(reader.c_str()) != 0 || insert(reader.c_str(), path.c_str()) != 0)
            return nullptr;
        m_card = Connect(name);
        if (!m_card) return nullptr;
        m_p15.reset(new SCPkcs15Card(m_card));
        if (m_p15->Load() != 0 || m_p15->GetApplicationCount() < 1) return nullptr;
        return m_p15->GetApplicationAt(0);
    }
    // An image line with other access rules.
    static std::string WithRules(const std::string& line, const std::string& ac) {
        const size_t from = line.find(" ac=");
        if (from == std::string::npos) return line;
        const size_t to = line.find(' ', from + 1);
        return line.substr(0, from) + " ac=" + ac + (to == std::string::npos ? "" : line.substr(to));
    }
    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    int m_opened = 0;
};

TEST_F(Pkcs15AppModel, PinOperationsOnAModel4Card) {
    SCPkcs15App* app = Open(4);
    ASSERT_NE(nullptr, app);
    EXPECT_EQ(SC_CARD_TYPE_CLASSIC, m_card->GetCardType());
    ASSERT_EQ(0, app->Load(false));
    ASNPkcs15AuthObject* user = nullptr;
    ASSERT_EQ(0, app->FindPinObject(SCPkcs15App::PIN_USER, &user));
    EXPECT_EQ(SC_E_VERIFY_FAILED, app->VerifyPin(user, "9999", true, nullptr));
    EXPECT_EQ(0, app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(0, app->ChangePin(user, kUserPin, "2468"));
    EXPECT_EQ(0, app->VerifyCachedPin(user, nullptr));
    // An initialised PIN with an officer PIN on the application is not set again.
    SCPinParams record;
    record.pukText = kPuk;
    EXPECT_EQ(SC_E_PIN_ALREADY_INITIALIZED, app->SetPin(user, "2468", "1357", &record, nullptr));
    EXPECT_EQ(0, app->VerifyPin(user, "2468", false, nullptr));
}

// The officer key reference of the profile (16 on this card model) stays only when the
// TokenInfo file can be administered under that key; the generated card grants nothing
// under it.
TEST_F(Pkcs15AppModel, OfficerKeyReferenceNeedsAccessUnderItToTheTokenInfoFile) {
    SCFileHeaderList tmpl;
    ASSERT_EQ(1, SCPkcs15App::GetProfileSecurityTemplate(4, &tmpl, 0));
    ASSERT_EQ(16, tmpl.GetRef(6));
    // The application DF and TokenInfo file administered under key 16.
    auto underKey = [](const std::string& line) {
        if (line.rfind("df 3F00/5015 ", 0) == 0)
            return WithRules(line, "delete-child:key:10,create-ef:pin:81,create-df:pin:04,activate:key:10,delete:pin:04");
        if (line.rfind("ef 3F00/5015/5032 ", 0) == 0) return WithRules(line, "read:always,update:key:10,delete:key:10");
        return line;
    };
    const struct {
        const char* name;
        std::function<std::string(const std::string&)> edit;
        uint8_t officerKey;
    } cases[] = {
        {"as generated: nothing granted under the key", nullptr, 255},
        {"TokenInfo administered under the key", underKey, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SCPkcs15App* app = Open(4, c.edit);
        ASSERT_NE(nullptr, app);
        ASSERT_EQ(0, app->Load(false));
        EXPECT_EQ(c.officerKey, app->GetHeaderList().GetRef(6));
        // The TokenInfo file object takes the same references.
        EXPECT_EQ(c.officerKey, app->GetTokenInfoFile().GetCreateReferences().GetRef(6));
        // The other references of the profile stay.
        for (int i : {0, 7, 8, 9, 12})
            EXPECT_EQ(i == 0 ? 0x04 : tmpl.GetRef(i), app->GetHeaderList().GetRef(i)) << i;
        m_p15.reset();
    }
}

// An application record without a path names, on this card model only, the
// application DF 3F00 ADF1: the generated application moved there loads from it, and
// left in 5015 it is not found.
TEST_F(Pkcs15AppModel, ApplicationRecordWithoutPathMeansDfAdf1OnAModel7Card) {
    // The record without its path element (51 04 3F00 5015), six octets shorter, and with
    // an ISO/IEC 7816-15 application identifier (E8 28 BD 08 0F ...) of the same length:
    // only such a record may leave the path out.
    auto withoutPath = [](const std::string& line) {
        if (line.rfind("ef 3F00/2F00 ", 0) != 0) return line;
        std::string t = line;
        const size_t at = t.find("data=61324F0CA000000063504B43532D3135"), path = t.find("51043F005015");
        if (at == std::string::npos || path == std::string::npos) return line;
        t.replace(at + 5, 32, "612C4F0CE828BD080FA000000063504B");
        return t.erase(path, 12) + "000000000000";
    };
    // The application's DF, files and paths moved from 5015 to ADF1.
    auto moved = [withoutPath](const std::string& line) {
        std::string t = withoutPath(line);
        for (size_t at; (at = t.find("3F00/5015")) != std::string::npos;) t.replace(at, 9, "3F00/ADF1");
        if (t.rfind("ef 3F00/ADF1/5031 ", 0) == 0 || t.rfind("ef 3F00/ADF1/44", 0) == 0)
            for (size_t at; (at = t.find("3F005015")) != std::string::npos;) t.replace(at, 8, "3F00ADF1");
        return t;
    };
    const uint16_t adf1[] = {0x3F00, 0xADF1, 0x5032};
    for (bool inAdf1 : {true, false}) {
        SCOPED_TRACE(inAdf1 ? "application in ADF1" : "application in 5015");
        SCPkcs15App* app = Open(7, inAdf1 ? std::function<std::string(const std::string&)>(moved) : withoutPath);
        ASSERT_NE(nullptr, app);
        ASSERT_EQ(SC_CARD_TYPE_IAS, m_card->GetCardType());
        ASSERT_NE(nullptr, app->GetDirRecord());
        EXPECT_FALSE(app->GetDirRecord()->wasPath);
        SCPath path;
        ASSERT_EQ(0, app->BuildAbsolutePath(&path));
        EXPECT_TRUE(path.IsEqual(SCPath(adf1, 2)));
        EXPECT_EQ(inAdf1 ? 0 : SC_E_FILE_NOT_FOUND, app->Load(false));
        ASSERT_TRUE(app->GetTokenInfoFile().GetFullPathInto(path));
        EXPECT_TRUE(path.IsEqual(SCPath(adf1, 3)));
        EXPECT_EQ(inAdf1, app->IsLoaded());
        ASNPkcs15AuthObject* user = nullptr;
        EXPECT_EQ(inAdf1 ? 0 : SC_E_PKCS15_PIN_NOT_FOUND, app->FindPinObject(SCPkcs15App::PIN_USER, &user));
        m_p15.reset();
    }
}

TEST_F(Pkcs15AppModel, PinOperationsOnAModel7Card) {
    SCPkcs15App* app = Open(7);
    ASSERT_NE(nullptr, app);
    ASSERT_EQ(0, app->Load(false));
    ASNPkcs15AuthObject* user = nullptr;
    ASSERT_EQ(0, app->FindPinObject(SCPkcs15App::PIN_USER, &user));
    EXPECT_EQ(SC_E_VERIFY_FAILED, app->VerifyPin(user, "9999", true, nullptr));
    EXPECT_EQ(2, app->QueryPinStatus(user, nullptr));
    EXPECT_EQ(0, app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(0, app->UnblockPin(user, kPuk, "8642"));
    EXPECT_EQ(0, app->VerifyPin(user, "8642", false, nullptr));
    // A security environment the card does not hold adds nothing to the header list.
    SCFileHeaderList h;
    EXPECT_EQ(0, app->ReadSecurityInfoEnvListFromCard(&h, 0x7E, nullptr, 0));
    EXPECT_EQ(0u, h.GetHeaderCount());
}

TEST_F(Pkcs15App, CardOptionsKeepApplicationsFromAskingTheOthers) {
    EXPECT_TRUE(m_app->AsksOtherApplications());
    for (uint32_t option : {1u, 2u}) {
        SCPkcs15Card p15(m_card);
        p15.SetOptions(option);
        ASSERT_EQ(0, p15.Load());
        ASSERT_EQ(1, p15.GetApplicationCount());
        EXPECT_FALSE(p15.GetApplicationAt(0)->AsksOtherApplications()) << option;
    }
}

TEST_F(Pkcs15App, LogoutReportsAPinStateTheCardKeeps) {
    ASSERT_EQ(0, m_app->Load(false));
    ASNPkcs15AuthObject* user = Pin(SCPkcs15App::PIN_USER);
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    // The card refuses to forget the verification: the logout says so.
    Inject(0x20, 0x6F00);
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016F00ULL), m_app->LogoutPin(user, false));
    EXPECT_EQ(0, m_app->GetVerifiedPinCount());
    // A card that forgets it: success, and the PIN is no longer verified there.
    ASSERT_EQ(0, m_app->VerifyPin(user, kUserPin, true, nullptr));
    EXPECT_EQ(0, m_app->LogoutPin(user, false));
    EXPECT_EQ(3, TriesLeft(0x81));  // tries left, not verified
}

// A new PIN set under the SO PIN: its object is then marked initialised in the PIN
// directory. When the card refuses that write, the PIN set reports it.
TEST_F(Pkcs15App, SetPinReportsAPinDirectoryThatCannotBeWritten) {
    ASSERT_EQ(0, m_app->Load(false));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_SO), kSoPin, true, nullptr));
    ASSERT_EQ(0, m_app->VerifyPin(Pin(SCPkcs15App::PIN_USER), kUserPin, true, nullptr));
    for (const bool refused : {true, false}) {
        SCOPED_TRACE(refused ? "write refused" : "write taken");
        const uint8_t ref = refused ? 0x83 : 0x84;
        ASNPkcs15AuthObject* pin = nullptr;
        ASSERT_EQ(0, m_app->CreatePinObject("Extra", ref, ref, 3, 4, 0, &pin, nullptr, 0xFFFF, nullptr));
        SCPinParams record;
        ClearLog();
        if (refused) Inject(0xD6, 0x6581, 20);
        const SCRESULT r = m_app->SetPin(pin, nullptr, "4321", &record, nullptr);
        Inject(0xD6, 0x6581, 0);
        EXPECT_EQ(refused ? SC_RESULT_CODE(0xE000000000016581ULL) : 0, r) << Log();
        EXPECT_EQ(1u, CountCommands("00E0"));
        EXPECT_LE(1u, CountCommands("00D6"));
        // The card's PIN was made either way.
        EXPECT_EQ(0, m_app->VerifyPin(pin, "4321", false, nullptr));
    }
}
