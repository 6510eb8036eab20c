// The reader side of the bridge: start-up and shut-down of the back-ends and
// readers, the worker threads, the card-state check and the token refresh.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "pkcs11impl/scerrmap.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "pkcs15/scpkcs15app.h"
#include "pkcs15/scpkcs15card.h"
#include "smartcard/sc_card.h"
#include "smartcard/sc_card_create.h"
#include "smartcard/sc_fileheader.h"
#include "smartcard/sc_log.h"
#include "smartcard/sc_reader.h"
#include "smartcard/sc_reader_pcsc.h"
#include "support/debuglog.h"
#include "support/vtest.h"

namespace {

const char* TF(bool b) { return b ? "true" : "false"; }

// Reader-layer failures that mean the reader (or its service) went away.
bool IsReaderFailure(SCRESULT r) { return r >= SC_E_NO_READER_SUBSYSTEM && r <= SC_E_READER_NOT_AVAILABLE; }

bool IsReaderGone(SCRESULT r) {
  return r == SC_E_READER_SUBSYSTEM_NOT_RUNNING || r == SC_E_READER_SUBSYSTEM_RESTARTED ||
         r == SC_E_READER_NOT_FOUND || r == SC_E_READER_NOT_AVAILABLE;
}

void SleepMs(unsigned ms) { usleep(ms * 1000u); }

// The worker waits on its reader and every event it counted was acknowledged.
bool WatchIsQuiet(const SCReaderRecord& rec) {
  return rec.command == READER_CMD_WAIT && rec.waiting && rec.state == rec.ackCount;
}

}  // namespace

// ===========================================================================
// Log line

void SCPkcs15Lib::Log(SCRESULT code, const char* format, ...) const {
  if (!LogEnabled()) return;
  va_list ap;
  va_start(ap, format);
  LogV(code, format, ap);
  va_end(ap);
}

void SCPkcs15Lib::LogV(SCRESULT code, const char* format, va_list args) const {
  if (LogEnabled()) WriteLogV(code, format, args);
}

void SCPkcs15Lib::WriteLog(SCRESULT code, const char* format, ...) const {
  va_list ap;
  va_start(ap, format);
  WriteLogV(code, format, ap);
  va_end(ap);
}

void SCPkcs15Lib::WriteLogV(SCRESULT code, const char* format, va_list args) const {
  constexpr size_t kBuffer = 1187;
  char text[kBuffer];
  std::vsnprintf(text, sizeof text, format, args);
  char err[512];
  GetErrorText(code, err, sizeof err);
  const size_t joined = std::strlen("PKCS#15: ") + std::strlen(text) + 2 + std::strlen(err) + 1;
  if (joined < kBuffer)
    DebugLogWrite(100, 0, "%s%s (%s)", "PKCS#15: ", text, err);
  else
    DebugLogWrite(100, 0, "%s%s", "PKCS#15: ", text);
}

void SCPkcs15Lib::TellUnrecognised(CK_SLOT_ID slot, SCPkcs15App* app) const {
  const SCReader* reader = GetSlotReader(slot);
  const SCCard* card = reader != nullptr ? reader->GetCard() : nullptr;
  SCPath df;
  const std::string what = app != nullptr && app->BuildAbsolutePath(&df) >= 0
                               ? "the PKCS#15 application at " + df.Text() + " reads as no token"
                               : std::string("the card shows no PKCS#15 token");
  WriteLog(GetSlotResult(slot), "%s: slot %lu: %s: not recognised; C_InitToken and InitializeCard take a blank card as "
           "issued and this module's tokens only", card != nullptr ? card->GetCardName() : "", static_cast<unsigned long>(slot),
           what.c_str());
}

SCRESULT SCPkcs15Lib::TellTakenBack(uint32_t reader, const SCCard* card, SCRESULT why, bool sent, bool wrote,
                                    const TakeBack& back) {
  char reason[256];
  (void)GetErrorText(why, reason, sizeof reason);
  // Nothing carried out, nor left in doubt by a card that stopped answering: nothing was made.
  if (!wrote && !(sent && back.stopped)) {
    AppendReaderMessage(reader, reason, false);
    return why;
  }
  std::string pins;
  for (uint8_t ref : back.kept) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(ref));
    pins += (pins.empty() ? back.kept.size() > 1 ? "PINs " : "PIN " : ", ") + std::string(hex);
  }
  const bool one = back.kept.size() == 1;
  std::string text = std::string("a step of the initialisation failed") + (wrote ? " after the call wrote to the card" : "") +
                     " (" + reason + ")";
  if (back.stopped)
    text += ": the card stopped answering: what the call made may stand, the next initialisation takes it";
  else if (back.whole && back.kept.empty())
    text += ": what it made was removed again, the card is as it was";
  else
    text += std::string(": what it made was removed where the card let it") +
            (pins.empty() ? "" : "; " + pins + " it made " + (one ? "stands, its value kept" : "stand, their values kept"));
  // A card that refused the step under its rules answers as a refusal does, so that its
  // reason, not the bare access denial, is what GetLastErrorString gives.
  return Tell(reader, card, why, text, MapScErrorToCkr(why, false) == CKR_USER_NOT_LOGGED_IN);
}

SCRESULT SCPkcs15Lib::Refuse(uint32_t reader, const SCCard* card, const std::string& what) {
  return Tell(reader, card, SC_E_ACCESS_DENIED,
              what + ": the card is refused as it is (its owner clears that first), nothing changed", true);
}

SCRESULT SCPkcs15Lib::Tell(uint32_t reader, const SCCard* card, SCRESULT why, const std::string& text, bool refused) {
  // The administrator reads why in the trace whenever it is written, whatever the flag word says.
  WriteLog(why, "%s: %s", card != nullptr ? card->GetCardName() : "", text.c_str());
  (void)AppendReaderMessage(reader, (text + "\n").c_str(), false);
  if (refused) m_refusedReader = reader;
  return why;
}

uint32_t SCPkcs15Lib::ProtocolRequest() const {
  uint32_t request = 0;
  if (m_pkcs15Flags & 0x2)
    request = 0x10;
  else if (m_pkcs15Flags & 0x1)
    request = 0x20;
  if (m_pkcs15Flags & 0x10) request |= 0x40;
  return request;
}

