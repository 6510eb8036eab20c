#include "curves_p_support.h"

#include <openssl/rand.h>

#include <stdexcept>

RefCurve::RefCurve(int nid)
    : g(EC_GROUP_new_by_curve_name(nid)), c(BN_CTX_new()), p(BN_new()), a(BN_new()), b(BN_new()), n(BN_new()) {
    if (g == nullptr) throw std::runtime_error("curve not offered by the reference");
    EC_GROUP_get_curve(g, p, a, b, c);
    EC_GROUP_get_order(g, n, c);
}

RefCurve::~RefCurve() {
    BN_free(p);
    BN_free(a);
    BN_free(b);
    BN_free(n);
    BN_CTX_free(c);
    EC_GROUP_free(g);
}

std::string RefCurve::hex(const BIGNUM *v) {
    char *h = BN_bn2hex(v);
    std::string s = std::string("0x") + h;
    OPENSSL_free(h);
    return s;
}

EC_POINT *RefCurve::decode(const Bytes &P) const {
    EC_POINT *pt = EC_POINT_new(g);
    if (EC_POINT_oct2point(g, pt, P.data(), P.size(), c) != 1) {
        EC_POINT_free(pt);
        throw std::runtime_error("reference refuses the point");
    }
    return pt;
}

Bytes RefCurve::encode(const EC_POINT *P, point_conversion_form_t form) const {
    size_t len = EC_POINT_point2oct(g, P, form, nullptr, 0, c);
    Bytes out(len);
    EC_POINT_point2oct(g, P, form, out.data(), len, c);
    return out;
}

Bytes RefCurve::generator(point_conversion_form_t form) const { return encode(EC_GROUP_get0_generator(g), form); }

Bytes RefCurve::mulG(const Bytes &k, point_conversion_form_t form) const {
    BIGNUM *kb = BN_bin2bn(k.data(), (int)k.size(), nullptr);
    EC_POINT *r = EC_POINT_new(g);
    EC_POINT_mul(g, r, kb, nullptr, nullptr, c);
    Bytes out = encode(r, form);
    EC_POINT_free(r);
    BN_free(kb);
    return out;
}

Bytes RefCurve::mul(const Bytes &k, const Bytes &P) const {
    BIGNUM *kb = BN_bin2bn(k.data(), (int)k.size(), nullptr);
    EC_POINT *q = decode(P), *r = EC_POINT_new(g);
    EC_POINT_mul(g, r, nullptr, q, kb, c);
    Bytes out = encode(r, POINT_CONVERSION_UNCOMPRESSED);
    EC_POINT_free(r);
    EC_POINT_free(q);
    BN_free(kb);
    return out;
}

Bytes RefCurve::mulTwo(const Bytes &k1, const Bytes &P1, const Bytes &k2, const Bytes &P2) const {
    Bytes a1 = mul(k1, P1), a2 = mul(k2, P2);
    return add(a1, a2);
}

Bytes RefCurve::add(const Bytes &P, const Bytes &Q) const {
    EC_POINT *x = decode(P), *y = decode(Q), *r = EC_POINT_new(g);
    EC_POINT_add(g, r, x, y, c);
    Bytes out = encode(r, POINT_CONVERSION_UNCOMPRESSED);
    EC_POINT_free(x);
    EC_POINT_free(y);
    EC_POINT_free(r);
    return out;
}

Bytes RefCurve::dbl(const Bytes &P) const {
    EC_POINT *x = decode(P), *r = EC_POINT_new(g);
    EC_POINT_dbl(g, r, x, c);
    Bytes out = encode(r, POINT_CONVERSION_UNCOMPRESSED);
    EC_POINT_free(x);
    EC_POINT_free(r);
    return out;
}

Bytes RefCurve::invert(const Bytes &P) const {
    EC_POINT *x = decode(P);
    EC_POINT_invert(g, x, c);
    Bytes out = encode(x, POINT_CONVERSION_UNCOMPRESSED);
    EC_POINT_free(x);
    return out;
}

Bytes RefCurve::reencode(const Bytes &P, point_conversion_form_t form) const {
    EC_POINT *x = decode(P);
    Bytes out = encode(x, form);
    EC_POINT_free(x);
    return out;
}

Bytes RefCurve::randomScalar() const {
    BIGNUM *k = BN_new();
    BN_rand_range(k, n);
    Bytes out(BN_num_bytes(k));
    BN_bn2bin(k, out.data());
    BN_free(k);
    if (out.empty()) out.push_back(0);
    return out;
}

QvN toQvN(const Bytes &k) { return QvN(k.data(), (unsigned int)k.size(), 0); }

Bytes randomBytes(unsigned int n) {
    Bytes out(n);
    RAND_bytes(out.data(), (int)n);
    return out;
}

std::unique_ptr<QvEp> makeEp(const RefCurve &ref) {
    return std::unique_ptr<QvEp>(new QvEp(ref.aHex().c_str(), ref.bHex().c_str(), ref.pHex().c_str()));
}

std::unique_ptr<QvCryptoEp> makeCryptoEp(const RefCurve &ref) {
    return std::unique_ptr<QvCryptoEp>(new QvCryptoEp(ref.aHex().c_str(), ref.bHex().c_str(), ref.pHex().c_str()));
}

Bytes encodeElem(const QvGroup &grp, const QvGroupElem *e, unsigned int bufLen) {
    Bytes out(bufLen);
    unsigned int n = grp.asOctetString(e, out.data(), bufLen);
    out.resize(n);
    return out;
}

ElemPtr decodeElem(const QvGroup &grp, const Bytes &b) {
    return ElemPtr(grp.createNew(b.data(), (unsigned int)b.size()));
}
