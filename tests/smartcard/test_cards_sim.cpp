// The card drivers against the simulator's cards: the APDUs they send (from the
// simulator's log), the answers they make of them, and RSA results checked with
// OpenSSL.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstring>

#include "card_fixture.h"
#include "rsa_check.h"
#include "smartcard/sc_card_classic.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_smctx.h"

using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kPkcs15Aid = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
const uint16_t kApp[] = {0x3F00, 0x5015};

const uint8_t* U8(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

using rsacheck::PublicKey;
using rsacheck::Sha256DigestInfo;
using rsacheck::VerifyPkcs1Sha256;

// The members of an RSA key made by OpenSSL, big-endian, as a key import sends them.
struct RsaMembers {
    Bytes n, e, d, p, q, dp, dq, qi;
    explicit RsaMembers(const EVP_PKEY* key) {
        const RSA* rsa = EVP_PKEY_get0_RSA(key);
        const BIGNUM* src[] = {RSA_get0_n(rsa), RSA_get0_e(rsa), RSA_get0_d(rsa), RSA_get0_p(rsa),
                               RSA_get0_q(rsa), RSA_get0_dmp1(rsa), RSA_get0_dmq1(rsa), RSA_get0_iqmp(rsa)};
        Bytes* dst[] = {&n, &e, &d, &p, &q, &dp, &dq, &qi};
        for (size_t i = 0; i < 8; ++i) {
            dst[i]->resize(BN_num_bytes(src[i]));
            BN_bn2bin(src[i], dst[i]->data());
        }
    }
};

}  // namespace

TEST_F(CardSim, FactoryPicksTheDriverOfEachModel) {
    struct {
        const char* image;
        uint32_t type;
        const char* name;
    } cases[] = {{"pkcs15-model3", 3, "CosmopolIC"}, {"blank-model1", 1, "SetCOS 4.4.1"},
                 {"blank-model4", 4, "ClassIC"},     {"blank-model7", 7, "IAS-ECC"},
                 {"ias-not-activated", 7, "IAS-ECC"}};
    for (const auto& c : cases) {
        SCCard* card = Connect(c.image);
        ASSERT_NE(nullptr, card) << c.image;
        EXPECT_EQ(c.type, card->GetCardType()) << c.image;
        EXPECT_STREQ(c.name, card->GetCardName());
        SCCardInfo info;
        std::memset(&info, 0, sizeof info);
        ASSERT_EQ(SC_OK, card->GetCardInfo(&info));
        EXPECT_EQ(c.type, info.cardFamily);
        EXPECT_EQ(c.type == 3 || c.type == 4 ? 0x00 : 0xFF, info.erasedValue) << c.image;
        EXPECT_EQ(c.type != 6 && c.type != 2, (info.pinCaps & SC_PIN_CAP_ACCESS_RULES) != 0);
    }
    EXPECT_NE(nullptr, dynamic_cast<SCCard_GlobalPlatform*>(Connect("blank-model4")));
    EXPECT_NE(nullptr, dynamic_cast<SCCard_IAS*>(Connect("blank-model7")));
}

TEST_F(CardSim, UnknownAtrGivesNoCardObject) {
    SCReader* reader = nullptr;
    EXPECT_EQ(nullptr, Connect("unknown-atr", &reader));
    ASSERT_NE(nullptr, reader);
    EXPECT_TRUE(reader->IsConnected());
}

TEST_F(CardSim, SelectionSendsIsoSelectAndTracksTheCurrentDf) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCFileHeader* mf = nullptr;
    ASSERT_EQ(SC_OK, card->SelectMf(&mf));
    EXPECT_EQ(0x3F00, mf->GetFileId());
    EXPECT_TRUE(mf->IsDf());
    EXPECT_EQ(SC_LCS_ACTIVATED, mf->GetLifeCycleState());
    SCFileHeader::SafeRelease(mf);

    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->SelectPath(odf, 3, &h));
    EXPECT_EQ(0x5031, h->GetFileId());
    EXPECT_EQ(SC_FT_TRANSPARENT, h->GetFileType());
    EXPECT_EQ(256u, h->GetFileSize());
    SCFileHeader::SafeRelease(h);
    EXPECT_TRUE(card->GetCurrentDf().IsEqual(SCPath(kApp, 2)));

    const uint16_t rel[] = {0x4401};
    EXPECT_EQ(SC_OK, card->SelectPath(rel, 1, nullptr));
    EXPECT_EQ(SC_OK, card->SelectChildEf(0x4402, nullptr));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectChildEf(0x4499, nullptr));
    EXPECT_EQ(SC_OK, card->SelectParent());
    EXPECT_TRUE(card->GetCurrentDf().IsMasterFile());
    EXPECT_EQ(SC_OK, card->SelectFileById(0, nullptr));
    EXPECT_EQ(SC_OK, card->SelectPath(nullptr, 0, nullptr));
    const std::vector<std::string> expected = {"00A40004023F0000", "00A40804045015503100", "00A409040244010" "0",
                                               "00A402040244020" "0", "00A402040244990" "0", "00A4030400",
                                               "00A40004023F0000", "00A40004023F0000"};
    EXPECT_EQ(expected, Commands());
}

TEST_F(CardSim, SelectByAidFirstAndNextOccurrence) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->SelectByAid(kPkcs15Aid.data(), kPkcs15Aid.size(), 0, &h));
    size_t n = 0;
    const uint8_t* name = h->GetDfName(&n);
    EXPECT_EQ(kPkcs15Aid, Bytes(name, name + n));
    EXPECT_EQ(0x5015, h->GetFileId());
    SCFileHeader::SafeRelease(h);
    // The card holds one application: the next occurrence is absent.
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectByAid(kPkcs15Aid.data(), kPkcs15Aid.size(), 2, nullptr));
    const uint8_t other[] = {0xA0, 0x00, 0x00, 0x00, 0x99};
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectByAid(other, sizeof other, 0, nullptr));
    EXPECT_EQ(SC_E_AID_TOO_LONG, card->SelectByAid(other, 17, 0, nullptr));
    const std::vector<std::string> cmds = Commands();
    ASSERT_EQ(3u, cmds.size());
    EXPECT_EQ("00A404040CA000000063504B43532D313500", cmds[0]);
    EXPECT_EQ("00A404060CA000000063504B43532D313500", cmds[1]);
}

