// Card-initialisation profile: options, settled values, output variables and validation.
#include "pkcs11impl/initprofile.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "pkcs11impl/randomtext.h"
#include "pkcs11impl/scpkcs15lib.h"
#include "support/cfgparam.h"
#include "support/safefile.h"
#include "support/textutil.h"

const char* const kInitDefaultSoPinLabel = "PIN administratora";
const char* const kInitDefaultSoPukLabel = "Kod PUK administratora";
const char* const kInitDefaultUserPinLabel = "PIN u\xc5\xbc" "ytkownika";
const char* const kInitDefaultUserPukLabel = "Kod PUK u\xc5\xbc" "ytkownika";
const char* const kInitDefaultOutputPinFormat =
    "Token: $TokenLabel, SerialNumber: $TokenSerialNumber, SoPin: $SoPin, SoPuk: $SoPuk, UserPin: $UserPin, "
    "UserPuk: $UserPuk\n";
const char* const kInitDefaultGlobalSoPinFormat =
    "Card: $CardModel, SerialNumber: $TokenSerialNumber, SoPin: $SoPin, SoPuk: $SoPuk\n";
const char* const kInitDefaultTokenLabel = "MIRTAL";

// ---------------------------------------------------------------------------
// InitSecret

void InitSecret::Clear() {
  if (m_text != nullptr) {
    SecureZero(m_text, m_len + 1);
    delete[] m_text;
  }
  m_text = nullptr;
  m_len = 0;
}

bool InitSecret::Set(const char* text, size_t len) {
  Clear();
  if (text == nullptr) return true;
  m_text = new (std::nothrow) char[len + 1];
  if (m_text == nullptr) return false;
  std::memcpy(m_text, text, len);
  m_text[len] = '\0';
  m_len = len;
  return true;
}

bool InitSecret::Set(const char* text) { return Set(text, text ? std::strlen(text) : 0); }

// ---------------------------------------------------------------------------
// Sections and option readers

namespace {
bool IsDefaultWord(const char* text) { return text == nullptr || *text == '\0' || strcasecmp(text, "<default>") == 0; }
}  // namespace

CfgSection* InitProfile::GetGlobal() const { return m_sections ? m_sections->FindSection("", true) : nullptr; }

int InitProfile::GetTokenCount() const { return m_sections ? m_sections->CountSubsections("", true) : 0; }

CfgSection* InitProfile::GetTokenSection(int token) const {
  return m_sections && token >= 0 ? m_sections->GetSubsection(token, "", true) : nullptr;
}

const char* InitProfile::FindText(const CfgSection* section, const char* name) {
  if (section == nullptr || name == nullptr) return nullptr;
  const CfgParamAndValue* p = section->FindParam(name, true);
  const char* text = nullptr;
  return p != nullptr && p->GetString(&text) ? text : nullptr;
}

const char* InitProfile::GetText(int token, const char* name, const char* def) const {
  const char* t = FindText(GetTokenSection(token), name);
  if (t != nullptr) return t;
  const char* g = FindText(GetGlobal(), name);
  return g != nullptr ? g : def;
}

std::string InitProfile::GetTokenLabel(int token) const {
  const CfgSection* ts = GetTokenSection(token);
  const char* v = GetText(token, "TokenLabel", nullptr);
  if (!IsDefaultWord(v)) return v;
  const char* shortName = ts != nullptr ? ts->GetShortName() : nullptr;
  if (!IsDefaultWord(shortName)) return shortName;
  const char* g = FindText(GetGlobal(), "__ADD_DefaultTokenLabel");
  return IsDefaultWord(g) ? kInitDefaultTokenLabel : g;
}

bool InitProfile::GetGlobalBool(const char* name, bool def) const {
  const CfgSection* g = GetGlobal();
  const CfgParamAndValue* p = g != nullptr ? g->FindParam(name, true) : nullptr;
  bool v = def;
  if (p == nullptr) return def;
  const char* text = nullptr;
  if (p->GetString(&text) && IsDefaultWord(text)) return def;
  return p->GetBool(&v) ? v : def;
}

unsigned long InitProfile::GetNumber(int token, const char* name, unsigned long def) const {
  return ParseUnsignedDefault(GetText(token, name, nullptr), def);
}

unsigned long InitProfile::GetMinLen(int token, const char* name, unsigned long lower, unsigned long upper) const {
  return ParseUnsignedLower(GetText(token, name, nullptr), lower, upper);
}

