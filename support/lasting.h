// Process-wide objects of the module that the C++ runtime never destroys.
//
// A host may leave (return from main, call exit) while another of its threads
// is still inside a call, and the runtime destroys function-local statics in
// the reverse order of their construction, before the module's own end has
// had a chance to wait for that call. A Lasting<T> is built on first use like
// any function-local static (`static Lasting<Table> t; return *t;`), but
// has no destructor of its own: the module's end destroys them all, newest
// first (DestroyLastingObjects), once no call is inside, and leaves them to the
// process's end where a call stays inside.
#pragma once

#include <new>
#include <utility>

class LastingBase {
public:
    LastingBase(const LastingBase&) = delete;
    LastingBase& operator=(const LastingBase&) = delete;

protected:
    explicit LastingBase(void (*destroy)(LastingBase*)) : m_destroy(destroy) {}
    // Called by the derived constructor once the object stands.
    void Enlist();

private:
    friend void DestroyLastingObjects();
    void (*m_destroy)(LastingBase*);
    LastingBase* m_next = nullptr;
};

template <class T>
class Lasting : private LastingBase {
public:
    template <class... Args>
    explicit Lasting(Args&&... args) : LastingBase(&Destroy) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
        Enlist();
    }
    T& operator*() { return *Get(); }
    T* operator->() { return Get(); }

private:
    T* Get() { return std::launder(reinterpret_cast<T*>(m_storage)); }
    static void Destroy(LastingBase* base) { static_cast<Lasting*>(base)->Get()->~T(); }

    alignas(T) unsigned char m_storage[sizeof(T)];
};

// Destroys every Lasting object built so far, newest first. Only where no
// thread can still use them: the module's end after its calls have left.
void DestroyLastingObjects();
