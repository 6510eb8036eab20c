// Private-, public- and secret-key directories: the simulator's PKCS#15 card
// read through its application (keys found by kind and attribute, their values
// checked against OpenSSL's reading of the certificate, signatures and
// decryptions through the application verified with OpenSSL), and secret-key
// and private-key records from bytes.
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15certlist.h"
#include "pkcs15/scpkcs15dataobjectlist.h"
#include "pkcs15/scpkcs15dsakeyobject.h"
#include "pkcs15/scpkcs15prvkeylist.h"
#include "pkcs15/scpkcs15pubkeylist.h"
#include "pkcs15/scpkcs15seckeylist.h"
#include "smartcard/sc_readeroptions.h"
#include "tests/common/testsupport.h"
#include "tests/pkcs15/openssl_rsa.h"
#include "tests/smartcard/card_fixture.h"

namespace {

using namespace p15test;

const char kUserPin[] = "1234";

Bytes Value(const SCPkcs15ObjectAttribute& a) {
    return a.GetValue() ? Bytes(a.GetValue(), a.GetValue() + a.GetLength()) : Bytes();
}

Bytes Sha1(const Bytes& b) {
    Bytes d(20);
    SHA1(b.data(), b.size(), d.data());
    return d;
}

void ParseBytes(SCPkcs15PathObjectInfo& list, const Bytes& bytes, SCRESULT expect = 0) {
    MemFile in;
    if (!bytes.empty()) in.Write(bytes.size(), bytes.data());
    in.Seek(0);
    EXPECT_EQ(expect, list.Parse(&in, static_cast<uint32_t>(bytes.size())));
}

Bytes Encoded(SCPkcs15PathObjectInfo& list) {
    MemFile f;
    EXPECT_GE(list.Encode(&f), 0);
    return f.Size() > 0 ? Bytes(f.GetData(), f.GetData() + f.Size()) : Bytes();
}

class KeyLists : public CardSim {
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
        SCPkcs15ObjectAttributeList kind;
        std::vector<void*> found;
        kind.AddInteger(1, 0x10100);
        ASSERT_EQ(1, m_app->FindObjects(&kind, &found));
        m_prk = found[0];
        found.clear();
        SCPkcs15ObjectAttributeList pub;
        pub.AddInteger(1, 0x20100);
        ASSERT_EQ(1, m_app->FindObjects(&pub, &found));
        m_puk = found[0];
        found.clear();
        SCPkcs15ObjectAttributeList cert;
        cert.AddInteger(1, 0x200);
        ASSERT_EQ(1, m_app->FindObjects(&cert, &found));
        m_cert = found[0];
        // OpenSSL's reading of the certificate is the reference for the key values.
        SCPkcs15ObjectAttribute der(0x1000201);
        ASSERT_EQ(0, m_app->GetAttributeValue(m_cert, &der));
        Bytes certDer = Value(der);
        const uint8_t* p = certDer.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
        ASSERT_NE(nullptr, x);
        m_key = X509_get_pubkey(x);
        X509_free(x);
        ASSERT_NE(nullptr, m_key);
        m_n = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_N);
        m_e = BnBytes(m_key, OSSL_PKEY_PARAM_RSA_E);
    }
    void TearDown() override {
        EVP_PKEY_free(m_key);
        m_p15.reset();
        CardSim::TearDown();
    }
    Bytes Get(void* h, uint64_t type, SCRESULT expect = 0) {
        SCPkcs15ObjectAttribute a(type);
        EXPECT_EQ(expect, m_app->GetAttributeValue(h, &a)) << std::hex << type;
        return Value(a);
    }
    uint32_t GetInt(void* h, uint64_t type) {
        SCPkcs15ObjectAttribute a(type);
        EXPECT_EQ(0, m_app->GetAttributeValue(h, &a)) << std::hex << type;
        uint32_t v = 0;
        EXPECT_TRUE(a.GetInteger(&v));
        return v;
    }
    uint32_t GetFlags(void* h, uint64_t type) {
        SCPkcs15ObjectAttribute a(type);
        EXPECT_EQ(0, m_app->GetAttributeValue(h, &a)) << std::hex << type;
        uint32_t v = 0, m = 0;
        EXPECT_TRUE(a.GetFlags(&v, &m));
        return v;
    }
    void LogIn() {
        ASNPkcs15AuthObject* pin = nullptr;
        ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
        ASSERT_EQ(0, m_app->VerifyPin(pin, kUserPin, true, nullptr));
    }

    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCPkcs15App* m_app = nullptr;
    void* m_prk = nullptr;
    void* m_puk = nullptr;
    void* m_cert = nullptr;
    EVP_PKEY* m_key = nullptr;
    Bytes m_n, m_e;
};

}  // namespace

