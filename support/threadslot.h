// One pointer-sized value per thread, kept under a pthread key rather than in a
// thread_local: hosts load and unload the module at run time, and a key leaves
// no dynamic TLS block of an unloaded library in their threads.
#pragma once

#include <pthread.h>

class ThreadSlot {
public:
    ThreadSlot() { m_ok = pthread_key_create(&m_key, nullptr) == 0; }
    ~ThreadSlot() {
        if (m_ok) pthread_key_delete(m_key);
        m_ok = false;
    }
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Without a key (none could be made) Get gives null and Set fails.
    void* Get() const { return m_ok ? pthread_getspecific(m_key) : nullptr; }
    bool Set(void* value) const { return m_ok && pthread_setspecific(m_key, value) == 0; }

private:
    pthread_key_t m_key{};
    bool m_ok = false;
};
