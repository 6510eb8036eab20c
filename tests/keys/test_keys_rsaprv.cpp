// RSAPrivateKey: DER against OpenSSL both ways, completion of missing members checked
// against OpenSSL's key, conversions with the library key and the prepared mark;
// raw, PKCS #1 v1.5 and OAEP decryption of what OpenSSL encrypts; masked raw,
// PKCS #1 v1.5 and PSS (every salt rule) signatures that OpenSSL verifies; and
// EMSA-PSS-ENCODE checked by OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level RSA structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>
#include <vector>

#include "keys/rsaprkey.h"
#include "keys/rsapukey.h"
#include "keys_test_util.h"
#include "libtorvapp/qvasymkey.h"
#include "rsa_test_key.h"
#include "libtorvapp/qvrbg.h"
#include "support/memfile.h"

namespace {

using keystest::Enc;

RSA* Key() { return keystest::OpensslRsaKey(); }
std::vector<uint8_t> Der() { return keystest::OpensslRsaDer(true); }

RSAPrivateKey Ours() {
    RSAPrivateKey k(48);
    std::vector<uint8_t> d = Der();
    EXPECT_EQ(static_cast<long>(d.size()), k.readVector(d));
    return k;
}

}  // namespace

TEST(KeysRsaPrivate, DerMatchesOpensslBothWays) {
    RSAPrivateKey k = Ours();
    EXPECT_EQ(Der(), Enc(k));
    EXPECT_EQ(128u, k.getModulusOctets());
    EXPECT_EQ(2, k.getKeyForm());
    std::vector<uint8_t> ours = Enc(k);
    const unsigned char* p = ours.data();
    RSA* back = d2i_RSAPrivateKey(nullptr, &p, static_cast<long>(ours.size()));
    ASSERT_NE(nullptr, back);
    EXPECT_EQ(0, BN_cmp(RSA_get0_d(back), RSA_get0_d(Key())));
    RSA_free(back);
    // Eight INTEGERs only, and a tenth one: both refused.
    std::vector<uint8_t> eight = {0x30, 0x18};
    for (int i = 0; i < 8; i++) eight.insert(eight.end(), {0x02, 0x01, 0x03});
    EXPECT_LE(k.readVector(eight), 0);
    std::vector<uint8_t> ten = {0x30, 0x1E};
    for (int i = 0; i < 10; i++) ten.insert(ten.end(), {0x02, 0x01, 0x03});
    EXPECT_LE(k.readVector(ten), 0);
}

TEST(KeysRsaPrivate, CompleteCrtDerivesOnlyTheMissingMembers) {
    const std::vector<uint8_t> full = Enc(Ours());
    // n, e, p: q, d and the CRT members derived. OpenSSL's d uses the Carmichael
    // function, ours Euler's totient, so d is compared through dP and dQ.
    RSAPrivateKey k = Ours();
    k.prime2.setValue(0);
    k.privateExponent.setValue(0);
    k.exponent1.setValue(0);
    k.exponent2.setValue(0);
    k.coefficient.setValue(0);
    EXPECT_EQ(-1, k.getKeyForm());
    ASSERT_EQ(1, k.completeCrt());
    RSAPrivateKey ref = Ours();
    EXPECT_TRUE(k.prime2 == ref.prime2);
    EXPECT_TRUE(k.exponent1 == ref.exponent1);
    EXPECT_TRUE(k.exponent2 == ref.exponent2);
    EXPECT_TRUE(k.coefficient == ref.coefficient);
    EXPECT_EQ(2, k.getKeyForm());

    // Only p, q and e: n = p x q.
    RSAPrivateKey m = Ours();
    m.modulus.setValue(0);
    m.privateExponent.setValue(0);
    ASSERT_EQ(1, m.completeCrt());
    EXPECT_TRUE(m.modulus == ref.modulus);

    // All present: untouched even with a wrong dP.
    RSAPrivateKey w = Ours();
    w.exponent1.setValue(5);
    ASSERT_EQ(1, w.completeCrt());
    EXPECT_EQ(5, w.exponent1.getLong());

    // e and d both missing; n and p missing: nothing derivable, nothing written.
    RSAPrivateKey x = Ours();
    x.publicExponent.setValue(0);
    x.privateExponent.setValue(0);
    x.exponent1.setValue(0);
    EXPECT_EQ(0, x.completeCrt());
    EXPECT_EQ(0, x.exponent1.getLong());
    RSAPrivateKey y = Ours();
    y.modulus.setValue(0);
    y.prime1.setValue(0);
    EXPECT_EQ(0, y.completeCrt());
    // Neither n nor q: p and qInv alone do not give q.
    RSAPrivateKey z = Ours();
    z.modulus.setValue(0);
    z.prime2.setValue(0);
    EXPECT_EQ(0, z.completeCrt());
    EXPECT_EQ(0, z.modulus.getLong());
    EXPECT_EQ(full, Enc(Ours()));
}

