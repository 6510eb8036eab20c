// DSA parameters, private key, public value and signature structures: DER checked
// against OpenSSL (the openssl command and libcrypto) both ways, the domain checks,
// conversions with the library objects, signatures made here verified by OpenSSL
// and OpenSSL's verified here, and hostile keys and encodings.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level DSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <vector>

#include "keys/dsaparms.h"
#include "keys/dsaprkey.h"
#include "keys/dsapukey.h"
#include "keys/ecnamedcurves.h"
#include "keys_test_util.h"
#include "libtorvapp/qvasymkey.h"
#include "libtorvapp/qvgfpkeydomain.h"
#include "libtorvapp/qvrbg.h"

using namespace keystest;

namespace {

// The keys of data/ (1024/160 and 2048/256 bits), read once per process.
DSA* LoadKey(const char* name) {
    FILE* f = std::fopen(DataFile(name).c_str(), "r");
    EXPECT_NE(nullptr, f);
    if (f == nullptr) return nullptr;
    EVP_PKEY* pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    EXPECT_NE(nullptr, pk);
    DSA* d = EVP_PKEY_get1_DSA(pk);
    EVP_PKEY_free(pk);
    return d;
}

DSA* Key() {
    static DSA* dsa = LoadKey("dsa1024.pem");
    return dsa;
}

DSA* Key2048() {
    static DSA* dsa = LoadKey("dsa2048.pem");
    return dsa;
}

DSAParameters ParamsOf(const DSA* k) {
    DSAParameters p(48);
    SetBn(p.p, DSA_get0_p(k));
    SetBn(p.q, DSA_get0_q(k));
    SetBn(p.g, DSA_get0_g(k));
    return p;
}

DSAParameters Params() { return ParamsOf(Key()); }

std::vector<uint8_t> OpensslDer(const DSA* k) {
    unsigned char* o = nullptr;
    int n = i2d_DSAPrivateKey(k, &o);
    EXPECT_GT(n, 0);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    return v;
}

bool OpensslVerifies(const DSA* k, const uint8_t* digest, unsigned len, const DSASignature& sig) {
    std::vector<uint8_t> der = Enc(sig);
    return DSA_verify(0, digest, static_cast<int>(len), der.data(), static_cast<int>(der.size()),
                      const_cast<DSA*>(k)) == 1;
}

std::unique_ptr<QvRbg> Rbg(int salt) {
    std::unique_ptr<QvRbg> rbg(qvRbgCreateObject(4));
    std::vector<uint8_t> seed(rbg->getMinSeedOctets() + 16);
    for (size_t i = 0; i < seed.size(); i++) seed[i] = static_cast<uint8_t>(i * 29 + salt);
    rbg->init(seed.data(), static_cast<unsigned>(seed.size()));
    return rbg;
}

}  // namespace

TEST(KeysDsa, ParametersDerMatchesOpensslBothWays) {
    unsigned char* o = nullptr;
    int n = i2d_DSAparams(Key(), &o);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> der(o, o + n);
    OPENSSL_free(o);
    DSAParameters p(48);
    ASSERT_EQ(n, p.readVector(der));
    EXPECT_EQ(der, Enc(p));
    EXPECT_EQ(Enc(Params()), der);
    EXPECT_EQ(20u, p.getQLength());
    EXPECT_EQ(1024u, p.getKeySizeBits());
    const unsigned char* q = der.data();
    DSA* back = d2i_DSAparams(nullptr, &q, n);
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(DSA_get0_p(back), DSA_get0_p(Key())));
    DSA_free(back);
}

TEST(KeysDsa, DomainChecks) {
    // A 512-bit p keeps the primality proof of p short.
    DSA* small = DSA_new();
    ASSERT_EQ(1, DSA_generate_parameters_ex(small, 512, nullptr, 0, nullptr, nullptr, nullptr));
    DSAParameters p(48);
    SetBn(p.p, DSA_get0_p(small));
    SetBn(p.q, DSA_get0_q(small));
    SetBn(p.g, DSA_get0_g(small));
    DSA_free(small);
    EXPECT_EQ(1, p.isValid());
    DSAParameters bad = p;
    bad.g.setValue(1);
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.g = p.p;
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.q.setValue(15);  // composite
    EXPECT_EQ(0, bad.isValid());
    bad = p;
    bad.q.setValue(65537);  // prime, but not a divisor of p - 1
    EXPECT_EQ(0, bad.isValid());
    DSAParameters empty(48);
    EXPECT_EQ(0, empty.isValid());
}

