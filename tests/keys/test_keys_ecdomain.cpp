// EC domain parameters: named, explicit and implicitCA forms against OpenSSL, the
// explicit domain's setters, decoding that refuses what is no curve, field sizes,
// point-encoding equality, domain equality across forms, and copies.
#include "ec_test_util.h"

#include <new>
#include <vector>

#include "keys/ecdomain.h"
#include "keys/ecnamedcurves.h"
#include "keys/oidconst2.h"

using namespace keystest;
using namespace ectest;

namespace {

struct CurveParams {
    std::vector<uint8_t> p, a, b, g, n, h, seed;
};

// A curve's parameters from OpenSSL (a and b at the field's length).
CurveParams ParamsOf(int nid) {
    EC_GROUP* g = EC_GROUP_new_by_curve_name(nid);
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM *p = BN_new(), *a = BN_new(), *b = BN_new(), *n = BN_new(), *h = BN_new();
    EC_GROUP_get_curve(g, p, a, b, ctx);
    EC_GROUP_get_order(g, n, ctx);
    EC_GROUP_get_cofactor(g, h, ctx);
    const int fieldOctets = (EC_GROUP_get_degree(g) + 7) / 8;
    CurveParams c;
    c.p = Bn(p);
    c.a.resize(static_cast<size_t>(fieldOctets));
    c.b.resize(static_cast<size_t>(fieldOctets));
    BN_bn2binpad(a, c.a.data(), fieldOctets);
    BN_bn2binpad(b, c.b.data(), fieldOctets);
    c.g.resize(EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, ctx));
    EC_POINT_point2oct(g, EC_GROUP_get0_generator(g), POINT_CONVERSION_UNCOMPRESSED, c.g.data(), c.g.size(), ctx);
    c.n = Bn(n);
    c.h = Bn(h);
    if (EC_GROUP_get0_seed(g) != nullptr)
        c.seed.assign(EC_GROUP_get0_seed(g), EC_GROUP_get0_seed(g) + EC_GROUP_get_seed_len(g));
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(n);
    BN_free(h);
    BN_CTX_free(ctx);
    EC_GROUP_free(g);
    return c;
}

unsigned U(const std::vector<uint8_t>& v) { return static_cast<unsigned>(v.size()); }

// OpenSSL reads the DER as a group with the curve's parameters.
bool OpensslReadsAs(const std::vector<uint8_t>& der, int nid) {
    const unsigned char* p = der.data();
    EC_GROUP* ours = d2i_ECPKParameters(nullptr, &p, static_cast<long>(der.size()));
    if (ours == nullptr) return false;
    EC_GROUP* named = EC_GROUP_new_by_curve_name(nid);
    BN_CTX* ctx = BN_CTX_new();
    bool same = EC_GROUP_cmp(ours, named, ctx) == 0 && EC_GROUP_check(ours, ctx) == 1;
    BN_CTX_free(ctx);
    EC_GROUP_free(named);
    EC_GROUP_free(ours);
    return same;
}

ECSpecifiedDomain Sect233k1() {
    CurveParams c = ParamsOf(NID_sect233k1);
    ECSpecifiedDomain d(0x30);
    EXPECT_EQ(1, d.setTrinomial(233, 74, c.a.data(), U(c.a), c.b.data(), U(c.b), nullptr, 0, c.g.data(), U(c.g),
                                c.n.data(), U(c.n), c.h.data(), U(c.h), nullptr));
    return d;
}

// DER of a domain after a change of its members (written as they are).
template <typename Change>
std::vector<uint8_t> Altered(ECSpecifiedDomain d, Change change) {
    change(d);
    std::vector<uint8_t> v;
    EXPECT_GT(d.encodeToVector(v), 0);
    return v;
}

}  // namespace

