#include "smartcard/sc_card.h"

#include "smartcard/sc_reader.h"

SCCard::SCCard(SCReader* reader) : m_pConnectedReader(reader) {
    if (reader != nullptr && reader->IsConnected()) {
        uint32_t len = sizeof m_atr;
        if (reader->GetATR(m_atr, &len) == SC_OK) m_atrLen = len;
    }
}

SCCard::~SCCard() = default;
