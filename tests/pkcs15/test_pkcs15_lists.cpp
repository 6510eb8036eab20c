// Directory lists against the card simulator's PKCS#15 card: PIN, certificate
// and data-object directories read and searched, the certificate compared with
// OpenSSL's reading of it, data objects created, deleted and rolled back, and
// hostile directory contents.
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "pkcs15/scpkcs15certlist.h"
#include "pkcs15/scpkcs15dataobjectlist.h"
#include "smartcard/sc_transactguard.h"
#include "tests/smartcard/card_fixture.h"

namespace {

const char kUserPin[] = "1234";
const char kSoPin[] = "87654321";

std::vector<uint8_t> Bytes(const SCPkcs15ObjectAttribute& a) {
    return a.GetValue() ? std::vector<uint8_t>(a.GetValue(), a.GetValue() + a.GetLength()) : std::vector<uint8_t>();
}

std::vector<uint8_t> Encoded(SCPkcs15PathObjectInfo& list) {
    MemFile f;
    EXPECT_GE(list.Encode(&f), 0);
    return f.Size() > 0 ? std::vector<uint8_t>(f.GetData(), f.GetData() + f.Size()) : std::vector<uint8_t>();
}

void ParseBytes(SCPkcs15PathObjectInfo& list, const std::vector<uint8_t>& bytes, SCRESULT expect) {
    MemFile in;
    if (!bytes.empty()) in.Write(bytes.size(), bytes.data());
    in.Seek(0);
    EXPECT_EQ(expect, list.Parse(&in, static_cast<uint32_t>(bytes.size())));
}

class Pkcs15Lists : public CardSim {
protected:
    void SetUp() override {
        CardSim::SetUp();
        SCPkcs15InstallAppServices();
        m_card = Connect("pkcs15-model3-puk");
        ASSERT_NE(nullptr, m_card);
        m_p15.reset(new SCPkcs15Card(m_card));
        ASSERT_EQ(0, m_p15->Load());
        m_app = m_p15->GetApplicationAt(0);
        ASSERT_NE(nullptr, m_app);
        ASSERT_EQ(0, m_app->Load(false));
    }
    void TearDown() override {
        m_p15.reset();
        CardSim::TearDown();
    }
    // A typed list over the directory file that the ODF names under the tag.
    template <class L, class... A>
    std::unique_ptr<L> Open(int tag, A... args) {
        SCPkcs15ObjectList* g = m_app->FindDirectoryFile(tag);
        EXPECT_NE(nullptr, g);
        if (!g) return nullptr;
        std::unique_ptr<L> l(new L(m_card, args...));
        EXPECT_TRUE(l->CopyBasePath(g->GetBasePath()));
        EXPECT_TRUE(l->SetPath(g->GetPath(), g->GetIndex(), g->GetLength()));
        l->SetApplication(m_app);
        l->SetCreateParameters(3, 0x88B1, m_app->GetHeaderList());
        l->SetAuthHandle(g->GetAuthHandle());
        return l;
    }
    void LogIn() {
        ASNPkcs15AuthObject* pin = nullptr;
        ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_USER, &pin));
        ASSERT_EQ(0, m_app->VerifyPin(pin, kUserPin, true, nullptr));
    }
    // Directory files are resized on a rewrite: the card deletes them only for the officer.
    void LogInBoth() {
        LogIn();
        ASNPkcs15AuthObject* so = nullptr;
        ASSERT_EQ(0, m_app->FindPinObject(SCPkcs15App::PIN_SO, &so));
        ASSERT_EQ(0, m_app->VerifyPin(so, kSoPin, true, nullptr));
    }
    std::vector<void*> All(SCPkcs15ObjectList& l, const SCPkcs15ObjectAttributeList* tmpl = nullptr) {
        std::vector<void*> out;
        void* h = nullptr;
        for (;;) {
            uint32_t found = 0;
            EXPECT_EQ(0, l.FindObjects(tmpl, &found, &h));
            if (!found) break;
            out.push_back(h);
        }
        return out;
    }
    SCCard* m_card = nullptr;
    std::unique_ptr<SCPkcs15Card> m_p15;
    SCPkcs15App* m_app = nullptr;
};