TEST_F(CardSim, ReadsBinaryInChunksUpToTheEndOfTheFile) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    const uint16_t cert[] = {0x3F00, 0x5015, 0x4301};
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->SelectPath(cert, 3, &h));
    const uint32_t size = h->GetFileSize();
    SCFileHeader::SafeRelease(h);
    ASSERT_EQ(825u, size);
    Bytes all(size + 100);
    ClearLog();
    ASSERT_EQ(static_cast<SCRESULT>(size), card->ReadBinaryFromStart(all.data(), size + 100));
    all.resize(size);
    EXPECT_EQ(0x30, all[0]);
    // 825 bytes: three full chunks of 256 and the rest.
    const std::vector<std::string> cmds = Commands();
    // The last one asks for 256 and is corrected by the reader to the 57 bytes left.
    const std::vector<std::string> expected = {"00B0000000", "00B0010000", "00B0020000", "00B003009D", "00B0030039"};
    EXPECT_EQ(expected, cmds);
    // Pieces at offsets give the same bytes.
    Bytes piece(100);
    ASSERT_EQ(100, card->ReadBinary(700, piece.data(), 100));
    EXPECT_EQ(Bytes(all.begin() + 700, all.begin() + 800), piece);
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016B00ULL), card->ReadBinary(size, piece.data(), 10));
    EXPECT_EQ(SC_E_INVALID_FILE_OFFSET, card->ReadBinary(0x8000, piece.data(), 1));
}

TEST_F(CardSim, CreatesUpdatesResizesAndDeletesFiles) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), SC_UNSET));
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    const SCRESULT fid = card->FindFreeFileId(kApp, 2, 0x4401);
    ASSERT_EQ(0x4406, fid);
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->CreateFile(300, static_cast<uint16_t>(fid), SC_LCS_ACTIVATED, 0x88B1, refs, &h));
    EXPECT_EQ(300u, h->GetFileSize());
    SCAccessRequest read, update;
    read.operation = SC_AC_OP_READ;
    update.operation = SC_AC_OP_UPDATE;
    ASSERT_EQ(SC_OK, h->GetAccessRefs(&read, nullptr));
    ASSERT_EQ(SC_OK, h->GetAccessRefs(&update, nullptr));
    EXPECT_TRUE(read.refs.Contains(0));
    EXPECT_TRUE(update.refs.Contains(0xC081));
    SCFileHeader::SafeRelease(h);
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(SC_OK, card->UpdateBinaryFromStart(data.data(), 300));
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016A89ULL),
              card->CreateFile(10, static_cast<uint16_t>(fid), SC_LCS_ACTIVATED, 0x88B1, refs, nullptr));
    // The card answers what the header says about the new file.
    const uint16_t path[] = {0x3F00, 0x5015, static_cast<uint16_t>(fid)};
    SCAccessRequest reqs[2];
    reqs[0].operation = SC_AC_OP_UPDATE;
    reqs[1].operation = SC_AC_OP_DELETE;
    SCFileHeader* cached[2] = {nullptr, nullptr};
    ASSERT_EQ(SC_OK, card->GetAccessRules(path, 3, reqs, 2, cached, 2, true, &refs));
    ASSERT_NE(nullptr, cached[0]);
    ASSERT_NE(nullptr, cached[1]);
    EXPECT_TRUE(reqs[0].refs.Contains(0xC081));
    EXPECT_TRUE(reqs[1].refs.Contains(0xC081));  // the DF's delete-child rule
    const uint16_t wrong[] = {0x3F00, 0x5015, 0x4401};
    EXPECT_EQ(SC_E_MISMATCHED_HEADER, card->GetAccessRules(wrong, 3, reqs, 1, cached, 2, false, &refs));
    EXPECT_EQ(SC_E_BAD_USAGE, card->GetAccessRules(wrong + 1, 2, reqs, 1, nullptr, 0, false, &refs));
    SCFileHeader::SafeRelease(cached[0]);
    SCFileHeader::SafeRelease(cached[1]);

    // Growing keeps the contents.
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->ResizeFile(static_cast<uint16_t>(fid), 400, &h));
    EXPECT_EQ(400u, h->GetFileSize());
    SCFileHeader::SafeRelease(h);
    Bytes back(400);
    ASSERT_EQ(400, card->ReadBinaryFromStart(back.data(), 400));
    EXPECT_EQ(data, Bytes(back.begin(), back.begin() + 300));
    // After a selection by name the DF's path is unknown: the file is still
    // resized in that DF (and nothing of the MF is touched).
    ASSERT_EQ(SC_OK, card->SelectByAid(kPkcs15Aid.data(), kPkcs15Aid.size(), 0, nullptr));
    ASSERT_EQ(SC_OK, card->ResizeFile(static_cast<uint16_t>(fid), 400, nullptr));
    EXPECT_EQ(SC_OK, card->SelectChildEf(0x5031, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE, card->ResizeFile(0x4B01, 10, nullptr));
    // More than the free memory is refused before anything is deleted.
    const int64_t free = card->GetCardCapacity();
    ASSERT_GT(free, 0);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    if (free + 400 < 0x7FFF) {
        EXPECT_EQ(SC_E_NO_SPACE_ON_CARD, card->ResizeFile(static_cast<uint16_t>(fid), 0x7FFF, nullptr));
        ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    }
    // A card that refuses the new file gets the old one back with its contents.
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    Inject(0xE0, 0x6A84);
    EXPECT_EQ(SC_E_NO_SPACE_ON_CARD, card->ResizeFile(static_cast<uint16_t>(fid), 500, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->SelectChildEf(static_cast<uint16_t>(fid), &h));
    EXPECT_EQ(400u, h->GetFileSize());
    SCFileHeader::SafeRelease(h);
    back.assign(400, 0);
    ASSERT_EQ(400, card->ReadBinaryFromStart(back.data(), 400));
    EXPECT_EQ(data, Bytes(back.begin(), back.begin() + 300));

    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ClearLog();
    ASSERT_EQ(SC_OK, card->DeleteFile(static_cast<uint16_t>(fid)));
    EXPECT_EQ("00E40000024406", Commands().at(0));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectChildEf(static_cast<uint16_t>(fid), nullptr));
    // 6700 from the card: deletion not offered; 6B00 is tried again with P1 02.
    Inject(0xE4, 0x6700);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->DeleteFile(0x5701));
    Inject(0xE4, 0x6B00);
    ClearLog();
    EXPECT_EQ(SC_OK, card->DeleteFile(0x5701));
    const std::vector<std::string> cmds = Commands();
    ASSERT_EQ(2u, cmds.size());
    EXPECT_EQ("00E4020002" "5701", cmds[1]);
}

