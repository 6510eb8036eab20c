// The card object: one per connected card, of the driver class that the card
// factory chose. The reader layer needs only its link to the reader and its ATR;
// the drivers build the card operations on this class.
#pragma once

#include <cstdint>

#include "smartcard/sc_errors.h"

class SCReader;

class SCCard {
public:
    // Takes the reader's current ATR when the reader is connected.
    explicit SCCard(SCReader* reader);
    virtual ~SCCard();
    SCCard(const SCCard&) = delete;
    SCCard& operator=(const SCCard&) = delete;

    SCReader* GetReader() const { return m_pConnectedReader; }
    const uint8_t* GetAtr(uint32_t* len) const {
        if (len) *len = m_atrLen;
        return m_atr;
    }

    // The reader the card is connected through; null once detached.
    SCReader* m_pConnectedReader;

protected:
    uint8_t m_atr[33] = {};
    uint32_t m_atrLen = 0;
};