unsigned long InitProfile::GetMaxLen(int token, const char* name, unsigned long lower, unsigned long upper) const {
  return ParseUnsignedUpper(GetText(token, name, nullptr), lower, upper);
}

namespace {
// The last present of: base of G, specific of G, base of T, specific of T.
const char* LayeredAlphabet(const CfgSection* g, const CfgSection* t, const char* specific) {
  const char* result = nullptr;
  for (const CfgSection* s : {g, t}) {
    for (const char* name : {"RandomPinChars", specific}) {
      const char* v = InitProfile::FindText(s, name);
      if (v != nullptr) result = v;
    }
  }
  return result;
}
}  // namespace

const char* InitProfile::GetUserPinAlphabet(int token) const {
  return LayeredAlphabet(GetGlobal(), GetTokenSection(token), "RandomUserPinChars");
}

const char* InitProfile::GetUserPukAlphabet(int token) const {
  return LayeredAlphabet(GetGlobal(), GetTokenSection(token), "RandomUserPukChars");
}

const char* InitProfile::GetSoPinAlphabet() const { return LayeredAlphabet(GetGlobal(), nullptr, "RandomSoPinChars"); }

const char* InitProfile::GetSoPukAlphabet() const { return LayeredAlphabet(GetGlobal(), nullptr, "RandomSoPukChars"); }

bool InitProfile::GetSoPinIsLocal(int token) const {
  return ParseBoolText(GetText(token, "SoPinIsLocal", nullptr), 0) != 0;
}

bool InitProfile::GetUserPinIsLocal(int token, bool def) const {
  return ParseBoolText(GetText(token, "UserPinIsLocal", nullptr), def ? 1 : 0) != 0;
}

// ---------------------------------------------------------------------------
// Settling

namespace {
CK_RV SettlePin(const char* word, bool isPuk, unsigned long minLen, const char* alphabet,
                const InitRandomTextFn& random, InitSecret* out, bool* isRandom) {
  const int kind = ParsePinValueKind(word);
  *isRandom = false;
  if (kind == 1) {
    *isRandom = true;
    if (!random) return CKR_FUNCTION_FAILED;
    // An invalid length option (0) would give an empty PIN: refused.
    if (minLen == 0) return CKR_ARGUMENTS_BAD;
    // Room for three octets per character (multibyte alphabets).
    const size_t room = minLen * 3 + 1;
    auto* buf = new (std::nothrow) uint8_t[room];
    if (buf == nullptr) return CKR_HOST_MEMORY;
    CK_ULONG len = room - 1;
    CK_RV rv = random(buf, &len, minLen, alphabet);
    if (rv == CKR_OK && !out->Set(reinterpret_cast<const char*>(buf), len)) rv = CKR_HOST_MEMORY;
    SecureZero(buf, room);
    delete[] buf;
    return rv;
  }
  if (kind == 2 && isPuk) {
    out->Clear();
    return CKR_OK;
  }
  return out->Set(word) ? CKR_OK : CKR_HOST_MEMORY;
}
}  // namespace