TEST_F(CardSim, DirectoriesAreCreatedAndDeletedAsTrees) {
    SCCard* card = Connect("blank-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x04, U8("87654321"), SC_UNSET));
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    const uint8_t name[] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->CreateDf(127, 0x5015, name, sizeof name, 0, 0x80000021, &refs, &h));
    EXPECT_TRUE(h->IsDf());
    SCFileHeader::SafeRelease(h);
    const uint16_t app[] = {0x3F00, 0x5015};
    EXPECT_TRUE(card->GetCurrentDf().IsEqual(SCPath(app, 2)));
    ASSERT_EQ(SC_OK, card->CreateDf(127, 0x5100, nullptr, 0, 0, 0x80000025, &refs, nullptr));
    ASSERT_EQ(SC_OK, card->CreateFile(16, 0x5101, SC_LCS_ACTIVATED, 0xBB01, refs, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(app, 2, nullptr));
    ASSERT_EQ(SC_OK, card->CreateFile(16, 0x5031, SC_LCS_ACTIVATED, 0xBB01, refs, nullptr));
    // This card deletes a DF with what it holds.
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    EXPECT_EQ(SC_OK, card->DeleteFileById(0x5015, SCPath(app, 1)));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectPath(app, 2, nullptr));
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, card->CreateDf(127, 0x5015, name, sizeof name, 0, 0x80000021, &refs, nullptr));
    ASSERT_EQ(SC_OK, card->CreateDf(127, 0x5100, nullptr, 0, 0, 0x80000025, &refs, nullptr));
    ASSERT_EQ(SC_OK, card->CreateFile(16, 0x5101, SC_LCS_ACTIVATED, 0xBB01, refs, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(app, 2, nullptr));
    ASSERT_EQ(SC_OK, card->CreateFile(16, 0x5031, SC_LCS_ACTIVATED, 0xBB01, refs, nullptr));
    // File by file: the files listed relative to the DF go first.
    SCPathList list;
    const uint16_t f1[] = {0x3F00, 0x5015, 0x5031}, f2[] = {0x3F00, 0x5015, 0x5100, 0x5101},
                   f3[] = {0x3F00, 0x5015, 0x5100};
    list.AddUnique(f1, 3);
    list.AddUnique(f3, 3);
    list.AddUnique(f2, 4);
    EXPECT_FALSE(list.AddUnique(f1, 3));
    size_t count = 0;
    const size_t words = list.ResolveRelative(app, 2, 0, nullptr, &count);
    ASSERT_EQ(3u, count);
    std::vector<uint16_t> rel(words);
    list.ResolveRelative(app, 2, 0, rel.data(), &count);
    EXPECT_EQ((std::vector<uint16_t>{1, 0x5031, 1, 0x5100, 2, 0x5100, 0x5101}), rel);
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, card->DeleteDfTree(0x5015, refs, rel.data(), count, 0xFFFFFFFF));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectPath(app, 2, nullptr));
}

TEST_F(CardSim, PinVerificationCountersAndStates) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ClearLog();
    EXPECT_EQ(3, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_VERIFY_FAILED, card->VerifyPin(0x81, U8("9999"), SC_UNSET));
    EXPECT_EQ(2, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH, card->VerifyPin(0x81, U8("123"), 3));
    EXPECT_EQ(2, card->VerifyPin(0x81, nullptr, SC_UNSET));  // a refused length is not counted
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_OK, card->ResetPinState(0x81));
    EXPECT_EQ(3, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x85, nullptr, SC_UNSET));
    const std::vector<std::string> cmds = Commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ("00200081", cmds[0]);
    EXPECT_EQ("002000810439393939", cmds[1]);
    EXPECT_EQ("0020FF81", cmds[cmds.size() - 3]);
    // Status words the card may give.
    Inject(0x20, 0x6983);
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, U8("1234"), 4));
    Inject(0x20, 0x6984);
    EXPECT_EQ(SC_E_PIN_NOT_INITIALIZED, card->VerifyPin(0x81, nullptr, SC_UNSET));
    Inject(0x20, 0x6A88);
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x81, nullptr, SC_UNSET));
}

TEST_F(CardSim, ChangeUnblockAndBlockPins) {
    SCCard* card = Connect("pkcs15-model3-puk");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    // Old values are padded to the stored length when the PIN has a pad character.
    const uint8_t oldPadded[] = {'1', '2', '3', '4', 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(SC_OK, card->ChangePin(0x81, oldPadded, U8("4321"), 8, 4));
    EXPECT_EQ(SC_E_VERIFY_FAILED, card->VerifyPin(0x81, U8("1234"), 4));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("4321"), 4));

    ASSERT_EQ(SC_OK, card->BlockGlobalUserPin(0x81));
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, U8("4321"), 4));

    const uint8_t pukPadded[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(SC_OK, card->UnblockPin(0x81, pukPadded, U8("5555"), 8, 4));
    EXPECT_EQ(3, card->VerifyPin(0x81, nullptr, SC_UNSET));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("5555"), 4));
}

TEST_F(CardSim, BlockPinWalksThePinLengthsTheCardAccepts) {
    SCCard* card = Connect("qualified-model1");
    ASSERT_NE(nullptr, card);
    const uint16_t qdir[] = {0x3F00, 0xDF01};
    ASSERT_EQ(SC_OK, card->SelectPath(qdir, 2, nullptr));
    ClearLog();
    // The qualified PIN takes 6 to 8 digits: four spaces are refused (6700), the
    // table gives 6 next.
    ASSERT_EQ(SC_OK, card->BlockPin(0x81));
    const std::vector<std::string> cmds = Commands();
    ASSERT_GE(cmds.size(), 4u);
    EXPECT_EQ("002000810420202020", cmds[0]);
    EXPECT_EQ("0020008106202020202020", cmds[1]);
    EXPECT_EQ(SC_E_PIN_BLOCKED, card->VerifyPin(0x81, nullptr, SC_UNSET));
    // Another status ends the blocking with that status.
    Inject(0x20, 0x6A86);
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016A86ULL), card->BlockPin(0x82));
    // A card that never stops accepting tries cannot be blocked.
    Inject(0x20, 0x6300, 40);
    EXPECT_EQ(SC_E_PIN_NOT_BLOCKED, card->BlockPin(0x82));
}

TEST_F(CardSim, CreatePinOnABlankCard) {
    SCCard* card = Connect("blank-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x04, U8("87654321"), SC_UNSET));
    SCPinParams p;
    p.minLen = 4;
    p.maxLen = 8;
    p.padChar = 0xFF;
    p.flags = SC_PINREC_PADDED;
    p.tryLimit = 3;
    p.officerRef = 0x04;
    p.unblockRef = 0x82;
    p.pukText = "11223344";
    p.pukMinLen = 8;
    p.pukMaxLen = 8;
    p.pukTryLimit = 5;
    SCPinParams check = p;
    check.flags |= SC_PINREC_CHECK_ONLY;
    EXPECT_EQ(SC_OK, card->CreatePin(0x81, &check, U8("1111"), 4, 0));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x81, nullptr, SC_UNSET));
    ASSERT_EQ(SC_OK, card->CreatePin(0x81, &p, U8("1111"), 4, 0));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x81, U8("1111"), 4));
    EXPECT_EQ(5, card->VerifyPin(0x82, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_PIN_ALREADY_INITIALIZED, card->CreatePin(0x81, &p, U8("2222"), 4, 0));
    // A PIN without value, set later.
    SCPinParams novalue = p;
    novalue.unblockRef = 0xFF;
    novalue.pukText = nullptr;
    ASSERT_EQ(SC_OK, card->CreatePin(0x83, &novalue, nullptr, SC_UNSET, 0));
    EXPECT_EQ(SC_E_PIN_NOT_INITIALIZED, card->VerifyPin(0x83, nullptr, SC_UNSET));
    ASSERT_EQ(SC_OK, card->CreatePin(0x83, &novalue, U8("3333"), SC_UNSET, 0));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x83, U8("3333"), 4));
    // A refused PIN rolls back the unblocking PIN made for it.
    SCPinParams bad = p;
    bad.unblockRef = 0x86;
    ASSERT_EQ(SC_E_INVALID_DATA_LENGTH, card->CreatePin(0x85, &bad, U8("12"), 2, 0));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x86, nullptr, SC_UNSET));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x85, nullptr, SC_UNSET));
    EXPECT_EQ(SC_OK, card->DeleteObject(0x83, SC_KEYOBJ_PIN));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->DeleteObject(0x83, SC_KEYOBJ_PIN));
}