void SCPkcs15Lib::SetPkcs15Flags(uint32_t word) {
  const uint32_t old = m_pkcs15Flags;
  m_pkcs15Flags = word;
  SCReaderPcsc::SetTraceEnabled((word & PKCS15_FLAG_PCSC_TRACE) != 0);
  SCReaderDravok::SetTraceEnabled((word & PKCS15_FLAG_SIM_TRACE) != 0);
  if (m_initialized && old != word) {
    ReadTokenList();
    const bool on = (word & PKCS15_FLAG_STATE_BITS) != 0;
    if (m_pAppTable != nullptr)
      for (uint32_t s = 0; s < m_slotCount; ++s) {
        SCPkcs15App* app = m_pAppTable[s];
        if (app == nullptr) continue;
        if (on)
          app->SetFlagBits(SCPkcs15App::FLAG_NO_OTHER_APPS_B);
        else
          app->ClearFlagBits(SCPkcs15App::FLAG_NO_OTHER_APPS_B);
      }
    if (m_pkcs15Cards != nullptr) {
      for (uint32_t r = 0; r < m_readerCount; ++r) {
        SCPkcs15Card* card = m_pkcs15Cards[r];
        if (card == nullptr) continue;
        const uint32_t options = card->GetOptions();
        card->SetOptions(on ? (options | 0x1u) : (options & ~0x1u));
      }
    }
  }
}

uint32_t SCPkcs15Lib::CardLogMaskFromFlags(uint32_t word) {
  uint32_t mask = 0;
  if (word & 0x1000) mask |= SC_LOG_CARD_RESULTS;
  if (word & 0x2000) mask |= SC_LOG_FILE_SELECTION;
  if (word & 0x4000) mask |= SC_LOG_SECURITY_ENV;
  if (word & 0x8000) mask |= SC_LOG_SECURE_MESSAGING;
  if (word & 0x800) mask |= SC_LOG_PIN_STATE;
  return mask;
}

// ===========================================================================
// Tables

SCRESULT SCPkcs15Lib::AllocateTables(uint32_t readers, uint32_t tokensPerReader) {
  ReleaseTables();
  if (readers == 0) return SC_OK;
  const size_t slots = static_cast<size_t>(readers) * tokensPerReader;
  m_readers = new (std::nothrow) SCReader*[readers]();
  m_pAppTable = new (std::nothrow) SCPkcs15App*[slots]();
  m_slotResults = new (std::nothrow) SCRESULT[slots]();
  m_slotMessages = new (std::nothrow) char*[slots]();
  m_pkcs15Cards = new (std::nothrow) SCPkcs15Card*[readers]();
  m_cardIds = new (std::nothrow) SCFileHeader*[readers]();
  m_serialNumbers = new (std::nothrow) SCSerialNumber[readers]();
  m_readerFlags = new (std::nothrow) uint32_t[readers]();
  if (!m_readers || !m_pAppTable || !m_slotResults || !m_slotMessages || !m_pkcs15Cards || !m_cardIds ||
      !m_serialNumbers || !m_readerFlags) {
    ReleaseTables();
    return SC_E_NO_MEMORY;
  }
  m_readerCapacity = readers;
  return SC_OK;
}

bool SCPkcs15Lib::ResetsWhenLeaving(uint32_t reader) const {
  if (reader >= m_readerCapacity) return false;
  if (m_readers != nullptr && m_readers[reader] != nullptr && m_readers[reader]->ResetOwed()) return true;
  return LoginKeepsPins(reader);
}

bool SCPkcs15Lib::LoginKeepsPins(uint32_t reader) const {
  // Asked of the card object's own applications: a slot's entry may still name one
  // that a deletion just destroyed, until the next refresh clears it.
  const SCPkcs15Card* p15 = m_pkcs15Cards != nullptr && reader < m_readerCapacity ? m_pkcs15Cards[reader] : nullptr;
  for (int32_t i = 0; p15 != nullptr && i < p15->GetApplicationCount(); ++i) {
    const SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    if (app != nullptr && app->KeepsPins()) return true;
  }
  return false;
}

void SCPkcs15Lib::ReleaseTables() {
  std::vector<bool> login(m_readerCapacity);
  for (uint32_t r = 0; r < m_readerCapacity; ++r) login[r] = ResetsWhenLeaving(r);
  m_checkMemo.clear();
  m_agreedChannels.clear();
  ClearSlotApps(-1, true);
  ClearSlotResults(-1, true);
  ClearSlotMessages(-1, true);
  ClearPkcs15Cards(-1, true);
  ClearCardIds(-1, true);
  ClearSerialNumbers(-1, true);
  ClearReaderFlags(-1, true);
  if (m_readers != nullptr) {
    for (uint32_t i = 0; i < m_readerCapacity; ++i) {
      if (m_readers[i] == nullptr) continue;
      m_readers[i]->Disconnect(login[i] ? SC_DISPOSITION_RESET : SC_DISPOSITION_LEAVE);
      delete m_readers[i];
    }
    delete[] m_readers;
    m_readers = nullptr;
  }
  m_readerCapacity = 0;
  m_readerCount = 0;
  m_slotCount = 0;
}

// ===========================================================================
// Start-up and shut-down