CK_RV InitProfile::Settle(int token, const InitPinBounds& b, bool userPinIsLocalDefault, const char* callerSoPin,
                          const InitRandomTextFn& random, InitTokenSettings* s, bool drawSoPin) const {
  if (s == nullptr) return CKR_ARGUMENTS_BAD;
  s->tokenLabel = GetTokenLabel(token);
  s->tokenProfile = GetText(token, "TokenProfile", "<default>");
  s->tokenIssuerId = GetText(token, "TokenIssuerId", "");
  s->tokenHolderId = GetText(token, "TokenHolderId", "");
  s->outputPinFile = GetText(token, "OutputPinFile", "");
  const char* fmt = GetText(token, "OutputPinFormat", nullptr);
  s->outputPinFormat = IsDefaultWord(fmt) ? kInitDefaultOutputPinFormat : fmt;

  const char* lbl = nullptr;
  lbl = GetText(token, "UserPinLabel", nullptr);
  s->userPinLabel = IsDefaultWord(lbl) ? kInitDefaultUserPinLabel : lbl;
  lbl = GetText(token, "UserPukLabel", nullptr);
  s->userPukLabel = IsDefaultWord(lbl) ? kInitDefaultUserPukLabel : lbl;
  lbl = GetText(token, "SoPinLabel", nullptr);
  s->soPinLabel = IsDefaultWord(lbl) ? kInitDefaultSoPinLabel : lbl;
  lbl = GetText(token, "SoPukLabel", nullptr);
  s->soPukLabel = IsDefaultWord(lbl) ? kInitDefaultSoPukLabel : lbl;

  s->userPinMinLen = GetMinLen(token, "UserPinMinLen", b.pinMin, b.pinMax);
  s->userPinMaxLen = GetMaxLen(token, "UserPinMaxLen", b.pinMin, b.pinMax);
  s->userPinMaxTries = GetNumber(token, "UserPinMaxTries", 3);
  s->userPukMinLen = GetMinLen(token, "UserPukMinLen", b.pukMin, b.pukMax);
  s->userPukMaxLen = GetMaxLen(token, "UserPukMaxLen", b.pukMin, b.pukMax);
  s->userPukMaxTries = GetNumber(token, "UserPukMaxTries", 3);
  s->userPukUseCount = GetNumber(token, "UserPukUseCount", 0xFFFFFFFFul);
  s->soPinMinLen = GetMinLen(-1, "SoPinMinLen", b.pinMin, b.pinMax);
  s->soPinMaxLen = GetMaxLen(-1, "SoPinMaxLen", b.pinMin, b.pinMax);
  s->soPinMaxTries = GetNumber(-1, "SoPinMaxTries", 10);
  s->soPukMinLen = GetMinLen(-1, "SoPukMinLen", b.pukMin, b.pukMax);
  s->soPukMaxLen = GetMaxLen(-1, "SoPukMaxLen", b.pukMin, b.pukMax);
  s->soPukMaxTries = GetNumber(-1, "SoPukMaxTries", 10);
  s->soPukUseCount = GetNumber(-1, "SoPukUseCount", 0xFFFFFFFFul);
  s->userPinIsLocal = GetUserPinIsLocal(token, userPinIsLocalDefault);

  CK_RV rv = SettlePin(GetText(token, "UserPin", nullptr), false, s->userPinMinLen, GetUserPinAlphabet(token),
                       random, &s->userPin, &s->userPinRandom);
  if (rv == CKR_OK)
    rv = SettlePin(GetText(token, "UserPuk", nullptr), true, s->userPukMinLen, GetUserPukAlphabet(token), random,
                   &s->userPuk, &s->userPukRandom);
  if (rv == CKR_OK) {
    if (callerSoPin != nullptr) {
      s->soPinRandom = false;
      if (!s->soPin.Set(callerSoPin)) rv = CKR_HOST_MEMORY;
    } else if (drawSoPin || ParsePinValueKind(GetText(-1, "SoPin", nullptr)) != 1) {
      rv = SettlePin(GetText(-1, "SoPin", nullptr), false, s->soPinMinLen, GetSoPinAlphabet(), random, &s->soPin,
                     &s->soPinRandom);
    } else {
      s->soPin.Clear();  // the card's SO PIN is already set: nothing to draw
      s->soPinRandom = false;
    }
  }
  if (rv == CKR_OK)
    rv = SettlePin(GetText(-1, "SoPuk", nullptr), true, s->soPukMinLen, GetSoPukAlphabet(), random, &s->soPuk,
                   &s->soPukRandom);
  if (rv != CKR_OK) {
    s->userPin.Clear();
    s->userPuk.Clear();
    s->soPin.Clear();
    s->soPuk.Clear();
  }
  return rv;
}

// ---------------------------------------------------------------------------
// Output variables

CfgSection* InitProfile::GetOrMakeTokenSection(int token, const std::string& label) const {
  CfgSection* s = GetTokenSection(token);
  if (s != nullptr || m_sections == nullptr) return s;
  // Section names use the backslash as level separator: keep the new one a direct subsection.
  std::string name = label.empty() ? "Token" + std::to_string(token + 1) : label;
  for (char& c : name)
    if (c == '\\') c = '_';
  s = m_sections->FindSection(name.c_str(), true);
  return s != nullptr ? s : m_sections->AddSection(name.c_str(), false);
}

