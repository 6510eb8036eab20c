// Secret agreement: elliptic-curve and GF(p) Diffie-Hellman against OpenSSL's
// derivation, key-pair generation, the two key-derivation functions and the
// readiness rules.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <functional>

#include "libtorvapp/qvdhgfpsecret.h"
#include "libtorvapp/qvgeneraldhsecret.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

namespace {

Bytes osslDerive(EVP_PKEY *own, EVP_PKEY *peer)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(own, nullptr);
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_derive_set_peer(ctx, peer);
    size_t len = 0;
    EVP_PKEY_derive(ctx, nullptr, &len);
    Bytes out(len);
    EVP_PKEY_derive(ctx, out.data(), &len);
    out.resize(len);
    EVP_PKEY_CTX_free(ctx);
    return out;
}

Bytes pubPoint(EVP_PKEY *k)
{
    unsigned char point[200];
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len);
    return Bytes(point, point + len);
}

Bytes secretOf(const QvAsymSecret &s)
{
    Bytes out(s.getSecretOctets());
    EXPECT_EQ(s.getSecret(out.data(), static_cast<unsigned int>(out.size())), out.size());
    return out;
}

std::string reasonThrown(const std::function<void()> &f)
{
    try {
        f();
    } catch (const QvException &e) {
        return reasonOf(e.what());
    }
    return "";
}

Bytes strip(const Bytes &b)
{
    size_t i = 0;
    while (i + 1 < b.size() && b[i] == 0)
        ++i;
    return Bytes(b.begin() + static_cast<long>(i), b.end());
}

} // namespace

TEST(EcdhSecret, EqualsOpenSslDeriveOnPrimeAndBinaryCurves)
{
    struct Curve {
        const char *ossl, *ours;
    };
    for (const Curve &c : {Curve{"P-256", "secp256r1"}, Curve{"P-521", "secp521r1"}, Curve{"sect283k1", "sect283k1"}}) {
        const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain(c.ours);
        ASSERT_NE(dom, nullptr);
        Pkey a(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", c.ossl));
        Pkey b(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", c.ossl));
        Bytes expected = osslDerive(a.get(), b.get());

        QvGeneralDsaPrivateKey aPrv;
        aPrv.setDomain(dom);
        Bytes ax = bnParam(a.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        aPrv.set(ax.data(), static_cast<unsigned int>(ax.size()));
        QvGeneralDsaPublicKey bPub;
        bPub.setDomain(dom);
        Bytes bp = pubPoint(b.get());
        bPub.setH(bp.data(), static_cast<unsigned int>(bp.size()));

        QvGeneralDhSecret s(QV_HASH_DHF_ALGO_SHA1);
        EXPECT_EQ(s.getSecretOctets(), 0u);
        s.setPrivateKey(&aPrv);
        s.setPublicKey(&bPub);
        s.generateSecret();
        EXPECT_EQ(secretOf(s), expected) << c.ours;

        // The other side with the roles swapped agrees.
        QvGeneralDsaPrivateKey bPrv;
        bPrv.setDomain(dom);
        Bytes bx = bnParam(b.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        bPrv.set(bx.data(), static_cast<unsigned int>(bx.size()));
        QvGeneralDsaPublicKey aPub;
        aPub.setDomain(dom);
        Bytes ap = pubPoint(a.get());
        aPub.setH(ap.data(), static_cast<unsigned int>(ap.size()));
        QvGeneralDhSecret t(QV_HASH_DHF_ALGO_SHA1);
        t.setPrivateKey(&bPrv);
        t.setPublicKey(&aPub);
        t.generateSecret();
        EXPECT_EQ(secretOf(t), expected);
        Bytes small(expected.size() - 1);
        EXPECT_EQ(t.getSecret(small.data(), static_cast<unsigned int>(small.size())), 0u);
    }
}

TEST(EcdhSecret, PeerKeyMustFollowTheOwnKey)
{
    const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain("secp256r1");
    QvGeneralDsaPublicKey pub;
    pub.setDomain(dom);
    pub.setH(dom->getGen());
    QvGeneralDsaPrivateKey prv;
    prv.setDomain(dom);
    Bytes two{2};
    prv.set(two.data(), 1);
    QvGeneralDhSecret s(QV_HASH_DHF_ALGO_SHA1);
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no public key or it is not ready.");
    s.setPublicKey(&pub);
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no private key or it is not ready.");
    s.setPrivateKey(&prv);  // drops the peer key
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no public key or it is not ready.");
    s.setPublicKey(&pub);
    s.generateSecret();
    EXPECT_EQ(s.getSecretOctets(), 32u);
}

TEST(EcdhSecret, X963DerivationBlocks)
{
    const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain("secp256r1");
    QvGeneralDsaPublicKey pub;
    pub.setDomain(dom);
    pub.setH(dom->getGen());
    QvGeneralDsaPrivateKey prv;
    prv.setDomain(dom);
    Bytes three{3};
    prv.set(three.data(), 1);
    QvGeneralDhSecret s(QV_HASH_DHF_ALGO_SHA1);
    s.setPrivateKey(&prv);
    s.setPublicKey(&pub);
    s.generateSecret();
    Bytes z = secretOf(s);
    Bytes info{'i', 'n', 'f', 'o'};
    Bytes expected;
    for (unsigned char ctr = 1; ctr <= 3; ++ctr) {
        Bytes in = z;
        Bytes c{0, 0, 0, ctr};
        in.insert(in.end(), c.begin(), c.end());
        in.insert(in.end(), info.begin(), info.end());
        Bytes h = mdDigest("SHA1", in);
        expected.insert(expected.end(), h.begin(), h.end());
    }
    for (unsigned int len : {1u, 20u, 21u, 41u}) {
        Bytes out(len + 4, 0xEE);
        s.deriveKey(out.data(), len, info.data(), 4);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + len), Bytes(expected.begin(), expected.begin() + len));
        EXPECT_EQ(Bytes(out.begin() + len, out.end()), Bytes(4, 0xEE));
    }
    s.deriveKey(nullptr, 0, nullptr, 0);  // nothing to write
}

namespace {

// The ffdhe2048 group of OpenSSL carried into a Diffie-Hellman domain.
struct DhSetup {
    DhSetup()
    {
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
        EVP_PKEY_keygen_init(ctx);
        OSSL_PARAM params[2] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                                                 const_cast<char *>("ffdhe2048"), 0),
                                OSSL_PARAM_construct_end()};
        EVP_PKEY_CTX_set_params(ctx, params);
        EVP_PKEY *k = nullptr;
        EVP_PKEY_generate(ctx, &k);
        EVP_PKEY_CTX_free(ctx);
        peer.reset(k);
        p = bnParam(k, OSSL_PKEY_PARAM_FFC_P);
        q = bnParam(k, OSSL_PKEY_PARAM_FFC_Q);
        g = bnParam(k, OSSL_PKEY_PARAM_FFC_G);
        domain.setP(p.data(), static_cast<unsigned int>(p.size()));
        domain.setQ(q.data(), static_cast<unsigned int>(q.size()));
        domain.setG(g.data(), static_cast<unsigned int>(g.size()));
    }
    // An OpenSSL key of the same group holding only our public value.
    Pkey publicOnly(const Bytes &y)
    {
        OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
        OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "ffdhe2048", 0);
        BIGNUM *yb = BN_bin2bn(y.data(), static_cast<int>(y.size()), nullptr);
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PUB_KEY, yb);
        OSSL_PARAM *params = OSSL_PARAM_BLD_to_param(bld);
        EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
        EVP_PKEY_fromdata_init(ctx);
        EVP_PKEY *k = nullptr;
        EVP_PKEY_fromdata(ctx, &k, EVP_PKEY_PUBLIC_KEY, params);
        EVP_PKEY_CTX_free(ctx);
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(bld);
        BN_free(yb);
        return Pkey(k);
    }
    Pkey peer;
    Bytes p, q, g;
    QvDhGFpKeyDomain domain;
};

} // namespace

