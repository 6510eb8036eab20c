// Known answers from public sources (data/README.md): the PKCS #1 v2.1 PSS and
// OAEP vectors reproduced octet for octet (salt and seed fed through a
// generator that replays them), and NIST CAVP SigVer vectors for DSA and
// ECDSA with their pass/fail results.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <stdexcept>

#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvhash.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "libtorvapp/qvrsacipherpkcsoaep.h"
#include "libtorvapp/qvrsasigpkcspss.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

namespace {

// Hands out the octets it was given, in order; anything more is a failure.
class ReplayRbg : public QvRbg {
public:
    void load(const Bytes &b)
    {
        data = b;
        pos = 0;
    }
    void init(const QvOctet *, unsigned int) override {}
    void reinit(const QvOctet *, unsigned int) override {}
    void uninit() override {}
    void fillOctets(QvOctet *dst, unsigned int len) override
    {
        if (pos + len > data.size())
            throw std::runtime_error("replay generator exhausted");
        std::memcpy(dst, data.data() + pos, len);
        pos += len;
    }
    unsigned int getMinSeedOctets() const override { return 0; }
    unsigned int getMaxSeedOctets() const override { return 0; }
    unsigned int getSeedStepOctets() const override { return 1; }
    const char *getName() const override { return "replay"; }
    size_t left() const { return data.size() - pos; }

private:
    Bytes data;
    size_t pos = 0;
};

struct RsaVectorKey {
    QvRsaPublicKey pub;
    QvRsaPrivateKey prv;
};

// Walks the blocks: key values fill the keys, then each (message, random,
// result) triple calls `check`.
template <class Check>
unsigned int walkPkcs1(const char *file, const char *randomLabel, const char *resultLabel, Check check)
{
    auto blocks = testsupport::ReadPkcs1Vectors(testsupport::DataFile(file));
    std::unique_ptr<RsaVectorKey> key;
    unsigned int moduli = 0, cases = 0;
    Bytes msg, rnd;
    for (auto &b : blocks) {
        const std::string &l = b.first;
        const Bytes &v = b.second;
        auto len = static_cast<unsigned int>(v.size());
        if (l == "Modulus") {
            if (moduli++ % 2 == 0) {
                key = std::make_unique<RsaVectorKey>();
                key->pub.setN(v.data(), len);
            }
            key->prv.setModulus(v.data(), len);
        } else if (l == "Exponent") {
            if (moduli % 2 == 1)
                key->pub.setE(v.data(), len);
            else
                key->prv.setPrivateExponent(v.data(), len);
        } else if (l == "Public exponent") {
            key->prv.setPublicExponent(v.data(), len);
        } else if (l == "Prime 1") {
            key->prv.setPrime1(v.data(), len);
        } else if (l == "Prime 2") {
            key->prv.setPrime2(v.data(), len);
        } else if (l == "Prime exponent 1") {
            key->prv.setExponent1(v.data(), len);
        } else if (l == "Prime exponent 2") {
            key->prv.setExponent2(v.data(), len);
        } else if (l == "Coefficient") {
            key->prv.setCoefficient(v.data(), len);
            key->prv.precompute();
        } else if (l == "Message" || l == "Message to be signed") {
            msg = v;
        } else if (l == randomLabel) {
            rnd = v;
        } else if (l == resultLabel) {
            check(*key, msg, rnd, v);
            ++cases;
        }
    }
    return cases;
}

// The records of a CAVP response file that carry a Result; values given once
// at the head of a section (the DSA domain P, Q and G) go into each record of it.
struct RspRecord {
    std::string section;
    std::map<std::string, std::string> f;
};

std::vector<RspRecord> readRsp(const char *name)
{
    std::vector<RspRecord> out;
    std::string section;
    std::map<std::string, std::string> shared;
    for (const testsupport::CavpRecord &r : testsupport::ReadCavpResponse(testsupport::DataFile(name))) {
        if (r.section != section) {
            section = r.section;
            shared.clear();
        }
        if (!r.values.count("Result")) {
            shared.insert(r.values.begin(), r.values.end());
            continue;
        }
        RspRecord rec{r.section, shared};
        for (const auto &kv : r.values)
            rec.f[kv.first] = kv.second;
        out.push_back(rec);
    }
    return out;
}

struct HashName {
    const char *tag;
    QvHashAlgo id;
};
const HashName kHashNames[] = {{"SHA-1", QV_HASH_DHF_ALGO_SHA1},   {"SHA-224", QV_HASH_DHF_ALGO_SHA224},
                               {"SHA-256", QV_HASH_DHF_ALGO_SHA256}, {"SHA-384", QV_HASH_DHF_ALGO_SHA384},
                               {"SHA-512", QV_HASH_DHF_ALGO_SHA512}};

QvHashAlgo hashOfSection(const std::string &section)
{
    for (const HashName &h : kHashNames) {
        std::string t = std::string(h.tag) + "]";
        if (section.size() >= t.size() && section.compare(section.size() - t.size(), t.size(), t) == 0)
            return h.id;
    }
    return 0;
}

Bytes digestWith(QvHashAlgo id, const Bytes &msg)
{
    std::unique_ptr<QvHash> h(qvHashCreateObject(id));
    h->hash(msg.data(), static_cast<unsigned int>(msg.size()));
    return Bytes(h->getHashPtr(), h->getHashPtr() + h->getHashOctets());
}

} // namespace

