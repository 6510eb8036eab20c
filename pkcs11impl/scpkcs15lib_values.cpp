// Values the bridge reads and writes for card initialisation: OID texts, the
// profile's typed values and token labels, and the comparisons of existing
// PKCS#15 objects with the ones a profile asks for.
#include <strings.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "lib/libasn/asnobjid.h"
#include "lib/libpkcs15/asnpkcs15commonattributes.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "support/cfgparam.h"

namespace {

// A decimal number of any size, nine digits per limb, least significant first.
class BigDecimal {
 public:
  void MulAdd(uint32_t mul, uint32_t add) {
    uint64_t carry = add;
    for (uint32_t& limb : limbs_) {
      const uint64_t v = static_cast<uint64_t>(limb) * mul + carry;
      limb = static_cast<uint32_t>(v % kBase);
      carry = v / kBase;
    }
    while (carry != 0) {
      limbs_.push_back(static_cast<uint32_t>(carry % kBase));
      carry /= kBase;
    }
  }
  // Only called with a value of at least `sub`.
  void Subtract(uint32_t sub) {
    uint64_t borrow = sub;
    for (size_t i = 0; i < limbs_.size() && borrow != 0; ++i) {
      const uint64_t take = borrow % kBase;
      borrow /= kBase;
      if (limbs_[i] >= take) {
        limbs_[i] = static_cast<uint32_t>(limbs_[i] - take);
      } else {
        limbs_[i] = static_cast<uint32_t>(limbs_[i] + kBase - take);
        ++borrow;
      }
    }
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
  }
  bool IsBelow(uint32_t v) const { return limbs_.empty() || (limbs_.size() == 1 && limbs_[0] < v); }
  uint32_t Small() const { return limbs_.empty() ? 0 : limbs_[0]; }
  void AppendTo(std::string* out) const {
    if (limbs_.empty()) {
      out->push_back('0');
      return;
    }
    *out += std::to_string(limbs_.back());
    for (size_t i = limbs_.size() - 1; i-- > 0;) {
      const std::string part = std::to_string(limbs_[i]);
      out->append(9 - part.size(), '0');
      *out += part;
    }
  }

 private:
  static constexpr uint64_t kBase = 1000000000u;
  std::vector<uint32_t> limbs_;
};

bool IsDefaultWord(const char* text) { return text == nullptr || *text == '\0' || strcasecmp(text, "<default>") == 0; }

const CfgSection* FindProfileSection(const CfgSectionList* profile, const char* section) {
  return profile != nullptr ? profile->FindSection(section != nullptr ? section : "", true) : nullptr;
}

const CfgSection* FindProfileSubsection(const CfgSectionList* profile, const char* section, int index) {
  if (profile == nullptr || index < 0) return nullptr;
  return profile->GetSubsection(index, section != nullptr ? section : "", true);
}

const CfgParamAndValue* FindValue(const CfgSection* section, const char* key) {
  return section != nullptr && key != nullptr ? section->FindParam(key, true) : nullptr;
}

bool ReadBool(const CfgSection* section, const char* key, bool def) {
  const CfgParamAndValue* p = FindValue(section, key);
  bool v = def;
  return p != nullptr && p->GetBool(&v) ? v : def;
}

unsigned long ReadNumber(const CfgSection* section, const char* key, unsigned long def) {
  const CfgParamAndValue* p = FindValue(section, key);
  unsigned long v = def;
  return p != nullptr && p->GetInt(&v) ? v : def;
}

const char* ReadText(const CfgSection* section, const char* key, const char* def) {
  const CfgParamAndValue* p = FindValue(section, key);
  const char* v = nullptr;
  return p != nullptr && p->GetString(&v) ? v : def;
}

// The existing value record of a key, or a new one of that type; null when memory runs out.
CfgParamAndValue* ValueForWriting(CfgSectionList* profile, const char* section, const char* key, uint32_t type) {
  if (profile == nullptr || key == nullptr) return nullptr;
  CfgSection* s = profile->GetOrAddSection(section != nullptr ? section : "", true);
  if (s == nullptr) return nullptr;
  // An existing record keeps its type until the setter stores the new value, so
  // that the same value in another form is not taken for a change.
  CfgParamAndValue* p = s->FindParam(key, true);
  return p != nullptr ? p : s->AddParam(key, type, false);
}

// authReference and seIdentifier as numbers; false when one does not fit.
bool ReadReference(const ASNinteger& value, long* out) {
  try {
    *out = value.getLong();
    return true;
  } catch (const std::overflow_error&) {
    return false;
  }
}

bool SameOptionalInteger(const ASNinteger& a, bool hasA, const ASNinteger& b, bool hasB, bool absentIsZero) {
  long va = 0, vb = 0;
  const bool fitA = !hasA || ReadReference(a, &va);
  const bool fitB = !hasB || ReadReference(b, &vb);
  if (!fitA || !fitB) {
    // Too large to read as a number: the presence and the whole encoded values decide.
    return hasA == hasB && a == b;
  }
  if (!absentIsZero && hasA != hasB) return false;
  return va == vb;
}

bool IsUnspecifiedName(const ASNPkcs15CommonDataObjectAttributes& r) {
  if (!r.wasApplicationName) return true;
  const std::string name(reinterpret_cast<const char*>(r.applicationName.getData()),
                         r.applicationName.getData() != nullptr ? static_cast<size_t>(r.applicationName.getValueLength()) : 0);
  return name == "?";
}

}  // namespace

