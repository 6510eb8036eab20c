#include "support/lasting.h"

#include <atomic>

namespace {
// Constant-initialised and trivially destructible: the list outlives every user.
std::atomic<LastingBase*> g_newest{nullptr};
}  // namespace

void LastingBase::Enlist() {
    LastingBase* head = g_newest.load();
    do {
        m_next = head;
    } while (!g_newest.compare_exchange_weak(head, this));
}

void DestroyLastingObjects() {
    for (LastingBase* b = g_newest.exchange(nullptr); b != nullptr;) {
        LastingBase* next = b->m_next;
        b->m_destroy(b);
        b = next;
    }
}
