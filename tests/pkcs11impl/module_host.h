// A test host: loads a built module with dlopen, as a real PKCS#11 host does,
// and offers temporary home folders, file helpers and a stderr capture.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "pkcs11impl/cryptoki.h"
#include "pkcs11impl/mirtal_pkcs11.h"
#include "tests/common/own_pcscd.h"
#include "tests/common/testsupport.h"

namespace testhost {

inline std::string ModulePath() { return std::string(MIRTAL_BUILD_DIR) + "/libmirtalp11.so"; }
inline std::string TestEtcModulePath() { return std::string(MIRTAL_BUILD_DIR) + "/test-etc/libmirtalp11.so"; }
inline std::string TestEtcDir() { return std::string(MIRTAL_BUILD_DIR) + "/test-etc/etc"; }

inline std::string MakeTempDir() {
  char tmpl[] = "/tmp/mirtal-host-XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "";
}

inline void MakeDirs(const std::string& dir) {
  std::string partial;
  std::stringstream ss(dir);
  std::string piece;
  while (std::getline(ss, piece, '/')) {
    if (piece.empty()) continue;
    partial += "/" + piece;
    mkdir(partial.c_str(), 0700);
  }
}

inline void WriteFile(const std::string& path, const std::string& text) {
  MakeDirs(path.substr(0, path.rfind('/')));
  std::ofstream(path) << text;
}

inline std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

inline bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline std::string ExeName() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = '\0';
  std::string p = buf;
  return p.substr(p.rfind('/') + 1);
}

// True when text has the shape: 'D' stands for a digit, every other character for itself.
inline bool HasShape(const std::string& text, const std::string& shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == 'D') {
      if (text[i] < '0' || text[i] > '9') return false;
    } else if (text[i] != shape[i]) {
      return false;
    }
  }
  return true;
}

// The trace text without the writer's timestamp and process/thread prefix.
inline std::string StripLogPrefixes(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const std::string stamp = "DDDD-DD-DD, DD:DD:DD.DDD [";
    if (line.size() > stamp.size() && HasShape(line.substr(0, stamp.size()), stamp)) {
      const size_t close = line.find("]: ");
      if (close != std::string::npos) line.erase(0, close + 3);
    }
    out += line;
    if (end < text.size()) out += '\n';
    start = end + 1;
  }
  return out;
}

// True when some line starts with head and ends with tail.
inline bool HasLine(const std::string& text, const std::string& head, const std::string& tail) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.size() >= head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      return true;
  return false;
}

inline std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Fmt(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// Standard error of this process, captured into a file while alive.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(2);
    FILE* f = std::fopen(path.c_str(), "w");
    dup2(fileno(f), 2);
    std::fclose(f);
  }
  ~StderrCapture() { Stop(); }
  std::string Stop() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    return ReadFile(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// A loaded module with its function list.
class Module {
 public:
  explicit Module(const std::string& path = ModulePath()) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      error_ = dlerror();
      return;
    }
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (get == nullptr || get(&fl_) != CKR_OK) fl_ = nullptr;
  }
  ~Module() {
    if (handle_) dlclose(handle_);
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  bool ok() const { return handle_ != nullptr && fl_ != nullptr; }
  const std::string& error() const { return error_; }
  CK_FUNCTION_LIST* operator->() const { return fl_; }
  CK_FUNCTION_LIST* list() const { return fl_; }
  void* sym(const char* name) const { return dlsym(handle_, name); }
  template <class F>
  F fn(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }

 private:
  void* handle_ = nullptr;
  CK_FUNCTION_LIST* fl_ = nullptr;
  std::string error_;
};

// A temporary HOME (and clean environment) for one scenario. The "PC/SC"
// back-end finds no pcscd unless the test has one of its own (own_pcscd.h).
struct HostEnv {
  std::string home;
  HostEnv() {
    home = MakeTempDir();
    setenv("HOME", home.c_str(), 1);
    for (const char* v : {"MIRTAL_PKCS11_DELAYED_INIT", "MIRTAL_PKCS11_VERBOSE_INIT", "MIRTAL_PKCS11_LOG_FILE_NAME",
                          "MIRTAL_PKCS11_ENABLE_LOGGING", "MIRTAL_PKCS11_ENABLE_LOCK_LOGGING",
                          "MIRTAL_PKCS11_PKCS15_FLAGS", "MIRTAL_PKCS11_PKCS15_MAX_TOKEN_COUNT",
                          "MIRTAL_PKCS11_PCSC_LIBRARY", "MIRTAL_PKCS11_INIT_PROFILE"})
      unsetenv(v);
    testsupport::MeetNoPcscd(home);
  }
  ~HostEnv() {
    const std::string cmd = "rm -rf '" + home + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", home.c_str());
  }
  void UserConfig(const std::string& text) const { WriteFile(home + "/.MIRTAL/pkcs11.conf", text); }
  std::string Path(const std::string& name) const { return home + "/" + name; }
};

}  // namespace testhost
