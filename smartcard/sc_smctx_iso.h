// ISO/IEC 7816-4 secure messaging with keys agreed by Diffie-Hellman, in the
// form ICAO Doc 9303 (part 11) and BSI TR-03110 give it for two-key triple DES:
//   - the command: CLA with bits 0C set; data enciphered (3DES-CBC, zero IV,
//     padding method 2) in 87 (padding indicator 01; 85 without it for an odd
//     INS); Le in 97; a retail MAC in 8E over the send sequence counter, the
//     padded header and those objects; Le 00;
//   - the answer: 87 (data), 99 (status word) and 8E (MAC over the counter, 87
//     and 99); the status word of 99 is the command's;
//   - the send sequence counter (8 octets) counts up before every command and
//     every answer.
// Key agreement (SetupSmDh of the card): MSE SET KAT (00 22 41 A6 {83 group}),
// then GENERAL AUTHENTICATE (00 86 00 00 {7C {85 own public value}}) answered
// with {7C {85 card's public value}}; K = y_card^x mod p as |p| octets;
// K-ENC = SHA-1(K || 00000001), K-MAC = SHA-1(K || 00000002), first 16 octets
// each; the counter starts at zero.
// Session keys: 0 K-ENC, 1 K-MAC.
#pragma once

#include <memory>

#include "smartcard/sc_smctx.h"

class SCSmCtxIso : public SCSmCtx {
public:
    static constexpr size_t SSC_LEN = 8;

    SCSmCtxIso();
    ~SCSmCtxIso() override;

    // Keys and counter of a new session (opens nothing by itself).
    SCRESULT SetSession(const uint8_t kenc[16], const uint8_t kmac[16], const uint8_t ssc[SSC_LEN]);
    // Session keys from an agreed secret, counter zero.
    SCRESULT SetSessionFromSecret(const uint8_t* secret, size_t len);

    size_t GetMaxCommandData(size_t wireLimit) const override;

protected:
    SCRESULT _WrapCommand(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out) override;
    SCRESULT _UnwrapResponse(const uint8_t* data, size_t len, uint16_t sw, std::vector<uint8_t>* out,
                             uint16_t* outSw) override;

private:
    SCRESULT Mac(const std::vector<uint8_t>& data, uint8_t mac[8]) const;
};

// The Diffie-Hellman side of the host over a group given as a key set (p, q or
// a private-value mask, g). The own key pair lives as long as the object and is
// wiped with it.
class SCSmDhAgreement {
public:
    SCSmDhAgreement();
    ~SCSmDhAgreement();
    SCSmDhAgreement(const SCSmDhAgreement&) = delete;
    SCSmDhAgreement& operator=(const SCSmDhAgreement&) = delete;

    // Checks the group: p odd and at least 512 bits, 1 < g < p - 1, and either q
    // dividing p - 1 with g^q = 1 (X9.42 form) or a mask 2^k - 1 of k >= 64 bits
    // below p (PKCS #3 form, a private value of k bits); SC_E_INVALID_KEY
    // otherwise.
    SCRESULT SetGroup(const SCSmKeySet& keySet);
    // A fresh own key pair; the public value as |p| octets.
    SCRESULT Generate(std::vector<uint8_t>* publicValue);
    // The shared secret (|p| octets) from the card's public value, which must lie
    // in 2 .. p - 2 (and in the subgroup of q when q is known): SC_E_INVALID_KEY.
    SCRESULT Agree(const uint8_t* peer, size_t len, std::vector<uint8_t>* secret);

private:
    struct State;
    std::unique_ptr<State> m;
};