TEST(KeysRsaPrivate, LibraryKeyBothWaysAndPreparedMark) {
    RSAPrivateKey k = Ours();
    QvRsaPrivateKey lib;
    ASSERT_EQ(1, k.toQvKey(lib));
    EXPECT_TRUE(lib.isPrivatePartReady());
    RSAPrivateKey back(48);
    ASSERT_EQ(1, back.setFromQvKey(lib));
    EXPECT_EQ(Enc(k), Enc(back));
    QvRsaPublicKey pub;
    EXPECT_TRUE(k.toQvPublicKey(pub));
    EXPECT_EQ(1024u, pub.getKeyBits());

    ASSERT_EQ(1, k.prepareKey());
    EXPECT_TRUE(k.isPrepared());
    k = Ours();
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    EXPECT_GT(k.readVector(Der()), 0);
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    ASSERT_EQ(1, k.setFromQvKey(lib));
    EXPECT_FALSE(k.isPrepared());
    ASSERT_EQ(1, k.prepareKey());
    k.clear();
    EXPECT_FALSE(k.isPrepared());
    EXPECT_EQ(0, k.prepareKey());
    // Zero primes give no key rather than an internal error.
    RSAPrivateKey z = Ours();
    z.prime1.setValue(0);
    z.prime2.setValue(0);
    EXPECT_NO_THROW(z.prepareKey());
}

namespace {

// A generator that counts what it hands out, or fails as a cycling one would.
class CountingRbg : public QvRbg {
public:
    explicit CountingRbg(bool failing = false) : inner(qvRbgCreateObject(4)), fail(failing) {
        std::vector<uint8_t> seed(inner->getMinSeedOctets(), 0x3C);
        inner->init(seed.data(), static_cast<unsigned>(seed.size()));
    }
    void init(const QvOctet* s, unsigned n) override { inner->init(s, n); }
    void reinit(const QvOctet* s, unsigned n) override { inner->reinit(s, n); }
    void uninit() override { inner->uninit(); }
    void fillOctets(QvOctet* dst, unsigned n) override {
        if (fail) throw QvRbgCycleException();
        drawn += n;
        inner->fillOctets(dst, n);
    }
    unsigned getMinSeedOctets() const override { return inner->getMinSeedOctets(); }
    unsigned getMaxSeedOctets() const override { return inner->getMaxSeedOctets(); }
    unsigned getSeedStepOctets() const override { return inner->getSeedStepOctets(); }
    const char* getName() const override { return "counting"; }

    std::unique_ptr<QvRbg> inner;
    bool fail;
    unsigned long drawn = 0;
};

std::vector<uint8_t> Bytes(MemFile& f) { return std::vector<uint8_t>(f.GetData(), f.GetData() + f.Size()); }

EVP_PKEY* Pkey() {
    EVP_PKEY* pk = EVP_PKEY_new();
    RSA_up_ref(Key());
    EVP_PKEY_assign_RSA(pk, Key());
    return pk;
}

std::vector<uint8_t> OpensslEncrypt(const std::vector<uint8_t>& m, int padding, const EVP_MD* md = nullptr,
                                    const std::vector<uint8_t>& label = {}) {
    EVP_PKEY* pk = Pkey();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    EXPECT_EQ(1, EVP_PKEY_encrypt_init(ctx));
    EVP_PKEY_CTX_set_rsa_padding(ctx, padding);
    if (md != nullptr) {
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md);
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md);
    }
    if (!label.empty()) {
        unsigned char* l = static_cast<unsigned char*>(OPENSSL_malloc(label.size()));
        std::copy(label.begin(), label.end(), l);
        EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, l, static_cast<int>(label.size()));
    }
    std::vector<uint8_t> out(128);
    size_t n = out.size();
    EXPECT_EQ(1, EVP_PKEY_encrypt(ctx, out.data(), &n, m.data(), m.size()));
    out.resize(n);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pk);
    return out;
}

