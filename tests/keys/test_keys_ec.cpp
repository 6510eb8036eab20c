// EC domain parameters (named and explicit) and SEC 1 EC private keys: DER against
// OpenSSL, named curves found through the curve catalogue, ECDSA signatures made by
// OpenSSL verified here, and hostile encodings.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level EC_KEY structure is what is checked here
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include <vector>

#include "keys/dsakeys.h"
#include "keys/eckeys.h"

namespace {

std::vector<uint8_t> Enc(const ASNobject& o) {
    std::vector<uint8_t> v;
    EXPECT_GT(o.encodeToVector(v), 0);
    return v;
}

std::vector<uint8_t> GroupDer(int nid, bool explicitForm) {
    EC_GROUP* g = EC_GROUP_new_by_curve_name(nid);
    EXPECT_NE(nullptr, g);
    EC_GROUP_set_asn1_flag(g, explicitForm ? OPENSSL_EC_EXPLICIT_CURVE : OPENSSL_EC_NAMED_CURVE);
    unsigned char* o = nullptr;
    int n = i2d_ECPKParameters(g, &o);
    EXPECT_GT(n, 0);
    std::vector<uint8_t> v(o, o + n);
    OPENSSL_free(o);
    EC_GROUP_free(g);
    return v;
}

}  // namespace

TEST(KeysEcDomain, NamedAndExplicitParametersMatchOpenssl) {
    const struct {
        int nid;
        unsigned bits;
    } curves[] = {{NID_X9_62_prime256v1, 256}, {NID_secp384r1, 384}, {NID_brainpoolP256r1, 256},
                  {NID_sect283k1, 283}, {NID_secp256k1, 256}};
    for (const auto& c : curves) {
        SCOPED_TRACE(OBJ_nid2sn(c.nid));
        std::vector<uint8_t> named = GroupDer(c.nid, false);
        ECDomainParameters d(0);
        ASSERT_EQ(static_cast<long>(named.size()), d.readVector(named));
        EXPECT_EQ(ECDomainParameters::kNamedCurve, d.getType());
        EXPECT_EQ(c.bits, d.getFieldSizeBits());
        EXPECT_EQ(named, Enc(d));

        std::vector<uint8_t> expl = GroupDer(c.nid, true);
        ECDomainParameters e(0);
        ASSERT_EQ(static_cast<long>(expl.size()), e.readVector(expl));
        EXPECT_EQ(ECDomainParameters::kSpecified, e.getType());
        EXPECT_EQ(c.bits, e.getFieldSizeBits());
        std::vector<uint8_t> back = Enc(e);
        EXPECT_EQ(expl, back);
        const unsigned char* p = back.data();
        EC_GROUP* g = d2i_ECPKParameters(nullptr, &p, static_cast<long>(back.size()));
        ASSERT_NE(nullptr, g);
        EC_GROUP_free(g);
    }
    // implicitCA is a NULL.
    ECDomainParameters imp(0);
    ASSERT_EQ(2, imp.readVector(std::vector<uint8_t>{0x05, 0x00}));
    EXPECT_EQ(ECDomainParameters::kImplicitCA, imp.getType());
    EXPECT_EQ(0u, imp.getFieldSizeBits());
}

TEST(KeysEcDomain, UnknownNamedCurveHasNoSizeAndHostileDerIsRefused) {
    ECDomainParameters d(0);
    // 1.2.3.4 names no curve.
    ASSERT_EQ(5, d.readVector(std::vector<uint8_t>{0x06, 0x03, 0x2A, 0x03, 0x04}));
    EXPECT_EQ(0u, d.getFieldSizeBits());
    EXPECT_LE(d.readVector(std::vector<uint8_t>{0x02, 0x01, 0x01}), 0);     // no alternative
    EXPECT_LE(d.readVector(std::vector<uint8_t>{0x06, 0x05, 0x2A, 0x03}), 0);  // cut
    EXPECT_LE(d.readVector(std::vector<uint8_t>{0x05, 0x01, 0x00}), 0);     // NULL with content
}

