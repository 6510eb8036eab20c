// The qualified-signature part as the reader bridge sees it, on simulated
// cards: qualified PINs, the state of the fixed files, the certificate file,
// the rules for changing objects, the end of a token's use; and the officer's
// reference found on a master file's header.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/libpkcs15/asnpkcs15authobject.h"
#include "pkcs11impl/cryptoki_vendor.h"
#include "pkcs11impl/sccardfilehelper.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/objectattr.h"
#include "pkcs15/scpkcs15app.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_transactguard.h"
#include "tests/pkcs11impl/sim_bridge.h"

using namespace bridgehost;

namespace {

const char* const kR0 = "CardSim Reader 0";

// The bridge over one simulated reader, with the application's objects and PINs at hand.
struct QualifiedHost : SimBridge {
  explicit QualifiedHost(const std::string& image) : SimBridge(kR0, image) {}

  std::vector<void*> Find(uint32_t kind) {
    SCPkcs15ObjectAttributeList tmpl;
    tmpl.AddInteger(1, kind);
    std::vector<void*> out;
    app->FindObjects(&tmpl, &out, 0);
    return out;
  }
  ASNPkcs15AuthObject* Pin(int kind) {
    ASNPkcs15AuthObject* pin = nullptr;
    app->FindPinObject(kind, &pin);
    return pin;
  }
  SCRESULT Verify(const uint16_t* dir, size_t n, uint8_t ref, const char* pin) {
    SCTransactGuard guard(card);
    const SCRESULT r = card->SelectPath(dir, n, nullptr);
    return r < 0 ? r : card->VerifyPin(ref, reinterpret_cast<const uint8_t*>(pin), static_cast<uint32_t>(std::strlen(pin)));
  }
};

void SetLabel(ASNPkcs15AuthObject* pin, const char* label) {
  ASSERT_EQ(1, pin->commonObjectAttributes.label.setText(label, -1));
  pin->commonObjectAttributes.wasLabel = 1;
}

}  // namespace

TEST(BridgeQualified, ModelOneCardReportsTheFilesOfItsQualifiedPart) {
  QualifiedHost h("qualified-model1.card");
  ASSERT_TRUE(h.Start());
  // The application's user PIN guards 3F00/5015, not the qualified directory.
  ASNPkcs15AuthObject* user = h.Pin(SCPkcs15App::PIN_USER);
  ASSERT_NE(nullptr, user);
  EXPECT_FALSE(h.bridge.IsQualifiedPin(h.app, SCPkcs15App::HandleOfPin(user)));
  ASNPkcs15AuthObject* found = nullptr;
  EXPECT_EQ(SC_E_PKCS15_PIN_NOT_FOUND, h.bridge.FindQualifiedPin(h.app, &found));
  // A model-1 card does not go by labels.
  SetLabel(user, "PIN Kwalifikowany");
  EXPECT_FALSE(h.bridge.IsQualifiedPin(h.app, SCPkcs15App::HandleOfPin(user)));

  CK_FLAGS flags = 0xFFFF;
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, false));
  EXPECT_EQ(0u, flags);  // no qualified PIN, and no report asked for
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, true));
  // The directory and its three files are there and activated; the key and the root key hold
  // values, the certificate file waits for its certificate; no object of the application shows them.
  EXPECT_EQ(CKF_MIRTAL_QUAL_SIGGDIR_PRESENT | CKF_MIRTAL_QUAL_SIGGDIR_ACTIVATED | CKF_MIRTAL_QUAL_SIGGDIR_VISIBLE |
                CKF_MIRTAL_QUAL_USERPRVKEY_PRESENT | CKF_MIRTAL_QUAL_USERPRVKEY_INITIATED |
                CKF_MIRTAL_QUAL_USERPRVKEY_ACTIVATED | CKF_MIRTAL_QUAL_USERCERT_PRESENT |
                CKF_MIRTAL_QUAL_USERCERT_ACTIVATED | CKF_MIRTAL_QUAL_ROOTPUBKEY_PRESENT |
                CKF_MIRTAL_QUAL_ROOTPUBKEY_INITIATED | CKF_MIRTAL_QUAL_ROOTPUBKEY_ACTIVATED,
            flags);

  // The application's own key and certificate are ordinary objects: the token takes its own path.
  for (uint32_t kind : {0x10100u, 0x200u}) {
    const std::vector<void*> objects = h.Find(kind);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(QUALIFIED_OBJECT_NONE, h.bridge.GetQualifiedObjectKind(h.app, objects[0]));
    EXPECT_EQ(QUALIFIED_NOT_HANDLED, h.bridge.SetQualifiedObjectAttributes(h.app, objects[0], nullptr));
    EXPECT_EQ(QUALIFIED_NOT_HANDLED, h.bridge.DestroyQualifiedObject(h.app, objects[0]));
  }
  SCPkcs15ObjectAttributeList tmpl;
  tmpl.AddBinary(0x201, "\x01", 1);
  void* created = nullptr;
  EXPECT_EQ(QUALIFIED_NOT_HANDLED, h.bridge.CreateQualifiedObject(h.app, &tmpl, &created));
}