namespace {
bool PutText(CfgSection* s, const char* name, const char* text) {
  CfgParamAndValue* p = s->GetOrAddParam(name, CFG_TYPE_TEXT, true, true);
  if (p == nullptr) return false;
  p->SetType(CFG_TYPE_TEXT);
  if (text == nullptr) {
    p->ClearValue();
    return true;
  }
  return p->SetString(text);
}
bool PutNumber(CfgSection* s, const char* name, unsigned long v) {
  CfgParamAndValue* p = s->GetOrAddParam(name, CFG_TYPE_INT, true, true);
  if (p == nullptr) return false;
  p->SetType(CFG_TYPE_INT);
  return p->SetInt(v);
}
bool PutBool(CfgSection* s, const char* name, bool v) {
  CfgParamAndValue* p = s->GetOrAddParam(name, CFG_TYPE_BOOL, true, true);
  if (p == nullptr) return false;
  p->SetType(CFG_TYPE_BOOL);
  return p->SetBool(v);
}
}  // namespace

bool InitProfile::WriteOutputVariables(int token, const InitTokenSettings& st, bool callerSoPin) const {
  if (m_sections == nullptr) return false;
  CfgSection* g = GetGlobal();
  if (g == nullptr) g = m_sections->AddSection("", false);
  CfgSection* t = GetOrMakeTokenSection(token, st.tokenLabel);
  if (g == nullptr || t == nullptr) return false;
  bool ok = PutText(t, "__SET_TokenLabel", st.tokenLabel.c_str());
  ok = ok && PutText(t, "__SET_UserPin", st.userPin.Get());
  ok = ok && PutText(t, "__SET_UserPinLabel", st.userPinLabel.c_str());
  ok = ok && PutNumber(t, "__SET_UserPinMinLen", st.userPinMinLen);
  ok = ok && PutNumber(t, "__SET_UserPinMaxLen", st.userPinMaxLen);
  ok = ok && PutNumber(t, "__SET_UserPinMaxTries", st.userPinMaxTries);
  ok = ok && PutBool(t, "__SET_UserPinIsLocal", st.userPinIsLocal);
  ok = ok && PutText(t, "__SET_UserPuk", st.userPuk.IsSet() ? st.userPuk.Get() : nullptr);
  ok = ok && PutText(t, "__SET_UserPukLabel", st.userPukLabel.c_str());
  ok = ok && PutNumber(t, "__SET_UserPukMinLen", st.userPukMinLen);
  ok = ok && PutNumber(t, "__SET_UserPukMaxLen", st.userPukMaxLen);
  ok = ok && PutNumber(t, "__SET_UserPukMaxTries", st.userPukMaxTries);
  ok = ok && PutNumber(t, "__SET_UserPukUseCount", st.userPukUseCount);
  ok = ok && PutText(t, "__SET_SoPin", st.soPin.Get());
  ok = ok && PutNumber(t, "__SET_SoPinMaxTries", st.soPinMaxTries);
  ok = ok && PutText(t, "__SET_SoPinLabel", st.soPinLabel.c_str());
  ok = ok && PutNumber(t, "__SET_SoPinMinLen", st.soPinMinLen);
  ok = ok && PutNumber(t, "__SET_SoPinMaxLen", st.soPinMaxLen);
  ok = ok && PutText(t, "__SET_SoPuk", st.soPuk.IsSet() ? st.soPuk.Get() : nullptr);
  ok = ok && PutNumber(t, "__SET_SoPukMaxTries", st.soPukMaxTries);
  ok = ok && PutNumber(t, "__SET_SoPukUseCount", st.soPukUseCount);
  ok = ok && PutText(t, "__SET_SoPukLabel", st.soPukLabel.c_str());
  ok = ok && PutNumber(t, "__SET_SoPukMinLen", st.soPukMinLen);
  ok = ok && PutNumber(t, "__SET_SoPukMaxLen", st.soPukMaxLen);
  ok = ok && PutBool(t, "__SET_SoPinIsLocal", false);
  if (callerSoPin) ok = ok && PutText(g, "__SET_SoPin", st.soPin.Get());
  ok = ok && PutBool(g, "__SET_GlobalUserPinBlocked", false);
  ok = ok && PutBool(g, "__SET_GlobalOTPPinBlocked", false);
  return ok;
}

// ---------------------------------------------------------------------------
// Validation

bool ProfileTextMentions(const char* name, const char* text) {
  if (name == nullptr || text == nullptr) return false;
  const size_t len = std::strlen(text);
  const std::string plain = std::string("$") + name;
  const std::string braced = std::string("${") + name + "}";
  return FindSubstringNoCase(text, len, plain.c_str()) != nullptr ||
         FindSubstringNoCase(text, len, braced.c_str()) != nullptr;
}