TEST_F(KeyLists, PrivateKeyRecordAnswersItsAttributesAndValuesFromTheCard) {
    EXPECT_EQ(0x1010100u, GetInt(m_prk, 1));
    EXPECT_EQ("Private key", std::string(reinterpret_cast<const char*>(Get(m_prk, 2).data()), 11));
    EXPECT_EQ(1u, GetFlags(m_prk, 3) & 1);  // private
    EXPECT_EQ(Sha1(m_n), Get(m_prk, 0x101));
    EXPECT_EQ(1u, GetInt(m_prk, 0x105));
    EXPECT_EQ(1, m_app->GetKeyReference(m_prk));
    EXPECT_EQ(2048u, GetInt(m_prk, 0x1010101));
    EXPECT_EQ(2048u, GetInt(m_prk, 0x10104));
    // The card holds the key: its modulus and exponent come from the card, the
    // private values never.
    EXPECT_EQ(m_n, Get(m_prk, 0x1010103));
    EXPECT_EQ(m_e, Get(m_prk, 0x1010104));
    EXPECT_EQ(m_n, Get(m_prk, 0xFF000015));
    EXPECT_EQ(13u, GetFlags(m_prk, 0x104));  // sensitive, always sensitive, never extractable
    for (uint64_t t = 0x1010105; t <= 0x101010A; ++t) Get(m_prk, t, SC_E_PKCS15_ATTR_UNEXTRACTABLE);
    EXPECT_EQ(Sha1(m_n), Get(m_prk, 0x10180));
    RSAPublicKey pk(0);
    ASSERT_EQ(1, pk.setModulusBytes(m_n.data(), (long)m_n.size()));
    ASSERT_EQ(1, pk.setPublicExponentBytes(m_e.data(), (long)m_e.size()));
    EXPECT_EQ(EncodePublic(pk), Get(m_prk, 0x10196));
    Get(m_prk, 0x10101, SC_E_PKCS15_ATTR_NOT_FOUND);
    Get(m_prk, 0xFF000099, SC_E_PKCS15_INVALID_ATTR);
    int stray = 0;
    SCPkcs15ObjectAttribute a(0x101);
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->GetAttributeValue(&stray, &a));
    EXPECT_EQ(SC_E_PKCS15_WRONG_HANDLE_TYPE, m_app->GetKeyReference(m_puk));
}

TEST_F(KeyLists, PublicKeyRecordAnswersFromItsValueFile) {
    EXPECT_EQ(0x1020100u, GetInt(m_puk, 1));
    // Not private; modifiable, since the user PIN opens its directory and value file to
    // writing (the record carries no flags of its own).
    EXPECT_EQ(2u, GetFlags(m_puk, 3) & 3);
    EXPECT_EQ(m_n, Get(m_puk, 0x1020103));
    EXPECT_EQ(m_e, Get(m_puk, 0x1020104));
    EXPECT_EQ(2048u, GetInt(m_puk, 0x1020101));
    EXPECT_EQ(Sha1(m_n), Get(m_puk, 0x20180));
    EXPECT_EQ(2u, GetFlags(m_puk, 0x104));  // extractable, not made on the card
    SCPkcs15ObjectAttribute trusted(0x20103);
    ASSERT_EQ(0, m_app->GetAttributeValue(m_puk, &trusted));
    bool b = true;
    ASSERT_TRUE(trusted.GetBoolean(&b));
    EXPECT_FALSE(b);
    Get(m_puk, 0x20101, SC_E_PKCS15_ATTR_NOT_FOUND);
    Get(m_puk, 0x10101, SC_E_PKCS15_UNSUPPORTED_ATTR);
}

