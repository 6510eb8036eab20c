// RSA key objects: the software primitives checked against OpenSSL, and the
// card road (signature, decipher, key generation with clean-up on failure)
// against the simulator's PKCS#15 card.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/core_names.h>
#include <openssl/bn.h>

#include <cstring>
#include <string>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15rsaprvkeyobject.h"
#include "lib/libasn/x509/spkinfo.h"
#include "smartcard/sc_digestinfo.h"
#include "smartcard/sc_transactguard.h"
#include "support/memfile.h"
#include "tests/pkcs15/openssl_rsa.h"
#include "tests/smartcard/card_fixture.h"

namespace {

using namespace p15test;

class SoftwareRsa : public ::testing::Test {
protected:
    void SetUp() override {
        m_key = EVP_RSA_gen(2048);
        ASSERT_NE(nullptr, m_key);
        n = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_N);
        e = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_E);
        d = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_D);
        p = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_FACTOR1);
        q = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_FACTOR2);
        dp = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
        dq = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
        qi = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    }
    void TearDown() override { EVP_PKEY_free(m_key); }
    EVP_PKEY* m_key = nullptr;
    Bytes n, e, d, p, q, dp, dq, qi;
};

}  // namespace

TEST(RsaKeyObjectBasics, NewAndResetKeyObjectsKnowNothingOfTheKey) {
    SCPkcs15PrivateRsaKeyObject key(nullptr);
    EXPECT_EQ(0xFF, key.GetKeyReference());
    EXPECT_EQ(-1, key.GetValueState());
    EXPECT_FALSE(key.IsOnCardGenerated());
    EXPECT_EQ(SCPkcs15KeyObject::KEY_RSA, key.GetKeyType());
    // The RSA reset keeps what the card said of the key.
    key.SetKeyReference(0x101);
    EXPECT_EQ(0x01, key.GetKeyReference());
    key.SetValueState(0);
    key.Reset(false);
    EXPECT_EQ(0x01, key.GetKeyReference());
    EXPECT_TRUE(key.IsValueOnCardOnly());
    // The plain key-object reset forgets it.
    key.SCPkcs15KeyObject::Reset(false);
    EXPECT_EQ(0xFF, key.GetKeyReference());
    EXPECT_EQ(-1, key.GetValueState());
}

TEST(RsaKeyObjectBasics, BitLengthCountsSignificantBits) {
    const uint8_t a[] = {0x00, 0x01}, b[] = {0x80}, z[] = {0, 0, 0}, e[] = {0x01, 0x00, 0x01};
    EXPECT_EQ(1u, SCPkcs15KeyObject::BitLength(a, 2));
    EXPECT_EQ(8u, SCPkcs15KeyObject::BitLength(b, 1));
    EXPECT_EQ(0u, SCPkcs15KeyObject::BitLength(b, 0));
    EXPECT_EQ(0u, SCPkcs15KeyObject::BitLength(z, 3));
    EXPECT_EQ(17u, SCPkcs15KeyObject::BitLength(e, 3));
    EXPECT_EQ(0u, SCPkcs15KeyObject::BitLength(nullptr, 4));
}

TEST(RsaKeyObjectBasics, BlockTypeOneUnpaddingAcceptsOnlyWellFormedBlocks) {
    Bytes good = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xAA, 0xBB};
    const uint8_t* data = SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(good.data(), static_cast<uint32_t>(good.size()));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(good.data() + 11, data);
    // Fewer than eight FF octets make no PKCS#1 block: no padding at all, or seven.
    Bytes empty = {0x00, 0x01, 0x00, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(empty.data(), 11));
    Bytes seven = {0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(seven.data(), 12));
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(good.data(), 10));  // shorter than 11
    Bytes noSep(good.begin(), good.begin() + 10);
    noSep.push_back(0xFF);
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(noSep.data(), 11));
    Bytes badType = good;
    badType[1] = 0x02;
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(badType.data(), 13));
    Bytes badFill = good;
    badFill[2] = 0x7F;
    EXPECT_EQ(nullptr, SCPkcs15RsaKeyObject::Pkcs1UnpadBlockType1(badFill.data(), 13));
    EXPECT_TRUE(SCPkcs15RsaKeyObject::IsAllZero(nullptr, 0));
}

