// SEC 1 EC private keys and EC public points: DER against OpenSSL both ways for
// named and explicit prime and binary curves, ECDSA signatures made here verified by
// OpenSSL and OpenSSL's verified here, the private value at the field's length,
// result codes, library conversions and hostile encodings.
#include "ec_test_util.h"

#include <openssl/sha.h>

#include <cstring>

#include <vector>

#include "keys/ecnamedcurves.h"
#include "keys/ecprvkey.h"
#include "keys/ecpubkey.h"
#include "keys/oidconst2.h"

using namespace keystest;
using namespace ectest;

namespace {

std::vector<uint8_t> Digest(const char* text, unsigned hashId = 3) {
    std::vector<uint8_t> d(hashId == 1 ? 20 : 32);
    if (hashId == 1)
        SHA1(reinterpret_cast<const unsigned char*>(text), std::strlen(text), d.data());
    else
        SHA256(reinterpret_cast<const unsigned char*>(text), std::strlen(text), d.data());
    return d;
}

ASNoctstr Octets(const std::vector<uint8_t>& v) {
    ASNoctstr o(0);
    EXPECT_EQ(1, o.set(v.data(), static_cast<long>(v.size())));
    return o;
}

std::vector<uint8_t> OctetsOf(const ASNoctstr& o) {
    return std::vector<uint8_t>(o.getData(), o.getData() + o.getValueLength());
}

const ASNobjectId& EcdsaSha256() {
    static ASNobjectId oid;
    static bool set = oid.setText("1.2.840.10045.4.3.2") == 1;
    EXPECT_TRUE(set);
    return oid;
}

}  // namespace

