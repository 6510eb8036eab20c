#include "tests/libtorvapp/schemes/schemes_support.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <map>
#include <mutex>
#include <stdexcept>

std::unique_ptr<QvRbg> makeRbg(unsigned int seedTag)
{
    std::unique_ptr<QvRbg> r(qvRbgCreateObject(QV_RBG_DSS31));
    unsigned char seed[32];
    for (unsigned int i = 0; i < sizeof seed; ++i)
        seed[i] = static_cast<unsigned char>(0x5A ^ (i * 29) ^ (seedTag * 131) ^ (seedTag >> 8));
    r->init(seed, sizeof seed);
    return r;
}

Bytes bnParam(const EVP_PKEY *k, const char *name)
{
    BIGNUM *b = nullptr;
    if (EVP_PKEY_get_bn_param(k, name, &b) != 1)
        throw std::runtime_error(std::string("no parameter ") + name);
    Bytes out(static_cast<size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_free(b);
    if (out.empty())
        out.push_back(0);
    return out;
}

std::string reasonOf(const char *text)
{
    std::string t(text);
    size_t a = t.find("REASON: ");
    if (a == std::string::npos)
        return "";
    a += 8;
    return t.substr(a, t.find('\n', a) - a);
}

std::string textOf(const QvException &e) { return e.what(); }

EVP_PKEY *rsaKey(unsigned int bits)
{
    static std::mutex m;
    static std::map<unsigned int, EVP_PKEY *> cache;
    std::lock_guard<std::mutex> g(m);
    auto it = cache.find(bits);
    if (it != cache.end())
        return it->second;
    EVP_PKEY *k = EVP_RSA_gen(bits);
    if (k == nullptr)
        throw std::runtime_error("RSA generation failed");
    cache[bits] = k;
    return k;
}

void fillRsaPublic(QvRsaPublicKey &pub, EVP_PKEY *k)
{
    Bytes n = bnParam(k, OSSL_PKEY_PARAM_RSA_N);
    Bytes e = bnParam(k, OSSL_PKEY_PARAM_RSA_E);
    pub.setN(n.data(), static_cast<unsigned int>(n.size()));
    pub.setE(e.data(), static_cast<unsigned int>(e.size()));
}

void fillRsaPrivate(QvRsaPrivateKey &prv, EVP_PKEY *k, bool withFactors)
{
    auto set = [&](void (QvRsaPrivateKey::*f)(const QvOctet *, unsigned int), const char *name) {
        Bytes b = bnParam(k, name);
        (prv.*f)(b.data(), static_cast<unsigned int>(b.size()));
    };
    set(&QvRsaPrivateKey::setModulus, OSSL_PKEY_PARAM_RSA_N);
    set(&QvRsaPrivateKey::setPublicExponent, OSSL_PKEY_PARAM_RSA_E);
    set(&QvRsaPrivateKey::setPrivateExponent, OSSL_PKEY_PARAM_RSA_D);
    if (withFactors) {
        set(&QvRsaPrivateKey::setPrime1, OSSL_PKEY_PARAM_RSA_FACTOR1);
        set(&QvRsaPrivateKey::setPrime2, OSSL_PKEY_PARAM_RSA_FACTOR2);
        set(&QvRsaPrivateKey::setExponent1, OSSL_PKEY_PARAM_RSA_EXPONENT1);
        set(&QvRsaPrivateKey::setExponent2, OSSL_PKEY_PARAM_RSA_EXPONENT2);
        set(&QvRsaPrivateKey::setCoefficient, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
        prv.precompute();
    }
}

Bytes mdDigest(const char *mdName, const Bytes &msg)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(msg.data(), msg.size(), out, &len, EVP_get_digestbyname(mdName), nullptr);
    return Bytes(out, out + len);
}

namespace {

void setupCtx(EVP_PKEY_CTX *ctx, const char *mdName, int rsaPadding, int saltLen)
{
    if (mdName != nullptr && EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(mdName)) != 1)
        throw std::runtime_error("set md");
    if (rsaPadding != 0) {
        EVP_PKEY_CTX_set_rsa_padding(ctx, rsaPadding);
        if (rsaPadding == RSA_PKCS1_PSS_PADDING) {
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, saltLen);
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(mdName));
        }
    }
}

} // namespace

Bytes osslSign(EVP_PKEY *k, const char *mdName, const Bytes &digest, int rsaPadding, int saltLen)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_sign_init(ctx);
    setupCtx(ctx, mdName, rsaPadding, saltLen);
    size_t len = 0;
    EVP_PKEY_sign(ctx, nullptr, &len, digest.data(), digest.size());
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx, sig.data(), &len, digest.data(), digest.size()) != 1) {
        EVP_PKEY_CTX_free(ctx);
        throw std::runtime_error("OpenSSL sign failed");
    }
    sig.resize(len);
    EVP_PKEY_CTX_free(ctx);
    return sig;
}

bool osslVerify(EVP_PKEY *k, const char *mdName, const Bytes &digest, const Bytes &sig, int rsaPadding, int saltLen)
{
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(k, nullptr);
    EVP_PKEY_verify_init(ctx);
    setupCtx(ctx, mdName, rsaPadding, saltLen);
    int r = EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size());
    EVP_PKEY_CTX_free(ctx);
    return r == 1;
}

Bytes wrapSequence(const Bytes &body)
{
    Bytes out{0x30};
    size_t n = body.size();
    if (n < 128) {
        out.push_back(static_cast<unsigned char>(n));
    } else if (n < 256) {
        out.push_back(0x81);
        out.push_back(static_cast<unsigned char>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<unsigned char>(n >> 8));
        out.push_back(static_cast<unsigned char>(n));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes unwrapSequence(const Bytes &der)
{
    size_t pos = 1;
    size_t first = der.at(pos++);
    if (first & 0x80)
        pos += first & 0x7F;
    return Bytes(der.begin() + static_cast<long>(pos), der.end());
}
