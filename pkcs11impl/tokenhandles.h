// A token's table of object handles: pairs of a PKCS#11 object handle and the
// PKCS#15 layer's handle of the same object. A flat array that grows in blocks
// of eight and reuses cleared pairs; a pair whose two fields are 0 is free.
#ifndef MIRTAL_PKCS11IMPL_TOKENHANDLES_H
#define MIRTAL_PKCS11IMPL_TOKENHANDLES_H

#include <cstdint>

struct TokenHandlePair {
  uint64_t p11Handle;
  uint64_t p15Handle;
};

class TokenHandleTable {
 public:
  TokenHandleTable() = default;
  ~TokenHandleTable() { Destroy(); }
  TokenHandleTable(const TokenHandleTable&) = delete;
  TokenHandleTable& operator=(const TokenHandleTable&) = delete;

  // Every search starts after `start` (null: at the first pair); a start that is
  // not one of this table's pairs finds nothing.
  TokenHandlePair* FindByPkcs15(uint64_t value, const TokenHandlePair* start = nullptr) const;
  TokenHandlePair* FindByPkcs11(uint64_t handle, const TokenHandlePair* start = nullptr) const;
  uint64_t Pkcs11HandleOf(uint64_t value, const TokenHandlePair* start = nullptr) const;
  uint64_t Pkcs15HandleOf(uint64_t handle, const TokenHandlePair* start = nullptr) const;
  // The first pair with that PKCS#15 handle gets the new PKCS#11 handle; the old one (0: none).
  uint64_t Rebind(uint64_t value, uint64_t newHandle);
  // Null when the table cannot grow, or for a pair of two zeros (it would read as free).
  TokenHandlePair* Add(uint64_t handle, uint64_t value);
  // 1 when a pair was cleared. A 0 argument removes nothing (0 marks free pairs).
  int RemoveByPkcs15(uint64_t value, const TokenHandlePair* start = nullptr);
  int RemoveByPkcs11(uint64_t handle, const TokenHandlePair* start = nullptr);
  int RemoveAllByPkcs15(uint64_t value);
  int RemoveAllByPkcs11(uint64_t handle);
  int RemovePair(TokenHandlePair* pair);
  TokenHandlePair* PairAt(int index) const;
  int IndexOf(const TokenHandlePair* pair) const;
  int GetUsedCount() const { return m_used; }
  int GetCapacity() const { return m_capacity; }
  void Clear();
  void Destroy();
  // Reserves the other table's capacity and copies its pairs and used count; false when memory runs out.
  bool Copy(const TokenHandleTable& other);
  // Capacity at least n (rounded up to a multiple of 8); false when memory runs out.
  bool Reserve(int n);

 private:
  // Index of the first pair to search, or -1 when the start is not valid.
  int FirstIndex(const TokenHandlePair* start) const;
  static void Wipe(TokenHandlePair* pairs, int count);

  TokenHandlePair* m_entries = nullptr;
  int m_used = 0;
  int m_capacity = 0;
};

#endif
