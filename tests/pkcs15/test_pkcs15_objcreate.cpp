// Objects made from attribute lists on the simulator's PKCS#15 card: data objects,
// certificates, public keys, imported and file-held private keys, secret keys and
// key pairs generated on the card models that generate, each read back, changed and
// deleted, their files checked octet by octet and their keys checked with OpenSSL;
// failures injected at each card step leave the card as it was.
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15prvkeylist.h"
#include "pkcs15/scpkcs15pubkeylist.h"
#include "pkcs15/scpkcs15rsakeyobject.h"
#include "pkcs15/scpkcs15seckeylist.h"
#include "smartcard/sc_transactguard.h"
#include "tests/pkcs15/openssl_rsa.h"
#include "tests/smartcard/card_fixture.h"

namespace {

bool IsFiller(uint8_t b) { return b == 0x00 || b == 0xFF; }

using namespace p15test;

const char kUserPin[] = "1234";

Bytes Value(const SCPkcs15ObjectAttribute& a) {
    return a.GetValue() ? Bytes(a.GetValue(), a.GetValue() + a.GetLength()) : Bytes();
}

// DER of a non-negative INTEGER.
Bytes DerInteger(Bytes v) {
    while (v.size() > 1 && v[0] == 0 && !(v[1] & 0x80)) v.erase(v.begin());
    if (v.empty() || (v[0] & 0x80)) v.insert(v.begin(), 0);
    Bytes out = {0x02};
    if (v.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(v.size()));
    } else if (v.size() < 0x100) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(v.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(v.size() >> 8));
        out.push_back(static_cast<uint8_t>(v.size()));
    }
    out.insert(out.end(), v.begin(), v.end());
    return out;
}
Bytes Unsigned(Bytes v) {
    while (v.size() > 1 && v[0] == 0) v.erase(v.begin());
    return v;
}

class ObjCreate : public CardSim {
protected:
    void SetUp() override {
        CardSim::SetUp();
        SCPkcs15InstallAppServices();
        OpenCard("pkcs15-model3", Connect("pkcs15-model3"));
    }
    void TearDown() override {
        EVP_PKEY_free(m_key);
        m_p15.reset();
        CardSim::TearDown();
    }
    void OpenCard(const std::string& image, SCCard* card) {
        m_image = image;
        m_card = card;
        ASSERT_NE(nullptr, m_card);
        Reload();
    }
    // A fresh view of the card, as another process would have it.
    void Reload() {
        m_p15.reset(new SCPkcs15Card(m_card));
        ASSERT_EQ(0, m_p15->Load());
        m_app = m_p15->GetApplicationAt(0);
        ASSERT_NE(nullptr, m_app);
        ASSERT_EQ(0, m_app->Load(false));
    }
    void LogIn() {
        ASNPkcs15AuthObject* pin = nullptr;
        ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
        ASSERT_EQ(0, m_app->VerifyPin(pin, kUserPin, true, nullptr));
    }
    std::string Image() const { return ImageBytes(m_image); }
    // The image but for the filler after each file's records: where a record went,
    // its octets become filler (FF) where 00 may have stood before.
    std::string RecordsImage() const { return testsupport::ImageWithoutTrailingFiller(Image()); }
    // A card file's contents (the path relative to the application DF 3F00/5015).
    Bytes FileBytes(const SCPath& path) {
        SCTransactGuard guard(m_card);
        SCFileHeader* h = nullptr;
        if (m_card->SelectPath(path.Ids(), path.Count(), &h) < 0 || !h) return Bytes();
        Bytes b(h->GetFileSize());
        SCFileHeader::SafeRelease(h);
        const SCRESULT n = m_card->ReadBinaryFromStart(b.data(), static_cast<uint32_t>(b.size()));
        b.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return b;
    }
    bool Exists(const SCPath& path) {
        SCTransactGuard guard(m_card);
        return m_card->SelectPath(path.Ids(), path.Count()) >= 0;
    }
    // The full path of a record's value file.
    SCPath ValuePath(void* h) {
        SCPathList paths;
        EXPECT_EQ(0, m_app->GetObjectPaths(h, &paths));
        EXPECT_EQ(2u, paths.Count());
        return paths.Count() > 1 ? paths.At(1) : SCPath();
    }
    // The directory file holding a record: its records back to back, then FF where
    // the file has room, then only filler.
    void ExpectDirectoryHolds(void* h, const Bytes& records) {
        SCPathList paths;
        EXPECT_EQ(0, m_app->GetObjectPaths(h, &paths));
        const Bytes b = paths.Count() ? FileBytes(paths.At(0)) : Bytes();
        ASSERT_GE(b.size(), records.size());
        EXPECT_EQ(records, Bytes(b.begin(), b.begin() + static_cast<long>(records.size())));
        if (b.size() > records.size()) {
            EXPECT_EQ(0xFF, b[records.size()]);
        }
        for (size_t i = records.size(); i < b.size(); ++i) ASSERT_TRUE(IsFiller(b[i])) << i;
    }
    Bytes Get(void* h, uint64_t type, SCRESULT expect = 0) {
        SCPkcs15ObjectAttribute a(type);
        EXPECT_EQ(expect, m_app->GetAttributeValue(h, &a)) << std::hex << type;
        return Value(a);
    }
    std::vector<void*> Find(uint32_t kind) {
        SCPkcs15ObjectAttributeList t;
        t.AddInteger(1, kind);
        std::vector<void*> out;
        EXPECT_GE(m_app->FindObjects(&t, &out), 0);
        return out;
    }
    void NewKey(int bits = 1024) {
        m_key = EVP_RSA_gen(bits);
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
    void PrivateKeyTemplate(SCPkcs15ObjectAttributeList* t, const char* label) {
        t->AddInteger(1, 0x1010100);
        t->AddAttribute(2)->SetString(2, label);
        const Bytes id = Sha1Of(n);
        t->AddBinary(0x101, id.data(), 20);
        const Bytes* parts[8] = {&n, &e, &d, &p, &q, &dp, &dq, &qi};
        for (int i = 0; i < 8; ++i)
            t->AddBigInt(0x1010103 + static_cast<uint64_t>(i), parts[i]->data(), static_cast<uint32_t>(parts[i]->size()));
    }
    // The last commands and answers of the log.
    std::string LogTail(size_t lines = 24) const {
        std::vector<std::string> all;
        std::istringstream in(Log());
        for (std::string l; std::getline(in, l);) all.push_back(l.substr(0, 120));
        std::string out;
        for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += all[i] + "\n";
        return out;
    }
    // The lines of two card images that differ, shortened.
    static std::string ImageDiff(const std::string& a, const std::string& b) {
        std::istringstream ia(a), ib(b);
        std::string la, lb, out;
        while (true) {
            const bool ga = static_cast<bool>(std::getline(ia, la)), gb = static_cast<bool>(std::getline(ib, lb));
            if (!ga && !gb) break;
            if (!ga) la.clear();
            if (!gb) lb.clear();
            if (la == lb) continue;
            size_t at = 0;
            while (at < la.size() && at < lb.size() && la[at] == lb[at]) ++at;
            const size_t from = at > 60 ? at - 60 : 0;
            out += la.substr(0, 30) + "... @" + std::to_string(at) + "\n- " + la.substr(from, 160) + "\n+ " +
                   lb.substr(from, 160) + "\n";
        }
        return out;
    }
    // Runs op (which returns its result and the handle it made) with the card failing at
    // its first command, then at its second, and so on until op runs past every failure:
    // each run that fails leaves the card octet for octet as it was. A run that gets over
    // a failure made its object: undo takes it away before the next step. Answers how
    // many steps failed.
    template <class Op>
    int FailAtEachStep(Op op, unsigned sw = 0x6581) {
        return FailAtEachStep([] { return static_cast<void*>(nullptr); },
                              [&](void*, void** made) { return op(made); }, sw);
    }
    // The same for an operation on an object that prepare finds before the card fails.
    template <class Prepare, class Op>
    int FailAtEachStep(Prepare prepare, Op op, unsigned sw = 0x6581) {
        int failed = 0;
        for (int step = 0; step < 500; ++step) {
            Reload();
            LogIn();
            const std::string before = Image();
            void* target = prepare();
            ClearLog();
            InjectAfter(0x100, sw, step);
            void* made[2] = {nullptr, nullptr};
            const SCRESULT r = op(target, made);
            const bool reached = static_cast<int>(Commands().size()) > step;
            Inject(0x100, sw, 0);
            if (!reached) {
                EXPECT_GE(r, 0) << "without a failure";
                return failed;
            }
            if (r < 0) {
                ++failed;
                EXPECT_EQ(nullptr, made[0]) << "step " << step;
                EXPECT_EQ(nullptr, made[1]) << "step " << step;
                const std::string after = Image();
                EXPECT_TRUE(before == after) << "step " << step << "\n" << ImageDiff(before, after) << LogTail();
                if (before != after) return failed;
            } else {
                LogIn();
                for (void* h : made) {
                    if (h) {
                        EXPECT_EQ(0, m_app->DestroyObject(h, true)) << "step " << step;
                    }
                }
            }
        }
        ADD_FAILURE() << "more than 500 steps";
        return failed;
    }
    static Bytes Sha1Of(const Bytes& b) {
        Bytes out(20);
        SHA1(b.data(), b.size(), out.data());
        return out;
    }

    // One template of each kind an attribute list makes, with the creation flags it
    // needs and the CHOICE tag of its directory record; the keys from OpenSSL.
    struct Kind {
        const char* name;
        uint8_t tag;
        std::function<void(SCPkcs15ObjectAttributeList*)> fill;
        uint32_t flags;
    };
    void MakeKinds() {
        NewKey();
        std::vector<void*> certs = Find(0x200);
        ASSERT_EQ(1u, certs.size());
        m_certDer = Get(certs[0], 0x1000201);
        EVP_PKEY* ec = EVP_EC_gen("P-256");
        ASSERT_NE(nullptr, ec);
        m_ecX = DerInteger(BnBytes(ec, OSSL_PKEY_PARAM_PRIV_KEY));
        unsigned char* der = nullptr;
        const int derLen = i2d_KeyParams(ec, &der);
        EVP_PKEY_free(ec);
        ASSERT_GT(derLen, 0);
        m_curve.assign(der, der + derLen);
        OPENSSL_free(der);
        EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
        ASSERT_NE(nullptr, pctx);
        EVP_PKEY* dsa = nullptr;
        const bool made = EVP_PKEY_paramgen_init(pctx) == 1 && EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, 1024) == 1 &&
                          EVP_PKEY_paramgen(pctx, &dsa) == 1;
        EVP_PKEY_CTX_free(pctx);
        ASSERT_TRUE(made);
        m_dsaDomain.clear();
        for (const char* part : {OSSL_PKEY_PARAM_FFC_P, OSSL_PKEY_PARAM_FFC_Q, OSSL_PKEY_PARAM_FFC_G}) {
            const Bytes i = DerInteger(BnBytes(dsa, part));
            m_dsaDomain.insert(m_dsaDomain.end(), i.begin(), i.end());
        }
        EVP_PKEY_free(dsa);
        m_dsaDomain.insert(m_dsaDomain.begin(), {0x30, 0x82, static_cast<uint8_t>(m_dsaDomain.size() >> 8),
                                                 static_cast<uint8_t>(m_dsaDomain.size())});
        m_dsaX = DerInteger(Bytes(20, 0x5B));  // below the 160-bit q
        auto pair = [](SCPkcs15ObjectAttributeList* t, uint64_t type, const Bytes& b) {
            t->AddAttribute(type)->Set(type, b.data(), static_cast<uint32_t>(b.size()));
        };
        m_kinds = {
            {"data object", 0x30,
             [this](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x1000600);
                 t->AddBinary(0x601, m_secret.data(), 3);
             },
             0},
            {"certificate", 0x30,
             [this, pair](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x1000200);
                 pair(t, 0x1000201, m_certDer);
             },
             0},
            {"public key", 0x30,
             [this](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x1020100);
                 t->AddBigInt(0x1020103, n.data(), static_cast<uint32_t>(n.size()));
                 t->AddBigInt(0x1020104, e.data(), static_cast<uint32_t>(e.size()));
             },
             0},
            {"imported private key", 0x30, [this](SCPkcs15ObjectAttributeList* t) { PrivateKeyTemplate(t, "made"); },
             0},
            {"private key file", 0x30, [this](SCPkcs15ObjectAttributeList* t) { PrivateKeyTemplate(t, "made"); },
             SCPkcs15App::CREATE_RSA_AS_FILE},
            {"ec private key", 0xA0,
             [this, pair](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x4010100);
                 pair(t, 0x10103, m_ecX);
                 pair(t, 0x10106, m_curve);
             },
             0},
            {"dsa private key", 0xA2,
             [this, pair](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x2010100);
                 pair(t, 0x10103, m_dsaX);
                 pair(t, 0x10106, m_dsaDomain);
             },
             0},
            {"secret key", 0xA3,
             [this](SCPkcs15ObjectAttributeList* t) {
                 t->AddInteger(1, 0x4030100);
                 t->AddBinary(0x30101, m_secret.data(), static_cast<uint32_t>(m_secret.size()));
             },
             0},
        };
    }

    std::string m_image;
    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCPkcs15App* m_app = nullptr;
    EVP_PKEY* m_key = nullptr;
    Bytes n, e, d, p, q, dp, dq, qi;
    Bytes m_certDer, m_ecX, m_curve, m_dsaX, m_dsaDomain;
    const Bytes m_secret = Bytes(24, 0x47);
    std::vector<Kind> m_kinds;
};

}  // namespace