// For each curve, with its parameters named and explicit: OpenSSL's key decodes and
// re-encodes the same, its public point is what we compute, its signature verifies
// here, ours verifies in OpenSSL, and a key built here is one OpenSSL accepts.
TEST(KeysEcPrivate, KeysAndSignaturesBothWaysWithOpenssl) {
    const int nids[] = {NID_X9_62_prime256v1, NID_brainpoolP256r1, NID_secp384r1, NID_sect233k1, NID_sect283r1,
                        NID_X9_62_c2pnb163v1};
    std::unique_ptr<QvRbg> rbg = Rbg(7);
    for (int nid : nids) {
        for (bool explicitForm : {false, true}) {
            SCOPED_TRACE(std::string(OBJ_nid2sn(nid)) + (explicitForm ? " explicit" : " named"));
            EC_KEY* k = NewKey(nid, explicitForm);
            std::vector<uint8_t> der = KeyDer(k);
            ECPrivateKey priv(0x30);
            ASSERT_EQ(static_cast<long>(der.size()), priv.readVector(der));
            ASSERT_TRUE(priv.hasDomainParameters());
            ASSERT_TRUE(priv.hasPublicKey());
            EXPECT_EQ(explicitForm ? ECDomainParameters::kSpecified : ECDomainParameters::kNamedCurve,
                      priv.getDomainParameters().getType());
            EXPECT_EQ(der, Enc(priv));
            EXPECT_EQ(static_cast<unsigned>(EC_GROUP_get_degree(EC_KEY_get0_group(k))), priv.getKeySizeBits());

            // The public point, computed from x alone.
            ECPrivateKey bare(priv);
            bare.publicKeyPresent = false;
            ASNoctstr point(0);
            ASSERT_EQ(1, bare.getPublicKeyOctets(point, nullptr));
            EXPECT_EQ(PointOf(k), OctetsOf(point));

            // OpenSSL's signature verifies over the point and the key's parameters.
            std::vector<uint8_t> digest = Digest("ec both ways");
            DSASignature theirs = OpensslSign(k, digest.data(), 32);
            ECPublicKey pub(0);
            ASSERT_EQ(1, pub.set(point, &priv.getDomainParameters()));
            EXPECT_EQ(ECPublicKey::kValid, pub.verifyWithHash(digest.data(), 32, 3, theirs));
            EXPECT_EQ(ECPublicKey::kValid, pub.verify(digest.data(), 32, EcdsaSha256(), theirs));
            std::vector<uint8_t> other = Digest("something else");
            EXPECT_EQ(ECPublicKey::kInvalid, pub.verify(other.data(), 32, theirs));

            // Ours verifies in OpenSSL and here.
            DSASignature ours(0x30);
            ASSERT_EQ(ECPrivateKey::kSigned, priv.signWithHash(digest.data(), 32, 3, rbg.get(), ours));
            EXPECT_TRUE(OpensslVerifies(k, digest.data(), 32, ours));
            EXPECT_EQ(ECPublicKey::kValid, pub.verify(digest.data(), 32, ours));

            // A key built here from x and the parameters is OpenSSL's key.
            ECPrivateKey built(0x30);
            std::vector<uint8_t> x = PrivOf(k);
            ASSERT_EQ(1, built.setPrivateKey(x.data(), static_cast<unsigned>(x.size()), &priv.getDomainParameters()));
            std::vector<uint8_t> builtDer = Enc(built);
            // x is written at the field's length, OpenSSL writes it at the order's:
            // the two differ for sect233k1 (233-bit field, 232-bit order).
            const EC_GROUP* g = EC_KEY_get0_group(k);
            if ((EC_GROUP_get_degree(g) + 7) / 8 == (EC_GROUP_order_bits(g) + 7) / 8) {
                EXPECT_EQ(der, builtDer);
            } else {
                EXPECT_EQ(Enc(priv.parameters), Enc(built.parameters));
                EXPECT_EQ(Enc(priv.publicKey), Enc(built.publicKey));
                EXPECT_EQ(priv.getPrivateKeyLength() + 1, built.getPrivateKeyLength());
            }
            const unsigned char* p = builtDer.data();
            EC_KEY* back = d2i_ECPrivateKey(nullptr, &p, static_cast<long>(builtDer.size()));
            ASSERT_NE(nullptr, back);
            EXPECT_EQ(1, EC_KEY_check_key(back));
            EXPECT_EQ(0, BN_cmp(EC_KEY_get0_private_key(back), EC_KEY_get0_private_key(k)));
            EC_KEY_free(back);
            EC_KEY_free(k);
        }
    }
}

TEST(KeysEcPrivate, PrivateValueIsStoredAtTheFieldLength) {
    ECDomainParameters p256(0x30);
    p256.setNamed(oid2::secp256r1());
    std::vector<uint8_t> x31(31, 0x5A);
    ECPrivateKey k(0x30);
    ASSERT_EQ(1, k.setPrivateKey(x31.data(), 31, &p256));
    ASSERT_EQ(32u, k.getPrivateKeyLength());
    EXPECT_EQ(0, k.privateKey.getData()[0]);
    EXPECT_TRUE(k.hasPublicKey());
    EXPECT_EQ(0x04, k.getPublicKey().getBits()[0]);  // computed points are written uncompressed
    std::vector<uint8_t> x33(33, 0x5A);
    x33[0] = 0;
    ASSERT_EQ(1, k.setPrivateKey(x33.data(), 33, &p256));
    EXPECT_EQ(32u, k.getPrivateKeyLength());
    x33[0] = 1;
    EXPECT_EQ(0, k.setPrivateKey(x33.data(), 33, &p256));

    // A new value drops the public key of the old one.
    ECPrivateKey a(0x30), b(0x30);
    std::vector<uint8_t> xa(32, 0x11), xb(32, 0x22);
    ASSERT_EQ(1, a.setPrivateKey(xa.data(), 32, &p256));
    ASSERT_EQ(1, b.setPrivateKey(xb.data(), 32, &p256));
    ASSERT_EQ(1, a.setPrivateKey(xb.data(), 32, &p256));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(Enc(a), Enc(b));

    // Without a domain the value is kept as given and parameters and point go.
    ASSERT_EQ(1, a.setPrivateKey(Octets(x31)));
    EXPECT_EQ(31u, a.getPrivateKeyLength());
    EXPECT_FALSE(a.hasDomainParameters());
    EXPECT_FALSE(a.hasPublicKey());
    EXPECT_EQ(8u * 31, a.getKeySizeBits());
    ECPublicKey none(0);
    EXPECT_EQ(0, a.computePublicKey(none, nullptr));
    ASSERT_EQ(1, a.computePublicKey(none, &p256));
    EXPECT_EQ(65, none.getByteLength());
}