TEST_F(Pkcs15Lists, CertificateAttributesAgreeWithOpenSSL) {
    auto cdf = Open<SCPkcs15CertificateList>(0xA4, false);
    ASSERT_TRUE(cdf);
    SCPkcs15ObjectAttributeList kind;
    kind.AddInteger(1, 0x1000200);
    std::vector<void*> certs = All(*cdf, &kind);
    ASSERT_EQ(1u, certs.size());
    void* h = certs[0];

    SCPkcs15ObjectAttribute value(0x1000201);
    ASSERT_EQ(0, cdf->GetAttribute(h, &value));
    std::vector<uint8_t> der = Bytes(value);
    const uint8_t* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(nullptr, x);
    EXPECT_EQ(der.data() + der.size(), p);

    auto i2d = [](auto* obj, auto fn) {
        unsigned char* out = nullptr;
        int n = fn(obj, &out);
        std::vector<uint8_t> v(out, out + (n > 0 ? n : 0));
        OPENSSL_free(out);
        return v;
    };
    SCPkcs15ObjectAttribute subject(0x1000202), issuer(0x1000203), serial(0x1000204);
    ASSERT_EQ(0, cdf->GetAttribute(h, &subject));  // not in the record: from the certificate
    ASSERT_EQ(0, cdf->GetAttribute(h, &issuer));
    ASSERT_EQ(0, cdf->GetAttribute(h, &serial));
    EXPECT_EQ(i2d(X509_get_subject_name(x), i2d_X509_NAME), Bytes(subject));
    EXPECT_EQ(i2d(X509_get_issuer_name(x), i2d_X509_NAME), Bytes(issuer));
    EXPECT_EQ(i2d(X509_get0_serialNumber(x), i2d_ASN1_INTEGER), Bytes(serial));

    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x);
    std::vector<uint8_t> key(bits->data, bits->data + bits->length);
    SCPkcs15ObjectAttribute pub(0x282), hash(0xFF000080);
    ASSERT_EQ(0, cdf->GetAttribute(h, &pub));
    EXPECT_EQ(key, Bytes(pub));
    ASSERT_EQ(0, cdf->GetAttribute(h, &hash));
    uint8_t sha[20];
    SHA1(key.data(), key.size(), sha);
    EXPECT_EQ(std::vector<uint8_t>(sha, sha + 20), Bytes(hash));
    X509_free(x);

    SCPkcs15ObjectAttribute label(2), trust(0x206), vendor(0xFF000003);
    ASSERT_EQ(0, cdf->GetAttribute(h, &label));
    EXPECT_EQ("Certificate", std::string(reinterpret_cast<const char*>(label.GetValue()), label.GetLength()));
    ASSERT_EQ(0, cdf->GetAttribute(h, &trust));
    bool trusted = true;
    ASSERT_TRUE(trust.GetBoolean(&trusted));
    EXPECT_FALSE(trusted);
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, cdf->GetAttribute(h, &vendor));

    // The same file read as a trusted-certificates list reports implicit trust.
    auto trustedList = Open<SCPkcs15CertificateList>(0xA4, true);
    std::vector<void*> t = All(*trustedList);
    ASSERT_EQ(1u, t.size());
    SCPkcs15ObjectAttribute trust2(0x206);
    ASSERT_EQ(0, trustedList->GetAttribute(t[0], &trust2));
    ASSERT_TRUE(trust2.GetBoolean(&trusted));
    EXPECT_TRUE(trusted);
    // A handle of another list is refused.
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, trustedList->GetAttribute(h, &trust2));
}

TEST_F(Pkcs15Lists, IssuerThatIsNotANameIsRefused) {
    auto cdf = Open<SCPkcs15CertificateList>(0xA4, false);
    std::vector<void*> certs = All(*cdf);
    ASSERT_EQ(1u, certs.size());
    SCPkcs15ObjectAttribute set(0x1000203);
    const uint8_t notName[] = {0x31, 0x00};
    ASSERT_TRUE(set.Set(0x1000203, notName, sizeof notName));
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR_VALUE, cdf->SetAttribute(certs[0], &set));
    EXPECT_FALSE(cdf->IsDirty());
}