TEST_F(CardSim, SignsWithTheCardKeyCheckedByOpenSsl) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    uint32_t nLen = 0, eLen = 0, bits = 0;
    ASSERT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, nullptr, nullptr, &bits, 0x01));
    EXPECT_EQ(256u, nLen);
    EXPECT_EQ(2048u, bits);
    Bytes n(nLen), e(eLen);
    uint32_t small = 10;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, card->ReadRsaPublicKey(&small, &eLen, n.data(), e.data(), &bits, 0x01));
    EXPECT_EQ(256u, small);
    ASSERT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, n.data(), e.data(), &bits, 0x01));
    EVP_PKEY* pub = PublicKey(n, e);

    const Bytes msg = {'h', 'e', 'l', 'l', 'o'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256);
    uint32_t sigLen = 256;
    // Without the user PIN the key may not be used.
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1, 0, 256, di.data(),
                                                         static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    ClearLog();
    sigLen = 256;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1, 0, 256, di.data(),
                                            static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    EXPECT_EQ(256u, sigLen);
    EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
    EXPECT_EQ("002241B606800102840101", Commands().at(0));
    // A bare digest with the hash named, the key found by its file.
    const uint16_t keyFile = 0x4B01;
    sigLen = 256;
    ASSERT_EQ(SC_OK, card->ComputeSignature(&keyFile, true, 0xFF, SC_SIGN_PKCS1_DIGEST, SC_HASH_SHA256, 256,
                                            di.data() + 19, 32, sig.data(), &sigLen));
    EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
    // A raw block of the modulus length (command chaining carries it).
    Bytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[256 - di.size() - 1] = 0x00;
    std::memcpy(block.data() + 256 - di.size(), di.data(), di.size());
    sigLen = 256;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 1, SC_SIGN_RAW, 0, 256, block.data(), 256, sig.data(),
                                            &sigLen));
    EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
    // A shorter raw block is a smaller number: the card signs it at the modulus' length.
    sigLen = 256;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 1, SC_SIGN_RAW, 0, 256, block.data() + 1, 255, sig.data(),
                                            &sigLen));
    EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
    // Wrong sizes and kinds.
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH,
              card->ComputeSignature(nullptr, false, 1, SC_SIGN_RAW, 0, 256, block.data(), 257, sig.data(), &sigLen));
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH,
              card->ComputeSignature(nullptr, false, 1, SC_SIGN_RAW, 0, 256, block.data(), 0, sig.data(), &sigLen));
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH, card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1_DIGEST, SC_HASH_SHA1,
                                                               256, di.data(), 32, sig.data(), &sigLen));
    const uint16_t notKey = 0x5501;
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE, card->ComputeSignature(&notKey, true, 0xFF, SC_SIGN_PKCS1, 0, 256, di.data(),
                                                             static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    sigLen = 10;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, card->ComputeSignature(nullptr, false, 1, SC_SIGN_PKCS1, 0, 256, di.data(),
                                                               static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    EXPECT_EQ(256u, sigLen);
    EVP_PKEY_free(pub);
}

TEST_F(CardSim, DeciphersWhatOpenSslEncrypted) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    uint32_t nLen = 256, eLen = 8, bits = 0;
    Bytes n(256), e(8);
    ASSERT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, n.data(), e.data(), &bits, 0x01));
    e.resize(eLen);
    EVP_PKEY* pub = PublicKey(n, e);
    const Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
    ASSERT_EQ(1, EVP_PKEY_encrypt_init(ctx));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING));
    size_t clen = 256;
    Bytes cipher(256);
    ASSERT_EQ(1, EVP_PKEY_encrypt(ctx, cipher.data(), &clen, secret.data(), secret.size()));
    EVP_PKEY_CTX_free(ctx);
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    Bytes plain(256);
    uint32_t plen = 256;
    ClearLog();
    ASSERT_EQ(SC_OK, card->Decipher(nullptr, false, 1, SC_SIGN_PKCS1, cipher.data(), 256, plain.data(), &plen));
    plain.resize(plen);
    EXPECT_EQ(secret, plain);
    // 257 bytes (padding indicator and cryptogram) go in two chained parts.
    const std::vector<std::string> cmds = Commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ("102A8086FF00", cmds[1].substr(0, 12));
    EXPECT_EQ("002A808602", cmds[2].substr(0, 10));
    // Raw deciphering gives the whole padded block.
    plen = 256;
    plain.assign(256, 0);
    ASSERT_EQ(SC_OK, card->Decipher(nullptr, false, 1, SC_SIGN_RAW, cipher.data(), 256, plain.data(), &plen));
    EXPECT_EQ(256u, plen);
    EXPECT_EQ(0x02, plain[1]);
    EVP_PKEY_free(pub);
}