SCRESULT SCPkcs15Lib::InitLib(const CK_C_INITIALIZE_ARGS* initArgs, uint32_t maxTokenCount) {
  if (m_initialized) return SC_OK;

  // Step 2: trace switches and the card layer's log mask; back-ends left from before.
  SCReaderPcsc::SetTraceEnabled((m_pkcs15Flags & PKCS15_FLAG_PCSC_TRACE) != 0);
  SCReaderDravok::SetTraceEnabled((m_pkcs15Flags & PKCS15_FLAG_SIM_TRACE) != 0);
  scSetLogMask(CardLogMaskFromFlags(m_pkcs15Flags));
  SCReader::UnloadBackends();
  scInstallCardFactory();

  // Step 3: the active back-ends.
  if (!SCReader::SetReaderTypes(m_enabledReaderSubsystems)) {
    Log(SC_E_PKCS15_BAD_READER_SUBSYSTEM,
        "SCPkcs15Lib::InitLib: niepoprawnie ustawiona lista aktywnych podsystemów czytników kart: %s",
        m_enabledReaderSubsystems ? m_enabledReaderSubsystems : "<null>");
    return SC_E_PKCS15_BAD_READER_SUBSYSTEM;
  }
  const bool fatal = (m_pkcs15Flags & PKCS15_FLAG_LOAD_FAILURES_FATAL) != 0;

  // Step 4: the PC/SC library.
  if (SCReader::IsReaderTypeEnabled(SCReaderPcsc::BACKEND_NAME)) {
    const SCRESULT rc = SCReaderPcsc::LoadPcscFunctions(m_pcscLibrary);
    if (rc < 0) {
      Log(rc, "SCPkcs15Lib::InitLib: Błąd przy wczytywaniu biblioteki PC/SC '%s': %s",
          m_pcscLibrary ? m_pcscLibrary : "<default>", SCReaderPcsc::GetLoadError().c_str());
      if (fatal) {
        SCReader::UnloadBackends();
        return rc;
      }
    }
  }

  // Step 5: the simulator library, "path;prefix" split at the last ';'.
  if (SCReader::IsReaderTypeEnabled(SCReaderDravok::BACKEND_NAME)) {
    char* copy = nullptr;
    if (!SetStringOption(&copy, m_dravokLibrary ? m_dravokLibrary : "")) {
      Log(SC_E_NO_MEMORY, "SCPkcs15Lib::InitLib: Błąd przy wczytywaniu biblioteki Dravok: %s",
          m_dravokLibrary ? m_dravokLibrary : "<null>");
      SCReader::UnloadBackends();
      return SC_E_NO_MEMORY;
    }
    char* semi = std::strrchr(copy, ';');
    const char* prefix = "";
    if (semi != nullptr) {
      *semi = '\0';
      prefix = semi + 1;
    }
    const SCRESULT rc = SCReaderDravok::LoadDravokFunctions(*copy ? copy : nullptr, prefix);
    if (rc < 0) {
      Log(rc, "SCPkcs15Lib::InitLib: Błąd przy wczytywaniu biblioteki Dravok '%s': %s", copy,
          SCReaderDravok::GetLoadError().c_str());
    }
    delete[] copy;
    if (rc < 0 && fatal) {
      SCReader::UnloadBackends();
      return rc;
    }
  }

  // Step 6: the reader names; an empty or unreachable list is asked again on a
  // fresh connection (mode 2), then with a wait (mode 1).
  char* names = nullptr;
  uint32_t mode = SC_LIST_NORMAL;
  SCRESULT rc = SCReader::GetReaderList(&names, mode);
  auto emptyOrDown = [&](SCRESULT r) {
    return r == SC_E_READER_SUBSYSTEM_NOT_RUNNING || (r >= 0 && (names == nullptr || names[0] == '\0'));
  };
  if (emptyOrDown(rc)) {
    Log(rc, "SCPkcs15Lib::InitLib: %04x", mode);
    SCReader::FreeReaderList(names);
    names = nullptr;
    mode = SC_LIST_FRESH;
    rc = SCReader::GetReaderList(&names, mode);
    if (emptyOrDown(rc)) {
      Log(rc, "SCPkcs15Lib::InitLib: %04x", mode);
      SCReader::FreeReaderList(names);
      names = nullptr;
      mode = SC_LIST_WAIT;
      rc = SCReader::GetReaderList(&names, mode);
    }
  }
  if (rc < 0) {
    Log(rc, "SCPkcs15Lib::InitLib: %04x", mode);
    SCReader::FreeReaderList(names);
    names = nullptr;
    if (fatal) {
      SCReader::UnloadBackends();
      return rc;
    }
  }

  // Step 7: tokens per reader and the tables.
  m_tokensPerReader = (maxTokenCount >= 1 && maxTokenCount <= 20) ? maxTokenCount : PKCS15_DEFAULT_TOKENS_PER_READER;
  uint32_t nameCount = 0;
  for (const char* p = names; p != nullptr && *p; p += std::strlen(p) + 1) ++nameCount;
  rc = AllocateTables(nameCount, m_tokensPerReader);
  if (rc < 0) {
    SCReader::FreeReaderList(names);
    SCReader::UnloadBackends();
    return rc;
  }

  // Step 8: no reader at all.
  if (nameCount == 0) {
    SCReader::FreeReaderList(names);
    m_readerCount = 0;
    m_slotCount = 0;
    m_initialized = 1;
    return SC_OK;
  }

  // Step 9: one reader object per allowed reader.
  uint32_t made = 0;
  for (const char* p = names; *p; p += std::strlen(p) + 1) {
    SCReader* reader = nullptr;
    const SCRESULT cr = SCReader::CreateReader(p, &reader, mode);
    if (cr < 0 || reader == nullptr) {
      delete reader;
      if (cr == SC_E_READER_NOT_FOUND || cr == SC_E_READER_NOT_AVAILABLE || cr >= 0) continue;
      Log(cr, "SCPkcs15Lib::InitLib: reader '%s'", p);
      SCReader::FreeReaderList(names);
      m_readerCount = made;
      ReleaseTables();
      SCReader::UnloadBackends();
      return cr;
    }
    if (CheckAllowedReader(reader) == SC_E_PKCS15_IGNORE_READER) {
      delete reader;
      continue;
    }
    m_readers[made++] = reader;
  }
  SCReader::FreeReaderList(names);
  m_readerCount = made;
  m_slotCount = made * m_tokensPerReader;

  // Steps 10 to 14: the workers.
  if ((m_pkcs15Flags & PKCS15_FLAG_WORKER_THREADS) != 0 && made > 0) {
    rc = StartWorkers(initArgs);
    if (rc < 0) {
      // A failed start leaves nothing running and nothing allocated.
      StopWorkers();
      ReleaseTables();
      SCReader::UnloadBackends();
      return rc;
    }
  }
  m_initialized = 1;
  return SC_OK;
}