TEST(KeysEcPrivate, Sec1EncodingMatchesOpensslAndItsSignatureVerifies) {
    const int nids[] = {NID_X9_62_prime256v1, NID_brainpoolP256r1};
    for (int nid : nids) {
        SCOPED_TRACE(OBJ_nid2sn(nid));
        EC_KEY* k = EC_KEY_new_by_curve_name(nid);
        ASSERT_EQ(1, EC_KEY_generate_key(k));
        unsigned char* o = nullptr;
        int n = i2d_ECPrivateKey(k, &o);
        ASSERT_GT(n, 0);
        std::vector<uint8_t> der(o, o + n);
        OPENSSL_free(o);

        ECPrivateKey priv(48);
        ASSERT_EQ(n, priv.readVector(der));
        EXPECT_TRUE(priv.hasDomainParameters());
        EXPECT_EQ(1, priv.wasPublicKey);
        EXPECT_EQ(der, Enc(priv));

        // The public point of the private key verifies an OpenSSL signature.
        uint8_t digest[32];
        SHA256(reinterpret_cast<const unsigned char*>("ec"), 2, digest);
        ECDSA_SIG* s = ECDSA_do_sign(digest, 32, k);
        ASSERT_NE(nullptr, s);
        unsigned char* so = nullptr;
        int sn = i2d_ECDSA_SIG(s, &so);
        std::vector<uint8_t> sder(so, so + sn);
        OPENSSL_free(so);
        ECDSA_SIG_free(s);
        DSASignature sig(48);
        ASSERT_EQ(sn, sig.readVector(sder));

        std::vector<uint8_t> point(EC_POINT_point2oct(EC_KEY_get0_group(k), EC_KEY_get0_public_key(k),
                                                      POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr));
        EC_POINT_point2oct(EC_KEY_get0_group(k), EC_KEY_get0_public_key(k), POINT_CONVERSION_UNCOMPRESSED,
                           point.data(), point.size(), nullptr);
        ECPublicKey pub(0);
        ASSERT_EQ(1, pub.setPoint(point.data(), static_cast<long>(point.size()), 0));
        EXPECT_EQ(256u, pub.getSizeBits());
        EXPECT_EQ(256u, pub.getKeySizeBits());
        EXPECT_EQ(256u, priv.getKeySizeBits());
        EXPECT_EQ(32u, priv.getPrivateKeyLength());
        ASNoctstr fromPriv(0), fromPub(0);
        ASSERT_EQ(1, priv.getPublicPoint(fromPriv));
        ASSERT_EQ(1, pub.getPoint(fromPub));
        EXPECT_EQ(point, std::vector<uint8_t>(fromPriv.getData(), fromPriv.getData() + fromPriv.getValueLength()));
        EXPECT_TRUE(fromPriv == fromPub);
        ASSERT_EQ(1, pub.bindDomain(priv.getDomainParameters()));
        ASNobjectId ecdsaSha256;
        ASSERT_EQ(1, ecdsaSha256.setText("1.2.840.10045.4.3.2"));
        EXPECT_EQ(1, pub.verify(digest, 32, ecdsaSha256, sig));
        digest[0] ^= 1;
        EXPECT_NE(1, pub.verify(digest, 32, ecdsaSha256, sig));
        EC_KEY_free(k);
    }
}