TEST_F(ObjCreate, DataObjectIsMadeReadChangedAndDeleted) {
    ASSERT_TRUE(m_app->IsWritable());
    LogIn();
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000600);
    t.AddAttribute(2)->SetString(2, "notes");
    const Bytes value = {'h', 'e', 'l', 'l', 'o', ' ', 'c', 'a', 'r', 'd'};
    t.AddBinary(0x601, value.data(), static_cast<uint32_t>(value.size()));
    t.AddFlags(3, 0, 0);  // mask 0: the defaults
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    ASSERT_NE(nullptr, h);
    // A public, modifiable object with an empty application name.
    SCPkcs15ObjectAttribute flags(3);
    ASSERT_EQ(0, m_app->GetAttributeValue(h, &flags));
    uint32_t v = 0, m = 0;
    ASSERT_TRUE(flags.GetFlags(&v, &m));
    EXPECT_EQ(2u, v & 3);
    EXPECT_EQ(Bytes(), Get(h, 0x603));
    // The value file holds the octets; the directory file the records as encoded.
    const SCPath valuePath = ValuePath(h);
    EXPECT_EQ(value, FileBytes(valuePath));
    SCPkcs15ObjectList* dodf = m_app->FindListForHandle(h);
    MemFile enc;
    ASSERT_GT(dodf->Encode(&enc), 0);
    ExpectDirectoryHolds(h, Bytes(enc.GetData(), enc.GetData() + enc.Size()));

    // Read back after a reload.
    Reload();
    std::vector<void*> found = Find(0x600);
    ASSERT_EQ(2u, found.size());
    void* again = found[1];
    EXPECT_EQ(value, Get(again, 0x601));
    EXPECT_EQ("notes", std::string(reinterpret_cast<const char*>(Get(again, 2).data()), 5));
    // Changed.
    LogIn();
    SCPkcs15ObjectAttributeList change;
    change.AddAttribute(2)->SetString(2, "renamed");
    ASSERT_EQ(0, m_app->SetAttributeValues(again, &change));
    Reload();
    found = Find(0x600);
    ASSERT_EQ(2u, found.size());
    EXPECT_EQ("renamed", std::string(reinterpret_cast<const char*>(Get(found[1], 2).data()), 7));
    // Deleted with its value file.
    LogIn();
    ASSERT_EQ(0, m_app->DestroyObject(found[1], true));
    EXPECT_FALSE(Exists(valuePath));
    Reload();
    EXPECT_EQ(1u, Find(0x600).size());
}

namespace {
std::string Label(const Bytes& b) { return std::string(b.begin(), b.end()); }
}  // namespace

// Handles are never reused: a deleted object's handle, or one from before a
// reload, is invalid and never names a later object.
TEST_F(ObjCreate, StaleHandlesNeverNameAnotherObject) {
    LogIn();
    std::vector<void*> stale;
    for (int i = 0; i < 12; ++i) {
        SCPkcs15ObjectAttributeList t;
        t.AddInteger(1, 0x1000600);
        t.AddAttribute(2)->SetString(2, ("round " + std::to_string(i)).c_str());
        const Bytes value = {'v', static_cast<uint8_t>('0' + i)};
        t.AddBinary(0x601, value.data(), static_cast<uint32_t>(value.size()));
        void* h = nullptr;
        ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
        for (void* old : stale) ASSERT_NE(old, h) << i;
        EXPECT_EQ("round " + std::to_string(i), Label(Get(h, 2)));
        ASSERT_EQ(0, m_app->DestroyObject(h, true));
        stale.push_back(h);
        for (void* old : stale) Get(old, 2, SC_E_PKCS15_INVALID_HANDLE);
    }
    // Every object of a fresh view has a handle of its own.
    std::vector<void*> before;
    ASSERT_GE(m_app->FindObjects(nullptr, &before), 0);
    ASSERT_FALSE(before.empty());
    stale.insert(stale.end(), before.begin(), before.end());
    Reload();
    std::vector<void*> after;
    ASSERT_GE(m_app->FindObjects(nullptr, &after), 0);
    ASSERT_EQ(before.size(), after.size());
    for (void* h : after)
        for (void* old : stale) ASSERT_NE(old, h);
    for (void* old : stale) Get(old, 2, SC_E_PKCS15_INVALID_HANDLE);
}

