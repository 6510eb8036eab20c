#include "symtest.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <stdexcept>

Bytes randomBytes(std::mt19937& rng, std::size_t n)
{
    Bytes b(n);
    for (auto& x : b)
        x = std::uint8_t(rng());
    return b;
}

namespace {
// The providers stay loaded for the whole program and are unloaded at its end,
// so that leak checkers see nothing left behind.
struct Providers {
    OSSL_PROVIDER* def = OSSL_PROVIDER_load(nullptr, "default");
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    ~Providers()
    {
        if (legacy != nullptr)
            OSSL_PROVIDER_unload(legacy);
        if (def != nullptr)
            OSSL_PROVIDER_unload(def);
    }
};
} // namespace

bool loadOpenSslLegacy()
{
    static const Providers p;
    return p.def != nullptr && p.legacy != nullptr;
}

Bytes evpCrypt(const char* cipherName, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& in,
               int rc2EffectiveBits)
{
    loadOpenSslLegacy();
    EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, cipherName, nullptr);
    if (c == nullptr)
        throw std::runtime_error(std::string("OpenSSL lacks ") + cipherName);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 64);
    int n1 = 0, n2 = 0;
    bool ok = EVP_CipherInit_ex2(ctx, c, nullptr, nullptr, encrypt ? 1 : 0, nullptr) == 1;
    if (ok && EVP_CIPHER_get_key_length(c) != int(key.size()))
        ok = EVP_CIPHER_CTX_set_key_length(ctx, int(key.size())) == 1;
    if (ok && rc2EffectiveBits > 0)
        ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_SET_RC2_KEY_BITS, rc2EffectiveBits, nullptr) == 1;
    ok = ok && EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), -1, nullptr) == 1;
    ok = ok && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    ok = ok && EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), int(in.size())) == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, out.data() + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(c);
    if (!ok)
        throw std::runtime_error(std::string("OpenSSL failed with ") + cipherName);
    out.resize(std::size_t(n1 + n2));
    return out;
}