TEST(BridgeQualified, CertificateFileCountsAsUsedOnceItHoldsSomething) {
  QualifiedHost h("qualified-model1.card");
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(0, h.bridge.IsCertificateFileUsed(h.card));  // all FF
  // The user PIN of the qualified directory may update the file, the officer creates in it.
  const SCRESULT access = h.bridge.GetQualifiedCertFileAccess(h.app);
  ASSERT_GE(access, 0);
  EXPECT_EQ(QUALIFIED_ACCESS_USER_UPDATE, static_cast<uint32_t>(access) & 0x77);

  size_t n = 0;
  const uint16_t* dir = SCCardFileHelper::GetAppDirPath(&n);
  ASSERT_EQ(SC_OK, h.Verify(dir, n, 0x81, "123456"));
  SCCardFileHelper files;
  files.Init(h.card);
  EXPECT_TRUE(files.IsModel1Card());
  ASSERT_EQ(SC_OK, files.ReadAppDirHeader());
  const uint8_t zeros[4] = {0, 0, 0, 0};
  ASSERT_EQ(SC_OK, files.WriteFile(0xC000, zeros, sizeof zeros));
  EXPECT_EQ(0, h.bridge.IsCertificateFileUsed(h.card));  // zeros are no content either
  const uint8_t der[2] = {0x30, 0x82};
  ASSERT_EQ(SC_OK, files.WriteFile(0xC000, der, sizeof der));
  EXPECT_EQ(1, h.bridge.IsCertificateFileUsed(h.card));
  ASSERT_EQ(SC_OK, files.EraseFile(0xC000));
  EXPECT_EQ(0, h.bridge.IsCertificateFileUsed(h.card));
  // The helper works only on model-1 cards and only with a card.
  SCCardFileHelper none;
  EXPECT_EQ(SC_E_BAD_USAGE, none.ReadAppDirHeader());
  EXPECT_EQ(SC_E_BAD_USAGE, none.EraseFile(0xC000));
}

TEST(BridgeQualified, QualifiedCertificateIsWrittenIntoTheFixedFileAndDestroyedFromIt) {
  QualifiedHost h("qualified-model1.card");
  ASSERT_TRUE(h.Start());
  size_t n = 0;
  const uint16_t* dir = SCCardFileHelper::GetAppDirPath(&n);
  const std::string cert = testhost::ReadFile(std::string(MIRTAL_TEST_DATA_DIR) + "/label-cn.der");
  ASSERT_FALSE(cert.empty());
  SCPkcs15ObjectAttributeList attrs;
  attrs.AddAttribute(2)->SetString(2, "Qualified certificate");
  attrs.AddBinary(0x201, "\x51", 1);
  void* made = reinterpret_cast<void*>(1);
  // Without the certificate's value nothing is written.
  EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, 0x10));
  EXPECT_EQ(nullptr, made);
  attrs.AddBinary(0xFF000002, cert.data(), static_cast<uint32_t>(cert.size()));
  // A certificate file missing from the access word, or one the user may not update, is refused.
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED,
            h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, QUALIFIED_ACCESS_NO_CERT_FILE | 0x10));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, 0x20));
  // Without the qualified PIN the card refuses the write.
  EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, 0x10));
  EXPECT_EQ(0, h.bridge.IsCertificateFileUsed(h.card));

  // The application keeps its user PIN for its own writes; the qualified PIN opens the fixed file.
  ASSERT_EQ(SC_OK, h.app->VerifyPin(h.Pin(SCPkcs15App::PIN_USER), "1234", true, nullptr));
  ASSERT_EQ(SC_OK, h.Verify(dir, n, 0x81, "123456"));
  ASSERT_EQ(CKR_OK, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, 0x10));
  ASSERT_NE(nullptr, made);
  EXPECT_EQ(1, h.bridge.IsCertificateFileUsed(h.card));
  EXPECT_EQ(2u, h.Find(0x200).size());
  EXPECT_EQ(QUALIFIED_OBJECT_CERTIFICATE, h.bridge.GetQualifiedObjectKind(h.app, made));
  CK_FLAGS flags = 0;
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, true));
  EXPECT_EQ(CKF_MIRTAL_QUAL_USERCERT_INITIATED | CKF_MIRTAL_QUAL_USERCERT_VISIBLE,
            flags & (CKF_MIRTAL_QUAL_USERCERT_INITIATED | CKF_MIRTAL_QUAL_USERCERT_VISIBLE));
  // A second certificate does not go over the first.
  void* second = nullptr;
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &second, 0x10));

  // Destroying it empties the fixed file and drops the record; the file stays.
  ASSERT_EQ(CKR_OK, h.bridge.DestroyQualifiedObject(h.app, made));
  EXPECT_EQ(0, h.bridge.IsCertificateFileUsed(h.card));
  EXPECT_EQ(1u, h.Find(0x200).size());
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, true));
  EXPECT_EQ(CKF_MIRTAL_QUAL_USERCERT_PRESENT, flags & (CKF_MIRTAL_QUAL_USERCERT_PRESENT |
                                                       CKF_MIRTAL_QUAL_USERCERT_INITIATED |
                                                       CKF_MIRTAL_QUAL_USERCERT_VISIBLE));
}

