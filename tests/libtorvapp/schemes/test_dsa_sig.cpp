// DSA and ECDSA: signatures checked against OpenSSL in both directions on
// FIPS 186-4 sizes and on prime and binary curves, the digest cut to the
// order's length, the bounds of r and s, the two-INTEGER form and the texts.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/dsa.h>

#include <functional>

#include "libtorvapp/qvdsaarith.h"
#include "libtorvapp/qvdsasig.h"
#include "libtorvapp/qvgeneraldsasig.h"
#include "libtorvapp/qvnamedcurveobjects.h"
#include "tests/libtorvapp/schemes/schemes_support.h"

namespace {

Pkey dsaKey(unsigned int pBits, unsigned int qBits)
{
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr);
    EVP_PKEY_paramgen_init(pctx);
    EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx, static_cast<int>(pBits));
    EVP_PKEY_CTX_set_dsa_paramgen_q_bits(pctx, static_cast<int>(qBits));
    EVP_PKEY *params = nullptr;
    EVP_PKEY_paramgen(pctx, &params);
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_CTX *kctx = EVP_PKEY_CTX_new(params, nullptr);
    EVP_PKEY_keygen_init(kctx);
    EVP_PKEY *k = nullptr;
    EVP_PKEY_keygen(kctx, &k);
    EVP_PKEY_CTX_free(kctx);
    EVP_PKEY_free(params);
    return Pkey(k);
}

struct DsaKeys {
    DsaKeys(unsigned int pBits, unsigned int qBits) : k(dsaKey(pBits, qBits))
    {
        Bytes p = bnParam(k.get(), OSSL_PKEY_PARAM_FFC_P), q = bnParam(k.get(), OSSL_PKEY_PARAM_FFC_Q),
              g = bnParam(k.get(), OSSL_PKEY_PARAM_FFC_G), y = bnParam(k.get(), OSSL_PKEY_PARAM_PUB_KEY),
              x = bnParam(k.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        domain.setP(p.data(), static_cast<unsigned int>(p.size()));
        domain.setQ(q.data(), static_cast<unsigned int>(q.size()));
        domain.setG(g.data(), static_cast<unsigned int>(g.size()));
        pub.setDomain(&domain);
        pub.setY(y.data(), static_cast<unsigned int>(y.size()));
        prv.setDomain(&domain);
        prv.setX(x.data(), static_cast<unsigned int>(x.size()));
        prv.setY(y.data(), static_cast<unsigned int>(y.size()));
        qOctets = q;
    }
    Pkey k;
    QvDsaKeyDomain domain;
    QvDsaPublicKey pub;
    QvDsaPrivateKey prv;
    Bytes qOctets;
};

struct EcKeys {
    EcKeys(const char *osslName, const char *ourName) : k(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", osslName))
    {
        domain = qvFindNamedCurveDomain(ourName);
        unsigned char point[200];
        size_t len = 0;
        EVP_PKEY_get_octet_string_param(k.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &len);
        pub.setDomain(domain);
        pub.setH(point, static_cast<unsigned int>(len));
        Bytes x = bnParam(k.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        prv.setDomain(domain);
        prv.set(x.data(), static_cast<unsigned int>(x.size()));
    }
    Pkey k;
    const QvGeneralDsaKeyDomain *domain;
    QvGeneralDsaPublicKey pub;
    QvGeneralDsaPrivateKey prv;
};

std::string exceptionText(const std::function<void()> &f)
{
    try {
        f();
    } catch (const QvException &e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(DsaSignature, FipsSizesAgainstOpenSslBothWays)
{
    struct Size {
        unsigned int p, q;
        QvHashAlgo hash;
        const char *md;
    };
    // SHA-256 on a 160-bit q exercises the cut of the digest to q's length.
    const Size sizes[] = {{1024, 160, QV_HASH_DHF_ALGO_SHA1, "SHA1"},
                          {1024, 160, QV_HASH_DHF_ALGO_SHA256, "SHA256"},
                          {2048, 224, QV_HASH_DHF_ALGO_SHA224, "SHA224"},
                          {2048, 256, QV_HASH_DHF_ALGO_SHA256, "SHA256"}};
    auto rbg = makeRbg(21);
    for (const Size &sz : sizes) {
        DsaKeys keys(sz.p, sz.q);
        ASSERT_TRUE(keys.domain.isComplete());
        QvDsaSig signer;
        signer.setHashAlgo(sz.hash);
        signer.setPrivateKey(&keys.prv);
        signer.setRbg(rbg.get());
        EXPECT_EQ(signer.getMaxSignatureOctets(), 2 * (sz.q / 8) + 14);
        QvDsaSig verifier;
        verifier.setHashAlgo(sz.hash);
        verifier.setPublicKey(&keys.pub);
        EXPECT_EQ(verifier.getKeyBits(0), sz.p);
        for (unsigned int i = 0; i < 4; ++i) {
            Bytes d = mdDigest(sz.md, Bytes{'d', 's', 'a', static_cast<unsigned char>(i)});
            Bytes sig(signer.getMaxSignatureOctets());
            unsigned int n = signer.sign(d.data(), static_cast<unsigned int>(d.size()), sig.data(),
                                         static_cast<unsigned int>(sig.size()));
            sig.resize(n);
            EXPECT_TRUE(osslVerify(keys.k.get(), nullptr, d, wrapSequence(sig))) << sz.p << "/" << sz.q;
            EXPECT_TRUE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), sig.data(), n));

            Bytes theirs = unwrapSequence(osslSign(keys.k.get(), nullptr, d));
            EXPECT_TRUE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), theirs.data(),
                                        static_cast<unsigned int>(theirs.size())));
            Bytes bad = theirs;
            bad.back() ^= 0x01;
            EXPECT_FALSE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), bad.data(),
                                         static_cast<unsigned int>(bad.size())));
        }
        // Whole-message verification with r and s apart.
        Bytes msg{'w', 'h', 'o', 'l', 'e'};
        Bytes sig(signer.getMaxSignatureOctets());
        unsigned int n = signer.signMessage(msg.data(), 5, sig.data(), static_cast<unsigned int>(sig.size()), 0);
        const QvOctet *r, *s;
        unsigned int rLen, sLen;
        ASSERT_TRUE(qvDsaSplitRS(sig.data(), n, r, rLen, s, sLen));
        EXPECT_TRUE(verifier.verifyMessageRS(msg.data(), 5, r, rLen, s, sLen));
        EXPECT_TRUE(verifier.verifyMessage(msg.data(), 5, sig.data(), n, 0));
        msg[0] ^= 1;
        EXPECT_FALSE(verifier.verifyMessageRS(msg.data(), 5, r, rLen, s, sLen));
    }
}

