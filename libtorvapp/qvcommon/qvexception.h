// Exception tree of the cryptographic library. Every failure of the library is
// reported by throwing one of these; the text of each has six lines (library,
// class, reason, function, file, line). Throw sites pass one literal holding the
// whole text, so nothing is formatted while an error is being reported.
#ifndef LIBTORVAPP_QVCOMMON_QVEXCEPTION_H
#define LIBTORVAPP_QVCOMMON_QVEXCEPTION_H

#include <cstdint>
#include <exception>

class QvException : public std::exception {
public:
    QvException() noexcept;
    QvException(const QvException& other) noexcept = default;
    QvException& operator=(const QvException& other) noexcept = default;
    ~QvException() override;

    const char* what() const noexcept override;
    virtual const char* getDetail() const noexcept;
    // The text is not copied: callers pass literals (or texts that outlive the object).
    virtual void setMessage(const char* text) noexcept;
    virtual void setDetail(const char* text) noexcept;

protected:
    const char* message;
    const char* detail;
};

// Out of memory. Builds its text in its own buffer from the size, file and line.
class QvMemException : public QvException {
public:
    QvMemException() noexcept;
    QvMemException(std::uint64_t size, const char* file, const char* line) noexcept;
    QvMemException(const QvMemException& other) noexcept;
    QvMemException& operator=(const QvMemException& other) noexcept;
    ~QvMemException() override;

    virtual std::uint64_t getSize() const noexcept;

private:
    void copyFrom(const QvMemException& other) noexcept;
    char text[1176];
    std::uint64_t size;
};

class QvInterruptException : public QvException {
public:
    QvInterruptException() noexcept;
    explicit QvInterruptException(std::uint32_t code) noexcept;
    ~QvInterruptException() override;
    virtual std::uint32_t getCode() const noexcept;

private:
    std::uint32_t code;
};

#define QV_DECLARE_EXCEPTION(Name, Base)                                     \
    class Name : public Base {                                               \
    public:                                                                  \
        Name() noexcept;                                                     \
        ~Name() override;                                                    \
    };

QV_DECLARE_EXCEPTION(QvLibException, QvException)
QV_DECLARE_EXCEPTION(QvCriticalException, QvLibException)
QV_DECLARE_EXCEPTION(QvAccessException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvArgumentRangeException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvInvException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvDivByZeroException, QvInvException)
QV_DECLARE_EXCEPTION(QvRevException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvNotInitException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvLibNotImplementedException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvFsmException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvInternalErrorException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvConversionException, QvCriticalException)
QV_DECLARE_EXCEPTION(QvWrongSyntaxException, QvConversionException)
QV_DECLARE_EXCEPTION(QvEncryptionDecryptionException, QvLibException)
QV_DECLARE_EXCEPTION(QvInvalidKeyException, QvEncryptionDecryptionException)
QV_DECLARE_EXCEPTION(QvMessageToLongException, QvEncryptionDecryptionException)
QV_DECLARE_EXCEPTION(QvWeakKeyException, QvEncryptionDecryptionException)
QV_DECLARE_EXCEPTION(QvRbgCycleException, QvLibException)
QV_DECLARE_EXCEPTION(QvRbgNotInitialisedException, QvLibException)
QV_DECLARE_EXCEPTION(QvBufferOverlapException, QvLibException)

#undef QV_DECLARE_EXCEPTION

// Key, seed or IV of a wrong length; the detail text lists the length and the
// allowed range (a bound the throw site does not know is passed as 0).
class QvBadKeyLengthException : public QvEncryptionDecryptionException {
public:
    QvBadKeyLengthException() noexcept;
    QvBadKeyLengthException(std::uint32_t octets, std::uint32_t minOctets,
                            std::uint32_t maxOctets, std::uint32_t stepOctets) noexcept;
    QvBadKeyLengthException(const QvBadKeyLengthException& other) noexcept;
    QvBadKeyLengthException& operator=(const QvBadKeyLengthException& other) noexcept;
    ~QvBadKeyLengthException() override;

private:
    void copyFrom(const QvBadKeyLengthException& other) noexcept;
    char detailText[90];
};

// The way every throw site reports a failure: a local exception of the class,
// the whole six-line text as one literal, and a copy of it thrown.
template <class E>
[[noreturn]] inline void qvThrow(const char* text)
{
    E e;
    e.setMessage(text);
    throw e;
}

#endif
