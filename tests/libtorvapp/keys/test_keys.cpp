// Key objects: RSA keys against OpenSSL's own keys (CRT values, the private
// operation through the factors), keys over GF(p) and over curves (public
// element = d * G against EC_POINT_mul), readiness, validity and refusals.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "libtorvapp/qvnumbers/qvzn.h"
#include "tests/libtorvapp/keys/keys_support.h"

namespace {

struct OsslRsa {
    RSA *rsa = nullptr;
    const BIGNUM *n, *e, *d, *p, *q, *dp, *dq, *qi;
    explicit OsslRsa(int bits) {
        EVP_PKEY *pk = EVP_RSA_gen(static_cast<unsigned int>(bits));
        rsa = EVP_PKEY_get1_RSA(pk);
        EVP_PKEY_free(pk);
        RSA_get0_key(rsa, &n, &e, &d);
        RSA_get0_factors(rsa, &p, &q);
        RSA_get0_crt_params(rsa, &dp, &dq, &qi);
    }
    ~OsslRsa() { RSA_free(rsa); }
};

template <class K>
std::vector<unsigned char> read(const K &k, unsigned int (K::*get)(QvOctet *, unsigned int) const) {
    std::vector<unsigned char> v(600);
    v.resize((k.*get)(v.data(), 600));
    return v;
}

std::string what(const std::function<void()> &f) {
    try {
        f();
    } catch (const QvException &e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(RsaKeys, ReadinessAndKeySizes) {
    QvRsaPublicKey k;
    EXPECT_EQ(k.getKeyBits(), 0u);
    EXPECT_EQ(k.getKeyOctets(), 0u);
    EXPECT_FALSE(k.isReady());
    EXPECT_TRUE(k.isValid());
    QvN n1024(1, 1);
    n1024 <<= 1023;
    n1024 += 1u;
    std::vector<unsigned char> nb(128);
    n1024.asOctetString(nb.data(), 128);
    k.setN(nb.data(), 128);
    EXPECT_EQ(k.getKeyBits(), 1024u);
    EXPECT_EQ(k.getKeyOctets(), 128u);
    EXPECT_FALSE(k.isReady());  // e = 0
    k.setE("65537");
    EXPECT_TRUE(k.isReady());
    QvN n1025(1, 1);
    n1025 <<= 1024;
    n1025 += 3u;
    QvRsaPublicKey k2(n1025, QvN(3, 1));
    EXPECT_EQ(k2.getKeyBits(), 1025u);
    EXPECT_EQ(k2.getKeyOctets(), 129u);
    unsigned char e[4];
    EXPECT_EQ(k2.getE(e, 0), 0u);
    ASSERT_EQ(k2.getE(e, 4), 1u);
    EXPECT_EQ(e[0], 3);
}

TEST(RsaKeys, EvenOrZeroModulusIsRefusedAndTheOldOneKept) {
    QvRsaPublicKey k;
    k.setN("3233");
    const unsigned char even[2] = {0x0c, 0xa0};
    const unsigned char zero[3] = {0, 0, 0};
    EXPECT_EQ(reasonOf(what([&] { k.setN(even, 2); }).c_str()), "RSA modulus is even.");
    EXPECT_THROW(k.setN(zero, 3), QvDivByZeroException);
    EXPECT_THROW(k.setN("0"), QvDivByZeroException);
    EXPECT_THROW(k.setN(nullptr, 0), QvDivByZeroException);
    EXPECT_EQ(k.getN(), QvN(3233, 1));
    QvRsaPrivateKey pk;
    EXPECT_THROW(pk.setModulus("3234"), QvArgumentRangeException);
    EXPECT_THROW(QvRsaPrivateKey(QvN(), QvN(5, 1)), QvDivByZeroException);
    EXPECT_EQ(pk.getKeyBits(), 0u);
}

TEST(RsaKeys, PublicKeyOctetsRoundTripWithoutLeadingZeros) {
    OsslRsa o(1024);
    std::vector<unsigned char> n = bnOctets(o.n);
    n.insert(n.begin(), 0);
    QvRsaPublicKey k;
    k.setN(n.data(), static_cast<unsigned int>(n.size()));
    std::vector<unsigned char> e = bnOctets(o.e);
    k.setE(e.data(), static_cast<unsigned int>(e.size()));
    EXPECT_EQ(read(k, &QvRsaPublicKey::getN), bnOctets(o.n));
    EXPECT_EQ(read(k, &QvRsaPublicKey::getE), bnOctets(o.e));
    EXPECT_EQ(k.getKeyBits(), 1024u);
    unsigned char small[127];
    EXPECT_EQ(k.getN(small, 127), 0u);
    // The public operation on the key's modulus agrees with OpenSSL.
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *m = BN_new(), *c = BN_new();
    BN_rand_range(m, o.n);
    BN_mod_exp(c, m, o.e, o.n, ctx);
    QvZn z(bnToQvN(m), &k.getN());
    z ^= k.getE();
    EXPECT_EQ(z.asQvN(), bnToQvN(c));
    BN_free(m);
    BN_free(c);
    BN_CTX_free(ctx);
}

TEST(RsaKeys, ThreeArgumentConstructorRebuildsTheKeyAsOpenSslHasIt) {
    for (int bits : {1024, 2048}) {
        OsslRsa o(bits);
        BN_CTX *ctx = BN_CTX_new();
        BIGNUM *phi = BN_new(), *pm1 = BN_dup(o.p), *qm1 = BN_dup(o.q), *dphi = BN_new(), *t = BN_new();
        BN_sub_word(pm1, 1);
        BN_sub_word(qm1, 1);
        BN_mul(phi, pm1, qm1, ctx);
        BN_mod_inverse(dphi, o.e, phi, ctx);
        // OpenSSL's n = p q, d e = 1 mod lambda.
        BN_mul(t, o.p, o.q, ctx);
        EXPECT_EQ(BN_cmp(t, o.n), 0);

        QvRsaPrivateKey k(bnToQvN(o.n), bnToQvN(dphi), bnToQvN(o.p));
        EXPECT_EQ(k.getPublicExponent(), bnToQvN(o.e));
        EXPECT_EQ(read(k, &QvRsaPrivateKey::getPrime2), bnOctets(o.q));
        EXPECT_EQ(read(k, &QvRsaPrivateKey::getExponent1), bnOctets(o.dp));
        EXPECT_EQ(read(k, &QvRsaPrivateKey::getExponent2), bnOctets(o.dq));
        EXPECT_EQ(read(k, &QvRsaPrivateKey::getCoefficient), bnOctets(o.qi));
        EXPECT_EQ(k.getKeyBits(), static_cast<unsigned int>(bits));
        EXPECT_TRUE(k.isReadyToSign());
        EXPECT_TRUE(k.isReadyToDecrypt());
        EXPECT_TRUE(k.isReadyToVerify());

        // The private operation runs through the installed factors.
        BIGNUM *m = BN_new(), *s = BN_new();
        BN_rand_range(m, o.n);
        BN_mod_exp(s, m, o.d, o.n, ctx);
        QvZn z(bnToQvN(m), &k.getModulus());
        z ^= k.getPrivateExponent();
        EXPECT_EQ(z.asQvN(), bnToQvN(s));
        BN_free(m);
        BN_free(s);
        BN_free(phi);
        BN_free(pm1);
        BN_free(qm1);
        BN_free(dphi);
        BN_free(t);
        BN_CTX_free(ctx);
    }
}

TEST(RsaKeys, PrivateKeyFilledPartByPartSignsAsOpenSsl) {
    OsslRsa o(1024);
    QvRsaPrivateKey k;
    EXPECT_FALSE(k.isPublicPartReady());
    EXPECT_FALSE(k.isPrivatePartReady());
    auto set = [](QvRsaPrivateKey &key, void (QvRsaPrivateKey::*fn)(const QvOctet *, unsigned int), const BIGNUM *b) {
        std::vector<unsigned char> v = bnOctets(b);
        (key.*fn)(v.data(), static_cast<unsigned int>(v.size()));
    };
    set(k, &QvRsaPrivateKey::setModulus, o.n);
    set(k, &QvRsaPrivateKey::setPublicExponent, o.e);
    EXPECT_TRUE(k.isPublicPartReady());
    EXPECT_FALSE(k.isPrivatePartReady());
    set(k, &QvRsaPrivateKey::setPrivateExponent, o.d);
    set(k, &QvRsaPrivateKey::setPrime1, o.p);
    set(k, &QvRsaPrivateKey::setPrime2, o.q);
    set(k, &QvRsaPrivateKey::setExponent1, o.dp);
    set(k, &QvRsaPrivateKey::setExponent2, o.dq);
    set(k, &QvRsaPrivateKey::setCoefficient, o.qi);
    k.precompute();
    EXPECT_TRUE(k.isPrivatePartReady());
    EXPECT_EQ(read(k, &QvRsaPrivateKey::getModulus), bnOctets(o.n));
    EXPECT_EQ(read(k, &QvRsaPrivateKey::getPrivateExponent), bnOctets(o.d));
    EXPECT_EQ(read(k, &QvRsaPrivateKey::getPrime1), bnOctets(o.p));
    EXPECT_EQ(read(k, &QvRsaPrivateKey::getCoefficient), bnOctets(o.qi));
    EXPECT_EQ(read(k, &QvRsaPrivateKey::getVersion), std::vector<unsigned char>(1, 0));
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *m = BN_new(), *s = BN_new();
    BN_rand_range(m, o.n);
    BN_mod_exp(s, m, o.d, o.n, ctx);
    QvZn z(bnToQvN(m), &k.getModulus());
    z ^= k.getPrivateExponent();
    EXPECT_EQ(z.asQvN(), bnToQvN(s));
    BN_free(m);
    BN_free(s);
    BN_CTX_free(ctx);
}

TEST(RsaKeys, DumpListsEveryMemberInOctal) {
    QvRsaPrivateKey k;
    k.setModulus("3233");
    k.setPublicExponent("17");
    k.setPrivateExponent("2753");
    k.setPrime1("61");
    k.setPrime2("53");
    k.setExponent1("53");
    k.setExponent2("49");
    k.setCoefficient("38");
    QvConvASCII out("old");
    k.dump(out);
    char expect[512];
    std::snprintf(expect, sizeof expect,
                  "-- version --\n%o\n\n-- modulus --\n%o\n\n-- publicExponent --\n%o\n\n-- privateExponent --\n%o\n\n"
                  "-- prime1 --\n%o\n\n-- prime2 --\n%o\n\n-- exponent1 --\n%o\n\n-- exponent2 --\n%o\n\n"
                  "-- coefficient --\n%o\n\n",
                  0u, 3233u, 17u, 2753u, 61u, 53u, 53u, 49u, 38u);
    EXPECT_STREQ(reinterpret_cast<const char *>(out.getConstData()), expect);
}

TEST(GFpKeys, PublicValueValidity) {
    QvGFpKeyDomain d;
    d.setP("23");
    d.setQ("11");
    d.setG("4");
    QvDsaPublicKey k;
    k.setDomain(&d);
    EXPECT_FALSE(k.isReady());
    EXPECT_EQ(what([&] { k.isValid(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Public key is not properly initialised.\n"
              "FUNCTION: bool QvGFpPublicKey::isValid() const\nFILE: qvgfppublickey\nLINE: 0\n");
    for (const char *bad : {"1", "22", "23", "4", "5"}) {
        k.setY(bad);
        EXPECT_FALSE(k.isValid()) << bad;
    }
    for (const char *good : {"16", "18", "9"}) {  // 4^2, 4^3, 4^4 mod 23
        k.setY(good);
        EXPECT_TRUE(k.isValid()) << good;
    }
    EXPECT_EQ(k.getKeyBits(), 5u);
    EXPECT_EQ(k.getKeyOctets(), 1u);
    EXPECT_EQ(k.getG(), QvN(4, 1));
}

TEST(GFpKeys, PublicValueValidityOnAGeneratedDomain) {
    QvGFpKeyDomain d;
    const unsigned char seed[20] = {1, 2, 3};
    ASSERT_EQ(d.generate(seed, 20, 160, 512, nullptr, nullptr), 1);
    QvGFpPublicKey k;
    k.setDomain(&d);
    QvZn y(d.getG(), &d.getP());
    y ^= QvN(12345, 1);
    k.setY(y.asQvN());
    EXPECT_TRUE(k.isValid());
    k.setY(static_cast<const QvN &>(d.getP()) - 1u);
    EXPECT_FALSE(k.isValid());
    EXPECT_EQ(k.getKeyBits(), 512u);
    QvGFpPrivateKey x;
    x.setDomain(&d);
    EXPECT_EQ(x.getKeyBits(), 160u);
    EXPECT_EQ(x.getPublicKeyBits(), 512u);
}

TEST(GFpKeys, OctetsAndReadiness) {
    QvGFpKeyDomain d;
    d.setP("23");
    d.setQ("11");
    d.setG("4");
    QvDhGFpPrivateKey k;
    EXPECT_EQ(k.getKeyBits(), 0u);
    EXPECT_EQ(k.getPublicKeyBits(), 0u);
    k.setX("3");
    k.setY("18");
    EXPECT_FALSE(k.isPrivatePartReady());
    k.setDomain(&d);
    EXPECT_TRUE(k.isPrivatePartReady());
    EXPECT_TRUE(k.isPublicPartReady());
    EXPECT_TRUE(k.isReadyToSign());
    EXPECT_TRUE(k.isReadyToVerify());
    EXPECT_FALSE(k.isReadyToEncrypt());
    EXPECT_FALSE(k.isReadyToDecrypt());
    const unsigned char y[3] = {0, 0x01, 0x02};
    QvDhGFpPublicKey p;
    p.setY(y, 3);
    unsigned char out[3] = {0xaa, 0xaa, 0xaa};
    EXPECT_EQ(p.getY(out, 0), 0u);
    EXPECT_EQ(out[0], 0xaa);
    ASSERT_EQ(p.getY(out, 3), 2u);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
    p.setY("0");
    ASSERT_EQ(p.getY(out, 3), 1u);
    EXPECT_EQ(out[0], 0);
}

TEST(GFpKeys, DomainGettersWithoutDomain) {
    QvGFpPublicKey p;
    QvGFpPrivateKey x;
    unsigned char b[4];
    EXPECT_EQ(reasonOf(what([&] { p.getP(); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { p.getQ(); }).c_str()), "QV-ACCESS: Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { p.getQ(b, 4); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { p.getG(); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { x.getQ(); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { x.getG(b, 4); }).c_str()), "Uninitialised domain.");
    EXPECT_THROW(x.getP(), QvNotInitException);
    EXPECT_EQ(p.getKeyBits(), 0u);
}

namespace {

struct CurveCase {
    const char *ours;
    int nid;
};

}  // namespace

TEST(CurveKeys, PublicElementIsTheScalarMultipleOpenSslComputes) {
    const CurveCase cases[] = {{"nistp256", NID_X9_62_prime256v1},
                               {"secp384r1", NID_secp384r1},
                               {"brainpoolP256r1", NID_brainpoolP256r1},
                               {"secp160k1", NID_secp160k1},
                               {"sect233k1", NID_sect233k1},
                               {"sect163r2", NID_sect163r2}};
    for (const CurveCase &c : cases) {
        SCOPED_TRACE(c.ours);
        const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain(c.ours);
        ASSERT_NE(dom, nullptr);
        EC_GROUP *g = EC_GROUP_new_by_curve_name(c.nid);
        ASSERT_NE(g, nullptr);
        BN_CTX *ctx = BN_CTX_new();
        for (int round = 0; round < 3; ++round) {
            BIGNUM *d = BN_new();
            BN_rand_range(d, EC_GROUP_get0_order(g));
            if (BN_is_zero(d)) BN_one(d);
            EC_POINT *P = EC_POINT_new(g);
            EC_POINT_mul(g, P, d, nullptr, nullptr, ctx);
            unsigned char want[200];
            size_t wl = EC_POINT_point2oct(g, P, POINT_CONVERSION_UNCOMPRESSED, want, sizeof want, ctx);

            QvGeneralDsaPrivateKey priv;
            priv.setDomain(dom);
            std::vector<unsigned char> dv = bnOctets(d);
            priv.set(dv.data(), static_cast<unsigned int>(dv.size()));
            EXPECT_TRUE(priv.isPrivatePartReady());
            std::unique_ptr<QvGroupElem> H(dom->getGroup()->product(priv.getX(), dom->getGen()));
            priv.setH(H.get());
            EXPECT_FALSE(priv.isPublicPartReady());
            unsigned char got[200];
            ASSERT_EQ(priv.get(got, sizeof got), wl);
            EXPECT_EQ(std::vector<unsigned char>(got, got + wl), std::vector<unsigned char>(want, want + wl));
            EXPECT_EQ(priv.getPublicKeyBits(), 8u * wl);
            EXPECT_EQ(priv.getKeyBits(), static_cast<unsigned int>(BN_num_bits(EC_GROUP_get0_order(g))));

            QvGeneralDsaPublicKey pub;
            pub.setDomain(dom);
            pub.setH(want, static_cast<unsigned int>(wl));
            EXPECT_TRUE(pub.isReady());
            EXPECT_TRUE(pub.isValid());
            EXPECT_EQ(pub.getKeyBits(), 8u * wl);
            EXPECT_EQ(pub.getKeyOctets(), wl);
            unsigned char again[200];
            EXPECT_EQ(pub.get(again, static_cast<unsigned int>(wl) - 1), 0u);
            ASSERT_EQ(pub.get(again, sizeof again), wl);
            EXPECT_EQ(std::vector<unsigned char>(again, again + wl), std::vector<unsigned char>(want, want + wl));
            QvGeneralDsaPublicKey copy(pub);
            EXPECT_NE(copy.getH(), pub.getH());
            EXPECT_TRUE(copy.isValid());
            EC_POINT_free(P);
            BN_free(d);
        }
        BN_CTX_free(ctx);
        EC_GROUP_free(g);
    }
}

TEST(CurveKeys, BadPointsAndTheNeutralElementAreRefused) {
    const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain("brainpoolP256r1");
    QvGeneralDsaPublicKey pub;
    pub.setDomain(dom);
    unsigned char g[200];
    unsigned int gl = dom->getGen(g, sizeof g);
    pub.setH(g, gl);
    EXPECT_TRUE(pub.isValid());
    g[gl - 1] ^= 1;
    EXPECT_ANY_THROW(pub.setH(g, gl));
    EXPECT_EQ(pub.getH(), nullptr);  // nothing stale stays referenced
    EXPECT_FALSE(pub.isReady());
    EXPECT_EQ(pub.getKeyBits(), 0u);
    EXPECT_EQ(reasonOf(what([&] { pub.get(g, sizeof g); }).c_str()), "Uninitialised group or public key.");
    EXPECT_ANY_THROW(pub.setH(g, 7));
    pub.setH(static_cast<const QvGroupElem *>(nullptr));  // the neutral element
    EXPECT_TRUE(pub.isReady());
    EXPECT_FALSE(pub.isValid());
}

TEST(CurveKeys, RefusalsWithoutDomainOrGroup) {
    QvGeneralDsaPublicKey pub;
    QvGeneralDsaPrivateKey priv;
    unsigned char b[8] = {4};
    EXPECT_EQ(what([&] { pub.setH(b, 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Uninitialised domain.\n"
              "FUNCTION: void QvGeneralDsaPublicKey::setH(const QvOctet *oct, unsigned int len)\n"
              "FILE: qvgeneraldsapublickey\nLINE: 0\n");
    EXPECT_EQ(reasonOf(what([&] { pub.get(b, 8); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(reasonOf(what([&] { pub.getKeyBits(); }).c_str()), "Uninitialised group.");
    EXPECT_EQ(reasonOf(what([&] { pub.isValid(); }).c_str()), "Public key is not properly initialised.");
    EXPECT_EQ(reasonOf(what([&] { priv.getPublicKeyBits(); }).c_str()), "Uninitialised group.");
    EXPECT_EQ(reasonOf(what([&] { priv.setH(nullptr); }).c_str()), "Uninitialised domain.");
    EXPECT_EQ(priv.getKeyBits(), 0u);
    QvGeneralDsaKeyDomain empty;
    pub.setDomain(&empty);
    priv.setDomain(&empty);
    EXPECT_EQ(reasonOf(what([&] { pub.setH(b, 1); }).c_str()), "Uninitialised group.");
    EXPECT_EQ(reasonOf(what([&] { pub.get(b, 8); }).c_str()), "Uninitialised group or public key.");
    EXPECT_EQ(reasonOf(what([&] { priv.setH(b, 1); }).c_str()), "Uninitialised group.");
    EXPECT_FALSE(pub.isReady());
    priv.set(QvN(5, 1));
    EXPECT_FALSE(priv.isPrivatePartReady());
}

TEST(CurveKeys, GeneralKeysOverAPrimeFieldDomain) {
    QvGFpKeyDomain d;
    d.setP("23");
    d.setQ("11");
    d.setG("4");
    QvGeneralDsaPrivateKey priv;
    priv.setDomain(&d);
    priv.set(QvN(3, 1));
    std::unique_ptr<QvGroupElem> H(d.getGroup()->product(priv.getX(), d.getGen()));
    priv.setH(H.get());
    QvGeneralDsaPrivateKey copy(priv);
    unsigned char o[4];
    ASSERT_EQ(copy.get(o, 4), 1u);
    EXPECT_EQ(o[0], 18);  // 4^3 mod 23
    QvGeneralDsaPublicKey pub;
    pub.setDomain(&d);
    pub.setH(o, 1);
    EXPECT_TRUE(pub.isValid());
    pub.setH(reinterpret_cast<const QvOctet *>("\x05"), 1);
    EXPECT_FALSE(pub.isValid());
}