TEST(DsaSignature, RangeOfRAndSAndRefusals)
{
    DsaKeys keys(1024, 160);
    QvDsaSig v;
    v.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    v.setPublicKey(&keys.pub);
    Bytes d = mdDigest("SHA1", Bytes{'x'});
    Bytes zero{0}, one{1};
    const Bytes &q = keys.qOctets;
    EXPECT_FALSE(v.verify(d.data(), 20, zero.data(), 1, one.data(), 1));
    EXPECT_FALSE(v.verify(d.data(), 20, one.data(), 1, zero.data(), 1));
    EXPECT_FALSE(v.verify(d.data(), 20, q.data(), static_cast<unsigned int>(q.size()), one.data(), 1));
    EXPECT_FALSE(v.verify(d.data(), 20, one.data(), 1, q.data(), static_cast<unsigned int>(q.size())));
    // TLVs that run past the signature are refused, not read.
    Bytes cut{0x02, 0x15, 0x00, 0x01};
    EXPECT_FALSE(v.verify(d.data(), 20, cut.data(), 4));
    Bytes hugeLen{0x02, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
    EXPECT_FALSE(v.verify(d.data(), 20, hugeLen.data(), 7));
    EXPECT_FALSE(v.verify(d.data(), 20, nullptr, 0));

    QvDsaSig s;
    s.setHashAlgo(QV_HASH_DHF_ALGO_SHA1);
    Bytes sig(100);
    const std::string fn =
        "FUNCTION: unsigned int QvDsaSig::sign(const QvOctet *digest, unsigned int digestLen, QvOctet *signature, "
        "unsigned int signatureLen)\n";
    EXPECT_EQ(exceptionText([&] { s.sign(d.data(), 20, sig.data(), 100); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: There is no random generator.\n" + fn +
                  "FILE: dsasig_sign\nLINE: 65\n");
    auto rbg = makeRbg(22);
    s.setRbg(rbg.get());
    EXPECT_EQ(exceptionText([&] { s.sign(d.data(), 20, sig.data(), 100); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: There is no key or it is not ready to sign operation.\n" +
                  fn + "FILE: dsasig_sign\nLINE: 72\n");
    s.setPrivateKey(&keys.prv);
    Bytes longDigest(21, 1);
    EXPECT_EQ(exceptionText([&] { s.sign(longDigest.data(), 21, sig.data(), 100); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvMessageToLongException\n"
              "REASON: QV-MESSAGE-TO-LONG: Digest you are trying sign is too long.\n" +
                  fn + "FILE: dsasig_sign\nLINE: 79\n");
    EXPECT_EQ(exceptionText([&] { s.sign(d.data(), 20, sig.data(), 10); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Buffer for signature (QvOctet *signature) is too short.\n" +
                  fn + "FILE: dsasig_sign\nLINE: 128\n");
    QvDsaSig empty;
    EXPECT_EQ(exceptionText([&] { empty.getMaxSignatureOctets(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Private key is not initialised.\n"
              "FUNCTION: unsigned int QvDsaSig::getMaxSignatureOctets(void) const\nFILE: qvdsasig\nLINE: 139\n");
    EXPECT_EQ(exceptionText([&] { empty.verify(d.data(), 20, one.data(), 1, one.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: Public key is not initialised or no ready to verify operation.\n"
              "FUNCTION: bool QvDsaSig::verify(const QvOctet *digest, unsigned int digestLen, const QvOctet *rOctets, "
              "unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)\nFILE: dsasig_verify\nLINE: 311\n");
    EXPECT_EQ(exceptionText([&] { empty.verifyFinalRS(one.data(), 1, one.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
              "FUNCTION: bool QvDsaSig::verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, "
              "const QvOctet *sOctets, unsigned int sLen)\nFILE: dsasig_verify\nLINE: 0\n");
}

TEST(DsaSignature, TwoIntegerFormGetsALeadingZeroForTheTopBit)
{
    Bytes out(64);
    QvN r("0x80000000000000000000000000000000000000a1");
    QvN s("0x7f");
    unsigned int n = qvDsaEncodeRS(r, s, out.data(), 64);
    ASSERT_EQ(n, 23u + 3u);
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[1], 0x15);
    EXPECT_EQ(out[2], 0x00);
    EXPECT_EQ(out[3], 0x80);
    EXPECT_EQ(Bytes(out.begin() + 23, out.begin() + 26), (Bytes{0x02, 0x01, 0x7f}));
    EXPECT_EQ(qvDsaEncodeRS(r, s, out.data(), 25), 0u);
}

TEST(EcdsaSignature, PrimeAndBinaryCurvesAgainstOpenSslBothWays)
{
    struct Curve {
        const char *ossl, *ours;
    };
    const Curve curves[] = {{"P-256", "secp256r1"}, {"P-384", "secp384r1"}, {"P-521", "secp521r1"},
                            {"sect283k1", "sect283k1"}, {"sect233r1", "sect233r1"}};
    auto rbg = makeRbg(23);
    for (const Curve &c : curves) {
        EcKeys keys(c.ossl, c.ours);
        ASSERT_NE(keys.domain, nullptr) << c.ours;
        QvGeneralDsaSig signer;
        signer.setPrivateKey(&keys.prv);
        signer.setRbg(rbg.get());
        QvGeneralDsaSig verifier;
        verifier.setPublicKey(&keys.pub);
        // Shorter, equal and longer digests than the order (the longer ones are cut).
        for (const char *md : {"SHA1", "SHA256", "SHA512"}) {
            Bytes d = mdDigest(md, Bytes{'e', 'c', static_cast<unsigned char>(c.ours[4])});
            Bytes sig(signer.getMaxSignatureOctets());
            unsigned int n = signer.sign(d.data(), static_cast<unsigned int>(d.size()), sig.data(),
                                         static_cast<unsigned int>(sig.size()));
            sig.resize(n);
            EXPECT_TRUE(osslVerify(keys.k.get(), nullptr, d, wrapSequence(sig))) << c.ours << " " << md;
            EXPECT_TRUE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), sig.data(), n));
            Bytes theirs = unwrapSequence(osslSign(keys.k.get(), nullptr, d));
            EXPECT_TRUE(verifier.verify(d.data(), static_cast<unsigned int>(d.size()), theirs.data(),
                                        static_cast<unsigned int>(theirs.size())))
                << c.ours << " " << md;
            Bytes other = d;
            other[0] ^= 0x80;
            EXPECT_FALSE(verifier.verify(other.data(), static_cast<unsigned int>(d.size()), theirs.data(),
                                         static_cast<unsigned int>(theirs.size())));
        }
    }
}

TEST(EcdsaSignature, PointAtInfinityAndRangeGiveFalse)
{
    const QvGeneralDsaKeyDomain *dom = qvFindNamedCurveDomain("secp256r1");
    ASSERT_NE(dom, nullptr);
    // Public point G (private value 1), r = 1, s = 1 and z = n - 1: u1 G + u2 G = O.
    QvGeneralDsaPublicKey pub;
    pub.setDomain(dom);
    pub.setH(dom->getGen());
    QvGeneralDsaSig v;
    v.setPublicKey(&pub);
    Bytes nMinus1(32);
    (dom->getOrder() - 1u).asOctetString(nMinus1.data(), 32, true);
    Bytes one{1};
    EXPECT_FALSE(v.verify(nMinus1.data(), 32, one.data(), 1, one.data(), 1));
    Bytes n(32);
    dom->getOrder().asOctetString(n.data(), 32, true);
    EXPECT_FALSE(v.verify(nMinus1.data(), 32, n.data(), 32, one.data(), 1));
    Bytes zero{0};
    EXPECT_FALSE(v.verify(nMinus1.data(), 32, one.data(), 1, zero.data(), 1));

    QvGeneralDsaSig none;
    Bytes sig(100);
    EXPECT_EQ(exceptionText([&] { none.sign(one.data(), 1, sig.data(), 100); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: There is no private key or it is not ready to sign.\n"
              "FUNCTION: unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
              "QvOctet *signature, unsigned int signatureLen)\nFILE: generaldsasig_sign\nLINE: 83\n");
    EXPECT_EQ(exceptionText([&] { none.verify(one.data(), 1, one.data(), 1, one.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\n"
              "REASON: There is no public key or is is not ready to verification.\n"
              "FUNCTION: bool QvGeneralDsaSig::verify(const QvOctet *digest, unsigned int digestLen, "
              "const QvOctet *rOctets, unsigned int rLen, const QvOctet *sOctets, unsigned int sLen)\n"
              "FILE: generaldsasig_verify\nLINE: 448\n");
    EXPECT_EQ(exceptionText([&] { none.getMaxSignatureOctets(); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvNotInitException\nREASON: Private key is not initialised.\n"
              "FUNCTION: unsigned int QvGeneralDsaSig::getMaxSignatureOctets(void) const\n"
              "FILE: qvgeneraldsasig\nLINE: 140\n");
    EXPECT_EQ(exceptionText([&] { none.verifyFinalRS(one.data(), 1, one.data(), 1); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvFsmException\nREASON: Hash function is not initialised.\n"
              "FUNCTION: bool QvGeneralDsaSig::verifyFinalRS(const QvOctet *rOctets, unsigned int rLen, "
              "const QvOctet *sOctets, unsigned int sLen)\nFILE: generaldsasig_verify\nLINE: 0\n");
    QvGeneralDsaPrivateKey prv;
    prv.setDomain(dom);
    prv.set(one.data(), 1);
    none.setPrivateKey(&prv);
    EXPECT_EQ(none.getMaxSignatureOctets(), 2u * 32u + 14u);
    EXPECT_THROW(none.sign(one.data(), 1, sig.data(), 100), QvNotInitException);  // no generator
    auto rbg = makeRbg(24);
    none.setRbg(rbg.get());
    EXPECT_EQ(exceptionText([&] { none.sign(one.data(), 1, sig.data(), 8); }),
              "LIBRARY: libtorvapp\nEXCEPTION: QvArgumentRangeException\n"
              "REASON: Buffer (QvOctet *signature) for signature is too short.\n"
              "FUNCTION: unsigned int QvGeneralDsaSig::sign(const QvOctet *digest, unsigned int digestLen, "
              "QvOctet *signature, unsigned int signatureLen)\nFILE: generaldsasig_sign\nLINE: 142\n");
}

TEST(EcdsaSignature, DigestLongerThanTheOrderKeepsItsLeftmostBits)
{
    Bytes d(64);
    for (unsigned int i = 0; i < 64; ++i)
        d[i] = static_cast<unsigned char>(0xF0 - i);
    QvN cut = qvDsaDigestNumber(d.data(), 64, 256);
    EXPECT_EQ(cut, QvN(d.data(), 32, 0));
    QvN odd = qvDsaDigestNumber(d.data(), 32, 233);
    EXPECT_EQ(odd, QvN(d.data(), 32, 0) >> 23);
    QvN shortOne = qvDsaDigestNumber(d.data(), 20, 256);
    EXPECT_EQ(shortOne, QvN(d.data(), 20, 0));
}