TEST(DhGFpSecret, GeneratedPairAgreesWithOpenSsl)
{
    DhSetup dh;
    ASSERT_TRUE(dh.domain.isComplete());
    auto rbg = makeRbg(31);
    QvDhGFpPublicKey ownPub;
    QvDhGFpPrivateKey ownPrv;
    generateKeyPair(ownPub, ownPrv, &dh.domain, rbg.get());
    ASSERT_TRUE(ownPub.isReady());
    ASSERT_TRUE(ownPrv.isPrivatePartReady());
    EXPECT_EQ(ownPub.getY(), ownPrv.getY());
    EXPECT_TRUE(ownPrv.getX() >= 2u);
    EXPECT_TRUE(ownPrv.getX() + 2u <= dh.domain.getQ());
    // y = g^x mod p by OpenSSL's arithmetic.
    {
        Bytes xo(ownPrv.getX().getOctetLength()), yo(ownPub.getY().getOctetLength());
        ownPrv.getX().asOctetString(xo.data(), static_cast<unsigned int>(xo.size()));
        ownPub.getY().asOctetString(yo.data(), static_cast<unsigned int>(yo.size()));
        BIGNUM *g = BN_bin2bn(dh.g.data(), static_cast<int>(dh.g.size()), nullptr);
        BIGNUM *x = BN_bin2bn(xo.data(), static_cast<int>(xo.size()), nullptr);
        BIGNUM *p = BN_bin2bn(dh.p.data(), static_cast<int>(dh.p.size()), nullptr);
        BN_CTX *ctx = BN_CTX_new();
        BN_mod_exp(g, g, x, p, ctx);
        Bytes expectY(static_cast<size_t>(BN_num_bytes(g)));
        BN_bn2bin(g, expectY.data());
        EXPECT_EQ(expectY, yo);
        BN_free(g);
        BN_free(x);
        BN_free(p);
        BN_CTX_free(ctx);
    }
    QvDhGFpPublicKey peerPub;
    peerPub.setDomain(&dh.domain);
    Bytes py = bnParam(dh.peer.get(), OSSL_PKEY_PARAM_PUB_KEY);
    peerPub.setY(py.data(), static_cast<unsigned int>(py.size()));
    QvDhGFpSecret s;
    s.setPrivateKey(&ownPrv);
    s.setPublicKey(&peerPub);
    s.generateSecret();
    Bytes ours = secretOf(s);
    Bytes yo(ownPub.getY().getOctetLength());
    ownPub.getY().asOctetString(yo.data(), static_cast<unsigned int>(yo.size()));
    Pkey ownForOssl = dh.publicOnly(yo);
    ASSERT_NE(ownForOssl.get(), nullptr);
    Bytes theirs = osslDerive(dh.peer.get(), ownForOssl.get());
    // Our secret has minimal length; OpenSSL's may be padded to p.
    EXPECT_EQ(ours, strip(theirs));
    EXPECT_TRUE(ours.empty() || ours[0] != 0);
}

