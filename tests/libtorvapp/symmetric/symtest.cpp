#include "symtest.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <fstream>
#include <stdexcept>

Bytes hex(const std::string& text)
{
    Bytes out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(std::uint8_t(hi * 16 + v));
            hi = -1;
        }
    }
    if (hi >= 0)
        throw std::runtime_error("odd number of hexadecimal digits");
    return out;
}

std::string toHex(const std::uint8_t* p, std::size_t n)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::vector<Record> readVectors(const std::string& fileName)
{
    std::ifstream f(std::string(MIRTAL_TEST_DATA_DIR) + "/" + fileName);
    if (!f)
        throw std::runtime_error("cannot open " + fileName);
    std::vector<Record> out;
    Record cur;
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
            continue;
        }
        auto trim = [](std::string s) {
            const auto a = s.find_first_not_of(" \t");
            const auto b = s.find_last_not_of(" \t");
            return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
        };
        const std::string name = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        cur[name] += value;
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

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
