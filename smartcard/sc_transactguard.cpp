#include "smartcard/sc_transactguard.h"

#include "smartcard/sc_card.h"
#include "smartcard/sc_reader.h"
#include "support/vtest.h"

SCTransactGuard::SCTransactGuard(SCCard* card, bool lock) : m_reader(nullptr) {
    AssertInvariant(card != nullptr && card->m_pConnectedReader != nullptr, "smartcard/sc_transactguard", __LINE__,
                    "card.m_pConnectedReader", "Karta powinna być podłączona z czytnikiem!!!");
    m_reader = card->m_pConnectedReader;
    if (lock) Acquire();
}

SCTransactGuard::~SCTransactGuard() { Release(); }

SCRESULT SCTransactGuard::Acquire() {
    if (m_locked) return SC_OK;
    m_result = m_reader->BeginTransaction();
    m_locked = m_result >= 0;
    return m_result;
}

void SCTransactGuard::Release() {
    if (!m_locked) return;
    m_locked = false;
    m_reader->EndTransaction();
}