TEST_F(SoftwareRsa, SignaturesVerifyWithOpenSslWithFullKeyAndWithCrtMembersOnly) {
    const Bytes msg = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
    const Bytes di = Sha256DigestInfo(msg);
    for (bool crtOnly : {false, true}) {
        SCPkcs15PrivateRsaKeyObject key(nullptr);
        ASSERT_EQ(1, key.value.setComponents(n.data(), (long)n.size(), e.data(), (long)e.size(),
                                             crtOnly ? nullptr : d.data(), (long)d.size(), p.data(), (long)p.size(),
                                             q.data(), (long)q.size(), dp.data(), (long)dp.size(), dq.data(),
                                             (long)dq.size(), qi.data(), (long)qi.size()));
        uint32_t len = 0;
        EXPECT_EQ(0, key.SignInSoftware(2, 0, di.data(), (uint32_t)di.size(), nullptr, &len));
        EXPECT_EQ(256u, len);
        Bytes sig(len);
        ASSERT_EQ(0, key.SignInSoftware(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
        EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig)) << "crtOnly " << crtOnly;
        // The bare digest with the prefix added by the signer gives the same signature.
        Bytes sig2(256);
        len = 256;
        ASSERT_EQ(0, key.SignInSoftware(258, SC_HASH_SHA256, di.data() + 19, 32, sig2.data(), &len));
        EXPECT_EQ(sig, sig2);
        // And our own verification accepts it and refuses a changed digest.
        EXPECT_EQ(0, SCPkcs15RsaKeyObject::RsaVerify(2, 0, key.value.modulus, key.value.publicExponent, sig.data(),
                                                     di.data(), (uint32_t)di.size()));
        Bytes other = di;
        other.back() ^= 1;
        EXPECT_EQ(SC_E_PKCS15_DIFFERENT,
                  SCPkcs15RsaKeyObject::RsaVerify(258, SC_HASH_SHA256, key.value.modulus, key.value.publicExponent,
                                                  sig.data(), other.data() + 19, 32));
        uint32_t tooSmall = 100;
        EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, key.SignInSoftware(2, 0, di.data(), 51, sig.data(), &tooSmall));
        EXPECT_EQ(256u, tooSmall);
    }
    // PKCS #1 padding takes at most k - 11 octets of data: OpenSSL recovers them whole.
    SCPkcs15PrivateRsaKeyObject key(nullptr);
    ASSERT_EQ(1, key.value.setComponents(n.data(), (long)n.size(), e.data(), (long)e.size(), d.data(), (long)d.size(),
                                         nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0));
    const Bytes longest(245, 0x6B);
    Bytes sig(256);
    uint32_t len = 256;
    ASSERT_EQ(0, key.SignInSoftware(2, 0, longest.data(), 245, sig.data(), &len));
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(m_key, nullptr);
    ASSERT_NE(nullptr, ctx);
    Bytes recovered(256);
    size_t recLen = recovered.size();
    EXPECT_EQ(1, EVP_PKEY_verify_recover_init(ctx));
    EXPECT_EQ(1, EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING));
    EXPECT_EQ(1, EVP_PKEY_verify_recover(ctx, recovered.data(), &recLen, sig.data(), sig.size()));
    EVP_PKEY_CTX_free(ctx);
    EXPECT_EQ(longest, Bytes(recovered.begin(), recovered.begin() + static_cast<long>(recLen)));
    const Bytes tooLong(246, 0x6B);
    len = 256;
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH, key.SignInSoftware(2, 0, tooLong.data(), 246, sig.data(), &len));
}