SCRESULT SCPkcs15Lib::StartWorkers(const CK_C_INITIALIZE_ARGS* initArgs) {
  CK_C_INITIALIZE_ARGS osArgs;
  std::memset(&osArgs, 0, sizeof osArgs);
  osArgs.flags = CKF_OS_LOCKING_OK;
  const CK_C_INITIALIZE_ARGS* lockArgs = &osArgs;
  if (initArgs != nullptr) {
    if (initArgs->flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) return SC_E_PKCS15_NEED_CREATE_THREADS;
    if ((initArgs->flags & CKF_OS_LOCKING_OK) == 0 &&
        (initArgs->CreateMutex == nullptr || initArgs->DestroyMutex == nullptr || initArgs->LockMutex == nullptr ||
         initArgs->UnlockMutex == nullptr))
      return SC_E_PKCS15_CANT_LOCK;
    lockArgs = initArgs;
  }
  m_records = new (std::nothrow) SCReaderRecord[m_readerCount];
  if (m_records == nullptr) return SC_E_NO_MEMORY;
  m_recordCount = m_readerCount;

  for (uint32_t i = 0; i < m_recordCount; ++i) {
    SCReaderRecord& rec = m_records[i];
    if (!SetStringOption(&rec.readerName, m_readers[i]->GetName())) return SC_E_NO_MEMORY;
    rec.lock.SetLogger(m_recordLockLogger);
    rec.lock.SetId(static_cast<long>(m_recordLockIdBase + i));
    if (rec.lock.Initialize(lockArgs) != CKR_OK || rec.lock.Create() != CKR_OK) return SC_E_PKCS15_CANT_LOCK;
    rec.lock.Lock();
    rec.command = READER_CMD_CHECK;
    pthread_t thread;
    const bool started = CreateThread(&thread, ReaderWorkerThread, &rec) != 0;
    if (started) {
      rec.thread = thread;
      rec.hasThread = true;
    }
    rec.lock.Unlock();
    if (!started) return SC_E_NO_MEMORY;

    uint32_t command;
    for (;;) {
      rec.lock.Lock();
      command = rec.command;
      rec.lock.Unlock();
      if (command != READER_CMD_CHECK) break;
      SleepMs(1);
    }
    if (command == READER_CMD_EXIT || command == READER_CMD_FAILED) {
      // The worker ended by itself: join it, so that no thread is left behind.
      pthread_join(rec.thread, nullptr);
      rec.hasThread = false;
      Log(rec.lastResult, "SCPkcs15Lib::InitLib: reader worker of '%s' ended", rec.readerName);
    } else if (command == READER_CMD_IDLE) {
      rec.lock.Lock();
      rec.ackCount = rec.state;
      rec.command = READER_CMD_WAIT;
      rec.lock.Unlock();
    } else {
      AssertInvariant(false, "pkcs11impl/scpkcs15lib", 1013, "0");
    }
  }
  return SC_OK;
}

void SCPkcs15Lib::StopWorkers() {
  if (m_records == nullptr) return;
  HaltWorkers();
  for (uint32_t i = 0; i < m_recordCount; ++i)
    if (m_records[i].lock.HasMutex()) m_records[i].lock.Destroy();
  delete[] m_records;
  m_records = nullptr;
  m_recordCount = 0;
}

void SCPkcs15Lib::HaltWorkers() {
  if (m_records == nullptr) return;
  // Every worker is told first, so that their last waits run side by side.
  for (uint32_t i = 0; i < m_recordCount; ++i) {
    SCReaderRecord& rec = m_records[i];
    if (!rec.hasThread) continue;
    rec.lock.Lock();
    rec.command = READER_CMD_EXIT;
    rec.lock.Unlock();
  }
  // Joined outside the records' locks: a worker takes its lock on its way out.
  for (uint32_t i = 0; i < m_recordCount; ++i) {
    SCReaderRecord& rec = m_records[i];
    if (!rec.hasThread) continue;
    pthread_join(rec.thread, nullptr);
    rec.hasThread = false;
  }
}

void SCPkcs15Lib::LeaveWithCallsInside() {
  HaltWorkers();
  for (uint32_t r = 0; m_readers != nullptr && r < m_readerCapacity; ++r) {
    if (m_readers[r] == nullptr || !ResetsWhenLeaving(r)) continue;
    const SCRESULT rv = m_readers[r]->ResetUnderCall();
    char err[512];
    DebugLogWrite(1, 0, "PKCS#15: reader %u: the module ends with a call still under way: the card is reset (%s)",
                  static_cast<unsigned>(r), GetErrorText(rv, err, sizeof err));
  }
}

SCRESULT SCPkcs15Lib::DeInitLib() {
  StopWorkers();
  ReleaseTables();
  if (m_initialized) SCReader::UnloadBackends();
  m_readerCount = 0;
  m_slotCount = 0;
  m_initialized = 0;
  return SC_OK;
}

bool SCPkcs15Lib::GetReaderRecordState(uint32_t reader, uint32_t* command, uint32_t* state, uint32_t* ackCount,
                                       SCRESULT* lastResult, bool* hasThread) {
  if (m_records == nullptr || reader >= m_recordCount) return false;
  SCReaderRecord& rec = m_records[reader];
  rec.lock.Lock();
  if (command) *command = rec.command;
  if (state) *state = rec.state;
  if (ackCount) *ackCount = rec.ackCount;
  if (lastResult) *lastResult = rec.lastResult;
  rec.lock.Unlock();
  if (hasThread) *hasThread = rec.hasThread;
  return true;
}

// ===========================================================================
// The worker

void* ReaderWorkerThread(void* thParam) {
  AssertInvariant(thParam != nullptr, "pkcs11impl/scpkcs15lib", 1101, "thParam != NULL");
  SCReaderRecord* rec = static_cast<SCReaderRecord*>(thParam);
  AssertInvariant(rec->readerName != nullptr, "pkcs11impl/scpkcs15lib", 1102, "thParam->readerName != NULL");
  SCReader* reader = nullptr;
  auto finish = [&](void* code) {
    delete reader;
    return code;
  };
  for (;;) {
    rec->lock.Lock();
    const uint32_t command = rec->command;
    rec->waiting = command == READER_CMD_WAIT && reader != nullptr;
    rec->lock.Unlock();
    switch (command) {
      case READER_CMD_IDLE:
        SleepMs(100);
        break;
      case READER_CMD_CHECK: {
        rec->lock.Lock();
        rec->command = READER_CMD_CHECK;
        delete reader;
        reader = nullptr;
        SCRESULT rc = SCReader::CreateReader(rec->readerName, &reader, SC_LIST_NORMAL);
        if (rc >= 0 && reader != nullptr) rc = reader->Init(0);
        if (rc >= 0 && reader != nullptr) rc = reader->CheckForChange(SC_CHECK_ACKNOWLEDGE);
        if (rc < 0 || reader == nullptr) {
          rec->lastResult = rc < 0 ? rc : SC_OK;
          rec->command = READER_CMD_FAILED;
          rec->lock.Unlock();
          return finish(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(rc))));
        }
        const uint32_t bits = static_cast<uint32_t>(rc) & 0x3;
        rec->state = bits == 1 ? 1 : (bits == 3 ? 3 : 0);
        rec->lastResult = SC_OK;
        if (rec->command == READER_CMD_FAILED) {
          rec->lock.Unlock();
          return finish(reinterpret_cast<void*>(~static_cast<uintptr_t>(0)));
        }
        rec->command = READER_CMD_IDLE;
        rec->lock.Unlock();
        break;
      }
      case READER_CMD_EXIT:
        return finish(nullptr);
      case READER_CMD_WAIT: {
        if (reader == nullptr) {
          rec->lock.Lock();
          rec->lastResult = SC_F_INTERNAL_ERROR;
          rec->command = READER_CMD_FAILED;
          rec->lock.Unlock();
          return finish(reinterpret_cast<void*>(static_cast<uintptr_t>(1000)));
        }
        const SCRESULT rc = reader->WaitForChange(400);
        if (rc == SC_E_TIMEOUT) break;
        rec->lock.Lock();
        if (rc < 0) {
          rec->lastResult = rc;
          rec->waiting = false;
          // An exit asked meanwhile must not be overwritten, or the join would wait forever.
          if (rec->command == READER_CMD_WAIT) rec->command = READER_CMD_IDLE;
        } else {
          ++rec->state;
        }
        rec->lock.Unlock();
        break;
      }
      case READER_CMD_FAILED:
        return finish(reinterpret_cast<void*>(~static_cast<uintptr_t>(0)));
      default:
        AssertInvariant(false, "pkcs11impl/scpkcs15lib", 1180, "0");
        SleepMs(100);
        break;
    }
  }
}