// OpenSSL's verdict on a signature over a digest: PKCS #1 v1.5, or PSS with a salt length.
bool OpensslVerifies(const uint8_t* digest, const EVP_MD* md, const std::vector<uint8_t>& sig, int pssSalt = -100,
                     EVP_PKEY* pk = nullptr) {
    const bool own = pk == nullptr;
    if (own) pk = Pkey();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pk, nullptr);
    EVP_PKEY_verify_init(ctx);
    EVP_PKEY_CTX_set_signature_md(ctx, md);
    if (pssSalt != -100) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING);
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, pssSalt);
    }
    bool ok = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest, static_cast<size_t>(EVP_MD_get_size(md))) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (own) EVP_PKEY_free(pk);
    return ok;
}

}  // namespace

TEST(KeysRsaPrivate, DecryptsWhatOpensslEncrypts) {
    RSAPrivateKey k = Ours();
    const std::vector<uint8_t> msg = {'d', 'e', 'k', 'r', 'y', 'p', 't'};
    MemFile out;
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.decryptPkcsV15(OpensslEncrypt(msg, RSA_PKCS1_PADDING).data(), 128, out));
    EXPECT_EQ(msg, Bytes(out));
    std::vector<uint8_t> c = OpensslEncrypt(msg, RSA_PKCS1_OAEP_PADDING, EVP_sha1());
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.decryptOaep(c.data(), 128, out, 1, 0, 1, nullptr, 0));
    EXPECT_EQ(msg, Bytes(out));
    const std::vector<uint8_t> label = {'e', 't', 'y', 'k', 'i', 'e', 't', 'a'};
    c = OpensslEncrypt(msg, RSA_PKCS1_OAEP_PADDING, EVP_sha256(), label);
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.decryptOaep(c.data(), 128, out, 3, 0, 3, label.data(), 8));
    EXPECT_EQ(msg, Bytes(out));
    // Any failure of the scheme is the same answer and leaves nothing behind:
    // another label, another hash, a changed ciphertext, a value not below n.
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptOaep(c.data(), 128, out, 3, 0, 3, nullptr, 0));
    EXPECT_EQ(0, out.Size());
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptOaep(c.data(), 128, out, 1, 0, 1, label.data(), 8));
    c[77] ^= 4;
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptOaep(c.data(), 128, out, 3, 0, 3, label.data(), 8));
    std::vector<uint8_t> v15 = OpensslEncrypt(msg, RSA_PKCS1_PADDING);
    v15[100] ^= 1;
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptPkcsV15(v15.data(), 128, out));
    std::vector<uint8_t> n = keystest::Bn(RSA_get0_n(Key()));
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptPkcsV15(n.data(), 128, out));
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptOaep(n.data(), 128, out, 1, 0, 1, nullptr, 0));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.decryptPkcsV15(v15.data(), 129, out));
    EXPECT_EQ(RSAPrivateKey::kBadHash, k.decryptOaep(c.data(), 128, out, 9, 0, 1, nullptr, 0));
    // An empty message decrypts to nothing, successfully.
    ASSERT_EQ(RSAPrivateKey::kSuccess,
              k.decryptPkcsV15(OpensslEncrypt({}, RSA_PKCS1_PADDING).data(), 128, out));
    EXPECT_EQ(0, out.Size());

    // Raw: exactly k octets, below n, into a buffer of k octets.
    std::vector<uint8_t> m(128, 0x21);
    std::vector<uint8_t> raw = OpensslEncrypt(m, RSA_NO_PADDING);
    std::vector<uint8_t> plain(128);
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.decryptRaw(raw.data(), 128, plain.data(), 128));
    EXPECT_EQ(m, plain);
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.decryptRaw(raw.data(), 129, plain.data(), 128));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.decryptRaw(raw.data(), 127, plain.data(), 128));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.decryptRaw(raw.data(), 128, plain.data(), 127));
    EXPECT_EQ(RSAPrivateKey::kRejected, k.decryptRaw(n.data(), 128, plain.data(), 128));
    RSAPrivateKey empty(48);
    EXPECT_EQ(RSAPrivateKey::kKeyFailure, empty.decryptRaw(raw.data(), 128, plain.data(), 128));
}

