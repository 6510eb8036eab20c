// Rewriting a file of records in place, one card command at a time, in an
// order that keeps the file readable should the card be pulled between two
// commands: after every step the file holds whole records only, each one as
// before or as after the rewrite, none that both hold lost, none twice (but a
// record longer than one command that moves, see ScPkcs15PlanPacking).
//
// A file of records is DER elements one after the other (the directory files,
// the ODF, EF.DIR; TokenInfo is a file of one record). One rule frames them
// for every reader and writer here (ScPkcs15FrameRecords): a file whose first
// octet is filler (00 or FF) holds no records; otherwise 00 and FF octets
// between records are filler, an element under the tag kScPkcs15Cleared is a
// record being cleared (filler too), and the records run to the file's end.
#pragma once

#include <cstdint>
#include <vector>

// Octets that stand between and after records, never in one.
inline bool ScPkcs15IsFiller(uint8_t b) { return b == 0x00 || b == 0xFF; }

// A record longer than one command is cleared in steps that each leave whole
// elements: its tag first becomes this one (a private tag that no PKCS#15 file
// uses), then its octets become filler back to front, its header last; it is
// written the other way round.
constexpr uint8_t kScPkcs15Cleared = 0xC0;

// One UPDATE BINARY: the octets to write at an offset.
struct SCPkcs15WriteStep {
    uint32_t offset = 0;
    std::vector<uint8_t> data;
};

// The end of one DER element that starts at `at` among n octets: 1 with *end set,
// 0 when it runs past them (or its header does), -1 when it is malformed.
int ScPkcs15ElementEnd(const uint8_t* d, uint32_t n, uint32_t at, uint32_t* end);

// One record of a file: where it starts and how long it is.
struct SCPkcs15Record {
    uint32_t at = 0;
    uint32_t len = 0;
};

constexpr uint32_t kScPkcs15Malformed = 0xFFFFFFFFu;
// Frames the records of a file of `size` octets, given its first `have`: 0 when
// they are known (into out when given; *end where the last one ends), the
// number of octets still to read before they can be (the rest of the file, or
// what the record under way still needs), or kScPkcs15Malformed when an element
// is malformed or runs past the file's end. oneRecord: the file holds one record
// (TokenInfo), known once it is whole.
uint32_t ScPkcs15FrameRecords(const uint8_t* d, uint32_t have, uint32_t size, bool oneRecord,
                              std::vector<SCPkcs15Record>* out, uint32_t* end);

// The records of a file (as above) one after the other, without the filler
// between them; false on octets that are no whole records.
bool ScPkcs15PackedRecords(const uint8_t* d, uint32_t n, std::vector<uint8_t>* out);

// Records packed one after the other (as ScPkcs15PackedRecords gives them), one
// string each; false on octets that are no whole records.
bool ScPkcs15SplitRecords(const std::vector<uint8_t>& packed, std::vector<std::vector<uint8_t>>* out);

// Steps that turn the file `from` into `to` (both `len` octets), none longer than
// `part` octets, where the records of `to` are those of `from` less some or more
// some (not both), the others in the same order: records that go are cleared
// (a record longer than a command its tag first, then its octets, its header
// last), and records move or come where `to` holds them. Every step leaves whole
// elements and every record of either file at least once; a record longer than
// a command moves by standing twice a while (written where it goes as a cleared
// element, its tag last, then its old place cleared), by way of free room of the
// file where its new place overlaps its old one. *twice: whether a step leaves a
// record twice. False when no such order was found (no steps then).
bool ScPkcs15PlanPacking(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps, bool* twice);

// Steps that turn the file `from` into one that holds the records of `to` (both
// `len` octets; `to` as a write packs them) where no record may move: the
// records both hold stay where they stand, a record that changes takes its old
// place in one command (with filler after it), records that go are cleared where
// they stand (a record longer than a command its tag first; the first one, where
// others follow, leaves an empty cleared element that keeps the file's start),
// and records that come are put in the first free room that takes them (a long
// one as a cleared element first, its tag last). Every step leaves whole
// records, each one as before or as after, none twice. The file is left as this
// module reads it, not packed. False where a record that changes does not fit
// its old place in one command, or free room does not take a record that comes.
bool ScPkcs15PlanInPlace(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps);

// The records of `want` in the order the card holds them (`current`; both
// packed): those both hold as they stand, a record the card lacks in the place of
// one that `want` lacks (in order: a changed record keeps its place), the rest
// after them. The order of a directory's records means nothing to its readers,
// and records that keep their places need no command to move them.
void ScPkcs15KeepOrder(const std::vector<uint8_t>& current, const std::vector<uint8_t>& want,
                       std::vector<uint8_t>* out);

// A write planned from `base` (the records a writer last knew the card to hold)
// towards `target`, carried over to `current` (the records the card holds now,
// after another application wrote): what the write removes or adds goes from or
// into current, the rest of current stays as it is. All three packed; false when
// a record the write removes or replaces is no longer on the card (the other
// application changed or removed it): the write has nothing left to stand on.
bool ScPkcs15MergeRecords(const std::vector<uint8_t>& base, const std::vector<uint8_t>& target,
                          const std::vector<uint8_t>& current, std::vector<uint8_t>* out);

// Steps that turn the file `from` into `to` (both `len` octets), none longer than
// `part` octets. True when every step leaves the file as described above; false
// when no such order was found (a record longer than a command, octets that are
// no records, more than 96 records or 16384 octets): the steps then write the
// changed octets front to back.
bool ScPkcs15PlanRewrite(const uint8_t* from, const uint8_t* to, uint32_t len, uint32_t part,
                         std::vector<SCPkcs15WriteStep>* steps);