// Another view deletes an object: the merge before the next change drops its
// record, whose handle becomes invalid; the other handles keep their objects.
TEST_F(ObjCreate, MergeKeepsTheHandlesOfObjectsStillOnTheCard) {
    LogIn();
    void* made[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        SCPkcs15ObjectAttributeList t;
        t.AddInteger(1, 0x1000600);
        t.AddAttribute(2)->SetString(2, i ? "second" : "first");
        const Bytes value = {'x'};
        t.AddBinary(0x601, value.data(), 1);
        ASSERT_EQ(0, m_app->CreateObject(t, &made[i], 0));
    }
    // The other view removes "first".
    SCPkcs15Card other(m_card);
    ASSERT_EQ(0, other.Load());
    SCPkcs15App* app2 = other.GetApplicationAt(0);
    ASSERT_NE(nullptr, app2);
    ASSERT_EQ(0, app2->Load(false));
    ASNPkcs15AuthObject* pin = nullptr;
    ASSERT_EQ(0, app2->FindPinObject(SCPkcs15App::PIN_USER, &pin));
    ASSERT_EQ(0, app2->VerifyPin(pin, kUserPin, true, nullptr));
    std::vector<void*> theirs;
    SCPkcs15ObjectAttributeList byLabel;
    byLabel.AddAttribute(2)->SetString(2, "first");
    ASSERT_GE(app2->FindObjects(&byLabel, &theirs), 0);
    ASSERT_EQ(1u, theirs.size());
    ASSERT_EQ(0, app2->DestroyObject(theirs[0], true));

    // This view changes "second": the merge learns of the deletion.
    SCPkcs15ObjectAttributeList change;
    change.AddAttribute(2)->SetString(2, "second, renamed");
    ASSERT_EQ(0, m_app->SetAttributeValues(made[1], &change));
    Get(made[0], 2, SC_E_PKCS15_INVALID_HANDLE);
    EXPECT_EQ("second, renamed", Label(Get(made[1], 2)));
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000600);
    t.AddAttribute(2)->SetString(2, "third");
    const Bytes value = {'y'};
    t.AddBinary(0x601, value.data(), 1);
    void* third = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &third, 0));
    EXPECT_NE(made[0], third);
    Get(made[0], 2, SC_E_PKCS15_INVALID_HANDLE);
}

TEST_F(ObjCreate, RecordOnlyCreationSendsNothingToTheCard) {
    LogIn();
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000600);
    t.AddAttribute(2)->SetString(2, "draft");
    ClearLog();
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, SCPkcs15App::CREATE_RECORD_ONLY));
    ASSERT_NE(nullptr, h);
    for (const std::string& c : Commands()) EXPECT_NE(0u, c.rfind("00D6", 0) + c.rfind("00E0", 0)) << c;
}

TEST_F(ObjCreate, CertificateIsMadeFromItsDerAndAnswersFromIt) {
    LogIn();
    // The card's own certificate, stored a second time.
    std::vector<void*> certs = Find(0x200);
    ASSERT_EQ(1u, certs.size());
    const Bytes der = Get(certs[0], 0x1000201);
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000200);
    t.AddAttribute(2)->SetString(2, "copy");
    t.AddAttribute(0x1000201)->Set(0x1000201, der.data(), static_cast<uint32_t>(der.size()));
    const Bytes bogus = {0x01, 0x02};
    t.AddAttribute(0x1000202)->Set(0x1000202, bogus.data(), 2);  // an invalid subject is passed over
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    EXPECT_EQ(der, FileBytes(ValuePath(h)));
    Reload();
    certs = Find(0x200);
    ASSERT_EQ(2u, certs.size());
    EXPECT_EQ(der, Get(certs[1], 0x1000201));
    EXPECT_EQ(Get(certs[0], 0x1000202), Get(certs[1], 0x1000202));
    EXPECT_EQ(Get(certs[0], 0x282), Get(certs[1], 0x282));
}

TEST_F(ObjCreate, RecordDestroyedWithoutItsValueFileLeavesTheFile) {
    LogIn();
    std::vector<void*> certs = Find(0x200);
    ASSERT_EQ(1u, certs.size());
    const Bytes der = Get(certs[0], 0x1000201);
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000200);
    t.AddAttribute(2)->SetString(2, "copy");
    t.AddAttribute(0x1000201)->Set(0x1000201, der.data(), static_cast<uint32_t>(der.size()));
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    const SCPath valuePath = ValuePath(h);
    ASSERT_EQ(0, m_app->DestroyObject(h, false));
    EXPECT_TRUE(Exists(valuePath));
    EXPECT_EQ(der, FileBytes(valuePath));
    Reload();
    EXPECT_EQ(1u, Find(0x200).size());
}

TEST_F(ObjCreate, PublicKeyIsWrittenAsAFileAndReadBack) {
    LogIn();
    NewKey();
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1020100);
    t.AddAttribute(2)->SetString(2, "imported public");
    t.AddBigInt(0x1020103, n.data(), static_cast<uint32_t>(n.size()));
    t.AddBigInt(0x1020104, e.data(), static_cast<uint32_t>(e.size()));
    t.AddInteger(0x1020101, static_cast<uint32_t>(8 * n.size()));
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    RSAPublicKey pk(0);
    ASSERT_EQ(1, pk.setModulusBytes(n.data(), (long)n.size()));
    ASSERT_EQ(1, pk.setPublicExponentBytes(e.data(), (long)e.size()));
    EXPECT_EQ(EncodePublic(pk), FileBytes(ValuePath(h)));
    Reload();
    std::vector<void*> keys = Find(0x20100);
    ASSERT_EQ(2u, keys.size());
    EXPECT_EQ(n, Get(keys[1], 0x1020103));
    EXPECT_EQ(e, Get(keys[1], 0x1020104));
    // A modulus length that disagrees is refused.
    SCPkcs15ObjectAttributeList bad;
    bad.AddInteger(1, 0x1020100);
    bad.AddBigInt(0x1020103, n.data(), static_cast<uint32_t>(n.size()));
    bad.AddBigInt(0x1020104, e.data(), static_cast<uint32_t>(e.size()));
    bad.AddInteger(0x1020101, 1016);
    EXPECT_EQ(SC_E_PKCS15_TEMPLATE_INCONSISTENT, m_app->CreateObject(bad, &h, 0));
    EXPECT_EQ(nullptr, h);
}

