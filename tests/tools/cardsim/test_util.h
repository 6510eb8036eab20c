// Helpers shared by the card-simulator tests: a private temporary folder and
// hex conversions.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/testsupport.h"

namespace cardsim_test {

class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/cardsim-test-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::string cmd = "rm -rf '" + path_ + "'";
      if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
    }
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void WriteFile(const std::string& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << text;
}

// Copies a generated card image into the test's folder (tests never touch
// the build's originals).
inline std::string CopyCard(const TempDir& dir, const std::string& name) {
  std::string dst = dir.File(name);
  WriteFile(dst, ReadFile(std::string(CARDSIM_CARDS_DIR) + "/" + name));
  return dst;
}

// The card side's tests write commands and answers in upper-case hex.
inline std::vector<uint8_t> Unhex(const std::string& s) { return testsupport::FromHex(s); }
inline std::string ToHex(const uint8_t* p, size_t n) { return testsupport::ToHex(p, n, testsupport::HexCase::Upper); }
inline std::string ToHex(const std::vector<uint8_t>& v) { return ToHex(v.data(), v.size()); }

}  // namespace cardsim_test