// ===========================================================================
// OID text

bool SCPkcs15Lib::OidText(std::string* out, const uint8_t* contents, size_t len) {
  if (out == nullptr) return false;
  out->clear();
  if (contents == nullptr || len == 0) return false;
  std::string text;
  try {
    size_t i = 0;
    bool first = true;
    while (i < len) {
      // Non-minimal sub-identifiers (a leading 0x80 octet) are refused.
      if (contents[i] == 0x80) return false;
      BigDecimal arc;
      bool done = false;
      while (i < len) {
        const uint8_t octet = contents[i++];
        arc.MulAdd(128, octet & 0x7F);
        if ((octet & 0x80) == 0) {
          done = true;
          break;
        }
      }
      if (!done) return false;
      if (first) {
        // The first sub-identifier carries two arcs: 40 * X + Y, X at most 2.
        if (arc.IsBelow(80)) {
          const uint32_t v = arc.Small();
          text += std::to_string(v / 40) + "." + std::to_string(v % 40);
        } else {
          arc.Subtract(80);
          text += "2.";
          arc.AppendTo(&text);
        }
        first = false;
      } else {
        text.push_back('.');
        arc.AppendTo(&text);
      }
    }
    *out = std::move(text);
  } catch (const std::bad_alloc&) {
    out->clear();
    return false;
  }
  return true;
}

bool SCPkcs15Lib::OidText(std::string* out, const ASNobjectId& oid) {
  const long n = oid.getLength();
  return OidText(out, oid.getData(), n > 0 ? static_cast<size_t>(n) : 0);
}

// ===========================================================================
// Profile values

bool SCPkcs15Lib::GetProfileBool(const CfgSectionList* profile, const char* section, const char* key, bool def) {
  return ReadBool(FindProfileSection(profile, section), key, def);
}

unsigned long SCPkcs15Lib::GetProfileNumber(const CfgSectionList* profile, const char* section, const char* key,
                                            unsigned long def) {
  return ReadNumber(FindProfileSection(profile, section), key, def);
}

const char* SCPkcs15Lib::GetProfileText(const CfgSectionList* profile, const char* section, const char* key,
                                        const char* def) {
  return ReadText(FindProfileSection(profile, section), key, def);
}

bool SCPkcs15Lib::GetProfileSubsectionBool(const CfgSectionList* profile, const char* section, int index,
                                           const char* key, bool def) {
  return ReadBool(FindProfileSubsection(profile, section, index), key, def);
}

