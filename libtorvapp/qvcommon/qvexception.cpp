#include "libtorvapp/qvcommon/qvexception.h"

#include <cstring>

namespace {

// Appends src to dst at position pos (bounded by cap - 1), returns the new position.
std::size_t appendText(char* dst, std::size_t pos, std::size_t cap, const char* src)
{
    while (*src != '\0' && pos + 1 < cap)
        dst[pos++] = *src++;
    dst[pos] = '\0';
    return pos;
}

std::size_t appendHex(char* dst, std::size_t pos, std::size_t cap, std::uint64_t v, int digits)
{
    static const char hex[] = "0123456789abcdef";
    for (int i = digits - 1; i >= 0 && pos + 1 < cap; --i)
        dst[pos++] = hex[(v >> (4 * i)) & 0xF];
    dst[pos] = '\0';
    return pos;
}

// Only the last `keep` characters of a long text are kept.
const char* lastChars(const char* s, std::size_t keep)
{
    if (s == nullptr)
        return "";
    std::size_t n = std::strlen(s);
    return n > keep ? s + (n - keep) : s;
}

} // namespace

#define QV_DEFAULT_TEXT(Name)                                                          \
    "LIBRARY: libtorvapp\nEXCEPTION: " #Name                                           \
    "\nREASON: ???\nFUNCTION: ???\nFILE: ???\nLINE: ???\n"

QvException::QvException() noexcept : message(QV_DEFAULT_TEXT(QvException)), detail("") {}
QvException::~QvException() = default;
const char* QvException::what() const noexcept { return message; }
const char* QvException::getDetail() const noexcept { return detail; }
void QvException::setMessage(const char* text) noexcept { message = text; }
void QvException::setDetail(const char* text) noexcept { detail = text; }

#define QV_DEFINE_EXCEPTION(Name)                                                     \
    Name::Name() noexcept { message = QV_DEFAULT_TEXT(Name); }                        \
    Name::~Name() = default;

QV_DEFINE_EXCEPTION(QvLibException)
QV_DEFINE_EXCEPTION(QvCriticalException)
QV_DEFINE_EXCEPTION(QvAccessException)
QV_DEFINE_EXCEPTION(QvArgumentRangeException)
QV_DEFINE_EXCEPTION(QvInvException)
QV_DEFINE_EXCEPTION(QvDivByZeroException)
QV_DEFINE_EXCEPTION(QvRevException)
QV_DEFINE_EXCEPTION(QvNotInitException)
QV_DEFINE_EXCEPTION(QvLibNotImplementedException)
QV_DEFINE_EXCEPTION(QvFsmException)
QV_DEFINE_EXCEPTION(QvInternalErrorException)
QV_DEFINE_EXCEPTION(QvConversionException)
QV_DEFINE_EXCEPTION(QvWrongSyntaxException)
QV_DEFINE_EXCEPTION(QvEncryptionDecryptionException)
QV_DEFINE_EXCEPTION(QvInvalidKeyException)
QV_DEFINE_EXCEPTION(QvMessageToLongException)
QV_DEFINE_EXCEPTION(QvWeakKeyException)
QV_DEFINE_EXCEPTION(QvRbgCycleException)
QV_DEFINE_EXCEPTION(QvRbgNotInitialisedException)
QV_DEFINE_EXCEPTION(QvBufferOverlapException)

// ---- QvMemException ----

QvMemException::QvMemException() noexcept : size(0)
{
    text[0] = '\0';
    message = "LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
              "REASON: out of memory during allocation 0x??? octets\nFILE: ???\nLINE: ???\n";
}

QvMemException::QvMemException(std::uint64_t sz, const char* file, const char* line) noexcept
    : size(sz)
{
    const std::size_t cap = sizeof(text);
    std::size_t p = 0;
    text[0] = '\0';
    p = appendText(text, p, cap,
                   "LIBRARY: libtorvapp\nEXCEPTION: QvMemException\n"
                   "REASON: out of memory during allocation 0x");
    p = appendHex(text, p, cap, sz, 16);
    p = appendText(text, p, cap, " octets\nFILE: ");
    p = appendText(text, p, cap, lastChars(file, 1016));
    p = appendText(text, p, cap, "\nLINE: ");
    p = appendText(text, p, cap, lastChars(line, 24));
    appendText(text, p, cap, "\n");
    message = text;
}

void QvMemException::copyFrom(const QvMemException& other) noexcept
{
    std::memcpy(text, other.text, sizeof(text));
    size = other.size;
    message = (other.message == other.text) ? text : other.message;
    detail = other.detail;
}

QvMemException::QvMemException(const QvMemException& other) noexcept : QvException(other)
{
    copyFrom(other);
}

QvMemException& QvMemException::operator=(const QvMemException& other) noexcept
{
    if (this != &other)
        copyFrom(other);
    return *this;
}

QvMemException::~QvMemException() = default;
std::uint64_t QvMemException::getSize() const noexcept { return size; }

// ---- QvInterruptException ----

QvInterruptException::QvInterruptException() noexcept : code(0)
{
    message = QV_DEFAULT_TEXT(QvInterruptException);
}

QvInterruptException::QvInterruptException(std::uint32_t c) noexcept : code(c)
{
    message = QV_DEFAULT_TEXT(QvInterruptException);
}

QvInterruptException::~QvInterruptException() = default;
std::uint32_t QvInterruptException::getCode() const noexcept { return code; }

// ---- QvBadKeyLengthException ----

QvBadKeyLengthException::QvBadKeyLengthException() noexcept
{
    detailText[0] = '\0';
    message = QV_DEFAULT_TEXT(QvBadKeyLengthException);
}

QvBadKeyLengthException::QvBadKeyLengthException(std::uint32_t octets, std::uint32_t minOctets,
                                                 std::uint32_t maxOctets,
                                                 std::uint32_t stepOctets) noexcept
{
    message = QV_DEFAULT_TEXT(QvBadKeyLengthException);
    const std::size_t cap = sizeof(detailText);
    std::size_t p = 0;
    detailText[0] = '\0';
    p = appendText(detailText, p, cap, "OCTETS: 0x");
    p = appendHex(detailText, p, cap, octets, 8);
    p = appendText(detailText, p, cap, "\nMIN_OCTETS: 0x");
    p = appendHex(detailText, p, cap, minOctets, 8);
    p = appendText(detailText, p, cap, "\nMAX_OCTETS: 0x");
    p = appendHex(detailText, p, cap, maxOctets, 8);
    p = appendText(detailText, p, cap, "\nSTEP_OCTETS: 0x");
    p = appendHex(detailText, p, cap, stepOctets, 8);
    appendText(detailText, p, cap, "\n");
    detail = detailText;
}

void QvBadKeyLengthException::copyFrom(const QvBadKeyLengthException& other) noexcept
{
    std::memcpy(detailText, other.detailText, sizeof(detailText));
    message = other.message;
    detail = (other.detail == other.detailText) ? detailText : other.detail;
}

QvBadKeyLengthException::QvBadKeyLengthException(const QvBadKeyLengthException& other) noexcept
    : QvEncryptionDecryptionException(other)
{
    copyFrom(other);
}

QvBadKeyLengthException& QvBadKeyLengthException::operator=(
    const QvBadKeyLengthException& other) noexcept
{
    if (this != &other)
        copyFrom(other);
    return *this;
}

QvBadKeyLengthException::~QvBadKeyLengthException() = default;
