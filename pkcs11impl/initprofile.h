// The card-initialisation profile: option readers over the profile's sections
// (the unnamed global section and one direct subsection per token), the values
// settled for a token, the output variables written back, and the validation
// pass with its messages.
#ifndef MIRTAL_PKCS11IMPL_INITPROFILE_H
#define MIRTAL_PKCS11IMPL_INITPROFILE_H

#include <cstdint>
#include <functional>
#include <string>

#include "pkcs11impl/cryptoki.h"

class CfgSection;
class CfgSectionList;

// Length bounds the card accepts (PUK bounds by card model).
struct InitPinBounds {
  unsigned long pinMin = 0;
  unsigned long pinMax = 0;
  unsigned long pukMin = 0;
  unsigned long pukMax = 0;
};

// A PIN-like text wiped when released.
class InitSecret {
 public:
  InitSecret() = default;
  ~InitSecret() { Clear(); }
  InitSecret(const InitSecret&) = delete;
  InitSecret& operator=(const InitSecret&) = delete;
  void Clear();
  bool Set(const char* text, size_t len);
  bool Set(const char* text);
  const char* Get() const { return m_text != nullptr ? m_text : ""; }
  size_t Length() const { return m_len; }
  bool IsSet() const { return m_text != nullptr; }

 private:
  char* m_text = nullptr;
  size_t m_len = 0;
};

// Values settled for one token. Lengths and counters as numbers.
struct InitTokenSettings {
  std::string tokenLabel;
  InitSecret userPin, userPuk, soPin, soPuk;  // userPuk/soPuk unset: no PUK ("<none>")
  bool userPinRandom = false, userPukRandom = false, soPinRandom = false, soPukRandom = false;
  std::string userPinLabel, userPukLabel, soPinLabel, soPukLabel;
  unsigned long userPinMinLen = 0, userPinMaxLen = 0, userPinMaxTries = 0;
  unsigned long userPukMinLen = 0, userPukMaxLen = 0, userPukMaxTries = 0, userPukUseCount = 0;
  unsigned long soPinMinLen = 0, soPinMaxLen = 0, soPinMaxTries = 0;
  unsigned long soPukMinLen = 0, soPukMaxLen = 0, soPukMaxTries = 0, soPukUseCount = 0;
  bool userPinIsLocal = false;
  std::string tokenProfile, tokenIssuerId, tokenHolderId;
  std::string outputPinFile, outputPinFormat;
};

// Draws a random text of `chars` characters from the alphabet word into out
// (room for *length bytes; *length set to the bytes written).
using InitRandomTextFn = std::function<CK_RV(uint8_t* out, CK_ULONG* length, CK_ULONG chars, const char* alphabet)>;
// Expands the variables of a file name for a token (-1: the global file);
// false when it cannot be expanded.
using InitExpandFn = std::function<bool(const char* text, int token, std::string* out)>;

// Option defaults.
extern const char* const kInitDefaultSoPinLabel;
extern const char* const kInitDefaultSoPukLabel;
extern const char* const kInitDefaultUserPinLabel;
extern const char* const kInitDefaultUserPukLabel;
extern const char* const kInitDefaultOutputPinFormat;
extern const char* const kInitDefaultGlobalSoPinFormat;
extern const char* const kInitDefaultTokenLabel;

class InitProfile {
 public:
  // The sections are borrowed; output variables are written into them.
  explicit InitProfile(CfgSectionList* sections) : m_sections(sections) {}

  CfgSectionList* GetSections() const { return m_sections; }
  CfgSection* GetGlobal() const;
  int GetTokenCount() const;
  CfgSection* GetTokenSection(int token) const;

  // ---- option readers (token -1: the global section alone) ----
  // The string value of an option in one section; null when absent or not a string.
  static const char* FindText(const CfgSection* section, const char* name);
  // G, T: T overrides G; `def` when neither has it.
  const char* GetText(int token, const char* name, const char* def) const;
  const char* GetGlobalText(const char* name, const char* def) const { return GetText(-1, name, def); }
  std::string GetTokenLabel(int token) const;
  bool GetGlobalBool(const char* name, bool def) const;
  bool TestSettingsOnly() const { return GetGlobalBool("TestSettingsOnly", false); }
  bool BlockGlobalUserPin() const { return GetGlobalBool("BlockGlobalUserPin", GetTokenCount() >= 2); }
  bool WriteAllPins() const { return GetGlobalBool("WriteAllPins", false); }
  // Unsigned number; text after the number or no number at all: `def`.
  unsigned long GetNumber(int token, const char* name, unsigned long def) const;
  // Length options; 0 = invalid.
  unsigned long GetMinLen(int token, const char* name, unsigned long lower, unsigned long upper) const;
  unsigned long GetMaxLen(int token, const char* name, unsigned long lower, unsigned long upper) const;
  // Alphabet words, by the lookup orders of the options.
  const char* GetUserPinAlphabet(int token) const;
  const char* GetUserPukAlphabet(int token) const;
  const char* GetSoPinAlphabet() const;
  const char* GetSoPukAlphabet() const;
  bool GetSoPinIsLocal(int token) const;
  bool GetUserPinIsLocal(int token, bool def) const;

  // ---- settling and output variables ----
  // Reads every option of a token and draws the random values (the caller's SO
  // PIN, when given, takes precedence). A random value has its option's minimum
  // length. Under a failure of the generator its result is returned. Without
  // drawSoPin (the card's SO PIN is already set) a random SO PIN is left unset.
  CK_RV Settle(int token, const InitPinBounds& bounds, bool userPinIsLocalDefault, const char* callerSoPin,
               const InitRandomTextFn& random, InitTokenSettings* out, bool drawSoPin = true) const;
  // The "__SET_" variables of a settled token into its section (made under the
  // token label when missing) and the global section. False when memory runs out.
  bool WriteOutputVariables(int token, const InitTokenSettings& settings, bool callerSoPin) const;

  // ---- validation ----
  // Every token section in order; CKR_ARGUMENTS_BAD at the first problem, whose
  // message line is put in *message. Output files are tested only when asked;
  // `callerSoPin`: the caller hands in the SO PIN (its global line may be due).
  CK_RV Validate(const InitPinBounds& bounds, bool checkOutputFiles, const InitExpandFn& expand,
                 std::string* message, bool callerSoPin = false) const;

 private:
  CfgSection* GetOrMakeTokenSection(int token, const std::string& label) const;
  CfgSectionList* m_sections;
};

// True when the text holds "$" and the name, or "${", the name and "}" (without regard to case).
bool ProfileTextMentions(const char* name, const char* text);
// Expands the variables of an output text for a token (-1: the global section
// alone): "$$" is "$", "$name" takes the longest run of letters, digits and
// "_", "${name}" a name that may hold blanks. "__SET_" + name is looked up
// before the name, in the token's section before the global one; an unknown
// name is empty. False, with *out empty, when a "${" is not closed properly.
bool ExpandProfileText(const char* text, const CfgSectionList* profile, std::string* out, int token);
// True when a line format names both the SO PIN and SO PUK variables ("$name" or
// "${name}", plain or with the "__SET_" prefix).
bool InitFormatHasSoPinAndPuk(const char* format);
// Opens the PIN output file for appending: never through a symbolic link, only
// the user's own regular file readable by its owner alone (created 0600). The
// descriptor, or -1 with *why saying what is wrong with the file.
int InitOpenPinFile(const char* path, std::string* why);
// The same test, the file closed again at once.
bool InitCanAppendFile(const char* path, std::string* why);

#endif