TEST(KeysEcPrivate, SigningResultsAndTheDomainInUse) {
    std::unique_ptr<QvRbg> rbg = Rbg(11);
    std::vector<uint8_t> digest = Digest("results");
    DSASignature sig(0x30);
    ASNbitstr bits(0);

    ECPrivateKey bare(0x30);
    std::vector<uint8_t> x(32, 0x33);
    ASSERT_EQ(1, bare.setPrivateKey(Octets(x)));
    EXPECT_EQ(ECPrivateKey::kNoDomain, bare.sign(digest.data(), 32, rbg.get(), sig));

    // An explicit domain given for one signature stays in use.
    ECSpecifiedDomain p256(0x30);
    ASSERT_EQ(1, EcNamedCurveTable::toSpecifiedDomain(p256, "prime256v1"));
    ASSERT_EQ(ECPrivateKey::kSigned, bare.signWithDomain(p256, digest.data(), 32, rbg.get(), sig));
    ASSERT_EQ(ECPrivateKey::kSigned, bare.sign(digest.data(), 32, rbg.get(), sig));
    // A generator serves one signature only.
    EXPECT_EQ(ECPrivateKey::kKeyFailure, bare.sign(digest.data(), 32, nullptr, sig));
    ECDomainParameters named(0x30);
    named.setNamed(oid2::secp256r1());
    ECPublicKey pub(0);
    ASNoctstr point(0);
    ASSERT_EQ(1, bare.getPublicKeyOctets(point, &named));
    ASSERT_EQ(1, pub.set(point, &named));
    EXPECT_EQ(ECPublicKey::kValid, pub.verify(digest.data(), 32, sig));
    ASSERT_EQ(ECPrivateKey::kSigned, bare.signToBitString(digest.data(), 32, rbg.get(), bits));
    DSASignature fromBits(0x30);
    ASSERT_GT(fromBits.readBuffer(bits.getBits(), bits.getByteLength()), 0);
    EXPECT_EQ(ECPublicKey::kValid, pub.verify(digest.data(), 32, fromBits));
    // A new private value forgets it.
    ASSERT_EQ(1, bare.setPrivateKey(Octets(x)));
    EXPECT_EQ(ECPrivateKey::kNoDomain, bare.sign(digest.data(), 32, rbg.get(), sig));

    // A domain of no known field type builds nothing; one whose curve does not
    // build cannot even be copied.
    ECSpecifiedDomain unknownField(p256);
    unknownField.fieldID.type.setText("1.2.3.4");
    unknownField.buildKeyDomain();
    EXPECT_EQ(ECPrivateKey::kDomainNotBuilt, bare.signWithDomain(unknownField, digest.data(), 32, rbg.get(), sig));
    EXPECT_EQ(ECPrivateKey::kDomainNotBuilt,
              bare.signWithDomainToBitStringAndHash(unknownField, digest.data(), 32, 3, rbg.get(), bits));
    ECSpecifiedDomain broken(p256);
    uint8_t junk[] = {0x04, 1, 2};
    broken.base.set(junk, 3);
    broken.buildKeyDomain();
    EXPECT_EQ(ECPrivateKey::kNotStored, bare.signWithDomain(broken, digest.data(), 32, rbg.get(), sig));

    // Digest length against the hash, no generator, a zero private value.
    ECPrivateKey k(0x30);
    ASSERT_EQ(1, k.setPrivateKey(x.data(), 32, &named));
    EXPECT_EQ(ECPrivateKey::kBadDigestLength, k.signWithHash(digest.data(), 20, 3, rbg.get(), sig));
    EXPECT_EQ(ECPrivateKey::kBadDigestLength, k.signToBitStringWithHash(digest.data(), 32, 1, rbg.get(), bits));
    EXPECT_EQ(ECPrivateKey::kKeyFailure, k.sign(digest.data(), 32, nullptr, sig));
    std::vector<uint8_t> zero(32, 0);
    ASSERT_EQ(1, k.setPrivateKey(zero.data(), 32, &named));
    EXPECT_EQ(ECPrivateKey::kKeyFailure, k.sign(digest.data(), 32, rbg.get(), sig));

    // Signatures over an object's DER, checked by the public key over the same object.
    ASSERT_EQ(1, k.setPrivateKey(x.data(), 32, &named));
    ASSERT_EQ(ECPrivateKey::kSigned, k.signObject(&p256, 1, rbg.get(), sig));
    EXPECT_EQ(ECPublicKey::kValid, pub.verifyObject(p256, 1, sig));
    ASSERT_EQ(ECPrivateKey::kSigned, k.signObjectWithDomainToBitString(p256, &p256, 3, rbg.get(), bits));
    ASSERT_GT(fromBits.readBuffer(bits.getBits(), bits.getByteLength()), 0);
    EXPECT_EQ(ECPublicKey::kValid, pub.verify(&p256, EcdsaSha256(), fromBits));
    std::vector<uint8_t> der = Enc(p256);
    EXPECT_EQ(ECPublicKey::kValid, pub.verifyData(der.data(), static_cast<unsigned>(der.size()), 3, fromBits));
}