TEST_F(CardSim, GeneratesImportsAndDeletesKeys) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    refs.SetRef(SC_REFIDX_SO_PIN, 0x04);
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE,
              card->CreateKeyObject(SC_KEYOBJ_RSA_PUBLIC, 1024, 17, 0x4B02, 0, 0, 0, &refs, 2, nullptr));
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x4B02, 0, 0, 0, &refs, 2, &h));
    EXPECT_TRUE(h->IsKeyFile());
    EXPECT_EQ(2, h->GetKeyRef());
    SCFileHeader::SafeRelease(h);
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    EXPECT_EQ(SC_E_KEY_EXISTS, card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x4B03, 0, 0, 0, &refs, 2, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    const uint8_t f4[] = {0x01, 0x00, 0x01};
    SCByteBuffer n, e;
    EXPECT_EQ(SC_E_INVALID_EXPONENT, card->GenerateKeyPair(1024, 0, 0, 2, 2, 17, (const uint8_t*)"\x01\x00\x00", &n, &e));
    ASSERT_EQ(SC_OK, card->GenerateKeyPair(1024, 0, 0, 2, 2, 17, f4, &n, &e));
    EXPECT_EQ(128u, n.Size());
    EXPECT_EQ(Bytes(f4, f4 + 3), Bytes(e.Data(), e.Data() + e.Size()));
    // The card's signature verifies with the returned public part.
    EVP_PKEY* pub = PublicKey(Bytes(n.Data(), n.Data() + n.Size()), Bytes(f4, f4 + 3));
    const Bytes msg = {'k', 'e', 'y'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t sigLen = 128;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 2, SC_SIGN_PKCS1, 0, 128, di.data(),
                                            static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
    EVP_PKEY_free(pub);

    // A key made by OpenSSL, imported with all its members.
    EVP_PKEY* key = EVP_RSA_gen(1024);
    ASSERT_NE(nullptr, key);
    const RsaMembers k(key);
    const Bytes &kn = k.n, &ke = k.e, &kd = k.d, &kp = k.p, &kq = k.q, &kdp = k.dp, &kdq = k.dq, &kqi = k.qi;
    auto b = [](const Bytes& v) { return static_cast<uint32_t>(v.size() * 8); };
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x4B03, 0, 0, 0, &refs, 3, nullptr));
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->ImportRsaKey(kn.data(), b(kn), kd.data(), b(kd), ke.data(), b(ke), kp.data(), b(kp),
                                        kq.data(), b(kq), kdp.data(), b(kdp), kdq.data(), b(kdq), kqi.data(), b(kqi), 0,
                                        3, 0, SC_UNSET, &refs));
    EXPECT_EQ(SC_E_INSUFFICIENT_DATA, card->ImportRsaKey(nullptr, 0, kd.data(), b(kd), ke.data(), b(ke), nullptr, 0,
                                                         nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, 0, 3, 0,
                                                         SC_UNSET, &refs));
    sigLen = 128;
    ASSERT_EQ(SC_OK, card->ComputeSignature(nullptr, false, 3, SC_SIGN_PKCS1, 0, 128, di.data(),
                                            static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
    EXPECT_TRUE(VerifyPkcs1Sha256(key, msg, sig));
    EXPECT_EQ(SC_E_UNSUPPORTED_EXPONENT, card->WriteRsaPublicKey(kn.data(), b(kn), (const uint8_t*)"\x02", 8, 0xFFFF,
                                                                 3, 0, SC_UNSET, nullptr));
    EVP_PKEY_free(key);

    EXPECT_EQ(SC_OK, card->DeleteObject(3, SC_KEYOBJ_GENERIC));
    EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->DeleteObject(3, SC_KEYOBJ_GENERIC));
}

// On the models that keep keys in files of their own (as their card information
// says), a key without a reference is made, generated, imported, read, used and
// deleted by its file: the key file is selected and the security environment names
// it (tag 81), never a reference. The models that name every key by a reference
// refuse such a key before sending anything.
TEST_F(CardSim, KeyFilesWithoutAReferenceAreUsedByTheirFile) {
    const uint8_t f4[] = {0x01, 0x00, 0x01};
    const Bytes msg = {'f', 'i', 'l', 'e'};
    const Bytes di = Sha256DigestInfo(msg);
    auto sent = [&](const std::string& prefix) {
        for (const std::string& c : Commands())
            if (c.rfind(prefix, 0) == 0) return true;
        return false;
    };
    for (int model : {1, 3, 4, 7, 0, 2, 5, 6}) {
        SCOPED_TRACE(model);
        const bool byFile = model == 1 || model == 3 || model == 4;
        SCCard* card = byFile || model == 7 ? Connect("blank-model" + std::to_string(model)) : ConnectBlank(model);
        ASSERT_NE(nullptr, card);
        if (model == 4 || model == 6 || model == 7) {
            ASSERT_EQ(SC_OK, card->SelectApplet());
        }
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ClearLog();
        EXPECT_EQ(SC_E_BAD_PARAMS,
                  card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0, 0, 0, 0, nullptr, 0xFF, nullptr));
        SCFileHeader* h = nullptr;
        const SCRESULT made = card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x6000, 0, 0, 0, nullptr, 0xFF, &h);
        if (!byFile) {
            EXPECT_EQ(SC_E_BAD_PARAMS, made);
            EXPECT_TRUE(Commands().empty()) << Log();
            continue;
        }
        ASSERT_EQ(SC_OK, made) << Log();
        ASSERT_NE(nullptr, h);
        EXPECT_TRUE(h->IsKeyFile());
        EXPECT_EQ(0, h->GetKeyRef());
        EXPECT_EQ(SC_FT_KEY_BY_FILE, h->GetFileType());
        SCFileHeader::SafeRelease(h);
        ASSERT_EQ(1u, Commands().size());
        EXPECT_NE(std::string::npos, Commands()[0].find("A50480020400")) << Log();  // the modulus bits only
        // Generated in the file, which is selected first (reference 00: the selected file).
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ClearLog();
        SCByteBuffer n, e;
        ASSERT_EQ(SC_OK, card->GenerateKeyPair(1024, 0x6000, 0, 0xFF, 0xFF, 17, f4, &n, &e));
        ASSERT_FALSE(Commands().empty());
        EXPECT_EQ("00A4", Commands()[0].substr(0, 4)) << Log();
        EXPECT_NE(std::string::npos, Commands()[0].find("026000")) << Log();
        EXPECT_TRUE(sent("00460000")) << Log();
        const Bytes nb(n.Data(), n.Data() + n.Size());
        uint32_t nLen = 256, eLen = 8, bits = 0;
        Bytes rn(256), re(8);
        ASSERT_EQ(SC_OK, card->ReadRsaPublicKey(&nLen, &eLen, rn.data(), re.data(), &bits, 0xFF));
        rn.resize(nLen);
        EXPECT_EQ(nb, rn);
        EVP_PKEY* pub = PublicKey(nb, Bytes(f4, f4 + 3));
        const uint16_t fid = 0x6000;
        Bytes sig(128);
        uint32_t sigLen = 128;
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ClearLog();
        ASSERT_EQ(SC_OK, card->ComputeSignature(&fid, true, 0xFF, SC_SIGN_PKCS1, 0, 128, di.data(),
                                                static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
        EXPECT_TRUE(VerifyPkcs1Sha256(pub, msg, sig));
        EXPECT_TRUE(sent("002241B60780010281026000")) << Log();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
        size_t clen = 128;
        Bytes cipher(128);
        ASSERT_EQ(1, EVP_PKEY_encrypt_init(ctx));
        ASSERT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING));
        ASSERT_EQ(1, EVP_PKEY_encrypt(ctx, cipher.data(), &clen, msg.data(), msg.size()));
        EVP_PKEY_CTX_free(ctx);
        Bytes plain(128);
        uint32_t plen = 128;
        ClearLog();
        ASSERT_EQ(SC_OK, card->Decipher(&fid, true, 0xFF, SC_SIGN_PKCS1, cipher.data(), 128, plain.data(), &plen));
        EXPECT_EQ(msg, Bytes(plain.begin(), plain.begin() + plen));
        EXPECT_TRUE(sent("002241B80780010281026000")) << Log();
        EXPECT_FALSE(sent("002241B6068001")) << Log();  // no reference named
        EVP_PKEY_free(pub);

        // A key made by OpenSSL, imported into a second key file.
        EVP_PKEY* key = EVP_RSA_gen(1024);
        ASSERT_NE(nullptr, key);
        const RsaMembers k(key);
        const Bytes &kn = k.n, &ke = k.e, &kd = k.d, &kp = k.p, &kq = k.q, &kdp = k.dp, &kdq = k.dq, &kqi = k.qi;
        auto b = [](const Bytes& v) { return static_cast<uint32_t>(v.size() * 8); };
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ASSERT_EQ(SC_OK, card->CreateKeyObject(SC_KEYOBJ_RSA_PRIVATE, 1024, 17, 0x6001, 0, 0, 0, nullptr, 0xFF, nullptr));
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ClearLog();
        ASSERT_EQ(SC_OK, card->ImportRsaKey(kn.data(), b(kn), kd.data(), b(kd), ke.data(), b(ke), kp.data(), b(kp),
                                            kq.data(), b(kq), kdp.data(), b(kdp), kdq.data(), b(kdq), kqi.data(),
                                            b(kqi), 0x6001, 0xFF, 0, SC_UNSET, nullptr));
        EXPECT_TRUE(sent("00DB0000")) << Log();
        const uint16_t second = 0x6001;
        sigLen = 128;
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ASSERT_EQ(SC_OK, card->ComputeSignature(&second, true, 0xFF, SC_SIGN_PKCS1, 0, 128, di.data(),
                                                static_cast<uint32_t>(di.size()), sig.data(), &sigLen));
        EXPECT_TRUE(VerifyPkcs1Sha256(key, msg, sig));
        EVP_PKEY_free(key);
        // No reference reaches either key; each goes by its file.
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->DeleteObject(0, SC_KEYOBJ_GENERIC));
        EXPECT_EQ(SC_OK, card->DeleteFile(0x6000));
        EXPECT_EQ(SC_OK, card->DeleteFile(0x6001));
        EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectChildEf(0x6000, nullptr));
    }
}