TEST(KeysRsaPrivate, MaskedSignaturesThatOpensslVerifies) {
    RSAPrivateKey k = Ours();
    CountingRbg rbg;
    uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("podpis"), 6, digest);
    MemFile out;
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signPkcsV15(digest, 32, 3, &rbg, out));
    EXPECT_GT(rbg.drawn, 0u);  // the masking factor came from the generator given
    EXPECT_TRUE(OpensslVerifies(digest, EVP_sha256(), Bytes(out)));
    // Deterministic scheme: the mask does not change the signature.
    std::vector<uint8_t> first = Bytes(out);
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signPkcsV15(digest, 32, 3, &rbg, out));
    EXPECT_EQ(first, Bytes(out));
    uint8_t d1[20];
    SHA1(digest, 32, d1);
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signPkcsV15(d1, 20, 1, &rbg, out));
    EXPECT_TRUE(OpensslVerifies(d1, EVP_sha1(), Bytes(out)));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signPkcsV15(digest, 20, 3, &rbg, out));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signPkcsV15(digest, 32, 3, nullptr, out));
    EXPECT_EQ(RSAPrivateKey::kBadHash, k.signPkcsV15(digest, 32, 9, &rbg, out));

    // PSS: salt length 0 means the digest length; the MGF hash 0 means the hash.
    for (unsigned salt : {0u, 20u, 94u}) {
        ASSERT_EQ(RSAPrivateKey::kSuccess, k.signPss(digest, 32, 3, &rbg, out, 0, 0, salt)) << salt;
        EXPECT_TRUE(OpensslVerifies(digest, EVP_sha256(), Bytes(out), salt == 0 ? 32 : static_cast<int>(salt)))
            << salt;
    }
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signPss(digest, 32, 3, &rbg, out, 0, 0, 95));  // H + S + 2 > k
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signPss(digest, 31, 3, &rbg, out, 0, 0, 32));

    // Raw: an encoded message below n, checked with the public operation.
    std::vector<uint8_t> em(128, 0x5A);
    em[0] = 0x00;
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signRaw(em.data(), 128, &rbg, out));
    std::vector<uint8_t> back(128);
    ASSERT_EQ(128, RSA_public_decrypt(128, out.GetData(), back.data(), Key(), RSA_NO_PADDING));
    EXPECT_EQ(em, back);
    std::vector<uint8_t> n = keystest::Bn(RSA_get0_n(Key()));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signRaw(n.data(), 128, &rbg, out));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signRaw(em.data(), 129, &rbg, out));

    // A generator that fails; a key without e cannot be masked.
    CountingRbg failing(true);
    RSAPrivateKey fresh = Ours();
    EXPECT_EQ(RSAPrivateKey::kRbgFailure, fresh.signPkcsV15(digest, 32, 3, &failing, out));
    RSAPrivateKey noE = Ours();
    noE.publicExponent.setValue(0);
    EXPECT_EQ(RSAPrivateKey::kKeyFailure, noE.signPkcsV15(digest, 32, 3, &rbg, out));
    // Prime factors that do not belong to n: the key still signs correctly from d.
    RSAPrivateKey wrongCrt = Ours();
    wrongCrt.prime1.setValue(65537);
    ASSERT_EQ(RSAPrivateKey::kSuccess, wrongCrt.signPkcsV15(digest, 32, 3, &rbg, out));
    EXPECT_TRUE(OpensslVerifies(digest, EVP_sha256(), Bytes(out)));
}

