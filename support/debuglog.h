// Log-file writer: stamps each line with local time, process and thread identifiers
// and appends it to the selected file or to stderr. Output is off until
// DebugLogSetFile succeeds.
#pragma once

#include <cstdarg>
#include <cstddef>

// Bytes DebugLogTimestamp writes: "YYYY-MM-DD, hh:mm:ss.mmm" and a NUL.
const size_t DEBUGLOG_TIMESTAMP_SIZE = 25;
// Longest file name kept.
const size_t DEBUGLOG_MAX_PATH = 1024;

// level and category are accepted and ignored.
void DebugLogWriteText(int level, int category, const char* text);
void DebugLogWriteV(int level, int category, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
void DebugLogWrite(int level, int category, const char* format, ...) __attribute__((format(printf, 3, 4)));
// buffer: at least DEBUGLOG_TIMESTAMP_SIZE bytes. Returns buffer.
char* DebugLogTimestamp(char* buffer);
// Non-empty path: the file is test-opened for appending (created when missing);
// returns 0 or the errno of the failed open (ENAMETOOLONG for a name longer than
// DEBUGLOG_MAX_PATH) and then keeps the previous selection. NULL or "": stderr.
int DebugLogSetFile(const char* path);
// Output off; returns 0.
int LogDisableOutput(void* ignored);
// In a forked child: the lock is made anew, as another thread of the parent
// may have held it when the process forked.
void DebugLogStartAfreshInChild();

// 1 when any of the first length bytes is non-zero (length as unsigned 32-bit).
int HasNonZeroByte(const char* data, int length);
int HasNonZeroByteThunk(const char* data, int length);
