// A pcscd of our own, for tests and benchmarks: the daemon in the foreground
// with a private reader folder that names vpcd, and the simulator's card engine
// served to vpcd by cardsim-vpcd. Both are started and stopped by their process
// ids; nothing of the system's service manager is used.
#ifndef MIRTAL_TOOLS_CARDSIM_PCSCD_HOST_H
#define MIRTAL_TOOLS_CARDSIM_PCSCD_HOST_H

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace pcscdhost {

constexpr const char* kPcscd = "/usr/sbin/pcscd";
constexpr const char* kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
// vpcd's readers: the first listens on port 35963, the next on 35964.
constexpr const char* kReader0 = "Virtual PCD 00 00";
constexpr const char* kReader1 = "Virtual PCD 00 01";

inline bool Installed() { return access(kPcscd, X_OK) == 0 && access(kVpcdDriver, R_OK) == 0; }

// Runs argv[0]; its output is appended to the log file, or thrown away
// without one. The child's process id.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& log = "") {
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = log.empty() ? open("/dev/null", O_RDWR) : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Ends a process (SIGTERM, then SIGKILL after five seconds) and reaps it.
inline void Stop(pid_t* pid) {
    if (*pid <= 0) return;
    kill(*pid, SIGTERM);
    for (int i = 0; i < 250; ++i) {
        if (waitpid(*pid, nullptr, WNOHANG) == *pid) {
            *pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
}

// True when the process has ended (and is reaped).
inline bool Ended(pid_t* pid) {
    if (*pid > 0 && waitpid(*pid, nullptr, WNOHANG) == *pid) *pid = -1;
    return *pid <= 0;
}

// The reader folder of `pcscd -c dir`: one file naming vpcd.
inline bool WriteReaderFolder(const std::string& dir) {
    mkdir(dir.c_str(), 0700);
    std::ofstream f(dir + "/vpcd");
    f << "FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH " << kVpcdDriver
      << "\nCHANNELID 0x8C7B\n";
    return static_cast<bool>(f);
}

// pcscd in the foreground over that folder.
inline pid_t StartPcscd(const std::string& readerDir) { return Spawn({kPcscd, "-f", "-c", readerDir}); }

}  // namespace pcscdhost

#endif
