#include "support/safefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void Say(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
}

int OpenRetrying(const char* path, int flags, mode_t mode)
{
    int fd;
    do
        fd = open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opened without waiting so that a FIFO cannot hold the caller; once the file
// is known to be regular, reads and writes may wait as usual.
void MakeBlocking(int fd)
{
    const int fl = fcntl(fd, F_GETFL);
    if (fl != -1)
        (void)fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
}

}  // namespace

int OpenSecretFileForAppend(const char* path, SecretFilePolicy policy, std::string* why)
{
    if (path == nullptr || *path == '\0') {
        Say(why, strerror(ENOENT));
        return -1;
    }
    // O_NONBLOCK keeps a FIFO planted under the name from holding the caller.
    const int fd = OpenRetrying(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int e = errno;
        struct stat ls;
        if (lstat(path, &ls) == 0 && S_ISLNK(ls.st_mode))
            Say(why, "the file is a symbolic link");
        else if (lstat(path, &ls) == 0 && !S_ISREG(ls.st_mode))
            Say(why, "the file is not a regular file");
        else
            Say(why, strerror(e));
        errno = e;
        return -1;
    }
    struct stat st;
    std::string problem;
    if (fstat(fd, &st) != 0)
        problem = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = "the file is not a regular file";
    else if (st.st_uid != geteuid())
        problem = "the file belongs to another user";
    else if ((st.st_mode & 077) != 0 &&
             (policy != SECRET_FILE_TIGHTEN_SHARED || fchmod(fd, st.st_mode & 07700) != 0))
        problem = "the file can be read or written by other users";
    if (!problem.empty()) {
        close(fd);
        Say(why, problem);
        errno = EACCES;
        return -1;
    }
    MakeBlocking(fd);
    return fd;
}

FILE* OpenBoundedRegularFile(const char* path, uint64_t maxSize, std::string* why)
{
    if (path == nullptr || *path == '\0') {
        Say(why, strerror(ENOENT));
        return nullptr;
    }
    const int fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) {
        Say(why, strerror(errno));
        return nullptr;
    }
    struct stat st;
    std::string problem;
    if (fstat(fd, &st) != 0)
        problem = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        problem = "not a regular file";
    else if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxSize)
        problem = "larger than " + std::to_string(maxSize) + " bytes";
    if (!problem.empty()) {
        close(fd);
        Say(why, problem);
        errno = EINVAL;
        return nullptr;
    }
    MakeBlocking(fd);
    FILE* f = fdopen(fd, "rb");
    if (f == nullptr) {
        Say(why, strerror(errno));
        close(fd);
    }
    return f;
}