TEST(KeysDsa, DomainAndPublicValueConversions) {
    DSAParameters p = Params();
    QvDsaKeyDomain domain;
    ASSERT_EQ(1, p.toDomain(domain));
    DSAParameters back(48);
    ASSERT_EQ(1, back.setFromDomain(domain));
    EXPECT_EQ(Enc(p), Enc(back));

    ASNinteger x(0), y(0);
    SetBn(x, DSA_get0_priv_key(Key()));
    ASSERT_TRUE(p.computePublicValue(x, y));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key())), Mag(y));

    QvDsaPublicKey qk;
    qk.setDomain(&domain);
    qk.setY(Mag(y).data(), static_cast<unsigned>(Mag(y).size()));
    DSAPublicKey pub(0);
    ASSERT_EQ(1, pub.setFromQvKey(qk));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key())), Mag(pub));
    EXPECT_EQ(1024u, pub.getKeySizeBits());
    EXPECT_EQ(128, pub.getLength());
}

// The catalogue's field size of a domain over GF(p) is the bit length of p, and the
// strength follows from it as for curves.
TEST(KeysDsa, FieldSizeAndStrengthOfDomainsOverPrimeFields) {
    QvDsaKeyDomain d1024, d2048;
    ASSERT_EQ(1, Params().toDomain(d1024));
    ASSERT_EQ(1, ParamsOf(Key2048()).toDomain(d2048));
    EXPECT_EQ(1024u, EcNamedCurveTable::fieldBitSize(&d1024));
    EXPECT_EQ(256u, EcNamedCurveTable::securityStrength(&d1024));
    EXPECT_EQ(2048u, EcNamedCurveTable::fieldBitSize(&d2048));
    EXPECT_EQ(256u, EcNamedCurveTable::securityStrength(&d2048));
    // p = 2^(bits-1) + 1 around each step of the strength table.
    const struct {
        unsigned bits, strength;
    } steps[] = {{2, 0},     {159, 0},   {160, 80},  {191, 80},  {192, 96},  {223, 96},  {224, 112}, {255, 112},
                 {256, 128}, {319, 128}, {320, 160}, {383, 160}, {384, 192}, {511, 192}, {512, 256}, {4096, 256}};
    for (const auto& step : steps) {
        std::vector<uint8_t> p((step.bits + 7) / 8, 0);
        p[0] = static_cast<uint8_t>(1u << ((step.bits - 1) % 8));
        p.back() |= 1;
        QvDhGFpKeyDomain dh;
        dh.setP(p.data(), static_cast<unsigned>(p.size()));
        EXPECT_EQ(step.bits, EcNamedCurveTable::fieldBitSize(&dh)) << step.bits;
        EXPECT_EQ(step.strength, EcNamedCurveTable::securityStrength(&dh)) << step.bits;
        // A general domain over the same multiplicative group.
        QvN n;
        n.setOctetString(p.data(), static_cast<unsigned>(p.size()));
        QvMultiplicativeModulusGroup group(n, 9);
        QvGeneralDsaKeyDomain general;
        general.setGroup(&group);
        EXPECT_EQ(step.bits, EcNamedCurveTable::fieldBitSize(&general)) << step.bits;
    }
    // Without a modulus there is no size.
    QvDsaKeyDomain empty;
    QvGeneralDsaKeyDomain noGroup;
    EXPECT_EQ(0u, EcNamedCurveTable::fieldBitSize(&empty));
    EXPECT_EQ(0u, EcNamedCurveTable::securityStrength(&empty));
    EXPECT_EQ(0u, EcNamedCurveTable::fieldBitSize(&noGroup));
}