TEST(KnownAnswers, Pkcs1PssVectorsSignAndVerify)
{
    ReplayRbg rbg;
    unsigned int cases = walkPkcs1("pss-vect.txt", "Salt", "Signature",
                                   [&](RsaVectorKey &key, const Bytes &msg, const Bytes &salt, const Bytes &expected) {
        Bytes d = digestWith(QV_HASH_DHF_ALGO_SHA1, msg);
        QvRsaSigPkcsPss signer(static_cast<unsigned int>(salt.size()), &rbg, QV_HASH_DHF_ALGO_SHA1, 0,
                               QV_HASH_DHF_ALGO_SHA1);
        signer.setPrivateKey(&key.prv);
        rbg.load(salt);
        Bytes sig(signer.getMaxSignatureOctets());
        signer.sign(d.data(), 20, sig.data(), static_cast<unsigned int>(sig.size()));
        EXPECT_EQ(sig, expected);
        EXPECT_EQ(rbg.left(), 0u);
        QvRsaSigPkcsPss verifier(20, nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
        verifier.setPublicKey(&key.pub);
        EXPECT_TRUE(verifier.verify(d.data(), 20, expected.data(), static_cast<unsigned int>(expected.size())));
        EXPECT_TRUE(verifier.verifyMessage(msg.data(), static_cast<unsigned int>(msg.size()), expected.data(),
                                           static_cast<unsigned int>(expected.size()), 0));
        Bytes bad = expected;
        bad[bad.size() - 1] ^= 0x01;
        EXPECT_FALSE(verifier.verify(d.data(), 20, bad.data(), static_cast<unsigned int>(bad.size())));
    });
    EXPECT_EQ(cases, 60u);
}

TEST(KnownAnswers, Pkcs1OaepVectorsEncryptAndDecrypt)
{
    ReplayRbg rbg;
    unsigned int cases = walkPkcs1("oaep-vect.txt", "Seed", "Encryption",
                                   [&](RsaVectorKey &key, const Bytes &msg, const Bytes &seed, const Bytes &expected) {
        QvRsaCipherPkcsOaep enc(&rbg, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
        enc.setPublicKey(&key.pub);
        rbg.load(seed);
        Bytes ct(enc.getMaxCipherTextOctets());
        enc.encrypt(msg.data(), static_cast<unsigned int>(msg.size()), ct.data(), static_cast<unsigned int>(ct.size()));
        EXPECT_EQ(ct, expected);
        QvRsaCipherPkcsOaep dec(nullptr, QV_HASH_DHF_ALGO_SHA1, 0, QV_HASH_DHF_ALGO_SHA1);
        dec.setPrivateKey(&key.prv);
        Bytes out(ct.size());
        unsigned int n = dec.decrypt(expected.data(), static_cast<unsigned int>(expected.size()), out.data(),
                                     static_cast<unsigned int>(out.size()));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + n), msg);
    });
    EXPECT_EQ(cases, 60u);
}

