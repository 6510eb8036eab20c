// The one mutex type of the module (the global lock and each reader record's
// lock) in its three modes chosen from the C_Initialize arguments: no locking,
// the host's four mutex callbacks, or an operating-system mutex. Also the
// thread-creation helper of the reader workers.
#ifndef MIRTAL_PKCS11IMPL_THREAD_H
#define MIRTAL_PKCS11IMPL_THREAD_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "pkcs11impl/cryptoki.h"

class TraceLogger;

class Pkcs11Lock {
 public:
  Pkcs11Lock() = default;
  ~Pkcs11Lock();
  Pkcs11Lock(const Pkcs11Lock&) = delete;
  Pkcs11Lock& operator=(const Pkcs11Lock&) = delete;

  // Chooses the mode; always CKR_OK.
  CK_RV Initialize(const CK_C_INITIALIZE_ARGS* args);
  // Makes the mutex (replacing an existing one).
  CK_RV Create(void* unused = nullptr);
  CK_RV Lock();
  CK_RV Unlock();
  CK_RV Destroy();

  void SetLogger(TraceLogger* logger) { m_logger = logger; }
  TraceLogger* GetLogger() const { return m_logger; }
  void SetId(long id) { m_id = id; }
  long GetId() const { return m_id; }
  bool IsEnabled() const { return m_enabled; }
  bool UsesSystemMutex() const { return m_useSystem; }
  bool IsLocked() const { return m_locked; }
  bool HasMutex() const { return m_mutex != nullptr; }
  // For the holder: a number that stays the same while the lock is held and
  // differs from that of every other hold (each Lock that succeeds counts, also
  // without a mutex, when the host promised a single thread); 0 while it is not held.
  uint64_t GetHoldCount() const { return m_currentHold.load(std::memory_order_relaxed); }

 private:
  void LogLine(const char* function, unsigned level, CK_RV rv) const;

  bool m_enabled = false;
  bool m_useSystem = false;
  // Read by the trace lines of other threads; written only by the holder.
  std::atomic<bool> m_locked{false};
  // The thread that holds the lock: Destroy releases it only for that thread.
  std::atomic<std::thread::id> m_holder{};
  void* m_mutex = nullptr;
  // Atomic: without a mutex (none given yet, or the host promised one thread)
  // calls may still overlap while the module starts or stops.
  std::atomic<uint64_t> m_holds{0};
  std::atomic<uint64_t> m_currentHold{0};
  CK_CREATEMUTEX m_create = nullptr;
  CK_DESTROYMUTEX m_destroy = nullptr;
  CK_LOCKMUTEX m_lock = nullptr;
  CK_UNLOCKMUTEX m_unlock = nullptr;
  TraceLogger* m_logger = nullptr;
  long m_id = 0;
};

// Holds a lock for a scope (the members of the application object take the
// global lock this way, so that every exit releases it).
class Pkcs11LockGuard {
 public:
  explicit Pkcs11LockGuard(Pkcs11Lock& lock) : m_lock(lock) { m_lock.Lock(); }
  ~Pkcs11LockGuard() { m_lock.Unlock(); }
  Pkcs11LockGuard(const Pkcs11LockGuard&) = delete;
  Pkcs11LockGuard& operator=(const Pkcs11LockGuard&) = delete;

 private:
  Pkcs11Lock& m_lock;
};

// Counts the host's calls inside the module, so that C_Finalize tears the
// global lock down only when no call holds it or waits for it: the calls
// already inside finish, and a call that comes while the module closes is
// turned away instead of waiting on a lock that is about to go. Atomics and a
// private condition variable: it works the same whichever locking the host chose.
class CallGate {
 public:
  // False while the module closes (the call must not go on); otherwise the call
  // is counted until Leave.
  bool Enter();
  void Leave();
  // Turns new calls away and waits until every counted call has left.
  void CloseAndDrain();
  void Open() { m_closing.store(false); }

  // One call through the gate for a scope.
  class Pass {
   public:
    explicit Pass(CallGate& gate) : m_gate(gate), m_in(gate.Enter()) {}
    ~Pass() {
      if (m_in) m_gate.Leave();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const { return m_in; }

   private:
    CallGate& m_gate;
    const bool m_in;
  };

 private:
  std::atomic<int> m_inside{0};
  std::atomic<bool> m_closing{false};
  std::mutex m_waitMutex;
  std::condition_variable m_drained;
};

// Counts the host's threads inside any exported function, so that the module's
// end (at exit or unload) can wait for them and turn later calls away before
// they touch anything. Process-wide, in static storage and never destroyed:
// a call that comes after the module's end still finds it.
class ModuleDoor {
 public:
  // False once the module has closed it: the caller answers at once.
  bool Enter();
  void Leave() { m_inside.fetch_sub(1); }
  // Turns every later call away and waits up to boundMs for the calls inside
  // to leave; true when none is left.
  bool CloseAndWait(unsigned boundMs);
  // In a forked child the counts are those of the parent's threads.
  void Reset() {
    m_inside.store(0);
    m_closed.store(false);
  }

 private:
  std::atomic<int> m_inside{0};
  std::atomic<bool> m_closed{false};
};

// 1 with the new thread's identifier stored, 0 when the thread cannot be made.
// ppThread must not be null (assertion).
int CreateThread(pthread_t* ppThread, void* (*startRoutine)(void*), void* argument);

// Operating-system mutex helpers: null on allocation failure; true on success.
pthread_mutex_t* OsMutexCreate();
bool OsMutexLock(pthread_mutex_t* mutex);
bool OsMutexUnlock(pthread_mutex_t* mutex);
bool OsMutexDestroy(pthread_mutex_t* mutex);

#endif
