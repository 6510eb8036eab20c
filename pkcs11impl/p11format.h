// PKCS#11 values as text for the trace log: attribute values, attribute
// templates (nested templates included) and the structures of the standard,
// plus the small text helpers they share.
//
// Formatters take (..., char* out, int outSize, ...) and return the length the
// text needs including its terminator; with out null or too small, nothing is
// written unless a function says it writes a cut prefix.
#ifndef MIRTAL_PKCS11IMPL_P11FORMAT_H
#define MIRTAL_PKCS11IMPL_P11FORMAT_H

#include <string>

#include "pkcs11impl/cryptoki.h"

// snprintf; a null buffer only measures.
int FormatToBuffer(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// A new[]-allocated formatted text (release with delete[]), null on failure.
char* FormatAlloc(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Copies at most srcLen bytes (srcLen < 0: up to the terminator), leaving room
// for a terminator when dstSize >= 0. With a non-zero replacement the first
// byte below 0x20 stops the copy and it and every later position up to srcLen
// get the replacement (a negative replacement turns a NUL byte into its
// negation). Writes a terminator unless dstSize is 0. Returns the bytes
// written before the terminator.
int CopyPrintable(char* dst, const char* src, int dstSize, int srcLen, int replacement);

// Dumps in the trace stop after this many octets: a length is often the host's
// claim, and neither the bytes behind it nor a text of that size are taken whole.
constexpr size_t kTraceDumpLimit = 4096;

// The bytes as upper-case hexadecimal pairs separated by one blank. Beyond
// kTraceDumpLimit octets the dump is cut and ends in " ... (N octets, the first
// 4096 shown)".
std::string HexText(const void* data, size_t len);

// Text of one attribute value (by the attribute's display kind); a value longer
// than kTraceDumpLimit is shown as a cut hexadecimal dump whatever its kind.
int FormatAttributeValue(const CK_ATTRIBUTE* attr, char* out, int outSize, int depth);
std::string AttributeValueText(const CK_ATTRIBUTE* attr, int depth);

// What the module found the object of a call to be while it answered the call
// (objectClass ~0: no object was found).
struct TracedObject {
  CK_OBJECT_CLASS objectClass = ~0UL;
  bool isPrivate = true;
};

// True when the trace shows this attribute of the template by its length only:
// private-key components and the system key always. CKA_VALUE shows only when
// every CKA_PRIVATE entry is CK_FALSE, the object found (if any) is not private,
// and the classes of the CKA_CLASS entries and of the object found, of which
// there is at least one, are certificates or public keys, or else data, hardware
// features, domain parameters or mechanisms with at least one CKA_PRIVATE entry.
// Without a class the object may be a key.
bool IsHiddenInTrace(const CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_ATTRIBUTE_TYPE type,
                     const TracedObject* object = nullptr);

// Text of an attribute template; entries separated by the separator and
// 2 x depth blanks. With withValues false only names and lengths are shown;
// values that IsHiddenInTrace names (with the object found, for the top level)
// are shown as "<not shown>".
int FormatTemplate(int depth, const CK_ATTRIBUTE* tmpl, CK_ULONG count, char* out, int outSize,
                   bool withValues, const char* separator);
std::string TemplateText(int depth, const CK_ATTRIBUTE* tmpl, CK_ULONG count, bool withValues,
                         const char* separator, const TracedObject* object = nullptr);

// Structure texts: labelled fields joined by the separator (null: "\n"); a
// null structure gives "<null>". These write a cut prefix when out is too small.
int FormatInfo(const CK_INFO* info, const CK_VERSION* functionListVersion, char* out, int outSize,
               const char* separator);
int FormatSlotInfo(const CK_SLOT_INFO* info, char* out, int outSize, const char* separator);
int FormatTokenInfo(const CK_TOKEN_INFO* info, char* out, int outSize, const char* separator);
int FormatSessionInfo(const CK_SESSION_INFO* info, char* out, int outSize, const char* separator);
int FormatPinInfo(const MIRTAL_PIN_INFO* info, char* out, int outSize, const char* separator);
int FormatMechanism(const CK_MECHANISM* mech, char* out, int outSize, const char* separator);
// type may be null: the mechanism line is left out then.
int FormatMechanismInfo(const CK_MECHANISM_TYPE* type, const CK_MECHANISM_INFO* info, char* out,
                        int outSize, const char* separator);
int FormatInitializeArgs(const CK_C_INITIALIZE_ARGS* args, char* out, int outSize, const char* separator);

std::string InfoText(const CK_INFO* info, const CK_VERSION* functionListVersion, const char* separator);
std::string SlotInfoText(const CK_SLOT_INFO* info, const char* separator);
std::string TokenInfoText(const CK_TOKEN_INFO* info, const char* separator);
std::string SessionInfoText(const CK_SESSION_INFO* info, const char* separator);
std::string PinInfoText(const MIRTAL_PIN_INFO* info, const char* separator);
std::string MechanismText(const CK_MECHANISM* mech, const char* separator);
std::string MechanismInfoText(const CK_MECHANISM_TYPE* type, const CK_MECHANISM_INFO* info,
                              const char* separator);
std::string InitializeArgsText(const CK_C_INITIALIZE_ARGS* args, const char* separator);

#endif