TEST_F(Pkcs15Lists, MissingValueFilesAreErrorsNotEmptyValues) {
    LogIn();
    {
        SCTransactGuard guard(m_card);
        const uint16_t app[] = {0x3F00, 0x5015};
        ASSERT_EQ(0, m_card->SelectPath(app, 2));
        ASSERT_EQ(0, m_card->DeleteFile(0x4301));
        ASSERT_EQ(0, m_card->SelectPath(app, 2));
        ASSERT_EQ(0, m_card->DeleteFile(0x5701));
    }
    auto cdf = Open<SCPkcs15CertificateList>(0xA4, false);
    std::vector<void*> certs = All(*cdf);
    ASSERT_EQ(1u, certs.size());
    SCPkcs15ObjectAttribute value(0x1000201);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, cdf->GetAttribute(certs[0], &value));
    EXPECT_EQ(0u, value.GetLength());
    auto dodf = Open<SCPkcs15DataObjectList>(0xA7);
    std::vector<void*> objs = All(*dodf);
    ASSERT_EQ(1u, objs.size());
    SCPkcs15ObjectAttribute data(0x601);
    EXPECT_EQ(SC_E_FILE_NOT_FOUND, dodf->GetAttribute(objs[0], &data));
}

TEST_F(Pkcs15Lists, DataObjectReadAndAttributes) {
    auto dodf = Open<SCPkcs15DataObjectList>(0xA7);
    std::vector<void*> objs = All(*dodf);
    ASSERT_EQ(1u, objs.size());
    EXPECT_EQ(0x1000600, dodf->GetObjectKind(objs[0]));
    SCPkcs15ObjectAttribute value(0xFF000002), app(0x603), oid(0x604), bad(0xFF000001), other(0x605);
    ASSERT_EQ(0, dodf->GetAttribute(objs[0], &value));
    const std::string v(reinterpret_cast<const char*>(value.GetValue()), value.GetLength());
    EXPECT_EQ(0u, v.rfind("CardSim data object of ", 0)) << v;
    ASSERT_EQ(0, dodf->GetAttribute(objs[0], &app));
    EXPECT_EQ("CardSim", std::string(reinterpret_cast<const char*>(app.GetValue()), app.GetLength()));
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, dodf->GetAttribute(objs[0], &oid));
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, dodf->GetAttribute(objs[0], &bad));
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_ATTR, dodf->GetAttribute(objs[0], &other));

    // An OID set removes an empty name; emptying the OID again keeps the name present.
    SCPkcs15ObjectAttribute setOid(0x604);
    const uint8_t oidDer[] = {0x06, 0x03, 0x2A, 0x03, 0x04};
    ASSERT_TRUE(setOid.Set(0x604, oidDer, sizeof oidDer));
    ASSERT_EQ(0, dodf->SetAttribute(objs[0], &setOid));
    EXPECT_TRUE(dodf->IsDirty());
    SCPkcs15ObjectAttribute oid2(0x604);
    ASSERT_EQ(0, dodf->GetAttribute(objs[0], &oid2));
    EXPECT_EQ(std::vector<uint8_t>(oidDer, oidDer + sizeof oidDer), Bytes(oid2));
    SCPkcs15ObjectAttribute clearOid(0x604);
    ASSERT_EQ(0, dodf->SetAttribute(objs[0], &clearOid));
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, dodf->GetAttribute(objs[0], &oid));
    ASSERT_EQ(0, dodf->GetAttribute(objs[0], &app));
}