TEST_F(KeyLists, KeyFindsItsCertificateAndPublicKeyAndGenericCodesSearchAllLists) {
    void* cert = nullptr;
    void* pub = nullptr;
    EXPECT_EQ(0, m_app->FindCertificateForKey(m_prk, &cert));
    EXPECT_EQ(m_cert, cert);
    EXPECT_EQ(0, m_app->FindPublicKeyForKey(m_prk, &pub));
    EXPECT_EQ(m_puk, pub);
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, m_app->FindCertificateForKey(m_puk, &cert));
    EXPECT_EQ(nullptr, cert);
    // The generic identifier code finds the key pair and the certificate.
    SCPkcs15ObjectAttributeList byId;
    const Bytes id = Sha1(m_n);
    byId.AddBinary(0xFF000001, id.data(), static_cast<uint32_t>(id.size()));
    std::vector<void*> found;
    EXPECT_EQ(3, m_app->FindObjects(&byId, &found));
    ASSERT_EQ(3u, found.size());
    EXPECT_EQ(m_prk, found[0]);
    EXPECT_EQ(m_puk, found[1]);
    EXPECT_EQ(m_cert, found[2]);
    // A modulus template finds both keys of the pair.
    SCPkcs15ObjectAttributeList byModulus;
    byModulus.AddBigInt(0xFF000015, m_n.data(), static_cast<uint32_t>(m_n.size()));
    found.clear();
    EXPECT_EQ(2, m_app->FindObjects(&byModulus, &found));
}