// ===========================================================================
// Allowed readers

SCRESULT SCPkcs15Lib::CheckAllowedReader(SCReader* reader) const {
  if (reader == nullptr) return SC_E_BAD_PARAMS;
  const ReaderOptions* options = nullptr;
  const SCRESULT allowed = CheckAllowedReaderName(reader->GetName(), &options);
  if (allowed == SC_E_PKCS15_IGNORE_READER) return allowed;
  if (options != nullptr) reader->SetOptions(options->options, options->limits);
  return reader->Init(0);
}

// ===========================================================================
// Card state

bool SCPkcs15Lib::IsReaderWatched(uint32_t r) const {
  if (m_records == nullptr || r >= m_recordCount || !m_records[r].hasThread || r >= m_readerCount) return false;
  const SCReader* reader = m_readers[r];
  if (reader == nullptr || !reader->IsServiceRemote() || reader->GetAcknowledgedState() < 0) return false;
  SCReaderRecord& rec = m_records[r];
  rec.lock.Lock();
  const bool quiet = WatchIsQuiet(rec);
  rec.lock.Unlock();
  return quiet;
}

bool SCPkcs15Lib::ReadWorkerEvents(uint32_t r, uint32_t* events, bool* quiet) {
  if (m_records == nullptr || r >= m_recordCount || !m_records[r].hasThread) return false;
  SCReaderRecord& rec = m_records[r];
  rec.lock.Lock();
  *events = rec.state;
  *quiet = WatchIsQuiet(rec);
  // A check asked for below is done: the worker's view starts from it, older
  // than the poll this call makes, so waiting from there misses nothing.
  if (rec.command == READER_CMD_IDLE && rec.lastResult >= 0) rec.command = READER_CMD_WAIT;
  rec.lock.Unlock();
  return true;
}

void SCPkcs15Lib::AcknowledgeWorkerEvents(uint32_t r, uint32_t events) {
  if (m_records == nullptr || r >= m_recordCount || !m_records[r].hasThread) return;
  SCReaderRecord& rec = m_records[r];
  rec.lock.Lock();
  rec.ackCount = events;
  // The wait failed (the reader or its service went away) and our poll works
  // again: the worker makes its reader anew and checks it.
  if (rec.command == READER_CMD_IDLE && rec.lastResult < 0) rec.command = READER_CMD_CHECK;
  rec.lock.Unlock();
}

void SCPkcs15Lib::CleanReader(uint32_t r) {
  if (r < m_readAsPkcs15.size()) m_readAsPkcs15[r] = 0;
  // A login of this process holds a PIN on the card: it goes with a reset (mute, or
  // held by another program, the card still holds it), unless PC/SC reports the
  // card taken out or reset since, when it holds nothing of ours any more.
  uint32_t disposition = SC_DISPOSITION_LEAVE;
  if (LoginKeepsPins(r) && m_readers[r] != nullptr && m_readers[r]->IsConnected()) {
    const SCRESULT now = m_readers[r]->CheckCardState();
    if (now != SC_E_CARD_REMOVED && now != SC_E_NO_SMARTCARD && now != SC_E_CARD_WAS_RESET)
      disposition = SC_DISPOSITION_RESET;
  }
  ClearSlotApps(static_cast<int>(r), false);
  ClearSlotResults(static_cast<int>(r), false);
  ClearSlotMessages(static_cast<int>(r), false);
  ClearPkcs15Cards(static_cast<int>(r), false);
  ClearCardIds(static_cast<int>(r), false);
  ClearSerialNumbers(static_cast<int>(r), false);
  if (m_readers[r] != nullptr) m_readers[r]->Disconnect(disposition);
}

