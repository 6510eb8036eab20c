#include "smartcard/sc_smcrypto.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "libtorvapp/qvansimac.h"
#include "libtorvapp/qvcbc.h"
#include "libtorvapp/qvcbcmac.h"
#include "libtorvapp/qvdes.h"
#include "libtorvapp/qvsha1.h"
#include "libtorvapp/qvtdes.h"

namespace {

// K1 K2 K1: the 24-octet form of a two-key triple-DES key.
struct TdesKey {
    explicit TdesKey(const uint8_t* k16) {
        std::memcpy(k, k16, 16);
        std::memcpy(k + 16, k16, 8);
    }
    ~TdesKey() { qvWipe(k, sizeof k); }
    uint8_t k[24];
};

// The library's ciphers without the weak-key test: session keys are what the
// derivation gives, and the card does not refuse them either.
QvTdes Tdes() { return QvTdes(false, false); }
QvDes Des() { return QvDes(false, false); }

template <typename Fn>
SCRESULT Guarded(Fn fn) {
    try {
        fn();
        return SC_OK;
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    } catch (...) {
        return SC_E_CRYPT_ERROR;
    }
}

}  // namespace

void scSmWipe(void* p, size_t len) {
    if (p != nullptr && len != 0) qvWipe(p, len);
}

void scSmWipe(std::vector<uint8_t>& v) {
    if (!v.empty()) qvWipe(v.data(), v.size());
    v.clear();
}

void scSmPad(std::vector<uint8_t>* data) {
    data->push_back(0x80);
    while (data->size() % SC_SM_BLOCK) data->push_back(0x00);
}

bool scSmUnpad(const uint8_t* data, size_t len, size_t* dataLen) {
    if (data == nullptr || len == 0 || len % SC_SM_BLOCK) return false;
    size_t i = len;
    while (i > 0 && data[i - 1] == 0x00) --i;
    if (i == 0 || data[i - 1] != 0x80 || len - (i - 1) > SC_SM_BLOCK) return false;
    *dataLen = i - 1;
    return true;
}

SCRESULT scSmTdesCbc(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* iv, bool encrypt, const uint8_t* in,
                     size_t len, uint8_t* out) {
    if (key == nullptr || (len && (in == nullptr || out == nullptr)) || len % SC_SM_BLOCK) return SC_E_BAD_PARAMS;
    if (len == 0) return SC_OK;
    static const uint8_t kZero[SC_SM_BLOCK] = {};
    return Guarded([&] {
        TdesKey k(key);
        QvCbc cbc(Tdes(), QV_SYM_PAD_NONE);
        cbc.setKey(k.k, sizeof k.k);
        cbc.process(encrypt ? QV_SYM_ENCRYPT : QV_SYM_DECRYPT, iv ? iv : kZero, SC_SM_BLOCK, in,
                    static_cast<unsigned>(len), out);
    });
}

SCRESULT scSmDesEncryptBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8]) {
    if (key == nullptr || in == nullptr || out == nullptr) return SC_E_BAD_PARAMS;
    return Guarded([&] {
        QvDes des = Des();
        des.setKey(key, 8, QV_KEY_EXPANSION_ENCRYPT);
        des.encryptBlock(in, out);
    });
}

SCRESULT scSmRetailMac(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* icv, const uint8_t* data, size_t len,
                       uint8_t mac[SC_SM_BLOCK]) {
    if (key == nullptr || mac == nullptr || (data == nullptr && len)) return SC_E_BAD_PARAMS;
    std::vector<uint8_t> m;
    SCRESULT r = Guarded([&] {
        m.reserve(len + SC_SM_BLOCK);
        if (len) m.assign(data, data + len);
        scSmPad(&m);
        if (icv != nullptr)
            for (size_t i = 0; i < SC_SM_BLOCK; ++i) m[i] ^= icv[i];
        QvAnsiMac retail(Des(), QV_MAC_PAD_NONE);
        retail.setKey(key, SC_SM_KEY_LEN);
        retail.computeMac(m.data(), static_cast<unsigned>(m.size()));
        retail.getMac(SC_SM_BLOCK, mac);
    });
    scSmWipe(m);
    return r;
}

SCRESULT scSmTdesCbcMac(const uint8_t key[SC_SM_KEY_LEN], const uint8_t* data, size_t len,
                        uint8_t mac[SC_SM_BLOCK]) {
    if (key == nullptr || mac == nullptr || (data == nullptr && len)) return SC_E_BAD_PARAMS;
    return Guarded([&] {
        TdesKey k(key);
        QvCbcMac cbcMac(Tdes(), QV_MAC_PAD_BIT);
        cbcMac.setKey(k.k, sizeof k.k);
        cbcMac.computeMac(data, static_cast<unsigned>(len));
        cbcMac.getMac(SC_SM_BLOCK, mac);
    });
}

SCRESULT scSmDeriveKey(const uint8_t* secret, size_t len, uint32_t counter, uint8_t key[SC_SM_KEY_LEN]) {
    if (secret == nullptr || len == 0 || key == nullptr) return SC_E_BAD_PARAMS;
    const uint8_t c[4] = {static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                          static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
    return Guarded([&] {
        QvSha1 sha;
        sha.init();
        sha.step(secret, static_cast<unsigned>(len));
        sha.step(c, sizeof c);
        sha.finish();
        sha.getHash(SC_SM_KEY_LEN, key);
        qvDesSetParity(key, 2);
    });
}

SCRESULT scSmRandom(uint8_t* out, size_t len) {
    if (out == nullptr && len) return SC_E_BAD_PARAMS;
    size_t done = 0;
    while (done < len) {
        const ssize_t n = getrandom(out + done, len - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    if (done == len) return SC_OK;
    // Kernels without the call: the device gives the same generator.
    FILE* f = std::fopen("/dev/urandom", "rb");
    if (f != nullptr) {
        done += std::fread(out + done, 1, len - done, f);
        std::fclose(f);
    }
    if (done == len) return SC_OK;
    scSmWipe(out, len);
    return SC_E_SYSTEM_ERROR;
}

bool scSmEqual(const uint8_t* a, const uint8_t* b, size_t len) {
    volatile uint8_t diff = 0;
    for (size_t i = 0; i < len; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
    return diff == 0;
}