TEST_F(Pkcs15Lists, PinObjectAttributes) {
    auto* aodf = static_cast<SCPkcs15AuthObjectList*>(m_app->FindDirectoryFile(0xA8));
    ASSERT_NE(nullptr, aodf);
    std::vector<void*> pins = All(*aodf);
    ASSERT_EQ(3u, pins.size());
    SCPkcs15ObjectAttribute flags(3), ref(0x1000706), last(0x1000708), id(0x701);
    ASSERT_EQ(0, aodf->GetAttribute(pins[0], &flags));
    uint32_t v = 99, m = 0;
    ASSERT_TRUE(flags.GetFlags(&v, &m));
    EXPECT_EQ(0u, v);
    EXPECT_EQ(0xFFFFFFFFu, m);
    ASSERT_EQ(0, aodf->GetAttribute(pins[0], &ref));
    uint32_t r = 0;
    ASSERT_TRUE(ref.GetInteger(&r));
    EXPECT_EQ(0x81u, r);
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_ATTR, aodf->GetAttribute(pins[0], &last));
    ASSERT_EQ(0, aodf->GetAttribute(pins[0], &id));
    EXPECT_EQ(std::vector<uint8_t>{0x01}, Bytes(id));
    EXPECT_EQ(0, aodf->IsPrivate(pins[0]));
    EXPECT_EQ(1, aodf->IsReadOnly(pins[0]));
    int other = 0;
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, aodf->IsPrivate(&other));
}

TEST_F(Pkcs15Lists, DataObjectCreatedAndDeleted) {
    LogIn();
    auto dodf = Open<SCPkcs15DataObjectList>(0xA7);
    void* rec = nullptr;
    ASSERT_EQ(0, dodf->CreateRecord(nullptr, &rec));
    SCPkcs15ObjectAttribute label(2), app(0x603), flags(3), value(0x601);
    ASSERT_TRUE(label.SetString(2, "New object"));
    ASSERT_TRUE(app.SetString(0x603, "Test"));
    ASSERT_TRUE(flags.SetFlags(3, 2, 0xFFFFFFFF));
    const char payload[] = "payload bytes";
    ASSERT_TRUE(value.SetBinary(0x601, payload, sizeof payload - 1));
    ASSERT_EQ(0, dodf->SetAttribute(rec, &label));
    ASSERT_EQ(0, dodf->SetAttribute(rec, &app));
    ASSERT_EQ(0, dodf->SetAttribute(rec, &flags));
    ASSERT_EQ(0, dodf->SetValueFileParameters(rec, 3, 0x88B1, m_app->GetHeaderList()));
    ASSERT_EQ(0, dodf->SetAttribute(rec, &value));
    ClearLog();
    ASSERT_EQ(0, dodf->CommitObject(rec));
    // The directory is updated in place, never deleted and made again.
    for (const std::string& c : Commands()) EXPECT_NE("00E40000024405", c);
    EXPECT_FALSE(dodf->IsDirty());

    // A fresh list reads both objects back from the card.
    auto again = Open<SCPkcs15DataObjectList>(0xA7);
    std::vector<void*> objs = All(*again);
    ASSERT_EQ(2u, objs.size());
    SCPkcs15ObjectAttribute read(0x601);
    ASSERT_EQ(0, again->GetAttribute(objs[1], &read));
    EXPECT_EQ(std::string(payload), std::string(reinterpret_cast<const char*>(read.GetValue()), read.GetLength()));

    ASSERT_EQ(0, again->DeleteObject(objs[1]));
    auto third = Open<SCPkcs15DataObjectList>(0xA7);
    EXPECT_EQ(1u, All(*third).size());
    // The first list's copy of the deleted object names nothing the card holds: its
    // deletion answers so, and the record is merged away.
    EXPECT_EQ(SC_E_PKCS15_INVALID_HANDLE, dodf->DeleteObject(rec));
    EXPECT_FALSE(dodf->HoldsHandle(rec));
    EXPECT_EQ(1u, All(*third).size());
}

