#include "support/debuglog.h"

#include "support/safefile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex g_lock;  // guards the selection only; lines are written outside it
bool g_enabled = false;
char g_path[DEBUGLOG_MAX_PATH + 1] = {0};

// Copies the selection; false when output is off.
bool CurrentTarget(char* path)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_enabled)
        return false;
    memcpy(path, g_path, sizeof(g_path));
    return true;
}

// Opens the log file for appending: never through a symbolic link, only a
// regular file of ours; one that others may read is made owner-only first, as
// the log tells how the host uses its cards. -1 with errno on failure.
int OpenForAppend(const char* path)
{
    return OpenSecretFileForAppend(path, SECRET_FILE_TIGHTEN_SHARED, nullptr);
}

// Appends one finished line, opening the file for this line only.
void Emit(const char* path, const std::string& line)
{
    if (path[0]) {
        const int fd = OpenForAppend(path);
        if (fd < 0)
            return;
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    } else if (stderr) {
        fwrite(line.data(), 1, line.size(), stderr);
        fflush(stderr);
    }
}

std::string Format(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));
std::string Format(const char* fmt, va_list args)
{
    char stackBuf[1024];
    va_list ap;
    va_copy(ap, args);
    int n = vsnprintf(stackBuf, sizeof(stackBuf), fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof(stackBuf))
        return std::string(stackBuf, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    va_copy(ap, args);
    vsnprintf(big.data(), big.size(), fmt, ap);
    va_end(ap);
    return std::string(big.data(), static_cast<size_t>(n));
}

std::string FormatArgs(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatArgs(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = Format(fmt, ap);
    va_end(ap);
    return s;
}

}  // namespace

char* DebugLogTimestamp(char* buffer)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t secs = tv.tv_sec;
    struct tm lt;
    localtime_r(&secs, &lt);
    char tmp[96];
    snprintf(tmp, sizeof(tmp), "%04d-%02d-%02d, %02d:%02d:%02d.%03d", (lt.tm_year + 1900) % 10000,
             lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    memcpy(buffer, tmp, DEBUGLOG_TIMESTAMP_SIZE - 1);
    buffer[DEBUGLOG_TIMESTAMP_SIZE - 1] = '\0';
    return buffer;
}

void DebugLogWriteText(int, int, const char* text)
{
    char path[DEBUGLOG_MAX_PATH + 1];
    if (!CurrentTarget(path))
        return;
    char ts[DEBUGLOG_TIMESTAMP_SIZE];
    DebugLogTimestamp(ts);
    // The whole line goes out in one write so that lines of other threads do not
    // land inside it.
    std::string line = FormatArgs("%s [% 6ld, % 6ld]: %s\n", ts, static_cast<long>(getpid()),
                                  static_cast<long>(pthread_self()), text ? text : "");
    Emit(path, line);
}

void DebugLogWriteV(int, int, const char* format, va_list args)
{
    char path[DEBUGLOG_MAX_PATH + 1];
    if (!CurrentTarget(path))
        return;
    char ts[DEBUGLOG_TIMESTAMP_SIZE];
    DebugLogTimestamp(ts);
    std::string line = FormatArgs("%s [%6lu, %6lu]: ", ts, static_cast<unsigned long>(getpid()),
                                  static_cast<unsigned long>(pthread_self()));
    if (format)
        line += Format(format, args);
    line += '\n';
    Emit(path, line);
}

void DebugLogWrite(int level, int category, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    DebugLogWriteV(level, category, format, ap);
    va_end(ap);
}

int DebugLogSetFile(const char* path)
{
    if (path == nullptr || path[0] == '\0') {
        if (!stderr)
            return 2;
        std::lock_guard<std::mutex> guard(g_lock);
        g_path[0] = '\0';
        g_enabled = true;
        return 0;
    }
    size_t n = strlen(path);
    // A name that cannot be kept whole is refused: a cut name would log elsewhere.
    if (n > DEBUGLOG_MAX_PATH)
        return ENAMETOOLONG;
    const int fd = OpenForAppend(path);
    if (fd < 0)
        return errno ? errno : EIO;
    close(fd);
    std::lock_guard<std::mutex> guard(g_lock);
    memcpy(g_path, path, n + 1);
    g_enabled = true;
    return 0;
}

void DebugLogStartAfreshInChild()
{
    new (&g_lock) std::mutex;
}

int LogDisableOutput(void*)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_enabled = false;
    return 0;
}

int HasNonZeroByte(const char* data, int length)
{
    if (data == nullptr || length == 0)
        return 0;
    uint32_t n = static_cast<uint32_t>(length);
    for (uint32_t i = 0; i < n; ++i)
        if (data[i])
            return 1;
    return 0;
}

int HasNonZeroByteThunk(const char* data, int length)
{
    return HasNonZeroByte(data, length);
}
