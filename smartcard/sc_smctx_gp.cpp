#include "smartcard/sc_smctx_gp.h"

#include <cstring>

#include "smartcard/sc_apdu.h"
#include "smartcard/sc_smcrypto.h"

namespace {

// Session-key slots.
constexpr int S_ENC = 0;
constexpr int C_MAC = 1;
constexpr int R_MAC = 2;
// Static-key slots.
constexpr int KEY_MAC = 0;
constexpr int KEY_ENC = 1;

// MAC (full triple-DES CBC-MAC under S-ENC) over two eight-octet halves.
SCRESULT Cryptogram(const uint8_t senc[16], const uint8_t a[8], const uint8_t b[8], uint8_t out[8]) {
    uint8_t m[16];
    std::memcpy(m, a, 8);
    std::memcpy(m + 8, b, 8);
    const SCRESULT r = scSmTdesCbcMac(senc, m, sizeof m, out);
    scSmWipe(m, sizeof m);
    return r;
}

}  // namespace

SCSmCtxGp::SCSmCtxGp(uint32_t mode) : SCSmCtx(mode) {
    if (!IsGpChannelMode()) m_mode = SC_SM_MODE_GP_FULL;
}

SCSmCtxGp::~SCSmCtxGp() {
    _WipeSession();
    scSmWipe(m_hostChallenge, sizeof m_hostChallenge);
}

void SCSmCtxGp::_WipeSession() {
    scSmWipe(m_lastCMac, sizeof m_lastCMac);
    scSmWipe(m_lastRMac, sizeof m_lastRMac);
    scSmWipe(m_rmacCommand);
    m_haveCMac = false;
}

uint8_t SCSmCtxGp::GetSecurityLevel() const {
    switch (m_mode) {
    case SC_SM_MODE_GP_MAC: return 0x01;
    case SC_SM_MODE_GP_MAC_ENC: return 0x03;
    default: return 0x13;
    }
}