TEST(KnownAnswers, DsaSigVerResults)
{
    auto records = readRsp("dsa_sigver.rsp");
    ASSERT_EQ(records.size(), 90u);
    unsigned int passes = 0;
    for (const RspRecord &r : records) {
        QvHashAlgo h = hashOfSection(r.section);
        ASSERT_NE(h, 0u) << r.section;
        QvDsaKeyDomain dom;
        dom.setP(("0x" + r.f.at("P")).c_str());
        dom.setQ(("0x" + r.f.at("Q")).c_str());
        dom.setG(("0x" + r.f.at("G")).c_str());
        QvDsaPublicKey pub;
        pub.setDomain(&dom);
        pub.setY(("0x" + r.f.at("Y")).c_str());
        QvDsaSig v;
        v.setHashAlgo(h);
        v.setPublicKey(&pub);
        Bytes d = digestWith(h, testsupport::FromHexNumber(r.f.at("Msg"), 0));
        Bytes rr = testsupport::FromHexNumber(r.f.at("R"), 0), ss = testsupport::FromHexNumber(r.f.at("S"), 0);
        bool ok = v.verify(d.data(), static_cast<unsigned int>(d.size()), rr.data(),
                           static_cast<unsigned int>(rr.size()), ss.data(), static_cast<unsigned int>(ss.size()));
        bool expected = r.f.at("Result")[0] == 'P';
        EXPECT_EQ(ok, expected) << r.section << " Msg " << r.f.at("Msg").substr(0, 16) << " " << r.f.at("Result");
        passes += expected;
    }
    EXPECT_GT(passes, 0u);
}

TEST(KnownAnswers, EcdsaSigVerResults)
{
    const std::map<std::string, std::string> names = {{"P-256", "secp256r1"}, {"P-384", "secp384r1"},
                                                      {"P-521", "secp521r1"}, {"K-283", "sect283k1"},
                                                      {"B-233", "sect233r1"}, {"B-283", "sect283r1"}};
    auto records = readRsp("ecdsa_sigver.rsp");
    ASSERT_EQ(records.size(), 120u);
    unsigned int passes = 0;
    for (const RspRecord &r : records) {
        std::string curve = r.section.substr(1, r.section.find(',') - 1);
        const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain(names.at(curve).c_str());
        ASSERT_NE(dom, nullptr) << curve;
        QvHashAlgo h = hashOfSection(r.section);
        unsigned int fieldOctets = (dom->getGroup()->getOctetStringEncodingLen(dom->getGen()) - 1) / 2;
        Bytes point{0x04};
        Bytes qx = testsupport::FromHexNumber(r.f.at("Qx"), fieldOctets), qy = testsupport::FromHexNumber(r.f.at("Qy"), fieldOctets);
        point.insert(point.end(), qx.begin(), qx.end());
        point.insert(point.end(), qy.begin(), qy.end());
        bool expected = r.f.at("Result")[0] == 'P';
        passes += expected;
        QvGeneralDsaPublicKey pub;
        pub.setDomain(dom);
        try {
            pub.setH(point.data(), static_cast<unsigned int>(point.size()));
        } catch (const QvException &) {
            EXPECT_FALSE(expected) << "a point the vectors accept was refused";
            continue;  // a changed point off the curve is refused when decoded
        }
        QvGeneralDsaSig v;
        v.setPublicKey(&pub);
        Bytes d = digestWith(h, testsupport::FromHexNumber(r.f.at("Msg"), 0));
        Bytes rr = testsupport::FromHexNumber(r.f.at("R"), 0), ss = testsupport::FromHexNumber(r.f.at("S"), 0);
        bool ok = v.verify(d.data(), static_cast<unsigned int>(d.size()), rr.data(),
                           static_cast<unsigned int>(rr.size()), ss.data(), static_cast<unsigned int>(ss.size()));
        EXPECT_EQ(ok, expected) << r.section << " " << r.f.at("Result");
    }
    EXPECT_GT(passes, 0u);
}