TEST_F(Pkcs15Lists, FailedDirectoryWriteRemovesTheNewValueFile) {
    LogIn();
    auto dodf = Open<SCPkcs15DataObjectList>(0xA7);
    const std::vector<uint8_t> before = [&] {
        auto l = Open<SCPkcs15DataObjectList>(0xA7);
        All(*l);
        return Encoded(*l);
    }();
    void* rec = nullptr;
    ASSERT_EQ(0, dodf->CreateRecord(nullptr, &rec));
    SCPkcs15ObjectAttribute app(0x603);
    ASSERT_TRUE(app.SetString(0x603, "Doomed"));
    ASSERT_EQ(0, dodf->SetAttribute(rec, &app));
    ASSERT_EQ(0, dodf->SetValueFileParameters(rec, 3, 0x88B1, m_app->GetHeaderList()));
    SCPkcs15PathObjectInfo* v = nullptr;
    ASSERT_EQ(0, dodf->GetValueObject(rec, &v, false));
    ASSERT_NE(nullptr, v);
    const uint16_t fid = v->GetPath()[v->GetPath().Count() - 1];
    // The value file is empty (created without a write); the directory's update fails.
    Inject(0xD6, 0x6581, 4);
    EXPECT_GT(0, dodf->CommitObject(rec));
    Inject(0xD6, 0x9000, 0);
    EXPECT_FALSE(dodf->HoldsHandle(rec));
    {
        SCTransactGuard guard(m_card);
        const uint16_t path[] = {0x3F00, 0x5015, fid};
        EXPECT_EQ(SC_E_FILE_NOT_FOUND, m_card->SelectPath(path, 3));
    }
    auto again = Open<SCPkcs15DataObjectList>(0xA7);
    EXPECT_EQ(1u, All(*again).size());
    EXPECT_EQ(before, Encoded(*again));
}

TEST_F(Pkcs15Lists, CertificateCreatedReadBackAndDeleted) {
    LogIn();
    auto cdf = Open<SCPkcs15CertificateList>(0xA4, false);
    std::vector<void*> certs = All(*cdf);
    ASSERT_EQ(1u, certs.size());
    SCPkcs15ObjectAttribute der(0x1000201);
    ASSERT_EQ(0, cdf->GetAttribute(certs[0], &der));
    ASSERT_GT(der.GetLength(), 100u);

    // A certificate kind of another family is refused.
    SCPkcs15ObjectAttributeList wrong;
    wrong.AddInteger(1, 0x10100);
    void* rec = nullptr;
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_TYPE, cdf->CreateRecord(&wrong, &rec));

    ASSERT_EQ(0, cdf->CreateRecord(nullptr, &rec));
    SCPkcs15ObjectAttribute label(2), id(0x201), value(0x1000201);
    ASSERT_TRUE(label.SetString(2, "Copy"));
    const uint8_t idBytes[] = {0x42};
    ASSERT_TRUE(id.SetBinary(0x201, idBytes, 1));
    ASSERT_TRUE(value.Set(0x1000201, der.GetValue(), der.GetLength()));
    ASSERT_EQ(0, cdf->SetAttribute(rec, &label));
    ASSERT_EQ(0, cdf->SetAttribute(rec, &id));
    ASSERT_EQ(0, cdf->SetValueFileParameters(rec, 3, 0x88B1, m_app->GetHeaderList()));
    ASSERT_EQ(0, cdf->SetAttribute(rec, &value));
    ASSERT_EQ(0, cdf->CommitObject(rec));

    auto again = Open<SCPkcs15CertificateList>(0xA4, false);
    std::vector<void*> now = All(*again);
    ASSERT_EQ(2u, now.size());
    SCPkcs15ObjectAttribute back(0x1000201);
    ASSERT_EQ(0, again->GetAttribute(now[1], &back));
    EXPECT_EQ(Bytes(der), Bytes(back));
    ASSERT_EQ(0, again->DeleteObject(now[1]));
    EXPECT_EQ(1u, All(*Open<SCPkcs15CertificateList>(0xA4, false)).size());

}

