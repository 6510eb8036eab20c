// The GlobalPlatform secure channel: Secure Channel Protocol '02' of the
// GlobalPlatform Card Specification 2.2 (Annex E), implementation option
// i = 35: three static two-key triple-DES keys, explicit initiation (INITIALIZE
// UPDATE, EXTERNAL AUTHENTICATE), C-MAC on the modified APDU with the retail MAC,
// the chaining value of each C-MAC enciphered before it starts the next one,
// and R-MAC. The mode chooses the security level: 3 C-MAC (01), 4 C-MAC and
// C-DECRYPTION (03), 5 C-MAC, C-DECRYPTION and R-MAC (13).
//
// Static keys: first = key-MAC, second = key-ENC, third = key-DEK (a 48-octet key
// text ENC || MAC || DEK, the usual order, gives them as second, first, third).
// Session keys: 0 S-ENC, 1 C-MAC, 2 R-MAC.
#pragma once

#include "smartcard/sc_smctx.h"

class SCSmCtxGp : public SCSmCtx {
public:
    static constexpr size_t CHALLENGE_LEN = 8;
    static constexpr size_t INIT_UPDATE_ANSWER_LEN = 28;

    explicit SCSmCtxGp(uint32_t mode = SC_SM_MODE_GP_FULL);
    ~SCSmCtxGp() override;

    // The security level that EXTERNAL AUTHENTICATE asks for in this mode.
    uint8_t GetSecurityLevel() const;
    bool MacsAnswers() const { return (GetSecurityLevel() & 0x10) != 0; }
    bool EnciphersCommands() const { return (GetSecurityLevel() & 0x02) != 0; }

    // INITIALIZE UPDATE (80 50 kv 00 08 challenge 00) with the host challenge
    // given, or a fresh one when null; kv is the context's key reference.
    SCRESULT BuildInitializeUpdate(std::vector<uint8_t>* apdu, const uint8_t* hostChallenge = nullptr);
    // The card's answer to it: key diversification data (10), key version,
    // protocol 02, sequence counter (2), card challenge (6), card cryptogram (8).
    // Refuses another protocol (SC_E_UNSUPPORTED_FEATURE), a key version other
    // than the one asked for and a card cryptogram that does not match
    // (SC_E_VERIFY_FAILED: other keys than the card's), a sequence counter not
    // above the last one this channel saw (SC_E_SM_CARD_AUTH_FAILED: an old
    // answer played again). Derives the session keys and builds EXTERNAL
    // AUTHENTICATE (84 82 level 00 10 host cryptogram C-MAC).
    SCRESULT ProcessInitializeUpdate(const uint8_t* answer, size_t len, std::vector<uint8_t>* apdu);

    // The highest sequence counter seen (on the card object between contexts).
    bool GetLastSequence(uint16_t* seq) const {
        if (seq) *seq = m_lastSeq;
        return m_haveLastSeq;
    }
    void SetLastSequence(uint16_t seq) {
        m_lastSeq = seq;
        m_haveLastSeq = true;
    }

    size_t GetMaxCommandData(size_t wireLimit) const override;

    // The protocol's steps, for tests against published values.
    // Session key = 3DES-CBC(static key, zero IV, constant || counter || 00 x 12).
    static SCRESULT DeriveSessionKey(const uint8_t staticKey[16], uint16_t constant, uint16_t sequence,
                                     uint8_t out[16]);
    // Card cryptogram: MAC (full 3DES CBC-MAC, S-ENC) over host challenge ||
    // sequence counter || card challenge; host cryptogram over sequence
    // counter || card challenge || host challenge.
    static SCRESULT CardCryptogram(const uint8_t senc[16], const uint8_t host[8], const uint8_t seq[2],
                                   const uint8_t card[6], uint8_t out[8]);
    static SCRESULT HostCryptogram(const uint8_t senc[16], const uint8_t host[8], const uint8_t seq[2],
                                   const uint8_t card[6], uint8_t out[8]);

    // Derivation constants.
    static constexpr uint16_t KD_CMAC = 0x0101;
    static constexpr uint16_t KD_RMAC = 0x0102;
    static constexpr uint16_t KD_DEK = 0x0181;
    static constexpr uint16_t KD_SENC = 0x0182;

protected:
    SCRESULT _WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) override;
    SCRESULT _UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                             uint16_t* outSw) override;
    void _WipeSession() override;

private:
    SCRESULT CMac(const uint8_t* data, size_t len, uint8_t mac[8]);

    uint8_t m_hostChallenge[CHALLENGE_LEN] = {};
    bool m_haveChallenge = false;
    uint8_t m_lastCMac[8] = {};
    bool m_haveCMac = false;  // false: the next C-MAC starts from zero
    uint8_t m_lastRMac[8] = {};
    std::vector<uint8_t> m_rmacCommand;  // the plain command the next answer belongs to
    uint16_t m_lastSeq = 0;
    bool m_haveLastSeq = false;
};