TEST(KeysDsa, OpensslSignatureVerifiesAndTamperedOneDoesNot) {
    uint8_t digest[20];
    for (int i = 0; i < 20; i++) digest[i] = static_cast<uint8_t>(i * 11 + 3);
    DSA_SIG* s = DSA_do_sign(digest, 20, Key());
    ASSERT_NE(nullptr, s);
    unsigned char* o = nullptr;
    int n = i2d_DSA_SIG(s, &o);
    std::vector<uint8_t> der(o, o + n);
    OPENSSL_free(o);
    DSA_SIG_free(s);

    DSASignature sig(48);
    ASSERT_EQ(n, sig.readVector(der));
    EXPECT_EQ(der, Enc(sig));
    DSAPublicKey pub(0);
    SetBn(pub, DSA_get0_pub_key(Key()));
    DSAParameters p = Params();
    EXPECT_EQ(0, pub.verify(digest, 20, p, sig));
    EXPECT_EQ(0, pub.verifyWithHash(digest, 20, 1, &p, sig));
    EXPECT_EQ(3, pub.verifyWithHash(digest, 20, 3, &p, sig));
    digest[0] ^= 1;
    EXPECT_EQ(1, pub.verify(digest, 20, p, sig));
    DSAPublicKey one(0);
    one.setValue(1);
    EXPECT_EQ(2, one.verify(digest, 20, p, sig));
    DSAPublicKey g(0);
    g = DSAPublicKey(0);
    static_cast<ASNinteger&>(g) = p.g;
    EXPECT_NE(0, g.verify(digest, 20, p, sig));
}

TEST(KeysDsa, SignatureRsFormAndHostileEncodings) {
    DSASignature sig(48);
    sig.r.setValue(0x1234);
    sig.s.setValue(0x80);
    const std::vector<uint8_t> rs = {0x02, 0x02, 0x12, 0x34, 0x02, 0x02, 0x00, 0x80};
    EXPECT_EQ(8, sig.getRSLength());
    std::vector<uint8_t> out(8);
    ASSERT_EQ(1, sig.getRS(out.data(), 8));
    EXPECT_EQ(rs, out);
    EXPECT_EQ(-1, sig.getRS(out.data(), 7));

    DSASignature back(48);
    ASSERT_EQ(1, back.setRS(rs.data(), 8));
    EXPECT_EQ(Enc(sig), Enc(back));
    std::vector<uint8_t> trailing = rs;
    trailing.push_back(0);
    EXPECT_EQ(0, back.setRS(trailing.data(), 9));
    EXPECT_EQ(0, back.setRS(rs.data(), 4));  // s missing
    EXPECT_EQ(0, back.setRS(rs.data(), 7));  // s cut
    EXPECT_EQ(0, back.setRS(nullptr, 8));

    // A SEQUENCE with a third INTEGER, and one with a length past the data.
    const std::vector<uint8_t> three = {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x03};
    EXPECT_LE(back.readVector(three), 0);
    const std::vector<uint8_t> cut = {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01};
    EXPECT_LE(back.readVector(cut), 0);
}

TEST(KeysDsa, PrivateKeyFromOpensslCommandDecodesAndReEncodesTheSame) {
    WorkDir d;
    ASSERT_TRUE(d.run("openssl dsa -in '" + DataFile("dsa1024.pem") + "' -outform DER -out k.der"));
    std::vector<uint8_t> der = d.read("k.der");
    ASSERT_EQ(OpensslDer(Key()), der);
    DSAPrivateKey k(48);
    ASSERT_EQ(static_cast<long>(der.size()), k.readVector(der));
    EXPECT_EQ(der, Enc(k));
    EXPECT_EQ(Bn(DSA_get0_priv_key(Key())), Mag(k.x));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key())), Mag(k.y));
    EXPECT_EQ(std::vector<uint8_t>{0}, Mag(k.version));
    EXPECT_EQ(7, k.getPresentParts());
    EXPECT_EQ(1024u, k.getKeySizeBits());
    EXPECT_EQ(128u, k.getKeySizeBytes());
    EXPECT_LE(k.getPrivateValueLength(), 20u);  // x < q of 160 bits
    EXPECT_GE(k.getPrivateValueLength(), 16u);
    DSAParameters dom(48);
    k.getDomain(dom);
    EXPECT_EQ(Enc(Params()), Enc(dom));
    ASNinteger y(0);
    ASSERT_EQ(1, k.getPublicValue(y));
    EXPECT_EQ(Mag(k.y), Mag(y));

    // Five or seven INTEGERs, or a cut one, are no private key.
    std::vector<uint8_t> five(der.begin() + 4, der.end() - 22);
    five.insert(five.begin(), {0x30, 0x82, static_cast<uint8_t>(five.size() >> 8), static_cast<uint8_t>(five.size())});
    EXPECT_EQ(0, DSAPrivateKey(48).readVector(five));
    std::vector<uint8_t> seven(der.begin() + 4, der.end());
    seven.insert(seven.end(), {0x02, 0x01, 0x05});
    seven.insert(seven.begin(),
                 {0x30, 0x82, static_cast<uint8_t>(seven.size() >> 8), static_cast<uint8_t>(seven.size())});
    EXPECT_EQ(0, DSAPrivateKey(48).readVector(seven));
    std::vector<uint8_t> cut(der.begin(), der.end() - 1);
    EXPECT_LE(DSAPrivateKey(48).readVector(cut), 0);
}