TEST_F(ObjCreate, ImportedPrivateKeySignsAndDecryptsForOpenSsl) {
    LogIn();
    NewKey();
    SCPkcs15ObjectAttributeList t;
    PrivateKeyTemplate(&t, "imported");
    t.AddFlags(3, 0, 1);  // "not private" is not taken for a private key
    t.AddInteger(0x1010101, 1024);
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    EXPECT_EQ(1, m_app->FindListForHandle(h)->IsPrivate(h));
    SCPkcs15ObjectAttribute access(0x104);
    ASSERT_EQ(0, m_app->GetAttributeValue(h, &access));
    uint32_t v = 0, m = 0;
    ASSERT_TRUE(access.GetFlags(&v, &m));
    EXPECT_EQ(13u, v);
    Reload();
    std::vector<void*> keys = Find(0x10100);
    ASSERT_EQ(2u, keys.size());
    void* key = keys[1];
    EXPECT_EQ(n, Get(key, 0x1010103));
    Get(key, 0x1010105, SC_E_PKCS15_ATTR_UNEXTRACTABLE);
    LogIn();
    const Bytes msg = {'n', 'e', 'w', ' ', 'k', 'e', 'y'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t len = 128;
    ClearLog();
    ASSERT_EQ(0, m_app->Sign(key, 2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len)) << Log();
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
    const Bytes ct = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
    Bytes out(128);
    len = 128;
    ASSERT_EQ(0, m_app->Decrypt(key, 2, ct.data(), 128, out.data(), &len));
    EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    // Deleted with its key.
    const SCPath keyPath = ValuePath(key);
    ASSERT_EQ(0, m_app->DestroyObject(key, true));
    EXPECT_FALSE(Exists(keyPath));
    // A modulus of 127 octets is no 1024-bit key.
    SCPkcs15ObjectAttributeList bad;
    bad.AddInteger(1, 0x1010100);
    bad.AddBigInt(0x1010103, n.data() + 1, 127);
    bad.AddBigInt(0x1010104, e.data(), static_cast<uint32_t>(e.size()));
    bad.AddInteger(0x1010101, 1024);
    EXPECT_EQ(SC_E_PKCS15_TEMPLATE_INCONSISTENT, m_app->CreateObject(bad, &key, 0));
}

TEST_F(ObjCreate, PrivateKeyInAFileIsUsedInSoftware) {
    LogIn();
    NewKey();
    SCPkcs15ObjectAttributeList t;
    PrivateKeyTemplate(&t, "software");
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, SCPkcs15App::CREATE_RSA_AS_FILE));
    SCPkcs15ObjectAttribute access(0x104);
    ASSERT_EQ(0, m_app->GetAttributeValue(h, &access));
    uint32_t v = 0, m = 0;
    ASSERT_TRUE(access.GetFlags(&v, &m));
    EXPECT_EQ(2u, v);
    // The file holds the PKCS#1 key that OpenSSL reads as the same key.
    const Bytes file = FileBytes(ValuePath(h));
    const uint8_t* fp = file.data();
    EVP_PKEY* back = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &fp, static_cast<long>(file.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(1, EVP_PKEY_eq(back, m_key));
    EVP_PKEY_free(back);
    const Bytes msg = {'f', 'i', 'l', 'e'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(128);
    uint32_t len = 128;
    ASSERT_EQ(0, m_app->Sign(h, 2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
    EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
}

// A DSA private key from its value and domain: kept as one INTEGER in its file, its
// public value, domain and identifier as OpenSSL computes them.
TEST_F(ObjCreate, DsaPrivateKeyIsKeptInAFileAndAnswersItsPublicHalf) {
    LogIn();
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    ASSERT_NE(nullptr, pctx);
    ASSERT_EQ(1, EVP_PKEY_paramgen_init(pctx));
    ASSERT_EQ(1, EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, 1024));
    EVP_PKEY* params = nullptr;
    ASSERT_EQ(1, EVP_PKEY_paramgen(pctx, &params));
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_CTX* kctx = EVP_PKEY_CTX_new_from_pkey(nullptr, params, nullptr);
    ASSERT_EQ(1, EVP_PKEY_keygen_init(kctx));
    EVP_PKEY* dsa = nullptr;
    ASSERT_EQ(1, EVP_PKEY_keygen(kctx, &dsa));
    EVP_PKEY_CTX_free(kctx);
    EVP_PKEY_free(params);
    const Bytes P = BnBytes(dsa, OSSL_PKEY_PARAM_FFC_P), Q = BnBytes(dsa, OSSL_PKEY_PARAM_FFC_Q),
                G = BnBytes(dsa, OSSL_PKEY_PARAM_FFC_G), X = BnBytes(dsa, OSSL_PKEY_PARAM_PRIV_KEY),
                Y = BnBytes(dsa, OSSL_PKEY_PARAM_PUB_KEY);
    EVP_PKEY_free(dsa);

    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x2010100);
    t.AddAttribute(2)->SetString(2, "dsa");
    const Bytes xDer = DerInteger(X);
    t.AddAttribute(0x10103)->Set(0x10103, xDer.data(), static_cast<uint32_t>(xDer.size()));
    t.AddBigInt(0x2010101, P.data(), static_cast<uint32_t>(P.size()));
    t.AddBigInt(0x2010102, Q.data(), static_cast<uint32_t>(Q.size()));
    t.AddBigInt(0x2010103, G.data(), static_cast<uint32_t>(G.size()));
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    EXPECT_EQ(DerInteger(X), FileBytes(ValuePath(h)));
    Reload();
    LogIn();
    std::vector<void*> keys = Find(0x10100);
    ASSERT_EQ(2u, keys.size());
    void* k = keys[1];
    EXPECT_EQ(0x2010100, m_app->GetObjectKind(k));
    EXPECT_EQ(DerInteger(Y), Get(k, 0x10196));
    EXPECT_EQ(Unsigned(P), Unsigned(Get(k, 0x2010101)));
    EXPECT_EQ(Unsigned(Q), Unsigned(Get(k, 0x2010102)));
    EXPECT_EQ(Unsigned(G), Unsigned(Get(k, 0x2010103)));
    // The key identifier: the SHA-1 of y, stored and computed alike.
    EXPECT_EQ(Sha1Of(Unsigned(Y)), Get(k, 0x10180));
    const Bytes ids = Get(k, 0x10102);
    const Bytes idHash = Sha1Of(Unsigned(Y));
    EXPECT_NE(ids.end(), std::search(ids.begin(), ids.end(), idHash.begin(), idHash.end()));
    // The domain as X9.42 parameters: SEQUENCE { p, g, q }.
    Bytes domain;
    for (const Bytes* b : {&P, &G, &Q}) {
        const Bytes i = DerInteger(*b);
        domain.insert(domain.end(), i.begin(), i.end());
    }
    const Bytes got = Get(k, 0x10106);
    ASSERT_GT(got.size(), domain.size());
    EXPECT_EQ(0x30, got[0]);
    EXPECT_EQ(domain, Bytes(got.end() - static_cast<long>(domain.size()), got.end()));
    // The domain given as one DER value (SEQUENCE { p, q, g }) makes the same key.
    Bytes dss;
    for (const Bytes* b : {&P, &Q, &G}) {
        const Bytes i = DerInteger(*b);
        dss.insert(dss.end(), i.begin(), i.end());
    }
    dss.insert(dss.begin(), {0x30, 0x82, static_cast<uint8_t>(dss.size() >> 8), static_cast<uint8_t>(dss.size())});
    LogIn();
    SCPkcs15ObjectAttributeList again;
    again.AddInteger(1, 0x2010100);
    again.AddAttribute(2)->SetString(2, "dsa again");
    again.AddAttribute(0x10103)->Set(0x10103, xDer.data(), static_cast<uint32_t>(xDer.size()));
    again.AddAttribute(0x10106)->Set(0x10106, dss.data(), static_cast<uint32_t>(dss.size()));
    void* h2 = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(again, &h2, 0));
    EXPECT_EQ(DerInteger(Y), Get(h2, 0x10196));
    EXPECT_EQ(got, Get(h2, 0x10106));
    // An extractable key gives its value.
    EXPECT_EQ(DerInteger(X), Get(k, 0x10103));
}

// An EC private key: its point, curve and identifier (the hash of the point's x) as
// OpenSSL has them.
TEST_F(ObjCreate, EcPrivateKeyIsKeptInAFileAndAnswersItsPoint) {
    LogIn();
    EVP_PKEY* ec = EVP_EC_gen("P-256");
    ASSERT_NE(nullptr, ec);
    const Bytes X = BnBytes(ec, OSSL_PKEY_PARAM_PRIV_KEY);
    size_t pointLen = 0;
    ASSERT_EQ(1, EVP_PKEY_get_octet_string_param(ec, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &pointLen));
    Bytes point(pointLen);
    ASSERT_EQ(1, EVP_PKEY_get_octet_string_param(ec, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(), &pointLen));
    ASSERT_EQ(65u, pointLen);
    unsigned char* der = nullptr;
    const int derLen = i2d_KeyParams(ec, &der);
    ASSERT_GT(derLen, 0);
    const Bytes curve(der, der + derLen);
    OPENSSL_free(der);
    EVP_PKEY_free(ec);

    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x4010100);
    t.AddAttribute(2)->SetString(2, "ec");
    const Bytes xDer = DerInteger(X);
    t.AddAttribute(0x10103)->Set(0x10103, xDer.data(), static_cast<uint32_t>(xDer.size()));
    t.AddAttribute(0x10106)->Set(0x10106, curve.data(), static_cast<uint32_t>(curve.size()));
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    EXPECT_EQ(DerInteger(X), FileBytes(ValuePath(h)));
    Reload();
    LogIn();
    std::vector<void*> keys = Find(0x10100);
    ASSERT_EQ(2u, keys.size());
    void* k = keys[1];
    EXPECT_EQ(0x4010100, m_app->GetObjectKind(k));
    Bytes octets = {0x04, 0x41};
    octets.insert(octets.end(), point.begin(), point.end());
    EXPECT_EQ(octets, Get(k, 0x10196));
    EXPECT_EQ(curve, Get(k, 0x10106));
    EXPECT_EQ(Sha1Of(Bytes(point.begin() + 1, point.begin() + 33)), Get(k, 0x10180));
    SCPkcs15ObjectAttribute bits(0x10104);
    ASSERT_EQ(0, m_app->GetAttributeValue(k, &bits));
    uint32_t b = 0;
    ASSERT_TRUE(bits.GetInteger(&b));
    EXPECT_EQ(256u, b);
}

