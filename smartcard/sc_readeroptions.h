// Layout of the per-reader options: written by the configuration into the bridge's
// reader-options records and copied from there into the reader before it is
// initialised. Both sides use only the names below.
#pragma once

#include <cstdint>

// First option word (u64): low 32 bits are the configuration's option word, high
// 32 bits the APDU wait time in milliseconds.
constexpr uint64_t SC_ROPT_PINPAD_MASK = 0x3;             // bits 0-1
constexpr uint64_t SC_ROPT_PINPAD_DEFAULT = 0x0;
constexpr uint64_t SC_ROPT_PINPAD_DISABLED = 0x1;         // pinpad not used
constexpr uint64_t SC_ROPT_PINPAD_FORCED = 0x2;           // pinpad used
constexpr uint64_t SC_ROPT_FORCE_DEFAULT_PROTOCOLS = 0x8; // bit 3
constexpr unsigned SC_ROPT_DEFAULT_PROTOCOLS_SHIFT = 4;   // bits 4-7: PC/SC protocol mask
constexpr uint64_t SC_ROPT_DEFAULT_PROTOCOLS_MASK = 0xF0;
constexpr unsigned SC_ROPT_DISABLED_PROTOCOLS_SHIFT = 8;  // bits 8-11: PC/SC protocol mask
constexpr uint64_t SC_ROPT_DISABLED_PROTOCOLS_MASK = 0xF00;
constexpr uint64_t SC_ROPT_RECONNECT_ON_PROTO_FAIL = 0x1000;
constexpr uint64_t SC_ROPT_RECONNECT_ON_SHARE_FAIL = 0x2000;
constexpr uint64_t SC_ROPT_RESET_ON_PROTO_FAIL = 0x4000;
constexpr uint64_t SC_ROPT_RESET_ON_SHARE_FAIL = 0x8000;
constexpr uint64_t SC_ROPT_FALLBACK_TO_DEFAULT_PROTOCOL = 0x10000;
constexpr unsigned SC_ROPT_WAIT_TIME_SHIFT = 32;

// PC/SC protocol bits as they appear in the default/disabled protocol masks.
constexpr uint32_t SC_ROPT_PROTO_T0 = 0x1;
constexpr uint32_t SC_ROPT_PROTO_T1 = 0x2;
constexpr uint32_t SC_ROPT_PROTO_RAW = 0x4;

// Second option word (u64): four 16-bit limits; 0 = the reader's default.
enum SCReaderLimit : unsigned {
    SC_RLIMIT_T0_SEND = 0,   // bits 0-15
    SC_RLIMIT_T1_SEND = 16,  // bits 16-31
    SC_RLIMIT_T0_RECV = 32,  // bits 32-47
    SC_RLIMIT_T1_RECV = 48,  // bits 48-63
};

// Flag word of a reader-options record (u32).
constexpr uint32_t SC_ROPT_FLAG_DISABLED = 0x1;           // used only when the allowed list names it
constexpr uint32_t SC_ROPT_FLAG_IGNORE_CASE = 0x80000000; // match the pattern without regard to case

inline uint32_t scRoptPinpadMode(uint64_t w) { return static_cast<uint32_t>(w & SC_ROPT_PINPAD_MASK); }
inline uint64_t scRoptSetPinpadMode(uint64_t w, uint32_t mode) {
    return (w & ~SC_ROPT_PINPAD_MASK) | (mode & SC_ROPT_PINPAD_MASK);
}
inline uint32_t scRoptDefaultProtocols(uint64_t w) {
    return static_cast<uint32_t>((w & SC_ROPT_DEFAULT_PROTOCOLS_MASK) >> SC_ROPT_DEFAULT_PROTOCOLS_SHIFT);
}
inline uint64_t scRoptSetDefaultProtocols(uint64_t w, uint32_t pcscMask) {
    return (w & ~SC_ROPT_DEFAULT_PROTOCOLS_MASK) |
           (static_cast<uint64_t>(pcscMask & 0xF) << SC_ROPT_DEFAULT_PROTOCOLS_SHIFT);
}
inline uint32_t scRoptDisabledProtocols(uint64_t w) {
    return static_cast<uint32_t>((w & SC_ROPT_DISABLED_PROTOCOLS_MASK) >> SC_ROPT_DISABLED_PROTOCOLS_SHIFT);
}
inline uint64_t scRoptSetDisabledProtocols(uint64_t w, uint32_t pcscMask) {
    return (w & ~SC_ROPT_DISABLED_PROTOCOLS_MASK) |
           (static_cast<uint64_t>(pcscMask & 0xF) << SC_ROPT_DISABLED_PROTOCOLS_SHIFT);
}
inline uint32_t scRoptWaitTime(uint64_t w) { return static_cast<uint32_t>(w >> SC_ROPT_WAIT_TIME_SHIFT); }
inline uint64_t scRoptSetWaitTime(uint64_t w, uint32_t ms) {
    return (w & 0xFFFFFFFFULL) | (static_cast<uint64_t>(ms) << SC_ROPT_WAIT_TIME_SHIFT);
}
inline uint16_t scRoptLimit(uint64_t limits, SCReaderLimit which) {
    return static_cast<uint16_t>(limits >> which);
}
inline uint64_t scRoptSetLimit(uint64_t limits, SCReaderLimit which, uint16_t value) {
    return (limits & ~(0xFFFFULL << which)) | (static_cast<uint64_t>(value) << which);
}
