#include "tests/common/own_pcscd.h"

#include <errno.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool g_entered = false;

std::string NetworkNamespace() {
    char buf[64];
    const ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string Failed(const char* what) { return std::string(what) + ": " + strerror(errno); }

std::string Enter() {
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        if (geteuid() != 0) return "a pcscd of the test's own needs namespaces of its own, which need root";
        return Failed("unshare");
    }
    // Mounts made here stay here, whatever the machine shares.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return Failed("making / private");
    mkdir("/run/pcscd", 0755);
    if (mount("mirtal-pcscd", "/run/pcscd", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0)
        return Failed("a tmpfs on /run/pcscd");
    // pcscd would take the machine's USB readers through udev and libusb.
    struct stat st;
    if (stat("/dev/bus/usb", &st) == 0 &&
        mount("mirtal-no-usb", "/dev/bus/usb", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_RDONLY, "mode=0755") != 0)
        return Failed("a tmpfs on /dev/bus/usb");
    // vpcd and the card bridges meet on 127.0.0.1: the new loopback starts down.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Failed("socket");
    ifreq req{};
    strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ioctl(fd, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &req) == 0);
    const std::string why = up ? "" : Failed("bringing the loopback up");
    close(fd);
    if (!why.empty()) return why;
    // The client library would look where this variable says instead.
    unsetenv("PCSCLITE_CSOCK_NAME");
    setenv(kOwnPcscdPlaceVariable, NetworkNamespace().c_str(), 1);
    g_entered = true;
    return "";
}

}  // namespace

std::string EnterOwnPcscdPlace() {
    static const std::string why = Enter();
    return why;
}

void MeetNoPcscd(const std::string& dir) {
    if (!g_entered) setenv("PCSCLITE_CSOCK_NAME", (dir + "/no-pcscd.comm").c_str(), 1);
}

}  // namespace testsupport