unsigned long SCPkcs15Lib::GetProfileSubsectionNumber(const CfgSectionList* profile, const char* section, int index,
                                                      const char* key, unsigned long def) {
  return ReadNumber(FindProfileSubsection(profile, section, index), key, def);
}

const char* SCPkcs15Lib::GetProfileSubsectionText(const CfgSectionList* profile, const char* section, int index,
                                                  const char* key, const char* def) {
  return ReadText(FindProfileSubsection(profile, section, index), key, def);
}

bool SCPkcs15Lib::SetProfileNumber(CfgSectionList* profile, const char* section, const char* key,
                                   unsigned long value) {
  CfgParamAndValue* p = ValueForWriting(profile, section, key, CFG_TYPE_INT);
  return p != nullptr && p->SetInt(value);
}

bool SCPkcs15Lib::SetProfileBool(CfgSectionList* profile, const char* section, const char* key, bool value) {
  CfgParamAndValue* p = ValueForWriting(profile, section, key, CFG_TYPE_BOOL);
  return p != nullptr && p->SetBool(value);
}

bool SCPkcs15Lib::SetProfileText(CfgSectionList* profile, const char* section, const char* key, const char* value) {
  CfgParamAndValue* p = ValueForWriting(profile, section, key, CFG_TYPE_TEXT);
  return p != nullptr && p->SetString(value);
}

std::string SCPkcs15Lib::GetProfileTokenLabel(const CfgSectionList* profile, int tokenIndex) {
  const CfgSection* global = FindProfileSection(profile, "");
  const CfgSection* token = FindProfileSubsection(profile, "", tokenIndex);
  const char* label = ReadText(token, "TokenLabel", nullptr);
  if (label == nullptr) label = ReadText(global, "TokenLabel", nullptr);
  if (label == nullptr && token != nullptr) label = token->GetShortName();
  if (IsDefaultWord(label)) {
    label = ReadText(global, "__ADD_DefaultTokenLabel", nullptr);
    if (IsDefaultWord(label)) label = "MIRTAL";
  }
  return label;
}

bool SCPkcs15Lib::IsProfileLabelTaken(const char* label, const CfgSectionList* profile, int tokenIndex) {
  if (label == nullptr || profile == nullptr) return false;
  const int count = profile->CountSubsections("", true);
  for (int i = 0; i < count; ++i) {
    if (i == tokenIndex) return false;
    if (GetProfileTokenLabel(profile, i) == label) return true;
  }
  return false;
}

// ===========================================================================
// Comparisons

bool SCPkcs15Lib::IsSameAuthObject(const ASNPkcs15CommonAuthObjectAttributes& a,
                                   const ASNPkcs15CommonAuthObjectAttributes& b, bool withReferences) {
  if ((a.wasAuthId != 0) != (b.wasAuthId != 0)) return false;
  if (a.wasAuthId && !(a.authId == b.authId)) return false;
  if (!withReferences) return true;
  if (!SameOptionalInteger(a.authReference, a.wasAuthReference != 0, b.authReference, b.wasAuthReference != 0, true))
    return false;
  if (!a.wasSeIdentifier && !b.wasSeIdentifier) return true;
  return SameOptionalInteger(a.seIdentifier, a.wasSeIdentifier != 0, b.seIdentifier, b.wasSeIdentifier != 0, false);
}

bool SCPkcs15Lib::IsSameApplication(const ASNPkcs15CommonDataObjectAttributes& a,
                                    const ASNPkcs15CommonDataObjectAttributes& b) {
  const bool unspecifiedA = IsUnspecifiedName(a);
  const bool unspecifiedB = IsUnspecifiedName(b);
  if (unspecifiedA || unspecifiedB) return unspecifiedA == unspecifiedB;
  if ((a.wasApplicationOID != 0) != (b.wasApplicationOID != 0)) return false;
  return !a.wasApplicationOID || a.applicationOID == b.applicationOID;
}