TEST(KeysEcPublic, VerificationResults) {
    std::vector<uint8_t> digest = Digest("verification");
    EC_KEY* k = NewKey(NID_X9_62_prime256v1, false);
    DSASignature sig = OpensslSign(k, digest.data(), 32);
    ECDomainParameters named(0x30);
    named.setNamed(oid2::secp256r1());
    ECPublicKey pub(0);
    ASSERT_EQ(1, pub.set(PointOf(k).data(), static_cast<long>(PointOf(k).size()), 0));
    EXPECT_EQ(ECPublicKey::kNoDomain, pub.verify(digest.data(), 32, sig));
    ASSERT_EQ(1, pub.setDomain(named));
    EXPECT_EQ(ECPublicKey::kBadInput, pub.verifyWithHash(digest.data(), 20, 3, sig));
    EXPECT_EQ(ECPublicKey::kUnknownAlgorithm, pub.verify(digest.data(), 32, oid2::secp256r1(), sig));
    EXPECT_EQ(ECPublicKey::kUnknownAlgorithm, pub.verifyData(digest.data(), 32, 9, sig));
    EXPECT_EQ(ECPublicKey::kValid, pub.verifyDigest(digest.data(), 32, EcdsaSha256(), sig));
    // The compressed point is the same key.
    ECPublicKey compressed(0);
    std::vector<uint8_t> c = PointOf(k, POINT_CONVERSION_COMPRESSED);
    ASSERT_EQ(1, compressed.set(Octets(c), &named));
    EXPECT_EQ(ECPublicKey::kValid, compressed.verify(digest.data(), 32, sig));
    // A point off the curve, an empty one, and a decoded key without domain.
    std::vector<uint8_t> off = PointOf(k);
    off.back() ^= 1;
    ECPublicKey bad(0);
    ASSERT_EQ(1, bad.set(Octets(off), &named));
    EXPECT_EQ(ECPublicKey::kBadInput, bad.verify(digest.data(), 32, sig));
    ECPublicKey empty(0);
    ASSERT_EQ(1, empty.setDomain(named));
    EXPECT_EQ(ECPublicKey::kBadInput, empty.verify(digest.data(), 32, sig));
    ECPublicKey decoded(0);
    ASSERT_GT(decoded.readVector(Enc(pub)), 0);
    EXPECT_EQ(ECPublicKey::kNoDomain, decoded.verify(digest.data(), 32, sig));
    // A changed point after a verification is used by the next one.
    ASSERT_EQ(ECPublicKey::kValid, pub.verify(digest.data(), 32, sig));
    ASSERT_EQ(1, pub.set(off.data(), static_cast<long>(off.size()), 0));
    EXPECT_EQ(ECPublicKey::kBadInput, pub.verify(digest.data(), 32, sig));
    // r or s far longer than the order.
    ASSERT_EQ(1, pub.set(Octets(PointOf(k)), &named));
    DSASignature longR(sig);
    std::vector<uint8_t> big(80, 0x7F);
    longR.r.setUnsigned(big.data(), 80);
    EXPECT_EQ(ECPublicKey::kInvalid, pub.verify(digest.data(), 32, longR));
    // Unknown curves and implicitCA give no domain.
    ECDomainParameters unknown(0x30);
    ASNobjectId o;
    o.setText("1.2.3.4");
    unknown.setNamed(o);
    EXPECT_EQ(0, pub.setDomain(unknown));
    unknown.setImplicitCA();
    EXPECT_EQ(0, pub.setDomain(unknown));
    EXPECT_EQ(ECPublicKey::kNoDomain, pub.verify(digest.data(), 32, sig));
    EC_KEY_free(k);
}