SCRESULT SCPkcs15Lib::CheckCardStateAndReconnectIfNeeded(uint32_t r) {
  if (!m_initialized) return SC_E_PKCS15_LIB_NOT_INITIATED;
  if (r >= m_readerCount || m_readers == nullptr || m_readers[r] == nullptr) return SC_E_READER_NOT_AVAILABLE;
  SCReader* reader = m_readers[r];
  const int ri = static_cast<int>(r);

  // Checked already in this call, the card left connected and nothing done to it
  // since: the reader would tell nothing the call did not know when it began.
  const uint64_t call = m_callLock != nullptr ? m_callLock->GetHoldCount() : 0;
  if (m_checkMemo.size() < m_readerCount) m_checkMemo.resize(m_readerCount);
  CheckMemo& memo = m_checkMemo[r];
  if (call != 0 && memo.callHold == call && memo.changeCount == reader->GetChangeCount() && reader->IsConnected()) {
    Log(SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) checked in this call", ri);
    return 0;
  }
  memo = CheckMemo();

  const bool wasInited = reader->IsInitialized();
  const bool wasConnected = reader->IsConnected();
  bool needClean = false, needConnect = false, needReaderInit = false, needReaderDeInit = false;
  bool initFailed = false;
  SCRESULT rv = SC_OK;
  SCRESULT state;
  // The worker's event count before any poll of ours: what a poll shows is at
  // least that new, so it is the count this call may acknowledge.
  uint32_t seen = 0;
  bool quiet = false;
  const bool watched = ReadWorkerEvents(r, &seen, &quiet);
  bool polled = false;
  const SCRESULT known = watched && quiet && reader->IsServiceRemote() ? reader->GetAcknowledgedState() : SC_E_BAD_USAGE;
  if (wasInited && known >= 0) {
    // The worker waits on the reader service and has seen nothing since the last
    // poll: the service has reported no change, so the last poll's answer stands.
    state = known;
    Log(SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) watched state: %08x", ri, static_cast<unsigned>(state));
  } else if (wasInited) {
    state = reader->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    polled = state >= 0;
    Log(state < 0 ? state : SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) get state: %08x", ri,
        static_cast<unsigned>(state));
  } else {
    Log(SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) reader init (wasn't inited)", ri);
    state = reader->Init(0);
    if (state >= 0) {
      state = reader->CheckForChange(SC_CHECK_ACKNOWLEDGE);
      polled = state >= 0;
      if (state >= 0) state |= SC_CARDSTATE_CHANGED;
    } else {
      initFailed = true;
      if (state == SC_E_BAD_USAGE) needReaderDeInit = true;
    }
  }

  uint32_t readerState = state >= 0 ? static_cast<uint32_t>(state) : 0;
  if (state < 0) {
    rv = state;
    if (IsReaderGone(state)) {
      needClean = true;
      if (wasInited && !initFailed) {
        needReaderDeInit = true;
        needReaderInit = true;
      }
    }
  } else if ((readerState & 0x3) == SC_CARDSTATE_PRESENT) {
    if (readerState & SC_CARDSTATE_CHANGED) {
      needConnect = true;
      needClean = wasConnected;
    } else if (!wasConnected) {
      readerState |= SC_CARDSTATE_CHANGED;
      needConnect = true;
    }
    // A connected card that did not change is not asked again here: the reader
    // state covers removal, insertion and a mute card, and a reset by another
    // application is taken back when the next card work begins its transaction
    // (SCReader::BeginTransaction). One reader-state query per check, at most.
  } else {
    rv = (readerState & SC_CARDSTATE_MUTE) ? SC_E_CARD_UNSUPPORTED : SC_E_NO_SMARTCARD;
    needClean = wasConnected;
  }
  const bool stateChanged = state >= 0 && (readerState & SC_CARDSTATE_CHANGED) != 0;
  // A card seen gone from its reader (not a reset) needs no channel any more;
  // so too one taken out while no call looked, which the connection made to it
  // reports (another card, of the same ATR perhaps, may stand there now).
  if (rv == SC_E_NO_SMARTCARD || (state < 0 && IsReaderGone(state)) ||
      (stateChanged && wasConnected && HasAgreedChannel(r) && reader->IsConnected() &&
       reader->CheckCardState() == SC_E_CARD_REMOVED))
    ForgetAgreedChannel(r);

  Log(rv, "SCPkcs15Lib::CheckCardState...(reader %d) need init: %d, need deinit:%d", ri, needReaderInit ? 1 : 0,
      needReaderDeInit ? 1 : 0);

  if (needClean) {
    Log(rv, "SCPkcs15Lib::CheckCardState...(reader %d) CARD disconnect and clean data", ri);
    CleanReader(r);
    ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED | READER_FLAG_UNUSABLE | READER_FLAG_NOT_WRITABLE |
                           READER_FLAG_NOT_ACTIVATED);
  }
  if (needReaderDeInit) {
    Log(rv, "SCPkcs15Lib::CheckCardState...(reader %d) reader release", ri);
    reader->Release();
  }
  bool reinitSeesCard = false;
  if (needReaderInit) {
    Log(rv, "SCPkcs15Lib::CheckCardState...(reader %d) reader (re)init", ri);
    SCRESULT rc = reader->Init(0);
    if (rc >= 0) rc = reader->CheckForChange(SC_CHECK_ACKNOWLEDGE);
    polled = rc >= 0;
    if (rc < 0) {
      rv = rc;
    } else if ((rc & 0x3) == SC_CARDSTATE_PRESENT) {
      reinitSeesCard = true;
      rv = SC_OK;
    } else {
      rv = (rc & SC_CARDSTATE_MUTE) ? SC_E_CARD_UNSUPPORTED : SC_E_NO_SMARTCARD;
    }
  }

  // Every event the worker had counted before the poll is in what the poll saw,
  // and handled now; events it counts from here on wait for the next call.
  if (polled && watched) AcknowledgeWorkerEvents(r, seen);

  if ((needConnect && rv >= 0) || reinitSeesCard) {
    Log(SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) CARD connect", ri);
    const SCRESULT rc = reader->Connect(ProtocolRequest());
    if (rc == SC_E_CARD_IS_USED || rc == SC_E_CARD_PROTO_MISMATCH || rc == SC_E_NO_SMARTCARD ||
        rc == SC_E_CARD_REMOVED || rc == SC_E_NO_MEMORY || IsReaderFailure(rc))
      rv = rc;
    else if (rc < 0 || reader->GetCard() == nullptr)
      rv = SC_E_CARD_UNSUPPORTED;
  } else if (rv >= 0 && reader->IsConnected() && reader->ResetOwed()) {
    // A reset the card is owed comes before anything else this call sends it; the
    // logins of this process on it are verified again, as after the quiet reset
    // at a call's end (a connection makes it itself: no login stands there yet).
    Log(SC_OK, "SCPkcs15Lib::CheckCardState...(reader %d) CARD reset owed", ri);
    const SCRESULT rc = ResetKeepingLogins(r);
    if (rc < 0) rv = rc;
  }

  Log(rv,
      "SCPkcs15Lib::CheckCardStateAndReconnectIfNeeded(reader=%d), readerState: %08x, wasConnected: %s, "
      "bNeedClean: %s, bNeedConnect: %s, bNeedReaderInit: %s, bNeedReaderDeInit: %s, stateChanged: %s, rv=%08x",
      ri, readerState, TF(wasConnected), TF(needClean), TF(needConnect), TF(needReaderInit), TF(needReaderDeInit),
      TF(stateChanged), static_cast<unsigned>(rv));
  if (rv < 0) return rv;
  if (reader->IsConnected()) {
    memo.callHold = call;
    memo.changeCount = reader->GetChangeCount();
  }
  if (!wasConnected) return 1;
  return (stateChanged || needClean) ? 2 : 0;
}

// ===========================================================================
// Token refresh

SCRESULT SCPkcs15Lib::RefreshTokenInfo(CK_SLOT_ID slot, int readProfile, int force) {
  if (!m_initialized) return SC_E_PKCS15_LIB_NOT_INITIATED;
  if (slot >= m_slotCount || m_tokensPerReader == 0) return SC_E_PKCS15_INVALID_HANDLE;
  const uint32_t r = static_cast<uint32_t>(slot / m_tokensPerReader);
  ClearReaderFlag(r, READER_FLAG_NOT_WRITABLE | READER_FLAG_UNUSABLE);
  return RefreshAfterCheck(slot, readProfile, force, CheckCardStateAndReconnectIfNeeded(r));
}

