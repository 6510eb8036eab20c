#include "pkcs11impl/scpkcs15lib.h"

#include <cctype>
#include <cstring>
#include <new>
#include <vector>

#include "smartcard/sc_reader_pcsc.h"
#include "support/vtest.h"

namespace {

bool HasWildcards(const char* pattern) { return std::strpbrk(pattern, "*?") != nullptr; }

bool SameChar(char a, char b, bool ignoreCase) {
  if (a == b) return true;
  return ignoreCase && std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// Left-to-right match of a pattern holding wildcards; -1 when it fails. The
// score of a (name position, pattern position) pair never changes, so each is
// worked out once: a pattern with many stars costs name x pattern steps, not
// one try per way of spreading the name over the stars.
class WildcardMatcher {
 public:
  WildcardMatcher(const char* name, const char* pattern, bool ignoreCase)
      : name_(name),
        pattern_(pattern),
        nameLen_(std::strlen(name)),
        patternLen_(std::strlen(pattern)),
        ignoreCase_(ignoreCase),
        memo_((nameLen_ + 1) * (patternLen_ + 1), kUnknown) {}

  int Match(size_t n, size_t p) {
    int& slot = memo_[n * (patternLen_ + 1) + p];
    if (slot == kUnknown) slot = Compute(n, p);
    return slot;
  }

 private:
  static constexpr int kUnknown = -2;

  int Compute(size_t n, size_t p) {
    int score = 0;
    while (p < patternLen_) {
      if (pattern_[p] == '*') {
        while (p < patternLen_ && pattern_[p] == '*') ++p;
        if (p == patternLen_) return score;
        if (n == nameLen_) return -1;
        for (size_t pos = n; pos < nameLen_; ++pos) {
          const int rest = Match(pos, p);
          if (rest >= 0) return score + rest;
        }
        return -1;
      }
      if (n == nameLen_) return -1;
      if (pattern_[p] == '?') {
        score += 1;
      } else {
        if (!SameChar(name_[n], pattern_[p], ignoreCase_)) return -1;
        score += 2;
      }
      ++n;
      ++p;
    }
    return n == nameLen_ ? score : -1;
  }

  const char* name_;
  const char* pattern_;
  size_t nameLen_, patternLen_;
  bool ignoreCase_;
  std::vector<int> memo_;
};

}  // namespace

int WildcardMatchScore(const char* name, const char* pattern, bool ignoreCase) {
  if (name == nullptr) name = "";
  if (pattern == nullptr) pattern = "";
  if (!HasWildcards(pattern)) {
    const bool equal = ignoreCase ? strcasecmp(name, pattern) == 0 : std::strcmp(name, pattern) == 0;
    return equal ? static_cast<int>(2 * std::strlen(pattern)) : -1;
  }
  // Literal characters follow the ignore-case choice here as well, so that an
  // administrator's "IgnoreCase" holds for wildcard patterns too.
  try {
    WildcardMatcher matcher(name, pattern, ignoreCase);
    return matcher.Match(0, 0);
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

SCPkcs15Lib::ReaderOptions::~ReaderOptions() { delete[] pattern; }

SCPkcs15Lib::SCPkcs15Lib() : m_readerOptions(10, true) {}

SCPkcs15Lib::~SCPkcs15Lib() {
  DeInitLib();
  delete[] m_pcscLibrary;
  delete[] m_dravokLibrary;
  delete[] m_enabledReaderSubsystems;
  delete[] m_initProfile;
}

void SCPkcs15Lib::SetAnyCardBlankFlag(bool on) {
  m_pkcs15Flags = on ? (m_pkcs15Flags | PKCS15_FLAG_ANY_CARD_BLANK) : (m_pkcs15Flags & ~PKCS15_FLAG_ANY_CARD_BLANK);
  // The classification of blank cards depends on the bit: classify again.
  if (m_initialized) ReadTokenList();
}

void SCPkcs15Lib::SetOptionBit1(bool on) { m_pkcs15Flags = on ? (m_pkcs15Flags | 0x1u) : (m_pkcs15Flags & ~0x1u); }

void SCPkcs15Lib::SetOptionBits(uint32_t value, uint32_t mask) {
  if (mask == 0) mask = 0xFFFFFFFFu;
  m_optionBits = (m_optionBits & ~mask) | (value & mask);
}

uint32_t SCPkcs15Lib::GetOptionBits(uint32_t mask) const { return mask == 0 ? m_optionBits : (m_optionBits & mask); }

uint32_t SCPkcs15Lib::GetOptionBitsHigh(uint32_t mask) const {
  mask &= 0xFF00u;
  if (mask == 0) mask = 0xFF00u;
  return m_optionBits & mask;
}

bool SCPkcs15Lib::SetTokensPerReader(uint32_t count) {
  if (count < 1 || count > 20) return false;
  m_tokensPerReader = count;
  return true;
}

int SCPkcs15Lib::SetStringOption(char** variable, const char* value) {
  AssertInvariant(variable != nullptr, "pkcs11impl/scpkcs15lib", 2411, "variable");
  char* copy = nullptr;
  if (value != nullptr) {
    const size_t n = std::strlen(value);
    copy = new (std::nothrow) char[n + 1];
    if (copy == nullptr) return 0;
    std::memcpy(copy, value, n + 1);
  }
  delete[] *variable;
  *variable = copy;
  return 1;
}

SCPkcs15Lib::ReaderOptions* SCPkcs15Lib::AddReaderOptions(const char* pattern) {
  ReaderOptions* record = new (std::nothrow) ReaderOptions();
  if (record == nullptr) return nullptr;
  if (!SetStringOption(&record->pattern, pattern)) {
    delete record;
    return nullptr;
  }
  try {
    m_readerOptions.AddTail(record);
  } catch (const std::bad_alloc&) {
    delete record;
    return nullptr;
  }
  return record;
}

SCPkcs15Lib::ReaderOptions* SCPkcs15Lib::FindReaderOptions(const char* pattern) const {
  if (pattern == nullptr) return nullptr;
  for (POSITION p = m_readerOptions.GetHeadPosition(); p;) {
    ReaderOptions* r = m_readerOptions.GetNext(p);
    if (r->pattern != nullptr && std::strcmp(r->pattern, pattern) == 0) return r;
  }
  return nullptr;
}

int SCPkcs15Lib::RemoveReaderOptions(const char* pattern) {
  ReaderOptions* r = FindReaderOptions(pattern);
  if (r == nullptr) return 0;
  m_readerOptions.RemoveAt(m_readerOptions.Find(r));
  delete r;
  return 1;
}

void SCPkcs15Lib::ClearReaderOptions() { m_readerOptions.DeleteAll(); }

SCPkcs15Lib::ReaderOptions* SCPkcs15Lib::MatchReaderOptions(const char* readerName) const {
  ReaderOptions* best = nullptr;
  int bestScore = -1;
  for (POSITION p = m_readerOptions.GetHeadPosition(); p;) {
    ReaderOptions* r = m_readerOptions.GetNext(p);
    const int score = WildcardMatchScore(readerName, r->pattern, (r->flags & SC_ROPT_FLAG_IGNORE_CASE) != 0);
    if (score > bestScore) {
      bestScore = score;
      best = r;
    }
  }
  return best;
}

bool SCPkcs15Lib::AddAllowedReader(const char* pattern) {
  if (pattern == nullptr) return false;
  try {
    m_allowedReaders.AddTail(pattern);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void SCPkcs15Lib::ClearAllowedReaders() { m_allowedReaders.RemoveAll(); }

const char* SCPkcs15Lib::GetAllowedReaderAt(int index) const {
  POSITION p = m_allowedReaders.FindIndex(index);
  return p ? m_allowedReaders.GetAt(p) : nullptr;
}

SCRESULT SCPkcs15Lib::CheckAllowedReaderName(const char* readerName, const ReaderOptions** options) const {
  if (options != nullptr) *options = nullptr;
  bool explicitlyAllowed = false;
  if (!m_allowedReaders.IsEmpty()) {
    bool allowed = false;
    for (POSITION p = m_allowedReaders.GetHeadPosition(); p && !explicitlyAllowed;) {
      const int score = WildcardMatchScore(readerName, m_allowedReaders.GetNext(p), false);
      if (score > 0) explicitlyAllowed = true;
      if (score >= 0) allowed = true;
    }
    if (!allowed) return SC_E_PKCS15_IGNORE_READER;
  }
  const ReaderOptions* record = MatchReaderOptions(readerName);
  if (record != nullptr && (record->flags & SC_ROPT_FLAG_DISABLED) != 0 && !explicitlyAllowed)
    return SC_E_PKCS15_IGNORE_READER;
  if (options != nullptr) *options = record;
  return explicitlyAllowed ? 1 : 0;
}