TEST(KeysEcDomain, NamedAndExplicitParametersMatchOpenssl) {
    const struct {
        int nid;
        unsigned bits;
    } curves[] = {{NID_X9_62_prime256v1, 256}, {NID_secp384r1, 384}, {NID_brainpoolP256r1, 256},
                  {NID_sect283k1, 283}, {NID_sect233r1, 233}, {NID_X9_62_c2pnb163v1, 163}};
    for (const auto& c : curves) {
        SCOPED_TRACE(OBJ_nid2sn(c.nid));
        std::vector<uint8_t> named = GroupDer(c.nid, false);
        ECDomainParameters d(0x30);
        ASSERT_EQ(static_cast<long>(named.size()), d.readVector(named));
        EXPECT_EQ(ECDomainParameters::kNamedCurve, d.getType());
        EXPECT_EQ(c.bits, d.getFieldSizeBits());
        EXPECT_NE(nullptr, d.getKeyDomain());
        EXPECT_EQ(named, Enc(d));

        // OpenSSL's explicit form, seed included, decodes, builds and re-encodes the same.
        std::vector<uint8_t> expl = GroupDer(c.nid, true);
        ECDomainParameters e(0x30);
        ASSERT_EQ(static_cast<long>(expl.size()), e.readVector(expl));
        EXPECT_EQ(ECDomainParameters::kSpecified, e.getType());
        EXPECT_EQ(c.bits, e.getFieldSizeBits());
        ASSERT_NE(nullptr, e.getKeyDomain());
        EXPECT_EQ(expl, Enc(e));
        EXPECT_TRUE(OpensslReadsAs(Enc(e.specified), c.nid));
        EXPECT_TRUE(e == d);
        EXPECT_TRUE(d == e);
        EXPECT_TRUE(e.equalsNamed(d.named));
        EXPECT_TRUE(d.equalsSpecified(e.specified));
        // The base point compressed is the same curve.
        ECDomainParameters z(0x30);
        ASSERT_GT(z.readVector(GroupDer(c.nid, true, POINT_CONVERSION_COMPRESSED)), 0);
        EXPECT_TRUE(z == d);
        EXPECT_TRUE(z.equalsKeyDomain(e.getKeyDomain()));
    }
    // implicitCA is a NULL.
    ECDomainParameters imp(0x30);
    ASSERT_EQ(2, imp.readVector(std::vector<uint8_t>{0x05, 0x00}));
    EXPECT_EQ(ECDomainParameters::kImplicitCA, imp.getType());
    EXPECT_EQ(0u, imp.getFieldSizeBits());
    EXPECT_EQ(nullptr, imp.getKeyDomain());
}

TEST(KeysEcDomain, SettersWriteWhatOpensslReadsAsTheCurve) {
    // Prime field, with the seed and a hash identifier.
    CurveParams p256 = ParamsOf(NID_X9_62_prime256v1);
    ECSpecifiedDomain d(0x30);
    ASSERT_EQ(1, d.setPrime(p256.p.data(), U(p256.p), p256.a.data(), U(p256.a), p256.b.data(), U(p256.b),
                            p256.seed.data(), U(p256.seed), p256.g.data(), U(p256.g), p256.n.data(), U(p256.n),
                            p256.h.data(), U(p256.h), nullptr));
    EXPECT_TRUE(OpensslReadsAs(Enc(d), NID_X9_62_prime256v1));
    EXPECT_EQ(GroupDer(NID_X9_62_prime256v1, true), Enc(d));  // OpenSSL writes the very same octets
    EXPECT_TRUE(ecKeyDomainsEqual(d.getKeyDomain(), EcNamedCurveTable::getDomain(13)));
    EXPECT_EQ(256u, d.getFieldSizeBits());
    ECSpecifiedDomain withHash(0x30);
    ASSERT_EQ(1, withHash.setPrime(p256.p.data(), U(p256.p), p256.a.data(), U(p256.a), p256.b.data(), U(p256.b),
                                   nullptr, 0, p256.g.data(), U(p256.g), p256.n.data(), U(p256.n), nullptr, 0,
                                   "2.16.840.1.101.3.4.2.1"));
    EXPECT_FALSE(withHash.cofactorPresent);
    EXPECT_TRUE(withHash.hashPresent);
    ECSpecifiedDomain back(0x30);
    std::vector<uint8_t> der = Enc(withHash);
    ASSERT_EQ(static_cast<long>(der.size()), back.readVector(der));
    EXPECT_TRUE(back.hashPresent);
    EXPECT_EQ(der, Enc(back));  // the hash is written back
    EXPECT_FALSE(back == d);  // without the seed: not equal as structures...
    EXPECT_FALSE(back.curve == d.curve);
    EXPECT_TRUE(back.equalsKeyDomain(d.getKeyDomain()));  // ...but the same curve

    // Trinomial and pentanomial fields.
    ECSpecifiedDomain t = Sect233k1();
    EXPECT_TRUE(OpensslReadsAs(Enc(t), NID_sect233k1));
    EXPECT_EQ(233u, t.getFieldSizeBits());
    CurveParams k283 = ParamsOf(NID_sect283k1);
    ECSpecifiedDomain pp(0x30);
    ASSERT_EQ(1, pp.setPentanomial(283, 5, 7, 12, k283.a.data(), U(k283.a), k283.b.data(), U(k283.b), nullptr, 0,
                                   k283.g.data(), U(k283.g), k283.n.data(), U(k283.n), k283.h.data(), U(k283.h),
                                   nullptr));
    EXPECT_TRUE(OpensslReadsAs(Enc(pp), NID_sect283k1));
    EXPECT_TRUE(ecKeyDomainsEqual(pp.getKeyDomain(), EcNamedCurveTable::getDomain(28)));

    // A base point off the curve builds no key domain.
    std::vector<uint8_t> off = p256.g;
    off.back() ^= 1;
    EXPECT_EQ(0, d.setPrime(p256.p.data(), U(p256.p), p256.a.data(), U(p256.a), p256.b.data(), U(p256.b), nullptr,
                            0, off.data(), U(off), p256.n.data(), U(p256.n), nullptr, 0, nullptr));
    EXPECT_EQ(nullptr, d.getKeyDomain());
    // Exponents out of order are no pentanomial.
    EXPECT_EQ(0, pp.setPentanomial(283, 12, 7, 5, k283.a.data(), U(k283.a), k283.b.data(), U(k283.b), nullptr, 0,
                                   k283.g.data(), U(k283.g), k283.n.data(), U(k283.n), nullptr, 0, nullptr));
    // A copy of a domain left without key domain cannot be made.
    EXPECT_THROW(ECSpecifiedDomain copy(d), std::bad_alloc);
    ECDomainParameters holder(0x30);
    holder.specified.readVector(Enc(t));
    ASSERT_NE(nullptr, holder.getKeyDomain());
    EXPECT_THROW(holder.specified = d, std::bad_alloc);
}

