#include "pkcs11impl/tokenhandles.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace {
bool IsFree(const TokenHandlePair& p) { return p.p11Handle == 0 && p.p15Handle == 0; }
}  // namespace

void TokenHandleTable::Wipe(TokenHandlePair* pairs, int count) {
  if (pairs == nullptr || count <= 0) return;
  volatile unsigned char* b = reinterpret_cast<volatile unsigned char*>(pairs);
  for (size_t i = 0; i < static_cast<size_t>(count) * sizeof(TokenHandlePair); ++i) b[i] = 0;
}

int TokenHandleTable::FirstIndex(const TokenHandlePair* start) const {
  if (m_entries == nullptr || m_capacity <= 0) return -1;
  if (start == nullptr) return 0;
  const int index = IndexOf(start);
  return index < 0 ? -1 : index + 1;
}

int TokenHandleTable::IndexOf(const TokenHandlePair* pair) const {
  if (pair == nullptr || m_entries == nullptr) return -1;
  const uintptr_t base = reinterpret_cast<uintptr_t>(m_entries);
  const uintptr_t p = reinterpret_cast<uintptr_t>(pair);
  if (p < base) return -1;
  const uintptr_t offset = p - base;
  if (offset % sizeof(TokenHandlePair) != 0) return -1;
  const uintptr_t index = offset / sizeof(TokenHandlePair);
  if (index >= static_cast<uintptr_t>(m_capacity)) return -1;
  return static_cast<int>(index);
}

TokenHandlePair* TokenHandleTable::FindByPkcs15(uint64_t value, const TokenHandlePair* start) const {
  for (int i = FirstIndex(start); i >= 0 && i < m_capacity; ++i)
    if (m_entries[i].p15Handle == value) return &m_entries[i];
  return nullptr;
}

TokenHandlePair* TokenHandleTable::FindByPkcs11(uint64_t handle, const TokenHandlePair* start) const {
  for (int i = FirstIndex(start); i >= 0 && i < m_capacity; ++i)
    if (m_entries[i].p11Handle == handle) return &m_entries[i];
  return nullptr;
}

uint64_t TokenHandleTable::Pkcs11HandleOf(uint64_t value, const TokenHandlePair* start) const {
  const TokenHandlePair* p = FindByPkcs15(value, start);
  return p ? p->p11Handle : 0;
}

uint64_t TokenHandleTable::Pkcs15HandleOf(uint64_t handle, const TokenHandlePair* start) const {
  const TokenHandlePair* p = FindByPkcs11(handle, start);
  return p ? p->p15Handle : 0;
}

uint64_t TokenHandleTable::Rebind(uint64_t value, uint64_t newHandle) {
  TokenHandlePair* p = FindByPkcs15(value, nullptr);
  if (p == nullptr) return 0;
  const uint64_t old = p->p11Handle;
  p->p11Handle = newHandle;
  return old;
}

bool TokenHandleTable::Reserve(int n) {
  if (m_entries != nullptr && m_capacity >= n) return true;
  if (n < 0 || n > 0x7FFFFFF0) return false;
  const int capacity = (n + 7) / 8 * 8;
  TokenHandlePair* fresh = new (std::nothrow) TokenHandlePair[capacity > 0 ? capacity : 8]();
  if (fresh == nullptr) return false;
  if (m_entries != nullptr) {
    std::memcpy(fresh, m_entries, static_cast<size_t>(m_capacity) * sizeof(TokenHandlePair));
    Wipe(m_entries, m_capacity);
    delete[] m_entries;
  }
  m_entries = fresh;
  m_capacity = capacity > 0 ? capacity : 8;
  return true;
}

TokenHandlePair* TokenHandleTable::Add(uint64_t handle, uint64_t value) {
  if (handle == 0 && value == 0) return nullptr;
  if (m_entries != nullptr && m_used < m_capacity) {
    for (int i = 0; i < m_capacity; ++i) {
      if (IsFree(m_entries[i])) {
        m_entries[i].p11Handle = handle;
        m_entries[i].p15Handle = value;
        ++m_used;
        return &m_entries[i];
      }
    }
  }
  const int at = m_entries != nullptr ? m_capacity : 0;
  if (!Reserve(at + 1)) return nullptr;
  m_entries[at].p11Handle = handle;
  m_entries[at].p15Handle = value;
  ++m_used;
  return &m_entries[at];
}

int TokenHandleTable::RemovePair(TokenHandlePair* pair) {
  const int index = IndexOf(pair);
  if (index < 0) return 0;
  // Clearing a free pair would count a removal that never happened.
  if (IsFree(m_entries[index])) return 0;
  m_entries[index].p11Handle = 0;
  m_entries[index].p15Handle = 0;
  if (m_used > 0) --m_used;
  return 1;
}

int TokenHandleTable::RemoveByPkcs15(uint64_t value, const TokenHandlePair* start) {
  if (value == 0) return 0;
  return RemovePair(FindByPkcs15(value, start));
}

int TokenHandleTable::RemoveByPkcs11(uint64_t handle, const TokenHandlePair* start) {
  if (handle == 0) return 0;
  return RemovePair(FindByPkcs11(handle, start));
}

int TokenHandleTable::RemoveAllByPkcs15(uint64_t value) {
  if (value == 0) return 0;
  int removed = 0;
  for (TokenHandlePair* p = FindByPkcs15(value, nullptr); p != nullptr; p = FindByPkcs15(value, p))
    removed |= RemovePair(p);
  return removed;
}

int TokenHandleTable::RemoveAllByPkcs11(uint64_t handle) {
  if (handle == 0) return 0;
  int removed = 0;
  for (TokenHandlePair* p = FindByPkcs11(handle, nullptr); p != nullptr; p = FindByPkcs11(handle, p))
    removed |= RemovePair(p);
  return removed;
}

TokenHandlePair* TokenHandleTable::PairAt(int index) const {
  if (m_entries == nullptr || index < 0 || index >= m_capacity) return nullptr;
  return &m_entries[index];
}

void TokenHandleTable::Clear() {
  Wipe(m_entries, m_capacity);
  m_used = 0;
}

void TokenHandleTable::Destroy() {
  Wipe(m_entries, m_capacity);
  delete[] m_entries;
  m_entries = nullptr;
  m_used = 0;
  m_capacity = 0;
}

bool TokenHandleTable::Copy(const TokenHandleTable& other) {
  if (&other == this) return true;
  if (!Reserve(other.m_capacity)) return false;
  Clear();
  if (other.m_entries != nullptr)
    std::memcpy(m_entries, other.m_entries, static_cast<size_t>(other.m_capacity) * sizeof(TokenHandlePair));
  m_used = other.m_used;
  return true;
}