TEST_F(ObjCreate, SecretKeyIsKeptInItsValueFile) {
    LogIn();
    const Bytes key(16, 0x3C);
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x4030100);
    t.AddAttribute(2)->SetString(2, "session");
    t.AddBinary(0x30101, key.data(), 16);
    void* h = nullptr;
    ClearLog();
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0)) << Log();
    // The file is one OCTET STRING of the key.
    Bytes expect(18, 0x3C);
    expect[0] = 0x04;
    expect[1] = 0x10;
    EXPECT_EQ(expect, FileBytes(ValuePath(h)));
    Reload();
    std::vector<void*> keys = Find(0x30100);
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(key, Get(keys[0], 0x30101));
    SCPkcs15ObjectAttribute bits(0x30102);
    ASSERT_EQ(0, m_app->GetAttributeValue(keys[0], &bits));
    uint32_t b = 0;
    ASSERT_TRUE(bits.GetInteger(&b));
    EXPECT_EQ(128u, b);
    EXPECT_EQ(0x4030100, m_app->GetObjectKind(keys[0]));
    // A new value is stored, or nothing changes.
    LogIn();
    const Bytes key2(16, 0x5A);
    SCPkcs15ObjectAttributeList change;
    change.AddBinary(0x30101, key2.data(), 16);
    ASSERT_EQ(0, m_app->SetAttributeValues(keys[0], &change));
    Reload();
    keys = Find(0x30100);
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(key2, Get(keys[0], 0x30101));
    LogIn();
    const SCPath valuePath = ValuePath(keys[0]);
    ASSERT_EQ(0, m_app->DestroyObject(keys[0], true));
    EXPECT_FALSE(Exists(valuePath));
}

namespace {
// The end of the DER element that begins at `at` (definite lengths).
size_t TlvEnd(const Bytes& b, size_t at) {
    if (at + 2 > b.size()) return b.size() + 1;
    size_t len = b[at + 1], hdr = 2;
    if (len & 0x80) {
        hdr += len & 0x7F;
        len = 0;
        for (size_t i = 2; i < hdr && at + i < b.size(); ++i) len = (len << 8) | b[at + i];
    }
    return at + hdr + len;
}
// A short label as its record holds it: a UTF8String.
Bytes Utf8(const std::string& s) {
    Bytes b(s.size() + 2, 0x0C);
    b[1] = static_cast<uint8_t>(s.size());
    std::copy(s.begin(), s.end(), b.begin() + 2);
    return b;
}
}  // namespace

// Each kind made from an attribute list, renamed and deleted: its record is added after
// the directory's records (which keep their octets), the label change touches that record
// alone, and the deletion leaves the card octet for octet as it was before the creation.
TEST_F(ObjCreate, EachKindIsRenamedAndDeletedLeavingTheCardAsBefore) {
    LogIn();
    MakeKinds();
    // The card has no secret-key directory: a first secret key makes it and its ODF entry,
    // with room for the record below.
    {
        SCPkcs15ObjectAttributeList t;
        m_kinds.back().fill(&t);
        t.AddAttribute(2)->SetString(2, std::string(40, 'r').c_str());
        void* h = nullptr;
        ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
        ASSERT_EQ(0, m_app->DestroyObject(h, true));
    }
    const char* const kLabel = "made here";
    for (const Kind& k : m_kinds) {
        SCOPED_TRACE(k.name);
        Reload();
        LogIn();
        const std::string beforeRecords = RecordsImage();
        SCPkcs15ObjectAttributeList t;
        k.fill(&t);
        t.RemoveAttribute(2);
        t.AddAttribute(2)->SetString(2, kLabel);
        void* h = nullptr;
        ASSERT_EQ(0, m_app->CreateObject(t, &h, k.flags)) << LogTail();
        SCPathList paths;
        ASSERT_EQ(0, m_app->GetObjectPaths(h, &paths));
        ASSERT_EQ(2u, paths.Count());
        const SCPath dirPath = paths.At(0), valuePath = paths.At(1);
        // The card's records, unchanged, then the new one, then filler only.
        Reload();
        const Bytes dir = FileBytes(dirPath);
        size_t last = 0, end = 0;
        while (end < dir.size() && !IsFiller(dir[end])) {
            last = end;
            end = TlvEnd(dir, end);
            ASSERT_LE(end, dir.size());
        }
        const Bytes record(dir.begin() + static_cast<long>(last), dir.begin() + static_cast<long>(end));
        EXPECT_EQ(k.tag, record.at(0));
        const Bytes label = Utf8(kLabel), relabel = Utf8("made there");
        const auto at = std::search(record.begin(), record.end(), label.begin(), label.end());
        ASSERT_NE(record.end(), at);
        for (size_t i = end; i < dir.size(); ++i) ASSERT_TRUE(IsFiller(dir[i])) << i;
        EXPECT_TRUE(Exists(valuePath));

        // Renamed: the other records keep their octets; in the new one only the label and
        // the lengths that enclose it change.
        SCPkcs15ObjectAttributeList byLabel;
        byLabel.AddAttribute(2)->SetString(2, kLabel);
        std::vector<void*> found;
        ASSERT_EQ(1, m_app->FindObjects(&byLabel, &found));
        LogIn();
        SCPkcs15ObjectAttributeList change;
        change.AddAttribute(2)->SetString(2, "made there");
        ASSERT_EQ(0, m_app->SetAttributeValues(found[0], &change)) << LogTail();
        const Bytes renamed = FileBytes(dirPath);
        ASSERT_EQ(dir.size(), renamed.size());
        EXPECT_EQ(Bytes(dir.begin(), dir.begin() + static_cast<long>(last)),
                  Bytes(renamed.begin(), renamed.begin() + static_cast<long>(last)));
        const size_t renamedEnd = TlvEnd(renamed, last);
        ASSERT_EQ(end + 1, renamedEnd);
        const Bytes tail(at + static_cast<long>(label.size()), record.end());
        EXPECT_EQ(tail, Bytes(renamed.begin() + static_cast<long>(renamedEnd - tail.size()),
                              renamed.begin() + static_cast<long>(renamedEnd)));
        EXPECT_EQ(relabel, Bytes(renamed.begin() + static_cast<long>(renamedEnd - tail.size() - relabel.size()),
                                 renamed.begin() + static_cast<long>(renamedEnd - tail.size())));
        Reload();
        SCPkcs15ObjectAttributeList byNewLabel;
        byNewLabel.AddAttribute(2)->SetString(2, "made there");
        found.clear();
        ASSERT_EQ(1, m_app->FindObjects(&byNewLabel, &found));

        // Deleted with its value: the card holds what it held before, but for filler.
        LogIn();
        ASSERT_EQ(0, m_app->DestroyObject(found[0], true)) << LogTail();
        EXPECT_FALSE(Exists(valuePath));
        EXPECT_EQ(beforeRecords, RecordsImage());
    }
}

TEST_F(ObjCreate, FailureAtEachCreationStepLeavesTheCardAsItWas) {
    MakeKinds();
    for (const Kind& k : m_kinds) {
        SCOPED_TRACE(k.name);
        auto create = [&](void** h) {
            SCPkcs15ObjectAttributeList t;
            k.fill(&t);
            return m_app->CreateObject(t, h, k.flags);
        };
        EXPECT_GT(FailAtEachStep(create), 3);
    }
}

TEST_F(ObjCreate, FailureAtEachChangeAndDeletionStepLeavesTheCardAsItWas) {
    LogIn();
    NewKey();
    const Bytes value = {'d', 'o'};
    SCPkcs15ObjectAttributeList d;
    d.AddInteger(1, 0x1000600);
    d.AddAttribute(2)->SetString(2, "to delete");
    d.AddBinary(0x601, value.data(), 2);
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(d, &h, 0));
    SCPkcs15ObjectAttributeList k;
    PrivateKeyTemplate(&k, "key to delete");
    ASSERT_EQ(0, m_app->CreateObject(k, &h, 0));
    SCPkcs15ObjectAttributeList f;
    PrivateKeyTemplate(&f, "file to delete");
    ASSERT_EQ(0, m_app->CreateObject(f, &h, SCPkcs15App::CREATE_RSA_AS_FILE));
    for (const char* label : {"to delete", "key to delete", "file to delete"}) {
        SCOPED_TRACE(label);
        auto find = [&] {
            SCPkcs15ObjectAttributeList byLabel;
            byLabel.AddAttribute(2)->SetString(2, label);
            std::vector<void*> found;
            EXPECT_GE(m_app->FindObjects(&byLabel, &found), 0);
            EXPECT_EQ(1u, found.size());
            return found.empty() ? nullptr : found[0];
        };
        // A change of its label, then its deletion.
        auto rename = [&](void* h, void**) {
            SCPkcs15ObjectAttributeList change;
            change.AddAttribute(2)->SetString(2, label);
            return m_app->SetAttributeValues(h, &change);
        };
        EXPECT_GT(FailAtEachStep(find, rename), 2);
        auto destroy = [&](void* h, void**) { return m_app->DestroyObject(h, true); };
        EXPECT_GT(FailAtEachStep(find, destroy), 2);
        SCPkcs15ObjectAttributeList byLabel;
        byLabel.AddAttribute(2)->SetString(2, label);
        std::vector<void*> found;
        ASSERT_GE(m_app->FindObjects(&byLabel, &found), 0);
        EXPECT_TRUE(found.empty());
    }
}