TEST(KeysDsa, PrivateKeyWrittenHereIsReadByOpensslCommand) {
    // Built from x and the domain: y is computed here.
    DSAPrivateKey k(48);
    ASNinteger x(0);
    SetBn(x, DSA_get0_priv_key(Key2048()));
    ASSERT_EQ(1, k.set(x, ParamsOf(Key2048()), nullptr));
    EXPECT_EQ(Bn(DSA_get0_pub_key(Key2048())), Mag(k.y));
    std::vector<uint8_t> ours = Enc(k);
    EXPECT_EQ(OpensslDer(Key2048()), ours);

    WorkDir d;
    d.write("ours.der", ours);
    ASSERT_TRUE(d.run("openssl dsa -inform DER -in ours.der -outform DER -out back.der && "
                      "openssl pkey -inform DER -in ours.der -check -noout"));
    EXPECT_EQ(ours, d.read("back.der"));

    // A y that does not belong to x fails OpenSSL's check and ours.
    DSAPrivateKey bad(k);
    ASNinteger g(0);
    g = bad.g;
    bad.setY(g);
    d.write("bad.der", Enc(bad));
    EXPECT_FALSE(d.run("openssl pkey -inform DER -in bad.der -check -noout"));
}

TEST(KeysDsa, PublicValueIsComputedOnlyWhenMissingAndConsistencyChecksIt) {
    // A 512-bit domain keeps the primality proofs of the consistency check short.
    DSA* small = DSA_new();
    ASSERT_EQ(1, DSA_generate_parameters_ex(small, 512, nullptr, 0, nullptr, nullptr, nullptr));
    ASSERT_EQ(1, DSA_generate_key(small));
    DSAPrivateKey k(48);
    ASNinteger x(0);
    SetBn(x, DSA_get0_priv_key(small));
    DSAParameters dom = ParamsOf(small);
    ASSERT_EQ(1, k.setPQG(Mag(dom.p).data(), static_cast<long>(Mag(dom.p).size()), Mag(dom.q).data(),
                          static_cast<long>(Mag(dom.q).size()), Mag(dom.g).data(),
                          static_cast<long>(Mag(dom.g).size())));
    ASSERT_EQ(1, k.setX(Mag(x).data(), static_cast<long>(Mag(x).size())));
    EXPECT_EQ(5, k.getPresentParts());  // domain and x
    EXPECT_EQ(1, k.isConsistent());  // no y: only the domain is checked
    ASNinteger y(0);
    ASSERT_EQ(1, k.getPublicValue(y));
    EXPECT_EQ(Bn(DSA_get0_pub_key(small)), Mag(y));
    EXPECT_EQ(5, k.getPresentParts());  // getPublicValue leaves the key as it was
    ASSERT_EQ(1, k.ensurePublicValue());
    EXPECT_EQ(7, k.getPresentParts());
    EXPECT_EQ(Bn(DSA_get0_pub_key(small)), Mag(k.y));
    EXPECT_EQ(1, k.isConsistent());

    // A y given is kept as it is, and a wrong one makes the key inconsistent.
    DSAPrivateKey wrong(48);
    ASSERT_EQ(1, wrong.set(x, dom, &dom.g));
    EXPECT_EQ(Mag(dom.g), Mag(wrong.y));
    EXPECT_EQ(1, wrong.ensurePublicValue());
    EXPECT_EQ(Mag(dom.g), Mag(wrong.y));
    EXPECT_EQ(0, wrong.isConsistent());
    // A y of 0, given or read from a file, is held, never recomputed: a wrong value.
    ASNinteger zero(0);
    zero.setValue(0);
    DSAPrivateKey zeroY(48);
    ASSERT_EQ(1, zeroY.set(x, dom, &zero));
    DSAPrivateKey zeroRead(48);
    ASSERT_GT(zeroRead.readVector(Enc(zeroY)), 0);
    for (DSAPrivateKey* z : {&zeroY, &zeroRead}) {
        EXPECT_EQ(5, z->getPresentParts());
        EXPECT_EQ(0, z->isConsistent());
        ASNinteger held(0);
        ASSERT_EQ(1, z->getPublicValue(held));
        EXPECT_EQ(std::vector<uint8_t>{0}, std::vector<uint8_t>(held.getData(), held.getData() + 1));
        EXPECT_EQ(1, held.ASNoctstr::getValueLength());
        EXPECT_EQ(1, z->ensurePublicValue());
        EXPECT_EQ(std::vector<uint8_t>{0}, Mag(z->y));
    }
    // So does a domain that is not one.
    DSAPrivateKey badDomain(k);
    badDomain.setG(dom.p);
    EXPECT_EQ(0, badDomain.isConsistent());
    DSA_free(small);
}

