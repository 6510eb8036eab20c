// Log lines of the reader and card layers. They go to the program's log-file
// writer; nothing is returned and nothing fails towards the caller.
#pragma once

#include <cstdarg>

void scLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void scLogV(const char* format, va_list args);

// Receives each formatted line in place of the log-file writer (null restores the
// writer); returns the previous receiver. Used by tests to read the call trace.
typedef void (*SCLogSink)(const char* line);
SCLogSink scSetLogSink(SCLogSink sink);

// Log mask of the card layer (bits chosen by the bridge's option word; 0 = none).
// Lines written through scLogMasked appear only when one of their bits is set.
void scSetLogMask(unsigned mask);
unsigned scGetLogMask();
void scLogMasked(unsigned bits, const char* format, ...) __attribute__((format(printf, 2, 3)));
