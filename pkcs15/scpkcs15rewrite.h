// Rewriting a file of records in place, one card command at a time, in an
// order that keeps the file readable should the card be pulled between two
// commands: after every step the file holds whole records only, each one as
// before or as after the rewrite, none that both hold lost, none twice.
//
// A file of records is DER elements one after the other (the directory files,
// the ODF, EF.DIR; TokenInfo is a file of one record). A file whose first octet
// is filler (00 or FF) holds no records; otherwise 00 octets between records are
// filler, and the records end at the first FF octet that follows one, or at the
// file's end. What follows that end is filler too: a reader of the whole file
// finds the same records, and a reader may stop there.
#pragma once

#include <cstdint>
#include <vector>

// Octets that stand between and after records, never in one.
inline bool ScPkcs15IsFiller(uint8_t b) { return b == 0x00 || b == 0xFF; }

// One UPDATE BINARY: the octets to write at an offset.
struct SCPkcs15WriteStep {
    uint32_t offset = 0;
    std::vector<uint8_t> data;
};

// The end of one DER element that starts at `at` among n octets: 1 with *end set,
// 0 when it runs past them (or its header does), -1 when it is malformed.
int ScPkcs15ElementEnd(const uint8_t* d, uint32_t n, uint32_t at, uint32_t* end);

constexpr uint32_t kScPkcs15Malformed = 0xFFFFFFFFu;
// Where the records of a file of `size` octets end, given its first `have`: 0 when
// that is known (*end: the offset after the last record and the 00 filler behind
// it), the number of octets still to read before it can be known, or
// kScPkcs15Malformed. oneRecord: the file holds one record (TokenInfo).
uint32_t ScPkcs15RecordsEnd(const uint8_t* d, uint32_t have, uint32_t size, bool oneRecord, uint32_t* end);

// The records of a file (as above) one after the other, without the filler
// between them; false on octets that are no whole records.
bool ScPkcs15PackedRecords(const uint8_t* d, uint32_t n, std::vector<uint8_t>* out);

// Steps that turn the file `from` into `to` (both `len` octets), none longer than
// `part` octets. True when every step leaves the file as described above; false
// when no such order was found (a record longer than a command, octets that are
// no records, more than 96 records or 16384 octets): the steps then write the
// changed octets front to back.
bool ScPkcs15PlanRewrite(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps);