TEST_F(KeyLists, SignatureThroughTheApplicationVerifiesWithOpenSsl) {
    LogIn();
    const Bytes msg = {'a', 'p', 'p', ' ', 's', 'i', 'g', 'n'};
    const Bytes di = Sha256DigestInfo(msg);
    uint32_t len = 0;
    ASSERT_EQ(0, m_app->Sign(m_prk, 2, 0, di.data(), static_cast<uint32_t>(di.size()), nullptr, &len));
    ASSERT_EQ(256u, len);
    Bytes sig(len);
    ASSERT_EQ(0, m_app->Sign(m_prk, 2, 0, di.data(), static_cast<uint32_t>(di.size()), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    // The bare digest, the hash named by the option.
    Bytes sig2(256);
    len = 256;
    ASSERT_EQ(0, m_app->Sign(m_prk, 0x102, SC_HASH_SHA256, di.data() + 19, 32, sig2.data(), &len));
    EXPECT_EQ(sig, sig2);
    EXPECT_EQ(SC_E_PKCS15_WRONG_HANDLE_TYPE, m_app->Sign(m_puk, 2, 0, di.data(), 51, sig.data(), &len));
}

TEST_F(KeyLists, DecryptionThroughTheApplicationUndoesOpenSsl) {
    LogIn();
    const Bytes msg = {'c', 'a', 'r', 'd', ' ', 's', 'e', 'c', 'r', 'e', 't'};
    Bytes ct = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
    ASSERT_EQ(256u, ct.size());
    Bytes out(256);
    uint32_t len = 256;
    ASSERT_EQ(0, m_app->Decrypt(m_prk, 2, ct.data(), 256, out.data(), &len));
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    // Raw: the whole block as the card opened it.
    Bytes block(256, 0);
    block[1] = 0x02;
    for (int i = 2; i < 250; ++i) block[i] = 0x33;
    block.back() = 0x77;
    Bytes rawCt = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    ASSERT_EQ(256u, rawCt.size());
    len = 256;
    ASSERT_EQ(0, m_app->Decrypt(m_prk, 1, rawCt.data(), 256, out.data(), &len));
    EXPECT_EQ(block, Bytes(out.begin(), out.begin() + len));
}

// A reader that takes fewer octets in one answer than the key's size may have cut the
// card's result short: a signature is kept once it verifies with the key's public part,
// a raw decryption once it encrypts back to the input; a long padded plaintext, which
// cannot be checked, is refused and wiped.
TEST_F(KeyLists, ResultsLongerThanOneReaderAnswerAreCheckedOrRefused) {
    LogIn();
    SCReader* reader = m_card->GetReader();
    ASSERT_NE(nullptr, reader);
    reader->SetOptions(reader->GetOptions(), scRoptSetLimit(0, SC_RLIMIT_T1_RECV, 128));
    ASSERT_EQ(128u, reader->GetMaxResponseLength());
    const Bytes msg = {'c', 'u', 't'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256);
    uint32_t len = 256;
    ASSERT_EQ(0, m_app->Sign(m_prk, 2, 0, di.data(), static_cast<uint32_t>(di.size()), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    Bytes block(256, 0x33);
    block[0] = 0x00;
    const Bytes rawCt = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    Bytes out(256);
    len = 256;
    ASSERT_EQ(0, m_app->Decrypt(m_prk, 1, rawCt.data(), 256, out.data(), &len));
    EXPECT_EQ(block, out);
    // A plaintext of more than 128 octets.
    const Bytes secret(200, 0x5C);
    const Bytes ct = OpenSslEncrypt(m_key, secret, RSA_PKCS1_PADDING);
    len = 256;
    EXPECT_EQ(SC_E_CRYPT_ERROR, m_app->Decrypt(m_prk, 2, ct.data(), 256, out.data(), &len));
    EXPECT_EQ(out.end(), std::search(out.begin(), out.end(), secret.begin(), secret.begin() + 16));
    // A short plaintext comes in one answer and is kept.
    const Bytes shortCt = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
    len = 256;
    ASSERT_EQ(0, m_app->Decrypt(m_prk, 2, shortCt.data(), 256, out.data(), &len));
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
}

// A card may compute a wrong result where the reader could have cut it short. A signature
// is asked again only for a key that needs the user's consent, a raw decryption only for
// one that does not, five card operations at most; after the last wrong answer the
// operation fails and the wrong result is not left in the caller's buffer.
TEST_F(KeyLists, WrongCardResultsAreAskedAgainUpToTheLimitThenRefused) {
    LogIn();
    SCReader* reader = m_card->GetReader();
    ASSERT_NE(nullptr, reader);
    reader->SetOptions(reader->GetOptions(), scRoptSetLimit(0, SC_RLIMIT_T1_RECV, 128));
    const unsigned kPso = 0x2A;
    // Card operations: the last command of each chain with that instruction.
    auto cardOps = [&] {
        int n = 0;
        for (const std::string& c : Commands())
            if (c.size() >= 4 && std::stoul(c.substr(2, 2), nullptr, 16) == kPso &&
                (std::stoul(c.substr(0, 2), nullptr, 16) & 0x10) == 0)
                ++n;
        return n;
    };
    const Bytes msg = {'r', 'e', 't', 'r', 'y'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(256), out(256);
    auto sign = [&](int wrong) {
        std::fill(sig.begin(), sig.end(), 0);
        ClearLog();
        CorruptData(kPso, wrong);
        uint32_t len = 256;
        return m_app->Sign(m_prk, 2, 0, di.data(), static_cast<uint32_t>(di.size()), sig.data(), &len);
    };
    Bytes block(256, 0x33);
    block[0] = 0x00;
    const Bytes rawCt = OpenSslEncrypt(m_key, block, RSA_NO_PADDING);
    auto decrypt = [&](int wrong) {
        std::fill(out.begin(), out.end(), 0);
        ClearLog();
        CorruptData(kPso, wrong);
        uint32_t len = 256;
        return m_app->Decrypt(m_prk, 1, rawCt.data(), 256, out.data(), &len);
    };
    auto holdsNearly = [](const Bytes& got, const Bytes& right) {
        return std::equal(right.begin(), right.end() - 1, got.begin());
    };

    // No user consent on the card's key.
    Get(m_prk, 5, SC_E_PKCS15_ATTR_NOT_FOUND);
    ASSERT_EQ(0, sign(0));
    const Bytes good = sig;
    EXPECT_EQ(SC_E_CRYPT_ERROR, sign(1));
    EXPECT_EQ(1, cardOps()) << "a signature without consent is not asked again";
    EXPECT_FALSE(holdsNearly(sig, good)) << "the wrong signature is left in the buffer";
    EXPECT_EQ(0, decrypt(4));
    EXPECT_EQ(5, cardOps());
    EXPECT_EQ(block, out);
    EXPECT_EQ(SC_E_CRYPT_ERROR, decrypt(5));
    EXPECT_EQ(5, cardOps());
    EXPECT_FALSE(holdsNearly(out, block)) << "the wrong plaintext is left in the buffer";

    // With user consent the reverse (set in memory only: the card's record is read only).
    SCPkcs15ObjectAttribute consent(5);
    ASSERT_GE(consent.SetInteger(5, 1), 0);
    ASSERT_EQ(0, m_app->FindListForHandle(m_prk)->SetAttribute(m_prk, &consent));
    EXPECT_EQ(0, sign(4));
    EXPECT_EQ(5, cardOps());
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    EXPECT_EQ(SC_E_CRYPT_ERROR, sign(5));
    EXPECT_EQ(5, cardOps());
    EXPECT_FALSE(holdsNearly(sig, good)) << "the wrong signature is left in the buffer";
    EXPECT_EQ(SC_E_CRYPT_ERROR, decrypt(1));
    EXPECT_EQ(1, cardOps()) << "a decryption with consent is not asked again";
    EXPECT_FALSE(holdsNearly(out, block)) << "the wrong plaintext is left in the buffer";
}

// A whole signature from the card is checked with the key's public part as well: a
// wrong one is asked again only for a key that needs the user's consent, five card
// operations at most, and never given out. The simulator's log shows the card's wrong
// answer (the last octet of the right signature inverted).
TEST_F(KeyLists, WholeCardSignaturesAreCheckedWithThePublicKeyTheTokenFinds) {
    LogIn();
    const unsigned kPso = 0x2A;
    const Bytes msg = {'w', 'h', 'o', 'l', 'e'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes raw(256, 0x5C);
    raw[0] = 0x00;
    struct Answers {
        SCRESULT result;
        Bytes sig;
        std::vector<std::string> answers;  // the card's answers to the signing commands
    };
    auto sign = [&](void* key, uint32_t mechanism, int wrong) {
        Answers a;
        a.sig.assign(256, 0);
        ClearLog();
        CorruptData(kPso, wrong);
        uint32_t len = 256;
        const Bytes& in = mechanism == 1 ? raw : di;
        a.result = m_app->Sign(key, mechanism, 0, in.data(), static_cast<uint32_t>(in.size()), a.sig.data(), &len);
        CorruptData(kPso, 0);
        bool pso = false;
        std::istringstream log(Log());
        for (std::string line; std::getline(log, line);) {
            if (pso && line.rfind("< ", 0) == 0) a.answers.push_back(line.substr(2));
            // The last command of a chain gets the signature.
            pso = line.rfind("> ", 0) == 0 && line.substr(4, 2) == "2A" &&
                  (std::stoul(line.substr(2, 2), nullptr, 16) & 0x10) == 0;
        }
        return a;
    };
    // The card's answer as the log shows it: the signature and 9000.
    auto hex = [](Bytes b, bool wrong) {
        if (wrong) b.back() ^= 0xFF;
        return testsupport::ToHex(b, testsupport::HexCase::Upper) + "9000";
    };
    const Answers right = sign(m_prk, 2, 0), rightRaw = sign(m_prk, 1, 0);
    ASSERT_EQ(0, right.result);
    ASSERT_EQ(0, rightRaw.result);
    ASSERT_TRUE(OpenSslVerifySha256(m_key, msg, right.sig));
    ASSERT_EQ(std::vector<std::string>{hex(right.sig, false)}, right.answers);

    SCPkcs15ObjectAttribute consent(5);
    ASSERT_GE(consent.SetInteger(5, 1), 0);
    const struct {
        const char* name;
        bool consent;
        uint32_t mechanism;
        int wrong;
        SCRESULT result;
        size_t cardOps;
    } cases[] = {
        {"without consent", false, 2, 1, SC_E_CRYPT_ERROR, 1},
        {"raw, without consent", false, 1, 1, SC_E_CRYPT_ERROR, 1},
        {"with consent, one wrong", true, 2, 1, 0, 2},
        {"with consent, four wrong", true, 2, 4, 0, 5},
        {"with consent, five wrong", true, 2, 5, SC_E_CRYPT_ERROR, 5},
        {"raw, with consent, two wrong", true, 1, 2, 0, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.consent) {
            ASSERT_EQ(0, m_app->FindListForHandle(m_prk)->SetAttribute(m_prk, &consent));
        }
        const Answers& good = c.mechanism == 1 ? rightRaw : right;
        const Answers got = sign(m_prk, c.mechanism, c.wrong);
        EXPECT_EQ(c.result, got.result);
        ASSERT_EQ(c.cardOps, got.answers.size());
        for (size_t i = 0; i < got.answers.size(); ++i)
            EXPECT_EQ(hex(good.sig, static_cast<int>(i) < c.wrong), got.answers[i]) << "card operation " << i;
        if (c.result == 0)
            EXPECT_EQ(good.sig, got.sig);
        else
            EXPECT_EQ(Bytes(256, 0), got.sig) << "the wrong signature is left in the buffer";
    }
}

TEST_F(KeyLists, KeyReferencesAndValueFilesOfTheCardAreInUse) {
    const uint16_t df[] = {0x3F00, 0x5015};
    const uint16_t key[] = {0x3F00, 0x5015, 0x4B01};
    const uint16_t pub[] = {0x3F00, 0x5015, 0x5501};
    const uint16_t cert[] = {0x3F00, 0x5015, 0x4301};
    const uint16_t data[] = {0x3F00, 0x5015, 0x5701};
    const uint16_t odf[] = {0x3F00, 0x5015, 0x5031};
    // Key file 4B01 holds reference 1 in the application DF.
    EXPECT_TRUE(m_app->IsKeyReferenceUsed(1, df, 2, 0xF, nullptr));
    EXPECT_FALSE(m_app->IsKeyReferenceUsed(1, df, 2, 0xF, m_prk));
    EXPECT_FALSE(m_app->IsKeyReferenceUsed(2, df, 2, 0xF, nullptr));
    EXPECT_EQ(2, m_app->FindFreeKeyReference(df, 2, 1, false, nullptr));
    EXPECT_EQ(1, m_app->FindFreeKeyReference(df, 2, 1, false, m_prk));
    // Value files are in use by their lists only, unless their object is left out.
    EXPECT_TRUE(m_app->IsPathUsed(key, 3, 0x1, nullptr));
    EXPECT_FALSE(m_app->IsPathUsed(key, 3, 0x1, m_prk));
    EXPECT_FALSE(m_app->IsPathUsed(key, 3, 0x2, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(pub, 3, 0x2, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(cert, 3, 0x10, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(data, 3, 0x80, nullptr));
    EXPECT_FALSE(m_app->IsPathUsed(odf, 3, 0x1FF, nullptr));
    EXPECT_TRUE(m_app->IsPathUsed(odf, 3, 0x2000, nullptr));
    // A directory path refused for a key reference search.
    EXPECT_EQ(SC_E_INVALID_FILE_TYPE, m_app->FindFreeKeyReference(cert, 3, 1, false, nullptr));
    // Used paths by kind: directory files and value files; private objects left out on request.
    SCPathList all, keys, publicOnly;
    ASSERT_EQ(0, m_app->GetUsedPaths(&all, 0, 0));
    EXPECT_EQ(9u, all.Count());
    ASSERT_EQ(0, m_app->GetUsedPaths(&keys, 0x10100, 0));
    EXPECT_EQ(2u, keys.Count());
    ASSERT_EQ(0, m_app->GetUsedPaths(&publicOnly, 0x10100, 1));
    EXPECT_EQ(1u, publicOnly.Count());
    SCPathList bad;
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, m_app->GetUsedPaths(&bad, 0x40100, 0));
}

TEST(PrivateKeyRecords, KindsAccessAndSettersOfRecordsFromBytes) {
    SCPkcs15PrivateKeyList list(nullptr);
    list.SetFresh(true);  // a new directory: nothing to read
    ASNPkcs15PrivateKeyType* rec = nullptr;
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_TYPE, list.CreateKindRecord(0x1020100, &rec));
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_TYPE, list.CreateKindRecord(0x6010100, &rec));
    for (const auto& k : std::vector<std::pair<uint32_t, uint32_t>>{
             {0, 0x1010100}, {0x10100, 0x1010100}, {0x2010100, 0x2010100}, {0x4010100, 0x4010100}}) {
        ASSERT_EQ(0, list.CreateKindRecord(k.first, &rec)) << std::hex << k.first;
        EXPECT_EQ(static_cast<SCRESULT>(k.second), list.GetObjectKind(list.HandleOf(rec)));
        if (k.second == 0x1010100) rec->rsaKeyAttributes().modulusLength.setValue(1024);
        // A record without object flags is private.
        EXPECT_EQ(1, list.IsPrivate(list.HandleOf(rec)));
    }
    SCPkcs15ObjectAttribute native(0x103);
    ASSERT_TRUE(native.SetBoolean(0x103, false));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &native));
    SCPkcs15ObjectAttribute back(0x103);
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &back));
    bool b = true;
    ASSERT_TRUE(back.GetBoolean(&b));
    EXPECT_FALSE(b);  // false reads back false
    ASSERT_TRUE(native.SetBoolean(0x103, true));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &native));
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &back));
    ASSERT_TRUE(back.GetBoolean(&b));
    EXPECT_TRUE(b);
    // The key identifiers of an RSA record: a hash replaced, and removed again.
    ASSERT_EQ(0, list.CreateKindRecord(0x1010100, &rec));
    rec->rsaKeyAttributes().modulusLength.setValue(2048);
    const Bytes h1(20, 0x11), h2(20, 0x22);
    SCPkcs15ObjectAttribute id(0x10180);
    ASSERT_TRUE(id.SetBinary(0x10180, h1.data(), 20));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &id));
    ASSERT_TRUE(id.SetBinary(0x10180, h2.data(), 20));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &id));
    SCPkcs15ObjectAttribute got(0x10180);
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &got));
    EXPECT_EQ(h2, Value(got));
    ASSERT_TRUE(id.SetBinary(0x10180, nullptr, 0));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &id));
    EXPECT_FALSE(rec->hasCommonPrivateKeyAttributes());
    // The key's values are the key's own.
    SCPkcs15ObjectAttribute modulus(0x1010103);
    ASSERT_TRUE(modulus.SetBigInt(0x1010103, h1.data(), 20));
    EXPECT_EQ(SC_E_PKCS15_ATTRIBUTE_READ_ONLY, list.SetAttribute(list.HandleOf(rec), &modulus));
    // The record goes out and comes back the same.
    const Bytes bytes = Encoded(list);
    SCPkcs15PrivateKeyList again(nullptr);
    ParseBytes(again, bytes);
    EXPECT_EQ(5, again.GetRecordCount());
    EXPECT_EQ(0, again.GetRawRecordCount());
    EXPECT_EQ(bytes, Encoded(again));
}