TEST_F(Pkcs15Lists, HostileDirectoryContents) {
    SCPkcs15DataObjectList l(nullptr);
    // Filler first: no records even when records follow.
    ParseBytes(l, {0x00, 0x30, 0x03, 0x30, 0x01, 0x00}, 0);
    EXPECT_TRUE(l.IsEmpty());
    // Truncated TLV and absurd lengths are refused.
    ParseBytes(l, {0x30, 0x05, 0x30}, SC_E_INVALID_DATA_FORMAT);
    ParseBytes(l, {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, SC_E_INVALID_DATA_FORMAT);
    ParseBytes(l, {0x30, 0x89, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09}, SC_E_INVALID_DATA_FORMAT);
    // Well-formed records of another type are kept raw and written back after the decoded ones.
    const std::vector<uint8_t> good = {0x30, 0x13, 0x30, 0x04, 0x0C, 0x02, 'h', 'i', 0x30, 0x03, 0x0C, 0x01, 'A',
                                       0xA1, 0x06, 0x30, 0x04, 0x04, 0x02, 0x57, 0x01};
    std::vector<uint8_t> bytes = {0x04, 0x02, 0xAB, 0xCD};
    bytes.insert(bytes.end(), good.begin(), good.end());
    bytes.push_back(0x00);
    bytes.push_back(0xFF);
    ParseBytes(l, bytes, 0);
    EXPECT_EQ(1, l.Records().GetCount());
    EXPECT_EQ(1, l.GetRawRecordCount());
    std::vector<uint8_t> expect(good);
    expect.insert(expect.end(), {0x04, 0x02, 0xAB, 0xCD});
    EXPECT_EQ(expect, Encoded(l));

    SCPkcs15CertificateList c(nullptr);
    ParseBytes(c, {0xA0, 0x02, 0x05, 0x00, 0x30, 0x00}, 0);
    EXPECT_EQ(0, c.Records().GetCount());
    EXPECT_EQ(2, c.GetRawRecordCount());
}

// The template's own behaviour, without the overrides of a concrete list.
class PlainList : public SCPkcs15TypedObjectList<ASNPkcs15DataObject> {
public:
    PlainList() : SCPkcs15TypedObjectList<ASNPkcs15DataObject>(nullptr, 0x600) {}
};

TEST_F(Pkcs15Lists, CommonAttributesOnANewRecord) {
    PlainList l;
    void* rec = l.HandleOf(l.Records().NewRecord());
    ASSERT_NE(nullptr, rec);
    SCPkcs15ObjectAttribute flags(3);
    ASSERT_EQ(0, l.GetAttribute(rec, &flags));
    uint32_t v = 0, m = 0;
    ASSERT_TRUE(flags.GetFlags(&v, &m));
    // Flags absent: public and modifiable; the queries themselves say not found.
    EXPECT_EQ(2u, v);
    EXPECT_EQ(0xFFFFFFFFu, m);
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, l.IsPrivate(rec));
    SCPkcs15ObjectAttribute priv(3);
    ASSERT_TRUE(priv.SetFlags(3, 1, 1));
    ASSERT_EQ(0, l.SetAttribute(rec, &priv));
    EXPECT_EQ(1, l.IsPrivate(rec));
    EXPECT_EQ(1, l.IsReadOnly(rec));  // modifiable bit stayed clear
    SCPkcs15ObjectAttribute label(2), consent(5), kind(1);
    ASSERT_TRUE(label.SetString(2, "x"));
    ASSERT_EQ(0, l.SetAttribute(rec, &label));
    SCPkcs15ObjectAttribute nolabel(2);
    ASSERT_EQ(0, l.SetAttribute(rec, &nolabel));
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, l.GetAttribute(rec, &label));
    ASSERT_TRUE(consent.SetInteger(5, 0));
    ASSERT_EQ(0, l.SetAttribute(rec, &consent));
    EXPECT_EQ(SC_E_PKCS15_ATTR_NOT_FOUND, l.GetAttribute(rec, &consent));
    ASSERT_TRUE(kind.SetInteger(1, 0x600));
    EXPECT_EQ(SC_E_PKCS15_INVALID_ATTR, l.SetAttribute(rec, &kind));
    SCPkcs15ObjectAttribute high(0x103);
    EXPECT_EQ(SC_E_PKCS15_UNSUPPORTED_ATTR, l.GetAttribute(rec, &high));
}

}  // namespace
