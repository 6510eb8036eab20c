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
// Each bit selects one kind of line; no line holds a PIN, a key, deciphered data
// or random output (commands show by their header, answers by their status word).
constexpr unsigned SC_LOG_CARD_RESULTS = 0x01;      // the card result a refusing status word becomes
constexpr unsigned SC_LOG_FILE_SELECTION = 0x02;    // file selections and the DF they leave current
constexpr unsigned SC_LOG_SECURITY_ENV = 0x08;      // security environments set or restored for a key
constexpr unsigned SC_LOG_SECURE_MESSAGING = 0x10;  // secure channels and the commands they carry
constexpr unsigned SC_LOG_PIN_STATE = 0x20;         // a PIN's state as the card's answers tell it

void scSetLogMask(unsigned mask);
unsigned scGetLogMask();
void scLogMasked(unsigned bits, const char* format, ...) __attribute__((format(printf, 2, 3)));
// True when lines of one of these kinds are written (to spare building them).
inline bool scLogWants(unsigned bits) { return (scGetLogMask() & bits) != 0; }