TEST_F(SoftwareRsa, DecryptionUndoesOpenSslAndRefusesShortPaddingAndBadBlocks) {
    SCPkcs15PrivateRsaKeyObject key(nullptr);
    ASSERT_EQ(1, key.value.setComponents(n.data(), (long)n.size(), e.data(), (long)e.size(), d.data(), (long)d.size(),
                                         nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0));
    const Bytes msg = {'s', 'e', 'c', 'r', 'e', 't'};
    Bytes ct = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
    ASSERT_EQ(256u, ct.size());
    Bytes out(256);
    uint32_t len = 256;
    ASSERT_EQ(0, key.DecryptInSoftware(2, ct.data(), 256, out.data(), &len));
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    // A block whose padding string is only 7 bytes long is no PKCS#1 block.
    Bytes block(256, 0x00);
    block[1] = 0x02;
    for (int i = 2; i < 9; ++i) block[i] = 0x5A;
    block[9] = 0x00;
    for (int i = 10; i < 256; ++i) block[i] = 0x11;
    Bytes raw = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    len = 256;
    EXPECT_EQ(SC_E_CRYPT_ERROR, key.DecryptInSoftware(2, raw.data(), 256, out.data(), &len));
    // Not beginning 00 02, and no separator at all.
    block[9] = 0x33;
    raw = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    EXPECT_EQ(SC_E_CRYPT_ERROR, key.DecryptInSoftware(2, raw.data(), 256, out.data(), &len));
    block[1] = 0x01;
    raw = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    EXPECT_EQ(SC_E_CRYPT_ERROR, key.DecryptInSoftware(2, raw.data(), 256, out.data(), &len));
    // Raw mechanism gives the whole block back; a wrong input length is refused.
    len = 256;
    ASSERT_EQ(0, key.DecryptInSoftware(1, raw.data(), 256, out.data(), &len));
    EXPECT_EQ(block, out);
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH, key.DecryptInSoftware(1, raw.data(), 255, out.data(), &len));
    // An input not below the modulus is refused rather than reduced.
    Bytes big(256, 0xFF);
    EXPECT_EQ(SC_E_INVALID_DATA_VALUE, key.DecryptInSoftware(1, big.data(), 256, out.data(), &len));
}

TEST(RsaKeyObjectBasics, HostileKeyValuesGiveErrorsNotCrashes) {
    SCPkcs15PrivateRsaKeyObject key(nullptr);
    uint8_t out[16];
    uint32_t len = sizeof out;
    EXPECT_EQ(SC_E_PKCS15_KEY_UNSUPPORTED, key.SignInSoftware(1, 0, out, 4, out, &len));
    const uint8_t evenMod[] = {0x10, 0x00}, exp[] = {0x03};
    ASSERT_EQ(1, key.value.setComponents(evenMod, 2, exp, 1, exp, 1, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0,
                                         nullptr, 0));
    len = sizeof out;
    const uint8_t in[2] = {0x00, 0x05};
    EXPECT_EQ(SC_E_PKCS15_KEY_UNSUPPORTED, key.SignInSoftware(1, 0, in, 2, out, &len));
    MemFile junk;
    const uint8_t bytes[] = {0x30, 0x03, 0x02, 0x01};
    junk.Write(sizeof bytes, bytes);
    junk.Seek(0);
    EXPECT_LT(key.Parse(&junk, sizeof bytes), 0);
}

// ---------------------------------------------------------------------------