TEST(SecretKeyRecords, KindsValuesAndLengthsSurviveAnEncoding) {
    SCPkcs15SecretKeyList list(nullptr);
    list.SetFresh(true);
    ASNPkcs15SecretKeyType* rec = nullptr;
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_TYPE, list.CreateKindRecord(0x30200, &rec));
    EXPECT_EQ(nullptr, rec);
    ASSERT_EQ(0, list.CreateKindRecord(0x4030100, &rec));
    EXPECT_EQ(0xA3, rec->getChosenObject()->tag & 0xFF);
    SCPkcs15ObjectAttribute kind(1);
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &kind));
    uint32_t k = 0;
    ASSERT_TRUE(kind.GetInteger(&k));
    EXPECT_EQ(0x4030100u, k);
    EXPECT_EQ(0x4030100, list.GetObjectKind(list.HandleOf(rec)));
    // A key held in the record: its value is read and replaced.
    const Bytes key1(16, 0xA5), key2(24, 0x5A);
    ASSERT_EQ(1, rec->setDirectValue(4, 0, key1.data(), 16));
    SCPkcs15ObjectAttribute value(0x30101);
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &value));
    EXPECT_EQ(key1, Value(value));
    ASSERT_TRUE(value.SetBinary(0x30101, key2.data(), 24));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &value));
    EXPECT_TRUE(list.IsDirty());
    SCPkcs15ObjectAttribute length(0xFF000003);
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(rec), &length));
    ASSERT_TRUE(length.GetInteger(&k));
    EXPECT_EQ(192u, k);
    SCPkcs15ObjectAttribute setLength(0x30102);
    ASSERT_TRUE(setLength.SetInteger(0x30102, 128));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &setLength));
    SCPkcs15ObjectAttribute label(2);
    ASSERT_TRUE(label.SetString(2, "session key"));
    ASSERT_EQ(0, list.SetAttribute(list.HandleOf(rec), &label));
    // An AES key is written as a key with its type identifier.
    ASNPkcs15SecretKeyType* aes = nullptr;
    ASSERT_EQ(0, list.CreateKindRecord(0xF030100, &aes));
    ASSERT_EQ(0, list.GetAttribute(list.HandleOf(aes), &kind));
    ASSERT_TRUE(kind.GetInteger(&k));
    EXPECT_EQ(0xF030100u, k);

    const Bytes bytes = Encoded(list);
    SCPkcs15SecretKeyList again(nullptr);
    ParseBytes(again, bytes);
    ASSERT_EQ(2, again.GetRecordCount());
    void* first = again.HandleOf(again.Records().GetHead());
    SCPkcs15ObjectAttribute v2(0x30101), l2(0x30102), k2(1), lab(2);
    ASSERT_EQ(0, again.GetAttribute(first, &v2));
    EXPECT_EQ(key2, Value(v2));
    ASSERT_EQ(0, again.GetAttribute(first, &l2));
    ASSERT_TRUE(l2.GetInteger(&k));
    EXPECT_EQ(128u, k);
    ASSERT_EQ(0, again.GetAttribute(first, &k2));
    ASSERT_TRUE(k2.GetInteger(&k));
    EXPECT_EQ(0x4030100u, k);
    ASSERT_EQ(0, again.GetAttribute(first, &lab));
    EXPECT_EQ("session key", std::string(reinterpret_cast<const char*>(lab.GetValue()), lab.GetLength()));
    EXPECT_EQ(bytes, Encoded(again));
    SCPkcs15ObjectAttribute bad(0xFF000001);
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, again.GetAttribute(first, &bad));
}

