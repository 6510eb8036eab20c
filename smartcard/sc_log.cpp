#include "smartcard/sc_log.h"

#include <atomic>
#include <cstdio>

#include "support/debuglog.h"

namespace {
std::atomic<SCLogSink> g_sink{nullptr};
}

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