TEST(KeysEcDomain, DecodingRefusesWhatIsNoCurve) {
    const ECSpecifiedDomain good = Sect233k1();
    ECSpecifiedDomain out(0x30);
    ASSERT_GT(out.readVector(Enc(good)), 0);
    // A field type other than the two X9.62 ones.
    EXPECT_EQ(0, out.readVector(Altered(good, [](ECSpecifiedDomain& d) { d.fieldID.type.setText("1.2.3.4"); })));
    // The Gaussian normal basis, and a trinomial basis with pentanomial parameters.
    auto withField = [&](void (*set)(ECE2NFileld&)) {
        return Altered(good, [set](ECSpecifiedDomain& d) {
            ECE2NFileld f(0x30);
            ASSERT_EQ(1, f.assign(d.fieldID.value));
            set(f);
            d.fieldID.value = f;
        });
    };
    EXPECT_EQ(0, out.readVector(withField([](ECE2NFileld& f) {
        f.basis = oid2::gnBasis();
        f.parameters.setChosenObject(&f.parameters.gaussian);
    })));
    EXPECT_EQ(0, out.readVector(withField([](ECE2NFileld& f) {
        f.parameters.pentanomial.k1.setValue(1);
        f.parameters.pentanomial.k2.setValue(2);
        f.parameters.pentanomial.k3.setValue(3);
        f.parameters.setChosenObject(&f.parameters.pentanomial);
    })));
    // A degree far beyond any curve, and an exponent beyond the degree.
    EXPECT_EQ(0, out.readVector(withField([](ECE2NFileld& f) { f.m.setValue(1u << 20); })));
    EXPECT_EQ(0, out.readVector(withField([](ECE2NFileld& f) { f.parameters.trinomial.setValue(300); })));
    // A prime far beyond any curve.
    EXPECT_EQ(0, out.readVector(Altered(good, [](ECSpecifiedDomain& d) {
                  std::vector<uint8_t> big(300, 0xFF);
                  ASNinteger p(0);
                  p.setUnsigned(big.data(), 300);
                  d.fieldID.type = oid2::prime_field();
                  d.fieldID.value = p;
              })));
    // Cofactor after the hash, a second hash, an element of another type.
    std::vector<uint8_t> body = Enc(good);
    auto appended = [&](std::vector<uint8_t> extra) {
        ECSpecifiedDomain d(good);
        d.cofactorPresent = false;
        std::vector<uint8_t> v = Enc(d);
        std::vector<uint8_t> inner(v.begin() + (v[1] & 0x80 ? 2 + (v[1] & 0x7F) : 2), v.end());
        inner.insert(inner.end(), extra.begin(), extra.end());
        std::vector<uint8_t> outer = {0x30, 0x82, static_cast<uint8_t>(inner.size() >> 8),
                                      static_cast<uint8_t>(inner.size())};
        outer.insert(outer.end(), inner.begin(), inner.end());
        return outer;
    };
    const std::vector<uint8_t> hash = {0x30, 0x0B, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    const std::vector<uint8_t> four = {0x02, 0x01, 0x04};
    std::vector<uint8_t> cofactorThenHash = four;
    cofactorThenHash.insert(cofactorThenHash.end(), hash.begin(), hash.end());
    EXPECT_GT(out.readVector(appended(cofactorThenHash)), 0);
    EXPECT_TRUE(out.cofactorPresent && out.hashPresent);
    std::vector<uint8_t> hashThenCofactor = hash;
    hashThenCofactor.insert(hashThenCofactor.end(), four.begin(), four.end());
    EXPECT_EQ(0, out.readVector(appended(hashThenCofactor)));
    std::vector<uint8_t> twoHashes = hash;
    twoHashes.insert(twoHashes.end(), hash.begin(), hash.end());
    EXPECT_EQ(0, out.readVector(appended(twoHashes)));
    EXPECT_EQ(0, out.readVector(appended({0x05, 0x00})));
    // A domain decoded after a refused one has its own key domain.
    ASSERT_GT(out.readVector(body), 0);
    EXPECT_NE(nullptr, out.getKeyDomain());
}

TEST(KeysEcDomain, FieldSizeFromWhatTheParametersTell) {
    ECDomainParameters d(0x30);
    // 1.2.3.4 names no curve.
    ASSERT_EQ(5, d.readVector(std::vector<uint8_t>{0x06, 0x03, 0x2A, 0x03, 0x04}));
    EXPECT_EQ(ECDomainParameters::kNamedCurve, d.getType());
    EXPECT_EQ(0u, d.getFieldSizeBits());
    EXPECT_EQ(nullptr, d.getKeyDomain());
    EXPECT_FALSE(d.equalsNamed(oid2::secp256r1()));
    // c2onb239v4 has no key domain but a size.
    d.setNamed(oid2::c2onb239v4());
    EXPECT_EQ(239u, d.getFieldSizeBits());
    EXPECT_EQ(30u, d.getFieldSizeBytes());
    EXPECT_EQ(nullptr, d.getKeyDomain());
    d.setImplicitCA();
    EXPECT_EQ(0u, d.getFieldSizeBits());
    EXPECT_FALSE(d == d);

    // Without a readable field, the order tells; without an order, the base point.
    ECSpecifiedDomain s = Sect233k1();
    s.fieldID.type.setText("1.2.3.4");
    EXPECT_EQ(232u, s.getFieldSizeBits());  // the order of sect233k1 has 232 bits
    s.order.clear();
    EXPECT_EQ(4 * 61u - 4, s.getFieldSizeBits());  // an uncompressed point of 61 octets
    const uint8_t compressed[] = {0x03, 1, 2, 3, 4};
    s.base.set(compressed, 5);
    EXPECT_EQ(32u, s.getFieldSizeBits());
    const uint8_t odd[] = {0x05, 1, 2};
    s.base.set(odd, 3);
    EXPECT_EQ(8u, s.getFieldSizeBits());  // 0x05 has the full-point bit
    const uint8_t none[] = {0x08, 1, 2};
    s.base.set(none, 3);
    EXPECT_EQ(0u, s.getFieldSizeBits());
}

TEST(KeysEcDomain, PointEncodingsEqualByTheirForms) {
    auto eq = [](std::vector<uint8_t> a, std::vector<uint8_t> b) {
        return ecPointEncodingsEqual(a.data(), static_cast<long>(a.size()), b.data(), static_cast<long>(b.size()));
    };
    EXPECT_TRUE(eq({}, {}));
    EXPECT_FALSE(eq({}, {0x00}));
    EXPECT_TRUE(eq({0x00}, {0x00}));
    EXPECT_FALSE(eq({0x00}, {0x02, 0x00}));
    EXPECT_FALSE(eq({0x02, 0x11}, {0x03, 0x11}));
    EXPECT_TRUE(eq({0x02, 0x11}, {0x02, 0x11}));
    EXPECT_TRUE(eq({0x06, 0x11, 0x22}, {0x04, 0x11, 0x22}));
    EXPECT_FALSE(eq({0x06, 0x11, 0x22}, {0x04, 0x11, 0x23}));
    EXPECT_TRUE(eq({0x07, 0x11, 0x22}, {0x03, 0x11}));
    EXPECT_FALSE(eq({0x07, 0x11, 0x22}, {0x02, 0x11}));
    EXPECT_TRUE(eq({0x04, 0x11, 0x22}, {0x02, 0x11}));  // an uncompressed point counts as even
    EXPECT_FALSE(eq({0x04, 0x11, 0x23}, {0x03, 0x11}));
    EXPECT_TRUE(eq({0x04, 0x11, 0x22}, {0x01, 0x11}));
    EXPECT_TRUE(eq({0x03, 0x11}, {0x01, 0x11}));
    EXPECT_FALSE(eq({0x03, 0x11}, {0x01, 0x12}));
    EXPECT_TRUE(eq({0x0F, 0x11, 0x22}, {0x0B, 0x11}));
    EXPECT_FALSE(eq({0x0B, 0x11}, {0x03, 0x11}));  // different families compare as octets
    EXPECT_FALSE(eq({0x04, 0x11, 0x22}, {0x04, 0x11, 0x22, 0x33}));
    EXPECT_FALSE(eq({0x02, 0x11, 0x22}, {0x02, 0x11}));
}

TEST(KeysEcDomain, CopiesKeepTheirOwnKeyDomain) {
    ECDomainParameters e(0x30);
    ASSERT_GT(e.readVector(GroupDer(NID_brainpoolP256r1, true)), 0);
    ECDomainParameters copy(e);
    ASSERT_NE(nullptr, copy.getKeyDomain());
    EXPECT_NE(e.getKeyDomain(), copy.getKeyDomain());
    EXPECT_TRUE(copy == e);
    ECDomainParameters assigned(0x30);
    assigned.setNamed(oid2::secp256r1());
    assigned = e;
    EXPECT_EQ(ECDomainParameters::kSpecified, assigned.getType());
    EXPECT_EQ(Enc(e), Enc(assigned));
    e.specified.clear();  // the copies do not depend on the original
    EXPECT_TRUE(assigned == copy);
    EXPECT_FALSE(e == copy);

    ECDomainParameters named(0x30);
    named.setNamed(oid2::brainpoolP256r1());
    EXPECT_TRUE(named == copy);
    EXPECT_FALSE(named.equalsNamed(oid2::brainpoolP256t1()));
    ECDomainParameters other(named);
    EXPECT_EQ(named.getKeyDomain(), other.getKeyDomain());  // the catalogue's object

    // A specified domain that does not build cannot be copied.
    ECDomainParameters broken(0x30);
    ASSERT_GT(broken.readVector(GroupDer(NID_secp384r1, true)), 0);
    uint8_t junk[] = {0x04, 1, 2, 3};
    broken.specified.base.set(junk, 4);
    broken.specified.buildKeyDomain();
    EXPECT_EQ(nullptr, broken.getKeyDomain());
    EXPECT_THROW(copy = broken, std::bad_alloc);
}

TEST(KeysEcDomain, EveryChangedOctetOfExplicitParametersIsHandled) {
    for (int nid : {NID_X9_62_prime256v1, NID_sect163k1}) {
        std::vector<uint8_t> der = GroupDer(nid, true);
        for (size_t i = 0; i < der.size(); i++) {
            std::vector<uint8_t> bad = der;
            bad[i] ^= 0x41;
            ECDomainParameters d(0x30);
            long r = d.readVector(bad);
            if (r > 0 && d.getType() == ECDomainParameters::kSpecified) {
                // Decoded: a key domain was built.
                EXPECT_NE(nullptr, d.getKeyDomain()) << i;
            }
        }
        for (size_t n = 0; n < der.size(); n++) {
            ECDomainParameters d(0x30);
            EXPECT_LE(d.readVector(std::vector<uint8_t>(der.begin(), der.begin() + static_cast<long>(n))), 0) << n;
        }
    }
}