TEST(KeysEcPrivate, ConversionsWithLibraryKeys) {
    EC_KEY* k = NewKey(NID_sect233k1, true);
    ECPrivateKey priv(0x30);
    ASSERT_GT(priv.readVector(KeyDer(k)), 0);
    QvGeneralDsaPublicKey lib;
    ASSERT_EQ(1, priv.exportPublicKey(lib));
    EXPECT_TRUE(lib.isReady());
    ECPublicKey pub(0);
    ASSERT_EQ(1, pub.setFromQvKey(lib));
    ASNoctstr point(0);
    ASSERT_EQ(1, pub.getPoint(point));
    EXPECT_EQ(PointOf(k), OctetsOf(point));
    QvGeneralDsaPublicKey again;
    again.setDomain(priv.getDomainParameters().getKeyDomain());
    EXPECT_EQ(0, pub.loadInto(again));
    ECPublicKey emptyPoint(0);
    EXPECT_EQ(2, emptyPoint.loadInto(again));

    QvGeneralDsaPrivateKey libPriv;
    libPriv.set(PrivOf(k).data(), static_cast<unsigned>(PrivOf(k).size()));
    ECPrivateKey fromLib(0x30);
    ASSERT_EQ(1, fromLib.setFromQvKey(libPriv));
    EXPECT_FALSE(fromLib.hasDomainParameters());
    ASNoctstr computed(0);
    ASSERT_EQ(1, fromLib.getPublicKeyOctets(computed, &priv.getDomainParameters()));
    EXPECT_EQ(PointOf(k), OctetsOf(computed));
    EC_KEY_free(k);
}