namespace {

const uint16_t kAppDf[] = {0x3F00, 0x5015};

class CardRsa : public CardSim {
protected:
    void SetUp() override {
        CardSim::SetUp();
        SCPkcs15InstallAppServices();
        m_card = Connect("pkcs15-model3");
        ASSERT_NE(nullptr, m_card);
        m_p15.reset(new SCPkcs15Card(m_card));
        ASSERT_EQ(0, m_p15->Load());
        m_app = m_p15->GetApplicationAt(0);
        ASSERT_NE(nullptr, m_app);
        ASSERT_EQ(0, m_app->Load(false));
        ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &m_pin));
    }
    void TearDown() override {
        m_p15.reset();
        CardSim::TearDown();
    }
    void Place(SCPkcs15PathObjectInfo& obj, uint16_t fid) {
        obj.SetApplication(m_app);
        obj.SetAuthHandle(SCPkcs15App::HandleOfPin(m_pin));
        ASSERT_TRUE(obj.SetBasePath(kAppDf, 2));
        ASSERT_TRUE(obj.SetPath(&fid, 1));
    }
    SCRESULT Login() { return m_app->VerifyPin(m_pin, "1234", true, nullptr); }
    Bytes CardPublicKeyDer() {
        SCPkcs15PublicRsaKeyObject pub(m_card);
        Place(pub, 0x5501);
        EXPECT_EQ(0, pub.Load(false));
        EXPECT_EQ(1, pub.GetValueState());
        return EncodePublic(pub.value);
    }

    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCPkcs15App* m_app = nullptr;
    ASNPkcs15AuthObject* m_pin = nullptr;
};

}  // namespace

TEST_F(CardRsa, CardKeyLoadsAsCardHeldWithThePublicPartOfTheKeyFile) {
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x4B01);
    ASSERT_EQ(0, key.Load(false));
    EXPECT_TRUE(key.IsValueOnCardOnly());
    EXPECT_EQ(0x01, key.GetKeyReference());
    EXPECT_EQ(256u, SCPkcs15RsaKeyObject::SignificantLength(key.value.modulus));
    RSAPublicKey fromCard(0);
    fromCard.setModulus(key.value.modulus);
    fromCard.setPublicExponent(key.value.publicExponent);
    EXPECT_EQ(CardPublicKeyDer(), EncodePublic(fromCard));
    // A key file that is not there is remembered as missing.
    SCPkcs15PrivateRsaKeyObject missing(m_card);
    Place(missing, 0x4B09);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, missing.Load(false));
    ClearLog();
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, missing.Load(false));
    EXPECT_TRUE(Commands().empty());
}

TEST_F(CardRsa, CardSignaturesVerifyWithOpenSslAgainstTheCardPublicKey) {
    ASSERT_EQ(0, Login());
    EVP_PKEY* pub = PublicFromDer(CardPublicKeyDer());
    ASSERT_NE(nullptr, pub);
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x4B01);
    key.SetKeyReference(1);
    const Bytes msg = {'c', 'a', 'r', 'd'};
    const Bytes di = Sha256DigestInfo(msg);
    uint32_t len = 0;
    ASSERT_EQ(0, key.Sign(2, 0, di.data(), (uint32_t)di.size(), nullptr, &len));
    ASSERT_EQ(256u, len);
    Bytes sig(len);
    SCRESULT r = key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len);
    ASSERT_TRUE(r == 0 || r == SC_W_PKCS15_OPERATION_NOT_RELIABLE) << std::hex << r;
    sig.resize(len);
    EXPECT_TRUE(OpenSslVerifySha256(pub, msg, sig));
    // Raw: the caller pads; the result is the same signature.
    Bytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[256 - di.size() - 1] = 0x00;
    std::memcpy(block.data() + 256 - di.size(), di.data(), di.size());
    Bytes raw(256);
    len = 256;
    r = key.Sign(1, 0, block.data(), 256, raw.data(), &len);
    ASSERT_TRUE(r == 0 || r == SC_W_PKCS15_OPERATION_NOT_RELIABLE) << std::hex << r;
    EXPECT_EQ(sig, raw);
    uint32_t small = 10;
    EXPECT_EQ(SC_E_INSUFFICIENT_BUFFER, key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &small));
    EXPECT_EQ(256u, small);
    EVP_PKEY_free(pub);
}

