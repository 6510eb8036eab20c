#include "smartcard/sc_log.h"

#include <atomic>
#include <cstdio>

#include "support/debuglog.h"

namespace {
std::atomic<SCLogSink> g_sink{nullptr};
std::atomic<unsigned> g_mask{0};
}

void scSetLogMask(unsigned mask) { g_mask.store(mask); }

unsigned scGetLogMask() { return g_mask.load(); }

SCLogSink scSetLogSink(SCLogSink sink) { return g_sink.exchange(sink); }

void scLogV(const char* format, va_list args) {
    SCLogSink sink = g_sink.load();
    if (sink == nullptr) {
        DebugLogWriteV(0, 0, format, args);
        return;
    }
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    sink(line);
}

void scLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    scLogV(format, args);
    va_end(args);
}

void scLogMasked(unsigned bits, const char* format, ...) {
    if ((g_mask.load() & bits) == 0) return;
    va_list args;
    va_start(args, format);
    scLogV(format, args);
    va_end(args);
}