TEST(CertificateAndDataRecords, HashAndDirectValueAreReadAsTheBytesTheyAre) {
    // A certificate record's hash: set and read back as bytes.
    SCPkcs15CertificateList cdf(nullptr);
    cdf.SetFresh(true);
    void* cert = nullptr;
    ASSERT_EQ(0, cdf.CreateRecord(nullptr, &cert));
    const Bytes hash = {0xA0, 0x05, 0x04, 0x03, 0x01, 0x02, 0x03};
    SCPkcs15ObjectAttribute set(0x204);
    ASSERT_TRUE(set.SetBinary(0x204, hash.data(), static_cast<uint32_t>(hash.size())));
    ASSERT_EQ(0, cdf.SetAttribute(cert, &set));
    SCPkcs15ObjectAttribute got(0x204);
    ASSERT_EQ(0, cdf.GetAttribute(cert, &got));
    EXPECT_EQ(hash, Value(got));
    // A data object whose value stands in its record.
    const Bytes record = {0x30, 0x10, 0x30, 0x00, 0x30, 0x03, 0x0C, 0x01, 0x41, 0xA1,
                          0x07, 0xA0, 0x05, 0x04, 0x03, 0x0A, 0x0B, 0x0C};
    SCPkcs15DataObjectList dodf(nullptr);
    ParseBytes(dodf, record);
    ASSERT_EQ(1, dodf.GetRecordCount());
    ASSERT_EQ(0, dodf.GetRawRecordCount());
    void* obj = dodf.HandleOf(dodf.Records().GetHead());
    SCPkcs15ObjectAttribute value(0x601);
    ASSERT_EQ(0, dodf.GetAttribute(obj, &value));
    EXPECT_EQ(Bytes(record.begin() + 11, record.end()), Value(value));
}