SCRESULT SCPkcs15Lib::RefreshAfterCheck(CK_SLOT_ID slot, int readProfile, int force, SCRESULT rv) {
  const uint32_t r = static_cast<uint32_t>(slot / m_tokensPerReader);
  const int si = static_cast<int>(slot);
  if (rv < 0 || rv > 2) {
    if (rv == SC_E_CARD_UNSUPPORTED || rv == SC_E_CARD_INCORRECTLY_INITIALIZED || rv == SC_E_CARD_IS_USED ||
        rv == SC_E_CARD_PROTO_MISMATCH)
      SetReaderFlag(r, READER_FLAG_UNUSABLE);
    if (rv == SC_E_CARD_REMOVED || rv == SC_E_NO_SMARTCARD || IsReaderFailure(rv) ||
        rv == SC_E_CARD_UNSUPPORTED || rv == SC_E_CARD_INCORRECTLY_INITIALIZED || rv == SC_E_CARD_IS_USED ||
        rv == SC_E_CARD_PROTO_MISMATCH) {
      ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED);
      SetReaderResults(r, rv);
      Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), after check (set all)", si);
      return rv;
    }
    if (rv == SC_E_NO_MEMORY) {
      SetSlotResult(slot, rv);
      return rv;
    }
    ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED);
    SetSlotResult(slot, rv);
    Log(rv, "SCPkcs15Lib::RefreshTokenInfo(%d), after check", si);
    return rv;
  }
  bool reinserted = rv == 1 || rv == 2;

  SCReader* reader = m_readers[r];
  if (reader->GetCard() == nullptr) {
    SetReaderResults(r, SC_E_CARD_UNSUPPORTED);
    Log(SC_E_CARD_UNSUPPORTED, "SCPkcs15Lib::RefreshTokenInfo(%d), after check (no card object, set all)", si);
    SetReaderFlag(r, READER_FLAG_UNUSABLE);
    ClearReaderFlag(r, READER_FLAG_NOT_INITIALIZED);
    return SC_E_CARD_UNSUPPORTED;
  }

  if (force) {
    ClearSlotResults(static_cast<int>(r), false);
    ClearSlotApps(static_cast<int>(r), false);
    ClearPkcs15Cards(static_cast<int>(r), false);
    reinserted = true;
  }
  if (reinserted) SetReaderFlag(r, READER_FLAG_REINSERTED);

  return RefreshProfileAndBind(slot, r, readProfile != 0, reinserted);
}

SCRESULT SCPkcs15Lib::ReadTokenList() {
  if (!m_initialized) return SC_E_PKCS15_LIB_NOT_INITIATED;
  // Each reader is checked once for all its slots: the first slot takes what the
  // check found, the others what a second check right after it would find (no
  // change, or the same failure).
  SCRESULT check = SC_OK;
  for (CK_SLOT_ID slot = 0; slot < m_slotCount; ++slot) {
    const uint32_t r = static_cast<uint32_t>(slot / m_tokensPerReader);
    ClearReaderFlag(r, READER_FLAG_NOT_WRITABLE | READER_FLAG_UNUSABLE);
    if (slot % m_tokensPerReader == 0)
      check = CheckCardStateAndReconnectIfNeeded(r);
    else if (check >= 0)
      check = SC_OK;
    const SCRESULT rv = RefreshAfterCheck(slot, 1, 0, check);
    Log(rv, "SCPkcs15Lib::ReadTokenList(), slotId:%d", static_cast<int>(slot));
    if (rv == SC_E_NO_MEMORY) return rv;
  }
  return SC_OK;
}

// ===========================================================================
// Slot list

uint32_t SCPkcs15Lib::GetSlotCount(bool tokenPresent) const {
  if (!tokenPresent) return m_slotCount;
  uint32_t n = 0;
  for (CK_SLOT_ID slot = 0; slot < m_slotCount; ++slot) {
    const SCRESULT res = m_slotResults ? m_slotResults[slot] : SC_OK;
    Log(res, "SCPkcs15Lib::GetSlotCount(%d): res: %08x", static_cast<int>(slot), static_cast<unsigned>(res));
    if (m_pAppTable != nullptr && m_pAppTable[slot] != nullptr) {
      ++n;
    } else if (IsFirstSlotOfReader(slot) && (res == SC_E_CARD_UNSUPPORTED || res == SC_E_PKCS15_CARD_NOT_INITIALIZED ||
                                             res == SC_E_PKCS15_CARD_NOT_ACTIVATED)) {
      ++n;
    }
  }
  return n;
}

SCRESULT SCPkcs15Lib::GetSlotList(uint32_t* list, uint32_t* count, bool tokenPresent) const {
  if (count == nullptr) return SC_E_BAD_USAGE;
  const uint32_t n = GetSlotCount(tokenPresent);
  if (list == nullptr) {
    *count = n;
    return SC_OK;
  }
  if (*count < n) {
    *count = n;
    return SC_E_INSUFFICIENT_BUFFER;
  }
  uint32_t k = 0;
  for (CK_SLOT_ID slot = 0; slot < m_slotCount && k < n; ++slot) {
    bool listed = !tokenPresent;
    if (tokenPresent) {
      const SCRESULT res = m_slotResults ? m_slotResults[slot] : SC_OK;
      listed = (m_pAppTable != nullptr && m_pAppTable[slot] != nullptr) ||
               (IsFirstSlotOfReader(slot) && (res == SC_E_CARD_UNSUPPORTED || res == SC_E_PKCS15_CARD_NOT_INITIALIZED ||
                                              res == SC_E_PKCS15_CARD_NOT_ACTIVATED));
      Log(res, "SCPkcs15Lib::GetSlotList(%d): res: %08x", static_cast<int>(slot), static_cast<unsigned>(res));
    }
    if (listed) list[k++] = static_cast<uint32_t>(slot);
  }
  *count = k;
  return SC_OK;
}

// ===========================================================================
// What a call left verified

