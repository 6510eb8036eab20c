// Hostile answers through the secure channels' unwrapping: an open channel of
// either protocol wraps a fixed command and unwraps whatever the input says the
// card answered, until the channel is lost. Nothing may crash, read outside
// the answer, or hand back data from an answer that did not verify.
//
// Input: one octet choosing the channel (even: ISO/IEC 7816-4 secure messaging
// with the keys of the ICAO 9303 worked example; odd: the GlobalPlatform channel
// in mode 3 + (octet / 2) % 3), then answers: status word (2), length (1), data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "smartcard/sc_smctx_gp.h"
#include "smartcard/sc_smctx_iso.h"

namespace {

const uint8_t kIsoEnc[16] = {0x97, 0x9E, 0xC1, 0x3B, 0x1C, 0xBF, 0xE9, 0xDC,
                             0xD0, 0x1A, 0xB0, 0xFE, 0xD3, 0x07, 0xEA, 0xE5};
const uint8_t kIsoMac[16] = {0xF1, 0xCB, 0x1F, 0x1F, 0xB5, 0xAD, 0xF2, 0x08,
                             0x80, 0x6B, 0x89, 0xDC, 0x57, 0x9D, 0xC1, 0xF8};
const uint8_t kIsoSsc[8] = {0x88, 0x70, 0x22, 0x12, 0x0C, 0x06, 0xC2, 0x26};
const uint8_t kGpKey[16] = {0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47,
                            0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F};

// A GlobalPlatform channel opened against a card side computed here.
bool OpenGp(SCSmCtxGp* ctx) {
    for (int i = 0; i < 3; ++i) ctx->SetKey(i, kGpKey, 16);
    const uint8_t host[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> apdu;
    if (ctx->BuildInitializeUpdate(&apdu, host) < 0) return false;
    uint8_t answer[28] = {};
    answer[10] = 0x00;
    answer[11] = 0x02;
    answer[12] = 0x00;
    answer[13] = 0x01;
    const uint8_t card[6] = {9, 8, 7, 6, 5, 4};
    std::memcpy(answer + 14, card, 6);
    uint8_t senc[16];
    if (SCSmCtxGp::DeriveSessionKey(kGpKey, SCSmCtxGp::KD_SENC, 1, senc) < 0) return false;
    if (SCSmCtxGp::CardCryptogram(senc, host, answer + 12, card, answer + 20) < 0) return false;
    ctx->BeginOpening();
    if (ctx->ProcessInitializeUpdate(answer, sizeof answer, &apdu) < 0) return false;
    ctx->SessionOpened();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    SCSmCtxIso iso;
    SCSmCtxGp gp(SC_SM_MODE_GP_CHANNEL_FIRST + (data[0] >> 1) % 3);
    SCSmCtx* ctx = &iso;
    if (data[0] & 1) {
        if (!OpenGp(&gp)) __builtin_trap();
        ctx = &gp;
    } else {
        if (iso.SetSession(kIsoEnc, kIsoMac, kIsoSsc) < 0) __builtin_trap();
        iso.SessionOpened();
    }
    static const uint8_t kCommands[][8] = {
        {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x01, 0x1E},  // case 3
        {0x00, 0xB0, 0x00, 0x00, 0x04},              // case 2
        {0x00, 0xB0, 0x00, 0x04, 0x12},
    };
    static const size_t kLengths[] = {7, 5, 5};
    size_t pos = 1, n = 0;
    while (pos + 3 <= size) {
        const uint16_t sw = static_cast<uint16_t>((data[pos] << 8) | data[pos + 1]);
        size_t len = data[pos + 2];
        pos += 3;
        if (len > size - pos) len = size - pos;
        std::vector<uint8_t> wrapped, plain;
        const size_t c = n++ % 3;
        if (ctx->WrapCommand(kCommands[c], kLengths[c], &wrapped) < 0) break;
        // The answer in a buffer of its own size, so that reading past it is seen.
        std::vector<uint8_t> answer(data + pos, data + pos + len);
        uint16_t outSw = 0xFFFF;
        const SCRESULT r = ctx->UnwrapResponse(answer.data(), answer.size(), sw, &plain, &outSw);
        pos += len;
        if (r < 0) {
            // Refused: nothing of the answer comes back and the channel is closed.
            if (!plain.empty() || outSw != 0 || !ctx->IsLost()) __builtin_trap();
            break;
        }
        if (plain.size() > answer.size()) __builtin_trap();
    }
    return 0;
}