// ---------------------------------------------------------------------------
// Key objects of the discrete-logarithm family on the card.

TEST_F(KeyLists, DiscreteLogKeyObjectReadsItsValueAndRemembersAMissingFile) {
    ASNPkcs15AuthObject* pin = nullptr;
    ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
    ASSERT_EQ(0, m_app->VerifyPin(pin, kUserPin, true, nullptr));
    // An EC key made through the application: its file holds the private value.
    const Bytes x = {0x02, 0x20, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08, 0x11, 0x22, 0x33,
                     0x44, 0x55, 0x66, 0x77, 0x08, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08,
                     0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08};
    const Bytes p256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x4010100);
    t.AddAttribute(0x10103)->Set(0x10103, x.data(), static_cast<uint32_t>(x.size()));
    t.AddAttribute(0x10106)->Set(0x10106, p256.data(), static_cast<uint32_t>(p256.size()));
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    SCPathList paths;
    ASSERT_EQ(0, m_app->GetObjectPaths(h, &paths));
    ASSERT_EQ(2u, paths.Count());
    const SCPath file = paths.At(1);
    ASSERT_EQ(3u, file.Count());

    const uint16_t app[2] = {0x3F00, 0x5015};
    SCPkcs15PrivateDsaKeyObject key(m_card, SCPkcs15KeyObject::KEY_EC, nullptr);
    EXPECT_TRUE(key.IsComplete());
    ASSERT_TRUE(key.SetBasePath(app, 2));
    const uint16_t fid = file[2];
    ASSERT_TRUE(key.SetPath(&fid, 1, 0, 0));
    ASSERT_EQ(0, key.Load(false));
    ASNinteger got(0x02);
    ASSERT_EQ(1, key.CopyKeyValueTo(got));
    ASSERT_EQ(32, got.getValueLength());
    EXPECT_EQ(0, std::memcmp(got.getData(), x.data() + 2, 32));
    // The same type keeps the value; another type starts empty.
    EXPECT_EQ(1, key.SetKeyType(SCPkcs15KeyObject::KEY_EC));
    EXPECT_EQ(1, key.CopyKeyValueTo(got));
    EXPECT_EQ(1, key.SetKeyType(SCPkcs15KeyObject::KEY_DSA));
    EXPECT_EQ(0, key.CopyKeyValueTo(got));
    EXPECT_EQ(nullptr, key.GetEcParameters());
    EXPECT_NE(nullptr, key.GetDomainParameters());
    EXPECT_EQ(0, key.SetKeyType(99));
    // Without a key value there is nothing to encode.
    MemFile out;
    EXPECT_EQ(SC_E_BAD_USAGE, key.Encode(&out));

    // A missing file: the card is asked once, again only when forced.
    SCPkcs15PrivateDsaKeyObject missing(m_card, SCPkcs15KeyObject::KEY_DSA, nullptr);
    ASSERT_TRUE(missing.SetBasePath(app, 2));
    const uint16_t none = 0x7E7E;
    ASSERT_TRUE(missing.SetPath(&none, 1, 0, 0));
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, missing.Load(false));
    ClearLog();
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, missing.Load(false));
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, missing.Load(true));
    EXPECT_FALSE(Commands().empty());
}