// A directory file full to its end must grow for a longer label: a failure at any
// step of that leaves the card as it was; past every failure the directory, under
// its own name, is larger and holds the new label, and no spare is left.
TEST_F(ObjCreate, DirectoryGrowsForALongerRecordOrStaysAsItWas) {
    LogIn();
    MakeKinds();
    SCPkcs15ObjectAttributeList t;
    m_kinds.back().fill(&t);
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    SCPathList paths;
    ASSERT_EQ(0, m_app->GetObjectPaths(h, &paths));
    const SCPath dirPath = paths.At(0);
    const size_t size = FileBytes(dirPath).size();
    const std::string label(size, 'L');
    auto find = [&] {
        std::vector<void*> found = Find(0x30100);
        EXPECT_EQ(1u, found.size());
        return found.empty() ? nullptr : found[0];
    };
    auto rename = [&](void* key, void**) {
        SCPkcs15ObjectAttributeList change;
        change.AddAttribute(2)->SetString(2, label.c_str());
        return m_app->SetAttributeValues(key, &change);
    };
    EXPECT_GT(FailAtEachStep(find, rename), 2);
    SCPath spare(dirPath.Ids(), dirPath.Count() - 1);
    spare.Append(static_cast<uint16_t>(dirPath[dirPath.Count() - 1] ^ 0x8000));
    EXPECT_FALSE(Exists(spare));
    Reload();
    void* grown = find();
    EXPECT_EQ(label, Label(Get(grown, 2)));
    SCPathList now;
    ASSERT_EQ(0, m_app->GetObjectPaths(grown, &now));
    EXPECT_TRUE(now.At(0).IsEqual(dirPath));
    EXPECT_GT(FileBytes(dirPath).size(), label.size());
}

TEST_F(ObjCreate, UserConsentKeyNeedsTheGuardingPinToExist) {
    LogIn();
    NewKey();
    SCPkcs15ObjectAttributeList t;
    PrivateKeyTemplate(&t, "consent");
    t.AddInteger(5, 1);
    const uint8_t nobody = 0x77;
    t.AddBinary(4, &nobody, 1);
    void* h = nullptr;
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_OBJECT, m_app->CreateObject(t, &h, 0));
}

// ---------------------------------------------------------------------------
// Key pairs generated on the card.

namespace {

class KeyGen : public ObjCreate, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        CardSim::SetUp();
        SCPkcs15InstallAppServices();
        const int model = GetParam();
        if (model == 3) {
            OpenCard("pkcs15-model3", Connect("pkcs15-model3"));
        } else if (model == 2 || model == 5 || model == 6) {
            // The shipped image as a card of the model: the model and ATR lines of its blank card.
            const std::string name = "p15-model" + std::to_string(model), path = ImagePath(name);
            Generate("blank --model " + std::to_string(model), path);
            const std::string blank = ImageBytes(name);
            std::string shipped = testsupport::ReadFileText(CARDSIM_CARDS_DIR "/pkcs15-model3.card");
            shipped.replace(0, shipped.find("\nserial "), blank.substr(0, blank.find("\nserial ")));
            std::ofstream(path) << shipped;
            OpenCard(name, Insert(name, path));
        } else {
            const std::string name = "p15-model" + std::to_string(model);
            OpenCard(name, ConnectGenerated(name, "pkcs15 --model " + std::to_string(model)));
        }
    }
    void Templates(SCPkcs15ObjectAttributeList* prv, SCPkcs15ObjectAttributeList* pub, const char* label) {
        prv->AddInteger(1, 0x1010100);
        prv->AddAttribute(2)->SetString(2, label);
        prv->AddInteger(0x1010101, 1024);
        pub->AddInteger(1, 0x1020100);
        pub->AddAttribute(2)->SetString(2, label);
    }
    // OpenSSL's key for the modulus and exponent the card gave.
    EVP_PKEY* PublicOf(void* h, uint64_t nType, uint64_t eType) {
        RSAPublicKey pk(0);
        const Bytes nn = Get(h, nType), ee = Get(h, eType);
        EXPECT_EQ(1, pk.setModulusBytes(nn.data(), (long)nn.size()));
        EXPECT_EQ(1, pk.setPublicExponentBytes(ee.data(), (long)ee.size()));
        return PublicFromDer(EncodePublic(pk));
    }
    void ExpectWorkingKey(void* prv, EVP_PKEY* pub) {
        ASSERT_NE(nullptr, pub);
        LogIn();
        const Bytes msg = {'g', 'e', 'n', 'e', 'r', 'a', 't', 'e', 'd'};
        const Bytes di = Sha256DigestInfo(msg);
        const uint32_t k = static_cast<uint32_t>(EVP_PKEY_get_size(pub));
        Bytes sig(k);
        uint32_t len = k;
        ASSERT_EQ(0, m_app->Sign(prv, 2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len));
        EXPECT_TRUE(OpenSslVerifySha256(pub, msg, sig));
        const Bytes ct = OpenSslEncrypt(pub, msg, RSA_PKCS1_PADDING);
        Bytes out(k);
        len = k;
        ASSERT_EQ(0, m_app->Decrypt(prv, 2, ct.data(), k, out.data(), &len));
        EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
    }
};

}  // namespace

TEST_P(KeyGen, PairIsGeneratedWithItsPublicKeyAndWorksForOpenSsl) {
    LogIn();
    SCPkcs15ObjectAttributeList prvT, pubT;
    Templates(&prvT, &pubT, "generated");
    void* prv = nullptr;
    void* pub = nullptr;
    ASSERT_EQ(0, m_app->GenerateKeyPair(prvT, &pubT, &prv, &pub, 0));
    ASSERT_NE(nullptr, prv);
    ASSERT_NE(nullptr, pub);
    SCPkcs15ObjectAttribute access(0x104);
    ASSERT_EQ(0, m_app->GetAttributeValue(prv, &access));
    uint32_t v = 0, m = 0;
    ASSERT_TRUE(access.GetFlags(&v, &m));
    EXPECT_EQ(29u, v);  // sensitive, never extractable and made on the card
    // After a reload both records are found, and the pair works.
    Reload();
    std::vector<void*> prvs = Find(0x10100), pubs = Find(0x20100);
    ASSERT_EQ(2u, prvs.size());
    ASSERT_EQ(2u, pubs.size());
    EXPECT_EQ(Get(prvs[1], 0x1010103), Get(pubs[1], 0x1020103));
    void* found = nullptr;
    EXPECT_EQ(0, m_app->FindPublicKeyForKey(prvs[1], &found));
    EVP_PKEY* key = PublicOf(pubs[1], 0x1020103, 0x1020104);
    ExpectWorkingKey(prvs[1], key);
    EVP_PKEY_free(key);
}

TEST_P(KeyGen, PairWithoutAPublicKeyObject) {
    LogIn();
    SCPkcs15ObjectAttributeList prvT, pubT;
    Templates(&prvT, &pubT, "alone");
    void* prv = nullptr;
    ASSERT_EQ(0, m_app->GenerateKeyPair(prvT, nullptr, &prv, nullptr, 0));
    Reload();
    std::vector<void*> prvs = Find(0x10100);
    ASSERT_EQ(2u, prvs.size());
    EXPECT_EQ(1u, Find(0x20100).size());
    EVP_PKEY* key = PublicOf(prvs[1], 0x1010103, 0x1010104);
    ExpectWorkingKey(prvs[1], key);
    EVP_PKEY_free(key);
}

TEST_P(KeyGen, FailureAtEachGenerationStepLeavesTheCardAsItWas) {
    for (bool withPublic : {true, false}) {
        SCOPED_TRACE(withPublic ? "with a public key object" : "alone");
        auto generate = [&](void** h) {
            SCPkcs15ObjectAttributeList prvT, pubT;
            Templates(&prvT, &pubT, "failing");
            return m_app->GenerateKeyPair(prvT, withPublic ? &pubT : nullptr, &h[0], &h[1], 0);
        };
        EXPECT_GT(FailAtEachStep(generate), 3);
    }
}

// A private key imported into each card model signs and decrypts for OpenSSL after a
// reload; a failure at any card step of the import leaves the card as it was.
TEST_P(KeyGen, ImportedKeyWorksAndFailedImportsLeaveTheCardAsItWas) {
    NewKey();
    auto import = [&](void** h) {
        SCPkcs15ObjectAttributeList t;
        PrivateKeyTemplate(&t, "imported");
        return m_app->CreateObject(t, h, 0);
    };
    // The last run, past every failure, made the key.
    EXPECT_GT(FailAtEachStep(import), 3);
    Reload();
    std::vector<void*> keys = Find(0x10100);
    ASSERT_EQ(2u, keys.size());
    ExpectWorkingKey(keys[1], m_key);
}

// The key lines of a card image, their values left out.
std::string KeyLines(const std::string& image) {
    std::istringstream in(image);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("key ", 0) == 0) out += line.substr(0, line.find(" ac=")) + "\n";
    return out;
}