TEST(BridgeQualified, ModelThreeCardNamesItsQualifiedPinByLabel) {
  QualifiedHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start());
  ASNPkcs15AuthObject* user = h.Pin(SCPkcs15App::PIN_USER);
  ASNPkcs15AuthObject* so = h.Pin(SCPkcs15App::PIN_SO);
  ASSERT_NE(nullptr, user);
  ASSERT_NE(nullptr, so);
  CK_FLAGS flags = 0xFFFF;
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, false));
  EXPECT_EQ(0u, flags);
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, true));
  EXPECT_EQ(0x1119u, flags);

  // Only a user PIN counts, whatever the officer's PIN is called.
  SetLabel(so, "qualified officer");
  EXPECT_FALSE(h.bridge.IsQualifiedPin(h.app, SCPkcs15App::HandleOfPin(so)));
  SetLabel(user, "PIN kWALIFIKOWANY");
  EXPECT_TRUE(h.bridge.IsQualifiedPin(h.app, SCPkcs15App::HandleOfPin(user)));
  ASNPkcs15AuthObject* found = nullptr;
  ASSERT_EQ(SC_OK, h.bridge.FindQualifiedPin(h.app, &found));
  EXPECT_EQ(user, found);
  EXPECT_FALSE(h.bridge.IsQualifiedPin(h.app, reinterpret_cast<void*>(&flags)));

  // The key that the qualified PIN guards, and the certificate of that key, are the qualified part.
  const std::vector<void*> keys = h.Find(0x10100);
  const std::vector<void*> certs = h.Find(0x200);
  ASSERT_EQ(1u, keys.size());
  ASSERT_EQ(1u, certs.size());
  EXPECT_EQ(QUALIFIED_OBJECT_PRIVATE_KEY, h.bridge.GetQualifiedObjectKind(h.app, keys[0]));
  EXPECT_EQ(QUALIFIED_OBJECT_CERTIFICATE, h.bridge.GetQualifiedObjectKind(h.app, certs[0]));
  EXPECT_EQ(QUALIFIED_OBJECT_NONE, h.bridge.GetQualifiedObjectKind(h.app, h.Find(0x20100).at(0)));
  ASSERT_EQ(CKR_OK, h.bridge.GetQualifiedPartCharacteristics(h.app, &flags, false));
  EXPECT_EQ(0xFFDu, flags);
  // Changes of the qualified part are the model-1 card's rules only.
  EXPECT_EQ(QUALIFIED_NOT_HANDLED, h.bridge.DestroyQualifiedObject(h.app, keys[0]));
  // Nor has this card the fixed directory that a qualified certificate file needs.
  SCPkcs15ObjectAttributeList attrs;
  attrs.AddBinary(0xFF000002, "\x30\x00", 2);
  void* made = nullptr;
  EXPECT_EQ(CKR_MIRTAL_QUALIFIED_TOKEN_NOT_INITIATED, h.bridge.CreateCertificateInFixedFile(h.app, &attrs, &made, 0xFFFF));
  EXPECT_EQ(nullptr, made);
}

TEST(BridgeQualified, WithoutAnApplicationThereIsNothingToReport) {
  QualifiedHost q("qualified-model1.card");
  ASSERT_TRUE(q.Start());
  CK_FLAGS flags = 0xFF;
  EXPECT_EQ(CKR_GENERAL_ERROR, q.bridge.GetQualifiedPartCharacteristics(nullptr, &flags, true));
  EXPECT_EQ(0u, flags);
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, q.bridge.TerminateTokenUsage(nullptr, nullptr));
  EXPECT_EQ(QUALIFIED_NOT_HANDLED, q.bridge.SetQualifiedObjectAttributes(nullptr, nullptr, nullptr));
  EXPECT_EQ(QUALIFIED_OBJECT_NONE, q.bridge.GetQualifiedObjectKind(q.app, nullptr));
}