TEST(DhGFpSecret, SmallValuesAndRefusals)
{
    DhSetup dh;
    QvDhGFpPublicKey peer;
    peer.setDomain(&dh.domain);
    peer.setY(dh.g.data(), static_cast<unsigned int>(dh.g.size()));
    QvDhGFpPrivateKey own;
    own.setDomain(&dh.domain);
    QvDhGFpSecret s;
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no public key or it is not ready.");
    s.setPublicKey(&peer);
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no private key or it is not ready.");
    s.setPrivateKey(&own);
    EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "There is no private key or it is not ready.");
    own.setX(QvN("1"));
    s.generateSecret();
    EXPECT_EQ(secretOf(s), Bytes{2});  // g = 2, x = 1: the secret is g's minimal octets

    // Derivation: Hash(Z || a || counter || b || c || e || d) with SHA-256.
    Bytes a{'a'}, b{'b', 'b'}, c{'c'}, d{'d'}, e{'e', 'e', 'e'};
    Bytes expected;
    for (unsigned char ctr = 1; ctr <= 2; ++ctr) {
        Bytes in{2, 'a', 0, 0, 0, ctr, 'b', 'b', 'c', 'e', 'e', 'e', 'd'};
        Bytes h = mdDigest("SHA256", in);
        expected.insert(expected.end(), h.begin(), h.end());
    }
    Bytes out(33);
    s.deriveKey(out.data(), 33, a.data(), 1, b.data(), 2, c.data(), 1, d.data(), 1, e.data(), 3);
    EXPECT_EQ(out, Bytes(expected.begin(), expected.begin() + 33));
    QvDhGFpSecret copy(s);
    Bytes out2(33);
    copy.deriveKey(out2.data(), 33, a.data(), 1, b.data(), 2, c.data(), 1, d.data(), 1, e.data(), 3);
    EXPECT_EQ(out2, out);

    QvDhGFpKeyDomain incomplete;
    QvDhGFpPublicKey kp;
    QvDhGFpPrivateKey kx;
    auto rbg = makeRbg(32);
    try {
        generateKeyPair(kp, kx, &incomplete, rbg.get());
        FAIL();
    } catch (const QvNotInitException &ex) {
        EXPECT_EQ(reasonOf(ex.what()), "Domain is not compleat.");
    }
    EXPECT_EQ(kp.getDomain(), nullptr);
    EXPECT_EQ(kx.getDomain(), nullptr);
}

TEST(DhGFpSecret, PrivateValueNeverFromATinyRange)
{
    // p = 2^127 - 1 with a small q: refused instead of drawing x below 2^64.
    QvDhGFpKeyDomain dom;
    dom.setP("0x7fffffffffffffffffffffffffffffff");
    dom.setQ("0x10001");
    dom.setG("3");
    ASSERT_TRUE(dom.isComplete());
    QvDhGFpPublicKey kp;
    QvDhGFpPrivateKey kx;
    auto rbg = makeRbg(33);
    EXPECT_THROW(generateKeyPair(kp, kx, &dom, rbg.get()), QvArgumentRangeException);
    EXPECT_EQ(kx.getDomain(), nullptr);
}

TEST(DhGFpSecret, PeerValuesWithAKnownSecretAreRefused)
{
    DhSetup dh;
    QvDhGFpPrivateKey own;
    own.setDomain(&dh.domain);
    own.setX(QvN("12345678901234567890123"));
    QvN p = dh.domain.getP();
    for (const QvN &y : {QvN("1"), p - 1u, p, p + 5u}) {
        QvDhGFpPublicKey peer;
        peer.setDomain(&dh.domain);
        peer.setY(y);
        QvDhGFpSecret s;
        s.setPrivateKey(&own);
        s.setPublicKey(&peer);
        EXPECT_EQ(reasonThrown([&] { s.generateSecret(); }), "Public value of the peer is out of range.");
        EXPECT_EQ(s.getSecretOctets(), 0u);
    }
}