TEST(KeysEcPrivate, HostileEncodingsAreRefused) {
    ECPrivateKey k(48);
    // Version 1, a 1-octet key, then [1] before [0].
    std::vector<uint8_t> order = {0x30, 0x0F, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07, 0xA1, 0x03, 0x03, 0x01, 0x00,
                                  0xA0, 0x02, 0x05, 0x00};
    order[1] = static_cast<uint8_t>(order.size() - 2);
    EXPECT_LE(k.readVector(order), 0);
    // Private key missing.
    EXPECT_LE(k.readVector(std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x01}), 0);
    // Length past the data.
    EXPECT_LE(k.readVector(std::vector<uint8_t>{0x30, 0x20, 0x02, 0x01, 0x01, 0x04, 0x01}), 0);
    // Trailing element after the public key.
    std::vector<uint8_t> extra = {0x30, 0x0D, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07, 0xA1, 0x03, 0x03, 0x01, 0x00,
                                  0x02, 0x01, 0x00};
    extra[1] = static_cast<uint8_t>(extra.size() - 2);
    EXPECT_LE(k.readVector(extra), 0);
}

TEST(KeysEcPublic, KeySizeFromTheEncodingAlone) {
    ECPublicKey k(0);
    std::vector<uint8_t> compressed(33, 0x11);
    compressed[0] = 0x02;
    ASSERT_EQ(1, k.setPoint(compressed.data(), 33, 0));
    EXPECT_EQ(256u, k.getKeySizeBits());
    EXPECT_EQ(32u, k.getKeySizeBytes());
    std::vector<uint8_t> hybrid(97, 0x22);
    hybrid[0] = 0x07;
    ASSERT_EQ(1, k.setPoint(hybrid.data(), 97, 0));
    EXPECT_EQ(384u, k.getKeySizeBits());
    std::vector<uint8_t> odd = {0x05, 0x01, 0x02};
    ASSERT_EQ(1, k.setPoint(odd.data(), 3, 0));
    EXPECT_EQ(0u, k.getKeySizeBits());
    ECPublicKey empty(0);
    EXPECT_EQ(0u, empty.getKeySizeBits());
    ASNoctstr out(0);
    EXPECT_EQ(0, empty.getPoint(out));
    ASSERT_EQ(1, k.setPoint(odd.data(), 3, 1));
    EXPECT_EQ(0, k.getPoint(out));  // unused bits in a point encoding

    // A private key without parameters or public key counts its own octets.
    ECPrivateKey priv(48);
    std::vector<uint8_t> bare = {0x30, 0x08, 0x02, 0x01, 0x01, 0x04, 0x03, 0x01, 0x02, 0x03};
    ASSERT_EQ(10, priv.readVector(bare));
    EXPECT_EQ(24u, priv.getKeySizeBits());
    EXPECT_EQ(0, priv.getPublicPoint(out));
}

TEST(KeysEcDomain, NamedChoiceKeyDomainAndEquality) {
    ASNobjectId p256, p384;
    ASSERT_EQ(1, p256.setText("1.2.840.10045.3.1.7"));
    ASSERT_EQ(1, p384.setText("1.3.132.0.34"));
    ECDomainParameters d(0);
    d.setNamed(p256);
    EXPECT_EQ(ECDomainParameters::kNamedCurve, d.getType());
    EXPECT_EQ(GroupDer(NID_X9_62_prime256v1, false), Enc(d));
    EXPECT_NE(nullptr, d.getKeyDomain());
    EXPECT_TRUE(d.equalsNamed(p256));
    EXPECT_FALSE(d.equalsNamed(p384));

    ECDomainParameters e(0);
    std::vector<uint8_t> expl = GroupDer(NID_X9_62_prime256v1, true);
    ASSERT_GT(e.readVector(expl), 0);
    EXPECT_EQ(nullptr, e.getKeyDomain());
    EXPECT_TRUE(e.equalsNamed(p256));
    EXPECT_FALSE(e.equalsNamed(p384));

    d.setImplicitCA();
    EXPECT_EQ(ECDomainParameters::kImplicitCA, d.getType());
    EXPECT_EQ(nullptr, d.getKeyDomain());
    EXPECT_FALSE(d.equalsNamed(p384));
    ECDomainParameters copy(0);
    copy = e;
    EXPECT_EQ(ECDomainParameters::kSpecified, copy.getType());
    EXPECT_EQ(expl, Enc(copy));
}
