// Where a benchmark program finds the build's other products: the folder
// above its own (benchmarks live in <build>/bench).
#ifndef BENCH_BENCH_PATHS_H
#define BENCH_BENCH_PATHS_H

#include <limits.h>
#include <unistd.h>

#include <string>

namespace benchpaths {

inline std::string BuildDir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = 0;
    std::string p(buf);
    p = p.substr(0, p.rfind('/'));     // <build>/bench
    return p.substr(0, p.rfind('/'));  // <build>
}

}  // namespace benchpaths

#endif