TEST(KeysDsa, PrivateKeyConvertsToAndFromLibraryObjects) {
    DSAPrivateKey k(48);
    std::vector<uint8_t> der = OpensslDer(Key());
    ASSERT_GT(k.readVector(der), 0);

    QvDsaKeyDomain domain;
    QvDsaPrivateKey priv;
    ASSERT_EQ(0, k.exportPrivateKey(priv, domain));
    EXPECT_TRUE(priv.isPrivatePartReady());
    EXPECT_TRUE(priv.isPublicPartReady());
    QvDsaPublicKey pub;
    QvDsaKeyDomain pubDomain;
    ASSERT_EQ(0, k.exportPublicKey(pub, pubDomain));
    EXPECT_TRUE(pub.isReady());
    EXPECT_TRUE(pub.isValid());

    DSAPrivateKey back(48);
    ASSERT_EQ(1, back.setFromQvKey(priv));
    EXPECT_EQ(der, Enc(back));
    DSAPrivateKey other(48);
    QvDsaPrivateKey bare;  // x and y only, the domain given apart
    ASSERT_EQ(0, k.exportPrivateValues(bare));
    EXPECT_EQ(0, other.setFromQvKey(bare));
    ASSERT_EQ(1, other.setFromQvKeyAndDomain(bare, domain));
    EXPECT_EQ(der, Enc(other));
    // A library key without y gives a structure without y, which computes it.
    QvDsaPrivateKey noY;
    noY.setX(priv.getX());
    ASSERT_EQ(1, other.setFromQvKeyAndDomain(noY, domain));
    EXPECT_EQ(5, other.getPresentParts());
    ASSERT_EQ(1, other.ensurePublicValue());
    EXPECT_EQ(der, Enc(other));
}

TEST(KeysDsa, SignsDigestsThatOpensslVerifies) {
    std::unique_ptr<QvRbg> rbg = Rbg(5);
    DSAPrivateKey k(48);
    ASSERT_GT(k.readVector(OpensslDer(Key())), 0);
    uint8_t digest[64];
    for (int i = 0; i < 64; i++) digest[i] = static_cast<uint8_t>(i * 7 + 1);
    // The hash follows the digest length; SHA-256 and longer digests are cut to q.
    for (unsigned len : {16u, 20u, 28u, 32u, 48u, 64u}) {
        DSASignature sig(48);
        ASSERT_EQ(DSAPrivateKey::kSigned, k.sign(digest, len, sig, rbg.get())) << len;
        EXPECT_TRUE(OpensslVerifies(Key(), digest, len, sig)) << len;
    }
    EXPECT_TRUE(k.isPrepared());
    DSASignature sig(48);
    EXPECT_EQ(DSAPrivateKey::kBadDigest, k.sign(digest, 24, sig, rbg.get()));
    EXPECT_EQ(DSAPrivateKey::kBadDigest, k.signWithHash(digest, 20, 3, sig, rbg.get()));
    EXPECT_EQ(DSAPrivateKey::kBadDigest, k.signWithHash(digest, 20, 9, sig, rbg.get()));
    EXPECT_EQ(DSAPrivateKey::kKeyFailure, k.signWithHash(digest, 20, 1, sig, nullptr));

    // A 2048/256 key with SHA-256, and our signature checked by our public value.
    DSAPrivateKey k2(48);
    ASSERT_GT(k2.readVector(OpensslDer(Key2048())), 0);
    ASSERT_EQ(DSAPrivateKey::kSigned, k2.signWithHash(digest, 32, 3, sig, rbg.get()));
    EXPECT_TRUE(OpensslVerifies(Key2048(), digest, 32, sig));
    DSAPublicKey pub(0);
    static_cast<ASNinteger&>(pub) = k2.y;
    DSAParameters dom(48);
    k2.getDomain(dom);
    EXPECT_EQ(0, pub.verifyWithHash(digest, 32, 3, &dom, sig));
}