bool InitFormatHasSoPinAndPuk(const char* format) {
  const bool pin = ProfileTextMentions("SoPin", format) || ProfileTextMentions("__SET_SoPin", format);
  const bool puk = ProfileTextMentions("SoPuk", format) || ProfileTextMentions("__SET_SoPuk", format);
  return pin && puk;
}

// ---------------------------------------------------------------------------
// Variable expansion

namespace {

// The text of one variable in one section; false when the section does not
// give one (absent, an empty string, or a value of another type).
bool VariableText(const CfgSection* section, const std::string& name, std::string* out) {
  const CfgParamAndValue* p = section != nullptr ? section->FindParam(name.c_str(), true) : nullptr;
  if (p == nullptr || !p->HasValue()) return false;
  const char* text = nullptr;
  bool b = false;
  unsigned long n = 0;
  switch (p->GetType()) {
    case CFG_TYPE_BOOL:
      if (!p->GetBool(&b)) return false;
      *out = b ? "1" : "0";
      return true;
    case CFG_TYPE_INT:
      if (!p->GetInt(&n)) return false;
      *out = std::to_string(n);
      return true;
    default:
      if (!p->GetString(&text) || text == nullptr || *text == '\0') return false;
      *out = text;
      return true;
  }
}

std::string VariableValue(const CfgSection* global, const CfgSection* tokenSection, int token,
                          const std::string& name) {
  std::string v;
  for (const std::string& n : {"__SET_" + name, name})
    for (const CfgSection* s : {tokenSection, global})
      if (VariableText(s, n, &v)) return v;
  if (strcasecmp(name.c_str(), "TokenLabel") != 0) return "";
  const char* shortName = tokenSection != nullptr ? tokenSection->GetShortName() : nullptr;
  if (shortName != nullptr && *shortName != '\0') return shortName;
  if (VariableText(global, "__ADD_DefaultTokenLabel", &v)) return v;
  if (token < 1) return kInitDefaultTokenLabel;
  return std::string(kInitDefaultTokenLabel) + " " + std::to_string(token);
}

}  // namespace

bool ExpandProfileText(const char* text, const CfgSectionList* profile, std::string* out, int token) {
  if (out == nullptr) return false;
  out->clear();
  if (text == nullptr || *text == '\0') return true;
  if (std::strchr(text, '$') == nullptr) {
    *out = text;
    return true;
  }
  const CfgSection* global = profile != nullptr ? profile->FindSection("", true) : nullptr;
  const CfgSection* ts = profile != nullptr && token >= 0 ? profile->GetSubsection(token, "", true) : nullptr;
  std::string result;
  for (const char* p = text; *p != '\0';) {
    if (*p != '$') {
      result += *p++;
      continue;
    }
    const char next = p[1];
    if (next == '$') {
      result += '$';
      p += 2;
      continue;
    }
    std::string name;
    if (next == '{') {
      const char* q = p + 2;
      while (*q != '\0' && *q != '}' && (IsIdentifierChar(static_cast<unsigned char>(*q)) || *q == ' ')) ++q;
      if (*q != '}') return false;  // unclosed, or a character a name cannot hold
      name.assign(p + 2, q);
      p = q + 1;
    } else if (IsIdentifierChar(static_cast<unsigned char>(next))) {
      const char* q = p + 1;
      while (IsIdentifierChar(static_cast<unsigned char>(*q))) ++q;
      name.assign(p + 1, q);
      p = q;
    } else {
      result += *p++;  // a lone "$" stays as it is
      continue;
    }
    result += VariableValue(global, ts, token, name);
  }
  *out = std::move(result);
  return true;
}

int InitOpenPinFile(const char* path, std::string* why) {
  // Generated PINs go into this file: never readable by others.
  return OpenSecretFileForAppend(path, SECRET_FILE_REFUSE_SHARED, why);
}