TEST(KeysRsaPrivate, PssOnAModulusOneBitAboveAByteBoundary) {
    FILE* f = std::fopen(keystest::DataFile("rsa1025.pem").c_str(), "r");
    ASSERT_NE(nullptr, f);
    EVP_PKEY* pk = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    ASSERT_NE(nullptr, pk);
    RSA* rsa = EVP_PKEY_get1_RSA(pk);
    unsigned char* o = nullptr;
    int len = i2d_RSAPrivateKey(rsa, &o);
    RSAPrivateKey k(48);
    ASSERT_EQ(len, k.readBuffer(o, len));
    OPENSSL_free(o);
    EXPECT_EQ(129u, k.getModulusOctets());
    CountingRbg rbg;
    uint8_t digest[32];
    SHA256(reinterpret_cast<const unsigned char*>("1025"), 4, digest);
    MemFile out;
    // The encoded message has 128 octets: at most 128 - 32 - 2 octets of salt.
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signPss(digest, 32, 3, &rbg, out, 0, 3, 94));
    EXPECT_TRUE(OpensslVerifies(digest, EVP_sha256(), Bytes(out), 94, pk));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, k.signPss(digest, 32, 3, &rbg, out, 0, 3, 95));
    // EMSA-PSS-ENCODE for 1025 bits, signed raw: OpenSSL verifies it.
    const uint8_t salt[10] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    MemFile em;
    ASSERT_EQ(RSAPrivateKey::kSuccess, RSAPrivateKey::emsaPssEncode(1025, digest, 32, em, 3, 0, 0, salt, 10));
    EXPECT_EQ(128, em.Size());
    ASSERT_EQ(RSAPrivateKey::kSuccess, k.signRaw(em.GetData(), 128, &rbg, out));
    EXPECT_TRUE(OpensslVerifies(digest, EVP_sha256(), Bytes(out), 10, pk));
    EXPECT_EQ(0, RSAPublicKey::emsaPssVerify(1025, em.GetData(), digest, 32, 3, 0, 3, 10));
    RSA_free(rsa);
    EVP_PKEY_free(pk);
}

TEST(KeysRsaPrivate, EmsaPssEncodingThatOpensslAccepts) {
    uint8_t digest[20];
    SHA1(reinterpret_cast<const unsigned char*>("em"), 2, digest);
    const uint8_t salt[20] = {1, 2, 3};
    MemFile em;
    ASSERT_EQ(RSAPrivateKey::kSuccess, RSAPrivateKey::emsaPssEncode(1024, digest, 20, em, 1, 0, 0, salt, 20));
    ASSERT_EQ(128, em.Size());
    EXPECT_EQ(1, RSA_verify_PKCS1_PSS_mgf1(Key(), digest, EVP_sha1(), EVP_sha1(), em.GetData(), 20));
    EXPECT_EQ(0, RSAPublicKey::emsaPssVerify(1024, em.GetData(), digest, 20, 1, 0, 1, 20));
    // MGF1 over another hash, and no salt at all.
    ASSERT_EQ(RSAPrivateKey::kSuccess, RSAPrivateKey::emsaPssEncode(1024, digest, 20, em, 1, 0, 3, nullptr, 0));
    EXPECT_EQ(1, RSA_verify_PKCS1_PSS_mgf1(Key(), digest, EVP_sha1(), EVP_sha256(), em.GetData(), 0));
    // A random salt of the digest length (-1).
    CountingRbg rbg;
    ASSERT_EQ(RSAPrivateKey::kSuccess,
              RSAPrivateKey::emsaPssEncodeRandomSalt(1024, digest, 20, em, 1, 0, 0, &rbg, -1));
    EXPECT_EQ(20u, rbg.drawn);
    EXPECT_EQ(1, RSA_verify_PKCS1_PSS_mgf1(Key(), digest, EVP_sha1(), EVP_sha1(), em.GetData(), 20));
    // Refusals.
    EXPECT_EQ(RSAPrivateKey::kBadArgument, RSAPrivateKey::emsaPssEncode(1024, digest, 20, em, 0, 0, 0, salt, 20));
    EXPECT_EQ(RSAPrivateKey::kBadArgument,
              RSAPrivateKey::emsaPssEncode(1024, digest, 20, em, 1, 0xFFFFFFFFu, 0, salt, 20));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, RSAPrivateKey::emsaPssEncode(0, digest, 20, em, 1, 0, 0, salt, 20));
    EXPECT_EQ(RSAPrivateKey::kBadArgument, RSAPrivateKey::emsaPssEncode(200, digest, 20, em, 1, 0, 0, salt, 20));
    EXPECT_EQ(RSAPrivateKey::kBadArgument,
              RSAPrivateKey::emsaPssEncodeRandomSalt(1024, digest, 20, em, 1, 0, 0, nullptr, 20));
    CountingRbg failing(true);
    EXPECT_EQ(RSAPrivateKey::kRbgFailure,
              RSAPrivateKey::emsaPssEncodeRandomSalt(1024, digest, 20, em, 1, 0, 0, &failing, 20));
    EXPECT_EQ(RSAPrivateKey::kSuccess,
              RSAPrivateKey::emsaPssEncodeRandomSalt(1024, digest, 20, em, 1, 0, 0, nullptr, 0));
}