TEST(BridgeQualified, TerminatingATokenChecksTheRightVerifiesThePinAndEndsTheCard) {
  QualifiedHost h("qualified-model1.card");
  // The card's termination rule names the application's user PIN, which is made global.
  h.Patch("qualified-model1.card", "terminate:pin:04", "terminate:pin:81");
  h.Patch("qualified-model1.card", "pin 3F00/5015 ref=81", "pin 3F00 ref=81");
  ASSERT_TRUE(h.Start());
  // A null PIN only checks the right; a wrong PIN leaves the card as it was.
  EXPECT_EQ(CKR_OK, h.bridge.TerminateTokenUsage(h.app, nullptr));
  EXPECT_EQ(CKR_PIN_INCORRECT, h.bridge.TerminateTokenUsage(h.app, "9999"));
  EXPECT_EQ(CKR_OK, h.bridge.TerminateTokenUsage(h.app, nullptr));
  // An empty PIN is a check as well: the card is still there afterwards.
  EXPECT_EQ(CKR_OK, h.bridge.TerminateTokenUsage(h.app, ""));
  EXPECT_EQ(SC_OK, h.card->SelectMf(nullptr));
  ASSERT_EQ(CKR_OK, h.bridge.TerminateTokenUsage(h.app, "1234"));
  // A terminated card selects nothing any more.
  EXPECT_LT(h.card->SelectMf(nullptr), 0);
}

TEST(BridgeQualified, TerminationNeedsTheUserPinInTheCardsRule) {
  QualifiedHost h("qualified-model1.card");
  ASSERT_TRUE(h.Start());
  // The card's own rule names the officer's PIN: the token's user may not end the card.
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.bridge.TerminateTokenUsage(h.app, nullptr));
  EXPECT_EQ(CKR_TOKEN_WRITE_PROTECTED, h.bridge.TerminateTokenUsage(h.app, "1234"));
  EXPECT_EQ(SC_OK, h.card->SelectMf(nullptr));
}

TEST(BridgeQualified, OnlyModelOneTokensAreTerminated) {
  QualifiedHost h("pkcs15-model3.card");
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, h.bridge.TerminateTokenUsage(h.app, nullptr));
  EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, h.bridge.TerminateTokenUsage(h.app, "1234"));
}

TEST(BridgeQualified, OfficersReferenceIsTheFirstPinGuardingTheMasterFile) {
  // FCP of a DF with access rules in expanded form: 80 01 mode, then A4 (PIN rr) or 90 00 (always).
  const auto header = [](const std::vector<uint8_t>& rules) {
    std::vector<uint8_t> fcp = {0x82, 0x01, 0x38, 0x83, 0x02, 0x3F, 0x00, 0xAB, static_cast<uint8_t>(rules.size())};
    fcp.insert(fcp.end(), rules.begin(), rules.end());
    fcp.insert(fcp.begin(), {0x62, static_cast<uint8_t>(fcp.size())});
    SCFileHeader* h = new SCFileHeader();
    EXPECT_EQ(SC_OK, h->Parse(fcp.data(), fcp.size()));
    return h;
  };
  const auto pin = [](uint8_t mode, uint8_t ref) {
    return std::vector<uint8_t>{0x80, 0x01, mode, 0xA4, 0x06, 0x83, 0x01, ref, 0x95, 0x01, 0x08};
  };
  const std::vector<uint8_t> always = {0x80, 0x01, 0x10, 0x90, 0x00};
  std::vector<uint8_t> rules = pin(0x40 | 0x10, 3);  // delete and activate under PIN 3
  SCFileHeader* h = header(rules);
  EXPECT_EQ(3, FindSoPinReference(h));
  delete h;
  rules = pin(0x40, 5);
  rules.insert(rules.end(), always.begin(), always.end());  // activate always allowed
  h = header(rules);
  EXPECT_EQ(5, FindSoPinReference(h));
  delete h;
  rules = pin(0x40, 2);
  std::vector<uint8_t> act = pin(0x10, 6);
  rules.insert(rules.end(), act.begin(), act.end());  // no single PIN guards both
  h = header(rules);
  EXPECT_EQ(255, FindSoPinReference(h));
  delete h;
  rules = pin(0x40 | 0x10, 9);  // references above 7 are not looked at
  h = header(rules);
  EXPECT_EQ(255, FindSoPinReference(h));
  delete h;
  EXPECT_EQ(255, FindSoPinReference(nullptr));
  EXPECT_EQ(255, FindSoPinReference(SCFileHeader::AbsentMarker()));
}