TEST_F(CardSim, StatusWordsBecomeCardResults) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    ASSERT_EQ(SC_OK, card->SelectPath(odf, 3, nullptr));
    uint8_t buf[16];
    struct {
        unsigned sw;
        SCRESULT result;
    } cases[] = {{0x6982, SC_E_ACCESS_DENIED},       {0x6983, SC_E_PIN_BLOCKED},
                 {0x6700, SC_E_INVALID_DATA_LENGTH}, {0x6A82, SC_E_FILE_NOT_FOUND},
                 {0x6A88, SC_E_NO_REFERENCED_DATA},  {0x6A89, SC_E_FILE_ALREADY_EXISTS},
                 {0x6A86, SC_RESULT_CODE(0xE000000000016A86ULL)}, {0x6B00, SC_RESULT_CODE(0xE000000000016B00ULL)},
                 {0x6300, SC_E_VERIFY_FAILED}};
    for (const auto& c : cases) {
        Inject(0xB0, c.sw);
        EXPECT_EQ(c.result, card->ReadBinary(0, buf, 16)) << std::hex << c.sw;
    }
    Inject(0xA4, 0x6A82);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectMf(nullptr));
    Inject(0xD6, 0x6982);
    EXPECT_EQ(SC_E_ACCESS_DENIED, card->UpdateBinaryFromStart(buf, 4));
    Inject(0x0E, 0x6700);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->EraseBinaryAll());
    Inject(0x84, 0x6D00);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->GetRandom(buf, 8));
    Inject(0xCA, 0x6A88);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, card->GetSerialNumber(buf, sizeof buf));
    Inject(0xE0, 0x6A84);
    SCFileHeaderList refs;
    EXPECT_EQ(SC_E_NO_SPACE_ON_CARD, card->CreateFile(10, 0x4499, 3, 0x0001, refs, nullptr));
    // Every operation gave back the reader's transaction, failures included.
    EXPECT_EQ(0u, card->GetReader()->GetTransactionDepth());
}

TEST_F(CardSim, CardInformationSerialRandomAndState) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    uint8_t serial[32];
    ASSERT_EQ(8, card->GetSerialNumber(serial, sizeof serial));
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, card->GetSerialNumber(serial, 4));
    uint8_t a[300] = {}, b[300] = {};
    ASSERT_EQ(SC_OK, card->GetRandom(a, sizeof a));
    ASSERT_EQ(SC_OK, card->GetRandom(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
    EXPECT_EQ(SC_LCS_ACTIVATED, card->GetLifeCycleState());
    EXPECT_EQ(3u, card->GetCardState());
    EXPECT_EQ(SC_OK, card->CheckCardState());
    // Erasing the whole file writes the erased value (00 on this model).
    ASSERT_EQ(SC_OK, card->SelectPath(kApp, 2, nullptr));
    ASSERT_EQ(SC_OK, card->VerifyPin(0x81, U8("1234"), 4));
    ASSERT_EQ(SC_OK, card->SelectChildEf(0x5701, nullptr));
    ASSERT_EQ(SC_OK, card->EraseBinaryAll());
    uint8_t data[36];
    ASSERT_EQ(36, card->ReadBinaryFromStart(data, 36));
    for (uint8_t x : data) EXPECT_EQ(0, x);
    EXPECT_EQ(SC_OK, card->ResetCard());
    EXPECT_EQ(3, card->VerifyPin(0x81, nullptr, SC_UNSET) + 0 * card->SelectPath(kApp, 2, nullptr));
}

TEST_F(CardSim, GlobalPlatformAppletIssuerDomainAndStatus) {
    SCCard* card = Connect("blank-model4");
    ASSERT_NE(nullptr, card);
    EXPECT_FALSE(card->IsAppletSelected());
    ASSERT_EQ(SC_OK, SCCard_ClassIC::SelectAppletThunk(card, 0));
    EXPECT_TRUE(card->IsAppletSelected());
    EXPECT_EQ("00A404040" "9F04341524453494D0400", Commands().at(0));
    EXPECT_TRUE(card->GetCurrentDf().IsMasterFile());
    ASSERT_EQ(SC_OK, card->SelectIssuerSecurityDomain());
    EXPECT_FALSE(card->IsAppletSelected());
    ASSERT_EQ(SC_OK, card->SelectApplet());
    EXPECT_EQ(SC_LCS_ACTIVATED, card->GetLifeCycleState());
    // Without GET DATA 5A the serial number comes from the production data.
    uint8_t full[16], ic[16];
    ASSERT_EQ(8, card->GetSerialNumber(full, sizeof full));
    Inject(0xCA, 0x6A88);
    ASSERT_EQ(4, card->GetSerialNumber(ic, sizeof ic));
    EXPECT_EQ(0, std::memcmp(full + 4, ic, 4));
    ClearLog();
    ASSERT_EQ(SC_OK, SCCard_GlobalPlatform::SetStatus(card, 0x80, 0x07, nullptr, 0));
    EXPECT_EQ("80F08007", Commands().at(0));
    EXPECT_EQ(SC_LCS_INITIALISATION, card->GetLifeCycleState());
    EXPECT_EQ(SC_OK, SCCard_ClassIC::RestoreSecurityEnvironment(card, 1));
    EXPECT_EQ("0022F301", Commands().back());
    // Not a ClassIC card: the static forms refuse it.
    SCCard* other = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, other);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, SCCard_ClassIC::RestoreSecurityEnvironment(other, 1));
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, SCCard_GlobalPlatform::SetStatus(other, 0x80, 0x0F, nullptr, 0));
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, other->SelectApplet());
}