TEST_F(CardRsa, CardDeciphersAnOpenSslEncryptedBlock) {
    ASSERT_EQ(0, Login());
    EVP_PKEY* pub = PublicFromDer(CardPublicKeyDer());
    ASSERT_NE(nullptr, pub);
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x4B01);
    key.SetKeyReference(1);
    const Bytes msg = {'s', 'e', 's', 's', 'i', 'o', 'n', ' ', 'k', 'e', 'y'};
    Bytes ct = OpenSslEncrypt(pub, msg, RSA_PKCS1_PADDING);
    ASSERT_EQ(256u, ct.size());
    Bytes out(64);
    uint32_t len = 64;
    SCRESULT r = key.Decrypt(2, ct.data(), 256, out.data(), &len);
    ASSERT_TRUE(r == 0 || r == SC_W_PKCS15_OPERATION_NOT_RELIABLE) << std::hex << r;
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    EVP_PKEY_free(pub);
}

TEST_F(CardRsa, SigningWithoutLoginGivesAccessDenied) {
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x4B01);
    key.SetKeyReference(1);
    const Bytes di = Sha256DigestInfo({'x'});
    Bytes sig(256);
    uint32_t len = 256;
    EXPECT_EQ(SC_E_ACCESS_DENIED, key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
}

TEST_F(CardRsa, GeneratedKeyPairIsReadBackAndSignsVerifiably) {
    ASSERT_EQ(0, Login());
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    SCPkcs15PrivateRsaKeyObject prv(m_card);
    Place(prv, 0x4B02);
    prv.SetKeyReference(2);
    prv.SetCreateParameters(0, 0, refs);
    SCPkcs15PublicRsaKeyObject pub(m_card);
    Place(pub, 0x5502);
    pub.SetCreateParameters(3, 0x80F1, refs);
    ClearLog();
    SCRESULT r = SCPkcs15RsaKeyObject::GenerateKeyPair(&prv, &pub, 1024, nullptr, 0, 0);
    ASSERT_EQ(0, r) << std::hex << r << Log();
    EXPECT_TRUE(prv.IsOnCardGenerated());
    EXPECT_TRUE(prv.IsValueOnCardOnly());
    EXPECT_EQ(128u, SCPkcs15RsaKeyObject::SignificantLength(prv.value.modulus));
    // The card gives the same public part again.
    ASNinteger n, e;
    SCPkcs15PrivateRsaKeyObject again(m_card);
    Place(again, 0x4B02);
    again.SetKeyReference(2);
    ASSERT_EQ(0, again.Load(true));
    EXPECT_TRUE(again.value.modulus == prv.value.modulus);
    // The public value was written as a file that reads back the same.
    SCPkcs15PublicRsaKeyObject file(m_card);
    Place(file, 0x5502);
    ASSERT_EQ(0, file.Load(false));
    EXPECT_TRUE(file.value.modulus == prv.value.modulus);
    // And the new key signs what OpenSSL verifies.
    EVP_PKEY* ossl = PublicFromDer(EncodePublic(file.value));
    ASSERT_NE(nullptr, ossl);
    const Bytes msg = {'n', 'e', 'w'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t len = 128;
    r = prv.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len);
    ASSERT_TRUE(r == 0 || r == SC_W_PKCS15_OPERATION_NOT_RELIABLE) << std::hex << r;
    EXPECT_TRUE(OpenSslVerifySha256(ossl, msg, sig));
    EVP_PKEY_free(ossl);
}

TEST_F(CardRsa, FailedGenerationLeavesNoKeyFileBehind) {
    ASSERT_EQ(0, Login());
    SCFileHeaderList refs;
    refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    SCPkcs15PrivateRsaKeyObject prv(m_card);
    Place(prv, 0x4B03);
    prv.SetKeyReference(3);
    prv.SetCreateParameters(0, 0, refs);
    Inject(0x46, 0x6A84);  // the card runs out of room while generating
    SCRESULT r = SCPkcs15RsaKeyObject::GenerateKeyPair(&prv, nullptr, 1024, nullptr, 0, 0);
    EXPECT_LT(r, 0);
    SCPkcs15PrivateRsaKeyObject probe(m_card);
    Place(probe, 0x4B03);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, probe.Load(true));
}

