// Names of PKCS#11 constants for the trace log: the name tables, the lookup that
// turns a value into a name (fixed forms for unknown and vendor values), flag
// words as lists of flag names, and the PIN-status and trust texts.
#ifndef MIRTAL_PKCS11IMPL_P11NAMES_H
#define MIRTAL_PKCS11IMPL_P11NAMES_H

#include <cstddef>

#include "pkcs11impl/cryptoki.h"

// A row of a name table; every table's rows begin with these two fields.
struct P11NameRow {
  CK_ULONG value;
  const char* name;
};

// Mechanism rows add the operations the mechanism serves and two key-type
// patterns (the key it works with; the key it generates or wraps). Key-type
// patterns may be the group codes of KeyTypeMatches; ~0 means "no key".
struct P11MechanismRow {
  CK_ULONG value;
  const char* name;
  CK_FLAGS flags;
  CK_ULONG keyType;
  CK_ULONG keyType2;
};

// Attribute rows add the display kind that selects how a value is printed.
struct P11AttributeRow {
  CK_ULONG value;
  const char* name;
  int kind;
};

// Flag tables: one bit and its name per row.
struct P11FlagRow {
  CK_ULONG bit;
  const char* name;
};

struct P11NameTable {
  const void* rows;
  size_t count;
  size_t rowSize;
};

// The tables (rows in lookup order: the first row with a value wins).
const P11NameTable& ReturnValueTable();
const P11NameTable& MechanismTable();
const P11NameTable& AttributeTable();
const P11NameTable& ObjectClassTable();
const P11NameTable& KeyTypeTable();
const P11NameTable& CertificateTypeTable();
const P11NameTable& HwFeatureTable();
const P11NameTable& SessionStateTable();
const P11NameTable& UserTypeTable();
const P11NameTable& MgfTable();
const P11NameTable& KdfTable();
const P11NameTable& OtpFormatTable();
const P11NameTable& OtpParamTable();
const P11NameTable& PinStatusTable();
const P11NameTable& TrustTable();

// The name of value in a table, scanning from the first row. Standard values
// (bit 31 clear) and all ones give the row's name when found. With a buffer,
// vendor values give "<prefix>VENDOR_%08lX" followed by the names of every row
// with that value in parentheses, and unknown standard values
// "<prefix>UNKNOWN_%08lX"; the buffer is returned then. Without a buffer a
// fixed name is returned. Never returns null.
const char* LookupConstantName(CK_ULONG value, const void* table, size_t rowCount, size_t rowSize,
                               char* buf, int bufSize);
// The same answers through an index built once per table.
const char* LookupConstantNameIndexed(CK_ULONG value, const P11NameTable& table, char* buf,
                                      int bufSize);

const char* GetReturnValueName(CK_RV value, char* buf = nullptr, int bufSize = 0);
const char* GetMechanismName(CK_MECHANISM_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetAttributeName(CK_ATTRIBUTE_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetObjectClassName(CK_OBJECT_CLASS value, char* buf = nullptr, int bufSize = 0);
const char* GetKeyTypeName(CK_KEY_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetCertificateTypeName(CK_CERTIFICATE_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetHwFeatureName(CK_HW_FEATURE_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetSessionStateName(CK_STATE value, char* buf = nullptr, int bufSize = 0);
const char* GetUserTypeName(CK_USER_TYPE value, char* buf = nullptr, int bufSize = 0);
const char* GetMgfName(CK_ULONG value, char* buf = nullptr, int bufSize = 0);
const char* GetKdfName(CK_ULONG value, char* buf = nullptr, int bufSize = 0);
const char* GetOtpFormatName(CK_ULONG value, char* buf = nullptr, int bufSize = 0);
const char* GetOtpParamName(CK_ULONG value, char* buf = nullptr, int bufSize = 0);

// The display kind of an attribute type (0 for an unknown attribute).
int GetAttributeDisplayKind(CK_ATTRIBUTE_TYPE type);
// The operations of a mechanism that a key of the class may serve (0 when unknown).
CK_FLAGS GetMechanismFlagsForClass(CK_MECHANISM_TYPE mechanism, CK_OBJECT_CLASS objectClass);
// The mechanism row of a mechanism, or null.
const P11MechanismRow* FindMechanismRow(CK_MECHANISM_TYPE mechanism);

// Flag tables.
extern const P11FlagRow kInitializeFlags[];
extern const int kInitializeFlagCount;
extern const P11FlagRow kSlotFlags[];
extern const int kSlotFlagCount;
extern const P11FlagRow kTokenFlags[];
extern const int kTokenFlagCount;
extern const P11FlagRow kSessionFlags[];
extern const int kSessionFlagCount;
extern const P11FlagRow kMechanismFlags[];
extern const int kMechanismFlagCount;
extern const P11FlagRow kUserPinFlags[];
extern const int kUserPinFlagCount;
extern const P11FlagRow kPinObjectFlags[];
extern const int kPinObjectFlagCount;
extern const P11FlagRow kQualifiedPartFlags[];
extern const int kQualifiedPartFlagCount;
extern const P11FlagRow kOtpFlags[];
extern const int kOtpFlagCount;

// Joins the names of the set bits with ", " (unknown bits once, at the end, as
// "CKF_UNKNOWN_%08lx"); 0 gives "0". A negative rowCount means the table ends
// with a zero row. Returns the length with terminator, or minus that length
// (nothing written) when buf is null or bufSize smaller.
int FormatFlags(const P11FlagRow* table, int rowCount, CK_FLAGS flags, char* buf, int bufSize);
int FormatInitializeFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatSlotFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatTokenFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatSessionFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatMechanismFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatUserPinFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatPinObjectFlags(CK_FLAGS flags, char* buf, int bufSize);
int FormatOtpFlags(CK_FLAGS flags, char* buf, int bufSize);
// A state prefix ("CKF_MIRTAL_QUAL_PART_...: ") followed by the flag names.
int FormatQualifiedPartCharacteristics(CK_FLAGS flags, char* buf, int bufSize);

// PIN status (CKS_MIRTAL_PIN_*, read as a signed number) and NSS trust values.
const char* GetPinStatusName(CK_ULONG status, char* buf = nullptr, int bufSize = 0);
const char* GetPinStatusTextEn(CK_ULONG status, char* buf = nullptr, int bufSize = 0);
// Polish, in UTF-8 (convert at the API boundary for a caller).
const char* GetPinStatusTextPl(CK_ULONG status, char* buf = nullptr, int bufSize = 0);
const char* GetTrustName(CK_ULONG value, char* buf = nullptr, int bufSize = 0);
const char* BoolText(bool b);

#endif