TEST_F(CardSim, IasLifeCycleCardStateAndSecurityDataObjects) {
    // A not-activated card that asks for no secure channel.
    SCCard* card = ConnectGenerated("ias-plain", "pkcs15 --model 7 --lifecycle 07");
    ASSERT_NE(nullptr, card);
    EXPECT_TRUE(SCCard_IAS::ReadLifeCycleFromAtr(card));
    EXPECT_EQ(0x0700u, card->GetOptions() & 0xFF00);
    EXPECT_EQ(2, SCCard_IAS::DetectCardState(card));
    EXPECT_EQ(2u, card->GetCardState());
    ASSERT_EQ(SC_OK, card->SelectApplet());
    SCCard_IAS* ias = dynamic_cast<SCCard_IAS*>(card);
    ASSERT_NE(nullptr, ias);
    SCFileHeader_IAS sdo(0x81, 0x04);
    ClearLog();
    ASSERT_EQ(SC_OK, ias->GetSdoData(&sdo));
    EXPECT_EQ(0xBF8104u, sdo.GetSdoType());
    const uint8_t* v = nullptr;
    size_t n = 0;
    ASSERT_TRUE(sdo.FindInSdoBody(0x9B, &v, &n));
    EXPECT_EQ(3, v[0]);
    EXPECT_EQ("00CB3FFF084D06BF8104" "02A08000", Commands().at(0));
    EXPECT_EQ(3, ias->GetPinTriesLeft(0x04));
    // A card that does not answer the state query: the SDO gives the tries left.
    EXPECT_EQ(SC_E_VERIFY_FAILED, card->VerifyPin(0x04, U8("1111"), 4));
    Inject(0x20, 0x6A86);
    EXPECT_EQ(2, card->VerifyPin(0x04, nullptr, SC_UNSET));
    ias->SetVariant(1);
    EXPECT_EQ(SC_E_UNSUPPORTED_FEATURE, ias->GetPinTriesLeft(0x04));
    Inject(0x20, 0x6A86);
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016A86ULL), card->VerifyPin(0x04, nullptr, SC_UNSET));
    EXPECT_EQ(SC_OK, card->VerifyPin(0x04, U8("87654321"), 8));
    // Without a channel context the option cannot be set; with one it is a flag of the context.
    EXPECT_FALSE(SCCard_IAS::SetSmOption(card, true));
    SCSmCtx channel(SC_SM_MODE_GP_CHANNEL_FIRST);
    card->GetReader()->SetSmCtx(&channel);
    EXPECT_TRUE(SCCard_IAS::SetSmOption(card, true));
    EXPECT_NE(0u, channel.GetFlags() & SC_SM_FLAG_OPTION);
    EXPECT_TRUE(SCCard_IAS::SetSmOption(card, false));
    EXPECT_EQ(0u, channel.GetFlags() & SC_SM_FLAG_OPTION);
    card->GetReader()->SetSmCtx(nullptr);
    EXPECT_FALSE(SCCard_IAS::SetSmOption(Connect("blank-model4"), true));
    card = Connect("ias-plain");
    ias = dynamic_cast<SCCard_IAS*>(card);
    ASSERT_NE(nullptr, ias);
    // Activation through SET STATUS shows in the ATR and the card state.
    ASSERT_EQ(SC_OK, SCCard_GlobalPlatform::SetStatus(card, 0x80, 0x0F, nullptr, 0));
    EXPECT_EQ(3, SCCard_IAS::DetectCardState(card));
    // No channel to open again; no keys given; no key set given.
    EXPECT_EQ(SC_E_SM_NOT_ESTABLISHED, card->OpenSmChannel(0, 0, SC_UNSET, 0, 0));
    EXPECT_EQ(SC_E_BAD_PARAMS, card->SetupGpChannel(nullptr, 0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(SC_E_BAD_PARAMS, card->SetupSmDh(nullptr, 0));
}

TEST_F(CardSim, ModelOneMasterFileNameCodeAndTermination) {
    SCCard* card = Connect("blank-model1");
    ASSERT_NE(nullptr, card);
    SCFileHeader* mf = nullptr;
    ASSERT_EQ(SC_OK, card->SelectMf(&mf));
    size_t n = 0;
    const uint8_t* name = mf->GetDfName(&n);
    EXPECT_EQ("MIRTAL", std::string(reinterpret_cast<const char*>(name), n));
    EXPECT_EQ(0x01, mf->GetModelCode());
    SCAccessRequest terminate;
    terminate.operation = SC_AC_OP_TERMINATE_CARD;
    ASSERT_EQ(SC_OK, mf->GetAccessRefs(&terminate, nullptr));
    EXPECT_TRUE(terminate.refs.Contains(SC_AC_ALWAYS));
    SCFileHeader::SafeRelease(mf);
    ASSERT_EQ(SC_OK, card->TerminateCard());
    EXPECT_EQ(SC_RESULT_CODE(0xE000000000016A81ULL), card->SelectMf(nullptr));

    SCCard* qualified = Connect("qualified-model1");
    ASSERT_NE(nullptr, qualified);
    const uint16_t qdir[] = {0x3F00, 0xDF01};
    SCFileHeader* h = nullptr;
    ASSERT_EQ(SC_OK, qualified->SelectQualifiedPath(qdir, 2, &h));
    EXPECT_TRUE(h->HasPinRef(0x01));
    EXPECT_FALSE(h->HasPinRef(0x81));
    SCFileHeader::SafeRelease(h);
    SCAccessRequest create;
    create.operation = SC_AC_OP_CREATE_EF;
    ASSERT_EQ(SC_OK, qualified->GetSelectedAccessRules(&create, 1));
    EXPECT_TRUE(create.refs.Contains(0xC001));
    EXPECT_EQ(SC_E_ACCESS_DENIED, qualified->TerminateCard());
    // A certificate file made in the qualified directory takes the DF's creation rule.
    ASSERT_EQ(SC_OK, qualified->SelectPath(qdir, 2, nullptr));
    EXPECT_EQ(SC_E_ACCESS_DENIED, qualified->CreateBinaryFile(0xC001, 100, 0));
    ASSERT_EQ(SC_OK, qualified->SelectMf(nullptr));
    ASSERT_EQ(SC_OK, qualified->VerifyPin(0x01, U8("87654321"), 8));
    ASSERT_EQ(SC_OK, qualified->SelectPath(qdir, 2, nullptr));
    ASSERT_EQ(SC_OK, qualified->CreateBinaryFile(0xC001, 100, 0));
    SCFileHeader* c = nullptr;
    ASSERT_EQ(SC_OK, qualified->SelectChildEf(0xC001, &c));
    EXPECT_EQ(100u, c->GetFileSize());
    SCAccessRequest read, update;
    read.operation = SC_AC_OP_READ;
    update.operation = SC_AC_OP_UPDATE;
    ASSERT_EQ(SC_OK, c->GetAccessRefs(&read, nullptr));
    ASSERT_EQ(SC_OK, c->GetAccessRefs(&update, nullptr));
    EXPECT_TRUE(read.refs.Contains(0));
    EXPECT_TRUE(update.refs.Contains(0xC001));
    SCFileHeader::SafeRelease(c);
}

TEST_F(CardSim, EveryModelRunsTheCommonFileOperations) {
    for (int model = 0; model < 8; ++model) {
        SCCard* card = model == 1 || model == 3 || model == 4 || model == 7 ? Connect("blank-model" + std::to_string(model))
                                                                              : ConnectBlank(model);
        ASSERT_NE(nullptr, card) << model;
        EXPECT_EQ(static_cast<uint32_t>(model), card->GetCardType());
        const bool gp = model == 4 || model == 6 || model == 7;
        EXPECT_EQ(gp, dynamic_cast<SCCard_GlobalPlatform*>(card) != nullptr);
        if (gp) {
            ASSERT_EQ(SC_OK, card->SelectApplet()) << model;
        }
        SCFileHeader* mf = nullptr;
        ASSERT_EQ(SC_OK, card->SelectMf(&mf)) << model;
        // Models 2 and 6 keep no access rules in their headers.
        const bool rules = model != 2 && model != 6;
        EXPECT_EQ(rules, mf->HasAccessRules()) << model;
        SCFileHeader::SafeRelease(mf);
        SCCardInfo info;
        std::memset(&info, 0, sizeof info);
        ASSERT_EQ(SC_OK, card->GetCardInfo(&info));
        EXPECT_EQ(rules && model != 0, (info.pinCaps & SC_PIN_CAP_ACCESS_RULES) != 0) << model;
        SCFileHeaderList refs;
        refs.SetRef(SC_REFIDX_USER_PIN, 0x04);
        ASSERT_EQ(SC_OK, card->CreateFile(40, 0x1234, SC_LCS_ACTIVATED, 0x000B, refs, nullptr)) << model;
        const uint8_t text[] = "written to every model's card";
        ASSERT_EQ(SC_OK, card->UpdateBinaryFromStart(text, sizeof text));
        uint8_t back[40] = {};
        ASSERT_EQ(40, card->ReadBinaryFromStart(back, 40));
        EXPECT_EQ(0, std::memcmp(text, back, sizeof text));
        // The erased value of the model fills the rest.
        EXPECT_EQ(model == 3 || model == 4 ? 0x00 : 0xFF, back[39]) << model;
        const uint16_t path[] = {0x3F00, 0x1234};
        SCAccessRequest read;
        read.operation = SC_AC_OP_READ;
        EXPECT_EQ(rules ? SC_OK : SC_E_UNSUPPORTED_FEATURE,
                  card->GetAccessRules(path, 2, &read, 1, nullptr, 0, false, &refs)) << model;
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        const SCRESULT resized = card->ResizeFile(0x1234, 80, nullptr);
        if (model == 2 || model == 5 || model == 6) {
            EXPECT_EQ(SC_E_UNIMPLEMENTED_FEATURE, resized) << model;
        } else {
            EXPECT_EQ(SC_OK, resized) << model;
        }
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        EXPECT_EQ(SC_OK, card->DeleteFile(0x1234)) << model;
        EXPECT_EQ(SC_E_FILE_NOT_FOUND, card->SelectChildEf(0x1234, nullptr));
        // A file made where anyone may create, or where the DF shows no rule, is no one's to change.
        ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
        ASSERT_EQ(SC_OK, card->CreateBinaryFile(0x1235, 8, 0)) << model;
        EXPECT_EQ(SC_E_ACCESS_DENIED, card->UpdateBinaryFromStart(text, 8)) << model;
        if (model == 4)  // issued without PINs
            EXPECT_EQ(SC_E_NO_REFERENCED_DATA, card->VerifyPin(0x01, nullptr, SC_UNSET)) << model;
        else
            EXPECT_EQ(3, card->VerifyPin(model == 1 ? 0x01 : 0x04, nullptr, SC_UNSET)) << model;
    }
}

TEST_F(CardSim, FreeFileIdentifiersLeaveTheCurrentDfAsItWas) {
    SCCard* card = Connect("pkcs15-model3");
    ASSERT_NE(nullptr, card);
    ASSERT_EQ(SC_OK, card->SelectMf(nullptr));
    // 5015 is the application DF: entered while probing and left again.
    EXPECT_EQ(0x5016, card->FindFreeFileId(nullptr, 0, 0x5015));
    EXPECT_TRUE(card->GetCurrentDf().IsMasterFile());
    EXPECT_EQ(SC_OK, card->SelectChildEf(0x2F00, nullptr));
    // Candidates outside 0100..EFFF start at 0100.
    EXPECT_EQ(0x0100, card->FindFreeFileId(nullptr, 0, 0xF000));
    // After a selection by name the DF's path is not known; EFs do not move it.
    ASSERT_EQ(SC_OK, card->SelectByAid(kPkcs15Aid.data(), kPkcs15Aid.size(), 0, nullptr));
    EXPECT_EQ(0x4406, card->FindFreeFileId(nullptr, 0, 0x4401));
    EXPECT_EQ(SC_OK, card->SelectChildEf(0x5031, nullptr));
    EXPECT_EQ(0x4406, card->FindFreeFileId(kApp, 2, 0x4401));
    EXPECT_TRUE(card->GetCurrentDf().IsEqual(SCPath(kApp, 2)));
}
