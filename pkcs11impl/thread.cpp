#include "pkcs11impl/thread.h"

#include <chrono>
#include <new>
#include <thread>

#include "pkcs11impl/tracelog.h"
#include "support/vtest.h"

namespace {
const char* TrueFalse(bool b) { return b ? "true" : "false"; }
}  // namespace

Pkcs11Lock::~Pkcs11Lock() {
  if (m_mutex != nullptr) Destroy();
  m_mutex = nullptr;
}

void Pkcs11Lock::LogLine(const char* function, unsigned level, CK_RV rv) const {
  if (m_logger == nullptr) return;
  TraceLog(m_logger, function, level, rv, "ID: %ld (%p), enabled: %s, useSystem: %s, locked: %s", m_id,
           static_cast<const void*>(this), TrueFalse(m_enabled), TrueFalse(m_useSystem), TrueFalse(m_locked));
}

CK_RV Pkcs11Lock::Initialize(const CK_C_INITIALIZE_ARGS* args) {
  if (args == nullptr) {
    m_enabled = false;
  } else if (args->CreateMutex == nullptr || args->DestroyMutex == nullptr || args->LockMutex == nullptr ||
             args->UnlockMutex == nullptr) {
    m_useSystem = true;
    m_enabled = (args->flags & CKF_OS_LOCKING_OK) != 0;
  } else {
    m_enabled = true;
    m_create = args->CreateMutex;
    m_destroy = args->DestroyMutex;
    m_lock = args->LockMutex;
    m_unlock = args->UnlockMutex;
    m_useSystem = (args->flags & CKF_OS_LOCKING_OK) != 0;
  }
  m_locked = false;
  LogLine("Pkcs11Lock::Initialize", TRACE_INSIDE, CKR_OK);
  return CKR_OK;
}

CK_RV Pkcs11Lock::Create(void* /*unused*/) {
  LogLine("Pkcs11Lock::Create", TRACE_STARTING, CKR_OK);
  CK_RV rv = CKR_OK;
  if (m_enabled) {
    if (m_mutex != nullptr) Destroy();
    if (m_useSystem) {
      m_mutex = OsMutexCreate();
      rv = m_mutex != nullptr ? CKR_OK : CKR_GENERAL_ERROR;
    } else {
      void* handle = nullptr;
      rv = m_create(&handle);
      m_mutex = handle;
    }
    m_locked = false;
  }
  LogLine("Pkcs11Lock::Create", rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv);
  return rv;
}

CK_RV Pkcs11Lock::Lock() {
  LogLine("Pkcs11Lock::Lock", TRACE_STARTING, CKR_OK);
  CK_RV rv = CKR_OK;
  if (m_enabled) {
    if (m_mutex == nullptr) {
      rv = CKR_MUTEX_BAD;
    } else if (m_useSystem) {
      rv = OsMutexLock(static_cast<pthread_mutex_t*>(m_mutex)) ? CKR_OK : CKR_CANT_LOCK;
    } else {
      rv = m_lock(m_mutex);
    }
    // Only a lock actually held counts as locked, so that Destroy never
    // releases a mutex that this thread does not own.
    if (rv == CKR_OK) {
      m_locked = true;
      m_holder = std::this_thread::get_id();
    }
  }
  if (rv == CKR_OK) m_currentHold.store(m_holds.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  LogLine("Pkcs11Lock::Lock", rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv);
  return rv;
}

CK_RV Pkcs11Lock::Unlock() {
  LogLine("Pkcs11Lock::Unlock", TRACE_STARTING, CKR_OK);
  CK_RV rv = CKR_OK;
  m_currentHold.store(0, std::memory_order_relaxed);
  if (m_enabled) {
    m_locked = false;
    m_holder = std::thread::id();
    if (m_mutex == nullptr) {
      rv = CKR_MUTEX_BAD;
    } else if (m_useSystem) {
      OsMutexUnlock(static_cast<pthread_mutex_t*>(m_mutex));
    } else {
      rv = m_unlock(m_mutex);
    }
  }
  LogLine("Pkcs11Lock::Unlock", rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv);
  return rv;
}

CK_RV Pkcs11Lock::Destroy() {
  LogLine("Pkcs11Lock::Destroy", TRACE_STARTING, CKR_OK);
  CK_RV rv = CKR_OK;
  if (m_enabled) {
    if (m_mutex == nullptr) {
      rv = CKR_MUTEX_BAD;
    } else if (m_locked && m_holder.load() != std::this_thread::get_id()) {
      // Another thread holds it: neither its release nor the mutex is ours to take.
      rv = CKR_MUTEX_BAD;
    } else {
      if (m_locked) Unlock();
      if (m_useSystem) {
        OsMutexDestroy(static_cast<pthread_mutex_t*>(m_mutex));
      } else {
        rv = m_destroy(m_mutex);
      }
      m_mutex = nullptr;
    }
  }
  LogLine("Pkcs11Lock::Destroy", rv == CKR_OK ? TRACE_COMPLETE : TRACE_ERROR, rv);
  return rv;
}

bool CallGate::Enter() {
  // Counted before the look at the flag (both sequentially consistent), so a
  // closing thread that finds no call inside can be sure none gets past here.
  m_inside.fetch_add(1);
  if (!m_closing.load()) return true;
  Leave();
  return false;
}

void CallGate::Leave() {
  if (m_inside.fetch_sub(1) == 1 && m_closing.load()) {
    std::lock_guard<std::mutex> guard(m_waitMutex);
    m_drained.notify_all();
  }
}

void CallGate::CloseAndDrain() {
  m_closing.store(true);
  std::unique_lock<std::mutex> guard(m_waitMutex);
  m_drained.wait(guard, [this] { return m_inside.load() == 0; });
}

bool ModuleDoor::Enter() {
  // Counted before the look at the flag, as in CallGate::Enter.
  m_inside.fetch_add(1);
  if (!m_closed.load()) return true;
  Leave();
  return false;
}

bool ModuleDoor::CloseAndWait(unsigned boundMs) {
  m_closed.store(true);
  // Only at the module's end: a plain poll, no lock that a call might hold.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (m_inside.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int CreateThread(pthread_t* ppThread, void* (*startRoutine)(void*), void* argument) {
  AssertInvariant(ppThread != nullptr, "pkcs11impl/thread", 31, "ppThread != NULL");
  pthread_t thread;
  if (pthread_create(&thread, nullptr, startRoutine, argument) != 0) return 0;
  *ppThread = thread;
  return 1;
}

pthread_mutex_t* OsMutexCreate() {
  pthread_mutex_t* m = new (std::nothrow) pthread_mutex_t;
  if (m == nullptr) return nullptr;
  if (pthread_mutex_init(m, nullptr) != 0) {
    delete m;
    return nullptr;
  }
  return m;
}

bool OsMutexLock(pthread_mutex_t* mutex) { return mutex != nullptr && pthread_mutex_lock(mutex) == 0; }

bool OsMutexUnlock(pthread_mutex_t* mutex) { return mutex != nullptr && pthread_mutex_unlock(mutex) == 0; }

bool OsMutexDestroy(pthread_mutex_t* mutex) {
  if (mutex == nullptr) return false;
  const bool ok = pthread_mutex_destroy(mutex) == 0;
  delete mutex;
  return ok;
}
