#include "smartcard/sc_card_create.h"

#include <new>

#include "smartcard/sc_card.h"
#include "smartcard/sc_card_classic.h"
#include "smartcard/sc_card_cosmopolic.h"
#include "smartcard/sc_card_globalplatform.h"
#include "smartcard/sc_card_ias.h"
#include "smartcard/sc_card_setcos.h"
#include "smartcard/sc_card_tvx.h"
#include "smartcard/sc_reader.h"

namespace {

// The card models' ATRs: 3B 8F 80 01 (T=0 and T=1), historical bytes 80 59
// "CARDSIM-n" 83 <life cycle> 90 00, check byte. The life-cycle byte and the
// check byte change with the card's state and are not compared.
#define CARD_ATR(n)                                                                                        \
    {{0x3B, 0x8F, 0x80, 0x01, 0x80, 0x59, 0x43, 0x41, 0x52, 0x44, 0x53, 0x49, 0x4D, 0x2D, 0x30 + (n), 0x83, \
      0x00, 0x90, 0x00, 0x00},                                                                              \
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,       \
      0x00, 0xFF, 0xFF, 0x00},                                                                              \
     20,                                                                                                    \
     n,                                                                                                     \
     nullptr}

const SCAtrRow kAtrTable[] = {
    CARD_ATR(0), CARD_ATR(1), CARD_ATR(2), CARD_ATR(3), CARD_ATR(4), CARD_ATR(5), CARD_ATR(6), CARD_ATR(7),
};

#undef CARD_ATR

}  // namespace

int scFindCardModelByAtr(const uint8_t* atr, size_t len) {
    if (atr == nullptr) return -1;
    for (const SCAtrRow& row : kAtrTable) {
        if (row.length != len) continue;
        bool match = true;
        for (size_t i = 0; i < len && match; ++i) match = ((atr[i] ^ row.atr[i]) & row.mask[i]) == 0;
        if (match) return static_cast<int>(row.model);
    }
    return -1;
}

SCCard* scNewCardOfModel(uint32_t model, SCReader* reader) {
    switch (model) {
    case SC_CARD_TYPE_GENERIC: return new SCCard(reader);
    case SC_CARD_TYPE_SETCOS441: return new SCCard_SetCOS441(reader);
    case SC_CARD_TYPE_SETCOS43: return new SCCard_SetCOS43(reader);
    case SC_CARD_TYPE_COSMOPOLIC: return new SCCard_CosmopolIC(reader);
    case SC_CARD_TYPE_CLASSIC: return new SCCard_ClassIC(reader);
    case SC_CARD_TYPE_TVX: return new SCCard_TVX(reader);
    case SC_CARD_TYPE_GLOBALPLATFORM: return new SCCard_GlobalPlatform(reader);
    case SC_CARD_TYPE_IAS: return new SCCard_IAS(reader);
    default: return nullptr;
    }
}

SCRESULT scCreateCard(SCReader* reader, SCCard** card) {
    if (card == nullptr) return SC_E_BAD_PARAMS;
    *card = nullptr;
    if (reader == nullptr) return SC_E_BAD_PARAMS;
    uint8_t atr[33];
    uint32_t len = sizeof atr;
    const SCRESULT r = reader->GetATR(atr, &len);
    if (r < 0) return r;
    const int model = scFindCardModelByAtr(atr, len);
    if (model < 0) return SC_E_CARD_UNSUPPORTED;
    try {
        *card = scNewCardOfModel(static_cast<uint32_t>(model), reader);
    } catch (const std::bad_alloc&) {
        return SC_E_NO_MEMORY;
    }
    return *card ? SC_OK : SC_E_CARD_UNSUPPORTED;
}

void scInstallCardFactory() { SCReader::SetCardFactory(&scCreateCard); }