// ---------------------------------------------------------------------------
// Private-key import, deletion, file sizes, fall-backs and public key files.

namespace {

class CardRsaOps : public CardRsa {
protected:
    void SetUp() override {
        CardRsa::SetUp();
        m_key = EVP_RSA_gen(1024);
        ASSERT_NE(nullptr, m_key);
        n = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_N);
        e = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_E);
        d = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_D);
        p = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_FACTOR1);
        q = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_FACTOR2);
        dp = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
        dq = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
        qi = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
        m_refs.SetRef(SC_REFIDX_USER_PIN, 0x81);
    }
    void TearDown() override {
        EVP_PKEY_free(m_key);
        CardRsa::TearDown();
    }
    SCRESULT Import(SCPkcs15PrivateRsaKeyObject& key) {
        return key.ImportKey(0, n.data(), (uint32_t)n.size(), d.data(), (uint32_t)d.size(), e.data(),
                             (uint32_t)e.size(), p.data(), (uint32_t)p.size(), q.data(), (uint32_t)q.size(),
                             dp.data(), (uint32_t)dp.size(), dq.data(), (uint32_t)dq.size(), qi.data(),
                             (uint32_t)qi.size());
    }
    void PlaceNew(SCPkcs15PrivateRsaKeyObject& key, uint16_t fid, uint8_t ref) {
        Place(key, fid);
        key.SetKeyReference(ref);
        key.SetCreateParameters(3, 0x80F0, m_refs);
    }
    std::string Image() const { return ImageBytes("pkcs15-model3"); }

    EVP_PKEY* m_key = nullptr;
    Bytes n, e, d, p, q, dp, dq, qi;
    SCFileHeaderList m_refs;
};

}  // namespace