namespace {

// Whether a login's PIN is the one the card marked for a note: the same
// reference and the same DF (a global reference names the master file's PIN from
// anywhere). From another DF the card may have found another PIN of the reference.
template <typename Pin>
bool Holds(const Pin& held, const SCCard::PinAt& noted) {
  if (held.ref != noted.ref) return false;
  return noted.global() || (held.df.Count() != 0 && held.df.IsEqual(noted.df));
}

bool Keeps(const SCPkcs15App* app, const SCCard::PinAt& noted) {
  std::vector<SCCard::PinAt> kept;
  app->KeptPins(&kept);
  return std::any_of(kept.begin(), kept.end(), [&](const SCCard::PinAt& k) { return Holds(k, noted); });
}

// Ends the logins of the card's applications that keep the PIN at `at`.
void EndLoginsKeeping(SCPkcs15App* const* table, uint32_t slots, const SCCard* card, const SCCard::PinAt& at,
                      const char* why) {
  for (uint32_t s = 0; s < slots; ++s) {
    SCPkcs15App* app = table[s];
    if (app == nullptr || app->GetCard() != card) continue;
    std::vector<SCCard::PinAt> kept;
    app->KeptPins(&kept);
    // A PIN noted without its DF names every PIN of its reference.
    for (const SCCard::PinAt& k : kept)
      if (Holds(k, at) || (k.ref == at.ref && at.df.Count() == 0)) {
        app->EndLogin(k, why);
        break;
      }
  }
}

std::string ErrorText(SCRESULT rv) {
  char err[512];
  SCPkcs15Lib::GetErrorText(rv, err, sizeof err);
  return err;
}

}  // namespace

std::vector<CK_SLOT_ID> SCPkcs15Lib::ForgetWhatTheCallVerified(const std::vector<SCHeldPin>& held) {
  std::vector<CK_SLOT_ID> reset;
  for (uint32_t r = 0; r < m_readerCount && m_readers != nullptr; ++r) {
    SCReader* reader = m_readers[r];
    if (reader == nullptr) continue;
    SCCard* card = reader->GetCard();
    bool unknown = false;
    const std::vector<SCCard::PinAt> left =
        card != nullptr ? card->TakeLeftVerified(&unknown) : std::vector<SCCard::PinAt>();
    // Written whatever the trace bits: the call's answer does not tell it.
    if (unknown)
      DebugLogWrite(2, 0, "PKCS#15: reader %u: a command left verified a PIN the module cannot name: the card is reset",
                    static_cast<unsigned>(r));
    bool mustReset = unknown;
    for (const SCCard::PinAt& pin : left) {
      const auto h = std::find_if(held.begin(), held.end(),
                                  [&](const SCHeldPin& p) { return p.card == card && Holds(p, pin); });
      if (h != held.end()) {
        // A login ends with a reset of the card; an operation's PIN is forgotten after it.
        if (h->forOperation) card->KeepLeftVerified(pin);
        continue;
      }
      if (mustReset) continue;
      const SCRESULT rv = card->ForgetVerification(pin);
      if (rv >= 0) continue;
      char which[64];
      std::snprintf(which, sizeof which, "PIN %02X%s%s", static_cast<unsigned>(pin.ref),
                    pin.df.Count() ? " in " : "", pin.df.Count() ? pin.df.Text().c_str() : "");
      DebugLogWrite(2, 0, "PKCS#15: reader %u: the card does not forget that %s is verified (%s): the card is reset",
                    static_cast<unsigned>(r), which, ErrorText(rv).c_str());
      mustReset = true;
    }
    if (mustReset && ResetKeepingLogins(r) >= 0)
      for (uint32_t t = 0; t < m_tokensPerReader; ++t) reset.push_back(static_cast<CK_SLOT_ID>(r * m_tokensPerReader + t));
    reader->ReleaseCallHold();
  }
  return reset;
}

SCRESULT SCPkcs15Lib::ResetKeepingLogins(uint32_t r) {
  SCReader* reader = m_readers[r];
  SCCard* card = reader->GetCard();
  std::vector<SCPkcs15App*> logins;
  // The card object's own applications (a slot's entry may name one a deletion just destroyed).
  const SCPkcs15Card* p15 = m_pkcs15Cards != nullptr ? m_pkcs15Cards[r] : nullptr;
  for (int32_t i = 0; p15 != nullptr && i < p15->GetApplicationCount(); ++i) {
    SCPkcs15App* app = p15->GetApplicationAt(static_cast<uint32_t>(i));
    if (app != nullptr && app->GetCard() == card && app->KeepsPins()) logins.push_back(app);
  }
  // Unannounced, the reset ends none of this process's sessions: each login is
  // verified again before the card is let go, and one that cannot be ends alone.
  SCRESULT rv = reader->ResetCard(false);
  if (rv < 0) {
    DebugLogWrite(2, 0, "PKCS#15: reader %u: the card cannot be reset (%s)%s", static_cast<unsigned>(r),
                  ErrorText(rv).c_str(), reader->ResetOwed() ? ": it is reset at the next contact" : "");
    return rv;
  }
  for (SCPkcs15App* app : logins) (void)app->VerifyKeptPinsAgain();
  // What the logins that stand verified is theirs; the card forgets the rest.
  SCCard* now = reader->GetCard();
  bool unknown = false;
  const std::vector<SCCard::PinAt> left =
      now != nullptr ? now->TakeLeftVerified(&unknown) : std::vector<SCCard::PinAt>();
  for (const SCCard::PinAt& pin : left)
    if (!unknown && std::none_of(logins.begin(), logins.end(), [&](const SCPkcs15App* a) { return Keeps(a, pin); }))
      unknown = now->ForgetVerification(pin) < 0;
  if (unknown) {
    DebugLogWrite(2, 0, "PKCS#15: reader %u: the card keeps a PIN verified after the reset: it is reset again",
                  static_cast<unsigned>(r));
    (void)reader->ResetCard(true);
  }
  return SC_OK;
}

std::vector<CK_SLOT_ID> SCPkcs15Lib::EndedLogins() {
  std::vector<CK_SLOT_ID> ended;
  if (m_pAppTable == nullptr || m_readers == nullptr) return ended;
  for (uint32_t r = 0; r < m_readerCount; ++r) {
    SCCard* card = m_readers[r] != nullptr ? m_readers[r]->GetCard() : nullptr;
    if (card == nullptr) continue;
    for (const SCCard::PinAt& at : card->TakeUncertainValues())
      EndLoginsKeeping(m_pAppTable, m_slotCount, card, at, "the answer to the command that gave it a value was lost");
  }
  // Ended on one slot, a login ends on every slot whose login keeps that PIN.
  for (int pass = 0; pass < 2; ++pass)
    for (uint32_t s = 0; s < m_slotCount; ++s) {
      SCPkcs15App* app = m_pAppTable[s];
      std::vector<SCCard::PinAt> at;
      if (app == nullptr || !app->TakeLoginEnded(&at)) continue;
      if (std::find(ended.begin(), ended.end(), s) == ended.end()) ended.push_back(s);
      for (const SCCard::PinAt& a : at)
        EndLoginsKeeping(m_pAppTable, m_slotCount, app->GetCard(), a, "a login of another slot on it ended");
    }
  return ended;
}