SCRESULT SCSmCtxGp::DeriveSessionKey(const uint8_t staticKey[16], uint16_t constant, uint16_t sequence,
                                     uint8_t out[16]) {
    uint8_t d[16] = {static_cast<uint8_t>(constant >> 8), static_cast<uint8_t>(constant),
                     static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
    return scSmTdesCbc(staticKey, nullptr, true, d, sizeof d, out);
}

SCRESULT SCSmCtxGp::CardCryptogram(const uint8_t senc[16], const uint8_t host[8], const uint8_t seq[2],
                                   const uint8_t card[6], uint8_t out[8]) {
    uint8_t sc[8];
    std::memcpy(sc, seq, 2);
    std::memcpy(sc + 2, card, 6);
    return Cryptogram(senc, host, sc, out);
}

SCRESULT SCSmCtxGp::HostCryptogram(const uint8_t senc[16], const uint8_t host[8], const uint8_t seq[2],
                                   const uint8_t card[6], uint8_t out[8]) {
    uint8_t sc[8];
    std::memcpy(sc, seq, 2);
    std::memcpy(sc + 2, card, 6);
    return Cryptogram(senc, sc, host, out);
}

SCRESULT SCSmCtxGp::BuildInitializeUpdate(std::vector<uint8_t>* apdu, const uint8_t* hostChallenge) {
    if (apdu == nullptr) return SC_E_BAD_PARAMS;
    if (GetKeyRef() > 0x7F) return SC_E_BAD_PARAMS;
    if (hostChallenge != nullptr) {
        std::memcpy(m_hostChallenge, hostChallenge, CHALLENGE_LEN);
    } else {
        const SCRESULT r = scSmRandom(m_hostChallenge, CHALLENGE_LEN);
        if (r < 0) return r;
    }
    m_haveChallenge = true;
    apdu->assign({0x80, 0x50, static_cast<uint8_t>(GetKeyRef()), 0x00, static_cast<uint8_t>(CHALLENGE_LEN)});
    apdu->insert(apdu->end(), m_hostChallenge, m_hostChallenge + CHALLENGE_LEN);
    apdu->push_back(0x00);
    return SC_OK;
}

SCRESULT SCSmCtxGp::ProcessInitializeUpdate(const uint8_t* answer, size_t len, std::vector<uint8_t>* apdu) {
    if (answer == nullptr || apdu == nullptr || !m_haveChallenge) return SC_E_BAD_PARAMS;
    if (len != INIT_UPDATE_ANSWER_LEN) return SC_E_INVALID_DATA_FORMAT;
    const uint8_t keyVersion = answer[10];
    const uint8_t protocol = answer[11];
    const uint8_t* seq = answer + 12;
    const uint8_t* cardChallenge = answer + 14;
    const uint8_t* cardCryptogram = answer + 20;
    if (protocol != 0x02) return SC_E_UNSUPPORTED_FEATURE;
    if (GetKeyRef() != 0 && keyVersion != GetKeyRef()) return SC_E_VERIFY_FAILED;
    const uint16_t sequence = static_cast<uint16_t>((seq[0] << 8) | seq[1]);
    if (m_haveLastSeq && sequence <= m_lastSeq) return SC_E_SM_CARD_AUTH_FAILED;

    size_t macLen = 0, encLen = 0;
    const uint8_t* keyMac = GetKey(KEY_MAC, &macLen);
    const uint8_t* keyEnc = GetKey(KEY_ENC, &encLen);
    if (keyMac == nullptr || keyEnc == nullptr || macLen != SC_SM_KEY_LEN || encLen != SC_SM_KEY_LEN)
        return SC_E_INVALID_KEY;

    uint8_t senc[16], cmac[16], rmac[16], expect[8], host[8];
    struct Wiper {
        uint8_t* p[5];
        size_t n[5];
        ~Wiper() {
            for (int i = 0; i < 5; ++i) scSmWipe(p[i], n[i]);
        }
    } wiper{{senc, cmac, rmac, expect, host}, {16, 16, 16, 8, 8}};
    SCRESULT r = DeriveSessionKey(keyEnc, KD_SENC, sequence, senc);
    if (r >= 0) r = DeriveSessionKey(keyMac, KD_CMAC, sequence, cmac);
    if (r >= 0) r = DeriveSessionKey(keyMac, KD_RMAC, sequence, rmac);
    if (r >= 0) r = CardCryptogram(senc, m_hostChallenge, seq, cardChallenge, expect);
    if (r < 0) return r;
    if (!scSmEqual(expect, cardCryptogram, 8)) return SC_E_VERIFY_FAILED;
    r = HostCryptogram(senc, m_hostChallenge, seq, cardChallenge, host);
    if (r < 0) return r;
    SetSessionKey(S_ENC, senc, 16);
    SetSessionKey(C_MAC, cmac, 16);
    SetSessionKey(R_MAC, rmac, 16);
    SetSequenceCounter(seq, 2);
    SetLastSequence(sequence);

    // EXTERNAL AUTHENTICATE: its C-MAC starts the chain from zero.
    std::vector<uint8_t> ea = {0x84, 0x82, GetSecurityLevel(), 0x00, 0x10};
    ea.insert(ea.end(), host, host + 8);
    _WipeSession();
    uint8_t mac[8];
    r = CMac(ea.data(), ea.size(), mac);
    if (r < 0) return r;
    ea.insert(ea.end(), mac, mac + 8);
    apdu->swap(ea);
    scSmWipe(m_hostChallenge, sizeof m_hostChallenge);
    m_haveChallenge = false;
    return SC_OK;
}

SCRESULT SCSmCtxGp::CMac(const uint8_t* data, size_t len, uint8_t mac[8]) {
    size_t kl = 0;
    const uint8_t* key = GetSessionKey(C_MAC, &kl);
    if (key == nullptr || kl != SC_SM_KEY_LEN) return SC_E_SM_NOT_ESTABLISHED;
    uint8_t icv[8];
    SCRESULT r = SC_OK;
    if (m_haveCMac) {
        // The chaining value is the last C-MAC enciphered under the key's first half.
        r = scSmDesEncryptBlock(key, m_lastCMac, icv);
    }
    if (r >= 0) r = scSmRetailMac(key, m_haveCMac ? icv : nullptr, data, len, mac);
    scSmWipe(icv, sizeof icv);
    if (r < 0) return r;
    std::memcpy(m_lastCMac, mac, 8);
    m_haveCMac = true;
    return SC_OK;
}

size_t SCSmCtxGp::GetMaxCommandData(size_t wireLimit) const {
    if (wireLimit > 255) wireLimit = 255;  // short commands only
    if (wireLimit < 16) return 0;
    if (EnciphersCommands()) return ((wireLimit - 8) / 8) * 8 - 1;  // padding takes at least one octet
    return wireLimit - 8;
}

SCRESULT SCSmCtxGp::_WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) {
    SCApduInfo info;
    if (!scParseApdu(apdu, len, &info)) return SC_E_BAD_PARAMS;
    if (info.extended) return SC_E_TOO_MUCH_DATA;
    if ((apdu[0] & 0x04) || apdu[0] == 0xFF) return SC_E_BAD_PARAMS;
    const size_t lc = info.lc;
    const uint8_t* data = apdu + info.dataOffset;
    if (lc > GetMaxCommandData(255)) return SC_E_TOO_MUCH_DATA;
    const uint8_t cla = static_cast<uint8_t>(apdu[0] | 0x04);

    // The answer's R-MAC covers the command as the caller gave it.
    m_rmacCommand.assign(apdu, apdu + 4);
    m_rmacCommand.push_back(static_cast<uint8_t>(lc));
    m_rmacCommand.insert(m_rmacCommand.end(), data, data + lc);

    std::vector<uint8_t> m = {cla, apdu[1], apdu[2], apdu[3], static_cast<uint8_t>(lc + 8)};
    m.insert(m.end(), data, data + lc);
    uint8_t mac[8];
    SCRESULT r = CMac(m.data(), m.size(), mac);
    scSmWipe(m);
    if (r < 0) return r;

    std::vector<uint8_t> body;
    if (lc && EnciphersCommands()) {
        size_t kl = 0;
        const uint8_t* senc = GetSessionKey(S_ENC, &kl);
        if (senc == nullptr || kl != SC_SM_KEY_LEN) return SC_E_SM_NOT_ESTABLISHED;
        std::vector<uint8_t> plain(data, data + lc);
        scSmPad(&plain);
        body.resize(plain.size());
        r = scSmTdesCbc(senc, nullptr, true, plain.data(), plain.size(), body.data());
        scSmWipe(plain);
        if (r < 0) return r;
    } else {
        body.assign(data, data + lc);
    }
    if (body.size() + 8 > 255) return SC_E_TOO_MUCH_DATA;
    std::vector<uint8_t> w = {cla, apdu[1], apdu[2], apdu[3], static_cast<uint8_t>(body.size() + 8)};
    w.insert(w.end(), body.begin(), body.end());
    w.insert(w.end(), mac, mac + 8);
    if (info.hasLe) w.push_back(static_cast<uint8_t>(info.le & 0xFF));
    out->swap(w);
    scSmWipe(body);
    return SC_OK;
}

