// Locks the reader of a card (a reader transaction) for the length of a scope.
// Transactions nest: a guard inside another on the same reader only counts.
#pragma once

#include "smartcard/sc_errors.h"

class SCCard;
class SCReader;

class SCTransactGuard {
public:
    // Asserts that the card is connected to a reader; with lock set, takes the
    // transaction at once (GetResult tells whether that worked).
    explicit SCTransactGuard(SCCard* card, bool lock = true);
    explicit SCTransactGuard(SCCard& card, bool lock = true) : SCTransactGuard(&card, lock) {}
    // Unlocks when the guard still holds the lock, also when an exception passes.
    ~SCTransactGuard();
    SCTransactGuard(const SCTransactGuard&) = delete;
    SCTransactGuard& operator=(const SCTransactGuard&) = delete;

    // Locks again after Release (nothing when the lock is held).
    SCRESULT Acquire();
    // Unlocks early (nothing when the lock is not held).
    void Release();
    bool IsLocked() const { return m_locked; }
    // Result of the last lock attempt.
    SCRESULT GetResult() const { return m_result; }

private:
    SCReader* m_reader;
    bool m_locked = false;
    SCRESULT m_result = SC_OK;
};
