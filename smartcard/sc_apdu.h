// Structure of command APDUs (ISO/IEC 7816-3/-4 cases 1 to 4, short and extended
// length fields), as the reader needs it to correct Le and to fit a command to the
// protocol in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SCApduInfo {
    int apduCase = 0;          // 1 to 4
    bool extended = false;     // extended length fields
    uint32_t lc = 0;           // command data length
    uint32_t dataOffset = 0;   // offset of the command data
    bool hasLe = false;
    uint32_t le = 0;           // expected length: 256 for a short 00, 65536 for an extended 0000
};

// Parses a command APDU; false when the bytes are not a well-formed APDU (shorter
// than 4 bytes, or lengths that do not match the bytes given).
bool scParseApdu(const uint8_t* apdu, size_t len, SCApduInfo* info);

// Builds the same command with the expected length set to le (1..65536): a short
// Le field when le <= 256 and the command is short, else extended fields. A command
// without Le gets one. False when the command is malformed or le is out of range.
bool scApduWithLe(const uint8_t* apdu, size_t len, uint32_t le, std::vector<uint8_t>* out);

// The command without its Le field (case 2 becomes case 1, case 4 becomes case 3);
// used for T=0, where the card answers case 4 commands with 61xx.
bool scApduWithoutLe(const uint8_t* apdu, size_t len, std::vector<uint8_t>* out);

// The command as the reader's call trace shows it: the four header octets, then,
// only for plain commands that never carry a secret (selection, reading, getting
// data or a challenge, choosing an environment, signing or deciphering), the
// following octets up to the eighth and "...". Any other command (PIN, PUK and
// key commands, writes, file creation, protected or proprietary-class commands)
// is shown by its header alone with "(data not shown)"; the caller writes the
// length beside it, and the answer's length and status word.
std::string scApduTraceText(const uint8_t* apdu, size_t len);