TEST(KeysEcPrivate, HostileEncodingsAreRefused) {
    ECPrivateKey k(0x30);
    // Version 1, a 1-octet key, then [1] before [0]: accepted in either order.
    std::vector<uint8_t> order = {0x30, 0x0F, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07, 0xA1, 0x03, 0x03, 0x01, 0x00,
                                  0xA0, 0x02, 0x05, 0x00};
    order[1] = static_cast<uint8_t>(order.size() - 2);
    EXPECT_EQ(static_cast<long>(order.size()), k.readVector(order));
    EXPECT_TRUE(k.hasDomainParameters() && k.hasPublicKey());
    // Two [0] elements, a [2] element, a universal element.
    std::vector<uint8_t> twice = {0x30, 0x0C, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07,
                                  0xA0, 0x02, 0x05, 0x00, 0xA0, 0x02, 0x05, 0x00};
    twice[1] = static_cast<uint8_t>(twice.size() - 2);
    EXPECT_EQ(0, k.readVector(twice));
    std::vector<uint8_t> two = {0x30, 0x0A, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07, 0xA2, 0x02, 0x05, 0x00};
    EXPECT_EQ(0, k.readVector(two));
    std::vector<uint8_t> extra = {0x30, 0x0D, 0x02, 0x01, 0x01, 0x04, 0x01, 0x07, 0xA1, 0x03, 0x03, 0x01, 0x00,
                                  0x02, 0x01, 0x00};
    extra[1] = static_cast<uint8_t>(extra.size() - 2);
    EXPECT_EQ(0, k.readVector(extra));
    // Private key missing; length past the data.
    EXPECT_LE(k.readVector(std::vector<uint8_t>{0x30, 0x03, 0x02, 0x01, 0x01}), 0);
    EXPECT_LE(k.readVector(std::vector<uint8_t>{0x30, 0x20, 0x02, 0x01, 0x01, 0x04, 0x01}), 0);
    // Explicit parameters whose curve does not build.
    EC_KEY* ek = NewKey(NID_X9_62_prime256v1, true);
    std::vector<uint8_t> der = KeyDer(ek);
    EC_KEY_free(ek);
    ASSERT_GT(k.readVector(der), 0);
    for (size_t i = 0; i < der.size(); i++) {
        std::vector<uint8_t> bad = der;
        bad[i] ^= 0x10;
        ECPrivateKey b(0x30);
        if (b.readVector(bad) > 0 && b.hasDomainParameters() &&
            b.getDomainParameters().getType() == ECDomainParameters::kSpecified) {
            EXPECT_NE(nullptr, b.getDomainParameters().getKeyDomain()) << i;
        }
    }
}

TEST(KeysEcPublic, KeySizeFromTheEncodingAlone) {
    ECPublicKey k(0);
    std::vector<uint8_t> compressed(33, 0x11);
    compressed[0] = 0x02;
    ASSERT_EQ(1, k.set(compressed.data(), 33, 0));
    EXPECT_EQ(256u, k.getKeySizeBits());
    EXPECT_EQ(32u, k.getKeySizeBytes());
    std::vector<uint8_t> hybrid(97, 0x22);
    hybrid[0] = 0x07;
    ASSERT_EQ(1, k.set(hybrid.data(), 97, 0));
    EXPECT_EQ(384u, k.getKeySizeBits());
    std::vector<uint8_t> odd = {0x05, 0x01, 0x02};
    ASSERT_EQ(1, k.set(odd.data(), 3, 0));
    EXPECT_EQ(0u, k.getKeySizeBits());
    ECPublicKey empty(0);
    EXPECT_EQ(0u, empty.getKeySizeBits());
    ASNoctstr out(0);
    EXPECT_EQ(0, empty.getPoint(out));
    ASSERT_EQ(1, k.set(odd.data(), 3, 1));
    EXPECT_EQ(0, k.getPoint(out));  // unused bits in a point encoding

    // A private key without parameters or public key counts its own octets.
    ECPrivateKey priv(0x30);
    std::vector<uint8_t> bare = {0x30, 0x08, 0x02, 0x01, 0x01, 0x04, 0x03, 0x00, 0x02, 0x03};
    ASSERT_EQ(10, priv.readVector(bare));
    EXPECT_EQ(24u, priv.getKeySizeBits());
    ECPublicKey none(0);
    EXPECT_EQ(0, priv.computePublicKey(none, nullptr));
}