SCRESULT SCSmCtxGp::_UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                                    uint16_t* outSw) {
    if (!MacsAnswers()) {
        out->assign(data, data + len);
        *outSw = sw;
        return SC_OK;
    }
    // data || R-MAC: an answer without its R-MAC is refused. A bare security
    // status is the card ending the channel on its side.
    if (len == 0 && (sw == 0x6982 || sw == 0x6985 || sw == 0x6988)) return SC_E_SM_NOT_ESTABLISHED;
    if (len < 8) return SC_E_SM_MAC_INVALID;
    size_t kl = 0;
    const uint8_t* key = GetSessionKey(R_MAC, &kl);
    if (key == nullptr || kl != SC_SM_KEY_LEN) return SC_E_SM_NOT_ESTABLISHED;
    const size_t n = len - 8;
    std::vector<uint8_t> m = m_rmacCommand;
    if (n > 0xFF) m.push_back(static_cast<uint8_t>(n >> 8));
    m.push_back(static_cast<uint8_t>(n));
    m.insert(m.end(), data, data + n);
    m.push_back(static_cast<uint8_t>(sw >> 8));
    m.push_back(static_cast<uint8_t>(sw));
    uint8_t mac[8];
    const SCRESULT r = scSmRetailMac(key, m_lastRMac, m.data(), m.size(), mac);
    scSmWipe(m);
    scSmWipe(m_rmacCommand);
    if (r < 0) return r;
    if (!scSmEqual(mac, data + n, 8)) return SC_E_SM_MAC_INVALID;
    std::memcpy(m_lastRMac, mac, 8);
    out->assign(data, data + n);
    *outSw = sw;
    return SC_OK;
}