bool InitCanAppendFile(const char* path, std::string* why) {
  const int fd = InitOpenPinFile(path, why);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

namespace {

struct TokenRef {
  int number;
  std::string label;
};

std::string Suffix(const TokenRef* t) {
  if (t == nullptr) return "";
  if (!t->label.empty()) return ", on token" + t->label + " (number " + std::to_string(t->number + 1) + ")";
  return ", on token number " + std::to_string(t->number + 1);
}

std::string Line(const std::string& text, const char* value, const TokenRef* t) {
  return text + ": " + (value ? value : "") + Suffix(t) + "\n";
}

std::string Bounds(const char* format, unsigned long a, unsigned long b) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

// A given PIN is not repeated in a message: only its length shows.
std::string Masked(const char* value) { return std::string(value ? std::strlen(value) : 0, '*'); }

struct PinTexts {
  const char* chars;
  const char* minLen;
  const char* maxLen;
  const char* value;
};

// One PIN or PUK: alphabet when random, the two length options, a given value's length.
bool CheckPin(const char* word, const char* alphabet, const char* minText, const char* maxText,
              unsigned long minLen, unsigned long maxLen, unsigned long lower, unsigned long upper,
              const PinTexts& texts, const TokenRef* t, std::string* message) {
  const int kind = ParsePinValueKind(word);
  if (kind == 1) {
    RandomAlphabet a;
    if (!a.Set(alphabet) || !a.IsUsable()) {
      *message = Line(texts.chars, alphabet ? alphabet : "", t);
      return false;
    }
  }
  if (minLen == 0) {
    *message = Line(Bounds(texts.minLen, lower, upper), minText, t);
    return false;
  }
  if (maxLen == 0) {
    *message = Line(Bounds(texts.maxLen, lower, upper), maxText, t);
    return false;
  }
  if (kind == 0) {
    const size_t len = std::strlen(word);
    if (len < minLen || len > maxLen) {
      const std::string masked = Masked(word);
      *message = Line(Bounds(texts.value, minLen, maxLen), masked.c_str(), t);
      return false;
    }
  }
  return true;
}

const PinTexts kUserPinTexts = {
    "Invalid value for random chars for user PIN",
    "Invalid value for minimum user pin length (valid lengths are from %lu to %lu)",
    "Invalid value for maximum user pin length (valid lengths are from %lu to %lu)",
    "Invalid user PIN value according minimum and maximum lengths (specified lengths are from %lu to %lu)"};
const PinTexts kUserPukTexts = {
    "Invalid value for random chars for user PUK",
    "Invalid value for minimum user PUK length (valid lengths are from %lu to %lu)",
    "Invalid value for maximum user PUK length (valid lengths are from %lu to %lu)",
    "Invalid user PUK value according minimum and maximum lengths (specified lengths are from %lu to %lu)"};
const PinTexts kSoPinTexts = {
    "Invalid value for random chars for admin (Security Officer) PIN",
    "Invalid value for minimum admin PIN length (valid lengths are from %lu to %lu)",
    "Invalid value for maximum admin PIN length (valid lengths are from %lu to %lu)",
    "Invalid admin (SO) PIN value according minimum and maximum lengths (specified lengths are from %lu to %lu)"};
const PinTexts kSoPukTexts = {
    "Invalid value for random chars for admin (Security Officer) PUK",
    "Invalid value for minimum admin PUK length (valid lengths are from %lu to %lu)",
    "Invalid value for maximum admin PUK length (valid lengths are from %lu to %lu)",
    "Invalid admin (SO) PUK value according minimum and maximum lengths (specified lengths are from %lu to %lu)"};

}  // namespace

CK_RV InitProfile::Validate(const InitPinBounds& b, bool checkOutputFiles, const InitExpandFn& expand,
                            std::string* message, bool callerSoPin) const {
  std::string local;
  std::string* msg = message != nullptr ? message : &local;
  msg->clear();
  const int count = GetTokenCount();
  const char* soPinWord = GetText(-1, "SoPin", nullptr);
  const bool soPinRandom = ParsePinValueKind(soPinWord) == 1;
  // The global SO PIN line goes out for an SO PIN the profile does not give as
  // a value (drawn, or the caller's), and always when every PIN is to be written.
  const bool writeAll = WriteAllPins();
  bool globalLineNeeded = soPinRandom || callerSoPin || writeAll;
  for (int token = 0; token < count; ++token) {
    const TokenRef ref{token, GetTokenLabel(token)};
    const char* userPin = GetText(token, "UserPin", nullptr);
    const char* userPuk = GetText(token, "UserPuk", nullptr);
    const char* soPuk = GetText(-1, "SoPuk", nullptr);
    if (!CheckPin(userPin, GetUserPinAlphabet(token), GetText(token, "UserPinMinLen", ""),
                  GetText(token, "UserPinMaxLen", ""), GetMinLen(token, "UserPinMinLen", b.pinMin, b.pinMax),
                  GetMaxLen(token, "UserPinMaxLen", b.pinMin, b.pinMax), b.pinMin, b.pinMax, kUserPinTexts, &ref,
                  msg))
      return CKR_ARGUMENTS_BAD;
    if (!CheckPin(userPuk, GetUserPukAlphabet(token), GetText(token, "UserPukMinLen", ""),
                  GetText(token, "UserPukMaxLen", ""), GetMinLen(token, "UserPukMinLen", b.pukMin, b.pukMax),
                  GetMaxLen(token, "UserPukMaxLen", b.pukMin, b.pukMax), b.pukMin, b.pukMax, kUserPukTexts, &ref,
                  msg))
      return CKR_ARGUMENTS_BAD;
    if (GetSoPinIsLocal(token)) {
      *msg = Line("Admin (Security Officer) PIN can't be local for token", GetText(token, "SoPinIsLocal", ""), &ref);
      return CKR_ARGUMENTS_BAD;
    }
    // Labels and identifiers go to the card as UTF-8 text whatever the locale.
    for (const char* name : {"TokenLabel", "TokenIssuerId", "TokenHolderId", "UserPinLabel", "UserPukLabel",
                             "SoPinLabel", "SoPukLabel"}) {
      const char* text = std::strcmp(name, "TokenLabel") == 0 ? ref.label.c_str() : GetText(token, name, "");
      if (text != nullptr && !Utf8IsWellFormed(text, std::strlen(text))) {
        *msg = Line("Invalid text (not UTF-8) in option", name, &ref);
        return CKR_ARGUMENTS_BAD;
      }
    }
    if (!CheckPin(soPinWord, GetSoPinAlphabet(), GetText(-1, "SoPinMinLen", ""), GetText(-1, "SoPinMaxLen", ""),
                  GetMinLen(-1, "SoPinMinLen", b.pinMin, b.pinMax), GetMaxLen(-1, "SoPinMaxLen", b.pinMin, b.pinMax),
                  b.pinMin, b.pinMax, kSoPinTexts, &ref, msg))
      return CKR_ARGUMENTS_BAD;
    if (!CheckPin(soPuk, GetSoPukAlphabet(), GetText(-1, "SoPukMinLen", ""), GetText(-1, "SoPukMaxLen", ""),
                  GetMinLen(-1, "SoPukMinLen", b.pukMin, b.pukMax), GetMaxLen(-1, "SoPukMaxLen", b.pukMin, b.pukMax),
                  b.pukMin, b.pukMax, kSoPukTexts, &ref, msg))
      return CKR_ARGUMENTS_BAD;
    const char* fmt = GetText(token, "OutputPinFormat", nullptr);
    if (!writeAll && InitFormatHasSoPinAndPuk(IsDefaultWord(fmt) ? kInitDefaultOutputPinFormat : fmt))
      globalLineNeeded = false;
    if (!checkOutputFiles) continue;
    // The token's line is written to its file whatever the PINs are, given or
    // drawn: the file is tested before the card is touched.
    const char* file = GetText(token, "OutputPinFile", "");
    if (file == nullptr || *file == '\0') continue;
    std::string expanded;
    if (expand ? !expand(file, token, &expanded) : false) {
      *msg = std::string(": Invalid option OutputPinFile value: ") + file + Suffix(&ref) + "\n";
      return CKR_ARGUMENTS_BAD;
    }
    if (!expand) expanded = file;
    std::string why;
    if (!InitCanAppendFile(expanded.c_str(), &why)) {
      *msg = Line("Can't open file for writing generated pins", (expanded + " (" + why + ")").c_str(), &ref);
      return CKR_ARGUMENTS_BAD;
    }
  }
  if (checkOutputFiles && globalLineNeeded && count > 0) {
    const char* file = GetText(-1, "OutputPinFile", "");
    if (file != nullptr && *file != '\0') {
      std::string expanded;
      if (expand ? !expand(file, -1, &expanded) : false) {
        *msg = std::string("Global optins: Invalid option OutputPinFile value: ") + file + "\n";
        return CKR_ARGUMENTS_BAD;
      }
      if (!expand) expanded = file;
      std::string why;
      if (!InitCanAppendFile(expanded.c_str(), &why)) {
        *msg = Line("Can't open file for writing generated global admin pin", (expanded + " (" + why + ")").c_str(),
                    nullptr);
        return CKR_ARGUMENTS_BAD;
      }
    }
  }
  return CKR_OK;
}
