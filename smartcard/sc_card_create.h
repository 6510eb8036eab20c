// The card factory: recognises the card model by its answer-to-reset and makes
// the card object of that model's driver. Install it in the reader layer with
// scInstallCardFactory (SCReader::SetCardFactory).
#pragma once

#include <cstddef>
#include <cstdint>

#include "smartcard/sc_errors.h"

class SCCard;
class SCReader;

// One row of the ATR table: the ATR bytes that count (mask bit set) and the model.
struct SCAtrRow {
    uint8_t atr[33];
    uint8_t mask[33];
    uint32_t length;
    uint32_t model;
    const char* name;
};

// The card model of an ATR (0..7), or -1 when no row matches.
int scFindCardModelByAtr(const uint8_t* atr, size_t len);
// A new driver object of a model for the reader; null for an unknown model.
SCCard* scNewCardOfModel(uint32_t model, SCReader* reader);
// The factory (SCCardFactoryFn): SC_E_CARD_UNSUPPORTED and no card for an ATR
// that no row knows.
SCRESULT scCreateCard(SCReader* reader, SCCard** card);
void scInstallCardFactory();