// A key the card keeps, generated or imported, is addressed as its card addresses
// private keys: on the model that keeps them by reference inside a DF, the record
// names the application DF and a free reference, which the security environment
// names; where the card uses a key by its file (models 1, 3, 4) the key gets a file
// of its own (from 6000) without a reference, the record names no reference and the
// security environment names the file; on the others it gets a file of its own and
// the next free reference (02), which the record and the environment name. A
// reference the template names is kept and used (as in the keys earlier versions
// made), and so is the shipped key's. Read back after a reload, each key signs and
// decrypts for OpenSSL. A key kept in a readable file gets no reference.
TEST_P(KeyGen, KeysKeptByTheCardAreAddressedAsTheirCardAddressesThem) {
    NewKey();
    SCCardInfo ci;
    std::memset(&ci, 0, sizeof ci);
    ASSERT_GE(m_card->GetCardInfo(&ci), 0);
    const bool byReference = GetParam() == 7, byFile = GetParam() == 1 || GetParam() == 3 || GetParam() == 4;
    EXPECT_EQ(byReference, (ci.rsaCaps & SC_RSA_CAP_PRIV_BY_REF) != 0);
    EXPECT_EQ(byFile, (ci.rsaCaps & SC_RSA_CAP_PRIV_BY_FILE) != 0);
    const SCRESULT keptRef = byReference ? 0x81 : byFile ? SC_E_PKCS15_ATTR_NOT_FOUND : 2;
    const char* keptLine = byReference ? "key 3F00/5015/4B81 lcs=05 ref=81 "
                           : byFile ? "key 3F00/5015/6000 lcs=05 bits=1024 " : "key 3F00/5015/6000 lcs=05 ref=02 ";
    const char* keptNames = byReference ? "840181" : byFile ? "81026000" : "840102";
    const uint16_t df[] = {0x3F00, 0x5015}, file[] = {0x3F00, 0x5015, 0x6000};
    // The shipped key, named by reference 1 in its record and its card file.
    const std::vector<void*> shippedKeys = Find(0x10100), certs = Find(0x200);
    ASSERT_EQ(1u, shippedKeys.size());
    ASSERT_EQ(1u, certs.size());
    EXPECT_EQ(1, m_app->GetKeyReference(shippedKeys[0]));
    const Bytes der = Get(certs[0], 0x1000201);
    const uint8_t* dp = der.data();
    X509* cert = d2i_X509(nullptr, &dp, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, cert);
    EVP_PKEY* shipped = X509_get_pubkey(cert);
    X509_free(cert);
    ClearLog();
    ExpectWorkingKey(shippedKeys[0], shipped);
    EVP_PKEY_free(shipped);
    int shippedSets = 0;
    for (const std::string& cmd : Commands()) {
        if (cmd.rfind("002241", 0) != 0) continue;
        ++shippedSets;
        EXPECT_NE(std::string::npos, cmd.find("840101", 10)) << cmd;
    }
    EXPECT_EQ(2, shippedSets) << LogTail();
    enum How { kGenerated, kImported, kImportedWithReference, kReadable };
    const struct {
        const char* name;
        How how;
        SCRESULT ref;
        SCPath value;
        const char* keyLine;  // the card's new key, as its image shows it
        const char* names;    // how the security environment names the key
    } cases[] = {
        {"generated", kGenerated, keptRef, byReference ? SCPath(df, 2) : SCPath(file, 3), keptLine, keptNames},
        {"imported", kImported, keptRef, byReference ? SCPath(df, 2) : SCPath(file, 3), keptLine, keptNames},
        {"imported with the reference its template names", kImportedWithReference, 2,
         byReference ? SCPath(df, 2) : SCPath(file, 3),
         byReference ? "key 3F00/5015/4B02 lcs=05 ref=02 " : "key 3F00/5015/6000 lcs=05 ref=02 ", "840102"},
        {"in a readable file", kReadable, SC_E_PKCS15_ATTR_NOT_FOUND, SCPath(file, 3), nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reload();
        LogIn();
        void* h = nullptr;
        if (c.how == kGenerated) {
            SCPkcs15ObjectAttributeList prvT, pubT;
            Templates(&prvT, &pubT, "by its card's addressing");
            void* pub = nullptr;
            ASSERT_EQ(0, m_app->GenerateKeyPair(prvT, &pubT, &h, &pub, 0)) << LogTail();
        } else {
            SCPkcs15ObjectAttributeList t;
            PrivateKeyTemplate(&t, "by its card's addressing");
            if (c.how == kImportedWithReference) t.AddInteger(0x105, 2);
            ASSERT_EQ(0, m_app->CreateObject(t, &h, c.how == kReadable ? SCPkcs15App::CREATE_RSA_AS_FILE : 0));
        }
        Reload();
        std::vector<void*> keys = Find(0x10100);
        ASSERT_EQ(2u, keys.size());
        EXPECT_EQ(c.ref, m_app->GetKeyReference(keys[1]));
        EXPECT_TRUE(ValuePath(keys[1]).IsEqual(c.value));
        const std::string image = Image();
        EXPECT_EQ(c.keyLine != nullptr, c.keyLine && image.find(std::string("\n") + c.keyLine) != std::string::npos)
            << KeyLines(image);
        if (c.how != kReadable) {
            EVP_PKEY* pub = c.how == kGenerated ? PublicOf(keys[1], 0x1010103, 0x1010104) : nullptr;
            ClearLog();
            ExpectWorkingKey(keys[1], pub ? pub : m_key);
            EVP_PKEY_free(pub);
            int sets = 0;
            for (const std::string& cmd : Commands()) {
                if (cmd.rfind("002241", 0) != 0) continue;
                ++sets;
                EXPECT_NE(std::string::npos, cmd.find(c.names, 10)) << cmd;
            }
            EXPECT_EQ(2, sets) << LogTail();  // one for the signature, one for the decryption
            LogIn();
            ASSERT_EQ(0, m_app->DestroyObject(keys[1], true));
        }
    }
}

// A template that names the reference of the card's key: the card's key is never
// deleted or written over, whether the card answers that the key exists or refuses
// the creation as not allowed (after which the kept PIN is verified once). The card
// stays as it was and the old key signs as before.
TEST_P(KeyGen, GenerationNeverReplacesAKeyOfTheCard) {
    LogIn();
    std::vector<void*> keys = Find(0x10100), certs = Find(0x200);
    ASSERT_EQ(1u, keys.size());
    ASSERT_EQ(1u, certs.size());
    SCPkcs15ObjectAttribute refAttr(0x105);
    ASSERT_EQ(0, m_app->GetAttributeValue(keys[0], &refAttr));
    uint32_t ref = 0;
    ASSERT_TRUE(refAttr.GetInteger(&ref));
    const Bytes der = Get(certs[0], 0x1000201);
    const uint8_t* dp = der.data();
    X509* cert = d2i_X509(nullptr, &dp, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, cert);
    EVP_PKEY* old = X509_get_pubkey(cert);
    X509_free(cert);
    ASSERT_NE(nullptr, old);

    for (const SCRESULT refusal : {SC_E_KEY_EXISTS, SC_E_ACCESS_DENIED}) {
        SCOPED_TRACE(refusal == SC_E_KEY_EXISTS ? "key exists" : "not allowed");
        const std::string before = Image();
        SCPkcs15ObjectAttributeList prvT, pubT;
        Templates(&prvT, &pubT, "over the card's key");
        prvT.AddInteger(0x105, ref);
        void* prv = nullptr;
        ClearLog();
        if (refusal == SC_E_ACCESS_DENIED) Inject(0xE0, 0x6982, 2);
        EXPECT_EQ(refusal, m_app->GenerateKeyPair(prvT, nullptr, &prv, nullptr, 0)) << LogTail();
        EXPECT_EQ(nullptr, prv);
        int verifications = 0;
        for (const std::string& c : Commands()) {
            EXPECT_NE("E4", c.substr(2, 2)) << c;
            verifications += c.substr(2, 2) == "20";
        }
        EXPECT_EQ(refusal == SC_E_ACCESS_DENIED ? 1 : 0, verifications);
        const std::string after = Image();
        EXPECT_TRUE(before == after) << ImageDiff(before, after) << LogTail();
    }
    Reload();
    LogIn();
    keys = Find(0x10100);
    ASSERT_EQ(1u, keys.size());
    const Bytes msg = {'o', 'l', 'd'};
    const Bytes di = Sha256DigestInfo(msg);
    Bytes sig(static_cast<size_t>(EVP_PKEY_get_size(old)));
    uint32_t len = static_cast<uint32_t>(sig.size());
    ASSERT_EQ(0, m_app->Sign(keys[0], 2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len)) << LogTail();
    EXPECT_TRUE(OpenSslVerifySha256(old, msg, sig));
    EVP_PKEY_free(old);
}

// A key that a cut call left on the card, named by no record, stands where the
// token's next key goes: a generation and then an import each take the next free
// file or reference, every key of the card stays as it was, and both new keys work
// for OpenSSL, also after a reload.
TEST_P(KeyGen, AKeyThatNoRecordNamesIsPassedOverNeverReplaced) {
    LogIn();
    // The leftover: the key of a pair whose record was built but never written.
    SCPkcs15ObjectAttributeList leftT, unused, prvT, pubT, impT;
    Templates(&leftT, &unused, "left by a cut");
    void* h[3] = {};
    SCPkcs15PathObjectInfo* left = nullptr;
    ASSERT_EQ(0, m_app->GenerateKeyPair(leftT, nullptr, &h[0], nullptr, SCPkcs15App::CREATE_RECORD_ONLY));
    ASSERT_EQ(0, m_app->FindListForHandle(h[0])->GetValueObject(h[0], &left));
    ASSERT_NE(nullptr, dynamic_cast<SCPkcs15RsaKeyObject*>(left));
    ASSERT_EQ(0, SCPkcs15RsaKeyObject::GenerateKeyPair(dynamic_cast<SCPkcs15RsaKeyObject*>(left), nullptr, 1024,
                                                       nullptr, 0, 0));
    std::istringstream keys(Image());
    Reload();
    LogIn();
    Templates(&prvT, &pubT, "after the cut");
    ASSERT_EQ(0, m_app->GenerateKeyPair(prvT, &pubT, &h[0], &h[1], 0)) << LogTail();
    EVP_PKEY* generated = PublicOf(h[1], 0x1020103, 0x1020104);
    NewKey();
    PrivateKeyTemplate(&impT, "imported after the cut");
    ASSERT_EQ(0, m_app->CreateObject(impT, &h[2], 0)) << LogTail();
    for (std::string l; std::getline(keys, l);)
        EXPECT_TRUE(l.rfind("key ", 0) != 0 || Image().find(l + "\n") != std::string::npos) << l.substr(0, 80);
    for (int fresh = 0; fresh < 2; ++fresh) {
        if (fresh) {
            Reload();
            const std::vector<void*> prvs = Find(0x10100);
            ASSERT_EQ(3u, prvs.size());
            h[0] = prvs[1];
            h[2] = prvs[2];
        }
        ExpectWorkingKey(h[0], generated);
        ExpectWorkingKey(h[2], m_key);
    }
    EVP_PKEY_free(generated);
}

INSTANTIATE_TEST_SUITE_P(CardModels, KeyGen, ::testing::Values(1, 3, 4, 7, 2, 5, 6));

// A model-4 card whose TokenInfo names the security environment of its keys: each
// key operation restores that environment before it sets up the key.
TEST_F(ObjCreate, ClassIcKeysAreUsedInTheSecurityEnvironmentTheTokenNames) {
    OpenCard("p15-se", ConnectGenerated("p15-se", "pkcs15 --model 4 --se-number 2"));
    LogIn();
    NewKey();
    SCPkcs15ObjectAttributeList t;
    PrivateKeyTemplate(&t, "in environment 2");
    void* h = nullptr;
    ASSERT_EQ(0, m_app->CreateObject(t, &h, 0));
    for (int fresh = 0; fresh < 2; ++fresh) {
        SCOPED_TRACE(fresh ? "after a reload" : "as made");
        if (fresh) {
            Reload();
            LogIn();
            std::vector<void*> keys = Find(0x10100);
            ASSERT_EQ(2u, keys.size());
            h = keys[1];
        }
        const Bytes msg = {'s', 'e'};
        const Bytes di = Sha256DigestInfo(msg);
        Bytes sig(128);
        uint32_t len = 128;
        ClearLog();
        ASSERT_EQ(0, m_app->Sign(h, 2, 0, di.data(), (uint32_t)di.size(), sig.data(), &len)) << Log();
        EXPECT_TRUE(OpenSslVerifySha256(m_key, msg, sig));
        std::vector<std::string> cmds = Commands();
        size_t restore = cmds.size(), set = cmds.size();
        for (size_t i = 0; i < cmds.size(); ++i) {
            if (cmds[i].rfind("0022F302", 0) == 0 && restore == cmds.size()) restore = i;
            if (cmds[i].rfind("002241", 0) == 0 && set == cmds.size()) set = i;
        }
        EXPECT_LT(restore, set) << Log();
        const Bytes ct = OpenSslEncrypt(m_key, msg, RSA_PKCS1_PADDING);
        Bytes out(128);
        len = 128;
        ClearLog();
        ASSERT_EQ(0, m_app->Decrypt(h, 2, ct.data(), 128, out.data(), &len));
        EXPECT_EQ(msg, Bytes(out.begin(), out.begin() + len));
        cmds = Commands();
        EXPECT_TRUE(std::any_of(cmds.begin(), cmds.end(),
                                [](const std::string& c) { return c.rfind("0022F302", 0) == 0; }))
            << Log();
    }
}
// A model-1 card that refuses a PKCS #1 signature over a SHA-1 DigestInfo is asked
// for the signature over the bare hash; when it refuses that too, the block is padded
// here and signed raw. Each signature verifies with the certificate's key.
TEST_F(ObjCreate, SignatureFallsBackToTheHashThenToARawBlockOnAModelOneCard) {
    OpenCard("p15-m1", ConnectGenerated("p15-m1", "pkcs15 --model 1"));
    LogIn();
    std::vector<void*> keys = Find(0x10100), certs = Find(0x200);
    ASSERT_EQ(1u, keys.size());
    ASSERT_EQ(1u, certs.size());
    const Bytes der = Get(certs[0], 0x1000201);
    const uint8_t* dp = der.data();
    X509* cert = d2i_X509(nullptr, &dp, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, cert);
    EVP_PKEY* pub = X509_get_pubkey(cert);
    X509_free(cert);
    ASSERT_NE(nullptr, pub);
    const Bytes msg = {'s', 'e', 't'};
    Bytes di = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    Bytes hash(20);
    SHA1(msg.data(), msg.size(), hash.data());
    di.insert(di.end(), hash.begin(), hash.end());
    auto verifies = [&](const Bytes& sig) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pub, nullptr);
        bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) == 1 &&
                  EVP_PKEY_verify(ctx, sig.data(), sig.size(), hash.data(), hash.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        return ok;
    };
    for (int refusals = 0; refusals <= 2; ++refusals) {
        SCOPED_TRACE(refusals);
        Bytes sig(256);
        uint32_t len = 256;
        ClearLog();
        if (refusals) Inject(0x2A, 0x6700, refusals);
        ASSERT_EQ(0, m_app->Sign(keys[0], 2, 0, di.data(), static_cast<uint32_t>(di.size()), sig.data(), &len))
            << LogTail();
        ASSERT_EQ(256u, len);
        EXPECT_TRUE(verifies(sig));
        // Each signature command (a chain counts once) and the octets it carried.
        std::vector<size_t> signs;
        size_t carried = 0;
        for (const std::string& c : Commands()) {
            if (c.size() < 10 || c.substr(2, 6) != "2A9E9A") continue;
            const unsigned b4 = static_cast<unsigned>(std::stoul(c.substr(8, 2), nullptr, 16));
            carried += b4 ? b4 : static_cast<size_t>(std::stoul(c.substr(10, 4), nullptr, 16));
            if (c.rfind("00", 0) == 0) {
                signs.push_back(carried);
                carried = 0;
            }
        }
        ASSERT_EQ(static_cast<size_t>(refusals + 1), signs.size()) << LogTail();
        // The DigestInfo, the bare hash, then a whole block of the key's size.
        const size_t expect[] = {35, 20, 256};
        EXPECT_EQ(expect[refusals], signs.back()) << LogTail();
    }
    // Refused three times: the card's answer is the failure.
    Bytes sig(256);
    uint32_t len = 256;
    Inject(0x2A, 0x6700, 3);
    EXPECT_EQ(SC_E_INVALID_DATA_LENGTH,
              m_app->Sign(keys[0], 2, 0, di.data(), static_cast<uint32_t>(di.size()), sig.data(), &len));
    EVP_PKEY_free(pub);
}


// The directories name the user PIN that guards them; deleting that PIN object
// leaves them guarded by no PIN, and a private object then has none to take.
TEST_F(ObjCreate, DirectoriesForgetTheirGuardingPinWhenItsObjectIsDeleted) {
    LogIn();
    ASNPkcs15AuthObject* user = nullptr;
    ASNPkcs15AuthObject* so = nullptr;
    ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &user));
    ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_SO, &so));
    ASSERT_EQ(0, m_app->VerifyPin(so, "87654321", true, nullptr));  // the PIN directory is the officer's
    ASSERT_EQ(0, m_app->DestroyObject(SCPkcs15App::HandleOfPin(user), false)) << LogTail();
    SCPkcs15ObjectAttributeList t;
    t.AddInteger(1, 0x1000600);
    t.AddAttribute(2)->SetString(2, "private notes");
    const Bytes value = {'x'};
    t.AddBinary(0x601, value.data(), 1);
    t.AddFlags(3, 1, 1);
    void* h = nullptr;
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_OBJECT, m_app->CreateObject(t, &h, 0)) << LogTail();
    EXPECT_EQ(nullptr, h);
}