TEST_F(CardRsaOps, ImportedKeySignsAndDecryptsWhatOpenSslChecks) {
    ASSERT_EQ(0, Login());
    SCPkcs15PrivateRsaKeyObject key(m_card);
    PlaceNew(key, 0x4B05, 5);
    ASSERT_EQ(0, Import(key));
    // The card holds the key now; its public part comes back from it.
    EXPECT_TRUE(key.IsValueOnCardOnly());
    EXPECT_FALSE(key.IsOnCardGenerated());
    uint32_t nLen = 0;
    const uint8_t* nn = key.value.modulus.getData();
    nLen = (uint32_t)key.value.modulus.getValueLength();
    while (nLen && *nn == 0) ++nn, --nLen;
    EXPECT_EQ(n, Bytes(nn, nn + nLen));
    const Bytes msg = {'i', 'm', 'p', 'o', 'r', 't', 'e', 'd'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t len = 128;
    ASSERT_EQ(0, key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    Bytes ct = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
    Bytes out(128);
    len = 128;
    ASSERT_EQ(0, key.Decrypt(2, ct.data(), 128, out.data(), &len));
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    // A room larger than 16 bits is taken as it is.
    Bytes big(65536);
    len = 65536;
    ASSERT_EQ(0, key.Decrypt(2, ct.data(), 128, big.data(), &len));
    EXPECT_EQ(msg, Bytes(big.begin(), big.begin() + len));
    // The key goes again with its file; the user PIN of the same number stays.
    ASSERT_EQ(0, key.Delete());
    SCPkcs15PrivateRsaKeyObject probe(m_card);
    Place(probe, 0x4B05);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, probe.Load(true));
    EXPECT_EQ(0, m_app->VerifyPin(m_pin, "1234", false, nullptr));
}

TEST_F(CardRsaOps, ImportNeverWritesOverAKeyOnTheCard) {
    ASSERT_EQ(0, Login());
    const std::string before = Image();
    SCPkcs15PrivateRsaKeyObject key(m_card);
    PlaceNew(key, 0x4B01, 1);
    EXPECT_EQ(SC_E_KEY_EXISTS, Import(key));
    EXPECT_EQ(before, Image());
    // The card key still signs what its certificate's key verifies.
    EVP_PKEY* pub = PublicFromDer(CardPublicKeyDer());
    SCPkcs15PrivateRsaKeyObject old(m_card);
    Place(old, 0x4B01);
    old.SetKeyReference(1);
    const Bytes msg = {'s', 't', 'i', 'l', 'l'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256);
    uint32_t len = 256;
    ASSERT_EQ(0, old.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(pub, msg, sig));
    EVP_PKEY_free(pub);
}

TEST_F(CardRsaOps, FailureAtEachImportStepLeavesTheCardAsItWas) {
    ASSERT_EQ(0, Login());
    // Select, create, write the components, read the public part back.
    for (unsigned ins : {0xA4u, 0xE0u, 0xDBu, 0x46u}) {
        const std::string before = Image();
        SCPkcs15PrivateRsaKeyObject key(m_card);
        PlaceNew(key, 0x4B06, 6);
        Inject(ins, 0x6A84);
        EXPECT_LT(Import(key), 0) << std::hex << ins;
        EXPECT_EQ(before, Image()) << std::hex << ins;
    }
}

TEST_F(CardRsaOps, DeletionReportsAFailedPinVerification) {
    ASSERT_EQ(0, Login());
    SCPkcs15PrivateRsaKeyObject key(m_card);
    PlaceNew(key, 0x4B07, 7);
    ASSERT_EQ(0, Import(key));
    {
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->SelectPath(kAppDf, 2));
        ASSERT_GE(m_card->ResetPinState(0x81), 0);
    }
    // The card asks for the PIN and shows a try spent: the kept PIN is not given, the login ends, the key stays.
    Inject(0x20, 0x63C2);
    EXPECT_EQ(SC_E_PKCS15_NOT_LOGGED_IN, key.Delete());
    SCPkcs15PrivateRsaKeyObject probe(m_card);
    Place(probe, 0x4B07);
    probe.SetKeyReference(7);
    EXPECT_EQ(0, probe.Load(true));
}

TEST_F(CardRsaOps, SignatureFallsBackToARawBlockWhenTheCardRefusesTheDigestInfo) {
    ASSERT_EQ(0, Login());
    EVP_PKEY* pub = PublicFromDer(CardPublicKeyDer());
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x4B01);
    key.SetKeyReference(1);
    const Bytes msg = {'f', 'a', 'l', 'l', 'b', 'a', 'c', 'k'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256);
    uint32_t len = 256;
    ClearLog();
    Inject(0x2A, 0x6700);
    ASSERT_EQ(0, key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(pub, msg, sig));
    size_t pso = 0;
    for (const std::string& c : Commands())
        if (c.rfind("002A9E9A", 0) == 0) ++pso;
    EXPECT_EQ(2u, pso);
    EVP_PKEY_free(pub);
}