TEST(KeysDsa, ChangingAMemberDropsThePreparedKey) {
    std::unique_ptr<QvRbg> rbg = Rbg(9);
    DSAPrivateKey k(48);
    ASSERT_GT(k.readVector(OpensslDer(Key())), 0);
    uint8_t digest[20] = {1, 2, 3};
    DSASignature sig(48);
    ASSERT_EQ(0, k.signWithHash(digest, 20, 1, sig, rbg.get()));
    EXPECT_TRUE(k.isPrepared());
    // Another x: the next signature is made with it, and no longer verifies under y.
    ASNinteger x(0);
    x.setValue(0x12345679);
    k.setX(x);
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(0, k.signWithHash(digest, 20, 1, sig, rbg.get()));
    EXPECT_FALSE(OpensslVerifies(Key(), digest, 20, sig));
    DSAPrivateKey copy(k);
    EXPECT_FALSE(copy.isPrepared());
    ASSERT_GT(k.readVector(OpensslDer(Key())), 0);
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(0, k.signWithHash(digest, 20, 1, sig, rbg.get()));
    EXPECT_TRUE(OpensslVerifies(Key(), digest, 20, sig));
}

TEST(KeysDsa, UnusableKeysAreRefusedBeforeAnyArithmetic) {
    std::unique_ptr<QvRbg> rbg = Rbg(3);
    DSAPrivateKey good(48);
    ASSERT_GT(good.readVector(OpensslDer(Key())), 0);
    uint8_t digest[20] = {9};
    DSASignature sig(48);
    auto refused = [&](DSAPrivateKey k) { return k.signWithHash(digest, 20, 1, sig, rbg.get()); };
    DSAPrivateKey k(good);
    ASNinteger v(0);
    v.setValue(0);
    k.setX(v);
    EXPECT_EQ(2, refused(k));  // x = 0
    k = good;
    k.setX(good.q);
    EXPECT_EQ(2, refused(k));  // x = q
    k = good;
    v.setValue(1);
    k.setG(v);
    EXPECT_EQ(2, refused(k));  // g = 1
    k = good;
    v.setValue(0);
    k.setP(v);
    EXPECT_EQ(2, refused(k));  // p = 0
    k = good;
    v.setValue(0xFFFFFFFBu);  // a prime q far too small for nonces
    k.setQ(v);
    EXPECT_EQ(2, refused(k));
    k = good;
    ASSERT_EQ(4, k.x.readVector({0x02, 0x02, 0x80, 0x01}));  // a negative x
    EXPECT_EQ(2, refused(k));
    DSAPrivateKey empty(48);
    EXPECT_EQ(2, refused(empty));
    EXPECT_EQ(0, empty.getPresentParts());
}

TEST(KeysDsa, PublicValueThatIsNoKeyIsRefused) {
    uint8_t digest[20] = {4, 5, 6};
    DSASignature sig(48);
    sig.r.setValue(5);
    sig.s.setValue(7);
    DSAParameters p = Params();
    for (uint32_t bad : {0u, 1u}) {
        DSAPublicKey y(0);
        y.setValue(bad);
        EXPECT_EQ(2, y.verify(digest, 20, p, sig)) << bad;
    }
    DSAPublicKey g(0);
    static_cast<ASNinteger&>(g) = p.g;
    EXPECT_EQ(2, g.verify(digest, 20, p, sig));
    DSAPublicKey pm1(0);
    static_cast<ASNinteger&>(pm1) = p.p;
    EXPECT_EQ(2, pm1.verify(digest, 20, p, sig));  // y = p is no residue
    DSAPublicKey ok(0);
    SetBn(ok, DSA_get0_pub_key(Key()));
    EXPECT_EQ(1, ok.verify(digest, 20, p, sig));  // a usable key, a wrong signature
    EXPECT_EQ(2, ok.verifyWithHash(digest, 20, 1, nullptr, sig));
}