TEST_F(CardRsaOps, SoftwareKeyFileSignsAndKeepsItsFormAndSize) {
    ASSERT_EQ(0, Login());
    // A PKCS#1 RSAPrivateKey in a transparent file: a key the card does not use itself.
    unsigned char* der = nullptr;
    const int derLen = i2d_PrivateKey(m_key, &der);
    ASSERT_GT(derLen, 0);
    Bytes file(der, der + derLen);
    OPENSSL_free(der);
    {
        SCTransactGuard guard(m_card);
        ASSERT_EQ(0, m_card->SelectPath(kAppDf, 2));
        ASSERT_EQ(0, m_card->CreateFile((uint32_t)file.size(), 0x6011, 3, 0x80F1, m_refs, nullptr));
        ASSERT_EQ(0, m_card->UpdateBinaryFromStart(file.data(), (uint32_t)file.size()));
    }
    SCPkcs15PrivateRsaKeyObject key(m_card);
    Place(key, 0x6011);
    EXPECT_EQ((SCRESULT)file.size(), key.GetFileSize());
    ASSERT_EQ(0, key.Load(true));
    EXPECT_EQ(SCPkcs15RsaKeyObject::VALUE_PKCS1_PRIVATE, key.GetValueState());
    MemFile back;
    ASSERT_GT(key.Encode(&back), 0);
    EXPECT_EQ(file, Bytes(back.GetData(), back.GetData() + back.Size()));
    // The card refuses it as no key of its own: the signature is made here.
    const Bytes msg = {'s', 'o', 'f', 't'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t len = 128;
    ASSERT_EQ(0, key.Sign(2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    // Data too long for eight padding octets is refused, never padded short.
    Bytes tooLong(128 - 10, 0x42);
    len = 128;
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH,
              key.SignInSoftware(2, 0, tooLong.data(), (uint32_t)tooLong.size(), sig.data(), &len));
    // A signature representative not below the modulus is refused, never reduced.
    Bytes high(128, 0xFF);
    len = 128;
    EXPECT_EQ(SC_E_INVALID_DATA_VALUE, key.SignInSoftware(1, 0, high.data(), 128, sig.data(), &len));
}

TEST_F(CardRsaOps, PublicKeyFilesAreWrittenAndKeepTheirWrappedForm) {
    ASSERT_EQ(0, Login());
    SCPkcs15PublicRsaKeyObject pub(m_card);
    Place(pub, 0x5507);
    pub.SetCreateParameters(3, 0x80F1, m_refs);
    // Nothing to write: refused before the card is asked.
    ClearLog();
    EXPECT_EQ(SC_E_INSUFFICIENT_DATA, pub.WritePublicKey(n.data(), (uint32_t)n.size(), nullptr, 0));
    EXPECT_TRUE(Commands().empty());
    // This card keeps no public key objects: the key is a file.
    ASSERT_EQ(0, pub.WritePublicKey(n.data(), (uint32_t)n.size(), e.data(), (uint32_t)e.size()));
    EXPECT_EQ(SCPkcs15RsaKeyObject::VALUE_PKCS15_OR_PUBLIC, pub.GetValueState());
    SCPkcs15PublicRsaKeyObject back(m_card);
    Place(back, 0x5507);
    ASSERT_EQ(0, back.Load(true));
    EXPECT_TRUE(back.value == pub.value);
    // Subject public key info under [1], implicit and explicit: read and written back alike.
    SubPubKeyInfo spki(0xA1);
    ASSERT_EQ(1, spki.setRsaPublicKey(pub.value));
    for (bool explicitTag : {false, true}) {
        SubPubKeyInfo form(0xA1);
        if (explicitTag) form.setExplicitTag();
        ASSERT_EQ(1, form.setRsaPublicKey(pub.value));
        MemFile bytes;
        ASSERT_GT(form.write(&bytes), 0);
        const Bytes wire(bytes.GetData(), bytes.GetData() + bytes.Size());
        SCPkcs15PublicRsaKeyObject parsed(nullptr);
        MemFile in;
        in.Write(wire.size(), wire.data());
        in.Seek(0);
        ASSERT_GT(parsed.Parse(&in, (uint32_t)wire.size()), 0) << explicitTag;
        EXPECT_EQ(explicitTag ? SCPkcs15RsaKeyObject::VALUE_SPKI_EXPLICIT : SCPkcs15RsaKeyObject::VALUE_SPKI_IMPLICIT,
                  parsed.GetValueState());
        EXPECT_TRUE(parsed.value == pub.value);
        MemFile again;
        ASSERT_GT(parsed.Encode(&again), 0);
        EXPECT_EQ(wire, Bytes(again.GetData(), again.GetData() + again.Size()));
    }
}
